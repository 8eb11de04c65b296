// The fuzz targets' assertion: a broken property aborts the run, in every build type.
#ifndef QUORVANE_FUZZ_FUZZ_CHECK_H
#define QUORVANE_FUZZ_FUZZ_CHECK_H

#include <cstdlib>

namespace fuzz {
inline void check(bool ok) {
    if (!ok) abort();
}
}  // namespace fuzz

#endif

#include "utils/time_constants_internal.h"

namespace quorvane_internal {

TimeConstants& timeConstants() {
    static TimeConstants constants;
    return constants;
}

}  // namespace quorvane_internal

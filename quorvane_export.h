#ifndef QUORVANE_EXPORT_H
#define QUORVANE_EXPORT_H

// The library is built with hidden symbol visibility: only what carries QUORVANE_EXPORT is part of
// its ABI. The list of exported symbols is checked in and compared by CI.
#define QUORVANE_EXPORT __attribute__((visibility("default")))

#endif

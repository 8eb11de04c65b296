#ifndef QUORVANE_TOOLS_STOP_SIGNALS_H
#define QUORVANE_TOOLS_STOP_SIGNALS_H

#include <pthread.h>
#include <signal.h>

// The signals that end a tool (SIGINT, SIGTERM, SIGHUP), blocked in the calling thread so that it
// can take them synchronously with sigtimedwait. Call it before any thread starts: every thread
// started later, the library's included, inherits the mask and never runs a handler. SIGPIPE is
// ignored, so a closed reader shows as a write error.
inline sigset_t blockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return set;
}

#endif

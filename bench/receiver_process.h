// What the benchmarks' receiver programs (e2e_receiver.cpp, receive_floor.cpp) share.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <cstdio>

namespace bench {

// Ports each stream's receiver may use from its base: base + 20 i onwards.
constexpr unsigned long kPortsPerStream = 20;

// True when `streams` streams fit above `portBase`; otherwise says so on stderr.
inline bool portBaseFits(const char* program, unsigned long portBase, size_t streams) {
    if (streams != 0 && portBase >= 1024 && portBase + kPortsPerStream * streams <= 65000) return true;
    fprintf(stderr, "%s: give at least one URL and a port base that leaves %lu ports per stream\n", program,
            kPortsPerStream);
    return false;
}

// Blocks SIGINT and SIGTERM in this thread and every thread it starts afterwards, so that main
// alone takes them with sigtimedwait on the set returned.
inline sigset_t blockStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    return stop;
}

}  // namespace bench

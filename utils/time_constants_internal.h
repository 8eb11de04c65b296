#ifndef QUORVANE_UTILS_TIME_CONSTANTS_INTERNAL_H
#define QUORVANE_UTILS_TIME_CONSTANTS_INTERNAL_H

#include <atomic>
#include <cstdint>

#include "../quorvane_export.h"

// Not installed. The time constants the session and receive threads wait on. The library uses
// the values below; tests shorten them so that a keep-alive, a silence or a reconnect takes
// milliseconds instead of seconds. Set them before the client under test is enabled and put them
// back (ScopedTimeConstants in the test support does both).
namespace quorvane_internal {

struct QUORVANE_EXPORT TimeConstants {
    // Longest keep-alive period of a playing session; shorter when the camera's session timeout
    // asks for it.
    std::atomic<int64_t> keepAliveIntervalMs{25000};
    // How long one second of a camera's Session timeout= is: the keep-alive comes at half of it.
    std::atomic<int64_t> sessionTimeoutSecondMs{1000};
    // Interleaved TCP: a session without a frame for longer than this is reconnected.
    std::atomic<int64_t> tcpSilenceNs{2999999999LL};
    // UDP: one receive time-out step; more than ten in a row reconnect the camera.
    std::atomic<int> udpReceiveTimeoutMs{1000};
    // libcurl's time-out of one RTSP request, the interleaved TCP RECEIVE included. Read when a
    // session is created.
    std::atomic<int64_t> requestTimeoutMs{3000};
    // The window of the log rate limiters (LogRateLimiter); 0 lets every line through.
    std::atomic<int64_t> logWindowNs{1000000000};
    // Longest receive coalescing wait (RtspClientOptions::receiveCoalescingUs is cut to it). Tests
    // raise it to show that a stop does not wait a coalescing wait out. Read when a session starts.
    std::atomic<unsigned> receiveCoalescingCapUs{5000};

    static constexpr int64_t kDefaultKeepAliveIntervalMs = 25000;
    static constexpr int64_t kDefaultSessionTimeoutSecondMs = 1000;
    static constexpr int64_t kDefaultTcpSilenceNs = 2999999999LL;
    static constexpr int kDefaultUdpReceiveTimeoutMs = 1000;
    static constexpr int64_t kDefaultRequestTimeoutMs = 3000;
    static constexpr int64_t kDefaultLogWindowNs = 1000000000;
    static constexpr unsigned kDefaultReceiveCoalescingCapUs = 5000;
};

QUORVANE_EXPORT TimeConstants& timeConstants();

}  // namespace quorvane_internal

#endif

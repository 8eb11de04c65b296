#ifndef QUORVANE_UTILS_LOG_RATE_LIMITER_H
#define QUORVANE_UTILS_LOG_RATE_LIMITER_H

#include <atomic>
#include <cstdint>

#include "../quorvane_export.h"
#include "slog.h"

// Keeps a line that can fire once per packet from flooding the console and the log file: at most
// `perSecond` lines a second pass, the rest are counted, and the next line that passes is followed
// by one line with that count. One limiter per message site and client; safe from any thread.
class QUORVANE_EXPORT LogRateLimiter {
public:
    explicit LogRateLimiter(uint32_t perSecond = 5) : mPerSecond(perSecond) {}

    // Whether a line may be written now. When it may and lines were held back before it,
    // `*suppressed` receives their number (else 0).
    bool allow(uint64_t* suppressed);

private:
    const uint32_t mPerSecond;
    std::atomic<int64_t> mWindowStartNs{0};
    std::atomic<uint32_t> mInWindow{0};
    std::atomic<uint64_t> mSuppressed{0};
};

// SLOGW/SLOGE through a limiter: the line keeps its text; a held-back count follows it.
#define QUORVANE_SLOG_LIMITED(LOG, limiter, fmt, ...)                                              \
    do {                                                                                           \
        uint64_t quorvaneSuppressed_ = 0;                                                          \
        if ((limiter).allow(&quorvaneSuppressed_)) {                                               \
            LOG(fmt, ##__VA_ARGS__);                                                               \
            if (quorvaneSuppressed_ > 0)                                                           \
                LOG("(%llu similar lines suppressed)\n", (unsigned long long)quorvaneSuppressed_); \
        }                                                                                          \
    } while (0)
#define SLOGW_LIMITED(limiter, fmt, ...) QUORVANE_SLOG_LIMITED(SLOGW, limiter, fmt, ##__VA_ARGS__)
#define SLOGE_LIMITED(limiter, fmt, ...) QUORVANE_SLOG_LIMITED(SLOGE, limiter, fmt, ##__VA_ARGS__)
#define SLOGD_LIMITED(limiter, fmt, ...)                                                     \
    do {                                                                                     \
        if (SLog::debugEnabled()) QUORVANE_SLOG_LIMITED(SLOGD, limiter, fmt, ##__VA_ARGS__); \
    } while (0)

#endif

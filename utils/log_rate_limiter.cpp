#include "utils/log_rate_limiter.h"

#include "utils/time_constants_internal.h"
#include "utils/utils.h"

bool LogRateLimiter::allow(uint64_t* suppressed) {
    *suppressed = 0;
    const int64_t now = Utils::getBeginTimestamp();
    int64_t start = mWindowStartNs.load(std::memory_order_relaxed);
    if (now - start >= quorvane_internal::timeConstants().logWindowNs.load(std::memory_order_relaxed) &&
        mWindowStartNs.compare_exchange_strong(start, now)) {
        mInWindow.store(0, std::memory_order_relaxed);
    }
    if (mInWindow.fetch_add(1, std::memory_order_relaxed) < mPerSecond) {
        *suppressed = mSuppressed.exchange(0, std::memory_order_relaxed);
        return true;
    }
    mSuppressed.fetch_add(1, std::memory_order_relaxed);
    return false;
}

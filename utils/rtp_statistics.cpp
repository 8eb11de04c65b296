#include "utils/rtp_statistics.h"

#include <cstdlib>

#include "utils/byte_order_internal.h"

namespace {

// RFC 3550 A.1: a jump forward of up to kMaxDropout is loss; up to kMaxMisorder back is a late
// packet; anything else is a sender that started its sequence afresh.
constexpr uint16_t kMaxDropout = 3000;
constexpr uint16_t kMaxMisorder = 100;
constexpr uint32_t kSeenWindow = 1024;
constexpr int64_t kMinRateSpanNs = 250000000LL;

using quorvane_internal::readBe16;
using quorvane_internal::readBe32;

}  // namespace

void RtpStatistics::setClockRate(uint32_t clockRate) {
    std::lock_guard<std::mutex> lock(mMutex);
    mClockRate = clockRate == 0 ? 90000 : clockRate;
}

uint64_t RtpStatistics::runLost() const {
    if (!mSeqStarted) return 0;
    // RFC 3550 A.3: expected from the extended highest and the base sequence number.
    uint64_t expected = uint64_t(mCycles) + mMaxSeq - mBaseSeq + 1;
    return expected > mRunReceived ? expected - mRunReceived : 0;
}

void RtpStatistics::newSession() {
    std::lock_guard<std::mutex> lock(mMutex);
    mLostBefore += runLost();
    mSeqStarted = false;
    mTransitValid = false;
}

void RtpStatistics::onPacket(const unsigned char* rtp, unsigned long len, int64_t arrivalNs) {
    // RFC 3550 5.1: a 12-byte fixed header of version 2.
    if (rtp == nullptr || len < 12 || (rtp[0] >> 6) != 2) return;
    const uint16_t seq = readBe16(rtp + 2);
    const uint32_t timestamp = readBe32(rtp + 4);
    const uint32_t ssrc = readBe32(rtp + 8);

    std::lock_guard<std::mutex> lock(mMutex);
    ++mCounts.packetsReceived;
    mCounts.bytesReceived += len;
    slotFor(arrivalNs).bytes += len;
    if (mFirstNs == 0) mFirstNs = arrivalNs;

    auto seen = [this](uint16_t s) -> bool { return (mSeen[(s % kSeenWindow) / 64] >> (s % 64)) & 1; };
    auto mark = [this](uint16_t s) { mSeen[(s % kSeenWindow) / 64] |= uint64_t(1) << (s % 64); };
    auto startRun = [&] {
        mLostBefore += runLost();
        mSeqStarted = true;
        mSsrc = ssrc;
        mBaseSeq = seq;
        mMaxSeq = seq;
        mCycles = 0;
        mRunReceived = 1;
        for (uint64_t& word : mSeen) word = 0;
        mark(seq);
        mTransitValid = false;
    };

    if (!mSeqStarted || ssrc != mSsrc) {
        startRun();
    } else {
        const uint16_t ahead = static_cast<uint16_t>(seq - mMaxSeq);
        if (ahead == 0) {
            ++mCounts.packetsDuplicate;
            return;
        }
        if (ahead < kMaxDropout) {
            // Sequence numbers skipped over are not seen yet; the window forgets older ones.
            for (uint32_t i = 1; i <= ahead && i <= kSeenWindow; ++i) {
                uint16_t s = static_cast<uint16_t>(mMaxSeq + i);
                mSeen[(s % kSeenWindow) / 64] &= ~(uint64_t(1) << (s % 64));
            }
            if (seq < mMaxSeq) mCycles += 65536;  // wrapped
            mMaxSeq = seq;
            mark(seq);
            ++mRunReceived;
        } else if (static_cast<uint16_t>(mMaxSeq - seq) <= kMaxMisorder) {
            if (seen(seq)) {
                ++mCounts.packetsDuplicate;
                return;
            }
            mark(seq);
            ++mRunReceived;
            ++mCounts.packetsOutOfOrder;
        } else {
            startRun();
        }
    }

    // RFC 3550 A.8: J += (|D| - J) / 16, D the change of transit time in timestamp units.
    const int64_t arrivalUnits = (arrivalNs / 1000) * static_cast<int64_t>(mClockRate) / 1000000;
    const uint32_t transit = static_cast<uint32_t>(arrivalUnits) - timestamp;
    if (mTransitValid) {
        int32_t d = static_cast<int32_t>(transit - static_cast<uint32_t>(mLastTransit));
        double magnitude = d < 0 ? -static_cast<double>(d) : static_cast<double>(d);
        mJitter += (magnitude - mJitter) / 16.0;
    }
    mLastTransit = transit;
    mTransitValid = true;
}

void RtpStatistics::onFrame(int64_t arrivalNs) {
    std::lock_guard<std::mutex> lock(mMutex);
    ++mCounts.framesDelivered;
    slotFor(arrivalNs).frames += 1;
    if (mFirstNs == 0) mFirstNs = arrivalNs;
}

RtpStatistics::Slot& RtpStatistics::slotFor(int64_t nowNs) {
    const int64_t index = nowNs / (kRateWindowNs / kSlots);
    Slot& slot = mSlots[static_cast<size_t>(index % kSlots)];
    if (slot.index != index) slot = Slot{index, 0, 0};
    return slot;
}

double RtpStatistics::rate(int64_t nowNs, bool frames) const {
    const int64_t slice = kRateWindowNs / kSlots;
    const int64_t nowIndex = nowNs / slice;
    uint64_t sum = 0;
    for (const Slot& slot : mSlots) {
        if (slot.index > nowIndex - kSlots && slot.index <= nowIndex)
            sum += frames ? slot.frames : slot.bytes;
    }
    int64_t start = (nowIndex - kSlots + 1) * slice;
    if (mFirstNs > start) start = mFirstNs;
    int64_t span = nowNs - start;
    if (span < kMinRateSpanNs) span = kMinRateSpanNs;
    return static_cast<double>(sum) * 1e9 / static_cast<double>(span);
}

RtspStatistics RtpStatistics::snapshot(int64_t nowNs) const {
    std::lock_guard<std::mutex> lock(mMutex);
    RtspStatistics s = mCounts;
    s.packetsLost = mLostBefore + runLost();
    s.jitterMs = mJitter * 1000.0 / mClockRate;
    if (mFirstNs != 0) {
        s.bitRate = rate(nowNs, false) * 8;
        s.frameRate = rate(nowNs, true);
    }
    return s;
}

#ifndef QUORVANE_UTILS_RTP_STATISTICS_H
#define QUORVANE_UTILS_RTP_STATISTICS_H

#include <cstdint>
#include <mutex>

#include "../quorvane_export.h"
#include "../rtsp_frame.h"

// Counts one video RTP stream and the frames made from it: RFC 3550 A.1 sequence tracking (lost,
// duplicate, out of order), A.8 interarrival jitter, and bit and frame rates over a sliding
// window. Fed from the packet thread; snapshots from any thread.
class QUORVANE_EXPORT RtpStatistics {
public:
    // Span of the rates, in nanoseconds.
    static constexpr int64_t kRateWindowNs = 2000000000LL;

    // The RTP clock rate for the jitter (90000 when 0).
    void setClockRate(uint32_t clockRate);
    // A new session: sequence numbers and timestamps start afresh, the counts go on.
    void newSession();
    // One RTP packet (header included) that arrived at `arrivalNs` (steady clock). Packets too
    // short for the header, or not of version 2, are not counted.
    void onPacket(const unsigned char* rtp, unsigned long len, int64_t arrivalNs);
    // One frame handed to the application.
    void onFrame(int64_t arrivalNs);

    // Everything counted; frames dropped as incomplete, reconnects and state are the owner's
    // business and stay at their defaults.
    RtspStatistics snapshot(int64_t nowNs) const;

private:
    static constexpr int kSlots = 8;  // of kRateWindowNs / kSlots each
    struct Slot {
        int64_t index = -1;  // which time slice the counts belong to
        uint64_t bytes = 0;
        uint64_t frames = 0;
    };
    Slot& slotFor(int64_t nowNs);
    // Packets missing from the current run of sequence numbers.
    uint64_t runLost() const;
    double rate(int64_t nowNs, bool frames) const;

    mutable std::mutex mMutex;  // guards everything below
    uint32_t mClockRate = 90000;
    RtspStatistics mCounts;

    // RFC 3550 A.1, one run per session / SSRC.
    bool mSeqStarted = false;
    uint32_t mSsrc = 0;
    uint16_t mMaxSeq = 0;
    uint32_t mCycles = 0;
    uint32_t mBaseSeq = 0;
    uint64_t mRunReceived = 0;  // distinct packets of this run
    uint64_t mLostBefore = 0;   // lost in earlier runs
    // Which of the 1024 sequence numbers up to mMaxSeq were seen, to tell duplicates.
    uint64_t mSeen[16] = {0};

    // RFC 3550 A.8.
    bool mTransitValid = false;
    int64_t mLastTransit = 0;
    double mJitter = 0;  // in timestamp units

    int64_t mFirstNs = 0;
    Slot mSlots[kSlots];
};

#endif

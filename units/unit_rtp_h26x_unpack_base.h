#ifndef QUORVANE_UNITS_UNIT_RTP_H26X_UNPACK_BASE_H
#define QUORVANE_UNITS_UNIT_RTP_H26X_UNPACK_BASE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "../platform/buffer.h"
#include "../platform/frame_meta.h"
#include "../quorvane_export.h"
#include "../rtsp_client_options.h"
#include "../utils/log_rate_limiter.h"
#include "../utils/utils.h"

// Stream information of an H.264 video stream: its latest parameter sets and its picture size and
// rate. An empty pointer or 0 means that the unit has no value to give.
class QUORVANE_EXPORT IH264Unit {
public:
    virtual ~IH264Unit() = default;
    // SPS and PPS joined, each behind a start code.
    virtual std::shared_ptr<QelBuffer> getExtra() = 0;
    // The bare NAL units, without start code.
    virtual std::shared_ptr<QelBuffer> getPps() = 0;
    virtual std::shared_ptr<QelBuffer> getSps() = 0;
    // The latest SEI as delivered, with its start code.
    virtual std::shared_ptr<QelBuffer> getSei() = 0;
    virtual uint32_t getWidth() = 0;
    virtual uint32_t getHeight() = 0;
    virtual uint32_t getFPS() = 0;
};

// The IH264Unit operations of one unit as function objects, for callers that should not know the
// unit's class. Each holds a plain pointer to the unit: do not call it after the unit is gone.
struct QUORVANE_EXPORT IH264Interfaces {
    std::function<std::shared_ptr<QelBuffer>()> getExtra;
    std::function<std::shared_ptr<QelBuffer>()> getPps;
    std::function<std::shared_ptr<QelBuffer>()> getSps;
    std::function<std::shared_ptr<QelBuffer>()> getSei;
    std::function<uint32_t()> getWidth;
    std::function<uint32_t()> getHeight;
    std::function<uint32_t()> getFPS;

    // Binds every member to `unit`'s operation of the same name, through its virtual table.
    static IH264Interfaces bindTo(IH264Unit* unit);
};

// RTP continuity state, statistics and Annex-B output shared by the H.264 and H.265
// depacketizers. Belongs to the one thread that delivers packets to the unit; nothing is locked.
class QUORVANE_EXPORT RtpH26xUnpackBase {
public:
    // Every RTP packet is read with the fixed 12-byte header; the payload starts right after it.
    static constexpr unsigned long kRtpHeaderSize = 12;
    // Most payload bytes one NAL unit or picture may gather before it is given up: far above any
    // real picture, it bounds what a broken or hostile sender can make the unit hold.
    static constexpr uint64_t kMaxPendingBytes = 32u << 20;
    // What the queued packets may hold in memory, counted by buffer capacity (a received datagram
    // keeps its whole receive block however few bytes it carries) and by packet count. A stream of
    // tiny fragments would otherwise pin far more memory than its payload.
    static constexpr uint64_t kMaxHeldBytes = 32u << 20;
    static constexpr uint64_t kMaxHeldPackets = 16384;

    RtpH26xUnpackBase();

    // Behaviour switches; set before data flows.
    void setOptions(const RtspClientOptions& options) { mOptions = options; }
    const RtspClientOptions& options() const { return mOptions; }

    // A new buffer: start code 00 00 00 01 and a copy of the `len` bytes of one complete NAL unit,
    // marked as Annex-B data with the current monotonic time. Its block comes from the buffer pool.
    static std::shared_ptr<QelBuffer> transferFuToH26x(unsigned char* data, unsigned long len);

    // Whether `length` bytes of `buffer` may be read as one packet of at least `minLength` bytes:
    // the length must be the buffer's own valid length, within its block. Otherwise an error line
    // naming `who` is written through `log` and the caller drops the packet.
    static bool isPacketReadable(const std::shared_ptr<QelBuffer>& buffer, unsigned long length,
                                 unsigned long minLength, const char* who, LogRateLimiter& log);
    // Whether a packet of `length` bytes holds the `minLength` bytes its path reads; if not, an
    // error line naming `who` is written and the caller drops the packet.
    static bool isLongEnough(unsigned long length, unsigned long minLength, const char* who,
                             LogRateLimiter& log);
    // The same through one limiter shared by every caller (kept for callers built against it).
    static bool isPacketReadable(const std::shared_ptr<QelBuffer>& buffer, unsigned long length,
                                 unsigned long minLength, const char* who);
    static bool isLongEnough(unsigned long length, unsigned long minLength, const char* who);

    // Pictures handed on, and pictures given up because packets of them were lost or they broke a
    // bound; read from any thread.
    uint64_t framesDelivered() const { return mFramesDelivered.load(std::memory_order_relaxed); }
    uint64_t framesDroppedIncomplete() const { return mFramesDropped.load(std::memory_order_relaxed); }

    uint16_t mLastSeq;
    uint32_t mLastTimestamp;
    int64_t mDebugCntRtpRecv;
    int64_t mDebugCntRtpLost;
    int64_t mDebugCntNal[5];
    int64_t mDebugPrintTime;
    UtilsDebugFps mDebugFps;

protected:
    RtspClientOptions mOptions;

    // Counts one RTP packet (at least 12 bytes at `packet`) and follows its sequence number and
    // timestamp. Returns true when packets were lost (or repeated) before it, so that the caller
    // drops what it had assembled.
    bool checkRtpContinuity(const unsigned char* packet);
    // RFC 6184 5.7.1 / RFC 7798 4.4.2: walks the units of an aggregation packet, from byte
    // `firstUnit` on each a 16-bit size and that many bytes, and hands each to `unit` as a single
    // NAL unit packet (this packet's RTP header, then the NAL unit). A size under `minUnit` or past
    // the end drops the rest of the packet with an error line naming `kind`. The marker bit
    // applies to the last unit only.
    void unpackAggregate(const std::shared_ptr<QelBuffer>& packet, unsigned long length,
                         unsigned long firstUnit, unsigned long minUnit, const char* kind,
                         const std::function<void(const std::shared_ptr<QelBuffer>&)>& unit);
    // A buffer the unit made itself from the pool, shaped as a single NAL unit packet (12 unused
    // header bytes, then one NAL unit), turned into Annex-B data without copying the NAL unit: the
    // start code goes into the last four header bytes and `vaddr` moves onto it. Marked like a
    // buffer of transferFuToH26x, completed (and created) at `nowNs`, a monotonic clock reading
    // the caller has. Only for a buffer no one else holds.
    static void annexBInPlace(QelBuffer& packet, int64_t nowNs);
    // Marks a parameter set taken from the SDP, about to go out in front of the first picture.
    void stampSdpParameterSet(const std::shared_ptr<QelBuffer>& nal) const;
    // A parameter set as handed on and stored: start code and NAL unit without the zero bytes
    // cameras pad it with (trailing_zero_8bits).
    static std::shared_ptr<QelBuffer> parameterSetBuffer(const uint8_t* data, unsigned long len);
    // Adds the packets lost right before the one being processed to the loss count of the next
    // buffer; called after the codec's reaction to the gap, which may hand on what came before.
    void countPacketGap();
    // Packets were lost between the previous buffer handed on and the packet being processed.
    bool packetsLostSinceOutput() const { return mLostSinceOutput != 0; }
    // Starts the timestamp extension and the loss count afresh: a new session numbers its packets
    // and timestamps from a new random origin.
    void resetStreamPosition();
    // Marks `out` with what is known about it: the extended timestamp of the packet being
    // processed (or `rtpTimestamp` when given), the packets lost since the previous buffer, and
    // `flags` (kValid is added). The loss count starts again from 0.
    void stampMeta(const std::shared_ptr<QelBuffer>& out, uint32_t flags);
    void stampMeta(const std::shared_ptr<QelBuffer>& out, uint32_t flags, uint64_t rtpTimestamp);

    // The packet being processed: its RTP timestamp extended to 64 bits, and whether its marker bit
    // applies to the NAL unit being processed (for an aggregation packet only to its last unit).
    uint64_t mPacketTimestamp = 0;
    bool mNalEndsMarkedPacket = false;
    // The lines a camera can make fire once per packet (aggregation sizes, the memory bound).
    LogRateLimiter mAggregateSizeLog;
    LogRateLimiter mBoundLog;
    // Every other line a packet can trigger (malformed, lost or out-of-order packets).
    LogRateLimiter mPacketLog;
    // The NAL unit the unit reassembled itself and is feeding back through onTransmitIn, while
    // it may still be turned into output in place (annexBInPlace); empty otherwise.
    std::shared_ptr<QelBuffer> mMadeNal;
    // Creation time of the last buffer stampMeta marked, a clock reading the statistics line may
    // use in place of its own; the line sets it back to 0 once used.
    int64_t mLastStampNs = 0;
    std::atomic<uint64_t> mFramesDelivered{0};
    std::atomic<uint64_t> mFramesDropped{0};

private:
    bool mHaveSeq = false;
    bool mHaveTimestamp = false;
    uint32_t mLostSinceOutput = 0;
    uint32_t mPacketGap = 0;
};

#endif

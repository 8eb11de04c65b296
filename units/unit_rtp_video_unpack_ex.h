#ifndef QUORVANE_UNITS_UNIT_RTP_VIDEO_UNPACK_EX_H
#define QUORVANE_UNITS_UNIT_RTP_VIDEO_UNPACK_EX_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "../platform/buffer.h"
#include "../quorvane_export.h"
#include "../rtsp_client_options.h"
#include "../utils/log_rate_limiter.h"
#include "../utils/rtsp_session_info.h"
#include "../utils/utils.h"
#include "unit.h"
#include "unit_rtp_h264_unpack.h"
#include "unit_rtp_h265_unpack.h"
#include "unit_rtp_h26x_unpack_base.h"

// Video depacketizer for a stream whose codec is not known beforehand: decides between H.264
// and H.265 from the first RTP payload bytes, once for the life of the unit, and hands every
// packet to the H.264 or H.265 depacketizer it holds. Their output goes straight to the units
// linked after this one.
class QUORVANE_EXPORT RtpVideoUnpackExUnitSM : public Unit<SlaveInput, MasterOutput>, public IH264Unit {
public:
    RtpVideoUnpackExUnitSM();
    ~RtpVideoUnpackExUnitSM() override;

    void enable() override;
    // Also drops what the inner depacketizers were assembling.
    void disable() override;

    // Returns `len` for an empty pointer, 0 otherwise.
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> packet, unsigned long len, int inputIndex,
                               int param) override;
    // Links `next` behind both inner depacketizers (H.264 first) instead of behind this unit.
    void addOutputUnit(UnitBase* next, bool linkBack) override;

    // One detection step on one packet: votes for H.264 and H.265 on its first two payload bytes.
    void determineVideoType(std::shared_ptr<QelBuffer> packet);

    // The packet and frame counters of the recognized codec's depacketizer; valid as long as
    // the unit lives.
    UtilsDebugFps* getDebugInfo();

    // Those of the H.264 depacketizer once H.264 is recognized; empty or 0 before and for H.265.
    std::shared_ptr<QelBuffer> getExtra() override;
    std::shared_ptr<QelBuffer> getPps() override;
    std::shared_ptr<QelBuffer> getSps() override;
    std::shared_ptr<QelBuffer> getSei() override;
    uint32_t getWidth() override;
    uint32_t getHeight() override;
    uint32_t getFPS() override;

    IH264Interfaces getInterfaces();

    // Behaviour switches for this unit and both inner depacketizers; set before data flows.
    void setOptions(const RtspClientOptions& options);
    // A new session is about to play: what its SDP and SETUP said. Called on the thread that
    // starts the session, before PLAY. The codec is decided afresh (from the SDP's encoding with
    // options.codecFromSdp, else by the vote on the next packets), the inner depacketizers drop
    // what they were assembling, and with options.sdpParameterSets they take the SDP's
    // parameter sets.
    void newSession(const RtspSessionInfo& session);
    // The session ends (teardown or silence): with options.markerCompletion, a picture still held
    // is handed over now.
    void flush();

    // Pictures handed on, and pictures given up because packets of them were lost; any thread.
    uint64_t framesDelivered() const;
    uint64_t framesDroppedIncomplete() const;
    // Whether at most one codec is chosen and the inner queues agree with their counts and
    // bounds; for tests and fuzzers.
    bool checkInvariants() const;

    RtpH264UnpackUnitSM mH264Unit;
    RtpH265UnpackUnitSM mH265Unit;
    // Written only on the packet thread; atomic because the getters read them on other threads.
    std::atomic<bool> mIsH264;
    std::atomic<bool> mIsH265;
    UtilsDebugFps mDebugFpsUnknown;
    // Called once when the codec is recognized, with 1 (H.264) or 2 (H.265), then the second;
    // only when both are set. Assign them before data flows.
    std::function<void(int)> mVideoTypeCallback;
    std::function<void()> mVideoTypeDoneCallback;

private:
    // Sets the codec flag and calls the two callbacks when both are set.
    void announceCodec();

    RtspClientOptions mOptions;
    // Serializes packets with newSession, flush and disable, which come from other threads (the
    // session's, the application's). Recursive: the data callback may call disable() on the
    // packet thread. The video-type callbacks and the next units run with it held.
    mutable std::recursive_mutex mMutex;
    // The lines a packet can trigger (short, undecidable).
    LogRateLimiter mPacketLog;
};

#endif

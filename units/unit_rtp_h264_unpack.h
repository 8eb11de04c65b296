#ifndef QUORVANE_UNITS_UNIT_RTP_H264_UNPACK_H
#define QUORVANE_UNITS_UNIT_RTP_H264_UNPACK_H

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "../platform/buffer.h"
#include "../quorvane_export.h"
#include "unit.h"
#include "unit_rtp_h26x_unpack_base.h"

// H.264 RTP depacketizer (RFC 6184, single NAL unit packets and FU-A). Pushes every SPS, PPS and
// SEI as a buffer of its own at once, and all slices of one picture joined into one access unit
// when the next picture begins. Keeps the latest SPS, PPS and SEI for the stream-info getters,
// which any thread may call.
class QUORVANE_EXPORT RtpH264UnpackUnitSM : public Unit<SlaveInput, MasterOutput>,
                                            public IH264Unit,
                                            public RtpH26xUnpackBase {
public:
    RtpH264UnpackUnitSM();
    ~RtpH264UnpackUnitSM() override;

    void enable() override;
    void disable() override;
    // Switches the 30-second statistics line off, or back on.
    void debug() override;

    // `buffer` holds one whole RTP packet in its first `length` bytes, and `length` is the
    // buffer's own length. `inputIndex` -1 is reserved for the unit's own reassembled FU-A units.
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length, int inputIndex,
                               int param) override;

    std::shared_ptr<QelBuffer> getExtra() override;
    std::shared_ptr<QelBuffer> getPps() override;
    std::shared_ptr<QelBuffer> getSps() override;
    std::shared_ptr<QelBuffer> getSei() override;
    // Asked of the first next unit that implements IH264Unit; 0 when there is none.
    uint32_t getWidth() override;
    uint32_t getHeight() override;
    uint32_t getFPS() override;

    // Splits Annex-B data (four-byte start codes) into the bytes of its SPS and of its PPS NAL
    // units; writes `sps` or `pps` only when it found bytes of that kind.
    void parseExtraPacket(std::shared_ptr<QelBuffer> in, std::shared_ptr<QelBuffer>& sps,
                          std::shared_ptr<QelBuffer>& pps);

    IH264Interfaces getInterfaces();

private:
    void onParameterSet(const std::shared_ptr<QelBuffer>& buffer, unsigned long length, unsigned type);
    void onSlice(const std::shared_ptr<QelBuffer>& buffer, unsigned long length, unsigned type);
    void onBoundary();
    void onFua(const std::shared_ptr<QelBuffer>& buffer, unsigned long length, int inputIndex);
    // Ends a waiting fragmented NAL unit that a whole NAL unit interrupts.
    void dropIncompleteFua();
    // Pushes the pending access unit, if any; `countFrame` is false when a parameter set ends it.
    void flushAccessUnit(bool countFrame);
    // What a sequence gap costs: the pending fragments, and the pending picture unless the last
    // packet before the gap ended it.
    void onPacketLoss();

    std::shared_ptr<QelBuffer> mergeRtpSliceToH264();
    std::shared_ptr<QelBuffer> mergeFuToRtpNalU();
    void clearH264Queue();
    void clearFuaQueue();
    void debugPrint();
    // The SPS or PPS part of the stored parameter sets (getSps, getPps); takes mParamMutex.
    std::shared_ptr<QelBuffer> getParameterSet(bool wantSps);
    // Width, height or frame rate of the first next unit that implements IH264Unit, by the given
    // operation; false when none does. `outputs` receives the number of next units.
    bool askNextUnit(uint32_t (IH264Unit::*get)(), uint32_t* value, size_t* outputs);

    std::deque<std::shared_ptr<QelBuffer>> mH264Queue;
    std::deque<std::shared_ptr<QelBuffer>> mFuaQueue;
    uint64_t mH264QueueBytes;
    uint64_t mFuaQueueBytes;
    std::shared_ptr<QelBuffer> mPps;  // guarded by mParamMutex
    std::shared_ptr<QelBuffer> mSps;  // guarded by mParamMutex
    std::shared_ptr<QelBuffer> mSei;  // guarded by mParamMutex
    std::mutex mParamMutex;
    // RTP marker bit of the last packet that passed the continuity check (RFC 6184 5.1: set on
    // the last packet of an access unit).
    bool mLastMarker;
};

#endif

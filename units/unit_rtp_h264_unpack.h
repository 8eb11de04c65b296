#ifndef QUORVANE_UNITS_UNIT_RTP_H264_UNPACK_H
#define QUORVANE_UNITS_UNIT_RTP_H264_UNPACK_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

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
    // Also drops whatever was being assembled.
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

    // A new session begins: drops what was being assembled and starts the timestamp extension
    // afresh. With options().sdpParameterSets, the SPS and PPS among `sdpParameterSets` (bare NAL
    // units) are stored for the getters and handed on before the first picture unless the camera
    // sends its own first. Not concurrent with packet delivery.
    void newSession(const std::vector<std::vector<uint8_t>>& sdpParameterSets);
    // With options().markerCompletion, hands on a picture still pending (the camera never set the
    // marker bit, or the session ended before the next packet). Not concurrent with packet delivery.
    void flush();
    // Drops the pending fragments and picture.
    void clearAssembly();
    // Whether the queues agree with their byte counts and bounds; for tests and fuzzers.
    bool checkInvariants() const;
    // Buffer capacity and packets held by the queues.
    uint64_t heldBytes() const { return mH264HeldBytes + mFuaHeldBytes; }
    size_t heldPackets() const { return mH264Queue.size() + mFuaQueue.size(); }

private:
    void onParameterSet(const std::shared_ptr<QelBuffer>& buffer, unsigned long length, unsigned type);
    void onSlice(const std::shared_ptr<QelBuffer>& buffer, unsigned long length, unsigned type);
    void onBoundary();
    void onFua(const std::shared_ptr<QelBuffer>& buffer, unsigned long length, int inputIndex);
    // RFC 6184 5.7.1 STAP-A: each unit goes through onTransmitIn as a single NAL unit packet.
    void onStapA(const std::shared_ptr<QelBuffer>& buffer, unsigned long length);
    // Whether `packet`, carrying `payloadBytes`, may join the queues without breaking their bounds.
    // If not, everything pending is dropped with an error line.
    bool admit(const std::shared_ptr<QelBuffer>& packet, uint64_t payloadBytes);
    void deliverSdpParameterSets();
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

    // Filled from the back and emptied as a whole: their storage is kept from picture to picture,
    // so queuing a packet costs no allocation once they have grown to the stream's needs.
    std::vector<std::shared_ptr<QelBuffer>> mH264Queue;
    std::vector<std::shared_ptr<QelBuffer>> mFuaQueue;
    uint64_t mH264QueueBytes;
    uint64_t mFuaQueueBytes;
    std::shared_ptr<QelBuffer> mPps;  // guarded by mParamMutex
    std::shared_ptr<QelBuffer> mSps;  // guarded by mParamMutex
    std::shared_ptr<QelBuffer> mSei;  // guarded by mParamMutex
    std::mutex mParamMutex;
    // RTP marker bit of the last packet that passed the continuity check (RFC 6184 5.1: set on
    // the last packet of an access unit).
    bool mLastMarker;
    uint64_t mH264HeldBytes = 0;  // capacity of the buffers in mH264Queue
    uint64_t mFuaHeldBytes = 0;   // capacity of the buffers in mFuaQueue
    // The pending picture: its extended RTP timestamp, and whether packets of it were lost.
    uint64_t mAuTimestamp = 0;
    bool mAuDamaged = false;
    // SDP parameter sets still to be handed on before the first picture of the session.
    std::vector<std::shared_ptr<QelBuffer>> mSdpParameterSets;
    bool mSdpPending = false;
    // Packets left before the statistics line next reads the clock.
    unsigned mDebugClockCountdown = 0;
};

#endif

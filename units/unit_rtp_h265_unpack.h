#ifndef QUORVANE_UNITS_UNIT_RTP_H265_UNPACK_H
#define QUORVANE_UNITS_UNIT_RTP_H265_UNPACK_H

#include <cstdint>
#include <memory>
#include <vector>

#include "../platform/buffer.h"
#include "../quorvane_export.h"
#include "unit.h"
#include "unit_rtp_h26x_unpack_base.h"

// The fragmentation-unit packets of the one H.265 NAL unit being reassembled, shared with their
// sender and copied only when merged.
class QUORVANE_EXPORT H265FUs {
public:
    H265FUs();

    // Appends one FU packet (12-byte RTP header, 2-byte payload header, FU header, fragment);
    // the caller has checked that it holds at least those 15 bytes.
    void pushRTP(std::shared_ptr<QelBuffer> packet);
    // The whole NAL unit as a single NAL unit packet (12 unused header bytes, then the NAL unit),
    // or an empty pointer when the fragments do not form one. Empties the list either way.
    std::shared_ptr<QelBuffer> mergeFuToRtpNalU();
    void clear();
    void dropBuffers();

    bool empty() const { return mFus.empty(); }
    // Fragment bytes held, without the three headers of each packet.
    uint64_t pendingBytes() const { return mFusBytes; }
    // Buffer capacity and packets held.
    uint64_t heldBytes() const { return mHeldBytes; }
    size_t size() const { return mFus.size(); }
    // Whether the byte counts agree with the packets held.
    bool checkInvariants() const;

private:
    // Filled from the back and emptied as a whole; its storage is kept for the next NAL unit.
    std::vector<std::shared_ptr<QelBuffer>> mFus;
    uint64_t mFusBytes;
    uint64_t mHeldBytes = 0;
    LogRateLimiter mPacketLog;  // the lines broken fragments trigger
};

// H.265 RTP depacketizer (RFC 7798 single NAL unit packets of the types cameras send, and
// fragmentation units). Pushes every NAL unit as a buffer of its own: start code and NAL unit.
class QUORVANE_EXPORT RtpH265UnpackUnitSM : public Unit<SlaveInput, MasterOutput>, public RtpH26xUnpackBase {
public:
    RtpH265UnpackUnitSM();
    ~RtpH265UnpackUnitSM() override;

    void enable() override;
    // Also drops a fragmented NAL unit being assembled.
    void disable() override;

    // A new session begins: drops the fragments and starts the timestamp extension afresh. With
    // options().sdpParameterSets, the VPS, SPS and PPS among `sdpParameterSets` (bare NAL units)
    // are handed on before the first picture unless the camera sends its own first. Not
    // concurrent with packet delivery.
    void newSession(const std::vector<std::vector<uint8_t>>& sdpParameterSets);
    void clearAssembly();
    bool checkInvariants() const;
    uint64_t heldBytes() const { return mH265Fus.heldBytes(); }
    size_t heldPackets() const { return mH265Fus.size(); }

    // `packet` holds one whole RTP packet in its first `len` bytes, and `len` is the buffer's own
    // length. `inputIndex` -1 is reserved for the unit's own reassembled NAL units.
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> packet, unsigned long len, int inputIndex,
                               int param) override;

private:
    void deliver(const std::shared_ptr<QelBuffer>& packet, unsigned long len, int type);
    void onFragment(const std::shared_ptr<QelBuffer>& packet, unsigned long len, int inputIndex);
    // RFC 7798 4.4.2 aggregation packet: each unit goes through onTransmitIn as a single NAL unit
    // packet.
    void onAggregate(const std::shared_ptr<QelBuffer>& packet, unsigned long len);
    // Gives up the fragmented NAL unit being assembled, counting a picture lost when it was one.
    void abandonFragments();

    H265FUs mH265Fus;
    // SDP parameter sets still to be handed on before the first picture of the session.
    std::vector<std::shared_ptr<QelBuffer>> mSdpParameterSets;
    bool mSdpPending = false;
    // A fragmented NAL unit was given up, or one whose start never came dropped, since the last NAL
    // unit handed on: the next one goes without kComplete (as after lost packets), and its picture
    // (or the one before) counts as damaged.
    bool mDamaged = false;
};

#endif

#ifndef QUORVANE_TESTKIT_RTP_PACKETIZER_H
#define QUORVANE_TESTKIT_RTP_PACKETIZER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "testkit/annexb.h"

// Turns H.264 or H.265 NAL units into RTP packets the way a camera sends them: one picture per
// RTP timestamp (90 kHz clock), the marker bit on the last packet of a picture, increasing
// sequence numbers that wrap at 65535. A NAL unit that fits into one packet goes out as a single
// NAL unit packet; a larger one as fragmentation units (H.264 FU-A, H.265 FU). With `aggregate`
// set, neighbouring small NAL units of one picture are packed into aggregation packets (H.264
// STAP-A, H.265 AP) instead.
namespace testkit {

struct RtpPacketizerConfig {
    VideoCodec codec = VideoCodec::H264;
    size_t mtu = 1400;  // largest RTP packet, 12-byte header included; at least 16
    uint8_t payloadType = 96;
    uint32_t ssrc = 0x51C0FFEE;
    uint16_t firstSeq = 0;
    uint32_t firstTimestamp = 0;
    uint32_t timestampStep = 3600;  // 25 pictures per second
    bool aggregate = false;
};

class RtpPacketizer {
public:
    // Throws std::invalid_argument for an MTU too small to carry a fragment.
    explicit RtpPacketizer(const RtpPacketizerConfig& config);

    // The packets of one picture, given as its NAL units without start codes. The picture gets
    // the next timestamp; empty NAL units are skipped.
    std::vector<Bytes> packetizePicture(const std::vector<Bytes>& nals);

    // The packets of a whole Annex-B stream, picture by picture (see groupAccessUnits).
    std::vector<Bytes> packetizeStream(const Bytes& annexb);

    uint16_t nextSeq() const { return mSeq; }
    uint32_t nextTimestamp() const { return mTimestamp; }
    // Moves the clock, as a camera whose clock is set or whose encoder restarts.
    void stepTimestamp(uint32_t step) { mTimestamp += step; }

private:
    Bytes header(bool marker);
    void emitSingle(const Bytes& nal, std::vector<Bytes>* out);
    void emitFragments(const Bytes& nal, std::vector<Bytes>* out);
    void emitAggregate(const std::vector<Bytes>& nals, size_t first, size_t count, std::vector<Bytes>* out);
    // How many NAL units from `first` on fit together into one aggregation packet.
    size_t aggregatable(const std::vector<Bytes>& nals, size_t first) const;

    RtpPacketizerConfig mConfig;
    uint16_t mSeq;
    uint32_t mTimestamp;
};

// One RTP packet with a 12-byte header (version 2, no CSRC, no extension) and `payload`.
Bytes makeRtpPacket(uint16_t seq, uint32_t timestamp, bool marker, const Bytes& payload,
                    uint8_t payloadType = 96, uint32_t ssrc = 0x51C0FFEE);

// Fields of an RTP packet made by the packetizer (fixed 12-byte header); 0 when too short.
uint16_t rtpSeq(const Bytes& packet);
uint32_t rtpTimestamp(const Bytes& packet);
bool rtpMarker(const Bytes& packet);

}  // namespace testkit

#endif

#include "testkit/rtp_packetizer.h"

#include <algorithm>
#include <stdexcept>

namespace testkit {

namespace {

constexpr size_t kRtpHeader = 12;

size_t payloadHeaderSize(VideoCodec codec) {
    return codec == VideoCodec::H264 ? 1 : 2;
}
// Payload header plus FU header.
size_t fragmentHeaderSize(VideoCodec codec) {
    return payloadHeaderSize(codec) + 1;
}

// RFC 3550 5.1: version 2, no padding, no extension, no CSRC.
Bytes rtpHeader(uint8_t payloadType, bool marker, uint16_t seq, uint32_t timestamp, uint32_t ssrc) {
    Bytes h(kRtpHeader);
    h[0] = 0x80;
    h[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | (payloadType & 0x7F));
    h[2] = static_cast<uint8_t>(seq >> 8);
    h[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) {
        h[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
        h[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
    return h;
}

void putBe16(Bytes* out, size_t value) {
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value));
}

}  // namespace

RtpPacketizer::RtpPacketizer(const RtpPacketizerConfig& config)
    : mConfig(config), mSeq(config.firstSeq), mTimestamp(config.firstTimestamp) {
    if (mConfig.mtu < kRtpHeader + fragmentHeaderSize(mConfig.codec) + 1) {
        throw std::invalid_argument("RTP packetizer MTU too small for a fragment");
    }
}

Bytes RtpPacketizer::header(bool marker) {
    Bytes h = rtpHeader(mConfig.payloadType, marker, mSeq, mTimestamp, mConfig.ssrc);
    ++mSeq;  // wraps 65535 -> 0
    return h;
}

void RtpPacketizer::emitSingle(const Bytes& nal, std::vector<Bytes>* out) {
    Bytes p = header(false);
    p.insert(p.end(), nal.begin(), nal.end());
    out->push_back(std::move(p));
}

void RtpPacketizer::emitFragments(const Bytes& nal, std::vector<Bytes>* out) {
    const VideoCodec codec = mConfig.codec;
    const size_t skip = payloadHeaderSize(codec);  // the NAL header travels in the FU headers
    const size_t room = mConfig.mtu - kRtpHeader - fragmentHeaderSize(codec);
    for (size_t pos = skip; pos < nal.size(); pos += room) {
        size_t n = std::min(room, nal.size() - pos);
        Bytes p = header(false);
        uint8_t fuHeader = 0;
        if (pos == skip) fuHeader |= 0x80;            // S
        if (pos + n == nal.size()) fuHeader |= 0x40;  // E
        if (codec == VideoCodec::H264) {
            // RFC 6184 5.8: indicator keeps F and NRI, type 28; FU header carries the NAL type.
            p.push_back(static_cast<uint8_t>((nal[0] & 0xE0) | 28));
            p.push_back(static_cast<uint8_t>(fuHeader | (nal[0] & 0x1F)));
        } else {
            // RFC 7798 4.4.3: payload header is the NAL header with type 49; FU header type 6 bits.
            p.push_back(static_cast<uint8_t>((nal[0] & 0x81) | (49 << 1)));
            p.push_back(nal[1]);
            p.push_back(static_cast<uint8_t>(fuHeader | ((nal[0] >> 1) & 0x3F)));
        }
        p.insert(p.end(), nal.begin() + static_cast<std::ptrdiff_t>(pos),
                 nal.begin() + static_cast<std::ptrdiff_t>(pos + n));
        out->push_back(std::move(p));
    }
}

size_t RtpPacketizer::aggregatable(const std::vector<Bytes>& nals, size_t first) const {
    size_t size = kRtpHeader + payloadHeaderSize(mConfig.codec);
    size_t count = 0;
    for (size_t i = first; i < nals.size(); ++i) {
        size_t add = 2 + nals[i].size();  // 16-bit size field and the NAL unit
        if (nals[i].size() < payloadHeaderSize(mConfig.codec) || nals[i].size() > 0xFFFF ||
            size + add > mConfig.mtu) {
            break;
        }
        size += add;
        ++count;
    }
    return count;
}

void RtpPacketizer::emitAggregate(const std::vector<Bytes>& nals, size_t first, size_t count,
                                  std::vector<Bytes>* out) {
    Bytes p = header(false);
    if (mConfig.codec == VideoCodec::H264) {
        // RFC 6184 5.7.1: F is the OR of the units' F bits, NRI their highest NRI.
        uint8_t f = 0, nri = 0;
        for (size_t i = first; i < first + count; ++i) {
            f |= nals[i][0] & 0x80;
            nri = std::max<uint8_t>(nri, nals[i][0] & 0x60);
        }
        p.push_back(static_cast<uint8_t>(f | nri | 24));
    } else {
        // RFC 7798 4.4.2: type 48, layer id and TID as the lowest of the units (all ours are 0/1).
        uint8_t tid = 7;
        for (size_t i = first; i < first + count; ++i) tid = std::min<uint8_t>(tid, nals[i][1] & 0x07);
        p.push_back(static_cast<uint8_t>(48 << 1));
        p.push_back(tid);
    }
    for (size_t i = first; i < first + count; ++i) {
        putBe16(&p, nals[i].size());
        p.insert(p.end(), nals[i].begin(), nals[i].end());
    }
    out->push_back(std::move(p));
}

std::vector<Bytes> RtpPacketizer::packetizePicture(const std::vector<Bytes>& nals) {
    std::vector<Bytes> out;
    const size_t minNal = payloadHeaderSize(mConfig.codec);
    for (size_t i = 0; i < nals.size();) {
        const Bytes& nal = nals[i];
        if (nal.size() < minNal) {
            ++i;
            continue;
        }
        size_t together = mConfig.aggregate ? aggregatable(nals, i) : 0;
        if (together >= 2) {
            emitAggregate(nals, i, together, &out);
            i += together;
        } else if (kRtpHeader + nal.size() <= mConfig.mtu) {
            emitSingle(nal, &out);
            ++i;
        } else {
            emitFragments(nal, &out);
            ++i;
        }
    }
    if (!out.empty()) out.back()[1] |= 0x80;  // RFC 3550 5.1 / RFC 6184 5.1: marker ends the picture
    mTimestamp += mConfig.timestampStep;
    return out;
}

std::vector<Bytes> RtpPacketizer::packetizeStream(const Bytes& annexb) {
    std::vector<Bytes> out;
    for (const auto& picture : groupAccessUnits(mConfig.codec, splitAnnexB(annexb))) {
        std::vector<Bytes> packets = packetizePicture(picture);
        for (Bytes& p : packets) out.push_back(std::move(p));
    }
    return out;
}

Bytes makeRtpPacket(uint16_t seq, uint32_t timestamp, bool marker, const Bytes& payload, uint8_t payloadType,
                    uint32_t ssrc) {
    Bytes p = rtpHeader(payloadType, marker, seq, timestamp, ssrc);
    p.resize(kRtpHeader + payload.size());
    std::copy(payload.begin(), payload.end(), p.begin() + kRtpHeader);
    return p;
}

uint16_t rtpSeq(const Bytes& packet) {
    return packet.size() < kRtpHeader ? 0 : static_cast<uint16_t>(packet[2] << 8 | packet[3]);
}

uint32_t rtpTimestamp(const Bytes& packet) {
    if (packet.size() < kRtpHeader) return 0;
    return static_cast<uint32_t>(packet[4]) << 24 | static_cast<uint32_t>(packet[5]) << 16 |
           static_cast<uint32_t>(packet[6]) << 8 | packet[7];
}

bool rtpMarker(const Bytes& packet) {
    return packet.size() >= kRtpHeader && (packet[1] & 0x80) != 0;
}

}  // namespace testkit

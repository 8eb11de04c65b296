// Shared by the depacketizer tests: packet feeding and test data paths.
#ifndef QUORVANE_TESTS_UNPACK_TEST_SUPPORT_H
#define QUORVANE_TESTS_UNPACK_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/frame_meta.h"
#include "testkit/annexb.h"
#include "testkit/collecting_sink.h"
#include "testkit/hex_packets.h"
#include "testkit/rtp_packetizer.h"
#include "tests/log_capture.h"
#include "units/unit.h"

namespace unpack_test {

using testkit::Bytes;

using testkit::clipPath;
using testkit::readClip;

inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// An H.264 IDR or H.265 IRAP picture.
inline bool isKeyframe(testkit::VideoCodec codec, const std::vector<Bytes>& au) {
    for (const Bytes& nal : au) {
        int type = testkit::nalUnitType(codec, nal);
        if (codec == testkit::VideoCodec::H264 ? type == 5 : type >= 16 && type <= 23) return true;
    }
    return false;
}

inline std::vector<Bytes> cameraPackets(const std::string& name) {
    std::vector<Bytes> packets;
    EXPECT_TRUE(testkit::readHexPackets(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/hex/" + name,
                                        &packets))
        << name;
    return packets;
}

// Hands RTP packets to a unit's input as its first upstream unit would (input position 0), with
// consecutive sequence numbers unless told otherwise.
class Feeder {
public:
    explicit Feeder(SlaveInput* input, uint16_t firstSeq = 0) : mInput(input), mSeq(firstSeq) {}

    unsigned long payload(const Bytes& payload, bool marker = false, uint32_t timestamp = 0) {
        return packet(testkit::makeRtpPacket(mSeq++, timestamp, marker, payload));
    }
    unsigned long packet(const Bytes& packet) {
        auto buffer = testkit::makePacketBuffer(packet);
        return mInput->onTransmitIn(buffer, buffer->length, 0, 0);
    }
    void skip(uint16_t count = 1) { mSeq = static_cast<uint16_t>(mSeq + count); }
    void setSeq(uint16_t seq) { mSeq = seq; }

private:
    SlaveInput* mInput;
    uint16_t mSeq;
};

// A pipeline end that keeps every buffer's bytes with the FrameMeta the depacketizer attached.
class MetaSink : public Unit<SlaveInput, EndpointOutput> {
public:
    struct Delivery {
        Bytes data;
        FrameMeta meta;
    };
    MetaSink() : Unit<SlaveInput, EndpointOutput>("META_SINK", UNIT_DATA_ANY, 2, UNIT_DATA_ANY, 1) {
        enable();
    }
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length, int, int) override {
        const uint8_t* p = static_cast<const uint8_t*>(buffer->getVaddr());
        out.push_back({Bytes(p, p + length), FrameMeta::load(buffer->info)});
        return length;
    }
    std::vector<Bytes> data() const {
        std::vector<Bytes> d;
        for (const Delivery& x : out) d.push_back(x.data);
        return d;
    }
    std::vector<Delivery> out;
};

inline Bytes startCode(Bytes nal) {
    nal.insert(nal.begin(), {0x00, 0x00, 0x00, 0x01});
    return nal;
}

inline std::vector<Bytes> deliveredData(const testkit::CollectingSink& sink) {
    std::vector<Bytes> out;
    for (const auto& d : sink.deliveries()) out.push_back(d.data);
    return out;
}

// Compares NAL unit sequences; on a difference reports where, not the whole of both.
inline testing::AssertionResult sameNals(const std::vector<Bytes>& actual,
                                         const std::vector<Bytes>& expected) {
    size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
    if (i == actual.size() && i == expected.size()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "first difference at NAL unit " << i << " of " << actual.size()
                                       << " (expected " << expected.size() << ")";
}

}  // namespace unpack_test

#endif

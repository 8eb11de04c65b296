// Shared by the depacketizer tests: packet feeding, log capture and test data paths.
#ifndef QUORVANE_TESTS_UNPACK_TEST_SUPPORT_H
#define QUORVANE_TESTS_UNPACK_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/annexb.h"
#include "testkit/collecting_sink.h"
#include "testkit/hex_packets.h"
#include "testkit/rtp_packetizer.h"
#include "units/unit.h"

namespace unpack_test {

using testkit::Bytes;

inline std::string clipPath(const std::string& name) {
    return std::string(QUORVANE_SOURCE_DIR) + "/testkit/clips/" + name;
}

inline std::vector<Bytes> cameraPackets(const std::string& name) {
    std::vector<Bytes> packets;
    EXPECT_TRUE(testkit::readHexPackets(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/hex/" + name,
                                        &packets))
        << name;
    return packets;
}

// What the library wrote to standard error (warnings, errors) and standard output (debug lines)
// while the object lived, once stop() was called.
class LogCapture {
public:
    LogCapture() {
        fflush(stdout);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
    }
    void stop() {
        if (mStopped) return;
        mStopped = true;
        fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }
    ~LogCapture() { stop(); }

    // Number of lines of standard error containing `text`.
    int errCount(const std::string& text) const { return count(err, text); }
    int outCount(const std::string& text) const { return count(out, text); }

    std::string err;
    std::string out;

private:
    static int count(const std::string& haystack, const std::string& text) {
        int n = 0;
        for (size_t pos = haystack.find(text); pos != std::string::npos; pos = haystack.find(text, pos + 1))
            ++n;
        return n;
    }
    bool mStopped = false;
};

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
    for (size_t i = 0; i < actual.size() && i < expected.size(); ++i) {
        if (actual[i] != expected[i]) {
            return testing::AssertionFailure()
                   << "NAL unit " << i << " differs: " << actual[i].size() << " bytes, header 0x" << std::hex
                   << int(actual[i].empty() ? 0 : actual[i][0]) << ", expected " << std::dec
                   << expected[i].size() << " bytes, header 0x" << std::hex
                   << int(expected[i].empty() ? 0 : expected[i][0]);
        }
    }
    if (actual.size() != expected.size()) {
        return testing::AssertionFailure() << actual.size() << " NAL units, expected " << expected.size();
    }
    return testing::AssertionSuccess();
}

}  // namespace unpack_test

#endif

// The benchmarks' light sender seen from the wire: a plain RTSP session (no receiver unit) and a
// bare socket on the client port show what it sends. The test camera's clip streamer is relied
// on, and so checked, by the client's end-to-end tests (the clip's bytes, decoded) and the frame
// callback test (its sender reports, from the RTCP port beside the video's, and its pace).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "testkit/light_sender.h"
#include "testkit/rtp_packetizer.h"
#include "testkit/test_camera.h"
#include "tests/client_test_support.h"
#include "utils/curl_rtsp.h"

namespace {

using testkit::Bytes;
using testkit::VideoCodec;
using Clock = std::chrono::steady_clock;

// Reads datagrams from `fd` for `ms` milliseconds.
struct Datagram {
    Bytes data;
    in_addr_t fromAddress;
};
std::vector<Datagram> readFor(int fd, int ms) {
    std::vector<Datagram> out;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0) continue;
        uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) out.push_back(Datagram{Bytes(buffer, buffer + n), from.sin_addr.s_addr});
    }
    return out;
}

}  // namespace

TEST(LightSender, PlayReplaysTheClipsPacketsAndFloodComesFromAForeignAddress) {
    testkit::LightSenderOptions options;
    options.fps = 50;
    options.loop = false;
    testkit::LightSender sender(VideoCodec::H264, testkit::readClip("h264_single_slice.264"), options);
    CameraScript script;
    script.sdp = sender.sdp();
    TestCamera camera(script);
    camera.setStreamerFactory(sender.factory());
    ASSERT_TRUE(camera.start());
    client_test::UdpPort ports;
    ASSERT_NE(ports.port, 0);
    CurlRtsp session(camera.url(), ports.port, static_cast<uint16_t>(ports.port + 1), "", "", false);
    ASSERT_TRUE(session.startCurl());
    std::vector<Datagram> rtp = readFor(ports.fd, 1500);

    // The packetizer's packets, each whole (sent from pieces), with consecutive numbering of
    // the play's own and one timestamp per picture.
    std::vector<Bytes> expected = testkit::RtpPacketizer(testkit::RtpPacketizerConfig())
                                      .packetizeStream(testkit::readClip("h264_single_slice.264"));
    ASSERT_EQ(rtp.size(), expected.size());
    for (size_t i = 0; i < rtp.size(); ++i) {
        ASSERT_EQ(Bytes(rtp[i].data.begin() + 12, rtp[i].data.end()),
                  Bytes(expected[i].begin() + 12, expected[i].end()))
            << "packet " << i;
        EXPECT_EQ(testkit::rtpMarker(rtp[i].data), testkit::rtpMarker(expected[i]));
        EXPECT_EQ(testkit::rtpSeq(rtp[i].data), static_cast<uint16_t>(testkit::rtpSeq(rtp[0].data) + i));
        bool samePicture = testkit::rtpTimestamp(expected[i]) == testkit::rtpTimestamp(expected[0]);
        EXPECT_EQ(testkit::rtpTimestamp(rtp[i].data) == testkit::rtpTimestamp(rtp[0].data), samePicture);
    }
    EXPECT_EQ(sender.picturesSent(), 30u);

    EXPECT_EQ(sender.flood(5), 5u);
    std::vector<Datagram> foreign = readFor(ports.fd, 300);
    ASSERT_EQ(foreign.size(), 5u);
    for (const Datagram& d : foreign) {
        EXPECT_EQ(d.fromAddress, htonl(0x7F000002));
        EXPECT_EQ(Bytes(d.data.begin() + 8, d.data.begin() + 12),
                  Bytes(rtp[0].data.begin() + 8, rtp[0].data.begin() + 12));
    }
    session.stopCurl();
}

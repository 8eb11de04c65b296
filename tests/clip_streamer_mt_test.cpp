// The test camera's clip streamer and the benchmarks' light sender seen from the wire: a plain
// RTSP session (no receiver unit) and bare sockets on the client ports show what they send, how
// the clip streamer paces and reports. Looping, pausing and
// interleaved play are relied on, and so checked, by the client's end-to-end tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testkit/clip_streamer.h"
#include "testkit/light_sender.h"
#include "testkit/rtp_packetizer.h"
#include "utils/curl_rtsp.h"

namespace {

using testkit::Bytes;
using testkit::VideoCodec;
using Clock = std::chrono::steady_clock;

// A UDP socket bound to a free even port, with its odd neighbour: the client side of a session.
struct ClientPorts {
    ClientPorts() {
        for (int attempt = 0; attempt < 64 && rtcp < 0; ++attempt) {
            closeAll();
            rtp = bindTo(0);
            sockaddr_in a{};
            socklen_t len = sizeof(a);
            getsockname(rtp, reinterpret_cast<sockaddr*>(&a), &len);
            port = ntohs(a.sin_port);
            if (port % 2 == 0 && port < 65534) rtcp = bindTo(static_cast<uint16_t>(port + 1));
        }
    }
    ~ClientPorts() { closeAll(); }
    static int bindTo(uint16_t p) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(p);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    void closeAll() {
        if (rtp >= 0) close(rtp);
        if (rtcp >= 0) close(rtcp);
        rtp = rtcp = -1;
    }
    int rtp = -1;
    int rtcp = -1;
    uint16_t port = 0;
};

// Reads datagrams from `fd` for `ms` milliseconds, with the time each arrived.
struct Datagram {
    Bytes data;
    Clock::time_point at;
    uint16_t fromPort;
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
        if (n > 0)
            out.push_back(Datagram{Bytes(buffer, buffer + n), Clock::now(), ntohs(from.sin_port),
                                   from.sin_addr.s_addr});
    }
    return out;
}

// A started test camera that describes and plays what `sender` sends.
template <class Sender>
std::unique_ptr<TestCamera> cameraFor(const Sender& sender) {
    CameraScript script;
    script.sdp = sender.sdp();
    auto camera = std::make_unique<TestCamera>(script);
    camera->setStreamerFactory(sender.factory());
    return camera->start() ? std::move(camera) : nullptr;
}

}  // namespace

TEST(ClipStreamer, UdpPlaySendsTheClipPacedWithSenderReports) {
    testkit::ClipStreamerOptions options;
    options.senderReportIntervalMs = 300;
    testkit::ClipStreamer streamer(VideoCodec::H264, testkit::readClip("h264_single_slice.264"), options);
    ASSERT_EQ(streamer.pictureCount(), 30u);
    auto camera = cameraFor(streamer);
    ASSERT_NE(camera, nullptr);

    ClientPorts ports;
    ASSERT_GE(ports.rtcp, 0);
    CurlRtsp session(camera->url(), ports.port, static_cast<uint16_t>(ports.port + 10), "", "", false);
    ASSERT_TRUE(session.startCurl());
    std::vector<Datagram> rtcp;
    std::thread rtcpReader([&] { rtcp = readFor(ports.rtcp, 2500); });
    std::vector<Datagram> rtp = readFor(ports.rtp, 2500);
    rtcpReader.join();

    // The whole clip, in order, as the packetizer makes it, spread over the 1.2 s the 30
    // pictures take at 25 per second; then nothing more (no loop).
    testkit::RtpPacketizerConfig config;
    std::vector<Bytes> expected =
        testkit::RtpPacketizer(config).packetizeStream(testkit::readClip("h264_single_slice.264"));
    ASSERT_EQ(rtp.size(), expected.size());
    for (size_t i = 0; i < rtp.size(); ++i) ASSERT_EQ(rtp[i].data, expected[i]) << "packet " << i;
    double spread = std::chrono::duration<double>(rtp.back().at - rtp.front().at).count();
    EXPECT_GT(spread, 0.9);
    EXPECT_LT(spread, 2.0);
    EXPECT_EQ(streamer.picturesSent(), 30u);
    EXPECT_EQ(streamer.packetsSent(), expected.size());

    // Sender reports come from the RTCP port one above the RTP port the video came from.
    ASSERT_GE(rtcp.size(), 2u);
    EXPECT_EQ(rtp.front().fromPort % 2, 0);
    EXPECT_EQ(rtcp.front().fromPort, rtp.front().fromPort + 1);
    const Bytes& sr = rtcp.front().data;
    ASSERT_GE(sr.size(), 28u);
    EXPECT_EQ(sr[0], 0x80);
    EXPECT_EQ(sr[1], 200);
    EXPECT_EQ(Bytes(sr.begin() + 4, sr.begin() + 8), Bytes(expected[0].begin() + 8, expected[0].begin() + 12))
        << "SSRC";
    ASSERT_FALSE(streamer.senderReports().empty());
    EXPECT_EQ(streamer.senderReports().front(), sr);
    session.stopCurl();
}

TEST(LightSender, PlayReplaysTheClipsPacketsAndFloodComesFromAForeignAddress) {
    testkit::LightSenderOptions options;
    options.fps = 50;
    options.loop = false;
    testkit::LightSender sender(VideoCodec::H264, testkit::readClip("h264_single_slice.264"), options);
    auto camera = cameraFor(sender);
    ASSERT_NE(camera, nullptr);
    ClientPorts ports;
    ASSERT_GE(ports.rtcp, 0);
    CurlRtsp session(camera->url(), ports.port, static_cast<uint16_t>(ports.port + 10), "", "", false);
    ASSERT_TRUE(session.startCurl());
    std::vector<Datagram> rtp = readFor(ports.rtp, 1500);

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
    std::vector<Datagram> foreign = readFor(ports.rtp, 300);
    ASSERT_EQ(foreign.size(), 5u);
    for (const Datagram& d : foreign) {
        EXPECT_EQ(d.fromAddress, htonl(0x7F000002));
        EXPECT_EQ(Bytes(d.data.begin() + 8, d.data.begin() + 12),
                  Bytes(rtp[0].data.begin() + 8, rtp[0].data.begin() + 12));
    }
    session.stopCurl();
}

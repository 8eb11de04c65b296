// The test camera's clip streamer and the benchmarks' light sender seen from the wire: a plain
// RTSP session (no receiver unit) and bare sockets on the client ports show what they send, how
// the clip streamer paces, that it pauses, and that it keeps what arrives at its RTCP port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
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

Bytes clip(const char* name) {
    Bytes data;
    EXPECT_TRUE(testkit::readFile(std::string(QUORVANE_SOURCE_DIR) + "/testkit/clips/" + name, &data));
    return data;
}

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

TEST(ClipStreamer, UdpPlaySendsTheClipPacedWithSenderReportsAndKeepsTheAnswers) {
    testkit::ClipStreamerOptions options;
    options.senderReportIntervalMs = 300;
    testkit::ClipStreamer streamer(VideoCodec::H264, clip("h264_single_slice.264"), options);
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
        testkit::RtpPacketizer(config).packetizeStream(clip("h264_single_slice.264"));
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

    // What the client sends back to that port is kept.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(rtcp.front().fromPort);
    const uint8_t answer[] = {0x81, 0xC9, 0x00, 0x07, 1, 2, 3, 4};
    ASSERT_EQ(sendto(ports.rtcp, answer, sizeof(answer), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 8);
    ASSERT_TRUE(streamer.waitForReceivedRtcp(1, 3000));
    EXPECT_EQ(streamer.receivedRtcp()[0].data, Bytes(answer, answer + sizeof(answer)));
    EXPECT_EQ(streamer.receivedRtcp()[0].fromPort, ports.port + 1);
    session.stopCurl();
}

TEST(ClipStreamer, InterleavedPlayLoopsPausesAndResumes) {
    testkit::ClipStreamerOptions options;
    options.loop = true;
    options.fps = 50;
    options.senderReportIntervalMs = 0;
    testkit::ClipStreamer streamer(VideoCodec::H265, clip("h265.265"), options);
    auto camera = cameraFor(streamer);
    ASSERT_NE(camera, nullptr);

    std::mutex mutex;
    std::vector<std::pair<uint8_t, Bytes>> frames;
    CurlRtsp session(camera->url(), 0, 0, "", "", true);
    session.mTcpRecvCallback = [&](void* data, unsigned long len) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        std::lock_guard<std::mutex> lock(mutex);
        frames.emplace_back(p[1], Bytes(p + 4, p + len));
    };
    ASSERT_TRUE(session.startCurl());
    // Past the end of the clip: the loop goes on with the first picture.
    ASSERT_TRUE(streamer.waitForPictures(40, 5000));
    streamer.pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    size_t atPause;
    {
        std::lock_guard<std::mutex> lock(mutex);
        atPause = frames.size();
    }
    size_t picturesAtPause = streamer.picturesSent();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(frames.size(), atPause) << "frames sent while paused";
    }
    EXPECT_EQ(streamer.picturesSent(), picturesAtPause);
    streamer.resume();
    EXPECT_TRUE(streamer.waitForPictures(picturesAtPause + 5, 3000));
    session.stopCurl();

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GT(frames.size(), atPause);
    // Every frame on the video RTP channel, sequence numbers without a gap across the loop and
    // the pause.
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].first, 0);
        if (i > 0) {
            ASSERT_EQ(testkit::rtpSeq(frames[i].second),
                      static_cast<uint16_t>(testkit::rtpSeq(frames[i - 1].second) + 1));
        }
    }
}

TEST(LightSender, PlayReplaysTheClipsPacketsAndFloodComesFromAForeignAddress) {
    testkit::LightSenderOptions options;
    options.fps = 50;
    options.loop = false;
    testkit::LightSender sender(VideoCodec::H264, clip("h264_single_slice.264"), options);
    auto camera = cameraFor(sender);
    ASSERT_NE(camera, nullptr);
    ClientPorts ports;
    ASSERT_GE(ports.rtcp, 0);
    CurlRtsp session(camera->url(), ports.port, static_cast<uint16_t>(ports.port + 10), "", "", false);
    ASSERT_TRUE(session.startCurl());
    std::vector<Datagram> rtp = readFor(ports.rtp, 1500);

    // The packetizer's packets, each whole (sent from pieces), with consecutive numbering of
    // the play's own and one timestamp per picture.
    std::vector<Bytes> expected =
        testkit::RtpPacketizer(testkit::RtpPacketizerConfig()).packetizeStream(clip("h264_single_slice.264"));
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

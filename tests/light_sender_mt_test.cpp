// The benchmarks' light sender seen from the wire: a plain RTSP session (no receiver unit) and a
// bare socket on the client port show what it sends. Paced, it feeds a client with receive
// coalescing. The test camera's clip streamer is relied
// on, and so checked, by the client's end-to-end tests (the clip's bytes, decoded) and the frame
// callback test (its sender reports, from the RTCP port beside the video's, and its pace).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtsp_client.h"
#include "testkit/light_sender.h"
#include "testkit/rtp_packetizer.h"
#include "testkit/test_camera.h"
#include "tests/client_test_support.h"
#include "tests/thread_wait.h"
#include "utils/curl_rtsp.h"
#include "utils/time_constants_internal.h"

namespace {

using testkit::Bytes;
using testkit::VideoCodec;
using Clock = std::chrono::steady_clock;

// Reads datagrams from `fd` for `ms` milliseconds.
struct Datagram {
    Bytes data;
    std::string fromAddress;
    uint16_t fromPort;
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
        sockaddr_storage from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &len);
        char host[NI_MAXHOST] = {0}, port[NI_MAXSERV] = {0};
        getnameinfo(reinterpret_cast<sockaddr*>(&from), len, host, sizeof(host), port, sizeof(port),
                    NI_NUMERICHOST | NI_NUMERICSERV);
        if (n > 0)
            out.push_back(Datagram{Bytes(buffer, buffer + n), host, static_cast<uint16_t>(atoi(port))});
    }
    return out;
}

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

// Over IPv4 each play sends from a port of its own and announces none; over IPv6 from the one
// port the SETUP answer announces, so the flood, from ::1 as well, is told apart by its port. A
// multicast SETUP gets a group of its own over IPv4, and is refused over IPv6.
TEST(LightSender, PlayReplaysTheClipsPacketsAndFloodComesFromAForeignAddress) {
    const Bytes clip = testkit::readClip("h264_single_slice.264");
    for (const std::string host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        const bool ipv6 = host == "::1";
        testkit::LightSenderOptions options;
        options.fps = 100;  // the clip in 0.3 s
        options.loop = false;
        testkit::LightSender sender(VideoCodec::H264, clip, options);
        CameraScript script;
        script.sdp = sender.sdp();
        TestCamera camera(script);
        camera.setStreamerFactory(sender.factory());
        camera.setUdpSetupHook(sender.udpSetupHook());
        ASSERT_TRUE(camera.start(host, 0));
        sockaddr_storage local{};
        socklen_t length = 0;
        ASSERT_TRUE(socketAddress(host, 0, &local, &length));
        const int fd = socket(local.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), length), 0);
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length), 0);
        const uint16_t port = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
        CurlRtsp session(camera.url(), port, static_cast<uint16_t>(port + 1), "", "", false);
        ASSERT_TRUE(session.startCurl());
        std::vector<Datagram> rtp = readFor(fd, 700);

        // The packetizer's packets, each whole (sent from pieces), with consecutive numbering of
        // the play's own and one timestamp per picture.
        std::vector<Bytes> expected =
            testkit::RtpPacketizer(testkit::RtpPacketizerConfig()).packetizeStream(clip);
        ASSERT_EQ(rtp.size(), expected.size());
        const uint16_t announced = session.sessionInfo().transport.serverRtpPort;
        EXPECT_EQ(announced != 0, ipv6);
        for (size_t i = 0; i < rtp.size(); ++i) {
            ASSERT_EQ(Bytes(rtp[i].data.begin() + 12, rtp[i].data.end()),
                      Bytes(expected[i].begin() + 12, expected[i].end()))
                << "packet " << i;
            EXPECT_EQ(testkit::rtpMarker(rtp[i].data), testkit::rtpMarker(expected[i]));
            EXPECT_EQ(testkit::rtpSeq(rtp[i].data), static_cast<uint16_t>(testkit::rtpSeq(rtp[0].data) + i));
            bool samePicture = testkit::rtpTimestamp(expected[i]) == testkit::rtpTimestamp(expected[0]);
            EXPECT_EQ(testkit::rtpTimestamp(rtp[i].data) == testkit::rtpTimestamp(rtp[0].data), samePicture);
            EXPECT_EQ(rtp[i].fromAddress, host);
            if (ipv6) {
                EXPECT_EQ(rtp[i].fromPort, announced);
            }
        }
        EXPECT_EQ(sender.picturesSent(), 30u);

        EXPECT_EQ(sender.flood(5), 5u);
        std::vector<Datagram> foreign = readFor(fd, 300);
        ASSERT_EQ(foreign.size(), 5u);
        for (const Datagram& d : foreign) {
            EXPECT_EQ(d.fromAddress, ipv6 ? "::1" : "127.0.0.2");
            EXPECT_NE(d.fromPort, ipv6 ? announced : rtp[0].fromPort);
            EXPECT_EQ(Bytes(d.data.begin() + 8, d.data.begin() + 12),
                      Bytes(rtp[0].data.begin() + 8, rtp[0].data.begin() + 12));
        }
        session.stopCurl();
        if (ipv6) {
            RtspClientOptions multicast;
            multicast.multicast = true;
            CurlRtsp refused(camera.url(), port, static_cast<uint16_t>(port + 1), "", "", false);
            refused.setOptions(multicast);
            EXPECT_FALSE(refused.startCurl());
            EXPECT_TRUE(refused.multicastRefused());
            const std::vector<CameraRequest> requests = camera.requests();
            EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const CameraRequest& r) {
                return r.method == "SETUP" && r.status == 461;
            }));
        }
        close(fd);

        std::vector<std::string> groups;
        for (int i = 0; i < 2; ++i) {
            CameraTrackTransport track;
            track.multicast = true;
            EXPECT_EQ(sender.udpSetupHook()(host, &track), !ipv6);
            groups.push_back(track.group + ":" + std::to_string(track.groupPort));
        }
        if (!ipv6) {
            EXPECT_EQ(groups, (std::vector<std::string>{"239.255.0.1:15004", "239.255.0.2:15004"}));
        }
    }
}

// Receive coalescing against a camera that paces its packets: every packet arrives once and in
// order, every picture whole; and neither disable() nor the destructor waits out a coalescing
// wait (the cap raised to 3 s by the test hook, which a stop must cut short).
TEST(LightSender, PacedPacketsReachACoalescingClientWholeAndInOrderAndStopsDoNotWaitOutTheWait) {
    const Bytes clip = testkit::readClip("h264_single_slice.264");
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "udp");
        testkit::LightSenderOptions paced;
        paced.fps = 1000;  // the pace, not the picture rate, sets the time the clip takes
        paced.loop = false;
        paced.paceUs = 1000;
        testkit::LightSender sender(VideoCodec::H264, clip, paced);
        CameraScript script;
        script.sdp = sender.sdp();
        TestCamera camera(script);
        camera.setStreamerFactory(sender.factory());
        ASSERT_TRUE(camera.start());
        RtspClientOptions options = RtspClientOptions::mixedFleet();
        options.receiveCoalescingUs = 2000;
        std::mutex mutex;
        std::vector<uint64_t> timestamps;
        RtspClient client(camera.url(), "", "", tcp, options);
        client.setFrameCallback([&](const RtspFrame& f) {
            std::lock_guard<std::mutex> lock(mutex);
            timestamps.push_back(f.complete ? f.rtpTimestamp : 0);
        });
        const auto start = Clock::now();
        client.enable();
        ASSERT_TRUE(thread_wait::waitUntil([&] { return sender.picturesSent() == 30; }, 10000));
        ASSERT_TRUE(thread_wait::waitUntil([&] { return client.statistics().framesDelivered >= 30; }, 2000));
        // One packet a millisecond: the clip took its packet count in milliseconds to send.
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(sender.packetsSent() - 1));
        RtspStatistics stats = client.statistics();
        EXPECT_EQ(stats.packetsReceived, sender.packetsSent());
        EXPECT_EQ(stats.packetsLost + stats.packetsDuplicate + stats.packetsOutOfOrder, 0u);
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(timestamps.size(), 30u);
        for (size_t i = 1; i < timestamps.size(); ++i) EXPECT_GT(timestamps[i], timestamps[i - 1]) << i;
    }
    client_test::ScopedTimeConstants hook(3000, 1000);
    quorvane_internal::timeConstants().receiveCoalescingCapUs = 3000000;
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "udp");
        testkit::LightSenderOptions paced;
        paced.paceUs = 2000;
        // Several packets to every picture: a read ending just at a picture's end is rare.
        testkit::LightSender sender(VideoCodec::H264, testkit::readClip("h264_multi_slice.264"), paced);
        CameraScript script;
        script.sdp = sender.sdp();
        TestCamera camera(script);
        camera.setStreamerFactory(sender.factory());
        ASSERT_TRUE(camera.start());
        RtspClientOptions options = RtspClientOptions::mixedFleet();
        options.receiveCoalescingUs = 3000000;
        auto client = std::make_unique<RtspClient>(camera.url(), "", "", tcp, options);
        client->enable();
        // A read that ends inside a picture starts a 3-s wait: packets are held back meanwhile.
        ASSERT_TRUE(thread_wait::waitUntil([&] { return sender.picturesSent() >= 3; }, 10000));
        EXPECT_LT(client->statistics().packetsReceived, sender.packetsSent());
        auto begin = Clock::now();
        client->disable();
        EXPECT_LT(msSince(begin), 1500);
        EXPECT_TRUE(camera.waitForRequests("TEARDOWN", 1, 0));
        client->enable();
        ASSERT_TRUE(
            thread_wait::waitUntil([&] { return sender.plays() == 2 && sender.packetsSent() >= 6; }, 10000));
        begin = Clock::now();
        client.reset();
        EXPECT_LT(msSince(begin), 1500);
    }
}

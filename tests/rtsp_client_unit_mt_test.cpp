// The RTP receiver unit against the scriptable test camera on loopback: UDP reception, receiver
// reports, interleaved frames, port choice, reconnects and teardown.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testkit/test_camera.h"
#include "testkit/unit_probes.h"
#include "units/unit_rtsp_client.h"
#include "utils/utils.h"

namespace {

int udpSocket() {
    return socket(AF_INET, SOCK_DGRAM, 0);
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void sendDatagram(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in to = loopback(port);
    ASSERT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
              static_cast<ssize_t>(bytes.size()));
}

std::vector<uint8_t> rtpPacket(uint16_t seq, uint32_t ssrc, size_t size) {
    std::vector<uint8_t> p(size, 0);
    p[0] = 0x80;
    p[1] = 96;
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    p[8] = static_cast<uint8_t>(ssrc >> 24);
    p[9] = static_cast<uint8_t>(ssrc >> 16);
    p[10] = static_cast<uint8_t>(ssrc >> 8);
    p[11] = static_cast<uint8_t>(ssrc);
    for (size_t i = 12; i < size; ++i) p[i] = static_cast<uint8_t>(i * 7 + seq);
    return p;
}

// A port base whose four ports (b, b+1, b+10, b+11) are free right now.
uint16_t freePortBase() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        uint16_t base = static_cast<uint16_t>(20000 + (getpid() * 37 + attempt * 97) % 30000);
        bool free = true;
        for (uint16_t p : {base, uint16_t(base + 1), uint16_t(base + 10), uint16_t(base + 11)}) {
            int fd = udpSocket();
            sockaddr_in a = loopback(p);
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) free = false;
            close(fd);
        }
        if (free) return base;
    }
    return 0;
}

// True when a socket without address reuse can bind `port`, i.e. nobody holds it.
bool portIsFree(uint16_t port) {
    int fd = udpSocket();
    sockaddr_in a = loopback(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

class ReceiverUnitTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(camera.start()); }

    std::unique_ptr<RtspClientUnitEM> makeUnit(bool tcp, uint16_t base) {
        auto unit = std::make_unique<RtspClientUnitEM>(camera.url(), "", "", tcp);
        if (base != 0) unit->setReceivePortBase(base);
        static_cast<MasterOutput*>(unit.get())->addOutputUnit(&sink, true);
        sink.enable();
        return unit;
    }

    // An enabled UDP unit on a free port base, which is stored in `base`.
    std::unique_ptr<RtspClientUnitEM> enabledUdpUnit(uint16_t* base) {
        *base = freePortBase();
        EXPECT_NE(*base, 0) << "no free port base";
        auto unit = makeUnit(false, *base);
        unit->enable();
        return unit;
    }

    TestCamera camera;
    ProbeUnitSM sink{"SINK", static_cast<UnitDataType>(UNIT_DATA_RTP_VIDEO | UNIT_DATA_RTP_AUDIO),
                     4,      UNIT_DATA_H26X,
                     1,      0};
};

TEST_F(ReceiverUnitTest, UdpDatagramsReachTheNextUnitWholeWithTheirDataType) {
    uint16_t base = 0;
    auto unit = enabledUdpUnit(&base);
    ASSERT_TRUE(camera.waitForRequests("PLAY", 1, 10000));
    EXPECT_TRUE(unit->isEnable());
    EXPECT_NE(camera.requests()[2]
                  .header("Transport")
                  .find("client_port=" + std::to_string(base) + "-" + std::to_string(base + 1)),
              std::string::npos);

    int fd = udpSocket();
    testing::internal::CaptureStdout();
    sendDatagram(fd, base, rtpPacket(100, 0xAABBCCDD, 1000));
    sendDatagram(fd, base, std::vector<uint8_t>(11, 0x80));  // shorter than an RTP header: dropped
    sendDatagram(fd, base, rtpPacket(101, 0xAABBCCDD, 1600));
    sendDatagram(fd, base + 10, rtpPacket(7, 0x01020304, 200));  // audio port
    ASSERT_TRUE(sink.waitForCalls(3, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string out = testing::internal::GetCapturedStdout();

    auto calls = sink.calls();
    ASSERT_EQ(calls.size(), 3u);
    std::vector<uint8_t> first = rtpPacket(100, 0xAABBCCDD, 1000);
    size_t video = calls[0].length == 1000 ? 0 : 1;
    EXPECT_EQ(calls[video].length, 1000u);
    EXPECT_EQ(calls[video].buffer->length, 1000u);
    EXPECT_EQ(calls[video].buffer->info.dataType, static_cast<uint32_t>(UNIT_DATA_RTP_VIDEO));
    EXPECT_EQ(calls[video].param, 0);
    EXPECT_EQ(0, memcmp(calls[video].buffer->getVaddr(), first.data(), first.size()));
    EXPECT_EQ(unit->mVideoSsrc.load(), 0xAABBCCDDu);
    EXPECT_EQ(unit->mVideoSeq.load(), 101u);
    EXPECT_EQ(unit->mAudioSsrc.load(), 0x01020304u);
    EXPECT_NE(out.find("Video SSRC Changed! 0 -> " + std::to_string(0xAABBCCDDu)), std::string::npos) << out;
    EXPECT_NE(out.find("Audio SSRC Changed! 0 -> 16909060"), std::string::npos) << out;
    size_t firstChange = out.find("Video SSRC Changed!");
    EXPECT_EQ(out.find("Video SSRC Changed!", firstChange + 1), std::string::npos)
        << "same SSRC logged twice";
    close(fd);
}

TEST_F(ReceiverUnitTest, SenderReportIsAnsweredWithA32ByteReceiverReport) {
    uint16_t base = 0;
    auto unit = enabledUdpUnit(&base);
    int fd = udpSocket();
    sendDatagram(fd, base, rtpPacket(4242, 0x11223344, 100));
    ASSERT_TRUE(sink.waitForCalls(1, 5000));

    std::vector<uint8_t> sr(52, 0);
    sr[0] = 0x81;
    sr[1] = 200;
    sr[3] = 12;
    const uint8_t lsr[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    memcpy(&sr[10], lsr, 4);
    sendDatagram(fd, base + 1, sr);

    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    uint8_t rr[64];
    ssize_t n = recv(fd, rr, sizeof(rr), 0);
    ASSERT_EQ(n, 32);
    const uint8_t head[4] = {0x81, 0xC9, 0x00, 0x07};
    EXPECT_EQ(0, memcmp(rr, head, 4));
    const uint8_t senderSsrc[4] = {0x44, 0x33, 0x22, 0x11};
    const uint8_t sourceSsrc[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(0, memcmp(rr + 4, senderSsrc, 4));
    EXPECT_EQ(0, memcmp(rr + 8, sourceSsrc, 4));
    EXPECT_EQ(rr[18], 4242 >> 8);
    EXPECT_EQ(rr[19], 4242 & 0xff);
    EXPECT_EQ(0, memcmp(rr + 24, lsr, 4));

    // A datagram too short to carry an LSR is still answered, with a zero LSR.
    sendDatagram(fd, base + 1, std::vector<uint8_t>(8, 0x81));
    ASSERT_EQ(recv(fd, rr, sizeof(rr), 0), 32);
    const uint8_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(rr + 24, zero, 4));
    close(fd);
}

TEST_F(ReceiverUnitTest, KeyframeBurstOf400PacketsIsNotDroppedByTheKernel) {
    uint16_t base = 0;
    auto unit = enabledUdpUnit(&base);
    ASSERT_TRUE(camera.waitForRequests("PLAY", 1, 10000));
    int fd = udpSocket();
    for (uint16_t i = 0; i < 400; ++i) sendDatagram(fd, base, rtpPacket(i, 0x5EED, 1400));
    EXPECT_TRUE(sink.waitForCalls(400, 20000)) << sink.calls().size() << " of 400 arrived";
    close(fd);
}

TEST_F(ReceiverUnitTest, PortsAreChosenOnceAndKeptAcrossReconnects) {
    auto unit = makeUnit(true, 0);
    unit->enable();
    uint16_t video = unit->mVideoPortBase.load();
    EXPECT_GE(video, 10000);
    EXPECT_LE(video, 60000);
    EXPECT_EQ(unit->mAudioPortBase.load(), static_cast<uint16_t>(video + 10));
    unit->disable();
    unit->enable();
    EXPECT_EQ(unit->mVideoPortBase.load(), video);
}

// Two processes started in the same second seed the port engine alike and draw the same base.
// A forked child has the same engine state as its parent: its draw must skip the ports the
// parent's unit holds (with address reuse, a second bind would succeed and share the video).
TEST(ReceiverUnitPorts, ABaseHeldByAnotherProcessIsDrawnAgain) {
    int ready[2];
    int result[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(result), 0);
    // Forked while this process has a single thread; no camera listens at port 9.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char go = 0;
        if (read(ready[0], &go, 1) != 1) _exit(1);
        auto* unit = new RtspClientUnitEM("rtsp://127.0.0.1:9/none", "", "", false);
        unit->enable();
        uint16_t base = unit->mVideoPortBase.load();
        _exit(write(result[1], &base, sizeof(base)) == sizeof(base) ? 0 : 1);  // no clean-up in the child
    }
    RtspClientUnitEM unit("rtsp://127.0.0.1:9/none", "", "", false);
    unit.enable();
    const uint16_t mine = unit.mVideoPortBase.load();
    ASSERT_EQ(write(ready[1], "x", 1), 1);
    uint16_t theirs = 0;
    pollfd pfd{result[0], POLLIN, 0};
    bool answered = poll(&pfd, 1, 20000) == 1 && read(result[0], &theirs, sizeof(theirs)) == sizeof(theirs);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], result[0], result[1]}) close(fd);
    ASSERT_TRUE(answered);
    EXPECT_GE(theirs, 10000);
    EXPECT_LE(theirs, 60000);
    for (int offset : {0, 1, 10, 11}) {
        for (int other : {0, 1, 10, 11}) EXPECT_NE(theirs + offset, mine + other) << "shared port";
    }
}

TEST_F(ReceiverUnitTest, UdpThreadsHaveBoundTheirPortsWhenStartThreadReturns) {
    uint16_t base = freePortBase();
    ASSERT_NE(base, 0);
    auto unit = makeUnit(false, base);
    // enable() sends SETUP right after this: the camera may send to these ports at once.
    unit->startThread();
    for (uint16_t p : {base, uint16_t(base + 1), uint16_t(base + 10), uint16_t(base + 11)})
        EXPECT_FALSE(portIsFree(p)) << "port " << p << " not bound";
    unit.reset();
    for (uint16_t p : {base, uint16_t(base + 1), uint16_t(base + 10), uint16_t(base + 11)})
        EXPECT_TRUE(portIsFree(p)) << "port " << p << " still bound after destruction";
}

TEST_F(ReceiverUnitTest, NullAddressShutsTheChannelDownForGood) {
    uint16_t base = freePortBase();
    ASSERT_NE(base, 0);
    RtspClientUnitEM unit("rtsp://null/stream", "", "", false);
    unit.setReceivePortBase(base);
    testing::internal::CaptureStdout();
    unit.enable();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("rtsp url found null ip, disbale this channel.\n"), std::string::npos);
    unit.setReceivePortBase(base);
    unit.enable();
    EXPECT_EQ(unit.mThreadVideoRtp, nullptr);
    EXPECT_TRUE(portIsFree(base));
    EXPECT_EQ(unit.mCurlRtsp, nullptr);
}

TEST_F(ReceiverUnitTest, InterleavedFramesAreDemultiplexedByChannel) {
    auto unit = makeUnit(true, 0);
    // A frame read while no session plays (the TEARDOWN exchange of disable) goes nowhere.
    std::vector<uint8_t> early = {'$', 0, 0, 13, 0x80, 96, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0x65};
    unit->fRecvTcpCallback(early.data(), early.size());
    EXPECT_EQ(sink.calls().size(), 0u);
    unit->UnitBase::enable();  // the flag only: no session is needed to feed frames by hand
    std::vector<uint8_t> frame = {'$', 0, 0x01, 0x00};
    std::vector<uint8_t> rtp = rtpPacket(9, 0xCAFE, 256);
    frame.insert(frame.end(), rtp.begin(), rtp.end());
    int64_t before = Utils::getBeginTimestamp();
    unit->fRecvTcpCallback(frame.data(), frame.size());
    ASSERT_EQ(sink.calls().size(), 1u);
    EXPECT_EQ(sink.calls()[0].length, 256u);
    EXPECT_EQ(0, memcmp(sink.calls()[0].buffer->getVaddr(), rtp.data(), 256));
    EXPECT_GE(unit->mLastRtpTimeNs.load(), before);

    // The call's length wins over the frame header's.
    frame[2] = 0x7f;
    unit->fRecvTcpCallback(frame.data(), 104);
    ASSERT_EQ(sink.calls().size(), 2u);
    EXPECT_EQ(sink.calls()[1].length, 100u);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::vector<uint8_t> rtcp = {'$', 1, 0, 8, 0x81, 200, 0, 1, 0, 0, 0, 0};
    int64_t beforeRtcp = Utils::getBeginTimestamp();
    unit->fRecvTcpCallback(rtcp.data(), rtcp.size());
    std::vector<uint8_t> unknown = frame;
    unknown[1] = 7;
    unit->fRecvTcpCallback(unknown.data(), unknown.size());
    std::vector<uint8_t> empty = {'$', 0, 0, 0};
    unit->fRecvTcpCallback(empty.data(), empty.size());
    unit->fRecvTcpCallback(empty.data(), 2);
    unit->fRecvTcpCallback(nullptr, 10);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("receive RTCP of channel 1\n"), std::string::npos);
    EXPECT_NE(err.find("rtsp: unknown rtp channel 7\n"), std::string::npos);
    EXPECT_GE(unit->mLastRtpTimeNs.load(), beforeRtcp);
    EXPECT_EQ(sink.calls().size(), 2u);

    // Audio RTP on channel 2 travels with the audio data type.
    std::vector<uint8_t> audio = frame;
    audio[1] = 2;
    unit->fRecvTcpCallback(audio.data(), audio.size());
    EXPECT_EQ(sink.calls().size(), 3u);
}

TEST_F(ReceiverUnitTest, DisabledUnitReconnectsByItselfOverTcp) {
    auto unit = makeUnit(true, 0);
    unit->enable();
    ASSERT_TRUE(camera.waitForRequests("PLAY", 1, 10000));
    unit->disable();
    ASSERT_TRUE(camera.waitForRequests("TEARDOWN", 1, 5000));
    EXPECT_FALSE(unit->isEnable());
    EXPECT_TRUE(camera.waitForRequests("PLAY", 2, 15000));
}

TEST_F(ReceiverUnitTest, FailingSocketDoesNotStormTheCamera) {
    uint16_t base = freePortBase();
    ASSERT_NE(base, 0);
    // Hold the video port without address reuse, so the unit's bind fails and every receive errs.
    int blocker = udpSocket();
    sockaddr_in a = loopback(base);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    auto unit = makeUnit(false, base);
    testing::internal::CaptureStderr();
    unit->enable();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    unit.reset();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("UDP-RTP receive error ! err="), std::string::npos);
    size_t sessions = 0;
    for (const auto& m : camera.methods()) sessions += m == "OPTIONS";
    EXPECT_GE(sessions, 2u) << "a receive error reconnects";
    EXPECT_LE(sessions, 8u) << "reconnects not rate-limited";
    close(blocker);
}

}  // namespace

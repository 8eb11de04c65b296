// RtspClient end to end, in one process: the test camera streams a clip over UDP or interleaved
// TCP, and the application's callback must receive Annex-B that decodes to exactly the clip's
// pictures. Also: disable and enable again, disable inside the callback,
// destruction while enabled, and the facade's behaviour without a connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtsp_client.h"
#include "testkit/clip_streamer.h"
#include "testkit/test_camera.h"
#include "tests/client_test_support.h"
#include "tests/thread_wait.h"
#include "units/unit_rtsp_client.h"

using namespace client_test;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using thread_wait::threadNames;

// Threads the library names for one client (the TCP watchdog has no name of its own).
size_t libraryThreads() {
    size_t n = 0;
    for (const std::string& name : threadNames())
        n += name == "RtpReceive" || name == "RtcpReceive" || name == "CrulKeepLive" || name == "CurlTcpRecv";
    return n;
}

bool waitForThreadCount(size_t count, int timeoutMs) {
    return thread_wait::waitUntil([&] { return threadNames().size() <= count; }, timeoutMs);
}

class ClientEndToEnd : public ::testing::TestWithParam<StreamCase> {};

}  // namespace

TEST_P(ClientEndToEnd, DeliversTheClipOnTheReceiveThreadStopsAtDisableAndResumesAtEnable) {
    if (!testkit::ffmpegAvailable()) GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it)";
    const StreamCase c = GetParam();
    CameraRig rig(c.clip, c.codec);
    ASSERT_TRUE(rig.started);
    const size_t perPass = callbacksPerPass(c.codec, rig.clip);
    Collector got;
    RtspClient client(rig.camera.url(), "", "", c.tcp);
    got.attach(client);

    client.enable();
    // One whole pass, and the first piece of the next, which completes the pass's last picture.
    ASSERT_TRUE(got.waitForCount(perPass + 1, 20000)) << got.count() << " of " << perPass + 1;
    client.disable();
    EXPECT_EQ(rig.count("TEARDOWN"), 1u);
    const size_t atDisable = got.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(got.count(), atDisable) << "callback after disable()";

    client.enable();
    ASSERT_TRUE(rig.camera.waitForRequests("PLAY", 2, 10000));
    ASSERT_TRUE(got.waitForCount(atDisable + perPass + 1, 20000))
        << got.count() - atDisable << " after enable";
    client.disable();

    EXPECT_EQ(got.threadNames(), std::set<std::string>{c.tcp ? "CurlTcpRecv" : "RtpReceive"});
    EXPECT_EQ(got.malformed(), 0u);
    // Both sessions, decoded as the application would: whole passes over the clip from its first
    // picture, nothing corrupted, nothing missing.
    const std::vector<std::string> clipPictures = decodeClip(c.clip, c.codec);
    ASSERT_EQ(clipPictures.size(), rig.streamer.pictureCount());
    const std::vector<std::string> decoded = decode(got.stream(), c.codec, std::string("e2e_") + c.name);
    const std::vector<size_t> passes = clipPasses(decoded, clipPictures);
    ASSERT_FALSE(passes.empty()) << decoded.size() << " decoded pictures do not match the clip";
    EXPECT_EQ(passes.front(), clipPictures.size());
    size_t whole = 0;
    for (size_t p : passes) whole += p == clipPictures.size();
    EXPECT_GE(whole, 2u) << "one whole pass per session";
}

INSTANTIATE_TEST_SUITE_P(Clips, ClientEndToEnd,
                         ::testing::Values(StreamCase{"H264MultiSliceTcp", "h264_multi_slice.264",
                                                      VideoCodec::H264, true},
                                           StreamCase{"H265Udp", "h265.265", VideoCodec::H265, false}),
                         streamCaseName);

// disable() from inside the data callback: no deadlock, no callback after it, one TEARDOWN, and
// the destructor returns.
TEST(ClientReentry, DisableInsideTheDataCallbackStopsTheSessionOnce) {
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "udp");
        CameraRig rig("h264_single_slice.264", VideoCodec::H264);
        ASSERT_TRUE(rig.started);
        auto client = std::make_unique<RtspClient>(rig.camera.url(), "", "", tcp);
        std::atomic<int> calls{0};
        std::atomic<int> afterDisable{0};
        std::atomic<bool> disabled{false};
        RtspClient* raw = client.get();
        client->setDataCallback([&](unsigned char*, unsigned long) {
            ++calls;
            if (disabled) ++afterDisable;
            if (calls == 5) {
                raw->disable();
                disabled = true;
            }
        });
        std::mutex stateMutex;
        std::vector<RtspClientState> states;
        client->setStateCallback([&](const RtspStateEvent& e) {
            std::lock_guard<std::mutex> lock(stateMutex);
            states.push_back(e.state);
        });
        client->enable();
        EXPECT_TRUE(rig.camera.waitForRequests("TEARDOWN", 1, 10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto start = Clock::now();
        client.reset();
        EXPECT_LT(secondsSince(start), 2.0);
        EXPECT_EQ(afterDisable.load(), 0);
        EXPECT_EQ(rig.count("PLAY"), 1u);
        EXPECT_EQ(rig.count("TEARDOWN"), 1u);
        std::lock_guard<std::mutex> lock(stateMutex);
        EXPECT_EQ(states, (std::vector<RtspClientState>{RtspClientState::Connecting, RtspClientState::Playing,
                                                        RtspClientState::Stopped}));
    }
}

TEST(ClientDestruction, DestroyingAnEnabledClientJoinsEveryThreadWithinASecondWithoutTeardown) {
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "udp");
        CameraRig rig("h264_single_slice.264", VideoCodec::H264);
        ASSERT_TRUE(rig.started);
        const size_t baseline = threadNames().size();
        Collector got;
        auto client = std::make_unique<RtspClient>(rig.camera.url(), "", "", tcp);
        got.attach(*client);
        client->enable();
        ASSERT_TRUE(got.waitForCount(10, 10000));
        // UDP: video RTP and RTCP and the keep-alive; no audio threads without an audio track.
        EXPECT_EQ(libraryThreads(), tcp ? 2u : 3u);

        auto start = Clock::now();
        client.reset();
        EXPECT_LT(secondsSince(start), tcp ? 2.5 : 0.5);
        // Joined threads may stay listed in /proc for a moment (notably under emulation).
        EXPECT_TRUE(thread_wait::waitUntil([] { return libraryThreads() == 0; }, 2000)) << libraryThreads();
        const size_t afterward = got.count();
        // The camera's own threads for the connection end once it sees the connection close.
        EXPECT_TRUE(waitForThreadCount(baseline, 3000))
            << threadNames().size() << " threads, " << baseline << " before";
        EXPECT_EQ(rig.count("TEARDOWN"), 0u);
        EXPECT_EQ(got.count(), afterward);
    }
}

TEST(ClientFacade, WithoutEnableThereIsNoConnectionAndNoThread) {
    CameraRig rig("h264_single_slice.264", VideoCodec::H264);
    ASSERT_TRUE(rig.started);
    const size_t baseline = threadNames().size();
    {
        RtspClient client(rig.camera.url(), "", "", false);
        client.setDataCallback([](unsigned char*, unsigned long) {});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_LE(threadNames().size(), baseline);
    }
    EXPECT_EQ(rig.camera.connectionCount(), 0);
    EXPECT_TRUE(rig.camera.requests().empty());
}

TEST(ClientFacade, DataBeforeACallbackIsDroppedAndACallbackSetLaterReceivesTheStream) {
    CameraRig rig("h264_single_slice.264", VideoCodec::H264);
    ASSERT_TRUE(rig.started);
    Collector got;
    RtspClient client(rig.camera.url(), "", "", false);
    client.enable();
    ASSERT_TRUE(rig.streamer.waitForPictures(10, 10000));
    got.attach(client);  // while the receive thread delivers
    EXPECT_TRUE(got.waitForCount(5, 10000));
    EXPECT_EQ(got.malformed(), 0u);
    client.disable();
}

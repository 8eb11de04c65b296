// RtspClient end to end, in one process: the test camera streams a clip over UDP or interleaved
// TCP, and the application's callback must receive Annex-B that decodes to exactly the clip's
// pictures. Also: disable and enable again, every call allowed inside the callbacks,
// destruction while enabled, and the facade's behaviour without a connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
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

// The clip in a loop at 100 pictures a second: for cases that need pictures, not the clip's pace.
testkit::ClipStreamerOptions fastLoop() {
    testkit::ClipStreamerOptions options = CameraRig::loopOptions();
    options.fps = 100;
    return options;
}

bool waitForThreadCount(size_t count, int timeoutMs) {
    return thread_wait::waitUntil([&] { return threadNames().size() <= count; }, timeoutMs);
}

class ClientEndToEnd : public ::testing::TestWithParam<StreamCase> {};

}  // namespace

TEST_P(ClientEndToEnd, DeliversTheClipOnTheReceiveThreadStopsAtDisableAndResumesAtEnable) {
    if (!testkit::ffmpegAvailable()) GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it)";
    const StreamCase c = GetParam();
    CameraRig rig(c.clip, c.codec, fastLoop());
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
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // ten pictures' time
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

namespace {

// Every call the header allows inside a callback, in every callback, over every transport: no
// deadlock, no callback after disable() (but its Stopped), no frame twice, a replaced callback
// silent once its setter returned, delivery going on after disable() and enable(), and the
// destructor returning. A case that hangs aborts its own process, naming itself.
enum class Inside { Data, Frame, State };
enum class Call { Disable, DisableEnable, SetData, SetFrame, SetState };
enum class Link { Udp, Tcp, TcpDirect };
using ReentryCase = std::tuple<Inside, Call, Link>;

// What the application's callbacks saw; callbacks 0 are the first ones set, 1 the replacements.
struct Seen {
    std::mutex mutex;
    int data[2] = {0, 0};
    int frames[2] = {0, 0};
    int afterCall = 0;  // callbacks begun after the call returned that should not have run
    std::vector<uint64_t> timestamps;
    std::vector<RtspClientState> states[2];
    std::atomic<bool> called{false};
    std::atomic<bool> returned{false};
};

class ClientReentry : public ::testing::TestWithParam<ReentryCase> {
protected:
    void act() {
        if (seen.called.exchange(true)) return;
        switch (std::get<1>(GetParam())) {
            case Call::Disable:
                client->disable();
                break;
            case Call::DisableEnable:
                client->disable(), client->enable();
                break;
            case Call::SetData:
                client->setDataCallback([this](unsigned char*, unsigned long) { onData(1); });
                break;
            case Call::SetFrame:
                client->setFrameCallback([this](const RtspFrame& f) { onFrame(1, f); });
                break;
            case Call::SetState:
                client->setStateCallback([this](const RtspStateEvent& e) { onState(1, e); });
                break;
        }
        seen.returned = true;
    }
    // A callback begun after the call returned: wrong after disable(), or for a replaced one.
    bool wrong(int i, Call replacing) const {
        Call call = std::get<1>(GetParam());
        return seen.returned && ((i == 0 && call == replacing) || call == Call::Disable);
    }
    void onData(int i) {
        std::unique_lock<std::mutex> lock(seen.mutex);
        seen.afterCall += wrong(i, Call::SetData);
        bool now = ++seen.data[i] == 5 && std::get<0>(GetParam()) == Inside::Data;
        lock.unlock();
        if (now) act();
    }
    void onFrame(int i, const RtspFrame& f) {
        std::unique_lock<std::mutex> lock(seen.mutex);
        seen.afterCall += wrong(i, Call::SetFrame);
        seen.timestamps.push_back(f.rtpTimestamp);
        bool now = ++seen.frames[i] == 3 && std::get<0>(GetParam()) == Inside::Frame;
        lock.unlock();
        if (now) act();
    }
    void onState(int i, const RtspStateEvent& e) {
        std::unique_lock<std::mutex> lock(seen.mutex);
        seen.afterCall += wrong(i, Call::SetState) && e.state != RtspClientState::Stopped;
        seen.states[i].push_back(e.state);
        lock.unlock();
        if (e.state == RtspClientState::Playing && std::get<0>(GetParam()) == Inside::State) act();
    }
    bool waitFor(const std::function<bool()>& done) {
        return thread_wait::waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(seen.mutex);
                return done();
            },
            10000);
    }

    Seen seen;
    std::unique_ptr<RtspClient> client;
};

TEST_P(ClientReentry, EveryCallWorksInsideEveryCallback) {
    const Call call = std::get<1>(GetParam());
    const Link link = std::get<2>(GetParam());
    std::mutex deadlineMutex;
    std::condition_variable deadlineCv;
    bool finished = false;
    std::thread deadline([&] {
        std::unique_lock<std::mutex> lock(deadlineMutex);
        if (!deadlineCv.wait_for(lock, std::chrono::seconds(40), [&] { return finished; })) {
            fprintf(stderr, "hangs: %s\n", ::testing::UnitTest::GetInstance()->current_test_info()->name());
            std::abort();
        }
    });
    {
        CameraRig rig("h264_single_slice.264", VideoCodec::H264, fastLoop());
        ASSERT_TRUE(rig.started);
        RtspClientOptions options;
        options.directInterleavedRead = link == Link::TcpDirect;
        client = std::make_unique<RtspClient>(rig.camera.url(), "", "", link != Link::Udp, options);
        client->setDataCallback([this](unsigned char*, unsigned long) { onData(0); });
        client->setFrameCallback([this](const RtspFrame& f) { onFrame(0, f); });
        client->setStateCallback([this](const RtspStateEvent& e) { onState(0, e); });
        client->enable();
        ASSERT_TRUE(waitFor([&] { return seen.returned.load(); }));
        if (call == Call::Disable) {
            EXPECT_TRUE(rig.camera.waitForRequests("TEARDOWN", 1, 10000));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for ten wrong callbacks
        } else if (call == Call::DisableEnable) {
            EXPECT_TRUE(rig.camera.waitForRequests("PLAY", 2, 10000));
            const int before = seen.frames[0];
            EXPECT_TRUE(waitFor([&] { return seen.frames[0] >= before + 3; })) << "delivery goes on";
        } else {
            int& replacement = call == Call::SetData ? seen.data[1] : seen.frames[1];
            if (call != Call::SetState) {
                EXPECT_TRUE(waitFor([&] { return replacement >= 5; }));
            }
            client->disable();
        }
        auto start = Clock::now();
        client.reset();
        EXPECT_LT(secondsSince(start), 3.0);
        EXPECT_EQ(rig.count("TEARDOWN"), 1u);
    }
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.afterCall, 0);
    for (size_t i = 1; i < seen.timestamps.size(); ++i)
        EXPECT_NE(seen.timestamps[i], seen.timestamps[i - 1]) << i;
    // Every session's events in order, the first ones to the first callback, the rest to the new
    // one, Stopped last (the destructor's after disable() and enable()). The Stopped between two
    // sessions started inside a data or frame callback is the receiver's to merge.
    std::vector<RtspClientState> all = seen.states[0];
    all.insert(all.end(), seen.states[1].begin(), seen.states[1].end());
    using S = RtspClientState;
    const std::vector<S> once{S::Connecting, S::Playing, S::Stopped};
    if (call == Call::DisableEnable) {
        std::vector<S> merged{S::Connecting, S::Playing, S::Connecting, S::Playing, S::Stopped};
        if (all != merged) {
            EXPECT_EQ(all, (std::vector<S>{S::Connecting, S::Playing, S::Stopped, S::Connecting, S::Playing,
                                           S::Stopped}));
        }
    } else {
        EXPECT_EQ(all, once);
    }
    if (call == Call::SetState) {
        EXPECT_EQ(seen.states[1], std::vector<S>{S::Stopped});
    }
    {
        std::lock_guard<std::mutex> finish(deadlineMutex);
        finished = true;
    }
    deadlineCv.notify_all();
    deadline.join();
}

std::string reentryName(const ::testing::TestParamInfo<ReentryCase>& info) {
    static const char* inside[] = {"Data", "Frame", "State"};
    static const char* calls[] = {"Disable", "DisableEnable", "SetData", "SetFrame", "SetState"};
    static const char* links[] = {"Udp", "Tcp", "TcpDirect"};
    return std::string(calls[static_cast<int>(std::get<1>(info.param))]) + "In" +
           inside[static_cast<int>(std::get<0>(info.param))] +
           links[static_cast<int>(std::get<2>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Table, ClientReentry,
                         ::testing::Combine(::testing::Values(Inside::Data, Inside::Frame, Inside::State),
                                            ::testing::Values(Call::Disable, Call::DisableEnable,
                                                              Call::SetData, Call::SetFrame, Call::SetState),
                                            ::testing::Values(Link::Udp, Link::Tcp, Link::TcpDirect)),
                         reentryName);

}  // namespace

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

// Also: a whole session at the default log level writes nothing to standard output, which belongs
// to the application (the README's first program writes its video there).
TEST(ClientFacade, DataBeforeACallbackIsDroppedAndACallbackSetLaterReceivesTheStream) {
    CameraRig rig("h264_single_slice.264", VideoCodec::H264);
    ASSERT_TRUE(rig.started);
    fflush(stdout);
    testing::internal::CaptureStdout();
    Collector got;
    RtspClient client(rig.camera.url(), "", "", false);
    client.enable();
    ASSERT_TRUE(rig.streamer.waitForPictures(10, 10000));
    got.attach(client);  // while the receive thread delivers
    EXPECT_TRUE(got.waitForCount(5, 10000));
    EXPECT_EQ(got.malformed(), 0u);
    client.disable();
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

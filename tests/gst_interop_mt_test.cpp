// The RTSP session against an independent server: GStreamer's RTSP server on loopback serving an
// H.264 clip, over UDP and interleaved TCP, with and without Digest authentication (refusals are
// in curl_rtsp_mt_test).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "testkit/gst_rtsp_server.h"
#include "utils/curl_rtsp.h"

namespace {

struct InteropCase {
    const char* name;
    bool tcp;
    bool digest;
};

void PrintTo(const InteropCase& c, std::ostream* os) {
    *os << c.name;
}

class GstInterop : public ::testing::TestWithParam<InteropCase> {
protected:
    static void SetUpTestSuite() {
        sMissing = GstRtspServer::missingDependency();
        if (sMissing.empty())
            sClip = GstRtspServer::makeClip(std::string(QUORVANE_BINARY_DIR) + "/testdata", "h264", 4);
    }
    void SetUp() override {
        if (!sMissing.empty()) GTEST_SKIP() << "GStreamer interoperability skipped: " << sMissing;
        ASSERT_FALSE(sClip.empty()) << "ffmpeg could not make the test clip";
        GstRtspServer::Options options;
        options.clip = sClip;
        if (GetParam().digest) {
            options.user = "viewer";
            options.password = "pa55word";
        }
        ASSERT_TRUE(server.start(options)) << "GStreamer RTSP server did not start";
    }
    static std::string sMissing;
    static std::string sClip;
    GstRtspServer server;
};

std::string GstInterop::sMissing;
std::string GstInterop::sClip;

}  // namespace

TEST_P(GstInterop, StartsParsesTheTrackAndTearsDownCleanly) {
    const InteropCase& c = GetParam();
    CurlRtsp session(server.url(), 41000, 41001, c.digest ? "viewer" : "", c.digest ? "pa55word" : "", c.tcp);
    std::mutex mutex;
    std::string firstFrame;
    std::atomic<int> frames{0};
    session.mTcpRecvCallback = [&](void* data, unsigned long len) {
        std::lock_guard<std::mutex> lock(mutex);
        if (frames++ == 0) firstFrame.assign(static_cast<const char*>(data), len);
    };

    testing::internal::CaptureStderr();
    bool started = session.startCurl();
    if (started && c.tcp) {
        for (int i = 0; i < 100 && frames == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    session.stopCurl();
    std::string err = testing::internal::GetCapturedStderr();

    ASSERT_TRUE(started) << err;
    // Nothing failed on the way: no refused status, no time-out, no failed TEARDOWN.
    EXPECT_EQ(err.find("E/:"), std::string::npos) << err;
    EXPECT_EQ(err.find("W/:"), std::string::npos) << err;
    ASSERT_EQ(session.trackCount(), 1);
    EXPECT_EQ(session.track(0).media, "video");
    EXPECT_EQ(session.track(0).payloadType, 96u);
    EXPECT_EQ(session.track(0).format, "H264");
    EXPECT_EQ(session.track(0).clockRate, 90000u);
    EXPECT_EQ(session.track(0).control, "stream=0");
    if (c.tcp) {
        // RTP of the only track arrives on the first interleaved channel, as whole frames.
        ASSERT_GT(frames.load(), 0);
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_GE(firstFrame.size(), 16u);
        EXPECT_EQ(firstFrame[0], '$');
        EXPECT_EQ(firstFrame[1], 0);
        size_t length = (static_cast<uint8_t>(firstFrame[2]) << 8) | static_cast<uint8_t>(firstFrame[3]);
        EXPECT_EQ(firstFrame.size(), length + 4);
        EXPECT_EQ(static_cast<uint8_t>(firstFrame[4]) >> 6, 2) << "RTP version";
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, GstInterop,
                         ::testing::Values(InteropCase{"Udp", false, false}, InteropCase{"Tcp", true, false},
                                           InteropCase{"UdpDigest", false, true},
                                           InteropCase{"TcpDigest", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

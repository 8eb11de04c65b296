// RtspClient against an independent server: GStreamer's RTSP server streams a clip through its
// own payloaders (one NAL unit or fragment per packet, parameter sets in band), over UDP and
// interleaved TCP; the application's callbacks must decode to the clip's pictures.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "rtsp_client.h"
#include "testkit/gst_rtsp_server.h"
#include "tests/client_test_support.h"

using namespace client_test;

namespace {

class ClientGstInterop : public ::testing::TestWithParam<StreamCase> {
protected:
    static void SetUpTestSuite() { sMissing = GstRtspServer::missingDependency(); }
    static std::string sMissing;
};

std::string ClientGstInterop::sMissing;

}  // namespace

TEST_P(ClientGstInterop, CallbacksDecodeToTheSourcePictures) {
    if (!sMissing.empty()) GTEST_SKIP() << "GStreamer interoperability skipped: " << sMissing;
    const StreamCase c = GetParam();
    GstRtspServer server;
    GstRtspServer::Options options;
    // The raw Annex-B clip: parsebin finds the codec; its pictures carry the parameter sets.
    options.clip = clipPath(c.clip);
    options.codec = c.codec == VideoCodec::H264 ? "h264" : "h265";
    ASSERT_TRUE(server.start(options)) << "GStreamer RTSP server did not start";

    Collector got;
    RtspClient client(server.url(), "", "", c.tcp);
    got.attach(client);
    client.enable();
    // The server plays the clip once per session. The H.264 depacketizer hands over a picture when
    // the next one begins, so the clip's last picture stays with it.
    const Bytes clip = readClip(c.clip);
    const size_t expected = callbacksPerPass(c.codec, clip) - (c.codec == VideoCodec::H264 ? 1 : 0);
    EXPECT_TRUE(got.waitForCount(expected, 20000)) << got.count() << " of " << expected;
    // Nothing more comes: a callback past the clip would be a duplicate or a stray.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    client.disable();
    EXPECT_EQ(got.count(), expected);

    EXPECT_EQ(got.malformed(), 0u);
    std::vector<std::string> pictures = decodeClip(c.clip, c.codec);
    if (c.codec == VideoCodec::H264) pictures.pop_back();
    EXPECT_EQ(decode(got.stream(), c.codec, std::string("gst_") + c.name), pictures);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ClientGstInterop,
    ::testing::Values(StreamCase{"H264Udp", "h264_single_slice.264", VideoCodec::H264, false},
                      StreamCase{"H264Tcp", "h264_multi_slice.264", VideoCodec::H264, true},
                      StreamCase{"H265Udp", "h265.265", VideoCodec::H265, false},
                      StreamCase{"H265Tcp", "h265.265", VideoCodec::H265, true}),
    streamCaseName);

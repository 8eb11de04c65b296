// Picture size and rate from parameter sets: the SPS parser on real encoder output and on
// truncated input, and the stream-info unit answering the depacketizer's getters in the client
// pipeline while video flows.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "rtsp_client.h"
#include "testkit/annexb.h"
#include "testkit/clip_streamer.h"
#include "testkit/sps_parser.h"
#include "testkit/stream_info_unit.h"
#include "testkit/test_camera.h"
#include "units/unit_rtp_video_unpack_ex.h"

namespace {

using testkit::Bytes;
using testkit::SpsInfo;
using testkit::VideoCodec;

const std::string kClips = std::string(QUORVANE_SOURCE_DIR) + "/testkit/clips/";

// libx264 high profile, 1920x1080 coded as 1088 lines with 8 cropped, 30000/1001 fps.
const Bytes kH264Sps1080p = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02, 0x27, 0xe5, 0xc0, 0x44,
                             0x00, 0x00, 0x0f, 0xa4, 0x00, 0x03, 0xa9, 0x80, 0x3c, 0x60, 0xc6, 0x58};
// libx265 main profile, level 3.1, 1280x720, no VUI timing.
const Bytes kH265Sps720p = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00,
                            0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x5d, 0xa0, 0x02, 0x80, 0x80,
                            0x2d, 0x16, 0x59, 0x59, 0xa4, 0x93, 0x2b, 0xc0, 0x5a, 0x02, 0x00,
                            0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x3c, 0x10};

Bytes firstSps(const std::string& file, VideoCodec codec) {
    Bytes data;
    EXPECT_TRUE(testkit::readFile(file, &data));
    for (const Bytes& nal : testkit::splitAnnexB(data)) {
        if (testkit::nalUnitType(codec, nal) == (codec == VideoCodec::H264 ? 7 : 33)) return nal;
    }
    return Bytes();
}

TEST(SpsParser, SizeRateProfileAndLevelOfRealEncoderOutput) {
    struct Case {
        VideoCodec codec;
        Bytes sps;
        uint32_t width, height;
        double fps;
        uint8_t profile, level;
    };
    const Case cases[] = {
        {VideoCodec::H264, kH264Sps1080p, 1920, 1080, 30000.0 / 1001, 100, 40},
        {VideoCodec::H264, firstSps(kClips + "testcam_640x360.264", VideoCodec::H264), 640, 360, 25, 77, 30},
        {VideoCodec::H264, firstSps(kClips + "h264_single_slice.264", VideoCodec::H264), 320, 240, 25, 77,
         13},
        {VideoCodec::H265, kH265Sps720p, 1280, 720, 0, 1, 93},
        {VideoCodec::H265, firstSps(kClips + "h265.265", VideoCodec::H265), 320, 240, 0, 1, 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        SpsInfo info;
        ASSERT_TRUE(testkit::parseSps(c.codec, c.sps.data(), c.sps.size(), &info));
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.height);
        EXPECT_NEAR(info.fps, c.fps, 0.001);
        EXPECT_EQ(info.profile, c.profile);
        EXPECT_EQ(info.level, c.level);
    }
}

TEST(SpsParser, CutShortOrForeignInputIsRefusedWithoutTouchingTheResult) {
    SpsInfo untouched;
    untouched.width = 7;
    for (VideoCodec codec : {VideoCodec::H264, VideoCodec::H265}) {
        const Bytes& sps = codec == VideoCodec::H264 ? kH264Sps1080p : kH265Sps720p;
        // Every cut before the size fields ends is refused; a heap copy of exactly that length
        // lets the address sanitizer catch a read past the end.
        size_t sizeEnd = codec == VideoCodec::H264 ? 8 : 22;
        for (size_t len = 0; len < sizeEnd; ++len) {
            std::unique_ptr<uint8_t[]> cut(new uint8_t[len + 1]);
            std::copy(sps.begin(), sps.begin() + static_cast<long>(len), cut.get());
            SpsInfo info = untouched;
            EXPECT_FALSE(testkit::parseSps(codec, cut.get(), len, &info)) << len;
            EXPECT_EQ(info.width, 7u);
        }
        // Cuts inside the optional VUI keep the size.
        for (size_t len = sizeEnd + 2; len < sps.size(); ++len) {
            std::unique_ptr<uint8_t[]> cut(new uint8_t[len]);
            std::copy(sps.begin(), sps.begin() + static_cast<long>(len), cut.get());
            SpsInfo info;
            if (testkit::parseSps(codec, cut.get(), len, &info)) {
                EXPECT_GT(info.width, 0u);
            }
        }
    }
    // A PPS, and an H.264 SPS read as H.265, are no SPS.
    const Bytes pps = {0x68, 0xee, 0x3c, 0x80};
    SpsInfo info = untouched;
    EXPECT_FALSE(testkit::parseH264Sps(pps.data(), pps.size(), &info));
    EXPECT_FALSE(testkit::parseH265Sps(kH264Sps1080p.data(), kH264Sps1080p.size(), &info));
    // All zeros: an exp-Golomb code longer than 32 bits cannot be read.
    Bytes zeros(64, 0x00);
    zeros[0] = 0x67;
    EXPECT_FALSE(testkit::parseH264Sps(zeros.data(), zeros.size(), &info));
    EXPECT_EQ(info.width, 7u);
}

// A baseline SPS written field by field with `widthMbs` macroblocks per row and one row.
Bytes baselineSps(uint32_t widthMbs, uint32_t cropRight) {
    Bytes out = {0x67, 66, 0, 30};
    int used = 8;  // bits of the last byte in use; 8 = start a new byte
    auto bit = [&](uint32_t b) {
        if (used == 8) {
            out.push_back(0);
            used = 0;
        }
        out.back() |= static_cast<uint8_t>(b << (7 - used++));
    };
    auto ue = [&](uint32_t v) {
        uint64_t code = uint64_t(v) + 1;
        int bits = 64 - __builtin_clzll(code);
        for (int i = 1; i < bits; ++i) bit(0);
        for (int i = bits - 1; i >= 0; --i) bit((code >> i) & 1);
    };
    ue(0);             // seq_parameter_set_id
    ue(0);             // log2_max_frame_num_minus4
    ue(2);             // pic_order_cnt_type
    ue(1);             // max_num_ref_frames
    bit(0);            // gaps_in_frame_num_value_allowed_flag
    ue(widthMbs - 1);  // pic_width_in_mbs_minus1
    ue(0);             // pic_height_in_map_units_minus1
    bit(1);            // frame_mbs_only_flag
    bit(1);            // direct_8x8_inference_flag
    bit(cropRight != 0);
    if (cropRight != 0) {
        ue(0);
        ue(cropRight);
        ue(0);
        ue(0);
    }
    bit(0);  // vui_parameters_present_flag
    bit(1);  // rbsp_stop_one_bit
    return out;
}

TEST(SpsParser, SizesBeyondSixteenBitsAndCropsLargerThanThePictureAreRefused) {
    SpsInfo info;
    Bytes sps = baselineSps(120, 0);
    ASSERT_TRUE(testkit::parseH264Sps(sps.data(), sps.size(), &info));
    EXPECT_EQ(info.width, 1920u);
    EXPECT_EQ(info.height, 16u);
    sps = baselineSps(120, 4);  // 4 crop units of two samples
    ASSERT_TRUE(testkit::parseH264Sps(sps.data(), sps.size(), &info));
    EXPECT_EQ(info.width, 1912u);
    sps = baselineSps(5000, 0);
    EXPECT_FALSE(testkit::parseH264Sps(sps.data(), sps.size(), &info));
    sps = baselineSps(1, 8);
    EXPECT_FALSE(testkit::parseH264Sps(sps.data(), sps.size(), &info));
}

// The facade's chain with the stream-info unit linked behind the depacketizer: its getters
// answer through getInterfaces() once the SPS went past, while the packet thread runs.
TEST(StreamInfoUnit, AnswersTheDepacketizersGettersInTheClientPipeline) {
    Bytes clip;
    ASSERT_TRUE(testkit::readFile(kClips + "testcam_640x360.264", &clip));
    testkit::ClipStreamerOptions options;
    options.loop = true;
    testkit::ClipStreamer streamer(VideoCodec::H264, clip, options);
    CameraScript script;
    script.sdp = streamer.sdp();
    TestCamera camera(script);
    camera.setStreamerFactory(streamer.factory());
    ASSERT_TRUE(camera.start());

    StreamInfoUnitSE info;
    {
        RtspClient client(camera.url(), "", "", true);
        static_cast<MasterOutput*>(client.mVideoUnit)->addOutputUnit(&info, true);
        info.enable();
        IH264Interfaces iface = client.mVideoUnit->getInterfaces();
        EXPECT_EQ(iface.getWidth(), 0u);
        client.enable();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (iface.getWidth() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(iface.getWidth(), 640u);
        EXPECT_EQ(iface.getHeight(), 360u);
        EXPECT_EQ(iface.getFPS(), 25u);
        // The parameter sets stay the depacketizer's own.
        std::shared_ptr<QelBuffer> sps = iface.getSps();
        ASSERT_TRUE(sps);
        EXPECT_EQ(static_cast<uint8_t*>(sps->getVaddr())[0] & 0x1F, 7);
        EXPECT_FALSE(info.getSps());
        client.disable();
    }
    EXPECT_EQ(info.latest().width, 640u);
    camera.stop();
}

}  // namespace

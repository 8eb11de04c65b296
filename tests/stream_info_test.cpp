// What the stream is, from its parameter sets: the SPS parser on real encoder output (H.264 and
// H.265, with and without VUI timing) and on cut or hostile input, and the tracker's rate
// measurement. RtspClient::streamInfo() while a camera streams: frame_callback_mt_test and the
// recorder's --info.
#include <gtest/gtest.h>

#include <cmath>

#include "testkit/annexb.h"
#include "utils/h26x_sps_parser.h"
#include "utils/rtsp_stream_info.h"

namespace {

using testkit::Bytes;
using testkit::VideoCodec;

// libx264 high profile, 1920x1080 coded as 1088 lines with 8 cropped, 30000/1001 fps.
const Bytes kH264Sps1080p = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02, 0x27, 0xe5, 0xc0, 0x44,
                             0x00, 0x00, 0x0f, 0xa4, 0x00, 0x03, 0xa9, 0x80, 0x3c, 0x60, 0xc6, 0x58};
// libx264 high profile, 1920x1080 at 25 fps (an emulation prevention byte inside the timing).
const Bytes kH264Sps1080p25 = {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02,
                               0x27, 0xe5, 0xc0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04,
                               0x00, 0x00, 0x03, 0x00, 0xc8, 0x3c, 0x60, 0xc6, 0x58};
// libx265 main profile, level 3.1, 1280x720, 30 fps in the VUI.
const Bytes kH265Sps720p = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00,
                            0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x5d, 0xa0, 0x02, 0x80, 0x80,
                            0x2d, 0x16, 0x59, 0x59, 0xa4, 0x93, 0x2b, 0xc0, 0x5a, 0x02, 0x00,
                            0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x3c, 0x10};
// libx265 main profile, level 4, 1920x1080 (1088 coded, conformance window) at 25 fps in the VUI.
const Bytes kH265Sps1080p25 = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00,
                               0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x78, 0xa0, 0x03, 0xc0, 0x80,
                               0x10, 0xe5, 0x96, 0x56, 0x69, 0x24, 0xca, 0xf0, 0x16, 0x80, 0x80,
                               0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x0c, 0x84};

Bytes firstSps(const std::string& clip, VideoCodec codec) {
    for (const Bytes& nal : testkit::splitAnnexB(testkit::readClip(clip)))
        if (testkit::nalUnitType(codec, nal) == (codec == VideoCodec::H264 ? 7 : 33)) return nal;
    return Bytes();
}

bool parse(VideoCodec codec, const uint8_t* nal, size_t len, H26xSpsInfo* info) {
    return codec == VideoCodec::H264 ? H26xSpsParser::parseH264(nal, len, info)
                                     : H26xSpsParser::parseH265(nal, len, info);
}

TEST(SpsParser, SizeRateProfileAndLevelOfRealEncoderOutput) {
    struct Case {
        VideoCodec codec;
        Bytes sps;
        uint32_t width, height;
        double fps;
        uint32_t profile, level;
    };
    const Case cases[] = {
        {VideoCodec::H264, kH264Sps1080p, 1920, 1080, 30000.0 / 1001, 100, 40},
        {VideoCodec::H264, kH264Sps1080p25, 1920, 1080, 25, 100, 40},
        {VideoCodec::H264, firstSps("testcam_640x360.264", VideoCodec::H264), 640, 360, 25, 77, 30},
        {VideoCodec::H264, firstSps("h264_single_slice.264", VideoCodec::H264), 320, 240, 25, 77, 13},
        {VideoCodec::H265, kH265Sps720p, 1280, 720, 30, 1, 93},
        {VideoCodec::H265, kH265Sps1080p25, 1920, 1080, 25, 1, 120},
        {VideoCodec::H265, firstSps("h265.265", VideoCodec::H265), 320, 240, 25, 1, 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        H26xSpsInfo info;
        ASSERT_TRUE(parse(c.codec, c.sps.data(), c.sps.size(), &info));
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.height);
        EXPECT_NEAR(info.fps, c.fps, 0.001);
        EXPECT_EQ(info.profile, c.profile);
        EXPECT_EQ(info.level, c.level);
    }
}

TEST(SpsParser, CutShortOrForeignInputIsRefusedWithoutTouchingTheResult) {
    H26xSpsInfo untouched;
    untouched.width = 7;
    for (VideoCodec codec : {VideoCodec::H264, VideoCodec::H265}) {
        const Bytes& sps = codec == VideoCodec::H264 ? kH264Sps1080p : kH265Sps1080p25;
        // Every cut before the size fields ends is refused; a heap copy of exactly that length
        // lets the address sanitizer catch a read past the end.
        size_t sizeEnd = codec == VideoCodec::H264 ? 8 : 22;
        for (size_t len = 0; len < sizeEnd; ++len) {
            std::unique_ptr<uint8_t[]> cut(new uint8_t[len + 1]);
            std::copy(sps.begin(), sps.begin() + static_cast<long>(len), cut.get());
            H26xSpsInfo info = untouched;
            EXPECT_FALSE(parse(codec, cut.get(), len, &info)) << len;
            EXPECT_EQ(info.width, 7u);
        }
        // Cuts after the size keep it but lose the rate, which comes last.
        size_t kept = 0;
        for (size_t len = sizeEnd; len < sps.size() - 4; ++len) {
            std::unique_ptr<uint8_t[]> cut(new uint8_t[len]);
            std::copy(sps.begin(), sps.begin() + static_cast<long>(len), cut.get());
            H26xSpsInfo info;
            if (!parse(codec, cut.get(), len, &info)) continue;
            ++kept;
            EXPECT_EQ(info.width, 1920u);
            EXPECT_EQ(info.fps, 0) << len;
        }
        EXPECT_GE(kept, 8u);
    }
    // A PPS, and an H.264 SPS read as H.265, are no SPS.
    const Bytes pps = {0x68, 0xee, 0x3c, 0x80};
    H26xSpsInfo info = untouched;
    EXPECT_FALSE(H26xSpsParser::parseH264(pps.data(), pps.size(), &info));
    EXPECT_FALSE(H26xSpsParser::parseH265(kH264Sps1080p.data(), kH264Sps1080p.size(), &info));
    // All zeros: an exp-Golomb code longer than 32 bits cannot be read.
    Bytes zeros(64, 0x00);
    zeros[0] = 0x67;
    EXPECT_FALSE(H26xSpsParser::parseH264(zeros.data(), zeros.size(), &info));
    EXPECT_EQ(info.width, 7u);
}

// An SPS written field by field with `widthMbs` macroblocks per row and one row: baseline, or
// High with one scaling list whose first delta_scale is `scalingDelta`; with VUI timing when
// `unitsInTick` or `timeScale` is set; or, when `interlaced`, 34 rows of field pairs (1088 lines)
// cropped by 2 units of 4 lines to 1080.
struct SpsFields {
    uint32_t widthMbs = 120;
    uint32_t cropRight = 0;
    bool high = false;
    int64_t scalingDelta = 0;
    uint32_t unitsInTick = 0, timeScale = 0;
    bool interlaced = false;
};
Bytes sps(const SpsFields& f) {
    Bytes out = {0x67, static_cast<uint8_t>(f.high ? 100 : 66), 0, 30};
    int used = 8;  // bits of the last byte in use; 8 = start a new byte
    auto bit = [&](uint32_t b) {
        if (used == 8) {
            out.push_back(0);
            used = 0;
        }
        out.back() |= static_cast<uint8_t>(b << (7 - used++));
    };
    auto ue = [&](uint64_t v) {
        uint64_t code = v + 1;
        int bits = 64 - __builtin_clzll(code);
        for (int i = 1; i < bits; ++i) bit(0);
        for (int i = bits - 1; i >= 0; --i) bit((code >> i) & 1);
    };
    auto bits32 = [&](uint32_t v) {
        for (int i = 31; i >= 0; --i) bit((v >> i) & 1);
    };
    ue(0);  // seq_parameter_set_id
    if (f.high) {
        ue(1), ue(0), ue(0), bit(0);  // chroma_format_idc 4:2:0, bit depths, qpprime_y_zero_...
        bit(1);                       // seq_scaling_matrix_present_flag
        bit(1);                       // the first list is present, the other seven not
        ue(f.scalingDelta > 0 ? uint64_t(2 * f.scalingDelta - 1) : uint64_t(-2 * f.scalingDelta));
        // A next scale of 0 ends the list; otherwise 15 more delta_scale of 0 follow.
        if ((8 + f.scalingDelta) % 256 != 0)
            for (int i = 0; i < 15; ++i) bit(1);
        for (int i = 0; i < 7; ++i) bit(0);
    }
    ue(0);                      // log2_max_frame_num_minus4
    ue(2);                      // pic_order_cnt_type
    ue(1);                      // max_num_ref_frames
    bit(0);                     // gaps_in_frame_num_value_allowed_flag
    ue(f.widthMbs - 1);         // pic_width_in_mbs_minus1
    ue(f.interlaced ? 33 : 0);  // pic_height_in_map_units_minus1
    bit(!f.interlaced);         // frame_mbs_only_flag
    if (f.interlaced) bit(1);   // mb_adaptive_frame_field_flag
    bit(1);                     // direct_8x8_inference_flag
    bit(f.cropRight != 0 || f.interlaced);
    if (f.cropRight != 0 || f.interlaced) ue(0), ue(f.cropRight), ue(0), ue(f.interlaced ? 2 : 0);
    const bool timing = f.unitsInTick != 0 || f.timeScale != 0;
    bit(timing);  // vui_parameters_present_flag
    if (timing) {
        for (int i = 0; i < 4; ++i) bit(0);  // aspect ratio, overscan, video signal, chroma loc
        bit(1);                              // timing_info_present_flag
        bits32(f.unitsInTick);
        bits32(f.timeScale);
        bit(1);                              // fixed_frame_rate_flag
        for (int i = 0; i < 4; ++i) bit(0);  // HRD, pic_struct, bitstream restriction
    }
    bit(1);  // rbsp_stop_one_bit
    return out;
}

TEST(SpsParser, CropsOfFramesAndFieldPairsAndSizesBeyondSixteenBitsOrCropsLargerThanThePicture) {
    H26xSpsInfo info;
    Bytes nal = sps({});
    ASSERT_TRUE(H26xSpsParser::parseH264(nal.data(), nal.size(), &info));
    EXPECT_EQ(info.width, 1920u);
    EXPECT_EQ(info.height, 16u);
    nal = sps({120, 4});  // 4 crop units of two samples
    ASSERT_TRUE(H26xSpsParser::parseH264(nal.data(), nal.size(), &info));
    EXPECT_EQ(info.width, 1912u);
    SpsFields fieldPairs;
    fieldPairs.cropRight = 4;
    fieldPairs.interlaced = true;
    nal = sps(fieldPairs);
    ASSERT_TRUE(H26xSpsParser::parseH264(nal.data(), nal.size(), &info));
    EXPECT_EQ(info.width, 1912u);
    EXPECT_EQ(info.height, 1080u);
    nal = sps({5000, 0});
    EXPECT_FALSE(H26xSpsParser::parseH264(nal.data(), nal.size(), &info));
    nal = sps({1, 8});
    EXPECT_FALSE(H26xSpsParser::parseH264(nal.data(), nal.size(), &info));
}

// What no camera sends is "unknown" (0), not a number: sides above 16384, rates above 1000 fps or
// without a tick. A delta_scale at the ends of the 32-bit range is skipped without overflow
// (sanitizer builds abort on one).
TEST(SpsParser, ImplausibleSizesAndRatesAreUnknownAndExtremeScalingDeltasAreSkipped) {
    struct Case {
        SpsFields fields;
        uint32_t width;
        double fps;
    } cases[] = {
        {{1024, 0, false, 0, 1, 50}, 16384, 25},         // the largest side taken
        {{1025, 0, false, 0, 1, 50}, 0, 25},             // one macroblock more
        {{4095, 0, false, 0, 1, 50}, 0, 25},             // 65520 samples
        {{120, 0, false, 0, 1, 2000}, 1920, 1000},       // the highest rate taken
        {{120, 0, false, 0, 1, 2002}, 1920, 0},          // above it
        {{120, 0, false, 0, 1, 0xFFFFFFFFu}, 1920, 0},   // 2147483647.5 fps
        {{120, 0, false, 0, 0, 50}, 1920, 0},            // no tick
        {{120, 0, true, 2147483647, 1, 50}, 1920, 25},   // delta_scale at the top
        {{120, 0, true, -2147483647, 1, 50}, 1920, 25},  // and at the bottom
        {{120, 0, true, 2147483640, 1, 50}, 1920, 25},   // ends the list (next scale 0)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fields.widthMbs) + " " + std::to_string(c.fields.timeScale) + " " +
                     std::to_string(c.fields.scalingDelta));
        H26xSpsInfo info;
        Bytes nal = sps(c.fields);
        ASSERT_TRUE(H26xSpsParser::parseH264(nal.data(), nal.size(), &info));
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.width == 0 ? 0u : 16u);
        EXPECT_DOUBLE_EQ(info.fps, c.fps);
    }
}

// Without timing in the SPS the rate is measured from the frames' pace.
TEST(StreamInfo, RateIsMeasuredWhenTheSpsHasNoTiming) {
    StreamInfoTracker tracker;
    Bytes untimed = sps({});
    tracker.onNalUnit(RtspVideoCodec::H264, untimed.data(), untimed.size());
    EXPECT_EQ(tracker.snapshot().fps, 0);
    // RTP timestamps 3003 apart: 29.97 fps, across the 32-bit wrap.
    uint64_t ts = (uint64_t(1) << 32) - 10 * 3003;
    for (int i = 0; i < 40; ++i, ts += 3003) tracker.onFrame(RtspVideoCodec::H264, true, ts, 0);
    RtspStreamInfo info = tracker.snapshot();
    EXPECT_EQ(info.width, 1920u);
    EXPECT_FALSE(info.fpsFromSps);
    EXPECT_NEAR(info.fps, 90000.0 / 3003, 0.001);
    // Frames without timestamps are paced by their arrival: 40 ms apart.
    for (int i = 0; i < 40; ++i) tracker.onFrame(RtspVideoCodec::H264, false, 0, i * 40000000LL);
    EXPECT_NEAR(tracker.snapshot().fps, 25, 0.001);
    // An SPS with timing wins over the measurement.
    tracker.onNalUnit(RtspVideoCodec::H264, kH264Sps1080p.data(), kH264Sps1080p.size());
    EXPECT_NEAR(tracker.snapshot().fps, 30000.0 / 1001, 0.001);
}

}  // namespace

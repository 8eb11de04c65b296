// Codec-detecting depacketizer: the two-byte vote, routing to the inner units, linking and the
// stream-info forwarding.
#include <gtest/gtest.h>

#include "tests/unpack_test_support.h"
#include "units/unit_rtp_video_unpack_ex.h"

using namespace unpack_test;

namespace {

enum class Outcome { H264, H265, Both, None };

class VideoUnpack : public ::testing::Test {
protected:
    VideoUnpack() { unit.addOutputUnit(&sink.unit(), true); }

    testkit::CollectingSink sink;
    RtpVideoUnpackExUnitSM unit;
    Feeder feed{&unit};
};

}  // namespace

TEST(VideoUnpackDetection, TwoByteVoteTable) {
    struct Case {
        Bytes payload;
        Outcome outcome;
    };
    const Case cases[] = {
        {{0x67, 0x42}, Outcome::H264},  // SPS
        {{0x68, 0xCE}, Outcome::H264},  // PPS
        {{0x65, 0x88}, Outcome::H264},  // IDR slice
        {{0x41, 0x9A}, Outcome::H264},  // non-IDR slice
        {{0x7C, 0x85}, Outcome::H264},  // FU-A start of an IDR slice
        {{0x5C, 0x01}, Outcome::Both},  // FU-A middle fragment of a type-1 slice
        {{0x7C, 0x01}, Outcome::Both}, {{0x40, 0x01}, Outcome::H265},  // VPS
        {{0x60, 0x01}, Outcome::H265},                                 // aggregation packet
        {{0x42, 0x01}, Outcome::Both},                                 // H.265 SPS
        {{0x44, 0x01}, Outcome::Both},                                 // PPS
        {{0x4E, 0x01}, Outcome::Both},                                 // SEI
        {{0x26, 0x01}, Outcome::Both},                                 // IDR_W_RADL
        {{0x02, 0x01}, Outcome::Both},                                 // TRAIL_R
        {{0x62, 0x01}, Outcome::Both},                                 // FU
        {{0x80, 0x01}, Outcome::None},                                 // forbidden bit
        {{0xFC, 0x85}, Outcome::None}, {{0x60, 0x02}, Outcome::None},  // H.264 type 0, H.265 TID 2
        {{0x7D, 0x85}, Outcome::None},                                 // FU-B
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.payload[0]) << " " << int(c.payload[1]));
        RtpVideoUnpackExUnitSM unit;
        Feeder feed(&unit);
        LogCapture log;
        EXPECT_EQ(feed.payload(c.payload), 0u);
        log.stop();
        EXPECT_EQ(unit.mIsH264, c.outcome == Outcome::H264);
        EXPECT_EQ(unit.mIsH265, c.outcome == Outcome::H265);
        EXPECT_EQ(log.errCount("it looks both like 264 and 265 !!!"), c.outcome == Outcome::Both ? 1 : 0);
        EXPECT_EQ(log.errCount("Can not determine rtp video type !!!"), c.outcome == Outcome::None ? 1 : 0);
    }
}

TEST_F(VideoUnpack, FreshUnitHasNothingToTell) {
    EXPECT_EQ(unit.getExtra(), nullptr);
    EXPECT_EQ(unit.getSps(), nullptr);
    EXPECT_EQ(unit.getPps(), nullptr);
    EXPECT_EQ(unit.getSei(), nullptr);
    EXPECT_EQ(unit.getWidth(), 0u);
    EXPECT_EQ(unit.getHeight(), 0u);
    EXPECT_EQ(unit.getFPS(), 0u);
    EXPECT_EQ(unit.getDebugInfo(), &unit.mDebugFpsUnknown);
    EXPECT_EQ(unit.getUnitName(), "RTPVUP_UNIT_SE");
}

TEST_F(VideoUnpack, LinksTheNextUnitBehindBothDepacketizers) {
    EXPECT_TRUE(unit.MasterOutput::units.empty());
    EXPECT_EQ(sink.unit().SlaveInput::units, (std::vector<UnitBase*>{&unit.mH264Unit, &unit.mH265Unit}));
    // H.264 data arrives from input 0.
    feed.payload({0x67, 0x42, 0x00, 0x1F});
    auto out = sink.deliveries();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].inputIndex, 0);
    EXPECT_EQ(unit.getDebugInfo(), &unit.mH264Unit.mDebugFps);
}

TEST_F(VideoUnpack, H265IsRecognizedAtItsFirstVpsAndRoutedFromThenOn) {
    int calls = 0, codec = 0, done = 0;
    unit.mVideoTypeCallback = [&](int c) {
        ++calls;
        codec = c;
    };
    unit.mVideoTypeDoneCallback = [&] { done = calls; };
    LogCapture log;
    feed.payload({0x42, 0x01, 0x01});        // SPS before the VPS: undecidable, dropped
    feed.payload({0x62, 0x01, 0x93, 0xAF});  // IDR fragment: likewise
    EXPECT_EQ(unit.onTransmitIn(nullptr, 5, 0, 0), 5u);
    feed.payload({0x40, 0x01, 0x0C});  // VPS: H.265
    feed.payload({0x42, 0x01, 0x01});  // routed without a vote
    feed.payload({0x80, 0x01, 0x01});  // would vote for neither; routed all the same
    log.stop();
    EXPECT_EQ(log.errCount("it looks both like 264 and 265 !!!"), 2);
    EXPECT_EQ(log.errCount("RtpH264Unpack buf is null"), 1);
    EXPECT_EQ(log.errCount("H265 RTP cannot recognize type 0"), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(codec, 2);
    EXPECT_EQ(done, 1);
    auto out = sink.deliveries();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].data, startCode({0x40, 0x01, 0x0C}));
    EXPECT_EQ(out[1].inputIndex, 1);
    EXPECT_EQ(unit.getDebugInfo(), &unit.mH265Unit.mDebugFps);
    EXPECT_EQ(unit.getSps(), nullptr);  // no stream info for H.265
}

TEST_F(VideoUnpack, CallbacksNeedBothAndInterfacesFollowTheChoice) {
    int calls = 0;
    unit.mVideoTypeCallback = [&](int) { ++calls; };
    IH264Interfaces interfaces = unit.getInterfaces();  // taken before the codec is known
    EXPECT_EQ(interfaces.getSps(), nullptr);
    feed.payload({0x67, 0x42, 0x00, 0x1F});
    EXPECT_EQ(calls, 0);
    auto sps = interfaces.getSps();
    ASSERT_NE(sps, nullptr);
    EXPECT_EQ(
        Bytes(static_cast<uint8_t*>(sps->getVaddr()), static_cast<uint8_t*>(sps->getVaddr()) + sps->length),
        (Bytes{0x67, 0x42, 0x00, 0x1F}));
    LogCapture log;
    EXPECT_EQ(interfaces.getWidth(), 0u);  // the sink knows no picture format
    log.stop();
    EXPECT_EQ(log.errCount("can not get h264 width from 1 outputs !"), 1);
}

TEST_F(VideoUnpack, PacketsTooShortToVoteOnAreDropped) {
    LogCapture log;
    feed.packet({0x80});
    feed.payload({});
    feed.payload({0x67});
    log.stop();
    EXPECT_EQ(log.errCount("RtpVideoUnpack packet of"), 3);
    EXPECT_FALSE(unit.mIsH264);
    EXPECT_FALSE(unit.mIsH265);
    // Once H.264 is chosen, the H.264 unit judges the length itself.
    feed.payload({0x67, 0x42});
    LogCapture after;
    feed.payload({0x09});
    feed.payload({});
    after.stop();
    EXPECT_EQ(after.errCount("RtpH264Unpack packet of 12 bytes is too short"), 1);
    EXPECT_EQ(sink.count(), 1u);
}

// H.264 depacketizer: what reaches the next unit for each kind of packet, what is logged and
// counted, the stored parameter sets and their getters.
#include <gtest/gtest.h>

#include "tests/unpack_test_support.h"
#include "units/unit_callback_endpoint.h"
#include "units/unit_rtp_h264_unpack.h"

using namespace unpack_test;

namespace {

const Bytes kSps = {0x67, 0x42, 0x00, 0x1F};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
// Slices whose first_mb_in_slice is 0 (bit 7 of the byte after the header set) or not.
const Bytes kIdrFirst = {0x65, 0x88, 0x84, 0x21};
const Bytes kIdrSecond = {0x65, 0x42, 0x11, 0x22};
const Bytes kPFirst = {0x41, 0x9A, 0x02, 0x03};
const Bytes kPSecond = {0x41, 0x20, 0x04};
const Bytes kAud = {0x09, 0xF0};

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class H264Unpack : public ::testing::Test {
protected:
    H264Unpack() { unit.addOutputUnit(&sink.unit(), true); }

    testkit::CollectingSink sink;  // declared first: outlives the unit that feeds it
    RtpH264UnpackUnitSM unit;
    Feeder feed{&unit};
};

// A unit behind the depacketizer that knows the picture format.
class FormatUnit : public Unit<SlaveInput, EndpointOutput>, public IH264Unit {
public:
    FormatUnit() : Unit<SlaveInput, EndpointOutput>("FORMAT", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1) {}
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer>, unsigned long, int, int) override { return 0; }
    std::shared_ptr<QelBuffer> getExtra() override { return nullptr; }
    std::shared_ptr<QelBuffer> getPps() override { return nullptr; }
    std::shared_ptr<QelBuffer> getSps() override { return nullptr; }
    std::shared_ptr<QelBuffer> getSei() override { return nullptr; }
    uint32_t getWidth() override { return 1920; }
    uint32_t getHeight() override { return 1080; }
    uint32_t getFPS() override { return 25; }
};

Bytes bytesOf(const std::shared_ptr<QelBuffer>& b) {
    if (!b) return {};
    auto* p = static_cast<uint8_t*>(b->getVaddr());
    return Bytes(p, p + b->length);
}

}  // namespace

TEST_F(H264Unpack, ParameterSetsGoOutAtOnceAndPicturesWhenTheNextBegins) {
    feed.payload(join({kSps, {0x00, 0x00}}));  // camera padding after the SPS
    feed.payload(kPps);
    feed.payload(kIdrFirst);
    ASSERT_EQ(sink.count(), 2u);
    feed.payload(kPFirst, true);
    auto out = deliveredData(sink);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], startCode(kSps));
    EXPECT_EQ(out[1], startCode(kPps));
    EXPECT_EQ(out[2], startCode(kIdrFirst));
    // The pending P picture goes out at the delimiter, which itself is not delivered.
    feed.payload(kAud);
    ASSERT_EQ(sink.count(), 4u);
    EXPECT_EQ(deliveredData(sink)[3], startCode(kPFirst));
}

TEST_F(H264Unpack, SlicesOfOnePictureBecomeOneAccessUnit) {
    feed.payload(kIdrFirst);
    feed.payload(kIdrSecond);
    feed.payload(kIdrSecond);
    feed.payload(kPFirst);
    feed.payload(kPSecond);
    ASSERT_EQ(sink.count(), 1u);
    EXPECT_EQ(deliveredData(sink)[0],
              join({startCode(kIdrFirst), startCode(kIdrSecond), startCode(kIdrSecond)}));
    // A parameter set ends the pending picture too, and goes out after it.
    feed.payload(kSps);
    auto out = deliveredData(sink);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], join({startCode(kPFirst), startCode(kPSecond)}));
    EXPECT_EQ(out[2], startCode(kSps));
}

TEST_F(H264Unpack, FuaFragmentsAreJoinedWithTheHeaderRebuilt) {
    Bytes body(3000);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
    body[0] = 0x88;  // first_mb_in_slice 0
    // Indicator: F 0, NRI 3, type 28; FU headers S / none / E with type 5.
    feed.payload(join({{0x7C, 0x85}, Bytes(body.begin(), body.begin() + 1000)}));
    feed.payload(join({{0x7C, 0x05}, Bytes(body.begin() + 1000, body.begin() + 2000)}));
    feed.payload(join({{0x7C, 0x45}, Bytes(body.begin() + 2000, body.end())}), true);
    EXPECT_EQ(sink.count(), 0u);
    feed.payload(kPFirst);
    ASSERT_EQ(sink.count(), 1u);
    EXPECT_EQ(deliveredData(sink)[0], startCode(join({{0x65}, body})));
}

TEST_F(H264Unpack, LostMiddleFragmentDropsOnlyThatNalUnit) {
    feed.payload(kIdrFirst, true);
    feed.payload({0x7C, 0x81, 0x9A, 0x01});  // P slice start: ends the IDR picture
    feed.skip();                             // its middle fragment is lost
    LogCapture log;
    feed.payload({0x7C, 0x41, 0x03}, true);  // end: dropped without a message
    feed.payload(kPFirst);
    feed.payload(kAud);
    log.stop();
    EXPECT_EQ(log.errCount("rtp lost one packet ... mDebugCntRtpLost: 1 > 3"), 1);
    EXPECT_EQ(log.errCount("E/"), 0);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(kIdrFirst), startCode(kPFirst)}));
}

TEST_F(H264Unpack, LostSlicePacketAfterACompletePictureKeepsThatPicture) {
    feed.payload(kIdrFirst, true);  // marker: this picture is complete
    feed.skip();                    // the next picture's only packet is lost
    feed.payload(kPFirst, true);
    feed.payload(kAud);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(kIdrFirst), startCode(kPFirst)}));
}

TEST_F(H264Unpack, LostSliceInsideAPictureDeliversTheRestWithAnError) {
    feed.payload(kIdrFirst);
    feed.payload(kIdrSecond);  // no marker: the picture is not finished
    feed.skip();
    LogCapture log;
    feed.payload(kIdrSecond, true);
    feed.payload(kPFirst);
    log.stop();
    EXPECT_EQ(log.errCount("first slice is not 0. 0"), 1);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(kIdrSecond)}));
}

TEST_F(H264Unpack, SequenceNumbersWrapAndGapsAreCounted) {
    feed.setSeq(65533);
    {
        LogCapture log;
        feed.payload(kAud);  // first packet: 65535 -> 65533 is counted as a gap of -3
        log.stop();
        EXPECT_EQ(log.errCount("mDebugCntRtpLost: 65535 > 65533"), 1);
    }
    unit.mDebugPrintTime = Utils::getBeginTimestamp();  // keep the statistics window open
    unit.mDebugCntRtpLost = 0;
    unit.mDebugCntRtpRecv = 0;
    LogCapture log;
    for (int i = 0; i < 4; ++i) feed.payload(kAud);  // 65534, 65535, 0, 1
    feed.skip(3);
    feed.payload(kAud, false, 100);  // 5: three lost
    feed.setSeq(5);
    feed.payload(kAud, false, 50);  // 5 again: a repeat counts -1, timestamp went back
    log.stop();
    EXPECT_EQ(log.errCount("rtp lost one packet"), 2);
    EXPECT_EQ(log.errCount("mDebugCntRtpLost: 1 > 5"), 1);
    EXPECT_EQ(log.errCount("mDebugCntRtpLost: 5 > 5"), 1);
    EXPECT_EQ(log.errCount("rtp timestamp out of order ! cur(50) < last(100)"), 1);
    EXPECT_EQ(unit.mDebugCntRtpLost, 2);
    EXPECT_EQ(unit.mDebugCntRtpRecv, 6);
    EXPECT_EQ(unit.mLastSeq, 5);
    EXPECT_EQ(unit.mLastTimestamp, 50u);
}

TEST_F(H264Unpack, FuaQueueErrorsAndTheSingleFragmentQuirk) {
    LogCapture log;
    feed.payload({0x7C, 0x85, 0x88, 0x01});        // start, never ended
    feed.payload({0x7C, 0x85, 0x88, 0x02});        // a new start replaces it with a warning
    feed.payload({0x18, 0x00, 0x02, 0x09, 0xF0});  // STAP-A: rejected, the fragment stays
    feed.payload(kPFirst);                         // a whole NAL unit ends it with an error
    // S and E in one FU-A (sent by some cameras for small units) is a whole NAL unit.
    feed.payload({0x7C, 0xC1, 0x9A, 0x05}, true);
    feed.payload(kAud);
    log.stop();
    EXPECT_EQ(log.errCount("warning, fua queue is not empty !"), 1);
    EXPECT_EQ(log.errCount("unknown nal unit type : 24, please check camera setting which is h264 or h265"),
              1);
    EXPECT_EQ(log.errCount("Fua is incomplete !"), 1);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(kPFirst), startCode({0x61, 0x9A, 0x05})}));
}

TEST_F(H264Unpack, OwnReassemblyPathRejectsFragmentsAndSkipsContinuity) {
    // Input position -1 is the unit's own re-feeding: no continuity check, and a fragment there
    // means a reassembly fault.
    LogCapture log;
    auto fua = testkit::makePacketBuffer(testkit::makeRtpPacket(999, 0, false, {0x7C, 0x85, 0x88}));
    EXPECT_EQ(unit.onTransmitIn(fua, fua->length, -1, 0), fua->length);
    feed.payload(kAud);  // sequence 0 still follows the initial 65535
    log.stop();
    EXPECT_EQ(log.errCount("please check your code !"), 1);
    EXPECT_EQ(log.errCount("rtp lost one packet"), 0);
}

TEST(H26xBase, AnnexBBufferOfOneNalUnit) {
    unsigned char nal[] = {0x67, 0x42, 0x00};
    auto out = RtpH26xUnpackBase::transferFuToH26x(nal, sizeof(nal));
    EXPECT_EQ(bytesOf(out), (Bytes{0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00}));
    EXPECT_EQ(out->info.dataType, UNIT_DATA_H26X);
    EXPECT_NE(out->info.timestampNs, 0);
    EXPECT_EQ(bytesOf(RtpH26xUnpackBase::transferFuToH26x(nal, 0)), (Bytes{0x00, 0x00, 0x00, 0x01}));
}

TEST_F(H264Unpack, UnsupportedTypesAreRejectedByNumber) {
    for (uint8_t type : {0, 2, 3, 4, 12, 23, 24, 25, 26, 27, 29, 30, 31}) {
        LogCapture log;
        feed.payload({static_cast<uint8_t>(0x60 | type), 0x80, 0x00});
        log.stop();
        EXPECT_EQ(log.errCount("unknown nal unit type : " + std::to_string(type) + ", please check"), 1)
            << int(type);
    }
    EXPECT_EQ(sink.count(), 0u);
}

TEST_F(H264Unpack, ShortOrInconsistentPacketsAreDroppedWithoutReadingPastThem) {
    feed.payload(kIdrFirst, true);
    LogCapture log;
    // Under the RTP header, header only, a slice without its first_mb byte, an FU-A without its
    // header, an FU-A start without payload.
    for (const Bytes& p :
         {Bytes{0x80, 0x60, 0x00}, testkit::makeRtpPacket(1, 0, false, {}),
          testkit::makeRtpPacket(2, 0, false, {0x41}), testkit::makeRtpPacket(3, 0, false, {0x7C}),
          testkit::makeRtpPacket(4, 0, false, {0x7C, 0x85})}) {
        feed.packet(p);
    }
    // A length argument that disagrees with the buffer.
    auto buffer = testkit::makePacketBuffer(testkit::makeRtpPacket(5, 0, false, kPFirst));
    EXPECT_EQ(unit.onTransmitIn(buffer, buffer->length + 100, 0, 0), buffer->length + 100);
    EXPECT_EQ(unit.onTransmitIn(nullptr, 7, 0, 0), 7u);
    log.stop();
    EXPECT_EQ(log.errCount("is too short"), 5);
    EXPECT_EQ(log.errCount("does not match its buffer"), 1);
    EXPECT_EQ(log.errCount("RtpH264Unpack buf is null"), 1);
    // An FU-A end of exactly 14 bytes carries an empty fragment and is fine.
    feed.setSeq(5);
    feed.payload({0x7C, 0x85, 0x9A});
    feed.payload({0x7C, 0x45}, true);
    feed.payload(kAud);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(kIdrFirst), startCode({0x65, 0x9A})}));
}

TEST_F(H264Unpack, GettersServeTheStoredParameterSets) {
    EXPECT_EQ(unit.getExtra(), nullptr);
    EXPECT_EQ(unit.getSei(), nullptr);
    {
        LogCapture log;
        EXPECT_EQ(unit.getSps(), nullptr);
        EXPECT_EQ(unit.getPps(), nullptr);
        log.stop();
        EXPECT_EQ(log.outCount("!mSps && !mPps ..."), 2);
    }
    feed.payload(kSps);
    EXPECT_EQ(bytesOf(unit.getExtra()), startCode(kSps));
    EXPECT_EQ(bytesOf(unit.getSps()), kSps);
    {
        LogCapture log;
        EXPECT_EQ(unit.getPps(), nullptr);
        log.stop();
        EXPECT_EQ(log.err + log.out, "");
    }
    feed.payload(join({kPps, {0x00}}));
    feed.payload({0x06, 0x05, 0xFF});
    EXPECT_EQ(bytesOf(unit.getExtra()), (Bytes{0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1F, 0x00, 0x00,
                                               0x00, 0x01, 0x68, 0xCE, 0x3C, 0x80}));
    EXPECT_EQ(bytesOf(unit.getSps()), kSps);
    EXPECT_EQ(bytesOf(unit.getPps()), kPps);
    EXPECT_EQ(bytesOf(unit.getSei()), startCode({0x06, 0x05, 0xFF}));
    IH264Interfaces interfaces = unit.getInterfaces();
    EXPECT_EQ(bytesOf(interfaces.getSps()), kSps);
    EXPECT_EQ(bytesOf(interfaces.getExtra()), bytesOf(unit.getExtra()));
    // A newer SPS replaces the stored one.
    feed.payload({0x67, 0x64, 0x00, 0x28});
    EXPECT_EQ(bytesOf(interfaces.getSps()), (Bytes{0x67, 0x64, 0x00, 0x28}));
}

TEST_F(H264Unpack, ParseExtraPacketSplitsSpsAndPps) {
    struct Case {
        Bytes in;
        Bytes sps, pps;
        int errors;
    };
    Bytes big = {0x00, 0x00, 0x00, 0x01, 0x67};
    big.resize(big.size() + 1500, 0x11);  // longer than any fixed collector would hold
    for (const Case& c :
         {Case{join({startCode(kSps), startCode(kPps)}), kSps, kPps, 0},
          Case{startCode({0x06, 0x05, 0xFF}), {}, {}, 0}, Case{startCode({0x65, 0x88}), {}, {}, 2},
          Case{{0x00, 0x00, 0x00}, {}, {}, 3},  // an unfinished start code at the end
          Case{big, Bytes(big.begin() + 4, big.end()), {}, 0}}) {
        std::shared_ptr<QelBuffer> sps, pps;
        LogCapture log;
        unit.parseExtraPacket(testkit::makePacketBuffer(c.in), sps, pps);
        log.stop();
        EXPECT_EQ(bytesOf(sps), c.sps);
        EXPECT_EQ(bytesOf(pps), c.pps);
        EXPECT_EQ(log.errCount("known error happened !!!"), c.errors);
    }
}

TEST_F(H264Unpack, PictureFormatComesFromTheNextUnitThatKnowsIt) {
    {
        RtpH264UnpackUnitSM alone;
        LogCapture log;
        EXPECT_EQ(alone.getWidth(), 0u);
        EXPECT_EQ(alone.getHeight(), 0u);
        EXPECT_EQ(alone.getFPS(), 0u);
        log.stop();
        EXPECT_EQ(log.errCount("can not get h264 width from 0 outputs !"), 1);
        EXPECT_EQ(log.errCount("can not get h264 height from 0 ouputs !"), 1);
        EXPECT_EQ(log.errCount("can not get h264 info !"), 1);
    }
    FormatUnit format;
    unit.addOutputUnit(&format, true);  // second next unit, after the sink
    IH264Interfaces interfaces = unit.getInterfaces();
    EXPECT_EQ(interfaces.getWidth(), 1920u);
    EXPECT_EQ(unit.getHeight(), 1080u);
    EXPECT_EQ(unit.getFPS(), 25u);
}

TEST_F(H264Unpack, StatisticsLineEvery30SecondsUnlessSwitchedOff) {
    auto runWindow = [&] {
        unit.mDebugPrintTime = Utils::getBeginTimestamp() - 31000000000LL;
        LogCapture log;
        feed.payload(kSps);
        log.stop();
        return log.outCount("RTP4UP_UNIT_SE [");
    };
    EXPECT_EQ(runWindow(), 1);
    EXPECT_EQ(unit.mDebugCntRtpRecv, 0);  // a new window started
    unit.debug();
    EXPECT_EQ(runWindow(), 0);
    unit.debug();
    EXPECT_EQ(runWindow(), 1);
}

TEST(H264UnpackCamera, RealCameraPacketSequences) {
    struct Case {
        const char* file;
        std::vector<Bytes> expected;  // after an access unit delimiter ends the stream
    };
    const Case cases[] = {
        // Marker on the SPS and different timestamps: still SPS, PPS, then the picture.
        {"retina_h264_reolink_rlc822a_bad_framing_at_start.hex",
         {startCode({0x67, 0x64, 0x00, 0x33, 0xac, 0x15, 0x14, 0xa0, 0xa0, 0x2f, 0xf9, 0x50}),
          startCode({0x68, 0xee, 0x3c, 0xb0}), startCode({0x65, 's', 'l', 'i', 'c', 'e'})}},
        // Reserved bit set in the FU headers is ignored.
        {"retina_h264_longse_cmsekl800_fua_reserved_bit.hex",
         {startCode(join({{0x61}, Bytes{'f', 'u', '-', 'a', ' ', 's', 't', 'a', 'r', 't', ',',
                                        ' ', 'f', 'u', '-', 'a', ' ', 'm', 'i', 'd', 'd', 'l',
                                        'e', ',', ' ', 'f', 'u', '-', 'a', ' ', 'e', 'n', 'd'}}))}},
        {"retina_h264_empty_fua_fragment.hex",
         {startCode({0x61, 's', 't', 'a', 'r', 't', ',', ' ', 'e', 'n', 'd'})}},
        {"retina_h264_single_fragment_fua.hex",
         {startCode({0x61, 's', 'm', 'a', 'l', 'l', ' ', 'n', 'a', 'l'})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        testkit::CollectingSink sink;
        RtpH264UnpackUnitSM unit;
        unit.addOutputUnit(&sink.unit(), true);
        Feeder feed(&unit);
        std::vector<Bytes> packets = cameraPackets(c.file);
        for (const Bytes& p : packets) feed.packet(p);
        feed.setSeq(static_cast<uint16_t>(testkit::rtpSeq(packets.back()) + 1));
        feed.payload(kAud);
        EXPECT_EQ(deliveredData(sink), c.expected);
    }
}

TEST(H264UnpackCamera, ParameterSetsFragmentedTogetherAreSplitByTheGetters) {
    // One FU-A of type SPS carries SPS, a start code and the PPS (Amatek AR-N3222F).
    RtpH264UnpackUnitSM unit;
    Feeder feed(&unit);
    for (const Bytes& p : cameraPackets("gortsplib_h264_amatek_ar-n3222f_multi_nalu_in_fua.hex"))
        feed.packet(p);
    EXPECT_EQ(bytesOf(unit.getSps()), (Bytes{0x67, 0x4d, 0x00, 0x33, 0x8a, 0x8a, 0x50, 0x28, 0x02, 0xdd,
                                             0x34, 0x40, 0x00, 0x00, 0xfa, 0x00, 0x00, 0x30, 0xd4, 0x01}));
    EXPECT_EQ(bytesOf(unit.getPps()), (Bytes{0x68, 0xee, 0x3c, 0x80}));
}

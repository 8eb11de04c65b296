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

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class H264Unpack : public ::testing::Test {
protected:
    H264Unpack() { unit.addOutputUnit(&sink.unit(), true); }

    testkit::CollectingSink sink;  // declared first: outlives the unit that feeds it
    RtpH264UnpackUnitSM unit;
    Feeder feed{&unit};
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
    // The pending P picture goes out at the delimiter, which itself is not delivered.
    feed.payload(kAud);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(kSps), startCode(kPps), startCode(kIdrFirst),
                                                       startCode(kPFirst)}));
}

TEST_F(H264Unpack, SlicesOfOnePictureBecomeOneAccessUnit) {
    feed.payload(kIdrFirst);
    feed.payload(kIdrSecond);
    feed.payload(kIdrSecond);
    feed.payload(kPFirst);
    feed.payload(kPSecond);
    ASSERT_EQ(sink.count(), 1u);
    // A parameter set of the next picture ends the pending one too, and goes out after it.
    feed.payload(kSps, false, 3600);
    EXPECT_EQ(deliveredData(sink),
              (std::vector<Bytes>{join({startCode(kIdrFirst), startCode(kIdrSecond), startCode(kIdrSecond)}),
                                  join({startCode(kPFirst), startCode(kPSecond)}), startCode(kSps)}));
}

TEST_F(H264Unpack, ParameterSetsBetweenSlicesOfOnePictureDoNotSplitIt) {
    // GStreamer's rtph264pay with config-interval -1: SPS and PPS before every slice of a key
    // picture, all with the picture's timestamp.
    const Bytes newPps = {0x68, 0xCE, 0x38, 0x80};
    const Bytes sei = {0x06, 0x05, 0x01, 0xAA, 0x80};
    LogCapture log;
    for (const Bytes& nal : {kSps, kPps, kIdrFirst, kSps, kPps, kIdrSecond, newPps, sei}) feed.payload(nal);
    feed.payload(kIdrSecond, true);
    // After the marker the picture is over: the same timestamp no longer keeps it pending.
    feed.payload(kSps);
    feed.payload(kPFirst, true, 3600);
    feed.payload(kAud);
    log.stop();
    EXPECT_EQ(log.errCount("first slice is not 0"), 0);
    // Repeats are dropped; what is new goes out ahead of the picture and is stored.
    EXPECT_EQ(deliveredData(sink),
              (std::vector<Bytes>{startCode(kSps), startCode(kPps), startCode(newPps), startCode(sei),
                                  join({startCode(kIdrFirst), startCode(kIdrSecond), startCode(kIdrSecond)}),
                                  startCode(kSps), startCode(kPFirst)}));
    EXPECT_EQ(bytesOf(unit.getPps()), newPps);
    EXPECT_EQ(unit.framesDelivered(), 2u);
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
}

TEST_F(H264Unpack, FuaQueueErrorsAndTheSingleFragmentQuirk) {
    LogCapture log;
    feed.payload({0x7C, 0x85, 0x88, 0x01});  // start, never ended
    feed.payload({0x7C, 0x85, 0x88, 0x02});  // a new start replaces it with a warning
    feed.payload({0x60, 0x00});              // an unknown type: the fragment stays
    feed.payload(kPFirst);                   // a whole NAL unit ends it with an error
    // S and E in one FU-A (sent by some cameras for small units) is a whole NAL unit.
    feed.payload({0x7C, 0xC1, 0x9A, 0x05}, true);
    feed.payload(kAud);
    log.stop();
    EXPECT_EQ(log.errCount("warning, fua queue is not empty !"), 1);
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
    {
        LogCapture log;
        EXPECT_EQ(unit.getSps(), nullptr);
        EXPECT_EQ(unit.getPps(), nullptr);
        log.stop();
        EXPECT_EQ(log.outCount("!mSps && !mPps ..."), 2);
    }
    feed.payload(kSps);
    EXPECT_EQ(bytesOf(unit.getExtra()), startCode(kSps));
    feed.payload(join({kPps, {0x00}}));
    feed.payload({0x06, 0x05, 0xFF});
    EXPECT_EQ(bytesOf(unit.getExtra()), join({startCode(kSps), startCode(kPps)}));
    EXPECT_EQ(bytesOf(unit.getPps()), kPps);
    EXPECT_EQ(bytesOf(unit.getSei()), startCode({0x06, 0x05, 0xFF}));
    EXPECT_EQ(bytesOf(unit.getSps()), kSps);
    // A newer SPS replaces the stored one.
    feed.payload({0x67, 0x64, 0x00, 0x28});
    EXPECT_EQ(bytesOf(unit.getSps()), (Bytes{0x67, 0x64, 0x00, 0x28}));
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

// The format a next unit answers with is checked end to end through the stream-info unit.
TEST_F(H264Unpack, PictureFormatIsZeroWithAnErrorWhenNoNextUnitKnowsIt) {
    RtpH264UnpackUnitSM alone;
    LogCapture log;
    EXPECT_EQ(alone.getWidth() + alone.getHeight() + alone.getFPS(), 0u);
    log.stop();
    EXPECT_EQ(log.errCount("can not get h264 width from 0 outputs !"), 1);
    EXPECT_EQ(log.errCount("can not get h264 height from 0 ouputs !"), 1);
    EXPECT_EQ(log.errCount("can not get h264 info !"), 1);
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
          startCode({0x68, 0xee, 0x3c, 0xb0}), startCode(join({{0x65}, text("slice")}))}},
        // Reserved bit set in the FU headers is ignored.
        {"retina_h264_longse_cmsekl800_fua_reserved_bit.hex",
         {startCode(join({{0x61}, text("fu-a start, fu-a middle, fu-a end")}))}},
        {"retina_h264_empty_fua_fragment.hex", {startCode(join({{0x61}, text("start, end")}))}},
        {"retina_h264_single_fragment_fua.hex", {startCode(join({{0x61}, text("small nal")}))}},
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

namespace {

// The unit with behaviour options, and a sink that keeps each buffer's FrameMeta.
class H264Options : public ::testing::Test {
protected:
    void start(const RtspClientOptions& options) {
        unit.setOptions(options);
        unit.addOutputUnit(&sink, true);
    }
    uint32_t flagsOf(size_t i) const { return sink.out.at(i).meta.flags; }

    MetaSink sink;
    RtpH264UnpackUnitSM unit;
    Feeder feed{&unit};
};

Bytes stapA(std::initializer_list<Bytes> nals) {
    Bytes p = {0x78};
    for (const Bytes& n : nals) {
        p.push_back(static_cast<uint8_t>(n.size() >> 8));
        p.push_back(static_cast<uint8_t>(n.size()));
        p.insert(p.end(), n.begin(), n.end());
    }
    return p;
}

}  // namespace

TEST_F(H264Options, StapAUnitsTakeTheSingleNalUnitPathAndLyingSizesDropTheRest) {
    start(RtspClientOptions::mixedFleet());
    // GStreamer's max-stap with config-interval -1: the parameter sets again between the slices of
    // a key picture, all in one marked packet; its last unit, not its first slice, ends the picture.
    feed.payload(stapA({kSps, kPps, kIdrFirst, kSps, kPps, kIdrSecond}), true);
    EXPECT_EQ(sink.data(), (std::vector<Bytes>{startCode(kSps), startCode(kPps),
                                               join({startCode(kIdrFirst), startCode(kIdrSecond)})}));
    EXPECT_EQ(bytesOf(unit.getPps()), kPps);
    // A size past the end, a zero size, a lone byte where a size belongs: the units before it
    // still count, the rest of the packet is dropped with an error line.
    Bytes past = stapA({kPFirst, kPSecond});
    past[1 + 2 + kPFirst.size() + 1] += 1;
    Bytes zero = stapA({kPFirst});
    zero.insert(zero.end(), {0x00, 0x00, 0x41});
    Bytes lone = stapA({kPFirst});
    lone.push_back(0x00);
    LogCapture log;
    for (const Bytes& p : {past, zero, lone}) feed.payload(p, true, 3600);
    log.stop();
    EXPECT_EQ(log.errCount("STAP-A unit size"), 3);
    EXPECT_EQ(sink.data().size(), 6u);
    EXPECT_EQ(sink.data()[3], startCode(kPFirst));
    EXPECT_TRUE(unit.checkInvariants());
}

TEST_F(H264Options, MarkerCompletionHandsPicturesOverWithoutWaitingForTheNext) {
    RtspClientOptions options;
    options.markerCompletion = true;
    start(options);
    feed.payload(kIdrFirst, false, 0);
    feed.payload(kIdrSecond, true, 0);  // the marker ends the picture
    ASSERT_EQ(sink.out.size(), 1u);
    // A camera without marker bits: the new timestamp ends the picture, even without first_mb 0.
    feed.payload(kPSecond, false, 3600);
    feed.payload(kPSecond, false, 7200);
    EXPECT_EQ(sink.out.size(), 2u);
    unit.flush();  // teardown: the last picture is not held back
    EXPECT_EQ(sink.data(), (std::vector<Bytes>{join({startCode(kIdrFirst), startCode(kIdrSecond)}),
                                               startCode(kPSecond), startCode(kPSecond)}));
    // With the default the picture waits for the next one, and flush leaves it alone.
    RtpH264UnpackUnitSM plain;
    MetaSink plainSink;
    plain.addOutputUnit(&plainSink, true);
    Feeder(&plain).payload(kIdrFirst, true);
    plain.flush();
    EXPECT_EQ(plainSink.out.size(), 0u);
}

TEST_F(H264Options, EveryBufferCarriesTimestampKeyframeCompletenessAndLoss) {
    start(RtspClientOptions());
    feed.payload(kSps, false, 0xFFFFFC00u);
    feed.payload(kIdrFirst, true, 0xFFFFFC00u);
    feed.payload(kPFirst, true, 0x00000A00u);  // the 32-bit timestamp wraps
    feed.skip(2);
    feed.payload(kPSecond, true, 0x00001E00u);  // two packets lost: this picture lost its start
    feed.payload(kPFirst, true, 0x00002800u);
    // No packet missing, but the second slice's FU-A has no start: the picture is damaged.
    feed.payload(kPFirst, false, 0x00003200u);
    feed.payload({0x7C, 0x01, 0x9A, 0x11}, false, 0x00003200u);
    feed.payload({0x7C, 0x41, 0x12}, true, 0x00003200u);
    feed.payload(kAud);
    ASSERT_EQ(sink.out.size(), 6u);
    const uint64_t wrap = 1ull << 32;
    const uint64_t stamps[] = {0xFFFFFC00u,   0xFFFFFC00u,   wrap + 0xA00,
                               wrap + 0x1E00, wrap + 0x2800, wrap + 0x3200};
    const uint32_t all = FrameMeta::kValid | FrameMeta::kComplete;
    const uint32_t au = FrameMeta::kValid | FrameMeta::kAccessUnitEnd;
    const uint32_t flags[] = {
        all | FrameMeta::kParameterSet,  all | FrameMeta::kAccessUnitEnd | FrameMeta::kKeyframe,
        all | FrameMeta::kAccessUnitEnd, au,
        all | FrameMeta::kAccessUnitEnd, au};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(sink.out[i].meta.rtpTimestamp, stamps[i]) << i;
        EXPECT_EQ(flagsOf(i), flags[i]) << i;
        EXPECT_EQ(sink.out[i].meta.lostBefore, i == 3 ? 2u : 0u) << i;
    }
    EXPECT_EQ(unit.framesDelivered(), 5u);
}

TEST_F(H264Options, SdpParameterSetsGoFirstUnlessTheCameraSendsItsOwn) {
    RtspClientOptions options;
    options.sdpParameterSets = true;
    start(options);
    const Bytes sdpSps = {0x67, 0x64, 0x00, 0x28};
    unit.newSession({sdpSps, kPps, {0x65}});  // a stray slice in the SDP is not a parameter set
    EXPECT_EQ(bytesOf(unit.getSps()), sdpSps);
    feed.payload(kIdrFirst, true);
    feed.payload(kPFirst, true);
    ASSERT_EQ(sink.out.size(), 3u);
    EXPECT_EQ(sink.data()[0], startCode(sdpSps));
    EXPECT_EQ(sink.data()[1], startCode(kPps));
    EXPECT_EQ(flagsOf(0) & FrameMeta::kFromSdp, FrameMeta::kFromSdp);
    EXPECT_EQ(flagsOf(2) & FrameMeta::kFromSdp, 0u);
    // Next session the camera sends its own first: only those are delivered.
    sink.out.clear();
    unit.newSession({sdpSps, kPps});
    feed.payload(kSps);
    feed.payload(kIdrFirst, true);
    feed.payload(kPFirst, true);
    EXPECT_EQ(sink.data(), (std::vector<Bytes>{startCode(kSps), startCode(kIdrFirst)}));
    // Off: the SDP's sets are neither delivered nor stored.
    RtpH264UnpackUnitSM plain;
    plain.newSession({sdpSps});
    EXPECT_EQ(plain.getExtra(), nullptr);
}

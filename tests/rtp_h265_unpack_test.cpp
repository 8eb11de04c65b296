// H.265 depacketizer: single NAL unit packets of the accepted types, fragmentation units, what is
// rejected and what a loss costs.
#include <gtest/gtest.h>

#include <set>

#include "tests/unpack_test_support.h"
#include "units/unit_rtp_h265_unpack.h"

using namespace unpack_test;

namespace {

// Two-byte NAL unit header for `type`, layer id 0, TID 1.
Bytes nal(int type, Bytes body) {
    body.insert(body.begin(), {static_cast<uint8_t>(type << 1), 0x01});
    return body;
}

// FU packet payload: payload header type 49, FU header with S/E and `type`, then the fragment.
Bytes fu(bool start, bool end, int type, const Bytes& fragment) {
    Bytes p = fragment;
    p.insert(p.begin(), {49 << 1, 0x01, static_cast<uint8_t>((start ? 0x80 : 0) | (end ? 0x40 : 0) | type)});
    return p;
}

class H265Unpack : public ::testing::Test {
protected:
    H265Unpack() { unit.addOutputUnit(&sink.unit(), true); }

    testkit::CollectingSink sink;
    RtpH265UnpackUnitSM unit;
    Feeder feed{&unit};
};

}  // namespace

TEST_F(H265Unpack, EachNalUnitGoesOutAloneParameterSetsWithoutPadding) {
    feed.payload(nal(32, {0x0C, 0x01, 0x00, 0x00}));  // VPS with padding
    feed.payload(nal(33, {0x01, 0x60}));
    feed.payload(nal(34, {0xC0, 0x72, 0x00}));
    feed.payload(nal(39, {0x05, 0x80}));
    feed.payload(nal(19, {0xAF, 0x00, 0x00}));  // slices keep their trailing bytes
    feed.payload(nal(1, {0x01, 0x00}), true);
    EXPECT_EQ(deliveredData(sink),
              (std::vector<Bytes>{startCode(nal(32, {0x0C, 0x01})), startCode(nal(33, {0x01, 0x60})),
                                  startCode(nal(34, {0xC0, 0x72})), startCode(nal(39, {0x05, 0x80})),
                                  startCode(nal(19, {0xAF, 0x00, 0x00})), startCode(nal(1, {0x01, 0x00}))}));
    EXPECT_EQ(unit.mDebugCntNal[1] + unit.mDebugCntNal[3], 2);  // PPS, IDR
}

TEST_F(H265Unpack, OnlyTheTypesCamerasSendAreAcceptedUnlessAllAreAsked) {
    const std::set<int> cameraTypes = {1, 19, 32, 33, 34, 39};
    std::set<int> standardTypes = {16, 17, 18, 19, 20, 21};
    for (int t = 0; t <= 9; ++t) standardTypes.insert(t);
    for (int t = 32; t <= 40; ++t) standardTypes.insert(t);
    for (bool all : {false, true}) {
        RtspClientOptions options;
        options.allH265NalUnitTypes = all;
        unit.setOptions(options);
        const std::set<int>& accepted = all ? standardTypes : cameraTypes;
        for (int type = 0; type < 64; ++type) {
            if (type == 49) continue;  // fragmentation unit, below
            sink.clear();
            LogCapture log;
            feed.payload(nal(type, {0xAA}));
            log.stop();
            int ok = accepted.count(type);
            EXPECT_EQ(sink.count(), unsigned(ok)) << type << " all " << all;
            EXPECT_EQ(log.errCount("H265 RTP cannot recognize type " + std::to_string(type) + "\n"), 1 - ok)
                << type << " all " << all;
        }
    }
}

TEST_F(H265Unpack, FragmentsAreJoinedKeepingTheirLayerAndTemporalId) {
    feed.payload(fu(true, false, 19, {1, 2, 3}));
    feed.payload(fu(false, false, 19, {4, 5}));
    feed.payload(fu(false, true, 19, {6}), true);
    // A TRAIL_R of temporal layer 2 (TID 3) and layer id 33 (top bit in the first byte).
    Bytes start = fu(true, false, 1, {7}), end = fu(false, true, 1, {8});
    for (Bytes* p : {&start, &end}) {
        (*p)[0] |= 0x01;
        (*p)[1] = 0x0B;
    }
    feed.payload(start);
    feed.payload(end, true);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{{0, 0, 0, 1, 0x26, 0x01, 1, 2, 3, 4, 5, 6},
                                                       {0, 0, 0, 1, 0x03, 0x0B, 7, 8}}));
}

TEST_F(H265Unpack, AggregationPacketUnitsTakeTheSingleNalUnitPathAndLyingSizesDropTheRest) {
    RtspClientOptions options;
    options.unpackAggregates = true;
    unit.setOptions(options);
    MetaSink meta;
    unit.addOutputUnit(&meta, true);
    const Bytes vps = nal(32, {0x0C}), sps = nal(33, {0x01}), idr = nal(19, {0xAF});
    Bytes good = {48 << 1, 0x01};
    for (const Bytes& n : {vps, sps, idr}) {
        good.insert(good.end(), {0x00, static_cast<uint8_t>(n.size())});
        good.insert(good.end(), n.begin(), n.end());
    }
    feed.payload(good, true);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(vps), startCode(sps), startCode(idr)}));
    // The marker belongs to the last unit only.
    ASSERT_EQ(meta.out.size(), 3u);
    EXPECT_EQ(meta.out[1].meta.flags & FrameMeta::kAccessUnitEnd, 0u);
    EXPECT_EQ(meta.out[2].meta.flags & (FrameMeta::kAccessUnitEnd | FrameMeta::kKeyframe),
              FrameMeta::kAccessUnitEnd | FrameMeta::kKeyframe);
    // A size past the end, a size under a NAL unit header, a lone byte where a size belongs.
    Bytes past = good, small = good, lone = good;
    past[2 + 2 + vps.size() + 1] = 0x40;
    small[2 + 2 + vps.size() + 1] = 0x01;
    lone.push_back(0x00);
    sink.clear();
    LogCapture log;
    for (const Bytes& p : {past, small, lone}) feed.payload(p);
    log.stop();
    EXPECT_EQ(log.errCount("AP unit size"), 3);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(vps), startCode(vps), startCode(vps),
                                                       startCode(sps), startCode(idr)}));
}

// What was lost costs its NAL unit, and the NAL unit handed on after it goes without kComplete,
// whether packets are missing or not (a start fragment the camera never sent).
TEST(H265UnpackLoss, LostOrMisplacedFragmentsCostOnlyTheirNalUnitAndMarkWhatFollowsIncomplete) {
    RtpH265UnpackUnitSM unit;
    MetaSink sink;
    unit.addOutputUnit(&sink, true);
    Feeder feed(&unit, 40000);  // a session's numbers start anywhere
    LogCapture log;
    const Bytes whole = nal(1, {0x80});
    feed.payload(whole, true, 0);  // a session's first packet follows no loss
    // Start lost: the end fragment finds no start.
    feed.payload(fu(false, false, 1, {1}), false, 3000);
    feed.payload(fu(false, true, 1, {2}), false, 3000);
    feed.payload(whole, true, 3000);
    // A new start while a unit is incomplete replaces it silently.
    feed.payload(fu(true, false, 1, {3}), false, 6000);
    feed.payload(fu(true, false, 1, {4}), false, 6000);
    feed.payload(fu(false, true, 1, {5}), true, 6000);
    feed.payload(whole, true, 9000);
    // A packet lost between whole units.
    feed.skip();
    feed.payload(whole, true, 12000);
    // A gap inside a unit abandons it; its end then finds no start.
    feed.payload(fu(true, false, 19, {6}), false, 15000);
    feed.skip();
    feed.payload(fu(false, true, 19, {7}), true, 15000);
    feed.payload(whole, true, 18000);
    // A whole NAL unit ends a waiting fragment silently.
    feed.payload(fu(true, false, 19, {8}), false, 21000);
    feed.payload(nal(1, {9}), false, 21000);
    feed.payload(fu(false, true, 19, {10}), true, 21000);
    feed.payload(whole, true, 24000);
    feed.payload(whole, true, 27000);
    // A new session owes nothing to the damage of the one before.
    feed.payload(fu(false, false, 1, {11}), false, 30000);
    unit.newSession({});
    feed.setSeq(7);
    feed.payload(whole, true, 500);
    log.stop();
    EXPECT_EQ(log.errCount("fua not start! maybe rtp packet lost!"), 3);
    EXPECT_EQ(log.errCount("rtp lost one packet"), 4);  // each session's first packet has its line too
    const Bytes w = startCode(whole);
    EXPECT_EQ(sink.data(), (std::vector<Bytes>{w, w, startCode(nal(1, {4, 5})), w, w, w,
                                               startCode(nal(1, {9})), w, w, w}));
    std::vector<bool> complete;
    for (const MetaSink::Delivery& d : sink.out)
        complete.push_back((d.meta.flags & FrameMeta::kComplete) != 0);
    EXPECT_EQ(complete,
              (std::vector<bool>{true, false, false, true, false, false, false, false, true, true}));
}

TEST_F(H265Unpack, RebuiltUnitsOfRejectedTypesAreRejected) {
    LogCapture log;
    feed.payload(fu(true, false, 21, {1}));
    feed.payload(fu(false, true, 21, {2}));
    auto own = testkit::makePacketBuffer(testkit::makeRtpPacket(0, 0, false, fu(true, true, 1, {1})));
    unit.onTransmitIn(own, own->length, -1, 0);  // a fragment on the unit's own re-feeding path
    log.stop();
    EXPECT_EQ(log.errCount("please check your code !"), 1);
    EXPECT_EQ(log.errCount("H265 RTP cannot recognize type 21"), 1);
    EXPECT_EQ(sink.count(), 0u);
}

TEST_F(H265Unpack, ShortPacketsAreDroppedWithoutReadingPastThem) {
    LogCapture log;
    feed.packet({0x80, 0x60});
    feed.payload({});               // header only
    feed.payload({49 << 1, 0x01});  // FU without its FU header
    EXPECT_EQ(unit.onTransmitIn(nullptr, 9, 0, 0), 9u);
    // The smallest FU carries no fragment bytes at all, and is fine.
    feed.payload(fu(true, false, 1, {}));
    feed.payload(fu(false, false, 1, {}));
    feed.payload(fu(false, true, 1, {0x42}));
    log.stop();
    EXPECT_EQ(log.errCount("is too short"), 3);
    EXPECT_EQ(log.errCount("RtpH265Unpack buf is null"), 1);
    EXPECT_EQ(deliveredData(sink), (std::vector<Bytes>{startCode(nal(1, {0x42}))}));
}

TEST(H265UnpackCamera, RealCameraPacketSequences) {
    struct Case {
        const char* file;
        std::vector<Bytes> expected;
        const char* error;  // expected once, or nullptr
    };
    const Case cases[] = {
        // S and E in one fragment: a whole NAL unit (TRAIL_R "small nal").
        {"retina_h265_single_fragment_fu.hex",
         {startCode(nal(1, {'s', 'm', 'a', 'l', 'l', ' ', 'n', 'a', 'l'}))},
         nullptr},
        // An empty middle fragment; the unit is IDR_N_LP, which this depacketizer does not take.
        {"retina_h265_empty_fu_fragment.hex", {}, "H265 RTP cannot recognize type 20"},
        // VPS, SPS and PPS fragmented together arrive as one VPS buffer.
        {"gortsplib_h265_amatek_ar-n3222f_multi_nalu_in_fu.hex", {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        testkit::CollectingSink sink;
        RtpH265UnpackUnitSM unit;
        unit.addOutputUnit(&sink.unit(), true);
        Feeder feed(&unit);
        LogCapture log;
        for (const Bytes& p : cameraPackets(c.file)) feed.packet(p);
        log.stop();
        EXPECT_EQ(log.errCount(c.error ? c.error : "E/"), c.error ? 1 : 0);
        if (std::string(c.file).rfind("gortsplib", 0) == 0) {
            auto nals = testkit::splitAnnexB(sink.annexB());
            ASSERT_EQ(nals.size(), 3u);  // the camera's start codes inside the unit split it
            EXPECT_EQ(sink.count(), 1u);
            EXPECT_EQ(testkit::nalUnitType(testkit::VideoCodec::H265, nals[0]), 32);
            EXPECT_EQ(nals[2], (Bytes{0x44, 0x01, 0xc0, 0x72, 0xf0, 0x1b, 0x24}));
        } else {
            EXPECT_EQ(deliveredData(sink), c.expected);
        }
    }
}

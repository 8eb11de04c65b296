// Codec-detecting depacketizer: the two-byte vote, routing to the inner units and the stream-info
// forwarding. Which inner unit's input each codec arrives on is checked by the round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

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
    // H.264: SPS, PPS, IDR slice, non-IDR slice, FU-A start of an IDR slice. Both: FU-A middle
    // fragments of a type-1 slice, H.265 SPS, PPS, SEI, IDR_W_RADL, TRAIL_R, FU. H.265: VPS,
    // aggregation packet. None: forbidden bit, H.264 type 0, H.265 TID 2, FU-B.
    const std::pair<Outcome, std::vector<Bytes>> cases[] = {
        {Outcome::H264, {{0x67, 0x42}, {0x68, 0xCE}, {0x65, 0x88}, {0x41, 0x9A}, {0x7C, 0x85}}},
        {Outcome::Both, {{0x5C, 0x01}, {0x7C, 0x01}, {0x42, 0x01}, {0x44, 0x01}}},
        {Outcome::Both, {{0x4E, 0x01}, {0x26, 0x01}, {0x02, 0x01}, {0x62, 0x01}}},
        {Outcome::H265, {{0x40, 0x01}, {0x60, 0x01}}},
        {Outcome::None, {{0x80, 0x01}, {0xFC, 0x85}, {0x60, 0x02}, {0x7D, 0x85}}}};
    for (const auto& [outcome, payloads] : cases)
        for (const Bytes& payload : payloads) {
            SCOPED_TRACE(testing::Message() << std::hex << int(payload[0]) << " " << int(payload[1]));
            RtpVideoUnpackExUnitSM unit;
            Feeder feed(&unit);
            LogCapture log;
            EXPECT_EQ(feed.payload(payload), 0u);
            log.stop();
            EXPECT_EQ(unit.mIsH264, outcome == Outcome::H264);
            EXPECT_EQ(unit.mIsH265, outcome == Outcome::H265);
            EXPECT_EQ(log.errCount("it looks both like 264 and 265 !!!"), outcome == Outcome::Both ? 1 : 0);
            EXPECT_EQ(log.errCount("Can not determine rtp video type !!!"), outcome == Outcome::None ? 1 : 0);
        }
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
    const uint8_t* p = static_cast<uint8_t*>(sps->getVaddr());
    EXPECT_EQ(Bytes(p, p + sps->length), (Bytes{0x67, 0x42, 0x00, 0x1F}));
}

TEST_F(VideoUnpack, PacketsTooShortToVoteOnAreDropped) {
    LogCapture log;
    feed.packet({0x80});
    feed.payload({});
    feed.payload({0x67});
    log.stop();
    EXPECT_EQ(log.errCount("RtpVideoUnpack packet of"), 3);
    EXPECT_FALSE(unit.mIsH264 || unit.mIsH265);
    EXPECT_EQ(unit.getSps(), nullptr);
    // Once H.264 is chosen, the H.264 unit judges the length itself.
    feed.payload({0x67, 0x42});
    LogCapture after;
    feed.payload({0x09});
    feed.payload({});
    after.stop();
    EXPECT_EQ(after.errCount("RtpH264Unpack packet of 12 bytes is too short"), 1);
    EXPECT_EQ(sink.count(), 1u);
}

// A camera (or anyone who can reach the port) sending 10,000 broken packets of each codec gets a
// few lines a second out of the depacketizers (the held-back count follows in a later second).
TEST(VideoUnpackLog, TenThousandBadPacketsGiveAFewLinesASecond) {
    for (bool h265 : {false, true}) {
        testkit::CollectingSink sink;
        RtpVideoUnpackExUnitSM unit;
        unit.addOutputUnit(&sink.unit(), true);
        Feeder feed(&unit);
        feed.payload(h265 ? Bytes{0x40, 0x01, 0x0c} : Bytes{0x67, 0x42, 0x00});  // VPS / SPS: decides
        LogCapture log(false);
        for (int i = 0; i < 10000; ++i) {
            feed.skip();  // every packet after a gap: lost
            const Bytes& fuEndWithoutStart = h265 ? Bytes{0x62, 0x01, 0x53, 0xAA} : Bytes{0x7C, 0x45, 0xAA};
            feed.payload(i % 2 ? fuEndWithoutStart : Bytes{0x09}, false, i % 3 ? 9000 : 0);
        }
        log.stop();
        const std::string all = log.err + log.out;
        const size_t lines = static_cast<size_t>(std::count(all.begin(), all.end(), '\n'));
        EXPECT_LT(lines, 40u) << all.substr(0, 2000);
        EXPECT_GT(log.errCount("rtp lost one packet"), 0);
    }
}

TEST_F(VideoUnpack, EachSessionDecidesItsCodecAgainFromTheSdpOrTheVote) {
    feed.payload({0x40, 0x01, 0x0C});  // stray H.265 packets before the session pin nothing
    ASSERT_TRUE(unit.mIsH265);
    RtspSessionInfo session;
    session.encoding = "H264";
    unit.newSession(session);
    EXPECT_FALSE(unit.mIsH264 || unit.mIsH265);  // without codecFromSdp the vote decides
    feed.payload({0x67, 0x42, 0x00, 0x1F});
    EXPECT_TRUE(unit.mIsH264);
    RtspClientOptions options;
    options.codecFromSdp = true;
    unit.setOptions(options);
    const std::pair<const char*, int> encodings[] = {{"hevc", 2}, {"h265", 2}, {"H264", 1}, {"MP4V-ES", 0}};
    int announced = 0;  // outlives the loop: the sessions after it announce their codec too
    for (const auto& [encoding, expected] : encodings) {
        announced = 0;
        unit.mVideoTypeCallback = [&](int codec) { announced = codec; };
        unit.mVideoTypeDoneCallback = [] {};
        session.encoding = encoding;
        unit.newSession(session);
        EXPECT_EQ(announced, expected) << encoding;
        EXPECT_EQ(unit.mIsH264, expected == 1) << encoding;
        EXPECT_EQ(unit.mIsH265, expected == 2) << encoding;
    }
    // Known from the SDP, an H.265 SPS (which votes for both) is delivered at once.
    session.encoding = "H265";
    unit.newSession(session);
    sink.clear();
    feed.payload({0x42, 0x01, 0x01});
    EXPECT_EQ(sink.count(), 1u);
    EXPECT_TRUE(unit.checkInvariants());
}

namespace {
// Starts a session whose SDP names the codec, so that no packet is spent on the vote.
void chooseCodecFromSdp(RtpVideoUnpackExUnitSM& unit, bool h264) {
    RtspClientOptions options;
    options.codecFromSdp = true;
    unit.setOptions(options);
    RtspSessionInfo session;
    session.encoding = h264 ? "H264" : "H265";
    unit.newSession(session);
}
}  // namespace

TEST(VideoUnpackMemory, ATorrentOfTinyFragmentsHoldsBoundedMemoryAndDisableFreesIt) {
    // One start fragment, then 60,000 middles of 14 payload bytes each in a 1600-byte receive block.
    for (bool h264 : {true, false}) {
        SCOPED_TRACE(h264 ? "H.264 FU-A" : "H.265 FU");
        RtpVideoUnpackExUnitSM unit;
        testkit::CollectingSink sink;
        unit.addOutputUnit(&sink.unit(), true);
        chooseCodecFromSdp(unit, h264);
        const Bytes start = h264 ? Bytes{0x7C, 0x85, 0x88} : Bytes{49 << 1, 0x01, 0x93, 0xAF};
        Bytes middle = h264 ? Bytes{0x7C, 0x05} : Bytes{49 << 1, 0x01, 0x13};
        middle.resize(14, 0x11);
        auto held = [&] { return h264 ? unit.mH264Unit.heldBytes() : unit.mH265Unit.heldBytes(); };
        auto send = [&](uint16_t seq, const Bytes& payload) {
            Bytes packet = testkit::makeRtpPacket(seq, 0, false, payload);
            auto buffer = QelBuffer::createMallocBuffer(1600, nullptr);
            memcpy(buffer->getVaddr(), packet.data(), packet.size());
            buffer->length = packet.size();
            unit.onTransmitIn(buffer, buffer->length, 0, 0);
        };
        // Fragments without their start hold nothing.
        for (uint16_t seq = 0; seq < 100; ++seq) send(seq, middle);
        EXPECT_EQ(held(), 0u);
        LogCapture log;
        send(100, start);
        uint64_t most = 0;
        for (uint32_t i = 0; i < 60000; ++i) {
            send(static_cast<uint16_t>(101 + i), middle);
            most = std::max<uint64_t>(most, held());
        }
        log.stop();
        EXPECT_GT(most, 1000u * 1600);
        EXPECT_LE(most, RtpH26xUnpackBase::kMaxHeldBytes);
        EXPECT_GE(log.errCount("pending data exceeds its bound"), 1);
        EXPECT_TRUE(unit.checkInvariants());
        EXPECT_GE(unit.framesDroppedIncomplete(), 1u);
        unit.disable();
        EXPECT_EQ(held(), 0u);
    }
}

namespace {
// A unit after the depacketizer that keeps every buffer it is given, and a clone of it, beyond
// the call, as an application's own frame queue may.
class KeepingSink : public Unit<SlaveInput, EndpointOutput> {
public:
    KeepingSink() : Unit<SlaveInput, EndpointOutput>("KEEPING_SINK", UNIT_DATA_ANY, 10, UNIT_DATA_ANY, 1) {
        enable();
    }
    ~KeepingSink() override { stopAsyncTransmit(); }
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length, int, int) override {
        clones.push_back(QelBuffer::cloneQelBuffer(buffer.get()));
        kept.push_back(std::move(buffer));
        return length;
    }
    std::vector<std::shared_ptr<QelBuffer>> kept, clones;
};

Bytes bytesOf(const std::shared_ptr<QelBuffer>& buffer) {
    const auto* p = static_cast<const uint8_t*>(buffer->getVaddr());
    return Bytes(p, p + buffer->length);
}
}  // namespace

TEST(VideoUnpackMemory, PicturesKeptAndClonedDownstreamStayIntactAndTheirBlocksGoBackOnce) {
    for (bool h264 : {true, false}) {
        SCOPED_TRACE(h264 ? "H.264 FU-A" : "H.265 FU");
        RtpVideoUnpackExUnitSM unit;
        testkit::CollectingSink sink;
        KeepingSink keeper;
        unit.addOutputUnit(&sink.unit(), true);
        unit.addOutputUnit(&keeper, true);
        chooseCodecFromSdp(unit, h264);
        Feeder feed{&unit};
        auto send = [&](uint32_t timestamp, const Bytes& payload) {
            feed.payload(payload, false, timestamp);
        };
        std::vector<Bytes> expected;
        for (uint8_t picture = 0; picture < 4; ++picture) {
            Bytes head(1500, static_cast<uint8_t>(0x10 + picture)),
                tail(900, static_cast<uint8_t>(0x50 + picture));
            head[0] = 0x88;  // first_mb_in_slice 0 / first_slice_segment_in_pic_flag
            const Bytes start = h264 ? Bytes{0x7C, 0x85} : Bytes{49 << 1, 0x01, 0x93};
            const Bytes end = h264 ? Bytes{0x7C, 0x45} : Bytes{49 << 1, 0x01, 0x53};
            send(3600u * picture, join({start, head}));
            send(3600u * picture, join({end, tail}));
            expected.push_back(join({{0, 0, 0, 1}, h264 ? Bytes{0x65} : Bytes{0x26, 0x01}, head, tail}));
        }
        if (h264) send(4 * 3600, {0x09, 0xF0});  // a delimiter ends the last picture
        ASSERT_EQ(sink.count(), expected.size());
        ASSERT_EQ(keeper.kept.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(sink.deliveries()[i].data, expected[i]);
            EXPECT_EQ(bytesOf(keeper.kept[i]), expected[i]);
            EXPECT_EQ(bytesOf(keeper.clones[i]), expected[i]);
            EXPECT_EQ(FrameMeta::load(keeper.kept[i]->info).rtpTimestamp, 3600u * i);
        }
        // Buffer before clone, and clone before buffer: either way each block goes back once, so
        // blocks handed out afresh are all different.
        for (size_t i = 0; i < expected.size(); ++i) (i % 2 ? keeper.kept : keeper.clones)[i].reset();
        keeper.kept.clear();
        keeper.clones.clear();
        std::vector<std::shared_ptr<QelBuffer>> fresh;
        std::set<void*> blocks;
        for (int i = 0; i < 16; ++i) {
            fresh.push_back(QelBuffer::createPooledBuffer(2400));
            EXPECT_TRUE(blocks.insert(fresh.back()->getVaddr()).second);
        }
    }
}

// Real encoder output through the whole depacketizing path: clip -> RTP packetizer -> codec-
// detecting unit -> next unit. The delivered Annex-B must carry the clip's NAL units byte for byte
// (and so decode to its pictures); a lost packet must cost only the picture data it belonged to.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "tests/unpack_test_support.h"
#include "units/unit_rtp_video_unpack_ex.h"

using namespace unpack_test;
using testkit::VideoCodec;

namespace {

struct Clip {
    const char* file;
    VideoCodec codec;
};

const Clip kSingleSlice = {"h264_single_slice.264", VideoCodec::H264};
const Clip kMultiSlice = {"h264_multi_slice.264", VideoCodec::H264};
const Clip kH265 = {"h265.265", VideoCodec::H265};
const Clip kOpenGop = {"h265_open_gop.265", VideoCodec::H265};

// Every run crosses the sequence number wrap to 0, and the timestamp wrap after 10 pictures.
constexpr uint32_t kFirstTimestamp = 0xFFFFFFFFu - 10 * 3600 + 1;

std::vector<Bytes> packetize(const Clip& clip, size_t mtu, bool aggregate = false) {
    testkit::RtpPacketizerConfig config;
    config.codec = clip.codec;
    config.mtu = mtu;
    config.firstSeq = 65500;
    config.firstTimestamp = kFirstTimestamp;
    config.aggregate = aggregate;
    return testkit::RtpPacketizer(config).packetizeStream(readClip(clip.file));
}

// Which source NAL units each packet carries: from `first`, `count` of them (an aggregation
// packet several, every fragment of one unit that unit).
struct Carried {
    size_t first;
    size_t count;
};

std::vector<Carried> carriedNals(VideoCodec codec, const std::vector<Bytes>& packets) {
    std::vector<Carried> carried;
    size_t next = 0;
    const bool h264 = codec == VideoCodec::H264;
    for (const Bytes& p : packets) {
        int type = h264 ? (p[12] & 0x1F) : ((p[12] >> 1) & 0x3F);
        size_t count = 1;
        if (type == (h264 ? 24 : 48)) {
            count = 0;
            for (size_t i = 12 + (h264 ? 1 : 2); i + 2 <= p.size(); i += 2 + (p[i] << 8 | p[i + 1])) ++count;
        }
        carried.push_back(Carried{next, count});
        bool fragment = type == (h264 ? 28 : 49);
        if (!fragment || (p[h264 ? 13 : 14] & 0x40) != 0) next += count;
    }
    return carried;
}

// Runs packets through a codec-detecting unit; returns the delivered NAL units.
std::vector<Bytes> depacketize(const std::vector<Bytes>& packets, testkit::CollectingSink* sink,
                               const RtspClientOptions& options = RtspClientOptions()) {
    RtpVideoUnpackExUnitSM unit;
    unit.setOptions(options);
    unit.addOutputUnit(&sink->unit(), true);
    Feeder feed(&unit);
    for (const Bytes& p : packets) {
        feed.packet(p);
        EXPECT_TRUE(unit.checkInvariants());
    }
    unit.flush();
    return testkit::splitAnnexB(sink->annexB());
}

// The source's NAL units without the last picture's slices, which stay pending in the H.264
// depacketizer until a further picture would arrive.
std::vector<Bytes> withoutPendingPicture(VideoCodec codec, std::vector<Bytes> nals) {
    if (codec == VideoCodec::H264) {
        while (!nals.empty() && testkit::isVcl(codec, nals.back())) {
            bool first = nals.back()[1] & 0x80;
            nals.pop_back();
            if (first) break;
        }
    }
    return nals;
}

}  // namespace

TEST(RoundTripLoss, ALostPacketCostsOnlyThePictureDataItCarried) {
    using Packets = std::vector<Bytes>;
    auto isSlice = [](const Packets& p, size_t i, bool first) {
        return (p[i][12] & 0x1F) == 1 && ((p[i][13] & 0x80) != 0) == first;
    };
    struct Case {
        Clip clip;
        size_t mtu;
        size_t lostSlicesBefore;  // earlier slices of the same picture that the gap also costs
        std::function<bool(const Packets&, const std::vector<Carried>&, size_t)> isVictim;
    };
    const Case cases[] = {
        // The middle fragment of a non-IDR slice cut into at least three: only that slice goes.
        {kSingleSlice, 500, 0,
         [](const Packets& p, const std::vector<Carried>& carried, size_t i) {
             return (p[i - 1][12] & 0x1F) == 28 && (p[i - 1][13] & 0x9F) == 0x81 && (p[i][13] & 0xC0) == 0 &&
                    carried[i + 1].first == carried[i - 1].first;
         }},
        // One slice per picture: the lost packet is a whole picture; the picture before it was
        // complete (marker) and is kept.
        {kSingleSlice, 1400, 0,
         [&](const Packets& p, const std::vector<Carried>&, size_t i) { return isSlice(p, i, true); }},
        // Four slices: the picture's first slice goes too, its last two are still delivered
        // (announced by "first slice is not 0").
        {kMultiSlice, 1400, 1,
         [&](const Packets& p, const std::vector<Carried>&, size_t i) {
             return isSlice(p, i, false) && isSlice(p, i - 1, true);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.clip.file) + " mtu " + std::to_string(c.mtu));
        Packets packets = packetize(c.clip, c.mtu);
        std::vector<Carried> carried = carriedNals(VideoCodec::H264, packets);
        size_t victim = 0;
        for (size_t i = packets.size() / 2; i + 1 < packets.size() && victim == 0; ++i)
            if (c.isVictim(packets, carried, i)) victim = i;
        ASSERT_NE(victim, 0u);
        std::vector<Bytes> expected = testkit::splitAnnexB(readClip(c.clip.file));
        expected.erase(
            expected.begin() + static_cast<std::ptrdiff_t>(carried[victim].first - c.lostSlicesBefore),
            expected.begin() + static_cast<std::ptrdiff_t>(carried[victim].first + 1));
        packets.erase(packets.begin() + static_cast<std::ptrdiff_t>(victim));
        testkit::CollectingSink sink;
        LogCapture log;
        std::vector<Bytes> delivered = depacketize(packets, &sink);
        log.stop();
        EXPECT_EQ(log.errCount("rtp lost one packet"), 2);  // the first packet counts too (65535 -> 65500)
        EXPECT_EQ(log.errCount("first slice is not 0"), c.lostSlicesBefore == 0 ? 0 : 1);
        EXPECT_TRUE(sameNals(delivered, withoutPendingPicture(VideoCodec::H264, expected)));
    }
}

TEST(RoundTripAggregation, AggregatedUnitsArriveWithTheOptionAndOnlyTheyAreLostWithout) {
    for (const Clip& clip : {kSingleSlice, kH265}) {
        SCOPED_TRACE(clip.file);
        std::vector<Bytes> packets = packetize(clip, 1400, true);
        RtspClientOptions options;
        options.unpackAggregates = true;
        testkit::CollectingSink unpacked;
        EXPECT_TRUE(sameNals(depacketize(packets, &unpacked, options),
                             withoutPendingPicture(clip.codec, testkit::splitAnnexB(readClip(clip.file)))));
        testkit::CollectingSink sink;
        std::vector<Bytes> delivered = depacketize(packets, &sink);
        // The small parameter sets (and SEI) travel aggregated in front of each IDR picture and
        // are lost; every other unit arrives.
        std::vector<Bytes> source = testkit::splitAnnexB(readClip(clip.file));
        std::vector<bool> aggregated(source.size(), false);
        int aggregates = 0;
        for (const Carried& c : carriedNals(clip.codec, packets)) {
            if (c.count < 2) continue;
            ++aggregates;
            for (size_t i = c.first; i < c.first + c.count; ++i) aggregated[i] = true;
        }
        std::vector<Bytes> expected;
        for (size_t i = 0; i < source.size(); ++i)
            if (!aggregated[i]) expected.push_back(source[i]);
        EXPECT_EQ(aggregates, 3);
        EXPECT_TRUE(sameNals(delivered, withoutPendingPicture(clip.codec, expected)));
    }
}

TEST(RoundTripDecode, ClipsNalUnitsArriveWholeWithTimestampsAndKeyframeFlags) {
    for (const Clip& clip : {kSingleSlice, kMultiSlice, kH265, kOpenGop}) {
        // The open-GOP clip needs every H.265 type; the defaults take only what cameras send.
        for (bool fleet : {false, true}) {
            if (!fleet && std::string(clip.file) == kOpenGop.file) continue;
            SCOPED_TRACE(std::string(clip.file) + (fleet ? " fleet options" : " defaults"));
            const auto pictures =
                testkit::groupAccessUnits(clip.codec, testkit::splitAnnexB(readClip(clip.file)));
            RtpVideoUnpackExUnitSM unit;
            unit.setOptions(fleet ? RtspClientOptions::mixedFleet() : RtspClientOptions());
            MetaSink sink;
            unit.addOutputUnit(&sink, true);
            Feeder feed(&unit);
            // Small packets cut most NAL units into many fragments.
            for (const Bytes& p : packetize(clip, fleet ? 1400 : 300, fleet)) feed.packet(p);
            unit.flush();  // at teardown: with marker completion nothing is left behind
            // Each picture's last buffer carries the end mark and the packetizer's timestamp,
            // extended across the wrap; keyframes are the source's IDR/IRAP pictures. Without
            // marker completion the last H.264 picture is still pending.
            const size_t pending = !fleet && clip.codec == VideoCodec::H264 ? 1 : 0;
            Bytes annexB;
            std::vector<uint64_t> ends;
            size_t keyframes = 0, expectedKeyframes = 0;
            for (const auto& d : sink.out) {
                // One Annex-B piece each: an H.264 parameter set, SEI or picture, or an H.265 NAL unit.
                EXPECT_EQ(Bytes(d.data.begin(), d.data.begin() + std::min<size_t>(4, d.data.size())),
                          (Bytes{0, 0, 0, 1}));
                annexB.insert(annexB.end(), d.data.begin(), d.data.end());
                EXPECT_TRUE(d.meta.flags & FrameMeta::kValid);
                if (d.meta.flags & FrameMeta::kAccessUnitEnd) ends.push_back(d.meta.rtpTimestamp);
                keyframes += (d.meta.flags & FrameMeta::kKeyframe) != 0;
            }
            // The clip's NAL units, in order, none lost, repeated or changed.
            const std::vector<Bytes> source = testkit::splitAnnexB(readClip(clip.file));
            EXPECT_TRUE(sameNals(testkit::splitAnnexB(annexB),
                                 pending ? withoutPendingPicture(clip.codec, source) : source));
            ASSERT_EQ(ends.size(), pictures.size() - pending);
            for (size_t i = 0; i < ends.size(); ++i)
                EXPECT_EQ(ends[i], uint64_t{kFirstTimestamp} + 3600 * i) << i;
            for (const auto& picture : pictures) expectedKeyframes += isKeyframe(clip.codec, picture);
            EXPECT_EQ(keyframes, expectedKeyframes);
            EXPECT_EQ(unit.framesDelivered(), pictures.size() - pending);
        }
    }
}

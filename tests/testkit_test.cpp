// The test support itself: Annex-B splitting, the clips, the RTP packetizer that later tests rely
// on to play a camera, and the MD5 the test camera checks Digest answers with.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "testkit/annexb.h"
#include "testkit/md5.h"
#include "testkit/rtp_packetizer.h"

using testkit::Bytes;
using testkit::VideoCodec;

namespace {

// Rebuilds the NAL units carried by one packet (independently of the library's depacketizers):
// single NAL unit packets, fragments joined until E, aggregation packets split.
class Reassembler {
public:
    explicit Reassembler(VideoCodec codec) : mCodec(codec) {}

    void feed(const Bytes& packet) {
        ASSERT_GT(packet.size(), 14u);
        const uint8_t* p = packet.data() + 12;
        size_t n = packet.size() - 12;
        bool h264 = mCodec == VideoCodec::H264;
        int type = h264 ? (p[0] & 0x1F) : ((p[0] >> 1) & 0x3F);
        size_t hdr = h264 ? 1 : 2;
        if (type == (h264 ? 28 : 49)) {
            uint8_t fu = p[hdr];
            if (fu & 0x80) {
                mFragment.clear();
                if (h264) {
                    mFragment.push_back(static_cast<uint8_t>((p[0] & 0xE0) | (fu & 0x1F)));
                } else {
                    mFragment.push_back(static_cast<uint8_t>((p[0] & 0x81) | ((fu & 0x3F) << 1)));
                    mFragment.push_back(p[1]);
                }
            }
            mFragment.insert(mFragment.end(), p + hdr + 1, p + n);
            if (fu & 0x40) nals.push_back(mFragment);
        } else if (type == (h264 ? 24 : 48)) {
            ++aggregates;
            for (size_t i = hdr; i + 2 <= n;) {
                size_t size = static_cast<size_t>(p[i] << 8 | p[i + 1]);
                ASSERT_LE(i + 2 + size, n);
                nals.emplace_back(p + i + 2, p + i + 2 + size);
                i += 2 + size;
            }
        } else {
            nals.emplace_back(p, p + n);
        }
    }

    std::vector<Bytes> nals;
    int aggregates = 0;

private:
    VideoCodec mCodec;
    Bytes mFragment;
};

}  // namespace

TEST(AnnexB, SplitsOnThreeAndFourByteStartCodesAndDropsPadding) {
    const Bytes stream = {0xAA, 0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1F, 0x00, 0x00,  // SPS + padding
                          0x00, 0x00, 0x01, 0x68, 0xCE,                                      // 3-byte code
                          0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x00, 0x00};                   // trailing zeros
    std::vector<Bytes> nals = testkit::splitAnnexB(stream);
    EXPECT_EQ(nals, (std::vector<Bytes>{{0x67, 0x42, 0x00, 0x1F}, {0x68, 0xCE}, {0x65, 0x88}}));
    EXPECT_EQ(testkit::splitAnnexB(testkit::joinAnnexB(nals)), nals);
    EXPECT_TRUE(testkit::splitAnnexB(Bytes{0x00, 0x00}).empty());
}

TEST(AnnexB, H265ClipHasOnlyTheTypesCamerasSend) {
    std::map<int, int> count;
    for (const Bytes& nal : testkit::splitAnnexB(testkit::readClip("h265.265")))
        ++count[testkit::nalUnitType(VideoCodec::H265, nal)];
    EXPECT_EQ(count, (std::map<int, int>{{1, 27}, {19, 3}, {32, 3}, {33, 3}, {34, 3}, {39, 3}}));
}

TEST(RtpPacketizer, PacketsCarryTheClipExactlyWithCameraFraming) {
    for (VideoCodec codec : {VideoCodec::H264, VideoCodec::H265}) {
        for (bool aggregate : {false, true}) {
            SCOPED_TRACE(std::string(codec == VideoCodec::H264 ? "H.264" : "H.265") +
                         (aggregate ? " aggregated" : ""));
            Bytes clip = testkit::readClip(codec == VideoCodec::H264 ? "h264_multi_slice.264" : "h265.265");
            std::vector<Bytes> source = testkit::splitAnnexB(clip);
            testkit::RtpPacketizerConfig config;
            config.codec = codec;
            config.mtu = 600;
            config.firstSeq = 65500;  // wraps inside the clip
            config.firstTimestamp = 0xFFFF0000u;
            config.aggregate = aggregate;
            testkit::RtpPacketizer packetizer(config);
            std::vector<Bytes> packets = packetizer.packetizeStream(clip);
            ASSERT_GT(packets.size(), 100u);

            Reassembler reassembler(codec);
            size_t fragments = 0;
            int markers = 0;
            for (size_t i = 0; i < packets.size(); ++i) {
                const Bytes& p = packets[i];
                ASSERT_LE(p.size(), config.mtu);
                EXPECT_EQ(p[0], 0x80);
                EXPECT_EQ(p[1] & 0x7F, 96);
                EXPECT_EQ(testkit::rtpSeq(p), static_cast<uint16_t>(65500 + i));
                if (i + 1 < packets.size()) {
                    uint32_t step = testkit::rtpTimestamp(packets[i + 1]) - testkit::rtpTimestamp(p);
                    // The timestamp changes exactly after the marker packet, by one picture period.
                    EXPECT_EQ(step, testkit::rtpMarker(p) ? 3600u : 0u) << "packet " << i;
                }
                markers += testkit::rtpMarker(p) ? 1 : 0;
                int type = codec == VideoCodec::H264 ? (p[12] & 0x1F) : ((p[12] >> 1) & 0x3F);
                fragments += type == (codec == VideoCodec::H264 ? 28 : 49) ? 1 : 0;
                reassembler.feed(p);
            }
            EXPECT_EQ(markers, 30);
            EXPECT_TRUE(testkit::rtpMarker(packets.back()));
            EXPECT_EQ(testkit::rtpTimestamp(packets.back()), 0xFFFF0000u + 29 * 3600u);
            EXPECT_GT(fragments, 50u);
            EXPECT_EQ(reassembler.aggregates > 0, aggregate);
            EXPECT_EQ(reassembler.nals, source);
        }
    }
}

TEST(RtpPacketizer, SmallNalUnitIsOneSinglePacket) {
    testkit::RtpPacketizer packetizer(testkit::RtpPacketizerConfig{});
    std::vector<Bytes> packets = packetizer.packetizePicture({Bytes{0x65, 0x88, 0x84}});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0],
              (Bytes{0x80, 0xE0, 0x00, 0x00, 0, 0, 0, 0, 0x51, 0xC0, 0xFF, 0xEE, 0x65, 0x88, 0x84}));
}

TEST(TestkitMd5, Rfc1321TestSuite) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

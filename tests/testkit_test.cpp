// The test support itself: Annex-B splitting, the clips, the RTP packetizer's framing that later
// tests rely on to play a camera (that its packets carry the clip's NAL units exactly is shown by
// depacketize_roundtrip_test).
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "testkit/annexb.h"
#include "testkit/rtp_packetizer.h"

using testkit::Bytes;
using testkit::VideoCodec;

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

            size_t fragments = 0, aggregates = 0;
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
                aggregates += type == (codec == VideoCodec::H264 ? 24 : 48) ? 1 : 0;
            }
            EXPECT_EQ(markers, 30);
            EXPECT_TRUE(testkit::rtpMarker(packets.back()));
            EXPECT_EQ(testkit::rtpTimestamp(packets.back()), 0xFFFF0000u + 29 * 3600u);
            EXPECT_GT(fragments, 50u);
            EXPECT_EQ(aggregates > 0, aggregate);
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

// The test support itself: Annex-B splitting, the clips, the RTP packetizer's framing (its
// sequence numbers, timestamps and markers across their wraps, and the clip's NAL units in its
// packets, are shown by depacketize_roundtrip_test).
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

TEST(RtpPacketizer, SmallNalUnitIsOneSinglePacket) {
    testkit::RtpPacketizer packetizer(testkit::RtpPacketizerConfig{});
    std::vector<Bytes> packets = packetizer.packetizePicture({Bytes{0x65, 0x88, 0x84}});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0],
              (Bytes{0x80, 0xE0, 0x00, 0x00, 0, 0, 0, 0, 0x51, 0xC0, 0xFF, 0xEE, 0x65, 0x88, 0x84}));
}

// The audio track's SDP reading and its depacketizer: AAC (RFC 3640, RFC 6416), G.711, G.726 and
// Opus, from hand-made packets and a real server's AAC stream.
#include "units/audio_depacketizer.h"

#include <gtest/gtest.h>

#include "testkit/annexb.h"
#include "testkit/rtp_packetizer.h"

using testkit::Bytes;

namespace {

struct Got {
    Bytes data;
    uint64_t ts;
    uint32_t samples, lost;
};

Bytes rtp(uint16_t seq, uint32_t ts, bool marker, const Bytes& payload, uint8_t pt = 96) {
    return testkit::makeRtpPacket(seq, ts, marker, payload, pt);
}

struct Rig {
    AudioDepacketizer depay;
    std::vector<Got> got;
    explicit Rig(const std::string& encoding, uint32_t rate, const std::string& fmtp = "", uint32_t pt = 96,
                 uint32_t channels = 0) {
        RtspAudioTrack t;
        t.present = true, t.encoding = encoding, t.clockRate = rate, t.fmtp = fmtp, t.payloadType = pt;
        t.channels = channels;
        std::string why;
        EXPECT_TRUE(depay.configure(t, &why)) << why;
    }
    void push(const Bytes& packet) {
        depay.push(packet.data(), packet.size(), 1000, [&](const RtspAudioFrame& f) {
            got.push_back({Bytes(f.data, f.data + f.size), f.rtpTimestamp, f.samples, f.lostBefore});
        });
    }
};

// AU-headers-length and 13/3 AU headers (AAC-hbr) for units of `sizes`.
Bytes hbrHeaders(const std::vector<uint16_t>& sizes) {
    Bytes p = {0, static_cast<uint8_t>(16 * sizes.size())};
    p[0] = static_cast<uint8_t>((16 * sizes.size()) >> 8);
    for (uint16_t s : sizes)
        p.push_back(static_cast<uint8_t>(s >> 5)), p.push_back(static_cast<uint8_t>(s << 3));
    return p;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(AudioSdp, FirstAudioTrackOfRealCameras) {
    struct Case {
        const char* file;
        const char* encoding;
        uint32_t pt, rate, channels;
        const char* control;
    } cases[] = {
        {"retina_bunny.sdp", "mpeg4-generic", 96, 12000, 2, "trackID=1"},
        {"retina_foscam.sdp", "PCMU", 0, 8000, 1, "track2"},  // static type without rtpmap
        {"retina_gw_main.sdp", "PCMU", 8, 8000, 1, "audio"},  // the rtpmap wins over the static type
        {"retina_dahua_h265_pcma.sdp", "PCMA", 8, 8000, 0, "trackID=1"},
        {"go2rtc_hikvision_pcm_l16.sdp", "PCM", 11, 48000, 0,
         "rtsp://192.168.1.12:554/Streaming/channels/101/trackID=2"},
        {"go2rtc_reolink_bc_streaming_backchannel.sdp", "MPEG4-GENERIC", 97, 16000, 0, "track2"},
    };
    for (const Case& c : cases) {
        Bytes body;
        ASSERT_TRUE(
            testkit::readFile(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/sdp/" + c.file, &body));
        RtspAudioTrack t = findAudioTrack(std::string(body.begin(), body.end()));
        EXPECT_TRUE(t.present) << c.file;
        EXPECT_EQ(t.encoding, c.encoding) << c.file;
        EXPECT_EQ(t.payloadType, c.pt) << c.file;
        EXPECT_EQ(t.clockRate, c.rate) << c.file;
        EXPECT_EQ(t.channels, c.channels) << c.file;
        EXPECT_EQ(t.control, c.control) << c.file;
    }
    // Of several types the first one read; a back channel alone is no audio track.
    RtspAudioTrack t = findAudioTrack(
        "v=0\r\nm=video 0 RTP/AVP 96\r\na=fmtp:101 x=1\r\nm=audio 0 RTP/AVP 13 101 0\r\n"
        "a=rtpmap:101 opus/48000/2\r\na=fmtp:101 sprop-stereo=1\r\n");
    EXPECT_EQ(t.encoding, "opus");
    EXPECT_EQ(t.fmtp, "sprop-stereo=1");
    EXPECT_FALSE(findAudioTrack("m=audio 0 RTP/AVP 0\na=sendonly\nm=video 0 RTP/AVP 96\n").present);
    EXPECT_EQ(audioCodecOf("AAL2-G726-24"), RtspAudioCodec::G726);
    EXPECT_EQ(audioCodecOf("G726-48"), RtspAudioCodec::Unknown);
}

TEST(AudioDepacketizer, AacHbrUnitsFragmentsLossAndShortPackets) {
    Rig r("mpeg4-generic", 44100, "mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;config=1210");
    EXPECT_EQ(r.depay.info().channels, 2u);
    EXPECT_EQ(r.depay.config(), (Bytes{0x12, 0x10}));
    // Three units in one packet: each its own frame, 1024 ticks apart.
    r.push(rtp(1, 5000, true, concat(hbrHeaders({2, 1, 3}), {0xA1, 0xA2, 0xB1, 0xC1, 0xC2, 0xC3})));
    ASSERT_EQ(r.got.size(), 3u);
    EXPECT_EQ(r.got[0].data, (Bytes{0xA1, 0xA2}));
    EXPECT_EQ(r.got[2].data, (Bytes{0xC1, 0xC2, 0xC3}));
    EXPECT_EQ(r.got[2].ts, 5000u + 2048);
    EXPECT_EQ(r.got[1].samples, 1024u);
    // One unit of 5 bytes in three fragments, each with the whole unit's header.
    r.push(rtp(2, 8072, false, concat(hbrHeaders({5}), {1, 2})));
    r.push(rtp(3, 8072, false, concat(hbrHeaders({5}), {3, 4})));
    r.push(rtp(4, 8072, true, concat(hbrHeaders({5}), {5})));
    ASSERT_EQ(r.got.size(), 4u);
    EXPECT_EQ(r.got[3].data, (Bytes{1, 2, 3, 4, 5}));
    // A fragment lost: the unit is dropped, the next frame tells of the loss.
    r.push(rtp(5, 9096, false, concat(hbrHeaders({5}), {1, 2})));
    r.push(rtp(7, 9096, true, concat(hbrHeaders({5}), {5})));
    r.push(rtp(8, 10120, true, concat(hbrHeaders({1}), {9})));
    ASSERT_EQ(r.got.size(), 5u);
    EXPECT_EQ(r.got[4].data, Bytes{9});
    EXPECT_EQ(r.got[4].lost, 1u);
    EXPECT_EQ(r.depay.framesDropped(), 1u);
    // A packet shorter than its headers say: the whole units before the cut only; headers that
    // claim more than the packet: nothing. A repeated packet: nothing.
    r.push(rtp(9, 11144, true, concat(hbrHeaders({1, 4}), {7, 7})));
    r.push(rtp(10, 12168, true, {0x00, 0xFF, 0x00}));
    r.push(rtp(10, 12168, true, concat(hbrHeaders({1}), {6})));
    ASSERT_EQ(r.got.size(), 6u);
    EXPECT_EQ(r.got[5].data, Bytes{7});

    // AAC-lbr: 6-bit sizes, 2-bit indexes; index deltas space the units.
    Rig lbr("mpeg4-generic", 16000, "mode=AAC-lbr;config=1408");
    lbr.push(rtp(1, 0, true, {0x00, 0x10, 0x08, 0x05, 0xEE, 0xEF, 0xDD}));  // sizes 2 and 1, second delta 1
    ASSERT_EQ(lbr.got.size(), 2u);
    EXPECT_EQ(lbr.got[1].data, Bytes{0xDD});
    EXPECT_EQ(lbr.got[1].ts, 2048u);
}

TEST(AudioDepacketizer, AacOfARealServerStream) {
    // Wowza's AAC-hbr track of the bunny clip (12 kHz stereo), channel 0 of the interleaved capture.
    Bytes capture;
    ASSERT_TRUE(testkit::readFile(
        std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/captures/retina_bunny_wowza_interleaved.rtsp",
        &capture));
    Rig r("mpeg4-generic", 12000,
          "profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;config=1490");
    size_t packets = 0, unitBytes = 0;
    for (size_t at = 0; at + 4 <= capture.size();) {
        const size_t len = capture[at + 2] << 8 | capture[at + 3];
        ASSERT_LE(at + 4 + len, capture.size());
        if (capture[at + 1] == 0) {
            r.push(Bytes(capture.begin() + at + 4, capture.begin() + at + 4 + len));
            ++packets;
            unitBytes += len - 12 - 2 - 2 * (capture[at + 4 + 13] / 16);  // RTP and AU headers
        }
        at += 4 + len;
    }
    EXPECT_EQ(packets, 102u);
    ASSERT_GE(r.got.size(), packets);
    for (size_t i = 0; i < r.got.size(); ++i) {
        // Every unit a raw stereo AAC frame (a channel pair or the encoder's fill element first),
        // one after the other.
        const int element = r.got[i].data[0] >> 5;
        EXPECT_TRUE(element == 1 || element == 6) << i;
        if (i > 0) {
            EXPECT_EQ(r.got[i].ts - r.got[i - 1].ts, 1024u) << i;
        }
        EXPECT_EQ(r.got[i].lost, 0u);
        unitBytes -= r.got[i].data.size();
    }
    EXPECT_EQ(unitBytes, 0u);
    EXPECT_EQ(r.depay.framesDropped(), 0u);
}

TEST(AudioDepacketizer, LatmElementsSubframesAndFragments) {
    // StreamMuxConfig for AAC-LC 44.1 kHz stereo, one subframe, as GStreamer's payloader writes it.
    Rig r("MP4A-LATM", 44100, "cpresent=0;config=400024203fc0");
    EXPECT_EQ(r.depay.config(), (Bytes{0x12, 0x10}));
    EXPECT_EQ(r.depay.info().sampleRate, 44100u);
    Bytes unit(300, 0x21);
    Bytes element = {255, 45};  // 300 = 255 + 45
    element.insert(element.end(), unit.begin(), unit.end());
    // Split over two packets, the marker on the last.
    r.push(rtp(1, 100, false, Bytes(element.begin(), element.begin() + 120)));
    EXPECT_TRUE(r.got.empty());
    r.push(rtp(2, 100, true, Bytes(element.begin() + 120, element.end())));
    ASSERT_EQ(r.got.size(), 1u);
    EXPECT_EQ(r.got[0].data, unit);
    // Two elements in one packet; a length past the end is dropped.
    r.push(rtp(3, 1124, true, {2, 0xA, 0xB, 1, 0xC}));
    r.push(rtp(4, 3172, true, {9, 1}));
    ASSERT_EQ(r.got.size(), 3u);
    EXPECT_EQ(r.got[2].data, Bytes{0xC});
    EXPECT_EQ(r.got[2].ts, 1124u + 1024);
    EXPECT_EQ(r.depay.framesDropped(), 1u);

    // GStreamer's fmtp ends the configuration after the AudioSpecificConfig.
    EXPECT_EQ(Rig("MP4A-LATM", 44100, "cpresent=0;config=40002420").depay.config(), (Bytes{0x12, 0x10}));
    // Two subframes per element (16 kHz mono).
    Rig two("MP4A-LATM", 16000, "cpresent=0;config=410028103fc0");
    EXPECT_EQ(two.depay.info().channels, 1u);
    two.push(rtp(1, 0, true, {1, 0x55, 2, 0x66, 0x77}));
    ASSERT_EQ(two.got.size(), 2u);
    EXPECT_EQ(two.got[1].data, (Bytes{0x66, 0x77}));
    EXPECT_EQ(two.got[1].ts, 1024u);

    // In-band configuration (cpresent=1): units follow it unaligned.
    Rig inband("MP4A-LATM", 44100, "");
    // useSameStreamMux 0, the config above (44 bits), length 1, unit 0x5A: shifted by 45 bits.
    Bytes config = {0x40, 0x00, 0x24, 0x20, 0x3f, 0xc0};
    Bytes packet(8, 0);
    auto put = [&](size_t bit, uint8_t v, int n) {
        for (int i = 0; i < n; ++i)
            if ((v >> (n - 1 - i)) & 1)
                packet[(bit + i) / 8] |= static_cast<uint8_t>(0x80 >> ((bit + i) % 8));
    };
    for (size_t i = 0; i < 44; ++i) put(1 + i, (config[i / 8] >> (7 - i % 8)) & 1, 1);
    put(45, 1, 8);
    put(53, 0x5A, 8);
    inband.push(rtp(1, 0, true, packet));
    ASSERT_EQ(inband.got.size(), 1u);
    EXPECT_EQ(inband.got[0].data, Bytes{0x5A});
    EXPECT_EQ(inband.depay.config(), (Bytes{0x12, 0x10}));
}

TEST(AudioDepacketizer, G711G726AndOpus) {
    Rig pcmu("PCMU", 8000, "", 0);
    pcmu.push(rtp(65535, 0xFFFFFF00u, false, Bytes(160, 0x7F), 0));
    pcmu.push(rtp(0, 0xFFFFFFA0u, false, Bytes(160, 0x7E), 0));
    pcmu.push(rtp(1, 0x40, false, {1, 2}, 13));  // comfort noise: not samples, not a loss either
    pcmu.push(rtp(3, 0xE0, false, Bytes(160, 0x7D), 0));
    ASSERT_EQ(pcmu.got.size(), 3u);
    EXPECT_EQ(pcmu.got[1].samples, 160u);
    EXPECT_EQ(pcmu.got[2].ts, 0x1000000E0ull);  // past the 32-bit wrap
    EXPECT_EQ(pcmu.got[2].lost, 1u);
    EXPECT_EQ(pcmu.got[2].data, Bytes(160, 0x7D));

    // AAL2 order comes out in RFC 3551 order: 32 kbit/s nibbles swapped, 24 kbit/s code words
    // 0..7 (3 bits each) reversed in their bit order.
    Rig aal2("AAL2-G726-32", 8000);
    aal2.push(rtp(1, 0, false, {0xAB, 0x12}));
    ASSERT_EQ(aal2.got.size(), 1u);
    EXPECT_EQ(aal2.got[0].data, (Bytes{0xBA, 0x21}));
    EXPECT_EQ(aal2.got[0].samples, 4u);
    Rig g24("AAL2-G726-24", 8000);
    g24.push(rtp(1, 0, false, {0x05, 0x39, 0x77}));  // 000 001 010 011 100 101 110 111
    ASSERT_EQ(g24.got.size(), 1u);
    EXPECT_EQ(g24.got[0].data, (Bytes{0x88, 0xC6, 0xFA}));  // the same words from the low bits up
    Rig rfc("G726-40", 8000);
    rfc.push(rtp(1, 0, false, {1, 2, 3, 4, 5}));
    EXPECT_EQ(rfc.got.at(0).data, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(rfc.got.at(0).samples, 8u);

    Rig opus("opus", 48000, "sprop-stereo=1", 111, 2);
    EXPECT_EQ(opus.depay.info().channels, 2u);
    EXPECT_EQ(opus.depay.config().size(), 19u);
    EXPECT_EQ(opus.depay.config()[9], 2);
    opus.push(rtp(1, 0, false, {0xFC, 0xFF, 0xFE}, 111));        // CELT 20 ms, code 0
    opus.push(rtp(2, 960, false, {0x1B, 0x02, 0x02}, 111));      // SILK 60 ms, code 3, 2 frames
    opus.push(rtp(3, 3840, false, {0x7B, 0x03, 0, 0, 0}, 111));  // hybrid 20 ms, code 3, 3 frames
    ASSERT_EQ(opus.got.size(), 3u);
    EXPECT_EQ(opus.got[0].samples, 960u);
    EXPECT_EQ(opus.got[1].samples, 5760u);
    EXPECT_EQ(opus.got[2].samples, 2880u);
}

TEST(AudioDepacketizer, HeaderFieldsAndRefusedTracks) {
    Rig r("PCMA", 8000, "", 8);
    // CSRC, header extension and padding around 4 samples.
    Bytes p = rtp(1, 8000, false, {}, 8);
    p[0] = 0xB1;  // padding, extension, one CSRC
    p.insert(p.end(), {9, 9, 9, 9, 0xBE, 0xDE, 0, 1, 7, 7, 7, 7, 1, 2, 3, 4, 0, 0, 3});
    r.push(p);
    ASSERT_EQ(r.got.size(), 1u);
    EXPECT_EQ(r.got[0].data, (Bytes{1, 2, 3, 4}));
    p.back() = 40;  // padding longer than the packet
    p[3] = 2;
    r.push(p);
    p = rtp(3, 8160, false, {9, 9, 9, 9, 0xBE, 0xDE, 2, 2, 1, 2, 3, 0x60}, 8);
    p[0] = 0xB1;  // an extension past the end, padding past the start
    r.push(p);
    EXPECT_EQ(r.got.size(), 1u);

    std::string why;
    AudioDepacketizer d;
    RtspAudioTrack t;
    for (const char* bad : {"L16", "mpeg4-generic", "MP4A-LATM"}) {
        t.encoding = bad, t.clockRate = 16000, t.fmtp = "cpresent=0;mode=AAC-hbr;sizelength=0";
        EXPECT_FALSE(d.configure(t, &why)) << bad;
        EXPECT_FALSE(why.empty());
    }
}

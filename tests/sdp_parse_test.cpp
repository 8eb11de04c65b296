// DESCRIBE bodies to track tables: the line forms, bodies in pieces, bounds, real cameras' SDPs in
// both readings, the parameter sets of their fmtp lines and the Transport of their SETUP answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testkit/child_process.h"
#include "testkit/sdp_regex_reference.h"
#include "tests/client_test_support.h"
#include "tests/log_capture.h"
#include "utils/curl_rtsp.h"
#include "utils/utils.h"

namespace {

using client_test::cameraSdp;
using Strings = std::vector<std::string>;

// Feeds `body` to a fresh parser in pieces of `piece` bytes (0: one piece).
std::vector<RtspTrack> parse(const std::string& body, size_t piece = 0, bool finish = true,
                             bool realCameraSdp = false) {
    RtspSdpParser parser(realCameraSdp);
    if (piece == 0) piece = body.size() + 1;
    for (size_t at = 0; at < body.size(); at += piece)
        parser.feed(body.data() + at, std::min(piece, body.size() - at));
    if (finish) parser.finish();
    return parser.tracks();
}

std::vector<RtspTrack> parseReal(const std::string& body) {
    return parse(body, 0, true, true);
}

// A track as "media pt format/clock control", to compare whole tracks and tables at once.
std::string str(const RtspTrack& t) {
    return t.media + " " + std::to_string(t.payloadType) + " " + t.format + "/" +
           std::to_string(t.clockRate) + " " + t.control;
}

Strings str(const std::vector<RtspTrack>& tracks) {
    Strings out;
    for (const RtspTrack& track : tracks) out.push_back(str(track));
    return out;
}

std::string readFile(const std::string& path) {
    return testkit::readText(std::string(QUORVANE_SOURCE_DIR) + "/" + path);
}

const char* kVideoAndAudio =
    "v=0\r\n"
    "o=- 0 0 IN IP4 10.0.0.2\r\n"
    "s=Session\r\n"
    "a=control:*\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z2QAM6wVFKCgL/lQ,aO48sA==\r\n"
    "a=control:trackID=1\r\n"
    "m=audio 0 RTP/AVP 8\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=control:trackID=2\r\n";

// Every real body (the camera data set and the SDP fuzz seeds) and the example above.
Strings allBodies() {
    Strings bodies = {kVideoAndAudio};
    for (const char* dir : {"tests/data/cameras/sdp", "fuzz/corpus/fuzz_sdp"}) {
        for (const auto& e :
             std::filesystem::directory_iterator(std::string(QUORVANE_SOURCE_DIR) + "/" + dir))
            if (e.path().extension() == ".sdp")
                bodies.push_back(readFile(dir + std::string("/") + e.path().filename().string()));
    }
    return bodies;
}

}  // namespace

// The parser is held to the three expressions the scanner replaced: on every real body it gives
// the same tracks and debug lines. (The scanner itself meets them on every line of these bodies,
// and on tricky forms, in the fuzz_sdp_scan corpus replay.)
TEST(SdpParse, ParserReadsEveryCameraBodyAsTheExpressionsDid) {
    Strings bodies = allBodies();
    ASSERT_GT(bodies.size(), 50u) << "camera SDPs missing";
    for (const std::string& body : bodies) {
        testkit::ReferenceSdp reference = testkit::referenceParse(body);
        LogCapture log;
        std::vector<RtspTrack> tracks = parse(body, 7);
        log.stop();
        Strings debug;
        for (size_t at = log.out.find("D/: # "); at != std::string::npos; at = log.out.find("D/: # ", at + 1))
            debug.push_back(log.out.substr(at + 4, log.out.find('\n', at) - at - 4));
        EXPECT_EQ(debug, reference.debugLines);
        EXPECT_EQ(str(tracks), str(reference.tracks));
    }
}

TEST(SdpParse, LineRules) {
    struct Case {
        const char* body;
        Strings tracks;
    };
    const Case cases[] = {
        // RTP/AVPF and RTP/SAVP sections are not media lines: their attributes land on the track before.
        {"m=video 0 RTP/AVP 96\r\na=control:trackID=1\r\nm=video 0 RTP/AVPF 97\r\na=control:trackID=2\r\n"
         "m=video 0 RTP/SAVP 98\r\na=rtpmap:98 H265/90000\r\n",
         {"video 98 H265/90000 trackID=2"}},
        // Session-level attributes touch no track; a later attribute of a section replaces an earlier one.
        {"a=control:rtsp://h/s\r\na=rtpmap:1 X/1\r\nm=video 0 RTP/AVP 96\r\na=control:a1\r\n"
         "a=rtpmap:96 H264/90000\r\na=control:a2\r\na=rtpmap:97 H265/90000\r\n",
         {"video 97 H265/90000 a2"}},
        // CR, LF and CRLF end lines; empty lines are skipped.
        {"m=video 0 RTP/AVP 96\ra=control:c1\n\n\r\nm=audio 0 RTP/AVP 0\r\r\na=control:c2",
         {"video 0 /0 c1", "audio 0 /0 c2"}},
        {"v=0\r\ns=no media\r\na=control:*\r\n", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(str(parse(c.body)), c.tracks) << c.body;
}

TEST(SdpParse, BodyInPiecesGivesTheSameTracksAsOnePieceInBothReadings) {
    for (bool real : {false, true}) {
        for (const std::string& body : allBodies()) {
            Strings whole = str(parse(body, 0, true, real));
            for (size_t piece : {1, 3, 13, 500}) {
                EXPECT_EQ(str(parse(body, piece, true, real)), whole) << "pieces of " << piece;
                // Between pieces the table already reads as if the body ended there.
                EXPECT_EQ(str(parse(body, piece, false, real)), whole) << "unfinished, pieces of " << piece;
            }
        }
    }
}

TEST(SdpParse, SectionsPastTheLimitAreIgnored) {
    auto sections = [](int n) {
        std::string body = "v=0\r\n";
        for (int i = 0; i < n; ++i) {
            body += "m=video 0 RTP/AVP " + std::to_string(96 + i) + "\r\na=rtpmap:" + std::to_string(96 + i) +
                    " H264/90000\r\na=control:track" + std::to_string(i) + "\r\n";
        }
        return body;
    };
    LogCapture log;
    std::vector<RtspTrack> t = parse(sections(8));
    EXPECT_EQ(parseReal(sections(8)).size(), 8u);
    EXPECT_EQ(parseReal(sections(40)).size(), static_cast<size_t>(RtspSdpParser::kMaxRealCameraTracks));
    log.stop();
    ASSERT_EQ(t.size(), static_cast<size_t>(RtspSdpParser::kMaxTracks));
    EXPECT_EQ(str(t[4]), "video 100 H264/90000 track4");
    EXPECT_EQ(log.errCount("more than 5 media sections"), 1) << log.err;
    EXPECT_EQ(log.errCount("more than 32 media sections"), 1) << log.err;
}

TEST(SdpParse, OversizedBodiesAreCutWithoutLosingTheStart) {
    std::string head = "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";
    std::string body = head;
    while (body.size() < RtspSdpParser::kMaxBodyBytes + 1000)
        body += "a=x-padding:" + std::string(100, 'p') + "\r\n";
    // A media section past the cap is never seen.
    body += "m=audio 0 RTP/AVP 8\r\na=control:trackID=2\r\n";
    LogCapture log;
    std::vector<RtspTrack> t = parse(body, 16384);
    log.stop();
    EXPECT_EQ(str(t), (Strings{"video 96 H264/90000 trackID=1"}));
    EXPECT_NE(log.err.find("DESCRIBE body longer than 65536 bytes"), std::string::npos) << log.err;

    // A line longer than any SDP line we read is skipped whole, even when it looks like a media line.
    std::string longLine = "m=video 0 RTP/AVP 97 " + std::string(RtspSdpParser::kMaxLineBytes, '9') + "\r\n";
    std::vector<RtspTrack> skipped = parse(head + longLine + "a=control:after\r\n", 1000);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].control, "after");
    // One that just fits is read.
    std::string fits = "a=control:" + std::string(RtspSdpParser::kMaxLineBytes - 10, 'c') + "\r\n";
    EXPECT_EQ(parse(head + fits)[0].control.size(), RtspSdpParser::kMaxLineBytes - 10);
}

// What the real-camera reading makes of the bodies the default reading gets wrong.
TEST(SdpParse, RealCameraReading) {
    struct Case {
        std::string body;
        Strings tracks;
    };
    std::string flir = cameraSdp("gortsplib_flir_ir_camera.sdp");
    const Case cases[] = {
        // Five payload types on one m= line: the H.264 one, not the last rtpmap.
        {flir, {"video 111 H264/90000 rtsp://172.16.2.20/sid=96&overlay=on"}},
        // m=application/TP-LINK is a section of its own; its attributes no longer land on the audio.
        {cameraSdp("retina_tplink.sdp"),
         {"video 96 H265/90000 track1", "audio 8 PCMA/8000 track2",
          "application/TP-LINK 95 TP-LINK/90000 track3"}},
        // One-character controls.
        {cameraSdp("gortsplib_altasec_nvr.sdp"),
         {"video 96 H264/90000 0", "audio 0 PCMU/8000 1", "application 107 METADATA/90000 2"}},
        // A channel count no longer shifts format and clock; an rtpmap of a type the line lacks.
        {cameraSdp("retina_vstarcam.sdp"), {"video 96 H264/90000 track0", "audio 8 PCMA/8000 track1"}},
        {cameraSdp("go2rtc_fmtp_in_wrong_media_section.sdp"),
         {"video 96 H264/90000 track0", "audio 0 pcma/8000 track1"}},
        // Edits of a real body: lower-case names, AVPF and SAVP transports, a static type without rtpmap.
        {"m=audio 0 RTP/AVP 0\r\na=control:a\r\nm=video 0 RTP/AVPF 96\r\na=rtpmap:96 h264/90000\r\n"
         "a = control : v\r\nm=video 0 RTP/SAVP 97\r\na=rtpmap:97 hevc/90000\r\n",
         {"audio 0 /0 a", "video 96 h264/90000 v", "video 97 hevc/90000 "}},
    };
    for (const Case& c : cases) EXPECT_EQ(str(parseReal(c.body)), c.tracks) << c.body;
    EXPECT_EQ(RtspSdpParser::h26xCodec("h264"), 264);
    EXPECT_EQ(RtspSdpParser::h26xCodec("HeVc"), 265);
    EXPECT_EQ(RtspSdpParser::h26xCodec("H264-SVC"), 0);
}

// Round trips of every byte value are in portability_test.
TEST(SdpParse, Base64RefusesBrokenText) {
    for (const std::string& bad :
         Strings{"A", "AB=", "AB=C", "A*BC", "AAAA====", "AAAAA===", std::string("AB\0C", 4)}) {
        std::vector<uint8_t> out{1};
        EXPECT_FALSE(Utils::base64decode(bad.data(), bad.size(), &out)) << bad;
        EXPECT_TRUE(out.empty());
    }
}

// Every fmtp line of the data set: how many parameter sets of the right types come out.
TEST(SdpParse, ParameterSetsOfRealCameras) {
    std::istringstream lines(cameraSdp("fmtp_only_lines.txt"));
    Strings fmtps;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') fmtps.push_back(line);
    // Tenda, Xiaomi (H.265); Reolink; VStarcam (no NAL header, zero PPS); GW Security (start
    // code inside); LV-IP22IR40DVBL; Longse; start codes in front; H.265 sets under H.264; an
    // extra PPS; an empty list.
    const std::vector<std::pair<const char*, Strings>> expected = {
        {"H265", {"40", "42", "44"}},
        {"H265", {"40", "42", "44"}},
        {"H264", {"6764003", "68ee3cb"}},
        {"H264", {}},
        {"H264", {"674d001", "68ee3c8"}},
        {"H264", {"674d002", "68ee3c8"}},
        {"H264", {"6764001", "68ee31b"}},
        {"H264", {"674d001", "68ee388"}},
        {"H264", {}},
        {"H264", {"6764002", "68fa8f2", "685ea3c"}},
        {"H264", {}},
    };
    ASSERT_EQ(fmtps.size(), expected.size());
    for (size_t i = 0; i < fmtps.size(); ++i) {
        Strings heads;
        for (const auto& set : sdpParameterSets(expected[i].first, fmtps[i])) {
            char hex[3];
            std::string head;
            for (size_t k = 0; k < set.size() && head.size() < 7; ++k) {
                snprintf(hex, sizeof(hex), "%02x", set[k]);
                head += hex;
            }
            heads.push_back(head.substr(0, expected[i].first[3] == '5' ? 2 : 7));
            // No start code is left inside, and no zero padding at the end.
            for (size_t k = 0; k + 2 < set.size(); ++k)
                EXPECT_FALSE(set[k] == 0 && set[k + 1] == 0 && set[k + 2] == 1);
            EXPECT_NE(set.back(), 0);
        }
        EXPECT_EQ(heads, expected[i].second) << fmtps[i];
    }
    // The Reolink pair, byte for byte, SPS first whatever the order in the list.
    auto sets = sdpParameterSets("h264", "sprop-parameter-sets=aO48sA==,Z2QAM6wVFKCgL/lQ");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0],
              (std::vector<uint8_t>{0x67, 0x64, 0x00, 0x33, 0xac, 0x15, 0x14, 0xa0, 0xa0, 0x2f, 0xf9, 0x50}));
    EXPECT_EQ(sets[1], (std::vector<uint8_t>{0x68, 0xee, 0x3c, 0xb0}));
    EXPECT_TRUE(sdpParameterSets("PCMA", "sprop-parameter-sets=Z2QAM6wVFKCgL/lQ").empty());
}

namespace {
std::string str(const RtspTransportInfo& t) {
    char ssrc[16] = "-";
    if (t.hasSsrc) snprintf(ssrc, sizeof(ssrc), "%x", t.ssrc);
    return std::to_string(t.rtpChannel) + "/" + std::to_string(t.rtcpChannel) + " " + ssrc + " " +
           (t.source.empty() ? "-" : t.source) + " " + std::to_string(t.serverRtpPort) + "/" +
           std::to_string(t.serverRtcpPort) + (t.destination.empty() ? "" : " to " + t.destination);
}
}  // namespace

// The value of header `name` in a stored answer; "" when it has none.
std::string answerHeader(const std::string& answer, const std::string& name) {
    size_t at = answer.find("\n" + name + ":");
    if (at == std::string::npos) return "";
    at += name.size() + 2;
    while (answer[at] == ' ') ++at;
    return answer.substr(at, answer.find_first_of("\r\n", at) - at);
}

// RTP-Info of every stored PLAY answer (a .txt file), and of lines: the entry of the track set up
// at rtsp://h/<control> (or at an absolute control). Transport of SETUP answers and broken ones.
TEST(SdpParse, RtpInfoOfPlayAnswersTransportOfSetupAnswers) {
    const char* cases[][3] = {
        {"retina_bunny_play.txt", "trackID=1", "1 0 -"},
        {"retina_bad_rtptime.txt", "trackID=1", "1 - -"},  // rtptime=-1 left out
        {"retina_dahua_play.txt", "trackID=0", "47121 3475222385 -"},
        {"retina_dahua_play.txt", "trackID=1", "45186 2234446919 -"},
        {"retina_dahua_play.txt", "trackID=5", "none"},
        {"retina_dahua_play_decimal_ssrc.txt", "trackID=0", "13210 1067824145 ffffef2d"},
        {"retina_gw_main_play.txt", "rtsp://10.0.0.2:5050/H264/video", "271 1621990950 -"},  // the only entry
        {"retina_gw_sub_play.txt", "video", "273 1621810809 -"},
        {"retina_h264dvr_play.txt", "trackID=3", "none"},
        {"retina_hikvision_play.txt",
         "rtsp://192.168.5.106:554/Streaming/Channels/101/trackID=1?transportmode=unicast&profile=Profile_1",
         "24104 1270711678 -"},
        {"retina_laureii_play.txt", "trackID=0", "0 0 -"},
        {"retina_reolink_play.txt", "trackID=2", "39409 3075976528 9fc9fff8"},
        {"url=\"rtsp://h/a,b\";seq=7;ssrc=0x1F,url=x;seq=8", "a,b", "7 - 1f"},  // quoted url with a comma
        {"url=trackID=1;seq=3,url=trackID=2;seq=4", "rtsp://h/x/trackID=2",
         "4 - -"},  // relative to the SETUP URL
        {"url=rtsp://h/v;seq=65536;rtptime=4294967296;ssrc=123456789", "w",
         "- - 75bcd15"},  // 9 digits: decimal
        {"url=rtsp://x/v;seq=+5;rtptime= 12 ;ssrc=4294967296,url=rtsp://y/v;seq=6", "v",
         "- 12 -"},  // host aside
    };
    for (const auto& c : cases) {
        const std::string file = c[0];
        const std::string header = file.size() > 4 && file.compare(file.size() - 4, 4, ".txt") == 0
                                       ? answerHeader(readFile("tests/data/cameras/rtsp/" + file), "RTP-Info")
                                       : file;
        const std::string control = c[1];
        RtspRtpInfo r;
        const std::string url = control.find("://") == std::string::npos ? "rtsp://h/" + control : control;
        EXPECT_EQ(parseRtspRtpInfo(header.data(), header.size(), url, control, &r), r.present);
        char ssrc[16] = "-";
        if (r.hasSsrc) snprintf(ssrc, sizeof(ssrc), "%x", r.ssrc);
        EXPECT_EQ(!r.present ? "none"
                             : (r.hasSeq ? std::to_string(r.seq) : "-") + " " +
                                   (r.hasRtpTime ? std::to_string(r.rtpTime) : "-") + " " + ssrc,
                  c[2])
            << file << " " << control;
    }
    // SETUP answers: Transport, then the session's timeout=.
    const std::pair<std::string, std::string> files[] = {
        {"retina_bunny_setup.txt", "0/1 - - 0/0 60"},
        {"retina_dahua_setup.txt", "0/1 30a98ee7 - 0/0 60"},
        {"retina_gw_main_setup_audio.txt", "2/3 - 192.168.1.110 0/0 to 192.168.1.210 60"},
        {"retina_gw_main_setup_video.txt", "0/1 - 192.168.1.110 0/0 to 192.168.1.210 60"},
        {"retina_gw_sub_setup.txt", "0/1 - 192.168.1.110 0/0 to 192.168.1.210 60"},
        {"retina_h264dvr_setup_audio.txt", "-1/-1 0 127.0.0.1 40006/40007 60"},
        {"retina_h264dvr_setup_video.txt", "-1/-1 0 127.0.0.1 40004/40005 60"},
        {"retina_hikvision_setup.txt", "0/1 4cacc3d1 - 0/0 60"},
        {"retina_hikvision_setup_ssrc_space.txt", "0/1 d6d6627 - 0/0 60"},
        {"retina_luckfox_rkipc_setup_tcp.txt", "0/1 22345684 - 0/0 0"},
        {"retina_luckfox_rkipc_setup_udp.txt", "-1/-1 22345685 - 49152/49153 0"},
        {"retina_reolink_setup.txt", "0/1 - 192.168.5.206 0/0 to 192.168.1.210 0"},
        {"retina_rubetek_setup_ssrc_0x.txt", "0/1 6f7c - 0/0 0"},
        {"retina_setup_ssrc_4_hex_digits.txt", "0/1 a046 - 0/0 60"},
    };
    for (const auto& [file, expected] : files) {
        const std::string answer = readFile("tests/data/cameras/rtsp/" + file);
        const std::string header = answerHeader(answer, "Transport");
        const std::string session = answerHeader(answer, "Session");
        ASSERT_FALSE(header.empty()) << file;
        RtspTransportInfo info;
        EXPECT_TRUE(parseRtspTransport(header.data(), header.size(), &info));
        EXPECT_TRUE(info.present);
        EXPECT_EQ(str(info) + " " + std::to_string(rtspSessionTimeout(session.data(), session.size())),
                  expected)
            << file;
    }
    const std::pair<std::string, std::string> lines[] = {
        {"RTP/AVP/TCP;interleaved=4", "4/5 - - 0/0"},  // one channel stands for a pair
        {"RTP/AVP/TCP;interleaved=255", "255/-1 - - 0/0"},
        {"RTP/AVP/TCP;interleaved=300-301;ssrc=123456789", "-1/-1 - - 0/0"},
        {"RTP/AVP;server_port=0-1;ssrc=zz;source=1.2.3.4\r\nX: y", "-1/-1 - - 0/0"},
        {"RTP/AVP/TCP;interleaved=1-2,RTP/AVP/TCP;interleaved=5-6", "1/2 - - 0/0"},
        {"RTP/AVP;SERVER_PORT=65535;Interleaved=6-7x", "-1/-1 - - 65535/0"},
        // Addresses of either family, IPv6 ones bare or in brackets; no zone, no bracketed IPv4.
        {"RTP/AVP;unicast;destination=::1;source=[2001:db8::1];server_port=6970-6971",
         "-1/-1 - 2001:db8::1 6970/6971 to ::1"},
        {"RTP/AVP;source=fe80::1%eth0;destination=[10.0.0.1]", "-1/-1 - - 0/0"},
        {"RTP/AVP;destination=192.0.2.9;source=[]", "-1/-1 - - 0/0 to 192.0.2.9"},
    };
    for (const auto& [header, expected] : lines) {
        RtspTransportInfo info;
        parseRtspTransport(header.data(), header.size(), &info);
        EXPECT_EQ(str(info), expected) << header;
    }
    RtspTransportInfo none;
    EXPECT_FALSE(parseRtspTransport("", 0, &none));
    EXPECT_FALSE(none.present);
    // Multicast answers: the group, its port pair and ttl; unicast wins when it comes later.
    const std::pair<std::string, std::string> multicast[] = {
        {"RTP/AVP;Multicast;destination=239.1.2.3;port=5000-5001;ttl=16;source=10.0.0.7",
         "m 239.1.2.3 5000/5001 16 10.0.0.7"},
        {"RTP/AVP;multicast;destination=ff0e::1;port=5002;ttl=0", "m ff0e::1 5002/5003 0 -"},
        {"RTP/AVP;multicast;unicast;destination=239.1.2.3;port=0-1;ttl=256", "u 239.1.2.3 0/0 -1 -"},
        {"RTP/AVP;multicast;destination=239.1.2.3 x;port=65535;ttl=1-2", "m - 65535/0 -1 -"},
        {"RTP/AVP;unicast;client_port=5000-5001,RTP/AVP;multicast;port=7", "u - 0/0 -1 -"},
    };
    for (const auto& [header, expected] : multicast) {
        RtspTransportInfo t;
        parseRtspTransport(header.data(), header.size(), &t);
        EXPECT_EQ(std::string(t.multicast ? "m " : "u ") + (t.destination.empty() ? "-" : t.destination) +
                      " " + std::to_string(t.multicastRtpPort) + "/" + std::to_string(t.multicastRtcpPort) +
                      " " + std::to_string(t.ttl) + " " + (t.source.empty() ? "-" : t.source),
                  expected)
            << header;
    }
}

TEST(SdpParse, ControlsResolveAgainstTheirBase) {
    const char* cases[][3] = {
        {"rtsp://h/live/", "trackID=1", "rtsp://h/live/trackID=1"},
        {"rtsp://h/live", "trackID=1", "rtsp://h/live/trackID=1"},
        // Dahua and GW Security put the query into the base and expect the control after it.
        {"rtsp://h/cam?channel=1&subtype=1/", "trackID=0", "rtsp://h/cam?channel=1&subtype=1/trackID=0"},
        {"rtsp://h:5050/H264?channel=1", "video", "rtsp://h:5050/H264?channel=1/video"},
        {"rtsp://h/live/", "RTSP://other/x", "RTSP://other/x"},
        {"rtsp://h/live/", "*", "rtsp://h/live/"},
        {"rtsp://h/live/", "", "rtsp://h/live/"},
        {"rtsp://u:p@h:554/live/", "/media/video", "rtsp://u:p@h:554/media/video"},
    };
    for (const auto& c : cases) EXPECT_EQ(resolveRtspControl(c[0], c[1]), c[2]) << c[0] << " + " << c[1];
}

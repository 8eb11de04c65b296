// DESCRIBE bodies to track tables: the line rules, bodies in pieces, bounds, and real cameras' SDPs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "utils/curl_rtsp.h"

namespace {

struct Table {
    int count = 0;
    std::vector<RtspTrack> tracks = std::vector<RtspTrack>(RtspSdpParser::kMaxTracks);
};

// Feeds `body` to a fresh parser in pieces of `piece` bytes (0: one piece).
Table parse(const std::string& body, size_t piece = 0, bool finish = true) {
    RtspSdpParser parser;
    Table t;
    if (piece == 0) piece = body.size() + 1;
    for (size_t at = 0; at < body.size(); at += piece) {
        parser.feed(body.data() + at, std::min(piece, body.size() - at), t.tracks.data(), &t.count);
    }
    if (finish) parser.finish(t.tracks.data(), &t.count);
    return t;
}

// A track as "media pt format/clock control", to compare whole tracks and tables at once.
std::string str(const RtspTrack& t) {
    return t.media + " " + std::to_string(t.payloadType) + " " + t.format + "/" +
           std::to_string(t.clockRate) + " " + t.control;
}

std::vector<std::string> str(const Table& t) {
    std::vector<std::string> out = {std::to_string(t.count) + " tracks"};
    for (const RtspTrack& track : t.tracks) out.push_back(str(track));
    return out;
}

std::string cameraSdp(const std::string& name) {
    std::ifstream in(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/sdp/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> allCameraSdps() {
    std::vector<std::string> names;
    for (const auto& e :
         std::filesystem::directory_iterator(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/sdp"))
        if (e.path().extension() == ".sdp") names.push_back(e.path().filename());
    return names;
}

const char* kVideoAndAudio =
    "v=0\r\n"
    "o=- 0 0 IN IP4 10.0.0.2\r\n"
    "s=Session\r\n"
    "a=control:*\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=control:trackID=1\r\n"
    "m=audio 0 RTP/AVP 8\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=control:trackID=2\r\n";

}  // namespace

TEST(SdpParse, VideoAndAudioSectionsGiveTwoTracksAndLogTheCount) {
    testing::internal::CaptureStdout();
    Table t = parse(kVideoAndAudio);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(str(t.tracks[0]), "video 96 H264/90000 trackID=1");
    EXPECT_EQ(str(t.tracks[1]), "audio 8 PCMA/8000 trackID=2");
    EXPECT_NE(out.find("D/: # TOTAL FOUND  2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("# FOUND[1] rtpmap: id:8 format:PCMA bitrate:8000 \n"), std::string::npos) << out;
}

TEST(SdpParse, ParseDescribeFillsTheSessionAndTakesEveryByte) {
    CurlRtsp session("rtsp://127.0.0.1:9/none", 40000, 40001, "", "", false);
    std::string body = kVideoAndAudio;
    size_t half = body.size() / 2;
    EXPECT_EQ(CurlRtsp::fParseDescribe(&body[0], 1, half, &session), half);
    EXPECT_EQ(CurlRtsp::fParseDescribe(&body[half], 1, body.size() - half, &session), body.size() - half);
    ASSERT_EQ(session.trackCount(), 2);
    EXPECT_EQ(str(session.track(1)), "audio 8 PCMA/8000 trackID=2");
    EXPECT_EQ(CurlRtsp::fParseDescribe(&body[0], 1, 4, nullptr), 4u);
}

TEST(SdpParse, LineRules) {
    struct Case {
        const char* body;
        int count;
        const char* first;  // the first track
    };
    const Case cases[] = {
        // Blanks around '=' and ':' of a control line are allowed.
        {"m=video 0 RTP/AVP 96\na = control : trackID=1\n", 1, "video 0 /0 trackID=1"},
        // A control needs two characters; a one-character one leaves the control empty.
        {"m=video 0 RTP/AVP 96\na=control:1\n", 1, "video 0 /0 "},
        // The encoding name runs to the last slash followed by digits.
        {"m=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/441/2\r\n", 1, "audio 97 MPEG4-GENERIC/441/2 "},
        // RTP/AVPF and RTP/SAVP sections are not media lines: their attributes land on the track before.
        {"m=video 0 RTP/AVP 96\r\na=control:trackID=1\r\nm=video 0 RTP/AVPF 97\r\na=control:trackID=2\r\n"
         "m=video 0 RTP/SAVP 98\r\na=rtpmap:98 H265/90000\r\n",
         1, "video 98 H265/90000 trackID=2"},
        // Session-level attributes touch no track; a later attribute of a section replaces an earlier one.
        {"a=control:rtsp://h/s\r\na=rtpmap:1 X/1\r\nm=video 0 RTP/AVP 96\r\na=control:a1\r\n"
         "a=rtpmap:96 H264/90000\r\na=control:a2\r\na=rtpmap:97 H265/90000\r\n",
         1, "video 97 H265/90000 a2"},
        // CR, LF and CRLF end lines; empty lines are skipped.
        {"m=video 0 RTP/AVP 96\ra=control:c1\n\n\r\nm=audio 0 RTP/AVP 0\r\r\na=control:c2", 2,
         "video 0 /0 c1"},
        {"v=0\r\ns=no media\r\na=control:*\r\n", 0, " 0 /0 "},
    };
    for (const Case& c : cases) {
        Table t = parse(c.body);
        EXPECT_EQ(t.count, c.count) << c.body;
        EXPECT_EQ(str(t.tracks[0]), c.first) << c.body;
    }
    Table ends = parse(cases[5].body);
    EXPECT_EQ(ends.tracks[1].control, "c2");
}

TEST(SdpParse, BodyInPiecesGivesTheSameTracksAsOnePiece) {
    std::vector<std::string> bodies = {kVideoAndAudio};
    for (const std::string& name : allCameraSdps()) bodies.push_back(cameraSdp(name));
    ASSERT_GT(bodies.size(), 40u) << "camera SDPs missing";
    for (const std::string& body : bodies) {
        Table whole = parse(body);
        for (size_t piece : {1, 2, 3, 5, 13, 64, 500}) {
            EXPECT_EQ(str(parse(body, piece)), str(whole)) << "pieces of " << piece;
            // Between pieces the table already reads as if the body ended there.
            EXPECT_EQ(str(parse(body, piece, false)), str(whole)) << "unfinished, pieces of " << piece;
        }
    }
}

TEST(SdpParse, NeverMoreThanFiveTracks) {
    std::string body = "v=0\r\n";
    for (int i = 0; i < 8; ++i) {
        body += "m=video 0 RTP/AVP " + std::to_string(96 + i) + "\r\na=rtpmap:" + std::to_string(96 + i) +
                " H264/90000\r\na=control:track" + std::to_string(i) + "\r\n";
    }
    testing::internal::CaptureStderr();
    Table t = parse(body);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(t.count, RtspSdpParser::kMaxTracks);
    for (int i = 0; i < RtspSdpParser::kMaxTracks; ++i) {
        EXPECT_EQ(str(t.tracks[i]),
                  "video " + std::to_string(96 + i) + " H264/90000 track" + std::to_string(i));
    }
    EXPECT_NE(err.find("more than 5 media sections"), std::string::npos) << err;
    // Pieces change nothing, and a new body starts from an empty table.
    EXPECT_EQ(str(parse(body, 7)), str(t));
    EXPECT_EQ(parse("m=audio 0 RTP/AVP 0\r\n").count, 1);
}

TEST(SdpParse, OversizedBodiesAreCutWithoutLosingTheStart) {
    std::string head = "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";
    std::string body = head;
    while (body.size() < RtspSdpParser::kMaxBodyBytes + 1000)
        body += "a=x-padding:" + std::string(100, 'p') + "\r\n";
    // A media section past the cap is never seen.
    body += "m=audio 0 RTP/AVP 8\r\na=control:trackID=2\r\n";
    testing::internal::CaptureStderr();
    Table t = parse(body, 16384);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(str(t.tracks[0]), "video 96 H264/90000 trackID=1");
    EXPECT_NE(err.find("DESCRIBE body longer than 65536 bytes"), std::string::npos) << err;

    // A line longer than any SDP line we read is skipped whole, even when it looks like a media line.
    std::string longLine = "m=video 0 RTP/AVP 97 " + std::string(RtspSdpParser::kMaxLineBytes, '9') + "\r\n";
    Table skipped = parse(head + longLine + "a=control:after\r\n", 1000);
    ASSERT_EQ(skipped.count, 1);
    EXPECT_EQ(skipped.tracks[0].control, "after");
    // One that just fits is read.
    std::string fits = "a=control:" + std::string(RtspSdpParser::kMaxLineBytes - 10, 'c') + "\r\n";
    EXPECT_EQ(parse(head + fits).tracks[0].control.size(), RtspSdpParser::kMaxLineBytes - 10);
}

TEST(SdpParse, RealCameras) {
    struct Case {
        const char* file;
        int count;
        std::vector<std::pair<int, std::string>> tracks;  // index, track
    };
    const Case cases[] = {
        // Absolute control URLs with a query; the session-level control is not a track's.
        {"retina_hikvision.sdp",
         2,
         {{0,
           "video 96 H264/90000 rtsp://192.168.5.106:554/Streaming/Channels/101/"
           "trackID=1?transportmode=unicast&profile=Profile_1"},
          {1,
           "application 107 vnd.onvif.metadata/90000 rtsp://192.168.5.106:554/Streaming/Channels/101/"
           "trackID=3?transportmode=unicast&profile=Profile_1"}}},
        {"retina_dahua_h265_pcma.sdp",
         2,
         {{0, "video 98 H265/90000 trackID=0"}, {1, "audio 8 PCMA/8000 trackID=1"}}},
        // LF line ends; H.264 on a static payload type.
        {"gortsplib_bosch_live_view.sdp",
         1,
         {{0, "video 35 H264/90000 rtsp://10.100.14.102:554/?inst=2&h26x=4&stream=video"}}},
        // No line end after the last line; audio rtpmap with a channel count.
        {"retina_anpviz.sdp",
         2,
         {{0, "video 96 H264/90000 trackID=1"}, {1, "audio 0 MPEG4-GENERIC/16000/2 trackID=2"}}},
        // MJPEG without rtpmap and an unknown media kind.
        {"go2rtc_live555_ipcam_mjpeg_vana.sdp",
         4,
         {{0, "video 0 /0 track1"}, {3, "vana 108 video.analysis/90000/500 track5"}}},
        // "m=application/TP-LINK 0 RTP/AVP smart/1/90000" is no media line: its attributes go to
        // the audio track before it, and the H.265 video is untouched.
        {"retina_tplink.sdp", 2, {{0, "video 96 H265/90000 track1"}, {1, "audio 95 TP-LINK/90000 track3"}}},
        // Video third, after two audio sections sharing payload type 96.
        {"retina_ubiquiti.sdp",
         3,
         {{1, "audio 96 opus/48000/2 trackID=1"}, {2, "video 97 H264/90000 trackID=2"}}},
        // Trailing tab and blank after the audio m= line.
        {"retina_vstarcam.sdp", 2, {{1, "audio 8 PCMA/8000/1 track1"}}},
    };
    for (const Case& c : cases) {
        Table t = parse(cameraSdp(c.file));
        ASSERT_EQ(t.count, c.count) << c.file;
        for (const auto& [index, track] : c.tracks) EXPECT_EQ(str(t.tracks[index]), track) << c.file;
    }
}

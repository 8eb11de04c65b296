// DESCRIBE bodies to track tables: the line rules, bodies in pieces, bounds, and real cameras' SDPs.
#include <dirent.h>
#include <gtest/gtest.h>

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

void expectTrack(const RtspTrack& t, const std::string& media, uint32_t pt, const std::string& format,
                 uint32_t clock, const std::string& control) {
    EXPECT_EQ(t.media, media);
    EXPECT_EQ(t.payloadType, pt);
    EXPECT_EQ(t.format, format);
    EXPECT_EQ(t.clockRate, clock);
    EXPECT_EQ(t.control, control);
}

void expectSameTable(const Table& a, const Table& b, const std::string& what) {
    ASSERT_EQ(a.count, b.count) << what;
    for (int i = 0; i < RtspSdpParser::kMaxTracks; ++i) {
        EXPECT_EQ(a.tracks[i].media, b.tracks[i].media) << what << " track " << i;
        EXPECT_EQ(a.tracks[i].payloadType, b.tracks[i].payloadType) << what << " track " << i;
        EXPECT_EQ(a.tracks[i].format, b.tracks[i].format) << what << " track " << i;
        EXPECT_EQ(a.tracks[i].clockRate, b.tracks[i].clockRate) << what << " track " << i;
        EXPECT_EQ(a.tracks[i].control, b.tracks[i].control) << what << " track " << i;
    }
}

std::string cameraSdp(const std::string& name) {
    std::ifstream in(std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/sdp/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> allCameraSdps() {
    std::vector<std::string> names;
    std::string dir = std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/sdp";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".sdp") == 0) names.push_back(n);
        }
        closedir(d);
    }
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
    expectTrack(t.tracks[0], "video", 96, "H264", 90000, "trackID=1");
    expectTrack(t.tracks[1], "audio", 8, "PCMA", 8000, "trackID=2");
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
    expectTrack(session.track(1), "audio", 8, "PCMA", 8000, "trackID=2");
    EXPECT_EQ(CurlRtsp::fParseDescribe(&body[0], 1, 4, nullptr), 4u);
}

TEST(SdpParse, LineRules) {
    // Blanks around '=' and ':' of a control line are allowed.
    Table spaced = parse("m=video 0 RTP/AVP 96\na = control : trackID=1\n");
    EXPECT_EQ(spaced.tracks[0].control, "trackID=1");

    // A control needs two characters; a one-character one leaves the control empty.
    Table shortControl = parse("m=video 0 RTP/AVP 96\na=control:1\n");
    ASSERT_EQ(shortControl.count, 1);
    EXPECT_EQ(shortControl.tracks[0].control, "");

    // The encoding name runs to the last slash followed by digits.
    Table aac = parse("m=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/441/2\r\n");
    expectTrack(aac.tracks[0], "audio", 97, "MPEG4-GENERIC/441", 2, "");

    // RTP/AVPF and RTP/SAVP sections are not media lines: their attributes land on the track before.
    Table avpf = parse(
        "m=video 0 RTP/AVP 96\r\na=control:trackID=1\r\nm=video 0 RTP/AVPF 97\r\n"
        "a=control:trackID=2\r\nm=video 0 RTP/SAVP 98\r\na=rtpmap:98 H265/90000\r\n");
    ASSERT_EQ(avpf.count, 1);
    expectTrack(avpf.tracks[0], "video", 98, "H265", 90000, "trackID=2");

    // Session-level attributes touch no track; a later attribute of a section replaces an earlier one.
    Table later = parse(
        "a=control:rtsp://h/s\r\na=rtpmap:1 X/1\r\nm=video 0 RTP/AVP 96\r\na=control:a1\r\n"
        "a=rtpmap:96 H264/90000\r\na=control:a2\r\na=rtpmap:97 H265/90000\r\n");
    ASSERT_EQ(later.count, 1);
    expectTrack(later.tracks[0], "video", 97, "H265", 90000, "a2");

    // CR, LF and CRLF end lines; empty lines are skipped.
    Table ends = parse("m=video 0 RTP/AVP 96\ra=control:c1\n\n\r\nm=audio 0 RTP/AVP 0\r\r\na=control:c2");
    ASSERT_EQ(ends.count, 2);
    EXPECT_EQ(ends.tracks[0].control, "c1");
    EXPECT_EQ(ends.tracks[1].control, "c2");

    EXPECT_EQ(parse("v=0\r\ns=no media\r\na=control:*\r\n").count, 0);
    EXPECT_EQ(parse("").count, 0);
}

TEST(SdpParse, BodyInPiecesGivesTheSameTracksAsOnePiece) {
    std::vector<std::string> bodies = {kVideoAndAudio};
    for (const std::string& name : allCameraSdps()) bodies.push_back(cameraSdp(name));
    ASSERT_GT(bodies.size(), 40u) << "camera SDPs missing";
    for (const std::string& body : bodies) {
        Table whole = parse(body);
        for (size_t piece : {1, 2, 3, 5, 13, 64, 500}) {
            expectSameTable(whole, parse(body, piece), "pieces of " + std::to_string(piece));
            // Between pieces the table already reads as if the body ended there.
            expectSameTable(whole, parse(body, piece, false),
                            "unfinished, pieces of " + std::to_string(piece));
        }
    }
}

TEST(SdpParse, AnUnfinishedLineCountsOnlyOnceWhenCompleted) {
    RtspSdpParser parser;
    Table t;
    parser.feed("m=video 0 RTP/AVP 9", 19, t.tracks.data(), &t.count);
    EXPECT_EQ(t.count, 1);
    parser.feed("6\r\na=control:tra", 16, t.tracks.data(), &t.count);
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.tracks[0].control, "tra");
    parser.feed("ckID=1\r\nm=audio 0 RTP/AVP 0\r\n", 29, t.tracks.data(), &t.count);
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(t.tracks[0].control, "trackID=1");
    EXPECT_EQ(t.tracks[1].media, "audio");
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
        expectTrack(t.tracks[i], "video", 96 + i, "H264", 90000, "track" + std::to_string(i));
    }
    EXPECT_NE(err.find("more than 5 media sections"), std::string::npos) << err;
    // Pieces change nothing, and a new body starts from an empty table.
    expectSameTable(t, parse(body, 7), "pieces");
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
    expectTrack(t.tracks[0], "video", 96, "H264", 90000, "trackID=1");
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
    {
        // Absolute control URLs with a query; the session-level control is not a track's.
        Table t = parse(cameraSdp("retina_hikvision.sdp"));
        ASSERT_EQ(t.count, 2);
        expectTrack(t.tracks[0], "video", 96, "H264", 90000,
                    "rtsp://192.168.5.106:554/Streaming/Channels/101/"
                    "trackID=1?transportmode=unicast&profile=Profile_1");
        expectTrack(t.tracks[1], "application", 107, "vnd.onvif.metadata", 90000,
                    "rtsp://192.168.5.106:554/Streaming/Channels/101/"
                    "trackID=3?transportmode=unicast&profile=Profile_1");
    }
    {
        Table t = parse(cameraSdp("retina_dahua_h265_pcma.sdp"));
        ASSERT_EQ(t.count, 2);
        expectTrack(t.tracks[0], "video", 98, "H265", 90000, "trackID=0");
        expectTrack(t.tracks[1], "audio", 8, "PCMA", 8000, "trackID=1");
    }
    {
        // LF line ends; H.264 on a static payload type.
        Table t = parse(cameraSdp("gortsplib_bosch_live_view.sdp"));
        ASSERT_EQ(t.count, 1);
        expectTrack(t.tracks[0], "video", 35, "H264", 90000,
                    "rtsp://10.100.14.102:554/?inst=2&h26x=4&stream=video");
    }
    {
        // No line end after the last line; audio rtpmap with a channel count.
        Table t = parse(cameraSdp("retina_anpviz.sdp"));
        ASSERT_EQ(t.count, 2);
        expectTrack(t.tracks[0], "video", 96, "H264", 90000, "trackID=1");
        expectTrack(t.tracks[1], "audio", 0, "MPEG4-GENERIC/16000", 2, "trackID=2");
    }
    {
        // MJPEG without rtpmap and an unknown media kind.
        Table t = parse(cameraSdp("go2rtc_live555_ipcam_mjpeg_vana.sdp"));
        ASSERT_EQ(t.count, 4);
        expectTrack(t.tracks[0], "video", 0, "", 0, "track1");
        expectTrack(t.tracks[3], "vana", 108, "video.analysis/90000", 500, "track5");
    }
    {
        // "m=application/TP-LINK 0 RTP/AVP smart/1/90000" is no media line: its attributes go to
        // the audio track before it, and the H.265 video is untouched.
        Table t = parse(cameraSdp("retina_tplink.sdp"));
        ASSERT_EQ(t.count, 2);
        expectTrack(t.tracks[0], "video", 96, "H265", 90000, "track1");
        expectTrack(t.tracks[1], "audio", 95, "TP-LINK", 90000, "track3");
    }
    {
        // Video third, after two audio sections sharing payload type 96.
        Table t = parse(cameraSdp("retina_ubiquiti.sdp"));
        ASSERT_EQ(t.count, 3);
        expectTrack(t.tracks[1], "audio", 96, "opus/48000", 2, "trackID=1");
        expectTrack(t.tracks[2], "video", 97, "H264", 90000, "trackID=2");
    }
    {
        // Trailing tab and blank after the audio m= line.
        Table t = parse(cameraSdp("retina_vstarcam.sdp"));
        ASSERT_EQ(t.count, 2);
        expectTrack(t.tracks[1], "audio", 8, "PCMA/8000", 1, "track1");
    }
}

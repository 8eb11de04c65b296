// The RTSP session against the scriptable test camera: what the camera sees on the wire, how
// refusals, slow answers and silence end up, and what reaches the interleaved-frame callback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testkit/child_process.h"
#include "testkit/test_camera.h"
#include "tests/client_test_support.h"
#include "tests/log_capture.h"
#include "tests/thread_wait.h"
#include "utils/curl_rtsp.h"

namespace {

using client_test::cameraSdp;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;
using ::testing::HasSubstr;

constexpr const char* kUserAgent = "Qel Rtsp Client/1.0";
constexpr unsigned short kRtpPort = 40000;

// Frames as mTcpRecvCallback receives them.
class FrameSink {
public:
    void bind(CurlRtsp& session) {
        session.mTcpRecvCallback = [this](void* data, unsigned long len) {
            std::lock_guard<std::mutex> lock(mMutex);
            mFrames.emplace_back(static_cast<const char*>(data), len);
            mChanged.notify_all();
        };
    }
    bool waitFor(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return mFrames.size() >= count; });
    }
    Strings frames() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mFrames;
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    Strings mFrames;
};

std::string interleaved(uint8_t channel, const std::string& payload) {
    std::string f = "$";
    f.push_back(static_cast<char>(channel));
    f.push_back(static_cast<char>(payload.size() >> 8));
    f.push_back(static_cast<char>(payload.size() & 0xFF));
    return f + payload;
}

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed) & 0xFF);
    return s;
}

class CurlRtspSession : public ::testing::Test {
protected:
    void startCamera(CameraScript script = CameraScript()) {
        camera = std::make_unique<TestCamera>(std::move(script));
        ASSERT_TRUE(camera->start());
    }
    std::unique_ptr<CurlRtsp> makeSession(bool tcp, const std::string& user = "",
                                          const std::string& password = "", const std::string& url = "") {
        return std::make_unique<CurlRtsp>(url.empty() ? camera->url() : url, kRtpPort, kRtpPort + 1, user,
                                          password, tcp);
    }
    // The camera's URL with credentials in it, as users paste it, and as log lines must show it.
    std::string urlWithPassword() const { return "rtsp://admin:s3cret@" + camera->url().substr(7); }
    std::string maskedUrl() const { return "rtsp://admin:***@" + camera->url().substr(7); }
    // The URLs SETUP went to.
    Strings setupUrls() const {
        Strings urls;
        for (const auto& r : authorizedOf("SETUP")) urls.push_back(r.url);
        return urls;
    }
    // Starts a session against the camera with the log captured; returns startCurl's result.
    bool startLogged(CurlRtsp& session, LogCapture& log) {
        bool started = session.startCurl();
        log.stop();
        return started;
    }
    std::vector<CameraRequest> authorizedOf(const std::string& method) const {
        std::vector<CameraRequest> out;
        for (const auto& r : camera->requests())
            if (r.method == method && r.authorized) out.push_back(r);
        return out;
    }
    std::unique_ptr<TestCamera> camera;
};

}  // namespace

// Bodies without a consumer (every answer's but DESCRIBE's, interleaved data on a UDP session
// read with the TEARDOWN answer) are discarded, never logged or taken for SDP.
TEST_F(CurlRtspSession, UdpSessionSendsTheStandardRequestSequenceAndDiscardsOtherBodies) {
    CameraScript script;
    script.framesAfterPlay = {{0, "JUNK-FRAME", 0, 0}};
    for (const char* method : {"OPTIONS", "SETUP", "PLAY", "TEARDOWN"}) {
        script.replies[method].replaceBody = true;
        script.replies[method].body = "JUNK-BODY\r\nm=video 0 RTP/AVP 1\r\na=control:junk\r\n";
    }
    startCamera(script);
    auto session = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(session->startCurl());
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}));
    std::vector<CameraRequest> r = camera->requests();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_FALSE(r[0].hasHeader("User-Agent"));
    // Only the video track is set up, at the base URL joined with its relative control.
    EXPECT_EQ(r[2].url, camera->url() + "/trackID=1");
    EXPECT_EQ(r[2].header("Transport"), "RTP/AVP;unicast;client_port=40000-40001");
    EXPECT_EQ(r[3].header("Range"), "npt=0.000-");
    EXPECT_EQ(r[3].header("Session"), "6B8B4567");
    for (size_t i : {0, 1, 3}) EXPECT_EQ(r[i].url, camera->url()) << r[i].method;
    for (size_t i : {1, 2, 3}) EXPECT_EQ(r[i].header("User-Agent"), kUserAgent) << r[i].method;

    session->stopCurl();
    log.stop();
    EXPECT_EQ(log.outCount("JUNK"), 0) << log.out;
    EXPECT_EQ(session->trackCount(), 2);
    EXPECT_EQ(session->track(0).format + " " + session->track(0).control, "H264 trackID=1");
    std::vector<CameraRequest> teardown = authorizedOf("TEARDOWN");
    ASSERT_EQ(teardown.size(), 1u);
    EXPECT_EQ(teardown[0].url, camera->url());
    EXPECT_EQ(teardown[0].header("Session"), "6B8B4567");
    EXPECT_EQ(teardown[0].header("User-Agent"), kUserAgent);
    EXPECT_EQ(teardown[0].status, 200);
    int lastCseq = 0;
    for (const auto& req : camera->requests()) {
        EXPECT_GT(std::stoi(req.header("CSeq")), lastCseq) << req.method;
        lastCseq = std::stoi(req.header("CSeq"));
    }
}

TEST_F(CurlRtspSession, TcpSessionSetsUpEachTrackAndDeliversEveryInterleavedFrameWhole) {
    CameraScript script;
    script.sdp =
        "v=0\r\ns=two videos\r\n"
        "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:main\r\n"
        "m=video 0 RTP/AVP 97\r\na=rtpmap:97 H265/90000\r\na=control:sub\r\n";
    // Sent the moment PLAY is answered, some split across writes, including inside the header.
    // (libcurl holds back a frame with no payload until more bytes follow it.)
    script.framesAfterPlay = {
        {0, pattern(1400, 1), 0, 0}, {1, pattern(28, 2), 0, 0},      {0, std::string(), 0, 0},
        {0, pattern(500, 3), 0, 2},  {0, pattern(1000, 4), 50, 600},
    };
    startCamera(script);
    // stopCurl() waits for the RECEIVE the camera leaves unanswered: bounded by the time-out.
    client_test::ScopedTimeConstants quick(3000, 1000, 25000, /*requestTimeoutMs=*/500);
    CurlRtsp session(camera->url(), 52000, 52001, "", "", true);  // the ports play no part
    FrameSink sink;
    sink.bind(session);
    ASSERT_TRUE(session.startCurl());
    std::vector<CameraRequest> setup = authorizedOf("SETUP");
    ASSERT_EQ(setup.size(), 2u);
    EXPECT_EQ(setup[0].url, camera->url() + "/main");
    EXPECT_EQ(setup[1].url, camera->url() + "/sub");
    // Each track names its channel pair: servers such as MediaMTX refuse a TCP SETUP without one.
    EXPECT_EQ(setup[0].header("Transport"), "RTP/AVP/TCP;unicast;interleaved=0-1");
    EXPECT_EQ(setup[1].header("Transport"), "RTP/AVP/TCP;unicast;interleaved=2-3");

    ASSERT_TRUE(sink.waitFor(script.framesAfterPlay.size(), 5000)) << sink.frames().size();
    Strings frames = sink.frames();
    ASSERT_EQ(frames.size(), script.framesAfterPlay.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const CameraFrame& sent = script.framesAfterPlay[i];
        EXPECT_EQ(frames[i], interleaved(sent.channel, sent.payload)) << "frame " << i;
    }
    session.stopCurl();
}

struct AuthCase {
    const char* name;
    CameraScript::Auth auth;
    bool qop;
    const char* scheme;
};

void PrintTo(const AuthCase& c, std::ostream* os) {
    *os << c.name;
}

class CurlRtspAuth : public CurlRtspSession, public ::testing::WithParamInterface<AuthCase> {};

TEST_P(CurlRtspAuth, RightCredentialsPlayAndWrongOnesFailDescribe) {
    CameraScript script;
    script.auth = GetParam().auth;
    script.digestQop = GetParam().qop;
    script.user = "admin";
    script.password = "s3cret:pw";
    startCamera(script);

    auto session = makeSession(false, "admin", "s3cret:pw");
    ASSERT_TRUE(session->startCurl());
    session->stopCurl();
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "TEARDOWN"}));
    for (const auto& r : authorizedOf("DESCRIBE"))
        EXPECT_EQ(r.header("Authorization").rfind(GetParam().scheme, 0), 0u);
    // No credentials before the camera asked; without allowBasicAuth never in Basic.
    EXPECT_FALSE(camera->requests()[0].hasHeader("Authorization"));
    RtspClientOptions digestOnly;
    digestOnly.allowBasicAuth = false;
    auto strict = makeSession(false, "admin", "s3cret:pw");
    strict->setOptions(digestOnly);
    const size_t from = camera->requests().size();
    LogCapture strictLog;
    EXPECT_EQ(startLogged(*strict, strictLog), GetParam().auth != CameraScript::Auth::Basic);
    strict.reset();
    const std::vector<CameraRequest> sent = camera->requests();
    for (size_t i = from; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].header("Authorization").find("Basic"), std::string::npos);

    // Refused at DESCRIBE (the lines it logs: CurlRtspRefusal), nothing is set up.
    auto wrong = makeSession(false, "admin", "guess");
    size_t before = camera->requests().size();
    LogCapture log;
    EXPECT_FALSE(startLogged(*wrong, log));
    std::vector<CameraRequest> all = camera->requests();
    for (size_t i = before; i < all.size(); ++i) {
        EXPECT_FALSE(all[i].authorized) << all[i].method;
        EXPECT_NE(all[i].method, "SETUP");
    }
}

INSTANTIATE_TEST_SUITE_P(Schemes, CurlRtspAuth,
                         ::testing::Values(AuthCase{"Basic", CameraScript::Auth::Basic, false, "Basic "},
                                           AuthCase{"Digest", CameraScript::Auth::Digest, false, "Digest "},
                                           AuthCase{"DigestQop", CameraScript::Auth::Digest, true,
                                                    "Digest "}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* method;
    int status;
    Strings seen;  // the authorized requests the camera sees, in order
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.method << " " << c.status;
}

class CurlRtspRefusal : public CurlRtspSession, public ::testing::WithParamInterface<RefusalCase> {};

// A refused OPTIONS only warns and the session plays; any later refusal fails the start with one
// line naming it, and a refused or hung-up start sends no TEARDOWN. The lines show the URL with
// its password masked.
TEST_P(CurlRtspRefusal, AnErrorStatusFailsTheStartWithOneLineNamingIt) {
    // The lines counted are those of the answers: on a machine busy enough to stall the camera
    // past libcurl's 3-s request time-out the start would fail with other lines.
    client_test::ScopedTimeConstants patient(3000, 1000, 25000, /*requestTimeoutMs=*/60000);
    startCamera();
    const std::string method = GetParam().method;
    CameraReply reply;
    if (GetParam().status == 0)
        reply.action = CameraReply::Action::Close;
    else
        reply.status = GetParam().status;
    camera->queueReply(method, reply);
    auto session = makeSession(false, "", "", urlWithPassword());
    LogCapture log;
    EXPECT_EQ(startLogged(*session, log), method == "OPTIONS");
    EXPECT_EQ(log.err.find("s3cret") + log.out.find("s3cret"), 2 * std::string::npos) << log.err << log.out;
    EXPECT_EQ(camera->methods(), GetParam().seen);
    std::string url = method == "SETUP" ? maskedUrl() + "/trackID=1" : maskedUrl();
    std::string status = std::to_string(GetParam().status);
    if (method == "OPTIONS") {
        EXPECT_THAT(log.err, HasSubstr("W/: (options in curl_rtsp.cpp:"));
        EXPECT_THAT(log.err,
                    HasSubstr("RTSP OPTIONS answered with status " + status + ", going on: " + url + "\n"));
        EXPECT_EQ(log.errCount("E/:"), 0) << log.err;
        session->stopCurl();
        return;
    }
    if (GetParam().status != 0) {
        EXPECT_EQ(log.errCount("RTSP " + method + " answered with status " + status + ": " + url + "\n"), 1)
            << log.err;
    }
    EXPECT_EQ(log.errCount(method + " " + maskedUrl() + " failed.\n"), method == "DESCRIBE" ? 0 : 1);
    session.reset();
    EXPECT_EQ(authorizedOf("TEARDOWN").size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, CurlRtspRefusal,
    ::testing::Values(RefusalCase{"OPTIONS", 501, {"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}},
                      RefusalCase{"DESCRIBE", 404, {"OPTIONS", "DESCRIBE"}},
                      RefusalCase{"SETUP", 461, {"OPTIONS", "DESCRIBE", "SETUP"}},
                      RefusalCase{"SETUP", 0, {"OPTIONS", "DESCRIBE", "SETUP"}},  // hangs up
                      RefusalCase{"PLAY", 454, {"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}}),
    [](const auto& info) { return std::string(info.param.method) + std::to_string(info.param.status); });

// libcurl's request time-out (3 s, shortened here): a slow answer fails its request, and a
// silent TCP camera ends the receive thread.
TEST_F(CurlRtspSession, RequestTimeOutFailsSlowAnswersAndEndsASilentReceive) {
    client_test::ScopedTimeConstants quick(3000, 1000, 25000, /*requestTimeoutMs=*/300);
    startCamera();
    auto silent = makeSession(true);
    FrameSink sink;
    sink.bind(*silent);
    TestCamera slowCamera;
    ASSERT_TRUE(slowCamera.start());
    CameraReply slow;
    slow.delayMs = 700;
    slowCamera.queueReply("DESCRIBE", slow);
    CurlRtsp slowSession("rtsp://admin:s3cret@" + slowCamera.url().substr(7), kRtpPort, kRtpPort + 1, "", "",
                         false);
    LogCapture log;
    auto start = Clock::now();
    ASSERT_TRUE(silent->startCurl());
    EXPECT_FALSE(slowSession.startCurl());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    // The RECEIVE started with PLAY times out; the thread then logs its end.
    std::this_thread::sleep_until(start + std::chrono::milliseconds(1200));
    log.stop();
    EXPECT_THAT(log.err, HasSubstr("[describe:"));
    EXPECT_THAT(log.err,
                HasSubstr("] check error(28)! rtsp://admin:***@" + slowCamera.url().substr(7) + ", \n"));
    EXPECT_THAT(log.err, HasSubstr("W/: (requestReceive in curl_rtsp.cpp:"));
    EXPECT_THAT(log.err, HasSubstr("rtsp tcp receive request timeout .\n"));
    EXPECT_THAT(log.out, HasSubstr("D/: curl rtsp tcp receive over !\n"));
    EXPECT_TRUE(sink.frames().empty());
    silent->stopCurl();
    EXPECT_EQ(authorizedOf("TEARDOWN").size(), 1u);
}

TEST_F(CurlRtspSession, UrlsOf1024BytesOrMoreAreRefused) {
    startCamera();
    std::string base = camera->url();
    std::string tooLong = base + "/" + std::string(CurlRtsp::kMaxUrlBytes - base.size() - 1, 'u');
    ASSERT_EQ(tooLong.size(), CurlRtsp::kMaxUrlBytes);
    {
        CurlRtsp session(tooLong, kRtpPort, kRtpPort + 1, "", "", false);
        LogCapture log;
        EXPECT_FALSE(startLogged(session, log));
        EXPECT_THAT(log.err, HasSubstr("rtsp url of 1024 bytes refused"));
    }
    EXPECT_TRUE(camera->requests().empty());

    // A URL that fits, joined with a control into a track URL that does not.
    CameraScript script;
    script.sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:track\r\n";
    startCamera(script);
    std::string fits =
        camera->url() + "/" + std::string(CurlRtsp::kMaxUrlBytes - camera->url().size() - 4, 'u');
    CurlRtsp session(fits, kRtpPort, kRtpPort + 1, "", "", false);
    LogCapture log;
    EXPECT_FALSE(startLogged(session, log));
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE"}));
    EXPECT_THAT(log.err, HasSubstr("rtsp SETUP refused"));
}

TEST_F(CurlRtspSession, KeepaliveEveryIntervalSurvivesARefusal) {
    client_test::ScopedTimeConstants interval(3000, 1000, /*keepAliveMs=*/150);
    startCamera();
    CameraReply refused;
    refused.status = 451;
    camera->queueReply("GET_PARAMETER", refused);
    auto session = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(session->startCurl());
    auto played = Clock::now();
    ASSERT_TRUE(camera->waitForRequests("GET_PARAMETER", 2, 5000));
    EXPECT_GE(Clock::now() - played, std::chrono::milliseconds(300));
    // (Its URL and headers: those of every request on the base URL, checked with the TEARDOWN.)
    // The refused keep-alive is logged; the session goes on and tears down normally.
    session->stopCurl();
    log.stop();
    EXPECT_THAT(log.err, HasSubstr("RTSP GET_PARAMETER answered with status 451: " + camera->url() + "\n"));
    EXPECT_EQ(log.errCount("getParameter keepalive error !\n"), 1);
    Strings methods = camera->methods();
    EXPECT_EQ(Strings(methods.begin(), methods.begin() + 5),
              (Strings{"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "GET_PARAMETER"}));
    EXPECT_EQ(methods.back(), "TEARDOWN");
}

// A session lost between requests is reported once, at once: a closed RTSP connection (UDP: the
// keep-alive thread waits on it; TCP: the relay's) or one the camera closes instead of answering a
// keep-alive is Closed, a keep-alive left unanswered is Error; a stopped session is not reported.
TEST_F(CurlRtspSession, SessionLostBetweenRequestsIsReportedOnce) {
    using Action = CameraReply::Action;
    const struct {
        bool tcp, drop;
        Action keepAlive;
        int calls;
        RtspClientReason reason;
    } cases[] = {{false, true, Action::Answer, 1, RtspClientReason::Closed},
                 {true, true, Action::Answer, 1, RtspClientReason::Closed},
                 {false, false, Action::Close, 1, RtspClientReason::Closed},
                 {false, false, Action::Silence, 1, RtspClientReason::Error},
                 {false, false, Action::Answer, 0, RtspClientReason::None}};
    for (const auto& c : cases) {
        client_test::ScopedTimeConstants interval(3000, 1000, c.drop ? 25000 : 100, 500);
        CameraScript script;
        script.replies["GET_PARAMETER"].action = c.keepAlive;
        startCamera(script);
        auto session = makeSession(c.tcp);
        RtspClientOptions options;
        options.directInterleavedRead = true;
        session->setOptions(options);
        std::atomic<int> calls{0};
        std::atomic<RtspClientReason> reason{RtspClientReason::None};
        session->mSessionLostCallback = [&](RtspClientReason r) {
            reason = r;
            ++calls;
        };
        ASSERT_TRUE(session->startCurl());
        if (c.drop) camera->dropConnections();
        EXPECT_EQ(thread_wait::waitUntil([&] { return calls > 0; }, c.calls > 0 ? 2000 : 0), c.calls > 0);
        session->stopCurl();
        session.reset();
        EXPECT_EQ(calls.load(), c.calls);
        EXPECT_EQ(reason.load(), c.reason);
    }
}

// Camera bodies of each shape (track order, absolute and relative controls, no video offer) and
// edits of real bodies, played with the real-camera reading: a body with an H.264/H.265 offer gets
// exactly one SETUP, for that track, at its control; a body without one gets none. With the
// defaults, the cases marked so lose it. The parser reads every body of the data set in sdp_parse_test.
TEST_F(CurlRtspSession, CameraBodiesWithH26xVideoGetOneSetupAtTheirControl) {
    struct Case {
        std::string file;
        std::string from, to;  // an edit of the body: `from` replaced by `to`; "^" puts `to` in front
        std::string control;   // relative to the request URL, or absolute; "" for no SETUP
        bool defaultsOk;
    };
    const std::string hikvision = "rtsp://192.168.1.12:554/Streaming/channels/101/trackID=1";
    std::vector<Case> cases = {
        {"go2rtc_fmtp_in_wrong_media_section.sdp", "", "", "track0", true},
        {"go2rtc_hikvision_pcm_l16.sdp", "", "", hikvision, true},
        {"go2rtc_reolink_bc_streaming_backchannel.sdp", "", "", "track1", true},
        {"gortsplib_altasec_nvr.sdp", "", "", "0", false},  // one-character control
        {"gortsplib_bosch_live_view.sdp", "", "", "rtsp://10.100.14.102:554/?inst=2&h26x=4&stream=video",
         true},
        // MP4V-ES, H.264 and FCAM on one m= line: the last rtpmap won.
        {"gortsplib_flir_ir_camera.sdp", "", "", "rtsp://172.16.2.20/sid=96&overlay=on", false},
        {"gortsplib_h265_camera_no_session_name.sdp", "", "", "trackID=3", true},
        {"gortsplib_unknown_rtsp_server_empty_origin_addr.sdp", "", "",
         "rtsp://10.10.1.30:8554/onvif2/audio/trackID=0", true},
        {"retina_bunny.sdp", "", "", "trackID=2", true},
        {"retina_hikvision.sdp", "", "",
         "rtsp://192.168.5.106:554/Streaming/Channels/101/trackID=1?transportmode=unicast&profile=Profile_1",
         true},
        {"retina_missing_content_type.sdp", "", "", "streamid=0", true},
        {"retina_reolink_control_first.sdp", "", "", "trackID=1", true},
        {"retina_tplink.sdp", "", "", "track1", true},
        // Edits of real bodies: lower-case names, AVPF/SAVP media lines, a sixth section.
        {"retina_dahua_h265_pcma.sdp", "H265/", "h265/", "trackID=0", false},
        {"retina_reolink.sdp", "m=video 0 RTP/AVP ", "m=video 0 RTP/AVPF ", "trackID=1", false},
        {"retina_vitek.sdp", "m=video 0 RTP/AVP ", "m=video 0 RTP/SAVP ", "trackID=0", false},
        {"gortsplib_camera_no_v0_fragment.sdp", "^",
         "m=audio 0 RTP/AVP 0\r\na=control:a1\r\nm=audio 0 RTP/AVP 0\r\na=control:a2\r\nm=audio 0 RTP/AVP "
         "0\r\n"
         "a=control:a3\r\nm=audio 0 RTP/AVP 0\r\na=control:a4\r\nm=audio 0 RTP/AVP 0\r\na=control:a5\r\n",
         "trackID=0", false},
        // Two video offers: one receiver takes the first.
        {"gortsplib_camera_no_v0_fragment.sdp", "^",
         "m=video 0 RTP/AVP 97\r\na=rtpmap:97 H265/90000\r\na=control:main\r\n", "main", false},
    };
    // No H.264/H.265 offer: MJPEG, metadata, no media at all. No SETUP, still a PLAY.
    for (const char* file :
         {"go2rtc_live555_ipcam_mjpeg_vana.sdp", "gortsplib_udp_technology_metadata_fragment.sdp",
          "gortsplib_undisclosed_camera_c_missing_addrtype_ipv4.sdp"})
        cases.push_back({file, "", "", "", true});
    for (const Case& c : cases) {
        CameraScript script;
        script.sdp = cameraSdp(c.file);
        if (c.from == "^") {
            script.sdp = c.to + script.sdp;
        } else if (!c.from.empty()) {
            script.sdp.replace(script.sdp.find(c.from), c.from.size(), c.to);
        }
        for (bool real : {true, false}) {
            SCOPED_TRACE(c.file + " " + c.to + (real ? " real-camera reading" : " defaults"));
            startCamera(script);
            Strings expected;
            if (!c.control.empty())
                expected.push_back(c.control.rfind("rtsp://", 0) == 0 ? c.control
                                                                      : camera->url() + "/" + c.control);
            RtspClientOptions options;
            options.realCameraSdp = real;
            auto session = makeSession(false);
            session->setOptions(options);
            LogCapture log;
            EXPECT_TRUE(startLogged(*session, log));
            if (real || c.defaultsOk) {
                EXPECT_EQ(setupUrls(), expected);
            } else {
                EXPECT_NE(setupUrls(), expected);
            }
            EXPECT_EQ(camera->methods().back(), "PLAY");
            // The default reading does not take a one-character control; the track is skipped.
            if (!real && c.file == "gortsplib_altasec_nvr.sdp") {
                EXPECT_THAT(log.err, HasSubstr("curl: rtsp setup error, track is null.\n"));
            }
            session->stopCurl();
        }
    }
}

// PLAY, keep-alives and TEARDOWN go to the same base (the aggregate control), which keeps the
// query where the camera put it: Dahua after the path, GStreamer nowhere.
TEST_F(CurlRtspSession, RelativeControlsFollowContentBaseThenContentLocationThenTheRequestUrl) {
    struct Case {
        std::string contentBase, contentLocation;
        bool real;
        std::string expected;  // "" for the request URL + "/trackID=1"
        std::string play;      // "" for the request URL
        std::string path = "/live";
    };
    const std::string dahua = "rtsp://10.0.0.3/cam/realmonitor?channel=1&subtype=0/";
    const Case cases[] = {
        // An H264DVR camera names itself 127.0.0.1:554/camera whatever the address it was asked on.
        {"rtsp://127.0.0.1:554/camera", "", true, "rtsp://127.0.0.1:554/camera/trackID=1",
         "rtsp://127.0.0.1:554/camera"},
        {"", "rtsp://127.0.0.1:1/located/", true, "rtsp://127.0.0.1:1/located/trackID=1",
         "rtsp://127.0.0.1:1/located/"},
        // Anjvision leaves the scheme out: no base, the request URL serves.
        {"192.168.1.10:554/stream0/", "", true, "", ""},
        {"rtsp://127.0.0.1:554/camera", "", false, "", ""},
        {dahua, "", true, dahua + "trackID=1", dahua, "/cam/realmonitor?channel=1&subtype=0"},
        {"rtsp://10.0.0.3/live/", "", false, "rtsp://10.0.0.3/live/trackID=1", "rtsp://10.0.0.3/live/",
         "/live?channel=1"},
    };
    for (const Case& c : cases) {
        CameraScript script;
        script.sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";
        script.replies["DESCRIBE"].headers = {{"Content-Base", c.contentBase}};
        if (!c.contentLocation.empty())
            script.replies["DESCRIBE"].headers.emplace_back("Content-Location", c.contentLocation);
        startCamera(script);
        RtspClientOptions options;
        options.realCameraSdp = c.real;
        auto session = makeSession(false, "", "", camera->url(c.path));
        session->setOptions(options);
        ASSERT_TRUE(session->startCurl());
        EXPECT_EQ(setupUrls(), Strings{c.expected.empty() ? camera->url(c.path) + "/trackID=1" : c.expected})
            << c.contentBase << c.contentLocation;
        session->stopCurl();
        for (const char* method : {"PLAY", "TEARDOWN"}) {
            ASSERT_EQ(authorizedOf(method).size(), 1u);
            EXPECT_EQ(authorizedOf(method)[0].url, c.play.empty() ? camera->url(c.path) : c.play) << method;
        }
    }
}

// What the session learned before PLAY reaches the receiver before PLAY: the server's address,
// the video track's rtpmap and parameter sets, and the SETUP answer's transport.
TEST_F(CurlRtspSession, SessionInfoReachesTheReceiverBeforePlay) {
    client_test::ScopedTimeConstants quick(3000, 1000, 25000, /*requestTimeoutMs=*/500);  // see above
    for (bool tcp : {false, true}) {
        CameraScript script;
        script.sdp =
            "v=0\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:audio\r\n"
            "m=video 0 RTP/AVP 97\r\na=rtpmap:97 H265/90000\r\na=control:video\r\n"
            "a=fmtp:97 sprop-vps=QAEMAf//AWAAAAMAkAAAAwAAAwA/LAwAAgAAAwAoAAIAAgACgA==; "
            "sprop-sps=QgEBAWAAAAMAkAAAAwAAAwA/"
            "oAUCAXFlLkkyS7I=; sprop-pps=RAHA8vAzJA==\r\n";
        if (tcp)
            script.replies["SETUP"].headers = {
                {"Transport", "RTP/AVP/TCP;unicast;interleaved=6-7;ssrc=0A0B0C0D"}};
        // The video's entry, not the first one.
        script.replies["PLAY"].headers = {
            {"RTP-Info", "url=audio;seq=1;rtptime=2,url=video;seq=4660;rtptime=305419896;ssrc=0A0B0C0D"}};
        startCamera(script);
        auto session = makeSession(tcp);
        RtspSessionInfo seen;
        Strings methodsBefore, methodsAfter;
        session->mBeforePlayCallback = [&](const RtspSessionInfo& info) {
            seen = info;
            methodsBefore = camera->methods();
        };
        RtspRtpInfo rtpInfo;
        session->mAfterPlayCallback = [&](const RtspRtpInfo& info) {
            rtpInfo = info;
            methodsAfter = camera->methods();
        };
        ASSERT_TRUE(session->startCurl());
        EXPECT_EQ(methodsBefore, (Strings{"OPTIONS", "DESCRIBE", "SETUP"}));
        EXPECT_EQ(methodsAfter, (Strings{"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}));
        EXPECT_TRUE(!seen.rtpInfo.present && rtpInfo.present && rtpInfo.hasSeq && rtpInfo.hasSsrc);
        EXPECT_EQ(std::to_string(rtpInfo.seq) + " " + std::to_string(rtpInfo.rtpTime) + " " +
                      std::to_string(rtpInfo.ssrc),
                  "4660 305419896 168496141");
        EXPECT_EQ(session->sessionInfo().rtpInfo.seq, 4660);
        EXPECT_EQ(seen.serverIp, "127.0.0.1");
        EXPECT_EQ(
            seen.encoding + "/" + std::to_string(seen.payloadType) + "/" + std::to_string(seen.clockRate),
            "H265/97/90000");
        // What they hold is read as sdp_parse_test checks; here, that they arrive.
        EXPECT_EQ(seen.parameterSets.size(), 3u);  // VPS, SPS, PPS
        EXPECT_EQ(tcp ? seen.transport.rtpChannel : seen.transport.serverRtpPort, tcp ? 6 : 6970);
        EXPECT_EQ(session->sessionInfo().parameterSets, seen.parameterSets);
        session->stopCurl();
    }
}

// A control character in the URL, user name or password could end a request line or header
// early and start one of its own: nothing goes out, and one line says why without the secret.
TEST_F(CurlRtspSession, ControlCharactersInUrlOrCredentialsAreRefusedBeforeAnyRequest) {
    CameraScript script;
    script.auth = CameraScript::Auth::Digest;
    script.user = "admin";
    script.password = "pw";
    startCamera(script);
    struct Case {
        std::string url, user, password, what;
    };
    const Case cases[] = {
        {camera->url() + "\r\nX-Injected: yes", "admin", "pw", "url"},
        {camera->url(), "ad\nmin", "pw", "user name"},
        {camera->url(), "admin", "pw\r\nX-Injected: yes", "password"},
        {camera->url(), "admin", std::string("p\x7f", 2), "password"},
    };
    for (const Case& c : cases) {
        CurlRtsp session(c.url, kRtpPort, kRtpPort + 1, c.user, c.password, false);
        LogCapture log;
        EXPECT_FALSE(startLogged(session, log));
        EXPECT_EQ(log.errCount("E/:"), 1) << log.err;
        EXPECT_EQ(log.errCount("rtsp session refused: the " + c.what + " holds control characters\n"), 1)
            << log.err;
        EXPECT_EQ(log.err.find("Injected"), std::string::npos);
        session.stopCurl();
    }
    EXPECT_TRUE(camera->requests().empty()) << camera->requests().size();
}

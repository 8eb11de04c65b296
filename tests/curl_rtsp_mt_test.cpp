// The RTSP session against the scriptable test camera: what the camera sees on the wire, how
// refusals, slow answers and silence end up, and what reaches the interleaved-frame callback.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testkit/test_camera.h"
#include "tests/log_capture.h"
#include "utils/curl_rtsp.h"
#include "utils/networking/netsocket.h"

namespace {

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

// Sends a 12-byte RTP header with a rising sequence number on track 0 every 20 ms until the
// stream stops: RTP through the camera's streamer hook, interleaved or over UDP.
class TickStreamer : public CameraStreamer {
public:
    void run(CameraPlayContext& context) override {
        for (unsigned seq = 0; context.waitFor(20); ++seq) {
            uint8_t packet[12] = {0x80, 96,  uint8_t(seq >> 8), uint8_t(seq), 0, 0, 0, 0, 0x12, 0x34,
                                  0x56, 0x78};
            context.sendRtp(0, packet, sizeof(packet));
        }
    }
};

class CurlRtspSession : public ::testing::Test {
protected:
    void startCamera(CameraScript script = CameraScript()) {
        camera = std::make_unique<TestCamera>(std::move(script));
        ASSERT_TRUE(camera->start());
    }
    std::unique_ptr<CurlRtsp> makeSession(bool tcp, const std::string& user = "",
                                          const std::string& password = "") {
        return std::make_unique<CurlRtsp>(camera->url(), kRtpPort, kRtpPort + 1, user, password, tcp);
    }
    // Starts a session against the camera with the log captured; returns startCurl's result.
    bool startLogged(CurlRtsp& session, LogCapture& log) {
        bool started = session.startCurl();
        log.stop();
        return started;
    }
    std::vector<CameraRequest> authorizedOf(const std::string& method) const {
        std::vector<CameraRequest> out;
        for (const auto& r : camera->requests()) {
            if (r.method == method && r.authorized) out.push_back(r);
        }
        return out;
    }
    std::unique_ptr<TestCamera> camera;
};

}  // namespace

TEST_F(CurlRtspSession, UdpSessionSendsTheStandardRequestSequence) {
    startCamera();
    auto session = makeSession(false);
    ASSERT_TRUE(session->startCurl());
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}));
    ASSERT_EQ(session->trackCount(), 2);
    EXPECT_EQ(session->track(0).format, "H264");

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

TEST_F(CurlRtspSession, DestructionWithoutStopSendsNoTeardown) {
    startCamera();
    // Frames keep the receive thread's RECEIVE short, so joining it is quick.
    camera->setStreamerFactory([] { return std::make_unique<TickStreamer>(); });
    auto session = makeSession(true);
    ASSERT_TRUE(session->startCurl());
    session.reset();
    // A TEARDOWN would have been written before the handle was freed.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}));
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
    CurlRtsp session(camera->url(), 52000, 52001, "", "", true);  // the ports play no part
    FrameSink sink;
    sink.bind(session);
    ASSERT_TRUE(session.startCurl());
    std::vector<CameraRequest> setup = authorizedOf("SETUP");
    ASSERT_EQ(setup.size(), 2u);
    EXPECT_EQ(setup[0].url, camera->url() + "/main");
    EXPECT_EQ(setup[1].url, camera->url() + "/sub");
    for (const auto& s : setup) EXPECT_EQ(s.header("Transport"), "RTP/AVP/TCP;unicast;client_port=0-1");

    ASSERT_TRUE(sink.waitFor(script.framesAfterPlay.size(), 5000)) << sink.frames().size();
    Strings frames = sink.frames();
    ASSERT_EQ(frames.size(), script.framesAfterPlay.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const CameraFrame& sent = script.framesAfterPlay[i];
        EXPECT_EQ(frames[i], interleaved(sent.channel, sent.payload)) << "frame " << i;
    }
    session.stopCurl();
    std::vector<CameraRequest> teardown = authorizedOf("TEARDOWN");
    ASSERT_EQ(teardown.size(), 1u);
    EXPECT_EQ(teardown[0].header("Session"), "6B8B4567");
}

TEST_F(CurlRtspSession, UdpStreamReachesTheOfferedPort) {
    UdpSocket rtp(NetAddress("127.0.0.1", 0), 0);
    ASSERT_TRUE(rtp.isOpen());
    sockaddr_in bound{};
    socklen_t len = sizeof(bound);
    getsockname(rtp.getFd(), reinterpret_cast<sockaddr*>(&bound), &len);
    unsigned short port = ntohs(bound.sin_port);

    startCamera();
    camera->setStreamerFactory([] { return std::make_unique<TickStreamer>(); });
    CurlRtsp session(camera->url(), port, port + 1, "", "", false);
    ASSERT_TRUE(session.startCurl());
    EXPECT_EQ(authorizedOf("SETUP").at(0).header("Transport"),
              "RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" + std::to_string(port + 1));
    char buf[64];
    NetAddress from;
    long n = rtp.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), from, 3000);
    session.stopCurl();
    ASSERT_EQ(n, 12);
    EXPECT_EQ(static_cast<uint8_t>(buf[0]), 0x80);
}

TEST_F(CurlRtspSession, SetsUpOnlyH26xTracksWithTheirControlUrls) {
    const char* video = "m=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/90000\r\na=control:jpeg\r\n";
    CameraScript script;
    // The request line carries an absolute control as it is, whatever host it names.
    script.sdp = std::string("v=0\r\ns=mixed\r\na=control:*\r\n") +
                 "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H265/90000\r\na=control:rtsp://10.0.0.2/live/hevc\r\n" +
                 video + "m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:audio\r\n" +
                 "m=video 0 RTP/AVP 97\r\na=rtpmap:97 H264/90000\r\na=control:1\r\n" +
                 "m=video 0 RTP/AVP 98\r\na=rtpmap:98 H264/90000\r\na=control:avc\r\n";
    startCamera(script);
    auto session = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(startLogged(*session, log));
    std::vector<CameraRequest> setup = authorizedOf("SETUP");
    ASSERT_EQ(setup.size(), 2u);
    EXPECT_EQ(setup[0].url, "rtsp://10.0.0.2/live/hevc");
    EXPECT_EQ(setup[1].url, camera->url() + "/avc");
    // The H.264 track whose one-character control is not recognised is skipped, not fatal.
    EXPECT_THAT(log.err, HasSubstr("E/: (startCurl in curl_rtsp.cpp:"));
    EXPECT_THAT(log.err, HasSubstr("curl: rtsp setup error, track is null.\n"));
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "SETUP", "SETUP", "PLAY"}));
    session->stopCurl();

    // Without any H.26x track there is no SETUP, but still a PLAY.
    script.sdp = std::string("v=0\r\n") + video;
    startCamera(script);
    EXPECT_TRUE(makeSession(false)->startCurl());
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "PLAY"}));
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

    auto wrong = makeSession(false, "admin", "guess");
    size_t before = camera->requests().size();
    LogCapture log;
    EXPECT_FALSE(startLogged(*wrong, log));
    std::vector<CameraRequest> all = camera->requests();
    for (size_t i = before; i < all.size(); ++i) {
        EXPECT_FALSE(all[i].authorized) << all[i].method;
        EXPECT_NE(all[i].method, "SETUP");
    }
    // OPTIONS refused: a warning and the sequence goes on; DESCRIBE refused: the start fails.
    EXPECT_THAT(log.err, HasSubstr("W/: (options in curl_rtsp.cpp:"));
    EXPECT_THAT(log.err,
                HasSubstr("RTSP OPTIONS answered with status 401, going on: " + camera->url() + "\n"));
    EXPECT_THAT(log.err, HasSubstr("RTSP DESCRIBE answered with status 401: " + camera->url() + "\n"));
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
// line naming it, and a refused or hung-up start sends no TEARDOWN.
TEST_P(CurlRtspRefusal, AnErrorStatusFailsTheStartWithOneLineNamingIt) {
    startCamera();
    const std::string method = GetParam().method;
    CameraReply reply;
    if (GetParam().status == 0)
        reply.action = CameraReply::Action::Close;
    else
        reply.status = GetParam().status;
    camera->queueReply(method, reply);
    auto session = makeSession(false);
    LogCapture log;
    EXPECT_EQ(startLogged(*session, log), method == "OPTIONS");
    EXPECT_EQ(camera->methods(), GetParam().seen);
    std::string url = method == "SETUP" ? camera->url() + "/trackID=1" : camera->url();
    std::string status = std::to_string(GetParam().status);
    if (method == "OPTIONS") {
        EXPECT_THAT(log.err, HasSubstr("W/: (options in curl_rtsp.cpp:"));
        EXPECT_THAT(log.err, HasSubstr("RTSP OPTIONS answered with status " + status + ", going on: "));
        EXPECT_EQ(log.errCount("E/:"), 0) << log.err;
        session->stopCurl();
        return;
    }
    if (GetParam().status != 0) {
        EXPECT_EQ(log.errCount("RTSP " + method + " answered with status " + status + ": " + url + "\n"), 1)
            << log.err;
    }
    EXPECT_EQ(log.errCount(method + " " + camera->url() + " failed.\n"), method == "DESCRIBE" ? 0 : 1);
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

TEST_F(CurlRtspSession, AnswersSlowerThanThreeSecondsFail) {
    startCamera();
    CameraReply slow;
    slow.delayMs = 3500;
    camera->queueReply("DESCRIBE", slow);
    auto session = makeSession(false);
    LogCapture log;
    auto start = Clock::now();
    EXPECT_FALSE(startLogged(*session, log));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_THAT(log.err, HasSubstr("[describe:"));
    EXPECT_THAT(log.err, HasSubstr("] check error(28)! " + camera->url() + ", \n"));
}

TEST_F(CurlRtspSession, SilentTcpCameraEndsTheReceiveThread) {
    startCamera();
    auto session = makeSession(true);
    FrameSink sink;
    sink.bind(*session);
    LogCapture log;
    ASSERT_TRUE(session->startCurl());
    // One RECEIVE times out after 3 s; the thread then logs its end.
    std::this_thread::sleep_for(std::chrono::milliseconds(5500));
    log.stop();
    EXPECT_THAT(log.err, HasSubstr("W/: (requestReceive in curl_rtsp.cpp:"));
    EXPECT_THAT(log.err, HasSubstr("rtsp tcp receive request timeout .\n"));
    EXPECT_THAT(log.out, HasSubstr("D/: curl rtsp tcp receive over !\n"));
    EXPECT_TRUE(sink.frames().empty());
    session->stopCurl();
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

TEST_F(CurlRtspSession, BodiesWithoutAConsumerAreDiscarded) {
    CameraScript script;
    // Interleaved data on a UDP session, read only with the TEARDOWN answer.
    script.framesAfterPlay = {{0, "JUNK-FRAME", 0, 0}};
    for (const char* method : {"OPTIONS", "SETUP", "PLAY", "TEARDOWN"}) {
        script.replies[method].replaceBody = true;
        script.replies[method].body = "JUNK-BODY\r\nm=video 0 RTP/AVP 1\r\na=control:junk\r\n";
    }
    startCamera(script);
    auto session = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(session->startCurl());
    session->stopCurl();
    log.stop();
    EXPECT_EQ(log.outCount("JUNK"), 0) << log.out;
    // A body after DESCRIBE is never taken for SDP.
    ASSERT_EQ(session->trackCount(), 2);
    EXPECT_EQ(session->track(0).control, "trackID=1");
    std::vector<CameraRequest> teardown = authorizedOf("TEARDOWN");
    ASSERT_EQ(teardown.size(), 1u);
    EXPECT_EQ(teardown[0].status, 200);
}

TEST_F(CurlRtspSession, DescribeAnswerInPiecesGivesTheWholeTable) {
    CameraScript script;
    std::string padding;
    for (int i = 0; i < 40; ++i) padding += "a=x-note:" + std::string(60, 'n') + "\r\n";
    script.sdp = "v=0\r\ns=pieces\r\n" + padding +
                 "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n" + padding +
                 "m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:trackID=2\r\n";
    // Cuts inside the headers, the padding and the media lines, with pauses between the writes.
    script.replies["DESCRIBE"].splitAt = {40, 300, 2900, 2915, 5800, 5830};
    startCamera(script);
    auto session = makeSession(false);
    ASSERT_TRUE(session->startCurl());
    ASSERT_EQ(session->trackCount(), 2);
    EXPECT_EQ(session->track(1).format, "PCMA");
    EXPECT_EQ(authorizedOf("SETUP").at(0).url, camera->url() + "/trackID=1");
    session->stopCurl();

    // An answer far past the body cap still plays the track it starts with.
    CameraScript big;
    big.sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";
    while (big.sdp.size() < 3 * RtspSdpParser::kMaxBodyBytes)
        big.sdp += "a=x-note:" + std::string(100, 'b') + "\r\n";
    startCamera(big);
    auto second = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(startLogged(*second, log));
    EXPECT_EQ(second->trackCount(), 1);
    EXPECT_THAT(log.err, HasSubstr("DESCRIBE body longer than"));
}

TEST_F(CurlRtspSession, KeepaliveEveryTwentyFiveSecondsSurvivesARefusal) {
    startCamera();
    CameraReply refused;
    refused.status = 451;
    camera->queueReply("GET_PARAMETER", refused);
    auto session = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(session->startCurl());
    auto played = Clock::now();
    ASSERT_TRUE(camera->waitForRequests("GET_PARAMETER", 1, 45000));
    EXPECT_GE(Clock::now() - played, std::chrono::seconds(24));
    std::vector<CameraRequest> keepalive = authorizedOf("GET_PARAMETER");
    ASSERT_EQ(keepalive.size(), 1u);
    EXPECT_EQ(keepalive[0].url, camera->url());
    EXPECT_EQ(keepalive[0].header("Session"), "6B8B4567");
    EXPECT_EQ(keepalive[0].header("User-Agent"), kUserAgent);
    // The refused keep-alive is logged; the session goes on and tears down normally.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    session->stopCurl();
    log.stop();
    EXPECT_THAT(log.err, HasSubstr("RTSP GET_PARAMETER answered with status 451: " + camera->url() + "\n"));
    EXPECT_THAT(log.err, HasSubstr("getParameter keepalive error !\n"));
    EXPECT_EQ(camera->methods(),
              (Strings{"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "GET_PARAMETER", "TEARDOWN"}));
}

// The RTSP session against the scriptable test camera: what the camera sees on the wire, how
// refusals, slow answers and silence end up, and what reaches the interleaved-frame callback.
#include <arpa/inet.h>
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
#include "utils/curl_rtsp.h"
#include "utils/networking/netsocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

constexpr const char* kUserAgent = "Qel Rtsp Client/1.0";
constexpr unsigned short kRtpPort = 40000;

// Captures both log streams from construction to text(); every thread's lines are included.
class LogCapture {
public:
    LogCapture() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    ~LogCapture() { stop(); }
    void stop() {
        if (mDone) return;
        mOut = testing::internal::GetCapturedStdout();
        mErr = testing::internal::GetCapturedStderr();
        mDone = true;
    }
    const std::string& out() {
        stop();
        return mOut;
    }
    const std::string& err() {
        stop();
        return mErr;
    }

private:
    bool mDone = false;
    std::string mOut, mErr;
};

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

CameraReply withStatus(int status) {
    CameraReply reply;
    reply.status = status;
    return reply;
}

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
    EXPECT_EQ(r[0].url, camera->url());
    EXPECT_FALSE(r[0].hasHeader("User-Agent"));
    EXPECT_EQ(r[1].url, camera->url());
    EXPECT_EQ(r[1].header("User-Agent"), kUserAgent);
    // Only the video track is set up, at the base URL joined with its relative control.
    EXPECT_EQ(r[2].url, camera->url() + "/trackID=1");
    EXPECT_EQ(r[2].header("Transport"), "RTP/AVP;unicast;client_port=40000-40001");
    EXPECT_EQ(r[2].header("User-Agent"), kUserAgent);
    EXPECT_EQ(r[3].url, camera->url());
    EXPECT_EQ(r[3].header("Range"), "npt=0.000-");
    EXPECT_EQ(r[3].header("Session"), "6B8B4567");
    EXPECT_EQ(r[3].header("User-Agent"), kUserAgent);

    session->stopCurl();
    std::vector<CameraRequest> teardown = authorizedOf("TEARDOWN");
    ASSERT_EQ(teardown.size(), 1u);
    EXPECT_EQ(teardown[0].url, camera->url());
    EXPECT_EQ(teardown[0].header("Session"), "6B8B4567");
    EXPECT_EQ(teardown[0].header("User-Agent"), kUserAgent);
    EXPECT_EQ(teardown[0].status, 200);
    int lastCseq = 0;
    for (const auto& req : camera->requests()) {
        int cseq = std::stoi(req.header("CSeq"));
        EXPECT_GT(cseq, lastCseq) << req.method;
        lastCseq = cseq;
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

TEST_F(CurlRtspSession, TcpSessionDeliversEveryInterleavedFrameWhole) {
    CameraScript script;
    // Sent the moment PLAY is answered, some split across writes, including inside the header.
    // (libcurl holds back a frame with no payload until more bytes follow it.)
    script.framesAfterPlay = {
        {0, pattern(1400, 1), 0, 0}, {1, pattern(28, 2), 0, 0},      {0, std::string(), 0, 0},
        {0, pattern(500, 3), 0, 2},  {0, pattern(1000, 4), 50, 600},
    };
    startCamera(script);
    auto session = makeSession(true);
    FrameSink sink;
    sink.bind(*session);
    ASSERT_TRUE(session->startCurl());
    std::vector<CameraRequest> setup = authorizedOf("SETUP");
    ASSERT_EQ(setup.size(), 1u);
    EXPECT_EQ(setup[0].header("Transport"), "RTP/AVP/TCP;unicast;client_port=0-1");

    ASSERT_TRUE(sink.waitFor(script.framesAfterPlay.size(), 5000)) << sink.frames().size();
    Strings frames = sink.frames();
    ASSERT_EQ(frames.size(), script.framesAfterPlay.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const CameraFrame& sent = script.framesAfterPlay[i];
        EXPECT_EQ(frames[i], interleaved(sent.channel, sent.payload)) << "frame " << i;
    }
    session->stopCurl();
    std::vector<CameraRequest> teardown = authorizedOf("TEARDOWN");
    ASSERT_EQ(teardown.size(), 1u);
    EXPECT_EQ(teardown[0].header("Session"), "6B8B4567");
}

TEST_F(CurlRtspSession, TcpTransportIgnoresThePortAndStreamsOnTheAssignedChannels) {
    CameraScript script;
    script.sdp =
        "v=0\r\ns=two videos\r\n"
        "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:main\r\n"
        "m=video 0 RTP/AVP 97\r\na=rtpmap:97 H265/90000\r\na=control:sub\r\n";
    startCamera(script);
    camera->setStreamerFactory([] { return std::make_unique<TickStreamer>(); });
    CurlRtsp session(camera->url(), 52000, 52001, "", "", true);
    FrameSink sink;
    sink.bind(session);
    ASSERT_TRUE(session.startCurl());
    std::vector<CameraRequest> setup = authorizedOf("SETUP");
    ASSERT_EQ(setup.size(), 2u);
    EXPECT_EQ(setup[0].url, camera->url() + "/main");
    EXPECT_EQ(setup[1].url, camera->url() + "/sub");
    for (const auto& s : setup) EXPECT_EQ(s.header("Transport"), "RTP/AVP/TCP;unicast;client_port=0-1");

    ASSERT_TRUE(sink.waitFor(3, 5000));
    session.stopCurl();
    Strings frames = sink.frames();
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].size(), 16u);
        EXPECT_EQ(frames[i].substr(0, 4), std::string("$\0\0\x0c", 4)) << "channel 0, length 12";
        EXPECT_EQ(static_cast<uint8_t>(frames[i][7]), i & 0xFF) << "in order, none lost";
    }
    EXPECT_EQ(authorizedOf("TEARDOWN").size(), 1u);
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
    EXPECT_EQ(from.getIP(), "127.0.0.1");
}

TEST_F(CurlRtspSession, SetsUpOnlyH26xTracksWithTheirControlUrls) {
    CameraScript script;
    // The request line carries an absolute control as it is, whatever host it names.
    script.sdp =
        "v=0\r\ns=mixed\r\na=control:*\r\n"
        "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H265/90000\r\na=control:rtsp://10.0.0.2/live/hevc\r\n"
        "m=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/90000\r\na=control:jpeg\r\n"
        "m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:audio\r\n"
        "m=video 0 RTP/AVP 97\r\na=rtpmap:97 H264/90000\r\na=control:1\r\n"
        "m=video 0 RTP/AVP 98\r\na=rtpmap:98 H264/90000\r\na=control:avc\r\n";
    startCamera(script);
    auto session = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(session->startCurl());
    log.stop();
    std::vector<CameraRequest> setup = authorizedOf("SETUP");
    ASSERT_EQ(setup.size(), 2u);
    EXPECT_EQ(setup[0].url, "rtsp://10.0.0.2/live/hevc");
    EXPECT_EQ(setup[1].url, camera->url() + "/avc");
    for (const auto& s : setup) EXPECT_EQ(s.header("Transport"), "RTP/AVP;unicast;client_port=40000-40001");
    // The H.264 track whose one-character control is not recognised is skipped, not fatal.
    EXPECT_NE(log.err().find("E/: (startCurl in curl_rtsp.cpp:"), std::string::npos) << log.err();
    EXPECT_NE(log.err().find("curl: rtsp setup error, track is null.\n"), std::string::npos) << log.err();
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "SETUP", "SETUP", "PLAY"}));
    session->stopCurl();
}

TEST_F(CurlRtspSession, NoVideoTrackMeansNoSetupButStillPlay) {
    CameraScript script;
    script.sdp = "v=0\r\ns=mjpeg\r\nm=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/90000\r\na=control:jpeg\r\n";
    startCamera(script);
    auto session = makeSession(false);
    EXPECT_TRUE(session->startCurl());
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "PLAY"}));
    session->stopCurl();
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
    for (const auto& r : camera->requests()) {
        if (!r.authorized) continue;
        EXPECT_EQ(r.header("Authorization").rfind(GetParam().scheme, 0), 0u) << r.method;
    }

    auto wrong = makeSession(false, "admin", "guess");
    size_t before = camera->requests().size();
    LogCapture log;
    EXPECT_FALSE(wrong->startCurl());
    log.stop();
    std::vector<CameraRequest> all = camera->requests();
    for (size_t i = before; i < all.size(); ++i) {
        EXPECT_FALSE(all[i].authorized) << all[i].method;
        EXPECT_NE(all[i].method, "SETUP");
    }
    // OPTIONS refused: a warning and the sequence goes on; DESCRIBE refused: the start fails.
    EXPECT_NE(log.err().find("W/: (options in curl_rtsp.cpp:"), std::string::npos) << log.err();
    EXPECT_NE(log.err().find("RTSP OPTIONS answered with status 401, going on: " + camera->url() + "\n"),
              std::string::npos)
        << log.err();
    EXPECT_NE(log.err().find("RTSP DESCRIBE answered with status 401: " + camera->url() + "\n"),
              std::string::npos)
        << log.err();
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

TEST_P(CurlRtspRefusal, AnErrorStatusFailsTheStartWithOneLineNamingIt) {
    startCamera();
    camera->setReply(GetParam().method, withStatus(GetParam().status));
    auto session = makeSession(false);
    LogCapture log;
    EXPECT_FALSE(session->startCurl());
    log.stop();
    EXPECT_EQ(camera->methods(), GetParam().seen);
    std::string method = GetParam().method;
    std::string url = method == "SETUP" ? camera->url() + "/trackID=1" : camera->url();
    EXPECT_NE(log.err().find("RTSP " + method + " answered with status " + std::to_string(GetParam().status) +
                             ": " + url + "\n"),
              std::string::npos)
        << log.err();
    if (method == "SETUP" || method == "PLAY") {
        EXPECT_NE(log.err().find(method + " " + camera->url() + " failed.\n"), std::string::npos)
            << log.err();
    }
    session.reset();
    EXPECT_EQ(authorizedOf("TEARDOWN").size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, CurlRtspRefusal,
    ::testing::Values(RefusalCase{"DESCRIBE", 404, {"OPTIONS", "DESCRIBE"}},
                      RefusalCase{"SETUP", 461, {"OPTIONS", "DESCRIBE", "SETUP"}},
                      RefusalCase{"PLAY", 454, {"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}},
                      RefusalCase{"PLAY", 500, {"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}}),
    [](const auto& info) { return std::string(info.param.method) + std::to_string(info.param.status); });

TEST_F(CurlRtspSession, ACameraThatHangsUpFailsTheRequest) {
    startCamera();
    CameraReply hangUp;
    hangUp.action = CameraReply::Action::Close;
    camera->queueReply("SETUP", hangUp);
    auto session = makeSession(false);
    LogCapture log;
    EXPECT_FALSE(session->startCurl());
    log.stop();
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE", "SETUP"}));
    EXPECT_NE(log.err().find("SETUP " + camera->url() + " failed.\n"), std::string::npos) << log.err();
}

TEST_F(CurlRtspSession, RefusedOptionsOnlyWarns) {
    startCamera();
    camera->setReply("OPTIONS", withStatus(501));
    auto session = makeSession(false);
    LogCapture log;
    EXPECT_TRUE(session->startCurl());
    log.stop();
    EXPECT_NE(log.err().find("W/: (options in curl_rtsp.cpp:"), std::string::npos) << log.err();
    EXPECT_EQ(log.err().find("E/:"), std::string::npos) << log.err();
    session->stopCurl();
}

TEST_F(CurlRtspSession, AnswersSlowerThanThreeSecondsFail) {
    startCamera();
    CameraReply slow;
    slow.delayMs = 3500;
    camera->queueReply("DESCRIBE", slow);
    auto session = makeSession(false);
    LogCapture log;
    auto start = Clock::now();
    EXPECT_FALSE(session->startCurl());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    log.stop();
    EXPECT_NE(log.err().find("[describe:"), std::string::npos) << log.err();
    EXPECT_NE(log.err().find("] check error(28)! " + camera->url() + ", \n"), std::string::npos) << log.err();

    // A slow TEARDOWN fails the same way, and stopCurl still ends the session.
    camera->queueReply("TEARDOWN", slow);
    auto second = makeSession(false);
    ASSERT_TRUE(second->startCurl());
    LogCapture stopLog;
    second->stopCurl();
    stopLog.stop();
    EXPECT_NE(stopLog.err().find("[teardown:"), std::string::npos) << stopLog.err();
    EXPECT_NE(stopLog.err().find("check error(28)!"), std::string::npos) << stopLog.err();
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
    EXPECT_NE(log.err().find("W/: (requestReceive in curl_rtsp.cpp:"), std::string::npos) << log.err();
    EXPECT_NE(log.err().find("rtsp tcp receive request timeout .\n"), std::string::npos) << log.err();
    EXPECT_NE(log.out().find("D/: curl rtsp tcp receive over !\n"), std::string::npos) << log.out();
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
        EXPECT_FALSE(session.startCurl());
        log.stop();
        EXPECT_NE(log.err().find("rtsp url of 1024 bytes refused"), std::string::npos) << log.err();
    }
    EXPECT_TRUE(camera->requests().empty());

    // A URL that fits, joined with a control into a track URL that does not.
    CameraScript script;
    script.sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:track\r\n";
    startCamera(script);
    std::string fits =
        camera->url() + "/" + std::string(CurlRtsp::kMaxUrlBytes - camera->url().size() - 4, 'u');
    ASSERT_EQ(fits.size(), CurlRtsp::kMaxUrlBytes - 3);
    CurlRtsp session(fits, kRtpPort, kRtpPort + 1, "", "", false);
    LogCapture log;
    EXPECT_FALSE(session.startCurl());
    log.stop();
    EXPECT_EQ(camera->methods(), (Strings{"OPTIONS", "DESCRIBE"}));
    EXPECT_NE(log.err().find("rtsp SETUP refused"), std::string::npos) << log.err();
}

TEST_F(CurlRtspSession, BodiesWithoutAConsumerAreDiscarded) {
    CameraScript script;
    // Interleaved data on a UDP session, read only with the TEARDOWN answer.
    script.framesAfterPlay = {{0, "JUNK-FRAME", 0, 0}};
    script.replies["OPTIONS"].replaceBody = true;
    script.replies["OPTIONS"].body = "JUNK-OPTIONS-BODY";
    script.replies["SETUP"].replaceBody = true;
    script.replies["SETUP"].body = "JUNK-SETUP-BODY";
    script.replies["PLAY"].replaceBody = true;
    script.replies["PLAY"].body = "JUNK-PLAY-BODY";
    script.replies["TEARDOWN"].replaceBody = true;
    script.replies["TEARDOWN"].body = "m=video 0 RTP/AVP 1\r\na=control:junk\r\n";
    startCamera(script);
    auto session = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(session->startCurl());
    session->stopCurl();
    log.stop();
    EXPECT_EQ(log.out().find("JUNK"), std::string::npos) << log.out();
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
    EXPECT_EQ(session->track(0).control, "trackID=1");
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
    ASSERT_TRUE(second->startCurl());
    log.stop();
    EXPECT_EQ(second->trackCount(), 1);
    EXPECT_NE(log.err().find("DESCRIBE body longer than"), std::string::npos);
    second->stopCurl();
}

TEST_F(CurlRtspSession, KeepaliveEveryTwentyFiveSecondsSurvivesARefusal) {
    startCamera();
    camera->queueReply("GET_PARAMETER", withStatus(451));
    auto session = makeSession(false);
    LogCapture log;
    ASSERT_TRUE(session->startCurl());
    auto played = Clock::now();
    ASSERT_TRUE(camera->waitForRequests("GET_PARAMETER", 1, 45000));
    auto elapsed = Clock::now() - played;
    EXPECT_GE(elapsed, std::chrono::seconds(24));
    std::vector<CameraRequest> keepalive = authorizedOf("GET_PARAMETER");
    ASSERT_EQ(keepalive.size(), 1u);
    EXPECT_EQ(keepalive[0].url, camera->url());
    EXPECT_EQ(keepalive[0].header("Session"), "6B8B4567");
    EXPECT_EQ(keepalive[0].header("User-Agent"), kUserAgent);
    // The refused keep-alive is logged; the session goes on and tears down normally.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    session->stopCurl();
    log.stop();
    EXPECT_NE(log.err().find("RTSP GET_PARAMETER answered with status 451: " + camera->url() + "\n"),
              std::string::npos)
        << log.err();
    EXPECT_NE(log.err().find("getParameter keepalive error !\n"), std::string::npos) << log.err();
    EXPECT_EQ(camera->methods(),
              (Strings{"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "GET_PARAMETER", "TEARDOWN"}));
}

#include "testkit/test_camera.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "testkit/md5.h"
#include "utils/utils.h"

namespace {
constexpr int kPollSliceMs = 100;
constexpr size_t kMaxRequestBytes = 256 * 1024;

bool sameName(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 454:
            return "Session Not Found";
        case 455:
            return "Method Not Valid in This State";
        case 461:
            return "Unsupported Transport";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        default:
            return "Status";
    }
}

// The parameters of a Digest Authorization header (RFC 2617 3.2.2): name=value or name="value".
std::map<std::string, std::string> digestParams(const std::string& text) {
    std::map<std::string, std::string> params;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == ',')) ++i;
        size_t eq = text.find('=', i);
        if (eq == std::string::npos) break;
        std::string name = trim(text.substr(i, eq - i));
        std::string value;
        i = eq + 1;
        if (i < text.size() && text[i] == '"') {
            size_t close = text.find('"', i + 1);
            if (close == std::string::npos) break;
            value = text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            size_t comma = text.find(',', i);
            if (comma == std::string::npos) comma = text.size();
            value = trim(text.substr(i, comma - i));
            i = comma;
        }
        params[name] = value;
    }
    return params;
}

void setHeader(CameraHeaders& headers, const std::string& name, const std::string& value) {
    for (auto& h : headers) {
        if (sameName(h.first, name)) {
            h.second = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

// Whether `request` names `path` (or a track below it); OPTIONS and requests without a path
// component of their own (keep-alives, TEARDOWN) are not checked.
bool servesPath(const std::string& path, const CameraRequest& request) {
    if (path.empty() ||
        (request.method != "DESCRIBE" && request.method != "SETUP" && request.method != "PLAY"))
        return true;
    size_t scheme = request.url.find("://");
    size_t slash = request.url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    std::string requested = slash == std::string::npos ? "/" : request.url.substr(slash);
    if (requested.compare(0, path.size(), path) != 0) return false;
    return requested.size() == path.size() || requested[path.size()] == '/';
}

// "a-b" after `key` in a Transport header, e.g. client_port=5000-5001.
bool portPair(const std::string& transport, const std::string& key, unsigned* a, unsigned* b) {
    size_t at = transport.find(key);
    if (at == std::string::npos) return false;
    return sscanf(transport.c_str() + at + key.size(), "%u-%u", a, b) == 2;
}
}  // namespace

std::string CameraRequest::header(const std::string& name) const {
    for (const auto& h : headers) {
        if (sameName(h.first, name)) return h.second;
    }
    return std::string();
}

bool CameraRequest::hasHeader(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return sameName(h.first, name); });
}

std::string CameraScript::defaultSdp() {
    return "v=0\r\n"
           "o=- 1700000000 1 IN IP4 127.0.0.1\r\n"
           "s=Test Camera\r\n"
           "t=0 0\r\n"
           "a=control:*\r\n"
           "m=video 0 RTP/AVP 96\r\n"
           "a=rtpmap:96 H264/90000\r\n"
           "a=fmtp:96 packetization-mode=1\r\n"
           "a=control:trackID=1\r\n"
           "m=audio 0 RTP/AVP 8\r\n"
           "a=rtpmap:8 PCMA/8000\r\n"
           "a=control:trackID=2\r\n";
}

// ---------------------------------------------------------------------------------------------
// One client connection: a reader thread that answers requests, and after PLAY a play thread.

class CameraConnection {
public:
    CameraConnection(TestCamera* camera, int fd, int number, std::string peerIp)
        : mPeerIp(std::move(peerIp)), mCamera(camera), mFd(fd), mNumber(number) {}
    ~CameraConnection() {
        close();
        join();
        ::close(mFd);
    }

    void start() { mThread = std::thread(&CameraConnection::run, this); }
    // Shuts the socket down; the reader thread then ends and stops the stream.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mStateMutex);
            mClosed = true;
        }
        mStateCv.notify_all();
        ::shutdown(mFd, SHUT_RDWR);
    }
    void join() {
        if (mThread.joinable()) mThread.join();
    }
    int fd() const { return mFd; }
    // The reader thread has ended (and stopped the stream): the object may be destroyed.
    bool finished() const { return mFinished.load(); }

    bool writeAll(const void* data, size_t len);
    bool writevAll(iovec* pieces, size_t count);
    bool waitFor(int ms);
    bool stopping() const {
        std::lock_guard<std::mutex> lock(mStateMutex);
        return mClosed || mStreamStop;
    }

    std::string mPeerIp;
    mutable std::mutex mStateMutex;  // guards the flags and mTracks
    std::vector<CameraTrackTransport> mTracks;

private:
    void run();
    bool takeRequest(std::string& buffer, CameraRequest* request);
    void handle(CameraRequest& request);
    bool authorized(const CameraRequest& request) const;
    void answer(const CameraRequest& request, size_t index, const CameraReply& reply);
    void startStreaming();
    void stopStreaming();

    TestCamera* mCamera;
    int mFd;
    int mNumber;
    std::thread mThread;
    std::thread mPlayThread;
    std::mutex mWriteMutex;
    std::condition_variable mStateCv;
    bool mClosed = false;
    bool mStreamStop = false;
    std::atomic<bool> mFinished{false};
    std::chrono::steady_clock::time_point mRefreshed;  // last keep-alive; guarded by mStateMutex
};

bool CameraConnection::writeAll(const void* data, size_t len) {
    std::lock_guard<std::mutex> lock(mWriteMutex);
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(mFd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        // The client is not reading (e.g. no RECEIVE running): wait for room, but never forever.
        pollfd pfd{mFd, POLLOUT, 0};
        ::poll(&pfd, 1, kPollSliceMs);
        {
            std::lock_guard<std::mutex> state(mStateMutex);
            if (mClosed) return false;
        }
    }
    return true;
}

bool CameraConnection::writevAll(iovec* pieces, size_t count) {
    std::lock_guard<std::mutex> lock(mWriteMutex);
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = pieces;
        msg.msg_iovlen = std::min<size_t>(count, IOV_MAX);
        ssize_t n = ::sendmsg(mFd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
        while (count > 0 && sent >= pieces->iov_len) {
            sent -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0 && sent > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + sent;
            pieces->iov_len -= sent;
        }
        if (n > 0) continue;
        pollfd pfd{mFd, POLLOUT, 0};
        ::poll(&pfd, 1, kPollSliceMs);
        std::lock_guard<std::mutex> state(mStateMutex);
        if (mClosed) return false;
    }
    return true;
}

bool CameraConnection::waitFor(int ms) {
    const int timeoutMs = mCamera->mScript.sessionTimeoutMs;
    std::unique_lock<std::mutex> lock(mStateMutex);
    mStateCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return mClosed || mStreamStop; });
    if (timeoutMs > 0 && !(mClosed || mStreamStop) &&
        std::chrono::steady_clock::now() - mRefreshed > std::chrono::milliseconds(timeoutMs)) {
        lock.unlock();
        ++mCamera->mExpired;
        close();
        return false;
    }
    return !(mClosed || mStreamStop);
}

void CameraConnection::run() {
    std::string buffer;
    char chunk[16384];
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mStateMutex);
            if (mClosed) break;
        }
        pollfd pfd{mFd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, kPollSliceMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        ssize_t n = ::recv(mFd, chunk, sizeof(chunk), 0);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        if (buffer.size() > kMaxRequestBytes) break;
        CameraRequest request;
        while (takeRequest(buffer, &request)) {
            handle(request);
            request = CameraRequest();
        }
    }
    stopStreaming();
    close();
    mFinished = true;
}

// Takes one whole request (or skips one interleaved frame) off the front of `buffer`.
bool CameraConnection::takeRequest(std::string& buffer, CameraRequest* request) {
    for (;;) {
        size_t start = buffer.find_first_not_of("\r\n");
        if (start == std::string::npos) {
            buffer.clear();
            return false;
        }
        buffer.erase(0, start);
        if (buffer[0] != '$') break;
        // RFC 2326 10.12: '$', channel, 16-bit length, data (RTCP from the client).
        if (buffer.size() < 4) return false;
        size_t frame =
            4 + (static_cast<size_t>(static_cast<uint8_t>(buffer[2])) << 8) + static_cast<uint8_t>(buffer[3]);
        if (buffer.size() < frame) return false;
        buffer.erase(0, frame);
    }
    size_t headEnd = buffer.find("\r\n\r\n");
    if (headEnd == std::string::npos) return false;
    std::string head = buffer.substr(0, headEnd);
    size_t bodyStart = headEnd + 4;

    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t sp1 = requestLine.find(' ');
    size_t sp2 = sp1 == std::string::npos ? std::string::npos : requestLine.find(' ', sp1 + 1);
    request->method = requestLine.substr(0, sp1);
    if (sp1 != std::string::npos)
        request->url = requestLine.substr(sp1 + 1, sp2 == std::string::npos ? sp2 : sp2 - sp1 - 1);
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t next = head.find("\r\n", pos);
        if (next == std::string::npos) next = head.size();
        std::string line = head.substr(pos, next - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            request->headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
        pos = next + 2;
    }
    size_t bodyLength = strtoul(request->header("Content-Length").c_str(), nullptr, 10);
    if (bodyLength > kMaxRequestBytes || buffer.size() - bodyStart < bodyLength) return false;
    request->body = buffer.substr(bodyStart, bodyLength);
    request->connection = mNumber;
    buffer.erase(0, bodyStart + bodyLength);
    return true;
}

bool CameraConnection::authorized(const CameraRequest& request) const {
    const CameraScript& script = mCamera->mScript;
    if (script.auth == CameraScript::Auth::None) return true;
    if (request.method == "OPTIONS" && !script.authOptions) return true;
    std::string value = request.header("Authorization");
    if (script.auth == CameraScript::Auth::Basic) {
        std::string plain = script.user + ":" + script.password;
        std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
        Utils::base64encode(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), &encoded[0]);
        encoded.resize(strlen(encoded.c_str()));
        return value == "Basic " + encoded;
    }
    if (value.compare(0, 7, "Digest ") != 0) return false;
    std::map<std::string, std::string> p = digestParams(value.substr(7));
    if (p["username"] != script.user || p["realm"] != script.realm || p["nonce"] != script.nonce)
        return false;
    // RFC 2617 3.2.2.1: the response digest, with or without qop.
    std::string ha1 = md5Hex(script.user + ":" + script.realm + ":" + script.password);
    std::string ha2 = md5Hex(request.method + ":" + p["uri"]);
    std::string expected = script.digestQop ? md5Hex(ha1 + ":" + script.nonce + ":" + p["nc"] + ":" +
                                                     p["cnonce"] + ":" + p["qop"] + ":" + ha2)
                                            : md5Hex(ha1 + ":" + script.nonce + ":" + ha2);
    return p["response"] == expected;
}

void CameraConnection::handle(CameraRequest& request) {
    request.authorized = authorized(request);
    size_t index = mCamera->record(request);
    if (!request.authorized) {
        const CameraScript& script = mCamera->mScript;
        CameraReply reply;
        reply.status = 401;
        std::string challenge = script.auth == CameraScript::Auth::Basic
                                    ? "Basic realm=\"" + script.realm + "\""
                                    : "Digest realm=\"" + script.realm + "\", nonce=\"" + script.nonce +
                                          "\"" + (script.digestQop ? ", qop=\"auth\"" : "");
        reply.headers.emplace_back("WWW-Authenticate", challenge);
        answer(request, index, reply);
        return;
    }
    if (!servesPath(mCamera->mScript.streamPath, request)) {
        CameraReply notFound;
        notFound.status = 404;
        answer(request, index, notFound);
        return;
    }
    CameraReply reply = mCamera->replyFor(request.method);
    const CameraScript& script = mCamera->mScript;
    if (script.requireInterleaved && request.method == "SETUP" &&
        request.header("Transport").find("RTP/AVP/TCP") != std::string::npos &&
        request.header("Transport").find("interleaved=") == std::string::npos)
        reply.status = 461;
    if (script.queryOnlyForDescribe && request.method != "OPTIONS" && request.method != "DESCRIBE" &&
        request.url.find('?') != std::string::npos)
        reply.status = 404;
    if (reply.action == CameraReply::Action::Close) {
        close();
        return;
    }
    if (reply.action == CameraReply::Action::Silence) return;
    if (script.streamBeforePlayAnswer && request.method == "PLAY" && reply.status / 100 == 2)
        startStreaming();
    if (reply.delayMs > 0) {
        std::unique_lock<std::mutex> lock(mStateMutex);
        mStateCv.wait_for(lock, std::chrono::milliseconds(reply.delayMs), [this] { return mClosed; });
        if (mClosed) return;
    }
    answer(request, index, reply);
}

void CameraConnection::answer(const CameraRequest& request, size_t index, const CameraReply& reply) {
    const CameraScript& script = mCamera->mScript;
    const std::string& method = request.method;
    int status = reply.status;
    bool ok = status >= 200 && status < 300;
    CameraHeaders headers;
    if (script.answerCSeq != "-")
        headers.emplace_back("CSeq", script.answerCSeq.empty() ? request.header("CSeq") : script.answerCSeq);
    headers.emplace_back("Server", "TestCamera");
    std::string body;
    CameraTrackTransport track;
    if (method == "OPTIONS") {
        headers.emplace_back("Public", "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER");
    } else if (method == "DESCRIBE" && reply.status != 401) {
        body = script.sdp.empty() ? CameraScript::defaultSdp() : script.sdp;
        const std::string base =
            script.queryOnlyForDescribe ? request.url.substr(0, request.url.find('?')) : request.url;
        headers.emplace_back("Content-Base", base + "/");
        headers.emplace_back("Content-Type", "application/sdp");
    } else if (method == "SETUP") {
        std::string transport = request.header("Transport");
        track.url = request.url;
        size_t k;
        {
            std::lock_guard<std::mutex> lock(mStateMutex);
            k = mTracks.size();
        }
        if (transport.find("RTP/AVP/TCP") != std::string::npos) {
            track.tcp = true;
            track.rtpChannel = static_cast<uint8_t>(2 * k);
            track.rtcpChannel = static_cast<uint8_t>(2 * k + 1);
            headers.emplace_back("Transport",
                                 "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(track.rtpChannel) + "-" +
                                     std::to_string(track.rtcpChannel) + script.transportSuffix);
        } else {
            unsigned a = 0, b = 0;
            portPair(transport, "client_port=", &a, &b);
            track.clientRtpPort = static_cast<uint16_t>(a);
            track.clientRtcpPort = static_cast<uint16_t>(b);
            std::string answer = "RTP/AVP;unicast;client_port=" + std::to_string(a) + "-" + std::to_string(b);
            bool streams = false;
            TestCamera::UdpSetupHook hook;
            {
                std::lock_guard<std::mutex> lock(mCamera->mMutex);
                streams = static_cast<bool>(mCamera->mStreamerFactory);
                hook = mCamera->mUdpSetupHook;
            }
            track.multicast = hook && transport.find("multicast") != std::string::npos;
            if (ok && hook && !hook(mPeerIp, &track)) {
                status = 461;
                ok = false;
            }
            unsigned server = track.serverRtpPort;
            // A streamer sends from ports it binds at PLAY, unknown here unless the hook named
            // them: announcing others would make a client that trusts only the announced port
            // refuse the camera's RTCP.
            if (!streams) server = 6970 + 2 * static_cast<unsigned>(k);
            if (server != 0)
                answer += ";server_port=" + std::to_string(server) + "-" + std::to_string(server + 1);
            if (track.multicast)
                answer = "RTP/AVP;multicast;destination=" + track.group +
                         ";port=" + std::to_string(track.groupPort) + "-" +
                         std::to_string(track.groupPort + 1) + ";ttl=1";
            if (ok) headers.emplace_back("Transport", answer + script.transportSuffix);
        }
        headers.emplace_back("Session",
                             script.sessionId + ";timeout=" + std::to_string(script.sessionTimeoutS));
    } else if (method == "PLAY") {
        headers.emplace_back("Session", script.sessionId);
        headers.emplace_back("Range", "npt=0.000-");
    } else if (method != "OPTIONS" && method != "DESCRIBE" && request.hasHeader("Session")) {
        headers.emplace_back("Session", script.sessionId);
    }
    for (const auto& h : reply.headers) setHeader(headers, h.first, h.second);
    // A header set to "-" is left out.
    headers.erase(
        std::remove_if(headers.begin(), headers.end(), [](const auto& h) { return h.second == "-"; }),
        headers.end());
    if (reply.replaceBody) body = reply.body;

    std::string text = "RTSP/1.0 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    for (const auto& h : headers) text += h.first + ": " + h.second + "\r\n";
    if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n" + body + script.trailer;

    // Recorded before the answer goes out: a client that has read it may look at the record.
    mCamera->updateStatus(index, status);
    size_t from = 0;
    for (size_t cut : reply.splitAt) {
        if (cut <= from || cut >= text.size()) continue;
        if (!writeAll(text.data() + from, cut - from)) {
            mCamera->updateStatus(index, 0);
            return;
        }
        from = cut;
        std::unique_lock<std::mutex> lock(mStateMutex);
        mStateCv.wait_for(lock, std::chrono::milliseconds(reply.splitGapMs), [this] { return mClosed; });
    }
    if (!writeAll(text.data() + from, text.size() - from)) {
        mCamera->updateStatus(index, 0);
        return;
    }

    if (!ok) return;
    if (method == "PLAY" || request.hasHeader("Session")) {
        std::lock_guard<std::mutex> lock(mStateMutex);
        mRefreshed = std::chrono::steady_clock::now();
    }
    if (method == "SETUP") {
        std::lock_guard<std::mutex> lock(mStateMutex);
        mTracks.push_back(track);
    } else if (method == "PLAY") {
        startStreaming();
    } else if (method == "TEARDOWN") {
        stopStreaming();
    }
}

void CameraConnection::startStreaming() {
    if (mPlayThread.joinable()) return;
    std::vector<CameraFrame> frames;
    bool closeAfter = false;
    std::function<std::unique_ptr<CameraStreamer>()> factory;
    {
        std::lock_guard<std::mutex> lock(mCamera->mMutex);
        frames = mCamera->mScript.framesAfterPlay;
        closeAfter = mCamera->mScript.closeAfterFrames;
        factory = mCamera->mStreamerFactory;
    }
    {
        std::lock_guard<std::mutex> lock(mStateMutex);
        mStreamStop = false;
    }
    mPlayThread = std::thread([this, frames, closeAfter, factory] {
        CameraPlayContext context(this);
        for (const CameraFrame& f : frames) {
            if (f.delayBeforeMs > 0 && !context.waitFor(f.delayBeforeMs)) return;
            if (!context.sendInterleaved(f.channel, reinterpret_cast<const uint8_t*>(f.payload.data()),
                                         f.payload.size(), f.splitAt)) {
                return;
            }
        }
        if (closeAfter) {
            close();
            return;
        }
        if (factory) {
            std::unique_ptr<CameraStreamer> streamer = factory();
            if (streamer) streamer->run(context);
        }
    });
}

void CameraConnection::stopStreaming() {
    {
        std::lock_guard<std::mutex> lock(mStateMutex);
        mStreamStop = true;
    }
    mStateCv.notify_all();
    if (mPlayThread.joinable()) mPlayThread.join();
}

// ---------------------------------------------------------------------------------------------

CameraPlayContext::CameraPlayContext(CameraConnection* connection) : mConnection(connection) {}

CameraPlayContext::~CameraPlayContext() {
    if (mUdpFd >= 0) ::close(mUdpFd);
}

std::string CameraPlayContext::clientIp() const {
    return mConnection->mPeerIp;
}

std::string CameraPlayContext::cameraIp() const {
    sockaddr_storage own{};
    socklen_t len = sizeof(own);
    char host[NI_MAXHOST] = {0};
    if (getsockname(mConnection->fd(), reinterpret_cast<sockaddr*>(&own), &len) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&own), len, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) !=
            0)
        return std::string();
    return host;
}

std::vector<CameraTrackTransport> CameraPlayContext::tracks() const {
    std::lock_guard<std::mutex> lock(mConnection->mStateMutex);
    return mConnection->mTracks;
}

bool CameraPlayContext::sendRtp(size_t track, const uint8_t* data, size_t len) {
    std::vector<CameraTrackTransport> all = tracks();
    if (track >= all.size()) return false;
    const CameraTrackTransport& t = all[track];
    return t.tcp ? sendInterleaved(t.rtpChannel, data, len) : sendUdp(t.clientRtpPort, data, len);
}

bool CameraPlayContext::sendRtcp(size_t track, const uint8_t* data, size_t len) {
    std::vector<CameraTrackTransport> all = tracks();
    if (track >= all.size()) return false;
    const CameraTrackTransport& t = all[track];
    return t.tcp ? sendInterleaved(t.rtcpChannel, data, len) : sendUdp(t.clientRtcpPort, data, len);
}

bool CameraPlayContext::sendInterleaved(uint8_t channel, const uint8_t* data, size_t len, size_t splitAt) {
    if (len > 0xFFFF || stopping()) return false;
    std::string frame;
    frame.reserve(4 + len);
    frame.push_back('$');
    frame.push_back(static_cast<char>(channel));
    frame.push_back(static_cast<char>(len >> 8));
    frame.push_back(static_cast<char>(len & 0xFF));
    frame.append(reinterpret_cast<const char*>(data), len);
    if (splitAt == 0 || splitAt >= frame.size()) return mConnection->writeAll(frame.data(), frame.size());
    if (!mConnection->writeAll(frame.data(), splitAt)) return false;
    waitFor(60);
    return mConnection->writeAll(frame.data() + splitAt, frame.size() - splitAt);
}

bool CameraPlayContext::sendRaw(const void* data, size_t len) {
    return !stopping() && mConnection->writeAll(data, len);
}

bool CameraPlayContext::sendRawv(iovec* pieces, size_t count) {
    return !stopping() && mConnection->writevAll(pieces, count);
}

void CameraPlayContext::sendSegmentsAtOnce() {
    int one = 1;
    ::setsockopt(mConnection->fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

bool CameraPlayContext::sendUdp(uint16_t port, const uint8_t* data, size_t len) {
    if (stopping() || port == 0) return false;
    sockaddr_storage to{};
    socklen_t toLength = 0;
    if (!socketAddress(mConnection->mPeerIp, port, &to, &toLength)) return false;
    if (mUdpFd < 0) mUdpFd = ::socket(to.ss_family, SOCK_DGRAM, 0);
    if (mUdpFd < 0) return false;
    return ::sendto(mUdpFd, data, len, 0, reinterpret_cast<sockaddr*>(&to), toLength) ==
           static_cast<ssize_t>(len);
}

bool CameraPlayContext::waitFor(int ms) {
    return mConnection->waitFor(ms);
}

bool CameraPlayContext::stopping() const {
    return mConnection->stopping();
}

void CameraPlayContext::closeConnection() {
    mConnection->close();
}

// ---------------------------------------------------------------------------------------------

TestCamera::TestCamera(CameraScript script) : mScript(std::move(script)) {}

TestCamera::~TestCamera() {
    stop();
}

bool TestCamera::start() {
    return start("127.0.0.1", 0);
}

bool TestCamera::start(const std::string& bindAddress, uint16_t port) {
    sockaddr_storage storage{};
    auto* addr4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* addr6 = reinterpret_cast<sockaddr_in6*>(&storage);
    socklen_t len = 0;
    if (!socketAddress(bindAddress, port, &storage, &len)) return false;
    mFamily = storage.ss_family;
    mBindAddress = bindAddress;
    mListenFd = ::socket(storage.ss_family, SOCK_STREAM, 0);
    if (mListenFd < 0) return false;
    int on = 1;
    setsockopt(mListenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::bind(mListenFd, reinterpret_cast<sockaddr*>(&storage), len) != 0 || ::listen(mListenFd, 16) != 0 ||
        getsockname(mListenFd, reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
        ::close(mListenFd);
        mListenFd = -1;
        return false;
    }
    mPort = ntohs(mFamily == AF_INET ? addr4->sin_port : addr6->sin6_port);
    mWakeFd = eventfd(0, EFD_CLOEXEC);
    if (mWakeFd < 0) return false;
    mAcceptThread = std::thread(&TestCamera::acceptLoop, this);
    return true;
}

void TestCamera::stop() {
    mStopping = true;
    if (mWakeFd >= 0) {
        uint64_t one = 1;
        if (::write(mWakeFd, &one, sizeof(one)) < 0) perror("TestCamera: eventfd");
    }
    if (mAcceptThread.joinable()) mAcceptThread.join();
    std::vector<std::shared_ptr<CameraConnection>> connections;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        connections.swap(mConnections);
    }
    connections.clear();  // each destructor closes and joins its threads
    if (mListenFd >= 0) ::close(mListenFd);
    if (mWakeFd >= 0) ::close(mWakeFd);
    mListenFd = -1;
    mWakeFd = -1;
}

std::string TestCamera::url(const std::string& path) const {
    if (mFamily != AF_INET6) return "rtsp://127.0.0.1:" + std::to_string(mPort) + path;
    // A zone is written %25 in a URL (RFC 6874).
    std::string host = mBindAddress == "::" ? "::1" : mBindAddress;
    const size_t zone = host.find('%');
    if (zone != std::string::npos) host.insert(zone + 1, "25");
    return "rtsp://[" + host + "]:" + std::to_string(mPort) + path;
}

void TestCamera::acceptLoop() {
    int number = 0;
    while (!mStopping) {
        pollfd fds[2] = {{mListenFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (fds[1].revents & POLLIN)) break;
        sockaddr_storage peer{};
        socklen_t len = sizeof(peer);
        int fd = ::accept(mListenFd, reinterpret_cast<sockaddr*>(&peer), &len);
        if (fd < 0) continue;
        char ip[INET6_ADDRSTRLEN] = {0};
        std::string zone;
        if (peer.ss_family == AF_INET6) {
            const auto* peer6 = reinterpret_cast<sockaddr_in6*>(&peer);
            inet_ntop(AF_INET6, &peer6->sin6_addr, ip, sizeof(ip));
            char name[IF_NAMESIZE] = {0};
            if (peer6->sin6_scope_id != 0 && if_indextoname(peer6->sin6_scope_id, name) != nullptr)
                zone = std::string("%") + name;
        } else {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, ip, sizeof(ip));
        }
        auto connection = std::make_shared<CameraConnection>(this, fd, ++number, ip + zone);
        std::vector<std::shared_ptr<CameraConnection>> finished;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            // A long-running camera sees clients come and go: closed connections are let go here
            // (outside the lock, as their destructors join threads) so their sockets do not pile up.
            auto done = std::stable_partition(mConnections.begin(), mConnections.end(),
                                              [](const auto& c) { return !c->finished(); });
            finished.assign(done, mConnections.end());
            mConnections.erase(done, mConnections.end());
            mConnections.push_back(connection);
            ++mAccepted;
        }
        finished.clear();
        connection->start();
        mChanged.notify_all();
    }
}

void TestCamera::setReply(const std::string& method, const CameraReply& reply) {
    std::lock_guard<std::mutex> lock(mMutex);
    mScript.replies[method] = reply;
}

void TestCamera::queueReply(const std::string& method, const CameraReply& reply) {
    std::lock_guard<std::mutex> lock(mMutex);
    mQueuedReplies[method].push_back(reply);
}

void TestCamera::setStreamerFactory(std::function<std::unique_ptr<CameraStreamer>()> factory) {
    std::lock_guard<std::mutex> lock(mMutex);
    mStreamerFactory = std::move(factory);
}

void TestCamera::setUdpSetupHook(UdpSetupHook hook) {
    std::lock_guard<std::mutex> lock(mMutex);
    mUdpSetupHook = std::move(hook);
}

CameraReply TestCamera::replyFor(const std::string& method) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto queued = mQueuedReplies.find(method);
    if (queued != mQueuedReplies.end() && !queued->second.empty()) {
        CameraReply reply = queued->second.front();
        queued->second.pop_front();
        return reply;
    }
    auto it = mScript.replies.find(method);
    if (it != mScript.replies.end()) return it->second;
    CameraReply reply;
    if (method != "OPTIONS" && method != "DESCRIBE" && method != "SETUP" && method != "PLAY" &&
        method != "PAUSE" && method != "GET_PARAMETER" && method != "TEARDOWN") {
        reply.status = 501;
    }
    return reply;
}

size_t TestCamera::record(const CameraRequest& request) {
    size_t index;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mRequests.push_back(request);
        index = mRequests.size() - 1;
    }
    mChanged.notify_all();
    return index;
}

void TestCamera::updateStatus(size_t index, int status) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (index < mRequests.size()) mRequests[index].status = status;
    }
    mChanged.notify_all();
}

std::vector<CameraRequest> TestCamera::requests() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mRequests;
}

std::vector<std::string> TestCamera::methods() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::string> out;
    for (const auto& r : mRequests) {
        if (r.authorized) out.push_back(r.method);
    }
    return out;
}

bool TestCamera::waitForRequests(const std::string& method, size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (const auto& r : mRequests) {
            if (r.authorized && r.method == method) ++n;
        }
        return n >= count;
    });
}

int TestCamera::connectionCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mAccepted;
}

void TestCamera::dropConnections() {
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto& c : mConnections) c->close();
}

void logAnsweredRequests(const TestCamera& camera, const char* tool, size_t* printed) {
    std::vector<CameraRequest> all = camera.requests();
    while (*printed < all.size() && all[*printed].status != 0) {
        const CameraRequest& r = all[*printed];
        fprintf(stderr, "%s: [client %d] %s %s -> %d\n", tool, r.connection, r.method.c_str(), r.url.c_str(),
                r.status);
        ++*printed;
    }
}

bool socketAddress(const std::string& ip, uint16_t port, sockaddr_storage* out, socklen_t* length) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(ip.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    const bool ok = found->ai_addrlen <= sizeof(*out);
    if (ok) {
        *out = sockaddr_storage{};
        memcpy(out, found->ai_addr, found->ai_addrlen);
        *length = found->ai_addrlen;
        // sin_port and sin6_port lie at the same place.
        reinterpret_cast<sockaddr_in*>(out)->sin_port = htons(port);
    }
    freeaddrinfo(found);
    return ok;
}

sockaddr_in ipv4Address(const std::string& ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

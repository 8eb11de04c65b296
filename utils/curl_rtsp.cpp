#include "utils/curl_rtsp.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/interleaved_relay_internal.h"
#include "utils/networking/multicast_socket_internal.h"
#include "utils/networking/netsocket.h"
#include "utils/slog.h"
#include "utils/time_constants_internal.h"
#include "utils/url_scheme_internal.h"

namespace {
constexpr const char* kUserAgent = "Qel Rtsp Client/1.0";
// RFC 2326 12.29: an RTSP Range needs its unit; the bare "0.000-" is refused by servers that
// check (GStreamer answers 400), while every server takes the npt form.
constexpr const char* kPlayRange = "npt=0.000-";
constexpr long kRequestTimeoutSeconds = 3;
constexpr long kFirstErrorStatus = 400;
// RFC 2326 12.37: a session without a timeout= times out after 60 s.
constexpr unsigned kDefaultSessionTimeoutS = 60;
// RTP-Info lists every track; a few kilobytes is plenty.
constexpr size_t kMaxRtpInfoBytes = 4096;

// Bodies that have no consumer: the OPTIONS answer, every answer after SETUP, and interleaved
// frames that arrive before the first RECEIVE has installed the frame callback. Left unset,
// libcurl would fwrite them to whatever the write-data pointer holds.
size_t discardBody(char*, size_t size, size_t nmemb, void*) {
    return size * nmemb;
}

size_t describeWriter(char* ptr, size_t size, size_t nmemb, void* userdata) {
    return CurlRtsp::fParseDescribe(ptr, size, nmemb, static_cast<CurlRtsp*>(userdata));
}

// libcurl's socket hook for a connection read directly: the relay connects to the address libcurl
// resolved and has libcurl connect to the relay instead.
curl_socket_t openRelayedSocket(void* relay, curlsocktype purpose, curl_sockaddr* address) {
    if (purpose != CURLSOCKTYPE_IPCXN || address == nullptr) return CURL_SOCKET_BAD;
    socklen_t length = address->addrlen;
    int fd = static_cast<interleaved_internal::InterleavedRelay*>(relay)->connect(&address->addr, &length);
    if (fd < 0) return CURL_SOCKET_BAD;
    address->family = AF_INET;
    address->socktype = SOCK_STREAM;
    address->protocol = IPPROTO_TCP;
    address->addrlen = length;
    return fd;
}

bool containsVideoFormat(const std::string& format) {
    return format.find("H264") != std::string::npos || format.find("H265") != std::string::npos;
}

// A Content-Base or Content-Location that is a URL of its own (RFC 2326 C.1.1). Some cameras send
// one without the scheme (Anjvision: "192.168.1.10:554/stream0/"); those cannot serve as base.
bool usableBase(const std::string& url) {
    return strncasecmp(url.c_str(), "rtsp://", 7) == 0 || strncasecmp(url.c_str(), "rtsps://", 8) == 0;
}

// A byte below 0x20, or 0x7f: in a URL, user name or password it could end a request line or
// header early and start one of its own.
bool hasControlCharacter(const std::string& s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
    }
    return false;
}
}  // namespace

size_t CurlRtsp::fParseDescribe(void* ptr, size_t size, size_t nmemb, CurlRtsp* self) {
    size_t n = 0;
    if (__builtin_mul_overflow(size, nmemb, &n)) return 0;
    if (self != nullptr && ptr != nullptr) {
        self->mSdpParser.feed(static_cast<const char*>(ptr), n);
        // Kept for the audio track's reading, as far as the parser reads it.
        const size_t room = RtspSdpParser::kMaxBodyBytes -
                            std::min(self->mSdpBody.size(), size_t{RtspSdpParser::kMaxBodyBytes});
        self->mSdpBody.append(static_cast<const char*>(ptr), std::min(n, room));
        self->mTracks = self->mSdpParser.tracks();
        self->mTrackCount = static_cast<int32_t>(self->mTracks.size());
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// Session

CurlRtsp::CurlRtsp(std::string url, unsigned short rtpPort, unsigned short rtcpPort, std::string user,
                   std::string password, bool tcp)
    : mDebugFps(),
      mCurl(nullptr),
      mTcp(tcp),
      mUrl(std::move(url)),
      mUser(std::move(user)),
      mPassword(std::move(password)),
      mRtpPort(rtpPort),
      mRtcpPort(rtcpPort),
      mTrackCount(0),
      mRunning(false),
      mThreadKeepalive(nullptr),
      mThreadTcpRecv(nullptr),
      mLogUrl(UtilsString::maskUrlPassword(mUrl)) {
    const url_internal::SchemeSplit scheme = url_internal::splitScheme(mUrl);
    mConnectUrl = scheme.connectUrl;
    mRtsps = scheme.scheme == url_internal::RtspScheme::Rtsps;
    mRtsph = scheme.scheme == url_internal::RtspScheme::Rtsph;
    mTlsHost = scheme.host;
    mTunnelPath = scheme.path;
    mCameraHost = scheme.resolveHost;
    mCameraPort = scheme.port;
    // Inside the tunnel the requests are plain RTSP, and name the stream as such.
    if (mRtsph) mUrl = mConnectUrl;
    mAggregateUrl = mUrl;
    mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mWakeFd < 0) SLOGE("rtsp keep-alive wake-up not available, errno %d\n", errno);
    if (hasControlCharacter(mUrl)) {
        mRefusedInput = "url";
    } else if (hasControlCharacter(mUser)) {
        mRefusedInput = "user name";
    } else if (hasControlCharacter(mPassword)) {
        mRefusedInput = "password";
    }
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_global_init(CURL_GLOBAL_ALL);
    checkRet(code, "CurlRtsp", __LINE__);
    mCurl = curl_easy_init();
    if (mCurl == nullptr) {
        SLOGE("check ptr is null !\n");
        abort();
    }
    code |= curl_easy_setopt(mCurl, CURLOPT_VERBOSE, 0L);
    code |= curl_easy_setopt(mCurl, CURLOPT_NOPROGRESS, 1L);
    static_assert(kRequestTimeoutSeconds * 1000 ==
                  quorvane_internal::TimeConstants::kDefaultRequestTimeoutMs);
    code |= curl_easy_setopt(mCurl, CURLOPT_TIMEOUT_MS,
                             static_cast<long>(quorvane_internal::timeConstants().requestTimeoutMs.load()));
    // Refused input never reaches the handle: without a URL no request can connect.
    if (mRefusedInput == nullptr) {
        code |= curl_easy_setopt(mCurl, CURLOPT_URL, mConnectUrl.c_str());
        code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_STREAM_URI, mUrl.c_str());
    }
    code |= curl_easy_setopt(mCurl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
    if (mRefusedInput == nullptr) {
        code |= curl_easy_setopt(mCurl, CURLOPT_USERNAME, mUser.c_str());
        code |= curl_easy_setopt(mCurl, CURLOPT_PASSWORD, mPassword.c_str());
    }
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEFUNCTION, discardBody);
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEDATA, nullptr);
    code |= curl_easy_setopt(mCurl, CURLOPT_HEADERFUNCTION, fHeader);
    code |= curl_easy_setopt(mCurl, CURLOPT_HEADERDATA, this);
    checkRet(code, "CurlRtsp", __LINE__);
}

CurlRtsp::~CurlRtsp() {
    SLOGD("destroying curl rtsp ...\n");
    mRunning = false;
    const uint64_t one = 1;
    if (mWakeFd >= 0 && ::write(mWakeFd, &one, sizeof(one)) < 0) SLOGE("rtsp keep-alive not woken\n");
    joinThreads();
    if (mRelay) mRelay->stop();
    std::lock_guard<std::mutex> lock(mMutex);
    curl_easy_cleanup(mCurl);
    mCurl = nullptr;
    if (mWakeFd >= 0) ::close(mWakeFd);
    SLOGD("destroying curl rtsp ... done\n");
}

bool CurlRtsp::checkRet(int code, const char* name, unsigned int line) {
    if (code == 0) return true;
    SLOGE("[%s:%u] check error(%d)! %s, \n", name, line, code, mLogUrl.c_str());
    return false;
}

bool CurlRtsp::checkStatus(const char* name, const char* url) {
    long status = 0;
    curl_easy_getinfo(mCurl, CURLINFO_RESPONSE_CODE, &status);
    if (status < kFirstErrorStatus) return true;
    SLOGE("RTSP %s answered with status %ld: %s\n", name, status, UtilsString::maskUrlPassword(url).c_str());
    return false;
}

void CurlRtsp::noteResult(const char* request, int code) {
    RtspRequestResult result;
    result.request = request;
    result.curlCode = code;
    // A failed TLS handshake reaches libcurl as a socket it could not open: say what it was.
    if (code != 0 && mRelay) {
        const tls_internal::TlsFailure tls = mRelay->tlsFailure();
        if (tls == tls_internal::TlsFailure::Certificate) result.curlCode = CURLE_PEER_FAILED_VERIFICATION;
        if (tls == tls_internal::TlsFailure::Handshake) result.curlCode = CURLE_SSL_CONNECT_ERROR;
    }
    long value = 0;
    if (curl_easy_getinfo(mCurl, CURLINFO_OS_ERRNO, &value) == CURLE_OK)
        result.osErrno = static_cast<int>(value);
    if (curl_easy_getinfo(mCurl, CURLINFO_RESPONSE_CODE, &value) == CURLE_OK) result.status = value;
    std::lock_guard<std::mutex> lock(mResultMutex);
    mLastResult = std::move(result);
}

RtspRequestResult CurlRtsp::lastResult() const {
    std::lock_guard<std::mutex> lock(mResultMutex);
    // A connection read directly ends without a failed RECEIVE to tell of it.
    if (mRelay && mRelay->closed() && mRunning.load() && mLastResult.curlCode == 0) {
        RtspRequestResult closed = mLastResult;
        closed.request = "RECEIVE";
        closed.curlCode = CURLE_RECV_ERROR;
        return closed;
    }
    return mLastResult;
}

bool CurlRtsp::options() {
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_OPTIONS));
    code |= perform("OPTIONS");
    noteResult("OPTIONS", code);
    if (!checkRet(code, "options", __LINE__)) return false;
    // Some cameras refuse OPTIONS and stream fine, so its status only warns.
    long status = 0;
    curl_easy_getinfo(mCurl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= kFirstErrorStatus) {
        SLOGW("RTSP OPTIONS answered with status %ld, going on: %s\n", status, mLogUrl.c_str());
    } else if (mAnswer.publicSeen && strcasestr(mAnswer.publicMethods.c_str(), "GET_PARAMETER") == nullptr &&
               !mKeepAliveByOptions.exchange(true)) {
        SLOGW("RTSP keep-alive by OPTIONS: the camera does not offer GET_PARAMETER: %s\n", mLogUrl.c_str());
    }
    return true;
}

bool CurlRtsp::describe() {
    std::lock_guard<std::mutex> lock(mMutex);
    mSdpParser = RtspSdpParser(mOptions.realCameraSdp);
    mSdpBody.clear();
    mTracks.clear();
    mTrackCount = 0;
    mAnswer = AnswerHeaders();
    int code = curl_easy_setopt(mCurl, CURLOPT_WRITEFUNCTION, describeWriter);
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEDATA, this);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_DESCRIBE));
    code |= curl_easy_setopt(mCurl, CURLOPT_USERAGENT, kUserAgent);
    code |= perform("DESCRIBE", [this] {
        mSdpParser = RtspSdpParser(mOptions.realCameraSdp);
        mTracks.clear();
        mTrackCount = 0;
    });
    noteResult("DESCRIBE", code);
    mSdpParser.finish();
    mTracks = mSdpParser.tracks();
    mTrackCount = static_cast<int32_t>(mTracks.size());
    // RFC 2326 C.1.1: relative controls are relative to Content-Base, else Content-Location,
    // else the request URL.
    mBaseUrl = usableBase(mAnswer.contentBase)       ? mAnswer.contentBase
               : usableBase(mAnswer.contentLocation) ? mAnswer.contentLocation
                                                     : mUrl;
    // The aggregate control "*" is the base (RFC 2326 C.1.1). A query of the request URL is then
    // where the camera put it in the base, or not needed any more (GStreamer's server refuses
    // PLAY on it).
    mAggregateUrl = mOptions.realCameraSdp || mUrl.find('?') != std::string::npos ? mBaseUrl : mUrl;
    // With the relay, libcurl's own connection goes to the loopback address.
    char* ip = nullptr;
    if (mRelay)
        mSessionInfo.serverIp = mRelay->cameraAddress();
    else if (curl_easy_getinfo(mCurl, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr)
        mSessionInfo.serverIp = ip;
    // libcurl leaves out the zone of a link-local IPv6 address; the connection itself has it.
    curl_socket_t connection = CURL_SOCKET_BAD;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof(peer);
    if (!mRelay && ipv6() && curl_easy_getinfo(mCurl, CURLINFO_ACTIVESOCKET, &connection) == CURLE_OK &&
        connection != CURL_SOCKET_BAD &&
        getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
        peer.ss_family == AF_INET6 && reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_scope_id != 0) {
        NetEndpoint scoped;
        memcpy(scoped.mBytes, &peer, sizeof(sockaddr_in6));
        mSessionInfo.serverIp = scoped.getIP();
    }
    if (!checkRet(code, "describe", __LINE__)) return false;
    return checkStatus("DESCRIBE", mUrl.c_str());
}

bool CurlRtsp::setup(unsigned short port, char* uri) {
    if (uri == nullptr || strnlen(uri, kMaxUrlBytes) >= kMaxUrlBytes) {
        SLOGE("rtsp SETUP refused: track url missing or of %zu bytes or more\n", kMaxUrlBytes);
        return false;
    }
    SLOGD("setup %d , %d, uri: %s\n", port, port + 1, UtilsString::maskUrlPassword(uri).c_str());
    char transport[kMaxUrlBytes] = {0};
    const int pair = mSetups++;
    if (multicastWanted()) {
        // The camera chooses the group and ports (RFC 2326 12.39).
        snprintf(transport, sizeof(transport), "RTP/AVP;multicast");
    } else if (mTcp) {
        // Servers such as MediaMTX refuse a TCP transport without channels; the answer's channels
        // are the ones followed.
        snprintf(transport, sizeof(transport), "RTP/AVP/TCP;unicast;interleaved=%d-%d", 2 * pair,
                 2 * pair + 1);
    } else {
        snprintf(transport, sizeof(transport), "RTP/AVP;unicast;client_port=%u-%u",
                 static_cast<unsigned>(port), static_cast<unsigned>(port) + 1u);
    }
    std::string answer;
    const bool answered = setupRequest(uri, transport, &answer);
    if (answered && multicastWanted()) {
        RtspTransportInfo info;
        parseRtspTransport(answer.data(), answer.size(), &info);
        if (!usableMulticastAnswer(lastResult().status, info, "video")) {
            mMulticastRefused = true;
            return false;
        }
    }
    if (!answered || !checkStatus("SETUP", uri)) {
        SLOGW("SETUP %s failed.\n", mLogUrl.c_str());
        return false;
    }
    // The first video track's transport is the one the receiver follows.
    if (!mSessionInfo.transport.present)
        parseRtspTransport(answer.data(), answer.size(), &mSessionInfo.transport);
    return true;
}

bool CurlRtsp::usableMulticastAnswer(long status, const RtspTransportInfo& answer, const char* track) const {
    std::string why;
    NetEndpoint group;
    if (status == 461) {
        why = "461 Unsupported Transport";
    } else if (status >= kFirstErrorStatus) {
        return true;  // another refusal, reported as such
    } else if (!answer.multicast) {
        why = "a unicast answer";
    } else if (answer.destination.empty()) {
        why = "no destination= group";
    } else if (!NetEndpoint::parse(answer.destination, 0, &group) || !MulticastSocket::isGroup(group)) {
        why = "destination=" + answer.destination + ", not a multicast group";
    } else if (answer.multicastRtpPort == 0 || answer.multicastRtcpPort == 0) {
        why = "no port= pair";
    } else {
        SLOGD("%s multicast group %s port %u-%u ttl %d: %s\n", track, answer.destination.c_str(),
              static_cast<unsigned>(answer.multicastRtpPort), static_cast<unsigned>(answer.multicastRtcpPort),
              answer.ttl, mLogUrl.c_str());
        return true;
    }
    SLOGE("rtsp camera refused multicast for the %s track (%s): %s\n", track, why.c_str(), mLogUrl.c_str());
    return false;
}

bool CurlRtsp::setupRequest(const char* uri, const char* transport, std::string* answerTransport) {
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_easy_setopt(mCurl, CURLOPT_RTSP_STREAM_URI, uri);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_TRANSPORT, transport);
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEFUNCTION, discardBody);
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEDATA, nullptr);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_SETUP));
    mAnswer = AnswerHeaders();
    code |= perform("SETUP");
    noteResult("SETUP", code);
    if (unsigned timeout = rtspSessionTimeout(mAnswer.session.data(), mAnswer.session.size()))
        mSessionTimeoutS = timeout;
    *answerTransport = mAnswer.transport;
    return code == 0;
}

void CurlRtsp::setupAudio() {
    const RtspAudioTrack audio = findAudioTrack(mSdpBody);
    if (!audio.present) return;
    if (audioCodecOf(audio.encoding) == RtspAudioCodec::Unknown) {
        SLOGW("audio track of payload type %u ('%s') not supported, video only: %s\n", audio.payloadType,
              audio.encoding.c_str(), mLogUrl.c_str());
        return;
    }
    RtspTrack track;
    track.control = audio.control;
    std::string uri = trackUrl(track);
    char transport[128] = {0};
    if (multicastWanted()) {
        snprintf(transport, sizeof(transport), "RTP/AVP;multicast");
        ++mSetups;
    } else if (mTcp) {
        // The channel pair after the video's; the answer says which the camera took.
        const int video = mSessionInfo.transport.rtcpChannel >= 0 ? mSessionInfo.transport.rtcpChannel : 1;
        const int first = std::max(2 * mSetups++, video + 1);
        snprintf(transport, sizeof(transport), "RTP/AVP/TCP;unicast;interleaved=%d-%d", first, first + 1);
    } else {
        snprintf(transport, sizeof(transport), "RTP/AVP;unicast;client_port=%u-%u",
                 static_cast<unsigned>(mRtcpPort), static_cast<unsigned>(mRtcpPort) + 1u);
    }
    std::string answer;
    long status = 0;
    const bool sent = uri.size() < kMaxUrlBytes && setupRequest(uri.c_str(), transport, &answer);
    if (sent) {
        std::lock_guard<std::mutex> lock(mMutex);
        curl_easy_getinfo(mCurl, CURLINFO_RESPONSE_CODE, &status);
    }
    if (!sent) {
        SLOGW("audio SETUP failed (no answer, curl error %d), video only: %s\n", lastResult().curlCode,
              mLogUrl.c_str());
        return;
    }
    RtspTransportInfo info;
    parseRtspTransport(answer.data(), answer.size(), &info);
    if (multicastWanted() && !usableMulticastAnswer(status, info, "audio")) {
        SLOGW("audio not received by multicast, video only: %s\n", mLogUrl.c_str());
        return;
    }
    if (status >= kFirstErrorStatus) {
        SLOGW("audio SETUP answered with status %ld, video only: %s\n", status, mLogUrl.c_str());
        return;
    }
    mSessionInfo.audioSetUp = true;
    mSessionInfo.audioTrack = audio;
    mSessionInfo.audioTransport = info;
}

bool CurlRtsp::urlWithinLimit() const {
    if (mUrl.size() < kMaxUrlBytes) return true;
    SLOGE("rtsp url of %zu bytes refused, the limit is %zu\n", mUrl.size(), kMaxUrlBytes - 1);
    return false;
}

bool CurlRtsp::play() {
    if (!urlWithinLimit() || mAggregateUrl.size() >= kMaxUrlBytes) return false;
    char streamUri[kMaxUrlBytes] = {0};
    memcpy(streamUri, mAggregateUrl.data(), mAggregateUrl.size());
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_easy_setopt(mCurl, CURLOPT_RTSP_STREAM_URI, streamUri);
    code |= curl_easy_setopt(mCurl, CURLOPT_RANGE, kPlayRange);
    // Cameras start sending right after the PLAY answer, and libcurl may read the first frames
    // (often the parameter sets) together with it: they go to the owner, not to the discarder.
    code |= curl_easy_setopt(mCurl, CURLOPT_INTERLEAVEFUNCTION, fTcpRecvCallback);
    code |= curl_easy_setopt(mCurl, CURLOPT_INTERLEAVEDATA, &mTcpRecvCallback);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_PLAY));
    mAnswer = AnswerHeaders();
    code |= perform("PLAY");
    noteResult("PLAY", code);
    if (code != 0 || !checkStatus("PLAY", streamUri)) {
        SLOGW("PLAY %s failed.\n", mLogUrl.c_str());
        return false;
    }
    if (unsigned timeout = rtspSessionTimeout(mAnswer.session.data(), mAnswer.session.size()))
        mSessionTimeoutS = timeout;
    parseRtspRtpInfo(mAnswer.rtpInfo.data(), mAnswer.rtpInfo.size(), mVideoTrackUrl, mVideoControl,
                     &mSessionInfo.rtpInfo);
    return true;
}

bool CurlRtsp::pause() {
    return requestOnBaseUrl(CURL_RTSPREQ_PAUSE, "pause", "PAUSE", __LINE__);
}

bool CurlRtsp::getparameter() {
    return requestOnBaseUrl(CURL_RTSPREQ_GET_PARAMETER, "getparameter", "GET_PARAMETER", __LINE__);
}

bool CurlRtsp::teardown() {
    return requestOnBaseUrl(CURL_RTSPREQ_TEARDOWN, "teardown", "TEARDOWN", __LINE__);
}

bool CurlRtsp::requestOnBaseUrl(long request, const char* name, const char* method, unsigned int line,
                                bool whileRunning) {
    return requestOnBaseUrl(request, name, method, line, whileRunning, nullptr, nullptr);
}

// PAUSE, GET_PARAMETER, TEARDOWN and the OPTIONS keep-alive go to the aggregate URL.
bool CurlRtsp::requestOnBaseUrl(long request, const char* name, const char* method, unsigned int line,
                                bool whileRunning, int* codeOut, long* statusOut) {
    if (mRefusedInput != nullptr) {
        SLOGE("rtsp %s refused: the %s holds control characters\n", method, mRefusedInput);
        return false;
    }
    std::lock_guard<std::mutex> lock(mMutex);
    if (whileRunning && !mRunning) return true;
    int code = curl_easy_setopt(mCurl, CURLOPT_URL, mConnectUrl.c_str());
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_STREAM_URI, mAggregateUrl.c_str());
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, request);
    code |= perform(method);
    noteResult(method, code);
    long status = 0;
    curl_easy_getinfo(mCurl, CURLINFO_RESPONSE_CODE, &status);
    if (codeOut != nullptr) *codeOut = code;
    if (statusOut != nullptr) *statusOut = code == 0 ? status : 0;
    if (!checkRet(code, name, line)) return false;
    return checkStatus(method, mAggregateUrl.c_str());
}

int CurlRtsp::perform(const char* method, const std::function<void()>& beforeRetry) {
    if (mCSeqZero) curl_easy_setopt(mCurl, CURLOPT_RTSP_CLIENT_CSEQ, 0L);
    int code = curl_easy_perform(mCurl);
    // libcurl checks that the answer carries the request's CSeq; some cameras answer 0, or none.
    if (code == CURLE_RTSP_CSEQ_ERROR && !mCSeqZero && (!mAnswer.cseqSeen || mAnswer.cseq == 0)) {
        SLOGW("RTSP %s answered with CSeq %s; every request is numbered 0 from now on: %s\n", method,
              mAnswer.cseqSeen ? "0" : "missing", mLogUrl.c_str());
        mCSeqZero = true;
        if (beforeRetry) beforeRetry();
        mAnswer = AnswerHeaders();
        curl_easy_setopt(mCurl, CURLOPT_RTSP_CLIENT_CSEQ, 0L);
        code = curl_easy_perform(mCurl);
    }
    return code;
}

bool CurlRtsp::playCurl() {
    return play();
}

bool CurlRtsp::pauseCurl() {
    return pause();
}

bool CurlRtsp::requestReceive() {
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_easy_setopt(mCurl, CURLOPT_INTERLEAVEFUNCTION, fTcpRecvCallback);
    code |= curl_easy_setopt(mCurl, CURLOPT_INTERLEAVEDATA, &mTcpRecvCallback);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_RECEIVE));
    code |= curl_easy_perform(mCurl);
    if (code == CURLE_OPERATION_TIMEDOUT) {
        SLOGW("rtsp tcp receive request timeout .\n");
        return false;
    }
    return checkRet(code, "requestReceive", __LINE__);
}

size_t CurlRtsp::fTcpRecvCallback(void* ptr, size_t size, size_t nmemb, void* userdata) {
    size_t n = size * nmemb;
    auto* callback = static_cast<std::function<void(void*, unsigned long)>*>(userdata);
    if (callback != nullptr && *callback) {
        std::function<void(void*, unsigned long)> call = *callback;
        call(ptr, n);
    }
    return n;
}

RtspPath CurlRtsp::path() const {
    if (!mTcp) return mOptions.multicast ? RtspPath::Multicast : RtspPath::Udp;
    if (mRtsps) return RtspPath::Tls;
    return mRtsph || mOptions.httpTunnel ? RtspPath::HttpTunnel : RtspPath::Tcp;
}

const RtspTrack& CurlRtsp::track(int i) const {
    static const RtspTrack kNone;
    return i >= 0 && static_cast<size_t>(i) < mTracks.size() ? mTracks[static_cast<size_t>(i)] : kNone;
}

std::string CurlRtsp::trackUrl(const RtspTrack& track) const {
    if (mOptions.realCameraSdp || mUrl.find('?') != std::string::npos)
        return resolveRtspControl(mBaseUrl, track.control);
    return track.control.find("rtsp://") != std::string::npos ||
                   track.control.find("rtsps://") != std::string::npos
               ? track.control
               : mUrl + "/" + track.control;
}

bool CurlRtsp::startCurl() {
    if (mRefusedInput != nullptr) {
        SLOGE("rtsp session refused: the %s holds control characters\n", mRefusedInput);
        return false;
    }
    if (!urlWithinLimit()) return false;
    mSessionInfo = RtspSessionInfo();
    mAggregateUrl = mUrl;
    mVideoTrackUrl.clear();
    mVideoControl.clear();
    mSetups = 0;
    mSessionTimeoutS = 0;
    mSessionLostReported = false;
    mMulticastRefused = false;
    {
        uint64_t pending = 0;
        if (mWakeFd >= 0 && ::read(mWakeFd, &pending, sizeof(pending)) < 0 && errno != EAGAIN)
            SLOGW("rtsp keep-alive wake-up not cleared, errno %d\n", errno);
        std::lock_guard<std::mutex> lock(mMutex);
        // Never Basic before the camera asked for it; without allowBasicAuth, never at all.
        int code =
            curl_easy_setopt(mCurl, CURLOPT_HTTPAUTH,
                             static_cast<long>(mOptions.allowBasicAuth ? CURLAUTH_ANY : CURLAUTH_ANYSAFE));
        checkRet(code, "startCurl", __LINE__);
    }
    if (mRtsps && !mTcp) {
        SLOGE(
            "rtsps session refused: %s carries the stream only inside its TLS connection; use the TCP "
            "transport (RTP over UDP would leave the camera unencrypted)\n",
            mLogUrl.c_str());
        return false;
    }
    if (mOptions.multicast && mTcp)
        SLOGW("rtsp multicast is for the UDP transport; %s goes on interleaved in TCP\n", mLogUrl.c_str());
    const bool tunnel = mRtsph || mOptions.httpTunnel;
    if (tunnel && (!mTcp || mRtsps)) {
        SLOGE(
            "rtsp http tunnel refused for %s: it carries the stream interleaved, over plain HTTP; use the "
            "TCP "
            "transport and an rtsp:// or rtsph:// URL\n",
            mLogUrl.c_str());
        return false;
    }
    // The TLS of rtsps and the HTTP tunnel lie in the relay: libcurl speaks plain RTSP to it.
    if (mTcp && (mOptions.directInterleavedRead || mRtsps || tunnel) && !mRelay) {
        mRelay.reset(new interleaved_internal::InterleavedRelay(
            [this](void* frame, unsigned long length) {
                if (mTcpRecvCallback) mTcpRecvCallback(frame, length);
            },
            static_cast<int>(quorvane_internal::timeConstants().requestTimeoutMs.load()),
            interleaved_internal::effectiveCoalescingUs(mOptions.receiveCoalescingUs)));
        if (mRtsps) {
            tls_internal::TlsConfig tls;
            tls.host = mTlsHost;
            tls.caFile = mOptions.tlsCaFile;
            tls.pinnedKeys = mOptions.tlsPinnedPublicKey;
            tls.insecureNoVerify = mOptions.tlsInsecureNoVerify;
            mRelay->setTls(tls);
        }
        if (tunnel) mRelay->setHttpTunnel(mTunnelPath);
        if (!mCameraHost.empty() && mCameraPort != 0) mRelay->setCameraHost(mCameraHost, mCameraPort);
        std::lock_guard<std::mutex> lock(mMutex);
        int code = curl_easy_setopt(mCurl, CURLOPT_OPENSOCKETFUNCTION, openRelayedSocket);
        code |= curl_easy_setopt(mCurl, CURLOPT_OPENSOCKETDATA, mRelay.get());
        checkRet(code, "startCurl", __LINE__);
    }
    if (!options()) return false;
    if (!describe()) return false;
    // RTP over UDP comes from the camera's address: the receive sockets must be of its family.
    if (!mTcp && mReceiveFamilyCallback && !mReceiveFamilyCallback(ipv6() ? AF_INET6 : AF_INET)) {
        SLOGE(
            "rtsp session refused: %s is an %s camera, and no UDP receive port of that family could be "
            "bound; use the TCP transport\n",
            mLogUrl.c_str(), ipv6() ? "IPv6" : "IPv4");
        return false;
    }
    const bool realCameraSdp = mOptions.realCameraSdp;
    bool videoSetUp = false;
    for (int i = 0; i < mTrackCount; ++i) {
        const RtspTrack& track = mTracks[static_cast<size_t>(i)];
        if (realCameraSdp) {
            // One receiver takes one video stream: the first H.264/H.265 offer. Without a
            // control the track is the base URL itself (RFC 2326 C.1.1).
            if (videoSetUp || RtspSdpParser::h26xCodec(track.format) == 0) continue;
        } else if (mUrl.empty() || track.control.empty()) {
            SLOGE("curl: rtsp setup error, track is null.\n");
            continue;
        }
        SLOGD("TRACK [%d] : %s\n", i, UtilsString::maskUrlPassword(track.control).c_str());
        if (!realCameraSdp && !containsVideoFormat(track.format)) continue;
        std::string uri = trackUrl(track);
        if (!setup(mRtpPort, &uri[0])) return false;
        if (!videoSetUp) {
            mVideoTrackUrl = uri.c_str();
            mVideoControl = track.control;
            mSessionInfo.encoding = track.format;
            mSessionInfo.payloadType = track.payloadType;
            mSessionInfo.clockRate = track.clockRate;
            mSessionInfo.parameterSets = sdpParameterSets(track.format, track.fmtp);
        }
        videoSetUp = true;
    }
    if (videoSetUp && mOptions.receiveAudio) setupAudio();
    if (videoSetUp && mSessionInfo.transport.multicast && mJoinGroupsCallback) {
        if (const int error = mJoinGroupsCallback(mSessionInfo)) {
            std::lock_guard<std::mutex> lock(mResultMutex);
            mLastResult.osErrno = error;
            return false;
        }
    }
    if (mBeforePlayCallback) mBeforePlayCallback(mSessionInfo);
    if (!play()) return false;
    if (mAfterPlayCallback) mAfterPlayCallback(mSessionInfo.rtpInfo);
    mRunning = true;
    if (mTcp && !mRelay && mThreadTcpRecv == nullptr)
        mThreadTcpRecv = new std::thread(&CurlRtsp::fTcpReceive, this);
    if (mThreadKeepalive == nullptr) mThreadKeepalive = new std::thread(&CurlRtsp::fThreadKeepalive, this);
    return true;
}

void CurlRtsp::stopCurl() {
    mRunning = false;
    const uint64_t one = 1;
    if (mWakeFd >= 0 && ::write(mWakeFd, &one, sizeof(one)) < 0) SLOGE("rtsp keep-alive not woken\n");
    teardown();
    joinThreads();
    if (mRelay) mRelay->stop();
}

void CurlRtsp::joinThreads() {
    for (std::thread** t : {&mThreadKeepalive, &mThreadTcpRecv}) {
        if (*t == nullptr) continue;
        if ((*t)->joinable()) (*t)->join();
        delete *t;
        *t = nullptr;
    }
}

int64_t CurlRtsp::keepAliveIntervalMs() const {
    // Read every cycle: tests shorten them while a session plays.
    const auto& constants = quorvane_internal::timeConstants();
    const unsigned timeout = mSessionTimeoutS.load() > 0 ? mSessionTimeoutS.load() : kDefaultSessionTimeoutS;
    const int64_t half = static_cast<int64_t>(timeout) * constants.sessionTimeoutSecondMs.load() / 2;
    return std::max<int64_t>(1, std::min<int64_t>(constants.keepAliveIntervalMs.load(), half));
}

bool CurlRtsp::waitBeforeKeepAlive(int64_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // Over interleaved TCP read by libcurl, RECEIVE requests keep the connection busy.
    bool watch = !mTcp || mRelay != nullptr;
    for (;;) {
        // Rounded up: a wait never ends early.
        const int64_t left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return mRunning;
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (watch) {
            std::lock_guard<std::mutex> lock(mMutex);
            if (curl_easy_getinfo(mCurl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK)
                socket = CURL_SOCKET_BAD;
        }
        pollfd p[2] = {{mWakeFd, POLLIN, 0}, {socket, POLLIN, 0}};
        const int ready =
            ::poll(p, socket == CURL_SOCKET_BAD ? 1 : 2, static_cast<int>(std::min<int64_t>(left, 1000)));
        if (ready < 0 && errno != EINTR) return mRunning;
        if (!mRunning || (ready > 0 && p[0].revents != 0)) return false;
        if (ready <= 0 || socket == CURL_SOCKET_BAD || p[1].revents == 0) continue;
        // Between requests the camera has nothing to say: readable means closed, or stray bytes.
        char byte = 0;
        ssize_t n;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            n = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        }
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            SLOGW("rtsp connection closed by the camera: %s\n", mLogUrl.c_str());
            reportSessionLost(RtspClientReason::Closed);
            return false;
        }
        // Bytes libcurl reads with its next request: wait without the connection until then.
        if (n > 0) watch = false;
    }
}

namespace {
RtspClientReason lostReason(int curlCode) {
    // A keep-alive on a connection the camera has just closed fails in sending or reading: that
    // is the camera closing, whichever of the request and the close came first.
    switch (curlCode) {
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return RtspClientReason::Closed;
        default:
            return RtspClientReason::Error;
    }
}
}  // namespace

void CurlRtsp::keepAlive() {
    int code = 0;
    long status = 0;
    // A stop right after the wait must not be followed by a request after TEARDOWN.
    if (!mKeepAliveByOptions) {
        bool sent = requestOnBaseUrl(CURL_RTSPREQ_GET_PARAMETER, "getparameter", "GET_PARAMETER", __LINE__,
                                     true, &code, &status);
        if (!sent) SLOGW("getParameter keepalive error !\n");
        if (status != 501 && status != 405 && status != 454) {
            if (code != 0) reportSessionLost(lostReason(code));
            return;
        }
        mKeepAliveByOptions = true;
        SLOGW(
            "RTSP GET_PARAMETER keep-alive answered with status %ld; keep-alive by OPTIONS from now on: %s\n",
            status, mLogUrl.c_str());
    }
    requestOnBaseUrl(CURL_RTSPREQ_OPTIONS, "options", "OPTIONS", __LINE__, true, &code, &status);
    if (code != 0) reportSessionLost(lostReason(code));
}

void CurlRtsp::reportSessionLost(RtspClientReason reason) {
    if (!mRunning || mSessionLostReported.exchange(true)) return;
    SLOGW("rtsp session lost: %s\n", mLogUrl.c_str());
    if (mSessionLostCallback) mSessionLostCallback(reason);
}

void CurlRtsp::fThreadKeepalive() {
    Utils::setThreadName("CrulKeepLive");
    while (mRunning) {
        if (!waitBeforeKeepAlive(keepAliveIntervalMs())) break;
        if (mRunning) keepAlive();
    }
    SLOGD("curl rtps fThreadKeepalive over !\n");
}

void CurlRtsp::fTcpReceive() {
    Utils::setThreadName("CurlTcpRecv");
    std::string label = "CURL:" + std::to_string(reinterpret_cast<uintptr_t>(this));
    while (mRunning) {
        if (!requestReceive()) break;
        mDebugFps.countAndPrintfFps(label, 10000);
    }
    SLOGD("curl rtsp tcp receive over !\n");
}

size_t CurlRtsp::fHeader(char* data, size_t size, size_t nmemb, void* self) {
    size_t n = 0;
    if (__builtin_mul_overflow(size, nmemb, &n)) return 0;
    if (self == nullptr || data == nullptr) return n;
    AnswerHeaders& answer = static_cast<CurlRtsp*>(self)->mAnswer;
    std::string line(data, n);
    // Each answer starts with its status line; a 401 and its retry are two answers.
    if (line.compare(0, 5, "RTSP/") == 0) {
        answer = AnswerHeaders();
        return n;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) return n;
    size_t from = colon + 1;
    while (from < line.size() && (line[from] == ' ' || line[from] == '\t')) ++from;
    size_t to = line.size();
    while (to > from &&
           (line[to - 1] == '\r' || line[to - 1] == '\n' || line[to - 1] == ' ' || line[to - 1] == '\t'))
        --to;
    std::string name = line.substr(0, colon);
    // Longer values are of no use to us: a URL that long is refused anyway.
    if (to - from >= (strcasecmp(name.c_str(), "RTP-Info") == 0 ? kMaxRtpInfoBytes : kMaxUrlBytes)) return n;
    std::string value = line.substr(from, to - from);
    if (strcasecmp(name.c_str(), "Content-Base") == 0) {
        answer.contentBase = value;
    } else if (strcasecmp(name.c_str(), "Content-Location") == 0) {
        answer.contentLocation = value;
    } else if (strcasecmp(name.c_str(), "Transport") == 0 && answer.transport.empty()) {
        answer.transport = value;
    } else if (strcasecmp(name.c_str(), "Session") == 0) {
        answer.session = value;
    } else if (strcasecmp(name.c_str(), "RTP-Info") == 0) {
        answer.rtpInfo = value;
    } else if (strcasecmp(name.c_str(), "Public") == 0) {
        answer.publicSeen = true;
        answer.publicMethods = value;
    } else if (strcasecmp(name.c_str(), "CSeq") == 0) {
        answer.cseqSeen = true;
        answer.cseq = strtol(value.c_str(), nullptr, 10);
    }
    return n;
}

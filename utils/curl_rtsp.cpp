#include "utils/curl_rtsp.h"

#include <curl/curl.h>

// GCC 12 with -fsanitize=address takes std::regex's internal function objects for maybe
// uninitialized; the false positive sits in the library headers below.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "utils/slog.h"

namespace {
constexpr const char* kUserAgent = "Qel Rtsp Client/1.0";
// RFC 2326 12.29: an RTSP Range needs its unit; the bare "0.000-" is refused by servers that
// check (GStreamer answers 400), while every server takes the npt form.
constexpr const char* kPlayRange = "npt=0.000-";
constexpr long kRequestTimeoutSeconds = 3;
constexpr int kKeepaliveSeconds = 25;
constexpr long kFirstErrorStatus = 400;

// The three SDP expressions. They are built once; matching with a const std::regex is safe from
// any number of threads.
const std::regex& mediaExpression() {
    static const std::regex re(R"(m=(\S+) \d+ RTP/AVP (\d+))", std::regex::ECMAScript);
    return re;
}
const std::regex& rtpmapExpression() {
    static const std::regex re(R"(a=rtpmap:(\d+)\s+(\S+)/(\d+))", std::regex::ECMAScript);
    return re;
}
const std::regex& controlExpression() {
    static const std::regex re(R"(a\s*=\s*control\s*:\s*([^*]\S+))", std::regex::ECMAScript);
    return re;
}

uint32_t toNumber(const std::string& digits) {
    return static_cast<uint32_t>(strtol(digits.c_str(), nullptr, 10));
}

// Bodies that have no consumer: the OPTIONS answer, every answer after SETUP, and interleaved
// frames that arrive before the first RECEIVE has installed the frame callback. Left unset,
// libcurl would fwrite them to whatever the write-data pointer holds.
size_t discardBody(char*, size_t size, size_t nmemb, void*) {
    return size * nmemb;
}

size_t describeWriter(char* ptr, size_t size, size_t nmemb, void* userdata) {
    return CurlRtsp::fParseDescribe(ptr, size, nmemb, static_cast<CurlRtsp*>(userdata));
}

bool containsVideoFormat(const std::string& format) {
    return format.find("H264") != std::string::npos || format.find("H265") != std::string::npos;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// SDP

void RtspSdpParser::reset() {
    *this = RtspSdpParser();
}

void RtspSdpParser::feed(const char* data, size_t len, RtspTrack* tracks, int* count) {
    size_t room = kMaxBodyBytes - mBodyBytes;
    if (len > room) {
        if (!mBodyCapLogged) {
            SLOGW("DESCRIBE body longer than %zu bytes, the rest is ignored\n", kMaxBodyBytes);
            mBodyCapLogged = true;
        }
        len = room;
    }
    mBodyBytes += len;

    // CR, LF and CRLF all end a line; empty lines are skipped.
    const char* p = data;
    const char* end = data + len;
    while (p < end) {
        const char* eol = p;
        while (eol < end && *eol != '\r' && *eol != '\n') ++eol;
        size_t n = static_cast<size_t>(eol - p);
        if (!mPendingTooLong && n > kMaxLineBytes - mPending.size()) {
            mPendingTooLong = true;
            mPending.clear();
        }
        if (!mPendingTooLong) mPending.append(p, n);
        if (eol == end) break;
        commitPending();
        p = eol + 1;
    }
    publish(tracks, count);
}

void RtspSdpParser::finish(RtspTrack* tracks, int* count) {
    commitPending();
    publish(tracks, count);
    SLOGD("# TOTAL FOUND  %d\n", *count);
}

void RtspSdpParser::commitPending() {
    if (mPendingTooLong) {
        SLOGW("SDP line longer than %zu bytes skipped\n", kMaxLineBytes);
    } else if (!mPending.empty()) {
        applyLine(mCommitted, mPending, true);
    }
    mPending.clear();
    mPendingTooLong = false;
}

void RtspSdpParser::publish(RtspTrack* tracks, int* count) const {
    // The unfinished last line counts as if the body ended here; a later piece may complete it,
    // and it is then applied once, from the committed state.
    State visible = mCommitted;
    if (!mPendingTooLong && !mPending.empty()) applyLine(visible, mPending, false);
    for (int i = 0; i < kMaxTracks; ++i) tracks[i] = visible.tracks[i];
    *count = visible.index + 1;
}

void RtspSdpParser::applyLine(State& state, const std::string& line, bool log) {
    std::smatch m;
    if (std::regex_search(line, m, mediaExpression())) {
        if (state.index + 1 >= kMaxTracks) {
            if (log && !state.overflowed)
                SLOGW("more than %d media sections, the rest is ignored\n", kMaxTracks);
            state.overflowed = true;
            return;
        }
        ++state.index;
        if (log) SLOGD("# FOUND[%d] media: %s\n", state.index, m.str(1).c_str());
        state.tracks[state.index].media = m.str(1);
        return;
    }
    // Session-level lines (before the first m=) and the lines of ignored sections touch nothing.
    if (state.index < 0 || state.overflowed) return;
    RtspTrack& track = state.tracks[state.index];
    if (std::regex_search(line, m, controlExpression())) {
        if (log) SLOGD("# FOUND[%d] control: %s \n", state.index, m.str(1).c_str());
        track.control = m.str(1);
        return;
    }
    if (std::regex_search(line, m, rtpmapExpression())) {
        if (log) {
            SLOGD("# FOUND[%d] rtpmap: id:%s format:%s bitrate:%s \n", state.index, m.str(1).c_str(),
                  m.str(2).c_str(), m.str(3).c_str());
        }
        track.payloadType = toNumber(m.str(1));
        track.format = m.str(2);
        track.clockRate = toNumber(m.str(3));
    }
}

size_t CurlRtsp::fParseDescribe(void* ptr, size_t size, size_t nmemb, CurlRtsp* self) {
    size_t n = 0;
    if (__builtin_mul_overflow(size, nmemb, &n)) return 0;
    if (self != nullptr && ptr != nullptr) {
        int count = 0;
        self->mSdpParser.feed(static_cast<const char*>(ptr), n, self->mTracks, &count);
        self->mTrackCount = count;
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
      mThreadTcpRecv(nullptr) {
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
    code |= curl_easy_setopt(mCurl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
    code |= curl_easy_setopt(mCurl, CURLOPT_URL, mUrl.c_str());
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_STREAM_URI, mUrl.c_str());
    code |= curl_easy_setopt(mCurl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
    code |= curl_easy_setopt(mCurl, CURLOPT_USERNAME, mUser.c_str());
    code |= curl_easy_setopt(mCurl, CURLOPT_PASSWORD, mPassword.c_str());
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEFUNCTION, discardBody);
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEDATA, nullptr);
    checkRet(code, "CurlRtsp", __LINE__);
}

CurlRtsp::~CurlRtsp() {
    SLOGD("destroying curl rtsp ...\n");
    {
        std::lock_guard<std::mutex> wake(mWakeMutex);
        mRunning = false;
    }
    mWakeCv.notify_all();
    joinThreads();
    std::lock_guard<std::mutex> lock(mMutex);
    curl_easy_cleanup(mCurl);
    mCurl = nullptr;
    SLOGD("destroying curl rtsp ... done\n");
}

bool CurlRtsp::checkRet(int code, const char* name, unsigned int line) {
    if (code == 0) return true;
    SLOGE("[%s:%u] check error(%d)! %s, \n", name, line, code, mUrl.c_str());
    return false;
}

bool CurlRtsp::checkStatus(const char* name, const char* url) {
    long status = 0;
    curl_easy_getinfo(mCurl, CURLINFO_RESPONSE_CODE, &status);
    if (status < kFirstErrorStatus) return true;
    SLOGE("RTSP %s answered with status %ld: %s\n", name, status, url);
    return false;
}

void CurlRtsp::noteResult(const char* request, int code) {
    RtspRequestResult result;
    result.request = request;
    result.curlCode = code;
    long value = 0;
    if (curl_easy_getinfo(mCurl, CURLINFO_OS_ERRNO, &value) == CURLE_OK)
        result.osErrno = static_cast<int>(value);
    if (curl_easy_getinfo(mCurl, CURLINFO_RESPONSE_CODE, &value) == CURLE_OK) result.status = value;
    std::lock_guard<std::mutex> lock(mResultMutex);
    mLastResult = std::move(result);
}

RtspRequestResult CurlRtsp::lastResult() const {
    std::lock_guard<std::mutex> lock(mResultMutex);
    return mLastResult;
}

bool CurlRtsp::options() {
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_OPTIONS));
    code |= curl_easy_perform(mCurl);
    noteResult("OPTIONS", code);
    if (!checkRet(code, "options", __LINE__)) return false;
    // Some cameras refuse OPTIONS and stream fine, so its status only warns.
    long status = 0;
    curl_easy_getinfo(mCurl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= kFirstErrorStatus) {
        SLOGW("RTSP OPTIONS answered with status %ld, going on: %s\n", status, mUrl.c_str());
    }
    return true;
}

bool CurlRtsp::describe() {
    std::lock_guard<std::mutex> lock(mMutex);
    mSdpParser.reset();
    mTrackCount = 0;
    int code = curl_easy_setopt(mCurl, CURLOPT_WRITEFUNCTION, describeWriter);
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEDATA, this);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_DESCRIBE));
    code |= curl_easy_setopt(mCurl, CURLOPT_USERAGENT, kUserAgent);
    code |= curl_easy_perform(mCurl);
    noteResult("DESCRIBE", code);
    int count = 0;
    mSdpParser.finish(mTracks, &count);
    mTrackCount = count;
    if (!checkRet(code, "describe", __LINE__)) return false;
    return checkStatus("DESCRIBE", mUrl.c_str());
}

bool CurlRtsp::setup(unsigned short port, char* uri) {
    if (uri == nullptr || strnlen(uri, kMaxUrlBytes) >= kMaxUrlBytes) {
        SLOGE("rtsp SETUP refused: track url missing or of %zu bytes or more\n", kMaxUrlBytes);
        return false;
    }
    SLOGD("setup %d , %d, uri: %s\n", port, port + 1, uri);
    char transport[kMaxUrlBytes] = {0};
    if (mTcp) {
        // The server chooses the interleaved channels; the client ports are placeholders.
        snprintf(transport, sizeof(transport), "RTP/AVP/TCP;unicast;client_port=%u-%u", 0u, 1u);
    } else {
        snprintf(transport, sizeof(transport), "RTP/AVP;unicast;client_port=%u-%u",
                 static_cast<unsigned>(port), static_cast<unsigned>(port) + 1u);
    }
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_easy_setopt(mCurl, CURLOPT_RTSP_STREAM_URI, uri);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_TRANSPORT, transport);
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEFUNCTION, discardBody);
    code |= curl_easy_setopt(mCurl, CURLOPT_WRITEDATA, nullptr);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_SETUP));
    code |= curl_easy_perform(mCurl);
    noteResult("SETUP", code);
    if (code != 0 || !checkStatus("SETUP", uri)) {
        SLOGW("SETUP %s failed.\n", mUrl.c_str());
        return false;
    }
    return true;
}

bool CurlRtsp::urlWithinLimit() const {
    if (mUrl.size() < kMaxUrlBytes) return true;
    SLOGE("rtsp url of %zu bytes refused, the limit is %zu\n", mUrl.size(), kMaxUrlBytes - 1);
    return false;
}

bool CurlRtsp::play() {
    if (!urlWithinLimit()) return false;
    char streamUri[kMaxUrlBytes] = {0};
    memcpy(streamUri, mUrl.data(), mUrl.size());
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_easy_setopt(mCurl, CURLOPT_RTSP_STREAM_URI, streamUri);
    code |= curl_easy_setopt(mCurl, CURLOPT_RANGE, kPlayRange);
    // Cameras start sending right after the PLAY answer, and libcurl may read the first frames
    // (often the parameter sets) together with it: they go to the owner, not to the discarder.
    code |= curl_easy_setopt(mCurl, CURLOPT_INTERLEAVEFUNCTION, fTcpRecvCallback);
    code |= curl_easy_setopt(mCurl, CURLOPT_INTERLEAVEDATA, &mTcpRecvCallback);
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_PLAY));
    code |= curl_easy_perform(mCurl);
    noteResult("PLAY", code);
    if (code != 0 || !checkStatus("PLAY", streamUri)) {
        SLOGW("PLAY %s failed.\n", mUrl.c_str());
        return false;
    }
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

// PAUSE, GET_PARAMETER and TEARDOWN: the stream URI is the one PLAY left, the base URL.
bool CurlRtsp::requestOnBaseUrl(long request, const char* name, const char* method, unsigned int line) {
    std::lock_guard<std::mutex> lock(mMutex);
    int code = curl_easy_setopt(mCurl, CURLOPT_URL, mUrl.c_str());
    code |= curl_easy_setopt(mCurl, CURLOPT_RTSP_REQUEST, request);
    code |= curl_easy_perform(mCurl);
    noteResult(method, code);
    if (!checkRet(code, name, line)) return false;
    return checkStatus(method, mUrl.c_str());
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

bool CurlRtsp::startCurl() {
    if (!urlWithinLimit()) return false;
    if (!options()) return false;
    if (!describe()) return false;
    for (int i = 0; i < mTrackCount; ++i) {
        const RtspTrack& track = mTracks[i];
        if (mUrl.empty() || track.control.empty()) {
            SLOGE("curl: rtsp setup error, track is null.\n");
            continue;
        }
        SLOGD("TRACK [%d] : %s\n", i, track.control.c_str());
        if (!containsVideoFormat(track.format)) continue;
        std::string uri =
            track.control.find("rtsp://") != std::string::npos ? track.control : mUrl + "/" + track.control;
        if (!setup(mRtpPort, &uri[0])) return false;
    }
    if (mBeforePlayCallback) mBeforePlayCallback(mSessionInfo);
    if (!play()) return false;
    mRunning = true;
    if (mTcp && mThreadTcpRecv == nullptr) mThreadTcpRecv = new std::thread(&CurlRtsp::fTcpReceive, this);
    if (mThreadKeepalive == nullptr) mThreadKeepalive = new std::thread(&CurlRtsp::fThreadKeepalive, this);
    return true;
}

void CurlRtsp::stopCurl() {
    {
        std::lock_guard<std::mutex> wake(mWakeMutex);
        mRunning = false;
    }
    mWakeCv.notify_all();
    teardown();
    joinThreads();
}

void CurlRtsp::joinThreads() {
    for (std::thread** t : {&mThreadKeepalive, &mThreadTcpRecv}) {
        if (*t == nullptr) continue;
        if ((*t)->joinable()) (*t)->join();
        delete *t;
        *t = nullptr;
    }
}

void CurlRtsp::fThreadKeepalive() {
    Utils::setThreadName("CrulKeepLive");
    while (mRunning) {
        for (int i = 0; i < kKeepaliveSeconds; ++i) {
            std::unique_lock<std::mutex> wake(mWakeMutex);
            if (!mRunning) return;
            mWakeCv.wait_for(wake, std::chrono::seconds(1), [this] { return !mRunning.load(); });
        }
        // A stop during the last second must not be followed by a request after TEARDOWN.
        if (!mRunning) return;
        if (!getparameter()) SLOGW("getParameter keepalive error !\n");
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

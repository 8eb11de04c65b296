#ifndef QUORVANE_UTILS_CURL_RTSP_H
#define QUORVANE_UTILS_CURL_RTSP_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../quorvane_export.h"
#include "../rtsp_client_events.h"
#include "../rtsp_client_options.h"
#include "rtsp_session_info.h"
#include "sdp_parser.h"
#include "utils.h"

// libcurl's easy handle, as <curl/curl.h> declares it for applications; callers of this header do
// not need libcurl's headers.
typedef void CURL;

namespace interleaved_internal {
class InterleavedRelay;
}

// How the last request of a session ended: the RTSP method, libcurl's result code (0 when the
// transfer worked), the system error behind a failed connection (0 when none) and the status of
// the camera's answer (0 when none arrived).
struct QUORVANE_EXPORT RtspRequestResult {
    std::string request;
    int curlCode = 0;
    int osErrno = 0;
    long status = 0;
};

// One RTSP session with one camera over a libcurl easy handle: OPTIONS, DESCRIBE, SETUP of every
// H.264/H.265 track (with realCameraSdp: of the first one) and, with receiveAudio, of the first
// audio track, PLAY, a keep-alive, the interleaved receive loop (TCP transport) and TEARDOWN.
//
// Keep-alive: GET_PARAMETER at half the Session timeout= the camera announced (60 s when it
// announced none), at most every 25 s. A camera that does not list GET_PARAMETER in the OPTIONS
// answer's Public header, or answers it 501, 405 or 454, gets OPTIONS (with the session) instead.
// Between keep-alives the thread waits on the RTSP connection too: a connection the camera closed,
// or a keep-alive that fails, is reported once through mSessionLostCallback.
//
// URLs: relative track controls are joined to the DESCRIBE answer's Content-Base (else
// Content-Location, else the request URL); PLAY, PAUSE, TEARDOWN and the keep-alive go to that
// base (the aggregate control "*"). Without realCameraSdp this holds only for URLs with a query;
// others keep the request URL.
//
// CSeq: an answer with CSeq 0 or none is the answer to the one request in flight. Without the
// relay, libcurl refuses it; the session then numbers every request 0 (the camera answers 0 or
// nothing) and repeats the refused request once. With the relay, the answer's CSeq is mended on
// its way to libcurl.
//
// A URL, user name or password holding control characters (bytes below 0x20, or 0x7f) is never
// handed to libcurl: startCurl refuses it with one error line, and no request goes out. Log lines
// show URLs with the password masked.
//
// Threads: the owner calls the constructor, startCurl, stopCurl and the destructor; startCurl
// starts "CrulKeepLive" and, with TCP, "CurlTcpRecv". mMutex is held across every request,
// including a RECEIVE of up to 3 s. mTcpRecvCallback runs inside whichever request reads the
// frame (mostly RECEIVE on "CurlTcpRecv"; PLAY on the owner's thread, GET_PARAMETER on the
// keep-alive thread), always with mMutex held, so it must not call back into this object.
// With RtspClientOptions::directInterleavedRead, "CurlTcpRecv" is instead the thread that holds
// the connection from the first request to stopCurl: it calls mTcpRecvCallback for every frame,
// without mMutex, and no RECEIVE request is made.
class QUORVANE_EXPORT CurlRtsp {
public:
    CurlRtsp(std::string url, unsigned short rtpPort, unsigned short rtcpPort, std::string user,
             std::string password, bool tcp);
    ~CurlRtsp();
    CurlRtsp(const CurlRtsp&) = delete;
    CurlRtsp& operator=(const CurlRtsp&) = delete;

    // OPTIONS, DESCRIBE, SETUP, PLAY; true when PLAY succeeded and the worker threads run.
    bool startCurl();
    // Stops the threads and sends TEARDOWN.
    void stopCurl();

    bool options();
    bool describe();
    bool setup(unsigned short port, char* uri);
    bool play();
    bool pause();
    bool getparameter();
    bool teardown();
    bool playCurl();
    bool pauseCurl();
    bool requestReceive();
    bool checkRet(int code, const char* name, unsigned int line);

    void fThreadKeepalive();
    void fTcpReceive();
    static size_t fTcpRecvCallback(void* ptr, size_t size, size_t nmemb, void* userdata);
    static size_t fParseDescribe(void* ptr, size_t size, size_t nmemb, CurlRtsp* self);

    // The last request performed; lets the owner tell a refused connection from a refused login.
    RtspRequestResult lastResult() const;

    // Behaviour switches; set before startCurl.
    void setOptions(const RtspClientOptions& options) { mOptions = options; }
    // What DESCRIBE and SETUP of the last startCurl said; complete once the SETUPs are done.
    RtspSessionInfo sessionInfo() const { return mSessionInfo; }
    // Called by startCurl after the SETUPs and before PLAY, on the thread that called startCurl,
    // with no lock of the session held: the receiver prepares for the stream described here.
    std::function<void(const RtspSessionInfo&)> mBeforePlayCallback;
    // With RtspClientOptions::multicast, called by startCurl after the SETUPs and before
    // mBeforePlayCallback, on the same thread, with the groups the camera answered: the receiver
    // joins them. A non-zero errno ends the attempt before PLAY.
    std::function<int(const RtspSessionInfo&)> mJoinGroupsCallback;
    // Called by startCurl once the PLAY answer is read, on the same thread, with what its
    // RTP-Info said for the video track (present == false when it said nothing). Packets may have
    // arrived before it: the receiver takes it as a late hint.
    std::function<void(const RtspRtpInfo&)> mAfterPlayCallback;
    // The session was lost outside a request the owner made: the RTSP connection closed, or a
    // keep-alive failed. Called at most once per session, from the keep-alive (or relay) thread,
    // with no lock of this object held; the owner reconnects at once instead of waiting for
    // silence. It must not call stopCurl on that thread.
    std::function<void(RtspClientReason)> mSessionLostCallback;
    // UDP sessions: called by startCurl after DESCRIBE, on its thread, with the family (AF_INET or
    // AF_INET6) of the camera's address, before any SETUP offers the receive ports; the owner makes
    // its receive sockets of that family (and may move them to other ports: setReceivePorts).
    // False refuses the session. Without it the ports are offered as they are.
    std::function<bool(int)> mReceiveFamilyCallback;
    // The UDP receive ports the SETUPs offer: video RTP (RTCP one above), audio RTP.
    void setReceivePorts(unsigned short rtpPort, unsigned short audioRtpPort) {
        mRtpPort = rtpPort;
        mRtcpPort = audioRtpPort;
    }

    // The way this session goes to the camera; ipv6 once DESCRIBE has told the camera's address.
    RtspPath path() const;
    bool ipv6() const { return mSessionInfo.serverIp.find(':') != std::string::npos; }

    // RtspClientOptions::multicast: the camera refused it in the last startCurl (461 to SETUP, a
    // unicast answer, or no usable group and ports).
    bool multicastRefused() const { return mMulticastRefused; }

    int trackCount() const { return mTrackCount; }
    // Track `i` of the last DESCRIBE, 0 <= i < trackCount(); an empty track for any other `i`.
    const RtspTrack& track(int i) const;

    // URLs and track URLs of this many bytes or more are refused.
    static constexpr size_t kMaxUrlBytes = 1024;

private:
    // Status check after a request whose libcurl code was 0: libcurl reports an RTSP error
    // status as a successful transfer.
    bool checkStatus(const char* name, const char* url);
    // Records the outcome of the request just performed; called with mMutex held.
    void noteResult(const char* request, int code);
    // False, with an error line, for a URL too long for the request buffers.
    bool urlWithinLimit() const;
    // With `whileRunning`, nothing is sent (and true returned) once the session has stopped: the
    // check is made under mMutex, so a keep-alive never follows the TEARDOWN.
    bool requestOnBaseUrl(long request, const char* name, const char* method, unsigned int line,
                          bool whileRunning = false);
    // The same, also giving libcurl's code and the answer's status (0 when none).
    bool requestOnBaseUrl(long request, const char* name, const char* method, unsigned int line,
                          bool whileRunning, int* codeOut, long* statusOut);
    void joinThreads();
    // SETUP of `uri` with `transport`; true when an answer came, its Transport header in
    // `answerTransport`. Logs nothing.
    bool setupRequest(const char* uri, const char* transport, std::string* answerTransport);
    // SETUP of the SDP's first audio track of a codec the library reads (receiveAudio), after the
    // video's; on failure one warning, and the session goes on with video only.
    void setupAudio();
    // Multicast asked for, over UDP.
    bool multicastWanted() const { return mOptions.multicast && !mTcp; }
    // Whether a multicast SETUP's answer (`status`, `answer`) can be received; logs why not.
    bool usableMulticastAnswer(long status, const RtspTransportInfo& answer, const char* track) const;
    // The URL a SETUP of `track` goes to.
    std::string trackUrl(const RtspTrack& track) const;
    // Takes the headers of interest of the answer being read; libcurl's header callback.
    static size_t fHeader(char* data, size_t size, size_t nmemb, void* self);
    // curl_easy_perform of the request set up on mCurl, with mMutex held: numbers the request 0
    // once the camera has answered so, and repeats it once (after `beforeRetry`) when libcurl
    // refused an answer of CSeq 0 or without CSeq.
    int perform(const char* method, const std::function<void()>& beforeRetry = nullptr);
    // Period of the next keep-alive.
    int64_t keepAliveIntervalMs() const;
    // Waits `ms` on the wake-up and, where it is idle between requests, the RTSP connection;
    // false when the session stopped or the connection closed.
    bool waitBeforeKeepAlive(int64_t ms);
    // One keep-alive; falls back to OPTIONS when GET_PARAMETER is not supported.
    void keepAlive();
    void reportSessionLost(RtspClientReason reason);

    UtilsDebugFps mDebugFps;
    CURL* mCurl;
    bool mTcp;
    std::string mUrl;
    std::string mUser;
    std::string mPassword;
    uint16_t mRtpPort;
    uint16_t mRtcpPort;
    int32_t mTrackCount;
    std::vector<RtspTrack> mTracks;
    std::mutex mMutex;  // guards mCurl, mSdpParser and mAnswer
    std::atomic<bool> mRunning;
    std::thread* mThreadKeepalive;
    std::thread* mThreadTcpRecv;

public:
    // Receives each interleaved frame, '$' header included; set by the owner before startCurl.
    std::function<void(void*, unsigned long)> mTcpRecvCallback;

private:
    std::string mLogUrl;                  // mUrl with its password masked, for log lines
    const char* mRefusedInput = nullptr;  // "url", "user name" or "password" with control characters
    RtspSdpParser mSdpParser;
    std::string mSdpBody;  // the DESCRIBE body, up to RtspSdpParser::kMaxBodyBytes
    // Headers of the answer read last (a new status line clears them).
    struct AnswerHeaders {
        std::string contentBase;
        std::string contentLocation;
        std::string transport;
        std::string session;
        std::string rtpInfo;
        std::string publicMethods;
        bool publicSeen = false;
        bool cseqSeen = false;
        long cseq = 0;
    } mAnswer;
    std::string mBaseUrl;        // base of relative controls of the last DESCRIBE
    std::string mAggregateUrl;   // what PLAY, PAUSE, TEARDOWN and keep-alives go to
    std::string mVideoTrackUrl;  // SETUP URL and control of the video track, for RTP-Info
    std::string mVideoControl;
    int mSetups = 0;                            // SETUPs of this session; names the interleaved pair
    std::atomic<unsigned> mSessionTimeoutS{0};  // timeout= of the camera's Session header; 0: none
    std::atomic<bool> mKeepAliveByOptions{false};
    bool mCSeqZero = false;  // every request numbered 0; guarded by mMutex
    std::atomic<bool> mSessionLostReported{false};
    RtspClientOptions mOptions;
    RtspSessionInfo mSessionInfo;
    mutable std::mutex mResultMutex;  // guards mLastResult, read without waiting for a RECEIVE
    RtspRequestResult mLastResult;
    // eventfd: readable once the session stops; wakes the keep-alive thread's wait.
    int mWakeFd = -1;
    // The connection read directly (directInterleavedRead over TCP, and every rtsps session);
    // null otherwise.
    std::unique_ptr<interleaved_internal::InterleavedRelay> mRelay;
    // What libcurl connects with: mUrl, or for rtsps:// the same as rtsp:// with the port made
    // explicit, the relay providing the TLS beneath. Requests still name mUrl.
    std::string mConnectUrl;
    bool mRtsps = false;
    bool mRtsph = false;  // rtsph://: the HTTP tunnel whatever the options say
    bool mMulticastRefused = false;
    std::string mTunnelPath;
    std::string mCameraHost;  // for the relay's own connection attempts to every address
    uint16_t mCameraPort = 0;
    std::string mTlsHost;  // the host an rtsps certificate must name
};

#endif

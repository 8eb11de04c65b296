#ifndef QUORVANE_TESTKIT_TEST_CAMERA_H
#define QUORVANE_TESTKIT_TEST_CAMERA_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A scriptable RTSP camera on 127.0.0.1 (or an IPv6 address) for tests, built on plain POSIX sockets. It
// records every request it receives and answers from a script: status, headers, SDP, session id, interleaved
// channels, Basic or Digest authentication, delays, silence and closing the connection. After
// PLAY it can send scripted interleaved frames and hand the connection to a CameraStreamer,
// which is how RTP from packetized clips is sent (interleaved or over UDP to the client ports).

struct iovec;

using CameraHeaders = std::vector<std::pair<std::string, std::string>>;

// One request as the camera received it.
struct CameraRequest {
    int connection = 0;  // 1 for the first TCP connection the camera accepted, 2 for the next, ...
    std::string method;
    std::string url;
    CameraHeaders headers;  // in the order sent, names as sent
    std::string body;
    bool authorized = true;  // false when the camera answered 401 for missing or wrong credentials
    int status = 0;          // the status the camera answered; 0 when it did not answer

    // The value of the first header named `name` (any case), or "" when there is none.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

// How the camera treats requests of one method.
struct CameraReply {
    enum class Action {
        Answer,   // answer after delayMs
        Silence,  // never answer; keep reading further requests
        Close,    // close the connection without answering
    };
    Action action = Action::Answer;
    int status = 200;
    CameraHeaders headers;  // added to (or replacing) the defaults; a value of "-" leaves the header out
    bool replaceBody = false;
    std::string body;  // the answer's body when replaceBody (DESCRIBE answers the script's SDP otherwise)
    int delayMs = 0;
    // Writes the answer in pieces split at these byte offsets, pausing splitGapMs between pieces,
    // so the client reads it in several parts.
    std::vector<size_t> splitAt;
    int splitGapMs = 60;
};

// One interleaved frame (RFC 2326 10.12) the camera sends after PLAY.
struct CameraFrame {
    uint8_t channel = 0;
    std::string payload;
    int delayBeforeMs = 0;
    size_t splitAt = 0;  // when > 0, the frame ('$' header included) is written in two pieces here
};

struct CameraScript {
    enum class Auth { None, Basic, Digest };

    // The DESCRIBE body: by default one H.264 video track (control trackID=1) and one PCMA audio
    // track (trackID=2).
    std::string sdp;
    std::string sessionId = "6B8B4567";
    Auth auth = Auth::None;
    std::string user;
    std::string password;
    std::string realm = "TestCamera";
    std::string nonce = "b7f9c2d41e";
    bool digestQop = false;   // offer qop="auth" (RFC 2617) instead of the RFC 2069 form
    bool authOptions = true;  // also demand credentials for OPTIONS
    // When set (e.g. "/stream"), DESCRIBE, SETUP and PLAY of any other path are answered 404.
    std::string streamPath;
    // Sent right after the PLAY answer on the same connection; then closeAfterFrames closes it.
    std::vector<CameraFrame> framesAfterPlay;
    bool closeAfterFrames = false;
    std::map<std::string, CameraReply> replies;  // by method, for every request of that method

    // Quirks of real cameras.
    std::string answerCSeq;  // "": each answer repeats the request's CSeq; "-": none; else this value
    std::string trailer;     // bytes written after every answer (a stray CRLF)
    // TCP SETUP without interleaved= is answered 461 (MediaMTX, gortsplib).
    bool requireInterleaved = false;
    // > 0: a playing session that gets no request answered 2xx with its Session header (or the
    // PLAY) for this long expires: the stream stops and the connection closes.
    int sessionTimeoutMs = 0;
    // GStreamer's server: DESCRIBE of a URL with a query answers the Content-Base of its path
    // ("rtsp://host/live/"); every later request to a URL with a query is answered 404.
    bool queryOnlyForDescribe = false;
    int sessionTimeoutS = 60;  // announced in the SETUP answer's Session header
    // Appended to the SETUP answer's Transport: a source= or ssrc= that is not the stream's.
    std::string transportSuffix;
    // A successful PLAY starts the stream before its answer, which then waits the PLAY reply's
    // delayMs (old live555 servers stream as they handle PLAY).
    bool streamBeforePlayAnswer = false;

    static std::string defaultSdp();
};

// What a streamer learns about one SETUP of the playing connection.
struct CameraTrackTransport {
    std::string url;
    bool tcp = false;
    uint16_t clientRtpPort = 0;  // UDP: the client_port pair of the SETUP request
    uint16_t clientRtcpPort = 0;
    uint8_t rtpChannel = 0;  // TCP: the interleaved channels the camera assigned
    uint8_t rtcpChannel = 1;
    // UDP: the port the camera sends RTP from, announced as server_port with the next one; 0: none.
    uint16_t serverRtpPort = 0;
    // The SETUP asked for multicast: the stream goes to `group`, RTP to groupPort, RTCP the next.
    bool multicast = false;
    std::string group;
    uint16_t groupPort = 0;
};

class CameraConnection;

// The playing connection as a streamer sees it. All send functions are safe to call from the
// streamer's thread while the camera answers requests on the same connection.
class CameraPlayContext {
public:
    explicit CameraPlayContext(CameraConnection* connection);
    ~CameraPlayContext();
    CameraPlayContext(const CameraPlayContext&) = delete;
    CameraPlayContext& operator=(const CameraPlayContext&) = delete;

    // The client's address; a link-local IPv6 one with its zone ("fe80::1%lo").
    std::string clientIp() const;
    // The camera's own address on the RTSP connection, the one its media should come from.
    std::string cameraIp() const;
    // In SETUP order.
    std::vector<CameraTrackTransport> tracks() const;
    // One RTP packet of track `track`: an interleaved frame on its RTP channel (TCP), or a
    // datagram to the client's RTP port (UDP). False when the track does not exist or the
    // connection is gone.
    bool sendRtp(size_t track, const uint8_t* data, size_t len);
    bool sendRtcp(size_t track, const uint8_t* data, size_t len);
    // An interleaved frame; with splitAt > 0 written in two pieces with a short pause between.
    bool sendInterleaved(uint8_t channel, const uint8_t* data, size_t len, size_t splitAt = 0);
    // Raw bytes on the RTSP connection.
    bool sendRaw(const void* data, size_t len);
    // Raw bytes from `count` pieces in one write where the socket takes them (interleaved frames
    // of a whole picture at once). The array is used up: its entries are advanced as bytes go.
    bool sendRawv(iovec* pieces, size_t count);
    // Each write leaves as its own segment at once (TCP_NODELAY), as from a camera that paces.
    void sendSegmentsAtOnce();
    // Sleeps up to `ms`; false as soon as the stream must stop (TEARDOWN, close, camera stop).
    bool waitFor(int ms);
    bool stopping() const;
    // Closes the RTSP connection, as a camera that drops a client; the stream then stops.
    void closeConnection();

private:
    bool sendUdp(uint16_t port, const uint8_t* data, size_t len);
    CameraConnection* mConnection;
    int mUdpFd = -1;
};

// Sends media after PLAY. run() is called on a thread of its own and must return soon after
// context.stopping() turns true; waitFor() is the way to pace.
class CameraStreamer {
public:
    virtual ~CameraStreamer() = default;
    virtual void run(CameraPlayContext& context) = 0;
};

class TestCamera;

// Writes the requests answered since the last call ("<tool>: [client N] METHOD URL -> STATUS") to
// standard error, in the order received; `printed` keeps the place between calls.
void logAnsweredRequests(const TestCamera& camera, const char* tool, size_t* printed);

// An IPv4 socket address from a dotted quad and a port.
sockaddr_in ipv4Address(const std::string& ip, uint16_t port);
// A socket address of either family from a numeric address (an IPv6 one may carry its zone,
// "fe80::1%lo") and a port; false for anything else.
bool socketAddress(const std::string& ip, uint16_t port, sockaddr_storage* out, socklen_t* length);

class TestCamera {
public:
    explicit TestCamera(CameraScript script = CameraScript());
    ~TestCamera();
    TestCamera(const TestCamera&) = delete;
    TestCamera& operator=(const TestCamera&) = delete;

    // Listens on 127.0.0.1 at a free port; false when it cannot.
    bool start();
    // Listens on `bindAddress` (an IPv4 or IPv6 address, a link-local one with its zone:
    // "fe80::1%lo") at `port` (0: a free one); false when it cannot.
    bool start(const std::string& bindAddress, uint16_t port);
    // Closes every connection and joins every thread.
    void stop();

    uint16_t port() const { return mPort; }
    // rtsp://127.0.0.1:<port><path>, or rtsp://[<address>]:<port><path> when listening on IPv6
    std::string url(const std::string& path = "/live") const;

    // Replaces the treatment of `method` for all later requests.
    void setReply(const std::string& method, const CameraReply& reply);
    // Used for the next request of `method` only, before the ones set with setReply.
    void queueReply(const std::string& method, const CameraReply& reply);
    // Called on every PLAY; the streamer it returns runs until the stream stops.
    void setStreamerFactory(std::function<std::unique_ptr<CameraStreamer>()> factory);
    // Called with the client's address on every UDP SETUP about to be answered 2xx: it may set the
    // track's serverRtpPort, and for a multicast one (track->multicast) must set its group and
    // groupPort. False answers 461. Without a hook a multicast SETUP is answered as a unicast one.
    using UdpSetupHook = std::function<bool(const std::string& clientIp, CameraTrackTransport* track)>;
    void setUdpSetupHook(UdpSetupHook hook);

    std::vector<CameraRequest> requests() const;
    // The methods of all requests in order, authorized ones only.
    std::vector<std::string> methods() const;
    // Waits until `count` requests of `method` (authorized) have been received.
    bool waitForRequests(const std::string& method, size_t count, int timeoutMs) const;
    // TCP connections accepted so far, closed ones included.
    int connectionCount() const;
    // Closes every client connection now, as a camera that drops off the network.
    void dropConnections();
    // Sessions expired for want of a keep-alive (sessionTimeoutMs).
    int expiredSessions() const { return mExpired.load(); }

private:
    friend class CameraConnection;
    void acceptLoop();
    size_t record(const CameraRequest& request);
    void updateStatus(size_t index, int status);
    CameraReply replyFor(const std::string& method);

    CameraScript mScript;
    std::function<std::unique_ptr<CameraStreamer>()> mStreamerFactory;
    UdpSetupHook mUdpSetupHook;
    int mListenFd = -1;
    int mWakeFd = -1;  // eventfd: readable once the camera stops
    uint16_t mPort = 0;
    int mFamily = 0;  // of the listening socket
    std::string mBindAddress;
    std::atomic<bool> mStopping{false};
    std::thread mAcceptThread;

    mutable std::mutex mMutex;  // guards everything below, the script's replies and the factory
    mutable std::condition_variable mChanged;
    std::vector<CameraRequest> mRequests;
    std::map<std::string, std::deque<CameraReply>> mQueuedReplies;
    std::vector<std::shared_ptr<CameraConnection>> mConnections;  // open ones; closed ones are reaped
    int mAccepted = 0;
    std::atomic<int> mExpired{0};
};

#endif

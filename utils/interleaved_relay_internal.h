#ifndef QUORVANE_UTILS_INTERLEAVED_RELAY_INTERNAL_H
#define QUORVANE_UTILS_INTERLEAVED_RELAY_INTERNAL_H

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../quorvane_export.h"
#include "tls_session_internal.h"

// Not installed. The RTSP connection of an interleaved (TCP) session read by the library itself.
//
// libcurl is handed a loopback connection to the relay in place of the connection to the camera;
// the relay holds the other end and the real connection. What libcurl writes (its requests) goes to
// the camera as it is. What the camera sends is split into '$' frames, handed straight to the
// frame callback on the relay's thread, and RTSP messages (the answers), passed on to libcurl
// whole. libcurl thus never reads a frame, and no RECEIVE request is needed: one system call per
// burst from the camera instead of libcurl's several polls and state changes per read.
namespace interleaved_internal {

// What the bytes at the start of the camera's stream are.
enum class Piece {
    NeedMore,  // not enough bytes yet to tell or to complete the piece
    Frame,     // an interleaved frame: '$', channel, 16-bit length, packet; `length` bytes in all
    Message,   // an RTSP message: `length` bytes of start line and headers, then `bodyLength` bytes
    Invalid,   // neither: the stream cannot be followed any further
};

struct Split {
    Piece piece = Piece::NeedMore;
    size_t length = 0;
    size_t bodyLength = 0;
};

// Header blocks longer than this, and bodies longer than kMaxBodyBytes, make the stream invalid.
constexpr size_t kMaxHeaderBytes = 16384;
constexpr size_t kMaxBodyBytes = 16u << 20;

// Reads only the `size` bytes at `data`.
QUORVANE_EXPORT Split splitInterleaved(const uint8_t* data, size_t size);

// The header block [head, head + size) of a message from the camera, with the CSeq of an answer
// ("RTSP/..." start line) mended to `cseq` where it says 0 or nothing: one request is in flight
// at a time, so such an answer is its answer. Anything else comes back unchanged.
QUORVANE_EXPORT std::string mendAnswerCSeq(const uint8_t* head, size_t size, long cseq);
// Receive coalescing (RtspClientOptions::receiveCoalescingUs), shared by the UDP receive thread
// and the relay. Whether an RTP packet of `length` bytes at `rtp` ends a picture (marker bit set);
// then nothing more is worth waiting for.
inline bool endsPicture(const void* rtp, unsigned long length) {
    return length >= 2 && (static_cast<const uint8_t*>(rtp)[1] & 0x80) != 0;
}
// Waits `us` microseconds, or less when `stopFd` or `otherFd` (-1: none) becomes readable; false
// when `stopFd` did.
bool coalescingWait(int stopFd, int otherFd, unsigned us);
// The wait a session uses for a requested one: at most the library's cap (5 ms).
unsigned effectiveCoalescingUs(unsigned requestedUs);

class QUORVANE_EXPORT InterleavedRelay {
public:
    using FrameCallback = std::function<void(void* frame, unsigned long length)>;

    // `onFrame` gets every frame, header included, on the relay's thread. `coalescingUs`: after a
    // read that left a picture unfinished, the camera's bytes are let gather this long before the
    // next read (0: read as soon as any arrive).
    InterleavedRelay(FrameCallback onFrame, int timeoutMs, unsigned coalescingUs);
    InterleavedRelay(FrameCallback onFrame, int timeoutMs);
    ~InterleavedRelay();
    InterleavedRelay(const InterleavedRelay&) = delete;
    InterleavedRelay& operator=(const InterleavedRelay&) = delete;

    // Connects to the camera at `address` within the time-out, then makes `address` that of a
    // loopback listener of the relay (an IPv4 address: `address` must hold a sockaddr_in) and
    // starts the relay's thread, which takes the one connection libcurl makes there. A connection
    // still open is closed first. Returns the unconnected socket for libcurl to connect and close,
    // or -1 with errno set.
    int connect(sockaddr* address, socklen_t* length);
    // rtsps: every later connect runs a TLS handshake with the camera, checking its certificate
    // as `config` says, before it hands libcurl its socket. Set before the first connect.
    void setTls(const tls_internal::TlsConfig& config) {
        mTlsConfig.reset(new tls_internal::TlsConfig(config));
    }
    // RTSP tunnelled in HTTP: every later connect opens the tunnel's GET and POST connections to
    // the camera for `path` (the URL's path and query) before it hands libcurl its socket.
    void setHttpTunnel(const std::string& path) { mTunnelPath.reset(new std::string(path)); }
    // Every later connect tries all addresses of `host` (IPv6 and IPv4 in turn, each a short
    // while after the one before), port `port`, instead of only the one libcurl hands over.
    void setCameraHost(const std::string& host, uint16_t port) {
        mCameraHost.reset(new std::pair<std::string, uint16_t>(host, port));
    }
    // Why the latest connect failed its TLS handshake; None when it did not.
    tls_internal::TlsFailure tlsFailure() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mTlsFailure;
    }
    // The camera's address as text ("192.0.2.7"), empty before the first connect.
    std::string cameraAddress() const;
    // Stops the thread and closes the connection; libcurl then reads the end of its stream.
    void stop();
    // The camera closed a connection of this relay or sent what is not RTSP. It stays set: the
    // session's frames do not come back on the connection libcurl may open after it.
    bool closed() const { return mClosed.load(); }

private:
    void run();
    // Takes libcurl's connection from the listener, and only that one; false after the time-out.
    bool acceptLibcurl();
    // Camera bytes in mBuffer: frames to the callback, messages to libcurl. False on a stream
    // that cannot be followed or a message that cannot be passed on.
    bool dispatch();
    // Reads what the camera has sent (through TLS for rtsps) and dispatches it; false when the
    // connection has ended or cannot be followed.
    bool readCamera();
    // Sends libcurl's bytes to the camera: as they are, through TLS, or base64 on the tunnel's
    // POST connection.
    bool writeCamera(const uint8_t* data, size_t size);
    // A TCP connection to `address` within `timeoutMs`; -1 with `error` set when none came about.
    static int connectTcp(const sockaddr* address, socklen_t length, int timeoutMs, int* error);
    // Sends the tunnel's GET on `camera` and reads its answer, then opens the POST connection
    // (`post`); `early` gets bytes that came behind the GET's answer. False, logged, when the
    // camera refused the tunnel or did not answer in time.
    bool openTunnel(int camera, const sockaddr* address, socklen_t length, int* post, std::string* early);
    // Writes all of [data, data + size) to `fd`, waiting at most the time-out for room.
    bool writeAll(int fd, const uint8_t* data, size_t size);
    void closeDescriptors();
    // Follows libcurl's requests to know the CSeq of the one in flight.
    void noteRequest(const uint8_t* data, size_t size);

    FrameCallback mOnFrame;
    const int mTimeoutMs;
    const unsigned mCoalescingUs;
    bool mPictureEnded = true;  // the last frame dispatched was an RTP packet with the marker bit
    mutable std::mutex mMutex;  // guards starting and stopping
    std::thread mThread;
    int mCamera = -1;
    int mListener = -1;   // loopback listener that libcurl connects to
    int mLibcurlFd = -1;  // libcurl's socket, only to recognise its connection
    int mOwnEnd = -1;     // our end of libcurl's connection
    int mStopFd = -1;     // eventfd that ends the thread's wait
    std::atomic<bool> mClosed{false};
    std::string mCameraAddress;    // guarded by mMutex
    std::vector<uint8_t> mBuffer;  // camera bytes not yet dispatched
    size_t mBuffered = 0;
    size_t mBodyToForward = 0;  // bytes of a message body still to pass to libcurl
    std::unique_ptr<const std::pair<std::string, uint16_t>> mCameraHost;
    // When every address of mCameraHost failed, and why: libcurl's next attempts fail at once.
    int64_t mFailedRoundNs = INT64_MIN / 2;
    int mFailedRoundErrno = 0;
    static constexpr int64_t kRepeatedRoundNs = 100 * 1000000;
    std::unique_ptr<const std::string> mTunnelPath;                         // HTTP tunnel only
    int mTunnelPost = -1;                                                   // the tunnel's POST connection
    std::unique_ptr<const tls_internal::TlsConfig> mTlsConfig;              // rtsps only
    std::unique_ptr<tls_internal::TlsSession> mTls;                         // over mCamera, rtsps only
    tls_internal::TlsFailure mTlsFailure = tls_internal::TlsFailure::None;  // guarded by mMutex
    std::string mRequestLine;  // the unfinished line of libcurl's request stream
    long mRequestCSeq = -1;    // CSeq of libcurl's last request; -1 before the first
};

}  // namespace interleaved_internal

#endif

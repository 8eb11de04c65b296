#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "rtsp_client_options.h"
#include "utils/byte_order_internal.h"
#include "utils/happy_eyeballs_internal.h"
#include "utils/interleaved_relay_internal.h"
#include "utils/slog.h"
#include "utils/time_constants_internal.h"
#include "utils/utils.h"

namespace interleaved_internal {

namespace {
// Room for the largest frame (4 + 65535 bytes) behind whatever partial piece is left.
constexpr size_t kBufferBytes = 128 * 1024;
constexpr char kContentLength[] = "content-length:";
constexpr size_t kContentLengthSize = sizeof(kContentLength) - 1;

// Content-Length of the header block [data, data + size); false when it is there but unreadable
// or too large.
bool contentLength(const uint8_t* data, size_t size, size_t* length) {
    *length = 0;
    for (size_t line = 0; line < size;) {
        size_t end = line;
        while (end < size && data[end] != '\n') ++end;
        if (end - line > kContentLengthSize && strncasecmp(reinterpret_cast<const char*>(data + line),
                                                           kContentLength, kContentLengthSize) == 0) {
            size_t i = line + kContentLengthSize;
            while (i < end && (data[i] == ' ' || data[i] == '\t')) ++i;
            if (i == end || data[i] < '0' || data[i] > '9') return false;
            size_t value = 0;
            for (; i < end && data[i] >= '0' && data[i] <= '9'; ++i) {
                value = value * 10 + static_cast<size_t>(data[i] - '0');
                if (value > kMaxBodyBytes) return false;
            }
            *length = value;
        }
        line = end + 1;
    }
    return true;
}
}  // namespace

Split splitInterleaved(const uint8_t* data, size_t size) {
    Split split;
    if (data == nullptr || size == 0) return split;
    if (data[0] == '$') {
        // RFC 2326 10.12: '$', channel, 16-bit length in network order, then the packet.
        if (size < 4) return split;
        const size_t length = 4 + static_cast<size_t>(quorvane_internal::readBe16(data + 2));
        if (size < length) return split;
        split.piece = Piece::Frame;
        split.length = length;
        return split;
    }
    // An RTSP message begins with "RTSP/1.0" (an answer) or a method name (a server's request).
    if (data[0] < 'A' || data[0] > 'Z') {
        split.piece = Piece::Invalid;
        return split;
    }
    // The header block ends with an empty line: CRLF CRLF, or LF LF from lax servers.
    const size_t limit = std::min(size, kMaxHeaderBytes);
    size_t end = 0;
    for (size_t i = 0; i < limit && end == 0; ++i) {
        if (data[i] != '\n') continue;
        if (i + 1 < limit && data[i + 1] == '\n') {
            end = i + 2;
        } else if (i + 2 < limit && data[i + 1] == '\r' && data[i + 2] == '\n') {
            end = i + 3;
        }
    }
    if (end == 0) {
        if (size >= kMaxHeaderBytes) split.piece = Piece::Invalid;
        return split;
    }
    if (!contentLength(data, end, &split.bodyLength)) {
        split.piece = Piece::Invalid;
        split.bodyLength = 0;
        return split;
    }
    split.piece = Piece::Message;
    split.length = end;
    return split;
}

std::string mendAnswerCSeq(const uint8_t* head, size_t size, long cseq) {
    std::string text(reinterpret_cast<const char*>(head), size);
    if (text.compare(0, 5, "RTSP/") != 0 || cseq < 0) return text;
    const size_t statusEnd = text.find('\n');
    if (statusEnd == std::string::npos) return text;
    for (size_t line = statusEnd + 1; line < text.size();) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos) end = text.size();
        if (end - line >= 5 && strncasecmp(text.c_str() + line, "cseq:", 5) == 0) {
            size_t value = line + 5;
            while (value < end && (text[value] == ' ' || text[value] == '\t')) ++value;
            size_t digits = value;
            while (digits < end && text[digits] == '0') ++digits;
            // Only a value of zeros is mended; CR or blanks may follow it.
            if (digits == value || (digits < end && text[digits] >= '1' && text[digits] <= '9')) return text;
            return text.replace(value, digits - value, std::to_string(cseq));
        }
        line = end + 1;
    }
    return text.insert(statusEnd + 1, "CSeq: " + std::to_string(cseq) + "\r\n");
}

bool coalescingWait(int stopFd, int otherFd, unsigned us) {
    pollfd p[2] = {{stopFd, POLLIN, 0}, {otherFd, POLLIN, 0}};
    timespec wait{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    // An interrupted wait ends early; the read after it takes what has come so far.
    return ::ppoll(p, 2, &wait, nullptr) <= 0 || p[0].revents == 0;
}

static_assert(quorvane_internal::TimeConstants::kDefaultReceiveCoalescingCapUs ==
                  RtspClientOptions::kMaxReceiveCoalescingUs,
              "the library's coalescing cap is the documented one");

unsigned effectiveCoalescingUs(unsigned requestedUs) {
    return std::min(requestedUs, quorvane_internal::timeConstants().receiveCoalescingCapUs.load());
}

InterleavedRelay::InterleavedRelay(FrameCallback onFrame, int timeoutMs, unsigned coalescingUs)
    : mOnFrame(std::move(onFrame)), mTimeoutMs(timeoutMs), mCoalescingUs(coalescingUs) {}

InterleavedRelay::InterleavedRelay(FrameCallback onFrame, int timeoutMs)
    : InterleavedRelay(std::move(onFrame), timeoutMs, 0) {}

InterleavedRelay::~InterleavedRelay() {
    stop();
}

int InterleavedRelay::connect(sockaddr* address, socklen_t* length) {
    stop();
    std::lock_guard<std::mutex> lock(mMutex);
    mTlsFailure = tls_internal::TlsFailure::None;
    if (address == nullptr || length == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Every address of the camera's name, when the relay knows it, else the one libcurl chose.
    std::vector<eyeballs_internal::Address> candidates;
    if (mCameraHost) candidates = eyeballs_internal::resolve(mCameraHost->first, mCameraHost->second);
    // libcurl's own address is tried too, last, where the resolver did not give it (libcurl
    // resolves "localhost" by itself, to both loopback addresses).
    eyeballs_internal::Address given;
    given.length = std::min<socklen_t>(*length, sizeof(sockaddr_storage));
    memcpy(&given.storage, address, given.length);
    if (std::none_of(candidates.begin(), candidates.end(), [&](const eyeballs_internal::Address& a) {
            return a.length == given.length && memcmp(&a.storage, &given.storage, given.length) == 0;
        }))
        candidates.push_back(given);
    size_t winner = 0;
    int error = 0;
    int camera = -1;
    if (mCameraHost && Utils::getBeginTimestamp() - mFailedRoundNs < kRepeatedRoundNs) {
        // libcurl tries its next address after a failure: every one of them was just tried.
        error = mFailedRoundErrno;
    } else {
        camera =
            eyeballs_internal::connectFirst(candidates, mTimeoutMs, eyeballs_internal::kStaggerMs, &winner);
        error = camera < 0 ? errno : 0;
        if (camera < 0) {
            mFailedRoundNs = Utils::getBeginTimestamp();
            mFailedRoundErrno = error;
        }
    }
    const eyeballs_internal::Address& chosen = candidates[winner];
    char text[INET6_ADDRSTRLEN] = "";
    if (chosen.storage.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&chosen.storage)->sin_addr, text,
                  sizeof(text));
    else if (chosen.storage.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&chosen.storage)->sin6_addr, text,
                  sizeof(text));
    mCameraAddress = text;
    // libcurl connects to a listener on the loopback address, bound to a port of the system's choice.
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t loopbackLength = sizeof(loopback);
    int listener = -1;
    int client = -1;
    if (error == 0) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || client < 0 ||
            ::bind(listener, reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback)) != 0 ||
            ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&loopback), &loopbackLength) != 0 ||
            (mStopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0)
            error = errno;
    }
    if (error != 0) {
        for (int fd : {camera, listener, client})
            if (fd >= 0) ::close(fd);
        closeDescriptors();
        errno = error;
        return -1;
    }
    if (mTlsConfig) {
        // rtsps: the camera's side becomes TLS before libcurl's first request reaches it.
        std::unique_ptr<tls_internal::TlsSession> tls =
            tls_internal::TlsSession::handshake(camera, *mTlsConfig, mTimeoutMs, -1, &mTlsFailure);
        if (!tls) {
            for (int fd : {camera, listener, client}) ::close(fd);
            closeDescriptors();
            errno = ECONNABORTED;
            return -1;
        }
        mTls = std::move(tls);
    }
    int post = -1;
    std::string early;
    if (mTunnelPath && !openTunnel(camera, chosen.get(), chosen.length, &post, &early)) {
        for (int fd : {camera, listener, client}) ::close(fd);
        closeDescriptors();
        errno = ECONNREFUSED;
        return -1;
    }
    int one = 1;
    ::setsockopt(camera, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    memcpy(address, &loopback, sizeof(loopback));
    *length = sizeof(loopback);
    mCamera = camera;
    mListener = listener;
    mLibcurlFd = client;
    mTunnelPost = post;
    mBuffer.resize(kBufferBytes);
    // What the server sent behind its answer to the tunnel's GET is the stream's first bytes.
    memcpy(mBuffer.data(), early.data(), early.size());
    mBuffered = early.size();
    mBodyToForward = 0;
    mRequestLine.clear();
    mRequestCSeq = -1;
    mPictureEnded = true;
    mThread = std::thread(&InterleavedRelay::run, this);
    return client;
}

std::string InterleavedRelay::cameraAddress() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCameraAddress;
}

bool InterleavedRelay::acceptLibcurl() {
    sockaddr_in expected{};
    const int64_t deadline = Utils::getBeginTimestamp() + static_cast<int64_t>(mTimeoutMs) * 1000000;
    for (;;) {
        const int64_t leftMs = (deadline - Utils::getBeginTimestamp()) / 1000000;
        if (leftMs <= 0) break;
        pollfd p[2] = {{mListener, POLLIN, 0}, {mStopFd, POLLIN, 0}};
        int ready = ::poll(p, 2, static_cast<int>(leftMs));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || p[1].revents != 0) break;
        sockaddr_in peer{};
        socklen_t peerLength = sizeof(peer);
        int fd = ::accept4(mListener, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        // Any local process could connect to the listener; only libcurl's socket is taken.
        socklen_t expectedLength = sizeof(expected);
        if (::getsockname(mLibcurlFd, reinterpret_cast<sockaddr*>(&expected), &expectedLength) == 0 &&
            peer.sin_port == expected.sin_port && peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            mOwnEnd = fd;
            return true;
        }
        SLOGW("rtsp tcp relay: connection from another socket refused\n");
        ::close(fd);
    }
    SLOGE("rtsp tcp relay: libcurl did not connect\n");
    return false;
}

void InterleavedRelay::stop() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mThread.joinable()) {
        const uint64_t one = 1;
        if (::write(mStopFd, &one, sizeof(one)) < 0)
            SLOGE("rtsp tcp relay cannot be woken, errno %d\n", errno);
        mThread.join();
    }
    closeDescriptors();
}

void InterleavedRelay::closeDescriptors() {
    mTls.reset();  // before its socket closes
    for (int* fd : {&mCamera, &mTunnelPost, &mListener, &mOwnEnd, &mStopFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    mLibcurlFd = -1;  // libcurl's to close
}

void InterleavedRelay::run() {
    Utils::setThreadName("CurlTcpRecv");
    const bool accepted = acceptLibcurl();
    ::close(mListener);
    mListener = -1;
    if (!accepted) {
        mClosed.store(true);
        return;
    }
    // The three descriptors are registered once: a wake-up then costs one epoll_wait, not the
    // set-up and removal of three wait-queue entries that every poll call makes.
    enum : uint32_t { kCamera, kLibcurl, kStop };
    const int fds[3] = {mCamera, mOwnEnd, mStopFd};  // indexed by the names above
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    bool registered = epoll >= 0;
    for (uint32_t which = 0; which < 3 && registered; ++which) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = which;
        registered = ::epoll_ctl(epoll, EPOLL_CTL_ADD, fds[which], &event) == 0;
    }
    if (!registered) SLOGE("rtsp tcp relay cannot wait for its connections, errno %d\n", errno);
    uint8_t request[4096];
    if (registered && mBuffered > 0 && !dispatch()) registered = false;
    while (registered) {
        epoll_event events[3];
        const int ready = ::epoll_wait(epoll, events, 3, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            SLOGE("rtsp tcp relay wait error, errno %d\n", errno);
            break;
        }
        bool readable[3] = {false, false, false};
        for (int i = 0; i < ready; ++i) readable[events[i].data.u32] = true;
        if (readable[kStop]) break;
        if (readable[kLibcurl]) {
            // A request of libcurl's; nothing to read means libcurl has closed the connection.
            ssize_t n = ::recv(mOwnEnd, request, sizeof(request), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (n > 0) noteRequest(request, static_cast<size_t>(n));
            if (n > 0 && !writeCamera(request, static_cast<size_t>(n))) {
                mClosed.store(true);
                break;
            }
        }
        // A TLS session may hold decrypted bytes its socket no longer signals: read them too.
        if (readable[kCamera]) {
            if (!readCamera()) {
                mClosed.store(true);
                break;
            }
            // Coalescing: a picture begun but not ended is let arrive for a while, then read at
            // once. A stop ends the wait, and so does a request of libcurl's (a TEARDOWN is not
            // held up).
            if (mCoalescingUs > 0 && (mBuffered > 0 || !mPictureEnded) &&
                !coalescingWait(mStopFd, mOwnEnd, mCoalescingUs))
                break;
        }
    }
    if (epoll >= 0) ::close(epoll);
    if (!registered) mClosed.store(true);
    // libcurl reads the end of the stream at its next request instead of waiting for an answer.
    ::shutdown(mOwnEnd, SHUT_RDWR);
}

bool InterleavedRelay::readCamera() {
    do {
        ssize_t n =
            mTls ? mTls->recv(mBuffer.data() + mBuffered, mBuffer.size() - mBuffered)
                 : ::recv(mCamera, mBuffer.data() + mBuffered, mBuffer.size() - mBuffered, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            SLOGD("rtsp tcp connection closed by the camera (%d)\n", n == 0 ? 0 : errno);
            return false;
        }
        if (n > 0) {
            mBuffered += static_cast<size_t>(n);
            if (!dispatch()) return false;
        }
    } while (mTls && mTls->pending());
    return true;
}

bool InterleavedRelay::dispatch() {
    size_t pos = 0;
    bool ok = true;
    while (pos < mBuffered) {
        uint8_t* at = mBuffer.data() + pos;
        const size_t available = mBuffered - pos;
        if (mBodyToForward > 0) {
            const size_t n = std::min(available, mBodyToForward);
            if (!writeAll(mOwnEnd, at, n)) {
                ok = false;
                break;
            }
            mBodyToForward -= n;
            pos += n;
            continue;
        }
        // RFC 7826 allows empty lines between messages; some cameras end an answer with one.
        if (*at == '\r' || *at == '\n') {
            ++pos;
            continue;
        }
        const Split split = splitInterleaved(at, available);
        if (split.piece == Piece::NeedMore) break;
        if (split.piece == Piece::Invalid) {
            SLOGE("rtsp tcp stream holds neither interleaved frames nor rtsp messages; closing it\n");
            ok = false;
            break;
        }
        if (split.piece == Piece::Frame) {
            mPictureEnded = endsPicture(at + 4, split.length - 4);
            if (mOnFrame) mOnFrame(at, split.length);
        } else {
            const std::string head = mendAnswerCSeq(at, split.length, mRequestCSeq);
            if (!writeAll(mOwnEnd, reinterpret_cast<const uint8_t*>(head.data()), head.size())) {
                ok = false;
                break;
            }
            mBodyToForward = split.bodyLength;
        }
        pos += split.length;
    }
    if (pos > 0) {
        memmove(mBuffer.data(), mBuffer.data() + pos, mBuffered - pos);
        mBuffered -= pos;
    }
    return ok;
}

void InterleavedRelay::noteRequest(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c != '\n') {
            // Only the start of a line matters; a CSeq line is short.
            if (mRequestLine.size() < 32) mRequestLine += c;
            continue;
        }
        if (mRequestLine.size() > 5 && strncasecmp(mRequestLine.c_str(), "cseq:", 5) == 0)
            mRequestCSeq = strtol(mRequestLine.c_str() + 5, nullptr, 10);
        mRequestLine.clear();
    }
}

bool InterleavedRelay::writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = fd == mCamera && mTls ? mTls->send(data, size)
                                          : ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            SLOGE("rtsp tcp relay write error, errno %d\n", errno);
            return false;
        }
        // No room: wait for it, for a stop, or for the time-out.
        pollfd p[2] = {{fd, POLLOUT, 0}, {mStopFd, POLLIN, 0}};
        int ready = ::poll(p, 2, mTimeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || p[1].revents != 0) {
            if (ready == 0) SLOGE("rtsp tcp relay write timeout\n");
            return false;
        }
    }
    return true;
}

}  // namespace interleaved_internal

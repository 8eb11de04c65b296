#include "units/unit_rtsp_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <random>

#include "platform/buffer.h"
#include "units/unit_rtsp_client_internal.h"
#include "utils/byte_order_internal.h"
#include "utils/curl_rtsp.h"
#include "utils/interleaved_relay_internal.h"
#include "utils/networking/multicast_socket_internal.h"
#include "utils/networking/netsocket.h"
#include "utils/sdp_parser.h"
#include "utils/slog.h"
#include "utils/time_constants_internal.h"
#include "utils/url_scheme_internal.h"
#include "utils/utils.h"

namespace {

constexpr int kUdpTimeoutLimit = 10;
// A socket that cannot bind gets a new port base; this many draws before the unit gives up.
constexpr int kBindAttempts = 8;
constexpr int64_t kMinErrorReconnectGapNs = 1000000000LL;
constexpr unsigned long kDatagramCapacity = 1600;
// What a datagram may hold beyond a pooled block (some cameras send RTP larger than the MTU and
// leave it to IP fragmentation): each receive slot goes on in a spill area of this size, so a
// datagram of up to 65,536 bytes arrives whole.
constexpr unsigned long kSpillCapacity = 65536 - kDatagramCapacity;
// Datagrams read with one receive call; each still goes down the chain on its own.
constexpr unsigned kReceiveBatch = 16;
// With receive coalescing, what arrived during the wait is read at once: a larger batch.
constexpr unsigned kCoalescedBatch = NetSocket::kMaxBatch;
// Free datagram blocks a receiver keeps: enough for the fragments of a large keyframe that the
// depacketizer holds at once, so its blocks come back to the pool instead of to the heap.
constexpr size_t kPooledDatagrams = 256;
constexpr unsigned long kRtpHeaderSize = 12;
// An RTCP thread has nothing to do when its wait ends without a datagram, and stopThread wakes it
// through the stop event: it waits long, so an idle one costs no wake-up a second.
constexpr unsigned kRtcpIdleWaitMs = 60000;

// A port base between 10000 and 60000 from the system's random source: another user cannot work
// it out (from the time the process started, say) and take the ports or send to them first.
uint16_t drawPortBase() {
    uint32_t value = 0;
    if (getrandom(&value, sizeof(value), 0) != static_cast<ssize_t>(sizeof(value))) {
        try {
            std::random_device device;
            value = device();
        } catch (const std::exception&) {
            value = static_cast<uint32_t>(Utils::getBeginTimestamp() ^ (Utils::getBeginTimestamp() >> 32));
        }
    }
    return static_cast<uint16_t>(10000 + value % 50001);
}

// Whether nobody holds the UDP port in `family`. The probe binds without address reuse, so it
// also fails on a port that another socket holds with reuse.
bool udpPortFree(uint16_t port, int family) {
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot tell; the draw stands
    int on = 1;
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    const NetEndpoint a = NetEndpoint::any(family, port);
    bool free = bind(fd, a.data(), a.length()) == 0;
    close(fd);
    return free;
}

// A port base whose RTP and RTCP ports for video (base, base + 1) and audio (base + 10,
// base + 11) are free in `family`. A base in use is drawn again, a few times.
uint16_t choosePortBase(int family) {
    constexpr int kAttempts = 16;
    uint16_t base = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        base = drawPortBase();
        if (udpPortFree(base, family) && udpPortFree(static_cast<uint16_t>(base + 1), family) &&
            udpPortFree(static_cast<uint16_t>(base + 10), family) &&
            udpPortFree(static_cast<uint16_t>(base + 11), family)) {
            break;
        }
    }
    return base;
}

using quorvane_internal::readBe16;
using quorvane_internal::readBe32;
void writeBe32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// The spill areas of a receive thread's slots, in anonymous memory: a page costs nothing until a
// datagram larger than a block is written into it. Null when the memory cannot be mapped; the
// thread then receives datagrams up to a block, as without it.
class SpillArea {
public:
    explicit SpillArea(size_t bytes) : mBytes(bytes) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        mData = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    }
    ~SpillArea() {
        if (mData != nullptr) munmap(mData, mBytes);
    }
    SpillArea(const SpillArea&) = delete;
    SpillArea& operator=(const SpillArea&) = delete;
    char* data() const { return mData; }

private:
    size_t mBytes;
    char* mData;
};

// Asks for a large kernel receive buffer; the privileged form ignores the rmem_max limit.
void enlargeReceiveBuffer(int fd, int bytes) {
    if (fd < 0) return;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    int granted = 0;
    socklen_t len = sizeof(granted);
    // Linux reports twice the usable size it reserved for the buffer.
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted / 2 < bytes)
        SLOGW("rtp socket receive buffer is %d bytes, asked for %d\n", granted / 2, bytes);
}

// A receive socket of `family` on `port`, bound without address reuse; an RTP one (`rtp`) with
// a large receive buffer.
std::unique_ptr<UdpSocket> receiveSocket(int family, uint16_t port, bool rtp) {
    auto socket = std::make_unique<UdpSocket>(NetEndpoint::any(family, port), false);
    // Before SETUP: a keyframe burst right after PLAY must not meet the default buffer.
    if (rtp && socket->isOpen())
        enlargeReceiveBuffer(socket->getFd(), RtspClientUnitEM::kRtpSocketBufferBytes);
    return socket;
}

// The address of `host`: a numeric one of either family (with its zone), else the first address
// of `family` the name resolves to. With `onlyFamily` a numeric one of the other family is none.
bool resolveHost(const std::string& host, int family, bool onlyFamily, NetEndpoint* out) {
    NetEndpoint numeric;
    if (NetEndpoint::parse(host, 0, &numeric)) {
        if (onlyFamily && numeric.family() != family) return false;
        *out = numeric;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    const bool ok = found->ai_addrlen <= sizeof(out->mBytes);
    if (ok) {
        NetEndpoint e;
        memcpy(e.mBytes, found->ai_addr, found->ai_addrlen);
        *out = e;
    }
    freeaddrinfo(found);
    return ok;
}

// The camera's host: the address of the RTSP connection, else the host of the session's URL.
std::string cameraHost(const RtspSessionInfo& session, const std::string& url) {
    return !session.serverIp.empty() ? session.serverIp : url_internal::splitScheme(url).resolveHost;
}

// The family of a URL whose host is a numeric address; 0 for a host name.
int literalFamily(const std::string& url) {
    NetEndpoint e;
    return NetEndpoint::parse(url_internal::splitScheme(url).resolveHost, 0, &e) ? e.family() : 0;
}

// The state of the latest PLAY in RtspClientUnitEM::mPlayHold's low bits. Released: UDP RTP goes
// down at once (also before any session). Holding: the PLAY answer is awaited, RTP waits for it.
// Cancelled: the session ended before its answer; what was held is dropped.
constexpr uint64_t kPlayReleased = 0;
constexpr uint64_t kPlayHolding = 1;
constexpr uint64_t kPlayCancelled = 2;
constexpr uint64_t kPlayStateMask = 3;

// A datagram held by a receive thread until the PLAY answer.
struct HeldRtp {
    std::shared_ptr<QelBuffer> buffer;
    unsigned long length;
    uint16_t port;
    int64_t arrivalNs;
};

// Wakes the receive thread waiting on `port` (its socket of `family`) with an empty datagram,
// which it skips.
void wakeReceiver(int family, uint16_t port) {
    UdpSocket waker(NetEndpoint::any(family, 0), false);
    char empty = 0;
    waker.sendTo(NetBuffer(&empty, 0), NetEndpoint::loopback(family, port));
    waker.close();
}

// Marks the thread as inside a delivery (or another call-out) of one unit, so that enable() and
// disable() called from there are recorded instead of run.
thread_local const void* tDeliveringUnit = nullptr;
class DeliveryScope {
public:
    explicit DeliveryScope(const void* unit) : mPrevious(tDeliveringUnit) { tDeliveringUnit = unit; }
    ~DeliveryScope() { tDeliveringUnit = mPrevious; }

private:
    const void* mPrevious;
};

RtspStateEvent stateEvent(RtspClientState state, RtspClientReason reason = RtspClientReason::None) {
    RtspStateEvent e;
    e.state = state;
    e.reason = reason;
    return e;
}

// libcurl's CURLE_PEER_FAILED_VERIFICATION: an rtsps certificate the session did not trust.
constexpr int kCurlPeerFailedVerification = 60;

// Why an attempt failed, from the request that failed.
RtspStateEvent failedEvent(const RtspRequestResult& result, bool noVideoTrack) {
    RtspStateEvent e = stateEvent(RtspClientState::Failed, RtspClientReason::Error);
    e.rtspStatus = result.status;
    e.osErrno = result.osErrno;
    if (result.status == 401 || result.status == 403) {
        e.reason = RtspClientReason::Authentication;
    } else if (result.status == 404) {
        e.reason = RtspClientReason::NotFound;
    } else if (noVideoTrack) {
        e.reason = RtspClientReason::NoVideoTrack;
    } else if (result.status >= 400) {
        e.reason = RtspClientReason::Status;
    } else if (result.status == 0 && result.curlCode == kCurlPeerFailedVerification) {
        e.reason = RtspClientReason::Certificate;
    } else if (result.status == 0 && result.curlCode != 0) {
        e.reason = RtspClientReason::Unreachable;
    }
    return e;
}

}  // namespace

namespace rtsp_receive_internal {

bool parseSenderReport(const unsigned char* data, size_t length, SenderReport* out) {
    // RFC 3550 6.4.1: header (4), SSRC (4), NTP (8), RTP timestamp (4), counts (8) = 28 bytes.
    constexpr size_t kSrBytes = 28;
    if (data == nullptr || length < kSrBytes) return false;
    if ((data[0] >> 6) != 2 || data[1] != 200) return false;
    // The length field counts 32-bit words minus one: the SR must fit in what arrived.
    const size_t declared = (static_cast<size_t>(readBe16(data + 2)) + 1) * 4;
    if (declared < kSrBytes || declared > length) return false;
    out->ssrc = readBe32(data + 4);
    out->ntp = (static_cast<uint64_t>(readBe32(data + 8)) << 32) | readBe32(data + 12);
    out->rtpTimestamp = readBe32(data + 16);
    return true;
}

bool chooseCameraHosts(NetEndpoint* peer, NetEndpoint* source) {
    bool known = peer->family() != 0;
    if (source->family() == 0) return known;
    if (known && source->isLinkLocal() && source->scopeId() == 0) source->setScopeId(peer->scopeId());
    const bool peerAway = known && !peer->isLoopback() && !peer->isUnspecified();
    if (source->isUnspecified() || (known && (source->family() != peer->family() || source->sameHost(*peer) ||
                                              (peerAway && source->isLoopback())))) {
        *source = NetEndpoint();
    } else if (!known) {
        *peer = *source;
        *source = NetEndpoint();
        known = true;
    }
    return known;
}

void CameraHosts::store(const NetEndpoint& peer, const NetEndpoint& source) {
    std::lock_guard<std::mutex> lock(mWriteMutex);
    const uint32_t version = mVersion.load(std::memory_order_relaxed);
    mVersion.store(version + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    const NetEndpoint* hosts[2] = {&peer, &source};
    for (int k = 0; k < 2; ++k) {
        for (size_t w = 0; w < sizeof(NetEndpoint::mBytes) / 4; ++w) {
            uint32_t word = 0;
            memcpy(&word, hosts[k]->mBytes + 4 * w, sizeof(word));
            mWords[k][w].store(word, std::memory_order_relaxed);
        }
    }
    mVersion.store(version + 2, std::memory_order_release);
}

bool CameraHosts::matches(const NetEndpoint& from) const {
    NetEndpoint hosts[2];
    for (;;) {
        const uint32_t version = mVersion.load(std::memory_order_acquire);
        if ((version & 1) == 0) {
            for (int k = 0; k < 2; ++k) {
                for (size_t w = 0; w < sizeof(NetEndpoint::mBytes) / 4; ++w) {
                    const uint32_t word = mWords[k][w].load(std::memory_order_relaxed);
                    memcpy(hosts[k].mBytes + 4 * w, &word, sizeof(word));
                }
            }
            std::atomic_thread_fence(std::memory_order_acquire);
            if (mVersion.load(std::memory_order_relaxed) == version) break;
        }
        // A writer is at work: it stores a few words and is done.
        std::this_thread::yield();
    }
    return (hosts[0].family() != 0 && from.sameHost(hosts[0])) ||
           (hosts[1].family() != 0 && from.sameHost(hosts[1]));
}

RtcpVerdict decideRtcp(const unsigned char* data, size_t length, bool fromCamera, bool active,
                       uint32_t expectedSsrc, int64_t nowNs, int64_t* lastAnswerNs, SenderReport* report) {
    if (!fromCamera || !active) return RtcpVerdict::Ignore;
    if (!parseSenderReport(data, length, report)) return RtcpVerdict::Ignore;
    if (expectedSsrc != 0 && report->ssrc != expectedSsrc) return RtcpVerdict::Ignore;
    if (*lastAnswerNs != 0 && nowNs - *lastAnswerNs < kMinRtcpAnswerGapNs) return RtcpVerdict::ClockOnly;
    *lastAnswerNs = nowNs;
    return RtcpVerdict::Answer;
}

void SsrcTracker::reset() {
    *this = SsrcTracker();
}

void SsrcTracker::hintSeq(uint16_t seq) {
    mHint = true;
    mHintSeq = seq;
    mUnmatched = 0;
    if (mKnown && static_cast<uint16_t>(mLastSeq - seq) < kHintSeqWindow) {
        mHint = false;  // the stream followed so far is the one announced
    } else {
        mKnown = false;
    }
}

void SsrcTracker::settle(uint32_t ssrc, uint16_t seq, uint32_t timestamp, uint16_t port) {
    mKnown = true;
    mHint = false;
    mSsrc = ssrc;
    mLastSeq = seq;
    mLastTs = timestamp;
    mPort = port;
    mCandidateRun = 0;
}

SsrcTracker::Verdict SsrcTracker::check(uint32_t ssrc, uint16_t seq, uint32_t timestamp, uint16_t port) {
    const bool continuesHint = mHint && static_cast<uint16_t>(seq - mHintSeq) < kHintSeqWindow;
    if (!mKnown) {
        if (mHint && !continuesHint && ++mUnmatched < kHintPatience) return Verdict::Drop;
        const bool switched = mSsrc != 0 && ssrc != mSsrc;
        settle(ssrc, seq, timestamp, port);
        // Settled against the hint: the stream that continues it, should it come, takes over.
        mHint = !continuesHint && mUnmatched > 0;
        return switched ? Verdict::Switched : Verdict::Accept;
    }
    const uint16_t ahead = static_cast<uint16_t>(seq - mLastSeq);
    if (ssrc == mSsrc) {
        // A late packet (reordered) leaves the last sequence number where it is.
        if (ahead < 0x8000) {
            mLastSeq = seq;
            mLastTs = timestamp;
        }
        mCandidateRun = 0;
        return Verdict::Accept;
    }
    const uint32_t tsGap = timestamp - mLastTs;
    const bool tsClose = tsGap <= kContinueTs || 0u - tsGap <= kContinueTs;
    const bool continues = ahead != 0 && ahead <= kContinueSeq && tsClose;
    if (port != mPort) return Verdict::Drop;
    if (!continues && !continuesHint) {
        if (ssrc != mCandidate) {
            mCandidate = ssrc;
            mCandidateRun = 0;
        }
        if (++mCandidateRun < kRestartAfter) return Verdict::Drop;
    }
    settle(ssrc, seq, timestamp, port);
    return Verdict::Switched;
}

}  // namespace rtsp_receive_internal

using rtsp_receive_internal::RtcpVerdict;
using rtsp_receive_internal::SenderReport;
using rtsp_receive_internal::SsrcTracker;

RtspClientUnitEM::RtspClientUnitEM(std::string url, std::string user, std::string password, bool tcp)
    : Unit<EndpointInput, MasterOutput>("RtspClient_UNIT_EM", UNIT_DATA_ANY, 0,
                                        static_cast<UnitDataType>(UNIT_DATA_RTP_VIDEO | UNIT_DATA_RTP_AUDIO),
                                        1) {
    mStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    mSocketFamily.store(AF_INET);
    mCameraHosts = std::make_unique<rtsp_receive_internal::CameraHosts>();
    mTcpSsrc = std::make_unique<SsrcTracker>();
    mTcpAudioSsrc = std::make_unique<SsrcTracker>();
    mTcpPool = std::make_unique<BufferPool>(kDatagramCapacity, kPooledDatagrams);
    init(std::move(url), std::move(user), std::move(password), true, true, tcp);
}

RtspClientUnitEM::~RtspClientUnitEM() {
    SLOGD("destroying RtspClientUnitEM ...\n");
    {
        // A reconnect started meanwhile by a receive thread stops at the empty-URL check.
        std::lock_guard<std::mutex> lock(mUrlMutex);
        mUrl.clear();
    }
    stopThread();
    bool wasWanted = mWanted.exchange(false) || mStopEventOwed.exchange(false);
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        // A disable() recorded inside a delivery that no thread has carried out yet still owes the
        // camera its TEARDOWN; otherwise the session is dropped without one.
        bool teardown = static_cast<Request>(mPending.exchange(0)) == Request::Stop;
        endSessionLocked(teardown);
        std::lock_guard<std::mutex> sockets(mSocketsMutex);
        for (auto& socket : mBoundSockets) socket.reset();
    }
    if (wasWanted) emit({stateEvent(RtspClientState::Stopped)});
    if (mStopFd >= 0) close(mStopFd);
    SLOGD("destroying RtspClientUnitEM ... done\n");
}

void RtspClientUnitEM::init(std::string url, std::string user, std::string password, bool enableAudio,
                            bool enableVideo, bool tcp) {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    {
        std::lock_guard<std::mutex> urlLock(mUrlMutex);
        mUrl = std::move(url);
    }
    mUser = std::move(user);
    mPassword = std::move(password);
    mEnableAudio = enableAudio;
    mEnableVideo = enableVideo;
    mTcp = tcp;
}

void RtspClientUnitEM::setReceivePortBase(unsigned short base) {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    mVideoPortBase.store(base);
    mAudioPortBase.store(static_cast<uint16_t>(base + 10));
}

std::string RtspClientUnitEM::currentUrl() const {
    std::lock_guard<std::mutex> lock(mUrlMutex);
    return mUrl;
}

std::string RtspClientUnitEM::maskedUrl() const {
    return UtilsString::maskUrlPassword(currentUrl());
}

bool RtspClientUnitEM::isOwnThread() const {
    std::thread::id self = std::this_thread::get_id();
    for (std::thread* t : {mThreadVideoRtp, mThreadVideoRtcp, mThreadAudioRtp, mThreadAudioRtcp})
        if (t != nullptr && t->get_id() == self) return true;
    return false;
}

bool RtspClientUnitEM::deferred(Request request) {
    if (tDeliveringUnit != this) return false;
    mPending.store(static_cast<int>(request));
    { std::lock_guard<std::mutex> lock(mWatchMutex); }
    mWatchCv.notify_all();
    return true;
}

void RtspClientUnitEM::runPendingRequest() {
    if (tDeliveringUnit == this) return;  // still inside the delivery; its end runs it
    Request request = static_cast<Request>(mPending.exchange(0));
    if (request == Request::Stop) {
        disable();
    } else if (request == Request::Restart) {
        enable();
    } else if (request == Request::Reconnect) {
        // Not when the lost session has been replaced meanwhile (by a silence reconnect, say).
        if (mPendingSerial.load() == mLiveSerial.load()) {
            mRetryLost.store(true);
            restartSession(static_cast<RtspClientReason>(mPendingReason.load()));
        }
    }
}

void RtspClientUnitEM::sessionLost(uint32_t serial, RtspClientReason reason) {
    // A session that this unit is ending itself (its TEARDOWN closes the connection) is no longer
    // the live one.
    if (serial == 0 || mLiveSerial.load() != serial) return;
    mPendingReason.store(static_cast<int>(reason));
    mPendingSerial.store(serial);
    int none = static_cast<int>(Request::None);
    // A request the application made inside a delivery goes first; it ends this session anyway.
    if (!mPending.compare_exchange_strong(none, static_cast<int>(Request::Reconnect))) return;
    SLOGW("rtsp client lost the session of %s. reconnect it!\n", maskedUrl().c_str());
    // The TCP watchdog waits on the condition; the UDP video thread waits in its socket, which an
    // empty datagram wakes (the thread then runs the request).
    { std::lock_guard<std::mutex> lock(mWatchMutex); }
    mWatchCv.notify_all();
    if (!mTcp) wakeReceiver(mSocketFamily.load(), mVideoPortBase.load());
}

void RtspClientUnitEM::emit(const Events& events) {
    if (!mStateCallback) return;
    for (const RtspStateEvent& e : events) mStateCallback(e);
}

void RtspClientUnitEM::enable() {
    if (deferred(Request::Restart)) {
        UnitBase::enable();
        mWanted.store(true);
        return;
    }
    std::string url = currentUrl();
    if (url.find("null") != std::string::npos) {
        SLOGD("rtsp url found null ip, disbale this channel.\n");
        stopThread();
        return;
    }
    if (url.empty()) {
        SLOGE("RtspClientUnitEM no init !\n");
        stopThread();
        return;
    }
    mWanted.store(true);
    Events events;
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        // A session that is still open is torn down, so the camera never holds two for us.
        endSessionLocked(true);
        if (mThreadRun.load(std::memory_order_acquire)) startSessionLocked(events);
    }
    emit(events);
    runPendingRequest();
}

void RtspClientUnitEM::disable() {
    if (deferred(Request::Stop)) {
        // Nothing more is delivered from now on; the TEARDOWN follows once the delivery returned.
        if (mWanted.exchange(false)) mStopEventOwed.store(true);
        UnitBase::disable();
        return;
    }
    bool wasWanted = mWanted.exchange(false);
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        UnitBase::disable();
        SLOGD("close curl %s\n", maskedUrl().c_str());
        endSessionLocked(true);
    }
    if (mStopEventOwed.exchange(false) || wasWanted) emit({stateEvent(RtspClientState::Stopped)});
    runPendingRequest();
}

void RtspClientUnitEM::restartSession(RtspClientReason reason) {
    Events events;
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        // disable() may have come first; then the threads leave the camera alone.
        if (!mWanted.load() || !mThreadRun.load(std::memory_order_acquire) || currentUrl().empty()) return;
        events.push_back(stateEvent(RtspClientState::Reconnecting, reason));
        UnitBase::disable();
        SLOGD("close curl %s\n", maskedUrl().c_str());
        endSessionLocked(true);
        SLOGD("ReEnable rtsp client [%d] %s\n", mThreadRun.load(std::memory_order_acquire) ? 1 : 0,
              maskedUrl().c_str());
        startSessionLocked(events);
    }
    emit(events);
    runPendingRequest();
}

void RtspClientUnitEM::endSessionLocked(bool teardown) {
    mPeerKnown.store(false);
    // RTP held for a PLAY answer that will not come is dropped, not delivered with a later session.
    const uint64_t hold = mPlayHold.load();
    if ((hold & kPlayStateMask) == kPlayHolding) mPlayHold.store((hold & ~kPlayStateMask) | kPlayCancelled);
    mLiveSerial.store(0);
    leaveGroups();
    if (mCurlRtsp == nullptr) return;
    if (teardown) mCurlRtsp->stopCurl();
    delete mCurlRtsp;
    mCurlRtsp = nullptr;
    if (mSessionPlayed && mSessionEndCallback) {
        DeliveryScope scope(this);
        mSessionEndCallback();
    }
    mSessionPlayed = false;
}

bool RtspClientUnitEM::bindSocketsLocked() {
    if (mTcp) return true;
    const uint16_t video = mVideoPortBase.load();
    const uint16_t audio = mAudioPortBase.load();
    struct Need {
        bool wanted;
        std::thread* running;
        uint16_t port;
    } needs[4] = {{mEnableVideo, mThreadVideoRtp, video},
                  {mEnableVideo, mThreadVideoRtcp, static_cast<uint16_t>(video + 1)},
                  {mEnableAudio && mAudioTrack, mThreadAudioRtp, audio},
                  {mEnableAudio && mAudioTrack, mThreadAudioRtcp, static_cast<uint16_t>(audio + 1)}};
    const int family = mSocketFamily.load();
    std::lock_guard<std::mutex> lock(mSocketsMutex);
    for (int i = 0; i < 4; ++i) {
        if (!needs[i].wanted || needs[i].running != nullptr || mBoundSockets[i]) continue;
        auto socket = receiveSocket(family, needs[i].port, i % 2 == 0);
        if (!socket->isOpen()) {
            for (auto& s : mBoundSockets) s.reset();
            return false;
        }
        mBoundSockets[i] = std::move(socket);
    }
    return true;
}

bool RtspClientUnitEM::useSocketFamily(int family) {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    if (mTcp || family == mSocketFamily.load()) return true;
    std::thread* const running[4] = {mThreadVideoRtp, mThreadVideoRtcp, mThreadAudioRtp, mThreadAudioRtcp};
    bool held[4];
    bool any = false;
    {
        std::lock_guard<std::mutex> sockets(mSocketsMutex);
        for (int i = 0; i < 4; ++i) any |= held[i] = running[i] != nullptr || mBoundSockets[i] != nullptr;
    }
    if (!any) {
        mSocketFamily.store(family);
        return true;
    }
    // The same ports first: an IPv6-only socket and an IPv4 one may hold the same port, so the new
    // ones are bound while the old ones still are.
    uint16_t video = mVideoPortBase.load();
    std::unique_ptr<UdpSocket> fresh[4];
    for (int attempt = 0;; ++attempt) {
        bool bound = true;
        for (int i = 0; i < 4 && bound; ++i) {
            if (!held[i]) continue;
            const uint16_t port = static_cast<uint16_t>(video + (i / 2) * 10 + i % 2);
            fresh[i] = receiveSocket(family, port, i % 2 == 0);
            bound = fresh[i]->isOpen();
        }
        if (bound) break;
        for (auto& socket : fresh) socket.reset();
        if (attempt + 1 >= kBindAttempts) {
            SLOGE("rtsp client cannot bind its %s receive ports\n", family == AF_INET6 ? "IPv6" : "IPv4");
            return false;
        }
        video = choosePortBase(family);
    }
    {
        std::lock_guard<std::mutex> sockets(mSocketsMutex);
        for (int i = 0; i < 4; ++i) {
            if (!fresh[i]) continue;
            mBoundSockets[i] = std::move(fresh[i]);
            if (running[i] == nullptr) continue;
            // The thread takes it at its next turn; one waiting in its old socket is woken.
            mSocketSwaps.fetch_or(1u << i);
            if (mReceivingSockets[i] != nullptr) mReceivingSockets[i]->shutdownReceive();
        }
    }
    mVideoPortBase.store(video);
    mAudioPortBase.store(static_cast<uint16_t>(video + 10));
    mSocketFamily.store(family);
    if (mCurlRtsp != nullptr) mCurlRtsp->setReceivePorts(video, static_cast<uint16_t>(video + 10));
    return true;
}

void RtspClientUnitEM::takeSwappedSocket(int slot, std::unique_ptr<UdpSocket>& socket) {
    if ((mSocketSwaps.load() & (1u << slot)) == 0) return;
    std::lock_guard<std::mutex> lock(mSocketsMutex);
    mSocketSwaps.fetch_and(~(1u << slot));
    if (!mBoundSockets[slot]) return;
    socket = std::move(mBoundSockets[slot]);
    mReceivingSockets[slot] = socket.get();
}

bool RtspClientUnitEM::startSessionLocked(Events& events) {
    const std::string url = currentUrl();
    if (url.empty() || !mThreadRun.load(std::memory_order_acquire)) return false;
    // A camera named by its address has its family known now; one named by a host name shows it
    // after DESCRIBE, and the sockets follow then.
    const int literal = mTcp ? 0 : literalFamily(url);
    if (literal != 0) useSocketFamily(literal);
    if (mVideoPortBase.load() == 0 || mAudioPortBase.load() == 0) {
        uint16_t base = choosePortBase(mSocketFamily.load());
        mVideoPortBase.store(base);
        mAudioPortBase.store(static_cast<uint16_t>(base + 10));
    }
    // A port that another socket holds gets a new base, all four of its ports checked; only
    // before any receive thread runs, since running threads keep their ports.
    const bool noThreads = mThreadVideoRtp == nullptr && mThreadVideoRtcp == nullptr &&
                           mThreadAudioRtp == nullptr && mThreadAudioRtcp == nullptr;
    for (int attempt = 0; !bindSocketsLocked(); ++attempt) {
        if (!noThreads || attempt + 1 >= kBindAttempts) {
            SLOGE("rtsp client cannot bind its receive ports (base %u)\n",
                  static_cast<unsigned>(mVideoPortBase.load()));
            break;
        }
        uint16_t base = choosePortBase(mSocketFamily.load());
        mVideoPortBase.store(base);
        mAudioPortBase.store(static_cast<uint16_t>(base + 10));
    }
    // The UDP ports are bound before SETUP offers them.
    startThread();
    const uint16_t videoPort = mVideoPortBase.load();
    const uint16_t audioPort = mAudioPortBase.load();
    mPacketPauseUs.store(mOptions.rtpPacketPauseUs);
    mCoalescingUs.store(interleaved_internal::effectiveCoalescingUs(mOptions.receiveCoalescingUs));
    mCurlRtsp = new CurlRtsp(url, videoPort, audioPort, mUser, mPassword, mTcp);
    mCurlRtsp->mTcpRecvCallback = [this](void* data, unsigned long length) {
        fRecvTcpCallback(data, length);
    };
    mCurlRtsp->setOptions(mOptions);
    // UDP RTP of the new session is held from here until the PLAY answer has been read: a previous
    // session's stream that the camera still sends into the ports is told apart only by its RTP-Info.
    // A multicast group's stream is not held: it is shared, what came before this PLAY is the same
    // stream, and a camera that restarts it for each PLAY may name in its RTP-Info a packet after the
    // restart's first (GStreamer does when the stream is under way before it answers).
    mCurlRtsp->mBeforePlayCallback = [this](const RtspSessionInfo& session) {
        if (!mTcp && !session.transport.multicast)
            mPlayHold.store((((mPlayHold.load() >> 2) + 1) << 2) | kPlayHolding);
        applySessionInfo(session);
        if (mSessionCallback) mSessionCallback(session);
    };
    // Then the held RTP goes down on its receive threads, woken at once, through the RTP-Info (or
    // as it came when there is none).
    mCurlRtsp->mAfterPlayCallback = [this](const RtspRtpInfo& info) {
        applyRtpInfo(info);
        const uint64_t hold = mPlayHold.load();
        if (mTcp || (hold & kPlayStateMask) != kPlayHolding) return;
        mPlayHold.store((hold & ~kPlayStateMask) | kPlayReleased);
        wakeReceiver(mSocketFamily.load(), mVideoPortBase.load());
        if (mEnableAudio && mAudioTrack) wakeReceiver(mSocketFamily.load(), mAudioPortBase.load());
    };
    mCurlRtsp->mReceiveFamilyCallback = [this](int family) { return useSocketFamily(family); };
    mCurlRtsp->mJoinGroupsCallback = [this](const RtspSessionInfo& session) { return joinGroups(session); };
    const uint32_t serial = ++mSessionSerial == 0 ? ++mSessionSerial : mSessionSerial;
    mLiveSerial.store(serial);
    mCurlRtsp->mSessionLostCallback = [this, serial](RtspClientReason reason) {
        sessionLost(serial, reason);
    };
    UnitBase::enable();
    SLOGD("curlto %s , cli %d:%d, tcp: %d\n", UtilsString::maskUrlPassword(url).c_str(), videoPort, audioPort,
          mTcp ? 1 : 0);
    events.push_back(stateEvent(RtspClientState::Connecting));
    bool connected = mCurlRtsp->startCurl();
    bool videoTrack = false;
    for (int i = 0; i < mCurlRtsp->trackCount(); ++i)
        videoTrack = videoTrack || RtspSdpParser::h26xCodec(mCurlRtsp->track(i).format) != 0;
    const RtspRequestResult result = mCurlRtsp->lastResult();
    {
        // Taken before the teardown below: its TEARDOWN would replace the session's last result.
        std::lock_guard<std::mutex> statusLock(mStatusMutex);
        ++mConnectStatus.attempts;
        mConnectStatus.connected = connected;
        mConnectStatus.failure = connected ? RtspRequestResult() : result;
        if (connected) {
            ++mConnectStatus.connections;
            mConnectStatus.path = mCurlRtsp->path();
            mConnectStatus.ipv6 = mCurlRtsp->ipv6();
            mRetryLost.store(false);
        }
    }
    if (connected) {
        mSessionPlayed = true;
        RtspStateEvent playing = stateEvent(RtspClientState::Playing);
        playing.path = mCurlRtsp->path();
        playing.ipv6 = mCurlRtsp->ipv6();
        events.push_back(videoTrack ? playing : failedEvent(result, true));
    } else {
        SLOGE("rtsp client connect %s failed.\n", UtilsString::maskUrlPassword(url).c_str());
        // Past DESCRIBE without an H.264/H.265 track: the camera offers nothing to set up.
        RtspStateEvent failed =
            failedEvent(result, !videoTrack && result.request != "OPTIONS" && result.request != "DESCRIBE");
        if (mCurlRtsp->multicastRefused()) failed.reason = RtspClientReason::MulticastRefused;
        events.push_back(failed);
        UnitBase::disable();
        endSessionLocked(true);
    }
    mLastRtpTimeNs.store(Utils::getBeginTimestamp());
    return connected;
}

bool RtspClientUnitEM::cameraAddresses(const RtspSessionInfo& session, NetEndpoint* address,
                                       NetEndpoint* source) const {
    const RtspTransportInfo& t = session.transport;
    const int family = mSocketFamily.load();
    *address = NetEndpoint();
    *source = NetEndpoint();
    resolveHost(cameraHost(session, currentUrl()), family, false, address);
    // A source= of the other family than the receive sockets' could never send to them.
    if (!t.source.empty()) resolveHost(t.source, family, true, source);
    return rtsp_receive_internal::chooseCameraHosts(address, source);
}

void RtspClientUnitEM::applySessionInfo(const RtspSessionInfo& session) {
    const RtspTransportInfo& t = session.transport;
    NetEndpoint address;
    NetEndpoint source;
    const bool known = cameraAddresses(session, &address, &source);
    bool filter = true;
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        filter = mOptions.filterSourceAddress;
    }
    // Interleaved frames come on the session's own connection: no sender to tell apart.
    if (!known && filter && !mTcp)
        SLOGW("rtsp client cannot tell the camera's address (%s); accepting rtp from any sender\n",
              cameraHost(session, currentUrl()).c_str());
    // Without a known address the filter cannot work; every sender is then taken, as with the
    // option off.
    mFilterAddress.store(filter && known);
    mCameraHosts->store(address, source);
    // A multicast answer's server_port says nothing of the port the group's datagrams come from.
    mPeerRtpPort.store(t.multicast ? 0 : htons(t.serverRtpPort));
    mPeerRtcpPort.store(t.multicast ? 0 : htons(t.serverRtcpPort));
    mVideoRtpChannel.store(t.rtpChannel >= 0 ? t.rtpChannel : 0);
    mVideoRtcpChannel.store(t.rtcpChannel >= 0 ? t.rtcpChannel : 1);
    // The audio track's channels follow the video's when its SETUP answer names none.
    const RtspTransportInfo& a = session.audioTransport;
    const int videoRtcp = mVideoRtcpChannel.load();
    mAudioRtpChannel.store(a.rtpChannel >= 0 ? a.rtpChannel : videoRtcp + 1);
    mAudioRtcpChannel.store(a.rtcpChannel >= 0 ? a.rtcpChannel : videoRtcp + 2);
    mPeerAudioRtpPort.store(a.multicast ? 0 : htons(a.serverRtpPort));
    mPeerAudioRtcpPort.store(a.multicast ? 0 : htons(a.serverRtcpPort));
    mAudioSetUp.store(session.audioSetUp);
    mSharedStream.store(t.multicast);
    {
        std::lock_guard<std::mutex> lock(mClockMutex);
        mSenderClock = RtcpSenderClock();
        mAudioSenderClock = RtcpSenderClock();
    }
    // No RTP-Info yet; stored before the new generation, so a thread that sees the generation
    // sees no hint of the session before.
    mRtpInfoHint.store((mRtpInfoHint.load() + (uint64_t{1} << 32)) & ~uint64_t{0x1ffff});
    mSessionGeneration.fetch_add(1);
    mPeerKnown.store(true);
}

void RtspClientUnitEM::applyRtpInfo(const RtspRtpInfo& info) {
    if (!info.present || !info.hasSeq || mSharedStream.load()) return;
    const uint64_t count = (mRtpInfoHint.load() >> 32) + 1;
    mRtpInfoHint.store((count << 32) | 0x10000 | info.seq);
}

bool RtspClientUnitEM::fromCamera(const NetAddress& from, bool rtcp, bool audio) const {
    return fromCamera(NetEndpoint(from), rtcp, audio);
}

bool RtspClientUnitEM::fromCamera(const NetEndpoint& from, bool rtcp, bool audio) const {
    if (!mPeerKnown.load()) return false;
    if (!mFilterAddress.load()) return true;
    if (!mCameraHosts->matches(from)) return false;
    // The audio track's server ports are its own.
    const uint16_t port = rtcp ? (audio ? mPeerAudioRtcpPort : mPeerRtcpPort).load()
                               : (audio ? mPeerAudioRtpPort : mPeerRtpPort).load();
    return port == 0 || htons(static_cast<uint16_t>(from.getPort())) == port;
}

bool RtspClientUnitEM::acceptRtp(const unsigned char* rtp, unsigned long length, bool video, uint16_t port,
                                 SsrcTracker& tracker, uint32_t& generation, uint64_t& hint) {
    // A datagram shorter than the fixed RTP header carries no packet.
    if (length < kRtpHeaderSize || (rtp[0] >> 6) != 2) return false;
    const uint32_t current = mSessionGeneration.load();
    if (generation != current) {
        generation = current;
        tracker.reset();
    }
    // RTP-Info speaks of the video.
    const uint64_t given = mRtpInfoHint.load();
    if (video && given != hint) {
        hint = given;
        if ((given & 0x10000) != 0) tracker.hintSeq(static_cast<uint16_t>(given));
    }
    const uint32_t ssrc = readBe32(rtp + 8);
    const uint16_t seq = readBe16(rtp + 2);
    std::atomic<uint32_t>& ssrcField = video ? mVideoSsrc : mAudioSsrc;
    const uint32_t old = ssrcField.load();
    SsrcTracker::Verdict verdict = tracker.check(ssrc, seq, readBe32(rtp + 4), port);
    if (verdict == SsrcTracker::Verdict::Drop) {
        SLOGW_LIMITED(mForeignLog, "rtp packet of ssrc %u dropped: not the session's stream (ssrc %u)\n",
                      ssrc, tracker.ssrc());
        return false;
    }
    if (ssrc != old) {
        if (video)
            SLOGD("Video SSRC Changed! %u -> %u\n", old, ssrc);
        else
            SLOGD("Audio SSRC Changed! %u -> %u\n", old, ssrc);
        ssrcField.store(ssrc);
    }
    (video ? mVideoSeq : mAudioSeq).store(seq);
    return true;
}

void RtspClientUnitEM::takeSenderReport(const SenderReport& report, bool audio) {
    std::lock_guard<std::mutex> lock(mClockMutex);
    RtcpSenderClock& clock = audio ? mAudioSenderClock : mSenderClock;
    clock.valid = true;
    clock.ntp = report.ntp;
    clock.rtpTimestamp = report.rtpTimestamp;
    clock.receivedNs = Utils::getBeginTimestamp();
}

RtcpSenderClock RtspClientUnitEM::senderClock() const {
    std::lock_guard<std::mutex> lock(mClockMutex);
    return mSenderClock;
}

RtcpSenderClock RtspClientUnitEM::audioSenderClock() const {
    std::lock_guard<std::mutex> lock(mClockMutex);
    return mAudioSenderClock;
}

void RtspClientUnitEM::setOptions(const RtspClientOptions& options) {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    mOptions = options;
    // With receiveAudio the audio track's ports are bound and read.
    mAudioTrack = mAudioTrack || options.receiveAudio;
}

RtspConnectStatus RtspClientUnitEM::connectStatus() const {
    std::lock_guard<std::mutex> lock(mStatusMutex);
    return mConnectStatus;
}

void RtspClientUnitEM::debug() {
    debugLevel = debugLevel == 0 ? 1 : 0;
}

int RtspClientUnitEM::joinGroups(const RtspSessionInfo& session) {
    NetEndpoint address;
    NetEndpoint source;
    bool filter = true;
    bool video = true;
    bool audio = false;
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        filter = mOptions.filterSourceAddress;
        video = mEnableVideo;
        audio = mEnableAudio && mAudioTrack && session.audioSetUp && session.audioTransport.multicast;
    }
    // Source-specific for the camera's addresses, as the receiver filters; any sender when the
    // camera's address is not known or the filter is off.
    std::vector<NetEndpoint> sources;
    if (cameraAddresses(session, &address, &source) && filter) {
        for (const NetEndpoint* host : {&address, &source})
            if (host->family() != 0) sources.push_back(*host);
    }
    std::shared_ptr<MulticastSocket> joined[4];
    const RtspTransportInfo* tracks[2] = {video ? &session.transport : nullptr,
                                          audio ? &session.audioTransport : nullptr};
    for (int track = 0; track < 2; ++track) {
        const RtspTransportInfo* t = tracks[track];
        NetEndpoint group;
        if (t == nullptr) continue;
        if (!NetEndpoint::parse(t->destination, 0, &group)) return EINVAL;
        // A link-local group of a camera reached by its link-local address: that interface.
        if (group.family() == AF_INET6 && group.scopeId() == 0 && address.isLinkLocal())
            group.setScopeId(address.scopeId());
        const uint16_t ports[2] = {t->multicastRtpPort, t->multicastRtcpPort};
        for (int i = 0; i < 2; ++i) {
            group.setPort(ports[i]);
            auto socket = std::make_shared<MulticastSocket>(group, sources);
            if (!socket->joined()) return socket->error() != 0 ? socket->error() : EINVAL;
            if (i == 0) enlargeReceiveBuffer(socket->getFd(), kRtpSocketBufferBytes);
            joined[2 * track + i] = std::move(socket);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mSocketsMutex);
        for (int i = 0; i < 4; ++i) mGroupSockets[i] = std::move(joined[i]);
        mGroupGeneration.fetch_add(1, std::memory_order_release);
    }
    // Each receive thread waits in its own socket: an empty datagram there has it take the group's.
    const uint16_t ports[4] = {mVideoPortBase.load(), static_cast<uint16_t>(mVideoPortBase.load() + 1),
                               mAudioPortBase.load(), static_cast<uint16_t>(mAudioPortBase.load() + 1)};
    for (int i = 0; i < 4; ++i)
        if (i < 2 ? video : audio) wakeReceiver(mSocketFamily.load(), ports[i]);
    return 0;
}

void RtspClientUnitEM::leaveGroups() {
    std::lock_guard<std::mutex> lock(mSocketsMutex);
    bool any = false;
    for (auto& group : mGroupSockets) {
        if (!group) continue;
        any = true;
        group->leave();
        // Ends the wait of the thread holding it; it then goes back to its own socket.
        group->shutdownReceive();
        group.reset();
    }
    if (any) mGroupGeneration.fetch_add(1, std::memory_order_release);
}

bool RtspClientUnitEM::takeGroupSocket(int slot, uint32_t& seen, std::shared_ptr<MulticastSocket>& group) {
    if (mGroupGeneration.load(std::memory_order_acquire) == seen) return false;
    std::lock_guard<std::mutex> lock(mSocketsMutex);
    seen = mGroupGeneration.load(std::memory_order_relaxed);
    group = mGroupSockets[slot];
    return true;
}

std::unique_ptr<UdpSocket> RtspClientUnitEM::takeSocket(int slot, unsigned short port) {
    {
        std::lock_guard<std::mutex> lock(mSocketsMutex);
        if (mBoundSockets[slot] && mBoundSockets[slot]->localAddress().getPort() == port)
            return std::move(mBoundSockets[slot]);
    }
    return receiveSocket(mSocketFamily.load(), port, slot % 2 == 0);
}

void RtspClientUnitEM::startThread() {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    // Once stopThread has run no new thread may appear in a slot it has already emptied.
    if (!mThreadRun.load(std::memory_order_acquire)) return;
    const uint16_t video = mVideoPortBase.load();
    const uint16_t audio = mAudioPortBase.load();
    if (mTcp) {
        mLastRtpTimeNs.store(Utils::getBeginTimestamp());
        if (mThreadVideoRtp == nullptr)
            mThreadVideoRtp = new std::thread(&RtspClientUnitEM::threadRtpTcpFunc, this, video);
        return;
    }
    // Sockets not bound yet (a direct call) are bound here, so the ports are open before SETUP
    // offers them and the camera's first packets are not refused.
    bindSocketsLocked();
    auto start = [this](std::thread*& slot, void (RtspClientUnitEM::*body)(unsigned short, UnitDataType),
                        uint16_t port, UnitDataType type) {
        if (slot == nullptr) slot = new std::thread(body, this, port, type);
    };
    if (mEnableVideo) {
        start(mThreadVideoRtp, &RtspClientUnitEM::threadRtpFunc, video, UNIT_DATA_RTP_VIDEO);
        start(mThreadVideoRtcp, &RtspClientUnitEM::threadRtcpFunc, static_cast<uint16_t>(video + 1),
              UNIT_DATA_RTP_VIDEO);
    }
    if (mEnableAudio && mAudioTrack) {
        start(mThreadAudioRtp, &RtspClientUnitEM::threadRtpFunc, audio, UNIT_DATA_RTP_AUDIO);
        start(mThreadAudioRtcp, &RtspClientUnitEM::threadRtcpFunc, static_cast<uint16_t>(audio + 1),
              UNIT_DATA_RTP_AUDIO);
    }
}

void RtspClientUnitEM::stopThread() {
    std::thread* threads[4];
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        mThreadRun.store(false, std::memory_order_release);
        // Wakes every receive thread from its wait and the watchdog from its wait.
        uint64_t one = 1;
        if (mStopFd >= 0 && write(mStopFd, &one, sizeof(one)) < 0) SLOGD("stop event: errno %d\n", errno);
        {
            std::lock_guard<std::mutex> sockets(mSocketsMutex);
            for (UdpSocket* socket : mReceivingSockets)
                if (socket != nullptr) socket->shutdownReceive();
            for (auto& group : mGroupSockets)
                if (group) group->shutdownReceive();
        }
        { std::lock_guard<std::mutex> watch(mWatchMutex); }
        mWatchCv.notify_all();
        // A receive thread that reaches the shut-down path (a reconnect during destruction) only
        // clears the run flag: it must not join itself, and the owner joins every thread.
        if (isOwnThread()) return;
        threads[0] = mThreadVideoRtp;
        threads[1] = mThreadVideoRtcp;
        threads[2] = mThreadAudioRtp;
        threads[3] = mThreadAudioRtcp;
        mThreadVideoRtp = mThreadVideoRtcp = mThreadAudioRtp = mThreadAudioRtcp = nullptr;
    }
    // Joined without the lock: a thread may be waiting for it inside a reconnect.
    for (std::thread* t : threads) {
        if (t == nullptr) continue;
        if (t->joinable()) t->join();
        delete t;
    }
}

bool RtspClientUnitEM::pause(int64_t ms) {
    std::unique_lock<std::mutex> lock(mWatchMutex);
    mWatchCv.wait_for(lock, std::chrono::milliseconds(ms),
                      [this] { return !mThreadRun.load(std::memory_order_acquire) || mPending.load() != 0; });
    return mThreadRun.load(std::memory_order_acquire);
}

void RtspClientUnitEM::threadRtpTcpFunc(unsigned short /*port*/) {
    while (mThreadRun.load(std::memory_order_acquire)) {
        // Requests recorded inside a delivery run here: the delivering thread holds the
        // session's lock, which their TEARDOWN needs.
        runPendingRequest();
        const int64_t silenceNs = quorvane_internal::timeConstants().tcpSilenceNs.load();
        if (mWanted.load() && Utils::getBeginTimestamp() - mLastRtpTimeNs.load() > silenceNs) {
            SLOGW("rtsp client no receive rtp data in 3 sec. reconnect it!\n");
            RtspClientReason reason = RtspClientReason::Silence;
            {
                std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
                if (mCurlRtsp != nullptr && mCurlRtsp->lastResult().curlCode != 0)
                    reason = RtspClientReason::Closed;
            }
            restartSession(reason);
        }
        // One check a second with the library's silence of 3 s; proportionally more often when
        // tests shorten it.
        pause(std::max<int64_t>(1, std::min<int64_t>(1000, silenceNs / 3000000)));
    }
}

void RtspClientUnitEM::reconnectAfterError() {
    // A socket that keeps failing would otherwise reconnect the camera thousands of times a
    // second: at most one such reconnect per second.
    int64_t now = Utils::getBeginTimestamp();
    int64_t gap = now - mLastErrorReconnectNs.load();
    if (mLastErrorReconnectNs.load() != 0 && gap < kMinErrorReconnectGapNs) {
        if (!pause((kMinErrorReconnectGapNs - gap) / 1000000 + 1)) return;
    }
    mLastErrorReconnectNs.store(Utils::getBeginTimestamp());
    restartSession(RtspClientReason::Error);
}

void RtspClientUnitEM::threadRtpFunc(unsigned short port, UnitDataType type) {
    Utils::setThreadName("RtpReceive");
    const bool video = type == UNIT_DATA_RTP_VIDEO;
    const int slot = video ? 0 : 2;
    std::unique_ptr<UdpSocket> own = takeSocket(slot, port);
    {
        // Registered before the run flag is read again below: a stopThread that has not seen
        // the socket yet has not cleared the flag yet either.
        std::lock_guard<std::mutex> lock(mSocketsMutex);
        mReceivingSockets[video ? 0 : 2] = own.get();
    }
    // The socket waited in: the thread's own, or the session's multicast group's.
    UdpSocket* socket = own.get();
    std::shared_ptr<MulticastSocket> group;
    uint32_t groupsSeen = ~0u;
    SLOGD("listening rtp port %d\n", port);
    unsigned timeoutMs = 0;
    const char* kind = video ? "Video" : "Audio";
    SsrcTracker tracker;
    uint32_t generation = 0;
    uint64_t hint = 0;
    std::atomic<int32_t>& timeouts = video ? mRtpTimeoutCount : mAudioTimeoutCount;
    // Each datagram lands in a block of this thread's pool: a block the depacketizer lets go of
    // comes back to the pool, so a steady stream costs no heap allocation per packet. What goes
    // beyond a block lands in the slot's spill area; its pages are touched only by such datagrams.
    BufferPool pool(kDatagramCapacity, kPooledDatagrams);
    SpillArea spill(kCoalescedBatch * kSpillCapacity);
    const unsigned long wholeUpTo = kDatagramCapacity + (spill.data() != nullptr ? kSpillCapacity : 0);
    std::shared_ptr<QelBuffer> buffers[kCoalescedBatch];
    NetEndpointDatagram slots[kCoalescedBatch];
    BufferInfo info{};
    info.dataType = type;
    // One accepted packet down the chain, on this thread only.
    unsigned delivered = 0;
    auto deliver = [&](std::shared_ptr<QelBuffer> buffer, unsigned long length, int64_t arrivalNs) {
        timeouts.store(0);
        buffer->length = length;
        const unsigned char* rtp = static_cast<const unsigned char*>(buffer->getVaddr());
        {
            DeliveryScope scope(this);
            if (video && mRtpPacketObserver) mRtpPacketObserver(rtp, length, arrivalNs);
            if (!video && mAudioSetUp.load() && mAudioPacketObserver)
                mAudioPacketObserver(rtp, length, Utils::getBeginTimestamp());
            transmitTo(std::move(buffer), length, type, 0);
        }
        ++delivered;
        if (mPending.load() != 0) runPendingRequest();
    };
    // Datagrams of the camera that came before the PLAY answer of `heldPlay` (mPlayHold), in
    // arrival order. Once that PLAY is answered they go through the SSRC tracking, which then knows
    // the RTP-Info, ahead of anything newer; a session that ended first takes them along.
    std::deque<HeldRtp> held;
    uint64_t heldPlay = 0;
    size_t heldBytes = 0;
    size_t heldDropped = 0;
    auto settleHeld = [&]() {
        if (held.empty()) return;
        const uint64_t hold = mPlayHold.load();
        if (hold == heldPlay) return;  // still awaited
        while (!held.empty() && hold == (heldPlay & ~kPlayStateMask) && isEnable() &&
               mThreadRun.load(std::memory_order_acquire) && mPlayHold.load() == hold) {
            HeldRtp h = std::move(held.front());
            held.pop_front();
            const unsigned char* rtp = static_cast<const unsigned char*>(h.buffer->getVaddr());
            if (acceptRtp(rtp, h.length, video, h.port, tracker, generation, hint))
                deliver(std::move(h.buffer), h.length, h.arrivalNs);
        }
        held.clear();
        heldBytes = 0;
    };

    while (mThreadRun.load(std::memory_order_acquire)) {
        // Sockets of the camera's family, when a session made new ones, or of the session's
        // multicast groups; their time-out is set anew.
        const UdpSocket* before = own.get();
        takeSwappedSocket(slot, own);
        if (takeGroupSocket(slot, groupsSeen, group) || own.get() != before) {
            socket = group ? static_cast<UdpSocket*>(group.get()) : own.get();
            timeoutMs = 0;
        }
        const unsigned coalesceUs = mCoalescingUs.load(std::memory_order_relaxed);
        const unsigned batch = coalesceUs > 0 ? kCoalescedBatch : kReceiveBatch;
        // Slots whose buffer went downstream get a fresh one; a dropped datagram's buffer is reused.
        bool haveBuffers = true;
        for (unsigned i = 0; i < batch; ++i) {
            if (!buffers[i]) {
                buffers[i] = pool.acquire();
                if (!buffers[i]) {
                    haveBuffers = false;
                    break;
                }
                buffers[i]->setBufferInfo(info);
            }
            slots[i].data = static_cast<char*>(buffers[i]->getVaddr());
            slots[i].capacity = buffers[i]->capacity;
        }
        if (!haveBuffers) {
            SLOGE_LIMITED(mRtpErrorLog, "UDP-RTP receive error ! err=%d\n", ENOMEM);
            pause(1);
            continue;
        }
        // The thread waits in the receive itself: one system call per wake-up, not a poll and a
        // receive.
        const unsigned stepMs =
            static_cast<unsigned>(std::max(1, quorvane_internal::timeConstants().udpReceiveTimeoutMs.load()));
        if (stepMs != timeoutMs && socket->setRecvTimeoutMs(stepMs)) timeoutMs = stepMs;
        int n = socket->receiveBatchWaiting(slots, batch, spill.data(), kSpillCapacity);
        // Coalescing: a picture begun but not ended (no marker bit on the last datagram) is let
        // arrive for a while and then read with one call, instead of one wake-up per packet.
        if (coalesceUs > 0 && n > 0 && static_cast<unsigned>(n) < batch &&
            !interleaved_internal::endsPicture(slots[n - 1].data, slots[n - 1].length) &&
            interleaved_internal::coalescingWait(mStopFd, -1, coalesceUs)) {
            const int more = socket->receiveBatchQueued(
                slots + n, batch - static_cast<unsigned>(n),
                spill.data() != nullptr ? spill.data() + n * kSpillCapacity : nullptr, kSpillCapacity);
            if (more > 0) n += more;
        }
        if (!mThreadRun.load(std::memory_order_acquire)) break;
        // A reconnect recorded by the session's thread (which woke this one) runs here.
        if (mPending.load() != 0) runPendingRequest();
        if (n < 0) {
            SLOGE_LIMITED(mRtpErrorLog, "UDP-RTP receive error ! err=%d\n", errno);
            if (mWanted.load()) reconnectAfterError();
            pause(1);
            continue;
        }
        // The PLAY answer came (or the session ended) while this thread waited.
        delivered = 0;
        settleHeld();
        if (n == 0) {
            // A camera whose session was lost and whose reconnect failed (restarting, say) is tried
            // again as often as over TCP, not after the silence of a playing session.
            if (video && mRetryLost.load() && mWanted.load() && !connectStatus().connected &&
                Utils::getBeginTimestamp() - mLastRtpTimeNs.load() >
                    quorvane_internal::timeConstants().tcpSilenceNs.load()) {
                timeouts.store(0);
                restartSession(RtspClientReason::Closed);
                continue;
            }
            if (timeouts.fetch_add(1) + 1 > kUdpTimeoutLimit) {
                if (mWanted.load()) {
                    SLOGW_LIMITED(mTimeoutLog, "UDP-RTP receive timeout. %s ; type = %s\n",
                                  maskedUrl().c_str(), kind);
                    if (video) restartSession(RtspClientReason::Silence);
                }
                timeouts.store(0);
            }
            continue;
        }
        // One clock read for the batch: every datagram in it had arrived by now.
        const int64_t arrivalNs = video && mRtpPacketObserver ? Utils::getBeginTimestamp() : 0;
        for (int i = 0; i < n && mThreadRun.load(std::memory_order_acquire); ++i) {
            const unsigned long length = slots[i].length;
            // Packets are taken only while a session plays, from the camera, of the session's
            // SSRC; anything else neither reaches the depacketizer nor counts as a sign of life.
            if (length == 0 || !isEnable()) continue;
            if (!fromCamera(slots[i].from, false, !video)) {
                SLOGW_LIMITED(mForeignLog, "rtp packet from %s dropped: not the camera\n",
                              slots[i].from.toString().c_str());
                continue;
            }
            if (length > wholeUpTo) {
                // Cut short: dropped, so the gap in the sequence numbers marks the picture as
                // incomplete and counts as loss.
                SLOGW_LIMITED(mRtpErrorLog, "rtp datagram of %lu bytes cut short: dropped\n", length);
                continue;
            }
            // The datagram's own block, or, larger than a block (rare), the block and the spill
            // joined into one buffer.
            auto take = [&]() -> std::shared_ptr<QelBuffer> {
                if (length <= kDatagramCapacity) return std::move(buffers[i]);
                std::shared_ptr<QelBuffer> joined = QelBuffer::createPooledBuffer(length);
                if (!joined) return joined;
                joined->setBufferInfo(info);
                memcpy(joined->getVaddr(), slots[i].data, kDatagramCapacity);
                memcpy(static_cast<char*>(joined->getVaddr()) + kDatagramCapacity,
                       spill.data() + i * kSpillCapacity, length - kDatagramCapacity);
                return joined;
            };
            const uint16_t fromPort = static_cast<uint16_t>(slots[i].from.getPort());
            const uint64_t hold = mPlayHold.load();
            if ((hold & kPlayStateMask) == kPlayHolding) {
                if (hold != heldPlay) {
                    held.clear();
                    heldBytes = heldDropped = 0;
                    heldPlay = hold;
                }
                std::shared_ptr<QelBuffer> buffer = take();
                if (!buffer) continue;
                held.push_back({std::move(buffer), length, fromPort, arrivalNs});
                heldBytes += length;
                if (held.size() <= kHeldRtpPackets && heldBytes <= kHeldRtpBytes) continue;
                // The oldest go; the gap they leave counts as loss downstream.
                do {
                    heldBytes -= held.front().length;
                    held.pop_front();
                    ++heldDropped;
                } while (held.size() > kHeldRtpPackets || heldBytes > kHeldRtpBytes);
                SLOGW_LIMITED(mRtpErrorLog, "rtp before the PLAY answer: %zu oldest datagrams dropped\n",
                              heldDropped);
                continue;
            }
            // Held datagrams of an answered PLAY go first.
            settleHeld();
            const unsigned char* rtp = reinterpret_cast<const unsigned char*>(slots[i].data);
            if (!acceptRtp(rtp, length, video, fromPort, tracker, generation, hint)) continue;
            std::shared_ptr<QelBuffer> buffer = take();
            if (!buffer) continue;
            deliver(std::move(buffer), length, arrivalNs);
        }
        // The pause owed for each delivered packet is taken as one sleep for the batch: the same
        // time given up, without two context switches per packet.
        const unsigned pauseUs = mPacketPauseUs.load(std::memory_order_relaxed);
        if (pauseUs > 0 && delivered > 0 && mThreadRun.load(std::memory_order_acquire))
            usleep(pauseUs * delivered);
    }
    {
        std::lock_guard<std::mutex> lock(mSocketsMutex);
        mReceivingSockets[video ? 0 : 2] = nullptr;
    }
    own->close();
}

void RtspClientUnitEM::buildReceiverReport(unsigned char out[kRtcpRrSize], uint32_t ssrc, uint32_t seq,
                                           const unsigned char* rtcp, unsigned long rtcpLength) {
    memset(out, 0, kRtcpRrSize);
    out[0] = 0x81;  // RFC 3550 6.4.2: V=2, P=0, RC=1
    out[1] = 0xC9;  // PT=201 receiver report
    out[2] = 0x00;
    out[3] = 0x07;  // length in 32-bit words minus one
    // Sender SSRC: the source SSRC with its network-order bytes reversed.
    out[4] = static_cast<unsigned char>(ssrc);
    out[5] = static_cast<unsigned char>(ssrc >> 8);
    out[6] = static_cast<unsigned char>(ssrc >> 16);
    out[7] = static_cast<unsigned char>(ssrc >> 24);
    writeBe32(out + 8, ssrc);
    writeBe32(out + 16, seq & 0xffff);
    // LSR: the middle 32 bits of the sender report's NTP timestamp, as received.
    if (rtcpLength >= 14) memcpy(out + 24, rtcp + 10, 4);
}

void RtspClientUnitEM::threadRtcpFunc(unsigned short port, UnitDataType type) {
    Utils::setThreadName("RtcpReceive");
    const bool video = type == UNIT_DATA_RTP_VIDEO;
    const int slot = video ? 1 : 3;
    std::unique_ptr<UdpSocket> own = takeSocket(slot, port);
    {
        std::lock_guard<std::mutex> lock(mSocketsMutex);
        mReceivingSockets[slot] = own.get();
    }
    SLOGD("listening rtcp port %d\n", port);
    unsigned char datagram[kDatagramCapacity];
    int64_t lastAnswerNs = 0;
    UdpSocket* socket = own.get();
    std::shared_ptr<MulticastSocket> group;
    uint32_t groupsSeen = ~0u;
    while (mThreadRun.load(std::memory_order_acquire)) {
        const UdpSocket* before = own.get();
        takeSwappedSocket(slot, own);
        if (takeGroupSocket(slot, groupsSeen, group) || own.get() != before)
            socket = group ? static_cast<UdpSocket*>(group.get()) : own.get();
        NetEndpoint from;
        long n = socket->receiveFromNonBlock(NetBuffer(reinterpret_cast<char*>(datagram), sizeof(datagram)),
                                             from, kRtcpIdleWaitMs, mStopFd);
        if (!mThreadRun.load(std::memory_order_acquire)) break;
        if (n < 0) {
            int err = errno;
            SLOGE("UDP-RTCP receive error ! err=%d, url=%s:%u\n", err, maskedUrl().c_str(),
                  static_cast<unsigned>(mVideoPortBase.load()));
            break;
        }
        // Without an audio track set up nothing on its port comes from the camera.
        if (n == 0 || (!video && !mAudioSetUp.load())) continue;
        SenderReport report;
        RtcpVerdict verdict = rtsp_receive_internal::decideRtcp(
            datagram, static_cast<size_t>(n), fromCamera(from, true, !video), isEnable(),
            (video ? mVideoSsrc : mAudioSsrc).load(), Utils::getBeginTimestamp(), &lastAnswerNs, &report);
        if (verdict == RtcpVerdict::Ignore) continue;
        takeSenderReport(report, !video);
        if (verdict != RtcpVerdict::Answer) continue;
        unsigned char answer[kRtcpRrSize];
        buildReceiverReport(answer, (video ? mVideoSsrc : mAudioSsrc).load(),
                            (video ? mVideoSeq : mAudioSeq).load(), datagram, static_cast<unsigned long>(n));
        // From the thread's own socket, to the camera's own address: nothing goes to a group.
        own->sendTo(NetBuffer(reinterpret_cast<char*>(answer), sizeof(answer)), from);
    }
    {
        std::lock_guard<std::mutex> lock(mSocketsMutex);
        mReceivingSockets[slot] = nullptr;
    }
    own->close();
}

void RtspClientUnitEM::fRecvTcpCallback(void* data, unsigned long length) {
    if (data == nullptr || length == 0) return;
    // One clock read per frame serves the silence watch, the RTCP rate limit and the arrival time.
    const int64_t now = Utils::getBeginTimestamp();
    const unsigned char* frame = static_cast<const unsigned char*>(data);
    // A frame on the channels of a set-up audio track.
    const bool audio = mAudioSetUp.load() && length > 4 &&
                       (frame[1] == mAudioRtpChannel.load() || frame[1] == mAudioRtcpChannel.load());
    if (frame[0] != '$') {
        SLOGE("assert failure!\n");
        abort();
    }
    // RFC 2326 10.12: '$', channel, 16-bit length, then the packet. A frame without a packet
    // (four bytes or fewer) has nothing to deliver.
    if (length <= 4) return;
    // libcurl hands over the frames it reads while waiting for any answer, so during the TEARDOWN
    // of disable() they arrive on the thread that called it. That session is over: delivering
    // them would run the application's callback inside its own disable().
    if (!isEnable()) return;
    const unsigned long payload = length - 4;
    const unsigned char* packet = frame + 4;
    const int channel = frame[1];
    // The channels the SETUP answer assigned to video (0 and 1 when it named none).
    if (channel == mVideoRtcpChannel.load()) {
        if (channel == 1) SLOGD("receive RTCP of channel 1\n");
        SenderReport report;
        if (rtsp_receive_internal::decideRtcp(packet, payload, true, true, mVideoSsrc.load(), now,
                                              &mTcpLastAnswerNs, &report) != RtcpVerdict::Ignore)
            takeSenderReport(report);
        return;
    }
    UnitDataType type = UNIT_DATA_RTP_VIDEO;
    if (channel == mVideoRtpChannel.load()) {
        if (!acceptRtp(packet, payload, true, 0, *mTcpSsrc, mTcpGeneration, mTcpHint)) return;
        // Only the video is a sign of life: a camera whose video stalled while its RTCP or audio
        // goes on is reconnected.
        mLastRtpTimeNs.store(now);
    } else if (audio && channel == mAudioRtcpChannel.load()) {
        SenderReport report;
        if (rtsp_receive_internal::decideRtcp(packet, payload, true, true, mAudioSsrc.load(), now,
                                              &mTcpAudioLastAnswerNs, &report) != RtcpVerdict::Ignore)
            takeSenderReport(report, true);
        return;
    } else if (audio) {
        if (!acceptRtp(packet, payload, false, 0, *mTcpAudioSsrc, mTcpAudioGeneration, mTcpAudioHint)) return;
        type = UNIT_DATA_RTP_AUDIO;
    } else if (channel == 2) {
        type = UNIT_DATA_RTP_AUDIO;
    } else if (channel == 3) {
        SLOGD("receive RTCP of channel 2\n");
        return;
    } else {
        SLOGW_LIMITED(mChannelLog, "rtsp: unknown rtp channel %u\n", static_cast<unsigned>(channel));
        return;
    }
    // A packet as large as a datagram comes from the unit's pool; a camera's larger interleaved
    // packets from the library-wide pool of larger blocks.
    std::shared_ptr<QelBuffer> buffer =
        payload <= kDatagramCapacity ? mTcpPool->acquire(payload) : QelBuffer::createPooledBuffer(payload);
    if (!buffer) return;
    memcpy(buffer->getVaddr(), packet, payload);
    DeliveryScope scope(this);
    if (type == UNIT_DATA_RTP_VIDEO && mRtpPacketObserver) mRtpPacketObserver(packet, payload, now);
    if (audio && mAudioPacketObserver) mAudioPacketObserver(packet, payload, now);
    transmitTo(buffer, payload, type, 0);
}

void RtspClientUnitEM::parseRtcpSR(char* data, unsigned long length) {
    // The fields printed reach byte 19 of the sender report.
    if (data == nullptr || length < 20) return;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    SLOGD("<<<<<<<<<<+ SR <<<<<<<<<<<<<\n");
    SLOGD("PT: %u, %u\n", p[1], readBe16(p + 2));
    SLOGD("SSRC: %x\n", readBe32(p + 4));
    SLOGD("RTP TS: %u\n", readBe32(p + 16));
}

int RtspClientUnitEM::genRtcpRR(char* out) {
    (void)out;
    return 0;
}

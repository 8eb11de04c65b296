#include "units/unit_rtsp_client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>

#include "platform/buffer.h"
#include "utils/curl_rtsp.h"
#include "utils/networking/netsocket.h"
#include "utils/slog.h"
#include "utils/time_constants_internal.h"
#include "utils/utils.h"

namespace rtsp_client_unit_internal {
std::atomic<unsigned> gRtpPacketPauseUs{10};
}  // namespace rtsp_client_unit_internal

namespace {

constexpr int64_t kTcpSilenceNs = 2999999999LL;
constexpr int kUdpTimeoutLimit = 10;
constexpr int64_t kMinErrorReconnectGapNs = 1000000000LL;
constexpr unsigned long kDatagramCapacity = 1600;
constexpr unsigned long kRtpHeaderSize = 12;

// The library-wide engine for local port choice, seeded once from the calendar time.
std::minstd_rand0& portEngine() {
    static std::minstd_rand0 engine([] {
        unsigned long seed = static_cast<unsigned long>(time(nullptr)) % 2147483647UL;
        return seed == 0 ? 1UL : seed;
    }());
    return engine;
}

uint16_t drawPortBase() {
    static std::mutex engineMutex;  // several cameras may be enabled from different threads
    std::lock_guard<std::mutex> lock(engineMutex);
    std::uniform_int_distribution<uint16_t> dist(10000, 60000);
    return dist(portEngine());
}

// Whether nobody holds the UDP port. The probe binds without address reuse, so it also fails on
// a port that another socket holds with reuse, as our receive sockets do.
bool udpPortFree(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot tell; the draw stands
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return free;
}

// A port base whose RTP and RTCP ports for video (base, base + 1) and audio (base + 10,
// base + 11) are free. The engine is seeded with the time in seconds, so processes started in the
// same second draw the same bases; the receive sockets bind with address reuse, which would let
// them share a port and take each other's video. A base in use is drawn again, a few times.
uint16_t choosePortBase() {
    constexpr int kAttempts = 16;
    uint16_t base = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        base = drawPortBase();
        if (udpPortFree(base) && udpPortFree(static_cast<uint16_t>(base + 1)) &&
            udpPortFree(static_cast<uint16_t>(base + 10)) && udpPortFree(static_cast<uint16_t>(base + 11))) {
            break;
        }
    }
    return base;
}

uint32_t readBe32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
uint16_t readBe16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
void writeBe32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

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

}  // namespace

RtspClientUnitEM::RtspClientUnitEM(std::string url, std::string user, std::string password, bool tcp)
    : Unit<EndpointInput, MasterOutput>("RtspClient_UNIT_EM", UNIT_DATA_ANY, 0,
                                        static_cast<UnitDataType>(UNIT_DATA_RTP_VIDEO | UNIT_DATA_RTP_AUDIO),
                                        1) {
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
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        delete mCurlRtsp;
        mCurlRtsp = nullptr;
    }
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

bool RtspClientUnitEM::isOwnThread() const {
    std::thread::id self = std::this_thread::get_id();
    for (std::thread* t : {mThreadVideoRtp, mThreadVideoRtcp, mThreadAudioRtp, mThreadAudioRtcp})
        if (t != nullptr && t->get_id() == self) return true;
    return false;
}

void RtspClientUnitEM::enable() {
    std::unique_lock<std::recursive_mutex> lock(mLifecycleMutex);
    std::string url = currentUrl();
    if (url.find("null") != std::string::npos) {
        SLOGD("rtsp url found null ip, disbale this channel.\n");
        lock.unlock();
        stopThread();
        return;
    }
    if (url.empty()) {
        SLOGE("RtspClientUnitEM no init !\n");
        lock.unlock();
        stopThread();
        return;
    }
    if (mCurlRtsp != nullptr) {
        delete mCurlRtsp;  // no TEARDOWN: the old session is simply dropped
        mCurlRtsp = nullptr;
    }
    if (!mThreadRun.load(std::memory_order_acquire)) return;
    if (mVideoPortBase.load() == 0 || mAudioPortBase.load() == 0) {
        uint16_t base = choosePortBase();
        mVideoPortBase.store(base);
        mAudioPortBase.store(static_cast<uint16_t>(base + 10));
    }
    // The UDP ports are bound before SETUP offers them.
    startThread();
    const uint16_t videoPort = mVideoPortBase.load();
    const uint16_t audioPort = mAudioPortBase.load();
    mCurlRtsp = new CurlRtsp(url, videoPort, audioPort, mUser, mPassword, mTcp);
    mCurlRtsp->mTcpRecvCallback = [this](void* data, unsigned long length) {
        fRecvTcpCallback(data, length);
    };
    mCurlRtsp->setOptions(mOptions);
    mCurlRtsp->mBeforePlayCallback = [this](const RtspSessionInfo& session) {
        if (mSessionCallback) mSessionCallback(session);
    };
    UnitBase::enable();
    SLOGD("curlto %s , cli %d:%d, tcp: %d\n", url.c_str(), videoPort, audioPort, mTcp ? 1 : 0);
    bool connected = mCurlRtsp->startCurl();
    {
        // Taken before disable(): its TEARDOWN would replace the session's last result.
        std::lock_guard<std::mutex> statusLock(mStatusMutex);
        ++mConnectStatus.attempts;
        mConnectStatus.connected = connected;
        mConnectStatus.failure = connected ? RtspRequestResult() : mCurlRtsp->lastResult();
        if (connected) ++mConnectStatus.connections;
    }
    if (!connected) {
        SLOGE("rtsp client connect %s failed.\n", url.c_str());
        disable();
    }
    mLastRtpTimeNs.store(Utils::getBeginTimestamp());
}

void RtspClientUnitEM::disable() {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    UnitBase::disable();
    SLOGD("close curl %s\n", currentUrl().c_str());
    if (mCurlRtsp != nullptr) {
        mCurlRtsp->stopCurl();
        delete mCurlRtsp;
        mCurlRtsp = nullptr;
    }
}

RtcpSenderClock RtspClientUnitEM::senderClock() const {
    return RtcpSenderClock();
}

void RtspClientUnitEM::setOptions(const RtspClientOptions& options) {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    mOptions = options;
}

RtspConnectStatus RtspClientUnitEM::connectStatus() const {
    std::lock_guard<std::mutex> lock(mStatusMutex);
    return mConnectStatus;
}

void RtspClientUnitEM::debug() {
    debugLevel = debugLevel == 0 ? 1 : 0;
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
    // Each thread binds its own socket; count it before it starts so its signal cannot be missed.
    auto start = [this](std::thread*& slot, void (RtspClientUnitEM::*body)(unsigned short, UnitDataType),
                        uint16_t port, UnitDataType type) {
        if (slot != nullptr) return;
        {
            std::lock_guard<std::mutex> opening(mOpeningMutex);
            ++mSocketsOpening;
        }
        slot = new std::thread(body, this, port, type);
    };
    if (mEnableVideo) {
        start(mThreadVideoRtp, &RtspClientUnitEM::threadRtpFunc, video, UNIT_DATA_RTP_VIDEO);
        start(mThreadVideoRtcp, &RtspClientUnitEM::threadRtcpFunc, static_cast<uint16_t>(video + 1),
              UNIT_DATA_RTP_VIDEO);
    }
    if (mEnableAudio) {
        start(mThreadAudioRtp, &RtspClientUnitEM::threadRtpFunc, audio, UNIT_DATA_RTP_AUDIO);
        start(mThreadAudioRtcp, &RtspClientUnitEM::threadRtcpFunc, static_cast<uint16_t>(audio + 1),
              UNIT_DATA_RTP_AUDIO);
    }
    // Bounded: a thread that cannot run soon on a loaded machine costs at most the first packets.
    std::unique_lock<std::mutex> opening(mOpeningMutex);
    mOpeningCv.wait_for(opening, std::chrono::seconds(2), [this] { return mSocketsOpening <= 0; });
}

void RtspClientUnitEM::socketOpened() {
    {
        std::lock_guard<std::mutex> opening(mOpeningMutex);
        --mSocketsOpening;
    }
    mOpeningCv.notify_all();
}

void RtspClientUnitEM::stopThread() {
    std::thread* threads[4];
    {
        std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
        mThreadRun.store(false, std::memory_order_release);
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

void RtspClientUnitEM::threadRtpTcpFunc(unsigned short /*port*/) {
    while (mThreadRun.load(std::memory_order_acquire)) {
        if (Utils::getBeginTimestamp() - mLastRtpTimeNs.load() > kTcpSilenceNs) {
            SLOGW("rtsp client no receive rtp data in 3 sec. reconnect it!\n");
            disable();
            SLOGD("ReEnable rtsp client [%d] %s\n", mThreadRun.load(std::memory_order_acquire) ? 1 : 0,
                  currentUrl().c_str());
            enable();
        }
        usleep(1000000);
    }
}

void RtspClientUnitEM::reconnectAfterError() {
    // A socket that keeps failing (a port whose bind failed) would otherwise reconnect the camera
    // thousands of times a second: at most one such reconnect per second.
    int64_t now = Utils::getBeginTimestamp();
    int64_t gap = now - mLastErrorReconnectNs.load();
    if (mLastErrorReconnectNs.load() != 0 && gap < kMinErrorReconnectGapNs) {
        usleep(static_cast<useconds_t>((kMinErrorReconnectGapNs - gap) / 1000));
        if (!mThreadRun.load(std::memory_order_acquire)) return;
    }
    mLastErrorReconnectNs.store(Utils::getBeginTimestamp());
    enable();
}

void RtspClientUnitEM::threadRtpFunc(unsigned short port, UnitDataType type) {
    Utils::setThreadName("RtpReceive");
    UdpSocket socket(NetAddress(port), 0);
    enlargeReceiveBuffer(socket.getFd(), kRtpSocketBufferBytes);
    socketOpened();
    SLOGD("listening rtp port %d\n", port);
    const bool video = type == UNIT_DATA_RTP_VIDEO;
    const char* kind = video ? "Video" : "Audio";
    std::atomic<uint32_t>& ssrcField = video ? mVideoSsrc : mAudioSsrc;
    std::atomic<uint32_t>& seqField = video ? mVideoSeq : mAudioSeq;

    while (mThreadRun.load(std::memory_order_acquire)) {
        std::shared_ptr<QelBuffer> buffer = QelBuffer::createMallocBuffer(kDatagramCapacity, nullptr);
        BufferInfo info{};
        info.dataType = type;
        buffer->setBufferInfo(info);
        NetAddress from;
        long n = socket.receiveFromNonBlock(
            NetBuffer(static_cast<char*>(buffer->getVaddr()), buffer->capacity), from, 1000);
        if (!mThreadRun.load(std::memory_order_acquire)) break;
        if (n < 0) {
            SLOGE("UDP-RTP receive error ! err=%d\n", errno);
            reconnectAfterError();
            usleep(100);
            continue;
        }
        if (n == 0) {
            if (mRtpTimeoutCount.fetch_add(1) + 1 > kUdpTimeoutLimit) {
                SLOGW("UDP-RTP receive timeout. %s ; type = %s\n", currentUrl().c_str(), kind);
                if (video) {
                    disable();
                    SLOGD("ReEnable rtsp client [%d] %s\n",
                          mThreadRun.load(std::memory_order_acquire) ? 1 : 0, currentUrl().c_str());
                    enable();
                }
                mRtpTimeoutCount.store(0);
            }
            continue;
        }
        mRtpTimeoutCount.store(0);
        // A datagram shorter than the fixed RTP header carries no packet.
        if (static_cast<unsigned long>(n) < kRtpHeaderSize) continue;
        const unsigned char* rtp = static_cast<const unsigned char*>(buffer->getVaddr());
        uint32_t ssrc = readBe32(rtp + 8);
        uint32_t old = ssrcField.load();
        if (ssrc != old) {
            if (video)
                SLOGD("Video SSRC Changed! %u -> %u\n", old, ssrc);
            else
                SLOGD("Audio SSRC Changed! %u -> %u\n", old, ssrc);
            ssrcField.store(ssrc);
        }
        seqField.store(readBe16(rtp + 2));
        buffer->length = static_cast<unsigned long>(n);
        transmitTo(buffer, static_cast<unsigned long>(n), type, 0);
        unsigned pause = rtsp_client_unit_internal::gRtpPacketPauseUs.load(std::memory_order_relaxed);
        if (pause > 0) usleep(pause);
    }
    socket.close();
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
    UdpSocket socket(NetAddress(port), 0);
    socketOpened();
    SLOGD("listening rtcp port %d\n", port);
    const bool video = type == UNIT_DATA_RTP_VIDEO;
    unsigned char datagram[kDatagramCapacity];
    while (mThreadRun.load(std::memory_order_acquire)) {
        NetAddress from;
        long n = socket.receiveFromNonBlock(NetBuffer(reinterpret_cast<char*>(datagram), sizeof(datagram)),
                                            from, 1000);
        if (!mThreadRun.load(std::memory_order_acquire)) break;
        if (n < 0) {
            int err = errno;
            SLOGE("UDP-RTCP receive error ! err=%d, url=%s:%u\n", err, currentUrl().c_str(),
                  static_cast<unsigned>(mVideoPortBase.load()));
            break;
        }
        if (n == 0) continue;
        unsigned char report[kRtcpRrSize];
        buildReceiverReport(report, video ? mVideoSsrc.load() : mAudioSsrc.load(),
                            video ? mVideoSeq.load() : mAudioSeq.load(), datagram,
                            static_cast<unsigned long>(n));
        socket.sendTo(NetBuffer(reinterpret_cast<char*>(report), sizeof(report)), from);
        usleep(10);
    }
    socket.close();
}

void RtspClientUnitEM::fRecvTcpCallback(void* data, unsigned long length) {
    if (data == nullptr || length == 0) return;
    mLastRtpTimeNs.store(Utils::getBeginTimestamp());
    const unsigned char* frame = static_cast<const unsigned char*>(data);
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
    unsigned long payload = length - 4;
    std::shared_ptr<QelBuffer> buffer = QelBuffer::createMallocBuffer(payload, nullptr);
    memcpy(buffer->getVaddr(), frame + 4, payload);
    unsigned int channel = frame[1];
    switch (channel) {
        case 0:
            transmitTo(buffer, payload, UNIT_DATA_RTP_VIDEO, 0);
            break;
        case 2:
            transmitTo(buffer, payload, UNIT_DATA_RTP_AUDIO, 0);
            break;
        case 1:
            SLOGD("receive RTCP of channel 1\n");
            break;
        case 3:
            SLOGD("receive RTCP of channel 2\n");
            break;
        default:
            SLOGW("rtsp: unknown rtp channel %u\n", channel);
            break;
    }
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

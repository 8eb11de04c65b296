#include "testkit/clip_streamer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <stdexcept>

#include "testkit/rtp_packetizer.h"

namespace testkit {

using SteadyClock = std::chrono::steady_clock;

struct ClipStreamer::State {
    VideoCodec codec;
    ClipStreamerOptions options;
    std::vector<std::vector<Bytes>> pictures;  // NAL units without start codes, per picture

    mutable std::mutex mutex;  // guards everything below
    mutable std::condition_variable changed;
    bool paused = false;
    uint16_t nextSeq = 0;
    uint32_t nextTimestamp = 0;
    size_t plays = 0;
    size_t packets = 0;
    size_t packetsDropped = 0;
    size_t picturesSent = 0;
    std::vector<Bytes> senderReports;
    std::vector<ClipRtcpDatagram> received;

    bool isPaused() const {
        std::lock_guard<std::mutex> lock(mutex);
        return paused;
    }
};

namespace {

constexpr int kWaitSliceMs = 10;                  // how often a play looks at pause, stop and RTCP input
constexpr int kFirstSenderReportMs = 500;         // after a few pictures, so the client knows the SSRC
constexpr uint32_t kNtpUnixOffset = 2208988800u;  // seconds from 1900 to 1970
constexpr char kCname[] = "testcam";

void putBe32(Bytes* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

// RFC 3550 6.4.1 sender report without report blocks, compounded with an SDES CNAME (6.5) as 6.1
// asks of every RTCP datagram.
Bytes senderReport(uint32_t ssrc, uint32_t rtpTimestamp, uint32_t packets, uint32_t octets) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - seconds).count();
    uint32_t ntpSeconds = static_cast<uint32_t>(seconds.count()) + kNtpUnixOffset;
    uint32_t ntpFraction = static_cast<uint32_t>((static_cast<uint64_t>(micros) << 32) / 1000000);

    Bytes p = {0x80, 200, 0, 6};
    putBe32(&p, ssrc);
    putBe32(&p, ntpSeconds);
    putBe32(&p, ntpFraction);
    putBe32(&p, rtpTimestamp);
    putBe32(&p, packets);
    putBe32(&p, octets);

    Bytes chunk;
    putBe32(&chunk, ssrc);
    chunk.push_back(1);  // CNAME
    chunk.push_back(static_cast<uint8_t>(sizeof(kCname) - 1));
    chunk.insert(chunk.end(), kCname, kCname + sizeof(kCname) - 1);
    chunk.push_back(0);  // end of the item list, then pad to a 32-bit boundary
    while (chunk.size() % 4 != 0) chunk.push_back(0);
    size_t words = (4 + chunk.size()) / 4 - 1;
    p.insert(p.end(), {0x81, 202, static_cast<uint8_t>(words >> 8), static_cast<uint8_t>(words)});
    p.insert(p.end(), chunk.begin(), chunk.end());
    return p;
}

// A client's UDP address of either family.
struct Peer {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// The server side of one UDP track: an RTP socket on an even port and an RTCP socket one above,
// of the client's address family.
class ServerPorts {
public:
    explicit ServerPorts(int family) : mFamily(family) {
        for (int attempt = 0; attempt < 64 && mRtcp < 0; ++attempt) {
            close();
            mRtp = bound(0);
            uint16_t port = localPort(mRtp);
            if (port == 0 || port % 2 != 0 || port == 65535) continue;
            mRtcp = bound(static_cast<uint16_t>(port + 1));
        }
        if (mRtcp < 0) {
            close();
            fprintf(stderr, "ClipStreamer: no free UDP server port pair\n");
        }
    }
    ~ServerPorts() { close(); }
    ServerPorts(const ServerPorts&) = delete;
    ServerPorts& operator=(const ServerPorts&) = delete;

    bool ok() const { return mRtp >= 0 && mRtcp >= 0; }
    bool sendRtp(const Peer& to, const Bytes& data) const { return sendTo(mRtp, to, data); }
    bool sendRtcp(const Peer& to, const Bytes& data) const { return sendTo(mRtcp, to, data); }

    // Every datagram waiting on the RTCP port, without blocking.
    std::vector<ClipRtcpDatagram> drainRtcp() const {
        std::vector<ClipRtcpDatagram> out;
        uint8_t buffer[2048];
        for (;;) {
            sockaddr_storage from{};
            socklen_t len = sizeof(from);
            ssize_t n = recvfrom(mRtcp, buffer, sizeof(buffer), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) break;
            // sin_port and sin6_port lie at the same place.
            const uint16_t port = ntohs(reinterpret_cast<sockaddr_in*>(&from)->sin_port);
            out.push_back(ClipRtcpDatagram{Bytes(buffer, buffer + n), port});
        }
        return out;
    }

private:
    int bound(uint16_t port) const {
        int fd = socket(mFamily, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        sockaddr_storage a{};
        socklen_t length = 0;
        if (!socketAddress(mFamily == AF_INET6 ? "::" : "0.0.0.0", port, &a, &length) ||
            bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    static uint16_t localPort(int fd) {
        if (fd < 0) return 0;
        sockaddr_storage a{};
        socklen_t len = sizeof(a);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
        return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    }
    static bool sendTo(int fd, const Peer& to, const Bytes& data) {
        return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to.address),
                      to.length) == static_cast<ssize_t>(data.size());
    }
    void close() {
        if (mRtp >= 0) ::close(mRtp);
        if (mRtcp >= 0) ::close(mRtcp);
        mRtp = mRtcp = -1;
    }

    int mFamily;
    int mRtp = -1;
    int mRtcp = -1;
};

// One PLAY: streams the clip on the first track until the camera stops the stream.
class ClipPlay : public CameraStreamer {
public:
    explicit ClipPlay(std::shared_ptr<ClipStreamer::State> state) : mState(std::move(state)) {}
    void run(CameraPlayContext& context) override;

private:
    bool sendPicture(CameraPlayContext& context, RtpPacketizer& packetizer, size_t index);
    void sendSenderReport(CameraPlayContext& context, uint32_t rtpTimestamp);
    void collectRtcp();

    std::shared_ptr<ClipStreamer::State> mState;
    CameraTrackTransport mTrack;
    std::unique_ptr<ServerPorts> mPorts;  // UDP only
    Peer mRtpPeer;
    Peer mRtcpPeer;
    std::unique_ptr<RtpPacketizer> mGhost;  // ghostStream
    size_t mGhostIndex = 0;
    uint32_t mSsrc = 0;
    uint32_t mPackets = 0;  // for the sender report's counters
    uint32_t mOctets = 0;
    std::minstd_rand mDropRandom;  // seeded per play, so a run of a test is repeatable
};

void ClipPlay::run(CameraPlayContext& context) {
    std::vector<CameraTrackTransport> tracks = context.tracks();
    if (tracks.empty()) {
        while (context.waitFor(100)) {
        }
        return;
    }
    mTrack = tracks[0];
    if (!mTrack.tcp) {
        if (!socketAddress(context.clientIp(), mTrack.clientRtpPort, &mRtpPeer.address, &mRtpPeer.length) ||
            !socketAddress(context.clientIp(), mTrack.clientRtcpPort, &mRtcpPeer.address, &mRtcpPeer.length))
            return;
        mPorts = std::make_unique<ServerPorts>(mRtpPeer.address.ss_family);
        if (!mPorts->ok()) return;
    }

    const ClipStreamerOptions& options = mState->options;
    RtpPacketizerConfig config;
    config.codec = mState->codec;
    config.mtu = options.mtu;
    config.payloadType = options.payloadType;
    config.ssrc = options.ssrc;
    config.timestampStep = static_cast<uint32_t>(90000.0 / options.fps + 0.5);
    config.aggregate = options.aggregate;
    {
        std::lock_guard<std::mutex> lock(mState->mutex);
        ++mState->plays;
        mDropRandom.seed(static_cast<unsigned>(mState->plays));
        config.firstSeq = mState->nextSeq;
        config.firstTimestamp = mState->nextTimestamp;
    }
    mState->changed.notify_all();
    RtpPacketizer packetizer(config);
    mSsrc = config.ssrc;
    if (options.ghostStream) {
        RtpPacketizerConfig ghost = config;
        ghost.ssrc = ~config.ssrc;
        ghost.firstSeq = static_cast<uint16_t>(config.firstSeq + 0x5000);
        ghost.firstTimestamp = config.firstTimestamp + 0x40000000u;
        mGhost = std::make_unique<RtpPacketizer>(ghost);
        mGhostIndex = mState->pictures.size() / 3;
    }

    const auto period =
        std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / options.fps));
    const auto srInterval = std::chrono::milliseconds(options.senderReportIntervalMs);
    const bool reports = options.senderReportIntervalMs > 0;
    // Far enough ahead to never come, near enough to leave the clock arithmetic in range.
    const auto never = std::chrono::hours(24 * 365);
    const auto playStart = SteadyClock::now();
    auto faultAt = [&](int ms) { return playStart + std::chrono::milliseconds(ms); };
    auto nextPicture = playStart;
    auto nextReport = reports ? nextPicture + std::chrono::milliseconds(std::min(
                                                  kFirstSenderReportMs, options.senderReportIntervalMs))
                              : nextPicture + never;
    size_t index = 0;
    bool ended = false;
    bool ok = true;
    while (ok && !context.stopping()) {
        collectRtcp();
        auto current = SteadyClock::now();
        if (options.closeAfterMs > 0 && current >= faultAt(options.closeAfterMs)) {
            context.closeConnection();
            break;
        }
        bool silent = options.silenceForMs > 0 && current >= faultAt(options.silenceAfterMs) &&
                      current < faultAt(options.silenceAfterMs + options.silenceForMs);
        if (silent || mState->isPaused()) {
            ok = context.waitFor(kWaitSliceMs);
            // On resume the next picture goes out at once and the pacing starts afresh.
            nextPicture = SteadyClock::now();
            nextReport =
                nextPicture + (reports ? SteadyClock::duration(srInterval) : SteadyClock::duration(never));
            continue;
        }
        auto now = SteadyClock::now();
        if (reports && now >= nextReport) {
            // RFC 3550 6.4.1: the RTP time of this instant, i.e. the next picture's timestamp less
            // the time still to go until that picture is due.
            double ahead = std::chrono::duration<double>(nextPicture - now) / period;
            ahead = std::max(0.0, std::min(1.0, ahead));
            sendSenderReport(context, packetizer.nextTimestamp() -
                                          static_cast<uint32_t>(std::lround(ahead * config.timestampStep)));
            nextReport = now + srInterval;
        }
        if (!ended && now >= nextPicture) {
            ok = sendPicture(context, packetizer, index);
            if (++index == mState->pictures.size()) {
                index = 0;
                ended = !options.loop;
                packetizer.stepTimestamp(options.clockStepPerPass);
            }
            nextPicture += period;
            // A stalled thread does not make up for lost time with a burst of pictures.
            if (nextPicture < now - period) nextPicture = now;
        }
        auto wake = ended ? nextReport : std::min(nextPicture, nextReport);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - SteadyClock::now()).count();
        if (ms > 0) ok = ok && context.waitFor(static_cast<int>(std::min<long long>(ms, kWaitSliceMs)));
    }
    collectRtcp();
    std::lock_guard<std::mutex> lock(mState->mutex);
    mState->nextSeq = packetizer.nextSeq();
    mState->nextTimestamp = packetizer.nextTimestamp();
}

bool ClipPlay::sendPicture(CameraPlayContext& context, RtpPacketizer& packetizer, size_t index) {
    const std::vector<Bytes>& picture = mState->pictures[index];
    std::vector<Bytes> packets = packetizer.packetizePicture(picture);
    if (mState->options.ssrcPerGop) {
        const bool key = std::any_of(picture.begin(), picture.end(), [&](const Bytes& nal) {
            const int type = nalUnitType(mState->codec, nal);
            return mState->codec == VideoCodec::H264 ? type == 5 : type >= 16 && type <= 21;
        });
        if (key && mPackets > 0) mSsrc += 0x01010101;
        for (Bytes& p : packets) {
            for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<uint8_t>(mSsrc >> (24 - 8 * i));
        }
    }
    if (mGhost) {
        std::vector<Bytes> ghost = mGhost->packetizePicture(mState->pictures[mGhostIndex]);
        mGhostIndex = (mGhostIndex + 1) % mState->pictures.size();
        packets.insert(packets.begin(), ghost.begin(), ghost.end());
    }
    std::uniform_real_distribution<double> share(0.0, 1.0);
    size_t dropped = 0;
    for (const Bytes& p : packets) {
        if (mState->options.dropShare > 0 && share(mDropRandom) < mState->options.dropShare) {
            ++dropped;
            continue;
        }
        bool sent = mTrack.tcp ? context.sendRtp(0, p.data(), p.size()) : mPorts->sendRtp(mRtpPeer, p);
        // Over TCP a failed write means the connection is gone; a UDP datagram may be refused
        // while nobody listens (ICMP port unreachable), which a camera does not mind.
        if (!sent && mTrack.tcp) return false;
        ++mPackets;
        mOctets += static_cast<uint32_t>(p.size() - 12);
    }
    {
        std::lock_guard<std::mutex> lock(mState->mutex);
        mState->packets += packets.size() - dropped;
        mState->packetsDropped += dropped;
        ++mState->picturesSent;
    }
    mState->changed.notify_all();
    return true;
}

void ClipPlay::sendSenderReport(CameraPlayContext& context, uint32_t rtpTimestamp) {
    Bytes report = senderReport(mSsrc, rtpTimestamp, mPackets, mOctets);
    bool sent =
        mTrack.tcp ? context.sendRtcp(0, report.data(), report.size()) : mPorts->sendRtcp(mRtcpPeer, report);
    if (!sent) return;
    std::lock_guard<std::mutex> lock(mState->mutex);
    mState->senderReports.push_back(std::move(report));
}

void ClipPlay::collectRtcp() {
    if (!mPorts) return;
    std::vector<ClipRtcpDatagram> datagrams = mPorts->drainRtcp();
    if (datagrams.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mState->mutex);
        for (auto& d : datagrams) mState->received.push_back(std::move(d));
    }
    mState->changed.notify_all();
}

}  // namespace

ClipStreamer::ClipStreamer(VideoCodec codec, const Bytes& annexb, ClipStreamerOptions options)
    : mState(std::make_shared<State>()) {
    if (options.fps <= 0) throw std::invalid_argument("ClipStreamer: the picture rate must be positive");
    mState->codec = codec;
    mState->options = options;
    mState->nextSeq = options.firstSeq;
    for (auto& unit : groupAccessUnits(codec, splitAnnexB(annexb))) {
        bool hasSlice =
            std::any_of(unit.begin(), unit.end(), [&](const Bytes& nal) { return isVcl(codec, nal); });
        if (hasSlice) mState->pictures.push_back(std::move(unit));
    }
    if (options.pictures > 0 && options.pictures < mState->pictures.size())
        mState->pictures.resize(options.pictures);
    if (mState->pictures.empty()) throw std::invalid_argument("ClipStreamer: the clip holds no picture");
}

std::function<std::unique_ptr<CameraStreamer>()> ClipStreamer::factory() const {
    std::shared_ptr<State> state = mState;
    return [state]() -> std::unique_ptr<CameraStreamer> { return std::make_unique<ClipPlay>(state); };
}

std::string ClipStreamer::sdp() const {
    const bool h264 = mState->codec == VideoCodec::H264;
    std::string pt = std::to_string(mState->options.payloadType);
    return "v=0\r\n"
           "o=- 1700000000 1 IN IP4 127.0.0.1\r\n"
           "s=Clip\r\n"
           "t=0 0\r\n"
           "a=control:*\r\n"
           "m=video 0 RTP/AVP " +
           pt +
           "\r\n"
           "a=rtpmap:" +
           pt + (h264 ? " H264/90000\r\n" : " H265/90000\r\n") +
           (h264 ? "a=fmtp:" + pt + " packetization-mode=1\r\n" : std::string()) + "a=control:trackID=1\r\n";
}

void ClipStreamer::pause() {
    std::lock_guard<std::mutex> lock(mState->mutex);
    mState->paused = true;
}

void ClipStreamer::resume() {
    std::lock_guard<std::mutex> lock(mState->mutex);
    mState->paused = false;
}

bool ClipStreamer::paused() const {
    return mState->isPaused();
}

VideoCodec ClipStreamer::codec() const {
    return mState->codec;
}

size_t ClipStreamer::pictureCount() const {
    return mState->pictures.size();
}

size_t ClipStreamer::plays() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->plays;
}

size_t ClipStreamer::packetsSent() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->packets;
}

size_t ClipStreamer::packetsDropped() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->packetsDropped;
}

size_t ClipStreamer::picturesSent() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->picturesSent;
}

std::vector<Bytes> ClipStreamer::senderReports() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->senderReports;
}

std::vector<ClipRtcpDatagram> ClipStreamer::receivedRtcp() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->received;
}

bool ClipStreamer::waitForPictures(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mState->mutex);
    return mState->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return mState->picturesSent >= count; });
}

bool ClipStreamer::waitForReceivedRtcp(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mState->mutex);
    return mState->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return mState->received.size() >= count; });
}

}  // namespace testkit

#include "testkit/light_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "testkit/rtp_packetizer.h"

namespace testkit {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Longest single wait, so a fault or a stop is noticed soon.
constexpr int kWaitSliceMs = 100;
// The interleaved channel foreign frames arrive on over TCP: far above any channel set up.
constexpr uint8_t kForeignChannel = 200;

struct Picture {
    size_t first = 0;
    size_t count = 0;
    bool key = false;
};

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch())
        .count();
}

bool keyPicture(VideoCodec codec, const std::vector<Bytes>& nals) {
    for (const Bytes& nal : nals) {
        int type = nalUnitType(codec, nal);
        if (codec == VideoCodec::H264 ? type == 5 : (type >= 16 && type <= 21)) return true;
    }
    return false;
}

// Sequence number, timestamp and SSRC into a copy of a 12-byte RTP header.
void patchHeader(uint8_t* h, uint16_t seq, uint32_t timestamp, uint32_t ssrc) {
    h[2] = static_cast<uint8_t>(seq >> 8);
    h[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) {
        h[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
        h[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
}

// One play as faults see it; valid while registered in the state.
struct ActivePlay {
    CameraPlayContext* context = nullptr;
    CameraTrackTransport track;
    sockaddr_storage to{};  // UDP: where RTP goes, the client's RTP port or the play's group
    socklen_t toLength = 0;
    std::atomic<uint16_t> seq{0};
    std::atomic<uint32_t> timestamp{0};
};

}  // namespace

struct LightSender::State {
    VideoCodec codec = VideoCodec::H264;
    LightSenderOptions options;
    std::vector<Bytes> packets;  // the whole clip, packetized once
    std::vector<Picture> pictures;
    size_t mostPackets = 0;  // in one picture
    uint32_t timestampStep = 3600;

    std::mutex mutex;  // guards active and plays; held while a flood uses a play's context
    std::vector<ActivePlay*> active;
    size_t plays = 0;

    std::atomic<uint64_t> picturesSent{0};
    std::atomic<uint64_t> packetsSent{0};
    std::atomic<int64_t> silentUntilNs{0};
    std::atomic<uint32_t> lossBursts{0};
    std::atomic<uint32_t> closes{0};

    // Guarded by mutex: the socket IPv6 plays send from and its port; multicast groups handed out.
    int serverFd6 = -1;
    uint16_t serverPort6 = 0;
    uint32_t groups = 0;

    ~State() {
        if (serverFd6 >= 0) ::close(serverFd6);
    }
};

namespace {

class LightPlay : public CameraStreamer {
public:
    explicit LightPlay(std::shared_ptr<LightSender::State> state) : mState(std::move(state)) {}
    ~LightPlay() override {
        if (mUdpFd >= 0) ::close(mUdpFd);
    }
    void run(CameraPlayContext& context) override;

private:
    // Sends the first `count` packets of picture `index`; false when the connection is gone.
    bool send(CameraPlayContext& context, size_t index, size_t count);

    std::shared_ptr<LightSender::State> mState;
    ActivePlay mPlay;
    int mUdpFd = -1;   // the play's own
    int mSendFd = -1;  // the one it sends from: its own or the sender's IPv6 one
    uint16_t mSeq = 0;
    uint32_t mTimestamp = 0;
    std::vector<uint8_t> mHeaders;  // 16 bytes per packet: '$' frame header and RTP header
    std::vector<iovec> mPieces;
    std::vector<mmsghdr> mMessages;
    int64_t mNextSendNs = 0;  // paced: the earliest start of the next packet
};

void LightPlay::run(CameraPlayContext& context) {
    std::vector<CameraTrackTransport> tracks = context.tracks();
    if (tracks.empty()) {
        while (context.waitFor(kWaitSliceMs)) {
        }
        return;
    }
    LightSender::State& s = *mState;
    mPlay.context = &context;
    mPlay.track = tracks[0];
    if (!mPlay.track.tcp) {
        const CameraTrackTransport& t = mPlay.track;
        if (!socketAddress(t.multicast ? t.group : context.clientIp(),
                           t.multicast ? t.groupPort : t.clientRtpPort, &mPlay.to, &mPlay.toLength))
            return;
        if (t.serverRtpPort != 0) {
            std::lock_guard<std::mutex> lock(s.mutex);
            mSendFd = s.serverFd6;
        } else {
            mUdpFd = mSendFd = ::socket(mPlay.to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (mUdpFd < 0) return;
        }
        if (t.multicast) {
            // From the camera's address (a route over lo would pick none), never past this host.
            sockaddr_storage own{};
            socklen_t ownLength = 0;
            const int ttl = 1;
            if (!socketAddress(context.cameraIp(), 0, &own, &ownLength) ||
                ::bind(mUdpFd, reinterpret_cast<sockaddr*>(&own), ownLength) != 0 ||
                ::setsockopt(mUdpFd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0)
                return;
        }
    }
    // Sleeps between paced packets end when due, not up to the default 50 us later.
    if (s.options.paced()) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        if (mPlay.track.tcp) context.sendSegmentsAtOnce();
    }
    mHeaders.resize(16 * s.mostPackets);
    mPieces.resize(2 * s.mostPackets);
    mMessages.resize(s.mostPackets);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.plays;
        // Each play its own numbering, as each camera session would have.
        mSeq = static_cast<uint16_t>(s.plays * 7919);
        mTimestamp = static_cast<uint32_t>(s.plays) * 104729u;
        mPlay.seq = mSeq;
        mPlay.timestamp = mTimestamp;
        s.active.push_back(&mPlay);
    }

    const auto period =
        std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / s.options.fps));
    uint32_t lossSeen = s.lossBursts.load();
    uint32_t closeSeen = s.closes.load();
    bool awaitKey = false;
    bool ended = false;
    size_t index = 0;
    auto next = SteadyClock::now();
    bool ok = true;
    while (ok && !context.stopping()) {
        if (s.closes.load() != closeSeen) {
            context.closeConnection();
            break;
        }
        auto now = SteadyClock::now();
        if (!ended && now >= next) {
            const Picture& p = s.pictures[index];
            bool silent = steadyNs() < s.silentUntilNs.load();
            uint32_t losses = s.lossBursts.load();
            if (losses != lossSeen) {
                lossSeen = losses;
                ok = send(context, index, (p.count + 1) / 2);
                awaitKey = true;
            } else if (silent) {
                awaitKey = true;
            } else if (!awaitKey || p.key) {
                awaitKey = false;
                ok = send(context, index, p.count);
            }
            // Pictures not sent count as lost: numbering goes on as from a camera that kept sending.
            mSeq = static_cast<uint16_t>(mSeq + p.count);
            mTimestamp += s.timestampStep;
            mPlay.seq = mSeq;
            mPlay.timestamp = mTimestamp;
            if (++index == s.pictures.size()) {
                index = 0;
                ended = !s.options.loop;
            }
            next += period;
            // A stalled thread does not make up for lost time with a burst of pictures.
            if (next < now - period) next = now;
        }
        auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - SteadyClock::now()).count();
        int ms =
            ended ? kWaitSliceMs : static_cast<int>(std::min<long long>((wait + 999) / 1000, kWaitSliceMs));
        if (ms > 0) ok = ok && context.waitFor(ms);
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.active.erase(std::remove(s.active.begin(), s.active.end(), &mPlay), s.active.end());
}

bool LightPlay::send(CameraPlayContext& context, size_t index, size_t count) {
    LightSender::State& s = *mState;
    const Picture& p = s.pictures[index];
    const bool tcp = mPlay.track.tcp;
    for (size_t i = 0; i < count; ++i) {
        const Bytes& packet = s.packets[p.first + i];
        uint8_t* h = &mHeaders[16 * i];
        uint8_t* rtp = tcp ? h + 4 : h;
        memcpy(rtp, packet.data(), 12);
        patchHeader(rtp, static_cast<uint16_t>(mSeq + i), mTimestamp, s.options.ssrc);
        if (tcp) {
            h[0] = '$';
            h[1] = mPlay.track.rtpChannel;
            h[2] = static_cast<uint8_t>(packet.size() >> 8);
            h[3] = static_cast<uint8_t>(packet.size());
        }
        mPieces[2 * i] = iovec{h, tcp ? 16u : 12u};
        mPieces[2 * i + 1] = iovec{const_cast<uint8_t*>(packet.data()) + 12, packet.size() - 12};
        if (!tcp) {
            msghdr& m = mMessages[i].msg_hdr;
            m = msghdr{};
            m.msg_name = &mPlay.to;
            m.msg_namelen = mPlay.toLength;
            m.msg_iov = &mPieces[2 * i];
            m.msg_iovlen = 2;
        }
    }
    if (s.options.paced()) {
        // One packet at a time, each no sooner than its predecessor's wire time after it.
        for (size_t i = 0; i < count; ++i) {
            if (context.stopping()) return false;
            int64_t now = steadyNs();
            if (now < mNextSendNs) {
                timespec at{static_cast<time_t>(mNextSendNs / 1000000000),
                            static_cast<long>(mNextSendNs % 1000000000)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
                now = steadyNs();
            }
            mNextSendNs = now + s.options.spacingNs(s.packets[p.first + i].size());
            if (i + 1 == p.count && s.options.pictureLeaving) s.options.pictureLeaving(mTimestamp, now);
            if (tcp) {
                if (!context.sendRawv(&mPieces[2 * i], 2)) return false;
            } else {
                ::sendmmsg(mSendFd, &mMessages[i], 1, 0);  // a refused datagram is skipped, as below
            }
        }
    } else if (tcp) {
        if (count == p.count && s.options.pictureLeaving) s.options.pictureLeaving(mTimestamp, steadyNs());
        if (!context.sendRawv(mPieces.data(), 2 * count)) return false;
    } else {
        if (count == p.count && s.options.pictureLeaving) s.options.pictureLeaving(mTimestamp, steadyNs());
        size_t done = 0;
        while (done < count) {
            int n = ::sendmmsg(mSendFd, &mMessages[done], static_cast<unsigned>(count - done), 0);
            // A datagram the kernel refuses (client port closed) is skipped, as a camera would.
            done += n > 0 ? static_cast<size_t>(n) : 1;
        }
    }
    s.packetsSent += count;
    if (count == p.count) ++s.picturesSent;
    return true;
}

}  // namespace

int64_t LightSenderOptions::spacingNs(size_t bytes) const {
    int64_t wire =
        nicBitsPerSecond == 0
            ? 0
            : static_cast<int64_t>((bytes + kWireOverheadBytes) * 8ULL * 1000000000ULL / nicBitsPerSecond);
    return std::max<int64_t>(static_cast<int64_t>(paceUs) * 1000, wire);
}

LightSender::LightSender(VideoCodec codec, const Bytes& annexb, LightSenderOptions options)
    : mState(std::make_shared<State>()) {
    State& s = *mState;
    s.codec = codec;
    s.options = options;
    s.timestampStep = static_cast<uint32_t>(90000.0 / options.fps + 0.5);
    RtpPacketizerConfig config;
    config.codec = codec;
    config.mtu = options.mtu;
    config.ssrc = options.ssrc;
    RtpPacketizer packetizer(config);
    for (const auto& nals : groupAccessUnits(codec, splitAnnexB(annexb))) {
        Picture p;
        p.first = s.packets.size();
        p.key = keyPicture(codec, nals);
        for (Bytes& packet : packetizer.packetizePicture(nals)) s.packets.push_back(std::move(packet));
        p.count = s.packets.size() - p.first;
        if (p.count == 0) continue;
        s.mostPackets = std::max(s.mostPackets, p.count);
        s.pictures.push_back(p);
    }
    if (s.pictures.empty() || !s.pictures[0].key)
        throw std::invalid_argument("the clip holds no picture or does not start with a key picture");
}

std::function<std::unique_ptr<CameraStreamer>()> LightSender::factory() const {
    std::shared_ptr<State> state = mState;
    return [state]() -> std::unique_ptr<CameraStreamer> { return std::make_unique<LightPlay>(state); };
}

TestCamera::UdpSetupHook LightSender::udpSetupHook() const {
    std::shared_ptr<State> state = mState;
    return [state](const std::string& clientIp, CameraTrackTransport* track) {
        const bool ipv6 = clientIp.find(':') != std::string::npos;
        State& s = *state;
        std::lock_guard<std::mutex> lock(s.mutex);
        if (track->multicast) {
            if (ipv6) return false;
            const uint32_t n = s.groups++ % 65534 + 1;
            track->group = "239.255." + std::to_string(n >> 8) + "." + std::to_string(n & 0xFF);
            track->groupPort = kMulticastPort;
            return true;
        }
        if (!ipv6) return true;
        if (s.serverFd6 < 0) {
            sockaddr_in6 any{};
            any.sin6_family = AF_INET6;
            socklen_t length = sizeof(any);
            s.serverFd6 = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (s.serverFd6 >= 0 &&
                (::bind(s.serverFd6, reinterpret_cast<sockaddr*>(&any), length) != 0 ||
                 getsockname(s.serverFd6, reinterpret_cast<sockaddr*>(&any), &length) != 0)) {
                ::close(s.serverFd6);
                s.serverFd6 = -1;
            }
            if (s.serverFd6 < 0) return false;
            s.serverPort6 = ntohs(any.sin6_port);
        }
        track->serverRtpPort = s.serverPort6;
        return true;
    };
}

std::string LightSender::sdp() const {
    const bool h264 = mState->codec == VideoCodec::H264;
    return std::string("v=0\r\no=- 1700000000 1 IN IP4 127.0.0.1\r\ns=Light\r\nt=0 0\r\na=control:*\r\n") +
           "m=video 0 RTP/AVP 96\r\n" + (h264 ? "a=rtpmap:96 H264/90000\r\n" : "a=rtpmap:96 H265/90000\r\n") +
           (h264 ? "a=fmtp:96 packetization-mode=1\r\n" : "") + "a=control:trackID=1\r\n";
}

size_t LightSender::pictureCount() const {
    return mState->pictures.size();
}

void LightSender::silence(int ms) {
    mState->silentUntilNs = steadyNs() + static_cast<int64_t>(ms) * 1000000;
}

void LightSender::lossBurst() {
    ++mState->lossBursts;
}

void LightSender::closeAll() {
    ++mState->closes;
}

size_t LightSender::flood(size_t count) {
    State& s = *mState;
    // IPv4 from another address; IPv6 loopback has only ::1: another port than the announced one.
    int fds[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
        sockaddr_storage foreign{};
        socklen_t length = 0;
        if (!socketAddress(i == 0 ? "127.0.0.2" : "::1", 0, &foreign, &length)) continue;
        fds[i] = ::socket(foreign.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fds[i] >= 0 && ::bind(fds[i], reinterpret_cast<sockaddr*>(&foreign), length) != 0) {
            ::close(fds[i]);
            fds[i] = -1;
        }
    }
    size_t sent = 0;
    std::lock_guard<std::mutex> lock(s.mutex);
    for (ActivePlay* play : s.active) {
        const int fd = fds[play->to.ss_family == AF_INET6 ? 1 : 0];
        uint16_t seq = play->seq.load();
        uint32_t timestamp = play->timestamp.load();
        for (size_t i = 0; i < count; ++i) {
            // Packets of the clip with the payload scrambled past the NAL / FU header: accepted,
            // they would break the picture they land in.
            Bytes packet = s.packets[i % s.packets.size()];
            patchHeader(packet.data(), static_cast<uint16_t>(seq + 1 + i), timestamp, s.options.ssrc);
            for (size_t k = 15; k < packet.size(); ++k) packet[k] ^= 0x5A;
            bool ok;
            if (play->track.tcp) {
                ok = play->context->sendInterleaved(kForeignChannel, packet.data(), packet.size());
            } else {
                ok = fd >= 0 &&
                     ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&play->to),
                              play->toLength) == static_cast<ssize_t>(packet.size());
            }
            if (ok) ++sent;
        }
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    return sent;
}

size_t LightSender::plays() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->plays;
}

size_t LightSender::activePlays() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->active.size();
}

uint64_t LightSender::picturesSent() const {
    return mState->picturesSent.load();
}

uint64_t LightSender::packetsSent() const {
    return mState->packetsSent.load();
}

}  // namespace testkit

#ifndef QUORVANE_UNITS_UNIT_RTSP_CLIENT_H
#define QUORVANE_UNITS_UNIT_RTSP_CLIENT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../quorvane_export.h"
#include "../rtsp_client_events.h"
#include "../rtsp_client_options.h"
#include "../utils/curl_rtsp.h"
#include "../utils/log_rate_limiter.h"
#include "unit.h"

// The camera's clock as its latest RTCP sender report gave it (RFC 3550 6.4.1): the NTP time
// and the RTP timestamp of the same instant, and when the report arrived (monotonic clock).
struct QUORVANE_EXPORT RtcpSenderClock {
    bool valid = false;
    uint64_t ntp = 0;  // 32.32 fixed point seconds since 1900
    uint32_t rtpTimestamp = 0;
    int64_t receivedNs = 0;
};

// Connection attempts of a receiver so far, and how the latest one ended.
struct QUORVANE_EXPORT RtspConnectStatus {
    uint32_t attempts = 0;      // session starts, the first enable and every reconnect
    uint32_t connections = 0;   // of which reached PLAY
    bool connected = false;     // the latest attempt reached PLAY
    RtspRequestResult failure;  // the request that failed in the latest attempt, when not connected
    // The way the latest session that reached PLAY went to the camera (RtspStateEvent's).
    RtspPath path = RtspPath::Udp;
    bool ipv6 = false;
};

class MulticastSocket;
class NetAddress;
class NetEndpoint;
class UdpSocket;
namespace rtsp_receive_internal {
struct SenderReport;
class SsrcTracker;
class CameraHosts;
}  // namespace rtsp_receive_internal

// Source unit of a camera pipeline: owns the RTSP session and the threads that receive RTP
// (over UDP, or interleaved in the RTSP connection) and pushes every RTP packet downstream.
// It reconnects a camera that falls silent by itself while it is enabled; disable() ends the
// session for good until the next enable().
//
// Only the camera is trusted: RTP and RTCP from another address, or from another port than the
// SETUP answer's server_port where it named one (unless RtspClientOptions::filterSourceAddress is
// off), and RTP of another stream (SsrcTracker) are dropped, and only the camera's sender reports
// are answered, at most a few a second. The receive ports are drawn at random and bound without
// address reuse, so no other socket can share them. With RtspClientOptions::multicast the stream
// comes instead on sockets bound to the group's address and port with address reuse (every
// receiver of the group gets its copy), joined source-specific for the camera's addresses when
// filtering, from the SETUP answer until the session ends; the receive threads switch to them
// and back. Only accepted video RTP counts as a sign of life; a session whose RTSP connection is
// lost is reconnected at once. UDP RTP that arrives before the PLAY answer has been read waits for
// it (kHeldRtpPackets), so that its RTP-Info decides which stream is the session's.
//
// enable() and disable() may be called from inside the data path (the application's data
// callback): there they only record the request, which runs as soon as the delivery has returned
// (on the receive thread over UDP, on the watchdog thread over TCP, where the session's lock is
// held during a delivery). The unit's enable flag changes at once, so nothing more is delivered.
class QUORVANE_EXPORT RtspClientUnitEM : public Unit<EndpointInput, MasterOutput> {
public:
    RtspClientUnitEM(std::string url, std::string user, std::string password, bool tcp);
    ~RtspClientUnitEM() override;

    void init(std::string url, std::string user, std::string password, bool enableAudio, bool enableVideo,
              bool tcp);
    void setReceivePortBase(unsigned short base);

    void enable() override;
    void disable() override;
    void debug() override;

    void startThread();
    void stopThread();

    // Safe from any thread, also while a receive thread reconnects.
    RtspConnectStatus connectStatus() const;

    // Behaviour switches; take effect at the next enable.
    void setOptions(const RtspClientOptions& options);
    // Called on the thread that starts a session, after SETUP and before PLAY, with what the
    // session learned; the owner hands it to the units downstream. Assign before enable.
    std::function<void(const RtspSessionInfo&)> mSessionCallback;
    // Reports where the session stands; called on the owner's or a receive thread, never with a
    // lock of this unit held. Assign before enable.
    std::function<void(const RtspStateEvent&)> mStateCallback;
    // Every accepted video RTP packet (header included) with its arrival time, before it is
    // pushed downstream; on the receive thread. Assign before enable.
    std::function<void(const unsigned char*, unsigned long, int64_t)> mRtpPacketObserver;
    // Every accepted RTP packet of the audio track (RtspClientOptions::receiveAudio; header
    // included) with its arrival time, inside the delivery like video packets: on the audio RTP
    // thread over UDP, on the thread reading the interleaved frames over TCP. Assign before enable.
    std::function<void(const unsigned char*, unsigned long, int64_t)> mAudioPacketObserver;
    // The session ended (teardown or silence); pictures still held downstream can be handed over.
    // On the thread that ends the session. Assign before enable.
    std::function<void()> mSessionEndCallback;
    // Takes what the session learned before PLAY: the camera's addresses (the server's address,
    // else the URL's host, and the SETUP answer's source= where it differs and is plausible) and
    // server ports, and the interleaved channels. Called by every session; tests call it to stand
    // in for a camera.
    void applySessionInfo(const RtspSessionInfo& session);
    // Takes the PLAY answer's RTP-Info: the video stream to follow continues its seq. Called by
    // every session after PLAY; tests call it to stand in for a camera.
    void applyRtpInfo(const RtspRtpInfo& info);
    // The camera's latest sender report for the video track; invalid until one arrived.
    RtcpSenderClock senderClock() const;
    // The same for the audio track; invalid until one arrived or while no audio track is set up.
    RtcpSenderClock audioSenderClock() const;

    // The bytes of an interleaved frame: TCP sessions call it with every frame; public for tests
    // and fuzzing, which feed frames by hand.
    void fRecvTcpCallback(void* data, unsigned long length);
    void threadRtpFunc(unsigned short port, UnitDataType type);
    void threadRtcpFunc(unsigned short port, UnitDataType type);
    void threadRtpTcpFunc(unsigned short port);
    void parseRtcpSR(char* data, unsigned long length);
    int genRtcpRR(char* out);

    // Size of the receiver report that answers a sender report.
    static constexpr unsigned long kRtcpRrSize = 32;
    // Fills `out` with the receiver report for `ssrc`/`seq`, taking the LSR from the received
    // RTCP datagram (bytes 10-13; zero when the datagram is too short to hold them).
    static void buildReceiverReport(unsigned char out[kRtcpRrSize], uint32_t ssrc, uint32_t seq,
                                    const unsigned char* rtcp, unsigned long rtcpLength);
    // Receive buffer asked for on the RTP sockets, so a keyframe burst is not dropped by the kernel.
    static constexpr int kRtpSocketBufferBytes = 2 * 1024 * 1024;
    // UDP RTP that arrives while the PLAY answer is awaited waits for it (its RTP-Info tells the
    // new stream from a previous session's still sent into the ports), at most this many datagrams
    // and bytes per receive thread, about a second of a camera's video; beyond that the oldest
    // are dropped.
    static constexpr size_t kHeldRtpPackets = 640;
    static constexpr size_t kHeldRtpBytes = 1024 * 1024;

    std::thread* mThreadVideoRtp = nullptr;
    std::thread* mThreadVideoRtcp = nullptr;
    std::thread* mThreadAudioRtp = nullptr;
    std::thread* mThreadAudioRtcp = nullptr;
    CurlRtsp* mCurlRtsp = nullptr;
    std::string mUrl;
    std::string mUser;
    std::string mPassword;
    // Atomic: the RTCP threads read the video port for their error line while the owner may set
    // a new base for later threads.
    std::atomic<uint16_t> mVideoPortBase{0};
    std::atomic<uint16_t> mAudioPortBase{0};
    std::atomic<bool> mThreadRun{true};
    std::atomic<int32_t> mRtpTimeoutCount{0};
    std::atomic<int64_t> mLastRtpTimeNs{0};
    std::atomic<uint32_t> mVideoSsrc{0};
    std::atomic<uint32_t> mAudioSsrc{0};
    std::atomic<uint32_t> mVideoSeq{0};
    std::atomic<uint32_t> mAudioSeq{0};
    bool mEnableAudio = true;
    bool mEnableVideo = true;
    // The session sets up an audio track: only then are its ports bound and its RTP and RTCP
    // threads started (two threads and two sockets per camera less without one). Set it before
    // the session starts (under the unit's lifecycle lock); sessions are video only today.
    bool mAudioTrack = false;
    bool mTcp = false;

private:
    enum class Request { None, Stop, Restart, Reconnect };
    using Events = std::vector<RtspStateEvent>;

    std::string currentUrl() const;
    std::string maskedUrl() const;
    bool isOwnThread() const;
    void reconnectAfterError();
    // Whether the calling thread is inside a delivery of this unit; then a request is recorded
    // instead of run, and the caller returns at once.
    bool deferred(Request request);
    void runPendingRequest();
    void restartSession(RtspClientReason reason);
    // The RTSP connection of session `serial` was lost (CurlRtsp::mSessionLostCallback, on the
    // session's own thread): a reconnect is recorded for the watchdog or the video RTP thread.
    void sessionLost(uint32_t serial, RtspClientReason reason);
    // With mLifecycleMutex held.
    bool startSessionLocked(Events& events);
    void endSessionLocked(bool teardown);
    bool bindSocketsLocked();
    void emit(const Events& events);
    bool fromCamera(const NetAddress& from, bool rtcp, bool audio = false) const;
    bool fromCamera(const NetEndpoint& from, bool rtcp, bool audio = false) const;
    // Makes the receive sockets of `family` (AF_INET or AF_INET6), the camera's: bound anew on the
    // same ports (on new ones when those are taken), handed to the running receive threads. False
    // when they cannot be bound; the sockets held stay as they were.
    bool useSocketFamily(int family);
    // A receive thread takes the socket useSocketFamily left for its slot, if any.
    void takeSwappedSocket(int slot, std::unique_ptr<UdpSocket>& socket);
    // `port`: the datagram's source port (network order; 0 over TCP). `generation` and `hint`
    // hold what the tracker has taken in of the session and its RTP-Info.
    bool acceptRtp(const unsigned char* rtp, unsigned long length, bool video, uint16_t port,
                   rtsp_receive_internal::SsrcTracker& tracker, uint32_t& generation, uint64_t& hint);
    void takeSenderReport(const rtsp_receive_internal::SenderReport& report, bool audio = false);
    std::unique_ptr<UdpSocket> takeSocket(int slot, unsigned short port);
    // The camera's address from the session, and its source= where that is another plausible one
    // (else none); false when the address is not known.
    bool cameraAddresses(const RtspSessionInfo& session, NetEndpoint* address, NetEndpoint* source) const;
    // Multicast: binds and joins the groups of the session's answers for the receive threads
    // (CurlRtsp::mJoinGroupsCallback); 0, or the errno of a bind or join that failed.
    int joinGroups(const RtspSessionInfo& session);
    // Leaves the session's groups and has the receive threads go back to their own sockets.
    void leaveGroups();
    // The group socket of receive slot `slot` once the groups changed since `seen`; false when
    // they did not.
    bool takeGroupSocket(int slot, uint32_t& seen, std::shared_ptr<MulticastSocket>& group);
    // Waits up to `ms` for stopThread; false when the unit is stopping.
    bool pause(int64_t ms);

    // Serialises enable, disable, the thread slots and the session pointer between the owner's
    // thread and the receive threads that reconnect. Recursive: the session-end callback may
    // reach back into this unit.
    mutable std::recursive_mutex mLifecycleMutex;
    // Guards mUrl, which the destructor clears while receive threads may still log it.
    mutable std::mutex mUrlMutex;
    // Time of the last reconnect caused by a receive error, so an unusable socket cannot turn
    // into a storm of reconnects against the camera.
    std::atomic<int64_t> mLastErrorReconnectNs{0};
    mutable std::mutex mStatusMutex;  // guards mConnectStatus
    RtspConnectStatus mConnectStatus;
    RtspClientOptions mOptions;  // guarded by mLifecycleMutex

    // The owner wants video: set by enable(), cleared by disable(). Reconnects happen only while set.
    std::atomic<bool> mWanted{false};
    std::atomic<int> mPending{0};  // a Request recorded inside a delivery
    // A recorded Reconnect: its reason and the session it is for.
    std::atomic<int> mPendingReason{0};
    std::atomic<uint32_t> mPendingSerial{0};
    // Numbers the sessions; mLiveSerial is the playing one's (0: none), which a lost-session
    // report of an older one does not match.
    uint32_t mSessionSerial = 0;  // guarded by mLifecycleMutex
    std::atomic<uint32_t> mLiveSerial{0};
    // A lost session's reconnect has not reached PLAY yet: UDP retries at the TCP watchdog's pace.
    std::atomic<bool> mRetryLost{false};
    // Consecutive receive time-outs of the audio RTP thread, apart from the video's.
    std::atomic<int32_t> mAudioTimeoutCount{0};
    std::atomic<bool> mStopEventOwed{false};  // a recorded disable() still owes its Stopped event
    bool mSessionPlayed = false;              // guarded by mLifecycleMutex
    // Readable once stopThread has run: wakes the RTCP threads from their polls.
    int mStopFd = -1;
    // The TCP watchdog waits here; woken by stopThread and by a recorded request.
    std::mutex mWatchMutex;
    std::condition_variable mWatchCv;
    // Sockets bound by startThread on the owner's thread, taken by the threads it starts:
    // video RTP, video RTCP, audio RTP, audio RTCP.
    std::mutex mSocketsMutex;  // guards both arrays; never held while waiting on anything
    std::unique_ptr<UdpSocket> mBoundSockets[4];
    // The sockets the receive threads wait in (slots as above), from taking to closing: stopThread
    // ends the RTP threads' waits by shutting their receive side, useSocketFamily every thread's.
    UdpSocket* mReceivingSockets[4] = {nullptr, nullptr, nullptr, nullptr};
    // The family of the receive sockets (AF_INET unless the camera is an IPv6 one), and the slots
    // whose thread has a socket of a new family waiting in mBoundSockets (bit per slot).
    std::atomic<int> mSocketFamily{0};
    std::atomic<unsigned> mSocketSwaps{0};
    // Multicast: the sockets joined to the session's groups, per receive slot, and a count of
    // their changes the receive threads watch. A thread holds its group socket while it waits in
    // it; leaveGroups leaves the group and shuts the socket's receive side, so the thread lets go.
    std::shared_ptr<MulticastSocket> mGroupSockets[4];
    std::atomic<uint32_t> mGroupGeneration{0};

    // The camera as the current session described it. Addresses and ports in network order;
    // mPeerKnown false means no session: with address filtering nothing is accepted.
    std::atomic<bool> mPeerKnown{false};
    // The camera's address and the SETUP answer's source= where it differs and is plausible.
    std::unique_ptr<rtsp_receive_internal::CameraHosts> mCameraHosts;
    std::atomic<uint16_t> mPeerRtpPort{0};  // 0: any port of the camera's addresses
    std::atomic<uint16_t> mPeerRtcpPort{0};
    std::atomic<bool> mFilterAddress{true};
    // Counts sessions; a receive thread that sees it change starts its SSRC tracking afresh.
    std::atomic<uint32_t> mSessionGeneration{0};
    // Whether UDP RTP is held until the PLAY answer: a count of PLAYs (bits 2-63) and the state of
    // the latest (bits 0-1, PlayHold). Written with mLifecycleMutex held; the receive threads read it.
    std::atomic<uint64_t> mPlayHold{0};
    // The RTP-Info seq of the session: a count of hints given (bits 32-63), whether this one has
    // a seq (bit 16) and the seq (bits 0-15), so a receive thread reads it in one load.
    std::atomic<uint64_t> mRtpInfoHint{0};
    std::atomic<int> mVideoRtpChannel{0};
    std::atomic<int> mVideoRtcpChannel{1};
    // The session's video comes by multicast: its RTP-Info does not filter the group's stream.
    std::atomic<bool> mSharedStream{false};
    // The audio track of the session, when one was set up: its channels (TCP), the camera's
    // ports for it (UDP, network order; 0: any).
    std::atomic<bool> mAudioSetUp{false};
    std::atomic<int> mAudioRtpChannel{2};
    std::atomic<int> mAudioRtcpChannel{3};
    std::atomic<uint16_t> mPeerAudioRtpPort{0};
    std::atomic<uint16_t> mPeerAudioRtcpPort{0};
    std::atomic<unsigned> mPacketPauseUs{10};
    std::atomic<unsigned> mCoalescingUs{0};  // receive coalescing of the session, capped
    // SSRC tracking of the interleaved path; used only by the thread delivering the session's
    // frames (inside libcurl's requests under the session's lock, or the relay's thread).
    std::unique_ptr<rtsp_receive_internal::SsrcTracker> mTcpSsrc;
    std::unique_ptr<rtsp_receive_internal::SsrcTracker> mTcpAudioSsrc;
    uint32_t mTcpAudioGeneration = 0;
    uint64_t mTcpAudioHint = 0;
    int64_t mTcpAudioLastAnswerNs = 0;
    // Blocks for the interleaved packets, reused once the depacketizer lets go of them.
    std::unique_ptr<BufferPool> mTcpPool;
    uint32_t mTcpGeneration = 0;
    uint64_t mTcpHint = 0;
    int64_t mTcpLastAnswerNs = 0;

    mutable std::mutex mClockMutex;  // guards mSenderClock and mAudioSenderClock
    RtcpSenderClock mSenderClock;
    RtcpSenderClock mAudioSenderClock;

    LogRateLimiter mForeignLog;
    LogRateLimiter mRtpErrorLog;
    LogRateLimiter mChannelLog;
    LogRateLimiter mTimeoutLog;
};

#endif

#ifndef QUORVANE_UNITS_UNIT_RTSP_CLIENT_H
#define QUORVANE_UNITS_UNIT_RTSP_CLIENT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "../quorvane_export.h"
#include "../rtsp_client_events.h"
#include "../rtsp_client_options.h"
#include "../utils/curl_rtsp.h"
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
};

// Source unit of a camera pipeline: owns the RTSP session and the threads that receive RTP
// (over UDP, or interleaved in the RTSP connection) and pushes every RTP packet downstream.
// It reconnects a camera that falls silent by itself.
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
    // The session ended (teardown or silence); pictures still held downstream can be handed over.
    // On the thread that ends the session. Assign before enable.
    std::function<void()> mSessionEndCallback;
    // The camera's latest sender report for the video track; invalid until one arrived.
    RtcpSenderClock senderClock() const;

    void fRecvTcpCallback(void* data, unsigned long length);
    void threadRtpFunc(unsigned short port, UnitDataType type);
    void threadRtcpFunc(unsigned short port, UnitDataType type);
    void threadRtpTcpFunc(unsigned short port);
    void parseRtcpSR(char* data, unsigned long length);
    int genRtcpRR(char* out);

    // Size of the receiver report answered to every RTCP datagram.
    static constexpr unsigned long kRtcpRrSize = 32;
    // Fills `out` with the receiver report for `ssrc`/`seq`, taking the LSR from the received
    // RTCP datagram (bytes 10-13; zero when the datagram is too short to hold them).
    static void buildReceiverReport(unsigned char out[kRtcpRrSize], uint32_t ssrc, uint32_t seq,
                                    const unsigned char* rtcp, unsigned long rtcpLength);
    // Receive buffer asked for on the RTP sockets, so a keyframe burst is not dropped by the kernel.
    static constexpr int kRtpSocketBufferBytes = 2 * 1024 * 1024;

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
    bool mTcp = false;

private:
    std::string currentUrl() const;
    bool isOwnThread() const;
    void reconnectAfterError();
    // Called by a UDP receive thread once its socket is bound (or its bind has failed).
    void socketOpened();

    // Serialises enable, disable, the thread slots and the session pointer between the owner's
    // thread and the receive threads that reconnect. Recursive: a failed enable calls disable.
    mutable std::recursive_mutex mLifecycleMutex;
    // Guards mUrl, which the destructor clears while receive threads may still log it.
    mutable std::mutex mUrlMutex;
    // Time of the last reconnect caused by a receive error, so an unusable socket cannot turn
    // into a storm of reconnects against the camera.
    std::atomic<int64_t> mLastErrorReconnectNs{0};
    // UDP threads started whose socket is not bound yet: startThread waits for them, so the
    // ports are open before SETUP offers them and the camera's first packets are not refused.
    std::mutex mOpeningMutex;
    std::condition_variable mOpeningCv;
    int mSocketsOpening = 0;          // guarded by mOpeningMutex
    mutable std::mutex mStatusMutex;  // guards mConnectStatus
    RtspConnectStatus mConnectStatus;
    RtspClientOptions mOptions;  // guarded by mLifecycleMutex
};

#endif

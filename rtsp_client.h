#ifndef QUORVANE_RTSP_CLIENT_H
#define QUORVANE_RTSP_CLIENT_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/buffer.h"
#include "quorvane_export.h"
#include "rtsp_client_events.h"
#include "rtsp_client_options.h"
#include "rtsp_frame.h"
#include "units/unit_rtsp_client.h"

class RtspClientUnitEM;
class RtpVideoUnpackExUnitSM;
class CallBackEndpointUnitSE;

// One camera: RTSP session, RTP reception, depacketizing, and the application's data callback.
// Each callback carries one piece of Annex-B data (every NAL unit preceded by 00 00 00 01): for
// H.264 a parameter set, an SEI or all slices of one picture; for H.265 one NAL unit. The pointer
// is valid only during the call, which runs on the library's receive thread.
//
// enable(), disable() and destruction are called from one application thread. Once disable()
// has returned no callback runs and none follows: disable() waits for a callback in progress.
// setDataCallback may be called at any time.
//
// disable() and enable() may also be called from inside the data callback (or the state
// callback). Inside the data callback they take effect at once for delivery: after disable() no
// further callback follows, after enable() delivery goes on. The session work they imply (the
// TEARDOWN, a new session) runs right after the callback has returned: over UDP on the same
// receive thread, over TCP on the receiver's watchdog thread. Destroying the client afterwards
// still sends the TEARDOWN that such a disable() owes. A disabled client never reconnects by
// itself; the camera sees one TEARDOWN per disable().
class QUORVANE_EXPORT RtspClient {
public:
    RtspClient(std::string url, std::string user, std::string password, bool tcp);
    // The same with behaviour switches, for example RtspClientOptions::mixedFleet().
    RtspClient(std::string url, std::string user, std::string password, bool tcp,
               const RtspClientOptions& options);
    ~RtspClient();
    RtspClient(const RtspClient&) = delete;
    RtspClient& operator=(const RtspClient&) = delete;

    void setDataCallback(std::function<void(unsigned char*, unsigned long)> callback);
    // Where the session stands: Connecting, Playing, Reconnecting, Stopped, Failed (with a
    // reason). Called on the application's thread (inside enable() and disable()) or on a receive
    // thread, one event at a time and never with a lock of the receiver held; the same rules as for
    // the data callback apply. May be called at any time.
    void setStateCallback(std::function<void(const RtspStateEvent&)> callback);
    void enable();
    void disable();
    unsigned long onTransmitIn(unsigned char* data, unsigned long len, int inputIndex, int param);

    // Whole frames: one call per access unit (a picture with the parameter sets, SEI and
    // delimiters in front of it), with its timestamps and flags; see RtspFrame. Beside the data
    // callback, either or both may be set; the same thread rules apply, and the frame's bytes are
    // valid only during the call. May be called at any time; a frame already being gathered when
    // a callback is set where none was is not handed over (its first bytes were not kept).
    void setFrameCallback(std::function<void(const RtspFrame&)> callback);
    // What the stream is (codec, size, profile, level, frame rate); a copy, safe from any thread.
    RtspStreamInfo streamInfo() const;
    // Packet, frame and session counts; a copy, safe from any thread.
    RtspStatistics statistics() const;
    // Connection attempts and how the latest one ended; safe from any thread.
    RtspConnectStatus connectStatus() const;

    RtspClientUnitEM* mRtspUnit = nullptr;
    RtpVideoUnpackExUnitSM* mVideoUnit = nullptr;
    CallBackEndpointUnitSE* mCallbackUnit = nullptr;
    std::function<void(unsigned char*, unsigned long)> mDataCallback;

private:
    // Held while the callback runs and while disable() closes the gate, so a callback that had
    // already passed the disabled units' checks cannot run after disable() returned.
    std::mutex mCallbackMutex;
    bool mStopped = false;   // set by disable(), cleared by enable(); guarded by mCallbackMutex
    std::mutex mStateMutex;  // held while the state callback runs and while it is replaced
    std::function<void(const RtspStateEvent&)> mStateCallback;

    // Frame assembly, stream info and statistics (rtsp_client.cpp).
    struct FrameView;
    std::unique_ptr<FrameView> mFrameView;
    unsigned long onBuffer(const std::shared_ptr<QelBuffer>& buffer, unsigned long len);
    void flushFrames();
};

#endif

#ifndef QUORVANE_RTSP_CLIENT_H
#define QUORVANE_RTSP_CLIENT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/buffer.h"
#include "quorvane_export.h"
#include "rtsp_audio_frame.h"
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
//
// Calls from inside a callback. Inside the data, frame and state callbacks the application may
// call enable(), disable(), setDataCallback(), setFrameCallback() and setStateCallback() of the
// same client, over UDP and TCP alike; nothing deadlocks and no frame is handed over twice:
// - disable() takes effect at once for delivery: no data or frame callback follows it, and of
//   the state events only its Stopped. enable() lets delivery go on at once. The later of the
//   two calls wins, also when a callback run by disable() itself (the last frame it hands over,
//   or its Stopped event) calls enable().
// - The session work they imply (the TEARDOWN, a new session) runs right after the callback has
//   returned: over UDP on the same receive thread, over TCP on the receiver's watchdog thread.
//   Destroying the client afterwards still sends the TEARDOWN that such a disable() owes. A
//   disabled client never reconnects by itself; the camera sees one TEARDOWN per disable().
// - A setter replaces the callback for every later call; the call in progress (possibly the
//   callback that replaced itself) runs to its end.
// - State events are handed over one at a time and in order. An event raised while a state
//   callback runs (for example the Stopped of a disable() called there) follows once it has
//   returned, on the thread that runs it.
// Destroying the client inside one of its callbacks is not allowed.
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
    // thread, one event at a time and never with a lock held; the same rules as for the data
    // callback apply. May be called at any time.
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
    // The camera's sound (RtspClientOptions::receiveAudio): one call per AAC access unit, Opus
    // packet or packet of G.711 / G.726 samples; see RtspAudioFrame. The same rules as for the data
    // and frame callbacks: it runs on a receive thread (over UDP the audio track's own), never at
    // the same time as they do, its bytes are valid only during the call, enable() and disable()
    // may be called from inside it, and once disable() has returned it is not called. May be set at
    // any time.
    void setAudioCallback(std::function<void(const RtspAudioFrame&)> callback);
    // What the audio track is; all zero while none is set up. A copy, safe from any thread.
    RtspAudioStreamInfo audioStreamInfo() const;
    // Audio packet and frame counts and the audio-video offset; a copy, safe from any thread.
    RtspAudioStatistics audioStatistics() const;
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
    // Held while the data and frame callbacks run and while disable() closes the gate, so a
    // callback that had already passed the disabled units' checks cannot run after disable()
    // returned. A thread inside those callbacks (see InCallback) does not take it again.
    std::mutex mCallbackMutex;
    bool mStopped = false;  // set by disable(), cleared by enable(); guarded by mCallbackMutex
    // Bumped by every replacement of a callback, so a call in progress knows whether the
    // function it runs is still the one to keep; guarded by mCallbackMutex.
    uint64_t mDataCallbackGeneration = 0;
    uint64_t mFrameCallbackGeneration = 0;
    // enable() and disable() called inside a data or frame callback leave the source unit to the
    // thread's way out of the callback lock: 0 none, 1 enable, 2 disable.
    std::atomic<int> mPendingSourceCall{0};
    // Counts enable() and disable() calls; a disable() whose callbacks called enable() stops
    // there.
    std::atomic<uint64_t> mCalls{0};

    // State events are queued and handed over by one thread at a time, with no lock held.
    struct StateDelivery;
    std::unique_ptr<StateDelivery> mStates;
    void onStateEvent(const RtspStateEvent& event);

    // Frame assembly, stream info and statistics (rtsp_client.cpp).
    struct FrameView;
    std::unique_ptr<FrameView> mFrameView;
    unsigned long onBuffer(const std::shared_ptr<QelBuffer>& buffer, unsigned long len);
    void deliverData(unsigned char* data, unsigned long len);
    void onAudioPacket(const unsigned char* rtp, unsigned long len, int64_t arrivalNs);
    void flushFrames();
    void runPendingSourceCall();
};

#endif

#ifndef QUORVANE_RTSP_CLIENT_H
#define QUORVANE_RTSP_CLIENT_H

#include <functional>
#include <mutex>
#include <string>

#include "quorvane_export.h"
#include "rtsp_client_options.h"

class RtspClientUnitEM;
class RtpVideoUnpackExUnitSM;
class CallBackEndpointUnitSE;

// One camera: RTSP session, RTP reception, depacketizing, and the application's data callback.
// Each callback carries one piece of Annex-B data (every NAL unit preceded by 00 00 00 01): for
// H.264 a parameter set, an SEI or all slices of one picture; for H.265 one NAL unit. The pointer
// is valid only during the call, which runs on the library's receive thread.
//
// enable(), disable() and destruction are called from one application thread. Once disable()
// has returned no callback runs and none follows: disable() waits for a callback in progress, so
// it must not be called from inside the callback. setDataCallback may be called at any time.
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
    void enable();
    void disable();
    unsigned long onTransmitIn(unsigned char* data, unsigned long len, int inputIndex, int param);

    RtspClientUnitEM* mRtspUnit = nullptr;
    RtpVideoUnpackExUnitSM* mVideoUnit = nullptr;
    CallBackEndpointUnitSE* mCallbackUnit = nullptr;
    std::function<void(unsigned char*, unsigned long)> mDataCallback;

private:
    // Held while the callback runs and while disable() closes the gate, so a callback that had
    // already passed the disabled units' checks cannot run after disable() returned.
    std::mutex mCallbackMutex;
    bool mStopped = false;  // set by disable(), cleared by enable(); guarded by mCallbackMutex
};

#endif

#include "rtsp_client.h"

#include "units/unit_callback_endpoint.h"
#include "units/unit_rtp_video_unpack_ex.h"
#include "units/unit_rtsp_client.h"

namespace {
// The client whose data callback runs on this thread, if any: its enable() and disable() must
// not wait for the callback lock that this thread already holds.
thread_local const RtspClient* tInCallback = nullptr;
}  // namespace

RtspClient::RtspClient(std::string url, std::string user, std::string password, bool tcp)
    : RtspClient(std::move(url), std::move(user), std::move(password), tcp, RtspClientOptions()) {}

RtspClient::RtspClient(std::string url, std::string user, std::string password, bool tcp,
                       const RtspClientOptions& options) {
    mRtspUnit = new RtspClientUnitEM(url, user, password, tcp);
    mVideoUnit = new RtpVideoUnpackExUnitSM();
    mCallbackUnit = new CallBackEndpointUnitSE();
    mRtspUnit->setOptions(options);
    mVideoUnit->setOptions(options);
    RtpVideoUnpackExUnitSM* video = mVideoUnit;
    mRtspUnit->mSessionCallback = [video](const RtspSessionInfo& session) { video->newSession(session); };
    mRtspUnit->mSessionEndCallback = [video] { video->flush(); };
    mRtspUnit->mStateCallback = [this](const RtspStateEvent& event) {
        std::lock_guard<std::mutex> lock(mStateMutex);
        if (mStateCallback) mStateCallback(event);
    };
    using namespace std::placeholders;
    mCallbackUnit->callback = std::bind(&RtspClient::onTransmitIn, this, _1, _2, _3, _4);
    static_cast<MasterOutput*>(mRtspUnit)->addOutputUnit(mVideoUnit, true);
    // Through the virtual slot: the depacketizer links the endpoint behind its H.264 and H.265 units.
    static_cast<MasterOutput*>(mVideoUnit)->addOutputUnit(mCallbackUnit, true);
}

RtspClient::~RtspClient() {
    // The source goes first: its destructor joins the receive threads before anything they
    // push data into is deleted. No TEARDOWN here; call disable() first for one.
    delete mRtspUnit;
    mRtspUnit = nullptr;
    delete mVideoUnit;
    mVideoUnit = nullptr;
    delete mCallbackUnit;
    mCallbackUnit = nullptr;
}

void RtspClient::setDataCallback(std::function<void(unsigned char*, unsigned long)> callback) {
    std::lock_guard<std::mutex> lock(mCallbackMutex);
    mDataCallback = std::move(callback);
}

void RtspClient::setStateCallback(std::function<void(const RtspStateEvent&)> callback) {
    std::lock_guard<std::mutex> lock(mStateMutex);
    mStateCallback = std::move(callback);
}

void RtspClient::enable() {
    if (tInCallback == this) {
        mStopped = false;  // this thread holds mCallbackMutex already
    } else {
        std::lock_guard<std::mutex> lock(mCallbackMutex);
        mStopped = false;
    }
    mCallbackUnit->enable();
    mVideoUnit->enable();
    mRtspUnit->enable();
}

void RtspClient::disable() {
    mRtspUnit->disable();
    mVideoUnit->disable();
    mCallbackUnit->disable();
    // The units skip a disabled next unit, but the receive thread may have passed those checks
    // just before they were cleared. Closing the gate under the callback's lock waits for such a
    // delivery to end and turns away any that is still on its way. Not taken around the unit
    // calls above: over TCP the source's TEARDOWN waits for the receive thread, which may be
    // about to deliver. Inside the callback this thread holds the lock already.
    if (tInCallback == this) {
        mStopped = true;
        return;
    }
    std::lock_guard<std::mutex> lock(mCallbackMutex);
    mStopped = true;
}

unsigned long RtspClient::onTransmitIn(unsigned char* data, unsigned long len, int /*inputIndex*/,
                                       int /*param*/) {
    std::lock_guard<std::mutex> lock(mCallbackMutex);
    if (mStopped || !mDataCallback) return len;
    const RtspClient* outer = tInCallback;
    tInCallback = this;
    mDataCallback(data, len);
    tInCallback = outer;
    return len;
}

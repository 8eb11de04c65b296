#include "rtsp_client.h"

#include <atomic>

#include "units/frame_assembler.h"
#include "units/unit_callback_endpoint.h"
#include "units/unit_rtp_video_unpack_ex.h"
#include "units/unit_rtsp_client.h"
#include "utils/rtp_statistics.h"
#include "utils/rtsp_stream_info.h"
#include "utils/utils.h"

// What the application sees beyond the bytes: frames, stream info and statistics.
struct RtspClient::FrameView {
    FrameView()
        : assembler([this](const RtspFrame& frame) {
              stats.onFrame(frame.arrivalNs);
              info.onFrame(frame.codec, frame.hasRtpTimestamp, frame.rtpTimestamp, frame.arrivalNs);
              // A frame whose bytes were not all kept (the callback came mid-frame) is not handed over.
              if (callback && frame.data != nullptr) callback(frame);
          }) {
        // Until a frame callback wants them, frames are only described: no copy of the video.
        assembler.setKeepBytes(false);
    }

    // A new session (also a reconnect), before PLAY: its clock rate and SDP parameter sets.
    void newSession(const RtspSessionInfo& session) {
        uint32_t rate = session.clockRate == 0 ? 90000 : session.clockRate;
        clockRate.store(rate);
        sessionNumber.fetch_add(1);
        stats.newSession();
        stats.setClockRate(rate);
        info.setClockRate(rate);
        RtspVideoCodec codec = StreamInfoTracker::codecFromEncoding(session.encoding);
        for (const std::vector<uint8_t>& nal : session.parameterSets)
            info.onNalUnit(codec, nal.data(), nal.size());
    }

    std::function<void(const RtspFrame&)> callback;  // guarded by the client's mCallbackMutex
    FrameAssembler assembler;                        // guarded by the client's mCallbackMutex
    StreamInfoTracker info;
    RtpStatistics stats;
    std::atomic<uint32_t> clockRate{90000};
    std::atomic<uint32_t> sessionNumber{0};  // RtspFrame::session of the current session
    std::atomic<bool> enabled{false};
};

namespace {
// The client whose data callback runs on this thread, if any: its enable() and disable() must
// not wait for the callback lock that this thread already holds.
thread_local const RtspClient* tInCallback = nullptr;

// Marks the thread as inside `client`'s callbacks for its lifetime.
class InCallback {
public:
    explicit InCallback(const RtspClient* client) : mOuter(tInCallback) { tInCallback = client; }
    ~InCallback() { tInCallback = mOuter; }

private:
    const RtspClient* mOuter;
};
}  // namespace

RtspClient::RtspClient(std::string url, std::string user, std::string password, bool tcp)
    : RtspClient(std::move(url), std::move(user), std::move(password), tcp, RtspClientOptions()) {}

RtspClient::RtspClient(std::string url, std::string user, std::string password, bool tcp,
                       const RtspClientOptions& options)
    : mFrameView(new FrameView()) {
    mRtspUnit = new RtspClientUnitEM(url, user, password, tcp);
    mVideoUnit = new RtpVideoUnpackExUnitSM();
    mCallbackUnit = new CallBackEndpointUnitSE();
    mRtspUnit->setOptions(options);
    mVideoUnit->setOptions(options);
    RtpVideoUnpackExUnitSM* video = mVideoUnit;
    FrameView* view = mFrameView.get();
    mRtspUnit->mSessionCallback = [video, view](const RtspSessionInfo& session) {
        video->newSession(session);
        view->newSession(session);
    };
    mRtspUnit->mSessionEndCallback = [video, this] {
        video->flush();
        flushFrames();
    };
    mRtspUnit->mRtpPacketObserver = [view](const unsigned char* rtp, unsigned long len, int64_t arrivalNs) {
        view->stats.onPacket(rtp, len, arrivalNs);
    };
    mRtspUnit->mStateCallback = [this](const RtspStateEvent& event) {
        std::lock_guard<std::mutex> lock(mStateMutex);
        if (mStateCallback) mStateCallback(event);
    };
    using namespace std::placeholders;
    mCallbackUnit->callback = std::bind(&RtspClient::onTransmitIn, this, _1, _2, _3, _4);
    mCallbackUnit->bufferCallback = [this](const std::shared_ptr<QelBuffer>& buffer, unsigned long len, int,
                                           int) { return onBuffer(buffer, len); };
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
    mFrameView->enabled.store(true);
    mCallbackUnit->enable();
    mVideoUnit->enable();
    mRtspUnit->enable();
}

void RtspClient::disable() {
    mRtspUnit->disable();
    mVideoUnit->disable();
    // The picture still gathered is whole once its session ended.
    flushFrames();
    mCallbackUnit->disable();
    // The units skip a disabled next unit, but the receive thread may have passed those checks
    // just before they were cleared. Closing the gate under the callback's lock waits for such a
    // delivery to end and turns away any that is still on its way. Not taken around the unit
    // calls above: over TCP the source's TEARDOWN waits for the receive thread, which may be
    // about to deliver. Inside the callback this thread holds the lock already.
    mFrameView->enabled.store(false);
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
    InCallback inside(this);
    mDataCallback(data, len);
    return len;
}

void RtspClient::setFrameCallback(std::function<void(const RtspFrame&)> callback) {
    std::lock_guard<std::mutex> lock(mCallbackMutex);
    // Without a frame callback only the frames' descriptions are kept, for the statistics.
    mFrameView->assembler.setKeepBytes(callback != nullptr);
    mFrameView->callback = std::move(callback);
}

unsigned long RtspClient::onBuffer(const std::shared_ptr<QelBuffer>& buffer, unsigned long len) {
    unsigned char* data = buffer ? static_cast<unsigned char*>(buffer->getVaddr()) : nullptr;
    std::lock_guard<std::mutex> lock(mCallbackMutex);
    if (mStopped) return len;
    InCallback inside(this);
    if (mDataCallback) mDataCallback(data, len);
    if (data == nullptr || len > buffer->length) return len;
    RtspVideoCodec codec = mVideoUnit->mIsH265.load()   ? RtspVideoCodec::H265
                           : mVideoUnit->mIsH264.load() ? RtspVideoCodec::H264
                                                        : RtspVideoCodec::Unknown;
    FrameView& view = *mFrameView;
    view.info.onPiece(codec, data, len);
    view.assembler.setSession(view.sessionNumber.load());
    view.assembler.setClockRate(view.clockRate.load());
    view.assembler.setSenderClock(mRtspUnit->senderClock());
    view.assembler.push(codec, data, len, buffer->info, Utils::getBeginTimestamp());
    return len;
}

void RtspClient::flushFrames() {
    // Inside a callback (disable() called there) this thread holds the lock already.
    std::unique_lock<std::mutex> lock(mCallbackMutex, std::defer_lock);
    if (tInCallback != this) lock.lock();
    InCallback inside(this);
    if (!mStopped) mFrameView->assembler.flush();
}

RtspStreamInfo RtspClient::streamInfo() const {
    RtspStreamInfo info = mFrameView->info.snapshot();
    if (info.codec == RtspVideoCodec::Unknown) {
        if (mVideoUnit->mIsH264.load()) info.codec = RtspVideoCodec::H264;
        if (mVideoUnit->mIsH265.load()) info.codec = RtspVideoCodec::H265;
    }
    return info;
}

RtspConnectStatus RtspClient::connectStatus() const {
    return mRtspUnit->connectStatus();
}

RtspStatistics RtspClient::statistics() const {
    RtspStatistics s = mFrameView->stats.snapshot(Utils::getBeginTimestamp());
    s.framesIncomplete = mVideoUnit->framesDroppedIncomplete();
    RtspConnectStatus c = mRtspUnit->connectStatus();
    // Once per outage: an attempt that failed while the camera was away is no reconnect.
    s.reconnects = c.connections > 1 ? c.connections - 1 : 0;
    if (!mFrameView->enabled.load())
        s.state = RtspClientState::Stopped;
    else if (c.attempts == 0)
        s.state = RtspClientState::Connecting;
    else if (c.connected)
        s.state = RtspClientState::Playing;
    else
        s.state = c.connections > 0 ? RtspClientState::Reconnecting : RtspClientState::Failed;
    return s;
}

#include "rtsp_client.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <utility>

#include "units/audio_depacketizer.h"
#include "units/frame_assembler.h"
#include "units/unit_callback_endpoint.h"
#include "units/unit_rtp_video_unpack_ex.h"
#include "units/unit_rtsp_client.h"
#include "utils/rtp_statistics.h"
#include "utils/rtsp_stream_info.h"
#include "utils/slog.h"
#include "utils/utils.h"

// Runs the callback held in `slot` and keeps it there afterwards unless it was replaced meanwhile
// (`generation` bumped), also by itself: the function that runs is never the one destroyed.
template <typename Function, typename... Args>
void callAndKeep(Function& slot, const uint64_t& generation, Args&&... args) {
    Function running = std::move(slot);
    slot = nullptr;
    const uint64_t before = generation;
    running(std::forward<Args>(args)...);
    if (generation == before) slot = std::move(running);
}

// What the application sees beyond the bytes: frames, stream info and statistics.
struct RtspClient::FrameView {
    explicit FrameView(RtspClient* client)
        : assembler([this, client](const RtspFrame& frame) {
              stats.onFrame(frame.arrivalNs);
              if (frame.presentationFromSenderReport)
                  videoDelayNs.store(frame.arrivalNs - frame.presentationNs);
              info.onFrame(frame.codec, frame.hasRtpTimestamp, frame.rtpTimestamp, frame.arrivalNs);
              // A frame whose bytes were not all kept (the callback came mid-frame) is not handed
              // over, nor one that follows a disable() called by the callback of the frame before.
              if (!callback || frame.data == nullptr || client->mStopped) return;
              callAndKeep(callback, client->mFrameCallbackGeneration, frame);
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
        // The offset is measured afresh: each session has its own sender reports.
        videoDelayNs.store(kUnknownDelay);
        audioDelayNs.store(kUnknownDelay);
        audioStats.newSession();
    }

    // The session's audio track; with the client's mCallbackMutex held.
    void newAudioSession(const RtspSessionInfo& session) {
        std::string why;
        audioDropped += audio.framesDropped();
        audio = AudioDepacketizer();
        const bool read = session.audioSetUp && audio.configure(session.audioTrack, &why);
        if (session.audioSetUp && !read) SLOGW("audio track not read (%s), video only\n", why.c_str());
        if (read) audioStats.setClockRate(audio.info().clockRate);
        std::lock_guard<std::mutex> lock(audioMutex);
        audioInfo = read ? audio.info() : RtspAudioStreamInfo();
    }

    static constexpr int64_t kUnknownDelay = INT64_MIN;

    std::function<void(const RtspFrame&)> callback;  // guarded by the client's mCallbackMutex
    FrameAssembler assembler;                        // guarded by the client's mCallbackMutex
    StreamInfoTracker info;
    RtpStatistics stats;
    std::atomic<uint32_t> clockRate{90000};
    std::atomic<uint32_t> sessionNumber{0};  // RtspFrame::session of the current session
    // Cleared first thing by disable(), set first thing by enable(): statistics() and the state
    // events read it.
    std::atomic<bool> enabled{false};

    // The audio track. Callback, depacketizer and counts guarded by the client's mCallbackMutex;
    // audioMutex, taken briefly, guards audioInfo for the readers.
    std::function<void(const RtspAudioFrame&)> audioCallback;
    uint64_t audioCallbackGeneration = 0;
    AudioDepacketizer audio;
    uint64_t audioDropped = 0;  // by the depacketizers of earlier sessions
    std::atomic<uint64_t> audioDroppedNow{0};
    mutable std::mutex audioMutex;
    RtspAudioStreamInfo audioInfo;
    RtpStatistics audioStats;
    std::atomic<uint64_t> audioFrames{0};
    // Arrival (steady clock) less presentation (the camera's clock) of the latest frame of each
    // track timed by a sender report; their difference is the audio-video offset.
    std::atomic<int64_t> videoDelayNs{kUnknownDelay};
    std::atomic<int64_t> audioDelayNs{kUnknownDelay};
};

// State events in the order they were raised; the thread that finds nobody delivering hands them
// over, one at a time, with no lock held while the application's callback runs.
struct RtspClient::StateDelivery {
    // Far more than one session raises; reached only by a callback that does not return.
    static constexpr size_t kMaxQueued = 64;
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<RtspStateEvent> queue;
    std::function<void(const RtspStateEvent&)> callback;
    uint64_t generation = 0;
    bool delivering = false;
};

namespace {
// The callbacks of which clients run on this thread, innermost first. A data or frame callback
// holds its client's callback lock, so its enable(), disable() and setters must not take it again;
// a state callback must not wait for the state delivery that runs it.
enum class CallbackKind { DataOrFrame, State };
struct CallbackScope {
    const RtspClient* client;
    CallbackKind kind;
    const CallbackScope* outer;
};
thread_local const CallbackScope* tCallbacks = nullptr;

bool inside(const RtspClient* client, CallbackKind kind) {
    for (const CallbackScope* s = tCallbacks; s != nullptr; s = s->outer)
        if (s->client == client && s->kind == kind) return true;
    return false;
}

// Marks the thread as inside `client`'s callbacks of `kind` for its lifetime.
class InCallback {
public:
    InCallback(const RtspClient* client, CallbackKind kind) : mScope{client, kind, tCallbacks} {
        tCallbacks = &mScope;
    }
    ~InCallback() { tCallbacks = mScope.outer; }
    InCallback(const InCallback&) = delete;
    InCallback& operator=(const InCallback&) = delete;

private:
    CallbackScope mScope;
};

// The callback lock, unless this thread holds it already (inside a data or frame callback).
std::unique_lock<std::mutex> callbackLock(std::mutex& mutex, const RtspClient* client) {
    if (inside(client, CallbackKind::DataOrFrame))
        return std::unique_lock<std::mutex>(mutex, std::defer_lock);
    return std::unique_lock<std::mutex>(mutex);
}

// What enable() and disable() called inside a data or frame callback leave to the way out.
constexpr int kNoSourceCall = 0;
constexpr int kEnableSource = 1;
constexpr int kDisableSource = 2;
}  // namespace

RtspClient::RtspClient(std::string url, std::string user, std::string password, bool tcp)
    : RtspClient(std::move(url), std::move(user), std::move(password), tcp, RtspClientOptions()) {}

RtspClient::RtspClient(std::string url, std::string user, std::string password, bool tcp,
                       const RtspClientOptions& options)
    : mStates(new StateDelivery()), mFrameView(new FrameView(this)) {
    mRtspUnit = new RtspClientUnitEM(url, user, password, tcp);
    mVideoUnit = new RtpVideoUnpackExUnitSM();
    mCallbackUnit = new CallBackEndpointUnitSE();
    mRtspUnit->setOptions(options);
    mVideoUnit->setOptions(options);
    RtpVideoUnpackExUnitSM* video = mVideoUnit;
    FrameView* view = mFrameView.get();
    mRtspUnit->mSessionCallback = [video, view, this](const RtspSessionInfo& session) {
        video->newSession(session);
        view->newSession(session);
        std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
        view->newAudioSession(session);
    };
    mRtspUnit->mSessionEndCallback = [video, this] {
        video->flush();
        flushFrames();
    };
    mRtspUnit->mRtpPacketObserver = [view](const unsigned char* rtp, unsigned long len, int64_t arrivalNs) {
        view->stats.onPacket(rtp, len, arrivalNs);
    };
    mRtspUnit->mAudioPacketObserver = [this](const unsigned char* rtp, unsigned long len, int64_t arrivalNs) {
        onAudioPacket(rtp, len, arrivalNs);
    };
    mRtspUnit->mStateCallback = [this](const RtspStateEvent& event) { onStateEvent(event); };
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
    std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
    ++mDataCallbackGeneration;
    mDataCallback.swap(callback);  // the previous one is destroyed on the way out
}

void RtspClient::setStateCallback(std::function<void(const RtspStateEvent&)> callback) {
    std::lock_guard<std::mutex> lock(mStates->mutex);
    ++mStates->generation;
    mStates->callback.swap(callback);
}

void RtspClient::setFrameCallback(std::function<void(const RtspFrame&)> callback) {
    std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
    // Without a frame callback only the frames' descriptions are kept, for the statistics.
    mFrameView->assembler.setKeepBytes(callback != nullptr);
    ++mFrameCallbackGeneration;
    mFrameView->callback.swap(callback);
}

void RtspClient::onStateEvent(const RtspStateEvent& event) {
    StateDelivery& s = *mStates;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.queue.size() >= StateDelivery::kMaxQueued) s.queue.pop_front();
    s.queue.push_back(event);
    // The thread delivering (this one, when the event comes from inside its callback) hands it over.
    if (s.delivering) return;
    s.delivering = true;
    while (!s.queue.empty()) {
        const RtspStateEvent next = s.queue.front();
        s.queue.pop_front();
        // After disable() only its Stopped: events raised before it are stale.
        if (!s.callback || (next.state != RtspClientState::Stopped && !mFrameView->enabled.load())) continue;
        std::function<void(const RtspStateEvent&)> running = std::move(s.callback);
        s.callback = nullptr;
        const uint64_t before = s.generation;
        lock.unlock();
        {
            InCallback scope(this, CallbackKind::State);
            running(next);
        }
        lock.lock();
        if (s.generation == before) s.callback = std::move(running);
    }
    s.delivering = false;
    s.idle.notify_all();
}

void RtspClient::enable() {
    const bool inCallback = inside(this, CallbackKind::DataOrFrame);
    ++mCalls;
    {
        std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
        // Pieces gathered after a disable() inside a callback belong to no frame.
        if (mStopped) mFrameView->assembler.clear();
        mStopped = false;
    }
    mFrameView->enabled.store(true);
    mCallbackUnit->enable();
    mVideoUnit->enable();
    if (inCallback) {
        mPendingSourceCall.store(kEnableSource);  // on the way out of the callback lock
        return;
    }
    mRtspUnit->enable();
}

void RtspClient::disable() {
    const uint64_t call = ++mCalls;
    mFrameView->enabled.store(false);
    if (inside(this, CallbackKind::DataOrFrame)) {
        // This thread holds the callback lock: the gate closes now, the source and the
        // depacketizer (whose lock a receive thread may hold while it waits for ours) are
        // disabled on the way out of it.
        flushFrames();
        mCallbackUnit->disable();
        mStopped = true;
        mPendingSourceCall.store(kDisableSource);
        return;
    }
    mRtspUnit->disable();
    // A callback run by the teardown (the last frame, the Stopped event) may have enabled again:
    // the later call wins.
    if (mCalls.load() != call) return;
    mVideoUnit->disable();
    // The picture still gathered is whole once its session ended.
    flushFrames();
    if (mCalls.load() != call) return;
    mCallbackUnit->disable();
    // The units skip a disabled next unit, but the receive thread may have passed those checks
    // just before they were cleared. Closing the gate under the callback's lock waits for such a
    // delivery to end and turns away any that is still on its way. Not taken around the unit
    // calls above: over TCP the source's TEARDOWN waits for the receive thread, which may be
    // about to deliver.
    {
        std::lock_guard<std::mutex> lock(mCallbackMutex);
        if (mCalls.load() == call) mStopped = true;
    }
    // A state callback in progress on another thread ends before disable() returns; not when
    // this thread runs one (it would wait for itself).
    if (!inside(this, CallbackKind::State)) {
        std::unique_lock<std::mutex> lock(mStates->mutex);
        mStates->idle.wait(lock, [this] { return !mStates->delivering; });
    }
}

void RtspClient::runPendingSourceCall() {
    switch (mPendingSourceCall.exchange(kNoSourceCall)) {
        case kEnableSource:
            mRtspUnit->enable();
            break;
        case kDisableSource:
            mRtspUnit->disable();
            mVideoUnit->disable();
            break;
        default:
            break;
    }
}

void RtspClient::deliverData(unsigned char* data, unsigned long len) {
    if (mDataCallback) callAndKeep(mDataCallback, mDataCallbackGeneration, data, len);
}

unsigned long RtspClient::onTransmitIn(unsigned char* data, unsigned long len, int /*inputIndex*/,
                                       int /*param*/) {
    const bool outer = !inside(this, CallbackKind::DataOrFrame);
    {
        std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
        if (!mStopped) {
            InCallback scope(this, CallbackKind::DataOrFrame);
            deliverData(data, len);
        }
    }
    if (outer) runPendingSourceCall();
    return len;
}

void RtspClient::setAudioCallback(std::function<void(const RtspAudioFrame&)> callback) {
    std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
    ++mFrameView->audioCallbackGeneration;
    mFrameView->audioCallback = std::move(callback);
}

void RtspClient::onAudioPacket(const unsigned char* rtp, unsigned long len, int64_t arrivalNs) {
    FrameView& view = *mFrameView;
    view.audioStats.onPacket(rtp, len, arrivalNs);
    const bool outer = !inside(this, CallbackKind::DataOrFrame);
    {
        std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
        InCallback scope(this, CallbackKind::DataOrFrame);
        if (!mStopped) {
            view.audio.setSenderClock(mRtspUnit->audioSenderClock());
            view.audio.push(rtp, len, arrivalNs, [&](const RtspAudioFrame& frame) {
                ++view.audioFrames;
                if (frame.presentationFromSenderReport)
                    view.audioDelayNs.store(frame.arrivalNs - frame.presentationNs);
                {
                    // A configuration that came in band completes the stream info.
                    std::lock_guard<std::mutex> info(view.audioMutex);
                    if (view.audioInfo.configSize != frame.configSize) view.audioInfo = view.audio.info();
                }
                // Not after a disable() called by the callback of the frame before.
                if (!mStopped && view.audioCallback)
                    callAndKeep(view.audioCallback, view.audioCallbackGeneration, frame);
            });
            view.audioDroppedNow.store(view.audioDropped + view.audio.framesDropped());
        }
    }
    if (outer) runPendingSourceCall();
}

RtspAudioStreamInfo RtspClient::audioStreamInfo() const {
    std::lock_guard<std::mutex> lock(mFrameView->audioMutex);
    return mFrameView->audioInfo;
}

RtspAudioStatistics RtspClient::audioStatistics() const {
    const FrameView& view = *mFrameView;
    const RtspStatistics packets = view.audioStats.snapshot(Utils::getBeginTimestamp());
    RtspAudioStatistics s;
    s.packetsReceived = packets.packetsReceived;
    s.bytesReceived = packets.bytesReceived;
    s.packetsLost = packets.packetsLost;
    s.jitterMs = packets.jitterMs;
    s.framesDelivered = view.audioFrames.load();
    s.framesDropped = view.audioDroppedNow.load();
    const int64_t audio = view.audioDelayNs.load(), video = view.videoDelayNs.load();
    s.avOffsetKnown = audio != FrameView::kUnknownDelay && video != FrameView::kUnknownDelay;
    if (s.avOffsetKnown) s.avOffsetMs = static_cast<double>(audio - video) / 1e6;
    return s;
}

unsigned long RtspClient::onBuffer(const std::shared_ptr<QelBuffer>& buffer, unsigned long len) {
    unsigned char* data = buffer ? static_cast<unsigned char*>(buffer->getVaddr()) : nullptr;
    const bool outer = !inside(this, CallbackKind::DataOrFrame);
    {
        std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
        InCallback scope(this, CallbackKind::DataOrFrame);
        if (!mStopped) deliverData(data, len);
        // A disable() inside the data callback ends delivery with this piece.
        if (!mStopped && data != nullptr && len <= buffer->length) {
            RtspVideoCodec codec = mVideoUnit->mIsH265.load()   ? RtspVideoCodec::H265
                                   : mVideoUnit->mIsH264.load() ? RtspVideoCodec::H264
                                                                : RtspVideoCodec::Unknown;
            FrameView& view = *mFrameView;
            view.info.onPiece(codec, data, len);
            view.assembler.setSession(view.sessionNumber.load());
            view.assembler.setClockRate(view.clockRate.load());
            view.assembler.setSenderClock(mRtspUnit->senderClock());
            view.assembler.push(codec, data, len, buffer->info, Utils::getBeginTimestamp());
        }
    }
    if (outer) runPendingSourceCall();
    return len;
}

void RtspClient::flushFrames() {
    const bool outer = !inside(this, CallbackKind::DataOrFrame);
    {
        std::unique_lock<std::mutex> lock = callbackLock(mCallbackMutex, this);
        InCallback scope(this, CallbackKind::DataOrFrame);
        if (!mStopped) mFrameView->assembler.flush();
    }
    if (outer) runPendingSourceCall();
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

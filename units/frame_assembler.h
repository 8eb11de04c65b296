#ifndef QUORVANE_UNITS_FRAME_ASSEMBLER_H
#define QUORVANE_UNITS_FRAME_ASSEMBLER_H

#include <cstdint>
#include <functional>
#include <vector>

#include "../platform/buffer.h"
#include "../quorvane_export.h"
#include "../rtsp_frame.h"
#include "unit_rtsp_client.h"

// Groups the depacketizers' Annex-B pieces (one NAL unit, or one H.264 picture, per piece) into
// access units and hands each over as one RtspFrame.
//
// A frame ends at a piece marked FrameMeta::kAccessUnitEnd; without that mark, when a piece with
// another RTP timestamp begins the next one, or at flush(). Pieces without FrameMeta are grouped
// by their NAL unit types instead: an H.264 picture comes whole, an H.265 picture ends where the
// next one's first slice segment or prefix NAL units begin. Parameter sets, SEI and delimiters
// always go with the picture that follows them.
//
// Not thread-safe: the owner calls it from one thread at a time (the packet thread, or the
// thread that ends a session while no packets flow).
class QUORVANE_EXPORT FrameAssembler {
public:
    // Most bytes one frame may gather; beyond it the frame is dropped (counted as incomplete).
    static constexpr size_t kMaxFrameBytes = 32u << 20;

    using Sink = std::function<void(const RtspFrame&)>;
    explicit FrameAssembler(Sink sink) : mSink(std::move(sink)) {}

    // Whether frames carry their bytes; without, only the description is handed over (data is
    // null). Turned on while a frame is gathered, that frame still goes without its bytes: its
    // earlier pieces were not kept.
    void setKeepBytes(bool keep) { mKeepBytes = keep; }
    // The RTP clock rate of the stream (90000 when 0) and the camera's latest sender report,
    // which map RTP timestamps to wall-clock time.
    void setClockRate(uint32_t clockRate) { mClockRate = clockRate == 0 ? 90000 : clockRate; }
    // A report with NTP time 0, or with an NTP time before the one in use, is ignored: the
    // pictures keep the mapping they had. An invalid clock (a new session) drops the mapping.
    void setSenderClock(const RtcpSenderClock& clock);
    // The session the next pieces belong to (RtspFrame::session). A change hands over what is
    // gathered of the previous session's picture first; nothing of it joins the new session's, nor
    // does the previous session's sender clock.
    void setSession(uint32_t session);

    // One piece: start code 00 00 00 01 and a NAL unit (or several for an H.264 picture), with
    // the BufferInfo the depacketizer attached. `arrivalNs` is the steady clock at its arrival.
    void push(RtspVideoCodec codec, const unsigned char* data, unsigned long len, const BufferInfo& info,
              int64_t arrivalNs);
    // Hands over a pending picture (end of a session); pending pieces without a picture are
    // dropped. The sink may call flush() and push() itself: the frame it is handed has left the
    // assembler already.
    void flush();
    // Drops what was gathered without handing it over.
    void clear() { reset(); }

    // Frames dropped because they exceeded kMaxFrameBytes.
    uint64_t oversizedFrames() const { return mOversized; }

    // Maps an RTP timestamp to nanoseconds since 1970 through a sender report (RFC 3550 6.4.1);
    // the report must be valid.
    static int64_t wallClockNs(const RtcpSenderClock& clock, uint64_t rtpTimestamp, uint32_t clockRate);
    // The system-clock time (nanoseconds since 1970) of a moment taken on the steady clock, for
    // media without a sender report: their arrival stands in for the time they were taken.
    static int64_t arrivalWallClockNs(int64_t steadyNs);

private:
    struct NalKind {
        bool vcl = false;
        bool firstSliceOfPicture = false;
        bool prefix = false;  // parameter set, SEI prefix, delimiter: belongs to the next picture
        bool parameterSet = false;
        bool keyframe = false;
    };
    static NalKind classify(RtspVideoCodec codec, const unsigned char* data, unsigned long len);
    void emit();
    void reset();

    Sink mSink;
    bool mKeepBytes = true;
    uint32_t mClockRate = 90000;
    RtcpSenderClock mSenderClock;

    // The frame being gathered.
    std::vector<unsigned char> mBytes;
    RtspVideoCodec mCodec = RtspVideoCodec::Unknown;
    bool mHasPicture = false;
    bool mHasTimestamp = false;
    uint64_t mTimestamp = 0;
    bool mKeyframe = false;
    bool mParameterSets = false;
    bool mComplete = true;
    bool mOverflow = false;
    uint32_t mLost = 0;
    size_t mSize = 0;
    int64_t mArrivalNs = 0;
    uint64_t mOversized = 0;
    uint32_t mSession = 0;
};

#endif

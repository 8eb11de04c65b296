#ifndef QUORVANE_RTSP_FRAME_H
#define QUORVANE_RTSP_FRAME_H

#include <cstdint>

#include "quorvane_export.h"
#include "rtsp_client_events.h"

enum class RtspVideoCodec { Unknown, H264, H265 };

// One access unit as the frame callback hands it over: a picture's NAL units with the parameter
// sets, SEI and delimiters in front of it, each behind the start code 00 00 00 01.
struct QUORVANE_EXPORT RtspFrame {
    RtspVideoCodec codec = RtspVideoCodec::Unknown;
    const unsigned char* data = nullptr;  // valid only during the callback
    unsigned long size = 0;
    // The camera's RTP timestamp, extended to 64 bits across wraps (90 kHz for video); valid when
    // hasRtpTimestamp (the depacketizer gave one). It follows the camera's presentation times,
    // so with B-frames it steps back and forth in the order frames arrive (decode order). Each
    // session (see `session`) starts it afresh from the camera's new random origin.
    uint64_t rtpTimestamp = 0;
    bool hasRtpTimestamp = false;
    // When the picture was taken, in nanoseconds since 1970 (UTC). From the camera's RTCP sender
    // reports (RFC 3550 6.4.1) once one has arrived (presentationFromSenderReport), else the
    // arrival time on the system clock.
    int64_t presentationNs = 0;
    bool presentationFromSenderReport = false;
    int64_t arrivalNs = 0;       // steady (monotonic) clock when the frame was complete
    bool keyframe = false;       // IDR (H.264), IRAP (H.265)
    bool parameterSets = false;  // SPS/PPS (and VPS) are part of `data`
    uint32_t lostBefore = 0;     // RTP packets lost since the previous frame
    bool complete = false;       // every packet of it is known to have arrived
    // The session the frame came in: 1 for the client's first, one more for every session after
    // it (each reconnect, each enable() after disable()). Timestamps of different sessions have unrelated
    // origins; an application that keeps one timeline (a recorder) rebases at each change, and lostBefore
    // never spans one.
    uint32_t session = 0;
};

// What the stream is, from its parameter sets and its pace.
struct QUORVANE_EXPORT RtspStreamInfo {
    RtspVideoCodec codec = RtspVideoCodec::Unknown;
    uint32_t width = 0;  // after cropping; 0 until an SPS was read
    uint32_t height = 0;
    uint32_t profile = 0;  // profile_idc / general_profile_idc
    uint32_t level = 0;    // level_idc / general_level_idc (H.265: 30 x level)
    double fps = 0;        // from the SPS's VUI timing when present, else measured; 0 while unknown
    bool fpsFromSps = false;
};

// How the camera's stream is doing, counted since the client was made.
struct QUORVANE_EXPORT RtspStatistics {
    uint64_t packetsReceived = 0;  // video RTP packets accepted
    uint64_t bytesReceived = 0;    // their size, RTP headers included
    uint64_t packetsLost = 0;      // expected from the sequence numbers but never received
    uint64_t packetsDuplicate = 0;
    uint64_t packetsOutOfOrder = 0;  // arrived after a later one
    uint64_t framesDelivered = 0;
    uint64_t framesIncomplete = 0;  // pictures dropped because packets of them were lost
    uint32_t reconnects = 0;        // sessions started after the first
    double jitterMs = 0;            // interarrival jitter (RFC 3550 A.8)
    double bitRate = 0;             // bits per second over the last seconds
    double frameRate = 0;           // frames per second over the last seconds
    RtspClientState state = RtspClientState::Stopped;
};

#endif

#ifndef QUORVANE_RTSP_AUDIO_FRAME_H
#define QUORVANE_RTSP_AUDIO_FRAME_H

#include <cstdint>

#include "quorvane_export.h"

// The audio codecs the library takes apart. Anything else in the SDP is named in one log line and
// not set up.
enum class RtspAudioCodec {
    Unknown,
    Aac,   // MPEG-4 AAC, from mpeg4-generic (RFC 3640) or MP4A-LATM (RFC 6416)
    Pcmu,  // G.711 mu-law
    Pcma,  // G.711 A-law
    G726,  // G.726 ADPCM, 16-40 kbit/s
    Opus,  // RFC 7587
};

// One piece of the camera's sound as the audio callback hands it over.
struct QUORVANE_EXPORT RtspAudioFrame {
    RtspAudioCodec codec = RtspAudioCodec::Unknown;
    uint32_t sampleRate = 0;  // samples per second per channel
    uint32_t channels = 0;
    // G.726: bits per sample (2 to 5, for 16 to 40 kbit/s); G.711: 8; 0 for the rest.
    uint32_t bitsPerSample = 0;
    // The codec configuration, the same for every frame of a session: AAC the AudioSpecificConfig
    // (ISO 14496-3 1.6.2.1; from the SDP's config=, made from the rate and channels when the
    // camera gives none), Opus an identification header (RFC 7845 5.1, pre-skip 0); empty for
    // G.711 and G.726. Valid only during the callback.
    const unsigned char* config = nullptr;
    unsigned long configSize = 0;
    // AAC: one raw access unit (no ADTS or LATM framing). Opus: one Opus packet. G.711: the
    // packet's samples, one byte each, channels interleaved. G.726: the packet's code words,
    // packed as RFC 3551 4.5.4 says (the first code word in the least significant bits of the
    // first byte) whatever order the camera sent them in. Valid only during the callback.
    const unsigned char* data = nullptr;
    unsigned long size = 0;
    uint32_t samples = 0;  // samples per channel in `data`; 0 when not known
    // The RTP timestamp of the first sample, extended to 64 bits across wraps, in the track's
    // clock (its rtpmap rate: 8000 for G.711, 48000 for Opus, usually the sample rate for AAC).
    uint64_t rtpTimestamp = 0;
    uint32_t clockRate = 0;
    // When the first sample was taken, in nanoseconds since 1970 (UTC), in the same form as
    // RtspFrame::presentationNs: from the audio track's own RTCP sender reports once one has
    // arrived (presentationFromSenderReport), else from the arrival time on the system clock.
    int64_t presentationNs = 0;
    bool presentationFromSenderReport = false;
    int64_t arrivalNs = 0;    // steady (monotonic) clock when its last packet arrived
    uint32_t lostBefore = 0;  // RTP packets of the audio track lost since the previous frame
};

// What the audio track is; all zero while no audio track is set up.
struct QUORVANE_EXPORT RtspAudioStreamInfo {
    RtspAudioCodec codec = RtspAudioCodec::Unknown;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;  // as in RtspAudioFrame
    uint32_t payloadType = 0;
    uint32_t clockRate = 0;
    // The codec configuration as in RtspAudioFrame (empty for AAC over LATM with the
    // configuration in band until it arrived), for a recorder to describe the track up front.
    unsigned char config[64] = {0};
    uint32_t configSize = 0;
};

// How the audio track is doing, counted since the client was made.
struct QUORVANE_EXPORT RtspAudioStatistics {
    uint64_t packetsReceived = 0;  // audio RTP packets accepted
    uint64_t bytesReceived = 0;
    uint64_t packetsLost = 0;
    uint64_t framesDelivered = 0;
    uint64_t framesDropped = 0;  // access units cut short, too large or with a broken header
    double jitterMs = 0;
    // Audio-video offset, once both tracks have had a sender report: how much later an audio
    // sample arrives than a picture taken at the same instant (negative: earlier), from the latest
    // frame of each track. A player holding audio back by this much plays both in step.
    bool avOffsetKnown = false;
    double avOffsetMs = 0;
};

#endif

#ifndef QUORVANE_UTILS_AUDIO_TRACK_H
#define QUORVANE_UTILS_AUDIO_TRACK_H

#include <cstdint>
#include <string>

#include "../quorvane_export.h"
#include "../rtsp_audio_frame.h"

// The first audio section of a DESCRIBE answer, as the audio depacketizer needs it.
struct QUORVANE_EXPORT RtspAudioTrack {
    bool present = false;      // the SDP has an m=audio section
    uint32_t payloadType = 0;  // the first payload type of the m= line that the library reads
    std::string
        encoding;  // rtpmap name (PCMU, mpeg4-generic, ...); for static types 0/8 without one, PCMU/PCMA
    uint32_t clockRate = 0;  // rtpmap clock rate
    uint32_t channels = 0;   // rtpmap channel count; 0 when it gives none
    std::string fmtp;        // a=fmtp parameters of the payload type; "" when none
    std::string control;     // a=control of the section; "" when none
};

// Reads the first m=audio section of an SDP body that is not a back channel (a=sendonly). Of several payload
// types on its m= line the first whose codec the library reads is taken, else the first. Static payload types
// 0 and 8 without an rtpmap are PCMU and PCMA at 8000 Hz (RFC 3551). Lines longer than the SDP parser's limit
// are skipped; bodies are read up to RtspSdpParser::kMaxBodyBytes.
QUORVANE_EXPORT RtspAudioTrack findAudioTrack(const std::string& sdp);

// The codec an rtpmap encoding name stands for (any case): mpeg4-generic and MP4A-LATM are AAC,
// PCMU, PCMA, G726-16/24/32/40 and AAL2-G726-16/24/32/40, opus; Unknown for anything else.
QUORVANE_EXPORT RtspAudioCodec audioCodecOf(const std::string& encoding);

// The value of fmtp parameter `name` (case-insensitive, parameters separated by ';'); false when
// the parameter is absent.
QUORVANE_EXPORT bool fmtpValue(const std::string& fmtp, const char* name, std::string* value);

#endif

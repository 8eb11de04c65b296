#ifndef QUORVANE_UTILS_RTSP_SESSION_INFO_H
#define QUORVANE_UTILS_RTSP_SESSION_INFO_H

#include <cstdint>
#include <string>
#include <vector>

#include "../quorvane_export.h"
#include "audio_track.h"

// What the SETUP answer's Transport header said about the set-up track (RFC 2326 12.39).
struct QUORVANE_EXPORT RtspTransportInfo {
    bool present = false;            // a Transport header was answered
    int rtpChannel = -1;             // interleaved=a-b: a; -1 when not given
    int rtcpChannel = -1;            // interleaved=a-b: b; -1 when not given
    bool hasSsrc = false;            // ssrc= given
    uint32_t ssrc = 0;               // ssrc= (hexadecimal in the header)
    std::string source;              // source= address (an IPv6 one without brackets), empty when not given
    std::string destination;         // destination= address (a multicast answer's group), the same way
    uint16_t serverRtpPort = 0;      // server_port=a-b: a; 0 when not given
    uint16_t serverRtcpPort = 0;     // server_port=a-b: b; 0 when not given
    bool multicast = false;          // the first transport says "multicast"
    uint16_t multicastRtpPort = 0;   // port=a-b (multicast): a; 0 when not given
    uint16_t multicastRtcpPort = 0;  // port=a-b: b; 0 when not given
    int ttl = -1;                    // ttl= (0-255); -1 when not given
};

// What the PLAY answer's RTP-Info header said about the video track (RFC 2326 12.33): where the
// camera's stream starts. Hints only: cameras get them wrong, so the receiver checks them against
// the packets.
struct QUORVANE_EXPORT RtspRtpInfo {
    bool present = false;  // an RTP-Info entry for the video track was answered
    bool hasSeq = false;
    uint16_t seq = 0;  // seq=: sequence number of the first packet after PLAY
    bool hasRtpTime = false;
    uint32_t rtpTime = 0;  // rtptime=
    bool hasSsrc = false;
    uint32_t ssrc = 0;  // ssrc= (hexadecimal or decimal)
};

// What a session learned before PLAY: the server's address, the video track it set up and that
// track's transport. Handed from the session to the receiver and the depacketizer.
struct QUORVANE_EXPORT RtspSessionInfo {
    std::string serverIp;  // numeric address of the RTSP server the session connected to
    // The set-up video track: encoding name as in the SDP (H264, H265, ...; empty when none),
    // RTP payload type and clock rate from its rtpmap.
    std::string encoding;
    uint32_t payloadType = 0;
    uint32_t clockRate = 0;
    // Parameter sets from the SDP's fmtp (sprop-parameter-sets, or sprop-vps/sps/pps), each a bare
    // NAL unit without start code, in the order a decoder wants them (VPS, SPS, PPS).
    std::vector<std::vector<uint8_t>> parameterSets;
    RtspTransportInfo transport;
    // Filled from the PLAY answer; absent (present == false) before it.
    RtspRtpInfo rtpInfo;
    // The audio track (RtspClientOptions::receiveAudio): set up when audioSetUp, with what its
    // SETUP answer's Transport header said.
    bool audioSetUp = false;
    RtspAudioTrack audioTrack;
    RtspTransportInfo audioTransport;
};

#endif

#ifndef QUORVANE_UTILS_SDP_PARSER_H
#define QUORVANE_UTILS_SDP_PARSER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../quorvane_export.h"
#include "rtsp_session_info.h"

// One media section of a DESCRIBE answer.
struct QUORVANE_EXPORT RtspTrack {
    std::string media;         // video, audio, ...
    uint32_t payloadType = 0;  // from a=rtpmap
    uint32_t clockRate = 0;    // from a=rtpmap
    std::string format;        // encoding name from a=rtpmap: H264, H265, PCMA, ...
    std::string control;       // a=control URL, relative to the session URL or absolute
    std::string fmtp;          // a=fmtp parameters of the track's payload type; "" when none
};

// Turns a DESCRIBE body into the table of tracks. The body may arrive in any number of pieces:
// after every piece the table reads as if everything so far had come in one piece.
//
// Two readings. The default one knows three line forms: a media line "m=<media> <port> RTP/AVP
// <n>", "a=rtpmap:<n> <name>/<clock>" and "a=control:<url>" (blanks allowed around '=' and ':',
// the URL at least two characters), each found anywhere in a line; five media sections at most.
// The real-camera reading (realCameraSdp) follows what cameras send: every m= line starts a
// section whatever its media and transport, several payload types on one m= line (the H.264/H.265
// one is taken), encoding names without case, one-character controls, rtpmap with a channel
// count, up to kMaxRealCameraTracks sections.
class QUORVANE_EXPORT RtspSdpParser {
public:
    static constexpr int kMaxTracks = 5;
    static constexpr int kMaxRealCameraTracks = 32;
    // A camera's SDP is a few kilobytes; anything past this is dropped so a hostile or broken
    // server cannot make us buffer without bound.
    static constexpr size_t kMaxBodyBytes = 64 * 1024;
    // No line we read comes near this; longer lines are skipped unread.
    static constexpr size_t kMaxLineBytes = 4095;

    RtspSdpParser() = default;
    explicit RtspSdpParser(bool realCameraSdp) : mRealCameraSdp(realCameraSdp) {}

    // Forgets the body; the reading stays.
    void reset();
    // Adds one piece of the body and writes the resulting table (kMaxTracks entries) and count.
    void feed(const char* data, size_t len, RtspTrack* tracks, int* count);
    // The body is complete: takes its last line as final, writes the table and logs the count.
    void finish(RtspTrack* tracks, int* count);
    // The same without a table; tracks() gives the result.
    void feed(const char* data, size_t len);
    void finish();
    // Every track so far, as if the body ended here.
    std::vector<RtspTrack> tracks() const;

    // 264 for H264, 265 for H265 or HEVC (any case), 0 for anything else.
    static int h26xCodec(const std::string& encoding);

private:
    struct Rtpmap {
        uint32_t payloadType;
        std::string name;
        uint32_t clockRate;
    };
    struct Section {
        RtspTrack track;                // default reading: fields as the lines set them
        std::vector<uint32_t> formats;  // real-camera reading: the m= line's numeric payload types
        std::vector<Rtpmap> rtpmaps;
        std::vector<std::pair<uint32_t, std::string>> fmtps;
    };
    struct State {
        std::vector<Section> sections;
        bool overflowed = false;  // a section past the limit was seen; it and later ones are ignored
    };
    void applyLine(State& state, const std::string& line, bool log) const;
    void applyDefaultLine(State& state, const std::string& line, bool log) const;
    void applyRealCameraLine(State& state, const std::string& line, bool log) const;
    RtspTrack trackOf(const Section& section) const;
    void commitPending();
    State visibleState() const;

    bool mRealCameraSdp = false;
    State mCommitted;      // every complete line so far
    std::string mPending;  // the unfinished last line
    bool mPendingTooLong = false;
    size_t mBodyBytes = 0;
    bool mBodyCapLogged = false;
};

// Parameter sets of an fmtp line's parameters for an H.264 (sprop-parameter-sets) or H.265
// (sprop-vps, sprop-sps, sprop-pps) track, Base64-decoded, each a bare NAL unit in the order VPS,
// SPS, PPS. Sets that do not decode, and sets of another NAL unit type, are left out; a set
// holding Annex-B start codes (some cameras put them inside the Base64) is split at them.
QUORVANE_EXPORT std::vector<std::vector<uint8_t>> sdpParameterSets(const std::string& encoding,
                                                                   const std::string& fmtp);

// The Transport header of a SETUP answer (RFC 2326 12.39), e.g.
// "RTP/AVP/TCP;unicast;interleaved=0-1;ssrc=30A98EE7": interleaved=, ssrc=, source=,
// destination= and server_port= of its first transport (addresses of either family, an IPv6 one
// bare or in brackets), and of a multicast one ("RTP/AVP;multicast;destination=239.1.2.3;
// port=5000-5001;ttl=16") multicast, port= and ttl=. A single channel or port stands for the pair
// starting with it. Values that do not parse are left at their defaults. False for an empty header.
QUORVANE_EXPORT bool parseRtspTransport(const char* text, size_t len, RtspTransportInfo* out);

// The PLAY answer's RTP-Info header (RFC 2326 12.33), e.g.
// "url=trackID=1;seq=16852;rtptime=1070938629;ssrc=dcc4a0d8,url=trackID=2;...": the entry whose url
// names the track set up at `trackUrl` (with the SDP control `control`): the same URL, the control
// itself, a URL ending in "/" + the entry's relative url, or the same path and query on another
// host. With no such entry, a header of one entry is taken as the video's; otherwise `out` stays
// absent. seq is decimal up to 65535, rtptime decimal up to 2^32 - 1; ssrc hexadecimal by the RFC,
// and decimal when it has more than eight digits (Dahua). Values that do not parse are left out.
QUORVANE_EXPORT bool parseRtspRtpInfo(const char* text, size_t len, const std::string& trackUrl,
                                      const std::string& control, RtspRtpInfo* out);

// The timeout= of a Session header ("634214675641;timeout=60", blanks allowed), in seconds;
// 0 when it is absent, not a number, or beyond a day.
QUORVANE_EXPORT unsigned rtspSessionTimeout(const char* text, size_t len);

// The URL a SETUP of `control` goes to (RFC 2326 C.1.1): an absolute rtsp:// control as it is,
// "*" or an empty control the base itself, a control starting with '/' on the base's host, any
// other control appended to the base with one '/' between.
QUORVANE_EXPORT std::string resolveRtspControl(const std::string& base, const std::string& control);

#endif

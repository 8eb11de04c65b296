#include "utils/audio_track.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "utils/sdp_parser.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmed(const std::string& s) {
    size_t from = 0, to = s.size();
    while (from < to && isBlank(s[from])) ++from;
    while (to > from && isBlank(s[to - 1])) --to;
    return s.substr(from, to - from);
}

// "a=<name>:<value>" (the name without case); the value trimmed.
bool attribute(const std::string& line, const char* name, std::string* value) {
    const size_t n = strlen(name);
    if (line.size() < n + 3 || line.compare(0, 2, "a=") != 0 || strncasecmp(line.c_str() + 2, name, n) != 0 ||
        line[n + 2] != ':')
        return false;
    *value = trimmed(line.substr(n + 3));
    return true;
}

// A payload type: one to three digits, at most 127.
bool payloadType(const std::string& token, uint32_t* out) {
    if (token.empty() || token.size() > 3) return false;
    for (char c : token)
        if (c < '0' || c > '9') return false;
    *out = static_cast<uint32_t>(atoi(token.c_str()));
    return *out <= 127;
}

// A decimal count of at most nine digits; 0 when the text is none.
uint32_t number(const std::string& text) {
    if (text.empty() || text.size() > 9) return 0;
    for (char c : text)
        if (c < '0' || c > '9') return 0;
    return static_cast<uint32_t>(atol(text.c_str()));
}

struct Rtpmap {
    std::string name;
    uint32_t clockRate = 0;
    uint32_t channels = 0;
};

}  // namespace

RtspAudioCodec audioCodecOf(const std::string& encoding) {
    const char* e = encoding.c_str();
    if (strcasecmp(e, "mpeg4-generic") == 0 || strcasecmp(e, "MP4A-LATM") == 0) return RtspAudioCodec::Aac;
    if (strcasecmp(e, "PCMU") == 0) return RtspAudioCodec::Pcmu;
    if (strcasecmp(e, "PCMA") == 0) return RtspAudioCodec::Pcma;
    if (strcasecmp(e, "opus") == 0) return RtspAudioCodec::Opus;
    if (strncasecmp(e, "AAL2-", 5) == 0) e += 5;
    for (const char* g726 : {"G726-16", "G726-24", "G726-32", "G726-40"})
        if (strcasecmp(e, g726) == 0) return RtspAudioCodec::G726;
    return RtspAudioCodec::Unknown;
}

bool fmtpValue(const std::string& fmtp, const char* name, std::string* value) {
    size_t from = 0;
    while (from <= fmtp.size()) {
        size_t end = fmtp.find(';', from);
        if (end == std::string::npos) end = fmtp.size();
        const std::string item = fmtp.substr(from, end - from);
        const size_t eq = item.find('=');
        if (eq != std::string::npos && strcasecmp(trimmed(item.substr(0, eq)).c_str(), name) == 0) {
            *value = trimmed(item.substr(eq + 1));
            return true;
        }
        from = end + 1;
    }
    return false;
}

RtspAudioTrack findAudioTrack(const std::string& sdp) {
    RtspAudioTrack track;
    std::vector<uint32_t> formats;
    std::vector<std::pair<uint32_t, Rtpmap>> rtpmaps;
    std::vector<std::pair<uint32_t, std::string>> fmtps;
    bool inAudio = false;
    bool sendOnly = false;
    const size_t limit = std::min(sdp.size(), size_t{RtspSdpParser::kMaxBodyBytes});
    constexpr size_t kMaxEntries = 32;
    for (size_t at = 0; at < limit;) {
        size_t eol = sdp.find_first_of("\r\n", at);
        if (eol == std::string::npos || eol > limit) eol = limit;
        const std::string line =
            eol - at <= RtspSdpParser::kMaxLineBytes ? trimmed(sdp.substr(at, eol - at)) : "";
        at = eol + 1;
        if (line.compare(0, 2, "m=") == 0) {
            // The first audio section ends here, unless it was the camera's back channel.
            if (inAudio && !sendOnly) break;
            inAudio = sendOnly = false;
            formats.clear(), rtpmaps.clear(), fmtps.clear(), track = RtspAudioTrack();
            if (strncasecmp(line.c_str() + 2, "audio ", 6) != 0) continue;
            inAudio = true;
            track.present = true;
            // m=audio <port> <transport> <format> ...
            size_t field = 0, pos = 2;
            while (pos < line.size()) {
                while (pos < line.size() && isBlank(line[pos])) ++pos;
                size_t end = pos;
                while (end < line.size() && !isBlank(line[end])) ++end;
                uint32_t pt = 0;
                if (field >= 3 && payloadType(line.substr(pos, end - pos), &pt) &&
                    formats.size() < kMaxEntries)
                    formats.push_back(pt);
                ++field;
                pos = end;
            }
            continue;
        }
        if (!inAudio) continue;
        std::string value;
        uint32_t pt = 0;
        if (strcasecmp(line.c_str(), "a=sendonly") == 0) {
            sendOnly = true;  // ONVIF back channel: sound for the camera to play
        } else if (attribute(line, "control", &value)) {
            track.control = value;
            continue;
        }
        const bool isRtpmap = attribute(line, "rtpmap", &value);
        if (isRtpmap || attribute(line, "fmtp", &value)) {
            size_t space = value.find_first_of(" \t");
            if (space == std::string::npos || !payloadType(value.substr(0, space), &pt)) continue;
            const std::string rest = trimmed(value.substr(space));
            if (isRtpmap) {
                // <name>/<clock>[/<channels>]
                Rtpmap map;
                size_t slash = rest.find('/');
                map.name = trimmed(rest.substr(0, slash));
                if (slash != std::string::npos) {
                    size_t second = rest.find('/', slash + 1);
                    map.clockRate = number(trimmed(rest.substr(slash + 1, second - slash - 1)));
                    if (second != std::string::npos) map.channels = number(trimmed(rest.substr(second + 1)));
                }
                if (rtpmaps.size() < kMaxEntries) rtpmaps.emplace_back(pt, map);
            } else if (fmtps.size() < kMaxEntries) {
                fmtps.emplace_back(pt, rest);
            }
        }
    }
    if (sendOnly) return RtspAudioTrack();
    if (!track.present || formats.empty()) return track;

    // What each payload type of the m= line stands for: its rtpmap, else the static type.
    auto describe = [&](uint32_t pt, Rtpmap* out) {
        for (const auto& m : rtpmaps) {
            if (m.first == pt) {
                *out = m.second;
                return;
            }
        }
        *out = Rtpmap();
        if (pt == 0 || pt == 8) {
            out->name = pt == 0 ? "PCMU" : "PCMA";
            out->clockRate = 8000;
            out->channels = 1;
        }
    };
    Rtpmap chosen;
    track.payloadType = formats.front();
    describe(formats.front(), &chosen);
    for (uint32_t pt : formats) {
        Rtpmap m;
        describe(pt, &m);
        if (audioCodecOf(m.name) != RtspAudioCodec::Unknown) {
            track.payloadType = pt;
            chosen = m;
            break;
        }
    }
    track.encoding = chosen.name;
    track.clockRate = chosen.clockRate;
    track.channels = chosen.channels;
    for (const auto& f : fmtps)
        if (f.first == track.payloadType) track.fmtp = f.second;
    return track;
}

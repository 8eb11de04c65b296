#include "utils/sdp_parser.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "utils/sdp_scan_internal.h"
#include "utils/slog.h"
#include "utils/utils.h"

namespace {

// What \s takes in the C locale.
bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

size_t skipBlanks(const std::string& s, size_t i) {
    while (i < s.size() && isBlank(s[i])) ++i;
    return i;
}

size_t skipNonBlanks(const std::string& s, size_t i) {
    while (i < s.size() && !isBlank(s[i])) ++i;
    return i;
}

size_t skipDigits(const std::string& s, size_t i) {
    while (i < s.size() && isDigit(s[i])) ++i;
    return i;
}

// strtol's reading of a digit string: values past its range saturate.
uint32_t toNumber(const std::string& digits) {
    return static_cast<uint32_t>(strtol(digits.c_str(), nullptr, 10));
}

std::string trimmed(const std::string& s) {
    size_t from = skipBlanks(s, 0);
    size_t to = s.size();
    while (to > from && isBlank(s[to - 1])) --to;
    return s.substr(from, to - from);
}

bool startsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = strlen(prefix);
    return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

// "a=<name>:<value>" with blanks allowed around '=' and ':'; the value comes back trimmed.
bool attribute(const std::string& line, const char* name, std::string* value) {
    size_t i = skipBlanks(line, 0);
    if (i >= line.size() || line[i] != 'a') return false;
    i = skipBlanks(line, i + 1);
    if (i >= line.size() || line[i] != '=') return false;
    i = skipBlanks(line, i + 1);
    size_t n = strlen(name);
    if (line.compare(i, n, name) != 0) return false;
    i = skipBlanks(line, i + n);
    if (i >= line.size() || line[i] != ':') return false;
    *value = trimmed(line.substr(i + 1));
    return true;
}

// "<payload type> <rest>" of an rtpmap or fmtp value.
bool payloadTypeAndRest(const std::string& value, uint32_t* payloadType, std::string* rest) {
    size_t digits = skipDigits(value, 0);
    if (digits == 0 || digits > 3) return false;
    *payloadType = toNumber(value.substr(0, digits));
    *rest = trimmed(value.substr(digits));
    return true;
}

// The plain "a=fmtp:<n> <parameters>" line the default reading also keeps.
bool fmtpLine(const std::string& line, uint32_t* payloadType, std::string* params) {
    std::string value;
    return line.compare(0, 7, "a=fmtp:") == 0 && attribute(line, "fmtp", &value) &&
           payloadTypeAndRest(value, payloadType, params);
}

// Bounds the per-section lists of the real-camera reading; a body is at most 64 KB anyway.
constexpr size_t kMaxListEntries = 32;

}  // namespace

// ---------------------------------------------------------------------------------------------
// The three line forms of the default reading.

namespace sdp_scan {

bool media(const std::string& s, std::string* kind) {
    // "m=" starts group 1, a run of non-blanks that ends where the run ends; everything after
    // depends only on that end, so one test per run decides for every "m=" inside it.
    const size_t n = s.size();
    for (size_t a = skipBlanks(s, 0); a < n; a = skipBlanks(s, a)) {
        size_t e = skipNonBlanks(s, a);
        size_t m = e;
        for (size_t i = a; i + 2 < e; ++i) {
            if (s[i] == 'm' && s[i + 1] == '=') {
                m = i;
                break;
            }
        }
        if (m < e) {
            // " \d+ RTP/AVP \d" after the run.
            size_t i = e;
            bool ok = i < n && s[i] == ' ';
            if (ok) {
                size_t d = i + 1;
                i = skipDigits(s, d);
                ok = i > d && i < n && s[i] == ' ' && s.compare(i + 1, 8, "RTP/AVP ") == 0 && i + 9 < n &&
                     isDigit(s[i + 9]);
            }
            if (ok) {
                *kind = s.substr(m + 2, e - m - 2);
                return true;
            }
        }
        a = e;
    }
    return false;
}

bool rtpmap(const std::string& s, std::string* payloadType, std::string* name, std::string* clockRate) {
    static const char kKey[] = "a=rtpmap:";
    const size_t n = s.size();
    for (size_t at = s.find(kKey); at != std::string::npos; at = s.find(kKey, at + 1)) {
        size_t d = at + sizeof(kKey) - 1;
        size_t w = skipDigits(s, d);
        if (w == d) continue;
        size_t p = skipBlanks(s, w);
        if (p == w) continue;
        // Group 2 is the run of non-blanks after the blanks, up to its last '/' that a digit
        // follows (the repetition gives back characters from the right until "/\d" fits).
        size_t r = skipNonBlanks(s, p);
        size_t slash = n;
        for (size_t k = p + 1; k + 1 < r; ++k) {
            if (s[k] == '/' && isDigit(s[k + 1])) slash = k;
        }
        if (slash == n) continue;
        *payloadType = s.substr(d, w - d);
        *name = s.substr(p, slash - p);
        *clockRate = s.substr(slash + 1, skipDigits(s, slash + 1) - slash - 1);
        return true;
    }
    return false;
}

bool control(const std::string& s, std::string* url) {
    const size_t n = s.size();
    for (size_t a = 0; a < n; ++a) {
        if (s[a] != 'a') continue;
        size_t i = skipBlanks(s, a + 1);
        if (i >= n || s[i] != '=') continue;
        i = skipBlanks(s, i + 1);
        if (s.compare(i, 7, "control") != 0) continue;
        i = skipBlanks(s, i + 7);
        if (i >= n || s[i] != ':') continue;
        size_t w = i + 1;
        size_t q = skipBlanks(s, w);
        // [^*]\S+ right after the blanks; failing that, the blanks give back their last one,
        // which [^*] takes, and \S+ starts at the first non-blank.
        size_t start;
        if (q + 1 < n && s[q] != '*' && !isBlank(s[q + 1])) {
            start = q;
        } else if (q > w && q < n) {
            start = q - 1;
        } else {
            continue;
        }
        *url = s.substr(start, skipNonBlanks(s, q + (start == q ? 1 : 0)) - start);
        return true;
    }
    return false;
}

}  // namespace sdp_scan

// ---------------------------------------------------------------------------------------------
// The parser

int RtspSdpParser::h26xCodec(const std::string& encoding) {
    if (strcasecmp(encoding.c_str(), "H264") == 0) return 264;
    if (strcasecmp(encoding.c_str(), "H265") == 0 || strcasecmp(encoding.c_str(), "HEVC") == 0) return 265;
    return 0;
}

void RtspSdpParser::reset() {
    *this = RtspSdpParser(mRealCameraSdp);
}

void RtspSdpParser::feed(const char* data, size_t len) {
    size_t room = kMaxBodyBytes - mBodyBytes;
    if (len > room) {
        if (!mBodyCapLogged) {
            SLOGW("DESCRIBE body longer than %zu bytes, the rest is ignored\n", kMaxBodyBytes);
            mBodyCapLogged = true;
        }
        len = room;
    }
    mBodyBytes += len;

    // CR, LF and CRLF all end a line; empty lines are skipped.
    const char* p = data;
    const char* end = data + len;
    while (p < end) {
        const char* eol = p;
        while (eol < end && *eol != '\r' && *eol != '\n') ++eol;
        size_t n = static_cast<size_t>(eol - p);
        if (!mPendingTooLong && n > kMaxLineBytes - mPending.size()) {
            mPendingTooLong = true;
            mPending.clear();
        }
        if (!mPendingTooLong) mPending.append(p, n);
        if (eol == end) break;
        commitPending();
        p = eol + 1;
    }
}

void RtspSdpParser::finish() {
    commitPending();
    SLOGD("# TOTAL FOUND  %d\n", static_cast<int>(mCommitted.sections.size()));
}

void RtspSdpParser::feed(const char* data, size_t len, RtspTrack* tracks, int* count) {
    feed(data, len);
    std::vector<RtspTrack> all = this->tracks();
    *count = static_cast<int>(std::min<size_t>(all.size(), kMaxTracks));
    for (int i = 0; i < kMaxTracks; ++i) tracks[i] = i < *count ? all[i] : RtspTrack();
}

void RtspSdpParser::finish(RtspTrack* tracks, int* count) {
    finish();
    feed(nullptr, 0, tracks, count);
}

std::vector<RtspTrack> RtspSdpParser::tracks() const {
    State visible = visibleState();
    std::vector<RtspTrack> out;
    for (const Section& section : visible.sections) out.push_back(trackOf(section));
    return out;
}

void RtspSdpParser::commitPending() {
    if (mPendingTooLong) {
        SLOGW("SDP line longer than %zu bytes skipped\n", kMaxLineBytes);
    } else if (!mPending.empty()) {
        applyLine(mCommitted, mPending, true);
    }
    mPending.clear();
    mPendingTooLong = false;
}

RtspSdpParser::State RtspSdpParser::visibleState() const {
    // The unfinished last line counts as if the body ended here; a later piece may complete it,
    // and it is then applied once, from the committed state.
    State visible = mCommitted;
    if (!mPendingTooLong && !mPending.empty()) applyLine(visible, mPending, false);
    return visible;
}

void RtspSdpParser::applyLine(State& state, const std::string& line, bool log) const {
    if (mRealCameraSdp) {
        applyRealCameraLine(state, line, log);
    } else {
        applyDefaultLine(state, line, log);
    }
}

void RtspSdpParser::applyDefaultLine(State& state, const std::string& line, bool log) const {
    std::string a, b, c;
    if (sdp_scan::media(line, &a)) {
        if (state.sections.size() >= static_cast<size_t>(kMaxTracks)) {
            if (log && !state.overflowed)
                SLOGW("more than %d media sections, the rest is ignored\n", kMaxTracks);
            state.overflowed = true;
            return;
        }
        state.sections.emplace_back();
        if (log) SLOGD("# FOUND[%d] media: %s\n", static_cast<int>(state.sections.size()) - 1, a.c_str());
        state.sections.back().track.media = a;
        return;
    }
    // Session-level lines (before the first m=) and the lines of ignored sections touch nothing.
    if (state.sections.empty() || state.overflowed) return;
    Section& section = state.sections.back();
    int index = static_cast<int>(state.sections.size()) - 1;
    if (sdp_scan::control(line, &a)) {
        if (log) SLOGD("# FOUND[%d] control: %s \n", index, a.c_str());
        section.track.control = a;
        return;
    }
    if (sdp_scan::rtpmap(line, &a, &b, &c)) {
        if (log)
            SLOGD("# FOUND[%d] rtpmap: id:%s format:%s bitrate:%s \n", index, a.c_str(), b.c_str(),
                  c.c_str());
        section.track.payloadType = toNumber(a);
        section.track.format = b;
        section.track.clockRate = toNumber(c);
        return;
    }
    uint32_t payloadType = 0;
    if (fmtpLine(line, &payloadType, &a) && section.fmtps.size() < kMaxListEntries)
        section.fmtps.emplace_back(payloadType, a);
}

void RtspSdpParser::applyRealCameraLine(State& state, const std::string& line, bool log) const {
    size_t i = skipBlanks(line, 0);
    if (line.compare(i, 2, "m=") == 0) {
        // m=<media> <port>[/<count>] <transport> <format> ...: RTP/AVP, RTP/AVPF, RTP/SAVP,
        // application/TP-LINK with a text format, all start a section of their own.
        if (state.sections.size() >= static_cast<size_t>(kMaxRealCameraTracks)) {
            if (log && !state.overflowed)
                SLOGW("more than %d media sections, the rest is ignored\n", kMaxRealCameraTracks);
            state.overflowed = true;
            return;
        }
        Section section;
        int field = 0;
        for (size_t a = skipBlanks(line, i + 2); a < line.size(); a = skipBlanks(line, a), ++field) {
            size_t e = skipNonBlanks(line, a);
            std::string token = line.substr(a, e - a);
            if (field == 0) section.track.media = token;
            bool number = skipDigits(token, 0) == token.size() && token.size() <= 3;
            if (field >= 3 && number && section.formats.size() < kMaxListEntries)
                section.formats.push_back(toNumber(token));
            a = e;
        }
        state.sections.push_back(section);
        if (log)
            SLOGD("# FOUND[%d] media: %s\n", static_cast<int>(state.sections.size()) - 1,
                  section.track.media.c_str());
        return;
    }
    if (state.sections.empty() || state.overflowed) return;
    Section& section = state.sections.back();
    int index = static_cast<int>(state.sections.size()) - 1;
    std::string value, rest;
    uint32_t payloadType = 0;
    if (attribute(line, "control", &value)) {
        // One character is a control too (Altasec NVRs answer a=control:0).
        section.track.control = value;
        if (log) SLOGD("# FOUND[%d] control: %s \n", index, value.c_str());
    } else if (attribute(line, "rtpmap", &value) && payloadTypeAndRest(value, &payloadType, &rest)) {
        // <name>/<clock>[/<channels>]
        size_t slash = rest.find('/');
        Rtpmap map{payloadType, trimmed(rest.substr(0, slash)), 0};
        if (slash != std::string::npos) {
            size_t d = skipBlanks(rest, slash + 1);
            size_t digits = skipDigits(rest, d) - d;
            if (digits > 0 && digits <= 9) map.clockRate = toNumber(rest.substr(d, digits));
        }
        if (section.rtpmaps.size() < kMaxListEntries) section.rtpmaps.push_back(map);
        if (log) {
            SLOGD("# FOUND[%d] rtpmap: id:%u format:%s bitrate:%u \n", index, map.payloadType,
                  map.name.c_str(), map.clockRate);
        }
    } else if (attribute(line, "fmtp", &value) && payloadTypeAndRest(value, &payloadType, &rest)) {
        if (section.fmtps.size() < kMaxListEntries) section.fmtps.emplace_back(payloadType, rest);
    }
}

RtspTrack RtspSdpParser::trackOf(const Section& section) const {
    RtspTrack track = section.track;
    if (mRealCameraSdp) {
        // The rtpmap of the H.264/H.265 offer when the m= line has one (FLIR offers MPEG-4,
        // H.264 and its own format on one line), else of the first payload type the line
        // offers, else the section's last rtpmap (some cameras map a type the line lacks).
        const Rtpmap* chosen = nullptr;
        for (int pass = 0; pass < 2 && chosen == nullptr; ++pass) {
            for (uint32_t format : section.formats) {
                auto it = std::find_if(section.rtpmaps.begin(), section.rtpmaps.end(),
                                       [&](const Rtpmap& m) { return m.payloadType == format; });
                if (it != section.rtpmaps.end() && (pass == 1 || h26xCodec(it->name) != 0)) {
                    chosen = &*it;
                    break;
                }
            }
        }
        if (chosen == nullptr && !section.rtpmaps.empty()) chosen = &section.rtpmaps.back();
        if (chosen != nullptr) {
            track.payloadType = chosen->payloadType;
            track.format = chosen->name;
            track.clockRate = chosen->clockRate;
        } else if (!section.formats.empty()) {
            track.payloadType = section.formats.front();
        }
    }
    for (auto it = section.fmtps.rbegin(); it != section.fmtps.rend(); ++it) {
        if (it->first == track.payloadType) {
            track.fmtp = it->second;
            break;
        }
    }
    return track;
}

// ---------------------------------------------------------------------------------------------
// Parameter sets, Transport, control URLs

namespace {

// The NAL units of `data`, split at Annex-B start codes, trailing zero bytes dropped (a NAL
// unit never ends in one; cameras pad with them).
void appendNalUnits(const std::vector<uint8_t>& data, std::vector<std::vector<uint8_t>>* out) {
    size_t start = 0;
    auto push = [&](size_t from, size_t to) {
        while (to > from && data[to - 1] == 0) --to;
        if (to > from) out->emplace_back(data.begin() + from, data.begin() + to);
    };
    for (size_t i = 0; i + 2 < data.size();) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            push(start, i);
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    push(start, data.size());
}

// name=value pairs of fmtp parameters, separated by ';'.
std::vector<std::pair<std::string, std::string>> fmtpParameters(const std::string& fmtp) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t from = 0;
    while (from <= fmtp.size()) {
        size_t end = std::min(fmtp.find(';', from), fmtp.size());
        std::string item = fmtp.substr(from, end - from);
        size_t eq = item.find('=');
        if (eq != std::string::npos)
            out.emplace_back(trimmed(item.substr(0, eq)), trimmed(item.substr(eq + 1)));
        from = end + 1;
    }
    return out;
}

constexpr size_t kMaxParameterSets = 16;

}  // namespace

std::vector<std::vector<uint8_t>> sdpParameterSets(const std::string& encoding, const std::string& fmtp) {
    int codec = RtspSdpParser::h26xCodec(encoding);
    std::vector<std::vector<uint8_t>> out;
    if (codec == 0) return out;
    struct Key {
        const char* name;
        int firstType;  // NAL unit types taken under this key
        int lastType;
    };
    // RFC 6184 8.1 and RFC 7798 7.1.
    static const Key k264[] = {{"sprop-parameter-sets", 7, 8}};
    static const Key k265[] = {{"sprop-vps", 32, 32}, {"sprop-sps", 33, 33}, {"sprop-pps", 34, 34}};
    const Key* keys = codec == 264 ? k264 : k265;
    size_t keyCount = codec == 264 ? 1 : 3;
    auto params = fmtpParameters(fmtp);
    std::vector<std::vector<uint8_t>> units;
    for (size_t k = 0; k < keyCount; ++k) {
        for (const auto& param : params) {
            if (strcasecmp(param.first.c_str(), keys[k].name) != 0) continue;
            size_t from = 0;
            while (from <= param.second.size()) {
                size_t end = std::min(param.second.find(',', from), param.second.size());
                std::vector<uint8_t> decoded;
                std::string text = trimmed(param.second.substr(from, end - from));
                if (Utils::base64decode(text.data(), text.size(), &decoded)) {
                    units.clear();
                    appendNalUnits(decoded, &units);
                    for (auto& unit : units) {
                        int type = codec == 264 ? (unit[0] & 0x1F) : ((unit[0] >> 1) & 0x3F);
                        bool wellFormed = (unit[0] & 0x80) == 0 && unit.size() >= (codec == 264 ? 2u : 3u);
                        if (wellFormed && type >= keys[k].firstType && type <= keys[k].lastType &&
                            out.size() < kMaxParameterSets)
                            out.push_back(std::move(unit));
                    }
                }
                from = end + 1;
            }
        }
    }
    // A decoder wants the SPS before the PPS; H.264 lists may give them in any order.
    if (codec == 264) {
        std::stable_partition(out.begin(), out.end(),
                              [](const std::vector<uint8_t>& u) { return (u[0] & 0x1F) == 7; });
    }
    return out;
}

namespace {

// "a" or "a-b" of decimal numbers up to `max`; a single number stands for a, a + 1.
bool numberPair(const std::string& value, long max, long* a, long* b) {
    size_t i = skipDigits(value, 0);
    if (i == 0 || i > 5) return false;
    long first = strtol(value.substr(0, i).c_str(), nullptr, 10);
    long second = first + 1;
    if (i < value.size()) {
        size_t d = i + 1;
        size_t e = skipDigits(value, d);
        if (value[i] != '-' || e == d || e - d > 5 || e != value.size()) return false;
        second = strtol(value.substr(d, e - d).c_str(), nullptr, 10);
    }
    if (first > max) return false;
    *a = first;
    *b = second <= max ? second : -1;
    return true;
}

// The host of a Transport parameter (source=, destination=): a name or an address of either
// family, an IPv6 one bare or in brackets; "" for anything else (a zone among them: it names an
// interface of the camera, not of this host).
std::string transportHost(const std::string& value) {
    const bool bracketed = value.size() >= 2 && value.front() == '[' && value.back() == ']';
    const std::string host = bracketed ? value.substr(1, value.size() - 2) : value;
    const bool ok = !host.empty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '-' || c == '_';
    });
    return ok && (!bracketed || host.find(':') != std::string::npos) ? host : std::string();
}

}  // namespace

bool parseRtspTransport(const char* text, size_t len, RtspTransportInfo* out) {
    *out = RtspTransportInfo();
    if (text == nullptr || len == 0) return false;
    out->present = true;
    // Only the first transport of a list counts: it is the one the server chose.
    std::string header(text, std::find(text, text + len, ','));
    // "multicast" and "unicast" stand alone, without a value (RFC 2326 12.39).
    for (size_t from = 0; from <= header.size();) {
        const size_t end = std::min(header.find(';', from), header.size());
        const std::string item = trimmed(header.substr(from, end - from));
        if (strcasecmp(item.c_str(), "multicast") == 0) out->multicast = true;
        if (strcasecmp(item.c_str(), "unicast") == 0) out->multicast = false;
        from = end + 1;
    }
    for (const auto& [rawName, value] : fmtpParameters(header)) {
        const char* name = rawName.c_str();
        long a = 0, b = 0;
        if (strcasecmp(name, "interleaved") == 0 && numberPair(value, 255, &a, &b)) {
            out->rtpChannel = static_cast<int>(a);
            out->rtcpChannel = static_cast<int>(b);
        } else if (strcasecmp(name, "server_port") == 0 && numberPair(value, 65535, &a, &b) && a > 0) {
            out->serverRtpPort = static_cast<uint16_t>(a);
            out->serverRtcpPort = b > 0 ? static_cast<uint16_t>(b) : 0;
        } else if (strcasecmp(name, "ssrc") == 0) {
            // Eight hex digits by the RFC; cameras send fewer, and some a 0x in front.
            std::string hex = startsWithNoCase(value, "0x") ? value.substr(2) : value;
            bool ok = !hex.empty() && hex.size() <= 8 && std::all_of(hex.begin(), hex.end(), [](char c) {
                return isxdigit(static_cast<unsigned char>(c));
            });
            if (ok) {
                out->hasSsrc = true;
                out->ssrc = static_cast<uint32_t>(strtoul(hex.c_str(), nullptr, 16));
            }
        } else if (strcasecmp(name, "source") == 0) {
            out->source = transportHost(value);
        } else if (strcasecmp(name, "destination") == 0) {
            out->destination = transportHost(value);
        } else if (strcasecmp(name, "port") == 0 && numberPair(value, 65535, &a, &b) && a > 0) {
            out->multicastRtpPort = static_cast<uint16_t>(a);
            out->multicastRtcpPort = b > 0 ? static_cast<uint16_t>(b) : 0;
        } else if (strcasecmp(name, "ttl") == 0 && numberPair(value, 255, &a, &b) &&
                   value.find('-') == std::string::npos) {
            out->ttl = static_cast<int>(a);
        }
    }
    return true;
}

std::string resolveRtspControl(const std::string& base, const std::string& control) {
    if (control.empty() || control == "*") return base;
    for (const char* scheme : {"rtsp://", "rtsps://", "rtspu://"}) {
        if (startsWithNoCase(control, scheme)) return control;
    }
    if (control[0] == '/') {
        size_t authority = base.find("://");
        size_t path = authority == std::string::npos ? std::string::npos : base.find('/', authority + 3);
        return base.substr(0, path) + control;
    }
    return base + (!base.empty() && base.back() == '/' ? "" : "/") + control;
}

namespace {

// The part of a URL after its scheme and authority ("/path?query"); the URL itself when it has
// no scheme.
std::string afterAuthority(const std::string& url) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    size_t path = url.find_first_of("/?", scheme + 3);
    return path == std::string::npos ? "/" : url.substr(path);
}

bool rtpInfoNamesTrack(std::string url, const std::string& trackUrl, const std::string& control) {
    if (url.size() >= 2 && url.front() == '"' && url.back() == '"') url = url.substr(1, url.size() - 2);
    if (url.empty()) return false;
    if (url == trackUrl || url == control) return true;
    if (trackUrl.size() > url.size() &&
        trackUrl.compare(trackUrl.size() - url.size(), url.size(), url) == 0 &&
        trackUrl[trackUrl.size() - url.size() - 1] == '/')
        return true;
    // Cameras behind address translation name themselves by their own address.
    return url.find("://") != std::string::npos && afterAuthority(url) == afterAuthority(trackUrl);
}

// Decimal digits only, at most `max`.
bool decimal(const std::string& value, uint64_t max, uint64_t* out) {
    if (value.empty() || value.size() > 10 || skipDigits(value, 0) != value.size()) return false;
    uint64_t v = strtoull(value.c_str(), nullptr, 10);
    if (v > max) return false;
    *out = v;
    return true;
}

}  // namespace

bool parseRtspRtpInfo(const char* text, size_t len, const std::string& trackUrl, const std::string& control,
                      RtspRtpInfo* out) {
    *out = RtspRtpInfo();
    if (text == nullptr || len == 0) return false;
    // Entries are separated by commas outside quotes (RFC 7826 quotes the url).
    std::vector<std::string> entries(1);
    bool quoted = false;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (text[i] == ',' && !quoted) {
            entries.emplace_back();
        } else {
            entries.back() += text[i];
        }
    }
    const std::string* chosen = nullptr;
    for (const std::string& entry : entries) {
        for (const auto& [name, value] : fmtpParameters(entry)) {
            if (strcasecmp(name.c_str(), "url") == 0 && rtpInfoNamesTrack(value, trackUrl, control)) {
                chosen = &entry;
                break;
            }
        }
        if (chosen != nullptr) break;
    }
    if (chosen == nullptr && entries.size() == 1) chosen = &entries[0];
    if (chosen == nullptr) return false;
    out->present = true;
    for (const auto& [rawName, value] : fmtpParameters(*chosen)) {
        const char* name = rawName.c_str();
        uint64_t v = 0;
        if (strcasecmp(name, "seq") == 0 && decimal(value, 65535, &v)) {
            out->hasSeq = true;
            out->seq = static_cast<uint16_t>(v);
        } else if (strcasecmp(name, "rtptime") == 0 && decimal(value, 0xFFFFFFFFull, &v)) {
            out->hasRtpTime = true;
            out->rtpTime = static_cast<uint32_t>(v);
        } else if (strcasecmp(name, "ssrc") == 0) {
            std::string hex = startsWithNoCase(value, "0x") ? value.substr(2) : value;
            bool isHex = !hex.empty() && hex.size() <= 8 && std::all_of(hex.begin(), hex.end(), [](char c) {
                return isxdigit(static_cast<unsigned char>(c));
            });
            if (isHex) {
                out->hasSsrc = true;
                out->ssrc = static_cast<uint32_t>(strtoul(hex.c_str(), nullptr, 16));
            } else if (hex.size() == value.size() && decimal(value, 0xFFFFFFFFull, &v)) {
                out->hasSsrc = true;
                out->ssrc = static_cast<uint32_t>(v);
            }
        }
    }
    return true;
}

unsigned rtspSessionTimeout(const char* text, size_t len) {
    if (text == nullptr || len == 0) return 0;
    for (const auto& [name, value] : fmtpParameters(std::string(text, len))) {
        uint64_t v = 0;
        if (strcasecmp(name.c_str(), "timeout") == 0 && decimal(value, 86400, &v))
            return static_cast<unsigned>(v);
    }
    return 0;
}

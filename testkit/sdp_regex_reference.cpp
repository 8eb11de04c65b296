#include "testkit/sdp_regex_reference.h"

// GCC 12 with -fsanitize=address takes std::regex's internal function objects for maybe
// uninitialized; the false positive sits in the library headers below.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <algorithm>
#include <cstdlib>
#include <regex>

namespace testkit {
namespace {

bool search(const std::string& line, const std::regex& re, std::smatch* m) {
    return std::regex_search(line, *m, re);
}

const std::regex kMedia(R"(m=(\S+) \d+ RTP/AVP (\d+))", std::regex::ECMAScript);
const std::regex kRtpmap(R"(a=rtpmap:(\d+)\s+(\S+)/(\d+))", std::regex::ECMAScript);
const std::regex kControl(R"(a\s*=\s*control\s*:\s*([^*]\S+))", std::regex::ECMAScript);

uint32_t toNumber(const std::string& digits) {
    return static_cast<uint32_t>(strtol(digits.c_str(), nullptr, 10));
}

}  // namespace

bool regexMedia(const std::string& line, std::string* kind) {
    std::smatch m;
    if (!search(line, kMedia, &m)) return false;
    *kind = m.str(1);
    return true;
}

bool regexRtpmap(const std::string& line, std::string* payloadType, std::string* name,
                 std::string* clockRate) {
    std::smatch m;
    if (!search(line, kRtpmap, &m)) return false;
    *payloadType = m.str(1);
    *name = m.str(2);
    *clockRate = m.str(3);
    return true;
}

bool regexControl(const std::string& line, std::string* url) {
    std::smatch m;
    if (!search(line, kControl, &m)) return false;
    *url = m.str(1);
    return true;
}

ReferenceSdp referenceParse(const std::string& body) {
    ReferenceSdp out;
    int index = -1;
    bool overflowed = false;
    size_t from = 0;
    while (from < body.size()) {
        size_t end = std::min(body.find_first_of("\r\n", from), body.size());
        std::string line = body.substr(from, end - from);
        from = end + 1;
        if (line.empty() || line.size() > RtspSdpParser::kMaxLineBytes) continue;
        std::string a, b, c;
        if (regexMedia(line, &a)) {
            if (index + 1 >= RtspSdpParser::kMaxTracks) {
                overflowed = true;
                continue;
            }
            out.tracks.emplace_back();
            out.tracks[++index].media = a;
            out.debugLines.push_back("# FOUND[" + std::to_string(index) + "] media: " + a);
        } else if (index < 0 || overflowed) {
            continue;
        } else if (regexControl(line, &a)) {
            out.tracks[index].control = a;
            out.debugLines.push_back("# FOUND[" + std::to_string(index) + "] control: " + a + " ");
        } else if (regexRtpmap(line, &a, &b, &c)) {
            RtspTrack& t = out.tracks[index];
            t.payloadType = toNumber(a);
            t.format = b;
            t.clockRate = toNumber(c);
            out.debugLines.push_back("# FOUND[" + std::to_string(index) + "] rtpmap: id:" + a +
                                     " format:" + b + " bitrate:" + c + " ");
        }
    }
    out.debugLines.push_back("# TOTAL FOUND  " + std::to_string(index + 1));
    return out;
}

}  // namespace testkit

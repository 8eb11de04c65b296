#include "tools/rtsp_url.h"

#include <strings.h>

#include <cctype>

namespace {

constexpr size_t kMaxUrlBytes = 1023;  // the session refuses longer ones

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// RFC 3986 2.1: %XX escapes in the user information. An escape of a control character (below
// 0x20, or 0x7f) is refused: decoded, a CR LF would end a request header early and start one.
bool percentDecode(const std::string& in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out->push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int hi = hexValue(in[i + 1]), lo = hexValue(in[i + 2]);
        int value = hi * 16 + lo;
        if (hi < 0 || lo < 0 || value < 0x20 || value == 0x7F) return false;
        out->push_back(static_cast<char>(value));
        i += 2;
    }
    return true;
}

}  // namespace

bool parseRtspUrl(const std::string& text, RtspUrl* out, std::string* why) {
    const bool tls = strncasecmp(text.c_str(), "rtsps://", 8) == 0;
    const bool tunnel = strncasecmp(text.c_str(), "rtsph://", 8) == 0;
    const std::string scheme = tls ? "rtsps://" : tunnel ? "rtsph://" : "rtsp://";
    if (text.size() < scheme.size() || strncasecmp(text.c_str(), scheme.c_str(), scheme.size()) != 0) {
        *why = text.find("://") != std::string::npos
                   ? "only rtsp://, rtsps:// and rtsph:// URLs are supported"
                   : "it does not start with rtsp://";
        return false;
    }
    if (text.size() > kMaxUrlBytes) {
        *why = "longer than " + std::to_string(kMaxUrlBytes) + " bytes";
        return false;
    }
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            *why = "it contains spaces or control characters";
            return false;
        }
    }
    size_t authorityEnd = text.find_first_of("/?#", scheme.size());
    if (authorityEnd == std::string::npos) authorityEnd = text.size();
    std::string authority = text.substr(scheme.size(), authorityEnd - scheme.size());
    std::string path = text.substr(authorityEnd);
    RtspUrl url;
    url.tls = tls;
    url.tunnel = tunnel;
    if (tls) url.port = 322;
    if (tunnel) url.port = 80;
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        std::string info = authority.substr(0, at);
        authority = authority.substr(at + 1);
        size_t colon = info.find(':');
        if (!percentDecode(info.substr(0, colon), &url.user) ||
            (colon != std::string::npos && !percentDecode(info.substr(colon + 1), &url.password))) {
            *why = "bad %-escape (or an escaped control character) in the user name or password";
            return false;
        }
    }
    size_t colon = authority.find(':');
    if (!authority.empty() && authority[0] == '[') {
        // An IPv6 address, with its zone written %25 (RFC 6874): "[fe80::1%25eth0]".
        size_t close = authority.find(']');
        url.host = close == std::string::npos ? std::string() : authority.substr(1, close - 1);
        for (char c : url.host) {
            if (!isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.' && c != '%' && !isalnum(c)) {
                *why = "bad character '" + std::string(1, c) + "' in the IPv6 address";
                return false;
            }
        }
        colon = close == std::string::npos || close + 1 >= authority.size() ? std::string::npos : close + 1;
        if (colon != std::string::npos && authority[colon] != ':') {
            *why = "bad text after the IPv6 address";
            return false;
        }
        if (url.host.empty()) {
            *why = "no host";
            return false;
        }
    } else {
        url.host = authority.substr(0, colon);
        if (url.host.empty()) {
            *why = "no host";
            return false;
        }
        for (char c : url.host) {
            if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
                *why = "bad character '" + std::string(1, c) + "' in the host name";
                return false;
            }
        }
    }
    if (colon != std::string::npos) {
        std::string port = authority.substr(colon + 1);
        unsigned long value = 0;
        bool digits = !port.empty() && port.size() <= 5;
        for (char c : port) {
            if (!isdigit(static_cast<unsigned char>(c))) digits = false;
        }
        if (digits) value = std::stoul(port);
        if (!digits || value == 0 || value > 65535) {
            *why = "bad port '" + port + "'";
            return false;
        }
        url.port = static_cast<uint16_t>(value);
    }
    url.withoutCredentials = scheme + authority + path;
    url.display = url.withoutCredentials;
    // The receiver takes any URL containing "null" for a switched-off channel and never connects.
    if (url.withoutCredentials.find("null") != std::string::npos) {
        *why = "the library treats URLs containing \"null\" as a disabled channel";
        return false;
    }
    *out = url;
    return true;
}

std::string maskUrlText(const std::string& text) {
    const size_t scheme = text.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = text.find_first_of("/?#", start);
    if (end == std::string::npos) end = text.size();
    const size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < start) return text;
    const size_t colon = text.find(':', start);
    if (colon == std::string::npos || colon > at) return text;
    return text.substr(0, colon + 1) + "***" + text.substr(at);
}

#include <strings.h>

#include "utils/url_scheme_internal.h"

namespace url_internal {

SchemeSplit splitScheme(const std::string& url) {
    SchemeSplit split;
    split.connectUrl = url;
    // The scheme names are of one length.
    const size_t schemeLength = 8;
    if (url.size() >= schemeLength && strncasecmp(url.c_str(), "rtsps://", schemeLength) == 0)
        split.scheme = RtspScheme::Rtsps;
    else if (url.size() >= schemeLength && strncasecmp(url.c_str(), "rtsph://", schemeLength) == 0)
        split.scheme = RtspScheme::Rtsph;
    size_t authority = url.find("://");
    authority = authority == std::string::npos ? 0 : authority + 3;
    size_t end = url.find_first_of("/?#", authority);
    if (end == std::string::npos) end = url.size();
    split.path = url.substr(end, url.find('#', end) - end);
    if (split.path.empty() || split.path[0] != '/') split.path.insert(0, "/");
    // The password may hold '@': the host follows the last one.
    size_t hostStart = url.rfind('@', end);
    hostStart = hostStart == std::string::npos || hostStart < authority ? authority : hostStart + 1;
    size_t hostEnd = end;
    size_t portColon = std::string::npos;
    if (hostStart < end && url[hostStart] == '[') {
        size_t close = url.find(']', hostStart);
        if (close != std::string::npos && close < end) {
            split.host = url.substr(hostStart + 1, close - hostStart - 1);
            if (close + 1 < end && url[close + 1] == ':') portColon = close + 1;
        } else {
            split.host = url.substr(hostStart, end - hostStart);
        }
    } else {
        portColon = url.find(':', hostStart);
        if (portColon != std::string::npos && portColon >= end) portColon = std::string::npos;
        hostEnd = portColon == std::string::npos ? end : portColon;
        split.host = url.substr(hostStart, hostEnd - hostStart);
    }
    // An IPv6 zone is written %25 inside the brackets (RFC 6874); the resolver takes it as "%zone".
    size_t zone = split.host.find('%');
    split.resolveHost = split.host;
    if (zone != std::string::npos) {
        split.host.erase(zone);
        split.resolveHost.erase(zone + 1, split.resolveHost.compare(zone, 3, "%25") == 0 ? 2 : 0);
    }
    const bool portGiven = portColon != std::string::npos && portColon + 1 < end;
    split.port = split.scheme == RtspScheme::Rtsps   ? kRtspsDefaultPort
                 : split.scheme == RtspScheme::Rtsph ? kRtsphDefaultPort
                                                     : kRtspDefaultPort;
    if (portGiven) {
        unsigned long value = 0;
        for (size_t i = portColon + 1; i < end && value <= 65535; ++i)
            value = url[i] >= '0' && url[i] <= '9' ? value * 10 + static_cast<unsigned long>(url[i] - '0')
                                                   : 65536;
        split.port = value <= 65535 ? static_cast<uint16_t>(value) : 0;
    }
    if (split.scheme == RtspScheme::Rtsp) return split;
    split.connectUrl = "rtsp://" + url.substr(schemeLength, end - schemeLength);
    if (!portGiven) {
        if (portColon != std::string::npos) split.connectUrl.pop_back();  // an empty port: "host:"
        split.connectUrl +=
            ":" + std::to_string(split.scheme == RtspScheme::Rtsps ? kRtspsDefaultPort : kRtsphDefaultPort);
    }
    split.connectUrl += url.substr(end);
    return split;
}

}  // namespace url_internal

#ifndef QUORVANE_UTILS_URL_SCHEME_INTERNAL_H
#define QUORVANE_UTILS_URL_SCHEME_INTERNAL_H

#include <cstdint>
#include <string>

#include "../quorvane_export.h"

// Not installed. The schemes of camera URLs beyond plain rtsp://, and the URL libcurl is given
// for each: libcurl speaks only plain RTSP, and the library provides what lies beneath it.
namespace url_internal {

enum class RtspScheme {
    Rtsp,   // rtsp:// (and anything else: left to libcurl)
    Rtsps,  // rtsps://: RTSP over TLS, port 322 by default
    Rtsph,  // rtsph://: RTSP tunnelled in HTTP, on the camera's HTTP port (80 by default)
};

struct SchemeSplit {
    RtspScheme scheme = RtspScheme::Rtsp;
    // The URL libcurl connects with: the same URL with the scheme rtsp:// and the port made
    // explicit (the scheme's default where the URL names none).
    std::string connectUrl;
    // The host as the URL names it, without brackets around an IPv6 address, nor its zone.
    std::string host;
    // The same with an IPv6 zone as the resolver takes it ("fe80::1%eth0").
    std::string resolveHost;
    // The TCP port: the URL's, or its scheme's default; 0 when the URL's is no port number.
    uint16_t port = 0;
    // The path and query ("/" when the URL has none): what the HTTP tunnel's GET and POST name.
    std::string path;
};

constexpr uint16_t kRtspDefaultPort = 554;
constexpr uint16_t kRtspsDefaultPort = 322;
constexpr uint16_t kRtsphDefaultPort = 80;

// Any case of the scheme name. Reads only the URL's text.
QUORVANE_EXPORT SchemeSplit splitScheme(const std::string& url);

}  // namespace url_internal

#endif

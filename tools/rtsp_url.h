#ifndef QUORVANE_TOOLS_RTSP_URL_H
#define QUORVANE_TOOLS_RTSP_URL_H

#include <cstdint>
#include <string>

// An rtsp:// URL taken apart the way the tools need it: the credentials it may carry go to the
// library as user and password, never in the request line.
struct RtspUrl {
    std::string user;      // percent-decoded
    std::string password;  // percent-decoded
    std::string host;
    uint16_t port = 554;             // 322 for rtsps://, 80 for rtsph://
    bool tls = false;                // rtsps://: RTSP over TLS
    bool tunnel = false;             // rtsph://: RTSP tunnelled in HTTP
    std::string withoutCredentials;  // rtsp[s|h]://host[:port]/path, what the session is given
    std::string display;             // the same, for messages (no password in logs)
};

// False, with the reason in `why`, when `text` is no rtsp[s|h]://[user[:password]@]host[:port][/path]
// URL the library can use.
bool parseRtspUrl(const std::string& text, RtspUrl* out, std::string* why);

// `text` as given, for a message about it: a password in it (user:password@) replaced by ***.
std::string maskUrlText(const std::string& text);

#endif

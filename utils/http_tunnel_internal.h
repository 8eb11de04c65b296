#ifndef QUORVANE_UTILS_HTTP_TUNNEL_INTERNAL_H
#define QUORVANE_UTILS_HTTP_TUNNEL_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "../quorvane_export.h"

// Not installed. RTSP tunnelled in HTTP, as QuickTime-era servers and many cameras offer it on
// their HTTP port: a GET connection whose answer body is the server's RTSP stream (answers and
// interleaved frames), and a POST connection whose body is the client's requests in base64; the
// server ties the two by the same x-sessioncookie.
namespace tunnel_internal {

// The GET and POST request heads for `path` (the URL's path and query, "/" when it has none).
QUORVANE_EXPORT std::string getRequest(const std::string& path, const std::string& cookie);
QUORVANE_EXPORT std::string postRequest(const std::string& path, const std::string& cookie);
// 22 random letters and digits.
std::string makeCookie();
// Standard base64 with padding, each request encoded on its own.
QUORVANE_EXPORT std::string base64(const uint8_t* data, size_t size);

// The head of the server's answer to the GET, at the start of [data, data + size).
struct HttpAnswer {
    enum class Result { NeedMore, Ok, Refused, Invalid } result = Result::NeedMore;
    size_t length = 0;  // Ok and Refused: the bytes of the status line and headers
    int status = 0;     // Ok and Refused: the HTTP status
};
// Answers longer than this are Invalid.
constexpr size_t kMaxHttpAnswerBytes = 8192;
// Ok for a 2xx status; reads only the `size` bytes at `data`.
QUORVANE_EXPORT HttpAnswer parseHttpAnswer(const uint8_t* data, size_t size);

}  // namespace tunnel_internal

#endif

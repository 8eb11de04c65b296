#include <fcntl.h>
#include <sys/random.h>

#include <algorithm>
#include <chrono>

#include "utils/http_tunnel_internal.h"

namespace tunnel_internal {

namespace {
std::string head(const char* method, const std::string& path, const std::string& cookie) {
    std::string text = std::string(method) + " " + (path.empty() ? "/" : path) + " HTTP/1.0\r\n";
    text += "User-Agent: Qel Rtsp Client/1.0\r\n";
    text += "x-sessioncookie: " + cookie + "\r\n";
    text += "Accept: application/x-rtsp-tunnelled\r\n";
    text += "Pragma: no-cache\r\nCache-Control: no-cache\r\n";
    return text;
}
}  // namespace

std::string getRequest(const std::string& path, const std::string& cookie) {
    return head("GET", path, cookie) + "\r\n";
}

std::string postRequest(const std::string& path, const std::string& cookie) {
    // The body never ends: a length as large as servers accept, and no caching of it anywhere.
    return head("POST", path, cookie) +
           "Content-Type: application/x-rtsp-tunnelled\r\nContent-Length: 32767\r\n"
           "Expires: Sun, 9 Jan 1972 00:00:00 GMT\r\n\r\n";
}

std::string makeCookie() {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[22];
    if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
        // No entropy source: the cookie need only be unlikely to meet another client's.
        uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        for (unsigned char& c : random) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            c = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string cookie;
    for (unsigned char c : random) cookie.push_back(kAlphabet[c % (sizeof(kAlphabet) - 1)]);
    return cookie;
}

std::string base64(const uint8_t* data, size_t size) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const uint32_t n = (uint32_t{data[i]} << 16) | (i + 1 < size ? uint32_t{data[i + 1]} << 8 : 0) |
                           (i + 2 < size ? uint32_t{data[i + 2]} : 0);
        out.push_back(kDigits[(n >> 18) & 63]);
        out.push_back(kDigits[(n >> 12) & 63]);
        out.push_back(i + 1 < size ? kDigits[(n >> 6) & 63] : '=');
        out.push_back(i + 2 < size ? kDigits[n & 63] : '=');
    }
    return out;
}

HttpAnswer parseHttpAnswer(const uint8_t* data, size_t size) {
    HttpAnswer answer;
    if (data == nullptr) return answer;
    static const char kVersion[] = "HTTP/1.";
    const size_t versionLength = sizeof(kVersion) - 1;
    // "HTTP/1.x NNN": the status begins after the version and one space.
    const size_t known = std::min(size, versionLength);
    if (!std::equal(data, data + known, kVersion)) {
        answer.result = HttpAnswer::Result::Invalid;
        return answer;
    }
    const size_t limit = std::min(size, kMaxHttpAnswerBytes);
    size_t end = 0;
    for (size_t i = 0; i < limit && end == 0; ++i) {
        if (data[i] != '\n') continue;
        if (i + 1 < limit && data[i + 1] == '\n') end = i + 2;
        if (i + 2 < limit && data[i + 1] == '\r' && data[i + 2] == '\n') end = i + 3;
    }
    if (end == 0) {
        if (size >= kMaxHttpAnswerBytes) answer.result = HttpAnswer::Result::Invalid;
        return answer;
    }
    const size_t at = versionLength + 2;  // past the minor version digit and the space
    if (end < at + 3 || data[at - 1] != ' ') {
        answer.result = HttpAnswer::Result::Invalid;
        return answer;
    }
    int status = 0;
    for (size_t i = at; i < at + 3; ++i) {
        if (data[i] < '0' || data[i] > '9') {
            answer.result = HttpAnswer::Result::Invalid;
            return answer;
        }
        status = status * 10 + (data[i] - '0');
    }
    answer.status = status;
    answer.length = end;
    answer.result = status >= 200 && status < 300 ? HttpAnswer::Result::Ok : HttpAnswer::Result::Refused;
    return answer;
}

}  // namespace tunnel_internal

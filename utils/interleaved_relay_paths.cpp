// The relay's ways to the camera beyond one plain TCP connection: TLS (rtsps) and the HTTP tunnel.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "utils/http_tunnel_internal.h"
#include "utils/interleaved_relay_internal.h"
#include "utils/slog.h"
#include "utils/utils.h"

namespace interleaved_internal {

int InterleavedRelay::connectTcp(const sockaddr* address, socklen_t length, int timeoutMs, int* error) {
    *error = 0;
    int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (::connect(fd, address, length) != 0) {
        *error = errno;
        if (*error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int ready;
            do {
                ready = ::poll(&p, 1, timeoutMs);
            } while (ready < 0 && errno == EINTR);
            socklen_t size = sizeof(*error);
            if (ready == 0) {
                *error = ETIMEDOUT;
            } else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &size) != 0) {
                *error = errno;
            }
        }
    }
    if (*error != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool InterleavedRelay::writeCamera(const uint8_t* data, size_t size) {
    if (mTunnelPost < 0) return writeAll(mCamera, data, size);
    const std::string encoded = tunnel_internal::base64(data, size);
    return writeAll(mTunnelPost, reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size());
}

bool InterleavedRelay::openTunnel(int camera, const sockaddr* address, socklen_t length, int* post,
                                  std::string* early) {
    const int64_t deadline = Utils::getBeginTimestamp() + static_cast<int64_t>(mTimeoutMs) * 1000000;
    auto leftMs = [&] {
        return static_cast<int>(std::max<int64_t>(0, (deadline - Utils::getBeginTimestamp()) / 1000000));
    };
    // Both heads are small: the socket takes them whole unless the connection is gone.
    auto sendHead = [](int fd, const std::string& head) {
        return ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size());
    };
    const std::string cookie = tunnel_internal::makeCookie();
    if (!sendHead(camera, tunnel_internal::getRequest(*mTunnelPath, cookie))) {
        SLOGE("rtsp http tunnel: the GET cannot be sent, errno %d\n", errno);
        return false;
    }
    std::string answer;
    tunnel_internal::HttpAnswer parsed;
    while (parsed.result == tunnel_internal::HttpAnswer::Result::NeedMore) {
        pollfd p{camera, POLLIN, 0};
        const int ready = ::poll(&p, 1, leftMs());
        if (ready < 0 && errno == EINTR) continue;
        char chunk[2048];
        const ssize_t n = ready > 0 ? ::recv(camera, chunk, sizeof(chunk), MSG_DONTWAIT) : 0;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            SLOGE("rtsp http tunnel: %s\n",
                  ready == 0 ? "no answer to the GET in time" : "the camera closed the GET");
            return false;
        }
        answer.append(chunk, static_cast<size_t>(n));
        parsed =
            tunnel_internal::parseHttpAnswer(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
    }
    if (parsed.result != tunnel_internal::HttpAnswer::Result::Ok) {
        if (parsed.result == tunnel_internal::HttpAnswer::Result::Refused)
            SLOGE("rtsp http tunnel refused: the GET was answered with HTTP status %d\n", parsed.status);
        else
            SLOGE("rtsp http tunnel: the answer to the GET is not HTTP\n");
        return false;
    }
    *early = answer.substr(parsed.length);
    int error = 0;
    *post = connectTcp(address, length, std::max(1, leftMs()), &error);
    if (*post < 0 || !sendHead(*post, tunnel_internal::postRequest(*mTunnelPath, cookie))) {
        SLOGE("rtsp http tunnel: no POST connection, errno %d\n", *post < 0 ? error : errno);
        if (*post >= 0) ::close(*post);
        *post = -1;
        return false;
    }
    return true;
}

}  // namespace interleaved_internal

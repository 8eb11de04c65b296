#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "utils/happy_eyeballs_internal.h"
#include "utils/utils.h"

namespace eyeballs_internal {

std::vector<Address> resolve(const std::string& host, uint16_t port) {
    std::vector<Address> v6, v4, all;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (host.empty() || getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return all;
    int first = 0;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        if (first == 0) first = a->ai_family;
        Address address;
        memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = a->ai_addrlen;
        (a->ai_family == AF_INET6 ? v6 : v4).push_back(address);
    }
    freeaddrinfo(found);
    std::vector<Address>& a = first == AF_INET ? v4 : v6;
    std::vector<Address>& b = first == AF_INET ? v6 : v4;
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i < a.size()) all.push_back(a[i]);
        if (i < b.size()) all.push_back(b[i]);
    }
    return all;
}

int connectFirst(const std::vector<Address>& addresses, int timeoutMs, int staggerMs, size_t* winner) {
    struct Attempt {
        int fd;
        size_t index;
    };
    std::vector<Attempt> attempts;
    int lastError = ETIMEDOUT;
    int connected = -1;
    const int64_t start = Utils::getBeginTimestamp();
    const int64_t deadline = start + static_cast<int64_t>(timeoutMs) * 1000000;
    int64_t nextStart = start;
    size_t next = 0;
    while (connected < 0) {
        const int64_t now = Utils::getBeginTimestamp();
        if (now >= deadline) break;
        if (next < addresses.size() && (now >= nextStart || attempts.empty())) {
            const Address& to = addresses[next];
            const int fd = ::socket(to.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd >= 0 && ::connect(fd, to.get(), to.length) == 0) {
                connected = fd;
                *winner = next;
                break;
            }
            if (fd < 0 || errno != EINPROGRESS) {
                lastError = errno;
                if (fd >= 0) ::close(fd);
            } else {
                attempts.push_back({fd, next});
                nextStart = now + static_cast<int64_t>(staggerMs) * 1000000;
            }
            ++next;
            continue;
        }
        if (attempts.empty()) break;  // every address failed
        const int64_t until = next < addresses.size() ? std::min(deadline, nextStart) : deadline;
        std::vector<pollfd> polls;
        for (const Attempt& a : attempts) polls.push_back({a.fd, POLLOUT, 0});
        const int ready =
            ::poll(polls.data(), polls.size(), static_cast<int>((until - now + 999999) / 1000000));
        if (ready < 0 && errno != EINTR) {
            lastError = errno;
            break;
        }
        for (size_t i = polls.size(); ready > 0 && i-- > 0;) {
            if (polls[i].revents == 0) continue;
            int error = 0;
            socklen_t size = sizeof(error);
            if (::getsockopt(attempts[i].fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            if (error == 0 && connected < 0) {
                connected = attempts[i].fd;
                *winner = attempts[i].index;
                attempts.erase(attempts.begin() + static_cast<long>(i));
                continue;
            }
            if (error == 0) continue;  // a second winner in the same wake-up: closed below
            lastError = error;
            ::close(attempts[i].fd);
            attempts.erase(attempts.begin() + static_cast<long>(i));
            nextStart = Utils::getBeginTimestamp();  // a failure starts the next attempt at once
        }
    }
    for (const Attempt& a : attempts) ::close(a.fd);
    if (connected < 0) errno = lastError;
    return connected;
}

}  // namespace eyeballs_internal

#ifndef QUORVANE_UTILS_HAPPY_EYEBALLS_INTERNAL_H
#define QUORVANE_UTILS_HAPPY_EYEBALLS_INTERNAL_H

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../quorvane_export.h"

// Not installed. A TCP connection to a camera with several addresses (a name with IPv6 and IPv4
// addresses), in the manner of RFC 8305: the next address is tried a short while after the one
// before instead of after that one's whole time-out, and the first to connect wins.
namespace eyeballs_internal {

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// The addresses of `host` (a name, a dotted quad, or an IPv6 address with an optional "%zone"),
// TCP port `port`, IPv6 and IPv4 taking turns, the resolver's first family first. Empty when it
// has none.
QUORVANE_EXPORT std::vector<Address> resolve(const std::string& host, uint16_t port);

// Connects to the first of `addresses` that answers within `timeoutMs`: each attempt starts
// `staggerMs` after the one before, or at once when the one before has failed; the others are
// closed. Returns the connected non-blocking socket and sets `winner` to its index, or -1 with
// errno of the last failure (ETIMEDOUT when nothing answered).
QUORVANE_EXPORT int connectFirst(const std::vector<Address>& addresses, int timeoutMs, int staggerMs,
                                 size_t* winner);

constexpr int kStaggerMs = 250;  // RFC 8305 5: 250 ms between attempts

}  // namespace eyeballs_internal

#endif

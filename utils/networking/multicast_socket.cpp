#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "utils/networking/multicast_socket_internal.h"
#include "utils/slog.h"

namespace {

sockaddr_storage ipv4(uint32_t address) {
    sockaddr_storage storage{};
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = address;
    return storage;
}

std::string text(uint32_t address) {
    char out[INET_ADDRSTRLEN] = {0};
    in_addr a{};
    a.s_addr = address;
    return inet_ntop(AF_INET, &a, out, sizeof(out)) != nullptr ? out : "?";
}

NetAddress groupAddress(uint32_t group, uint16_t port) {
    NetAddress local(port);
    local.mAddress = group;
    return local;
}

}  // namespace

MulticastSocket::MulticastSocket(uint32_t group, uint16_t port, const std::vector<uint32_t>& sources)
    : UdpSocket(groupAddress(group, port), 0, true), mGroup(group) {
    if (!isOpen()) {
        mError = errno != 0 ? errno : EADDRNOTAVAIL;
        return;
    }
    // The protocol-independent joins (RFC 3678), on the interface the route to the group takes.
    bool ok = true;
    if (sources.empty()) {
        group_req request{};
        request.gr_interface = 0;
        request.gr_group = ipv4(group);
        ok = setsockopt(getFd(), IPPROTO_IP, MCAST_JOIN_GROUP, &request, sizeof(request)) == 0;
    }
    for (uint32_t source : sources) {
        group_source_req request{};
        request.gsr_interface = 0;
        request.gsr_group = ipv4(group);
        request.gsr_source = ipv4(source);
        if (setsockopt(getFd(), IPPROTO_IP, MCAST_JOIN_SOURCE_GROUP, &request, sizeof(request)) != 0) {
            ok = false;
            break;
        }
    }
    if (!ok) {
        mError = errno;
        SLOGE("cannot join multicast group %s port %u: errno %d (%s)\n", text(group).c_str(),
              static_cast<unsigned>(port), mError, strerror(mError));
        close();
        return;
    }
    mJoined = true;
}

MulticastSocket::~MulticastSocket() {
    leave();
}

void MulticastSocket::leave() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mJoined) return;
    mJoined = false;
    group_req request{};
    request.gr_interface = 0;
    request.gr_group = ipv4(mGroup);
    // Leaves every source of a source-specific join as well.
    if (setsockopt(getFd(), IPPROTO_IP, MCAST_LEAVE_GROUP, &request, sizeof(request)) != 0)
        SLOGW("leaving multicast group %s: errno %d\n", text(mGroup).c_str(), errno);
}

bool MulticastSocket::isGroup(uint32_t address) {
    return (ntohl(address) >> 28) == 0xE;
}

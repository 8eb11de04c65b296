#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "utils/networking/multicast_socket_internal.h"
#include "utils/slog.h"

namespace {

sockaddr_storage storage(const NetEndpoint& address) {
    sockaddr_storage out{};
    memcpy(&out, address.data(), address.length());
    return out;
}

int level(const NetEndpoint& group) {
    return group.family() == AF_INET6 ? IPPROTO_IPV6 : IPPROTO_IP;
}

}  // namespace

MulticastSocket::MulticastSocket(const NetEndpoint& group, const std::vector<NetEndpoint>& sources)
    : UdpSocket(group, true), mGroup(group) {
    if (!isOpen()) {
        mError = errno != 0 ? errno : EADDRNOTAVAIL;
        return;
    }
    // The protocol-independent joins (RFC 3678), on the interface the route to the group takes.
    bool ok = true;
    bool any = true;
    for (const NetEndpoint& source : sources) {
        if (source.family() != group.family()) continue;
        any = false;
        group_source_req request{};
        request.gsr_interface = group.scopeId();
        request.gsr_group = storage(group);
        request.gsr_source = storage(source);
        if (setsockopt(getFd(), level(group), MCAST_JOIN_SOURCE_GROUP, &request, sizeof(request)) != 0) {
            ok = false;
            break;
        }
    }
    if (ok && any) {
        group_req request{};
        request.gr_interface = group.scopeId();
        request.gr_group = storage(group);
        ok = setsockopt(getFd(), level(group), MCAST_JOIN_GROUP, &request, sizeof(request)) == 0;
    }
    if (!ok) {
        mError = errno;
        SLOGE("cannot join multicast group %s: errno %d (%s)\n", group.toString().c_str(), mError,
              strerror(mError));
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
    request.gr_interface = mGroup.scopeId();
    request.gr_group = storage(mGroup);
    // Leaves every source of a source-specific join as well.
    if (setsockopt(getFd(), level(mGroup), MCAST_LEAVE_GROUP, &request, sizeof(request)) != 0)
        SLOGW("leaving multicast group %s: errno %d\n", mGroup.toString().c_str(), errno);
}

bool MulticastSocket::isGroup(const NetEndpoint& address) {
    if (address.family() == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address.data())->sin_addr.s_addr) >> 28) == 0xE;
    return address.family() == AF_INET6 &&
           reinterpret_cast<const sockaddr_in6*>(address.data())->sin6_addr.s6_addr[0] == 0xff;
}

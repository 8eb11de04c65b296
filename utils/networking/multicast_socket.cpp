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
    if (!ok && errno == ENOPROTOOPT) {
        // Without those options (user-mode emulators, some kernels): the family's own, source-
        // specific for IPv4 and for any source over IPv6, where the receiver's own filter on the
        // camera's address is then what keeps other senders out.
        SLOGW("multicast group %s: no protocol-independent join, joined with the %s options\n",
              group.toString().c_str(), group.family() == AF_INET6 ? "IPv6" : "IPv4");
        mFamilyOptions = true;
        if (group.family() == AF_INET)
            for (const NetEndpoint& source : sources)
                if (source.family() == AF_INET)
                    mIpv4Sources.push_back(reinterpret_cast<const sockaddr_in*>(source.data())->sin_addr);
        ok = familyMembership(true);
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
    bool left;
    if (!mFamilyOptions) {
        group_req request{};
        request.gr_interface = mGroup.scopeId();
        request.gr_group = storage(mGroup);
        // Leaves every source of a source-specific join as well.
        left = setsockopt(getFd(), level(mGroup), MCAST_LEAVE_GROUP, &request, sizeof(request)) == 0;
    } else {
        left = familyMembership(false);
    }
    if (!left) SLOGW("leaving multicast group %s: errno %d\n", mGroup.toString().c_str(), errno);
}

bool MulticastSocket::familyMembership(bool join) {
    if (mGroup.family() == AF_INET6) {
        ipv6_mreq request{};
        request.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6*>(mGroup.data())->sin6_addr;
        request.ipv6mr_interface = mGroup.scopeId();
        return setsockopt(getFd(), IPPROTO_IPV6, join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP, &request,
                          sizeof(request)) == 0;
    }
    const in_addr group = reinterpret_cast<const sockaddr_in*>(mGroup.data())->sin_addr;
    bool ok = true;
    for (const in_addr& source : mIpv4Sources) {
        ip_mreq_source request{};
        request.imr_multiaddr = group;
        request.imr_sourceaddr = source;
        // A failed join ends there; a leave goes on to the other sources.
        ok = setsockopt(getFd(), IPPROTO_IP, join ? IP_ADD_SOURCE_MEMBERSHIP : IP_DROP_SOURCE_MEMBERSHIP,
                        &request, sizeof(request)) == 0 &&
             ok;
        if (!ok && join) return false;
    }
    if (!mIpv4Sources.empty()) return ok;
    ip_mreq request{};
    request.imr_multiaddr = group;
    return setsockopt(getFd(), IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request,
                      sizeof(request)) == 0;
}

bool MulticastSocket::isGroup(const NetEndpoint& address) {
    if (address.family() == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address.data())->sin_addr.s_addr) >> 28) == 0xE;
    return address.family() == AF_INET6 &&
           reinterpret_cast<const sockaddr_in6*>(address.data())->sin6_addr.s6_addr[0] == 0xff;
}

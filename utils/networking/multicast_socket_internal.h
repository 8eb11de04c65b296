#ifndef QUORVANE_UTILS_NETWORKING_MULTICAST_SOCKET_INTERNAL_H
#define QUORVANE_UTILS_NETWORKING_MULTICAST_SOCKET_INTERNAL_H

#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "netsocket.h"

// Not installed. A UDP socket that receives one multicast group (IPv4 or IPv6) on one port, for as
// long as it is joined.
//
// It is bound to the group's address and port with address reuse: every socket of this host bound
// so (several clients of one camera) gets its own copy of each datagram, and datagrams to other
// groups or to a unicast address on the same port do not reach it. The join is source-specific
// for those `sources` of the group's family when there are any: the kernel then drops datagrams
// from every other sender. Without sources any sender's datagrams arrive. The interface is the
// one the route to the group takes, or for a scoped IPv6 group (ff02::1%eth0) its zone.
class MulticastSocket : public UdpSocket {
public:
    MulticastSocket(const NetEndpoint& group, const std::vector<NetEndpoint>& sources);
    ~MulticastSocket() override;
    MulticastSocket(const MulticastSocket&) = delete;
    MulticastSocket& operator=(const MulticastSocket&) = delete;

    // Bound and joined; otherwise error() holds the errno of what failed.
    bool joined() const { return isOpen() && mJoined; }
    int error() const { return mError; }
    // Leaves the group at once; another thread may be receiving meanwhile. Closing leaves it too.
    void leave();

    // Whether `address` is a multicast address: 224.0.0.0/4 or ff00::/8.
    static bool isGroup(const NetEndpoint& address);

private:
    // Joins or leaves through the family's own options: IP_ADD/DROP_SOURCE_MEMBERSHIP for each of
    // mIpv4Sources, else IP_ADD/DROP_MEMBERSHIP or IPV6_ADD/DROP_MEMBERSHIP; false when one failed.
    bool familyMembership(bool join);

    std::mutex mMutex;  // guards mJoined
    bool mJoined = false;
    NetEndpoint mGroup;
    int mError = 0;
    bool mFamilyOptions = false;        // joined by familyMembership
    std::vector<in_addr> mIpv4Sources;  // the IPv4 sources it joined, to leave each
};

#endif

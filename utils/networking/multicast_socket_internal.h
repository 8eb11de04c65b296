#ifndef QUORVANE_UTILS_NETWORKING_MULTICAST_SOCKET_INTERNAL_H
#define QUORVANE_UTILS_NETWORKING_MULTICAST_SOCKET_INTERNAL_H

#include <cstdint>
#include <mutex>
#include <vector>

#include "netsocket.h"

// Not installed. A UDP socket that receives one IPv4 multicast group on one port, for as long as it
// is joined.
//
// It is bound to the group's address and port with address reuse: every socket of this host bound
// so (several clients of one camera) gets its own copy of each datagram, and datagrams to other
// groups or to a unicast address on the same port do not reach it. The join is source-specific
// for `sources` (addresses in network order) when there are any: the kernel then drops datagrams
// from every other sender. Without sources any sender's datagrams arrive.
class MulticastSocket : public UdpSocket {
public:
    MulticastSocket(uint32_t group, uint16_t port, const std::vector<uint32_t>& sources);
    ~MulticastSocket() override;
    MulticastSocket(const MulticastSocket&) = delete;
    MulticastSocket& operator=(const MulticastSocket&) = delete;

    // Bound and joined; otherwise error() holds the errno of what failed.
    bool joined() const { return isOpen() && mJoined; }
    int error() const { return mError; }
    // Leaves the group at once; another thread may be receiving meanwhile. Closing leaves it too.
    void leave();

    // Whether `address` (network order) is an IPv4 multicast address, 224.0.0.0/4.
    static bool isGroup(uint32_t address);

private:
    std::mutex mMutex;  // guards mJoined
    bool mJoined = false;
    uint32_t mGroup;
    int mError = 0;
};

#endif

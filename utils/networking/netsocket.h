#ifndef QUORVANE_UTILS_NETWORKING_NETSOCKET_H
#define QUORVANE_UTILS_NETWORKING_NETSOCKET_H

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "../../quorvane_export.h"

// An IPv4 socket address. Its bytes are exactly those of the sockets interface's sockaddr_in, so
// the object itself is handed to bind, connect, sendto, recvfrom and accept with a length of 16.
class QUORVANE_EXPORT NetAddress {
public:
    NetAddress();
    // Any local address with the low 16 bits of `port`: the form used to bind a local port.
    explicit NetAddress(unsigned int port);
    // `ip` as a dotted quad; a malformed text gives inet_addr's all-ones address.
    NetAddress(std::string ip, unsigned int port);

    std::string getIP() const;
    unsigned int getPort() const;
    std::string toString() const;

    bool operator==(const NetAddress& other) const;
    // Orders by the stored (network byte order) address word, then the stored port word, each
    // taken as an unsigned integer: a total order for containers, not the numeric order of the
    // dotted quads on a little-endian host.
    bool operator<(const NetAddress& other) const;
    bool operator>(const NetAddress& other) const;

    uint16_t mFamily;
    uint16_t mPort;     // network byte order
    uint32_t mAddress;  // network byte order; 0 is any address
    uint8_t mZero[8];
};

// A socket address of either family: the bytes of a sockaddr_in or of a sockaddr_in6 (with the
// scope id that a link-local IPv6 address needs), handed to the sockets interface as they are.
class QUORVANE_EXPORT NetEndpoint {
public:
    // No address (family 0): matches nothing but another empty one.
    NetEndpoint();
    NetEndpoint(const NetAddress& ipv4);
    // A numeric address of either family and `port`: "192.0.2.1", "2001:db8::1", or a scoped one
    // with its zone as an interface name or number ("fe80::1%eth0", "fe80::1%2"). Names are not
    // looked up. False, leaving `out` untouched, for anything else.
    static bool parse(const std::string& ip, unsigned int port, NetEndpoint* out);
    // Any local address of `family` (AF_INET or AF_INET6) with `port`: the form used to bind.
    static NetEndpoint any(int family, unsigned int port);
    // The loopback address of `family` with `port`.
    static NetEndpoint loopback(int family, unsigned int port);

    int family() const;
    unsigned int getPort() const;
    void setPort(unsigned int port);
    // The interface an IPv6 link-local address is reached through; 0 for none (and for IPv4).
    uint32_t scopeId() const;
    void setScopeId(uint32_t scope);
    // The address as text; a scoped one with "%" and its interface's name (or number).
    std::string getIP() const;
    // "192.0.2.1:554", "[2001:db8::1]:554".
    std::string toString() const;
    // The same family and address, and for IPv6 the same scope; ports are not compared.
    bool sameHost(const NetEndpoint& other) const;
    bool operator==(const NetEndpoint& other) const;
    bool isLoopback() const;     // 127.0.0.0/8 or ::1
    bool isUnspecified() const;  // 0.0.0.0 or ::
    bool isLinkLocal() const;    // fe80::/10

    sockaddr* data() { return reinterpret_cast<sockaddr*>(mBytes); }
    const sockaddr* data() const { return reinterpret_cast<const sockaddr*>(mBytes); }
    // Bytes of the address the family uses: 16 or 28, 0 without one.
    socklen_t length() const;

    alignas(4) unsigned char mBytes[28];  // a sockaddr_in or a sockaddr_in6
};

// A view of bytes owned by someone else; it never frees them.
class QUORVANE_EXPORT NetBuffer {
public:
    NetBuffer(char* data, unsigned long length);
    // Views the characters of `s` without copying: valid only while that string lives unchanged.
    NetBuffer(std::string& s);

    char* mData;
    unsigned long mSize;
};

// One slot of a batched receive: the caller's bytes to fill, and what arrived in them.
struct NetDatagram {
    char* data = nullptr;
    unsigned long capacity = 0;
    unsigned long length = 0;  // bytes received; a datagram longer than `capacity` is cut short
    NetAddress from;
};

// The same, with a sender of either family.
struct NetEndpointDatagram {
    char* data = nullptr;
    unsigned long capacity = 0;
    unsigned long length = 0;
    NetEndpoint from;
};

// Owns one socket descriptor. Every I/O call returns -1 without a system call once the socket has
// left the open state, which another thread may cause at any time through close().
class QUORVANE_EXPORT NetSocket {
public:
    NetSocket();
    virtual ~NetSocket();
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    long receive(NetBuffer buffer);
    long send(NetBuffer buffer);
    long receiveFrom(NetBuffer buffer, NetAddress& from);
    long sendTo(NetBuffer buffer, NetAddress to);
    // Waits up to `timeoutMs` for a datagram; 0 on time-out (leaving `from` untouched), as poll
    // reports it on error, otherwise as receiveFrom.
    long receiveFromNonBlock(NetBuffer buffer, NetAddress& from, unsigned int timeoutMs);
    // The same, and 0 at once (nothing read) when `wakeFd` becomes readable: another thread ends
    // the wait by making it readable, e.g. writing to an eventfd.
    long receiveFromNonBlock(NetBuffer buffer, NetAddress& from, unsigned int timeoutMs, int wakeFd);
    // Batched form of the above: after one wait, reads with one system call as many of the queued
    // datagrams as fit in `count` slots (at most kMaxBatch), in arrival order. Returns how many
    // slots were filled; 0 on time-out or wake-up, -1 on error or a closed socket.
    static constexpr unsigned kMaxBatch = 64;
    int receiveBatchFrom(NetDatagram* datagrams, unsigned count, unsigned int timeoutMs, int wakeFd);
    // Batched receive that waits inside the receive itself, with no poll before it: blocks until a
    // datagram arrives (at most the time set by setRecvTimeoutMs), then takes what is queued behind
    // it. Returns as receiveBatchFrom; after shutdownReceive(), one empty datagram at once.
    int receiveBatchWaiting(NetDatagram* datagrams, unsigned count);
    // The same, each slot continued by `spillBytes` bytes of its own at spill + i * spillBytes (none
    // when `spill` is null), so that a datagram longer than the slot's capacity is not cut there:
    // `length` is the datagram's whole length, its first `capacity` bytes in `data` and the rest in
    // the spill. A datagram longer than capacity + spillBytes is cut short and reported with its
    // whole length, so the caller tells it by a length above that sum.
    int receiveBatchWaiting(NetDatagram* datagrams, unsigned count, char* spill, unsigned long spillBytes);
    // Takes what is queued, without waiting: 0 when nothing is. Slots and spill as above; returns
    // as receiveBatchFrom.
    int receiveBatchQueued(NetDatagram* datagrams, unsigned count, char* spill, unsigned long spillBytes);
    // The same three for a socket of either family.
    long receiveFromNonBlock(NetBuffer buffer, NetEndpoint& from, unsigned int timeoutMs, int wakeFd);
    long sendTo(NetBuffer buffer, const NetEndpoint& to);
    int receiveBatchWaiting(NetEndpointDatagram* datagrams, unsigned count, char* spill,
                            unsigned long spillBytes);
    int receiveBatchQueued(NetEndpointDatagram* datagrams, unsigned count, char* spill,
                           unsigned long spillBytes);
    // Ends a receiveBatchWaiting in another thread and every later one; the socket stays open
    // (and its descriptor allocated) until close().
    void shutdownReceive();
    bool setRecvTimeoutMs(unsigned int timeoutMs);
    void close();

    void setRecvTimeout(unsigned int seconds);
    void setSendTimeout(unsigned int seconds);
    void setReuseAddr(int on);
    // Writing to a connection the peer has closed must give EPIPE, not end the process.
    void setNoSIGPIP(int unused);

    int getFd() const { return mSocketFd.load(); }
    bool isOpen() const { return mIsOpen.load(); }
    const NetAddress& localAddress() const { return mLocalAddress; }
    const NetAddress& remoteAddress() const { return mRemoteAddress; }

protected:
    bool setTimeout(int option, unsigned int seconds);
    // Waits for a datagram or for `wakeFd` (when >= 0): 1 when one can be read, 0 on time-out or
    // wake-up, -1 when the wait failed.
    int waitReadable(unsigned int timeoutMs, int wakeFd);

    std::atomic<int> mSocketFd;
    std::atomic<bool> mIsOpen;
    NetAddress mRemoteAddress;
    NetAddress mLocalAddress;
};

class QUORVANE_EXPORT UdpSocket : public NetSocket {
public:
    UdpSocket();
    // Bound to `local` with address reuse; open only when the bind succeeded.
    UdpSocket(NetAddress local, int protocol);
    // The same, with address reuse only when `reuseAddress`: without it no other socket (of this or
    // another user) can bind the same port while this one holds it.
    UdpSocket(NetAddress local, int protocol, bool reuseAddress);
    // A socket of `local`'s family bound to it, with address reuse only when `reuseAddress`; an
    // IPv6 one takes IPv6 only (no IPv4-mapped senders). Open only when the bind succeeded;
    // localAddress() then holds the port (and, for IPv6, IPv4's any address).
    UdpSocket(const NetEndpoint& local, bool reuseAddress);

    bool bind(NetAddress local);
};

class QUORVANE_EXPORT TcpSocket : public NetSocket {
public:
    TcpSocket();
    // Wraps a connected descriptor, e.g. one returned by accept().
    TcpSocket(int descriptor, NetAddress& local, NetAddress& peer);
    // A listening server socket on `local`; open only when bind and listen succeeded.
    TcpSocket(NetAddress local, int protocol);
    ~TcpSocket() override;

    bool bind(NetAddress local);
    int connect(NetAddress remote);
    bool reset();
    std::shared_ptr<TcpSocket> accept();
    // Waits up to three minutes for one client and hands it to mAcceptCallback.
    void acceptOne();
    void acceptOneBlocked(std::function<void(std::shared_ptr<TcpSocket>)> callback);

    static std::shared_ptr<TcpSocket> Create(int descriptor, NetAddress& local, NetAddress& peer);

    std::function<void(std::shared_ptr<TcpSocket>)> mAcceptCallback;
};

#endif

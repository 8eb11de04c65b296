#include "utils/networking/netsocket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>

#include "utils/slog.h"

// The address object is passed to the sockets interface as a sockaddr_in.
static_assert(sizeof(NetAddress) == sizeof(sockaddr_in), "NetAddress must be laid out as sockaddr_in");
static_assert(offsetof(NetAddress, mFamily) == offsetof(sockaddr_in, sin_family), "family offset");
static_assert(offsetof(NetAddress, mPort) == offsetof(sockaddr_in, sin_port), "port offset");
static_assert(offsetof(NetAddress, mAddress) == offsetof(sockaddr_in, sin_addr), "address offset");
static_assert(offsetof(NetAddress, mZero) == offsetof(sockaddr_in, sin_zero), "padding offset");
static_assert(sizeof(NetEndpoint::mBytes) == sizeof(sockaddr_in6), "NetEndpoint must hold a sockaddr_in6");

namespace {
constexpr socklen_t kAddressLength = sizeof(sockaddr_in);
constexpr int kListenBacklog = 128;
constexpr int kAcceptWaitMs = 180000;

sockaddr* asSockaddr(NetAddress& a) {
    return reinterpret_cast<sockaddr*>(&a);
}
}  // namespace

NetAddress::NetAddress() : mFamily(0), mPort(0), mAddress(0) {
    memset(mZero, 0, sizeof(mZero));
}

NetAddress::NetAddress(unsigned int port) : NetAddress() {
    mFamily = AF_INET;
    mPort = htons(static_cast<uint16_t>(port & 0xFFFFu));
    mAddress = htonl(INADDR_ANY);
}

NetAddress::NetAddress(std::string ip, unsigned int port) : NetAddress(port) {
    mAddress = inet_addr(ip.c_str());
}

std::string NetAddress::getIP() const {
    char text[INET_ADDRSTRLEN] = {0};
    in_addr addr;
    addr.s_addr = mAddress;
    // inet_ntop writes the same dotted quad as inet_ntoa without its shared static buffer.
    if (inet_ntop(AF_INET, &addr, text, sizeof(text)) == nullptr) return std::string();
    return std::string(text);
}

unsigned int NetAddress::getPort() const {
    return ntohs(mPort);
}

std::string NetAddress::toString() const {
    return getIP() + ":" + std::to_string(getPort());
}

bool NetAddress::operator==(const NetAddress& other) const {
    return mAddress == other.mAddress && mPort == other.mPort;
}

bool NetAddress::operator<(const NetAddress& other) const {
    if (mAddress != other.mAddress) return mAddress < other.mAddress;
    return mPort < other.mPort;
}

bool NetAddress::operator>(const NetAddress& other) const {
    return other < *this;
}

namespace {
const sockaddr_in* asIpv4(const NetEndpoint& e) {
    return reinterpret_cast<const sockaddr_in*>(e.mBytes);
}
const sockaddr_in6* asIpv6(const NetEndpoint& e) {
    return reinterpret_cast<const sockaddr_in6*>(e.mBytes);
}
sockaddr_in6* asIpv6(NetEndpoint& e) {
    return reinterpret_cast<sockaddr_in6*>(e.mBytes);
}
}  // namespace

NetEndpoint::NetEndpoint() {
    memset(mBytes, 0, sizeof(mBytes));
}

NetEndpoint::NetEndpoint(const NetAddress& ipv4) : NetEndpoint() {
    memcpy(mBytes, &ipv4, sizeof(ipv4));
}

bool NetEndpoint::parse(const std::string& ip, unsigned int port, NetEndpoint* out) {
    if (ip.empty() || ip.size() > 255 || out == nullptr) return false;
    in_addr v4{};
    if (inet_pton(AF_INET, ip.c_str(), &v4) == 1) {
        NetAddress a(port);
        a.mAddress = v4.s_addr;
        *out = NetEndpoint(a);
        return true;
    }
    // IPv4 only as a dotted quad, not in the resolver's older forms ("1.2.3", "0x7f.1").
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    // Numeric only: a name is never looked up here. glibc takes a zone as a name or a number.
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(ip.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    bool ok = found->ai_family == AF_INET6 && found->ai_addrlen <= sizeof(out->mBytes);
    if (ok) {
        NetEndpoint e;
        memcpy(e.mBytes, found->ai_addr, found->ai_addrlen);
        e.setPort(port);
        *out = e;
    }
    freeaddrinfo(found);
    return ok;
}

NetEndpoint NetEndpoint::any(int family, unsigned int port) {
    NetEndpoint e;
    if (family == AF_INET6) {
        asIpv6(e)->sin6_family = AF_INET6;
        asIpv6(e)->sin6_addr = in6addr_any;
    } else {
        e = NetEndpoint(NetAddress(0u));
    }
    e.setPort(port);
    return e;
}

NetEndpoint NetEndpoint::loopback(int family, unsigned int port) {
    NetEndpoint e = any(family, port);
    if (family == AF_INET6)
        asIpv6(e)->sin6_addr = in6addr_loopback;
    else
        reinterpret_cast<sockaddr_in*>(e.mBytes)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return e;
}

int NetEndpoint::family() const {
    return asIpv4(*this)->sin_family;
}

unsigned int NetEndpoint::getPort() const {
    // sin_port and sin6_port lie at the same place.
    return family() == 0 ? 0 : ntohs(asIpv4(*this)->sin_port);
}

void NetEndpoint::setPort(unsigned int port) {
    if (family() != 0) reinterpret_cast<sockaddr_in*>(mBytes)->sin_port = htons(static_cast<uint16_t>(port));
}

uint32_t NetEndpoint::scopeId() const {
    return family() == AF_INET6 ? asIpv6(*this)->sin6_scope_id : 0;
}

void NetEndpoint::setScopeId(uint32_t scope) {
    if (family() == AF_INET6) asIpv6(*this)->sin6_scope_id = scope;
}

std::string NetEndpoint::getIP() const {
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 1] = {0};
    if (family() == AF_INET) {
        if (inet_ntop(AF_INET, &asIpv4(*this)->sin_addr, text, sizeof(text)) == nullptr) return std::string();
        return text;
    }
    if (family() != AF_INET6 || inet_ntop(AF_INET6, &asIpv6(*this)->sin6_addr, text, sizeof(text)) == nullptr)
        return std::string();
    std::string ip(text);
    if (scopeId() != 0) {
        char name[IF_NAMESIZE] = {0};
        ip +=
            "%" + std::string(if_indextoname(scopeId(), name) != nullptr ? name : std::to_string(scopeId()));
    }
    return ip;
}

std::string NetEndpoint::toString() const {
    const std::string ip = getIP();
    return (family() == AF_INET6 ? "[" + ip + "]" : ip) + ":" + std::to_string(getPort());
}

bool NetEndpoint::sameHost(const NetEndpoint& other) const {
    if (family() != other.family()) return false;
    if (family() == AF_INET) return asIpv4(*this)->sin_addr.s_addr == asIpv4(other)->sin_addr.s_addr;
    if (family() != AF_INET6) return true;
    return memcmp(&asIpv6(*this)->sin6_addr, &asIpv6(other)->sin6_addr, sizeof(in6_addr)) == 0 &&
           scopeId() == other.scopeId();
}

bool NetEndpoint::operator==(const NetEndpoint& other) const {
    return sameHost(other) && getPort() == other.getPort();
}

bool NetEndpoint::isLoopback() const {
    if (family() == AF_INET) return (ntohl(asIpv4(*this)->sin_addr.s_addr) >> 24) == 127;
    return family() == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&asIpv6(*this)->sin6_addr);
}

bool NetEndpoint::isUnspecified() const {
    if (family() == AF_INET) return asIpv4(*this)->sin_addr.s_addr == 0;
    return family() == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&asIpv6(*this)->sin6_addr);
}

bool NetEndpoint::isLinkLocal() const {
    return family() == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&asIpv6(*this)->sin6_addr);
}

socklen_t NetEndpoint::length() const {
    return family() == AF_INET ? sizeof(sockaddr_in) : family() == AF_INET6 ? sizeof(sockaddr_in6) : 0;
}

NetBuffer::NetBuffer(char* data, unsigned long length) : mData(data), mSize(length) {}

NetBuffer::NetBuffer(std::string& s) : mData(&s[0]), mSize(s.size()) {}

NetSocket::NetSocket() : mSocketFd(-1), mIsOpen(false) {
    setNoSIGPIP(1);
}

NetSocket::~NetSocket() {
    int fd = mSocketFd.exchange(-1);
    SLOGD("SOCKET : Closed %d \n", fd);
    mIsOpen = false;
    if (fd >= 0) ::close(fd);
}

long NetSocket::receive(NetBuffer buffer) {
    if (!mIsOpen) return -1;
    long n = ::recv(mSocketFd, buffer.mData, buffer.mSize, MSG_NOSIGNAL);
    // 0 is an orderly shutdown by the peer: the connection is over either way.
    if (n <= 0) mIsOpen = false;
    return n;
}

long NetSocket::send(NetBuffer buffer) {
    if (!mIsOpen) return -1;
    long n = ::send(mSocketFd, buffer.mData, buffer.mSize, MSG_NOSIGNAL);
    if (n < 0) mIsOpen = false;
    return n;
}

long NetSocket::receiveFrom(NetBuffer buffer, NetAddress& from) {
    if (!mIsOpen) return -1;
    mRemoteAddress = from;
    socklen_t len = kAddressLength;
    return ::recvfrom(mSocketFd, buffer.mData, buffer.mSize, 0, asSockaddr(from), &len);
}

long NetSocket::sendTo(NetBuffer buffer, NetAddress to) {
    if (!mIsOpen) return -1;
    mRemoteAddress = to;
    return ::sendto(mSocketFd, buffer.mData, buffer.mSize, 0, asSockaddr(to), kAddressLength);
}

long NetSocket::receiveFromNonBlock(NetBuffer buffer, NetAddress& from, unsigned int timeoutMs) {
    return receiveFromNonBlock(buffer, from, timeoutMs, -1);
}

int NetSocket::waitReadable(unsigned int timeoutMs, int wakeFd) {
    pollfd pfd[2];
    pfd[0].fd = mSocketFd;
    pfd[0].events = POLLIN;
    pfd[0].revents = 0;
    pfd[1].fd = wakeFd;
    pfd[1].events = POLLIN;
    pfd[1].revents = 0;
    int ready = ::poll(pfd, wakeFd >= 0 ? 2 : 1, static_cast<int>(timeoutMs));
    if (ready <= 0) return ready;
    return wakeFd >= 0 && pfd[1].revents != 0 ? 0 : 1;
}

long NetSocket::receiveFromNonBlock(NetBuffer buffer, NetAddress& from, unsigned int timeoutMs, int wakeFd) {
    if (!mIsOpen) return -1;
    int ready = waitReadable(timeoutMs, wakeFd);
    if (ready <= 0) return ready;
    return receiveFrom(buffer, from);
}

namespace {

sockaddr* senderOf(NetDatagram& d) {
    return asSockaddr(d.from);
}
socklen_t senderRoom(const NetDatagram&) {
    return kAddressLength;
}
sockaddr* senderOf(NetEndpointDatagram& d) {
    return d.from.data();
}
socklen_t senderRoom(const NetEndpointDatagram& d) {
    return sizeof(d.from.mBytes);
}

// One system call fills as many slots as datagrams are queued, waiting for the first per `flags`.
// With `whole`, lengths are the datagrams' whole ones, and slot i goes on at spill + i * spillBytes.
template <typename Datagram>
int receiveBatch(int fd, Datagram* datagrams, unsigned count, int flags, bool whole = false,
                 char* spill = nullptr, unsigned long spillBytes = 0) {
    if (count > NetSocket::kMaxBatch) count = NetSocket::kMaxBatch;
    mmsghdr messages[NetSocket::kMaxBatch];
    iovec vectors[NetSocket::kMaxBatch][2];
    const bool spilled = spill != nullptr && spillBytes > 0;
    for (unsigned i = 0; i < count; ++i) {
        vectors[i][0].iov_base = datagrams[i].data;
        vectors[i][0].iov_len = datagrams[i].capacity;
        vectors[i][1].iov_base = spilled ? spill + i * spillBytes : nullptr;
        vectors[i][1].iov_len = spilled ? spillBytes : 0;
        memset(&messages[i], 0, sizeof(messages[i]));
        messages[i].msg_hdr.msg_name = senderOf(datagrams[i]);
        messages[i].msg_hdr.msg_namelen = senderRoom(datagrams[i]);
        messages[i].msg_hdr.msg_iov = vectors[i];
        messages[i].msg_hdr.msg_iovlen = spilled ? 2 : 1;
    }
    // MSG_TRUNC makes a datagram socket report the whole length of a datagram cut short.
    int n = ::recvmmsg(fd, messages, count, flags | (whole ? MSG_TRUNC : 0), nullptr);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        unsigned long got = messages[i].msg_len;
        datagrams[i].length = whole || got < datagrams[i].capacity ? got : datagrams[i].capacity;
    }
    return n;
}

// SO_RCVTIMEO or SO_SNDTIMEO of `fd`; 0 waits without end.
bool setTimeoutMs(int fd, int option, uint64_t timeoutMs) {
    timeval tv;
    tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv)) == 0;
}

}  // namespace

int NetSocket::receiveBatchFrom(NetDatagram* datagrams, unsigned count, unsigned int timeoutMs, int wakeFd) {
    if (!mIsOpen || datagrams == nullptr || count == 0) return mIsOpen ? 0 : -1;
    int ready = waitReadable(timeoutMs, wakeFd);
    if (ready <= 0) return ready;
    if (!mIsOpen) return -1;
    // Without waiting: the poll saw the first datagram, the rest are whatever is queued behind it.
    return receiveBatch(mSocketFd, datagrams, count, MSG_DONTWAIT);
}

int NetSocket::receiveBatchWaiting(NetDatagram* datagrams, unsigned count) {
    if (!mIsOpen || datagrams == nullptr || count == 0) return mIsOpen ? 0 : -1;
    return receiveBatch(mSocketFd, datagrams, count, MSG_WAITFORONE);
}

int NetSocket::receiveBatchWaiting(NetDatagram* datagrams, unsigned count, char* spill,
                                   unsigned long spillBytes) {
    if (!mIsOpen || datagrams == nullptr || count == 0) return mIsOpen ? 0 : -1;
    return receiveBatch(mSocketFd, datagrams, count, MSG_WAITFORONE, true, spill, spillBytes);
}

int NetSocket::receiveBatchQueued(NetDatagram* datagrams, unsigned count, char* spill,
                                  unsigned long spillBytes) {
    if (!mIsOpen || datagrams == nullptr || count == 0) return mIsOpen ? 0 : -1;
    return receiveBatch(mSocketFd, datagrams, count, MSG_DONTWAIT, true, spill, spillBytes);
}

long NetSocket::receiveFromNonBlock(NetBuffer buffer, NetEndpoint& from, unsigned int timeoutMs, int wakeFd) {
    if (!mIsOpen) return -1;
    int ready = waitReadable(timeoutMs, wakeFd);
    if (ready <= 0) return ready;
    NetEndpoint sender;
    socklen_t len = sizeof(sender.mBytes);
    // Without waiting: a wake-up that finds nothing (the receive side shut) is no datagram.
    long n = ::recvfrom(mSocketFd, buffer.mData, buffer.mSize, MSG_DONTWAIT, sender.data(), &len);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    from = sender;
    return n;
}

long NetSocket::sendTo(NetBuffer buffer, const NetEndpoint& to) {
    if (!mIsOpen || to.length() == 0) return -1;
    return ::sendto(mSocketFd, buffer.mData, buffer.mSize, 0, to.data(), to.length());
}

int NetSocket::receiveBatchWaiting(NetEndpointDatagram* datagrams, unsigned count, char* spill,
                                   unsigned long spillBytes) {
    if (!mIsOpen || datagrams == nullptr || count == 0) return mIsOpen ? 0 : -1;
    return receiveBatch(mSocketFd, datagrams, count, MSG_WAITFORONE, true, spill, spillBytes);
}

int NetSocket::receiveBatchQueued(NetEndpointDatagram* datagrams, unsigned count, char* spill,
                                  unsigned long spillBytes) {
    if (!mIsOpen || datagrams == nullptr || count == 0) return mIsOpen ? 0 : -1;
    return receiveBatch(mSocketFd, datagrams, count, MSG_DONTWAIT, true, spill, spillBytes);
}

void NetSocket::shutdownReceive() {
    // On an unconnected datagram socket this fails with ENOTCONN yet still wakes the receivers.
    int fd = mSocketFd.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RD);
}

bool NetSocket::setRecvTimeoutMs(unsigned int timeoutMs) {
    return setTimeoutMs(mSocketFd, SO_RCVTIMEO, timeoutMs);
}

void NetSocket::close() {
    mIsOpen = false;
    // exchange() lets two threads close the same socket without closing the descriptor twice.
    int fd = mSocketFd.exchange(-1);
    if (fd >= 0) {
        SLOGD("socket close fd=%d\n", fd);
        ::close(fd);
    }
}

void NetSocket::setRecvTimeout(unsigned int seconds) {
    if (!setTimeout(SO_RCVTIMEO, seconds)) SLOGE("SOCKET: set receive timeout error !\n");
}

void NetSocket::setSendTimeout(unsigned int seconds) {
    if (!setTimeout(SO_SNDTIMEO, seconds)) SLOGE("SOCKET: set send timeout error !\n");
}

bool NetSocket::setTimeout(int option, unsigned int seconds) {
    return setTimeoutMs(mSocketFd, option, uint64_t{seconds} * 1000);
}

void NetSocket::setReuseAddr(int on) {
    if (setsockopt(mSocketFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        SLOGE("SOCKET: set reuse addr failed !\n");
    }
}

void NetSocket::setNoSIGPIP(int) {
    signal(SIGPIPE, SIG_IGN);
}

UdpSocket::UdpSocket() {
    mSocketFd = ::socket(AF_INET, SOCK_DGRAM, 0);
    mIsOpen = mSocketFd >= 0;
}

UdpSocket::UdpSocket(NetAddress local, int protocol) : UdpSocket(local, protocol, true) {}

UdpSocket::UdpSocket(NetAddress local, int protocol, bool reuseAddress) {
    mSocketFd = ::socket(AF_INET, SOCK_DGRAM, protocol);
    if (reuseAddress) setReuseAddr(1);
    // Only a bound socket is usable: a failed bind leaves it closed so reads fail at once.
    if (bind(local)) mIsOpen = true;
}

UdpSocket::UdpSocket(const NetEndpoint& local, bool reuseAddress) {
    const int family = local.family() == AF_INET6 ? AF_INET6 : AF_INET;
    mSocketFd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (mSocketFd < 0) {
        SLOGE("SOCKET: udp socket of family %d not made. errno=%d\n", family, errno);
        return;
    }
    if (reuseAddress) setReuseAddr(1);
    int on = 1;
    if (family == AF_INET6 && setsockopt(mSocketFd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) return;
    if (::bind(mSocketFd, local.data(), local.length()) != 0) {
        SLOGE("SOCKET: udp bind %s failed. errno=%d\n", local.toString().c_str(), errno);
        return;
    }
    mLocalAddress = NetAddress(local.getPort());
    mIsOpen = true;
}

bool UdpSocket::bind(NetAddress local) {
    if (::bind(mSocketFd, asSockaddr(local), kAddressLength) != 0) {
        SLOGE("SOCKET: udp bind socket failed. errno=%d\n", errno);
        return false;
    }
    mLocalAddress = local;
    return true;
}

TcpSocket::TcpSocket() {
    mSocketFd = ::socket(AF_INET, SOCK_STREAM, 0);
    mIsOpen = mSocketFd >= 0;
}

TcpSocket::TcpSocket(int descriptor, NetAddress& local, NetAddress& peer) {
    mSocketFd = descriptor;
    mLocalAddress = local;
    mRemoteAddress = peer;
    mIsOpen = true;
}

TcpSocket::TcpSocket(NetAddress local, int protocol) {
    mSocketFd = ::socket(AF_INET, SOCK_STREAM, protocol);
    mLocalAddress = local;
    if (bind(local)) mIsOpen = true;
}

TcpSocket::~TcpSocket() = default;

bool TcpSocket::bind(NetAddress local) {
    mLocalAddress = local;
    setReuseAddr(1);
    if (::bind(mSocketFd, asSockaddr(local), kAddressLength) != 0) {
        SLOGE("SOCKET: tcp bind %s socket failed. errno=%d\n", local.toString().c_str(), errno);
        return false;
    }
    if (::listen(mSocketFd, kListenBacklog) != 0) {
        SLOGE("SOCKET: tcp listen socket failed. errno=%d\n", errno);
        return false;
    }
    SLOGD("SOCKET: fd=%d Listening=%s\n", mSocketFd.load(), local.toString().c_str());
    return true;
}

int TcpSocket::connect(NetAddress remote) {
    return ::connect(mSocketFd, asSockaddr(remote), kAddressLength);
}

bool TcpSocket::reset() {
    close();
    mSocketFd = ::socket(AF_INET, SOCK_STREAM, 0);
    mIsOpen = true;
    return true;
}

std::shared_ptr<TcpSocket> TcpSocket::accept() {
    NetAddress peer;
    socklen_t len = kAddressLength;
    int fd = ::accept(mSocketFd, asSockaddr(peer), &len);
    if (fd < 0) {
        SLOGE("SOCKET: accept failed !\n");
        return std::shared_ptr<TcpSocket>();
    }
    SLOGD("SOCKET: New conenct accepted (fd:%d): ip: %s\n", fd, peer.toString().c_str());
    return Create(fd, mLocalAddress, peer);
}

void TcpSocket::acceptOne() {
    SLOGD("SOCKET : accepting ...\n");
    pollfd pfd;
    pfd.fd = mSocketFd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    int ready = ::poll(&pfd, 1, kAcceptWaitMs);
    if (ready < 0) {
        SLOGE("SOCKET: pollfd failed !\n");
        return;
    }
    if (ready == 0) return;
    // The socket may have been closed or reset by another thread while we waited.
    if (pfd.revents != POLLIN || pfd.fd != mSocketFd) return;
    std::shared_ptr<TcpSocket> client = accept();
    if (!client) return;
    mAcceptCallback(client);
    SLOGD("SOCKET: accept one over\n");
}

void TcpSocket::acceptOneBlocked(std::function<void(std::shared_ptr<TcpSocket>)> callback) {
    mAcceptCallback = callback;
    acceptOne();
}

std::shared_ptr<TcpSocket> TcpSocket::Create(int descriptor, NetAddress& local, NetAddress& peer) {
    return std::make_shared<TcpSocket>(descriptor, local, peer);
}

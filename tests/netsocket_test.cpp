// Addresses of either family and the UDP/TCP socket classes, on loopback.
#include "utils/networking/netsocket.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/log_capture.h"

using ::testing::HasSubstr;

namespace {

uint16_t boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

}  // namespace

TEST(NetAddress, IsASockaddrInAndPrints) {
    NetAddress a("10.0.0.1", 554);
    sockaddr_in in;
    memcpy(&in, &a, sizeof(in));
    EXPECT_EQ(in.sin_family, AF_INET);
    EXPECT_EQ(ntohs(in.sin_port), 554);
    EXPECT_EQ(in.sin_addr.s_addr, inet_addr("10.0.0.1"));
    EXPECT_EQ(a.toString(), "10.0.0.1:554");

    // Only the low 16 bits of a port are kept; a port-only address is the any address.
    NetAddress wide(65536 + 80);
    EXPECT_EQ(wide.toString(), "0.0.0.0:80");
}

// Addresses are keys of sets and maps: equal ones collapse, the port and the address both count.
TEST(NetAddress, OrdersAsAKey) {
    NetAddress a("10.0.0.1", 554), same("10.0.0.1", 554), other("10.0.0.1", 555);
    EXPECT_FALSE(a == other);
    NetAddress p256("10.0.0.1", 256), p1("10.0.0.1", 1), low("1.0.0.2", 9), high("2.0.0.1", 1);
    EXPECT_NE(p256 < p1, p1 < p256);
    EXPECT_FALSE(p1 < p1);
    EXPECT_EQ(p1 > p256, p256 < p1);
    std::set<NetAddress> set = {a, same, other, p256, p1, low, high};
    EXPECT_EQ(set.size(), 6u);
}

// Camera addresses of either family, a link-local one with its zone as a name or a number.
TEST(NetEndpoint, ParsesEitherFamilyAndZonesAndComparesHosts) {
    NetEndpoint v4, v6, zoned, numbered, unscoped;
    ASSERT_TRUE(NetEndpoint::parse("192.0.2.1", 554, &v4));
    EXPECT_TRUE(v4 == NetEndpoint(NetAddress("192.0.2.1", 554)));
    ASSERT_TRUE(NetEndpoint::parse("2001:db8::1", 8554, &v6));
    EXPECT_EQ(v6.toString(), "[2001:db8::1]:8554");
    ASSERT_TRUE(NetEndpoint::parse("fe80::1%lo", 0, &zoned));
    ASSERT_TRUE(NetEndpoint::parse("fe80::1%" + std::to_string(zoned.scopeId()), 0, &numbered));
    ASSERT_TRUE(NetEndpoint::parse("fe80::1", 0, &unscoped));
    EXPECT_EQ(zoned.getIP(), "fe80::1%lo");
    EXPECT_TRUE(zoned.sameHost(numbered));
    // The same address through another interface is another host; ports do not count.
    EXPECT_FALSE(zoned.sameHost(unscoped));
    NetEndpoint other = v6;
    other.setPort(1);
    EXPECT_TRUE(other.sameHost(v6) && !(other == v6));
    EXPECT_FALSE(v4.sameHost(NetEndpoint()));
    for (const char* bad :
         {"", "rtsp.example", "fe80::1%no-such-if", "192.0.2.1:554", "[::1]", "1.2.3", "0x7f.1"}) {
        NetEndpoint untouched = v4;
        EXPECT_FALSE(NetEndpoint::parse(bad, 1, &untouched)) << bad;
        EXPECT_TRUE(untouched == v4) << bad;
    }
}

// An IPv6 receive socket: a datagram carries its IPv6 sender, an answer goes back to it, and no
// IPv4 datagram is taken, even on its port.
TEST(UdpSocket, Ipv6SocketReceivesAndAnswersItsSenders) {
    UdpSocket receiver(NetEndpoint::any(AF_INET6, 0), false);
    UdpSocket sender(NetEndpoint::loopback(AF_INET6, 0), false), v4(NetAddress("127.0.0.1", 0), 0);
    if (!receiver.isOpen()) GTEST_SKIP() << "no IPv6 on this host";
    const NetEndpoint to = NetEndpoint::loopback(AF_INET6, boundPort(receiver.getFd()));
    v4.sendTo(NetBuffer(const_cast<char*>("v4"), 2), NetAddress("127.0.0.1", to.getPort()));
    std::string one = "one";
    ASSERT_EQ(sender.sendTo(NetBuffer(one), to), 3);
    NetEndpoint from;
    char buf[8];
    ASSERT_EQ(receiver.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), from, 2000, -1), 3);
    EXPECT_TRUE(from == NetEndpoint::loopback(AF_INET6, boundPort(sender.getFd()))) << from.toString();
    ASSERT_EQ(receiver.sendTo(NetBuffer(one), from), 3);
    ASSERT_EQ(sender.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), from, 2000, -1), 3);
    EXPECT_TRUE(from == to) << from.toString();
    EXPECT_EQ(receiver.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), from, 100, -1), 0) << "IPv4 taken";
}

TEST(UdpSocket, DatagramRoundTripAndPollTimeout) {
    UdpSocket receiver(NetAddress("127.0.0.1", 0), 0), sender;
    ASSERT_TRUE(receiver.isOpen() && sender.isOpen());

    char buf[64];
    NetAddress untouched("192.0.2.7", 1234);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receiver.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), untouched, 200), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(untouched.toString(), "192.0.2.7:1234");

    std::string msg = "rtcp-report";
    NetAddress to("127.0.0.1", boundPort(receiver.getFd()));
    EXPECT_EQ(sender.sendTo(NetBuffer(msg), to), static_cast<long>(msg.size()));
    NetAddress from;
    long n = receiver.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), from, 2000);
    ASSERT_EQ(n, static_cast<long>(msg.size()));
    EXPECT_EQ(std::string(buf, n), msg);
    EXPECT_EQ(from, NetAddress("127.0.0.1", boundPort(sender.getFd())));
    EXPECT_EQ(sender.remoteAddress(), to);
}

// The receive thread reads queued datagrams in batches: none may be lost, reordered, credited to
// the wrong sender or read past its slot.
TEST(UdpSocket, BatchedReceiveKeepsOrderSendersAndSlotBounds) {
    UdpSocket receiver(NetAddress("127.0.0.1", 0), 0), first, second;
    ASSERT_TRUE(receiver.isOpen() && first.isOpen() && second.isOpen());
    NetAddress to("127.0.0.1", boundPort(receiver.getFd()));
    const std::string texts[5] = {"a", "bb", "ccc", "dddd", std::string(40, 'e')};
    for (int i = 0; i < 5; ++i) {
        std::string text = texts[i];
        EXPECT_EQ((i % 2 == 0 ? first : second).sendTo(NetBuffer(text), to), static_cast<long>(text.size()));
    }
    char storage[4][16];
    NetDatagram slots[4];
    auto arm = [&] {
        for (int i = 0; i < 4; ++i) {
            memset(storage[i], '#', sizeof(storage[i]));
            slots[i] = NetDatagram();
            slots[i].data = storage[i];
            slots[i].capacity = 8;  // the last datagram is longer
        }
    };
    std::vector<std::string> got;
    std::vector<NetAddress> senders;
    ASSERT_TRUE(receiver.setRecvTimeoutMs(2000));
    for (int calls = 0; got.size() < 5 && calls < 5; ++calls) {
        arm();
        // Both forms, alternately: after a poll, and waiting in the receive itself.
        int n = calls % 2 == 0 ? receiver.receiveBatchFrom(slots, 4, 2000, -1)
                               : receiver.receiveBatchWaiting(slots, 4);
        ASSERT_GT(n, 0);
        for (int i = 0; i < n; ++i) {
            got.emplace_back(slots[i].data, slots[i].length);
            senders.push_back(slots[i].from);
            EXPECT_EQ(storage[i][8], '#') << "written past the slot";
        }
    }
    ASSERT_EQ(got.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(got[i], texts[i]);
    EXPECT_EQ(got[4], std::string(8, 'e'));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(senders[i], NetAddress("127.0.0.1", boundPort((i % 2 == 0 ? first : second).getFd())));

    // With a spill a datagram goes on past its slot, and one longer still shows its whole length.
    char spill[2][16];
    std::string longer(20, 'f'), longest(40, 'g');
    first.sendTo(NetBuffer(longer), to), first.sendTo(NetBuffer(longest), to);
    arm();
    for (int taken = 0; taken < 2;)
        taken += std::max(0, receiver.receiveBatchWaiting(slots + taken, 2 - taken, spill[taken], 16));
    EXPECT_EQ(std::string(slots[0].data, 8) + std::string(spill[0], 12), longer);
    EXPECT_EQ(slots[1].length, 40u) << "a datagram cut short looks whole";

    // Woken with nothing queued: nothing read; closed: an error.
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    uint64_t one = 1;
    ASSERT_EQ(write(wake, &one, sizeof(one)), 8);
    arm();
    EXPECT_EQ(receiver.receiveBatchFrom(slots, 4, 10000, wake), 0);
    close(wake);
    // Waiting in the receive: its time-out gives 0.
    ASSERT_TRUE(receiver.setRecvTimeoutMs(20));
    arm();
    EXPECT_EQ(receiver.receiveBatchWaiting(slots, 4), 0);
    receiver.close();
    EXPECT_EQ(receiver.receiveBatchFrom(slots, 4, 10, -1), -1);
    EXPECT_EQ(receiver.receiveBatchWaiting(slots, 4), -1);
}

// A receive thread that waits in the receive itself must end when another thread shuts the
// socket's receive side, long before its time-out; every later receive returns at once.
TEST(UdpSocket, ShutdownReceiveEndsAWaitInAnotherThread) {
    UdpSocket receiver(NetAddress("127.0.0.1", 0), 0);
    ASSERT_TRUE(receiver.isOpen());
    ASSERT_TRUE(receiver.setRecvTimeoutMs(60000));
    char storage[8];
    NetDatagram slot;
    slot.data = storage;
    slot.capacity = sizeof(storage);
    std::atomic<int> result{-2};
    std::atomic<unsigned long> length{99};
    std::thread waiter([&] {
        result = receiver.receiveBatchWaiting(&slot, 1);
        length = slot.length;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // most likely inside the wait by now
    const auto start = std::chrono::steady_clock::now();
    receiver.shutdownReceive();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "slept out the time-out";
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(length.load(), 0u);
    slot.length = 99;
    EXPECT_EQ(receiver.receiveBatchWaiting(&slot, 1), 1);
    EXPECT_EQ(slot.length, 0u);
}

TEST(UdpSocket, BindFailureLogsErrnoAndLeavesTheSocketClosed) {
    // Held without address reuse, so a second bind to the port fails.
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    uint16_t port = boundPort(holder);

    LogCapture log;
    UdpSocket second(NetAddress("127.0.0.1", port), 0);
    log.stop();
    EXPECT_FALSE(second.isOpen());
    EXPECT_THAT(log.err, HasSubstr("E/: (bind in netsocket.cpp:"));
    EXPECT_THAT(log.err,
                HasSubstr("SOCKET: udp bind socket failed. errno=" + std::to_string(EADDRINUSE) + "\n"));
    char buf[8];
    NetAddress from;
    EXPECT_EQ(second.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), from, 10), -1);
    close(holder);
}

TEST(NetSocket, CloseTwiceLogsOnceAndDestructorStillReports) {
    LogCapture log;
    int fd = -1;
    {
        UdpSocket s;
        fd = s.getFd();
        s.close();
        s.close();
        EXPECT_FALSE(s.isOpen());
        char buf[4];
        EXPECT_EQ(s.send(NetBuffer(buf, sizeof(buf))), -1);
    }
    log.stop();
    EXPECT_GE(fd, 0);
    EXPECT_EQ(log.outCount("socket close fd=" + std::to_string(fd) + "\n"), 1) << log.out;
    EXPECT_THAT(log.out, HasSubstr("SOCKET : Closed -1 \n"));
}

class TcpSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<TcpSocket>(NetAddress("127.0.0.1", 0), 0);
        ASSERT_TRUE(server->isOpen());
        port = boundPort(server->getFd());
    }
    std::unique_ptr<TcpSocket> server;
    uint16_t port = 0;
};

TEST_F(TcpSocketTest, AcceptOneHandsTheClientToTheCallback) {
    TcpSocket client;
    ASSERT_EQ(client.connect(NetAddress("127.0.0.1", port)), 0);
    std::shared_ptr<TcpSocket> accepted;
    server->acceptOneBlocked([&](std::shared_ptr<TcpSocket> s) { accepted = s; });
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(accepted->isOpen());
    EXPECT_EQ(accepted->remoteAddress().getPort(), boundPort(client.getFd()));

    std::string msg = "OPTIONS";
    EXPECT_EQ(client.send(NetBuffer(msg)), 7);
    char buf[16];
    EXPECT_EQ(accepted->receive(NetBuffer(buf, sizeof(buf))), 7);

    // The peer closes: receive returns 0 and the socket leaves the open state for good.
    client.close();
    EXPECT_EQ(accepted->receive(NetBuffer(buf, sizeof(buf))), 0);
    EXPECT_FALSE(accepted->isOpen());
    EXPECT_EQ(accepted->receive(NetBuffer(buf, sizeof(buf))), -1);
    EXPECT_EQ(accepted->send(NetBuffer(msg)), -1);
}

TEST_F(TcpSocketTest, AcceptOneOnAShutDownListenerAcceptsNothing) {
    // Without a client the wait lasts three minutes; a listener shut down meanwhile wakes the
    // poll with more than POLLIN, and nothing is accepted.
    shutdown(server->getFd(), SHUT_RDWR);
    bool called = false;
    server->acceptOneBlocked([&](std::shared_ptr<TcpSocket>) { called = true; });
    EXPECT_FALSE(called);
}

TEST_F(TcpSocketTest, BindToAPortInUseLogsAndStaysClosed) {
    LogCapture log;
    TcpSocket second(NetAddress("127.0.0.1", port), 0);
    log.stop();
    EXPECT_FALSE(second.isOpen());
    EXPECT_THAT(log.err, HasSubstr("SOCKET: tcp bind 127.0.0.1:" + std::to_string(port) +
                                   " socket failed. errno=" + std::to_string(EADDRINUSE) + "\n"));
}

TEST_F(TcpSocketTest, ResetReopensAClosedSocket) {
    TcpSocket client;
    client.close();
    EXPECT_FALSE(client.isOpen());
    EXPECT_TRUE(client.reset());
    EXPECT_TRUE(client.isOpen());
    EXPECT_EQ(client.connect(NetAddress("127.0.0.1", port)), 0);
    std::shared_ptr<TcpSocket> accepted = server->accept();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->localAddress(), server->localAddress());
}

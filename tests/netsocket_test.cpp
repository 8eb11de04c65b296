// IPv4 addresses and the UDP/TCP socket classes, on loopback.
#include "utils/networking/netsocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <string>

namespace {

// A UDP socket bound to a free loopback port.
struct BoundUdp {
    UdpSocket socket{NetAddress("127.0.0.1", 0), 0};
    uint16_t port() const {
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        getsockname(socket.getFd(), reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
};

uint16_t boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

}  // namespace

TEST(NetAddress, IsASockaddrInAndPrints) {
    NetAddress any;
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&any);
    for (size_t i = 0; i < sizeof(any); ++i) EXPECT_EQ(raw[i], 0) << i;

    NetAddress a("10.0.0.1", 554);
    sockaddr_in in;
    memcpy(&in, &a, sizeof(in));
    EXPECT_EQ(in.sin_family, AF_INET);
    EXPECT_EQ(ntohs(in.sin_port), 554);
    EXPECT_EQ(in.sin_addr.s_addr, inet_addr("10.0.0.1"));
    EXPECT_EQ(a.toString(), "10.0.0.1:554");
    EXPECT_EQ(a.getIP(), "10.0.0.1");

    // Only the low 16 bits of a port are kept; a port-only address is the any address.
    NetAddress wide(65536 + 80);
    EXPECT_EQ(wide.getPort(), 80u);
    EXPECT_EQ(wide.toString(), "0.0.0.0:80");
    // A malformed text gives inet_addr's all-ones result.
    EXPECT_EQ(NetAddress("not an ip", 1).getIP(), "255.255.255.255");
}

TEST(NetAddress, OrdersByStoredBytes) {
    NetAddress a("10.0.0.1", 554), same("10.0.0.1", 554), other("10.0.0.1", 555);
    EXPECT_TRUE(a == same);
    EXPECT_FALSE(a == other);
    // Ports are compared as stored, in network order: on a little-endian host port 256 (bytes
    // 01 00, the word 1) orders before port 1 (bytes 00 01, the word 256).
    NetAddress p256("10.0.0.1", 256), p1("10.0.0.1", 1);
    uint16_t stored256 = htons(256), stored1 = htons(1);
    EXPECT_EQ(p256 < p1, stored256 < stored1);
    EXPECT_EQ(p1 > p256, stored256 < stored1);
    if (htons(1) != 1) {
        EXPECT_TRUE(p256 < p1);
    }
    EXPECT_FALSE(p1 < p1);
    // The address decides before the port.
    NetAddress low("1.0.0.2", 9), high("2.0.0.1", 1);
    EXPECT_EQ(low < high, inet_addr("1.0.0.2") < inet_addr("2.0.0.1"));
    std::set<NetAddress> set = {a, same, other, p256, p1};
    EXPECT_EQ(set.size(), 4u);
}

TEST(NetBuffer, ViewsAStringWithoutCopying) {
    std::string s = "payload";
    NetBuffer view(s);
    EXPECT_EQ(view.mData, &s[0]);
    EXPECT_EQ(view.mSize, s.size());
}

TEST(UdpSocket, DatagramRoundTripAndPollTimeout) {
    BoundUdp receiver;
    ASSERT_TRUE(receiver.socket.isOpen());
    UdpSocket sender;
    ASSERT_TRUE(sender.isOpen());

    char buf[64];
    NetAddress untouched("192.0.2.7", 1234);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receiver.socket.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), untouched, 200), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(untouched.toString(), "192.0.2.7:1234");

    std::string msg = "rtcp-report";
    NetAddress to("127.0.0.1", receiver.port());
    EXPECT_EQ(sender.sendTo(NetBuffer(msg), to), static_cast<long>(msg.size()));
    NetAddress from;
    long n = receiver.socket.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), from, 2000);
    ASSERT_EQ(n, static_cast<long>(msg.size()));
    EXPECT_EQ(std::string(buf, n), msg);
    EXPECT_EQ(from.getIP(), "127.0.0.1");
    EXPECT_EQ(from.getPort(), boundPort(sender.getFd()));
    EXPECT_EQ(sender.remoteAddress(), to);
}

TEST(UdpSocket, BindFailureLogsErrnoAndLeavesTheSocketClosed) {
    // Held without address reuse, so a second bind to the port fails.
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    uint16_t port = boundPort(holder);

    testing::internal::CaptureStderr();
    UdpSocket second(NetAddress("127.0.0.1", port), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(second.isOpen());
    EXPECT_NE(err.find("E/: (bind in netsocket.cpp:"), std::string::npos) << err;
    EXPECT_NE(err.find("SOCKET: udp bind socket failed. errno=" + std::to_string(EADDRINUSE) + "\n"),
              std::string::npos)
        << err;
    char buf[8];
    NetAddress from;
    EXPECT_EQ(second.receiveFromNonBlock(NetBuffer(buf, sizeof(buf)), from, 10), -1);
    close(holder);
}

TEST(NetSocket, CloseTwiceLogsOnceAndDestructorStillReports) {
    testing::internal::CaptureStdout();
    {
        UdpSocket s;
        int fd = s.getFd();
        ASSERT_GE(fd, 0);
        s.close();
        s.close();
        EXPECT_EQ(s.getFd(), -1);
        EXPECT_FALSE(s.isOpen());
        char buf[4];
        EXPECT_EQ(s.send(NetBuffer(buf, sizeof(buf))), -1);
        std::string out = testing::internal::GetCapturedStdout();
        std::string line = "socket close fd=" + std::to_string(fd) + "\n";
        size_t first = out.find(line);
        EXPECT_NE(first, std::string::npos) << out;
        EXPECT_EQ(out.find(line, first + 1), std::string::npos) << out;
        testing::internal::CaptureStdout();
    }
    EXPECT_NE(testing::internal::GetCapturedStdout().find("SOCKET : Closed -1 \n"), std::string::npos);
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

TEST_F(TcpSocketTest, AcceptOneWithAnEmptyCallbackThrows) {
    TcpSocket client;
    ASSERT_EQ(client.connect(NetAddress("127.0.0.1", port)), 0);
    EXPECT_THROW(server->acceptOneBlocked(std::function<void(std::shared_ptr<TcpSocket>)>()),
                 std::bad_function_call);
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
    testing::internal::CaptureStderr();
    TcpSocket second(NetAddress("127.0.0.1", port), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(second.isOpen());
    EXPECT_NE(err.find("SOCKET: tcp bind 127.0.0.1:" + std::to_string(port) +
                       " socket failed. errno=" + std::to_string(EADDRINUSE) + "\n"),
              std::string::npos)
        << err;
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

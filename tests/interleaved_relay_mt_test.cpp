// The interleaved connection read by the library itself: frames go to the callback byte for byte,
// RTSP answers (and only they) reach libcurl whole, requests reach the camera, only libcurl's
// socket is let in, and a stream that is not RTSP ends the connection. End to end: a TCP client
// with the option decodes the clip while keep-alive answers pass through the same connection, and
// reconnects when the camera closes it. rtsps: the relay's TLS trusts a camera's certificate only
// by trust anchor or pin, and then delivers the clip bit-exact.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "testkit/child_process.h"
#include "testkit/tls_front.h"
#include "tests/client_test_support.h"
#include "tests/log_capture.h"
#include "tests/thread_wait.h"
#include "utils/happy_eyeballs_internal.h"
#include "utils/interleaved_relay_internal.h"

namespace {

using client_test::Bytes;
using interleaved_internal::InterleavedRelay;

Bytes frame(uint8_t channel, size_t payload, uint8_t fill) {
    Bytes f = {'$', channel, static_cast<uint8_t>(payload >> 8), static_cast<uint8_t>(payload)};
    for (size_t i = 0; i < payload; ++i) f.push_back(static_cast<uint8_t>(fill + i));
    return f;
}

void sendAll(int fd, const Bytes& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

void sendAll(int fd, const std::string& text) {
    sendAll(fd, Bytes(text.begin(), text.end()));
}

// Everything `fd` delivers until `n` bytes have come, the peer closes, or 5 s pass.
std::string readUpTo(int fd, size_t n) {
    std::string out;
    char buffer[4096];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

// A camera listening on the loopback address and the relay in front of it, with libcurl's part
// played by the test: `curl` is the socket the relay hands out, `cameraEnd` the camera's side.
struct RelayRig {
    RelayRig()
        : relay(
              [this](void* data, unsigned long length) {
                  std::lock_guard<std::mutex> lock(mutex);
                  frames.emplace_back(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + length);
              },
              2000) {
        socklen_t length = sizeof(camera);
        camera.sin_family = AF_INET;
        camera.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(listener, reinterpret_cast<sockaddr*>(&camera), length);
        ::listen(listener, 4);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&camera), &length);
    }
    // The relay connects to the camera; `target` becomes the relay's own address.
    bool open(sockaddr_in* target) {
        *target = camera;
        socklen_t length = sizeof(*target);
        curl = relay.connect(reinterpret_cast<sockaddr*>(target), &length);
        cameraEnd = curl >= 0 ? ::accept(listener, nullptr, nullptr) : -1;
        return cameraEnd >= 0 && length == sizeof(sockaddr_in);
    }
    bool connect() {
        sockaddr_in target{};
        return open(&target) && ::connect(curl, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
    }
    std::vector<Bytes> framesSoFar() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }
    ~RelayRig() {
        relay.stop();
        for (int fd : {curl, cameraEnd, listener})
            if (fd >= 0) ::close(fd);
    }

    std::mutex mutex;
    std::vector<Bytes> frames;
    InterleavedRelay relay;
    sockaddr_in camera{};
    int listener = -1;
    int curl = -1;
    int cameraEnd = -1;
};

TEST(InterleavedRelay, FramesGoToTheCallbackAnswersToLibcurlAndRequestsToTheCamera) {
    RelayRig rig;
    ASSERT_TRUE(rig.connect());
    const std::string request = "OPTIONS rtsp://127.0.0.1/live RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    sendAll(rig.curl, request);
    EXPECT_EQ(readUpTo(rig.cameraEnd, request.size()), request);

    const Bytes a = frame(0, 1400, 1);
    const Bytes b = frame(1, 65535, 7);  // the largest frame, in three pieces
    const Bytes c = frame(0, 0, 0);
    const std::string answer1 = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 7\r\n\r\n$\x01\x7f\r\n\r\n";
    const std::string answer2 = "RTSP/1.0 200 OK\ncseq: 2\ncontent-length:0\n\n";
    sendAll(rig.cameraEnd, a);
    sendAll(rig.cameraEnd, answer1.substr(0, 20));
    // The answer's body and the next frame's first bytes in one write, so one read holds both.
    Bytes bodyThenFrame(answer1.begin() + 20, answer1.end());
    bodyThenFrame.insert(bodyThenFrame.end(), b.begin(), b.begin() + 3);
    sendAll(rig.cameraEnd, bodyThenFrame);
    sendAll(rig.cameraEnd, Bytes(b.begin() + 3, b.begin() + 40000));
    sendAll(rig.cameraEnd, Bytes(b.begin() + 40000, b.end()));
    sendAll(rig.cameraEnd, answer2);
    sendAll(rig.cameraEnd, c);
    // The answers, bodies included (one that looks like a frame), and nothing else.
    EXPECT_EQ(readUpTo(rig.curl, answer1.size() + answer2.size()), answer1 + answer2);
    ASSERT_TRUE(thread_wait::waitUntil([&] { return rig.framesSoFar().size() == 3; }, 5000));
    EXPECT_EQ(rig.framesSoFar(), (std::vector<Bytes>{a, b, c}));
    EXPECT_FALSE(rig.relay.closed());

    // A server's real stream after PLAY (371 frames on channels 0 and 2), sent as it comes.
    Bytes capture;
    ASSERT_TRUE(testkit::readFile(
        std::string(QUORVANE_SOURCE_DIR) + "/tests/data/cameras/captures/retina_bunny_wowza_interleaved.rtsp",
        &capture));
    for (size_t at = 0; at < capture.size(); at += 9000)
        sendAll(rig.cameraEnd,
                Bytes(capture.begin() + at, capture.begin() + std::min(capture.size(), at + 9000)));
    ASSERT_TRUE(thread_wait::waitUntil([&] { return rig.framesSoFar().size() == 3 + 371; }, 5000));
    Bytes relayed;
    for (const Bytes& f : rig.framesSoFar()) relayed.insert(relayed.end(), f.begin(), f.end());
    relayed.erase(relayed.begin(), relayed.begin() + a.size() + b.size() + c.size());
    EXPECT_EQ(relayed, capture);

    // Bytes that are neither a frame nor RTSP: the connection ends, libcurl reads its end.
    LogCapture log;
    sendAll(rig.cameraEnd, std::string("\x01garbage"));
    sendAll(rig.cameraEnd, frame(0, 10, 0));
    EXPECT_EQ(readUpTo(rig.curl, 1), "");
    EXPECT_TRUE(thread_wait::waitUntil([&] { return rig.relay.closed(); }, 5000));
    log.stop();
    EXPECT_EQ(rig.framesSoFar().size(), 3u + 371);
    EXPECT_EQ(log.errCount("neither interleaved frames nor rtsp"), 1);
}

TEST(InterleavedRelay, OnlyLibcurlsSocketIsLetInAndARefusedCameraIsReported) {
    RelayRig rig;
    sockaddr_in target{};
    ASSERT_TRUE(rig.open(&target));
    // Another local socket gets to the relay's listener first: it is closed, unheard.
    LogCapture log;
    int stranger = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(stranger, reinterpret_cast<sockaddr*>(&target), sizeof(target)), 0);
    sendAll(stranger, std::string("RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n"));
    EXPECT_EQ(readUpTo(stranger, 1), "");
    ::close(stranger);
    ASSERT_EQ(::connect(rig.curl, reinterpret_cast<sockaddr*>(&target), sizeof(target)), 0);
    const std::string request = "GET_PARAMETER * RTSP/1.0\r\n\r\n";
    sendAll(rig.curl, request);
    EXPECT_EQ(readUpTo(rig.cameraEnd, request.size()), request);
    log.stop();
    EXPECT_EQ(log.errCount("connection from another socket refused"), 1);

    // A camera address nobody listens at (port 9: no test's camera can take it meanwhile).
    sockaddr_in closedPort = rig.camera;
    closedPort.sin_port = htons(9);
    socklen_t length = sizeof(closedPort);
    EXPECT_EQ(rig.relay.connect(reinterpret_cast<sockaddr*>(&closedPort), &length), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
}

// The frames' bytes through the relay are checked picture by picture by frame_callback_mt_test.
TEST(InterleavedRelay, TcpClientStreamsWhileKeepAlivesPassAndReconnectsWhenTheCameraCloses) {
    client_test::ScopedTimeConstants times(300, 1000, 30);
    client_test::CameraRig rig("h264_multi_slice.264", testkit::VideoCodec::H264);
    ASSERT_TRUE(rig.started);
    client_test::Collector got;
    std::mutex mutex;
    std::vector<RtspStateEvent> events;
    LogCapture streaming;
    size_t keepAlives = 0;
    {
        RtspClient client(rig.camera.url(), "", "", true, RtspClientOptions::mixedFleet());
        got.attach(client);
        client.setStateCallback([&](const RtspStateEvent& e) {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(e);
        });
        client.enable();
        const size_t perPass = client_test::callbacksPerPass(testkit::VideoCodec::H264, rig.clip);
        EXPECT_TRUE(got.waitForCount(perPass + 1, 20000)) << got.count() << " of " << perPass + 1;
        streaming.stop();
        keepAlives = rig.count("GET_PARAMETER");
        // The camera drops the connection: a new session, and video again.
        LogCapture dropped;
        const size_t before = got.count();
        rig.camera.dropConnections();
        EXPECT_TRUE(rig.camera.waitForRequests("PLAY", 2, 10000));
        EXPECT_TRUE(got.waitForCount(before + 10, 10000));
        client.disable();
    }
    EXPECT_GE(keepAlives, 5u);
    EXPECT_EQ(streaming.errCount("keepalive error"), 0) << streaming.err;
    EXPECT_EQ(got.threadNames(), std::set<std::string>{"CurlTcpRecv"});
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool closed = std::any_of(events.begin(), events.end(), [](const RtspStateEvent& e) {
            return e.state == RtspClientState::Reconnecting && e.reason == RtspClientReason::Closed;
        });
        std::string seen;
        for (const RtspStateEvent& e : events)
            seen += " " + std::to_string(static_cast<int>(e.state)) + "/" +
                    std::to_string(static_cast<int>(e.reason));
        EXPECT_TRUE(closed) << "state/reason:" << seen << "; none Reconnecting/Closed";
    }
    EXPECT_EQ(got.malformed(), 0u);
}

TEST(InterleavedRelay, RtspsDeliversTheClipOnlyFromATrustedCertificate) {
    if (!testkit::ffmpegAvailable()) GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it)";
    const std::string dir = std::string(QUORVANE_BINARY_DIR) + "/tests/tls_" + std::to_string(getpid());
    ::mkdir(dir.c_str(), 0700);
    std::string pin, why;
    if (!testkit::makeSelfSignedCertificate(dir, &pin, &why)) GTEST_SKIP() << why;
    testkit::ClipStreamerOptions fast = client_test::CameraRig::loopOptions();
    fast.fps = 100;  // the pictures are checked, not their pace
    client_test::CameraRig rig("h264_multi_slice.264", testkit::VideoCodec::H264, fast);
    testkit::TlsFront front;
    ASSERT_TRUE(rig.started && front.start(dir + "/cert.pem", dir + "/key.pem", rig.camera.port()));
    const std::string url = "rtsps://127.0.0.1:" + std::to_string(front.port()) + "/live";
    // The first Failed or Playing event of a client, and `pictures` callbacks after Playing.
    auto session = [&](RtspClientOptions options, bool tcp, client_test::Collector* got, size_t callbacks) {
        std::mutex mutex;
        std::vector<RtspStateEvent> events;
        RtspClient client(url, "", "", tcp, options);
        got->attach(client);
        client.setStateCallback([&](const RtspStateEvent& e) {
            std::lock_guard<std::mutex> lock(mutex);
            if (e.state == RtspClientState::Failed || e.state == RtspClientState::Playing)
                events.push_back(e);
        });
        client.enable();
        auto first = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return events.empty() ? RtspStateEvent() : events.front();
        };
        EXPECT_TRUE(thread_wait::waitUntil([&] { return first().state != RtspClientState::Stopped; }, 10000));
        if (first().state == RtspClientState::Playing) {
            EXPECT_TRUE(got->waitForCount(callbacks, 20000));
        }
        client.disable();
        return first();
    };
    client_test::Collector refused;
    LogCapture log;
    RtspClientOptions wrongPin;
    wrongPin.tlsPinnedPublicKey = "sha256//" + std::string(pin.size() - 8, 'A');
    for (const RtspClientOptions& options : {RtspClientOptions(), wrongPin}) {
        const RtspStateEvent e = session(options, true, &refused, 0);
        EXPECT_EQ(e.state, RtspClientState::Failed);
        EXPECT_EQ(e.reason, RtspClientReason::Certificate);
    }
    // rtsps over UDP would leave the stream unencrypted: refused before any connection.
    RtspClientOptions pinned = RtspClientOptions::mixedFleet();
    pinned.tlsPinnedPublicKey = "sha256//wrong; " + pin;
    EXPECT_EQ(session(pinned, false, &refused, 0).state, RtspClientState::Failed);
    log.stop();
    EXPECT_EQ(log.errCount("rtsps session refused"), 1) << log.err;
    EXPECT_EQ(log.errCount("is not trusted"), 2) << log.err;  // the first session, and its TEARDOWN's
    EXPECT_TRUE(rig.camera.requests().empty());
    EXPECT_EQ(refused.count(), 0u);

    // Pinned, read directly: the clip bit-exact. Trusted by CA file, read by libcurl's RECEIVE.
    client_test::Collector got, byCa;
    const size_t perPass = client_test::callbacksPerPass(testkit::VideoCodec::H264, rig.clip);
    const RtspStateEvent playing = session(pinned, true, &got, perPass + 1);
    EXPECT_EQ(playing.state, RtspClientState::Playing);
    EXPECT_TRUE(playing.path == RtspPath::Tls && !playing.ipv6);
    RtspClientOptions trusted;
    trusted.tlsCaFile = dir + "/cert.pem";
    EXPECT_EQ(session(trusted, true, &byCa, 30).state, RtspClientState::Playing);
    EXPECT_GE(byCa.count(), 30u);
    const std::vector<std::string> clip =
        client_test::decodeClip("h264_multi_slice.264", testkit::VideoCodec::H264);
    const std::vector<size_t> passes = client_test::clipPasses(
        client_test::decode(got.stream(), testkit::VideoCodec::H264, "relay_rtsps.264"), clip);
    ASSERT_FALSE(passes.empty()) << "pictures that are not the clip's";
    EXPECT_EQ(passes.front(), clip.size());
}

// A camera name with an IPv6 address that never answers and a reachable IPv4 one: the IPv4
// attempt starts a moment after the IPv6 one instead of after its time-out. The IPv6 address is
// routed to the loopback interface, where nothing answers it, inside a network namespace of this
// test's own.
TEST(InterleavedRelay, AnUnansweredIpv6AddressDoesNotHoldUpTheIpv4One) {
    const int ownNamespace = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (ownNamespace < 0 || ::unshare(CLONE_NEWNET) != 0) {
        if (ownNamespace >= 0) ::close(ownNamespace);
        GTEST_SKIP() << "no network namespace can be made here: " << strerror(errno);
    }
    auto ip = [](const std::vector<std::string>& args) {
        testkit::ChildProcess child;
        int exitCode = -1;
        std::vector<std::string> argv = {"ip"};
        argv.insert(argv.end(), args.begin(), args.end());
        return child.start(argv, "/dev/null", "/dev/null") && child.wait(5000, &exitCode) && exitCode == 0;
    };
    const bool routed =
        ip({"link", "set", "lo", "up"}) && ip({"-6", "route", "add", "2001:db8::/64", "dev", "lo"});
    RelayRig rig;  // its camera listens on 127.0.0.1 inside the namespace
    std::vector<eyeballs_internal::Address> addresses(2);
    auto* unanswered = reinterpret_cast<sockaddr_in6*>(&addresses[0].storage);
    unanswered->sin6_family = AF_INET6;
    unanswered->sin6_port = rig.camera.sin_port;
    inet_pton(AF_INET6, "2001:db8::7", &unanswered->sin6_addr);
    addresses[0].length = sizeof(sockaddr_in6);
    memcpy(&addresses[1].storage, &rig.camera, sizeof(rig.camera));
    addresses[1].length = sizeof(rig.camera);
    size_t winner = 99;
    if (routed) {
        // Alone, the IPv6 address gives nothing within 600 ms.
        const std::vector<eyeballs_internal::Address> alone(addresses.begin(), addresses.begin() + 1);
        EXPECT_EQ(eyeballs_internal::connectFirst(alone, 600, eyeballs_internal::kStaggerMs, &winner), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
        const int64_t start = Utils::getBeginTimestamp();
        const int fd =
            eyeballs_internal::connectFirst(addresses, 3000, eyeballs_internal::kStaggerMs, &winner);
        const int64_t tookMs = (Utils::getBeginTimestamp() - start) / 1000000;
        EXPECT_GE(fd, 0);
        EXPECT_EQ(winner, 1u);
        EXPECT_LT(tookMs, 1000);
        EXPECT_GE(tookMs, eyeballs_internal::kStaggerMs - 20);  // the IPv6 attempt went first
        if (fd >= 0) ::close(fd);
    }
    EXPECT_EQ(::setns(ownNamespace, CLONE_NEWNET), 0);
    ::close(ownNamespace);
    if (!routed) GTEST_SKIP() << "the namespace's loopback interface or route could not be set up (ip)";
}

}  // namespace

// Why a connection attempt failed, as the receiver unit reports it to its owner: a refused TCP
// connection, a refused login, a missing stream, and success after failures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "testkit/test_camera.h"
#include "units/unit_rtsp_client.h"

namespace {

constexpr int kCurlCouldNotConnect = 7;  // CURLE_COULDNT_CONNECT

// A loopback port nobody listens on: bound once to learn a free number, then released.
uint16_t closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

RtspConnectStatus attempt(const std::string& url, const std::string& user, const std::string& password) {
    RtspClientUnitEM unit(url, user, password, /*tcp=*/true);
    unit.enable();
    RtspConnectStatus status = unit.connectStatus();
    unit.disable();
    return status;
}

TEST(RtspConnectStatus, NothingIsReportedBeforeTheFirstAttempt) {
    RtspClientUnitEM unit("rtsp://127.0.0.1:1/live", "", "", true);
    RtspConnectStatus status = unit.connectStatus();
    EXPECT_EQ(status.attempts, 0u);
    EXPECT_FALSE(status.connected);
}

TEST(RtspConnectStatus, RefusedConnectionNamesTheSystemError) {
    RtspConnectStatus status = attempt("rtsp://127.0.0.1:" + std::to_string(closedPort()) + "/live", "", "");
    EXPECT_EQ(status.attempts, 1u);
    EXPECT_EQ(status.connections, 0u);
    EXPECT_FALSE(status.connected);
    EXPECT_EQ(status.failure.request, "OPTIONS");
    EXPECT_EQ(status.failure.curlCode, kCurlCouldNotConnect);
    EXPECT_EQ(status.failure.osErrno, ECONNREFUSED);
    EXPECT_EQ(status.failure.status, 0);
}

TEST(RtspConnectStatus, WrongPasswordIsTheDescribeStatus401NotTheTeardownAfterIt) {
    for (CameraScript::Auth auth : {CameraScript::Auth::Basic, CameraScript::Auth::Digest}) {
        CameraScript script;
        script.auth = auth;
        script.user = "admin";
        script.password = "secret";
        TestCamera camera(script);
        ASSERT_TRUE(camera.start());
        RtspConnectStatus status = attempt(camera.url(), "admin", "wrong");
        EXPECT_FALSE(status.connected);
        EXPECT_EQ(status.failure.request, "DESCRIBE");
        EXPECT_EQ(status.failure.curlCode, 0);
        EXPECT_EQ(status.failure.status, 401);
        camera.stop();
    }
}

TEST(RtspConnectStatus, MissingStreamAndSuccessAfterIt) {
    TestCamera camera;
    ASSERT_TRUE(camera.start());
    CameraReply notFound;
    notFound.status = 404;
    camera.queueReply("DESCRIBE", notFound);

    RtspClientUnitEM unit(camera.url(), "", "", true);
    unit.enable();
    RtspConnectStatus first = unit.connectStatus();
    EXPECT_FALSE(first.connected);
    EXPECT_EQ(first.failure.request, "DESCRIBE");
    EXPECT_EQ(first.failure.status, 404);

    unit.enable();
    RtspConnectStatus second = unit.connectStatus();
    EXPECT_EQ(second.attempts, 2u);
    EXPECT_EQ(second.connections, 1u);
    EXPECT_TRUE(second.connected);
    EXPECT_TRUE(second.failure.request.empty());
    unit.disable();
    camera.stop();
}

}  // namespace

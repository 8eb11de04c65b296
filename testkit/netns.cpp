#include "testkit/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "testkit/child_process.h"

namespace testkit {

namespace {

bool ip(const std::vector<std::string>& args) {
    ChildProcess child;
    int exitCode = -1;
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    return child.start(argv, "/dev/null", "/dev/null") && child.wait(5000, &exitCode) && exitCode == 0;
}

// `first` run as "ip link ...", then device `dev` up with `address`/24 and `address6`/64,
// loopback up, and the IPv4 multicast route over `dev` (IPv6 has its own once the device is up).
bool link(const char* dev, const char* address, const char* address6, std::vector<std::string> first) {
    first.insert(first.begin(), "link");
    return ip(first) && ip({"address", "add", std::string(address) + "/24", "dev", dev}) &&
           ip({"-6", "address", "add", std::string(address6) + "/64", "dev", dev, "nodad"}) &&
           ip({"link", "set", dev, "up"}) && ip({"link", "set", "lo", "up"}) &&
           ip({"route", "add", "224.0.0.0/4", "dev", dev});
}

int ownNamespace() {
    return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

}  // namespace

TwoHostNet::TwoHostNet() {
    mOwn = ownNamespace();
    if (mOwn < 0 || ::unshare(CLONE_NEWNET) != 0) {
        mWhy = std::string("no network namespace can be made here: ") + strerror(errno);
        return;
    }
    mEntered = true;
    mCamera = ownNamespace();
    if (mCamera < 0 || !ip({"link", "set", "lo", "up"}))
        mWhy = "the camera's namespace could not be set up (ip)";
}

bool TwoHostNet::viewers(pid_t cameraPid) {
    if (!mWhy.empty() || ::unshare(CLONE_NEWNET) != 0) {
        if (mWhy.empty()) mWhy = std::string("no second network namespace: ") + strerror(errno);
        return false;
    }
    const int viewers = ownNamespace();
    bool ok = viewers >= 0 &&
              link("vb", kViewerHost, kViewerHost6,
                   {"add", "vb", "type", "veth", "peer", "name", "va", "netns", std::to_string(cameraPid)});
    ok = ok && ::setns(mCamera, CLONE_NEWNET) == 0 &&
         link("va", kCameraHost, kCameraHost6, {"set", "va", "up"});
    ok = viewers >= 0 && ::setns(viewers, CLONE_NEWNET) == 0 && ok;
    if (viewers >= 0) ::close(viewers);
    if (!ok) mWhy = "the link between the namespaces could not be set up (ip)";
    return ok;
}

TwoHostNet::~TwoHostNet() {
    if (mEntered && ::setns(mOwn, CLONE_NEWNET) != 0) perror("TwoHostNet: back to the own network namespace");
    for (int fd : {mOwn, mCamera})
        if (fd >= 0) ::close(fd);
}

int groupUsers(const char* group) {
    // /proc/net/igmp: the group as the kernel prints the stored word, then its users; igmp6:
    // index, device, the group's bytes, users.
    in6_addr v6{};
    const bool ipv6 = inet_pton(AF_INET6, group, &v6) == 1;
    char hex[40] = {0};
    if (ipv6) {
        for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", v6.s6_addr[i]);
    } else {
        snprintf(hex, sizeof(hex), "%08X", inet_addr(group));
    }
    std::istringstream lines(readText(ipv6 ? "/proc/net/igmp6" : "/proc/net/igmp"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string skip, name;
        int users = 0;
        if (ipv6 && !(fields >> skip >> skip)) continue;
        if (fields >> name >> users && name == hex) return users;
    }
    return 0;
}

}  // namespace testkit

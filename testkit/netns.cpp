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

// `first` run as "ip link ...", then device `dev` up with `address`/24, loopback up, and the
// multicast route over `dev`.
bool link(const char* dev, const char* address, std::vector<std::string> first) {
    first.insert(first.begin(), "link");
    return ip(first) && ip({"address", "add", std::string(address) + "/24", "dev", dev}) &&
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
              link("vb", kViewerHost,
                   {"add", "vb", "type", "veth", "peer", "name", "va", "netns", std::to_string(cameraPid)});
    ok = ok && ::setns(mCamera, CLONE_NEWNET) == 0 && link("va", kCameraHost, {"set", "va", "up"});
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
    char hex[16];
    snprintf(hex, sizeof(hex), "%08X", inet_addr(group));  // as the kernel prints the stored word
    std::istringstream lines(readText("/proc/net/igmp"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name;
        int users = 0;
        if (fields >> name >> users && name == hex) return users;
    }
    return 0;
}

}  // namespace testkit

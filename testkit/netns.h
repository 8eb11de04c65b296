#ifndef QUORVANE_TESTKIT_NETNS_H
#define QUORVANE_TESTKIT_NETNS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace testkit {

// Two hosts joined by one link, each a network namespace of the test's own, so that no datagram
// leaves them: the camera's (10.9.9.1, fd09::1) and the viewers' (10.9.9.2, fd09::2), multicast
// routed over the link in both. The calling thread (and the threads and processes it starts
// meanwhile) is in the camera's namespace from the constructor on, in the viewers' from
// viewers() on, and back in its own at the end of the scope. why() says what failed when the
// namespaces could not be made (no privilege, no ip command): the test then skips.
class TwoHostNet {
public:
    static constexpr const char* kCameraHost = "10.9.9.1";
    static constexpr const char* kViewerHost = "10.9.9.2";
    static constexpr const char* kCameraHost6 = "fd09::1";
    static constexpr const char* kViewerHost6 = "fd09::2";

    TwoHostNet();
    ~TwoHostNet();
    TwoHostNet(const TwoHostNet&) = delete;
    TwoHostNet& operator=(const TwoHostNet&) = delete;

    // Into the viewers' namespace, linked to the camera's, where the process `cameraPid` runs.
    bool viewers(pid_t cameraPid);
    const std::string& why() const { return mWhy; }

private:
    int mOwn = -1;
    int mCamera = -1;
    bool mEntered = false;
    std::string mWhy;
};

// Sockets of the calling thread's network namespace joined to the group `group` (numeric, IPv4
// or IPv6), as /proc/net/igmp or igmp6 counts them.
int groupUsers(const char* group);

}  // namespace testkit

#endif

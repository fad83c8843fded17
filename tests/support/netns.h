// Socket tests run inside a private network namespace that the test program makes for itself at start
// (the main() below), so nothing they send can leave the machine and any port they pick is free: only
// lo, up, with multicast on and the multicast range routed to it. Threads started later inherit the
// namespace. Where it cannot be made (not root, namespaces refused) the socket tests skip with the
// reason; they never fall back to the machine's own interfaces.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <climits>

#include "support/lock_holder.h"

namespace netns {

const unsigned int kLoopback = htonl(INADDR_LOOPBACK);  // network order, as the wrappers take it
inline std::string unavailable;                         // why there is no private namespace

// The base of every test that opens a socket: skips outside the namespace and checks that lo is the
// only interface there. Sockets given to keep() are closed at the end of the test.
struct PrivateNetTest : ::testing::Test {
    void SetUp() override {
        if (!unavailable.empty()) GTEST_SKIP() << "no private network namespace: " << unavailable;
        struct if_nameindex* ifs = if_nameindex();
        EXPECT_TRUE(ifs && ifs[0].if_index && !strcmp(ifs[0].if_name, "lo") && !ifs[1].if_index)
            << "not lo alone";
        if_freenameindex(ifs);
    }
    ~PrivateNetTest() override {
        for (const int fd : fds) close(fd);
    }
    int keep(int fd) { return fds.push_back(fd), fd; }
    std::vector<int> fds;
};

// The local port (network order) a socket is bound to, 0 when it cannot be read.
inline unsigned short bound_port(int fd, sockaddr_in a = {}, socklen_t len = sizeof(sockaddr_in)) {
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? a.sin_port : 0;
}

}  // namespace netns

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (unshare(CLONE_NEWNET) != 0) {
        netns::unavailable = std::string("unshare(CLONE_NEWNET) failed (root needed): ") + strerror(errno);
    } else if (system(
                   "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo")) {
        netns::unavailable = "`ip` could not bring lo up with multicast routed to it";
    }
    return RUN_ALL_TESTS();
}

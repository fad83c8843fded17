// Socket tests run inside a private network namespace that the test program makes for itself at start
// (the main() below), so nothing they send can leave the machine and any port they pick is free: only
// lo, up, with multicast on and the multicast range routed to it. Threads started later inherit the
// namespace. Where it cannot be made (not root, namespaces refused) the socket tests skip with the
// reason; they never fall back to the machine's own interfaces.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>

#include "support/lock_holder.h"

const unsigned int kLoopback = htonl(INADDR_LOOPBACK);  // network order, as the wrappers take it
inline std::string netns_unavailable;                   // why there is no private namespace

// The base of every test that opens a socket: skips outside the namespace. The sockets live as long as
// the program (each test runs in a program of its own under CTest).
struct PrivateNetTest : ::testing::Test {
    void SetUp() override {
        if (!netns_unavailable.empty()) GTEST_SKIP() << "no private network namespace: " << netns_unavailable;
    }
};

// The local port (network order) a socket is bound to, 0 when it cannot be read.
inline unsigned short bound_port(int fd, sockaddr_in a = {}, socklen_t len = sizeof(sockaddr_in)) {
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? a.sin_port : 0;
}

// A new network namespace holds lo alone, down.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (unshare(CLONE_NEWNET) != 0 ||
        system("ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo") != 0)
        netns_unavailable = "unshare(CLONE_NEWNET) or the set-up of lo failed (root needed)";
    return RUN_ALL_TESTS();
}

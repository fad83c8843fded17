// Socket tests run inside a private network namespace that the test program makes for itself, so
// nothing they send can leave the machine and any port they pick is free. The program's main()
// re-executes itself through `unshare -n` with only the loopback interface up (multicast on, and a
// route for the multicast range); listing the tests opens no socket and needs no namespace. Where the
// namespace cannot be made (not root, namespaces refused) the socket tests skip with the reason; they
// never fall back to the machine's own interfaces.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <climits>

#include "support/child.h"
#include "support/lock_holder.h"

// The emulator that runs the program again on a cross build, given by the test's CMake settings.
#ifndef QS_EMULATOR
#define QS_EMULATOR ""
#endif

namespace netns {

const unsigned int kLoopback = htonl(INADDR_LOOPBACK);  // network order, as the wrappers take it
constexpr char kSetup[] =
    "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo";

// The base of every test that opens a socket: skips outside the namespace and checks that lo is the
// only interface there. Sockets made through keep() are closed at the end of the test.
class PrivateNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* why = getenv("QS_NO_PRIVATE_NETNS"))
            GTEST_SKIP() << "no private network namespace: " << why;
        struct if_nameindex* ifs = if_nameindex();
        EXPECT_TRUE(ifs && ifs[0].if_index && !strcmp(ifs[0].if_name, "lo") && !ifs[1].if_index)
            << "not lo alone";
        if_freenameindex(ifs);
    }
    ~PrivateNetTest() override {
        for (const int fd : fds_) close(fd);
    }
    int keep(int fd) { return fds_.push_back(fd), fd; }
    std::vector<int> fds_;
};

// The local port (network order) a socket is bound to, 0 when it cannot be read.
inline unsigned short bound_port(int fd, sockaddr_in a = {}, socklen_t len = sizeof(sockaddr_in)) {
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? a.sin_port : 0;
}

// main() of a socket test program: runs the tests here inside the namespace (or when only listing
// them), else re-executes itself inside a new one, through `emulator` on a cross build.
inline int main_in_private_netns(int argc, char** argv, const std::string& emulator) {
    std::vector<std::string> cmd = {"unshare", "-n", "sh", "-c", std::string(kSetup) + " && exec \"$@\"",
                                    "sh"};
    for (const std::string& a : emulated(emulator, {argv[0]})) cmd.push_back(a);
    bool listing = false;
    for (int i = 1; i < argc; ++i) cmd.push_back(argv[i]), listing |= cmd.back() == "--gtest_list_tests";
    ::testing::InitGoogleTest(&argc, argv);
    if (getenv("QS_PRIVATE_NETNS") != nullptr || listing) return RUN_ALL_TESTS();
    const ChildResult probe =
        run_child({"unshare", "-n", "sh", "-c", kSetup}, {}, {}, std::chrono::seconds(60));
    const std::string why =
        "`unshare -n` with `" + std::string(kSetup) + "` failed (root needed): " + probe.err;
    if (probe.exitStatus != 0) return setenv("QS_NO_PRIVATE_NETNS", why.c_str(), 1), RUN_ALL_TESTS();
    std::vector<char*> args;
    for (std::string& a : cmd) args.push_back(a.data());
    args.push_back(nullptr);
    setenv("QS_PRIVATE_NETNS", "1", 1), fflush(stdout);
    execvp(args[0], args.data());
    perror("exec unshare");
    return 1;
}

}  // namespace netns

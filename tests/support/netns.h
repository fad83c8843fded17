// Socket tests run inside a private network namespace that the test program makes for itself, so
// nothing they send can leave the machine and any port they pick is free. The program's main()
// re-executes itself through `unshare -n` with only the loopback interface up (multicast on, and
// a route for the multicast range); listing the tests opens no socket and needs no namespace.
// Where the namespace cannot be made (not root, namespaces refused) the socket tests skip; they
// never fall back to the machine's own interfaces.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/child.h"

// The emulator that runs the program again on a cross build, given by the test's CMake settings.
#ifndef QS_EMULATOR
#define QS_EMULATOR ""
#endif

namespace netns {

// 127.0.0.1 in network order, as the socket wrappers take addresses.
inline const unsigned int kLoopback = htonl(INADDR_LOOPBACK);

// Set in the environment of the program run inside the namespace.
constexpr char kInsideEnv[] = "QS_PRIVATE_NETNS";
constexpr char kSetup[] =
    "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo";

// Why the namespace could not be made; the socket tests report it when they skip.
inline std::string& unavailable_reason() {
    static std::string reason;
    return reason;
}

// True when the only network interface this process sees is the loopback.
inline bool only_loopback() {
    struct if_nameindex* ifs = if_nameindex();
    if (ifs == nullptr) return false;
    int count = 0;
    bool lo = false;
    for (const struct if_nameindex* i = ifs; i->if_index != 0; ++i) {
        ++count;
        lo = lo || strcmp(i->if_name, "lo") == 0;
    }
    if_freenameindex(ifs);
    return count == 1 && lo;
}

// Base of every test that opens a socket.
class PrivateNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (getenv(kInsideEnv) == nullptr) {
            GTEST_SKIP()
                << "socket tests run only inside a private network namespace, which could not be made "
                   "here: "
                << unavailable_reason();
        }
        ASSERT_TRUE(only_loopback()) << "the namespace shows interfaces other than lo";
    }
};

// Closes a test's socket on every path.
class ScopedFd {
public:
    explicit ScopedFd(int fd = -1) : fd_(fd) {}
    ~ScopedFd() {
        if (fd_ >= 0) close(fd_);
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// The local port (network order) a socket is bound to, 0 when it cannot be read.
inline unsigned short bound_port(int fd) {
    struct sockaddr_in a {};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len) != 0) return 0;
    return a.sin_port;
}

inline std::string self_path() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    return path;
}

// main() of a socket test program. `emulator` runs the program again on a cross build ("" on the
// host). Returns the exit status of the tests, run here or inside the namespace.
inline int main_in_private_netns(int argc, char** argv, const std::string& emulator) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    bool listing = false;
    for (const std::string& a : args) listing = listing || a == "--gtest_list_tests";
    ::testing::InitGoogleTest(&argc, argv);
    if (getenv(kInsideEnv) != nullptr || listing) return RUN_ALL_TESTS();

    const ChildResult probe =
        run_child({"unshare", "-n", "sh", "-c", kSetup}, {}, {}, std::chrono::seconds(60));
    const std::string self = self_path();
    if (!probe.started || probe.timedOut || probe.exitStatus != 0 || self.empty()) {
        std::string err = probe.err;
        while (!err.empty() && isspace(static_cast<unsigned char>(err.back()))) err.pop_back();
        unavailable_reason() = "`unshare -n` with `" + std::string(kSetup) + "` failed (root needed): " + err;
        return RUN_ALL_TESTS();  // every socket test skips
    }
    std::vector<std::string> cmd = {"unshare", "-n", "sh", "-c", std::string(kSetup) + " && exec \"$@\"",
                                    "sh"};
    for (const std::string& a : emulated(emulator, {self})) cmd.push_back(a);
    cmd.insert(cmd.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : cmd) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    (void)setenv(kInsideEnv, "1", 1);
    (void)fflush(stdout);
    (void)fflush(stderr);
    execvp(cargv[0], cargv.data());
    perror("exec unshare");
    return 1;
}

}  // namespace netns

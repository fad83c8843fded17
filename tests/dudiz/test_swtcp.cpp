// swtcp: TCP over the loopback of a private network namespace made by this program's main()
// (support/netns.h), and the single-socket select.

#include "swtcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/child.h"
#include "support/netns.h"
#include "support/waitfor.h"

namespace {

using netns::bound_port;
using netns::kLoopback;
using netns::PrivateNetTest;
using netns::ScopedFd;

bool close_on_exec(int fd) {
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// A listener on 127.0.0.1 with a port chosen by the system, and one connection accepted from it.
class TcpPair : public PrivateNetTest {
protected:
    void SetUp() override {
        PrivateNetTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        listener_.reset(sw_tcp_socket());
        ASSERT_GE(listener_.get(), 0);
        ASSERT_EQ(sw_tcp_bind(listener_.get(), kLoopback, 0), 0) << strerror(errno);
        ASSERT_EQ(sw_tcp_listen(listener_.get(), 4), 0);
        port_ = bound_port(listener_.get());
        ASSERT_NE(port_, 0);
        client_.reset(sw_tcp_socket());
        ASSERT_EQ(sw_tcp_connect(client_.get(), kLoopback, port_), 0) << strerror(errno);
        server_.reset(sw_tcp_accept(listener_.get(), &peerIp_, &peerPort_));
        ASSERT_GE(server_.get(), 0) << strerror(errno);
    }

    // Sends the text from one end and receives it whole at the other.
    static std::string pass(int from, int to, const std::string& text) {
        EXPECT_EQ(sw_tcp_send(from, text.data(), static_cast<int>(text.size())),
                  static_cast<int>(text.size()));
        std::string got;
        char buf[64];
        while (got.size() < text.size()) {
            const int n = sw_tcp_recv(to, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    ScopedFd listener_, client_, server_;
    unsigned short port_ = 0;
    unsigned int peerIp_ = 0;
    unsigned short peerPort_ = 0;
};

}  // namespace

TEST_F(PrivateNetTest, OnlyTheLoopbackInterfaceExists) {
    const ChildResult r = run_child({"ip", "-o", "link"}, {});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_EQ(line.rfind("1: lo: ", 0), 0u) << line;
    }
    EXPECT_EQ(count, 1) << r.out;
}

TEST_F(TcpPair, ExchangesDataBothWaysAndSeesTheShutdown) {
    EXPECT_EQ(peerIp_, kLoopback);
    EXPECT_EQ(peerPort_, bound_port(client_.get()));
    EXPECT_EQ(pass(client_.get(), server_.get(), "hello"), "hello");
    EXPECT_EQ(pass(server_.get(), client_.get(), std::string(3000, 'x')), std::string(3000, 'x'));
    ASSERT_EQ(sw_tcp_close(client_.release()), 0);
    char buf[8];
    EXPECT_EQ(sw_tcp_recv(server_.get(), buf, sizeof buf), 0);
}

TEST_F(TcpPair, SocketsAreCloseOnExec) {
    EXPECT_TRUE(close_on_exec(listener_.get()));
    EXPECT_TRUE(close_on_exec(client_.get()));
    EXPECT_TRUE(close_on_exec(server_.get()));
}

TEST_F(TcpPair, AcceptWithoutAddressPointers) {
    ScopedFd second(sw_tcp_socket());
    ASSERT_EQ(sw_tcp_connect(second.get(), kLoopback, port_), 0);
    ScopedFd accepted(sw_tcp_accept(listener_.get(), nullptr, nullptr));
    ASSERT_GE(accepted.get(), 0);
    EXPECT_EQ(pass(second.get(), accepted.get(), "ok"), "ok");
}

TEST_F(TcpPair, FailedAcceptLeavesTheOutputs) {
    unsigned int ip = 0xdeadbeef;
    unsigned short port = 0xbeef;
    EXPECT_LT(sw_tcp_accept(client_.get(), &ip, &port), 0);  // not a listening socket
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ip, 0xdeadbeefu);
    EXPECT_EQ(port, 0xbeef);
}

TEST_F(TcpPair, ConnectIsRefusedWhereNothingListens) {
    ScopedFd spare(sw_tcp_socket());
    ASSERT_EQ(sw_tcp_bind(spare.get(), 0, 0), 0);  // any interface, port chosen by the system
    const unsigned short unused = bound_port(spare.get());
    ScopedFd c(sw_tcp_socket());
    EXPECT_EQ(sw_tcp_connect(c.get(), kLoopback, unused), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
}

// The port is copied into the address as given: 8080 in host order on a little-endian machine
// names port 36895.
TEST_F(PrivateNetTest, PortIsUsedWithoutByteOrderConversion) {
    const unsigned short number = ntohs(8080);
    const uint16_t probe = 1;
    uint8_t firstByte = 0;
    memcpy(&firstByte, &probe, 1);
    EXPECT_EQ(number, firstByte == 1 ? 36895 : 8080);
    ScopedFd listener(socket(AF_INET, SOCK_STREAM, 0));
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(number);
    a.sin_addr.s_addr = kLoopback;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    ScopedFd c(sw_tcp_socket());
    ASSERT_EQ(sw_tcp_connect(c.get(), kLoopback, 8080), 0) << strerror(errno);
    struct sockaddr_in peer {};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(c.get(), reinterpret_cast<sockaddr*>(&peer), &len), 0);
    EXPECT_EQ(ntohs(peer.sin_port), number);
}

TEST_F(TcpPair, IoctlFillsTheWholeValue) {
    ASSERT_EQ(sw_tcp_send(client_.get(), "12345", 5), 5);
    fd_set r;
    ASSERT_EQ(sw_tcp_select(server_.get(), &r, nullptr, nullptr, 20000), 1);
    unsigned long count = ~0UL;  // a stale upper half would survive an int-sized write
    ASSERT_EQ(sw_tcp_ioctl(server_.get(), FIONREAD, &count), 0);
    EXPECT_EQ(count, 5UL);

    char buf[8];
    ASSERT_EQ(sw_tcp_recv(server_.get(), buf, sizeof buf), 5);
    unsigned long on = 1;
    ASSERT_EQ(sw_tcp_ioctl(server_.get(), FIONBIO, &on), 0);
    EXPECT_EQ(sw_tcp_recv(server_.get(), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(sw_tcp_ioctl(-1, FIONREAD, &count), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(TcpPair, NegativeLengthsAreRefused) {
    char buf[4] = "abc";
    EXPECT_EQ(sw_tcp_send(client_.get(), buf, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sw_tcp_recv(server_.get(), buf, INT_MIN), -1);
    EXPECT_EQ(errno, EINVAL);
}

namespace {

std::atomic<int> g_signals{0};
void count_signal(int) {
    g_signals.fetch_add(1);
}

// True while the thread sleeps in the kernel (state S in its stat line).
bool thread_sleeps(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t paren = all.rfind(')');
    return paren != std::string::npos && all.size() > paren + 2 && all[paren + 2] == 'S';
}

}  // namespace

// A handler installed without SA_RESTART interrupts a waiting receive; the receive goes on.
TEST_F(TcpPair, ReceiveGoesOnAcrossSignals) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::atomic<long> tid{0};
    std::atomic<int> got{-2};
    std::thread reader([&] {
        tid = syscall(SYS_gettid);
        char buf[8];
        got = sw_tcp_recv(server_.get(), buf, sizeof buf);
    });
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(wait_for([&] { return tid != 0 && thread_sleeps(tid); }));
        const int before = g_signals;
        ASSERT_EQ(pthread_kill(reader.native_handle(), SIGUSR1), 0);
        ASSERT_TRUE(wait_for([&] { return g_signals > before; }));
    }
    EXPECT_EQ(got, -2) << "the receive ended on a signal";
    ASSERT_EQ(sw_tcp_send(client_.get(), "go", 2), 2);
    reader.join();
    EXPECT_EQ(got, 2);
    (void)sigaction(SIGUSR1, &old, nullptr);
}

// ---- select ----------------------------------------------------------------------------------

TEST_F(TcpPair, SelectPollsAndReportsReadiness) {
    fd_set r, w;
    FD_ZERO(&r);
    FD_SET(listener_.get(), &r);  // previous contents are discarded
    double t0 = mono_ms();
    EXPECT_EQ(sw_tcp_select(server_.get(), &r, nullptr, nullptr, 0), 0);
    EXPECT_LT(mono_ms() - t0, 1000.0);
    EXPECT_FALSE(FD_ISSET(server_.get(), &r));
    EXPECT_FALSE(FD_ISSET(listener_.get(), &r));

    ASSERT_EQ(sw_tcp_send(client_.get(), "x", 1), 1);
    ASSERT_EQ(sw_tcp_select(server_.get(), &r, nullptr, nullptr, -1), 1);  // the byte has come
    EXPECT_EQ(sw_tcp_select(server_.get(), &r, &w, nullptr, 0), 2);        // readable and writable
    EXPECT_TRUE(FD_ISSET(server_.get(), &r));
    EXPECT_TRUE(FD_ISSET(server_.get(), &w));

    t0 = mono_ms();
    EXPECT_EQ(sw_tcp_select(listener_.get(), &r, nullptr, nullptr, 250), 0);
    EXPECT_GE(mono_ms() - t0, 249.0);
}

TEST_F(TcpPair, SelectWithoutSetsWaitsTheTimeOut) {
    const double t0 = mono_ms();
    EXPECT_EQ(sw_tcp_select(server_.get(), nullptr, nullptr, nullptr, 1500), 0);
    const double waited = mono_ms() - t0;
    EXPECT_GE(waited, 1499.0);
    EXPECT_LT(waited, 15000.0);
}

// No socket is needed: the descriptor is refused before any set is touched.
TEST(SwTcpSelect, RefusesDescriptorsAnFdSetCannotHold) {
    for (int fd : {-1, INT_MIN, FD_SETSIZE, FD_SETSIZE + 1, INT_MAX}) {
        fd_set sets[3];
        memset(sets, 0x5a, sizeof sets);
        fd_set before[3];
        memcpy(before, sets, sizeof sets);
        errno = 0;
        EXPECT_EQ(sw_tcp_select(fd, &sets[0], &sets[1], &sets[2], 0), -1) << fd;
        EXPECT_EQ(errno, EINVAL) << fd;
        EXPECT_EQ(memcmp(sets, before, sizeof sets), 0) << fd;
    }
}

int main(int argc, char** argv) {
    return netns::main_in_private_netns(argc, argv, QS_EMULATOR);
}

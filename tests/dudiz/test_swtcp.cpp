// swtcp: TCP over the loopback of a private network namespace that this program makes for itself
// (support/netns.h), and the single-socket select.
#include "swtcp.h"

#include "support/netns.h"

// A listener on 127.0.0.1 with a port chosen by the system, and one connection accepted from it.
struct SwTcp : PrivateNetTest {
    void SetUp() override {
        PrivateNetTest::SetUp();
        ASSERT_TRUE(IsSkipped() || (!sw_tcp_bind(listener, kLoopback, 0) && !sw_tcp_listen(listener, 4) &&
                                    !sw_tcp_connect(client, kLoopback, bound_port(listener)) &&
                                    (server = sw_tcp_accept(listener, &peerIp, &peerPort)) >= 0))
            << strerror(errno);
    }
    int listener = sw_tcp_socket(), client = sw_tcp_socket(), server = -1;
    unsigned int peerIp = 0;
    unsigned short peerPort = 0;
    char buf[8] = {};
};

// Data, the peer's address from accept, close-on-exec everywhere, the orderly shutdown. The
// port is copied as given: 8080 in host order names port 36895 on a little-endian machine.
TEST_F(SwTcp, ExchangesDataAndSeesTheShutdown) {
    EXPECT_TRUE(peerIp == kLoopback && peerPort == bound_port(client));
    for (const int fd : {listener, client, server}) EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
    EXPECT_TRUE(sw_tcp_send(client, "hi", 2) == 2 && sw_tcp_recv(server, buf, 8) == 2 && !strcmp(buf, "hi"));
    EXPECT_TRUE(sw_tcp_close(client) == 0 && sw_tcp_recv(server, buf, 8) == 0);
    const int s = sw_tcp_socket();
    EXPECT_TRUE(sw_tcp_bind(s, kLoopback, 8080) == 0 && bound_port(s) == 8080);
}

// A waiting receive and accept (with NULL outputs) go on across signal handlers installed without
// SA_RESTART.
TEST_F(SwTcp, AcceptAndSignals) {
    peerIp = 7, peerPort = 7;
    EXPECT_TRUE(sw_tcp_accept(client, &peerIp, &peerPort) == -1 && errno == EINVAL && peerIp == 7 &&
                peerPort == 7);
    int got = -2, second = sw_tcp_socket();
    EXPECT_TRUE(
        outlasts_signals([&] { got = sw_tcp_recv(server, buf, 8); }, [&] { sw_tcp_send(client, "go", 2); }));
    EXPECT_EQ(got, 2);
    EXPECT_TRUE(outlasts_signals([&] { got = sw_tcp_accept(listener, nullptr, nullptr); },
                                 [&] { sw_tcp_connect(second, kLoopback, bound_port(listener)); }));
    EXPECT_GE(got, 0);
}

// FIONREAD fills the whole unsigned long; FIONBIO switches on with any non-zero value (also one whose
// low 32 bits are 0) and off with 0; a NULL value goes to the system as it is. A negative length is
// refused. Select clears each set given (and then holds the socket alone); 0 polls; the sets say what is
// ready; a time-out runs out in full with all sets NULL.
TEST_F(SwTcp, IoctlSelectAndNegativeLengths) {
    fd_set r, w;
    unsigned long value = ~0UL;  // a stale upper half would survive an int-sized write
    memset(&r, 0xff, sizeof r);
    EXPECT_TRUE(sw_tcp_select(server, &r, nullptr, nullptr, 0) == 0 && !FD_ISSET(server, &r) &&
                !FD_ISSET(0, &r));
    ASSERT_TRUE(sw_tcp_send(client, "12345", 5) == 5 && sw_tcp_select(server, &r, nullptr, nullptr, -1) == 1);
    EXPECT_TRUE(sw_tcp_select(server, &r, &w, nullptr, 0) == 2 && FD_ISSET(server, &r) &&
                FD_ISSET(server, &w));
    EXPECT_TRUE(sw_tcp_ioctl(server, FIONREAD, &value) == 0 && value == 5);
    for (const unsigned long on : {1UL, 2UL, ~0UL << 16 << 16, 0UL})
        EXPECT_TRUE(!sw_tcp_ioctl(server, FIONBIO, &(value = on)) &&
                    !(fcntl(server, F_GETFL) & O_NONBLOCK) == !on)
            << on;
    EXPECT_TRUE(sw_tcp_ioctl(server, FIONREAD, nullptr) == -1 && errno == EFAULT);
    EXPECT_TRUE(sw_tcp_send(client, buf, -1) == -1 && errno == EINVAL);
    EXPECT_TRUE(sw_tcp_recv(server, buf, INT_MIN) == -1 && errno == EINVAL);
    const double t = took([&] { EXPECT_EQ(sw_tcp_select(listener, nullptr, nullptr, nullptr, 1500), 0); });
    EXPECT_TRUE(t >= 1499 && t < 15000) << t;
}

// No socket is needed: a descriptor that an fd_set cannot hold is refused before any set is touched.
TEST(SwTcpSelect, RefusesDescriptorsAnFdSetCannotHold) {
    for (const int fd : {-1, INT_MIN, FD_SETSIZE, FD_SETSIZE + 1, INT_MAX}) {
        fd_set sets[3], before[3];
        memset(sets, 0x5a, sizeof sets), memcpy(before, sets, sizeof sets);
        EXPECT_TRUE(sw_tcp_select(fd, &sets[0], &sets[1], &sets[2], 0) == -1 && errno == EINVAL) << fd;
        EXPECT_EQ(memcmp(sets, before, sizeof sets), 0) << fd;
    }
}

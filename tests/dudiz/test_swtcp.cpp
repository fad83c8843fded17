// swtcp: TCP over the loopback of a private network namespace that this program makes for itself
// (support/netns.h), and the single-socket select.
#include "swtcp.h"

#include "support/netns.h"

// A lsn on 127.0.0.1 with a port chosen by the system, and one connection accepted from it.
struct SwTcp : PrivateNetTest {
    void SetUp() override {
        PrivateNetTest::SetUp();
        ASSERT_TRUE(IsSkipped() || (!sw_tcp_bind(lsn, kLoopback, 0) && !sw_tcp_listen(lsn, 4) &&
                                    !sw_tcp_connect(cli, kLoopback, bound_port(lsn)) &&
                                    (srv = sw_tcp_accept(lsn, &peerIp, &peerPort)) >= 0))
            << strerror(errno);
    }
    int lsn = sw_tcp_socket(), cli = sw_tcp_socket(), srv = -1;
    unsigned int peerIp = 0;
    unsigned short peerPort = 0;
    char buf[8] = {};
};

// A waiting receive and accept (with NULL outputs) go on across signal handlers installed without
// SA_RESTART. Data, the peer's address from accept, close-on-exec everywhere, the orderly shutdown. The
// port is copied as given: 8080 in host order names port 36895 on a little-endian machine.
TEST_F(SwTcp, SignalsDataAddressesAndShutdown) {
    int got = -2, second = sw_tcp_socket();
    EXPECT_TRUE(
        outlasts_signals([&] { got = sw_tcp_recv(srv, buf, 8); }, [&] { sw_tcp_send(cli, "go", 2); }));
    EXPECT_EQ(got, 2);
    EXPECT_TRUE(outlasts_signals([&] { got = sw_tcp_accept(lsn, nullptr, nullptr); },
                                 [&] { sw_tcp_connect(second, kLoopback, bound_port(lsn)); }));
    EXPECT_TRUE(got >= 0 && peerIp == kLoopback && peerPort == bound_port(cli));
    for (const int fd : {lsn, cli, srv, got}) EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
    EXPECT_TRUE(sw_tcp_send(cli, "hi", 2) == 2 && sw_tcp_recv(srv, buf, 8) == 2 && !strcmp(buf, "hi"));
    EXPECT_TRUE(sw_tcp_close(cli) == 0 && sw_tcp_recv(srv, buf, 8) == 0);
    EXPECT_TRUE(sw_tcp_bind(second = sw_tcp_socket(), kLoopback, 8080) == 0 && bound_port(second) == 8080);
}

// FIONREAD fills the whole unsigned long; FIONBIO switches on with any non-zero value (also one whose
// low 32 bits are 0) and off with 0; a NULL value goes to the system as it is. A negative length is
// refused. Select clears each set given (and then holds the socket alone); 0 polls; the sets say what is
// ready; a time-out runs out in full with all sets NULL.
TEST_F(SwTcp, IoctlSelectAndNegativeLengths) {
    fd_set r, w;
    unsigned long v = ~0UL;  // a stale upper half would survive an int-sized write
    memset(&r, 0xff, sizeof r);
    EXPECT_FALSE(sw_tcp_select(srv, &r, nullptr, nullptr, 0) || FD_ISSET(srv, &r) || FD_ISSET(0, &r));
    ASSERT_TRUE(sw_tcp_send(cli, "12345", 5) == 5 && sw_tcp_select(srv, &r, nullptr, nullptr, -1) == 1);
    EXPECT_TRUE(sw_tcp_select(srv, &r, &w, nullptr, 0) == 2 && FD_ISSET(srv, &r) && FD_ISSET(srv, &w));
    EXPECT_TRUE(sw_tcp_ioctl(srv, FIONREAD, &v) == 0 && v == 5);
    for (const unsigned long on : {1UL, 2UL, ~0UL << 16 << 16, 0UL})
        EXPECT_TRUE(!sw_tcp_ioctl(srv, FIONBIO, &(v = on)) && !(fcntl(srv, F_GETFL) & O_NONBLOCK) == !on)
            << on;
    EXPECT_TRUE(sw_tcp_ioctl(srv, FIONREAD, nullptr) == -1 && errno == EFAULT);
    EXPECT_TRUE(sw_tcp_send(cli, buf, -1) == -1 && errno == EINVAL);
    EXPECT_TRUE(sw_tcp_recv(srv, buf, INT_MIN) == -1 && errno == EINVAL);
    const double t = took([&] { EXPECT_EQ(sw_tcp_select(lsn, nullptr, nullptr, nullptr, 1500), 0); });
    EXPECT_TRUE(t >= 1499 && t < 15000) << t;
}

// No socket is needed: a descriptor that an fd_set cannot hold is refused before any set is touched.
TEST(SwTcpSelect, RefusesDescriptorsAnFdSetCannotHold) {
    fd_set s[3], old[3];
    memset(s, 0x5a, sizeof s), memcpy(old, s, sizeof s);
    for (const int fd : {-1, INT_MIN, FD_SETSIZE, FD_SETSIZE + 1, INT_MAX})
        EXPECT_TRUE(sw_tcp_select(fd, s, s + 1, s + 2, 0) == -1 && errno == EINVAL &&
                    !memcmp(s, old, sizeof s))
            << fd;
}

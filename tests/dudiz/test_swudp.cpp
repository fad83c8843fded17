// swudp: datagrams and multicast membership over the loopback of a private network namespace that this
// program makes for itself (support/netns.h).
#include "swudp.h"

#include "support/netns.h"

// Two sockets with ports chosen by the system: a on 127.0.0.1, b on any interface (as a group member
// must be).
struct SwUdp : PrivateNetTest {
    void SetUp() override {
        PrivateNetTest::SetUp();
        ASSERT_TRUE(IsSkipped() || (!sw_udp_bind(a, kLoopback, 0) && !sw_udp_bind(b, 0, 0)));
    }
    int a = sw_udp_socket(), b = sw_udp_socket();
    char buf[4] = {};
    unsigned int ip = 7;
    unsigned short port = 7;
};

// A receive names the sender, also of an empty datagram, and keeps what fits; a waiting receive goes on
// across signal handlers installed without SA_RESTART; a failed receive leaves the outputs alone; a negative
// length is refused; the socket is close-on-exec. Joining sets the time-to-live to 127 and turns the socket's
// loopback on, so the member receives what it sends to its group; a second join fails with the log line, the
// cause kept in errno; a group left, or never joined, cannot be dropped.
TEST_F(SwUdp, DatagramsAndGroups) {
    int got = -2, v[2] = {0, 0};
    unsigned long on = 1;
    EXPECT_TRUE(outlasts_signals([&] { got = sw_udp_recv(b, nullptr, nullptr, buf, sizeof buf); },
                                 [&] { sw_udp_send(a, kLoopback, bound_port(b), "go", 2); }));
    EXPECT_TRUE(got == 2 && sw_udp_ioctl(b, FIONBIO, &on) == 0 && fcntl(b, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(sw_udp_recv(b, &ip, &port, buf, sizeof buf) == -1 && errno == EAGAIN && ip == 7 && port == 7);
    EXPECT_TRUE(sw_udp_send(a, kLoopback, bound_port(b), "", 0) == 0 &&
                sw_udp_recv(b, &ip, &port, buf, sizeof buf) == 0 && ip == kLoopback && port == bound_port(a));
    EXPECT_TRUE(sw_udp_send(a, kLoopback, bound_port(b), "0123456789", 10) == 10 &&
                sw_udp_recv(b, nullptr, nullptr, buf, sizeof buf) == 4 && !memcmp(buf, "0123", 4));
    EXPECT_TRUE(sw_udp_send(a, kLoopback, bound_port(b), buf, -1) == -1 && errno == EINVAL);
    EXPECT_TRUE(sw_udp_recv(b, nullptr, nullptr, buf, INT_MIN) == -1 && errno == EINVAL);
    const unsigned int group = inet_addr("239.1.2.3");
    socklen_t len[2] = {sizeof(int), sizeof(int)};
    fd_set r;
    ASSERT_EQ(setsockopt(b, IPPROTO_IP, IP_MULTICAST_LOOP, v, sizeof(int)), 0);
    StdoutCapture out;  // the log of the second join alone
    EXPECT_EQ(sw_udp_join(b, group), 0) << strerror(errno);
    EXPECT_TRUE(!getsockopt(b, IPPROTO_IP, IP_MULTICAST_TTL, v, len) &&
                !getsockopt(b, IPPROTO_IP, IP_MULTICAST_LOOP, v + 1, len + 1) && v[0] == 127 && v[1] == 1);
    EXPECT_TRUE(sw_udp_send(b, group, bound_port(b), "grp", 3) == 3 &&
                sw_udp_select(b, &r, nullptr, nullptr, 5000) == 1 &&
                sw_udp_recv(b, nullptr, &port, buf, sizeof buf) == 3 && port == bound_port(b))
        << "the member's own datagram has not come";
    EXPECT_TRUE(sw_udp_join(b, group) == -1 && errno == EADDRINUSE);
    const std::string log = out.finish();
    EXPECT_TRUE(std::regex_match(log, std::regex(".*\\[error\\] .*\\) add to one multicast group error!!\n")))
        << log;
    EXPECT_EQ(sw_udp_drop(b, group), 0);
    for (const int s : {b, a}) EXPECT_TRUE(sw_udp_drop(s, group) == -1 && errno == EADDRNOTAVAIL) << s;
}

// Only first octets 224 to 239 are groups: for other addresses join and drop return 0 without a system
// call (with descriptor -1 any call fails with EBADF).
TEST(SwUdpNoSocket, OnlyGroupsAreJoined) {
    const auto rc = [](const char* g) {
        return sw_udp_join(-1, inet_addr(g)) + sw_udp_drop(-1, inet_addr(g));
    };
    for (const char* ip : {"223.255.255.255", "240.0.0.1", "0.0.0.0"}) EXPECT_EQ(rc(ip), 0) << ip;
    for (const char* ip : {"224.0.0.0", "239.255.255.255", "230.1.0.224"}) EXPECT_EQ(rc(ip), -2) << ip;
}

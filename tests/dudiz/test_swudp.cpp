// swudp: datagrams and multicast membership over the loopback of a private network namespace that this
// program makes for itself (support/netns.h).
#include "swudp.h"

#include "support/netns.h"

using netns::bound_port;
using netns::kLoopback;

// Two sockets on 127.0.0.1 with ports chosen by the system.
struct SwUdp : netns::PrivateNetTest {
    void SetUp() override {
        PrivateNetTest::SetUp();
        for (int* s : {&a, &b})
            ASSERT_EQ(IsSkipped() ? 0 : sw_udp_bind(*s = keep(sw_udp_socket()), kLoopback, 0), 0);
    }
    int send(int from, int to, const char* text) {
        return sw_udp_send(from, kLoopback, bound_port(to), text, strlen(text));
    }
    int a = -1, b = -1;
    char buf[4] = {};
    unsigned int ip = 7;
    unsigned short port = 7;
};

// A receive names the sender, also of an empty datagram, and keeps what fits; a waiting receive goes on
// across signal handlers installed without SA_RESTART; a failed receive leaves the outputs alone; a
// negative length is refused; the socket is close-on-exec.
TEST_F(SwUdp, DatagramsNameTheirSender) {
    int got = -2;
    unsigned long on = 1;
    EXPECT_TRUE(outlasts_signals([&] { got = sw_udp_recv(b, nullptr, nullptr, buf, sizeof buf); },
                                 [&] { send(a, b, "go"); }));
    EXPECT_TRUE(got == 2 && sw_udp_ioctl(b, FIONBIO, &on) == 0 && fcntl(b, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(sw_udp_recv(b, &ip, &port, buf, sizeof buf) == -1 && errno == EAGAIN && ip == 7 && port == 7);
    for (const std::string text : {"ping", "", "0123456789"}) {
        ASSERT_EQ(send(a, b, text.c_str()), static_cast<int>(text.size()));
        EXPECT_EQ(sw_udp_recv(b, &ip, &port, buf, sizeof buf), std::min<int>(text.size(), 4)) << text;
        EXPECT_TRUE(!text.compare(0, 4, buf, std::min<size_t>(text.size(), 4)) && ip == kLoopback &&
                    port == bound_port(a));
    }
    EXPECT_TRUE(sw_udp_send(a, kLoopback, bound_port(b), buf, -1) == -1 && errno == EINVAL);
    EXPECT_TRUE(sw_udp_recv(b, nullptr, nullptr, buf, INT_MIN) == -1 && errno == EINVAL);
}

// Joining sets the time-to-live to 127 and turns the socket's loopback on, so the member receives what
// it sends to its group; a second join fails with the log line, the cause kept in errno; a group left,
// or never joined, cannot be dropped.
TEST_F(SwUdp, JoinAndDrop) {
    const unsigned int group = inet_addr("239.1.2.3");
    const int m = keep(sw_udp_socket());  // bound to any interface, as a group member must be
    unsigned char loop = 0;
    int ttl = 0;
    socklen_t len = sizeof ttl;
    ASSERT_TRUE(sw_udp_bind(m, 0, 0) == 0 && setsockopt(m, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, 1) == 0);
    StdoutCapture quiet;
    EXPECT_EQ(sw_udp_join(m, group), 0) << strerror(errno);
    EXPECT_EQ(quiet.finish(), "");
    EXPECT_TRUE(getsockopt(m, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len) == 0 && ttl == 127);
    EXPECT_TRUE(getsockopt(m, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, &(len = 1)) == 0 && loop == 1);
    fd_set r;
    ASSERT_EQ(sw_udp_send(m, group, bound_port(m), "grp", 3), 3);
    ASSERT_EQ(sw_udp_select(m, &r, nullptr, nullptr, 5000), 1) << "the member's own datagram has not come";
    EXPECT_TRUE(sw_udp_recv(m, nullptr, &port, buf, sizeof buf) == 3 && port == bound_port(m));
    StdoutCapture out;
    EXPECT_TRUE(sw_udp_join(m, group) == -1 && errno == EADDRINUSE);
    const std::string log = out.finish();
    EXPECT_TRUE(log.find("] [error] (dudiz/swudp.cpp:") < log.find(") add to one multicast group error!!\n"))
        << log;
    EXPECT_EQ(sw_udp_drop(m, group), 0);
    for (const int s : {m, a}) EXPECT_TRUE(sw_udp_drop(s, group) == -1 && errno == EADDRNOTAVAIL) << s;
}

// Only first octets 224 to 239 are groups: for other addresses join and drop return 0 without a system
// call (with descriptor -1 any call fails with EBADF).
TEST(SwUdpNoSocket, OnlyGroupsAreJoined) {
    for (const char* ip : {"223.255.255.255", "240.0.0.1", "0.0.0.0", "255.255.255.255"})
        EXPECT_TRUE(sw_udp_join(-1, inet_addr(ip)) == 0 && sw_udp_drop(-1, inet_addr(ip)) == 0) << ip;
    for (const char* ip : {"224.0.0.0", "239.255.255.255", "230.1.0.224"})
        EXPECT_TRUE(sw_udp_join(-1, inet_addr(ip)) == -1 && errno == EBADF &&
                    sw_udp_drop(-1, inet_addr(ip)) == -1)
            << ip;
}

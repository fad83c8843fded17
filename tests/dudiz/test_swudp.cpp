// swudp: datagrams and multicast membership over the loopback of a private network namespace made
// by this program's main() (support/netns.h), and the single-socket select.

#include "swudp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "support/netns.h"
#include "support/stdout_capture.h"
#include "support/waitfor.h"

namespace {

using netns::bound_port;
using netns::kLoopback;
using netns::PrivateNetTest;
using netns::ScopedFd;
const unsigned int kGroup = inet_addr("239.1.2.3");
constexpr int kWaitMs = 20000;  // bounds a wait for a datagram that should come at once

// Two sockets on 127.0.0.1 with ports chosen by the system.
class UdpPair : public PrivateNetTest {
protected:
    void SetUp() override {
        PrivateNetTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (ScopedFd* s : {&a_, &b_}) {
            s->reset(sw_udp_socket());
            ASSERT_GE(s->get(), 0);
            ASSERT_TRUE((fcntl(s->get(), F_GETFD) & FD_CLOEXEC) != 0);
            ASSERT_EQ(sw_udp_bind(s->get(), kLoopback, 0), 0) << strerror(errno);
        }
    }
    bool readable(int fd) {
        fd_set r;
        return sw_udp_select(fd, &r, nullptr, nullptr, kWaitMs) == 1 && FD_ISSET(fd, &r);
    }
    ScopedFd a_, b_;
};

}  // namespace

TEST_F(UdpPair, ReceiveNamesTheSender) {
    ASSERT_EQ(sw_udp_send(a_.get(), kLoopback, bound_port(b_.get()), "ping", 4), 4);
    char buf[16] = {};
    unsigned int ip = 0;
    unsigned short port = 0;
    ASSERT_EQ(sw_udp_recv(b_.get(), &ip, &port, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(ip, kLoopback);
    EXPECT_EQ(port, bound_port(a_.get()));

    ASSERT_EQ(sw_udp_send(b_.get(), kLoopback, bound_port(a_.get()), "pong!", 5), 5);
    EXPECT_EQ(sw_udp_recv(a_.get(), nullptr, nullptr, buf, sizeof buf), 5);
}

TEST_F(UdpPair, EmptyAndCutDatagrams) {
    ASSERT_EQ(sw_udp_send(a_.get(), kLoopback, bound_port(b_.get()), "", 0), 0);
    unsigned int ip = 0;
    unsigned short port = 0;
    char buf[4];
    EXPECT_EQ(sw_udp_recv(b_.get(), &ip, &port, buf, sizeof buf), 0);
    EXPECT_EQ(port, bound_port(a_.get())) << "an empty datagram still names its sender";
    EXPECT_EQ(ip, kLoopback);

    ASSERT_EQ(sw_udp_send(a_.get(), kLoopback, bound_port(b_.get()), "0123456789", 10), 10);
    EXPECT_EQ(sw_udp_recv(b_.get(), nullptr, nullptr, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(sw_udp_send(a_.get(), kLoopback, bound_port(b_.get()), buf, -1), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(UdpPair, FailedReceiveLeavesTheOutputs) {
    unsigned long on = 1;
    ASSERT_EQ(sw_udp_ioctl(b_.get(), FIONBIO, &on), 0);
    unsigned int ip = 0xdeadbeef;
    unsigned short port = 0xbeef;
    char buf[4];
    EXPECT_EQ(sw_udp_recv(b_.get(), &ip, &port, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(ip, 0xdeadbeefu);
    EXPECT_EQ(port, 0xbeef);
}

TEST_F(UdpPair, SelectPollsForAPendingDatagram) {
    fd_set r;
    const double t0 = mono_ms();
    EXPECT_EQ(sw_udp_select(b_.get(), &r, nullptr, nullptr, 0), 0);
    EXPECT_LT(mono_ms() - t0, 1000.0);
    EXPECT_FALSE(FD_ISSET(b_.get(), &r));

    ASSERT_EQ(sw_udp_send(a_.get(), kLoopback, bound_port(b_.get()), "x", 1), 1);
    ASSERT_TRUE(readable(b_.get()));
    FD_ZERO(&r);
    EXPECT_EQ(sw_udp_select(b_.get(), &r, nullptr, nullptr, 0), 1);
    EXPECT_TRUE(FD_ISSET(b_.get(), &r));
    unsigned long pending = 0;
    EXPECT_EQ(sw_udp_ioctl(b_.get(), FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 1UL);
}

// Joining turns the socket's own loopback on, so the member that sends to its group receives it.
TEST_F(UdpPair, JoinSetsTtlAndLoopbackAndTheMemberReceives) {
    ScopedFd m(sw_udp_socket());
    ASSERT_EQ(sw_udp_bind(m.get(), 0, 0), 0);
    const unsigned char off = 0;
    ASSERT_EQ(setsockopt(m.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off), 0);
    StdoutCapture out;
    EXPECT_EQ(sw_udp_join(m.get(), kGroup), 0) << strerror(errno);
    EXPECT_EQ(out.finish(), "");
    int ttl = 0;
    unsigned char loop = 0;
    socklen_t len = sizeof ttl;
    ASSERT_EQ(getsockopt(m.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len), 0);
    EXPECT_EQ(ttl, 127);
    len = sizeof loop;
    ASSERT_EQ(getsockopt(m.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, &len), 0);
    EXPECT_EQ(loop, 1);

    const unsigned short port = bound_port(m.get());
    ASSERT_EQ(sw_udp_send(m.get(), kGroup, port, "group", 5), 5);
    ASSERT_TRUE(readable(m.get()));
    char buf[8];
    unsigned short from = 0;
    EXPECT_EQ(sw_udp_recv(m.get(), nullptr, &from, buf, sizeof buf), 5);
    EXPECT_EQ(from, port);

    EXPECT_EQ(sw_udp_drop(m.get(), kGroup), 0);
    EXPECT_EQ(sw_udp_drop(m.get(), kGroup), -1) << "dropped twice";
}

TEST_F(UdpPair, SecondJoinFailsWithTheMessage) {
    ASSERT_EQ(sw_udp_join(a_.get(), kGroup), 0);
    StdoutCapture out;
    errno = 0;
    EXPECT_EQ(sw_udp_join(a_.get(), kGroup), -1);
    EXPECT_EQ(errno, EADDRINUSE) << "the cause survives the logging";
    const std::string log = out.finish();
    EXPECT_NE(log.find("[error] (dudiz/swudp.cpp:"), std::string::npos) << log;
    EXPECT_NE(log.find(") add to one multicast group error!!\n"), std::string::npos) << log;
}

TEST_F(UdpPair, DropOfAGroupNeverJoinedFails) {
    EXPECT_EQ(sw_udp_drop(a_.get(), kGroup), -1);
    EXPECT_EQ(errno, EADDRNOTAVAIL);
}

// With descriptor -1 any system call fails (EBADF), so a 0 shows that none was made. Opens no
// socket.
TEST(SwUdpMulticast, OnlyFirstOctets224To239AreGroups) {
    const struct {
        const char* ip;
        bool group;
    } cases[] = {
        {"192.168.1.10", false},   {"223.255.255.255", false}, {"240.0.0.1", false},
        {"0.0.0.0", false},        {"255.255.255.255", false}, {"224.0.0.0", true},
        {"239.255.255.255", true}, {"230.1.0.224", true},
    };
    for (const auto& c : cases) {
        const unsigned int ip = inet_addr(c.ip);
        StdoutCapture out;
        EXPECT_EQ(sw_udp_join(-1, ip), c.group ? -1 : 0) << c.ip;
        const std::string log = out.finish();
        EXPECT_EQ(log.find("add to one multicast group error!!") != std::string::npos, c.group)
            << c.ip << log;
        errno = 0;
        EXPECT_EQ(sw_udp_drop(-1, ip), c.group ? -1 : 0) << c.ip;
        EXPECT_EQ(errno, c.group ? EBADF : 0) << c.ip;
    }
}

TEST(SwUdpSelect, RefusesDescriptorsAnFdSetCannotHold) {
    for (int fd : {-1, FD_SETSIZE}) {
        fd_set r;
        memset(&r, 0xa5, sizeof r);
        const fd_set before = r;
        EXPECT_EQ(sw_udp_select(fd, &r, nullptr, nullptr, 0), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(memcmp(&r, &before, sizeof r), 0);
    }
}

int main(int argc, char** argv) {
    return netns::main_in_private_netns(argc, argv, QS_EMULATOR);
}

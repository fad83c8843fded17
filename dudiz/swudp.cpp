// IPv4 UDP wrappers and multicast membership. Descriptor-only calls (close, bind, ioctl, select)
// are the TCP module's, which are not specific to the protocol.
// Not noexcept: sendto, recvfrom and select are cancellation points.
#include "swudp.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "internal/swsock.h"
#include "swlog.h"
#include "swtcp.h"

namespace {

bool is_multicast(unsigned int ip) {
    // The first octet is the lowest-addressed byte of the network-order value, on any host.
    const auto first = reinterpret_cast<const unsigned char*>(&ip)[0];
    return first >= 224 && first <= 239;
}

ip_mreq membership(unsigned int group) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = group;
    m.imr_interface.s_addr = INADDR_ANY;  // the interface the group's route names
    return m;
}

}  // namespace

extern "C" int sw_udp_socket(void) {
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

extern "C" int sw_udp_close(int skt) {
    return sw_tcp_close(skt);
}

extern "C" int sw_udp_bind(int skt, unsigned int ip, unsigned short port) {
    return sw_tcp_bind(skt, ip, port);
}

extern "C" int sw_udp_join(int skt, unsigned int ip) {
    if (!is_multicast(ip)) return 0;
    const ip_mreq m = membership(ip);
    if (setsockopt(skt, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
        const int cause = errno;
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "add to one multicast group error!!");
        errno = cause;
        return -1;
    }
    // The membership stands; the options below only shape what this socket sends.
    const int saved = errno;
    const int ttl = 127;
    if (setsockopt(skt, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        sw_log_writeWithLevel(LEVEL_WARN, __FILE__, __LINE__, "set multicast ttl args fail!");
    }
    const unsigned char loop = 1;
    if (setsockopt(skt, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        sw_log_writeWithLevel(LEVEL_WARN, __FILE__, __LINE__, "set multicast loopback args fail!");
    }
    errno = saved;
    return 0;
}

extern "C" int sw_udp_drop(int skt, unsigned int ip) {
    if (!is_multicast(ip)) return 0;
    const ip_mreq m = membership(ip);
    return setsockopt(skt, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m);
}

extern "C" int sw_udp_send(int skt, unsigned int ip, unsigned short port, const char* buf, int send_len) {
    if (dudiz::refuse_negative_length(send_len)) return -1;
    const sockaddr_in a = dudiz::inet_address(ip, port);
    return static_cast<int>(dudiz::restart_on_eintr([&] {
        return sendto(skt, buf, static_cast<size_t>(send_len), 0, reinterpret_cast<const sockaddr*>(&a),
                      sizeof a);
    }));
}

extern "C" int sw_udp_recv(int skt, unsigned int* ip, unsigned short* port, char* buf, int buf_size) {
    if (dudiz::refuse_negative_length(buf_size)) return -1;
    sockaddr_in a = dudiz::inet_address(0, 0);
    socklen_t len = sizeof a;
    const auto n = dudiz::restart_on_eintr([&] {
        return recvfrom(skt, buf, static_cast<size_t>(buf_size), 0, reinterpret_cast<sockaddr*>(&a), &len);
    });
    if (n >= 0) dudiz::store_inet_address(a, ip, port);
    return static_cast<int>(n);
}

extern "C" int sw_udp_ioctl(int skt, int type, unsigned long* val) {
    return sw_tcp_ioctl(skt, type, val);
}

extern "C" int sw_udp_select(int skt, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, int timeout) {
    return sw_tcp_select(skt, readfds, writefds, exceptfds, timeout);
}

// IPv4 TCP wrappers: the system calls one to one, plus address packing and the select time-out.
// Not noexcept: accept, connect, send, recv and select are cancellation points, and glibc's
// cancellation unwinds through them.
#include "swtcp.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "internal/swsock.h"

namespace {

// Requests whose argument is an int; passed through an int so that a wider unsigned long is
// written whole (FIONREAD would otherwise fill only its low half on a 64-bit host).
bool takes_int(unsigned long request) {
    return request == FIONREAD || request == FIONBIO || request == SIOCOUTQ || request == SIOCATMARK;
}

}  // namespace

extern "C" int sw_tcp_socket(void) {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

extern "C" int sw_tcp_close(int skt) {
    return close(skt);
}

extern "C" int sw_tcp_connect(int skt, unsigned int ip, unsigned short port) {
    const sockaddr_in a = dudiz::inet_address(ip, port);
    return connect(skt, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

extern "C" int sw_tcp_bind(int skt, unsigned int ip, unsigned short port) {
    const sockaddr_in a = dudiz::inet_address(ip, port);
    return bind(skt, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

extern "C" int sw_tcp_listen(int skt, int max) {
    return listen(skt, max);
}

extern "C" int sw_tcp_accept(int skt, unsigned int* ip, unsigned short* port) {
    sockaddr_in a = dudiz::inet_address(0, 0);
    socklen_t len = sizeof a;
    const int s = dudiz::restart_on_eintr(
        [&] { return accept4(skt, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC); });
    if (s >= 0) dudiz::store_inet_address(a, ip, port);
    return s;
}

extern "C" int sw_tcp_send(int skt, const char* buf, int send_len) {
    if (dudiz::refuse_negative_length(send_len)) return -1;
    return static_cast<int>(
        dudiz::restart_on_eintr([&] { return send(skt, buf, static_cast<size_t>(send_len), 0); }));
}

extern "C" int sw_tcp_recv(int skt, char* buf, int buf_size) {
    if (dudiz::refuse_negative_length(buf_size)) return -1;
    return static_cast<int>(
        dudiz::restart_on_eintr([&] { return recv(skt, buf, static_cast<size_t>(buf_size), 0); }));
}

extern "C" int sw_tcp_ioctl(int skt, int type, unsigned long* val) {
    // Through unsigned int, so that a request number with its top bit set is not sign-extended.
    const unsigned long request = static_cast<unsigned int>(type);
    if (val == nullptr || !takes_int(request)) return ioctl(skt, request, val);
    int v = request == FIONBIO ? (*val != 0 ? 1 : 0) : static_cast<int>(*val);  // any non-zero is "on"
    const int r = ioctl(skt, request, &v);
    if (r >= 0) *val = static_cast<unsigned long>(v);
    return r;
}

extern "C" int sw_tcp_select(int skt, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, int timeout) {
    // FD_SET beyond FD_SETSIZE would write outside the caller's sets.
    if (skt < 0 || skt >= FD_SETSIZE) {
        errno = EINVAL;
        return -1;
    }
    for (fd_set* set : {readfds, writefds, exceptfds}) {
        if (set == nullptr) continue;
        FD_ZERO(set);
        FD_SET(skt, set);
    }
    struct timeval tv {};
    tv.tv_sec = timeout / 1000;
    tv.tv_usec = static_cast<suseconds_t>(timeout % 1000) * 1000;
    return select(skt + 1, readfds, writefds, exceptfds, timeout < 0 ? nullptr : &tv);
}

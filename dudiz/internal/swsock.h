// Helpers shared by the TCP and UDP wrappers (swtcp, swudp): IPv4 address packing without byte-order
// conversion, and the restart of calls that a signal handler interrupted.
// Internal to the toolkit; not an installed header.
#ifndef DUDIZ_INTERNAL_SWSOCK_H
#define DUDIZ_INTERNAL_SWSOCK_H

#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace dudiz {

// ip and port are in network order already, as the callers pass them.
inline sockaddr_in inet_address(unsigned int ip, unsigned short port) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = port;
    a.sin_addr.s_addr = ip;
    return a;
}

// Stores the address where the caller gave pointers.
inline void store_inet_address(const sockaddr_in& a, unsigned int* ip, unsigned short* port) {
    if (ip != nullptr) *ip = a.sin_addr.s_addr;
    if (port != nullptr) *port = a.sin_port;
}

// True, with errno EINVAL, for a negative buffer length, which as a size_t would let the system
// read or write far beyond the caller's buffer.
inline bool refuse_negative_length(int len) {
    if (len >= 0) return false;
    errno = EINVAL;
    return true;
}

// Repeats `call` while it fails with EINTR: for calls that had transferred nothing when the signal
// came (accept, send, receive), so a repeat is exactly the call the caller asked for.
template <class Call>
auto restart_on_eintr(Call call) -> decltype(call()) {
    for (;;) {
        const auto r = call();
        if (r >= 0 || errno != EINTR) return r;
    }
}

}  // namespace dudiz

#endif  // DUDIZ_INTERNAL_SWSOCK_H

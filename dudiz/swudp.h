/* Thin IPv4 UDP wrappers: create, bind, send and receive datagrams, ioctl, a single-socket select
 * with a millisecond time-out, and joining and leaving multicast groups.
 *
 * Sockets, addresses and ports as in swtcp.h: plain descriptors; address and port in network byte
 * order, copied without conversion. A multicast address is one whose first octet (the
 * lowest-addressed byte of the network-order value) lies in 224 to 239.
 * Results are those of the system calls (negative with errno set on failure); only
 * sw_udp_join logs. Sending and receiving are restarted when a signal handler interrupts them.
 * The module keeps no state: every function is reentrant. All calls are cancellation points
 * where the underlying call is (send, receive, select, close, and the log line of sw_udp_join).
 * Every function except sw_udp_join only makes its system calls and is async-signal-safe (a
 * handler that calls one saves and restores errno); sw_udp_join may log and is not.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWUDP_H
#define DUDIZ_SWUDP_H

#include <sys/select.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a UDP socket (AF_INET, SOCK_DGRAM, protocol 17), close-on-exec.
 * Returns the descriptor, or -1 with errno set. The caller owns it and closes it with sw_udp_close.
 * Never blocks. */
SW_API int sw_udp_socket(void);

/* Closes the socket (close(2), not repeated on EINTR; the descriptor is gone either way).
 * Returns 0, or -1 with errno set. Closing the socket's last descriptor leaves its multicast
 * groups. Never blocks. */
SW_API int sw_udp_close(int skt);

/* Binds to ip:port (network order; ip 0 = any interface, port 0 = a free port chosen by the
 * system). Returns 0, or -1 with errno set. Never blocks. */
SW_API int sw_udp_bind(int skt, unsigned int ip, unsigned short port);

/* Joins the multicast group ip on the default interface (the one the route of the group names),
 * then sets the multicast time-to-live of what this socket sends to 127 and switches multicast
 * loopback on, so that members on this host receive it too.
 * Returns 0 at once, with no system call, when ip is not a multicast address. Returns -1 when the
 * membership cannot be added (for instance EADDRINUSE: this socket is a member already; ENODEV: no
 * route for the group), after logging "add to one multicast group error!!" at LEVEL_ERROR;
 * errno is the cause, kept across the logging. Once the membership exists the result is 0: a
 * failure to set the time-to-live or the loopback is only logged at LEVEL_WARN ("set multicast ttl
 * args fail!", "set multicast loopback args fail!"). Never blocks beyond writing the log line. */
SW_API int sw_udp_join(int skt, unsigned int ip);

/* Leaves the multicast group ip on the default interface.
 * Returns 0 at once, with no system call, when ip is not a multicast address; otherwise 0, or -1
 * with errno set (EADDRNOTAVAIL when the socket is not a member). Logs nothing; never blocks. */
SW_API int sw_udp_drop(int skt, unsigned int ip);

/* Sends send_len bytes of buf as one datagram to ip:port (network order; flags 0).
 * Returns the number of bytes sent, or -1 with errno set (EMSGSIZE when too large for a datagram;
 * EINVAL for a negative send_len).
 * Blocks while the send buffer is full on a blocking socket. */
SW_API int sw_udp_send(int skt, unsigned int ip, unsigned short port, const char* buf, int send_len);

/* Receives one datagram into buf, of which at most buf_size bytes are kept (the rest of a longer
 * datagram is lost).
 * ip, port - out, may be NULL: the sender's address and port (network order), written only when
 *            the result is 0 or more (an empty datagram gives 0 and still names its sender).
 * Returns the number of bytes kept, or -1 with errno set (EAGAIN on a non-blocking socket with
 * nothing pending; EINVAL for a negative buf_size).
 * Blocks until a datagram arrives on a blocking socket. */
SW_API int sw_udp_recv(int skt, unsigned int* ip, unsigned short* port, char* buf, int buf_size);

/* As sw_tcp_ioctl (swtcp.h). */
SW_API int sw_udp_ioctl(int skt, int type, unsigned long* val);

/* As sw_tcp_select (swtcp.h): waits up to `timeout` ms until skt is ready, each given set
 * rebuilt to hold skt alone; -1 with errno EINVAL and the sets untouched when skt is negative or at
 * least FD_SETSIZE. */
SW_API int sw_udp_select(int skt, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, int timeout);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWUDP_H */

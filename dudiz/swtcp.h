/* Thin IPv4 TCP wrappers: create, bind, connect, listen and accept, send and receive, ioctl, and a
 * single-socket select with a millisecond time-out.
 *
 * Sockets are the plain int descriptors of the system. Addresses and ports are in network byte
 * order, exactly as they stand in a sockaddr_in (what inet_addr() and htons() give); they are
 * copied in and out without any conversion, so a port passed in host order (8080 on a
 * little-endian machine) names the byte-swapped port (36895).
 *
 * Results are those of the system calls (a negative result with errno set on failure). Calls that
 * wait (accept, send, receive) are restarted when a signal handler interrupts them; select is not.
 * The module keeps no state: every function is reentrant; a socket may be used from several
 * threads as far as the system allows. Blocking follows the socket's mode (a blocking socket
 * waits without limit unless the caller set SO_RCVTIMEO/SO_SNDTIMEO). All calls are cancellation
 * points where the underlying call is (connect, accept, send, recv, select, close). Each function
 * only makes its system calls (no lock, no allocation, no log) and so is async-signal-safe; a
 * handler that calls one saves and restores errno. Pointers passed in are used only during the
 * call.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWTCP_H
#define DUDIZ_SWTCP_H

#include <sys/select.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a TCP socket (AF_INET, SOCK_STREAM, protocol 6), close-on-exec.
 * Returns the descriptor, or -1 with errno set. The caller owns it and closes it with sw_tcp_close.
 * Never blocks. */
SW_API int sw_tcp_socket(void);

/* Closes the socket (close(2); not repeated on EINTR, the descriptor is gone either way).
 * Returns 0, or -1 with errno set. Another thread still using the number may meet a descriptor
 * opened later under it. Blocks only when SO_LINGER asks the close to wait for unsent data. */
SW_API int sw_tcp_close(int skt);

/* Connects to ip:port (network order). Returns 0, or -1 with errno set (ECONNREFUSED when nothing
 * listens; EINPROGRESS on a non-blocking socket; EINTR when a signal cut the wait short, the
 * attempt then goes on and sw_tcp_select with a write set tells when it is done).
 * Blocks until connected or refused on a blocking socket. */
SW_API int sw_tcp_connect(int skt, unsigned int ip, unsigned short port);

/* Binds to ip:port (network order; ip 0 = any interface, port 0 = a free port chosen by the
 * system, which getsockname tells). Returns 0, or -1 with errno set (EADDRINUSE, EACCES for a
 * port below 1024 without the privilege). Never blocks. */
SW_API int sw_tcp_bind(int skt, unsigned int ip, unsigned short port);

/* Starts listening with a backlog of `max` pending connections (the system caps it). Returns 0, or
 * -1 with errno set. Never blocks. */
SW_API int sw_tcp_listen(int skt, int max);

/* Accepts a connection on a listening socket; the new socket is close-on-exec.
 * ip, port - out, may be NULL: the peer's address and port (network order), written only on success.
 * Returns the new socket (the caller closes it), or -1 with errno set (EAGAIN on a non-blocking
 * socket with no pending connection). Blocks until a connection arrives on a blocking socket. */
SW_API int sw_tcp_accept(int skt, unsigned int* ip, unsigned short* port);

/* Sends up to send_len bytes of buf (flags 0). Returns the number of bytes sent (possibly fewer
 * than send_len), or -1 with errno set (EINVAL for a negative send_len; EPIPE when the connection
 * is shut down for writing or broken).
 * With flags 0 a send on a broken connection also raises SIGPIPE, which ends the process unless
 * the caller ignores or handles that signal.
 * Blocks while the send buffer is full on a blocking socket. */
SW_API int sw_tcp_send(int skt, const char* buf, int send_len);

/* Receives up to buf_size bytes into buf (flags 0). Returns the number received, 0 when the peer
 * shut down in order, or -1 with errno set (EINVAL for a negative buf_size).
 * Blocks until data arrive on a blocking socket. */
SW_API int sw_tcp_recv(int skt, char* buf, int buf_size);

/* ioctl(skt, type, val) on the socket: for instance FIONREAD (the readable byte count is stored in
 * *val) or FIONBIO (*val non-zero: non-blocking mode on, 0: off). A NULL val is passed to ioctl
 * as it is (EFAULT for a request that needs it). Never blocks.
 * The requests that take an int (FIONREAD, FIONBIO, SIOCOUTQ, SIOCATMARK) pass through an int, so
 * that the whole *val is written where unsigned long is wider than int; any other request gets val
 * as given. Returns the result of ioctl: 0 (or another non-negative value), or -1 with errno set. */
SW_API int sw_tcp_ioctl(int skt, int type, unsigned long* val);

/* Waits until the one socket skt is ready.
 * readfds, writefds, exceptfds - in/out, each may be NULL (not watched). Each set given is cleared
 *         and then holds skt alone (its previous contents are discarded); on return skt is still
 *         set in each set whose condition holds.
 * timeout - milliseconds; negative waits without limit; 0 polls and returns at once.
 * Returns the number of ready entries over the given sets (above 0), 0 when the time ran out
 * (with all sets NULL it just waits `timeout` ms), or -1 with errno set: EINVAL, with the sets
 * untouched, when skt is negative or at least FD_SETSIZE (an fd_set cannot hold it); EINTR when
 * a signal cut the wait short (not repeated). The sets are the caller's: two threads must not
 * share one. Blocks up to `timeout` ms. */
SW_API int sw_tcp_select(int skt, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, int timeout);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWTCP_H */

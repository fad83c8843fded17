/* Message queue: passes small fixed-size messages (a code and two word-sized parameters) between
 * the threads of one process through a bounded ring of at most 63 messages.
 *
 * Posting never waits for room: when the ring is full the oldest message is dropped and the line
 * "a message queue drop a oldest message!" is logged at LEVEL_WARN, once per dropped message.
 * Reading waits for a message under the library's timed-wait rule (see swmutex.h) and takes the
 * messages in the order of their posts (first in, first out). Before its wait can sleep, a read with
 * a time-out other than 0 looks for a message for a few microseconds, the last looks yielding the
 * processor, so that a message posted meanwhile is taken without a sleep; the looks count against
 * the time-out and change no result.
 *
 * Every post adds one to the queue's count of posts and every successful read takes one, so the
 * count is the number of posts not yet matched by a read or a clear. After a drop the count is
 * therefore one higher than the number of held messages: each such surplus count makes one later
 * sw_msgq_read return -1 at once, without waiting, after finding the ring empty. sw_msgq_clear
 * brings the count and the ring back to zero together.
 *
 * Every function accepts a NULL handle and then does nothing and returns -1. Messages are copied
 * in and out; the queue never reads what a parameter may point to. No function is
 * async-signal-safe.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWMSGQ_H
#define DUDIZ_SWMSGQ_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates an empty queue that holds up to `max` messages (capped at 63); its memory comes by the
 * library's allocation rule (swheap.h).
 * Returns the handle (released with sw_msgq_destroy); NULL (nothing kept) when max is 0 or less or
 * when memory cannot be had. Thread-safe; does not block (beyond the process heap's lock). */
SW_API void* sw_msgq_create(int max);

/* Destroys the queue and everything it holds. No thread may use it any more, nor wait in
 * sw_msgq_read on it (no lock is taken). NULL does nothing. One thread at a time, once per queue;
 * does not block. */
SW_API void sw_msgq_destroy(void* hQueue);

/* Appends one message (code `msg`, parameters `wParam` and `lParam`). A full ring drops its oldest
 * message first (logged as above); the post still succeeds.
 * Returns 0, or -1 for a NULL handle. Thread-safe; never waits for room, blocks only while another
 * thread holds the queue's mutex for a copy (or while the warning is written to stdout, under the
 * mutex). A cancellation point only when it drops a message (the warning line). */
SW_API int sw_msgq_post(void* hQueue, int msg, unsigned long wParam, unsigned long lParam);

/* Takes the oldest message, waiting for one up to `timeout` ms (negative: without limit; 0: no
 * waiting). msg, wParam, lParam receive its fields; any of them may be NULL to skip that field
 * (the message is removed all the same).
 * Returns 0 when a message was taken. Returns -1, leaving the outputs untouched, for a NULL
 * handle; for a time-out (errno ETIMEDOUT); and for a surplus count left by a dropped message (the
 * ring was found empty; errno is not set).
 * Thread-safe; blocks up to `timeout` ms (without limit when negative); a reader that waits holds
 * no lock. A cancellation point of POSIX threads while it waits. */
SW_API int sw_msgq_read(void* hQueue, int* msg, unsigned long* wParam, unsigned long* lParam, int timeout);

/* Removes every held message and every pending count (surplus counts included), so that a read
 * right after it finds nothing. NULL does nothing. Thread-safe; blocks only for the mutex; not a
 * cancellation point. */
SW_API void sw_msgq_clear(void* hQueue);

/* The number of messages held now, or -1 for a NULL handle. Thread-safe; blocks only for the mutex. */
SW_API int sw_msgq_get_num(void* hQueue);

/* The capacity: `max` of sw_msgq_create, at most 63; -1 for a NULL handle. Thread-safe; never blocks. */
SW_API int sw_msgq_get_max(void* hQueue);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWMSGQ_H */

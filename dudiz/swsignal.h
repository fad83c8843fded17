/* Signal: a counting semaphore behind an opaque handle, the library's one event primitive.
 * Gives are counted, never merged: every sw_signal_give lets exactly one wait succeed, now or later.
 * The semaphore is process-private and starts with a count of 0 (not signalled).
 *
 * Waits follow the library's timed-wait rule (see swmutex.h): a negative time-out waits without
 * limit in the blocking semaphore wait; 0 or more makes one non-blocking try and then tries again
 * about every millisecond until the time, measured on the monotonic clock, is up. Waiters do not
 * queue: with a time-out of 0 or more the poller that tries first after a give takes the count.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWSIGNAL_H
#define DUDIZ_SWSIGNAL_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a signal with a count of 0; its memory comes by the library's allocation rule
 * (swheap.h). Returns the handle (released with sw_signal_destroy), or NULL (nothing kept) when
 * memory or the semaphore initialisation fails. Thread-safe; does not block (beyond the process
 * heap's lock). */
SW_API void* sw_signal_create(void);

/* Destroys a signal made by sw_signal_create and releases its memory; a count still held is
 * dropped. No thread may wait on it or give it any more. hSignal is not checked (NULL is not
 * allowed). One thread at a time; does not block. */
SW_API void sw_signal_destroy(void* hSignal);

/* Takes one count of the signal, waiting for a give when the count is 0.
 * hSignal must come from sw_signal_create (it is not checked).
 * timeout < 0:  waits without limit; a wait interrupted by a signal handler is resumed, so the
 *               result is 0, or -1 with the semaphore's errno when the wait fails otherwise.
 * timeout >= 0: 0 when a count was taken; -1 with errno ETIMEDOUT when the time ran out (0 makes
 *               exactly one try and never sleeps); -1 with the semaphore's errno when the try
 *               failed for another reason than a count of 0.
 * Thread-safe; blocks up to `timeout` ms (without limit when negative). It is a cancellation point
 * of POSIX threads. */
SW_API int sw_signal_wait(void* hSignal, int timeout);

/* Adds one to the count, waking one waiter if there is one. A give while nobody waits stays in the
 * count. hSignal must come from sw_signal_create (it is not checked). Errors (a count at its
 * system maximum) are ignored. Thread-safe; never blocks; async-signal-safe; not a cancellation
 * point. */
SW_API void sw_signal_give(void* hSignal);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWSIGNAL_H */

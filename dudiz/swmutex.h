/* Mutual-exclusion lock with millisecond time-outs: error-checking (not recursive), process-private.
 *
 * Timed waits (here and in every lock and signal of the library): a negative time-out waits
 * without limit in the blocking POSIX call; 0 or more makes one non-blocking try and then tries
 * again about every millisecond until the time, measured on the monotonic clock, is up. So 0 makes
 * exactly one try; a free lock is always taken however late; waiters do not queue; setting the
 * wall clock does not disturb a wait. The polling sleep is a cancellation point; the blocking wait
 * of a negative time-out is one only where its POSIX call is (a mutex lock never is).
 *
 * Handles are not checked: each function needs a handle from sw_mutex_create that was not
 * destroyed (NULL is not allowed). No function is async-signal-safe.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWMUTEX_H
#define DUDIZ_SWMUTEX_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a mutex; its memory comes by the library's allocation rule (swheap.h).
 * Returns the handle (released with sw_mutex_destroy), or NULL (nothing kept) when memory or a
 * POSIX initialisation fails. Thread-safe; does not block (beyond the process heap's lock). */
SW_API void* sw_mutex_create(void);

/* Destroys a mutex made by sw_mutex_create and releases its memory. The mutex must be unlocked
 * and no thread may use it any more. One thread at a time; does not block. */
SW_API void sw_mutex_destroy(void* hMutex);

/* Locks the mutex. hMutex must come from sw_mutex_create (it is not checked).
 * timeout < 0: waits without limit; returns 0, or the POSIX error number (EDEADLK when the calling
 *              thread holds the mutex already).
 * timeout >= 0: returns 0 when locked; -1 with errno ETIMEDOUT when the time ran out (also when the
 *              caller itself holds it); -1 with errno untouched when the try failed otherwise.
 * Thread-safe; blocks up to `timeout` ms (without limit when negative). A cancellation point when
 * timeout >= 0 and the mutex is busy (the polling sleep); the wait without limit is not one. */
SW_API int sw_mutex_lock(void* hMutex, int timeout);

/* Unlocks the mutex. An unlock by a thread that does not hold it has no effect. Thread-safe;
 * never blocks. */
SW_API void sw_mutex_unlock(void* hMutex);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWMUTEX_H */

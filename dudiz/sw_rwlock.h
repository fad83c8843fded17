/* Read-write lock with millisecond time-outs: any number of readers together, or one writer alone.
 * Process-private; the preference between waiting readers and writers is the thread library's.
 *
 * Waits follow the library's timed-wait rule (see swmutex.h): a negative time-out waits without
 * limit in the blocking POSIX call; 0 or more makes one non-blocking try and then tries again about
 * every millisecond until the time, measured on the monotonic clock, is up. So 0 makes exactly one
 * try and never sleeps. Pollers do not queue: a stream of readers can keep a polling writer out for
 * its whole time-out.
 *
 * Handles are not checked: each function needs a handle from sw_rwlock_create that was not
 * destroyed (NULL is not allowed). No function is async-signal-safe.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SW_RWLOCK_H
#define DUDIZ_SW_RWLOCK_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates an unlocked read-write lock; its memory comes by the library's allocation rule
 * (swheap.h). Returns the handle (released with sw_rwlock_destroy), or NULL (nothing kept) when
 * memory or a POSIX initialisation fails. Thread-safe; does not block (beyond the process heap's
 * lock). */
SW_API void* sw_rwlock_create(void);

/* Destroys a lock made by sw_rwlock_create and releases its memory. The lock must be free and no
 * thread may use it any more. One thread at a time; does not block. */
SW_API void sw_rwlock_destroy(void* hRWLock);

/* Takes the lock for reading (shared with other readers, excluded by a writer).
 * hRWLock must come from sw_rwlock_create (it is not checked).
 * timeout < 0:  waits without limit; returns 0, or the POSIX error number (EDEADLK when the calling
 *               thread holds the write lock; EAGAIN when the number of read locks is exhausted).
 * timeout >= 0: returns 0 when taken; -1 with errno ETIMEDOUT when the time ran out (also when the
 *               caller itself holds the write lock); -1 with errno untouched when the try failed for
 *               another reason than a busy lock.
 * A thread that holds a read lock may take it again; each take needs its own unlock.
 * Thread-safe; blocks up to `timeout` ms (without limit when negative). It is a cancellation point
 * of POSIX threads when timeout >= 0 and the lock is busy. */
SW_API int sw_rwlock_rdlock(void* hRWLock, int timeout);

/* Takes the lock for writing (excluding every reader and writer). Results as sw_rwlock_rdlock:
 * timeout < 0 returns 0 or the POSIX error number (EDEADLK when the calling thread holds the write
 * lock already; a thread that holds a read lock and waits without limit for the write lock waits
 * for ever); timeout >= 0 returns 0, or -1 with errno ETIMEDOUT (also when the caller itself holds
 * the lock in either way), or -1 with errno untouched for another failure of the try.
 * Thread-safe; blocks up to `timeout` ms (without limit when negative). A cancellation point when
 * timeout >= 0 and the lock is busy, as sw_rwlock_rdlock. */
SW_API int sw_rwlock_wrlock(void* hRWLock, int timeout);

/* Releases the lock the calling thread holds, read or write (one take of a read lock taken several
 * times); errors are ignored. Thread-safe; never blocks. */
SW_API void sw_rwlock_unlock(void* hRWLock);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SW_RWLOCK_H */

/* Thread objects and the library's sleep.
 *
 * A thread object wraps one POSIX thread that runs a library-owned loop calling the user's
 * procedure (PThrdProc) again and again; the procedure's result says what comes next:
 *   negative - the thread ends (the object stays until sw_thrd_destroy);
 *   0        - the procedure is called again at once;
 *   n > 0    - the thread waits up to n ms, then calls it again; sw_thrd_resume cuts the wait short.
 * Each cycle reads the procedure and its two arguments together, just before the call; a thread
 * without a procedure idles, waking about once a millisecond. Threads are always created paused:
 * nothing runs before the first sw_thrd_resume.
 *
 * States: paused (after create or sw_thrd_pause) -> running (sw_thrd_resume) -> quitting (negative
 * result or sw_thrd_destroy) -> ended (the thread has left its loop; the object still exists until
 * sw_thrd_destroy joins the thread and frees it).
 *
 * Every function accepts a NULL handle and then does nothing and returns false, NULL or -1.
 * Unless a function says otherwise, the operations on one object may be called from the owner's
 * thread and from the object's own procedure at the same time (thread-safe), but sw_thrd_destroy
 * must run once per object and concurrently with no other operation on it. A handle stays valid
 * until sw_thrd_destroy returns, also after its thread has ended.
 * sw_thrd_resume, sw_thrd_isAlive, sw_thrd_isRunning, sw_thrd_isBusy and sw_thrd_delay are
 * async-signal-safe; the others are not. The procedure runs on the object's thread, which the
 * library created: it may be cancelled there by sw_thrd_destroy (see there).
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWTHRD_H
#define DUDIZ_SWTHRD_H

#include <stdbool.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The procedure of a thread object; wParam and lParam are the values given with it. */
typedef int (*PThrdProc)(unsigned long wParam, unsigned long lParam);

/* Creates a thread object and starts its thread, paused.
 * name       - at most 31 characters are kept; NULL names it "nameless<n> thread", n counting the
 *              nameless threads of the process from 0 (distinct even when created concurrently).
 *              The name labels the object only; the operating system's thread name is not set.
 * priority   - 1 to 99: the thread is moved to SCHED_RR with this static priority after it starts;
 *              when the process may not use real-time scheduling this is silently skipped and the
 *              thread keeps the creator's scheduling. 0 or less: the creator's scheduling.
 * stack_size - the thread's stack in bytes; below sysconf(_SC_THREAD_STACK_MIN) (or negative)
 *              creation fails.
 * proc       - the procedure; NULL makes an idle thread (a procedure can be set later).
 * wParam, lParam - passed to every call of proc.
 * Returns the handle, or NULL when memory, a signal, a thread attribute or the thread itself
 * cannot be made (everything made is released; nothing is logged). The object's memory comes by
 * the library's allocation rule (swheap.h).
 * Thread-safe. Takes at least 10 ms (it lets the new thread settle before returning); that sleep
 * is a cancellation point. */
SW_API void* sw_thrd_create(const char* name, int priority, int stack_size, PThrdProc proc,
                            unsigned long wParam, unsigned long lParam);

/* Ends the thread and frees the object. The thread is asked to quit and resumed, so a paused
 * thread with a procedure calls it once more (plus the wait its result asks for) before it ends.
 * When it has not ended within `timeout` ms (negative: without limit; 0: no waiting) it is
 * cancelled (deferred: it ends at its next cancellation point, such as sw_thrd_delay, a blocking
 * signal wait or a blocking socket call). The library adds no clean-up of its own: what the
 * procedure holds (a lock, memory) is released only by its own clean-up handlers or by C++
 * destructors, which run as the cancellation unwinds the thread's stack; anything else stays
 * held. A failed cancel request is logged as "terminate <name> error(errno=<n>)!!".
 * Always joins, so it returns only after the thread has ended: it blocks for the procedure's
 * current call and its cycle, or for up to `timeout` ms and then until the cancellation point.
 * Not from the object's own thread. One thread at a time, once per object; the handle is invalid
 * afterwards. A cancellation point (the waits and the join); a caller cancelled inside it leaves
 * the object half destroyed. */
SW_API void sw_thrd_destroy(void* hThrd, int timeout);

/* Pauses the thread: takes every pending resume (about 1 ms each), then marks it paused. The pause
 * takes effect at the start of the next cycle; a call or wait in progress completes first.
 * Thread-safe; blocks about 1 ms per pending resume, and that sleep is a cancellation point. */
SW_API void sw_thrd_pause(void* hThrd);

/* Resumes the thread: clears the pause and gives the thread one wake-up. A paused thread starts its
 * next cycle; a thread in the wait after a call ends that wait at once; a resume given while the
 * procedure executes stays pending and ends the next wait at once. Thread-safe; never blocks. */
SW_API void sw_thrd_resume(void* hThrd);

/* True while the thread exists and has not been asked to quit (by a negative result or by
 * sw_thrd_destroy); turns false as soon as quitting begins, before the thread has left its cycle.
 * Thread-safe; never blocks. */
SW_API bool sw_thrd_isAlive(void* hThrd);

/* True when sw_thrd_isAlive and the thread is not paused. Thread-safe; never blocks. */
SW_API bool sw_thrd_isRunning(void* hThrd);

/* True while the thread is in a cycle that calls the procedure (set just before the procedure is
 * looked up, cleared when the call returns or when there is none). Thread-safe; never blocks. */
SW_API bool sw_thrd_isBusy(void* hThrd);

/* Replaces the stored name by the first 31 characters of `name` (copied). False when either
 * argument is NULL. One thread at a time together with sw_thrd_getName; never blocks. */
SW_API bool sw_thrd_setName(void* hThrd, const char* name);

/* Copies the stored name with its terminator into `name`, which must hold 32 bytes, and returns
 * `name`; NULL when either argument is NULL. One thread at a time together with sw_thrd_setName;
 * never blocks. */
SW_API char* sw_thrd_getName(void* hThrd, char* name);

/* Moves the running thread to SCHED_RR with `priority` as its static priority. True when the
 * system accepted it; false for a priority outside 1 to 99, for a process without the privilege
 * to use real-time scheduling (the thread keeps its scheduling) or for a thread that has ended and
 * been joined. Thread-safe; never blocks. */
SW_API bool sw_thrd_setPriority(void* hThrd, int priority);

/* The static priority of the thread's current scheduling (0 under the default time-sharing
 * policy), or -1 when the handle is NULL or the query fails. Thread-safe; never blocks. */
SW_API int sw_thrd_getPriority(void* hThrd);

/* Replaces the procedure and its arguments as one unit (NULL proc makes the thread idle); the
 * thread picks them up at its next call, never a mix of old and new. Returns true (false for a
 * NULL handle). Thread-safe; blocks only while another thread sets or reads the same object's
 * procedure (a copy of three values). */
SW_API bool sw_thrd_setProc(void* hThrd, PThrdProc proc, unsigned long wParam, unsigned long lParam);

/* Copies the procedure and its arguments, read together, to each output pointer that is not NULL.
 * After the thread has ended they are NULL, 0 and 0. Thread-safe; blocks as sw_thrd_setProc. */
SW_API void sw_thrd_getProc(void* hThrd, PThrdProc* proc, unsigned long* wParam, unsigned long* lParam);

/* Sleeps `ms` milliseconds (select with no descriptors). A negative ms sleeps until a signal
 * handler runs; a signal handler also ends a finite sleep early (the rest is not slept).
 * 0 returns at once. errno is left as it was. Reentrant; a cancellation point of POSIX threads. */
SW_API void sw_thrd_delay(int ms);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWTHRD_H */

/* Timer: calls a procedure periodically on a thread of its own (a thread object, swthrd.h).
 *
 * The period is the pause between the end of one call and the start of the next, not a fixed rate:
 * a procedure that runs 30 ms under a period of 100 ms is called about every 130 ms. Timers are
 * created stopped; sw_timer_resume starts them with an immediate first call. A period of 0 calls
 * the procedure back to back; a negative period ends the timer's thread after the next call (the
 * timer then stays stopped for good; only sw_timer_destroy remains useful).
 *
 * The timer's thread runs at real-time priority 50 (SCHED_RR) when the process may use real-time
 * scheduling, else at the creator's scheduling: a procedure that never sleeps under a period of 0
 * would starve the processor at that priority.
 *
 * Every function accepts a NULL handle and then does nothing. A handle stays valid until
 * sw_timer_destroy returns. sw_timer_resume and sw_timer_setPeriod are async-signal-safe; the
 * others are not.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWTIMER_H
#define DUDIZ_SWTIMER_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The timer's procedure; wParam and lParam are the values given to sw_timer_create. It runs on the
 * timer's thread, never on the caller's. */
typedef void (*PTimerProc)(unsigned long wParam, unsigned long lParam);

/* Creates a stopped timer.
 * name   - at most 31 characters are kept, also as the name of the timer's thread object; NULL names
 *          it "nameless<n> timer", n counting the nameless timers of the process from 0 (distinct
 *          even when created concurrently).
 * period - milliseconds from the end of one call to the start of the next (see above).
 * proc   - the procedure; NULL is allowed (the timer then only ticks).
 * wParam, lParam - passed to every call of proc.
 * Returns the handle, or NULL (nothing kept) when memory or the thread cannot be made. The record
 * comes by the library's allocation rule (swheap.h); the thread has a stack of 65536 bytes.
 * Thread-safe. Takes at least 10 ms (the creation of the thread object), a sleep that is a
 * cancellation point. */
SW_API void* sw_timer_create(const char* name, int period, PTimerProc proc, unsigned long wParam,
                             unsigned long lParam);

/* Stops the timer and frees it. A stopped timer returns without another call of the procedure; a
 * running call is waited for up to `timeout` ms (negative: without limit), then its thread is
 * cancelled at its next cancellation point (see sw_thrd_destroy). Not from the timer's own
 * procedure. One thread at a time, once per timer; blocks for the running call, or up to `timeout`
 * ms and then until the cancellation point. A cancellation point itself (see sw_thrd_destroy). */
SW_API void sw_timer_destroy(void* hTimer, int timeout);

/* Stops the timer: the call in progress and the wait that follows it are completed, then no call
 * is made until sw_timer_resume. Thread-safe, also from the timer's own procedure; blocks about
 * 1 ms per resume not yet taken by the timer's thread, a sleep that is a cancellation point. */
SW_API void sw_timer_pause(void* hTimer);

/* Starts a stopped timer, or cuts a running timer's current wait short: either way the next call
 * comes at once and the period starts again after it. Thread-safe; never blocks. Has no effect
 * once the timer's thread has ended (negative period). */
SW_API void sw_timer_resume(void* hTimer);

/* Sets the period in milliseconds. It applies from the next call: a wait already in progress keeps
 * its length. Thread-safe; never blocks. */
SW_API void sw_timer_setPeriod(void* hTimer, int period);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWTIMER_H */

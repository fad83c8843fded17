/* Thread pool: a fixed number of slots for worker threads (thread objects, swthrd.h) that are
 * handed out and taken back, so that short jobs do not each start a thread.
 *
 * Workers are created lazily, the first time a slot is needed, named "thread<i>" after their slot
 * index i (from 0), and reused by swapping their procedure. A worker handed out by sw_thrdpool_alloc
 * is an ordinary thread object, paused, with the caller's procedure set: the caller starts it with
 * sw_thrd_resume, may use the other thread-object operations on it, and gives it back with
 * sw_thrdpool_free. It must never call sw_thrd_destroy on it.
 *
 * A slot is in one of these classes:
 *   allocated - its worker was handed out by sw_thrdpool_alloc and not given back yet, whatever its
 *               procedure does (a worker whose procedure ended its thread stays the caller's until
 *               it is given back, so no allocation can replace it under the caller's hands);
 *   idle      - empty, or its worker is back in the pool and not busy (ready for reuse); a worker
 *               given back after its thread ended (negative result) is idle too and is replaced by a
 *               new thread at the next allocation that reaches its slot;
 *   sick      - its worker was given back while its procedure was still running: sw_thrdpool_free
 *               is waiting for it or destroying it (or, briefly, a pooled worker is busy).
 * A worker given back while busy is waited for up to the free's time-out and otherwise destroyed
 * (its thread cancelled) and counted as killed. Allocations never take over a worker that a free is
 * waiting for or destroying.
 *
 * Lock order: the pool's mutex is taken before the memory container's (creating and destroying
 * workers allocate while the pool's mutex is held).
 * Every function accepts a NULL pool and then does nothing and returns NULL. No function is
 * async-signal-safe. Functions that create or destroy workers, sleep or log (alloc, free, destroy,
 * printf) are cancellation points; a caller cancelled inside one may leave a slot unusable.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWTHRDPOOL_H
#define DUDIZ_SWTHRDPOOL_H

#include "swapi.h"
#include "swthrd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a pool of `max` slots; no thread is started yet.
 * priority, stack_size - handed to sw_thrd_create for every worker the pool creates (see swthrd.h).
 * The pool is one block from the library's allocation rule (swheap.h).
 * Returns the handle (released with sw_thrdpool_destroy); NULL (nothing kept) when max is 0 or
 * less, when the block would exceed INT_MAX bytes, or when memory or the mutex cannot be made.
 * Thread-safe; does not block (beyond the process heap's lock). */
SW_API void* sw_thrdpool_create2(int max, int priority, int stack_size);

/* Destroys every worker (sw_thrd_destroy with `timeout`: each is waited for up to `timeout` ms,
 * negative without limit, then cancelled), then the pool itself. Workers still handed out are
 * destroyed too: their handles become invalid. No other thread may use the pool any more (no lock
 * is taken), and it must not run in a worker's procedure. One thread at a time, once per pool;
 * blocks as long as the destruction of the workers. */
SW_API void sw_thrdpool_destroy(void* hPool, int timeout);

/* Hands out a paused worker with `proc`, `wParam` and `lParam` set. In this order it takes:
 *   1. the first pooled worker that has no procedure and is not busy: that worker when its thread is
 *      alive; a worker whose thread has ended is destroyed and replaced by a new one in its slot
 *      (if that creation fails, the search goes on with 2);
 *   2. the first empty slot, where a new worker is created;
 *   3. the first pooled worker that has no procedure and is busy (never one that a free is waiting
 *      for or destroying): it is destroyed (up to `timeout` ms, then cancelled), counted as killed
 *      and replaced by a new worker.
 * proc may be NULL: the worker then calls nothing until a procedure is set, and counts as
 * allocated all the same, as every worker handed out does.
 * Returns the worker's thread-object handle; it stays the caller's until given back with
 * sw_thrdpool_free (or until sw_thrdpool_destroy). Returns NULL when no slot can be used or the
 * worker cannot be created, and then logs at LEVEL_ERROR "sorry, alloc thread fail, because
 * <pool> thread pool is full!!" followed by the pool's status line (sw_thrdpool_printf).
 * Thread-safe; allocations run one after another under the pool's mutex. Blocks at least 10 ms for
 * each worker it creates, and up to `timeout` ms (negative: without limit) for one it destroys. */
SW_API void* sw_thrdpool_alloc(void* hPool, PThrdProc proc, unsigned long wParam, unsigned long lParam,
                               int timeout);

/* Gives a worker back. The worker is paused and its procedure cleared: it finishes its current call
 * and the wait that call's result asks for, then waits for the next allocation.
 * When its procedure is still running, sw_thrdpool_free polls about once a millisecond, at most
 * `timeout` times (negative: until it ends; 0: not at all); a worker still busy then is destroyed
 * with sw_thrd_destroy(hThrd, timeout), which cancels it, and counted as killed, leaving its slot
 * empty. A handle that is not a handed-out worker of this pool (a foreign thread, a worker given back
 * already or being given back by another free) is ignored; NULL for either argument does nothing.
 * After the call the caller must not use the handle any more. Not from the worker's own procedure:
 * the free would wait for the procedure that calls it, and then cancel its own thread.
 * Thread-safe; holds the pool's mutex only between polls and never while it sleeps or destroys.
 * Blocks up to about `timeout` ms of polling plus the destruction (without limit when negative). */
SW_API void sw_thrdpool_free(void* hPool, void* hThrd, int timeout);

/* Writes the pool's figures to each output that is not NULL: the number of slots, then the number of
 * allocated, idle and sick slots (as classified above; they add up to the number of slots) and the
 * number of workers killed since the pool was created. A NULL pool writes nothing.
 * Thread-safe; blocks only for the pool's mutex, which an allocation may hold while it creates or
 * destroys workers. */
SW_API void sw_thrdpool_get_status(void* hPool, int* max_num, int* alloc_num, int* idle_num, int* sick_num,
                                   int* killed_num);

/* Logs the status at LEVEL_INFO as "<pool> thread pool(<max>): allocated=<n>, idle=<n>, sick=<n>,
 * killed=<n>", <pool> printed with %p. Thread-safe; blocks as sw_thrdpool_get_status. */
SW_API void sw_thrdpool_printf(void* hPool);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWTHRDPOOL_H */

/* Stack: a thread-safe last-in-first-out list of small records, each of which may carry its own
 * release procedure, called when the stack discards a record that nobody took.
 *
 * Memory: unlike the other modules, a stack takes its own record and its nodes from a memory
 * container chosen by its creator (swmem.h), or from malloc/free when none is given; the installed
 * process heap is not consulted for them. Its mutex, like every mutex, comes by the library's
 * allocation rule (swheap.h).
 *
 * Every function accepts a NULL handle and then does nothing or returns false or -1. No function
 * is async-signal-safe; none is a cancellation point, except through a full container's exhaustion
 * line (swmem.h) or a release procedure that is one. Release procedures run on the calling thread.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWSTACK_H
#define DUDIZ_SWSTACK_H

#include <stdbool.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The release procedure of one record: gets the record's addr (as a pointer) and size. */
typedef void (*PStackDataFreeCallback)(void* addr, int size);

/* One record, copied in by push and out by pop. */
struct stk_data {
    long addr;                       /* the data's address, or any word-sized value */
    int size;                        /* the data's size; handed to freeFun */
    PStackDataFreeCallback freeFun;  /* release procedure, or NULL */
    unsigned long wParam;            /* user word */
    unsigned long lParam;            /* user word */
};

/* Creates an empty stack.
 * hMem - memory container (swmem.h) for the stack's record and nodes, which must outlive the
 *        stack; NULL: malloc and free.
 * Returns the handle (released with sw_stack_destroy), or NULL (nothing kept) when memory or the
 * mutex cannot be had. Nothing is logged here, but a full container logs its own exhaustion line.
 * Thread-safe; blocks only for the locks of the memory containers it allocates from. */
SW_API void* sw_stack_create(void* hMem);

/* Pushes a copy of `data` on top.
 * Returns true when pushed; false when hStack is NULL or no node could be allocated (the stack is
 * unchanged). Only the record is copied: the stack never reads what addr points to and only hands
 * it to freeFun when it discards the record. Thread-safe; waits for the stack's lock (held for a
 * few instructions only) and, with a container, for the container's lock while the node is
 * allocated. */
SW_API bool sw_stack_push(void* hStack, struct stk_data data);

/* Pops the top record.
 * result not NULL - the record is copied into *result and now belongs to the caller: its freeFun is
 *                   not called.
 * result NULL     - the record is discarded: its freeFun(addr, size) is called when set.
 * An empty stack (or a NULL hStack) changes nothing and leaves *result untouched; check the count
 * first, or preset *result, to tell the cases apart. The release procedure runs after the lock is
 * released, so it may use the stack itself. Thread-safe; waits for the stack's lock and, with a
 * container, for the container's lock while the node is released. */
SW_API void sw_stack_pop(void* hStack, struct stk_data* result);

/* Returns the number of records, or -1 when hStack is NULL. Thread-safe; waits for the stack's
 * lock. */
SW_API int sw_stack_getDataElementsCnt(const void* hStack);

/* Destroys the stack: calls the release procedure of every record still on it (top first) and
 * releases the nodes, the mutex and the stack's record. No other thread may use the stack during
 * or after the call, and the release procedures must not use it. One thread at a time; blocks only
 * for the container's lock (and as long as the release procedures take). */
SW_API void sw_stack_destroy(void* hStack);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWSTACK_H */

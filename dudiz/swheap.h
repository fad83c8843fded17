/* The process heap: one memory container (swmem.h) installed for the whole process.
 *
 * The library's allocation rule. Every module of the toolkit allocates and releases the memory of
 * its objects through the process heap when one is installed (g_hSwHeap not NULL), else through
 * malloc and free. The choice is made afresh at every call, so a block must be released under the
 * choice under which it was obtained: install the heap before the first library object is created
 * and remove it after the last one is released.
 *
 * Use an `align` of at least 8 for a process heap: library objects (mutexes, thread records,
 * 64-bit counters) are placed in its blocks and need the alignment malloc gives them; smaller
 * alignments make misaligned objects, which fault on ARM.
 *
 * Every allocation reads g_hSwHeap without synchronisation, which is why it may change only while
 * no other thread uses the library. Allocations and releases through the process heap are
 * thread-safe (the container's own lock, swmem.h); none of these functions is async-signal-safe.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWHEAP_H
#define DUDIZ_SWHEAP_H

#include <stdbool.h>

#include "swapi.h"
#include "swmem.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Handle of the installed process heap, NULL when none is installed. Written only by
 * sw_heap_init and sw_heap_exit; read it, never write it. */
SW_API extern void* g_hSwHeap;

/* Creates the process heap with sw_mem_create(buf, size, align) and stores the handle (NULL on
 * failure) in g_hSwHeap. Call once, while no heap is installed, before any other library object
 * exists and before other threads start (the heap's own mutex then comes from malloc).
 * buf, size, align - as sw_mem_create: buf (not NULL, size > 0 bytes) stays the caller's and must
 *                    stay valid until sw_heap_exit; align a power of two (8 or more, see above).
 * Returns true when the heap was created, false for the cases in which sw_mem_create fails
 * (nothing is installed then, and allocations keep using malloc).
 * One thread at a time (the whole process); does not block; not a cancellation point. */
SW_API bool sw_heap_init(char* buf, int size, int align);

/* Removes the process heap: clears g_hSwHeap first (so the heap's own mutex goes back to malloc,
 * where it came from), then destroys the container. Nothing when no heap is installed.
 * Call after the last library object is released and other threads have ended; blocks still in
 * the heap become invalid, and its buffer is the caller's again.
 * One thread at a time (the whole process); does not block; not a cancellation point. */
SW_API void sw_heap_exit(void);

/* sw_mem_check on the process heap: -1 when none is installed (proc is not called then).
 * Same conditions as sw_mem_check: takes no lock, so no other thread may allocate or release
 * meanwhile; proc runs on the calling thread. Does not block. */
SW_API int sw_heap_check(PMemCheckCallback proc, void* lpParameter);

/* sw_mem_getTotalSize of the process heap: -1 when none is installed. Thread-safe; never blocks. */
SW_API int sw_heap_getTotalSize(void);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWHEAP_H */

/* Memory container: a small allocator that carves blocks out of one buffer supplied by its creator,
 * so that objects can live inside a fixed, pre-reserved region that can be listed at any time.
 *
 * Layout. Throughout, "aligned up" means raised to the next multiple of the container's `align`
 * (a value that already is one stays).
 *   - The container header (eight fields: three ints and five pointers; 32 bytes on the 32-bit
 *     target, 56 on a 64-bit host) sits at the buffer's start aligned up; the handle is its address.
 *   - The data area runs from the end of the header aligned up to the end of the buffer.
 *   - Every block is preceded by a node of one int and one pointer (8 bytes on the 32-bit target,
 *     16 on a 64-bit host). A node starts at a multiple of `align`; its block starts at the node's
 *     end aligned up. A block therefore occupies  node size aligned up + block size aligned up.
 *     Example, align 4 on the 32-bit target: two successive 10-byte blocks lie 12 + 8 = 20 bytes
 *     apart.
 *   - Free space is the gaps between nodes. There is no free list and no coalescing step;
 *     releasing a block unlinks its node. The container may keep a table of its nodes in its
 *     widest gap, to find a released block without walking the list; placement ignores it (a
 *     block placed over it ends it), so it changes no address, size or result, and its bytes are
 *     never a block's. Allocating calls build it, which may write over bytes of blocks released
 *     earlier, as any later allocation may.
 *
 * Placement. An allocation goes behind the highest block when the rest of the data area has room
 * for it (constant time). Only when it has not are the gaps searched, first fit in ascending
 * address order, starting at a remembered hint: the first block, counted from where the last
 * search began, whose following gap had any room. A release at or before the hint moves the hint
 * back; an in-place shrink by sw_mem_realloc does not, so space opened that way in front of the
 * hint is used only after a later release moves the hint back.
 *
 * Alignment. Any power of two is accepted, 1 and 2 included; the container reads and writes its
 * own fields so that small alignments never make a misaligned access. Blocks, however, are only
 * `align`-aligned: a caller who stores objects in them needs an `align` that suits those objects.
 *
 * Concurrency. sw_mem_alloc, sw_mem_calloc, sw_mem_strdup, sw_mem_free, sw_mem_realloc and
 * sw_mem_reset are thread-safe: they serialise on the container's own (non-recursive) mutex, and
 * wait for it without limit; none of them calls back into user code while holding it. Their time
 * is linear in the number of live blocks at worst. sw_mem_check walks the blocks without taking
 * the lock: call it only while no other thread changes the container (for example at shut-down).
 * sw_mem_create and sw_mem_destroy are one thread at a time per buffer. No function is
 * async-signal-safe. An allocation that finds the container full writes its exhaustion line while
 * holding the lock, and is then a cancellation point (see swlog.h); no other path is one.
 *
 * Every function accepts a NULL handle and then does nothing or returns NULL or -1.
 * `filename` and `line` name the caller's allocation site (normally __FILE__ and __LINE__); the
 * container records them nowhere.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWMEM_H
#define DUDIZ_SWMEM_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called by sw_mem_check once per live block, in ascending address order.
 * filename - always "" (blocks carry no allocation site).
 * line     - always -1.
 * ptr      - the block, as returned by the allocating call.
 * size     - the block's size as last asked for (by the allocation or an in-place realloc).
 * lpParameter - the value passed to sw_mem_check. */
typedef void (*PMemCheckCallback)(const char* filename, int line, const char* ptr, int size, void* lpParameter);

/* Creates a container inside buf[0 .. size).
 * buf   - the caller's buffer; it stays the caller's and must outlive the container. Not NULL.
 * size  - the buffer's size in bytes, > 0.
 * align - alignment of every node and block: a power of two, > 0.
 * Returns the handle (the buffer's address aligned up), or NULL when buf is NULL, size <= 0,
 * align is not a positive power of two, the header does not fit in the buffer once its start is
 * aligned up, the buffer's range wraps around the end of the address space, or the container's
 * mutex cannot be created (its memory comes by the library's allocation rule, see swheap.h).
 * A buffer that holds the header but leaves no data area gives a container in which every
 * allocation fails. Release the container with sw_mem_destroy. One thread at a time; does not
 * block (beyond the process heap's lock when its mutex comes from there). */
SW_API void* sw_mem_create(char* buf, int size, int align);

/* Destroys the container: destroys its mutex and clears the header. Blocks are not released one
 * by one; every block pointer becomes invalid; the buffer is the caller's again. NULL does nothing.
 * No other thread may use the container during or after the call. One thread at a time; does not
 * block. */
SW_API void sw_mem_destroy(void* hMem);

/* Forgets every block at once and sets the high-water mark back to 0; the next allocation starts
 * at the beginning of the data area. Every block pointer handed out before becomes invalid (its
 * bytes are not touched, but later allocations reuse them). Thread-safe; waits for the
 * container's lock. */
SW_API void sw_mem_reset(void* hMem);

/* Lists the live blocks: when proc is not NULL, calls proc once per block in ascending address
 * order (see PMemCheckCallback), passing lpParameter through.
 * Returns the high-water mark: the greatest end offset, measured from the start of the data area,
 * of any block allocated (by sw_mem_alloc or a moving sw_mem_realloc) since creation or the last
 * sw_mem_reset; releases do not lower it and in-place reallocs do not raise it.
 * Returns -1 for a NULL handle. Takes no lock: no other thread may change the container meanwhile;
 * proc runs on the calling thread and may not call into this container. Does not block. */
SW_API int sw_mem_check(const void* hMem, PMemCheckCallback proc, void* lpParameter);

/* Returns the size of the data area in bytes (zero or negative when the buffer held little more
 * than the header), or -1 for a NULL handle. Thread-safe; does not block. */
SW_API int sw_mem_getTotalSize(const void* hMem);

/* Allocates a block of `size` bytes (0 is valid and gives a block of its own).
 * Returns the block (aligned to `align`, owned by the caller until sw_mem_free, sw_mem_reset or
 * sw_mem_destroy), or NULL:
 *   - without a log line when hMem is NULL or size < 0;
 *   - when no gap has room: then one line "sorry, alloc memory fail, because <handle> memory
 *     container is full!!" is logged at LEVEL_ERROR (swlog.h) and the container is unchanged.
 * Thread-safe; waits for the container's lock. */
SW_API void* sw_mem_alloc(void* hMem, int size, const char* filename, int line);

/* As sw_mem_alloc (results, ownership, logging, locking), and the block's bytes are set to zero. */
SW_API void* sw_mem_calloc(void* hMem, int size, const char* filename, int line);

/* Copies the NUL-terminated `str` into a new block of strlen(str) + 1 bytes.
 * Returns the copy (owned by the caller as a block of sw_mem_alloc), or NULL when str is NULL
 * (nothing logged), when the string is longer than a block can be (INT_MAX characters or more),
 * or as sw_mem_alloc does. Thread-safe; waits for the container's lock. */
SW_API char* sw_mem_strdup(void* hMem, const char* str, const char* filename, int line);

/* Releases a block of this container. NULL, a pointer into the middle of a block and a pointer
 * that this container did not hand out are ignored silently. The block's bytes are not touched.
 * Thread-safe; waits for the container's lock. */
SW_API void sw_mem_free(void* hMem, void* ptr, const char* filename, int line);

/* Changes a block's size.
 * ptr NULL          - the same as sw_mem_alloc(hMem, size, filename, line).
 * size not greater, or the block can grow where it is (up to the next block or the end of the
 *                     data area) - the block is resized in place and ptr is returned.
 * otherwise         - a new block is allocated (sw_mem_alloc), the old bytes copied into it, the
 *                     old block released, and the new block returned. When no room is left, NULL
 *                     is returned (with the exhaustion line) and the old block stays valid and
 *                     unchanged.
 * Returns NULL, changing nothing, when hMem is NULL, size < 0, or ptr is not a block of this
 * container (nothing is read from such a pointer). After a non-NULL result only that pointer is
 * valid; ptr must not be used any more when the block moved.
 * Thread-safe; waits for the container's lock (released while the bytes are copied, so no other
 * thread may release or resize the same block meanwhile). */
SW_API void* sw_mem_realloc(void* hMem, void* ptr, int size, const char* filename, int line);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWMEM_H */

/* Hash table: maps byte-string keys of any length to the caller's data pointers.
 *
 * The table copies each key, stores the data pointer unchanged (it never copies or reads the data),
 * resolves collisions by chaining and has a fixed number of buckets, a power of two chosen at
 * creation; it never grows. Within a bucket, elements stand in insertion order. The table counts
 * its elements and its collisions: the elements that are not the first of their bucket's chain,
 * which is always the number of elements minus the number of non-empty buckets. A table sized too
 * small keeps working with longer chains; the collision count tells how crowded it is.
 *
 * The bucket of a key is its hash value masked with (table size - 1). The hash value is computed
 * over the whole key, or, when the table has a fixed key size (keysize at creation, not 0), over
 * its first keysize bytes only (a shorter key: over its own length). Copy and comparison always use
 * the whole key.
 *
 * Memory: the table, its bucket array (per bucket: a pointer to its chain and a four-byte tag that
 * summarises the chain's hash values; 8 bytes on 32-bit targets, 12 on 64-bit ones) and each chain
 * (one block holding its elements, in order, with their key copies) come by the library's
 * allocation rule (swheap.h). The data pointers stay the caller's; the table releases them
 * (through the release function given at creation) only when a delete or destroy asks it to.
 *
 * Thread-safety: the table has no lock. Every function is one thread at a time per table (callers
 * that share a table serialise every call on it, lookups included); different tables may be used
 * from different threads at once. Callbacks run on the calling thread, inside the call; the hash,
 * comparison and release functions must not call into the table that calls them. No function
 * blocks; their time is linear in the length of one chain, except visit and destroy (linear in the
 * table size plus the number of elements) and create (linear in the table size). The three hash
 * functions are async-signal-safe; the table functions are not. None is a cancellation point,
 * except through the allocation rule (see swlog.h) or a callback that is one.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWHASH_H
#define DUDIZ_SWHASH_H

#include <stdbool.h>
#include <stdint.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The table object; opaque. */
typedef struct shash_t shash_t;
/* Handle of a table, as returned by sw_hash_create. */
typedef shash_t* hash_t;

/* The hash function of a table. */
enum hash_alg {
    BOB_HASH = 0,        /* bob_hash */
    ONEATATIME_HASH = 1, /* oneatatime_hash */
    TIME33_HASH = 2,     /* time33_hash */
    EXTEND_HASH = 3      /* the caller's own, passed to sw_hash_create */
};

/* A hash function: the hash value of the `length` bytes at k (k may be NULL when length is 0).
 * It must give equal keys equal values; only the bits below the table size select the bucket. */
typedef uint32_t (*hash_ex_func_hash)(const unsigned char* k, uint32_t length);

/* A key comparison: p1/len1 is a stored key, p2/len2 the key asked for (or being inserted).
 * Returns 0 when the keys are equal, any other value when not. Keys it calls equal must hash
 * equally. */
typedef int32_t (*hash_ex_func_cmp)(const void* p1, int32_t len1, const void* p2, int32_t len2);

/* Releases one data pointer, when a delete or destroy is asked to release data. */
typedef void (*hash_data_free_cb)(void* data);

/* Called by sw_hash_visit for every element: the table's key copy (keylen bytes, no terminator;
 * valid during the call only) and the element's data. It must not insert into or delete from the
 * table it visits. */
typedef void (*hash_visit_cb)(const void* key, int32_t keylen, void* data);

/* Bob Jenkins' 1996 hash (lookup2) with all three internal words starting at 0x9e3779b9; the key's
 * words are assembled byte by byte, so k needs no alignment. "abc" gives 1363884370, no bytes give
 * 2912551993. Reentrant. */
SW_API uint32_t bob_hash(const unsigned char* k, uint32_t length);

/* Bob Jenkins' one-at-a-time hash, starting from 0. "abc" gives 3977453403, no bytes give 0.
 * Reentrant. */
SW_API uint32_t oneatatime_hash(const unsigned char* k, uint32_t length);

/* Bernstein's times-33 hash, h = h * 33 + byte starting from 5381. "abc" gives 193485963, no bytes
 * give 5381. Reentrant. */
SW_API uint32_t time33_hash(const unsigned char* k, uint32_t length);

/* Creates an empty table.
 * sizehint - wanted number of buckets: raised to the next power of two, and to at least 2
 *            (0, 1 and 2 give 2; 3 gives 4; 1000 and 1024 give 1024; 1025 gives 2048).
 * keysize  - 0: keys are hashed over their whole length; n > 0: over their first n bytes only
 *            (see above).
 * alg      - BOB_HASH, ONEATATIME_HASH or TIME33_HASH: that function, and hfunc is ignored; any
 *            other value (EXTEND_HASH): hfunc.
 * hfunc    - the caller's hash function; NULL is refused when alg asks for it.
 * cfunc    - key comparison; NULL: keys are equal when their lengths and all their bytes are.
 * fcb      - release function for data; NULL: delete and destroy never release data.
 * flag     - collision scheme; only 0 (chaining) exists.
 * Returns the table, owned by the caller until sw_hash_destroy, or NULL with errno:
 *   ENOMEM - the chain heads alone would need more than INT_MAX bytes: 2^29 buckets or more (a
 *            sizehint above 2^28) where a pointer takes 4 bytes (32-bit targets), 2^28 or more (a
 *            sizehint above 2^27) where it takes 8; such sizes are refused before anything is
 *            allocated;
 *   ENOMEM - memory ran out, or the allocation rule refused the bucket array's size;
 *   EINVAL - alg asks for hfunc and it is NULL, or flag is not 0.
 * Nothing stays allocated on failure. Reentrant. */
SW_API hash_t sw_hash_create(uint32_t sizehint, uint32_t keysize, enum hash_alg alg, hash_ex_func_hash hfunc,
                             hash_ex_func_cmp cfunc, hash_data_free_cb fcb, uint32_t flag);

/* Adds the key (keylen bytes at key, copied) with data (stored unchanged) at the end of its
 * bucket's chain.
 * Returns 0 when added; -1 with errno EINVAL when an equal key is stored already; -1 with errno
 * ENOMEM when memory ran out (the table is unchanged in both cases); -1 with errno untouched when
 * htable, key or data is NULL or keylen <= 0. */
SW_API int32_t sw_hash_insert(hash_t htable, const void* key, int32_t keylen, const void* data);

/* Removes the element of the key, if there is one, releasing its key copy; when bAutoFreeData is
 * true and the table has a release function, that function is called on its data.
 * Returns 0 (also when the key is absent: then nothing changes); -1 with errno untouched when
 * htable or key is NULL or keylen <= 0. */
SW_API int32_t sw_hash_delete(hash_t htable, const void* key, int32_t keylen, bool bAutoFreeData);

/* Replaces the data of a stored key by newdata and hands the previous data back in *olddata (the
 * release function is not called: the previous data is the caller's again).
 * Returns 0 when replaced; -1 when the key is absent (nothing inserted, *olddata not written);
 * -1 with errno untouched when htable, key, newdata or olddata is NULL or keylen <= 0. */
SW_API int32_t sw_hash_replace(hash_t htable, const void* key, int32_t keylen, const void* newdata,
                               void** olddata);

/* Returns the data of the key, or NULL when it is absent or when htable or key is NULL or
 * keylen <= 0 (stored data is never NULL, so NULL always means "not found"). errno is untouched.
 * The data stays the caller's; the table keeps its pointer until a delete, replace or destroy. */
SW_API void* sw_hash_lookup(hash_t htable, const void* key, int32_t keylen);

/* Calls vcb for every element: buckets in index order, each chain in insertion order. Nothing when
 * htable or vcb is NULL. */
SW_API void sw_hash_visit(hash_t htable, hash_visit_cb vcb);

/* Destroys the table: releases every key copy, element, the bucket array and the table; when
 * bAutoFreeData is true and the table has a release function, calls it on every element's data
 * (buckets in index order, chains in insertion order). Nothing when htable is NULL. */
SW_API void sw_hash_destroy(hash_t htable, bool bAutoFreeData);

/* The number of buckets. htable must not be NULL: a NULL table ends the process with an assertion
 * message on stderr naming "htable", this module's source and the function. */
SW_API uint32_t sw_hash_getTableSize(hash_t htable);

/* The number of stored elements. htable must not be NULL (as sw_hash_getTableSize). */
SW_API uint32_t sw_hash_getElemsCnt(hash_t htable);

/* The number of collisions: stored elements that are not the first of their bucket's chain.
 * htable must not be NULL (as sw_hash_getTableSize). */
SW_API uint32_t sw_hash_getElemCollisionCnts(hash_t htable);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWHASH_H */

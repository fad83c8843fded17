// Chained hash table with a fixed power-of-two number of buckets; the public functions check their
// arguments and dispatch through the operations of the collision scheme (chaining is the only one).
#include "swhash.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/swalloc.h"

namespace {

// An element and its key copy share one block (the key right behind the element): one allocation
// per insert, and a comparison reads the key from the element's own cache line.
struct elem {
    void* key;  // the table's own copy, keylen bytes
    int32_t keylen;
    uint32_t hash;  // hash_fn's value for the key, kept for the bucket's tag
    void* data;  // the caller's, never copied
    elem* next;  // next of the same chain, in insertion order
};

}  // namespace

// Operations of a collision scheme.
struct hash_ops {
    int32_t (*insert)(hash_t, const void*, int32_t, const void*);
    int32_t (*remove)(hash_t, const void*, int32_t, bool);
    int32_t (*replace)(hash_t, const void*, int32_t, const void*, void**);
    void* (*lookup)(hash_t, const void*, int32_t);
    void (*visit)(hash_t, hash_visit_cb);
    void (*destroy)(hash_t, bool);
};

struct shash_t {
    uint32_t tsize;  // power of two
    uint32_t ksize;  // 0: hash whole keys
    uint32_t nelems;
    uint32_t nElemCollisionCnts;  // elements that are not their chain's head
    const hash_ops* h_ops;
    hash_ex_func_hash hash_fn;
    hash_ex_func_cmp cmp_fn;
    hash_data_free_cb free_cb;
    union {
        elem** chtable;  // tsize chain heads
    } dm;
    // One byte per bucket, behind the chain heads in their block: bit (hash >> 29) set for every
    // element of the chain, 0 for an empty bucket. The tags are a small array that stays in cache,
    // so most lookups of an absent key end there without touching the heads or any element.
    uint8_t* tags;
};

namespace {

// Little-endian word from bytes, so keys need no alignment (ARM faults on some unaligned loads).
inline uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void bob_mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a -= b; a -= c; a ^= c >> 13;
    b -= c; b -= a; b ^= a << 8;
    c -= a; c -= b; c ^= b >> 13;
    a -= b; a -= c; a ^= c >> 12;
    b -= c; b -= a; b ^= a << 16;
    c -= a; c -= b; c ^= b >> 5;
    a -= b; a -= c; a ^= c >> 3;
    b -= c; b -= a; b ^= a << 10;
    c -= a; c -= b; c ^= b >> 15;
}

// The first n (below 4) bytes at p as a little-endian word.
inline uint32_t le_part(const unsigned char* p, uint32_t n) {
    uint32_t w = 0;
    switch (n) {
        case 3: w |= static_cast<uint32_t>(p[2]) << 16; [[fallthrough]];
        case 2: w |= static_cast<uint32_t>(p[1]) << 8; [[fallthrough]];
        case 1: w |= p[0]; [[fallthrough]];
        default: break;
    }
    return w;
}

// Eight bytes c0..c7 as c0*33^7 + c1*33^6 + ... + c7 modulo 2^32, combined in pairs within one
// 64-bit word: adjacent bytes into 16-bit lanes, those into 32-bit lanes, then the two halves. No
// lane carries into the next: a pair is at most 255*34 < 2^16, a quad 8670*1090 < 2^32.
inline uint32_t time33_of8(const unsigned char* p) {
    const uint64_t w = static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
    constexpr uint64_t kBytes = 0x00ff00ff00ff00ffu, kHalves = 0x0000ffff0000ffffu;
    const uint64_t pairs = (w & kBytes) * 33 + (w >> 8 & kBytes);
    const uint64_t quads = (pairs & kHalves) * 1089 + (pairs >> 16 & kHalves);
    return static_cast<uint32_t>((quads & 0xffffffffu) * 1185921u + (quads >> 32));
}

int32_t default_hash_key_cmp(const void* p1, int32_t len1, const void* p2, int32_t len2) {
    if (len1 != len2) return -1;
    return memcmp(p1, p2, static_cast<size_t>(len1));
}

[[noreturn]] void assertion_failed(const char* expr, const char* file, int line, const char* func) {
    (void)fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, func, expr);
    abort();
}

// Always on, also in release builds: a NULL table would otherwise be read through.
#define SW_HASH_REQUIRE(expr) \
    ((expr) ? static_cast<void>(0) : assertion_failed(#expr, __FILE__, __LINE__, __func__))

uint32_t hash_of(const shash_t* t, const void* key, int32_t keylen) {
    uint32_t n = static_cast<uint32_t>(keylen);
    if (t->ksize != 0 && t->ksize < n) n = t->ksize;
    return t->hash_fn(static_cast<const unsigned char*>(key), n);
}

inline uint8_t tag_bit(uint32_t hash) { return static_cast<uint8_t>(1u << (hash >> 29)); }

// A key's place: its hash value and bucket.
struct Slot {
    uint32_t hash;
    uint32_t index;
};

Slot slot_of(const shash_t* t, const void* key, int32_t keylen) {
    const uint32_t h = hash_of(t, key, keylen);
    return Slot{h, h & (t->tsize - 1)};
}

// The element of the key in its bucket, or nullptr; *prevOut gets its predecessor (nullptr for the
// head). With the default comparison, equal keys have equal bytes and so equal hash values: the tag
// and the stored hash rule out most elements without reading them, and the comparison is inlined.
// A caller's comparison sees every element of the chain.
elem* find(const shash_t* t, Slot s, const void* key, int32_t keylen, elem** prevOut) {
    elem* prev = nullptr;
    if (t->cmp_fn == default_hash_key_cmp) {
        if ((t->tags[s.index] & tag_bit(s.hash)) == 0) return nullptr;
        for (elem* e = t->dm.chtable[s.index]; e != nullptr; prev = e, e = e->next) {
            if (e->hash == s.hash && e->keylen == keylen && memcmp(e->key, key, static_cast<size_t>(keylen)) == 0) {
                *prevOut = prev;
                return e;
            }
        }
        return nullptr;
    }
    for (elem* e = t->dm.chtable[s.index]; e != nullptr; prev = e, e = e->next) {
        if (t->cmp_fn(e->key, e->keylen, key, keylen) == 0) {
            *prevOut = prev;
            return e;
        }
    }
    return nullptr;
}

void release_elem(hash_t t, elem* e, bool freeData) {
    if (freeData && t->free_cb != nullptr) t->free_cb(e->data);
    SW_FREE(e);
}

int32_t ch_insert(hash_t t, const void* key, int32_t keylen, const void* data) {
    // keylen <= INT32_MAX, so the sum fits a 32-bit size_t.
    auto* e = static_cast<elem*>(SW_ALLOC(sizeof(elem) + static_cast<size_t>(keylen)));
    if (e == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    void* copy = e + 1;
    memcpy(copy, key, static_cast<size_t>(keylen));
    const Slot s = slot_of(t, key, keylen);
    *e = elem{copy, keylen, s.hash, const_cast<void*>(data), nullptr};

    elem** head = &t->dm.chtable[s.index];
    if (*head == nullptr) {
        *head = e;
        t->tags[s.index] = tag_bit(s.hash);
        ++t->nelems;
        return 0;
    }
    // The whole chain is walked to refuse a duplicate; the new element goes behind its last.
    elem* last = *head;
    for (;;) {
        if (t->cmp_fn(last->key, last->keylen, copy, keylen) == 0) {
            release_elem(t, e, false);
            errno = EINVAL;
            return -1;
        }
        if (last->next == nullptr) break;
        last = last->next;
    }
    last->next = e;
    t->tags[s.index] |= tag_bit(s.hash);
    ++t->nElemCollisionCnts;
    ++t->nelems;
    return 0;
}

int32_t ch_delete(hash_t t, const void* key, int32_t keylen, bool bAutoFreeData) {
    const Slot s = slot_of(t, key, keylen);
    elem** head = &t->dm.chtable[s.index];
    elem* prev = nullptr;
    elem* e = find(t, s, key, keylen, &prev);
    if (e == nullptr) return 0;
    bool bElemCollisionDecrement;
    if (prev == nullptr) {
        *head = e->next;
        bElemCollisionDecrement = e->next != nullptr;  // the successor stops being a collision
    } else {
        prev->next = e->next;
        bElemCollisionDecrement = true;
    }
    uint8_t tag = 0;
    for (const elem* rest = *head; rest != nullptr; rest = rest->next) tag |= tag_bit(rest->hash);
    t->tags[s.index] = tag;
    release_elem(t, e, bAutoFreeData);
    --t->nelems;
    if (bElemCollisionDecrement) --t->nElemCollisionCnts;
    return 0;
}

int32_t ch_replace(hash_t t, const void* key, int32_t keylen, const void* newdata, void** olddata) {
    elem* prev = nullptr;
    elem* e = find(t, slot_of(t, key, keylen), key, keylen, &prev);
    if (e == nullptr) return -1;
    *olddata = e->data;
    e->data = const_cast<void*>(newdata);
    return 0;
}

void* ch_lookup(hash_t t, const void* key, int32_t keylen) {
    elem* prev = nullptr;
    elem* e = find(t, slot_of(t, key, keylen), key, keylen, &prev);
    return e == nullptr ? nullptr : e->data;
}

void ch_visit(hash_t t, hash_visit_cb vcb) {
    if (vcb == nullptr) return;
    for (uint32_t i = 0; i < t->tsize; ++i) {
        for (elem* e = t->dm.chtable[i]; e != nullptr; e = e->next) vcb(e->key, e->keylen, e->data);
    }
}

void ch_destroy(hash_t t, bool bAutoFreeData) {
    for (uint32_t i = 0; i < t->tsize; ++i) {
        elem* e = t->dm.chtable[i];
        while (e != nullptr) {
            elem* next = e->next;
            release_elem(t, e, bAutoFreeData);
            e = next;
        }
    }
    SW_FREE(t->dm.chtable);  // the tags with it
    t->dm.chtable = nullptr;
    t->tags = nullptr;
}

const hash_ops ch_ops = {ch_insert, ch_delete, ch_replace, ch_lookup, ch_visit, ch_destroy};

bool key_ok(const void* key, int32_t keylen) { return key != nullptr && keylen > 0; }

}  // namespace

extern "C" uint32_t bob_hash(const unsigned char* k, uint32_t length) {
    uint32_t a = 0x9e3779b9u, b = 0x9e3779b9u, c = 0x9e3779b9u;
    uint32_t len = length;
    for (; len >= 12; k += 12, len -= 12) {
        a += le32(k);
        b += le32(k + 4);
        c += le32(k + 8);
        bob_mix(a, b, c);
    }
    c += length;
    // The rest fills a, then b, then c above its lowest byte, which is left for the length.
    if (len >= 8) {
        a += le32(k);
        b += le32(k + 4);
        c += le_part(k + 8, len - 8) << 8;
    } else if (len >= 4) {
        a += le32(k);
        b += le_part(k + 4, len - 4);
    } else {
        a += le_part(k, len);
    }
    bob_mix(a, b, c);
    return c;
}

// Four bytes a round, as counting the loop byte by byte took a third of the instructions.
extern "C" uint32_t oneatatime_hash(const unsigned char* k, uint32_t length) {
    uint32_t h = 0;
    const auto step = [&h](uint32_t byte) {
        h += byte;
        h += h << 10;
        h ^= h >> 6;
    };
    const unsigned char* const end = k + length;
    for (; end - k >= 4; k += 4) {
        step(k[0]);
        step(k[1]);
        step(k[2]);
        step(k[3]);
    }
    for (; k != end; ++k) step(*k);
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

// h = h * 33 + byte for each byte; eight bytes at once are h * 33^8 + their own sum, which does
// not wait for h, so a key costs few instructions and a short chain of dependent ones.
extern "C" uint32_t time33_hash(const unsigned char* k, uint32_t length) {
    uint32_t h = 5381;
    const unsigned char* const end = k + length;
    for (; end - k >= 8; k += 8) h = h * 1954312449u + time33_of8(k);  // 33^8 modulo 2^32
    for (; k != end; ++k) h = h * 33 + *k;
    return h;
}

extern "C" hash_t sw_hash_create(uint32_t sizehint, uint32_t keysize, enum hash_alg alg, hash_ex_func_hash hfunc,
                                 hash_ex_func_cmp cfunc, hash_data_free_cb fcb, uint32_t flag) {
    // 64-bit arithmetic: a hint above 2^31 would round up to 2^32, which a uint32_t cannot hold.
    uint64_t tsize = 2;
    while (tsize < sizehint) tsize <<= 1;
    // The heads alone reach INT_MAX bytes first: their tag bytes do not move the limit.
    // The table is an array of chain heads, so sizeof(elem*) is meant.
    constexpr size_t kBucketBytes = sizeof(elem*) + sizeof(uint8_t);  // NOLINT(bugprone-sizeof-expression)
    if (tsize > static_cast<uint64_t>(INT_MAX) / sizeof(elem*) ||  // NOLINT(bugprone-sizeof-expression)
        tsize * kBucketBytes > static_cast<uint64_t>(INT_MAX)) {
        errno = ENOMEM;
        return nullptr;
    }
    hash_ex_func_hash fn = hfunc;
    switch (static_cast<unsigned>(alg)) {
        case BOB_HASH: fn = bob_hash; break;
        case ONEATATIME_HASH: fn = oneatatime_hash; break;
        case TIME33_HASH: fn = time33_hash; break;
        default: break;
    }
    if (fn == nullptr || flag != 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* t = static_cast<shash_t*>(SW_ALLOC(sizeof(shash_t)));
    if (t == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    const size_t bytes = static_cast<size_t>(tsize) * kBucketBytes;
    auto* buckets = static_cast<elem**>(SW_ALLOC(bytes));
    if (buckets == nullptr) {
        SW_FREE(t);
        errno = ENOMEM;
        return nullptr;
    }
    memset(buckets, 0, bytes);
    t->tsize = static_cast<uint32_t>(tsize);
    t->ksize = keysize;
    t->nelems = 0;
    t->nElemCollisionCnts = 0;
    t->h_ops = &ch_ops;
    t->hash_fn = fn;
    t->cmp_fn = cfunc != nullptr ? cfunc : default_hash_key_cmp;
    t->free_cb = fcb;
    t->dm.chtable = buckets;
    t->tags = reinterpret_cast<uint8_t*>(buckets + tsize);
    return t;
}

extern "C" int32_t sw_hash_insert(hash_t htable, const void* key, int32_t keylen, const void* data) {
    if (htable == nullptr || !key_ok(key, keylen) || data == nullptr) return -1;
    return htable->h_ops->insert(htable, key, keylen, data);
}

extern "C" int32_t sw_hash_delete(hash_t htable, const void* key, int32_t keylen, bool bAutoFreeData) {
    if (htable == nullptr || !key_ok(key, keylen)) return -1;
    return htable->h_ops->remove(htable, key, keylen, bAutoFreeData);
}

extern "C" int32_t sw_hash_replace(hash_t htable, const void* key, int32_t keylen, const void* newdata,
                                   void** olddata) {
    if (htable == nullptr || !key_ok(key, keylen) || newdata == nullptr || olddata == nullptr) return -1;
    return htable->h_ops->replace(htable, key, keylen, newdata, olddata);
}

extern "C" void* sw_hash_lookup(hash_t htable, const void* key, int32_t keylen) {
    if (htable == nullptr || !key_ok(key, keylen)) return nullptr;
    return htable->h_ops->lookup(htable, key, keylen);
}

extern "C" void sw_hash_visit(hash_t htable, hash_visit_cb vcb) {
    if (htable == nullptr) return;
    htable->h_ops->visit(htable, vcb);
}

extern "C" void sw_hash_destroy(hash_t htable, bool bAutoFreeData) {
    if (htable == nullptr) return;
    htable->h_ops->destroy(htable, bAutoFreeData);
    SW_FREE(htable);
}

extern "C" uint32_t sw_hash_getTableSize(hash_t htable) {
    SW_HASH_REQUIRE(htable);
    return htable->tsize;
}

extern "C" uint32_t sw_hash_getElemsCnt(hash_t htable) {
    SW_HASH_REQUIRE(htable);
    return htable->nelems;
}

extern "C" uint32_t sw_hash_getElemCollisionCnts(hash_t htable) {
    SW_HASH_REQUIRE(htable);
    return htable->nElemCollisionCnts;
}

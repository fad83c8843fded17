// Chained hash table with a fixed power-of-two number of buckets; the public functions check their
// arguments and dispatch through the operations of the collision scheme (chaining is the only one).
// The operations that hash come once per built-in hash function, which they compute inline.
//
// A lookup in a large table mostly waits for memory: the key, the tag, the bucket, the element. Its
// instructions, above all the hash, are kept few, because the processor overlaps these reads with
// those of the caller's next lookup only as far as the instructions in between leave it room.
#include "swhash.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/swalloc.h"

namespace {

// One element of a chain: its hash value, key length and data, the key copy right behind it,
// padded so that the next element is aligned. A lookup reads the fields in their order here and
// then the key.
struct elem {
    uint32_t hash;  // hash_fn's value for the key: compared before the key bytes, and tags the bucket
    int32_t keylen;
    void* data;  // the caller's, never copied
};

// A bucket's elements in insertion order, packed in one block behind this header. An element behind
// the first is read from the lines that follow the first, not from a block of its own that only
// the one before it can point to: in a large table that was one more wait on memory for most
// lookups that pass the first element.
struct chain {
    uint32_t count;  // 1 or more: an empty chain's block is released
};

// A bucket: its chain, or nullptr. One pointer and no more: a wider bucket (the second element
// beside the first was tried) measured no faster in a large table and costs memory in every bucket.
struct bucket {
    chain* c;
};

// A bucket's tag: for every element of its chain, two bits chosen by ten high bits of the element's
// hash (the low bits select the bucket and are the same for the whole chain). A key whose two bits
// are not both set is not in the chain, which most lookups of an absent key learn from the tags
// alone, a small array that stays in cache, without reading the bucket or any element.
using tag_t = uint32_t;

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
        bucket* chtable;  // tsize buckets
    } dm;
    tag_t* tags;  // tsize tags, behind the buckets in their block
};

namespace {

// Little-endian word from bytes, so keys need no alignment (ARM faults on some unaligned loads).
inline uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
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

// The hash functions, here to be inlined into the table's operations (bob, the longest, stayed a
// call of its own unless told).
[[gnu::always_inline]] inline uint32_t bob(const unsigned char* k, uint32_t length) {
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
inline uint32_t oneatatime(const unsigned char* k, uint32_t length) {
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

// h = h * 33 + byte for each byte; eight bytes at once are h * 33^8 + their own sum, which does
// not wait for h, so a key costs few instructions and a short chain of dependent ones.
inline uint32_t time33(const unsigned char* k, uint32_t length) {
    uint32_t h = 5381;
    const unsigned char* const end = k + length;
    for (; end - k >= 8; k += 8) h = h * 1954312449u + time33_of8(k);  // 33^8 modulo 2^32
    for (; k != end; ++k) h = h * 33 + *k;
    return h;
}

// How the operations get a hash value: a built-in function directly, the caller's through the table.
// kBytes: the table compares keys by their bytes (the default comparison), which creation
// guarantees for a built-in function's operations.
template <uint32_t (*Fn)(const unsigned char*, uint32_t)>
struct Builtin {
    static constexpr bool kBytes = true;
    static uint32_t of(const shash_t*, const unsigned char* k, uint32_t n) { return Fn(k, n); }
};
struct Callers {
    static constexpr bool kBytes = false;
    static uint32_t of(const shash_t* t, const unsigned char* k, uint32_t n) { return t->hash_fn(k, n); }
};

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

inline const unsigned char* key_of(const elem* e) { return reinterpret_cast<const unsigned char*>(e + 1); }

// n bytes rounded up to a whole number of an element's alignment.
constexpr size_t elem_aligned(size_t n) {
    return (n + alignof(elem) - 1) / alignof(elem) * alignof(elem);
}

// Bytes of an element with a key of keylen (> 0) bytes; at most INT32_MAX plus a few, so a 32-bit
// size_t holds it.
inline size_t elem_size(int32_t keylen) {
    return sizeof(elem) + elem_aligned(static_cast<size_t>(keylen));
}

// Where a chain's elements start: behind its header, aligned for an element.
constexpr size_t kChainHead = elem_aligned(sizeof(chain));

inline elem* first_of(chain* c) {
    return reinterpret_cast<elem*>(reinterpret_cast<unsigned char*>(c) + kChainHead);
}
inline const elem* first_of(const chain* c) {
    return first_of(const_cast<chain*>(c));
}

inline elem* after(elem* e) {
    return reinterpret_cast<elem*>(reinterpret_cast<unsigned char*>(e) + elem_size(e->keylen));
}
inline const elem* after(const elem* e) {
    return after(const_cast<elem*>(e));
}

// Calls f with each element of chain c, in order.
template <class Chain, class F>
void each_elem(Chain* c, F f) {
    auto* e = first_of(c);
    for (uint32_t i = 0; i < c->count; ++i, e = after(e)) f(e);
}

// Bytes in use by a chain: its header and all its elements.
size_t chain_bytes(const chain* c) {
    size_t n = kChainHead;
    each_elem(c, [&n](const elem* e) { n += elem_size(e->keylen); });
    return n;
}

inline size_t word_at(const unsigned char* p) {
    size_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

constexpr size_t kWord = sizeof(size_t);

// Keys of one to four words, the usual ones, are compared without a call.
inline bool in_words(size_t n) { return n - kWord <= 3 * kWord; }

// Whether the n bytes (one to four words) at a and b are equal: word by word, the last word
// overlapping the one before when n is not a multiple.
inline bool same_words(const unsigned char* a, const unsigned char* b, size_t n) {
    size_t diff = (word_at(a) ^ word_at(b)) | (word_at(a + n - kWord) ^ word_at(b + n - kWord));
    for (size_t i = kWord; i + kWord < n; i += kWord) diff |= word_at(a + i) ^ word_at(b + i);
    return diff == 0;
}

// Whether the n bytes at a and b are equal.
inline bool same_bytes(const unsigned char* a, const unsigned char* b, size_t n) {
    return in_words(n) ? same_words(a, b, n) : memcmp(a, b, n) == 0;
}

inline tag_t tag_bits(uint32_t hash) { return 1u << (hash >> 27) | 1u << (hash >> 22 & 31); }

inline bool may_hold(tag_t tag, uint32_t hash) { return (tag & tag_bits(hash)) == tag_bits(hash); }

// A key's place: its hash value and bucket.
struct Slot {
    uint32_t hash;
    uint32_t index;
};

template <class H>
Slot slot_of(const shash_t* t, const void* key, int32_t keylen) {
    // keylen > 0; a ksize of 0 wraps to the largest value and so never shortens the key.
    uint32_t n = static_cast<uint32_t>(keylen);
    if (t->ksize - 1 < n - 1) n = t->ksize;
    const uint32_t h = H::of(t, static_cast<const unsigned char*>(key), n);
    return Slot{h, h & (t->tsize - 1)};
}

// The element of the key in its bucket's chain, or nullptr. With the default comparison, equal
// keys have equal bytes and so equal hash values: the tag rules out most absent keys without
// reading the chain, and the stored hash most elements without reading their keys. A caller's
// comparison sees every element.
elem* find(const shash_t* t, Slot s, const void* key, int32_t keylen) {
    chain* c = t->dm.chtable[s.index].c;
    const bool byBytes = t->cmp_fn == default_hash_key_cmp;
    if (c == nullptr || (byBytes && !may_hold(t->tags[s.index], s.hash))) return nullptr;
    const auto* k = static_cast<const unsigned char*>(key);
    elem* e = first_of(c);
    for (uint32_t i = 0; i < c->count; ++i, e = after(e)) {
        if (byBytes ? e->hash == s.hash && e->keylen == keylen &&
                          same_bytes(key_of(e), k, static_cast<size_t>(keylen))
                    : t->cmp_fn(key_of(e), e->keylen, key, keylen) == 0)
            return e;
    }
    return nullptr;
}

tag_t tag_of(const chain* c) {
    tag_t tag = 0;
    each_elem(c, [&tag](const elem* e) { tag |= tag_bits(e->hash); });
    return tag;
}

template <class H>
int32_t ch_insert(hash_t t, const void* key, int32_t keylen, const void* data) {
    const Slot s = slot_of<H>(t, key, keylen);
    bucket& b = t->dm.chtable[s.index];
    // A duplicate is refused; the new element goes behind the chain's last, in a block that
    // replaces the chain's.
    if (find(t, s, key, keylen) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    const size_t used = b.c == nullptr ? kChainHead : chain_bytes(b.c);
    const size_t add = elem_size(keylen);
    auto* c = add <= SIZE_MAX - used ? static_cast<chain*>(SW_ALLOC(used + add)) : nullptr;
    if (c == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    auto* e = reinterpret_cast<elem*>(reinterpret_cast<unsigned char*>(c) + used);
    *e = elem{s.hash, keylen, const_cast<void*>(data)};
    memcpy(e + 1, key, static_cast<size_t>(keylen));
    if (b.c == nullptr) {
        c->count = 1;
        t->tags[s.index] = tag_bits(s.hash);
    } else {
        memcpy(c, b.c, used);
        ++c->count;
        SW_FREE(b.c);
        t->tags[s.index] |= tag_bits(s.hash);
        ++t->nElemCollisionCnts;
    }
    b.c = c;
    ++t->nelems;
    return 0;
}

// Deletion and replacement are rare enough to hash through the table, in one version for all.
int32_t ch_delete(hash_t t, const void* key, int32_t keylen, bool bAutoFreeData) {
    const Slot s = slot_of<Callers>(t, key, keylen);
    bucket& b = t->dm.chtable[s.index];
    elem* e = find(t, s, key, keylen);
    if (e == nullptr) return 0;
    void* const data = e->data;
    if (b.c->count == 1) {
        SW_FREE(b.c);
        b.c = nullptr;
        t->tags[s.index] = 0;
    } else {
        // The rest moves to a block of its own size, so a long key removed does not hold its
        // memory; when none can be had, it closes up in the block it has.
        auto* const base = reinterpret_cast<unsigned char*>(b.c);
        const auto* const rest = reinterpret_cast<const unsigned char*>(after(e));
        const size_t before = static_cast<size_t>(reinterpret_cast<unsigned char*>(e) - base);
        const size_t behind = chain_bytes(b.c) - static_cast<size_t>(rest - base);
        auto* c = static_cast<unsigned char*>(SW_ALLOC(before + behind));
        if (c != nullptr) {
            memcpy(c, base, before);
            memcpy(c + before, rest, behind);
            SW_FREE(b.c);
            b.c = reinterpret_cast<chain*>(c);
        } else {
            memmove(e, rest, behind);
        }
        --b.c->count;
        t->tags[s.index] = tag_of(b.c);
        --t->nElemCollisionCnts;  // one chain fewer holds more than its first
    }
    if (bAutoFreeData && t->free_cb != nullptr) t->free_cb(data);
    --t->nelems;
    return 0;
}

int32_t ch_replace(hash_t t, const void* key, int32_t keylen, const void* newdata, void** olddata) {
    elem* e = find(t, slot_of<Callers>(t, key, keylen), key, keylen);
    if (e == nullptr) return -1;
    *olddata = e->data;
    e->data = const_cast<void*>(newdata);
    return 0;
}

// A lookup by find(), for the keys that the usual one leaves.
[[gnu::noinline]] void* data_of(const shash_t* t, Slot s, const void* key, int32_t keylen) {
    const elem* e = find(t, s, key, keylen);
    return e == nullptr ? nullptr : e->data;
}

// The usual lookup, a key of one to four words compared by its bytes, makes no call: the other
// keys are looked up out of line, so this one needs no registers saved and restored.
template <class H>
void* ch_lookup(hash_t t, const void* key, int32_t keylen) {
    const Slot s = slot_of<H>(t, key, keylen);
    if ((!H::kBytes && t->cmp_fn != default_hash_key_cmp) || !in_words(static_cast<size_t>(keylen)))
        return data_of(t, s, key, keylen);
    if (!may_hold(t->tags[s.index], s.hash)) return nullptr;
    const chain* c = t->dm.chtable[s.index].c;  // a tag that lets the key pass has a chain
    const auto* k = static_cast<const unsigned char*>(key);
    const elem* e = first_of(c);
    for (uint32_t i = c->count;; e = after(e)) {
        if (e->hash == s.hash && e->keylen == keylen && same_words(key_of(e), k, static_cast<size_t>(keylen)))
            return e->data;
        if (--i == 0) return nullptr;
    }
}

void ch_visit(hash_t t, hash_visit_cb vcb) {
    if (vcb == nullptr) return;
    for (uint32_t i = 0; i < t->tsize; ++i) {
        const chain* c = t->dm.chtable[i].c;
        if (c != nullptr) each_elem(c, [vcb](const elem* e) { vcb(key_of(e), e->keylen, e->data); });
    }
}

void ch_destroy(hash_t t, bool bAutoFreeData) {
    for (uint32_t i = 0; i < t->tsize; ++i) {
        chain* c = t->dm.chtable[i].c;
        if (c == nullptr) continue;
        if (bAutoFreeData && t->free_cb != nullptr) each_elem(c, [t](const elem* e) { t->free_cb(e->data); });
        SW_FREE(c);
    }
    SW_FREE(t->dm.chtable);  // the tags with it
    t->dm.chtable = nullptr;
    t->tags = nullptr;
}

template <class H>
constexpr hash_ops kChainOps = {ch_insert<H>, ch_delete, ch_replace, ch_lookup<H>, ch_visit, ch_destroy};

bool key_ok(const void* key, int32_t keylen) { return key != nullptr && keylen > 0; }

}  // namespace

extern "C" uint32_t bob_hash(const unsigned char* k, uint32_t length) { return bob(k, length); }

extern "C" uint32_t oneatatime_hash(const unsigned char* k, uint32_t length) { return oneatatime(k, length); }

extern "C" uint32_t time33_hash(const unsigned char* k, uint32_t length) { return time33(k, length); }

extern "C" hash_t sw_hash_create(uint32_t sizehint, uint32_t keysize, enum hash_alg alg, hash_ex_func_hash hfunc,
                                 hash_ex_func_cmp cfunc, hash_data_free_cb fcb, uint32_t flag) {
    // 64-bit arithmetic: a hint above 2^31 would round up to 2^32, which a uint32_t cannot hold.
    uint64_t tsize = 2;
    while (tsize < sizehint) tsize <<= 1;
    // Refused when the buckets alone would pass INT_MAX bytes. The tags make a larger block, which
    // the allocation refuses in its turn; its size still fits a size_t, as a 32-bit target gets here
    // with at most 2^28 buckets.
    if (tsize > static_cast<uint64_t>(INT_MAX) / sizeof(bucket)) {
        errno = ENOMEM;
        return nullptr;
    }
    // A built-in function gets the operations that compute it inline, as long as keys are compared
    // by their bytes; the caller's function or comparison gets the general ones.
    hash_ex_func_hash fn = hfunc;
    const hash_ops* ops = &kChainOps<Callers>;
    switch (static_cast<unsigned>(alg)) {
        case BOB_HASH:
            fn = bob_hash;
            ops = &kChainOps<Builtin<bob>>;
            break;
        case ONEATATIME_HASH:
            fn = oneatatime_hash;
            ops = &kChainOps<Builtin<oneatatime>>;
            break;
        case TIME33_HASH:
            fn = time33_hash;
            ops = &kChainOps<Builtin<time33>>;
            break;
        default: break;
    }
    if (cfunc != nullptr) ops = &kChainOps<Callers>;
    if (fn == nullptr || flag != 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* t = static_cast<shash_t*>(SW_ALLOC(sizeof(shash_t)));
    if (t == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    const size_t bytes = static_cast<size_t>(tsize) * (sizeof(bucket) + sizeof(tag_t));
    auto* buckets = static_cast<bucket*>(SW_ALLOC(bytes));
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
    t->h_ops = ops;
    t->hash_fn = fn;
    t->cmp_fn = cfunc != nullptr ? cfunc : default_hash_key_cmp;
    t->free_cb = fcb;
    t->dm.chtable = buckets;
    t->tags = reinterpret_cast<tag_t*>(buckets + tsize);
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

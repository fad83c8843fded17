// Fuzzes the hash table with operation sequences beside a model (its entries in insertion order):
// after every step the result, errno of a duplicate, the release calls, the data of every stored
// key (which the table finds through its tags and stored hashes), the element
// count and the collision count (elements minus non-empty buckets); at the end the visit order
// (buckets in index order, chains in insertion order) and the releases of destroy. Keys are
// exact-size heap copies, so AddressSanitizer sees a read past a key; the hash functions give the
// same value for the input at offsets 1 to 7 as for an aligned copy, and time33 and one-at-a-time
// what their byte-by-byte definitions give.
// Input: a configuration byte (size hint, hash function, fixed key size), an option byte (release
// function, the caller's comparison, release on destroy, a small process heap), then steps of an
// op byte (operation, release, a tail that makes the key 10 to 33 bytes long), a length byte and
// the key's bytes.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "swhash.h"
#include "swheap.h"

#define CHECK(...) ((__VA_ARGS__) ? static_cast<void>(0) : abort())
using Entries = std::vector<std::pair<std::string, void*>>;
using Ptrs = std::vector<void*>;
using Bytes = const unsigned char*;

static Entries g_seen;
static Ptrs g_freed;
static const void* g_asked;  // the caller's key in the current call
// The caller's hash crowds keys into four buckets; like the caller's comparison it ignores bit 0.
static const hash_ex_func_hash crowding = [](Bytes k, uint32_t n) { return n ? k[0] >> 1 & 3u : 0; };
static std::string loose(std::string s, bool on = true) {
    return std::for_each(s.begin(), s.end(), [&](char& c) { c |= on; }), s;
}
static int32_t loose_cmp(const void* a, int32_t an, const void* b, int32_t bn) {  // the stored key first
    return a == g_asked || loose({(const char*)a, size_t(an)}) != loose({(const char*)b, size_t(bn)});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* const end = data + size;
    for (const uint8_t* p = data + 1; p < data + 8 && p <= end; ++p)
        for (auto f : {bob_hash, oneatatime_hash, time33_hash})
            CHECK(f(p, uint32_t(end - p)) == f(std::vector<uint8_t>(p, end).data(), uint32_t(end - p)));
    uint32_t t33 = 5381, oat = 0;
    for (const uint8_t* p = data; p < end; ++p) t33 = t33 * 33 + *p, oat += *p, oat *= 1025, oat ^= oat >> 6;
    oat += oat << 3, oat ^= oat >> 11, oat += oat << 15;
    CHECK(time33_hash(data, uint32_t(size)) == t33 && oneatatime_hash(data, uint32_t(size)) == oat);
    auto next = [&] { return data < end ? *data++ : 0; };
    const unsigned cfg = next(), opt = next(), hint = cfg & 15, ksize = cfg >> 6, alg = cfg >> 4 & 3;
    const bool custom = alg == EXTEND_HASH && (opt & 2), freeAtEnd = opt & 4;
    const hash_data_free_cb fcb = opt & 1 ? +[](void* d) { g_freed.push_back(d); } : nullptr;
    static char heap[1536];  // a process heap this small is soon full: refused inserts, deletes without room
    const bool small = (opt & 8) && sw_heap_init(heap, sizeof heap, 8);
    hash_t t = sw_hash_create(hint, ksize, hash_alg(alg), crowding, custom ? loose_cmp : nullptr, fcb, 0);
    const uint32_t tsize = hint <= 2 ? 2 : hint <= 4 ? 4 : hint <= 8 ? 8 : 16;
    CHECK(t != nullptr && sw_hash_getTableSize(t) == tsize);
    const hash_ex_func_hash fns[] = {bob_hash, oneatatime_hash, time33_hash, crowding};
    auto bin = [&](const std::string& k) {
        return fns[alg](Bytes(k.data()), ksize ? std::min<size_t>(ksize, k.size()) : k.size()) & (tsize - 1);
    };
    Entries model;  // in insertion order
    while (data < end) {
        const unsigned op = next(), o = op % 4;
        std::string ks(1 + next() % 6, '\0');
        for (char& c : ks) c = static_cast<char>(next() % 8);  // few keys: repeats, NULs
        ks.append((op >> 3 & 3) * 9u, '~');                     // and long ones, alike in their tails
        const int len = int(ks.size());
        const std::vector<char> key(ks.begin(), ks.end());            // exact size: no spare bytes
        const char* k = key.data();
        const auto same = [&](auto& e) { return loose(e.first, custom) == loose(ks, custom); };
        const auto it = std::find_if(model.begin(), model.end(), same);
        const bool present = it != model.end();
        void *d = reinterpret_cast<void*>(op + 1ul), *old = nullptr, *had = present ? it->second : nullptr;
        g_asked = k, errno = 0, g_freed.clear();
        const int added = o == 0 ? sw_hash_insert(t, k, len, d) : 0;
        const bool full = small && !present && added == -1 && errno == ENOMEM;
        if (o == 0) CHECK(full || (added == -int{present} && errno == (present ? EINVAL : 0)));
        if (o == 1) CHECK(sw_hash_delete(t, k, len, op & 4) == 0);
        if (o == 2) CHECK(sw_hash_replace(t, k, len, d, &old) == -int{!present} && old == had);
        CHECK(g_freed == Ptrs(o == 1 && present && fcb && (op & 4), had));
        if (o == 0 && !present && !full) model.emplace_back(ks, d);
        if (o == 1 && present) model.erase(it);
        if (o == 2 && present) it->second = d;
        const auto now = std::find_if(model.begin(), model.end(), same);
        CHECK(sw_hash_lookup(t, k, len) == (now == model.end() ? nullptr : now->second));
        for (const auto& e : model) CHECK(sw_hash_lookup(t, e.first.data(), int(e.first.size())) == e.second);
        std::vector<int> chain(tsize);
        for (const auto& e : model) ++chain[bin(e.first)];
        const size_t n = model.size(), busy = tsize - std::count(chain.begin(), chain.end(), 0);
        CHECK(sw_hash_getElemsCnt(t) == n && sw_hash_getElemCollisionCnts(t) == n - busy);
    }
    std::stable_sort(model.begin(), model.end(), [&](auto a, auto b) { return bin(a.first) < bin(b.first); });
    Ptrs released;
    for (const auto& e : model) released.push_back(e.second);
    g_seen.clear(), g_freed.clear();
    sw_hash_visit(t, [](const void* k, int32_t n, void* d) { g_seen.push_back({{(char*)k, size_t(n)}, d}); });
    sw_hash_destroy(t, freeAtEnd);
    int live = 0;  // blocks the table left in the small heap
    if (small)
        sw_heap_check([](const char*, int, const char*, int, void* n) { ++*static_cast<int*>(n); }, &live);
    CHECK(live == 0), sw_heap_exit();
    sw_hash_visit(nullptr, nullptr), sw_hash_destroy(nullptr, true);  // nothing to do
    CHECK(g_seen == model && g_freed == (fcb && freeAtEnd ? released : Ptrs{}));
    return 0;
}

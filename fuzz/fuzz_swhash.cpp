// Fuzzes the hash table with operation sequences beside a model (its entries in insertion order):
// after every step the result, errno of a duplicate, the release calls, the data of the key, the
// element count and the collision count (elements minus non-empty buckets); at the end the visit
// order (buckets in index order, chains in insertion order) and the releases of destroy. Keys are
// exact-size heap copies, so AddressSanitizer sees a read past a key; the hash functions give the
// same value for the input at offsets 1 to 7 as for an aligned copy.
// Input: a configuration byte (size hint, hash function, fixed key size), an option byte (release
// function, the caller's comparison, release on destroy), then steps of an op byte, a length byte
// and the key's bytes.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "swhash.h"

#define CHECK(...) ((__VA_ARGS__) ? static_cast<void>(0) : abort())
using Entries = std::vector<std::pair<std::string, void*>>;
using Bytes = const unsigned char*;

static Entries g_visited;
static std::vector<void*> g_freed;
static const void* g_asked;  // the caller's key in the current call
// The caller's hash crowds keys into four buckets; like the caller's comparison it ignores bit 0.
static const hash_ex_func_hash crowding = [](Bytes k, uint32_t n) { return n ? k[0] >> 1 & 3u : 0; };
static std::string loose(std::string s) {
    return std::for_each(s.begin(), s.end(), [](char& c) { c |= 1; }), s;
}
static int32_t loose_cmp(const void* a, int32_t an, const void* b, int32_t bn) {  // the stored key first
    return a == g_asked || loose({static_cast<const char*>(a), size_t(an)}) !=
                               loose({static_cast<const char*>(b), size_t(bn)});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t at = 1; at < 8 && at <= size; ++at) {
        const std::string copy(reinterpret_cast<const char*>(data) + at, size - at);
        for (auto f : {bob_hash, oneatatime_hash, time33_hash})
            CHECK(f(data + at, size - at) == f(Bytes(copy.data()), size - at));
    }
    const uint8_t* const end = data + size;
    auto next = [&] { return data < end ? *data++ : 0; };
    const unsigned cfg = next(), opt = next(), hint = cfg & 15, ksize = cfg >> 6, alg = cfg >> 4 & 3;
    const bool releases = opt & 1, custom = alg == EXTEND_HASH && (opt & 2), freeAtEnd = opt & 4;
    const hash_data_free_cb fcb = [](void* d) { g_freed.push_back(d); };
    hash_t t = sw_hash_create(hint, ksize, hash_alg(alg), crowding, custom ? loose_cmp : nullptr,
                              releases ? fcb : nullptr, 0);
    uint32_t tsize = 2;
    while (tsize < hint) tsize <<= 1;
    CHECK(t != nullptr && sw_hash_getTableSize(t) == tsize);
    const hash_ex_func_hash fn =
        std::vector<hash_ex_func_hash>{bob_hash, oneatatime_hash, time33_hash, crowding}[alg];
    auto bucket = [&](const std::string& k) {
        return fn(Bytes(k.data()), std::min<size_t>(ksize ? ksize : 8, k.size())) & (tsize - 1);
    };
    auto same = [&](const std::string& a, const std::string& b) {
        return custom ? loose(a) == loose(b) : a == b;
    };
    Entries model;  // in insertion order
    while (data < end) {
        const unsigned op = next(), len = 1 + next() % 6;
        const std::unique_ptr<char[]> key(new char[len]);
        for (unsigned i = 0; i < len; ++i) key[i] = static_cast<char>(next() % 8);  // few keys: repeats, NULs
        const char* k = key.get();
        const std::string ks(k, len);
        auto find = [&] {
            return std::find_if(model.begin(), model.end(), [&](const auto& e) { return same(e.first, ks); });
        };
        const auto it = find();
        const bool present = it != model.end();
        void *d = reinterpret_cast<void*>(op + 1ul), *old = nullptr, *had = present ? it->second : nullptr;
        g_asked = k, errno = 0, g_freed.clear();
        if (op % 4 == 0)
            CHECK(sw_hash_insert(t, k, len, d) == -int{present} && errno == (present ? EINVAL : 0));
        if (op % 4 == 0 && !present) model.emplace_back(ks, d);
        if (op % 4 == 1) CHECK(sw_hash_delete(t, k, len, op & 4) == 0);
        if (op % 4 == 1) CHECK(g_freed == std::vector<void*>(present && releases && (op & 4), had));
        if (op % 4 == 1 && present) model.erase(it);
        if (op % 4 == 2) CHECK(sw_hash_replace(t, k, len, d, &old) == -int{!present} && old == had);
        if (op % 4 == 2 && present) it->second = d;
        CHECK(sw_hash_lookup(t, k, len) == (find() == model.end() ? nullptr : find()->second));
        CHECK(op % 4 == 1 || g_freed.empty());
        std::set<uint32_t> used;
        for (const auto& e : model) used.insert(bucket(e.first));
        CHECK(sw_hash_getElemsCnt(t) == model.size() &&
              sw_hash_getElemCollisionCnts(t) == model.size() - used.size());
    }
    std::stable_sort(model.begin(), model.end(),
                     [&](auto& a, auto& b) { return bucket(a.first) < bucket(b.first); });
    std::vector<void*> released;
    for (const auto& e : model) released.push_back(releases && freeAtEnd ? e.second : nullptr);
    released.erase(std::remove(released.begin(), released.end(), nullptr), released.end());
    g_visited.clear(), g_freed.clear();
    sw_hash_visit(t, [](const void* k, int32_t n, void* d) {
        g_visited.emplace_back(std::string((const char*)k, n), d);
    });
    sw_hash_destroy(t, freeAtEnd);
    sw_hash_visit(nullptr, nullptr), sw_hash_destroy(nullptr, true);  // nothing to do
    CHECK(g_visited == model && g_freed == released);
    return 0;
}

// Fuzzes the hash table with operation sequences read from the input (insert, delete, replace,
// lookup) beside a std::unordered_map model; after every step the results, the element count and
// the collision count (elements minus non-empty buckets) must agree with the model.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <unordered_map>

#include "swhash.h"

namespace {

#define CHECK(cond) ((cond) ? static_cast<void>(0) : abort())

int g_data[256];
int g_freed = 0;
void count_free(void*) { ++g_freed; }
size_t g_visited = 0;
void count_visit(const void*, int32_t, void*) { ++g_visited; }

// A caller's hash that crowds keys into few buckets, to exercise long chains.
uint32_t crowding_hash(const unsigned char* k, uint32_t length) { return length == 0 ? 0 : k[0] & 3u; }

// Reads the next byte, 0 past the end.
struct Input {
    const uint8_t* p;
    size_t left;
    uint8_t next() {
        if (left == 0) return 0;
        --left;
        return *p++;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    // Configuration: size hint 0..15, algorithm 0..3 (3: crowding_hash), fixed key size 0..3.
    const uint8_t cfg = in.next();
    const uint32_t hint = cfg & 15u;
    const auto alg = static_cast<enum hash_alg>((cfg >> 4) & 3u);
    const uint32_t ksize = (cfg >> 6) & 3u;
    const hash_ex_func_hash fns[] = {bob_hash, oneatatime_hash, time33_hash, crowding_hash};
    const hash_ex_func_hash fn = fns[alg];
    hash_t t = sw_hash_create(hint, ksize, alg, crowding_hash, nullptr, count_free, 0);
    CHECK(t != nullptr);
    const uint32_t mask = sw_hash_getTableSize(t) - 1;
    auto bucket = [&](const std::string& k) {
        uint32_t n = static_cast<uint32_t>(k.size());
        if (ksize != 0 && ksize < n) n = ksize;
        return fn(reinterpret_cast<const unsigned char*>(k.data()), n) & mask;
    };

    std::unordered_map<std::string, void*> model;
    g_freed = 0;
    while (in.left > 0) {
        const uint8_t op = in.next();
        std::string key(1 + in.next() % 6, '\0');
        for (char& c : key) c = static_cast<char>(in.next() % 8);  // few distinct keys: repeats
        void* d = &g_data[op];
        const auto it = model.find(key);
        const bool present = it != model.end();
        const auto len = static_cast<int32_t>(key.size());
        switch (op & 3u) {
            case 0:
                CHECK(sw_hash_insert(t, key.data(), len, d) == (present ? -1 : 0));
                if (!present) model.emplace(key, d);
                break;
            case 1: {
                const int before = g_freed;
                const bool autoFree = (op & 4u) != 0;
                CHECK(sw_hash_delete(t, key.data(), len, autoFree) == 0);
                CHECK(g_freed - before == (present && autoFree ? 1 : 0));
                if (present) model.erase(it);
                break;
            }
            case 2: {
                void* old = nullptr;
                CHECK(sw_hash_replace(t, key.data(), len, d, &old) == (present ? 0 : -1));
                if (present) {
                    CHECK(old == it->second);
                    it->second = d;
                }
                break;
            }
            default:
                CHECK(sw_hash_lookup(t, key.data(), len) == (present ? it->second : nullptr));
        }
        std::set<uint32_t> used;
        for (const auto& kv : model) used.insert(bucket(kv.first));
        CHECK(sw_hash_getElemsCnt(t) == model.size());
        CHECK(sw_hash_getElemCollisionCnts(t) == model.size() - used.size());
    }
    g_visited = 0;
    sw_hash_visit(t, count_visit);
    CHECK(g_visited == model.size());
    g_freed = 0;
    sw_hash_destroy(t, true);
    CHECK(static_cast<size_t>(g_freed) == model.size());
    return 0;
}

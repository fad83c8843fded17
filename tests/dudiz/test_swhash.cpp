// swhash: chained hash table with a fixed number of buckets, three built-in hash functions and the
// caller's own.
#include "swhash.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/forked.h"
#include "swheap.h"

namespace {

using Bytes = std::string;  // a key as bytes, NULs allowed

int32_t len_of(const Bytes& k) { return static_cast<int32_t>(k.size()); }

// Data pointers are the addresses of these tokens, so every stored datum is distinct and non-NULL.
int g_tokens[4096];
void* token(size_t i) { return &g_tokens[i % 4096]; }

// Records what the release function and the visit callback received.
std::vector<void*> g_freed;
void record_free(void* data) { g_freed.push_back(data); }
std::vector<std::pair<Bytes, void*>> g_visited;
void record_visit(const void* key, int32_t keylen, void* data) {
    g_visited.emplace_back(Bytes(static_cast<const char*>(key), static_cast<size_t>(keylen)), data);
}

// Caller's hash functions: all keys in bucket 0; the key's first byte; and one that notes the
// length it was asked to hash.
uint32_t hash_zero(const unsigned char*, uint32_t) { return 0; }
uint32_t hash_first_byte(const unsigned char* k, uint32_t length) { return length == 0 ? 0 : k[0]; }
std::vector<uint32_t> g_hashedLengths;
uint32_t hash_noting_length(const unsigned char* k, uint32_t length) {
    g_hashedLengths.push_back(length);
    return bob_hash(k, length);
}

class HashTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_freed.clear();
        g_visited.clear();
        g_hashedLengths.clear();
    }
    void TearDown() override { sw_hash_destroy(t_, false); }
    // Makes the fixture's table (destroyed after the test).
    void make(uint32_t sizehint, enum hash_alg alg = BOB_HASH, hash_ex_func_hash h = nullptr, uint32_t keysize = 0,
              hash_data_free_cb fcb = record_free) {
        t_ = sw_hash_create(sizehint, keysize, alg, h, nullptr, fcb, 0);
        ASSERT_NE(t_, nullptr);
    }
    int32_t insert(const Bytes& k, void* d) { return sw_hash_insert(t_, k.data(), len_of(k), d); }
    void* lookup(const Bytes& k) { return sw_hash_lookup(t_, k.data(), len_of(k)); }
    int32_t remove(const Bytes& k, bool autoFree) { return sw_hash_delete(t_, k.data(), len_of(k), autoFree); }
    uint32_t elems() { return sw_hash_getElemsCnt(t_); }
    uint32_t collisions() { return sw_hash_getElemCollisionCnts(t_); }
    hash_t t_ = nullptr;
};

}  // namespace

TEST(SwHashFunctions, CheckValues) {
    struct Case {
        const char* name;
        hash_ex_func_hash fn;
        uint32_t abc, empty;
    } const cases[] = {
        {"bob", bob_hash, 1363884370u, 2912551993u},
        {"oneatatime", oneatatime_hash, 3977453403u, 0u},
        {"time33", time33_hash, 193485963u, 5381u},
    };
    const auto* abc = reinterpret_cast<const unsigned char*>("abc");
    for (const Case& c : cases) {
        EXPECT_EQ(c.fn(abc, 3), c.abc) << c.name;
        EXPECT_EQ(c.fn(nullptr, 0), c.empty) << c.name;
    }
}

// Bytes above 0x7f must count as large unsigned values, the same on every platform.
TEST(SwHashFunctions, HighBytesAreUnsigned) {
    const unsigned char k[] = {0xff, 0x80};
    EXPECT_EQ(time33_hash(k, 2), (5381u * 33 + 0xff) * 33 + 0x80);
    EXPECT_EQ(time33_hash(k, 1), 5381u * 33 + 0xff);
}

// Keys may start at any address: the value depends on the bytes only, never on their alignment,
// for every length including the 12-byte blocks of bob_hash and each length of its tail.
TEST(SwHashFunctions, ValueDoesNotDependOnAlignment) {
    std::mt19937 rng(7);
    std::vector<unsigned char> ref(64);
    for (auto& b : ref) b = static_cast<unsigned char>(rng());
    alignas(16) unsigned char shifted[80];
    for (hash_ex_func_hash fn : {bob_hash, oneatatime_hash, time33_hash}) {
        for (uint32_t len = 0; len <= 40; ++len) {
            const uint32_t expected = fn(ref.data(), len);
            for (size_t off = 1; off < 8; ++off) {
                memcpy(shifted + off, ref.data(), len);
                ASSERT_EQ(fn(shifted + off, len), expected) << "length " << len << " offset " << off;
            }
        }
    }
}

// Each byte of a key, at every position of the head blocks and the tail, changes bob_hash.
TEST(SwHashFunctions, BobHashUsesEveryByte) {
    std::vector<unsigned char> k(30, 'x');
    for (uint32_t len = 1; len <= 30; ++len) {
        const uint32_t base = bob_hash(k.data(), len);
        for (uint32_t pos = 0; pos < len; ++pos) {
            k[pos] ^= 1;
            EXPECT_NE(bob_hash(k.data(), len), base) << "length " << len << " byte " << pos;
            k[pos] ^= 1;
        }
    }
}

TEST(SwHashCreate, SizesFromHints) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 2},       {1, 2},       {2, 2},      {3, 4},
                                                   {1000, 1024}, {1024, 1024}, {1025, 2048}, {65537, 131072}};
    for (const auto& [hint, size] : cases) {
        hash_t t = sw_hash_create(hint, 0, BOB_HASH, nullptr, nullptr, nullptr, 0);
        ASSERT_NE(t, nullptr) << hint;
        EXPECT_EQ(sw_hash_getTableSize(t), size) << hint;
        EXPECT_EQ(sw_hash_getElemsCnt(t), 0u) << hint;
        EXPECT_EQ(sw_hash_getElemCollisionCnts(t), 0u) << hint;
        sw_hash_destroy(t, true);
    }
}

// A table raised from a hint of 0 is usable, not a table of no buckets.
TEST_F(HashTest, HintZeroGivesAUsableTable) {
    make(0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(insert("k" + std::to_string(i), token(i)), 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lookup("k" + std::to_string(i)), token(i));
    std::set<uint32_t> used;
    for (int i = 0; i < 5; ++i) {
        const std::string k = "k" + std::to_string(i);
        used.insert(bob_hash(reinterpret_cast<const unsigned char*>(k.data()), 2) & 1u);
    }
    EXPECT_EQ(elems(), 5u);
    EXPECT_EQ(collisions(), 5u - used.size());
}

TEST(SwHashCreate, InvalidChoicesAreRefusedWithEinval) {
    struct Case {
        enum hash_alg alg;
        hash_ex_func_hash h;
        uint32_t flag;
    } const cases[] = {{EXTEND_HASH, nullptr, 0}, {BOB_HASH, nullptr, 1}, {EXTEND_HASH, hash_zero, 2}};
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(sw_hash_create(16, 0, c.alg, c.h, nullptr, nullptr, c.flag), nullptr) << c.alg << " " << c.flag;
        EXPECT_EQ(errno, EINVAL) << c.alg << " " << c.flag;
    }
}

// Built-in algorithms ignore the caller's function; EXTEND_HASH uses it.
TEST(SwHashCreate, AlgorithmChoosesTheFunction) {
    for (unsigned alg = BOB_HASH; alg <= EXTEND_HASH; ++alg) {
        g_hashedLengths.clear();
        hash_t t = sw_hash_create(8, 0, static_cast<enum hash_alg>(alg), hash_noting_length, nullptr, nullptr, 0);
        ASSERT_NE(t, nullptr) << alg;
        ASSERT_EQ(sw_hash_insert(t, "abc", 3, token(0)), 0);
        EXPECT_EQ(g_hashedLengths.empty(), alg < 3) << alg;
        sw_hash_destroy(t, false);
    }
}

// Bucket arrays beyond INT_MAX bytes are refused before anything is allocated: inside a small
// process heap nothing is ever taken, and under an address-space limit nothing huge is asked of
// the system either (an overflowing size computation would ask for a wrapped, small array).
TEST(SwHashCreate, HugeSizesAreRefusedWithoutAHugeAllocation) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space; an RLIMIT_AS would break it";
#else
    expect_passes_in_child([] {
        long pages = 0;
        if (FILE* f = fopen("/proc/self/statm", "re")) {
            if (fscanf(f, "%ld", &pages) != 1) pages = 0;
            fclose(f);
        }
        ASSERT_GT(pages, 0);
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256u << 20);
        const struct rlimit rl = {limit, limit};
        ASSERT_EQ(setrlimit(RLIMIT_AS, &rl), 0);

        static char heap[64 * 1024];
        ASSERT_TRUE(sw_heap_init(heap, sizeof heap, 8));
        // The first refused size: 2^29 buckets of 4 bytes, or 2^28 of 8.
        const uint32_t firstRefusedHint = sizeof(void*) == 4 ? (1u << 28) + 1 : (1u << 27) + 1;
        for (uint32_t hint : {firstRefusedHint, 1u << 29, 1u << 30, 1u << 31, (1u << 31) + 1, UINT32_MAX}) {
            errno = 0;
            EXPECT_EQ(sw_hash_create(hint, 0, BOB_HASH, nullptr, nullptr, nullptr, 0), nullptr) << hint;
            EXPECT_EQ(errno, ENOMEM) << hint;
        }
        EXPECT_EQ(sw_heap_check(nullptr, nullptr), 0) << "nothing may have been allocated";
        sw_heap_exit();

        hash_t t = sw_hash_create(1u << 16, 0, BOB_HASH, nullptr, nullptr, nullptr, 0);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(sw_hash_getTableSize(t), 1u << 16);
        sw_hash_destroy(t, false);
    });
#endif
}

TEST_F(HashTest, DuplicateInsertIsRefusedAndTheFirstStays) {
    make(16);
    ASSERT_EQ(insert("key", token(1)), 0);
    errno = 0;
    EXPECT_EQ(insert("key", token(2)), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(elems(), 1u);
    EXPECT_EQ(collisions(), 0u);
    EXPECT_EQ(lookup("key"), token(1));
}

// The default comparison uses the length: "ab" and "ab\0" are two keys, and lookups of a prefix
// or an extension miss.
TEST_F(HashTest, KeysOfDifferentLengthsDiffer) {
    make(16, EXTEND_HASH, hash_zero);
    const Bytes ab("ab", 2), abNul("ab\0", 3);
    ASSERT_EQ(insert(ab, token(1)), 0);
    ASSERT_EQ(insert(abNul, token(2)), 0);
    EXPECT_EQ(lookup(ab), token(1));
    EXPECT_EQ(lookup(abNul), token(2));
    EXPECT_EQ(lookup("a"), nullptr);
    EXPECT_EQ(lookup(Bytes("ab\0\0", 4)), nullptr);
}

// The table copies keys: the caller's buffer may change or go away after the insert.
TEST_F(HashTest, KeysAreCopied) {
    make(16);
    auto buf = std::make_unique<char[]>(4);
    memcpy(buf.get(), "abcd", 4);
    ASSERT_EQ(sw_hash_insert(t_, buf.get(), 4, token(3)), 0);
    memcpy(buf.get(), "wxyz", 4);
    buf.reset();
    EXPECT_EQ(lookup("abcd"), token(3));
    EXPECT_EQ(lookup("wxyz"), nullptr);
}

// All keys in one bucket: the collision count follows the chain through every kind of deletion.
TEST_F(HashTest, CollisionCountThroughInsertionsAndDeletions) {
    struct Case {
        const char* name;
        std::vector<Bytes> deletions;
        std::vector<uint32_t> collisionsAfter;
    } const cases[] = {
        {"head, new head, last", {"a", "b", "c"}, {1, 0, 0}},
        {"middle, then tail", {"b", "c", "a"}, {1, 0, 0}},
        {"tail first", {"c", "a", "b"}, {1, 0, 0}},
    };
    for (const Case& c : cases) {
        hash_t t = sw_hash_create(8, 0, EXTEND_HASH, hash_zero, nullptr, nullptr, 0);
        ASSERT_NE(t, nullptr);
        for (const char* k : {"a", "b", "c"}) ASSERT_EQ(sw_hash_insert(t, k, 1, token(0)), 0);
        EXPECT_EQ(sw_hash_getElemsCnt(t), 3u) << c.name;
        EXPECT_EQ(sw_hash_getElemCollisionCnts(t), 2u) << c.name;
        for (size_t i = 0; i < c.deletions.size(); ++i) {
            ASSERT_EQ(sw_hash_delete(t, c.deletions[i].data(), 1, false), 0);
            EXPECT_EQ(sw_hash_getElemsCnt(t), 2u - i) << c.name << " step " << i;
            EXPECT_EQ(sw_hash_getElemCollisionCnts(t), c.collisionsAfter[i]) << c.name << " step " << i;
            for (size_t j = i + 1; j < c.deletions.size(); ++j) {
                EXPECT_EQ(sw_hash_lookup(t, c.deletions[j].data(), 1), token(0)) << c.name << " lost a neighbour";
            }
        }
        sw_hash_destroy(t, false);
    }
}

TEST_F(HashTest, AbsentKeysChangeNothing) {
    make(16, EXTEND_HASH, hash_zero);
    ASSERT_EQ(insert("here", token(1)), 0);
    ASSERT_EQ(insert("also", token(2)), 0);
    EXPECT_EQ(remove("gone", true), 0);
    void* old = token(99);
    EXPECT_EQ(sw_hash_replace(t_, "gone", 4, token(3), &old), -1);
    EXPECT_EQ(old, token(99)) << "*olddata must not be written";
    EXPECT_EQ(lookup("gone"), nullptr);
    EXPECT_EQ(elems(), 2u);
    EXPECT_EQ(collisions(), 1u);
    EXPECT_TRUE(g_freed.empty());
}

TEST_F(HashTest, ReplaceHandsBackTheOldDataWithoutReleasingIt) {
    make(16);
    ASSERT_EQ(insert("k", token(1)), 0);
    void* old = nullptr;
    EXPECT_EQ(sw_hash_replace(t_, "k", 1, token(2), &old), 0);
    EXPECT_EQ(old, token(1));
    EXPECT_EQ(lookup("k"), token(2));
    EXPECT_EQ(elems(), 1u);
    EXPECT_TRUE(g_freed.empty());
}

// The release function runs once per removed element exactly when asked to and when there is one.
TEST(SwHashRelease, DeleteAndDestroyReleaseDataOnlyWhenAsked) {
    struct Case {
        bool withCallback, autoFree;
        size_t expectedCalls;  // for one delete, then for a destroy of two elements
    } const cases[] = {{true, true, 1}, {true, false, 0}, {false, true, 0}, {false, false, 0}};
    for (const Case& c : cases) {
        g_freed.clear();
        hash_t t = sw_hash_create(16, 0, TIME33_HASH, nullptr, nullptr, c.withCallback ? record_free : nullptr, 0);
        ASSERT_NE(t, nullptr);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(sw_hash_insert(t, &"xyz"[i], 1, token(i)), 0);
        ASSERT_EQ(sw_hash_delete(t, "y", 1, c.autoFree), 0);
        EXPECT_EQ(g_freed, std::vector<void*>(c.expectedCalls, token(1))) << c.withCallback << c.autoFree;
        EXPECT_EQ(sw_hash_lookup(t, "y", 1), nullptr);
        g_freed.clear();
        sw_hash_destroy(t, c.autoFree);
        const std::set<void*> freed(g_freed.begin(), g_freed.end());
        EXPECT_EQ(g_freed.size(), 2 * c.expectedCalls) << c.withCallback << c.autoFree;
        if (c.expectedCalls != 0) {
            EXPECT_EQ(freed, (std::set<void*>{token(0), token(2)}));
        }
    }
}

// Buckets in index order, each chain in insertion order (the key's first byte is its bucket).
TEST_F(HashTest, VisitOrder) {
    make(8, EXTEND_HASH, hash_first_byte);
    const std::vector<Bytes> inserted = {"\x05" "a", "\x01" "b", "\x05" "c", "\x03" "d", "\x01" "e", "\x0d" "f"};
    for (size_t i = 0; i < inserted.size(); ++i) ASSERT_EQ(insert(inserted[i], token(i)), 0);
    sw_hash_visit(t_, record_visit);
    // 0x0d & 7 = 5: "f" joins bucket 5 behind "a" and "c".
    const std::vector<std::pair<Bytes, void*>> expected = {
        {"\x01" "b", token(1)}, {"\x01" "e", token(4)}, {"\x03" "d", token(3)},
        {"\x05" "a", token(0)}, {"\x05" "c", token(2)}, {"\x0d" "f", token(5)},
    };
    EXPECT_EQ(g_visited, expected);
    g_visited.clear();
    sw_hash_visit(t_, nullptr);
    sw_hash_visit(nullptr, record_visit);
    EXPECT_TRUE(g_visited.empty());
}

// A fixed key size hashes at most that many bytes, and a shorter key only its own bytes.
TEST_F(HashTest, FixedKeySizeLimitsTheHashedBytes) {
    make(64, EXTEND_HASH, hash_noting_length, 4);
    ASSERT_EQ(insert("abcdX", token(1)), 0);
    ASSERT_EQ(insert("abcdYZ", token(2)), 0);
    EXPECT_EQ(collisions(), 1u) << "equal first 4 bytes must share a bucket";
    const std::vector<unsigned char> shortKey = {'a', 'b'};  // exactly 2 bytes: AddressSanitizer sees an over-read
    ASSERT_EQ(sw_hash_insert(t_, shortKey.data(), 2, token(3)), 0);
    EXPECT_EQ(g_hashedLengths, (std::vector<uint32_t>{4, 4, 2}));
    EXPECT_EQ(lookup("abcdX"), token(1));
    EXPECT_EQ(lookup("abcdYZ"), token(2));
    EXPECT_EQ(lookup("ab"), token(3));
    EXPECT_EQ(lookup("abcd"), nullptr) << "the comparison still uses the whole key";
}

// A caller's comparison decides equality on its own (here: the first byte only) and gets the
// stored key first, then the key asked for.
const void* g_askedKey;
int g_cmpCallsWithAskedSecond;
int32_t first_byte_cmp(const void* p1, int32_t, const void* p2, int32_t) {
    if (p2 == g_askedKey) ++g_cmpCallsWithAskedSecond;
    return *static_cast<const char*>(p1) == *static_cast<const char*>(p2) ? 0 : 1;
}

TEST(SwHashCompare, CallersComparisonDecidesEquality) {
    hash_t t = sw_hash_create(8, 0, EXTEND_HASH, hash_zero, first_byte_cmp, nullptr, 0);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(sw_hash_insert(t, "a1", 2, token(1)), 0);
    ASSERT_EQ(sw_hash_insert(t, "b1", 2, token(2)), 0);
    errno = 0;
    EXPECT_EQ(sw_hash_insert(t, "a2", 2, token(3)), -1);
    EXPECT_EQ(errno, EINVAL);
    const char asked[] = "b9";
    g_askedKey = asked;
    g_cmpCallsWithAskedSecond = 0;
    EXPECT_EQ(sw_hash_lookup(t, asked, 2), token(2));
    EXPECT_EQ(g_cmpCallsWithAskedSecond, 2) << "the chain is a1, b1: both compared, the asked key second";
    EXPECT_EQ(sw_hash_delete(t, "a7", 2, false), 0);
    EXPECT_EQ(sw_hash_getElemsCnt(t), 1u);
    sw_hash_destroy(t, false);
}

// Refused calls return at once without touching errno or the table.
TEST_F(HashTest, RefusedArgumentsLeaveErrnoAndTableAlone) {
    make(16);
    ASSERT_EQ(insert("k", token(1)), 0);
    void* old = nullptr;
    struct Case {
        const char* name;
        std::function<long()> call;  // the result as a number: -1, or 0 for a NULL pointer
        long refused;
    };
    const std::vector<Case> cases = {
        {"insert NULL table", [] { return sw_hash_insert(nullptr, "a", 1, token(0)); }, -1},
        {"insert NULL key", [this] { return sw_hash_insert(t_, nullptr, 1, token(0)); }, -1},
        {"insert keylen 0", [this] { return sw_hash_insert(t_, "a", 0, token(0)); }, -1},
        {"insert keylen -1", [this] { return sw_hash_insert(t_, "a", -1, token(0)); }, -1},
        {"insert NULL data", [this] { return sw_hash_insert(t_, "a", 1, nullptr); }, -1},
        {"delete NULL table", [] { return sw_hash_delete(nullptr, "k", 1, true); }, -1},
        {"delete NULL key", [this] { return sw_hash_delete(t_, nullptr, 1, true); }, -1},
        {"delete keylen 0", [this] { return sw_hash_delete(t_, "k", 0, true); }, -1},
        {"replace NULL table", [&] { return sw_hash_replace(nullptr, "k", 1, token(2), &old); }, -1},
        {"replace NULL key", [&] { return sw_hash_replace(t_, nullptr, 1, token(2), &old); }, -1},
        {"replace keylen 0", [&] { return sw_hash_replace(t_, "k", 0, token(2), &old); }, -1},
        {"replace NULL newdata", [&] { return sw_hash_replace(t_, "k", 1, nullptr, &old); }, -1},
        {"replace NULL olddata", [&] { return sw_hash_replace(t_, "k", 1, token(2), nullptr); }, -1},
        {"lookup NULL table", [] { return sw_hash_lookup(nullptr, "k", 1) == nullptr ? 0L : 1L; }, 0},
        {"lookup NULL key", [this] { return sw_hash_lookup(t_, nullptr, 1) == nullptr ? 0L : 1L; }, 0},
        {"lookup keylen -5", [this] { return sw_hash_lookup(t_, "k", -5) == nullptr ? 0L : 1L; }, 0},
    };
    for (const Case& c : cases) {
        errno = 4242;
        EXPECT_EQ(c.call(), c.refused) << c.name;
        EXPECT_EQ(errno, 4242) << c.name;
    }
    sw_hash_destroy(nullptr, true);
    EXPECT_EQ(elems(), 1u);
    EXPECT_EQ(lookup("k"), token(1));
    EXPECT_EQ(old, nullptr);
    EXPECT_TRUE(g_freed.empty());
}

TEST(SwHashGetters, NullTableIsAnAssertion) {
    EXPECT_DEATH(sw_hash_getTableSize(nullptr), "swhash.cpp:[0-9]+: sw_hash_getTableSize: Assertion `htable' failed");
    EXPECT_DEATH(sw_hash_getElemsCnt(nullptr), "swhash.cpp:[0-9]+: sw_hash_getElemsCnt: Assertion `htable' failed");
    EXPECT_DEATH(sw_hash_getElemCollisionCnts(nullptr),
                 "swhash.cpp:[0-9]+: sw_hash_getElemCollisionCnts: Assertion `htable' failed");
}

// Random inserts, deletes, replaces and lookups beside std::unordered_map. After every step the
// counts match the model and the collision count is the elements minus the non-empty buckets;
// now and then a visit must list exactly the model, in bucket and insertion order.
TEST(SwHashModel, RandomOperationsMatchAModel) {
    struct Config {
        uint32_t sizehint;
        enum hash_alg alg;
    } const configs[] = {{4, BOB_HASH}, {16, ONEATATIME_HASH}, {64, TIME33_HASH}, {1024, BOB_HASH}};
    for (const Config& cfg : configs) {
        SCOPED_TRACE(testing::Message() << "sizehint " << cfg.sizehint << " alg " << cfg.alg);
        g_freed.clear();
        hash_t t = sw_hash_create(cfg.sizehint, 0, cfg.alg, nullptr, nullptr, record_free, 0);
        ASSERT_NE(t, nullptr);
        const uint32_t mask = sw_hash_getTableSize(t) - 1;
        const hash_ex_func_hash fn = cfg.alg == BOB_HASH ? bob_hash : cfg.alg == ONEATATIME_HASH ? oneatatime_hash : time33_hash;
        auto bucket = [&](const Bytes& k) {
            return fn(reinterpret_cast<const unsigned char*>(k.data()), static_cast<uint32_t>(k.size())) & mask;
        };
        struct Entry {
            void* data;
            uint64_t seq;  // insertion order
        };
        std::unordered_map<Bytes, Entry> model;
        std::mt19937 rng(0xC0FFEE + cfg.sizehint);
        uint64_t seq = 0;
        auto randomKey = [&] {
            Bytes k(1 + rng() % 3, '\0');
            for (char& ch : k) ch = static_cast<char>(rng() % 6 + 0xfd);  // NULs and high bytes
            return k;
        };
        for (int step = 0; step < 20000; ++step) {
            const Bytes k = randomKey();
            const auto it = model.find(k);
            const bool present = it != model.end();
            void* d = token(rng());
            switch (rng() % 4) {
                case 0: {
                    errno = 0;
                    const int32_t rc = sw_hash_insert(t, k.data(), len_of(k), d);
                    ASSERT_EQ(rc, present ? -1 : 0) << step;
                    if (present) {
                        ASSERT_EQ(errno, EINVAL);
                    } else {
                        model[k] = Entry{d, seq++};
                    }
                    break;
                }
                case 1: {
                    const bool autoFree = rng() % 2 == 0;
                    g_freed.clear();
                    ASSERT_EQ(sw_hash_delete(t, k.data(), len_of(k), autoFree), 0) << step;
                    const std::vector<void*> expectFreed =
                        present && autoFree ? std::vector<void*>{it->second.data} : std::vector<void*>{};
                    ASSERT_EQ(g_freed, expectFreed) << step;
                    if (present) model.erase(it);
                    break;
                }
                case 2: {
                    void* old = nullptr;
                    ASSERT_EQ(sw_hash_replace(t, k.data(), len_of(k), d, &old), present ? 0 : -1) << step;
                    if (present) {
                        ASSERT_EQ(old, it->second.data);
                        it->second.data = d;
                    }
                    break;
                }
                default:
                    ASSERT_EQ(sw_hash_lookup(t, k.data(), len_of(k)), present ? it->second.data : nullptr) << step;
            }
            std::set<uint32_t> used;
            for (const auto& kv : model) used.insert(bucket(kv.first));
            ASSERT_EQ(sw_hash_getElemsCnt(t), model.size()) << step;
            ASSERT_EQ(sw_hash_getElemCollisionCnts(t), model.size() - used.size()) << step;
            if (step % 500 == 0) {
                g_visited.clear();
                sw_hash_visit(t, record_visit);
                ASSERT_EQ(g_visited.size(), model.size());
                for (size_t i = 0; i < g_visited.size(); ++i) {
                    const auto m = model.find(g_visited[i].first);
                    ASSERT_NE(m, model.end());
                    ASSERT_EQ(g_visited[i].second, m->second.data);
                    if (i == 0) continue;
                    const Bytes& prev = g_visited[i - 1].first;
                    const uint32_t pb = bucket(prev), b = bucket(g_visited[i].first);
                    ASSERT_TRUE(pb < b || (pb == b && model[prev].seq < m->second.seq)) << "visit order at " << i;
                }
            }
        }
        g_freed.clear();
        const size_t left = model.size();
        sw_hash_destroy(t, true);
        EXPECT_EQ(g_freed.size(), left);
    }
}

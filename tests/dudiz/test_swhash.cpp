// Hash table: the documented hash values and the limits of a table. Its operations, bad arguments
// included, and the hash functions over any bytes are checked against models by fuzz_swhash, which
// runs as a test in every build.
#include "swhash.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/forked.h"
#include "swheap.h"

// The documented values, and for a key of a whole block and every tail byte, the value that lookup2
// written out independently gives.
TEST(SwHashFunctions, KnownValues) {
    const auto* abc = reinterpret_cast<const unsigned char*>("abc");
    const auto* block = reinterpret_cast<const unsigned char*>("Hikrobot industrial cam");
    EXPECT_EQ(
        std::vector<uint32_t>({bob_hash(abc, 3), bob_hash(abc, 0), bob_hash(block, 23),
                               oneatatime_hash(abc, 3), oneatatime_hash(abc, 0), time33_hash(abc, 3),
                               time33_hash(abc, 0)}),
        std::vector<uint32_t>({1363884370u, 2912551993u, 3018031520u, 3977453403u, 0u, 193485963u, 5381u}));
}

// Refused creations leave nothing allocated: in a small process heap nothing is taken, as bucket
// arrays beyond INT_MAX bytes (2^29 heads of 4 bytes, 2^28 of 8) are refused before the table itself
// is allocated. The counters require a table.
TEST(SwHashCreate, RefusalsAllocateNothing) {
    errno = 0;
    EXPECT_TRUE(!sw_hash_create(16, 0, EXTEND_HASH, nullptr, nullptr, nullptr, 0) && errno == EINVAL);
    expect_passes_in_child([] {
        static char heap[64 * 1024];
        ASSERT_TRUE(sw_heap_init(heap, sizeof heap, 8));
        const uint32_t huge = sizeof(void*) == 4 ? (1u << 28) + 1 : (1u << 27) + 1, big = 1u << 31;
        using Case =
            std::tuple<uint32_t, hash_alg, hash_ex_func_hash, uint32_t, int>;  // hint, alg, fn, flag, errno
        const Case cases[] = {
            {huge, BOB_HASH, nullptr, 0, ENOMEM},    {1u << 30, TIME33_HASH, nullptr, 0, ENOMEM},
            {big + 1, BOB_HASH, nullptr, 0, ENOMEM}, {UINT32_MAX, EXTEND_HASH, bob_hash, 0, ENOMEM},
            {16, EXTEND_HASH, nullptr, 0, EINVAL},   {16, BOB_HASH, nullptr, 1, EINVAL},
            {16, EXTEND_HASH, bob_hash, 2, EINVAL}};
        for (const auto& [hint, alg, fn, flag, err] : cases) {
            errno = 0;
            EXPECT_TRUE(!sw_hash_create(hint, 0, alg, fn, nullptr, nullptr, flag) && errno == err) << hint;
        }
        EXPECT_EQ(sw_heap_check(nullptr, nullptr), 0) << "a refused size took memory";
        // The largest size allowed gets as far as the bucket array, which this heap cannot hold.
        EXPECT_EQ(sw_hash_create(huge - 1, 0, BOB_HASH, nullptr, nullptr, nullptr, 0), nullptr);
        int live = 0;
        const int mark = sw_heap_check(
            [](const char*, int, const char*, int, void* n) { ++*static_cast<int*>(n); }, &live);
        EXPECT_TRUE(mark > 0 && live == 0);
        sw_heap_exit();
    });
    const auto death = [](const char* f) {
        return std::string("swhash.cpp:[0-9]+: ") + f + ": Assertion `htable' failed";
    };
    EXPECT_DEATH(sw_hash_getTableSize(nullptr), death("sw_hash_getTableSize"));
    EXPECT_DEATH(sw_hash_getElemsCnt(nullptr), death("sw_hash_getElemsCnt"));
    EXPECT_DEATH(sw_hash_getElemCollisionCnts(nullptr), death("sw_hash_getElemCollisionCnts"));
}

// Refused arguments return at once, leave errno alone and change nothing.
TEST(SwHashArguments, RefusedWithoutEffect) {
    hash_t t = sw_hash_create(4, 0, BOB_HASH, nullptr, nullptr, nullptr, 0);
    int data = 0;
    void *d = &data, *old = nullptr;
    ASSERT_EQ(sw_hash_insert(t, "k", 1, d), 0);
    errno = 4242;
    const char* none = nullptr;
    for (const auto& [h, k, n] : {std::tuple(hash_t{}, "k", 1), std::tuple(t, none, 1), std::tuple(t, "k", 0),
                                  std::tuple(t, "k", -1)})
        EXPECT_TRUE(sw_hash_insert(h, k, n, d) == -1 && sw_hash_delete(h, k, n, true) == -1 &&
                    sw_hash_replace(h, k, n, d, &old) == -1 && !sw_hash_lookup(h, k, n))
            << n;
    EXPECT_TRUE(sw_hash_insert(t, "j", 1, nullptr) == -1 && sw_hash_replace(t, "k", 1, nullptr, &old) == -1 &&
                sw_hash_replace(t, "k", 1, &old, nullptr) == -1);
    EXPECT_TRUE(errno == 4242 && old == nullptr && sw_hash_getElemsCnt(t) == 1 &&
                sw_hash_lookup(t, "k", 1) == d);
    sw_hash_destroy(t, false);
}

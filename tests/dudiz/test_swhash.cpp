// Hash table: the documented hash values and the limits of a table. Its operations and the hash
// functions over any bytes are checked against models by fuzz_swhash, which runs as a test in
// every build.
#include "swhash.h"

#include <gtest/gtest.h>

#include "support/forked.h"
#include "swheap.h"

// The documented values, and for a key of a whole block and every tail byte, the value that lookup2
// written out independently gives.
TEST(SwHashFunctions, KnownValues) {
    const unsigned char abc[] = "abc", block[] = "Hikrobot industrial cam";
    // clang-format off
    EXPECT_EQ(std::vector<uint32_t>({bob_hash(abc, 3), bob_hash(abc, 0), bob_hash(block, 23),
              time33_hash(abc, 3), oneatatime_hash(abc, 3), oneatatime_hash(abc, 0), time33_hash(abc, 0)}),
              std::vector<uint32_t>({1363884370, 2912551993, 3018031520, 193485963, 3977453403, 0, 5381}));
    // clang-format on
    // Every length from 0 to 64, so each tail of each block size, folded into one value per function:
    // what the byte-by-byte definitions give.
    unsigned char bytes[64];
    for (int i = 0; i < 64; ++i) bytes[i] = static_cast<unsigned char>(i * 151 + 7);
    auto fold = [&](hash_ex_func_hash f) {
        uint32_t acc = 0;
        for (uint32_t n = 0; n <= 64; ++n) acc = acc * 31 + f(bytes, n);
        return acc;
    };
    EXPECT_EQ(std::vector<uint32_t>({fold(bob_hash), fold(oneatatime_hash), fold(time33_hash)}),
              std::vector<uint32_t>({2739044609, 783023780, 1741134053}));
}

const PMemCheckCallback count = [](const char*, int, const char*, int, void* n) { ++*static_cast<int*>(n); };

// Refused creations leave nothing allocated: in a small process heap nothing is taken, as bucket
// arrays whose heads alone pass INT_MAX bytes (2^29 heads of 4 bytes, 2^28 of 8) are refused before
// the table itself is allocated; the largest size allowed gets as far as the bucket array, which
// this heap cannot hold. A table takes one block, its bucket array one, and each chain one. The
// counters require a table.
TEST(SwHashCreate, RefusalsAllocateNothing) {
    expect_passes_in_child([] {
        static char heap[64 * 1024];
        ASSERT_TRUE(sw_heap_init(heap, sizeof heap, 8));
        const uint32_t huge = sizeof(void*) == 4 ? (1u << 28) + 1 : (1u << 27) + 1;
        // clang-format off
        for (auto [hint, alg, fn, flag, err] : {std::tuple(huge, BOB_HASH, hash_ex_func_hash{}, 0u, ENOMEM),
                 {(1u << 31) + 1, TIME33_HASH, nullptr, 0, ENOMEM}, {~0u, EXTEND_HASH, bob_hash, 0, ENOMEM},
                 {16, EXTEND_HASH, nullptr, 0, EINVAL}, {16, BOB_HASH, nullptr, 1, EINVAL},
                 {16, EXTEND_HASH, bob_hash, 2, EINVAL}, {huge - 1, BOB_HASH, nullptr, 0, ENOMEM}}) {
            // clang-format on
            errno = 0;
            EXPECT_TRUE(!sw_hash_create(hint, 0, alg, fn, nullptr, nullptr, flag) && errno == err) << hint;
            EXPECT_EQ(sw_heap_check(nullptr, nullptr) > 0, hint == huge - 1) << "a refused size took memory";
        }
        hash_t t = sw_hash_create(4, 0, BOB_HASH, nullptr, nullptr, nullptr, 0);
        int live = sw_hash_insert(t, "k", 1, heap) + sw_hash_insert(t, "key", 3, heap);  // 0: both inserted
        EXPECT_TRUE(sw_heap_check(count, &live) > 0 && live == 4) << "the table, its buckets, two chains";
        sw_hash_destroy(t, false), sw_heap_exit();
    });
#define EXPECT_ASSERTS(f) EXPECT_DEATH(f(nullptr), "swhash.cpp:[0-9]+: " #f ": Assertion `htable' failed")
    EXPECT_ASSERTS(sw_hash_getTableSize);
    EXPECT_ASSERTS(sw_hash_getElemsCnt);
    EXPECT_ASSERTS(sw_hash_getElemCollisionCnts);
}

// Refused arguments return at once, leave errno alone and change nothing.
TEST(SwHashArguments, RefusedWithoutEffect) {
    hash_t t = sw_hash_create(4, 0, BOB_HASH, nullptr, nullptr, nullptr, 0);
    void *d = &t, *old = nullptr;
    ASSERT_EQ(sw_hash_insert(t, "k", 1, d), 0);
    errno = 4242;
    const char* none = nullptr;
    for (auto [h, k, n] : {std::tuple(hash_t{}, "k", 1), {t, none, 1}, {t, "k", 0}, {t, "k", -1}})
        EXPECT_TRUE(sw_hash_insert(h, k, n, d) == -1 && sw_hash_delete(h, k, n, true) == -1 &&
                    sw_hash_replace(h, k, n, d, &old) == -1 && !sw_hash_lookup(h, k, n));
    EXPECT_TRUE(sw_hash_insert(t, "j", 1, nullptr) == -1 && sw_hash_replace(t, "k", 1, nullptr, &old) == -1 &&
                sw_hash_replace(t, "k", 1, &old, nullptr) == -1);
    EXPECT_TRUE(errno == 4242 && !old && sw_hash_getElemsCnt(t) == 1 && sw_hash_lookup(t, "k", 1) == d);
    sw_hash_destroy(t, false);
}

// swrand: the xorshift sequence from known states and a fed clock (through the seams), range
// reduction, and a generator of its own for each thread.
#include "swrand.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "internal/swrandhooks.h"

namespace {

uint32_t next_of(uint32_t x) {  // the model of one step
    x ^= x << 13;
    x ^= x >> 17;
    return x ^ (x << 5);
}

std::atomic<int64_t> g_clock{0};
time_t fake_clock(time_t*) {
    return static_cast<time_t>(g_clock.load());
}  // called with NULL

}  // namespace

// From state 1; then the result is reduced by the range while the state keeps the whole value; a
// clock reading 0 (in its low 32 bits, as 2^32 does) gives the fixed value once and goes on.
TEST(SwRand, SequenceRangesAndSeeds) {
    sw_hook_swapRandState(1);
    EXPECT_TRUE(xrand32(0) == 270369u && xrand32(0) == 67634689u);
    uint32_t model = 67634689u;
    for (unsigned int range : {10u, 1u, 0u, 7u, 0x80000000u, 0xFFFFFFFFu, 3u, 1000u}) {
        model = next_of(model);
        EXPECT_EQ(xrand32(range), range == 0 ? model : model % range) << range;
    }
    EXPECT_EQ(sw_hook_swapRandState(0), model);
    sw_hook_setRandClock(&fake_clock);
    for (int64_t clock : {int64_t{1700000000}, int64_t{0}, sizeof(time_t) > 4 ? int64_t{1} << 32 : 0}) {
        g_clock = clock;
        sw_hook_swapRandState(0);
        const uint32_t first = clock == 1700000000 ? next_of(1700000000u) : 0x2b1f4d63u;
        EXPECT_TRUE(xrand32(0) == first && xrand32(0) == next_of(first) &&
                    xrand32(0) == next_of(next_of(first)))
            << clock;
    }
    sw_hook_setRandClock(nullptr);
    sw_hook_swapRandState(0);
    uint32_t prev = xrand32(0);  // seeded from the real clock: the steps follow the model, never 0
    for (int i = 0; i < 10000; ++i, prev = next_of(prev)) ASSERT_EQ(xrand32(0), next_of(prev)) << i;
}

// Two threads seeded alike draw at the same time and each sees the whole sequence, so neither moved
// the other's state; a new thread starts unseeded whatever the creating thread's state.
TEST(SwRand, EachThreadHasItsOwnState) {
    g_clock = 424242;
    sw_hook_setRandClock(&fake_clock);
    sw_hook_swapRandState(99);
    std::vector<uint32_t> expected(20000), got[2];
    for (uint32_t i = 0, x = 424242; i < expected.size(); ++i) expected[i] = x = next_of(x);
    std::atomic<int> ready{0};
    std::thread threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t] = std::thread([&ready, &g = got[t]] {
            for (ready.fetch_add(1); ready.load() < 2;) {
            }
            for (int i = 0; i < 20000; ++i) g.push_back(xrand32(0));
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(got[0] == expected && got[1] == expected);
    EXPECT_EQ(xrand32(0), next_of(99)) << "the creating thread's state moved";
    sw_hook_setRandClock(nullptr);
}

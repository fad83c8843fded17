// swrand: the xorshift sequence from known states and a fed clock (through the seams), range
// reduction, and a generator of its own for each thread.
#include "swrand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "internal/swrandhooks.h"

static int64_t g_clock = 0;
const auto next_of = [](uint32_t x) { return x ^= x << 13, x ^= x >> 17, x ^ (x << 5); };  // one step
const PSwTimeProc fake_clock = [](time_t*) { return static_cast<time_t>(g_clock); };

// From state 1; then the result is reduced by the range while the state keeps the whole value; a
// clock reading 0 (in its low 32 bits, as 2^32 does) gives the fixed value once and goes on.
TEST(SwRand, SequenceRangesAndSeeds) {
    sw_hook_swapRandState(1);
    EXPECT_TRUE(xrand32(0) == 270369u && xrand32(0) == 67634689u);
    uint32_t x = 67634689u;
    for (unsigned int range : {10u, 1u, 0u, 0x80000000u, 0xFFFFFFFFu, 1000u})  // 0: the whole value
        EXPECT_EQ(xrand32(range), (x = next_of(x)) % (range ? range : UINT64_MAX)) << range;
    sw_hook_setRandClock(fake_clock);
    for (int64_t clock : {int64_t{1700000000}, int64_t{0}, sizeof(time_t) > 4 ? int64_t{1} << 32 : 0}) {
        x = clock == 1700000000 ? next_of(1700000000u) : 0x2b1f4d63u;
        g_clock = clock, sw_hook_swapRandState(0);
        EXPECT_TRUE(xrand32(0) == x && xrand32(0) == next_of(x)) << clock;
    }
    sw_hook_setRandClock(nullptr);
}

// Two threads seeded alike each see the whole sequence, so neither moved the other's state; a new
// thread starts unseeded whatever the creating thread's state.
TEST(SwRand, EachThreadHasItsOwnState) {
    g_clock = 424242, sw_hook_setRandClock(fake_clock), sw_hook_swapRandState(99);
    std::vector<uint32_t> expected(20000), got[2] = {expected, expected};
    for (uint32_t i = 0, x = 424242; i < expected.size(); ++i) expected[i] = x = next_of(x);
    const auto draw = [](auto* g) { std::generate(g->begin(), g->end(), [] { return xrand32(0); }); };
    std::thread a(draw, &got[0]), b(draw, &got[1]);
    a.join(), b.join();
    EXPECT_TRUE(got[0] == expected && got[1] == expected && xrand32(0) == next_of(99));
    sw_hook_setRandClock(nullptr);
}

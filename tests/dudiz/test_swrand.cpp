// swrand: the xorshift sequence from known states (through the seams for the state and the
// seeding clock), range reduction, and that each thread has a generator of its own.

#include "swrand.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <thread>
#include <vector>

#include "internal/swrandhooks.h"

namespace {

// Reference model of one step.
uint32_t next_of(uint32_t x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

std::atomic<time_t> g_clockValue{0};
time_t fake_clock(time_t* out) {
    const time_t t = g_clockValue.load();
    if (out != nullptr) *out = t;
    return t;
}

// Each test starts the calling thread from a given state and puts the real clock back after.
class Rand : public ::testing::Test {
protected:
    void TearDown() override {
        sw_hook_setRandClock(nullptr);
        sw_hook_swapRandState(0);
    }
};

}  // namespace

TEST_F(Rand, KnownValuesFromStateOne) {
    sw_hook_swapRandState(1);
    EXPECT_EQ(xrand32(0), 270369u);
    EXPECT_EQ(xrand32(0), 67634689u);
    EXPECT_EQ(sw_hook_swapRandState(0), 67634689u);
}

// The result is reduced, the state keeps the unreduced value.
TEST_F(Rand, RangeReducesTheResultNotTheState) {
    uint32_t model = 0x12345678u;
    sw_hook_swapRandState(model);
    for (unsigned int range : {10u, 1u, 0u, 7u, 0x80000000u, 0xFFFFFFFFu, 3u, 0u, 1000u}) {
        model = next_of(model);
        EXPECT_EQ(xrand32(range), range == 0 ? model : model % range) << range;
    }
    EXPECT_EQ(sw_hook_swapRandState(0), model);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(xrand32(1), 0u);
}

TEST_F(Rand, FirstCallSeedsFromTheClock) {
    g_clockValue = 1700000000;
    sw_hook_setRandClock(&fake_clock);
    sw_hook_swapRandState(0);
    EXPECT_EQ(xrand32(0), next_of(1700000000u));
    EXPECT_EQ(xrand32(0), next_of(next_of(1700000000u)));
}

// A clock reading 0 must not leave the state at 0, else every call would give the fixed value.
TEST_F(Rand, ZeroClockGivesTheFixedValueOnceThenGoesOn) {
    sw_hook_setRandClock(&fake_clock);
    // Only the low 32 bits form the seed; 2^32 seconds reads as 0 there too.
    for (time_t zero : {time_t{0}, static_cast<time_t>(sizeof(time_t) > 4 ? (int64_t{1} << 32) : 0)}) {
        g_clockValue = zero;
        sw_hook_swapRandState(0);
        EXPECT_EQ(xrand32(0), 0x2b1f4d63u);
        EXPECT_EQ(sw_hook_swapRandState(0x2b1f4d63u), 0x2b1f4d63u);
        EXPECT_EQ(xrand32(0), next_of(0x2b1f4d63u));
        EXPECT_NE(xrand32(0), 0x2b1f4d63u);
    }
}

// With the real clock: consecutive values follow one another under the step, never 0.
TEST_F(Rand, SequenceFollowsTheStep) {
    uint32_t prev = xrand32(0);
    for (int i = 0; i < 10000; ++i) {
        const uint32_t x = xrand32(0);
        ASSERT_NE(x, 0u);
        ASSERT_EQ(x, next_of(prev)) << i;
        prev = x;
    }
}

// Two threads seeded alike draw at the same time; each sees the whole sequence of its own, so
// neither advanced the other's state. A new thread starts unseeded (from the clock), whatever the
// creating thread's state.
TEST_F(Rand, EachThreadHasItsOwnState) {
    g_clockValue = 424242;
    sw_hook_setRandClock(&fake_clock);
    sw_hook_swapRandState(99);
    constexpr int kDraws = 20000;
    std::vector<uint32_t> expected(kDraws);
    uint32_t x = 424242;
    for (uint32_t& e : expected) e = x = next_of(x);
    std::atomic<int> ready{0};
    std::vector<uint32_t> got[2];
    std::vector<std::thread> threads;
    for (auto& g : got) {
        threads.emplace_back([&ready, &g] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            for (int i = 0; i < kDraws; ++i) g.push_back(xrand32(0));
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(got[0], expected);
    EXPECT_EQ(got[1], expected);
    EXPECT_EQ(xrand32(0), next_of(99)) << "the creating thread's state moved";
}

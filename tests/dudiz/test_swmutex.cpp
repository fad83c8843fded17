// swmutex: error-checking lock with millisecond time-outs under the timed-wait rule.
#include "swmutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <thread>
#include <vector>

#include "support/lock_holder.h"
#include "support/waitfor.h"

#if defined(__SANITIZE_THREAD__)
// UnlockByAnotherThreadLeavesItLocked misuses the mutex on purpose to check that the misuse is
// harmless; ThreadSanitizer would report that misuse itself.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "mutex:sw_mutex_unlock\n";
}
#endif

namespace {

class MutexTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(h_ = sw_mutex_create(), nullptr); }
    void TearDown() override { sw_mutex_destroy(h_); }
    void* h_ = nullptr;
};

// Holds the mutex on a thread of its own from construction until release() (or destruction).
class Holder : public LockHolder {
public:
    explicit Holder(void* h)
        : LockHolder([h] { return sw_mutex_lock(h, -1) == 0; }, [h] { sw_mutex_unlock(h); }) {}
};

}  // namespace

TEST_F(MutexTest, ZeroTimeoutTakesAFreeMutex) {
    EXPECT_EQ(sw_mutex_lock(h_, 0), 0);
    sw_mutex_unlock(h_);
}

// A sleep of 1 ms per try would make the 1000 tries last well over a second.
TEST_F(MutexTest, ZeroTimeoutOnAHeldMutexMakesOneTryAndNeverSleeps) {
    Holder holder(h_);
    const double t0 = mono_ms();
    for (int i = 0; i < 1000; ++i) {
        errno = 0;
        ASSERT_EQ(sw_mutex_lock(h_, 0), -1);
        ASSERT_EQ(errno, ETIMEDOUT);
    }
    EXPECT_LT(mono_ms() - t0, 900.0);
}

TEST_F(MutexTest, OwnerRelockIsRefusedAtOnceWithoutLimitAndTimesOutWithOne) {
    ASSERT_EQ(sw_mutex_lock(h_, -1), 0);
    double t0 = mono_ms();
    EXPECT_EQ(sw_mutex_lock(h_, -1), EDEADLK);
    EXPECT_LT(mono_ms() - t0, 1000.0);
    t0 = mono_ms();
    errno = 0;
    EXPECT_EQ(sw_mutex_lock(h_, 50), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    const double elapsed = mono_ms() - t0;
    EXPECT_GE(elapsed, 49.0);
    EXPECT_LT(elapsed, 3000.0);
    sw_mutex_unlock(h_);
    EXPECT_EQ(sw_mutex_lock(h_, 0), 0) << "the refused relocks must not have changed the lock count";
    sw_mutex_unlock(h_);
}

TEST_F(MutexTest, TimesOutWhileAnotherThreadHoldsIt) {
    Holder holder(h_);
    for (int timeout : {1, 20, 100}) {
        const double t0 = mono_ms();
        errno = 0;
        EXPECT_EQ(sw_mutex_lock(h_, timeout), -1) << timeout;
        EXPECT_EQ(errno, ETIMEDOUT) << timeout;
        const double elapsed = mono_ms() - t0;
        EXPECT_GE(elapsed, timeout - 1.0) << timeout;
        EXPECT_LT(elapsed, timeout + 3000.0) << timeout;
    }
}

// Both kinds of wait end when the holder releases, not when their time runs out.
TEST_F(MutexTest, WaitIsWokenByARelease) {
    for (int timeout : {-1, 30000}) {
        Holder holder(h_);
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            holder.release();
        });
        const double t0 = mono_ms();
        EXPECT_EQ(sw_mutex_lock(h_, timeout), 0) << timeout;
        const double gotAt = mono_ms();
        EXPECT_GE(gotAt, holder.releasedAt()) << "acquired before the holder let go";
        EXPECT_LT(gotAt - t0, 20000.0) << timeout;
        sw_mutex_unlock(h_);
        releaser.join();
    }
}

TEST_F(MutexTest, UnlockByAnotherThreadLeavesItLocked) {
    ASSERT_EQ(sw_mutex_lock(h_, -1), 0);
    int rc = 0, err = 0;
    std::thread([&] {
        sw_mutex_unlock(h_);
        errno = 0;
        rc = sw_mutex_lock(h_, 0);
        err = errno;
    }).join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, ETIMEDOUT);
    sw_mutex_unlock(h_);
    std::thread([&] {
        rc = sw_mutex_lock(h_, 0);
        if (rc == 0) sw_mutex_unlock(h_);
    }).join();
    EXPECT_EQ(rc, 0);
}

// Threads lock with a random mix of unlimited, zero and short time-outs. Every success must be
// exclusive (the plain counter is also what ThreadSanitizer watches) and every failure a time-out.
TEST_F(MutexTest, RandomMixOfWaitsKeepsMutualExclusion) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    std::atomic<bool> inside{false};
    std::atomic<int> acquired{0}, badFailures{0}, overlaps{0};
    long plainCounter = 0;
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([&, n] {
            std::mt19937 rng(1234u + static_cast<unsigned>(n));
            const int timeouts[] = {-1, 0, 0, 1, 3};
            for (int i = 0; i < kRounds; ++i) {
                const int timeout = timeouts[rng() % 5];
                errno = 0;
                const int rc = sw_mutex_lock(h_, timeout);
                if (rc != 0) {
                    if (timeout < 0 || rc != -1 || errno != ETIMEDOUT) ++badFailures;
                    continue;
                }
                if (inside.exchange(true)) ++overlaps;
                ++plainCounter;
                ++acquired;
                inside = false;
                sw_mutex_unlock(h_);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(badFailures.load(), 0);
    EXPECT_EQ(plainCounter, acquired.load());
    EXPECT_GE(acquired.load(), kRounds) << "every unlimited wait must succeed";
}

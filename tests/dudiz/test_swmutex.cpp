// swmutex: the timed-wait rule, the owner's relock, an unlock by another thread, exclusion under a
// random mix of waits, and no block left.
#include "swmutex.h"

#include "support/lock_holder.h"

#if defined(__SANITIZE_THREAD__)
// OwnerRelockAndForeignUnlock misuses the mutex on purpose to check that the misuse is harmless;
// ThreadSanitizer would report that misuse itself.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "mutex:sw_mutex_unlock\n";
}
#endif

struct SwMutex : ::testing::Test {
    ~SwMutex() override { sw_mutex_destroy(h); }
    void* h = sw_mutex_create();
    std::function<int(int)> lock = [this](int timeout) { return sw_mutex_lock(h, timeout); };
    std::function<void()> unlock = [this] { sw_mutex_unlock(h); };
};

TEST_F(SwMutex, TimedWaitRuleAndNoLeak) {
    expect_timed_wait_rule(
        lock, unlock, [&] { return lock(-1) == 0; }, unlock);
    expect_no_leak([] {
        void* m = sw_mutex_create();
        return m != nullptr && (sw_mutex_destroy(m), true);
    });
}

// The owner asking again is refused at once without limit and times out with a limit; an unlock by
// another thread has no effect; one unlock frees it (the refused relocks took nothing).
TEST_F(SwMutex, OwnerRelockAndForeignUnlock) {
    ASSERT_TRUE(lock(-1) == 0 && lock(-1) == EDEADLK);
    EXPECT_GE(took([&] { EXPECT_TRUE(lock(50) == -1 && errno == ETIMEDOUT); }), 49.0);
    int rc = 0;
    std::thread([&] { unlock(), rc = lock(0); }).join();
    EXPECT_EQ(rc, -1);
    unlock();
    std::thread([&] { rc = lock(0), unlock(); }).join();
    EXPECT_EQ(rc, 0);
}

TEST_F(SwMutex, RandomWaitsKeepItExclusive) {
    expect_exclusion([&](bool, int timeout) { return lock(timeout); }, unlock, false);
}

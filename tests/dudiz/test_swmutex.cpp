// swmutex: the timed-wait rule, the owner asking again, an unlock by another thread, no block left.
#include "swmutex.h"

#include "support/lock_holder.h"

#if defined(__SANITIZE_THREAD__)
// The test misuses the mutex on purpose (an unlock by a thread that does not hold it) to check that the
// misuse is harmless; ThreadSanitizer would report the misuse itself.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "mutex:sw_mutex_unlock\n";
}
#endif

// The owner asking again is refused at once without limit and times out with a limit; an unlock by
// another thread has no effect; one unlock frees it (the refused relocks took nothing).
TEST(SwMutex, TimedWaitRuleOwnerForeignUnlockAndNoLeak) {
    void* h = sw_mutex_create();
    const auto lock = [h](int timeout) { return sw_mutex_lock(h, timeout); };
    const auto unlock = [h] { sw_mutex_unlock(h); };
    expect_timed_wait_rule(lock, unlock, lock, unlock);
    ASSERT_TRUE(lock(-1) == 0 && lock(-1) == EDEADLK && lock(5) == -1 && errno == ETIMEDOUT);
    int rc = 0;
    std::thread([&] { unlock(), rc = lock(0); }).join();
    unlock();
    EXPECT_TRUE(rc == -1 && lock(0) == 0);
    unlock(), sw_mutex_destroy(h);
    expect_no_leak(sw_mutex_create, sw_mutex_destroy);
}

// sw_rwlock: the timed-wait rule for every excluded pair, the owners asking again, no block left.
#include "sw_rwlock.h"

#include "support/lock_holder.h"

// Readers share; a writer excludes both (bit 1 of `pair`: held for writing, bit 0: wanted for writing).
// A reader may read again, each read needing its own unlock, but cannot upgrade by polling. The writer
// asking again is refused at once without limit and times out with a limit.
TEST(SwRwLock, TimedWaitRuleForEachExcludedPairOwnersAndNoLeak) {
    void* h = sw_rwlock_create();
    const auto take = [h](bool w, int t) { return (w ? sw_rwlock_wrlock : sw_rwlock_rdlock)(h, t); };
    const auto unlock = [h] { sw_rwlock_unlock(h); };
    for (const int pair : {1, 2, 3})
        expect_timed_wait_rule([&](int t) { return take(pair & 1, t); }, unlock,
                               [&](int t) { return take(pair & 2, t); }, unlock);
    ASSERT_TRUE(take(0, -1) == 0 && take(0, 0) == 0 && take(1, 5) == -1 && errno == ETIMEDOUT);
    unlock(), unlock();
    EXPECT_TRUE(take(1, -1) == 0 && take(1, -1) == EDEADLK && take(0, 5) == -1 && errno == ETIMEDOUT);
    unlock(), sw_rwlock_destroy(h);
    expect_no_leak(sw_rwlock_create, sw_rwlock_destroy);
}

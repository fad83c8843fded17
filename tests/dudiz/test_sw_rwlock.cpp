// sw_rwlock: the timed-wait rule for every excluded pair, the owners asking again, writers alone under a
// random mix of waits, and no block left.
#include "sw_rwlock.h"

#include "support/lock_holder.h"

struct SwRwLock : ::testing::Test {
    ~SwRwLock() override { sw_rwlock_destroy(h); }
    int take(bool write, int timeout) { return (write ? sw_rwlock_wrlock : sw_rwlock_rdlock)(h, timeout); }
    void* h = sw_rwlock_create();
    std::function<void()> unlock = [this] { sw_rwlock_unlock(h); };
};

// Readers share; a writer excludes both. Nothing is left behind, also when memory runs out.
TEST_F(SwRwLock, TimedWaitRuleForEachExcludedPairAndNoLeak) {
    for (const bool held : {false, true}) {
        for (const bool wanted : {!held, true}) {
            SCOPED_TRACE(testing::Message()
                         << "held for writing " << held << ", wanted for writing " << wanted);
            expect_timed_wait_rule([&](int t) { return take(wanted, t); }, unlock,
                                   [&] { return take(held, -1) == 0; }, unlock);
        }
    }
    expect_no_leak([] {
        void* rw = sw_rwlock_create();
        return rw != nullptr && (sw_rwlock_destroy(rw), true);
    });
}

// A reader may read again, each read needing its own unlock, but cannot upgrade by polling. The writer
// asking again is refused at once without limit and times out with a limit.
TEST_F(SwRwLock, OwnersAskingAgain) {
    ASSERT_TRUE(take(false, -1) == 0 && take(false, 0) == 0);
    EXPECT_TRUE(take(true, 20) == -1 && errno == ETIMEDOUT);
    unlock(), unlock();
    ASSERT_TRUE(take(true, -1) == 0 && take(true, -1) == EDEADLK && take(false, -1) == EDEADLK);
    EXPECT_GE(took([&] { EXPECT_TRUE(take(false, 50) == -1 && errno == ETIMEDOUT); }), 49.0);
    EXPECT_TRUE(take(true, 0) == -1 && errno == ETIMEDOUT);
    unlock();
}

TEST_F(SwRwLock, RandomWaitsKeepWritersAlone) {
    expect_exclusion([&](bool write, int timeout) { return take(write, timeout); }, unlock, true);
}

// sw_rwlock: shared and exclusive locking with millisecond time-outs under the timed-wait rule.
#include "sw_rwlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <thread>
#include <vector>

#include "support/lock_holder.h"
#include "support/waitfor.h"

namespace {

enum class Kind { kRead, kWrite };

const char* name(Kind k) { return k == Kind::kRead ? "read" : "write"; }

int take(void* h, Kind k, int timeout) {
    return k == Kind::kRead ? sw_rwlock_rdlock(h, timeout) : sw_rwlock_wrlock(h, timeout);
}

class RwLockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(h_ = sw_rwlock_create(), nullptr); }
    void TearDown() override { sw_rwlock_destroy(h_); }
    void* h_ = nullptr;
};

// Holds the lock in the given way on a thread of its own from construction until release().
class Holder : public LockHolder {
public:
    Holder(void* h, Kind kind)
        : LockHolder([h, kind] { return take(h, kind, -1) == 0; }, [h] { sw_rwlock_unlock(h); }) {}
};

// The result of a lock attempt made on a thread of its own (releasing what it took).
int try_elsewhere(void* h, Kind k, int timeout) {
    int rc = -2;
    std::thread([&] {
        rc = take(h, k, timeout);
        if (rc == 0) sw_rwlock_unlock(h);
    }).join();
    return rc;
}

}  // namespace

TEST_F(RwLockTest, ZeroTimeoutTakesAFreeLockEitherWay) {
    for (Kind k : {Kind::kRead, Kind::kWrite}) {
        EXPECT_EQ(take(h_, k, 0), 0) << name(k);
        sw_rwlock_unlock(h_);
    }
}

TEST_F(RwLockTest, ReadersShare) {
    Holder reader(h_, Kind::kRead);
    EXPECT_EQ(try_elsewhere(h_, Kind::kRead, 0), 0);
    EXPECT_EQ(sw_rwlock_rdlock(h_, -1), 0);
    sw_rwlock_unlock(h_);
}

// Every excluded pair: a try with 0 fails at once (1000 tries within far less than the 1 ms sleep
// each would cost), and a try with a time-out fails no earlier than the time-out.
TEST_F(RwLockTest, ExcludedAttemptsTimeOut) {
    const std::pair<Kind, Kind> cases[] = {
        {Kind::kRead, Kind::kWrite}, {Kind::kWrite, Kind::kRead}, {Kind::kWrite, Kind::kWrite}};
    for (const auto& [held, wanted] : cases) {
        SCOPED_TRACE(testing::Message() << name(held) << " held, " << name(wanted) << " wanted");
        Holder holder(h_, held);
        double t0 = mono_ms();
        for (int i = 0; i < 1000; ++i) {
            errno = 0;
            ASSERT_EQ(take(h_, wanted, 0), -1);
            ASSERT_EQ(errno, ETIMEDOUT);
        }
        EXPECT_LT(mono_ms() - t0, 900.0);
        t0 = mono_ms();
        errno = 0;
        EXPECT_EQ(take(h_, wanted, 100), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
        const double elapsed = mono_ms() - t0;
        EXPECT_GE(elapsed, 99.0);
        EXPECT_LT(elapsed, 3100.0);
    }
}

// Both kinds of wait end when the holder releases, not when their time runs out.
TEST_F(RwLockTest, WaitIsWokenByAnUnlock) {
    const std::pair<Kind, Kind> cases[] = {
        {Kind::kRead, Kind::kWrite}, {Kind::kWrite, Kind::kRead}, {Kind::kWrite, Kind::kWrite}};
    for (const auto& [held, wanted] : cases) {
        for (int timeout : {-1, 30000}) {
            SCOPED_TRACE(testing::Message() << name(held) << " held, " << name(wanted) << " wanted, " << timeout);
            Holder holder(h_, held);
            std::thread releaser([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                holder.release();
            });
            const double t0 = mono_ms();
            EXPECT_EQ(take(h_, wanted, timeout), 0);
            const double gotAt = mono_ms();
            EXPECT_GE(gotAt, holder.releasedAt()) << "acquired before the holder let go";
            EXPECT_LT(gotAt - t0, 20000.0);
            sw_rwlock_unlock(h_);
            releaser.join();
        }
    }
}

// The write owner asking again: refused at once without limit, a time-out with one; neither
// changes what it holds.
TEST_F(RwLockTest, WriteOwnerRelockIsRefused) {
    ASSERT_EQ(sw_rwlock_wrlock(h_, -1), 0);
    for (Kind k : {Kind::kRead, Kind::kWrite}) {
        double t0 = mono_ms();
        EXPECT_EQ(take(h_, k, -1), EDEADLK) << name(k);
        EXPECT_LT(mono_ms() - t0, 1000.0);
        t0 = mono_ms();
        errno = 0;
        EXPECT_EQ(take(h_, k, 50), -1) << name(k);
        EXPECT_EQ(errno, ETIMEDOUT) << name(k);
        EXPECT_GE(mono_ms() - t0, 49.0) << name(k);
    }
    EXPECT_EQ(try_elsewhere(h_, Kind::kRead, 0), -1) << "still held for writing";
    sw_rwlock_unlock(h_);
    EXPECT_EQ(try_elsewhere(h_, Kind::kWrite, 0), 0) << "one unlock must free it";
}

// A reader may read again; each read needs its own unlock; it cannot upgrade by polling.
TEST_F(RwLockTest, ReadOwnerMayReadAgainButNotWrite) {
    ASSERT_EQ(sw_rwlock_rdlock(h_, -1), 0);
    ASSERT_EQ(sw_rwlock_rdlock(h_, 0), 0);
    errno = 0;
    EXPECT_EQ(sw_rwlock_wrlock(h_, 20), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    sw_rwlock_unlock(h_);
    EXPECT_EQ(try_elsewhere(h_, Kind::kWrite, 0), -1) << "one read lock is still held";
    sw_rwlock_unlock(h_);
    EXPECT_EQ(try_elsewhere(h_, Kind::kWrite, 0), 0);
}

// Readers and writers with a random mix of waits: a writer is always alone, readers may overlap,
// every failure is a time-out. The plain counter is what ThreadSanitizer watches.
TEST_F(RwLockTest, RandomMixKeepsReadersAndWritersApart) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::atomic<int> readers{0}, writers{0}, violations{0}, badFailures{0}, writes{0};
    long plainCounter = 0;
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([&, n] {
            std::mt19937 rng(99u + static_cast<unsigned>(n));
            const int timeouts[] = {-1, 0, 1, 2};
            for (int i = 0; i < kRounds; ++i) {
                const Kind k = rng() % 3 == 0 ? Kind::kWrite : Kind::kRead;
                const int timeout = timeouts[rng() % 4];
                errno = 0;
                const int rc = take(h_, k, timeout);
                if (rc != 0) {
                    if (timeout < 0 || rc != -1 || errno != ETIMEDOUT) ++badFailures;
                    continue;
                }
                if (k == Kind::kWrite) {
                    if (writers.fetch_add(1) != 0 || readers.load() != 0) ++violations;
                    ++plainCounter;
                    ++writes;
                    writers.fetch_sub(1);
                } else {
                    readers.fetch_add(1);
                    if (writers.load() != 0) ++violations;
                    volatile long seen = plainCounter;
                    (void)seen;
                    readers.fetch_sub(1);
                }
                sw_rwlock_unlock(h_);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(badFailures.load(), 0);
    EXPECT_EQ(plainCounter, writes.load());
}

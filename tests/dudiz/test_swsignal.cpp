// swsignal: the timed-wait rule, gives counted across threads, an unlimited wait that outlasts signal
// handlers, and no block left.
#include "swsignal.h"

#include <random>

#include "support/lock_holder.h"

struct SwSignal : ::testing::Test {
    ~SwSignal() override { sw_signal_destroy(h); }
    void* h = sw_signal_create();
    std::function<int(int)> wait = [this](int timeout) { return sw_signal_wait(h, timeout); };
    std::function<void()> give = [this] { sw_signal_give(h); };
};

// A fresh signal holds no count; what "holds" it is the give that has not come yet.
TEST_F(SwSignal, TimedWaitRuleAndNoLeak) {
    expect_timed_wait_rule(
        wait, [] {}, [] { return true; }, give);
    expect_no_leak([] {
        void* s = sw_signal_create();
        return s != nullptr && (sw_signal_destroy(s), true);
    });
}

// Givers and takers with a random mix of waits on several threads: every give lets exactly one wait
// succeed, none is merged or lost, and what nobody took stays counted. An unlimited wait outlasts
// signal handlers.
TEST_F(SwSignal, GivesAreCountedAcrossThreadsAndSignals) {
    std::atomic<int> bad{0}, left{0};
    std::vector<std::thread> threads;
    for (unsigned n = 0; n < 3; ++n) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1500; ++i) give();
        });
        threads.emplace_back([&, rng = std::mt19937(n)]() mutable {
            for (int taken = 0, timeout = 0, rc = 0; taken < 1000; taken += rc == 0) {
                rc = wait(timeout = static_cast<int>(rng() % 4) - 1);
                bad += rc != 0 && (timeout < 0 || errno != ETIMEDOUT);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    while (wait(0) == 0) ++left;
    EXPECT_TRUE(bad == 0 && left == 3 * 500) << bad << " bad results, " << left << " left";
    int rc = 1;
    EXPECT_TRUE(outlasts_signals([&] { rc = wait(-1); }, give));
    EXPECT_TRUE(rc == 0 && wait(0) == -1);
}

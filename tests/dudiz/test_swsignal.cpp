// swsignal: the timed-wait rule, gives counted across threads, an unlimited wait that outlasts signal
// handlers, no block left.
#include "swsignal.h"

#include <random>

#include "support/lock_holder.h"

// A thread that took the one count "holds" the signal until it gives. Then givers and
// takers with a random mix of waits on several threads: every give lets exactly one wait succeed, none
// is merged or lost, and what nobody took stays counted.
TEST(SwSignal, TimedWaitRuleCountsAcrossThreadsAndSignalsNoLeak) {
    void* h = sw_signal_create();
    const auto wait = [h](int timeout) { return sw_signal_wait(h, timeout); };
    const auto give = [h] { sw_signal_give(h); };
    give(), expect_timed_wait_rule(wait, give, wait, give);
    EXPECT_TRUE(wait(0) == 0 && wait(0) == -1);
    std::atomic<int> bad{0}, left{0};
    std::vector<std::thread> threads;
    for (unsigned n = 0; n < 2; ++n) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) give();
        });
        threads.emplace_back([&, rng = std::mt19937(n)]() mutable {
            for (int taken = 0, timeout = 0, rc = 0; taken < 1000; taken += rc == 0)
                bad += (rc = wait(timeout = static_cast<int>(rng() % 4) - 1)) &&
                       (timeout < 0 || errno != ETIMEDOUT);
        });
    }
    for (std::thread& t : threads) t.join();
    while (wait(0) == 0) ++left;
    EXPECT_TRUE(bad == 0 && left == 2 * 1000) << bad << " bad results, " << left << " left";
    int rc = 1;
    EXPECT_TRUE(outlasts_signals([&] { rc = wait(-1); }, give));
    EXPECT_TRUE(rc == 0 && wait(0) == -1);
    sw_signal_destroy(h);
    expect_no_leak(sw_signal_create, sw_signal_destroy);
}

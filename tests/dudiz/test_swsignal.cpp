// swsignal: the timed-wait rule, gives counted, an unlimited wait that outlasts signal handlers, no
// block left.
#include "swsignal.h"

#include "support/lock_holder.h"

// A thread that took the one count "holds" the signal until it gives. Every give lets exactly one wait
// succeed, none is merged, and what nobody took stays counted.
TEST(SwSignal, TimedWaitRuleCountsSignalsAndNoLeak) {
    void* h = sw_signal_create();
    const auto wait = [h](int timeout) { return sw_signal_wait(h, timeout); };
    const auto give = [h] { sw_signal_give(h); };
    give(), expect_timed_wait_rule(wait, give, wait, give);
    give(), give();
    EXPECT_TRUE(wait(0) == 0 && wait(-1) == 0 && wait(5) == 0 && wait(0) == -1 && errno == ETIMEDOUT);
    int rc = 1;
    EXPECT_TRUE(outlasts_signals([&] { rc = wait(-1); }, give) && rc == 0 && wait(0) == -1);
    sw_signal_destroy(h);
    expect_no_leak(sw_signal_create, sw_signal_destroy);
}

// swtimer: stopped until resumed, called at once on a resume, the period counted from the end of each
// call and changed from the next one, pause, destroy with and without a running call, and (white-box)
// the names in the timer record. The procedures sleep rather than spin: the timer's thread may run at
// real-time priority.
#include "swtimer.h"

#include <set>

#include "support/lock_holder.h"
#include "swthrd.h"

namespace {

// Each call sleeps 10 ms, and on while `block` is set; the times of the first 64 are kept.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<bool> block{false};
    std::atomic<double> start[64] = {}, end[64] = {};
};

void record(unsigned long w, unsigned long) {
    Probe& p = *reinterpret_cast<Probe*>(w);
    const int i = std::min(p.calls.load(), 63);
    for (p.start[i] = mono_ms(), sw_thrd_delay(10); p.block;) sw_thrd_delay(1);
    p.end[i] = mono_ms(), ++p.calls;
}

}  // namespace

// Created stopped. A resume calls at once (not after the period of 60 s), also cutting a running timer's
// wait short; each wait is a whole period from the end of a call; a new period applies from the next call
// (the wait in progress keeps its length); a pause stops the calls after the cycle in progress, and
// destroying a stopped timer calls nothing more. A call that does not end is waited for up to the
// destroy's time-out, then its thread is cancelled.
TEST(SwTimer, ResumePeriodPauseAndDestroy) {
    Probe p, stuck;
    void* h = sw_timer_create("t", 60000, record, reinterpret_cast<unsigned long>(&p), 0);
    EXPECT_EQ(p.calls, 0);
    for (int k = 1; k <= 2; ++k) ASSERT_TRUE((sw_timer_resume(h), wait_for([&] { return p.calls == k; })));
    sw_timer_setPeriod(h, 200), sw_timer_resume(h);
    ASSERT_TRUE(wait_for([&] { return p.calls == 4; }));
    sw_timer_setPeriod(h, 0);
    ASSERT_TRUE(wait_for([&] { return p.calls >= 25; }));
    EXPECT_TRUE(p.start[3] - p.end[2] >= 199 && p.start[4] - p.end[3] >= 199)
        << "whole periods after each call";
    EXPECT_LT(p.start[24] - p.start[5], 19 * 200 / 2) << "twenty calls back to back";
    sw_timer_pause(h);
    const int atPause = p.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a window in which nothing starts
    const int stopped = p.calls;
    sw_timer_destroy(h, 5000);
    EXPECT_TRUE(stopped <= atPause + 1 && p.calls == stopped) << atPause << " " << stopped << " " << p.calls;
    stuck.block = true;
    void* s = sw_timer_create("stuck", 10, record, reinterpret_cast<unsigned long>(&stuck), 0);
    sw_timer_resume(s);
    ASSERT_TRUE(wait_for([&] { return stuck.start[0] > 0; }));
    const double t = took([&] { sw_timer_destroy(s, 100); });
    EXPECT_TRUE(t >= 99 && t < 5000 && stuck.calls == 0) << t;
}

// Names are cut at 31 characters, also for the timer's thread; timers created without a name from
// several threads at once get distinct numbers. A timer without a procedure only ticks; a NULL
// handle is ignored. Nothing is left behind, also when memory runs out.
TEST(SwTimer, NamesAndNoLeak) {
    struct Head {  // the leading fields of the timer record
        char name[32];
        int period;
        void* hThrd;
    };
    std::vector<void*> timers(9,
                              sw_timer_create("0123456789012345678901234567890123456789", 1, nullptr, 0, 0));
    std::vector<std::thread> makers;
    for (int k = 1; k < 9; ++k)
        makers.emplace_back([&timers, k] { timers[k] = sw_timer_create(nullptr, 1, nullptr, 0, 0); });
    for (std::thread& t : makers) t.join();
    std::set<std::string> names;
    for (void* h : timers) {
        const Head& head = *static_cast<const Head*>(h);
        char thread[32] = {}, rest[8] = {};
        EXPECT_TRUE(
            !strcmp(sw_thrd_getName(head.hThrd, thread), head.name) && names.insert(head.name).second &&
            (h == timers[0] || (sscanf(head.name, "nameless%*d %7s", rest) == 1 && !strcmp(rest, "timer"))))
            << head.name;
        sw_timer_resume(h);
    }
    EXPECT_EQ(*names.begin(), "0123456789012345678901234567890");
    sw_timer_resume(nullptr), sw_timer_pause(nullptr), sw_timer_setPeriod(nullptr, 5),
        sw_timer_destroy(nullptr, 0);
    for (void* h : timers) sw_timer_destroy(h, 5000);
    expect_no_leak([] { return sw_timer_create(nullptr, 1, nullptr, 0, 0); },
                   [](void* t) { sw_timer_resume(t), sw_timer_destroy(t, 5000); });
}

// swtimer: stopped until resumed, called at once on a resume, the period counted from the end of each
// call and changed from the next one, pause, destroy, and (white-box) the names in the timer record. The
// procedures sleep rather than spin: the timer's thread may run at real-time priority.
#include "swtimer.h"

#include "support/lock_holder.h"
#include "swthrd.h"

// Each call sleeps 10 ms; the times of the first 64 are kept.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<double> start[64] = {}, end[64] = {};
};

void record(unsigned long w, unsigned long) {
    Probe& p = *reinterpret_cast<Probe*>(w);
    const int i = std::min(p.calls.load(), 63);
    p.start[i] = mono_ms(), sw_thrd_delay(10), p.end[i] = mono_ms(), ++p.calls;
}

// Created stopped. A resume calls at once (not after the period of 60 s), also cutting a running timer's
// wait short; each wait is a whole period from the end of a call; a new period applies from the next call
// (the wait in progress keeps its length); a pause stops the calls after the cycle in progress, and
// destroying a stopped timer calls nothing more. Names are cut at 31 characters; timers created without a
// name from several threads at once get distinct numbers. A timer without a procedure only ticks; a NULL
// handle is ignored. Nothing is left behind, also when memory runs out.
TEST(SwTimer, ResumePeriodPauseDestroyNamesAndNoLeak) {
    Probe p;
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
    // A window of 200 ms in which nothing starts.
    const int atPause = (sw_timer_pause(h), p.calls.load()), stopped = (usleep(200000), p.calls.load());
    sw_timer_destroy(h, 5000);
    EXPECT_TRUE(stopped <= atPause + 1 && p.calls == stopped) << atPause << " " << stopped << " " << p.calls;
    std::vector<void*> timers(8);
    std::vector<std::thread> makers;
    for (void*& t : timers) makers.emplace_back([&t] { t = sw_timer_create(nullptr, 1, nullptr, 0, 0); });
    for (std::thread& t : makers) t.join();
    timers.push_back(sw_timer_create("0123456789012345678901234567890123456789", 1, nullptr, 0, 0));
    std::set<std::string> names;  // white-box: the timer record starts with the name
    for (void* t : timers) names.insert(static_cast<const char*>(t)), sw_timer_resume(t);
    std::string all;
    for (const std::string& name : names) all += name + ",";
    EXPECT_TRUE(std::regex_match(all, std::regex("(0123456789){3}0,(nameless[0-9]+ timer,){8}"))) << all;
    sw_timer_resume(nullptr), sw_timer_destroy(nullptr, 0);
    for (void* t : timers) sw_timer_destroy(t, 5000);
    expect_no_leak([] { return sw_timer_create(nullptr, 1, nullptr, 0, 0); },
                   [](void* t) { sw_timer_resume(t), sw_timer_destroy(t, 5000); });
}

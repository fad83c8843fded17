// swtimer: stopped until resumed, an immediate first call, the period counted from the end of each
// call, period changes, pause, resume on a running timer, destroy with and without a running call.
// The procedures sleep rather than spin: the timer's thread may run at real-time priority.
#include "swtimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/waitfor.h"
#include "swthrd.h"

namespace {

struct Probe {
    std::atomic<int> calls{0};
    std::atomic<int> sleepMs{0};      // each call sleeps this long
    std::atomic<bool> block{false};   // each call sleeps in 1 ms steps while set
    std::atomic<unsigned long> lParam{0};
    std::mutex m;
    std::vector<double> starts, ends;  // guarded by m
    double start(size_t i) {
        std::lock_guard<std::mutex> g(m);
        return starts.at(i);
    }
    double end(size_t i) {
        std::lock_guard<std::mutex> g(m);
        return ends.at(i);
    }
};

void record(unsigned long w, unsigned long l) {
    auto* p = reinterpret_cast<Probe*>(w);
    {
        std::lock_guard<std::mutex> g(p->m);
        p->starts.push_back(mono_ms());
    }
    p->lParam = l;
    sw_thrd_delay(p->sleepMs.load());
    while (p->block.load()) sw_thrd_delay(1);
    {
        std::lock_guard<std::mutex> g(p->m);
        p->ends.push_back(mono_ms());
    }
    ++p->calls;
}

class Timer {
public:
    Timer(Probe* p, int period) : h(sw_timer_create("test timer", period, record, reinterpret_cast<unsigned long>(p), 42)) {}
    ~Timer() {
        if (h != nullptr) sw_timer_destroy(h, 5000);
    }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    void* h;
};

// Lets `ms` pass on the clock: a window in which something must not happen.
void window(double ms) {
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

}  // namespace

TEST(Timer, NullHandleDoesNothing) {
    sw_timer_resume(nullptr);
    sw_timer_pause(nullptr);
    sw_timer_setPeriod(nullptr, 5);
    sw_timer_destroy(nullptr, 0);
}

TEST(Timer, StoppedUntilResumedThenCallsAtOnce) {
    Probe p;
    Timer t(&p, 5000);
    ASSERT_NE(t.h, nullptr);
    window(100);
    EXPECT_EQ(p.calls.load(), 0);
    const double resumedAt = mono_ms();
    sw_timer_resume(t.h);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 1; }));
    EXPECT_LT(p.start(0) - resumedAt, 2500.0);  // not after a first period
    EXPECT_EQ(p.lParam.load(), 42UL);
}

// A 30 ms call under a period of 100 ms: every wait is a whole period after the end of a call.
TEST(Timer, PeriodCountsFromTheEndOfACall) {
    Probe p;
    p.sleepMs = 30;
    Timer t(&p, 100);
    ASSERT_NE(t.h, nullptr);
    sw_timer_resume(t.h);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 4; }));
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_GE(p.start(i) - p.end(i - 1), 99.0) << i;
        EXPECT_GE(p.start(i) - p.start(i - 1), 129.0) << i;
        EXPECT_LT(p.start(i) - p.start(i - 1), 3000.0) << i;
    }
}

// The wait in progress keeps its length; from the next call on the procedure runs back to back.
TEST(Timer, SetPeriodAppliesFromTheNextCall) {
    Probe p;
    p.sleepMs = 2;
    Timer t(&p, 600);
    ASSERT_NE(t.h, nullptr);
    sw_timer_resume(t.h);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 1; }));
    window(100);  // well inside the first wait
    sw_timer_setPeriod(t.h, 0);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 22; }));
    EXPECT_GE(p.start(1) - p.end(0), 599.0);
    // Twenty waits of the old period would take 12 s.
    EXPECT_LT(p.start(21) - p.start(1), 6000.0);
}

TEST(Timer, ResumeOnARunningTimerCallsAtOnce) {
    Probe p;
    Timer t(&p, 10000);
    ASSERT_NE(t.h, nullptr);
    sw_timer_resume(t.h);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 1; }));
    const double resumedAt = mono_ms();
    sw_timer_resume(t.h);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 2; }));
    EXPECT_LT(p.start(1) - resumedAt, 5000.0);
}

// The call in progress and its wait complete, then nothing until a resume.
TEST(Timer, PauseStopsAfterTheCurrentCycle) {
    Probe p;
    Timer t(&p, 20);
    ASSERT_NE(t.h, nullptr);
    sw_timer_resume(t.h);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 3; }));
    sw_timer_pause(t.h);
    const int atPause = p.calls.load();
    window(300);
    const int stopped = p.calls.load();
    EXPECT_LE(stopped, atPause + 1);
    window(300);
    EXPECT_EQ(p.calls.load(), stopped);
    sw_timer_resume(t.h);
    EXPECT_TRUE(wait_for([&] { return p.calls.load() > stopped; }));
}

// Destroying a stopped timer, never started or paused, makes no further call.
TEST(Timer, DestroyOfAStoppedTimerCallsNothing) {
    for (const bool ranBefore : {false, true}) {
        Probe p;
        void* h = sw_timer_create(nullptr, 20, record, reinterpret_cast<unsigned long>(&p), 0);
        ASSERT_NE(h, nullptr);
        if (ranBefore) {
            sw_timer_resume(h);
            ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 2; }));
            sw_timer_pause(h);
            window(200);  // the last cycle completes
        }
        const int before = p.calls.load();
        const double t0 = mono_ms();
        sw_timer_destroy(h, 5000);
        EXPECT_LT(mono_ms() - t0, 2500.0);
        EXPECT_EQ(p.calls.load(), before) << ranBefore;
        std::lock_guard<std::mutex> g(p.m);
        EXPECT_EQ(p.starts.size(), static_cast<size_t>(before)) << ranBefore;
    }
}

// A call that does not end is waited for up to the time-out, then its thread is cancelled.
TEST(Timer, DestroyCancelsACallThatOutlastsTheTimeout) {
    Probe p;
    p.block = true;
    void* h = sw_timer_create("stuck", 10, record, reinterpret_cast<unsigned long>(&p), 0);
    ASSERT_NE(h, nullptr);
    sw_timer_resume(h);
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> g(p.m);
        return !p.starts.empty();
    }));
    const double t0 = mono_ms();
    sw_timer_destroy(h, 100);
    const double elapsed = mono_ms() - t0;
    EXPECT_GE(elapsed, 99.0);
    EXPECT_LT(elapsed, 5000.0);
    EXPECT_EQ(p.calls.load(), 0);  // the call never completed
}

// A negative period ends the timer after the call that returns it; resume then does nothing.
TEST(Timer, NegativePeriodEndsTheTimer) {
    Probe p;
    Timer t(&p, 10);
    ASSERT_NE(t.h, nullptr);
    sw_timer_setPeriod(t.h, -1);
    sw_timer_resume(t.h);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 1; }));
    window(100);
    sw_timer_setPeriod(t.h, 10);
    sw_timer_resume(t.h);
    window(200);
    EXPECT_EQ(p.calls.load(), 1);
}

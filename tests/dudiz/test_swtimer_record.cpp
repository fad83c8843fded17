// White-box check of the timer record: the names of nameless and named timers and of their threads,
// read through the record's leading fields (name, period, thread object). Its own program, so the
// nameless timers here are the first of the process.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "swthrd.h"
#include "swtimer.h"

namespace {

// The leading fields of the timer record, in order.
struct TimerHead {
    char name[32];
    int period;
    void* hThrd;
};

const TimerHead* head(void* hTimer) {
    return static_cast<const TimerHead*>(hTimer);
}

std::string thread_name(void* hTimer) {
    char buf[32] = {};
    return sw_thrd_getName(head(hTimer)->hThrd, buf) == buf ? std::string(buf) : std::string("<null>");
}

}  // namespace

TEST(TimerRecord, NamesOfTimersAndTheirThreads) {
    void* first = sw_timer_create(nullptr, 100, nullptr, 0, 0);
    void* second = sw_timer_create(nullptr, 100, nullptr, 0, 0);
    void* named = sw_timer_create("0123456789012345678901234567890123456789", 250, nullptr, 0, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(named, nullptr);
    EXPECT_STREQ(head(first)->name, "nameless0 timer");
    EXPECT_STREQ(head(second)->name, "nameless1 timer");
    EXPECT_EQ(thread_name(first), "nameless0 timer");
    EXPECT_EQ(thread_name(second), "nameless1 timer");
    EXPECT_STREQ(head(named)->name, "0123456789012345678901234567890");
    EXPECT_EQ(thread_name(named), "0123456789012345678901234567890");
    EXPECT_EQ(head(named)->period, 250);
    sw_timer_setPeriod(named, 7);
    EXPECT_EQ(head(named)->period, 7);
    for (void* h : {first, second, named}) sw_timer_destroy(h, 5000);
}

// Timers created without a name from several threads at once get distinct numbers (under
// ThreadSanitizer this is also the check that the counter is shared safely).
TEST(TimerRecord, ConcurrentNamelessTimersAreNumberedApart) {
    constexpr int kThreads = 4, kEach = 2;
    std::mutex m;
    std::vector<void*> timers;
    std::vector<std::thread> makers;
    for (int k = 0; k < kThreads; ++k) {
        makers.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                void* h = sw_timer_create(nullptr, 100, nullptr, 0, 0);
                const std::lock_guard<std::mutex> g(m);
                timers.push_back(h);
            }
        });
    }
    for (std::thread& t : makers) t.join();
    std::set<std::string> names;
    for (void* h : timers) {
        ASSERT_NE(h, nullptr);
        names.insert(head(h)->name);
        EXPECT_EQ(thread_name(h), head(h)->name);
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(kThreads * kEach));
    for (void* h : timers) sw_timer_destroy(h, 5000);
}

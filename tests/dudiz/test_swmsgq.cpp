// Message queue: the warning of a dropped message, the timed-wait rule of a read. Order, capacity, drops,
// surplus counts, clear and NULL handles are checked against a model by fuzz_swmsgq, which runs as a test
// in every build; writers and readers with a time-out at once by SwMemThreads (test_swmem.cpp).
#include "swmsgq.h"
#include "swsignal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

#include "support/lock_holder.h"
#include "support/stdout_capture.h"

// Seven posts into a ring of two drop five messages: five exact lines and nothing else.
TEST(SwMsgqDrops, OneWarningLinePerDroppedMessage) {
    void* q = sw_msgq_create(2);
    StdoutCapture cap;
    for (int i = 0; i < 7; ++i) sw_msgq_post(q, i, 0, 0);
    const std::regex line(R"(.*\[warn\] \([^)]*swmsgq\.cpp:\d+\) a message queue drop a oldest message!\n)");
    EXPECT_EQ(std::regex_replace(cap.finish(), line, "#"), "#####");
    sw_msgq_destroy(q);
}

// An empty ring is the primitive held: reads time out in full, or take the message posted meanwhile.
TEST(SwMsgqRead, TimedWaitRule) {
    void* q = sw_msgq_create(4);
    const auto read = [q](int timeout) { return sw_msgq_read(q, nullptr, nullptr, nullptr, timeout); };
    const auto post = [q] { sw_msgq_post(q, 1, 0, 0); };
    post(), expect_timed_wait_rule(read, post, read, post);
    EXPECT_EQ(sw_msgq_get_num(q), 1);
    sw_msgq_destroy(q);
}

// Three readers that wait without limit, so several sleep at once, and three writers kept below the
// capacity: every message arrives exactly once. A wake-up lost between a reader's look at the
// count and its sleep leaves a reader asleep beside a message, and the test hangs.
TEST(SwMsgqThreads, ReadersWithoutTimeOutGetEveryMessage) {
    void *q = sw_msgq_create(63), *room = sw_signal_create();
    for (int i = 0; i < 60; ++i) sw_signal_give(room);
    constexpr unsigned long kEach = 3000;
    std::atomic<unsigned long> sum{0}, got{0};
    std::vector<std::thread> readers, writers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            int m = 0;
            for (unsigned long w = 0; sw_msgq_read(q, &m, &w, nullptr, -1) == 0 && m == 1; ++got)
                sum += w, sw_signal_give(room);
        });
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&] {
            for (unsigned long k = 1; k <= kEach && sw_signal_wait(room, 20000) == 0; ++k)
                sw_msgq_post(q, 1, k, 0);
        });
    for (auto& w : writers) w.join();
    for (int r = 0; r < 3; ++r) sw_msgq_post(q, 0, 0, 0);  // one stop each, after every message
    for (auto& r : readers) r.join();
    EXPECT_EQ(got, 3 * kEach);
    EXPECT_EQ(sum, 3 * kEach * (kEach + 1) / 2);
    sw_msgq_destroy(q), sw_signal_destroy(room);
}

// Message queue: the warning of a dropped message, the timed-wait rule of a read. Order, capacity, drops,
// surplus counts, clear and NULL handles are checked against a model by fuzz_swmsgq, which runs as a test
// in every build; writers and waiting readers at once by SwMemThreads (test_swmem.cpp).
#include "swmsgq.h"

#include <gtest/gtest.h>

#include <regex>

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

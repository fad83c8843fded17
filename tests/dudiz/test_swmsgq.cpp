// Message queue: the warning of a dropped message. Order, capacity, drops, surplus counts, clear and
// NULL handles are checked against a model by fuzz_swmsgq, which runs as a test in every build;
// writers and waiting readers at once by SwMemThreads (test_swmem.cpp).
#include "swmsgq.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/stdout_capture.h"

TEST(SwMsgqDrops, OneWarningLinePerDroppedMessage) {
    void* q = sw_msgq_create(2);
    StdoutCapture cap;
    for (int i = 0; i < 7; ++i) sw_msgq_post(q, i, 0, 0);
    const std::string out = cap.finish();
    const std::regex line(R"(\[warn\] \([^)]*swmsgq\.cpp:\d+\) a message queue drop a oldest message!\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), line), {}), 5) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
    sw_msgq_destroy(q);
}

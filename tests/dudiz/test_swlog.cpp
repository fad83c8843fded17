// Log writer and its sink: the line format, the level table, the message bound, flushing, the
// per-thread stamp across a second boundary, and whole lines from concurrent writers.
#include "swlog.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "support/stdout_capture.h"
#include "support/tempdir.h"
#include "support/waitfor.h"

using Str = std::string;
const Str kStamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )";
// The log's clock: time() reads a coarser clock that may lag it by a second.
const auto now_s = [](timespec ts = {}) { return clock_gettime(CLOCK_REALTIME, &ts), ts.tv_sec; };

// Each line is read from the (fully buffered) file before anything else flushes the stream. The last
// lines are written in a later second than the first: a stamp cached from an earlier second would show.
TEST(SwLog, LineFormatLevelsAndBounds) {
    const Str msg(10000, 'x'), at = "(d/f.c:-3) 7% ";
    // clang-format off
    const struct { int level; Str arg, tail; } rows[] = {  // tail "": nothing written
        {0, "%d%s%n", "[trace] " + at + "%d%s%n\n"}, {1, "one\ntwo", "[debug] " + at + "one\ntwo\n"},
        {2, "", "[info] " + at + "\n"}, {3, "x", "[warn] " + at + "x\n"}, {4, "x", "[error] " + at + "x\n"},
        {5, msg, "[fatal] " + at + msg.substr(0, 8188) + "\n"}, {6, "x", ""}, {-1, "x", ""}};
    // clang-format on
    time_t stamp = now_s();
    for (const auto& r : rows) {
        ASSERT_TRUE(r.level != 4 || wait_for([&] { return now_s() > stamp; }, 5000));
        StdoutCapture cap;
        struct tm tm {};
        const time_t before = now_s();
        sw_log_writeWithLevel(static_cast<ELogLevel>(r.level), "d/f.c", -3, "%d%% %s", 7, r.arg.c_str());
        const Str out = TempDir::read("/proc/self/fd/1");
        stamp = strptime(out.c_str(), "[%Y-%m-%d %H:%M:%S] ", &tm) ? (tm.tm_isdst = -1, mktime(&tm)) : -1;
        EXPECT_TRUE(out.empty() ? r.tail.empty()
                                : out.substr(22) == r.tail && before <= stamp && stamp <= now_s() &&
                                      std::regex_match(out.substr(0, 22), std::regex(kStamp)))
            << out.substr(0, 99);
    }
}

// Lines of concurrent writers never interleave: each carries a long payload (the writer's digit), so a
// line built in pieces would be caught.
TEST(SwLog, ConcurrentLinesStayWhole) {
    StdoutCapture cap;
    std::thread threads[4];
    for (int t = 0; t < 4; ++t) {
        threads[t] = std::thread([t, payload = Str(1500, static_cast<char>('0' + t))] {
            for (int i = 0; i < 200; ++i) sw_log_writeWithLevel(LEVEL_INFO, "t.c", t, "%s", payload.c_str());
        });
    }
    for (auto& th : threads) th.join();
    const std::regex re(kStamp + R"(\[info\] \(t\.c:(\d)\) \1{1500})");
    std::istringstream out(cap.finish());
    int lines = 0;
    for (Str line; std::getline(out, line); ++lines) ASSERT_TRUE(std::regex_match(line, re)) << line;
    EXPECT_EQ(lines, 800);
}

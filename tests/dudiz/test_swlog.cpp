// Log writer: line format, level table, message bounds, concurrency.
#include "swlog.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/stdout_capture.h"

namespace {

const std::string kStamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\])";

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

time_t stamp_to_time(const std::string& line) {
    struct tm tm {};
    EXPECT_EQ(sscanf(line.c_str(), "[%d-%d-%d %d:%d:%d]", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                     &tm.tm_hour, &tm.tm_min, &tm.tm_sec),
              6);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

}  // namespace

TEST(SwLog, LineHasStampLevelLocationAndMessage) {
    const time_t before = time(nullptr);
    StdoutCapture cap;
    sw_log_writeWithLevel(LEVEL_ERROR, "a.c", 12, "value=%d", 7);
    const std::string out = cap.finish();
    const time_t after = time(nullptr);
    EXPECT_TRUE(std::regex_match(out, std::regex("^" + kStamp + R"( \[error\] \(a\.c:12\) value=7\n$)")))
        << out;
    // The stamp is the local time of the call, not some fixed or UTC value.
    const time_t stamped = stamp_to_time(out);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

TEST(SwLog, EveryValidLevelPrintsItsNameAndOthersPrintNothing) {
    struct Case {
        int level;
        const char* name;
    } cases[] = {{0, "trace"}, {1, "debug"}, {2, "info"}, {3, "warn"},
                 {4, "error"}, {5, "fatal"}, {6, nullptr}, {-1, nullptr},
                 {1000, nullptr}};
    for (const Case& c : cases) {
        StdoutCapture cap;
        sw_log_writeWithLevel(static_cast<ELogLevel>(c.level), "dir/sub/file.cpp", 7, "m");
        const std::string out = cap.finish();
        if (c.name == nullptr) {
            EXPECT_EQ(out, "") << "level " << c.level;
        } else {
            EXPECT_EQ(out.substr(22), std::string("[") + c.name + "] (dir/sub/file.cpp:7) m\n")
                << "level " << c.level;
        }
    }
}

TEST(SwLog, LongMessageIsCutAfter8191Bytes) {
    std::string msg(10000, 'x');
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<char>('a' + i % 26);
    StdoutCapture cap;
    sw_log_writeWithLevel(LEVEL_INFO, "f.c", 1, "%s", msg.c_str());
    const std::string out = cap.finish();
    const std::string head = "[info] (f.c:1) ";
    const size_t at = out.find(head);
    ASSERT_NE(at, std::string::npos);
    const std::string body = out.substr(at + head.size());
    ASSERT_FALSE(body.empty());
    EXPECT_EQ(body.back(), '\n');
    EXPECT_EQ(body.substr(0, body.size() - 1), msg.substr(0, 8191));
}

TEST(SwLog, MessageTextIsPrintedVerbatim) {
    struct Case {
        const char* arg;
        const char* expectedTail;
    } cases[] = {
        {"%d%s%n", ") %d%s%n\n"},         // not interpreted a second time
        {"", ") \n"},                     // empty message still makes a line
        {"one\ntwo", ") one\ntwo\n"},     // embedded newline: two lines, plus our own newline
        {"相机SDK初始化失败", ") 相机SDK初始化失败\n"},  // UTF-8 bytes pass through
    };
    for (const Case& c : cases) {
        StdoutCapture cap;
        sw_log_writeWithLevel(LEVEL_WARN, "x.c", 1234567, "%s", c.arg);
        const std::string out = cap.finish();
        const std::string tail = std::string("(x.c:1234567") + c.expectedTail;
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    }
}

TEST(SwLog, NegativeLineNumberPrintsInDecimal) {
    StdoutCapture cap;
    sw_log_writeWithLevel(LEVEL_DEBUG, "n.c", -3, "x");
    EXPECT_NE(cap.finish().find("(n.c:-3) x\n"), std::string::npos);
}

// Lines of concurrent writers must never interleave; each carries a long payload so that a
// writer that built its line in pieces would be caught.
TEST(SwLog, ConcurrentLinesStayWhole) {
    constexpr int kThreads = 6;
    constexpr int kLines = 300;
    StdoutCapture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string payload(1500, static_cast<char>('A' + t));
            for (int i = 0; i < kLines; ++i) {
                sw_log_writeWithLevel(LEVEL_INFO, "thr.c", t, "t%d i%d %s end", t, i, payload.c_str());
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = split_lines(cap.finish());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex re("^" + kStamp + R"( \[info\] \(thr\.c:(\d)\) t(\d) i(\d+) ([A-Z]+) end$)");
    std::vector<int> next(kThreads, 0);
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, re)) << l.substr(0, 120);
        const int t = std::stoi(m[1]);
        ASSERT_EQ(t, std::stoi(m[2]));
        ASSERT_EQ(m[4].str(), std::string(1500, static_cast<char>('A' + t)));
        // Each thread's own lines keep their order.
        EXPECT_EQ(std::stoi(m[3]), next[t]++);
    }
}

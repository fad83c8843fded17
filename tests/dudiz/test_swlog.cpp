// Log writer and its sink: the line format, the level table, the message bound, flushing, the
// per-thread stamp across a second boundary, and whole lines from concurrent writers.
#include "swlog.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "logfromgo.h"
#include "support/stdout_capture.h"
#include "support/waitfor.h"

namespace {

const std::string kStamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )";

time_t now_s() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);  // the log's clock: time() may lag it by a second
    return ts.tv_sec;
}

// The local time of a line's stamp.
time_t stamp_of(const std::string& line) {
    struct tm tm {};
    tm.tm_isdst = -1;
    sscanf(line.c_str(), "[%d-%d-%d %d:%d:%d]", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
           &tm.tm_sec);
    tm.tm_year -= 1900, tm.tm_mon -= 1;
    return mktime(&tm);
}

}  // namespace

TEST(SwLog, LineFormatLevelsAndBounds) {
    std::string msg(10000, 'x');
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<char>('a' + i % 26);
    const struct {
        int level;
        std::string arg, tail;  // tail "": nothing written
    } rows[] = {
        {0, "%d%s%n", "[trace] (d/f.c:-3) 7% %d%s%n\n"},
        {1, "", "[debug] (d/f.c:-3) 7% \n"},
        {2, "one\ntwo", "[info] (d/f.c:-3) 7% one\ntwo\n"},
        {3, "相机", "[warn] (d/f.c:-3) 7% 相机\n"},
        {4, "x", "[error] (d/f.c:-3) 7% x\n"},
        {5, msg, "[fatal] (d/f.c:-3) 7% " + msg.substr(0, 8188) + "\n"},
        {6, "x", ""},
        {-1, "x", ""},
        {1000, "x", ""},
    };
    for (const auto& r : rows) {
        StdoutCapture cap;
        const time_t before = now_s();
        sw_log_writeWithLevel(static_cast<ELogLevel>(r.level), "d/f.c", -3, "%d%% %s", 7, r.arg.c_str());
        const std::string out = cap.finish();
        EXPECT_TRUE(out.empty() ? r.tail.empty() : out.substr(22) == r.tail) << r.level << out.substr(0, 100);
        EXPECT_TRUE(out.empty() || (std::regex_match(out.substr(0, 22), std::regex(kStamp)) &&
                                    before <= stamp_of(out) && stamp_of(out) <= now_s()))
            << out.substr(0, 22);
    }
}

// The line is in the (fully buffered) file before anything else flushes the stream, and a stamp
// taken in a later second shows that second, not the one the thread stamped before.
TEST(SwLog, SinkFlushesAndStampsFollowTheClock) {
    StdoutCapture cap;
    const time_t first = now_s();
    LogFromGo("custom", "p.c", 42, "100% %s");
    FILE* f = fopen("/proc/self/fd/1", "r");
    char buf[256] = {0};
    const size_t n = f != nullptr ? fread(buf, 1, sizeof buf - 1, f) : 0;
    if (f != nullptr) fclose(f);
    ASSERT_TRUE(wait_for([&] { return now_s() > first; }, 5000));
    const time_t second = now_s();
    LogFromGo("info", "p.c", 43, "later");
    const std::string out = cap.finish();
    ASSERT_TRUE(n > 0 && std::regex_match(std::string(buf, n),
                                          std::regex(kStamp + R"(\[custom\] \(p\.c:42\) 100% %s\n)")))
        << buf;
    EXPECT_GE(stamp_of(out.substr(n)), second) << out;
}

// Lines of concurrent writers never interleave; each carries a long payload, so a line built in
// pieces would be caught, and each thread's own lines keep their order.
TEST(SwLog, ConcurrentLinesStayWhole) {
    StdoutCapture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t] {
            const std::string payload(1500, static_cast<char>('A' + t));
            for (int i = 0; i < 300; ++i)
                sw_log_writeWithLevel(LEVEL_INFO, "thr.c", t, "t%d i%d %s end", t, i, payload.c_str());
        });
    }
    for (auto& th : threads) th.join();
    const std::string out = cap.finish();
    const std::regex re(kStamp + R"(\[info\] \(thr\.c:(\d)\) t\1 i(\d+) ([A-Z])\3{1499} end)");
    std::vector<int> next(6, 0);
    size_t lines = 0;
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1, ++lines) {
        std::smatch m;
        const std::string line = out.substr(at, end - at);
        ASSERT_TRUE(std::regex_match(line, m, re) && m[3].str()[0] == 'A' + std::stoi(m[1]))
            << line.substr(0, 80);
        ASSERT_EQ(std::stoi(m[2]), next[static_cast<size_t>(std::stoi(m[1]))]++) << line.substr(0, 80);
    }
    EXPECT_TRUE(lines == 1800 && out.back() == '\n') << lines;
}

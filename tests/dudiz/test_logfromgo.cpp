// Log sink: prints the given level text and message without interpreting either.
#include "logfromgo.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/stdout_capture.h"

TEST(LogFromGo, PrintsOneLineWithGivenFields) {
    StdoutCapture cap;
    LogFromGo("custom", "p/q.c", 42, "100% %s done");
    const std::string out = cap.finish();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[custom\] \(p/q\.c:42\) 100% %s done\n$)")))
        << out;
}

TEST(LogFromGo, OutputIsFlushedAtOnce) {
    // With stdout redirected to a file the stream is fully buffered; the line must still be in the
    // file before anything else flushes the stream.
    StdoutCapture cap;
    LogFromGo("info", "f", 1, "m");
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", 1);
    FILE* f = fopen(path, "r");
    ASSERT_NE(f, nullptr);
    char buf[256] = {0};
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    (void)cap.finish();
    EXPECT_GT(n, 0u);
    EXPECT_NE(std::string(buf).find("[info] (f:1) m\n"), std::string::npos);
}

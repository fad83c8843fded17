// swstring: date-time parsing and arithmetic, and setting the wall clock through its seam.
#include "swstring.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "internal/swclockhook.h"
#include "support/forked.h"

namespace {

// Time-zone cases change TZ of this process only (never /etc/localtime) and restore it.
class TimeZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = getenv("TZ");
        hadTz_ = old != nullptr;
        if (hadTz_) oldTz_ = old;
        use("UTC0");
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void use(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    // Central Europe: summer time from the last Sunday of March 02:00 to the last Sunday of
    // October 03:00.
    static constexpr const char* kCet = "CET-1CEST,M3.5.0,M10.5.0/3";

private:
    bool hadTz_ = false;
    std::string oldTz_;
};

std::string grown(const char* text, const char* mode, int64_t ms, bool* ok) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s", text);
    *ok = xstrtimegrow(buf, mode, ms) == buf;
    return buf;
}

struct tm sentinel_tm() {
    struct tm t {};
    t.tm_year = 11;
    t.tm_mon = 22;
    t.tm_mday = 33;
    t.tm_hour = 44;
    t.tm_min = 55;
    t.tm_sec = 66;
    t.tm_isdst = 7;
    return t;
}

}  // namespace

TEST(StrToTm, ReadsEveryLayout) {
    struct Case {
        const char* text;
        const char* mode;
        int year, mon, mday, hour, min, sec;
        short ms;
    } cases[] = {
        {"2024-03-07 08:05:09", "datetime", 124, 2, 7, 8, 5, 9, -1},
        {"2024-03-07 08:05:09", "DateTime", 124, 2, 7, 8, 5, 9, -1},
        {"2024-03-07 08:05:09.042", "datetime(h)", 124, 2, 7, 8, 5, 9, 42},
        {"2024-03-07 08:05:09.5", "datetime(h)", 124, 2, 7, 8, 5, 9, 5},
        {"2024-03-0708:05:09", "datetime", 124, 2, 7, 8, 5, 9, -1},  // no blank needed
        {"2024-03-07 \t 08:05:09", "datetime", 124, 2, 7, 8, 5, 9, -1},
        {"2024-03-07", "date", 124, 2, 7, 44, 55, 66, -1},
        {"20245-03-07", "date", 124, 21, 33, 44, 55, 66, -1},  // four digits at most, then '-' fails
    };
    for (const Case& c : cases) {
        struct tm t = sentinel_tm();
        short ms = -1;
        ASSERT_EQ(strtotm(c.text, &t, &ms, c.mode), &t) << c.text;
        EXPECT_EQ(t.tm_year, c.year) << c.text;
        EXPECT_EQ(t.tm_mon, c.mon) << c.text;
        EXPECT_EQ(t.tm_mday, c.mday) << c.text;
        EXPECT_EQ(t.tm_hour, c.hour) << c.text;
        EXPECT_EQ(t.tm_min, c.min) << c.text;
        EXPECT_EQ(t.tm_sec, c.sec) << c.text;
        EXPECT_EQ(ms, c.ms) << c.text;
        EXPECT_EQ(t.tm_isdst, 7) << "fields the layout lacks stay as set";
    }
}

TEST(StrToTm, TimeLayoutsTakeTodaysDate) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const time_t before = time(nullptr);
        struct tm t {};
        short ms = 0;
        ASSERT_EQ(strtotm("08:05:09.5", &t, &ms, "time(h)"), &t);
        struct tm today {};
        localtime_r(&before, &today);
        if (time(nullptr) / 86400 != before / 86400) continue;  // midnight passed meanwhile
        EXPECT_EQ(ms, 5);
        EXPECT_EQ(t.tm_hour, 8);
        EXPECT_EQ(t.tm_sec, 9);
        EXPECT_EQ(t.tm_year, today.tm_year);
        EXPECT_EQ(t.tm_mon, today.tm_mon);
        EXPECT_EQ(t.tm_mday, today.tm_mday);
        return;
    }
}

TEST(StrToTm, PartialTextKeepsTheFieldsNotReached) {
    struct tm t = sentinel_tm();
    short ms = 3;
    ASSERT_EQ(strtotm("2024-03", &t, &ms, "datetime(h)"), &t);
    EXPECT_EQ(t.tm_year, 124);
    EXPECT_EQ(t.tm_mon, 2);
    EXPECT_EQ(t.tm_mday, 33);
    EXPECT_EQ(t.tm_hour, 44);
    EXPECT_EQ(ms, 3);
}

TEST(StrToTm, RefusesWithoutTouchingTheOutputs) {
    const char* modes[] = {"datetime", "datetime(h)", "date", "time", "time(h)"};
    for (const char* mode : modes) {
        struct tm t = sentinel_tm();
        short ms = 77;
        EXPECT_EQ(strtotm("garbage", &t, &ms, mode), nullptr) << mode;
        EXPECT_EQ(strtotm("", &t, &ms, mode), nullptr) << mode;
        EXPECT_TRUE(t.tm_year == 11 && t.tm_mon == 22 && t.tm_mday == 33 && t.tm_hour == 44 && t.tm_min == 55 &&
                    t.tm_sec == 66)
            << mode;
        EXPECT_EQ(ms, 77) << mode;
        EXPECT_EQ(strtotm("2024-03-07 08:05:09", &t, nullptr, mode), nullptr) << mode;
        EXPECT_EQ(strtotm(nullptr, &t, &ms, mode), nullptr) << mode;
        EXPECT_EQ(strtotm("08:05:09", nullptr, &ms, mode), nullptr) << mode;
    }
    struct tm t = sentinel_tm();
    short ms = 77;
    EXPECT_EQ(strtotm("2024-03-07", &t, &ms, "hour"), nullptr);
    EXPECT_EQ(strtotm("2024-03-07", &t, &ms, nullptr), nullptr);
    EXPECT_EQ(t.tm_year, 11);
}

TEST_F(TimeZone, GrowTable) {
    struct Case {
        const char* text;
        const char* mode;
        int64_t ms;
        const char* expected;
    } cases[] = {
        {"2024-02-28 23:59:59.999", "datetime(h)", 1, "2024-02-29 00:00:00.000"},
        {"2024-03-01 00:00:00.000", "datetime(h)", -1000, "2024-02-29 23:59:59.000"},
        {"2024-01-01 00:00:00.100", "datetime(h)", -200, "2023-12-31 23:59:59.900"},
        {"2024-01-01 00:00:00.100", "DATETIME(H)", -100, "2024-01-01 00:00:00.000"},
        {"2024-03-01", "date", 86400000, "2024-03-02"},
        {"2024-03-01", "date", 1, "2024-03-01"},
        {"2024-03-01", "date", -1, "2024-02-29"},
        {"2024-03-01 10:00:00", "datetime", 999, "2024-03-01 10:00:00"},
        {"2024-03-01 10:00:00", "datetime", -1, "2024-03-01 09:59:59"},
        {"23:59:59", "time", 1000, "00:00:00"},
        {"00:00:00.000", "time(h)", -1, "23:59:59.999"},
        {"1970-01-01 00:00:00", "datetime", 0, "1970-01-01 00:00:00"},
        {"2037-12-31 23:59:59", "datetime", 0, "2037-12-31 23:59:59"},
    };
    for (const Case& c : cases) {
        bool ok = false;
        EXPECT_EQ(grown(c.text, c.mode, c.ms, &ok), c.expected) << c.text << " + " << c.ms;
        EXPECT_TRUE(ok) << c.text;
    }
}

TEST_F(TimeZone, GrowRefusesAndLeavesTheText) {
    const struct Case {
        const char* text;
        const char* mode;
        int64_t ms;
    } cases[] = {
        {"1969-12-31 23:59:59", "datetime", 5000},  // before 1970
        {"garbage", "datetime", 0},
        {"2024-03-01", "week", 0},
        {"9999-12-31 23:59:59", "datetime", 1000},  // year 10000 would not fit the text
        {"2024-03-01 00:00:00", "datetime", INT64_MAX},
        {"2024-03-01 00:00:00", "datetime", INT64_MIN},
    };
    for (const Case& c : cases) {
        bool ok = true;
        EXPECT_EQ(grown(c.text, c.mode, c.ms, &ok), c.text);
        EXPECT_FALSE(ok) << c.text;
    }
    EXPECT_EQ(xstrtimegrow(nullptr, "date", 0), nullptr);
}

TEST_F(TimeZone, GrowStopsAtTheLimitOfTimeT) {
    bool ok = false;
    const std::string last = grown("2038-01-19 03:14:07", "datetime", 0, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(last, "2038-01-19 03:14:07");
    const std::string next = grown("2038-01-19 03:14:07", "datetime", 1000, &ok);
    if (sizeof(time_t) < 8) {
        // A 32-bit time_t would wrap to 1901: refused, text kept.
        EXPECT_FALSE(ok);
        EXPECT_EQ(next, "2038-01-19 03:14:07");
    } else {
        EXPECT_TRUE(ok);
        EXPECT_EQ(next, "2038-01-19 03:14:08");
    }
}

TEST_F(TimeZone, GrowFollowsDaylightSaving) {
    use(kCet);
    const struct Case {
        const char* text;
        int64_t ms;
        const char* expected;
    } cases[] = {
        {"2024-07-01 12:00:00", 0, "2024-07-01 12:00:00"},  // summer time, unchanged
        {"2024-01-15 12:00:00", 0, "2024-01-15 12:00:00"},
        {"2024-03-31 01:59:59", 1000, "2024-03-31 03:00:00"},  // clocks go forward
        {"2024-10-27 01:59:59", 3601000, "2024-10-27 02:00:00"},  // clocks go back
        {"2024-03-30 12:00:00", 86400000, "2024-03-31 13:00:00"},  // a 23-hour day
    };
    for (const Case& c : cases) {
        bool ok = false;
        EXPECT_EQ(grown(c.text, "datetime", c.ms, &ok), c.expected) << c.text;
        EXPECT_TRUE(ok);
    }
}

TEST_F(TimeZone, CompareTable) {
    struct Case {
        const char* a;
        const char* b;
        const char* mode;
        int64_t interval;
    } cases[] = {
        {"2024-01-01 00:00:01.500", "2024-01-01 00:00:00.250", "datetime(h)", 1250},
        {"2024-01-01 00:00:00.250", "2024-01-01 00:00:01.500", "datetime(h)", -1250},
        {"2024-03-02", "2024-03-01", "date", 86400000},
        {"2024-03-01 00:00:00", "2024-03-01 00:00:00", "datetime", 0},
        {nullptr, "1970-01-01 00:00:01", "datetime", -1000},
        {"1970-01-02", nullptr, "date", 86400000},
        {nullptr, nullptr, "datetime", 0},
    };
    for (const Case& c : cases) {
        int64_t interval = 12345;
        EXPECT_TRUE(xstrtimecmp(c.a, c.b, c.mode, &interval)) << (c.a ? c.a : "NULL");
        EXPECT_EQ(interval, c.interval) << (c.a ? c.a : "NULL");
    }
    EXPECT_TRUE(xstrtimecmp("2024-01-01", "2023-01-01", "date", nullptr));
    use(kCet);
    int64_t interval = 0;
    EXPECT_TRUE(xstrtimecmp("2024-03-31 03:00:00", "2024-03-31 01:59:59", "datetime", &interval));
    EXPECT_EQ(interval, 1000);
}

TEST_F(TimeZone, CompareRefusesUnreadableTexts) {
    const struct Case {
        const char* a;
        const char* b;
        const char* mode;
    } cases[] = {
        {"garbage", "2024-01-01", "date"},
        {"2024-01-01", "garbage", "date"},
        {"1969-12-31", "2024-01-01", "date"},
        {"2024-01-01", "2024-01-01", "fortnight"},
        {"2024-01-01", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        int64_t interval = 12345;
        EXPECT_FALSE(xstrtimecmp(c.a, c.b, c.mode, &interval)) << c.a;
        EXPECT_EQ(interval, 12345);
    }
}

namespace {

// What the seam saw; the seam never touches the real clock.
struct ClockCalls {
    static std::vector<struct timeval>& calls() {
        static std::vector<struct timeval> v;
        return v;
    }
    static int fail;
    static int record(const struct timeval* tv) {
        calls().push_back(*tv);
        if (fail != 0) {
            errno = EPERM;
            return -1;
        }
        return 0;
    }
};
int ClockCalls::fail = 0;

// Takes CAP_SYS_TIME out of the bounding, effective, permitted and inheritable sets of this
// (forked) process, so that even a call that slipped past the seam could not set the clock.
// Returns true when the capability is verifiably gone.
bool drop_sys_time() {
    (void)prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0);  // EPERM without CAP_SETPCAP: checked below
    __user_cap_header_struct hdr{};
    hdr.version = _LINUX_CAPABILITY_VERSION_3;
    hdr.pid = 0;
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &hdr, data) != 0) return false;
    const unsigned bit = 1u << (CAP_SYS_TIME % 32);
    const int word = CAP_SYS_TIME / 32;
    data[word].effective &= ~bit;
    data[word].permitted &= ~bit;
    data[word].inheritable &= ~bit;
    if (syscall(SYS_capset, &hdr, data) != 0) return false;
    __user_cap_data_struct check[2]{};
    if (syscall(SYS_capget, &hdr, check) != 0) return false;
    return (check[word].effective & bit) == 0 && (check[word].permitted & bit) == 0;
}

}  // namespace

TEST(XSetLocalTime, HandsTheSecondsToSettimeofday) {
    expect_passes_in_child([] {
        ASSERT_TRUE(drop_sys_time());
        const PSwSetClockProc previous = sw_hook_setClockSetter(&ClockCalls::record);
        struct Case {
            const char* text;
            int result;
            long long seconds;  // recorded call, or -1 for none
        } cases[] = {
            {"1700000000", 0, 1700000000},
            {" +42", 0, 42},
            {"0", 0, 0},
            {"2147483647", 0, 2147483647},
            {"2147483648", -1, -1},
            {"1700000000x", -1, -1},
            {"1700000000 ", -1, -1},
            {"99999999999999999999", -1, -1},
            {"-5", -1, -1},
            {"", -1, -1},
            {"   ", -1, -1},
            {"+", -1, -1},
            {"-", -1, -1},
            {"x1", -1, -1},
            {nullptr, -1, -1},
        };
        for (const Case& c : cases) {
            ClockCalls::calls().clear();
            EXPECT_EQ(xsetlocaltime(c.text), c.result) << (c.text ? c.text : "NULL");
            if (c.seconds < 0) {
                EXPECT_TRUE(ClockCalls::calls().empty()) << (c.text ? c.text : "NULL");
            } else {
                ASSERT_EQ(ClockCalls::calls().size(), 1u);
                EXPECT_EQ(static_cast<long long>(ClockCalls::calls()[0].tv_sec), c.seconds);
                EXPECT_EQ(ClockCalls::calls()[0].tv_usec, 0);
            }
        }
        ClockCalls::fail = 1;
        EXPECT_EQ(xsetlocaltime("1700000000"), -1) << "a refused setting is reported";
        EXPECT_EQ(sw_hook_setClockSetter(previous), &ClockCalls::record);
    });
}

TEST(XSetLocalTime, RealSetterWithoutThePrivilegeFails) {
    // Only with the capability verifiably dropped; and then with the current second, so that
    // even so nothing could move.
    expect_passes_in_child([] {
        ASSERT_TRUE(drop_sys_time());
        (void)sw_hook_setClockSetter(nullptr);
        char now[32];
        snprintf(now, sizeof now, "%lld", static_cast<long long>(time(nullptr)));
        errno = 0;
        EXPECT_EQ(xsetlocaltime(now), -1);
        EXPECT_EQ(errno, EPERM);
    });
}

// swstring: the text functions against short references written another way, the date-time
// layouts, parsing and arithmetic (fuzz_time checks them against each other on many more texts), the
// wall-clock setter through its seam, and the exact texts of field records (fuzz_fields runs a model).
#include "swstring.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "internal/swclockhook.h"
#include "support/forked.h"

namespace {

using Str = std::string;
using Bytes = std::vector<unsigned char>;

Str upper(Str s) {
    for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return s;
}
size_t at(const Str& s, const char* p) {
    return p == nullptr ? Str::npos : static_cast<size_t>(p - s.c_str());
}
int sign(int v) {
    return (v > 0) - (v < 0);
}

// Hexadecimal text to bytes as documented: "0x" is skipped, a digit pairs with a digit after it.
Bytes ref_tohex(const Str& s) {
    const auto digit = [&](size_t k) {
        return isxdigit(static_cast<unsigned char>(s[k])) != 0;
    };  // s[size()] is NUL
    Bytes out;
    for (size_t i = 0, n = 0; i < s.size(); i += n) {
        const bool prefix = s[i] == '0' && (s[i + 1] | 0x20) == 'x';
        n = prefix ? 2 : digit(i) ? 1 + digit(i + 1) : 1;
        if (!prefix && digit(i))
            out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, n), nullptr, 16)));
    }
    return out;
}

}  // namespace

// Random texts, number-like or over both cases, the bytes beside the letter ranges, "0x" and bytes
// above 127. Their bytes are written back as hex text with random prefixes and separators.
TEST(SwString, TextFunctionsAgreeWithReferences) {
    std::mt19937 rng(20240307);
    const Str alphabets[] = {"aAbBfFgGzZxX09.@[`{ \x80\xE9\xFF", "0123456789..aFx"};
    const char *prefixes[] = {nullptr, "", "0x", "#"},
               *splits[] = {nullptr, "", ",", " , ", "--><--", "\xFF\x80 "};
    for (int i = 0; i < 20000; ++i) {
        Str s(rng() % 10, ' '), c(rng() % 4, ' ');
        for (char& x : s) x = alphabets[i % 3 == 0][rng() % alphabets[i % 3 == 0].size()];
        for (char& x : c) x = alphabets[0][rng() % alphabets[0].size()];
        const Str us = upper(s), uc = upper(c);
        const int n = static_cast<int>(rng() % 8) - 1;
        const char ch = c.empty() ? '\0' : c[0];
        ASSERT_EQ(xstrcasecmp(s.c_str(), c.c_str()), sign(us.compare(uc))) << s << '|' << c;
        ASSERT_EQ(xstrncasecmp(s.c_str(), c.c_str(), n),
                  n <= 0 ? 0 : sign(us.substr(0, n).compare(uc.substr(0, n))));
        ASSERT_EQ(at(s, xstrcasestr(s.c_str(), "left", c.c_str())), s.empty() ? Str::npos : us.find(uc))
            << s << '|' << c;
        ASSERT_EQ(at(s, xstrcasestr(s.c_str(), "Right", c.c_str())), us.rfind(uc)) << s << '|' << c;
        ASSERT_EQ(at(s, xstrcasechr(s.c_str(), "RIGHT", ch)), us.rfind(uc.substr(0, 1))) << s << '|' << c;
        Str lower = s, up = s, replaced = s, want = s;
        ASSERT_TRUE(xstrtolower(lower.data()) == lower.data() && xstrtoupper(up.data()) == up.data());
        ASSERT_TRUE(up == us && upper(lower) == us &&
                    lower.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == Str::npos);
        std::replace(want.begin(), want.end(), ch, '\0');  // a NUL dst still covers the whole length
        ASSERT_EQ(xstrcharcnt(s.c_str(), ch), ch == '\0' ? 0 : std::count(s.begin(), s.end(), ch));
        ASSERT_EQ(xstrcharreplace(replaced.data(), ch, '\0'), xstrcharcnt(s.c_str(), ch));
        ASSERT_EQ(replaced, want);
        const bool digits = s.find_first_not_of("0123456789") == Str::npos,
                   dots = std::count(s.begin(), s.end(), '.') == 1;
        ASSERT_EQ(xstrisint(s.c_str()), digits) << s;
        ASSERT_EQ(xstrishex(s.c_str()), s.find_first_not_of("0123456789abcdefABCDEF") == Str::npos) << s;
        ASSERT_EQ(xstrisfloat(s.c_str()), dots && s.find_first_not_of("0123456789.") == Str::npos) << s;
        Bytes hex((s.size() + 1) / 2 + 1, 0xCC),
            bytes = ref_tohex(s);  // the documented room and a guard byte
        ASSERT_EQ(Bytes(hex.begin(), hex.begin() + xstrtohex(s.c_str(), hex.data())), bytes) << s;
        ASSERT_EQ(hex[bytes.size()], 0xCC) << s;
        if (bytes.empty()) continue;
        const char *prefix = prefixes[rng() % 4], *split = splits[rng() % 6];
        Str text = "ab";
        for (size_t k = 0; k < bytes.size(); ++k) {
            text += Str(prefix ? prefix : "") + "0123456789abcdef"[bytes[k] >> 4] +
                    "0123456789abcdef"[bytes[k] & 15];
            if (k + 1 < bytes.size() && split) text += split;
        }
        std::vector<char> out(text.size() + 1, 'Q');  // exactly the documented room
        memcpy(out.data(), "ab", 3);
        ASSERT_EQ(xstrfromhex(bytes.data(), static_cast<int>(bytes.size()), out.data(), prefix, split),
                  static_cast<int>(bytes.size()));
        ASSERT_EQ(Str(out.data()), text);
        ASSERT_EQ(Bytes(hex.begin(), hex.begin() + xstrtohex(out.data() + 2, hex.data())), bytes);
    }
}

TEST(SwString, ExactCasesAndRefusals) {
    EXPECT_TRUE(xstrcasecmp(nullptr, nullptr) == 0 && xstrcasecmp(nullptr, "") == -1 &&
                xstrcasecmp("", nullptr) == 1);
    EXPECT_TRUE(xstrncasecmp(nullptr, "b", 0) == -1 && xstrncasecmp("b", nullptr, -1) == 1);
    for (const char* mode : {"middle", "", "lefty", static_cast<const char*>(nullptr)})
        EXPECT_EQ(xstrcasestr("abc", mode, "b"), nullptr);
    EXPECT_TRUE(xstrcasestr(nullptr, "left", "a") == nullptr && xstrcasestr("a", "left", nullptr) == nullptr);
    EXPECT_TRUE(xstrtolower(nullptr) == nullptr && xstrtoupper(nullptr) == nullptr &&
                xstrcharcnt(nullptr, 'a') == -1);
    EXPECT_TRUE(xstrcharreplace(nullptr, 'a', 'b') == -1 && !xstrisint(nullptr) && !xstrishex(nullptr) &&
                !xstrisfloat(nullptr));
    unsigned char b[8];
    EXPECT_TRUE(xstrtohex(nullptr, b) == -1 && xstrtohex("12", nullptr) == -1);
    const Str documented[] = {"A1B2", "123", "0x1F 0x2", "de:ad", "10x5", "a0x1"};
    const Bytes bytes[] = {{0xA1, 0xB2}, {0x12, 0x03}, {0x1F, 0x02},
                           {0xDE, 0xAD}, {0x10, 0x05}, {0xA0, 0x01}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Bytes(b, b + xstrtohex(documented[i].c_str(), b)), bytes[i]) << documented[i];
        EXPECT_EQ(ref_tohex(documented[i]), bytes[i]) << "the reference itself";
    }
    char text[32] = "keep";
    EXPECT_TRUE(xstrfromhex(b, 2, text, "0x0", ",") == -1 && xstrfromhex(b, 0, text, nullptr, nullptr) == -1);
    EXPECT_TRUE(xstrfromhex(nullptr, 1, text, nullptr, nullptr) == -1 &&
                xstrfromhex(b, 1, nullptr, nullptr, nullptr) == -1);
    EXPECT_EQ(xstrfromhex(b, -3, text, nullptr, nullptr), -1);
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(xstrfromhex(bytes[0].data(), 2, text, "0x", ", "), 2);
    EXPECT_STREQ(text, "keep0xa1, 0xb2");
}

// The layouts' exact outputs, and the years and months that have no int to print.
TEST(SwString, TmToStrLayouts) {
    const struct {
        int year, mon;
        short ms;
        const char *mode, *expected;  // NULL: refused, the buffer untouched
    } rows[] = {
        // clang-format off
        {124, 0, 7, "datetime", "2024-01-02 03:04:05"}, {124, 11, 7, "DateTime(H)", "2024-12-02 03:04:05.007"},
        {-1900, 0, 0, "date", "0000-01-02"}, {0, 0, 1234, "TIME", "03:04:05"}, {0, 0, 1234, "time(h)", "03:04:05.1234"},
        {12345 - 1900, 0, 0, "date", "12345-01-02"}, {INT_MAX - 1900, 0, 0, "date", "2147483647-01-02"},
        {INT_MAX - 1899, 0, 0, "date", nullptr}, {0, INT_MAX, 0, "datetime", nullptr}, {0, 0, -1, "time", nullptr},
        {0, 0, -1, "datetime(h)", nullptr}, {0, 0, 0, "datetime ", nullptr}, {0, 0, 0, nullptr, nullptr},
        // clang-format on
    };
    for (const auto& r : rows) {
        struct tm t {};
        t.tm_year = r.year, t.tm_mon = r.mon, t.tm_mday = 2, t.tm_hour = 3, t.tm_min = 4, t.tm_sec = 5;
        char buf[64] = "keep";
        EXPECT_EQ(tmtostr(buf, &t, r.ms, r.mode), r.expected ? buf : nullptr) << r.year;
        EXPECT_STREQ(buf, r.expected ? r.expected : "keep") << r.year;
        EXPECT_TRUE(tmtostr(nullptr, &t, 0, "date") == nullptr &&
                    tmtostr(buf, nullptr, 0, "date") == nullptr);
    }
}

// The wall clock is read with clock_gettime on both sides: time() reads a coarser clock that may
// lag the library's by a second.
TEST(SwString, ClocksAgreeWithTheSystemClocks) {
    struct timespec before {
    }, after{}, mono{};
    char buf[64];
    clock_gettime(CLOCK_REALTIME, &before);
    ASSERT_EQ(xstrgettime(buf, "datetime(h)"), buf);
    clock_gettime(CLOCK_REALTIME, &after);
    struct tm tm {};
    int ms = -1;
    ASSERT_EQ(sscanf(buf, "%d-%d-%d %d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                     &tm.tm_min, &tm.tm_sec, &ms),
              7);
    tm.tm_year -= 1900, tm.tm_mon -= 1, tm.tm_isdst = -1;
    const long long stamp = mktime(&tm) * 1000LL + ms;
    EXPECT_LE(before.tv_sec * 1000LL + before.tv_nsec / 1000000, stamp) << buf;
    EXPECT_LE(stamp, after.tv_sec * 1000LL + after.tv_nsec / 1000000) << buf;
    EXPECT_EQ(xstrgettime(buf, "week"), nullptr);
    unsigned long a = 0, b = 0;
    ASSERT_TRUE(xgettickcount(nullptr) == -1 && xgettickcount(&a) == 0);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    ASSERT_EQ(xgettickcount(&b), 0);
    const uint32_t ref =
        static_cast<uint32_t>(mono.tv_sec) * 1000u + static_cast<uint32_t>(mono.tv_nsec / 1000000);
    EXPECT_TRUE(static_cast<uint32_t>(ref - a) <= 1000u && static_cast<uint32_t>(b - ref) <= 1000u)
        << a << ' ' << b;
}

// ---- date-time parsing and arithmetic ----------------------------------------------------------

namespace {

// TZ of this process only (never /etc/localtime); CET has summer time from the last Sunday of
// March 02:00 to the last Sunday of October 03:00.
void use_zone(bool cet) {
    setenv("TZ", cet ? "CET-1CEST,M3.5.0,M10.5.0/3" : "UTC0", 1), tzset();
}

Str fields(const struct tm& t, short ms) {
    char s[96];
    snprintf(s, sizeof s, "%d %d %d %d %d %d %d", t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min,
             t.tm_sec, ms);
    return s;
}

}  // namespace

TEST(SwTime, StrToTm) {
    use_zone(false);
    const struct {
        const char *text, *mode, *expected;  // NULL: refused, the outputs untouched
    } rows[] = {
        {"2024-03-07 08:05:09", "datetime", "124 2 7 8 5 9 -1"},
        {"2024-03-07 08:05:09.042", "DateTime(H)", "124 2 7 8 5 9 42"},
        {"2024-03-07 \t 08:05:09.5", "datetime(h)", "124 2 7 8 5 9 5"},
        {"2024-03-0708:05:09", "datetime", "124 2 7 8 5 9 -1"},
        {"20245-03-07", "date", "124 21 33 44 55 66 -1"},  // four digits at most, then '-' fails
        {"2024-03", "datetime(h)", "124 2 33 44 55 66 -1"},
        {"x", "time", nullptr},
        {"x", "time(h)", nullptr},
        {"2024-03-07", "hour", nullptr},
    };
    for (const auto& r : rows) {
        for (const char* text : {r.text, "garbage", ""}) {
            struct tm t {};
            t.tm_year = 11, t.tm_mon = 22, t.tm_mday = 33, t.tm_hour = 44, t.tm_min = 55, t.tm_sec = 66,
            t.tm_isdst = 7;
            short ms = -1;
            const char* expected = text == r.text ? r.expected : nullptr;
            EXPECT_EQ(strtotm(text, &t, &ms, r.mode), expected ? &t : nullptr) << text << ' ' << r.mode;
            EXPECT_EQ(fields(t, ms), expected ? expected : "11 22 33 44 55 66 -1") << text << ' ' << r.mode;
            EXPECT_EQ(t.tm_isdst, 7);
        }
    }
    struct tm t {
    }, today{};
    short ms = 0;
    const time_t now = time(nullptr);
    ASSERT_EQ(strtotm("08:05:09.5", &t, &ms, "time(h)"), &t);
    localtime_r(&now, &today);
    today.tm_hour = 8, today.tm_min = 5, today.tm_sec = 9;
    EXPECT_TRUE(time(nullptr) / 86400 != now / 86400 ||
                fields(t, ms) == fields(today, 5));  // unless midnight passed
    EXPECT_TRUE(strtotm("2024-03-07", &t, nullptr, "date") == nullptr &&
                strtotm(nullptr, &t, &ms, "date") == nullptr);
    EXPECT_TRUE(strtotm("2024-03-07", nullptr, &ms, "date") == nullptr &&
                strtotm("2024-03-07", &t, &ms, nullptr) == nullptr);
}

TEST(SwTime, GrowAndCompare) {
    const struct {
        bool cet;
        const char *text, *mode;
        int64_t ms;
        const char* expected;  // NULL: refused, the text kept
    } grows[] = {
        {false, "2024-02-28 23:59:59.999", "datetime(h)", 1, "2024-02-29 00:00:00.000"},
        {false, "2024-01-01 00:00:00.100", "DATETIME(H)", -200, "2023-12-31 23:59:59.900"},
        {false, "2024-03-01", "date", -1, "2024-02-29"},
        {false, "2024-03-01 10:00:00", "datetime", 999, "2024-03-01 10:00:00"},
        {false, "23:59:59", "time", 1000, "00:00:00"},
        {false, "00:00:00.000", "time(h)", -1, "23:59:59.999"},
        {false, "2038-01-19 03:14:07", "datetime", 1000,
         sizeof(time_t) >= 8 ? "2038-01-19 03:14:08" : nullptr},
        {false, "1969-12-31 23:59:59", "datetime", 5000, nullptr},
        {false, "9999-12-31 23:59:59", "datetime", 1000, nullptr},  // year 10000 would not fit the text
        {false, "2024-03-01 00:00:00", "datetime", INT64_MAX, nullptr},
        {false, "2024-03-01 00:00:00", "datetime", INT64_MIN, nullptr},
        {false, "2024-03-01", "week", 0, nullptr},
        {true, "2024-07-01 12:00:00", "datetime", 0, "2024-07-01 12:00:00"},  // summer time, unchanged
        {true, "2024-03-31 01:59:59", "datetime", 1000, "2024-03-31 03:00:00"},
        {true, "2024-10-27 01:59:59", "datetime", 3601000, "2024-10-27 02:00:00"},
        {true, "2024-03-30 12:00:00", "datetime", 86400000, "2024-03-31 13:00:00"},  // a 23-hour day
    };
    for (const auto& g : grows) {
        use_zone(g.cet);
        char buf[64];
        strcpy(buf, g.text);
        EXPECT_EQ(xstrtimegrow(buf, g.mode, g.ms), g.expected ? buf : nullptr) << g.text << " + " << g.ms;
        EXPECT_STREQ(buf, g.expected ? g.expected : g.text) << g.text << " + " << g.ms;
    }
    EXPECT_EQ(xstrtimegrow(nullptr, "date", 0), nullptr);
    const struct {
        bool cet;
        const char *a, *b, *mode;
        int64_t interval;  // 12345: refused, not written
    } cmps[] = {
        {false, "2024-01-01 00:00:00.250", "2024-01-01 00:00:01.500", "datetime(h)", -1250},
        {false, nullptr, "1970-01-01 00:00:01", "datetime", -1000},
        {false, "1970-01-02", nullptr, "date", 86400000},
        {false, nullptr, nullptr, nullptr, 0},
        {true, "2024-03-31 03:00:00", "2024-03-31 01:59:59", "datetime", 1000},
        {false, "garbage", "2024-01-01", "date", 12345},
        {false, "2024-01-01", "garbage", "date", 12345},
        {false, "1969-12-31", "2024-01-01", "date", 12345},
        {false, "2024-01-01", nullptr, nullptr, 12345},
    };
    for (const auto& c : cmps) {
        use_zone(c.cet);
        int64_t interval = 12345;
        EXPECT_EQ(xstrtimecmp(c.a, c.b, c.mode, &interval), c.interval != 12345) << (c.a ? c.a : "NULL");
        EXPECT_EQ(interval, c.interval) << (c.a ? c.a : "NULL");
    }
    EXPECT_TRUE(xstrtimecmp("2024-01-01", "2023-01-01", "date", nullptr));
}

namespace {

std::vector<long long> g_clockCalls;  // microseconds handed to the seam
int record_clock(const struct timeval* tv) {
    g_clockCalls.push_back(tv->tv_sec * 1000000LL + tv->tv_usec);
    return tv->tv_sec == 1 ? (errno = EPERM, -1) : 0;  // second 1 stands for a refused setting
}

// Takes CAP_SYS_TIME from this (forked) process, so that even a call that slipped past the seam
// could not set the clock. True when the capability is verifiably gone.
bool drop_sys_time() {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    const unsigned bit = 1u << (CAP_SYS_TIME % 32), word = CAP_SYS_TIME / 32;
    if (syscall(SYS_capget, &hdr, data) != 0) return false;
    data[word].effective &= ~bit, data[word].permitted &= ~bit, data[word].inheritable &= ~bit;
    if (syscall(SYS_capset, &hdr, data) != 0 || syscall(SYS_capget, &hdr, data) != 0) return false;
    return (data[word].effective & bit) == 0 && (data[word].permitted & bit) == 0;
}

}  // namespace

TEST(SwTime, SetClockHandsTheSecondsToSettimeofday) {
    expect_passes_in_child([] {
        ASSERT_TRUE(drop_sys_time());
        const PSwSetClockProc previous = sw_hook_setClockSetter(&record_clock);
        for (const char* text : {"1700000000", " +42", "0", "2147483647"})
            EXPECT_EQ(xsetlocaltime(text), 0) << text;
        for (const char* text : {"2147483648", "1700000000x", "1700000000 ", "99999999999999999999", "-5", "",
                                 "   ", "+", "-", "x1"}) {
            EXPECT_EQ(xsetlocaltime(text), -1) << text;
        }
        EXPECT_EQ(xsetlocaltime(nullptr), -1);
        EXPECT_EQ(xsetlocaltime("1"), -1) << "a refused setting is reported";
        EXPECT_EQ(g_clockCalls,
                  (std::vector<long long>{1700000000000000, 42000000, 0, 2147483647000000, 1000000}));
        EXPECT_EQ(sw_hook_setClockSetter(previous), &record_clock);
        // The real setter, without the privilege and with the current second: nothing can move.
        const Str now = std::to_string(time(nullptr));
        errno = 0;
        EXPECT_TRUE(xsetlocaltime(now.c_str()) == -1 && errno == EPERM);
    });
}

// ---- field records -----------------------------------------------------------------------------

namespace {

// A heap buffer of exactly `size` bytes (AddressSanitizer sees any byte touched beyond it).
std::vector<char> field_buf(const char* text, size_t size) {
    std::vector<char> b(size, '\0');
    memcpy(b.data(), text, std::min(strlen(text), size));
    return b;
}

}  // namespace

TEST(SwField, Get) {
    const struct {
        const char* text;
        bool byName;
        const char *key, *expected;  // NULL: not found
    } rows[] = {
        // clang-format off
        {"x=0\nname = Hello World \ny=1", true, "Name", "Hello World"}, {"x=0\r\nname=v\r\ny=1", true, "name", "v"},
        {"#a=1\n  // a=2\na=3", true, "a", "3"}, {"/a=1", true, "/a", "1"}, {"abc=1", true, "ab", nullptr},
        {"ab =1", true, "AB", "1"}, {"a b=1", true, "a", nullptr}, {"[sec]\na= \t ", true, "a", ""},
        {"a=1=2", true, "a", "1=2"}, {"=v", true, "", "v"}, {"a\n=1", true, "a", nullptr},
        {"a=1\nb=2\nc=2", false, "2", "b"}, {"a=1\n  B  = two \r\n", false, "TWO", "B"},
        {"a=12", false, "1", nullptr}, {"=1", false, "1", ""}, {"#a=1", false, "1", nullptr},
        // clang-format on
    };
    for (const auto& r : rows) {
        std::vector<char> b = field_buf(r.text, strlen(r.text) + 4);
        char out[32] = "untouched";
        const int size = static_cast<int>(b.size());
        const char* got = r.byName ? sw_str_getFieldValue(b.data(), size, '\n', r.key, out, sizeof out)
                                   : sw_str_getFieldName(b.data(), size, 0, out, sizeof out, r.key);
        EXPECT_EQ(got, r.expected ? out : nullptr) << r.text;
        EXPECT_STREQ(out, r.expected ? r.expected : "untouched") << r.text;
    }
    std::vector<char> b = field_buf("a=1234567;b=2", 14);
    char out[16];
    EXPECT_EQ(sw_str_getFieldValue(b.data(), 14, ';', "a", out, 7),
              nullptr);  // seven characters need eight bytes
    EXPECT_TRUE(sw_str_getFieldValue(b.data(), 14, ';', "a", out, 8) == out &&
                sw_str_getFieldName(b.data(), 14, ';', out, 2, "2") == out);
    EXPECT_TRUE(sw_str_getFieldName(b.data(), 14, ';', out, 1, "2") == nullptr &&
                sw_str_getFieldValue(b.data(), 14, ';', "a", out, 0) == nullptr);
}

// Every edit as a row: the whole buffer afterwards (text and NUL filler), the result and the change.
TEST(SwField, Edits) {
    const char kAbc[] = "a=1\r\nb=2\r\nc=3";
    const struct {
        const char* text;
        int size;
        char delim,
            op;  // v/V: set value by name (V: autoAdd), n: set name by value, d/D: delete by name/value
        const char *name, *value, *expected;  // NULL: refused, the buffer kept
        int vary;                             // 99: not written
    } rows[] = {
        // clang-format off
        {kAbc, 16, 0, 'v', "b", "22", "a=1\r\nb=22\r\nc=3", 1}, {kAbc, 16, 0, 'v', "b", "", "a=1\r\nb=\r\nc=3", -1},
        {kAbc, 16, 0, 'v', "b", "2222", "a=1\r\nb=2222\r\nc=3", 3},  // fills the buffer to its last byte
        {"a=1\r\n  B = 2 \r\nc=3", 24, 0, 'v', "b", "x", "a=1\r\nb=x\r\nc=3", -5},
        {"a=1;b=2;c=3", 12, ';', 'n', "z", "2", "a=1;z=2;c=3", 0}, {"a=1", 16, 0, 'V', "d", "4", "a=1\r\nd=4", 5},
        {"a=1\r\n", 16, 0, 'V', "d", "4", "a=1\r\nd=4", 3}, {"a=1", 16, ',', 'V', "d", "4", "a=1,d=4", 4},
        {"", 4, 0, 'V', "d", "4", "d=4", 3}, {"a=1", 8, 0, 'V', "d", "4", "a=1\r\nd=4", 5},
        {"x", 16, 0, 'V', "d", "4", "x\r\nd=4", 5}, {"x", 16, ';', 'V', "d", "4", "x;d=4", 4},  // "x" is a text
        {"a=1", 16, 0, 'v', "d", "4", nullptr, 99},  // missing, no autoAdd
        {"a=1", 4, 0, 'V', "", "", nullptr, 99},     // one NUL byte left: no append
        {"a=1", 7, 0, 'V', "d", "4", nullptr, 99},   // the separator fits, the field does not
        {"", 3, 0, 'V', "d", "4", nullptr, 99},      // an empty buffer keeps a NUL
        {"a=1\r\nb=2", 9, 0, 'V', "b", "234", nullptr, 99}, {"a=1", 16, 0, 'V', "d", "4\n", nullptr, 99},
        {"a=1", 16, 0, 'V', nullptr, "4", nullptr, 99}, {kAbc, 16, 0, 'd', "b", nullptr, "a=1\r\nc=3", -5},
        {kAbc, 16, 0, 'd', "c", nullptr, "a=1\r\nb=2\r\n", -3}, {kAbc, 16, 0, 'D', nullptr, "1", "b=2\r\nc=3", -5},
        {"x;  a = 1 ;y", 16, ';', 'd', "A", nullptr, "x;y", -9}, {kAbc, 16, 0, 'd', "x", nullptr, kAbc, 99},
        {kAbc, 16, 0, 'D', nullptr, "1=", nullptr, 99}, {kAbc, 16, 'q', 'd', "a", nullptr, nullptr, 99},
        // clang-format on
    };
    for (const auto& r : rows) {
        std::vector<char> b = field_buf(r.text, static_cast<size_t>(r.size));
        int vary = 99;
        bool ok = false;
        if (r.op == 'v' || r.op == 'V')
            ok = sw_str_setFieldValue(b.data(), r.size, r.delim, r.name, r.value, r.op == 'V', &vary);
        if (r.op == 'n') ok = sw_str_setFieldName(b.data(), r.size, r.delim, r.name, r.value, false, &vary);
        if (r.op == 'd') ok = sw_str_delFieldByName(b.data(), r.size, r.delim, r.name, &vary);
        if (r.op == 'D') ok = sw_str_delFieldByValue(b.data(), r.size, r.delim, r.value, &vary);
        const std::vector<char> want =
            field_buf(r.expected ? r.expected : r.text, static_cast<size_t>(r.size));
        EXPECT_TRUE(ok == (r.expected != nullptr) && b == want && vary == r.vary)
            << r.text << ' ' << r.op << r.name;
    }
}

// Buffers filled to their last byte, without a NUL: every comparison stops at the buffer's end
// (AddressSanitizer reports a byte read beyond it).
TEST(SwField, NeverReadsPastAFullBuffer) {
    for (const char* text :
         {"a=1\nbb", "a=1\n/", "a=1\n#", "a=1\nb=22", "a=1\nb= ", "a=1\nb  ", "a=1\nb=2"}) {
        for (const char* key : {"b", "bb", "bbb", "2", "22", "222"}) {
            std::vector<char> b = field_buf(text, strlen(text));
            const int size = static_cast<int>(b.size());
            char out[8] = "";
            const char* got = sw_str_getFieldValue(b.data(), size, 0, key, out, sizeof out);
            EXPECT_TRUE(got == nullptr || strstr(text, got) != nullptr) << text << ' ' << key;
            (void)sw_str_getFieldName(b.data(), size, 0, out, sizeof out, key);
            EXPECT_TRUE(sw_str_delFieldByValue(b.data(), size, 0, key, nullptr) &&
                        sw_str_delFieldByName(b.data(), size, 0, key, nullptr));
        }
    }
    char out[8];
    EXPECT_STREQ(sw_str_getFieldValue("a=1\nb=2", 7, 0, "b", out, sizeof out), "2");
}

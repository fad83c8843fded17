// swstring: the text functions against short references written another way, the date-time layouts,
// parsing and arithmetic (fuzz_time checks them against each other), the wall-clock setter through its
// seam, and the exact texts of field records (fuzz_fields checks their invariants).
#include "swstring.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>

#include <algorithm>
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

// Hexadecimal text to bytes as documented: "0x" is skipped, a digit pairs with a digit right after it.
Bytes ref_tohex(const Str& s) {
    const auto digit = [&](size_t k) { return isxdigit(static_cast<unsigned char>(s[k])) != 0; };
    Bytes out;
    for (size_t i = 0, n = 0; i < s.size(); i += n) {  // s[s.size()] is a NUL, no digit
        const bool prefix = s[i] == '0' && (s[i + 1] | 0x20) == 'x';
        n = prefix ? 2 : digit(i) ? 1 + digit(i + 1) : 1;
        if (!prefix && digit(i)) out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, n), 0, 16)));
    }
    return out;
}

}  // namespace

// Random texts, number-like or over both cases, the bytes beside the letter ranges, "0x" and bytes above
// 127; the bytes they spell are written back as hex text with random prefixes and separators.
TEST(SwString, TextFunctionsAgreeWithReferences) {
    std::mt19937 rng(20240307);
    const Str alphabets[] = {"aAbBfFgGzZxX09.@[`{ \x80\xE9\xFF", "0123456789..aFx"};
    const char* pieces[] = {nullptr, "", "0x", "#", ",", " , ", "--><--", "\xFF\x80 "};
    for (int i = 0; i < 20000; ++i) {
        Str s(rng() % 10, ' '), c(rng() % 4, ' ');
        for (char& x : s) x = alphabets[i % 3 == 0][rng() % alphabets[i % 3 == 0].size()];
        for (char& x : c) x = alphabets[0][rng() % alphabets[0].size()];
        const Str us = upper(s), uc = upper(c), in = s + '|' + c;
        const int n = static_cast<int>(rng() % 8) - 1;
        const char ch = c.empty() ? '\0' : c[0];
        ASSERT_EQ(xstrcasecmp(s.c_str(), c.c_str()), sign(us.compare(uc))) << in;
        ASSERT_EQ(xstrncasecmp(s.c_str(), c.c_str(), n),
                  n <= 0 ? 0 : sign(us.substr(0, n).compare(uc.substr(0, n))));
        ASSERT_EQ(at(s, xstrcasestr(s.c_str(), "left", c.c_str())), s.empty() ? Str::npos : us.find(uc))
            << in;
        ASSERT_EQ(at(s, xstrcasestr(s.c_str(), "Right", c.c_str())), us.rfind(uc)) << in;
        ASSERT_EQ(at(s, xstrcasechr(s.c_str(), "RIGHT", ch)), us.rfind(uc.substr(0, 1))) << in;
        Str lower = s, up = s, replaced = s, want = s;
        ASSERT_TRUE(xstrtolower(&lower[0]) == &lower[0] && xstrtoupper(&up[0]) == &up[0]);
        ASSERT_TRUE(up == us && upper(lower) == us && lower.find_first_of("ABFGXZ") == Str::npos) << in;
        std::replace(want.begin(), want.end(), ch, '\0');  // a NUL dst still covers the whole length
        ASSERT_EQ(xstrcharcnt(s.c_str(), ch), ch == '\0' ? 0 : std::count(s.begin(), s.end(), ch)) << in;
        ASSERT_TRUE(xstrcharreplace(&replaced[0], ch, '\0') == xstrcharcnt(s.c_str(), ch) &&
                    replaced == want);
        const bool oneDot = std::count(s.begin(), s.end(), '.') == 1;
        ASSERT_EQ(xstrisint(s.c_str()), s.find_first_not_of("0123456789") == Str::npos) << s;
        ASSERT_EQ(xstrishex(s.c_str()), s.find_first_not_of("0123456789abcdefABCDEF") == Str::npos) << s;
        ASSERT_EQ(xstrisfloat(s.c_str()), oneDot && s.find_first_not_of("0123456789.") == Str::npos) << s;
        Bytes hex((s.size() + 1) / 2 + 1, 0xCC), bytes = ref_tohex(s);  // the documented room, a guard
        ASSERT_EQ(Bytes(hex.begin(), hex.begin() + xstrtohex(s.c_str(), hex.data())), bytes) << s;
        ASSERT_EQ(hex[bytes.size()], 0xCC) << s;
        const char *prefix = pieces[rng() % 4], *split = pieces[rng() % 8];
        Str text = "ab";
        for (size_t k = 0; k < bytes.size(); ++k) {
            text += Str(prefix ? prefix : "") + "0123456789abcdef"[bytes[k] / 16] +
                    "0123456789abcdef"[bytes[k] % 16];
            text += k + 1 < bytes.size() && split ? split : "";
        }
        std::vector<char> out(text.size() + 1, 'Q');  // exactly the documented room
        memcpy(out.data(), "ab", 3);
        const int count = static_cast<int>(bytes.size());
        ASSERT_EQ(xstrfromhex(bytes.data(), count, out.data(), prefix, split), count ? count : -1);
        ASSERT_EQ(Str(out.data()), text);
        ASSERT_EQ(Bytes(hex.begin(), hex.begin() + xstrtohex(out.data() + 2, hex.data())), bytes) << text;
    }
}

TEST(SwString, ExactCasesAndRefusals) {
    const char* nul = nullptr;
    unsigned char b[8] = {};
    char text[32] = "keep";
    // clang-format off
    const std::vector<long> results = {
        xstrcasecmp(nul, nul), xstrcasecmp(nul, ""), xstrcasecmp("", nul), xstrncasecmp(nul, "b", 0),
        xstrncasecmp("b", nul, -1), xstrcharcnt(nul, 'a'), xstrcharreplace(nullptr, 'a', 'b'),
        xstrtohex(nul, b), xstrtohex("12", nullptr), xstrfromhex(b, 2, text, "0x0", ","),
        xstrfromhex(b, -3, text, nul, nul), xstrfromhex(nullptr, 1, text, nul, nul),
        xstrfromhex(b, 1, nullptr, nul, nul),
        xstrisint(nul) || xstrishex(nul) || xstrisfloat(nul) || xstrtolower(nullptr) || xstrtoupper(nullptr)};
    // clang-format on
    EXPECT_EQ(results, (std::vector<long>{0, -1, 1, -1, 1, -1, -1, -1, -1, -1, -1, -1, -1, 0}));
    for (const char* mode : {"middle", "", "lefty", nul}) EXPECT_EQ(xstrcasestr("abc", mode, "b"), nullptr);
    EXPECT_TRUE(xstrcasestr(nul, "left", "a") == nullptr && xstrcasestr("a", "left", nul) == nullptr);
    const Str documented[] = {"A1B2", "123", "0x1F 0x2", "de:ad", "10x5", "a0x1"};
    const Bytes bytes[] = {{0xA1, 0xB2}, {0x12, 0x03}, {0x1F, 0x02},
                           {0xDE, 0xAD}, {0x10, 0x05}, {0xA0, 0x01}};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Bytes(b, b + xstrtohex(documented[i].c_str(), b)), bytes[i]) << i;
    EXPECT_TRUE(xstrfromhex(bytes[0].data(), 2, text, "0x", ", ") == 2 && Str(text) == "keep0xa1, 0xb2")
        << text;
}

// The layouts' exact outputs, and the years and months that have no int to print.
TEST(SwString, TmToStrLayouts) {
    const struct {
        int year, mon;
        short ms;
        const char *mode, *expected;  // NULL: refused, the buffer untouched
    } rows[] = {
        // clang-format off
        {124, 0, 7, "datetime", "2024-01-02 03:04:05"},
        {124, 11, 7, "DateTime(H)", "2024-12-02 03:04:05.007"}, {-1900, 0, 0, "date", "0000-01-02"},
        {0, 0, 1234, "TIME", "03:04:05"}, {0, 0, 1234, "time(h)", "03:04:05.1234"},
        {12345 - 1900, 0, 0, "date", "12345-01-02"}, {INT_MAX - 1900, 0, 0, "date", "2147483647-01-02"},
        {INT_MAX - 1899, 0, 0, "date", nullptr}, {0, INT_MAX, 0, "datetime", nullptr},
        {0, 0, -1, "time", nullptr}, {0, 0, -1, "datetime(h)", nullptr}, {0, 0, 0, "datetime ", nullptr},
        {0, 0, 0, nullptr, nullptr},
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

// Both clocks are read with clock_gettime around the calls: time() reads a coarser clock that may lag.
TEST(SwString, ClocksAgreeWithTheSystemClocks) {
    struct timespec t[3] = {};
    struct tm tm {};
    unsigned long a = 0, b = 0;
    char s[64];
    clock_gettime(CLOCK_REALTIME, &t[0]);
    ASSERT_EQ(xstrgettime(s, "datetime(h)"), s);
    clock_gettime(CLOCK_REALTIME, &t[1]);
    ASSERT_TRUE(xgettickcount(&a) == 0 && clock_gettime(CLOCK_MONOTONIC, &t[2]) == 0 &&
                xgettickcount(&b) == 0);
    int ms = -1;
    sscanf(s, "%d-%d-%d %d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
           &tm.tm_sec, &ms);
    tm.tm_year -= 1900, tm.tm_mon -= 1, tm.tm_isdst = -1;
    const long long stamp = mktime(&tm) * 1000LL + ms, from = t[0].tv_sec * 1000LL + t[0].tv_nsec / 1000000;
    EXPECT_TRUE(from <= stamp && stamp <= t[1].tv_sec * 1000LL + t[1].tv_nsec / 1000000 && strlen(s) == 23)
        << s;
    const auto tick =
        static_cast<uint32_t>(t[2].tv_sec * 1000u + static_cast<uint32_t>(t[2].tv_nsec / 1000000));
    EXPECT_TRUE(tick - static_cast<uint32_t>(a) <= 1000u && static_cast<uint32_t>(b) - tick <= 1000u) << a;
    EXPECT_TRUE(xstrgettime(s, "week") == nullptr && xgettickcount(nullptr) == -1);
}

// ---- date-time parsing and arithmetic ----------------------------------------------------------------

namespace {

// TZ of this process only (never /etc/localtime); CET has summer time from the last Sunday of March
// 02:00 to the last Sunday of October 03:00.
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

// Parsed fields; for a refused text, and for garbage and "" in every layout, the outputs as they were.
TEST(SwTime, StrToTm) {
    use_zone(false);
    const struct {
        const char *text, *mode, *expected;
    } rows[] = {
        // clang-format off
        {"2024-03-07 08:05:09", "datetime", "124 2 7 8 5 9 -1"},
        {"2024-03-0708:05:09", "datetime", "124 2 7 8 5 9 -1"},
        {"2024-03-07 08:05:09.042", "DateTime(H)", "124 2 7 8 5 9 42"},
        {"2024-03-07 \t 08:05:09.5", "datetime(h)", "124 2 7 8 5 9 5"},
        {"20245-03-07", "date", "124 21 33 44 55 66 -1"},  // four digits at most, then '-' fails
        {"2024-03", "datetime(h)", "124 2 33 44 55 66 -1"}, {"x", "time", nullptr}, {"x", "time(h)", nullptr},
        {"2024-03-07", "hour", nullptr},
        // clang-format on
    };
    for (const auto& r : rows) {
        for (const char* text : {r.text, "garbage", ""}) {
            struct tm t {};
            t.tm_year = 11, t.tm_mon = 22, t.tm_mday = 33, t.tm_hour = 44, t.tm_min = 55, t.tm_sec = 66;
            short ms = -1;
            const char* expected = text == r.text ? r.expected : nullptr;
            EXPECT_EQ(strtotm(text, &t, &ms, r.mode), expected ? &t : nullptr) << text << ' ' << r.mode;
            EXPECT_EQ(fields(t, ms), expected ? expected : "11 22 33 44 55 66 -1") << text << ' ' << r.mode;
        }
    }
    struct tm t {
    }, today{};
    short ms = 0;
    const time_t now = time(nullptr);
    ASSERT_EQ(strtotm("08:05:09.5", &t, &ms, "time(h)"), &t);  // the time layouts lie on today
    localtime_r(&now, &today);
    today.tm_hour = 8, today.tm_min = 5, today.tm_sec = 9;
    EXPECT_TRUE(time(nullptr) / 86400 != now / 86400 ||
                fields(t, ms) == fields(today, 5));  // or midnight passed
    EXPECT_TRUE(strtotm("1", &t, nullptr, "date") == nullptr && strtotm(nullptr, &t, &ms, "date") == nullptr);
    EXPECT_TRUE(strtotm("1", nullptr, &ms, "date") == nullptr && strtotm("1", &t, &ms, nullptr) == nullptr);
}

TEST(SwTime, GrowAndCompare) {
    const char* const k2038 =
        sizeof(time_t) >= 8 ? "2038-01-19 03:14:08" : nullptr;  // NULL past a 32-bit time_t
    const struct {
        bool cet;
        const char *text, *mode;
        int64_t ms;
        const char* expected;  // NULL: refused, the text kept
    } grows[] = {
        // clang-format off
        {false, "2024-02-28 23:59:59.999", "datetime(h)", 1, "2024-02-29 00:00:00.000"},
        {false, "2024-01-01 00:00:00.100", "DATETIME(H)", -200, "2023-12-31 23:59:59.900"},
        {false, "2024-03-01", "date", -1, "2024-02-29"}, {false, "23:59:59", "time", 1000, "00:00:00"},
        {false, "2024-03-01 10:00:00", "datetime", 999, "2024-03-01 10:00:00"},
        {false, "00:00:00.000", "time(h)", -1, "23:59:59.999"},
        {false, "2038-01-19 03:14:07", "datetime", 1000, k2038},
        {false, "1969-12-31 23:59:59", "datetime", 5000, nullptr}, {false, "2024-03-01", "week", 0, nullptr},
        {false, "9999-12-31 23:59:59    ", "datetime", 1000, nullptr},  // a year above 9999, even with room
        {false, "2024-03-01 00:00:00", "datetime", INT64_MAX, nullptr},
        {false, "2024-03-01 00:00:00", "datetime", INT64_MIN, nullptr},
        {true, "2024-07-01 12:00:00", "datetime", 0, "2024-07-01 12:00:00"},  // summer time, unchanged
        {true, "2024-03-31 01:59:59", "datetime", 1000, "2024-03-31 03:00:00"},
        {true, "2024-10-27 01:59:59", "datetime", 3601000, "2024-10-27 02:00:00"},
        {true, "2024-03-30 12:00:00", "datetime", 86400000, "2024-03-31 13:00:00"},  // a 23-hour day
        // clang-format on
    };
    for (const auto& g : grows) {
        use_zone(g.cet);
        char buf[64];
        strcpy(buf, g.text);
        EXPECT_EQ(xstrtimegrow(buf, g.mode, g.ms), g.expected ? buf : nullptr) << g.text << " + " << g.ms;
        EXPECT_STREQ(buf, g.expected ? g.expected : g.text) << g.text << " + " << g.ms;
    }
    const struct {
        bool cet;
        const char *a, *b, *mode;
        int64_t interval;  // 12345: refused, not written
    } cmps[] = {
        // clang-format off
        {false, "2024-01-01 00:00:00.250", "2024-01-01 00:00:01.500", "datetime(h)", -1250},
        {false, nullptr, "1970-01-01 00:00:01", "datetime", -1000},
        {false, "1970-01-02", nullptr, "date", 86400000}, {false, nullptr, nullptr, nullptr, 0},
        {true, "2024-03-31 03:00:00", "2024-03-31 01:59:59", "datetime", 1000},
        {false, "garbage", "2024-01-01", "date", 12345}, {false, "2024-01-01", "garbage", "date", 12345},
        {false, "1969-12-31", "2024-01-01", "date", 12345}, {false, "2024-01-01", nullptr, nullptr, 12345},
        // clang-format on
    };
    for (const auto& c : cmps) {
        use_zone(c.cet);
        int64_t interval = 12345;
        EXPECT_EQ(xstrtimecmp(c.a, c.b, c.mode, &interval), c.interval != 12345) << (c.a ? c.a : "NULL");
        EXPECT_EQ(interval, c.interval) << (c.a ? c.a : "NULL");
    }
    EXPECT_TRUE(xstrtimecmp("2024-01-01", "2023-01-01", "date", nullptr) &&
                !xstrtimegrow(nullptr, "date", 0));
}

namespace {

std::vector<long long> g_clockCalls;  // microseconds handed to the seam; second 1 stands for a refusal
int record_clock(const struct timeval* tv) {
    g_clockCalls.push_back(tv->tv_sec * 1000000LL + tv->tv_usec);
    return tv->tv_sec == 1 ? (errno = EPERM, -1) : 0;
}

}  // namespace

// In a child that verifiably lacks CAP_SYS_TIME, so that even a call slipping past the seam could not
// set the clock; at the end the real setter is tried with the current second, and refused.
TEST(SwTime, SetClockHandsTheSecondsToSettimeofday) {
    expect_passes_in_child([] {
        __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        const unsigned bit = 1u << (CAP_SYS_TIME % 32), word = CAP_SYS_TIME / 32;
        ASSERT_EQ(syscall(SYS_capget, &hdr, caps), 0);
        caps[word].effective &= ~bit, caps[word].permitted &= ~bit, caps[word].inheritable &= ~bit;
        ASSERT_TRUE(syscall(SYS_capset, &hdr, caps) == 0 && syscall(SYS_capget, &hdr, caps) == 0);
        ASSERT_TRUE((caps[word].effective & bit) == 0 && (caps[word].permitted & bit) == 0);
        const PSwSetClockProc previous = sw_hook_setClockSetter(&record_clock);
        for (const char* text : {"1700000000", " +42", "0", "2147483647"})
            EXPECT_EQ(xsetlocaltime(text), 0) << text;
        for (const char* text :
             {"2147483648", "17x", "17 ", "99999999999999999999", "-5", "", "  ", "+", "-", "x1"}) {
            EXPECT_EQ(xsetlocaltime(text), -1) << text;
        }
        EXPECT_TRUE(xsetlocaltime(nullptr) == -1 && xsetlocaltime("1") == -1)
            << "a refused setting is reported";
        EXPECT_EQ(g_clockCalls,
                  (std::vector<long long>{1700000000000000, 42000000, 0, 2147483647000000, 1000000}));
        EXPECT_EQ(sw_hook_setClockSetter(previous), &record_clock);
        const Str now = std::to_string(time(nullptr));
        errno = 0;
        EXPECT_TRUE(xsetlocaltime(now.c_str()) == -1 && errno == EPERM);
    });
}

// ---- field records -----------------------------------------------------------------------------------

namespace {

// A heap buffer of exactly `size` bytes (AddressSanitizer sees any byte touched beyond it).
std::vector<char> field_buf(const char* text, size_t size) {
    std::vector<char> b(size, '\0');
    return memcpy(b.data(), text, std::min(strlen(text), size)), b;
}

}  // namespace

// Each text fills its buffer to the last byte, without a NUL: no comparison may read past it.
TEST(SwField, Get) {
    const struct {
        const char* text;
        bool byName;
        const char *key, *expected;  // NULL: not found
    } rows[] = {
        // clang-format off
        {"x=0\nname = Hello World \ny=1", true, "Name", "Hello World"},
        {"x=0\r\nname=v\r\ny=1", true, "name", "v"}, {"#a=1\n  // a=2\na=3", true, "a", "3"},
        {"/a=1", true, "/a", "1"}, {"abc=1", true, "ab", nullptr}, {"ab =1", true, "AB", "1"},
        {"a b=1", true, "a", nullptr}, {"[sec]\na= \t ", true, "a", ""}, {"a=1=2", true, "a", "1=2"},
        {"=v", true, "", "v"}, {"a\n=1", true, "a", nullptr}, {"a=1\nb", true, "b", nullptr},
        {"a=1\nbb", true, "bbb", nullptr}, {"a=1\n#", true, "#", nullptr}, {"a=1\nb  ", true, "b", nullptr},
        {"a=1\nb=2", true, "b", "2"}, {"a=1\nb=2\nc=2", false, "2", "b"},
        {"a=1\n  B  = two \r\n", false, "TWO", "B"}, {"a=12", false, "1", nullptr}, {"=1", false, "1", ""},
        {"#a=1", false, "1", nullptr}, {"a=1\nb=22", false, "222", nullptr},
        {"a=1\nb= ", false, "x", nullptr}, {"a=1\n/", false, "1", "a"},
        // clang-format on
    };
    for (const auto& r : rows) {
        std::vector<char> b = field_buf(r.text, strlen(r.text));
        char out[32] = "untouched";
        const int size = static_cast<int>(b.size());
        const char* got = r.byName ? sw_str_getFieldValue(b.data(), size, '\n', r.key, out, sizeof out)
                                   : sw_str_getFieldName(b.data(), size, 0, out, sizeof out, r.key);
        EXPECT_TRUE(got == (r.expected ? out : nullptr) &&
                    Str(out) == (r.expected ? r.expected : "untouched"))
            << r.text;
    }
    char out[8];
    EXPECT_EQ(sw_str_getFieldValue("a=1234567", 9, ';', "a", out, 7), nullptr);  // 7 characters need 8 bytes
    EXPECT_TRUE(sw_str_getFieldValue("a=1234567", 9, ';', "a", out, 8) == out && Str(out) == "1234567");
    EXPECT_TRUE(sw_str_getFieldName("a=2", 3, 0, out, 1, "2") == nullptr &&
                sw_str_getFieldName("a=2", 3, 0, out, 2, "2"));
    EXPECT_EQ(sw_str_getFieldValue("a=1", 3, 0, "a", out, 0), nullptr);
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
        {kAbc, 16, 0, 'v', "b", "22", "a=1\r\nb=22\r\nc=3", 1},
        {kAbc, 16, 0, 'v', "b", "", "a=1\r\nb=\r\nc=3", -1},
        {kAbc, 16, 0, 'v', "b", "2222", "a=1\r\nb=2222\r\nc=3", 3},  // fills the buffer to its last byte
        {"a=1\r\n  B = 2 \r\nc=3", 24, 0, 'v', "b", "x", "a=1\r\nb=x\r\nc=3", -5},
        {"a=1;b=2;c=3", 12, ';', 'n', "z", "2", "a=1;z=2;c=3", 0},
        {"a=1", 16, 0, 'V', "d", "4", "a=1\r\nd=4", 5}, {"a=1\r\n", 16, 0, 'V', "d", "4", "a=1\r\nd=4", 3},
        {"a=1", 16, ',', 'V', "d", "4", "a=1,d=4", 4}, {"", 4, 0, 'V', "d", "4", "d=4", 3},
        {"a=1", 8, 0, 'V', "d", "4", "a=1\r\nd=4", 5}, {"x", 16, 0, 'V', "d", "4", "x\r\nd=4", 5},
        {"x", 16, ';', 'V', "d", "4", "x;d=4", 4},  // "x" is a text
        {"a=1", 16, 0, 'v', "d", "4", nullptr, 99},  // missing, no autoAdd
        {"a=1", 4, 0, 'V', "", "", nullptr, 99},  // one NUL byte left: no append
        {"a=1", 7, 0, 'V', "d", "4", nullptr, 99},  // the separator fits, the field does not
        {"", 3, 0, 'V', "d", "4", nullptr, 99},  // an empty buffer keeps a NUL
        {"a=1\r\nb=2", 9, 0, 'V', "b", "234", nullptr, 99}, {"a=1", 16, 0, 'V', "d", "4\n", nullptr, 99},
        {"a=1", 16, 0, 'V', nullptr, "4", nullptr, 99}, {kAbc, 16, 0, 'd', "b", nullptr, "a=1\r\nc=3", -5},
        {kAbc, 13, 0, 'd', "c", nullptr, "a=1\r\nb=2\r\n", -3}, {kAbc, 13, 0, 'D', 0, "1", "b=2\r\nc=3", -5},
        {"x;  a = 1 ;y", 12, ';', 'd', "A", nullptr, "x;y", -9}, {kAbc, 13, 0, 'd', "x", nullptr, kAbc, 99},
        {"a=1\nbb", 6, 0, 'd', "bbb", nullptr, "a=1\nbb", 99},
        {"a=1\nb=2", 7, 0, 'D', 0, "22", "a=1\nb=2", 99}, {kAbc, 16, 0, 'D', nullptr, "1=", nullptr, 99},
        {kAbc, 16, 'q', 'd', "a", nullptr, nullptr, 99},
        // clang-format on
    };
    for (const auto& r : rows) {
        std::vector<char> b = field_buf(r.text, static_cast<size_t>(r.size));
        char* p = b.data();
        int vary = 99;
        const bool ok = r.op == 'n'   ? sw_str_setFieldName(p, r.size, r.delim, r.name, r.value, false, &vary)
                        : r.op == 'd' ? sw_str_delFieldByName(p, r.size, r.delim, r.name, &vary)
                        : r.op == 'D'
                            ? sw_str_delFieldByValue(p, r.size, r.delim, r.value, &vary)
                            : sw_str_setFieldValue(p, r.size, r.delim, r.name, r.value, r.op == 'V', &vary);
        const std::vector<char> want =
            field_buf(r.expected ? r.expected : r.text, static_cast<size_t>(r.size));
        EXPECT_TRUE(ok == (r.expected != nullptr) && b == want && vary == r.vary) << r.text << ' ' << r.op;
    }
}

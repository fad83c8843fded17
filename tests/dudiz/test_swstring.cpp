// swstring: the text functions against short references written another way, the date-time layouts,
// clocks, parsing and arithmetic, the wall-clock setter through its seam, and field records.
#include "swstring.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>

#include <climits>
#include <random>
#include <regex>

#include "internal/swclockhook.h"
#include "support/forked.h"

using Str = std::string;
using Bytes = std::vector<unsigned char>;
using Ints = std::vector<int>;
// What a call left in buf: the expected text when it answered buf, the kept one when it refused (NULL).
const auto gave = [](const char* got, const char* buf, const char* expected, const char* kept) {
    return got == (expected ? buf : nullptr) && Str(buf) == (expected ? expected : kept);
};

// Random texts, number-like or over both cases, the bytes beside the letter ranges, "0x" and bytes above
// 127; the bytes they spell are written back as hex text with random prefixes and separators. The hex
// reference reads the documented rule: "0x" is skipped, a digit pairs with a digit right after it.
TEST(SwString, TextFunctionsAgreeWithReferences) {
    const auto up = [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); };
    const auto upper = [&](Str s) { return std::transform(s.begin(), s.end(), s.begin(), up), s; };
    const auto at = [](const char* p, const Str& s) { return p ? size_t(p - s.c_str()) : Str::npos; };
    const auto sign = [](int v) { return (v > 0) - (v < 0); };
    const std::regex token("0[xX]|[0-9a-fA-F]{1,2}");
    const char *digits = "0123456789abcdef", *pc[] = {nullptr, "", "0x", "0x0", ",", " , ", "\xFF\x80 "};
    const Str alphabets[] = {"aAbBfFgGzZxX09.@[`{ \x80\xE9\xFF", "0123456789..aFx"};
    std::mt19937 rng(20240307);
    for (int i = 0; i < 10000; ++i) {
        Str s(rng() % 10, ' '), c(rng() % 4, ' '), text = "ab";
        for (char& x : s) x = alphabets[i % 3 == 0][rng() % alphabets[i % 3 == 0].size()];
        for (char& x : c) x = alphabets[0][rng() % alphabets[0].size()];
        const Str us = upper(s), uc = upper(c);
        const int n = static_cast<int>(rng() % 8) - 1;
        const char ch = c.empty() ? '\0' : c[0], *p = s.c_str(), *pre = pc[rng() % 4], *sp = pc[rng() % 7];
        SCOPED_TRACE(s + '|' + c);
        ASSERT_EQ(xstrcasecmp(p, c.c_str()), sign(us.compare(uc)));
        ASSERT_EQ(xstrncasecmp(p, c.c_str(), n), n <= 0 ? 0 : sign(us.substr(0, n).compare(uc.substr(0, n))));
        ASSERT_EQ(at(xstrcasestr(p, "left", c.c_str()), s), s.empty() ? Str::npos : us.find(uc));
        ASSERT_EQ(at(xstrcasestr(p, "Right", c.c_str()), s), us.rfind(uc));
        ASSERT_EQ(at(xstrcasechr(p, "RIGHT", ch), s), us.rfind(uc.substr(0, 1)));
        Str lower = s, upped = s, replaced = s, want = s;
        ASSERT_TRUE(xstrtolower(&lower[0]) == &lower[0] && xstrtoupper(&upped[0]) == &upped[0]);
        ASSERT_TRUE(upped == us && upper(lower) == us && lower.find_first_of("ABFGXZ") == Str::npos);
        std::replace(want.begin(), want.end(), ch, '\0');  // a NUL dst still covers the whole length
        ASSERT_EQ(xstrcharcnt(p, ch), ch == '\0' ? 0 : std::count(s.begin(), s.end(), ch));
        ASSERT_TRUE(xstrcharreplace(&replaced[0], ch, '\0') == xstrcharcnt(p, ch) && replaced == want);
        ASSERT_EQ(xstrisint(p), s.find_first_not_of("0123456789") == Str::npos);
        ASSERT_EQ(xstrishex(p), us.find_first_not_of("0123456789ABCDEF") == Str::npos);
        ASSERT_EQ(xstrisfloat(p), std::count(s.begin(), s.end(), '.') == 1 &&
                                      s.find_first_not_of("0123456789.") == Str::npos);
        Bytes hex((s.size() + 1) / 2 + 1, 0xCC), bytes;  // the documented room and a guard byte
        for (std::sregex_iterator t(s.begin(), s.end(), token), end; t != end; ++t)
            if (t->str().find_first_of("xX") == Str::npos) bytes.push_back(std::stoi(t->str(), 0, 16));
        ASSERT_TRUE(Bytes(&hex[0], &hex[0] + xstrtohex(p, &hex[0])) == bytes && hex[bytes.size()] == 0xCC);
        for (size_t k = 0; k < bytes.size(); ++k)
            text += Str(k && sp ? sp : "") + (pre ? pre : "") + digits[bytes[k] >> 4] + digits[bytes[k] & 15];
        std::vector<char> out(text.size() + 1, 'Q');  // exactly the documented room
        const int count = static_cast<int>(bytes.size());
        const bool fits = count > 0 && (!pre || strlen(pre) <= 2);  // a longer prefix is refused
        ASSERT_EQ(xstrfromhex(bytes.data(), count, strcpy(out.data(), "ab"), pre, sp), fits ? count : -1);
        ASSERT_EQ(out.data(), fits ? text : "ab");
    }
}

// NULL arguments, and the documented example of the hexadecimal reading.
TEST(SwString, ExactCasesAndRefusals) {
    unsigned char b[8] = {};
    char text[8] = "";
    // clang-format off
    const std::vector<long> got = {xstrcasecmp(0, 0), xstrcasecmp(0, ""), xstrcasecmp("", 0),
        xstrncasecmp(0, "b", 0), xstrcharcnt(0, 'a'), xstrcharreplace(0, 'a', 'b'), xstrtohex(0, b),
        xstrfromhex(0, 1, text, 0, 0), xstrtohex("0x1F 0x2 de:ad", b), b[0], b[1], b[2], b[3],
        xstrisint(0) || xstrishex(0) || xstrisfloat(0) || xstrtolower(0) || xstrtoupper(0) ||
        xstrcasestr("abc", "middle", "b") || xstrcasestr(0, "left", "a")};
    // clang-format on
    EXPECT_EQ(got, (std::vector<long>{0, -1, 1, -1, -1, -1, -1, -1, 4, 0x1F, 0x02, 0xDE, 0xAD, 0}));
}

// The layouts' exact outputs, and the years and months that have no int to print. The clocks: the
// local time text read back against time(), which may lag the clock by a second; the tick count against
// the monotonic clock, both in milliseconds modulo 2^32.
TEST(SwString, TmToStrLayoutsAndClocks) {
    // clang-format off
    const struct { int year, mon; short ms; const char *mode, *expected; } rows[] = {  // NULL: refused
        {124, 0, 7, "datetime", "2024-01-02 03:04:05"},
        {124, 11, 7, "DateTime(H)", "2024-12-02 03:04:05.007"}, {-1900, 0, 0, "date", "0000-01-02"},
        {0, 0, 9, "time(h)", "03:04:05.009"}, {0, 0, 9, "TIME", "03:04:05"},
        {INT_MAX - 1900, 0, 0, "date", "2147483647-01-02"}, {INT_MAX - 1899, 0, 0, "date", nullptr},
        {0, INT_MAX, 0, "datetime", nullptr}, {0, 0, -1, "time", nullptr}, {0, 0, 0, "datetime ", nullptr}};
    // clang-format on
    struct tm t {};
    char buf[64];
    for (const auto& r : rows) {
        t.tm_year = r.year, t.tm_mon = r.mon, t.tm_mday = 2, t.tm_hour = 3, t.tm_min = 4, t.tm_sec = 5;
        EXPECT_TRUE(gave(tmtostr(strcpy(buf, "keep"), &t, r.ms, r.mode), buf, r.expected, "keep")) << buf;
    }
    EXPECT_TRUE(!tmtostr(nullptr, &t, 0, "date") && !tmtostr(buf, nullptr, 0, "date") &&
                !tmtostr(buf, &t, 0, 0));
    int64_t ms = 0;
    unsigned long tick = 0;
    struct timespec mono = {};
    EXPECT_TRUE(xstrtimecmp(xstrgettime(buf, "datetime"), 0, "datetime", &ms) &&
                std::abs(ms / 1000 - time(0)) <= 1);
    EXPECT_TRUE(!clock_gettime(CLOCK_MONOTONIC, &mono) && !xgettickcount(&tick) && xgettickcount(0) == -1);
    EXPECT_LE(uint32_t(tick - mono.tv_sec * 1000 - mono.tv_nsec / 1000000), 1000u);
}

// TZ of this process only (never /etc/localtime); CET has summer time from the last Sunday of March
// 02:00 to the last Sunday of October 03:00.
const auto use_zone = [](bool cet) { setenv("TZ", cet ? "CET-1CEST,M3.5.0,M10.5.0/3" : "UTC0", 1), tzset(); };

// Parsed fields; for a refused text, and for garbage and "" in every layout, the outputs as they were.
TEST(SwTime, StrToTm) {
    struct tm t = {};
    short ms = -1;
    const auto fields = [&] { return Ints{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_sec, ms}; };
    // clang-format off
    const struct { const char *text, *mode; Ints expected; } rows[] = {  // {}: refused
        {"2024-03-07 08:05:09", "datetime", {124, 2, 7, 8, 9, -1}}, {"x", "time", {}},
        {"2024-03-07", "hour", {}}, {"2024-03-07 \t 08:05:09.042", "DateTime(H)", {124, 2, 7, 8, 9, 42}},
        {"2024-03-07 08:05:09.5", "datetime(h)", {124, 2, 7, 8, 9, 5}},
        {"20245-03-07", "date", {124, 21, 33, 44, 66, -1}},  // four digits at most, then '-' fails
        {"2024-03", "datetime(h)", {124, 2, 33, 44, 66, -1}}};
    // clang-format on
    for (const auto& r : rows) {
        for (const char* text : {r.text, "garbage", ""}) {
            t.tm_year = 11, t.tm_mon = 22, t.tm_mday = 33, t.tm_hour = 44, t.tm_sec = 66, ms = -1;
            const auto was = fields(), want = text == r.text && !r.expected.empty() ? r.expected : was;
            EXPECT_TRUE(strtotm(text, &t, &ms, r.mode) == (want != was ? &t : nullptr) && fields() == want)
                << text;
        }
    }
    EXPECT_TRUE(!strtotm("1", &t, nullptr, "date") && !strtotm(nullptr, &t, &ms, "date"));
}

// Moves across days, the limits (a text without room for the grown one; a year above 9999, even with
// room), and the summer-time changes (in CET); intervals. Expected NULL: refused, the text kept; interval
// 12345: refused, not written.
TEST(SwTime, GrowAndCompare) {
    const char* const k2038 = sizeof(time_t) >= 8 ? "2038-01-19 03:14:08" : nullptr;  // past a 32-bit time_t
    // clang-format off
    const struct { const char *text, *mode; int64_t ms; const char* want = 0; bool cet = false; } grows[] = {
        {"2024-02-28 23:59:59.999", "DATETIME(H)", 1, "2024-02-29 00:00:00.000"}, {"2024-03-01", "week", 0},
        {"2024-03-01", "date", -1, "2024-02-29"}, {"00:00:00.000", "time(h)", -1, "23:59:59.999"},
        {"2038-01-19 03:14:07", "datetime", 1000, k2038}, {"1969-12-31 23:59:59", "datetime", 5000},
        {"2024-03-01 00:00:00", "datetime", INT64_MAX}, {"2024-03-01", "date", INT64_MIN},
        {"2024-1-1 0:0:0", "datetime", 0}, {"9999-12-31 23:59:59    ", "datetime", 1000},
        {"2024-07-01 12:00:00", "datetime", 0, "2024-07-01 12:00:00", true},  // summer time, unchanged
        {"2024-03-31 01:59:59", "datetime", 1000, "2024-03-31 03:00:00", true},
        {"2024-10-27 01:59:59", "datetime", 3601000, "2024-10-27 02:00:00", true},
        {"2024-03-30 12:00:00", "datetime", 86400000, "2024-03-31 13:00:00", true}};  // a 23-hour day
    const struct { const char *a, *b, *mode; int64_t interval; bool cet = false; } cmps[] = {
        {"2024-01-01 00:00:00.250", "2024-01-01 00:00:01.500", "datetime(h)", -1250},
        {nullptr, "1970-01-01 00:00:01", "datetime", -1000}, {"1970-01-02", nullptr, "date", 86400000},
        {nullptr, nullptr, nullptr, 0}, {"garbage", "2024-01-01", "date", 12345},
        {"2024-01-01", "x", "date", 12345}, {"1969-12-31", "2024-01-01", "date", 12345},
        {"2024-03-31 03:00:00", "2024-03-31 01:59:59", "datetime", 1000, true}};
    // clang-format on
    for (const auto& g : grows) {
        char buf[64];
        use_zone(g.cet);
        EXPECT_TRUE(gave(xstrtimegrow(strcpy(buf, g.text), g.mode, g.ms), buf, g.want, g.text)) << buf;
    }
    for (const auto& c : cmps) {
        int64_t n = 12345;
        use_zone(c.cet);
        EXPECT_TRUE(xstrtimecmp(c.a, c.b, c.mode, &n) == (c.interval != 12345) && n == c.interval) << n;
    }
    EXPECT_TRUE(xstrtimecmp("2024-01-01", "2023-01-01", "date", 0) && !xstrtimegrow(0, "date", 0));
}

static std::vector<long long> g_calls;  // the seconds handed to the seam (-1: microseconds too); 1 is refused
const PSwSetClockProc record_clock = [](const struct timeval* tv) {
    return g_calls.push_back(tv->tv_usec ? -1 : tv->tv_sec), tv->tv_sec == 1 ? (errno = EPERM, -1) : 0;
};

// In a child that verifiably has no capability, so that even a call slipping past the seam could not set
// the clock; at the end the real setter is tried with the current second, and refused.
TEST(SwTime, SetClockHandsTheSecondsToSettimeofday) {
    expect_passes_in_child([] {
        __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        ASSERT_TRUE(!syscall(SYS_capset, &hdr, caps) && !syscall(SYS_capget, &hdr, caps));
        ASSERT_EQ(caps[0].effective | caps[0].permitted | caps[1].effective | caps[1].permitted, 0u);
        const PSwSetClockProc previous = sw_hook_setClockSetter(record_clock);
        // clang-format off
        const char* texts[] = {"1700000000", " +42", "0", "2147483647", "2147483648", "17x", "17 ", "-5", "",
                               "  ", "99999999999999999999", "+", "x1", nullptr, "1"};  // the seam refuses 1
        // clang-format on
        for (int i = 0; i < 15; ++i) EXPECT_EQ(xsetlocaltime(texts[i]), i < 4 ? 0 : -1) << i;
        EXPECT_EQ(g_calls, (std::vector<long long>{1700000000, 42, 0, 2147483647, 1}));
        EXPECT_EQ(sw_hook_setClockSetter(previous), record_clock);
        EXPECT_TRUE((errno = 0, xsetlocaltime(std::to_string(time(0)).c_str())) == -1 && errno == EPERM);
    });
}

// Every operation as a row: the result, what a get copied, and the whole buffer afterwards (text and NUL
// filler) with the change of the text's length reported for an edit. Ops: g/G get a value by name / a name
// by value, v/V set a value by name (V: autoAdd), n set a name by value, d/D delete by name/value. Size 0:
// the text's length, no NUL, so that no comparison may read past it. Expected NULL: refused or not found.
// Comments start with '#' or "//" after blanks, a single '/' starts none; "x" is a text, not a field.
TEST(SwField, Operations) {
    const char* A = "a=1\r\nb=2\r\nc=3";
    // clang-format off
    const struct { char op; const char *text, *key = 0, *value = 0, *want = 0; int size = 0; char delim = 0; }
    rows[] = {
        {'g', "x=0\nname = Hello World \ny=1", "Name", 0, "Hello World"}, {'g', "abc=1", "ab"},
        {'g', "a b=1", "a"}, {'g', "[sec]\na= \t ", "a", 0, ""}, {'g', "a=1;b=2", "b", 0, "2", 0, ';'},
        {'g', "a=1\nbb", "bbb"}, {'g', "a=1\nb  ", "b"}, {'G', "a=1\nb=22", 0, "222"},
        {'G', "a=1\nb= ", 0, "x"}, {'G', "a=1\n/", 0, "1", "a"}, {'G', "#a=1\n  //b=1\n/c=1", 0, "1", "/c"},
        {'G', "a=1\n  B  = two \r\n", 0, "TWO", "B"}, {'v', A, "b", "", "a=1\r\nb=\r\nc=3", 16},
        {'v', A, "b", "2222", "a=1\r\nb=2222\r\nc=3", 16},
        {'v', "a=1\r\n  B = 2 \r\nc=3", "b", "x", "a=1\r\nb=x\r\nc=3", 24},
        {'n', "a=1;b=2;c=3", "z", "2", "a=1;z=2;c=3", 12, ';'}, {'V', "a=1", "d", "4", "a=1\r\nd=4", 16},
        {'V', "a=1\r\n", "d", "4", "a=1\r\nd=4", 16}, {'V', "", "d", "4", "d=4", 4},
        {'V', "a=1", "d", "4", "a=1\r\nd=4", 8}, {'V', "x", "d", "4", "x\r\nd=4", 16},
        {'V', "x", "d", "4", "x;d=4", 16, ';'}, {'v', "a=1", "d", "4", 0, 16}, {'V', "a=1", "", "", 0, 4},
        {'V', "a=1", "d", "4", 0, 7}, {'V', "", "d", "4", 0, 3}, {'V', "a=1\r\nb=2", "b", "234", 0, 9},
        {'V', "a=1", "d", "4\n", 0, 16}, {'d', A, "b", 0, "a=1\r\nc=3", 16},
        {'d', A, "c", 0, "a=1\r\nb=2\r\n", 13}, {'D', A, 0, "1", "b=2\r\nc=3", 13},
        {'d', "x;  a = 1 ;y", "A", 0, "x;y", 12, ';'}, {'d', A, "x", 0, A, 13},
        {'d', "a=1\nbb", "bbb", 0, "a=1\nbb", 6}, {'D', "a=1\nb=2", 0, "22", "a=1\nb=2", 7},
        {'d', A, "a", 0, 0, 16, 'q'}};
    // clang-format on
    for (const auto& [op, text, key, value, want, room, delim] : rows) {
        const int size = room ? room : static_cast<int>(strlen(text));
        const bool get = op == 'g' || op == 'G', edit = !get && want && strcmp(want, text);
        std::vector<char> b(static_cast<size_t>(size));  // on the heap: AddressSanitizer sees past it
        char *p = strncpy(b.data(), text, b.size()), out[32] = "kept";
        int n = 9;
        const bool ok = op == 'g'   ? sw_str_getFieldValue(p, size, delim, key, out, sizeof out) == out
                        : op == 'G' ? sw_str_getFieldName(p, size, delim, out, sizeof out, value) == out
                        : op == 'n' ? sw_str_setFieldName(p, size, delim, key, value, false, &n)
                        : op == 'd' ? sw_str_delFieldByName(p, size, delim, key, &n)
                        : op == 'D' ? sw_str_delFieldByValue(p, size, delim, value, &n)
                                    : sw_str_setFieldValue(p, size, delim, key, value, op == 'V', &n);
        const Str after = edit ? want : text, zeros(b.size() - after.size(), '\0');
        EXPECT_TRUE(ok == !!want && Str(out) == (get && ok ? want : "kept")) << text;
        EXPECT_TRUE(Str(b.begin(), b.end()) == after + zeros &&
                    n == (edit ? int(after.size() - strlen(text)) : 9))
            << text;
    }
}

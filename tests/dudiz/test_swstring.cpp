// swstring: case-insensitive comparison and search, date-time layouts, clocks.
#include "swstring.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Reference fold for the "C" locale, which the toolkit never changes: ASCII letters only.
int ref_fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

int ref_cmp(const std::string& a, const std::string& b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const int ca = i < a.size() ? ref_fold(static_cast<unsigned char>(a[i])) : 0;
        const int cb = i < b.size() ? ref_fold(static_cast<unsigned char>(b[i])) : 0;
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

long offset_of(const char* base, const char* p) { return p == nullptr ? -1 : p - base; }

}  // namespace

TEST(XStrCaseCmp, Table) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {nullptr, nullptr, 0}, {nullptr, "", -1}, {"", nullptr, 1},  {"", "", 0},
        {"Left", "LEFT", 0},   {"abc", "abd", -1}, {"abd", "ABC", 1}, {"ab", "abc", -1},
        {"abc", "ab", 1},      {"a", "z", -1},     {"\xE9", "z", 1},  {"z", "\xE9", -1},
        {"[", "a", 1},  // '[' (0x5B) sorts after 'A' (0x41) once 'a' is folded up
        {"HIKROBOT", "Hikrobot", 0}, {"Hikrobot Inc", "Hikrobot", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(xstrcasecmp(c.a, c.b), c.expected)
            << (c.a ? c.a : "NULL") << " vs " << (c.b ? c.b : "NULL");
    }
}

TEST(XStrNCaseCmp, Table) {
    struct Case {
        const char* a;
        const char* b;
        int n;
        int expected;
    } cases[] = {
        {"abcX", "ABCy", 3, 0},  {"abcX", "ABCy", 4, -1}, {"a", "b", 0, 0},   {"a", "b", -5, 0},
        {nullptr, "b", 0, -1},   {"b", nullptr, -1, 1},   {nullptr, nullptr, 3, 0},
        {"ab", "abc", 3, -1},    {"ab", "abc", 2, 0},     {"ab", "AB", 100, 0}, {"zz", "ZY", 1, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(xstrncasecmp(c.a, c.b, c.n), c.expected)
            << (c.a ? c.a : "NULL") << " vs " << (c.b ? c.b : "NULL") << " n=" << c.n;
    }
}

// Random strings over a small alphabet with mixed case and high bytes, against the reference.
TEST(XStrCaseCmp, AgreesWithReferenceOnRandomStrings) {
    std::mt19937 rng(12345);
    const char alphabet[] = {'a', 'A', 'b', 'B', 'z', 'Z', '_', '[', '`', '\x80', '\xE9', '\xFF'};
    auto random_string = [&] {
        std::string s(rng() % 6, ' ');
        for (auto& ch : s) ch = alphabet[rng() % sizeof alphabet];
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string a = random_string(), b = random_string();
        const int n = static_cast<int>(rng() % 8) - 1;
        ASSERT_EQ(xstrcasecmp(a.c_str(), b.c_str()), ref_cmp(a, b, SIZE_MAX)) << a << "|" << b;
        ASSERT_EQ(xstrncasecmp(a.c_str(), b.c_str(), n), n <= 0 ? 0 : ref_cmp(a, b, n))
            << a << "|" << b << " n=" << n;
    }
}

TEST(XStrCaseStr, Table) {
    struct Case {
        const char* str;
        const char* mode;
        const char* child;
        long expected;  // offset into str, -1 for NULL
    } cases[] = {
        {"aXbxc", "left", "X", 1},   {"aXbxc", "right", "X", 3},  {"abc", "middle", "b", -1},
        {"abc", "RIGHT", "C", 2},    {"abc", "Left", "B", 1},     {"ab", "left", "abc", -1},
        {"ab", "right", "abc", -1},  {"abc", "left", "abc", 0},   {"abc", "right", "abc", 0},
        {"", "left", "", -1},        {"", "right", "", 0},        {"abc", "left", "", 0},
        {"abc", "right", "", 3},     {"a.b.c", "right", ".", 3},  {"img/b.jpg.d/c", "right", ".JPG", 5},
        {"aaa", "left", "aa", 0},    {"aaa", "right", "aa", 1},   {"abc", "left", "d", -1},
        {"abc", "", "a", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(offset_of(c.str, xstrcasestr(c.str, c.mode, c.child)), c.expected)
            << c.str << " " << c.mode << " " << c.child;
    }
    EXPECT_EQ(xstrcasestr(nullptr, "left", "a"), nullptr);
    EXPECT_EQ(xstrcasestr("a", nullptr, "a"), nullptr);
    EXPECT_EQ(xstrcasestr("a", "left", nullptr), nullptr);
}

TEST(XStrCaseStr, AgreesWithBruteForceOnRandomStrings) {
    std::mt19937 rng(777);
    const char alphabet[] = {'a', 'A', 'b', 'B', '.'};
    auto random_string = [&](size_t maxLen) {
        std::string s(rng() % (maxLen + 1), ' ');
        for (auto& ch : s) ch = alphabet[rng() % sizeof alphabet];
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string s = random_string(8), c = random_string(3);
        long first = -1, last = -1;
        for (size_t p = 0; p + c.size() <= s.size(); ++p) {
            if (ref_cmp(s.substr(p, c.size()), c, c.size()) == 0) {
                if (first < 0) first = static_cast<long>(p);
                last = static_cast<long>(p);
            }
        }
        // An empty child: "left" finds offset 0 of a non-empty str; "right" finds the NUL.
        if (c.empty()) {
            first = s.empty() ? -1 : 0;
            last = static_cast<long>(s.size());
        }
        ASSERT_EQ(offset_of(s.c_str(), xstrcasestr(s.c_str(), "left", c.c_str())), first) << s << "|" << c;
        ASSERT_EQ(offset_of(s.c_str(), xstrcasestr(s.c_str(), "right", c.c_str())), last) << s << "|" << c;
    }
}

TEST(XStrCaseChr, FindsOneCharacterIgnoringCase) {
    const char* path = "/usr/lib/x.so";
    EXPECT_EQ(offset_of(path, xstrcasechr(path, "right", '/')), 8);
    EXPECT_EQ(offset_of(path, xstrcasechr(path, "left", '/')), 0);
    EXPECT_EQ(xstrcasechr("abc", "left", '/'), nullptr);
    EXPECT_EQ(offset_of("aXb", xstrcasechr("aXb", "left", 'x')), 1);
    EXPECT_EQ(offset_of("abc", xstrcasechr("abc", "right", '\0')), 3);
    EXPECT_EQ(xstrcasechr("", "left", '\0'), nullptr);
}

TEST(TmToStr, LayoutsTable) {
    struct tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    struct Case {
        const char* mode;
        short ms;
        const char* expected;  // NULL: refused
    } cases[] = {
        {"datetime", 7, "2024-01-02 03:04:05"}, {"DATETIME", 7, "2024-01-02 03:04:05"},
        {"datetime(h)", 7, "2024-01-02 03:04:05.007"}, {"DateTime(H)", 999, "2024-01-02 03:04:05.999"},
        {"date", 7, "2024-01-02"},               {"time", 0, "03:04:05"},
        {"time(h)", 7, "03:04:05.007"},          {"time(h)", 1234, "03:04:05.1234"},
        {"datetime ", 7, nullptr},               {"hour", 7, nullptr},
        {"", 7, nullptr},                        {"date", -1, nullptr},
        {"datetime", -1, nullptr},               {"time(h)", -1, nullptr},
    };
    for (const Case& c : cases) {
        char buf[64];
        memset(buf, '#', sizeof buf);
        buf[sizeof buf - 1] = '\0';
        char* r = tmtostr(buf, &t, c.ms, c.mode);
        if (c.expected == nullptr) {
            EXPECT_EQ(r, nullptr) << c.mode;
            EXPECT_EQ(buf[0], '#') << "buffer touched for " << c.mode;
        } else {
            EXPECT_EQ(r, buf) << c.mode;
            EXPECT_STREQ(buf, c.expected) << c.mode;
        }
    }
}

TEST(TmToStr, YearWidthAndNullArguments) {
    struct tm t {};
    t.tm_mday = 1;
    char buf[64];
    t.tm_year = -1900;
    ASSERT_NE(tmtostr(buf, &t, 0, "date"), nullptr);
    EXPECT_STREQ(buf, "0000-01-01");
    t.tm_year = 12345 - 1900;
    ASSERT_NE(tmtostr(buf, &t, 0, "datetime"), nullptr);
    EXPECT_EQ(strlen(buf), 20u);
    EXPECT_EQ(tmtostr(nullptr, &t, 0, "date"), nullptr);
    EXPECT_EQ(tmtostr(buf, nullptr, 0, "date"), nullptr);
    EXPECT_EQ(tmtostr(buf, &t, 0, nullptr), nullptr);
    // The largest year that has an int prints; one more has none and is refused, untouched.
    t.tm_year = INT_MAX - 1900;
    ASSERT_NE(tmtostr(buf, &t, 0, "date"), nullptr);
    EXPECT_STREQ(buf, "2147483647-01-01");
    strcpy(buf, "keep");
    t.tm_year = INT_MAX - 1899;
    EXPECT_EQ(tmtostr(buf, &t, 0, "date"), nullptr);
    t.tm_year = 0;
    t.tm_mon = INT_MAX;
    EXPECT_EQ(tmtostr(buf, &t, 0, "datetime"), nullptr);
    EXPECT_STREQ(buf, "keep");
}

TEST(XStrGetTime, CurrentLocalTime) {
    char buf[64];
    const time_t before = time(nullptr);
    ASSERT_EQ(xstrgettime(buf, "datetime"), buf);
    const time_t after = time(nullptr);
    ASSERT_EQ(strlen(buf), 19u);
    struct tm tm {};
    ASSERT_EQ(sscanf(buf, "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                     &tm.tm_min, &tm.tm_sec),
              6);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const time_t stamped = mktime(&tm);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);

    ASSERT_EQ(xstrgettime(buf, "datetime(h)"), buf);
    EXPECT_EQ(strlen(buf), 23u);
    EXPECT_EQ(buf[19], '.');
    buf[0] = '#';
    EXPECT_EQ(xstrgettime(buf, "week"), nullptr);
    EXPECT_EQ(buf[0], '#');
}

TEST(XGetTickCount, MonotonicMilliseconds) {
    EXPECT_EQ(xgettickcount(nullptr), -1);
    unsigned long a = 0, b = 0;
    ASSERT_EQ(xgettickcount(&a), 0);
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint32_t ref = static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
    ASSERT_EQ(xgettickcount(&b), 0);
    EXPECT_LE(a, 0xFFFFFFFFul);  // 32-bit value on every word size
    // Non-decreasing (barring the 49.7-day wrap, which the reference would show too).
    EXPECT_LE(static_cast<uint32_t>(ref - a), 1000u);
    EXPECT_LE(static_cast<uint32_t>(b - ref), 1000u);
    EXPECT_GE(b, a);
}

// ---- classification and conversion -----------------------------------------------------------

TEST(XStrCase, ConvertsAsciiLettersOnlyInPlace) {
    // Every byte value once: only the 26 letters of the other case may change.
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    std::string lower = all, upper = all;
    EXPECT_EQ(xstrtolower(lower.data()), lower.data());
    EXPECT_EQ(xstrtoupper(upper.data()), upper.data());
    for (int b = 1; b < 256; ++b) {
        const auto lo = static_cast<unsigned char>(lower[b - 1]);
        const auto up = static_cast<unsigned char>(upper[b - 1]);
        EXPECT_EQ(lo, (b >= 'A' && b <= 'Z') ? b + 32 : b) << "byte " << b;
        EXPECT_EQ(up, (b >= 'a' && b <= 'z') ? b - 32 : b) << "byte " << b;
    }
    char abc[] = "ABc\xC9";
    EXPECT_STREQ(xstrtolower(abc), "abc\xC9");
    char empty[] = "";
    EXPECT_EQ(xstrtoupper(empty), empty);
    EXPECT_STREQ(empty, "");
    EXPECT_EQ(xstrtolower(nullptr), nullptr);
    EXPECT_EQ(xstrtoupper(nullptr), nullptr);
}

TEST(XStrCharCnt, Table) {
    struct Case {
        const char* s;
        char c;
        int expected;
    } cases[] = {
        {"a.b.c", '.', 2}, {"", '.', 0},      {nullptr, '.', -1}, {"abc", '\0', 0},
        {"aaaa", 'a', 4},  {"\xFF\x01\xFF", '\xFF', 2}, {"Aa", 'a', 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(xstrcharcnt(c.s, c.c), c.expected) << (c.s ? c.s : "NULL") << " '" << c.c << "'";
    }
}

TEST(XStrCharReplace, Table) {
    struct Case {
        const char* in;
        char src, dst;
        int expected;
        std::string out;  // all bytes up to the original length
    } cases[] = {
        {"C:\\dir\\name", '\\', '/', 2, "C:/dir/name"},
        {"a.b.c", '.', '\0', 2, std::string("a\0b\0c", 5)},  // NUL dst still covers the length
        {"abc", 'x', 'y', 0, "abc"},
        {"abc", '\0', 'y', 0, "abc"},
        {"", 'a', 'b', 0, ""},
        {"\xE9t\xE9", '\xE9', 'e', 2, "ete"},
    };
    for (const Case& c : cases) {
        std::string buf(c.in);
        const size_t len = buf.size();
        EXPECT_EQ(xstrcharreplace(buf.data(), c.src, c.dst), c.expected) << c.in;
        EXPECT_EQ(std::string(buf.data(), len), c.out) << c.in;
    }
    EXPECT_EQ(xstrcharreplace(nullptr, 'a', 'b'), -1);
}

TEST(XStrIsNumber, Table) {
    struct Case {
        const char* s;
        bool isInt, isHex, isFloat;
    } cases[] = {
        {"", true, true, false},         {"12", true, true, false},
        {"0123456789", true, true, false}, {"+1", false, false, false},
        {" 1", false, false, false},     {"1 ", false, false, false},
        {"DeadBeef", false, true, false}, {"0x1F", false, false, false},
        {"g", false, false, false},      {"1.5", false, false, true},
        {".5", false, false, true},      {"5.", false, false, true},
        {".", false, false, true},       {"1.2.3", false, false, false},
        {"1..2", false, false, false},   {"-1.0", false, false, false},
        {"1e5", false, true, false},     {"\xB1", false, false, false},
        {"1\xAE" "5", false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(xstrisint(c.s), c.isInt) << '"' << c.s << '"';
        EXPECT_EQ(xstrishex(c.s), c.isHex) << '"' << c.s << '"';
        EXPECT_EQ(xstrisfloat(c.s), c.isFloat) << '"' << c.s << '"';
    }
    EXPECT_FALSE(xstrisint(nullptr));
    EXPECT_FALSE(xstrishex(nullptr));
    EXPECT_FALSE(xstrisfloat(nullptr));
}

TEST(XStrToHex, Table) {
    struct Case {
        const char* s;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"A1B2", {0xA1, 0xB2}},
        {"123", {0x12, 0x03}},
        {"0x1F 0x2", {0x1F, 0x02}},
        {"de:ad:be:ef", {0xDE, 0xAD, 0xBE, 0xEF}},
        {"F", {0x0F}},
        {"0X", {}},
        {"", {}},
        {"zz", {}},
        {"10x5", {0x10, 0x05}},   // "0x" after a paired digit is not a prefix
        {"a0x1", {0xA0, 0x01}},   // the '0' pairs with 'a' first; the 'x' is then skipped
        {"1\xC1" "2", {0x01, 0x02}},  // a high byte separates like any other non-digit
        {"0", {0x00}},
    };
    for (const Case& c : cases) {
        unsigned char out[32];
        memset(out, 0xCC, sizeof out);
        const int n = xstrtohex(c.s, out);
        ASSERT_EQ(n, static_cast<int>(c.bytes.size())) << '"' << c.s << '"';
        EXPECT_EQ(std::vector<unsigned char>(out, out + n), c.bytes) << '"' << c.s << '"';
        EXPECT_EQ(out[n], 0xCC) << "wrote past the count for \"" << c.s << '"';
    }
    unsigned char out[4];
    EXPECT_EQ(xstrtohex(nullptr, out), -1);
    EXPECT_EQ(xstrtohex("12", nullptr), -1);
}

TEST(XStrFromHex, Table) {
    const unsigned char two[] = {0x01, 0xAB};
    struct Case {
        const char* prefix;
        const char* split;
        int expected;
        const char* out;
    } cases[] = {
        {"0x", ",", 2, "0x01,0xab"},
        {nullptr, " ", 2, "01 ab"},
        {nullptr, nullptr, 2, "01ab"},
        {"", "", 2, "01ab"},
        {"#", ":", 2, "#01:#ab"},
        {"0x", " , ", 2, "0x01 , 0xab"},          // 5 characters of prefix and split together
        {"0x", " <-> ", 2, "0x01 <-> 0xab"},      // a long split builds longer pieces
        {"0x0", ",", -1, "start"},                // prefix of 3 characters: refused
    };
    for (const Case& c : cases) {
        char buf[64] = "start";
        const int n = xstrfromhex(two, 2, buf, c.prefix, c.split);
        EXPECT_EQ(n, c.expected) << (c.prefix ? c.prefix : "NULL");
        EXPECT_STREQ(buf, n < 0 ? c.out : (std::string("start") + c.out).c_str());
    }
}

TEST(XStrFromHex, RefusesBadArgumentsWithoutTouchingStr) {
    const unsigned char one[] = {0x7F};
    char buf[16] = "keep";
    EXPECT_EQ(xstrfromhex(one, 0, buf, "0x", ","), -1);
    EXPECT_EQ(xstrfromhex(one, -3, buf, nullptr, nullptr), -1);
    EXPECT_EQ(xstrfromhex(nullptr, 1, buf, nullptr, nullptr), -1);
    EXPECT_EQ(xstrfromhex(one, 1, nullptr, nullptr, nullptr), -1);
    EXPECT_STREQ(buf, "keep");
}

TEST(XStrFromHex, AppendsOnEveryCall) {
    const unsigned char a[] = {0x00, 0xFF};
    char buf[32] = "";
    EXPECT_EQ(xstrfromhex(a, 2, buf, "0x", " "), 2);
    EXPECT_EQ(xstrfromhex(a, 1, buf, nullptr, "-"), 1);
    EXPECT_STREQ(buf, "0x00 0xff00");
}

// Random bytes written with random prefixes and separators (of any length, none of them holding
// a hexadecimal digit) must read back as the same bytes, and the text must have the exact length
// of its pieces.
TEST(XStrHex, RoundTripsRandomBytes) {
    std::mt19937 rng(4242);
    const char* prefixes[] = {nullptr, "", "0x", "0X", "#", "$"};
    const char* splits[] = {nullptr, "", ",", " ", ":", " , ", "--><--", "\xFF\x80 "};
    for (int i = 0; i < 2000; ++i) {
        std::vector<unsigned char> bytes(1 + rng() % 40);
        for (auto& b : bytes) b = static_cast<unsigned char>(rng());
        const char* prefix = prefixes[rng() % 6];
        const char* split = splits[rng() % 8];
        const size_t p = prefix ? strlen(prefix) : 0, s = split ? strlen(split) : 0;
        const size_t want = bytes.size() * (p + 2) + (bytes.size() - 1) * s;
        std::string text(want + 1, 'Q');  // exactly the documented room
        text[0] = '\0';
        ASSERT_EQ(xstrfromhex(bytes.data(), static_cast<int>(bytes.size()), text.data(), prefix, split),
                  static_cast<int>(bytes.size()));
        ASSERT_EQ(strlen(text.c_str()), want);
        std::vector<unsigned char> back(bytes.size() + 1);
        ASSERT_EQ(xstrtohex(text.c_str(), back.data()), static_cast<int>(bytes.size())) << text;
        back.pop_back();
        ASSERT_EQ(back, bytes) << text;
    }
}

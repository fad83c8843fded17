// Text helpers: case-insensitive comparison and search, date-time layouts, clocks.
#include "swstring.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

inline int fold(unsigned char c) { return toupper(c); }

// Shared walk of xstrcasecmp and xstrncasecmp; `limit` < 0 means unbounded.
int casecmp_walk(const char* s1, const char* s2, long limit) {
    if (s1 == nullptr || s2 == nullptr) {
        if (s1 == s2) return 0;
        return s1 == nullptr ? -1 : 1;
    }
    const auto* a = reinterpret_cast<const unsigned char*>(s1);
    const auto* b = reinterpret_cast<const unsigned char*>(s2);
    for (long i = 0; limit < 0 || i < limit; ++i) {
        const int ca = fold(a[i]);
        const int cb = fold(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (a[i] == 0) break;  // both ended here
    }
    return 0;
}

enum class Direction { kLeft, kRight, kInvalid };

Direction direction_of(const char* mode) {
    if (xstrcasecmp(mode, "left") == 0) return Direction::kLeft;
    if (xstrcasecmp(mode, "right") == 0) return Direction::kRight;
    return Direction::kInvalid;
}

struct Layout {
    const char* name;
    const char* format;
    bool hasDate;
    bool hasMs;
};

// Order matters: names are tried top to bottom.
const Layout kLayouts[] = {
    {"datetime", "%04d-%02d-%02d %02d:%02d:%02d", true, false},
    {"datetime(h)", "%04d-%02d-%02d %02d:%02d:%02d.%03hd", true, true},
    {"date", "%04d-%02d-%02d", true, false},
    {"time", "%02d:%02d:%02d", false, false},
    {"time(h)", "%02d:%02d:%02d.%03hd", false, true},
};

// Hexadecimal digit value of an (unsigned) byte, or -1.
int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline const unsigned char* bytes_of(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

// Counts beyond INT_MAX cannot be reported through an int result; they saturate.
inline int count_result(size_t n) { return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(n); }

// Shared by the in-place case conversions: shifts bytes in [from, to] by `delta`.
char* shift_range(char* str, unsigned char from, unsigned char to, int delta) {
    if (str == nullptr) return nullptr;
    auto* p = reinterpret_cast<unsigned char*>(str);
    const size_t len = strlen(str);
    for (size_t i = 0; i < len; ++i) {
        if (p[i] >= from && p[i] <= to) p[i] = static_cast<unsigned char>(p[i] + delta);
    }
    return str;
}

}  // namespace

extern "C" int xstrcasecmp(const char* s1, const char* s2) { return casecmp_walk(s1, s2, -1); }

extern "C" int xstrncasecmp(const char* s1, const char* s2, int n) {
    if (s1 != nullptr && s2 != nullptr && n <= 0) return 0;
    return casecmp_walk(s1, s2, n < 0 ? 0 : n);
}

extern "C" char* xstrcasestr(const char* str, const char* mode, const char* child) {
    if (str == nullptr || mode == nullptr || child == nullptr) return nullptr;
    const size_t len = strlen(child);
    // The child's length is compared as a count; xstrncasecmp takes an int, so a child longer
    // than INT_MAX cannot be matched and cannot fit in any str we could search either.
    if (len > static_cast<size_t>(INT32_MAX)) return nullptr;
    const int n = static_cast<int>(len);
    switch (direction_of(mode)) {
        case Direction::kLeft:
            for (const char* p = str; *p != '\0'; ++p) {
                if (xstrncasecmp(p, child, n) == 0) return const_cast<char*>(p);
            }
            return nullptr;
        case Direction::kRight: {
            const size_t strLen = strlen(str);
            if (len > strLen) return nullptr;
            for (size_t off = strLen - len + 1; off-- > 0;) {
                if (xstrncasecmp(str + off, child, n) == 0) return const_cast<char*>(str + off);
            }
            return nullptr;
        }
        case Direction::kInvalid:
            break;
    }
    return nullptr;
}

extern "C" char* xstrcasechr(const char* str, const char* mode, char c) {
    const char child[2] = {c, '\0'};
    return xstrcasestr(str, mode, child);
}

extern "C" char* tmtostr(char* str, const struct tm* pTime, short ms, const char* mode) {
    if (str == nullptr || pTime == nullptr || mode == nullptr || ms < 0) return nullptr;
    for (const Layout& l : kLayouts) {
        if (xstrcasecmp(mode, l.name) != 0) continue;
        // The caller sized `str` for the layout; the formats bound nothing, as documented.
        if (l.hasDate && l.hasMs) {
            sprintf(str, l.format, pTime->tm_year + 1900, pTime->tm_mon + 1, pTime->tm_mday,
                    pTime->tm_hour, pTime->tm_min, pTime->tm_sec, ms);
        } else if (l.hasDate) {
            sprintf(str, l.format, pTime->tm_year + 1900, pTime->tm_mon + 1, pTime->tm_mday,
                    pTime->tm_hour, pTime->tm_min, pTime->tm_sec);
        } else if (l.hasMs) {
            sprintf(str, l.format, pTime->tm_hour, pTime->tm_min, pTime->tm_sec, ms);
        } else {
            sprintf(str, l.format, pTime->tm_hour, pTime->tm_min, pTime->tm_sec);
        }
        return str;
    }
    return nullptr;
}

extern "C" char* xstrgettime(char* str, const char* mode) {
    struct timespec ts {};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return nullptr;
    struct tm local {};
    if (localtime_r(&ts.tv_sec, &local) == nullptr) return nullptr;
    return tmtostr(str, &local, static_cast<short>(ts.tv_nsec / 1000000), mode);
}

extern "C" int xgettickcount(unsigned long* tick) {
    if (tick == nullptr) return -1;
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    // Deliberately 32-bit on every platform so the wrap point does not depend on the word size.
    const uint32_t ms = static_cast<uint32_t>(ts.tv_sec) * 1000u +
                        static_cast<uint32_t>(ts.tv_nsec / 1000000);
    *tick = ms;
    return 0;
}

extern "C" char* xstrtolower(char* str) { return shift_range(str, 'A', 'Z', 'a' - 'A'); }

extern "C" char* xstrtoupper(char* str) { return shift_range(str, 'a', 'z', 'A' - 'a'); }

extern "C" int xstrcharcnt(const char* str, char c) {
    if (str == nullptr) return -1;
    const unsigned char* p = bytes_of(str);
    const auto want = static_cast<unsigned char>(c);
    const size_t len = strlen(str);
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) n += p[i] == want ? 1 : 0;
    return count_result(n);
}

extern "C" int xstrcharreplace(char* str, char src, char dst) {
    if (str == nullptr) return -1;
    auto* p = reinterpret_cast<unsigned char*>(str);
    const auto from = static_cast<unsigned char>(src);
    const auto to = static_cast<unsigned char>(dst);
    // Measured once: a NUL `dst` must not shorten the walk.
    const size_t len = strlen(str);
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (p[i] == from) {
            p[i] = to;
            ++n;
        }
    }
    return count_result(n);
}

extern "C" bool xstrisint(const char* str) {
    if (str == nullptr) return false;
    for (const unsigned char* p = bytes_of(str); *p != 0; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    return true;
}

extern "C" bool xstrishex(const char* str) {
    if (str == nullptr) return false;
    for (const unsigned char* p = bytes_of(str); *p != 0; ++p) {
        if (hex_value(*p) < 0) return false;
    }
    return true;
}

extern "C" bool xstrisfloat(const char* str) {
    if (str == nullptr) return false;
    int dots = 0;
    for (const unsigned char* p = bytes_of(str); *p != 0; ++p) {
        if (*p == '.') {
            if (++dots > 1) return false;
        } else if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return dots == 1;
}

extern "C" int xstrtohex(const char* str, unsigned char* hex) {
    if (str == nullptr || hex == nullptr) return -1;
    const unsigned char* p = bytes_of(str);
    const size_t len = strlen(str);
    size_t count = 0;
    size_t i = 0;
    while (i < len) {
        if (p[i] == '0' && i + 1 < len && (p[i + 1] == 'x' || p[i + 1] == 'X')) {
            i += 2;
            continue;
        }
        const int high = hex_value(p[i]);
        if (high < 0) {
            ++i;
            continue;
        }
        const int low = i + 1 < len ? hex_value(p[i + 1]) : -1;
        if (low >= 0) {
            hex[count++] = static_cast<unsigned char>(high * 16 + low);
            i += 2;
        } else {
            hex[count++] = static_cast<unsigned char>(high);
            ++i;
        }
    }
    return count_result(count);
}

extern "C" int xstrfromhex(const unsigned char* hex, int hexCnt, char* str, const char* prefix,
                           const char* split) {
    if (hex == nullptr || str == nullptr || hexCnt <= 0) return -1;
    const size_t prefixLen = prefix == nullptr ? 0 : strlen(prefix);
    if (prefixLen > 2) return -1;
    const size_t splitLen = split == nullptr ? 0 : strlen(split);
    static const char kDigits[] = "0123456789abcdef";
    // Written straight into the caller's text from the real lengths, so no piece buffer can be
    // outgrown by a long split.
    char* out = str + strlen(str);
    for (int i = 0; i < hexCnt; ++i) {
        if (prefixLen > 0) {
            memcpy(out, prefix, prefixLen);
            out += prefixLen;
        }
        *out++ = kDigits[hex[i] >> 4];
        *out++ = kDigits[hex[i] & 0x0F];
        if (splitLen > 0 && i + 1 < hexCnt) {
            memcpy(out, split, splitLen);
            out += splitLen;
        }
    }
    *out = '\0';
    return hexCnt;
}

// Text helpers: case-insensitive comparison and search, date-time layouts, clocks, conversions,
// date-time parsing and arithmetic, field records.
#include "swstring.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/swclockhook.h"

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


// ---- date-time parsing ----

// The layout of a format name, or nullptr.
const Layout* layout_of(const char* mode) {
    for (const Layout& l : kLayouts) {
        if (xstrcasecmp(mode, l.name) == 0) return &l;
    }
    return nullptr;
}

// localtime_r need not read TZ itself; read it once for the whole process.
void tz_init_once() {
    static const bool done = (tzset(), true);
    (void)done;
}

// A text read as a local instant: whole seconds since the epoch and milliseconds.
struct Instant {
    int64_t seconds = 0;
    int64_t ms = 0;
};

// Reads `str` into an instant, leaving daylight saving to the local rules of that date (a flag
// of 0 would shift summer-time texts by the zone's offset). False when unreadable or before 1970.
bool read_instant(const char* str, const char* mode, Instant* out) {
    struct tm t {};
    t.tm_isdst = -1;
    short ms = 0;
    if (strtotm(str, &t, &ms, mode) == nullptr) return false;
    const time_t secs = mktime(&t);
    if (secs < 0) return false;
    out->seconds = secs;
    out->ms = ms;
    return true;
}

// ---- field records ----

// Where a matched field lies: [start, end) is the record without its delimiter, equal the '='.
struct Area {
    int start;
    int equal;
    int end;
};

// A buffer with its delimiter, after the shared argument checks.
struct FieldText {
    const unsigned char* p;
    int size;
    unsigned char delim;
    int textLen;  // up to and including the last non-NUL byte; 0 when all bytes are NUL
};

inline bool is_blank(unsigned char c) { return c <= 32 || c == 127; }

bool valid_delimiter(char d, unsigned char* out) {
    const auto c = static_cast<unsigned char>(d == '\0' ? '\n' : d);
    // isascii guard: the punctuation class of the C locale holds ASCII bytes only.
    if (c != '\n' && (c > 127 || !ispunct(c) || c == '=')) return false;
    *out = c;
    return true;
}

// A name or value argument: absent is fine, present must not hold the delimiter or '='.
bool valid_key(const char* key, unsigned char delim) {
    if (key == nullptr) return true;
    for (const unsigned char* k = bytes_of(key); *k != 0; ++k) {
        if (*k == delim || *k == '=') return false;
    }
    return true;
}

bool open_text(const char* buf, int bufSize, char delimiter, const char* name, const char* value,
               FieldText* ft) {
    if (buf == nullptr || bufSize <= 0) return false;
    if (!valid_delimiter(delimiter, &ft->delim)) return false;
    if (!valid_key(name, ft->delim) || !valid_key(value, ft->delim)) return false;
    ft->p = bytes_of(buf);
    ft->size = bufSize;
    int n = bufSize;
    while (n > 0 && ft->p[n - 1] == 0) --n;
    ft->textLen = n;
    return true;
}

// Case-insensitive match of `key` at `at`, never reading at or past `limit`.
bool match_at(const FieldText& ft, int at, int limit, const char* key, int keyLen) {
    if (limit - at < keyLen) return false;
    return xstrncasecmp(reinterpret_cast<const char*>(ft.p + at), key, keyLen) == 0;
}

// Keys longer than any buffer cannot match; this also keeps their length within int.
int key_length(const char* key) {
    const size_t n = strlen(key);
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

bool FindDataArea(const FieldText& ft, const char* name, const char* value, Area* area) {
    const int nameLen = name != nullptr ? key_length(name) : 0;
    const int valueLen = value != nullptr ? key_length(value) : 0;
    // Records past the text hold NUL bytes only, blanks that never match.
    for (int start = 0; start < ft.textLen;) {
        const void* d = memchr(ft.p + start, ft.delim, static_cast<size_t>(ft.textLen - start));
        const bool hasDelim = d != nullptr;
        const int end = hasDelim ? static_cast<int>(static_cast<const unsigned char*>(d) - ft.p) : ft.textLen;
        const int next = end + 1;

        int q = start;
        while (q < end && is_blank(ft.p[q])) ++q;
        const bool comment = (q < end && ft.p[q] == '#') || (end - q >= 2 && ft.p[q] == '/' && ft.p[q + 1] == '/');
        int eq = -1;
        if (!comment && name != nullptr) {
            if (match_at(ft, q, end, name, nameLen)) {
                int r = q + nameLen;
                while (r < end && is_blank(ft.p[r])) ++r;
                if (r < end && ft.p[r] == '=') eq = r;
            }
        } else if (!comment) {
            const void* e = memchr(ft.p + q, '=', static_cast<size_t>(end - q));
            if (e != nullptr) eq = static_cast<int>(static_cast<const unsigned char*>(e) - ft.p);
        }
        if (eq >= 0 && value != nullptr) {
            int v = eq + 1;
            while (v < end && is_blank(ft.p[v])) ++v;
            if (match_at(ft, v, end, value, valueLen)) {
                v += valueLen;
                while (v < end && is_blank(ft.p[v])) ++v;
                if (v != end) eq = -1;
            } else {
                eq = -1;
            }
        }
        if (eq >= 0) {
            *area = {start, eq, end};
            return true;
        }
        start = next;
    }
    return false;
}

// Copies [from, to) without its surrounding blanks into out (outSize bytes with the NUL).
char* copy_trimmed(const FieldText& ft, int from, int to, char* out, int outSize) {
    while (from < to && is_blank(ft.p[from])) ++from;
    while (to > from && is_blank(ft.p[to - 1])) --to;
    if (to - from >= outSize) return nullptr;
    memcpy(out, ft.p + from, static_cast<size_t>(to - from));
    out[to - from] = '\0';
    return out;
}

bool UpdateDataArea(char* buf, int bufSize, char delimiter, const char* name, const char* value, bool autoAdd,
                    int updateType, int* varySize) {
    if (name == nullptr || value == nullptr || (updateType != 0 && updateType != 1)) return false;
    FieldText ft{};
    if (!open_text(buf, bufSize, delimiter, name, value, &ft)) return false;
    const size_t nameLen = strlen(name);
    const size_t valueLen = strlen(value);
    if (nameLen >= static_cast<size_t>(bufSize) || valueLen >= static_cast<size_t>(bufSize)) return false;
    const int64_t fieldLen = static_cast<int64_t>(nameLen) + static_cast<int64_t>(valueLen) + 1;
    const int room = ft.textLen == 0 ? bufSize - 1 : bufSize - ft.textLen;
    // Writes "name=value" into the middle of the text; the text's own terminator lies behind it.
    auto write_field = [&](int at) {
        memcpy(buf + at, name, nameLen);  // NOLINT(bugprone-not-null-terminated-result)
        buf[at + static_cast<int>(nameLen)] = '=';
        memcpy(buf + at + static_cast<int>(nameLen) + 1, value, valueLen);  // NOLINT(bugprone-not-null-terminated-result)
    };

    Area a{};
    if (FindDataArea(ft, updateType == 0 ? name : nullptr, updateType == 1 ? value : nullptr, &a)) {
        int extentEnd = a.end;
        // A carriage return before the line feed belongs to the line ending, not to the field.
        if (ft.delim == '\n' && a.end < ft.textLen && extentEnd - 1 > a.equal && buf[extentEnd - 1] == '\r') --extentEnd;
        const int64_t grow = fieldLen - (extentEnd - a.start);
        if (grow > room) return false;
        const int change = static_cast<int>(grow);
        memmove(buf + extentEnd + change, buf + extentEnd, static_cast<size_t>(ft.textLen - extentEnd));
        if (change < 0) memset(buf + ft.textLen + change, 0, static_cast<size_t>(-change));
        write_field(a.start);
        if (varySize != nullptr) *varySize = change;
        return true;
    }

    if (!autoAdd || room < 2) return false;
    int sepLen = 0;
    if (ft.textLen > 0 && ft.p[ft.textLen - 1] != ft.delim) sepLen = ft.delim == '\n' ? 2 : 1;
    if (fieldLen > room - sepLen) return false;  // nothing written yet: a refusal leaves buf as it was
    char* at = buf + ft.textLen;
    if (sepLen == 2) *at++ = '\r';
    if (sepLen > 0) *at++ = static_cast<char>(ft.delim);
    write_field(static_cast<int>(at - buf));
    if (varySize != nullptr) *varySize = sepLen + static_cast<int>(fieldLen);
    return true;
}

bool DeleteDataArea(char* buf, int bufSize, char delimiter, const char* name, const char* value, int* varySize) {
    if (name == nullptr && value == nullptr) return false;
    FieldText ft{};
    if (!open_text(buf, bufSize, delimiter, name, value, &ft)) return false;
    Area a{};
    if (!FindDataArea(ft, name, value, &a)) return true;
    // The record goes with its delimiter; a last record without one goes alone.
    const int cut = a.end < ft.textLen ? a.end + 1 : ft.textLen;
    const int removed = cut - a.start;
    memmove(buf + a.start, buf + cut, static_cast<size_t>(ft.textLen - cut));
    memset(buf + ft.textLen - removed, 0, static_cast<size_t>(removed));
    if (varySize != nullptr) *varySize = -removed;
    return true;
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
    // The printed year and month are offsets of the fields; one that would pass INT_MAX has no
    // int to print (and the addition would overflow).
    if (pTime->tm_year > INT_MAX - 1900 || pTime->tm_mon == INT_MAX) return nullptr;
    for (const Layout& l : kLayouts) {
        if (xstrcasecmp(mode, l.name) != 0) continue;
        // The caller sized `str` for the layout; the formats bound nothing, as documented.
        if (l.hasDate && l.hasMs) {
            (void)sprintf(str, l.format, pTime->tm_year + 1900, pTime->tm_mon + 1, pTime->tm_mday,
                    pTime->tm_hour, pTime->tm_min, pTime->tm_sec, ms);
        } else if (l.hasDate) {
            (void)sprintf(str, l.format, pTime->tm_year + 1900, pTime->tm_mon + 1, pTime->tm_mday,
                    pTime->tm_hour, pTime->tm_min, pTime->tm_sec);
        } else if (l.hasMs) {
            (void)sprintf(str, l.format, pTime->tm_hour, pTime->tm_min, pTime->tm_sec, ms);
        } else {
            (void)sprintf(str, l.format, pTime->tm_hour, pTime->tm_min, pTime->tm_sec);
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

extern "C" struct tm* strtotm(const char* str, struct tm* pTime, short* ms, const char* mode) {
    if (str == nullptr || pTime == nullptr || mode == nullptr || ms == nullptr) return nullptr;
    tz_init_once();
    const time_t now = time(nullptr);
    struct tm today {};
    if (localtime_r(&now, &today) == nullptr) return nullptr;
    const Layout* l = layout_of(mode);
    if (l == nullptr) return nullptr;

    // Scanned into copies so that an unreadable text leaves the caller's values untouched.
    struct tm t = *pTime;
    short m = *ms;
    if (!l->hasDate) {
        t.tm_year = today.tm_year;
        t.tm_mon = today.tm_mon;
        t.tm_mday = today.tm_mday;
    }
    int got = 0;
    if (l->hasDate && l->hasMs) {
        got = sscanf(str, l->format, &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &m);
    } else if (l->hasDate) {
        got = sscanf(str, l->format, &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec);
    } else if (l->hasMs) {
        got = sscanf(str, l->format, &t.tm_hour, &t.tm_min, &t.tm_sec, &m);
    } else {
        got = sscanf(str, l->format, &t.tm_hour, &t.tm_min, &t.tm_sec);
    }
    if (got <= 0) return nullptr;  // 0 or EOF: not one field read
    if (l->hasDate) {
        // Fields not reached keep the caller's values, which may be anything: no overflow here.
        t.tm_year = t.tm_year < INT_MIN + 1900 ? INT_MIN : t.tm_year - 1900;
        t.tm_mon = t.tm_mon == INT_MIN ? INT_MIN : t.tm_mon - 1;
    }
    *pTime = t;
    *ms = m;
    return pTime;
}

extern "C" char* xstrtimegrow(char* str, const char* mode, int64_t ms) {
    if (str == nullptr || mode == nullptr) return nullptr;
    Instant at;
    if (!read_instant(str, mode, &at)) return nullptr;
    if (ms > INT64_MAX - 999 || ms < INT64_MIN + 999) return nullptr;
    const int64_t total = ms + at.ms;
    int64_t seconds = at.seconds + total / 1000;  // |total / 1000| < 2^54: no overflow
    int64_t rest = total % 1000;
    if (rest < 0) {
        rest += 1000;
        --seconds;
    }
    const auto t = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(t) != seconds) return nullptr;  // past 2038 on a 32-bit time_t
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) return nullptr;
    // Years beyond four digits would outgrow the caller's text (and tm_year + 1900 its int).
    if (local.tm_year > 9999 - 1900 || local.tm_year < -999 - 1900) return nullptr;
    char out[64];
    if (tmtostr(out, &local, static_cast<short>(rest), mode) == nullptr) return nullptr;
    const size_t len = strlen(out);
    if (len > strlen(str)) return nullptr;
    memcpy(str, out, len + 1);
    return str;
}

extern "C" bool xstrtimecmp(const char* s1, const char* s2, const char* mode, int64_t* interval) {
    Instant a, b;
    if (s1 != nullptr && !read_instant(s1, mode, &a)) return false;
    if (s2 != nullptr && !read_instant(s2, mode, &b)) return false;
    if (interval != nullptr) *interval = (a.seconds - b.seconds) * 1000 + (a.ms - b.ms);
    return true;
}

extern "C" int xsetlocaltime(const char* timestamp) {
    if (timestamp == nullptr) return -1;
    char* end = nullptr;
    errno = 0;
    const long long v = strtoll(timestamp, &end, 10);
    const int err = errno;
    // strtoll reads a text without digits as 0; such a text names no instant.
    if (end == timestamp || err != 0 || *end != '\0') return -1;
    if (v < 0 || v > INT32_MAX) return -1;
    struct timeval tv {};
    tv.tv_sec = static_cast<time_t>(v);
    tv.tv_usec = 0;
    return sw_hook_clockSetter()(&tv) == 0 ? 0 : -1;
}

extern "C" char* sw_str_getFieldValue(const char* buf, int bufSize, char delimiter, const char* name, char* value,
                                      int valueSize) {
    if (name == nullptr || value == nullptr || valueSize <= 0) return nullptr;
    FieldText ft{};
    if (!open_text(buf, bufSize, delimiter, name, nullptr, &ft)) return nullptr;
    Area a{};
    if (!FindDataArea(ft, name, nullptr, &a)) return nullptr;
    return copy_trimmed(ft, a.equal + 1, a.end, value, valueSize);
}

extern "C" char* sw_str_getFieldName(const char* buf, int bufSize, char delimiter, char* name, int nameSize,
                                     const char* value) {
    if (name == nullptr || value == nullptr || nameSize <= 0) return nullptr;
    FieldText ft{};
    if (!open_text(buf, bufSize, delimiter, nullptr, value, &ft)) return nullptr;
    Area a{};
    if (!FindDataArea(ft, nullptr, value, &a)) return nullptr;
    return copy_trimmed(ft, a.start, a.equal, name, nameSize);
}

extern "C" bool sw_str_setFieldValue(char* buf, int bufSize, char delimiter, const char* name, const char* value,
                                     bool autoAdd, int* varySize) {
    return UpdateDataArea(buf, bufSize, delimiter, name, value, autoAdd, 0, varySize);
}

extern "C" bool sw_str_setFieldName(char* buf, int bufSize, char delimiter, const char* name, const char* value,
                                    bool autoAdd, int* varySize) {
    return UpdateDataArea(buf, bufSize, delimiter, name, value, autoAdd, 1, varySize);
}

extern "C" bool sw_str_delFieldByName(char* buf, int bufSize, char delimiter, const char* name, int* varySize) {
    return name != nullptr && DeleteDataArea(buf, bufSize, delimiter, name, nullptr, varySize);
}

extern "C" bool sw_str_delFieldByValue(char* buf, int bufSize, char delimiter, const char* value, int* varySize) {
    return value != nullptr && DeleteDataArea(buf, bufSize, delimiter, nullptr, value, varySize);
}

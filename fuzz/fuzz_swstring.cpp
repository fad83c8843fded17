// Fuzzes the case-insensitive compare and search: results must stay inside the searched text and
// really match, and the comparisons must be antisymmetric.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "swstring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: str \0 child \0 (mode byte). Missing parts are empty.
    const std::string in(reinterpret_cast<const char*>(data), size);
    const size_t a = in.find('\0');
    const std::string str = in.substr(0, a);
    const size_t b = a == std::string::npos ? std::string::npos : in.find('\0', a + 1);
    const std::string child = a == std::string::npos ? "" : in.substr(a + 1, b - a - 1);
    const char* modes[] = {"left", "right", "RIGHT", "x"};
    const char* mode = modes[size % 4];

    const char* hit = xstrcasestr(str.c_str(), mode, child.c_str());
    if (hit != nullptr) {
        assert(hit >= str.c_str() && hit <= str.c_str() + str.size());
        assert(xstrncasecmp(hit, child.c_str(), static_cast<int>(child.size())) == 0);
    }
    const int ab = xstrcasecmp(str.c_str(), child.c_str());
    const int ba = xstrcasecmp(child.c_str(), str.c_str());
    assert(ab == -ba && ab >= -1 && ab <= 1);
    const int n = static_cast<int>(size % 9) - 1;
    assert(xstrncasecmp(str.c_str(), child.c_str(), n) == -xstrncasecmp(child.c_str(), str.c_str(), n));
    if (!str.empty()) (void)xstrcasechr(str.c_str(), mode, str[0]);

    struct tm t {};
    char buf[128];
    if (size >= 6) {
        t.tm_year = data[0] * 40 - 1900;
        t.tm_mon = data[1] % 12;
        t.tm_mday = data[2] % 31 + 1;
        t.tm_hour = data[3] % 24;
        t.tm_min = data[4] % 60;
        t.tm_sec = data[5] % 61;
    }
    (void)tmtostr(buf, &t, static_cast<short>(size % 1200) - 100, str.c_str());
    return 0;
}

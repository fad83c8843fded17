// Fuzzes date-time parsing and arithmetic with every format name, in a zone without and one with
// daylight saving: a refused parse leaves its outputs, a refused grow leaves the text, a grown text is
// never longer than before (the text is allocated exactly), is stable when grown by 0 and equals itself;
// in UTC it lies the move (cut to the layout's unit) after the text.
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "swstring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: mode, zone, 8 bytes of milliseconds, text.
    if (size < 10) return 0;
    const char* modes[] = {"datetime", "datetime(h)", "date", "time", "time(h)", "DATE", "x", ""};
    const char* mode = modes[data[0] % 8];
    const bool utc = (data[1] & 1) == 0;
    setenv("TZ", utc ? "UTC0" : "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    int64_t ms = 0, interval = 1;
    memcpy(&ms, data + 2, sizeof ms);
    if ((data[1] & 2) != 0) ms %= 100000000000;  // mostly moves that land in range
    const std::string text(reinterpret_cast<const char*>(data + 10), size - 10);
    struct tm t {};
    t.tm_mday = 77;
    short msOut = 555;
    if (strtotm(text.c_str(), &t, &msOut, mode) == nullptr) assert(t.tm_mday == 77 && msOut == 555);
    std::vector<char> buf(text.c_str(), text.c_str() + strlen(text.c_str()) + 1);
    char* r = xstrtimegrow(buf.data(), mode, ms);
    assert(r == nullptr ? strcmp(buf.data(), text.c_str()) == 0 : r == buf.data() && strlen(r) < buf.size());
    // Only a readable result (not before 1970) is compared again. A time-of-day layout lies on today,
    // which can change between calls; the date layouts must be stable.
    const std::string grown = r != nullptr ? r : "";
    if (r == nullptr || !xstrtimecmp(grown.c_str(), nullptr, mode, &interval)) return 0;
    if (strchr(mode, 'd') != nullptr || strchr(mode, 'D') != nullptr) {
        assert(xstrtimegrow(buf.data(), mode, 0) == buf.data() && grown == buf.data());
    }
    assert(xstrtimecmp(grown.c_str(), grown.c_str(), mode, &interval) && interval == 0);
    if (utc && data[0] % 8 <= 2) {
        const int64_t unit = data[0] % 8 == 1 ? 1 : data[0] % 8 == 0 ? 1000 : 86400000;
        assert(xstrtimecmp(grown.c_str(), text.c_str(), mode, &interval));
        assert(interval == (ms / unit - (ms % unit < 0 ? 1 : 0)) * unit);
    }
    return 0;
}

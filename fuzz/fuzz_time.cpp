// Fuzzes date-time parsing and arithmetic with every format name, in a zone without and one with
// daylight saving: a refused parse leaves its outputs, a refused grow leaves the text, a grown
// text is never longer than before (the text is allocated exactly) and is stable when grown by 0,
// a text compared with itself gives 0, and in UTC the grown text lies the move (cut to the layout's
// unit) after the text.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "swstring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: mode, zone, 8 bytes of milliseconds, text.
    if (size < 10) return 0;
    const char* modes[] = {"datetime", "datetime(h)", "date", "time", "time(h)", "DATE", "x", ""};
    const char* mode = modes[data[0] % 8];
    setenv("TZ", (data[1] & 1) != 0 ? "CET-1CEST,M3.5.0,M10.5.0/3" : "UTC0", 1);
    tzset();
    int64_t ms = 0;
    memcpy(&ms, data + 2, sizeof ms);
    if ((data[1] & 2) != 0) ms %= 100000000000;  // mostly moves that land in range
    const std::string text(reinterpret_cast<const char*>(data + 10), size - 10);
    const size_t len = strlen(text.c_str());

    struct tm t {};
    t.tm_mday = 77;
    short msOut = 555;
    if (strtotm(text.c_str(), &t, &msOut, mode) == nullptr) assert(t.tm_mday == 77 && msOut == 555);

    std::unique_ptr<char[]> buf(new char[len + 1]);
    memcpy(buf.get(), text.c_str(), len + 1);
    char* r = xstrtimegrow(buf.get(), mode, ms);
    if (r == nullptr) {
        assert(memcmp(buf.get(), text.c_str(), len + 1) == 0);
        return 0;
    }
    assert(r == buf.get() && strlen(r) <= len);
    const std::string grown = r;
    // Only a readable result (not before 1970) can be grown or compared again. A time-of-day
    // layout lies on today, which can change between calls; the date layouts must be stable.
    int64_t since = 0;
    if (!xstrtimecmp(grown.c_str(), nullptr, mode, &since)) return 0;
    if (strchr(mode, 'd') != nullptr || strchr(mode, 'D') != nullptr) {
        assert(xstrtimegrow(buf.get(), mode, 0) == buf.get());
        assert(grown == buf.get());
    }
    int64_t interval = 1;
    assert(xstrtimecmp(grown.c_str(), grown.c_str(), mode, &interval) && interval == 0);
    if ((data[1] & 1) == 0 && data[0] % 8 <= 2) {
        const int64_t unit = data[0] % 8 == 1 ? 1 : data[0] % 8 == 0 ? 1000 : 86400000;
        assert(xstrtimecmp(grown.c_str(), text.c_str(), mode, &interval));
        assert(interval == (ms / unit - (ms % unit < 0 ? 1 : 0)) * unit);
    }
    return 0;
}

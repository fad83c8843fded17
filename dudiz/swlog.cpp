// Log writer front end: formats the message on the caller's stack and passes it to the sink.
#include "swlog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "logfromgo.h"

namespace {

constexpr size_t kMessageSize = 8192;

const char* const kLevelNames[] = {"trace", "debug", "info", "warn", "error", "fatal"};

// Lines below this level are not written; read on every line, set by any thread.
std::atomic<int> g_minLevel{LEVEL_TRACE};

}  // namespace

extern "C" void sw_log_writeWithLevel(ELogLevel level, const char* file, int line, const char* format,
                                      ...) {
    // Taken as unsigned so that a negative level falls outside the table like any other bad one.
    const unsigned idx = static_cast<unsigned>(level);
    const bool known = idx < sizeof kLevelNames / sizeof kLevelNames[0];
    if (!known || level < g_minLevel.load(std::memory_order_relaxed)) return;
    char buf[kMessageSize];
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    // Bytes past the terminator are never printed, so the buffer needs zero-filling only when the
    // formatter fails: then what it left (zeros where it wrote nothing) is what gets printed.
    // Clearing 8 KiB on every line was a measurable share of its cost.
    buf[0] = '\0';
    if (vsnprintf(buf, sizeof buf, format, ap) < 0) {
        memset(buf, 0, sizeof buf);
        (void)vsnprintf(buf, sizeof buf, format, again);
    }
    va_end(again);
    va_end(ap);
    LogFromGo(kLevelNames[idx], file, line, buf);
}

extern "C" void sw_log_setMinLevel(ELogLevel level) { g_minLevel.store(level, std::memory_order_relaxed); }

// Log sink: one stamped line per message on stdout, flushed at once.
#include "logfromgo.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "swstring.h"

namespace {

// The stamp has second resolution, so each thread keeps the text of the last second it converted:
// converting and formatting the local time was half the cost of a line. Static TLS (initial-exec)
// so that a thread's first line allocates nothing, even when the library was loaded by dlopen.
struct StampCache {
    time_t second;
    bool valid;
    char text[64];  // wide enough for any year an int can hold
};
thread_local StampCache tls_stamp __attribute__((tls_model("initial-exec")));

const char* current_stamp() {
    struct timespec ts {};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return "";
    StampCache& c = tls_stamp;
    if (!c.valid || c.second != ts.tv_sec) {
        c.valid = false;
        memset(c.text, 0, sizeof c.text);
        struct tm local {};
        if (localtime_r(&ts.tv_sec, &local) == nullptr) return "";
        if (tmtostr(c.text, &local, 0, "datetime") == nullptr) return "";
        c.second = ts.tv_sec;
        c.valid = true;
    }
    return c.text;
}

}  // namespace

extern "C" void LogFromGo(const char* level, const char* file, int line, const char* message) {
    // One call per line: stdio's stream lock keeps lines of concurrent callers whole.
    (void)printf("[%s] [%s] (%s:%d) %s\n", current_stamp(), level, file, line, message);
    (void)fflush(stdout);
}

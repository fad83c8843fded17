// Process helpers: own id and name, kill by id, and kill by a text of the "ps -e" listing.
#include "swprogress.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "internal/swprochooks.h"
#include "swdir.h"
#include "swstring.h"

namespace {

// Lines of the listing are read in pieces of at most this many characters.
constexpr int kLineBuf = 192;

// Reads the process id that opens a record: optional blanks, then digits ending at a blank or
// the line's end. Returns the id (0 or less when there is none or it does not fit an int) and
// points *rest at the text after it.
int record_pid(const char* line, const char** rest) {
    const auto* p = reinterpret_cast<const unsigned char*>(line);
    while (*p == ' ' || *p == '\t') ++p;
    long long pid = 0;
    const unsigned char* digits = p;
    while (*p >= '0' && *p <= '9') {
        pid = pid * 10 + (*p - '0');
        if (pid > INT_MAX) return 0;
        ++p;
    }
    if (p == digits || (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n')) return 0;
    *rest = reinterpret_cast<const char*>(p);
    return static_cast<int>(pid);
}

}  // namespace

extern "C" int xGetCurrentProcessId(void) { return static_cast<int>(getpid()); }

extern "C" char* sw_progress_getCMD(char* cmd) {
    if (cmd == nullptr) return nullptr;
    (void)xGetSelfRunningInfo(nullptr, cmd);
    return cmd;
}

extern "C" void sw_progress_killByPID(int pid) {
    if (pid <= 0) return;
    (void)sw_hook_kill()(static_cast<pid_t>(pid), SIGKILL);
}

extern "C" void sw_progress_killByCMD(const char* cmd, int ignorePID) {
    if (cmd == nullptr || cmd[0] == '\0') return;
    // "e": the pipe's descriptor is not inherited by children other threads start meanwhile. The
    // command is our fixed process-list command (a test seam can swap it), never caller text.
    FILE* ps = popen(sw_hook_psCommand(), "re");  // NOLINT(cert-env33-c)
    if (ps == nullptr) return;
    char line[kLineBuf];
    bool atLineStart = true;
    while (fgets(line, sizeof line, ps) != nullptr) {
        const size_t len = strlen(line);
        const bool startsRecord = atLineStart;
        atLineStart = len > 0 && line[len - 1] == '\n';
        if (!startsRecord) continue;  // the rest of an over-long line
        const char* rest = nullptr;
        const int pid = record_pid(line, &rest);
        if (pid <= 0 || pid == ignorePID) continue;
        if (xstrcasestr(rest, "right", cmd) != nullptr) sw_progress_killByPID(pid);
    }
    (void)pclose(ps);
}

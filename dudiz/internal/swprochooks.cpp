// The process seams: real kill(2), "ps -e" and "/proc/self/exe" unless a test replaced them.
#include "internal/swprochooks.h"

#include <signal.h>

#include <atomic>

namespace {

std::atomic<PSwKillProc> g_kill{nullptr};
std::atomic<const char*> g_psCommand{nullptr};
std::atomic<const char*> g_selfExeLink{nullptr};

}  // namespace

extern "C" PSwKillProc sw_hook_setKill(PSwKillProc fn) { return g_kill.exchange(fn); }

extern "C" const char* sw_hook_setPsCommand(const char* command) {
    return g_psCommand.exchange(command);
}

extern "C" const char* sw_hook_setSelfExeLink(const char* path) {
    return g_selfExeLink.exchange(path);
}

extern "C" PSwKillProc sw_hook_kill(void) {
    const PSwKillProc fn = g_kill.load();
    return fn != nullptr ? fn : &kill;
}

extern "C" const char* sw_hook_psCommand(void) {
    const char* cmd = g_psCommand.load();
    return cmd != nullptr ? cmd : "ps -e";
}

extern "C" const char* sw_hook_selfExeLink(void) {
    const char* path = g_selfExeLink.load();
    return path != nullptr ? path : "/proc/self/exe";
}

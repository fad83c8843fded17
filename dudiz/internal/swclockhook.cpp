// The wall-clock seam: the real settimeofday unless a test replaced it.
#include "internal/swclockhook.h"

#include <atomic>

namespace {

std::atomic<PSwSetClockProc> g_setClock{nullptr};

int real_set_clock(const struct timeval* tv) { return settimeofday(tv, nullptr); }

}  // namespace

extern "C" PSwSetClockProc sw_hook_setClockSetter(PSwSetClockProc fn) { return g_setClock.exchange(fn); }

extern "C" PSwSetClockProc sw_hook_clockSetter(void) {
    const PSwSetClockProc fn = g_setClock.load();
    return fn != nullptr ? fn : &real_set_clock;
}

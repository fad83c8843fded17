// Per-thread xorshift generator, seeded lazily from the calendar clock.
#include "swrand.h"

#include <atomic>
#include <cstdint>
#include <ctime>

#include "internal/swrandhooks.h"

namespace {

// Static TLS (initial-exec): a thread's first draw allocates nothing, also when the library was
// loaded by dlopen.
thread_local uint32_t tls_state __attribute__((tls_model("initial-exec"))) = 0;

std::atomic<PSwTimeProc> g_clock{nullptr};

// Taken when the clock reads 0: xorshift never leaves 0, so the seed must not be 0.
constexpr uint32_t kZeroClockSeed = 0x2b1f4d63u;

uint32_t xorshift32(uint32_t x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

uint32_t read_clock() {
    const PSwTimeProc fn = g_clock.load(std::memory_order_relaxed);
    return static_cast<uint32_t>(fn != nullptr ? fn(nullptr) : time(nullptr));
}

}  // namespace

extern "C" unsigned int xrand32(unsigned int range) {
    uint32_t x = tls_state;
    if (x == 0) x = read_clock();
    x = x != 0 ? xorshift32(x) : kZeroClockSeed;
    tls_state = x;
    return range != 0 ? x % range : x;
}

extern "C" PSwTimeProc sw_hook_setRandClock(PSwTimeProc fn) {
    return g_clock.exchange(fn);
}

extern "C" unsigned int sw_hook_swapRandState(unsigned int state) {
    const uint32_t previous = tls_state;
    tls_state = state;
    return previous;
}

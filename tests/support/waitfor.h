// Waiting for a condition with a deadline instead of sleeping, and the monotonic clock in
// milliseconds, for tests of threads and timed waits.
#pragma once

#include <chrono>
#include <thread>

// Milliseconds on the monotonic clock, as the library's timed waits measure them.
inline double mono_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Polls `cond` until it holds or `deadlineMs` has passed; returns its last value. The deadline is
// generous on purpose: it only bounds a test that would otherwise hang.
template <class Cond>
bool wait_for(Cond cond, double deadlineMs = 20000.0) {
    const double until = mono_ms() + deadlineMs;
    while (!cond()) {
        if (mono_ms() > until) return cond();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Waiting for a condition with a deadline instead of sleeping, and the monotonic clock in
// milliseconds, for tests of threads and timed waits.
#pragma once

#include <chrono>
#include <thread>

// Milliseconds on the monotonic clock, as the library's timed waits measure them.
inline double mono_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Polls `cond` until it holds or `deadlineMs` has passed (a bound for a test that would otherwise
// hang, not a timing claim); returns its last value.
template <class Cond>
bool wait_for(Cond cond, double deadlineMs = 20000.0) {
    for (const double until = mono_ms() + deadlineMs; !cond();) {
        if (mono_ms() > until) return cond();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// The timed-wait rule shared by every lock and signal of the library (mutex, read-write lock,
// signal). A negative time-out is each primitive's own blocking call; a time-out of 0 or more is
// this poll: one non-blocking try, then a try every millisecond against the monotonic clock.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "swthrd.h"

namespace dudiz {

enum class TryResult { kAcquired, kBusy, kFailed };

inline int64_t monotonic_ms() {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Polls `tryOnce` (returning TryResult) for up to `timeoutMs` (>= 0) milliseconds.
// Returns 0 when acquired; -1 with errno ETIMEDOUT when the time ran out; -1 with errno as the try
// left it when the try failed for a reason other than a busy primitive.
// The clock is read only after a failed try, so a free primitive is always taken however late,
// and a time-out of 0 makes exactly one try and never sleeps.
// The sleep (sw_thrd_delay) is a cancellation point and keeps errno; a function that polls here must
// not be noexcept, because glibc cancels a thread by unwinding its stack through it.
template <class Try>
int poll_wait(int timeoutMs, Try tryOnce) {
    const int64_t start = monotonic_ms();
    for (;;) {
        switch (tryOnce()) {
            case TryResult::kAcquired:
                return 0;
            case TryResult::kFailed:
                return -1;
            case TryResult::kBusy:
                break;
        }
        if (monotonic_ms() - start >= timeoutMs) {
            errno = ETIMEDOUT;
            return -1;
        }
        sw_thrd_delay(1);
    }
}

// The rule for a POSIX lock (mutex, read-write lock): a negative time-out is `lock`, waiting
// without limit and returning its error number; otherwise `trylock` is polled, a lock that is
// held (EBUSY) is tried again, and any other error ends the wait with -1.
template <class Lock>
int timed_lock(Lock* l, int timeoutMs, int (*lock)(Lock*), int (*trylock)(Lock*)) {
    if (timeoutMs < 0) return lock(l);
    return poll_wait(timeoutMs, [l, trylock] {
        const int rc = trylock(l);
        if (rc == 0) return TryResult::kAcquired;
        return rc == EBUSY ? TryResult::kBusy : TryResult::kFailed;
    });
}

}  // namespace dudiz

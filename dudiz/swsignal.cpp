// Counting semaphore behind an opaque handle, with the library's timed-wait rule.
#include "swsignal.h"

#include <semaphore.h>

#include <cerrno>

#include "internal/swalloc.h"
#include "internal/timedwait.h"

// Not noexcept: a wait is a cancellation point, and glibc's cancellation unwinds through it.

extern "C" void* sw_signal_create(void) {
    auto* s = static_cast<sem_t*>(SW_ALLOC(sizeof(sem_t)));
    if (s == nullptr) return nullptr;
    if (sem_init(s, 0, 0) != 0) {
        SW_FREE(s);
        return nullptr;
    }
    return s;
}

extern "C" void sw_signal_destroy(void* hSignal) {
    auto* s = static_cast<sem_t*>(hSignal);
    (void)sem_destroy(s);
    SW_FREE(s);
}

extern "C" int sw_signal_wait(void* hSignal, int timeout) {
    auto* s = static_cast<sem_t*>(hSignal);
    if (timeout < 0) {
        while (sem_wait(s) != 0) {
            if (errno != EINTR) return -1;
        }
        return 0;
    }
    return dudiz::poll_wait(timeout, [s] {
        if (sem_trywait(s) == 0) return dudiz::TryResult::kAcquired;
        return errno == EAGAIN ? dudiz::TryResult::kBusy : dudiz::TryResult::kFailed;
    });
}

extern "C" void sw_signal_give(void* hSignal) {
    (void)sem_post(static_cast<sem_t*>(hSignal));
}

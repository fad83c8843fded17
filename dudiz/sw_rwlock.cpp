// POSIX read-write lock behind an opaque handle, with the library's timed-wait rule.
#include "sw_rwlock.h"

#include <pthread.h>

#include <cerrno>

#include "internal/swalloc.h"
#include "internal/timedwait.h"

namespace {

// The timed-wait rule for either kind of lock: `lock` waits without limit, `trylock` is the poll.
// Not noexcept: the poll's sleep is a cancellation point.
int timed_lock(void* hRWLock, int timeout, int (*lock)(pthread_rwlock_t*), int (*trylock)(pthread_rwlock_t*)) {
    auto* rw = static_cast<pthread_rwlock_t*>(hRWLock);
    if (timeout < 0) return lock(rw);
    return dudiz::poll_wait(timeout, [rw, trylock] {
        const int rc = trylock(rw);
        if (rc == 0) return dudiz::TryResult::kAcquired;
        return rc == EBUSY ? dudiz::TryResult::kBusy : dudiz::TryResult::kFailed;
    });
}

}  // namespace

extern "C" void* sw_rwlock_create(void) {
    auto* rw = static_cast<pthread_rwlock_t*>(SW_ALLOC(sizeof(pthread_rwlock_t)));
    if (rw == nullptr) return nullptr;
    pthread_rwlockattr_t attr;
    if (pthread_rwlockattr_init(&attr) != 0) {
        SW_FREE(rw);
        return nullptr;
    }
    if (pthread_rwlockattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE) != 0 || pthread_rwlock_init(rw, &attr) != 0) {
        pthread_rwlockattr_destroy(&attr);
        SW_FREE(rw);
        return nullptr;
    }
    pthread_rwlockattr_destroy(&attr);
    return rw;
}

extern "C" void sw_rwlock_destroy(void* hRWLock) {
    auto* rw = static_cast<pthread_rwlock_t*>(hRWLock);
    (void)pthread_rwlock_destroy(rw);
    SW_FREE(rw);
}

extern "C" int sw_rwlock_rdlock(void* hRWLock, int timeout) {
    return timed_lock(hRWLock, timeout, pthread_rwlock_rdlock, pthread_rwlock_tryrdlock);
}

extern "C" int sw_rwlock_wrlock(void* hRWLock, int timeout) {
    return timed_lock(hRWLock, timeout, pthread_rwlock_wrlock, pthread_rwlock_trywrlock);
}

extern "C" void sw_rwlock_unlock(void* hRWLock) {
    (void)pthread_rwlock_unlock(static_cast<pthread_rwlock_t*>(hRWLock));
}

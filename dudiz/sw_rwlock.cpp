// POSIX read-write lock behind an opaque handle, with the library's timed-wait rule.
#include "sw_rwlock.h"

#include <pthread.h>

#include <cerrno>

#include "internal/swalloc.h"
#include "internal/timedwait.h"

// Not noexcept: the timed-wait poll sleeps at a cancellation point.

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
    return dudiz::timed_lock(static_cast<pthread_rwlock_t*>(hRWLock), timeout, pthread_rwlock_rdlock,
                            pthread_rwlock_tryrdlock);
}

extern "C" int sw_rwlock_wrlock(void* hRWLock, int timeout) {
    return dudiz::timed_lock(static_cast<pthread_rwlock_t*>(hRWLock), timeout, pthread_rwlock_wrlock,
                            pthread_rwlock_trywrlock);
}

extern "C" void sw_rwlock_unlock(void* hRWLock) {
    (void)pthread_rwlock_unlock(static_cast<pthread_rwlock_t*>(hRWLock));
}

// Error-checking mutex behind an opaque handle, with the library's timed-wait rule.
#include "swmutex.h"

#include <pthread.h>

#include <cerrno>

#include "internal/swalloc.h"
#include "internal/timedwait.h"

extern "C" void* sw_mutex_create(void) {
    auto* m = static_cast<pthread_mutex_t*>(SW_ALLOC(sizeof(pthread_mutex_t)));
    if (m == nullptr) return nullptr;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        SW_FREE(m);
        return nullptr;
    }
    if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) != 0 ||
        pthread_mutex_init(m, &attr) != 0) {
        pthread_mutexattr_destroy(&attr);
        SW_FREE(m);
        return nullptr;
    }
    pthread_mutexattr_destroy(&attr);
    return m;
}

extern "C" void sw_mutex_destroy(void* hMutex) {
    auto* m = static_cast<pthread_mutex_t*>(hMutex);
    (void)pthread_mutex_destroy(m);
    SW_FREE(m);
}

extern "C" int sw_mutex_lock(void* hMutex, int timeout) {
    return dudiz::timed_lock(static_cast<pthread_mutex_t*>(hMutex), timeout, pthread_mutex_lock,
                             pthread_mutex_trylock);
}

extern "C" void sw_mutex_unlock(void* hMutex) {
    (void)pthread_mutex_unlock(static_cast<pthread_mutex_t*>(hMutex));
}

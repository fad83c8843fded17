// Holds a dudiz mutex (swmutex.h), or a module's own POSIX mutex, for one scope: locked without a
// time-out on construction, unlocked on destruction, also when a cancellation unwinds the scope.
// Internal to dudiz; not an installed header.
#ifndef DUDIZ_INTERNAL_SWLOCKED_H
#define DUDIZ_INTERNAL_SWLOCKED_H

#include <pthread.h>

#include "swmutex.h"

namespace dudiz {

class Locked {
public:
    explicit Locked(void* hMutex) : m_(hMutex) { (void)sw_mutex_lock(m_, -1); }
    ~Locked() { sw_mutex_unlock(m_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    void* m_;
};

class PosixLocked {
public:
    explicit PosixLocked(pthread_mutex_t* m) : m_(m) { (void)pthread_mutex_lock(m_); }
    ~PosixLocked() { (void)pthread_mutex_unlock(m_); }
    PosixLocked(const PosixLocked&) = delete;
    PosixLocked& operator=(const PosixLocked&) = delete;

private:
    pthread_mutex_t* m_;
};

}  // namespace dudiz

#endif  // DUDIZ_INTERNAL_SWLOCKED_H

// Thread objects (a library loop that calls the user's procedure) and the library's only sleep.
#include "swthrd.h"

#include <pthread.h>
#include <sched.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "internal/swalloc.h"
#include "internal/swlocked.h"
#include "internal/swthrdhook.h"
#include "swlog.h"
#include "swsignal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

struct SThrdInfo {
    char name[32] = {};
    pthread_t nThrdID{};
    bool bStarted = false;       // nThrdID is valid (started and not yet joined); owner-side only
    void* hCtlEvent = nullptr;   // given by resume and destroy; waited on while paused and between calls
    void* hEndSignal = nullptr;  // given once by the thread when it leaves its loop

    // Guards proc, wParam and lParam so that a cycle never calls a mix of old and new values.
    // Held only for a copy, never across a cancellation point, so a cancelled thread holds it never.
    pthread_mutex_t procLock = PTHREAD_MUTEX_INITIALIZER;
    PThrdProc proc = nullptr;
    unsigned long wParam = 0;
    unsigned long lParam = 0;

    std::atomic<bool> bPause{false};
    std::atomic<bool> bBusy{false};
    std::atomic<bool> bQuit{false};
};

struct ProcSnapshot {
    PThrdProc proc;
    unsigned long wParam;
    unsigned long lParam;
};

std::atomic<PSwThrdCycleHook> s_cycleHook{nullptr};

// Numbers the threads created without a name; fetch_add keeps concurrent creators distinct.
std::atomic<int> s_nameless_thrd_counter{0};

const char kNormalExit[] = "thread normal exit.";

ProcSnapshot read_proc(SThrdInfo* t) {
    const dudiz::PosixLocked g(&t->procLock);
    return ProcSnapshot{t->proc, t->wParam, t->lParam};
}

void write_proc(SThrdInfo* t, const ProcSnapshot& p) {
    const dudiz::PosixLocked g(&t->procLock);
    t->proc = p.proc;
    t->wParam = p.wParam;
    t->lParam = p.lParam;
}

void copy_name(SThrdInfo* t, const char* name) {
    memset(t->name, 0, sizeof t->name);
    strncpy(t->name, name, sizeof t->name - 1);
}

#if defined(__SANITIZE_ADDRESS__)
// Cancellation unwinds the thread's stack without AddressSanitizer seeing the frames go, so their
// red zones stay poisoned and trip the thread's own exit code (a false stack-buffer-overflow);
// everything below the loop's frame is dead when the loop ends, so it is cleared then.
class DeadStackCleaner {
public:
    DeadStackCleaner() = default;
    DeadStackCleaner(const DeadStackCleaner&) = delete;
    DeadStackCleaner& operator=(const DeadStackCleaner&) = delete;
    ~DeadStackCleaner() {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0) {
            auto* here = static_cast<char*>(__builtin_frame_address(0));
            if (here > static_cast<char*>(low)) {
                __asan_unpoison_memory_region(low, static_cast<size_t>(here - static_cast<char*>(low)));
            }
        }
        (void)pthread_attr_destroy(&attr);
    }
};
#endif

// The thread's loop. Not noexcept: glibc cancels a thread by unwinding its stack through here.
void* ThrdProc(void* arg) {
#if defined(__SANITIZE_ADDRESS__)
    const DeadStackCleaner cleaner;
#endif
    auto* t = static_cast<SThrdInfo*>(arg);
    while (!t->bQuit.load()) {
        if (t->bPause.load()) (void)sw_signal_wait(t->hCtlEvent, -1);
        if (const PSwThrdCycleHook hook = s_cycleHook.load()) hook(t);
        // Busy is raised before the look-up, so whoever changes the procedure and then sees the
        // thread not busy knows that no cycle is about to call the old one. A pause that came in
        // between is honoured before the look-up: its caller saw the thread not busy and may have
        // set a procedure that is to wait for a resume (the pool hands workers out that way).
        t->bBusy.store(true);
        if (t->bPause.load()) {
            t->bBusy.store(false);
            continue;
        }
        const ProcSnapshot p = read_proc(t);
        if (p.proc == nullptr) {
            t->bBusy.store(false);
            (void)sw_signal_wait(t->hCtlEvent, 1);
            continue;
        }
        const int rc = p.proc(p.wParam, p.lParam);
        t->bBusy.store(false);
        if (rc < 0) {
            t->bQuit.store(true);
        } else if (rc > 0) {
            (void)sw_signal_wait(t->hCtlEvent, rc);
        }
    }
    write_proc(t, ProcSnapshot{nullptr, 0, 0});
    sw_signal_give(t->hEndSignal);
    return const_cast<char*>(kNormalExit);
}

void free_record(SThrdInfo* t) {
    (void)pthread_mutex_destroy(&t->procLock);
    t->~SThrdInfo();
    SW_FREE(t);
}

// Sets the attribute's scheduling and stack as the creator asked; false when either is refused.
bool prepare_attr(pthread_attr_t* attr, int priority, int stack_size) {
    if (priority >= 1) {
        int policy = 0;
        if (pthread_attr_getschedpolicy(attr, &policy) != 0) return false;
        if (policy != SCHED_RR && pthread_attr_setschedpolicy(attr, SCHED_RR) != 0) return false;
    } else {
        (void)pthread_attr_setscope(attr, PTHREAD_SCOPE_SYSTEM);
    }
    const long minStack = sysconf(_SC_THREAD_STACK_MIN);
    if (stack_size < 0 || (minStack > 0 && stack_size < minStack)) return false;
    return pthread_attr_setstacksize(attr, static_cast<size_t>(stack_size)) == 0;
}

SThrdInfo* as_info(void* hThrd) {
    return static_cast<SThrdInfo*>(hThrd);
}

}  // namespace

extern "C" void* sw_thrd_create(const char* name, int priority, int stack_size, PThrdProc proc,
                                unsigned long wParam, unsigned long lParam) {
    void* mem = SW_ALLOC(sizeof(SThrdInfo));
    if (mem == nullptr) return nullptr;
    auto* t = new (mem) SThrdInfo();
    if (name == nullptr) {
        (void)snprintf(t->name, sizeof t->name - 1, "nameless%d thread",
                       s_nameless_thrd_counter.fetch_add(1));
    } else {
        copy_name(t, name);
    }
    t->hCtlEvent = sw_signal_create();
    t->hEndSignal = t->hCtlEvent == nullptr ? nullptr : sw_signal_create();
    if (t->hEndSignal == nullptr) {
        sw_thrd_destroy(t, 0);
        return nullptr;
    }
    write_proc(t, ProcSnapshot{proc, wParam, lParam});

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        sw_thrd_destroy(t, 0);
        return nullptr;
    }
    t->bPause.store(true);
    const bool started =
        prepare_attr(&attr, priority, stack_size) && pthread_create(&t->nThrdID, &attr, ThrdProc, t) == 0;
    (void)pthread_attr_destroy(&attr);
    if (!started) {
        sw_thrd_destroy(t, 0);
        return nullptr;
    }
    t->bStarted = true;
    (void)sw_thrd_setPriority(t, priority);
    sw_thrd_delay(10);
    return t;
}

extern "C" void sw_thrd_destroy(void* hThrd, int timeout) {
    SThrdInfo* t = as_info(hThrd);
    if (t == nullptr) return;
    if (t->bStarted) {
        t->bQuit.store(true);
        sw_thrd_resume(t);
        if (sw_signal_wait(t->hEndSignal, timeout) != 0) {
            const int rc = pthread_cancel(t->nThrdID);
            if (rc != 0) {
                errno = rc;
                sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "terminate %s error(errno=%d)!!",
                                      t->name, errno);
            }
        }
        (void)pthread_join(t->nThrdID, nullptr);
        t->bStarted = false;
    }
    if (t->hCtlEvent != nullptr) sw_signal_destroy(t->hCtlEvent);
    t->hCtlEvent = nullptr;
    if (t->hEndSignal != nullptr) sw_signal_destroy(t->hEndSignal);
    t->hEndSignal = nullptr;
    free_record(t);
}

extern "C" void sw_thrd_pause(void* hThrd) {
    SThrdInfo* t = as_info(hThrd);
    if (t == nullptr) return;
    while (sw_signal_wait(t->hCtlEvent, 0) == 0) sw_thrd_delay(1);
    t->bPause.store(true);
}

extern "C" void sw_thrd_resume(void* hThrd) {
    SThrdInfo* t = as_info(hThrd);
    if (t == nullptr) return;
    t->bPause.store(false);
    sw_signal_give(t->hCtlEvent);
}

extern "C" bool sw_thrd_isAlive(void* hThrd) {
    const SThrdInfo* t = as_info(hThrd);
    return t != nullptr && t->bStarted && !t->bQuit.load();
}

extern "C" bool sw_thrd_isRunning(void* hThrd) {
    return sw_thrd_isAlive(hThrd) && !as_info(hThrd)->bPause.load();
}

extern "C" bool sw_thrd_isBusy(void* hThrd) {
    const SThrdInfo* t = as_info(hThrd);
    return t != nullptr && t->bBusy.load();
}

extern "C" bool sw_thrd_setName(void* hThrd, const char* name) {
    SThrdInfo* t = as_info(hThrd);
    if (t == nullptr || name == nullptr) return false;
    copy_name(t, name);
    return true;
}

extern "C" char* sw_thrd_getName(void* hThrd, char* name) {
    const SThrdInfo* t = as_info(hThrd);
    if (t == nullptr || name == nullptr) return nullptr;
    memcpy(name, t->name, sizeof t->name);
    return name;
}

extern "C" bool sw_thrd_setPriority(void* hThrd, int priority) {
    const SThrdInfo* t = as_info(hThrd);
    if (t == nullptr || !t->bStarted) return false;
    struct sched_param sp {};
    sp.sched_priority = priority;
    return pthread_setschedparam(t->nThrdID, SCHED_RR, &sp) == 0;
}

extern "C" int sw_thrd_getPriority(void* hThrd) {
    const SThrdInfo* t = as_info(hThrd);
    if (t == nullptr || !t->bStarted) return -1;
    int policy = 0;
    struct sched_param sp {};
    if (pthread_getschedparam(t->nThrdID, &policy, &sp) != 0) return -1;
    return sp.sched_priority;
}

extern "C" bool sw_thrd_setProc(void* hThrd, PThrdProc proc, unsigned long wParam, unsigned long lParam) {
    SThrdInfo* t = as_info(hThrd);
    if (t == nullptr) return false;
    write_proc(t, ProcSnapshot{proc, wParam, lParam});
    return true;
}

extern "C" void sw_thrd_getProc(void* hThrd, PThrdProc* proc, unsigned long* wParam, unsigned long* lParam) {
    SThrdInfo* t = as_info(hThrd);
    if (t == nullptr) return;
    const ProcSnapshot p = read_proc(t);
    if (proc != nullptr) *proc = p.proc;
    if (wParam != nullptr) *wParam = p.wParam;
    if (lParam != nullptr) *lParam = p.lParam;
}

extern "C" void sw_thrd_delay(int ms) {
    // A sleep must not disturb the errno that a caller (or the timed-wait poll) is about to report.
    const int savedErrno = errno;
    if (ms < 0) {
        (void)select(0, nullptr, nullptr, nullptr, nullptr);
    } else {
        struct timeval tv {};
        tv.tv_sec = ms / 1000;
        tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
        (void)select(0, nullptr, nullptr, nullptr, &tv);
    }
    errno = savedErrno;
}

extern "C" PSwThrdCycleHook sw_hook_setThrdCycle(PSwThrdCycleHook fn) {
    return s_cycleHook.exchange(fn);
}

// Bounded message ring between threads: one mutex guards the ring, one signal counts the posts.
#include "swmsgq.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "internal/swalloc.h"
#include "internal/swlocked.h"
#include "internal/timedwait.h"
#include "swlog.h"
#include "swmutex.h"
#include "swsignal.h"

// Not noexcept: a read waits at a cancellation point, and glibc cancels by unwinding through it.

namespace {

constexpr int kSlots = 64;  // ring storage; one slot stays empty, so at most 63 messages
// Tries of the signal before a read's wait may sleep, the last ones giving up the processor: together
// a few microseconds, about what a writer running beside the reader needs to post its next message,
// and far below the millisecond that a timed wait sleeps between its tries.
constexpr int kTries = 40;
constexpr int kYieldingTries = 10;

struct SMsg {
    int msg;
    unsigned long wParam;
    unsigned long lParam;
};

struct SMsgQueue {
    SMsg msg[kSlots];  // guarded by hMutex, as are read and write
    int depth;         // capacity + 1, 2 to 64; fixed after creation
    int read;          // slot of the oldest message
    int write;         // slot that the next post fills
    void* hSignal;     // given once per post, taken once per read; drained by clear
    void* hMutex;
};

SMsgQueue* as_queue(void* hQueue) {
    return static_cast<SMsgQueue*>(hQueue);
}

int advance(const SMsgQueue* q, int index) {
    return index + 1 == q->depth ? 0 : index + 1;
}

void cpu_relax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// Takes one count of the signal as sw_signal_wait(hSignal, timeout) does, with a short run of tries
// first: a reader that keeps up with its writer finds the ring empty between two posts, and such a
// gap must cost neither a millisecond's sleep of the timed-wait poll nor a sleep and wake-up in the
// kernel. The last tries yield, so that a writer sharing the reader's processor gets to post. The
// tries count against the time-out and leave errno as it was (a failed try sets it), so results,
// time-outs and errno are the plain wait's.
bool take_count(void* hSignal, int timeout) {
    if (timeout == 0) return sw_signal_wait(hSignal, 0) == 0;
    // The unlimited wait acts on a pending cancellation even when a count is there at once.
    if (timeout < 0) pthread_testcancel();
    const int64_t start = timeout > 0 ? dudiz::monotonic_ms() : 0;
    const int savedErrno = errno;
    for (int k = 0; k < kTries; ++k) {
        if (sw_signal_wait(hSignal, 0) == 0) {
            errno = savedErrno;
            return true;
        }
        if (errno != ETIMEDOUT) break;  // not a busy signal: the wait below reports the failure
        if (k < kTries - kYieldingTries) {
            cpu_relax();
        } else if (timeout > 0 && dudiz::monotonic_ms() - start >= timeout) {
            break;  // a yield can last a time slice; a short time-out stays short
        } else {
            (void)sched_yield();
        }
    }
    errno = savedErrno;
    if (timeout < 0) return sw_signal_wait(hSignal, -1) == 0;
    const int64_t left = timeout - (dudiz::monotonic_ms() - start);
    return sw_signal_wait(hSignal, left > 0 ? static_cast<int>(left) : 0) == 0;
}

}  // namespace

extern "C" void* sw_msgq_create(int max) {
    if (max <= 0) return nullptr;
    auto* q = static_cast<SMsgQueue*>(SW_ALLOC(sizeof(SMsgQueue)));
    if (q == nullptr) return nullptr;
    memset(q, 0, sizeof *q);
    q->depth = max < kSlots - 1 ? max + 1 : kSlots;
    q->hSignal = sw_signal_create();
    q->hMutex = q->hSignal == nullptr ? nullptr : sw_mutex_create();
    if (q->hMutex == nullptr) {
        sw_msgq_destroy(q);
        return nullptr;
    }
    return q;
}

extern "C" void sw_msgq_destroy(void* hQueue) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return;
    if (q->hMutex != nullptr) sw_mutex_destroy(q->hMutex);
    if (q->hSignal != nullptr) sw_signal_destroy(q->hSignal);
    SW_FREE(q);
}

extern "C" int sw_msgq_post(void* hQueue, int msg, unsigned long wParam, unsigned long lParam) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return -1;
    const dudiz::Locked lock(q->hMutex);
    q->msg[q->write] = SMsg{msg, wParam, lParam};
    q->write = advance(q, q->write);
    if (q->write == q->read) {
        q->read = advance(q, q->read);
        sw_log_writeWithLevel(LEVEL_WARN, __FILE__, __LINE__, "a message queue drop a oldest message!");
    }
    // Given under the lock even after a drop, so that a concurrent clear takes this count with the
    // message: the count stays "posts not yet read or cleared".
    sw_signal_give(q->hSignal);
    return 0;
}

extern "C" int sw_msgq_read(void* hQueue, int* msg, unsigned long* wParam, unsigned long* lParam, int timeout) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return -1;
    if (!take_count(q->hSignal, timeout)) return -1;
    SMsg m;
    {
        const dudiz::Locked lock(q->hMutex);
        if (q->read == q->write) return -1;  // a surplus count of a dropped message
        m = q->msg[q->read];
        q->read = advance(q, q->read);
    }
    if (msg != nullptr) *msg = m.msg;
    if (wParam != nullptr) *wParam = m.wParam;
    if (lParam != nullptr) *lParam = m.lParam;
    return 0;
}

extern "C" void sw_msgq_clear(void* hQueue) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return;
    const dudiz::Locked lock(q->hMutex);
    while (sw_signal_wait(q->hSignal, 0) == 0) {
    }
    q->read = 0;
    q->write = 0;
}

extern "C" int sw_msgq_get_num(void* hQueue) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return -1;
    const dudiz::Locked lock(q->hMutex);
    return (q->write - q->read + q->depth) % q->depth;
}

extern "C" int sw_msgq_get_max(void* hQueue) {
    const SMsgQueue* q = as_queue(hQueue);
    return q == nullptr ? -1 : q->depth - 1;
}

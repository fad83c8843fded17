// Bounded message ring between threads: one mutex guards the ring and its count of posts, and a
// condition variable wakes the readers that wait without limit.
#include "swmsgq.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <new>

#include "internal/swalloc.h"
#include "internal/swlocked.h"
#include "internal/timedwait.h"
#include "swlog.h"

// Not noexcept: a read waits at a cancellation point, and glibc cancels by unwinding through it.

namespace {

constexpr int kSlots = 64;  // ring storage; one slot stays empty, so at most 63 messages
// Looks at the count before a read's wait may sleep, the last ones giving up the processor:
// together a few microseconds, about what a writer running beside the reader needs to post its
// next message, and far below the millisecond that a timed wait sleeps between its tries.
constexpr int kTries = 40;
constexpr int kYieldingTries = 10;

struct SMsg {
    int msg;
    unsigned long wParam;
    unsigned long lParam;
};

// What both sides touch at every message comes first, so that it shares as few cache lines as can be.
struct SMsgQueue {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    // Posts not yet matched by a read or a clear: one more than the held messages for each dropped
    // one. Changed under the mutex; a reader's tries look at it without the mutex.
    std::atomic<int> count{0};
    int sleepers = 0;  // readers waiting on `posted`; guarded by the mutex, as are read, write, msg
    int read = 0;      // slot of the oldest message
    int write = 0;     // slot that the next post fills
    int depth = 0;     // capacity + 1, 2 to 64; fixed after creation
    pthread_cond_t posted = PTHREAD_COND_INITIALIZER;  // signalled by a post while a reader sleeps
    SMsg msg[kSlots] = {};
};

enum class Got { kMessage, kSurplus, kNothing };

// Counts a reader among the sleepers while it waits on `posted` (the mutex held, as the wait
// gives it back before it returns or unwinds).
class Sleeper {
public:
    explicit Sleeper(SMsgQueue* q) : q_(q) { ++q_->sleepers; }
    ~Sleeper() { --q_->sleepers; }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

private:
    SMsgQueue* q_;
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

// With the mutex held and a count there: takes the count and the oldest message, or finds the ring
// empty (the count was a surplus one of a dropped message).
Got take_locked(SMsgQueue* q, SMsg* m) {
    q->count.store(q->count.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    if (q->read == q->write) return Got::kSurplus;
    *m = q->msg[q->read];
    q->read = advance(q, q->read);
    return Got::kMessage;
}

// One try of the timed-wait rule.
Got try_take(SMsgQueue* q, SMsg* m) {
    const dudiz::PosixLocked hold(&q->mutex);
    return q->count.load(std::memory_order_relaxed) == 0 ? Got::kNothing : take_locked(q, m);
}

// Before a read's wait can sleep: a reader that keeps up with its writer finds the ring empty
// between two posts, and such a gap must cost neither a millisecond's sleep of the timed-wait poll
// nor a sleep and wake-up in the kernel. Looks at the count a while and tries when it shows one; the
// last looks yield, so that a writer sharing the reader's processor gets to post. Gives up early
// when a time-out (> 0) counted from `start` has run out, as a yield can last a time slice.
Got take_soon(SMsgQueue* q, SMsg* m, int timeout, int64_t start) {
    for (int k = 0; k < kTries; ++k) {
        if (q->count.load(std::memory_order_relaxed) > 0) {
            const Got got = try_take(q, m);
            if (got != Got::kNothing) return got;  // else another reader was first
        }
        if (k < kTries - kYieldingTries) {
            cpu_relax();
        } else if (timeout > 0 && dudiz::monotonic_ms() - start >= timeout) {
            break;
        } else {
            (void)sched_yield();
        }
    }
    return Got::kNothing;
}

// The timed-wait rule with a time-out > 0; the looks of take_soon count against it. errno is
// ETIMEDOUT after a time-out and untouched otherwise.
Got take_within(SMsgQueue* q, SMsg* m, int timeout) {
    const int64_t start = dudiz::monotonic_ms();
    Got got = take_soon(q, m, timeout, start);
    if (got != Got::kNothing) return got;
    const int64_t left = timeout - (dudiz::monotonic_ms() - start);
    (void)dudiz::poll_wait(left > 0 ? static_cast<int>(left) : 0, [&] {
        got = try_take(q, m);
        return got == Got::kNothing ? dudiz::TryResult::kBusy : dudiz::TryResult::kAcquired;
    });
    return got;
}

// Waits without limit; a cancellation point, also when a count is there at once.
Got take_waiting(SMsgQueue* q, SMsg* m) {
    pthread_testcancel();
    const Got got = take_soon(q, m, -1, 0);
    if (got != Got::kNothing) return got;
    const dudiz::PosixLocked hold(&q->mutex);
    while (q->count.load(std::memory_order_relaxed) == 0) {
        const Sleeper sleeper(q);
        (void)pthread_cond_wait(&q->posted, &q->mutex);
    }
    return take_locked(q, m);
}

}  // namespace

extern "C" void* sw_msgq_create(int max) {
    if (max <= 0) return nullptr;
    void* mem = SW_ALLOC(sizeof(SMsgQueue));
    if (mem == nullptr) return nullptr;
    auto* q = new (mem) SMsgQueue();
    q->depth = max < kSlots - 1 ? max + 1 : kSlots;
    return q;
}

extern "C" void sw_msgq_destroy(void* hQueue) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return;
    (void)pthread_cond_destroy(&q->posted);
    (void)pthread_mutex_destroy(&q->mutex);
    q->~SMsgQueue();
    SW_FREE(q);
}

extern "C" int sw_msgq_post(void* hQueue, int msg, unsigned long wParam, unsigned long lParam) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return -1;
    const dudiz::PosixLocked hold(&q->mutex);
    q->msg[q->write] = SMsg{msg, wParam, lParam};
    q->write = advance(q, q->write);
    if (q->write == q->read) {
        q->read = advance(q, q->read);
        sw_log_writeWithLevel(LEVEL_WARN, __FILE__, __LINE__, "a message queue drop a oldest message!");
    }
    // Counted even after a drop: the count stays "posts not yet read or cleared".
    q->count.store(q->count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (q->sleepers > 0) (void)pthread_cond_signal(&q->posted);
    return 0;
}

extern "C" int sw_msgq_read(void* hQueue, int* msg, unsigned long* wParam, unsigned long* lParam,
                            int timeout) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return -1;
    SMsg m{};
    const Got got = timeout < 0   ? take_waiting(q, &m)
                    : timeout > 0 ? take_within(q, &m, timeout)
                                  : try_take(q, &m);
    if (got == Got::kNothing && timeout == 0) errno = ETIMEDOUT;
    if (got != Got::kMessage) return -1;
    if (msg != nullptr) *msg = m.msg;
    if (wParam != nullptr) *wParam = m.wParam;
    if (lParam != nullptr) *lParam = m.lParam;
    return 0;
}

extern "C" void sw_msgq_clear(void* hQueue) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return;
    const dudiz::PosixLocked hold(&q->mutex);
    q->count.store(0, std::memory_order_relaxed);
    q->read = 0;
    q->write = 0;
}

extern "C" int sw_msgq_get_num(void* hQueue) {
    SMsgQueue* q = as_queue(hQueue);
    if (q == nullptr) return -1;
    const dudiz::PosixLocked hold(&q->mutex);
    return (q->write - q->read + q->depth) % q->depth;
}

extern "C" int sw_msgq_get_max(void* hQueue) {
    const SMsgQueue* q = as_queue(hQueue);
    return q == nullptr ? -1 : q->depth - 1;
}

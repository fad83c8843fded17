// Bounded message ring between threads: one mutex guards the ring, one signal counts the posts.
#include "swmsgq.h"

#include <cstring>

#include "internal/swalloc.h"
#include "internal/swlocked.h"
#include "swlog.h"
#include "swmutex.h"
#include "swsignal.h"

// Not noexcept: a read waits at a cancellation point, and glibc cancels by unwinding through it.

namespace {

constexpr int kSlots = 64;  // ring storage; one slot stays empty, so at most 63 messages

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
    if (sw_signal_wait(q->hSignal, timeout) != 0) return -1;
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

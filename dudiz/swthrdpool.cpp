// Pool of lazily created worker threads, handed out and taken back by swapping their procedure.
//
// Lock order: the pool's mutex before the memory container's (workers are created and destroyed,
// and so allocate, under the pool's mutex).
#include "swthrdpool.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "internal/swalloc.h"
#include "internal/swlocked.h"
#include "swlog.h"
#include "swmutex.h"

// Not noexcept: a free sleeps and an allocation destroys threads, both at cancellation points.

namespace {

// Who has a slot's worker. Only kPooled workers are taken by allocations; a handed-out worker stays
// the caller's even when its thread ends by itself, until the caller gives it back.
enum Hold : unsigned char {
    kPooled = 0,
    kHandedOut,   // returned by an allocation and not given back yet
    kWaiting,     // a free polls its busy flag; the worker is still in its slot
    kDestroying,  // a free destroys it outside the mutex; the slot is already empty
};

struct SThrdPool {
    void** hThrds;  // maxNum slots after the record; guarded by hMutex
    void* hMutex;
    int maxNum;
    int priority;
    int stackSize;
    int killedNum;        // guarded by hMutex
    unsigned char* held;  // one Hold per slot, after the slots; guarded by hMutex
};

enum class Class { kAllocated, kIdle, kSick };

SThrdPool* as_pool(void* hPool) {
    return static_cast<SThrdPool*>(hPool);
}

// Caller holds the mutex. A worker back in the pool has no procedure (the free cleared it).
Class classify(const SThrdPool* p, int i) {
    if (p->held[i] == kHandedOut) return Class::kAllocated;
    if (p->held[i] != kPooled) return Class::kSick;
    void* h = p->hThrds[i];
    return h != nullptr && sw_thrd_isBusy(h) ? Class::kSick : Class::kIdle;
}

// A worker back in the pool, in the given state of its busy flag. Caller holds the mutex.
bool is_pooled(const SThrdPool* p, int i, bool busy) {
    return p->hThrds[i] != nullptr && p->held[i] == kPooled && sw_thrd_isBusy(p->hThrds[i]) == busy;
}

// Hands out the worker of slot i. Caller holds the mutex.
void* hand_out(SThrdPool* p, int i) {
    p->held[i] = kHandedOut;
    return p->hThrds[i];
}

// Creates the worker of slot i and stores it (NULL when creation failed). Caller holds the mutex.
void* make_worker(SThrdPool* p, int i, PThrdProc proc, unsigned long wParam, unsigned long lParam) {
    char name[32];
    (void)snprintf(name, sizeof name, "thread%d", i);
    p->hThrds[i] = sw_thrd_create(name, p->priority, p->stackSize, proc, wParam, lParam);
    return p->hThrds[i] == nullptr ? nullptr : hand_out(p, i);
}

// The three passes of an allocation; NULL when none gave a worker. Caller holds the mutex.
void* alloc_locked(SThrdPool* p, PThrdProc proc, unsigned long wParam, unsigned long lParam, int timeout) {
    for (int i = 0; i < p->maxNum; ++i) {
        if (!is_pooled(p, i, false)) continue;
        void* h = p->hThrds[i];
        if (sw_thrd_isAlive(h)) {
            (void)sw_thrd_setProc(h, proc, wParam, lParam);
            return hand_out(p, i);
        }
        sw_thrd_destroy(h, timeout);  // its thread has ended by itself
        if (make_worker(p, i, proc, wParam, lParam) != nullptr) return p->hThrds[i];
        break;
    }
    for (int i = 0; i < p->maxNum; ++i) {
        if (p->hThrds[i] != nullptr || p->held[i] != kPooled) continue;
        if (make_worker(p, i, proc, wParam, lParam) != nullptr) return p->hThrds[i];
        break;
    }
    for (int i = 0; i < p->maxNum; ++i) {
        if (!is_pooled(p, i, true)) continue;
        sw_thrd_destroy(p->hThrds[i], timeout);
        p->hThrds[i] = nullptr;
        ++p->killedNum;
        return make_worker(p, i, proc, wParam, lParam);
    }
    return nullptr;
}

}  // namespace

extern "C" void* sw_thrdpool_create2(int max, int priority, int stack_size) {
    if (max <= 0) return nullptr;
    // Record, slots and marks in one block; the bound keeps the product within int (and size_t on
    // 32 bits) and is checked before multiplying.
    const size_t perSlot = sizeof(void*) + sizeof(unsigned char);
    if (static_cast<size_t>(max) > (static_cast<size_t>(INT_MAX) - sizeof(SThrdPool)) / perSlot) return nullptr;
    const size_t size = sizeof(SThrdPool) + static_cast<size_t>(max) * perSlot;
    auto* p = static_cast<SThrdPool*>(SW_ALLOC(size));
    if (p == nullptr) return nullptr;
    memset(p, 0, size);
    p->hThrds = reinterpret_cast<void**>(p + 1);
    p->held = reinterpret_cast<unsigned char*>(p->hThrds + max);
    p->maxNum = max;
    p->priority = priority;
    p->stackSize = stack_size;
    p->hMutex = sw_mutex_create();
    if (p->hMutex == nullptr) {
        sw_thrdpool_destroy(p, 0);
        return nullptr;
    }
    return p;
}

extern "C" void sw_thrdpool_destroy(void* hPool, int timeout) {
    SThrdPool* p = as_pool(hPool);
    if (p == nullptr) return;
    for (int i = 0; i < p->maxNum; ++i) {
        if (p->hThrds[i] != nullptr) sw_thrd_destroy(p->hThrds[i], timeout);
        p->hThrds[i] = nullptr;
    }
    if (p->hMutex != nullptr) sw_mutex_destroy(p->hMutex);
    SW_FREE(p);
}

extern "C" void* sw_thrdpool_alloc(void* hPool, PThrdProc proc, unsigned long wParam, unsigned long lParam,
                                   int timeout) {
    SThrdPool* p = as_pool(hPool);
    if (p == nullptr) return nullptr;
    void* h = nullptr;
    {
        const dudiz::Locked lock(p->hMutex);
        h = alloc_locked(p, proc, wParam, lParam, timeout);
    }
    if (h == nullptr) {
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "sorry, alloc thread fail, because %p thread pool is full!!",
                              hPool);
        sw_thrdpool_printf(hPool);
    }
    return h;
}

extern "C" void sw_thrdpool_free(void* hPool, void* hThrd, int timeout) {
    SThrdPool* p = as_pool(hPool);
    if (p == nullptr || hThrd == nullptr) return;
    int i = 0;
    {
        const dudiz::Locked lock(p->hMutex);
        while (i < p->maxNum && p->hThrds[i] != hThrd) ++i;
        if (i == p->maxNum || p->held[i] != kHandedOut) return;
        // From here until the end no allocation reuses or destroys this worker.
        p->held[i] = kWaiting;
    }
    sw_thrd_pause(hThrd);
    (void)sw_thrd_setProc(hThrd, nullptr, 0, 0);
    // Counts polls rather than clock time: at most `timeout` looks at the busy flag, 1 ms apart.
    bool busy = sw_thrd_isBusy(hThrd);
    for (int polls = 1; busy && timeout != 0 && (timeout < 0 || polls < timeout); ++polls) {
        sw_thrd_delay(1);
        busy = sw_thrd_isBusy(hThrd);
    }
    {
        const dudiz::Locked lock(p->hMutex);
        if (!busy) {
            p->held[i] = kPooled;
            return;
        }
        // Emptied and counted before the mutex is released, so the worker is never seen half-destroyed.
        p->hThrds[i] = nullptr;
        p->held[i] = kDestroying;
        ++p->killedNum;
    }
    sw_thrd_destroy(hThrd, timeout);
    const dudiz::Locked lock(p->hMutex);
    p->held[i] = kPooled;
}

extern "C" void sw_thrdpool_get_status(void* hPool, int* max_num, int* alloc_num, int* idle_num, int* sick_num,
                                       int* killed_num) {
    SThrdPool* p = as_pool(hPool);
    if (p == nullptr) return;
    int counts[3] = {0, 0, 0};
    int killed = 0;
    {
        const dudiz::Locked lock(p->hMutex);
        for (int i = 0; i < p->maxNum; ++i) ++counts[static_cast<int>(classify(p, i))];
        killed = p->killedNum;
    }
    if (max_num != nullptr) *max_num = p->maxNum;
    if (alloc_num != nullptr) *alloc_num = counts[static_cast<int>(Class::kAllocated)];
    if (idle_num != nullptr) *idle_num = counts[static_cast<int>(Class::kIdle)];
    if (sick_num != nullptr) *sick_num = counts[static_cast<int>(Class::kSick)];
    if (killed_num != nullptr) *killed_num = killed;
}

extern "C" void sw_thrdpool_printf(void* hPool) {
    if (hPool == nullptr) return;
    int max = 0, allocated = 0, idle = 0, sick = 0, killed = 0;
    sw_thrdpool_get_status(hPool, &max, &allocated, &idle, &sick, &killed);
    sw_log_writeWithLevel(LEVEL_INFO, __FILE__, __LINE__, "%p thread pool(%d): allocated=%d, idle=%d, sick=%d, killed=%d",
                          hPool, max, allocated, idle, sick, killed);
}

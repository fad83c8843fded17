// Periodic timer: a thread object whose procedure calls the user's and returns the period.
#include "swtimer.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "internal/swalloc.h"
#include "swthrd.h"

// Not noexcept: destroying the thread object waits at a cancellation point.

namespace {

constexpr int kPriority = 50;
constexpr int kStackSize = 65536;

struct STimer {
    char name[32] = {};
    std::atomic<int> period{0};  // written by the owner, read by the timer's thread before each wait
    void* hThrd = nullptr;       // set before the thread can run a cycle; cleared after it was joined
    PTimerProc proc = nullptr;
    unsigned long wParam = 0;
    unsigned long lParam = 0;
};
// The record keeps the layout of plain fields: name first, then an int-sized period.
static_assert(sizeof(std::atomic<int>) == sizeof(int), "period must keep the size of an int");
static_assert(std::is_standard_layout<STimer>::value, "record layout");

// Numbers the timers created without a name; fetch_add keeps concurrent creators distinct.
std::atomic<int> s_nameless_timer_counter{0};

STimer* as_timer(void* hTimer) {
    return static_cast<STimer*>(hTimer);
}

int TimerProc(unsigned long wParam, unsigned long) {
    auto* t = reinterpret_cast<STimer*>(wParam);
    // A destroy wakes a stopped timer for one last cycle; that cycle must not call the user.
    if (!sw_thrd_isAlive(t->hThrd)) return -1;
    if (t->proc != nullptr) t->proc(t->wParam, t->lParam);
    return t->period.load();
}

}  // namespace

extern "C" void* sw_timer_create(const char* name, int period, PTimerProc proc, unsigned long wParam,
                                 unsigned long lParam) {
    void* mem = SW_ALLOC(sizeof(STimer));
    if (mem == nullptr) return nullptr;
    auto* t = new (mem) STimer();
    if (name == nullptr) {
        (void)snprintf(t->name, sizeof t->name - 1, "nameless%d timer", s_nameless_timer_counter.fetch_add(1));
    } else {
        strncpy(t->name, name, sizeof t->name - 1);
    }
    t->period.store(period);
    t->proc = proc;
    t->wParam = wParam;
    t->lParam = lParam;
    t->hThrd = sw_thrd_create(t->name, kPriority, kStackSize, TimerProc, reinterpret_cast<unsigned long>(t), 0);
    if (t->hThrd == nullptr) {
        sw_timer_destroy(t, 0);
        return nullptr;
    }
    return t;
}

extern "C" void sw_timer_destroy(void* hTimer, int timeout) {
    STimer* t = as_timer(hTimer);
    if (t == nullptr) return;
    if (t->hThrd != nullptr) sw_thrd_destroy(t->hThrd, timeout);
    t->hThrd = nullptr;
    t->~STimer();
    SW_FREE(t);
}

extern "C" void sw_timer_pause(void* hTimer) {
    STimer* t = as_timer(hTimer);
    if (t != nullptr) sw_thrd_pause(t->hThrd);
}

extern "C" void sw_timer_resume(void* hTimer) {
    STimer* t = as_timer(hTimer);
    if (t != nullptr) sw_thrd_resume(t->hThrd);
}

extern "C" void sw_timer_setPeriod(void* hTimer, int period) {
    STimer* t = as_timer(hTimer);
    if (t != nullptr) t->period.store(period);
}

// swthrdpool: a worker handed out, reused, refused when the pool is full (with the log), ended by its
// procedure, waited for or killed; the races between a free and allocations; sizes that do not fit;
// a stress run for ThreadSanitizer.
#include "swthrdpool.h"

#include <sys/resource.h>

#include <mutex>
#include <random>

#include "internal/swthrdhook.h"
#include "support/forked.h"
#include "support/lock_holder.h"

// A job counts its calls, passes its gate (where a cancel cannot land), sleeps while `hold` is set and
// returns `result`. Its address travels as wParam.
struct Job {
    std::atomic<int> calls{0}, result{1000}, hold{0};
    std::mutex gate;
};

int run_job(unsigned long w, unsigned long) {
    Job& j = *reinterpret_cast<Job*>(w);
    for (++j.calls, j.gate.lock(), j.gate.unlock(); j.hold;) sw_thrd_delay(1);
    return j.result;
}

// "{ max, allocated, idle, sick, killed }"
std::string status(void* pool, std::array<int, 5> s = {}) {
    return sw_thrdpool_get_status(pool, &s[0], &s[1], &s[2], &s[3], &s[4]), testing::PrintToString(s);
}

// A pool of one slot.
struct SwPool : ::testing::Test {
    ~SwPool() override { a.hold = b.hold = 0, a.result = b.result = -1, sw_thrdpool_destroy(pool, 5000); }
    void* alloc(Job& j) { return sw_thrdpool_alloc(pool, run_job, reinterpret_cast<uintptr_t>(&j), 0, 0); }
    // Hands out a worker for `j` and starts it; returns it once the job has been entered.
    void* start(Job& j, int before = 0) {
        void* h = (before = j.calls, alloc(j));
        return sw_thrd_resume(h), wait_for([&] { return j.calls > before; }) ? h : nullptr;
    }
    void* pool = sw_thrdpool_create2(1, 0, 1 << 20);
    Job a, b;
};

// Blocks beyond INT_MAX bytes are refused before anything is allocated (858993460 slots of 5 bytes wrap
// to 28 bytes on 32 bits; INT_MAX / (sizeof(void*) + 1) slots are just beyond the limit), in a child with a
// limited address space, so that a wrong huge allocation fails instead of swapping. Nothing is left behind,
// also when memory runs out. A NULL pool is answered.
TEST(SwPoolCreate, RefusesSizesThatDoNotFitAndLeavesNothing) {
    expect_passes_in_child([] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        const rlimit limit{3UL << 30, 3UL << 30};
        ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
#endif
        for (const int max :
             {0, INT_MAX, INT_MAX / static_cast<int>(sizeof(void*) + 1), 858993460, 477218589})
            EXPECT_EQ(sw_thrdpool_create2(max, 0, 1 << 20), nullptr) << max;
    });
    expect_no_leak([] { return sw_thrdpool_create2(1, 0, 1 << 20); },
                   [](void* p) { sw_thrdpool_alloc(p, nullptr, 0, 0, 0), sw_thrdpool_destroy(p, 0); });
    EXPECT_EQ(sw_thrdpool_alloc(nullptr, run_job, 0, 0, 0), nullptr);
}

// A worker is handed out paused (with the procedure set: see start()), named after its slot, and refused to
// others while the pool is full (logged as an error, then the status). Ended by its procedure, it stays the
// caller's until given back (a foreign thread and NULL are ignored; a second free, below); then it is
// idle, and a new thread replaces it. (The reuse of a live worker is checked below.)
TEST_F(SwPool, WorkerLifeAndTheFullPool) {
    void* h = alloc(a);
    char p[32];
    EXPECT_TRUE(!sw_thrd_isRunning(h) && !strcmp(sw_thrd_getName(h, p), "thread0") &&
                status(pool) == "{ 1, 1, 0, 0, 0 }");
    StdoutCapture cap;
    EXPECT_EQ(alloc(b), nullptr);
    const std::string log = cap.finish(), P = (snprintf(p, sizeof p, "%p thread pool", pool), p);
    const std::regex full("\\[error\\] .*sorry, alloc thread fail, because " + P +
                          " is full!!\n.*\\[info\\] .*" + P +
                          "\\(1\\): allocated=1, idle=0, sick=0, killed=0\n");
    EXPECT_TRUE(std::regex_search(log, full)) << log;
    a.result = -1, sw_thrd_resume(h);
    ASSERT_TRUE(wait_for([&] { return !sw_thrd_isAlive(h); }));
    EXPECT_EQ(alloc(b), nullptr);
    void* foreign = sw_thrd_create("foreign", 0, 1 << 20, nullptr, 0, 0);
    sw_thrd_resume(foreign), sw_thrdpool_free(pool, foreign, 0), sw_thrdpool_free(pool, nullptr, 0);
    EXPECT_TRUE(sw_thrd_isRunning(foreign) && status(pool) == "{ 1, 1, 0, 0, 0 }") << status(pool);
    sw_thrd_destroy(foreign, -1), sw_thrdpool_free(pool, h, 1000);
    EXPECT_EQ(status(pool), "{ 1, 0, 1, 0, 0 }");
    EXPECT_TRUE(sw_thrd_isAlive(start(b)) && status(pool) == "{ 1, 1, 0, 0, 0 }") << status(pool);
}

// While a free waits for a busy worker (without limit, or with a time-out its call ends within), the
// worker counts as sick, and an allocation neither reuses it (it is idle for a moment when its call
// ends) nor destroys it; then it is back, idle, and reused. Given back busy with time-out 0, a worker is
// destroyed outside the pool's mutex: meanwhile (it waits at its gate, where the cancel cannot land) it
// is sick and already killed, and an allocation does not destroy it again; then its slot is empty.
TEST_F(SwPool, AllocLeavesAWorkerThatAFreeWaitsForOrDestroys) {
    for (const int timeout : {-1, 20000, 0}) {
        a.hold = timeout != 0;
        if (timeout == 0) a.gate.lock();
        void* h = start(a);
        std::thread freer([&] { sw_thrdpool_free(pool, h, timeout); });
        const std::string sick = timeout == 0 ? "{ 1, 0, 0, 1, 1 }" : "{ 1, 0, 0, 1, 0 }";
        ASSERT_TRUE(wait_for([&] { return status(pool) == sick; }));
        sw_thrdpool_free(pool, h, 0);  // being given back already: ignored
        EXPECT_TRUE(alloc(b) == nullptr && status(pool) == sick);
        a.hold = timeout == 0;
        if (timeout == 0) a.gate.unlock();
        freer.join();
        EXPECT_EQ(status(pool), timeout == 0 ? "{ 1, 0, 1, 0, 1 }" : "{ 1, 0, 1, 0, 0 }");
        void* next = start(b);
        EXPECT_TRUE(next != nullptr && (timeout == 0 || next == h)) << timeout;
        sw_thrdpool_free(pool, next, 20000);
    }
}

// A free that pauses a worker between its look at the pause flag and its busy flag (held there through
// the loop's seam) finds it not busy and pools it; reused at once, it still waits for its resume before
// the new procedure runs.
TEST_F(SwPool, AWorkerGivenBackMidCycleWaitsForItsResume) {
    static std::atomic<int> held{0};  // 1: hold the next cycle, 2: holding it, 0: let go
    sw_hook_setThrdCycle([](void*) {
        int hold = 1;
        if (held.compare_exchange_strong(hold, 2))
            while (held == 2) sw_thrd_delay(1);
    });
    a.result = 1;
    void* h = start(a);
    held = 1;
    ASSERT_TRUE(wait_for([] { return held == 2; }));
    sw_thrdpool_free(pool, h, 0);
    EXPECT_EQ(alloc(b), h);
    held = 0;
    sw_thrd_delay(50);
    EXPECT_EQ(b.calls, 0);
    sw_thrd_resume(h);
    EXPECT_TRUE(wait_for([&] { return b.calls > 0; }));
    sw_hook_setThrdCycle(nullptr);
}

// Four threads allocate, run and free workers with mixed procedures and time-outs (-1 to 30 ms); at the end
// all are back, none sick.
TEST(SwPoolStress, ConcurrentAllocAndFree) {
    void* pool = sw_thrdpool_create2(3, 0, 1 << 20);
    static std::atomic<int> calls{0};
    // Calls that end the thread, come back to back, or wait 1 ms between calls.
    const PThrdProc proc = [](unsigned long, unsigned long kind) {
        return ++calls, sw_thrd_delay(static_cast<int>(kind)), static_cast<int>(kind) - 1;
    };
    std::vector<std::thread> users;
    StdoutCapture cap;  // full-pool lines are expected
    for (unsigned u = 0; u < 4; ++u) {
        users.emplace_back([&, rng = std::mt19937(u)]() mutable {
            for (const double until = mono_ms() + 1500; mono_ms() < until;) {
                void* h = sw_thrdpool_alloc(pool, proc, 0, rng() % 3, static_cast<int>(rng() % 32) - 1);
                sw_thrd_resume(h), sw_thrd_delay(rng() % 4),
                    sw_thrdpool_free(pool, h, static_cast<int>(rng() % 32) - 1);
            }
        });
    }
    for (std::thread& t : users) t.join();
    cap.finish();
    EXPECT_TRUE(calls > 3 && status(pool).rfind("{ 3, 0, 3, 0, ", 0) == 0) << status(pool);
    sw_thrdpool_destroy(pool, 5000);
}

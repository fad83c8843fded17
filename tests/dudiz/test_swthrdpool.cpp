// swthrdpool: slots, reuse of idle workers, sick workers waited for or killed, status counts, the
// races between a free that waits for or destroys a worker and concurrent allocations, and a
// stress run of many threads allocating and freeing at once.
#include "swthrdpool.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/forked.h"
#include "support/stdout_capture.h"
#include "support/waitfor.h"

namespace {

constexpr int kStack = 1 << 20;

// What a job records; its address travels as wParam.
struct Job {
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
    std::atomic<bool> release{true};  // the procedure keeps running (sleeping) while clear
    std::atomic<int> result{1000};
    std::mutex gate;  // held by the test to stop the procedure where it cannot be cancelled
};

unsigned long arg(Job* j) {
    return reinterpret_cast<unsigned long>(j);
}

int run_job(unsigned long w, unsigned long) {
    auto* j = reinterpret_cast<Job*>(w);
    j->inside = true;
    ++j->calls;
    while (!j->release.load()) sw_thrd_delay(1);
    j->inside = false;
    return j->result.load();
}

// Blocks on the gate first (not a cancellation point), then runs as run_job.
int gated_job(unsigned long w, unsigned long l) {
    auto* j = reinterpret_cast<Job*>(w);
    j->inside = true;
    { const std::lock_guard<std::mutex> g(j->gate); }
    return run_job(w, l);
}

struct Status {
    int max = -1, allocated = -1, idle = -1, sick = -1, killed = -1;
    bool operator==(const Status& o) const {
        return max == o.max && allocated == o.allocated && idle == o.idle && sick == o.sick && killed == o.killed;
    }
};

std::ostream& operator<<(std::ostream& os, const Status& s) {
    return os << "{max " << s.max << ", allocated " << s.allocated << ", idle " << s.idle << ", sick " << s.sick
              << ", killed " << s.killed << "}";
}

Status status_of(void* pool) {
    Status s;
    sw_thrdpool_get_status(pool, &s.max, &s.allocated, &s.idle, &s.sick, &s.killed);
    return s;
}

std::string name_of(void* h) {
    char buf[32] = {};
    return sw_thrd_getName(h, buf) == buf ? std::string(buf) : std::string("<null>");
}

// The whole line of `text` around position `at`.
std::string line_of(const std::string& text, size_t at) {
    const size_t begin = text.rfind('\n', at);
    const size_t from = begin == std::string::npos ? 0 : begin + 1;
    return text.substr(from, text.find('\n', at) - from);
}

class PoolTest : public ::testing::Test {
protected:
    void make(int slots) { ASSERT_NE(pool_ = sw_thrdpool_create2(slots, 0, kStack), nullptr); }
    void TearDown() override {
        for (Job* j : {&a_, &b_}) {
            j->release = true;
            j->result = -1;  // the last call that a destroy brings about then ends at once
        }
        sw_thrdpool_destroy(pool_, 5000);
    }
    // Allocates a worker for `j`, resumes it and waits until its procedure has been entered.
    void* start(Job* j, PThrdProc proc = run_job) {
        const int before = j->calls.load();
        void* h = sw_thrdpool_alloc(pool_, proc, arg(j), 0, 1000);
        if (h == nullptr) return nullptr;
        sw_thrd_resume(h);
        return wait_for([&] { return j->inside.load() || j->calls.load() > before; }) ? h : nullptr;
    }
    void* pool_ = nullptr;
    Job a_, b_;
};

}  // namespace

TEST(ThrdPool, RefusesBadSizes) {
    EXPECT_EQ(sw_thrdpool_create2(0, 0, kStack), nullptr);
    EXPECT_EQ(sw_thrdpool_create2(-3, 0, kStack), nullptr);
    sw_thrdpool_destroy(nullptr, 0);
    EXPECT_EQ(sw_thrdpool_alloc(nullptr, run_job, 0, 0, 0), nullptr);
    sw_thrdpool_free(nullptr, nullptr, 0);
    sw_thrdpool_printf(nullptr);
    Status s;
    sw_thrdpool_get_status(nullptr, &s.max, &s.allocated, &s.idle, &s.sick, &s.killed);
    EXPECT_EQ(s, Status{});
}

// Slot counts whose block would exceed INT_MAX bytes are refused before anything is allocated; on
// 32 bits 858993460 slots of 5 bytes wrap around to a few bytes when multiplied unchecked. Run in a
// child with the address space limited, so that a wrong huge allocation fails instead of swapping.
TEST(ThrdPool, RefusesSizesThatDoNotFit) {
    expect_passes_in_child([] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        struct rlimit rl {};
        rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(3) << 30;
        ASSERT_EQ(setrlimit(RLIMIT_AS, &rl), 0);
#endif
        for (const int max : {INT_MAX, INT_MAX / 2, INT_MAX / 4, 858993460, 477218589}) {
            EXPECT_EQ(sw_thrdpool_create2(max, 0, kStack), nullptr) << max;
        }
    });
}

TEST_F(PoolTest, NewPoolHasOnlyIdleSlots) {
    make(2);
    EXPECT_EQ(status_of(pool_), (Status{2, 0, 2, 0, 0}));
}

// The first worker is slot 0's, paused with the procedure set; once given back idle it is reused.
TEST_F(PoolTest, AllocCreatesThenReusesWorkers) {
    make(2);
    void* h = sw_thrdpool_alloc(pool_, run_job, arg(&a_), 7, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(name_of(h), "thread0");
    EXPECT_TRUE(sw_thrd_isAlive(h));
    EXPECT_FALSE(sw_thrd_isRunning(h));
    PThrdProc proc = nullptr;
    unsigned long w = 0, l = 0;
    sw_thrd_getProc(h, &proc, &w, &l);
    EXPECT_EQ(proc, run_job);
    EXPECT_EQ(w, arg(&a_));
    EXPECT_EQ(l, 7UL);
    EXPECT_EQ(status_of(pool_), (Status{2, 1, 1, 0, 0}));
    sw_thrd_resume(h);
    ASSERT_TRUE(wait_for([&] { return a_.calls.load() == 1 && !sw_thrd_isBusy(h); }));

    sw_thrdpool_free(pool_, h, 1000);
    EXPECT_EQ(status_of(pool_), (Status{2, 0, 2, 0, 0}));
    void* again = sw_thrdpool_alloc(pool_, run_job, arg(&b_), 9, 0);
    EXPECT_EQ(again, h);
    sw_thrd_getProc(again, &proc, &w, &l);
    EXPECT_EQ(w, arg(&b_));
    EXPECT_EQ(l, 9UL);
    sw_thrd_resume(again);
    EXPECT_TRUE(wait_for([&] { return b_.calls.load() == 1; }));
    EXPECT_EQ(a_.calls.load(), 1);

    void* second = sw_thrdpool_alloc(pool_, run_job, arg(&a_), 0, 0);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, h);
    EXPECT_EQ(name_of(second), "thread1");
    EXPECT_EQ(status_of(pool_), (Status{2, 2, 0, 0, 0}));
}

TEST_F(PoolTest, FullPoolRefusesAndLogsErrorThenStatus) {
    make(2);
    ASSERT_NE(sw_thrdpool_alloc(pool_, run_job, arg(&a_), 0, 0), nullptr);
    ASSERT_NE(sw_thrdpool_alloc(pool_, run_job, arg(&b_), 0, 0), nullptr);
    StdoutCapture cap;
    EXPECT_EQ(sw_thrdpool_alloc(pool_, run_job, arg(&a_), 0, 0), nullptr);
    const std::string out = cap.finish();
    char expectError[128], expectStatus[128];
    (void)snprintf(expectError, sizeof expectError, "sorry, alloc thread fail, because %p thread pool is full!!", pool_);
    (void)snprintf(expectStatus, sizeof expectStatus, "%p thread pool(2): allocated=2, idle=0, sick=0, killed=0", pool_);
    const size_t err = out.find(expectError);
    const size_t st = out.find(expectStatus);
    ASSERT_NE(err, std::string::npos) << out;
    ASSERT_NE(st, std::string::npos) << out;
    EXPECT_LT(err, st);
    EXPECT_EQ(line_of(out, err).find("[error]"), 22U) << out;  // after the time stamp
    EXPECT_EQ(line_of(out, st).find("[info]"), 22U) << out;
}

// Time-out 0 on a busy worker destroys it at once; the slot is empty and the kill counted.
TEST_F(PoolTest, FreeWithoutTimeoutKillsARunningWorker) {
    make(2);
    a_.release = false;
    void* h = start(&a_);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(status_of(pool_), (Status{2, 1, 1, 0, 0}));
    const double t0 = mono_ms();
    sw_thrdpool_free(pool_, h, 0);
    EXPECT_LT(mono_ms() - t0, 3000.0);
    EXPECT_EQ(status_of(pool_), (Status{2, 0, 2, 0, 1}));
    EXPECT_TRUE(a_.inside.load());  // it never left its call: cancelled inside
    // The slot gets a new worker of the same name.
    b_.result = 1000;
    void* fresh = start(&b_);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(name_of(fresh), "thread0");
}

// A worker whose call ends within the polling window stays and is reused; nothing is killed.
TEST_F(PoolTest, FreeWaitsForACallThatEndsInTime) {
    make(2);
    a_.release = false;
    void* h = start(&a_);
    ASSERT_NE(h, nullptr);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        a_.release = true;
    });
    sw_thrdpool_free(pool_, h, 2000);
    releaser.join();
    EXPECT_FALSE(sw_thrd_isBusy(h));
    EXPECT_EQ(status_of(pool_), (Status{2, 0, 2, 0, 0}));
    EXPECT_EQ(sw_thrdpool_alloc(pool_, run_job, arg(&b_), 0, 0), h);
}

// While a free polls a busy worker, the worker counts as sick, and an allocation neither reuses it
// (it is idle for a moment when its call ends) nor destroys it as a sick worker.
TEST_F(PoolTest, AllocLeavesAWorkerThatAFreeWaitsFor) {
    make(1);
    a_.release = false;
    void* h = start(&a_);
    ASSERT_NE(h, nullptr);
    std::atomic<bool> freed{false};
    std::thread freer([&] {
        sw_thrdpool_free(pool_, h, -1);
        freed = true;
    });
    ASSERT_TRUE(wait_for([&] { return status_of(pool_).sick == 1; }));
    EXPECT_EQ(status_of(pool_), (Status{1, 0, 0, 1, 0}));
    {
        StdoutCapture cap;
        EXPECT_EQ(sw_thrdpool_alloc(pool_, run_job, arg(&b_), 0, 0), nullptr);
        (void)cap.finish();
    }
    EXPECT_EQ(status_of(pool_), (Status{1, 0, 0, 1, 0}));
    EXPECT_FALSE(freed.load());
    a_.release = true;
    freer.join();
    EXPECT_EQ(status_of(pool_), (Status{1, 0, 1, 0, 0}));
    EXPECT_EQ(sw_thrdpool_alloc(pool_, run_job, arg(&b_), 0, 0), h);
}

// A worker freed with time-out 0 is destroyed outside the pool's mutex: meanwhile it counts as sick
// and killed, and an allocation does not destroy it a second time.
TEST_F(PoolTest, AllocLeavesAWorkerThatAFreeDestroys) {
    make(1);
    std::unique_lock<std::mutex> gate(a_.gate);
    void* h = start(&a_, gated_job);
    ASSERT_NE(h, nullptr);
    std::thread freer([&] { sw_thrdpool_free(pool_, h, 0); });
    // The cancel cannot take effect while the procedure waits at the gate.
    ASSERT_TRUE(wait_for([&] { return status_of(pool_).killed == 1; }));
    EXPECT_EQ(status_of(pool_), (Status{1, 0, 0, 1, 1}));
    {
        StdoutCapture cap;
        EXPECT_EQ(sw_thrdpool_alloc(pool_, run_job, arg(&b_), 0, 0), nullptr);
        (void)cap.finish();
    }
    gate.unlock();
    a_.release = false;  // after the gate it sleeps, so the cancel lands
    freer.join();
    EXPECT_EQ(status_of(pool_), (Status{1, 0, 1, 0, 1}));
    void* fresh = start(&b_);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(name_of(fresh), "thread0");
}

// A worker whose thread ended by itself stays the caller's until given back (an allocation must
// not replace it under the caller's hands); given back, it is replaced by a new thread.
TEST_F(PoolTest, WorkerThatEndedItselfIsReplacedOnceGivenBack) {
    make(1);
    a_.result = -1;
    void* h = start(&a_);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(wait_for([&] { return !sw_thrd_isAlive(h); }));
    EXPECT_EQ(status_of(pool_), (Status{1, 1, 0, 0, 0}));
    {
        StdoutCapture cap;
        EXPECT_EQ(sw_thrdpool_alloc(pool_, run_job, arg(&b_), 0, 0), nullptr);
        (void)cap.finish();
    }
    char name[32] = {};
    EXPECT_STREQ(sw_thrd_getName(h, name), "thread0");  // still the same, untouched object
    sw_thrdpool_free(pool_, h, 1000);
    EXPECT_EQ(status_of(pool_), (Status{1, 0, 1, 0, 0}));
    sw_thrdpool_free(pool_, h, 1000);  // given back twice: ignored
    EXPECT_EQ(status_of(pool_), (Status{1, 0, 1, 0, 0}));
    void* fresh = start(&b_);
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(sw_thrd_isAlive(fresh));
    EXPECT_EQ(name_of(fresh), "thread0");
    EXPECT_EQ(status_of(pool_), (Status{1, 1, 0, 0, 0}));
}

TEST_F(PoolTest, FreeIgnoresForeignThreads) {
    make(1);
    void* foreign = sw_thrd_create("foreign", 0, kStack, run_job, arg(&a_), 0);
    ASSERT_NE(foreign, nullptr);
    void* h = sw_thrdpool_alloc(pool_, run_job, arg(&b_), 0, 0);
    ASSERT_NE(h, nullptr);
    sw_thrdpool_free(pool_, foreign, 0);
    sw_thrdpool_free(pool_, nullptr, 0);
    EXPECT_EQ(status_of(pool_), (Status{1, 1, 0, 0, 0}));
    PThrdProc proc = nullptr;
    sw_thrd_getProc(foreign, &proc, nullptr, nullptr);
    EXPECT_EQ(proc, run_job);
    a_.result = -1;
    sw_thrd_destroy(foreign, 1000);
}

// Several threads allocate, run and free workers with mixed time-outs while another watches the
// status; the counts must always add up and killed never shrink. Meant for ThreadSanitizer.
TEST(ThrdPoolStress, ConcurrentAllocAndFree) {
    constexpr int kSlots = 3, kUsers = 4;
    constexpr double kRunMs = 3000.0;
    void* pool = sw_thrdpool_create2(kSlots, 0, kStack);
    ASSERT_NE(pool, nullptr);
    std::atomic<int> calls{0}, handedOut{0};
    std::atomic<bool> stop{false}, broken{false};
    const PThrdProc procs[] = {
        [](unsigned long w, unsigned long) { ++*reinterpret_cast<std::atomic<int>*>(w); sw_thrd_delay(2); return 1; },
        [](unsigned long w, unsigned long) { ++*reinterpret_cast<std::atomic<int>*>(w); sw_thrd_delay(1); return 0; },
        [](unsigned long w, unsigned long) { ++*reinterpret_cast<std::atomic<int>*>(w); return -1; },
    };
    std::vector<std::thread> users;
    StdoutCapture cap;  // full-pool messages are expected here
    for (int u = 0; u < kUsers; ++u) {
        users.emplace_back([&, u] {
            std::mt19937 rng(static_cast<unsigned>(u) * 7919U + 1U);
            const int timeouts[] = {0, 1, 5, 30, -1};
            while (!stop.load()) {
                void* h = sw_thrdpool_alloc(pool, procs[rng() % 3], reinterpret_cast<unsigned long>(&calls), 0,
                                            timeouts[rng() % 5]);
                if (h == nullptr) {
                    sw_thrd_delay(1);
                    continue;
                }
                ++handedOut;
                sw_thrd_resume(h);
                sw_thrd_delay(static_cast<int>(rng() % 4));
                sw_thrdpool_free(pool, h, timeouts[rng() % 5]);
            }
        });
    }
    std::thread watcher([&] {
        int lastKilled = 0;
        while (!stop.load()) {
            const Status s = status_of(pool);
            if (s.allocated + s.idle + s.sick != kSlots || s.allocated > kSlots || s.killed < lastKilled) broken = true;
            lastKilled = s.killed;
            sw_thrd_delay(1);
        }
    });
    const double until = mono_ms() + kRunMs;
    while (mono_ms() < until && !broken.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (std::thread& t : users) t.join();
    watcher.join();
    (void)cap.finish();
    EXPECT_FALSE(broken.load());
    EXPECT_GT(handedOut.load(), kSlots);
    EXPECT_GT(calls.load(), 0);
    const Status end = status_of(pool);
    EXPECT_EQ(end.allocated, 0);
    EXPECT_EQ(end.sick, 0);
    sw_thrdpool_destroy(pool, 5000);
}

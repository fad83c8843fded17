// Cost of running one short job on a pool worker beside running it on a new thread object:
//  - pool: sw_thrdpool_alloc of the idle worker + sw_thrd_resume + the job's call + sw_thrdpool_free;
//  - peer: sw_thrd_create + sw_thrd_resume + the job's call + sw_thrd_destroy.
// Both wait for the job to have run, so each cycle does the same work. Goal: the pool's cycle at
// least 10x faster.
//
// After the usual table the program prints each figure beside its peer with the ratio and whether
// the goal is met. Extra arguments are Google Benchmark's own.

#include <benchmark/benchmark.h>

#include <thread>

#include "support/ratio_summary.h"
#include "swsignal.h"
#include "swthrd.h"
#include "swthrdpool.h"

namespace {

constexpr int kStack = 1 << 20;

// Given by the job; the benchmark's thread sleeps on it rather than spin beside the worker.
void* g_done = nullptr;

// The job: reports itself, then parks its thread until the next resume.
int job(unsigned long, unsigned long) {
    sw_signal_give(g_done);
    return 1000;
}

// Waits until the job has run and its call has returned.
void wait_job(void* h) {
    (void)sw_signal_wait(g_done, -1);
    while (sw_thrd_isBusy(h)) std::this_thread::yield();
}

void BM_PoolCycle(benchmark::State& state) {
    void* pool = sw_thrdpool_create2(1, 0, kStack);
    void* warm = pool == nullptr ? nullptr : sw_thrdpool_alloc(pool, job, 0, 0, -1);
    if (warm == nullptr) {
        state.SkipWithError("cannot create the pool's worker");
        sw_thrdpool_destroy(pool, -1);
        return;
    }
    sw_thrdpool_free(pool, warm, -1);
    for (auto _ : state) {
        void* h = sw_thrdpool_alloc(pool, job, 0, 0, -1);
        sw_thrd_resume(h);
        wait_job(h);
        sw_thrdpool_free(pool, h, -1);
    }
    state.SetItemsProcessed(state.iterations());
    sw_thrdpool_destroy(pool, -1);
}

void BM_ThreadCycle(benchmark::State& state) {
    for (auto _ : state) {
        void* h = sw_thrd_create("bench", 0, kStack, job, 0, 0);
        if (h == nullptr) {
            state.SkipWithError("cannot create a thread object");
            return;
        }
        sw_thrd_resume(h);
        wait_job(h);
        sw_thrd_destroy(h, -1);
    }
    state.SetItemsProcessed(state.iterations());
}

struct Figure {
    static constexpr const char* kLabel = "one job per cycle";
    static constexpr const char* kOurs = "pool_alloc_resume_free";
    static constexpr const char* kPeer = "thread_create_resume_destroy";
    static constexpr double kGoal = 10.0;
    static constexpr bool kTimePerItem = true;
};

void register_benchmarks() {
    benchmark::RegisterBenchmark("pool_alloc_resume_free", BM_PoolCycle)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(1.0)
        ->Repetitions(3);
    benchmark::RegisterBenchmark("thread_create_resume_destroy", BM_ThreadCycle)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(1.0)
        ->Repetitions(3);
}

}  // namespace

int main(int argc, char** argv) {
    g_done = sw_signal_create();
    if (g_done == nullptr) return 1;
    return run_benchmarks_with_summary<RatioSummaryReporter<Figure>>(argc, argv, register_benchmarks);
}

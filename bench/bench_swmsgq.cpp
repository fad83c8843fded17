// Message throughput of the message queue beside GLib's GAsyncQueue: one writer thread (the
// benchmark's) and one reader thread that waits without limit (sw_msgq_read(h, ..., -1) beside
// g_async_queue_pop). Our queue drops its oldest message when full, so both writers keep at most
// 63 messages in flight (the queue's capacity), counted by two atomics: the figure is the rate at
// which messages pass, not the rate at which they can be thrown away. Goal: at least 1.0x GLib.
//
// After the usual table the program prints each figure beside its peer with the ratio and whether
// the goal is met. Extra arguments are Google Benchmark's own.

#include <benchmark/benchmark.h>
#include <glib.h>

#include <atomic>
#include <thread>

#include "support/ratio_summary.h"
#include "swmsgq.h"

namespace {

constexpr int kInFlight = 63;  // the largest capacity of our queue
constexpr int kStop = -1;

// Counts of messages posted and taken; the writer waits while the difference reaches kInFlight.
struct Flow {
    std::atomic<long> taken{0};
    long posted = 0;
    void before_post() {
        while (posted - taken.load(std::memory_order_acquire) >= kInFlight) std::this_thread::yield();
        ++posted;
    }
};

struct SwQueue {
    void* h = sw_msgq_create(kInFlight);
    ~SwQueue() { sw_msgq_destroy(h); }
    bool ok() const { return h != nullptr; }
    void post(int v) { (void)sw_msgq_post(h, v, 0, 0); }
    int take() {
        int v = kStop;
        return sw_msgq_read(h, &v, nullptr, nullptr, -1) == 0 ? v : kStop;
    }
};

struct GlibQueue {
    GAsyncQueue* q = g_async_queue_new();
    ~GlibQueue() { g_async_queue_unref(q); }
    bool ok() const { return q != nullptr; }
    // GAsyncQueue refuses NULL items, so values travel shifted by one.
    void post(int v) { g_async_queue_push(q, GINT_TO_POINTER(v + 2)); }
    int take() { return GPOINTER_TO_INT(g_async_queue_pop(q)) - 2; }
};

template <class Queue>
void BM_Throughput(benchmark::State& state) {
    Queue q;
    if (!q.ok()) {
        state.SkipWithError("cannot create the queue");
        return;
    }
    Flow flow;
    std::thread reader([&] {
        while (q.take() != kStop) flow.taken.fetch_add(1, std::memory_order_release);
    });
    int v = 0;
    for (auto _ : state) {
        flow.before_post();
        q.post(v);
        v = (v + 1) & 0xffff;
    }
    q.post(kStop);
    reader.join();
    state.SetItemsProcessed(state.iterations());
}

struct Figure {
    static constexpr const char* kLabel = "messages/s, 2 threads";
    static constexpr const char* kOurs = "swmsgq";
    static constexpr const char* kPeer = "GAsyncQueue";
    static constexpr double kGoal = 1.0;
    static constexpr bool kTimePerItem = false;
};

void register_benchmarks() {
    // Repeated, and the medians compared, since the figures swing with the load of the machine.
    benchmark::RegisterBenchmark("swmsgq", BM_Throughput<SwQueue>)->UseRealTime()->MinTime(0.5)->Repetitions(5);
    benchmark::RegisterBenchmark("GAsyncQueue", BM_Throughput<GlibQueue>)->UseRealTime()->MinTime(0.5)->Repetitions(5);
}

}  // namespace

int main(int argc, char** argv) {
    return run_benchmarks_with_summary<RatioSummaryReporter<Figure>>(argc, argv, register_benchmarks);
}

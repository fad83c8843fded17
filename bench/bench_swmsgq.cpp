// Message throughput of the message queue between two threads: the benchmark's thread posts as fast
// as it can and a reader thread takes every message, beside a peer doing the same.
//  - The reader waits without limit (sw_msgq_read(h, ..., -1)) beside GLib's GAsyncQueue
//    (g_async_queue_pop). Goal: at least 1.0x GLib.
//  - The reader waits with a time-out (sw_msgq_read(h, ..., 1000)) beside a std::mutex +
//    std::condition_variable + std::deque queue whose reader waits with the same time-out
//    (wait_for). Goal: at least 0.5x.
// Our queue drops its oldest message when full, so every writer keeps at most 63 messages in flight
// (the queue's largest capacity), counted by two atomics: the figure is the rate at which messages
// pass, not the rate at which they can be thrown away, and no queue ever drops one.
//
// Short runs of ours and the peer alternate, so that a change of machine load in the middle of the
// program (other programs share its two cores) falls on both alike; the summary compares the
// medians and takes the median of the pairs' ratios as the figure's ratio.
// Extra arguments are Google Benchmark's own.

#include <benchmark/benchmark.h>
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_main.h"
#include "swmsgq.h"

namespace {

constexpr int kInFlight = 63;  // the largest capacity of our queue
constexpr int kStop = -1;
constexpr int kTimeoutMs = 1000;  // the timed reader's limit: far longer than any gap between posts
constexpr int kPairs = 9;
constexpr double kMinTime = 0.2;  // seconds per run

// Counts of messages posted and taken; the writer waits while the difference reaches kInFlight.
struct Flow {
    std::atomic<long> taken{0};
    long posted = 0;
    void before_post() {
        while (posted - taken.load(std::memory_order_acquire) >= kInFlight) std::this_thread::yield();
        ++posted;
    }
};

template <int Timeout>
struct SwQueue {
    void* h = sw_msgq_create(kInFlight);
    ~SwQueue() { sw_msgq_destroy(h); }
    bool ok() const { return h != nullptr; }
    void post(int v) { (void)sw_msgq_post(h, v, 0, 0); }
    int take() {
        int v = kStop;
        return sw_msgq_read(h, &v, nullptr, nullptr, Timeout) == 0 ? v : kStop;
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

// The queue a C++ programmer writes first, its reader waiting with a time-out as ours does.
struct StdQueue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<int> d;  // guarded by m
    bool ok() const { return true; }
    void post(int v) {
        {
            const std::lock_guard<std::mutex> lock(m);
            d.push_back(v);
        }
        cv.notify_one();
    }
    int take() {
        std::unique_lock<std::mutex> lock(m);
        const auto limit = std::chrono::milliseconds(kTimeoutMs);
        if (!cv.wait_for(lock, limit, [this] { return !d.empty(); })) return kStop;
        const int v = d.front();
        d.pop_front();
        return v;
    }
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

// One goal: our run and the peer's, registered as "<ours>/<k>" and "<peer>/<k>" for each pair k.
struct Goal {
    const char* label;
    const char* ours;
    const char* peer;
    double goal;  // our rate over the peer's, at least
    void (*runOurs)(benchmark::State&);
    void (*runPeer)(benchmark::State&);
};

const Goal kGoals[] = {
    {"messages/s, 2 threads, reader without time-out", "swmsgq", "GAsyncQueue", 1.0,
     BM_Throughput<SwQueue<-1>>, BM_Throughput<GlibQueue>},
    {"messages/s, 2 threads, reader with a time-out", "swmsgq_timed", "std::mutex+condition_variable+deque",
     0.5, BM_Throughput<SwQueue<kTimeoutMs>>, BM_Throughput<StdQueue>},
};

std::string run_name(const char* kind, int k) {
    return std::string(kind) + "/" + std::to_string(k);
}

class SummaryReporter : public RateCollectingReporter {
public:
    explicit SummaryReporter(OutputOptions opts) : RateCollectingReporter(opts) {}

    void Finalize() override {
        std::ostream& os = GetOutputStream();
        os << bench_text(
            "\nMessages per second, medians of up to %d alternating runs; ratio = the median over the "
            "pairs of our rate / the peer's\n",
            kPairs);
        os << bench_text("%-48s %-36s %12s %12s %8s %6s %s\n", "figure", "peer", "ours", "peer", "ratio",
                         "goal", "verdict");
        for (const Goal& g : kGoals) {
            std::vector<double> ours, peer, ratios;
            for (int k = 0; k < kPairs; ++k) {
                const double o = rate(run_name(g.ours, k)), p = rate(run_name(g.peer, k));
                if (o <= 0.0 || p <= 0.0) continue;
                ours.push_back(o);
                peer.push_back(p);
                ratios.push_back(o / p);
            }
            const bool ran = !ratios.empty();
            const double r = bench_median(ratios);
            const bool met = ran && r >= g.goal;
            if (ran) {
                os << bench_text("%-48s %-36s %12.0f %12.0f %7.2fx %5.1fx %s\n", g.label, g.peer,
                                 bench_median(ours), bench_median(peer), r, g.goal, met ? "met" : "MISSED");
            } else {
                os << bench_text("%-48s %-36s %12s %12s %8s\n", g.label, g.peer, "-", "-", "-");
            }
            report_ratio_goal(bench_text("%s: swmsgq vs %s (ratio: median over %zu alternating pairs)",
                                         g.label, g.peer, ratios.size()),
                              ran, bench_text("%.0f/s", bench_median(ours)), bench_text("%.0f/s", bench_median(peer)), r,
                              ">=", g.goal, met);
        }
        os.flush();
        ConsoleReporter::Finalize();
    }
};

void register_benchmarks() {
    for (const Goal& g : kGoals) {
        for (int k = 0; k < kPairs; ++k) {
            benchmark::RegisterBenchmark(run_name(g.ours, k).c_str(), g.runOurs)
                ->UseRealTime()
                ->MinTime(kMinTime);
            benchmark::RegisterBenchmark(run_name(g.peer, k).c_str(), g.runPeer)
                ->UseRealTime()
                ->MinTime(kMinTime);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    return run_benchmarks_with_summary<SummaryReporter>(argc, argv, register_benchmarks);
}

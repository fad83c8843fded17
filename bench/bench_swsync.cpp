// Cost of the library's lock and event primitives beside the raw POSIX calls they wrap:
//  - sw_mutex_lock(h, -1) + sw_mutex_unlock, uncontended, beside pthread_mutex_lock + unlock on a
//    default mutex (goal: at most 1.2x the time), in a process that has a second thread;
//  - wake-up latency of sw_signal_give to a thread blocked in sw_signal_wait(h, -1), beside
//    sem_post to a thread blocked in sem_wait (goal: p50 at most 1.5x).
// The latency is measured per wake-up on the monotonic clock in a ping-pong between two threads:
// the giver notes the time and gives; the woken thread notes the time at once and answers on a
// second semaphore. Before each give the giver lets the other thread settle into its wait, so every
// round is a real wake-up from the kernel rather than a count taken in passing.
//
// After the usual table the program prints each figure beside its peer with the ratio and whether
// the goal is met. Extra arguments are Google Benchmark's own.

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_main.h"
#include "swmutex.h"
#include "swsignal.h"

namespace {

constexpr double kGoalMutex = 1.2;    // ours / peer, time per lock+unlock
constexpr double kGoalWakeP50 = 1.5;  // ours / peer, median wake-up latency
constexpr int kWakeRounds = 20000;
// Long enough for the woken thread to answer and block again in its next wait.
constexpr std::chrono::microseconds kSettle(60);

double now_ns() {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// glibc locks a default mutex without atomic instructions while the process has only one thread.
// No user of a lock library runs like that, so the figures that count are taken with a second
// thread present (parked on a semaphore for the run); the one-thread figures are shown beside them.
// Once a process has had a second thread glibc never takes the shortcut again, so the one-thread
// runs are registered first.
class SecondThread {
public:
    SecondThread() {
        (void)sem_init(&park_, 0, 0);
        th_ = std::thread([this] { (void)sem_wait(&park_); });
    }
    ~SecondThread() {
        (void)sem_post(&park_);
        th_.join();
        (void)sem_destroy(&park_);
    }
    SecondThread(const SecondThread&) = delete;
    SecondThread& operator=(const SecondThread&) = delete;

private:
    sem_t park_{};
    std::thread th_;
};

enum class Lock { kSwMutex, kPthreadDefault, kPthreadErrorCheck };

void BM_Mutex(benchmark::State& state, Lock kind, bool withSecondThread) {
    std::unique_ptr<SecondThread> second;
    if (withSecondThread) second = std::make_unique<SecondThread>();
    if (kind == Lock::kSwMutex) {
        void* h = sw_mutex_create();
        if (h == nullptr) {
            state.SkipWithError("sw_mutex_create failed");
            return;
        }
        for (auto _ : state) {
            benchmark::DoNotOptimize(sw_mutex_lock(h, -1));
            sw_mutex_unlock(h);
        }
        state.SetItemsProcessed(state.iterations());
        sw_mutex_destroy(h);
        return;
    }
    pthread_mutexattr_t attr;
    pthread_mutex_t m;
    (void)pthread_mutexattr_init(&attr);
    if (kind == Lock::kPthreadErrorCheck) (void)pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    (void)pthread_mutex_init(&m, &attr);
    (void)pthread_mutexattr_destroy(&attr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pthread_mutex_lock(&m));
        (void)pthread_mutex_unlock(&m);
    }
    state.SetItemsProcessed(state.iterations());
    (void)pthread_mutex_destroy(&m);
}

// The two event primitives behind one face, so both run the very same ping-pong.
struct SwEvent {
    void* h = sw_signal_create();
    ~SwEvent() {
        if (h != nullptr) sw_signal_destroy(h);
    }
    bool ok() const { return h != nullptr; }
    void give() { sw_signal_give(h); }
    void wait() { (void)sw_signal_wait(h, -1); }
};

struct RawEvent {
    sem_t s{};
    bool valid = sem_init(&s, 0, 0) == 0;
    ~RawEvent() {
        if (valid) (void)sem_destroy(&s);
    }
    bool ok() const { return valid; }
    void give() { (void)sem_post(&s); }
    void wait() {
        while (sem_wait(&s) != 0 && errno == EINTR) {
        }
    }
};

// Median and 99th percentile of the last completed run of each latency benchmark, in microseconds.
std::map<std::string, std::pair<double, double>> g_latency;

template <class Event>
void BM_WakeLatency(benchmark::State& state, const char* key) {
    Event ping, pong;
    if (!ping.ok() || !pong.ok()) {
        state.SkipWithError("cannot create the events");
        return;
    }
    std::atomic<double> gaveAt{0.0};
    std::atomic<bool> stop{false};
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(state.max_iterations));
    double woke = 0.0;
    std::thread waiter([&] {
        for (;;) {
            ping.wait();
            woke = now_ns();
            if (stop.load()) return;
            pong.give();
        }
    });
    for (auto _ : state) {
        std::this_thread::sleep_for(kSettle);
        gaveAt.store(now_ns());
        ping.give();
        pong.wait();
        const double ns = woke - gaveAt.load();
        lat.push_back(ns);
        state.SetIterationTime(ns / 1e9);
    }
    stop = true;
    ping.give();
    waiter.join();
    if (lat.empty()) return;
    std::sort(lat.begin(), lat.end());
    const double p50 = lat[lat.size() / 2] / 1e3;
    const double p99 = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)] / 1e3;
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    g_latency[key] = {p50, p99};
}

class SummaryReporter : public RateCollectingReporter {
public:
    explicit SummaryReporter(OutputOptions opts) : RateCollectingReporter(opts) {}

    void Finalize() override {
        std::ostream& os = GetOutputStream();
        os << "\nSummary (lower is better; ratio = ours / peer)\n";
        os << bench_text("%-34s %12s %12s %8s %6s %s\n", "figure", "ours", "peer", "ratio", "goal",
                         "verdict");
        row(os, "lock+unlock ns", ns_per_op("2threads/sw_mutex"), ns_per_op("2threads/pthread_mutex"),
            kGoalMutex);
        report("lock+unlock, uncontended: sw_mutex vs pthread_mutex", ns_per_op("2threads/sw_mutex"),
               ns_per_op("2threads/pthread_mutex"), "ns", kGoalMutex);
        row(os, "  same kind (error-checking), info", ns_per_op("2threads/sw_mutex"),
            ns_per_op("2threads/pthread_errorcheck"), 0.0);
        row(os, "  one-thread process, info", ns_per_op("1thread/sw_mutex"),
            ns_per_op("1thread/pthread_mutex"), 0.0);
        const auto sw = g_latency.find("sw_signal");
        const auto raw = g_latency.find("sem");
        const bool both = sw != g_latency.end() && raw != g_latency.end();
        row(os, "wake-up p50 us (give -> wait)", both ? sw->second.first : 0.0,
            both ? raw->second.first : 0.0, kGoalWakeP50);
        report("wake-up latency p50: sw_signal vs sem_post/sem_wait", both ? sw->second.first : 0.0,
               both ? raw->second.first : 0.0, "us", kGoalWakeP50);
        row(os, "wake-up p99 us (for information)", both ? sw->second.second : 0.0,
            both ? raw->second.second : 0.0, 0.0);
        os.flush();
        ConsoleReporter::Finalize();
    }

private:
    // Nanoseconds per lock+unlock of the named run, 0 when it did not run.
    double ns_per_op(const std::string& name) const {
        const double r = rate(name);
        return r > 0.0 ? 1e9 / r : 0.0;
    }

    // One goal row: our time over the peer's, within `goal`.
    static void report(const char* what, double ours, double peer, const char* unit, double goal) {
        const bool ran = ours > 0.0 && peer > 0.0;
        const double r = ran ? ours / peer : 0.0;
        report_ratio_goal(what, ran, bench_text("%.2f %s", ours, unit), bench_text("%.2f %s", peer, unit), r, "<=",
                          goal, r <= goal);
    }

    static void row(std::ostream& os, const char* what, double ours, double peer, double goal) {
        if (ours <= 0.0 || peer <= 0.0) {
            os << bench_text("%-34s %12s %12s %8s\n", what, "-", "-", "-");
        } else {
            const double r = ours / peer;
            char goalText[16] = "-";
            if (goal > 0.0) (void)snprintf(goalText, sizeof goalText, "%.1fx", goal);
            os << bench_text("%-34s %12.2f %12.2f %7.2fx %6s %s\n", what, ours, peer, r, goalText,
                             goal <= 0.0 ? "" : (r <= goal ? "met" : "MISSED"));
        }
    }
};

void register_benchmarks() {
    struct MutexRun {
        const char* name;
        Lock kind;
        bool withSecondThread;
    } const mutexRuns[] = {
        {"1thread/sw_mutex", Lock::kSwMutex, false},
        {"1thread/pthread_mutex", Lock::kPthreadDefault, false},
        {"2threads/sw_mutex", Lock::kSwMutex, true},
        {"2threads/pthread_mutex", Lock::kPthreadDefault, true},
        {"2threads/pthread_errorcheck", Lock::kPthreadErrorCheck, true},
    };
    for (const MutexRun& r : mutexRuns) {
        benchmark::RegisterBenchmark(r.name, BM_Mutex, r.kind, r.withSecondThread)->MinTime(0.5);
    }
    benchmark::RegisterBenchmark("sw_signal", BM_WakeLatency<SwEvent>, "sw_signal")
        ->Iterations(kWakeRounds)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("sem", BM_WakeLatency<RawEvent>, "sem")
        ->Iterations(kWakeRounds)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
    return run_benchmarks_with_summary<SummaryReporter>(argc, argv, register_benchmarks);
}

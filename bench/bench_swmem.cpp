// Alloc+free pairs in the memory container beside glibc malloc/free and a
// std::pmr::synchronized_pool_resource, with 16, 64 and 256 live blocks of 8 to 512 bytes.
//
// Every iteration releases one live block and allocates a new one in its slot. FIFO releases the
// oldest block (a queue of buffers); random releases a slot drawn from a fixed seeded sequence.
// The container runs twice: as built (gap search starting at its hint) and with the hint switched
// off, so that every search starts in front of the first block.
//
// The pool's upstream is a std::pmr::monotonic_buffer_resource over one fixed buffer, itself with
// null_memory_resource() upstream: both allocators then work inside a pre-reserved region and
// neither touches the general heap while measured (a pool that outgrew the buffer would fail with
// bad_alloc, reported as an error of that run).
//
// The program links the static library: the hint switch is internal to it.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory_resource>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "support/bench_main.h"
#include "swmem.h"

extern "C" void sw_mem_setHintUse(bool on);  // measurement switch inside swmem.cpp

namespace {

constexpr int kMinSize = 8;
constexpr int kMaxSize = 512;
constexpr size_t kSeqLen = 1 << 14;  // pre-drawn sizes and victims, cycled
constexpr double kMinTimeSeconds = 0.3;
constexpr int kLiveCounts[] = {16, 64, 256};

// Goals: at 16 and 64 live blocks, the container at least as fast as the pool in both orders and
// at most twice malloc's time in FIFO order.
constexpr double kGoalVsPool = 1.0;
constexpr double kGoalVsMalloc = 0.5;

enum class Order { kFifo, kRandom };
enum class Kind { kSwMem, kSwMemNoHint, kMalloc, kPool };

const char* order_name(Order o) { return o == Order::kFifo ? "fifo" : "random"; }
const char* kind_name(Kind k) {
    switch (k) {
        case Kind::kSwMem: return "swmem";
        case Kind::kSwMemNoHint: return "swmem_nohint";
        case Kind::kMalloc: return "malloc";
        case Kind::kPool: return "pmr_pool";
    }
    return "?";
}

struct Sequence {
    std::vector<int> sizes;
    std::vector<unsigned> victims;
};

Sequence make_sequence(int live) {
    std::mt19937 rng(12345u + static_cast<unsigned>(live));
    std::uniform_int_distribution<int> size(kMinSize, kMaxSize);
    std::uniform_int_distribution<unsigned> victim(0, static_cast<unsigned>(live) - 1);
    Sequence s;
    for (size_t i = 0; i < kSeqLen; ++i) {
        s.sizes.push_back(size(rng));
        s.victims.push_back(victim(rng));
    }
    return s;
}

// The measured loop, the same for every allocator: release one slot's block, allocate anew.
template <class Alloc, class Free>
void churn(benchmark::State& state, int live, Order order, Alloc alloc, Free release) {
    const Sequence seq = make_sequence(live);
    std::vector<void*> slots(static_cast<size_t>(live));
    std::vector<int> sizes(static_cast<size_t>(live));
    for (int k = 0; k < live; ++k) {
        sizes[static_cast<size_t>(k)] = seq.sizes[static_cast<size_t>(k)];
        slots[static_cast<size_t>(k)] = alloc(sizes[static_cast<size_t>(k)]);
    }
    size_t i = 0;
    unsigned fifo = 0;
    for (auto _ : state) {
        const size_t at = i & (kSeqLen - 1);
        unsigned v = 0;
        if (order == Order::kFifo) {
            v = fifo;
            fifo = fifo + 1 == static_cast<unsigned>(live) ? 0 : fifo + 1;
        } else {
            v = seq.victims[at];
        }
        release(slots[v], sizes[v]);
        sizes[v] = seq.sizes[at];
        void* p = alloc(sizes[v]);
        if (p == nullptr) {
            state.SkipWithError("allocation failed");
            break;
        }
        *static_cast<unsigned char*>(p) = static_cast<unsigned char>(i);
        slots[v] = p;
        ++i;
    }
    for (int k = 0; k < live; ++k) release(slots[static_cast<size_t>(k)], sizes[static_cast<size_t>(k)]);
    state.SetItemsProcessed(state.iterations());
}

void BM_Churn(benchmark::State& state, Kind kind, Order order, int live) {
    switch (kind) {
        case Kind::kSwMem:
        case Kind::kSwMemNoHint: {
            // Eight times the largest live footprint, so wrapping round the buffer is part of it.
            std::vector<char> buf(static_cast<size_t>(live) * (kMaxSize + 16) * 8 + 4096);
            void* h = sw_mem_create(buf.data(), static_cast<int>(buf.size()), 8);
            sw_mem_setHintUse(kind == Kind::kSwMem);
            churn(
                state, live, order, [h](int n) { return sw_mem_alloc(h, n, __FILE__, __LINE__); },
                [h](void* p, int) { sw_mem_free(h, p, __FILE__, __LINE__); });
            sw_mem_setHintUse(true);
            sw_mem_destroy(h);
            break;
        }
        case Kind::kMalloc:
            churn(
                state, live, order, [](int n) { return malloc(static_cast<size_t>(n)); },
                [](void* p, int) { free(p); });
            break;
        case Kind::kPool: {
            std::vector<char> buf(size_t{32} << 20);
            std::pmr::monotonic_buffer_resource upstream(buf.data(), buf.size(), std::pmr::null_memory_resource());
            std::pmr::synchronized_pool_resource pool(&upstream);
            try {
                churn(
                    state, live, order, [&pool](int n) { return pool.allocate(static_cast<size_t>(n), 8); },
                    [&pool](void* p, int n) { pool.deallocate(p, static_cast<size_t>(n), 8); });
            } catch (const std::bad_alloc&) {
                state.SkipWithError("pool outgrew its buffer");
            }
            break;
        }
    }
}

std::string run_name(Kind k, Order o, int live) {
    return std::string(order_name(o)) + "/" + std::to_string(live) + "/" + kind_name(k);
}

class SummaryReporter : public RateCollectingReporter {
public:
    explicit SummaryReporter(OutputOptions opts) : RateCollectingReporter(opts) {}

    void Finalize() override {
        std::ostream& os = GetOutputStream();
        os << bench_text(
            "\nns per alloc+free pair (lower is better). Goals at 16 and 64 live: swmem >= %.1fx pool "
            "speed (both orders), >= %.1fx malloc speed (FIFO)\n",
            kGoalVsPool, kGoalVsMalloc);
        os << bench_text("%-7s %5s %8s %8s %8s %8s %13s %15s %12s\n", "order", "live", "swmem", "nohint",
                         "malloc", "pool", "vs pool", "vs malloc", "hint gain");
        bool allMet = true;
        bool compared = false;
        for (Order o : {Order::kFifo, Order::kRandom}) {
            for (int live : kLiveCounts) {
                const double ours = ns(Kind::kSwMem, o, live);
                const double noHint = ns(Kind::kSwMemNoHint, o, live);
                const double mal = ns(Kind::kMalloc, o, live);
                const double pool = ns(Kind::kPool, o, live);
                const bool goals = live <= 64;
                const std::string vsPool = verdict(ours, pool, goals ? kGoalVsPool : 0, &allMet, &compared);
                const std::string vsMalloc =
                    verdict(ours, mal, goals && o == Order::kFifo ? kGoalVsMalloc : 0, &allMet, &compared);
                if (goals) report(o, live, ours, pool, "pmr pool", kGoalVsPool);
                if (goals && o == Order::kFifo) report(o, live, ours, mal, "malloc", kGoalVsMalloc);
                char gain[32] = "-";
                if (ours > 0 && noHint > 0) (void)snprintf(gain, sizeof gain, "%.2fx", noHint / ours);
                os << bench_text("%-7s %5d %8s %8s %8s %8s %13s %15s %12s\n", order_name(o), live,
                                 amount(ours).c_str(), amount(noHint).c_str(), amount(mal).c_str(),
                                 amount(pool).c_str(), vsPool.c_str(), vsMalloc.c_str(), gain);
            }
        }
        os << "(vs = the peer's time / swmem's time; hint gain = time without the hint / time with it)\n";
        if (compared) os << (allMet ? "All goals met.\n" : "Some goals NOT met.\n");
        os.flush();
        ConsoleReporter::Finalize();
    }

private:
    double ns(Kind k, Order o, int live) const {
        const double r = rate(run_name(k, o, live));
        return r > 0.0 ? 1e9 / r : 0.0;
    }

    static std::string amount(double v) {
        if (v <= 0.0) return "-";
        char buf[32];
        (void)snprintf(buf, sizeof buf, "%.1f", v);
        return buf;
    }

    // One goal row: ns per pair of each, the speed ratio (the peer's time / ours).
    static void report(Order o, int live, double ours, double peer, const char* peerName, double goal) {
        const bool ran = ours > 0.0 && peer > 0.0;
        const double r = ran ? peer / ours : 0.0;
        report_ratio_goal(bench_text("alloc+free, %s, %d live: swmem vs %s", order_name(o), live, peerName), ran,
                          bench_text("%.1f ns", ours), bench_text("%.1f ns", peer), r, ">=", goal, r >= goal);
    }

    // The speed ratio; with a goal (> 0) also whether it is met.
    static std::string verdict(double ours, double peer, double goal, bool* allMet, bool* compared) {
        if (ours <= 0.0 || peer <= 0.0) return "-";
        const double r = peer / ours;
        char buf[32];
        if (goal <= 0.0) {
            (void)snprintf(buf, sizeof buf, "%.2fx", r);
            return buf;
        }
        *compared = true;
        const bool met = r >= goal;
        if (!met) *allMet = false;
        (void)snprintf(buf, sizeof buf, "%.2fx %s", r, met ? "met" : "MISSED");
        return buf;
    }
};

void register_benchmarks() {
    for (Order o : {Order::kFifo, Order::kRandom}) {
        for (int live : kLiveCounts) {
            for (Kind k : {Kind::kSwMem, Kind::kSwMemNoHint, Kind::kMalloc, Kind::kPool}) {
                benchmark::RegisterBenchmark(run_name(k, o, live).c_str(), BM_Churn, k, o, live)
                    ->MinTime(kMinTimeSeconds);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) { return run_benchmarks_with_summary<SummaryReporter>(argc, argv, register_benchmarks); }

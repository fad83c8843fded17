// Hash table speed beside std::unordered_map<std::string, void*> and GLib's GHashTable: insertion,
// hit lookups and miss lookups of 100,000 random 16-byte keys, our table sized 131072 buckets, once
// per built-in hash function. Goals: lookups (hit and miss) at least 1.0x both peers' rate,
// insertion at least 1.0x std::unordered_map's.
//
// Keys are printable, so the peers can use their natural string keys (std::string with std::hash,
// NUL-terminated strings with g_str_hash/g_str_equal); our table gets the same 16 bytes with their
// length. Every table owns a copy of its keys (GHashTable gets g_strdup'ed keys it frees), and the
// lookups probe with other string objects in a shuffled order, so no contender finds the probed key
// already in cache or its elements in allocation order. Each batch of 100,000 operations is one
// iteration; insertion times only the inserts (creation and destruction are outside the timing for
// every contender).
//
// After the usual table the program prints each figure beside its peers with the ratios and
// whether the goal is met. Extra arguments are Google Benchmark's own.

#include <benchmark/benchmark.h>
#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/bench_main.h"
#include "swhash.h"

namespace {

constexpr size_t kKeys = 100000;
constexpr size_t kKeyLen = 16;
constexpr uint32_t kTableSize = 131072;
constexpr double kGoal = 1.0;  // ours / peer, operations per second

struct Alg {
    const char* name;
    enum hash_alg alg;
};
const Alg kAlgs[] = {{"bob", BOB_HASH}, {"oneatatime", ONEATATIME_HASH}, {"time33", TIME33_HASH}};

// The stored keys, the same keys again as other objects in shuffled order (the hit probes), and as
// many absent ones, all distinct, as std::string (NUL-terminated c_str()).
struct Keys {
    std::vector<std::string> stored, hit, miss;
    Keys() {
        std::mt19937_64 rng(20261206);
        std::unordered_map<std::string, bool> seen;
        auto fill = [&](std::vector<std::string>& out) {
            while (out.size() < kKeys) {
                std::string k(kKeyLen, ' ');
                for (char& c : k) c = static_cast<char>(33 + rng() % 94);
                if (seen.emplace(k, true).second) out.push_back(k);
            }
        };
        fill(stored);
        fill(miss);
        hit = stored;
        std::shuffle(hit.begin(), hit.end(), rng);
    }
};
const Keys& keys() {
    static const Keys k;
    return k;
}

void* data_of(size_t i) { return reinterpret_cast<void*>(i + 1); }

hash_t make_ours(enum hash_alg alg) { return sw_hash_create(kTableSize, 0, alg, nullptr, nullptr, nullptr, 0); }

void fill_ours(hash_t t) {
    const auto& hit = keys().stored;
    for (size_t i = 0; i < hit.size(); ++i) (void)sw_hash_insert(t, hit[i].data(), kKeyLen, data_of(i));
}

void BM_OursInsert(benchmark::State& state, enum hash_alg alg) {
    for (auto _ : state) {
        state.PauseTiming();
        hash_t t = make_ours(alg);
        state.ResumeTiming();
        fill_ours(t);
        state.PauseTiming();
        if (sw_hash_getElemsCnt(t) != kKeys) state.SkipWithError("not every key was inserted");
        sw_hash_destroy(t, false);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys));
}

void BM_OursLookup(benchmark::State& state, enum hash_alg alg, bool hits) {
    hash_t t = make_ours(alg);
    fill_ours(t);
    const auto& probe = hits ? keys().hit : keys().miss;
    for (auto _ : state) {
        for (const std::string& k : probe) benchmark::DoNotOptimize(sw_hash_lookup(t, k.data(), kKeyLen));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys));
    sw_hash_destroy(t, false);
}

using StdMap = std::unordered_map<std::string, void*>;

void fill_std(StdMap& m) {
    const auto& hit = keys().stored;
    for (size_t i = 0; i < hit.size(); ++i) m.emplace(hit[i], data_of(i));
}

void BM_StdInsert(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto m = std::make_unique<StdMap>();
        m->reserve(kKeys);
        state.ResumeTiming();
        fill_std(*m);
        state.PauseTiming();
        m.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys));
}

void BM_StdLookup(benchmark::State& state, bool hits) {
    StdMap m;
    m.reserve(kKeys);
    fill_std(m);
    const auto& probe = hits ? keys().hit : keys().miss;
    for (auto _ : state) {
        for (const std::string& k : probe) {
            const auto it = m.find(k);
            benchmark::DoNotOptimize(it == m.end() ? nullptr : it->second);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys));
}

void fill_glib(GHashTable* g) {
    const auto& hit = keys().stored;
    for (size_t i = 0; i < hit.size(); ++i) g_hash_table_insert(g, g_strdup(hit[i].c_str()), data_of(i));
}

GHashTable* make_glib() { return g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr); }

void BM_GlibInsert(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        GHashTable* g = make_glib();
        state.ResumeTiming();
        fill_glib(g);
        state.PauseTiming();
        g_hash_table_destroy(g);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys));
}

void BM_GlibLookup(benchmark::State& state, bool hits) {
    GHashTable* g = make_glib();
    fill_glib(g);
    const auto& probe = hits ? keys().hit : keys().miss;
    for (auto _ : state) {
        for (const std::string& k : probe) benchmark::DoNotOptimize(g_hash_table_lookup(g, k.c_str()));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys));
    g_hash_table_destroy(g);
}

const char* const kOps[] = {"insert", "hit", "miss"};

std::string ours_name(const char* op, const Alg& a) { return std::string("swhash_") + op + "/" + a.name; }
std::string peer_name(const char* peer, const char* op) { return std::string(peer) + "_" + op; }

void register_all() {
    (void)keys();  // build the keys before any timing
    for (const Alg& a : kAlgs) {
        benchmark::RegisterBenchmark(ours_name("insert", a).c_str(), BM_OursInsert, a.alg);
        benchmark::RegisterBenchmark(ours_name("hit", a).c_str(), BM_OursLookup, a.alg, true);
        benchmark::RegisterBenchmark(ours_name("miss", a).c_str(), BM_OursLookup, a.alg, false);
    }
    benchmark::RegisterBenchmark(peer_name("std", "insert").c_str(), BM_StdInsert);
    benchmark::RegisterBenchmark(peer_name("std", "hit").c_str(), BM_StdLookup, true);
    benchmark::RegisterBenchmark(peer_name("std", "miss").c_str(), BM_StdLookup, false);
    benchmark::RegisterBenchmark(peer_name("glib", "insert").c_str(), BM_GlibInsert);
    benchmark::RegisterBenchmark(peer_name("glib", "hit").c_str(), BM_GlibLookup, true);
    benchmark::RegisterBenchmark(peer_name("glib", "miss").c_str(), BM_GlibLookup, false);
}

// Millions of operations per second, each of ours beside both peers.
class SummaryReporter : public RateCollectingReporter {
public:
    using RateCollectingReporter::RateCollectingReporter;

    void Finalize() override {
        std::string out =
            "\nSummary (million operations per second; ratio = ours / peer; goal: >= 1.0x, for insertion "
            "beside std only)\n";
        out += bench_text("%-22s %8s %8s %8s %8s %8s %s\n", "figure", "ours", "std", "ratio", "glib", "ratio",
                          "goal");
        for (const Alg& a : kAlgs) {
            for (const char* op : kOps) {
                const double ours = rate(ours_name(op, a)) / 1e6;
                const double std = rate(peer_name("std", op)) / 1e6;
                const double glib = rate(peer_name("glib", op)) / 1e6;
                const double rs = std > 0 ? ours / std : 0.0, rg = glib > 0 ? ours / glib : 0.0;
                const bool lookup = std::string(op) != "insert";
                const bool met = rs >= kGoal && (!lookup || rg >= kGoal);
                const char* goal = met ? "met" : "NOT met";
                if (ours == 0.0 || std == 0.0 || (lookup && glib == 0.0)) goal = "(not run)";
                out += bench_text("%-22s %8.2f %8.2f %7.2fx %8.2f %7.2fx %s\n", ours_name(op, a).c_str(),
                                  ours, std, rs, glib, rg, goal);
                report(op, a, ours, std, "std::unordered_map", rs);
                if (lookup) report(op, a, ours, glib, "GHashTable", rg);
            }
        }
        GetOutputStream() << out;
        ConsoleReporter::Finalize();
    }

private:
    // One goal row: million operations per second of ours and of one peer.
    static void report(const char* op, const Alg& a, double ours, double peer, const char* peerName, double ratio) {
        const std::string what = std::string(op) == "insert" ? "inserts" : std::string(op) + " lookups";
        report_ratio_goal(bench_text("%s, %s hash: swhash vs %s", what.c_str(), a.name, peerName),
                          ours != 0.0 && peer != 0.0, bench_text("%.2fM/s", ours), bench_text("%.2fM/s", peer), ratio,
                          ">=", kGoal, ratio >= kGoal);
    }
};

}  // namespace

int main(int argc, char** argv) { return run_benchmarks_with_summary<SummaryReporter>(argc, argv, register_all); }

// One field read from a 64 KiB configuration file with sw_file_getCfgString, and from the same
// text in memory with sw_str_getFieldValue, beside GLib's key file (g_key_file_load_from_file +
// g_key_file_get_string, and load_from_data + get_string for the in-memory case) on the same
// file, all in one run. The field looked up is the last one of the file, the worst case of a
// linear scan. After the usual table the program prints each figure beside GLib's with the
// ratio; the goal is at least 1.0x GLib's rate.
//
// Extra arguments are Google Benchmark's own (--benchmark_filter, --benchmark_repetitions, ...);
// with repetitions the summary uses the medians.

#include <benchmark/benchmark.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "support/bench_main.h"
#include "swfile.h"
#include "swstring.h"

namespace {

constexpr size_t kFileSize = 64 << 10;
constexpr double kGoal = 1.0;

std::string g_dir, g_path, g_text, g_lastKey, g_lastValue;

// "[main]" and lines "keyNNNNN=valueNNNNN" up to 64 KiB; both parsers read it alike.
void make_file() {
    char tmpl[] = "/tmp/bench-cfg-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    g_dir = tmpl;
    g_path = g_dir + "/app.cfg";
    g_text = "[main]\n";
    char line[64];
    for (int i = 0;; ++i) {
        const int n = snprintf(line, sizeof line, "key%05d=value%05d\n", i, i);
        if (g_text.size() + static_cast<size_t>(n) > kFileSize) break;
        g_text += line;
        g_lastKey = "key" + std::to_string(100000 + i).substr(1);
        g_lastValue = "value" + std::to_string(100000 + i).substr(1);
    }
    std::ofstream(g_path, std::ios::binary) << g_text;
}

void BM_ours_file(benchmark::State& state) {
    char field[32], value[32];
    snprintf(field, sizeof field, "%s", g_lastKey.c_str());
    for (auto _ : state) {
        const char* v = sw_file_getCfgString(g_path.c_str(), "[main]", "GetFieldValue", field, value, sizeof value);
        if (v == nullptr || g_lastValue != v) state.SkipWithError("wrong value");
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ours_buffer(benchmark::State& state) {
    char value[32];
    for (auto _ : state) {
        const char* v = sw_str_getFieldValue(g_text.data(), static_cast<int>(g_text.size()), '\n', g_lastKey.c_str(),
                                             value, sizeof value);
        if (v == nullptr || g_lastValue != v) state.SkipWithError("wrong value");
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations());
}

void glib_lookup(benchmark::State& state, bool fromFile) {
    for (auto _ : state) {
        GKeyFile* kf = g_key_file_new();
        const gboolean loaded =
            fromFile ? g_key_file_load_from_file(kf, g_path.c_str(), G_KEY_FILE_NONE, nullptr)
                     : g_key_file_load_from_data(kf, g_text.data(), g_text.size(), G_KEY_FILE_NONE, nullptr);
        gchar* v = loaded ? g_key_file_get_string(kf, "main", g_lastKey.c_str(), nullptr) : nullptr;
        if (v == nullptr || g_lastValue != v) state.SkipWithError("wrong value");
        g_free(v);
        g_key_file_free(kf);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_glib_file(benchmark::State& state) { glib_lookup(state, true); }
void BM_glib_data(benchmark::State& state) { glib_lookup(state, false); }

void register_all() {
    make_file();
    benchmark::RegisterBenchmark("BM_ours_file", BM_ours_file);
    benchmark::RegisterBenchmark("BM_glib_file", BM_glib_file);
    benchmark::RegisterBenchmark("BM_ours_buffer", BM_ours_buffer);
    benchmark::RegisterBenchmark("BM_glib_data", BM_glib_data);
}

class SummaryReporter : public RateCollectingReporter {
public:
    using RateCollectingReporter::RateCollectingReporter;

    void Finalize() override {
        std::string out = "\nSummary (lookups per second of the last field of a 64 KiB file; ratio = ours / GLib; goal >= 1.0x)\n";
        out +=
            bench_text("%-44s %12s %12s %8s %s\n", "figure (ours vs GLib)", "ours", "GLib", "ratio", "goal");
        const struct Row {
            const char* label;
            const char* ours;
            const char* peer;
        } rows[] = {
            {"sw_file_getCfgString vs load_from_file+get", "BM_ours_file", "BM_glib_file"},
            {"sw_str_getFieldValue vs load_from_file+get", "BM_ours_buffer", "BM_glib_file"},
            {"sw_str_getFieldValue vs load_from_data+get", "BM_ours_buffer", "BM_glib_data"},
        };
        for (const Row& r : rows) {
            const double ours = rate(r.ours), peer = rate(r.peer);
            const double ratio = peer > 0 ? ours / peer : 0.0;
            const char* goal = ours == 0.0 || peer == 0.0 ? "(not run)" : ratio >= kGoal ? "met" : "NOT met";
            out += bench_text("%-44s %12.0f %12.0f %7.1fx %s\n", r.label, ours, peer, ratio, goal);
            report_ratio_goal(std::string("lookups/s, last field of 64 KiB: ") + r.label, ours != 0.0 && peer != 0.0,
                              bench_text("%.0f/s", ours), bench_text("%.0f/s", peer), ratio, ">=", kGoal,
                              ratio >= kGoal);
        }
        GetOutputStream() << out;
        ConsoleReporter::Finalize();
        if (!g_dir.empty()) {
            (void)unlink(g_path.c_str());
            (void)rmdir(g_dir.c_str());
        }
    }
};

}  // namespace

int main(int argc, char** argv) { return run_benchmarks_with_summary<SummaryReporter>(argc, argv, register_all); }

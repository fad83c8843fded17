// Whole-file copy and load of a 64 MiB file with sw_file_copy and sw_file_load, beside /bin/cp
// copying the same file, all in one run inside a private temporary directory. Times are wall
// clock (cp runs as a child process). After the usual table the program prints each figure
// beside cp's with the ratio the goal asks for: at most 2x cp's time.
//
// Extra arguments are Google Benchmark's own (--benchmark_filter, --benchmark_repetitions, ...);
// with repetitions the summary uses the medians.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/bench_main.h"
#include "swfile.h"

namespace {

constexpr int kFileSize = 64 << 20;
constexpr double kGoalVsCp = 2.0;  // our time at most this many times cp's
constexpr int kIterations = 12;

using Clock = std::chrono::steady_clock;

std::string g_dir, g_src, g_dstOurs, g_dstCp;

// Wall milliseconds per operation of every finished run, by benchmark name (several with
// --benchmark_repetitions; the summary takes their median).
std::map<std::string, std::vector<double>> g_ms;

void record(const char* name, const benchmark::State& state, Clock::time_point start) {
    if (state.error_occurred() || state.iterations() == 0) return;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    g_ms[name].push_back(ms / static_cast<double>(state.iterations()));
}

void BM_SwFileCopy(benchmark::State& state) {
    const auto start = Clock::now();
    for (auto _ : state) {
        if (sw_file_copy(g_src.c_str(), g_dstOurs.c_str(), false) != kFileSize) {
            state.SkipWithError("sw_file_copy failed");
            return;
        }
    }
    record("sw_file_copy", state, start);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileSize));
}

void BM_SwFileLoad(benchmark::State& state) {
    std::vector<char> buf(kFileSize);
    const auto start = Clock::now();
    for (auto _ : state) {
        if (sw_file_load(g_src.c_str(), "rb", buf.data(), kFileSize) != kFileSize) {
            state.SkipWithError("sw_file_load failed");
            return;
        }
        benchmark::DoNotOptimize(buf.data());
    }
    record("sw_file_load", state, start);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileSize));
}

void BM_Cp(benchmark::State& state) {
    char prog[] = "/bin/cp";
    std::vector<char*> argv = {prog, g_src.data(), g_dstCp.data(), nullptr};
    const auto start = Clock::now();
    for (auto _ : state) {
        pid_t pid = 0;
        if (posix_spawn(&pid, prog, nullptr, nullptr, argv.data(), environ) != 0) {
            state.SkipWithError("cannot start cp");
            return;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("cp failed");
            return;
        }
    }
    record("cp", state, start);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileSize));
}

double median_ms(const char* name) {
    auto it = g_ms.find(name);
    if (it == g_ms.end() || it->second.empty()) return 0.0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void print_summary() {
    printf("\n64 MiB file, wall time per operation (lower is better). Goal: at most %.1fx cp\n", kGoalVsCp);
    printf("%-14s %10s %10s %14s\n", "operation", "ours ms", "cp ms", "ours/cp");
    const double cp = median_ms("cp");
    bool all = true, any = false;
    for (const char* name : {"sw_file_copy", "sw_file_load"}) {
        const double ours = median_ms(name);
        char verdict[32] = "-";
        if (ours > 0.0 && cp > 0.0) {
            const bool met = ours / cp <= kGoalVsCp;
            all = all && met;
            any = true;
            (void)snprintf(verdict, sizeof verdict, "%.2fx %s", ours / cp, met ? "met" : "MISSED");
        }
        const bool ran = ours > 0.0 && cp > 0.0;
        report_ratio_goal(std::string("64 MiB, wall time: ") + name + " vs cp", ran, bench_text("%.2f ms", ours),
                          bench_text("%.2f ms", cp), ran ? ours / cp : 0.0, "<=", kGoalVsCp,
                          ran && ours / cp <= kGoalVsCp);
        printf("%-14s %10.2f %10.2f %14s\n", name, ours, cp, verdict);
    }
    if (any) printf("%s\n", all ? "All goals met." : "Some goals NOT met.");
}

bool make_source() {
    std::vector<char> data(kFileSize);
    std::mt19937 rng(7);
    for (size_t i = 0; i + 4 <= data.size(); i += 4) {
        const uint32_t v = rng();
        memcpy(&data[i], &v, 4);
    }
    return sw_file_update(g_src.c_str(), "wb", data.data(), kFileSize) == kFileSize;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    char templ[] = "/tmp/bench_swfile.XXXXXX";
    if (mkdtemp(templ) == nullptr) return perror("bench_swfile: mkdtemp"), 1;
    g_dir = templ;
    g_src = g_dir + "/source.bin";
    g_dstOurs = g_dir + "/copy_ours.bin";
    g_dstCp = g_dir + "/copy_cp.bin";
    int rc = 0;
    if (!make_source()) {
        fprintf(stderr, "bench_swfile: cannot write the source file\n");
        rc = 1;
    } else {
        // The source was just written, so every reader finds it in the page cache; the copies
        // overwrite their own targets, as cp does.
        const std::pair<const char*, void (*)(benchmark::State&)> runs[] = {
            {"cp", BM_Cp}, {"sw_file_copy", BM_SwFileCopy}, {"sw_file_load", BM_SwFileLoad}};
        for (const auto& r : runs) {
            benchmark::RegisterBenchmark(r.first, r.second)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(kIterations);
        }
        benchmark::RunSpecifiedBenchmarks();
        print_summary();
    }
    benchmark::Shutdown();
    for (const std::string* p : {&g_src, &g_dstOurs, &g_dstCp}) (void)unlink(p->c_str());
    if (rmdir(g_dir.c_str()) != 0) perror("bench_swfile: rmdir");
    return rc;
}

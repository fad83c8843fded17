// The common main of the benchmark programs: Google Benchmark's usual table, followed by the
// program's own summary reporter unless another output format (json, csv) was asked for.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

// Goal rows for a tool that gathers the figures of every benchmark program into one report
// (bench/run_all). When the environment variable BENCH_GOALS_FILE names a file, each program
// appends one line per goal of its summary, tab-separated:
//   figure  ours  peer  ratio  goal  verdict
// the figures as text with their unit, the verdict "met", "MISSED" or "not run" (one side was
// filtered out or failed). Without the variable nothing is written and the console is unchanged.
constexpr const char kGoalsFileVariable[] = "BENCH_GOALS_FILE";

__attribute__((format(printf, 1, 2))) inline std::string bench_text(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    (void)vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// The median of a sample (the mean of the middle two for an even count), 0 for none.
inline double bench_median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t h = v.size() / 2;
    return v.size() % 2 != 0 ? v[h] : (v[h - 1] + v[h]) / 2.0;
}

// One goal. `ran` is false when either figure is missing; the figures are then not shown.
inline void report_goal(const std::string& figure, bool ran, const std::string& ours, const std::string& peer,
                        const std::string& ratio, const std::string& goal, bool met) {
    const char* path = getenv(kGoalsFileVariable);
    if (path == nullptr || *path == '\0') return;
    FILE* f = fopen(path, "a");
    if (f == nullptr) {
        perror(path);
        return;
    }
    (void)fprintf(f, "%s\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), ran ? ours.c_str() : "-", ran ? peer.c_str() : "-",
                  ran ? ratio.c_str() : "-", goal.c_str(), !ran ? "not run" : met ? "met" : "MISSED");
    if (fclose(f) != 0) perror(path);
}

// A goal on a ratio of the two figures: `cmp` is ">=" for a speed ratio that must reach `goal`,
// "<=" for a time ratio that must stay within it. `met` is the program's own verdict.
inline void report_ratio_goal(const std::string& figure, bool ran, const std::string& ours, const std::string& peer,
                              double ratio, const char* cmp, double goal, bool met) {
    report_goal(figure, ran, ours, peer, bench_text("%.2fx", ratio), bench_text("%s %.2fx", cmp, goal), met);
}

// True when the command line asks for an output format other than the console table, which then
// replaces the summary.
inline bool other_format_requested(int argc, char** argv) {
    const char kFlag[] = "--benchmark_format=";
    for (int k = 1; k < argc; ++k) {
        if (strncmp(argv[k], kFlag, sizeof kFlag - 1) == 0 && strcmp(argv[k] + sizeof kFlag - 1, "console") != 0) {
            return true;
        }
    }
    return false;
}

// The console table as usual, while collecting each run's items per second (the median when the
// runs are repeated) for a summary that a derived class prints in Finalize().
class RateCollectingReporter : public benchmark::ConsoleReporter {
public:
    explicit RateCollectingReporter(OutputOptions opts) : ConsoleReporter(opts) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
            const auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) rates_[r.run_name.function_name] = it->second.value;
        }
    }

protected:
    // Items per second of the named run, 0 when it did not run (filtered out or failed).
    double rate(const std::string& name) const {
        const auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> rates_;
};

// Registers the program's benchmarks, runs them and reports through `Reporter` (a
// benchmark::ConsoleReporter constructed from its output options). Returns main's status.
template <class Reporter>
int run_benchmarks_with_summary(int argc, char** argv, void (*registerAll)()) {
    const bool plain = other_format_requested(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    registerAll();
    if (plain) {
        benchmark::RunSpecifiedBenchmarks();
    } else {
        Reporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                : benchmark::ConsoleReporter::OO_Tabular);
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }
    benchmark::Shutdown();
    return 0;
}

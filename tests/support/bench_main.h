// The common main of the benchmark programs: Google Benchmark's usual table, followed by the
// program's own summary reporter unless another output format (json, csv) was asked for.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

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

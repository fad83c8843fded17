// Lines per second of sw_log_writeWithLevel beside two common ways of writing the same line: a
// hand-written printf + fflush and a synchronous spdlog logger. All three write through stdout, whose
// descriptor is pointed at /dev/null (the cost of composing and handing over a line) or at a regular
// file (adds the page-cache write), and all flush after every line, as the log writer does.
//
// After the usual table the program prints each destination's figures side by side with the ratios
// the log writer has to reach. Extra arguments are Google Benchmark's own (--benchmark_filter,
// --benchmark_repetitions, ...); with repetitions the summary uses the medians.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/bench_main.h"
#include "swlog.h"

namespace {

const char kCamera[] = "SIM00001";

// Long enough for a steady figure, short enough that the six runs take a few seconds in all.
constexpr double kMinTimeSeconds = 0.4;

// Goals of the log writer against each peer, as ratios of lines per second.
constexpr double kGoalVsPrintf = 0.9;
constexpr double kGoalVsSpdlog = 1.0;

enum class Destination { kDevNull, kFile };

const char* destination_name(Destination d) {
    return d == Destination::kDevNull ? "devnull" : "file";
}

// Directory made by main with mkdtemp; the file destination lives in it only while a run lasts.
std::string g_temp_dir;

// Points descriptor 1 at the destination while the object lives and then puts the original back,
// so the benchmark table and the summary still reach the console. Each run of a file benchmark
// starts from an empty file and removes it afterwards.
class StdoutRedirect {
public:
    explicit StdoutRedirect(Destination d) {
        (void)fflush(stdout);
        int target = -1;
        if (d == Destination::kDevNull) {
            target = open("/dev/null", O_WRONLY | O_CLOEXEC);
        } else {
            path_ = g_temp_dir + "/lines.log";
            target = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        }
        if (target < 0) return;
        saved_ = dup(STDOUT_FILENO);
        if (saved_ >= 0 && dup2(target, STDOUT_FILENO) < 0) {
            (void)close(saved_);
            saved_ = -1;
        }
        (void)close(target);
    }

    ~StdoutRedirect() {
        if (saved_ >= 0) {
            (void)fflush(stdout);
            (void)dup2(saved_, STDOUT_FILENO);
            (void)close(saved_);
        }
        if (!path_.empty()) (void)unlink(path_.c_str());
    }

    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;

    bool ok() const { return saved_ >= 0; }

private:
    int saved_ = -1;
    std::string path_;
};

void BM_SwLog(benchmark::State& state, Destination d) {
    StdoutRedirect out(d);
    if (!out.ok()) {
        state.SkipWithError("cannot redirect stdout");
        return;
    }
    int i = 0;
    for (auto _ : state) {
        sw_log_writeWithLevel(LEVEL_INFO, __FILE__, __LINE__, "frame %d of camera %s done", i, kCamera);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

// What a straightforward program does for the same line: read the clock, convert to local time,
// format the stamp, then one printf carrying the prefix and the message together, and a flush.
void BM_PrintfFflush(benchmark::State& state, Destination d) {
    StdoutRedirect out(d);
    if (!out.ok()) {
        state.SkipWithError("cannot redirect stdout");
        return;
    }
    int i = 0;
    for (auto _ : state) {
        struct timespec ts {};
        (void)clock_gettime(CLOCK_REALTIME, &ts);
        struct tm local {};
        (void)localtime_r(&ts.tv_sec, &local);
        char now[32];
        (void)strftime(now, sizeof now, "%Y-%m-%d %H:%M:%S", &local);
        (void)printf("[%s] [%s] (%s:%d) frame %d of camera %s done\n", now, "info", __FILE__, __LINE__, i,
                     kCamera);
        (void)fflush(stdout);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

// spdlog's stdout sink writes with fwrite to the same FILE (stdout) and so to the same descriptor
// as the other two, which keeps the comparison to the formatting and locking each one does.
void BM_Spdlog(benchmark::State& state, Destination d) {
    StdoutRedirect out(d);
    if (!out.ok()) {
        state.SkipWithError("cannot redirect stdout");
        return;
    }
    // Built here rather than through spdlog's registry so nothing outlives the run.
    spdlog::logger logger("bench", std::make_shared<spdlog::sinks::stdout_sink_st>());
    logger.set_pattern("[%Y-%m-%d %H:%M:%S] [%l] (%s:%#) %v");
    logger.set_level(spdlog::level::trace);
    logger.flush_on(spdlog::level::trace);
    spdlog::logger* const log = &logger;
    int i = 0;
    for (auto _ : state) {
        SPDLOG_LOGGER_CALL(log, spdlog::level::info, "frame {} of camera {} done", i, kCamera);
        ++i;
    }
    logger.flush();
    state.SetItemsProcessed(state.iterations());
}

// The console table as usual, then the per-destination comparison against the goals.
class SummaryReporter : public RateCollectingReporter {
public:
    explicit SummaryReporter(OutputOptions opts) : RateCollectingReporter(opts) {}

    void Finalize() override {
        std::ostream& os = GetOutputStream();
        os << bench_text(
            "\nLog lines per second (higher is better). Goals: sw_log >= %.2fx printf+fflush, "
            ">= %.2fx spdlog\n",
            kGoalVsPrintf, kGoalVsSpdlog);
        os << bench_text("%-12s %12s %14s %16s %12s %16s\n", "destination", "sw_log", "printf+fflush",
                         "sw_log/printf", "spdlog", "sw_log/spdlog");
        bool all_met = true;
        bool compared = false;
        for (Destination d : {Destination::kDevNull, Destination::kFile}) {
            const std::string dest = destination_name(d);
            const double ours = rate(dest + "/sw_log");
            const double printf_rate = rate(dest + "/printf_fflush");
            const double spdlog_rate = rate(dest + "/spdlog");
            report(dest, ours, printf_rate, "printf+fflush", kGoalVsPrintf);
            report(dest, ours, spdlog_rate, "spdlog", kGoalVsSpdlog);
            if (ours <= 0.0 && printf_rate <= 0.0 && spdlog_rate <= 0.0) continue;
            const std::string vs_printf = ratio(ours, printf_rate, kGoalVsPrintf, &all_met, &compared);
            const std::string vs_spdlog = ratio(ours, spdlog_rate, kGoalVsSpdlog, &all_met, &compared);
            os << bench_text("%-12s %12s %14s %16s %12s %16s\n", dest.c_str(), amount(ours).c_str(),
                             amount(printf_rate).c_str(), vs_printf.c_str(), amount(spdlog_rate).c_str(),
                             vs_spdlog.c_str());
        }
        if (compared) os << (all_met ? "All goals met.\n" : "Some goals NOT met.\n");
        os.flush();
        ConsoleReporter::Finalize();
    }

private:
    static std::string amount(double v) {
        if (v <= 0.0) return "-";
        char buf[32];
        (void)snprintf(buf, sizeof buf, "%.3fM", v / 1e6);
        return buf;
    }

    static void report(const std::string& dest, double ours, double peer, const char* peerName, double goal) {
        const bool ran = ours > 0.0 && peer > 0.0;
        const double r = ran ? ours / peer : 0.0;
        report_ratio_goal("lines/s to " + std::string(dest == "devnull" ? "/dev/null" : "a file") + ": sw_log vs " +
                              peerName,
                          ran, amount(ours) + "/s", amount(peer) + "/s", r, ">=", goal, r >= goal);
    }

    // "-" when either side did not run (a filter left it out); otherwise the ratio and its verdict.
    static std::string ratio(double ours, double peer, double goal, bool* all_met, bool* compared) {
        if (ours <= 0.0 || peer <= 0.0) return "-";
        *compared = true;
        const double r = ours / peer;
        const bool met = r >= goal;
        if (!met) *all_met = false;
        char buf[32];
        (void)snprintf(buf, sizeof buf, "%.2fx %s", r, met ? "met" : "MISSED");
        return buf;
    }
};

void register_benchmarks() {
    // Grouped by destination so the three writers of one destination run back to back.
    for (Destination d : {Destination::kDevNull, Destination::kFile}) {
        const std::string dest = destination_name(d);
        benchmark::RegisterBenchmark((dest + "/sw_log").c_str(), BM_SwLog, d)->MinTime(kMinTimeSeconds);
        benchmark::RegisterBenchmark((dest + "/printf_fflush").c_str(), BM_PrintfFflush, d)
            ->MinTime(kMinTimeSeconds);
        benchmark::RegisterBenchmark((dest + "/spdlog").c_str(), BM_Spdlog, d)->MinTime(kMinTimeSeconds);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/bench_swlog.XXXXXX";
    std::vector<char> dir(templ.begin(), templ.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr) {
        perror("bench_swlog: mkdtemp");
        return 1;
    }
    g_temp_dir = dir.data();

    const int rc = run_benchmarks_with_summary<SummaryReporter>(argc, argv, register_benchmarks);

    if (rmdir(g_temp_dir.c_str()) != 0) perror("bench_swlog: rmdir");
    return rc;
}

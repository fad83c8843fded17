// A summary for benchmark programs that set one figure of ours beside one peer: after the usual
// table it prints both rates (or the time per item), their ratio and whether the goal is met, and
// hands the same row to report_goal.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>

#include "support/bench_main.h"

// `Figure` names the two runs and the goal:
//   static constexpr const char* kLabel, kOurs, kPeer; static constexpr double kGoal;
//   static constexpr bool kTimePerItem - show microseconds per item instead of items per second.
// The ratio is our rate over the peer's (a speed-up), met when it is at least kGoal.
template <class Figure>
class RatioSummaryReporter : public RateCollectingReporter {
public:
    explicit RatioSummaryReporter(OutputOptions opts) : RateCollectingReporter(opts) {}

    void Finalize() override {
        std::ostream& os = GetOutputStream();
        const double ours = rate(Figure::kOurs);
        const double peer = rate(Figure::kPeer);
        const bool ran = ours > 0.0 && peer > 0.0;
        const double r = ran ? ours / peer : 0.0;
        const auto shown = [](double rate) { return Figure::kTimePerItem && rate > 0.0 ? 1e6 / rate : rate; };
        os << (Figure::kTimePerItem ? "\nSummary (microseconds per item; ratio = our speed / peer's)\n"
                                    : "\nSummary (items per second; ratio = our speed / peer's)\n");
        os << bench_text("%-34s %12s %12s %8s %6s %s\n", "figure", "ours", "peer", "ratio", "goal",
                         "verdict");
        if (!ran) {
            os << bench_text("%-34s %12s %12s %8s\n", Figure::kLabel, "-", "-", "-");
        } else {
            os << bench_text("%-34s %12.1f %12.1f %7.2fx %5.1fx %s\n", Figure::kLabel, shown(ours),
                             shown(peer), r, Figure::kGoal, r >= Figure::kGoal ? "met" : "MISSED");
        }
        os.flush();
        const auto text = [&](double rate) {
            return Figure::kTimePerItem ? bench_text("%.1f us", shown(rate)) : bench_text("%.0f/s", rate);
        };
        report_ratio_goal(std::string(Figure::kLabel) + ": " + Figure::kOurs + " vs " + Figure::kPeer, ran,
                          text(ours), text(peer), r, ">=", Figure::kGoal, r >= Figure::kGoal);
        ConsoleReporter::Finalize();
    }
};

// Round trips per second of a TCP echo over the machine's loopback (127.0.0.1): a 64-byte message
// sent and read back whole, through sw_tcp_send/sw_tcp_recv on both ends, beside the very same
// loop through raw send/recv (goal: our time per round trip at most 1.05x the raw one).
// Each benchmark makes its own connection and echo thread; the time is wall-clock, as most of a
// round trip is spent waiting for the other thread.
//
// After the usual table the program prints both figures with the ratio and whether the goal is
// met. Extra arguments are Google Benchmark's own.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_main.h"
#include "swtcp.h"

namespace {

constexpr double kGoal = 1.05;  // our time per round trip / the raw one, at most
constexpr int kMessage = 64;
// Short runs of the two kinds alternate, so that a change of machine load in the middle of the
// program falls on both alike; the summary compares the medians and the median of the pairs' ratios.
constexpr int kPairs = 15;
constexpr double kMinTime = 0.2;  // seconds per run
const char kOurs[] = "echo/sw_tcp";
const char kRaw[] = "echo/raw";

std::string run_name(const char* kind, int k) {
    return std::string(kind) + "/" + std::to_string(k);
}

// The two ways to move bytes, behind one face so both run the same loop.
struct SwIo {
    static int send_some(int fd, const char* p, int n) { return sw_tcp_send(fd, p, n); }
    static int recv_some(int fd, char* p, int n) { return sw_tcp_recv(fd, p, n); }
};
struct RawIo {
    static int send_some(int fd, const char* p, int n) {
        return static_cast<int>(send(fd, p, static_cast<size_t>(n), 0));
    }
    static int recv_some(int fd, char* p, int n) {
        return static_cast<int>(recv(fd, p, static_cast<size_t>(n), 0));
    }
};

template <class Io>
bool send_all(int fd, const char* p, int n) {
    while (n > 0) {
        const int k = Io::send_some(fd, p, n);
        if (k <= 0) return false;
        p += k;
        n -= k;
    }
    return true;
}

template <class Io>
bool recv_all(int fd, char* p, int n) {
    while (n > 0) {
        const int k = Io::recv_some(fd, p, n);
        if (k <= 0) return false;
        p += k;
        n -= k;
    }
    return true;
}

// A connected pair on 127.0.0.1 (made with raw calls, outside the measured loop), Nagle off so
// that each message leaves at once.
bool connect_pair(int* client, int* server) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bool ok = listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              listen(listener, 1) == 0 && getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    *client = ok ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    ok = ok && *client >= 0 && connect(*client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    *server = ok ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (listener >= 0) close(listener);
    const int one = 1;
    for (int fd : {*client, *server}) {
        if (fd >= 0) (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return ok && *server >= 0;
}

template <class Io>
void BM_Echo(benchmark::State& state) {
    int client = -1, server = -1;
    if (!connect_pair(&client, &server)) {
        if (client >= 0) close(client);
        state.SkipWithError("cannot connect over 127.0.0.1");
        return;
    }
    std::thread echo([server] {
        char buf[kMessage];
        while (recv_all<Io>(server, buf, kMessage) && send_all<Io>(server, buf, kMessage)) {
        }
    });
    char msg[kMessage] = "round trip";
    for (auto _ : state) {
        if (!send_all<Io>(client, msg, kMessage) || !recv_all<Io>(client, msg, kMessage)) {
            state.SkipWithError("the echo broke off");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    (void)shutdown(client, SHUT_WR);  // the echo thread sees the end and leaves
    echo.join();
    close(client);
    close(server);
}

class SummaryReporter : public RateCollectingReporter {
public:
    explicit SummaryReporter(OutputOptions opts) : RateCollectingReporter(opts) {}

    void Finalize() override {
        std::vector<double> ours, raw, ratios;
        for (int k = 0; k < kPairs; ++k) {
            const double o = rate(run_name(kOurs, k)), r = rate(run_name(kRaw, k));
            if (o <= 0.0 || r <= 0.0) continue;
            ours.push_back(o);
            raw.push_back(r);
            ratios.push_back(r / o);  // time per round trip, ours / raw
        }
        std::ostream& os = GetOutputStream();
        os << bench_text(
            "\nTCP echo of %d bytes over 127.0.0.1: round trips per second, medians of %zu "
            "alternating runs\n",
            kMessage, ratios.size());
        os << bench_text("%-14s %12s %12s %16s %18s\n", "", "sw_tcp", "raw", "time ratio", "goal");
        const double ratio = bench_median(ratios);
        const bool ran = !ratios.empty();
        report_goal(bench_text("%d-byte echo over 127.0.0.1, time per round trip: sw_tcp vs raw send/recv "
                               "(ratio: median over %zu alternating pairs)",
                               kMessage, ratios.size()),
                    ran, bench_text("%.2f us", ran ? 1e6 / bench_median(ours) : 0.0),
                    bench_text("%.2f us", ran ? 1e6 / bench_median(raw) : 0.0), bench_text("%.3fx", ratio),
                    bench_text("<= %.2fx", kGoal), ratio <= kGoal);
        if (!ratios.empty()) {
            os << bench_text("%-14s %12.0f %12.0f %15.3fx %11s%.2fx %s\n", "round trips/s", bench_median(ours),
                             bench_median(raw), ratio, "<= ", kGoal, ratio <= kGoal ? "met" : "MISSED");
        } else {
            os << bench_text("%-14s %12s %12s %16s %18s\n", "round trips/s", "-", "-", "-", "not compared");
        }
        os << "(time ratio = the median over the pairs of sw_tcp's time per round trip / raw's)\n";
        os.flush();
        ConsoleReporter::Finalize();
    }
};

void register_benchmarks() {
    for (int k = 0; k < kPairs; ++k) {
        benchmark::RegisterBenchmark(run_name(kOurs, k).c_str(), BM_Echo<SwIo>)
            ->UseRealTime()
            ->MinTime(kMinTime);
        benchmark::RegisterBenchmark(run_name(kRaw, k).c_str(), BM_Echo<RawIo>)
            ->UseRealTime()
            ->MinTime(kMinTime);
    }
}

}  // namespace

int main(int argc, char** argv) {
    return run_benchmarks_with_summary<SummaryReporter>(argc, argv, register_benchmarks);
}

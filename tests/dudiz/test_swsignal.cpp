// swsignal: counting semaphore with millisecond time-outs under the timed-wait rule.
#include "swsignal.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/waitfor.h"

namespace {

class SignalTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(h_ = sw_signal_create(), nullptr); }
    void TearDown() override { sw_signal_destroy(h_); }
    void* h_ = nullptr;
};

// Gives `h` from a thread of its own after `delayMs`, noting the moment just before the give.
class DelayedGive {
public:
    DelayedGive(void* h, int delayMs)
        : th_([this, h, delayMs] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
              givenAt_ = mono_ms();
              sw_signal_give(h);
          }) {}
    ~DelayedGive() { th_.join(); }
    DelayedGive(const DelayedGive&) = delete;
    DelayedGive& operator=(const DelayedGive&) = delete;
    double givenAt() const { return givenAt_.load(); }

private:
    std::atomic<double> givenAt_{1e300};
    std::thread th_;
};

}  // namespace

TEST_F(SignalTest, FreshSignalIsNotSignalled) {
    errno = 0;
    EXPECT_EQ(sw_signal_wait(h_, 0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

// A sleep of 1 ms per try would make the 1000 tries last well over a second.
TEST_F(SignalTest, ZeroTimeoutMakesOneTryAndNeverSleeps) {
    const double t0 = mono_ms();
    for (int i = 0; i < 1000; ++i) {
        errno = 0;
        ASSERT_EQ(sw_signal_wait(h_, 0), -1);
        ASSERT_EQ(errno, ETIMEDOUT);
    }
    EXPECT_LT(mono_ms() - t0, 900.0);
}

TEST_F(SignalTest, TimesOutWithoutAGive) {
    for (int timeout : {1, 200}) {
        const double t0 = mono_ms();
        errno = 0;
        EXPECT_EQ(sw_signal_wait(h_, timeout), -1) << timeout;
        EXPECT_EQ(errno, ETIMEDOUT) << timeout;
        const double elapsed = mono_ms() - t0;
        EXPECT_GE(elapsed, timeout - 1.0) << timeout;
        EXPECT_LT(elapsed, timeout + 3000.0) << timeout;
    }
}

// Both kinds of wait end at the give, not when their time runs out.
TEST_F(SignalTest, WaitIsWokenByAGiveFromAnotherThread) {
    for (int timeout : {-1, 200, 30000}) {
        const double t0 = mono_ms();
        DelayedGive giver(h_, 50);
        EXPECT_EQ(sw_signal_wait(h_, timeout), 0) << timeout;
        const double gotAt = mono_ms();
        EXPECT_GE(gotAt, giver.givenAt()) << timeout;
        EXPECT_LT(gotAt - t0, 20000.0) << timeout;
    }
}

// Single-threaded against a plain counter: every give is one later success, never merged or lost.
TEST_F(SignalTest, CountFollowsAReferenceModel) {
    std::mt19937 rng(20261206u);
    int model = 0;
    for (int step = 0; step < 20000; ++step) {
        const unsigned op = rng() % 16;
        if (op < 7) {
            sw_signal_give(h_);
            ++model;
        } else if (op < 15 || model == 0) {
            const int timeout = op == 15 ? 1 : 0;
            errno = 0;
            const int rc = sw_signal_wait(h_, timeout);
            if (model > 0) {
                ASSERT_EQ(rc, 0) << "step " << step;
                --model;
            } else {
                ASSERT_EQ(rc, -1) << "step " << step;
                ASSERT_EQ(errno, ETIMEDOUT) << "step " << step;
            }
        } else {
            ASSERT_EQ(sw_signal_wait(h_, -1), 0) << "step " << step;
            --model;
        }
    }
    while (model-- > 0) ASSERT_EQ(sw_signal_wait(h_, 0), 0);
    EXPECT_EQ(sw_signal_wait(h_, 0), -1);
}

// Givers and takers on several threads: each taker takes its quota with a random mix of waits,
// and afterwards nothing is left over.
TEST_F(SignalTest, ConcurrentGivesAreEachTakenExactlyOnce) {
    constexpr int kPairs = 3;
    constexpr int kQuota = 1500;
    std::atomic<int> badResults{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kPairs; ++n) {
        threads.emplace_back([this] {
            for (int i = 0; i < kQuota; ++i) sw_signal_give(h_);
        });
        threads.emplace_back([this, n, &badResults] {
            std::mt19937 rng(99u + static_cast<unsigned>(n));
            const int timeouts[] = {-1, 0, 0, 2};
            for (int taken = 0; taken < kQuota;) {
                const int timeout = timeouts[rng() % 4];
                errno = 0;
                const int rc = sw_signal_wait(h_, timeout);
                if (rc == 0) {
                    ++taken;
                } else if (timeout < 0 || errno != ETIMEDOUT) {
                    ++badResults;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(badResults.load(), 0);
    EXPECT_EQ(sw_signal_wait(h_, 0), -1);
}

namespace {

std::atomic<int> g_handled{0};
void count_signal(int) {
    ++g_handled;
}

// The scheduler state letter of one thread of this process ('S' while it sleeps in a wait), or 0.
char thread_state(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

}  // namespace

// The handler is installed without SA_RESTART, so the semaphore wait itself returns EINTR each
// time; the unlimited wait must go on waiting until the give.
TEST_F(SignalTest, InterruptedUnlimitedWaitResumes) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    g_handled = 0;
    std::atomic<long> tid{0};
    std::atomic<bool> done{false};
    std::atomic<int> rc{1};
    std::thread waiter([&] {
        tid = static_cast<long>(syscall(SYS_gettid));
        rc = sw_signal_wait(h_, -1);
        done = true;
    });
    ASSERT_TRUE(wait_for([&] { return tid.load() != 0; }));
    for (int k = 1; k <= 3; ++k) {
        // Interrupt only once the waiter is asleep in its wait.
        ASSERT_TRUE(wait_for([&] { return thread_state(tid) == 'S' || done; }));
        ASSERT_FALSE(done.load()) << "the wait ended without a give (result " << rc.load() << ")";
        ASSERT_EQ(pthread_kill(waiter.native_handle(), SIGUSR1), 0);
        ASSERT_TRUE(wait_for([&] { return g_handled.load() >= k; }));
    }
    ASSERT_TRUE(wait_for([&] { return thread_state(tid) == 'S' || done; }));
    EXPECT_FALSE(done.load()) << "the wait ended without a give (result " << rc.load() << ")";
    sw_signal_give(h_);
    waiter.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(sw_signal_wait(h_, 0), -1);
    sigaction(SIGUSR1, &old, nullptr);
}

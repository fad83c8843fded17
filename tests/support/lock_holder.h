// Support for the tests of threads, locks and signals: the library's timed-wait rule and mutual
// exclusion checked against one primitive, a blocked call interrupted by signal handlers, objects made under
// a process heap too small for them, and elapsed time.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <random>
#include <thread>

#include "support/stdout_capture.h"
#include "support/waitfor.h"
#include "swheap.h"

// Milliseconds that `fn` took.
template <class Fn>
double took(Fn fn, double t0 = mono_ms()) {
    return fn(), mono_ms() - t0;
}

// The timed-wait rule for `take(timeout)`, which fails while `lock`, run on a thread of its own, holds
// (until `unlock` there): a time-out of 0 makes one try and never sleeps (1000 of them take far less
// than the 1 ms sleep each would cost), a time-out runs out in full with ETIMEDOUT, a free primitive is
// taken with 0, and an unlimited or long wait succeeds once the holder lets go. `undo` gives back what
// a take got.
inline void expect_timed_wait_rule(const std::function<int(int)>& take, const std::function<void()>& undo,
                                   const std::function<bool()>& lock, const std::function<void()>& unlock) {
    std::atomic<bool> held{false}, stop{false};
    const auto hold = [&](double ms) {
        held = stop = false;
        std::thread holder([&, ms] { held = lock(), wait_for([&] { return stop.load(); }, ms), unlock(); });
        return wait_for([&] { return held.load(); }), std::move(holder);
    };
    std::thread holder = hold(1e9);
    int bad = 0;
    const double t0 = mono_ms();
    for (int i = 0; i < 1000; ++i) bad += take(0) != -1 || errno != ETIMEDOUT;
    EXPECT_LT(mono_ms() - t0, 900.0);
    for (const int timeout : {1, 60}) {
        const double t = took([&] { bad += take(timeout) != -1 || errno != ETIMEDOUT; });
        EXPECT_TRUE(bad == 0 && t >= timeout - 1 && t < timeout + 3000) << timeout << " took " << t;
    }
    stop = true, holder.join();
    EXPECT_EQ(take(0), 0);
    for (const int timeout : {-1, 30000}) {
        undo(), holder = hold(30);
        EXPECT_EQ(take(timeout), 0) << timeout;
        holder.join();
    }
    undo();
}

// Four threads take the lock at once with a random mix of waits, a third of the takes as writers when
// `shared` (`take(writer, timeout)`), all of them otherwise: a writer is always alone, and a take fails
// only as the time-out of a limited wait. `plain`, written by writers and read by readers, is what
// ThreadSanitizer watches.
inline void expect_exclusion(const std::function<int(bool, int)>& take, const std::function<void()>& unlock,
                             bool shared) {
    std::atomic<int> readers{0}, writers{0}, bad{0}, ready{0};
    long plain = 0;
    std::vector<std::thread> threads;
    for (unsigned n = 0; n < 4; ++n) {
        threads.emplace_back([&, rng = std::mt19937(n)]() mutable {
            for (++ready; ready < 4;) std::this_thread::yield();
            for (int i = 0; i < 5000; ++i) {
                const bool write = !shared || rng() % 3 == 0;
                const int timeout = static_cast<int>(rng() % 4) - 1, rc = take(write, timeout);
                if (rc != 0) {
                    bad += timeout < 0 || rc != -1 || errno != ETIMEDOUT;
                    continue;
                }
                (write ? writers : readers) += 1;
                bad += writers != write || (write && readers) || (write ? ++plain : plain) < 0;
                std::this_thread::yield();  // holds the lock a while, so that the others contend
                (write ? writers : readers) -= 1, unlock();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(bad, 0);
}

// Runs `call` on a thread of its own and interrupts it with SIGUSR1 twenty times, a millisecond apart,
// so that most signals find it blocked in the kernel (the handler is installed without SA_RESTART, so
// the system call returns EINTR); then runs `finish`, which must let the call end, and joins. True when
// the call outlasted the signals.
inline bool outlasts_signals(const std::function<void()>& call, const std::function<void()>& finish) {
    static std::atomic<int> handled{0};
    struct sigaction sa = {}, old = {};
    sa.sa_handler = [](int) { ++handled; };
    EXPECT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::atomic<bool> done{false};
    std::thread t([&] { call(), done = true; });
    for (const int until = handled + 20; handled < until && !done;)
        usleep(1000), pthread_kill(t.native_handle(), SIGUSR1);
    const bool outlasted = !wait_for([&] { return done.load(); }, 100);
    finish(), t.join(), sigaction(SIGUSR1, &old, nullptr);
    return outlasted;
}

// Runs `life` (make an object, use it, unmake it; true when the making succeeded) under a process heap
// of growing size, from one too small for anything until `life` succeeds: whatever fails on the way
// must release what it made, and an object unmade leaves no block behind.
inline void expect_no_leak(const std::function<bool()>& life) {
    alignas(8) static char heap[1 << 16];
    bool made = false;
    for (int size = 64; !made && size < static_cast<int>(sizeof heap); size += 8) {
        int live = 0;
        if (!sw_heap_init(heap, size, 8)) continue;
        made = [&] {
            const StdoutCapture quiet;  // the heap reports each allocation it refuses
            return life();
        }();
        sw_heap_check([](const char*, int, const char*, int, void* n) { ++*static_cast<int*>(n); }, &live);
        sw_heap_exit();
        ASSERT_EQ(live, 0) << "blocks left with a heap of " << size << " bytes";
    }
    EXPECT_TRUE(made);
}

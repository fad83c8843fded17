// Support for the tests of threads, locks, signals and sockets: the library's timed-wait rule checked
// against one primitive, a blocked call interrupted by signal handlers, objects made under a process
// heap too small for them, and elapsed time.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <climits>
#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "support/stdout_capture.h"
#include "support/waitfor.h"
#include "swheap.h"

// Milliseconds that `fn` took.
inline const auto took = [](auto fn, double t0 = mono_ms()) { return fn(), mono_ms() - t0; };

// The timed-wait rule for `take(timeout)`, which fails while `lock(-1)`, run on a thread of its own,
// holds (until `unlock` there, 30 ms after the test lets go): a time-out of 0 makes one try and never
// sleeps (1000 of them take far less than the 1 ms sleep each would cost), a time-out runs out in full
// with ETIMEDOUT, an unlimited or long wait succeeds once the holder lets go, and a free primitive is
// taken with 0. `undo` gives back what a take got.
inline void expect_timed_wait_rule(const std::function<int(int)>& take, const std::function<void()>& undo,
                                   const std::function<int(int)>& lock, const std::function<void()>& unlock) {
    for (const int last : {-1, 30000}) {
        std::atomic<int> stage{0};  // 1: held, 2: let go
        std::thread holder(
            [&] { stage = lock(-1) == 0, wait_for([&] { return stage == 2; }), usleep(30000), unlock(); });
        int bad = !wait_for([&] { return stage == 1; });
        const double polls = took([&] {
            for (int i = 0; i < 1000; ++i) bad += take(0) != -1 || errno != ETIMEDOUT;
        });
        const double t = took([&] { bad += take(60) != -1 || errno != ETIMEDOUT; });
        stage = 2;
        EXPECT_TRUE(take(last) == 0 && bad == 0 && polls < 900 && t >= 59 && t < 3000)
            << bad << " " << polls << " " << t;
        holder.join(), undo();
    }
    EXPECT_EQ(take(0), 0);
    undo();
}

// Runs `call` on a thread of its own and interrupts it with SIGUSR1 twenty times, a millisecond apart,
// so that most signals find it blocked in the kernel (the handler is installed without SA_RESTART, so
// the system call returns EINTR); then runs `finish`, which must let the call end, and joins. True when
// the call outlasted the signals.
inline bool outlasts_signals(const std::function<void()>& call, const std::function<void()>& finish) {
    struct sigaction sa = {}, old = {};
    sa.sa_handler = [](int) {};
    std::atomic<bool> done{false};
    std::thread t([&] { call(), done = true; });
    sigaction(SIGUSR1, &sa, &old);
    for (int i = 0; i < 20 && !done; ++i) usleep(1000), pthread_kill(t.native_handle(), SIGUSR1);
    const bool outlasted = !wait_for([&] { return done.load(); }, 100);
    finish(), t.join(), sigaction(SIGUSR1, &old, nullptr);
    return outlasted;
}

// Makes an object with `make` and unmakes it with `unmake` under a process heap of growing size, from
// one too small for anything until a life in which no allocation was refused: whatever fails on the way
// must release what it made, and an object unmade leaves no block behind.
inline void expect_no_leak(const std::function<void*()>& make, const std::function<void(void*)>& unmake) {
    alignas(8) static char heap[1 << 16];
    bool whole = false;
    for (int size = 64, live = 0; !whole && size < static_cast<int>(sizeof heap); size += 8, live = 0) {
        if (!sw_heap_init(heap, size, 8)) continue;
        StdoutCapture refusals;  // the heap reports each allocation it refuses
        void* object = make();
        whole = object != nullptr && (unmake(object), refusals.finish().empty());
        sw_heap_check([](const char*, int, const char*, int, void* n) { ++*static_cast<int*>(n); }, &live);
        sw_heap_exit();
        ASSERT_EQ(live, 0) << "blocks left with a heap of " << size << " bytes";
    }
    EXPECT_TRUE(whole);
}

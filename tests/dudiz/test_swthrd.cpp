// swthrd: thread objects (the procedure protocol, pause/resume, destroy with grace time and
// cancel, names, priority, stack) and the library's sleep.
#include "swthrd.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/waitfor.h"

namespace {

// Generous for the loop and the sanitizers; the library's own minimum is checked separately.
constexpr int kStack = 1 << 20;

// What a test procedure records; its address travels as wParam.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<int> result{0};       // what the procedure returns
    std::atomic<bool> block{false};   // the procedure waits while set
    std::atomic<bool> inside{false};  // the procedure is executing
    std::mutex m;
    std::vector<double> at;  // time of each call; guarded by m
};

unsigned long arg(Probe* p) {
    return reinterpret_cast<unsigned long>(p);
}

int record(unsigned long w, unsigned long) {
    auto* p = reinterpret_cast<Probe*>(w);
    {
        std::lock_guard<std::mutex> g(p->m);
        p->at.push_back(mono_ms());
    }
    p->inside = true;
    while (p->block.load()) sw_thrd_delay(1);
    p->inside = false;
    ++p->calls;
    return p->result.load();
}

// Owns a thread object for the length of a test; destroys it (without limit) unless released.
struct Thrd {
    explicit Thrd(void* handle) : h(handle) {}
    ~Thrd() { sw_thrd_destroy(h, -1); }
    Thrd(const Thrd&) = delete;
    Thrd& operator=(const Thrd&) = delete;
    void* release() {
        void* r = h;
        h = nullptr;
        return r;
    }
    void* h;
};

// A thread object calling `record` on `p`, already resumed; NULL when creation failed.
void* running(const char* name, Probe* p) {
    void* h = sw_thrd_create(name, 0, kStack, record, arg(p), 0);
    sw_thrd_resume(h);
    return h;
}

std::string name_of(void* h) {
    char buf[32];
    memset(buf, 'x', sizeof buf);
    return sw_thrd_getName(h, buf) == buf ? std::string(buf) : std::string("<null>");
}

// Whether this process may move a thread to real-time scheduling, found on a plain thread.
bool realtime_allowed() {
    bool ok = false;
    std::thread([&] {
        struct sched_param sp {};
        sp.sched_priority = 1;
        ok = pthread_setschedparam(pthread_self(), SCHED_RR, &sp) == 0;
    }).join();
    return ok;
}

}  // namespace

TEST(ThrdDelay, SleepsAsLongAsAsked) {
    for (int ms : {0, 20, 1500}) {
        const double t0 = mono_ms();
        sw_thrd_delay(ms);
        const double elapsed = mono_ms() - t0;
        EXPECT_GE(elapsed, ms - 0.5) << ms;
        EXPECT_LT(elapsed, ms + 3000.0) << ms;
    }
}

TEST(ThrdDelay, KeepsErrno) {
    errno = ETIMEDOUT;
    sw_thrd_delay(1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(Thrd, CreatedPausedAndStartsOnResume) {
    Probe p;
    Thrd t(sw_thrd_create("paused", 0, kStack, record, arg(&p), 0));
    ASSERT_NE(t.h, nullptr);
    EXPECT_TRUE(sw_thrd_isAlive(t.h));
    EXPECT_FALSE(sw_thrd_isRunning(t.h));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a window in which nothing may run
    EXPECT_EQ(p.calls.load(), 0);
    EXPECT_FALSE(sw_thrd_isBusy(t.h));
    p.result = 10;
    sw_thrd_resume(t.h);
    EXPECT_TRUE(sw_thrd_isRunning(t.h));
    EXPECT_TRUE(wait_for([&] { return p.calls.load() >= 3; }));
}

TEST(Thrd, ZeroResultCallsAgainAtOnce) {
    Probe p;
    Thrd t(running("zero", &p));
    ASSERT_NE(t.h, nullptr);
    // A 1 ms wait between calls would take over two seconds for these.
    const double t0 = mono_ms();
    EXPECT_TRUE(wait_for([&] { return p.calls.load() >= 2000; }));
    EXPECT_LT(mono_ms() - t0, 1900.0);
}

TEST(Thrd, PositiveResultSpacesTheCalls) {
    Probe p;
    p.result = 200;
    Thrd t(running("spaced", &p));
    ASSERT_NE(t.h, nullptr);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 3; }));
    std::lock_guard<std::mutex> g(p.m);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_GE(p.at[i] - p.at[i - 1], 199.0) << i;
        EXPECT_LT(p.at[i] - p.at[i - 1], 5000.0) << i;
    }
}

// A resume ends the wait that the result asked for; one given during the call stays pending.
TEST(Thrd, ResumeCutsTheWaitShort) {
    Probe p;
    p.result = 60000;
    Thrd t(running("cut", &p));
    ASSERT_NE(t.h, nullptr);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() == 1; }));
    sw_thrd_resume(t.h);
    EXPECT_TRUE(wait_for([&] { return p.calls.load() == 2; }, 20000.0));

    p.block = true;
    sw_thrd_resume(t.h);
    ASSERT_TRUE(wait_for([&] { return p.inside.load(); }));
    sw_thrd_resume(t.h);  // during the call
    p.block = false;
    EXPECT_TRUE(wait_for([&] { return p.calls.load() == 4; }, 20000.0));
}

TEST(Thrd, NegativeResultEndsTheThreadAfterOneCall) {
    Probe p;
    p.result = -1;
    Thrd t(running("once", &p));
    ASSERT_NE(t.h, nullptr);
    ASSERT_TRUE(wait_for([&] { return p.calls.load() == 1; }));
    EXPECT_TRUE(wait_for([&] { return !sw_thrd_isAlive(t.h); }));
    EXPECT_FALSE(sw_thrd_isRunning(t.h));
    PThrdProc proc = record;
    unsigned long w = 1, l = 1;
    EXPECT_TRUE(wait_for([&] {
        sw_thrd_getProc(t.h, &proc, &w, &l);
        return proc == nullptr;
    }));
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(l, 0u);
    sw_thrd_resume(t.h);  // nobody listens any more
    const double t0 = mono_ms();
    sw_thrd_destroy(t.release(), 0);
    EXPECT_LT(mono_ms() - t0, 3000.0);
    EXPECT_EQ(p.calls.load(), 1);
}

// Destroy resumes the thread so that it can see the quit request: a paused thread with a
// procedure completes one more cycle first, whether it never ran or was paused after running.
TEST(Thrd, DestroyOfAPausedThreadCallsTheProcedureOnceMore) {
    {
        Probe p;
        void* h = sw_thrd_create("never resumed", 0, kStack, record, arg(&p), 0);
        ASSERT_NE(h, nullptr);
        sw_thrd_destroy(h, -1);
        EXPECT_EQ(p.calls.load(), 1);
    }
    {
        Probe p;
        p.result = 5;
        void* h = running("paused later", &p);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(wait_for([&] { return p.calls.load() >= 2; }));
        sw_thrd_pause(h);
        EXPECT_FALSE(sw_thrd_isRunning(h));
        EXPECT_TRUE(sw_thrd_isAlive(h));
        // The call or wait in progress completes; then the calls stop.
        int before = -1;
        ASSERT_TRUE(wait_for([&] {
            const int now = p.calls.load();
            if (now != before || sw_thrd_isBusy(h)) {
                before = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return false;
            }
            return true;
        }));
        sw_thrd_destroy(h, -1);
        EXPECT_EQ(p.calls.load(), before + 1);
    }
}

namespace {

std::atomic<bool> g_stuckEntered{false};
std::atomic<bool> g_stuckReturned{false};

int never_returns(unsigned long, unsigned long) {
    g_stuckEntered = true;
    for (;;) sw_thrd_delay(5);
    g_stuckReturned = true;
    return 0;
}

}  // namespace

// The grace time passes, the thread is cancelled at its next sleep, and destroy returns joined.
// The procedure can still be read and replaced while it runs: no lock is held across the call.
TEST(Thrd, ProcedureThatNeverReturnsIsCancelledAfterTheGraceTime) {
    for (int grace : {0, 100}) {
        g_stuckEntered = false;
        void* h = sw_thrd_create("stuck", 0, kStack, never_returns, 1, 2);
        ASSERT_NE(h, nullptr);
        sw_thrd_resume(h);
        ASSERT_TRUE(wait_for([] { return g_stuckEntered.load(); }));
        EXPECT_TRUE(sw_thrd_isBusy(h));
        PThrdProc proc = nullptr;
        unsigned long w = 0;
        sw_thrd_getProc(h, &proc, &w, nullptr);
        EXPECT_EQ(proc, never_returns);
        EXPECT_EQ(w, 1u);
        EXPECT_TRUE(sw_thrd_setProc(h, never_returns, 3, 4));
        const double t0 = mono_ms();
        sw_thrd_destroy(h, grace);
        const double elapsed = mono_ms() - t0;
        EXPECT_GE(elapsed, grace - 1.0) << grace;
        EXPECT_LT(elapsed, grace + 5000.0) << grace;
        EXPECT_FALSE(g_stuckReturned.load());
    }
}

namespace {

// Two procedures that each know the arguments that belong to them: a call with a mix of one
// pair's procedure and the other's arguments is counted as torn.
std::atomic<int> g_torn{0};
std::atomic<int> g_pairCalls{0};
int pair_a(unsigned long w, unsigned long l) {
    if (w != 11 || l != 12) ++g_torn;
    ++g_pairCalls;
    return 0;
}
int pair_b(unsigned long w, unsigned long l) {
    if (w != 21 || l != 22) ++g_torn;
    ++g_pairCalls;
    return 0;
}

}  // namespace

// The owner swaps the procedure (and sometimes none) while the thread calls at full speed.
TEST(Thrd, SetProcIsNeverSeenHalfDone) {
    g_torn = 0;
    g_pairCalls = 0;
    Thrd t(sw_thrd_create("swap", 0, kStack, pair_a, 11, 12));
    ASSERT_NE(t.h, nullptr);
    sw_thrd_resume(t.h);
    for (int i = 0; i < 20000; ++i) {
        switch (i % 3) {
            case 0:
                sw_thrd_setProc(t.h, pair_b, 21, 22);
                break;
            case 1:
                sw_thrd_setProc(t.h, nullptr, 0, 0);
                break;
            default:
                sw_thrd_setProc(t.h, pair_a, 11, 12);
                break;
        }
        PThrdProc proc = nullptr;
        unsigned long w = 0, l = 0;
        sw_thrd_getProc(t.h, &proc, &w, &l);
        EXPECT_TRUE((proc == pair_a && w == 11 && l == 12) || (proc == nullptr && w == 0 && l == 0) ||
                    (proc == pair_b && w == 21 && l == 22))
            << i;
        if (HasFailure()) break;
    }
    sw_thrd_setProc(t.h, pair_a, 11, 12);
    const int reached = g_pairCalls.load();
    EXPECT_TRUE(wait_for([&] { return g_pairCalls.load() > reached + 10; }));
    EXPECT_EQ(g_torn.load(), 0);
}

// An idle thread (no procedure) picks up one that is set later.
TEST(Thrd, IdleThreadPicksUpALaterProcedure) {
    Probe p;
    Thrd t(sw_thrd_create("idle", 0, kStack, nullptr, 0, 0));
    ASSERT_NE(t.h, nullptr);
    sw_thrd_resume(t.h);
    EXPECT_TRUE(sw_thrd_isRunning(t.h));
    p.result = 1;
    EXPECT_TRUE(sw_thrd_setProc(t.h, record, arg(&p), 0));
    EXPECT_TRUE(wait_for([&] { return p.calls.load() >= 2; }));
    p.block = true;
    EXPECT_TRUE(wait_for([&] { return p.inside.load() && sw_thrd_isBusy(t.h); }));
    p.block = false;
}

TEST(Thrd, NamesAreCutAt31Characters) {
    const std::string forty(40, 'n');
    struct Case {
        std::string given;
        std::string kept;
    } cases[] = {
        {"", ""},
        {"PhotoProc", "PhotoProc"},
        {forty.substr(0, 31), forty.substr(0, 31)},
        {forty.substr(0, 32), forty.substr(0, 31)},
        {forty, forty.substr(0, 31)},
    };
    for (const Case& c : cases) {
        Thrd t(sw_thrd_create(c.given.c_str(), 0, kStack, nullptr, 0, 0));
        ASSERT_NE(t.h, nullptr);
        EXPECT_EQ(name_of(t.h), c.kept) << c.given;
        EXPECT_TRUE(sw_thrd_setName(t.h, "short"));
        EXPECT_TRUE(sw_thrd_setName(t.h, c.given.c_str()));
        EXPECT_EQ(name_of(t.h), c.kept) << "set " << c.given;
    }
}

TEST(Thrd, NamelessThreadsAreNumberedDistinctly) {
    int first = -1;
    for (int k = 0; k < 2; ++k) {
        Thrd t(sw_thrd_create(nullptr, 0, kStack, nullptr, 0, 0));
        ASSERT_NE(t.h, nullptr);
        int n = -1;
        char rest[32] = {};
        ASSERT_EQ(sscanf(name_of(t.h).c_str(), "nameless%d %31s", &n, rest), 2) << name_of(t.h);
        EXPECT_STREQ(rest, "thread");
        if (k == 0) first = n;
        EXPECT_EQ(n, first + k);
    }
    // Created from several threads at once, the numbers stay distinct.
    constexpr int kCreators = 8;
    std::vector<std::string> names(kCreators);
    std::vector<std::thread> creators;
    for (int i = 0; i < kCreators; ++i) {
        creators.emplace_back([&names, i] {
            void* h = sw_thrd_create(nullptr, 0, kStack, nullptr, 0, 0);
            names[i] = h == nullptr ? "<failed>" : name_of(h);
            sw_thrd_destroy(h, -1);
        });
    }
    for (auto& c : creators) c.join();
    const std::set<std::string> distinct(names.begin(), names.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kCreators));
    EXPECT_EQ(distinct.count("<failed>"), 0u);
}

TEST(Thrd, StackBelowTheSystemMinimumFails) {
    const long minStack = sysconf(_SC_THREAD_STACK_MIN);
    ASSERT_GT(minStack, 1);
    for (int size : {static_cast<int>(minStack - 1), 1024, 0, -1}) {
        EXPECT_EQ(sw_thrd_create("small", 0, size, nullptr, 0, 0), nullptr) << size;
    }
}

TEST(Thrd, PriorityZeroIsTimeSharing) {
    Thrd t(sw_thrd_create("ts", 0, kStack, nullptr, 0, 0));
    ASSERT_NE(t.h, nullptr);
    EXPECT_EQ(sw_thrd_getPriority(t.h), 0);
    EXPECT_FALSE(sw_thrd_setPriority(t.h, 0));
    EXPECT_FALSE(sw_thrd_setPriority(t.h, 100));
    EXPECT_EQ(sw_thrd_getPriority(t.h), 0);
}

// The procedure sleeps (long waits between calls), so a real-time thread never hogs a core.
// Without the privilege the thread is still made, with the creator's scheduling.
TEST(Thrd, RealTimePriorityWhereAllowed) {
    const bool allowed = realtime_allowed();
    Probe p;
    p.result = 50;
    Thrd t(sw_thrd_create("rt", 50, kStack, record, arg(&p), 0));
    ASSERT_NE(t.h, nullptr) << "a refused priority must not fail the creation";
    sw_thrd_resume(t.h);
    EXPECT_EQ(sw_thrd_getPriority(t.h), allowed ? 50 : 0)
        << (allowed ? "real-time allowed" : "real-time refused");
    EXPECT_EQ(sw_thrd_setPriority(t.h, 20), allowed);
    EXPECT_EQ(sw_thrd_getPriority(t.h), allowed ? 20 : 0);
    EXPECT_TRUE(wait_for([&] { return p.calls.load() >= 2; }));
}

TEST(Thrd, NullHandleIsAnsweredAndIgnored) {
    char buf[32] = "unchanged";
    PThrdProc proc = record;
    sw_thrd_destroy(nullptr, 0);
    sw_thrd_pause(nullptr);
    sw_thrd_resume(nullptr);
    sw_thrd_getProc(nullptr, &proc, nullptr, nullptr);
    EXPECT_EQ(proc, record);
    EXPECT_FALSE(sw_thrd_isAlive(nullptr));
    EXPECT_FALSE(sw_thrd_isRunning(nullptr));
    EXPECT_FALSE(sw_thrd_isBusy(nullptr));
    EXPECT_FALSE(sw_thrd_setName(nullptr, "x"));
    EXPECT_EQ(sw_thrd_getName(nullptr, buf), nullptr);
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_FALSE(sw_thrd_setPriority(nullptr, 10));
    EXPECT_EQ(sw_thrd_getPriority(nullptr), -1);
    EXPECT_FALSE(sw_thrd_setProc(nullptr, record, 0, 0));
    Thrd t(sw_thrd_create("args", 0, kStack, nullptr, 0, 0));
    ASSERT_NE(t.h, nullptr);
    EXPECT_FALSE(sw_thrd_setName(t.h, nullptr));
    EXPECT_EQ(sw_thrd_getName(t.h, nullptr), nullptr);
}

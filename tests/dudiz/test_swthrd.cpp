// swthrd: the protocol of thread objects (paused at creation, resumes that cut waits short, the end of
// the thread, destroy), procedures swapped as one unit, names, stack, priority, NULL handles, no block
// left behind, and the library's sleep. The timer's tests cover the waits between calls and pause, the
// pool's tests the cancel of a running call, through the same thread objects.
#include "swthrd.h"

#include "support/lock_holder.h"

// What the test procedure records; its address travels as wParam. A call returns `result` and makes
// `then` the result of the next.
struct Probe {
    std::atomic<int> calls{0}, result{0}, then{0}, block{0};
};

int record(unsigned long w, unsigned long) {
    Probe& p = *reinterpret_cast<Probe*>(w);
    while (p.block) sw_thrd_delay(1);
    return ++p.calls, p.result.exchange(p.then);
}

void* create(const char* name, Probe* p = nullptr, int stack = 1 << 20) {
    return sw_thrd_create(name, 0, stack, p ? record : nullptr, reinterpret_cast<unsigned long>(p), 0);
}

// Created paused (creation takes 10 ms, time enough for a thread that was not paused to call). A resume
// given while the procedure runs ends the wait its result asks for. A negative result ends the thread
// after that call; the object stays, without procedure, until destroyed, and a resume meets nobody.
// Destroy resumes a paused thread so that it sees the quit request: it calls its procedure once more.
// (The pool's tests cancel a running call.) A thread without a procedure idles, not busy. Then the owner
// swaps procedure and arguments while the thread calls at full speed: each call sees one set whole (each
// procedure checks its own arguments), and getProc gives back what was set.
TEST(SwThrd, LifeAndProcedureSwaps) {
    Probe p, paused;
    void* h = nullptr;
    EXPECT_GE(took([&] { h = create("probe", &p); }), 9.5);
    EXPECT_TRUE(p.calls == 0 && sw_thrd_isAlive(h) && !sw_thrd_isRunning(h) && !sw_thrd_isBusy(h));
    p.block = 1, p.result = 60000, p.then = -1, sw_thrd_resume(h);
    ASSERT_TRUE(wait_for([&] { return sw_thrd_isBusy(h) && sw_thrd_isRunning(h); }));
    sw_thrd_resume(h), p.block = 0;
    PThrdProc proc = record;
    unsigned long w = 1, l = 1;
    EXPECT_TRUE(wait_for([&] { return sw_thrd_getProc(h, &proc, &w, &l), !proc && !w && !l; }))
        << "the pending resume must end the 60 s wait";
    EXPECT_FALSE(sw_thrd_isAlive(h) || sw_thrd_isRunning(h) || p.calls != 2);
    sw_thrd_resume(h), sw_thrd_destroy(h, -1), sw_thrd_destroy(h = create("paused", &paused), -1);
    static std::atomic<int> torn{0}, calls{0};
    const PThrdProc a = [](unsigned long w, unsigned long l) { return torn += l != w + 1, ++calls, 0; };
    const PThrdProc b = [](unsigned long w, unsigned long l) { return torn += l != w + 2, ++calls, 0; };
    int busy = 0;
    for (int i = (sw_thrd_resume(h = create("swap")), 0); i < 100; ++i)
        busy += sw_thrd_isBusy(h), usleep(300);
    EXPECT_TRUE(busy < 50 && paused.calls == 1);
    // a with l = w + 1, b with l = w + 2, or none, until the thread has made 2000 calls meanwhile.
    for (unsigned long i = 0; i < 100000000 && calls < 2000; ++i)
        sw_thrd_setProc(h, i % 3 == 2 ? nullptr : i % 3 ? b : a, i, i + 1 + i % 3);
    const int reached = (sw_thrd_setProc(h, b, 7, 9), calls.load());
    EXPECT_TRUE(wait_for([&] { return calls > reached + 10; }) && torn == 0) << torn;
    EXPECT_TRUE((sw_thrd_getProc(h, &proc, &w, &l), proc == b && w == 7 && l == 9));
    sw_thrd_destroy(h, -1);
}

// At most 31 characters of a name are kept; nameless threads are numbered on, also when created from
// several threads at once. The stack must hold sysconf(_SC_THREAD_STACK_MIN). Priority 0 keeps
// time-sharing; priorities outside 1 to 99 are refused. A NULL handle or name is refused. Nothing is left
// behind, also when memory runs out.
TEST(SwThrd, NamesStackPriorityNullArgumentsAndNoLeak) {
    char buf[32];
    const int least = static_cast<int>(sysconf(_SC_THREAD_STACK_MIN));
    for (const int size : {least - 1, -1}) EXPECT_EQ(create("small", nullptr, size), nullptr) << size;
    void* h = create("0123456789012345678901234567890123456789", nullptr, least);
    EXPECT_TRUE(!strcmp(sw_thrd_getName(h, buf), "0123456789012345678901234567890") &&
                sw_thrd_setName(h, "ab") && !strcmp(sw_thrd_getName(h, buf), "ab") &&
                sw_thrd_getPriority(h) == 0 && !sw_thrd_setPriority(h, 0) && !sw_thrd_setPriority(h, 100));
    EXPECT_FALSE(sw_thrd_setName(h, nullptr) || sw_thrd_getName(nullptr, buf));
    sw_thrd_destroy(h, -1);
    std::vector<void*> nameless(8);
    std::vector<std::thread> creators;
    for (void*& t : nameless) creators.emplace_back([&t] { t = create(nullptr); });
    for (std::thread& t : creators) t.join();
    std::set<std::string> names;
    for (void* t : nameless) names.insert(sw_thrd_getName(t, buf)), sw_thrd_destroy(t, -1);
    std::string all;
    for (const std::string& name : names) all += name + ",";
    EXPECT_TRUE(std::regex_match(all, std::regex("(nameless[0-9]+ thread,){8}"))) << all;
    expect_no_leak([] { return create(nullptr); }, [](void* t) { sw_thrd_destroy(t, -1); });
}

// Sleeps as long as asked (1000 ms are one second, not two); a negative time sleeps until a signal
// handler runs; errno is kept.
TEST(SwThrd, Delay) {
    for (const int ms : {0, 1000}) EXPECT_NEAR(took([&] { sw_thrd_delay(ms); }), ms + 449.5, 450) << ms;
    int err = 0;
    EXPECT_FALSE(outlasts_signals([&] { errno = ETIMEDOUT, sw_thrd_delay(-1), err = errno; }, [] {}) ||
                 err != ETIMEDOUT);
}

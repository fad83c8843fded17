// swstack: locked last-in-first-out list of records with release procedures, in the caller's
// memory container or the general heap.
#include "swstack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "swmem.h"

namespace {

// Release calls, in order, as (addr, size).
std::mutex g_releasedLock;
std::vector<std::pair<long, int>> g_released;
void record_release(void* addr, int size) {
    std::lock_guard<std::mutex> g(g_releasedLock);
    g_released.emplace_back(reinterpret_cast<long>(addr), size);
}

stk_data rec(long addr, int size = 0, PStackDataFreeCallback fn = record_release) {
    return stk_data{addr, size, fn, static_cast<unsigned long>(addr) * 3, static_cast<unsigned long>(size) + 7};
}

bool same(const stk_data& a, const stk_data& b) {
    return a.addr == b.addr && a.size == b.size && a.freeFun == b.freeFun && a.wParam == b.wParam &&
           a.lParam == b.lParam;
}

// Runs each test with the general heap and with a container of the test's own.
class StackTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        g_released.clear();
        if (GetParam()) {
            ASSERT_NE(mem_ = sw_mem_create(buf_, sizeof buf_, 8), nullptr);
        }
        ASSERT_NE(s_ = sw_stack_create(mem_), nullptr);
    }
    void TearDown() override {
        sw_stack_destroy(s_);
        if (mem_ != nullptr) {
            EXPECT_EQ(live_blocks(), 0) << "the stack left blocks in its container";
            sw_mem_destroy(mem_);
        }
    }
    int live_blocks() const {
        int blocks = 0;
        sw_mem_check(mem_, [](const char*, int, const char*, int, void* n) { ++*static_cast<int*>(n); }, &blocks);
        return blocks;
    }
    alignas(16) char buf_[256 * 1024];
    void* mem_ = nullptr;
    void* s_ = nullptr;
};

}  // namespace

TEST_P(StackTest, LastInFirstOut) {
    for (long a : {1L, 2L, 3L}) ASSERT_TRUE(sw_stack_push(s_, rec(a, static_cast<int>(a) * 10)));
    EXPECT_EQ(sw_stack_getDataElementsCnt(s_), 3);
    for (long a : {3L, 2L, 1L}) {
        stk_data out{};
        sw_stack_pop(s_, &out);
        EXPECT_TRUE(same(out, rec(a, static_cast<int>(a) * 10))) << a;
        EXPECT_EQ(sw_stack_getDataElementsCnt(s_), static_cast<int>(a) - 1);
    }
    EXPECT_TRUE(g_released.empty()) << "records handed out are the caller's";
}

TEST_P(StackTest, PopOfAnEmptyStackLeavesTheResultAlone) {
    stk_data out = rec(77, 5);
    sw_stack_pop(s_, &out);
    EXPECT_TRUE(same(out, rec(77, 5)));
    sw_stack_pop(s_, nullptr);
    EXPECT_EQ(sw_stack_getDataElementsCnt(s_), 0);
    EXPECT_TRUE(g_released.empty());
}

TEST_P(StackTest, PopWithoutResultReleasesTheRecord) {
    ASSERT_TRUE(sw_stack_push(s_, rec(11, 1)));
    ASSERT_TRUE(sw_stack_push(s_, rec(12, 2, nullptr)));
    ASSERT_TRUE(sw_stack_push(s_, rec(13, 3)));
    sw_stack_pop(s_, nullptr);
    sw_stack_pop(s_, nullptr);  // no release procedure: nothing called
    EXPECT_EQ(g_released, (std::vector<std::pair<long, int>>{{13, 3}}));
    EXPECT_EQ(sw_stack_getDataElementsCnt(s_), 1);
}

TEST_P(StackTest, DestroyReleasesWhatIsLeftTopFirst) {
    ASSERT_TRUE(sw_stack_push(s_, rec(21, 4)));
    ASSERT_TRUE(sw_stack_push(s_, rec(22, 0, nullptr)));
    ASSERT_TRUE(sw_stack_push(s_, rec(23, 6)));
    sw_stack_destroy(s_);
    s_ = nullptr;
    EXPECT_EQ(g_released, (std::vector<std::pair<long, int>>{{23, 6}, {21, 4}}));
}

// A release procedure runs outside the stack's lock, so it may use the stack.
TEST_P(StackTest, ReleaseProcedureMayUseTheStack) {
    static void* self;
    static int countSeen;
    self = s_;
    countSeen = -2;
    ASSERT_TRUE(sw_stack_push(s_, rec(1)));
    ASSERT_TRUE(sw_stack_push(s_, rec(2, 0, [](void*, int) {
        countSeen = sw_stack_getDataElementsCnt(self);
        (void)sw_stack_push(self, rec(3, 0, nullptr));
    })));
    sw_stack_pop(s_, nullptr);
    EXPECT_EQ(countSeen, 1);
    EXPECT_EQ(sw_stack_getDataElementsCnt(s_), 2);
}

TEST(SwStack, NullHandleIsAnsweredAndIgnored) {
    stk_data out = rec(5, 5);
    EXPECT_FALSE(sw_stack_push(nullptr, rec(1)));
    sw_stack_pop(nullptr, &out);
    EXPECT_TRUE(same(out, rec(5, 5)));
    EXPECT_EQ(sw_stack_getDataElementsCnt(nullptr), -1);
    sw_stack_destroy(nullptr);
}

// The record and the nodes live in the caller's container: a full container refuses creation or a
// push and keeps the stack as it was; popping gives the node's space back.
TEST(SwStackContainer, NodesComeFromTheCallersContainer) {
    alignas(16) static char buf[1024];
    g_released.clear();
    void* mem = sw_mem_create(buf, sizeof buf, 8);
    ASSERT_NE(mem, nullptr);
    void* s = sw_stack_create(mem);
    ASSERT_NE(s, nullptr);
    EXPECT_GE(reinterpret_cast<uintptr_t>(s), reinterpret_cast<uintptr_t>(buf));
    EXPECT_LT(reinterpret_cast<uintptr_t>(s), reinterpret_cast<uintptr_t>(buf) + sizeof buf);
    int pushed = 0;
    testing::internal::CaptureStdout();  // the container logs its exhaustion
    while (sw_stack_push(s, rec(pushed))) ++pushed;
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("memory container is full"), std::string::npos);
    ASSERT_GT(pushed, 3);
    EXPECT_LT(pushed, 1024 / 16) << "nodes must come from the small container, not the general heap";
    EXPECT_EQ(sw_stack_getDataElementsCnt(s), pushed);
    stk_data out{};
    sw_stack_pop(s, &out);
    EXPECT_EQ(out.addr, pushed - 1);
    EXPECT_TRUE(sw_stack_push(s, rec(100))) << "the popped node's space is free again";
    sw_stack_destroy(s);
    EXPECT_EQ(g_released.size(), static_cast<size_t>(pushed));
    g_released.clear();
    sw_mem_destroy(mem);
}

// Pushers and poppers at once: every record comes out exactly once, whether popped by a thread,
// released on a pop without result, or released by destroy.
TEST_P(StackTest, ConcurrentPushAndPopLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 400;  // fits the test's container with room to spare
    std::vector<std::atomic<int>> seen(kThreads * kPerThread);
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([&, n] {
            std::mt19937 rng(static_cast<unsigned>(n));
            for (int i = 0; i < kPerThread; ++i) {
                while (!sw_stack_push(s_, rec(n * kPerThread + i))) std::this_thread::yield();
                if (rng() % 3 == 0) {
                    stk_data out{-1, 0, nullptr, 0, 0};
                    sw_stack_pop(s_, &out);
                    if (out.addr >= 0) ++seen[static_cast<size_t>(out.addr)];
                } else if (rng() % 3 == 0) {
                    sw_stack_pop(s_, nullptr);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    sw_stack_destroy(s_);
    s_ = nullptr;
    for (const auto& r : g_released) ++seen[static_cast<size_t>(r.first)];
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << i;
}

INSTANTIATE_TEST_SUITE_P(Heaps, StackTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Container" : "GeneralHeap"; });

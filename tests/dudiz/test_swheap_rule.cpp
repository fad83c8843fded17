// White-box: the library's internal allocation rule, which tests the installed process heap at
// every call. Runs in forked children because it installs a heap.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>

#include "internal/swalloc.h"
#include "support/forked.h"
#include "support/stdout_capture.h"
#include "swheap.h"

namespace {

int listed_blocks() {
    int n = 0;
    (void)sw_heap_check([](const char*, int, const char*, int, void* p) { ++*static_cast<int*>(p); }, &n);
    return n;
}

TEST(SwAllocRule, FollowsTheHeapChosenAtEachCall) {
    expect_passes_in_child([] {
        constexpr int kSize = 4096;
        auto storage = std::make_unique<char[]>(kSize);
        void* general = SW_ALLOC(32);  // before the heap: malloc
        ASSERT_NE(general, nullptr);
        ASSERT_TRUE(sw_heap_init(storage.get(), kSize, 8));
        void* own = SW_ALLOC(100);
        ASSERT_NE(own, nullptr);
        const auto at = reinterpret_cast<uintptr_t>(own);
        EXPECT_GT(at, reinterpret_cast<uintptr_t>(storage.get()));
        EXPECT_LT(at, reinterpret_cast<uintptr_t>(storage.get()) + kSize);
        EXPECT_EQ(listed_blocks(), 1);
        SW_FREE(own);
        EXPECT_EQ(listed_blocks(), 0);
        sw_heap_exit();
        SW_FREE(general);  // after the heap: free
    });
}

TEST(SwAllocRule, SizesBeyondTheContainersIntAreRefusedQuietly) {
    expect_passes_in_child([] {
        constexpr int kSize = 4096;
        auto storage = std::make_unique<char[]>(kSize);
        ASSERT_TRUE(sw_heap_init(storage.get(), kSize, 8));
        StdoutCapture cap;
        EXPECT_EQ(sw_rule_alloc(static_cast<size_t>(INT_MAX) + 1, __FILE__, __LINE__), nullptr);
        EXPECT_EQ(sw_rule_alloc(SIZE_MAX, __FILE__, __LINE__), nullptr);
        EXPECT_EQ(cap.finish(), "") << "refused before reaching the container";
        EXPECT_EQ(listed_blocks(), 0);
        sw_heap_exit();
    });
}

}  // namespace

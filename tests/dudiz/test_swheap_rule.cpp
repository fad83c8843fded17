// White-box: the library's internal allocation rule, which tests the installed process heap at
// every call. Runs in forked children because it installs a heap.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "internal/swalloc.h"
#include "internal/swreplace.h"
#include "support/forked.h"
#include "support/stdout_capture.h"
#include "support/tempdir.h"
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

// Whole-file replacement allocates its temporary name by the rule: a full heap is a plain failure
// (no exception crossing the C functions above it) and the target is left alone.
TEST(SwAllocRule, FileReplacementFailsCleanlyOnAFullHeap) {
    TempDir dir;
    dir.write("target", "old");
    const std::string target = dir.file("target");
    expect_passes_in_child([&] {
        constexpr int kSize = 4096;
        auto storage = std::make_unique<char[]>(kSize);
        ASSERT_TRUE(sw_heap_init(storage.get(), kSize, 8));
        StdoutCapture cap;
        while (SW_ALLOC(16) != nullptr) {
        }
        errno = 0;
        EXPECT_EQ(sw_file_replace(target.c_str(), "new", 3), -1);
        EXPECT_EQ(errno, ENOMEM);
        (void)cap.finish();
        sw_heap_exit();
    });
    EXPECT_EQ(TempDir::read(target), "old");
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) entries += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(entries, 1) << "no temporary file is left";
}

}  // namespace

// Process heap: installing a container for the whole library, and removing it. Everything that
// installs a heap runs in a forked child, since g_hSwHeap redirects every allocation of the process.
#include "swheap.h"

#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/forked.h"
#include "support/stdout_capture.h"
#include "swmutex.h"

namespace {

std::vector<const char*> heap_blocks(int* history = nullptr) {
    std::vector<const char*> out;
    const int hw = sw_heap_check(
        [](const char*, int, const char* ptr, int, void* param) {
            static_cast<std::vector<const char*>*>(param)->push_back(ptr);
        },
        &out);
    if (history != nullptr) *history = hw;
    return out;
}

bool inside(const void* p, const char* buf, int size) {
    const auto a = reinterpret_cast<uintptr_t>(p);
    return a >= reinterpret_cast<uintptr_t>(buf) && a < reinterpret_cast<uintptr_t>(buf) + static_cast<uintptr_t>(size);
}

// Under AddressSanitizer, true when the leak checker finds nothing unreachable; elsewhere true.
bool no_leaks() {
#if defined(__SANITIZE_ADDRESS__)
    return __lsan_do_recoverable_leak_check() == 0;
#else
    return true;
#endif
}

TEST(SwHeap, WithoutAHeapEverythingAnswersMinusOne) {
    ASSERT_EQ(g_hSwHeap, nullptr);
    int calls = 0;
    EXPECT_EQ(sw_heap_getTotalSize(), -1);
    EXPECT_EQ(sw_heap_check([](const char*, int, const char*, int, void* n) { ++*static_cast<int*>(n); }, &calls),
              -1);
    EXPECT_EQ(calls, 0);
    sw_heap_exit();
    EXPECT_EQ(g_hSwHeap, nullptr);
}

TEST(SwHeap, RefusedCreationLeavesNoHeap) {
    expect_passes_in_child([] {
        static char buf[256];
        EXPECT_FALSE(sw_heap_init(buf, sizeof buf, 3));
        EXPECT_EQ(g_hSwHeap, nullptr);
        EXPECT_FALSE(sw_heap_init(nullptr, 256, 8));
        EXPECT_EQ(g_hSwHeap, nullptr);
    });
}

TEST(SwHeap, LibraryObjectsLiveInTheInstalledHeap) {
    expect_passes_in_child([] {
        constexpr int kSize = 16 * 1024;
        auto storage = std::make_unique<char[]>(kSize);
        char* buf = storage.get();
        ASSERT_TRUE(sw_heap_init(buf, kSize, 8));
        ASSERT_NE(g_hSwHeap, nullptr);
        EXPECT_TRUE(inside(g_hSwHeap, buf, kSize));
        EXPECT_EQ(sw_heap_getTotalSize(), sw_mem_getTotalSize(g_hSwHeap));
        EXPECT_TRUE(heap_blocks().empty()) << "the heap's own mutex comes from the general heap";

        void* mutex = sw_mutex_create();
        ASSERT_NE(mutex, nullptr);
        EXPECT_EQ(heap_blocks(), std::vector<const char*>{static_cast<const char*>(mutex)});
        EXPECT_EQ(sw_mutex_lock(mutex, -1), 0);
        sw_mutex_unlock(mutex);
        sw_mutex_destroy(mutex);
        int history = 0;
        EXPECT_TRUE(heap_blocks(&history).empty());
        EXPECT_GT(history, 0);

        sw_heap_exit();
        EXPECT_EQ(g_hSwHeap, nullptr);
        EXPECT_EQ(sw_heap_getTotalSize(), -1);
        EXPECT_TRUE(no_leaks()) << "the heap's own mutex must go back to malloc";
    });
}

TEST(SwHeap, ExhaustedHeapFailsTheObjectAndLogsOnce) {
    expect_passes_in_child([] {
        // Room for the header, one node and a few bytes: no library object fits.
        alignas(16) static char buf[256];
        void* probe = sw_mem_create(buf, sizeof buf, 8);
        const int header = static_cast<int>(sizeof buf) - sw_mem_getTotalSize(probe);
        sw_mem_destroy(probe);
        ASSERT_TRUE(sw_heap_init(buf, header + 24, 8));
        StdoutCapture cap;
        EXPECT_EQ(sw_mutex_create(), nullptr);
        const std::string out = cap.finish();
        char expected[128];
        snprintf(expected, sizeof expected, "sorry, alloc memory fail, because %p memory container is full!!",
                 g_hSwHeap);
        EXPECT_NE(out.find(expected), std::string::npos) << out;
        EXPECT_EQ(out.find(expected), out.rfind(expected)) << out;
        EXPECT_TRUE(heap_blocks().empty());
        sw_heap_exit();
    });
}

}  // namespace

// Process heap and the allocation rule, which consults the installed heap at every call. Whatever
// installs a heap runs in a forked child: g_hSwHeap redirects every allocation of the process.
#include "swheap.h"

#include <gtest/gtest.h>
#include <sanitizer/lsan_interface.h>

#include "internal/swalloc.h"
#include "internal/swreplace.h"
#include "support/forked.h"
#include "support/tempdir.h"
#include "swmutex.h"
#include "swstack.h"

// The result of sw_heap_check (the high-water mark, -1 without a heap) and the blocks it listed.
using Heap = std::pair<int, int>;
Heap heap() {
    int n = 0;
    return {sw_heap_check([](const char*, int, const char*, int, void* c) { ++*(int*)c; }, &n), n};
}

// Library objects live in the heap while it is installed, in malloc's before and after; of a stack,
// only the mutex does. Sizes beyond the container's int are refused (on a 64-bit host the second
// would be 16 when cut to an int). A full heap fails the objects that need memory; a whole-file
// replacement, whose temporary name comes by the rule, then leaves the target and its directory alone.
TEST(SwHeap, ObjectsFollowTheHeapChosenAtEachCall) {
    sw_heap_exit();  // none installed: nothing to do
    EXPECT_TRUE(heap() == Heap(-1, 0) && sw_heap_getTotalSize() == -1);
    TempDir dir;
    const std::string target = dir.write("target", "old");
    expect_passes_in_child([&] {
        alignas(16) static char buf[16 * 1024];
        const auto inside = [](void* p) { return p >= buf && p < buf + sizeof buf; };
        void* before = SW_ALLOC(32);
        EXPECT_TRUE(!sw_heap_init(buf, 256, 3) && !sw_heap_init(nullptr, 256, 8) && g_hSwHeap == nullptr);
        EXPECT_TRUE(sw_heap_init(buf, sizeof buf, 8) && heap() == Heap(0, 0));
        void *mutex = sw_mutex_create(), *stack = sw_stack_create(nullptr), *own = SW_ALLOC(100);
        EXPECT_TRUE(inside(mutex) && inside(own) && !inside(before) && sw_stack_push(stack, {}));
        EXPECT_TRUE(heap().second == 3 && sw_heap_getTotalSize() == sw_mem_getTotalSize(g_hSwHeap));
        EXPECT_TRUE(!sw_rule_alloc(size_t{1} << 31, "", 0) && !sw_rule_alloc(SIZE_MAX / 2 + 17, "", 0));
        SW_FREE(own), sw_mutex_destroy(mutex), sw_stack_destroy(stack);
        EXPECT_TRUE(heap().first > 0 && heap().second == 0);
        sw_heap_exit(), SW_FREE(before);  // malloc's again
        EXPECT_TRUE(g_hSwHeap == nullptr && sw_heap_getTotalSize() == -1);
        // The header, a node and 8 bytes.
        ASSERT_TRUE(sw_heap_init(buf, (sizeof(void*) == 4 ? 32 : 56) + 24, 8));
        errno = 0;
        EXPECT_TRUE(!sw_mutex_create() && sw_file_replace(target.c_str(), "new", 3) == -1 && errno == ENOMEM);
        EXPECT_TRUE(heap() == Heap(0, 0));
        sw_heap_exit();
#if defined(__SANITIZE_ADDRESS__)
        EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "the heap's own mutex must go back to malloc";
#endif
    });
    // Only an empty directory can be removed.
    EXPECT_TRUE(TempDir::read(target) == "old" && remove(target.c_str()) == 0 &&
                rmdir(dir.path().c_str()) == 0);
}

// The process heap: one memory container named by the global g_hSwHeap.
#include "swheap.h"

extern "C" {
SW_API void* g_hSwHeap = nullptr;
}

extern "C" bool sw_heap_init(char* buf, int size, int align) {
    g_hSwHeap = sw_mem_create(buf, size, align);
    return g_hSwHeap != nullptr;
}

extern "C" void sw_heap_exit(void) {
    void* heap = g_hSwHeap;
    // Cleared first so that destroying the heap's mutex releases it to malloc, its origin.
    g_hSwHeap = nullptr;
    sw_mem_destroy(heap);
}

extern "C" int sw_heap_check(PMemCheckCallback proc, void* lpParameter) {
    return sw_mem_check(g_hSwHeap, proc, lpParameter);
}

extern "C" int sw_heap_getTotalSize(void) { return sw_mem_getTotalSize(g_hSwHeap); }

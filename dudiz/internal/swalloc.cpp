// The allocation rule: the process heap when one is installed, else the general heap; the one
// place in the library that tests g_hSwHeap.
#include "internal/swalloc.h"

#include <climits>
#include <cstdlib>

#include "swheap.h"

extern "C" void* sw_rule_alloc(size_t size, const char* file, int line) {
    void* heap = g_hSwHeap;
    if (heap == nullptr) return malloc(size);
    if (size > static_cast<size_t>(INT_MAX)) return nullptr;  // beyond any container's int size
    return sw_mem_alloc(heap, static_cast<int>(size), file, line);
}

extern "C" void sw_rule_free(void* ptr, const char* file, int line) {
    void* heap = g_hSwHeap;
    if (heap == nullptr) {
        free(ptr);
    } else {
        sw_mem_free(heap, ptr, file, line);
    }
}

// Locked LIFO of small records in the caller's memory container (or the general heap).
#include "swstack.h"

#include <cstdlib>

#include "swmem.h"
#include "swmutex.h"

namespace {

struct stk_node {
    stk_data data;
    stk_node* next;  // the node below; nullptr at the bottom
};

struct stk_stack {
    void* hMem;      // container of this record and the nodes; nullptr: malloc/free
    stk_node* top;   // guarded by hMutex
    int nodesCnt;    // guarded by hMutex
    void* hMutex;
};

// The stack's own container, not the process-wide rule: the creator chose where its memory lives.
void* stack_alloc(void* hMem, int size) {
    return hMem != nullptr ? sw_mem_alloc(hMem, size, __FILE__, __LINE__) : malloc(static_cast<size_t>(size));
}

void stack_free(void* hMem, void* p) {
    if (hMem != nullptr) {
        sw_mem_free(hMem, p, __FILE__, __LINE__);
    } else {
        free(p);
    }
}

void discard(const stk_data& d) {
    if (d.freeFun != nullptr) d.freeFun(reinterpret_cast<void*>(d.addr), d.size);
}

}  // namespace

extern "C" void* sw_stack_create(void* hMem) {
    auto* s = static_cast<stk_stack*>(stack_alloc(hMem, static_cast<int>(sizeof(stk_stack))));
    if (s == nullptr) return nullptr;
    s->hMem = hMem;
    s->top = nullptr;
    s->nodesCnt = 0;
    s->hMutex = sw_mutex_create();
    if (s->hMutex == nullptr) {
        stack_free(hMem, s);
        return nullptr;
    }
    return s;
}

extern "C" bool sw_stack_push(void* hStack, struct stk_data data) {
    auto* s = static_cast<stk_stack*>(hStack);
    if (s == nullptr) return false;
    auto* node = static_cast<stk_node*>(stack_alloc(s->hMem, static_cast<int>(sizeof(stk_node))));
    if (node == nullptr) return false;
    node->data = data;
    (void)sw_mutex_lock(s->hMutex, -1);
    node->next = s->top;
    s->top = node;
    ++s->nodesCnt;
    sw_mutex_unlock(s->hMutex);
    return true;
}

extern "C" void sw_stack_pop(void* hStack, struct stk_data* result) {
    auto* s = static_cast<stk_stack*>(hStack);
    if (s == nullptr) return;
    (void)sw_mutex_lock(s->hMutex, -1);
    stk_node* node = s->top;
    if (node != nullptr) {
        s->top = node->next;
        --s->nodesCnt;
    }
    sw_mutex_unlock(s->hMutex);
    if (node == nullptr) return;
    if (result != nullptr) {
        *result = node->data;
    } else {
        discard(node->data);
    }
    stack_free(s->hMem, node);
}

extern "C" int sw_stack_getDataElementsCnt(const void* hStack) {
    const auto* s = static_cast<const stk_stack*>(hStack);
    if (s == nullptr) return -1;
    (void)sw_mutex_lock(s->hMutex, -1);
    const int n = s->nodesCnt;
    sw_mutex_unlock(s->hMutex);
    return n;
}

extern "C" void sw_stack_destroy(void* hStack) {
    auto* s = static_cast<stk_stack*>(hStack);
    if (s == nullptr) return;
    stk_node* node = s->top;
    while (node != nullptr) {
        stk_node* below = node->next;
        discard(node->data);
        stack_free(s->hMem, node);
        node = below;
    }
    sw_mutex_destroy(s->hMutex);
    void* hMem = s->hMem;
    stack_free(hMem, s);
}

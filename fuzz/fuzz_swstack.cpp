// Fuzzes the stack with push/pop sequences beside a std::vector model, in a small memory container
// or the general heap: records come out whole and last in first out; counts agree; release
// procedures run exactly for the records nobody took (outside the lock, so they may use the stack;
// top first on destroy); the stack's record and nodes live in its own container, where a full one
// refuses a push and changes nothing; a NULL handle is answered. Input: a byte choosing the heap,
// then one op byte a step.
#include <cstdint>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "swmem.h"
#include "swstack.h"

#define CHECK(...) ((__VA_ARGS__) ? static_cast<void>(0) : abort())

using Released = std::vector<std::pair<long, int>>;  // address, and the count the procedure saw
static void* g_stack;                                // NULL while destroy runs the release procedures
static Released g_freed;
static int g_blocks;
static const PStackDataFreeCallback record = [](void* p, int) {
    g_freed.emplace_back(reinterpret_cast<long>(p), sw_stack_getDataElementsCnt(g_stack));
};
static const PMemCheckCallback count = [](const char*, int, const char*, int, void*) { ++g_blocks; };
static const auto fields = [](auto& d) { return std::tie(d.addr, d.size, d.freeFun, d.wParam, d.lParam); };

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    alignas(16) static char buf[640];  // room for a handful of nodes
    void* mem = size > 0 && data[0] % 2 ? sw_mem_create(buf, sizeof buf, 8) : nullptr;
    void* s = g_stack = sw_stack_create(mem);
    auto blocks = [&] { return g_blocks = 0, sw_mem_check(mem, count, nullptr), g_blocks; };
    const stk_data none{-7, 0, nullptr, 0, 0};
    stk_data out = none;
    std::vector<stk_data> model;
    sw_stack_destroy(nullptr), sw_stack_pop(nullptr, &out);
    CHECK(!sw_stack_push(nullptr, none) && sw_stack_getDataElementsCnt(nullptr) == -1 &&
          fields(out) == fields(none));
    for (size_t i = 1; i < size; ++i, out = none) {
        const stk_data rec{static_cast<long>(i), data[i], data[i] % 2 ? record : nullptr, i * 3, ~i};
        const int op = data[i] % 3;  // push, pop, discard
        const stk_data top = op == 0 || model.empty() ? none : model.back();
        g_freed.clear();
        // Only a small container runs full.
        if (op == 0) sw_stack_push(s, rec) ? model.push_back(rec) : CHECK(mem != nullptr);
        if (op != 0) sw_stack_pop(s, op == 1 ? &out : nullptr), model.resize(model.size() - !model.empty());
        const auto n = static_cast<int>(model.size());
        CHECK(fields(out) == fields(op == 1 ? top : none) && sw_stack_getDataElementsCnt(s) == n);
        CHECK(g_freed == (op == 2 && top.freeFun ? Released{{top.addr, n}} : Released{}) &&
              blocks() == (mem ? n + 1 : 0));
    }
    Released expected;
    for (auto r = model.rbegin(); r != model.rend(); ++r)
        if (r->freeFun) expected.emplace_back(r->addr, -1);
    g_freed.clear(), g_stack = nullptr;
    sw_stack_destroy(s);
    CHECK(g_freed == expected && blocks() == 0);
    sw_mem_destroy(mem);
    return 0;
}

// Fuzzes the stack with push/pop sequences read from the input, in a small memory container or the
// general heap, beside a std::vector model: order, counts and release calls must agree, and a full
// container must refuse a push without changing the stack.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "swmem.h"
#include "swstack.h"

namespace {

#define CHECK(cond) ((cond) ? static_cast<void>(0) : abort())

std::vector<long> g_released;
void record_release(void* addr, int) { g_released.push_back(reinterpret_cast<long>(addr)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    alignas(16) static char buf[2048];
    void* mem = (data[0] & 1u) != 0 ? sw_mem_create(buf, sizeof buf, 8) : nullptr;
    void* s = sw_stack_create(mem);
    CHECK(s != nullptr);
    std::vector<long> model;
    g_released.clear();
    for (size_t i = 1; i < size; ++i) {
        const uint8_t op = data[i];
        if ((op & 3u) < 2) {
            const stk_data rec{static_cast<long>(i), op, (op & 4u) != 0 ? record_release : nullptr, op, i};
            if (sw_stack_push(s, rec)) {
                model.push_back(static_cast<long>(i));
            } else {
                CHECK(mem != nullptr);  // only a small container runs full
            }
        } else if ((op & 3u) == 2) {
            stk_data out{-7, 0, nullptr, 0, 0};
            sw_stack_pop(s, &out);
            if (model.empty()) {
                CHECK(out.addr == -7);
            } else {
                CHECK(out.addr == model.back() && out.wParam == static_cast<unsigned long>(data[out.addr]));
                model.pop_back();
            }
        } else {
            const size_t before = g_released.size();
            const bool releases = !model.empty() && (data[model.back()] & 4u) != 0;
            sw_stack_pop(s, nullptr);
            CHECK(g_released.size() - before == (releases ? 1u : 0u));
            if (!model.empty()) model.pop_back();
        }
        CHECK(sw_stack_getDataElementsCnt(s) == static_cast<int>(model.size()));
    }
    g_released.clear();
    size_t expected = 0;
    for (long k : model) expected += (data[k] & 4u) != 0 ? 1 : 0;
    sw_stack_destroy(s);
    CHECK(g_released.size() == expected);
    if (mem != nullptr) sw_mem_destroy(mem);
    return 0;
}

// The library-wide allocation rule in one place: memory comes from the installed process heap
// (g_hSwHeap) when there is one, else from malloc; the choice is made afresh at every call, so a
// block must be released under the same choice under which it was obtained.
// Internal to the toolkit (dudiz and quellshot); not an installed header.
#ifndef DUDIZ_INTERNAL_SWALLOC_H
#define DUDIZ_INTERNAL_SWALLOC_H

#include <stddef.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Allocates `size` bytes by the rule, tagging a container allocation with file and line.
 * Returns NULL when out of memory or when `size` does not fit the container's int size. */
SW_API void* sw_rule_alloc(size_t size, const char* file, int line);

/* Releases a block obtained by sw_rule_alloc under the same rule. NULL is ignored. */
SW_API void sw_rule_free(void* ptr, const char* file, int line);

#ifdef __cplusplus
}
#endif

#define SW_ALLOC(size) sw_rule_alloc((size), __FILE__, __LINE__)
#define SW_FREE(ptr) sw_rule_free((ptr), __FILE__, __LINE__)

#ifdef __cplusplus
namespace dudiz {

// Owns one block of the rule for a scope: released when the holder goes, also when a
// cancellation unwinds the stack. `p` may be NULL.
struct RuleBlock {
    void* p = nullptr;
    RuleBlock() = default;
    explicit RuleBlock(void* block) : p(block) {}
    RuleBlock(const RuleBlock&) = delete;
    RuleBlock& operator=(const RuleBlock&) = delete;
    ~RuleBlock() { SW_FREE(p); }
};

}  // namespace dudiz
#endif

#endif /* DUDIZ_INTERNAL_SWALLOC_H */

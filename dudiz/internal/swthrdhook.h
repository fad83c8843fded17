// A replaceable seam of the thread objects' loop, so that tests can hold a thread at the point of a
// cycle where a pause and a change of procedure from other threads can fall: after its look at the
// pause flag, before it raises its busy flag. Internal to the toolkit; not an installed header. The
// setter stores atomically and returns the previous value; NULL, the default, calls nothing.
#ifndef DUDIZ_INTERNAL_SWTHRDHOOK_H
#define DUDIZ_INTERNAL_SWTHRDHOOK_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called by the thread of `hThrd` once a cycle. */
typedef void (*PSwThrdCycleHook)(void* hThrd);

SW_API PSwThrdCycleHook sw_hook_setThrdCycle(PSwThrdCycleHook fn);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_INTERNAL_SWTHRDHOOK_H */

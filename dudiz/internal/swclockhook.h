// Replaceable seam of the wall-clock setter (xsetlocaltime), so that tests can record the
// settimeofday call instead of changing the machine's clock.
// Internal to the toolkit; not an installed header. The setter stores atomically and returns the
// previous value; NULL restores the real behaviour.
#ifndef DUDIZ_INTERNAL_SWCLOCKHOOK_H
#define DUDIZ_INTERNAL_SWCLOCKHOOK_H

#include <sys/time.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the wall clock; the real one is settimeofday(tv, NULL). Returns 0 or -1 with errno. */
typedef int (*PSwSetClockProc)(const struct timeval* tv);

/* Replaces the function xsetlocaltime sets the clock with. */
SW_API PSwSetClockProc sw_hook_setClockSetter(PSwSetClockProc fn);

/* The current setter, for the library's own use. */
PSwSetClockProc sw_hook_clockSetter(void);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_INTERNAL_SWCLOCKHOOK_H */

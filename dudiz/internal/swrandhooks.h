// Seams of the random generator (swrand), so that tests can start a thread's sequence from a
// known state and feed the seeding clock, without waiting for the calendar.
// Internal to the toolkit; not an installed header.
#ifndef DUDIZ_INTERNAL_SWRANDHOOKS_H
#define DUDIZ_INTERNAL_SWRANDHOOKS_H

#include <time.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the calendar clock as time(2) does. */
typedef time_t (*PSwTimeProc)(time_t* out);

/* Replaces the clock xrand32 seeds from (atomically, for all threads); NULL restores time(2).
 * Returns the previous replacement, NULL when there was none. */
SW_API PSwTimeProc sw_hook_setRandClock(PSwTimeProc fn);

/* Sets the calling thread's generator state (0: not yet seeded) and returns the previous one. */
SW_API unsigned int sw_hook_swapRandState(unsigned int state);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_INTERNAL_SWRANDHOOKS_H */

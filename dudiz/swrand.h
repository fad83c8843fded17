/* Pseudo-random 32-bit numbers, each thread with a generator of its own.
 *
 * The generator is Marsaglia's 32-bit xorshift (shifts 13, 17, 5): fast and small, with period
 * 2^32 - 1 over the non-zero values, but predictable and not uniform enough for cryptography or
 * statistics. Each thread's state starts at 0 and is seeded at the thread's first call from the
 * calendar time in seconds, so threads whose first call falls in the same second produce the same
 * sequence. There is no operation to set or read the state. */
#ifndef DUDIZ_SWRAND_H
#define DUDIZ_SWRAND_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Draws the calling thread's next number.
 * range - 0 for the full 32-bit value; otherwise the result is reduced to 0 to range - 1 by the
 *         plain remainder (slightly biased towards small values when range does not divide 2^32;
 *         range 1 always gives 0).
 * The state kept is the unreduced value, so a thread's sequence does not depend on the ranges
 * asked for. The first call of a thread seeds from time(NULL) and returns the next value after the
 * seed; when the clock reads 0 (its low 32 bits, which form the seed) the first result is the fixed
 * value 0x2b1f4d63 and the sequence goes on from there.
 * Reentrant: touches only the calling thread's own state; never blocks, allocates nothing, is no
 * cancellation point. Not async-signal-safe in the strict sense: a draw in a signal handler that
 * interrupts a draw of the same thread may give the same number as the interrupted one. */
SW_API unsigned int xrand32(unsigned int range);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWRAND_H */

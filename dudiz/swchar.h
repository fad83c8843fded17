/* Single bits of one byte, and of a byte array used as a bit array (flags packed eight to a byte).
 *
 * Bit positions within a byte run from 0 (the least significant bit, value 1) to 7 (value 128).
 * In an array of bufSize bytes, position pos is bit pos % 8 of byte pos / 8, so the array holds
 * bufSize * 8 positions. Bit values are 0 and 1; no other value is taken as a bit.
 *
 * Byte values and results are unsigned char, so the getters' "outside" answer 0xFF compares equal
 * to 0xFF (255) whether the platform's char is signed (x86) or unsigned (ARM). Storage is passed
 * as char, as callers keep flags in plain char buffers; it is read and written as unsigned bytes.
 *
 * All functions are reentrant, async-signal-safe and no cancellation points; they allocate nothing
 * and never block. Each write is a read-modify-write of the whole byte, so concurrent writers of
 * bits in the same byte must serialise themselves.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWCHAR_H
#define DUDIZ_SWCHAR_H

#include <stdbool.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The value of the "outside" answer of the getters. */
#define SW_BIT_OUTSIDE 0xFF

/* Reads bit `pos` of the byte `c`.
 * Returns 0 or 1; SW_BIT_OUTSIDE (0xFF) when pos is outside 0 to 7 (negative positions included). */
SW_API unsigned char sw_char_getBit(unsigned char c, int pos);

/* Writes bit `pos` of the byte at `c`: `bit` 0 clears it, 1 sets it; the other bits stay.
 * Returns true when the bit was written; false, with nothing written, when c is NULL, pos is
 * outside 0 to 7, or bit is neither 0 nor 1 (2 or 255 are not taken as 1). */
SW_API bool sw_char_setBit(char* c, int pos, unsigned char bit);

/* Reads position `pos` of the bit array of `bufSize` bytes at `buf` (only byte pos / 8 is read).
 * Returns 0 or 1; SW_BIT_OUTSIDE (0xFF) when buf is NULL, bufSize is 0 or negative, pos is
 * negative, or pos / 8 is at least bufSize (any int bufSize, no overflow of bufSize * 8). */
SW_API unsigned char sw_chararry_getBit(const char* buf, int bufSize, int pos);

/* Writes position `pos` of the bit array of `bufSize` bytes at `buf`, as sw_char_setBit does on
 * byte pos / 8 with position pos % 8.
 * Returns true when the bit was written; false, with nothing written, under the conditions under
 * which sw_chararry_getBit answers 0xFF, or when bit is neither 0 nor 1. */
SW_API bool sw_chararry_setBit(char* buf, int bufSize, int pos, unsigned char bit);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWCHAR_H */

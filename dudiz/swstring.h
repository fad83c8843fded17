/* Text helpers: case-insensitive comparison and search, date-time layouts, time stamps and the
 * millisecond tick, and classification and conversion of text (case, one character, numbers,
 * hexadecimal). Strings are NUL-terminated bytes read as unsigned char; case folding is the
 * C library's toupper() of the current locale (the toolkit never changes it, so ASCII letters).
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWSTRING_H
#define DUDIZ_SWSTRING_H

#include <stdbool.h>
#include <time.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- comparison and search ---------------------------------------------------------------- */

/* Compares s1 and s2 ignoring case. Returns exactly -1, 0 or 1 (never a character difference).
 * A NULL string sorts before every string, the empty one included; two NULLs are equal. A proper
 * prefix sorts first ("ab" < "ABC"). Bytes above 127 compare by unsigned value. Reentrant. */
SW_API int xstrcasecmp(const char* s1, const char* s2);

/* As xstrcasecmp, but compares at most the first n positions. With both strings non-NULL, an n of
 * 0 or less gives 0. The NULL rules of xstrcasecmp apply first, whatever n is. Reentrant. */
SW_API int xstrncasecmp(const char* s1, const char* s2, int n);

/* Finds `child` in `str` ignoring case and returns a pointer into `str`, or NULL.
 * mode - "left": the first occurrence; "right": the last occurrence (anywhere, not only at the
 *        end). Matched ignoring case; any other mode gives NULL.
 * An empty child matches at the first byte of a non-empty str with "left" (an empty str gives
 * NULL), and at the terminating NUL of str with "right" (also for an empty str). Any NULL
 * argument gives NULL. The result drops const, as strstr does. Reentrant. */
SW_API char* xstrcasestr(const char* str, const char* mode, const char* child);

/* xstrcasestr for the one-character child `c` (matched ignoring case). A NUL `c` is an empty
 * child. Reentrant. */
SW_API char* xstrcasechr(const char* str, const char* mode, char c);

/* ---- date-time layouts and clocks --------------------------------------------------------- */

/* Format names, matched ignoring case, and the layouts they select (minimum widths):
 *   "datetime"    YYYY-MM-DD HH:MM:SS       19 characters
 *   "datetime(h)" YYYY-MM-DD HH:MM:SS.mmm   23
 *   "date"        YYYY-MM-DD                10
 *   "time"        HH:MM:SS                   8
 *   "time(h)"     HH:MM:SS.mmm              12
 * Wider values (a five-digit year, ms above 999) print more digits. */

/* Writes *pTime (and `ms` for the "(h)" layouts) into `str` in the layout named by `mode`.
 * str   - output; the caller provides room for the layout plus NUL (20 bytes for "datetime").
 * ms    - milliseconds, 0 to 999; a negative value is refused for every layout.
 * Returns str, or NULL (writing nothing) when str, pTime or mode is NULL, ms is negative or the
 * format name is unknown. Reentrant. */
SW_API char* tmtostr(char* str, const struct tm* pTime, short ms, const char* mode);

/* Writes the current local time (wall clock, with milliseconds) in the layout named by `mode`.
 * Returns str, or NULL as tmtostr does, or when the local time cannot be converted (then nothing
 * is written). Reentrant: the conversion uses a struct tm of the call. */
SW_API char* xstrgettime(char* str, const char* mode);

/* Stores milliseconds of the monotonic clock into *tick, computed in 32-bit unsigned arithmetic
 * (wraps to 0 after about 49.7 days); unaffected by changes of the wall clock.
 * Returns 0, or -1 when tick is NULL. Reentrant. */
SW_API int xgettickcount(unsigned long* tick);

/* ---- classification and conversion -------------------------------------------------------- */

/* These functions take NUL-terminated byte strings, read every byte as unsigned char, allocate
 * nothing and keep no state. The length is measured once at the start. All are reentrant; the
 * in-place ones touch only the caller's buffer. None blocks. */

/* Turns every byte 'A' to 'Z' of `str` into its lower-case form, in place; every other byte
 * (bytes of 128 and above included) is left unchanged. Returns str; NULL for NULL. */
SW_API char* xstrtolower(char* str);

/* Turns every byte 'a' to 'z' of `str` into its upper-case form, in place; every other byte is
 * left unchanged. Returns str; NULL for NULL. */
SW_API char* xstrtoupper(char* str);

/* Counts the bytes of `str` (before its terminating NUL) equal to `c`.
 * Returns the count (0 for the empty string and for a `c` of NUL), or -1 when str is NULL. */
SW_API int xstrcharcnt(const char* str, char c);

/* Overwrites, in place, every byte of `str` equal to `src` with `dst`, over the length measured
 * before the first change. A `dst` of NUL still replaces every occurrence (the string then reads
 * as cut at the first one); a `src` of NUL matches nothing.
 * Returns the number of bytes replaced, or -1 when str is NULL. */
SW_API int xstrcharreplace(char* str, char src, char dst);

/* Tests what `str` spells. NULL gives false for all three.
 * xstrisint:   only the digits '0'-'9' (no sign, no blanks); true for the empty string.
 * xstrishex:   only '0'-'9', 'A'-'F', 'a'-'f' (no "0x" prefix, no sign); true for "".
 * xstrisfloat: only '0'-'9' and '.', with exactly one '.' anywhere ("1.5", ".5", "5." and "."
 *              are fractions; "", "1", "1.2.3", "-1.5" and "1e5" are not). */
SW_API bool xstrisint(const char* str);
SW_API bool xstrishex(const char* str);
SW_API bool xstrisfloat(const char* str);

/* Converts hexadecimal text into bytes, scanning `str` from the left:
 *   - "0x" or "0X" (wherever it stands) is skipped;
 *   - a hexadecimal digit starts a byte: with a second digit right after it the two form the
 *     byte (first digit high), else the single digit is the byte (0 to 15);
 *   - every other byte (blank, ':', '-', ',', 'g', ...) is skipped.
 * So "A1B2" gives A1 B2, "123" gives 12 03, "0x1F 0x2" gives 1F 02, "de:ad" gives DE AD.
 * hex - output; the caller provides at least (strlen(str) + 1) / 2 bytes (nothing bounds it).
 * Returns the number of bytes stored (0 when str holds no digit), or -1 when str or hex is
 * NULL. */
SW_API int xstrtohex(const char* str, unsigned char* hex);

/* Appends the `hexCnt` bytes of `hex` to the text in `str` as two lower-case hexadecimal digits
 * each, every byte preceded by `prefix` and every byte but the last followed by `split`.
 * With prefix "0x" and split "," the bytes 01 AB append "0x01,0xab".
 * str    - in/out: a NUL-terminated string (usually empty) that is appended to, not overwritten;
 *          the caller provides room for strlen(str) + hexCnt * (strlen(prefix) + 2) +
 *          (hexCnt - 1) * strlen(split) + 1 bytes.
 * prefix - may be NULL (no prefix); at most 2 characters.
 * split  - may be NULL (no separator); any length (the pieces are built from the actual lengths).
 * Returns hexCnt, or -1 (and str untouched) when hex or str is NULL, hexCnt is 0 or negative,
 * or prefix is longer than 2 characters. */
SW_API int xstrfromhex(const unsigned char* hex, int hexCnt, char* str, const char* prefix,
                       const char* split);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWSTRING_H */

/* Text helpers: case-insensitive comparison and search, date-time layouts, time stamps and the
 * millisecond tick. Strings are NUL-terminated bytes read as unsigned char; case folding is the
 * C library's toupper() of the current locale (the toolkit never changes it, so ASCII letters).
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWSTRING_H
#define DUDIZ_SWSTRING_H

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

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWSTRING_H */

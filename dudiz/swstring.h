/* Text helpers: case-insensitive comparison and search, date-time layouts, time stamps and the
 * millisecond tick, classification and conversion of text (case, one character, numbers,
 * hexadecimal), date-time parsing and arithmetic, and field records (name=value) in a buffer. Strings are NUL-terminated bytes read as unsigned char; case folding is the
 * C library's toupper() of the current locale (the toolkit never changes it, so ASCII letters).
 * No function allocates, logs or keeps a pointer it was given; results that are pointers point into
 * the caller's own buffers. Only the clock and date-time functions use the system (the clocks, the
 * time-zone rules, and setting the wall clock in xsetlocaltime): a conversion of local time may
 * read the time-zone file the first time (and after TZ changes); apart from that, no function
 * blocks. No function is a cancellation point.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWSTRING_H
#define DUDIZ_SWSTRING_H

#include <stdbool.h>
#include <stdint.h>
#include <time.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- comparison and search ---------------------------------------------------------------- */

/* Compares s1 and s2 ignoring case. Returns exactly -1, 0 or 1 (never a character difference).
 * A NULL string sorts before every string, the empty one included; two NULLs are equal. A proper
 * prefix sorts first ("ab" < "ABC"). Bytes above 127 compare by unsigned value. Reentrant;
 * async-signal-safe, as all the comparison and search functions are. */
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
 * The fields of *pTime are printed as they are, unchecked: each prints as many digits as it has
 * (a negative one with its sign), so out-of-range fields need more room than the layout.
 * Returns str, or NULL (writing nothing) when str, pTime or mode is NULL, ms is negative, the
 * format name is unknown, or the year (tm_year + 1900) or month (tm_mon + 1) would pass INT_MAX.
 * Reentrant; not async-signal-safe (stdio formatting). */
SW_API char* tmtostr(char* str, const struct tm* pTime, short ms, const char* mode);

/* Writes the current local time (wall clock, with milliseconds) in the layout named by `mode`.
 * Returns str, or NULL as tmtostr does, or when the local time cannot be converted (then nothing
 * is written). Reentrant: the conversion uses a struct tm of the call. Not async-signal-safe. */
SW_API char* xstrgettime(char* str, const char* mode);

/* Stores milliseconds of the monotonic clock into *tick, computed in 32-bit unsigned arithmetic
 * (wraps to 0 after about 49.7 days); unaffected by changes of the wall clock.
 * Returns 0, or -1 when tick is NULL. Reentrant; async-signal-safe. */
SW_API int xgettickcount(unsigned long* tick);

/* ---- classification and conversion -------------------------------------------------------- */

/* These functions take NUL-terminated byte strings, read every byte as unsigned char, allocate
 * nothing and keep no state. The length is measured once at the start. All are reentrant and
 * async-signal-safe; the in-place ones touch only the caller's buffer, which the caller must not
 * change from another thread meanwhile. None blocks. */

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

/* ---- date-time parsing and arithmetic ----------------------------------------------------- */

/* These functions read the layouts named above. Local time follows the TZ of the process (read
 * with tzset() once, and again by every mktime); conversions use a struct tm of the call. All are
 * reentrant but not async-signal-safe (they use the C library's time-zone state and stdio
 * scanning). */

/* Parses `str`, written in the layout named by `mode`, into *pTime and *ms.
 * The numbers of a layout are maximum widths: the year takes up to 4 digits, the other fields up
 * to 2, the milliseconds up to 3 read as an integer (".5" gives 5, ".042" gives 42). '-', ':' and
 * '.' must match; the blank between date and time matches any run of white space, none included.
 * Parsing stops at the first mismatch: the fields not reached keep what the caller put in
 * *pTime and *ms (so clear them first), and the text still counts as read. Year and month are
 * then brought to struct tm conventions (tm_year - 1900, tm_mon - 1) also when not reached.
 * "time" and "time(h)" take year, month and day from the current local date. Fields a layout
 * does not carry (and tm_wday, tm_yday, tm_isdst) are left as the caller set them.
 * pTime - in/out; ms - in/out, required for every layout (written only by the "(h)" layouts).
 * Returns pTime, or NULL (pTime and ms untouched) when an argument is NULL, the format name is
 * unknown, the current local date cannot be read, or not even the first field could be read.
 * Reentrant. */
SW_API struct tm* strtotm(const char* str, struct tm* pTime, short* ms, const char* mode);

/* Moves the local instant written in `str` by `ms` milliseconds (negative: back) and writes the
 * result over `str` in the same layout. Daylight saving is decided by the local rules for that
 * date, so a text grown by 0 comes back unchanged. "date" is taken at 00:00:00 (growing
 * "2024-03-01" by 1 ms leaves it); "time" and "time(h)" lie on the current day (growing
 * "23:59:59" by 1000 ms gives "00:00:00"). Layouts without milliseconds drop the sub-second part.
 * str - in/out: a NUL-terminated text; the result is never longer than the text it replaces.
 * Returns str, or NULL with str unchanged when str or mode is NULL, the text cannot be read
 * (see strtotm), it lies before 1970-01-01 00:00:00 UTC, the new instant does not fit time_t
 * (after 2038-01-19 03:14:07 UTC where time_t has 32 bits) or cannot be converted to local time,
 * or its text would be longer than `str` (a year above 9999). Reentrant. */
SW_API char* xstrtimegrow(char* str, const char* mode, int64_t ms);

/* Measures s1 minus s2, both written in the layout named by `mode`, read as local time (the
 * daylight-saving rules of each date apply). A NULL text counts as the epoch
 * (1970-01-01 00:00:00 UTC, 0 ms).
 * interval - out, may be NULL: the difference in milliseconds, positive when s1 is later.
 * Returns true when both texts could be read (the result does not order them), false when a
 * given text cannot be read (see strtotm; an unknown format name included) or lies before
 * 1970-01-01 00:00:00 UTC; *interval is then not written. Two NULL texts give true and 0
 * without looking at mode. Reentrant. */
SW_API bool xstrtimecmp(const char* s1, const char* s2, const char* mode, int64_t* interval);

/* Sets the system's wall clock to `timestamp`, a decimal count of seconds since
 * 1970-01-01 00:00:00 UTC (a Unix time, despite the name), with settimeofday(2). Leading white
 * space and a '+' are allowed; nothing may follow the digits.
 * Returns 0 when the clock was set, or -1 (clock untouched) when timestamp is NULL, holds no
 * digit, has anything after the number, is negative, or exceeds 2147483647 (the largest 32-bit
 * time_t), or when settimeofday fails (errno set; EPERM without the CAP_SYS_TIME capability).
 * Thread-safe (changes system-wide state; the monotonic tick is not affected); never blocks.
 * Every thread and process that reads the wall clock sees the jump. */
SW_API int xsetlocaltime(const char* timestamp);

/* ---- field records in text ---------------------------------------------------------------- */

/* A field text is a buffer of bufSize bytes whose text is followed only by NUL bytes (the free
 * room). The text is split into records by the delimiter; a record holding '=' is a field
 * "name=value". Names and values are matched ignoring case and read without the blanks around
 * them (a blank is any byte 0 to 32, or 127; so a carriage return before a line feed is
 * ignored). A record whose first non-blank bytes are '#' or "//" is a comment; records without
 * '=' (section lines, empty lines) and comments never match. The earliest matching record wins.
 * The text ends at its last non-NUL byte; the free room is the NUL bytes after it (bufSize - 1
 * for a buffer of NUL bytes only, which is empty).
 *
 * delimiter - 0 or '\n' for the line feed, else an ASCII punctuation character other than '='.
 * name, value - may contain neither the delimiter nor '='.
 * varySize  - out, may be NULL: the change of the text's length in bytes (negative, 0, positive).
 *
 * Fields are written as name '=' value exactly as passed. A field appended to a text that does
 * not end with the delimiter is preceded by a separator ("\r\n" for the line feed, else the
 * delimiter); none is written after it. A written field may fill the buffer to its last byte
 * (no terminating NUL is kept then); a caller using the text as a C string keeps a NUL beyond
 * bufSize. Nothing is allocated; every operation scans the buffer once, from the start.
 * Every failure leaves the buffer exactly as it was, and no byte beyond bufSize is read or
 * written. All are reentrant; the caller serialises access to one buffer. None blocks. */

/* Reads the value of the first field named `name` into `value` (valueSize bytes, NUL-terminated;
 * an empty or blank value gives ""). Returns value, or NULL (value untouched) when buf, name or
 * value is NULL, bufSize or valueSize is below 1, an argument is invalid (see above), no field
 * is named so, or the value with its NUL does not fit valueSize. */
SW_API char* sw_str_getFieldValue(const char* buf, int bufSize, char delimiter, const char* name, char* value,
                                  int valueSize);

/* Reads the name of the first field whose value is `value` into `name` (nameSize bytes,
 * NUL-terminated; a field starting with '=' gives ""). Returns name, or NULL (name untouched) as
 * sw_str_getFieldValue does. */
SW_API char* sw_str_getFieldName(const char* buf, int bufSize, char delimiter, char* name, int nameSize,
                                 const char* value);

/* Sets the value of the first field named `name` to `value`, rewriting that field as
 * "name=value" in place (the text behind it moves; its delimiter and a carriage return before a
 * line feed stay). Without such a field and with autoAdd, appends "name=value" at the end of the
 * text (after a separator, see above); at least 2 bytes of free room are needed to append.
 * Returns true when the field was written, false when an argument is NULL or invalid, the field
 * is missing and autoAdd is false, or the free room is too small. */
SW_API bool sw_str_setFieldValue(char* buf, int bufSize, char delimiter, const char* name, const char* value,
                                 bool autoAdd, int* varySize);

/* Renames the first field whose value is `value` to `name` (rewriting it as "name=value");
 * otherwise as sw_str_setFieldValue, appending "name=value" with autoAdd. */
SW_API bool sw_str_setFieldName(char* buf, int bufSize, char delimiter, const char* name, const char* value,
                                bool autoAdd, int* varySize);

/* Deletes the first field named `name`: the record with its delimiter (a last record without
 * one goes alone, the delimiter before it stays); the text behind moves up.
 * Returns true when the field was deleted or is not there (then buf and *varySize are not
 * touched), false when an argument is NULL or invalid. */
SW_API bool sw_str_delFieldByName(char* buf, int bufSize, char delimiter, const char* name, int* varySize);

/* Deletes the first field whose value is `value`; otherwise as sw_str_delFieldByName. */
SW_API bool sw_str_delFieldByValue(char* buf, int bufSize, char delimiter, const char* value, int* varySize);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWSTRING_H */

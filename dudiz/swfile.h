/* File helpers: whole-file write and read, size, rename, delete, existence and copy, and one
 * field of a configuration file.
 * Sizes and counts are int: files up to INT_MAX bytes (2 GiB minus 1) on every platform.
 * None of these functions logs; each reports through its result only. Every one works on the file
 * system: it blocks for its file-system calls, may be a cancellation point there (see swlog.h;
 * a thread cancelled inside one may leave a file open or a temporary block allocated) and is not
 * async-signal-safe. Pointers passed in are used only during the call.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWFILE_H
#define DUDIZ_SWFILE_H

#include <stdbool.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- whole files -------------------------------------------------------------------------- */

/* Writes `bufSize` bytes of `buf` to the file `path` opened with fopen `mode` ("wb" replaces a
 * file, "ab" appends, "w" suits a kernel parameter file); the descriptor is close-on-exec.
 * With a bufSize of 0 nothing is written, but the file is still opened (so "wb" creates or
 * empties it).
 * Returns the number of bytes written (less than bufSize after a short write), or -1 when path,
 * mode or buf is NULL, bufSize is negative, the file cannot be opened, or flushing or closing it
 * fails (a full disk, or a kernel parameter file refusing the value, shows up only there; the
 * file may then hold part of the data). Reentrant; blocks as long as the write does. */
SW_API int sw_file_update(const char* path, const char* mode, const char* buf, int bufSize);

/* Returns the size in bytes of `path` (stat, following symbolic links), or -1 when path is NULL,
 * stat fails (errno set), or the size is above INT_MAX. Reentrant; blocks for the lookup. */
SW_API int sw_file_getSize(const char* path);

/* Reads the whole file `path`, opened with fopen `mode` (normally "rb"), into `buf`.
 * buf     - out: bufSize bytes; no NUL is appended (a caller reading text allocates one more).
 * The size is taken first (stat) and exactly that many bytes are asked for: a file that grows
 * meanwhile is read up to its earlier size, one that shrinks gives a smaller count.
 * Returns the number of bytes read (0 for an empty file, which is not opened), or -1 when path,
 * mode or buf is NULL, bufSize is negative, the size cannot be taken (see sw_file_getSize), the
 * file cannot be opened, or bufSize is smaller than the file (then nothing is read).
 * Reentrant; blocks as long as the read does. */
SW_API int sw_file_load(const char* path, const char* mode, char* buf, int bufSize);

/* Renames `oldName` to `newName` (rename; an existing newName is replaced).
 * Returns 0, or -1 when a name is NULL or rename fails (errno set). Reentrant; blocks for the
 * rename. */
SW_API int sw_file_rename(const char* oldName, const char* newName);

/* Deletes the file or empty directory `path` (remove; a symbolic link itself, not its target).
 * Returns 0, or -1 when path is NULL or remove fails (errno set). Reentrant; blocks for the
 * removal. */
SW_API int sw_file_delete(const char* path);

/* Tells whether `path` exists (access() with F_OK, following symbolic links). NULL gives false.
 * Reentrant; blocks for the lookup. */
SW_API bool sw_file_exists(const char* path);

/* Copies the file `existingFilename` to `newFilename` ("wb": created or replaced), holding the
 * whole content in memory (malloc) meanwhile.
 * failIfExists - true: refuse when newFilename exists already (it is left untouched).
 * Returns the number of bytes copied (0 for an empty source, which gives an empty target), or -1
 * when a name is NULL, the target exists and failIfExists is set, the source cannot be sized or
 * read whole, memory runs out, or the target cannot be written whole (a partly written target
 * may stay). The existence test and the copy are separate steps: a target created meanwhile by
 * someone else is replaced. The block is freed before the call returns.
 * Reentrant; blocks as long as the reads and writes do. */
SW_API int sw_file_copy(const char* existingFilename, const char* newFilename, bool failIfExists);

/* ---- configuration files ------------------------------------------------------------------ */

/* A configuration file is field text (see swstring.h) with the line-feed delimiter: lines
 * "name=value" (names and values matched ignoring case, read without surrounding blanks, so a
 * carriage return before the line feed is ignored), comment lines starting with '#' or "//",
 * and other lines (section lines, empty lines), which never match.
 *
 * section - may be NULL: the whole file. Otherwise a marker text (typically "[name]"): the
 *           region searched is everything from its first occurrence anywhere in the file
 *           (ignoring case) to the end of the file. A section does not end at the next section
 *           line, so a field missing from the named section is found in a later one.
 * mode    - a mode word, matched ignoring case (listed at each function).
 *
 * Each call reads the whole file (a copy by the allocation rule), works on the copy and, for
 * set and delete, replaces the file as one step: the new content goes to a temporary file
 * created exclusively in the same directory and is renamed over the file, which keeps its
 * permission bits. A failed write leaves the old file whole (a symbolic link at path is
 * replaced by a regular file, its target untouched). Nothing is logged.
 * None of them locks the file: two concurrent writers of one file lose one update; a reader
 * always sees the old or the new content. Reentrant; each blocks as long as the file-system
 * calls do. */

/* Reads one field of the configuration file `path`.
 * mode "GetFieldValue": copies the value of the first field named by the text in `field` into
 *                       `value`;
 *      "GetFieldName":  copies the name of the first field whose value is the text in `value`
 *                       into `field`.
 * field, value  - both buffers: the one the mode reads from is the key (a C string, without
 *                 line feed or '='), the other receives the result.
 * resultBufSize - size of the receiving buffer; the result and its NUL must fit.
 * Returns the filled buffer (value or field), or NULL (buffers untouched) when path, mode, field
 * or value is NULL, resultBufSize is below 1, the mode is unknown, the file is missing, empty or
 * unreadable, the section or the field is absent, or the result does not fit. */
SW_API char* sw_file_getCfgString(const char* path, const char* section, const char* mode, char* field, char* value,
                                  int resultBufSize);

/* Sets one field of the configuration file `path` (created when missing and autoAdd is set).
 * mode "SetFieldValue": sets the first field named `field` to `value`;
 *      "SetFieldName":  renames the first field whose value is `value` to `field`.
 * Either way the field is written as "field=value". With autoAdd, a missing section line is
 * appended first ("\r\n" section "\r\n"), and a missing field is appended at the end of the file
 * (after "\r\n" when the file does not end with a line feed) - which is inside the named section
 * only when that section is the last one.
 * field, value - without line feed or '='; together at most 192 characters.
 * section      - at most 188 characters when it has to be added.
 * Returns true when the file was rewritten with the field set, false (file untouched) when
 * path, mode, field or value is NULL, the mode is unknown, field and value exceed 192
 * characters or hold a line feed or '=', the file cannot be read, the section or the field is
 * missing and autoAdd is false, the section to add is longer than 188 characters, or the
 * new file cannot be written. */
SW_API bool sw_file_setCfgString(const char* path, const char* section, const char* mode, const char* field,
                                 const char* value, bool autoAdd);

/* Deletes one field (its whole line) from the configuration file `path`.
 * mode "DelFieldByName":  the first field named `field`;
 *      "DelFieldByValue": the first field whose value is `value`.
 * Returns true when the field was deleted, or when there is nothing to delete (an empty file, an
 * absent section or field: then the file is not rewritten); false (file untouched) when path or
 * mode is NULL, the mode is unknown, the key the mode reads is NULL or holds a line feed or '=',
 * the file is missing or unreadable, or the new file cannot be written. */
SW_API bool sw_file_delCfgString(const char* path, const char* section, const char* mode, const char* field,
                                 const char* value);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWFILE_H */

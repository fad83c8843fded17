/* File helpers: whole-file write and read, size, rename, delete, existence and copy.
 * Sizes and counts are int: files up to INT_MAX bytes (2 GiB minus 1) on every platform.
 * None of these functions logs; each reports through its result only.
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
 * stat fails, or the size is above INT_MAX. Reentrant. */
SW_API int sw_file_getSize(const char* path);

/* Reads the whole file `path`, opened with fopen `mode` (normally "rb"), into `buf`.
 * buf     - out: bufSize bytes; no NUL is appended (a caller reading text allocates one more).
 * Returns the number of bytes read (0 for an empty file, which is not opened), or -1 when path,
 * mode or buf is NULL, bufSize is negative, the size cannot be taken (see sw_file_getSize), the
 * file cannot be opened, or bufSize is smaller than the file (then nothing is read).
 * Reentrant; blocks as long as the read does. */
SW_API int sw_file_load(const char* path, const char* mode, char* buf, int bufSize);

/* Renames `oldName` to `newName` (rename; an existing newName is replaced).
 * Returns 0, or -1 when a name is NULL or rename fails (errno set). Reentrant. */
SW_API int sw_file_rename(const char* oldName, const char* newName);

/* Deletes the file or empty directory `path` (remove; a symbolic link itself, not its target).
 * Returns 0, or -1 when path is NULL or remove fails (errno set). Reentrant. */
SW_API int sw_file_delete(const char* path);

/* Tells whether `path` exists (access() with F_OK, following symbolic links). NULL gives false.
 * Reentrant. */
SW_API bool sw_file_exists(const char* path);

/* Copies the file `existingFilename` to `newFilename` ("wb": created or replaced), holding the
 * whole content in memory (malloc) meanwhile.
 * failIfExists - true: refuse when newFilename exists already (it is left untouched).
 * Returns the number of bytes copied (0 for an empty source, which gives an empty target), or -1
 * when a name is NULL, the target exists and failIfExists is set, the source cannot be sized or
 * read whole, memory runs out, or the target cannot be written whole (a partly written target
 * may stay). Reentrant; blocks as long as the reads and writes do. */
SW_API int sw_file_copy(const char* existingFilename, const char* newFilename, bool failIfExists);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWFILE_H */

// Replacing a file's content as one step: the new bytes go to a temporary file beside the target
// and are renamed over it, so readers see the old file or the new one, never a part; a failure
// leaves the old file (or no file) as it was, and a reported success is on the disk.
// Internal to the toolkit (dudiz and quellshot); not an installed header.
#ifndef DUDIZ_INTERNAL_SWREPLACE_H
#define DUDIZ_INTERNAL_SWREPLACE_H

#include <stddef.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes `len` bytes at `buf` as the whole content of `path`.
 * The bytes go to an unnamed file (O_TMPFILE) in the directory of `path`, or where the file
 * system has none to a file created with O_EXCL there, named ".swreplace-PID-XXXXXX" (so no link
 * planted there is ever followed). The file is synced, renamed into place (an unnamed one is first
 * linked under such a name), and the directory is synced. An existing regular file keeps its
 * permission bits; a new one gets 0666 less the process umask, as fopen would give it. If `path`
 * is a symbolic link, the link itself is replaced, never its target.
 * A process killed during the call leaves at most one such named file; every call first removes
 * those of processes that no longer exist from the directory of `path`.
 * Returns 0, or -1 with errno set (nothing changed at `path`, no temporary file left; when only
 * the final sync of the directory failed, the new content is in place).
 * Thread-safe. Blocks for the file-system calls, syncs included. */
SW_API int sw_file_replace(const char* path, const void* buf, size_t len);

/* As sw_file_replace, but asks `gate(arg)` once, after the content is written and synced and
 * before anything changes at `path`: when it returns 0 the call fails with ECANCELED and nothing
 * changes. `gate` NULL always goes ahead. */
SW_API int sw_file_replace_gated(const char* path, const void* buf, size_t len, int (*gate)(void*), void* arg);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_INTERNAL_SWREPLACE_H */

// Replacing a file's content as one step: the new bytes go to a temporary file created
// exclusively beside the target and are renamed over it, so readers see the old file or the new
// one, never a part; a failure leaves the old file (or no file) as it was.
// Internal to the toolkit (dudiz and quellshot); not an installed header.
#ifndef DUDIZ_INTERNAL_SWREPLACE_H
#define DUDIZ_INTERNAL_SWREPLACE_H

#include <stddef.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes `len` bytes at `buf` as the whole content of `path`.
 * The temporary file is created with O_EXCL in the directory of `path` (so no link planted there
 * is ever followed) and renamed into place. An existing regular file keeps its permission bits;
 * a new one gets 0666 less the process umask, as fopen would give it. If `path` is a symbolic
 * link, the link itself is replaced, never its target.
 * Returns 0, or -1 with errno set (nothing changed at `path`, no temporary file left).
 * Thread-safe. Blocks for the file-system calls. */
SW_API int sw_file_replace(const char* path, const void* buf, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_INTERNAL_SWREPLACE_H */

/* Directory helpers: existence, recursive creation and deletion of directory trees, directory
 * listing, and the location of the running executable. Both '/' and '\' are accepted as path
 * separators on input. Paths these functions copy into a buffer of their own are limited to
 * SW_PATH_MAX characters; longer ones are refused, never cut.
 * Every function except xGetPathFileName works on the file system: it blocks for its file-system
 * calls, may be a cancellation point there (see swlog.h), and is not async-signal-safe. None logs.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWDIR_H
#define DUDIZ_SWDIR_H

#include <stdbool.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest path (in characters, without the NUL) that the directory helpers work on; buffers for
 * their outputs hold SW_PATH_MAX + 1 bytes. */
#define SW_PATH_MAX 259

/* Tells whether `dir` exists (access() with F_OK, following symbolic links); true for a file as
 * well. NULL gives false. Reentrant; does not block beyond the file-system lookup. */
SW_API bool sw_dir_exists(const char* dir);

/* Creates every missing directory along `dir` (mode 0755 before the umask), from the root side.
 * Each prefix ending before a separator is a step ("/" for a leading one), then the whole path;
 * a trailing separator adds no step, doubled separators give steps that exist already. A prefix
 * that exists (as anything, also a file) is left alone; a mkdir that finds the directory made
 * meanwhile by someone else counts as existing and the walk goes on; any other mkdir failure
 * ends the walk, keeping what was made.
 * Returns the number of directories this call created (0 if all existed, also for ""), or -1
 * when dir is NULL or longer than SW_PATH_MAX characters (nothing is created). A caller that
 * needs the directory tests sw_dir_exists afterwards. Reentrant (two callers building
 * overlapping trees each count only their own creations). */
SW_API int sw_dir_create(const char* dir);

/* Opens `dir` for listing (opendir). Returns the handle, owned by the caller (a directory stream
 * with its descriptor, which stays open until sw_dir_close), or NULL on failure (errno set) or
 * for NULL. Reentrant. */
SW_API void* sw_dir_open(const char* dir);

/* Returns the next entry of `hDir`, or NULL at the end, on failure, or for a NULL handle.
 * The entry is the C library's record of the large-file interface, struct dirent64 (which is
 * struct dirent on 64-bit systems and for callers built with _FILE_OFFSET_BITS=64); the caller
 * reads its d_name. It belongs to the handle and stays valid until the next call on the same
 * handle or its sw_dir_close. "." and ".." are listed too; the order is the file system's.
 * One thread at a time per handle. */
SW_API void* sw_dir_read(void* hDir);

/* Closes a handle of sw_dir_open, once; the handle and any entry read from it become invalid.
 * NULL is ignored. One thread at a time per handle. */
SW_API void sw_dir_close(void* hDir);

/* Deletes the directory `dir` with everything in it, depth first. Symbolic links are removed as
 * links (what they point to is not entered); an entry whose status cannot be read is skipped.
 * A '\' in `dir` is a separator; the names of the entries are taken as they are, so a '\' in
 * them is part of the name.
 * Returns true when the tree is gone (the final rmdir of `dir`, with '\' read as '/', succeeded).
 * Returns false when dir is NULL, longer than SW_PATH_MAX characters, cannot be opened, or
 * when any entry cannot be deleted or its path (dir, '/', name) would be longer than
 * SW_PATH_MAX characters; the first failure stops the walk and what was deleted so far stays
 * deleted. A `dir` that is itself a symbolic link is refused (false, nothing entered or
 * deleted), and so is a subdirectory replaced by a link between its status check and the descent.
 * The walk holds one open directory per level. Reentrant; nobody else should change the tree
 * meanwhile (a directory higher up swapped for a link is still resolved through it). Blocks for
 * the file-system calls. */
SW_API bool sw_dir_delete(const char* dir);

/* Returns a pointer into `path` just after its last separator ('/' or '\'), so the file name
 * ("" for a path ending in a separator); `path` itself when it has none; NULL for NULL.
 * The result drops const, as strrchr does, and lives as long as `path`. Reentrant; only computes
 * (no file-system access, never blocks). */
SW_API char* xGetPathFileName(const char* path);

/* Finds the running executable (the target of "/proc/self/exe").
 * dir - out, may be NULL: the directory, up to and including the last '/' (for /opt/app/tool
 *       it receives "/opt/app/"); the caller provides SW_PATH_MAX + 1 bytes.
 * bin - out, may be NULL: the file name ("tool"); SW_PATH_MAX + 1 bytes.
 * Returns 0, or -1 (writing nothing) when the link cannot be read or its target is longer than
 * SW_PATH_MAX characters. Reentrant; blocks only for reading the link. */
SW_API int xGetSelfRunningInfo(char* dir, char* bin);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWDIR_H */

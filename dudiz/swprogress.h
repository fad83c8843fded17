/* Process helpers: the caller's process id and executable name, and killing processes by id or
 * by a text in their line of the "ps -e" listing.
 * Thread-safety terms: see swlog.h. */
#ifndef DUDIZ_SWPROGRESS_H
#define DUDIZ_SWPROGRESS_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the id of the calling process (getpid). Reentrant; never fails, never blocks;
 * async-signal-safe. */
SW_API int xGetCurrentProcessId(void);

/* Writes the file name of the running executable (as xGetSelfRunningInfo's `bin`) into `cmd`,
 * which holds SW_PATH_MAX + 1 bytes (260).
 * Returns cmd; NULL for a NULL cmd. When the executable cannot be found, cmd is returned
 * unchanged (so the caller may preset it). Reentrant; blocks only for reading the "/proc/self/exe"
 * link; may be a cancellation point there. */
SW_API char* sw_progress_getCMD(char* cmd);

/* Sends SIGKILL to the process `pid`; whether that worked is not reported. A pid of 0 or less
 * does nothing (kill would reach a process group, or every process). The calling process's own id
 * kills the caller. Reentrant; does not block; async-signal-safe. */
SW_API void sw_progress_killByPID(int pid);

/* Kills (SIGKILL) every process whose line in the "ps -e" listing carries `cmd`, except the
 * process `ignorePID` (pass xGetCurrentProcessId() to spare the caller).
 * A line is a record when it starts (after blanks) with a process id; `cmd` is searched,
 * ignoring case and anywhere, in the text after that id (terminal, time and command columns),
 * never in the id itself. The heading line, lines without an id, ids of 0 or less and the
 * continuation of a line longer than 191 characters (only its first 191 are searched) never
 * lead to a signal. An empty or NULL cmd kills nothing. Nothing is reported: when "ps" cannot
 * be run the call just returns. The listing is read through popen (a shell is started), so a
 * process that matches may have ended, and its id been reused, by the time it is signalled.
 * Reentrant; blocks until "ps" has finished; a cancellation point (reading the pipe; a thread
 * cancelled there leaves the pipe open). Not async-signal-safe. */
SW_API void sw_progress_killByCMD(const char* cmd, int ignorePID);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWPROGRESS_H */

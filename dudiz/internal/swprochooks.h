// Replaceable seams of the process and executable helpers (swprogress, swdir), so that tests can
// record which processes would be signalled, feed a fixed process listing and point the
// executable lookup at a link of their own, without touching any process they did not start.
// Internal to the toolkit; not an installed header. Each setter stores atomically and returns
// the previous value; NULL restores the real behaviour. Strings passed in must outlive their use.
#ifndef DUDIZ_INTERNAL_SWPROCHOOKS_H
#define DUDIZ_INTERNAL_SWPROCHOOKS_H

#include <sys/types.h>

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sends a signal; the real one is kill(2). */
typedef int (*PSwKillProc)(pid_t pid, int sig);

/* Replaces the function sw_progress_killByPID signals with. */
SW_API PSwKillProc sw_hook_setKill(PSwKillProc fn);

/* Replaces the shell command whose output sw_progress_killByCMD reads (normally "ps -e"). */
SW_API const char* sw_hook_setPsCommand(const char* command);

/* Replaces the link xGetSelfRunningInfo reads (normally "/proc/self/exe"). */
SW_API const char* sw_hook_setSelfExeLink(const char* path);

/* The current values, for the library's own use. */
PSwKillProc sw_hook_kill(void);
const char* sw_hook_psCommand(void);
const char* sw_hook_selfExeLink(void);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_INTERNAL_SWPROCHOOKS_H */

/* The log sink: composes one stamped line and prints it on stdout. The only place that writes log
 * output; callers normally go through sw_log_writeWithLevel (swlog.h). */
#ifndef DUDIZ_LOGFROMGO_H
#define DUDIZ_LOGFROMGO_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Prints "[%s] [%s] (%s:%d) %s\n" with the local time as "YYYY-MM-DD HH:MM:SS", `level`, `file`,
 * `line` and `message`, in one formatted print, then flushes stdout. `message` is printed as an
 * argument, so a '%' inside it is printed unchanged. None of the texts may be NULL.
 * If the local time cannot be read or converted the stamp is empty ("[]").
 * Nothing is allocated; each thread keeps the text of the last second it stamped.
 * Reentrant; each line is written whole. Blocks only as long as writing to stdout blocks. Not
 * async-signal-safe (stdio, local time); a cancellation point (see swlog.h). */
SW_API void LogFromGo(const char* level, const char* file, int line, const char* message);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_LOGFROMGO_H */

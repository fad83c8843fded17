/* The log writer: every module of the toolkit reports through sw_log_writeWithLevel, which formats
 * the message and hands it to the sink (logfromgo.h) that prints one stamped line on stdout.
 *
 * Thread-safety terms used in every dudiz header:
 *   reentrant    - may be called from any number of threads at once; keeps no shared state.
 *   thread-safe  - may be called from any number of threads at once on the same object.
 *   one thread at a time - the caller must serialise calls on the same object.
 *   async-signal-safe - may also be called from a signal handler. Only the functions whose comment
 *                  says so are; every other function may take locks or use stdio and must not be
 *                  called from a handler.
 *   cancellation point - a pthread_cancel of the calling thread may take effect inside the call.
 *                  Functions that wait (locks with a time-out, signals, sleeps, joins) or do input
 *                  or output (files, pipes, sockets, and every function that may write a log line
 *                  to stdout) contain cancellation points; the headers name them. Functions that
 *                  only compute do not. Allocating functions are no exception when the process heap
 *                  (swheap.h) is full: the heap then writes its exhaustion line.
 * Handles (void*) returned by a create function belong to the caller, who passes each to the
 * matching destroy function exactly once; pointers passed in are used only during the call unless
 * a comment says that they are kept.
 */
#ifndef DUDIZ_SWLOG_H
#define DUDIZ_SWLOG_H

#include "swapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Log levels; the value selects the level name printed in the line. */
typedef enum {
    LEVEL_TRACE = 0, /* "trace" */
    LEVEL_DEBUG = 1, /* "debug" */
    LEVEL_INFO = 2,  /* "info"  */
    LEVEL_WARN = 3,  /* "warn"  */
    LEVEL_ERROR = 4, /* "error" */
    LEVEL_FATAL = 5  /* "fatal" */
} ELogLevel;

/* Formats `format` with the following arguments (printf conventions) and writes it as one line:
 *
 *     [YYYY-MM-DD HH:MM:SS] [level] (file:line) message\n
 *
 * level  - one of ELogLevel. Any other value (negative ones included) writes nothing.
 * file   - the caller's source path, printed exactly as given (normally __FILE__). Not NULL.
 * line   - the caller's source line (normally __LINE__), printed in decimal.
 * format - printf format of the message. Not NULL.
 *
 * The message is cut after its 8191st byte (a cut may fall inside a multi-byte UTF-8 character).
 * Every valid level at or above the threshold of sw_log_setMinLevel (by default all of them) is
 * written, and stdout is flushed after each line.
 * Nothing is allocated from any heap; the call uses a little more than 8 KiB of stack, which lets
 * an allocator log its own exhaustion. Errors of formatting or printing are ignored.
 *
 * Reentrant. Lines of concurrent callers are never interleaved within a line; their order is the
 * order in which they reach stdout. Blocks only as long as writing to stdout blocks. Not
 * async-signal-safe (stdio); a cancellation point, as writing to stdout is. */
SW_API void sw_log_writeWithLevel(ELogLevel level, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

/* Sets the threshold of the whole process: later lines of a lower level are not written (a program's
 * --quiet). LEVEL_TRACE, the default, writes every level; a level above LEVEL_FATAL writes none.
 * Thread-safe; the change reaches lines that other threads start afterwards. Never blocks. */
SW_API void sw_log_setMinLevel(ELogLevel level);

#ifdef __cplusplus
}
#endif

#endif /* DUDIZ_SWLOG_H */

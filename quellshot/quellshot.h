/* quellshot: one photo from the first "Hikrobot" camera, and the small helpers around it.
 *
 * Every function may be called from any thread. Quellshot_Grab calls exclude each other across
 * threads and processes through the lock file "quellshot.lock": a call that finds it held returns
 * -2 at once instead of waiting. The lock file lives in the first of:
 *   - the directory named by the environment variable QUELLSHOT_LOCKDIR, when set and not empty
 *     (created when missing). Every process that must exclude the others sets the same one;
 *   - "/run/lock/quellshot/" when the toolkit runs from a system location (the library, or a
 *     program it is linked into statically, installed under /usr, /bin, /sbin or /lib, as the
 *     Debian packages install it; the package creates that directory, writable by every user);
 *   - "status/" beside the executable (created when missing), for programs that are not installed.
 * Messages go to stdout as log
 * lines "[time] [error] (file:line) [Quellshot] ..." (dudiz/swlog.h). No function lets an
 * exception or a signal escape, and nothing is kept between calls except the exposure-wait switch.
 * Pointers passed in are used only during the call; nothing is handed back that the caller must
 * free. Only HK_SetWaitAEDoneForTakePhoto is async-signal-safe; the others log, wait or do file
 * input and output and contain cancellation points (see the warning at Quellshot_Grab).
 */
#ifndef QUELLSHOT_H
#define QUELLSHOT_H

#if defined(__GNUC__)
#define QS_API __attribute__((visibility("default")))
#else
#define QS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* File format of the photo; the values are the camera SDK's own image types. */
typedef enum {
    IMG_TYPE_BMP = 1, /* ".bmp": 24-bit colour or 8-bit grey with palette */
    IMG_TYPE_JPG = 2  /* ".jpg": quality 90 */
} HKImgType;

/* What a successful capture hands back. */
typedef struct {
    char camModelName[192]; /* model name of the camera used */
    char camSerialNum[192]; /* its serial number */
    float imgExposureTime;  /* "ExposureTime" read after the photo was saved, in microseconds */
} HKImgMark;

/* Takes one photo with the first camera of the manufacturer "Hikrobot" (GigE or USB3) and saves it.
 *
 * The camera is opened exclusively, set to software trigger and started; a worker thread (at
 * real-time priority 50 when the process may use it) triggers, waits 1000 ms, fetches a frame
 * (a trigger that yields no frame within a further 1000 ms is repeated, for as long as `timeout`
 * allows) and, when the camera's exposure is automatic and the wait is switched on
 * (HK_SetWaitAEDoneForTakePhoto), keeps taking frames until four in a row differ by at most 50 us
 * or 180 s have passed since the camera was opened; then the frame is saved. Everything is torn
 * down again before the call returns, whatever happened.
 *
 * imgType     - IMG_TYPE_JPG or IMG_TYPE_BMP; anything else gives -16 (after a frame was taken).
 * saveImgPath - where to save; ".jpg"/".bmp" is appended unless that text occurs anywhere in the
 *               path (ignoring case): "img/a" gives "img/a.jpg", "img/A.JPG" is used as it is.
 *               Not NULL or empty (-15). The file appears complete or not at all: it is written to
 *               an unnamed (or, where the file system has none, a ".swreplace-PID-" named)
 *               temporary file in the same directory, synced, and renamed into place; then the
 *               directory is synced. An older file at the path stays intact unless the result is 0,
 *               and after a result of 0 the photo is on the disk.
 * timeout     - seconds to wait for the worker once it started; negative waits without limit;
 *               values above 2147483 wait at most INT_MAX milliseconds. Set-up and tear-down are
 *               not counted. A photo takes more than one second.
 * pImgMark    - out, may be NULL; written, completely, only when the result is 0 (the two texts
 *               always NUL-terminated).
 *
 * Result:
 *   0           photo saved
 *   -1          the lock file cannot be created or opened (no message)
 *   -2          another capture holds the lock (no message, returns at once)
 *   -3          no camera listed
 *   -4          the SDK listed an empty entry
 *   -5          a listed camera is neither GigE nor USB3
 *   -6          no camera of the manufacturer "Hikrobot"
 *   -7          a GigE camera reported no usable packet size
 *   -8 / -9     the worker's signal / thread could not be created
 *   10          the worker did not finish within `timeout`; nothing was saved
 *   -15 .. -19  the worker failed: -15 bad path, -16 bad imgType, -17 / -18 out of memory,
 *               -19 the file was not written completely (also: cannot be created; empty image;
 *               qs_last_errno tells why)
 *   -20         qs_cancel was called during the capture; nothing was saved
 *   other       the status of the camera SDK call that failed
 * Only a result of 0 has created or replaced a file: a worker that is about to put its image in
 * place when the time is up (or qs_cancel comes) is waited for, and its result returned.
 * Thread-safe. Blocks for the capture: about 1 s per frame taken, plus `timeout` at most for the
 * worker, plus up to 3 s while a worker that overran is stopped (longer while it finishes a camera
 * call or the writing of the file, which cancellation does not interrupt). Use qs_cancel, not
 * thread cancellation, to end a capture early.
 * Do not cancel (pthread_cancel) a thread inside this call: it waits at cancellation points, and a
 * cancellation there skips the tear-down, leaving the camera open, the lock file locked until the
 * process ends, and the worker running on memory that is gone. */
QS_API int Quellshot_Grab(HKImgType imgType, const char* saveImgPath, int timeout, HKImgMark* pImgMark);

/* Counts the attached cameras of the manufacturer "Hikrobot" (name compared ignoring case). Opens
 * no camera, so cameras in use elsewhere count too. Takes no lock: may run during a capture.
 * Returns the count (0 or more, without a message for none), the SDK status when the SDK cannot be
 * initialised, or -1 when the enumeration fails (both logged). Thread-safe; blocks for the SDK's
 * enumeration. */
QS_API int HK_GetCameraCount(void);

/* Switches the exposure wait of Quellshot_Grab: non-zero waits for automatic exposure to settle
 * (the default), 0 saves the first frame. Takes effect at the next frame of a running capture.
 * Returns 0. Thread-safe; never blocks; async-signal-safe. */
QS_API int HK_SetWaitAEDoneForTakePhoto(int waitAE);

/* Reads the kernel's limit on memory for user-space USB transfers
 * (/sys/module/usbcore/parameters/usbfs_memory_mb), in megabytes.
 * Returns the value, or -1 when the file cannot be read or does not start with a number that fits
 * an int. Nothing is logged. Thread-safe; blocks for reading the file. */
QS_API int HK_GetSysUsbfsMemCurrentSize(void);

/* Sets that limit to `val` megabytes (needs the right to write the kernel parameter).
 * Returns 0 when the whole value was written and accepted, -1 otherwise (negative `val`: nothing is
 * written). Nothing is logged. Thread-safe; blocks for writing the file. */
QS_API int HK_SetSysUsbfsMemSize(int val);

/* Asks every Quellshot_Grab under way in this process to stop: a call waiting for its worker gives
 * up within about 50 ms, tears down as after a time-out and returns -20 (or, when its worker was
 * already putting the image in place, that result); a call still setting up returns -20 before it
 * starts the worker. Calls that start afterwards are not affected.
 * Async-signal-safe (made for SIGINT and SIGTERM handlers); thread-safe; never blocks. */
QS_API void qs_cancel(void);

/* The errno value behind the last result of Quellshot_Grab on the calling thread: for -1 why the
 * lock file could not be opened, for -19 why the image file could not be written (0 when the
 * camera delivered an empty or oversized image); 0 after any other result or before the first
 * call. Thread-safe (one value per thread); never blocks. */
QS_API int qs_last_errno(void);

/* The camera SDK this library drives: a libMvCameraControl.so chosen and loaded on first use.
 * QUELLSHOT_SDK chooses: "vendor" (the camera vendor's SDK, found by the dynamic linker or in
 * /opt/MVS/lib/<arch>/), "aravis" (the toolkit's backend over Aravis), "sim" (the toolkit's
 * simulator) or a library's path. Unset or empty: the vendor's SDK when it is installed, else
 * the Aravis backend, else the simulator. A process that has a libMvCameraControl.so loaded
 * already (a host program linked with one) keeps using it when it fits that choice.
 * Returns the loaded file's path; `name` (when not NULL) gets "vendor", "aravis" or "sim". When no
 * SDK can be loaded returns NULL, and `why` (when not NULL) gets the reason; every camera function
 * then fails. The strings live as long as the process. Thread-safe; the first call blocks while
 * the library loads. */
QS_API const char* qs_camera_sdk(const char** name, const char** why);

#ifdef __cplusplus
}
#endif

#endif /* QUELLSHOT_H */

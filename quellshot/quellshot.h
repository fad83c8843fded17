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
 * free. Only HK_SetWaitAEDoneForTakePhoto and qs_cancel are async-signal-safe; the others log,
 * wait or do file input and output and contain cancellation points (see the warning at
 * Quellshot_Grab).
 */
#ifndef QUELLSHOT_H
#define QUELLSHOT_H

#if defined(__GNUC__)
#define QS_API __attribute__((visibility("default")))
#else
#define QS_API
#endif

#include <stddef.h>
#include <stdint.h>

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

/* Asks every Quellshot_Grab and qs_series under way in this process to stop: a capture waiting for
 * its worker gives up within about 50 ms, tears down as after a time-out and returns -20 (or, when
 * its worker was already putting the image in place, that result); a capture still setting up
 * returns -20 before it starts the worker; a series finishes the photo under way and returns -20.
 * Calls that start afterwards are not affected.
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

/* ---- sessions: one camera kept open for any number of photos ---------------------------------
 *
 * A session opens one camera, sets it to software trigger, starts its stream and keeps all of it
 * until qs_close: each photo then costs one exposure and the saving, not a second of set-up. A
 * session holds the same capture lock as Quellshot_Grab for its whole life, so sessions and
 * captures exclude each other across threads and processes (-2 at once when it is held).
 *
 * Results: 0 for success; a QS_E_* code below, or the status of the camera SDK call that failed
 * (a negative int: the SDK's codes have the top bit set). qs_strerror gives the words for any of
 * them.
 * Threads: the functions of one session are called by one thread at a time (the caller serialises
 * them); different threads may each work their own session object, but the lock lets only one be
 * open. No exception crosses them. Nothing they hand back needs freeing except the session itself
 * (by qs_close). Messages go to the log as for Quellshot_Grab. */

/* Results beside those of Quellshot_Grab (-1 .. -7 and -15 .. -20 keep their meanings there). */
#define QS_E_LOCK_OPEN (-1)    /* the lock file cannot be created or opened (qs_last_errno) */
#define QS_E_BUSY (-2)         /* another capture or session holds the lock */
#define QS_E_NO_CAMERA (-3)    /* no camera listed */
#define QS_E_NO_HIKROBOT (-6)  /* no camera of the manufacturer "Hikrobot" */
#define QS_E_PACKET_SIZE (-7)  /* a GigE camera reported no usable packet size */
#define QS_E_TIMEOUT (-10)     /* no frame within the time given */
#define QS_E_PATH (-15)        /* the path is NULL, empty or unusable */
#define QS_E_IMAGE_TYPE (-16)  /* neither IMG_TYPE_JPG nor IMG_TYPE_BMP */
#define QS_E_NO_MEMORY (-17)   /* no memory for the image */
#define QS_E_WRITE (-19)       /* the file was not written completely (qs_last_errno tells why) */
#define QS_E_CANCELLED (-20)   /* qs_cancel ended a series */
#define QS_E_NO_MATCH (-21)    /* no listed camera has that serial number, index or address */
#define QS_E_ARGUMENT (-22)    /* a NULL session or pointer, or a value the call does not take */
#define QS_E_FEATURE_TYPE (-23) /* the feature is not of a type the call can read or write */

/* Automatic modes of exposure and gain; the values are the camera SDK's. */
#define QS_AUTO_OFF 0
#define QS_AUTO_ONCE 1       /* adjusts once, then the camera turns it off itself */
#define QS_AUTO_CONTINUOUS 2

typedef struct qs_session qs_session;

/* A region of interest in pixels of the sensor: its top-left corner and its size. */
typedef struct {
    int64_t x, y, width, height;
} qs_roi;

/* What a photo was. */
typedef struct {
    int64_t time_ms;            /* UTC wall-clock time the frame arrived, ms since 1970 */
    uint64_t device_timestamp;  /* the camera's own time stamp of the frame, in its ticks */
    unsigned int frame_number;  /* the camera's (or the SDK's) frame counter */
    unsigned int width, height;
    unsigned int pixel_type;    /* the SDK's pixel type value (a GenICam PFNC code) */
    char pixel_format[32];      /* its GenICam name ("Mono8", "RGB8", ...), "" when unknown */
    double exposure_us;         /* "ExposureTime" read after the frame */
    double gain_db;             /* "Gain" read after the frame; NaN when the camera has none */
} qs_photo;

/* Kinds of features, as qs_feature_get reports them. */
#define QS_FEATURE_INTEGER 1
#define QS_FEATURE_FLOAT 2
#define QS_FEATURE_ENUMERATION 3
#define QS_FEATURE_BOOLEAN 4
#define QS_FEATURE_STRING 5
#define QS_FEATURE_COMMAND 6

/* Opens a camera and starts a session with it.
 * camera - which one: NULL or "" the first camera of the manufacturer "Hikrobot", as Quellshot_Grab
 *          chooses; otherwise the camera whose serial number is this text; failing that, when the
 *          text is a decimal number, the camera at that index of the enumeration (GigE and USB3
 *          cameras in the SDK's order, from 0); when it is a dotted IPv4 address, the GigE camera
 *          at that address. A camera chosen explicitly may be of any manufacturer.
 * out    - receives the session (NULL after a failure).
 * Results: 0; -1, -2 (the lock); -3 .. -7 as Quellshot_Grab; QS_E_NO_MATCH; QS_E_ARGUMENT (out
 * NULL); an SDK status. Blocks for the enumeration and the opening (GigE: up to seconds). */
QS_API int qs_open(const char* camera, qs_session** out);

/* Ends a session: stops the stream, closes the camera, finalises the SDK and releases the lock, as
 * Quellshot_Grab tears down, whatever state the session is in; then frees it. NULL is ignored.
 * Returns 0. */
QS_API int qs_close(qs_session* session);

/* Settings. Each is applied to the camera at once and lasts until changed or the camera is reset;
 * where a value must change while the stream is stopped (pixel format, region of interest) the
 * session stops and restarts the stream around it. The camera decides what it accepts: a value
 * out of its range gives its SDK status.
 * Exposure in microseconds (automatic exposure is switched off first), or an automatic mode;
 * gain in dB (automatic gain off first), or an automatic mode; the pixel format by its GenICam
 * name; the region of interest, whose values are rounded to the camera's increments, kept within
 * its limits and written back to *roi as the camera took them; the JPEG quality of the photos
 * (50..99, default 90). */
QS_API int qs_set_exposure(qs_session* session, double microseconds);
QS_API int qs_set_exposure_auto(qs_session* session, int mode);
QS_API int qs_set_gain(qs_session* session, double db);
QS_API int qs_set_gain_auto(qs_session* session, int mode);
QS_API int qs_set_pixel_format(qs_session* session, const char* name);
QS_API int qs_set_roi(qs_session* session, qs_roi* roi);
QS_API int qs_set_quality(qs_session* session, int quality);

/* Any feature of the camera by its GenICam name.
 * qs_feature_get writes its value as text into value[size] (always NUL-terminated; QS_E_ARGUMENT
 * when it does not fit) and its kind into *type (may be NULL): integers in decimal, floats with up
 * to six decimals, booleans "true"/"false", enumerations by their entry name where the session
 * knows it (pixel formats, automatic and trigger modes), else by their number. A command cannot be
 * read (QS_E_FEATURE_TYPE).
 * qs_feature_set writes a value given as text, in the feature's own type: an integer (decimal, or
 * hexadecimal after "0x"), a float,
 * "true"/"false"/"1"/"0", an enumeration's entry name or number; a command is executed (value
 * NULL or ""). Text that is not a value of the feature's type gives QS_E_ARGUMENT. A write the
 * camera refuses while it streams (size, offsets, pixel format, ...) is tried once more with the
 * stream stopped for it.
 * qs_feature_list calls visit(name, ctx) for each feature the camera's description offers, or, where
 * the camera SDK cannot enumerate them (the vendor's), for each of the standard features the
 * camera has; a non-zero return from visit ends the walk. */
QS_API int qs_feature_get(qs_session* session, const char* name, char* value, size_t size, int* type);
QS_API int qs_feature_set(qs_session* session, const char* name, const char* value);
QS_API int qs_feature_list(qs_session* session, int (*visit)(const char* name, void* ctx), void* ctx);

/* Takes one photo by software trigger and saves it to `path` (the extension rule of
 * Quellshot_Grab; the file appears complete or not at all, and an older file stays intact unless
 * the result is 0). There is no fixed pause: the call triggers, waits for the frame of that trigger
 * (frames left from earlier triggers are dropped; a trigger that yields nothing within a second is
 * repeated) and, when the camera's exposure is automatic and the exposure wait is switched on
 * (HK_SetWaitAEDoneForTakePhoto), takes further frames until four in a row differ by at most 50 us
 * or 180 s have passed since automatic exposure was found (the run of steady frames carries over
 * from one photo to the next of the session). timeout_ms bounds the waiting for frames (negative:
 * no limit; QS_E_TIMEOUT when it is up). photo (may be NULL) receives the metadata when the result
 * is 0. Blocks for the exposure, the transfer and the saving. */
QS_API int qs_capture(qs_session* session, HKImgType type, const char* path, int timeout_ms, qs_photo* photo);

/* The same, but the image is written to the open file descriptor fd (a pipe, stdout) as it is
 * encoded; a write that fails gives QS_E_WRITE with qs_last_errno. A non-blocking fd that is full
 * is waited for, as a blocking one would be. */
QS_API int qs_capture_fd(qs_session* session, HKImgType type, int fd, int timeout_ms, qs_photo* photo);

/* Called after each photo of a series is saved: its number (1..count), the file written and its
 * metadata. A non-zero return ends the series (the result is then 0). */
typedef int (*qs_photo_fn)(void* ctx, int number, const char* path, const qs_photo* photo);

/* Takes `count` photos (1 or more) as qs_capture does, a trigger every `interval_ms` (0: as fast as
 * the camera allows; the next frame is exposed while the last one is saved), each saved under
 * `pattern` with "%n" replaced by its number from 1, zero-padded to the width of `count`, "%t" by
 * its UTC time stamp "YYYYmmddTHHMMSS.mmmZ" and "%%" by "%". With count above 1 the pattern must
 * hold "%n" or "%t" (QS_E_PATH otherwise), so that no photo overwrites another: without "%n", a
 * photo that arrives within the millisecond of the one before (or, after a clock step, before it)
 * is stamped a millisecond after that one in its name. A name that expands
 * beyond 4095 bytes fails its photo (QS_E_WRITE, qs_last_errno ENAMETOOLONG). A photo that
 * fails ends the series: the files saved before it stay, *done (may be NULL) tells how many there
 * are, and the result is that photo's. qs_cancel ends the series after the photo under way
 * (QS_E_CANCELLED). on_photo may be NULL. */
QS_API int qs_series(qs_session* session, HKImgType type, const char* pattern, int count, int interval_ms,
                     int timeout_ms, qs_photo_fn on_photo, void* ctx, int* done);

/* Words for a result of any function of this library (a static string, never NULL). */
QS_API const char* qs_strerror(int result);

#ifdef __cplusplus
}
#endif

#endif /* QUELLSHOT_H */

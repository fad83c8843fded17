// Internals of the capture module shared by its sources and its white-box tests: the context of
// one capture, the worker, and the seams through which tests reach the clock, the pause after a
// trigger and the kernel parameter file without touching the real ones.
#pragma once

#include <MvCameraControl.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "lockdir.h"
#include "quellshot.h"

// Log tag of the capture module, the first argument of every message.
extern const char* const MODULE_NAME;

namespace qs {

// The manufacturer whose cameras this module drives, and the GigE|USB3 enumeration mask.
extern const char* const manufacturer;
constexpr unsigned int device_type = MV_GIGE_DEVICE | MV_USB_DEVICE;

// Context of one capture, on the caller's stack; its address is the worker's wParam. The caller
// fills it before resuming the worker and reads rCode only after the worker's signal.
struct PthotoProcCtx {
    void* hCam;
    uint32_t camType;      // transport of the list entry last examined (1 GigE, 4 USB3)
    char manuName[192];    // manufacturer of the list entry last examined
    HKImgType saveImgType;
    const char* saveImgPath;  // the caller's, not copied
    bool isExposureAuto;
    struct timespec expTime0;  // monotonic time at which automatic exposure was found
    float lastExpTime;         // worker state: exposure of the previous frame
    int expStableCnt;          // worker state: length of the current steady run
    void* hESig;               // given by the worker when it is done
    int rCode;                 // the worker's result, written before hESig is given
    int saveErrno;             // errno of a failed file write (-19), written before hESig is given
    // Who decides the fate of the image: the worker may put it in place only while the caller
    // still waits (kRunning -> kCommitting); a caller that gives up first (kRunning -> kAbandoned)
    // leaves the user's file as it was.
    std::atomic<int> commit;
};

constexpr int kRunning = 0;
constexpr int kAbandoned = 1;
constexpr int kCommitting = 2;

// A capture ended by qs_cancel.
constexpr int kCancelled = -20;

// The exposure-wait switch (1 wait for automatic exposure to settle, 0 save the first frame).
extern std::atomic<int> waitAEDone;

// One pass of the capture worker (a PThrdProc): 1 to be called again, -1 when done.
int PhotoProc(unsigned long wParam, unsigned long lParam);

// A frame's sides. The 16-bit fields cannot hold one above 65535: the SDK gives that side in the
// extended field, and a cut one would make the conversion read the frame's rows sheared.
inline unsigned frame_width(const MV_FRAME_OUT_INFO_EX& fi) {
    return fi.nExtendWidth > 0xFFFFu ? fi.nExtendWidth : fi.nWidth;
}
inline unsigned frame_height(const MV_FRAME_OUT_INFO_EX& fi) {
    return fi.nExtendHeight > 0xFFFFu ? fi.nExtendHeight : fi.nHeight;
}

// The most bytes an image of a width x height frame can take: a BMP with a palette and padded rows
// of three bytes a pixel, or a JPEG as large as the colour frame plus room for its headers (noise
// hardly compresses). In 64 bits, as the largest frames' do not fit 32.
uint64_t image_bound(HKImgType type, unsigned width, unsigned height);

// `want` rounded to the integer feature's step (halves up) and kept within its limits.
int64_t fit(int64_t want, const MVCC_INTVALUE_EX& v);

// Converts the frame with the SDK and writes the image file; 0 or an error code. With a context,
// the file is put in place only if the context's caller still waits for it (-19 and ECANCELED
// otherwise).
int SavePhoto(void* hCam, MV_FRAME_OUT* pFrame, HKImgType imgType, const char* imgPath,
              PthotoProcCtx* ctx = nullptr);

// Counts qs_cancel calls; a capture ends when it changes during the capture.
extern std::atomic<unsigned> cancel_generation;

// Whether `name` is one of the further manufacturer names that count as "Hikrobot".
bool is_hikrobot_manu_alias(const char* name);

// The kernel parameter logic on a given path.
int usbfs_get(const char* path);
int usbfs_set(const char* path, int val);

// Initialises the SDK (the caller finalises it, also after a failure) and lists the GigE and USB3
// cameras: 0, the SDK's status, or -3 when none is listed (logged).
int list_cameras(MV_CC_DEVICE_INFO_LIST& devList);

// The first camera of the manufacturer in the list, as Quellshot_Grab chooses it; fills ctx.camType,
// ctx.manuName and the mark's names from each entry examined. 0 with *out set, or -4, -5, -6 (logged).
int find_first_hikrobot(const MV_CC_DEVICE_INFO_LIST& devList, PthotoProcCtx& ctx, HKImgMark& mark,
                        MV_CC_DEVICE_INFO** out);

// Makes a handle for the listed camera (*hCam set as soon as there is one, for the tear-down),
// opens it exclusively, fits its transport (USB3 transfer ways, GigE packet size: -7 when none is
// usable) and sets software trigger. MV_OK or the failed status (logged).
int setup_camera(void** hCam, const MV_CC_DEVICE_INFO* info);

// Takes the capture lock of the lock rule without waiting: 0 with *fd set; -1 (qs_last_errno set)
// or -2 as take_lock. release_lock removes the file and unlocks it.
int acquire_lock(char (&lockFile)[kLockPathSize], int* fd);
void release_lock(const char* lockFile, int fd);

// Stops, closes and destroys the camera (when there is a handle) and finalises the SDK.
void tear_down(void* hCam);

// Sets what qs_last_errno reports on the calling thread.
void set_last_errno(int err);

// The settle rule of automatic exposure for the frame held: kSave, or kAgain / kFailed with the frame
// given back (kFailed: `ret` holds the status of the failed exposure read).
enum class Settle { kSave, kAgain, kFailed };
Settle settle_check(PthotoProcCtx* ctx, MV_FRAME_OUT* frame, int* ret);

// Locks the capture lock file at `path` without waiting: 0 with *fdOut set, -1 when it cannot be
// opened or created, -2 when another capture holds it.
int take_lock(const char* path, int* fdOut);

// The lock file's path for the executable directory `runDir` (empty: unknown).
void lock_path_for(const char* runDir, char (&lockFile)[kLockPathSize]);

// The wait given to the worker's signal for `timeout` seconds: negative waits without limit,
// anything beyond INT_MAX milliseconds is capped there.
int timeout_ms(int timeoutSeconds);

// ---- seams for tests ----------------------------------------------------------------------
// The monotonic clock of the settle rule (default: clock_gettime(CLOCK_MONOTONIC)).
using MonotonicClock = void (*)(struct timespec*);
extern std::atomic<MonotonicClock> monotonic_clock;
// The pause after each trigger, in milliseconds (1000: the camera needs that long to expose).
extern std::atomic<int> trigger_pause_ms;
// How long a worker that overran is given to finish its pass before it is cancelled (3000 ms: a
// pass is a trigger pause and a frame wait of a second each, and the save).
extern std::atomic<int> worker_grace_ms;
// Allocation of the save buffers (default: the library's allocation rule), and creation of the
// worker's signal and thread (default: the dudiz functions): failures on demand.
using AllocFn = void* (*)(size_t size, const char* file, int line);
extern std::atomic<AllocFn> alloc;
using SignalCreateFn = void* (*)();
extern std::atomic<SignalCreateFn> create_signal;
using ThreadCreateFn = void* (*)(const char* name, int priority, int stack_size,
                                 int (*proc)(unsigned long, unsigned long), unsigned long wParam,
                                 unsigned long lParam);
extern std::atomic<ThreadCreateFn> create_thread;
// Finding the executable's directory (default: xGetSelfRunningInfo).
using RunningInfoFn = int (*)(char* dir, char* bin);
extern std::atomic<RunningInfoFn> running_info;
// Called between opening the lock file and locking it (default: none), to replay the race with a
// capture that removes the file at that moment.
using LockOpenedHook = void (*)(const char* path);
extern std::atomic<LockOpenedHook> lock_opened_hook;

}  // namespace qs

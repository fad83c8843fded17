// Quellshot_Grab: one complete capture, from the lock file and SDK start-up to tear-down.
#include <MvCameraControl.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "internal/fieldcopy.h"
#include "lockdir.h"
#include "qs_internal.h"
#include "sdkloader.h"
#include "swdir.h"
#include "swfile.h"
#include "swlog.h"
#include "swsignal.h"
#include "swstring.h"
#include "swthrd.h"

const char* const MODULE_NAME = "Quellshot";

namespace {
// Static TLS (initial-exec), like the log writer's: the quellshot program loads this library with
// dlopen, and dynamic TLS of such a library is what LeakSanitizer's thread walk trips over.
thread_local int tls_lastErrno __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace

namespace qs {

const char* const manufacturer = "Hikrobot";
std::atomic<int> waitAEDone{1};
std::atomic<SignalCreateFn> create_signal{sw_signal_create};
std::atomic<ThreadCreateFn> create_thread{sw_thrd_create};
std::atomic<RunningInfoFn> running_info{xGetSelfRunningInfo};
std::atomic<LockOpenedHook> lock_opened_hook{nullptr};
std::atomic<unsigned> cancel_generation{0};
std::atomic<int> worker_grace_ms{3000};

namespace {

// Further manufacturer names that count as "Hikrobot"; none at present.
const char* const hikrobot_manu_aliases[1] = {nullptr};

constexpr MV_CAM_TRIGGER_MODE setTriggerMode = MV_TRIGGER_MODE_ON;
constexpr unsigned int kSoftwareTrigger = MV_TRIGGER_SOURCE_SOFTWARE;
constexpr unsigned int kTransferWays = 1;
constexpr int kWorkerPriority = 50;
constexpr int kWorkerStack = 65536;
// How often a capture waiting for its worker looks for qs_cancel.
constexpr long long kCancelPollMs = 50;
// A holder removes the lock file while it still holds the lock; a call that opened the old file
// just before then gets a lock nobody else can see and must open the new file. A few rounds
// cover any realistic interleaving; beyond that the lock counts as held.
constexpr int kLockAttempts = 5;

void log_error(int line, const char* format, unsigned int value) {
    sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, line, format, MODULE_NAME, value);
}

// The worker's stack: 64 KiB is plenty for a pass, but some systems (aarch64 glibc) refuse
// anything below a larger minimum.
int worker_stack() {
    const long min = sysconf(_SC_THREAD_STACK_MIN);
    return min > kWorkerStack && min <= INT_MAX ? static_cast<int>(min) : kWorkerStack;
}

long long now_ms() {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for the worker's signal for `waitMs` (negative: without limit), watching for qs_cancel.
// Returns the worker's result; 10 when the time is up and kCancelled when cancelled, in both cases
// only if the worker has not begun to put its image in place: then its result is awaited, so that
// the result tells whether the user's file was written.
int wait_for_worker(PthotoProcCtx& ctx, int waitMs, unsigned cancelFrom) {
    const long long until = now_ms() + waitMs;
    for (;;) {
        const long long left = waitMs < 0 ? kCancelPollMs : until - now_ms();
        const int slice = static_cast<int>(left < 0 ? 0 : left < kCancelPollMs ? left : kCancelPollMs);
        if (sw_signal_wait(ctx.hESig, slice) == 0) return ctx.rCode;
        const bool cancelled = cancel_generation.load() != cancelFrom;
        if (!cancelled && (waitMs < 0 || now_ms() < until)) continue;
        int expected = kRunning;
        if (!ctx.commit.compare_exchange_strong(expected, kAbandoned)) {
            (void)sw_signal_wait(ctx.hESig, -1);
            return ctx.rCode;
        }
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__,
                              cancelled ? "[%s] 拍照过程-已取消!!" : "[%s] 拍照过程-等待超时!!", MODULE_NAME);
        return cancelled ? kCancelled : 10;
    }
}

// Everything between taking the lock and tearing down: finds, opens and sets up the camera, runs
// the worker and waits for it. Leaves the handle in ctx.hCam for the tear-down.
int capture(PthotoProcCtx& ctx, HKImgType imgType, const char* saveImgPath, int timeout, HKImgMark* pImgMark,
            unsigned cancelFrom) {
    HKImgMark mark{};
    MV_CC_DEVICE_INFO_LIST devList;
    memset(&devList, 0, sizeof devList);
    MVCC_ENUMVALUE exposureMode;
    memset(&exposureMode, 0, sizeof exposureMode);

    int ret = list_cameras(devList);
    if (ret != 0) return ret;
    MV_CC_DEVICE_INFO* pDevInfo = nullptr;
    ret = find_first_hikrobot(devList, ctx, mark, &pDevInfo);
    if (ret != 0) return ret;
    ret = setup_camera(&ctx.hCam, pDevInfo);
    if (ret != MV_OK) return ret;
    ret = MV_CC_GetExposureAutoMode(ctx.hCam, &exposureMode);
    if (ret != MV_OK) {
        log_error(__LINE__, "[%s] 获取曝光模式时出错, errCode=0x%x!!", static_cast<unsigned>(ret));
        return ret;
    }
    ctx.isExposureAuto = exposureMode.nCurValue != MV_EXPOSURE_AUTO_MODE_OFF;
    if (ctx.isExposureAuto) monotonic_clock.load()(&ctx.expTime0);
    ret = MV_CC_StartGrabbing(ctx.hCam);
    if (ret != MV_OK) {
        log_error(__LINE__, "[%s] 相机取流时发生错误, errCode=0x%x!!", static_cast<unsigned>(ret));
        return ret;
    }

    ctx.saveImgType = imgType;
    ctx.saveImgPath = saveImgPath;
    ctx.hESig = create_signal.load()();
    if (ctx.hESig == nullptr) {
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] SIG信号量创建失败!!", MODULE_NAME);
        return -8;
    }
    ctx.rCode = 0;
    if (cancel_generation.load() != cancelFrom) {
        sw_signal_destroy(ctx.hESig);
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 拍照过程-已取消!!", MODULE_NAME);
        return kCancelled;
    }
    void* hThrd = create_thread.load()("PhotoProc", kWorkerPriority, worker_stack(), PhotoProc,
                                 reinterpret_cast<unsigned long>(&ctx), 0);
    if (hThrd == nullptr) {
        sw_signal_destroy(ctx.hESig);
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 拍照线程-创建失败!!", MODULE_NAME);
        return -9;
    }
    sw_thrd_resume(hThrd);
    ret = wait_for_worker(ctx, timeout_ms(timeout), cancelFrom);
    // The worker finishes its pass (or is cancelled) and is joined before the context, which lives
    // on this stack, goes away.
    sw_thrd_destroy(hThrd, worker_grace_ms.load());
    sw_signal_destroy(ctx.hESig);
    if (ret != 0) return ret;

    MVCC_FLOATVALUE exposure{};
    (void)MV_CC_GetFloatValue(ctx.hCam, "ExposureTime", &exposure);  // a failed read leaves 0.0
    mark.imgExposureTime = exposure.fCurValue;
    if (pImgMark != nullptr) *pImgMark = mark;
    return 0;
}

}  // namespace

int list_cameras(MV_CC_DEVICE_INFO_LIST& devList) {
    int ret = MV_CC_Initialize();
    if (ret != MV_OK) {
        log_error(__LINE__, "[%s] 相机SDK初始化失败, errCode=0x%x!!", static_cast<unsigned>(ret));
        return ret;
    }
    ret = MV_CC_EnumDevices(device_type, &devList);
    if (ret != MV_OK) {
        log_error(__LINE__, "[%s] 枚举相机,执行错误, errCode=0x%x!!", static_cast<unsigned>(ret));
        return ret;
    }
    if (devList.nDeviceNum == 0) {
        log_error(__LINE__, "[%s] 没有相机,数量=%u!!", devList.nDeviceNum);
        return -3;
    }
    return 0;
}

// The first camera of the manufacturer in the list, as Quellshot_Grab chooses it: fills the
// context's transport and manufacturer and the mark's names of each entry examined. 0 with *out set,
// or -4, -5, -6 (logged).
int find_first_hikrobot(const MV_CC_DEVICE_INFO_LIST& devList, PthotoProcCtx& ctx, HKImgMark& mark,
                        MV_CC_DEVICE_INFO** out) {
    MV_CC_DEVICE_INFO* pDevInfo = nullptr;
    bool found = false;
    for (unsigned int index = 0; index < devList.nDeviceNum && index < MV_MAX_DEVICE_NUM && !found; ++index) {
        pDevInfo = devList.pDeviceInfo[index];
        if (pDevInfo == nullptr) {
            sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__,
                                  "[%s] unexpected internal error, failed to obtain camera information!!",
                                  MODULE_NAME);
            return -4;
        }
        ctx.manuName[0] = '\0';
        if (pDevInfo->nTLayerType == MV_USB_DEVICE) {
            const MV_USB3_DEVICE_INFO& info = pDevInfo->SpecialInfo.stUsb3VInfo;
            dudiz::copy_field(ctx.manuName, info.chManufacturerName);
            ctx.camType = MV_USB_DEVICE;
            dudiz::copy_field(mark.camModelName, info.chModelName);
            dudiz::copy_field(mark.camSerialNum, info.chSerialNumber);
        } else if (pDevInfo->nTLayerType == MV_GIGE_DEVICE) {
            const MV_GIGE_DEVICE_INFO& info = pDevInfo->SpecialInfo.stGigEInfo;
            dudiz::copy_field(ctx.manuName, info.chManufacturerName);
            ctx.camType = MV_GIGE_DEVICE;
            dudiz::copy_field(mark.camModelName, info.chModelName);
            dudiz::copy_field(mark.camSerialNum, info.chSerialNumber);
        } else {
            log_error(__LINE__, "[%s] unexpected internal error, unknown camera type(%u)!!", pDevInfo->nTLayerType);
            return -5;
        }
        found = xstrcasecmp(ctx.manuName, manufacturer) == 0 || is_hikrobot_manu_alias(ctx.manuName);
    }
    if (!found) {
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 没有找到 \"%s\" 的相机!!", MODULE_NAME,
                              manufacturer);
        return -6;
    }

    *out = pDevInfo;
    return 0;
}

int setup_camera(void** hCam, const MV_CC_DEVICE_INFO* pDevInfo) {
    int ret = MV_CC_CreateHandleWithoutLog(hCam, pDevInfo);
    if (ret == MV_OK) ret = MV_CC_OpenDevice(*hCam, MV_ACCESS_Exclusive, 0);
    if (ret == MV_OK) {
        if (pDevInfo->nTLayerType == MV_USB_DEVICE) {
            ret = MV_USB_SetTransferWays(*hCam, kTransferWays);
        } else {
            const int size = MV_CC_GetOptimalPacketSize(*hCam);
            ret = size > 0 ? MV_CC_SetIntValueEx(*hCam, "GevSCPSPacketSize", static_cast<int64_t>(size)) : -7;
        }
    }
    if (ret != MV_OK) {
        log_error(__LINE__, "[%s] 打开相机时发生错误, errCode=0x%x!!", static_cast<unsigned>(ret));
        return ret;
    }
    ret = MV_CC_SetEnumValue(*hCam, "TriggerMode", setTriggerMode);
    if (ret == MV_OK) ret = MV_CC_SetEnumValue(*hCam, "TriggerSource", kSoftwareTrigger);
    if (ret != MV_OK) {
        log_error(__LINE__, "[%s] 设置相机时发生错误, errCode=0x%x!!", static_cast<unsigned>(ret));
        return ret;
    }
    return MV_OK;
}

int acquire_lock(char (&lockFile)[kLockPathSize], int* fd) {
    char runDir[260];
    memset(runDir, 0, sizeof runDir);
    (void)running_info.load()(runDir, nullptr);
    memset(lockFile, 0, sizeof lockFile);
    lock_path_for(runDir, lockFile);
    *fd = -1;
    errno = 0;
    const int locked = take_lock(lockFile, fd);
    tls_lastErrno = locked == -1 ? (lockFile[0] == '\0' ? ENAMETOOLONG : errno) : 0;
    return locked;
}

void release_lock(const char* lockFile, int fd) {
    // Removed while still held, so no other call can lock this file after it is gone (a call that
    // opened it meanwhile sees that the path names another file and starts again).
    (void)sw_file_delete(lockFile);
    (void)flock(fd, LOCK_UN);
    (void)close(fd);
}

void tear_down(void* hCam) {
    if (hCam != nullptr) {
        (void)MV_CC_StopGrabbing(hCam);
        (void)MV_CC_CloseDevice(hCam);
        (void)MV_CC_DestroyHandle(hCam);
    }
    (void)MV_CC_Finalize();
}

void set_last_errno(int err) { tls_lastErrno = err; }

int take_lock(const char* path, int* fdOut) {
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        // flock needs no more than reading, and the shared lock directory may hold a file another
        // user made (its mode by their umask, and a sticky directory may refuse O_CREAT on someone
        // else's file): an existing file is opened read-only, and only a missing one is created,
        // readable by everyone whatever our umask. Without waiting: a FIFO put there would block
        // the open until someone writes to it. Nor through a link someone planted there: opening what
        // it names (a device, another program's lock) is not ours to do, and the file is ours to remove.
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 && errno == EEXIST) continue;  // made meanwhile by another call: open that
            if (fd >= 0) (void)fchmod(fd, 0644);
        }
        if (fd < 0) return -1;
        if (const LockOpenedHook hook = lock_opened_hook.load()) hook(path);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return -2;
        }
        struct stat held {}, named {};
        if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            *fdOut = fd;
            return 0;
        }
        close(fd);  // the file was removed or replaced after we opened it
    }
    return -2;
}

// The lock file in the directory of the lock rule (lockdir.h), which is created when missing. A
// directory too long for the buffer gives an empty path, which no lock file can be opened at.
void lock_path_for(const char* runDir, char (&lockFile)[kLockPathSize]) {
    lock_dir(lockFile, sizeof lockFile, runDir);
    const size_t len = strlen(lockFile);
    if (len == 0 || !lock_dir_fits(len)) {
        lockFile[0] = '\0';
        return;
    }
    if (!sw_dir_exists(lockFile)) (void)sw_dir_create(lockFile);
    memcpy(lockFile + len, kLockName, sizeof kLockName);
}

bool is_hikrobot_manu_alias(const char* name) {
    for (const char* alias : hikrobot_manu_aliases) {
        if (alias != nullptr && xstrcasecmp(name, alias) == 0) return true;
    }
    return false;
}

int timeout_ms(int timeoutSeconds) {
    if (timeoutSeconds < 0) return -1;
    const int64_t ms = static_cast<int64_t>(timeoutSeconds) * 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace qs

extern "C" int Quellshot_Grab(HKImgType imgType, const char* saveImgPath, int timeout, HKImgMark* pImgMark) {
    const unsigned cancelFrom = qs::cancel_generation.load();
    qs::PthotoProcCtx ctx{};
    char lockFile[qs::kLockPathSize];
    int fd = -1;
    const int locked = qs::acquire_lock(lockFile, &fd);
    if (locked != 0) return locked;

    const int ret = qs::capture(ctx, imgType, saveImgPath, timeout, pImgMark, cancelFrom);
    tls_lastErrno = ret == -19 ? ctx.saveErrno : 0;

    qs::tear_down(ctx.hCam);
    qs::release_lock(lockFile, fd);
    return ret;
}

extern "C" void qs_cancel(void) { qs::cancel_generation.fetch_add(1); }

extern "C" int qs_last_errno(void) { return tls_lastErrno; }

extern "C" const char* qs_camera_sdk(const char** name, const char** why) {
    const sdkloader::Choice& c = sdkloader::choice();
    if (name != nullptr) *name = c.name;
    if (why != nullptr) *why = c.library != nullptr ? nullptr : c.why;
    return c.library != nullptr ? c.path : nullptr;
}

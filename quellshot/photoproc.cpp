// The capture worker: trigger, fetch, settle check, and saving the frame as an image file.
#include <MvCameraControl.h>
#include <pthread.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "internal/swalloc.h"
#include "internal/swreplace.h"
#include "qs_internal.h"
#include "swlog.h"
#include "swsignal.h"
#include "swstring.h"
#include "swthrd.h"

namespace qs {

namespace {

constexpr unsigned int kFrameWaitMs = 1000;
constexpr float kExposureTolerance = 50.0f;  // us; a larger change between frames is not steady
constexpr int kSteadyRun = 3;                // a run longer than this has settled
constexpr long kSettleLimitMs = 180000;      // save unsettled after this long
constexpr unsigned int kJpegQuality = 90;
constexpr unsigned int kSaveMethod = 1;
constexpr uint64_t kMaxJpegRatio = 3;   // bytes per pixel a JPEG buffer allows (the RGB frame itself)
constexpr uint64_t kJpegSlack = 65536;  // headers, and a JPEG of noise that beats no compression

void default_clock(struct timespec* ts) { (void)clock_gettime(CLOCK_MONOTONIC, ts); }

}  // namespace

// Decides whether the frame held may be saved. kAgain: the frame was given back and the pass ends
// with 1. kFailed: the frame was given back and `ret` holds the status.
Settle settle_check(PthotoProcCtx* ctx, MV_FRAME_OUT* frame, int* ret) {
    MVCC_FLOATVALUE stExposureTime{};
    *ret = MV_CC_GetExposureTime(ctx->hCam, &stExposureTime);
    if (*ret != MV_OK) {
        (void)MV_CC_FreeImageBuffer(ctx->hCam, frame);
        return Settle::kFailed;
    }
    const float curExpTime = stExposureTime.fCurValue;
    struct timespec now {};
    monotonic_clock.load()(&now);
    // In 64 bits: a session may keep its start for weeks, and 32-bit seconds times 1000 wrap after 24.8
    // days, which would make the time since then negative and the limit never reached.
    const long long elapsed = (static_cast<long long>(now.tv_sec) - ctx->expTime0.tv_sec) * 1000 +
                              (now.tv_nsec - ctx->expTime0.tv_nsec) / 1000000;
    sw_log_writeWithLevel(LEVEL_DEBUG, __FILE__, __LINE__,
                          "[%s] +++GetOneFrame+++, 等待曝光完成, ExposureTime = %.2fus, ElapsedTime = %lldms",
                          MODULE_NAME, static_cast<double>(curExpTime), elapsed);
    bool settled = false;
    if (std::fabs(curExpTime - ctx->lastExpTime) > kExposureTolerance) {
        ctx->expStableCnt = 0;
    } else {
        ctx->expStableCnt += 1;
        settled = ctx->expStableCnt > kSteadyRun;
    }
    if (!settled && elapsed < kSettleLimitMs) {
        (void)MV_CC_FreeImageBuffer(ctx->hCam, frame);
        ctx->lastExpTime = curExpTime;
        if (ctx->expStableCnt == 0) ctx->expStableCnt = 1;
        return Settle::kAgain;
    }
    return Settle::kSave;
}

namespace {

// Holds off thread cancellation from hold() until it goes (then the previous state returns).
class CancelWindow {
public:
    CancelWindow() = default;
    CancelWindow(const CancelWindow&) = delete;
    CancelWindow& operator=(const CancelWindow&) = delete;
    ~CancelWindow() {
        if (held_) (void)pthread_setcancelstate(old_, nullptr);
    }
    void hold() {
        if (!held_) held_ = pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_) == 0;
    }

private:
    bool held_ = false;
    int old_ = PTHREAD_CANCEL_ENABLE;
};

// The gate of the file write: the image goes in place only while the caller still waits for it.
int may_commit(void* arg) {
    auto* ctx = static_cast<PthotoProcCtx*>(arg);
    int expected = kRunning;
    return ctx->commit.compare_exchange_strong(expected, kCommitting) ? 1 : 0;
}

}  // namespace

std::atomic<MonotonicClock> monotonic_clock{default_clock};
std::atomic<int> trigger_pause_ms{1000};
std::atomic<AllocFn> alloc{sw_rule_alloc};

int PhotoProc(unsigned long wParam, unsigned long /*lParam*/) {
    auto* ctx = reinterpret_cast<PthotoProcCtx*>(wParam);
    MV_FRAME_OUT frame;
    memset(&frame, 0, sizeof frame);
    int ret = MV_CC_SetCommandValue(ctx->hCam, "TriggerSoftware");
    sw_thrd_delay(trigger_pause_ms.load());
    // A worker that overran is cancelled, but only in its pause: cancelled with a frame held, it would
    // never give the frame back (the rest of the pass logs, allocates and calls the camera).
    CancelWindow noCancel;
    noCancel.hold();
    if (ret == MV_OK) {
        memset(&frame, 0, sizeof frame);
        ret = MV_CC_GetImageBuffer(ctx->hCam, &frame, kFrameWaitMs);
    }
    if (ret == MV_OK) {
        const MV_FRAME_OUT_INFO_EX& fi = frame.stFrameInfo;
        sw_log_writeWithLevel(LEVEL_DEBUG, __FILE__, __LINE__,
                              "[%s] +++GetOneFrame+++, Width[%u], Height[%u], FrameNum[%u], FrameLen[%u], "
                              "PixelType[0x%08X]",
                              MODULE_NAME, frame_width(fi), frame_height(fi), fi.nFrameNum, fi.nFrameLen,
                              static_cast<unsigned>(fi.enPixelType));
        Settle s = Settle::kSave;
        if (ctx->isExposureAuto && waitAEDone.load() != 0) s = settle_check(ctx, &frame, &ret);
        if (s == Settle::kAgain) return 1;
        if (s == Settle::kSave) {
            ret = SavePhoto(ctx->hCam, &frame, ctx->saveImgType, ctx->saveImgPath, ctx);
            ctx->saveErrno = ret == -19 ? errno : 0;
            (void)MV_CC_FreeImageBuffer(ctx->hCam, &frame);
        }
    }
    if (static_cast<unsigned int>(ret) == MV_E_NODATA) {
        sw_log_writeWithLevel(LEVEL_DEBUG, __FILE__, __LINE__, "[%s] +++GetOneFrame+++, 无数据, 继续等待...",
                              MODULE_NAME);
        return 1;
    }
    ctx->rCode = ret;
    sw_signal_give(ctx->hESig);
    return -1;
}

uint64_t image_bound(HKImgType type, unsigned width, unsigned height) {
    if (type == IMG_TYPE_BMP) return 1078 + (uint64_t{width} * 3 + 3) / 4 * 4 * height;
    return uint64_t{width} * height * kMaxJpegRatio + kJpegSlack;
}

int SavePhoto(void* hCam, MV_FRAME_OUT* pFrame, HKImgType imgType, const char* imgPath, PthotoProcCtx* ctx) {
    MV_SAVE_IMAGE_PARAM_EX3 saveParams;
    memset(&saveParams, 0, sizeof saveParams);
    if (hCam == nullptr || imgPath == nullptr || imgPath[0] == '\0') return -15;
    const char* ext = nullptr;
    if (imgType == IMG_TYPE_BMP) {
        ext = ".bmp";
    } else if (imgType == IMG_TYPE_JPG) {
        ext = ".jpg";
    } else {
        return -16;
    }
    MVCC_INTVALUE_EX iv;
    memset(&iv, 0, sizeof iv);
    int ret = MV_CC_GetIntValueEx(hCam, "PayloadSize", &iv);
    if (ret != MV_OK) return ret;

    saveParams.pData = pFrame->pBufAddr;
    saveParams.nDataLen = pFrame->stFrameInfo.nFrameLen;
    saveParams.enPixelType = pFrame->stFrameInfo.enPixelType;
    saveParams.nWidth = frame_width(pFrame->stFrameInfo);
    saveParams.nHeight = frame_height(pFrame->stFrameInfo);
    saveParams.enImageType = static_cast<MV_SAVE_IAMGE_TYPE>(imgType);
    saveParams.nJpgQuality = kJpegQuality;
    saveParams.iMethodValue = kSaveMethod;
    // A BMP of the frame is at most a little more than the frame itself; four times leaves room
    // for the header, palette and row padding of most. Unsigned 32-bit, as the SDK field is.
    const auto payload = static_cast<uint32_t>(iv.nCurValue);

    // Declared first so that it goes last: the frees below run while cancellation is held off.
    CancelWindow noCancel;
    dudiz::RuleBlock image;
    const auto convert = [&](uint32_t size) {
        SW_FREE(image.p);
        image.p = alloc.load()(size, __FILE__, __LINE__);
        if (image.p == nullptr) return -17;
        saveParams.nBufferSize = size;
        saveParams.pImageBuffer = static_cast<unsigned char*>(image.p);
        return MV_CC_SaveImageEx3(hCam, &saveParams);
    };
    ret = convert(imgType == IMG_TYPE_BMP ? payload * 4u : payload);
    // That size suits most frames, but an image can outgrow it: the JPEG of a small, detailed or
    // Bayer frame, the BMP of a tiny grey one. Once more then, with room for any image of the frame.
    const uint64_t bound = image_bound(imgType, saveParams.nWidth, saveParams.nHeight);
    if (ret == static_cast<int>(MV_E_NOENOUGH_BUF) && bound > saveParams.nBufferSize && bound <= UINT32_MAX)
        ret = convert(static_cast<uint32_t>(bound));
    if (ret != MV_OK) return ret;

    // From here the file is written and the blocks are freed; the caller stops an overrunning
    // worker by cancelling it, and that must not leave a half-written file or a lost block.
    noCancel.hold();
    dudiz::RuleBlock formatted;
    const char* path = imgPath;
    if (xstrcasestr(imgPath, "right", ext) == nullptr) {
        const size_t len = strlen(imgPath) + 5;
        formatted.p = alloc.load()(len, __FILE__, __LINE__);
        if (formatted.p == nullptr) return -18;
        (void)snprintf(static_cast<char*>(formatted.p), len, "%s%s", imgPath, ext);
        path = static_cast<const char*>(formatted.p);
    }
    // An empty image, or one said to be longer than its buffer, cannot be a valid file.
    if (saveParams.nImageLen == 0 || saveParams.nImageLen > saveParams.nBufferSize) {
        errno = 0;
        return -19;
    }
    int (*const gate)(void*) = ctx == nullptr ? nullptr : may_commit;
    if (sw_file_replace_gated(path, image.p, saveParams.nImageLen, gate, ctx) != 0) return -19;
    return MV_OK;
}

}  // namespace qs

// Sessions: one camera opened once for many photos, its settings, its features by name, single
// photos and series.
#include <MvCameraControl.h>
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "internal/fieldcopy.h"
#include "internal/swalloc.h"
#include "internal/swreplace.h"
#include "internal/timedwait.h"
#include "qs_internal.h"
#include "sdkloader.h"
#include "swlog.h"
#include "swstring.h"
#include "swthrd.h"

// The session object; allocated by the library's allocation rule, so plain data only.
struct qs_session {
    void* hCam;
    int lockFd;
    char lockFile[qs::kLockPathSize];
    bool grabbing;
    unsigned quality;
    // The settle rule's state (hCam, isExposureAuto, expTime0, lastExpTime, expStableCnt), carried
    // from one photo to the next.
    qs::PthotoProcCtx settle;
    // A series triggers the next photo's frame before it saves the last one.
    bool triggerPending;
    // The last photo re-triggered: a late frame of the first trigger may still come.
    bool retriggered;
    // The encoded image, kept between photos.
    void* image;
    size_t imageSize;
};

namespace qs {
namespace {

constexpr unsigned kDefaultQuality = 90;
constexpr unsigned kMinQuality = 50;
constexpr unsigned kMaxQuality = 99;
constexpr int kRetriggerMs = 1000;    // a trigger that yields nothing this long is repeated
constexpr int kCancelSliceMs = 50;    // how often a series waiting for its next turn looks for qs_cancel

void log_error(int line, const char* format, unsigned value) {
    sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, line, format, MODULE_NAME, value);
}

int64_t wall_ms() {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// ---- pixel formats and enumeration entries ---------------------------------------------------

struct Entry {
    unsigned value;
    const char* name;
};
constexpr Entry kPixelFormats[] = {
    {PixelType_Gvsp_Mono8, "Mono8"},       {PixelType_Gvsp_Mono10, "Mono10"},
    {PixelType_Gvsp_Mono12, "Mono12"},     {PixelType_Gvsp_Mono16, "Mono16"},
    {PixelType_Gvsp_BayerGR8, "BayerGR8"}, {PixelType_Gvsp_BayerRG8, "BayerRG8"},
    {PixelType_Gvsp_BayerGB8, "BayerGB8"}, {PixelType_Gvsp_BayerBG8, "BayerBG8"},
    {PixelType_Gvsp_RGB8_Packed, "RGB8"},  {PixelType_Gvsp_BGR8_Packed, "BGR8"},
};
constexpr Entry kAutoModes[] = {{0, "Off"}, {1, "Once"}, {2, "Continuous"}};
constexpr Entry kTriggerModes[] = {{0, "Off"}, {1, "On"}};
constexpr Entry kTriggerSources[] = {{0, "Line0"},
                                     {1, "Line1"},
                                     {2, "Line2"},
                                     {3, "Line3"},
                                     {4, "Counter0"},
                                     {7, "Software"},
                                     {8, "FrequencyConverter"}};

struct NamedEnum {
    const char* feature;
    const Entry* entries;
    size_t count;
};
constexpr NamedEnum kNamedEnums[] = {
    {"PixelFormat", kPixelFormats, sizeof kPixelFormats / sizeof kPixelFormats[0]},
    {"ExposureAuto", kAutoModes, 3},
    {"GainAuto", kAutoModes, 3},
    {"TriggerMode", kTriggerModes, 2},
    {"TriggerSource", kTriggerSources, sizeof kTriggerSources / sizeof kTriggerSources[0]},
};

const char* entry_name(const char* feature, unsigned value) {
    for (const NamedEnum& e : kNamedEnums) {
        if (strcmp(e.feature, feature) != 0) continue;
        for (size_t i = 0; i < e.count; ++i) {
            if (e.entries[i].value == value) return e.entries[i].name;
        }
    }
    return nullptr;
}

// Standard features, for an SDK that cannot enumerate a camera's own.
const char* const kStandardFeatures[] = {
    "DeviceVendorName",
    "DeviceModelName",
    "DeviceSerialNumber",
    "DeviceFirmwareVersion",
    "DeviceUserID",
    "WidthMax",
    "HeightMax",
    "Width",
    "Height",
    "OffsetX",
    "OffsetY",
    "PixelFormat",
    "PayloadSize",
    "ReverseX",
    "ReverseY",
    "ExposureAuto",
    "ExposureTime",
    "GainAuto",
    "Gain",
    "BlackLevel",
    "Gamma",
    "AcquisitionFrameRateEnable",
    "AcquisitionFrameRate",
    "ResultingFrameRate",
    "TriggerMode",
    "TriggerSource",
    "GevSCPSPacketSize",
};

// ---- the stream ----------------------------------------------------------------------------------

int start_stream(qs_session* s) {
    if (s->grabbing) return MV_OK;
    const int rc = MV_CC_StartGrabbing(s->hCam);
    if (rc != MV_OK) {
        log_error(__LINE__, "[%s] 相机取流时发生错误, errCode=0x%x!!", static_cast<unsigned>(rc));
        return rc;
    }
    s->grabbing = true;
    return MV_OK;
}

// Runs `change` with the stream stopped (the camera locks some features while it streams), then
// starts it again. The change's status, else the restart's.
template <class Change>
int with_stream_stopped(qs_session* s, Change&& change) {
    if (s->grabbing) {
        const int rc = MV_CC_StopGrabbing(s->hCam);
        if (rc != MV_OK) return rc;
        s->grabbing = false;
        s->triggerPending = false;
    }
    const int rc = change();
    const int restarted = start_stream(s);
    return rc != MV_OK ? rc : restarted;
}

// Throws away frames already delivered: they belong to triggers before this photo.
void drain(qs_session* s) {
    MV_FRAME_OUT frame;
    for (int i = 0; i < 64; ++i) {
        memset(&frame, 0, sizeof frame);
        if (MV_CC_GetImageBuffer(s->hCam, &frame, 0) != MV_OK) return;
        (void)MV_CC_FreeImageBuffer(s->hCam, &frame);
    }
}

int trigger(qs_session* s) {
    const int rc = MV_CC_SetCommandValue(s->hCam, "TriggerSoftware");
    if (rc != MV_OK)
        log_error(__LINE__, "[%s] software trigger failed, errCode=0x%x!!", static_cast<unsigned>(rc));
    return rc;
}

// Waits for the frame of the pending trigger, repeating the trigger after each second without one.
int await_frame(qs_session* s, int timeoutMs, MV_FRAME_OUT* frame) {
    const int64_t until = dudiz::monotonic_ms() + timeoutMs;
    for (;;) {
        const int64_t left = timeoutMs < 0 ? kRetriggerMs : until - dudiz::monotonic_ms();
        const unsigned slice = static_cast<unsigned>(left <= 0             ? 0
                                                     : left < kRetriggerMs ? left
                                                                           : kRetriggerMs);
        memset(frame, 0, sizeof *frame);
        const int rc = MV_CC_GetImageBuffer(s->hCam, frame, slice);
        if (rc == MV_OK) {
            s->triggerPending = false;
            return MV_OK;
        }
        if (static_cast<unsigned>(rc) != MV_E_NODATA) return rc;
        if (timeoutMs >= 0 && dudiz::monotonic_ms() >= until) {
            sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 拍照过程-等待超时!!", MODULE_NAME);
            return QS_E_TIMEOUT;
        }
        s->retriggered = true;
        if (const int t = trigger(s)) return t;
    }
}

// Whether the camera's exposure is automatic now ("Once" turns itself off when done).
int refresh_auto(qs_session* s) {
    MVCC_ENUMVALUE mode;
    memset(&mode, 0, sizeof mode);
    const int rc = MV_CC_GetExposureAutoMode(s->hCam, &mode);
    if (rc != MV_OK) return rc;
    const bool was = s->settle.isExposureAuto;
    s->settle.isExposureAuto = mode.nCurValue != MV_EXPOSURE_AUTO_MODE_OFF;
    if (s->settle.isExposureAuto && !was) {
        monotonic_clock.load()(&s->settle.expTime0);
        s->settle.expStableCnt = 0;
        s->settle.lastExpTime = 0.0f;
    }
    return MV_OK;
}

// "Once" turns itself off when it is done, unseen until the next photo looks: the mode is read before
// it is written, so that switching automatic exposure on again starts its settle wait afresh instead
// of counting from the first switch (long past the limit) with the old run of steady frames.
void notice_once_ended(qs_session* s) {
    if (s->settle.isExposureAuto) (void)refresh_auto(s);
}

// Takes the frame of one photo: triggers (unless a series did already), waits for it and for the
// exposure to settle. The frame is held on success; `prefetch` triggers the next photo's frame.
int take_frame(qs_session* s, int timeoutMs, bool prefetch, MV_FRAME_OUT* frame, qs_photo* photo) {
    int rc = start_stream(s);
    if (rc != MV_OK) return rc;
    if (s->settle.isExposureAuto && (rc = refresh_auto(s)) != MV_OK) return rc;
    const int64_t until = dudiz::monotonic_ms() + timeoutMs;
    for (;;) {
        if (!s->triggerPending) {
            drain(s);
            s->retriggered = false;
            if ((rc = trigger(s)) != MV_OK) return rc;
            s->triggerPending = true;
        }
        const int64_t left = timeoutMs < 0 ? -1 : until - dudiz::monotonic_ms();
        rc = await_frame(s, left < 0 && timeoutMs >= 0 ? 0 : static_cast<int>(left), frame);
        if (rc != MV_OK) return rc;
        const int64_t arrived = wall_ms();
        Settle settled = Settle::kSave;
        if (s->settle.isExposureAuto && waitAEDone.load() != 0)
            settled = settle_check(&s->settle, frame, &rc);
        if (settled == Settle::kFailed) return rc;
        if (settled == Settle::kAgain) continue;

        const MV_FRAME_OUT_INFO_EX& fi = frame->stFrameInfo;
        qs_photo p{};
        p.time_ms = arrived;
        p.device_timestamp = (static_cast<uint64_t>(fi.nDevTimeStampHigh) << 32) | fi.nDevTimeStampLow;
        p.frame_number = fi.nFrameNum;
        p.width = frame_width(fi);
        p.height = frame_height(fi);
        p.pixel_type = static_cast<unsigned>(fi.enPixelType);
        const char* name = entry_name("PixelFormat", p.pixel_type);
        (void)snprintf(p.pixel_format, sizeof p.pixel_format, "%s", name != nullptr ? name : "");
        MVCC_FLOATVALUE v{};
        p.exposure_us = MV_CC_GetExposureTime(s->hCam, &v) == MV_OK ? v.fCurValue : NAN;
        v = MVCC_FLOATVALUE{};
        p.gain_db = MV_CC_GetFloatValue(s->hCam, "Gain", &v) == MV_OK ? v.fCurValue : NAN;
        *photo = p;
        // The next frame exposes while this one is saved, unless a late frame may still come.
        if (prefetch && !s->retriggered && trigger(s) == MV_OK) s->triggerPending = true;
        return MV_OK;
    }
}

// Encodes the frame held into the session's buffer; gives the frame back in any case.
int encode(qs_session* s, MV_FRAME_OUT* frame, HKImgType type, unsigned* len) {
    const MV_FRAME_OUT_INFO_EX& fi = frame->stFrameInfo;
    const uint64_t need = image_bound(type, frame_width(fi), frame_height(fi));
    if (need > UINT_MAX) {
        (void)MV_CC_FreeImageBuffer(s->hCam, frame);
        return QS_E_NO_MEMORY;
    }
    if (s->imageSize < need) {
        SW_FREE(s->image);
        s->imageSize = 0;
        s->image = alloc.load()(static_cast<size_t>(need), __FILE__, __LINE__);
        if (s->image == nullptr) {
            (void)MV_CC_FreeImageBuffer(s->hCam, frame);
            return QS_E_NO_MEMORY;
        }
        s->imageSize = static_cast<size_t>(need);
    }
    MV_SAVE_IMAGE_PARAM_EX3 p;
    memset(&p, 0, sizeof p);
    p.pData = frame->pBufAddr;
    p.nDataLen = fi.nFrameLen;
    p.enPixelType = fi.enPixelType;
    p.nWidth = frame_width(fi);
    p.nHeight = frame_height(fi);
    p.pImageBuffer = static_cast<unsigned char*>(s->image);
    p.nBufferSize = static_cast<unsigned>(s->imageSize);
    p.enImageType = static_cast<MV_SAVE_IAMGE_TYPE>(type);
    p.nJpgQuality = s->quality;
    p.iMethodValue = 1;
    int rc = MV_CC_SaveImageEx3(s->hCam, &p);
    (void)MV_CC_FreeImageBuffer(s->hCam, frame);
    if (rc == MV_OK && (p.nImageLen == 0 || p.nImageLen > p.nBufferSize)) {
        errno = 0;
        rc = QS_E_WRITE;
    }
    *len = p.nImageLen;
    return rc;
}

// The file of `path` with the extension of `type` appended unless it occurs in the path.
int file_name(const char* path, HKImgType type, dudiz::RuleBlock& out, const char** name) {
    const char* ext = type == IMG_TYPE_BMP ? ".bmp" : ".jpg";
    *name = path;
    if (xstrcasestr(path, "right", ext) != nullptr) return 0;
    const size_t len = strlen(path) + 5;
    out.p = alloc.load()(len, __FILE__, __LINE__);
    if (out.p == nullptr) return QS_E_NO_MEMORY;
    (void)snprintf(static_cast<char*>(out.p), len, "%s%s", path, ext);
    *name = static_cast<const char*>(out.p);
    return 0;
}

// A pipe whose reader has gone raises SIGPIPE, whose default action would end the host without its
// tear-down: the signal is held back for this thread during the writes and, when a write raised it,
// taken, so that the failure is an EPIPE result. One already pending before is someone else's and stays.
// The process's dispositions are the host's and are left alone.
bool write_all(int fd, const unsigned char* data, size_t len) {
    sigset_t pipeSet, old, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    (void)pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    const bool wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    bool ok = true;
    while (ok && len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        // A non-blocking descriptor that is full: wait as a blocking one would, not fail mid-image.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{fd, POLLOUT, 0};
            if (poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
        }
        ok = n > 0;
        if (ok) {
            data += n;
            len -= static_cast<size_t>(n);
        }
    }
    const int err = errno;
    if (!ok && err == EPIPE && !wasPending) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    (void)pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return ok;
}

bool valid_type(HKImgType type) {
    return type == IMG_TYPE_JPG || type == IMG_TYPE_BMP;
}

// One photo: the frame, then the image written to `path` (NULL: to fd). `pathOf` makes the path from
// the photo when given (a series' pattern); false when it does not fit.
struct Target {
    const char* path;
    int fd;
    bool (*pathOf)(const void* arg, const qs_photo& photo, char* out, size_t size);
    const void* arg;
    char made[4096];
};

int photo(qs_session* s, HKImgType type, Target& t, int timeoutMs, bool prefetch, qs_photo* out) {
    set_last_errno(0);
    MV_FRAME_OUT frame;
    qs_photo p;
    int rc = take_frame(s, timeoutMs, prefetch, &frame, &p);
    if (rc != MV_OK) {
        // A trigger whose frame did not come in time belongs to this photo only: the next photo
        // triggers afresh and drops that frame, instead of taking it (taken before it was asked
        // for) as its own.
        s->triggerPending = false;
        return rc;
    }
    unsigned len = 0;
    rc = encode(s, &frame, type, &len);
    if (rc != MV_OK) {
        set_last_errno(rc == QS_E_WRITE ? errno : 0);
        return rc;
    }
    if (t.pathOf != nullptr) {
        // A cut name would save the photo under another name: it fails as the kernel fails a
        // path longer than it takes.
        if (!t.pathOf(t.arg, p, t.made, sizeof t.made)) {
            set_last_errno(ENAMETOOLONG);
            return QS_E_WRITE;
        }
        t.path = t.made;
    }
    if (t.path != nullptr) {
        dudiz::RuleBlock named;
        const char* name = nullptr;
        if ((rc = file_name(t.path, type, named, &name)) != 0) return rc;
        if (sw_file_replace_gated(name, s->image, len, nullptr, nullptr) != 0) {
            set_last_errno(errno);
            return QS_E_WRITE;
        }
        if (t.pathOf != nullptr && name != t.path) (void)snprintf(t.made, sizeof t.made, "%s", name);
    } else if (!write_all(t.fd, static_cast<unsigned char*>(s->image), len)) {
        set_last_errno(errno);
        return QS_E_WRITE;
    }
    if (out != nullptr) *out = p;
    return MV_OK;
}

// ---- series names --------------------------------------------------------------------------------

struct Pattern {
    const char* text;
    int width;  // digits of the count
};

// Whether the pattern holds "%<c>" itself, not an escaped "%%" followed by c.
bool holds(const char* pattern, char c) {
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (p[0] != '%' || p[1] == '\0') continue;
        if (p[1] == c) return true;
        ++p;  // the escape's second character starts nothing
    }
    return false;
}

// The name of photo `number` of a series. `lastStamp`, when given, is the stamp the photo before was
// named with: photos of a fast camera arrive within one millisecond, and a name that only "%t" tells
// apart would repeat, so such a photo is named a millisecond after the one before (so also after the
// clock steps back).
struct Named {
    Pattern pat;
    int number;
    int64_t* lastStamp;
};

bool expand(const void* arg, const qs_photo& photo, char* out, size_t size) {
    const auto* named = static_cast<const Named*>(arg);
    const Pattern* pat = &named->pat;
    const int number = named->number;
    int64_t stamp = photo.time_ms;
    if (named->lastStamp != nullptr) {
        if (stamp <= *named->lastStamp) stamp = *named->lastStamp + 1;
        *named->lastStamp = stamp;
    }
    size_t n = 0;
    bool fits = true;
    auto put = [&](const char* text, size_t len) {
        fits = fits && n + len < size;
        for (size_t i = 0; i < len && n + 1 < size; ++i) out[n++] = text[i];
    };
    for (const char* c = pat->text; *c != '\0'; ++c) {
        char piece[40];
        if (c[0] == '%' && c[1] == 'n') {
            put(piece, static_cast<size_t>(snprintf(piece, sizeof piece, "%0*d", pat->width, number)));
            ++c;
        } else if (c[0] == '%' && c[1] == 't') {
            const time_t secs = static_cast<time_t>(stamp / 1000);
            struct tm tm {};
            (void)gmtime_r(&secs, &tm);
            const size_t k = strftime(piece, sizeof piece, "%Y%m%dT%H%M%S", &tm);
            put(piece, k);
            put(piece,
                static_cast<size_t>(snprintf(piece, sizeof piece, ".%03dZ", static_cast<int>(stamp % 1000))));
            ++c;
        } else if (c[0] == '%' && c[1] == '%') {
            put("%", 1);
            ++c;
        } else {
            put(c, 1);
        }
    }
    out[n] = '\0';
    return fits;
}

// ---- features ------------------------------------------------------------------------------------

bool wrong_type(int rc) {
    return static_cast<unsigned>(rc) == MV_E_PARAMETER;
}

// Formats a float without trailing zeros.
void float_text(double v, char* out, size_t size) {
    (void)snprintf(out, size, "%.6f", v);
    char* dot = strchr(out, '.');
    if (dot == nullptr) return;
    char* end = out + strlen(out);
    while (end > dot + 1 && end[-1] == '0') *--end = '\0';
    if (end == dot + 1) *dot = '\0';
}

// Reads a feature of whatever type it is: its text into buf, its kind into *type.
int read_feature(void* h, const char* name, char* buf, size_t size, int* type) {
    int first = 0;  // the first failure that is not "another type"
    auto note = [&first](int rc) {
        if (first == 0 && !wrong_type(rc)) first = rc;
    };
    MVCC_INTVALUE_EX iv;
    memset(&iv, 0, sizeof iv);
    int rc = MV_CC_GetIntValueEx(h, name, &iv);
    if (rc == MV_OK) {
        *type = QS_FEATURE_INTEGER;
        (void)snprintf(buf, size, "%lld", static_cast<long long>(iv.nCurValue));
        return MV_OK;
    }
    note(rc);
    MVCC_FLOATVALUE fv{};
    if ((rc = MV_CC_GetFloatValue(h, name, &fv)) == MV_OK) {
        *type = QS_FEATURE_FLOAT;
        float_text(fv.fCurValue, buf, size);
        return MV_OK;
    }
    note(rc);
    MVCC_ENUMVALUE ev;
    memset(&ev, 0, sizeof ev);
    if ((rc = MV_CC_GetEnumValue(h, name, &ev)) == MV_OK) {
        *type = QS_FEATURE_ENUMERATION;
        const char* entry = entry_name(name, ev.nCurValue);
        if (entry != nullptr) {
            (void)snprintf(buf, size, "%s", entry);
        } else {
            (void)snprintf(buf, size, "%u", ev.nCurValue);
        }
        return MV_OK;
    }
    note(rc);
    bool bv = false;
    if ((rc = MV_CC_GetBoolValue(h, name, &bv)) == MV_OK) {
        *type = QS_FEATURE_BOOLEAN;
        (void)snprintf(buf, size, "%s", bv ? "true" : "false");
        return MV_OK;
    }
    note(rc);
    MVCC_STRINGVALUE sv;
    memset(&sv, 0, sizeof sv);
    if ((rc = MV_CC_GetStringValue(h, name, &sv)) == MV_OK) {
        *type = QS_FEATURE_STRING;
        sv.chCurValue[sizeof sv.chCurValue - 1] = '\0';
        (void)snprintf(buf, size, "%s", sv.chCurValue);
        return MV_OK;
    }
    note(rc);
    // Of every readable type "another type": a command, or a kind no call reads.
    *type = QS_FEATURE_COMMAND;
    return first != 0 ? first : QS_E_FEATURE_TYPE;
}

// Decimal, or hexadecimal after "0x". A leading zero is no octal prefix: "0640" is 640, not 416.
bool parse_ll(const char* text, long long* out) {
    if (*text == '\0') return false;
    const char* digits = text + (*text == '-' || *text == '+' ? 1 : 0);
    const int base = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') ? 16 : 10;
    char* end = nullptr;
    errno = 0;
    *out = strtoll(text, &end, base);
    return errno == 0 && *end == '\0';
}

bool parse_double(const char* text, double* out) {
    if (*text == '\0') return false;
    char* end = nullptr;
    *out = strtod(text, &end);
    return *end == '\0' && std::isfinite(*out);
}

bool valid_mode(int mode) {
    return mode >= QS_AUTO_OFF && mode <= QS_AUTO_CONTINUOUS;
}

int set_fitted(void* h, const char* name, int64_t want) {
    MVCC_INTVALUE_EX v;
    memset(&v, 0, sizeof v);
    int rc = MV_CC_GetIntValueEx(h, name, &v);
    if (rc != MV_OK) return rc;
    const int64_t value = fit(want, v);
    return value == v.nCurValue ? MV_OK : MV_CC_SetIntValueEx(h, name, value);
}

int read_int(void* h, const char* name, int64_t* out) {
    MVCC_INTVALUE_EX v;
    memset(&v, 0, sizeof v);
    const int rc = MV_CC_GetIntValueEx(h, name, &v);
    if (rc == MV_OK) *out = v.nCurValue;
    return rc;
}

// Writes a feature of the kind read_feature found, from text.
int write_feature(void* h, const char* name, int kind, const char* value) {
    long long ll = 0;
    double d = 0;
    switch (kind) {
        case QS_FEATURE_INTEGER:
            return parse_ll(value, &ll) ? MV_CC_SetIntValueEx(h, name, ll) : QS_E_ARGUMENT;
        case QS_FEATURE_FLOAT:
            return parse_double(value, &d) ? MV_CC_SetFloatValue(h, name, static_cast<float>(d))
                                           : QS_E_ARGUMENT;
        case QS_FEATURE_ENUMERATION:
            if (value[0] == '\0') return QS_E_ARGUMENT;
            if (parse_ll(value, &ll) && ll >= 0 && ll <= UINT_MAX)
                return MV_CC_SetEnumValue(h, name, static_cast<unsigned>(ll));
            return MV_CC_SetEnumValueByString(h, name, value);
        case QS_FEATURE_BOOLEAN:
            if (strcmp(value, "true") == 0 || strcmp(value, "1") == 0)
                return MV_CC_SetBoolValue(h, name, true);
            if (strcmp(value, "false") == 0 || strcmp(value, "0") == 0)
                return MV_CC_SetBoolValue(h, name, false);
            return QS_E_ARGUMENT;
        case QS_FEATURE_STRING:
            return QS_E_FEATURE_TYPE;
        default:
            return value[0] == '\0' ? MV_CC_SetCommandValue(h, name) : QS_E_ARGUMENT;
    }
}

// Picks the camera `choice` names from the list: serial number, else index, else IPv4 address.
MV_CC_DEVICE_INFO* choose(const MV_CC_DEVICE_INFO_LIST& list, const char* choice) {
    char serial[65];
    for (unsigned i = 0; i < list.nDeviceNum && i < MV_MAX_DEVICE_NUM; ++i) {
        const MV_CC_DEVICE_INFO* d = list.pDeviceInfo[i];
        if (d == nullptr) continue;
        if (d->nTLayerType == MV_GIGE_DEVICE) {
            dudiz::copy_field(serial, d->SpecialInfo.stGigEInfo.chSerialNumber);
        } else if (d->nTLayerType == MV_USB_DEVICE) {
            dudiz::copy_field(serial, d->SpecialInfo.stUsb3VInfo.chSerialNumber);
        } else {
            continue;
        }
        if (serial[0] != '\0' && strcmp(serial, choice) == 0) return list.pDeviceInfo[i];
    }
    if (strspn(choice, "0123456789") == strlen(choice) && strlen(choice) <= 3) {
        const unsigned long index = strtoul(choice, nullptr, 10);
        return index < list.nDeviceNum && index < MV_MAX_DEVICE_NUM ? list.pDeviceInfo[index] : nullptr;
    }
    struct in_addr addr {};
    if (inet_pton(AF_INET, choice, &addr) == 1) {
        const unsigned ip = ntohl(addr.s_addr);
        for (unsigned i = 0; i < list.nDeviceNum && i < MV_MAX_DEVICE_NUM; ++i) {
            const MV_CC_DEVICE_INFO* e = list.pDeviceInfo[i];
            if (e != nullptr && e->nTLayerType == MV_GIGE_DEVICE &&
                e->SpecialInfo.stGigEInfo.nCurrentIp == ip)
                return list.pDeviceInfo[i];
        }
    }
    return nullptr;
}

// Everything of qs_open after the lock: the SDK, the choice, the camera and its stream.
int open_camera(qs_session* s, const char* camera) {
    MV_CC_DEVICE_INFO_LIST list;
    memset(&list, 0, sizeof list);
    int rc = list_cameras(list);
    if (rc != 0) return rc;
    MV_CC_DEVICE_INFO* info = nullptr;
    if (camera == nullptr || camera[0] == '\0') {
        PthotoProcCtx scratch{};
        HKImgMark mark{};
        if ((rc = find_first_hikrobot(list, scratch, mark, &info)) != 0) return rc;
    } else {
        info = choose(list, camera);
        if (info == nullptr) {
            sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] no camera matches \"%s\"!!",
                                  MODULE_NAME, camera);
            return QS_E_NO_MATCH;
        }
        if (info->nTLayerType != MV_GIGE_DEVICE && info->nTLayerType != MV_USB_DEVICE) {
            log_error(__LINE__, "[%s] unexpected internal error, unknown camera type(%u)!!",
                      info->nTLayerType);
            return -5;
        }
    }
    if ((rc = setup_camera(&s->hCam, info)) != MV_OK) return rc;
    s->settle.hCam = s->hCam;
    if ((rc = refresh_auto(s)) != MV_OK) {
        log_error(__LINE__, "[%s] 获取曝光模式时出错, errCode=0x%x!!", static_cast<unsigned>(rc));
        return rc;
    }
    return start_stream(s);
}

}  // namespace

// Distances from the least value are unsigned: a feature that states no limits spans the whole
// int64 range, whose width a signed difference cannot hold.
int64_t fit(int64_t want, const MVCC_INTVALUE_EX& v) {
    if (want <= v.nMin || v.nMax <= v.nMin) return v.nMin;
    const auto inc = static_cast<uint64_t>(v.nInc > 0 ? v.nInc : 1), min = static_cast<uint64_t>(v.nMin);
    const uint64_t top = (static_cast<uint64_t>(v.nMax) - min) / inc * inc;  // the last step within
    const uint64_t off = std::min(static_cast<uint64_t>(want) - min, top),
                   rest = off % inc;  // halves round up
    return static_cast<int64_t>(min + off - rest + (rest >= inc - inc / 2 ? inc : 0));
}

}  // namespace qs

using namespace qs;

extern "C" int qs_open(const char* camera, qs_session** out) {
    if (out == nullptr) return QS_E_ARGUMENT;
    *out = nullptr;
    auto* s = static_cast<qs_session*>(alloc.load()(sizeof(qs_session), __FILE__, __LINE__));
    if (s == nullptr) return QS_E_NO_MEMORY;
    memset(static_cast<void*>(s), 0, sizeof *s);
    s->quality = kDefaultQuality;
    s->lockFd = -1;
    const int locked = acquire_lock(s->lockFile, &s->lockFd);
    if (locked != 0) {
        SW_FREE(s);
        return locked;
    }
    const int rc = open_camera(s, camera);
    if (rc != MV_OK) {
        (void)qs_close(s);
        return rc;
    }
    *out = s;
    return 0;
}

extern "C" int qs_close(qs_session* s) {
    if (s == nullptr) return 0;
    tear_down(s->hCam);
    release_lock(s->lockFile, s->lockFd);
    SW_FREE(s->image);
    SW_FREE(s);
    return 0;
}

extern "C" int qs_set_exposure(qs_session* s, double us) {
    if (s == nullptr || !(us > 0)) return QS_E_ARGUMENT;
    int rc = MV_CC_SetEnumValue(s->hCam, "ExposureAuto", MV_EXPOSURE_AUTO_MODE_OFF);
    if (rc != MV_OK && static_cast<unsigned>(rc) != MV_E_SUPPORT) return rc;
    s->settle.isExposureAuto = false;
    rc = MV_CC_SetFloatValue(s->hCam, "ExposureTime", static_cast<float>(us));
    if (static_cast<unsigned>(rc) == MV_E_SUPPORT)
        rc = MV_CC_SetFloatValue(s->hCam, "ExposureTimeAbs", static_cast<float>(us));
    return rc;
}

extern "C" int qs_set_exposure_auto(qs_session* s, int mode) {
    if (s == nullptr || !valid_mode(mode)) return QS_E_ARGUMENT;
    notice_once_ended(s);
    const int rc = MV_CC_SetEnumValue(s->hCam, "ExposureAuto", static_cast<unsigned>(mode));
    return rc != MV_OK ? rc : refresh_auto(s);
}

extern "C" int qs_set_gain(qs_session* s, double db) {
    if (s == nullptr || !std::isfinite(db)) return QS_E_ARGUMENT;
    const int rc = MV_CC_SetEnumValue(s->hCam, "GainAuto", MV_EXPOSURE_AUTO_MODE_OFF);
    if (rc != MV_OK && static_cast<unsigned>(rc) != MV_E_SUPPORT) return rc;
    return MV_CC_SetFloatValue(s->hCam, "Gain", static_cast<float>(db));
}

extern "C" int qs_set_gain_auto(qs_session* s, int mode) {
    if (s == nullptr || !valid_mode(mode)) return QS_E_ARGUMENT;
    return MV_CC_SetEnumValue(s->hCam, "GainAuto", static_cast<unsigned>(mode));
}

extern "C" int qs_set_pixel_format(qs_session* s, const char* name) {
    if (s == nullptr || name == nullptr || name[0] == '\0') return QS_E_ARGUMENT;
    return with_stream_stopped(s, [&] { return MV_CC_SetEnumValueByString(s->hCam, "PixelFormat", name); });
}

extern "C" int qs_set_roi(qs_session* s, qs_roi* roi) {
    if (s == nullptr || roi == nullptr) return QS_E_ARGUMENT;
    void* h = s->hCam;
    return with_stream_stopped(s, [&] {
        // Offsets first to their least, so that the size may take the whole sensor; then the size,
        // then the offsets within what the size leaves.
        int rc = set_fitted(h, "OffsetX", 0);
        if (rc == MV_OK) rc = set_fitted(h, "OffsetY", 0);
        if (rc == MV_OK) rc = set_fitted(h, "Width", roi->width);
        if (rc == MV_OK) rc = set_fitted(h, "Height", roi->height);
        if (rc == MV_OK) rc = set_fitted(h, "OffsetX", roi->x);
        if (rc == MV_OK) rc = set_fitted(h, "OffsetY", roi->y);
        qs_roi took{};
        if (rc == MV_OK) rc = read_int(h, "OffsetX", &took.x);
        if (rc == MV_OK) rc = read_int(h, "OffsetY", &took.y);
        if (rc == MV_OK) rc = read_int(h, "Width", &took.width);
        if (rc == MV_OK) rc = read_int(h, "Height", &took.height);
        if (rc == MV_OK) *roi = took;
        return rc;
    });
}

extern "C" int qs_set_quality(qs_session* s, int quality) {
    if (s == nullptr || quality < static_cast<int>(kMinQuality) || quality > static_cast<int>(kMaxQuality))
        return QS_E_ARGUMENT;
    s->quality = static_cast<unsigned>(quality);
    return 0;
}

extern "C" int qs_feature_get(qs_session* s, const char* name, char* value, size_t size, int* type) {
    if (s == nullptr || name == nullptr || value == nullptr || size == 0) return QS_E_ARGUMENT;
    char text[320];
    int kind = 0;
    const int rc = read_feature(s->hCam, name, text, sizeof text, &kind);
    if (type != nullptr) *type = rc == MV_OK || rc == QS_E_FEATURE_TYPE ? kind : 0;
    value[0] = '\0';
    if (rc != MV_OK) return rc;
    if (strlen(text) >= size) return QS_E_ARGUMENT;
    memcpy(value, text, strlen(text) + 1);
    return 0;
}

extern "C" int qs_feature_set(qs_session* s, const char* name, const char* value) {
    if (s == nullptr || name == nullptr) return QS_E_ARGUMENT;
    if (value == nullptr) value = "";
    void* h = s->hCam;
    char current[320];
    int kind = 0;
    const int rc = read_feature(h, name, current, sizeof current, &kind);
    if (rc != MV_OK && rc != QS_E_FEATURE_TYPE) return rc;
    const bool exposureAuto = strcmp(name, "ExposureAuto") == 0;
    if (exposureAuto) notice_once_ended(s);
    int written = write_feature(h, name, kind, value);
    // Cameras lock some features (size, offsets, pixel format, binning) while they stream: such a
    // write is tried once more with the stream stopped. Only a camera's refusal (an SDK status,
    // 0x8000xxxx): our own negative results say the text or the type is wrong, which stopping the
    // stream does not change.
    const auto status = static_cast<unsigned>(written);
    if (written != MV_OK && (status & 0xFFFF0000u) == 0x80000000u && status != MV_E_SUPPORT &&
        kind != QS_FEATURE_COMMAND && s->grabbing)
        written = with_stream_stopped(s, [&] { return write_feature(h, name, kind, value); });
    // A photo looks at the exposure mode again only while it is automatic: one switched on by name
    // must be noticed here, or the next photo would not wait for it to settle.
    if (written == MV_OK && exposureAuto) return refresh_auto(s);
    return written;
}

extern "C" int qs_feature_list(qs_session* s, int (*visit)(const char* name, void* ctx), void* ctx) {
    if (s == nullptr || visit == nullptr) return QS_E_ARGUMENT;
    if (const sdkloader::FeatureLister lister = sdkloader::feature_lister())
        return lister(s->hCam, visit, ctx);
    char text[320];
    for (const char* name : kStandardFeatures) {
        int kind = 0;
        if (read_feature(s->hCam, name, text, sizeof text, &kind) == MV_OK && visit(name, ctx) != 0) break;
    }
    return 0;
}

extern "C" int qs_capture(qs_session* s, HKImgType type, const char* path, int timeout_ms, qs_photo* photo) {
    if (s == nullptr) return QS_E_ARGUMENT;
    if (path == nullptr || path[0] == '\0') return QS_E_PATH;
    if (!valid_type(type)) return QS_E_IMAGE_TYPE;
    Target t{path, -1, nullptr, nullptr, {}};
    return qs::photo(s, type, t, timeout_ms, false, photo);
}

extern "C" int qs_capture_fd(qs_session* s, HKImgType type, int fd, int timeout_ms, qs_photo* photo) {
    if (s == nullptr || fd < 0) return QS_E_ARGUMENT;
    if (!valid_type(type)) return QS_E_IMAGE_TYPE;
    Target t{nullptr, fd, nullptr, nullptr, {}};
    return qs::photo(s, type, t, timeout_ms, false, photo);
}

extern "C" int qs_series(qs_session* s, HKImgType type, const char* pattern, int count, int interval_ms,
                         int timeout_ms, qs_photo_fn on_photo, void* ctx, int* done) {
    if (done != nullptr) *done = 0;
    if (s == nullptr || count < 1 || interval_ms < 0) return QS_E_ARGUMENT;
    // No limit on the pattern itself: whether its names fit a path is known only once they are made.
    if (pattern == nullptr || pattern[0] == '\0') return QS_E_PATH;
    if (count > 1 && !holds(pattern, 'n') && !holds(pattern, 't')) return QS_E_PATH;
    if (!valid_type(type)) return QS_E_IMAGE_TYPE;
    const unsigned cancelFrom = cancel_generation.load();
    Pattern pat{pattern, 1};
    for (int c = count; c >= 10; c /= 10) ++pat.width;
    const int64_t start = dudiz::monotonic_ms();
    int64_t lastStamp = INT64_MIN;
    int64_t* const stamps = holds(pattern, 'n') ? nullptr : &lastStamp;
    int rc = 0;
    int saved = 0;
    for (int number = 1; number <= count; ++number) {
        const long long due = start + static_cast<long long>(number - 1) * interval_ms;
        // One clock reading a round: a second one could pass `due` and ask for a negative delay,
        // which sleeps until a signal comes.
        for (int64_t left; interval_ms > 0 && (left = due - dudiz::monotonic_ms()) > 0 &&
                           cancel_generation.load() == cancelFrom;)
            sw_thrd_delay(static_cast<int>(left < kCancelSliceMs ? left : kCancelSliceMs));
        // Checked after the wait, which a cancel cuts short: the series ends here even when the wait was
        // for the last photo, where the loop would otherwise end with the photo before's result.
        if (cancel_generation.load() != cancelFrom) {
            sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 拍照过程-已取消!!", MODULE_NAME);
            rc = QS_E_CANCELLED;
            break;
        }
        const Named named{pat, number, stamps};
        Target t{nullptr, -1, expand, &named, {}};
        qs_photo p;
        rc = qs::photo(s, type, t, timeout_ms, interval_ms == 0 && number < count, &p);
        if (rc != 0) break;
        ++saved;
        if (done != nullptr) *done = saved;
        if (on_photo != nullptr && on_photo(ctx, number, t.made, &p) != 0) break;
    }
    if (s->triggerPending) {
        // The frame of a trigger made for a photo that will not be taken: collected, so that the
        // next photo does not take it for its own.
        MV_FRAME_OUT frame;
        memset(&frame, 0, sizeof frame);
        if (MV_CC_GetImageBuffer(s->hCam, &frame, kRetriggerMs) == MV_OK)
            (void)MV_CC_FreeImageBuffer(s->hCam, &frame);
        s->triggerPending = false;
    }
    return rc;
}

extern "C" const char* qs_strerror(int result) {
    switch (result) {
        case 0:
            return "success";
        case -1:
            return "the lock file cannot be created or opened";
        case -2:
            return "another capture holds the camera lock";
        case -3:
            return "no camera is listed";
        case -4:
            return "the camera SDK listed an empty entry";
        case -5:
            return "a listed camera is neither GigE nor USB3";
        case -6:
            return "no camera of the manufacturer \"Hikrobot\" is listed";
        case -7:
            return "the GigE camera reported no usable packet size";
        case -8:
            return "the capture worker's signal could not be created";
        case -9:
            return "the capture worker could not be started";
        case 10:
        case QS_E_TIMEOUT:
            return "no frame came within the time given";
        case -15:
            return "the path is empty or unusable";
        case -16:
            return "the image type is neither JPEG nor BMP";
        case -17:
        case -18:
            return "out of memory";
        case -19:
            return "the image file was not written completely";
        case QS_E_CANCELLED:
            return "cancelled";
        case QS_E_NO_MATCH:
            return "no listed camera has that serial number, index or address";
        case QS_E_ARGUMENT:
            return "invalid argument";
        case QS_E_FEATURE_TYPE:
            return "the feature is not of a type this call can read or write";
        default:
            break;
    }
    switch (static_cast<unsigned>(result)) {
        case MV_E_HANDLE:
            return "camera SDK: invalid or closed handle";
        case MV_E_SUPPORT:
            return "camera SDK: not supported (the camera has no such feature, or it is read-only)";
        case MV_E_BUFOVER:
            return "camera SDK: buffer overflow";
        case MV_E_CALLORDER:
            return "camera SDK: called out of order (not possible in this state)";
        case MV_E_PARAMETER:
            return "camera SDK: bad parameter (a value out of range, or of another type)";
        case MV_E_RESOURCE:
            return "camera SDK: out of resources";
        case MV_E_NODATA:
            return "camera SDK: no data";
        case MV_E_PRECONDITION:
            return "camera SDK: precondition not met (is the SDK loaded? was the camera reset?)";
        case MV_E_NOENOUGH_BUF:
            return "camera SDK: buffer too small";
        case MV_E_ACCESS_DENIED:
            return "camera SDK: access denied (the camera is open elsewhere)";
        case MV_E_UNKNOW:
            return "camera SDK: unknown error";
        default:
            break;
    }
    return (static_cast<unsigned>(result) & 0x80000000u) != 0 ? "camera SDK error" : "unknown result";
}

// The simulated camera SDK: the MV_CC_* functions of MvCameraControl.h and the camsim_* control
// functions of camsim.h.
//
// The simulator is the test double of every camera test, so it behaves like a strict device:
// calls out of order, unknown handles and features, frames not given back and a second exclusive
// open all fail with the status a real SDK gives, and every call is journalled so that tests can
// check exactly what the code under test asked for.
//
// Every function checks in this order, and the first failing check decides the status:
//   fault set for this call number -> that status (the call has no other effect)
//   malformed configuration        -> MV_E_UNKNOW
//   unknown or destroyed handle    -> MV_E_HANDLE
//   NULL pointer argument          -> MV_E_PARAMETER
//   call out of order              -> MV_E_CALLORDER (MV_E_PRECONDITION after DeviceReset)
//   value or feature               -> MV_E_PARAMETER, MV_E_SUPPORT, ...
//
// All state sits behind one mutex. Handle objects are never freed, and a handle is looked up in
// the set of those made before anything is read through it, so a stale or invented pointer is
// reported as MV_E_HANDLE instead of being dereferenced.

#include "camsim.h"
#include "sim_internal.h"

#include <camimage.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <unordered_set>

namespace camsim {
namespace {

constexpr std::size_t kMaxOutstanding = 4;  // frames a handle may hold at once
constexpr unsigned kMaxPending = 64;        // software triggers queued before they are dropped
constexpr unsigned kMaxTransferWays = 10;
constexpr unsigned kSoftwareSource = MV_TRIGGER_SOURCE_SOFTWARE;

using Clock = std::chrono::steady_clock;

struct Frame {
    std::unique_ptr<unsigned char[]> buf;
    unsigned num;
};

// A triggered frame: when it has arrived, and with what exposure.
struct Shot {
    Clock::time_point readyAt;
    Exposure exposure;
};

struct Handle : Device {
    bool destroyed = false;
    bool open = false;
    bool gone = false;  // DeviceReset: the device rebooted under this handle
    int lockFd = -1;
    Clock::time_point opened;        // the device's time stamps count from here
    Clock::time_point lastReady;     // arrival of the last frame exposed: the next cannot be earlier
    unsigned fetched = 0;            // frames handed out so far: frame numbers count per handle
    std::deque<Shot> pending;        // software triggers whose frame was not fetched yet
    std::vector<Frame> outstanding;  // handed out while grabbing, not given back yet
    std::vector<Frame> leaked;       // still out when grabbing stopped: finalize reports them
};

struct State {
    std::mutex mu;
    std::condition_variable cv;  // a trigger came, or grabbing/handles changed
    bool configured = false;     // false: configure from the environment at the next call
    bool broken = false;         // malformed configuration: every SDK call fails
    Config cfg;
    std::deque<MV_CC_DEVICE_INFO> infoStore;  // only grows: entries handed out stay valid
    std::vector<MV_CC_DEVICE_INFO*> infos;    // per camera position, NULL for null entries
    // Per camera position: until when a reset camera stays off the device list (it reboots).
    std::vector<Clock::time_point> backAt;
    double timeScale = 1.0;
    int initCount = 0;
    uint64_t calls[kFnCount] = {};
    std::vector<std::unique_ptr<Handle>> handles;  // every handle ever made, never freed
    std::unordered_set<const void*> known;
    std::string journal;
    int journalFd = -2;  // -2: CAMSIM_JOURNAL not looked at yet, -1: no journal file
};

// Deliberately never destroyed: the SDK may be called from other threads or atexit handlers
// while static objects are torn down.
State& state() {
    static State* s = new State;
    return *s;
}

// ---- configuration ----------------------------------------------------------------------------

void copyName(unsigned char* field, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);   // NOLINT(bugprone-not-null-terminated-result): the next line
    std::memset(field + n, 0, size - n);  // terminates, and leaves no stale bytes behind the name
}

MV_CC_DEVICE_INFO buildInfo(const Camera& cam, std::size_t position) {
    MV_CC_DEVICE_INFO info;
    std::memset(&info, 0, sizeof info);
    info.nMajorVer = 1;
    info.nMinorVer = 0;
    info.nMacAddrHigh = 0x0000AA55u;
    info.nMacAddrLow = 0x01000000u + static_cast<unsigned>(position);
    info.nTLayerType = cam.layerType;
    if (cam.transport == Transport::kGige) {
        MV_GIGE_DEVICE_INFO& g = info.SpecialInfo.stGigEInfo;
        g.nIpCfgOption = 0x7;
        g.nIpCfgCurrent = 0x4;
        g.nCurrentIp = cam.ip != 0 ? cam.ip : 0xC0A80100u + 10 + static_cast<unsigned>(position % 200);
        g.nCurrentSubNetMask = 0xFFFFFF00u;
        g.nDefultGateWay = 0xC0A80101u;
        g.nNetExport = 0xC0A80102u;
        copyName(g.chManufacturerName, sizeof g.chManufacturerName, cam.manufacturer);
        copyName(g.chModelName, sizeof g.chModelName, cam.model);
        copyName(g.chDeviceVersion, sizeof g.chDeviceVersion, cam.firmware);
        copyName(g.chSerialNumber, sizeof g.chSerialNumber, cam.serial);
    } else if (cam.transport == Transport::kUsb3) {
        MV_USB3_DEVICE_INFO& u = info.SpecialInfo.stUsb3VInfo;
        u.nDeviceNumber = static_cast<unsigned>(position);
        u.nbcdUSB = 0x300;
        copyName(u.chDeviceGUID, sizeof u.chDeviceGUID, "camsim-" + cam.serial);
        copyName(u.chVendorName, sizeof u.chVendorName, cam.manufacturer);
        copyName(u.chManufacturerName, sizeof u.chManufacturerName, cam.manufacturer);
        copyName(u.chModelName, sizeof u.chModelName, cam.model);
        copyName(u.chFamilyName, sizeof u.chFamilyName, "camsim");
        copyName(u.chDeviceVersion, sizeof u.chDeviceVersion, cam.firmware);
        copyName(u.chSerialNumber, sizeof u.chSerialNumber, cam.serial);
    }
    return info;
}

void appendInfo(State& s, const Camera& cam) {
    s.backAt.emplace_back();
    if (cam.transport == Transport::kNull) {
        s.infos.push_back(nullptr);
        return;
    }
    s.infoStore.push_back(buildInfo(cam, s.infos.size() + 1));
    s.infos.push_back(&s.infoStore.back());
}

void applyConfig(State& s, Config cfg) {
    s.cfg = std::move(cfg);
    s.infos.clear();
    s.backAt.clear();
    for (const Camera& cam : s.cfg.cameras) appendInfo(s, cam);
}

void releaseLock(Handle& h) {
    if (h.lockFd >= 0) {
        // Unlock before closing: a child forked meanwhile (by any thread, on its way to exec) holds
        // a copy of the descriptor, and a plain close would leave the camera locked until then.
        (void)flock(h.lockFd, LOCK_UN);
        close(h.lockFd);
        h.lockFd = -1;
    }
}

void stopGrabbing(State& s, Handle& h) {
    h.grabbing = false;
    h.pending.clear();
    for (Frame& f : h.outstanding) h.leaked.push_back(std::move(f));
    h.outstanding.clear();
    s.cv.notify_all();
}

void closeDevice(State& s, Handle& h) {
    stopGrabbing(s, h);
    releaseLock(h);
    h.open = false;
    h.gone = false;
}

void dropAll(State& s) {
    for (const auto& h : s.handles) {
        closeDevice(s, *h);
        h->destroyed = true;
        h->leaked.clear();
    }
    s.cfg = Config{};
    s.infos.clear();
    s.backAt.clear();
    s.broken = false;
    s.timeScale = 1.0;
    s.initCount = 0;
    std::fill(std::begin(s.calls), std::end(s.calls), 0);
    s.journal.clear();
    if (s.journalFd >= 0) close(s.journalFd);
    s.journalFd = -2;
    s.configured = true;
    s.cv.notify_all();
}

// strerror's text without its shared buffer: SDK calls come from any thread.
std::string errorText(int err) {
    char buf[128];
    return strerror_r(err, buf, sizeof buf);  // GNU: buf or a static text of its own
}

void markBroken(State& s, const std::string& message) {
    (void)std::fprintf(stderr, "camsim: %s\n", message.c_str());
    s.broken = true;
    applyConfig(s, Config{});
}

Config defaultConfig() {
    Config cfg;
    Camera cam;
    acceptCamera(cam, cfg.cameras);
    cfg.cameras.push_back(cam);
    return cfg;
}

bool loadText(State& s, std::string_view text, const std::string& name) {
    Config cfg;
    std::string error;
    if (!parseScenario(text, name, cfg, error)) {
        markBroken(s, error);
        return false;
    }
    applyConfig(s, std::move(cfg));
    return true;
}

// A scenario is a small text file: a device, a pipe or anything large is a mistake that must not
// hang or exhaust the process (/dev/zero, a FIFO nobody writes to).
constexpr off_t kMaxScenarioBytes = 1 << 20;

bool loadFile(State& s, const std::string& path) {
    std::string text;
    std::string problem;
    // O_NONBLOCK: opening a FIFO must not wait for a writer before it can be refused.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        problem = "cannot read the scenario: " + errorText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        problem = "not a regular file";
    } else if (st.st_size > kMaxScenarioBytes) {
        problem = "larger than 1 MiB (" + std::to_string(st.st_size) + " bytes)";
    }
    while (problem.empty()) {
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
            if (text.size() > static_cast<std::size_t>(kMaxScenarioBytes)) problem = "larger than 1 MiB";
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            problem = "cannot read the scenario: " + errorText(errno);
        }
    }
    if (fd >= 0) close(fd);
    if (!problem.empty()) {
        markBroken(s, path + ": " + problem);
        return false;
    }
    return loadText(s, text, path);
}

void loadFromEnvironment(State& s) {
    s.configured = true;
    const char* scale = std::getenv("CAMSIM_TIME_SCALE");
    if (scale != nullptr && *scale != '\0') {
        char* end = nullptr;
        const double v = std::strtod(scale, &end);
        if (end == scale || *end != '\0' || !std::isfinite(v) || v < 0) {
            markBroken(s, std::string("CAMSIM_TIME_SCALE: not a number >= 0: '") + scale + "'");
            return;
        }
        s.timeScale = v;
    }
    const char* path = std::getenv("CAMSIM_SCENARIO");
    if (path != nullptr && *path != '\0') {
        loadFile(s, path);
    } else {
        applyConfig(s, defaultConfig());
    }
}

void ensureConfigured(State& s) {
    if (!s.configured) loadFromEnvironment(s);
}

// ---- journal ------------------------------------------------------------------------------------

// A journal field: never empty, never containing a blank, so lines split on blanks.
std::string field(std::string_view text) {
    if (text.empty()) return "-";
    std::string out(text);
    for (char& ch : out) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F) ch = '_';
    }
    return out;
}

std::string keyField(const char* key) {
    return key == nullptr ? "-" : field(key);
}

constexpr std::size_t kJournalMemoryMax = 4u << 20;

void journalLine(State& s, const std::string& line) {
    s.journal += line;
    if (s.journal.size() > kJournalMemoryMax) {
        // A long capture run must not grow without bound: keep the newer half, whole lines.
        const std::size_t cut = s.journal.find('\n', s.journal.size() / 2);
        s.journal.erase(0, cut == std::string::npos ? s.journal.size() : cut + 1);
    }
    if (s.journalFd == -2) {
        s.journalFd = -1;
        const char* path = std::getenv("CAMSIM_JOURNAL");
        if (path != nullptr && *path != '\0') {
            s.journalFd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (s.journalFd < 0)
                (void)std::fprintf(stderr, "camsim: %s: cannot open the journal: %s\n", path,
                                   errorText(errno).c_str());
        }
    }
    if (s.journalFd >= 0) {
        // One write per line: O_APPEND keeps lines of several processes whole.
        ssize_t n;
        do {
            n = write(s.journalFd, line.data(), line.size());
        } while (n < 0 && errno == EINTR);
    }
}

void reportLeaks(State& s) {
    for (auto& h : s.handles) {
        if (!h->destroyed) journalLine(s, "LEAK " + field(h->cam.serial) + " handle -\n");
        for (const auto* list : {&h->leaked, &h->outstanding}) {
            for (const Frame& f : *list)
                journalLine(s, "LEAK " + field(h->cam.serial) + " frame " + std::to_string(f.num) + "\n");
        }
        closeDevice(s, *h);
        h->destroyed = true;
        h->leaked.clear();
    }
}

// ---- calls ----------------------------------------------------------------------------------------

struct Call {
    explicit Call(State& st) : s(st), lock(st.mu) {}
    State& s;
    std::unique_lock<std::mutex> lock;
    std::string serial = "-";
    std::string arg = "-";

    Handle* find(const void* handle) const {
        if (handle == nullptr || s.known.count(handle) == 0) return nullptr;
        return static_cast<Handle*>(const_cast<void*>(handle));
    }
    // A handle that may be used: made by us and not destroyed.
    Handle* live(const void* handle) const {
        Handle* h = find(handle);
        return h != nullptr && !h->destroyed ? h : nullptr;
    }
    void describe(const void* handle) {
        if (const Handle* h = find(handle)) serial = field(h->cam.serial);
    }
};

const Fault* faultFor(const State& s, int fn) {
    const uint64_t n = s.calls[fn];
    for (const Fault& f : s.cfg.faults) {
        if (f.fn == fn && ((f.first == 0 && f.last == 0) || (n >= f.first && n <= f.last))) return &f;
    }
    return nullptr;
}

// Runs one SDK call: counts it, applies faults, runs `body` under the lock and journals it.
// `describe` fills the SERIAL and ARG fields; it runs even for a faulted call.
template <class Describe, class Body>
int run(Fn fn, Describe&& describe, Body&& body) noexcept {
    // A capture worker may be cancelled while it waits in an SDK call. Cancellation unwinds, which
    // cannot pass this noexcept boundary and would leave the simulator's lock and books half
    // changed; so a call is never a cancellation point, and a pending cancel acts after it returns.
    const CancelGuard noCancel;
    try {
        State& s = state();
        Call c(s);
        ++s.calls[fn];
        ensureConfigured(s);
        describe(c);
        int result;
        if (const Fault* f = s.broken ? nullptr : faultFor(s, fn)) {
            result = status(f->status);
        } else if (s.broken) {
            result = kUnknown;
        } else {
            try {
                result = body(c);
            } catch (const std::bad_alloc&) {
                result = kResource;
            } catch (...) {
                result = kUnknown;
            }
            if (!c.lock.owns_lock()) c.lock.lock();
        }
        char hex[16];
        (void)std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(result));
        journalLine(s, std::string(kFnNames[fn]) + " " + c.serial + " " + c.arg + " " + hex + "\n");
        return result;
    } catch (...) {
        return kUnknown;
    }
}

auto noDescription = [](Call&) {};

auto describeHandle(void* handle) {
    return [handle](Call& c) { c.describe(handle); };
}

// Device state a feature or stream call needs.
int needOpen(const Handle& h) {
    if (!h.open) return kCallOrder;
    if (h.gone) return kPrecondition;
    return kOk;
}

// The checks a call on an opened device starts with, in the SDK's order: a live handle (else
// kHandle), its arguments present (else kParameter), the device open (else needOpen's status).
// kOk with `out` set, or the status to return.
int openedDevice(const Call& c, void* handle, bool argsMissing, Handle*& out) {
    Handle* h = c.live(handle);
    if (h == nullptr) return kHandle;
    if (argsMissing) return kParameter;
    if (const int rc = needOpen(*h)) return rc;
    out = h;
    return kOk;
}

// A feature call's journal fields: the key, and for a setter "key=value".
auto describeKey(void* handle, const char* key) {
    return [handle, key](Call& c) {
        c.describe(handle);
        c.arg = keyField(key);
    };
}

std::string valueText(int64_t v) {
    return std::to_string(v);
}
std::string valueText(unsigned v) {
    return std::to_string(v);
}
std::string valueText(float v) {
    char buf[32];
    (void)std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));  // every float exactly
    return buf;
}
std::string valueText(bool v) {
    return v ? "true" : "false";
}
std::string valueText(const char* v) {
    return keyField(v);
}

template <class Value>
auto describeSetting(void* handle, const char* key, Value value) {
    return [handle, key, value](Call& c) {
        c.describe(handle);
        if (key != nullptr) c.arg = field(key) + "=" + valueText(value);
    };
}

// CAMSIM_FEATURE_DELAY_MS: how long each feature read and each command takes, as over a slow link,
// so that a test can act while a program walks the features or sends commands (0..10000, default 0).
std::chrono::milliseconds slowLinkDelay() {
    static const long ms = [] {
        const char* v = std::getenv("CAMSIM_FEATURE_DELAY_MS");
        return v == nullptr ? 0L : std::clamp(std::strtol(v, nullptr, 10), 0L, 10000L);
    }();
    return std::chrono::milliseconds(ms);
}

// A feature read: the opened device's checks, then `get` (features.cpp) into *out.
template <class Describe, class Out>
int readFeature(Fn fn, Describe&& describe, void* handle, const char* key, Out* out,
                int (*get)(const Device&, std::string_view, Out&)) {
    return run(fn, describe, [&](const Call& c) {
        std::this_thread::sleep_for(slowLinkDelay());
        Handle* h = nullptr;
        if (const int rc = openedDevice(c, handle, key == nullptr || out == nullptr, h)) return rc;
        return get(*h, key, *out);
    });
}

// A feature write of `value`, which may not be NULL when it is a pointer.
template <class Value, class Set>
int writeFeature(Fn fn, void* handle, const char* key, Value value, Set&& set) {
    return run(fn, describeSetting(handle, key, value), [&](const Call& c) {
        Handle* h = nullptr;
        const bool missing = key == nullptr || (std::is_pointer_v<Value> && value == Value{});
        if (const int rc = openedDevice(c, handle, missing, h)) return rc;
        return set(*h, key, value);
    });
}

std::string lockPath(const std::string& serial) {
    std::string dir;
    for (const char* var : {"CAMSIM_LOCKDIR", "TMPDIR"}) {
        const char* v = std::getenv(var);
        if (v != nullptr && *v != '\0') {
            dir = v;
            break;
        }
    }
    if (dir.empty()) dir = "/tmp";
    return dir + "/camsim-" + serial + ".lock";
}

int takeLock(Handle& h, bool exclusive) {
    const std::string path = lockPath(h.cam.serial);
    // Read-only is enough for flock, and works on a lock file another user created. Not blocking,
    // and only a regular file: a FIFO planted at the path would otherwise hold the open, and with it
    // every SDK call of the process, until someone writes to it.
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) return kResource;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return kResource;
    }
    int rc;
    do {
        rc = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        close(fd);
        return err == EWOULDBLOCK ? kAccessDenied : kResource;
    }
    h.lockFd = fd;
    return kOk;
}

std::string entrySerial(const MV_CC_DEVICE_INFO* info) {
    const unsigned char* f = nullptr;
    std::size_t size = 0;
    if (info->nTLayerType == MV_GIGE_DEVICE) {
        f = info->SpecialInfo.stGigEInfo.chSerialNumber;
        size = sizeof info->SpecialInfo.stGigEInfo.chSerialNumber;
    } else if (info->nTLayerType == MV_USB_DEVICE) {
        f = info->SpecialInfo.stUsb3VInfo.chSerialNumber;
        size = sizeof info->SpecialInfo.stUsb3VInfo.chSerialNumber;
    } else {
        return {};
    }
    const char* p = reinterpret_cast<const char*>(f);
    return std::string(p, strnlen(p, size));
}

// A simulated duration on the clock: times the time scale, at most ~115 days.
Clock::duration scaled(double us, double scale) {
    const double v = std::min(us * scale, 1e13);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(v));
}

Clock::time_point deadlineAfter(unsigned msec, double scale) {
    return Clock::now() + scaled(static_cast<double>(msec) * 1000.0, scale);
}

// Takes the frame GetImageBuffer may hand out now into `shot`, or returns false and brings `wake`
// forward to when the frame under way arrives (a trigger or a stop wakes the waiter as well).
bool nextFrame(const State& s, Handle& h, Shot& shot, Clock::time_point& wake) {
    const auto now = Clock::now();
    if (!h.cam.frames) return false;
    if (h.triggerMode == MV_TRIGGER_MODE_OFF) {
        // Free run: the camera exposes frame after frame by itself; the latest one completed is
        // handed out, as with a stream that keeps only the newest image.
        const auto frameTime = scaled(frameTimeUs(h, nextExposure(h).us), s.timeScale);
        if (now < h.lastReady + frameTime) {
            wake = std::min(wake, h.lastReady + frameTime);
            return false;
        }
        h.lastReady = frameTime.count() > 0 ? h.lastReady + (now - h.lastReady) / frameTime * frameTime : now;
        shot = Shot{h.lastReady, expose(h)};
        return true;
    }
    if (h.pending.empty()) return false;
    if (now < h.pending.front().readyAt) {
        wake = std::min(wake, h.pending.front().readyAt);
        return false;
    }
    shot = h.pending.front();
    h.pending.pop_front();
    return true;
}

// nImageLen as the camera's image_len fault reports it; the bytes written are the true image.
unsigned reportedLength(ImageLen mode, unsigned length, unsigned bufferSize) {
    switch (mode) {
        case ImageLen::kZero:
            return 0;
        case ImageLen::kOverflow:
            return bufferSize + 1u;  // wraps to 0 for the largest buffer size
        case ImageLen::kNormal:
            break;
    }
    return length;
}

const char* imageTypeName(unsigned type) {
    switch (type) {
        case MV_Image_Undefined:
            return "undefined";
        case MV_Image_Bmp:
            return "bmp";
        case MV_Image_Jpeg:
            return "jpeg";
        case MV_Image_Png:
            return "png";
        case MV_Image_Tif:
            return "tif";
        default:
            return nullptr;
    }
}

// Runs a control function under the lock; exceptions become `failed`.
template <class R, class Body>
R control(R failed, Body&& body) noexcept {
    try {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mu);
        return body(s);
    } catch (...) {
        return failed;
    }
}

}  // namespace
}  // namespace camsim

using namespace camsim;

// ---- SDK functions ---------------------------------------------------------------------------------

extern "C" {

// Tells the toolkit's SDK loader that this library is its simulator, not a vendor's SDK.
__attribute__((visibility("default"))) extern const char quellshot_sdk_backend[] = "sim";

int MV_CC_Initialize(void) {
    return run(kInitialize, noDescription, [](Call& c) {
        ++c.s.initCount;
        return kOk;
    });
}

unsigned int MV_CC_GetSDKVersion(void) {
    return QS_VERSION_MAJOR * 0x1000000u + QS_VERSION_MINOR * 0x10000u + QS_VERSION_PATCH * 0x100u;
}

int MV_CC_Finalize(void) {
    return run(kFinalize, noDescription, [](Call& c) {
        State& s = c.s;
        int result = kOk;
        if (s.initCount == 0) {
            result = kCallOrder;
        } else {
            --s.initCount;
        }
        // The last finalize tears everything down and reports what the caller forgot.
        if (s.initCount == 0) reportLeaks(s);
        return result;
    });
}

int MV_CC_EnumDevices(unsigned int nTLayerType, MV_CC_DEVICE_INFO_LIST* pstDevList) {
    return run(
        kEnumDevices, [&](Call& c) { c.arg = std::to_string(nTLayerType); },
        [&](Call& c) {
            State& s = c.s;
            if (pstDevList == nullptr) return kParameter;
            if (s.initCount == 0) return kCallOrder;
            if (nTLayerType == 0) return kParameter;
            std::memset(pstDevList, 0, sizeof *pstDevList);
            unsigned n = 0;
            const auto now = Clock::now();
            for (std::size_t i = 0; i < s.cfg.cameras.size(); ++i) {
                const Camera& cam = s.cfg.cameras[i];
                if (now < s.backAt[i]) continue;  // rebooting after DeviceReset
                // NULL entries and devices of other transports are listed whatever the mask, so
                // that callers are seen to skip what they cannot use.
                const bool wanted =
                    (cam.transport == Transport::kUsb3 && (nTLayerType & MV_USB_DEVICE) != 0) ||
                    (cam.transport == Transport::kGige && (nTLayerType & MV_GIGE_DEVICE) != 0) ||
                    cam.transport == Transport::kNull || cam.transport == Transport::kOther;
                if (wanted) pstDevList->pDeviceInfo[n++] = s.infos[i];
            }
            pstDevList->nDeviceNum = n;
            return kOk;
        });
}

int MV_CC_CreateHandleWithoutLog(void** handle, const MV_CC_DEVICE_INFO* pstDevInfo) {
    return run(
        kCreateHandle,
        [&](Call& c) {
            if (pstDevInfo != nullptr) c.serial = field(entrySerial(pstDevInfo));
        },
        [&](Call& c) {
            State& s = c.s;
            if (handle == nullptr || pstDevInfo == nullptr) return kParameter;
            *handle = nullptr;
            if (s.initCount == 0) return kCallOrder;
            const unsigned type = pstDevInfo->nTLayerType;
            if (type != MV_GIGE_DEVICE && type != MV_USB_DEVICE) return kSupport;
            const std::string serial = entrySerial(pstDevInfo);
            const Transport transport = type == MV_GIGE_DEVICE ? Transport::kGige : Transport::kUsb3;
            for (const Camera& cam : s.cfg.cameras) {
                if (cam.transport == transport && cam.serial == serial) {
                    auto h = std::make_unique<Handle>();
                    h->cam = cam;
                    resetSettings(*h);
                    s.known.insert(h.get());
                    *handle = h.get();
                    s.handles.push_back(std::move(h));
                    return kOk;
                }
            }
            return kParameter;  // no such device
        });
}

int MV_CC_DestroyHandle(void* handle) {
    return run(kDestroyHandle, describeHandle(handle), [&](Call& c) {
        Handle* h = c.live(handle);
        if (h == nullptr) return kHandle;
        closeDevice(c.s, *h);
        h->destroyed = true;
        return kOk;
    });
}

int MV_CC_OpenDevice(void* handle, unsigned int nAccessMode, unsigned short nSwitchoverKey) {
    (void)nSwitchoverKey;
    return run(
        kOpenDevice,
        [&](Call& c) {
            c.describe(handle);
            c.arg = std::to_string(nAccessMode);
        },
        [&](const Call& c) {
            Handle* h = c.live(handle);
            if (h == nullptr) return kHandle;
            if (h->open) return kCallOrder;
            if (nAccessMode < 1 || nAccessMode > 7) return kParameter;
            const int rc = takeLock(*h, nAccessMode == MV_ACCESS_Exclusive);
            if (rc != kOk) return rc;
            h->open = true;
            h->gone = false;
            h->opened = Clock::now();
            return kOk;
        });
}

int MV_CC_CloseDevice(void* handle) {
    return run(kCloseDevice, describeHandle(handle), [&](Call& c) {
        Handle* h = c.live(handle);
        if (h == nullptr) return kHandle;
        if (!h->open) return kCallOrder;
        closeDevice(c.s, *h);
        return kOk;
    });
}

int MV_USB_SetTransferWays(void* handle, unsigned int nTranferWays) {
    return run(
        kSetTransferWays,
        [&](Call& c) {
            c.describe(handle);
            c.arg = std::to_string(nTranferWays);
        },
        [&](const Call& c) {
            Handle* h = nullptr;
            if (const int rc = openedDevice(c, handle, false, h)) return rc;
            if (h->cam.transport != Transport::kUsb3) return kSupport;
            if (nTranferWays < 1 || nTranferWays > kMaxTransferWays) return kParameter;
            return kOk;
        });
}

int MV_CC_GetOptimalPacketSize(void* handle) {
    return run(kGetOptimalPacketSize, describeHandle(handle), [&](Call& c) {
        Handle* h = nullptr;
        if (const int rc = openedDevice(c, handle, false, h)) return rc;
        if (h->cam.transport != Transport::kGige) return kSupport;
        return static_cast<int>(h->cam.packetSize);  // 0 or negative: the simulated failure
    });
}

int MV_CC_GetIntValueEx(void* handle, const char* strKey, MVCC_INTVALUE_EX* pstIntValue) {
    return readFeature(kGetIntValueEx, describeKey(handle, strKey), handle, strKey, pstIntValue, getInteger);
}

int MV_CC_SetIntValueEx(void* handle, const char* strKey, int64_t nValue) {
    return writeFeature(kSetIntValueEx, handle, strKey, nValue, setInteger);
}

int MV_CC_SetEnumValue(void* handle, const char* strKey, unsigned int nValue) {
    return writeFeature(kSetEnumValue, handle, strKey, nValue, setEnum);
}

int MV_CC_GetFloatValue(void* handle, const char* strKey, MVCC_FLOATVALUE* pstFloatValue) {
    return readFeature(kGetFloatValue, describeKey(handle, strKey), handle, strKey, pstFloatValue, getFloat);
}

int MV_CC_SetFloatValue(void* handle, const char* strKey, float fValue) {
    return writeFeature(kSetFloatValue, handle, strKey, fValue, setFloat);
}

int MV_CC_GetEnumValue(void* handle, const char* strKey, MVCC_ENUMVALUE* pEnumValue) {
    return readFeature(kGetEnumValue, describeKey(handle, strKey), handle, strKey, pEnumValue, getEnum);
}

int MV_CC_SetEnumValueByString(void* handle, const char* strKey, const char* strValue) {
    return writeFeature(
        kSetEnumValueByString, handle, strKey, strValue,
        [](Device& d, std::string_view key, const char* v) { return setEnumByName(d, key, v); });
}

int MV_CC_GetBoolValue(void* handle, const char* strKey, bool* pBoolValue) {
    return readFeature(kGetBoolValue, describeKey(handle, strKey), handle, strKey, pBoolValue, getBool);
}

int MV_CC_SetBoolValue(void* handle, const char* strKey, bool bValue) {
    return writeFeature(kSetBoolValue, handle, strKey, bValue, setBool);
}

int MV_CC_GetStringValue(void* handle, const char* strKey, MVCC_STRINGVALUE* pStringValue) {
    return readFeature(kGetStringValue, describeKey(handle, strKey), handle, strKey, pStringValue, getString);
}

int MV_CC_SetCommandValue(void* handle, const char* strKey) {
    return run(
        kSetCommandValue,
        [&](Call& c) {
            c.describe(handle);
            c.arg = keyField(strKey);
        },
        [&](Call& c) {
            std::this_thread::sleep_for(slowLinkDelay());
            State& s = c.s;
            Handle* h = nullptr;
            if (const int rc = openedDevice(c, handle, strKey == nullptr, h)) return rc;
            if (const int rc = findCommand(*h, strKey)) return rc;
            const std::string_view key = strKey;
            if (key == "TriggerSoftware") {
                if (!h->grabbing) return kCallOrder;
                if (h->triggerSource != kSoftwareSource) return kPrecondition;
                // In free run the trigger is accepted and has nothing to do.
                if (h->triggerMode == MV_TRIGGER_MODE_ON && h->cam.frames &&
                    h->pending.size() < kMaxPending) {
                    // Exposure starts now, or when the frame before has been read out.
                    const Exposure e = expose(*h);
                    h->lastReady =
                        std::max(Clock::now(), h->lastReady) + scaled(frameTimeUs(*h, e.us), s.timeScale);
                    h->pending.push_back(Shot{h->lastReady, e});
                    s.cv.notify_all();
                }
                return kOk;
            }
            // DeviceReset: the device reboots. The stream and the connection are gone, so its lock
            // goes too; the handle only takes CloseDevice/DestroyHandle until it is opened again.
            stopGrabbing(s, *h);
            releaseLock(*h);
            resetSettings(*h);
            h->gone = true;
            // While it reboots the device is not listed.
            for (std::size_t i = 0; i < s.cfg.cameras.size(); ++i) {
                const Camera& cam = s.cfg.cameras[i];
                if (cam.transport == h->cam.transport && cam.serial == h->cam.serial)
                    s.backAt[i] = deadlineAfter(h->cam.resetDowntimeMs, s.timeScale);
            }
            return kOk;
        });
}

int MV_CC_GetExposureAutoMode(void* handle, MVCC_ENUMVALUE* pstValue) {
    return readFeature(kGetExposureAutoMode, describeHandle(handle), handle, "ExposureAuto", pstValue,
                       getEnum);
}

int MV_CC_GetExposureTime(void* handle, MVCC_FLOATVALUE* pstValue) {
    return readFeature(kGetExposureTime, describeHandle(handle), handle, "ExposureTime", pstValue, getFloat);
}

int MV_CC_StartGrabbing(void* handle) {
    return run(kStartGrabbing, describeHandle(handle), [&](const Call& c) {
        Handle* h = nullptr;
        if (const int rc = openedDevice(c, handle, false, h)) return rc;
        if (h->grabbing) return kCallOrder;
        h->grabbing = true;
        h->pending.clear();
        h->lastReady = std::max(h->lastReady, Clock::now());  // free run: the first frame one frame time on
        return kOk;
    });
}

int MV_CC_StopGrabbing(void* handle) {
    return run(kStopGrabbing, describeHandle(handle), [&](Call& c) {
        Handle* h = nullptr;
        if (const int rc = openedDevice(c, handle, false, h)) return rc;
        if (!h->grabbing) return kCallOrder;
        stopGrabbing(c.s, *h);
        return kOk;
    });
}

int MV_CC_GetImageBuffer(void* handle, MV_FRAME_OUT* pstFrame, unsigned int nMsec) {
    return run(
        kGetImageBuffer,
        [&](Call& c) {
            c.describe(handle);
            c.arg = std::to_string(nMsec);
        },
        [&](Call& c) {
            State& s = c.s;
            Handle* h = c.live(handle);
            if (h == nullptr) return kHandle;
            if (pstFrame == nullptr) return kParameter;
            std::memset(pstFrame, 0, sizeof *pstFrame);
            if (const int rc = needOpen(*h)) return rc;
            if (!h->grabbing) return kCallOrder;
            if (h->outstanding.size() >= kMaxOutstanding) return kResource;
            const auto deadline = deadlineAfter(nMsec, s.timeScale);
            Shot shot{};
            for (;;) {
                auto wake = deadline;
                if (nextFrame(s, *h, shot, wake)) break;
                if (Clock::now() >= deadline) return kNoData;
                s.cv.wait_until(c.lock, wake);  // or a trigger, a stop, a close
                // Another thread may have stopped, closed or destroyed meanwhile.
                if (h->destroyed) return kHandle;
                if (!h->open || h->gone || !h->grabbing) return kNoData;
                // and another waiter may have taken the last frame this handle may hold out
                if (h->outstanding.size() >= kMaxOutstanding) return kResource;
            }
            delivered(*h, shot.exposure);
            const uint64_t len = payloadSize(*h);
            Frame f{std::unique_ptr<unsigned char[]>(new unsigned char[len]), ++h->fetched};
            renderFrame(h->width, h->height, h->pixel, f.num, f.buf.get());
            MV_FRAME_OUT_INFO_EX& info = pstFrame->stFrameInfo;
            info.nWidth = static_cast<unsigned short>(h->width);
            info.nHeight = static_cast<unsigned short>(h->height);
            info.enPixelType = sdkPixelType(h->pixel);
            info.nFrameNum = f.num;
            // The device counts nanoseconds from its opening; the host stamps the frame's arrival.
            const auto now = Clock::now();
            const auto ticks = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(shot.readyAt - h->opened).count());
            info.nDevTimeStampHigh = static_cast<unsigned>(ticks >> 32);
            info.nDevTimeStampLow = static_cast<unsigned>(ticks);
            const auto arrived = std::chrono::system_clock::now() - (now - shot.readyAt);
            info.nHostTimeStamp =
                std::chrono::duration_cast<std::chrono::milliseconds>(arrived.time_since_epoch()).count();
            info.nFrameLen = static_cast<unsigned>(len);
            info.nExtendWidth = h->width;
            info.nExtendHeight = h->height;
            pstFrame->pBufAddr = f.buf.get();
            h->outstanding.push_back(std::move(f));
            return kOk;
        });
}

int MV_CC_FreeImageBuffer(void* handle, MV_FRAME_OUT* pstFrame) {
    auto findFrame = [](std::vector<Frame>& frames, const unsigned char* addr) {
        return std::find_if(frames.begin(), frames.end(),
                            [addr](const Frame& f) { return f.buf.get() == addr; });
    };
    return run(
        kFreeImageBuffer,
        [&](Call& c) {
            c.describe(handle);
            Handle* h = c.find(handle);
            if (h == nullptr || pstFrame == nullptr) return;
            for (auto* list : {&h->outstanding, &h->leaked}) {
                auto it = findFrame(*list, pstFrame->pBufAddr);
                if (it != list->end()) c.arg = std::to_string(it->num);
            }
        },
        [&](const Call& c) {
            Handle* h = nullptr;
            if (const int rc = openedDevice(c, handle, pstFrame == nullptr, h)) return rc;
            // Buffers belong to the stream: once it stopped, a frame can no longer be given back.
            if (!h->grabbing) return kCallOrder;
            auto it = findFrame(h->outstanding, pstFrame->pBufAddr);
            if (it == h->outstanding.end()) return kParameter;
            h->outstanding.erase(it);
            return kOk;
        });
}

int MV_CC_SaveImageEx3(void* handle, MV_SAVE_IMAGE_PARAM_EX3* pstSaveParam) {
    return run(
        kSaveImageEx3,
        [&](Call& c) {
            c.describe(handle);
            if (pstSaveParam != nullptr) {
                const unsigned type = rawEnum(pstSaveParam->enImageType);
                const char* name = imageTypeName(type);
                c.arg = name != nullptr ? name : std::to_string(type);
            }
        },
        [&](Call& c) {
            Handle* h = c.live(handle);
            if (h == nullptr) return kHandle;
            MV_SAVE_IMAGE_PARAM_EX3* p = pstSaveParam;
            if (p == nullptr || p->pData == nullptr || p->pImageBuffer == nullptr) return kParameter;
            if (const int rc = needOpen(*h)) return rc;
            // Converting and compressing take long and touch no simulator state: let other calls run.
            const ImageLen misreport = h->cam.imageLen;
            c.lock.unlock();
            const int rc = camimage::saveImage(*p);
            c.lock.lock();
            if (rc == kOk) p->nImageLen = reportedLength(misreport, p->nImageLen, p->nBufferSize);
            return rc;
        });
}

// The names of the camera's features, which the SDK's own functions cannot list. `visit` runs
// without the simulator's lock, so that it may read each feature through the SDK.
__attribute__((visibility("default"))) int quellshot_sdk_features(void* handle,
                                                                  int (*visit)(const char* name, void* ctx),
                                                                  void* ctx) {
    return run(kListFeatures, describeHandle(handle), [&](Call& c) {
        Handle* h = nullptr;
        if (const int rc = openedDevice(c, handle, visit == nullptr, h)) return rc;
        const std::vector<const char*> names = featureNames(*h);
        c.lock.unlock();
        for (const char* name : names) {
            if (visit(name, ctx) != 0) break;
        }
        return kOk;
    });
}

// ---- control functions -------------------------------------------------------------------------

void camsim_reset(void) {
    control(0, [](State& s) {
        dropAll(s);
        return 0;
    });
}

void camsim_use_default(void) {
    control(0, [](State& s) {
        dropAll(s);
        applyConfig(s, defaultConfig());
        return 0;
    });
}

void camsim_use_environment(void) {
    control(0, [](State& s) {
        dropAll(s);
        s.configured = false;
        return 0;
    });
}

int camsim_load_scenario(const char* path) {
    return control(-1, [&](State& s) {
        dropAll(s);
        if (path == nullptr) {
            markBroken(s, "camsim_load_scenario: no path");
            return -1;
        }
        return loadFile(s, path) ? 0 : -1;
    });
}

int camsim_load_scenario_text(const char* text, const char* name) {
    return control(-1, [&](State& s) {
        dropAll(s);
        const std::string label = name != nullptr ? name : "scenario";
        if (text == nullptr) {
            markBroken(s, label + ": no text");
            return -1;
        }
        return loadText(s, text, label) ? 0 : -1;
    });
}

void camsim_camera_defaults(CamSimCamera* cam) {
    if (cam == nullptr) return;
    std::memset(cam, 0, sizeof *cam);
    cam->transport = MV_USB_DEVICE;
    cam->manufacturer = "Hikrobot";
    cam->model = "MV-CS050-10UC";
    cam->width = 1920;
    cam->height = 1080;
    cam->pixel = CAMSIM_PIXEL_RGB8;
    cam->exposure_auto = CAMSIM_EXPOSURE_AUTO_OFF;
    cam->packet_size = 8164;
    cam->frames = 1;
    cam->reset_downtime_ms = 2000;
    cam->image_len = CAMSIM_IMAGE_LEN_NORMAL;
}

int camsim_add_camera(const CamSimCamera* in) {
    return control(-1, [&](State& s) {
        ensureConfigured(s);
        std::string what;
        Camera cam;
        if (in == nullptr) {
            what = "no camera";
        } else if (in->null_entry != 0) {
            cam.transport = Transport::kNull;
            cam.layerType = 0;
        } else {
            cam.layerType = in->transport;
            cam.transport = in->transport == MV_USB_DEVICE    ? Transport::kUsb3
                            : in->transport == MV_GIGE_DEVICE ? Transport::kGige
                                                              : Transport::kOther;
            if (in->manufacturer != nullptr) cam.manufacturer = in->manufacturer;
            if (in->model != nullptr) cam.model = in->model;
            if (in->serial != nullptr) cam.serial = in->serial;
            cam.width = in->width;
            cam.height = in->height;
            if (in->pixel >= 0 && in->pixel < kPixelCount) {
                cam.pixel = static_cast<Pixel>(in->pixel);
            } else {
                what = "pixel must be one of the CAMSIM_PIXEL_* values";
            }
            cam.exposureAuto = in->exposure_auto < 0 ? 3u : static_cast<unsigned>(in->exposure_auto);
            if (in->exposures != nullptr)
                cam.exposures.assign(in->exposures, in->exposures + in->exposure_count);
            cam.packetSize = in->packet_size;
            cam.frames = in->frames != 0;
            cam.resetDowntimeMs = in->reset_downtime_ms;
            if (in->firmware != nullptr) cam.firmware = in->firmware;
            if (in->ip != nullptr && *in->ip != '\0' && !parseIpv4(in->ip, cam.ip))
                what = "ip must be a dotted quad other than 0.0.0.0";
            if (in->image_len == CAMSIM_IMAGE_LEN_ZERO) {
                cam.imageLen = ImageLen::kZero;
            } else if (in->image_len == CAMSIM_IMAGE_LEN_OVERFLOW) {
                cam.imageLen = ImageLen::kOverflow;
            } else if (in->image_len != CAMSIM_IMAGE_LEN_NORMAL) {
                what = "image_len must be CAMSIM_IMAGE_LEN_NORMAL, _ZERO or _OVERFLOW";
            }
        }
        if (what.empty()) what = acceptCamera(cam, s.cfg.cameras);
        if (!what.empty()) {
            (void)std::fprintf(stderr, "camsim: camsim_add_camera: %s\n", what.c_str());
            return -1;
        }
        s.cfg.cameras.push_back(cam);
        appendInfo(s, s.cfg.cameras.back());
        return 0;
    });
}

int camsim_set_fault(const char* function, unsigned long first, unsigned long last, unsigned int status) {
    return control(-1, [&](State& s) {
        ensureConfigured(s);
        const int fn = function != nullptr ? fnIndex(function) : -1;
        if (fn < 0 || (first == 0) != (last == 0) || first > last) return -1;
        s.cfg.faults.push_back(Fault{fn, first, last, status});
        return 0;
    });
}

void camsim_clear_faults(void) {
    control(0, [](State& s) {
        ensureConfigured(s);
        s.cfg.faults.clear();
        return 0;
    });
}

int camsim_time_scale(double scale) {
    return control(-1, [&](State& s) {
        ensureConfigured(s);
        if (!std::isfinite(scale) || scale < 0) return -1;
        s.timeScale = scale;
        return 0;
    });
}

size_t camsim_journal(char* buf, size_t size) {
    return control<size_t>(0, [&](State& s) {
        if (buf != nullptr && size > 0) {
            const std::size_t n = std::min(size - 1, s.journal.size());
            std::memcpy(buf, s.journal.data(), n);
            buf[n] = '\0';
        }
        return s.journal.size();
    });
}

long camsim_call_count(const char* function) {
    return control(-1L, [&](State& s) {
        const int fn = function != nullptr ? fnIndex(function) : -1;
        return fn < 0 ? -1L : static_cast<long>(s.calls[fn]);
    });
}

int camsim_init_count(void) {
    return control(-1, [](const State& s) { return s.initCount; });
}

}  // extern "C"

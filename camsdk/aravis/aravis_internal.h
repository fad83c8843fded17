// Internal declarations of the camera SDK over Aravis, shared by sdk.cpp (library, devices, handles,
// frames), features.cpp (feature values) and net.cpp (network look-ups). Nothing here is exported.
//
// Lock order: State::aravisMu, then State::mu, then a Handle's mu. aravisMu serialises what touches
// Aravis's global state (the device list, opening a device, arv_shutdown); mu guards the handle
// registry, the device list handed out and the library count; a handle's mu serialises the calls on
// that handle. No lock is held while a frame is awaited.
#pragma once

#include <MvCameraControl.h>
#include <arv.h>
#include <pthread.h>
#include <sdkbase.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

namespace camarv {

using namespace sdkbase;  // statuses, raw enum fields, CancelGuard

// Stream buffers of PayloadSize each: one being filled while the caller holds the other. A third
// would put a 1920x1080 capture, with its image conversion, above 3 frames + 16 MiB of memory.
constexpr unsigned kPoolBuffers = 2;
constexpr std::size_t kIdMax = 256;

// One device of the last enumeration: the entry handed out, and Aravis's id for opening it.
struct Entry {
    MV_CC_DEVICE_INFO info;
    char id[kIdMax];
};

struct Frame {
    ArvBuffer* buffer;
    const unsigned char* data;  // what the caller got as pBufAddr
    // And what it was told of the frame: a stopped stream's buffers are freed, and the next stream's
    // may get the same addresses, so that a frame from before the stop would match a later one.
    unsigned frameNum;
    int64_t hostTimeStamp;
    guint64 deviceTimeStamp;
};

struct Handle {
    Handle* next = nullptr;  // registry list, under State::mu
    const void* token = nullptr;  // what the caller holds (State::lastToken), never the address
    unsigned leases = 0;     // calls using the handle, under State::mu
    // Set when the handle is unlinked, and moved on when grabbing stops: a call awaiting a frame
    // gives up.
    std::atomic<bool> destroyed{false};
    std::atomic<unsigned> generation{0};
    // Aravis lost control of the device (its heartbeat failed; set from Aravis's own thread), or the
    // device stopped answering a call.
    mutable std::atomic<bool> lost{false};

    std::mutex mu;                // guards everything below
    unsigned layer = 0;           // MV_GIGE_DEVICE or MV_USB_DEVICE
    uint32_t ip = 0;              // GigE: the camera's address, host order
    uint32_t localIp = 0;         // GigE, once open: our address that reaches it
    char id[kIdMax] = {};         // USB3: Aravis's device id
    ArvCamera* camera = nullptr;  // open when not NULL
    gulong lostHandler = 0;
    bool gone = false;  // DeviceReset: the device reboots under this handle
    unsigned transferWays = 0;
    ArvStream* stream = nullptr;   // grabbing when not NULL
    guint64 tickHz = 0;            // GigE, while grabbing: the device's time stamp ticks a second
    Frame out[kPoolBuffers] = {};  // handed out, not given back yet
    unsigned outCount = 0;
};

struct State {
    std::mutex aravisMu;
    std::mutex mu;
    std::condition_variable released;  // a lease ended (under mu)
    int initCount = 0;
    Handle* handles = nullptr;
    // The last handle value handed out. Values are counted, not addresses: the memory of a destroyed
    // handle comes back for the next one, and a stale value must not reach that one.
    uintptr_t lastToken = 0;
    Entry* entries = nullptr;  // the last enumeration, malloc'd
    unsigned entryCount = 0;
};

State& state();

// The status of a failed Aravis call.
int statusOf(const GError* e);

// A GError slot for one Aravis call at a time; whatever Aravis put there is freed.
class Error {
public:
    Error() = default;
    ~Error() { g_clear_error(&e_); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    GError** slot() {
        g_clear_error(&e_);
        return &e_;
    }
    void clear() { g_clear_error(&e_); }
    bool failed() const { return e_ != nullptr; }
    // The feature does not state the property asked for (a Min, Max or Inc).
    bool undefined() const {
        return e_ != nullptr && e_->domain == ARV_GC_ERROR && e_->code == ARV_GC_ERROR_PROPERTY_NOT_DEFINED;
    }
    int status() const { return statusOf(e_); }
    // The device did not answer, after Aravis's retries.
    bool unanswered() const {
        return e_ != nullptr && e_->domain == ARV_DEVICE_ERROR &&
               (e_->code == ARV_DEVICE_ERROR_TIMEOUT || e_->code == ARV_DEVICE_ERROR_NOT_CONNECTED);
    }

private:
    GError* e_ = nullptr;
};

// Runs one SDK call: never a cancellation point, and no exception leaves it.
template <class Body>
int guarded(Body&& body) noexcept {
    const CancelGuard noCancel;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kResource;
    } catch (...) {
        return kUnknown;
    }
}

// A handle in use by one call: found in the registry (else `h` is NULL), kept from being freed until
// the call ends, and locked for it.
class Lease {
public:
    explicit Lease(const void* handle);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    Handle* h = nullptr;
    std::unique_lock<std::mutex> lock;  // h->mu
};

// The checks a call on an opened device starts with, in the SDK's order: a live handle (else
// MV_E_HANDLE), its arguments present (else MV_E_PARAMETER), the device open (else MV_E_CALLORDER)
// and there (else MV_E_PRECONDITION). kOk, or the status to return.
int needOpen(const Handle& h);
int openedDevice(const Lease& l, bool argsMissing);

// The status of a failed call on `h`'s device. A device that did not answer is taken as lost at once,
// as Aravis's heartbeat finds a moment later: the calls that follow (stopping, closing) no longer
// send the camera commands of their own, each of which would wait out the retries again. Aravis
// itself still writes to the camera as it frees its stream and device, so stopping and closing a
// camera that is gone take some seconds each.
inline int deviceFailure(const Handle& h, const Error& err) {
    if (err.unanswered()) h.lost.store(true);
    return err.status();
}

inline ArvDevice* deviceOf(const Handle& h) {
    return arv_camera_get_device(h.camera);
}

// Ends grabbing: buffers handed out go with the stream. The device is told to stop unless it is
// known not to answer. The status of that stop.
int stopGrabbing(Handle& h, bool tellDevice);

// The local IPv4 address (host order) that datagrams to `device` (host order) leave from, as the
// kernel's routing chooses it; nothing is sent. False when no route reaches the device.
bool localAddressFor(uint32_t device, uint32_t& local);

// The MTU of the interface that holds the IPv4 address `local` (host order), or -1 when no
// interface holds it or the MTU cannot be read.
int mtuOfAddress(uint32_t local);

}  // namespace camarv

// The camera SDK over Aravis 0.8: the MV_CC_* functions of MvCameraControl.h for GigE Vision and
// USB3 Vision cameras, for boards without the vendor's SDK. The feature functions are in
// features.cpp; the lock order is in aravis_internal.h.
//
// Misuse is answered as the simulator answers it, and every function checks in this order:
//   unknown or destroyed handle    -> MV_E_HANDLE
//   NULL pointer argument          -> MV_E_PARAMETER
//   call out of order              -> MV_E_CALLORDER
//   device reset or control lost   -> MV_E_PRECONDITION
//   value, feature or device       -> MV_E_PARAMETER, MV_E_SUPPORT, ... (statusOf)
//
// Handles are looked up in the registry before anything is read through them, so a stale or invented
// pointer is MV_E_HANDLE, never a dereference; no handle value is handed out twice. A call holds a lease on
// its handle; DestroyHandle and the last Finalize unlink the handle first and free it once no lease is left.

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aravis_internal.h"
#include "camimage.h"

namespace camarv {
namespace {

// A frame is awaited in slices this long, so that a stop or destroy from another thread ends the
// wait promptly.
constexpr unsigned kWaitSliceMs = 100;
constexpr unsigned kMaxTransferWays = 10;
constexpr guint kMinSocketBuffer = 1u << 20;

Handle* findHandle(const State& s, const void* handle) {
    for (Handle* h = s.handles; h != nullptr; h = h->next) {
        if (h->token == handle) return h;
    }
    return nullptr;
}

}  // namespace

// Never destroyed: the SDK may be called from other threads or atexit handlers while static objects
// are torn down.
State& state() {
    alignas(State) static unsigned char storage[sizeof(State)];
    static State* s = ::new (static_cast<void*>(storage)) State();
    return *s;
}

// A device that does not answer is MV_E_PRECONDITION, as the simulator reports a device that went
// away.
int statusOf(const GError* e) {
    if (e == nullptr) return kUnknown;  // failed without saying why
    if (e->domain == ARV_DEVICE_ERROR) {
        switch (e->code) {
            case ARV_DEVICE_ERROR_FEATURE_NOT_FOUND:
            case ARV_DEVICE_ERROR_GENICAM_NOT_FOUND:
            case ARV_DEVICE_ERROR_NO_STREAM_CHANNEL:
            case ARV_DEVICE_ERROR_PROTOCOL_ERROR_NOT_IMPLEMENTED:
                return kSupport;
            case ARV_DEVICE_ERROR_WRONG_FEATURE:
            case ARV_DEVICE_ERROR_INVALID_PARAMETER:
            case ARV_DEVICE_ERROR_PROTOCOL_ERROR_INVALID_PARAMETER:
            case ARV_DEVICE_ERROR_PROTOCOL_ERROR_INVALID_ADDRESS:
            case ARV_DEVICE_ERROR_PROTOCOL_ERROR_WRITE_PROTECT:
            case ARV_DEVICE_ERROR_PROTOCOL_ERROR_BAD_ALIGNMENT:
                return kParameter;
            case ARV_DEVICE_ERROR_NOT_CONTROLLER:
            case ARV_DEVICE_ERROR_PROTOCOL_ERROR_ACCESS_DENIED:
                return kAccessDenied;
            case ARV_DEVICE_ERROR_NOT_CONNECTED:
            case ARV_DEVICE_ERROR_TRANSFER_ERROR:
            case ARV_DEVICE_ERROR_TIMEOUT:
            case ARV_DEVICE_ERROR_NOT_FOUND:
            case ARV_DEVICE_ERROR_PROTOCOL_ERROR_BUSY:
                return kPrecondition;
            default:
                return kUnknown;
        }
    }
    if (e->domain == ARV_GC_ERROR) {
        switch (e->code) {
            case ARV_GC_ERROR_OUT_OF_RANGE:
            case ARV_GC_ERROR_ENUM_ENTRY_NOT_FOUND:
            case ARV_GC_ERROR_INVALID_LENGTH:
            case ARV_GC_ERROR_INVALID_BIT_RANGE:
            case ARV_GC_ERROR_SET_FROM_STRING_UNDEFINED:
                return kParameter;
            case ARV_GC_ERROR_NODE_NOT_FOUND:
            case ARV_GC_ERROR_PROPERTY_NOT_DEFINED:
            case ARV_GC_ERROR_PVALUE_NOT_DEFINED:
            case ARV_GC_ERROR_EMPTY_ENUMERATION:
            case ARV_GC_ERROR_READ_ONLY:  // as the simulator answers a write to PayloadSize
                return kSupport;
            default:
                return kUnknown;
        }
    }
    return kUnknown;
}

Lease::Lease(const void* handle) {
    State& s = state();
    {
        const std::lock_guard<std::mutex> g(s.mu);
        h = findHandle(s, handle);
        if (h == nullptr) return;
        ++h->leases;
    }
    lock = std::unique_lock<std::mutex>(h->mu);
}

Lease::~Lease() {
    if (h == nullptr) return;
    if (lock.owns_lock()) lock.unlock();
    State& s = state();
    const std::lock_guard<std::mutex> g(s.mu);
    --h->leases;
    s.released.notify_all();
}

int needOpen(const Handle& h) {
    if (h.camera == nullptr) return kCallOrder;
    if (h.gone || h.lost.load()) return kPrecondition;
    return kOk;
}

int openedDevice(const Lease& l, bool argsMissing) {
    if (l.h == nullptr) return kHandle;
    if (argsMissing) return kParameter;
    return needOpen(*l.h);
}

int stopGrabbing(Handle& h, bool tellDevice) {
    if (h.stream == nullptr) return kOk;
    h.generation.fetch_add(1);
    Error err;
    if (tellDevice) arv_camera_stop_acquisition(h.camera, err.slot());
    for (unsigned i = 0; i < h.outCount; ++i) g_object_unref(h.out[i].buffer);
    h.outCount = 0;
    g_object_unref(h.stream);
    h.stream = nullptr;
    return err.failed() ? deviceFailure(h, err) : kOk;
}

namespace {

// ---- handles --------------------------------------------------------------------------------------

// Aravis calls this from its heartbeat thread, so it only sets a flag; `data` is the handle's, which
// outlives the device (the handle is freed after the camera is released).
void onControlLost(ArvDevice*, gpointer data) {
    static_cast<std::atomic<bool>*>(data)->store(true);
}

void closeDevice(Handle& h) {
    if (h.camera == nullptr) return;
    (void)stopGrabbing(h, !h.gone && !h.lost.load());
    g_signal_handler_disconnect(deviceOf(h), h.lostHandler);
    g_object_unref(h.camera);
    h.camera = nullptr;
    h.lostHandler = 0;
    h.gone = false;
    h.lost.store(false);
}

Handle* newHandle() {
    void* p = std::malloc(sizeof(Handle));
    return p == nullptr ? nullptr : ::new (p) Handle();
}

// Unlinks a handle (the caller holds State::mu in `g`) and waits until no call uses it.
void retire(State& s, std::unique_lock<std::mutex>& g, Handle* h) {
    Handle** link = &s.handles;
    while (*link != h) link = &(*link)->next;
    *link = h->next;
    h->destroyed.store(true);
    h->generation.fetch_add(1);
    s.released.wait(g, [h] { return h->leases == 0; });
}

// Closes and frees a retired handle.
void release(Handle* h) {
    {
        const std::lock_guard<std::mutex> l(h->mu);
        closeDevice(*h);
    }
    h->~Handle();
    std::free(h);
}

// ---- devices --------------------------------------------------------------------------------------

void copyName(unsigned char* field, std::size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text != nullptr) std::memcpy(field, text, strnlen(text, size - 1));
}

std::size_t boundedLength(const unsigned char* field, std::size_t size) {
    return strnlen(reinterpret_cast<const char*>(field), size);
}

uint32_t parseIp(const char* text) {
    in_addr a{};
    return text != nullptr && inet_pton(AF_INET, text, &a) == 1 ? ntohl(a.s_addr) : 0;
}

// Aravis gives a GigE camera's MAC address as its physical id, "aa:bb:cc:dd:ee:ff".
bool parseMac(const char* text, uint64_t& mac) {
    if (text == nullptr || std::strlen(text) != 17) return false;
    for (std::size_t i = 0; i < 6; ++i) {
        const char* p = text + 3 * i;
        if (std::isxdigit(static_cast<unsigned char>(p[0])) == 0 ||
            std::isxdigit(static_cast<unsigned char>(p[1])) == 0 || (i < 5 && p[2] != ':'))
            return false;
        const char digits[3] = {p[0], p[1], '\0'};
        mac = (mac << 8) | std::strtoul(digits, nullptr, 16);
    }
    return true;
}

void fillGige(MV_CC_DEVICE_INFO& info, unsigned index) {
    MV_GIGE_DEVICE_INFO& g = info.SpecialInfo.stGigEInfo;
    g.nCurrentIp = parseIp(arv_get_device_address(index));
    uint32_t local = 0;
    if (g.nCurrentIp != 0 && localAddressFor(g.nCurrentIp, local)) g.nNetExport = local;
    copyName(g.chManufacturerName, sizeof g.chManufacturerName, arv_get_device_vendor(index));
    copyName(g.chModelName, sizeof g.chModelName, arv_get_device_model(index));
    copyName(g.chSerialNumber, sizeof g.chSerialNumber, arv_get_device_serial_nbr(index));
    copyName(g.chManufacturerSpecificInfo, sizeof g.chManufacturerSpecificInfo,
             arv_get_device_manufacturer_info(index));
    uint64_t mac = 0;
    if (parseMac(arv_get_device_physical_id(index), mac)) {
        info.nMacAddrHigh = static_cast<unsigned>(mac >> 32);
        info.nMacAddrLow = static_cast<unsigned>(mac);
    }
}

void fillUsb3(MV_CC_DEVICE_INFO& info, unsigned index, unsigned number) {
    MV_USB3_DEVICE_INFO& u = info.SpecialInfo.stUsb3VInfo;
    u.nDeviceNumber = number;
    copyName(u.chVendorName, sizeof u.chVendorName, arv_get_device_vendor(index));
    copyName(u.chManufacturerName, sizeof u.chManufacturerName, arv_get_device_vendor(index));
    copyName(u.chModelName, sizeof u.chModelName, arv_get_device_model(index));
    copyName(u.chSerialNumber, sizeof u.chSerialNumber, arv_get_device_serial_nbr(index));
}

unsigned layerOf(const char* protocol) {
    if (protocol == nullptr) return MV_UNKNOW_DEVICE;
    if (std::strcmp(protocol, "GigEVision") == 0) return MV_GIGE_DEVICE;
    if (std::strcmp(protocol, "USB3Vision") == 0) return MV_USB_DEVICE;
    return MV_UNKNOW_DEVICE;  // Aravis's Fake interface and any other
}

// Aravis's id of the USB3 camera an entry describes: from the last enumeration, else the
// "<vendor>-<serial>" name Aravis also accepts.
void usb3Id(const State& s, const MV_USB3_DEVICE_INFO& u, char (&id)[kIdMax]) {
    const std::size_t serialLen = boundedLength(u.chSerialNumber, sizeof u.chSerialNumber);
    for (unsigned i = 0; i < s.entryCount; ++i) {
        const Entry& e = s.entries[i];
        const MV_USB3_DEVICE_INFO& eu = e.info.SpecialInfo.stUsb3VInfo;
        if (e.info.nTLayerType == MV_USB_DEVICE &&
            boundedLength(eu.chSerialNumber, sizeof eu.chSerialNumber) == serialLen &&
            std::memcmp(eu.chSerialNumber, u.chSerialNumber, serialLen) == 0) {
            std::memcpy(id, e.id, sizeof id);
            return;
        }
    }
    (void)std::snprintf(id, sizeof id, "%.*s-%.*s",
                        static_cast<int>(boundedLength(u.chVendorName, sizeof u.chVendorName)),
                        reinterpret_cast<const char*>(u.chVendorName), static_cast<int>(serialLen),
                        reinterpret_cast<const char*>(u.chSerialNumber));
}

GInetAddress* inetAddress(uint32_t ip) {
    const uint32_t net = htonl(ip);
    guint8 bytes[4];
    std::memcpy(bytes, &net, sizeof bytes);
    return g_inet_address_new_from_bytes(bytes, G_SOCKET_FAMILY_IPV4);
}

// Opens a GigE camera at its address, with no discovery, and takes control of it.
ArvDevice* openGige(Handle& h, Error& err, int& rc) {
    if (!localAddressFor(h.ip, h.localIp)) {
        rc = kPrecondition;  // no route to the camera
        return nullptr;
    }
    GInetAddress* local = inetAddress(h.localIp);
    GInetAddress* remote = inetAddress(h.ip);
    ArvDevice* dev = arv_gv_device_new(local, remote, err.slot());
    g_object_unref(local);
    g_object_unref(remote);
    if (dev == nullptr) {
        rc = err.status();
        return nullptr;
    }
    // Aravis opens a camera that another client controls, read-only; streaming would fail later.
    if (!arv_gv_device_is_controller(ARV_GV_DEVICE(dev))) {
        g_object_unref(dev);
        rc = kAccessDenied;
        return nullptr;
    }
    // Run as root, Aravis receives the stream through a packet socket whose ring buffer takes 32 MiB
    // of memory, more than a whole capture may use on a small board; a UDP socket keeps up with
    // software-triggered frames.
    arv_gv_device_set_stream_options(ARV_GV_DEVICE(dev), ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
    return dev;
}

int openCamera(Handle& h) {
    Error err;
    int rc = kOk;
    ArvDevice* dev = nullptr;
    if (h.layer == MV_GIGE_DEVICE) {
        dev = openGige(h, err, rc);
    } else {
        dev = arv_interface_open_device(arv_uv_interface_get_instance(), h.id, err.slot());
        // Aravis answers an id it does not know with NULL and no error: the camera is not there.
        if (dev == nullptr) rc = err.failed() ? err.status() : kPrecondition;
    }
    if (dev == nullptr) return rc;
    // The SDK refuses out-of-range values and writes to read-only features; Aravis does so only when
    // asked.
    arv_device_set_range_check_policy(dev, ARV_RANGE_CHECK_POLICY_ENABLE);
    arv_device_set_access_check_policy(dev, ARV_ACCESS_CHECK_POLICY_ENABLE);
    h.camera = arv_camera_new_with_device(dev, err.slot());
    g_object_unref(dev);  // the camera holds its own reference
    if (h.camera == nullptr) return err.status();
    h.lost.store(false);
    h.lostHandler = g_signal_connect(deviceOf(h), "control-lost", G_CALLBACK(onControlLost), &h.lost);
    h.gone = false;
    return kOk;
}

// ---- frames ---------------------------------------------------------------------------------------

// Waits up to `ms` for a complete frame of `stream`, without the handle's lock. Frames with missing
// packets or any other fault go back to the stream to be filled again: they are never handed out.
// NULL on time-out, when grabbing stops (`generation` moves on), when control of the device is lost or
// when the handle is destroyed: a call that got the handle's lock only after a destroy unlinked it
// read `generation` after the destroy moved it on, and the destroy waits for this call to end.
ArvBuffer* awaitFrame(const Handle& h, ArvStream* stream, unsigned generation, unsigned ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (bool first = true;; first = false) {
        if (h.generation.load() != generation || h.lost.load() || h.destroyed.load()) return nullptr;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!first && left.count() <= 0) return nullptr;
        const guint64 slice =
            static_cast<guint64>(std::clamp<int64_t>(left.count(), 0, int64_t{kWaitSliceMs} * 1000));
        ArvBuffer* b =
            slice == 0 ? arv_stream_try_pop_buffer(stream) : arv_stream_timeout_pop_buffer(stream, slice);
        if (b == nullptr) continue;
        size_t size = 0;
        if (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS &&
            arv_buffer_get_image_data(b, &size) != nullptr && size > 0)
            return b;
        arv_stream_push_buffer(stream, b);
    }
}

// Aravis gives a GigE frame's time stamp in nanoseconds, made from the device's ticks as whole
// seconds and the rest rounded down; the SDK gives the ticks. Rounding the rest up again restores
// them for a device counting at most 1 GHz. Without a frequency Aravis has no ticks to give.
guint64 deviceTicks(guint64 ns, guint64 hz) {
    if (hz == 0 || hz > UINT32_MAX) return ns;
    constexpr guint64 kNsPerSecond = 1000000000u;
    return ns / kNsPerSecond * hz + (ns % kNsPerSecond * hz + kNsPerSecond - 1) / kNsPerSecond;
}

// The device time stamp the SDK splits over two fields.
guint64 deviceStamp(const MV_FRAME_OUT_INFO_EX& info) {
    return guint64{info.nDevTimeStampHigh} << 32 | info.nDevTimeStampLow;
}

void describeFrame(ArvBuffer* b, guint64 tickHz, MV_FRAME_OUT& f) {
    size_t size = 0;
    f.pBufAddr = static_cast<unsigned char*>(const_cast<void*>(arv_buffer_get_image_data(b, &size)));
    MV_FRAME_OUT_INFO_EX& info = f.stFrameInfo;
    const unsigned width = static_cast<unsigned>(std::max(arv_buffer_get_image_width(b), 0));
    const unsigned height = static_cast<unsigned>(std::max(arv_buffer_get_image_height(b), 0));
    info.nWidth = static_cast<unsigned short>(std::min(width, 0xFFFFu));
    info.nHeight = static_cast<unsigned short>(std::min(height, 0xFFFFu));
    info.nExtendWidth = width;
    info.nExtendHeight = height;
    // Aravis's pixel formats are the GenICam numbers, as the SDK's are.
    storeRawEnum(info.enPixelType, arv_buffer_get_image_pixel_format(b));
    info.nFrameNum = static_cast<unsigned>(arv_buffer_get_frame_id(b));
    const guint64 device = deviceTicks(arv_buffer_get_timestamp(b), tickHz);
    info.nDevTimeStampHigh = static_cast<unsigned>(device >> 32);
    info.nDevTimeStampLow = static_cast<unsigned>(device);
    info.nHostTimeStamp = static_cast<int64_t>(arv_buffer_get_system_timestamp(b) / 1000000u);  // ms
    info.nFrameLen = static_cast<unsigned>(size);
}

}  // namespace
}  // namespace camarv

using namespace camarv;

// ---- SDK functions ---------------------------------------------------------------------------------

extern "C" {

// Tells the toolkit's SDK loader that this library is its Aravis backend, not a vendor's SDK.
__attribute__((visibility("default"))) extern const char quellshot_sdk_backend[] = "aravis";

int MV_CC_Initialize(void) {
    return guarded([] {
        State& s = state();
        const std::lock_guard<std::mutex> g(s.mu);
        ++s.initCount;
        return kOk;
    });
}

// The toolkit's version, as the simulator reports it: it names this backend, not Aravis.
unsigned int MV_CC_GetSDKVersion(void) {
    return QS_VERSION_MAJOR * 0x1000000u + QS_VERSION_MINOR * 0x10000u + QS_VERSION_PATCH * 0x100u;
}

int MV_CC_Finalize(void) {
    return guarded([] {
        State& s = state();
        const std::lock_guard<std::mutex> aravis(s.aravisMu);
        std::unique_lock<std::mutex> g(s.mu);
        const int result = s.initCount == 0 ? kCallOrder : kOk;
        if (s.initCount > 0) --s.initCount;
        if (s.initCount > 0) return result;
        // The last finalize releases every handle, the device list and Aravis's own state, so that
        // a later Initialize starts afresh.
        Handle* retired = nullptr;
        while (s.handles != nullptr) {
            Handle* h = s.handles;
            retire(s, g, h);
            h->next = retired;
            retired = h;
        }
        Entry* entries = s.entries;
        s.entries = nullptr;
        s.entryCount = 0;
        g.unlock();
        while (retired != nullptr) {
            Handle* h = retired;
            retired = h->next;
            release(h);
        }
        std::free(entries);
        arv_shutdown();
        return result;
    });
}

int MV_CC_EnumDevices(unsigned int nTLayerType, MV_CC_DEVICE_INFO_LIST* pstDevList) {
    return guarded([&] {
        State& s = state();
        if (pstDevList == nullptr) return kParameter;
        const std::lock_guard<std::mutex> aravis(s.aravisMu);
        {
            const std::lock_guard<std::mutex> g(s.mu);
            if (s.initCount == 0) return kCallOrder;
        }
        if (nTLayerType == 0) return kParameter;
        std::memset(pstDevList, 0, sizeof *pstDevList);
        Entry* fresh = nullptr;
        unsigned n = 0;
        if ((nTLayerType & (MV_GIGE_DEVICE | MV_USB_DEVICE)) != 0) {
            arv_update_device_list();  // about a second: the discovery waits for late answers
            const unsigned total = std::min(arv_get_n_devices(), static_cast<unsigned>(MV_MAX_DEVICE_NUM));
            fresh = static_cast<Entry*>(std::calloc(std::max(total, 1u), sizeof(Entry)));
            if (fresh == nullptr) return kResource;
            for (unsigned i = 0; i < total; ++i) {
                const unsigned layer = layerOf(arv_get_device_protocol(i));
                if ((layer & nTLayerType) == 0) continue;
                Entry& e = fresh[n];
                e.info.nTLayerType = layer;
                if (layer == MV_GIGE_DEVICE) {
                    fillGige(e.info, i);
                } else {
                    fillUsb3(e.info, i, n);
                }
                const char* id = arv_get_device_id(i);
                if (id != nullptr && std::strlen(id) < sizeof e.id)
                    std::memcpy(e.id, id, std::strlen(id) + 1);
                pstDevList->pDeviceInfo[n++] = &e.info;
            }
        }
        Entry* old = nullptr;
        {
            const std::lock_guard<std::mutex> g(s.mu);
            old = s.entries;
            s.entries = fresh;
            s.entryCount = n;
        }
        std::free(old);
        pstDevList->nDeviceNum = n;
        return kOk;
    });
}

int MV_CC_CreateHandleWithoutLog(void** handle, const MV_CC_DEVICE_INFO* pstDevInfo) {
    return guarded([&] {
        State& s = state();
        if (handle == nullptr || pstDevInfo == nullptr) return kParameter;
        *handle = nullptr;
        const std::lock_guard<std::mutex> g(s.mu);
        if (s.initCount == 0) return kCallOrder;
        const unsigned layer = pstDevInfo->nTLayerType;
        if (layer != MV_GIGE_DEVICE && layer != MV_USB_DEVICE) return kSupport;
        // A GigE camera is opened at its address, so the entry needs no lookup; one without an
        // address cannot be reached.
        if (layer == MV_GIGE_DEVICE && pstDevInfo->SpecialInfo.stGigEInfo.nCurrentIp == 0) return kParameter;
        Handle* h = newHandle();
        if (h == nullptr) return kResource;
        h->layer = layer;
        if (layer == MV_GIGE_DEVICE) {
            h->ip = pstDevInfo->SpecialInfo.stGigEInfo.nCurrentIp;
        } else {
            usb3Id(s, pstDevInfo->SpecialInfo.stUsb3VInfo, h->id);
        }
        if (++s.lastToken == 0) ++s.lastToken;  // NULL is no handle
        h->token = reinterpret_cast<const void*>(s.lastToken);
        h->next = s.handles;
        s.handles = h;
        *handle = const_cast<void*>(h->token);
        return kOk;
    });
}

int MV_CC_DestroyHandle(void* handle) {
    return guarded([&] {
        State& s = state();
        Handle* h = nullptr;
        {
            std::unique_lock<std::mutex> g(s.mu);
            h = findHandle(s, handle);
            if (h == nullptr) return kHandle;
            retire(s, g, h);
        }
        release(h);
        return kOk;
    });
}

int MV_CC_OpenDevice(void* handle, unsigned int nAccessMode, unsigned short nSwitchoverKey) {
    (void)nSwitchoverKey;
    return guarded([&] {
        const std::lock_guard<std::mutex> aravis(state().aravisMu);
        const Lease l(handle);
        if (l.h == nullptr) return kHandle;
        if (l.h->camera != nullptr) return kCallOrder;
        // Every mode takes control of the camera: Aravis streams only as its controller.
        if (nAccessMode < 1 || nAccessMode > 7) return kParameter;
        return openCamera(*l.h);
    });
}

int MV_CC_CloseDevice(void* handle) {
    return guarded([&] {
        const Lease l(handle);
        if (l.h == nullptr) return kHandle;
        if (l.h->camera == nullptr) return kCallOrder;
        closeDevice(*l.h);
        return kOk;
    });
}

int MV_USB_SetTransferWays(void* handle, unsigned int nTranferWays) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, false)) return rc;
        if (l.h->layer != MV_USB_DEVICE) return kSupport;
        if (nTranferWays < 1 || nTranferWays > kMaxTransferWays) return kParameter;
        // Aravis sizes its USB transfers itself; the value is kept for the record.
        l.h->transferWays = nTranferWays;
        return kOk;
    });
}

int MV_CC_StartGrabbing(void* handle) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, false)) return rc;
        Handle& h = *l.h;
        if (h.stream != nullptr) return kCallOrder;
        Error err;
        const guint payload = arv_camera_get_payload(h.camera, err.slot());
        if (err.failed()) return err.status();
        if (payload == 0) return kUnknown;
        // No callback: Aravis's own thread fills the buffers, GetImageBuffer pops them.
        ArvStream* stream = arv_camera_create_stream(h.camera, nullptr, nullptr, err.slot());
        if (stream == nullptr) return err.status();  // another controller: MV_E_ACCESS_DENIED
        // Without the packet socket (openGige), the kernel's buffer must hold a whole frame: a camera
        // sends one as a burst. The kernel counts each datagram's bookkeeping too, which outweighs
        // the pixels of a small frame, hence the floor. net.core.rmem_max caps it (SO_RCVBUF).
        if (ARV_IS_GV_STREAM(stream))
            g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size",
                         static_cast<gint>(std::clamp<guint>(payload, kMinSocketBuffer, G_MAXINT)), nullptr);
        // The camera states the size: one the process cannot have fails the start, where Aravis's own
        // allocation (g_malloc) would abort the process.
        for (unsigned i = 0; i < kPoolBuffers; ++i) {
            void* data = g_try_malloc(payload);
            if (data == nullptr) {
                g_object_unref(stream);  // with the buffers pushed so far
                return kResource;
            }
            arv_stream_push_buffer(stream, arv_buffer_new_full(payload, data, data, g_free));
        }
        arv_camera_start_acquisition(h.camera, err.slot());
        if (err.failed()) {
            g_object_unref(stream);
            return err.status();
        }
        h.tickHz = ARV_IS_GV_DEVICE(deviceOf(h))
                       ? arv_gv_device_get_timestamp_tick_frequency(ARV_GV_DEVICE(deviceOf(h)), nullptr)
                       : 0;
        h.stream = stream;
        return kOk;
    });
}

int MV_CC_StopGrabbing(void* handle) {
    return guarded([&] {
        const Lease l(handle);
        if (l.h == nullptr) return kHandle;
        Handle& h = *l.h;
        if (h.camera == nullptr) return kCallOrder;
        const bool lost = h.lost.load();
        if (h.stream == nullptr) return h.gone || lost ? kPrecondition : kCallOrder;
        // A device known not to answer is not asked: its stream is released all the same.
        const int rc = stopGrabbing(h, !lost);
        return lost ? kPrecondition : rc;
    });
}

int MV_CC_GetImageBuffer(void* handle, MV_FRAME_OUT* pstFrame, unsigned int nMsec) {
    return guarded([&] {
        Lease l(handle);
        if (l.h == nullptr) return kHandle;
        if (pstFrame == nullptr) return kParameter;
        std::memset(pstFrame, 0, sizeof *pstFrame);
        Handle& h = *l.h;
        if (const int rc = needOpen(h)) return rc;
        if (h.stream == nullptr) return kCallOrder;
        if (h.outCount >= kPoolBuffers) return kResource;  // no buffer left to fill
        ArvStream* stream = h.stream;
        g_object_ref(stream);  // a stop meanwhile releases the handle's reference, not this one
        const unsigned generation = h.generation.load();
        l.lock.unlock();
        ArvBuffer* b = awaitFrame(h, stream, generation, nMsec);
        l.lock.lock();
        int rc = kOk;
        if (h.destroyed.load()) {
            rc = kHandle;
        } else if (h.generation.load() != generation || h.outCount >= kPoolBuffers) {
            rc = kNoData;  // grabbing stopped, or the other buffers were taken meanwhile
        } else if (b == nullptr) {
            rc = h.lost.load() ? kPrecondition : kNoData;
        }
        if (rc != kOk) {
            if (b != nullptr) {
                if (h.stream == stream) {
                    arv_stream_push_buffer(stream, b);
                } else {
                    g_object_unref(b);  // popped from a stream that stopped: ours to free
                }
            }
            g_object_unref(stream);
            return rc;
        }
        g_object_unref(stream);
        describeFrame(b, h.tickHz, *pstFrame);
        const MV_FRAME_OUT_INFO_EX& info = pstFrame->stFrameInfo;
        h.out[h.outCount++] =
            Frame{b, pstFrame->pBufAddr, info.nFrameNum, info.nHostTimeStamp, deviceStamp(info)};
        return kOk;
    });
}

int MV_CC_FreeImageBuffer(void* handle, MV_FRAME_OUT* pstFrame) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, pstFrame == nullptr)) return rc;
        Handle& h = *l.h;
        // Buffers belong to the stream: once it stopped, a frame can no longer be given back.
        if (h.stream == nullptr) return kCallOrder;
        const MV_FRAME_OUT_INFO_EX& info = pstFrame->stFrameInfo;
        for (unsigned i = 0; i < h.outCount; ++i) {
            const Frame& f = h.out[i];
            if (f.data != pstFrame->pBufAddr || f.frameNum != info.nFrameNum ||
                f.hostTimeStamp != info.nHostTimeStamp || f.deviceTimeStamp != deviceStamp(info))
                continue;
            arv_stream_push_buffer(h.stream, h.out[i].buffer);
            h.out[i] = h.out[--h.outCount];
            return kOk;
        }
        return kParameter;  // not handed out, or given back already
    });
}

int MV_CC_SaveImageEx3(void* handle, MV_SAVE_IMAGE_PARAM_EX3* pstSaveParam) {
    return guarded([&] {
        const Lease l(handle);
        const MV_SAVE_IMAGE_PARAM_EX3* p = pstSaveParam;
        const bool missing = p == nullptr || p->pData == nullptr || p->pImageBuffer == nullptr;
        if (const int rc = openedDevice(l, missing)) return rc;
        return camimage::saveImage(*pstSaveParam);
    });
}

}  // extern "C"

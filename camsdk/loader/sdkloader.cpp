// Choosing and loading the camera SDK, and the MV_CC_* forwarders that call into it.

// The forwarders defined here must not be seen outside the library or program that contains them:
// they would shadow a real SDK for everyone else in the process.
#define MV_CAMCTRL_API __attribute__((visibility("hidden")))
#include "sdkloader.h"

#include <MvCameraControl.h>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#ifndef QS_INSTALL_LIBDIR
#define QS_INSTALL_LIBDIR "lib"
#endif

namespace sdkloader {

namespace {

#if defined(__x86_64__)
#define QS_MVS_ARCH "64"
#elif defined(__aarch64__)
#define QS_MVS_ARCH "aarch64"
#elif defined(__arm__)
#define QS_MVS_ARCH "armhf"
#else
#define QS_MVS_ARCH "32"
#endif

enum class How { kSearch, kAbsolute, kBeside };
struct Place {
    const char* kind;
    How how;
    const char* dir;  // ends in '/'
};
const Place kPlaces[] = {
    {"vendor", How::kSearch, ""},
    {"vendor", How::kAbsolute, "/opt/MVS/lib/" QS_MVS_ARCH "/"},
#ifdef QS_VENDOR_SDK_DIR
    {"vendor", How::kAbsolute, QS_VENDOR_SDK_DIR "/"},
#endif
    {"aravis", How::kBeside, "camaravis/"},
    {"aravis", How::kBeside, "../" QS_INSTALL_LIBDIR "/camaravis/"},
    {"aravis", How::kBeside, "../camsdk/aravis/"},
    {"sim", How::kBeside, "camsim/"},
    {"sim", How::kBeside, "../" QS_INSTALL_LIBDIR "/camsim/"},
    {"sim", How::kBeside, "../camsdk/sim/"},
};

const char* const kFunctions[kFunctionCount] = {
    "MV_CC_Initialize",
    "MV_CC_GetSDKVersion",
    "MV_CC_Finalize",
    "MV_CC_EnumDevices",
    "MV_CC_CreateHandleWithoutLog",
    "MV_CC_DestroyHandle",
    "MV_CC_OpenDevice",
    "MV_CC_CloseDevice",
    "MV_USB_SetTransferWays",
    "MV_CC_GetOptimalPacketSize",
    "MV_CC_GetIntValueEx",
    "MV_CC_SetIntValueEx",
    "MV_CC_SetEnumValue",
    "MV_CC_GetFloatValue",
    "MV_CC_SetCommandValue",
    "MV_CC_GetExposureAutoMode",
    "MV_CC_GetExposureTime",
    "MV_CC_StartGrabbing",
    "MV_CC_StopGrabbing",
    "MV_CC_GetImageBuffer",
    "MV_CC_FreeImageBuffer",
    "MV_CC_SaveImageEx3",
    "MV_CC_SetFloatValue",
    "MV_CC_GetEnumValue",
    "MV_CC_SetEnumValueByString",
    "MV_CC_GetBoolValue",
    "MV_CC_SetBoolValue",
    "MV_CC_GetStringValue",
};

bool is_path(const char* request) {
    return strchr(request, '/') != nullptr;
}

bool is_kind(const char* request) {
    return request[0] == '\0' || strcmp(request, "vendor") == 0 || strcmp(request, "aravis") == 0 ||
           strcmp(request, "sim") == 0;
}

void say(Choice& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(Choice& out, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    (void)vsnprintf(out.why, sizeof out.why, format, ap);
    va_end(ap);
}

// The backend's name by its marker, as one of our own literals; NULL for a library without one.
const char* marker_of(void* library) {
    const auto* marker = static_cast<const char*>(dlsym(library, kMarker));
    if (marker == nullptr) return nullptr;
    if (strcmp(marker, "aravis") == 0) return "aravis";
    return strcmp(marker, "sim") == 0 ? "sim" : "unknown";
}

// Takes `library` into `out` when it has every function; else closes it and says what it lacks.
bool adopt(void* library, const char* name, Choice& out) {
    void* fn[kFunctionCount];
    for (size_t i = 0; i < kFunctionCount; ++i) {
        fn[i] = dlsym(library, kFunctions[i]);
        if (fn[i] == nullptr) {
            say(out, "%s has no %s: not a camera SDK this toolkit can drive", out.path, kFunctions[i]);
            (void)dlclose(library);
            return false;
        }
    }
    memcpy(out.fn, fn, sizeof fn);
    char real[kPathMax];
    if (out.path[0] == '/' && realpath(out.path, real) != nullptr) memcpy(out.path, real, sizeof real);
    out.library = library;
    out.name = name;
    out.why[0] = '\0';
    return true;
}

bool fits(const char* request, const char* marker) {
    if (request[0] == '\0') return true;
    if (strcmp(request, "vendor") == 0) return marker == nullptr;
    return marker != nullptr && strcmp(request, marker) == 0;
}

// The library of the SDK's name that the process has loaded already, when it fits the request.
bool take_loaded(const char* request, Choice& out) {
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return false;
    const char* marker = marker_of(library);
    link_map* map = nullptr;
    if (!fits(request, marker) || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        (void)dlclose(library);
        return false;
    }
    (void)snprintf(out.path, sizeof out.path, "%s", map->l_name);
    return adopt(library, marker != nullptr ? marker : "vendor", out);
}

// Directory of the object this code is linked into, with its '/'.
void own_dir(char* dir, size_t size) {
    dir[0] = '\0';
    Dl_info info{};
    link_map* map = nullptr;
    char exe[kPathMax];
    const char* file = nullptr;
    // A shared library's name is the path it was loaded from. For the executable the dynamic linker
    // answers argv[0], which is whatever the caller wrote (a symbolic link's path, any text at all),
    // so there the kernel's link to the running file is asked instead.
    if (dladdr1(reinterpret_cast<void*>(&choice), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 &&
        map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0' && info.dli_fname != nullptr &&
        info.dli_fname[0] == '/') {
        file = info.dli_fname;
    } else {
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return;
        exe[n] = '\0';
        file = exe;
    }
    const char* slash = strrchr(file, '/');
    (void)snprintf(dir, size, "%.*s", static_cast<int>(slash - file + 1), file);
}

}  // namespace

bool candidate(const char* request, const char* base, int index, char* path, size_t size, const char** kind) {
    if (request == nullptr) request = "";
    if (is_path(request)) {
        *kind = nullptr;
        return index == 0 && snprintf(path, size, "%s", request) < static_cast<int>(size);
    }
    if (!is_kind(request)) return false;
    for (const Place& place : kPlaces) {
        if (request[0] != '\0' && strcmp(request, place.kind) != 0) continue;
        // Beside nothing known, such a path would be taken from the working directory.
        if (place.how == How::kBeside && (base == nullptr || base[0] != '/')) continue;
        if (index-- > 0) continue;
        *kind = place.kind;
        const char* prefix = place.how == How::kBeside ? base : "";
        const int n = snprintf(path, size, "%s%s%s", prefix, place.dir, kLibrary);
        return n >= 0 && static_cast<size_t>(n) < size;
    }
    return false;
}

void choose(const char* request, const char* base, Choice& out) {
    memset(&out, 0, sizeof out);
    if (request == nullptr) request = "";
    if (!is_path(request) && !is_kind(request)) {
        say(out, "%s=%s: give vendor, aravis, sim or the path of a %s", kVariable, request, kLibrary);
        return;
    }
    if (!is_path(request) && take_loaded(request, out)) return;
    bool tried = false;
    const char* kind = nullptr;
    for (int i = 0; candidate(request, base, i, out.path, sizeof out.path, &kind); ++i) {
        // A place that holds nothing is no news; a file that is there and fails is.
        if (out.path[0] == '/' && access(out.path, F_OK) != 0 && !is_path(request)) continue;
        (void)dlerror();
        void* library = dlopen(out.path, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* e = dlerror();
            if (kind != nullptr && strcmp(kind, "vendor") == 0 && out.path[0] != '/') continue;
            say(out, "cannot load %s: %s", out.path, e != nullptr ? e : "unknown reason");
            tried = true;
            continue;
        }
        const char* marker = marker_of(library);
        if (kind != nullptr && !fits(kind, marker)) {
            // Ours found by the linker's search is not the vendor's; a stranger in our place is not ours.
            if (strcmp(kind, "vendor") != 0) {
                say(out, "%s is not the toolkit's %s backend", out.path, kind);
                tried = true;
            }
            (void)dlclose(library);
            continue;
        }
        if (out.path[0] != '/') {  // found by the linker's search: name the file it found
            link_map* map = nullptr;
            if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
                (void)snprintf(out.path, sizeof out.path, "%s", map->l_name);
            }
        }
        if (adopt(library, marker != nullptr ? marker : "vendor", out)) return;
        tried = true;
    }
    if (!tried) {
        say(out,
            "no camera SDK found%s%s: install the camera vendor's SDK (MVS), quellshot-toolkit-aravis or "
            "quellshot-toolkit-sim, or set %s to the path of a %s",
            request[0] != '\0' ? " for " : "", request[0] != '\0' ? request : "", kVariable, kLibrary);
    }
}

const Choice& choice() {
    static const Choice& made = []() -> const Choice& {
        static Choice storage;
        char base[kPathMax];
        own_dir(base, sizeof base);
        // NOLINTNEXTLINE(concurrency-mt-unsafe): read once; nothing in this process sets it
        choose(getenv(kVariable), base, storage);
        return storage;
    }();
    return made;
}

FeatureLister feature_lister() {
    const Choice& c = choice();
    if (c.library == nullptr) return nullptr;
    return reinterpret_cast<FeatureLister>(dlsym(c.library, kFeatureLister));  // NOLINT: dlsym's void*
}

}  // namespace sdkloader

// ---- the forwarders --------------------------------------------------------------------------------

namespace {

// Calls the chosen SDK's function `I`, of the same type as `self`; without an SDK, a status that
// says the precondition (a loaded SDK) is missing.
template <size_t I, class R, class... A>
R forward(R (*)(A...), A... args) {
    void* fn = sdkloader::choice().fn[I];
    if (fn == nullptr) {
        if constexpr (std::is_same_v<R, int>) {
            return static_cast<int>(MV_E_PRECONDITION);
        } else {
            return R{};
        }
    }
    return reinterpret_cast<R (*)(A...)>(fn)(args...);  // NOLINT: dlsym hands back functions as void*
}

}  // namespace

extern "C" {

int MV_CC_Initialize(void) {
    return forward<0>(MV_CC_Initialize);
}
unsigned int MV_CC_GetSDKVersion(void) {
    return forward<1>(MV_CC_GetSDKVersion);
}
int MV_CC_Finalize(void) {
    return forward<2>(MV_CC_Finalize);
}
int MV_CC_EnumDevices(unsigned int nTLayerType, MV_CC_DEVICE_INFO_LIST* pstDevList) {
    return forward<3>(MV_CC_EnumDevices, nTLayerType, pstDevList);
}
int MV_CC_CreateHandleWithoutLog(void** handle, const MV_CC_DEVICE_INFO* pstDevInfo) {
    return forward<4>(MV_CC_CreateHandleWithoutLog, handle, pstDevInfo);
}
int MV_CC_DestroyHandle(void* handle) {
    return forward<5>(MV_CC_DestroyHandle, handle);
}
int MV_CC_OpenDevice(void* handle, unsigned int nAccessMode, unsigned short nSwitchoverKey) {
    return forward<6>(MV_CC_OpenDevice, handle, nAccessMode, nSwitchoverKey);
}
int MV_CC_CloseDevice(void* handle) {
    return forward<7>(MV_CC_CloseDevice, handle);
}
int MV_USB_SetTransferWays(void* handle, unsigned int nTranferWays) {
    return forward<8>(MV_USB_SetTransferWays, handle, nTranferWays);
}
int MV_CC_GetOptimalPacketSize(void* handle) {
    return forward<9>(MV_CC_GetOptimalPacketSize, handle);
}
int MV_CC_GetIntValueEx(void* handle, const char* strKey, MVCC_INTVALUE_EX* pstIntValue) {
    return forward<10>(MV_CC_GetIntValueEx, handle, strKey, pstIntValue);
}
int MV_CC_SetIntValueEx(void* handle, const char* strKey, int64_t nValue) {
    return forward<11>(MV_CC_SetIntValueEx, handle, strKey, nValue);
}
int MV_CC_SetEnumValue(void* handle, const char* strKey, unsigned int nValue) {
    return forward<12>(MV_CC_SetEnumValue, handle, strKey, nValue);
}
int MV_CC_GetFloatValue(void* handle, const char* strKey, MVCC_FLOATVALUE* pstFloatValue) {
    return forward<13>(MV_CC_GetFloatValue, handle, strKey, pstFloatValue);
}
int MV_CC_SetCommandValue(void* handle, const char* strKey) {
    return forward<14>(MV_CC_SetCommandValue, handle, strKey);
}
int MV_CC_GetExposureAutoMode(void* handle, MVCC_ENUMVALUE* pstValue) {
    return forward<15>(MV_CC_GetExposureAutoMode, handle, pstValue);
}
int MV_CC_GetExposureTime(void* handle, MVCC_FLOATVALUE* pstValue) {
    return forward<16>(MV_CC_GetExposureTime, handle, pstValue);
}
int MV_CC_StartGrabbing(void* handle) {
    return forward<17>(MV_CC_StartGrabbing, handle);
}
int MV_CC_StopGrabbing(void* handle) {
    return forward<18>(MV_CC_StopGrabbing, handle);
}
int MV_CC_GetImageBuffer(void* handle, MV_FRAME_OUT* pstFrame, unsigned int nMsec) {
    return forward<19>(MV_CC_GetImageBuffer, handle, pstFrame, nMsec);
}
int MV_CC_FreeImageBuffer(void* handle, MV_FRAME_OUT* pstFrame) {
    return forward<20>(MV_CC_FreeImageBuffer, handle, pstFrame);
}
int MV_CC_SaveImageEx3(void* handle, MV_SAVE_IMAGE_PARAM_EX3* pstSaveParam) {
    return forward<21>(MV_CC_SaveImageEx3, handle, pstSaveParam);
}
int MV_CC_SetFloatValue(void* handle, const char* strKey, float fValue) {
    return forward<22>(MV_CC_SetFloatValue, handle, strKey, fValue);
}
int MV_CC_GetEnumValue(void* handle, const char* strKey, MVCC_ENUMVALUE* pEnumValue) {
    return forward<23>(MV_CC_GetEnumValue, handle, strKey, pEnumValue);
}
int MV_CC_SetEnumValueByString(void* handle, const char* strKey, const char* strValue) {
    return forward<24>(MV_CC_SetEnumValueByString, handle, strKey, strValue);
}
int MV_CC_GetBoolValue(void* handle, const char* strKey, bool* pBoolValue) {
    return forward<25>(MV_CC_GetBoolValue, handle, strKey, pBoolValue);
}
int MV_CC_SetBoolValue(void* handle, const char* strKey, bool bValue) {
    return forward<26>(MV_CC_SetBoolValue, handle, strKey, bValue);
}
int MV_CC_GetStringValue(void* handle, const char* strKey, MVCC_STRINGVALUE* pStringValue) {
    return forward<27>(MV_CC_GetStringValue, handle, strKey, pStringValue);
}

}  // extern "C"

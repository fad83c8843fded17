// Loading the camera parts of the quellshot program at run time.
#include "camera_api.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <type_traits>
#include <vector>

#include "lockdir.h"

#ifndef QS_LIBQUELLSHOT
#define QS_LIBQUELLSHOT "libquellshot.so"
#endif

namespace qscli {

namespace {

CameraApi g_api;
std::atomic<const CameraApi*> g_loaded{nullptr};

template <class Fn>
bool find(void* lib, const char* name, Fn& fn, std::string& why) {
    fn = reinterpret_cast<Fn>(dlsym(lib, name));  // NOLINT: dlsym hands back functions as void*
    if (fn == nullptr) why = std::string(QS_LIBQUELLSHOT) + " has no " + name + " (an older toolkit?)";
    return fn != nullptr;
}

}  // namespace

void* open_library(const char* name, int flags) {
    void* self = dlopen(nullptr, RTLD_NOW);
    Dl_serinfo size{};
    if (self != nullptr && dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0) {
        std::vector<char> buf(size.dls_size);
        auto* info = reinterpret_cast<Dl_serinfo*>(buf.data());
        *info = size;
        if (dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
            for (unsigned i = 0; i < info->dls_cnt; ++i) {
                const std::string path = std::string(info->dls_serpath[i].dls_name) + "/" + name;
                if (access(path.c_str(), F_OK) == 0) return dlopen(path.c_str(), flags);
            }
        }
    }
    return dlopen(name, flags);
}

namespace {

// Whether the capture library lies in a system location. The library chooses its lock directory by
// where it lies, not by where this program does (a copy elsewhere, or started by a path in /usr/bin
// that links to another place), so the lock this program names and looks at follows the library.
std::atomic<bool> g_systemLibrary{false};

bool library_in_system() {
    return g_systemLibrary.load();
}

// The capture library, kept loaded for the life of the process, as is the SDK it loads.
void* capture_library(std::string& why) {
    (void)dlerror();
    void* lib = open_library(QS_LIBQUELLSHOT, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        const char* e = dlerror();
        why = e != nullptr ? e : "unknown reason";
        return nullptr;
    }
    struct link_map* map = nullptr;
    if (dlinfo(lib, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name[0] == '/') {
        g_systemLibrary.store(qs::is_system_path(map->l_name));
        qs::system_install.store(library_in_system);
    }
    return lib;
}

}  // namespace

const CameraApi* camera_api(std::string& why) {
    if (const CameraApi* api = g_loaded.load()) return api;
    void* lib = capture_library(why);
    if (lib == nullptr) return nullptr;
    CameraApi a{};
    decltype(&::qs_camera_sdk) cameraSdk = nullptr;
    bool ok =
        find(lib, "Quellshot_Grab", a.grab, why) && find(lib, "HK_GetCameraCount", a.cameraCount, why) &&
        find(lib, "HK_SetWaitAEDoneForTakePhoto", a.setWaitAE, why) &&
        find(lib, "qs_cancel", a.cancel, why) && find(lib, "qs_last_errno", a.lastErrno, why) &&
        find(lib, "qs_camera_sdk", cameraSdk, why) && find(lib, "qs_open", a.sessionOpen, why) &&
        find(lib, "qs_close", a.sessionClose, why) && find(lib, "qs_set_exposure", a.setExposure, why) &&
        find(lib, "qs_set_exposure_auto", a.setExposureAuto, why) &&
        find(lib, "qs_set_gain", a.setGain, why) && find(lib, "qs_set_gain_auto", a.setGainAuto, why) &&
        find(lib, "qs_set_pixel_format", a.setPixelFormat, why) && find(lib, "qs_set_roi", a.setRoi, why) &&
        find(lib, "qs_set_quality", a.setQuality, why) && find(lib, "qs_feature_get", a.featureGet, why) &&
        find(lib, "qs_feature_set", a.featureSet, why) && find(lib, "qs_feature_list", a.featureList, why) &&
        find(lib, "qs_capture", a.capture, why) && find(lib, "qs_capture_fd", a.captureFd, why) &&
        find(lib, "qs_series", a.series, why) && find(lib, "qs_strerror", a.strError, why);
    if (!ok) return nullptr;
    // The SDK the library chose; opening it again by its path hands back the same loaded library.
    const char* sdkWhy = nullptr;
    a.sdkPath = cameraSdk(&a.sdkName, &sdkWhy);
    if (a.sdkPath == nullptr) {
        why = sdkWhy != nullptr ? sdkWhy : "no camera SDK";
        return nullptr;
    }
    void* sdk = dlopen(a.sdkPath, RTLD_NOW | RTLD_LOCAL);
    if (sdk == nullptr) {
        const char* e = dlerror();
        why = e != nullptr ? e : "unknown reason";
        return nullptr;
    }
    decltype(&::MV_CC_GetSDKVersion) version = nullptr;
    const auto found = [&](const char* name, auto& fn) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(sdk, name));  // NOLINT: see find
        if (fn == nullptr) why = std::string(a.sdkPath) + " has no " + name;
        return fn != nullptr;
    };
    ok = found("MV_CC_Initialize", a.initialize) && found("MV_CC_Finalize", a.finalize) &&
         found("MV_CC_EnumDevices", a.enumDevices) && found("MV_CC_CreateHandleWithoutLog", a.createHandle) &&
         found("MV_CC_OpenDevice", a.openDevice) && found("MV_CC_SetCommandValue", a.setCommand) &&
         found("MV_CC_CloseDevice", a.closeDevice) && found("MV_CC_DestroyHandle", a.destroyHandle) &&
         found("MV_CC_GetSDKVersion", version);
    if (!ok) return nullptr;
    a.sdkVersion = version();
    g_api = a;
    g_loaded.store(&g_api);
    return &g_api;
}

const CameraApi* loaded_camera_api() {
    return g_loaded.load();
}

bool usbfs_api(UsbfsApi& api, std::string& why) {
    void* lib = capture_library(why);
    return lib != nullptr && find(lib, "HK_GetSysUsbfsMemCurrentSize", api.get, why) &&
           find(lib, "HK_SetSysUsbfsMemSize", api.set, why);
}

}  // namespace qscli

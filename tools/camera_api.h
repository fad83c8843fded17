// The camera parts of the quellshot program, loaded at run time: the capture library and, through
// it, the camera SDK. So the program starts on a board without the SDK: --help, --version and
// doctor work there, and the camera commands say why they cannot.
#pragma once

#include <MvCameraControl.h>

#include <string>

#include "quellshot.h"

namespace qscli {

struct CameraApi {
    decltype(&::Quellshot_Grab) grab;
    decltype(&::HK_GetCameraCount) cameraCount;
    decltype(&::HK_SetWaitAEDoneForTakePhoto) setWaitAE;
    decltype(&::qs_cancel) cancel;
    decltype(&::qs_last_errno) lastErrno;
    // Sessions: one camera kept open for settings, features and any number of photos.
    decltype(&::qs_open) sessionOpen;
    decltype(&::qs_close) sessionClose;
    decltype(&::qs_set_exposure) setExposure;
    decltype(&::qs_set_exposure_auto) setExposureAuto;
    decltype(&::qs_set_gain) setGain;
    decltype(&::qs_set_gain_auto) setGainAuto;
    decltype(&::qs_set_pixel_format) setPixelFormat;
    decltype(&::qs_set_roi) setRoi;
    decltype(&::qs_set_quality) setQuality;
    decltype(&::qs_feature_get) featureGet;
    decltype(&::qs_feature_set) featureSet;
    decltype(&::qs_feature_list) featureList;
    decltype(&::qs_capture) capture;
    decltype(&::qs_capture_fd) captureFd;
    decltype(&::qs_series) series;
    decltype(&::qs_strerror) strError;
    decltype(&::MV_CC_Initialize) initialize;
    decltype(&::MV_CC_Finalize) finalize;
    decltype(&::MV_CC_EnumDevices) enumDevices;
    decltype(&::MV_CC_CreateHandleWithoutLog) createHandle;
    decltype(&::MV_CC_OpenDevice) openDevice;
    decltype(&::MV_CC_SetCommandValue) setCommand;
    decltype(&::MV_CC_CloseDevice) closeDevice;
    decltype(&::MV_CC_DestroyHandle) destroyHandle;
    const char* sdkName;  // the SDK the library chose: "vendor", "aravis" or "sim"
    const char* sdkPath;
    unsigned int sdkVersion;  // MV_CC_GetSDKVersion's 0xAABBCCDD
};

// dlopen of a library by its file name through this program's own search path (run path, then the
// system's), looked up here: a sanitizer's dlopen wrapper would search with its own path instead.
void* open_library(const char* name, int flags);

// Loads the capture library once, and through it the camera SDK it chooses (later calls return the
// same table). NULL when either cannot be loaded; `why` then holds the reason. One thread at a time.
const CameraApi* camera_api(std::string& why);

// The table once loaded, else NULL. Async-signal-safe (for qs_cancel from a signal handler).
const CameraApi* loaded_camera_api();

// The usbfs functions of the capture library, which need no camera SDK: loaded without one, so that
// the limit can be read and set on a board where no SDK is installed yet. False, with `why`, when
// the library cannot be loaded.
struct UsbfsApi {
    decltype(&::HK_GetSysUsbfsMemCurrentSize) get;
    decltype(&::HK_SetSysUsbfsMemSize) set;
};
bool usbfs_api(UsbfsApi& api, std::string& why);

}  // namespace qscli

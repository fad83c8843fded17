// morven: resets every "Hikrobot" camera found over GigE or USB3, then exits with a status that
// tells the outcome (0 all reset, 255 no camera, 254 a broken list entry, else the SDK status).
#include <MvCameraControl.h>

#include <cstdio>
#include <cstring>

#include "internal/fieldcopy.h"
#include "swlog.h"
#include "swstring.h"

extern "C" {
// The tag at the head of every message of this tool.
SW_API const char* MODULE_NAME = "Morven";
}

namespace {

const char* const manufacturer = "Hikrobot";

const char* const kUsage =
    "Usage: morven\n"
    "Resets every \"Hikrobot\" camera found over GigE or USB3 (\"DeviceReset\"), one after the\n"
    "other. It takes no arguments. Exit status: 0 all reset (or none to reset), 255 no camera\n"
    "listed, 254 the camera SDK listed an empty entry, else the low eight bits of the failing\n"
    "camera SDK status (1 when those are 0); each failure is one log line on stdout.\n";

// Transport mask of the enumeration: GigE and USB3 together.
constexpr unsigned int kDeviceTypes = MV_GIGE_DEVICE | MV_USB_DEVICE;

// Closing is only meaningful for a handle that was created; results are of no use at this point.
void release_camera(void*& hCam) {
    if (hCam == nullptr) return;
    (void)MV_CC_CloseDevice(hCam);
    (void)MV_CC_DestroyHandle(hCam);
    hCam = nullptr;
}

int reset_all() {
    void* hCam = nullptr;
    MV_CC_DEVICE_INFO_LIST devList;
    memset(&devList, 0, sizeof devList);
    char name[192];
    int ret = MV_CC_Initialize();
    if (ret != MV_OK) {
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 相机SDK初始化失败, errCode=0x%x!!",
                              MODULE_NAME, static_cast<unsigned>(ret));
        goto end;
    }
    ret = MV_CC_EnumDevices(kDeviceTypes, &devList);
    if (ret != MV_OK) {
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 枚举相机,执行错误, errCode=0x%x!!",
                              MODULE_NAME, static_cast<unsigned>(ret));
        goto end;
    }
    if (devList.nDeviceNum == 0) {
        ret = -1;
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 没有相机,数量=%u!!", MODULE_NAME,
                              devList.nDeviceNum);
        goto end;
    }
    for (unsigned int index = 0; index < devList.nDeviceNum && index < MV_MAX_DEVICE_NUM; ++index) {
        MV_CC_DEVICE_INFO* pDevInfo = devList.pDeviceInfo[index];
        if (pDevInfo == nullptr) {
            ret = -2;
            sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__,
                                  "[%s] unexpected internal error, unable to obtain detailed "
                                  "information about the industrial camera!!",
                                  MODULE_NAME);
            goto end;
        }
        name[0] = '\0';
        if (pDevInfo->nTLayerType == MV_USB_DEVICE) {
            dudiz::copy_field(name, pDevInfo->SpecialInfo.stUsb3VInfo.chManufacturerName);
        } else if (pDevInfo->nTLayerType == MV_GIGE_DEVICE) {
            dudiz::copy_field(name, pDevInfo->SpecialInfo.stGigEInfo.chManufacturerName);
        }
        if (xstrcasecmp(name, manufacturer) != 0) continue;

        ret = MV_CC_CreateHandleWithoutLog(&hCam, pDevInfo);
        if (ret == MV_OK) ret = MV_CC_OpenDevice(hCam, MV_ACCESS_Exclusive, 0);
        if (ret != MV_OK) {
            sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 打开相机时发生错误, errCode=0x%x!!",
                                  MODULE_NAME, static_cast<unsigned>(ret));
            goto end;
        }
        ret = MV_CC_SetCommandValue(hCam, "DeviceReset");
        if (ret != MV_OK) {
            sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 重置相机时发生错误, errCode=0x%x!!",
                                  MODULE_NAME, static_cast<unsigned>(ret));
            goto end;
        }
        // Give this camera back before the next one is opened, so no handle but the last leaks.
        release_camera(hCam);
    }

end:
    release_camera(hCam);
    (void)MV_CC_Finalize();
    return ret;
}

}  // namespace

int main(int argc, char** argv) {
    // The tool acts on every camera at once, so an argument it does not know (a user asking for
    // help, say) must never be taken as a go-ahead.
    if (argc > 1) {
        if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
            (void)fputs(kUsage, stdout);
            return 0;
        }
        (void)fprintf(stderr, "morven: unexpected argument '%s'; nothing was reset\n%s", argv[1], kUsage);
        return 2;
    }
    const int ret = reset_all();
    // The shell sees only the low eight bits; an SDK failure such as 0x80000100 would read as
    // success, so such a status exits with 1 instead.
    if (ret != 0 && (ret & 0xff) == 0) return 1;
    return ret;
}

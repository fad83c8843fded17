// Camera census, the exposure-wait switch, and the kernel's usbfs memory limit.
#include <MvCameraControl.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/fieldcopy.h"
#include "qs_internal.h"
#include "swfile.h"
#include "swlog.h"
#include "swstring.h"

namespace qs {

namespace {

const char* const usbfsFile = "/sys/module/usbcore/parameters/usbfs_memory_mb";

}  // namespace

int usbfs_get(const char* path) {
    int val = -1;
    FILE* f = fopen(path, "re");
    if (f == nullptr) return -1;
    char buf[192];
    if (fgets(buf, sizeof buf, f) != nullptr) {
        // Like "%d", but a number outside int is refused rather than left undefined.
        char* end = nullptr;
        errno = 0;
        const long v = strtol(buf, &end, 10);
        if (end != buf && errno == 0 && v >= INT_MIN && v <= INT_MAX) val = static_cast<int>(v);
    }
    (void)fclose(f);
    return val;
}

int usbfs_set(const char* path, int val) {
    char buf[192];
    (void)snprintf(buf, sizeof buf, "%d\n", val);
    if (val < 0) return -1;
    const int len = static_cast<int>(strlen(buf));
    // The kernel refuses a value only when the write is flushed; sw_file_update reports that.
    return sw_file_update(path, "w", buf, len) == len ? 0 : -1;
}

}  // namespace qs

extern "C" int HK_GetCameraCount(void) {
    MV_CC_DEVICE_INFO_LIST devList;
    memset(&devList, 0, sizeof devList);
    int ret = MV_CC_Initialize();
    if (ret != MV_OK) {
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 相机SDK初始化失败, errCode=0x%x!!", MODULE_NAME,
                              static_cast<unsigned>(ret));
        (void)MV_CC_Finalize();
        return ret;
    }
    ret = MV_CC_EnumDevices(qs::device_type, &devList);
    if (ret != MV_OK) {
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__, "[%s] 枚举相机,执行错误, errCode=0x%x!!", MODULE_NAME,
                              static_cast<unsigned>(ret));
        (void)MV_CC_Finalize();
        return -1;
    }
    int cnt = 0;
    char name[192];
    for (unsigned int index = 0; index < devList.nDeviceNum && index < MV_MAX_DEVICE_NUM; ++index) {
        const MV_CC_DEVICE_INFO* pDevInfo = devList.pDeviceInfo[index];
        if (pDevInfo == nullptr) continue;
        name[0] = '\0';
        if (pDevInfo->nTLayerType == MV_USB_DEVICE) {
            dudiz::copy_field(name, pDevInfo->SpecialInfo.stUsb3VInfo.chManufacturerName);
        } else if (pDevInfo->nTLayerType == MV_GIGE_DEVICE) {
            dudiz::copy_field(name, pDevInfo->SpecialInfo.stGigEInfo.chManufacturerName);
        }
        if (xstrcasecmp(name, qs::manufacturer) == 0) ++cnt;
    }
    (void)MV_CC_Finalize();
    return cnt;
}

extern "C" int HK_SetWaitAEDoneForTakePhoto(int waitAE) {
    qs::waitAEDone.store(waitAE != 0 ? 1 : 0);
    return 0;
}

extern "C" int HK_GetSysUsbfsMemCurrentSize(void) { return qs::usbfs_get(qs::usbfsFile); }

extern "C" int HK_SetSysUsbfsMemSize(int val) { return qs::usbfs_set(qs::usbfsFile, val); }

// The camera SDK driven directly by the quellshot program (cli_cameras.h).
#include "cli_cameras.h"

#include <cstring>

#include "internal/fieldcopy.h"
#include "swstring.h"

namespace qscli {

namespace {

template <class Info>
void copy_names(Camera& c, const Info& info) {
    char buf[192];
    dudiz::copy_field(buf, info.chManufacturerName);
    c.manufacturer = buf;
    dudiz::copy_field(buf, info.chModelName);
    c.model = buf;
    dudiz::copy_field(buf, info.chSerialNumber);
    c.serial = buf;
    dudiz::copy_field(buf, info.chDeviceVersion);
    c.firmware = buf;
}

}  // namespace

int enumerate(std::vector<Camera>& cams, std::string& words) {
    MV_CC_DEVICE_INFO_LIST list;
    memset(&list, 0, sizeof list);
    const int ret = g_cam->enumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list);
    if (ret != MV_OK) {
        words = "the cameras could not be listed: " + sdk_words(ret);
        return ret;
    }
    for (unsigned i = 0; i < list.nDeviceNum && i < MV_MAX_DEVICE_NUM; ++i) {
        Camera c;
        c.index = i;
        c.info = list.pDeviceInfo[i];
        c.entry = c.info != nullptr;
        if (c.entry) {
            c.layerType = c.info->nTLayerType;
            if (c.layerType == MV_USB_DEVICE) {
                copy_names(c, c.info->SpecialInfo.stUsb3VInfo);
            } else if (c.layerType == MV_GIGE_DEVICE) {
                copy_names(c, c.info->SpecialInfo.stGigEInfo);
                const unsigned ip = c.info->SpecialInfo.stGigEInfo.nCurrentIp;
                if (ip != 0) c.address = dotted(ip);
            }
            c.hikrobot = xstrcasecmp(c.manufacturer.c_str(), kManufacturer) == 0;
        }
        cams.push_back(c);
    }
    return MV_OK;
}

int list_cameras(std::vector<Camera>& cams, std::string& words) {
    SdkSession sdk;
    if (sdk.status != MV_OK) {
        words = sdk.failure();
        return sdk.status;
    }
    return enumerate(cams, words);
}

const char* transport_name(const Camera& c) {
    if (!c.entry) return "none";
    if (c.layerType == MV_USB_DEVICE) return "usb3";
    if (c.layerType == MV_GIGE_DEVICE) return "gige";
    return "other";
}

}  // namespace qscli

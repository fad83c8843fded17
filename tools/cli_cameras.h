// The camera SDK driven directly by the quellshot program, for what the capture library does not
// offer: the list of every camera (list, doctor's usbfs check) and the reset (reset).
#pragma once

#include <MvCameraControl.h>

#include <string>
#include <vector>

#include "cli_common.h"

namespace qscli {

// One SDK session: MV_CC_Finalize follows every MV_CC_Initialize, a failed one too.
class SdkSession {
public:
    SdkSession() : status(g_cam->initialize()) {}
    ~SdkSession() { (void)g_cam->finalize(); }
    SdkSession(const SdkSession&) = delete;
    SdkSession& operator=(const SdkSession&) = delete;
    std::string failure() const { return "the camera SDK could not be initialised: " + sdk_words(status); }
    const int status;
};

struct Camera {
    unsigned index = 0;
    unsigned layerType = 0;
    bool entry = false;  // false: the SDK listed an empty entry here
    std::string manufacturer, model, serial;
    std::string address;  // GigE: the camera's IPv4 address, dotted; empty for the others
    std::string firmware;  // the device's version text, as the SDK lists it; may be empty
    bool hikrobot = false;
    MV_CC_DEVICE_INFO* info = nullptr;  // valid only within the session that listed it
};

// Lists the GigE and USB3 cameras within an open session; returns 0, or the SDK status and sets
// `words`.
int enumerate(std::vector<Camera>& cams, std::string& words);

// The same in a session of its own (the entries' info pointers are stale afterwards).
int list_cameras(std::vector<Camera>& cams, std::string& words);

const char* transport_name(const Camera& c);

}  // namespace qscli

// Fuzzes the simulator's scenario parser: any text is either accepted or refused with a message;
// it never crashes, and an accepted scenario enumerates without fault.
#include <MvCameraControl.h>
#include <camsim.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        // The parser reports refusals on stderr; thousands of them only slow the fuzzer down.
        return freopen("/dev/null", "w", stderr) != nullptr;
    }();
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    camsim_reset();
    if (camsim_load_scenario_text(text.c_str(), "fuzz") == 0) {
        if (MV_CC_Initialize() == MV_OK) {
            MV_CC_DEVICE_INFO_LIST list;
            memset(&list, 0, sizeof list);
            (void)MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list);
        }
        (void)MV_CC_Finalize();
    }
    camsim_reset();
    return 0;
}

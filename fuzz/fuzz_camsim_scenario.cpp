// Fuzzes the simulator's scenario parser: any text is either accepted, and then its cameras enumerate,
// or refused, and then every SDK call fails until the next load. It never crashes.
#include <MvCameraControl.h>
#include <camsim.h>

#include <cassert>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = freopen("/dev/null", "w", stderr) != nullptr;  // where refusals are printed
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool accepted = camsim_load_scenario_text(text.c_str(), "fuzz") == 0;
    camsim_clear_faults();        // an accepted scenario may fault any call
    MV_CC_DEVICE_INFO_LIST list;  // enumerated into
    const int want = accepted ? MV_OK : static_cast<int>(MV_E_UNKNOW), init = MV_CC_Initialize();
    const int listed = MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list), finalized = MV_CC_Finalize();
    assert(quiet && init == want && listed == want && finalized == want);
    return 0;
}

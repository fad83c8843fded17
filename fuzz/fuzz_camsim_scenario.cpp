// Fuzzes the simulator's scenario parser: any text is either accepted, and then its cameras enumerate,
// or refused, and then every SDK call fails until the next load. It never crashes.
//
// The simulator prints each refusal on stderr, and most fuzzed texts are refused: stderr goes to
// /dev/null during its calls only, so the oracle's failure and the fuzzer's own output still show,
// and a sanitizer's report goes to the stderr the program started with even from inside them.
#include <MvCameraControl.h>
#include <camsim.h>
#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" __attribute__((weak)) void __sanitizer_set_report_fd(void* fd);

namespace {

struct Streams {
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int loud = fcntl(2, F_DUPFD_CLOEXEC, 3);
    Streams() {
        if (__sanitizer_set_report_fd != nullptr && loud >= 0) {
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(loud)));
        }
    }
    bool swap_to(int fd) const { return fflush(stderr) == 0 && dup2(fd, 2) == 2; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Streams streams;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool silenced = streams.quiet >= 0 && streams.loud >= 0 && streams.swap_to(streams.quiet);
    const bool accepted = camsim_load_scenario_text(text.c_str(), "fuzz") == 0;
    camsim_clear_faults();        // an accepted scenario may fault any call
    MV_CC_DEVICE_INFO_LIST list;  // enumerated into
    const int want = accepted ? MV_OK : static_cast<int>(MV_E_UNKNOW), init = MV_CC_Initialize();
    const int listed = MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list), finalized = MV_CC_Finalize();
    const bool restored = streams.swap_to(streams.loud);
    assert(silenced && restored && init == want && listed == want && finalized == want);
    return 0;
}

// quellshot reset: "DeviceReset" to every "Hikrobot" camera, as morven does, and optionally a wait
// until each one is listed again.
#include <algorithm>
#include <string>
#include <vector>

#include "cli_cameras.h"

namespace qscli {

namespace {

// After "DeviceReset" a camera may still answer an enumeration for a moment before it reboots;
// one that was never seen missing counts as back only after this long.
constexpr double kLeaveGraceMs = 3000;
constexpr int kPollMs = 200;

const char* const kResetHelp =
    "Usage: quellshot reset [--wait S] [--json]\n"
    "\n"
    "Sends \"DeviceReset\" to every \"Hikrobot\" camera, in list order, each one closed before the\n"
    "next is opened. The first failure ends the run, as does SIGINT or SIGTERM (result -20).\n"
    "  --wait S   then wait up to S whole seconds (0..86400) until every reset camera is listed\n"
    "             again (by serial number); those missing at the end are a failure. A camera\n"
    "             never seen leaving the list counts as back after 3 s or at the end of the\n"
    "             wait (right after the reset it may still be listed)\n"
    "  --json     {\"result\": 0, \"reset\": [serials], and with --wait \"back\": [serials],\n"
    "             \"missing\": [serials], \"waited_ms\": N}\n"
    "Results: 0, -1 no camera listed, -2 the SDK listed an empty entry, 10 not every camera\n"
    "came back in time, or the failing camera SDK status.\n";

// A device handle that is closed and destroyed when it goes, as the reset tool gives each camera
// back before it opens the next.
class DeviceHandle {
public:
    void* h = nullptr;
    DeviceHandle() = default;
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;
    ~DeviceHandle() {
        if (h == nullptr) return;
        (void)g_cam->closeDevice(h);
        (void)g_cam->destroyHandle(h);
    }
};

struct ResetOutcome {
    int result = 0;
    std::string words;
    std::vector<std::string> reset;
};

ResetOutcome reset_all() {
    ResetOutcome o;
    SdkSession sdk;
    if (sdk.status != MV_OK) return {sdk.status, sdk.failure(), {}};
    std::vector<Camera> cams;
    std::string words;
    const int ret = enumerate(cams, words);
    if (ret != MV_OK) return {ret, words, {}};
    if (cams.empty()) return {-1, "no camera listed", {}};
    for (const Camera& c : cams) {
        if (!c.entry) {
            o.result = -2;
            o.words = "the camera SDK listed an empty entry (position " + std::to_string(c.index) + ")";
            return o;
        }
        if (!c.hikrobot) continue;
        if (interrupted()) {  // a camera reset after Ctrl-C would be a reboot nobody wanted
            o.result = kCancelledResult;
            o.words = "interrupted; camera " + printable(c.serial) + " and those after it were not reset";
            return o;
        }
        DeviceHandle dev;
        int r = g_cam->createHandle(&dev.h, c.info);
        if (r == MV_OK) r = g_cam->openDevice(dev.h, MV_ACCESS_Exclusive, 0);
        if (r != MV_OK) {
            o.result = r;
            o.words = "camera " + printable(c.serial) + " could not be opened: " + sdk_words(r);
            return o;
        }
        r = g_cam->setCommand(dev.h, "DeviceReset");
        if (r != MV_OK) {
            o.result = r;
            o.words = "camera " + printable(c.serial) + " refused the reset: " + sdk_words(r);
            return o;
        }
        o.reset.push_back(c.serial);
    }
    return o;
}

struct WaitOutcome {
    std::vector<std::string> back, missing;
    long long waitedMs = 0;
};

// Polls the device list until every serial is listed again or `seconds` have passed. A camera
// that was never seen missing counts only after the grace time, since it may not have left yet.
WaitOutcome wait_back(const std::vector<std::string>& serials, int seconds) {
    WaitOutcome w;
    const double t0 = mono_ms(), until = t0 + seconds * 1000.0;
    std::vector<bool> gone(serials.size(), false), back(serials.size(), false);
    for (;;) {
        std::vector<Camera> cams;
        std::string ignored;  // a failed listing shows no camera; the next poll tries again
        if (list_cameras(cams, ignored) != MV_OK) cams.clear();
        const double now = mono_ms();
        const bool last = now >= until;
        bool all = true;
        for (size_t i = 0; i < serials.size(); ++i) {
            bool listed = false;
            for (const Camera& c : cams) listed = listed || (c.entry && c.serial == serials[i]);
            if (!listed) gone[i] = true;
            if (listed && (gone[i] || now - t0 >= kLeaveGraceMs || last)) back[i] = true;
            all = all && back[i];
        }
        if (all || last || interrupted()) break;
        sleep_ms(static_cast<int>(std::min<double>(kPollMs, std::max(1.0, until - mono_ms()))));
    }
    w.waitedMs = static_cast<long long>(mono_ms() - t0);
    for (size_t i = 0; i < serials.size(); ++i) (back[i] ? w.back : w.missing).push_back(serials[i]);
    return w;
}

int cmd_reset(Output& out, const Options& o) {
    const ResetOutcome r = reset_all();
    if (!out.json) {
        for (const std::string& s : r.reset) out.print("reset %s\n", printable(s).c_str());
        out.flush();
    }
    auto resetField = [&r](Json& j) { j.key("reset").strings(r.reset); };
    if (r.result != 0) return fail(out, "reset", r.result, r.words, resetField);
    if (!out.json && r.reset.empty()) out.print("no \"Hikrobot\" camera to reset\n");
    WaitOutcome w;
    const bool waited = o.wait >= 0 && !r.reset.empty();
    if (waited) {
        if (!out.json) {
            out.print("waiting up to %d s for %zu camera(s) to come back\n", o.wait, r.reset.size());
            out.flush();
        }
        w = wait_back(r.reset, o.wait);
    }
    auto fields = [&](Json& j) {
        resetField(j);
        if (o.wait >= 0)
            j.key("back").strings(w.back).key("missing").strings(w.missing).key("waited_ms").num(w.waitedMs);
    };
    if (!w.missing.empty()) {
        std::string names;
        for (const std::string& s : w.missing) names += (names.empty() ? "" : ", ") + printable(s);
        char when[64];  // a wait cut short by a signal did not last the time asked for
        if (interrupted()) {
            (void)snprintf(when, sizeof when, "when the wait was interrupted after %.1f s",
                           static_cast<double>(w.waitedMs) / 1000.0);
        } else {
            (void)snprintf(when, sizeof when, "within %d s", o.wait);
        }
        return fail(out, "reset", 10, std::string("not listed again ") + when + ": " + names, fields);
    }
    if (out.json) {
        Json j;
        j.key("result").num(0);
        fields(j);
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    if (waited) out.print("all back after %.1f s\n", static_cast<double>(w.waitedMs) / 1000.0);
    return kExitOk;
}

}  // namespace

Command reset_command() {
    return {"reset", kResetHelp, {"--wait", "--json", "--quiet"}, 0, 0, "", cmd_reset, true, nullptr};
}

}  // namespace qscli

// quellshot count and usbfs: the number of attached "Hikrobot" cameras; the kernel's usbfs memory limit.
#include <unistd.h>

#include <climits>
#include <string>

#include "cli_common.h"

namespace qscli {

namespace {

const char* const kCountHelp =
    "Usage: quellshot count [--json]\n"
    "\n"
    "Prints the number of attached cameras of the manufacturer \"Hikrobot\" (0 is success).\n"
    "  --json   {\"result\": 0, \"count\": N}\n";

const char* const kUsbfsHelp =
    "Usage: quellshot usbfs [--json] [MB]\n"
    "\n"
    "Without MB, prints the kernel's limit on memory for user-space USB transfers, in megabytes\n"
    "(0 means no limit). With MB (0..2147483647), sets it; that needs root and lasts until the\n"
    "next boot (add usbcore.usbfs_memory_mb=MB to the kernel command line to keep it).\n"
    "  --json   {\"result\": 0, \"usbfs_mb\": N}\n";

int cmd_count(Output& out, const Options&) {
    const int n = g_cam->cameraCount();
    if (n < 0) {
        // The census answers -1 when the listing fails, and the SDK status when it cannot start.
        return fail(out, "count", n,
                    n == -1 ? "the cameras could not be listed"
                            : "the camera SDK could not be initialised: " + sdk_words(n));
    }
    if (out.json) {
        Json j;
        j.key("result").num(0).key("count").num(n);
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    out.print("%d\n", n);
    return kExitOk;
}

int cmd_usbfs(Output& out, const Options& o) {
    UsbfsApi usbfs{};
    std::string loadWhy;
    if (!usbfs_api(usbfs, loadWhy))
        return fail(out, "usbfs", -1, "cannot load the camera library: " + loadWhy);
    if (o.setMb >= 0) {
        if (usbfs.set(o.setMb) != 0) {
            const std::string why = geteuid() != 0 ? " (setting it needs root)" : "";
            return fail(out, "usbfs", -1, std::string("cannot write ") + kUsbfsFile + why);
        }
    }
    const int mb = usbfs.get();
    if (mb < 0) return fail(out, "usbfs", -1, std::string("cannot read ") + kUsbfsFile);
    if (out.json) {
        Json j;
        j.key("result").num(0).key("usbfs_mb").num(mb);
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    out.print("usbfs memory limit: %d MB%s\n", mb, mb == 0 ? " (no limit)" : "");
    return kExitOk;
}

// MB, when given, is the limit to set.
std::string check_usbfs(Options& o) {
    if (!o.args.empty() && !parse_int(o.args[0], 0, INT_MAX, o.setMb)) {
        return "MB must be a whole number 0.." + std::to_string(INT_MAX) + ", not '" + o.args[0] + "'";
    }
    return "";
}

}  // namespace

Command count_command() {
    return {"count", kCountHelp, {"--json", "--quiet"}, 0, 0, "", cmd_count, true, nullptr};
}

Command usbfs_command() {
    return {"usbfs", kUsbfsHelp, {"--json", "--quiet"}, 0, 1, "MB", cmd_usbfs, false, check_usbfs};
}

}  // namespace qscli

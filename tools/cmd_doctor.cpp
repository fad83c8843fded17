// quellshot doctor: checks the set-up (camera SDK, usbfs memory limit, lock directory); each problem
// comes with a fix that can work there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli_cameras.h"
#include "lockdir.h"

namespace qscli {

namespace {

// The kernel's default limit; a USB3 camera streaming at full rate needs about that much on its
// own, so the rule is this much per USB3 camera (0 means no limit at all).
constexpr int kUsbfsMbPerCamera = 16;

const char* const kDoctorHelp =
    "Usage: quellshot doctor [--json]\n"
    "\n"
    "Checks that the camera SDK library can be loaded, that the usbfs memory limit suits the USB3\n"
    "cameras found (rule: at least 16 MB per USB3 camera, or 0 for no limit) and that the\n"
    "directory where captures keep their lock file is writable: $QUELLSHOT_LOCKDIR when set,\n"
    "/run/lock/quellshot/ for an installed toolkit, else status/ beside this program.\n"
    "Each check prints ok or problem, and a fix for a problem. Exit status 1 when any check\n"
    "found a problem.\n"
    "  --json   {\"result\": 0 or 1, \"checks\": [{\"check\", \"ok\", \"detail\", \"fix\"}, ...]}\n";

struct Check {
    const char* name;
    const char* title;
    bool ok;
    std::string detail, fix;
};

Check check_sdk() {
    Check c{"sdk", "camera SDK", false, {}, {}};
    if (g_cam == nullptr) {
        c.detail = g_camWhy;
        c.fix =
            "install the camera vendor's SDK (MVS), or the package quellshot-toolkit-aravis for GigE Vision and "
            "USB3 Vision cameras without it; QUELLSHOT_SDK=vendor|aravis|sim|PATH chooses among those installed";
        return c;
    }
    const std::string version = dotted(g_cam->sdkVersion);
    c.ok = true;
    c.detail = std::string(g_cam->sdkName) + (strcmp(g_cam->sdkName, "vendor") == 0 ? " SDK " : " backend ") +
               version + " (" + g_cam->sdkPath + ")";
    return c;
}

Check check_usbfs() {
    Check c{"usbfs", "usbfs memory", false, {}, {}};
    if (g_cam == nullptr) {
        // The camera SDK check already reports the cause; this one cannot count USB3 cameras.
        c.ok = true;
        c.detail = "not checked: needs the camera SDK to count the USB3 cameras";
        return c;
    }
    std::vector<Camera> cams;
    std::string words;
    const int ret = list_cameras(cams, words);
    if (ret != MV_OK) {
        c.detail = "result " + code_text(ret) + ": " + words;
        c.fix =
            "check the camera SDK installation and the cameras' cables and power, then run 'quellshot list'";
        return c;
    }
    int usb3 = 0;
    for (const Camera& cam : cams) usb3 += cam.entry && cam.layerType == MV_USB_DEVICE;
    UsbfsApi usbfs{};
    std::string ignored;  // the library loaded already, for the camera SDK
    const int mb = usbfs_api(usbfs, ignored) ? usbfs.get() : -1;
    const int need = usb3 * kUsbfsMbPerCamera;
    const std::string rule =
        "rule: at least " + std::to_string(kUsbfsMbPerCamera) + " MB per USB3 camera, or 0 for no limit";
    if (usb3 == 0) {
        c.ok = true;
        c.detail = "no USB3 camera found, so the limit does not matter (" +
                   (mb < 0 ? std::string("unreadable") : std::to_string(mb) + " MB") + ")";
        return c;
    }
    const std::string cams3 = std::to_string(usb3) + " USB3 camera" + (usb3 == 1 ? "" : "s");
    if (mb < 0) {
        c.detail = std::string("cannot read ") + kUsbfsFile + " with " + cams3 + " attached";
        c.fix = "load the usbcore module and make sure /sys is mounted";
        return c;
    }
    if (mb == 0 || mb >= need) {
        c.ok = true;
        c.detail = (mb == 0 ? std::string("no limit") : std::to_string(mb) + " MB") + " for " + cams3 + " (" +
                   rule + ")";
        return c;
    }
    c.detail = std::to_string(mb) + " MB is too little for " + cams3 + ": at least " + std::to_string(need) +
               " MB (" + rule + ")";
    c.fix = "as root: quellshot usbfs " + std::to_string(need) +
            " (lasts until the next boot); to keep it, add usbcore.usbfs_memory_mb=" + std::to_string(need) +
            " to the kernel command line";
    return c;
}

// Whether a file can be created in `dir` (ending in '/'): the real test, which also catches a
// read-only file system and holds for root, unlike access().
int try_create_in(const std::string& dir, bool directory) {
    std::string tmpl = (dir.empty() ? std::string("./") : dir) + ".quellshot-doctor-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (directory) {
        if (mkdtemp(buf.data()) == nullptr) return errno;
        (void)rmdir(buf.data());
        return 0;
    }
    const int fd = mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    (void)unlink(buf.data());
    return 0;
}

Check check_lock_dir() {
    Check c{"lock_dir", "lock directory", false, {}, {}};
    const std::string dir = lock_dir();
    const std::string bare = dir.substr(0, dir.size() - 1);
    const char* env = getenv(qs::kLockDirVariable);  // NOLINT(concurrency-mt-unsafe): nothing sets it
    const bool chosen = env != nullptr && env[0] != '\0';
    const bool system = !chosen && dir == qs::kSystemLockDir;
    // Advice that can work where this directory lives: a read-only file system takes no chmod.
    std::string elsewhere = std::string("set ") + qs::kLockDirVariable +
                                  " to a directory every user of the cameras may write to (the same one for "
                                  "every program that must exclude the others)";
    const auto fix = [&](int err) {
        if (err == EROFS && !system) return elsewhere;
        if (system) {
            return "as root: install -d -m 1777 " + bare + " (the quellshot-toolkit package does this)";
        }
        return "as root: mkdir -p " + bare + " && chmod 1777 " + bare + "; or " + elsewhere;
    };
    c.detail = chosen ? std::string("from ") + qs::kLockDirVariable + ": " : "";
    struct stat st {};
    // The library takes no lock in a directory that leaves too little room for the lock file's name.
    if (dir.empty() || !qs::lock_dir_fits(dir.size())) {
        c.detail += "the lock directory's path is too long";
        c.fix = elsewhere;
        return c;
    }
    if (stat(bare.c_str(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT) {
            c.detail += "cannot examine " + dir + ": " + errorText(err);
            c.fix = fix(err);
            return c;
        }
        // The capture creates it with mkdir -p; that works when the nearest existing parent takes it.
        // A relative path ends at ".", and a missing parent may have a one-letter name ("a/locks").
        std::string parent = bare;
        while (!parent.empty() && parent != "/" && parent != "." && stat(parent.c_str(), &st) != 0) {
            const size_t slash = parent.rfind('/');
            parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
        }
        const int e = try_create_in(parent == "/" ? parent : parent + "/", true);
        if (e != 0) {
            c.detail += dir + " does not exist and cannot be created: " + errorText(e);
            c.fix = fix(e);
            return c;
        }
        c.ok = true;
        c.detail += dir + " does not exist yet; the first capture creates it";
        return c;
    }
    if (!S_ISDIR(st.st_mode)) {
        c.detail += dir + " exists but is not a directory";
        c.fix = chosen ? elsewhere : "remove it (rm " + bare + "); the next capture creates the directory";
        return c;
    }
    const int e = try_create_in(dir, false);
    if (e != 0) {
        c.detail += dir + " is not writable: " + errorText(e);
        c.fix = fix(e);
        return c;
    }
    c.ok = true;
    c.detail += dir + " is writable";
    LockHolder holder;
    if (find_lock_holder(dir + qs::kLockName, holder)) {
        c.detail +=
            "; a capture is running in process " + std::to_string(holder.pid) + " (" + holder.comm + ")";
    }
    return c;
}

int cmd_doctor(Output& out, const Options&) {
    const Check checks[] = {check_sdk(), check_usbfs(), check_lock_dir()};
    int problems = 0;
    for (const Check& c : checks) problems += !c.ok;
    if (out.json) {
        Json j;
        j.key("result").num(problems == 0 ? 0 : 1).key("checks").open('[');
        for (const Check& c : checks) {
            j.open('{').key("check").str(c.name).key("ok").boolean(c.ok).key("detail").str(c.detail);
            j.key("fix").str(c.fix).close('}');
        }
        j.close(']');
        return out.emit(j) && problems == 0 ? kExitOk : kExitFailure;
    }
    for (const Check& c : checks) {
        out.print("%-9s %s: %s\n", c.ok ? "ok" : "PROBLEM", c.title, printable(c.detail).c_str());
        if (!c.ok) out.print("%-9s fix: %s\n", "", printable(c.fix).c_str());
    }
    if (problems == 0) {
        out.print("all checks passed\n");
    } else {
        out.print("%d problem%s found\n", problems, problems == 1 ? "" : "s");
    }
    return problems == 0 ? kExitOk : kExitFailure;
}

}  // namespace

Command doctor_command() {
    return {"doctor", kDoctorHelp, {"--json", "--quiet"}, 0, 0, "", cmd_doctor, false, nullptr};
}

}  // namespace qscli

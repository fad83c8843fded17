// quellshot: the command-line front end of the capture library, for people on the board and for
// scripts: take a photo, count and list cameras, read or set the usbfs memory limit, reset the
// cameras and check the set-up. Exit status 0 success, 1 failure, 2 usage error.
#include <MvCameraControl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "camera_api.h"
#include "cli_output.h"
#include "cli_progress.h"
#include "internal/fieldcopy.h"
#include "lockdir.h"
#include "swdir.h"
#include "swlog.h"
#include "swstring.h"

#ifndef QS_VERSION
#define QS_VERSION "unknown"
#endif

namespace {

using qscli::Json;
using qscli::mono_ms;
using qscli::Output;
using qscli::printable;
using qscli::Progress;
using qscli::camera_api;
using qscli::sleep_ms;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr int kCancelledResult = -20;  // the library's result for a capture ended by qs_cancel
constexpr int kDefaultTimeoutS = 30;
constexpr int kMaxTimeoutS = 2147483;  // INT_MAX milliseconds, the library's longest wait
constexpr int kMaxWaitS = 86400;
const char* const kManufacturer = "Hikrobot";
const char* const kUsbfsFile = "/sys/module/usbcore/parameters/usbfs_memory_mb";
// The kernel's default limit; a USB3 camera streaming at full rate needs about that much on its
// own, so the rule is this much per USB3 camera (0 means no limit at all).
constexpr int kUsbfsMbPerCamera = 16;
// After "DeviceReset" a camera may still answer an enumeration for a moment before it reboots;
// one that was never seen missing counts as back only after this long.
constexpr double kLeaveGraceMs = 3000;
constexpr int kPollMs = 200;

const char* const kHelp =
    "Usage: quellshot COMMAND [OPTIONS] [ARGS]\n"
    "\n"
    "Takes photos with a \"Hikrobot\" camera and looks after the cameras of this board.\n"
    "\n"
    "Commands:\n"
    "  grab [--bmp|--jpg] [--timeout S] [--no-ae-wait] [--json] [--quiet] PATH\n"
    "                        take one photo with the first \"Hikrobot\" camera and save it\n"
    "  count [--json]        count the attached \"Hikrobot\" cameras\n"
    "  list [--json]         list every camera: transport, manufacturer, model, serial, address\n"
    "  usbfs [--json] [MB]   read the kernel's usbfs memory limit, or set it (root)\n"
    "  reset [--wait S] [--json]\n"
    "                        reset every \"Hikrobot\" camera; with --wait, check they come back\n"
    "  doctor [--json]       check the set-up; each problem comes with a fix\n"
    "\n"
    "Options:\n"
    "  -h, --help            show this help (also: quellshot COMMAND --help)\n"
    "  --version             show the version\n"
    "  --json                print exactly one JSON object on stdout, with \"result\" (0 on\n"
    "                        success)\n"
    "  --quiet               leave out the library's info and debug lines (errors remain)\n"
    "\n"
    "Stdout carries only the command's own output; the library's log lines go to stderr.\n"
    "Exit status: 0 success, 1 failure (the result code and its meaning are printed), 2 usage\n"
    "error (only a message on stderr, also with --json), 130 or 143 after SIGINT or SIGTERM\n"
    "(a capture is torn down first and saves nothing; a second signal ends the program at once).\n";

const char* const kGrabHelp =
    "Usage: quellshot grab [--bmp|--jpg] [--timeout S] [--no-ae-wait] [--json] [--quiet] PATH\n"
    "\n"
    "Takes one photo with the first \"Hikrobot\" camera (GigE or USB3) and saves it at PATH.\n"
    "\".jpg\" or \".bmp\" is appended unless PATH already contains it (ignoring case). PATH names\n"
    "a file in a directory that exists and is writable (checked before the camera starts); the\n"
    "file is replaced only when the photo was saved.\n"
    "\n"
    "  --jpg          save a JPEG, quality 90 (the default)\n"
    "  --bmp          save a BMP\n"
    "  --timeout S    give up after S whole seconds, 1..2147483 (default 30). Every frame takes\n"
    "                 more than 1 s; waiting for automatic exposure to settle takes at least four\n"
    "                 frames and at most 180 s, so use a longer time-out for such cameras.\n"
    "  --no-ae-wait   save the first frame, without waiting for automatic exposure to settle\n"
    "  --json         one JSON object on stdout: result, path, model, serial, exposure_us,\n"
    "                 elapsed_ms (on failure: result, error, errno when a file operation\n"
    "                 failed, and for -2 lock_holder)\n"
    "  --quiet        no info or debug lines of the library (and no progress line)\n"
    "\n"
    "On a terminal the progress (triggers, exposure readings, the settle run) is shown on one\n"
    "updating line. Only one capture runs at a time: a second one fails at once with -2, and\n"
    "the program that holds the lock is named when it can be found.\n";

const char* const kCountHelp =
    "Usage: quellshot count [--json]\n"
    "\n"
    "Prints the number of attached cameras of the manufacturer \"Hikrobot\" (0 is success).\n"
    "  --json   {\"result\": 0, \"count\": N}\n";

const char* const kListHelp =
    "Usage: quellshot list [--json]\n"
    "\n"
    "Lists every camera the camera SDK finds over GigE and USB3, in its order: transport,\n"
    "manufacturer, model, serial number and, for GigE, the IPv4 address; \"*\" marks the\n"
    "\"Hikrobot\" cameras.\n"
    "  --json   {\"result\": 0, \"cameras\": [{\"index\", \"transport\" (gige, usb3, other, none),\n"
    "           \"layer_type\", \"manufacturer\", \"model\", \"serial\", \"ip\" (GigE only),\n"
    "           \"hikrobot\"}, ...]}\n";

const char* const kUsbfsHelp =
    "Usage: quellshot usbfs [--json] [MB]\n"
    "\n"
    "Without MB, prints the kernel's limit on memory for user-space USB transfers, in megabytes\n"
    "(0 means no limit). With MB (0..2147483647), sets it; that needs root and lasts until the\n"
    "next boot (add usbcore.usbfs_memory_mb=MB to the kernel command line to keep it).\n"
    "  --json   {\"result\": 0, \"usbfs_mb\": N}\n";

const char* const kResetHelp =
    "Usage: quellshot reset [--wait S] [--json]\n"
    "\n"
    "Sends \"DeviceReset\" to every \"Hikrobot\" camera, in list order, each one closed before the\n"
    "next is opened. The first failure ends the run.\n"
    "  --wait S   then wait up to S whole seconds (0..86400) until every reset camera is listed\n"
    "             again (by serial number); those missing at the end are a failure. A camera\n"
    "             never seen leaving the list counts as back after 3 s or at the end of the\n"
    "             wait (right after the reset it may still be listed)\n"
    "  --json     {\"result\": 0, \"reset\": [serials], and with --wait \"back\": [serials],\n"
    "             \"missing\": [serials], \"waited_ms\": N}\n"
    "Results: 0, -1 no camera listed, -2 the SDK listed an empty entry, 10 not every camera\n"
    "came back in time, or the failing camera SDK status.\n";

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

// The camera parts, once loaded (camera_api.h); the commands that need a camera load them first.
const qscli::CameraApi* g_cam = nullptr;
std::string g_camWhy;  // why g_cam is NULL

// ---- signals -----------------------------------------------------------------------------------

// The first SIGINT or SIGTERM asks the capture to stop (it tears down: camera closed, lock
// released, nothing saved) and the command to end; the program then exits 128 + the signal. A
// second one ends the program at once.
std::atomic<int> g_signal{0};

void on_signal(int sig) {
    if (g_signal.exchange(sig) != 0) _exit(128 + sig);
    if (const qscli::CameraApi* cam = qscli::loaded_camera_api()) cam->cancel();
}

void catch_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    (void)sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);
}

bool interrupted() { return g_signal.load() != 0; }

// ---- result codes -------------------------------------------------------------------------------

// A status of the camera SDK (its codes have the top bit set), as opposed to our small codes.
bool is_sdk_status(int r) {
    return (static_cast<unsigned>(r) & 0x80000000u) != 0 && r < -1000;
}

std::string code_text(int r) {
    char buf[32];
    if (is_sdk_status(r)) {
        (void)snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(r));
    } else {
        (void)snprintf(buf, sizeof buf, "%d", r);
    }
    return buf;
}

// Four bytes, most significant first, as "a.b.c.d": an IPv4 address, an SDK version.
std::string dotted(unsigned v) {
    return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFFu) + "." +
           std::to_string((v >> 8) & 0xFFu) + "." + std::to_string(v & 0xFFu);
}

std::string sdk_words(int r) {
    const unsigned st = static_cast<unsigned>(r);
    struct Name {
        unsigned code;
        const char* words;
    };
    // Only the codes this SDK header declares; the vendor's has more.
    static const Name names[] = {
#ifdef MV_E_HANDLE
        {MV_E_HANDLE, "invalid or destroyed handle"},
#endif
#ifdef MV_E_SUPPORT
        {MV_E_SUPPORT, "not supported"},
#endif
#ifdef MV_E_BUFOVER
        {MV_E_BUFOVER, "buffer overflow"},
#endif
#ifdef MV_E_CALLORDER
        {MV_E_CALLORDER, "functions called out of order"},
#endif
#ifdef MV_E_PARAMETER
        {MV_E_PARAMETER, "bad parameter"},
#endif
#ifdef MV_E_RESOURCE
        {MV_E_RESOURCE, "resources exhausted"},
#endif
#ifdef MV_E_NODATA
        {MV_E_NODATA, "no data"},
#endif
#ifdef MV_E_PRECONDITION
        {MV_E_PRECONDITION, "precondition not met (was the camera reset or unplugged?)"},
#endif
#ifdef MV_E_NOENOUGH_BUF
        {MV_E_NOENOUGH_BUF, "output buffer too small"},
#endif
#ifdef MV_E_UNKNOW
        {MV_E_UNKNOW, "unknown error"},
#endif
#ifdef MV_E_ACCESS_DENIED
        {MV_E_ACCESS_DENIED, "access denied: the camera is open in another program"},
#endif
    };
    for (const Name& n : names) {
        if (n.code == st) return std::string("camera SDK status: ") + n.words;
    }
    return "camera SDK status";
}

// The meaning of a result of Quellshot_Grab (the table of quellshot.h).
std::string grab_words(int r) {
    switch (r) {
        case 0:
            return "photo saved";
        case -1:
            return "the capture's lock file cannot be created or opened";
        case -2:
            return "another capture holds the lock";
        case -3:
            return "no camera listed";
        case -4:
            return "the camera SDK listed an empty entry";
        case -5:
            return "a listed camera is neither GigE nor USB3";
        case -6:
            return "no camera of the manufacturer \"Hikrobot\"";
        case -7:
            return "a GigE camera reported no usable packet size";
        case -8:
            return "the capture worker's signal could not be created";
        case -9:
            return "the capture worker thread could not be created";
        case 10:
            return "the capture did not finish within the time-out; nothing was saved";
        case -20:
            return "the capture was cancelled; nothing was saved";
        case -15:
            return "no path given";
        case -16:
            return "bad image type";
        case -17:
            return "out of memory for the image";
        case -18:
            return "out of memory for the file name";
        case -19:
            return "the image file was not written completely (missing or read-only directory, full "
                   "disk, or the camera delivered a bad image)";
        default:
            return is_sdk_status(r) ? sdk_words(r) : "unknown result";
    }
}

// ---- the capture lock and who holds it ---------------------------------------------------------

// Where the library keeps its lock (lockdir.h: QUELLSHOT_LOCKDIR, the system's lock directory for an
// installed toolkit, else status/ beside this program), with a trailing '/'.
std::string lock_dir() {
    char exeDir[SW_PATH_MAX + 1];
    memset(exeDir, 0, sizeof exeDir);
    (void)xGetSelfRunningInfo(exeDir, nullptr);
    char dir[SW_PATH_MAX + 64];
    qs::lock_dir(dir, sizeof dir, exeDir);
    return dir;
}

struct LockHolder {
    long pid = 0;
    std::string comm;
};

bool read_file(const std::string& path, std::string& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

// The process holding a flock on `path`, from /proc/locks (pid, device and inode of each lock).
bool find_lock_holder(const std::string& path, LockHolder& holder) {
    struct stat st {};
    std::string locks;
    if (stat(path.c_str(), &st) != 0 || !read_file("/proc/locks", locks)) return false;
    long inodeOnly = 0;  // a match by inode alone, should the device numbers not compare
    size_t pos = 0;
    while (pos < locks.size()) {
        size_t end = locks.find('\n', pos);
        if (end == std::string::npos) end = locks.size();
        const std::string line = locks.substr(pos, end - pos);
        pos = end + 1;
        if (line.find("->") != std::string::npos) continue;  // a waiter, not the holder
        char type[16] = {0};
        long pid = 0;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        // The kernel writes these fields; a line that does not hold all five is skipped.
        if (sscanf(line.c_str(), "%*s %15s %*s %*s %ld %x:%x:%llu", type, &pid, &maj, &min,  // NOLINT(cert-err34-c)
                   &ino) != 5)
            continue;
        if (strcmp(type, "FLOCK") != 0 || ino != static_cast<unsigned long long>(st.st_ino) || pid <= 0)
            continue;
        if (maj == major(st.st_dev) && min == minor(st.st_dev)) {
            holder.pid = pid;
            break;
        }
        if (inodeOnly == 0) inodeOnly = pid;
    }
    if (holder.pid == 0) holder.pid = inodeOnly;
    if (holder.pid == 0) return false;
    std::string comm;
    if (read_file("/proc/" + std::to_string(holder.pid) + "/comm", comm)) {
        while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r')) comm.pop_back();
        holder.comm = comm;
    }
    return true;
}

// ---- failures ----------------------------------------------------------------------------------

// Reports a failed result: words on stderr, or the JSON object (`extra` adds the command's
// fields). Returns the exit status.
int fail(Output& out, const char* command, int result, const std::string& words,
         const std::function<void(Json&)>& extra = nullptr) {
    LockHolder holder;
    const bool lockHeld = result == -2 && strcmp(command, "grab") == 0;
    const bool known = lockHeld && find_lock_holder(lock_dir() + "quellshot.lock", holder);
    if (out.json) {
        Json j;
        j.key("result").num(result).key("error").str(words);
        if (extra) extra(j);
        if (is_sdk_status(result)) j.key("sdk_status").str(code_text(result));
        if (lockHeld) {
            j.key("lock_holder");
            if (known) {
                j.open('{').key("pid").num(holder.pid).key("comm").str(holder.comm).close('}');
            } else {
                j.null();
            }
        }
        out.emit(j);
        return kExitFailure;
    }
    (void)fprintf(stderr, "quellshot %s: failed, result %s: %s\n", command, code_text(result).c_str(),
            words.c_str());
    if (lockHeld) {
        if (known) {
            (void)fprintf(stderr, "quellshot %s: the lock is held by process %ld (%s)\n", command, holder.pid,
                    printable(holder.comm).c_str());
        } else {
            (void)fprintf(stderr, "quellshot %s: the process holding the lock could not be found\n", command);
        }
    }
    return kExitFailure;
}

// ---- arguments ---------------------------------------------------------------------------------

struct Usage {
    std::string error;  // empty: fine
};

struct Options {
    bool help = false, json = false, bmp = false, jpg = false, noAeWait = false, quiet = false;
    int timeout = kDefaultTimeoutS;
    int wait = -1;   // -1: no --wait
    int setMb = -1;  // usbfs MB; -1: only read
    std::vector<std::string> args;
};

bool parse_int(const std::string& text, long lo, long hi, int& out) {
    if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return false;
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

// Parses the words after the command. `accepted` lists the options the command takes.
Usage parse_options(const std::vector<std::string>& words, const std::vector<std::string>& accepted,
                    Options& o) {
    auto takes = [&](const std::string& name) {
        for (const std::string& a : accepted) {
            if (a == name) return true;
        }
        return false;
    };
    bool optionsEnd = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (optionsEnd || w.size() < 2 || w[0] != '-') {
            o.args.push_back(w);
            continue;
        }
        if (w == "--") {
            optionsEnd = true;
            continue;
        }
        std::string name = w, value;
        bool hasValue = false;
        const size_t eq = w.find('=');
        if (w.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = w.substr(0, eq);
            value = w.substr(eq + 1);
            hasValue = true;
        }
        if (name == "-h" || name == "--help") {
            o.help = true;
            continue;
        }
        if (!takes(name)) return {"unknown option '" + name + "'"};
        const bool needsValue = name == "--timeout" || name == "--wait";
        if (!needsValue && hasValue) return {"option '" + name + "' takes no value"};
        if (needsValue && !hasValue) {
            if (i + 1 >= words.size()) return {"option '" + name + "' needs a value"};
            value = words[++i];
        }
        if (name == "--json") {
            o.json = true;
        } else if (name == "--bmp") {
            o.bmp = true;
        } else if (name == "--jpg") {
            o.jpg = true;
        } else if (name == "--no-ae-wait") {
            o.noAeWait = true;
        } else if (name == "--quiet") {
            o.quiet = true;
        } else if (name == "--timeout") {
            if (!parse_int(value, 1, kMaxTimeoutS, o.timeout))
                return {"--timeout needs whole seconds 1.." + std::to_string(kMaxTimeoutS) + ", not '" +
                        value + "'"};
        } else if (name == "--wait") {
            if (!parse_int(value, 0, kMaxWaitS, o.wait))
                return {"--wait needs whole seconds 0.." + std::to_string(kMaxWaitS) + ", not '" + value +
                        "'"};
        }
    }
    if (o.bmp && o.jpg) return {"--bmp and --jpg exclude each other"};
    return {};
}

// ---- grab --------------------------------------------------------------------------------------

// The file the library writes: the path itself when it contains the extension, else with it.
std::string written_path(const std::string& path, const char* ext) {
    return xstrcasestr(path.c_str(), "right", ext) != nullptr ? path : path + ext;
}

// The directory that will hold `file`; "" when it can take the file, else why not.
std::string unusable_dir(const std::string& file, std::string& dir) {
    const size_t slash = file.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return qscli::errorText(errno);
    if (!S_ISDIR(st.st_mode)) return qscli::errorText(ENOTDIR);
    if (access(dir.c_str(), W_OK | X_OK) != 0) return qscli::errorText(errno);
    return "";
}

int cmd_grab(Output& out, const Options& o) {
    const HKImgType type = o.bmp ? IMG_TYPE_BMP : IMG_TYPE_JPG;
    const std::string& path = o.args[0];
    const std::string file = written_path(path, type == IMG_TYPE_BMP ? ".bmp" : ".jpg");
    // A missing or read-only directory is found before the camera runs for a whole capture.
    std::string dir;
    const std::string why = unusable_dir(file, dir);
    if (!why.empty()) {
        const int err = errno;
        return fail(out, "grab", -19, "cannot save in " + dir + ": " + why,
                    [err](Json& j) { j.key("errno").num(err); });
    }
    (void)g_cam->setWaitAE(o.noAeWait ? 0 : 1);
    Progress progress;
    // The progress line is made of the library's debug lines, which --quiet drops.
    if (!out.json && !o.quiet) {
        if (isatty(STDERR_FILENO)) {
            (void)progress.start(STDERR_FILENO);
        } else if (isatty(out.fd())) {
            (void)progress.start(out.fd());
        }
    }
    HKImgMark mark{};
    const double t0 = mono_ms();
    const int r = interrupted() ? kCancelledResult : g_cam->grab(type, path.c_str(), o.timeout, &mark);
    const long long elapsed = static_cast<long long>(mono_ms() - t0);
    progress.stop();
    if (r != 0) {
        const int err = g_cam->lastErrno();
        std::string words = grab_words(r);
        if (r == -1) {
            words = "the lock file " + lock_dir() + "quellshot.lock cannot be created or opened" +
                    (err != 0 ? ": " + qscli::errorText(err) : "");
        } else if (r == -19 && err != 0) {
            words = "the image file " + file + " could not be written: " + qscli::errorText(err);
        }
        if (err == 0) return fail(out, "grab", r, words);
        return fail(out, "grab", r, words, [err](Json& j) { j.key("errno").num(err); });
    }

    mark.camModelName[sizeof mark.camModelName - 1] = '\0';
    mark.camSerialNum[sizeof mark.camSerialNum - 1] = '\0';
    if (out.json) {
        Json j;
        j.key("result").num(0).key("path").str(file).key("model").str(mark.camModelName);
        j.key("serial").str(mark.camSerialNum).key("exposure_us").real(mark.imgExposureTime);
        j.key("elapsed_ms").num(elapsed);
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    out.print("saved %s (camera %s, serial %s, exposure %.2f us, %lld ms)\n", printable(file).c_str(),
              printable(mark.camModelName).c_str(), printable(mark.camSerialNum).c_str(),
              static_cast<double>(mark.imgExposureTime), elapsed);
    return kExitOk;
}

// ---- count and usbfs ---------------------------------------------------------------------------

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
    if (o.setMb >= 0) {
        if (g_cam->usbfsSet(o.setMb) != 0) {
            const std::string why = geteuid() != 0 ? " (setting it needs root)" : "";
            return fail(out, "usbfs", -1, std::string("cannot write ") + kUsbfsFile + why);
        }
    }
    const int mb = g_cam->usbfsGet();
    if (mb < 0) return fail(out, "usbfs", -1, std::string("cannot read ") + kUsbfsFile);
    if (out.json) {
        Json j;
        j.key("result").num(0).key("usbfs_mb").num(mb);
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    out.print("usbfs memory limit: %d MB%s\n", mb, mb == 0 ? " (no limit)" : "");
    return kExitOk;
}

// ---- the camera SDK directly -------------------------------------------------------------------

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
    bool hikrobot = false;
    MV_CC_DEVICE_INFO* info = nullptr;  // valid only within the session that listed it
};

template <class Info>
void copy_names(Camera& c, const Info& info) {
    char buf[192];
    dudiz::copy_field(buf, info.chManufacturerName);
    c.manufacturer = buf;
    dudiz::copy_field(buf, info.chModelName);
    c.model = buf;
    dudiz::copy_field(buf, info.chSerialNumber);
    c.serial = buf;
}

// Lists the GigE and USB3 cameras within an open session; returns 0, or the SDK status and sets
// `words`.
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

// The same in a session of its own (the entries' info pointers are stale afterwards).
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

int cmd_list(Output& out, const Options&) {
    std::vector<Camera> cams;
    std::string words;
    const int ret = list_cameras(cams, words);
    if (ret != MV_OK) return fail(out, "list", ret, words);
    if (out.json) {
        Json j;
        j.key("result").num(0).key("cameras").open('[');
        for (const Camera& c : cams) {
            j.open('{').key("index").num(c.index).key("transport").str(transport_name(c));
            j.key("layer_type").num(c.layerType).key("manufacturer").str(c.manufacturer);
            j.key("model").str(c.model).key("serial").str(c.serial);
            if (!c.address.empty()) j.key("ip").str(c.address);
            j.key("hikrobot").boolean(c.hikrobot);
            j.close('}');
        }
        j.close(']');
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    if (cams.empty()) {
        out.print("no camera found\n");
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows = {
        {"", "INDEX", "TRANSPORT", "MANUFACTURER", "MODEL", "SERIAL", "ADDRESS"}};
    size_t hik = 0;
    for (const Camera& c : cams) {
        hik += c.hikrobot;
        std::string t = transport_name(c);
        if (t == "other") t += "(" + std::to_string(c.layerType) + ")";
        rows.push_back({c.hikrobot ? "*" : "", std::to_string(c.index), t, printable(c.manufacturer),
                        printable(c.model), printable(c.serial), c.address});
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& r : rows) {
        for (size_t k = 0; k < r.size(); ++k) width[k] = std::max(width[k], r[k].size());
    }
    for (const auto& r : rows) {
        std::string l;
        for (size_t k = 0; k < r.size(); ++k) {
            l += r[k];
            if (k + 1 < r.size()) l += std::string(width[k] - r[k].size() + 2, ' ');
        }
        l.erase(l.find_last_not_of(' ') + 1);  // columns left empty at the end of a row
        out.print("%s\n", l.c_str());
    }
    out.print("%zu camera(s), %zu of them \"Hikrobot\" (*)\n", cams.size(), hik);
    return kExitOk;
}

// ---- reset -------------------------------------------------------------------------------------

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
        return fail(out, "reset", 10, "not listed again within " + std::to_string(o.wait) + " s: " + names,
                    fields);
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

// ---- doctor ------------------------------------------------------------------------------------

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
    const int mb = g_cam->usbfsGet();
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
    if (dir.empty()) {
        c.detail += "the lock directory's path is too long";
        c.fix = elsewhere;
        return c;
    }
    if (stat(bare.c_str(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT) {
            c.detail += "cannot examine " + dir + ": " + qscli::errorText(err);
            c.fix = fix(err);
            return c;
        }
        // The capture creates it with mkdir -p; that works when the nearest existing parent takes it.
        std::string parent = bare;
        while (parent.size() > 1 && stat(parent.c_str(), &st) != 0) {
            const size_t slash = parent.rfind('/');
            parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
        }
        const int e = try_create_in(parent == "/" ? parent : parent + "/", true);
        if (e != 0) {
            c.detail += dir + " does not exist and cannot be created: " + qscli::errorText(e);
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
        c.detail += dir + " is not writable: " + qscli::errorText(e);
        c.fix = fix(e);
        return c;
    }
    c.ok = true;
    c.detail += dir + " is writable";
    LockHolder holder;
    if (find_lock_holder(dir + "quellshot.lock", holder)) {
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

// ---- the command line ----------------------------------------------------------------------------

struct Command {
    const char* name;
    const char* help;
    std::vector<std::string> options;
    size_t minArgs, maxArgs;
    const char* argName;
    int (*run)(Output&, const Options&);
    bool needsCamera;  // false: runs (and reports) without the camera parts
};

int usage(const std::string& where, const std::string& what) {
    (void)fprintf(stderr, "%s: %s\nTry '%s --help'.\n", where.c_str(), what.c_str(), where.c_str());
    return kExitUsage;
}

// Help and version texts: on stdout, which must take them.
int print_plain(const std::string& text) {
    if (fputs(text.c_str(), stdout) < 0 || fflush(stdout) != 0 || ferror(stdout) != 0 || fclose(stdout) != 0) {
        (void)fprintf(stderr, "quellshot: cannot write to stdout: %s\n", qscli::errorText(errno).c_str());
        return kExitFailure;
    }
    return kExitOk;
}

int run(int argc, char** argv) {
    static const Command commands[] = {
        {"grab", kGrabHelp, {"--bmp", "--jpg", "--timeout", "--no-ae-wait", "--json", "--quiet"}, 1, 1, "PATH",
         cmd_grab, true},
        {"count", kCountHelp, {"--json", "--quiet"}, 0, 0, "", cmd_count, true},
        {"list", kListHelp, {"--json", "--quiet"}, 0, 0, "", cmd_list, true},
        {"usbfs", kUsbfsHelp, {"--json", "--quiet"}, 0, 1, "MB", cmd_usbfs, true},
        {"reset", kResetHelp, {"--wait", "--json", "--quiet"}, 0, 0, "", cmd_reset, true},
        {"doctor", kDoctorHelp, {"--json", "--quiet"}, 0, 0, "", cmd_doctor, false},
    };
    if (argc < 2) return usage("quellshot", "missing command");
    const std::string first = argv[1];
    if (first == "-h" || first == "--help" || first == "help") return print_plain(kHelp);
    if (first == "--version") {
        if (argc > 2) return usage("quellshot", "--version takes no arguments");
        return print_plain(std::string("quellshot ") + QS_VERSION + "\n");
    }
    const Command* cmd = nullptr;
    for (const Command& c : commands) {
        if (first == c.name) cmd = &c;
    }
    if (cmd == nullptr) {
        return usage("quellshot", (first[0] == '-' ? "unknown option '" : "unknown command '") + first + "'");
    }
    const std::string where = std::string("quellshot ") + cmd->name;
    Options o;
    const Usage u = parse_options(std::vector<std::string>(argv + 2, argv + argc), cmd->options, o);
    if (o.help) return print_plain(cmd->help);
    if (!u.error.empty()) return usage(where, u.error);
    if (o.args.size() < cmd->minArgs) return usage(where, std::string("missing ") + cmd->argName);
    if (o.args.size() > cmd->maxArgs)
        return usage(where, "unexpected argument '" + o.args[cmd->maxArgs] + "'");
    if (cmd->run == cmd_grab) {
        const std::string& p = o.args[0];
        struct stat st {};
        if (p.empty()) return usage(where, "PATH is empty");
        if (p.back() == '/' || (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            return usage(where, "PATH '" + p + "' names a directory; give the photo's file name");
        }
    }
    if (cmd->run == cmd_usbfs && !o.args.empty() && !parse_int(o.args[0], 0, INT_MAX, o.setMb)) {
        return usage(where,
                     "MB must be a whole number 0.." + std::to_string(INT_MAX) + ", not '" + o.args[0] + "'");
    }
    Output out;
    if (!out.begin(o.json)) {
        (void)fprintf(stderr, "%s: cannot redirect stdout: %s\n", where.c_str(), qscli::errorText(errno).c_str());
        return kExitFailure;
    }
    if (o.quiet) sw_log_setMinLevel(LEVEL_WARN);
    catch_signals();
    g_cam = camera_api(g_camWhy);
    int status;
    if (g_cam == nullptr && cmd->needsCamera) {
        status = fail(out, cmd->name, -1, "cannot load the camera library: " + g_camWhy);
    } else {
        status = cmd->run(out, o);
    }
    if (!out.finish()) {
        (void)fprintf(stderr, "%s: cannot write to stdout: %s\n", where.c_str(),
                      qscli::errorText(errno).c_str());
        status = kExitFailure;
    }
    if (interrupted()) {
        const int sig = g_signal.load();
        (void)fprintf(stderr, "%s: interrupted by %s\n", where.c_str(), sig == SIGINT ? "SIGINT" : "SIGTERM");
        status = 128 + sig;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (...) {
        // Only allocation can throw here.
        (void)fputs("quellshot: out of memory\n", stderr);
        return kExitFailure;
    }
}

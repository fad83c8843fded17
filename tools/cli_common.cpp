// What the commands of the quellshot program share (cli_common.h).
#include "cli_common.h"

#include <MvCameraControl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lockdir.h"
#include "swdir.h"

namespace qscli {

const char* const kManufacturer = "Hikrobot";
const char* const kUsbfsFile = "/sys/module/usbcore/parameters/usbfs_memory_mb";

const CameraApi* g_cam = nullptr;
std::string g_camWhy;

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

namespace {

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

}  // namespace

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
         const std::function<void(Json&)>& extra) {
    LockHolder holder;
    // -2 is the capture lock for the commands that take it (for reset it is an empty list entry).
    const bool lockHeld =
        result == QS_E_BUSY && (strcmp(command, "grab") == 0 || strncmp(command, "feature", 7) == 0);
    const bool known = lockHeld && find_lock_holder(lock_dir() + qs::kLockName, holder);
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

int fail_setting(Output& out, const char* command, const std::string& subject, int result,
                 const std::string& words) {
    if (out.json) return fail(out, command, result, subject + ": " + words);
    (void)fprintf(stderr, "quellshot %s: %s: %s (result %s)\n", command, printable(subject).c_str(),
                  words.c_str(), code_text(result).c_str());
    return kExitFailure;
}

int open_session(Output& out, const char* command, const std::string& camera, Session& session) {
    const int r = g_cam->sessionOpen(camera.c_str(), &session.s);
    if (r == 0) return kExitOk;
    if (r == QS_E_LOCK_OPEN) {
        const int err = g_cam->lastErrno();
        // A file operation failed: its errno goes in JSON as for a photo's lock or file.
        return fail(out, command, r,
                    "the lock file " + lock_dir() + qs::kLockName + " cannot be created or opened" +
                        (err != 0 ? ": " + errorText(err) : ""),
                    [err](Json& j) {
                        if (err != 0) j.key("errno").num(err);
                    });
    }
    // Another capture holding the lock is no fault of the camera chosen: it is reported, with the
    // lock's holder, as it is without --camera.
    if (camera.empty() || r == QS_E_BUSY) return fail(out, command, r, g_cam->strError(r));
    return fail_setting(out, command, "--camera " + camera, r, g_cam->strError(r));
}

// ---- arguments ---------------------------------------------------------------------------------

namespace {

constexpr long kMaxIntervalMs = 86400000L;  // a day, as --wait

bool parse_double(const std::string& text, double lo, double hi, double& out) {
    if (text.empty() || (text[0] != '-' && text[0] != '.' && (text[0] < '0' || text[0] > '9'))) return false;
    errno = 0;
    char* end = nullptr;
    const double v = strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

// "X,Y,W,H": a corner within the sensor and a size of at least one pixel.
bool parse_roi(const std::string& text, qs_roi& roi) {
    int v[4] = {0, 0, 0, 0};
    size_t start = 0;
    for (int k = 0; k < 4; ++k) {
        const size_t comma = k < 3 ? text.find(',', start) : text.size();
        if (comma == std::string::npos ||
            !parse_int(text.substr(start, comma - start), k < 2 ? 0 : 1, INT_MAX, v[k]))
            return false;
        start = comma + 1;
    }
    roi = {v[0], v[1], v[2], v[3]};
    return true;
}

// The settings that make a grab run a session; `value` is the option's text.
Usage parse_setting(const std::string& name, const std::string& value, Options& o) {
    const std::string bad = name + " cannot be '" + value + "': ";
    o.session = true;
    if (name == "--camera") {
        if (value.empty()) return {bad + "give a serial number, an index or an IPv4 address"};
        o.camera = value;
    } else if (name == "--exposure") {
        o.exposure = value;
        o.exposureMode = value == "auto" ? QS_AUTO_CONTINUOUS : value == "once" ? QS_AUTO_ONCE : QS_AUTO_OFF;
        if (o.exposureMode == QS_AUTO_OFF &&
            (!parse_double(value, 0, 1e9, o.exposureUs) || o.exposureUs <= 0))
            return {bad + "give microseconds above 0, auto or once"};
    } else if (name == "--gain") {
        o.gain = value;
        o.gainMode = value == "auto" ? QS_AUTO_CONTINUOUS : QS_AUTO_OFF;
        if (o.gainMode == QS_AUTO_OFF && !parse_double(value, -1000, 1000, o.gainDb))
            return {bad + "give decibels or auto"};
    } else if (name == "--pixel-format") {
        if (value.empty()) return {bad + "give a GenICam name such as Mono8"};
        o.pixelFormat = value;
    } else if (name == "--roi") {
        o.roiText = value;
        if (!parse_roi(value, o.roi)) return {bad + "give X,Y,WIDTH,HEIGHT in pixels"};
    } else if (name == "--quality") {
        if (!parse_int(value, 50, 99, o.quality)) return {bad + "give a JPEG quality 50..99"};
    } else if (name == "--count") {
        if (!parse_int(value, 1, INT_MAX, o.count)) return {bad + "give a number of photos from 1"};
        o.series = true;
    } else if (name == "--interval") {
        if (!parse_int(value, 0, kMaxIntervalMs, o.interval))
            return {bad + "give milliseconds 0.." + std::to_string(kMaxIntervalMs)};
    }
    return {};
}

}  // namespace

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
        // A negative number is a value (of a feature), not an option; also one written "-.5".
        const size_t digit = w.size() >= 3 && w[1] == '.' ? 2 : 1;
        const bool negative = w.size() > digit && w[0] == '-' && w[digit] >= '0' && w[digit] <= '9';
        if (optionsEnd || w.size() < 2 || w[0] != '-' || negative) {
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
        static const char* const valued[] = {"--timeout", "--wait",        "--camera", "--exposure",
                                             "--gain",    "--roi",         "--count",  "--interval",
                                             "--quality", "--pixel-format"};
        bool needsValue = false;
        for (const char* v : valued) needsValue = needsValue || name == v;
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
        } else {
            Usage u = parse_setting(name, value, o);
            if (!u.error.empty()) return u;
        }
    }
    if (o.bmp && o.jpg) return {"--bmp and --jpg exclude each other"};
    return {};
}

}  // namespace qscli

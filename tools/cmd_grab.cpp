// quellshot grab: one photo with the first "Hikrobot" camera, saved as JPEG or BMP.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "cli_common.h"
#include "cli_progress.h"
#include "swstring.h"

namespace qscli {

namespace {

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

// The file the library writes: the path itself when it contains the extension, else with it.
std::string written_path(const std::string& path, const char* ext) {
    return xstrcasestr(path.c_str(), "right", ext) != nullptr ? path : path + ext;
}

// The directory that will hold `file`; "" when it can take the file, else why not.
std::string unusable_dir(const std::string& file, std::string& dir) {
    const size_t slash = file.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return errorText(errno);
    if (!S_ISDIR(st.st_mode)) return errorText(ENOTDIR);
    if (access(dir.c_str(), W_OK | X_OK) != 0) return errorText(errno);
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
                    (err != 0 ? ": " + errorText(err) : "");
        } else if (r == -19 && err != 0) {
            words = "the image file " + file + " could not be written: " + errorText(err);
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

// PATH names the photo's file, never a directory.
std::string check_grab(Options& o) {
    const std::string& p = o.args[0];
    struct stat st {};
    if (p.empty()) return "PATH is empty";
    if (p.back() == '/' || (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        return "PATH '" + p + "' names a directory; give the photo's file name";
    }
    return "";
}

}  // namespace

Command grab_command() {
    return {"grab", kGrabHelp, {"--bmp", "--jpg", "--timeout", "--no-ae-wait", "--json", "--quiet"}, 1, 1, "PATH",
            cmd_grab, true, check_grab};
}

}  // namespace qscli

// quellshot grab: one photo with the first "Hikrobot" camera, saved as JPEG or BMP; with settings, a
// series or stdout as the target, through a session that keeps the camera open.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "cli_common.h"
#include "cli_progress.h"
#include "lockdir.h"
#include "swstring.h"

namespace qscli {

namespace {

const char* const kGrabHelp =
    "Usage: quellshot grab [--bmp|--jpg] [--timeout S] [--no-ae-wait] [SETTINGS]\n"
    "                      [--count N [--interval MS]] [--json] [--quiet] PATH|-\n"
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
    "Settings. With any of them, with --count or with PATH -, the camera is opened once for the\n"
    "settings and the photos (no fixed second per photo), --timeout bounds the wait for each\n"
    "photo, and the JSON object also holds the photo's time, frame, width, height, pixel_format\n"
    "and gain_db. A setting the camera refuses is a failure that names it.\n"
    "  --camera C          the camera: its serial number, its index in 'quellshot list' or its\n"
    "                      IPv4 address; any manufacturer         e.g. --camera 192.168.1.10\n"
    "  --pixel-format F    its GenICam pixel format name           e.g. --pixel-format Mono8\n"
    "  --roi X,Y,W,H       region of interest in pixels; the camera rounds it to its steps, and\n"
    "                      what it took is said when it differs    e.g. --roi 0,0,640,480\n"
    "  --exposure US       exposure in microseconds, or auto, or once (adjusts, then holds)\n"
    "                                                              e.g. --exposure 5000\n"
    "  --gain DB           gain in dB, or auto                     e.g. --gain 6.5\n"
    "  --quality Q         JPEG quality 50..99 (default 90)        e.g. --quality 95\n"
    "  --count N           take N photos; PATH must then hold %n (the photo's number from 1,\n"
    "                      zero-padded) or %t (its UTC time)       e.g. --count 10 img/part-%n\n"
    "  --interval MS       a photo every MS milliseconds (default 0: as fast as the camera\n"
    "                      allows)                                 e.g. --count 60 --interval 1000\n"
    "  PATH -              write one JPEG to stdout                e.g. quellshot grab - > p.jpg\n"
    "A series prints each file's path as it is saved (--json: one JSON line per photo with its\n"
    "number, path and metadata, then a line with command, result, count and saved); a photo\n"
    "that fails ends it, keeping the files saved before, and is named (\"failed\" in JSON).\n"
    "\n"
    "On a terminal the progress (triggers, exposure readings, the settle run) is shown on one\n"
    "updating line. Only one capture runs at a time: a second one fails at once with -2, and\n"
    "the program that holds the lock is named when it can be found.\n";

// The file the library writes: the path itself when it contains the extension, else with it.
std::string written_path(const std::string& path, const char* ext) {
    return xstrcasestr(path.c_str(), "right", ext) != nullptr ? path : path + ext;
}

// The directory that will hold `file`; 0 when it can take the file, else the errno value why not.
int unusable_dir(const std::string& file, std::string& dir) {
    const size_t slash = file.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (access(dir.c_str(), W_OK | X_OK) != 0) return errno;
    return 0;
}

// The progress line goes to a terminal: stderr, or the program's own stdout when that may carry it.
void show_progress(Progress& progress, const Output& out, const Options& o, bool onStdout) {
    // It is made of the library's debug lines, which --quiet drops.
    if (out.json || o.quiet) return;
    if (isatty(STDERR_FILENO)) {
        (void)progress.start(STDERR_FILENO);
    } else if (onStdout && isatty(out.fd())) {
        (void)progress.start(out.fd());
    }
}

// Words for a failed capture: the lock file and the image (`what`) are named, with why when known.
std::string capture_words(int r, int err, const std::string& what, const std::string& plain) {
    if (r == -1) {
        return "the lock file " + lock_dir() + qs::kLockName + " cannot be created or opened" +
               (err != 0 ? ": " + errorText(err) : "");
    }
    if (r == -19 && err != 0) return what + " could not be written: " + errorText(err);
    return plain;
}

// The "%t" stamp of a photo's time: "YYYYmmddTHHMMSS.mmmZ", UTC.
std::string stamp(int64_t ms) {
    const time_t secs = static_cast<time_t>(ms / 1000);
    struct tm t {};
    char buf[48] = "";
    if (gmtime_r(&secs, &t) != nullptr) {
        (void)snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1,
                       t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms % 1000));
    }
    return buf;
}

void photo_fields(Json& j, const qs_photo& p, bool withExposure) {
    if (withExposure) j.key("exposure_us").real(p.exposure_us);
    j.key("time").str(stamp(p.time_ms)).key("frame").num(p.frame_number).key("width").num(p.width);
    const std::string format(p.pixel_format, strnlen(p.pixel_format, sizeof p.pixel_format));
    j.key("height").num(p.height).key("pixel_format").str(format);
    j.key("gain_db");
    if (std::isnan(p.gain_db)) {
        j.null();
    } else {
        j.real(p.gain_db);
    }
}

// A text feature of the camera, "" when it cannot be read.
std::string feature_text(const Session& session, const char* name) {
    char value[256] = "";
    return g_cam->featureGet(session.s, name, value, sizeof value, nullptr) == 0 ? value : "";
}

// What a series has printed so far, for its callback.
struct SeriesLog {
    Output* out;
    int saved;
};

int on_photo(void* ctx, int number, const char* path, const qs_photo* photo) noexcept {
    try {
        auto* log = static_cast<SeriesLog*>(ctx);
        log->saved = number;
        if (log->out->json) {
            Json j;
            j.key("number").num(number).key("path").str(path);
            photo_fields(j, *photo, true);
            return log->out->emit(j) ? 0 : 1;  // no reader left: no reason to go on
        }
        log->out->print("%s\n", printable(path).c_str());
        return log->out->flush() ? 0 : 1;  // as above
    } catch (...) {
        return 1;  // out of memory: ends the series, which keeps what it saved
    }
}

// The photos of a session: one (to a file or stdout) or a series. `fields` adds the settings' outcome.
int session_photos(Output& out, const Options& o, HKImgType type, const std::string& file,
                   const Session& session, double t0, const std::function<void(Json&)>& fields) {
    const int timeoutMs = o.timeout * 1000;
    // "--count 1 img/part-%n" names its photo as any series does (part-1), not literally.
    if (o.series && o.args[0] != "-") {
        SeriesLog log{&out, 0};
        int done = 0;
        const int r = interrupted() ? kCancelledResult
                                    : g_cam->series(session.s, type, o.args[0].c_str(), o.count, o.interval,
                                                    timeoutMs, on_photo, &log, &done);
        const auto summary = [&](Json& j) {
            j.key("command").str("grab").key("count").num(o.count).key("saved").num(done);
            fields(j);
        };
        if (r == 0) {
            if (!out.json) return kExitOk;
            Json j;
            j.key("result").num(0);
            summary(j);
            return out.emit(j) ? kExitOk : kExitFailure;
        }
        const int err = g_cam->lastErrno();
        const std::string words =
            capture_words(r, err, "photo " + std::to_string(done + 1), g_cam->strError(r));
        if (out.json) {
            return fail(out, "grab", r, words, [&](Json& j) {
                summary(j);
                j.key("failed").num(done + 1);
                if (err != 0) j.key("errno").num(err);
            });
        }
        out.flush();  // the paths saved come before the failure
        (void)fprintf(stderr, "quellshot grab: photo %d of %d failed, result %s: %s; %d saved\n", done + 1,
                      o.count, code_text(r).c_str(), words.c_str(), done);
        return kExitFailure;
    }
    const bool toStdout = o.args[0] == "-";
    const std::string model = feature_text(session, "DeviceModelName");
    std::string serial = feature_text(session, "DeviceSerialNumber");
    if (serial.empty()) serial = feature_text(session, "DeviceID");  // its name in older descriptions
    Progress progress;
    show_progress(progress, out, o, !toStdout);
    qs_photo photo{};
    int r = kCancelledResult;
    if (!interrupted()) {
        r = toStdout ? g_cam->captureFd(session.s, type, out.fd(), timeoutMs, &photo)
                     : g_cam->capture(session.s, type, o.args[0].c_str(), timeoutMs, &photo);
    }
    const long long elapsed = static_cast<long long>(mono_ms() - t0);
    progress.stop();
    if (r != 0) {
        const int err = g_cam->lastErrno();
        const std::string words =
            capture_words(r, err, toStdout ? "stdout" : "the image file " + file, g_cam->strError(r));
        return fail(out, "grab", r, words, [&](Json& j) {
            fields(j);
            if (err != 0) j.key("errno").num(err);
        });
    }
    if (out.json) {
        Json j;
        j.key("result").num(0).key("path").str(file).key("model").str(model).key("serial").str(serial);
        j.key("exposure_us").real(photo.exposure_us).key("elapsed_ms").num(elapsed);
        photo_fields(j, photo, false);
        fields(j);
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    if (toStdout) return kExitOk;
    out.print("saved %s (camera %s, serial %s, exposure %.2f us, %lld ms)\n", printable(file).c_str(),
              printable(model).c_str(), printable(serial).c_str(), photo.exposure_us, elapsed);
    return kExitOk;
}

// A grab with settings or a series: the camera stays open from the settings to the last photo.
int grab_session(Output& out, const Options& o, HKImgType type, const std::string& file) {
    const double t0 = mono_ms();
    if (interrupted()) return fail(out, "grab", kCancelledResult, grab_words(kCancelledResult));
    Session session;
    const int opened = open_session(out, "grab", o.camera, session);
    if (opened != kExitOk) return opened;
    qs_roi roi = o.roi;
    const std::string quality = o.quality != 0 ? std::to_string(o.quality) : "";
    struct Setting {
        const char* option;
        const std::string& given;
        std::function<int()> apply;
    };
    // The format and the region fix the frame; exposure and gain are then set for that frame.
    const Setting settings[] = {
        {"--pixel-format", o.pixelFormat,
         [&] { return g_cam->setPixelFormat(session.s, o.pixelFormat.c_str()); }},
        {"--roi", o.roiText, [&] { return g_cam->setRoi(session.s, &roi); }},
        {"--exposure", o.exposure,
         [&] {
             return o.exposureMode == QS_AUTO_OFF ? g_cam->setExposure(session.s, o.exposureUs)
                                                  : g_cam->setExposureAuto(session.s, o.exposureMode);
         }},
        {"--gain", o.gain,
         [&] {
             return o.gainMode == QS_AUTO_OFF ? g_cam->setGain(session.s, o.gainDb)
                                              : g_cam->setGainAuto(session.s, o.gainMode);
         }},
        {"--quality", quality, [&] { return g_cam->setQuality(session.s, o.quality); }},
    };
    for (const Setting& s : settings) {
        if (s.given.empty()) continue;
        if (interrupted()) return fail(out, "grab", kCancelledResult, grab_words(kCancelledResult));
        const int r = s.apply();
        if (r != 0)
            return fail_setting(out, "grab", std::string(s.option) + " " + s.given, r, g_cam->strError(r));
    }
    const bool roiMoved = !o.roiText.empty() && (roi.x != o.roi.x || roi.y != o.roi.y ||
                                                 roi.width != o.roi.width || roi.height != o.roi.height);
    if (roiMoved) {
        (void)fprintf(stderr, "quellshot grab: --roi %s: the camera took %lld,%lld,%lld,%lld\n",
                      printable(o.roiText).c_str(), static_cast<long long>(roi.x),
                      static_cast<long long>(roi.y), static_cast<long long>(roi.width),
                      static_cast<long long>(roi.height));
    }
    const auto fields = [&](Json& j) {
        if (o.roiText.empty()) return;
        j.key("roi").open('{').key("x").num(roi.x).key("y").num(roi.y).key("width").num(roi.width);
        j.key("height").num(roi.height).close('}');
    };
    return session_photos(out, o, type, file, session, t0, fields);
}

int cmd_grab(Output& out, const Options& o) {
    const HKImgType type = o.bmp ? IMG_TYPE_BMP : IMG_TYPE_JPG;
    const std::string& path = o.args[0];
    const bool toStdout = path == "-";
    const std::string file = toStdout ? path : written_path(path, type == IMG_TYPE_BMP ? ".bmp" : ".jpg");
    // A missing or read-only directory is found before the camera runs for a whole capture (one
    // that a series' names make cannot be checked beforehand; outside a series '%' is a plain
    // character).
    std::string dir;
    const size_t slash = file.rfind('/');
    const bool namedBySeries = o.series && slash != std::string::npos && file.find('%') < slash;
    const int dirErr = toStdout || namedBySeries ? 0 : unusable_dir(file, dir);
    if (dirErr != 0) {
        return fail(out, "grab", -19, "cannot save in " + dir + ": " + errorText(dirErr),
                    [dirErr](Json& j) { j.key("errno").num(dirErr); });
    }
    (void)g_cam->setWaitAE(o.noAeWait ? 0 : 1);
    if (o.session) return grab_session(out, o, type, file);
    Progress progress;
    show_progress(progress, out, o, true);
    HKImgMark mark{};
    const double t0 = mono_ms();
    const int r = interrupted() ? kCancelledResult : g_cam->grab(type, path.c_str(), o.timeout, &mark);
    const long long elapsed = static_cast<long long>(mono_ms() - t0);
    progress.stop();
    if (r != 0) {
        const int err = g_cam->lastErrno();
        const std::string words = capture_words(r, err, "the image file " + file, grab_words(r));
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

// Whether a series' pattern holds a number or a time ("%%" is a plain '%').
bool names_each_photo(const std::string& pattern) {
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (pattern[i + 1] == 'n' || pattern[i + 1] == 't') return true;
        ++i;
    }
    return false;
}

// PATH names the photo's file, never a directory; "-" is stdout, which takes one JPEG and nothing else.
std::string check_grab(Options& o) {
    const std::string& p = o.args[0];
    struct stat st {};
    if (p.empty()) return "PATH is empty";
    if (p == "-") {
        o.session = true;
        if (o.count > 1) return "PATH - takes one photo, not --count " + std::to_string(o.count);
        if (o.bmp) return "PATH - takes a JPEG, not --bmp";
        if (o.json) return "PATH - and --json would both write to stdout";
        return "";
    }
    if (p.back() == '/' || (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        return "PATH '" + p + "' names a directory; give the photo's file name";
    }
    if (o.count > 1 && !names_each_photo(p))
        return "with --count above 1, PATH must hold %n (the photo's number) or %t (its time)";
    return "";
}

}  // namespace

Command grab_command() {
    return {"grab",
            kGrabHelp,
            {"--bmp", "--jpg", "--timeout", "--no-ae-wait", "--json", "--quiet", "--camera", "--exposure",
             "--gain", "--pixel-format", "--roi", "--quality", "--count", "--interval"},
            1,
            1,
            "PATH",
            cmd_grab,
            true,
            check_grab};
}

}  // namespace qscli

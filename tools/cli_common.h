// What the commands of the quellshot program share: exit statuses, the words for result codes, the
// capture lock's holder, the report of a failure, the parsing of options, and the table entry by
// which each command (one file each, cmd_*.cpp) is dispatched from main.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "camera_api.h"
#include "cli_output.h"

namespace qscli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr int kCancelledResult = -20;  // the library's result for a capture ended by qs_cancel
constexpr int kDefaultTimeoutS = 30;
constexpr int kMaxTimeoutS = 2147483;  // INT_MAX milliseconds, the library's longest wait
constexpr int kMaxWaitS = 86400;
extern const char* const kManufacturer;
extern const char* const kUsbfsFile;

// The camera parts, once loaded (camera_api.h); the commands that need a camera load them first.
extern const CameraApi* g_cam;
extern std::string g_camWhy;  // why g_cam is NULL

// Whether SIGINT or SIGTERM came (main.cpp catches them), and which.
bool interrupted();
int caught_signal();

// ---- result codes ------------------------------------------------------------------------------

// A status of the camera SDK (its codes have the top bit set), as opposed to our small codes.
bool is_sdk_status(int r);
// A result as printed: SDK statuses in hexadecimal, our codes in decimal.
std::string code_text(int r);
// Four bytes, most significant first, as "a.b.c.d": an IPv4 address, an SDK version.
std::string dotted(unsigned v);
std::string sdk_words(int r);
// The meaning of a result of Quellshot_Grab (the table of quellshot.h).
std::string grab_words(int r);

// ---- the capture lock and who holds it -----------------------------------------------------------

// Where the library keeps its lock, with a trailing '/'.
std::string lock_dir();

struct LockHolder {
    long pid = 0;
    std::string comm;
};

// The process holding a flock on `path`, from /proc/locks.
bool find_lock_holder(const std::string& path, LockHolder& holder);

// ---- failures ----------------------------------------------------------------------------------

// Reports a failed result: words on stderr, or the JSON object (`extra` adds the command's
// fields). Returns the exit status.
int fail(Output& out, const char* command, int result, const std::string& words,
         const std::function<void(Json&)>& extra = nullptr);

// Reports a failure that one setting caused, `subject` naming it as given ("--gain 99"): on stderr
// "quellshot COMMAND: SUBJECT: WORDS (result R)", with --json as fail() does with "SUBJECT: WORDS".
int fail_setting(Output& out, const char* command, const std::string& subject, int result,
                 const std::string& words);

// A session of the capture library (qs_open .. qs_close), closed when it goes.
class Session {
public:
    qs_session* s = nullptr;
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (s != nullptr) (void)g_cam->sessionClose(s);
    }
};

// Opens the camera `camera` chooses (qs_open; "" the first "Hikrobot" camera) for `command`;
// reports a failure and returns its exit status, else kExitOk.
int open_session(Output& out, const char* command, const std::string& camera, Session& session);

// ---- arguments ---------------------------------------------------------------------------------

struct Usage {
    std::string error;  // empty: fine
};

struct Options {
    bool help = false, json = false, bmp = false, jpg = false, noAeWait = false, quiet = false;
    int timeout = kDefaultTimeoutS;
    int wait = -1;   // -1: no --wait
    int setMb = -1;  // usbfs MB; -1: only read
    // The settings of a grab that runs a session, each as given (empty: not given) and parsed.
    std::string camera, exposure, gain, pixelFormat, roiText;
    int exposureMode = -1, gainMode = -1;  // -1 not given; QS_AUTO_OFF: the value below; else that mode
    double exposureUs = 0, gainDb = 0;
    qs_roi roi{};
    int quality = 0;  // 0: not given
    int count = 1, interval = 0;
    bool session = false;  // a setting or the series above was given
    bool series = false;   // --count was given: PATH is a series' pattern, whatever the count
    std::vector<std::string> args;
};

bool parse_int(const std::string& text, long lo, long hi, int& out);

// Parses the words after the command. `accepted` lists the options the command takes.
Usage parse_options(const std::vector<std::string>& words, const std::vector<std::string>& accepted,
                    Options& o);

// ---- commands ----------------------------------------------------------------------------------

struct Command {
    const char* name;
    const char* help;
    std::vector<std::string> options;
    size_t minArgs, maxArgs;
    const char* argName;
    int (*run)(Output&, const Options&);
    bool needsCamera;  // false: runs (and reports) without the camera parts
    // Checks (and may complete) the arguments once parsed; a non-empty text is a usage error. May
    // be NULL.
    std::string (*check)(Options&);
};

Command grab_command();
Command count_command();
Command usbfs_command();
Command list_command();
Command reset_command();
Command doctor_command();
Command feature_command();
Command features_command();

}  // namespace qscli

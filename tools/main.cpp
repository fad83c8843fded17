// quellshot: the command-line front end of the capture library, for people on the board and for
// scripts: take a photo, count and list cameras, read or set the usbfs memory limit, reset the
// cameras and check the set-up. Exit status 0 success, 1 failure, 2 usage error. This file
// dispatches to the commands (cmd_*.cpp) and handles help, version and signals.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_common.h"
#include "swlog.h"

#ifndef QS_VERSION
#define QS_VERSION "unknown"
#endif

namespace qscli {

namespace {

const char* const kHelp =
    "Usage: quellshot COMMAND [OPTIONS] [ARGS]\n"
    "\n"
    "Takes photos with a \"Hikrobot\" camera and looks after the cameras of this board.\n"
    "\n"
    "Commands:\n"
    "  grab [--bmp|--jpg] [--timeout S] [--no-ae-wait] [--json] [--quiet] PATH\n"
    "                        take one photo with the first \"Hikrobot\" camera and save it\n"
    "  grab [--camera C] [--pixel-format F] [--roi X,Y,W,H] [--exposure US|auto|once]\n"
    "       [--gain DB|auto] [--quality Q] [--count N [--interval MS]] ... PATH|-\n"
    "                        the same with settings, a series (PATH with %n or %t) or to stdout\n"
    "                        e.g. quellshot grab --camera 192.168.1.10 --exposure 5000 img/a\n"
    "                        e.g. quellshot grab --count 10 --interval 500 img/part-%n\n"
    "                        e.g. quellshot grab --roi 0,0,640,480 - > small.jpg\n"
    "  count [--json]        count the attached \"Hikrobot\" cameras\n"
    "  list [--json]         list every camera: transport, manufacturer, model, serial, address\n"
    "                        (--json: also its firmware version)\n"
    "  usbfs [--json] [MB]   read the kernel's usbfs memory limit, or set it (root)\n"
    "  reset [--wait S] [--json]\n"
    "                        reset every \"Hikrobot\" camera; with --wait, check they come back\n"
    "  doctor [--json]       check the set-up; each problem comes with a fix\n"
    "  feature [--camera C] [--json] NAME [VALUE]\n"
    "                        read a camera feature, or write it and read it back\n"
    "                        e.g. quellshot feature --camera SIM00001 ExposureTime 5000\n"
    "  features [--camera C] [--json]\n"
    "                        list the camera's features with their types and values\n"
    "\n"
    "Options:\n"
    "  -h, --help            show this help (also: quellshot COMMAND --help)\n"
    "  --version             show the version\n"
    "  --json                print exactly one JSON object on stdout, with \"result\" (0 on\n"
    "                        success); a series of photos prints one line per photo first\n"
    "  --quiet               leave out the library's info and debug lines (errors remain)\n"
    "  --camera C            the camera by serial number, index in 'quellshot list' or IPv4\n"
    "                        address (default: the first \"Hikrobot\" camera)\n"
    "\n"
    "Stdout carries only the command's own output; the library's log lines go to stderr.\n"
    "Exit status: 0 success, 1 failure (the result code and its meaning are printed), 2 usage\n"
    "error (only a message on stderr, also with --json), 130 or 143 after SIGINT or SIGTERM\n"
    "(a capture is torn down first and saves nothing, a series keeps the photos saved before;\n"
    "a second signal ends the program at once).\n";

// ---- signals -----------------------------------------------------------------------------------

// The first SIGINT or SIGTERM asks the capture to stop (it tears down: camera closed, lock
// released, nothing saved) and the command to end; the program then exits 128 + the signal. A
// second one ends the program at once.
std::atomic<int> g_signal{0};

void on_signal(int sig) {
    if (g_signal.exchange(sig) != 0) _exit(128 + sig);
    if (const CameraApi* cam = loaded_camera_api()) cam->cancel();
}

void catch_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    (void)sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

bool interrupted() { return g_signal.load() != 0; }

int caught_signal() { return g_signal.load(); }

namespace {

// ---- the command line ----------------------------------------------------------------------------

int usage(const std::string& where, const std::string& what) {
    (void)fprintf(stderr, "%s: %s\nTry '%s --help'.\n", where.c_str(), what.c_str(), where.c_str());
    return kExitUsage;
}

// Help and version texts: on stdout, which must take them.
int print_plain(const std::string& text) {
    if (fputs(text.c_str(), stdout) < 0 || fflush(stdout) != 0 || ferror(stdout) != 0 || fclose(stdout) != 0) {
        (void)fprintf(stderr, "quellshot: cannot write to stdout: %s\n", errorText(errno).c_str());
        return kExitFailure;
    }
    return kExitOk;
}

int run(int argc, char** argv) {
    // A reader of stdout that goes away (quellshot grab --count 100 ... | head -1) must end the
    // command as a failure to write, with the camera torn down, not kill the program mid-session.
    (void)signal(SIGPIPE, SIG_IGN);
    static const Command commands[] = {grab_command(),    count_command(),   list_command(),
                                       usbfs_command(),   reset_command(),   doctor_command(),
                                       feature_command(), features_command()};
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
    if (cmd->check != nullptr) {
        const std::string bad = cmd->check(o);
        if (!bad.empty()) return usage(where, bad);
    }
    Output out;
    if (!out.begin(o.json)) {
        (void)fprintf(stderr, "%s: cannot redirect stdout: %s\n", where.c_str(), errorText(errno).c_str());
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
                      errorText(errno).c_str());
        status = kExitFailure;
    }
    if (interrupted()) {
        const int sig = caught_signal();
        (void)fprintf(stderr, "%s: interrupted by %s\n", where.c_str(), sig == SIGINT ? "SIGINT" : "SIGTERM");
        status = 128 + sig;
    }
    return status;
}

}  // namespace

}  // namespace qscli

int main(int argc, char** argv) {
    try {
        return qscli::run(argc, argv);
    } catch (...) {
        // Only allocation can throw here.
        (void)fputs("quellshot: out of memory\n", stderr);
        return qscli::kExitFailure;
    }
}

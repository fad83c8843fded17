// The progress line of "quellshot grab" on a terminal.
#include "cli_progress.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "cli_output.h"

namespace qscli {

namespace {
const char* const kClearLine = "\r\033[K";
}  // namespace

bool Progress::start(int termFd) {
    termFd_ = termFd;
    struct winsize ws {};
    if (ioctl(termFd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10) columns_ = ws.ws_col;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    (void)fflush(stdout);
    savedStdout_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (savedStdout_ < 0 || dup2(fds[1], STDOUT_FILENO) < 0) {
        close(fds[0]);
        close(fds[1]);
        if (savedStdout_ >= 0) close(savedStdout_);
        savedStdout_ = -1;
        return false;
    }
    close(fds[1]);
    readFd_ = fds[0];
    start_ = mono_ms();
    try {
        reader_ = std::thread([this] { run(); });
    } catch (...) {
        stop();
        return false;
    }
    return true;
}

void Progress::stop() {
    if (savedStdout_ < 0) return;
    (void)fflush(stdout);
    // Closing the pipe's last write end: the reader sees its end.
    (void)dup2(savedStdout_, STDOUT_FILENO);
    close(savedStdout_);
    savedStdout_ = -1;
    if (reader_.joinable()) reader_.join();
    if (readFd_ >= 0) close(readFd_);
    readFd_ = -1;
}

Progress::~Progress() {
    stop();
}

void Progress::run() {
    std::string pending;
    draw();
    for (;;) {
        struct pollfd p = {readFd_, POLLIN, 0};
        const int n = poll(&p, 1, 250);  // redraw at least 4 times a second: the clock moves
        if (n < 0 && errno != EINTR) break;
        if (n > 0) {
            char buf[4096];
            const ssize_t got = read(readFd_, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            pending.append(buf, static_cast<size_t>(got));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                line(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
        }
        draw();
    }
    if (!pending.empty()) line(pending);
    (void)write_all(termFd_, kClearLine);
}

void Progress::line(const std::string& l) {
    const bool frameLine =
        l.find("] [debug] ") != std::string::npos && l.find("+++GetOneFrame+++") != std::string::npos;
    if (!frameLine) {
        (void)write_all(termFd_, kClearLine);
        (void)write_all(STDERR_FILENO, l + "\n");
        return;
    }
    size_t at;
    unsigned w = 0, h = 0, num = 0;
    float exposure = 0;
    // These lines come from our own capture library, which writes the numbers in range; a line
    // that does not match is passed over.
    if ((at = l.find("Width[")) != std::string::npos &&
        sscanf(  // NOLINT(cert-err34-c)
            l.c_str() + at, "Width[%u], Height[%u], FrameNum[%u]", &w, &h, &num) == 3) {
        ++passes_;
        frame_ = "#" + std::to_string(num) + " " + std::to_string(w) + "x" + std::to_string(h);
        note_.clear();
    } else if ((at = l.find("ExposureTime = ")) != std::string::npos &&
               sscanf(l.c_str() + at, "ExposureTime = %fus", &exposure) == 1) {  // NOLINT(cert-err34-c)
        // The library's settle rule: a change of at most 50 us continues the run.
        run_ = seenExposure_ && std::fabs(exposure - lastExposure_) <= 50.0f ? run_ + 1 : 1;
        seenExposure_ = true;
        lastExposure_ = exposure;
        char buf[96];
        (void)snprintf(buf, sizeof buf, "%.2f us, steady %d/4", static_cast<double>(exposure), run_);
        note_ = buf;
    } else {
        ++passes_;  // the only other frame line: no frame came, the next pass triggers again
        note_ = "no frame yet, triggering again";
    }
}

void Progress::draw() {
    static const char spin[] = "|/-\\";
    const double s = (mono_ms() - start_) / 1000.0;
    char head[64];
    (void)snprintf(head, sizeof head, "%c %.0f s, trigger %d", spin[ticks_++ % 4], std::floor(s), passes_ + 1);
    std::string text = head;
    if (!frame_.empty()) text += " | " + frame_;
    if (!note_.empty()) text += " | " + note_;
    if (text.size() >= columns_) text.resize(columns_ - 1);  // a wrapped line cannot be redrawn
    (void)write_all(termFd_, kClearLine + text);
}

}  // namespace qscli

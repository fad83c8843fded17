// The progress line of "quellshot grab" on a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <thread>

namespace qscli {

// While a capture runs, stdout (where the library logs) is a pipe read by a thread of this object:
// the library's debug lines about frames become one status line rewritten in place on the
// terminal (with the elapsed time, so a long wait never looks like a hang), and its other lines go
// to stderr. One thread at a time; the reader's state belongs to the reader while it runs.
class Progress {
public:
    Progress() = default;
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    // Starts drawing on `termFd` (a terminal). False when stdout could not be redirected; then
    // nothing changed.
    bool start(int termFd);
    // Puts stdout back; the reader sees the end of the pipe, clears the status line and ends.
    void stop();

private:
    void run();
    void line(const std::string& l);
    void draw();

    int termFd_ = 2;
    int readFd_ = -1;
    int savedStdout_ = -1;
    size_t columns_ = 80;
    double start_ = 0;
    std::thread reader_;
    // Owned by the reader thread while it runs.
    int passes_ = 0;
    unsigned ticks_ = 0;
    std::string frame_, note_;
    bool seenExposure_ = false;
    float lastExposure_ = 0;
    int run_ = 0;
};

}  // namespace qscli

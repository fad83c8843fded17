// Captures what the code under test writes to stdout (fd 1), through an unlinked temporary file so
// that a large output cannot block on a full pipe.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class StdoutCapture {
public:
    StdoutCapture() {
        (void)fflush(stdout);
        char tmpl[] = "/tmp/qs-stdout-XXXXXX";
        fd_ = mkstemp(tmpl);
        saved_ = dup(STDOUT_FILENO);
        if (fd_ < 0 || saved_ < 0 || unlink(tmpl) != 0 || dup2(fd_, STDOUT_FILENO) < 0) abort();
    }
    ~StdoutCapture() {
        restore();
        close(fd_);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Stops capturing and returns everything written since construction.
    std::string finish() {
        restore();
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = pread(fd_, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0;) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        (void)fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int fd_ = -1;
    int saved_ = -1;
};

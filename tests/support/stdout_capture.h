// Captures what the code under test writes to stdout (fd 1) into a string, through a temporary
// file so that large outputs cannot block on a full pipe.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class StdoutCapture {
public:
    StdoutCapture() {
        fflush(stdout);
        char tmpl[] = "/tmp/qs-stdout-XXXXXX";
        fd_ = mkstemp(tmpl);
        if (fd_ < 0) abort();
        unlink(tmpl);
        saved_ = dup(STDOUT_FILENO);
        if (saved_ < 0 || dup2(fd_, STDOUT_FILENO) < 0) abort();
    }
    ~StdoutCapture() { restore(); if (fd_ >= 0) close(fd_); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Stops capturing and returns everything written since construction.
    std::string finish() {
        restore();
        std::string out;
        char buf[65536];
        off_t off = 0;
        for (;;) {
            const ssize_t n = pread(fd_, buf, sizeof buf, off);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int fd_ = -1;
    int saved_ = -1;
};

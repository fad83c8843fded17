// Captures what the code under test writes to stdout (fd 1), through an unlinked temporary file so
// that a large output cannot block on a full pipe.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class StdoutCapture {
public:
    StdoutCapture() : file_(((void)fflush(stdout), tmpfile())), saved_(dup(STDOUT_FILENO)) {
        dup2(fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() { (void)finish(), fclose(file_); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Stops capturing and returns everything written since construction.
    std::string finish() {
        if (saved_ >= 0) (void)fflush(stdout), dup2(saved_, STDOUT_FILENO), close(saved_), saved_ = -1;
        std::string out;
        char buf[65536];
        rewind(file_);
        for (size_t n; (n = fread(buf, 1, sizeof buf, file_)) > 0;) out.append(buf, n);
        return out;
    }

private:
    FILE* file_;
    int saved_;
};

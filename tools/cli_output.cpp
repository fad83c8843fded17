// Output helpers of the quellshot program.
#include "cli_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace qscli {

size_t utf8_length(const std::string& s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned min;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    unsigned cp = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

std::string errorText(int err) {
    char buf[128];
    // GNU strerror_r returns either buf or a static text of its own.
    return strerror_r(err, buf, sizeof buf);
}

std::string printable(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c >= 0x80 ? utf8_length(s, i) : 1;
        // U+0080..U+009F are control characters too (U+009B starts a terminal command).
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
        if (c < 0x20 || c == 0x7F || n == 0 || c1) {
            char esc[8];
            (void)snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

bool write_all(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

double mono_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void sleep_ms(int ms) {
    struct timespec ts {
        ms / 1000, static_cast<long>(ms % 1000) * 1000000L
    };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---- Json ----------------------------------------------------------------------------------------

Json::Json() : text_("{") {}

void Json::comma() {
    if (!fresh_) text_ += ',';
    fresh_ = false;
}

Json& Json::key(const char* k) {
    comma();
    text_ += '"';
    text_ += k;
    text_ += "\":";
    fresh_ = true;
    return *this;
}

Json& Json::str(const std::string& s) {
    comma();
    text_ += '"';
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c >= 0x80 ? utf8_length(s, i) : 1;
        if (c == '"' || c == '\\') {
            text_ += '\\';
            text_ += static_cast<char>(c);
        } else if (c == '\n') {
            text_ += "\\n";
        } else if (c == '\t') {
            text_ += "\\t";
        } else if (c < 0x20 || c == 0x7F || n == 0) {
            char esc[8];
            (void)snprintf(esc, sizeof esc, "\\u%04x", c);
            text_ += esc;
        } else {
            text_.append(s, i, n);
            i += n;
            continue;
        }
        ++i;
    }
    text_ += '"';
    return *this;
}

Json& Json::num(long long v) {
    comma();
    text_ += std::to_string(v);
    return *this;
}

Json& Json::real(double v) {
    comma();
    char buf[64];
    (void)snprintf(buf, sizeof buf, "%.2f", std::isfinite(v) ? v : 0.0);
    text_ += buf;
    return *this;
}

Json& Json::number(double v) {
    if (!std::isfinite(v)) return null();
    comma();
    char buf[32];
    (void)snprintf(buf, sizeof buf, "%.15g", v);
    text_ += buf;
    return *this;
}

Json& Json::boolean(bool v) {
    comma();
    text_ += v ? "true" : "false";
    return *this;
}

Json& Json::null() {
    comma();
    text_ += "null";
    return *this;
}

Json& Json::strings(const std::vector<std::string>& list) {
    open('[');
    for (const std::string& s : list) str(s);
    return close(']');
}

Json& Json::open(char bracket) {
    comma();
    text_ += bracket;
    fresh_ = true;
    return *this;
}

Json& Json::close(char bracket) {
    text_ += bracket;
    fresh_ = false;
    return *this;
}

std::string Json::finish() const {
    return text_ + "}\n";
}

// ---- Output --------------------------------------------------------------------------------------

bool Output::begin(bool asJson) {
    json = asJson;
    // A closed stderr (2>&-) only loses the log lines: they go nowhere, and the command still runs.
    if (fcntl(STDERR_FILENO, F_GETFD) < 0) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0) return false;
        if (null != STDERR_FILENO) {
            const int moved = dup2(null, STDERR_FILENO);
            close(null);
            if (moved < 0) return false;
        }
    }
    (void)fflush(stdout);
    outFd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (outFd_ < 0) return false;
    if (!json) {
        text_ = fdopen(outFd_, "w");
        if (text_ == nullptr) return false;
    }
    return dup2(STDERR_FILENO, STDOUT_FILENO) >= 0;
}

// printf-style, so that the compiler checks every format against its arguments.
void Output::print(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list ap;
    va_start(ap, format);
    if (text_ != nullptr) {
        (void)vfprintf(text_, format, ap);
    } else {
        (void)vprintf(format, ap);  // before begin(): plain stdout
    }
    va_end(ap);
}

bool Output::flush() {
    if (text_ != nullptr && fflush(text_) != 0 && !failed_) {
        failed_ = true;
        error_ = errno;
    }
    return !failed_;
}

bool Output::emit(const Json& j) {
    (void)fflush(stdout);
    if (write_all(outFd_, j.finish())) return true;
    if (!failed_) {
        failed_ = true;
        error_ = errno;
    }
    return false;
}

bool Output::finish() {
    flush();
    if (text_ != nullptr) {
        if (ferror(text_) != 0 && !failed_) {
            failed_ = true;
            error_ = EIO;
        }
        if (fclose(text_) != 0 && !failed_) {
            failed_ = true;
            error_ = errno;
        }
        text_ = nullptr;
        outFd_ = -1;
    } else if (outFd_ >= 0) {
        if (close(outFd_) != 0 && !failed_) {
            failed_ = true;
            error_ = errno;
        }
        outFd_ = -1;
    }
    errno = error_;
    return !failed_;
}

Output::~Output() {
    if (text_ != nullptr) {
        (void)fclose(text_);
    } else if (outFd_ >= 0) {
        close(outFd_);
    }
}

}  // namespace qscli

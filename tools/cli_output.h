// Output helpers of the quellshot program: terminal-safe text, the one JSON object of --json, and
// the routing of stdout that keeps log lines out of that object.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace qscli {

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one.
size_t utf8_length(const std::string& s, size_t i);

// Camera names are whatever bytes a device reports. For a terminal: control characters (C0, DEL
// and C1) and bytes that are not UTF-8 become \xNN, so they can neither garble nor steer the
// terminal.
std::string printable(const std::string& s);

// The text of an errno value (strerror's text, without its shared buffer: a progress thread may run).
std::string errorText(int err);

// Writes all of `s` to `fd`, restarting after signals. False when the write fails.
bool write_all(int fd, const std::string& s);

// Milliseconds on the monotonic clock; a sleep that resumes after signals.
double mono_ms();
void sleep_ms(int ms);

// Builds one JSON object. Strings are escaped completely: quotes, backslashes and control
// characters, and every byte that is not part of valid UTF-8 as \u00XX. Items are added in
// order; open('{'/'[') and close('}'/']') nest objects and arrays.
class Json {
public:
    Json();
    Json& key(const char* k);
    Json& str(const std::string& s);
    Json& num(long long v);
    Json& real(double v);  // two decimals; non-finite values as 0
    Json& number(double v);  // up to 15 significant digits, as short as that allows; non-finite as null
    Json& boolean(bool v);
    Json& null();
    Json& strings(const std::vector<std::string>& list);
    Json& open(char bracket);
    Json& close(char bracket);
    std::string finish() const;  // the object with its closing brace and a line end

private:
    void comma();
    std::string text_;
    bool fresh_ = true;  // just after '{', '[' or a key: no comma before the next item
};

// The program's own output goes to the original stdout: its text lines, or with --json the one
// JSON object. Stdout itself (fd 1, where the library and the SDK print their log lines) is
// pointed at stderr for the whole run, so that log lines never mix into what scripts read.
class Output {
public:
    bool json = false;

    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();
    bool begin(bool asJson);  // false (errno set) when stdout cannot be moved
    int fd() const { return outFd_; }  // the original stdout, -1 before begin()
    __attribute__((format(printf, 2, 3))) void print(const char* format, ...);
    bool flush();              // false once anything written to the original stdout failed
    bool emit(const Json& j);  // writes the object to the original stdout
    // Flushes and closes the original stdout: false (errno set) when anything written to it since
    // begin() failed to arrive, as on a full disk or a closed pipe.
    bool finish();

private:
    int outFd_ = -1;
    FILE* text_ = nullptr;
    bool failed_ = false;
    int error_ = 0;
};

}  // namespace qscli

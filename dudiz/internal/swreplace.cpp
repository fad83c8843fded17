// Whole-file replacement. The new bytes go to an unnamed file in the target's directory, are
// synced, linked under a temporary name that carries our process id, and renamed over the target;
// then the directory is synced, so a reported success survives a power cut. Where the file system
// has no unnamed files the temporary file is named from the start. A process killed on the way
// leaves at most such a named file, which the next replacement in that directory removes once its
// owner has ended.
#include "internal/swreplace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "internal/swalloc.h"

namespace {

constexpr char kPrefix[] = ".swreplace-";
// Room for the prefix, a process id, '-', a random suffix and the NUL.
constexpr size_t kNameRoom = sizeof kPrefix + 24;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes the descriptor; false (errno set) when close reports an error, as a deferred write
    // error of some file systems.
    bool reset() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int fd_;
};

// The process umask without changing it (umask() can only be read by setting it, which would
// race with other threads creating files). Linux reports it in /proc/self/status.
mode_t current_umask() {
    mode_t mask = 022;
    FILE* f = fopen("/proc/self/status", "re");
    if (f == nullptr) return mask;
    char line[128];
    while (fgets(line, sizeof line, f) != nullptr) {
        static const char kKey[] = "Umask:";
        if (strncmp(line, kKey, sizeof kKey - 1) == 0) {
            char* end = nullptr;
            const unsigned long m = strtoul(line + sizeof kKey - 1, &end, 8);
            if (end != line + sizeof kKey - 1) mask = static_cast<mode_t>(m & 0777);
            break;
        }
    }
    (void)fclose(f);
    return mask;
}

bool write_all(int fd, const unsigned char* p, size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Writes the content, gives it the mode and syncs it.
bool fill(int fd, const void* buf, size_t len, mode_t mode) {
    return fchmod(fd, mode) == 0 && write_all(fd, static_cast<const unsigned char*>(buf), len) &&
           fsync(fd) == 0;
}

// Removes the temporary files of replacements whose process has ended. Best effort: a directory
// that cannot be read is left as it is.
void remove_leftovers(int dirFd) {
    const int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        (void)close(fd);
        return;
    }
    const int saved = errno;
    while (const dirent* e = readdir(d)) {
        const char* digits = e->d_name + sizeof kPrefix - 1;
        if (strncmp(e->d_name, kPrefix, sizeof kPrefix - 1) != 0) continue;
        char* end = nullptr;
        const long pid = strtol(digits, &end, 10);
        if (end == digits || *end != '-' || pid <= 0 || pid == static_cast<long>(getpid())) continue;
        // The null signal only asks whether the process exists; EPERM means it does.
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        (void)unlinkat(dirFd, e->d_name, 0);
    }
    (void)closedir(d);
    errno = saved;
}

// A fresh temporary name for this process: prefix, pid, '-', six hex digits.
void temp_name(char* out, bool pattern) {
    static std::atomic<unsigned> counter{0};
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    const unsigned r = (counter.fetch_add(1) * 2654435761u) ^ static_cast<unsigned>(ts.tv_nsec);
    if (pattern) {
        (void)snprintf(out, kNameRoom, "%s%ld-XXXXXX", kPrefix, static_cast<long>(getpid()));
    } else {
        (void)snprintf(out, kNameRoom, "%s%ld-%06x", kPrefix, static_cast<long>(getpid()), r & 0xffffffu);
    }
}

// Gives the unnamed file `fd` the name `name` in `dirFd`. Through /proc first, which needs no
// privilege; AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH but works without /proc.
int link_unnamed(int fd, int dirFd, char* name) {
    char proc[40];
    (void)snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_name(name, false);
        if (linkat(AT_FDCWD, proc, dirFd, name, AT_SYMLINK_FOLLOW) == 0) return 0;
        if (errno == EEXIST) continue;
        if (linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0) return 0;
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// The caller's last word before the new content is put in place; asked once per replacement.
struct Gate {
    int (*fn)(void*);
    void* arg;
    bool passed = false;
    bool pass() {
        if (!passed) passed = fn == nullptr || fn(arg) != 0;
        if (!passed) errno = ECANCELED;
        return passed;
    }
};

enum class Outcome { kDone, kFailed, kNoUnnamedFiles };

// The replacement through an unnamed file. kNoUnnamedFiles: the file system has none (or it
// cannot be linked), nothing was changed.
Outcome replace_unnamed(int dirFd, const char* base, char* name, const void* buf, size_t len, mode_t mode,
                        Gate& gate) {
    Fd fd(openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (fd.get() < 0) {
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? Outcome::kNoUnnamedFiles
                                                                         : Outcome::kFailed;
    }
    if (!fill(fd.get(), buf, len, mode)) return Outcome::kFailed;
    if (!gate.pass()) return Outcome::kFailed;  // the unnamed file goes with its descriptor
    if (link_unnamed(fd.get(), dirFd, name) != 0) return Outcome::kNoUnnamedFiles;
    if (!fd.reset() || renameat(dirFd, name, dirFd, base) != 0) {
        const int err = errno;
        (void)unlinkat(dirFd, name, 0);
        errno = err;
        return Outcome::kFailed;
    }
    return Outcome::kDone;
}

// The replacement through a temporary file named from the start. `full` is the directory, which
// `name` follows: mkostemp wants the whole path.
bool replace_named(int dirFd, char* full, const char* base, char* name, const void* buf, size_t len,
                   mode_t mode, Gate& gate) {
    temp_name(name, true);
    Fd fd(mkostemp(full, O_CLOEXEC));
    if (fd.get() < 0) return false;
    const bool ok = fill(fd.get(), buf, len, mode) && fd.reset() && gate.pass() &&
                    renameat(dirFd, name, dirFd, base) == 0;
    if (!ok) {
        const int err = errno;
        (void)unlinkat(dirFd, name, 0);
        errno = err;
    }
    return ok;
}

}  // namespace

extern "C" int sw_file_replace_gated(const char* path, const void* buf, size_t len, int (*gate)(void*),
                                     void* arg) {
    if (path == nullptr || path[0] == '\0' || (buf == nullptr && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    // One block by the toolkit's rule holds the directory ("./" for a bare name) and the temporary
    // name behind it; nothing here may throw, as it runs under C functions.
    const char* slash = strrchr(path, '/');
    const size_t dirLen = slash == nullptr ? 2 : static_cast<size_t>(slash - path) + 1;
    const dudiz::RuleBlock block(SW_ALLOC(2 * dirLen + 1 + kNameRoom));
    char* const dir = static_cast<char*>(block.p);
    if (dir == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    const char* const src = slash == nullptr ? "./" : path;
    memcpy(dir, src, dirLen);
    dir[dirLen] = '\0';
    char* const full = dir + dirLen + 1;  // the directory again, then the temporary name
    memcpy(full, src, dirLen);
    char* const name = full + dirLen;
    const char* const base = slash == nullptr ? path : slash + 1;

    const Fd dirFd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0) return -1;
    remove_leftovers(dirFd.get());

    mode_t mode = 0666 & ~current_umask();
    struct stat st {};
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;

    Gate g{gate, arg};
    const Outcome o = replace_unnamed(dirFd.get(), base, name, buf, len, mode, g);
    if (o == Outcome::kFailed) return -1;
    if (o == Outcome::kNoUnnamedFiles && !replace_named(dirFd.get(), full, base, name, buf, len, mode, g)) {
        return -1;
    }
    // The rename is durable only once the directory is. The new content is in place either way,
    // so a failure here is reported.
    return fsync(dirFd.get()) == 0 ? 0 : -1;
}

extern "C" int sw_file_replace(const char* path, const void* buf, size_t len) {
    return sw_file_replace_gated(path, buf, len, nullptr, nullptr);
}

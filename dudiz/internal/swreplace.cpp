// Whole-file replacement through an exclusive temporary file and rename.
#include "internal/swreplace.h"

#include "internal/swalloc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

}  // namespace

extern "C" int sw_file_replace(const char* path, const void* buf, size_t len) {
    if (path == nullptr || path[0] == '\0' || (buf == nullptr && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    // The temporary name: the directory part of path (with its slash, or "./") and a pattern. It
    // is allocated by the toolkit's rule and nothing here may throw: this runs under C functions.
    static const char kPattern[] = ".swreplace-XXXXXX";
    const char* slash = strrchr(path, '/');
    const size_t dirLen = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    const size_t tmpSize = (slash == nullptr ? 2 : dirLen) + sizeof kPattern;
    const dudiz::RuleBlock block(SW_ALLOC(tmpSize));
    char* const tmp = static_cast<char*>(block.p);
    if (tmp == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    if (slash == nullptr) {
        memcpy(tmp, "./", 2);
        memcpy(tmp + 2, kPattern, sizeof kPattern);
    } else {
        memcpy(tmp, path, dirLen);
        memcpy(tmp + dirLen, kPattern, sizeof kPattern);
    }

    mode_t mode = 0666 & ~current_umask();
    struct stat st {};
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;

    const int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) return -1;
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, static_cast<const unsigned char*>(buf), len);
    int err = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp, path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        (void)unlink(tmp);
        errno = err;
        return -1;
    }
    return 0;
}

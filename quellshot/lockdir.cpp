// Where captures keep their lock file.
#include "lockdir.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qs {

namespace {

bool default_system_install() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&lock_dir), &info) != 0 && info.dli_fname != nullptr &&
        info.dli_fname[0] == '/') {
        return is_system_path(info.dli_fname);
    }
    // Linked into the executable: the loader may not know its full name.
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return false;
    exe[n] = '\0';
    return is_system_path(exe);
}

}  // namespace

std::atomic<SystemInstallFn> system_install{default_system_install};

bool is_system_path(const char* path) {
    static const char* const kPrefixes[] = {
        "/usr/bin/",        "/usr/sbin/",     "/usr/lib", "/usr/libexec/", "/usr/local/bin/",
        "/usr/local/sbin/", "/usr/local/lib", "/bin/",    "/sbin/",        "/lib"};
    for (const char* p : kPrefixes) {
        if (strncmp(path, p, strlen(p)) == 0) return true;
    }
    return false;
}

void lock_dir(char* dir, size_t size, const char* runDir) {
    const char* env = getenv(kLockDirVariable);  // NOLINT(concurrency-mt-unsafe): read, never set here
    int len;
    if (env != nullptr && env[0] != '\0') {
        const size_t n = strlen(env);
        len = snprintf(dir, size, "%s%s", env, env[n - 1] == '/' ? "" : "/");
    } else if (system_install.load()()) {
        len = snprintf(dir, size, "%s", kSystemLockDir);
    } else {
        const size_t n = strlen(runDir);
        len = snprintf(dir, size, "%s%sstatus/", runDir, n == 0 || runDir[n - 1] == '/' ? "" : "/");
    }
    if (len < 0 || static_cast<size_t>(len) >= size) dir[0] = '\0';
}

}  // namespace qs

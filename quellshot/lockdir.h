// Where captures keep their lock file. Shared by the capture library and the quellshot program, so
// that the program names the same file that the library locks.
#pragma once

#include <atomic>
#include <cstddef>

namespace qs {

// The environment variable that names the lock directory (for every process that must exclude
// the others).
constexpr char kLockDirVariable[] = "QUELLSHOT_LOCKDIR";
// The lock directory of a toolkit installed in the system, as the Debian packages create it.
constexpr char kSystemLockDir[] = "/run/lock/quellshot/";
// The lock file's name in the lock directory.
constexpr char kLockName[] = "quellshot.lock";
// Room for the lock file's whole path: the directory, kLockName and the closing NUL.
constexpr size_t kLockPathSize = 292;
// Whether a lock directory of `dirLen` bytes leaves room for the lock file: one that does not can
// hold no lock, which the program must know as well as the library.
constexpr bool lock_dir_fits(size_t dirLen) {
    return dirLen + sizeof kLockName - 1 < kLockPathSize;
}

// The rule: $QUELLSHOT_LOCKDIR when it is set and not empty; else kSystemLockDir when this code
// runs from a system location (see is_system_path); else "status/" in `runDir`, the executable's
// directory ("status/" of the working directory when `runDir` is empty). Writes the directory with
// a trailing '/' into dir[size]; an empty text when it does not fit.
void lock_dir(char* dir, size_t size, const char* runDir);

// True for a file under the directories where a system installs programs and libraries (/usr,
// /bin, /sbin, /lib; not /usr/src, /opt or a home directory).
bool is_system_path(const char* path);

// Whether this code runs from a system location (default: where the loader found the library that
// holds it, or the executable it is linked into).
using SystemInstallFn = bool (*)();
extern std::atomic<SystemInstallFn> system_install;

}  // namespace qs

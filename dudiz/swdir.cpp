// Directory helpers: recursive create and delete, listing, and the executable's location.

#include "swdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/swprochooks.h"
#include "swfile.h"
#include "swstring.h"

namespace {

// A working copy of a path with '/' as its only separator. Refuses (rather than cuts) text that
// does not fit: a cut path can name an ancestor of the intended one.
struct PathBuf {
    char text[SW_PATH_MAX + 1];
    size_t len;

    bool assign(const char* path) {
        const size_t n = strlen(path);
        if (n > SW_PATH_MAX) return false;
        memcpy(text, path, n + 1);
        len = n;
        (void)xstrcharreplace(text, '\\', '/');
        return true;
    }

    // Appends '/' (unless empty or already ending in one) and `name`.
    bool appendEntry(const char* name) {
        const bool sep = len > 0 && text[len - 1] != '/';
        const size_t n = strlen(name);
        if (len + (sep ? 1 : 0) + n > SW_PATH_MAX) return false;
        if (sep) text[len++] = '/';
        memcpy(text + len, name, n + 1);
        len += n;
        return true;
    }
};

bool is_dot_or_dotdot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

extern "C" bool sw_dir_exists(const char* dir) {
    return dir != nullptr && access(dir, F_OK) == 0;
}

extern "C" int sw_dir_create(const char* dir) {
    if (dir == nullptr) return -1;
    PathBuf path;
    if (!path.assign(dir)) return -1;
    int created = 0;
    size_t pos = 0;
    while (pos < path.len) {
        const char* slash = strchr(path.text + pos, '/');
        char prefix[SW_PATH_MAX + 1];
        size_t end = path.len;
        if (slash != nullptr) {
            end = static_cast<size_t>(slash - path.text);
            pos = end + 1;
        } else {
            pos = path.len;
        }
        if (end == 0) end = 1;  // a leading '/' names the root
        memcpy(prefix, path.text, end);
        prefix[end] = '\0';
        if (sw_dir_exists(prefix)) continue;
        if (mkdir(prefix, 0755) == 0) {
            ++created;
        } else if (errno != EEXIST) {  // EEXIST: made meanwhile by someone else
            break;
        }
    }
    return created;
}

extern "C" void* sw_dir_open(const char* dir) {
    if (dir == nullptr) return nullptr;
    return opendir(dir);
}

extern "C" void* sw_dir_read(void* hDir) {
    if (hDir == nullptr) return nullptr;
    return readdir(static_cast<DIR*>(hDir));
}

extern "C" void sw_dir_close(void* hDir) {
    if (hDir != nullptr) (void)closedir(static_cast<DIR*>(hDir));
}

namespace {

// Deletes the tree at `dir`, whose text is used as it is: the names of its entries are file names,
// in which '\' is an ordinary character. Converting them again would read a subdirectory "a\y" as
// "a/y" and so reach through a link "a" beside it into a tree outside, deleting there.
bool delete_tree(const PathBuf& dir) {
    // A symbolic link named as the tree itself is not followed, as links inside it are not: the
    // tree it points to would be emptied and then the link refused by rmdir. The same refusal
    // catches a directory entry swapped for a link between its lstat and this open.
    const int fd = open(dir.text, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        (void)close(fd);
        return false;
    }
    bool ok = true;
    while (ok) {
        const struct dirent* e = readdir(d);
        if (e == nullptr) break;
        if (is_dot_or_dotdot(e->d_name)) continue;
        PathBuf entry = dir;
        if (!entry.appendEntry(e->d_name)) {
            ok = false;
            break;
        }
        struct stat st {};
        if (lstat(entry.text, &st) != 0) continue;
        ok = S_ISDIR(st.st_mode) ? delete_tree(entry) : sw_file_delete(entry.text) == 0;
    }
    (void)closedir(d);
    return ok && rmdir(dir.text) == 0;
}

}  // namespace

extern "C" bool sw_dir_delete(const char* dir) {
    if (dir == nullptr) return false;
    PathBuf base;  // the caller's '\' is a separator, as for the other directory functions
    if (!base.assign(dir)) return false;
    // A trailing separator or "/." makes the kernel resolve a link as the last component despite
    // O_NOFOLLOW: "link/" or "link/." would empty the tree the link points to. The tree is named
    // without them.
    for (;;) {
        if (base.len > 1 && base.text[base.len - 1] == '/') {
            --base.len;
        } else if (base.len > 2 && base.text[base.len - 1] == '.' && base.text[base.len - 2] == '/') {
            base.len -= 2;
        } else {
            break;
        }
        base.text[base.len] = '\0';
    }
    return delete_tree(base);
}

extern "C" char* xGetPathFileName(const char* path) {
    if (path == nullptr) return nullptr;
    const char* back = xstrcasechr(path, "right", '\\');
    const char* slash = xstrcasechr(path, "right", '/');
    const char* last = back;
    if (last == nullptr || (slash != nullptr && slash > back)) last = slash;
    return const_cast<char*>(last != nullptr ? last + 1 : path);
}

extern "C" int xGetSelfRunningInfo(char* dir, char* bin) {
    char target[SW_PATH_MAX + 2];
    // One byte beyond the limit shows a target that does not fit.
    const ssize_t n = readlink(sw_hook_selfExeLink(), target, sizeof target);
    if (n < 0 || static_cast<size_t>(n) > SW_PATH_MAX) return -1;
    target[n] = '\0';
    const char* name = xGetPathFileName(target);
    if (dir != nullptr) {
        const size_t dirLen = static_cast<size_t>(name - target);
        memcpy(dir, target, dirLen);
        dir[dirLen] = '\0';
    }
    if (bin != nullptr) strcpy(bin, name);
    return 0;
}

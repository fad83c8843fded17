// File helpers: whole-file write, read and copy through stdio, small wrappers, and one field of a
// configuration file.

#include "swfile.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/swalloc.h"
#include "internal/swreplace.h"
#include "swstring.h"

namespace {

// fopen with close-on-exec added to the caller's mode ("e" is glibc's flag for O_CLOEXEC), so a
// descriptor never leaks into a child started meanwhile by another thread.
FILE* open_cloexec(const char* path, const char* mode) {
    char m[16];
    const size_t n = strlen(mode);
    if (n + 2 > sizeof m) return fopen(path, mode);
    memcpy(m, mode, n);
    m[n] = 'e';
    m[n + 1] = '\0';
    return fopen(path, m);
}

// Fresh anonymous memory faulted in one 4 KiB page at a time costs more than the copy itself
// (16384 faults for 64 MiB, each far dearer under a hypervisor). Asking for huge pages and
// populating the whole block in one call cuts that to a few dozen. Both are hints: a kernel
// without them answers EINVAL and the pages fault in as usual.
void prefault(void* block, size_t size) {
    constexpr size_t kWorthIt = 4u << 20;
    if (size < kWorthIt) return;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
    if (end <= start) return;
    [[maybe_unused]] void* aligned = reinterpret_cast<void*>(start);  // both hints may be absent
#ifdef MADV_HUGEPAGE
    (void)madvise(aligned, end - start, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    (void)madvise(aligned, end - start, MADV_POPULATE_WRITE);
#endif
}

// Reads the whole file `path` through one open descriptor, which also gives the size: a file
// renamed over the path meanwhile (as sw_file_replace does) is then either not seen or seen
// whole, never read up to the size of the one it replaced. `place(size)` hands out room for
// `size` bytes (nullptr: out of memory); the caller keeps it. The end of the file is confirmed
// after those bytes, so one written in place meanwhile fails instead of passing as read whole.
// Returns the size, or -1 when the file cannot be opened, sized (above INT_MAX included) or read
// whole, or no room is given.
template <typename Place>
int read_whole(const char* path, Place place) {
    FILE* f = open_cloexec(path, "rb");
    if (f == nullptr) return -1;
    struct stat st {};
    int result = -1;
    if (fstat(fileno(f), &st) == 0 && st.st_size >= 0 && st.st_size <= INT_MAX) {
        const auto size = static_cast<size_t>(st.st_size);
        char* buf = place(static_cast<int>(size));
        if (buf != nullptr && fread(buf, 1, size, f) == size && fgetc(f) == EOF && ferror(f) == 0) {
            result = static_cast<int>(size);
        }
    }
    (void)fclose(f);
    return result;
}

// ---- configuration files ----

// Largest section line added ("\r\n" + 188 characters + "\r\n") and largest field appended
// (192 characters and '='); a field appended after the section line needs no separator, and one
// appended after existing text needs 2 bytes, far less than a section line.
constexpr int kMaxSectionMarker = 188;
constexpr size_t kMaxFieldChars = 192;
constexpr int kSectionLineRoom = kMaxSectionMarker + 4;
constexpr int kMargin = kSectionLineRoom + static_cast<int>(kMaxFieldChars) + 1;

// A file's content in memory, followed by `room` NUL bytes and one more NUL that keeps it a C
// string whatever the field operations write; freed when the holder dies.
class CfgCopy {
public:
    CfgCopy() = default;
    CfgCopy(const CfgCopy&) = delete;
    CfgCopy& operator=(const CfgCopy&) = delete;
    ~CfgCopy() { SW_FREE(buf_); }

    // Loads `path` with `room` free bytes after it. `found` is the size a lookup by path gave:
    // 0 takes the file as empty without opening it (a missing file for set); otherwise the file
    // is read with the size of the descriptor it is read through, which may differ when it was
    // replaced since. False when it cannot be read whole or memory runs out.
    bool load(const char* path, int found, int room) {
        if (found == 0) return reserve(0, room) != nullptr;
        return read_whole(path, [this, room](int size) { return reserve(size, room); }) >= 0;
    }

    char* data() const { return buf_; }
    int size() const { return size_; }
    int total() const { return total_; }

    // The region a section marker opens (NULL section: the whole copy), as an offset; -1 when
    // the marker is absent. A NUL byte in the file must not hide a marker after it: the field
    // operations see the whole copy, so the search does too, one NUL-free stretch at a time.
    int region(const char* section) const {
        if (section == nullptr) return 0;
        for (int off = 0; off < size_;) {
            const char* at = xstrcasestr(buf_ + off, "left", section);
            if (at != nullptr) return static_cast<int>(at - buf_);
            off += static_cast<int>(strlen(buf_ + off)) + 1;
        }
        return -1;
    }

private:
    char* reserve(int size, int room) {
        if (room < 0 || size > INT_MAX - room - 1) return nullptr;
        const int withRoom = size + room;
        buf_ = static_cast<char*>(SW_ALLOC(static_cast<size_t>(withRoom) + 1));
        if (buf_ == nullptr) return nullptr;
        memset(buf_ + size, 0, static_cast<size_t>(room) + 1);
        size_ = size;
        total_ = withRoom;
        return buf_;
    }

    char* buf_ = nullptr;
    int size_ = 0;
    int total_ = 0;
};

enum class CfgOp { kByName, kByValue, kInvalid };

CfgOp cfg_op(const char* mode, const char* byName, const char* byValue) {
    if (xstrcasecmp(mode, byName) == 0) return CfgOp::kByName;
    if (xstrcasecmp(mode, byValue) == 0) return CfgOp::kByValue;
    return CfgOp::kInvalid;
}

// The size of an existing file, 0 for a missing one when that is allowed; -1 otherwise.
int cfg_size(const char* path, bool missingIsEmpty) {
    const int size = sw_file_getSize(path);
    if (size >= 0) return size;
    return missingIsEmpty && !sw_file_exists(path) ? 0 : -1;
}

}  // namespace

extern "C" int sw_file_update(const char* path, const char* mode, const char* buf, int bufSize) {
    if (path == nullptr || mode == nullptr || buf == nullptr || bufSize < 0) return -1;
    FILE* f = open_cloexec(path, mode);
    if (f == nullptr) return -1;
    size_t written = 0;
    if (bufSize > 0) written = fwrite(buf, 1, static_cast<size_t>(bufSize), f);
    // The data reaches the file only when the stream is flushed; a refusal shows up there.
    const bool flushed = fflush(f) == 0;
    const bool closed = fclose(f) == 0;
    if (!flushed || !closed) return -1;
    return static_cast<int>(written);
}

extern "C" int sw_file_getSize(const char* path) {
    if (path == nullptr) return -1;
    struct stat st {};
    if (stat(path, &st) != 0) return -1;
    if (st.st_size < 0 || st.st_size > INT_MAX) return -1;
    return static_cast<int>(st.st_size);
}

extern "C" int sw_file_load(const char* path, const char* mode, char* buf, int bufSize) {
    if (path == nullptr || mode == nullptr || buf == nullptr || bufSize < 0) return -1;
    const int size = sw_file_getSize(path);
    if (size <= 0) return size;
    FILE* f = open_cloexec(path, mode);
    if (f == nullptr) return -1;
    int result = -1;
    if (bufSize >= size) result = static_cast<int>(fread(buf, 1, static_cast<size_t>(size), f));
    (void)fclose(f);
    return result;
}

extern "C" int sw_file_rename(const char* oldName, const char* newName) {
    if (oldName == nullptr || newName == nullptr) return -1;
    return rename(oldName, newName) == 0 ? 0 : -1;
}

extern "C" int sw_file_delete(const char* path) {
    if (path == nullptr) return -1;
    return remove(path) == 0 ? 0 : -1;
}

extern "C" bool sw_file_exists(const char* path) {
    return path != nullptr && access(path, F_OK) == 0;
}

extern "C" int sw_file_copy(const char* existingFilename, const char* newFilename, bool failIfExists) {
    if (existingFilename == nullptr || newFilename == nullptr) return -1;
    if (failIfExists && sw_file_exists(newFilename)) return -1;
    char* buf = nullptr;
    const int size = read_whole(existingFilename, [&buf](int n) {
        // One byte at least: malloc(0) may answer NULL, which would read as out of memory.
        buf = static_cast<char*>(malloc(n > 0 ? static_cast<size_t>(n) : 1));
        if (buf != nullptr) prefault(buf, static_cast<size_t>(n));
        return buf;
    });
    int result = -1;
    if (size >= 0 && sw_file_update(newFilename, "wb", buf, size) == size) result = size;
    free(buf);
    return result;
}

extern "C" char* sw_file_getCfgString(const char* path, const char* section, const char* mode, char* field, char* value,
                                      int resultBufSize) {
    if (path == nullptr || mode == nullptr || field == nullptr || value == nullptr || resultBufSize < 1) return nullptr;
    const CfgOp op = cfg_op(mode, "GetFieldValue", "GetFieldName");
    if (op == CfgOp::kInvalid) return nullptr;
    const int found = cfg_size(path, false);
    if (found <= 0) return nullptr;
    CfgCopy copy;
    if (!copy.load(path, found, 0)) return nullptr;
    const int at = copy.region(section);
    if (at < 0) return nullptr;
    const char* region = copy.data() + at;
    const int regionSize = copy.total() + 1 - at;
    if (op == CfgOp::kByName) return sw_str_getFieldValue(region, regionSize, '\n', field, value, resultBufSize);
    return sw_str_getFieldName(region, regionSize, '\n', field, resultBufSize, value);
}

extern "C" bool sw_file_setCfgString(const char* path, const char* section, const char* mode, const char* field,
                                     const char* value, bool autoAdd) {
    if (path == nullptr || mode == nullptr || field == nullptr || value == nullptr) return false;
    const CfgOp op = cfg_op(mode, "SetFieldValue", "SetFieldName");
    if (op == CfgOp::kInvalid) return false;
    const size_t fieldLen = strlen(field);
    if (fieldLen > kMaxFieldChars || strlen(value) > kMaxFieldChars - fieldLen) return false;
    const int found = cfg_size(path, true);
    if (found < 0) return false;
    CfgCopy copy;
    if (!copy.load(path, found, kMargin)) return false;
    const int size = copy.size();

    int at = copy.region(section);
    int added = 0;
    if (at < 0) {
        if (!autoAdd || strlen(section) > static_cast<size_t>(kMaxSectionMarker)) return false;
        // The marker's length was checked: the line fits the room kept for it.
        added = snprintf(copy.data() + size, static_cast<size_t>(kSectionLineRoom) + 1, "\r\n%s\r\n", section);
        at = size;
    }
    char* region = copy.data() + at;
    const int regionSize = copy.total() - at;
    int change = 0;
    const bool ok = op == CfgOp::kByName
                        ? sw_str_setFieldValue(region, regionSize, '\n', field, value, autoAdd, &change)
                        : sw_str_setFieldName(region, regionSize, '\n', field, value, autoAdd, &change);
    if (!ok) return false;
    const int newSize = size + added + change;
    return sw_file_replace(path, copy.data(), static_cast<size_t>(newSize)) == 0;
}

extern "C" bool sw_file_delCfgString(const char* path, const char* section, const char* mode, const char* field,
                                     const char* value) {
    if (path == nullptr || mode == nullptr || (field == nullptr && value == nullptr)) return false;
    const CfgOp op = cfg_op(mode, "DelFieldByName", "DelFieldByValue");
    if (op == CfgOp::kInvalid) return false;
    const int found = cfg_size(path, false);
    if (found < 0) return false;
    CfgCopy copy;
    if (!copy.load(path, found, 0)) return false;
    // An empty file or an absent section is an empty text to the field operations, which have
    // nothing to delete there but still refuse a key no field can have.
    const int at = copy.region(section);
    char none[1] = "";
    char* region = at < 0 ? none : copy.data() + at;
    const int regionSize = at < 0 ? 1 : copy.total() + 1 - at;
    int change = 0;
    const bool ok = op == CfgOp::kByName ? sw_str_delFieldByName(region, regionSize, '\n', field, &change)
                                         : sw_str_delFieldByValue(region, regionSize, '\n', value, &change);
    if (!ok) return false;
    if (change == 0) return true;  // nothing deleted: the file stays as it is
    const int newSize = copy.size() + change;  // change <= 0 here: a deletion only shrinks the text
    return sw_file_replace(path, copy.data(), static_cast<size_t>(newSize)) == 0;
}

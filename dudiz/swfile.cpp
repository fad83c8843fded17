// File helpers: whole-file write, read and copy through stdio, and small wrappers.

#include "swfile.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    void* aligned = reinterpret_cast<void*>(start);
#ifdef MADV_HUGEPAGE
    (void)madvise(aligned, end - start, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    (void)madvise(aligned, end - start, MADV_POPULATE_WRITE);
#endif
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
    const int size = sw_file_getSize(existingFilename);
    if (size < 0) return -1;
    // One byte at least: malloc(0) may answer NULL, which would read as out of memory.
    char* buf = static_cast<char*>(malloc(size > 0 ? static_cast<size_t>(size) : 1));
    if (buf == nullptr) return -1;
    prefault(buf, static_cast<size_t>(size));
    int result = -1;
    if (sw_file_load(existingFilename, "rb", buf, size) == size &&
        sw_file_update(newFilename, "wb", buf, size) == size) {
        result = size;
    }
    free(buf);
    return result;
}

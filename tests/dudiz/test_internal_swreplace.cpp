// White-box: the whole-file replacement under captures and configuration writes. The system calls
// it makes are interposed here (the library reaches them through the PLT): their order, and unnamed
// temporary files taken away. Failures and a killed writer leave the old file alone.
#include "internal/swreplace.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <filesystem>
#include <set>

#include "support/tempdir.h"

namespace {

bool g_record = false, g_noTmpfile = false;
std::vector<std::string> g_calls;

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
    return names;
}

}  // namespace

// Default visibility: the build hides symbols, and these must be seen by the library's calls. With
// 64-bit file offsets the headers bind openat to openat64, as they do the library's calls.
#define QS_INTERPOSE(ret, name, params, args, note)                                        \
    extern "C" __attribute__((visibility("default"))) ret name params {                    \
        if (g_record) g_calls.push_back(note);                                             \
        static const auto next = reinterpret_cast<ret(*) params>(dlsym(RTLD_NEXT, #name)); \
        return next args;                                                                  \
    }
QS_INTERPOSE(int, linkat, (int a, const char* b, int c, const char* d, int e), (a, b, c, d, e), "link")
QS_INTERPOSE(int, renameat, (int a, const char* b, int c, const char* d), (a, b, c, d), "rename")
QS_INTERPOSE(int, fsync, (int fd), (fd), [fd] {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? "fsync dir" : "fsync file";
}())
extern "C" __attribute__((visibility("default"))) int openat(int dirFd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = va_arg(ap, mode_t);
    va_end(ap);
    if (g_noTmpfile && (flags & O_TMPFILE) == O_TMPFILE) return errno = EOPNOTSUPP, -1;
    static const auto next = reinterpret_cast<int (*)(int, const char*, int, ...)>(
        dlsym(RTLD_NEXT, sizeof(off_t) == 8 ? "openat64" : "openat"));
    return next(dirFd, path, flags, mode);
}

// Each way (an unnamed temporary file, or a named one where the file system has none), for a new and
// an existing target: the content is synced before it gets a name, the directory after the rename.
TEST(SwReplace, SyncsTheFileBeforeAndTheDirectoryAfterTheRename) {
    for (const bool named : {false, true}) {
        TempDir d;
        for (const char* text : {"first", "second"}) {
            g_calls.clear();
            g_noTmpfile = named, g_record = true;
            EXPECT_EQ(sw_file_replace(d.file("t").c_str(), text, strlen(text)), 0);
            g_record = g_noTmpfile = false;
            EXPECT_EQ(g_calls,
                      (named ? std::vector<std::string>{"fsync file", "rename", "fsync dir"}
                             : std::vector<std::string>{"fsync file", "link", "rename", "fsync dir"}));
            EXPECT_EQ(TempDir::read(d.file("t")), text);
            EXPECT_EQ(entries(d.path()), std::set<std::string>{"t"});
        }
    }
}

// A caller that withdraws at the last moment (as a capture that gave up does) leaves the old file
// byte for byte and no temporary file, either way. (A write that fails half-way: the capture's test.)
TEST(SwReplace, AWithdrawnReplacementKeepsTheOldFile) {
    for (const bool named : {false, true}) {
        TempDir d;
        const std::string t = d.write("t", "old content");
        g_noTmpfile = named;
        EXPECT_EQ(sw_file_replace_gated(
                      t.c_str(), "new", 3, [](void*) { return 0; }, nullptr),
                  -1);
        EXPECT_EQ(errno, ECANCELED);
        g_noTmpfile = false;
        EXPECT_EQ(TempDir::read(t), "old content");
        EXPECT_EQ(entries(d.path()), std::set<std::string>{"t"}) << named;
    }
}

// A writer killed in the middle of its saves leaves at most its own named temporary file, which the
// next save into that directory removes; those of live processes stay.
TEST(SwReplace, NextSaveRemovesWhatAKilledWriterLeft) {
    TempDir d;
    const std::string t = d.write("t", "a");
    const pid_t sleeper = fork();
    if (sleeper == 0) pause(), _exit(0);
    const std::string live = d.write(".swreplace-" + std::to_string(sleeper) + "-abcdef", ""),
                      mine = d.write(".swreplace-" + std::to_string(getpid()) + "-abcdef", "");
    for (const char fill : {'u', 'n'}) {  // unnamed, named temporary files
        const pid_t writer = fork();
        if (writer == 0) {
            g_noTmpfile = fill == 'n';
            for (const std::string big(4 << 20, fill);;)
                (void)sw_file_replace(t.c_str(), big.data(), big.size());
        }
        for (int i = 0; i < 20000 && TempDir::read(t)[0] != fill; ++i)
            usleep(1000);  // it is writing for sure
        usleep(20000);
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        ASSERT_EQ(sw_file_replace(d.file("other").c_str(), "x", 1), 0);
        EXPECT_EQ(entries(d.path()), (std::set<std::string>{"t", "other", live.substr(d.path().size() + 1),
                                                            mine.substr(d.path().size() + 1)}));
        const std::string content = TempDir::read(t);
        EXPECT_TRUE(content.size() == 4u << 20 && content.find_first_not_of(fill) == std::string::npos);
    }
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

// swfile: whole-file write, read, copy and the small wrappers, and the configuration-file edits and
// reads as tables of steps, inside a private temporary directory.
#include "swfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "support/forked.h"
#include "support/tempdir.h"

using Str = std::string;

class SwFile : public ::testing::Test {
protected:
    TempDir dir;
    const Str cfg = dir.file("app.cfg");
    const char* c = cfg.c_str();
    struct stat st = {};
    static Str rd(const char* path) { return TempDir::read(path); }
    bool set(const char* f, const char* v) { return sw_file_setCfgString(c, 0, "SetFieldValue", f, v, true); }
    bool del(const char* p, const char* m = "DelFieldByName") {
        return sw_file_delCfgString(p, 0, m, "a", 0);
    }
};

// A full device takes the buffered data and refuses it only when it is flushed.
TEST_F(SwFile, WriteReadAndCopy) {
    const Str b = dir.write("b", "old");
    const char *p = c, *q = b.c_str(), *no = "/nonexistent/f", *full = "/dev/full";
    char buf[16] = "###############";
    EXPECT_TRUE(sw_file_update(p, "wb", "data\0", 5) == 5 && sw_file_update(p, "ab", "xyz", 3) == 3);
    EXPECT_TRUE(sw_file_load(p, "rb", buf, 7) == -1 && sw_file_load(p, "rb", buf, 9) == 8);
    EXPECT_TRUE(Str(buf, 16) == Str("data\0xyz#######", 16) && sw_file_copy(p, q, true) == -1);
    EXPECT_TRUE(rd(q) == "old" && sw_file_copy(p, q, false) == 8 && rd(q) == Str(buf, 8) &&
                sw_file_exists(q));
    EXPECT_TRUE(sw_file_update(full, "w", "16", 2) == -1 && sw_file_copy(q, full, 0) == -1);
    EXPECT_TRUE(!sw_file_update(p, "wb", "", 0) && !sw_file_copy(p, q, false) && rd(q).empty());
    // clang-format off
    const std::vector<int> refused = {sw_file_load(no, "rb", buf, 9), sw_file_load(p, "rb", buf, -1),
        sw_file_load(p, "rb", nullptr, 9), sw_file_getSize(no), sw_file_delete(no), sw_file_rename(no, p),
        sw_file_copy(no, p, false), sw_file_copy(p, no, false), sw_file_update(no, "wb", "x", 1),
        sw_file_update(p, "wb", "x", -1), sw_file_getSize(0), sw_file_delete(0), sw_file_rename(p, 0),
        sw_file_copy(0, p, false), sw_file_update(0, "wb", "x", 1), sw_file_exists(no) ? 0 : -1};
    // clang-format on
    EXPECT_EQ(refused, std::vector<int>(refused.size(), -1));
}

// Sizes above INT_MAX (sparse files; 5 GiB would wrap to 1 GiB when cut to 32 bits) have no int.
TEST_F(SwFile, SizesAboveIntMax) {
    dir.write("app.cfg", "");
    for (long long size : {INT_MAX + 0LL, INT_MAX + 1LL, 5LL << 30})
        EXPECT_TRUE(!truncate64(c, size) && sw_file_getSize(c) == (size > INT_MAX ? -1 : INT_MAX)) << size;
}

// The edits one after another, each with the whole file after it ("!": refused and "=": done, the file not
// rewritten, as a hard link shows). The largest section line and field take the whole margin.
TEST_F(SwFile, CfgEdits) {
    const char *V = "SetFieldValue", *N = "DelFieldByName";
    const Str s188(188, 's'), s189(189, 's'), v191(191, 'v'), v192(192, 'v'), n = "\r\n[net]\r\n";
    const Str e = "\r\n[cam]\r\nexposure=manual", big = "\r\n" + s188 + "\r\na=" + v191;
    // clang-format off
    const struct { const char *section, *mode, *field, *value; bool autoAdd; Str after; } rows[] = {
        {"[cam]", V, "mode", "auto", true, "\r\n[cam]\r\nmode=auto"},
        {"[cam]", "setfieldvalue", "mode", "manual", true, "\r\n[cam]\r\nmode=manual"},
        {"[cam]", "SetFieldName", "exposure", "manual", false, e},
        {"[net]", V, "port", "80", true, e + n + "port=80"},
        {"[cam]", V, "gain", "2", true, e + n + "port=80\r\ngain=2"},  // in [net]
        {s188.c_str(), V, "a", v191.c_str(), true, e + n + "port=80\r\ngain=2" + big},
        {0, V, "a", v192.c_str(), true, "!"}, {s189.c_str(), V, "a", "1", true, "!"},
        {"[net]", V, "host", "h", false, "!"}, {"[web]", V, "port", "1", false, "!"},
        {0, "SetValue", "port", "2", true, "!"}, {0, V, "port", 0, true, "!"},
        {"[web]", N, "port", 0, true, "="}, {0, "DelFieldByValue", 0, "x", true, "="},
        {"[web]", N, 0, "x", true, "!"}, {"[web]", N, "a=b", 0, true, "!"},
        {"[net]", N, "port", 0, true, e + n + "gain=2" + big},
        {0, "delfieldbyvalue", 0, "MANUAL", true, "\r\n[cam]" + n + "gain=2" + big}};
    // clang-format on
    for (const auto& r : rows) {
        const Str was = TempDir::read(cfg), hard = dir.file("hard"),
                  after = r.after.size() > 1 ? r.after : was;
        ASSERT_TRUE(after != was || link(c, hard.c_str()) == 0);  // a rewrite would part the two names
        const bool ok = (r.mode[0] | 0x20) == 's'
                            ? sw_file_setCfgString(c, r.section, r.mode, r.field, r.value, r.autoAdd)
                            : sw_file_delCfgString(c, r.section, r.mode, r.field, r.value);
        EXPECT_TRUE(ok == (r.after != "!") && TempDir::read(cfg) == after) << r.mode << ' ' << r.field;
        EXPECT_TRUE(after != was || (stat(c, &st) == 0 && st.st_nlink == 2 && unlink(hard.c_str()) == 0));
    }
}

// Each read as a row (expected NULL: not found). An empty file holds nothing to delete, but an unknown mode
// is refused before the file is read; a missing file and a directory cannot be read as a configuration (a
// failed read is no success).
TEST_F(SwFile, CfgReads) {
    const char text[] = "port=1\r\n[net]\r\nport = 8080\r\na=1234\0\r\n[s]\r\nb=2\r\n", *V = "GetFieldValue";
    dir.write("app.cfg", Str(text, sizeof text - 1));
    // clang-format off
    const struct { const char *section, *mode, *key; int size; const char* expected; } rows[] = {
        {"[net]", V, "port", 8, "8080"}, {0, V, "port", 8, "1"},
        {"[NET]", "getfieldvalue", "PORT", 8, "8080"}, {"[net]", "GetFieldName", "8080", 8, "port"},
        {0, "GetFieldName", "1", 8, "port"}, {"[web]", V, "port", 8, 0}, {"[net]", V, "host", 8, 0},
        {"[net]", "GetField", "port", 8, 0}, {0, V, "a", 5, "1234"}, {0, V, "a", 4, 0}, {0, V, "a", 0, 0},
        {"[s]", V, "b", 8, "2"}, {"[s]", V, "a", 8, 0}, {0, 0, "a", 8, 0}};  // on past a NUL
    // clang-format on
    for (const auto& r : rows) {
        char f[16] = "", v[16] = "",
             *in = r.mode && (r.mode[8] | 0x20) == 'n' ? v : f;  // GetFieldName reads v
        const char* got = sw_file_getCfgString(c, r.section, r.mode, (strcpy(in, r.key), f), v, r.size);
        EXPECT_TRUE(got == (r.expected ? (in == v ? f : v) : 0) && (!got || Str(got) == r.expected)) << r.key;
    }
    char f[8] = "a", v[8];
    const auto get = [&](const char* path) { return sw_file_getCfgString(path, 0, V, f, v, 8); };
    dir.write("app.cfg", "");
    EXPECT_TRUE(!get(c) && del(c) && !del(c, "DelField"));
    for (const Str& path : {dir.file("missing"), dir.path()})
        EXPECT_FALSE(get(path.c_str()) || del(path.c_str()) ||
                     sw_file_setCfgString(path.c_str(), 0, "SetFieldValue", "a", "1", 0));
}

// A rewrite goes to an exclusive temporary file beside the file and is renamed over it: the permission
// bits stay, no temporary file is left, and a write that fails part-way (a file-size limit) leaves the old
// file byte for byte.
TEST_F(SwFile, CfgRewriteIsOneStep) {
    const Str old = "# " + Str(100, 'c') + "\r\nname=n\r\na=1\r\n";
    ASSERT_EQ(chmod(dir.write("app.cfg", old).c_str(), 0640), 0);
    expect_passes_in_child([&] {
        const struct rlimit lim = {64, 64};
        ASSERT_TRUE(signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &lim) == 0);
        EXPECT_FALSE(set("name", Str(150, 'x').c_str()) || del(c));
    });
    EXPECT_EQ(TempDir::read(cfg), old);
    ASSERT_TRUE(set("name", "m") && del(c) && stat(c, &st) == 0 && (st.st_mode & 07777) == 0640);
    EXPECT_EQ(TempDir::read(cfg), "# " + Str(100, 'c') + "\r\nname=m\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "a temporary file left";
}

// A file renamed over the path while it is read (as a rewrite does) is read as the old file or the new one,
// never as the new one cut at the old size, which here would give the value "ABCDE" or a 40-byte copy. A
// thread swaps the two files (RENAME_EXCHANGE) as fast as it can; a read may fail, but not report a cut.
TEST_F(SwFile, ReadWhileReplaced) {
    const Str a = "key=ABCDEFGHIJ\n" + Str(25, '.'), b = Str(30, '#') + "\n" + a + Str(9, '.'),
              other = dir.write("other", b), copy = dir.file("copy");
    dir.write("app.cfg", a);
    ASSERT_EQ(renameat2(AT_FDCWD, c, AT_FDCWD, other.c_str(), RENAME_EXCHANGE), 0);  // the file system can
    // Some 2000 "." steps make each lookup slow, which widens the gap between a lookup by path and the open
    // after it, where a swap must fall to cut a read.
    Str slow = dir.path();
    while (slow.size() < 4000) slow += "/.";
    slow += "/app.cfg";
    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        for (; !stop; ++swaps) (void)renameat2(AT_FDCWD, c, AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
    });
    while (swaps == 0) std::this_thread::yield();
    int cut = 0, whole = 0;
    for (int round = 0; round < 300; ++round) {
        char f[] = "key", v[32];
        const char* got = sw_file_getCfgString(slow.c_str(), 0, "GetFieldValue", f, v, 32);
        const int n = sw_file_copy(slow.c_str(), copy.c_str(), false);
        const Str copied = n >= 0 ? rd(copy.c_str()) : a;
        cut += (got && Str(got) != "ABCDEFGHIJ") + (copied != a && copied != b);
        whole += (got != nullptr) + (n >= 0);
    }
    stop = true;
    swapper.join();
    EXPECT_TRUE(cut == 0 && whole > 0) << cut << " cut, " << whole << " whole";
}

// swfile: whole-file write, read, copy and the small wrappers, and the configuration-file edits and
// reads as tables of steps, inside a private temporary directory.
#include "swfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/forked.h"
#include "support/tempdir.h"

namespace {

using Str = std::string;

class SwFile : public ::testing::Test {
protected:
    TempDir dir;
    const Str cfg = dir.file("app.cfg");

    struct stat info(const Str& path) const {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st : (st.st_nlink = 0, st);
    }
    // A file of `size` bytes that occupies no disk space.
    bool sparse(const Str& path, long long size) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        return fd >= 0 && ftruncate64(fd, static_cast<off64_t>(size)) == 0 && close(fd) == 0;
    }
};

}  // namespace

TEST_F(SwFile, WriteReadAndCopy) {
    Str data(300000, '\0'), buf(300011, '#');  // beyond any stdio buffer
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7919 % 251);
    const Str a = dir.file("a"), b = dir.write("b", "old"), empty = dir.write("empty", ""),
              t = dir.write("t", "x");
    EXPECT_TRUE(sw_file_update(a.c_str(), "wb", data.data(), 300000) == 300000 &&
                sw_file_update(a.c_str(), "ab", "xyz", 3) == 3);
    EXPECT_EQ(sw_file_load(a.c_str(), "rb", buf.data(), 300011), 300003);
    EXPECT_EQ(buf, data + "xyz########");  // no NUL appended, nothing beyond
    EXPECT_TRUE(sw_file_load(a.c_str(), "rb", buf.data(), 300002) == -1 && buf == data + "xyz########");
    EXPECT_TRUE(sw_file_copy(a.c_str(), b.c_str(), true) == -1 && TempDir::read(b) == "old");
    EXPECT_TRUE(sw_file_copy(a.c_str(), b.c_str(), false) == 300003 && TempDir::read(b) == data + "xyz");
    EXPECT_TRUE(sw_file_copy(a.c_str(), dir.file("c").c_str(), true) == 300003 &&
                TempDir::read(dir.file("c")) == data + "xyz");
    EXPECT_TRUE(sw_file_copy(empty.c_str(), b.c_str(), false) == 0 && TempDir::read(b).empty());
    EXPECT_TRUE(sw_file_update(t.c_str(), "wb", "", 0) == 0 &&
                sw_file_getSize(t.c_str()) == 0);  // opened: emptied
    EXPECT_TRUE(sw_file_update(dir.file("d").c_str(), "wb", "", 0) == 0 &&
                sw_file_exists(dir.file("d").c_str()));
    EXPECT_TRUE(sw_file_load(empty.c_str(), "rb", buf.data(), 0) == 0 && !sw_file_exists("/nonexistent/f"));
    const char *missing = "/nonexistent/f", *p = a.c_str(), *nul = nullptr;
    // clang-format off
    const std::vector<int> refused = {
        sw_file_load(missing, "rb", &buf[0], 10), sw_file_copy(missing, p, false), sw_file_getSize(missing),
        sw_file_delete(missing), sw_file_rename(missing, p), sw_file_update(missing, "wb", "x", 1),
        sw_file_copy(p, missing, false), sw_file_update(p, "wb", "x", -1), sw_file_update(nul, "wb", "x", 1),
        sw_file_update(p, nul, "x", 1), sw_file_update(p, "wb", nul, 1), sw_file_load(p, "rb", &buf[0], -1),
        sw_file_load(p, nul, &buf[0], 10), sw_file_load(p, "rb", nullptr, 10),
        sw_file_load(p, "wx", &buf[0], 300011), sw_file_copy(p, nul, false), sw_file_copy(nul, p, false),
        sw_file_getSize(nul), sw_file_delete(nul), sw_file_rename(nul, p), sw_file_rename(p, nul),
        sw_file_exists(nul) ? 0 : -1};
    // clang-format on
    EXPECT_EQ(refused, std::vector<int>(refused.size(), -1));
    EXPECT_TRUE(sw_file_copy(p, p, false) == 300003 && TempDir::read(a) == data + "xyz");
}

// A full device takes the buffered data and refuses it only when it is flushed; sizes above INT_MAX
// (sparse files; 5 GiB would wrap to 1 GiB when cut to 32 bits) have no int.
TEST_F(SwFile, FailedFlushAndSizesAboveIntMax) {
    for (const char* mode : {"w", "wb", "ab"})
        EXPECT_EQ(sw_file_update("/dev/full", mode, "16", 2), -1) << mode;
    const Str big(1 << 20, 'b');
    EXPECT_LT(sw_file_update("/dev/full", "wb", big.data(), 1 << 20), 1 << 20);
    EXPECT_TRUE(sw_file_update("/dev/null", "wb", big.data(), 1 << 20) == 1 << 20);
    EXPECT_EQ(sw_file_copy(dir.write("src", "payload").c_str(), "/dev/full", false), -1);
    for (long long size : {INT_MAX + 0LL, INT_MAX + 1LL, 5LL << 30}) {
        ASSERT_TRUE(sparse(dir.file("sparse"), size));
        EXPECT_EQ(sw_file_getSize(dir.file("sparse").c_str()), size > INT_MAX ? -1 : INT_MAX) << size;
    }
    const Str link = dir.file("link"), moved = dir.file("moved");
    ASSERT_EQ(symlink(dir.file("src").c_str(), link.c_str()), 0);
    EXPECT_EQ(sw_file_getSize(link.c_str()), 7);  // follows the link
    EXPECT_TRUE(sw_file_rename(link.c_str(), moved.c_str()) == 0 && sw_file_delete(moved.c_str()) == 0);
    EXPECT_TRUE(sw_file_exists(dir.file("src").c_str()) && !sw_file_exists(moved.c_str()))
        << "the link went, not its target";
}

// The edits one after another, each with its result and the whole file after it ("=": not rewritten).
TEST_F(SwFile, CfgEdits) {
    const Str s188(188, 's'), s189(189, 's'), v191(191, 'v'), v192(192, 'v');
    const Str big = "\r\n" + s188 + "\r\na=" + v191;  // the largest section line and field: the whole margin
    const Str e = "\r\n[cam]\r\nexposure=manual", n = "\r\n[net]\r\n",
              all = e + n + "port=80\r\ngain=2" + big;
    const struct {
        bool set;
        const char *section, *mode, *field, *value;
        bool autoAdd, ok;
        Str after;
    } rows[] = {
        // clang-format off
        {true, "[cam]", "SetFieldValue", "mode", "auto", true, true, "\r\n[cam]\r\nmode=auto"},
        {true, "[cam]", "setfieldvalue", "mode", "manual", true, true, "\r\n[cam]\r\nmode=manual"},
        {true, "[cam]", "SetFieldName", "exposure", "manual", false, true, "\r\n[cam]\r\nexposure=manual"},
        {true, "[net]", "SetFieldValue", "port", "80", true, true, e + n + "port=80"},
        {true, "[cam]", "SetFieldValue", "gain", "2", true, true, e + n + "port=80\r\ngain=2"},  // in [net]
        {true, s188.c_str(), "SetFieldValue", "a", v191.c_str(), true, true, all},
        {true, nullptr, "SetFieldValue", "a", v192.c_str(), true, false, "="},
        {true, s189.c_str(), "SetFieldValue", "a", "1", true, false, "="},
        {true, "[net]", "SetFieldValue", "host", "h", false, false, "="},
        {true, "[web]", "SetFieldValue", "port", "1", false, false, "="},
        {true, nullptr, "SetValue", "port", "2", true, false, "="},
        {false, nullptr, "DelField", "port", "2", true, false, "="},
        {true, nullptr, "SetFieldValue", "port", "2\n3", true, false, "="},
        {true, nullptr, "SetFieldValue", "po=rt", "2", true, false, "="},
        {true, nullptr, "SetFieldValue", nullptr, "2", true, false, "="},
        {true, nullptr, "SetFieldValue", "port", nullptr, true, false, "="},
        {false, nullptr, "DelFieldByName", "po=rt", nullptr, true, false, "="},
        {false, nullptr, "DelFieldByName", nullptr, "1", true, false, "="},
        {false, "[web]", "DelFieldByName", "port", nullptr, true, true, "="},
        {false, nullptr, "DelFieldByValue", nullptr, "x", true, true, "="},
        {false, "[net]", "DelFieldByName", "port", nullptr, true, true, e + n + "gain=2" + big},
        {false, nullptr, "delfieldbyvalue", nullptr, "MANUAL", true, true, "\r\n[cam]" + n + "gain=2" + big},
        // clang-format on
    };
    for (const auto& r : rows) {
        const Str before = TempDir::read(cfg), hard = dir.file("hard");
        ASSERT_TRUE(r.after != "=" ||
                    link(cfg.c_str(), hard.c_str()) == 0);  // a rewrite would part the two names
        const bool ok =
            r.set ? sw_file_setCfgString(cfg.c_str(), r.section, r.mode, r.field, r.value, r.autoAdd)
                  : sw_file_delCfgString(cfg.c_str(), r.section, r.mode, r.field, r.value);
        EXPECT_TRUE(ok == r.ok && TempDir::read(cfg) == (r.after == "=" ? before : r.after))
            << r.mode << ' ' << r.field;
        EXPECT_TRUE(r.after != "=" || (info(cfg).st_nlink == 2 && unlink(hard.c_str()) == 0)) << "rewritten";
    }
}

TEST_F(SwFile, CfgReads) {
    const char text[] = "port=1\r\n[net]\r\nport = 8080\r\na=1234\0\r\n[s]\r\nb=2\r\n";
    dir.write("app.cfg", Str(text, sizeof text - 1));
    const struct {
        const char *section, *mode, *key;
        int size;
        const char* expected;  // NULL: not found
    } rows[] = {
        // clang-format off
        {"[net]", "GetFieldValue", "port", 8, "8080"}, {nullptr, "GetFieldValue", "port", 8, "1"},
        {"[NET]", "getfieldvalue", "PORT", 8, "8080"}, {"[net]", "GetFieldName", "8080", 8, "port"},
        {nullptr, "GetFieldName", "1", 8, "port"}, {"[web]", "GetFieldValue", "port", 8, nullptr},
        {"[net]", "GetFieldValue", "host", 8, nullptr}, {"[net]", "GetFieldValue", "port=", 8, nullptr},
        {"[net]", "GetField", "port", 8, nullptr}, {nullptr, "GetFieldValue", "a", 5, "1234"},
        {nullptr, "GetFieldValue", "a", 4, nullptr}, {nullptr, "GetFieldValue", "a", 0, nullptr},
        {"[s]", "GetFieldValue", "b", 8, "2"},
        {"[s]", "GetFieldValue", "a", 8, nullptr},  // the search goes on past a NUL
        {nullptr, nullptr, "a", 8, nullptr},
        // clang-format on
    };
    for (const auto& r : rows) {
        char field[16] = "", value[16] = "";
        const bool byValue = r.mode != nullptr && (r.mode[8] | 0x20) == 'n';  // "GetFieldName" reads a value
        strcpy(byValue ? value : field, r.key);
        const char* got = sw_file_getCfgString(cfg.c_str(), r.section, r.mode, field, value, r.size);
        EXPECT_TRUE(got == (r.expected ? (byValue ? field : value) : nullptr) &&
                    (!got || Str(got) == r.expected))
            << r.key;
    }
    char f[8] = "a", v[8];
    EXPECT_TRUE(sw_file_getCfgString(nullptr, nullptr, "GetFieldValue", f, v, 8) == nullptr &&
                !sw_file_setCfgString(nullptr, nullptr, "SetFieldValue", "a", "1", true));
    EXPECT_TRUE(sw_file_getCfgString(cfg.c_str(), nullptr, "GetFieldValue", nullptr, v, 8) == nullptr &&
                sw_file_getCfgString(cfg.c_str(), nullptr, "GetFieldValue", f, nullptr, 8) == nullptr);
    // An empty file holds nothing to delete, but an unknown mode is refused before the file is read;
    // a missing file and a directory cannot be read as a configuration (a failed read is no success).
    dir.write("app.cfg", "");
    EXPECT_TRUE(sw_file_getCfgString(cfg.c_str(), nullptr, "GetFieldValue", f, v, 8) == nullptr &&
                sw_file_delCfgString(cfg.c_str(), nullptr, "DelFieldByName", "a", nullptr));
    EXPECT_FALSE(sw_file_delCfgString(cfg.c_str(), nullptr, "DelField", "a", nullptr));
    for (const Str& path : {dir.file("missing"), dir.path()}) {
        EXPECT_EQ(sw_file_getCfgString(path.c_str(), nullptr, "GetFieldValue", f, v, 8), nullptr) << path;
        EXPECT_FALSE(sw_file_delCfgString(path.c_str(), nullptr, "DelFieldByName", "a", nullptr) ||
                     sw_file_delCfgString(nullptr, nullptr, "DelFieldByName", "a", nullptr));
        EXPECT_FALSE(sw_file_setCfgString(path.c_str(), nullptr, "SetFieldValue", "a", "1", false)) << path;
    }
}

// A rewrite goes to an exclusive temporary file beside the file and is renamed over it: the permission
// bits stay, no temporary file is left, and a write that fails part-way (a file-size limit) leaves the old
// file byte for byte.
TEST_F(SwFile, CfgRewriteIsOneStep) {
    const Str old = "# " + Str(100, 'c') + "\r\nname=n\r\nport=1\r\n";
    dir.write("app.cfg", old);
    ASSERT_EQ(chmod(cfg.c_str(), 0640), 0);
    expect_passes_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit lim = {64, 64};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
        EXPECT_FALSE(
            sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", "name", Str(150, 'x').c_str(), true));
        EXPECT_FALSE(sw_file_delCfgString(cfg.c_str(), nullptr, "DelFieldByName", "port", nullptr));
        EXPECT_FALSE(sw_file_setCfgString(cfg.c_str(), "[new]", "SetFieldValue", "a", "1", true));
    });
    EXPECT_EQ(TempDir::read(cfg), old);
    ASSERT_TRUE(sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", "name", "m", false));
    ASSERT_TRUE(sw_file_delCfgString(cfg.c_str(), nullptr, "DelFieldByName", "port", nullptr));
    EXPECT_TRUE((info(cfg).st_mode & 07777) == 0640 &&
                TempDir::read(cfg) == "# " + Str(100, 'c') + "\r\nname=m\r\n");
    DIR* d = opendir(dir.path().c_str());
    int entries = 0;
    while (const dirent* e = readdir(d))
        entries += e->d_name[0] != '.' || e->d_name[1] == 's';  // .swreplace-*
    closedir(d);
    EXPECT_EQ(entries, 1) << "no temporary file left";
}

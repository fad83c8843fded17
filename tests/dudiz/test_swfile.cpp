// swfile: whole-file write, read, copy and the small wrappers, and the configuration-file edits
// (fuzz_cfg checks them on random files), inside a private temporary directory.
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

class SwFile : public ::testing::Test {
protected:
    TempDir dir;
    const std::string cfg = dir.file("app.cfg");

    // A file of `size` bytes that occupies no disk space.
    bool sparse(const std::string& path, long long size) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool ok = fd >= 0 && ftruncate64(fd, static_cast<off64_t>(size)) == 0;
        return close(fd) == 0 && ok;
    }
    std::string get(const char* section, const char* mode, const char* key, int size = 32) {
        char field[256] = "", value[256] = "";
        snprintf((mode[8] | 0x20) == 'n' ? value : field, 256, "%s", key);  // ...FieldName reads a value
        const char* r = sw_file_getCfgString(cfg.c_str(), section, mode, field, value, size);
        return r == nullptr ? "<none>" : r;
    }
    ino_t inode() const {
        struct stat st {};
        return stat(cfg.c_str(), &st) == 0 ? st.st_ino : 0;
    }
};

}  // namespace

TEST_F(SwFile, WriteReadAndCopy) {
    std::string data(300000, '\0');  // beyond any stdio buffer
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7919 % 251);
    const std::string a = dir.file("a"), b = dir.write("b", "old target"), empty = dir.write("empty", "");
    EXPECT_EQ(sw_file_update(a.c_str(), "wb", data.data(), 300000), 300000);
    EXPECT_EQ(sw_file_update(a.c_str(), "ab", "xyz", 3), 3);
    EXPECT_EQ(TempDir::read(a), data + "xyz");
    std::string buf(300011, '#');
    EXPECT_EQ(sw_file_load(a.c_str(), "rb", buf.data(), 300011), 300003);
    EXPECT_EQ(buf, data + "xyz########");  // no NUL appended, nothing beyond
    EXPECT_TRUE(sw_file_load(a.c_str(), "rb", buf.data(), 300002) == -1 && buf == data + "xyz########");
    EXPECT_EQ(sw_file_copy(a.c_str(), b.c_str(), true), -1);
    EXPECT_EQ(TempDir::read(b), "old target");
    EXPECT_EQ(sw_file_copy(a.c_str(), b.c_str(), false), 300003);
    EXPECT_EQ(TempDir::read(b), data + "xyz");
    EXPECT_TRUE(sw_file_copy(empty.c_str(), b.c_str(), false) == 0 && TempDir::read(b).empty());
    EXPECT_TRUE(sw_file_copy(a.c_str(), dir.file("new").c_str(), true) == 300003 &&
                TempDir::read(dir.file("new")) == TempDir::read(a));
    EXPECT_TRUE(sw_file_update(dir.write("t", "full").c_str(), "wb", "", 0) == 0 &&
                sw_file_getSize(dir.file("t").c_str()) == 0);  // still opened: emptied
    EXPECT_TRUE(sw_file_load(empty.c_str(), "rb", buf.data(), 0) == 0 &&
                sw_file_update(dir.file("c").c_str(), "wb", "", 0) == 0);
    EXPECT_TRUE(sw_file_exists(dir.file("c").c_str()) && !sw_file_exists(dir.file("d").c_str()) &&
                !sw_file_exists(nullptr));
    const char *missing = "/nonexistent/f", *p = a.c_str();
    const std::vector<int> refused = {sw_file_load(missing, "rb", buf.data(), 10),
                                      sw_file_copy(missing, b.c_str(), false),
                                      sw_file_getSize(missing),
                                      sw_file_delete(missing),
                                      sw_file_rename(missing, b.c_str()),
                                      sw_file_update(missing, "wb", "x", 1),
                                      sw_file_copy(p, missing, false),
                                      sw_file_update(p, "wb", "x", -1),
                                      sw_file_update(nullptr, "wb", "x", 1),
                                      sw_file_update(p, nullptr, "x", 1),
                                      sw_file_update(p, "wb", nullptr, 1),
                                      sw_file_load(p, "rb", buf.data(), -1),
                                      sw_file_load(p, nullptr, buf.data(), 10),
                                      sw_file_load(p, "rb", nullptr, 10),
                                      sw_file_load(p, "wx", buf.data(), 300011),
                                      sw_file_copy(p, nullptr, false),
                                      sw_file_copy(nullptr, p, false),
                                      sw_file_getSize(nullptr),
                                      sw_file_delete(nullptr),
                                      sw_file_rename(nullptr, p),
                                      sw_file_rename(p, nullptr)};
    EXPECT_EQ(refused, std::vector<int>(refused.size(), -1));
    EXPECT_EQ(sw_file_copy(p, p, false), 300003);
    EXPECT_EQ(TempDir::read(b), "") << "the failures above left the target";
}

// A full device takes the buffered data and refuses it only when it is flushed; sizes above INT_MAX
// (sparse files: 5 GiB would wrap to 1 GiB when cut to 32 bits) have no int.
TEST_F(SwFile, FailedFlushAndSizesAboveIntMax) {
    for (const char* mode : {"w", "wb", "ab"})
        EXPECT_EQ(sw_file_update("/dev/full", mode, "16", 2), -1) << mode;
    const std::string big(1 << 20, 'b');
    EXPECT_LT(sw_file_update("/dev/full", "wb", big.data(), 1 << 20), 1 << 20);
    EXPECT_EQ(sw_file_update("/dev/null", "wb", big.data(), 1 << 20), 1 << 20);
    EXPECT_EQ(sw_file_copy(dir.write("src", "payload").c_str(), "/dev/full", false), -1);
    const long long sizes[] = {INT_MAX, INT_MAX + 1LL, 5LL << 30};
    for (long long size : sizes) {
        ASSERT_TRUE(sparse(dir.file("sparse"), size));
        EXPECT_EQ(sw_file_getSize(dir.file("sparse").c_str()), size > INT_MAX ? -1 : INT_MAX) << size;
    }
    ASSERT_EQ(symlink(dir.file("src").c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(sw_file_getSize(dir.file("link").c_str()), 7);  // follows the link
    EXPECT_TRUE(sw_file_rename(dir.file("link").c_str(), dir.file("l2").c_str()) == 0 &&
                sw_file_delete(dir.file("l2").c_str()) == 0);
    EXPECT_TRUE(sw_file_exists(dir.file("src").c_str()) && !sw_file_exists(dir.file("l2").c_str()))
        << "the link went, not its target";
}

TEST_F(SwFile, CfgEditsAndReads) {
    const std::string section(188, 's'), value(191, 'v');  // the largest section line and field together
    EXPECT_TRUE(sw_file_setCfgString(cfg.c_str(), "[cam]", "SetFieldValue", "mode", "auto", true));
    EXPECT_TRUE(sw_file_setCfgString(cfg.c_str(), "[cam]", "setfieldvalue", "mode", "manual", true));
    EXPECT_TRUE(sw_file_setCfgString(cfg.c_str(), "[cam]", "SetFieldName", "exposure", "manual", false));
    EXPECT_TRUE(sw_file_setCfgString(cfg.c_str(), "[net]", "SetFieldValue", "port", "80", true));
    EXPECT_TRUE(
        sw_file_setCfgString(cfg.c_str(), "[cam]", "SetFieldValue", "gain", "2", true));  // lands in [net]
    EXPECT_TRUE(
        sw_file_setCfgString(cfg.c_str(), section.c_str(), "SetFieldValue", "a", value.c_str(), true));
    EXPECT_EQ(TempDir::read(cfg),
              "\r\n[cam]\r\nexposure=manual\r\n[net]\r\nport=80\r\ngain=2\r\n" + section + "\r\na=" + value);
    EXPECT_TRUE(get("[NET]", "getfieldvalue", "GAIN") == "2" && get(nullptr, "GetFieldName", "80") == "port");
    EXPECT_TRUE(get("[web]", "GetFieldValue", "port") == "<none>" &&
                get("[net]", "GetFieldValue", "host") == "<none>");
    EXPECT_TRUE(get("[cam]", "GetField", "port") == "<none>" &&
                get(nullptr, "GetFieldValue", "port=") == "<none>");
    EXPECT_TRUE(get(nullptr, "GetFieldValue", "a", 191) == "<none>" &&
                get(nullptr, "GetFieldValue", "a", 256) == value);
    const std::string before = TempDir::read(cfg);
    const ino_t ino = inode();
    for (const char* mode : {"DelFieldByName", "DelFieldByValue"}) {  // nothing to delete: not rewritten
        EXPECT_TRUE(sw_file_delCfgString(cfg.c_str(), "[web]", mode, "port", "80") &&
                    sw_file_delCfgString(cfg.c_str(), nullptr, mode, "x", "x"));
    }
    EXPECT_TRUE(sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", "a", (value + "v").c_str(),
                                     true) == false);
    EXPECT_TRUE(sw_file_setCfgString(cfg.c_str(), std::string(189, 's').c_str(), "SetFieldValue", "a", "1",
                                     true) == false);
    EXPECT_TRUE(sw_file_setCfgString(cfg.c_str(), "[net]", "SetFieldValue", "host", "h", false) == false);
    EXPECT_TRUE(sw_file_setCfgString(cfg.c_str(), "[web]", "SetFieldValue", "port", "1", false) == false);
    for (const char* bad : {"SetValue", "DelField", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(sw_file_setCfgString(cfg.c_str(), nullptr, bad, "port", "2", true) ||
                     sw_file_delCfgString(cfg.c_str(), nullptr, bad, "port", "2"));
    }
    EXPECT_FALSE(sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", "port", "2\n3", true) ||
                 sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", "po=rt", "2", true));
    EXPECT_FALSE(sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", nullptr, "2", true) ||
                 sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", "port", nullptr, true));
    EXPECT_FALSE(sw_file_delCfgString(cfg.c_str(), nullptr, "DelFieldByName", nullptr, "1") ||
                 sw_file_delCfgString(cfg.c_str(), nullptr, "DelFieldByName", "po=rt", nullptr));
    EXPECT_TRUE(TempDir::read(cfg) == before && inode() == ino);
    EXPECT_TRUE(sw_file_delCfgString(cfg.c_str(), "[net]", "DelFieldByName", "port", nullptr));
    EXPECT_TRUE(sw_file_delCfgString(cfg.c_str(), nullptr, "delfieldbyvalue", nullptr, "MANUAL"));
    EXPECT_EQ(TempDir::read(cfg), "\r\n[cam]\r\n[net]\r\ngain=2\r\n" + section + "\r\na=" + value);
    // The section search does not stop at a NUL byte; a missing or empty file has nothing to read.
    dir.write("app.cfg", std::string("a=1\0\r\n[s]\r\nb=2\r\n", 16));
    EXPECT_TRUE(get("[s]", "GetFieldValue", "b") == "2" && get("[s]", "GetFieldValue", "a") == "<none>");
    dir.write("app.cfg", "");
    EXPECT_TRUE(get(nullptr, "GetFieldValue", "a") == "<none>" &&
                sw_file_delCfgString(cfg.c_str(), nullptr, "DelFieldByName", "a", nullptr));
    EXPECT_FALSE(sw_file_delCfgString(cfg.c_str(), nullptr, "DelField", "a", nullptr))
        << "the mode is checked before the file is read";
    // A directory cannot be read as a file: none of the operations may take it for one.
    for (const std::string& path : {dir.file("missing"), dir.path()}) {
        char f[8] = "a", v[8];
        EXPECT_EQ(sw_file_getCfgString(path.c_str(), nullptr, "GetFieldValue", f, v, 8), nullptr);
        EXPECT_FALSE(sw_file_delCfgString(path.c_str(), nullptr, "DelFieldByName", "a", nullptr));
        EXPECT_TRUE(sw_file_setCfgString(path.c_str(), nullptr, "SetFieldValue", "a", "1", false) == false);
    }
    char f[8] = "a", v[8];
    const std::vector<void*> nulls = {
        sw_file_getCfgString(nullptr, nullptr, "GetFieldValue", f, v, 8),
        sw_file_getCfgString(cfg.c_str(), nullptr, "GetFieldValue", f, v, 0),
        sw_file_getCfgString(cfg.c_str(), nullptr, "GetFieldValue", nullptr, v, 8),
        sw_file_getCfgString(cfg.c_str(), nullptr, "GetFieldValue", f, nullptr, 8),
        sw_file_getCfgString(cfg.c_str(), nullptr, nullptr, f, v, 8)};
    EXPECT_EQ(nulls, std::vector<void*>(5, nullptr));
    EXPECT_FALSE(sw_file_setCfgString(nullptr, nullptr, "SetFieldValue", "a", "1", true) ||
                 sw_file_delCfgString(nullptr, nullptr, "DelFieldByName", "a", "1"));
}

// A rewrite goes to an exclusive temporary file beside the file and is renamed over it: the
// permission bits stay, and a write that fails part-way (a file-size limit) leaves the old file.
TEST_F(SwFile, CfgRewriteIsOneStep) {
    const std::string old = "# " + std::string(100, 'c') + "\r\nname=n\r\nport=1\r\n";
    dir.write("app.cfg", old);
    ASSERT_EQ(chmod(cfg.c_str(), 0640), 0);
    expect_passes_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit lim = {64, 64};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
        EXPECT_FALSE(sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", "name",
                                          std::string(150, 'x').c_str(), true));
        EXPECT_FALSE(sw_file_delCfgString(cfg.c_str(), nullptr, "DelFieldByName", "port", nullptr));
        EXPECT_FALSE(sw_file_setCfgString(cfg.c_str(), "[new]", "SetFieldValue", "a", "1", true));
    });
    EXPECT_EQ(TempDir::read(cfg), old) << "the old file byte for byte";
    ASSERT_TRUE(sw_file_setCfgString(cfg.c_str(), nullptr, "SetFieldValue", "name", "m", false));
    ASSERT_TRUE(sw_file_delCfgString(cfg.c_str(), nullptr, "DelFieldByName", "port", nullptr));
    struct stat st {};
    EXPECT_TRUE(stat(cfg.c_str(), &st) == 0 && (st.st_mode & 07777) == 0640);
    EXPECT_EQ(TempDir::read(cfg), "# " + std::string(100, 'c') + "\r\nname=m\r\n");
    DIR* d = opendir(dir.path().c_str());
    int entries = 0;
    while (const dirent* e = readdir(d))
        entries += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
    EXPECT_EQ(entries, 1) << "no temporary file left";
}

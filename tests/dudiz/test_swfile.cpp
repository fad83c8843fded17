// swfile: whole-file write, read, copy and the small wrappers, inside a private sandbox.

#include "swfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <random>
#include <string>

#include "support/tempdir.h"

namespace {

class SwFile : public ::testing::Test {
protected:
    TempDir dir;

    // A file of `size` bytes that occupies no disk space.
    bool make_sparse(const std::string& path, long long size) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        const bool ok = ftruncate64(fd, static_cast<off64_t>(size)) == 0;
        close(fd);
        return ok;
    }

    static std::string random_bytes(size_t n, unsigned seed) {
        std::mt19937 rng(seed);
        std::string s(n, '\0');
        for (auto& c : s) c = static_cast<char>(rng());
        return s;
    }
};

}  // namespace

TEST_F(SwFile, UpdateWritesTruncatesAndAppends) {
    const std::string p = dir.file("a.bin");
    const std::string data = random_bytes(100000, 1);  // beyond any stdio buffer
    EXPECT_EQ(sw_file_update(p.c_str(), "wb", data.data(), static_cast<int>(data.size())), 100000);
    EXPECT_EQ(TempDir::read(p), data);
    EXPECT_EQ(sw_file_update(p.c_str(), "ab", "xyz", 3), 3);
    EXPECT_EQ(TempDir::read(p), data + "xyz");
    EXPECT_EQ(sw_file_update(p.c_str(), "wb", "", 0), 0);  // still opened: truncated
    EXPECT_TRUE(sw_file_exists(p.c_str()));
    EXPECT_EQ(sw_file_getSize(p.c_str()), 0);
    const std::string fresh = dir.file("fresh");
    EXPECT_EQ(sw_file_update(fresh.c_str(), "wb", "", 0), 0);
    EXPECT_TRUE(sw_file_exists(fresh.c_str()));
}

TEST_F(SwFile, UpdateRefusesBadArgumentsWithoutTouchingTheFile) {
    const std::string p = dir.write("keep", "content");
    EXPECT_EQ(sw_file_update(p.c_str(), "wb", "x", -1), -1);
    EXPECT_EQ(sw_file_update(nullptr, "wb", "x", 1), -1);
    EXPECT_EQ(sw_file_update(p.c_str(), nullptr, "x", 1), -1);
    EXPECT_EQ(sw_file_update(p.c_str(), "wb", nullptr, 1), -1);
    EXPECT_EQ(TempDir::read(p), "content");
    EXPECT_EQ(sw_file_update(dir.file("no/such/dir").c_str(), "wb", "x", 1), -1);
}

// A full device accepts the buffered data and refuses it only when it is flushed: the count of
// bytes handed to stdio must not be reported as written.
TEST_F(SwFile, UpdateReportsAFailedFlushOrClose) {
    for (const char* mode : {"w", "wb", "ab"}) {
        EXPECT_EQ(sw_file_update("/dev/full", mode, "16", 2), -1) << mode;
    }
    // Too big for the stream's buffer: refused by the write itself, a short count.
    const std::string big = random_bytes(1 << 20, 2);
    EXPECT_LT(sw_file_update("/dev/full", "wb", big.data(), static_cast<int>(big.size())),
              static_cast<int>(big.size()));
    EXPECT_EQ(sw_file_update("/dev/null", "wb", big.data(), static_cast<int>(big.size())),
              static_cast<int>(big.size()));
}

TEST_F(SwFile, GetSizeTable) {
    const std::string small = dir.write("small", "12345");
    const std::string at_max = dir.file("at_max");
    const std::string over = dir.file("over");
    ASSERT_TRUE(make_sparse(at_max, INT_MAX));
    ASSERT_TRUE(make_sparse(over, static_cast<long long>(INT_MAX) + 1));
    const std::string huge = dir.file("huge");
    ASSERT_TRUE(make_sparse(huge, 5LL << 30));  // 5 GiB: would wrap to 1 GiB when cut to 32 bits
    EXPECT_EQ(sw_file_getSize(small.c_str()), 5);
    EXPECT_EQ(sw_file_getSize(at_max.c_str()), INT_MAX);
    EXPECT_EQ(sw_file_getSize(over.c_str()), -1);
    EXPECT_EQ(sw_file_getSize(huge.c_str()), -1);
    EXPECT_EQ(sw_file_getSize(dir.file("missing").c_str()), -1);
    EXPECT_EQ(sw_file_getSize(nullptr), -1);
    const std::string link = dir.file("link");
    ASSERT_EQ(symlink(small.c_str(), link.c_str()), 0);
    EXPECT_EQ(sw_file_getSize(link.c_str()), 5);  // follows the link
}

TEST_F(SwFile, LoadTable) {
    const std::string data = random_bytes(4096, 3);
    const std::string p = dir.write("f", data);
    const std::string empty = dir.write("empty", "");
    std::string buf(data.size() + 8, '#');
    EXPECT_EQ(sw_file_load(p.c_str(), "rb", buf.data(), static_cast<int>(data.size())), 4096);
    EXPECT_EQ(buf.substr(0, data.size()), data);
    EXPECT_EQ(buf.substr(data.size()), "########");  // no NUL appended, nothing beyond
    std::string small(data.size() - 1, '#');
    EXPECT_EQ(sw_file_load(p.c_str(), "rb", small.data(), static_cast<int>(small.size())), -1);
    EXPECT_EQ(small, std::string(data.size() - 1, '#'));
    EXPECT_EQ(sw_file_load(empty.c_str(), "rb", buf.data(), 0), 0);
    EXPECT_EQ(sw_file_load(dir.file("missing").c_str(), "rb", buf.data(), 10), -1);
    EXPECT_EQ(sw_file_load(p.c_str(), "rb", buf.data(), -1), -1);
    EXPECT_EQ(sw_file_load(nullptr, "rb", buf.data(), 10), -1);
    EXPECT_EQ(sw_file_load(p.c_str(), nullptr, buf.data(), 10), -1);
    EXPECT_EQ(sw_file_load(p.c_str(), "rb", nullptr, 10), -1);
    EXPECT_EQ(sw_file_load(p.c_str(), "wx", buf.data(), 8192), -1);  // exists: cannot be opened
}

TEST_F(SwFile, CopyRespectsFailIfExists) {
    const std::string data = random_bytes(300000, 4);
    const std::string src = dir.write("src", data);
    const std::string dst = dir.write("dst", "old target");
    EXPECT_EQ(sw_file_copy(src.c_str(), dst.c_str(), true), -1);
    EXPECT_EQ(TempDir::read(dst), "old target");
    EXPECT_EQ(sw_file_copy(src.c_str(), dst.c_str(), false), 300000);
    EXPECT_EQ(TempDir::read(dst), data);
    const std::string fresh = dir.file("fresh");
    EXPECT_EQ(sw_file_copy(src.c_str(), fresh.c_str(), true), 300000);
    EXPECT_EQ(TempDir::read(fresh), data);
}

TEST_F(SwFile, CopyEdgeCases) {
    const std::string empty = dir.write("empty", "");
    const std::string target = dir.write("target", "to be emptied");
    EXPECT_EQ(sw_file_copy(empty.c_str(), target.c_str(), false), 0);
    EXPECT_EQ(TempDir::read(target), "");
    EXPECT_EQ(sw_file_copy(dir.file("missing").c_str(), target.c_str(), false), -1);
    EXPECT_EQ(sw_file_copy(nullptr, target.c_str(), false), -1);
    EXPECT_EQ(sw_file_copy(empty.c_str(), nullptr, false), -1);
    const std::string src = dir.write("src", "payload");
    EXPECT_EQ(sw_file_copy(src.c_str(), "/dev/full", false), -1);
    EXPECT_EQ(sw_file_copy(src.c_str(), dir.file("no/dir/x").c_str(), false), -1);
    EXPECT_EQ(sw_file_copy(src.c_str(), src.c_str(), false), 7);  // onto itself: content kept
    EXPECT_EQ(TempDir::read(src), "payload");
}

TEST_F(SwFile, RenameDeleteExists) {
    const std::string a = dir.write("a", "A");
    const std::string b = dir.write("b", "B");
    EXPECT_EQ(sw_file_rename(a.c_str(), b.c_str()), 0);  // replaces b
    EXPECT_FALSE(sw_file_exists(a.c_str()));
    EXPECT_EQ(TempDir::read(b), "A");
    EXPECT_EQ(sw_file_rename(a.c_str(), b.c_str()), -1);
    EXPECT_EQ(sw_file_rename(nullptr, b.c_str()), -1);
    EXPECT_EQ(sw_file_rename(b.c_str(), nullptr), -1);

    const std::string link = dir.file("link");
    ASSERT_EQ(symlink(b.c_str(), link.c_str()), 0);
    EXPECT_EQ(sw_file_delete(link.c_str()), 0);  // the link, not its target
    EXPECT_TRUE(sw_file_exists(b.c_str()));
    EXPECT_EQ(sw_file_delete(b.c_str()), 0);
    EXPECT_FALSE(sw_file_exists(b.c_str()));
    EXPECT_EQ(sw_file_delete(b.c_str()), -1);
    EXPECT_EQ(sw_file_delete(nullptr), -1);
    EXPECT_FALSE(sw_file_exists(nullptr));
    EXPECT_TRUE(sw_file_exists(dir.path().c_str()));
}

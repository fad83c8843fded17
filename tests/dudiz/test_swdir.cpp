// swdir: recursive create and delete, listing, file names and the executable's location, all
// inside a fresh private sandbox.

#include "swdir.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>

#include "internal/swprochooks.h"
#include "support/tempdir.h"

namespace {

bool is_dir(const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
}

class SwDir : public ::testing::Test {
protected:
    TempDir box;

    std::string mk(const std::string& rel) {
        const std::string p = box.file(rel);
        EXPECT_EQ(mkdir(p.c_str(), 0755), 0) << p;
        return p;
    }
    // A directory name that brings the path box/<name> to exactly `total` characters.
    std::string name_for_total(size_t total, char fill) const {
        return std::string(total - box.path().size() - 1, fill);
    }
};

// Changes the working directory for the lifetime of the object.
class ChdirGuard {
public:
    explicit ChdirGuard(const std::string& to) {
        if (getcwd(saved_, sizeof saved_) == nullptr) abort();
        if (chdir(to.c_str()) != 0) abort();
    }
    ~ChdirGuard() { (void)!chdir(saved_); }

private:
    char saved_[PATH_MAX];
};

}  // namespace

TEST_F(SwDir, CreateTable) {
    const std::string b = box.path();
    struct Case {
        std::string path;
        int expected;
        std::string mustExist;
    } cases[] = {
        {b + "\\a\\b\\c", 3, b + "/a/b/c"},
        {b + "\\a\\b\\c", 0, b + "/a/b/c"},
        {b + "/x/", 1, b + "/x"},
        {b + "//d//e", 2, b + "/d/e"},
        {b + "/x/y/", 1, b + "/x/y"},
        {"", 0, b},
        {b, 0, b},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sw_dir_create(c.path.c_str()), c.expected) << c.path;
        EXPECT_TRUE(is_dir(c.mustExist)) << c.mustExist;
    }
    EXPECT_EQ(sw_dir_create(nullptr), -1);
}

TEST_F(SwDir, CreateRelativePath) {
    ChdirGuard in(box.path());
    EXPECT_EQ(sw_dir_create("a\\b\\c"), 3);
    EXPECT_EQ(sw_dir_create("a\\b\\c"), 0);
    EXPECT_TRUE(is_dir(box.file("a/b/c")));
}

TEST_F(SwDir, CreateStopsBehindAFile) {
    box.write("f", "not a directory");
    EXPECT_EQ(sw_dir_create(box.file("f/b/c").c_str()), 0);
    EXPECT_EQ(sw_dir_create(box.file("n/../f/g/h").c_str()), 1);  // n made, then f/g fails
    EXPECT_TRUE(is_dir(box.file("n")));
    EXPECT_FALSE(exists(box.file("f/g")));
    EXPECT_EQ(TempDir::read(box.file("f")), "not a directory");
}

// 259 characters are worked on; 260 are refused whole. The 260-character path cut at 259 would
// name box/kkk.../z, which must then not appear.
TEST_F(SwDir, CreateRefusesAPathThatDoesNotFit) {
    const std::string dir = name_for_total(257, 'k');
    const std::string fits = box.file(dir) + "/z";  // 259
    const std::string tooLong = fits + "z";           // 260
    ASSERT_EQ(fits.size(), 259u);
    EXPECT_EQ(sw_dir_create(tooLong.c_str()), -1);
    EXPECT_FALSE(exists(box.file(dir)));
    EXPECT_EQ(sw_dir_create(fits.c_str()), 2);
    EXPECT_TRUE(is_dir(fits));
    EXPECT_FALSE(exists(tooLong));
}

// Two callers building trees that share a new parent: whichever loses the race on the parent
// must go on with its own branch, and each directory is counted by exactly one of them.
TEST_F(SwDir, CreateRacingCallersBothFinish) {
    for (int round = 0; round < 200; ++round) {
        const std::string root = box.file("r" + std::to_string(round));
        const std::string one = root + "/p/q/a/1/2", two = root + "/p/q/b/1/2";
        int n1 = 0, n2 = 0;
        std::thread t([&] { n1 = sw_dir_create(one.c_str()); });
        n2 = sw_dir_create(two.c_str());
        t.join();
        ASSERT_TRUE(is_dir(one)) << round;
        ASSERT_TRUE(is_dir(two)) << round;
        ASSERT_EQ(n1 + n2, 9) << round;  // r, p, q, a, a/1, a/1/2, b, b/1, b/1/2
    }
}

TEST_F(SwDir, OpenReadCloseListsEveryEntry) {
    box.write("f1", "1");
    mk("d1");
    void* h = sw_dir_open(box.path().c_str());
    ASSERT_NE(h, nullptr);
    std::set<std::string> names;
    while (void* e = sw_dir_read(h)) names.insert(static_cast<struct dirent*>(e)->d_name);
    sw_dir_close(h);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "f1", "d1"}));
    EXPECT_EQ(sw_dir_open(box.file("missing").c_str()), nullptr);
    EXPECT_EQ(sw_dir_open(nullptr), nullptr);
    EXPECT_EQ(sw_dir_read(nullptr), nullptr);
    sw_dir_close(nullptr);
}

TEST_F(SwDir, ExistsTable) {
    box.write("file", "x");
    EXPECT_TRUE(sw_dir_exists(box.path().c_str()));
    EXPECT_TRUE(sw_dir_exists(box.file("file").c_str()));
    EXPECT_FALSE(sw_dir_exists(box.file("missing").c_str()));
    EXPECT_FALSE(sw_dir_exists(nullptr));
}

TEST_F(SwDir, DeleteTreeKeepsWhatLinksPointTo) {
    mk("keep");
    box.write("keep/precious", "x");
    mk("t");
    mk("t/a");
    mk("t/a/b");
    box.write("t/a/b/f", "1");
    box.write("t/g", "2");
    ASSERT_EQ(symlink(box.file("keep").c_str(), box.file("t/a/tokeep").c_str()), 0);
    ASSERT_EQ(symlink(box.file("keep/precious").c_str(), box.file("t/tofile").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", box.file("t/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(box.file("t/fifo").c_str(), 0600), 0);
    EXPECT_TRUE(sw_dir_delete(box.file("t").c_str()));
    EXPECT_FALSE(exists(box.file("t")));
    EXPECT_TRUE(exists(box.file("keep/precious")));
}

TEST_F(SwDir, DeleteRefusesALinkNamedAsTheTree) {
    mk("real");
    box.write("real/precious", "x");
    ASSERT_EQ(symlink(box.file("real").c_str(), box.file("link").c_str()), 0);
    EXPECT_FALSE(sw_dir_delete(box.file("link").c_str()));
    EXPECT_TRUE(exists(box.file("real/precious"))) << "the linked tree is not entered";
    EXPECT_TRUE(exists(box.file("link")));
}

TEST_F(SwDir, DeleteSimpleCases) {
    EXPECT_FALSE(sw_dir_delete(box.file("missing").c_str()));
    EXPECT_FALSE(sw_dir_delete(nullptr));
    const std::string empty = mk("empty");
    EXPECT_TRUE(sw_dir_delete(empty.c_str()));
    EXPECT_FALSE(exists(empty));
    const std::string slash = mk("slash") + "/";
    box.write("slash/f", "x");
    EXPECT_TRUE(sw_dir_delete(slash.c_str()));
    EXPECT_FALSE(exists(box.file("slash")));
    box.write("plain", "x");
    EXPECT_FALSE(sw_dir_delete(box.file("plain").c_str()));
    EXPECT_TRUE(exists(box.file("plain")));
}

// The file box/AAA...A is 259 characters; the directory box/AAA...ABC beside it is longer. With
// its path cut at 259, deleting that directory would compose its entries' paths from the cut text,
// land on the file and delete it.
TEST_F(SwDir, DeleteRefusesADirectoryPathThatDoesNotFit) {
    const std::string canary = box.write(name_for_total(259, 'A'), "canary");
    ASSERT_EQ(canary.size(), 259u);
    const std::string longer = canary + "BC";
    ASSERT_EQ(mkdir(longer.c_str(), 0755), 0);
    box.write(longer.substr(box.path().size() + 1) + "/f", "inside");
    EXPECT_FALSE(sw_dir_delete(longer.c_str()));
    EXPECT_EQ(TempDir::read(canary), "canary");
    EXPECT_EQ(TempDir::read(longer + "/f"), "inside");
}

// An entry whose composed path is 259 characters is deleted; one of 260 is refused and left,
// and so is the directory holding it. Cut at 259 that path would name the directory itself, which
// a cutting implementation would enter again without end.
TEST_F(SwDir, DeleteRefusesAnEntryPathThatDoesNotFit) {
    const std::string fits = box.file(name_for_total(257, 'F'));  // + "/g" = 259
    ASSERT_EQ(mkdir(fits.c_str(), 0755), 0);
    box.write(fits.substr(box.path().size() + 1) + "/g", "x");
    EXPECT_TRUE(sw_dir_delete(fits.c_str()));
    EXPECT_FALSE(exists(fits));

    const std::string over = box.file(name_for_total(258, 'O'));  // + "/g" = 260
    ASSERT_EQ(mkdir(over.c_str(), 0755), 0);
    box.write(over.substr(box.path().size() + 1) + "/g", "x");
    EXPECT_FALSE(sw_dir_delete(over.c_str()));
    EXPECT_TRUE(exists(over + "/g"));

    // The same refusal one level down stops the whole walk.
    const std::string parent = mk("par");
    const std::string deep = parent + "/" + std::string(258 - parent.size() - 1, 'D');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    box.write(deep.substr(box.path().size() + 1) + "/g", "x");
    EXPECT_FALSE(sw_dir_delete(parent.c_str()));
    EXPECT_TRUE(exists(deep + "/g"));
}

TEST(XGetPathFileName, Table) {
    struct Case {
        const char* path;
        const char* expected;
    } cases[] = {
        {"C:/dir/sub\\name.txt", "name.txt"}, {"C:\\dir\\sub/name.txt", "name.txt"},
        {"name", "name"},                      {"dir/", ""},
        {"/", ""},                             {"", ""},
        {"a\\b", "b"},                         {"/opt/app/tool", "tool"},
    };
    for (const Case& c : cases) {
        const char* got = xGetPathFileName(c.path);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, c.expected) << c.path;
        EXPECT_TRUE(got >= c.path && got <= c.path + strlen(c.path)) << "not a pointer into path";
    }
    EXPECT_EQ(xGetPathFileName(nullptr), nullptr);
}

TEST(XGetSelfRunningInfo, FindsThisTestProgram) {
    char dir[SW_PATH_MAX + 1], bin[SW_PATH_MAX + 1];
    ASSERT_EQ(xGetSelfRunningInfo(dir, bin), 0);
    EXPECT_STREQ(bin, "test_swdir");
    ASSERT_GT(strlen(dir), 0u);
    EXPECT_EQ(dir[strlen(dir) - 1], '/');
    char* mine = realpath(program_invocation_name, nullptr);
    char* found = realpath((std::string(dir) + bin).c_str(), nullptr);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found, mine);
    free(mine);
    free(found);
    char only[SW_PATH_MAX + 1];
    ASSERT_EQ(xGetSelfRunningInfo(nullptr, only), 0);
    EXPECT_STREQ(only, bin);
    ASSERT_EQ(xGetSelfRunningInfo(only, nullptr), 0);
    EXPECT_STREQ(only, dir);
    EXPECT_EQ(xGetSelfRunningInfo(nullptr, nullptr), 0);
}

// The executable's link is pointed at links of the sandbox whose targets are 259 and 260
// characters long (a target need not exist to be read).
TEST_F(SwDir, SelfRunningInfoRefusesATargetThatDoesNotFit) {
    struct Restore {
        ~Restore() { sw_hook_setSelfExeLink(nullptr); }
    } restore;
    const std::string dirPart = "/" + std::string(200, 'd') + "/";
    const std::string fits = dirPart + std::string(259 - dirPart.size(), 'b');
    const std::string over = fits + "b";
    ASSERT_EQ(symlink(fits.c_str(), box.file("fits").c_str()), 0);
    ASSERT_EQ(symlink(over.c_str(), box.file("over").c_str()), 0);
    const std::string fitsLink = box.file("fits"), overLink = box.file("over");
    const std::string missingLink = box.file("missing");
    char dir[SW_PATH_MAX + 1] = "untouched", bin[SW_PATH_MAX + 1] = "untouched";

    sw_hook_setSelfExeLink(overLink.c_str());
    EXPECT_EQ(xGetSelfRunningInfo(dir, bin), -1);
    EXPECT_STREQ(dir, "untouched");
    EXPECT_STREQ(bin, "untouched");
    sw_hook_setSelfExeLink(missingLink.c_str());
    EXPECT_EQ(xGetSelfRunningInfo(dir, bin), -1);
    EXPECT_STREQ(bin, "untouched");
    sw_hook_setSelfExeLink(fitsLink.c_str());
    ASSERT_EQ(xGetSelfRunningInfo(dir, bin), 0);
    EXPECT_EQ(std::string(dir), dirPart);
    EXPECT_EQ(std::string(bin), std::string(259 - dirPart.size(), 'b'));
}

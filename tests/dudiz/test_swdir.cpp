// swdir: recursive create and delete, listing, file names and the executable's location, inside a
// private temporary directory. Paths longer than SW_PATH_MAX are refused, never cut.
#include "swdir.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "internal/swprochooks.h"
#include "support/tempdir.h"

namespace {

class SwDir : public ::testing::Test {
protected:
    TempDir box;
    std::string mk(const std::string& rel) {
        EXPECT_EQ(mkdir(box.file(rel).c_str(), 0755), 0) << rel;
        return box.file(rel);
    }
    bool exists(const std::string& rel) const {
        struct stat st {};
        return lstat(box.file(rel).c_str(), &st) == 0;
    }
    // A name that brings box/<name> to exactly `total` characters.
    std::string sized(size_t total, char fill) const {
        return std::string(total - box.path().size() - 1, fill);
    }
};

}  // namespace

TEST_F(SwDir, Create) {
    const std::string b = box.path();
    box.write("f", "file");
    const struct {
        std::string path;
        int created;
    } rows[] = {{b + "\\a\\b\\c", 3},
                {b + "\\a\\b\\c", 0},
                {b + "/x/", 1},
                {b + "//d//e", 2},
                {b + "/x/y/", 1},
                {"", 0},
                {b, 0},
                {b + "/f/b", 0},
                {b + "/n/../f/g", 1}};  // n made, then f/g fails
    for (const auto& r : rows) EXPECT_EQ(sw_dir_create(r.path.c_str()), r.created) << r.path;
    EXPECT_TRUE(exists("a/b/c") && exists("x/y") && exists("d/e") && exists("n") && !exists("f/g"));
    // 259 characters are worked on; 260 are refused whole (cut at 259 it would name box/kkk.../z).
    const std::string fits = box.file(sized(257, 'k')) + "/z", tooLong = fits + "z";
    EXPECT_EQ(sw_dir_create(tooLong.c_str()), -1);
    EXPECT_FALSE(exists(sized(257, 'k')));
    EXPECT_EQ(sw_dir_create(fits.c_str()), 2);
    EXPECT_EQ(sw_dir_create(nullptr), -1);
    EXPECT_TRUE(sw_dir_exists(fits.c_str()) && sw_dir_exists(box.file("f").c_str()) &&
                !sw_dir_exists(tooLong.c_str()));
    EXPECT_FALSE(sw_dir_exists(nullptr));
}

// Two callers building trees that share a new parent: the loser of the race on a parent goes on
// with its own branch, and each directory is counted by exactly one of them.
TEST_F(SwDir, CreateRacingCallersBothFinish) {
    for (int round = 0; round < 100; ++round) {
        const std::string one = box.file(std::to_string(round) + "/p/a/1"),
                          two = box.file(std::to_string(round) + "/p/b/1");
        int n1 = 0;
        std::thread t([&] { n1 = sw_dir_create(one.c_str()); });
        const int n2 = sw_dir_create(two.c_str());
        t.join();
        ASSERT_TRUE(sw_dir_exists(one.c_str()) && sw_dir_exists(two.c_str()) && n1 + n2 == 6) << round;
    }
}

TEST_F(SwDir, ListAndFileNames) {
    box.write("f1", "1");
    mk("d1");
    void* h = sw_dir_open(box.path().c_str());
    ASSERT_NE(h, nullptr);
    std::set<std::string> names;
    while (void* e = sw_dir_read(h)) names.insert(static_cast<struct dirent*>(e)->d_name);
    sw_dir_close(h);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "f1", "d1"}));
    EXPECT_TRUE(sw_dir_open(box.file("none").c_str()) == nullptr && sw_dir_open(nullptr) == nullptr);
    EXPECT_EQ(sw_dir_read(nullptr), nullptr);
    sw_dir_close(nullptr);
    const char* paths[] = {"C:/d/s\\n.txt", "C:\\d\\s/n.txt", "name", "dir/", "/", "",
                           "a\\b",          "/opt/app/tool"};
    const char* names_[] = {"n.txt", "n.txt", "name", "", "", "", "b", "tool"};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(xGetPathFileName(paths[i]), paths[i] + strlen(paths[i]) - strlen(names_[i]));
    EXPECT_EQ(xGetPathFileName(nullptr), nullptr);
}

TEST_F(SwDir, DeleteKeepsWhatLinksPointTo) {
    for (const char* d : {"keep", "t", "t/a", "t/a/b", "e"}) mk(d);
    for (const char* f : {"keep/precious", "t/a/b/f", "t/g", "e/f"}) box.write(f, "x");
    ASSERT_EQ(symlink(box.file("keep").c_str(), box.file("t/a/tokeep").c_str()), 0);
    ASSERT_EQ(symlink(box.file("keep/precious").c_str(), box.file("t/tofile").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", box.file("t/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(box.file("t/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(box.file("keep").c_str(), box.file("link").c_str()), 0);
    EXPECT_TRUE(sw_dir_delete(box.file("t").c_str()) && sw_dir_delete((box.file("e") + "/").c_str()));
    EXPECT_FALSE(sw_dir_delete(box.file("link").c_str())) << "a link named as the tree is not entered";
    EXPECT_FALSE(sw_dir_delete(box.file("keep/precious").c_str()) || sw_dir_delete(box.file("none").c_str()));
    EXPECT_FALSE(sw_dir_delete(nullptr));
    EXPECT_TRUE(!exists("t") && !exists("e") && exists("keep/precious") && exists("link"));
}

// The file box/AAA...A is 259 characters; the directory box/AAA...ABC beside it is longer: cut at
// 259, deleting it would compose its entries' paths from the cut text, land on the file and delete
// it. An entry path of 260 characters is refused too (cut, it would name its own directory).
TEST_F(SwDir, DeleteRefusesPathsThatDoNotFit) {
    const std::string canary = sized(259, 'A'), fits = sized(257, 'F'), over = sized(258, 'O');
    box.write(canary, "canary");
    mk(canary + "BC"), mk(fits), mk(over), mk("p"),
        mk("p/" + std::string(258 - box.file("p").size() - 1, 'D'));
    box.write(canary + "BC/f", "in"), box.write(fits + "/g", "x"), box.write(over + "/g", "x");
    box.write("p/" + std::string(258 - box.file("p").size() - 1, 'D') + "/g", "x");
    EXPECT_FALSE(sw_dir_delete(box.file(canary + "BC").c_str()));
    EXPECT_TRUE(sw_dir_delete(box.file(fits).c_str()));
    EXPECT_FALSE(sw_dir_delete(box.file(over).c_str()) || sw_dir_delete(box.file("p").c_str()));
    EXPECT_EQ(TempDir::read(box.file(canary)), "canary");
    EXPECT_TRUE(exists(canary + "BC/f") && !exists(fits) && exists(over + "/g") && exists("p"));
}

// The executable's link is pointed at links whose targets are 259 and 260 characters long (a target
// need not exist to be read), and at no link at all.
TEST_F(SwDir, SelfRunningInfo) {
    char dir[SW_PATH_MAX + 1] = "untouched", bin[SW_PATH_MAX + 1] = "untouched", only[SW_PATH_MAX + 1];
    ASSERT_EQ(xGetSelfRunningInfo(dir, bin), 0);
    EXPECT_STREQ(bin, "test_swdir");
    char mine[PATH_MAX], found[PATH_MAX];
    EXPECT_STREQ(realpath(program_invocation_name, mine), realpath((std::string(dir) + bin).c_str(), found));
    EXPECT_TRUE(xGetSelfRunningInfo(nullptr, only) == 0 && std::string(only) == bin);
    EXPECT_TRUE(xGetSelfRunningInfo(only, nullptr) == 0 && std::string(only) == dir &&
                xGetSelfRunningInfo(nullptr, nullptr) == 0);
    const std::string dirPart = "/" + std::string(200, 'd') + "/", fits = dirPart + std::string(57, 'b');
    ASSERT_TRUE(symlink(fits.c_str(), box.file("fits").c_str()) == 0 &&
                symlink((fits + "b").c_str(), box.file("over").c_str()) == 0);
    const std::string links[] = {box.file("over"), box.file("missing"), box.file("fits")};
    strcpy(dir, "untouched"), strcpy(bin, "untouched");
    for (const std::string& link : links) {
        sw_hook_setSelfExeLink(link.c_str());
        EXPECT_EQ(xGetSelfRunningInfo(dir, bin), link == links[2] ? 0 : -1) << link;
        EXPECT_TRUE(link == links[2] || (strcmp(dir, "untouched") == 0 && strcmp(bin, "untouched") == 0));
    }
    sw_hook_setSelfExeLink(nullptr);
    EXPECT_EQ(std::string(dir) + bin, fits);
    EXPECT_EQ(std::string(bin), std::string(57, 'b'));
}

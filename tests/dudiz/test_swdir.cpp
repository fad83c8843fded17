// swdir: recursive create and delete, listing, file names and the executable's location, inside a private
// temporary directory. Paths longer than SW_PATH_MAX are refused, never cut.
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
    const std::string b = box.path();
    bool exists(const std::string& rel) const {
        struct stat st {};
        return lstat(box.file(rel).c_str(), &st) == 0;
    }
    // A name that brings box/<name> to exactly `total` characters.
    std::string sized(size_t total, char fill) const { return std::string(total - b.size() - 1, fill); }
};

}  // namespace

// 259 characters are worked on; 260 are refused whole (cut at 259 they would name box/kkk.../z).
TEST_F(SwDir, Create) {
    box.write("f", "file");
    const std::string fits = box.file(sized(257, 'k')) + "/z", over = fits + "z";
    const std::string paths[] = {
        b + "\\a\\b\\c", b + "\\a\\b\\c", b + "/x/", b + "//d//e", b + "/x/y/", "", b,
        b + "/f/b",      b + "/n/../f/g", over,      fits};  // n made, then f/g fails
    const int created[] = {3, 0, 1, 2, 1, 0, 0, 0, 1, -1, 2};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(sw_dir_create(paths[i].c_str()), created[i]) << paths[i];
    EXPECT_TRUE(exists("a/b/c") && exists("x/y") && exists("d/e") && exists("n") && !exists("f/g"));
    EXPECT_TRUE(sw_dir_exists(fits.c_str()) && sw_dir_exists(box.file("f").c_str()) &&
                !sw_dir_exists(over.c_str()));
    EXPECT_TRUE(sw_dir_create(nullptr) == -1 && !sw_dir_exists(nullptr));
}

// Two callers building trees that share a new parent: the loser of the race on a parent goes on with its
// own branch, and each directory is counted by exactly one of them.
TEST_F(SwDir, CreateRacingCallersBothFinish) {
    for (int round = 0; round < 100; ++round) {
        const std::string one = box.file(std::to_string(round) + "/p/a/1"),
                          two = one.substr(0, one.size() - 3) + "b/1";
        int n1 = 0;
        std::thread t([&] { n1 = sw_dir_create(one.c_str()); });
        const int n2 = sw_dir_create(two.c_str());
        t.join();
        ASSERT_TRUE(sw_dir_exists(one.c_str()) && sw_dir_exists(two.c_str()) && n1 + n2 == 6) << round;
    }
}

TEST_F(SwDir, ListAndFileNames) {
    box.write("f1", "1");
    ASSERT_EQ(mkdir(box.file("d1").c_str(), 0755), 0);
    void* h = sw_dir_open(b.c_str());
    std::set<std::string> names;
    while (void* e = sw_dir_read(h)) names.insert(static_cast<struct dirent*>(e)->d_name);
    sw_dir_close(h);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "f1", "d1"}));
    EXPECT_TRUE(sw_dir_open(box.file("none").c_str()) == nullptr && sw_dir_open(nullptr) == nullptr);
    EXPECT_EQ(sw_dir_read(nullptr), nullptr);
    sw_dir_close(nullptr);
    const char* paths[] = {"C:/d/s\\n.txt", "C:\\d\\s/n.txt", "name", "dir/", "/", "",
                           "a\\b",          "/opt/app/tool"};
    const size_t names_[] = {5, 5, 4, 0, 0, 0, 1, 4};  // the length of the file name at the end
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(xGetPathFileName(paths[i]), paths[i] + strlen(paths[i]) - names_[i]) << i;
    EXPECT_EQ(xGetPathFileName(nullptr), nullptr);
}

TEST_F(SwDir, DeleteKeepsWhatLinksPointTo) {
    for (const char* d : {"keep", "t", "t/a", "t/a/b", "e"}) ASSERT_EQ(mkdir(box.file(d).c_str(), 0755), 0);
    for (const char* f : {"keep/precious", "t/a/b/f", "t/g", "e/f"}) box.write(f, "x");
    ASSERT_EQ(symlink(box.file("keep").c_str(), box.file("t/a/tokeep").c_str()), 0);
    ASSERT_EQ(symlink(box.file("keep/precious").c_str(), box.file("t/tofile").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", box.file("t/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(box.file("t/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(box.file("keep").c_str(), box.file("link").c_str()), 0);
    EXPECT_TRUE(sw_dir_delete(box.file("t").c_str()) && sw_dir_delete((box.file("e") + "/").c_str()));
    EXPECT_FALSE(sw_dir_delete(box.file("link").c_str())) << "a link named as the tree is not entered";
    EXPECT_FALSE(sw_dir_delete(box.file("keep/precious").c_str()) || sw_dir_delete(box.file("none").c_str()));
    EXPECT_TRUE(!sw_dir_delete(nullptr) && !exists("t") && !exists("e") && exists("keep/precious") &&
                exists("link"));
}

// The file box/AAA...A is 259 characters; the directory box/AAA...ABC beside it is longer: cut at 259,
// deleting it would compose its entries' paths from the cut text, land on the file and delete it. An entry
// path of 260 characters is refused too (cut, it would name its own directory), also one level down.
TEST_F(SwDir, DeleteRefusesPathsThatDoNotFit) {
    const std::string canary = sized(259, 'A'), fits = sized(257, 'F'), over = sized(258, 'O');
    const std::string deep = "p/" + std::string(258 - b.size() - 3, 'D');
    box.write(canary, "canary");
    for (const std::string& d : {canary + "BC", fits, over, std::string("p"), deep}) {
        ASSERT_EQ(mkdir(box.file(d).c_str(), 0755), 0);
        box.write(d + "/g", "x");
    }
    EXPECT_FALSE(sw_dir_delete(box.file(canary + "BC").c_str()) || sw_dir_delete(box.file(over).c_str()));
    EXPECT_TRUE(sw_dir_delete(box.file(fits).c_str()) && !sw_dir_delete(box.file("p").c_str()));
    EXPECT_EQ(TempDir::read(box.file(canary)), "canary");
    EXPECT_TRUE(exists(canary + "BC/g") && !exists(fits) && exists(over + "/g") && exists(deep + "/g"));
}

// The executable's link is pointed at links whose targets are 260 and 259 characters long (a target need
// not exist to be read), and at no link at all.
TEST_F(SwDir, SelfRunningInfo) {
    char dir[SW_PATH_MAX + 1], bin[SW_PATH_MAX + 1], only[SW_PATH_MAX + 1], mine[PATH_MAX], found[PATH_MAX];
    ASSERT_EQ(xGetSelfRunningInfo(dir, bin), 0);
    EXPECT_STREQ(bin, "test_swdir");
    EXPECT_STREQ(realpath(program_invocation_name, mine), realpath((std::string(dir) + bin).c_str(), found));
    EXPECT_TRUE(xGetSelfRunningInfo(nullptr, only) == 0 && strcmp(only, bin) == 0);
    EXPECT_TRUE(xGetSelfRunningInfo(only, nullptr) == 0 && strcmp(only, dir) == 0);
    const std::string fits = "/" + std::string(200, 'd') + "/" + std::string(57, 'b');
    ASSERT_EQ(symlink((fits + "b").c_str(), box.file("over").c_str()) +
                  symlink(fits.c_str(), box.file("fits").c_str()),
              0);
    strcpy(dir, "untouched"), strcpy(bin, "untouched");
    for (const char* link : {"over", "missing", "fits"}) {
        const std::string path = box.file(link);  // the seam keeps the pointer
        sw_hook_setSelfExeLink(path.c_str());
        EXPECT_EQ(xGetSelfRunningInfo(dir, bin), link[0] == 'f' ? 0 : -1) << link;
        EXPECT_TRUE(link[0] == 'f' || (strcmp(dir, "untouched") == 0 && strcmp(bin, "untouched") == 0));
    }
    sw_hook_setSelfExeLink(nullptr);
    EXPECT_TRUE(std::string(dir) + bin == fits && strlen(bin) == 57) << dir << bin;
}

// swdir: recursive create and delete, listing, file names and the executable's location, inside a private
// temporary directory. Paths longer than SW_PATH_MAX are refused, never cut.
#include "swdir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <climits>

#include <deque>
#include <thread>

#include "internal/swprochooks.h"
#include "support/tempdir.h"

using Str = std::string;

class SwDir : public ::testing::Test {
protected:
    TempDir box;
    const Str b = box.path();
    std::deque<Str> paths_;  // keeps the texts that at() hands out
    const char* at(const Str& rel) { return paths_.emplace_back(box.file(rel)).c_str(); }
    bool exists(const Str& rel) { return faccessat(AT_FDCWD, at(rel), F_OK, AT_SYMLINK_NOFOLLOW) == 0; }
    Str sized(size_t total, char fill) const { return Str(total - b.size() - 1, fill); }  // box/<name>: total
};

// 259 characters are worked on; 260 are refused whole (cut at 259 they would name box/kkk.../z). Two
// callers building trees that share a new parent: the loser of the race on a parent goes on with its own
// branch, and each directory is counted by exactly one of them.
TEST_F(SwDir, CreateRacesListsAndNames) {
    const Str k = sized(257, 'k'), fits = box.file(k) + "/z", over = fits + "z", f = box.write("f", "file");
    // clang-format off
    const Str paths[] = {b + "\\a\\b\\c", b + "\\a\\b\\c", b + "/x/", b + "//d//e", "", b, f + "/b",
                         b + "/n/../f/g", over, fits};
    const int created[] = {3, 0, 1, 2, 0, 0, 0, 1, -1, 2};  // n made, then f/g fails
    const char* names[] = {"C:/d/s\\n.txt", "C:\\d\\s/n.txt", "name", "dir/", "", "a\\b"};
    const size_t tails[] = {5, 5, 4, 0, 0, 1};  // the length of the file name at the end
    // clang-format on
    for (int i = 0; i < 10; ++i) EXPECT_EQ(sw_dir_create(paths[i].c_str()), created[i]) << paths[i];
    for (int i = 0; i < 6; ++i) EXPECT_EQ(xGetPathFileName(names[i]), names[i] + strlen(names[i]) - tails[i]);
    EXPECT_TRUE(exists("a/b/c") && exists("d/e") && !exists("f/g") && sw_dir_exists(fits.c_str()));
    EXPECT_TRUE(!sw_dir_exists(over.c_str()) && sw_dir_create(nullptr) == -1 && !sw_dir_exists(nullptr));
    int entries = 0;
    void* h = sw_dir_open(b.c_str());
    while (sw_dir_read(h) != nullptr) ++entries;  // . .. f k a x d n
    sw_dir_close(h), sw_dir_close(nullptr);
    EXPECT_TRUE(entries == 8 && !sw_dir_open(nullptr) && !sw_dir_read(nullptr) && !xGetPathFileName(nullptr));
    for (int round = 0; round < 400; ++round) {  // callers racing on a shared new parent both finish
        const char *one = at(std::to_string(round) + "/p/a/1"), *two = at(std::to_string(round) + "/p/b/1");
        int n1 = 0;
        std::thread t([&] { n1 = sw_dir_create(one); });
        const int n2 = sw_dir_create(two);
        t.join();
        ASSERT_TRUE(sw_dir_exists(one) && sw_dir_exists(two) && n1 + n2 == 6) << round;
    }
}

// Links inside the tree go with it, their targets stay; a link named as the tree is not entered.
TEST_F(SwDir, DeleteKeepsWhatLinksPointTo) {
    for (const char* d : {"keep", "t", "t/a", "t/a/b"}) ASSERT_EQ(mkdir(at(d), 0755), 0);
    for (const char* f : {"keep/f", "t/a/b/f", "t/g"}) box.write(f, "x");
    ASSERT_EQ(symlink(at("keep"), at("t/a/tokeep")) + symlink(at("keep/f"), at("t/tofile")), 0);
    ASSERT_EQ(symlink("/none", at("t/dead")) + symlink(at("keep"), at("link")) + mkfifo(at("t/fifo"), 0600),
              0);
    EXPECT_FALSE(sw_dir_delete(at("link")) || sw_dir_delete(at("link/")) || sw_dir_delete(at("link/.")) ||
                 sw_dir_delete(at("keep/f")) || sw_dir_delete(at("none")));
    EXPECT_TRUE(sw_dir_delete(at("t/")) && !exists("t") && exists("keep/f") && exists("link") &&
                !sw_dir_delete(0));
}

// Entry names are file names, in which '\' is no separator: the subdirectory t/a\y is not reached as t/a/y,
// where the link t/a would lead out of the tree. Three such pairs, so that one is met before its link in any
// listing order. Only the caller's own text takes '\' as a separator.
TEST_F(SwDir, DeleteTakesEntryNamesAsTheyAre) {
    for (const char* d : {"out", "out/y", "t"}) ASSERT_EQ(mkdir(at(d), 0755), 0);
    box.write("out/y/f", "out");
    for (const Str n : {"a", "b", "c"}) {
        ASSERT_EQ(symlink(at("out"), at("t/" + n)) + mkdir(at("t/" + n + "\\y"), 0755), 0);
        box.write("t/" + n + "\\y/f", "in");
    }
    ASSERT_EQ(sw_dir_create(at("o/p/q")), 3);
    EXPECT_TRUE(sw_dir_delete(at("t")) && !exists("t") && TempDir::read(at("out/y/f")) == "out");
    EXPECT_TRUE(sw_dir_delete((b + "\\o\\p").c_str()) && exists("o") && !exists("o/p"));
}

// The file box/AAA...A is 259 characters; the directory box/AAA...ABC beside it is longer: cut at 259,
// deleting it would compose its entries' paths from the cut text, land on the file and delete it. An entry
// path of 260 characters is refused too (cut, it would name its own directory), also one level down.
TEST_F(SwDir, DeleteRefusesPathsThatDoNotFit) {
    const Str canary = sized(259, 'A'), fits = sized(257, 'F'), over = sized(258, 'O');
    const Str deep = "p/" + Str(258 - b.size() - 3, 'D');
    box.write(canary, "canary");
    for (const Str& d : {canary + "BC", fits, over, Str("p"), deep})
        ASSERT_TRUE(mkdir(at(d), 0755) == 0 && !box.write(d + "/g", "x").empty());
    EXPECT_FALSE(sw_dir_delete(at(canary + "BC")) || sw_dir_delete(at(over)) || sw_dir_delete(at("p")));
    EXPECT_TRUE(sw_dir_delete(at(fits)) && TempDir::read(at(canary)) == "canary" && !exists(fits));
    EXPECT_TRUE(exists(canary + "BC/g") && exists(over + "/g") && exists(deep + "/g"));
}

// The executable's link is pointed at links whose targets are 260 and 259 characters long (a target need
// not exist to be read), and at no link at all: a refusal leaves the outputs untouched. The seam keeps the
// pointer it is given.
TEST_F(SwDir, SelfRunningInfo) {
    char dir[SW_PATH_MAX + 1] = "", bin[SW_PATH_MAX + 1] = "", mine[PATH_MAX];
    const Str fits = "/" + Str(200, 'd') + "/" + Str(57, 'b');
    const auto info = [&](const char* l) { return sw_hook_setSelfExeLink(l), xGetSelfRunningInfo(dir, bin); };
    ASSERT_EQ(symlink((fits + "b").c_str(), at("over")) + symlink(fits.c_str(), at("fits")), 0);
    ASSERT_TRUE(xGetSelfRunningInfo(dir, nullptr) == 0 && xGetSelfRunningInfo(nullptr, bin) == 0);
    EXPECT_TRUE(Str(bin) == "test_swdir" && Str(dir) + bin == realpath(program_invocation_name, mine)) << dir;
    EXPECT_TRUE(info(at("over")) == -1 && info(at("missing")) == -1 && Str(dir) + bin == mine);
    EXPECT_TRUE(info(at("fits")) == 0 && Str(dir) + bin == fits && strlen(bin) == 57 && !info(nullptr))
        << dir;
}

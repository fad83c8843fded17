// swprogress: own id and name, and killing by id or by command text. Parser cases run against a
// fake process listing through the seams, with a kill that only records; the end-to-end case runs
// in a private PID namespace on children of its own.

#include "swprogress.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "internal/swprochooks.h"
#include "support/child.h"
#include "support/tempdir.h"
#include "swdir.h"

#ifndef QS_EMULATOR
#define QS_EMULATOR ""
#endif

namespace {

std::mutex g_killsLock;
std::vector<std::pair<pid_t, int>> g_kills;  // guarded by g_killsLock

int record_kill(pid_t pid, int sig) {
    std::lock_guard<std::mutex> lock(g_killsLock);
    g_kills.emplace_back(pid, sig);
    return 0;
}

std::vector<pid_t> killed_pids() {
    std::lock_guard<std::mutex> lock(g_killsLock);
    std::vector<pid_t> pids;
    for (const auto& k : g_kills) {
        EXPECT_EQ(k.second, SIGKILL);
        pids.push_back(k.first);
    }
    return pids;
}

// Every kill goes to the recorder, and "ps -e" is replaced by a listing the test writes.
class KillRecorder : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(g_killsLock);
            g_kills.clear();
        }
        sw_hook_setKill(&record_kill);
        listing_ = box_.file("ps.txt");
        command_ = "cat '" + listing_ + "'";
        sw_hook_setPsCommand(command_.c_str());
    }
    void TearDown() override {
        sw_hook_setKill(nullptr);
        sw_hook_setPsCommand(nullptr);
    }
    std::vector<pid_t> kill_with(const std::string& listing, const char* cmd, int ignorePID) {
        box_.write("ps.txt", listing);
        {
            std::lock_guard<std::mutex> lock(g_killsLock);
            g_kills.clear();
        }
        sw_progress_killByCMD(cmd, ignorePID);
        return killed_pids();
    }

    TempDir box_;
    std::string listing_, command_;
};

const char kHeading[] = "    PID TTY          TIME CMD\n";

std::string row(int pid, const std::string& cmd) {
    char buf[64];
    snprintf(buf, sizeof buf, "%7d ?        00:00:00 ", pid);
    return buf + cmd + "\n";
}

using Pids = std::vector<pid_t>;

}  // namespace

TEST(XGetCurrentProcessId, IsGetpid) { EXPECT_EQ(xGetCurrentProcessId(), getpid()); }

TEST(SwProgressGetCMD, NamesThisProgram) {
    char cmd[SW_PATH_MAX + 1] = "";
    EXPECT_EQ(sw_progress_getCMD(cmd), cmd);
    EXPECT_STREQ(cmd, "test_swprogress");
    EXPECT_EQ(sw_progress_getCMD(nullptr), nullptr);
}

TEST(SwProgressGetCMD, LeavesCmdWhenTheExecutableCannotBeFound) {
    TempDir box;
    const std::string missing = box.file("missing");
    sw_hook_setSelfExeLink(missing.c_str());
    char cmd[SW_PATH_MAX + 1] = "before";
    EXPECT_EQ(sw_progress_getCMD(cmd), cmd);
    sw_hook_setSelfExeLink(nullptr);
    EXPECT_STREQ(cmd, "before");
}

TEST_F(KillRecorder, KillByPidSignalsOnlyPositiveIds) {
    for (int pid : {0, -1, -1234, INT32_MIN}) sw_progress_killByPID(pid);
    EXPECT_TRUE(killed_pids().empty());
    sw_progress_killByPID(4321);
    EXPECT_EQ(killed_pids(), Pids{4321});
}

TEST_F(KillRecorder, ListingTable) {
    const std::string longLine =  // 300 characters; its second piece starts with an id-like text
        "   4242 ?        00:00:00 " + std::string(191 - 26, 'x') + "77 target " +
        std::string(300 - 191 - 10, 'y') + "\n";
    ASSERT_EQ(longLine.size(), 301u);
    struct Case {
        const char* what;
        std::string listing;
        const char* cmd;
        int ignorePID;
        Pids expected;
    } cases[] = {
        {"heading only", kHeading, "CMD", 0, {}},
        {"heading holds the text", std::string(kHeading) + row(10, "other"), "TTY", 0, {}},
        {"case-insensitive, anywhere", std::string(kHeading) + row(10, "CamD") + row(11, "xcamdx"),
         "camd", 0, {10, 11}},
        {"the ignored id is spared", std::string(kHeading) + row(10, "camd") + row(11, "camd"), "camd",
         11, {10}},
        {"id 0 and negative ids", row(0, "target") + "  -5 ? 00:00:00 target\n", "target", 99, {}},
        {"cmd 12 does not hit 1234", row(1234, "daemon") + row(1235, "a12b"), "12", 0, {1235}},
        {"no id before the text", "target 77\n  x12 target\n", "target", 0, {}},
        {"id too large for an int", "99999999999 ? 00:00:00 target\n", "target", 0, {}},
        {"a 300-character line", longLine + row(5, "target"), "target", 0, {5}},
        {"text in the first piece", longLine, "xxxx", 0, {4242}},
        {"last line without newline", row(8, "target").substr(0, 32), "target", 0, {8}},
        {"empty cmd", row(8, "target"), "", 0, {}},
        {"no listing at all", "", "target", 0, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kill_with(c.listing, c.cmd, c.ignorePID), c.expected) << c.what;
    }
    box_.write("ps.txt", row(8, "target"));
    sw_progress_killByCMD(nullptr, 0);
    EXPECT_TRUE(killed_pids().empty());
}

TEST_F(KillRecorder, MissingPsKillsNothing) {
    const std::string bad = "exec /nonexistent/ps-e 2>/dev/null";
    sw_hook_setPsCommand(bad.c_str());
    sw_progress_killByCMD("target", 0);
    EXPECT_TRUE(killed_pids().empty());
}

// ---- end to end, inside a private PID namespace ----------------------------------------------

namespace {

const char kInnerEnv[] = "SWPROGRESS_NS_NAME";

pid_t spawn_named(const char* name) {
    const pid_t pid = fork();
    if (pid == 0) {
        (void)prctl(PR_SET_NAME, name, 0, 0, 0);
        for (;;) pause();
    }
    return pid;
}

// Waits up to `ms` for the child to end; returns its wait status, or -1 while it still runs.
int wait_child(pid_t pid, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return -2;
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling, not synchronising
    }
}

// Number of lines of the real listing that carry `name`.
int count_listed(const char* name) {
    FILE* ps = popen("ps -e", "re");
    if (ps == nullptr) return -1;
    char line[256];
    int n = 0;
    while (fgets(line, sizeof line, ps) != nullptr) n += strstr(line, name) != nullptr ? 1 : 0;
    pclose(ps);
    return n;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

// The inner half: runs only as the first process of a fresh PID namespace, started by the test
// below. Two children share the unique name (one of them is ignorePID), a third has another name.
TEST(SwProgressNamespace, InnerKillsExactlyTheNamedChild) {
    const char* name = getenv(kInnerEnv);
    if (name == nullptr) GTEST_SKIP() << "runs only inside the namespace test";
    ASSERT_EQ(getpid(), 1) << "not in a private PID namespace";
    const pid_t victim = spawn_named(name);
    const pid_t spared = spawn_named(name);
    const pid_t bystander = spawn_named("bystander");
    ASSERT_GT(victim, 0);
    ASSERT_GT(spared, 0);
    ASSERT_GT(bystander, 0);
    // Each child renames itself after fork; wait until the listing shows them all.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((count_listed(name) != 2 || count_listed("bystander") != 1) &&
           std::chrono::steady_clock::now() < until) {
    }
    ASSERT_EQ(count_listed(name), 2);
    sw_progress_killByCMD(name, spared);
    const int status = wait_child(victim, 30000);
    EXPECT_TRUE(status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(wait_child(spared, 0), -1) << "the ignored namesake died";
    EXPECT_EQ(wait_child(bystander, 0), -1) << "an unrelated process died";
    printf("SWNS-DONE\n");
    // The namespace's first process leaving ends every process in it.
}

TEST(SwProgressNamespace, KillByCmdEndToEnd) {
    if (getenv(kInnerEnv) != nullptr) GTEST_SKIP() << "outer half";
    if (geteuid() != 0) GTEST_SKIP() << "needs root for unshare --pid; skipped";
    char self[SW_PATH_MAX + 1], dir[SW_PATH_MAX + 1];
    ASSERT_EQ(xGetSelfRunningInfo(dir, self), 0);
    const std::string name = "swk" + std::to_string(getpid() % 100000000);  // at most 11 characters
    const ChildResult r = run_child(
        concat({"unshare", "--pid", "--fork", "--mount-proc"},
               emulated(QS_EMULATOR, {std::string(dir) + self,
                                      "--gtest_filter=SwProgressNamespace.InnerKillsExactlyTheNamedChild"})),
        {{kInnerEnv, name}}, {}, std::chrono::seconds(120));
    ASSERT_TRUE(r.started);
    ASSERT_FALSE(r.timedOut);
    // unshare reports its own failure (no permission, no namespaces) before our program runs.
    if (r.out.find("[ RUN      ]") == std::string::npos && r.err.find("unshare:") != std::string::npos) {
        GTEST_SKIP() << "unshare --pid --fork --mount-proc is not permitted here: " << r.err;
    }
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("SWNS-DONE"), std::string::npos) << r.out << r.err;
}

// swprogress: own id and name, and killing by id or by command text. The listing cases run on a
// listing the test writes, through the seams, with a kill that only records; the end-to-end case
// runs in a private PID namespace on children of its own with a unique name.
#include "swprogress.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "internal/swprochooks.h"
#include "support/child.h"
#include "support/tempdir.h"
#include "support/waitfor.h"
#include "swdir.h"

#ifndef QS_EMULATOR
#define QS_EMULATOR ""
#endif

namespace {

std::vector<pid_t> g_killed;  // SIGKILLs the recorder saw; any other signal is recorded as -1
int record_kill(pid_t pid, int sig) {
    return g_killed.push_back(sig == SIGKILL ? pid : -1), 0;
}

std::string row(int pid, const std::string& cmd) {
    return std::string(7 - std::to_string(pid).size(), ' ') + std::to_string(pid) + " ?        00:00:00 " +
           cmd + "\n";
}

}  // namespace

TEST(SwProgress, OwnIdAndName) {
    char cmd[SW_PATH_MAX + 1] = "before";
    EXPECT_EQ(xGetCurrentProcessId(), getpid());
    EXPECT_EQ(sw_progress_getCMD(nullptr), nullptr);
    TempDir box;
    const std::string missing = box.file("missing");  // the seam keeps the pointer
    sw_hook_setSelfExeLink(missing.c_str());
    EXPECT_TRUE(sw_progress_getCMD(cmd) == cmd && std::string(cmd) == "before") << "left when not found";
    sw_hook_setSelfExeLink(nullptr);
    EXPECT_TRUE(sw_progress_getCMD(cmd) == cmd && std::string(cmd) == "test_swprogress");
}

TEST(SwProgress, KillsWhatTheListingNames) {
    TempDir box;
    const std::string listing = box.file("ps.txt"), ps = "cat '" + listing + "'",
                      bad = "exec /nonexistent/ps 2>/dev/null";
    const std::string heading = "    PID TTY          TIME CMD\n";
    const std::string longLine =
        row(4242, std::string(191 - 26, 'x') + "77 target " + std::string(100, 'y'));  // 301 long
    const struct {
        std::string listing;
        const char* cmd;
        int ignorePID;
        std::vector<pid_t> killed;
    } rows[] = {
        {heading, "CMD", 0, {}},
        {heading + row(10, "other"), "TTY", 0, {}},                            // the heading holds the text
        {heading + row(10, "CamD") + row(11, "xcamdx"), "camd", 0, {10, 11}},  // ignoring case, anywhere
        {heading + row(10, "camd") + row(11, "camd"), "camd", 11, {10}},       // the ignored id is spared
        {row(0, "target") + "  -5 ? 00:00:00 target\n", "target", 99, {}},     // ids of 0 or less
        {row(1234, "daemon") + row(1235, "a12b"), "12", 0, {1235}},            // never the id itself
        {"target 77\n  x12 target\n99999999999 ? 00:00:00 target\n", "target", 0, {}},  // no (int) id
        {longLine + row(5, "target"), "target", 0, {5}},  // the continuation of a long line is no record
        {longLine, "xxxx", 0, {4242}},
        {row(8, "target").substr(0, 32), "target", 0, {8}},  // no last newline
        {"\n" + row(7, "target"), "target", 0, {7}},         // an empty line ends like any other
        {row(8, "target"), "", 0, {}},
        {row(8, "target"), nullptr, 0, {}},
        {"", "target", 0, {}},
    };
    sw_hook_setKill(&record_kill);
    sw_hook_setPsCommand(ps.c_str());
    for (const auto& r : rows) {
        box.write("ps.txt", r.listing);
        g_killed.clear();
        sw_progress_killByCMD(r.cmd, r.ignorePID);
        EXPECT_EQ(g_killed, r.killed) << r.listing;
    }
    g_killed.clear();
    sw_hook_setPsCommand(bad.c_str());
    sw_progress_killByCMD("target", 0);  // no listing at all
    for (int pid : {0, -1, INT32_MIN, 4321}) sw_progress_killByPID(pid);
    sw_hook_setKill(nullptr);
    sw_hook_setPsCommand(nullptr);
    EXPECT_EQ(g_killed, std::vector<pid_t>{4321});
}

// The inner half runs only as the first process of a fresh PID namespace, started by the test
// below. Two children share the unique name (one of them is ignorePID), a third has another name.
TEST(SwProgress, NamespaceInner) {
    const char* name = getenv("SWPROGRESS_NS_NAME");
    if (name == nullptr) GTEST_SKIP() << "runs only inside the namespace test";
    ASSERT_EQ(getpid(), 1) << "not in a private PID namespace";
    pid_t kids[3];
    for (int i = 0; i < 3; ++i) {
        if ((kids[i] = fork()) == 0) {
            (void)prctl(PR_SET_NAME, i < 2 ? name : "bystander", 0, 0, 0);
            for (;;) pause();
        }
    }
    const auto listed = [](const char* text) {  // lines of the real listing that carry `text`
        FILE* ps = popen("ps -e", "re");
        char line[256];
        int n = 0;
        while (ps != nullptr && fgets(line, sizeof line, ps) != nullptr) n += strstr(line, text) != nullptr;
        return (ps != nullptr ? pclose(ps) : 0), n;
    };
    ASSERT_TRUE(wait_for([&] { return listed(name) == 2 && listed("bystander") == 1; }, 60000));
    sw_progress_killByCMD(name, kids[1]);
    int status = 0;
    EXPECT_TRUE(wait_for([&] { return waitpid(kids[0], &status, WNOHANG) == kids[0]; }, 30000));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_TRUE(waitpid(kids[1], &status, WNOHANG) == 0 && waitpid(kids[2], &status, WNOHANG) == 0)
        << "a spared child died";
    printf("SWNS-DONE\n");  // the namespace's first process leaving ends every process in it
}

TEST(SwProgress, KillByCmdEndToEnd) {
    if (getenv("SWPROGRESS_NS_NAME") != nullptr) GTEST_SKIP() << "outer half";
    if (geteuid() != 0) GTEST_SKIP() << "needs root for unshare --pid";
    char dir[SW_PATH_MAX + 1], self[SW_PATH_MAX + 1];
    ASSERT_EQ(xGetSelfRunningInfo(dir, self), 0);
    const std::string name = "swk" + std::to_string(getpid() % 100000000);  // at most 11 characters
    std::vector<std::string> argv =
        emulated(QS_EMULATOR, {std::string(dir) + self, "--gtest_filter=SwProgress.NamespaceInner"});
    argv.insert(argv.begin(), {"unshare", "--pid", "--fork", "--mount-proc"});
    const ChildResult r = run_child(argv, {{"SWPROGRESS_NS_NAME", name}}, {}, std::chrono::seconds(120));
    ASSERT_TRUE(r.started && !r.timedOut);
    // unshare reports its own failure (no permission, no namespaces) before our program runs.
    if (r.out.find("[ RUN      ]") == std::string::npos && r.err.find("unshare:") != std::string::npos) {
        GTEST_SKIP() << "unshare --pid --fork --mount-proc is not permitted here: " << r.err;
    }
    EXPECT_TRUE(r.exitStatus == 0 && r.out.find("SWNS-DONE") != std::string::npos) << r.out << r.err;
}

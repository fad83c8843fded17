// swprogress: own id and name, and killing by id or by command text. The listing cases run on a
// listing the test writes, through the seams, with a kill that only records; the end-to-end case
// runs in a private PID namespace on children of its own with a unique name.
#include "swprogress.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "internal/swprochooks.h"
#include "support/child.h"
#include "support/tempdir.h"

using Str = std::string;
static std::vector<pid_t> g_killed;  // SIGKILLs the recorder saw; any other signal is recorded as -1
const PSwKillProc record = [](pid_t p, int sig) { return g_killed.push_back(sig == SIGKILL ? p : -1), 0; };

// The heading is no record, nor is a line whose first column is no int id above 0; the text is searched
// after the id, ignoring case. A listing line is read in pieces of 191 characters: the piece after the
// first of the long line holds "77 target", and is no record either.
TEST(SwProgress, KillsWhatTheListingNamesAndOwnName) {
    TempDir box;
    const Str ps = "cat '" + box.file("ps.txt") + "'", none = box.file("none"), t = "target";
    const Str longLine = " 4242 " + Str(185, 'x') + "77 target " + Str(100, 'y') + "\n";
    // clang-format off
    const struct { Str listing; const char* cmd; std::vector<pid_t> killed; int ignorePID = 0; } rows[] = {
        {"  PID TTY CMD\n   10 ? other\n", "TTY", {}}, {"   10 ? CamD\n\t11 ? xcamdx\n", "camd", {10, 11}},
        {"10 camd\n11 camd\n", "camd", {10}, 11}, {" 0 target\n -5 target\n", "target", {}},
        {"1234 daemon\n1235 a12b\n", "12", {1235}},
        {"target 7\n  x12 " + t + "\n99999999999 " + t + "\n12x " + t, "t", {}},
        {longLine + "5 target\n", "target", {5}}, {longLine, "xxxx", {4242}}, {"8 target", "target", {8}},
        {"\n7 target\n", "target", {7}}, {"8 target\n", "", {}}, {"8 target\n", nullptr, {}}};
    // clang-format on
    sw_hook_setKill(record), sw_hook_setPsCommand(ps.c_str());
    for (const auto& r : rows) {
        g_killed.clear(), box.write("ps.txt", r.listing);
        sw_progress_killByCMD(r.cmd, r.ignorePID);
        EXPECT_EQ(g_killed, r.killed) << r.listing;
    }
    g_killed.clear(), sw_hook_setPsCommand("exec /nonexistent/ps 2>/dev/null");
    sw_progress_killByCMD("target", 0);  // no listing at all
    for (int pid : {0, -1, INT32_MIN, 4321}) sw_progress_killByPID(pid);
    sw_hook_setKill(nullptr), sw_hook_setPsCommand(nullptr);
    char cmd[260] = "before";              // the documented room
    sw_hook_setSelfExeLink(none.c_str());  // the seam keeps the pointer
    EXPECT_TRUE(g_killed == std::vector<pid_t>{4321} && Str(sw_progress_getCMD(cmd)) == "before");
    sw_hook_setSelfExeLink(nullptr);
    EXPECT_TRUE(Str(sw_progress_getCMD(cmd)) == "test_swprogress" && Str(cmd) == "test_swprogress");
    EXPECT_TRUE(!sw_progress_getCMD(nullptr) && xGetCurrentProcessId() == getpid());
}

// The test runs itself again as the first process of a fresh PID namespace. There two children share
// the unique name (one of them is ignorePID) and a third has another; each child takes its name from
// this process at fork, which then takes a name of its own.
TEST(SwProgress, KillByCmdEndToEnd) {
    if (const char* name = getenv("SWPROGRESS_NS_NAME")) {
        ASSERT_EQ(getpid(), 1) << "not in a private PID namespace";
        pid_t k[3] = {};
        for (int i = 0; i < 3; ++i)
            if (!prctl(PR_SET_NAME, i < 2 ? name : "other", 0, 0, 0) && !(k[i] = fork())) _exit(pause());
        sw_progress_killByCMD(prctl(PR_SET_NAME, "swfirst", 0, 0, 0) == 0 ? name : "", k[1]);
        int st = 0;  // a kill that never came ends in the outer run's deadline
        EXPECT_TRUE(waitpid(k[0], &st, 0) == k[0] && WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << st;
        EXPECT_TRUE(waitpid(k[1], &st, WNOHANG) == 0 && waitpid(k[2], &st, WNOHANG) == 0) << "spared";
        return (void)printf("SWNS-DONE\n");  // the namespace's first process leaving ends every process in it
    }
    const Str name = "swk" + std::to_string(getpid() % 100000000);  // at most 11 characters
    std::vector<Str> argv =
        emulated(QS_EMULATOR, {program_invocation_name, "--gtest_filter=*.KillByCmdEndToEnd"});
    argv.insert(argv.begin(), {"unshare", "--pid", "--fork", "--mount-proc"});
    const ChildResult r = run_child(argv, {{"SWPROGRESS_NS_NAME", name}}, {}, std::chrono::seconds(60));
    // unshare reports its own failure (not root, no namespaces) before our program runs.
    if (r.out.find("[ RUN") == Str::npos && r.err.find("unshare:") != Str::npos) GTEST_SKIP() << r.err;
    EXPECT_TRUE(r.started && !r.timedOut && r.exitStatus == 0 && r.out.find("SWNS-DONE") != Str::npos)
        << r.out;
}

// Captures from many threads and processes at once, a capture killed midway, and a soak with
// random faults: captures never overlap inside the SDK, results are 0 or -2, every success leaves
// a whole image, and nothing accumulates in the process.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <atomic>
#include <mutex>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "support.h"
#include "support/child.h"

using qstest::camera;
using qstest::CaptureTest;

namespace {

// 24-bit BMP of a 64x48 frame: the one size a whole image has.
constexpr size_t kBmpSize = 54 + 48 * 64 * 3;

const char* const kChildEnv = "QS_CAPTURE_CHILD";  // child mode: "loop:<dir>:<n>" or "hang"

std::string self_exe() {
    char buf[4096] = {0};
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

size_t count_entries(const char* path) {
    size_t n = 0;
    DIR* d = opendir(path);
    if (d == nullptr) return 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

long resident_kib() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "re");
    if (f == nullptr) return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void use_small_camera() {
    camsim_reset();
    ASSERT_EQ(camsim_load_scenario_text(camera("usb3", "Hikrobot", "CONC1", "pixel = rgb8\n").c_str(), "conc"), 0);
    camsim_time_scale(0.01);
}

// After a refused capture: a short pause of random length, so that refused callers do not spin
// on the lock and every caller gets its turn now and then.
void backoff() {
    thread_local std::mt19937 rng(std::random_device{}());
    std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 2000));
}

// Child process modes (same binary): grab in a loop, or start a capture that never ends.
int child_main(const std::string& mode) {
    qs::trigger_pause_ms.store(2);
    if (mode == "hang") {
        camsim_reset();
        camsim_load_scenario_text(camera("usb3", "Hikrobot", "HANG1", "frames = none\n").c_str(), "hang");
        camsim_time_scale(0.01);
        return Quellshot_Grab(IMG_TYPE_BMP, "/nonexistent/never", -1, nullptr) == 0 ? 0 : 3;
    }
    // loop:<dir>:<n>
    const size_t a = mode.find(':'), b = mode.rfind(':');
    const std::string dir = mode.substr(a + 1, b - a - 1);
    const int n = atoi(mode.c_str() + b + 1);
    use_small_camera();
    int bad = 0;
    int done = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (int i = 0; done < n && std::chrono::steady_clock::now() < until; ++i) {
        const std::string path = dir + "/p" + std::to_string(getpid()) + "_" + std::to_string(i) + ".bmp";
        const int r = Quellshot_Grab(IMG_TYPE_BMP, path.c_str(), 30, nullptr);
        if (r == 0) {
            ++done;
            if (TempDir::read(path).size() != kBmpSize) ++bad;
        } else if (r == -2) {
            backoff();
        } else {
            ++bad;
        }
    }
    return bad == 0 && done == n ? 0 : 4;
}

}  // namespace

TEST_F(CaptureTest, ThreadsAndProcessesNeverOverlap) {
    use_small_camera();
    constexpr int kThreads = 8, kPerThread = 6, kProcs = 3, kPerProc = 6;
    std::vector<std::thread> children;
    std::vector<ChildResult> procResults(kProcs);
    for (int p = 0; p < kProcs; ++p) {
        children.emplace_back([&, p] {
            procResults[p] = run_child(emulated(QS_EMULATOR, {self_exe()}),
                                       {{kChildEnv, "loop:" + dir.path() + ":" + std::to_string(kPerProc)}});
        });
    }
    // Each thread keeps trying until it has its photos: refusals (-2) are expected in between.
    std::atomic<int> ok{0}, busy{0}, other{0}, incomplete{0};
    std::mutex codesLock;
    std::vector<int> codes;  // results other than 0 and -2
    std::vector<std::thread> threads;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            int mine = 0;
            for (int i = 0; mine < kPerThread && std::chrono::steady_clock::now() < until; ++i) {
                const std::string path = dir.file("t" + std::to_string(t) + "_" + std::to_string(i) + ".bmp");
                const int r = Quellshot_Grab(IMG_TYPE_BMP, path.c_str(), 30, nullptr);
                if (r == 0) {
                    ++ok;
                    ++mine;
                    if (TempDir::read(path).size() != kBmpSize) ++incomplete;
                } else if (r == -2) {
                    ++busy;
                    backoff();
                } else {
                    ++other;
                    std::lock_guard<std::mutex> g(codesLock);
                    codes.push_back(r);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    for (auto& c : children) c.join();
    EXPECT_EQ(other.load(), 0) << "first other result: " << (codes.empty() ? 0 : codes[0]);
    EXPECT_EQ(incomplete.load(), 0);
    EXPECT_EQ(ok.load(), kThreads * kPerThread);
    EXPECT_GT(busy.load(), 0);  // the captures really did meet
    for (const auto& r : procResults) {
        EXPECT_EQ(r.exitStatus, 0) << r.err;
    }
    EXPECT_EQ(qstest::journal().find("LEAK"), std::string::npos);
}

TEST_F(CaptureTest, KilledCaptureDoesNotBlockTheNext) {
    const std::string lock = qstest::lock_file();
    const std::vector<std::string> argv = emulated(QS_EMULATOR, {self_exe()});
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (auto& s : copy) args.push_back(s.data());
    args.push_back(nullptr);
    std::string envHang = std::string(kChildEnv) + "=hang";
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(envHang.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), envp.data()), 0);

    // Wait until the child holds the capture lock (deadline: generous for an emulated child).
    bool held = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!held && std::chrono::steady_clock::now() < until) {
        const int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            held = flock(fd, LOCK_EX | LOCK_NB) != 0;
            if (!held) flock(fd, LOCK_UN);
            close(fd);
        }
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(held) << "the child never took the lock";
    kill(pid, SIGKILL);  // our own child
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));

    // The kernel released both its lock and its camera; the stale lock file is reused.
    use_small_camera();
    EXPECT_EQ(Quellshot_Grab(IMG_TYPE_BMP, dir.file("after").c_str(), 30, nullptr), 0);
    EXPECT_EQ(TempDir::read(dir.file("after.bmp")).size(), kBmpSize);
}

TEST_F(CaptureTest, SoakWithRandomFaultsLeavesNothingBehind) {
    const char* const functions[] = {"MV_CC_Initialize",     "MV_CC_EnumDevices",   "MV_CC_OpenDevice",
                                     "MV_USB_SetTransferWays", "MV_CC_SetEnumValue", "MV_CC_StartGrabbing",
                                     "MV_CC_SetCommandValue", "MV_CC_GetImageBuffer", "MV_CC_SaveImageEx3",
                                     "MV_CC_GetIntValueEx",   "MV_CC_GetExposureTime"};
    std::mt19937 rng(20261206);
    auto one = [&](int i) {
        use_small_camera();
        if (rng() % 3 != 0) {
            const char* fn = functions[rng() % (sizeof functions / sizeof functions[0])];
            const unsigned status = rng() % 4 == 0 ? 0x80000007u : 0x80000000u + rng() % 16;
            camsim_set_fault(fn, 1, 1 + rng() % 3, status);
        }
        const int r = Quellshot_Grab(rng() % 2 ? IMG_TYPE_BMP : IMG_TYPE_JPG,
                                     dir.file("soak" + std::to_string(i % 4)).c_str(), 20, nullptr);
        EXPECT_NE(r, -2);
        EXPECT_NE(r, 10);
        EXPECT_EQ(qstest::journal().find("LEAK"), std::string::npos) << "capture " << i;
    };
    for (int i = 0; i < 20; ++i) one(i);  // warm-up: first-use allocations of the libraries
    const size_t fds = count_entries("/proc/self/fd");
    const size_t threads = count_entries("/proc/self/task");
    const long rss = resident_kib();
    for (int i = 20; i < 320; ++i) one(i);
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
    // Resident memory means something only natively: AddressSanitizer keeps freed memory in
    // quarantine, and an emulator's own code cache grows as it translates.
#if !defined(__SANITIZE_ADDRESS__)
    if (std::string(QS_EMULATOR).empty()) {
        EXPECT_LT(resident_kib() - rss, 8 * 1024) << "resident memory grew";
    }
#else
    (void)rss;
#endif
}

int main(int argc, char** argv) {
    if (const char* mode = getenv(kChildEnv)) return child_main(mode);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

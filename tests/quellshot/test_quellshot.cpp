// The capture module against the simulated camera: every result of Quellshot_Grab with its log line,
// tear-down and file; full-size images; the lock file; the census and the usbfs limit; captures from
// threads and processes at once, a killed one, and a soak with random faults.
#include <camsim.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "lockdir.h"
#include "qs_internal.h"
#include "support/child.h"
#include "support/forked.h"
#include "support/stdout_capture.h"
#include "support/tempdir.h"
#include "support/waitfor.h"

namespace {

namespace fs = std::filesystem;
const qs::AllocFn kAlloc = qs::alloc.load();
const qs::SignalCreateFn kSignal = qs::create_signal.load();
const std::string kLog =
    R"(\[\d{4}(-\d\d){2} \d\d(:\d\d){2}\] \[error\] \(quellshot/quellshot\.cpp:\d+\) \[Quellshot\] )";
const std::string kDebug =
    R"(\[debug\] \(quellshot/photoproc\.cpp:\d+\) \[Quellshot\] \+{3}GetOneFrame\+{3}, )";
std::atomic<int> g_allocs{0}, g_failingAlloc{0}, g_slowAlloc{0}, g_ticks{0}, g_refused{0}, g_stack{0};
const qs::ThreadCreateFn kThread = qs::create_thread.load();
int (*g_worker)(unsigned long, unsigned long);

// The lock file beside the test program, found without the library's help.
const std::string kLockFile =
    fs::read_symlink("/proc/self/exe").parent_path().string() + "/status/quellshot.lock";

std::string journal() {
    std::string s(camsim_journal(nullptr, 0) + 1, '\0');
    s.resize(camsim_journal(&s[0], s.size()));
    return s;
}

size_t matches(const std::string& text, const std::string& re) {
    const std::regex pattern(re);
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), {}));
}

// One [camera] section of 63x48 pixels (BMP rows padded), its model named after the serial.
std::string camera(const std::string& transport, const std::string& maker, const std::string& serial) {
    return "[camera]\ntransport = " + transport + "\nmanufacturer = " + maker + "\nmodel = MODEL-" + serial +
           "\nserial = " + serial + "\nwidth = 63\nheight = 48\n";
}

// Frames that never come cost a hundredth of their wait.
void load(const std::string& scenario) {
    ASSERT_EQ(camsim_load_scenario_text(scenario.c_str(), "test"), 0) << scenario;
    camsim_time_scale(0.01);
}

// The capture's allocations: call g_failingAlloc fails, call g_slowAlloc takes 1.5 s.
void* allocate(size_t n, const char* file, int line) {
    if (++g_allocs == g_slowAlloc) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return g_allocs == g_failingAlloc ? nullptr : kAlloc(n, file, line);
}

// Every test starts with the simulator reset and the seams at their defaults, but for a pause after a
// trigger (a second for a real camera) of 2 ms and a grace of 300 ms (3 s) for a worker that overran.
class CaptureTest : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {  // again before each row of the capture table
        static const auto seams =
            std::make_tuple(qs::create_signal.load(), qs::create_thread.load(), qs::monotonic_clock.load());
        std::tie(qs::create_signal, qs::create_thread, qs::monotonic_clock) = seams;
        g_allocs = g_failingAlloc = g_slowAlloc = g_ticks = 0;
        qs::alloc.store(allocate);
        qs::trigger_pause_ms.store(2), qs::worker_grace_ms.store(300);
        qs::waitAEDone.store(1);
        camsim_reset();
    }
};

// What a row of the capture table changes through the module's seams.
// clang-format off
enum Seam { kNone, kNoImage, kNoPath, kWaitOff, kNoSignal, kNoThread, kClock, kSlowWrite, kSlowConvert, kStuck,
            kMono, kCancelEarly, kCancel };
void (*const kSeams[])() = {
    [] {}, [] { g_failingAlloc = 1; }, [] { g_failingAlloc = 2; }, [] { HK_SetWaitAEDoneForTakePhoto(0); },
    [] { qs::create_signal.store([](auto...) -> void* { return nullptr; }); },
    [] { qs::create_thread.store([](auto...) -> void* { return nullptr; }); },
    [] { qs::monotonic_clock.store([](timespec* ts) { *ts = timespec{1000 + 60 * g_ticks++, 0}; }); },
    // Slow write or conversion: the worker is saving while the time and the grace run out; the cancel waits
    // for it, the frame goes back, the late image is not put in place. Stuck: cancelled in its pause.
    [] { g_slowAlloc = 2; }, [] { g_slowAlloc = 1; }, [] { qs::trigger_pause_ms.store(2000); },
    [] { CamSimCamera c; camsim_camera_defaults(&c);  // a mono8 camera of the default, full size
         c.model = "MODEL-M", c.serial = "M", c.pixel = CAMSIM_PIXEL_MONO8, camsim_add_camera(&c); },
    // qs_cancel while the capture sets up, and from the worker while the capture waits for it.
    [] { qs::create_signal.store([] { return qs_cancel(), kSignal(); }); },
    [] { qs::create_thread.store([](const char* n, int p, int stack, int (*proc)(unsigned long, unsigned long),
                                    unsigned long w, unsigned long l) {
        g_stack = stack, g_worker = proc;
        return kThread(n, p, stack, [](unsigned long a, unsigned long b) { return qs_cancel(), g_worker(a, b); }, w, l);
    }); },
};
// clang-format on

struct Row {  // triggers: TriggerSoftware calls (-1 any); error: the one error message (a pattern), if any
    std::string scenario;
    long long result, triggers = 1;  // the result may be an SDK status
    std::string error{};
    Seam seam = kNone;
    int timeout = 10;
    float exposure = 10000;  // in the mark of a success
    HKImgType type = IMG_TYPE_JPG;
    const char *path = "p", *file = "p.jpg";  // path "<null>": NULL; what a success writes
};

}  // namespace

// Each row: the result; its one error line or none; the triggers; every frame given back; a debug
// line per "no data yet"; the tear-down (stop, close, destroy when a handle was made, finalize last,
// nothing leaked, the lock file gone); the mark, filled only on success; and the file: written whole
// in place of a planted link to an older file, whose target stays untouched, if and only if the
// result is 0 (a worker that saves after the time-out or a cancel changes nothing), and never a
// temporary file left beside it.
TEST_F(CaptureTest, EveryResultWithItsLogTearDownAndFile) {
    const std::string hik = camera("usb3", "Hikrobot", "U1"), timedOut = "拍照过程-等待超时!!";
    const auto fault = [&](const std::string& f) { return hik + "[fault]\n" + f + "\n"; };
    const std::string exposing = hik + "exposure_auto = continuous\nexposures = ";
    const auto opening = [](const std::string& code) { return "打开相机时发生错误, errCode=" + code + "!!"; };
    const auto setting = [](const std::string& code) { return "设置相机时发生错误, errCode=" + code + "!!"; };
    // clang-format off
    const Row rows[] = {  // the three slow ones first
        {hik, 10, 1, timedOut, kSlowWrite, 1},
        {hik, 10, 1, timedOut, kSlowConvert, 1},
        {hik, 10, 1, timedOut, kStuck, 1},
        {hik, 10, -1, timedOut, kNone, 0},
        {hik, -20, 0, "拍照过程-已取消!!", kCancelEarly},
        {hik + "frames = none\n", -20, -1, "拍照过程-已取消!!", kCancel, 30},
        {fault("MV_CC_Initialize = 0x80000100"), 0x80000100, 0, "相机SDK初始化失败, errCode=0x80000100!!"},
        {fault("MV_CC_EnumDevices = 0x80000006"), 0x80000006, 0, "枚举相机,执行错误, errCode=0x80000006!!"},
        {"", -3, 0, "没有相机,数量=0!!"},
        {camera("usb3", "Other", "O1") + "[camera]\ntransport = null\n" + hik, -4, 0,
         "unexpected internal error, failed to obtain camera information!!"},
        {"[camera]\ntransport = 8\n" + hik, -5, 0, "unexpected internal error, unknown camera type\\(8\\)!!"},
        {camera("gige", "Hikrobot Inc", "B"), -6, 0, "没有找到 \"Hikrobot\" 的相机!!"},
        {fault("MV_CC_CreateHandleWithoutLog = 0x80000004"), 0x80000004, 0, opening("0x80000004")},
        {fault("MV_CC_OpenDevice = 0x80000203"), 0x80000203, 0, opening("0x80000203")},
        {fault("MV_USB_SetTransferWays = 0x80000001"), 0x80000001, 0, opening("0x80000001")},
        {camera("gige", "Hikrobot", "G0") + "packet_size = 0\n", -7, 0, opening("0xfffffff9")},
        {camera("gige", "Hikrobot", "G1") + "[fault]\nMV_CC_SetIntValueEx = 4", 4, 0, opening("0x4")},
        {fault("MV_CC_SetEnumValue#1 = 0x80000004"), 0x80000004, 0, setting("0x80000004")},
        {fault("MV_CC_SetEnumValue#2 = 0x80000005"), 0x80000005, 0, setting("0x80000005")},
        {fault("MV_CC_GetExposureAutoMode = 1"), 1, 0, "获取曝光模式时出错, errCode=0x1!!"},
        {fault("MV_CC_StartGrabbing = 6"), 6, 0, "相机取流时发生错误, errCode=0x6!!"},
        {hik, -8, 0, "SIG信号量创建失败!!", kNoSignal},
        {hik, -9, 0, "拍照线程-创建失败!!", kNoThread},
        {hik + "frames = none\n", 10, -1, timedOut, kNone, 0},
        {hik, -15, 1, "", kNone, 10, 0, IMG_TYPE_JPG, "<null>"},
        {hik, -15, 1, "", kNone, 10, 0, IMG_TYPE_JPG, ""},
        {hik, -16, 1, "", kNone, 10, 0, static_cast<HKImgType>(3)},
        {hik, -19, 1, "", kNone, 10, 0, IMG_TYPE_JPG, "no/such/dir/x", "no/such/dir/x.jpg"},
        {fault("MV_CC_SetCommandValue = 0x80000008"), 0x80000008},
        {fault("MV_CC_GetImageBuffer = 0x80000006"), 0x80000006},
        {exposing + "10000\n[fault]\nMV_CC_GetExposureTime = 0x80000001", 0x80000001},
        {fault("MV_CC_GetIntValueEx = 0x80000001"), 0x80000001, 1, "", kNone, 10, 0, IMG_TYPE_BMP},
        {fault("MV_CC_SaveImageEx3 = 0x8000000C"), 0x8000000C},
        {hik + "image_len = zero\n", -19},
        {hik + "image_len = overflow\n", -19, 1, "", kNone, 10, 0, IMG_TYPE_BMP},
        {hik, -17, 1, "", kNoImage},
        {hik, -18, 1, "", kNoPath},
        {fault("MV_CC_GetImageBuffer#1-3 = 0x80000007"), 0, 4},
        {exposing + "10000, 12000, 12030, 12040, 12045, 30000", 0, 5, "", kNone, 10, 12045},
        {exposing + "100, 150, 200, 250, 900", 0, 4, "", kNone, 10, 250},
        {exposing + "10000, 20000, 30000", 0, 1, "", kWaitOff},
        {hik + "exposures = 10000, 20000, 30000\n", 0, 1},
        {hik + "exposure_auto = once\nexposures = 1000, 2000, 3000, 4000\n", 0, 3, "", kClock, 10, 3000},
        {hik, 0, 1, "", kNone, 10, 1e4f, IMG_TYPE_BMP, "b", "b.bmp"},
        {hik, 0, 1, "", kNone, 10, 1e4f, IMG_TYPE_JPG, "A.JPG", "A.JPG"},
        {hik, 0, 1, "", kNone, 10, 1e4f, IMG_TYPE_JPG, "b.jpg.d/c", "b.jpg.d/c"},
        {camera("gige", "hikrobot", "G7") + "exposures = 12345\n" + hik, 0, 1, "", kNone, 10, 12345},
        {"[camera]\nmodel = MODEL-F\nserial = F\n", 0, 1, "", kNone, 30, 1e4f, IMG_TYPE_BMP, "f", "f.bmp"},
        {"[camera]\nmodel = MODEL-F\nserial = F\n", 0, 1, "", kNone, 30, 1e4f, IMG_TYPE_JPG, "f", "f.jpg"},
        {"", 0, 1, "", kMono, 30, 1e4f, IMG_TYPE_BMP, "m", "m.bmp"},
        {"", 0, 1, "", kMono, 30, 1e4f, IMG_TYPE_JPG, "m", "m.jpg"},
    };
    // clang-format on
    const auto run = [&](const Row& r) {
        SCOPED_TRACE(r.scenario + "/" + r.path);
        SetUp();
        load(r.scenario);
        kSeams[r.seam]();
        TempDir rd;
        const std::string path = rd.file(r.path), file = rd.file(r.file), at = fs::path(file).parent_path();
        const std::string outside = dir.write("outside", "older");
        const bool planted = (mkdir(at.c_str(), 0755), symlink(outside.c_str(), file.c_str())) == 0;
        HKImgMark mark;
        memset(&mark, 'Z', sizeof mark);
        StdoutCapture log;
        const char* arg = std::string(r.path) == "<null>" ? nullptr : *r.path == '\0' ? "" : path.c_str();
        EXPECT_EQ(Quellshot_Grab(r.type, arg, r.timeout, &mark), static_cast<int>(r.result));
        const std::string out = log.finish(), j = journal();
        EXPECT_EQ(r.triggers < 0 ? -1 : camsim_call_count("MV_CC_SetCommandValue"), r.triggers);
        EXPECT_EQ(matches(out, "] \\[error\\] ") + matches(out, kLog + r.error + "\n"), 2 * !r.error.empty());
        // A debug line for each "no data yet".
        EXPECT_EQ(matches(out, kDebug + "无数据, 继续等待\\.{3}\n"), matches(j, "0x80000007\n"));
        EXPECT_EQ(matches(j, "GetImageBuffer .* 0x0\n"), matches(j, "FreeImageBuffer .* 0x0\n"));
        EXPECT_TRUE(j.find("LEAK") == std::string::npos && access(kLockFile.c_str(), F_OK) != 0) << j;
        const bool made = matches(j, "CreateHandleWithoutLog \\w+ - 0x0\n") == 1;
        const char* tearDown = made ? "StopGrabbing .*\nMV_CC_CloseDevice .*\nMV_CC_DestroyHandle .*" : "";
        EXPECT_EQ(matches(j, tearDown + std::string("\nMV_CC_Finalize .*\n$")), 1u) << j;
        std::smatch m;  // the camera opened, whose model, serial and exposure a success hands back
        const std::string id =
            std::regex_search(j, m, std::regex("OpenDevice (\\w+) 1 0x0")) ? m[1].str() : "";
        const bool same =
            std::string(reinterpret_cast<char*>(&mark), sizeof mark) == std::string(sizeof mark, 'Z');
        EXPECT_EQ(same ? "untouched" : mark.camModelName + (" " + std::string(mark.camSerialNum)),
                  r.result ? "untouched" : "MODEL-" + id + " " + id);
        EXPECT_EQ(same ? 0 : mark.imgExposureTime, r.result ? 0 : r.exposure);
        const bool written = r.result == 0;
        std::error_code ec;
        EXPECT_TRUE(TempDir::read(outside) == "older" &&
                    fs::is_regular_file(fs::symlink_status(file, ec)) == written);
        // A written image has the frame's size and kind of pixel; a BMP is as large as it has to be.
        std::regex_search(out, m, std::regex("Width\\[(\\d+)\\], Height\\[(\\d+)\\].*PixelType\\[0x0(1|2)"));
        const size_t grey = m[3] == "1", row = m.empty() ? 0 : ((3 - 2 * grey) * std::stoul(m[1]) + 3) & ~3u;
        const std::string image = (r.type == 1 ? "BMP3 " : "JPEG ") + m[1].str() + " " + m[2].str();
        EXPECT_EQ(grey, r.seam == kMono);  // only the mono8 camera gives grey images
        // ImageMagick reads it without a warning.
        const char* magick[] = {"identify", "-regard-warnings", "-format", "%m %w %h %[type]", file.c_str()};
        EXPECT_EQ(written ? run_child({magick, magick + 5}, {}).out : "",
                  written ? image + (grey ? " Grayscale" : " TrueColor") : "");
        EXPECT_EQ(written && r.type == 1 ? fs::file_size(file) : 0,
                  written && r.type == 1 ? 54 + 1024 * grey + row * std::stoul(m[2]) : 0);
        EXPECT_EQ(std::distance(fs::directory_iterator(at, ec), {}), planted || written);
    };
    for (const Row& r : rows) run(r);
    EXPECT_EQ(g_stack, std::max(65536L, sysconf(_SC_THREAD_STACK_MIN)));  // the worker's, where glibc wants more
    // And a soak: random rows again (the quick ones), which leave no descriptor, thread or memory behind.
    const auto count = [](const char* d) { return std::distance(fs::directory_iterator(d), {}); };
    const auto fds = count("/proc/self/fd"), threads = count("/proc/self/task");
    long pages = 0, resident = 0, grown = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    std::mt19937 rng(20261206);
    for (int i = 0; i < 100; ++i) run(rows[3 + rng() % (sizeof rows / sizeof rows[0] - 3)]);
    std::ifstream("/proc/self/statm") >> pages >> grown;
    EXPECT_EQ(std::make_pair(count("/proc/self/fd"), count("/proc/self/task")), std::make_pair(fds, threads));
#if !defined(__SANITIZE_ADDRESS__)  // only natively: an emulator's code cache grows as it translates
    EXPECT_LT(std::string(QS_EMULATOR).empty() ? (grown - resident) * sysconf(_SC_PAGESIZE) : 0, 8 << 20);
#endif
}

// The holder removes the lock file before unlocking. A call that opened the old file just then locks
// the file the path names instead, for up to five rounds of that; beyond, the lock counts as held.
// The path is "status/quellshot.lock" in the directory given (the working directory when that is
// unknown), or none at all when that does not fit.
TEST(CaptureLock, FileRemovedWhileHeldAndThePath) {
    static std::atomic<int> opens{0}, removals{0};
    qs::lock_opened_hook.store([](const char* p) { (void)(opens++ < removals && unlink(p) == 0); });
    TempDir d;
    int fd = -1, other = -1;
    for (const int k : {1, 4, 5}) {
        opens = 0, removals = k, fd = -1;
        EXPECT_EQ(qs::take_lock(d.file("q.lock").c_str(), &fd), k < 5 ? 0 : -2) << k;
        EXPECT_EQ(opens.load(), std::min(k + 1, 5)) << k;
        removals = 0;  // and the next caller meets the lock
        EXPECT_EQ(k < 5 ? qs::take_lock(d.file("q.lock").c_str(), &other) : -2, -2) << k;
        close(fd);
    }
    EXPECT_EQ(qs::take_lock(d.file("none/q.lock").c_str(), &fd), -1);  // (the hook, now harmless, stays)
    // A link planted at the path is not followed to the file (or device) it names.
    ASSERT_EQ(symlink(d.write("t", "").c_str(), d.file("s.lock").c_str()), 0);
    EXPECT_TRUE(qs::take_lock(d.file("s.lock").c_str(), &other) == -1 && errno == ELOOP);
    // A FIFO someone put at the path does not hold the call until a writer comes.
    ASSERT_EQ(mkfifo(d.file("f.lock").c_str(), 0666), 0);
    expect_passes_in_child([&] { EXPECT_EQ(qs::take_lock(d.file("f.lock").c_str(), &other), 0); }, 5);
    // Another user, under a strict umask, meets the file this one made, and then the lock it holds.
    ASSERT_TRUE(qs::take_lock(d.file("u.lock").c_str(), &fd) == 0 && chmod(d.path().c_str(), 01777) == 0);
    expect_passes_in_child([&] {
        ASSERT_EQ(setresuid(65534, 65534, 65534), 0);
        EXPECT_EQ(qs::take_lock(d.file("u.lock").c_str(), &other), -2);
        umask(077);
        EXPECT_EQ(qs::take_lock(d.file("v.lock").c_str(), &other), 0);
    });
    close(fd);
    expect_passes_in_child([&] {
        EXPECT_TRUE(setresuid(65533, 65533, 65533) == 0 &&
                    qs::take_lock(d.file("v.lock").c_str(), &other) == 0);
    });
    char lock[292];
    const fs::path cwd = fs::current_path();
    fs::current_path(d.path());
    const std::string fits = d.path() + "/" + std::string(268 - d.path().size(), 'd');  // 269 bytes
    for (const std::string& in : {std::string(), d.path(), d.path() + "/", fits, fits + "d"}) {
        qs::lock_path_for(in.c_str(), lock);
        const std::string named = (in.empty() || in.back() == '/' ? in : in + "/") + "status/quellshot.lock";
        EXPECT_EQ(lock, in.size() > 269 ? "" : named);  // never a cut path
    }
    fs::current_path(cwd);
}

// The lock's directory: QUELLSHOT_LOCKDIR when set and not empty, else the system's for a toolkit in a
// system location, else status/ beside the program; and which places are system locations.
TEST(CaptureLock, DirectoryRule) {
    static bool installed;
    const qs::SystemInstallFn real = qs::system_install.exchange([] { return installed; });
    char d[32];
    // clang-format off
    for (const auto& [env, sys, run, want] : {std::tuple{"/tmp/q", true, "/x/", "/tmp/q/"},
             {"/tmp/q/", false, "", "/tmp/q/"}, {"", true, "/x", "/run/lock/quellshot/"},
             {nullptr, false, "/x", "/x/status/"}, {"", false, "", "status/"}, {nullptr, false, "/much-too-long-for-32-bytes/", ""}}) {
        (void)(env ? setenv("QUELLSHOT_LOCKDIR", env, 1) : unsetenv("QUELLSHOT_LOCKDIR")), installed = sys;
        qs::lock_dir(d, sizeof d, run);
        EXPECT_STREQ(d, want) << (env ? env : "unset") << sys << run;
    }
    for (const auto& [p, sys] : {std::pair{"/usr/bin/quellshot", true}, {"/usr/lib/arm-linux-gnueabihf/libq.so", true},
             {"/lib/x", true}, {"/sbin/x", true}, {"/usr/src/b/q", false}, {"/opt/q/bin/q", false}, {"/home/u/q", false},
             {"b/x", false}, {"", false}})
        EXPECT_EQ(qs::is_system_path(p), sys) << p;
    // clang-format on
    unsetenv("QUELLSHOT_LOCKDIR"), qs::system_install.store(real);
}

// A write that fails half-way (the file size limit here; a full disk alike) leaves the older file byte
// for byte, no temporary file, and says why.
TEST_F(CaptureTest, AFailedWriteKeepsTheOlderFileAndSaysWhy) {
    load(camera("usb3", "Hikrobot", "W"));
    const std::string file = dir.write("old.jpg", "older");
    expect_passes_in_child([&] {
        const rlimit lim{64, 64};
        ASSERT_TRUE(signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &lim) == 0);
        EXPECT_EQ(Quellshot_Grab(IMG_TYPE_JPG, file.c_str(), 10, nullptr), -19);
        EXPECT_EQ(qs_last_errno(), EFBIG);
    });
    EXPECT_EQ(TempDir::read(file), "older");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
}

// An image larger than the buffer the frame's payload suggests, as of a tiny grey frame, is made
// in a larger one rather than lost.
TEST_F(CaptureTest, AnImageThatOutgrowsThePayloadIsStillSaved) {
    load("[camera]\nmanufacturer = Hikrobot\nmodel = MODEL-T\nserial = T\npixel = mono8\nwidth = 8\nheight = 8\n");
    for (const auto& [type, name, kind] : {std::tuple{IMG_TYPE_JPG, "t.jpg", "JPEG"}, {IMG_TYPE_BMP, "t.bmp", "BMP3"}}) {
        const std::string file = dir.file(name);
        ASSERT_EQ(Quellshot_Grab(type, file.c_str(), 10, nullptr), 0) << name;
        const char* magick[] = {"identify", "-regard-warnings", "-format", "%m %w %h", file.c_str()};
        EXPECT_EQ(run_child({magick, magick + 5}, {}).out, kind + std::string(" 8 8"));
    }
}

// The wait for the worker in milliseconds never wraps; the one alias slot is empty and matches no name,
// not even a missing one; any non-zero switches the exposure wait on, and that is all it answers.
TEST(CaptureInternals, TimeoutAndAliases) {
    for (const auto& [s, ms] : {std::pair{-1, -1}, {INT_MIN, -1}, {2147483, 2147483000}, {2147484, INT_MAX}})
        EXPECT_EQ(qs::timeout_ms(s), ms) << s;
    for (const char* name : {"Hikrobot", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(qs::is_hikrobot_manu_alias(name));
    EXPECT_TRUE(HK_SetWaitAEDoneForTakePhoto(7) == 0 && qs::waitAEDone == 1);
}

TEST(Usbfs, ReadsTheFirstNumberAndWritesWithALineEnd) {
    TempDir d;
    const std::string p = d.file("usbfs_memory_mb");
    // clang-format off
    for (const auto& [text, value] : {std::pair<const char*, int>{"16\n", 16}, {" 42 MB\n", 42}, {"-3", -3},
             {"MB", -1}, {"", -1}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}, {"2147483648", -1},
             {"-99999999999999999999", -1}})
        // clang-format on
        EXPECT_EQ(qs::usbfs_get(d.write("usbfs_memory_mb", text).c_str()), value) << text;
    // Nothing is written for -5; a missing file is -1 both ways; /dev/full refuses when flushed.
    EXPECT_TRUE(qs::usbfs_set(p.c_str(), 1000) == 0 && qs::usbfs_set(p.c_str(), -5) == -1 &&
                TempDir::read(p) == "1000\n");
    EXPECT_TRUE(qs::usbfs_set(d.file("no/such").c_str(), 5) == -1 && HK_SetSysUsbfsMemSize(-5) == -1 &&
                qs::usbfs_get(d.file("no/such").c_str()) == -1 && qs::usbfs_set("/dev/full", 5) == -1);
    EXPECT_EQ(HK_GetSysUsbfsMemCurrentSize(),
              qs::usbfs_get("/sys/module/usbcore/parameters/usbfs_memory_mb"));
}

// Grabs until `n` whole photos (BMP of 9270 bytes) are saved: 0, or the first result other than 0 and -2
// (-100: a photo not whole). In between it counts the cameras, which takes no lock, and flips the
// exposure-wait switch, which running workers read.
static int grab(const std::string& prefix, int n) {
    for (int i = 0, done = 0; done < n; ++i) {
        const int r = Quellshot_Grab(IMG_TYPE_BMP, (prefix + std::to_string(i)).c_str(), 30, nullptr);
        if ((r != 0 && r != -2) || HK_GetCameraCount() + HK_SetWaitAEDoneForTakePhoto(i % 2) != 2)
            return r ? r : -1;
        if (r == 0 && fs::file_size(prefix + std::to_string(i) + ".bmp") != 9270) return -100;
        done += r == 0;
        g_refused += r == -2;  // then a short pause, different each time, so that refused callers take turns
        std::this_thread::sleep_for(std::chrono::microseconds(r == -2 ? 200 + i * 7919 % 2000 : 0));
    }
    return 0;
}

// A capture that never ends holds the lock and the camera until it is killed; meanwhile and after, 8
// threads and 3 processes (configured and journalling through the environment) grab until each has its
// photos, all whole: refused at once while another capture runs, never overlapping, which the simulator
// would deny.
TEST_F(CaptureTest, ThreadsProcessesAndAKilledCapture) {
    static int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t stuck = fork();
    if (stuck == 0) {  // it tells when it holds the lock and the camera
        load(camera("usb3", "Hikrobot", "K1") + "frames = none\n");
        qs::create_signal.store([] { return write(ready[1], "!", 1) == 1 ? kSignal() : nullptr; });
        _exit(Quellshot_Grab(IMG_TYPE_BMP, "/nonexistent/never", -1, nullptr));
    }
    pollfd started{ready[0], POLLIN, 0};
    EXPECT_TRUE(poll(&started, 1, 60000) == 1 && close(ready[0]) == 0 && close(ready[1]) == 0);
    const std::string k1 = camera("usb3", "Hikrobot", "K1") + camera("gige", "HIKROBOT", "G") +
                           camera("usb3", "Basler", "B") + "[camera]\ntransport = null\n";  // two to count
    load(k1);
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> env = {{"CAMSIM_TIME_SCALE", "0.01"},
        {"QS_CHILD", dir.path()}, {"CAMSIM_SCENARIO", dir.write("s", k1)}, {"CAMSIM_JOURNAL", dir.file("j")}};
    // clang-format on
    const std::vector<std::string> self = emulated(QS_EMULATOR, {fs::read_symlink("/proc/self/exe")});
    std::vector<int> results(11, -1);  // 3 processes, 8 threads
    std::vector<std::thread> all;
    for (size_t i = 0; i < results.size(); ++i) {
        all.emplace_back([&, i] {
            results[i] = i < 3 ? run_child(self, env).exitStatus : grab(dir.file("t" + std::to_string(i)), 3);
        });
    }
    EXPECT_TRUE(wait_for([] { return g_refused > 8; }) && access(kLockFile.c_str(), F_OK) == 0);
    EXPECT_TRUE(kill(stuck, SIGKILL) == 0 && waitpid(stuck, nullptr, 0) == stuck);  // our own child
    for (auto& t : all) t.join();
    EXPECT_EQ(results, std::vector<int>(11, 0));
    const std::string j = journal() + TempDir::read(dir.file("j"));
    EXPECT_TRUE(j.find("LEAK") == j.find(" 0x80000203") && access(kLockFile.c_str(), F_OK) != 0) << j;
}

// The census logs its failures and finalizes all the same.
TEST_F(CaptureTest, CensusFailures) {
    // clang-format off
    for (const auto& [fault, count, error] : {std::tuple<const char*, int, std::string>
             {"MV_CC_EnumDevices = 6", -1, "枚举相机,执行错误, errCode=0x6!!"},
             {"MV_CC_Initialize = 7", 7, "相机SDK初始化失败, errCode=0x7!!"}}) {
        // clang-format on
        load(std::string("[fault]\n") + fault);
        StdoutCapture log;
        EXPECT_EQ(HK_GetCameraCount(), count);
        EXPECT_EQ(1u, matches(log.finish(), "/census\\.cpp:\\d+\\) \\[Quellshot\\] " + error + "\n"));
        EXPECT_TRUE(camsim_call_count("MV_CC_Finalize") == 1 && camsim_init_count() == 0);
    }
}

int main(int argc, char** argv) {
    if (const char* dir = getenv("QS_CHILD")) {  // a process of ThreadsProcessesAndAKilledCapture
        qs::trigger_pause_ms.store(2);
        return grab(std::string(dir) + "/p" + std::to_string(getpid()) + "_", 3) == 0 ? 0 : 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

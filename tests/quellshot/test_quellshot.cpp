// Quellshot_Grab against the simulated camera: every failure of the set-up with its message and
// tear-down, every result of the worker, the settle rule, paths and the saved images.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <regex>

#include "support.h"
#include "swdir.h"
#include "support/child.h"
#include "support/stdout_capture.h"

using qstest::camera;
using qstest::CaptureTest;
using qstest::count;
using qstest::journal_lines;

namespace {

HKImgMark untouched_mark() {
    HKImgMark m;
    memset(&m, 0x5A, sizeof m);
    return m;
}

bool is_untouched(const HKImgMark& m) {
    const HKImgMark ref = untouched_mark();
    return memcmp(&m, &ref, sizeof m) == 0;
}

std::string line_re(const std::string& message) {
    return R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[error\] \(quellshot/quellshot\.cpp:\d+\) \[Quellshot\] )" +
           message + "$";
}

std::vector<std::string> error_lines(const std::string& out) {
    std::vector<std::string> v;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
        if (l.find("] [error] (") != std::string::npos) v.push_back(l);
    }
    return v;
}

}  // namespace

// Every failure before the worker runs: result, the one message, tear-down, mark untouched.
TEST_F(CaptureTest, SetUpFailuresTable) {
    const std::string hik = camera("usb3", "Hikrobot", "U1");
    const std::string gige = camera("gige", "Hikrobot", "G1", "packet_size = 8164\n");
    struct Case {
        const char* name;
        std::string scenario;
        int result;
        std::string message;  // regex after the tag
    } cases[] = {
        {"init", hik + "[fault]\nMV_CC_Initialize = 0x80000100\n", static_cast<int>(0x80000100u),
         "相机SDK初始化失败, errCode=0x80000100!!"},
        {"enumerate", hik + "[fault]\nMV_CC_EnumDevices = 0x80000006\n", static_cast<int>(0x80000006u),
         "枚举相机,执行错误, errCode=0x80000006!!"},
        {"no camera", "# none\n", -3, "没有相机,数量=0!!"},
        {"null entry", camera("usb3", "Other", "O1") + "[camera]\ntransport = null\n" + hik, -4,
         "unexpected internal error, failed to obtain camera information!!"},
        {"unknown transport stops the scan", camera("8", "Hikrobot", "X1") + hik, -5,
         R"(unexpected internal error, unknown camera type\(8\)!!)"},
        {"no Hikrobot", camera("usb3", "Basler", "B1") + camera("gige", "Hikrobot Inc", "B2"), -6,
         "没有找到 \"Hikrobot\" 的相机!!"},
        {"create handle", hik + "[fault]\nMV_CC_CreateHandleWithoutLog = 0x80000004\n",
         static_cast<int>(0x80000004u), "打开相机时发生错误, errCode=0x80000004!!"},
        {"open", hik + "[fault]\nMV_CC_OpenDevice = 0x80000203\n", static_cast<int>(0x80000203u),
         "打开相机时发生错误, errCode=0x80000203!!"},
        {"usb transfer ways", hik + "[fault]\nMV_USB_SetTransferWays = 0x80000001\n",
         static_cast<int>(0x80000001u), "打开相机时发生错误, errCode=0x80000001!!"},
        {"gige packet size 0", camera("gige", "Hikrobot", "G0", "packet_size = 0\n"), -7,
         "打开相机时发生错误, errCode=0xfffffff9!!"},
        {"gige packet size set", gige + "[fault]\nMV_CC_SetIntValueEx = 0x80000004\n",
         static_cast<int>(0x80000004u), "打开相机时发生错误, errCode=0x80000004!!"},
        {"trigger mode", hik + "[fault]\nMV_CC_SetEnumValue#1 = 0x80000004\n", static_cast<int>(0x80000004u),
         "设置相机时发生错误, errCode=0x80000004!!"},
        {"trigger source", hik + "[fault]\nMV_CC_SetEnumValue#2 = 0x80000005\n", static_cast<int>(0x80000005u),
         "设置相机时发生错误, errCode=0x80000005!!"},
        {"exposure mode", hik + "[fault]\nMV_CC_GetExposureAutoMode = 0x80000001\n",
         static_cast<int>(0x80000001u), "获取曝光模式时出错, errCode=0x80000001!!"},
        {"start grabbing", hik + "[fault]\nMV_CC_StartGrabbing = 0x80000006\n", static_cast<int>(0x80000006u),
         "相机取流时发生错误, errCode=0x80000006!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scenario(c.scenario);
        HKImgMark mark = untouched_mark();
        StdoutCapture cap;
        const int r = Quellshot_Grab(IMG_TYPE_JPG, dir.file("img").c_str(), 5, &mark);
        const std::string out = cap.finish();
        EXPECT_EQ(r, c.result);
        const auto lines = error_lines(out);
        ASSERT_EQ(lines.size(), 1u) << out;
        EXPECT_TRUE(std::regex_match(lines[0], std::regex(line_re(c.message)))) << lines[0];
        EXPECT_TRUE(is_untouched(mark));
        EXPECT_EQ(count("MV_CC_SetCommandValue"), 0u);  // no trigger: the worker never ran
        EXPECT_EQ(access(dir.file("img.jpg").c_str(), F_OK), -1);
        expect_torn_down();
    }
}

TEST_F(CaptureTest, SignalAndThreadCreationFailures) {
    struct Case {
        const char* name;
        bool failSignal;
        int result;
        const char* message;
    } cases[] = {{"signal", true, -8, "SIG信号量创建失败!!"}, {"thread", false, -9, "拍照线程-创建失败!!"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scenario(camera("usb3", "Hikrobot", "U1"));
        if (c.failSignal) {
            qs::create_signal.store([]() -> void* { return nullptr; });
        } else {
            qs::create_thread.store([](const char*, int, int, int (*)(unsigned long, unsigned long), unsigned long,
                                       unsigned long) -> void* { return nullptr; });
        }
        StdoutCapture cap;
        EXPECT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("img").c_str(), 5, nullptr), c.result);
        const auto lines = error_lines(cap.finish());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(lines[0], std::regex(line_re(c.message)))) << lines[0];
        qs::create_signal.store(qstest::kRealSignal);
        qs::create_thread.store(qstest::kRealThread);
        expect_torn_down();
    }
}

TEST_F(CaptureTest, SuccessFillsMarkAndWritesDecodableImages) {
    scenario(camera("gige", "hikrobot", "G7", "packet_size = 8164\nexposures = 12345\n") +
             camera("usb3", "Hikrobot", "U2"));
    struct Case {
        HKImgType type;
        const char* path;
        const char* written;
    } cases[] = {
        {IMG_TYPE_JPG, "a", "a.jpg"},
        {IMG_TYPE_JPG, "A.JPG", "A.JPG"},
        {IMG_TYPE_BMP, "b", "b.bmp"},
        {IMG_TYPE_JPG, "c.bmp", "c.bmp.jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        HKImgMark mark = untouched_mark();
        ASSERT_EQ(Quellshot_Grab(c.type, dir.file(c.path).c_str(), 10, &mark), 0);
        EXPECT_STREQ(mark.camModelName, "MODEL-G7");  // the first match, a GigE camera
        EXPECT_STREQ(mark.camSerialNum, "G7");
        EXPECT_FLOAT_EQ(mark.imgExposureTime, 12345.0f);
        const std::string bytes = TempDir::read(dir.file(c.written));
        if (c.type == IMG_TYPE_JPG) {
            ASSERT_GT(bytes.size(), 4u);
            EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
            EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xD8);
        } else {
            // 24-bit BMP of 64x48: header 54 bytes plus 48 rows of 192 bytes (already 4-aligned).
            EXPECT_EQ(bytes.size(), 54u + 48u * 192u);
            EXPECT_EQ(bytes.substr(0, 2), "BM");
        }
        // The GigE packet size was set from the camera's optimum.
        EXPECT_NE(qstest::journal().find("GevSCPSPacketSize=8164 0x0"), std::string::npos);
        expect_torn_down();
        camsim_load_scenario_text((camera("gige", "hikrobot", "G7", "packet_size = 8164\nexposures = 12345\n") +
                                   camera("usb3", "Hikrobot", "U2"))
                                      .c_str(),
                                  "again");
        camsim_time_scale(0.01);
    }
}

TEST_F(CaptureTest, ExtensionFoundAnywhereKeepsThePath) {
    ASSERT_EQ(mkdir(dir.file("b.jpg.d").c_str(), 0755), 0);
    scenario(camera("usb3", "Hikrobot", "U1"));
    ASSERT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("b.jpg.d/c").c_str(), 10, nullptr), 0);
    EXPECT_EQ(access(dir.file("b.jpg.d/c").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("b.jpg.d/c.jpg").c_str(), F_OK), 0);
}

// The worker's own results, with the mark untouched and no file left behind.
TEST_F(CaptureTest, WorkerFailuresTable) {
    const std::string hik = camera("usb3", "Hikrobot", "U1");
    const std::string autoExp = camera("usb3", "Hikrobot", "A1", "exposure_auto = continuous\n");
    struct Case {
        const char* name;
        std::string scenario;
        HKImgType type;
        std::string path;  // relative to the sandbox; "<null>" and "<empty>" are special
        int result;
    } cases[] = {
        {"null path", hik, IMG_TYPE_JPG, "<null>", -15},
        {"empty path", hik, IMG_TYPE_JPG, "<empty>", -15},
        {"bad type", hik, static_cast<HKImgType>(3), "t", -16},
        {"missing directory", hik, IMG_TYPE_JPG, "no/such/dir/x", -19},
        {"trigger refused", hik + "[fault]\nMV_CC_SetCommandValue = 0x80000008\n", IMG_TYPE_JPG, "t",
         static_cast<int>(0x80000008u)},
        {"fetch fails", hik + "[fault]\nMV_CC_GetImageBuffer = 0x80000006\n", IMG_TYPE_JPG, "t",
         static_cast<int>(0x80000006u)},
        {"exposure read fails", autoExp + "[fault]\nMV_CC_GetExposureTime = 0x80000001\n", IMG_TYPE_JPG, "t",
         static_cast<int>(0x80000001u)},
        {"payload read fails", hik + "[fault]\nMV_CC_GetIntValueEx = 0x80000001\n", IMG_TYPE_BMP, "t",
         static_cast<int>(0x80000001u)},
        {"conversion fails", hik + "[fault]\nMV_CC_SaveImageEx3 = 0x8000000C\n", IMG_TYPE_JPG, "t",
         static_cast<int>(0x8000000Cu)},
        // An image the SDK says is empty, or longer than the buffer it was given, is no file.
        {"empty image", camera("usb3", "Hikrobot", "Z1", "image_len = zero\n"), IMG_TYPE_JPG, "t", -19},
        {"image longer than its buffer", camera("usb3", "Hikrobot", "Z2", "image_len = overflow\n"),
         IMG_TYPE_BMP, "t", -19},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scenario(c.scenario);
        const std::string full = dir.file(c.path);
        const char* path = c.path == "<null>" ? nullptr : c.path == "<empty>" ? "" : full.c_str();
        HKImgMark mark = untouched_mark();
        EXPECT_EQ(Quellshot_Grab(c.type, path, 10, &mark), c.result);
        EXPECT_TRUE(is_untouched(mark));
        EXPECT_GE(count("MV_CC_SetCommandValue"), 1u);  // the worker ran
        // Every frame handed out was given back.
        EXPECT_EQ(qstest::succeeded("MV_CC_GetImageBuffer"), count("MV_CC_FreeImageBuffer"));
        // Nothing but the sandbox's own entries: no image, no temporary file.
        EXPECT_EQ(access((full + ".jpg").c_str(), F_OK), -1);
        EXPECT_EQ(access((full + ".bmp").c_str(), F_OK), -1);
        expect_torn_down();
    }
}

TEST_F(CaptureTest, OutOfMemoryForImageOrPath) {
    struct Case {
        int failOnCall;
        const char* path;
        int result;
    } cases[] = {{1, "m", -17}, {2, "m", -18}, {1, "m.jpg", -17}};
    static std::atomic<int> calls{0}, failOn{0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failOnCall);
        scenario(camera("usb3", "Hikrobot", "U1"));
        calls = 0;
        failOn = c.failOnCall;
        qs::alloc.store([](size_t n, const char* f, int l) -> void* {
            if (++calls == failOn) return nullptr;
            return qstest::kRealAlloc(n, f, l);
        });
        EXPECT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file(c.path).c_str(), 10, nullptr), c.result);
        qs::alloc.store(qstest::kRealAlloc);
        EXPECT_EQ(access(dir.file("m.jpg").c_str(), F_OK), -1);
        expect_torn_down();
    }
}

TEST_F(CaptureTest, NoFrameYetIsRetriedWithANewTrigger) {
    scenario(camera("usb3", "Hikrobot", "U1") + "[fault]\nMV_CC_GetImageBuffer#1-3 = 0x80000007\n");
    StdoutCapture cap;
    ASSERT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("r").c_str(), 30, nullptr), 0);
    const std::string out = cap.finish();
    EXPECT_EQ(count("MV_CC_SetCommandValue"), 4u);
    size_t waits = 0;
    for (size_t p = 0; (p = out.find("+++GetOneFrame+++, 无数据, 继续等待...", p)) != std::string::npos; ++p) ++waits;
    EXPECT_EQ(waits, 3u);
    EXPECT_NE(out.find("] [debug] (quellshot/photoproc.cpp:"), std::string::npos);
}

// The settle rule on the worked example: frames 1 to 4 are given back, frame 5 is saved.
TEST_F(CaptureTest, AutomaticExposureSettlesOnTheFourthSteadyFrame) {
    scenario(camera("usb3", "Hikrobot", "U1",
                    "exposure_auto = continuous\nexposures = 10000, 12000, 12030, 12040, 12045, 30000\n"));
    HKImgMark mark{};
    StdoutCapture cap;
    ASSERT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("s").c_str(), 60, &mark), 0);
    const std::string out = cap.finish();
    EXPECT_EQ(count("MV_CC_GetImageBuffer"), 5u);
    EXPECT_EQ(count("MV_CC_FreeImageBuffer"), 5u);
    EXPECT_EQ(count("MV_CC_SaveImageEx3"), 1u);
    EXPECT_FLOAT_EQ(mark.imgExposureTime, 12045.0f);
    EXPECT_NE(out.find("等待曝光完成, ExposureTime = 12045.00us, ElapsedTime = "), std::string::npos);
}

TEST_F(CaptureTest, SettleWaitSkippedWhenSwitchedOffOrManual) {
    const std::string unsteady = "exposures = 10000, 20000, 30000, 40000\n";
    struct Case {
        const char* name;
        const char* mode;
        int wait;
    } cases[] = {{"switched off", "continuous", 0}, {"manual exposure", "off", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scenario(camera("usb3", "Hikrobot", "U1", std::string("exposure_auto = ") + c.mode + "\n" + unsteady));
        EXPECT_EQ(HK_SetWaitAEDoneForTakePhoto(c.wait), 0);
        HKImgMark mark{};
        ASSERT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("f").c_str(), 30, &mark), 0);
        EXPECT_EQ(count("MV_CC_GetImageBuffer"), 1u);
        EXPECT_EQ(count("MV_CC_GetExposureTime"), 0u);
        EXPECT_FLOAT_EQ(mark.imgExposureTime, 10000.0f);
    }
    EXPECT_EQ(HK_SetWaitAEDoneForTakePhoto(7), 0);
    EXPECT_EQ(qs::waitAEDone.load(), 1);
}

// An exposure that never steadies: the first frame at 180 s or later is saved. The clock seam
// moves 61 s per reading, so the frames come at 61, 122 and 183 s.
TEST_F(CaptureTest, UnsettledExposureIsSavedAfter180Seconds) {
    scenario(camera("usb3", "Hikrobot", "U1",
                    "exposure_auto = once\nexposures = 1000, 2000, 3000, 4000, 5000, 6000, 7000\n"));
    static std::atomic<long> readings{0};
    readings = 0;
    qs::monotonic_clock.store([](struct timespec* ts) {
        ts->tv_sec = 1000 + 61 * readings++;
        ts->tv_nsec = 0;
    });
    HKImgMark mark{};
    StdoutCapture cap;
    ASSERT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("u").c_str(), 30, &mark), 0);
    const std::string out = cap.finish();
    EXPECT_EQ(count("MV_CC_GetImageBuffer"), 3u);
    EXPECT_FLOAT_EQ(mark.imgExposureTime, 3000.0f);
    EXPECT_NE(out.find("ElapsedTime = 122000ms"), std::string::npos);
    EXPECT_NE(out.find("ElapsedTime = 183000ms"), std::string::npos);
}

TEST_F(CaptureTest, TimeoutGivesTenAndStopsTheWorker) {
    struct Case {
        const char* name;
        int pauseMs;
        int timeout;
        const char* frames;
    } cases[] = {
        {"zero waits not at all", 2, 0, "none"},
        // The worker's pass outlasts the wait; it still ends (and saves) within the grace time.
        {"one second is shorter than the trigger pause", 1500, 1, "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scenario(camera("usb3", "Hikrobot", "U1", std::string("frames = ") + c.frames + "\n"));
        qs::trigger_pause_ms.store(c.pauseMs);
        HKImgMark mark = untouched_mark();
        StdoutCapture cap;
        EXPECT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("t").c_str(), c.timeout, &mark), 10);
        const auto lines = error_lines(cap.finish());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(lines[0], std::regex(line_re("拍照过程-等待超时!!")))) << lines[0];
        EXPECT_TRUE(is_untouched(mark));
        // A frame that came was saved by the pass that was under way when the wait ended.
        EXPECT_EQ(access(dir.file("t.jpg").c_str(), F_OK) == 0, std::string(c.frames) == "ok");
        expect_torn_down();
    }
}

TEST(CaptureTimeout, SecondsToMillisecondsNeverWraps) {
    struct Case {
        int seconds;
        int ms;
    } cases[] = {{-1, -1}, {-2147483647 - 1, -1}, {0, 0}, {1, 1000}, {2147483, 2147483000},
                 {2147484, 2147483647}, {2147483647, 2147483647}};
    for (const Case& c : cases) EXPECT_EQ(qs::timeout_ms(c.seconds), c.ms) << c.seconds;
}

TEST(CaptureAlias, EmptyAliasTableMatchesNothing) {
    EXPECT_FALSE(qs::is_hikrobot_manu_alias("Hikrobot"));
    EXPECT_FALSE(qs::is_hikrobot_manu_alias(""));
    EXPECT_FALSE(qs::is_hikrobot_manu_alias(nullptr));
}

// The saved files decode with independent decoders to the camera's size, for both formats and
// both pixel formats, at the default camera's full size.
TEST_F(CaptureTest, ImagesDecodeWithIndependentDecoders) {
    struct Case {
        HKImgType type;
        const char* pixel;
        const char* file;
        const char* format;  // what identify reports (BMP3: the Windows 3 header the SDK writes)
    } cases[] = {
        {IMG_TYPE_JPG, "rgb8", "rgb", "JPEG"},
        {IMG_TYPE_BMP, "rgb8", "rgb", "BMP3"},
        {IMG_TYPE_JPG, "mono8", "mono", "JPEG"},
        {IMG_TYPE_BMP, "mono8", "mono", "BMP3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pixel) + " " + c.format);
        scenario("[camera]\ntransport = usb3\nmanufacturer = Hikrobot\nserial = FULL1\nwidth = 1920\nheight = 1080\n"
                 "pixel = " + std::string(c.pixel) + "\n");
        const std::string base = dir.file(c.file);
        ASSERT_EQ(Quellshot_Grab(c.type, base.c_str(), 30, nullptr), 0);
        const std::string file = base + (c.type == IMG_TYPE_JPG ? ".jpg" : ".bmp");
        const ChildResult id = run_child({"identify", "-regard-warnings", "-format", "%m %w %h", file}, {});
        EXPECT_EQ(id.exitStatus, 0) << id.err;
        EXPECT_EQ(id.out, std::string(c.format) + " 1920 1080");
        if (c.type == IMG_TYPE_JPG) {
            const ChildResult dj = run_child({"djpeg", "-outfile", dir.file("decoded.pnm"), file}, {});
            EXPECT_EQ(dj.exitStatus, 0) << dj.err;
            EXPECT_EQ(dj.err, "");  // djpeg warns about corrupt data on stderr
            const std::string pnm = TempDir::read(dir.file("decoded.pnm"));
            EXPECT_EQ(pnm.substr(0, 2), c.pixel == std::string("rgb8") ? "P6" : "P5");
            EXPECT_NE(pnm.find("1920 1080"), std::string::npos);
        }
    }
}

// The holder of the lock removes the file before it unlocks. A call that opened the old file just
// then would lock a file nobody else can see; it must notice and lock the file that the path names.
TEST(CaptureLock, LockOnARemovedFileIsNotTaken) {
    TempDir dir;
    const std::string path = dir.file("quellshot.lock");
    static std::atomic<int> opened{0};
    opened = 0;
    qs::lock_opened_hook.store([](const char* p) {
        if (opened++ == 0) unlink(p);  // the holder's tear-down, right between open and flock
    });
    int fd = -1;
    const int r = qs::take_lock(path.c_str(), &fd);
    qs::lock_opened_hook.store(nullptr);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(opened.load(), 2);  // it started again with the new file
    struct stat held {}, named {};
    ASSERT_EQ(fstat(fd, &held), 0);
    ASSERT_EQ(stat(path.c_str(), &named), 0);
    EXPECT_EQ(held.st_ino, named.st_ino);
    // And the lock it holds is the one the next caller meets.
    int other = -1;
    EXPECT_EQ(qs::take_lock(path.c_str(), &other), -2);
    close(fd);
}

TEST(CaptureLock, RefusedWhenTheFileCannotBeCreated) {
    int fd = -1;
    EXPECT_EQ(qs::take_lock("/nonexistent-dir/quellshot.lock", &fd), -1);
}

TEST(CaptureLock, PathBesideTheExecutableOrRelative) {
    struct Case {
        const char* runDir;
        const char* expected;
    } cases[] = {{"/opt/app/", "/opt/app/status/quellshot.lock"},
                 {"/opt/app", "/opt/app/status/quellshot.lock"},
                 {"", "status/quellshot.lock"}};  // unknown directory: never "/status/"
    TempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);  // "status/" may be created: keep it in the sandbox
    for (const Case& c : cases) {
        char lockFile[292];
        memset(lockFile, 0, sizeof lockFile);
        qs::lock_path_for(c.runDir, lockFile);
        EXPECT_STREQ(lockFile, c.expected);
    }
    EXPECT_EQ(access("status", F_OK), 0);
    // A directory that leaves no room for the name gives no path at all (the capture answers -1),
    // never a cut one that could name some other directory.
    const std::string tooLong = "/" + std::string(275, 'd') + "/";
    char lockFile[292];
    memset(lockFile, 'x', sizeof lockFile);
    qs::lock_path_for(tooLong.c_str(), lockFile);
    EXPECT_STREQ(lockFile, "");
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(CaptureTest, UnknownExecutableDirectoryLocksInTheWorkingDirectory) {
    scenario(camera("usb3", "Hikrobot", "U1"));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    qs::running_info.store([](char*, char*) { return -1; });
    static std::atomic<bool> sawLock{false};
    sawLock = false;
    qs::lock_opened_hook.store([](const char* p) { sawLock = std::string(p) == "status/quellshot.lock"; });
    const int r = Quellshot_Grab(IMG_TYPE_JPG, "wd", 10, nullptr);
    qs::running_info.store(xGetSelfRunningInfo);
    qs::lock_opened_hook.store(nullptr);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(sawLock.load());
    EXPECT_EQ(access(dir.file("status").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("status/quellshot.lock").c_str(), F_OK), 0);
    EXPECT_EQ(access(dir.file("wd.jpg").c_str(), F_OK), 0);
}

// An older file at the path survives a failed save, and no temporary file is left beside it.
TEST_F(CaptureTest, FailedSaveKeepsTheOlderFile) {
    scenario(camera("usb3", "Hikrobot", "U1"));
    const std::string target = dir.write("keep.jpg", "older photo");
    static std::atomic<int> calls{0};
    calls = 0;
    qs::alloc.store([](size_t n, const char* f, int l) -> void* {
        return ++calls == 2 ? nullptr : qstest::kRealAlloc(n, f, l);
    });
    EXPECT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("keep").c_str(), 10, nullptr), -18);
    qs::alloc.store(qstest::kRealAlloc);
    EXPECT_EQ(TempDir::read(target), "older photo");
    // A planted link at the path is replaced, never followed.
    const std::string outside = dir.write("outside.txt", "not a photo");
    ASSERT_EQ(symlink(outside.c_str(), dir.file("link.jpg").c_str()), 0);
    scenario(camera("usb3", "Hikrobot", "U1"));
    EXPECT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("link.jpg").c_str(), 10, nullptr), 0);
    EXPECT_EQ(TempDir::read(outside), "not a photo");
    struct stat st {};
    ASSERT_EQ(lstat(dir.file("link.jpg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    size_t entries = 0;
    for (const char* name : {"keep.jpg", "outside.txt", "link.jpg"}) entries += access(dir.file(name).c_str(), F_OK) == 0;
    EXPECT_EQ(entries, 3u);
    EXPECT_EQ(system(("test $(ls -A '" + dir.path() + "' | wc -l) -eq 3").c_str()), 0) << "temporary file left";
}

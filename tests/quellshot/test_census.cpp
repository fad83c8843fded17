// Camera census, the exposure-wait switch and the usbfs memory limit (on files in a sandbox; the
// real kernel parameter is only ever read).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <regex>

#include "support.h"
#include "support/stdout_capture.h"

using qstest::camera;
using qstest::CaptureTest;

TEST_F(CaptureTest, CountsHikrobotCamerasOnly) {
    struct Case {
        const char* name;
        std::string scenario;
        int expected;
        const char* message;  // nullptr: nothing logged
    } cases[] = {
        {"mixed", camera("usb3", "Hikrobot", "A") + camera("gige", "HIKROBOT", "B") + camera("usb3", "Basler", "C") +
                      "[camera]\ntransport = null\n" + camera("8", "Hikrobot", "D") +
                      camera("gige", "Hikrobot Inc", "E"),
         2, nullptr},
        {"none attached", "# empty\n", 0, nullptr},
        {"enumeration fails", camera("usb3", "Hikrobot", "A") + "[fault]\nMV_CC_EnumDevices = 0x80000006\n", -1,
         "枚举相机,执行错误, errCode=0x80000006!!"},
        {"initialisation fails", "[fault]\nMV_CC_Initialize = 0x80000123\n", static_cast<int>(0x80000123u),
         "相机SDK初始化失败, errCode=0x80000123!!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scenario(c.scenario);
        StdoutCapture cap;
        EXPECT_EQ(HK_GetCameraCount(), c.expected);
        const std::string out = cap.finish();
        if (c.message == nullptr) {
            EXPECT_EQ(out, "");
        } else {
            EXPECT_TRUE(std::regex_match(
                out, std::regex(std::string(R"(^\[[-0-9: ]{19}\] \[error\] \(quellshot/census\.cpp:\d+\) \[Quellshot\] )") +
                                c.message + "\n$")))
                << out;
        }
        // No camera is opened and the SDK is always released.
        EXPECT_EQ(qstest::count("MV_CC_CreateHandleWithoutLog"), 0u);
        EXPECT_EQ(qstest::count("MV_CC_Finalize"), 1u);
        EXPECT_EQ(camsim_init_count(), 0);
    }
}

TEST_F(CaptureTest, CountIgnoresTheCaptureLock) {
    scenario(camera("usb3", "Hikrobot", "A"));
    const std::string lock = qstest::lock_file();
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(HK_GetCameraCount(), 1);
    // ... while a capture is refused at once.
    EXPECT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("x").c_str(), 5, nullptr), -2);
    EXPECT_EQ(qstest::count("MV_CC_Initialize"), 1u);  // the refused capture never reached the SDK
    unlink(lock.c_str());
    close(fd);
}

TEST(Usbfs, ReadsTheFirstNumber) {
    TempDir dir;
    struct Case {
        const char* content;  // nullptr: no file
        int expected;
    } cases[] = {{"16\n", 16}, {"1000", 1000}, {"  42 extra\n", 42}, {"abc\n", -1}, {"", -1}, {nullptr, -1},
                 {"-3\n", -3}, {"2147483647\n", 2147483647}, {"2147483648\n", -1}, {"-99999999999999999999\n", -1}};
    for (const auto& c : cases) {
        const std::string p = dir.file("usbfs_memory_mb");
        unlink(p.c_str());
        if (c.content != nullptr) dir.write("usbfs_memory_mb", c.content);
        EXPECT_EQ(qs::usbfs_get(p.c_str()), c.expected) << (c.content ? c.content : "(missing)");
    }
}

TEST(Usbfs, WritesTheValueWithALineEnd) {
    TempDir dir;
    const std::string p = dir.write("usbfs_memory_mb", "16\n");
    EXPECT_EQ(qs::usbfs_set(p.c_str(), 1000), 0);
    EXPECT_EQ(TempDir::read(p), "1000\n");
    EXPECT_EQ(qs::usbfs_get(p.c_str()), 1000);
    EXPECT_EQ(qs::usbfs_set(p.c_str(), -5), -1);
    EXPECT_EQ(TempDir::read(p), "1000\n");  // nothing written for a negative value
    EXPECT_EQ(qs::usbfs_set(dir.file("no/such/dir").c_str(), 5), -1);
    // A value the kernel refuses shows up only when the write is flushed; /dev/full does the same.
    EXPECT_EQ(qs::usbfs_set("/dev/full", 5), -1);
}

TEST(Usbfs, ExportedReaderUsesTheKernelParameter) {
    // Only read: the real file is never written by a test.
    EXPECT_EQ(HK_GetSysUsbfsMemCurrentSize(), qs::usbfs_get("/sys/module/usbcore/parameters/usbfs_memory_mb"));
}

// morven end to end: the real executable against scenario files of the simulated SDK; checks its
// log lines byte for byte, its exit status and the SDK calls it made (the simulator's journal).
#include <gtest/gtest.h>
#include <sys/file.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/tempdir.h"

namespace {

struct JournalLine {
    std::string fn, serial, arg, status;
};

std::vector<JournalLine> parse_journal(const std::string& text) {
    std::vector<JournalLine> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        std::istringstream f(l);
        JournalLine j;
        f >> j.fn >> j.serial >> j.arg >> j.status;
        out.push_back(j);
    }
    return out;
}

struct MorvenRun {
    ChildResult child;
    std::vector<JournalLine> journal;
    std::vector<std::string> lines;  // stdout lines

    size_t count(const std::string& fn) const {
        size_t n = 0;
        for (const auto& j : journal) n += j.fn == fn;
        return n;
    }
    size_t succeeded(const std::string& fn) const {
        size_t n = 0;
        for (const auto& j : journal) n += j.fn == fn && j.status == "0x0";
        return n;
    }
    // Position of the n-th (0-based) journal line of fn, or npos.
    size_t pos(const std::string& fn, size_t nth = 0) const {
        for (size_t i = 0; i < journal.size(); ++i) {
            if (journal[i].fn == fn && nth-- == 0) return i;
        }
        return std::string::npos;
    }
    std::vector<std::string> resets() const {
        std::vector<std::string> s;
        for (const auto& j : journal) {
            if (j.fn == "MV_CC_SetCommandValue" && j.arg == "DeviceReset" && j.status == "0x0") {
                s.push_back(j.serial);
            }
        }
        return s;
    }
};

class MorvenE2E : public ::testing::Test {
protected:
    TempDir dir;

    // Runs morven on `scenario` (nullptr: no CAMSIM_SCENARIO, the built-in default camera).
    MorvenRun run(const char* scenario) {
        std::vector<std::pair<std::string, std::string>> env = {
            {"CAMSIM_JOURNAL", dir.file("journal")}, {"CAMSIM_LOCKDIR", dir.path()}};
        std::vector<std::string> unset;
        if (scenario != nullptr) {
            env.emplace_back("CAMSIM_SCENARIO", dir.write("scenario.ini", scenario));
        } else {
            unset.push_back("CAMSIM_SCENARIO");
        }
        MorvenRun r;
        r.child = run_child(emulated(QS_EMULATOR, {QS_MORVEN_PATH}), env, unset);
        EXPECT_TRUE(r.child.started);
        EXPECT_FALSE(r.child.timedOut);
        EXPECT_EQ(r.child.termSignal, 0) << r.child.err;
        r.journal = parse_journal(TempDir::read(dir.file("journal")));
        std::istringstream in(r.child.out);
        for (std::string l; std::getline(in, l);) r.lines.push_back(l);
        return r;
    }

    // Every run, whatever its outcome, ends the SDK and leaves nothing behind.
    static void expect_clean_end(const MorvenRun& r) {
        ASSERT_FALSE(r.journal.empty());
        EXPECT_EQ(r.journal.back().fn, "MV_CC_Finalize");
        EXPECT_EQ(r.count("MV_CC_Finalize"), 1u);
        EXPECT_EQ(r.count("LEAK"), 0u);
        EXPECT_EQ(r.succeeded("MV_CC_CreateHandleWithoutLog"), r.succeeded("MV_CC_DestroyHandle"));
    }
};

// The whole log line: stamp, level, this tool's source location, tag, then the message.
std::string line_re(const std::string& message) {
    return R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[error\] \(morven/morven\.cpp:\d+\) \[Morven\] )" +
           message + "$";
}

const char* const kCam = R"(
[camera]
transport = %s
manufacturer = %s
serial = %s
)";

std::string camera(const std::string& transport, const std::string& manu, const std::string& serial) {
    char buf[512];
    snprintf(buf, sizeof buf, kCam, transport.c_str(), manu.c_str(), serial.c_str());
    return buf;
}

}  // namespace

TEST_F(MorvenE2E, DefaultCameraIsResetAndReleased) {
    const MorvenRun r = run(nullptr);
    EXPECT_EQ(r.child.exitStatus, 0);
    EXPECT_EQ(r.child.out, "");
    EXPECT_EQ(r.resets(), std::vector<std::string>{"SIM00001"});
    ASSERT_EQ(r.pos("MV_CC_Initialize"), 0u);
    EXPECT_LT(r.pos("MV_CC_EnumDevices"), r.pos("MV_CC_CreateHandleWithoutLog"));
    EXPECT_EQ(r.journal[r.pos("MV_CC_EnumDevices")].arg, "5");  // GigE | USB3
    EXPECT_EQ(r.journal[r.pos("MV_CC_OpenDevice")].arg, "1");   // exclusive access
    EXPECT_LT(r.pos("MV_CC_SetCommandValue"), r.pos("MV_CC_CloseDevice"));
    EXPECT_LT(r.pos("MV_CC_CloseDevice"), r.pos("MV_CC_DestroyHandle"));
    expect_clean_end(r);
}

TEST_F(MorvenE2E, EveryMatchingCameraIsResetInListOrderOthersAreSkipped) {
    const std::string scenario = camera("gige", "hikrobot", "CAM-A") + camera("usb3", "Other Co", "CAM-B") +
                                 camera("8", "Hikrobot", "CAM-C") +  // unknown transport: passed over
                                 camera("usb3", "Hikrobot Inc", "CAM-D") +  // whole name must match
                                 camera("usb3", "HIKROBOT", "CAM-E");
    const MorvenRun r = run(scenario.c_str());
    EXPECT_EQ(r.child.exitStatus, 0);
    EXPECT_EQ(r.child.out, "");
    EXPECT_EQ(r.resets(), (std::vector<std::string>{"CAM-A", "CAM-E"}));
    // The first camera is given back before the second is opened.
    EXPECT_EQ(r.count("MV_CC_CreateHandleWithoutLog"), 2u);
    EXPECT_LT(r.pos("MV_CC_DestroyHandle", 0), r.pos("MV_CC_CreateHandleWithoutLog", 1));
    EXPECT_EQ(r.count("MV_CC_CloseDevice"), 2u);
    expect_clean_end(r);
}

TEST_F(MorvenE2E, OnlyOtherManufacturersIsSuccessWithoutHandles) {
    const std::string scenario = camera("usb3", "Basler", "B1") + camera("gige", "FLIR", "F1");
    const MorvenRun r = run(scenario.c_str());
    EXPECT_EQ(r.child.exitStatus, 0);
    EXPECT_EQ(r.child.out, "");
    EXPECT_EQ(r.count("MV_CC_CreateHandleWithoutLog"), 0u);
    EXPECT_EQ(r.count("MV_CC_CloseDevice"), 0u);
    expect_clean_end(r);
}

// Failures: message (byte for byte), exit status, and whether a camera was ever opened.
TEST_F(MorvenE2E, FailuresTable) {
    struct Case {
        const char* name;
        std::string scenario;
        int exitStatus;
        std::string message;  // regex of the message after the tag
        bool handleCreated;
        std::vector<std::string> resets;
    } cases[] = {
        {"init fails", "[fault]\nMV_CC_Initialize = 0x80000123\n", 0x23,
         "相机SDK初始化失败, errCode=0x80000123!!", false, {}},
        {"init fails, low byte zero", "[fault]\nMV_CC_Initialize = 0x80000100\n", 1,
         "相机SDK初始化失败, errCode=0x80000100!!", false, {}},
        {"enumeration fails", camera("usb3", "Hikrobot", "S1") + "[fault]\nMV_CC_EnumDevices = 0x80000006\n", 6,
         "枚举相机,执行错误, errCode=0x80000006!!", false, {}},
        {"no camera", "# nothing attached\n", 255, "没有相机,数量=0!!", false, {}},
        {"null entry", camera("usb3", "Other", "S1") + "[camera]\ntransport = null\n" +
                           camera("usb3", "Hikrobot", "S2"),
         254,
         "unexpected internal error, unable to obtain detailed information about the industrial camera!!",
         false, {}},
        {"create handle fails",
         camera("usb3", "Hikrobot", "S1") + "[fault]\nMV_CC_CreateHandleWithoutLog = 0x80000004\n", 4,
         "打开相机时发生错误, errCode=0x80000004!!", false, {}},
        {"open fails, later match not tried",
         camera("usb3", "Hikrobot", "S1") + camera("gige", "Hikrobot", "S2") +
             "[fault]\nMV_CC_OpenDevice = 0x80000203\n",
         3, "打开相机时发生错误, errCode=0x80000203!!", true, {}},
        {"second reset refused", camera("usb3", "Hikrobot", "S1") + camera("gige", "Hikrobot", "S2") +
                                     "[fault]\nMV_CC_SetCommandValue#2 = 0x80000104\n",
         4, "重置相机时发生错误, errCode=0x80000104!!", true, {"S1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        remove(dir.file("journal").c_str());
        const MorvenRun r = run(c.scenario.c_str());
        EXPECT_EQ(r.child.exitStatus, c.exitStatus);
        ASSERT_EQ(r.lines.size(), 1u) << r.child.out << r.child.err;
        EXPECT_TRUE(std::regex_match(r.lines[0], std::regex(line_re(c.message)))) << r.lines[0];
        EXPECT_EQ(r.succeeded("MV_CC_CreateHandleWithoutLog") > 0, c.handleCreated);
        if (!c.handleCreated) {
            EXPECT_EQ(r.count("MV_CC_CloseDevice"), 0u);
        }
        EXPECT_LE(r.count("MV_CC_OpenDevice"), c.resets.size() + 1);
        EXPECT_EQ(r.resets(), c.resets);
        expect_clean_end(r);
    }
}

TEST_F(MorvenE2E, CameraHeldByAnotherProcessIsAnOpenError) {
    // A camera opened exclusively elsewhere cannot be opened: the simulator's lock per serial.
    const std::string scenario = camera("usb3", "Hikrobot", "HELD1");
    const std::string lock = dir.file("camsim-HELD1.lock");
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const MorvenRun r = run(scenario.c_str());
    close(fd);
    EXPECT_NE(r.child.exitStatus, 0);
    ASSERT_EQ(r.lines.size(), 1u) << r.child.out;
    EXPECT_TRUE(std::regex_match(r.lines[0], std::regex(line_re("打开相机时发生错误, errCode=0x[0-9a-f]+!!"))))
        << r.lines[0];
    EXPECT_TRUE(r.resets().empty());
    expect_clean_end(r);
}

// The simulated camera SDK through its C interface: scenario errors with file and line, the strictness
// rules with the journal lines they leave, and the exclusive open across processes.
#include <MvCameraControl.h>
#include <camsim.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>

#include "support/tempdir.h"

namespace {

std::string journal() {
    std::string s(camsim_journal(nullptr, 0) + 1, '\0');
    s.resize(camsim_journal(&s[0], s.size()));
    return s;
}

// Every test has its own lock directory, and the USB3 camera "D" of 2x2 pixels.
class CamSim : public ::testing::Test {
protected:
    TempDir dir;
    MV_CC_DEVICE_INFO usb{};  // the entry of "D"
    void SetUp() override {
        setenv("CAMSIM_LOCKDIR", dir.path().c_str(), 1);
        usb.nTLayerType = MV_USB_DEVICE;
        usb.SpecialInfo.stUsb3VInfo.chSerialNumber[0] = 'D';
        load("[camera]\nserial = D\nwidth = 2\nheight = 2\n");
    }
    // Loads a scenario from the file "t.scn" and returns what the simulator said about it on stderr; an
    // errno left over from before is no error of reading it.
    std::string load(const std::string& text, std::string file = "") {
        const int saved = dup(2), fd = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (file.empty()) file = dir.write("t.scn", text);
        const int rc = (dup2(fd, 2), errno = EIO, camsim_load_scenario(file.c_str()));
        EXPECT_TRUE(dup2(saved, 2) == 2 && close(fd) == 0 && close(saved) == 0 && camsim_time_scale(0) == 0);
        const std::string said = TempDir::read(dir.file("stderr"));
        EXPECT_EQ(rc == 0, said.empty()) << said;
        return said;
    }
};

TEST_F(CamSim, ScenarioErrorsNameFileAndLine) {
    const std::string x15(15, 'x'), x31(31, 'x'), x63(63, 'x'), gige = "[camera]\ntransport = gige\n";
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {  // what follows "camsim: <file>:", "" when accepted
        {"[camera]\ncolour = red\n", "2: unknown key 'colour'"},
        {"# cameras\n\n  [cameras]\n", "3: unknown section [cameras]"},
        {"width = 5\n", "1: 'width' outside a section"},
        {"[camera]\nwidth = 0\n", "2: width must be 1..8192"},
        {"[camera]\nwidth = 5\nwidth = 6\n", "3: 'width' given twice for this camera"},
        {"[camera]\npacket_size=218", "2: packet_size must be 0 or less, or a multiple of 4 in 220..9156"},
        {"[camera]\nserial = A B\n", "2: serial may hold only letters, digits, '-', '_' and '.'"},
        {"[camera]\nserial = X\n[camera]\ntransport=null\n[camera]\nserial = X", "6: serial X is used twice"},
        {"[camera]\nmodel = " + x31 + "x\ntransport = gige\n", "2: model longer than 31 bytes"},
        {"[camera]\nmanufacturer = " + x63 + "x\n", "2: manufacturer longer than 63 bytes"},
        {"[fault]\nMV_CC_Explode = 0x80000001\n", "2: unknown function 'MV_CC_Explode'"},
        {"[camera]\npixel = bayer_rggb\n", "2: pixel must be rgb8, mono8, bgr8, bayer_rg8, bayer_gr8, "
         "bayer_gb8, bayer_bg8, mono10, mono12 or mono16"},
        {"[fault]\nMV_CC_Initialize#3-1 = 1\n", "2: bad call range in 'MV_CC_Initialize#3-1'"},
        {gige + "manufacturer = " + x31 + "\nserial = " + x15 + "\npacket_size = 9156 # the largest\n"
         "[camera]\nmodel = " + x63 + "\nwidth = 0x2000\nexposures = 16000000, 1\nreset_downtime_ms = 3600000"
         "\npixel = mono12\n[camera]\npacket_size = 220\npixel = bayer_gb8\n"
         "[fault]\nMV_CC_Initialize#2-3 = 0xFFFFFFFF\n", ""},
    };
    // clang-format on
    for (const auto& [text, what] : rows) {
        EXPECT_EQ(load(text), what.empty() ? "" : "camsim: " + dir.file("t.scn:") + what + "\n") << text;
        EXPECT_EQ(MV_CC_Initialize(), what.empty() ? MV_OK : int(MV_E_UNKNOW)) << text;  // every call fails
    }
    // What is not a scenario file is refused at once, never read to its end (a FIFO without a writer
    // would block, /dev/zero never ends).
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const std::string big = dir.write("big", std::string((1 << 20) + 1, '#'));
    for (const auto& [file, what] : {std::pair{std::string("/dev/zero"), "not a regular file"}, {dir.file("fifo"),
             "not a regular file"}, {dir.path(), "not a regular file"}, {big, "larger than 1 MiB (1048577 bytes)"}})
        EXPECT_EQ(load("", file), "camsim: " + file + ": " + what + "\n");
}

// Each row calls the SDK with "D" at a stage and gives how the journal ends: the status of the call,
// and the serial and argument the journal records.
TEST_F(CamSim, StrictnessRulesAndTheirJournalLines) {
    enum Stage { kNoInit, kCreated, kOpened, kGrabbing, kSoft };  // kSoft: grabbing, triggered by software
    MV_FRAME_OUT frame{};
    unsigned char px[12] = {}, out[70];  // a 2x2 BMP takes 70 bytes
    const auto save = [&](void* h, MV_SAVE_IAMGE_TYPE type, unsigned size, unsigned w) {
        MV_SAVE_IMAGE_PARAM_EX3 p{px, 12, PixelType_Gvsp_RGB8_Packed, w, 2, out, 0, size, type, 90, 0, {}};
        return MV_CC_SaveImageEx3(h, &p);
    };
    // Get a frame, give it back, fire a software trigger.
    const auto get = [&](void* h) { return MV_CC_GetImageBuffer(h, &frame, 0); };
    const auto give = [&](void* h) { return MV_CC_FreeImageBuffer(h, &frame); };
    const auto fire = [](void* h) { return MV_CC_SetCommandValue(h, "TriggerSoftware"); };
    // clang-format off
    const std::tuple<Stage, std::function<int(void*)>, const char*> rows[] = {
        {kNoInit, [](void*) { MV_CC_DEVICE_INFO_LIST l; return MV_CC_EnumDevices(5, &l); }, "- 5 0x80000003"},
        {kCreated, [](void* h) { return MV_CC_Initialize(), MV_CC_Finalize(), MV_CC_OpenDevice(h, 1, 0); },
         "MV_CC_Finalize - - 0x0\nMV_CC_OpenDevice D 1 0x0"},  // nested: the handle lives on
        {kCreated, [](void* h) { return MV_CC_Finalize(), MV_CC_OpenDevice(h, 1, 0); },
         "LEAK D handle -\nMV_CC_Finalize - - 0x0\nMV_CC_OpenDevice D 1 0x80000000"},
        {kCreated, [](void* h) { return MV_CC_OpenDevice(h, 8, 0); }, "MV_CC_OpenDevice D 8 0x80000004"},
        {kOpened, get, "MV_CC_GetImageBuffer D 0 0x80000003"},
        {kOpened, [](auto h) { return MV_CC_SetEnumValue(h, "A B", 1); }, "D A_B=1 0x80000001"},
        {kOpened, [&](void* h) { return save(h, MV_Image_Png, 70, 2); }, "SaveImageEx3 D png 0x80000001"},
        {kOpened, [&](void* h) { return save(h, MV_Image_Bmp, 69, 2); }, "SaveImageEx3 D bmp 0x8000000c"},
        {kOpened, [&](void* h) { return save(h, MV_Image_Bmp, 70, 0); }, "SaveImageEx3 D bmp 0x80000004"},
        {kOpened, [](auto h) { return MV_CC_SetCommandValue(h, "DeviceReset"), MV_CC_StartGrabbing(h); },
         "MV_CC_SetCommandValue D DeviceReset 0x0\nMV_CC_StartGrabbing D - 0x80000008"},
        {kGrabbing, [&](auto h) { return get(h), get(h), get(h), get(h), get(h); }, "0x80000006"},  // 4 out
        {kGrabbing, [&](void* h) { return get(h), MV_CC_DestroyHandle(h), MV_CC_Finalize(); },
         "MV_CC_DestroyHandle D - 0x0\nLEAK D frame 1\nMV_CC_Finalize - - 0x0"},
        {kSoft, [&](auto h) { return fire(h), fire(h), get(h), give(h), get(h), give(h); }, "2 0x0"},
        {kSoft, [&](auto h) { return fire(h), MV_CC_StopGrabbing(h), MV_CC_StartGrabbing(h), get(h); },
         "MV_CC_GetImageBuffer D 0 0x80000007"},  // stopping drops the triggers
    };
    // clang-format on
    for (const auto& [at, call, tail] : rows) {
        void* h = nullptr;
        load("[camera]\nserial = D\nwidth = 2\nheight = 2\n");
        if (at != kNoInit) MV_CC_Initialize(), MV_CC_CreateHandleWithoutLog(&h, &usb);
        if (at >= kOpened) MV_CC_OpenDevice(h, MV_ACCESS_Exclusive, 0);
        if (at == kSoft) MV_CC_SetEnumValue(h, "TriggerMode", 1), MV_CC_SetEnumValue(h, "TriggerSource", 7);
        if (at >= kGrabbing) MV_CC_StartGrabbing(h);
        const int status = call(h);
        const std::string j = journal(), end = std::string(tail) + "\n";
        EXPECT_EQ(j.substr(j.size() - std::min(j.size(), end.size())), end);
        EXPECT_EQ(unsigned(status), std::stoul(end.substr(end.rfind(' ') + 1), nullptr, 16)) << tail;
    }
    char head[8];
    EXPECT_EQ(camsim_journal(head, sizeof head), journal().size());  // the copy is cut, its length whole
    EXPECT_EQ(head, journal().substr(0, 7));
}

// An exclusive open holds a lock that other opens, in any process, meet; closing unlocks it explicitly,
// so that a child forked meanwhile, with a copy of the descriptor, cannot keep the camera locked.
TEST_F(CamSim, ExclusiveOpenAcrossProcesses) {
    void *a = nullptr, *b = nullptr;
    ASSERT_TRUE(MV_CC_Initialize() == MV_OK && MV_CC_CreateHandleWithoutLog(&a, &usb) == MV_OK &&
                MV_CC_CreateHandleWithoutLog(&b, &usb) == MV_OK && MV_CC_OpenDevice(a, 1, 0) == MV_OK);
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    const pid_t child = fork();  // it opens the camera, shared, once the pipe is closed
    if (child == 0) _exit((close(hold[1]), read(hold[0], hold, 1), MV_CC_OpenDevice(b, 3, 0)));
    EXPECT_TRUE(MV_CC_OpenDevice(b, 3, 0) == int(MV_E_ACCESS_DENIED) && MV_CC_CloseDevice(a) == MV_OK);
    const int reopened = MV_CC_OpenDevice(b, 1, 0);  // and then the child tries
    EXPECT_TRUE(close(hold[0]) + close(hold[1]) == 0 && reopened == MV_OK);
    int status = 0;
    EXPECT_TRUE(waitpid(child, &status, 0) == child && WEXITSTATUS(status) == (MV_E_ACCESS_DENIED & 0xFF));
}

}  // namespace

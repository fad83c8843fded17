// The simulated camera SDK through its C interface: scenario errors with file and line, the strictness
// rules with the journal lines they leave, and the exclusive open across processes.
#include <MvCameraControl.h>
#include <camsim.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>
#include <set>
#include <thread>
#include <sstream>

#include "support/forked.h"
#include "support/tempdir.h"
#include "support/waitfor.h"

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
        {gige + "firmware = " + x31 + "x\n", "3: firmware longer than 31 bytes"},
        {"[camera]\nip = 10.0.0\n", "2: ip must be a dotted quad other than 0.0.0.0"},
        {"[camera]\nserial = U\nip = 10.0.0.1\n", "3: ip is for a gige camera only"},
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
    // clang-format off
    for (const auto& [file, what] : {std::pair{std::string("/dev/zero"), "not a regular file"}, {dir.file("fifo"),
             "not a regular file"}, {dir.path(), "not a regular file"}, {big, "larger than 1 MiB (1048577 bytes)"}})
        // clang-format on
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
        {kOpened, [](auto h) { return MV_CC_SetFloatValue(h, "Gain", 1.1f); }, "D Gain=1.10000002 0x0"},
        {kCreated, [](auto h) { return quellshot_sdk_features(h, [](const char*, void*) { return 0; }, h); },
         "quellshot_sdk_features D - 0x80000003"},
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

// Opens the first camera of `mask` exclusively; NULL when that fails.
void* openFirst(unsigned mask, MV_CC_DEVICE_INFO_LIST& list) {
    void* h = nullptr;
    MV_CC_Initialize(), MV_CC_EnumDevices(mask, &list), MV_CC_CreateHandleWithoutLog(&h, list.pDeviceInfo[0]);
    return MV_CC_OpenDevice(h, 1, 0) == MV_OK ? h : nullptr;
}

// Runs one feature call written "OP KEY [VALUE]": I/i get/set an integer, F/f a float, E/e an
// enumeration by value, n by entry name, B/b a boolean, S gets a string, C runs a command, G starts
// grabbing. A read leaves in `got` the value and its limits, the entries, or the text and its size.
int feature(void* h, const std::string& row, std::string& got) {
    std::string op, key, v;
    std::istringstream(row) >> op >> key >> v;
    const char* k = key.c_str();
    std::ostringstream out;
    // clang-format off
    MVCC_INTVALUE_EX i{}; MVCC_FLOATVALUE f{}; MVCC_ENUMVALUE e{}; MVCC_STRINGVALUE t{}; bool b = false;
    int rc = MV_E_UNKNOW;
    switch (op[0]) {
        case 'I': rc = MV_CC_GetIntValueEx(h, k, &i), out << i.nCurValue << ' ' << i.nMin << ' ' << i.nMax;
                  out << ' ' << i.nInc; break;
        case 'i': rc = MV_CC_SetIntValueEx(h, k, std::stoll(v)); break;
        case 'F': rc = MV_CC_GetFloatValue(h, k, &f), out << f.fCurValue << ' ' << f.fMin << ' ' << f.fMax;
                  break;
        case 'f': rc = MV_CC_SetFloatValue(h, k, std::stof(v)); break;
        case 'E': rc = MV_CC_GetEnumValue(h, k, &e), out << std::hex << e.nCurValue << ':';
                  for (unsigned n = 0; n < e.nSupportedNum; ++n) out << ' ' << e.nSupportValue[n];
                  break;
        case 'e': rc = MV_CC_SetEnumValue(h, k, std::stoul(v, nullptr, 0)); break;
        case 'n': rc = MV_CC_SetEnumValueByString(h, k, v.c_str()); break;
        case 'B': rc = MV_CC_GetBoolValue(h, k, &b), out << b; break;
        case 'b': rc = MV_CC_SetBoolValue(h, k, v == "1"); break;
        case 'S': rc = MV_CC_GetStringValue(h, k, &t), out << t.chCurValue << '/' << t.nMaxLength; break;
        case 'C': rc = MV_CC_SetCommandValue(h, k); break;
        default: rc = MV_CC_StartGrabbing(h);  // 'G'
    }
    // clang-format on
    got = out.str();
    return rc;
}

// A walk of the feature lister: each name must be new and readable through at most one typed getter
// (the visitor may call the SDK); it stops once `stopAt` names were seen.
struct Walk {
    void* h;
    std::set<std::string> names;
    int untyped, stopAt;
};
int visitFeature(const char* name, void* ctx) {
    Walk& w = *static_cast<Walk*>(ctx);
    // clang-format off
    MVCC_INTVALUE_EX i; MVCC_FLOATVALUE f; MVCC_ENUMVALUE e; MVCC_STRINGVALUE t; bool b;
    const int typed = (MV_CC_GetIntValueEx(w.h, name, &i) == 0) + (MV_CC_GetFloatValue(w.h, name, &f) == 0)
        + (MV_CC_GetEnumValue(w.h, name, &e) == 0) + (MV_CC_GetBoolValue(w.h, name, &b) == 0)
        + (MV_CC_GetStringValue(w.h, name, &t) == 0);
    // clang-format on
    w.untyped += typed == 0;
    EXPECT_TRUE(typed <= 1 && w.names.insert(name).second) << name;
    return int(int(w.names.size()) == w.stopAt);
}

// A GigE camera's features read and written in turn on one handle: each row a call, its status and
// after " = " what a read gave. The region's limits follow each other, PayloadSize the region and format.
// The lister names each feature, every one but the two commands readable.
TEST_F(CamSim, FeaturesTheirTypesLimitsAndAccess) {
    load(
        "[camera]\ntransport=gige\nwidth=1000\nheight=99\npixel=mono12\nfirmware=2.1 "
        "b7\nip=10.1.2.3\nserial=G");
    MV_CC_DEVICE_INFO_LIST list{};
    void* h = openFirst(MV_GIGE_DEVICE, list);
    const MV_GIGE_DEVICE_INFO& g = list.pDeviceInfo[0]->SpecialInfo.stGigEInfo;
    EXPECT_TRUE(h && g.nCurrentIp == 0x0A010203u && std::string("2.1 b7") == (char*)g.chDeviceVersion);
    const int ok = MV_OK, bad = MV_E_PARAMETER, no = MV_E_SUPPORT,
              now = MV_E_CALLORDER;  // bad: type or value
    // clang-format off
    const std::pair<const char*, int> rows[] = {
        {"I Colour", no}, {"C Explode", no}, {"I Width = 1000 64 1000 8", ok}, {"i Width 1004", bad},
        {"i Width 56", bad}, {"i Width 512", ok}, {"I OffsetX = 0 0 488 8", ok}, {"i OffsetX 496", bad},
        {"i OffsetX 488", ok}, {"I Width = 512 64 512 8", ok}, {"I Height = 99 3 99 2", ok},
        {"i Height 98", bad}, {"i Height 97", ok}, {"I OffsetY = 0 0 2 2", ok},
        {"I WidthMax = 1000 1000 1000 1", ok}, {"i HeightMax 99", no},
        {"I PayloadSize = 99328 99328 99328 1", ok}, {"i PayloadSize 99328", no}, {"n PixelFormat BGR8", bad},
        {"E PixelFormat = 1100005: 2180014 1080001 1080009 1100005", ok}, {"e PixelFormat 0x1080008", bad},
        {"n PixelFormat Mono8", ok}, {"I PayloadSize = 49664 49664 49664 1", ok}, {"e TriggerSource 5", bad},
        {"I GevSCPSPacketSize = 1500 220 9156 4", ok}, {"i GevSCPSPacketSize 1502", bad},
        {"n TriggerSource Software", ok}, {"E TriggerSource = 7: 0 1 2 3 4 7 8", ok},
        {"F ExposureTime = 10000 15 1.6e+07", ok}, {"f ExposureTime 14", bad}, {"f ExposureTime 2e6", ok},
        {"F ResultingFrameRate = 0.499892 0.499892 0.499892", ok}, {"f ResultingFrameRate 1", no},
        {"n ExposureAuto Continuous", ok}, {"f ExposureTime 3000", now},
        {"F ExposureTime = 2e+06 15 1.6e+07", ok}, {"f Gain 24.5", bad}, {"f Gain 6.5", ok},
        {"n GainAuto Once", ok}, {"f Gain 1", now}, {"F Gain = 6.5 0 24", ok}, {"b ReverseX 1", ok},
        {"B ReverseX = 1", ok}, {"S DeviceUserID = /16", ok}, {"S DeviceFirmwareVersion = 2.1 b7/32", ok},
        {"F Width", bad}, {"I ExposureTime", bad}, {"E Width", bad}, {"e Gain 1", bad},
        {"B PixelFormat", bad}, {"S Gain", bad}, {"b DeviceModelName 1", bad}, {"C Width", bad},
        {"I TriggerSoftware", bad}, {"G", ok}, {"i Width 504", now}, {"i OffsetX 0", now},
        {"b ReverseY 1", ok}, {"n PixelFormat Mono12", now}, {"i GevSCPSPacketSize 1500", now},
    };
    // clang-format on
    for (const auto& [row, status] : rows) {
        std::string got, r = row;
        EXPECT_EQ(feature(h, row, got), status) << row;
        EXPECT_TRUE(r.find(" = ") == std::string::npos || got == r.substr(r.find(" = ") + 3))
            << row << ": " << got;
    }
    Walk all{h, {}, 0, 0}, three{h, {}, 0, 3};
    EXPECT_TRUE(quellshot_sdk_features(h, visitFeature, &all) == 0 &&
                quellshot_sdk_features(h, visitFeature, &three) == 0);
    EXPECT_TRUE(all.names.size() == 26 && all.untyped == 2 && three.names.size() == 3);
    EXPECT_EQ(quellshot_sdk_features(h, nullptr, nullptr), int(MV_E_PARAMETER));
}

// Frames come in the region and pixel format set, with the exposure Once settles on; a triggered frame
// arrives one frame time (exposure + readout, times the time scale) after its trigger, or after the
// frame before it.
TEST_F(CamSim, FramesFollowTheSettingsAndTakeTheirFrameTime) {
    load("[camera]\nserial = T\nwidth = 128\nheight = 64\nexposure_auto = once\nexposures = 100, 200\n");
    MV_CC_DEVICE_INFO_LIST list{};
    void* h = openFirst(MV_USB_DEVICE, list);
    std::string got;
    const auto calls = [&](std::initializer_list<const char*> rows) {
        for (const char* r : rows) ASSERT_EQ(feature(h, r, got), MV_OK) << r;
    };
    calls({"n PixelFormat Mono8", "i Width 64", "G"});
    MVCC_ENUMVALUE mode{};
    MVCC_FLOATVALUE us{};
    MV_FRAME_OUT f{};  // free run first, as the camera comes up
    const MV_FRAME_OUT_INFO_EX& i = f.stFrameInfo;
    // Once ends itself at the sequence's last value; switching automatic exposure on starts it over.
    // clang-format off
    for (const auto& [before, exposure, mode0] :
         {std::tuple{"", 100, 1u}, {"", 200, 0u}, {"", 200, 0u}, {"n ExposureAuto Continuous", 100, 2u}}) {
        // clang-format on
        if (*before != '\0') calls({before});
        ASSERT_EQ(MV_CC_GetImageBuffer(h, &f, 0), MV_OK);
        EXPECT_TRUE(i.nWidth == 64 && i.nHeight == 64 && i.enPixelType == PixelType_Gvsp_Mono8 &&
                    i.nFrameLen == 4096);
        EXPECT_TRUE(MV_CC_FreeImageBuffer(h, &f) == MV_OK && MV_CC_GetExposureTime(h, &us) == MV_OK &&
                    MV_CC_GetExposureAutoMode(h, &mode) == MV_OK);
        EXPECT_TRUE(us.fCurValue == exposure && mode.nCurValue == mode0) << us.fCurValue;
    }
    const double scale = 0.2, frameMs = (1e6 + 4096 / 350.0) / 1000 * scale;
    ASSERT_TRUE(MV_CC_StopGrabbing(h) == MV_OK && camsim_time_scale(scale) == 0);
    const double t0 = mono_ms();  // before the triggers
    calls({"n ExposureAuto Off", "f ExposureTime 1e6", "e TriggerMode 1", "e TriggerSource 7", "G",
           "C TriggerSoftware", "C TriggerSoftware"});
    uint64_t stamp[3] = {};
    for (int n = 1; n <= 2; ++n) {
        ASSERT_EQ(MV_CC_GetImageBuffer(h, &f, 60000), MV_OK);
        const double waited = mono_ms() - t0;
        EXPECT_TRUE(waited >= n * frameMs - 0.01 && waited < n * frameMs + 10000) << waited;
        stamp[n] = uint64_t{i.nDevTimeStampHigh} << 32 | i.nDevTimeStampLow;
        EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
    }
    EXPECT_GE(double(stamp[2] - stamp[1]), frameMs * 1e6 - 10);  // ns: queued behind the first
}

// A FIFO where the lock file goes is refused at once, not waited on. A handle holds at most four frames:
// of two callers waiting for a fifth, the one woken second is refused though a frame is there for it.
TEST_F(CamSim, NoFifoForALockAndFourFramesOut) {
    ASSERT_EQ(mkfifo(dir.file("camsim-D.lock").c_str(), 0600), 0);
    expect_passes_in_child([&] {
        void* h = nullptr;
        MV_CC_Initialize(), MV_CC_CreateHandleWithoutLog(&h, &usb);
        EXPECT_EQ(MV_CC_OpenDevice(h, 1, 0), int(MV_E_RESOURCE));
    }, 20);
    // At a time scale of 0 a wait would end at once.
    ASSERT_TRUE(unlink(dir.file("camsim-D.lock").c_str()) == 0 && camsim_time_scale(1) == 0);
    MV_CC_DEVICE_INFO_LIST list{};
    void* h = openFirst(MV_USB_DEVICE, list);
    std::string got;
    for (const char* r : {"e TriggerMode 1", "e TriggerSource 7", "G", "C TriggerSoftware", "C TriggerSoftware",
                          "C TriggerSoftware"})
        ASSERT_EQ(feature(h, r, got), MV_OK) << r;
    MV_FRAME_OUT f[5]{};
    for (int n = 0; n < 3; ++n) ASSERT_EQ(MV_CC_GetImageBuffer(h, &f[n], 60000), MV_OK);
    int rc[2] = {};
    std::thread a([&] { rc[0] = MV_CC_GetImageBuffer(h, &f[3], 60000); });
    std::thread b([&] { rc[1] = MV_CC_GetImageBuffer(h, &f[4], 60000); });
    ASSERT_TRUE(wait_for([] { return camsim_call_count("MV_CC_GetImageBuffer") == 5; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into their waits
    ASSERT_TRUE(feature(h, "C TriggerSoftware", got) == MV_OK && feature(h, "C TriggerSoftware", got) == MV_OK);
    a.join(), b.join();
    EXPECT_EQ(std::multiset<int>(rc, rc + 2), (std::multiset<int>{MV_OK, int(MV_E_RESOURCE)}));
    for (MV_FRAME_OUT& out : f) EXPECT_TRUE(!out.pBufAddr || MV_CC_FreeImageBuffer(h, &out) == MV_OK);
}

}  // namespace

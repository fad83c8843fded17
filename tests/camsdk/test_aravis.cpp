// The camera SDK over Aravis against Aravis's emulated GigE Vision camera, which each test starts as a
// child in its own network namespace (support/netns.h) and kills at the end: the statuses of misuse,
// feature values, waits for frames ended from another thread, frames too large for memory. Frames,
// enumeration, other controllers, lost packets and dying cameras are tested end to end
// (tests/e2e/test_aravis_e2e.cpp).
#include <MvCameraControl.h>
#include <arv.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "support/arvfake.h"
#include "support/netns.h"
#include "support/tempdir.h"
#include "support/waitfor.h"

extern "C" int quellshot_sdk_features(void* handle, int (*visit)(const char* name, void* ctx), void* ctx);

namespace {

constexpr uint32_t kCam1 = 0x7F000001;  // 127.0.0.1
constexpr unsigned kRgb8 = PixelType_Gvsp_RGB8_Packed;

MV_CC_DEVICE_INFO gige(uint32_t ip) {
    MV_CC_DEVICE_INFO d{};
    d.nTLayerType = MV_GIGE_DEVICE;
    d.SpecialInfo.stGigEInfo.nCurrentIp = ip;
    return d;
}

class Aravis : public PrivateNetTest {
protected:
    std::optional<FakeCamera> cam;  // outlives TearDown: the SDK lets go of a live camera, without time-outs
    void* h = nullptr;
    MV_FRAME_OUT frame{};
    void SetUp() override {
        PrivateNetTest::SetUp();
        ASSERT_TRUE(MV_CC_Initialize() == MV_OK && cam.emplace(kCam1, "ARAVIS").up);
    }
    void TearDown() override { MV_CC_Finalize(); }
    // A handle on the camera at `ip`, opened in `mode`; the status of the open.
    int open(uint32_t ip, unsigned mode = MV_ACCESS_Exclusive) {
        const MV_CC_DEVICE_INFO d = gige(ip);
        EXPECT_EQ(MV_CC_CreateHandleWithoutLog(&h, &d), MV_OK);
        return MV_CC_OpenDevice(h, mode, 0);
    }
    // Software-triggered grabbing of small frames, which the socket's first, default buffer holds.
    void grab() {
        ASSERT_TRUE(open(kCam1) == MV_OK && MV_CC_SetIntValueEx(h, "Height", 48) == MV_OK &&
                    MV_CC_SetEnumValue(h, "TriggerMode", 1) == MV_OK &&
                    MV_CC_SetEnumValue(h, "TriggerSource", 7) == 0 && MV_CC_StartGrabbing(h) == MV_OK);
    }
    int shoot(unsigned ms) {
        return MV_CC_SetCommandValue(h, "TriggerSoftware") ?: MV_CC_GetImageBuffer(h, &frame, ms);
    }
};

TEST_F(Aravis, MisuseStatuses) {
    enum Stage { kNoInit, kCreated, kOpened, kGrabbing };  // kGrabbing: software-triggered
    int other = 0;
    MVCC_INTVALUE_EX iv;
    const auto get = [&](void* x) { return MV_CC_GetImageBuffer(x, &frame, 0); };
    const auto give = [&](void* x) { return MV_CC_FreeImageBuffer(x, &frame); };
    const auto fire = [](void* x) { return MV_CC_SetCommandValue(x, "TriggerSoftware"); };
    const auto reopen = [](MV_CC_DEVICE_INFO d) {
        void* x = nullptr;
        const int rc = MV_CC_CreateHandleWithoutLog(&x, &d) ?: MV_CC_OpenDevice(x, 1, 0);
        return MV_CC_DestroyHandle(x), rc;
    };
    // clang-format off
    const std::tuple<Stage, std::function<int(void*)>, unsigned> rows[] = {
        {kNoInit, [](void*) { return int(MV_CC_GetSDKVersion() - QS_SDK_VERSION); }, MV_OK},  // the toolkit's
        {kNoInit, [](void*) { MV_CC_DEVICE_INFO_LIST l; return MV_CC_EnumDevices(1, &l); }, MV_E_CALLORDER},
        {kNoInit, [](void*) { return MV_CC_Finalize(); }, MV_E_CALLORDER},
        {kNoInit, [&](void*) { return reopen(gige(kCam1)); }, MV_E_CALLORDER},
        {kCreated, [&](void* x) { return MV_CC_DestroyHandle(x), open(kCam1), MV_CC_OpenDevice(x, 1, 0); }, MV_E_HANDLE},
        {kCreated, [&](void*) { return MV_CC_StartGrabbing(&other); }, MV_E_HANDLE},
        {kCreated, [](void* x) { return MV_CC_OpenDevice(x, 8, 0); }, MV_E_PARAMETER},
        {kCreated, [&](void* x) { return MV_CC_GetIntValueEx(x, "Width", &iv); }, MV_E_CALLORDER},
        {kCreated, [&](void*) { return reopen(gige(0)); }, MV_E_PARAMETER},
        {kCreated, [&](void*) { MV_CC_DEVICE_INFO usb{}; usb.nTLayerType = MV_USB_DEVICE; return reopen(usb); }, MV_E_PRECONDITION},  // no USB3 camera here
        {kOpened, [](void* x) { return MV_CC_OpenDevice(x, 1, 0); }, MV_E_CALLORDER},
        {kOpened, get, MV_E_CALLORDER},
        {kOpened, fire, MV_E_CALLORDER},
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "Nope", 1); }, MV_E_SUPPORT},
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "TriggerMode", 2); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "TriggerSource", 3); }, MV_E_PARAMETER},  // no Line3
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "TriggerSource", 9); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "PixelFormat", 5); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetIntValueEx(x, "Width", 2049); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetIntValueEx(x, "GevSCPSPacketSize", 1402); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetIntValueEx(x, "PayloadSize", 1); }, MV_E_SUPPORT},
        {kOpened, [&](void* x) { return MV_CC_GetIntValueEx(x, "PixelFormat", &iv); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetCommandValue(x, "Width"); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return quellshot_sdk_features(x, nullptr, nullptr); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetFloatValue(x, "Gain", 6.25f); }, MV_E_PARAMETER},  // step 0.5
        {kOpened, [](void* x) { return MV_CC_SetFloatValue(x, "ExposureTime", NAN); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetIntValueEx(x, "TLParamsLocked", 1) ?: MV_CC_SetFloatValue(x, "Gain", 1); }, MV_E_CALLORDER},  // locked
        {kOpened, [](void* x) { return MV_CC_SetEnumValueByString(x, "TriggerMode", "Of"); }, MV_E_PARAMETER},
        // A feature of another type (Aravis reads an enumeration as its entry's name, but it is no
        // string feature) and no place for the value: the AND of the statuses stays MV_E_PARAMETER
        // only when each is.
        {kOpened, [](void* x) { bool v; MVCC_STRINGVALUE s; return MV_CC_GetBoolValue(x, "Width", &v) &
            MV_CC_GetStringValue(x, "PixelFormat", &s) & MV_CC_GetStringValue(x, "DeviceID", nullptr) &
            MV_CC_GetEnumValue(x, "TriggerMode", nullptr) & MV_CC_GetBoolValue(x, "TestBoolean", nullptr); },
         MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_USB_SetTransferWays(x, 2); }, MV_E_SUPPORT},
        {kOpened, [](void* x) { return MV_CC_SetCommandValue(x, "DeviceReset") ?: MV_CC_StartGrabbing(x); }, MV_E_PRECONDITION},
        {kGrabbing, [](void* x) { return MV_CC_SetIntValueEx(x, "GevSCPSPacketSize", 1400) &  // the buffers'
            MV_CC_SetIntValueEx(x, "Width", 64) & MV_CC_SetEnumValueByString(x, "PixelFormat", "RGB8"); }, MV_E_CALLORDER},
        {kGrabbing, [&](void* x) { return MV_CC_SetEnumValue(x, "TriggerSource", 0) ?: fire(x); }, MV_E_PRECONDITION},
        {kGrabbing, get, MV_E_NODATA},  // not triggered
        {kGrabbing, [&](void* x) { return shoot(2000) ?: give(x) ?: give(x); }, MV_E_PARAMETER},
        {kGrabbing, [&](void* x) { return shoot(2000) ?: MV_CC_StopGrabbing(x) ?: give(x); }, MV_E_CALLORDER},
        {kGrabbing, [&](void* x) { MV_FRAME_OUT a{}; return shoot(2000) ?: (a = frame, MV_CC_StopGrabbing(x)) ?: MV_CC_StartGrabbing(x) ?:
            shoot(2000) ?: shoot(2000) ?: MV_CC_FreeImageBuffer(x, &a); }, MV_E_PARAMETER},  // a stop takes back what was out, for good
        {kGrabbing, [&](void* x) { return shoot(2000) ?: give(x) ?: shoot(2000) ?: shoot(2000) ?: shoot(2000); },
         MV_E_RESOURCE},  // a frame given back frees its buffer
        {kCreated, [&](void*) {  // at 500 MHz, a frame's time stamp is in its ticks: the emulator's are ns of the wall clock
            ArvCamera* c = arv_camera_new("127.0.0.1", nullptr);
            arv_device_write_register(arv_camera_get_device(c), 0x940, 500000000, nullptr), g_object_unref(c);
            const auto& i = (grab(), shoot(2000), frame.stFrameInfo);
            return int(std::abs(int64_t((uint64_t{i.nDevTimeStampHigh} << 32 | i.nDevTimeStampLow) / 1000000) - i.nHostTimeStamp) < 1000); }, 1},
    };
    // clang-format on
    int row = 0;
    for (const auto& [at, call, expected] : rows) {
        MV_CC_Finalize();
        ASSERT_EQ(at == kNoInit || MV_CC_Initialize() == MV_OK, true);
        if (at == kCreated) open(kCam1, 0);  // mode 0 is refused: the handle stays closed
        ASSERT_EQ(at != kOpened || open(kCam1) == MV_OK, true);
        if (at == kGrabbing) grab();
        EXPECT_EQ(unsigned(call(h)), expected) << "row " << row;
        ++row;
    }
}

TEST_F(Aravis, FeatureValues) {
    ASSERT_EQ(open(kCam1), MV_OK);
    // Enumerations the SDK documents by constant are set by entry name, the others by value, and read
    // back alike.
    const std::tuple<const char*, unsigned, const char*, int64_t> rows[] = {
        {"TriggerMode", 1, "TriggerModeRegister", 1},   {"TriggerSource", 7, "TriggerSourceRegister", 1},
        {"ExposureAuto", 1, "ExposureAutoRegister", 3}, {"ExposureAuto", 2, "ExposureAutoRegister", 2},
        {"GainAuto", 0, "GainAutoRegister", 1},         {"PixelFormat", kRgb8, "PixelFormatRegister", kRgb8},
    };
    for (const auto& [feature, value, reg, raw] : rows) {
        MVCC_INTVALUE_EX v{};
        MVCC_ENUMVALUE e{};
        EXPECT_TRUE(MV_CC_SetEnumValue(h, feature, value) == MV_OK &&
                    MV_CC_GetIntValueEx(h, reg, &v) == MV_OK && v.nCurValue == raw &&
                    MV_CC_GetEnumValue(h, feature, &e) == MV_OK && e.nCurValue == value)
            << feature << "=" << value;
    }
    MVCC_ENUMVALUE mode{};
    ASSERT_TRUE(MV_CC_GetExposureAutoMode(h, &mode) == MV_OK && mode.nCurValue == 2u);
    EXPECT_EQ(std::vector<unsigned>(mode.nSupportValue, mode.nSupportValue + mode.nSupportedNum + 1),
              (std::vector<unsigned>{0, 1, 2, 0}));
    MVCC_INTVALUE_EX iv{};
    MVCC_FLOATVALUE fv{}, exposure{};
    ASSERT_EQ(MV_CC_SetIntValueEx(h, "Width", 64) ?: MV_CC_GetIntValueEx(h, "Width", &iv), MV_OK);
    EXPECT_TRUE(iv.nCurValue == 64 && iv.nMin == 1 && iv.nMax == 2048 && iv.nInc == 1);
    // Steps counted from INT64_MIN: 4 is on one, 5 is not.
    EXPECT_TRUE(MV_CC_SetIntValueEx(h, "GainRaw", 4) == MV_OK &&
                unsigned(MV_CC_SetIntValueEx(h, "GainRaw", 5)) == MV_E_PARAMETER);
    // A computed feature states no limits: its value bounds it, as the simulator's PayloadSize.
    ASSERT_EQ(MV_CC_GetIntValueEx(h, "PayloadSize", &iv), MV_OK);
    EXPECT_TRUE(iv.nCurValue == 64 * 512 * 3 && iv.nMin == iv.nCurValue && iv.nMax == iv.nCurValue &&
                iv.nInc == 1);
    // The emulator has only the older name ExposureTimeAbs.
    ASSERT_TRUE(MV_CC_GetFloatValue(h, "ExposureTime", &fv) == MV_OK &&
                MV_CC_GetExposureTime(h, &exposure) == 0);
    EXPECT_TRUE(fv.fCurValue == 10000.0f && fv.fMin == 10.0f && fv.fMax == 1e7f &&
                exposure.fCurValue == 10000.0f);
    // Gain is GainAbs there too; TestBoolean is on when TestRegister is 321; DeviceUserNote, a String
    // node, is cut to the SDK's buffer and states no maximum length: its 300 bytes stand for it;
    // PixelFormat's entries are the SDK's pixel types; TestEnumeration has one too many for the list.
    bool on = false;
    MVCC_STRINGVALUE vendor, note;
    MVCC_ENUMVALUE pixel{}, many{};
    ASSERT_EQ(MV_CC_SetFloatValue(h, "Gain", 6.5f) ?: MV_CC_GetFloatValue(h, "GainAbs", &fv) ?:
              MV_CC_SetBoolValue(h, "TestBoolean", true) ?: MV_CC_GetBoolValue(h, "TestBoolean", &on) ?:
              MV_CC_GetIntValueEx(h, "TestRegister", &iv) ?:
              MV_CC_GetStringValue(h, "DeviceVendorName", &vendor) ?:
              MV_CC_GetStringValue(h, "DeviceUserNote", &note) ?:
              MV_CC_GetEnumValue(h, "TestEnumeration", &many) ?:
              MV_CC_SetEnumValueByString(h, "PixelFormat", "Mono8") ?:
              MV_CC_GetEnumValue(h, "PixelFormat", &pixel), MV_OK);
    EXPECT_TRUE(fv.fCurValue == 6.5f && on && iv.nCurValue == 321 && vendor.nMaxLength == 32 &&
                vendor.chCurValue == std::string("Aravis") && note.nMaxLength == 300 &&
                std::strlen(note.chCurValue) == 255 && note.chCurValue[254] == '4' &&
                pixel.nCurValue == PixelType_Gvsp_Mono8 && many.nSupportedNum == MV_MAX_XML_SYMBOLIC_NUM);
    EXPECT_EQ(std::vector<unsigned>(pixel.nSupportValue, pixel.nSupportValue + pixel.nSupportedNum + 1),
              (std::vector<unsigned>{0x0108000B, 0x0108000A, 0x01080008, 0x01080009, 0x01080001, kRgb8,
                                     0x01100007, 0}));
    // The interface's MTU, within GevSCPSPacketSize's 220..16404 in steps of 4.
    for (const auto& [mtu, size] : {std::pair{1500, 1500}, {1503, 1500}, {9000, 9000}, {65536, 16404}}) {
        ASSERT_EQ(system(("ip link set lo mtu " + std::to_string(mtu)).c_str()), 0);
        EXPECT_EQ(MV_CC_GetOptimalPacketSize(h), size) << mtu;
    }
}

// The features reachable from Root, each once, in the description's order, without categories; the
// handle is free while they are visited; a non-zero answer ends the walk.
TEST_F(Aravis, FeatureLister) {
    using Walk = std::tuple<void*, unsigned, std::string>;  // handle, names to visit, names visited
    const auto visit = [](const char* name, void* ctx) {
        auto& [handle, left, names] = *static_cast<Walk*>(ctx);
        names += MV_CC_GetOptimalPacketSize(handle) > 0 ? name + std::string(" ") : "?";
        return int(--left == 0);
    };
    ASSERT_EQ(open(kCam1), MV_OK);
    Walk all{h, 100, ""}, two{h, 2, ""};
    ASSERT_EQ(quellshot_sdk_features(h, visit, &all) ?: quellshot_sdk_features(h, visit, &two), MV_OK);
    EXPECT_EQ(std::get<2>(all),
              "DeviceVendorName DeviceModelName DeviceManufacturerInfo DeviceID DeviceVersion DeviceReset "
              "SensorHeight SensorWidth OffsetX OffsetY Width Height BinningHorizontal BinningVertical "
              "PixelFormat AcquisitionMode AcquisitionStart AcquisitionStop TriggerSelector TriggerMode "
              "TriggerSoftware TriggerSource TriggerActivation ExposureTimeAbs ExposureAuto PayloadSize "
              "TestRegister ");
    EXPECT_EQ(std::get<2>(two), "DeviceVendorName DeviceModelName ");
}

// A camera may state any PayloadSize: buffers the process cannot have refuse the start, without
// ending the process, and leave the handle as it was.
TEST_F(Aravis, APayloadBeyondMemoryRefusesTheStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators end the process when memory runs out";
#endif
    std::string xml = TempDir::read(FAKE_CAMERA_XML);
    const std::string formula = "WIDTH * HEIGHT * ((PIXELFORMAT>>16)&amp;0xFF) / 8";
    ASSERT_NE(xml.find(formula), std::string::npos);
    xml.replace(xml.find(formula), formula.size(),
                "4294967040 + 0 * WIDTH * HEIGHT * PIXELFORMAT");  // < 4 GiB
    const TempDir dir;
    cam.reset();
    ASSERT_TRUE(cam.emplace(kCam1, "ARAVIS", "0", dir.write("huge.xml", xml).c_str()).up && open(kCam1) == MV_OK);
    rlimit was{}, tight{};
    long pages = 0;  // mapped now; a gigabyte more leaves room for the stream, not for a frame
    std::ifstream("/proc/self/statm") >> pages;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &was), 0);
    tight = {std::min<rlim_t>(was.rlim_cur, rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (1u << 30)),
             was.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    const int rc = MV_CC_StartGrabbing(h);
    EXPECT_TRUE(setrlimit(RLIMIT_AS, &was) == 0 && unsigned(rc) == MV_E_RESOURCE);
    EXPECT_EQ(unsigned(MV_CC_StopGrabbing(h)), MV_E_CALLORDER);  // no stream was kept
}

// A wait for a frame holds no lock: a stop or destroy from another thread ends it at once.
TEST_F(Aravis, StopOrDestroyEndsAWaitOnAnotherThread) {
    for (const bool destroy : {true, false}) {  // a destroyed handle lets go of the camera
        grab();
        int rc = 0;
        double took = 0;
        std::thread waiter(
            [&] { took = mono_ms(), rc = MV_CC_GetImageBuffer(h, &frame, 20000), took = mono_ms() - took; });
        EXPECT_EQ(destroy ? MV_CC_DestroyHandle(h) : MV_CC_StopGrabbing(h), MV_OK);
        waiter.join();
        EXPECT_LT(took, 5000.0);  // whichever call came first
        EXPECT_TRUE(destroy ? unsigned(rc) == MV_E_HANDLE
                            : unsigned(rc) == MV_E_NODATA || unsigned(rc) == MV_E_CALLORDER)
            << rc;
    }
}

// A wait let in only after a destroy, queued behind a long call (a save of a large frame), ends with it.
TEST_F(Aravis, DestroyEndsAWaitQueuedBehindAnotherCall) {
    grab();
    std::vector<unsigned char> raw(6000 * 6000), jpeg(raw.size() / 4);  // a third of a second of work
    MV_SAVE_IMAGE_PARAM_EX3 p{
        raw.data(), unsigned(raw.size()),  PixelType_Gvsp_BayerRG8, 6000, 6000, jpeg.data(),
        0,          unsigned(jpeg.size()), MV_Image_Jpeg,           90,   0,    {}};
    int rc = 0;
    std::thread saver([&] { MV_CC_SaveImageEx3(h, &p); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread waiter([&] { rc = MV_CC_GetImageBuffer(h, &frame, 20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double start = mono_ms();
    EXPECT_TRUE(MV_CC_DestroyHandle(h) == MV_OK && mono_ms() - start < 19000.0);  // not the wait's 20 s
    saver.join(), waiter.join();
    EXPECT_EQ(unsigned(rc), MV_E_HANDLE);
}

}  // namespace

// The camera SDK over Aravis against Aravis's emulated GigE Vision cameras, which each test starts as
// children in its own network namespace (support/netns.h) and kills at the end: the misuse statuses,
// enumeration, feature values, frames against Aravis's own fake camera, control held by another
// client, packet loss, and a camera that dies while grabbing.
#include <MvCameraControl.h>
#include <arv.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <list>
#include <thread>
#include <vector>

#include "support/arvfake.h"
#include "support/netns.h"
#include "support/waitfor.h"

namespace {

constexpr uint32_t kCam1 = 0x7F000001, kCam2 = 0x7F000002;  // 127.0.0.1 and 127.0.0.2
constexpr unsigned kRgb8 = PixelType_Gvsp_RGB8_Packed, kMono8 = PixelType_Gvsp_Mono8;

bool sameAsFake(const MV_FRAME_OUT& f) {
    const MV_FRAME_OUT_INFO_EX& i = f.stFrameInfo;
    return std::vector<unsigned char>(f.pBufAddr, f.pBufAddr + i.nFrameLen) ==
           fakeImage(i.nWidth, i.nHeight, unsigned(i.enPixelType), i.nFrameNum);
}

MV_CC_DEVICE_INFO gige(uint32_t ip) {
    MV_CC_DEVICE_INFO d{};
    d.nTLayerType = MV_GIGE_DEVICE;
    d.SpecialInfo.stGigEInfo.nCurrentIp = ip;
    return d;
}

int64_t intValue(void* h, const char* key) {
    MVCC_INTVALUE_EX v{};
    return MV_CC_GetIntValueEx(h, key, &v) == MV_OK ? v.nCurValue : -1;
}

class Aravis : public PrivateNetTest {
protected:
    std::list<FakeCamera> cams;  // outlive TearDown: the SDK lets go of live cameras, without time-outs
    void* h = nullptr;
    MV_FRAME_OUT frame{};
    void SetUp() override {
        PrivateNetTest::SetUp();
        ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    }
    void TearDown() override { MV_CC_Finalize(); }
    FakeCamera& start(uint32_t ip, const char* serial, const char* lossPerThousand = "0") {
        FakeCamera& cam = cams.emplace_back(ip, serial, lossPerThousand);
        EXPECT_TRUE(cam.up);
        return cam;
    }
    // A handle on the camera at `ip`, opened in `mode`; the status of the open.
    int open(uint32_t ip, unsigned mode = MV_ACCESS_Exclusive) {
        const MV_CC_DEVICE_INFO d = gige(ip);
        EXPECT_EQ(MV_CC_CreateHandleWithoutLog(&h, &d), MV_OK);
        return MV_CC_OpenDevice(h, mode, 0);
    }
    // Software-triggered grabbing of frames of a size and format.
    void grab(unsigned w, unsigned ht, unsigned format) {
        ASSERT_TRUE(open(kCam1) == MV_OK && MV_CC_SetIntValueEx(h, "Width", w) == MV_OK &&
                    MV_CC_SetIntValueEx(h, "Height", ht) == MV_OK &&
                    MV_CC_SetEnumValue(h, "PixelFormat", format) == 0 &&
                    MV_CC_SetEnumValue(h, "TriggerMode", 1) == MV_OK &&
                    MV_CC_SetEnumValue(h, "TriggerSource", 7) == 0 && MV_CC_StartGrabbing(h) == MV_OK);
    }
    int shoot(unsigned ms) {
        return MV_CC_SetCommandValue(h, "TriggerSoftware") ?: MV_CC_GetImageBuffer(h, &frame, ms);
    }
};

TEST_F(Aravis, MisuseStatuses) {
    enum Stage { kNoInit, kCreated, kOpened, kGrabbing };  // kGrabbing: software-triggered
    start(kCam1, "MISUSE");
    int other = 0;
    MVCC_INTVALUE_EX iv;
    MVCC_FLOATVALUE fv;
    const auto get = [&](void* x) { return MV_CC_GetImageBuffer(x, &frame, 0); };
    const auto give = [&](void* x) { return MV_CC_FreeImageBuffer(x, &frame); };
    const auto fire = [](void* x) { return MV_CC_SetCommandValue(x, "TriggerSoftware"); };
    const auto reopen = [](MV_CC_DEVICE_INFO d) {
        void* x = nullptr;
        const int rc = MV_CC_CreateHandleWithoutLog(&x, &d) ?: MV_CC_OpenDevice(x, 1, 0);
        return MV_CC_DestroyHandle(x), rc;
    };
    MV_CC_DEVICE_INFO usb{};
    usb.nTLayerType = MV_USB_DEVICE;
    // clang-format off
    const std::tuple<Stage, std::function<int(void*)>, unsigned> rows[] = {
        {kNoInit, [](void*) { return int(MV_CC_GetSDKVersion() - QS_SDK_VERSION); }, MV_OK},  // the toolkit's
        {kNoInit, [](void*) { MV_CC_DEVICE_INFO_LIST l; return MV_CC_EnumDevices(1, &l); }, MV_E_CALLORDER},
        {kNoInit, [&](void*) { return reopen(gige(kCam1)); }, MV_E_CALLORDER},
        {kCreated, [](void* x) { return MV_CC_Finalize(), MV_CC_OpenDevice(x, 1, 0); }, MV_E_HANDLE},
        {kCreated, [](void* x) { return MV_CC_DestroyHandle(x), MV_CC_OpenDevice(x, 1, 0); }, MV_E_HANDLE},
        {kCreated, [&](void*) { return MV_CC_StartGrabbing(&other); }, MV_E_HANDLE},
        {kCreated, [](void* x) { return MV_CC_OpenDevice(x, 8, 0); }, MV_E_PARAMETER},
        {kCreated, [&](void* x) { return MV_CC_GetIntValueEx(x, "Width", &iv); }, MV_E_CALLORDER},
        {kCreated, [&](void*) { return reopen(gige(0)); }, MV_E_PARAMETER},
        {kCreated, [&](void*) { return reopen(usb); }, MV_E_PRECONDITION},  // no USB3 camera here
        {kOpened, [](void* x) { return MV_CC_OpenDevice(x, 1, 0); }, MV_E_CALLORDER},
        {kOpened, get, MV_E_CALLORDER},
        {kOpened, give, MV_E_CALLORDER},
        {kOpened, fire, MV_E_CALLORDER},
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "Nope", 1); }, MV_E_SUPPORT},
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "TriggerMode", 2); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "TriggerSource", 3); }, MV_E_PARAMETER},  // no Line3
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "PixelFormat", 5); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetEnumValue(x, "Width", 1); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetIntValueEx(x, "Width", 2049); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetIntValueEx(x, "GevSCPSPacketSize", 1402); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetIntValueEx(x, "PayloadSize", 1); }, MV_E_SUPPORT},
        {kOpened, [&](void* x) { return MV_CC_GetIntValueEx(x, "PixelFormat", &iv); }, MV_E_PARAMETER},
        {kOpened, [&](void* x) { return MV_CC_GetFloatValue(x, "Width", &fv); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetCommandValue(x, "Width"); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_USB_SetTransferWays(x, 2); }, MV_E_SUPPORT},
        {kOpened, [](void* x) { return MV_CC_SaveImageEx3(x, nullptr); }, MV_E_PARAMETER},
        {kOpened, [](void* x) { return MV_CC_SetCommandValue(x, "DeviceReset") ?: MV_CC_StartGrabbing(x); },
         MV_E_PRECONDITION},
        {kGrabbing, [](void* x) { return MV_CC_StartGrabbing(x); }, MV_E_CALLORDER},
        {kGrabbing, [](void* x) { return MV_CC_SetIntValueEx(x, "GevSCPSPacketSize", 1400); }, MV_E_CALLORDER},
        {kGrabbing, [&](void* x) { return MV_CC_SetEnumValue(x, "TriggerSource", 0) ?: fire(x); }, MV_E_PRECONDITION},
        {kGrabbing, get, MV_E_NODATA},  // not triggered
        {kGrabbing, [&](void* x) { return shoot(2000) ?: give(x) ?: give(x); }, MV_E_PARAMETER},
        {kGrabbing, [&](void* x) { return shoot(2000) ?: MV_CC_StopGrabbing(x) ?: give(x); }, MV_E_CALLORDER},
        {kGrabbing, [&](void*) { return shoot(2000) ?: shoot(2000) ?: shoot(2000); }, MV_E_RESOURCE},
    };
    // clang-format on
    int row = 0;
    for (const auto& [at, call, expected] : rows) {
        MV_CC_Finalize();
        ASSERT_EQ(at == kNoInit || MV_CC_Initialize() == MV_OK, true);
        if (at == kCreated) open(kCam1, 0);  // mode 0 is refused: the handle stays closed
        ASSERT_EQ(at != kOpened || open(kCam1) == MV_OK, true);
        if (at == kGrabbing) grab(64, 48, kMono8);
        EXPECT_EQ(unsigned(call(h)), expected) << "row " << row;
        ++row;
    }
}

TEST_F(Aravis, EnumerationFillsTheEntries) {
    ASSERT_EQ(system("ip addr replace 127.0.0.2/8 dev lo"), 0);
    start(kCam1, "SER1"), start(kCam2, "SER2");
    ArvCamera* direct = arv_camera_new("127.0.0.2", nullptr);  // a vendor name longer than the field
    ASSERT_NE(direct, nullptr);
    arv_camera_set_string(direct, "DeviceVendorName", "Hikrobot 0123456789 abcdefghijkl", nullptr);
    g_object_unref(direct);
    MV_CC_DEVICE_INFO_LIST list;
    for (int round = 0; round < 2; ++round) {  // the last Finalize shuts Aravis down; it starts again
        ASSERT_EQ(MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list), MV_OK);
        ASSERT_EQ(list.nDeviceNum, 2u);
        std::vector<std::string> seen;
        for (unsigned i = 0; i < 2; ++i) {
            const MV_GIGE_DEVICE_INFO& g = list.pDeviceInfo[i]->SpecialInfo.stGigEInfo;
            EXPECT_EQ(list.pDeviceInfo[i]->nTLayerType, unsigned(MV_GIGE_DEVICE));
            seen.push_back(dotted(g.nCurrentIp) + " " + reinterpret_cast<const char*>(g.chManufacturerName) +
                           " " + reinterpret_cast<const char*>(g.chModelName) + " " +
                           reinterpret_cast<const char*>(g.chSerialNumber));
        }
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<std::string>{"127.0.0.1 Aravis Fake SER1",
                                                  "127.0.0.2 Hikrobot 0123456789 abcdefghijk Fake SER2"}));
        ASSERT_TRUE(MV_CC_Finalize() == MV_OK && MV_CC_Initialize() == MV_OK);
    }
    ASSERT_EQ(MV_CC_EnumDevices(MV_USB_DEVICE, &list), MV_OK);
    EXPECT_EQ(list.nDeviceNum, 0u);
}

TEST_F(Aravis, FeatureValues) {
    start(kCam1, "VALUES");
    ASSERT_EQ(open(kCam1), MV_OK);
    // Enumerations the SDK documents by constant are set by entry name, the others by value.
    const std::tuple<const char*, unsigned, const char*, int64_t> rows[] = {
        {"TriggerMode", 1, "TriggerModeRegister", 1},   {"TriggerSource", 7, "TriggerSourceRegister", 1},
        {"ExposureAuto", 1, "ExposureAutoRegister", 3}, {"ExposureAuto", 2, "ExposureAutoRegister", 2},
        {"GainAuto", 0, "GainAutoRegister", 1},         {"PixelFormat", kRgb8, "PixelFormatRegister", kRgb8},
    };
    for (const auto& [feature, value, reg, raw] : rows) {
        EXPECT_EQ(MV_CC_SetEnumValue(h, feature, value), MV_OK) << feature;
        EXPECT_EQ(intValue(h, reg), raw) << feature << "=" << value;
    }
    MVCC_ENUMVALUE mode{};
    ASSERT_EQ(MV_CC_GetExposureAutoMode(h, &mode), MV_OK);
    EXPECT_EQ(std::vector<unsigned>(mode.nSupportValue, mode.nSupportValue + mode.nSupportedNum + 1),
              (std::vector<unsigned>{0, 1, 2, 0}));
    EXPECT_EQ(mode.nCurValue, 2u);
    MVCC_INTVALUE_EX iv{};
    MVCC_FLOATVALUE fv{}, exposure{};
    ASSERT_TRUE(MV_CC_SetIntValueEx(h, "Width", 64) == MV_OK &&
                MV_CC_GetIntValueEx(h, "Width", &iv) == MV_OK);
    EXPECT_TRUE(iv.nCurValue == 64 && iv.nMin == 1 && iv.nMax == 2048 && iv.nInc == 1);
    // A computed feature states no limits: its value bounds it, as the simulator's PayloadSize.
    ASSERT_EQ(MV_CC_GetIntValueEx(h, "PayloadSize", &iv), MV_OK);
    EXPECT_TRUE(iv.nCurValue == 64 * 512 * 3 && iv.nMin == iv.nCurValue && iv.nMax == iv.nCurValue &&
                iv.nInc == 1);
    // The emulator has only the older name ExposureTimeAbs.
    ASSERT_TRUE(MV_CC_GetFloatValue(h, "ExposureTime", &fv) == MV_OK &&
                MV_CC_GetExposureTime(h, &exposure) == 0);
    EXPECT_TRUE(fv.fCurValue == 10000.0f && fv.fMin == 10.0f && fv.fMax == 1e7f &&
                exposure.fCurValue == 10000.0f);
    // The interface's MTU, within GevSCPSPacketSize's 220..16404 in steps of 4.
    for (const auto& [mtu, size] : {std::pair{1500, 1500}, {1503, 1500}, {9000, 9000}, {65536, 16404}}) {
        ASSERT_EQ(system(("ip link set lo mtu " + std::to_string(mtu)).c_str()), 0);
        EXPECT_EQ(MV_CC_GetOptimalPacketSize(h), size) << mtu;
    }
}

TEST_F(Aravis, SoftwareTriggeredFramesAreTheFakeCamerasImages) {
    start(kCam1, "FRAMES");
    grab(64, 48, kRgb8);
    unsigned last = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(shoot(2000), MV_OK);
        const MV_FRAME_OUT_INFO_EX& f = frame.stFrameInfo;
        EXPECT_TRUE(f.nWidth == 64 && f.nHeight == 48 && f.nFrameLen == 64 * 48 * 3 &&
                    unsigned(f.enPixelType) == kRgb8);
        EXPECT_TRUE(sameAsFake(frame)) << f.nFrameNum;
        EXPECT_TRUE(i == 0 || f.nFrameNum == last + 1);
        EXPECT_NEAR(double(f.nHostTimeStamp), double(g_get_real_time() / 1000), 60000.0);
        last = f.nFrameNum;
        std::vector<unsigned char> jpeg(64 * 48 * 3);
        MV_SAVE_IMAGE_PARAM_EX3 p{};
        p.pData = frame.pBufAddr, p.nDataLen = f.nFrameLen, p.enPixelType = f.enPixelType, p.nWidth = 64;
        p.nHeight = 48, p.pImageBuffer = jpeg.data(), p.nBufferSize = unsigned(jpeg.size());
        p.enImageType = MV_Image_Jpeg, p.nJpgQuality = 90;
        EXPECT_TRUE(MV_CC_SaveImageEx3(h, &p) == MV_OK && p.nImageLen > 0);
        ASSERT_EQ(MV_CC_FreeImageBuffer(h, &frame), MV_OK);
    }
}

TEST_F(Aravis, AnotherControllerDeniesAccess) {
    start(kCam1, "TAKEN");
    ArvCamera* holder = arv_camera_new("127.0.0.1", nullptr);  // takes control
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(unsigned(open(kCam1)), MV_E_ACCESS_DENIED);
    g_object_unref(holder);
    EXPECT_EQ(MV_CC_OpenDevice(h, MV_ACCESS_Exclusive, 0), MV_OK);
}

TEST_F(Aravis, LostPacketsNeverYieldAFrame) {
    start(kCam1, "LOSSY", "100");  // 10% of the stream's packets never leave
    grab(64, 48, kMono8);
    int complete = 0, missed = 0;
    for (int i = 0; i < 30; ++i) {
        const int rc = shoot(300);
        EXPECT_TRUE(rc != MV_OK || sameAsFake(frame)) << frame.stFrameInfo.nFrameNum;
        complete += rc == MV_OK && MV_CC_FreeImageBuffer(h, &frame) == MV_OK;
        missed += unsigned(rc) == MV_E_NODATA;
    }
    EXPECT_TRUE(complete > 0 && missed > 0 && complete + missed == 30) << complete << " " << missed;
}

// A wait for a frame holds no lock: a stop or destroy from another thread ends it at once.
TEST_F(Aravis, StopOrDestroyEndsAWaitOnAnotherThread) {
    start(kCam1, "WAITED");
    for (const bool destroy : {true, false}) {  // a destroyed handle lets go of the camera
        grab(64, 48, kMono8);
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

TEST_F(Aravis, AKilledCameraFailsInTimeAndTearsDown) {
    FakeCamera& cam = start(kCam1, "DOOMED");
    grab(64, 48, kMono8);
    ASSERT_TRUE(shoot(2000) == MV_OK && MV_CC_FreeImageBuffer(h, &frame) == MV_OK);
    cam.stop();
    double t = mono_ms();
    EXPECT_EQ(unsigned(MV_CC_GetImageBuffer(h, &frame, 500)), MV_E_NODATA);
    EXPECT_LT(mono_ms() - t, 3000.0);
    // Once Aravis's heartbeat notices, calls fail at once, before touching the device.
    EXPECT_TRUE(
        wait_for([&] { return unsigned(MV_CC_GetImageBuffer(h, &frame, 200)) == MV_E_PRECONDITION; }));
    t = mono_ms();
    EXPECT_EQ(unsigned(MV_CC_SetCommandValue(h, "TriggerSoftware")), MV_E_PRECONDITION);
    EXPECT_EQ(unsigned(MV_CC_StopGrabbing(h)), MV_E_PRECONDITION);
    EXPECT_TRUE(MV_CC_CloseDevice(h) == MV_OK && MV_CC_DestroyHandle(h) == MV_OK);
    EXPECT_LT(mono_ms() - t, 30000.0);  // the stream and the connection each wait out Aravis's timeouts
}

}  // namespace

// Tests of the simulated camera SDK through its C interface: the MV_CC_* functions and camsim.h.

#include <MvCameraControl.h>
#include <camsim.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int S(unsigned code) {
    return static_cast<int>(code);
}
const MV_FRAME_OUT kNoFrame = {};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string journal() {
    std::string text(camsim_journal(nullptr, 0) + 1, '\0');
    text.resize(camsim_journal(&text[0], text.size()));
    return text;
}

// Lines of the journal from the first that starts with `from`.
std::string journalFrom(const std::string& from) {
    const std::string all = journal();
    const std::size_t at = all.find(from);
    return at == std::string::npos ? std::string() : all.substr(at);
}

std::string entrySerial(const MV_CC_DEVICE_INFO* e) {
    const unsigned char* s = e->nTLayerType == MV_GIGE_DEVICE ? e->SpecialInfo.stGigEInfo.chSerialNumber
                                                              : e->SpecialInfo.stUsb3VInfo.chSerialNumber;
    return reinterpret_cast<const char*>(s);
}

// Parameters that save the frame `f` as `type` into `out`.
MV_SAVE_IMAGE_PARAM_EX3 saveParams(const MV_FRAME_OUT& f, std::vector<unsigned char>& out,
                                   MV_SAVE_IAMGE_TYPE type, unsigned quality = 90) {
    MV_SAVE_IMAGE_PARAM_EX3 p = {};
    p.pData = f.pBufAddr;
    p.nDataLen = f.stFrameInfo.nFrameLen;
    p.enPixelType = f.stFrameInfo.enPixelType;
    p.nWidth = f.stFrameInfo.nWidth;
    p.nHeight = f.stFrameInfo.nHeight;
    p.pImageBuffer = out.data();
    p.nBufferSize = static_cast<unsigned>(out.size());
    p.enImageType = type;
    p.nJpgQuality = quality;
    return p;
}

// Redirects stderr (fd 2) into a file for the lifetime of the object.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path) {
        fflush(stderr);
        saved_ = dup(2);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { finish(); }
    std::string finish() {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
        return readFile(path_);
    }

private:
    std::string path_;
    int saved_ = -1;
};

// Named in lower case so that `ctest -R camsim` selects these tests.
class camsim : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/camsim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("CAMSIM_LOCKDIR", dir_.c_str(), 1);
        for (const char* v : {"CAMSIM_JOURNAL", "CAMSIM_SCENARIO", "CAMSIM_TIME_SCALE"}) unsetenv(v);
        camsim_reset();
    }
    void TearDown() override {
        camsim_reset();
        for (const char* v : {"CAMSIM_JOURNAL", "CAMSIM_SCENARIO", "CAMSIM_TIME_SCALE", "CAMSIM_LOCKDIR"})
            unsetenv(v);
        nftw(
            dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 8,
            FTW_DEPTH | FTW_PHYS);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }
    void load(const std::string& text) { ASSERT_EQ(camsim_load_scenario_text(text.c_str(), "test.scn"), 0); }

    // The enumerated entry of the camera with this serial (mask GigE|USB3), or NULL.
    MV_CC_DEVICE_INFO* entry(const std::string& serial) {
        MV_CC_DEVICE_INFO_LIST list;
        if (MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list) != MV_OK) return nullptr;
        for (unsigned i = 0; i < list.nDeviceNum; ++i) {
            MV_CC_DEVICE_INFO* e = list.pDeviceInfo[i];
            if (e != nullptr && (e->nTLayerType == MV_GIGE_DEVICE || e->nTLayerType == MV_USB_DEVICE) &&
                entrySerial(e) == serial)
                return e;
        }
        return nullptr;
    }
    void* create(const std::string& serial) {
        void* h = nullptr;
        MV_CC_DEVICE_INFO* e = entry(serial);
        EXPECT_NE(e, nullptr) << serial;
        if (e == nullptr) return nullptr;
        EXPECT_EQ(MV_CC_CreateHandleWithoutLog(&h, e), MV_OK);
        return h;
    }
    void* openCam(const std::string& serial) {
        void* h = create(serial);
        EXPECT_EQ(MV_CC_OpenDevice(h, MV_ACCESS_Exclusive, 0), MV_OK) << serial;
        return h;
    }
    // Opens, sets software triggering and starts grabbing.
    void* grabbing(const std::string& serial, bool triggered = true) {
        void* h = openCam(serial);
        if (triggered) {
            EXPECT_EQ(MV_CC_SetEnumValue(h, "TriggerMode", 1), MV_OK);
            EXPECT_EQ(MV_CC_SetEnumValue(h, "TriggerSource", 7), MV_OK);
        }
        EXPECT_EQ(MV_CC_StartGrabbing(h), MV_OK);
        return h;
    }
    std::vector<unsigned char> grabCopy(void* h, unsigned* num = nullptr) {
        MV_FRAME_OUT f = kNoFrame;
        EXPECT_EQ(MV_CC_GetImageBuffer(h, &f, 1000), MV_OK);
        if (f.pBufAddr == nullptr) return {};
        std::vector<unsigned char> bytes(f.pBufAddr, f.pBufAddr + f.stFrameInfo.nFrameLen);
        if (num != nullptr) *num = f.stFrameInfo.nFrameNum;
        EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
        return bytes;
    }

    std::string dir_;
};

// ---- configuration -----------------------------------------------------------------------------

TEST_F(camsim, DefaultCameraWhenNoScenarioIsSet) {
    camsim_use_environment();
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    MV_CC_DEVICE_INFO_LIST list;
    ASSERT_EQ(MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list), MV_OK);
    ASSERT_EQ(list.nDeviceNum, 1u);
    const MV_CC_DEVICE_INFO* e = list.pDeviceInfo[0];
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->nTLayerType, unsigned(MV_USB_DEVICE));
    EXPECT_STREQ(reinterpret_cast<const char*>(e->SpecialInfo.stUsb3VInfo.chManufacturerName), "Hikrobot");
    EXPECT_STREQ(reinterpret_cast<const char*>(e->SpecialInfo.stUsb3VInfo.chModelName), "MV-CS050-10UC");
    EXPECT_EQ(entrySerial(e), "SIM00001");
    void* h = openCam("SIM00001");
    MVCC_INTVALUE_EX iv;
    ASSERT_EQ(MV_CC_GetIntValueEx(h, "PayloadSize", &iv), MV_OK);
    EXPECT_EQ(iv.nCurValue, 1920 * 1080 * 3);
    MVCC_ENUMVALUE ev;
    ASSERT_EQ(MV_CC_GetExposureAutoMode(h, &ev), MV_OK);
    EXPECT_EQ(ev.nCurValue, 0u);
    MVCC_FLOATVALUE fv;
    ASSERT_EQ(MV_CC_GetExposureTime(h, &fv), MV_OK);
    EXPECT_EQ(fv.fCurValue, 10000.0f);
    EXPECT_EQ(MV_USB_SetTransferWays(h, 1), MV_OK);
    EXPECT_EQ(MV_CC_GetOptimalPacketSize(h), S(MV_E_SUPPORT));
    EXPECT_EQ(MV_CC_CloseDevice(h), MV_OK);
    EXPECT_EQ(MV_CC_DestroyHandle(h), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, ScenarioFileAndTimeScaleFromEnvironment) {
    setenv("CAMSIM_SCENARIO",
           write("env.scn",
                 "[camera]\ntransport = gige\nserial = G7\nframes = none\n"
                 "[fault]\nMV_CC_EnumDevices#2 = 0x80000006\n")
               .c_str(),
           1);
    setenv("CAMSIM_TIME_SCALE", "0", 1);
    camsim_use_environment();
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = grabbing("G7", false);  // enumeration 1
    MV_CC_DEVICE_INFO_LIST list;
    EXPECT_EQ(MV_CC_EnumDevices(MV_GIGE_DEVICE, &list), S(MV_E_RESOURCE));
    EXPECT_EQ(MV_CC_EnumDevices(MV_GIGE_DEVICE, &list), MV_OK);
    MV_FRAME_OUT f = kNoFrame;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(MV_CC_GetImageBuffer(h, &f, 60000), S(MV_E_NODATA));  // scale 0: no wait
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, MalformedEnvironmentFailsEveryCall) {
    const std::string file = write("bad.scn", "# cameras\n[camera]\ncolour = red\n");
    for (const auto& [var, value, message] : std::vector<std::array<std::string, 3>>{
             {"CAMSIM_SCENARIO", file, "camsim: " + file + ":3: unknown key 'colour'\n"},
             {"CAMSIM_SCENARIO", path("missing.scn"), "camsim: " + path("missing.scn") + ": cannot read"},
             {"CAMSIM_TIME_SCALE", "fast", "camsim: CAMSIM_TIME_SCALE"}}) {
        SCOPED_TRACE(value);
        setenv(var.c_str(), value.c_str(), 1);
        camsim_use_environment();
        StderrCapture err(path("stderr"));
        EXPECT_EQ(MV_CC_Initialize(), S(MV_E_UNKNOW));
        EXPECT_EQ(err.finish().rfind(message, 0), 0u);  // printed once, at the first call
        MV_CC_DEVICE_INFO_LIST list;
        EXPECT_EQ(MV_CC_EnumDevices(5, &list), S(MV_E_UNKNOW));
        EXPECT_EQ(MV_CC_Finalize(), S(MV_E_UNKNOW));
        unsetenv(var.c_str());
    }
}

TEST_F(camsim, ScenarioWithEveryKey) {
    load(
        "# a comment line\n"
        "  [camera]   # the first camera\n"
        "transport = gige\n"
        "manufacturer = Acme Vision\n"
        "model = GX-1\n"
        "serial = G1\n"
        "width = 0x40\n"
        "height = 48\n"
        "pixel = mono8\n"
        "exposure_auto = continuous\n"
        "exposures = 100, 200,300\n"
        "packet_size = 1500\n"
        "frames = none\n"
        "\n"
        "[camera]\ntransport = null\n"
        "[camera]\ntransport = 0x10\n"
        "[camera]\n"  // all defaults: serial by position
        "[camera]\ntransport = usb3\nserial = U2\nexposure_auto = once\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    MV_CC_DEVICE_INFO_LIST list;
    ASSERT_EQ(MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list), MV_OK);
    ASSERT_EQ(list.nDeviceNum, 5u);
    const MV_GIGE_DEVICE_INFO& g = list.pDeviceInfo[0]->SpecialInfo.stGigEInfo;
    EXPECT_EQ(list.pDeviceInfo[0]->nTLayerType, unsigned(MV_GIGE_DEVICE));
    EXPECT_STREQ(reinterpret_cast<const char*>(g.chManufacturerName), "Acme Vision");
    EXPECT_STREQ(reinterpret_cast<const char*>(g.chModelName), "GX-1");
    EXPECT_STREQ(reinterpret_cast<const char*>(g.chSerialNumber), "G1");
    EXPECT_EQ(list.pDeviceInfo[1], nullptr);
    ASSERT_NE(list.pDeviceInfo[2], nullptr);
    EXPECT_EQ(list.pDeviceInfo[2]->nTLayerType, 0x10u);
    EXPECT_EQ(entrySerial(list.pDeviceInfo[3]), "SIM00004");
    EXPECT_STREQ(reinterpret_cast<const char*>(list.pDeviceInfo[3]->SpecialInfo.stUsb3VInfo.chModelName),
                 "MV-CS050-10UC");
    EXPECT_EQ(entrySerial(list.pDeviceInfo[4]), "U2");
    // The mask selects transports; NULL and foreign entries are always listed.
    ASSERT_EQ(MV_CC_EnumDevices(MV_GIGE_DEVICE, &list), MV_OK);
    EXPECT_EQ(list.nDeviceNum, 3u);
    void* h = nullptr;
    EXPECT_EQ(MV_CC_CreateHandleWithoutLog(&h, list.pDeviceInfo[2]), S(MV_E_SUPPORT));

    void* gh = openCam("G1");
    MVCC_INTVALUE_EX iv;
    const std::pair<const char*, int64_t> ints[] = {{"Width", 64}, {"Height", 48}, {"PayloadSize", 64 * 48}};
    for (const auto& [key, want] : ints) {
        ASSERT_EQ(MV_CC_GetIntValueEx(gh, key, &iv), MV_OK) << key;
        EXPECT_EQ(iv.nCurValue, want) << key;
    }
    MVCC_ENUMVALUE ev;
    ASSERT_EQ(MV_CC_GetExposureAutoMode(gh, &ev), MV_OK);
    EXPECT_EQ(ev.nCurValue, 2u);
    EXPECT_EQ(MV_CC_GetOptimalPacketSize(gh), 1500);
    MVCC_FLOATVALUE fv;
    ASSERT_EQ(MV_CC_GetFloatValue(gh, "ExposureTime", &fv), MV_OK);
    EXPECT_EQ(fv.fCurValue, 100.0f);
    EXPECT_EQ(MV_CC_StartGrabbing(gh), MV_OK);  // free run, but frames = none
    MV_FRAME_OUT f = kNoFrame;
    camsim_time_scale(0);
    EXPECT_EQ(MV_CC_GetImageBuffer(gh, &f, 1000), S(MV_E_NODATA));
    void* uh = openCam("U2");
    ASSERT_EQ(MV_CC_GetExposureAutoMode(uh, &ev), MV_OK);
    EXPECT_EQ(ev.nCurValue, 1u);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, NameFieldsMayFillTheirSdkFieldsExactly) {
    const std::string m31(31, 'm'), s15(15, '7'), m63(63, 'u');
    load("[camera]\ntransport = gige\nmanufacturer = " + m31 + "\nmodel = " + m31 + "\nserial = " + s15 +
         "\n[camera]\nmanufacturer = " + m63 + "\nmodel = " + m63 + "\nserial = " + m63 +
         "\n"
         "[camera]\ntransport = null\n[camera]\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    const MV_CC_DEVICE_INFO* g = entry(s15);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->SpecialInfo.stGigEInfo.chModelName)), m31);
    const MV_CC_DEVICE_INFO* u = entry(m63);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(u->SpecialInfo.stUsb3VInfo.chManufacturerName)), m63);
    EXPECT_NE(entry("SIM00004"), nullptr);  // the NULL entry holds position 3
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, MalformedScenariosNameFileAndLine) {
    const std::string long32(32, 'x'), long16(16, 'x'), long64(64, 'x');
    const struct {
        std::string text;
        int line;
        const char* what;
    } cases[] = {
        {"[camera]\ncolour = red\n", 2, "unknown key 'colour'"},
        {"[cameras]\n", 1, "unknown section"},
        {"[camera\n", 1, "section"},
        {"width = 5\n", 1, "outside a section"},
        {"[camera]\njust words\n", 2, "key = value"},
        {"[camera]\nwidth =\n", 2, "missing value"},
        {"[camera]\nwidth = 12x\n", 2, "width"},
        {"[camera]\nwidth = 0\n", 2, "width"},
        {"[camera]\nheight = 70000\n", 2, "height"},
        {"[camera]\nwidth = 5\nwidth = 6\n", 3, "twice"},
        {"[camera]\ntransport = firewire\n", 2, "transport"},
        {"[camera]\npixel = bgr8\n", 2, "pixel"},
        {"[camera]\nexposure_auto = sometimes\n", 2, "exposure_auto"},
        {"[camera]\nexposures = 100,,200\n", 2, "exposures"},
        {"[camera]\nexposures = 0\n", 2, "exposures"},
        {"[camera]\npacket_size = 1501\n", 2, "packet_size"},
        {"[camera]\nframes = maybe\n", 2, "frames"},
        {"[camera]\nreset_downtime_ms = 3600001\n", 2, "reset_downtime_ms"},
        {"[camera]\nreset_downtime_ms = -1\n", 2, "reset_downtime_ms"},
        {"[camera]\nimage_len = short\n", 2, "image_len"},
        {"[camera]\nserial = A B\n", 2, "serial"},
        {"[camera]\nserial = X\n[camera]\nserial = X\n", 4, "twice"},
        {"[camera]\ntransport = gige\nmodel = " + long32 + "\n", 3, "model longer than 31"},
        {"[camera]\nmodel = " + long32 + "\ntransport = gige\n", 2, "model longer than 31"},
        {"[camera]\ntransport = gige\nserial = " + long16 + "\n", 3, "serial longer than 15"},
        {"[camera]\nmanufacturer = " + long64 + "\n", 2, "manufacturer longer than 63"},
        {"[fault]\nMV_CC_Explode = 0x80000001\n", 2, "unknown function 'MV_CC_Explode'"},
        {"[fault]\nMV_CC_Initialize#3-1 = 1\n", 2, "range"},
        {"[fault]\nMV_CC_Initialize#0 = 1\n", 2, "call number"},
        {"[fault]\nMV_CC_Initialize = banana\n", 2, "status"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        StderrCapture err(path("stderr"));
        EXPECT_EQ(camsim_load_scenario_text(c.text.c_str(), "bad.scn"), -1);
        const std::string msg = err.finish();
        EXPECT_EQ(msg.rfind("camsim: bad.scn:" + std::to_string(c.line) + ": ", 0), 0u) << msg;
        EXPECT_NE(msg.find(c.what), std::string::npos) << msg;
        EXPECT_EQ(MV_CC_Initialize(), S(MV_E_UNKNOW));
        MV_CC_DEVICE_INFO_LIST list;
        EXPECT_EQ(MV_CC_EnumDevices(5, &list), S(MV_E_UNKNOW));
        EXPECT_EQ(MV_CC_Finalize(), S(MV_E_UNKNOW));
    }
    StderrCapture err(path("stderr"));
    EXPECT_EQ(camsim_load_scenario(path("none.scn").c_str()), -1);
    EXPECT_NE(err.finish().find(path("none.scn")), std::string::npos);
    EXPECT_EQ(MV_CC_Initialize(), S(MV_E_UNKNOW));
}

TEST_F(camsim, ControlInterfaceAddsCameras) {
    CamSimCamera cam;
    camsim_camera_defaults(&cam);
    const unsigned exposures[] = {5, 6};
    cam.transport = MV_GIGE_DEVICE;
    cam.serial = "C1";
    cam.exposures = exposures;
    cam.exposure_count = 2;
    cam.pixel = CAMSIM_PIXEL_MONO8;
    EXPECT_EQ(camsim_add_camera(&cam), 0);
    CamSimCamera bad = cam;
    bad.serial = "C2";
    bad.model = "a model name far longer than 31 bytes";
    {
        StderrCapture err(path("stderr"));
        EXPECT_EQ(camsim_add_camera(&bad), -1);
        EXPECT_NE(err.finish().find("model longer"), std::string::npos);
    }
    CamSimCamera null;
    camsim_camera_defaults(&null);
    null.null_entry = 1;
    EXPECT_EQ(camsim_add_camera(&null), 0);
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    MV_CC_DEVICE_INFO_LIST list;
    ASSERT_EQ(MV_CC_EnumDevices(5, &list), MV_OK);
    ASSERT_EQ(list.nDeviceNum, 2u);
    EXPECT_EQ(list.pDeviceInfo[1], nullptr);
    void* h = openCam("C1");
    MVCC_INTVALUE_EX iv;
    ASSERT_EQ(MV_CC_GetIntValueEx(h, "PayloadSize", &iv), MV_OK);
    EXPECT_EQ(iv.nCurValue, 1920 * 1080);
    // The journal copy is NUL-terminated and tells the full length.
    char small[8];
    EXPECT_EQ(camsim_journal(small, sizeof small), journal().size());
    EXPECT_EQ(std::string(small), journal().substr(0, 7));
    EXPECT_EQ(camsim_call_count("MV_CC_EnumDevices"), 2);
    EXPECT_EQ(camsim_call_count("MV_CC_Nothing"), -1);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

// ---- faults ------------------------------------------------------------------------------------

TEST_F(camsim, FaultOnEveryCall) {
    load("[camera]\n[fault]\nMV_CC_Initialize = 0x80000100\n");
    EXPECT_EQ(MV_CC_Initialize(), S(0x80000100));
    EXPECT_EQ(MV_CC_Initialize(), S(0x80000100));
    EXPECT_EQ(camsim_init_count(), 0);  // no other effect
    EXPECT_EQ(MV_CC_Finalize(), S(MV_E_CALLORDER));
    EXPECT_EQ(camsim_call_count("MV_CC_Initialize"), 2);
    EXPECT_EQ(journal(),
              "MV_CC_Initialize - - 0x80000100\nMV_CC_Initialize - - 0x80000100\n"
              "MV_CC_Finalize - - 0x80000003\n");
}

TEST_F(camsim, FaultOnCallRangeHasNoOtherEffect) {
    load(
        "[camera]\nwidth = 8\nheight = 8\n[fault]\nMV_CC_GetImageBuffer#2-3 = 0x80000007 # calls 2 and 3\n"
        "MV_CC_OpenDevice#1 = 0x80000203\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = create("SIM00001");
    EXPECT_EQ(MV_CC_OpenDevice(h, 1, 0), S(MV_E_ACCESS_DENIED));
    EXPECT_EQ(MV_CC_OpenDevice(h, 1, 0), MV_OK);  // the faulted call did not open it
    ASSERT_EQ(MV_CC_StartGrabbing(h), MV_OK);     // free run
    std::vector<unsigned> got;
    for (int call = 1; call <= 4; ++call) {
        MV_FRAME_OUT f;
        std::memset(&f, 0xAB, sizeof f);
        const int rc = MV_CC_GetImageBuffer(h, &f, 1000);
        if (call == 2 || call == 3) {
            EXPECT_EQ(rc, S(MV_E_NODATA));
            MV_FRAME_OUT untouched;
            std::memset(&untouched, 0xAB, sizeof untouched);
            EXPECT_EQ(std::memcmp(&f, &untouched, sizeof f), 0);
        } else {
            ASSERT_EQ(rc, MV_OK);
            got.push_back(f.stFrameInfo.nFrameNum);
            EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
        }
    }
    EXPECT_EQ(got, (std::vector<unsigned>{1, 2}));
    EXPECT_EQ(camsim_call_count("MV_CC_GetImageBuffer"), 4);

    EXPECT_EQ(camsim_set_fault("MV_CC_StopGrabbing", 0, 0, MV_E_RESOURCE), 0);
    EXPECT_EQ(MV_CC_StopGrabbing(h), S(MV_E_RESOURCE));
    camsim_clear_faults();
    EXPECT_EQ(MV_CC_StopGrabbing(h), MV_OK);  // it was still grabbing
    EXPECT_EQ(camsim_set_fault("MV_CC_Nothing", 0, 0, 1), -1);
    EXPECT_EQ(camsim_set_fault("MV_CC_StopGrabbing", 0, 5, 1), -1);
    EXPECT_EQ(camsim_set_fault("MV_CC_StopGrabbing", 5, 3, 1), -1);
    EXPECT_NE(journal().find("MV_CC_OpenDevice SIM00001 1 0x80000203\n"), std::string::npos);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

// ---- journal -------------------------------------------------------------------------------------

TEST_F(camsim, JournalLinesOfACaptureSession) {
    const std::string file = path("journal.txt");
    setenv("CAMSIM_JOURNAL", file.c_str(), 1);
    load(
        "[camera]\nserial = J1\nwidth = 8\nheight = 8\nexposures = 300\n"
        "[camera]\ntransport = gige\nserial = G1\n");
    camsim_time_scale(0);
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = create("J1");
    ASSERT_EQ(MV_CC_OpenDevice(h, 1, 0), MV_OK);
    EXPECT_EQ(MV_USB_SetTransferWays(h, 1), MV_OK);
    EXPECT_EQ(MV_CC_SetEnumValue(h, "TriggerMode", 1), MV_OK);
    EXPECT_EQ(MV_CC_SetEnumValue(h, "TriggerSource", 7), MV_OK);
    EXPECT_EQ(MV_CC_SetEnumValue(h, "Trigger Mode", 1), S(MV_E_SUPPORT));
    MVCC_ENUMVALUE ev;
    EXPECT_EQ(MV_CC_GetExposureAutoMode(h, &ev), MV_OK);
    EXPECT_EQ(MV_CC_StartGrabbing(h), MV_OK);
    EXPECT_EQ(MV_CC_SetCommandValue(h, "TriggerSoftware"), MV_OK);
    MV_FRAME_OUT f = kNoFrame;
    ASSERT_EQ(MV_CC_GetImageBuffer(h, &f, 1000), MV_OK);
    MVCC_FLOATVALUE fv;
    EXPECT_EQ(MV_CC_GetExposureTime(h, &fv), MV_OK);
    MVCC_INTVALUE_EX iv;
    EXPECT_EQ(MV_CC_GetIntValueEx(h, "PayloadSize", &iv), MV_OK);
    std::vector<unsigned char> out(4096);
    MV_SAVE_IMAGE_PARAM_EX3 p = saveParams(f, out, MV_Image_Jpeg);
    EXPECT_EQ(MV_CC_SaveImageEx3(h, &p), MV_OK);
    EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
    EXPECT_EQ(MV_CC_GetImageBuffer(h, &f, 1000), S(MV_E_NODATA));
    EXPECT_EQ(MV_CC_GetFloatValue(h, "ExposureTime", &fv), MV_OK);
    EXPECT_EQ(MV_CC_StopGrabbing(h), MV_OK);
    EXPECT_EQ(MV_CC_SetCommandValue(h, "DeviceReset"), MV_OK);
    EXPECT_EQ(MV_CC_CloseDevice(h), MV_OK);
    EXPECT_EQ(MV_CC_DestroyHandle(h), MV_OK);
    void* g = openCam("G1");
    EXPECT_EQ(MV_CC_GetOptimalPacketSize(g), 8164);
    EXPECT_EQ(MV_CC_SetIntValueEx(g, "GevSCPSPacketSize", 8164), MV_OK);
    EXPECT_EQ(MV_CC_DestroyHandle(g), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    const std::string want =
        "MV_CC_Initialize - - 0x0\n"
        "MV_CC_EnumDevices - 5 0x0\n"
        "MV_CC_CreateHandleWithoutLog J1 - 0x0\n"
        "MV_CC_OpenDevice J1 1 0x0\n"
        "MV_USB_SetTransferWays J1 1 0x0\n"
        "MV_CC_SetEnumValue J1 TriggerMode=1 0x0\n"
        "MV_CC_SetEnumValue J1 TriggerSource=7 0x0\n"
        "MV_CC_SetEnumValue J1 Trigger_Mode=1 0x80000001\n"
        "MV_CC_GetExposureAutoMode J1 - 0x0\n"
        "MV_CC_StartGrabbing J1 - 0x0\n"
        "MV_CC_SetCommandValue J1 TriggerSoftware 0x0\n"
        "MV_CC_GetImageBuffer J1 1000 0x0\n"
        "MV_CC_GetExposureTime J1 - 0x0\n"
        "MV_CC_GetIntValueEx J1 PayloadSize 0x0\n"
        "MV_CC_SaveImageEx3 J1 jpeg 0x0\n"
        "MV_CC_FreeImageBuffer J1 1 0x0\n"
        "MV_CC_GetImageBuffer J1 1000 0x80000007\n"
        "MV_CC_GetFloatValue J1 ExposureTime 0x0\n"
        "MV_CC_StopGrabbing J1 - 0x0\n"
        "MV_CC_SetCommandValue J1 DeviceReset 0x0\n"
        "MV_CC_CloseDevice J1 - 0x0\n"
        "MV_CC_DestroyHandle J1 - 0x0\n"
        "MV_CC_EnumDevices - 5 0x0\n"
        "MV_CC_CreateHandleWithoutLog G1 - 0x0\n"
        "MV_CC_OpenDevice G1 1 0x0\n"
        "MV_CC_GetOptimalPacketSize G1 - 0x1fe4\n"
        "MV_CC_SetIntValueEx G1 GevSCPSPacketSize=8164 0x0\n"
        "MV_CC_DestroyHandle G1 - 0x0\n"
        "MV_CC_Finalize - - 0x0\n";
    EXPECT_EQ(journal(), want);
    EXPECT_EQ(readFile(file), want);
}

TEST_F(camsim, FinalizeReportsLeakedHandlesAndFrames) {
    load("[camera]\nserial = L1\n[camera]\nserial = L2\nwidth = 4\nheight = 4\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* forgotten = create("L1");
    void* h = grabbing("L2", false);
    MV_FRAME_OUT f1 = kNoFrame, f2 = kNoFrame;
    ASSERT_EQ(MV_CC_GetImageBuffer(h, &f1, 0), MV_OK);
    ASSERT_EQ(MV_CC_GetImageBuffer(h, &f2, 0), MV_OK);
    EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f1), MV_OK);
    EXPECT_EQ(MV_CC_StopGrabbing(h), MV_OK);
    EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f2), S(MV_E_CALLORDER));  // too late: the stream is gone
    EXPECT_EQ(MV_CC_DestroyHandle(h), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    EXPECT_EQ(journalFrom("MV_CC_DestroyHandle"),
              "MV_CC_DestroyHandle L2 - 0x0\n"
              "LEAK L1 handle -\n"
              "LEAK L2 frame 2\n"
              "MV_CC_Finalize - - 0x0\n");
    EXPECT_EQ(MV_CC_DestroyHandle(forgotten), S(MV_E_HANDLE));  // finalize took it
}

// ---- strictness ------------------------------------------------------------------------------------

TEST_F(camsim, CallsOutOfOrderFail) {
    enum Stage { kNoInit, kCreated, kOpened, kGrabbing, kDestroyed };
    static int notAHandle = 0;
    MV_CC_DEVICE_INFO usb = {};
    usb.nTLayerType = MV_USB_DEVICE;
    std::memcpy(usb.SpecialInfo.stUsb3VInfo.chSerialNumber, "SIM00001", 9);
    MV_FRAME_OUT frame = kNoFrame;
    MVCC_INTVALUE_EX iv;
    MVCC_FLOATVALUE fv;
    MV_CC_DEVICE_INFO_LIST list;
    unsigned char pixels[12] = {};
    unsigned char out[256];
    MV_SAVE_IMAGE_PARAM_EX3 save = {};
    save.pData = pixels;
    save.nDataLen = sizeof pixels;
    save.enPixelType = PixelType_Gvsp_RGB8_Packed;
    save.nWidth = save.nHeight = 2;
    save.pImageBuffer = out;
    save.nBufferSize = sizeof out;
    save.enImageType = MV_Image_Bmp;
    const struct {
        const char* what;
        Stage stage;
        std::function<int(void*)> call;
        unsigned expect;
    } cases[] = {
        {"enumerate before init", kNoInit, [&](void*) { return MV_CC_EnumDevices(5, &list); },
         MV_E_CALLORDER},
        {"create before init", kNoInit,
         [&](void*) {
             void* h;
             return MV_CC_CreateHandleWithoutLog(&h, &usb);
         },
         MV_E_CALLORDER},
        {"finalize before init", kNoInit, [](void*) { return MV_CC_Finalize(); }, MV_E_CALLORDER},
        {"enumerate NULL list", kCreated, [](void*) { return MV_CC_EnumDevices(5, nullptr); },
         MV_E_PARAMETER},
        {"create NULL entry", kCreated,
         [](void*) {
             void* h;
             return MV_CC_CreateHandleWithoutLog(&h, nullptr);
         },
         MV_E_PARAMETER},
        {"feature get on closed", kCreated,
         [&](void* h) { return MV_CC_GetIntValueEx(h, "PayloadSize", &iv); }, MV_E_CALLORDER},
        {"enum set on closed", kCreated, [](void* h) { return MV_CC_SetEnumValue(h, "TriggerMode", 1); },
         MV_E_CALLORDER},
        {"exposure on closed", kCreated, [&](void* h) { return MV_CC_GetExposureTime(h, &fv); },
         MV_E_CALLORDER},
        {"packet size on closed", kCreated, [](void* h) { return MV_CC_GetOptimalPacketSize(h); },
         MV_E_CALLORDER},
        {"start on closed", kCreated, [](void* h) { return MV_CC_StartGrabbing(h); }, MV_E_CALLORDER},
        {"stop on closed", kCreated, [](void* h) { return MV_CC_StopGrabbing(h); }, MV_E_CALLORDER},
        {"close on closed", kCreated, [](void* h) { return MV_CC_CloseDevice(h); }, MV_E_CALLORDER},
        {"save on closed", kCreated, [&](void* h) { return MV_CC_SaveImageEx3(h, &save); }, MV_E_CALLORDER},
        {"reset on closed", kCreated, [](void* h) { return MV_CC_SetCommandValue(h, "DeviceReset"); },
         MV_E_CALLORDER},
        {"open twice", kOpened, [](void* h) { return MV_CC_OpenDevice(h, 1, 0); }, MV_E_CALLORDER},
        {"open mode 0", kCreated, [](void* h) { return MV_CC_OpenDevice(h, 0, 0); }, MV_E_PARAMETER},
        {"stop not grabbing", kOpened, [](void* h) { return MV_CC_StopGrabbing(h); }, MV_E_CALLORDER},
        {"get frame not grabbing", kOpened, [&](void* h) { return MV_CC_GetImageBuffer(h, &frame, 0); },
         MV_E_CALLORDER},
        {"free not grabbing", kOpened, [&](void* h) { return MV_CC_FreeImageBuffer(h, &frame); },
         MV_E_CALLORDER},
        {"trigger not grabbing", kOpened, [](void* h) { return MV_CC_SetCommandValue(h, "TriggerSoftware"); },
         MV_E_CALLORDER},
        {"unknown int", kOpened, [&](void* h) { return MV_CC_GetIntValueEx(h, "Gain", &iv); }, MV_E_SUPPORT},
        {"int read as float", kOpened, [&](void* h) { return MV_CC_GetFloatValue(h, "Width", &fv); },
         MV_E_SUPPORT},
        {"read-only int", kOpened, [](void* h) { return MV_CC_SetIntValueEx(h, "PayloadSize", 1); },
         MV_E_SUPPORT},
        {"GigE feature on USB3", kOpened,
         [&](void* h) { return MV_CC_GetIntValueEx(h, "GevSCPSPacketSize", &iv); }, MV_E_SUPPORT},
        {"unknown command", kOpened, [](void* h) { return MV_CC_SetCommandValue(h, "Explode"); },
         MV_E_SUPPORT},
        {"trigger mode 2", kOpened, [](void* h) { return MV_CC_SetEnumValue(h, "TriggerMode", 2); },
         MV_E_PARAMETER},
        {"trigger source 9", kOpened, [](void* h) { return MV_CC_SetEnumValue(h, "TriggerSource", 9); },
         MV_E_PARAMETER},
        {"NULL key", kOpened, [&](void* h) { return MV_CC_GetIntValueEx(h, nullptr, &iv); }, MV_E_PARAMETER},
        {"NULL value", kOpened, [](void* h) { return MV_CC_GetExposureTime(h, nullptr); }, MV_E_PARAMETER},
        {"transfer ways 0", kOpened, [](void* h) { return MV_USB_SetTransferWays(h, 0); }, MV_E_PARAMETER},
        {"start twice", kGrabbing, [](void* h) { return MV_CC_StartGrabbing(h); }, MV_E_CALLORDER},
        {"trigger from line 0", kGrabbing,
         [](void* h) { return MV_CC_SetCommandValue(h, "TriggerSoftware"); }, MV_E_PRECONDITION},
        {"free a foreign frame", kGrabbing,
         [&](void* h) {
             frame.pBufAddr = pixels;
             return MV_CC_FreeImageBuffer(h, &frame);
         },
         MV_E_PARAMETER},
        {"get frame NULL", kGrabbing, [](void* h) { return MV_CC_GetImageBuffer(h, nullptr, 0); },
         MV_E_PARAMETER},
        {"destroyed: open", kDestroyed, [](void* h) { return MV_CC_OpenDevice(h, 1, 0); }, MV_E_HANDLE},
        {"destroyed: destroy", kDestroyed, [](void* h) { return MV_CC_DestroyHandle(h); }, MV_E_HANDLE},
        {"destroyed: frame", kDestroyed, [&](void* h) { return MV_CC_GetImageBuffer(h, &frame, 0); },
         MV_E_HANDLE},
        {"unknown pointer", kOpened, [](void*) { return MV_CC_StartGrabbing(&notAHandle); }, MV_E_HANDLE},
        {"NULL handle", kOpened, [&](void*) { return MV_CC_GetIntValueEx(nullptr, "Width", &iv); },
         MV_E_HANDLE},
        {"packet size of NULL", kOpened, [](void*) { return MV_CC_GetOptimalPacketSize(nullptr); },
         MV_E_HANDLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        camsim_use_default();
        camsim_time_scale(0);
        void* h = nullptr;
        if (c.stage != kNoInit) {
            ASSERT_EQ(MV_CC_Initialize(), MV_OK);
            h = create("SIM00001");
        }
        if (c.stage == kOpened || c.stage == kGrabbing) {
            ASSERT_EQ(MV_CC_OpenDevice(h, 1, 0), MV_OK);
        }
        if (c.stage == kGrabbing) {
            ASSERT_EQ(MV_CC_StartGrabbing(h), MV_OK);
        }
        if (c.stage == kDestroyed) {
            ASSERT_EQ(MV_CC_DestroyHandle(h), MV_OK);
        }
        EXPECT_EQ(c.call(h), S(c.expect));
    }
}

// Runs `fn` in a forked child and returns its result, or -1 when the child did not answer in 20 s.
int inChild(const std::function<int()>& fn) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int r = fn();
        ssize_t n = write(fds[1], &r, sizeof r);
        _exit(n == sizeof r ? 0 : 1);
    }
    close(fds[1]);
    int r = -1;
    pollfd p{fds[0], POLLIN, 0};
    if (pid < 0 || poll(&p, 1, 20000) != 1 || read(fds[0], &r, sizeof r) != sizeof r) r = -1;
    close(fds[0]);
    if (pid > 0) {
        if (r == -1) kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return r;
}

TEST_F(camsim, ExclusiveOpenAcrossHandlesAndProcesses) {
    load("[camera]\nreset_downtime_ms = 0\n");  // the default camera, listed again at once after a reset
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* a = openCam("SIM00001");
    void* b = create("SIM00001");
    EXPECT_EQ(MV_CC_OpenDevice(b, 1, 0), S(MV_E_ACCESS_DENIED));
    EXPECT_EQ(MV_CC_OpenDevice(b, 3, 0), S(MV_E_ACCESS_DENIED));
    EXPECT_EQ(access(path("camsim-SIM00001.lock").c_str(), F_OK), 0);
    auto otherProcess = [this]() {
        return inChild([this]() {
            void* h = nullptr;
            if (MV_CC_Initialize() != MV_OK) return 1;
            MV_CC_DEVICE_INFO* e = entry("SIM00001");
            if (e == nullptr || MV_CC_CreateHandleWithoutLog(&h, e) != MV_OK) return 1;
            return MV_CC_OpenDevice(h, 1, 0);
        });
    };
    EXPECT_EQ(otherProcess(), S(MV_E_ACCESS_DENIED));
    EXPECT_EQ(MV_CC_CloseDevice(a), MV_OK);
    EXPECT_EQ(otherProcess(), MV_OK);
    EXPECT_EQ(MV_CC_OpenDevice(b, 1, 0), MV_OK);
    EXPECT_EQ(MV_CC_OpenDevice(a, 1, 0), S(MV_E_ACCESS_DENIED));
    EXPECT_EQ(MV_CC_DestroyHandle(b), MV_OK);  // destroying releases it too
    EXPECT_EQ(MV_CC_OpenDevice(a, 1, 0), MV_OK);
    EXPECT_EQ(MV_CC_SetCommandValue(a, "DeviceReset"), MV_OK);  // the device reboots: free again
    EXPECT_EQ(otherProcess(), MV_OK);
    MVCC_INTVALUE_EX iv;
    EXPECT_EQ(MV_CC_GetIntValueEx(a, "Width", &iv), S(MV_E_PRECONDITION));
    EXPECT_EQ(MV_CC_CloseDevice(a), MV_OK);
    EXPECT_EQ(MV_CC_OpenDevice(a, 1, 0), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);  // finalize releases what is left open
    EXPECT_EQ(otherProcess(), MV_OK);
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    EXPECT_EQ(MV_CC_OpenDevice(create("SIM00001"), 1, 0), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, InitializeAndFinalizeNest) {
    camsim_use_default();
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    EXPECT_EQ(camsim_init_count(), 2);
    void* h = create("SIM00001");
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    EXPECT_EQ(MV_CC_OpenDevice(h, 1, 0), MV_OK);  // still initialised: the handle lives
    MV_CC_DEVICE_INFO_LIST list;
    EXPECT_EQ(MV_CC_EnumDevices(5, &list), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    EXPECT_EQ(MV_CC_EnumDevices(5, &list), S(MV_E_CALLORDER));
    EXPECT_EQ(MV_CC_CloseDevice(h), S(MV_E_HANDLE));
    EXPECT_EQ(MV_CC_Finalize(), S(MV_E_CALLORDER));
    EXPECT_EQ(camsim_init_count(), 0);
}

// ---- frames ----------------------------------------------------------------------------------------

TEST_F(camsim, SoftwareTriggerQueuesFrames) {
    load("[camera]\nwidth = 16\nheight = 8\nexposures = 100, 200, 300\n");
    camsim_time_scale(0);
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = grabbing("SIM00001");
    MV_FRAME_OUT f = kNoFrame;
    EXPECT_EQ(MV_CC_GetImageBuffer(h, &f, 1000), S(MV_E_NODATA));
    MVCC_FLOATVALUE fv;
    ASSERT_EQ(MV_CC_GetExposureTime(h, &fv), MV_OK);
    EXPECT_EQ(fv.fCurValue, 100.0f);  // before any frame: the first value
    const float want[] = {100, 200, 300, 300, 300};
    for (unsigned n = 1; n <= 5; ++n) {
        ASSERT_EQ(MV_CC_SetCommandValue(h, "TriggerSoftware"), MV_OK);
        ASSERT_EQ(MV_CC_GetImageBuffer(h, &f, 1000), MV_OK);
        EXPECT_EQ(f.stFrameInfo.nFrameNum, n);
        EXPECT_EQ(f.stFrameInfo.nWidth, 16);
        EXPECT_EQ(f.stFrameInfo.nHeight, 8);
        EXPECT_EQ(f.stFrameInfo.enPixelType, PixelType_Gvsp_RGB8_Packed);
        EXPECT_EQ(f.stFrameInfo.nFrameLen, 16u * 8 * 3);
        ASSERT_EQ(MV_CC_GetExposureTime(h, &fv), MV_OK);
        EXPECT_EQ(fv.fCurValue, want[n - 1]);
        ASSERT_EQ(MV_CC_GetFloatValue(h, "ExposureTime", &fv), MV_OK);
        EXPECT_EQ(fv.fCurValue, want[n - 1]);
        EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
        EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), S(MV_E_PARAMETER));  // given back twice
    }
    // Two triggers, two frames; frame numbers go on across a restart of the stream.
    EXPECT_EQ(MV_CC_SetCommandValue(h, "TriggerSoftware"), MV_OK);
    EXPECT_EQ(MV_CC_SetCommandValue(h, "TriggerSoftware"), MV_OK);
    EXPECT_EQ(MV_CC_StopGrabbing(h), MV_OK);  // drops the queued triggers
    EXPECT_EQ(MV_CC_StartGrabbing(h), MV_OK);
    EXPECT_EQ(MV_CC_GetImageBuffer(h, &f, 1000), S(MV_E_NODATA));
    EXPECT_EQ(MV_CC_SetCommandValue(h, "TriggerSoftware"), MV_OK);
    ASSERT_EQ(MV_CC_GetImageBuffer(h, &f, 1000), MV_OK);
    EXPECT_EQ(f.stFrameInfo.nFrameNum, 6u);
    EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
    EXPECT_EQ(MV_CC_DestroyHandle(h), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    EXPECT_EQ(journal().find("LEAK"), std::string::npos);
}

TEST_F(camsim, FreeRunLimitsOutstandingFrames) {
    load("[camera]\nwidth = 4\nheight = 4\n[camera]\nserial = B\nwidth = 4\nheight = 4\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = grabbing("SIM00001", false);
    void* other = grabbing("B", false);
    MV_FRAME_OUT f[5];
    for (int i = 0; i < 4; ++i) ASSERT_EQ(MV_CC_GetImageBuffer(h, &f[i], 0), MV_OK);
    EXPECT_EQ(MV_CC_GetImageBuffer(h, &f[4], 0), S(MV_E_RESOURCE));
    EXPECT_EQ(MV_CC_FreeImageBuffer(other, &f[0]), S(MV_E_PARAMETER));  // not its frame
    for (int i = 0; i < 4; ++i) EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f[i]), MV_OK);
    ASSERT_EQ(MV_CC_GetImageBuffer(h, &f[4], 0), MV_OK);
    EXPECT_EQ(f[4].stFrameInfo.nFrameNum, 5u);
    EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f[4]), MV_OK);
    EXPECT_EQ(MV_CC_DestroyHandle(h), MV_OK);
    EXPECT_EQ(MV_CC_DestroyHandle(other), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    EXPECT_EQ(journal().find("LEAK"), std::string::npos);
}

TEST_F(camsim, GetImageBufferWaitsScaledThenReportsNoData) {
    load("[camera]\nwidth = 4\nheight = 4\nframes = none\n");
    ASSERT_EQ(camsim_time_scale(0.02), 0);
    EXPECT_EQ(camsim_time_scale(-1), -1);
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = grabbing("SIM00001");
    EXPECT_EQ(MV_CC_SetCommandValue(h, "TriggerSoftware"), MV_OK);  // accepted, but no frame comes
    MV_FRAME_OUT f = kNoFrame;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(MV_CC_GetImageBuffer(h, &f, 1000), S(MV_E_NODATA));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(20));
    EXPECT_LT(waited, std::chrono::milliseconds(900));
    EXPECT_EQ(f.pBufAddr, nullptr);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, TriggerFromAnotherThreadEndsTheWait) {
    load("[camera]\nwidth = 4\nheight = 4\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = grabbing("SIM00001");
    int rc = -1;
    MV_FRAME_OUT f = kNoFrame;
    std::thread waiter([&] { rc = MV_CC_GetImageBuffer(h, &f, 10000); });
    EXPECT_EQ(MV_CC_SetCommandValue(h, "TriggerSoftware"), MV_OK);
    waiter.join();  // bounded by the 10 s wait
    ASSERT_EQ(rc, MV_OK);
    EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, FramesAreDeterministicTestPatterns) {
    load("[camera]\nserial = A\n[camera]\nserial = T\nwidth = 3\nheight = 2\npixel = mono8\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* a = grabbing("A", false);
    unsigned n1 = 0, n2 = 0;
    const std::vector<unsigned char> f1 = grabCopy(a, &n1), f2 = grabCopy(a, &n2);
    ASSERT_EQ(f1.size(), 1920u * 1080 * 3);
    EXPECT_EQ(n1, 1u);
    EXPECT_EQ(n2, 2u);
    EXPECT_NE(f1, f2);
    // Frame 1 shows a "1": the 5x7 glyph scaled 22 times from (44,44) has its top row at column 2.
    const unsigned char* px = &f1[(45 * 1920 + 44 + 2 * 22 + 1) * 3];
    EXPECT_EQ(px[0] + px[1] + px[2], 0);
    const unsigned char* bg = &f1[(1000 * 1920 + 1000) * 3];
    EXPECT_GE(std::min({bg[0], bg[1], bg[2]}), 32);
    EXPECT_EQ(MV_CC_DestroyHandle(a), MV_OK);
    void* again = grabbing("A", false);
    EXPECT_EQ(grabCopy(again), f1);  // the same number, the same bytes
    // Even where no digit fits, numbers differ.
    void* tiny = grabbing("T", false);
    const std::vector<unsigned char> t1 = grabCopy(tiny), t2 = grabCopy(tiny);
    EXPECT_EQ(t1.size(), 6u);
    EXPECT_NE(t1, t2);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

// ---- image files -----------------------------------------------------------------------------------

uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

struct Saved {
    int rc;
    std::vector<unsigned char> bytes;  // nImageLen bytes
    bool guardIntact;
};

// Grabs one frame, saves it with the given type and buffer size (default: plenty), checks that
// nothing beyond nBufferSize was written, and gives the frame back.
Saved saveFrame(void* h, MV_SAVE_IAMGE_TYPE type, std::vector<unsigned char>* frame,
                unsigned bufferSize = 1 << 20, unsigned quality = 90) {
    MV_FRAME_OUT f = kNoFrame;
    EXPECT_EQ(MV_CC_GetImageBuffer(h, &f, 0), MV_OK);
    frame->assign(f.pBufAddr, f.pBufAddr + f.stFrameInfo.nFrameLen);
    std::vector<unsigned char> buf(bufferSize + 64, 0xA5);
    MV_SAVE_IMAGE_PARAM_EX3 p = saveParams(f, buf, type, quality);
    p.nBufferSize = bufferSize;
    Saved s;
    s.rc = MV_CC_SaveImageEx3(h, &p);
    s.guardIntact =
        std::all_of(buf.begin() + bufferSize, buf.end(), [](unsigned char c) { return c == 0xA5; });
    if (s.rc != MV_OK)
        s.guardIntact =
            s.guardIntact && std::all_of(buf.begin(), buf.end(), [](unsigned char c) { return c == 0xA5; });
    s.bytes.assign(buf.begin(), buf.begin() + std::min(p.nImageLen, bufferSize));
    EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
    return s;
}

TEST_F(camsim, SavesBmpFiles) {
    load(
        "[camera]\nserial = C\nwidth = 7\nheight = 5\n[camera]\nserial = M\nwidth = 7\nheight = 5\npixel = "
        "mono8\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    for (const bool mono : {false, true}) {
        SCOPED_TRACE(mono ? "mono8" : "rgb8");
        void* h = grabbing(mono ? "M" : "C", false);
        std::vector<unsigned char> frame;
        const unsigned bpp = mono ? 1 : 3, row = (7 * bpp + 3) / 4 * 4, offset = mono ? 1078 : 54;
        const unsigned size = offset + row * 5;
        const Saved s = saveFrame(h, MV_Image_Bmp, &frame, size);
        ASSERT_EQ(s.rc, MV_OK);
        EXPECT_TRUE(s.guardIntact);
        ASSERT_EQ(s.bytes.size(), size);
        const unsigned char* b = s.bytes.data();
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        EXPECT_EQ(le32(b + 2), size);
        EXPECT_EQ(le32(b + 10), offset);
        EXPECT_EQ(le32(b + 14), 40u);
        EXPECT_EQ(le32(b + 18), 7u);
        EXPECT_EQ(le32(b + 22), 5u);
        EXPECT_EQ(b[28], bpp * 8);
        EXPECT_EQ(le32(b + 30), 0u);
        for (unsigned i = 0; mono && i < 256; ++i) EXPECT_EQ(le32(b + 54 + 4 * i), i | i << 8 | i << 16);
        for (unsigned y = 0; y < 5; ++y) {
            for (unsigned x = 0; x < 7; ++x) {
                const unsigned char* file = b + offset + (4 - y) * row + x * bpp;  // bottom-up
                const unsigned char* src = &frame[(y * 7 + x) * bpp];
                for (unsigned c = 0; c < bpp; ++c)
                    EXPECT_EQ(file[c], src[bpp - 1 - c]) << x << "," << y;  // BGR
            }
        }
        const Saved tooSmall = saveFrame(h, MV_Image_Bmp, &frame, size - 1);
        EXPECT_EQ(tooSmall.rc, S(MV_E_NOENOUGH_BUF));
        EXPECT_TRUE(tooSmall.guardIntact);
        EXPECT_TRUE(tooSmall.bytes.empty());
    }
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, SavesJpegFiles) {
    load(
        "[camera]\nserial = C\nwidth = 64\nheight = 48\n[camera]\nserial = M\nwidth = 64\nheight = 48\npixel "
        "= mono8\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    for (const bool mono : {false, true}) {
        SCOPED_TRACE(mono ? "mono8" : "rgb8");
        void* h = grabbing(mono ? "M" : "C", false);
        std::vector<unsigned char> frame;
        const Saved s = saveFrame(h, MV_Image_Jpeg, &frame);
        ASSERT_EQ(s.rc, MV_OK);
        ASSERT_GT(s.bytes.size(), 100u);
        tjhandle tj = tjInitDecompress();
        int w = 0, ht = 0, sub = 0, cs = 0;
        ASSERT_EQ(tjDecompressHeader3(tj, s.bytes.data(), s.bytes.size(), &w, &ht, &sub, &cs), 0);
        EXPECT_EQ(w, 64);
        EXPECT_EQ(ht, 48);
        EXPECT_EQ(sub == TJSAMP_GRAY, mono);
        std::vector<unsigned char> pixels(frame.size());
        ASSERT_EQ(tjDecompress2(tj, s.bytes.data(), s.bytes.size(), pixels.data(), 64, 0, 48,
                                mono ? TJPF_GRAY : TJPF_RGB, 0),
                  0);
        tjDestroy(tj);
        double err = 0;
        for (std::size_t i = 0; i < frame.size(); ++i) err += std::abs(int(frame[i]) - int(pixels[i]));
        EXPECT_LT(err / frame.size(), 6.0);

        const Saved tooSmall = saveFrame(h, MV_Image_Jpeg, &frame, static_cast<unsigned>(s.bytes.size() - 1));
        EXPECT_EQ(tooSmall.rc, S(MV_E_NOENOUGH_BUF));
        EXPECT_TRUE(tooSmall.guardIntact);
        for (unsigned q : {49u, 100u})
            EXPECT_EQ(saveFrame(h, MV_Image_Jpeg, &frame, 1 << 20, q).rc, S(MV_E_PARAMETER));
        EXPECT_EQ(saveFrame(h, MV_Image_Png, &frame).rc, S(MV_E_SUPPORT));
        EXPECT_EQ(saveFrame(h, MV_Image_Undefined, &frame).rc, S(MV_E_PARAMETER));
    }
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, SaveImageValidatesItsInput) {
    camsim_use_default();
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = openCam("SIM00001");
    unsigned char pixels[4 * 4 * 3] = {};
    unsigned char out[512];
    auto params = [&]() {
        MV_SAVE_IMAGE_PARAM_EX3 p = {};
        p.pData = pixels;
        p.nDataLen = sizeof pixels;
        p.enPixelType = PixelType_Gvsp_RGB8_Packed;
        p.nWidth = p.nHeight = 4;
        p.pImageBuffer = out;
        p.nBufferSize = sizeof out;
        p.enImageType = MV_Image_Bmp;
        return p;
    };
    const std::vector<std::pair<const char*, std::function<void(MV_SAVE_IMAGE_PARAM_EX3&)>>> bad = {
        {"no data", [](auto& p) { p.pData = nullptr; }},
        {"no output", [](auto& p) { p.pImageBuffer = nullptr; }},
        {"short data", [](auto& p) { p.nDataLen = 4 * 4 * 3 - 1; }},
        {"zero width", [](auto& p) { p.nWidth = 0; }},
        {"zero height", [](auto& p) { p.nHeight = 0; }},
        {"unknown pixel type", [](auto& p) { p.enPixelType = PixelType_Gvsp_Undefined; }},
        {"method 4", [](auto& p) { p.iMethodValue = 4; }},
        {"undefined type", [](auto& p) { p.enImageType = MV_Image_Undefined; }},
        {"type 9",
         [](auto& p) {
             const unsigned v = 9;
             std::memcpy(&p.enImageType, &v, sizeof v);
         }},
        {"pixel type 7",
         [](auto& p) {
             const unsigned v = 7;
             std::memcpy(&p.enPixelType, &v, sizeof v);
         }},
    };
    for (const auto& [what, change] : bad) {
        SCOPED_TRACE(what);
        MV_SAVE_IMAGE_PARAM_EX3 p = params();
        change(p);
        EXPECT_EQ(MV_CC_SaveImageEx3(h, &p), S(MV_E_PARAMETER));
    }
    MV_SAVE_IMAGE_PARAM_EX3 p = params();
    p.iMethodValue = 3;
    EXPECT_EQ(MV_CC_SaveImageEx3(h, &p), MV_OK);
    EXPECT_EQ(p.nImageLen, 54u + 12 * 4);
    EXPECT_EQ(MV_CC_SaveImageEx3(h, nullptr), S(MV_E_PARAMETER));
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

// ---- transports ------------------------------------------------------------------------------------

TEST_F(camsim, GigEPacketSize) {
    load(
        "[camera]\ntransport = gige\nserial = G\n[camera]\ntransport = gige\nserial = Z\npacket_size = 0\n"
        "[camera]\ntransport = gige\nserial = N\npacket_size = -5\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* g = openCam("G");
    EXPECT_EQ(MV_CC_GetOptimalPacketSize(g), 8164);
    EXPECT_EQ(MV_USB_SetTransferWays(g, 1), S(MV_E_SUPPORT));
    MVCC_INTVALUE_EX iv;
    ASSERT_EQ(MV_CC_GetIntValueEx(g, "GevSCPSPacketSize", &iv), MV_OK);
    EXPECT_EQ(iv.nCurValue, 1500);
    EXPECT_EQ(MV_CC_SetIntValueEx(g, "GevSCPSPacketSize", 8165), S(MV_E_PARAMETER));
    EXPECT_EQ(MV_CC_SetIntValueEx(g, "GevSCPSPacketSize", 8164), MV_OK);
    ASSERT_EQ(MV_CC_GetIntValueEx(g, "GevSCPSPacketSize", &iv), MV_OK);
    EXPECT_EQ(iv.nCurValue, 8164);
    ASSERT_EQ(MV_CC_StartGrabbing(g), MV_OK);
    EXPECT_EQ(MV_CC_SetIntValueEx(g, "GevSCPSPacketSize", 1500), S(MV_E_CALLORDER));
    EXPECT_EQ(MV_CC_GetOptimalPacketSize(openCam("Z")), 0);
    EXPECT_EQ(MV_CC_GetOptimalPacketSize(openCam("N")), -5);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, ConcurrentCapturesOnSeveralCameras) {
    load(
        "[camera]\nserial = T1\nwidth = 32\nheight = 24\n[camera]\nserial = T2\nwidth = 32\nheight = 24\n"
        "[camera]\ntransport = gige\nserial = T3\nwidth = 32\nheight = 24\npixel = mono8\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    std::vector<std::thread> threads;
    std::vector<int> failures(3, 0);
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([this, t, &failures] {
            int& bad = failures[t];
            void* h = nullptr;
            const MV_CC_DEVICE_INFO* e = entry("T" + std::to_string(t + 1));
            bad += e == nullptr || MV_CC_CreateHandleWithoutLog(&h, e) != MV_OK;
            bad += MV_CC_OpenDevice(h, 1, 0) != MV_OK;
            bad += MV_CC_SetEnumValue(h, "TriggerMode", 1) != MV_OK;
            bad += MV_CC_SetEnumValue(h, "TriggerSource", 7) != MV_OK;
            bad += MV_CC_StartGrabbing(h) != MV_OK;
            for (int i = 0; i < 20; ++i) {
                std::vector<unsigned char> jpeg(1 << 16);
                MV_FRAME_OUT f = kNoFrame;
                MVCC_FLOATVALUE fv;
                bad += MV_CC_SetCommandValue(h, "TriggerSoftware") != MV_OK;
                bad += MV_CC_GetImageBuffer(h, &f, 5000) != MV_OK;
                bad += MV_CC_GetExposureTime(h, &fv) != MV_OK;
                MV_SAVE_IMAGE_PARAM_EX3 p = saveParams(f, jpeg, MV_Image_Jpeg, 80);
                bad += MV_CC_SaveImageEx3(h, &p) != MV_OK;
                bad += MV_CC_FreeImageBuffer(h, &f) != MV_OK;
                bad += camsim_journal(nullptr, 0) == 0;
            }
            bad += MV_CC_StopGrabbing(h) != MV_OK;
            bad += MV_CC_CloseDevice(h) != MV_OK;
            bad += MV_CC_DestroyHandle(h) != MV_OK;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures, std::vector<int>(3, 0));
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    EXPECT_EQ(journal().find("LEAK"), std::string::npos);
    EXPECT_EQ(camsim_call_count("MV_CC_GetImageBuffer"), 60);
}

}  // namespace

// ---- reboot after DeviceReset, misreported image lengths ------------------------------------

// Serials of the USB3/GigE cameras the enumeration lists now.
std::vector<std::string> listedSerials() {
    MV_CC_DEVICE_INFO_LIST list;
    if (MV_CC_EnumDevices(MV_GIGE_DEVICE | MV_USB_DEVICE, &list) != MV_OK) return {"enumeration failed"};
    std::vector<std::string> out;
    for (unsigned i = 0; i < list.nDeviceNum; ++i) {
        if (list.pDeviceInfo[i] != nullptr) out.push_back(entrySerial(list.pDeviceInfo[i]));
    }
    return out;
}

TEST_F(camsim, ResetCameraLeavesTheListForItsDowntime) {
    CamSimCamera cam;
    camsim_camera_defaults(&cam);
    EXPECT_EQ(cam.reset_downtime_ms, 2000u);
    EXPECT_EQ(cam.image_len, CAMSIM_IMAGE_LEN_NORMAL);
    cam.reset_downtime_ms = 3600001u;
    {
        StderrCapture err(path("stderr"));
        EXPECT_EQ(camsim_add_camera(&cam), -1);
        EXPECT_NE(err.finish().find("reset_downtime_ms"), std::string::npos);
    }
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* name;
        std::string scenario;
        double timeScale;
        double downMs;  // how long the reset camera R stays off the list
    } cases[] = {
        {"300 ms", "[camera]\nserial = R\nreset_downtime_ms = 300\n[camera]\nserial = K\n", 1.0, 300},
        {"default 2000 ms, scaled by 0.1", "[camera]\nserial = R\n[camera]\nserial = K\n", 0.1, 200},
        {"0 ms: listed again at once", "[camera]\nserial = R\nreset_downtime_ms = 0\n[camera]\nserial = K\n",
         1.0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        load(c.scenario);
        ASSERT_EQ(camsim_time_scale(c.timeScale), 0);
        ASSERT_EQ(MV_CC_Initialize(), MV_OK);
        void* h = openCam("R");
        const auto before = Clock::now();
        ASSERT_EQ(MV_CC_SetCommandValue(h, "DeviceReset"), MV_OK);
        if (c.downMs > 0) {
            // Gone at once, the other camera unaffected; the handle made before still closes.
            EXPECT_EQ(listedSerials(), std::vector<std::string>{"K"});
            EXPECT_EQ(MV_CC_CloseDevice(h), MV_OK);
            EXPECT_EQ(listedSerials(), std::vector<std::string>{"K"});
        } else {
            EXPECT_EQ(MV_CC_CloseDevice(h), MV_OK);
        }
        Clock::time_point back{};
        for (const auto until = Clock::now() + std::chrono::seconds(20); Clock::now() < until;) {
            if (listedSerials() == std::vector<std::string>{"R", "K"}) {
                back = Clock::now();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_NE(back, Clock::time_point{}) << "the camera never came back";
        const double ms = std::chrono::duration<double, std::milli>(back - before).count();
        EXPECT_GE(ms, c.downMs);
        EXPECT_LT(ms, c.downMs + 10000);
        // Back in the list it can be opened afresh.
        void* again = openCam("R");
        EXPECT_EQ(MV_CC_DestroyHandle(again), MV_OK);
        EXPECT_EQ(MV_CC_DestroyHandle(h), MV_OK);
        EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    }
    // A reload brings a rebooting camera back at once.
    load("[camera]\nserial = R\nreset_downtime_ms = 600000\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    void* h = openCam("R");
    ASSERT_EQ(MV_CC_SetCommandValue(h, "DeviceReset"), MV_OK);
    EXPECT_TRUE(listedSerials().empty());
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
    load("[camera]\nserial = R\nreset_downtime_ms = 600000\n");
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    EXPECT_EQ(listedSerials(), std::vector<std::string>{"R"});
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

TEST_F(camsim, ImageLenMisreportsASuccessfulSave) {
    CamSimCamera cam;
    camsim_camera_defaults(&cam);
    cam.image_len = 3;
    {
        StderrCapture err(path("stderr"));
        EXPECT_EQ(camsim_add_camera(&cam), -1);
        EXPECT_NE(err.finish().find("image_len"), std::string::npos);
    }
    const char* const cams =
        "[camera]\nserial = N\nwidth = 8\nheight = 6\nimage_len = normal\n"
        "[camera]\nserial = Z\nwidth = 8\nheight = 6\nimage_len = zero\n"
        "[camera]\nserial = O\nwidth = 8\nheight = 6\nimage_len = overflow\n";
    load(cams);
    cam.serial = "A";
    cam.image_len = CAMSIM_IMAGE_LEN_OVERFLOW;
    ASSERT_EQ(camsim_add_camera(&cam), 0);
    ASSERT_EQ(MV_CC_Initialize(), MV_OK);
    for (const MV_SAVE_IAMGE_TYPE type : {MV_Image_Bmp, MV_Image_Jpeg}) {
        // The true image, from the camera that reports honestly; every camera's frame 1 is the same.
        std::vector<unsigned char> truth;
        for (const char* serial : {"N", "Z", "O"}) {
            SCOPED_TRACE(std::string(serial) + (type == MV_Image_Bmp ? " bmp" : " jpeg"));
            void* h = grabbing(serial, false);
            MV_FRAME_OUT f = kNoFrame;
            ASSERT_EQ(MV_CC_GetImageBuffer(h, &f, 0), MV_OK);
            const unsigned size = 4096;
            std::vector<unsigned char> buf(size + 64, 0xA5);
            MV_SAVE_IMAGE_PARAM_EX3 p = saveParams(f, buf, type);
            p.nBufferSize = size;
            ASSERT_EQ(MV_CC_SaveImageEx3(h, &p), MV_OK);
            EXPECT_TRUE(
                std::all_of(buf.begin() + size, buf.end(), [](unsigned char b) { return b == 0xA5; }));
            if (serial[0] == 'N') {
                ASSERT_GT(p.nImageLen, 0u);
                ASSERT_LE(p.nImageLen, size);
                truth.assign(buf.begin(), buf.begin() + p.nImageLen);
            } else {
                EXPECT_EQ(p.nImageLen, serial[0] == 'Z' ? 0u : size + 1);
                // The image was written all the same.
                EXPECT_TRUE(std::equal(truth.begin(), truth.end(), buf.begin()));
            }
            EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
            EXPECT_EQ(MV_CC_DestroyHandle(h), MV_OK);
        }
    }
    // Set through the control interface too.
    void* h = grabbing("A", false);
    std::vector<unsigned char> buf(1 << 20);
    MV_FRAME_OUT f = kNoFrame;
    ASSERT_EQ(MV_CC_GetImageBuffer(h, &f, 0), MV_OK);
    MV_SAVE_IMAGE_PARAM_EX3 p = saveParams(f, buf, MV_Image_Jpeg);
    ASSERT_EQ(MV_CC_SaveImageEx3(h, &p), MV_OK);
    EXPECT_EQ(p.nImageLen, (1u << 20) + 1);
    EXPECT_EQ(MV_CC_FreeImageBuffer(h, &f), MV_OK);
    EXPECT_EQ(MV_CC_Finalize(), MV_OK);
}

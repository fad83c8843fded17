// quellshot and morven end to end on the camera SDK over Aravis, against Aravis's emulated GigE Vision
// camera: a device written outside this project. Everything runs in this program's own network
// namespace (support/netns.h), which the programs inherit, so no packet leaves it.
#include <MvCameraControl.h>
#include <gtest/gtest.h>

#include <list>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "camimage.h"
#include "support/arvfake.h"
#include "support/child.h"
#include "support/netns.h"
#include "support/tempdir.h"

namespace {

constexpr uint32_t kCam1 = 0x7F000001, kCam2 = 0x7F000002;  // 127.0.0.1 and 127.0.0.2
const char* const kHikrobot = "DeviceVendorName=Hikrobot";

struct Outcome {
    ChildResult r;
    nlohmann::json json;  // stdout, parsed, when --json was given
};

// One of the programs on the Aravis backend, its capture lock in `lockDir`; `wrap` runs it through
// "sh -c" (the program is $0).
Outcome runProgram(const char* program, std::vector<std::string> args, const std::string& lockDir,
                   const std::string& wrap = "") {
    std::vector<std::string> argv = {program};
    if (!wrap.empty()) argv = {"sh", "-c", wrap, program};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome x{run_child(emulated(QS_EMULATOR, argv),
                        {{"QUELLSHOT_SDK", QS_ARAVIS_SDK}, {"QUELLSHOT_LOCKDIR", lockDir}}),
              {}};
    x.json = nlohmann::json::parse(x.r.out, nullptr, false);
    return x;
}

// The file our shared conversion makes of the frame Aravis's fake camera draws with number `id`, as
// the program saves it (JPEG at quality 90).
std::string expectedFile(unsigned format, unsigned w, unsigned h, uint64_t id, MV_SAVE_IAMGE_TYPE type) {
    std::vector<unsigned char> frame = fakeImage(w, h, format, id), file(w * h * 4 + 4096);
    MV_SAVE_IMAGE_PARAM_EX3 p{};
    p.pData = frame.data(), p.nDataLen = unsigned(frame.size()), p.enPixelType = MvGvspPixelType(format);
    p.nWidth = uint16_t(w), p.nHeight = uint16_t(h), p.enImageType = type, p.nJpgQuality = 90;
    p.pImageBuffer = file.data(), p.nBufferSize = unsigned(file.size());
    return camimage::saveImage(p) == int(MV_OK) ? std::string(file.begin(), file.begin() + p.nImageLen) : "";
}

// The number of the last frame the program logged it got, or -1.
long long loggedFrame(const std::string& log) {
    const std::regex frame(R"(FrameNum\[(\d+)\])");
    long long id = -1;
    for (auto m = std::sregex_iterator(log.begin(), log.end(), frame); m != std::sregex_iterator(); ++m)
        id = std::stoll((*m)[1]);
    return id;
}

class AravisE2E : public PrivateNetTest {
protected:
    TempDir dir;
    Outcome run(const char* program, std::vector<std::string> args, const std::string& wrap = "") {
        return runProgram(program, std::move(args), dir.path(), wrap);
    }
    std::list<FakeCamera> cams;
    FakeCamera& start(uint32_t ip, const char* serial, const std::string& features = kHikrobot,
                      const char* lossPerThousand = "0") {
        FakeCamera& cam = cams.emplace_back(ip, serial, lossPerThousand);
        EXPECT_TRUE(cam.up && configure(ip, features)) << serial;
        return cam;
    }
};

// The photo's pixels are the camera's frame, told by the frame number the program logs: the file is
// exactly what our shared conversion (whose JPEG error tests/camsdk/test_camimage.cpp bounds) makes
// of the frame Aravis's own fake camera draws with that number.
TEST_F(AravisE2E, PhotosHoldTheFramesTheCameraSent) {
    start(kCam1, "PIXELS");
    const std::tuple<unsigned, const char*, unsigned, unsigned, const char*> rows[] = {
        {PixelType_Gvsp_Mono8, "Mono8", 512, 512, "--bmp"},
        {PixelType_Gvsp_Mono8, "Mono8", 512, 512, "--jpg"},
        {PixelType_Gvsp_RGB8_Packed, "RGB8", 1920, 1080, "--bmp"},
        {PixelType_Gvsp_RGB8_Packed, "RGB8", 1920, 1080, "--jpg"},
        {PixelType_Gvsp_BayerRG8, "BayerRG8", 512, 512, "--bmp"},
        {PixelType_Gvsp_BayerRG8, "BayerRG8", 1920, 1080, "--jpg"},
        {PixelType_Gvsp_Mono8, "Mono8", 1920, 1080, "--bmp"},
        {PixelType_Gvsp_RGB8_Packed, "RGB8", 512, 512, "--jpg"},
    };
    for (const auto& [format, name, w, h, type] : rows) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(w) + "x" + std::to_string(h) + " " + type);
        ASSERT_TRUE(configure(kCam1, std::string("PixelFormat=") + name + " Width=" + std::to_string(w) +
                                         " Height=" + std::to_string(h)));
        const bool bmp = type == std::string("--bmp");
        const std::string file = dir.file(bmp ? "p.bmp" : "p.jpg");
        const Outcome x = run(QS_QUELLSHOT_PATH, {"grab", type, "--no-ae-wait", file});
        ASSERT_EQ(x.r.exitStatus, 0) << x.r.out << x.r.err;
        const long long id = loggedFrame(x.r.err);
        EXPECT_TRUE(TempDir::read(file) ==
                    expectedFile(format, w, h, uint64_t(id), bmp ? MV_Image_Bmp : MV_Image_Jpeg));
    }
}

// count, list, the choice of the "Hikrobot" camera among two, and morven's reset of it.
TEST_F(AravisE2E, TheProgramsSeeChooseAndResetTheHikrobotCamera) {
    ASSERT_EQ(system("ip addr add 127.0.0.2/8 dev lo"), 0);
    start(kCam1, "OTHER", "DeviceVendorName=Aravis_0123456789_abcdefghijklmn");  // too long
    Outcome x = run(QS_QUELLSHOT_PATH, {"grab", "--json", "--no-ae-wait", dir.file("none")});
    EXPECT_TRUE(x.r.exitStatus == 1 && x.json.value("result", 0) == -6) << x.r.out;
    start(kCam2, "HIK2");
    x = run(QS_QUELLSHOT_PATH, {"count"});
    EXPECT_EQ(x.r.out, "1\n");
    x = run(QS_QUELLSHOT_PATH, {"list"});
    EXPECT_TRUE(x.r.out.find("*  1      gige       Hikrobot  ") != std::string::npos &&
                x.r.out.find("  Fake   HIK2    127.0.0.2\n") != std::string::npos)
        << x.r.out;
    x = run(QS_QUELLSHOT_PATH, {"list", "--json"});
    EXPECT_TRUE(x.json["cameras"][0].value("ip", "") == "127.0.0.1" &&
                x.json["cameras"][0].value("manufacturer", "") == "Aravis_0123456789_abcdefghijklm");
    EXPECT_TRUE(x.json["cameras"][1].value("serial", "") == "HIK2" &&
                x.json["cameras"][1].value("hikrobot", false));
    x = run(QS_QUELLSHOT_PATH, {"grab", "--json", "--no-ae-wait", dir.file("chosen")});
    EXPECT_TRUE(x.r.exitStatus == 0 && x.json.value("serial", "") == "HIK2") << x.r.out;
    x = run(QS_MORVEN_PATH, {});
    EXPECT_EQ(x.r.exitStatus, 0) << x.r.err;
    // DeviceReset holds the command's value where the emulator keeps it: only the Hikrobot camera got it.
    for (const auto& [ip, reset] : {std::pair{kCam1, 0u}, {kCam2, 1u}}) {
        ArvCamera* c = arv_camera_new(dotted(ip).c_str(), nullptr);
        guint32 value = 7;
        ASSERT_TRUE(c != nullptr &&
                    arv_device_read_register(arv_camera_get_device(c), 0x1104, &value, nullptr));
        EXPECT_EQ(value, reset) << dotted(ip);
        g_object_unref(c);
    }
}

// Another controller, a camera killed mid-grab, and lost packets: the result comes in time, no
// incomplete frame becomes a photo, the lock and the camera are let go, and the next grab succeeds.
TEST_F(AravisE2E, FaultsFailInTimeAndTheNextGrabSucceeds) {
    FakeCamera* cam = &start(kCam1, "FAULTS");
    const std::string photo = dir.file("photo.jpg");
    ArvCamera* holder = arv_camera_new("127.0.0.1", nullptr);
    ASSERT_NE(holder, nullptr);
    Outcome x = run(QS_QUELLSHOT_PATH, {"grab", "--json", "--no-ae-wait", photo});
    EXPECT_TRUE(x.r.exitStatus == 1 && x.json.value("result", 0) == int(MV_E_ACCESS_DENIED)) << x.r.out;
    g_object_unref(holder);
    x = run(QS_QUELLSHOT_PATH, {"grab", "--no-ae-wait", photo});
    EXPECT_EQ(x.r.exitStatus, 0) << x.r.err;

    // Killed while automatic exposure settles (a frame a second, at least four of them).
    ASSERT_TRUE(configure(kCam1, "ExposureAuto=Continuous"));
    remove(photo.c_str());
    const std::string log = dir.file("log");
    std::thread killer([&] {
        EXPECT_TRUE(wait_for([&] { return TempDir::read(log).find("GetOneFrame") != std::string::npos; }));
        cam->stop();
    });
    const double t0 = mono_ms();
    x = run(QS_QUELLSHOT_PATH, {"grab", "--json", "--timeout", "30", photo}, "exec \"$0\" \"$@\" 2>" + log);
    const double took = mono_ms() - t0;
    killer.join();
    // Aravis waits out its retries on each message the stream and the connection send as they close.
    EXPECT_TRUE(x.r.exitStatus == 1 && x.json.value("result", 0) == int(MV_E_PRECONDITION) && took < 30000 &&
                access(photo.c_str(), F_OK) != 0)
        << took << " ms: " << x.r.out << TempDir::read(log);
    cam = &start(kCam1, "FAULTS");
    x = run(QS_QUELLSHOT_PATH, {"grab", "--no-ae-wait", photo});
    EXPECT_EQ(x.r.exitStatus, 0) << x.r.err;

    // A third of the stream's packets lost: hardly a frame is whole, and no other becomes a photo.
    cams.clear();
    start(kCam1, "LOSSY", kHikrobot, "300");
    const std::string bmp = dir.file("lossy.bmp");
    x = run(QS_QUELLSHOT_PATH, {"grab", "--bmp", "--no-ae-wait", "--timeout", "4", bmp});
    const long long id = loggedFrame(x.r.err);
    EXPECT_TRUE(x.r.exitStatus == 0 ? TempDir::read(bmp) == expectedFile(PixelType_Gvsp_Mono8, 512, 512,
                                                                         uint64_t(id), MV_Image_Bmp)
                                    : id < 0 && access(bmp.c_str(), F_OK) != 0)
        << x.r.err;
}

// A frame wider than the SDK's 16-bit width field holds fails to save, on the plain path and in a
// session, where the cut width made a sheared photo of it and reported success.
TEST_F(AravisE2E, AFrameWiderThanTheWidthFieldIsNotSavedSheared) {
    std::string xml = TempDir::read(FAKE_CAMERA_XML);
    const size_t max = xml.find("<pMax>SensorWidth</pMax>", xml.find("<Integer Name=\"Width\""));
    ASSERT_NE(max, std::string::npos);
    xml.replace(max, strlen("<pMax>SensorWidth</pMax>"), "<Max>100000</Max>");
    const FakeCamera& cam = cams.emplace_back(kCam1, "WIDE", "0", dir.write("wide.xml", xml).c_str());
    ASSERT_TRUE(cam.up && configure(kCam1, std::string(kHikrobot) + " Width=70000 Height=2"));
    for (const bool session : {false, true}) {
        std::vector<std::string> args = {"grab", "--json", "--bmp", "--no-ae-wait", dir.file("wide.bmp")};
        if (session) args.insert(args.begin() + 1, {"--camera", "127.0.0.1"});
        const Outcome x = run(QS_QUELLSHOT_PATH, args);
        EXPECT_TRUE(x.r.exitStatus == 1 && x.json.value("result", 0) == int(MV_E_PARAMETER) &&
                    access(dir.file("wide.bmp").c_str(), F_OK) != 0)
            << session << x.r.out << x.r.err;
    }
}

// A session with the camera at an address (not the "Hikrobot" one): a series whose photos hold the frames
// the camera sent, in its region, and a feature written and read back.
TEST_F(AravisE2E, ASessionTakesASeriesAndWritesFeaturesOfTheCameraAtAnAddress) {
    ASSERT_EQ(system("ip addr add 127.0.0.2/8 dev lo"), 0);
    start(kCam1, "FIRST");
    start(kCam2, "SECOND", "DeviceVendorName=Other Width=256 Height=128");
    Outcome x = run(QS_QUELLSHOT_PATH, {"grab", "--json", "--no-ae-wait", "--camera", "127.0.0.2", "--count",
                                        "3", dir.file("s%n")});
    std::istringstream lines(x.r.out);
    int photos = 0;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json o = nlohmann::json::parse(line, nullptr, false);
        photos += o.contains("number");
        EXPECT_TRUE(o.contains("number") ? TempDir::read(o.value("path", "")) ==
                                               expectedFile(PixelType_Gvsp_Mono8, 256, 128,
                                                            o.value("frame", 0u), MV_Image_Jpeg)
                                         : o.value("saved", 0) == 3)
            << line;
    }
    EXPECT_TRUE(x.r.exitStatus == 0 && photos == 3) << x.r.out << x.r.err;
    x = run(QS_QUELLSHOT_PATH, {"feature", "--json", "--camera", "127.0.0.2", "ExposureTimeAbs", "2500"});
    EXPECT_TRUE(x.r.exitStatus == 0 && x.json.value("value", 0.0) == 2500.0) << x.r.out << x.r.err;
}

}  // namespace

// morven and quellshot end to end on the simulated SDK. A case is the arguments, the scenario, the exit
// status and the whole output; every run's journal of SDK calls must keep the rules checked in run().
#include <MvCameraControl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "support/child.h"
#include "support/tempdir.h"

namespace {

namespace fs = std::filesystem;

// A private mount namespace in which the directory $0 stands in for the kernel's module parameters; the
// program starts without stdin, as from cron or CI, so that its first descriptor is 0.
const std::string kParams = "/sys/module/usbcore/parameters", kUsbfs = kParams + "/usbfs_memory_mb";
const std::string kSeam = "mount -t tmpfs qs /sys && mkdir -p " + kParams + " && mount --bind \"$0\" " +
                          kParams + " && exec \"$@\" <&-";

// Whether `text` is `pattern`, literal but for '…', which stands for any text.
bool like(const std::string& text, const std::string& pattern) {
    std::string re;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const bool any = pattern.compare(i, 3, "…") == 0;
        re += any ? "[^]*" : std::string(strchr("\\^$.|?*+()[]{}", pattern[i]) ? "\\" : "") + pattern[i];
        i += any ? 2 : 0;
    }
    return std::regex_match(text, std::regex(re));
}

// A scenario's camera from "key=value;...": by default a USB3 "Hikrobot" camera.
std::string cam(std::string keys) {
    std::replace(keys.begin(), keys.end(), ';', '\n');
    return "[camera]\n" + keys + "\n";
}

struct Case {
    std::string args;  // split at blanks ('' is empty); '@' is the case's own directory, also in out, err
    std::string scenario;
    int exit;
    std::string out, err = "…";    // the whole of stdout and stderr; '…' stands for any text
    const char* resets = nullptr;  // the serials reset, in order
    const char* usbfs = "";        // the kernel's usbfs file as the program sees it ("dir": a directory)
};

// Runs the program where a file of the case stands in for the kernel's usbfs parameter (tests never
// touch the real one), and returns the SDK's journal.
std::string run(const Case& c, const TempDir& dir,
                const std::vector<std::string>& program = emulated(QS_EMULATOR, {QS_QUELLSHOT_PATH})) {
    SCOPED_TRACE(c.args + " | " + c.scenario.substr(0, 300));
    auto at = [&dir](const std::string& s) { return std::regex_replace(s, std::regex("@"), dir.path()); };
    mkdir(dir.file("usbfs").c_str(), 0755);
    if (c.usbfs == std::string("dir") ? mkdir(dir.file("usbfs/usbfs_memory_mb").c_str(), 0755) : *c.usbfs)
        dir.write("usbfs/usbfs_memory_mb", c.usbfs);
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c", kSeam, dir.file("usbfs")};
    argv.insert(argv.end(), program.begin(), program.end());
    std::istringstream words(at(c.args));
    for (std::string w; words >> w;) argv.push_back(w == "''" ? "" : w);
    setenv("CAMSIM_SCENARIO", c.scenario.empty() ? "" : dir.write("scenario.ini", c.scenario).c_str(), 1);
    setenv("CAMSIM_JOURNAL", dir.file("journal").c_str(), 1);
    setenv("CAMSIM_LOCKDIR", dir.path().c_str(), 1);
    unsetenv("CAMSIM_TIME_SCALE");
    remove(dir.file("journal").c_str());
    const ChildResult r = run_child(argv, {});
    const std::string j = TempDir::read(dir.file("journal"));
    EXPECT_EQ(r.exitStatus, c.exit) << r.err;  // and so no time-out, no signal
    EXPECT_TRUE(like(r.out, at(c.out))) << r.out;
    EXPECT_TRUE(like(r.err, at(c.err))) << r.err;
    EXPECT_TRUE(c.exit != 2 || j.empty()) << "a usage error never reaches the camera";
    // With --json stdout ends in one JSON object (a series prints a line per photo first), its "result" 0 on
    // success.
    if (c.exit != 2 && c.args.find("--json") != std::string::npos) {
        const nlohmann::json o =
            nlohmann::json::parse(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), nullptr, false);
        EXPECT_TRUE(o.is_object() && o.count("result") == 1 && (o["result"] == 0) == (c.exit == 0)) << r.out;
        EXPECT_TRUE(o.count("frame") == 1 || o.value("elapsed_ms", 1000) >= 1000)  // a session has no pause
            << "the camera is given a second per trigger";
    }
    // Every SDK session ends; cameras are listed over GigE and USB3 and opened for exclusive access;
    // each camera is closed and given back before the next one is opened.
    std::string resets, calls;
    const std::regex call(
        "MV_CC_(Init|Final|Create|Destroy|Open|Close|Enum|SetCommandValue)\\w* (\\S+) (\\S+) (\\S+)\n");
    for (std::sregex_iterator m(j.begin(), j.end(), call), end; m != end; ++m) {
        const std::string fn = (*m)[1].str().substr(0, 2), arg = (*m)[3] == "-" ? "" : (*m)[3].str();
        const std::string ok = (*m)[4] == "0x0" ? "" : "!";
        if (fn != "Se") calls += fn + arg + ok + " ";
        if (fn == "Se" && arg == "DeviceReset" && ok.empty()) resets += (*m)[2].str() + " ";
    }
    EXPECT_TRUE(std::regex_match(calls, std::regex("(In!? (En5!? (Cr! |Cr (Op1!? )?Cl!? De )*)?Fi!? )*")))
        << j;
    EXPECT_TRUE(c.resets == nullptr || resets == c.resets) << resets;
    return j;
}

// clang-format off
const std::string kCam = cam("serial=CLI1;model=MV-CLI-64;width=64;height=48");
const std::string kCensus = cam("model=M-U;serial=U1;firmware=V2.1") + cam("transport=gige;manufacturer=HIKROBOT;model=M-G")
                            + cam("manufacturer=Hikrobot Inc") + cam("transport=8") + cam("transport=null");
const std::string kReset = cam("serial=R1;reset_downtime_ms=300") + cam("manufacturer=Other Co") +
                           cam("transport=gige;manufacturer=hikrobot;serial=R2;reset_downtime_ms=500");
const std::string kUsb3x2 = cam("") + cam("") + cam("transport=gige"), kNone = "# nothing attached\n";
const std::string kTwo = kCam + cam("transport=gige;manufacturer=Other;serial=B2;ip=192.0.2.7");
// Names are any bytes: quote, backslash, control characters, valid UTF-8 (2 to 4 bytes, the edges of each
// length and of the surrogates) and bytes that are not (overlong, surrogate, beyond U+10FFFF, cut short).
const std::string kUtf8 = "é😀\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
const std::string kNames = cam("manufacturer=海康;model=A\"B\\C\x01\x44\xFF\x45\tF\x7FG" + kUtf8 +
                               "\xC0\x80\xED\xA0\x80\xED\xBF\xBF\xF4\x90\x80\x80\xE6\x88H\xDF");
// clang-format on

}  // namespace

TEST(MorvenE2E, ResetsEveryHikrobotCameraAndExitsWithTheOutcome) {
    const std::string two = cam("serial=S1") + cam("transport=gige;serial=S2"), f = "[fault]\nMV_CC_";
    const std::string log = "[…] [error] (morven/morven.cpp:…) [Morven] ";
    std::string full;  // as many entries as the SDK's list holds, the only match last
    for (int i = 1; i < MV_MAX_DEVICE_NUM; ++i) full += cam("manufacturer=Basler");
    // clang-format off
    for (const Case& c : std::vector<Case>{
        {"", "", 0, "", "", "SIM00001 "},
        {"", cam("transport=gige;manufacturer=hikrobot") + cam("manufacturer=Other Co") + cam("transport=8") +
             cam("manufacturer=Hikrobot Inc") + cam("manufacturer=HIKROBOT"), 0, "", "",
             "SIM00001 SIM00005 "},
        {"", cam("manufacturer=Basler") + cam("transport=gige;manufacturer=FLIR"), 0, "", "", ""},
        {"", full + cam("transport=gige;serial=LAST"), 0, "", "", "LAST "},
        {"", f + "Initialize=0x80000123", 0x23, log + "相机SDK初始化失败, errCode=0x80000123!!\n", "", ""},
        {"", f + "Initialize=0x80000100", 1, log + "相机SDK初始化失败, errCode=0x80000100!!\n", "", ""},
        {"", two + f + "EnumDevices=0x80000006", 6, log + "枚举相机,执行错误, errCode=0x80000006!!\n"},
        {"", kNone, 255, log + "没有相机,数量=0!!\n", "", ""},
        {"", cam("manufacturer=Other") + cam("transport=null") + two, 254, log + "unexpected internal error, "
             "unable to obtain detailed information about the industrial camera!!\n", "", ""},
        {"", two + f + "CreateHandleWithoutLog=0x80000004", 4,
             log + "打开相机时发生错误, errCode=0x80000004!!\n"},
        {"", two + f + "OpenDevice=0x80000203", 3, log + "打开相机时发生错误, errCode=0x80000203!!\n"},
        {"", two + f + "SetCommandValue#2=0x80000104", 4, log + "重置相机时发生错误, errCode=0x80000104!!\n",
             "", "S1 "},
    }) run(c, TempDir(), emulated(QS_EMULATOR, {QS_MORVEN_PATH}));
    // clang-format on
    // Started through a symbolic link elsewhere, it still finds the SDK beside the program itself.
    TempDir linked;
    ASSERT_EQ(symlink(QS_MORVEN_PATH, linked.file("morven").c_str()), 0);
    run({"", "", 0, "", "", "SIM00001 "}, TempDir(), emulated(QS_EMULATOR, {linked.file("morven")}));
    // It resets every camera at once, so an argument it does not know never counts as a go-ahead.
    for (const char* a : {"--help", "-h"})
        EXPECT_EQ(run({a, "", 0, "Usage: morven\n…", ""}, TempDir(), emulated(QS_EMULATOR, {QS_MORVEN_PATH})), "");
    run({"--all", "", 2, "", "morven: unexpected argument '--all'; nothing was reset\nUsage: morven\n…"}, TempDir(),
        emulated(QS_EMULATOR, {QS_MORVEN_PATH}));
}

TEST(QuellshotCli, EveryCommandExitStatusAndOutput) {
    const std::string f = "[fault]\nMV_CC_";
    // clang-format off
    std::vector<Case> cases = {
        {"--help", "", 0, "Usage: quellshot COMMAND…grab…count…list…usbfs…reset…doctor…", ""},
        {"--version", "", 0, "quellshot ….….…\n", ""},
        // grab: one real capture each; ".jpg" is added, an extension already there (in any case) is kept
        {"grab --json --no-ae-wait @/a", kCam + "exposure_auto = continuous\nexposures = 10000, 20000\n", 0,
         R"({"result":0,"path":"@/a.jpg","model":"MV-CLI-64","serial":"CLI1","exposure_us":10000.00,)"
         R"("elapsed_ms":…})" "\n", "[…] [debug] (quellshot/photoproc.cpp:…) [Quellshot] +++GetOneFrame+++…"},
        {"grab --bmp --timeout 60 @/b.BMP", kCam, 0, "saved @/b.BMP (camera MV-CLI-64, serial CLI1, exposure "
         "10000.00 us, … ms)\n", "[…] [debug] (…+++GetOneFrame+++, Width[64], Height[48]…\n"},
        {"grab --quiet @/q", kCam, 0, "saved @/q.jpg (…\n", ""},
        {"grab --timeout 2147483 --quiet @/f", kNone, 1, "", "…[Quellshot] 没有相机,数量=0!!\n"
         "quellshot grab: failed, result -3: no camera listed\n"},
        {"grab --json @/f", cam("manufacturer=Basler"), 1, R"({"result":-6,"error":"no camera of the )"
         R"(manufacturer \"Hikrobot\""})" "\n", "…没有找到 \"Hikrobot\" 的相机!!\n"},
        // grab with settings: a setting the camera refuses, a camera that is not there
        {"grab --quiet --gain 99 @/g", kCam, 1, "", "quellshot grab: --gain 99: camera SDK: bad parameter…"
         "(result 0x80000004)\n"},
        {"grab --quiet --camera 2 @/g", kTwo, 1, "", "…\nquellshot grab: --camera 2: no listed camera has that "
         "serial number, index or address (result -21)\n"},
        // a series: each path as it is saved; a photo that fails ends it, keeping those before
        {"grab --quiet --count 2 --interval 10 @/t%n", kCam, 0, "@/t1.jpg\n@/t2.jpg\n", ""},
        {"grab --quiet --count 1 @/t%n", kCam, 0, "@/t1.jpg\n", ""},
        {"grab --quiet -", kCam, 0, "\xFF\xD8…\xFF\xD9", ""},  // one JPEG on stdout
        {"grab --json --quiet --count 3 @/s%n", kCam, 0, R"({"number":1,"path":"@/s1.jpg","exposure_us":…)"
         R"("frame":1,…})" "\n" R"({"number":2,…})" "\n" R"({"number":3,"path":"@/s3.jpg",…})" "\n"
         R"({"result":0,"command":"grab","count":3,"saved":3})" "\n", ""},
        {"grab --json --quiet --count 3 @/f%n", kCam + f + "SaveImageEx3#3=0x80000004\n", 1, R"(…"path":"@/f2.jpg",)"
         R"(…{"result":-2147483644,"error":"camera SDK: bad parameter…","command":"grab","count":3,"saved":2,)"
         R"("failed":3,"sdk_status":"0x80000004"})" "\n", ""},
        // features: read, written and read back, listed
        {"feature --quiet Width", kCam, 0, "64\n", ""},
        {"feature --json --quiet --camera CLI1 Gain 6.5", kCam, 0, R"({"result":0,"command":"feature",)"
         R"("name":"Gain","type":"float","value":6.5})" "\n", ""},
        {"feature --quiet Gain -.5", kCam, 1, "", "quellshot feature: Gain -.5: camera SDK: bad parameter…\n"},
        {"feature --json --quiet DeviceReset ''", kCam, 0, R"({…"name":"DeviceReset","type":"command"})" "\n", ""},
        {"features --quiet", kCam, 0, "Width integer 64\n…\nTriggerSoftware command\n…", ""},
        {"features --json --quiet", kCam, 0, R"({"result":0,"features":[{"name":"Width","type":"integer",)"
         R"("value":64},…{"name":"ExposureAuto","type":"enumeration","value":"Off"},…]})" "\n", ""},
        // count and list
        {"count", kCensus, 0, "2\n", ""},
        {"count --json", kCensus, 0, "{\"result\":0,\"count\":2}\n", ""},
        {"count --json", f + "Initialize=0x80000006", 1, R"({"result":-2147483642,"error":"the camera SDK )"
         R"(could not be initialised: camera SDK status: resources exhausted","sdk_status":"0x80000006"})" "\n"},
        {"count", f + "EnumDevices=0x80000006", 1, "…", "…result -1: the cameras could not be listed\n"},
        {"list", kCensus, 0, "   INDEX  TRANSPORT  MANUFACTURER  MODEL          SERIAL    ADDRESS\n"
                             "*  0      usb3       Hikrobot      M-U            U1\n"
                             "*  1      gige       HIKROBOT      M-G            SIM00002  192.168.1.12\n"
                             "   2      usb3       Hikrobot Inc  MV-CS050-10UC  SIM00003\n"
                             "   3      other(8)\n   4      none\n5 camera(s), 2 of them \"Hikrobot\" (*)\n", ""},
        {"list --json", kCensus, 0, R"({"result":0,"cameras":[{"index":0,"transport":"usb3","layer_type":4,)"
         R"("manufacturer":"Hikrobot","model":"M-U","serial":"U1","firmware":"V2.1","hikrobot":true},{"index":1,)"
         R"("transport":"gige","layer_type":1,…"serial":"SIM00002","ip":"192.168.1.12","firmware":"camsim 1.0",)"
         R"("hikrobot":true},{…"hikrobot":false},{"index":3,)"
         R"("transport":"other","layer_type":8,"manufacturer":"","model":"","serial":"","hikrobot":false},)"
         R"({"index":4,"transport":"none",…}]})" "\n"},
        {"list --json", kNames, 0, R"(…"manufacturer":"海康","model":"A\"B\\C\u0001D\u00ffE\tF\u007fG)" +
         kUtf8 + R"(\u00c0\u0080\u00ed\u00a0\u0080\u00ed\u00bf\u00bf\u00f4\u0090\u0080\u0080\u00e6\u0088H)"
         R"(\u00df","serial":"SIM00001"…)"},
        {"list", kNames, 0, R"(…  0      usb3       海康        A"B\C\x01D\xFFE\x09F\x7FG)" + kUtf8 +
         R"(\xC0\x80\xED\xA0\x80\xED\xBF\xBF\xF4\x90\x80\x80\xE6\x88H\xDF  SIM00001)"
         "\n1 camera(s), 0 of them…"},
        {"list", kNone, 0, "no camera found\n", ""},
        {"list", f + "EnumDevices=0x80000004", 1, "", "quellshot list: failed, result 0x80000004: the "
         "cameras could not be listed: camera SDK status: bad parameter\n"},
        // usbfs: read and set, on the stand-in for the kernel's file
        {"usbfs", "", 0, "usbfs memory limit: 16 MB\n", "", nullptr, "16\n"},
        {"usbfs", "", 0, "usbfs memory limit: 0 MB (no limit)\n", "", nullptr, "0\n"},
        {"usbfs --json 2147483647", "", 0, "{\"result\":0,\"usbfs_mb\":2147483647}\n", "", nullptr, "16\n"},
        {"usbfs --json", "", 1, "{\"result\":-1,\"error\":\"cannot read " + kUsbfs + "\"}\n", ""},
        {"usbfs 0", "", 1, "", "quellshot usbfs: failed, result -1: cannot write " + kUsbfs + "\n", nullptr, "dir"},
        // reset: each "Hikrobot" camera, in list order; --wait then checks that each one comes back
        {"reset --wait 30", kReset, 0, "reset R1\nreset R2\nwaiting up to 30 s for 2 camera(s) to come "
         "back\nall back after … s\n", "", "R1 R2 "},
        {"reset --wait 30 --json", kReset, 0, R"({"result":0,"reset":["R1","R2"],"back":["R1","R2"],)"
         R"("missing":[],"waited_ms":…})" "\n", ""},
        {"reset --json", kReset, 0, R"({"result":0,"reset":["R1","R2"]})" "\n"},
        {"reset --wait 0 --json", cam("reset_downtime_ms=0") + cam("serial=GONE1;reset_downtime_ms=600000") +
         cam("serial=GONE2;reset_downtime_ms=600000"), 1, R"({"result":10,"error":"not listed again within )"
         R"(0 s: GONE1, GONE2","reset":["SIM00001","GONE1","GONE2"],"back":["SIM00001"],"missing":)"
         R"(["GONE1","GONE2"],"waited_ms":…})" "\n"},
        {"reset --wait 86400 --json", kNone, 1, R"({"result":-1,"error":"no camera listed","reset":[]})" "\n"},
        {"reset --json", cam("") + cam("transport=null"), 1, R"({"result":-2,"error":"the camera SDK listed )"
         R"~(an empty entry (position 1)","reset":["SIM00001"]})~" "\n"},
        {"reset --wait 5 --json", kReset + f + "SetCommandValue#2=0x80000008", 1, R"({"result":-2147483640,)"
         R"("error":"camera R2 refused the reset: camera SDK status…","reset":["R1"],)"
         R"("sdk_status":"0x80000008"})" "\n"},
        {"reset --wait 5", cam("manufacturer=Basler"), 0, "no \"Hikrobot\" camera to reset\n"},
        // doctor: the usbfs limit against the USB3 cameras found (16 MB each, or 0 for none)
        {"doctor", kUsb3x2, 1, "ok        camera SDK: sim backend … (/…/camsdk/sim/libMvCameraControl.so)\nPROBLEM   usbfs "
         "memory: 16 MB is too little for 2 USB3 cameras: at least 32 MB (rule: at least 16 MB per USB3 "
         "camera, or 0 for no limit)\n          fix: as root: quellshot usbfs 32 (lasts…\nok        lock "
         "directory: …\n1 problem found\n", "", nullptr, "16\n"},
        {"doctor --json", kUsb3x2, 0, R"(…"check":"usbfs","ok":true,"detail":"32 MB for 2 USB3 cameras (…)",
         "", nullptr, "32\n"},
        {"doctor", cam(""), 0, "…\nok        usbfs memory: no limit for 1 USB3 camera (…\nall checks "
         "passed\n", "", nullptr, "0"},
        {"doctor --json", kUsb3x2, 1, "…\"check\":\"usbfs\",\"ok\":false,\"detail\":\"cannot read " + kUsbfs +
         " with 2 USB3 cameras attached\",\"fix\":\"load the usbcore module…"},
        {"doctor", cam("transport=gige"), 0, "…\nok        usbfs memory: no USB3 camera found, so the limit "
         "does not matter (unreadable)\n…"},
    };
    for (const std::string cmd : {"grab", "count", "list", "usbfs", "reset", "doctor", "feature", "features"})
        cases.push_back({cmd + " --help", "", 0, "Usage: quellshot " + cmd + " …", ""});
    for (const std::string camera : {"B2", "1", "192.0.2.7"})
        cases.push_back({"grab --json --quiet --camera " + camera + " @/c", kTwo, 0, R"(…"serial":"B2",…)", ""});
    // Usage errors: exit status 2 and only a message on stderr, also with --json.
    cases.push_back({"grab @/", kCam, 2, "", "quellshot grab: PATH '@/' names a directory; give the photo's file "
                     "name\nTry 'quellshot grab --help'.\n"});
    for (const std::string args : {"", "shoot", "--bogus", "--version x", "grab", "grab a b", "grab ''", "grab .",
         "grab ..", "grab /", "grab @",
         "grab --timeout soon p", "grab --timeout 0 p", "grab --timeout 2147484 p", "grab --timeout= p",
         "grab p --timeout", "grab --bmp --jpg p", "grab --png p", "grab --json=yes p", "count x",
         "count --wait 1", "list --bmp", "usbfs -5", "usbfs 12x", "usbfs 2147483648", "usbfs ''", "usbfs 1 2",
         "reset --wait -1", "reset --wait soon", "reset --wait 86401", "reset now", "doctor x", "grab --count 2 p",
         "grab --count 2 p%%n", "grab --count 0 p%n", "grab --count 2 -", "grab --bmp -", "grab --json -", "grab --interval -1 p",
         "grab --roi 1,2,3 p", "grab --roi 0,0,0,9 p", "grab --exposure 0 p", "grab --exposure soon p",
         "grab --gain loud p", "grab --quality 49 p", "grab --quality 100 p", "grab --camera= p",
         "grab --pixel-format= p", "feature", "feature a b c", "features x", "count --camera 0"})
        for (const char* json : {"", " --json"})
            cases.push_back({args + json, kCam, 2, "", "quellshot…: …\nTry 'quellshot…--help'.\n"});
    for (const Case& c : cases) run(c, TempDir());
    // Settings come in their order (the frame's format and size before exposure and gain) in one session, and
    // the region is reported as the camera took it.
    EXPECT_TRUE(std::regex_search(
        run({"grab --json --quiet --pixel-format Mono8 --roi 0,1,64,45 --exposure 5000 --gain 3 --quality 60 @/m",
             kCam, 0, R"({"result":0,"path":"@/m.jpg","model":"MV-CLI-64","serial":"CLI1","exposure_us":5000.00,)"
             R"("elapsed_ms":…,"time":"20……T……Z","frame":1,"width":64,"height":46,"pixel_format":"Mono8",)"
             R"("gain_db":3.00,"roi":{"x":0,"y":2,"width":64,"height":46}})" "\n",
             "quellshot grab: --roi 0,1,64,45: the camera took 0,2,64,46\n"}, TempDir()),
        std::regex("PixelFormat=Mono8[^]*Height=46[^]*ExposureTime=5000[^]*Gain=3[^]*SaveImageEx3")));
    // A series that fails keeps the photos saved before the failing one.
    TempDir kept;
    run({"grab --quiet --count 3 @/f%n", kCam + f + "SaveImageEx3#2=0x80000004\n", 1, "@/f1.jpg\n",
         "quellshot grab: photo 2 of 3 failed, result 0x80000004: camera SDK: bad parameter…; 1 saved\n"}, kept);
    EXPECT_TRUE(fs::exists(kept.file("f1.jpg")) && !fs::exists(kept.file("f2.jpg")));
    // A directory that cannot take the photo is found before the camera starts.
    EXPECT_EQ(run({"grab @/no/x", kCam, 1, "", "quellshot grab: failed, result -19: cannot save in @/no: No such "
                   "file or directory\n"}, TempDir()), "");
    EXPECT_EQ(run({"grab --json @/n%/x", kCam, 1, R"({"result":-19,"error":"cannot save in @/n%: No such file or )"
                   R"(directory","errno":2})" "\n"}, TempDir()), "");
    // clang-format on
    // A stdout that cannot take the output (a full disk) is a failure; the simulator refuses at once a
    // scenario that is not one.
    auto wrapped = [](std::vector<std::string> w) {
        for (const auto& a : emulated(QS_EMULATOR, {QS_QUELLSHOT_PATH})) w.push_back(a);
        return w;
    };
    const auto full = wrapped({"sh", "-c", "exec \"$@\" >/dev/full", "-"});
    for (const char* args : {"count", "--help"})
        run({args, "", 1, "", "quellshot…: cannot write to stdout: No space left on device\n"}, TempDir(), full);
    // A closed stderr loses only the log lines: the command runs and its output stands.
    run({"count", "", 0, "1\n", ""}, TempDir(), wrapped({"sh", "-c", "exec \"$@\" 2>&-", "-"}));
    // The usbfs limit needs the capture library only, not a camera SDK.
    run({"usbfs", "", 0, "usbfs memory limit: 16 MB\n", "", nullptr, "16\n"}, TempDir(),
        wrapped({"env", "QUELLSHOT_SDK=/none"}));
    run({"count", "", 1, "", "camsim: /dev/zero: not a regular file\n…"}, TempDir(),
        wrapped({"env", "CAMSIM_SCENARIO=/dev/zero"}));
    // So is a stdout whose reader has gone (a FIFO opened for both ends, then its read end shut), not the
    // end of the program by SIGPIPE: the capture tears down, as the journal shows.
    TempDir piped;
    const std::string shut = "mkfifo \"$0\" && exec 3<>\"$0\" 4>\"$0\" 3<&- && exec \"$@\" >&4 4>&-";
    run({"grab --quiet -", kCam, 1, "", "…quellshot grab: failed, result -19: stdout could not be written: "
         "Broken pipe\n"}, piped, wrapped({"sh", "-c", shut, piped.file("p")}));
    // A series stops at the first path that cannot be printed, keeping the photo saved.
    run({"grab --quiet --count 3 @/s%n", kCam, 1, "",
         "quellshot grab: cannot write to stdout: Broken pipe\n"},
        piped, wrapped({"sh", "-c", shut, piped.file("q")}));
    EXPECT_TRUE(fs::exists(piped.file("s1.jpg")) && !fs::exists(piped.file("s2.jpg")));
}
// A capture while another holds the lock fails at once with -2 and names the holder. The lock and
// the set-up check use status/ beside the program: here beside a copy of it in the sandbox.
TEST(QuellshotCli, LockHolderAndStatusDirectory) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.write("quellshot", TempDir::read(QS_QUELLSHOT_PATH)).c_str(), 0755), 0);
    const auto program = emulated(QS_EMULATOR, {dir.file("quellshot")});
    dir.write("status", "not a directory\n");
    // clang-format off
    EXPECT_EQ(run({"grab @/x", kCam, 1, "", "…result -1: the lock file @/status/quellshot.lock cannot be created or "
                   "opened: Not a directory\n"}, dir, program), "");
    // A file where a directory should be: its errno is given, also when a session's lock meets it.
    EXPECT_EQ(run({"grab --json @/status/x", kCam, 1, R"({"result":-19,"error":"…: Not a directory","errno":20})"
                   "\n"}, dir, program), "");
    run({"feature --json Width", kCam, 1, R"({…"error":"the lock file @/status/quellshot.lock …","errno":20})"
         "\n"}, dir, program);
    run({"doctor --json", kCam, 1, R"(…{"check":"lock_dir","ok":false,"detail":"@/status/ exists but is )"
         R"(not a directory","fix":"remove it (rm @/status); …)", "", nullptr, "0"}, dir, program);
    // The library, not this program, decides where the lock lies: here the program alone is in a system place.
    auto sys = emulated(QS_EMULATOR, {"/usr/local/sbin/quellshot"});
    sys.insert(sys.begin(), {"sh", "-c", "mount -t tmpfs qs /usr/local/sbin && cp \"$0\" /usr/local/sbin && exec \"$@\"",
                             dir.file("quellshot")});
    run({"doctor", kCam, 0, "…lock directory: /usr/local/sbin/status/ does not exist yet…", "", nullptr, "0"}, dir, sys);
    ASSERT_EQ(remove(dir.file("status").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("status").c_str(), 0755), 0);
    const int fd = open(dir.file("status/quellshot.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const std::string pid = std::to_string(getpid());  // by number: an emulator answers /proc/self itself
    const std::string comm = std::regex_replace(TempDir::read("/proc/" + pid + "/comm"), std::regex("\n"), "");
    const std::string holder = pid + " (" + comm + ")";
    EXPECT_EQ(run({"grab @/x", kCam, 1, "", "quellshot grab: failed, result -2: another capture holds the "
                   "lock\nquellshot grab: the lock is held by process " + holder + "\n"}, dir, program), "");
    run({"grab --json @/x", kCam, 1, R"({"result":-2,"error":"another capture holds the lock","lock_holder":)"
         R"({"pid":)" + pid + R"(,"comm":")" + comm + "\"}}\n"}, dir, program);
    run({"doctor", kCam, 0, "…lock directory: @/status/ is writable; a capture is running in process " +
         holder + "\n…", "", nullptr, "0"}, dir, program);
    // The camera named or not, the lock is what failed, and its holder is named.
    run({"feature --camera 0 Width", kCam, 1, "", "quellshot feature: failed, result -2: another capture holds the "
         "camera lock\nquellshot feature: the lock is held by process " + holder + "\n"}, dir, program);
    // Where /proc/locks does not tell (it is hidden here), the holder is unknown.
    auto blind = program;
    blind.insert(blind.begin(), {"sh", "-c", "mount --bind /dev/null /proc/locks && exec \"$@\"", "-"});
    run({"grab --json @/x", kCam, 1, R"({"result":-2,"error":"another capture holds the lock","lock_holder":)"
         "null}\n"}, dir, blind);
    run({"grab @/x", kCam, 1, "", "…\nquellshot grab: the process holding the lock could not be found\n"}, dir, blind);
    // QUELLSHOT_LOCKDIR moves the lock for the program and the library alike.
    setenv("QUELLSHOT_LOCKDIR", dir.file("locks").c_str(), 1);
    ASSERT_EQ(rename(dir.file("status").c_str(), dir.file("locks").c_str()), 0);  // the held lock goes along
    EXPECT_EQ(run({"grab @/x", kCam, 1, "", "…result -2…\nquellshot grab: the lock is held by process " + holder + "\n"},
                  dir, program), "");
    run({"doctor", kCam, 0, "…lock directory: from QUELLSHOT_LOCKDIR: @/locks/ is writable; a capture is running in "
         "process " + holder + "\n…", "", nullptr, "0"}, dir, program);
    // A relative one whose missing parent has a one-letter name can be made, as any other.
    setenv("QUELLSHOT_LOCKDIR", "a/l", 1);
    auto inside = program;  // run from the case's directory
    inside.insert(inside.begin(), {"sh", "-c", "cd \"$0\" && exec \"$@\"", dir.path()});
    run({"doctor", kCam, 0, "…lock directory: from QUELLSHOT_LOCKDIR: a/l/ does not exist yet; the first capture "
         "creates it\n…", "", nullptr, "0"}, dir, inside);
    setenv("QUELLSHOT_LOCKDIR", std::string(280, 'l').c_str(), 1);  // no room left for the lock file's name
    run({"doctor", kCam, 1, "…lock directory: from QUELLSHOT_LOCKDIR: the lock directory's path is too long\n…",
         "", nullptr, "0"}, dir, program);
    // clang-format on
    unsetenv("QUELLSHOT_LOCKDIR");
    close(fd);
}

// Ctrl-C or SIGTERM during a capture: it tears down (the session in the journal ends), releases the lock
// and saves nothing, leaving no temporary file; the program says so and exits 128 + the signal.
TEST(QuellshotCli, ASignalEndsTheCaptureCleanly) {
    const std::string lock = fs::path(QS_QUELLSHOT_PATH).parent_path().string() + "/status/quellshot.lock";
    // The program under the emulator, sent SIG`sig` once the journal holds `line`.
    auto signalled = [](const std::string& line, const std::string& sig = "INT",
                        const std::string& env = "") {
        std::vector<std::string> w = {"sh", "-c",
                                      env + " \"$@\" & until grep -qs '" + line +
                                          "' \"$CAMSIM_JOURNAL\"; do sleep 0.05; done; kill -" + sig +
                                          " $!; wait $!",
                                      "-"};
        for (const auto& a : emulated(QS_EMULATOR, {QS_QUELLSHOT_PATH})) w.push_back(a);
        return w;
    };
    for (const auto& [sig, status] : {std::pair{"INT", 130}, {"TERM", 143}}) {
        TempDir dir;
        run({"grab --timeout 60 @/x", kCam + "frames = none\n", status, "",
             "…quellshot grab: failed, result -20: "
             "the capture was cancelled; nothing was saved\nquellshot grab: interrupted by SIG" +
                 std::string(sig) + "\n"},
            dir, signalled("TriggerSoftware", sig));
        for (const auto& e : fs::directory_iterator(dir.path()))  // the run's own files, and nothing saved
            EXPECT_TRUE(std::regex_match(e.path().filename().string(), std::regex("usbfs|scenario.ini|journal|camsim-.*")));
        EXPECT_NE(access(lock.c_str(), F_OK), 0);
    }
    // In a series the photo under way is finished and kept, and no further one is taken.
    TempDir dir;
    const std::string stopped = "…quellshot grab: photo 2 of 3 failed, result -20: cancelled; 1 saved\n";
    run({"grab --quiet --count 3 --interval 60000 @/s%n", kCam, 130, "@/s1.jpg\n",
         stopped + "quellshot grab: interrupted by SIGINT\n"},
        dir, signalled("SaveImageEx3"));
    EXPECT_TRUE(fs::exists(dir.file("s1.jpg")) && !fs::exists(dir.file("s2.jpg")));
    // A wait for reset cameras cut short says so, not that it waited the time asked for.
    run({"reset --wait 30", cam("serial=GONE1;reset_downtime_ms=600000"), 130, "…",
         "…failed, result 10: not listed again when the wait was interrupted after …: GONE1\n…"},
        TempDir(), signalled("DeviceReset"));
    // No camera is reset after the signal: it comes during the first one's (slow) reset.
    run({"reset", kReset, 130, "reset R1\n",
         "…result -20: interrupted; camera R2 and those after it were not reset\n…"},
        TempDir(), signalled("OpenDevice R1", "INT", "CAMSIM_FEATURE_DELAY_MS=1000"));
    // A listing of features cut short is a failure, not a partial list with result 0.
    run({"features --json", kCam, 130,
         "{\"result\":-20,\"error\":\"interrupted; the list is not complete\"}\n",
         "…quellshot features: interrupted by SIGINT\n"},
        TempDir(), signalled("GetIntValueEx", "INT", "CAMSIM_FEATURE_DELAY_MS=50"));
}

// On a terminal the library's frame lines become one status line, redrawn in place and cut to the
// terminal's width so that it never wraps: 52 columns here, where "… steady 1/4" would take 53.
TEST(QuellshotCli, GrabShowsItsProgressOnOneTerminalLine) {
    std::vector<std::string> tty = {"sh", "-c",
                                    "exec script -qec \"stty cols 52; exec $*\" /dev/null </dev/null", "-"};
    for (const auto& a : emulated(QS_EMULATOR, {QS_QUELLSHOT_PATH})) tty.push_back(a);
    // clang-format off
    run({"grab @/tty", kCam + "exposure_auto = continuous\nexposures = 12000\n[fault]\n"
         "MV_CC_GetImageBuffer#1=0x80000007\n", 0, "…trigger 2 | no frame yet, triggering again\r…trigger 3 "
         "| #1 64x48 | 12000.00 us, steady 1\r…steady 2\r…steady 3\r…trigger 6 | #4 64x48 | 12000.00 us, "
         "steady 4\r\x1b[Ksaved @/tty.jpg (camera MV-CLI-64, serial CLI1, …"}, TempDir(), tty);
    // clang-format on
}

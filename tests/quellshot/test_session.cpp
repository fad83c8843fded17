// Sessions against the simulated camera: choosing the camera, settings read back from it, features by
// name, single photos and series with their names, metadata and faults, and the lock held throughout.
#include <camsim.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "qs_internal.h"
#include "support/tempdir.h"

namespace {

namespace fs = std::filesystem;

std::string journal() {
    std::string s(camsim_journal(nullptr, 0) + 1, '\0');
    s.resize(camsim_journal(&s[0], s.size()));
    return s;
}

std::string feature(qs_session* s, const char* name) {
    char value[300];
    const int rc = qs_feature_get(s, name, value, sizeof value, nullptr);
    return rc == 0 ? value : "error " + std::to_string(rc);
}

std::string slurp(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

// A USB3 camera of another maker, a GigE "Hikrobot" camera (the second listed, so 192.168.1.12) and a
// USB3 "Hikrobot" camera whose serial is a number.
const char* const kThree =
    "[camera]\nmanufacturer = Other\nserial = A\nwidth = 64\nheight = 48\n"
    "[camera]\ntransport = gige\nserial = B\nwidth = 160\nheight = 120\n"
    "[camera]\nserial = 1\nwidth = 64\nheight = 48\n";

class Session : public ::testing::Test {
protected:
    TempDir dir;
    qs_session* s = nullptr;
    void SetUp() override {
        qs::waitAEDone.store(1);
        ASSERT_EQ(camsim_load_scenario_text(kThree, "three"), 0);
        camsim_time_scale(0.01);
    }
    void TearDown() override { qs_close(s); }
};

// Without a choice the first "Hikrobot" camera, as a single capture takes it; else by serial (which
// wins over an index), index or GigE address, of any maker. A failed open leaves nothing open.
TEST_F(Session, ChoosesTheCamera) {
    const std::vector<std::pair<const char*, std::string>> rows = {
        {nullptr, "B"},
        {"", "B"},
        {"A", "A"},
        {"0", "A"},
        {"1", "1"},
        {"2", "1"},
        {"192.168.1.12", "B"},
        {"Z", "-21"},
        {"3", "-21"},
        {"192.168.1.10", "-21"},
        {"1.2.3", "-21"},
    };
    for (const auto& [choice, want] : rows) {
        const int rc = qs_open(choice, &s);
        EXPECT_EQ(rc == 0 ? feature(s, "DeviceSerialNumber") : std::to_string(rc), want) << choice;
        EXPECT_EQ(qs_close(s), 0);
        s = nullptr;
        EXPECT_TRUE(std::regex_search(journal(), std::regex("MV_CC_Finalize[^\n]*\n$"))) << choice;
        EXPECT_FALSE(fs::exists(fs::read_symlink("/proc/self/exe").parent_path() / "status/quellshot.lock"));
    }
    ASSERT_EQ(camsim_load_scenario_text("[camera]\nmanufacturer = Other\n", "other"), 0);
    EXPECT_EQ(qs_open(nullptr, &s), -6);
    EXPECT_EQ(qs_open("x", nullptr), QS_E_ARGUMENT);
}

// The capture lock is held from qs_open to qs_close: single captures and other sessions meet it.
TEST_F(Session, HoldsTheLockThroughout) {
    ASSERT_EQ(qs_open(nullptr, &s), 0);
    qs_session* other = nullptr;
    EXPECT_EQ(qs_open("A", &other), QS_E_BUSY);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(Quellshot_Grab(IMG_TYPE_JPG, dir.file("x").c_str(), 1, nullptr), -2);
    ASSERT_EQ(qs_capture(s, IMG_TYPE_JPG, dir.file("a").c_str(), 5000, nullptr), 0);
    qs_close(s);
    s = nullptr;
    ASSERT_EQ(qs_open("A", &other), 0);
    qs_close(other);
}

// Every setting as the camera reports it afterwards; a region of interest rounded to the camera's
// steps and limits and reported back.
TEST_F(Session, SettingsReadBack) {
    ASSERT_EQ(qs_open("B", &s), 0);
    const auto set = [&](int rc, const char* a, const char* b = nullptr) {  // the result, then the values
        return std::to_string(rc) + " " + feature(s, a) + (b != nullptr ? " " + feature(s, b) : "");
    };
    EXPECT_EQ(set(qs_set_exposure_auto(s, QS_AUTO_CONTINUOUS), "ExposureAuto"), "0 Continuous");
    EXPECT_EQ(set(qs_set_exposure(s, 5000), "ExposureAuto", "ExposureTime"), "0 Off 5000");
    EXPECT_EQ(set(qs_set_gain_auto(s, QS_AUTO_ONCE), "GainAuto"), "0 Once");
    EXPECT_EQ(set(qs_set_gain(s, 6.5), "GainAuto", "Gain"), "0 Off 6.5");
    EXPECT_EQ(set(qs_set_pixel_format(s, "Mono8"), "PixelFormat"), "0 Mono8");
    EXPECT_EQ(set(qs_set_pixel_format(s, "Nonsense"), "PixelFormat"),
              std::to_string(static_cast<int>(MV_E_PARAMETER)) + " Mono8");
    // Width from 64 in steps of 8, height from 2 in steps of 2, offsets in the same steps within what
    // the size leaves of the 160x120 sensor.
    for (const auto& [in, out] : {std::pair{qs_roi{0, 0, 160, 120}, qs_roi{0, 0, 160, 120}},
                                  {qs_roi{3, 1, 101, 21}, qs_roi{0, 2, 104, 22}},
                                  {qs_roi{150, 119, 64, 8}, qs_roi{96, 112, 64, 8}},
                                  {qs_roi{-5, -5, 1000, 1000}, qs_roi{0, 0, 160, 120}}}) {
        qs_roi roi = in;
        ASSERT_EQ(qs_set_roi(s, &roi), 0);
        const std::vector<int64_t> got = {roi.x, roi.y, roi.width, roi.height};
        EXPECT_EQ(got, (std::vector<int64_t>{out.x, out.y, out.width, out.height}))
            << in.x << "," << in.width;
        EXPECT_EQ(feature(s, "OffsetX") + "," + feature(s, "Width"),
                  std::to_string(out.x) + "," + std::to_string(out.width));
    }
    qs_photo p{};
    ASSERT_EQ(qs_capture(s, IMG_TYPE_JPG, dir.file("m").c_str(), 5000, &p), 0);
    EXPECT_EQ(std::string(p.pixel_format) + " " + std::to_string(p.width) + "x" + std::to_string(p.height) +
                  " " + std::to_string(static_cast<int>(p.exposure_us)) + " " + std::to_string(p.gain_db),
              "Mono8 160x120 5000 6.500000");
    for (const int q : {49, 100}) EXPECT_EQ(qs_set_quality(s, q), QS_E_ARGUMENT);
    EXPECT_EQ(qs_set_exposure_auto(s, 3), QS_E_ARGUMENT);
    EXPECT_EQ(qs_set_exposure(nullptr, 1) + qs_set_roi(s, nullptr), 2 * QS_E_ARGUMENT);
    const MVCC_INTVALUE_EX unbounded{0, INT64_MAX, INT64_MIN, 4, {}};  // a feature that states no limits
    EXPECT_TRUE(qs::fit(101, unbounded) == 100 && qs::fit(INT64_MAX, unbounded) == INT64_MAX - 3);
}

// Features of every type by name, written as text and read back; what cannot be done says why.
TEST_F(Session, FeaturesByName) {
    ASSERT_EQ(qs_open("B", &s), 0);
    const std::vector<std::tuple<const char*, const char*, int, std::string>> rows = {
        {"ReverseX", "true", 0, "true"},
        {"ReverseX", "0", 0, "false"},
        {"ReverseX", "maybe", QS_E_ARGUMENT, "false"},
        {"Gain", "2.25", 0, "2.25"},
        {"Gain", "x", QS_E_ARGUMENT, "2.25"},
        {"TriggerMode", "Off", 0, "Off"},
        {"TriggerMode", "1", 0, "On"},
        {"GevSCPSPacketSize", "1500", 0, "1500"},  // locked while streaming: written with the stream stopped
        {"GevSCPSPacketSize", "15x", QS_E_ARGUMENT, "1500"},
        {"GevSCPSPacketSize", "01496", 0, "1496"},  // decimal, not octal
        {"GevSCPSPacketSize", "0x5dc", 0, "1500"},
        {"DeviceModelName", "x", QS_E_FEATURE_TYPE, "MV-CS050-10UC"},
        {"TriggerSoftware", "", 0, "error -23"},
        {"TriggerSoftware", "go", QS_E_ARGUMENT, "error -23"},
        {"NoSuchFeature", "1", static_cast<int>(MV_E_SUPPORT),
         "error " + std::to_string(static_cast<int>(MV_E_SUPPORT))},
    };
    for (const auto& [name, value, rc, after] : rows) {
        EXPECT_EQ(qs_feature_set(s, name, value), rc) << name << "=" << value;
        EXPECT_EQ(feature(s, name), after) << name << "=" << value;
    }
    EXPECT_EQ(camsim_call_count("MV_CC_StopGrabbing"), 3);  // for the writes the camera refused alone
    int type = 0;
    char small[4];
    EXPECT_EQ(qs_feature_get(s, "DeviceModelName", small, sizeof small, &type), QS_E_ARGUMENT);
    EXPECT_EQ(qs_feature_get(s, "Width", small, sizeof small, &type), 0);
    EXPECT_EQ(std::string(small) + std::to_string(type), "160" + std::to_string(QS_FEATURE_INTEGER));
    std::vector<std::string> names;
    const auto add = [](const char* n, void* v) { return static_cast<decltype(names)*>(v)->push_back(n), 0; };
    EXPECT_EQ(qs_feature_list(s, add, &names), 0);
    for (const char* n : {"Width", "PixelFormat", "ExposureTime", "TriggerSoftware", "DeviceSerialNumber"})
        EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
}

struct Shot {
    int number;
    std::string path;
    qs_photo photo;
};

int record(void* ctx, int number, const char* path, const qs_photo* p) {
    auto* shots = static_cast<std::vector<Shot>*>(ctx);
    shots->push_back({number, path, *p});
    return number == 99 ? 1 : 0;
}

// A series: names from the pattern, one trigger per photo (the next one exposes while the last is
// saved), frames in order with their metadata; a fault in the middle keeps what was saved before it.
TEST_F(Session, SeriesNamesMetadataAndFaults) {
    ASSERT_EQ(qs_open("1", &s), 0);
    std::vector<Shot> shots;
    int done = -1;
    ASSERT_EQ(qs_series(s, IMG_TYPE_JPG, dir.file("p%n-%t").c_str(), 12, 0, 5000, record, &shots, &done), 0);
    EXPECT_EQ(done, 12);
    const std::string j = journal();
    const std::regex trig("TriggerSoftware");
    EXPECT_EQ(std::distance(std::sregex_iterator(j.begin(), j.end(), trig), {}), 12);
    for (size_t i = 0; i < shots.size(); ++i) {
        const Shot& sh = shots[i];
        EXPECT_EQ(sh.number, static_cast<int>(i + 1));
        char stamp[32];
        const time_t t = sh.photo.time_ms / 1000;
        strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", gmtime(&t));
        char want[128];
        snprintf(want, sizeof want, "/p%02zu-%s.%03dZ.jpg", i + 1, stamp,
                 static_cast<int>(sh.photo.time_ms % 1000));
        EXPECT_EQ(sh.path, dir.path() + want);
        EXPECT_EQ(slurp(sh.path).substr(0, 2), "\xFF\xD8");
        EXPECT_EQ(sh.photo.frame_number, i + 1);
        EXPECT_EQ(sh.photo.width * 1000 + sh.photo.height, 64048u);
        EXPECT_STREQ(sh.photo.pixel_format, "RGB8");
        EXPECT_GE(sh.photo.time_ms, i > 0 ? shots[i - 1].photo.time_ms : 0);
    }
    shots.clear();
    const unsigned long third = camsim_call_count("MV_CC_SaveImageEx3") + 3;
    camsim_set_fault("MV_CC_SaveImageEx3", third, third, MV_E_RESOURCE);
    EXPECT_EQ(qs_series(s, IMG_TYPE_BMP, dir.file("f%n").c_str(), 4, 1, 5000, record, &shots, &done),
              static_cast<int>(MV_E_RESOURCE));
    EXPECT_EQ(done, 2);
    EXPECT_TRUE(fs::exists(dir.file("f2.bmp")));
    EXPECT_FALSE(fs::exists(dir.file("f3.bmp")));
    for (const char* same : {"same", "same%%n%%t"})
        EXPECT_EQ(qs_series(s, IMG_TYPE_JPG, dir.file(same).c_str(), 2, 0, 5000, nullptr, nullptr, &done),
                  QS_E_PATH);
    // Names told apart by the time stamp alone stay apart when photos arrive within a millisecond.
    shots.clear();
    ASSERT_EQ(qs_series(s, IMG_TYPE_BMP, dir.file("t%t").c_str(), 12, 0, 5000, record, &shots, &done), 0);
    std::set<std::string> names;
    for (const Shot& sh : shots) names.insert(sh.path);
    EXPECT_EQ(names.size(), 12u);
    EXPECT_TRUE(std::all_of(names.begin(), names.end(), [](const std::string& f) { return fs::exists(f); }));
    // A pattern of 4000 bytes and more is a path like any other; a name that expands beyond a path's
    // length fails, where it was cut and saved (here without its number, as the extension comes first).
    std::string longName = dir.path() + "/";
    while (longName.size() < 4010) longName += "./";
    EXPECT_EQ(qs_series(s, IMG_TYPE_JPG, (longName + "q%n").c_str(), 1, 0, 5000, nullptr, nullptr, &done), 0);
    for (longName += "p.jpg"; longName.size() < 4050;) longName += "%t";
    EXPECT_EQ(qs_series(s, IMG_TYPE_JPG, (longName + "-%n").c_str(), 2, 0, 5000, nullptr, nullptr, &done),
              QS_E_WRITE);
    EXPECT_TRUE(done == 0 && qs_last_errno() == ENAMETOOLONG);
    qs_cancel();  // before the series: only later ones are ended
    EXPECT_EQ(qs_series(s, IMG_TYPE_JPG, dir.file("c%n").c_str(), 2, 0, 5000, nullptr, nullptr, &done), 0);
}

// A cancel that comes while the series waits for its last photo ends it at once with QS_E_CANCELLED;
// the photo taken before stays and is counted.
TEST_F(Session, CancelledBeforeTheLastPhoto) {
    ASSERT_EQ(qs_open("1", &s), 0);
    std::atomic<bool> first{false};
    std::thread canceller([&first] {
        while (!first) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well into the 60 s wait
        qs_cancel();
    });
    const auto taken = [](void* ctx, int, const char*, const qs_photo*) {
        return *static_cast<std::atomic<bool>*>(ctx) = true, 0;
    };
    int done = -1;
    const int rc = qs_series(s, IMG_TYPE_JPG, dir.file("w%n").c_str(), 2, 60000, 5000, taken, &first, &done);
    first = true;  // should the first photo have failed
    canceller.join();
    EXPECT_TRUE(rc == QS_E_CANCELLED && done == 1 && fs::exists(dir.file("w1.jpg")) && !fs::exists(dir.file("w2.jpg")))
        << rc << " " << done;
}

// A photo to a descriptor is one whole JPEG of the frame; a camera that sends nothing times out.
TEST_F(Session, ToADescriptorAndTimeouts) {
    ASSERT_EQ(qs_open("A", &s), 0);
    const std::string path = dir.file("out");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    qs_photo p{};
    ASSERT_EQ(qs_capture_fd(s, IMG_TYPE_JPG, fd, 5000, &p), 0);
    close(fd);
    const std::string jpeg = slurp(path);
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    EXPECT_TRUE(tjDecompressHeader3(tj, bytes, jpeg.size(), &w, &h, &sub, &cs) == 0 && w * 1000 + h == 64048);
    tjDestroy(tj);
    EXPECT_EQ(qs_capture_fd(s, IMG_TYPE_JPG, -1, 5000, &p), QS_E_ARGUMENT);
    // The frame of a trigger that timed out arrives late (10 s scaled to 100 ms): the next photo is not it.
    EXPECT_TRUE(qs_set_exposure(s, 1e7) == 0 &&
                qs_capture(s, IMG_TYPE_JPG, path.c_str(), 0, &p) == QS_E_TIMEOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(qs_capture(s, IMG_TYPE_JPG, path.c_str(), 5000, &p) == 0 && p.frame_number == 3)
        << p.frame_number;
    EXPECT_EQ(qs_capture(s, static_cast<HKImgType>(3), dir.file("x").c_str(), 5000, &p), QS_E_IMAGE_TYPE);
    qs_close(s);
    ASSERT_EQ(camsim_load_scenario_text("[camera]\nframes = none\n", "dark"), 0);
    ASSERT_EQ(qs_open(nullptr, &s), 0);
    EXPECT_EQ(qs_capture(s, IMG_TYPE_JPG, dir.file("dark").c_str(), 30, &p), QS_E_TIMEOUT);
    EXPECT_FALSE(fs::exists(dir.file("dark.jpg")));
    for (const int r : {0, -2, -10, -21, -22, -23, static_cast<int>(MV_E_SUPPORT)})
        EXPECT_STRNE(qs_strerror(r), qs_strerror(1)) << r;
}

// A pipe whose reader has gone fails the write (QS_E_WRITE, EPIPE) without ending the process, even with
// SIGPIPE at its default action; a SIGPIPE already pending stays for its owner. The session goes on.
TEST_F(Session, AClosedPipeIsAFailedWrite) {
    struct sigaction dfl {}, old {};
    dfl.sa_handler = SIG_DFL;  // whatever the test program had
    int ends[2];
    ASSERT_TRUE(sigaction(SIGPIPE, &dfl, &old) == 0 && pipe(ends) == 0 && close(ends[0]) == 0);
    ASSERT_EQ(qs_open("A", &s), 0);
    qs_photo p{};
    EXPECT_EQ(qs_capture_fd(s, IMG_TYPE_JPG, ends[1], 5000, &p), QS_E_WRITE);
    EXPECT_EQ(qs_last_errno(), EPIPE);
    sigset_t pipeSet, mask, pending;
    sigemptyset(&pipeSet), sigaddset(&pipeSet, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipeSet, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0) << "the mask is restored";
    ASSERT_EQ(pthread_kill(pthread_self(), SIGPIPE), 0);  // someone else's
    EXPECT_EQ(qs_capture_fd(s, IMG_TYPE_JPG, ends[1], 5000, &p), QS_E_WRITE);
    EXPECT_TRUE(sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1);
    for (const timespec zero{0, 0}; sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE;) {
    }
    EXPECT_TRUE(pthread_sigmask(SIG_SETMASK, &mask, nullptr) == 0 && sigaction(SIGPIPE, &old, nullptr) == 0);
    EXPECT_TRUE(close(ends[1]) == 0 && qs_capture(s, IMG_TYPE_JPG, dir.file("after").c_str(), 5000, &p) == 0);
    // A full pipe behind a non-blocking descriptor holds the write until the reader takes more.
    ASSERT_TRUE(pipe(ends) == 0 && fcntl(ends[1], F_SETFL, O_NONBLOCK) == 0 &&
                fcntl(ends[1], F_SETPIPE_SZ, 4096) > 0);
    std::string got;
    std::thread reader([&] {
        char b[4096];
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the image fills the pipe first
        for (ssize_t n; (n = read(ends[0], b, sizeof b)) > 0;) got.append(b, static_cast<size_t>(n));
    });
    EXPECT_EQ(qs_capture_fd(s, IMG_TYPE_BMP, ends[1], 5000, &p), 0);
    close(ends[1]), reader.join(), close(ends[0]);
    EXPECT_TRUE(got.size() > 4096 && got.size() == (p.width * 3 + 3) / 4 * 4 * p.height + 54) << got.size();
}

// With automatic exposure the first photo waits for four steady frames; the run carries over, so the
// photos after it take the next frames.
TEST_F(Session, AutoExposureSettlesOncePerSeries) {
    ASSERT_EQ(camsim_load_scenario_text("[camera]\nexposure_auto = continuous\nexposures = 100,900,2000,2010,"
                                        "2020,2030,2040\n",
                                        "ae"),
              0);
    camsim_time_scale(0.01);
    ASSERT_EQ(qs_open(nullptr, &s), 0);
    std::vector<Shot> shots;
    ASSERT_EQ(qs_series(s, IMG_TYPE_JPG, dir.file("%n").c_str(), 3, 0, 5000, record, &shots, nullptr), 0);
    std::vector<unsigned> frames;
    for (const Shot& sh : shots) frames.push_back(sh.photo.frame_number);
    EXPECT_EQ(frames, (std::vector<unsigned>{6, 7, 8}));
    // Switched on by name, it is waited for as well: its sequence starts over at frame 9.
    qs_photo p{};
    ASSERT_TRUE(qs_set_exposure(s, 5000) == 0 && qs_feature_set(s, "ExposureAuto", "Continuous") == 0);
    EXPECT_TRUE(qs_capture(s, IMG_TYPE_JPG, dir.file("x").c_str(), 5000, &p) == 0 && p.frame_number == 14)
        << p.frame_number;
    // Found 25 days before the photo (more milliseconds than 32 bits hold): long past the limit, the
    // first frame is saved.
    static int calls = 0;
    const auto real = qs::monotonic_clock.exchange([](timespec* ts) { *ts = {calls++ ? 2200000 : 0, 0}; });
    ASSERT_TRUE(qs_set_exposure(s, 5000) == 0 && qs_feature_set(s, "ExposureAuto", "Continuous") == 0);
    EXPECT_TRUE(qs_capture(s, IMG_TYPE_JPG, dir.file("y").c_str(), 5000, &p) == 0 && p.frame_number == 15);
    // "Once" settles (frame 21), ends itself at its last value (22), and is switched on again long after
    // the first switch: its new sequence is waited for (to frame 28), not the first frame taken.
    ASSERT_TRUE(qs_set_exposure(s, 5000) == 0 && qs_set_exposure_auto(s, QS_AUTO_ONCE) == 0);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(qs_capture(s, IMG_TYPE_JPG, dir.file("o").c_str(), 5000, &p), 0);
    qs::monotonic_clock.store([](timespec* ts) { *ts = {1 << 30, 0}; });
    EXPECT_TRUE(qs_set_exposure_auto(s, QS_AUTO_ONCE) == 0 &&
                qs_capture(s, IMG_TYPE_JPG, dir.file("o").c_str(), 5000, &p) == 0 && p.frame_number == 28)
        << p.frame_number;
    qs::monotonic_clock.store(real);
}

}  // namespace

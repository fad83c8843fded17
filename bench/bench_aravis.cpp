// Wall time of one photo through our camera SDK over Aravis, against Aravis's emulated GigE Vision camera
// (1920x1080 RGB8, JPEG 90), beside a minimal program that takes the same photo straight on Aravis and
// libjpeg-turbo; the discovery requests each sends; the peak memory of the quellshot program doing it.
// Everything runs in a private network namespace made first thing in main (root needed), so that
// discovery broadcasts and the stream never leave this process's own loopback.
#include <arv.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/resource.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "quellshot.h"
#include "support/arvfake.h"
#include "support/bench_main.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCameraIp = 0x7F000001;  // 127.0.0.1
constexpr int kWidth = 1920, kHeight = 1080;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 3;
constexpr double kPauseMs = 1000.0;  // Quellshot_Grab's fixed pause after the trigger
constexpr double kTimeGoal = 1.10;   // (ours - pause) / minimal, medians
constexpr int kRuns = 11;
constexpr guint64 kFrameWaitUs = 1000000;
constexpr guint kMinSocketBuffer = 1u << 20;  // the backend's floor for the stream socket's buffer
enum Phase { kDiscovery, kOpen, kStream, kFrame, kEncode, kTeardown, kPhases };
const char* const kPhaseNames[kPhases] = {"discovery (arv_update_device_list)",
                                          "open, TriggerMode On, TriggerSource Software",
                                          "stream: 2 buffers, start acquisition",
                                          "trigger -> complete frame",
                                          "JPEG encode + file write",
                                          "stop, release, arv_shutdown"};

struct Results {
    std::vector<double> ours, minimal;            // wall times, ms
    std::vector<double> oursFound, minimalFound;  // discovery requests: per photo, per discovery phase
    std::array<std::vector<double>, kPhases> phases;
    int retries = 0;     // frames the minimal program triggered again
    unsigned stray = 0;  // its discovery requests outside its discovery phase
};

std::string g_dir;
FakeCamera* g_camera = nullptr;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// No figure comes from a failed run. The emulator is stopped: it would keep the namespace alive.
[[noreturn]] void fail(const std::string& why) {
    fprintf(stderr, "bench_aravis: %s\n", why.c_str());
    if (g_camera != nullptr) g_camera->stop();
    if (!g_dir.empty()) (void)system(("rm -rf '" + g_dir + "'").c_str());
    exit(1);
}

// GVCP discovery requests (UDP to port 3956, command 0x0002) sent on lo, the namespace's only
// interface, where each discovery sends one per interface. Seen on the wire, a discovery is counted
// wherever it comes from, also one Aravis runs inside another call (opening a name it does not know).
// Only a socket of every protocol sees outgoing packets; the kernel queues that copy before the send
// returns, so a count taken after a call holds all that call sent.
class DiscoveryCounter {
public:
    DiscoveryCounter() {
        static sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 11),  // lo shows each packet twice
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF + SKF_AD_PROTOCOL)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 9),
            BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 7),
            BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),  // a later fragment has no UDP header
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, 5, 0),
            BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // IP header length
            BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),   // UDP destination port
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 3956, 0, 2),
            BPF_STMT(BPF_LD | BPF_H | BPF_IND, 8 + 2),  // GVCP command
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x0002, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, 0),
            BPF_STMT(BPF_RET | BPF_K, 64),
        };
        const sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_ALL);
        at.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
        if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0 ||
            bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
            fail(std::string("cannot watch lo for discovery requests: ") + strerror(errno));
    }
    ~DiscoveryCounter() { close(fd_); }
    // Requests sent since the last call.
    unsigned take() {
        unsigned n = 0;
        unsigned char packet[64];
        while (recv(fd_, packet, sizeof packet, MSG_DONTWAIT) >= 0) ++n;
        return n;
    }

private:
    int fd_ = -1;
};

// True when `path` holds a JPEG of a whole frame that decodes.
bool isFrameJpeg(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    std::vector<unsigned char> data(2 * kFrameBytes), pixels(kFrameBytes);
    const size_t n = f == nullptr ? 0 : fread(data.data(), 1, data.size(), f);
    if (f != nullptr) fclose(f);
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, space = 0;
    const bool ok = tj != nullptr && n > 0 &&
                    tjDecompressHeader3(tj, data.data(), n, &w, &h, &sub, &space) == 0 && w == kWidth &&
                    h == kHeight &&
                    tjDecompress2(tj, data.data(), n, pixels.data(), w, 0, h, TJPF_RGB, 0) == 0;
    if (tj != nullptr) tjDestroy(tj);
    return ok;
}

// As our backend saves a frame (camsdk/common/camimage.cpp): 4:4:4, quality 90, no flags.
bool encodeAndWrite(ArvBuffer* b, const std::string& path) {
    size_t size = 0;
    const auto* px = static_cast<const unsigned char*>(arv_buffer_get_image_data(b, &size));
    const int w = arv_buffer_get_image_width(b), h = arv_buffer_get_image_height(b);
    if (arv_buffer_get_image_pixel_format(b) != ARV_PIXEL_FORMAT_RGB_8_PACKED || size < size_t(w) * h * 3)
        return false;
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long len = 0;
    bool ok = tj != nullptr && tjCompress2(tj, px, w, 0, h, TJPF_RGB, &jpeg, &len, TJSAMP_444, 90, 0) == 0;
    FILE* f = ok ? fopen(path.c_str(), "wb") : nullptr;
    ok = f != nullptr && fwrite(jpeg, 1, len, f) == len;
    if (f != nullptr && fclose(f) != 0) ok = false;
    tjFree(jpeg);
    if (tj != nullptr) tjDestroy(tj);
    return ok;
}

// The steps of a short program written straight on Aravis, shared by its photo and its series.
// It makes the stream as our backend does (camsdk/aravis/sdk.cpp): a UDP socket instead of the packet
// socket root would get, with a buffer that holds a whole frame; so the two differ only in what our
// toolkit adds.
void must(bool ok, GError* err, const char* what) {
    if (!ok || err != nullptr)
        fail(std::string("minimal program: ") + what + ": " + (err ? err->message : ""));
}

std::string findHikrobot() {
    arv_update_device_list();
    for (unsigned i = 0; i < arv_get_n_devices(); ++i)
        if (g_strcmp0(arv_get_device_vendor(i), "Hikrobot") == 0) return arv_get_device_id(i);
    return {};
}

ArvCamera* openForSoftwareTrigger(const std::string& id) {
    must(!id.empty(), nullptr, "no Hikrobot camera found");
    GError* err = nullptr;
    ArvCamera* cam = arv_camera_new(id.c_str(), &err);
    must(cam != nullptr, err, "open");
    arv_gv_device_set_stream_options(ARV_GV_DEVICE(arv_camera_get_device(cam)),
                                     ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
    arv_camera_set_string(cam, "TriggerMode", "On", &err);
    if (err == nullptr) arv_camera_set_string(cam, "TriggerSource", "Software", &err);
    must(true, err, "software trigger set-up");
    return cam;
}

ArvStream* startStream(ArvCamera* cam) {
    GError* err = nullptr;
    const guint payload = arv_camera_get_payload(cam, &err);
    must(payload > 0, err, "PayloadSize");
    ArvStream* stream = arv_camera_create_stream(cam, nullptr, nullptr, &err);
    must(stream != nullptr, err, "stream");
    g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size",
                 static_cast<gint>(std::clamp<guint>(payload, kMinSocketBuffer, G_MAXINT)), nullptr);
    for (int i = 0; i < 2; ++i) arv_stream_push_buffer(stream, arv_buffer_new_allocate(payload));
    arv_camera_start_acquisition(cam, &err);
    must(true, err, "start acquisition");
    return stream;
}

// A complete frame of a software trigger; a frame lost or broken is triggered once more.
ArvBuffer* triggerAndPop(ArvCamera* cam, ArvStream* stream, int& retries) {
    ArvBuffer* b = nullptr;
    for (int attempt = 0; b == nullptr && attempt < 2; ++attempt) {
        retries += attempt;
        GError* err = nullptr;
        arv_camera_software_trigger(cam, &err);
        must(true, err, "TriggerSoftware");
        b = arv_stream_timeout_pop_buffer(stream, kFrameWaitUs);
        if (b != nullptr && arv_buffer_get_status(b) != ARV_BUFFER_STATUS_SUCCESS) {
            arv_stream_push_buffer(stream, b);
            b = nullptr;
        }
    }
    must(b != nullptr, nullptr, "no complete frame after two triggers");
    return b;
}

void stopAndClose(ArvCamera* cam, ArvStream* stream) {
    GError* err = nullptr;
    arv_camera_stop_acquisition(cam, &err);
    must(true, err, "stop acquisition");
    g_object_unref(stream);
    g_object_unref(cam);
    arv_shutdown();  // as the backend's last MV_CC_Finalize: each session starts from a fresh Aravis
}

// The minimal program's photo, phase by phase; a retried frame's time counts.
void minimalGrab(Results& r, DiscoveryCounter& counter) {
    const std::string path = g_dir + "/minimal.jpg";
    (void)unlink(path.c_str());
    std::array<double, kPhases> ms{};
    const auto t0 = Clock::now();
    auto t = t0;
    auto lap = [&](Phase p) {
        ms[p] = msSince(t);
        t = Clock::now();
    };
    const std::string id = findHikrobot();
    r.minimalFound.push_back(counter.take());
    lap(kDiscovery);
    ArvCamera* cam = openForSoftwareTrigger(id);
    lap(kOpen);
    ArvStream* stream = startStream(cam);
    lap(kStream);
    ArvBuffer* b = triggerAndPop(cam, stream, r.retries);
    lap(kFrame);
    must(encodeAndWrite(b, path), nullptr, "JPEG encode or file write");
    lap(kEncode);
    arv_stream_push_buffer(stream, b);
    stopAndClose(cam, stream);
    lap(kTeardown);
    r.minimal.push_back(msSince(t0));
    r.stray += counter.take();
    must(isFrameJpeg(path), nullptr, "no 1920x1080 JPEG in the file");
    for (int p = 0; p < kPhases; ++p) r.phases[p].push_back(ms[p]);
}

double oursGrab(DiscoveryCounter& counter, std::vector<double>* found) {
    const std::string base = g_dir + "/ours";
    (void)unlink((base + ".jpg").c_str());
    (void)counter.take();
    const auto t0 = Clock::now();
    const int r = Quellshot_Grab(IMG_TYPE_JPG, base.c_str(), 30, nullptr);
    const double ms = msSince(t0);
    if (found != nullptr) found->push_back(counter.take());
    if (r != 0) fail(bench_text("Quellshot_Grab returned %d", r));
    if (!isFrameJpeg(base + ".jpg")) fail("Quellshot_Grab returned 0 without a 1920x1080 JPEG");
    return ms;
}

// kSeries photos in one session of ours (what 'quellshot grab --count' runs): from the first trigger to
// the last file, in ms. The camera is opened before and closed after.
constexpr int kSeries = 20;
double oursSeries() {
    qs_session* s = nullptr;
    if (const int r = qs_open(nullptr, &s)) fail(bench_text("qs_open returned %d", r));
    const auto t0 = Clock::now();
    const int r =
        qs_series(s, IMG_TYPE_JPG, (g_dir + "/s%n").c_str(), kSeries, 0, 5000, nullptr, nullptr, nullptr);
    const double ms = msSince(t0);
    qs_close(s);
    if (r != 0) fail(bench_text("qs_series returned %d", r));
    if (!isFrameJpeg(g_dir + bench_text("/s%02d.jpg", kSeries)))
        fail("the series' last file is not a whole JPEG");
    return ms;
}

// The same series as the minimal program takes it: trigger, pop, encode and write, one photo after the
// other. From the first trigger, in ms.
double minimalSeries(int& retries) {
    ArvCamera* cam = openForSoftwareTrigger(findHikrobot());
    ArvStream* stream = startStream(cam);
    const auto t0 = Clock::now();
    for (int n = 1; n <= kSeries; ++n) {
        ArvBuffer* b = triggerAndPop(cam, stream, retries);
        must(encodeAndWrite(b, g_dir + bench_text("/m%02d.jpg", n)), nullptr, "JPEG encode or file write");
        arv_stream_push_buffer(stream, b);
    }
    const double ms = msSince(t0);
    stopAndClose(cam, stream);
    return ms;
}

// Peak resident memory, in KiB, of the quellshot program taking one photo (count 1) or a series with the
// backend chosen by name, as a user would, and this run's lock directory; nothing else of the
// environment counts.
long cliPeakRssKib(int count = 1) {
    const std::string base = g_dir + (count == 1 ? "/cli" : "/cli%n"),
                      lockDir = "QUELLSHOT_LOCKDIR=" + g_dir + "/lock";
    const std::string n = std::to_string(count);
    const char* const envp[] = {"QUELLSHOT_SDK=aravis", lockDir.c_str(), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        if (count == 1) {
            execle(QS_CLI_PATH, QS_CLI_PATH, "grab", "--timeout", "30", base.c_str(), nullptr,
                   const_cast<char* const*>(envp));
        } else {
            execle(QS_CLI_PATH, QS_CLI_PATH, "grab", "--count", n.c_str(), base.c_str(), nullptr,
                   const_cast<char* const*>(envp));
        }
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(bench_text("'quellshot grab' failed (wait status 0x%x)", static_cast<unsigned>(status)));
    const std::string last =
        count == 1 ? base + ".jpg" : g_dir + bench_text("/cli%0*d.jpg", static_cast<int>(n.size()), count);
    if (!isFrameJpeg(last)) fail("'quellshot grab' succeeded without a 1920x1080 JPEG");
    return ru.ru_maxrss;
}

}  // namespace

int main() {
    // Before any thread: a thread started later lives in the namespace too, one started earlier not.
    if (unshare(CLONE_NEWNET) != 0 || system("ip link set lo up") != 0) {
        fprintf(stderr, "bench_aravis: cannot make a private network namespace (%s): run it as root\n",
                strerror(errno));
        return 1;
    }
    char tmpl[] = "/tmp/qs-bench-aravis-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) fail("cannot make a temporary directory");
    g_dir = tmpl;
    // The library chooses its SDK at its first call. The lock is this run's own, so neither another
    // benchmark nor a test in the same build tree collides with it.
    setenv("QUELLSHOT_SDK", QS_ARAVIS_SDK, 1);
    setenv("QUELLSHOT_LOCKDIR", (g_dir + "/lock").c_str(), 1);
    FakeCamera camera(kCameraIp, "BENCH1");
    g_camera = &camera;
    if (!camera.up) {
        fail(camera.ended == -1
                 ? std::string("the emulated camera did not start in 20 s: " ARV_FAKE_GV_CAMERA)
                 : bench_text("the emulated camera ended with wait status 0x%x before it started: %s",
                              static_cast<unsigned>(camera.ended), ARV_FAKE_GV_CAMERA));
    }
    if (!configure(kCameraIp,
                   "DeviceVendorName=Hikrobot Width=1920 Height=1080 PixelFormat=RGB8 ExposureAuto=Off"))
        fail("cannot configure the emulated camera");
    DiscoveryCounter counter;
    // The program's peak memory first, while this process is small: a child's peak counts the pages it
    // shared with this process from fork to exec.
    const long rss = cliPeakRssKib(), seriesRss = cliPeakRssKib(40);

    // A first photo of ours, not counted: it also sets the packet size the camera keeps for both.
    (void)oursGrab(counter, nullptr);
    const char* sdkName = nullptr;
    if (qs_camera_sdk(&sdkName, nullptr) == nullptr || strcmp(sdkName, "aravis") != 0)
        fail("Quellshot_Grab did not use the camera SDK over Aravis");
    Results r;
    for (int run = 0; run < kRuns; ++run) {
        // The order alternates, so that what one leaves behind falls on both alike.
        for (int side = 0; side < 2; ++side) {
            if ((side + run) % 2 == 0) {
                r.ours.push_back(oursGrab(counter, &r.oursFound));
            } else {
                minimalGrab(r, counter);
            }
        }
    }
    const double perDiscovery = median(r.minimalFound);
    if (perDiscovery < 1) fail("no discovery request was seen on lo: the count would mean nothing");
    std::vector<double> series, minimal;
    for (int run = 0; run < 5; ++run) {
        for (int side = 0; side < 2; ++side) {
            if ((side + run) % 2 == 0) {
                series.push_back(oursSeries());
            } else {
                minimal.push_back(minimalSeries(r.retries));
            }
        }
    }
    const double oursRate = kSeries * 1000.0 / median(series),
                 minimalRate = kSeries * 1000.0 / median(minimal);

    const double o = median(r.ours) - kPauseMs, m = median(r.minimal), ratio = o / m;
    const double found = *std::max_element(r.oursFound.begin(), r.oursFound.end()) / perDiscovery;
    const double rssGoal = (3.0 * kFrameBytes + 16.0 * 1024 * 1024) / 1024;
    printf("\nOne photo 1920x1080 RGB8 -> JPEG 90, medians of %d runs each\n", kRuns);
    printf("  %-46s %9.1f ms\n", "Quellshot_Grab minus its 1000 ms pause", o);
    printf("  %-46s %9.1f ms   (%d frame(s) triggered again)\n", "minimal Aravis program", m, r.retries);
    for (int p = 0; p < kPhases; ++p) printf("    %-44s %9.1f ms\n", kPhaseNames[p], median(r.phases[p]));
    printf(
        "  ratio %.3fx, goal <= %.2fx: %s; %.3fx without the minimal program's wait for the frame,\n"
        "  which ours spends inside its pause\n",
        ratio, kTimeGoal, ratio <= kTimeGoal ? "met" : "MISSED", o / (m - median(r.phases[kFrame])));
    printf(
        "Discovery requests on lo: %.0f per discovery of the minimal program (%u elsewhere in it);\n"
        "  Quellshot_Grab: %.1f discoveries at most\n",
        perDiscovery, r.stray, found);
    printf("Peak resident memory of 'quellshot grab': %ld KiB; goal <= %.0f KiB (3 x frame + 16 MiB): %s\n",
           rss, rssGoal, rss <= rssGoal ? "met" : "MISSED");
    report_goal(
        "photo 1920x1080 JPEG over Aravis, median wall time: Quellshot_Grab - 1000 ms vs minimal program",
        true, bench_text("%.1f ms", o), bench_text("%.1f ms", m), bench_text("%.3fx", ratio),
        bench_text("<= %.2fx", kTimeGoal), ratio <= kTimeGoal);
    report_goal(
        "discoveries per photo over Aravis, requests seen on the wire: Quellshot_Grab vs minimal program",
        true, bench_text("%.1f", found), "1.0", bench_text("%.2fx", found), "<= 1.00x", found <= 1.0);
    report_goal("peak resident memory of 'quellshot grab' over Aravis (3 x frame + 16 MiB)", true,
                bench_text("%ld KiB", rss), "-", "-", bench_text("<= %.0f KiB", rssGoal), rss <= rssGoal);
    printf(
        "%d photos in one session: %.1f photos/s; minimal Aravis loop %.1f photos/s; ratio %.3fx, goal >= "
        "0.9x: %s\n",
        kSeries, oursRate, minimalRate, oursRate / minimalRate,
        oursRate >= 0.9 * minimalRate ? "met" : "MISSED");
    report_goal("series of 20 photos 1920x1080 JPEG over Aravis, photos/s: qs_series vs minimal Aravis loop",
                true, bench_text("%.1f /s", oursRate), bench_text("%.1f /s", minimalRate),
                bench_text("%.3fx", oursRate / minimalRate), ">= 0.9x", oursRate >= 0.9 * minimalRate);
    const double seriesGoal = (3.0 * kFrameBytes + 8.0 * 1024 * 1024) / 1024;
    printf(
        "Peak resident memory of 'quellshot grab --count 40': %ld KiB; goal <= %.0f KiB (3 x frame + 8 MiB): "
        "%s\n",
        seriesRss, seriesGoal, seriesRss <= seriesGoal ? "met" : "MISSED");
    report_goal("peak resident memory of 'quellshot grab --count 40' over Aravis (3 x frame + 8 MiB)", true,
                bench_text("%ld KiB", seriesRss), "-", "-", bench_text("<= %.0f KiB", seriesGoal),
                seriesRss <= seriesGoal);
    camera.stop();
    return system(("rm -rf '" + g_dir + "'").c_str()) == 0 ? 0 : 1;
}

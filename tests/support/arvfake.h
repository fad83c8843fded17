// Aravis's emulated GigE Vision camera (arv-fake-gv-camera-0.8, written outside this project) as a
// child of the test, and the image it draws for a frame. Only for programs that run in a private
// network namespace (support/netns.h): discovery and streaming never leave it. The including target
// defines ARV_FAKE_GV_CAMERA (the emulator) and FAKE_CAMERA_XML (its GenICam description with
// ExposureAuto, GainAuto and DeviceReset added).
#pragma once

#include <arpa/inet.h>
#include <arv.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/waitfor.h"

inline std::string dotted(uint32_t ip) {
    const in_addr a{htonl(ip)};
    return inet_ntoa(a);
}

// An emulated camera at `ip` (host order), our child; `up` once its control port is bound (a bind of
// ours then fails). `lossPerThousand` of its stream packets are never sent; `xml` is its description.
// `ended` is the wait status of a child that ended before it was up (-1: it did not end).
struct FakeCamera {
    pid_t pid = -1;
    bool up = false;
    int ended = -1;
    FakeCamera(uint32_t ip, const char* serial, const char* lossPerThousand = "0",
               const char* xml = FAKE_CAMERA_XML) {
        const std::string addr = dotted(ip);
        pid = fork();
        if (pid == 0) {
            execl(ARV_FAKE_GV_CAMERA, ARV_FAKE_GV_CAMERA, "-i", addr.c_str(), "-s", serial, "-g", xml, "-r",
                  lossPerThousand, static_cast<char*>(nullptr));
            _exit(127);
        }
        sockaddr_in at{AF_INET, htons(3956), {htonl(ip)}, {}};
        up = pid > 0 && wait_for([&] {
                 int status = 0;
                 if (waitpid(pid, &status, WNOHANG) == pid) return ended = status, pid = -1, true;
                 const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                 const bool taken =
                     bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 && errno == EADDRINUSE;
                 return close(fd) == 0 && taken;
             }) &&
             pid > 0;
    }
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;
    ~FakeCamera() { stop(); }
    void stop() {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

// Sets features of the camera at `ip` through Aravis, as another client would, and lets go of it:
// "DeviceVendorName=Hikrobot Width=1920". False when one fails.
inline bool configure(uint32_t ip, const std::string& features) {
    ArvCamera* cam = arv_camera_new(dotted(ip).c_str(), nullptr);
    const bool ok = cam != nullptr && arv_device_set_features_from_string(arv_camera_get_device(cam),
                                                                          features.c_str(), nullptr);
    if (cam != nullptr) g_object_unref(cam);
    return ok;
}

// The image the emulator draws as frame `id` at a size and format, drawn by Aravis's own fake camera.
// The frame counter only matters modulo 2^16 on the wire, so it is stepped at one pixel and the
// image drawn once at full size.
inline std::vector<unsigned char> fakeImage(unsigned w, unsigned h, unsigned format, uint64_t id) {
    ArvFakeCamera* cam = arv_fake_camera_new("pattern");
    arv_fake_camera_write_register(cam, ARV_FAKE_CAMERA_REGISTER_PIXEL_FORMAT, format);
    arv_fake_camera_write_register(cam, ARV_FAKE_CAMERA_REGISTER_WIDTH, 1);
    arv_fake_camera_write_register(cam, ARV_FAKE_CAMERA_REGISTER_HEIGHT, 1);
    ArvBuffer* small = arv_buffer_new_allocate(64);
    guint32 packet = 1400;
    for (int i = 0; i < 70000 && (i == 0 || (arv_buffer_get_frame_id(small) + 1) % 65536 != id % 65536); ++i)
        arv_fake_camera_fill_buffer(cam, small, &packet);
    arv_fake_camera_write_register(cam, ARV_FAKE_CAMERA_REGISTER_WIDTH, w);
    arv_fake_camera_write_register(cam, ARV_FAKE_CAMERA_REGISTER_HEIGHT, h);
    ArvBuffer* b = arv_buffer_new_allocate(arv_fake_camera_get_payload(cam));
    arv_fake_camera_fill_buffer(cam, b, &packet);
    size_t n = 0;
    const auto* p = static_cast<const unsigned char*>(arv_buffer_get_data(b, &n));
    std::vector<unsigned char> image(p, p + n);
    g_object_unref(small), g_object_unref(b), g_object_unref(cam);
    return image;
}

// Internal declarations of the simulated camera SDK: the camera model, the scenario parser and the
// frame renderer shared by the translation units of libMvCameraControl.so. Nothing here is exported.
#pragma once

#include <MvCameraControl.h>
#include <sdkbase.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

using namespace sdkbase;  // statuses, raw enum fields, CancelGuard

enum class Transport { kUsb3, kGige, kNull, kOther };
// In the order of the CAMSIM_PIXEL_* values.
enum class Pixel {
    kRgb8,
    kMono8,
    kBgr8,
    kBayerRg8,
    kBayerGr8,
    kBayerGb8,
    kBayerBg8,
    kMono10,
    kMono12,
    kMono16
};
constexpr int kPixelCount = 10;
extern const char* const kPixelNames[kPixelCount];  // the scenario's names: "rgb8", ...
// What a successful MV_CC_SaveImageEx3 reports as nImageLen: the true length, 0, or one byte more
// than the caller's buffer (the faults a careful caller must refuse).
enum class ImageLen { kNormal, kZero, kOverflow };

// Limits of a camera; frames carry their size in unsigned shorts.
constexpr unsigned kMaxSide = 8192;
constexpr uint32_t kMaxExposure = 16000000;  // µs; every value up to here is exact as a float
constexpr int kPacketMin = 220;
constexpr int kPacketMax = 9156;
constexpr int kPacketInc = 4;
constexpr std::size_t kMaxCameras = MV_MAX_DEVICE_NUM;
constexpr uint32_t kMaxResetDowntime = 3600000;  // ms; a reboot longer than an hour is a typo

struct Camera {
    Transport transport = Transport::kUsb3;
    unsigned int layerType = MV_USB_DEVICE;  // nTLayerType reported for the entry
    std::string manufacturer = "Hikrobot";
    std::string model = "MV-CS050-10UC";
    std::string serial;  // empty: SIM<position> is filled in when the camera is accepted
    unsigned width = 1920;
    unsigned height = 1080;
    Pixel pixel = Pixel::kRgb8;
    unsigned exposureAuto = 0;  // 0 off, 1 once, 2 continuous
    std::vector<uint32_t> exposures{10000};
    int64_t packetSize = 8164;
    bool frames = true;
    uint32_t resetDowntimeMs = 2000;  // after DeviceReset the camera is not listed for this long
    ImageLen imageLen = ImageLen::kNormal;
};

// Functions a fault can be set on, in the order of the header.
enum Fn {
    kInitialize,
    kFinalize,
    kEnumDevices,
    kCreateHandle,
    kDestroyHandle,
    kOpenDevice,
    kCloseDevice,
    kSetTransferWays,
    kGetOptimalPacketSize,
    kGetIntValueEx,
    kSetIntValueEx,
    kSetEnumValue,
    kGetFloatValue,
    kSetCommandValue,
    kGetExposureAutoMode,
    kGetExposureTime,
    kStartGrabbing,
    kStopGrabbing,
    kGetImageBuffer,
    kFreeImageBuffer,
    kSaveImageEx3,
    kFnCount
};
extern const char* const kFnNames[kFnCount];
int fnIndex(std::string_view name);  // -1 when unknown

struct Fault {
    int fn;
    uint64_t first;  // 0 with last 0: every call
    uint64_t last;
    uint32_t status;
};

struct Config {
    std::vector<Camera> cameras;
    std::vector<Fault> faults;
};

// Parses a scenario. On error returns false and sets `error` to "<name>:<line>: <what>".
bool parseScenario(std::string_view text, const std::string& name, Config& out, std::string& error);

// Checks a camera that is to join `cameras` at the end and fills its default serial. Returns an
// empty string when it is acceptable, else what is wrong with it.
std::string acceptCamera(Camera& cam, const std::vector<Camera>& cameras);

// Parses a decimal or 0x-hexadecimal integer with an optional minus sign.
bool parseNumber(std::string_view text, int64_t& out);

MvGvspPixelType sdkPixelType(Pixel p);

// Draws the test pattern of frame `frameNum` (a gradient whose blue or brightness depends on the
// number, with the number in large digits near the top-left) into `out`, which holds
// camimage::frameBytes(sdkPixelType(pixel), width, height) bytes. RGB8 is the pattern itself,
// BGR8 its bytes swapped, Bayer types sample it through their mosaic; Mono8 is the grey pattern,
// the deeper mono types that grey scaled to their depth with varying low bits below it.
void renderFrame(unsigned width, unsigned height, Pixel pixel, unsigned frameNum, unsigned char* out);

}  // namespace camsim

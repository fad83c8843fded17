// Internal declarations of the simulated camera SDK: the camera model, its features, the scenario
// parser and the frame renderer shared by the translation units of libMvCameraControl.so. Nothing
// here is exported.
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
extern const char* const kPixelNames[kPixelCount];    // the scenario's names: "rgb8", ...
extern const char* const kPixelGenicam[kPixelCount];  // PixelFormat's entries: "RGB8", ...
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
    std::string firmware = "camsim 1.0";
    uint32_t ip = 0;  // GigE address, host order; 0: 192.168.1.(10 + position)
};

// A camera as one handle sees it: its description and the settings it has now. resetSettings
// brings the settings up as the camera starts (after the handle is made and after DeviceReset).
struct Device {
    Camera cam;
    bool grabbing = false;
    unsigned width = 0, height = 0, offsetX = 0, offsetY = 0;  // the region of interest
    Pixel pixel = Pixel::kRgb8;
    unsigned triggerMode = MV_TRIGGER_MODE_OFF;
    unsigned triggerSource = MV_TRIGGER_SOURCE_LINE0;
    unsigned exposureAuto = MV_EXPOSURE_AUTO_MODE_OFF;
    unsigned gainAuto = MV_EXPOSURE_AUTO_MODE_OFF;
    float exposure = 0;          // µs: written, held, or of the last automatic frame handed out
    std::size_t autoFrames = 0;  // frames exposed since automatic exposure went on (at most the sequence's)
    float gain = 0;              // dB
    bool reverseX = false, reverseY = false, frameRateEnable = false;
    int64_t packetSize = 0;
};

// The exposure of one frame: its time, whether the automatic sequence gave it, and whether that
// was the sequence's last value.
struct Exposure {
    float us;
    bool automatic;
    bool last;
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
    kSetFloatValue,
    kGetEnumValue,
    kSetEnumValueByString,
    kGetBoolValue,
    kSetBoolValue,
    kGetStringValue,
    kSetCommandValue,
    kGetExposureAutoMode,
    kGetExposureTime,
    kStartGrabbing,
    kStopGrabbing,
    kGetImageBuffer,
    kFreeImageBuffer,
    kSaveImageEx3,
    kListFeatures,  // quellshot_sdk_features, the feature lister the toolkit's loader looks for
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
// Parses an IPv4 address in dotted-quad notation, other than 0.0.0.0, into host order.
bool parseIpv4(std::string_view text, uint32_t& out);

MvGvspPixelType sdkPixelType(Pixel p);

// ---- features (features.cpp) ----
// Each call below returns an SDK status and checks, in this order: the feature is known to this
// camera (else kSupport), of the call's type (else kParameter); for a write: writable at all (else
// kSupport), writable now (else kCallOrder: locked while grabbing, or set by an automatic mode);
// then the value (else kParameter). Nothing is changed on failure.
void resetSettings(Device& d);
int getInteger(const Device& d, std::string_view key, MVCC_INTVALUE_EX& out);
int setInteger(Device& d, std::string_view key, int64_t value);
int getFloat(const Device& d, std::string_view key, MVCC_FLOATVALUE& out);
int setFloat(Device& d, std::string_view key, float value);
int getEnum(const Device& d, std::string_view key, MVCC_ENUMVALUE& out);
int setEnum(Device& d, std::string_view key, unsigned value);
int setEnumByName(Device& d, std::string_view key, std::string_view entry);
int getBool(const Device& d, std::string_view key, bool& out);
int setBool(Device& d, std::string_view key, bool value);
int getString(const Device& d, std::string_view key, MVCC_STRINGVALUE& out);
int findCommand(const Device& d, std::string_view key);  // kOk: a command of this camera
// The names of every feature the camera has, in a fixed order; static strings.
std::vector<const char*> featureNames(const Device& d);

// Bytes of a frame of the current region and pixel format.
uint64_t payloadSize(const Device& d);
// Microseconds from a frame's trigger until it has arrived: its exposure, then its readout over
// the link.
double frameTimeUs(const Device& d, double exposureUs);
// The exposure the next frame gets; expose() takes it, moving the automatic sequence on.
Exposure nextExposure(const Device& d);
Exposure expose(Device& d);
// A frame of exposure `e` was handed out: the camera now reports it, and Once modes end.
void delivered(Device& d, const Exposure& e);

// Draws the test pattern of frame `frameNum` (a gradient whose blue or brightness depends on the
// number, with the number in large digits near the top-left) into `out`, which holds
// camimage::frameBytes(sdkPixelType(pixel), width, height) bytes. RGB8 is the pattern itself,
// BGR8 its bytes swapped, Bayer types sample it through their mosaic; Mono8 is the grey pattern,
// the deeper mono types that grey scaled to their depth with varying low bits below it.
void renderFrame(unsigned width, unsigned height, Pixel pixel, unsigned frameNum, unsigned char* out);

}  // namespace camsim

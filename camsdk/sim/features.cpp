// The simulated camera's features: their names, types, limits and access, the values a handle holds,
// and the exposure and frame time they lead to.
//
// The region of interest moves in steps a sensor reads out in: the width in 8 pixels from 64, the
// height in 2 lines from 2, the offsets in the same steps. The grid is anchored at the sensor's full
// size, so a sensor of any size keeps its full frame; one smaller than the least size has only that.
// A feature writable in general but not in the current state (ExposureTime under ExposureAuto, Gain
// under GainAuto, the region, pixel format and packet size while grabbing) answers MV_E_CALLORDER:
// it needs another call first.

#include <camimage.h>

#include <algorithm>
#include <cstring>

#include "sim_internal.h"

namespace camsim {

const char* const kPixelGenicam[kPixelCount] = {"RGB8",     "Mono8",    "BGR8",   "BayerRG8", "BayerGR8",
                                                "BayerGB8", "BayerBG8", "Mono10", "Mono12",   "Mono16"};

namespace {

enum class Kind { kInteger, kFloat, kEnumeration, kBoolean, kString, kCommand };

constexpr unsigned kWritable = 1;  // written through the SDK
constexpr unsigned kLocked = 2;    // not while grabbing: the stream's buffers depend on it
constexpr unsigned kGigeOnly = 4;

// In the order of kFeatures.
enum Id {
    kWidth,
    kHeight,
    kOffsetX,
    kOffsetY,
    kWidthMax,
    kHeightMax,
    kPayloadSize,
    kPacketSize,
    kExposureTime,
    kGain,
    kFrameRate,
    kTriggerMode,
    kTriggerSource,
    kExposureAuto,
    kGainAuto,
    kPixelFormat,
    kReverseX,
    kReverseY,
    kFrameRateEnable,
    kVendor,
    kModel,
    kSerial,
    kFirmware,
    kUserId,
    kTriggerSoftware,
    kDeviceReset,
    kIdCount
};

struct Feature {
    const char* name;
    Kind kind;
    unsigned access;
};

const Feature kFeatures[kIdCount] = {
    {"Width", Kind::kInteger, kWritable | kLocked},
    {"Height", Kind::kInteger, kWritable | kLocked},
    {"OffsetX", Kind::kInteger, kWritable | kLocked},
    {"OffsetY", Kind::kInteger, kWritable | kLocked},
    {"WidthMax", Kind::kInteger, 0},
    {"HeightMax", Kind::kInteger, 0},
    {"PayloadSize", Kind::kInteger, 0},
    {"GevSCPSPacketSize", Kind::kInteger, kWritable | kLocked | kGigeOnly},
    {"ExposureTime", Kind::kFloat, kWritable},
    {"Gain", Kind::kFloat, kWritable},
    {"ResultingFrameRate", Kind::kFloat, 0},
    {"TriggerMode", Kind::kEnumeration, kWritable},
    {"TriggerSource", Kind::kEnumeration, kWritable},
    {"ExposureAuto", Kind::kEnumeration, kWritable},
    {"GainAuto", Kind::kEnumeration, kWritable},
    {"PixelFormat", Kind::kEnumeration, kWritable | kLocked},
    {"ReverseX", Kind::kBoolean, kWritable},
    {"ReverseY", Kind::kBoolean, kWritable},
    {"AcquisitionFrameRateEnable", Kind::kBoolean, kWritable},
    {"DeviceVendorName", Kind::kString, 0},
    {"DeviceModelName", Kind::kString, 0},
    {"DeviceSerialNumber", Kind::kString, 0},
    {"DeviceFirmwareVersion", Kind::kString, 0},
    {"DeviceUserID", Kind::kString, 0},
    {"TriggerSoftware", Kind::kCommand, kWritable},
    {"DeviceReset", Kind::kCommand, kWritable},
};

constexpr int64_t kMinWidth = 64, kWidthInc = 8, kMinHeight = 2, kHeightInc = 2;
constexpr float kMinExposure = 15.0f;  // µs
constexpr float kMaxGain = 24.0f;      // dB
// Sustained payload rates of the links, bytes per µs: USB3 Vision moves about 350 MB/s, GigE Vision
// about 115 MB/s of its 125 once the packet headers are paid.
constexpr double kUsb3Rate = 350.0, kGigeRate = 115.0;

bool has(const Device& d, Id id) {
    return (kFeatures[id].access & kGigeOnly) == 0 || d.cam.transport == Transport::kGige;
}

// The feature `key` for a call of type `kind` (a write when `write`): kOk with `id` set, else the status.
int find(const Device& d, std::string_view key, Kind kind, bool write, Id& id) {
    int i = 0;
    while (i < kIdCount && (key != kFeatures[i].name || !has(d, static_cast<Id>(i)))) ++i;
    if (i == kIdCount) return kSupport;
    const Feature& f = kFeatures[i];
    if (f.kind != kind) return kParameter;
    if (write && (f.access & kWritable) == 0) return kSupport;
    if (write && (f.access & kLocked) != 0 && d.grabbing) return kCallOrder;
    id = static_cast<Id>(i);
    return kOk;
}

// The least size of an axis on the grid anchored at the sensor's full size.
int64_t leastSize(int64_t sensor, int64_t least, int64_t inc) {
    return sensor < least ? sensor : least + (sensor - least) % inc;
}

MVCC_INTVALUE_EX intValue(const Device& d, Id id) {
    MVCC_INTVALUE_EX v{};
    const int64_t sw = d.cam.width, sh = d.cam.height;
    const auto set = [&v](int64_t cur, int64_t min, int64_t max, int64_t inc) {
        v.nCurValue = cur, v.nMin = min, v.nMax = max, v.nInc = inc;
    };
    switch (id) {
        case kWidth:
            set(d.width, leastSize(sw, kMinWidth, kWidthInc), sw - d.offsetX, kWidthInc);
            break;
        case kHeight:
            set(d.height, leastSize(sh, kMinHeight, kHeightInc), sh - d.offsetY, kHeightInc);
            break;
        case kOffsetX:
            set(d.offsetX, 0, sw - d.width, kWidthInc);
            break;
        case kOffsetY:
            set(d.offsetY, 0, sh - d.height, kHeightInc);
            break;
        case kWidthMax:
            set(sw, sw, sw, 1);
            break;
        case kHeightMax:
            set(sh, sh, sh, 1);
            break;
        case kPayloadSize: {
            const auto n = static_cast<int64_t>(payloadSize(d));
            set(n, n, n, 1);
            break;
        }
        default:  // kPacketSize
            set(d.packetSize, kPacketMin, kPacketMax, kPacketInc);
            break;
    }
    return v;
}

MVCC_FLOATVALUE floatValue(const Device& d, Id id) {
    MVCC_FLOATVALUE v{};
    if (id == kExposureTime) {
        v.fCurValue = d.exposure, v.fMin = kMinExposure, v.fMax = static_cast<float>(kMaxExposure);
    } else if (id == kGain) {
        v.fCurValue = d.gain, v.fMin = 0.0f, v.fMax = kMaxGain;
    } else {  // kFrameRate, computed: bounded by its value
        v.fCurValue = v.fMin = v.fMax = static_cast<float>(1e6 / frameTimeUs(d, d.exposure));
    }
    return v;
}

struct Entry {
    const char* name;
    unsigned value;
};
constexpr std::size_t kMaxEntries = 16;
constexpr Entry kTriggerModes[] = {{"Off", MV_TRIGGER_MODE_OFF}, {"On", MV_TRIGGER_MODE_ON}};
constexpr Entry kTriggerSources[] = {{"Line0", MV_TRIGGER_SOURCE_LINE0},
                                     {"Line1", MV_TRIGGER_SOURCE_LINE1},
                                     {"Line2", MV_TRIGGER_SOURCE_LINE2},
                                     {"Line3", MV_TRIGGER_SOURCE_LINE3},
                                     {"Counter0", MV_TRIGGER_SOURCE_COUNTER0},
                                     {"Software", MV_TRIGGER_SOURCE_SOFTWARE},
                                     {"FrequencyConverter", MV_TRIGGER_SOURCE_FrequencyConverter}};
constexpr Entry kAutoModes[] = {{"Off", MV_EXPOSURE_AUTO_MODE_OFF},
                                {"Once", MV_EXPOSURE_AUTO_MODE_ONCE},
                                {"Continuous", MV_EXPOSURE_AUTO_MODE_CONTINUOUS}};

// Besides its own format every simulated camera offers grey, colour and raw frames, so that a test can
// switch any camera between them.
bool offered(const Device& d, Pixel p) {
    return p == d.cam.pixel || p == Pixel::kMono8 || p == Pixel::kRgb8 || p == Pixel::kBayerRg8;
}

// Where an enumeration other than PixelFormat (kept as a Pixel) stores its value.
unsigned Device::*enumMember(Id id) {
    return id == kTriggerMode     ? &Device::triggerMode
           : id == kTriggerSource ? &Device::triggerSource
           : id == kExposureAuto  ? &Device::exposureAuto
                                  : &Device::gainAuto;
}

// An enumeration's entries, in a fixed order; returns their number.
std::size_t entries(const Device& d, Id id, Entry (&out)[kMaxEntries]) {
    const auto copy = [&out](const auto& table) {
        std::copy(std::begin(table), std::end(table), out);
        return std::size(table);
    };
    if (id == kTriggerMode) return copy(kTriggerModes);
    if (id == kTriggerSource) return copy(kTriggerSources);
    if (id != kPixelFormat) return copy(kAutoModes);
    std::size_t n = 0;
    for (int i = 0; i < kPixelCount; ++i) {
        const auto p = static_cast<Pixel>(i);
        if (offered(d, p)) out[n++] = Entry{kPixelGenicam[i], rawEnum(sdkPixelType(p))};
    }
    return n;
}

// Sets an enumeration to the entry of `value` or `name` (the other one NULL), if it has one.
int storeEnum(Device& d, Id id, const unsigned* value, const std::string_view* name) {
    Entry e[kMaxEntries];
    const std::size_t n = entries(d, id, e);
    const Entry* hit = std::find_if(
        e, e + n, [&](const Entry& x) { return value != nullptr ? x.value == *value : *name == x.name; });
    if (hit == e + n) return kParameter;
    if (id == kPixelFormat) {
        d.pixel = static_cast<Pixel>(std::find(kPixelGenicam, kPixelGenicam + kPixelCount, hit->name) -
                                     kPixelGenicam);
        return kOk;
    }
    unsigned& mode = d.*enumMember(id);
    // Switching automatic exposure on starts its settling over.
    if (id == kExposureAuto && mode == MV_EXPOSURE_AUTO_MODE_OFF && hit->value != MV_EXPOSURE_AUTO_MODE_OFF)
        d.autoFrames = 0;
    mode = hit->value;
    return kOk;
}

bool Device::*boolMember(Id id) {
    return id == kReverseX   ? &Device::reverseX
           : id == kReverseY ? &Device::reverseY
                             : &Device::frameRateEnable;
}

}  // namespace

void resetSettings(Device& d) {
    const Camera& c = d.cam;
    d.width = c.width, d.height = c.height, d.offsetX = d.offsetY = 0;
    d.pixel = c.pixel;
    d.triggerMode = MV_TRIGGER_MODE_OFF;
    d.triggerSource = MV_TRIGGER_SOURCE_LINE0;
    d.exposureAuto = c.exposureAuto;
    d.gainAuto = MV_EXPOSURE_AUTO_MODE_OFF;
    d.exposure = static_cast<float>(c.exposures.front());
    d.autoFrames = 0;
    d.gain = 0.0f;
    d.reverseX = d.reverseY = d.frameRateEnable = false;
    d.packetSize = 1500;  // a camera comes up with the Ethernet MTU until it is told better
}

int getInteger(const Device& d, std::string_view key, MVCC_INTVALUE_EX& out) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kInteger, false, id)) return rc;
    out = intValue(d, id);
    return kOk;
}

int setInteger(Device& d, std::string_view key, int64_t value) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kInteger, true, id)) return rc;
    const MVCC_INTVALUE_EX v = intValue(d, id);
    if (value < v.nMin || value > v.nMax || (value - v.nMin) % v.nInc != 0) return kParameter;
    const auto u = static_cast<unsigned>(value);
    switch (id) {
        case kWidth:
            d.width = u;
            break;
        case kHeight:
            d.height = u;
            break;
        case kOffsetX:
            d.offsetX = u;
            break;
        case kOffsetY:
            d.offsetY = u;
            break;
        default:  // kPacketSize
            d.packetSize = value;
            break;
    }
    return kOk;
}

int getFloat(const Device& d, std::string_view key, MVCC_FLOATVALUE& out) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kFloat, false, id)) return rc;
    out = floatValue(d, id);
    return kOk;
}

int setFloat(Device& d, std::string_view key, float value) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kFloat, true, id)) return rc;
    const unsigned mode = id == kExposureTime ? d.exposureAuto : d.gainAuto;
    if (mode != MV_EXPOSURE_AUTO_MODE_OFF) return kCallOrder;  // the automatic mode sets it
    const MVCC_FLOATVALUE v = floatValue(d, id);
    if (!(value >= v.fMin && value <= v.fMax)) return kParameter;  // NaN too
    (id == kExposureTime ? d.exposure : d.gain) = value;
    return kOk;
}

int getEnum(const Device& d, std::string_view key, MVCC_ENUMVALUE& out) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kEnumeration, false, id)) return rc;
    Entry e[kMaxEntries];
    const std::size_t n = entries(d, id, e);
    out = MVCC_ENUMVALUE{};
    out.nCurValue = id == kPixelFormat ? rawEnum(sdkPixelType(d.pixel)) : d.*enumMember(id);
    out.nSupportedNum = static_cast<unsigned>(n);
    for (std::size_t i = 0; i < n; ++i) out.nSupportValue[i] = e[i].value;
    return kOk;
}

int setEnum(Device& d, std::string_view key, unsigned value) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kEnumeration, true, id)) return rc;
    return storeEnum(d, id, &value, nullptr);
}

int setEnumByName(Device& d, std::string_view key, std::string_view entry) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kEnumeration, true, id)) return rc;
    return storeEnum(d, id, nullptr, &entry);
}

int getBool(const Device& d, std::string_view key, bool& out) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kBoolean, false, id)) return rc;
    out = d.*boolMember(id);
    return kOk;
}

int setBool(Device& d, std::string_view key, bool value) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kBoolean, true, id)) return rc;
    d.*boolMember(id) = value;
    return kOk;
}

int getString(const Device& d, std::string_view key, MVCC_STRINGVALUE& out) {
    Id id = kIdCount;
    if (const int rc = find(d, key, Kind::kString, false, id)) return rc;
    const Camera& c = d.cam;
    const std::string* const values[] = {&c.manufacturer, &c.model, &c.serial, &c.firmware, nullptr};
    const std::string* text = values[id - kVendor];  // DeviceUserID: none was ever given
    // The lengths of the device's bootstrap registers: GigE Vision's are 32 bytes, 16 for the
    // serial and user name; USB3 Vision's are 64.
    const bool gige = c.transport == Transport::kGige;
    out = MVCC_STRINGVALUE{};
    out.nMaxLength = !gige ? 64 : (id == kSerial || id == kUserId) ? 16 : 32;
    if (text != nullptr) std::memcpy(out.chCurValue, text->c_str(), text->size() + 1);  // scenario-limited
    return kOk;
}

int findCommand(const Device& d, std::string_view key) {
    Id id = kIdCount;
    return find(d, key, Kind::kCommand, true, id);
}

std::vector<const char*> featureNames(const Device& d) {
    std::vector<const char*> names;
    for (int i = 0; i < kIdCount; ++i) {
        if (has(d, static_cast<Id>(i))) names.push_back(kFeatures[i].name);
    }
    return names;
}

uint64_t payloadSize(const Device& d) {
    return camimage::frameBytes(sdkPixelType(d.pixel), d.width, d.height);
}

double frameTimeUs(const Device& d, double exposureUs) {
    const double rate = d.cam.transport == Transport::kGige ? kGigeRate : kUsb3Rate;
    return exposureUs + static_cast<double>(payloadSize(d)) / rate;
}

Exposure nextExposure(const Device& d) {
    if (d.exposureAuto == MV_EXPOSURE_AUTO_MODE_OFF) return Exposure{d.exposure, false, false};
    const std::vector<uint32_t>& seq = d.cam.exposures;
    const std::size_t i = std::min(d.autoFrames + 1, seq.size());
    return Exposure{static_cast<float>(seq[i - 1]), true, i == seq.size()};
}

Exposure expose(Device& d) {
    const Exposure e = nextExposure(d);
    if (e.automatic && d.autoFrames < d.cam.exposures.size()) ++d.autoFrames;
    return e;
}

void delivered(Device& d, const Exposure& e) {
    if (e.automatic && d.exposureAuto != MV_EXPOSURE_AUTO_MODE_OFF) {
        d.exposure = e.us;
        // A camera's Once mode settles and then turns itself off, holding what it found.
        if (e.last && d.exposureAuto == MV_EXPOSURE_AUTO_MODE_ONCE)
            d.exposureAuto = MV_EXPOSURE_AUTO_MODE_OFF;
    }
    if (d.gainAuto == MV_EXPOSURE_AUTO_MODE_ONCE) d.gainAuto = MV_EXPOSURE_AUTO_MODE_OFF;  // gain holds
}

}  // namespace camsim

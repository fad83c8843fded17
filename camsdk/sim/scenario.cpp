// Scenario files: the cameras the simulated SDK enumerates and the faults it injects.
//
// A scenario is lines of `key = value`; `#` at the start of a line or after a blank starts a
// comment; blanks around keys, values and lines are ignored. `[camera]` starts the next camera
// (in list order), `[fault]` a section of `FUNCTION[#N|#A-B] = status` lines. Anything not understood is an
// error with its line, because a test double that silently falls back to defaults makes a broken test look
// like a passing one.

#include "sim_internal.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

namespace camsim {

const char* const kFnNames[kFnCount] = {
    "MV_CC_Initialize",           "MV_CC_Finalize",
    "MV_CC_EnumDevices",          "MV_CC_CreateHandleWithoutLog",
    "MV_CC_DestroyHandle",        "MV_CC_OpenDevice",
    "MV_CC_CloseDevice",          "MV_USB_SetTransferWays",
    "MV_CC_GetOptimalPacketSize", "MV_CC_GetIntValueEx",
    "MV_CC_SetIntValueEx",        "MV_CC_SetEnumValue",
    "MV_CC_GetFloatValue",        "MV_CC_SetFloatValue",
    "MV_CC_GetEnumValue",         "MV_CC_SetEnumValueByString",
    "MV_CC_GetBoolValue",         "MV_CC_SetBoolValue",
    "MV_CC_GetStringValue",       "MV_CC_SetCommandValue",
    "MV_CC_GetExposureAutoMode",  "MV_CC_GetExposureTime",
    "MV_CC_StartGrabbing",        "MV_CC_StopGrabbing",
    "MV_CC_GetImageBuffer",       "MV_CC_FreeImageBuffer",
    "MV_CC_SaveImageEx3",         "quellshot_sdk_features",
};

int fnIndex(std::string_view name) {
    for (int i = 0; i < kFnCount; ++i) {
        if (name == kFnNames[i]) return i;
    }
    return -1;
}

namespace {

bool isBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && isBlank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool parseRange(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
    return parseNumber(text, out) && out >= lo && out <= hi;
}

// The longest text (without its NUL) that the device information field of the transport holds.
std::size_t nameLimit(const Camera& cam, bool serial) {
    if (cam.transport == Transport::kGige) return serial ? 15 : 31;
    return INFO_MAX_BUFFER_SIZE - 1;
}

bool serialCharsOk(const std::string& s) {
    for (unsigned char c : s) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool parseIpv4(std::string_view text, uint32_t& out) {
    in_addr a{};
    if (text.size() > 15 || inet_pton(AF_INET, std::string(text).c_str(), &a) != 1 || a.s_addr == 0)
        return false;
    out = ntohl(a.s_addr);
    return true;
}

bool parseNumber(std::string_view text, int64_t& out) {
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        if (value > (UINT64_C(1) << 62) / base) return false;  // far beyond any field
        value = value * base + digit;
    }
    out = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    return true;
}

std::string acceptCamera(Camera& cam, const std::vector<Camera>& cameras) {
    if (cameras.size() >= kMaxCameras) return "more than " + std::to_string(kMaxCameras) + " cameras";
    if (cam.transport == Transport::kNull) return {};
    if (cam.serial.empty()) {
        char buf[32];
        (void)std::snprintf(buf, sizeof buf, "SIM%05u", static_cast<unsigned>(cameras.size() + 1));
        cam.serial = buf;
    }
    if (cam.manufacturer.size() > nameLimit(cam, false))
        return "manufacturer longer than " + std::to_string(nameLimit(cam, false)) + " bytes";
    if (cam.model.size() > nameLimit(cam, false))
        return "model longer than " + std::to_string(nameLimit(cam, false)) + " bytes";
    if (cam.serial.size() > nameLimit(cam, true))
        return "serial longer than " + std::to_string(nameLimit(cam, true)) + " bytes";
    if (cam.firmware.size() > nameLimit(cam, false))
        return "firmware longer than " + std::to_string(nameLimit(cam, false)) + " bytes";
    if (cam.ip != 0 && cam.transport != Transport::kGige) return "ip is for a gige camera only";
    // The serial names the lock file and is a journal field.
    if (!serialCharsOk(cam.serial)) return "serial may hold only letters, digits, '-', '_' and '.'";
    if (cam.width == 0 || cam.width > kMaxSide || cam.height == 0 || cam.height > kMaxSide)
        return "width and height must be 1.." + std::to_string(kMaxSide);
    if (cam.exposureAuto > 2) return "exposure_auto must be off, once or continuous";
    if (cam.exposures.empty()) return "exposures needs at least one value";
    for (uint32_t e : cam.exposures) {
        if (e == 0 || e > kMaxExposure)
            return "exposures must be 1.." + std::to_string(kMaxExposure) + " microseconds";
    }
    if (cam.packetSize > 0 &&
        (cam.packetSize < kPacketMin || cam.packetSize > kPacketMax || cam.packetSize % kPacketInc != 0))
        return "packet_size must be 0 or less, or a multiple of " + std::to_string(kPacketInc) + " in " +
               std::to_string(kPacketMin) + ".." + std::to_string(kPacketMax);
    if (cam.packetSize < INT32_MIN) return "packet_size out of range";
    if (cam.resetDowntimeMs > kMaxResetDowntime)
        return "reset_downtime_ms must be 0.." + std::to_string(kMaxResetDowntime);
    for (const Camera& other : cameras) {
        if (other.transport != Transport::kNull && other.serial == cam.serial)
            return "serial " + cam.serial + " is used twice";
    }
    return {};
}

bool parseScenario(std::string_view text, const std::string& name, Config& out, std::string& error) {
    Config cfg;
    enum class Section { kNone, kCamera, kFault } section = Section::kNone;
    std::optional<Camera> cam;
    std::map<std::string, std::size_t> seen;  // keys of the current camera and their lines
    std::size_t camLine = 0;
    std::size_t lineNo = 0;

    auto fail = [&](std::size_t line, const std::string& what) {
        error = name + ":" + std::to_string(line) + ": " + what;
        return false;
    };
    auto finishCamera = [&]() {
        if (!cam) return true;
        const std::string what = acceptCamera(*cam, cfg.cameras);
        if (!what.empty()) {
            // Point at the line of the key the complaint is about, else at the section line.
            std::size_t line = camLine;
            static const char* const keys[] = {"manufacturer",
                                               "model",
                                               "serial",
                                               "width",
                                               "height",
                                               "exposures",
                                               "packet_size",
                                               "exposure_auto",
                                               "reset_downtime_ms",
                                               "firmware",
                                               "ip"};
            for (const char* k : keys) {
                if (what.find(k) != std::string::npos && seen.count(k)) {
                    line = seen[k];
                    break;
                }
            }
            return fail(line, what);
        }
        cfg.cameras.push_back(std::move(*cam));
        cam.reset();
        return true;
    };

    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        // '#' starts a comment at the start of a line or after a blank; elsewhere it is text,
        // as in the fault key MV_CC_GetImageBuffer#1-3.
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '#' && (i == 0 || isBlank(static_cast<unsigned char>(line[i - 1])))) {
                line = line.substr(0, i);
                break;
            }
        }
        line = trim(line);
        if (line.empty()) continue;
        if (line.find('\0') != std::string_view::npos) return fail(lineNo, "NUL byte in line");

        if (line.front() == '[') {
            if (line.back() != ']') return fail(lineNo, "section line must end with ']'");
            const std::string_view sec = trim(line.substr(1, line.size() - 2));
            if (!finishCamera()) return false;
            if (sec == "camera") {
                section = Section::kCamera;
                cam.emplace();
                seen.clear();
                camLine = lineNo;
            } else if (sec == "fault") {
                section = Section::kFault;
            } else {
                return fail(lineNo, "unknown section [" + std::string(sec) + "]");
            }
            continue;
        }

        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) return fail(lineNo, "expected 'key = value'");
        const std::string key(trim(line.substr(0, eq)));
        const std::string_view value = trim(line.substr(eq + 1));
        if (key.empty()) return fail(lineNo, "missing key before '='");
        if (value.empty()) return fail(lineNo, "missing value of '" + key + "'");

        if (section == Section::kNone) return fail(lineNo, "'" + key + "' outside a section");

        if (section == Section::kFault) {
            std::string_view fn = key;
            uint64_t first = 0, last = 0;
            const std::size_t sharp = key.find('#');
            if (sharp != std::string::npos) {
                fn = std::string_view(key).substr(0, sharp);
                const std::string_view range = std::string_view(key).substr(sharp + 1);
                const std::size_t dash = range.find('-');
                int64_t a = 0, b = 0;
                if (dash == std::string_view::npos) {
                    if (!parseRange(range, 1, INT64_MAX, a))
                        return fail(lineNo, "bad call number in '" + key + "'");
                    b = a;
                } else if (!parseRange(range.substr(0, dash), 1, INT64_MAX, a) ||
                           !parseRange(range.substr(dash + 1), 1, INT64_MAX, b) || a > b) {
                    return fail(lineNo, "bad call range in '" + key + "'");
                }
                first = static_cast<uint64_t>(a);
                last = static_cast<uint64_t>(b);
            }
            const int index = fnIndex(fn);
            if (index < 0) return fail(lineNo, "unknown function '" + std::string(fn) + "'");
            int64_t st = 0;
            if (!parseRange(value, 0, UINT32_MAX, st))
                return fail(lineNo, "bad status '" + std::string(value) + "'");
            cfg.faults.push_back(Fault{index, first, last, static_cast<uint32_t>(st)});
            continue;
        }

        // [camera]
        if (seen.count(key)) return fail(lineNo, "'" + key + "' given twice for this camera");
        seen[key] = lineNo;
        int64_t n = 0;
        if (key == "transport") {
            if (value == "usb3") {
                cam->transport = Transport::kUsb3;
                cam->layerType = MV_USB_DEVICE;
            } else if (value == "gige") {
                cam->transport = Transport::kGige;
                cam->layerType = MV_GIGE_DEVICE;
            } else if (value == "null") {
                cam->transport = Transport::kNull;
                cam->layerType = 0;
            } else if (parseRange(value, 0, UINT32_MAX, n)) {
                cam->layerType = static_cast<unsigned>(n);
                cam->transport = n == MV_USB_DEVICE    ? Transport::kUsb3
                                 : n == MV_GIGE_DEVICE ? Transport::kGige
                                                       : Transport::kOther;
            } else {
                return fail(lineNo, "transport must be usb3, gige, null or a number");
            }
        } else if (key == "manufacturer") {
            cam->manufacturer = std::string(value);
        } else if (key == "model") {
            cam->model = std::string(value);
        } else if (key == "serial") {
            cam->serial = std::string(value);
        } else if (key == "firmware") {
            cam->firmware = std::string(value);
        } else if (key == "ip") {
            if (!parseIpv4(value, cam->ip))
                return fail(lineNo, "ip must be a dotted quad other than 0.0.0.0");
        } else if (key == "width" || key == "height") {
            if (!parseRange(value, 1, kMaxSide, n))
                return fail(lineNo, key + " must be 1.." + std::to_string(kMaxSide));
            (key == "width" ? cam->width : cam->height) = static_cast<unsigned>(n);
        } else if (key == "pixel") {
            const auto* entry = std::find(kPixelNames, kPixelNames + kPixelCount, value);
            if (entry == kPixelNames + kPixelCount) {
                return fail(lineNo,
                            "pixel must be rgb8, mono8, bgr8, bayer_rg8, bayer_gr8, bayer_gb8, bayer_bg8, "
                            "mono10, mono12 or mono16");
            }
            cam->pixel = static_cast<Pixel>(entry - kPixelNames);
        } else if (key == "exposure_auto") {
            if (value == "off") {
                cam->exposureAuto = 0;
            } else if (value == "once") {
                cam->exposureAuto = 1;
            } else if (value == "continuous") {
                cam->exposureAuto = 2;
            } else {
                return fail(lineNo, "exposure_auto must be off, once or continuous");
            }
        } else if (key == "exposures") {
            cam->exposures.clear();
            std::string_view rest = value;
            for (;;) {
                const std::size_t comma = rest.find(',');
                if (!parseRange(trim(rest.substr(0, comma)), 1, kMaxExposure, n))
                    return fail(lineNo, "exposures must be comma-separated numbers 1.." +
                                            std::to_string(kMaxExposure));
                cam->exposures.push_back(static_cast<uint32_t>(n));
                if (comma == std::string_view::npos) break;
                rest = rest.substr(comma + 1);
            }
        } else if (key == "packet_size") {
            if (!parseRange(value, INT32_MIN, INT32_MAX, n)) return fail(lineNo, "bad packet_size");
            cam->packetSize = n;
        } else if (key == "frames") {
            if (value == "ok") {
                cam->frames = true;
            } else if (value == "none") {
                cam->frames = false;
            } else {
                return fail(lineNo, "frames must be ok or none");
            }
        } else if (key == "reset_downtime_ms") {
            if (!parseRange(value, 0, kMaxResetDowntime, n))
                return fail(lineNo, "reset_downtime_ms must be 0.." + std::to_string(kMaxResetDowntime));
            cam->resetDowntimeMs = static_cast<uint32_t>(n);
        } else if (key == "image_len") {
            if (value == "normal") {
                cam->imageLen = ImageLen::kNormal;
            } else if (value == "zero") {
                cam->imageLen = ImageLen::kZero;
            } else if (value == "overflow") {
                cam->imageLen = ImageLen::kOverflow;
            } else {
                return fail(lineNo, "image_len must be normal, zero or overflow");
            }
        } else {
            return fail(lineNo, "unknown key '" + key + "'");
        }
    }
    if (!finishCamera()) return false;
    out = std::move(cfg);
    return true;
}

}  // namespace camsim

// The feature functions of the camera SDK over Aravis: integer, float, enumeration and command
// features through Aravis's GenICam nodes, exposure, and the packet size for a GigE camera's link.
//
// A feature the camera lacks is MV_E_SUPPORT; a feature of another type than the call's, or a value
// out of range, off the feature's step or without an entry, is MV_E_PARAMETER.

#include <algorithm>
#include <cstring>

#include "aravis_internal.h"

namespace camarv {
namespace {

// The node of a feature, or NULL when the camera has none.
ArvGcNode* featureNode(const Handle& h, const char* name) {
    return arv_device_get_feature(deviceOf(h), name);
}

// An integer feature's node (enumerations are not integers to the SDK): kOk with `out` set, or the
// status to return.
int integerNode(const Handle& h, const char* name, ArvGcInteger*& out) {
    ArvGcNode* node = featureNode(h, name);
    if (node == nullptr) return kSupport;
    if (!ARV_IS_GC_INTEGER(node) || ARV_IS_GC_ENUMERATION(node)) return kParameter;
    out = ARV_GC_INTEGER(node);
    return kOk;
}

// A float feature's node; "ExposureTime" is "ExposureTimeAbs" on cameras of the older naming.
int floatNode(const Handle& h, const char* name, ArvGcFloat*& out) {
    ArvGcNode* node = featureNode(h, name);
    if (node == nullptr && std::strcmp(name, "ExposureTime") == 0) node = featureNode(h, "ExposureTimeAbs");
    if (node == nullptr) return kSupport;
    if (!ARV_IS_GC_FLOAT(node)) return kParameter;
    out = ARV_GC_FLOAT(node);
    return kOk;
}

int enumerationNode(const Handle& h, const char* name, ArvGcEnumeration*& out) {
    ArvGcNode* node = featureNode(h, name);
    if (node == nullptr) return kSupport;
    if (!ARV_IS_GC_ENUMERATION(node)) return kParameter;
    out = ARV_GC_ENUMERATION(node);
    return kOk;
}

// An integer feature's value and limits. A feature that states no limits (a computed one such as
// PayloadSize) is bounded by its value, in steps of 1, as the simulator reports PayloadSize.
int readInteger(const Handle& h, ArvGcInteger* node, MVCC_INTVALUE_EX& v) {
    Error err;
    MVCC_INTVALUE_EX out{};
    out.nCurValue = arv_gc_integer_get_value(node, err.slot());
    int64_t* const limits[] = {&out.nMin, &out.nMax, &out.nInc};
    gint64 (*const getters[])(ArvGcInteger*, GError**) = {arv_gc_integer_get_min, arv_gc_integer_get_max,
                                                          arv_gc_integer_get_inc};
    const int64_t fallbacks[] = {out.nCurValue, out.nCurValue, 1};
    for (std::size_t i = 0; i < 3 && !err.failed(); ++i) {
        *limits[i] = getters[i](node, err.slot());
        if (err.undefined()) *limits[i] = fallbacks[i], err.clear();
    }
    if (err.failed()) return deviceFailure(h, err);
    v = out;
    return kOk;
}

// A float feature's value and limits, bounded by its value where it states none.
int readFloat(const Handle& h, ArvGcFloat* node, MVCC_FLOATVALUE* v) {
    Error err;
    MVCC_FLOATVALUE out{};
    const double cur = arv_gc_float_get_value(node, err.slot());
    double min = cur, max = cur;
    if (!err.failed()) min = arv_gc_float_get_min(node, err.slot());
    if (err.undefined()) min = cur, err.clear();
    if (!err.failed()) max = arv_gc_float_get_max(node, err.slot());
    if (err.undefined()) max = cur, err.clear();
    if (err.failed()) return deviceFailure(h, err);
    out.fCurValue = static_cast<float>(cur);
    out.fMin = static_cast<float>(min);
    out.fMax = static_cast<float>(max);
    *v = out;
    return kOk;
}

// The entries of the enumerations the SDK documents by constant, indexed by the constant; NULL where
// a constant has no entry.
struct NamedEnum {
    const char* feature;
    const char* const* names;
    unsigned count;
};
constexpr const char* kTriggerModes[] = {"Off", "On"};
constexpr const char* kTriggerSources[] = {
    "Line0", "Line1", "Line2", "Line3", "Counter0", nullptr, nullptr, "Software", "FrequencyConverter"};
constexpr const char* kAutoModes[] = {"Off", "Once", "Continuous"};
constexpr NamedEnum kNamedEnums[] = {
    {"TriggerMode", kTriggerModes, 2},
    {"TriggerSource", kTriggerSources, 9},
    {"ExposureAuto", kAutoModes, 3},
    {"GainAuto", kAutoModes, 3},
};

const NamedEnum* namedEnum(const char* feature) {
    for (const NamedEnum& e : kNamedEnums) {
        if (std::strcmp(e.feature, feature) == 0) return &e;
    }
    return nullptr;
}

// The SDK constant of an automatic mode's entry name, or -1.
int autoModeOf(const char* name) {
    for (unsigned i = 0; name != nullptr && i < 3; ++i) {
        if (std::strcmp(kAutoModes[i], name) == 0) return static_cast<int>(i);
    }
    return -1;
}

// A software trigger needs a running stream and, where the camera says, the software source.
int checkSoftwareTrigger(const Handle& h) {
    if (h.stream == nullptr) return kCallOrder;
    ArvGcEnumeration* source = nullptr;
    if (enumerationNode(h, "TriggerSource", source) != kOk) return kOk;
    Error err;
    const char* value = arv_gc_enumeration_get_string_value(source, err.slot());
    if (err.failed()) return deviceFailure(h, err);
    return value != nullptr && std::strcmp(value, "Software") == 0 ? kOk : kPrecondition;
}

}  // namespace
}  // namespace camarv

using namespace camarv;

extern "C" {

int MV_CC_GetOptimalPacketSize(void* handle) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, false)) return rc;
        const Handle& h = *l.h;
        if (h.layer != MV_GIGE_DEVICE) return kSupport;
        // GevSCPSPacketSize counts the whole IP datagram, as the interface's MTU does.
        const int mtu = mtuOfAddress(h.localIp);
        if (mtu <= 0) return kUnknown;
        ArvGcInteger* node = nullptr;
        MVCC_INTVALUE_EX v{};
        if (const int rc = integerNode(h, "GevSCPSPacketSize", node)) return rc;
        if (const int rc = readInteger(h, node, v)) return rc;
        if (v.nMin <= 0 || v.nMax < v.nMin || v.nMax > INT32_MAX) return kUnknown;
        int64_t size = std::clamp<int64_t>(mtu, v.nMin, v.nMax);
        if (v.nInc > 1) size = v.nMin + (size - v.nMin) / v.nInc * v.nInc;
        return static_cast<int>(size);
    });
}

int MV_CC_GetIntValueEx(void* handle, const char* strKey, MVCC_INTVALUE_EX* pstIntValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr || pstIntValue == nullptr)) return rc;
        ArvGcInteger* node = nullptr;
        if (const int rc = integerNode(*l.h, strKey, node)) return rc;
        return readInteger(*l.h, node, *pstIntValue);
    });
}

int MV_CC_SetIntValueEx(void* handle, const char* strKey, int64_t nValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr)) return rc;
        const Handle& h = *l.h;
        // Stream parameters are locked while grabbing.
        if (h.stream != nullptr && std::strcmp(strKey, "GevSCPSPacketSize") == 0) return kCallOrder;
        // Aravis checks the range (range check policy); the step is ours to check.
        ArvGcInteger* node = nullptr;
        MVCC_INTVALUE_EX v{};
        if (const int rc = integerNode(h, strKey, node)) return rc;
        if (const int rc = readInteger(h, node, v)) return rc;
        if (v.nInc > 1 && nValue >= v.nMin && (nValue - v.nMin) % v.nInc != 0) return kParameter;
        Error err;
        arv_gc_integer_set_value(node, nValue, err.slot());
        return err.failed() ? deviceFailure(h, err) : kOk;
    });
}

int MV_CC_SetEnumValue(void* handle, const char* strKey, unsigned int nValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr)) return rc;
        ArvGcEnumeration* node = nullptr;
        if (const int rc = enumerationNode(*l.h, strKey, node)) return rc;
        Error err;
        if (const NamedEnum* named = namedEnum(strKey)) {
            const char* entry = nValue < named->count ? named->names[nValue] : nullptr;
            if (entry == nullptr) return kParameter;
            arv_gc_enumeration_set_string_value(node, entry, err.slot());
        } else {
            arv_gc_enumeration_set_int_value(node, nValue, err.slot());
        }
        return err.failed() ? deviceFailure(*l.h, err) : kOk;
    });
}

int MV_CC_GetFloatValue(void* handle, const char* strKey, MVCC_FLOATVALUE* pstFloatValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr || pstFloatValue == nullptr)) return rc;
        ArvGcFloat* node = nullptr;
        if (const int rc = floatNode(*l.h, strKey, node)) return rc;
        return readFloat(*l.h, node, pstFloatValue);
    });
}

int MV_CC_SetCommandValue(void* handle, const char* strKey) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr)) return rc;
        Handle& h = *l.h;
        ArvGcNode* node = featureNode(h, strKey);
        if (node == nullptr) return kSupport;
        if (!ARV_IS_GC_COMMAND(node)) return kParameter;
        const bool reset = std::strcmp(strKey, "DeviceReset") == 0;
        if (std::strcmp(strKey, "TriggerSoftware") == 0) {
            if (const int rc = checkSoftwareTrigger(h)) return rc;
        }
        Error err;
        arv_gc_command_execute(ARV_GC_COMMAND(node), err.slot());
        if (err.failed()) return deviceFailure(h, err);
        if (reset) {
            // The device reboots: its stream is gone, and the handle only takes CloseDevice and
            // DestroyHandle until it is opened again.
            (void)stopGrabbing(h, false);
            h.gone = true;
        }
        return kOk;
    });
}

int MV_CC_GetExposureAutoMode(void* handle, MVCC_ENUMVALUE* pstValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, pstValue == nullptr)) return rc;
        ArvGcEnumeration* node = nullptr;
        if (const int rc = enumerationNode(*l.h, "ExposureAuto", node)) return rc;
        Error err;
        const int mode = autoModeOf(arv_gc_enumeration_get_string_value(node, err.slot()));
        if (err.failed()) return deviceFailure(*l.h, err);
        if (mode < 0) return kUnknown;  // an entry the SDK has no constant for
        guint n = 0;
        const char** names = arv_gc_enumeration_dup_available_string_values(node, &n, err.slot());
        if (err.failed()) return deviceFailure(*l.h, err);
        MVCC_ENUMVALUE v{};
        v.nCurValue = static_cast<unsigned>(mode);
        for (guint i = 0; i < n; ++i) {
            const int m = autoModeOf(names[i]);
            if (m >= 0) v.nSupportValue[v.nSupportedNum++] = static_cast<unsigned>(m);
        }
        g_free(static_cast<void*>(names));
        *pstValue = v;
        return kOk;
    });
}

// The ExposureTime feature, or ExposureTimeAbs where the camera has the older name (floatNode).
int MV_CC_GetExposureTime(void* handle, MVCC_FLOATVALUE* pstValue) {
    return MV_CC_GetFloatValue(handle, "ExposureTime", pstValue);
}

}  // extern "C"

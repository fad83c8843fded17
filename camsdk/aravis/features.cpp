// The feature functions of the camera SDK over Aravis: integer, float, enumeration, boolean, string
// and command features through Aravis's GenICam nodes, exposure, the packet size for a GigE camera's
// link, and the names of the features a camera's description offers.
//
// A feature the camera lacks is MV_E_SUPPORT; a feature of another type than the call's, or a value
// out of range, off the feature's step or without an entry, is MV_E_PARAMETER.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>

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

// A feature's node when it is of `type` (a GenICam node class or interface): kOk with `out` set, or
// the status to return.
int nodeOfType(const Handle& h, const char* name, GType type, ArvGcNode*& out) {
    ArvGcNode* node = featureNode(h, name);
    if (node == nullptr) return kSupport;
    if (!G_TYPE_CHECK_INSTANCE_TYPE(node, type)) return kParameter;
    out = node;
    return kOk;
}

// Float features that cameras of the older standard feature naming have under their "Abs" names, in
// the same units.
constexpr const char* kOlderFloatNames[][2] = {{"ExposureTime", "ExposureTimeAbs"}, {"Gain", "GainAbs"}};

// A float feature's node, by its older name where the camera lacks the current one.
int floatNode(const Handle& h, const char* name, ArvGcFloat*& out) {
    const char* actual = name;
    for (const auto& older : kOlderFloatNames) {
        if (std::strcmp(name, older[0]) == 0 && featureNode(h, name) == nullptr) actual = older[1];
    }
    ArvGcNode* node = nullptr;
    if (const int rc = nodeOfType(h, actual, ARV_TYPE_GC_FLOAT, node)) return rc;
    out = ARV_GC_FLOAT(node);
    return kOk;
}

int enumerationNode(const Handle& h, const char* name, ArvGcEnumeration*& out) {
    ArvGcNode* node = nullptr;
    if (const int rc = nodeOfType(h, name, ARV_TYPE_GC_ENUMERATION, node)) return rc;
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

// A string feature's value, cut to what the SDK's buffer holds, and its maximum length: the value's
// own length where the feature states none.
int readString(const Handle& h, ArvGcString* node, MVCC_STRINGVALUE& v) {
    Error err;
    const char* value = arv_gc_string_get_value(node, err.slot());
    if (err.failed()) return deviceFailure(h, err);
    if (value == nullptr) value = "";
    const std::size_t length = std::strlen(value);
    // Aravis answers a String node, which states no maximum, with G_MAXINT64.
    gint64 max = arv_gc_string_get_max_length(node, err.slot());
    if (err.undefined() || (!err.failed() && max == G_MAXINT64))
        max = static_cast<gint64>(length), err.clear();
    if (err.failed()) return deviceFailure(h, err);
    MVCC_STRINGVALUE out{};
    std::memcpy(out.chCurValue, value, std::min(length, sizeof out.chCurValue - 1));
    out.nMaxLength = max;
    v = out;
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

// The SDK constant of an entry of a named enumeration, or -1 for an entry it has no constant for.
int constantOf(const NamedEnum& e, const char* entry) {
    for (unsigned i = 0; entry != nullptr && i < e.count; ++i) {
        if (e.names[i] != nullptr && std::strcmp(e.names[i], entry) == 0) return static_cast<int>(i);
    }
    return -1;
}

// An integer entry value as the SDK's unsigned int, or -1 where it has none.
int64_t sdkValueOf(gint64 value) {
    return value >= 0 && value <= UINT32_MAX ? value : -1;
}

// An enumeration's entry and the entries available now, as the SDK's values: the constants of a
// named enumeration, else the entries' integer values. An entry without such a value is left out of
// the list; as the current one it is MV_E_UNKNOW.
int readEnumeration(const Handle& h, ArvGcEnumeration* node, const NamedEnum* named, MVCC_ENUMVALUE& v) {
    Error err;
    MVCC_ENUMVALUE out{};
    const int64_t cur = named != nullptr
                            ? constantOf(*named, arv_gc_enumeration_get_string_value(node, err.slot()))
                            : sdkValueOf(arv_gc_enumeration_get_int_value(node, err.slot()));
    if (err.failed()) return deviceFailure(h, err);
    if (cur < 0) return kUnknown;
    out.nCurValue = static_cast<unsigned>(cur);
    guint n = 0;
    const auto add = [&out](int64_t value) {
        if (value >= 0 && out.nSupportedNum < MV_MAX_XML_SYMBOLIC_NUM)
            out.nSupportValue[out.nSupportedNum++] = static_cast<unsigned>(value);
    };
    if (named != nullptr) {
        const char** names = arv_gc_enumeration_dup_available_string_values(node, &n, err.slot());
        for (guint i = 0; names != nullptr && i < n; ++i) add(constantOf(*named, names[i]));
        g_free(static_cast<void*>(names));
    } else {
        gint64* values = arv_gc_enumeration_dup_available_int_values(node, &n, err.slot());
        for (guint i = 0; values != nullptr && i < n; ++i) add(sdkValueOf(values[i]));
        g_free(values);
    }
    if (err.failed()) return deviceFailure(h, err);
    v = out;
    return kOk;
}

// Aravis checks a float's range (range check policy) but not its step. A value is on the step when
// the step nearest to it, rounded to the caller's float, is that value: a step such as 0.1 has no
// exact binary value. Aravis answers a float without a step with G_MINDOUBLE.
int checkFloatStep(const Handle& h, ArvGcFloat* node, float value) {
    Error err;
    const double inc = arv_gc_float_get_inc(node, err.slot());
    if (err.undefined() || (!err.failed() && !(inc > G_MINDOUBLE))) return kOk;
    double min = err.failed() ? 0 : arv_gc_float_get_min(node, err.slot());
    // Without a minimum (Aravis answers -G_MAXFLOAT), the steps count from 0.
    if (err.undefined() || min <= -G_MAXFLOAT) min = 0, err.clear();
    if (err.failed()) return deviceFailure(h, err);
    const double nearest = min + std::round((value - min) / inc) * inc;
    return static_cast<float>(nearest) == value ? kOk : kParameter;
}

// The region, pixel format, binning and packet size, which the stream's buffers (PayloadSize) and
// packets are made for: none takes a write while grabbing, as the camera would lock them through
// TLParamsLocked, which Aravis does not set. A write accepted there would leave buffers too small for
// the frames that follow.
constexpr const char* kStreamParams[] = {
    "Width",          "Height", "OffsetX", "OffsetY", "PixelFormat", "GevSCPSPacketSize", "BinningHorizontal",
    "BinningVertical"};

bool lockedByStream(const Handle& h, const char* name) {
    if (h.stream == nullptr) return false;
    return std::any_of(std::begin(kStreamParams), std::end(kStreamParams),
                       [name](const char* p) { return std::strcmp(p, name) == 0; });
}

// A feature that is locked now (pIsLocked: most often TLParamsLocked while a stream runs) takes no
// write until it is unlocked, as the stream parameters that grabbing locks. Aravis's access check
// leaves the lock to the device, which would answer with an error that names no lock.
int checkUnlocked(const Handle& h, ArvGcNode* node) {
    Error err;
    const bool locked = arv_gc_feature_node_is_locked(ARV_GC_FEATURE_NODE(node), err.slot());
    if (err.failed()) return deviceFailure(h, err);
    return locked ? kCallOrder : kOk;
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

// Owners of the lister's GLib objects, released on every path.
struct NamesFree {
    void operator()(GString* s) const { g_string_free(s, TRUE); }
};
struct SeenFree {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};

// Appends to `names`, each NUL-terminated, the features reachable from the node `name`, depth first
// in the description's order. `seen` holds the nodes met so far: a feature in two categories is
// listed once, and a category that contains itself ends the descent.
void collectFeatures(ArvGc* genicam, const char* name, GHashTable* seen, GString* names) {
    ArvGcNode* node = arv_gc_get_node(genicam, name);
    if (node == nullptr || !g_hash_table_add(seen, node)) return;
    if (!ARV_IS_GC_CATEGORY(node)) {
        g_string_append_len(names, name, static_cast<gssize>(std::strlen(name) + 1));
        return;
    }
    for (const GSList* f = arv_gc_category_get_features(ARV_GC_CATEGORY(node)); f != nullptr; f = f->next)
        collectFeatures(genicam, static_cast<const char*>(f->data), seen, names);
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
        if (lockedByStream(h, strKey)) return kCallOrder;
        // Aravis checks the range (range check policy); the step is ours to check.
        ArvGcInteger* node = nullptr;
        MVCC_INTVALUE_EX v{};
        if (const int rc = integerNode(h, strKey, node)) return rc;
        if (const int rc = readInteger(h, node, v)) return rc;
        // The distance in unsigned arithmetic: from a least value such as INT64_MIN (a description
        // that states none), it does not fit a signed 64-bit value.
        const uint64_t distance = static_cast<uint64_t>(nValue) - static_cast<uint64_t>(v.nMin);
        if (v.nInc > 1 && nValue >= v.nMin && distance % static_cast<uint64_t>(v.nInc) != 0)
            return kParameter;
        if (const int rc = checkUnlocked(h, ARV_GC_NODE(node))) return rc;
        Error err;
        arv_gc_integer_set_value(node, nValue, err.slot());
        return err.failed() ? deviceFailure(h, err) : kOk;
    });
}

int MV_CC_SetEnumValue(void* handle, const char* strKey, unsigned int nValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr)) return rc;
        if (lockedByStream(*l.h, strKey)) return kCallOrder;
        ArvGcEnumeration* node = nullptr;
        if (const int rc = enumerationNode(*l.h, strKey, node)) return rc;
        if (const int rc = checkUnlocked(*l.h, ARV_GC_NODE(node))) return rc;
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

int MV_CC_SetFloatValue(void* handle, const char* strKey, float fValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr)) return rc;
        ArvGcFloat* node = nullptr;
        if (const int rc = floatNode(*l.h, strKey, node)) return rc;
        if (!std::isfinite(fValue)) return kParameter;  // a NaN passes any range check
        if (const int rc = checkFloatStep(*l.h, node, fValue)) return rc;
        if (const int rc = checkUnlocked(*l.h, ARV_GC_NODE(node))) return rc;
        Error err;
        arv_gc_float_set_value(node, fValue, err.slot());
        return err.failed() ? deviceFailure(*l.h, err) : kOk;
    });
}

int MV_CC_GetEnumValue(void* handle, const char* strKey, MVCC_ENUMVALUE* pEnumValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr || pEnumValue == nullptr)) return rc;
        ArvGcEnumeration* node = nullptr;
        if (const int rc = enumerationNode(*l.h, strKey, node)) return rc;
        return readEnumeration(*l.h, node, namedEnum(strKey), *pEnumValue);
    });
}

int MV_CC_SetEnumValueByString(void* handle, const char* strKey, const char* strValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr || strValue == nullptr)) return rc;
        if (lockedByStream(*l.h, strKey)) return kCallOrder;
        ArvGcEnumeration* node = nullptr;
        if (const int rc = enumerationNode(*l.h, strKey, node)) return rc;
        if (const int rc = checkUnlocked(*l.h, ARV_GC_NODE(node))) return rc;
        Error err;
        arv_gc_enumeration_set_string_value(node, strValue, err.slot());
        return err.failed() ? deviceFailure(*l.h, err) : kOk;
    });
}

int MV_CC_GetBoolValue(void* handle, const char* strKey, bool* pBoolValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr || pBoolValue == nullptr)) return rc;
        ArvGcNode* node = nullptr;
        if (const int rc = nodeOfType(*l.h, strKey, ARV_TYPE_GC_BOOLEAN, node)) return rc;
        Error err;
        const bool value = arv_gc_boolean_get_value(ARV_GC_BOOLEAN(node), err.slot());
        if (err.failed()) return deviceFailure(*l.h, err);
        *pBoolValue = value;
        return kOk;
    });
}

int MV_CC_SetBoolValue(void* handle, const char* strKey, bool bValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr)) return rc;
        ArvGcNode* node = nullptr;
        if (const int rc = nodeOfType(*l.h, strKey, ARV_TYPE_GC_BOOLEAN, node)) return rc;
        if (const int rc = checkUnlocked(*l.h, node)) return rc;
        Error err;
        arv_gc_boolean_set_value(ARV_GC_BOOLEAN(node), bValue, err.slot());
        return err.failed() ? deviceFailure(*l.h, err) : kOk;
    });
}

int MV_CC_GetStringValue(void* handle, const char* strKey, MVCC_STRINGVALUE* pStringValue) {
    return guarded([&] {
        const Lease l(handle);
        if (const int rc = openedDevice(l, strKey == nullptr || pStringValue == nullptr)) return rc;
        ArvGcNode* node = nullptr;
        if (const int rc = nodeOfType(*l.h, strKey, ARV_TYPE_GC_STRING, node)) return rc;
        if (ARV_IS_GC_ENUMERATION(node)) return kParameter;  // Aravis reads an entry name as a string
        return readString(*l.h, ARV_GC_STRING(node), *pStringValue);
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

// ExposureAuto as GetEnumValue reads it: the SDK's constants.
int MV_CC_GetExposureAutoMode(void* handle, MVCC_ENUMVALUE* pstValue) {
    return MV_CC_GetEnumValue(handle, "ExposureAuto", pstValue);
}

// The ExposureTime feature, or ExposureTimeAbs where the camera has the older name (floatNode).
int MV_CC_GetExposureTime(void* handle, MVCC_FLOATVALUE* pstValue) {
    return MV_CC_GetFloatValue(handle, "ExposureTime", pstValue);
}

// Feature names are copied out under the handle's lock and visited after the call let go of the
// handle, so `visit` may call the SDK on it, even close or destroy it.
__attribute__((visibility("default"))) int quellshot_sdk_features(void* handle,
                                                                  int (*visit)(const char* name, void* ctx),
                                                                  void* ctx) {
    return guarded([&] {
        const std::unique_ptr<GString, NamesFree> names(g_string_new(nullptr));
        {
            const Lease l(handle);
            if (const int rc = openedDevice(l, visit == nullptr)) return rc;
            ArvGc* genicam = arv_device_get_genicam(deviceOf(*l.h));
            const std::unique_ptr<GHashTable, SeenFree> seen(g_hash_table_new(g_direct_hash, g_direct_equal));
            collectFeatures(genicam, "Root", seen.get(), names.get());
        }
        const char* const end = names->str + names->len;
        for (const char* p = names->str; p < end && visit(p, ctx) == 0; p += std::strlen(p) + 1) {
        }
        return kOk;
    });
}

}  // extern "C"

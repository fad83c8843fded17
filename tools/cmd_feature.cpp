// quellshot feature and features: any camera feature by its GenICam name, read or written, and the
// list of every feature the camera offers with its type and value.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_common.h"

namespace qscli {

namespace {

const char* const kFeatureHelp =
    "Usage: quellshot feature [--camera C] [--json] [--quiet] NAME [VALUE]\n"
    "\n"
    "Reads the camera feature NAME (its GenICam name) and prints its value; with VALUE, writes\n"
    "it first and prints the value read back, which is what the camera took. VALUE is in the\n"
    "feature's own type: an integer, a float, true or false, an enumeration's entry name or\n"
    "number; a command feature is executed with an empty VALUE ('').\n"
    "  --camera C   the camera: its serial number, its index in 'quellshot list' or its IPv4\n"
    "               address (default: the first \"Hikrobot\" camera)   e.g. --camera SIM00001\n"
    "  --json       {\"result\": 0, \"command\": \"feature\", \"name\", \"type\", \"value\"}\n"
    "Examples:\n"
    "  quellshot feature ExposureTime             read it\n"
    "  quellshot feature --camera 1 Width 640     write it and read it back\n"
    "  quellshot feature TriggerSoftware ''       execute a command\n";

const char* const kFeaturesHelp =
    "Usage: quellshot features [--camera C] [--json] [--quiet]\n"
    "\n"
    "Lists the camera's features, one line each: NAME TYPE VALUE, the type one of integer, float,\n"
    "enumeration, boolean, string; a feature that cannot be read shows the type command (or -)\n"
    "and no value.\n"
    "  --camera C   the camera: its serial number, its index in 'quellshot list' or its IPv4\n"
    "               address (default: the first \"Hikrobot\" camera)   e.g. --camera 192.168.1.10\n"
    "  --json       {\"result\": 0, \"features\": [{\"name\", \"type\", \"value\"}, ...]} (type null\n"
    "               for -)\n"
    "Example:\n"
    "  quellshot features | grep -i exposure\n";

const char* type_name(int type) {
    static const char* const names[] = {"-",       "integer", "float",  "enumeration",
                                        "boolean", "string",  "command"};
    return type >= QS_FEATURE_INTEGER && type <= QS_FEATURE_COMMAND ? names[type] : names[0];
}

// A value in JSON in its feature's own type: numbers and booleans as such, the rest as text.
void json_value(Json& j, int type, const std::string& value) {
    char* end = nullptr;
    errno = 0;
    if (type == QS_FEATURE_INTEGER) {
        const long long v = strtoll(value.c_str(), &end, 10);
        if (errno == 0 && end != value.c_str() && *end == '\0') {
            j.num(v);
            return;
        }
    } else if (type == QS_FEATURE_FLOAT) {
        const double v = strtod(value.c_str(), &end);
        if (errno == 0 && end != value.c_str() && *end == '\0' && std::isfinite(v)) {
            j.number(v);
            return;
        }
    } else if (type == QS_FEATURE_BOOLEAN && (value == "true" || value == "false")) {
        j.boolean(value == "true");
        return;
    }
    j.str(value);
}

// Room for any value a camera's description gives as text.
constexpr size_t kValueSize = 4096;

int cmd_feature(Output& out, const Options& o) {
    const std::string& name = o.args[0];
    Session session;
    const int opened = open_session(out, "feature", o.camera, session);
    if (opened != kExitOk) return opened;
    const bool write = o.args.size() > 1;
    if (write) {
        const int r = g_cam->featureSet(session.s, name.c_str(), o.args[1].c_str());
        if (r != 0) return fail_setting(out, "feature", name + " " + o.args[1], r, g_cam->strError(r));
    }
    // Only a command takes an empty value: it ran, and has nothing to read back (after DeviceReset
    // the camera would not even answer).
    const bool executed = write && o.args[1].empty();
    std::vector<char> value(kValueSize, '\0');
    int type = 0;
    const int r =
        executed ? 0 : g_cam->featureGet(session.s, name.c_str(), value.data(), value.size(), &type);
    if (r != 0) return fail_setting(out, "feature", name, r, g_cam->strError(r));
    if (out.json) {
        Json j;
        j.key("result").num(0).key("command").str("feature").key("name").str(name);
        j.key("type").str(executed ? "command" : type_name(type));
        if (!executed) json_value(j.key("value"), type, value.data());
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    if (!executed) out.print("%s\n", printable(value.data()).c_str());
    return kExitOk;
}

int collect(const char* name, void* ctx) noexcept {
    try {
        static_cast<std::vector<std::string>*>(ctx)->emplace_back(name);
        return 0;
    } catch (...) {
        return 1;  // out of memory: the walk ends there
    }
}

int cmd_features(Output& out, const Options& o) {
    Session session;
    const int opened = open_session(out, "features", o.camera, session);
    if (opened != kExitOk) return opened;
    std::vector<std::string> names;
    const int r = g_cam->featureList(session.s, collect, &names);
    if (r != 0)
        return fail(out, "features", r,
                    std::string("the camera's features could not be listed: ") + g_cam->strError(r));
    Json j;
    j.key("result").num(0).key("features").open('[');
    std::vector<char> value(kValueSize, '\0');
    bool cut = false;
    for (const std::string& name : names) {
        cut = interrupted();
        if (cut) break;
        int type = 0;
        value[0] = '\0';
        const int g = g_cam->featureGet(session.s, name.c_str(), value.data(), value.size(), &type);
        const char* kind = g == 0 || type == QS_FEATURE_COMMAND ? type_name(type) : "-";
        if (out.json) {
            j.open('{').key("name").str(name).key("type");
            if (kind[0] == '-') {
                j.null();
            } else {
                j.str(kind);
            }
            if (g == 0) json_value(j.key("value"), type, value.data());
            j.close('}');
        } else if (g == 0) {
            out.print("%s %s %s\n", printable(name).c_str(), kind, printable(value.data()).c_str());
        } else {
            out.print("%s %s\n", printable(name).c_str(), kind);
        }
    }
    // The lines printed so far stand; a list cut short is no answer, so it is no JSON result 0.
    if (cut) return fail(out, "features", kCancelledResult, "interrupted; the list is not complete");
    if (!out.json) return kExitOk;
    j.close(']');
    return out.emit(j) ? kExitOk : kExitFailure;
}

}  // namespace

Command feature_command() {
    return {
        "feature", kFeatureHelp, {"--camera", "--json", "--quiet"}, 1, 2, "NAME", cmd_feature, true, nullptr,
    };
}

Command features_command() {
    return {
        "features", kFeaturesHelp, {"--camera", "--json", "--quiet"}, 0, 0, "", cmd_features, true, nullptr,
    };
}

}  // namespace qscli

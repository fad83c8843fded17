// quellshot list: every camera the camera SDK finds, with its transport, names and address.
#include <algorithm>
#include <string>
#include <vector>

#include "cli_cameras.h"

namespace qscli {

namespace {

const char* const kListHelp =
    "Usage: quellshot list [--json]\n"
    "\n"
    "Lists every camera the camera SDK finds over GigE and USB3, in its order: transport,\n"
    "manufacturer, model, serial number and, for GigE, the IPv4 address; \"*\" marks the\n"
    "\"Hikrobot\" cameras.\n"
    "  --json   {\"result\": 0, \"cameras\": [{\"index\", \"transport\" (gige, usb3, other, none),\n"
    "           \"layer_type\", \"manufacturer\", \"model\", \"serial\", \"ip\" (GigE only),\n"
    "           \"firmware\" (the device's version, where it reports one), \"hikrobot\"}, ...]}\n"
    "Example:\n"
    "  quellshot list --json      each camera as an object, with its firmware version\n";

int cmd_list(Output& out, const Options&) {
    std::vector<Camera> cams;
    std::string words;
    const int ret = list_cameras(cams, words);
    if (ret != MV_OK) return fail(out, "list", ret, words);
    if (out.json) {
        Json j;
        j.key("result").num(0).key("cameras").open('[');
        for (const Camera& c : cams) {
            j.open('{').key("index").num(c.index).key("transport").str(transport_name(c));
            j.key("layer_type").num(c.layerType).key("manufacturer").str(c.manufacturer);
            j.key("model").str(c.model).key("serial").str(c.serial);
            if (!c.address.empty()) j.key("ip").str(c.address);
            if (!c.firmware.empty()) j.key("firmware").str(c.firmware);
            j.key("hikrobot").boolean(c.hikrobot);
            j.close('}');
        }
        j.close(']');
        return out.emit(j) ? kExitOk : kExitFailure;
    }
    if (cams.empty()) {
        out.print("no camera found\n");
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows = {
        {"", "INDEX", "TRANSPORT", "MANUFACTURER", "MODEL", "SERIAL", "ADDRESS"}};
    size_t hik = 0;
    for (const Camera& c : cams) {
        hik += c.hikrobot;
        std::string t = transport_name(c);
        if (t == "other") t += "(" + std::to_string(c.layerType) + ")";
        rows.push_back({c.hikrobot ? "*" : "", std::to_string(c.index), t, printable(c.manufacturer),
                        printable(c.model), printable(c.serial), c.address});
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& r : rows) {
        for (size_t k = 0; k < r.size(); ++k) width[k] = std::max(width[k], r[k].size());
    }
    for (const auto& r : rows) {
        std::string l;
        for (size_t k = 0; k < r.size(); ++k) {
            l += r[k];
            if (k + 1 < r.size()) l += std::string(width[k] - r[k].size() + 2, ' ');
        }
        l.erase(l.find_last_not_of(' ') + 1);  // columns left empty at the end of a row
        out.print("%s\n", l.c_str());
    }
    out.print("%zu camera(s), %zu of them \"Hikrobot\" (*)\n", cams.size(), hik);
    return kExitOk;
}

}  // namespace

Command list_command() {
    return {"list", kListHelp, {"--json", "--quiet"}, 0, 0, "", cmd_list, true, nullptr};
}

}  // namespace qscli

// Fuzzes the configuration-file operations on a real file: a failed set or delete leaves the file
// byte for byte, set-then-get returns what was set, delete-then-get finds nothing, and no
// temporary file stays beside the file.
#include <dirent.h>
#include <unistd.h>

#include <cassert>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz_fieldtext.h"
#include "swfile.h"

namespace {

std::string g_dir;
std::string g_path;

std::string read_file() {
    std::ifstream in(g_path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int entries() {
    int n = 0;
    DIR* d = opendir(g_dir.c_str());
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.' || strncmp(e->d_name, ".sw", 3) == 0 ? 1 : 0;
    closedir(d);
    return n;
}

bool contains_folded(const std::string& hay, char c) {
    for (char h : hay) {
        if (toupper(static_cast<unsigned char>(h)) == toupper(static_cast<unsigned char>(c))) return true;
    }
    return false;
}

}  // namespace

// A fresh private directory for each input, removed after it, so that nothing is left behind
// however the fuzzer ends.
struct Sandbox {
    Sandbox() {
        char tmpl[] = "/tmp/fuzz-cfg-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        g_dir = tmpl;
        g_path = g_dir + "/f.cfg";
    }
    ~Sandbox() {
        (void)unlink(g_path.c_str());
        (void)rmdir(g_dir.c_str());
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: op, flags, section \0 name \0 value \0 file content. Flag bit 0: no section; bit 1:
    // no file; bit 2: autoAdd.
    if (size < 2) return 0;
    const int op = data[0] % 4;
    const unsigned flags = data[1];
    std::string parts[3];
    size_t i = 2;
    for (int k = 0; k < 3; ++k) {
        while (i < size && data[i] != 0) parts[k].push_back(static_cast<char>(data[i++]));
        if (i >= size) return 0;
        ++i;
    }
    const std::string content(reinterpret_cast<const char*>(data + i), size - i);
    const char* section = (flags & 1) != 0 ? nullptr : parts[0].c_str();
    const std::string& name = parts[1];
    const std::string& value = parts[2];
    const bool autoAdd = (flags & 4) != 0;
    const Sandbox sandbox;
    if ((flags & 2) == 0) std::ofstream(g_path, std::ios::binary) << content;
    const bool existed = (flags & 2) == 0;
    const std::string before = existed ? content : std::string();

    char key[512], out[512];
    snprintf(key, sizeof key, "%s", name.c_str());
    if (op == 0 || op == 1) {
        const char* mode = op == 0 ? "SetFieldValue" : "setfieldname";
        const bool ok = sw_file_setCfgString(g_path.c_str(), section, mode, name.c_str(), value.c_str(), autoAdd);
        if (!ok) {
            assert(existed ? read_file() == before : access(g_path.c_str(), F_OK) != 0);
        } else if (op == 0 && !name.empty() && fuzz_findable_name(name) && name.size() < sizeof key) {
            // The region is found again when there is none, or when the section was added at the
            // end and no earlier text can start a match of its marker.
            const bool sameRegion =
                section == nullptr || (!parts[0].empty() && !contains_folded(before, parts[0][0]) &&
                                       parts[0].find_first_of("\r\n=") == std::string::npos);
            if (sameRegion) {
                out[0] = '\0';
                const char* got = sw_file_getCfgString(g_path.c_str(), section, "GetFieldValue", key, out, sizeof out);
                assert(got == out && fuzz_trimmed(value) == out);
            }
        }
    } else if (op == 2) {
        bool ok = true;
        for (int round = 0; round < 64 && ok; ++round) {
            const std::string was = existed ? read_file() : std::string();
            ok = sw_file_delCfgString(g_path.c_str(), section, "DelFieldByName", name.c_str(), nullptr);
            if (!ok || !existed || read_file() == was) break;
        }
        if (!ok) assert(existed ? read_file() == before : access(g_path.c_str(), F_OK) != 0);
        if (ok && existed && section == nullptr && name.size() < sizeof key) {
            assert(sw_file_getCfgString(g_path.c_str(), nullptr, "GetFieldValue", key, out, sizeof out) == nullptr);
        }
    } else {
        (void)sw_file_getCfgString(g_path.c_str(), section, (flags & 8) != 0 ? "GetFieldName" : "GetFieldValue", key, out,
                                   1 + static_cast<int>(flags >> 4));
        assert(existed ? read_file() == before : true);
    }
    assert(entries() <= 1);
    return 0;
}

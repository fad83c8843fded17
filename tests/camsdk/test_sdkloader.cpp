// The rule that picks the camera SDK at run time. Every row runs in a child process: a library once
// loaded stays in the process, and what is loaded already is part of the rule.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "sdkloader.h"
#include "support/forked.h"
#include "support/tempdir.h"

namespace {

const std::string kSim = QS_SIM_LIBRARY;

struct Row {
    const char* request;
    const char* aravisDir;  // what base/camaravis/ holds: NULL nothing, "sim" the simulator
    const char* simDir;     // likewise for base/camsim/
    bool preloadSim;        // the process has the simulator loaded already
    const char* name;       // expected choice, or NULL for none
    std::string why;        // expected reason (prefix) when none
};

TEST(SdkLoader, ChoosesByRequestPlaceAndMarker) {
    char real[4096];
    ASSERT_NE(realpath(kSim.c_str(), real), nullptr);
    const std::string sim = real;
    const Row rows[] = {
        {"bogus", nullptr, nullptr, false, nullptr,
         "QUELLSHOT_SDK=bogus: give vendor, aravis, sim or the path of a libMvCameraControl.so"},
        {"/nonexistent/libMvCameraControl.so", nullptr, nullptr, false, nullptr,
         "cannot load /nonexistent/libMvCameraControl.so: "},
        {QS_NOT_AN_SDK, nullptr, nullptr, false, nullptr,
         std::string(QS_NOT_AN_SDK) + " has no MV_CC_Initialize: not a camera SDK"},
        {kSim.c_str(), nullptr, nullptr, false, "sim", ""},
        {"sim", nullptr, "sim", false, "sim", ""},
        {"sim", nullptr, nullptr, false, nullptr, "no camera SDK found for sim: install"},
        // Our simulator where the Aravis backend belongs is refused, and the default goes on to the next.
        {"aravis", "sim", nullptr, false, nullptr, "is not the toolkit's aravis backend"},
        {"", "sim", "sim", false, "sim", ""},
        {nullptr, nullptr, nullptr, false, nullptr, "no camera SDK found: install"},
        // Loaded already: taken when it fits the request, never passed off as the vendor's.
        {"", nullptr, nullptr, true, "sim", ""},
        {"sim", nullptr, nullptr, true, "sim", ""},
        {"vendor", nullptr, nullptr, true, nullptr, "no camera SDK found for vendor"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.request != nullptr ? r.request : "(unset)") + " " +
                     (r.aravisDir != nullptr ? "A" : "-") + (r.simDir != nullptr ? "S" : "-") +
                     (r.preloadSim ? "L" : "-"));
        TempDir base;
        for (const auto& [dir, what] : {std::pair{"camaravis", r.aravisDir}, std::pair{"camsim", r.simDir}}) {
            if (what == nullptr) continue;
            ASSERT_EQ(mkdir(base.file(dir).c_str(), 0755), 0);
            ASSERT_EQ(symlink(sim.c_str(), base.file(std::string(dir) + "/libMvCameraControl.so").c_str()),
                      0);
        }
        expect_passes_in_child([&] {
            if (r.preloadSim) {
                ASSERT_NE(dlopen(sim.c_str(), RTLD_NOW | RTLD_GLOBAL), nullptr);
            }
            static sdkloader::Choice c;
            sdkloader::choose(r.request, (base.path() + "/").c_str(), c);
            if (r.name == nullptr) {
                EXPECT_EQ(c.library, nullptr);
                EXPECT_NE(std::string(c.why).find(r.why), std::string::npos) << c.why;
                return;
            }
            ASSERT_NE(c.library, nullptr) << c.why;
            EXPECT_STREQ(c.name, r.name);
            EXPECT_EQ(c.path, sim);
            for (void* fn : c.fn) EXPECT_NE(fn, nullptr);
            // The forwarders reach the chosen library: its version is the toolkit's.
            EXPECT_EQ(reinterpret_cast<unsigned (*)()>(c.fn[1])() >> 16, QS_VERSION_HIGH);
        });
    }
}

TEST(SdkLoader, DefaultOrderIsVendorThenAravisThenSim) {
    std::string kinds;
    const char* kind = nullptr;
    char path[4096];
    for (int i = 0; sdkloader::candidate(nullptr, "/b/", i, path, sizeof path, &kind); ++i) {
        if (kinds.empty() || kinds.back() != kind[0]) kinds += kind[0];
        if (i == 0) {
            EXPECT_STREQ(path, "libMvCameraControl.so");  // the dynamic linker's own search
        }
    }
    EXPECT_EQ(kinds, "vas");
    EXPECT_TRUE(sdkloader::candidate("aravis", "/b/", 0, path, sizeof path, &kind));
    EXPECT_STREQ(path, "/b/camaravis/libMvCameraControl.so");
    EXPECT_FALSE(sdkloader::candidate("/x/lib.so", "/b/", 1, path, sizeof path, &kind));
    // Without a place of its own, nothing is looked for beside it: dlopen would read the working directory.
    EXPECT_FALSE(sdkloader::candidate("sim", "", 0, path, sizeof path, &kind));
    EXPECT_FALSE(sdkloader::candidate("aravis", "b/", 0, path, sizeof path, &kind));
}

}  // namespace

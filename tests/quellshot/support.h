// Shared set-up of the capture tests: the simulator configured per test, the capture module's
// seams at fast, known values, and checks that every capture left nothing behind.
#pragma once

#include <camsim.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "qs_internal.h"
#include "quellshot.h"
#include "support/tempdir.h"

namespace qstest {

// The directory of the running executable: the lock file lives in its "status/".
inline std::string exe_dir() {
    char buf[4096] = {0};
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string p(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.rfind('/') + 1);
}

inline std::string lock_file() { return exe_dir() + "status/quellshot.lock"; }

inline std::string journal() {
    const size_t n = camsim_journal(nullptr, 0);
    std::string s(n + 1, '\0');
    camsim_journal(&s[0], s.size());
    s.resize(n);
    return s;
}

inline std::vector<std::string> journal_lines(const std::string& fn) {
    std::vector<std::string> out;
    std::istringstream in(journal());
    for (std::string l; std::getline(in, l);) {
        if (l.compare(0, fn.size() + 1, fn + " ") == 0) out.push_back(l);
    }
    return out;
}

inline size_t count(const std::string& fn) { return journal_lines(fn).size(); }

inline size_t succeeded(const std::string& fn) {
    size_t n = 0;
    for (const auto& l : journal_lines(fn)) n += l.size() >= 4 && l.compare(l.size() - 4, 4, " 0x0") == 0;
    return n;
}

inline const qs::AllocFn kRealAlloc = qs::alloc.load();
inline const qs::SignalCreateFn kRealSignal = qs::create_signal.load();
inline const qs::ThreadCreateFn kRealThread = qs::create_thread.load();
inline const qs::MonotonicClock kRealClock = qs::monotonic_clock.load();

// One camera section of a scenario.
inline std::string camera(const std::string& transport, const std::string& manufacturer,
                          const std::string& serial, const std::string& extra = "") {
    return "[camera]\ntransport = " + transport + "\nmanufacturer = " + manufacturer +
           "\nmodel = MODEL-" + serial + "\nserial = " + serial + "\nwidth = 64\nheight = 48\n" + extra;
}

class CaptureTest : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        camsim_reset();
        // Frames that never come should not cost a real second per pass.
        camsim_time_scale(0.01);
        qs::trigger_pause_ms.store(2);
        qs::waitAEDone.store(1);
        qs::monotonic_clock.store(kRealClock);
        qs::alloc.store(kRealAlloc);
        qs::create_signal.store(kRealSignal);
        qs::create_thread.store(kRealThread);
    }

    void TearDown() override {
        // Every capture that took the lock removes the file; the directory stays.
        EXPECT_NE(access(lock_file().c_str(), F_OK), 0) << "lock file left behind";
        EXPECT_EQ(access((exe_dir() + "status").c_str(), F_OK), 0);
        qs::trigger_pause_ms.store(1000);
        qs::monotonic_clock.store(kRealClock);
        qs::alloc.store(kRealAlloc);
        qs::create_signal.store(kRealSignal);
        qs::create_thread.store(kRealThread);
        camsim_reset();
    }

    void scenario(const std::string& text) {
        ASSERT_EQ(camsim_load_scenario_text(text.c_str(), "test"), 0) << text;
        camsim_time_scale(0.01);
    }

    // After any capture: the SDK ended, nothing leaked, every handle given back.
    static void expect_torn_down() {
        const std::string j = journal();
        EXPECT_EQ(j.find("LEAK"), std::string::npos) << j;
        EXPECT_EQ(camsim_init_count(), 0);
        ASSERT_FALSE(journal_lines("MV_CC_Finalize").empty());
        EXPECT_EQ(j.substr(j.rfind('\n', j.size() - 2) + 1).rfind("MV_CC_Finalize ", 0), 0u)
            << "Finalize is not the last call:\n" << j;
        const size_t created = count("MV_CC_CreateHandleWithoutLog");
        EXPECT_LE(count("MV_CC_DestroyHandle"), 1u);
        if (created > 0 && journal_lines("MV_CC_CreateHandleWithoutLog")[0].find(" 0x0") != std::string::npos) {
            // A handle was made: stop, close and destroy it, in that order.
            const auto pos = [&](const char* fn) { return j.find(std::string("\n") + fn + " "); };
            EXPECT_LT(pos("MV_CC_StopGrabbing"), pos("MV_CC_CloseDevice"));
            EXPECT_LT(pos("MV_CC_CloseDevice"), pos("MV_CC_DestroyHandle"));
            EXPECT_LT(pos("MV_CC_DestroyHandle"), pos("MV_CC_Finalize"));
        } else {
            EXPECT_EQ(count("MV_CC_CloseDevice"), 0u);
        }
    }
};

}  // namespace qstest

// swfile: one field of a configuration file - read, set, delete.
#include "swfile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/forked.h"
#include "support/tempdir.h"

namespace {

const char kNet[] = "port=1\r\n[net]\r\nport = 8080\r\n";

class CfgFile : public ::testing::Test {
protected:
    TempDir dir_;
    std::string path_ = dir_.file("app.cfg");

    std::string write(const std::string& text) { return dir_.write("app.cfg", text); }
    std::string content() const { return TempDir::read(path_); }

    // Value of `field` (or NULL text "<none>").
    std::string get(const char* section, const char* field, int size = 64) const {
        char name[200];
        char value[200] = "";
        snprintf(name, sizeof name, "%s", field);
        const char* r = sw_file_getCfgString(path_.c_str(), section, "GetFieldValue", name, value, size);
        return r == nullptr ? "<none>" : r;
    }

    // The names in the directory, to see that no temporary file stays behind.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR* d = opendir(dir_.path().c_str());
        if (d == nullptr) return names;
        while (const dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        }
        closedir(d);
        return names;
    }
};

}  // namespace

TEST_F(CfgFile, GetTable) {
    write(kNet);
    struct Case {
        const char* section;
        const char* mode;
        const char* key;
        const char* expected;
    } cases[] = {
        {"[net]", "GetFieldValue", "port", "8080"},
        {nullptr, "GetFieldValue", "port", "1"},
        {"[NET]", "getfieldvalue", "PORT", "8080"},
        {"[net]", "GetFieldName", "8080", "port"},
        {nullptr, "GetFieldName", "1", "port"},
        {"[web]", "GetFieldValue", "port", nullptr},
        {"[net]", "GetFieldValue", "host", nullptr},
        {"[net]", "GetFieldValue", "port=", nullptr},
        {"[net]", "GetField", "port", nullptr},
    };
    for (const Case& c : cases) {
        char field[32] = "", value[32] = "";
        const bool byName = strcmp(c.mode, "GetFieldName") == 0;
        snprintf(byName ? value : field, 32, "%s", c.key);
        const char* r = sw_file_getCfgString(path_.c_str(), c.section, c.mode, field, value, 32);
        if (c.expected == nullptr) {
            EXPECT_EQ(r, nullptr) << c.key;
        } else {
            ASSERT_EQ(r, byName ? field : value) << c.key;
            EXPECT_STREQ(r, c.expected);
        }
    }
}

TEST_F(CfgFile, GetRefusesBadArgumentsAndSmallBuffers) {
    write("name=abcd\r\n");
    EXPECT_EQ(get(nullptr, "name", 4), "<none>");
    EXPECT_EQ(get(nullptr, "name", 5), "abcd");
    char f[8] = "name", v[8];
    EXPECT_EQ(sw_file_getCfgString(nullptr, nullptr, "GetFieldValue", f, v, 8), nullptr);
    EXPECT_EQ(sw_file_getCfgString(path_.c_str(), nullptr, nullptr, f, v, 8), nullptr);
    EXPECT_EQ(sw_file_getCfgString(path_.c_str(), nullptr, "GetFieldValue", nullptr, v, 8), nullptr);
    EXPECT_EQ(sw_file_getCfgString(path_.c_str(), nullptr, "GetFieldValue", f, nullptr, 8), nullptr);
    EXPECT_EQ(sw_file_getCfgString(path_.c_str(), nullptr, "GetFieldValue", f, v, 0), nullptr);
    write("");
    EXPECT_EQ(get(nullptr, "name"), "<none>");
    path_ = dir_.file("missing.cfg");
    EXPECT_EQ(get(nullptr, "name"), "<none>");
}

TEST_F(CfgFile, SetCreatesAndRewrites) {
    EXPECT_TRUE(sw_file_setCfgString(path_.c_str(), "[cam]", "SetFieldValue", "mode", "auto", true));
    EXPECT_EQ(content(), "\r\n[cam]\r\nmode=auto");
    EXPECT_TRUE(sw_file_setCfgString(path_.c_str(), "[cam]", "setfieldvalue", "mode", "manual", true));
    EXPECT_EQ(content(), "\r\n[cam]\r\nmode=manual");
    EXPECT_TRUE(sw_file_setCfgString(path_.c_str(), "[cam]", "SetFieldName", "exposure", "manual", false));
    EXPECT_EQ(content(), "\r\n[cam]\r\nexposure=manual");
    EXPECT_TRUE(sw_file_setCfgString(path_.c_str(), "[net]", "SetFieldValue", "port", "80", true));
    EXPECT_EQ(content(), "\r\n[cam]\r\nexposure=manual\r\n[net]\r\nport=80");
    // A new field of the first section lands at the end of the file, inside the second.
    EXPECT_TRUE(sw_file_setCfgString(path_.c_str(), "[cam]", "SetFieldValue", "gain", "2", true));
    EXPECT_EQ(content(), "\r\n[cam]\r\nexposure=manual\r\n[net]\r\nport=80\r\ngain=2");
    EXPECT_EQ(get("[net]", "gain"), "2");
    EXPECT_EQ(entries(), std::vector<std::string>{"app.cfg"}) << "no temporary file left";

    path_ = dir_.file("plain.cfg");
    EXPECT_TRUE(sw_file_setCfgString(path_.c_str(), nullptr, "SetFieldValue", "a", "1", true));
    EXPECT_EQ(content(), "a=1");
}

TEST_F(CfgFile, SetRefusalsLeaveTheFileUntouched) {
    write(kNet);
    const std::string long188(188, 's'), long189(189, 's');
    const std::string v191(191, 'v'), v192(192, 'v');
    struct Case {
        const char* section;
        const char* mode;
        const char* field;
        const char* value;
        bool autoAdd;
    } cases[] = {
        {"[net]", "SetFieldValue", "host", "h", false},
        {"[web]", "SetFieldValue", "port", "1", false},
        {long189.c_str(), "SetFieldValue", "a", "1", true},
        {nullptr, "SetFieldValue", "a", v192.c_str(), true},  // 193 characters
        {nullptr, "SetValue", "port", "2", true},
        {nullptr, "SetFieldValue", "port", "2\n3", true},
        {nullptr, "SetFieldValue", "po=rt", "2", true},
        {nullptr, "SetFieldValue", nullptr, "2", true},
        {nullptr, "SetFieldValue", "port", nullptr, true},
        {nullptr, nullptr, "port", "2", true},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(sw_file_setCfgString(path_.c_str(), c.section, c.mode, c.field, c.value, c.autoAdd));
        EXPECT_EQ(content(), kNet);
    }
    EXPECT_FALSE(sw_file_setCfgString(nullptr, nullptr, "SetFieldValue", "a", "1", true));
    EXPECT_TRUE(sw_file_setCfgString(path_.c_str(), nullptr, "SetFieldValue", "a", v191.c_str(), true));
    EXPECT_EQ(get(nullptr, "a", 256), v191);
}

TEST_F(CfgFile, LargestSectionAndFieldFitTogether) {
    // A 188-character marker takes a 192-byte line; a 192-character field 193 bytes more.
    const std::string section(188, 's'), value(191, 'v');
    ASSERT_TRUE(sw_file_setCfgString(path_.c_str(), section.c_str(), "SetFieldValue", "a", value.c_str(), true));
    EXPECT_EQ(content(), "\r\n" + section + "\r\na=" + value);
    write("x=1");
    ASSERT_TRUE(sw_file_setCfgString(path_.c_str(), section.c_str(), "SetFieldValue", "a", value.c_str(), true));
    EXPECT_EQ(content(), "x=1\r\n" + section + "\r\na=" + value);
}

TEST_F(CfgFile, DeleteTable) {
    struct Case {
        const char* before;
        const char* section;
        const char* mode;
        const char* field;
        const char* value;
        const char* after;
    } cases[] = {
        {"\r\n[cam]\r\nmode=auto", "[cam]", "DelFieldByName", "mode", nullptr, "\r\n[cam]\r\n"},
        {"\r\n[cam]\r\nmode=auto", nullptr, "delfieldbyvalue", nullptr, "AUTO", "\r\n[cam]\r\n"},
        {kNet, "[net]", "DelFieldByName", "port", nullptr, "port=1\r\n[net]\r\n"},
        {kNet, nullptr, "DelFieldByName", "port", nullptr, "[net]\r\nport = 8080\r\n"},
        {kNet, "[web]", "DelFieldByName", "port", nullptr, kNet},
        {kNet, nullptr, "DelFieldByName", "host", nullptr, kNet},
        {"", nullptr, "DelFieldByName", "mode", nullptr, ""},
    };
    for (const Case& c : cases) {
        write(c.before);
        EXPECT_TRUE(sw_file_delCfgString(path_.c_str(), c.section, c.mode, c.field, c.value)) << c.before;
        EXPECT_EQ(content(), c.after);
    }
    write(kNet);
    EXPECT_FALSE(sw_file_delCfgString(path_.c_str(), nullptr, "DelField", "port", nullptr));
    EXPECT_FALSE(sw_file_delCfgString(path_.c_str(), nullptr, "DelFieldByName", nullptr, nullptr));
    EXPECT_FALSE(sw_file_delCfgString(path_.c_str(), nullptr, "DelFieldByName", nullptr, "1"));
    EXPECT_FALSE(sw_file_delCfgString(path_.c_str(), nullptr, "DelFieldByName", "po=rt", nullptr));
    EXPECT_FALSE(sw_file_delCfgString(path_.c_str(), nullptr, nullptr, "port", nullptr));
    EXPECT_EQ(content(), kNet);
    EXPECT_FALSE(sw_file_delCfgString(dir_.file("missing.cfg").c_str(), nullptr, "DelFieldByName", "a", nullptr));
}

TEST_F(CfgFile, RewriteKeepsThePermissionBits) {
    write("a=1\n");
    ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
    ASSERT_TRUE(sw_file_setCfgString(path_.c_str(), nullptr, "SetFieldValue", "a", "2", false));
    ASSERT_TRUE(sw_file_delCfgString(path_.c_str(), nullptr, "DelFieldByName", "a", nullptr));
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(content(), "");
}

TEST_F(CfgFile, FailedWriteLeavesTheOldFileWhole) {
    // A file-size limit below the new content makes the write fail part-way.
    const std::string old = "# " + std::string(100, 'c') + "\r\nname=n\r\nport=1\r\n";
    write(old);
    expect_passes_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit lim = {64, 64};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
        EXPECT_FALSE(sw_file_setCfgString(path_.c_str(), nullptr, "SetFieldValue", "name", std::string(150, 'x').c_str(), true));
        EXPECT_FALSE(sw_file_delCfgString(path_.c_str(), nullptr, "DelFieldByName", "port", nullptr));
        EXPECT_FALSE(sw_file_setCfgString(path_.c_str(), "[new]", "SetFieldValue", "a", "1", true));
    });
    EXPECT_EQ(content(), old) << "the old file byte for byte";
    EXPECT_EQ(entries(), std::vector<std::string>{"app.cfg"}) << "no temporary file left";
}

TEST_F(CfgFile, RandomOperationsAgreeWithAMap) {
    // Without sections, the file behaves as a map from name (ignoring case) to value.
    std::mt19937 rng(7);
    const char* names[] = {"alpha", "Beta", "gamma", "d"};
    const char* values[] = {"1", "two", "", "x y"};
    std::map<std::string, std::string> model;
    auto key = [](std::string s) {
        for (char& ch : s) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        return s;
    };
    for (int step = 0; step < 150; ++step) {
        const char* n = names[rng() % 4];
        const char* v = values[rng() % 4];
        if (rng() % 3 != 0) {
            ASSERT_TRUE(sw_file_setCfgString(path_.c_str(), nullptr, "SetFieldValue", n, v, true));
            model[key(n)] = v;
        } else {
            ASSERT_TRUE(sw_file_delCfgString(path_.c_str(), nullptr, "DelFieldByName", n, nullptr) ||
                        !sw_file_exists(path_.c_str()));
            model.erase(key(n));
        }
        for (const char* name : names) {
            const auto it = model.find(key(name));
            ASSERT_EQ(get(nullptr, name), it == model.end() ? "<none>" : it->second) << "step " << step;
        }
    }
}

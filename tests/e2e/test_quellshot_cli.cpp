// quellshot (the command-line program) end to end: the real executable against scenario files of
// the simulated SDK; its exit status, its messages, its one JSON object, the images it writes and
// the SDK calls it made (the simulator's journal).
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/tempdir.h"

namespace {

// ---- a small, strict JSON reader ----------------------------------------------------------------

struct JValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<JValue> items;
    std::map<std::string, JValue> members;

    bool has(const std::string& k) const { return kind == Object && members.count(k) != 0; }
    const JValue& operator[](const std::string& k) const {
        static const JValue none;
        auto it = members.find(k);
        return it == members.end() ? none : it->second;
    }
};

class JParser {
public:
    explicit JParser(const std::string& t) : t_(t) {}
    // The whole text must be one value with nothing but blanks around it.
    bool parse(JValue& v, std::string& error) {
        const bool ok = value(v) && (blanks(), i_ == t_.size());
        if (!ok) error = "bad JSON at byte " + std::to_string(i_) + ": " + t_;
        return ok;
    }

private:
    void blanks() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\t' || t_[i_] == '\r')) ++i_;
    }
    bool lit(const char* w) {
        const size_t n = strlen(w);
        if (t_.compare(i_, n, w) != 0) return false;
        i_ += n;
        return true;
    }
    bool value(JValue& v) {
        blanks();
        if (i_ >= t_.size()) return false;
        const char c = t_[i_];
        if (c == '{') return object(v);
        if (c == '[') return array(v);
        if (c == '"') {
            v.kind = JValue::String;
            return string(v.s);
        }
        if (lit("true")) return v.kind = JValue::Bool, v.b = true, true;
        if (lit("false")) return v.kind = JValue::Bool, v.b = false, true;
        if (lit("null")) return v.kind = JValue::Null, true;
        return number(v);
    }
    bool number(JValue& v) {
        static const std::regex re(R"(^-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
        std::smatch m;
        const std::string rest = t_.substr(i_, 64);
        if (!std::regex_search(rest, m, re) || m.length(0) == 0) return false;
        v.kind = JValue::Number;
        v.n = std::stod(m.str(0));
        i_ += static_cast<size_t>(m.length(0));
        return true;
    }
    static void utf8(unsigned cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool string(std::string& out) {
        ++i_;  // the opening quote
        while (i_ < t_.size()) {
            const unsigned char c = static_cast<unsigned char>(t_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;  // raw control characters are not allowed
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (i_ >= t_.size()) return false;
            const char e = t_[i_++];
            const char* simple = strchr("\"\\/bfnrt", e);
            if (e == 'u') {
                if (i_ + 4 > t_.size()) return false;
                const std::string hex = t_.substr(i_, 4);
                if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
                utf8(static_cast<unsigned>(std::stoul(hex, nullptr, 16)), out);
                i_ += 4;
            } else if (simple != nullptr && e != '\0') {
                out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
            } else {
                return false;
            }
        }
        return false;
    }
    bool array(JValue& v) {
        v.kind = JValue::Array;
        ++i_;
        blanks();
        if (i_ < t_.size() && t_[i_] == ']') return ++i_, true;
        for (;;) {
            JValue item;
            if (!value(item)) return false;
            v.items.push_back(std::move(item));
            blanks();
            if (i_ >= t_.size()) return false;
            if (t_[i_] == ']') return ++i_, true;
            if (t_[i_++] != ',') return false;
        }
    }
    bool object(JValue& v) {
        v.kind = JValue::Object;
        ++i_;
        blanks();
        if (i_ < t_.size() && t_[i_] == '}') return ++i_, true;
        for (;;) {
            blanks();
            std::string k;
            if (i_ >= t_.size() || t_[i_] != '"' || !string(k)) return false;
            if (v.members.count(k) != 0) return false;  // a key twice
            blanks();
            if (i_ >= t_.size() || t_[i_++] != ':') return false;
            JValue item;
            if (!value(item)) return false;
            v.members[k] = std::move(item);
            blanks();
            if (i_ >= t_.size()) return false;
            if (t_[i_] == '}') return ++i_, true;
            if (t_[i_++] != ',') return false;
        }
    }
    const std::string& t_;
    size_t i_ = 0;
};

std::vector<std::string> strings_of(const JValue& v) {
    std::vector<std::string> out;
    for (const JValue& i : v.items) out.push_back(i.kind == JValue::String ? i.s : "<not a string>");
    return out;
}

// ---- running the program -------------------------------------------------------------------------

struct JournalLine {
    std::string fn, serial, arg, status;
};

struct CliRun {
    ChildResult child;
    std::vector<JournalLine> journal;
    JValue json;  // when asked for

    size_t count(const std::string& fn) const {
        size_t n = 0;
        for (const auto& j : journal) n += j.fn == fn;
        return n;
    }
    size_t pos(const std::string& fn, size_t nth = 0) const {
        for (size_t i = 0; i < journal.size(); ++i) {
            if (journal[i].fn == fn && nth-- == 0) return i;
        }
        return std::string::npos;
    }
};

std::string own_comm() {
    // By pid, not "self": an emulator may answer /proc/self itself, the program reads /proc/<pid>.
    return TempDir::read("/proc/" + std::to_string(getpid()) + "/comm");
}

bool file_exists(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0;
}

uint32_t le32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

// Width and height from a JPEG's start-of-frame segment, walking the segments from the start.
bool jpeg_size(const std::string& b, unsigned& w, unsigned& h) {
    size_t i = 2;
    while (i + 9 < b.size()) {
        if (static_cast<unsigned char>(b[i]) != 0xFF) return false;
        const unsigned char marker = static_cast<unsigned char>(b[i + 1]);
        const size_t len = (static_cast<unsigned char>(b[i + 2]) << 8) | static_cast<unsigned char>(b[i + 3]);
        if (marker >= 0xC0 && marker <= 0xC3) {
            h = (static_cast<unsigned char>(b[i + 5]) << 8) | static_cast<unsigned char>(b[i + 6]);
            w = (static_cast<unsigned char>(b[i + 7]) << 8) | static_cast<unsigned char>(b[i + 8]);
            return true;
        }
        i += 2 + len;
    }
    return false;
}

const char* const kSmallCam = "[camera]\nserial = CLI1\nmodel = MV-CLI-64\nwidth = 64\nheight = 48\n";

class QuellshotCli : public ::testing::Test {
protected:
    TempDir dir;

    // Runs the program with `args` on `scenario` (nullptr: the simulator's default camera).
    CliRun run(const std::vector<std::string>& args, const char* scenario = kSmallCam, bool json = false,
               const std::string& program = QS_QUELLSHOT_PATH) {
        remove(dir.file("journal").c_str());
        std::vector<std::pair<std::string, std::string>> env = {{"CAMSIM_JOURNAL", dir.file("journal")},
                                                                {"CAMSIM_LOCKDIR", dir.path()}};
        std::vector<std::string> unset = {"CAMSIM_TIME_SCALE"};
        if (scenario != nullptr) {
            env.emplace_back("CAMSIM_SCENARIO", dir.write("scenario.ini", scenario));
        } else {
            unset.push_back("CAMSIM_SCENARIO");
        }
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        CliRun r;
        r.child = run_child(emulated(QS_EMULATOR, argv), env, unset);
        EXPECT_TRUE(r.child.started);
        EXPECT_FALSE(r.child.timedOut);
        EXPECT_EQ(r.child.termSignal, 0) << r.child.err;
        std::istringstream in(TempDir::read(dir.file("journal")));
        for (std::string l; std::getline(in, l);) {
            std::istringstream f(l);
            JournalLine j;
            f >> j.fn >> j.serial >> j.arg >> j.status;
            r.journal.push_back(j);
        }
        if (json) {
            std::string error;
            EXPECT_TRUE(JParser(r.child.out).parse(r.json, error)) << error << "\nstderr: " << r.child.err;
            EXPECT_EQ(r.json.kind, JValue::Object) << r.child.out;
            EXPECT_EQ(r.json["result"].kind, JValue::Number) << r.child.out;
        }
        return r;
    }
    CliRun run_json(std::vector<std::string> args, const char* scenario = kSmallCam,
                    const std::string& program = QS_QUELLSHOT_PATH) {
        args.insert(args.begin() + 1, "--json");
        return run(args, scenario, true, program);
    }

    // Whatever happened, every SDK session was closed and nothing leaked.
    static void expect_clean(const CliRun& r) {
        EXPECT_EQ(r.count("MV_CC_Initialize"), r.count("MV_CC_Finalize"));
        EXPECT_EQ(r.count("LEAK"), 0u);
        size_t made = 0, destroyed = 0;
        for (const auto& j : r.journal) {
            made += j.fn == "MV_CC_CreateHandleWithoutLog" && j.status == "0x0";
            destroyed += j.fn == "MV_CC_DestroyHandle" && j.status == "0x0";
        }
        EXPECT_EQ(made, destroyed);
    }

    // A copy of the program in the sandbox, so that its "status/" is the sandbox's (the build
    // tree's run path still finds the libraries).
    std::string private_copy() {
        const std::string copy = dir.file("bin/quellshot");
        mkdir(dir.file("bin").c_str(), 0755);
        std::ofstream(copy, std::ios::binary) << TempDir::read(QS_QUELLSHOT_PATH);
        chmod(copy.c_str(), 0755);
        return copy;
    }
};

}  // namespace

// ---- usage -------------------------------------------------------------------------------------

TEST_F(QuellshotCli, HelpAndVersion) {
    for (const char* flag : {"--help", "-h"}) {
        const CliRun r = run({flag});
        EXPECT_EQ(r.child.exitStatus, 0);
        EXPECT_EQ(r.child.out.rfind("Usage: quellshot COMMAND", 0), 0u) << r.child.out;
        for (const char* cmd : {"grab", "count", "list", "usbfs", "reset", "doctor", "--json"})
            EXPECT_NE(r.child.out.find(cmd), std::string::npos) << cmd;
    }
    for (const char* cmd : {"grab", "count", "list", "usbfs", "reset", "doctor"}) {
        for (const char* flag : {"--help", "-h"}) {
            const CliRun r = run({cmd, flag});
            EXPECT_EQ(r.child.exitStatus, 0) << cmd;
            EXPECT_EQ(r.child.out.rfind(std::string("Usage: quellshot ") + cmd, 0), 0u) << r.child.out;
        }
    }
    // The default time-out is documented.
    EXPECT_NE(run({"grab", "--help"}).child.out.find("(default 30)"), std::string::npos);
    const CliRun v = run({"--version"});
    EXPECT_EQ(v.child.exitStatus, 0);
    EXPECT_TRUE(std::regex_match(v.child.out, std::regex("quellshot [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << v.child.out;
    EXPECT_TRUE(v.journal.empty());
}

TEST_F(QuellshotCli, UsageErrorsExitWith2AndTouchNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"shoot"},
        {"--bogus"},
        {"--version", "extra"},
        {"grab"},
        {"grab", "a", "b"},
        {"grab", ""},
        {"grab", "--timeout", "soon", "p"},
        {"grab", "--timeout", "0", "p"},
        {"grab", "--timeout", "2147484", "p"},
        {"grab", "--timeout=", "p"},
        {"grab", "p", "--timeout"},
        {"grab", "--bmp", "--jpg", "p"},
        {"grab", "--png", "p"},
        {"grab", "--json=yes", "p"},
        {"count", "extra"},
        {"count", "--wait", "1"},
        {"list", "--bmp"},
        {"usbfs", "-5"},
        {"usbfs", "12x"},
        {"usbfs", "99999999999"},
        {"usbfs", ""},
        {"usbfs", "1", "2"},
        {"reset", "--wait", "-1"},
        {"reset", "--wait", "soon"},
        {"reset", "--wait", "86401"},
        {"reset", "now"},
        {"doctor", "x"},
        {"doctor", "--wait", "1"},
    };
    for (const auto& args : cases) {
        std::string name;
        for (const auto& a : args) name += "'" + a + "' ";
        SCOPED_TRACE(name);
        for (const bool json : {false, true}) {
            std::vector<std::string> a = args;
            if (json && a.size() >= 1) a.push_back("--json");
            const CliRun r = run(a);
            EXPECT_EQ(r.child.exitStatus, 2);
            EXPECT_EQ(r.child.out, "");  // not even JSON: the exit status says it
            EXPECT_NE(r.child.err.find("Try 'quellshot"), std::string::npos) << r.child.err;
            EXPECT_TRUE(r.journal.empty());  // the SDK was never called
        }
    }
}

// ---- grab --------------------------------------------------------------------------------------

TEST_F(QuellshotCli, GrabJpegJson) {
    const std::string path = dir.file("img");  // no extension: ".jpg" is added
    const CliRun r = run_json({"grab", path});
    ASSERT_EQ(r.child.exitStatus, 0) << r.child.err;
    const JValue& j = r.json;
    EXPECT_EQ(j["result"].n, 0);
    EXPECT_EQ(j["path"].s, path + ".jpg");
    EXPECT_EQ(j["model"].s, "MV-CLI-64");
    EXPECT_EQ(j["serial"].s, "CLI1");
    EXPECT_EQ(j["exposure_us"].kind, JValue::Number);
    EXPECT_EQ(j["exposure_us"].n, 10000.0);
    EXPECT_EQ(j["elapsed_ms"].kind, JValue::Number);
    EXPECT_GE(j["elapsed_ms"].n, 1000.0);  // the pause after the trigger
    EXPECT_LT(j["elapsed_ms"].n, 60000.0);
    EXPECT_EQ(j.members.size(), 6u);
    // The library's log lines went to stderr.
    EXPECT_NE(r.child.err.find("+++GetOneFrame+++"), std::string::npos) << r.child.err;
    const std::string img = TempDir::read(path + ".jpg");
    ASSERT_GT(img.size(), 4u);
    EXPECT_EQ(img.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(img.substr(img.size() - 2), "\xFF\xD9");
    unsigned w = 0, h = 0;
    ASSERT_TRUE(jpeg_size(img, w, h));
    EXPECT_EQ(w, 64u);
    EXPECT_EQ(h, 48u);
    EXPECT_EQ(r.journal[r.pos("MV_CC_SaveImageEx3")].arg, "jpeg");
    EXPECT_FALSE(file_exists(dir.file("img")));
    expect_clean(r);
}

TEST_F(QuellshotCli, GrabBmpPassesLogLinesThroughWhenNotOnATerminal) {
    // The extension is already there (in any case): the path is used as it is.
    const std::string path = dir.file("photo.BMP");
    const CliRun r = run({"grab", "--bmp", "--timeout", "60", path});
    ASSERT_EQ(r.child.exitStatus, 0) << r.child.err;
    std::vector<std::string> lines;
    std::istringstream in(r.child.out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 2u) << r.child.out;
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(R"(^\[[-0-9 :]+\] \[debug\] \(quellshot/[a-z_]+\.cpp:\d+\) )"
                                              R"(\[Quellshot\] \+\+\+GetOneFrame\+\+\+, Width\[64\], .*)")))
        << lines[0];
    EXPECT_EQ(lines[1], "saved " + path + " (camera MV-CLI-64, serial CLI1, exposure 10000.00 us, " +
                            lines[1].substr(lines[1].rfind(", ") + 2));
    EXPECT_EQ(r.child.err, "");
    const std::string bmp = TempDir::read(path);
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(le32(bmp, 2), bmp.size());          // file size field
    EXPECT_EQ(le32(bmp, 10), 54u);                // pixel data offset
    EXPECT_EQ(le32(bmp, 14), 40u);                // info header size
    EXPECT_EQ(le32(bmp, 18), 64u);                // width
    EXPECT_EQ(le32(bmp, 22), 48u);                // height
    EXPECT_EQ(bmp.size(), 54u + 64u * 3u * 48u);  // 24-bit rows, no padding at this width
    EXPECT_EQ(r.journal[r.pos("MV_CC_SaveImageEx3")].arg, "bmp");
    expect_clean(r);
}

TEST_F(QuellshotCli, GrabWithoutExposureWaitSavesTheFirstFrame) {
    const char* scenario =
        "[camera]\nserial = AE1\nwidth = 64\nheight = 48\nexposure_auto = continuous\n"
        "exposures = 10000, 20000, 30000, 40000\n";
    const CliRun r = run_json({"grab", "--no-ae-wait", dir.file("ae.jpg")}, scenario);
    ASSERT_EQ(r.child.exitStatus, 0) << r.child.err;
    EXPECT_EQ(r.json["exposure_us"].n, 10000.0);
    EXPECT_EQ(r.count("MV_CC_GetImageBuffer"), 1u);
    EXPECT_TRUE(file_exists(dir.file("ae.jpg")));
    expect_clean(r);
}

TEST_F(QuellshotCli, GrabFailuresNameTheResultAndItsMeaning) {
    const struct {
        const char* name;
        std::string scenario;
        std::string code;   // as printed
        long long result;   // in JSON
        const char* words;  // part of the meaning
        const char* libraryMessage;
    } cases[] = {
        {"no camera", "# nothing attached\n", "-3", -3, "no camera listed", "没有相机,数量=0!!"},
        {"no Hikrobot camera", "[camera]\nmanufacturer = Basler\n", "-6", -6,
         "no camera of the manufacturer \"Hikrobot\"", "没有找到 \"Hikrobot\" 的相机!!"},
        {"SDK cannot start", "[fault]\nMV_CC_Initialize = 0x80000006\n", "0x80000006",
         static_cast<int>(0x80000006u), "camera SDK status: resources exhausted",
         "相机SDK初始化失败, errCode=0x80000006!!"},
        {"camera open elsewhere", std::string(kSmallCam) + "[fault]\nMV_CC_OpenDevice = 0x80000203\n",
         "0x80000203", static_cast<int>(0x80000203u), "camera SDK status: access denied",
         "打开相机时发生错误, errCode=0x80000203!!"},
        {"image of length 0", std::string(kSmallCam) + "image_len = zero\n", "-19", -19,
         "the image file was not written completely", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(std::string("fail-") + c.code);
        const CliRun h = run({"grab", path}, c.scenario.c_str());
        EXPECT_EQ(h.child.exitStatus, 1);
        EXPECT_NE(h.child.err.find("quellshot grab: failed, result " + c.code + ": " + c.words),
                  std::string::npos)
            << h.child.err;
        if (c.libraryMessage != nullptr) {
            // Not on a terminal: the library's own line passes through on stdout.
            EXPECT_NE(h.child.out.find(std::string("[Quellshot] ") + c.libraryMessage), std::string::npos)
                << h.child.out;
        }
        EXPECT_FALSE(file_exists(path + ".jpg"));
        expect_clean(h);

        const CliRun j = run_json({"grab", path}, c.scenario.c_str());
        EXPECT_EQ(j.child.exitStatus, 1);
        EXPECT_EQ(static_cast<long long>(j.json["result"].n), c.result);
        EXPECT_NE(j.json["error"].s.find(c.words), std::string::npos) << j.child.out;
        EXPECT_EQ(j.json.has("sdk_status"), c.code.rfind("0x", 0) == 0);
        if (j.json.has("sdk_status")) {
            EXPECT_EQ(j.json["sdk_status"].s, c.code);
        }
        if (c.libraryMessage != nullptr) {
            EXPECT_NE(j.child.err.find(c.libraryMessage), std::string::npos);
        }
        EXPECT_FALSE(j.json.has("path"));
    }
}

TEST_F(QuellshotCli, LockHeldElsewhereNamesTheHolder) {
    // The program's lock file is beside it; this copy's is inside the sandbox.
    const std::string program = private_copy();
    ASSERT_EQ(mkdir(dir.file("bin/status").c_str(), 0755), 0);
    const std::string lock = dir.file("bin/status/quellshot.lock");
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    std::string comm = own_comm();
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    const std::string pid = std::to_string(getpid());

    const CliRun h = run({"grab", dir.file("never")}, kSmallCam, false, program);
    EXPECT_EQ(h.child.exitStatus, 1);
    EXPECT_NE(h.child.err.find("result -2: another capture holds the lock"), std::string::npos)
        << h.child.err;
    EXPECT_NE(h.child.err.find("held by process " + pid + " (" + comm + ")"), std::string::npos)
        << h.child.err;
    EXPECT_TRUE(h.journal.empty());  // the camera was never touched

    const CliRun j = run_json({"grab", dir.file("never")}, kSmallCam, program);
    EXPECT_EQ(j.child.exitStatus, 1);
    EXPECT_EQ(j.json["result"].n, -2);
    ASSERT_EQ(j.json["lock_holder"].kind, JValue::Object) << j.child.out;
    EXPECT_EQ(j.json["lock_holder"]["pid"].n, static_cast<double>(getpid()));
    EXPECT_EQ(j.json["lock_holder"]["comm"].s, comm);
    EXPECT_FALSE(file_exists(dir.file("never.jpg")));
    close(fd);
}

TEST_F(QuellshotCli, StatusThatIsNotADirectory) {
    const std::string program = private_copy();
    dir.write("bin/status", "not a directory\n");
    const CliRun g = run({"grab", dir.file("x")}, kSmallCam, false, program);
    EXPECT_EQ(g.child.exitStatus, 1);
    EXPECT_NE(g.child.err.find("result -1: the lock file"), std::string::npos) << g.child.err;
    EXPECT_TRUE(g.journal.empty());

    const CliRun d = run_json({"doctor"}, kSmallCam, program);
    EXPECT_EQ(d.child.exitStatus, 1);
    EXPECT_EQ(d.json["result"].n, 1);
    bool seen = false;
    for (const JValue& c : d.json["checks"].items) {
        if (c["check"].s != "status_dir") continue;
        seen = true;
        EXPECT_FALSE(c["ok"].b);
        EXPECT_NE(c["detail"].s.find("not a directory"), std::string::npos) << c["detail"].s;
        EXPECT_NE(c["fix"].s.find("rm " + dir.file("bin/status")), std::string::npos) << c["fix"].s;
    }
    EXPECT_TRUE(seen);
}

// On a terminal the library's frame lines become one status line rewritten in place.
TEST_F(QuellshotCli, GrabShowsProgressOnATerminal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    struct winsize ws {};
    ws.ws_row = 24;
    ws.ws_col = 60;
    ASSERT_EQ(ioctl(master, TIOCSWINSZ, &ws), 0);
    // Automatic exposure, steady from the first frame: four frames; the first trigger finds nothing.
    const std::string scenario = dir.write(
        "tty.ini",
        "[camera]\nserial = TTY1\nwidth = 64\nheight = 48\nexposure_auto = continuous\nexposures = 12000\n"
        "[fault]\nMV_CC_GetImageBuffer#1 = 0x80000007\n");
    std::vector<std::string> argv = emulated(QS_EMULATOR, {QS_QUELLSHOT_PATH, "grab", dir.file("tty")});
    std::vector<std::string> envs = {"CAMSIM_SCENARIO=" + scenario, "CAMSIM_LOCKDIR=" + dir.path(),
                                     "PATH=/usr/bin:/bin"};
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setsid();
        const int s = open(slave.c_str(), O_RDWR);
        if (s < 0) _exit(126);
        dup2(s, 0);
        dup2(s, 1);
        dup2(s, 2);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    std::string out;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);  // our own child
            break;
        }
        struct pollfd p = {master, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        char buf[4096];
        const ssize_t got = read(master, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // EIO once the child closed the terminal
        out.append(buf, static_cast<size_t>(got));
    }
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    // No raw frame line reaches the terminal; the status line shows what happens.
    EXPECT_EQ(out.find("+++GetOneFrame+++"), std::string::npos) << out;
    EXPECT_NE(out.find("no frame yet"), std::string::npos) << out;
    EXPECT_NE(out.find("| #1 64x48 |"), std::string::npos) << out;
    EXPECT_NE(out.find("12000.00 us, steady 1/4"), std::string::npos) << out;
    EXPECT_NE(out.find("trigger 5"), std::string::npos) << out;
    EXPECT_NE(out.find("saved " + dir.file("tty.jpg")), std::string::npos) << out;
    // Every status line fits the terminal's width, or it could not be redrawn in place.
    size_t redraws = 0;
    for (size_t at = out.find("\r\x1b[K"); at != std::string::npos; at = out.find("\r\x1b[K", at + 1)) {
        const size_t end = out.find_first_of("\r\n", at + 1);
        // The last clear is followed by ordinary output, ending in the terminal's "\r\n".
        if (end == std::string::npos || out[end] != '\r' || out.compare(end, 2, "\r\n") == 0) continue;
        EXPECT_LT(end - (at + 4), 60u);
        ++redraws;
    }
    EXPECT_GE(redraws, 5u);
    EXPECT_TRUE(file_exists(dir.file("tty.jpg")));
}

// ---- count, list, usbfs ------------------------------------------------------------------------

const char* const kCensus =
    "[camera]\ntransport = usb3\nmanufacturer = Hikrobot\nmodel = M-U\nserial = U1\n"
    "[camera]\ntransport = gige\nmanufacturer = HIKROBOT\nmodel = M-G\nserial = G1\n"
    "[camera]\ntransport = usb3\nmanufacturer = Hikrobot Inc\nmodel = M-X\nserial = X1\n"
    "[camera]\ntransport = 8\nmanufacturer = Hikrobot\nserial = T8\n"
    "[camera]\ntransport = null\n";

TEST_F(QuellshotCli, CountAndListTheCameras) {
    const CliRun c = run({"count"}, kCensus);
    EXPECT_EQ(c.child.exitStatus, 0);
    EXPECT_EQ(c.child.out, "2\n");
    const CliRun cj = run_json({"count"}, kCensus);
    EXPECT_EQ(cj.child.exitStatus, 0);
    EXPECT_EQ(cj.json["count"].n, 2);
    EXPECT_EQ(cj.json.members.size(), 2u);
    EXPECT_EQ(run_json({"count"}, "# nothing\n").json["count"].n, 0);

    const CliRun l = run_json({"list"}, kCensus);
    EXPECT_EQ(l.child.exitStatus, 0);
    const JValue& cams = l.json["cameras"];
    ASSERT_EQ(cams.kind, JValue::Array);
    ASSERT_EQ(cams.items.size(), 5u);
    const struct {
        const char* transport;
        double layer;
        const char* manufacturer;
        const char* serial;
        bool hikrobot;
    } want[] = {{"usb3", 4, "Hikrobot", "U1", true},
                {"gige", 1, "HIKROBOT", "G1", true},
                {"usb3", 4, "Hikrobot Inc", "X1", false},
                {"other", 8, "", "", false},
                {"none", 0, "", "", false}};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const JValue& e = cams.items[i];
        EXPECT_EQ(e["index"].n, static_cast<double>(i));
        EXPECT_EQ(e["transport"].s, want[i].transport);
        EXPECT_EQ(e["layer_type"].n, want[i].layer);
        EXPECT_EQ(e["manufacturer"].s, want[i].manufacturer);
        EXPECT_EQ(e["serial"].s, want[i].serial);
        EXPECT_EQ(e["hikrobot"].kind, JValue::Bool);
        EXPECT_EQ(e["hikrobot"].b, want[i].hikrobot);
        EXPECT_EQ(e["model"].kind, JValue::String);
    }
    EXPECT_EQ(l.count("MV_CC_CreateHandleWithoutLog"), 0u);  // listing opens nothing
    expect_clean(l);

    const CliRun t = run({"list"}, kCensus);
    EXPECT_EQ(t.child.exitStatus, 0);
    EXPECT_TRUE(std::regex_search(t.child.out, std::regex(R"(\*\s+1\s+gige\s+HIKROBOT\s+M-G\s+G1\n)")))
        << t.child.out;
    EXPECT_TRUE(std::regex_search(t.child.out, std::regex(R"(\n\s+2\s+usb3\s+Hikrobot Inc\s+M-X\s+X1\n)")));
    EXPECT_NE(t.child.out.find("5 camera(s), 2 of them \"Hikrobot\""), std::string::npos);
    const CliRun none = run_json({"list"}, "# nothing\n");
    EXPECT_EQ(none.child.exitStatus, 0);
    EXPECT_TRUE(none.json["cameras"].items.empty());
    EXPECT_EQ(run({"list"}, "# nothing\n").child.out, "no camera found\n");
}

TEST_F(QuellshotCli, NamesOfAnyBytesAreEscaped) {
    // Quote, backslash, a control character, a byte that is not UTF-8, and valid UTF-8.
    const std::string scenario =
        "[camera]\nmanufacturer = Hikrobot\nmodel = A\"B\\C\x01"
        "D\xFF"
        "E\nserial = S1\n"
        "[camera]\nmanufacturer = 海康\nmodel = 相机\nserial = S2\n";
    const CliRun l = run_json({"list"}, scenario.c_str());
    ASSERT_EQ(l.child.exitStatus, 0);
    EXPECT_NE(l.child.out.find(R"("model":"A\"B\\C\u0001D\u00ffE")"), std::string::npos) << l.child.out;
    EXPECT_NE(l.child.out.find("\"manufacturer\":\"海康\",\"model\":\"相机\""), std::string::npos)
        << l.child.out;
    ASSERT_EQ(l.json["cameras"].items.size(), 2u);
    EXPECT_EQ(l.json["cameras"].items[0]["model"].s,
              "A\"B\\C\x01"
              "D\xC3\xBF"
              "E");
    // On the terminal side, nothing that could steer a terminal gets through.
    const CliRun t = run({"list"}, scenario.c_str());
    EXPECT_NE(t.child.out.find("A\"B\\C\\x01D\\xFFE"), std::string::npos) << t.child.out;
    EXPECT_NE(t.child.out.find("相机"), std::string::npos);
}

TEST_F(QuellshotCli, CensusFailures) {
    const CliRun init = run_json({"count"}, "[fault]\nMV_CC_Initialize = 0x80000006\n");
    EXPECT_EQ(init.child.exitStatus, 1);
    EXPECT_EQ(init.json["result"].n, static_cast<double>(static_cast<int>(0x80000006u)));
    EXPECT_EQ(init.json["sdk_status"].s, "0x80000006");
    EXPECT_EQ(init.json["error"].s,
              "the camera SDK could not be initialised: camera SDK status: resources exhausted");
    const CliRun en = run({"count"}, "[fault]\nMV_CC_EnumDevices = 0x80000006\n");
    EXPECT_EQ(en.child.exitStatus, 1);
    EXPECT_NE(en.child.err.find("result -1: the cameras could not be listed"), std::string::npos)
        << en.child.err;
    const CliRun l = run({"list"}, "[fault]\nMV_CC_EnumDevices = 0x80000004\n");
    EXPECT_EQ(l.child.exitStatus, 1);
    EXPECT_NE(l.child.err.find(
                  "result 0x80000004: the cameras could not be listed: camera SDK status: bad parameter"),
              std::string::npos)
        << l.child.err;
    expect_clean(l);
}

TEST_F(QuellshotCli, UsbfsReadsTheKernelParameter) {
    // Only ever read: tests never write the real kernel parameter.
    const std::string file = "/sys/module/usbcore/parameters/usbfs_memory_mb";
    const std::string text = TempDir::read(file);
    const CliRun j = run_json({"usbfs"});
    const CliRun h = run({"usbfs"});
    if (text.empty()) {
        EXPECT_EQ(j.child.exitStatus, 1);
        EXPECT_EQ(j.json["result"].n, -1);
        EXPECT_NE(h.child.err.find("cannot read " + file), std::string::npos) << h.child.err;
        return;
    }
    const int mb = std::stoi(text);
    EXPECT_EQ(j.child.exitStatus, 0);
    EXPECT_EQ(j.json["usbfs_mb"].n, mb);
    EXPECT_EQ(h.child.out.rfind("usbfs memory limit: " + std::to_string(mb) + " MB", 0), 0u) << h.child.out;
}

// ---- reset -------------------------------------------------------------------------------------

const char* const kResettable =
    "[camera]\nserial = R1\nreset_downtime_ms = 300\n"
    "[camera]\nmanufacturer = Other Co\nserial = O1\n"
    "[camera]\ntransport = gige\nmanufacturer = hikrobot\nserial = R2\nreset_downtime_ms = 500\n";

TEST_F(QuellshotCli, ResetWaitsForTheSameSerialsToComeBack) {
    const CliRun r = run_json({"reset", "--wait", "30"}, kResettable);
    ASSERT_EQ(r.child.exitStatus, 0) << r.child.out << r.child.err;
    EXPECT_EQ(strings_of(r.json["reset"]), (std::vector<std::string>{"R1", "R2"}));
    EXPECT_EQ(strings_of(r.json["back"]), (std::vector<std::string>{"R1", "R2"}));
    EXPECT_TRUE(r.json["missing"].items.empty());
    EXPECT_EQ(r.json["missing"].kind, JValue::Array);
    EXPECT_GE(r.json["waited_ms"].n, 200.0);  // R2 is off the list for 500 ms after its reset
    EXPECT_LT(r.json["waited_ms"].n, 30000.0);
    // Each camera is given back before the next is opened; then the list is read again.
    std::vector<std::string> resets;
    for (const auto& j : r.journal) {
        if (j.fn == "MV_CC_SetCommandValue" && j.arg == "DeviceReset" && j.status == "0x0")
            resets.push_back(j.serial);
    }
    EXPECT_EQ(resets, (std::vector<std::string>{"R1", "R2"}));
    EXPECT_LT(r.pos("MV_CC_DestroyHandle", 0), r.pos("MV_CC_CreateHandleWithoutLog", 1));
    EXPECT_EQ(r.journal[r.pos("MV_CC_OpenDevice")].arg, "1");
    EXPECT_GE(r.count("MV_CC_EnumDevices"), 3u);
    expect_clean(r);

    const CliRun h = run({"reset", "--wait", "30"}, kResettable);
    EXPECT_EQ(h.child.exitStatus, 0);
    EXPECT_TRUE(
        std::regex_match(h.child.out, std::regex("reset R1\nreset R2\nwaiting up to 30 s for 2 camera\\(s\\) "
                                                 "to come back\nall back after [0-9.]+ s\n")))
        << h.child.out;

    const CliRun plain = run_json({"reset"}, kResettable);
    EXPECT_EQ(plain.child.exitStatus, 0);
    EXPECT_EQ(strings_of(plain.json["reset"]), (std::vector<std::string>{"R1", "R2"}));
    EXPECT_FALSE(plain.json.has("back"));
    EXPECT_EQ(plain.count("MV_CC_EnumDevices"), 1u);
}

TEST_F(QuellshotCli, ResetWaitNamesTheCamerasThatStayAway) {
    const char* scenario =
        "[camera]\nserial = R1\nreset_downtime_ms = 0\n"
        "[camera]\nserial = GONE1\nreset_downtime_ms = 600000\n";
    const CliRun r = run_json({"reset", "--wait", "1"}, scenario);
    EXPECT_EQ(r.child.exitStatus, 1);
    EXPECT_EQ(r.json["result"].n, 10);
    EXPECT_EQ(strings_of(r.json["missing"]), std::vector<std::string>{"GONE1"});
    EXPECT_EQ(strings_of(r.json["back"]), std::vector<std::string>{"R1"});
    EXPECT_GE(r.json["waited_ms"].n, 1000.0);
    const CliRun h = run({"reset", "--wait", "1"}, scenario);
    EXPECT_EQ(h.child.exitStatus, 1);
    EXPECT_NE(h.child.err.find("result 10: not listed again within 1 s: GONE1"), std::string::npos)
        << h.child.err;
    expect_clean(h);
}

TEST_F(QuellshotCli, ResetFailures) {
    const struct {
        const char* name;
        std::string scenario;
        int result;
        std::vector<std::string> reset;
        const char* words;
    } cases[] = {
        {"no camera", "# nothing\n", -1, {}, "no camera listed"},
        {"empty entry", "[camera]\nserial = R1\n[camera]\ntransport = null\n", -2, {"R1"}, "empty entry"},
        {"open refused",
         std::string(kResettable) + "[fault]\nMV_CC_OpenDevice = 0x80000203\n",
         static_cast<int>(0x80000203u),
         {},
         "camera R1 could not be opened: camera SDK status: access denied"},
        {"second reset refused",
         std::string(kResettable) + "[fault]\nMV_CC_SetCommandValue#2 = 0x80000008\n",
         static_cast<int>(0x80000008u),
         {"R1"},
         "camera R2 refused the reset"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CliRun r = run_json({"reset", "--wait", "5"}, c.scenario.c_str());
        EXPECT_EQ(r.child.exitStatus, 1);
        EXPECT_EQ(r.json["result"].n, c.result);
        EXPECT_EQ(strings_of(r.json["reset"]), c.reset);
        EXPECT_NE(r.json["error"].s.find(c.words), std::string::npos) << r.json["error"].s;
        EXPECT_FALSE(r.json.has("back"));  // no waiting after a failure
        expect_clean(r);
    }
    const CliRun others = run_json({"reset", "--wait", "5"}, "[camera]\nmanufacturer = Basler\n");
    EXPECT_EQ(others.child.exitStatus, 0);
    EXPECT_TRUE(others.json["reset"].items.empty());
    EXPECT_EQ(others.count("MV_CC_CreateHandleWithoutLog"), 0u);
}

// ---- doctor ------------------------------------------------------------------------------------

TEST_F(QuellshotCli, DoctorChecksEachWithAFix) {
    const char* scenario =
        "[camera]\nserial = U1\n[camera]\nserial = U2\n[camera]\ntransport = gige\nserial = G1\n";
    const CliRun j = run_json({"doctor"}, scenario);
    const JValue& checks = j.json["checks"];
    ASSERT_EQ(checks.items.size(), 3u) << j.child.out;
    std::map<std::string, const JValue*> by;
    int problems = 0;
    for (const JValue& c : checks.items) {
        by[c["check"].s] = &c;
        EXPECT_EQ(c["ok"].kind, JValue::Bool);
        EXPECT_FALSE(c["detail"].s.empty());
        EXPECT_EQ(c["fix"].s.empty(), c["ok"].b);  // a fix exactly for a problem
        problems += !c["ok"].b;
    }
    ASSERT_EQ(by.size(), 3u);
    EXPECT_TRUE((*by["sdk"])["ok"].b) << (*by["sdk"])["detail"].s;
    EXPECT_NE((*by["sdk"])["detail"].s.find("libMvCameraControl.so"), std::string::npos);
    // The usbfs rule against the two USB3 cameras: 32 MB, or no limit.
    const std::string text = TempDir::read("/sys/module/usbcore/parameters/usbfs_memory_mb");
    const JValue& usb = *by["usbfs"];
    if (text.empty()) {
        EXPECT_FALSE(usb["ok"].b);
    } else {
        const int mb = std::stoi(text);
        EXPECT_EQ(usb["ok"].b, mb == 0 || mb >= 32) << usb["detail"].s;
        if (!usb["ok"].b) {
            EXPECT_NE(usb["fix"].s.find("quellshot usbfs 32"), std::string::npos);
        }
    }
    EXPECT_NE(usb["detail"].s.find("2 USB3 cameras"), std::string::npos) << usb["detail"].s;
    EXPECT_EQ(j.json["result"].n, problems == 0 ? 0 : 1);
    EXPECT_EQ(j.child.exitStatus, problems == 0 ? 0 : 1);
    expect_clean(j);

    const CliRun h = run({"doctor"}, scenario);
    EXPECT_EQ(h.child.exitStatus, j.child.exitStatus);
    size_t fixes = 0;
    for (size_t at = h.child.out.find(" fix: "); at != std::string::npos;
         at = h.child.out.find(" fix: ", at + 1))
        ++fixes;
    EXPECT_EQ(fixes, static_cast<size_t>(problems)) << h.child.out;
    EXPECT_TRUE(
        std::regex_search(h.child.out, std::regex("(^|\n)ok +camera SDK: libMvCameraControl.so loads")))
        << h.child.out;

    // No USB3 camera: the limit does not matter.
    const CliRun g = run_json({"doctor"}, "[camera]\ntransport = gige\nserial = G1\n");
    for (const JValue& c : g.json["checks"].items) {
        if (c["check"].s == "usbfs") {
            EXPECT_TRUE(c["ok"].b) << c["detail"].s;
        }
    }
}

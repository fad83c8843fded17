// swstring: field records (name=value) in a fixed-size buffer.
#include "swstring.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// A buffer of exactly `size` bytes on the heap (so AddressSanitizer catches any byte touched
// beyond it) holding `text` followed by NUL bytes.
class Buf {
public:
    Buf(const std::string& text, int size) : size_(size), p_(new char[static_cast<size_t>(size)]) {
        memset(p_.get(), 0, static_cast<size_t>(size));
        memcpy(p_.get(), text.data(), std::min(text.size(), static_cast<size_t>(size)));
    }
    explicit Buf(const std::string& text) : Buf(text, static_cast<int>(text.size()) + 8) {}
    char* data() { return p_.get(); }
    int size() const { return size_; }
    // The bytes up to the last non-NUL one.
    std::string text() const {
        int n = size_;
        while (n > 0 && p_[static_cast<size_t>(n) - 1] == '\0') --n;
        return std::string(p_.get(), static_cast<size_t>(n));
    }
    std::string bytes() const { return std::string(p_.get(), static_cast<size_t>(size_)); }

private:
    int size_;
    std::unique_ptr<char[]> p_;
};

const char* value_of(Buf& b, char delim, const char* name, char* out, int outSize) {
    return sw_str_getFieldValue(b.data(), b.size(), delim, name, out, outSize);
}

}  // namespace

TEST(FieldGet, ValueTable) {
    struct Case {
        const char* text;
        char delim;
        const char* name;
        const char* expected;  // NULL: not found
    } cases[] = {
        {"x=0\nname = Hello World \ny=1", 0, "Name", "Hello World"},
        {"x=0\r\nname=v\r\ny=1", '\n', "name", "v"},
        {"a=1;b=2;c=3", ';', "b", "2"},
        {"a=1;b=2;c=3", ';', "a", "1"},
        {"a=1;b=2;c=3", ';', "c", "3"},
        {"#a=1\n  // a=2\na=3", 0, "a", "3"},
        {"#a=1\n  // a=2", 0, "a", nullptr},
        {"/a=1", 0, "/a", "1"},  // one slash is no comment
        {"abc=1", 0, "ab", nullptr},
        {"ab =1", 0, "AB", "1"},
        {"a b=1", 0, "a", nullptr},
        {"[sec]\na=", 0, "a", ""},
        {"a= \t ", 0, "a", ""},
        {"a=1=2", 0, "a", "1=2"},
        {"=v", 0, "", "v"},
        {"a\n=1", 0, "a", nullptr},  // the '=' is in the next record
        {"a", 0, "a", nullptr},
        {"", 0, "a", nullptr},
    };
    for (const Case& c : cases) {
        Buf b(c.text);
        char out[32] = "untouched";
        const char* got = value_of(b, c.delim, c.name, out, sizeof out);
        if (c.expected == nullptr) {
            EXPECT_EQ(got, nullptr) << c.text;
            EXPECT_STREQ(out, "untouched");
        } else {
            ASSERT_EQ(got, out) << c.text;
            EXPECT_STREQ(out, c.expected) << c.text;
        }
    }
}

TEST(FieldGet, NameByValueTakesTheFirstMatch) {
    struct Case {
        const char* text;
        const char* value;
        const char* expected;
    } cases[] = {
        {"a=1\nb=2\nc=2", "2", "b"},
        {"a=1\n  B  = two \r\n", "TWO", "B"},
        {"a= 1 ", "1", "a"},
        {"a=12", "1", nullptr},
        {"=1", "1", ""},
        {"#a=1", "1", nullptr},
    };
    for (const Case& c : cases) {
        Buf b(c.text);
        char out[16] = "untouched";
        const char* got = sw_str_getFieldName(b.data(), b.size(), '\n', out, sizeof out, c.value);
        if (c.expected == nullptr) {
            EXPECT_EQ(got, nullptr) << c.text;
        } else {
            ASSERT_EQ(got, out) << c.text;
            EXPECT_STREQ(out, c.expected) << c.text;
        }
    }
}

TEST(FieldGet, RefusesBadArguments) {
    Buf b("a=1234567\nb=2");
    char out[16];
    EXPECT_EQ(sw_str_getFieldValue(nullptr, 10, 0, "a", out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), 0, 0, "a", out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), 'a', "a", out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), '=', "a", out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), ' ', "a", out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), static_cast<char>(0xA7), "a", out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), 0, "a=", out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), 0, "a\n", out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), 0, nullptr, out, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), 0, "a", nullptr, 16), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), 0, "a", out, 0), nullptr);
    // Seven characters need eight bytes.
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), 0, "a", out, 7), nullptr);
    EXPECT_EQ(sw_str_getFieldValue(b.data(), b.size(), 0, "a", out, 8), out);
    EXPECT_STREQ(out, "1234567");
    EXPECT_EQ(sw_str_getFieldName(b.data(), b.size(), 0, out, 1, "2"), nullptr);
    EXPECT_EQ(sw_str_getFieldName(b.data(), b.size(), 0, out, 2, "2"), out);
    EXPECT_EQ(sw_str_getFieldName(b.data(), b.size(), 0, out, 2, "2\n"), nullptr);
}

TEST(FieldGet, NeverReadsPastAFullBuffer) {
    // Buffers filled to their last byte, without a terminating NUL: every comparison must stop
    // at the buffer's end (AddressSanitizer reports a byte read beyond it).
    const struct Case {
        const char* text;
        const char* name;
        const char* value;
    } cases[] = {
        {"a=1\nbb", "bbb", nullptr},  {"a=1\nbb", "bb", nullptr},   {"a=1\n/", "a", nullptr},
        {"a=1\n#", "a", "9"},         {"a=1\nb=22", nullptr, "222"}, {"a=1\nb= ", nullptr, "x"},
        {"a=1\nb  ", "b", nullptr},   {"a=1\nb=2", "b", "2"},
    };
    for (const Case& c : cases) {
        Buf b(c.text, static_cast<int>(strlen(c.text)));
        char out[8];
        if (c.name != nullptr) (void)sw_str_getFieldValue(b.data(), b.size(), 0, c.name, out, sizeof out);
        if (c.value != nullptr) (void)sw_str_getFieldName(b.data(), b.size(), 0, out, sizeof out, c.value);
        int vary = 0;
        EXPECT_TRUE(sw_str_delFieldByName(b.data(), b.size(), 0, c.name ? c.name : "zz", &vary));
        if (c.value != nullptr) {
            EXPECT_TRUE(sw_str_delFieldByValue(b.data(), b.size(), 0, c.value, &vary));
        }
    }
    Buf b("a=1\nb=2", 7);
    char out[8];
    ASSERT_EQ(sw_str_getFieldValue(b.data(), b.size(), 0, "b", out, sizeof out), out);
    EXPECT_STREQ(out, "2");
}

TEST(FieldSet, RewritesInPlace) {
    struct Case {
        const char* text;
        int size;
        char delim;
        bool byName;
        const char* name;
        const char* value;
        const char* expected;
        int vary;
    } cases[] = {
        {"a=1\r\nb=2\r\nc=3", 16, 0, true, "b", "22", "a=1\r\nb=22\r\nc=3", 1},
        {"a=1\r\nb=2\r\nc=3", 16, 0, true, "b", "", "a=1\r\nb=\r\nc=3", -1},
        {"a=1\r\nb=2\r\nc=3", 16, 0, true, "c", "345", "a=1\r\nb=2\r\nc=345", 2},
        {"a=1\r\n  B = 2 \r\nc=3", 24, 0, true, "b", "x", "a=1\r\nb=x\r\nc=3", -5},
        {"a=1;b=2;c=3", 12, ';', true, "B", "9", "a=1;B=9;c=3", 0},
        {"a=1;b=2;c=3", 12, ';', false, "z", "2", "a=1;z=2;c=3", 0},
        {"a=1\nb=2\nc=2", 16, 0, false, "two", "2", "a=1\ntwo=2\nc=2", 2},
        // Filling the buffer to its last byte is allowed.
        {"a=1\r\nb=2\r\nc=3", 16, 0, true, "b", "2222", "a=1\r\nb=2222\r\nc=3", 3},
    };
    for (const Case& c : cases) {
        Buf b(c.text, c.size);
        int vary = 99;
        const bool ok = c.byName ? sw_str_setFieldValue(b.data(), b.size(), c.delim, c.name, c.value, false, &vary)
                                 : sw_str_setFieldName(b.data(), b.size(), c.delim, c.name, c.value, false, &vary);
        EXPECT_TRUE(ok) << c.text;
        EXPECT_EQ(b.text(), c.expected) << c.text;
        EXPECT_EQ(vary, c.vary) << c.text;
    }
}

TEST(FieldSet, AppendsWithAutoAdd) {
    struct Case {
        const char* text;
        int size;
        char delim;
        const char* expected;
        int vary;
    } cases[] = {
        {"a=1", 16, 0, "a=1\r\nd=4", 5},
        {"a=1\r\n", 16, 0, "a=1\r\nd=4", 3},
        {"a=1", 16, ',', "a=1,d=4", 4},
        {"a=1,", 16, ',', "a=1,d=4", 3},
        {"", 16, 0, "d=4", 3},
        {"", 4, 0, "d=4", 3},
        // One character is a text of its own, not an empty buffer.
        {"x", 16, 0, "x\r\nd=4", 5},
        {"x", 16, ';', "x;d=4", 4},
        // Just fits: the field ends at the buffer's last byte.
        {"a=1", 8, 0, "a=1\r\nd=4", 5},
    };
    for (const Case& c : cases) {
        Buf b(c.text, c.size);
        int vary = 99;
        EXPECT_TRUE(sw_str_setFieldValue(b.data(), b.size(), c.delim, "d", "4", true, &vary)) << c.text;
        EXPECT_EQ(b.text(), c.expected) << c.text;
        EXPECT_EQ(vary, c.vary) << c.text;
    }
}

TEST(FieldSet, FailuresLeaveTheBufferAsItWas) {
    struct Case {
        const char* text;
        int size;
        const char* name;
        const char* value;
        bool autoAdd;
    } cases[] = {
        {"a=1", 16, "d", "4", false},           // missing, no autoAdd
        {"a=1", 4, "", "", true},               // one NUL byte left: no append
        {"a=1", 7, "d", "4", true},             // separator fits, field does not
        {"", 3, "d", "4", true},                // an empty buffer keeps a NUL
        {"a=1\r\nb=2", 9, "b", "234", true},   // grows by more than the room
        {"a=1", 16, "d=", "4", true},           // '=' in a name
        {"a=1", 16, "d", "4\n", true},          // the delimiter in a value
        {"a=1", 16, nullptr, "4", true},
        {"a=1", 16, "d", nullptr, true},
    };
    for (const Case& c : cases) {
        Buf b(c.text, c.size);
        const std::string before = b.bytes();
        int vary = 99;
        EXPECT_FALSE(sw_str_setFieldValue(b.data(), b.size(), 0, c.name, c.value, c.autoAdd, &vary)) << c.text;
        EXPECT_EQ(b.bytes(), before) << c.text;
        EXPECT_EQ(vary, 99);
    }
}

TEST(FieldDelete, RemovesTheRecordWithItsDelimiter) {
    struct Case {
        const char* text;
        bool byName;
        const char* key;
        const char* expected;
        int vary;
    } cases[] = {
        {"a=1\r\nb=2\r\nc=3", true, "b", "a=1\r\nc=3", -5},
        {"a=1\r\nb=2\r\nc=3", true, "c", "a=1\r\nb=2\r\n", -3},
        {"a=1\r\nb=2\r\nc=3", true, "a", "b=2\r\nc=3", -5},
        {"a=1\r\nb=2\r\nc=3", false, "2", "a=1\r\nc=3", -5},
        {"x;  a = 1 ;y", true, "A", "x;y", -9},
    };
    for (const Case& c : cases) {
        const char delim = strchr(c.text, ';') != nullptr ? ';' : '\n';
        Buf b(c.text);
        int vary = 99;
        const bool ok = c.byName ? sw_str_delFieldByName(b.data(), b.size(), delim, c.key, &vary)
                                 : sw_str_delFieldByValue(b.data(), b.size(), delim, c.key, &vary);
        EXPECT_TRUE(ok) << c.text;
        EXPECT_EQ(b.text(), c.expected) << c.text;
        EXPECT_EQ(vary, c.vary) << c.text;
        EXPECT_EQ(b.bytes().find_first_not_of('\0', b.text().size()), std::string::npos) << "tail cleared";
    }
    Buf b("a=1\r\nb=2\r\nc=3");
    const std::string before = b.bytes();
    int vary = 99;
    EXPECT_TRUE(sw_str_delFieldByName(b.data(), b.size(), 0, "x", &vary));
    EXPECT_EQ(vary, 99);
    EXPECT_EQ(b.bytes(), before);
    EXPECT_FALSE(sw_str_delFieldByName(b.data(), b.size(), 0, nullptr, &vary));
    EXPECT_FALSE(sw_str_delFieldByValue(b.data(), b.size(), 0, "1=", &vary));
    EXPECT_FALSE(sw_str_delFieldByName(b.data(), b.size(), 'q', "a", &vary));
    EXPECT_EQ(b.bytes(), before);
}

namespace {

// Reference model: the fields in buffer order; names and values matched ignoring case.
using Model = std::vector<std::pair<std::string, std::string>>;

bool same(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (toupper(static_cast<unsigned char>(a[i])) != toupper(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

Model::iterator find_in(Model& m, const std::string* name, const std::string* value) {
    for (auto it = m.begin(); it != m.end(); ++it) {
        if ((name == nullptr || same(it->first, *name)) && (value == nullptr || same(it->second, *value))) return it;
    }
    return m.end();
}

}  // namespace

TEST(FieldModel, RandomOperationsAgreeWithAReferenceModel) {
    std::mt19937 rng(20261206);
    const char* names[] = {"a", "B", "ab", "Ab c", "x1", "name", ""};
    const char* values[] = {"1", "two", "", "Hello World", "22", "x y z", "A"};
    for (char delim : {'\n', ';', ','}) {
        for (int round = 0; round < 20; ++round) {
            const int size = 8 + static_cast<int>(rng() % 80);
            std::vector<char> mem(static_cast<size_t>(size) + 16, '\x5A');  // guard bytes after the buffer
            memset(mem.data(), 0, static_cast<size_t>(size));
            Model model;
            for (int step = 0; step < 200; ++step) {
                const std::string name = names[rng() % 7];
                const std::string value = values[rng() % 7];
                const std::string before(mem.data(), static_cast<size_t>(size));
                int textBefore = size;
                while (textBefore > 0 && mem[static_cast<size_t>(textBefore) - 1] == '\0') --textBefore;
                int vary = 12345;
                const int op = static_cast<int>(rng() % 4);
                bool ok = false;
                bool mayMiss = false;  // a missing field without autoAdd refuses too
                if (op == 0) {
                    ok = sw_str_setFieldValue(mem.data(), size, delim, name.c_str(), value.c_str(), true, &vary);
                    if (ok) {
                        auto it = find_in(model, &name, nullptr);
                        if (it != model.end()) {
                            *it = {name, value};
                        } else {
                            model.emplace_back(name, value);
                        }
                    }
                } else if (op == 1) {
                    const bool add = rng() % 2 == 0;
                    mayMiss = !add && find_in(model, nullptr, &value) == model.end();
                    ok = sw_str_setFieldName(mem.data(), size, delim, name.c_str(), value.c_str(), add, &vary);
                    if (ok) {
                        auto it = find_in(model, nullptr, &value);
                        if (it != model.end()) {
                            *it = {name, value};
                        } else {
                            model.emplace_back(name, value);
                        }
                    }
                } else if (op == 2) {
                    ASSERT_TRUE(sw_str_delFieldByName(mem.data(), size, delim, name.c_str(), &vary));
                    auto it = find_in(model, &name, nullptr);
                    if (it != model.end()) model.erase(it);
                    ok = true;
                } else {
                    ASSERT_TRUE(sw_str_delFieldByValue(mem.data(), size, delim, value.c_str(), &vary));
                    auto it = find_in(model, nullptr, &value);
                    if (it != model.end()) model.erase(it);
                    ok = true;
                }
                int textAfter = size;
                while (textAfter > 0 && mem[static_cast<size_t>(textAfter) - 1] == '\0') --textAfter;
                for (size_t g = 0; g < 16; ++g) ASSERT_EQ(mem[static_cast<size_t>(size) + g], '\x5A') << "guard";
                if (!ok) {
                    ASSERT_EQ(std::string(mem.data(), static_cast<size_t>(size)), before) << "failure changed buf";
                    ASSERT_EQ(vary, 12345);
                    // Only a lack of room may refuse these well-formed fields.
                    if (!mayMiss) {
                        ASSERT_LT(size - textBefore, static_cast<int>(name.size() + value.size()) + 3);
                    }
                } else if (vary != 12345) {
                    ASSERT_EQ(textAfter - textBefore, vary) << "step " << step;
                }
                for (const auto& f : model) {
                    char out[64];
                    const std::string first = find_in(model, &f.first, nullptr)->second;
                    ASSERT_EQ(sw_str_getFieldValue(mem.data(), size, delim, f.first.c_str(), out, sizeof out), out)
                        << "step " << step << " name '" << f.first << "' in '" << std::string(mem.data(), size) << "'";
                    ASSERT_EQ(std::string(out), first);
                }
                for (const char* n : names) {
                    const std::string s = n;
                    char out[64];
                    if (find_in(model, &s, nullptr) == model.end()) {
                        ASSERT_EQ(sw_str_getFieldValue(mem.data(), size, delim, n, out, sizeof out), nullptr);
                    }
                }
            }
        }
    }
}

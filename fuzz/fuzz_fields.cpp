// Fuzzes the field-record operations on a random buffer: no byte beyond bufSize is touched (the
// buffer is allocated exactly), a failed operation leaves the buffer as it was, the reported
// change is the change of the text's length, set-then-get returns what was set and
// delete-then-get finds nothing.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_fieldtext.h"
#include "swstring.h"

namespace {

int text_length(const char* buf, int size) {
    while (size > 0 && buf[size - 1] == '\0') --size;
    return size;
}

bool findable_value(const std::string& v) { return v.empty() || !fuzz_blank(static_cast<unsigned char>(v[0])); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: op, delimiter, name \0 value \0 buffer bytes.
    if (size < 2) return 0;
    const int op = data[0] % 6;
    const char delims[] = {0, '\n', ';', ',', '&', '|', 'a', '='};
    const char delim = (data[1] & 0x80) != 0 ? static_cast<char>(data[1]) : delims[data[1] % 8];
    const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const size_t a = rest.find('\0');
    if (a == std::string::npos) return 0;
    const size_t b = rest.find('\0', a + 1);
    if (b == std::string::npos) return 0;
    const std::string name = rest.substr(0, a);
    const std::string value = rest.substr(a + 1, b - a - 1);
    std::string content = rest.substr(b + 1);
    if (content.empty()) content.push_back('\0');
    const int bufSize = static_cast<int>(content.size());
    std::unique_ptr<char[]> buf(new char[content.size()]);
    memcpy(buf.get(), content.data(), content.size());
    const std::string before = content;
    const int lenBefore = text_length(buf.get(), bufSize);
    std::unique_ptr<char[]> out(new char[content.size() + 1]);

    int vary = 0x7fffffff;
    bool ok = true;
    switch (op) {
        case 0:
        case 1:
            ok = op == 0 ? sw_str_setFieldValue(buf.get(), bufSize, delim, name.c_str(), value.c_str(), true, &vary)
                         : sw_str_setFieldName(buf.get(), bufSize, delim, name.c_str(), value.c_str(), true, &vary);
            if (ok && op == 0 && fuzz_findable_name(name)) {
                const char* got = sw_str_getFieldValue(buf.get(), bufSize, delim, name.c_str(), out.get(), bufSize + 1);
                assert(got != nullptr && fuzz_trimmed(value) == got);
            }
            if (ok && op == 1 && findable_value(value) && fuzz_findable_name(fuzz_trimmed(name))) {
                const char* got = sw_str_getFieldName(buf.get(), bufSize, delim, out.get(), bufSize + 1, value.c_str());
                assert(got != nullptr && fuzz_trimmed(name) == got);
            }
            break;
        case 2:
        case 3: {
            // Delete every match; then none is left.
            for (int round = 0; round <= bufSize && ok; ++round) {
                vary = 0x7fffffff;
                ok = op == 2 ? sw_str_delFieldByName(buf.get(), bufSize, delim, name.c_str(), &vary)
                             : sw_str_delFieldByValue(buf.get(), bufSize, delim, value.c_str(), &vary);
                if (vary == 0x7fffffff) break;
                assert(vary < 0);
            }
            if (ok) {
                const char* got = op == 2 ? sw_str_getFieldValue(buf.get(), bufSize, delim, name.c_str(), out.get(), bufSize + 1)
                                          : sw_str_getFieldName(buf.get(), bufSize, delim, out.get(), bufSize + 1, value.c_str());
                assert(got == nullptr);
            }
            vary = 0x7fffffff;  // several deletions: the per-call check is above
            break;
        }
        case 4:
            (void)sw_str_getFieldValue(buf.get(), bufSize, delim, name.c_str(), out.get(), static_cast<int>(value.size()) + 1);
            break;
        default:
            (void)sw_str_getFieldName(buf.get(), bufSize, delim, out.get(), static_cast<int>(name.size()) + 1, value.c_str());
            break;
    }
    const std::string after(buf.get(), content.size());
    if (!ok || op >= 4) assert(after == before);
    if (ok && vary != 0x7fffffff) assert(text_length(buf.get(), bufSize) - lenBefore == vary);
    return 0;
}

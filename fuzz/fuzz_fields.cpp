// Fuzzes the field-record operations on a random buffer of exact size (AddressSanitizer sees any byte
// touched beyond it): a refused or read-only operation leaves the buffer as it was, the reported change
// is the change of the text's length, a set field reads back (without its surrounding blanks) and
// deleting every match leaves none.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "swstring.h"

namespace {

bool blank(unsigned char c) {
    return c <= 32 || c == 127;
}

std::string trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && blank(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && blank(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// A key written at the start of a record is found again only when no blank leads it and it does not
// make the record a comment.
bool findable(const std::string& k) {
    return (k.empty() || !blank(k[0] & 0xFF)) && k[0] != '#' && k.compare(0, 2, "//");
}

int text_length(const std::vector<char>& b) {
    int n = static_cast<int>(b.size());
    while (n > 0 && b[static_cast<size_t>(n) - 1] == '\0') --n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: op, delimiter, name \0 value \0 buffer bytes (at least one).
    const std::string in(reinterpret_cast<const char*>(data), size);
    const size_t a = in.find('\0', 2), b = a == std::string::npos ? a : in.find('\0', a + 1);
    if (size < 2 || b == std::string::npos) return 0;
    const int op = data[0] % 6;
    const char delims[] = {0, '\n', ';', ',', '&', '|', 'a', '='};  // the last two are refused
    const char delim = (data[1] & 0x80) != 0 ? static_cast<char>(data[1]) : delims[data[1] % 8];
    const std::string name = in.substr(2, a - 2), value = in.substr(a + 1, b - a - 1);
    std::vector<char> buf(in.begin() + static_cast<long>(b) + 1, in.end()), out(buf.size() + 2);
    if (buf.empty()) buf.push_back('\0');
    const std::vector<char> before = buf;
    const int bufSize = static_cast<int>(buf.size()), outSize = bufSize + 2, lenBefore = text_length(buf);
    const char *n = name.c_str(), *v = value.c_str();
    int vary = INT32_MAX;
    bool ok = true;
    if (op <= 1) {
        ok = op == 0 ? sw_str_setFieldValue(buf.data(), bufSize, delim, n, v, true, &vary)
                     : sw_str_setFieldName(buf.data(), bufSize, delim, n, v, true, &vary);
        if (ok && op == 0 && findable(name)) {
            const char* got = sw_str_getFieldValue(buf.data(), bufSize, delim, n, out.data(), outSize);
            assert(got != nullptr && trimmed(value) == got);
        }
        if (ok && op == 1 && findable(value) && findable(trimmed(name))) {
            const char* got = sw_str_getFieldName(buf.data(), bufSize, delim, out.data(), outSize, v);
            assert(got != nullptr && trimmed(name) == got);
        }
    } else if (op <= 3) {
        for (int round = 0; round <= bufSize && ok && (round == 0 || vary != INT32_MAX); ++round) {
            const int len = text_length(buf);
            vary = INT32_MAX;
            ok = op == 2 ? sw_str_delFieldByName(buf.data(), bufSize, delim, n, &vary)
                         : sw_str_delFieldByValue(buf.data(), bufSize, delim, v, &vary);
            assert(vary == INT32_MAX || (vary < 0 && text_length(buf) - len == vary));
        }
        const char* got = op == 2 ? sw_str_getFieldValue(buf.data(), bufSize, delim, n, out.data(), outSize)
                                  : sw_str_getFieldName(buf.data(), bufSize, delim, out.data(), outSize, v);
        assert(!ok || got == nullptr);
        vary = INT32_MAX;  // checked per deletion above
    } else {
        (void)(op == 4 ? sw_str_getFieldValue(buf.data(), bufSize, delim, n, out.data(),
                                              static_cast<int>(value.size()) + 1)
                       : sw_str_getFieldName(buf.data(), bufSize, delim, out.data(),
                                             static_cast<int>(name.size()) + 1, v));
    }
    assert((ok && op < 4) || buf == before);
    assert(!ok || vary == INT32_MAX || text_length(buf) - lenBefore == vary);
    return 0;
}

// Fuzzes the text conversions: hex text to bytes stays within the documented output size and
// reads back what the byte-to-text direction wrote; the number tests agree with their definitions;
// replacing and counting one character agree with each other.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "swstring.h"

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_hex(unsigned char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: text \0 prefix \0 split \0 ... ; missing parts are empty, further ones ignored.
    std::string parts[3];
    size_t k = 0;
    for (size_t i = 0; i < size && k < 3; ++i) {
        if (data[i] == 0) {
            ++k;
        } else {
            parts[k].push_back(static_cast<char>(data[i]));
        }
    }
    const std::string& text = parts[0];
    const std::string& prefix = parts[1];
    const std::string& split = parts[2];

    // Exactly the documented room, so ASan sees any byte written beyond it.
    std::vector<unsigned char> bytes((text.size() + 1) / 2);
    const int n = xstrtohex(text.c_str(), bytes.empty() ? nullptr : bytes.data());
    assert(bytes.empty() ? n == -1 : (n >= 0 && static_cast<size_t>(n) <= bytes.size()));

    bool allDigits = true, allHex = true;
    size_t dots = 0;
    for (unsigned char c : text) {
        allDigits = allDigits && is_digit(c);
        allHex = allHex && is_hex(c);
        dots += c == '.' ? 1 : 0;
    }
    assert(xstrisint(text.c_str()) == allDigits);
    assert(xstrishex(text.c_str()) == allHex);
    bool digitsAndDots = true;
    for (unsigned char c : text) digitsAndDots = digitsAndDots && (is_digit(c) || c == '.');
    assert(xstrisfloat(text.c_str()) == (digitsAndDots && dots == 1));

    if (n > 0) {
        const size_t want = static_cast<size_t>(n) * (prefix.size() + 2) + (static_cast<size_t>(n) - 1) * split.size();
        std::vector<char> out(want + 1, 'Q');
        out[0] = '\0';
        const int m = xstrfromhex(bytes.data(), n, out.data(), prefix.c_str(), split.c_str());
        if (prefix.size() > 2) {
            assert(m == -1 && out[0] == '\0');
        } else {
            assert(m == n && strlen(out.data()) == want);
            bool clean = true;  // separators without digits or an 'x' read back unchanged
            for (unsigned char c : prefix + split) clean = clean && !is_hex(c) && c != 'x' && c != 'X';
            if (clean) {
                std::vector<unsigned char> back(static_cast<size_t>(n) + 1);
                assert(xstrtohex(out.data(), back.data()) == n);
                assert(memcmp(back.data(), bytes.data(), static_cast<size_t>(n)) == 0);
            }
        }
    }

    if (!text.empty()) {
        std::string copy = text;
        const char from = text[0];
        const char to = split.empty() ? '\0' : split[0];
        const int count = xstrcharcnt(text.c_str(), from);
        assert(xstrcharreplace(copy.data(), from, to) == count);
        if (from != to) assert(xstrcharcnt(copy.c_str(), from) == 0 || to == '\0');
        std::string lower = text, upper = text;
        (void)xstrtolower(lower.data());
        (void)xstrtoupper(upper.data());
        std::string lu = lower;
        (void)xstrtoupper(lu.data());
        assert(lu == upper);
    }
    return 0;
}

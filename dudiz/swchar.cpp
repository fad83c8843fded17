// Bits of a byte and of a byte array; bytes are handled as unsigned char throughout.
#include "swchar.h"

namespace {

bool is_bit_position(int pos) {
    return static_cast<unsigned int>(pos) <= 7u;
}

// Position pos of an array of bufSize bytes lies inside it. Dividing pos rather than multiplying
// bufSize keeps the test free of overflow for any bufSize.
bool in_array(const char* buf, int bufSize, int pos) {
    return buf != nullptr && bufSize > 0 && pos >= 0 && pos / 8 < bufSize;
}

}  // namespace

extern "C" unsigned char sw_char_getBit(unsigned char c, int pos) {
    if (!is_bit_position(pos)) return SW_BIT_OUTSIDE;
    return static_cast<unsigned char>((c >> pos) & 1u);
}

extern "C" bool sw_char_setBit(char* c, int pos, unsigned char bit) {
    if (c == nullptr || !is_bit_position(pos) || bit > 1u) return false;
    auto* byte = reinterpret_cast<unsigned char*>(c);
    const auto mask = static_cast<unsigned char>(1u << pos);
    *byte = static_cast<unsigned char>(bit != 0u ? (*byte | mask) : (*byte & ~mask));
    return true;
}

extern "C" unsigned char sw_chararry_getBit(const char* buf, int bufSize, int pos) {
    if (!in_array(buf, bufSize, pos)) return SW_BIT_OUTSIDE;
    return sw_char_getBit(static_cast<unsigned char>(buf[pos / 8]), pos % 8);
}

extern "C" bool sw_chararry_setBit(char* buf, int bufSize, int pos, unsigned char bit) {
    if (!in_array(buf, bufSize, pos)) return false;
    return sw_char_setBit(buf + pos / 8, pos % 8, bit);
}

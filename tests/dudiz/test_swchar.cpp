// swchar: bits of a byte and of a byte array, against a model bit array in random runs.
#include "swchar.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

// Random writes and reads (positions and bits also outside the valid ones) against a model; every byte
// is also read through the one-byte getter, top bit included whatever the signedness of plain char.
// Sizes of 2^28 bytes and more make size * 8 overflow an int: the bound divides the position instead
// (only the addressed byte is touched, so the small buffer stands in for the claimed size).
TEST(SwChar, RandomOperationsMatchAModel) {
    std::mt19937 rng(12345);
    char buf[7] = {};
    int model[56] = {};
    for (int step = 0; step < 20000; ++step) {
        const int pos = static_cast<int>(rng() % 70) - 7, v = static_cast<int>(rng() % 3), p = pos % 9;
        const bool set = rng() % 2 == 0, in = pos >= 0 && pos < 56;
        ASSERT_TRUE(!set || sw_chararry_setBit(buf, 7, pos, static_cast<unsigned char>(v)) == (in && v < 2));
        if (set && in && v < 2) model[pos] = v;
        ASSERT_EQ(sw_chararry_getBit(buf, 7, pos), in ? model[pos] : 0xFF) << step;
        char one = buf[step % 7];
        ASSERT_EQ(sw_char_getBit(static_cast<unsigned char>(one), p),
                  p < 0 || p > 7 ? 0xFF : model[step % 7 * 8 + p]);
        ASSERT_EQ(sw_char_setBit(&one, p, static_cast<unsigned char>(v)), p >= 0 && p < 8 && v < 2) << step;
    }
    for (int size : {1 << 28, (1 << 28) + 1, INT_MAX})
        EXPECT_TRUE(sw_chararry_setBit(buf, size, 54, 1) && sw_chararry_getBit(buf, size, 54) == 1) << size;
    EXPECT_TRUE(sw_chararry_getBit(buf, 16, INT_MAX) == 0xFF && sw_chararry_getBit(nullptr, 2, 1) == 0xFF &&
                !sw_chararry_setBit(buf, 0, 1, 1) && !sw_char_setBit(nullptr, 0, 1));
}

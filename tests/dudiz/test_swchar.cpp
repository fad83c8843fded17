// swchar: bits of a byte and of a byte array, against a model bit array in random runs.
#include "swchar.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

// Random writes and reads (positions and bits also outside the valid ones) against a model; every
// byte is then read back through the one-byte getter. 0xFF compares equal to the "outside" answer
// whatever the signedness of plain char, and a top bit of a plain char reads as a bit.
TEST(SwChar, RandomOperationsMatchAModel) {
    std::mt19937 rng(12345);
    std::vector<char> buf(7, 0);
    std::vector<int> model(56, 0);
    for (int step = 0; step < 20000; ++step) {
        const int pos = static_cast<int>(rng() % 70) - 7, value = static_cast<int>(rng() % 3);
        const bool inside = pos >= 0 && pos < 56;
        if (rng() % 2 == 0) {
            ASSERT_EQ(sw_chararry_setBit(buf.data(), 7, pos, static_cast<unsigned char>(value)),
                      inside && value < 2)
                << step;
            if (inside && value < 2) model[static_cast<size_t>(pos)] = value;
        }
        ASSERT_EQ(sw_chararry_getBit(buf.data(), 7, pos), inside ? model[static_cast<size_t>(pos)] : 0xFF)
            << step;
        char one = buf[static_cast<size_t>(step % 7)];
        ASSERT_EQ(sw_char_getBit(static_cast<unsigned char>(one), pos % 9),
                  pos % 9 < 0 || pos % 9 > 7 ? 0xFF : model[static_cast<size_t>(step % 7 * 8 + pos % 9)]);
        ASSERT_EQ(sw_char_setBit(&one, pos % 9, static_cast<unsigned char>(value)),
                  pos % 9 >= 0 && pos % 9 < 8 && value < 2);
    }
    EXPECT_TRUE(sw_char_getBit(0, INT_MAX) == SW_BIT_OUTSIDE && sw_char_getBit(0xFF, INT_MIN) == 0xFF &&
                !sw_char_setBit(nullptr, 0, 1));
    EXPECT_TRUE(sw_chararry_getBit(nullptr, 2, 1) == 0xFF && sw_chararry_getBit(buf.data(), 0, 1) == 0xFF &&
                !sw_chararry_setBit(nullptr, 2, 1, 1));
    EXPECT_TRUE(sw_chararry_getBit(buf.data(), -2, 1) == 0xFF && !sw_chararry_setBit(buf.data(), 0, 1, 1));
}

// Sizes of 2^28 bytes and more make size * 8 overflow an int: the bound divides the position
// instead. Only the addressed byte is touched, so a small buffer stands in for the claimed size.
TEST(SwChar, HugeSizesDoNotOverflowTheBound) {
    std::vector<char> buf(16, 0);
    for (int size : {1 << 28, (1 << 28) + 1, INT_MAX}) {
        EXPECT_TRUE(sw_chararry_setBit(buf.data(), size, 77, 1) &&
                    sw_chararry_getBit(buf.data(), size, 77) == 1)
            << size;
        EXPECT_TRUE(sw_chararry_getBit(buf.data(), size, 8) == 0 &&
                    sw_chararry_setBit(buf.data(), size, 77, 0))
            << size;
    }
    EXPECT_TRUE(sw_chararry_getBit(nullptr, (1 << 28) - 1, INT_MAX) == 0xFF &&
                sw_chararry_getBit(buf.data(), 16, INT_MAX) == 0xFF);
}

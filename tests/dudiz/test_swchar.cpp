// swchar: bits of a byte and of a byte array, checked against a model bit array in random runs.

#include "swchar.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <vector>

TEST(SwCharGetBit, ReadsEachPositionAndAnswersOutsideWith0xFF) {
    const struct {
        unsigned char c;
        int pos;
        unsigned expected;
    } cases[] = {
        {0x05, 0, 1}, {0x05, 1, 0},    {0x05, 2, 1},     {0x05, 7, 0},          {0x80, 7, 1},
        {0xFF, 7, 1}, {0x05, 8, 0xFF}, {0x05, -1, 0xFF}, {0xFF, INT_MAX, 0xFF}, {0xFF, INT_MIN, 0xFF},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(sw_char_getBit(k.c, k.pos), k.expected) << int(k.c) << " at " << k.pos;
    }
}

// The answer compares equal to 0xFF as written, whatever the signedness of plain char; a byte
// from a plain char buffer with its top bit set reads as a bit, not as a sign.
TEST(SwCharGetBit, OutsideCompares0xFFOnEitherCharSignedness) {
    EXPECT_TRUE(sw_char_getBit(0, 8) == 0xFF);
    EXPECT_TRUE(sw_chararry_getBit("", 1, 8) == SW_BIT_OUTSIDE);
    const char top = '\x80';
    EXPECT_EQ(sw_char_getBit(static_cast<unsigned char>(top), 7), 1);
    EXPECT_EQ(sw_char_getBit(static_cast<unsigned char>(top), 6), 0);
    EXPECT_EQ(sw_chararry_getBit(&top, 1, 7), 1);
    EXPECT_EQ(sw_chararry_getBit(&top, 1, 6), 0);
}

TEST(SwCharSetBit, WritesOnlyBitValuesAtValidPositions) {
    const struct {
        unsigned char before;
        int pos;
        unsigned char bit;
        bool ok;
        unsigned char after;
    } cases[] = {
        {0x00, 7, 1, true, 0x80},    {0xFF, 0, 0, true, 0xFE},  {0x00, 0, 1, true, 0x01},
        {0x81, 3, 1, true, 0x89},    {0x81, 7, 0, true, 0x01},  {0x00, 0, 2, false, 0x00},
        {0x55, 1, 255, false, 0x55}, {0x55, 8, 1, false, 0x55}, {0x55, -1, 0, false, 0x55},
    };
    for (const auto& k : cases) {
        char c = static_cast<char>(k.before);
        EXPECT_EQ(sw_char_setBit(&c, k.pos, k.bit), k.ok)
            << int(k.before) << " " << k.pos << " " << int(k.bit);
        EXPECT_EQ(static_cast<unsigned char>(c), k.after)
            << int(k.before) << " " << k.pos << " " << int(k.bit);
    }
    EXPECT_FALSE(sw_char_setBit(nullptr, 0, 1));
}

TEST(SwCharArray, PositionsMapToBytesAndTheBoundsHold) {
    char buf[2] = {0, 0x02};
    EXPECT_EQ(sw_chararry_getBit(buf, 2, 9), 1);  // bit 1 of byte 1
    EXPECT_EQ(sw_chararry_getBit(buf, 2, 16), 0xFF);
    EXPECT_EQ(sw_chararry_getBit(buf, 2, -1), 0xFF);
    EXPECT_TRUE(sw_chararry_setBit(buf, 2, 15, 1));
    EXPECT_EQ(static_cast<unsigned char>(buf[1]), 0x82);
    EXPECT_FALSE(sw_chararry_setBit(buf, 2, 16, 1));
    EXPECT_FALSE(sw_chararry_setBit(buf, 2, 3, 2));
    EXPECT_EQ(buf[0], 0);
    for (int pos : {0, 1, 7, 100}) {
        EXPECT_EQ(sw_chararry_getBit(buf, 0, pos), 0xFF) << pos;
        EXPECT_EQ(sw_chararry_getBit(buf, -2, pos), 0xFF) << pos;
        EXPECT_EQ(sw_chararry_getBit(nullptr, 2, pos), 0xFF) << pos;
        EXPECT_FALSE(sw_chararry_setBit(buf, 0, pos, 1)) << pos;
        EXPECT_FALSE(sw_chararry_setBit(nullptr, 2, pos, 1)) << pos;
    }
}

// A size of 2^28 bytes or more makes size * 8 overflow an int; the bound must still hold. Only the
// addressed byte is touched, so a small real buffer stands in for the claimed size at low positions,
// and positions beyond a claimed size are refused before any byte is read.
TEST(SwCharArray, HugeSizesDoNotOverflowTheBound) {
    std::vector<char> buf(16, 0);
    for (int size : {1 << 28, (1 << 29) + 1, INT_MAX}) {
        EXPECT_TRUE(sw_chararry_setBit(buf.data(), size, 77, 1)) << size;
        EXPECT_EQ(sw_chararry_getBit(buf.data(), size, 77), 1) << size;
        EXPECT_TRUE(sw_chararry_setBit(buf.data(), size, 77, 0)) << size;
    }
    // With bufSize 2^28 + 1, bufSize * 8 wraps to 8: position 8 lies inside.
    EXPECT_EQ(sw_chararry_getBit(buf.data(), (1 << 28) + 1, 8), 0);
    // pos = INT_MAX lies in byte 268435455, beyond a size of 268435455 bytes.
    EXPECT_EQ(sw_chararry_getBit(nullptr, (1 << 28) - 1, INT_MAX), 0xFF);
    EXPECT_EQ(sw_chararry_getBit(buf.data(), 16, INT_MAX), 0xFF);
}

// Random writes and reads against a model array of bools.
TEST(SwCharArray, RandomOperationsMatchAModel) {
    constexpr int kSize = 7;
    std::mt19937 rng(12345);
    std::vector<char> buf(kSize, 0);
    std::vector<bool> model(kSize * 8, false);
    for (int step = 0; step < 20000; ++step) {
        const int pos = static_cast<int>(rng() % (kSize * 8 + 10)) - 5;
        const bool inside = pos >= 0 && pos < kSize * 8;
        if (rng() % 2 == 0) {
            const auto bit = static_cast<unsigned char>(rng() % 3);
            const bool ok = sw_chararry_setBit(buf.data(), kSize, pos, bit);
            ASSERT_EQ(ok, inside && bit <= 1) << step;
            if (ok) model[static_cast<size_t>(pos)] = bit == 1;
        } else {
            ASSERT_EQ(sw_chararry_getBit(buf.data(), kSize, pos),
                      inside ? model[static_cast<size_t>(pos)] : 0xFF)
                << step;
        }
    }
    for (int i = 0; i < kSize; ++i) {
        for (int b = 0; b < 8; ++b) {
            ASSERT_EQ(sw_char_getBit(static_cast<unsigned char>(buf[static_cast<size_t>(i)]), b),
                      model[static_cast<size_t>(i * 8 + b)]);
        }
    }
}

// White-box: the bounded copy of fixed-size SDK text fields used by the camera layers.
#include "internal/fieldcopy.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(FieldCopy, StopsAtTerminatorFieldEndOrBufferEnd) {
    // An unterminated field: every byte used. The copy must stop at the field's end.
    struct {
        unsigned char field[8];
        unsigned char after[8];
    } s;
    memset(s.field, 'A', sizeof s.field);
    memset(s.after, 'Z', sizeof s.after);
    char big[192];
    memset(big, '#', sizeof big);
    dudiz::copy_field(big, s.field);
    EXPECT_STREQ(big, "AAAAAAAA");

    // A terminated field: copied up to its NUL, bytes after it are not taken.
    unsigned char t[8] = {'H', 'i', 0, 'x', 'x', 'x', 'x', 'x'};
    dudiz::copy_field(big, t);
    EXPECT_STREQ(big, "Hi");

    // A destination smaller than the field: cut and terminated within the destination.
    char small[4];
    memset(small, '#', sizeof small);
    dudiz::copy_field(small, s.field);
    EXPECT_STREQ(small, "AAA");

    unsigned char empty[4] = {0, 'q', 'q', 'q'};
    dudiz::copy_field(small, empty);
    EXPECT_STREQ(small, "");
}

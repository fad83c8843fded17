// White-box: the bounded copy of fixed-size SDK text fields used by the camera layers. A field
// filled to its end has no NUL: the copy stops at the field's end (or the destination's).
#include "internal/fieldcopy.h"

#include <gtest/gtest.h>

TEST(SwFieldCopy, StopsAtTerminatorFieldEndOrBufferEnd) {
    struct {
        unsigned char full[8], after[8], hi[8];
    } s = {{'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A'}, {'Z', 'Z', 'Z'}, {'H', 'i', 0, 'x', 'x'}};
    char big[16] = "###############", small[4] = "###";
    dudiz::copy_field(big, s.full);
    dudiz::copy_field(small, s.full);
    EXPECT_TRUE(std::string(big) == "AAAAAAAA" && std::string(small) == "AAA");
    dudiz::copy_field(big, s.hi);
    EXPECT_STREQ(big, "Hi");
}

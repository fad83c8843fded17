// White-box: the bounded copy of fixed-size SDK text fields used by the camera layers. A field
// filled to its end has no NUL: the copy stops at the field's end (or the destination's).
#include "internal/fieldcopy.h"

#include <gtest/gtest.h>

TEST(SwFieldCopy, StopsAtTerminatorFieldEndOrBufferEnd) {
    const struct {
        unsigned char full[8], after[8], hi[8];  // `after` is what an over-read would pick up
    } s = {{'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A'}, {'Z', 'Z', 'Z'}, {'H', 'i', 0, 'x', 'x'}};
    char big[16] = "###############", small[4] = "###", hi[16] = "###############";
    dudiz::copy_field(big, s.full), dudiz::copy_field(small, s.full), dudiz::copy_field(hi, s.hi);
    EXPECT_TRUE(std::string(big) == "AAAAAAAA" && std::string(small) == "AAA" && std::string(hi) == "Hi");
}

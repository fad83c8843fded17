// Bounded copy of a fixed-size text field (such as the camera SDK's name arrays) into a char
// buffer. Such fields are NUL-terminated only when the text is shorter than the field; a faulty
// device or driver may fill one completely, so never read past the field and always terminate.
#pragma once

#include <cstddef>

namespace dudiz {

template <size_t N, size_t M>
void copy_field(char (&dst)[N], const unsigned char (&src)[M]) {
    static_assert(N > 0, "destination must hold the terminator");
    const size_t limit = (M < N - 1) ? M : N - 1;
    size_t i = 0;
    for (; i < limit && src[i] != 0; ++i) dst[i] = static_cast<char>(src[i]);
    dst[i] = '\0';
}

}  // namespace dudiz

// Fuzzes the message queue with sequences of operations (post, read with time-out 0 with and
// without outputs, clear, count, capacity) against a reference model: order, drops of the oldest
// message, surplus counts and counts must agree after every step.
// Input: one byte choosing the capacity, then pairs of bytes (operation, data).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/msgq_model.h"
#include "swmsgq.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every drop logs a line on stdout; the fuzzer reports on stderr.
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        (void)dup2(devNull, STDOUT_FILENO);
        (void)close(devNull);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int max = data[0] % 70 - 2;  // a few refused sizes, 1 to 63, and some above the cap
    void* q = sw_msgq_create(max);
    if (max <= 0) {
        if (q != nullptr) abort();
        return 0;
    }
    if (q == nullptr) abort();
    MsgqModel model(max);
    for (size_t k = 1; k + 1 < size; k += 2) {
        const std::string diff = msgq_model_step(q, model, data[k], data[k + 1]);
        if (!diff.empty() || sw_msgq_get_num(q) != model.num()) {
            (void)fprintf(stderr, "step %zu: %s\n", k / 2, diff.empty() ? "count differs" : diff.c_str());
            abort();
        }
    }
    sw_msgq_destroy(q);
    return 0;
}

// Fuzzes the message queue with operation sequences beside a model: a deque of the held messages and
// a count of the surplus signals that dropped messages leave, each of which makes one read fail at
// once. After every step the result, errno, the message read, the count and the capacity must
// agree; a refused capacity gives a NULL handle, which every function answers with -1 at once. Reads
// wait without limit, with a time-out or not at all, the first two only where the model holds a count.
// Input: a byte choosing the capacity, then pairs of bytes (operation, data).
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <tuple>

#include "swmsgq.h"

#define CHECK(...) ((__VA_ARGS__) ? static_cast<void>(0) : abort())
using Msg = std::tuple<int, unsigned long, unsigned long>;

// Every drop logs a line on stdout; the fuzzer reports on stderr.
static FILE* const g_quiet = freopen("/dev/null", "w", stdout);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int b = size ? data[0] : 0, max = b > 250 ? INT_MAX : b % 70 - 2, cap = max < 63 ? max : 63;
    void* q = sw_msgq_create(max);
    std::deque<Msg> held;
    int surplus = 0;  // posts whose message was dropped
    for (size_t k = 1; k + 1 < size; k += 2) {
        const unsigned op = data[k] % 8, a = data[k + 1];
        Msg got{-1, 1, 1};
        auto& [msg, w, l] = got;
        errno = 0;
        if (q == nullptr) {  // a refused capacity
            CHECK(max <= 0 && sw_msgq_post(q, 1, 1, 1) + sw_msgq_get_num(q) + sw_msgq_get_max(q) == -3);
            CHECK(sw_msgq_read(q, &msg, &w, &l, -1) == -1 && msg == -1);
        } else if (op < 3) {  // post: a full ring drops its oldest message, whose count stays behind
            CHECK(sw_msgq_post(q, int(a), a * 3UL + op, ~0UL - a) == 0);
            held.emplace_back(a, a * 3UL + op, ~0UL - a);
            if (static_cast<int>(held.size()) > cap) held.pop_front(), ++surplus;
        } else if (op < 5) {  // read, with outputs or without; an empty ring fails, at once for a surplus
            const int t = held.empty() && !surplus ? 0 : static_cast<int>(a % 3) - 1;  // waits find a count
            const int rc =
                op == 3 ? sw_msgq_read(q, &msg, &w, &l, t) : sw_msgq_read(q, nullptr, nullptr, nullptr, t);
            CHECK(rc == -int{held.empty()} && (rc == 0 || errno == (surplus > 0 ? 0 : ETIMEDOUT)));
            CHECK(got == (held.empty() || op == 4 ? Msg{-1, 1, 1} : held.front()));
            held.empty() ? void(surplus -= surplus > 0) : held.pop_front();
        } else if (op == 5) {
            sw_msgq_clear(q), held.clear(), surplus = 0;
        }
        CHECK(!q || (sw_msgq_get_num(q) == static_cast<int>(held.size()) && sw_msgq_get_max(q) == cap));
    }
    sw_msgq_clear(q), sw_msgq_destroy(q);
    return 0;
}

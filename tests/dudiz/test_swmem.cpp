// Memory container: seeded random sequences of every operation, checked after each step against a
// model of the documented layout, placement and exhaustion lines; then what the model cannot show:
// refused buffers, exact results, a foreign pointer that must not be read, and threads.
#include "swmem.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <random>
#include <regex>
#include <thread>

#include "support/stdout_capture.h"
#include "swmsgq.h"
#include "swsignal.h"
#include "swstack.h"

// Inside swmem.cpp.
extern "C" int sw_mem_copyTable(const void* hMem, uintptr_t* out, int max);
extern "C" int sw_mem_setWalkLimit(int nodes);

// The documented sizes of the header and of a node.
const int64_t kHeader = sizeof(void*) == 4 ? 32 : 56, kNode = sizeof(void*) == 4 ? 8 : 16;
const auto up = [](int64_t v, int64_t a) { return (v + a - 1) & ~(a - 1); };
const auto at = [](const void* p) { return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p)); };
alignas(64) char g_buf[64 * 1024];

// The result of sw_mem_check (the high-water mark) as (-1, text), then each block's address and bytes
// as it lists them; a block reported with another file or line than "" and -1 shows at address 0.
using Listing = std::vector<std::pair<int64_t, std::string>>;
void add(const char* file, int line, const char* p, int n, void* to) {
    static_cast<Listing*>(to)->emplace_back(*file || line != -1 ? 0 : at(p), std::string(p, size_t(n)));
}
Listing listing(const void* h) {
    Listing out{{-1, std::to_string(sw_mem_check(h, nullptr, nullptr))}};
    return sw_mem_check(h, add, &out), out;
}

// The container as its blocks in address order, each a node offset counted from the data area and
// the block's bytes: a block takes its node aligned up and its size aligned up; a new block goes
// behind the last when there is room, else into the first gap with room, searched from the hint.
struct Model {
    int64_t area, align, span, hint = -1, mark = 0;  // hint: node offset, -1 for none
    Listing v{};

    int64_t behind(size_t i) const { return v[i].first + span + up(int64_t(v[i].second.size()), align); }
    int64_t put(size_t i, int64_t node, const std::string& s) {
        v.insert(v.begin() + static_cast<long>(i), {node, s});
        return mark = std::max(mark, node + span + int64_t(s.size())), node + span;
    }
    // The data offset of a new block, or -1 when the container must refuse it.
    int64_t alloc(const std::string& s) {
        const int64_t size = s.size(), tail = v.empty() ? 0 : behind(v.size() - 1);
        if (area - tail - span >= size) return put(v.size(), tail, s);
        int64_t seen = 0;  // room of the last gap looked at, for the hint
        size_t i = 0;      // the gaps in front of block i, from the one behind the hint
        while (hint >= 0 && v[i++].first != hint) continue;
        for (; i < v.size(); ++i) {
            const int64_t from = i ? behind(i - 1) : 0, gap = v[i].first - from - span;
            if (seen < align) hint = i ? v[i - 1].first : -1, seen = gap;
            if (gap >= size) return hint = i ? hint : 0, put(i, from, s);  // the front gap becomes the hint
        }
        return -1;
    }
    void free(size_t i) {
        if (hint >= v[i].first) hint = i == 0 ? -1 : v[i - 1].first;
        v.erase(v.begin() + static_cast<long>(i));
    }
};

class SwMemModel : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(SwMemModel, RandomSequenceMatchesTheModel) {
    const auto [align, size] = GetParam();
    std::mt19937 rng(0x5eedu + static_cast<unsigned>(align * 7919 + size));
    char* start = g_buf + 1 + align % 7;  // odd, so that alignments 1 and 2 misalign header and nodes
    // Any walk asks for the table, so that it is checked in every container.
    const int limit = sw_mem_setWalkLimit(0);
    void* h = sw_mem_create(start, size, align);
    const int64_t data = up(at(h) + kHeader, align);
    ASSERT_TRUE(at(h) == up(at(start), align) && sw_mem_getTotalSize(h) == at(start) + size - data);
    Model m{sw_mem_getTotalSize(h), align, up(kNode, align)};
    std::string ramp(static_cast<size_t>(size) + 512, '\0');
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<char>(1 + i % 255);  // no NUL
    auto ptr = [&](size_t i) { return reinterpret_cast<char*>(data + m.v[i].first + m.span); };
    long refusals = 0, indexed = 0;
    // Checks where an allocating call put its block; writes the bytes from `kept` on into it.
    auto got = [&](void* p, int64_t want, const std::string& s, size_t kept) {
        EXPECT_EQ(at(p), want < 0 ? 0 : data + want);
        if (want < 0 || p == nullptr) return refusals += want < 0, false;
        return memcpy(static_cast<char*>(p) + kept, s.data() + kept, s.size() - kept), true;
    };
    StdoutCapture cap;
    for (unsigned step = 0; step < 2000 && !HasFailure(); ++step) {
        const unsigned op = rng() % 100, r = rng() % 100, kind = op % 4;
        const size_t n = rng() % (r < 70 ? 49u : r < 95 ? size / 8 + 1 : size / 2 + 1);
        const size_t i = m.v.empty() ? 0 : rng() % m.v.size();
        const std::string s = ramp.substr(step % 255, n);
        if (op < 45 || m.v.empty()) {  // a new block, by each of the allocating calls; calloc zeroes
            const std::string b = kind == 0 ? std::string(n, '\0') : kind == 1 ? s + '\0' : s;
            // clang-format off
            void* p = kind == 0 ? sw_mem_calloc(h, int(n), "", 0)
                : kind == 1 ? sw_mem_strdup(h, s.c_str(), "", 0)
                : kind == 2 ? sw_mem_realloc(h, nullptr, int(n), "", 0) : sw_mem_alloc(h, int(n), "", 0);
            // clang-format on
            got(p, m.alloc(b), b, kind < 2 ? b.size() : 0);
        } else if (op < 65) {  // in place when it fits, else moved with its bytes, else refused
            const auto [node, old] = m.v[i];
            const std::string b = old.substr(0, n) + s.substr(std::min(n, old.size()));
            void* p = sw_mem_realloc(h, ptr(i), int(n), "", 0);
            const int64_t room = (i + 1 < m.v.size() ? m.v[i + 1].first : m.area) - node - m.span;
            const int64_t want = int64_t(n) <= room ? (m.v[i].second = b, node + m.span) : m.alloc(b);
            // A moved block may stand in front of the old one.
            if (got(p, want, b, std::min(n, old.size())) && want != node + m.span) m.free(i + (want < node));
        } else if (op < 93) {
            sw_mem_free(h, ptr(i), "", 0), m.free(i);
        } else if (op < 99) {  // a pointer into a node is not a block: nothing changes
            sw_mem_free(h, ptr(i) - 1, "", 0);
            EXPECT_FALSE(sw_mem_realloc(h, ptr(i) - 1, 8, "", 0));
        } else {
            sw_mem_reset(h), m = Model{m.area, m.align, m.span};
        }
        Listing want{{-1, std::to_string(m.mark)}};
        for (const auto& [node, bytes] : m.v) want.emplace_back(data + node + m.span, bytes);
        ASSERT_EQ(listing(h), want) << "step " << step;
        // The table, when the container keeps one, maps each block to the one in front of it.
        std::vector<uintptr_t> raw(2 * m.v.size() + 2);
        std::vector<std::pair<uintptr_t, uintptr_t>> table, wantTable{{0, 0}};
        for (size_t k = 0; k < m.v.size(); ++k)
            wantTable.emplace_back(uintptr_t(ptr(k)), k ? uintptr_t(ptr(k - 1)) : 0);
        const int entries = sw_mem_copyTable(h, raw.data(), int(m.v.size() + 1));
        if (entries < 0) continue;
        for (size_t k = 0; k < raw.size(); k += 2) table.emplace_back(raw[k], raw[k + 1]);
        std::sort(table.begin(), table.end()), std::sort(wantTable.begin(), wantTable.end());
        ASSERT_TRUE(++indexed && entries == int(m.v.size()) && table == wantTable)
            << "table at step " << step;
    }
    // One exact line per refusal.
    const std::string line = R"(.*\[error\] \([^)]*swmem\.cpp:\d+\) sorry, alloc memory fail, because )" +
                             testing::PrintToString(h) + " memory container is full!!\n";
    EXPECT_EQ(std::regex_replace(cap.finish(), std::regex(line), "#"), std::string(refusals, '#'));
    EXPECT_GT(refusals, 0) << "the sequence never filled the container";
    EXPECT_TRUE(size < 4096 || indexed > 500) << "the table was hardly ever there to check: " << indexed;
    sw_mem_destroy(h), sw_mem_setWalkLimit(limit);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(AlignAndSize, SwMemModel, testing::Combine(testing::Values(1, 2, 4, 8, 16, 64),
                                                                    testing::Values(400, 4096, 20000)));
// clang-format on

// Refused buffers (a bad alignment or size, ranges that wrap, a header that does not fit once
// aligned up: 1 byte past a 64-byte boundary, aligned to 16, it starts 15 bytes in); bad arguments
// answered quietly; a full container changes nothing; a pointer it did not hand out is refused
// without a read (it lies in a page that faults on any access); destroy clears the header's fields.
TEST(SwMemResults, RefusalsAndTheirAnswers) {
    char* top = reinterpret_cast<char*>(UINTPTR_MAX - 100);  // refused ranges are never touched
    const int min = std::numeric_limits<int>::min(), tight = int(15 + kHeader - 1);
    // clang-format off
    for (auto [b, size, align] : {std::tuple(g_buf, 256, 0), {g_buf, 256, -4}, {g_buf, 256, 3},
             {g_buf, 256, 6}, {g_buf, 256, min}, {g_buf, 0, 8}, {g_buf, -1, 8}, {nullptr, 256, 8},
             {top, 1000, 8}, {top + 98, 2, 16}, {g_buf + 1, tight, 16}})
        EXPECT_EQ(sw_mem_create(b, size, align), nullptr) << size << " " << align;
    // clang-format on
    void* h = sw_mem_create(g_buf + 1, tight + 1, 16);
    char* guard = static_cast<char*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) + 64;
    EXPECT_TRUE(at(h) == at(g_buf) + 16 && sw_mem_getTotalSize(h) <= 0 && !sw_mem_alloc(h, 0, "", 0));
    sw_mem_destroy(h);
    // The header's fields but its last int (4 bytes of padding follow it on a 64-bit host).
    EXPECT_EQ(std::count(g_buf + 16, g_buf + 12 + kHeader, 0), kHeader - 4) << "destroy clears the header";
    h = sw_mem_create(g_buf, 512, 8);
    // clang-format off
    EXPECT_TRUE(!sw_mem_alloc(nullptr, 8, "", 0) && !sw_mem_realloc(nullptr, guard, 8, "", 0) &&
                !sw_mem_strdup(h, nullptr, "", 0) && !sw_mem_alloc(h, -1, "", 0) &&
                !sw_mem_realloc(h, sw_mem_alloc(h, 8, "", 0), -1, "", 0) &&
                sw_mem_check(nullptr, nullptr, nullptr) == -1 && sw_mem_getTotalSize(nullptr) == -1);
    // clang-format on
    sw_mem_free(nullptr, guard, "", 0), sw_mem_reset(nullptr), sw_mem_destroy(nullptr);
    const Listing before = listing(h);
    EXPECT_TRUE(!sw_mem_realloc(h, guard, 64, "", 0) && !sw_mem_alloc(h, sw_mem_getTotalSize(h), "", 0));
    sw_mem_free(h, guard, "", 0);
    EXPECT_EQ(listing(h), before);
    munmap(guard - 64, 4096), sw_mem_destroy(h);
}

// Blocks of one container travel between threads at once: producers allocate and fill them and post
// them through a message queue (a signal holds the posts below its capacity, so nothing drops) to
// consumers that take the 3000 messages between them, check each producer's order, grow each block
// (its bytes kept), push it onto a stack in the same container and pop and free the block on top.
// Nothing is damaged, lost or left behind. Producers and consumers give up after 20 s without room
// or a message, so a broken queue fails the test instead of hanging it.
TEST(SwMemThreads, BlocksTravelThroughAQueueAndAStack) {
    void* h = sw_mem_create(g_buf, sizeof g_buf, 8);
    void *q = sw_msgq_create(8), *room = sw_signal_create(), *stack = sw_stack_create(h);
    for (int i = 0; i < 8; ++i) sw_signal_give(room);
    std::atomic<long> bad{0}, taken{0};
    auto spoilt = [](long p, size_t n, int t) { return std::string((char*)p, n) != std::string(n, t); };
    std::vector<std::thread> threads;
    for (int t = 1; t <= 6; ++t)
        threads.emplace_back([&, t] {
            for (unsigned long k = 1; t <= 3 && k <= 1000 && sw_signal_wait(room, 20000) == 0; ++k)
                sw_msgq_post(q, t, (long)memset(sw_mem_alloc(h, k % 97 + 1, "", 0), t, k % 97 + 1), k);
            unsigned long p = 0, k = 0, last[4] = {};
            for (int w = 0; t > 3 && taken++ < 3000 && sw_msgq_read(q, &w, &p, &k, 20000) == 0;) {
                const size_t n = k % 97 + 1;
                sw_signal_give(room);
                bad += (k <= last[w & 3]) + spoilt(long(p), n, w), last[w & 3] = k;
                const long grown = (long)sw_mem_realloc(h, (void*)p, int(n + 8), "", 0);
                stk_data top{grown, int(n), nullptr, unsigned(w), 0};
                bad += spoilt(grown, n, w), sw_stack_push(stack, top), sw_stack_pop(stack, &top);
                bad += spoilt(top.addr, top.size, int(top.wParam));  // mine or another consumer's
                sw_mem_free(h, (void*)top.addr, "", 0);
            }
        });
    for (auto& thread : threads) thread.join();
    sw_stack_destroy(stack);
    EXPECT_TRUE(bad == 0 && taken == 3003 && listing(h).size() == 1) << bad << " " << taken;
    sw_msgq_destroy(q), sw_signal_destroy(room), sw_mem_destroy(h);
}

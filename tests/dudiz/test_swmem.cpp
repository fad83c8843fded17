// Memory container: seeded random sequences of every operation, checked after each step against a
// model of the documented layout and placement; then what the model cannot show: refused buffers,
// exact results and log lines, a foreign pointer that must not be read, and threads.
#include "swmem.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <climits>
#include <random>
#include <thread>

#include "support/stdout_capture.h"
#include "swmsgq.h"
#include "swsignal.h"
#include "swstack.h"

// The documented sizes of the header and of a node.
const int64_t kHeader = sizeof(void*) == 4 ? 32 : 56, kNode = sizeof(void*) == 4 ? 8 : 16;
const auto up = [](int64_t v, int64_t a) { return (v + a - 1) & ~(a - 1); };
const auto at = [](const void* p) { return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p)); };
const auto lines = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };
alignas(64) char g_buf[64 * 1024];

// Each block's address and bytes as sw_mem_check lists them, then (-1, its result: the high-water mark).
using Listing = std::vector<std::pair<int64_t, std::string>>;
Listing listing(const void* h) {
    Listing out;
    const int mark = sw_mem_check(
        h,
        [](const char* file, int line, const char* p, int n, void* to) {
            EXPECT_TRUE(*file == '\0' && line == -1);
            static_cast<Listing*>(to)->emplace_back(at(p), std::string(p, static_cast<size_t>(n)));
        },
        &out);
    return out.emplace_back(-1, std::to_string(mark)), out;
}

// The container as blocks in address order, offsets counted from the data area: a block takes its
// node aligned up and its size aligned up; a new block goes behind the last when there is room,
// else into the first gap with room, searched from the hint (see swmem.h).
struct Model {
    struct Block {
        int64_t node, size, pattern;
    };
    int64_t area, align, span, hint = -1, mark = 0;  // hint: node offset, -1 for none
    std::vector<Block> v{};

    int64_t behind(size_t i) const { return v[i].node + span + up(v[i].size, align); }
    int64_t put(size_t i, int64_t node, int64_t size, int64_t pattern) {
        v.insert(v.begin() + static_cast<long>(i), Block{node, size, pattern});
        return mark = std::max(mark, node + span + size), node + span;
    }
    // The data offset of a new block, or -1 when the container must refuse it.
    int64_t alloc(int64_t size, int64_t pattern) {
        const int64_t tail = v.empty() ? 0 : behind(v.size() - 1);
        if (area - tail - span >= size) return put(v.size(), tail, size, pattern);
        size_t i = 0;
        int64_t seen = 0;  // room of the last gap looked at, for the hint
        if (v.empty()) return -1;
        if (hint < 0 && (seen = v[0].node - span) >= size) return hint = 0, put(0, 0, size, pattern);
        while (hint >= 0 && v[i].node != hint) ++i;
        for (; i + 1 < v.size(); ++i) {
            const int64_t gap = v[i + 1].node - behind(i) - span;
            if (seen < align) hint = v[i].node, seen = gap;
            if (gap >= size) return put(i + 1, behind(i), size, pattern);
        }
        return -1;
    }
    void free(size_t i) {
        if (hint >= v[i].node) hint = i == 0 ? -1 : v[i - 1].node;
        v.erase(v.begin() + static_cast<long>(i));
    }
    bool fits(size_t i, int64_t size) const {
        return size <= v[i].size || v[i].node + span + size <= (i + 1 < v.size() ? v[i + 1].node : area);
    }
};

class SwMemModel : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(SwMemModel, RandomSequenceMatchesTheModel) {
    const int align = std::get<0>(GetParam()), size = std::get<1>(GetParam());
    std::mt19937 rng(0x5eedu + static_cast<unsigned>(align * 7919 + size));
    char* start = g_buf + 1 + align % 7;  // odd, so that alignments 1 and 2 misalign header and nodes
    void* h = sw_mem_create(start, size, align);
    const int64_t data = up(at(h) + kHeader, align);
    ASSERT_TRUE(at(h) == up(at(start), align) && sw_mem_getTotalSize(h) == at(start) + size - data);
    Model m{sw_mem_getTotalSize(h), align, up(kNode, align)};
    std::string ramp(static_cast<size_t>(size) + 512, '\0');
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<char>(1 + i % 255);  // no NUL
    auto bytes = [&](int64_t pattern) { return &ramp[static_cast<size_t>(pattern % 255)]; };
    auto ptr = [&](size_t i) { return reinterpret_cast<char*>(data + m.v[i].node + m.span); };
    long refusals = 0;
    // Checks where an allocating call put its block; fills the bytes it did not keep.
    auto placed = [&](void* p, int64_t want, int64_t n, int64_t pattern, int64_t kept) {
        EXPECT_EQ(at(p), want < 0 ? 0 : data + want);
        if (want < 0 || p == nullptr) return refusals += want < 0, false;
        return memcpy(static_cast<char*>(p) + kept, bytes(pattern) + kept, static_cast<size_t>(n - kept)),
               true;
    };
    StdoutCapture cap;
    for (unsigned step = 0; step < 2000 && !HasFailure(); ++step) {
        const unsigned op = rng() % 100, r = rng() % 100, kind = op % 4;
        const int n = static_cast<int>(rng() % (r < 70 ? 49u : r < 95 ? size / 8 + 1 : size / 2 + 1));
        const size_t i = m.v.empty() ? 0 : rng() % m.v.size(), len = static_cast<size_t>(n) + (kind == 1);
        const std::string s(bytes(step), static_cast<size_t>(n));
        if (op < 45 || m.v.empty()) {  // a new block, by each of the allocating calls
            void* p = kind == 0   ? sw_mem_calloc(h, n, "", 0)
                      : kind == 1 ? sw_mem_strdup(h, s.c_str(), "", 0)
                      : kind == 2 ? sw_mem_realloc(h, nullptr, n, "", 0)
                                  : sw_mem_alloc(h, n, "", 0);
            const std::string made = kind == 0 ? std::string(len, '\0') : s + '\0';
            EXPECT_TRUE(!p || kind > 1 || made == std::string(static_cast<char*>(p), len))
                << "calloc zeroes, strdup copies";
            placed(p, m.alloc(len, step), len, step, 0);
        } else if (op < 65) {  // in place when it fits, else moved with its bytes, else refused
            const Model::Block b = m.v[i];
            void* p = sw_mem_realloc(h, ptr(i), n, "", 0);
            const int64_t want = m.fits(i, n) ? (m.v[i].size = n, b.node + m.span) : m.alloc(n, b.pattern);
            // A moved block may stand in front of the old one.
            if (placed(p, want, n, b.pattern, std::min<int64_t>(n, b.size)) && want != b.node + m.span)
                m.free(i + (want < b.node));
        } else if (op < 93) {
            sw_mem_free(h, ptr(i), "", 0), m.free(i);
        } else if (op < 99) {  // a pointer into a node is not a block: nothing changes
            EXPECT_TRUE(op % 2 ? (sw_mem_free(h, ptr(i) - 1, "", 0), true)
                               : !sw_mem_realloc(h, ptr(i) - 1, n, "", 0));
        } else {
            sw_mem_reset(h), m = Model{m.area, m.align, m.span};
        }
        Listing want;
        for (const auto& b : m.v)
            want.emplace_back(data + b.node + m.span, std::string(bytes(b.pattern), b.size));
        want.emplace_back(-1, std::to_string(m.mark));
        ASSERT_EQ(listing(h), want) << "step " << step;
    }
    EXPECT_EQ(lines(cap.finish()), refusals) << "one exhaustion line per refusal";
    EXPECT_GT(refusals, 0) << "the sequence never filled the container";
    sw_mem_destroy(h);
}

INSTANTIATE_TEST_SUITE_P(AlignAndSize, SwMemModel,
                         ::testing::Combine(::testing::Values(1, 2, 4, 8, 16, 64),
                                            ::testing::Values(400, 4096, 20000)));

// Refused buffers; bad arguments answered quietly; a full container logs one exact line and changes
// nothing; a pointer it did not hand out is refused without a read (it lies in a page that faults on
// any access); destroy clears the header's fields.
TEST(SwMemResults, RefusalsAndTheirAnswers) {
    char* top = reinterpret_cast<char*>(UINTPTR_MAX - 100);  // refused ranges are never touched
    for (int align : {0, -4, 3, 6, INT_MIN}) EXPECT_EQ(sw_mem_create(g_buf, 256, align), nullptr) << align;
    EXPECT_TRUE(!sw_mem_create(g_buf, 0, 8) && !sw_mem_create(g_buf, -1, 8) &&
                !sw_mem_create(nullptr, 256, 8) && !sw_mem_create(top, 1000, 8) &&
                !sw_mem_create(top + 98, 2, 16));
    // 1 byte past a 64-byte boundary, aligned to 16: the header starts 15 bytes in and must fit whole.
    EXPECT_EQ(sw_mem_create(g_buf + 1, 15 + kHeader - 1, 16), nullptr);
    void* h = sw_mem_create(g_buf + 1, 15 + kHeader, 16);
    char* guard = static_cast<char*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) + 64;
    StdoutCapture cap;
    EXPECT_TRUE(at(h) == at(g_buf) + 16 && sw_mem_getTotalSize(h) <= 0 && !sw_mem_alloc(h, 0, "", 0));
    sw_mem_destroy(h);
    const int64_t fields = sizeof(void*) == 4 ? 32 : 52;  // the rest is padding
    EXPECT_EQ(std::count(g_buf + 16, g_buf + 16 + fields, 0), fields) << "destroy clears the header";
    h = sw_mem_create(g_buf, 512, 8);
    EXPECT_TRUE(!sw_mem_alloc(nullptr, 8, "", 0) && !sw_mem_calloc(nullptr, 8, "", 0) &&
                !sw_mem_strdup(nullptr, "x", "", 0) && !sw_mem_realloc(nullptr, guard, 8, "", 0) &&
                !sw_mem_strdup(h, nullptr, "", 0) && !sw_mem_alloc(h, -1, "", 0) &&
                !sw_mem_realloc(h, sw_mem_alloc(h, 8, "", 0), -1, "", 0) &&
                sw_mem_check(nullptr, nullptr, nullptr) == -1 && sw_mem_getTotalSize(nullptr) == -1);
    sw_mem_free(nullptr, guard, "", 0);
    sw_mem_reset(nullptr);
    sw_mem_destroy(nullptr);
    const Listing before = listing(h);
    EXPECT_TRUE(!sw_mem_realloc(h, guard, 64, "", 0) && !sw_mem_alloc(h, sw_mem_getTotalSize(h), "", 0));
    sw_mem_free(h, guard, "", 0);
    EXPECT_EQ(listing(h), before);
    char line[128];
    snprintf(line, sizeof line, ") sorry, alloc memory fail, because %p memory container is full!!\n", h);
    const std::string out = cap.finish();
    EXPECT_TRUE(lines(out) == 2 && out.find("] [error] (") != out.npos && out.find(line) != out.npos) << out;
    munmap(guard - 64, 4096);
    sw_mem_destroy(h);
}

// Blocks of one container travel between threads at once: producers allocate and fill them and post
// them through a message queue (a signal holds the posts below its capacity, so nothing drops) to
// consumers that wait without limit, check each producer's order, grow each block (its bytes kept),
// push it onto a stack in the same container and pop and free the block on top. Nothing is damaged
// or lost, and destroying the stack releases the last blocks: the container ends empty. A producer
// that finds no room for 20 s gives up, so a broken queue fails the test instead of hanging it.
TEST(SwMemThreads, BlocksTravelThroughAQueueAndAStack) {
    static void* h;
    h = sw_mem_create(g_buf, sizeof g_buf, 8);
    void *q = sw_msgq_create(8), *room = sw_signal_create(), *stack = sw_stack_create(h);
    for (int i = 0; i < 8; ++i) sw_signal_give(room);
    std::atomic<long> damaged{0}, disorder{0}, taken{0};
    const auto spoilt = [](unsigned long p, unsigned long n, int t) {
        return n - std::count((char*)p, (char*)p + n, t);
    };
    std::vector<std::thread> threads;
    for (int t = 1; t <= 6; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned long k = 1, n = 1; t <= 3 && k <= 1000 && sw_signal_wait(room, 20000) == 0;
                 ++k, n = k % 97 + 1)
                sw_msgq_post(q, t, reinterpret_cast<unsigned long>(memset(sw_mem_alloc(h, n, "", 0), t, n)),
                             k << 8 | n);
            unsigned long p = 0, kn = 0, last[4] = {};
            for (int w = 0; t > 3 && sw_msgq_read(q, &w, &p, &kn, -1) == 0 && w > 0; ++taken) {
                const unsigned long k = kn >> 8, n = kn & 255;
                sw_signal_give(room);
                disorder += k <= last[w], last[w] = k;
                damaged += spoilt(p, n, w);
                void* grown = sw_mem_realloc(h, reinterpret_cast<void*>(p), n + 8, "", 0);
                damaged += spoilt(reinterpret_cast<unsigned long>(grown), n, w);
                sw_stack_push(stack,
                              stk_data{reinterpret_cast<long>(grown), int(n),
                                       [](void* b, int) { sw_mem_free(h, b, "", 0); }, unsigned(w), 0});
                stk_data top{};
                sw_stack_pop(stack, &top);
                damaged += spoilt(top.addr, top.size, int(top.wParam));
                sw_mem_free(h, reinterpret_cast<void*>(top.addr), "", 0);
            }
        });
    }
    for (int t = 0; t < 3; ++t) threads[t].join();
    for (int t = 3; t < 6; ++t) sw_signal_wait(room, 20000), sw_msgq_post(q, -1, 0, 0);
    for (int t = 3; t < 6; ++t) threads[t].join();
    sw_stack_destroy(stack);
    EXPECT_TRUE(damaged == 0 && disorder == 0 && taken == 3000 && listing(h).size() == 1)
        << damaged << " " << disorder << " " << taken;
    sw_msgq_destroy(q), sw_signal_destroy(room), sw_mem_destroy(h);
}

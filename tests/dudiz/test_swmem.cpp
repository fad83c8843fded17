// Memory container: creation limits, layout, placement order, realloc, exhaustion, concurrency,
// and a seeded random sequence checked step by step against a reference model.
#include "swmem.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/stdout_capture.h"

namespace {

// The documented layout of a node and of the header; offsets below derive from these sizes.
struct NodeLayout {
    int size;
    void* next;
};
struct HeaderLayout {
    char* buf;
    int size;
    int align;
    void* hMutex;
    void* list;
    void* first;
    void* tail;
    int history_maxsize;
};

uintptr_t up(uintptr_t v, uintptr_t a) { return (v + a - 1) & ~(a - 1); }
uintptr_t node_span(int align) { return up(sizeof(NodeLayout), static_cast<uintptr_t>(align)); }
uintptr_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

const char kFull[] = "memory container is full!!";

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

struct Listed {
    const char* ptr;
    int size;
    bool operator==(const Listed& o) const { return ptr == o.ptr && size == o.size; }
};

// The live blocks as sw_mem_check reports them, with its result.
std::vector<Listed> listing(const void* h, int* history = nullptr) {
    std::vector<Listed> out;
    const int hw = sw_mem_check(
        h,
        [](const char* file, int line, const char* ptr, int size, void* param) {
            EXPECT_STREQ(file, "");
            EXPECT_EQ(line, -1);
            static_cast<std::vector<Listed>*>(param)->push_back({ptr, size});
        },
        &out);
    if (history != nullptr) *history = hw;
    return out;
}

// A buffer starting `skew` bytes past a 64-byte boundary, with a container over it.
class Arena {
public:
    Arena(int size, int align, int skew = 0) : storage_(new unsigned char[static_cast<size_t>(size) + 128]) {
        start_ = reinterpret_cast<char*>(up(addr(storage_.get()), 64) + static_cast<uintptr_t>(skew));
        size_ = size;
        h_ = sw_mem_create(start_, size, align);
    }
    ~Arena() { sw_mem_destroy(h_); }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    void* h() const { return h_; }
    char* start() const { return start_; }
    uintptr_t end() const { return addr(start_) + static_cast<uintptr_t>(size_); }
    // The data area's start: the header's end aligned up.
    uintptr_t data(int align) const { return up(addr(h_) + sizeof(HeaderLayout), static_cast<uintptr_t>(align)); }
    void* alloc(int n) { return sw_mem_alloc(h_, n, __FILE__, __LINE__); }
    void free(void* p) { sw_mem_free(h_, p, __FILE__, __LINE__); }

private:
    std::unique_ptr<unsigned char[]> storage_;
    char* start_;
    int size_;
    void* h_;
};

TEST(SwMemCreate, RefusesBadArguments) {
    static char buf[256];
    struct Case {
        char* buf;
        int size;
        int align;
    } cases[] = {{nullptr, 256, 8}, {buf, 0, 8}, {buf, -1, 8}, {buf, 256, 0},
                 {buf, 256, -4}, {buf, 256, 3}, {buf, 256, 6}, {buf, 256, INT32_MIN}};
    for (const Case& c : cases) EXPECT_EQ(sw_mem_create(c.buf, c.size, c.align), nullptr) << c.size << " " << c.align;
}

TEST(SwMemCreate, AcceptsEveryPowerOfTwo) {
    for (int align = 1; align <= 256; align *= 2) {
        Arena a(4096, align, 3);
        ASSERT_NE(a.h(), nullptr) << align;
        EXPECT_EQ(addr(a.h()), up(addr(a.start()), static_cast<uintptr_t>(align)));
        EXPECT_EQ(sw_mem_getTotalSize(a.h()), static_cast<int>(a.end() - a.data(align)));
    }
}

TEST(SwMemCreate, HeaderMustFitOnceAlignedUp) {
    // Start 1 byte past a 16-byte boundary: the header begins 15 bytes in.
    const int lead = 15;
    const int header = static_cast<int>(sizeof(HeaderLayout));
    { Arena tooSmall(lead + header - 1, 16, 1); EXPECT_EQ(tooSmall.h(), nullptr); }
    Arena exact(lead + header, 16, 1);
    ASSERT_NE(exact.h(), nullptr);
    EXPECT_LE(sw_mem_getTotalSize(exact.h()), 0);
    StdoutCapture cap;
    EXPECT_EQ(exact.alloc(0), nullptr);
    EXPECT_EQ(count_of(cap.finish(), kFull), 1u);
}

TEST(SwMemCreate, RefusesRangesThatWrapAround) {
    // Nothing is written for a refused range, so these addresses are never touched.
    char* nearTop = reinterpret_cast<char*>(UINTPTR_MAX - 100);
    EXPECT_EQ(sw_mem_create(nearTop, 1000, 8), nullptr);
    EXPECT_EQ(sw_mem_create(reinterpret_cast<char*>(UINTPTR_MAX - 2), 2, 16), nullptr);
}

TEST(SwMemNullHandle, EveryOperationAnswersQuietly) {
    StdoutCapture cap;
    char text[] = "x";
    EXPECT_EQ(sw_mem_alloc(nullptr, 8, __FILE__, __LINE__), nullptr);
    EXPECT_EQ(sw_mem_calloc(nullptr, 8, __FILE__, __LINE__), nullptr);
    EXPECT_EQ(sw_mem_strdup(nullptr, text, __FILE__, __LINE__), nullptr);
    EXPECT_EQ(sw_mem_realloc(nullptr, nullptr, 8, __FILE__, __LINE__), nullptr);
    EXPECT_EQ(sw_mem_check(nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(sw_mem_getTotalSize(nullptr), -1);
    sw_mem_free(nullptr, text, __FILE__, __LINE__);
    sw_mem_reset(nullptr);
    sw_mem_destroy(nullptr);
    EXPECT_EQ(cap.finish(), "");
}

TEST(SwMemLayout, SuccessiveBlocksLieNodePlusAlignedSizeApart) {
    for (int align : {1, 2, 4, 8, 16}) {
        Arena a(1024, align, 1);
        char* p = static_cast<char*>(a.alloc(10));
        char* q = static_cast<char*>(a.alloc(10));
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(addr(p), a.data(align) + node_span(align)) << align;
        EXPECT_EQ(static_cast<uintptr_t>(q - p), up(10, static_cast<uintptr_t>(align)) + node_span(align)) << align;
        if (align == 4 && sizeof(void*) == 4) {
            EXPECT_EQ(q - p, 20);
        }
    }
}

TEST(SwMemLayout, CheckListsBlocksAndHighWaterMark) {
    Arena a(1024, 8);
    char* p = static_cast<char*>(a.alloc(100));
    char* q = static_cast<char*>(a.alloc(50));
    int history = 0;
    EXPECT_EQ(listing(a.h(), &history), (std::vector<Listed>{{p, 100}, {q, 50}}));
    const int expected = static_cast<int>(node_span(8) + up(100, 8) + node_span(8) + 50);
    EXPECT_EQ(history, expected);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(history, 170);
    }
    a.free(p);
    a.free(q);
    EXPECT_TRUE(listing(a.h(), &history).empty());
    EXPECT_EQ(history, expected);
    sw_mem_reset(a.h());
    EXPECT_EQ(sw_mem_check(a.h(), nullptr, nullptr), 0);
    EXPECT_EQ(addr(a.alloc(1)), a.data(8) + node_span(8));
}

TEST(SwMemAlloc, SizeZeroIsABlockAndNegativeIsRefusedSilently) {
    Arena a(256, 8);
    StdoutCapture cap;
    void* zero = a.alloc(0);
    void* next = a.alloc(0);
    EXPECT_EQ(a.alloc(-1), nullptr);
    EXPECT_EQ(cap.finish(), "");
    ASSERT_NE(zero, nullptr);
    EXPECT_NE(zero, next);
    a.free(zero);
    EXPECT_EQ(listing(a.h()), (std::vector<Listed>{{static_cast<char*>(next), 0}}));
}

TEST(SwMemAlloc, ExhaustionLogsOnceWithTheContainerAndChangesNothing) {
    Arena a(512, 8);
    void* p = a.alloc(64);
    int before = 0;
    const auto blocks = listing(a.h(), &before);
    StdoutCapture cap;
    EXPECT_EQ(a.alloc(sw_mem_getTotalSize(a.h())), nullptr);
    const std::string out = cap.finish();
    char expected[128];
    snprintf(expected, sizeof expected, "sorry, alloc memory fail, because %p memory container is full!!", a.h());
    EXPECT_EQ(count_of(out, expected), 1u) << out;
    EXPECT_EQ(count_of(out, "[error]"), 1u) << out;
    int after = 0;
    EXPECT_EQ(listing(a.h(), &after), blocks);
    EXPECT_EQ(after, before);
    a.free(p);
}

TEST(SwMemAlloc, EndFirstThenGapsInAddressOrder) {
    const int align = 8;
    const int bsize = 40;
    const int step = static_cast<int>(up(bsize, align) + node_span(align));
    const int total = 3 * step + 2 * step + 8;  // room for A, B, C and two more, not a third
    Arena a(total + 64, align);
    const int area = sw_mem_getTotalSize(a.h());
    void* A = a.alloc(bsize);
    void* B = a.alloc(bsize);
    void* C = a.alloc(bsize);
    a.free(B);
    void* D = a.alloc(bsize);
    EXPECT_GT(D, C) << "the end still had room, the gap must wait";
    // Fill what is left at the end, then the next block must go into B's gap.
    const int rest = area - static_cast<int>(addr(D) - a.data(align)) - static_cast<int>(up(bsize, align)) -
                     static_cast<int>(node_span(align));
    ASSERT_GE(rest, 0);
    void* E = a.alloc(rest);
    ASSERT_NE(E, nullptr);
    EXPECT_EQ(a.alloc(bsize), B);
    a.free(A);
    EXPECT_EQ(a.alloc(bsize), A) << "a release in front of the hint moves the search back";
}

TEST(SwMemFree, ForeignPointersChangeNothing) {
    Arena a(512, 8);
    Arena other(512, 8);
    char* p = static_cast<char*>(a.alloc(32));
    void* theirs = other.alloc(32);
    const auto blocks = listing(a.h());
    for (void* bad : {static_cast<void*>(nullptr), static_cast<void*>(p + 1), static_cast<void*>(p + 16), theirs}) {
        a.free(bad);
        EXPECT_EQ(listing(a.h()), blocks);
    }
}

class SwMemRealloc : public ::testing::Test {
protected:
    // Three 32-byte blocks with a 64-byte gap behind the first one.
    void SetUp() override {
        p_ = static_cast<char*>(a_.alloc(32));
        gapFiller_ = a_.alloc(64 - static_cast<int>(node_span(8)));
        q_ = static_cast<char*>(a_.alloc(32));
        a_.free(gapFiller_);
        memset(p_, 0x5a, 32);
    }
    void* realloc(void* p, int n) { return sw_mem_realloc(a_.h(), p, n, __FILE__, __LINE__); }
    Arena a_{512, 8};
    char* p_ = nullptr;
    char* q_ = nullptr;
    void* gapFiller_ = nullptr;
};

TEST_F(SwMemRealloc, ShrinkAndGrowIntoTheFollowingGapStayInPlace) {
    EXPECT_EQ(realloc(p_, 8), p_);
    EXPECT_EQ(realloc(p_, 96), p_);
    EXPECT_EQ(listing(a_.h()).front(), (Listed{p_, 96}));
    EXPECT_EQ(realloc(p_, 0), p_);
    EXPECT_EQ(listing(a_.h()).front(), (Listed{p_, 0}));
}

TEST_F(SwMemRealloc, GrowthWithoutRoomMovesTheBytes) {
    char* moved = static_cast<char*>(realloc(p_, 200));
    ASSERT_NE(moved, nullptr);
    EXPECT_NE(moved, p_);
    EXPECT_EQ(std::count(moved, moved + 32, 0x5a), 32);
    EXPECT_EQ(listing(a_.h()), (std::vector<Listed>{{q_, 32}, {moved, 200}}));
}

TEST_F(SwMemRealloc, FullContainerKeepsTheOldBlock) {
    const auto blocks = listing(a_.h());
    StdoutCapture cap;
    EXPECT_EQ(realloc(p_, 400), nullptr);
    EXPECT_EQ(count_of(cap.finish(), kFull), 1u);
    EXPECT_EQ(listing(a_.h()), blocks);
    EXPECT_EQ(std::count(p_, p_ + 32, 0x5a), 32);
}

TEST_F(SwMemRealloc, NullPointerAllocates) {
    char* r = static_cast<char*>(realloc(nullptr, 16));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(listing(a_.h()).back(), (Listed{r, 16}));
    EXPECT_EQ(realloc(r, -1), nullptr);
    EXPECT_EQ(listing(a_.h()).back(), (Listed{r, 16}));
}

TEST_F(SwMemRealloc, ForeignPointerIsRefusedWithoutReadingIt) {
    // A page that faults on any access: a realloc that copied from it would crash.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* guard = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(guard, MAP_FAILED);
    int before = 0;
    const auto blocks = listing(a_.h(), &before);
    EXPECT_EQ(realloc(guard, 64), nullptr);
    EXPECT_EQ(realloc(p_ + 4, 400), nullptr);
    int after = 0;
    EXPECT_EQ(listing(a_.h(), &after), blocks);
    EXPECT_EQ(after, before);
    munmap(guard, page);
}

TEST(SwMemCallocStrdup, ZeroFillAndCopies) {
    Arena a(512, 4);
    void* dirty = a.alloc(37);
    memset(dirty, 0xee, 37);
    a.free(dirty);
    unsigned char* z = static_cast<unsigned char*>(sw_mem_calloc(a.h(), 37, __FILE__, __LINE__));
    ASSERT_EQ(z, dirty);
    EXPECT_EQ(std::count(z, z + 37, 0), 37);
    EXPECT_EQ(sw_mem_strdup(a.h(), nullptr, __FILE__, __LINE__), nullptr);
    char* empty = sw_mem_strdup(a.h(), "", __FILE__, __LINE__);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(*empty, '\0');
    EXPECT_EQ(listing(a.h()).back(), (Listed{empty, 1}));
    char* copy = sw_mem_strdup(a.h(), "Hikrobot", __FILE__, __LINE__);
    EXPECT_STREQ(copy, "Hikrobot");
}

TEST(SwMemThreads, ConcurrentAllocFreeKeepBlocksIntact) {
    Arena a(64 * 1024, 8);
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    std::vector<int> damaged(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            std::vector<std::pair<unsigned char*, int>> mine;
            for (int i = 0; i < kRounds; ++i) {
                if (mine.size() < 8 && rng() % 3 != 0) {
                    const int n = static_cast<int>(rng() % 200);
                    auto* p = static_cast<unsigned char*>(a.alloc(n));
                    if (p != nullptr) {
                        memset(p, t + 1, static_cast<size_t>(n));
                        mine.emplace_back(p, n);
                    }
                } else if (!mine.empty()) {
                    const size_t k = rng() % mine.size();
                    const auto blk = mine[k];
                    damaged[t] += static_cast<int>(blk.second - std::count(blk.first, blk.first + blk.second, t + 1));
                    a.free(blk.first);
                    mine.erase(mine.begin() + static_cast<long>(k));
                }
            }
            for (const auto& blk : mine) a.free(blk.first);
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(damaged[t], 0) << t;
    EXPECT_TRUE(listing(a.h()).empty());
}

// ---- Model-based random test -------------------------------------------------------------------

// The container as a sorted vector of blocks, offsets counted from the data area's start.
class Model {
public:
    struct Block {
        uintptr_t node;
        int size;
        unsigned pattern;
    };

    Model(int area, int align) : area_(area), align_(static_cast<uintptr_t>(align)), span_(node_span(align)) {}

    // Data offset of the new block, or -1 when the container must refuse it.
    int64_t alloc(int size, unsigned pattern) {
        const size_t n = blocks_.size();
        const int64_t endPlace = n == 0 ? 0 : static_cast<int64_t>(behind(n - 1));
        if (static_cast<int64_t>(area_) - (endPlace + static_cast<int64_t>(span_)) >= size) {
            return insert(n, static_cast<uintptr_t>(endPlace), size, pattern);
        }
        size_t i = 0;
        int64_t seen = 0;
        if (hint_ < 0) {
            if (n == 0) return -1;
            seen = static_cast<int64_t>(blocks_[0].node) - static_cast<int64_t>(span_);
            if (seen >= size) {
                hint_ = 0;
                return insert(0, 0, size, pattern);
            }
        } else {
            while (static_cast<int64_t>(blocks_[i].node) != hint_) ++i;
        }
        for (; i + 1 < n; ++i) {
            const int64_t gap = static_cast<int64_t>(blocks_[i + 1].node) - static_cast<int64_t>(behind(i) + span_);
            if (seen < static_cast<int64_t>(align_)) {
                hint_ = static_cast<int64_t>(blocks_[i].node);
                seen = gap;
            }
            if (gap >= size) return insert(i + 1, behind(i), size, pattern);
        }
        return -1;
    }

    // Index of the block with this data offset, or -1.
    long find(int64_t data) const {
        for (size_t i = 0; i < blocks_.size(); ++i) {
            if (static_cast<int64_t>(blocks_[i].node + span_) == data) return static_cast<long>(i);
        }
        return -1;
    }

    void free(long i) {
        const uintptr_t node = blocks_[static_cast<size_t>(i)].node;
        if (hint_ >= 0 && hint_ >= static_cast<int64_t>(node)) {
            hint_ = i == 0 ? -1 : static_cast<int64_t>(blocks_[static_cast<size_t>(i) - 1].node);
        }
        blocks_.erase(blocks_.begin() + i);
    }

    // True when block i can take `size` bytes where it is.
    bool fits_in_place(long i, int size) const {
        const Block& b = blocks_[static_cast<size_t>(i)];
        const size_t next = static_cast<size_t>(i) + 1;
        const uintptr_t limit = next < blocks_.size() ? blocks_[next].node : static_cast<uintptr_t>(area_);
        return size <= b.size || b.node + span_ + static_cast<uintptr_t>(size) <= limit;
    }

    void reset() {
        blocks_.clear();
        hint_ = -1;
        history_ = 0;
    }

    std::vector<Block>& blocks() { return blocks_; }
    uintptr_t span() const { return span_; }
    int history() const { return history_; }

private:
    uintptr_t behind(size_t i) const {
        return blocks_[i].node + span_ + up(static_cast<uintptr_t>(blocks_[i].size), align_);
    }
    int64_t insert(size_t at, uintptr_t node, int size, unsigned pattern) {
        blocks_.insert(blocks_.begin() + static_cast<long>(at), Block{node, size, pattern});
        history_ = std::max(history_, static_cast<int>(node + span_) + size);
        return static_cast<int64_t>(node + span_);
    }

    int area_;
    uintptr_t align_;
    uintptr_t span_;
    std::vector<Block> blocks_;
    int64_t hint_ = -1;  // node offset of the hint, -1 for none
    int history_ = 0;
};

struct ModelCase {
    int align;
    int bufSize;
};

// Emulation and sanitizers are 5 to 20 times slower; the host runs the full count.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(__arm__)
constexpr int kOpsPerCase = 1000;
#else
constexpr int kOpsPerCase = 4000;
#endif

class SwMemModel : public ::testing::TestWithParam<ModelCase> {
protected:
    void SetUp() override {
        // Byte values 1..255 so that pattern slices also serve as NUL-free strings.
        ramp_.resize(static_cast<size_t>(GetParam().bufSize) + 512);
        for (size_t i = 0; i < ramp_.size(); ++i) ramp_[i] = static_cast<unsigned char>(1 + i % 255);
    }

    const unsigned char* pattern(unsigned p) const { return ramp_.data() + p % 255; }

    // Every observable property of the container against the model.
    void verify(void* h, Model& m, uintptr_t data, uintptr_t end, int align) {
        int history = 0;
        const auto listed = listing(h, &history);
        ASSERT_EQ(history, m.history());
        ASSERT_EQ(listed.size(), m.blocks().size());
        uintptr_t floor = data;
        for (size_t i = 0; i < listed.size(); ++i) {
            const Model::Block& b = m.blocks()[i];
            const uintptr_t p = addr(listed[i].ptr);
            ASSERT_EQ(p, data + b.node + m.span()) << "block " << i;
            ASSERT_EQ(listed[i].size, b.size) << "block " << i;
            // Independent of the model: aligned, inside the area, clear of its predecessor.
            ASSERT_EQ(p % static_cast<uintptr_t>(align), 0u);
            ASSERT_GE(p, floor + m.span());
            ASSERT_LE(p + static_cast<uintptr_t>(b.size), end);
            floor = p + up(static_cast<uintptr_t>(b.size), static_cast<uintptr_t>(align));
            ASSERT_EQ(memcmp(listed[i].ptr, pattern(b.pattern), static_cast<size_t>(b.size)), 0) << "block " << i;
        }
    }

    std::vector<unsigned char> ramp_;
};

TEST_P(SwMemModel, RandomSequenceMatchesTheModel) {
    const ModelCase mc = GetParam();
    const unsigned seed = 0x5eedu + static_cast<unsigned>(mc.align * 7919 + mc.bufSize);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // An odd start, so that small alignments put the header and nodes at odd addresses.
    Arena a(mc.bufSize, mc.align, 1 + static_cast<int>(seed % 7));
    Arena other(256, 8);
    void* theirs = other.alloc(4);
    ASSERT_NE(a.h(), nullptr);
    const uintptr_t data = a.data(mc.align);
    const int area = sw_mem_getTotalSize(a.h());
    ASSERT_EQ(static_cast<uintptr_t>(area), a.end() - data);
    Model m(area, mc.align);
    unsigned nextPattern = 0;
    size_t refusals = 0;

    auto pick_size = [&] {
        const unsigned r = rng() % 100;
        const int cap = r < 70 ? 48 : r < 95 ? mc.bufSize / 8 : mc.bufSize / 2;
        return static_cast<int>(rng() % static_cast<unsigned>(cap + 1));
    };
    auto pick_live = [&]() -> long { return m.blocks().empty() ? -1 : static_cast<long>(rng() % m.blocks().size()); };
    auto ptr_of = [&](long i) {
        return reinterpret_cast<char*>(data + m.blocks()[static_cast<size_t>(i)].node + m.span());
    };
    // Checks the result of an allocating call against the model's choice.
    auto placed = [&](void* got, int64_t want) -> bool {
        if (want < 0) {
            ++refusals;
            EXPECT_EQ(got, nullptr);
            return false;
        }
        EXPECT_EQ(addr(got), data + static_cast<uintptr_t>(want));
        return got != nullptr && addr(got) == data + static_cast<uintptr_t>(want);
    };

    StdoutCapture cap;
    for (int step = 0; step < kOpsPerCase && !HasFailure(); ++step) {
        const unsigned op = rng() % 100;
        const unsigned pat = nextPattern++;
        if (op < 30) {
            const int n = pick_size();
            void* p = sw_mem_alloc(a.h(), n, __FILE__, __LINE__);
            if (placed(p, m.alloc(n, pat))) memcpy(p, pattern(pat), static_cast<size_t>(n));
        } else if (op < 38) {
            const int n = pick_size();
            auto* p = static_cast<unsigned char*>(sw_mem_calloc(a.h(), n, __FILE__, __LINE__));
            if (placed(p, m.alloc(n, pat))) {
                EXPECT_EQ(std::count(p, p + n, 0), n);
                memcpy(p, pattern(pat), static_cast<size_t>(n));
            }
        } else if (op < 43) {
            const std::string s(reinterpret_cast<const char*>(pattern(pat)), static_cast<size_t>(pick_size()));
            char* p = sw_mem_strdup(a.h(), s.c_str(), __FILE__, __LINE__);
            const int n = static_cast<int>(s.size()) + 1;
            if (placed(p, m.alloc(n, pat))) {
                EXPECT_STREQ(p, s.c_str());
                memcpy(p, pattern(pat), static_cast<size_t>(n));
            }
        } else if (op < 63) {
            const long i = rng() % 8 == 0 ? -1 : pick_live();
            const int n = pick_size();
            if (i < 0) {
                void* p = sw_mem_realloc(a.h(), nullptr, n, __FILE__, __LINE__);
                if (placed(p, m.alloc(n, pat))) memcpy(p, pattern(pat), static_cast<size_t>(n));
            } else {
                char* old = ptr_of(i);
                void* p = sw_mem_realloc(a.h(), old, n, __FILE__, __LINE__);
                Model::Block& b = m.blocks()[static_cast<size_t>(i)];
                if (m.fits_in_place(i, n)) {
                    EXPECT_EQ(p, old);
                    EXPECT_EQ(memcmp(old, pattern(b.pattern), static_cast<size_t>(std::min(n, b.size))), 0);
                    b.size = n;
                } else {
                    const unsigned keep = b.pattern;
                    const int oldSize = b.size;
                    if (placed(p, m.alloc(n, keep))) {
                        m.free(m.find(static_cast<int64_t>(addr(old) - data)));
                        EXPECT_EQ(memcmp(p, pattern(keep), static_cast<size_t>(oldSize)), 0);
                    }
                }
                const long j = m.find(static_cast<int64_t>(addr(p != nullptr ? p : old) - data));
                if (j >= 0) memcpy(ptr_of(j), pattern(m.blocks()[static_cast<size_t>(j)].pattern),
                                   static_cast<size_t>(m.blocks()[static_cast<size_t>(j)].size));
            }
        } else if (op < 93) {
            const long i = pick_live();
            if (i >= 0) {
                sw_mem_free(a.h(), ptr_of(i), __FILE__, __LINE__);
                m.free(i);
            }
        } else if (op < 99) {
            // Pointers the container must not accept: inside a block, or from another container.
            const long i = pick_live();
            char* bad = i >= 0 && m.blocks()[static_cast<size_t>(i)].size > 0 ? ptr_of(i) + 1
                                                                              : static_cast<char*>(theirs);
            if (op % 2 == 0) {
                sw_mem_free(a.h(), bad, __FILE__, __LINE__);
            } else {
                EXPECT_EQ(sw_mem_realloc(a.h(), bad, pick_size(), __FILE__, __LINE__), nullptr);
            }
        } else {
            sw_mem_reset(a.h());
            m.reset();
        }
        verify(a.h(), m, data, a.end(), mc.align);
    }
    const std::string out = cap.finish();
    EXPECT_EQ(count_of(out, kFull), refusals);
    EXPECT_GT(refusals, 0u) << "the sequence never filled the container";
}

std::vector<ModelCase> model_cases() {
    std::vector<ModelCase> cases;
    for (int align : {1, 2, 4, 8, 16, 64}) {
        for (int bufSize : {400, 4096, 20000}) cases.push_back({align, bufSize});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AlignAndSize, SwMemModel, ::testing::ValuesIn(model_cases()),
                         [](const ::testing::TestParamInfo<ModelCase>& info) {
                             return "align" + std::to_string(info.param.align) + "_buf" +
                                    std::to_string(info.param.bufSize);
                         });

}  // namespace

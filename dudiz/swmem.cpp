// Memory container: nodes in one address-ordered list inside the caller's buffer, end-first
// placement, then a first-fit gap search that starts at the hint `first`.
//
// The list is the container's record. A release that had to walk far along it to find its block
// asks for a hash table from each node to the node in front of it, which the next allocation
// builds in the widest gap of the data area; releases then find their block, and what to relink,
// without walking. Releases in about the order of allocation find their block a step or two from
// the hint and never ask for it, as keeping it would cost them more than it saves. Placement never
// looks at the table, so it changes no result; a block placed over it drops it (when it filled up
// it is rebuilt larger at once; otherwise a release may ask for it again after as many
// allocations as there are blocks, so that a nearly full container does not rebuild it on every
// call).
//
// Header and nodes may sit at any multiple of `align`, 1 and 2 included, so their fields are read
// and written with memcpy only (ARM faults on misaligned word loads). Addresses are handled as
// uintptr_t, with every sum that can pass the end of the buffer checked for wrap-around.
#include "swmem.h"

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "internal/swlocked.h"
#include "swlog.h"
#include "swmutex.h"

namespace {

struct SMemNode {
    int size;        // size as asked for, not aligned up
    SMemNode* next;  // next node in address order, NULL for the last
};

struct SMemHeader {
    uintptr_t index;      // the table's region; 0: none; 2: build one; 2k+1: none for k more allocations
    int size;             // bytes from the data area's start to the end of the caller's buffer
    int align;            // power of two
    void* hMutex;         // guards the fields below, index, the nodes and the table
    SMemNode* list;       // lowest node, NULL when empty
    SMemNode* first;      // gap-search hint, NULL: begin in front of list
    SMemNode* tail;       // highest node, NULL when empty
    int history_maxsize;  // greatest end offset from the data area's start since creation or reset
};
static_assert(sizeof(uintptr_t) == sizeof(void*), "the header keeps five pointer-sized fields");

// The table's region: three words (the entry count, log2 of the slot count, and the current run of
// releases that a walk would have found at its first step), then the slots, two 32-bit offsets
// each: a node's and its predecessor's, counted from the data area's start plus one (0: an empty
// slot, or no predecessor). Offsets keep a slot at 8 bytes on both targets; the data area is
// smaller than 2 GiB. Linear probing from a multiplicative hash; at most half the slots are used,
// and a new table has four times as many as there are blocks.
constexpr size_t kWord = sizeof(uintptr_t);
constexpr size_t kSlot = 2 * sizeof(uint32_t);

// Benchmarks switch the hint off to show what it saves; nothing else touches it.
std::atomic<bool> g_useHint{true};

// A release that walks past this many nodes asks for the table: below that, walking costs less
// than keeping the table up to date (measured with blocks of 8 to 512 bytes: at 16 live blocks in
// random order, whose releases walk 8 nodes on average, the table costs more than it saves; at 20
// it saves more). The model test lowers it to 0 to check the table in every container.
std::atomic<int> g_walkLimit{16};
constexpr uintptr_t kTableDue = 2;
// Releases in about the order of allocation find their block at the walk's first step: after this
// many in a row the table is dropped, as keeping it costs them more than walking.
constexpr uintptr_t kNearRun = 32;

template <class T>
T load(uintptr_t at) {
    T v;
    // T is often a node pointer; its own size is meant.
    memcpy(&v, reinterpret_cast<const void*>(at), sizeof(T));  // NOLINT(bugprone-sizeof-expression)
    return v;
}

template <class T>
void store(uintptr_t at, const T& v) {
    memcpy(reinterpret_cast<void*>(at), &v, sizeof(T));  // NOLINT(bugprone-sizeof-expression)
}

uintptr_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// a + b, false when the sum wraps.
bool add(uintptr_t a, uintptr_t b, uintptr_t* out) { return !__builtin_add_overflow(a, b, out); }

bool align_up(uintptr_t v, uintptr_t align, uintptr_t* out) {
    if (!add(v, align - 1, out)) return false;
    *out &= ~(align - 1);
    return true;
}

// limit - from as a signed amount; both are addresses near the data area, so it fits.
int64_t room(uintptr_t limit, uintptr_t from) {
    return limit >= from ? static_cast<int64_t>(limit - from) : -static_cast<int64_t>(from - limit);
}

// The data area's start: the header's end aligned up (checked at creation not to wrap).
uintptr_t data_start(uintptr_t hMem, uintptr_t align) {
    return (hMem + sizeof(SMemHeader) + align - 1) & ~(align - 1);
}

// Field access for one container under its lock. Fields are read and written one at a time, in
// place: size, align and hMutex are fixed after creation and read without the lock by other
// calls, so the locked operations never rewrite them. Node addresses are uintptr_t, 0 for none.
class Container {
public:
    explicit Container(const void* hMem)
        : at_(addr(hMem)), align_(static_cast<uintptr_t>(field<int>(offsetof(SMemHeader, align)))) {
        (void)align_up(sizeof(SMemNode), align_, &nodeSpan_);
        const uintptr_t index = field<uintptr_t>(offsetof(SMemHeader, index));
        if ((index & 1) == 0 && index > kTableDue) {
            table_ = index;
            bits_ = static_cast<unsigned>(word(1));
        }
    }

    static uintptr_t nextOf(uintptr_t node) { return addr(load<SMemNode*>(node + offsetof(SMemNode, next))); }
    static int sizeOf(uintptr_t node) { return load<int>(node + offsetof(SMemNode, size)); }
    static void setNext(uintptr_t node, uintptr_t next) {
        store(node + offsetof(SMemNode, next), reinterpret_cast<SMemNode*>(next));
    }
    static void setSize(uintptr_t node, int size) { store(node + offsetof(SMemNode, size), size); }

    uintptr_t list() const { return addr(field<SMemNode*>(offsetof(SMemHeader, list))); }
    uintptr_t first() const { return addr(field<SMemNode*>(offsetof(SMemHeader, first))); }
    uintptr_t tail() const { return addr(field<SMemNode*>(offsetof(SMemHeader, tail))); }
    void setList(uintptr_t n) { setField(offsetof(SMemHeader, list), reinterpret_cast<SMemNode*>(n)); }
    void setFirst(uintptr_t n) { setField(offsetof(SMemHeader, first), reinterpret_cast<SMemNode*>(n)); }
    void setTail(uintptr_t n) { setField(offsetof(SMemHeader, tail), reinterpret_cast<SMemNode*>(n)); }
    int history() const { return field<int>(offsetof(SMemHeader, history_maxsize)); }
    void setHistory(int v) { setField(offsetof(SMemHeader, history_maxsize), v); }
    // The data area: computed where used, so that a release that does not need it skips the work.
    uintptr_t buf() const { return data_start(at_, align_); }
    uintptr_t end() const {
        // Checked at creation: buf + size does not wrap (for a non-positive size, the end is buf).
        const int size = field<int>(offsetof(SMemHeader, size));
        return size > 0 ? buf() + static_cast<uintptr_t>(size) : buf();
    }
    uintptr_t span() const { return nodeSpan_; }

    // Data pointer of a node placed at `node`; false when it would wrap.
    bool dataOf(uintptr_t node, uintptr_t* data) const { return add(node, nodeSpan_, data); }

    // The place right behind a node: its data pointer plus its size aligned up.
    bool placeBehind(uintptr_t node, uintptr_t* place) const {
        uintptr_t data = node + nodeSpan_;  // a linked node's block lies inside the buffer
        uintptr_t sizeUp = 0;
        return align_up(static_cast<uintptr_t>(sizeOf(node)), align_, &sizeUp) && add(data, sizeUp, place);
    }

    // Room of a gap that starts at `place` and ends at `limit`, measured from the data pointer a
    // node at `place` would get; *data receives that pointer. INT64_MIN when the sums wrap.
    int64_t gapRoom(uintptr_t place, uintptr_t limit, uintptr_t* data) const {
        if (!dataOf(place, data)) return INT64_MIN;
        return room(limit, *data);
    }

    int64_t roomBehind(uintptr_t node, uintptr_t limit, uintptr_t* place, uintptr_t* data) const {
        if (!placeBehind(node, place)) return INT64_MIN;
        return gapRoom(*place, limit, data);
    }

    void raiseHistory(uintptr_t data, int size) {
        const int64_t endOffset = static_cast<int64_t>(data - buf()) + size;
        if (endOffset > history()) setHistory(static_cast<int>(endOffset));
    }

    // Finds the node whose data pointer is ptr; *prev receives its predecessor (0 for list). Asks
    // for the table after a long walk, and drops it after a run of releases that a walk would have
    // found at its first step.
    [[gnu::always_inline]] uintptr_t find(uintptr_t ptr, uintptr_t* prev) {
        // Nodes lie in address order, so a pointer beyond the hint's block is searched from the hint.
        const uintptr_t hint = first();
        const uintptr_t start = hint != 0 && hint + nodeSpan_ < ptr ? hint : 0;
        if (table_ != 0) {
            // Only the nodes of live blocks are in the table; their offsets lie within the data area.
            if (ptr < buf() + nodeSpan_ || ptr - nodeSpan_ >= end()) return 0;
            const uint32_t key = keyOf(ptr - nodeSpan_);
            const size_t slot = slotOf(key);
            if (keyAt(slot) != key) return 0;
            *prev = nodeOf(prevAt(slot));
            const uintptr_t near = *prev == start ? word(2) + 1 : 0;
            if (near > kNearRun) {
                drop(0);
            } else {
                setWord(2, near);
            }
            return ptr - nodeSpan_;
        }
        uintptr_t before = start;
        uintptr_t n = start != 0 ? nextOf(start) : list();
        int walked = 0;
        for (; n != 0; before = n, n = nextOf(n), ++walked) {
            if (n + nodeSpan_ == ptr) break;
        }
        if (walked > g_walkLimit.load(std::memory_order_relaxed) &&
            field<uintptr_t>(offsetof(SMemHeader, index)) == 0) {
            setField(offsetof(SMemHeader, index), kTableDue);
        }
        *prev = before;
        return n;
    }

    // Forgets every block and the table.
    void clear() {
        setList(0);
        setFirst(0);
        setTail(0);
        setHistory(0);
        drop(0);
    }

    // Resizes the block of `node` in place; the caller checked that it fits.
    void resize(uintptr_t node, int size) {
        claim(node, node + nodeSpan_ + static_cast<uintptr_t>(size));
        setSize(node, size);
    }

    // Copies the table's used slots, at most max of them, to out as pairs of a block's data pointer
    // and its predecessor's (0 for none); returns the entry count, or -1 without a table.
    int copyTable(uintptr_t* out, int max) const {
        if (table_ == 0) return -1;
        size_t k = 0;
        for (size_t i = 0; i < (size_t{1} << bits_) && k < static_cast<size_t>(max); ++i) {
            if (keyAt(i) == 0) continue;
            out[2 * k] = nodeOf(keyAt(i)) + nodeSpan_;
            out[2 * k + 1] = prevAt(i) != 0 ? nodeOf(prevAt(i)) + nodeSpan_ : 0;
            ++k;
        }
        return static_cast<int>(word(0));
    }

    // Counts an allocation towards the end of a wait for the table; true when it is to be built.
    bool tableDue() {
        if (table_ != 0) return false;
        const uintptr_t index = field<uintptr_t>(offsetof(SMemHeader, index));
        if ((index & 1) != 0) setField(offsetof(SMemHeader, index), index > 1 ? index - 2 : 0);
        return index == kTableDue;
    }

    // The hot paths are inlined into their calls (as are find, enter and put), so that each
    // computes only the fields it uses; the compiler left some of them out of line.
    [[gnu::always_inline]] uintptr_t alloc(int size);
    [[gnu::always_inline]] void release(uintptr_t node, uintptr_t prev);
    void buildTable();

private:
    template <class T>
    T field(size_t offset) const {
        return load<T>(at_ + offset);
    }
    template <class T>
    void setField(size_t offset, const T& v) {
        store(at_ + offset, v);
    }
    uintptr_t word(size_t k) const { return load<uintptr_t>(table_ + k * kWord); }
    void setWord(size_t k, uintptr_t v) { store(table_ + k * kWord, v); }
    uint32_t keyOf(uintptr_t node) const { return node == 0 ? 0 : static_cast<uint32_t>(node - buf() + 1); }
    uintptr_t nodeOf(uint32_t key) const { return key == 0 ? 0 : buf() + key - 1; }
    uintptr_t slotAt(size_t slot) const { return table_ + 3 * kWord + slot * kSlot; }
    uint32_t keyAt(size_t slot) const { return load<uint32_t>(slotAt(slot)); }
    uint32_t prevAt(size_t slot) const { return load<uint32_t>(slotAt(slot) + sizeof(uint32_t)); }
    void setSlot(size_t slot, uint32_t key, uint32_t prev) {
        store(slotAt(slot), key);
        store(slotAt(slot) + sizeof(uint32_t), prev);
    }
    size_t mask() const { return (size_t{1} << bits_) - 1; }
    size_t home(uint32_t key) const { return static_cast<size_t>((key * 0x9E3779B9u) >> (32 - bits_)); }

    // The slot holding `key`, or the empty slot where it would go.
    size_t slotOf(uint32_t key) const {
        size_t i = home(key);
        while (keyAt(i) != 0 && keyAt(i) != key) i = (i + 1) & mask();
        return i;
    }

    // Empties a slot and moves later entries of its probe run back, so that no run has a hole.
    void erase(size_t hole) {
        for (size_t i = (hole + 1) & mask();; i = (i + 1) & mask()) {
            const uint32_t key = keyAt(i);
            if (key == 0) break;
            // An entry may fill the hole unless its home lies between the hole and itself.
            if (((i - home(key)) & mask()) >= ((i - hole) & mask())) {
                setSlot(hole, key, prevAt(i));
                hole = i;
            }
        }
        setSlot(hole, 0, 0);
        setWord(0, word(0) - 1);
    }

    void setPrev(uintptr_t node, uintptr_t prev) {
        store(slotAt(slotOf(keyOf(node))) + sizeof(uint32_t), keyOf(prev));
    }

    // Drops the table; `index` says what comes next (0, kTableDue, or a wait).
    void drop(uintptr_t index) {
        setField(offsetof(SMemHeader, index), index);
        table_ = 0;
    }
    static uintptr_t wait(uint64_t allocs) { return static_cast<uintptr_t>(2 * allocs + 1); }

    // Drops the table when [from, to) reaches into its region, before a block's bytes go there.
    void claim(uintptr_t from, uintptr_t to) {
        if (table_ != 0 && from < slotAt(mask() + 1) && to > table_) drop(wait(word(0)));
    }

    // Enters node y, just linked between x and z (0: none), in the table.
    [[gnu::always_inline]] void enter(uintptr_t x, uintptr_t y, uintptr_t z) {
        if (2 * (word(0) + 1) > mask() + 1) {
            drop(kTableDue);  // half full: rebuilt larger before this allocation returns
            return;
        }
        const uint32_t key = keyOf(y);
        setSlot(slotOf(key), key, keyOf(x));
        setWord(0, word(0) + 1);
        if (z != 0) setPrev(z, y);
    }

    [[gnu::always_inline]] uintptr_t put(uintptr_t node, uintptr_t data, int size, uintptr_t prev,
                                         uintptr_t next);

    uintptr_t at_;
    uintptr_t align_;
    uintptr_t nodeSpan_ = 0;  // node size aligned up
    uintptr_t table_ = 0;     // the table's region, 0 for none
    unsigned bits_ = 0;       // log2 of its slot count
};

// Returns the data pointer of the new block, or 0 when no gap has room.
inline uintptr_t Container::alloc(int size) {
    uintptr_t place = 0;
    uintptr_t data = 0;
    const uintptr_t last = tail();
    const int64_t endRoom = last == 0 ? gapRoom(buf(), end(), &data) : roomBehind(last, end(), &place, &data);
    if (endRoom >= size) return put(last == 0 ? buf() : place, data, size, last, 0);
    const bool useHint = g_useHint.load(std::memory_order_relaxed);
    uintptr_t x = useHint ? first() : 0;
    int64_t seen = 0;  // room of the last gap looked at for the hint
    if (x == 0) {
        const uintptr_t head = list();
        if (head == 0) return 0;
        seen = gapRoom(buf(), head, &data);
        if (seen >= size) {
            if (useHint) setFirst(buf());
            return put(buf(), data, size, 0, head);
        }
        x = head;
    }
    // A block ends at or before the next node's start, so between two linked nodes nothing wraps
    // and next - place is never negative.
    const uintptr_t up = align_ - 1;
    const uintptr_t need = nodeSpan_ + static_cast<uintptr_t>(size);
    uintptr_t next = nextOf(x);
    for (; next != 0 && seen < static_cast<int64_t>(align_); x = next, next = nextOf(x)) {
        place = x + nodeSpan_ + ((static_cast<uintptr_t>(sizeOf(x)) + up) & ~up);
        if (useHint) setFirst(x);
        seen = static_cast<int64_t>(next - place) - static_cast<int64_t>(nodeSpan_);
        if (next - place >= need) return put(place, place + nodeSpan_, size, x, next);
    }
    // The hint has settled: the rest of the search only compares.
    for (; next != 0; x = next, next = nextOf(x)) {
        place = x + nodeSpan_ + ((static_cast<uintptr_t>(sizeOf(x)) + up) & ~up);
        if (next - place >= need) return put(place, place + nodeSpan_, size, x, next);
    }
    return 0;
}

inline void Container::release(uintptr_t node, uintptr_t prev) {
    const uintptr_t next = nextOf(node);
    if (prev == 0) {
        setList(next);
    } else {
        setNext(prev, next);
    }
    if (first() != 0 && first() >= node) setFirst(prev);
    if (tail() == node) setTail(prev);
    if (table_ == 0) return;
    erase(slotOf(keyOf(node)));
    if (next != 0) setPrev(next, prev);
}

// Builds the table in the top of the widest gap, where placement, which fills gaps from their
// start and the area from the highest block up, reaches last. One walk measures the gaps, a
// second fills the slots.
void Container::buildTable() {
    uint64_t n = 0;
    uintptr_t lo = 0;
    uintptr_t hi = 0;
    uintptr_t from = buf();  // start of the gap in front of the next node
    for (uintptr_t x = list();; x = nextOf(x), ++n) {
        const uintptr_t to = x != 0 ? x : end();
        if (to > from && to - from > hi - lo) lo = from, hi = to;
        if (x == 0 || !placeBehind(x, &from)) break;  // only the highest block can reach past the end
    }
    unsigned bits = 4;
    while ((uint64_t{1} << bits) < 4 * n) ++bits;  // at least 16 slots
    const uint64_t bytes = 3 * kWord + (uint64_t{1} << bits) * kSlot;
    if (bytes + kWord > hi - lo) {
        drop(wait(n));
        return;
    }
    table_ = (hi - static_cast<uintptr_t>(bytes)) & ~(kWord - 1);
    bits_ = bits;
    memset(reinterpret_cast<void*>(table_), 0, static_cast<size_t>(bytes));
    setWord(1, bits);
    for (uintptr_t x = list(), prev = 0; x != 0; prev = x, x = nextOf(x)) enter(prev, x, 0);
    setField(offsetof(SMemHeader, index), table_);
}

// Writes a node at `node` for a block of `size` bytes at `data` and links it between prev and
// next (0: none).
inline uintptr_t Container::put(uintptr_t node, uintptr_t data, int size, uintptr_t prev, uintptr_t next) {
    claim(node, data + static_cast<uintptr_t>(size));
    setSize(node, size);
    setNext(node, next);
    if (prev == 0) {
        setList(node);
    } else {
        setNext(prev, node);
    }
    if (next == 0) setTail(node);
    raiseHistory(data, size);
    if (table_ != 0) enter(prev, node, next);
    return data;
}

// The container's lock, held for one operation at a time (dudiz::Locked). The result of the lock
// is not examined: a wait without limit on our own error-checking mutex can only fail on a misuse
// of the handle.
void* mutex_of(const void* hMem) { return load<void*>(addr(hMem) + offsetof(SMemHeader, hMutex)); }

}  // namespace

extern "C" void* sw_mem_create(char* buf, int size, int align) {
    if (buf == nullptr || size <= 0 || align <= 0 || (align & (align - 1)) != 0) return nullptr;
    const uintptr_t start = addr(buf);
    const uintptr_t a = static_cast<uintptr_t>(align);
    uintptr_t end = 0;
    uintptr_t at = 0;
    uintptr_t headerEnd = 0;
    uintptr_t data = 0;
    if (!add(start, static_cast<uintptr_t>(size), &end) || !align_up(start, a, &at) ||
        !add(at, sizeof(SMemHeader), &headerEnd) || headerEnd > end || !align_up(headerEnd, a, &data)) {
        return nullptr;
    }
    SMemHeader h{};
    h.align = align;
    h.size = static_cast<int>(room(end, data));  // data lies less than `align` behind end at worst
    store(at, h);
    h.hMutex = sw_mutex_create();
    if (h.hMutex == nullptr) {
        sw_mem_destroy(reinterpret_cast<void*>(at));
        return nullptr;
    }
    store(at, h);
    return reinterpret_cast<void*>(at);
}

extern "C" void sw_mem_destroy(void* hMem) {
    if (hMem == nullptr) return;
    void* mutex = mutex_of(hMem);
    if (mutex != nullptr) sw_mutex_destroy(mutex);
    store(addr(hMem), SMemHeader{});
}

extern "C" void sw_mem_reset(void* hMem) {
    if (hMem == nullptr) return;
    const dudiz::Locked lock(mutex_of(hMem));
    Container c(hMem);
    c.clear();
}

extern "C" int sw_mem_check(const void* hMem, PMemCheckCallback proc, void* lpParameter) {
    if (hMem == nullptr) return -1;
    const Container c(hMem);
    if (proc != nullptr) {
        for (uintptr_t n = c.list(); n != 0; n = Container::nextOf(n)) {
            proc("", -1, reinterpret_cast<const char*>(n + c.span()), Container::sizeOf(n), lpParameter);
        }
    }
    return c.history();
}

extern "C" int sw_mem_getTotalSize(const void* hMem) {
    if (hMem == nullptr) return -1;
    return load<int>(addr(hMem) + offsetof(SMemHeader, size));
}

extern "C" void* sw_mem_alloc(void* hMem, int size, const char* /*filename*/, int /*line*/) {
    if (hMem == nullptr || size < 0) return nullptr;
    const dudiz::Locked lock(mutex_of(hMem));
    Container c(hMem);
    const uintptr_t data = c.alloc(size);
    if (c.tableDue()) c.buildTable();
    if (data == 0) {
        sw_log_writeWithLevel(LEVEL_ERROR, __FILE__, __LINE__,
                              "sorry, alloc memory fail, because %p memory container is full!!", hMem);
        return nullptr;
    }
    return reinterpret_cast<void*>(data);
}

extern "C" void* sw_mem_calloc(void* hMem, int size, const char* filename, int line) {
    void* p = sw_mem_alloc(hMem, size, filename, line);
    if (p != nullptr) memset(p, 0, static_cast<size_t>(size));
    return p;
}

extern "C" char* sw_mem_strdup(void* hMem, const char* str, const char* filename, int line) {
    if (str == nullptr) return nullptr;
    const size_t len = strlen(str);
    if (len >= static_cast<size_t>(INT_MAX)) return nullptr;
    auto* copy = static_cast<char*>(sw_mem_alloc(hMem, static_cast<int>(len + 1), filename, line));
    if (copy != nullptr) memcpy(copy, str, len + 1);
    return copy;
}

extern "C" void sw_mem_free(void* hMem, void* ptr, const char* /*filename*/, int /*line*/) {
    if (hMem == nullptr) return;
    const dudiz::Locked lock(mutex_of(hMem));
    Container c(hMem);
    uintptr_t prev = 0;
    const uintptr_t node = c.find(addr(ptr), &prev);
    if (node == 0) return;
    c.release(node, prev);
}

extern "C" void* sw_mem_realloc(void* hMem, void* ptr, int size, const char* filename, int line) {
    if (hMem == nullptr || size < 0) return nullptr;
    if (ptr == nullptr) return sw_mem_alloc(hMem, size, filename, line);
    int oldSize = 0;
    {
        const dudiz::Locked lock(mutex_of(hMem));
        Container c(hMem);
        uintptr_t prev = 0;
        const uintptr_t node = c.find(addr(ptr), &prev);
        if (node == 0) return nullptr;  // not ours: neither its size nor its bytes can be trusted
        oldSize = Container::sizeOf(node);
        const uintptr_t next = Container::nextOf(node);
        uintptr_t wanted = 0;
        if (size <= oldSize || (add(addr(ptr), static_cast<uintptr_t>(size), &wanted) &&
                                wanted <= (next != 0 ? next : c.end()))) {
            c.resize(node, size);
            return ptr;
        }
    }
    void* moved = sw_mem_alloc(hMem, size, filename, line);
    if (moved == nullptr) return nullptr;
    memcpy(moved, ptr, static_cast<size_t>(oldSize));
    sw_mem_free(hMem, ptr, filename, line);
    return moved;
}

// Not exported: lets the benchmark measure the gap search without its hint.
extern "C" void sw_mem_setHintUse(bool on) { g_useHint.store(on, std::memory_order_relaxed); }

// Not exported: lets the model test ask for the table after any walk. Returns the old limit.
extern "C" int sw_mem_setWalkLimit(int nodes) { return g_walkLimit.exchange(nodes); }

// Not exported: lets the model test compare the table with the blocks (see Container::copyTable).
extern "C" int sw_mem_copyTable(const void* hMem, uintptr_t* out, int max) {
    const dudiz::Locked lock(mutex_of(hMem));
    return Container(hMem).copyTable(out, max);
}

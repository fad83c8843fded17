// Memory container: nodes in one address-ordered list inside the caller's buffer, end-first
// placement, then a first-fit gap search that starts at the hint `first`.
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
    char* buf;            // start of the data area
    int size;             // bytes from buf to the end of the caller's buffer
    int align;            // power of two
    void* hMutex;         // guards list, first, tail, history_maxsize and the nodes
    SMemNode* list;       // lowest node, NULL when empty
    SMemNode* first;      // gap-search hint, NULL: begin in front of list
    SMemNode* tail;       // highest node, NULL when empty
    int history_maxsize;  // greatest end offset from buf since creation or reset
};

// Benchmarks switch the hint off to show what it saves; nothing else touches it.
std::atomic<bool> g_useHint{true};

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

// Field access for one container under its lock. Fields are read and written one at a time, in
// place: buf, size, align and hMutex are fixed after creation and read without the lock by other
// calls, so the locked operations never rewrite them. Node addresses are uintptr_t, 0 for none.
class Container {
public:
    explicit Container(const void* hMem)
        : at_(addr(hMem)),
          align_(static_cast<uintptr_t>(field<int>(offsetof(SMemHeader, align)))),
          buf_(addr(field<char*>(offsetof(SMemHeader, buf)))) {
        (void)align_up(sizeof(SMemNode), align_, &nodeSpan_);
        const int size = field<int>(offsetof(SMemHeader, size));
        // Checked at creation: buf + size does not wrap (for a non-positive size, the end is buf).
        end_ = size > 0 ? buf_ + static_cast<uintptr_t>(size) : buf_;
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
    uintptr_t end() const { return end_; }
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
        const int64_t endOffset = static_cast<int64_t>(data - buf_) + size;
        if (endOffset > history()) setHistory(static_cast<int>(endOffset));
    }

    // Finds the node whose data pointer is ptr; *prev receives its predecessor (0 for list).
    // Nodes lie in address order, so a pointer beyond the hint's block is searched from the hint.
    uintptr_t find(uintptr_t ptr, uintptr_t* prev) const {
        uintptr_t before = 0;
        uintptr_t n = list();
        const uintptr_t hint = first();
        if (hint != 0 && hint + nodeSpan_ < ptr) {
            before = hint;
            n = nextOf(hint);
        }
        for (; n != 0; before = n, n = nextOf(n)) {
            if (n + nodeSpan_ == ptr) {
                *prev = before;
                return n;
            }
        }
        return 0;
    }

    uintptr_t alloc(int size);
    void release(uintptr_t node, uintptr_t prev);

private:
    template <class T>
    T field(size_t offset) const {
        return load<T>(at_ + offset);
    }
    template <class T>
    void setField(size_t offset, const T& v) {
        store(at_ + offset, v);
    }

    uintptr_t at_;
    uintptr_t align_;
    uintptr_t buf_;
    uintptr_t nodeSpan_ = 0;  // node size aligned up
    uintptr_t end_ = 0;
};

// Returns the data pointer of the new block, or 0 when no gap has room.
uintptr_t Container::alloc(int size) {
    uintptr_t place = 0;
    uintptr_t data = 0;
    const uintptr_t last = tail();
    const int64_t endRoom = last == 0 ? gapRoom(buf_, end_, &data) : roomBehind(last, end_, &place, &data);
    if (endRoom >= size) {
        if (last == 0) place = buf_;
        setSize(place, size);
        setNext(place, 0);
        if (last == 0) {
            setList(place);
        } else {
            setNext(last, place);
        }
        setTail(place);
        raiseHistory(data, size);
        return data;
    }
    const bool useHint = g_useHint.load(std::memory_order_relaxed);
    uintptr_t x = useHint ? first() : 0;
    int64_t seen = 0;  // room of the last gap looked at for the hint
    if (x == 0) {
        const uintptr_t head = list();
        if (head == 0) return 0;
        seen = gapRoom(buf_, head, &data);
        if (seen >= size) {
            setSize(buf_, size);
            setNext(buf_, head);
            setList(buf_);
            if (useHint) setFirst(buf_);
            raiseHistory(data, size);
            return data;
        }
        x = head;
    }
    for (uintptr_t next = nextOf(x); next != 0; x = next, next = nextOf(x)) {
        const int64_t gap = roomBehind(x, next, &place, &data);
        if (seen < static_cast<int64_t>(align_)) {
            if (useHint) setFirst(x);
            seen = gap;
        }
        if (gap >= size) {
            setSize(place, size);
            setNext(place, next);
            setNext(x, place);
            raiseHistory(data, size);
            return data;
        }
    }
    return 0;
}

void Container::release(uintptr_t node, uintptr_t prev) {
    const uintptr_t next = nextOf(node);
    if (prev == 0) {
        setList(next);
    } else {
        setNext(prev, next);
    }
    if (first() != 0 && first() >= node) setFirst(prev);
    if (tail() == node) setTail(prev);
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
    h.buf = reinterpret_cast<char*>(data);
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
    c.setList(0);
    c.setFirst(0);
    c.setTail(0);
    c.setHistory(0);
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
        if (size <= oldSize ||
            (add(addr(ptr), static_cast<uintptr_t>(size), &wanted) && wanted <= (next != 0 ? next : c.end()))) {
            Container::setSize(node, size);
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

// Memory manager: the node table, node frames, series frames and big frames.
//
// The node table is one address range reserved at start-up (pages are committed as they are
// touched). Slot 0 is never used; node frame k owns the 10000 slots from 1 + 10000 k. A used slot
// holds its buffer's address; a free slot holds (next free handle << 1) | 1, so the two can always
// be told apart. Frame numbers of released node frames are reused.
//
// Series frames are bump allocators: buffers are laid back to back, each taking its size + 24
// bytes. When the current frame is full, another frame with room is looked for, then the collector
// runs (when enabled and due, see below), and only then a new frame is made; a new frame is also
// preferred over one that has fewer than 0xCCCC bytes left. A buffer that needs 2 MB or more gets a
// big frame.
//
// A collection costs in proportion to the data still in use. Run each time the frames fill, it
// would cost more and more as that data grows (quadratic time for a program that builds a large
// structure). So a collection is due only once the buffers allocated since the last one add up to
// what was in use after it, and at least to the first frame's size: the collector's work stays in
// proportion to the allocation, and the frames hold at most about twice the data in use.
#include "core/memory.h"

#include "core/errors.h"
#include "core/gc.h"
#include "core/platform.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/throw.h"

#include <algorithm>
#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// The leak checker does not scan mmap'd memory: a node frame's slots, which hold the only
// pointers to heap-allocated (fixed) buffers, are registered with it as a root region.
#define KEL_LSAN_ROOT(p, n) __lsan_register_root_region(p, n)
#define KEL_LSAN_UNROOT(p, n) __lsan_unregister_root_region(p, n)
#else
#define KEL_LSAN_ROOT(p, n) ((void)0)
#define KEL_LSAN_UNROOT(p, n) ((void)0)
#endif

#include <cstdlib>
#include <cstring>
#include <vector>

namespace kel {

uintptr_t* g_node_table = nullptr;
MemoryRecord g_memory;

namespace {

constexpr uint64_t NODE_TABLE_SLOTS = uint64_t(1) << 28;   // 2 GiB of address space, reserved
constexpr uint64_t VIRTUAL_PREFIX = 16;                     // size word before each virtual block

std::vector<NodeFrame*> g_node_frames_by_id;   // frame number -> frame (null when released)
std::vector<uint32_t> g_free_frame_ids;

inline uint64_t round_up(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

inline uintptr_t free_link(Node next) { return (uintptr_t(next) << 1) | 1; }

void node_frame_init_free_list(NodeFrame* f) {
    for (uint32_t i = 0; i + 1 < f->count; ++i) g_node_table[f->first + i] = free_link(f->first + i + 1);
    g_node_table[f->first + f->count - 1] = free_link(0);
    f->free_head = f->first;
}

// Abandons a buffer that expand-series replaced: frame buffers are left for the collector, heap
// buffers are freed at once.
void abandon_buffer(Series* s) {
    s->node = 0;
    s->flags &= ~SER_IN_USE;
    if (s->flags & SER_FIXED) {
        g_memory.heap_total -= int64_t(sizeof(Series) + s->size + 4);
        std::free(s);
    }
}

Series* alloc_heap_buffer(uint64_t units, uint32_t unit, int64_t offset) {
    uint64_t size = round_up(units * unit, 16);
    checked_size(size + SERIES_OVERHEAD);
    uint64_t bytes = sizeof(Series) + size + 4;
    auto* s = static_cast<Series*>(std::malloc(bytes));
    if (!s) fire_error(Err::NoMemory);
    g_memory.heap_total += int64_t(bytes);
    s->flags = unit | SER_IN_USE | SER_BASE | SER_FIXED;
    s->node = 0;
    s->size = uint32_t(size);
    s->head = s->tail = offset < 0 ? uint32_t(size >> 1) : uint32_t(offset);
    s->spare = 0;
    return s;
}

} // namespace

uint32_t checked_size(uint64_t bytes) {
    if (bytes > 0xFFFFFFFFull) fire_error(Err::NoMemory);
    return uint32_t(bytes);
}

void checked_length(uint64_t units) {
    if (units > SERIES_MAX_UNITS) fire_error(Err::NoMemory);
}

void fill_range(uint8_t* start, uint8_t* end, uint8_t byte) {
    if (end > start) std::memset(start, byte, size_t(end - start));
}

void zero_range(uint8_t* start, uint8_t* end) {
    if (end > start) std::memset(start, 0, size_t(end - start) & ~size_t(3));
}

// ---------------------------------------------------------------------------------------------
// Virtual memory

void* alloc_virtual(uint64_t bytes, bool exec) {
    uint64_t rounded = round_up(bytes + VIRTUAL_PREFIX, PAGE_SIZE_BYTES);
    void* p = nullptr;
    try {
        p = os_virtual_alloc(rounded, exec);
    } catch (KelThrow& t) {
        if (t.code != THROW_MEM_ALLOC) throw;
        fire_error(Err::NoMemory);
    }
    g_memory.total += int64_t(rounded);
    *static_cast<uint64_t*>(p) = rounded;
    return static_cast<uint8_t*>(p) + VIRTUAL_PREFIX;
}

void free_virtual(void* p) {
    uint8_t* base = static_cast<uint8_t*>(p) - VIRTUAL_PREFIX;
    uint64_t rounded = *reinterpret_cast<uint64_t*>(base);
    g_memory.total -= int64_t(rounded);
    try {
        os_virtual_free(base, rounded);
    } catch (KelThrow& t) {
        if (t.code != THROW_MEM_FREE) throw;
        fire_error(Err::WrongMem);
    }
}

// ---------------------------------------------------------------------------------------------
// Set-up

void memory_init() {
    if (g_node_table) memory_release_all();   // a second start (tests) begins from nothing
    g_memory = MemoryRecord{};
    g_memory.first_size = SERIES_FRAME_FIRST;
    g_memory.next_size = SERIES_FRAME_FIRST;
    g_memory.max_size = SERIES_FRAME_MAX;
    if (!g_node_table) {
        void* t = mmap(nullptr, NODE_TABLE_SLOTS * sizeof(uintptr_t), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (t == MAP_FAILED) fire_error(Err::NoMemory);
        g_node_table = static_cast<uintptr_t*>(t);
    }
    g_node_frames_by_id.clear();
    g_free_frame_ids.clear();
}

void memory_frames_init() {
    node_frame_new(NODES_PER_FRAME);
    series_frame_new();
}

void memory_release_all() {
    // fixed buffers live on the malloc heap and are reached only through their nodes
    for (NodeFrame* f = g_memory.node_first; f; f = f->next)
        for (uint32_t i = 0; i < f->count; ++i) {
            uintptr_t slot = g_node_table[f->first + i];
            if (slot && !(slot & 1) && (reinterpret_cast<Series*>(slot)->flags & SER_FIXED)) {
                std::free(reinterpret_cast<void*>(slot));
                g_node_table[f->first + i] = 0;
            }
        }
    g_memory.heap_total = 0;
    while (g_memory.node_first) node_frame_free(g_memory.node_first);
    while (g_memory.series_first) series_frame_free(g_memory.series_first);
    while (g_memory.big_first) big_frame_free(g_memory.big_first->buffer());
    g_memory.series_current = nullptr;
    g_memory.node_current = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Nodes

NodeFrame* node_frame_new(uint32_t n) {
    uint32_t id;
    if (!g_free_frame_ids.empty()) {
        id = g_free_frame_ids.back();
        g_free_frame_ids.pop_back();
    } else {
        id = uint32_t(g_node_frames_by_id.size());
        if (1 + uint64_t(id + 1) * NODES_PER_FRAME > NODE_TABLE_SLOTS) fire_error(Err::NoMemory);
        g_node_frames_by_id.push_back(nullptr);
    }
    auto* f = new NodeFrame{};
    f->count = n < NODES_PER_FRAME ? n : NODES_PER_FRAME;
    f->first = 1 + id * NODES_PER_FRAME;
    f->stamp = g_collector_cycles;
    g_node_frames_by_id[id] = f;
    KEL_LSAN_ROOT(g_node_table + f->first, f->count * sizeof(uintptr_t));
    g_memory.total += int64_t(sizeof(NodeFrame) + uint64_t(f->count) * sizeof(uintptr_t));
    node_frame_init_free_list(f);
    f->prev = g_memory.node_last;
    if (g_memory.node_last) g_memory.node_last->next = f; else g_memory.node_first = f;
    g_memory.node_last = f;
    if (!g_memory.node_current) g_memory.node_current = f;
    return f;
}

NodeFrame* node_frame_of(Node n) {
    uint32_t id = (n - 1) / NODES_PER_FRAME;
    return id < g_node_frames_by_id.size() ? g_node_frames_by_id[id] : nullptr;
}

void node_frame_free(NodeFrame* f) {
    if (f->prev) f->prev->next = f->next; else g_memory.node_first = f->next;
    if (f->next) f->next->prev = f->prev; else g_memory.node_last = f->prev;
    if (g_memory.node_current == f) g_memory.node_current = g_memory.node_last;
    uint32_t id = (f->first - 1) / NODES_PER_FRAME;
    KEL_LSAN_UNROOT(g_node_table + f->first, f->count * sizeof(uintptr_t));
    // give the slot pages back; they read as zero when the frame number is reused
    uintptr_t* slots = g_node_table + f->first;
    uintptr_t page_start = round_up(reinterpret_cast<uintptr_t>(slots), PAGE_SIZE_BYTES);
    uintptr_t page_end = reinterpret_cast<uintptr_t>(slots + f->count) & ~(PAGE_SIZE_BYTES - 1);
    if (page_end > page_start) madvise(reinterpret_cast<void*>(page_start), page_end - page_start, MADV_DONTNEED);
    std::memset(slots, 0, (page_start > reinterpret_cast<uintptr_t>(slots) ? page_start - reinterpret_cast<uintptr_t>(slots) : 0));
    g_node_frames_by_id[id] = nullptr;
    g_free_frame_ids.push_back(id);
    g_memory.total -= int64_t(sizeof(NodeFrame) + uint64_t(f->count) * sizeof(uintptr_t));
    delete f;
}

Node alloc_node() {
    NodeFrame* f = g_memory.node_current;
    if (!f || f->free_head == 0) {
        f = g_memory.node_first;
        while (f && (f->free_head == 0 || f->evacuated)) f = f->next;
        if (!f) f = node_frame_new(NODES_PER_FRAME);
        g_memory.node_current = f;
    }
    Node n = f->free_head;
    f->free_head = Node(g_node_table[n] >> 1);
    g_node_table[n] = 0;
    f->used++;
    return n;
}

void free_node(NodeFrame* f, Node n) {
    g_node_table[n] = free_link(f->free_head);
    f->free_head = n;
    f->used--;
}

// ---------------------------------------------------------------------------------------------
// Series frames

SeriesFrame* series_frame_new() {
    uint64_t size = g_memory.next_size;
    if (g_memory.next_size < g_memory.max_size) {
        g_memory.next_size *= 2;
        if (g_memory.next_size > g_memory.max_size) g_memory.next_size = g_memory.max_size;
    }
    auto* f = static_cast<SeriesFrame*>(alloc_virtual(size + sizeof(SeriesFrame)));
    f->bytes = size + sizeof(SeriesFrame);
    f->alloc = f->data_start();
    f->end = f->data_start() + size;
    // keep the list sorted by address
    SeriesFrame* after = nullptr;
    for (SeriesFrame* p = g_memory.series_first; p && p < f; p = p->next) after = p;
    f->prev = after;
    f->next = after ? after->next : g_memory.series_first;
    if (f->next) f->next->prev = f; else g_memory.series_last = f;
    if (after) after->next = f; else g_memory.series_first = f;
    if (!g_memory.series_current) g_memory.series_current = f;
    return f;
}

SeriesFrame* series_frame_find(uint64_t bytes) {
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next)
        if (uint64_t(f->end - f->alloc) > bytes) return f;
    return nullptr;
}

void series_frame_free(SeriesFrame* f) {
    if (f->prev) f->prev->next = f->next; else g_memory.series_first = f->next;
    if (f->next) f->next->prev = f->prev; else g_memory.series_last = f->prev;
    if (g_memory.series_current == f) g_memory.series_current = g_memory.series_last;
    free_virtual(f);
}

// ---------------------------------------------------------------------------------------------
// Buffers

namespace {

uint64_t g_allocated_since = 0;   // buffer bytes allocated since the last collection
uint64_t g_in_use_after = 0;      // bytes in use in series and big frames after it
uint32_t g_paced_cycle = 0;       // g_collector_cycles when those two were taken

uint64_t frame_bytes_in_use() {
    uint64_t used = 0;
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next) used += uint64_t(f->alloc - f->data_start());
    for (BigFrame* f = g_memory.big_first; f; f = f->next) used += f->bytes;
    return used;
}

void pace_from_now() {
    g_paced_cycle = g_collector_cycles;
    g_in_use_after = frame_bytes_in_use();
    g_allocated_since = 0;
}

// The collector's run when the frames are full: only when due (see the top of the file).
void collect_when_due() {
    if (g_collector_cycles != g_paced_cycle) pace_from_now();   // a cycle ran elsewhere (recycle)
    if (g_allocated_since < std::max(g_in_use_after, g_memory.first_size)) return;
    collector_run();
    if (g_collector_cycles != g_paced_cycle) pace_from_now();
}

} // namespace

Series* alloc_series_buffer(uint64_t units, uint32_t unit, int64_t offset) {
    if (units > 0xFFFFFFFFull) fire_error(Err::NoMemory);
    uint64_t size = round_up(units * unit, 16);
    uint64_t needed = size + SERIES_OVERHEAD;
    checked_size(needed);
    if (g_collector_stress) collector_run();

    Series* s;
    bool big = needed >= g_memory.max_size;
    g_allocated_since += needed;
    if (big) {
        if (!g_collector_stress) collect_when_due();
        s = big_frame_new(needed);
    } else {
        SeriesFrame* f = g_memory.series_current;
        if (!f || uint64_t(f->end - f->alloc) <= needed) {
            f = series_frame_find(needed);
            if (!f) {
                if (!g_collector_stress) collect_when_due();
                f = series_frame_find(needed);
            }
            if (!f || uint64_t(f->end - f->alloc) < SERIES_FRAME_MIN_ROOM) {
                if (needed >= g_memory.next_size) g_memory.next_size = g_memory.max_size;
                f = series_frame_new();
            }
            g_memory.series_current = f;
        }
        s = reinterpret_cast<Series*>(f->alloc);
        f->alloc += needed;
    }
    s->flags = unit | SER_IN_USE | SER_BASE | (big ? uint32_t(SER_BIG) : 0u);
    if (offset < 0) {
        s->flags |= SER_MIDDLE_HEAD;
        offset = int64_t(size >> 1);
    }
    s->node = 0;
    s->size = uint32_t(size);
    s->head = s->tail = uint32_t(offset);
    s->spare = 0;
    return s;
}

Node alloc_series(uint64_t units, uint32_t unit, int64_t offset) {
    Series* s = alloc_series_buffer(units, unit, offset);
    Node n = alloc_node();
    node_set_series(n, s);
    s->node = n;
    return n;
}

Node alloc_cells(uint64_t n) { return alloc_series(n, 16, 0); }

Node alloc_cells_unset(uint64_t n) {
    Node node = alloc_cells(n);
    Series* s = node_series(node);
    Cell* c = reinterpret_cast<Cell*>(s->data());
    for (uint32_t i = 0; i < s->size / 16; ++i) c[i] = Cell{T_UNSET, 0, 0, 0};
    return node;
}

Node alloc_bytes(uint64_t n) { return alloc_series(n ? n : 16, 1, 0); }

Node alloc_bytes_filled(uint64_t n, uint8_t byte) {
    Node node = alloc_bytes(n);
    Series* s = node_series(node);
    fill_range(s->data(), s->end_ptr(), byte);
    return node;
}

Node alloc_units(uint64_t n, uint32_t unit) {
    if (n == 0) n = 16 >> (unit >> 1);
    return alloc_series(n, unit, 0);
}

Node alloc_unmanaged_series(uint64_t units, uint32_t unit, int64_t offset) {
    if (units > 0xFFFFFFFFull) fire_error(Err::NoMemory);
    Series* s = alloc_heap_buffer(units, unit, offset);
    Node n = alloc_node();
    node_set_series(n, s);
    s->node = n;
    return n;
}

void free_unmanaged_series(Node n) {
    Series* s = node_series(n);
    g_memory.heap_total -= int64_t(sizeof(Series) + s->size + 4);
    std::free(s);
    free_node(node_frame_of(n), n);
}

void series_set_flag(Node n, uint32_t bits) { node_series(n)->flags |= bits; }

// Moves the series of node to a new buffer of new_size bytes, copying the used part to the new
// data start when asked. The allocation comes first: a collection it runs may move the old buffer.
static Series* expand_node(Node node, uint64_t new_size, bool copy) {
    Series* s = node_series(node);
    uint32_t unit = s->unit();
    if (new_size == 0) new_size = uint64_t(s->size) * 2;
    if (new_size == 0 || unit == 0) fire_error(Err::NoMemory);
    // the new buffer holds at least the bytes asked for and the used part it takes over
    if (new_size < uint64_t(s->tail - s->head)) new_size = s->tail - s->head;
    checked_size(new_size + SERIES_OVERHEAD);
    uint64_t units = (new_size + unit - 1) / unit;
    Series* fresh = (s->flags & SER_FIXED) ? alloc_heap_buffer(units, unit, 0)
                                           : alloc_series_buffer(units, unit, 0);
    s = node_series(node);
    uint32_t used = s->tail - s->head;
    if (copy) std::memcpy(fresh->data(), s->head_ptr(), used);
    fresh->flags = (s->flags & ~SER_MANAGER_BITS) | (fresh->flags & SER_MANAGER_BITS);
    fresh->node = node;
    fresh->head = 0;
    fresh->tail = used;
    node_set_series(node, fresh);
    abandon_buffer(s);
    return fresh;
}

Series* expand_series(Series* s, uint64_t new_size) { return expand_node(s->node, new_size, false); }

Series* expand_series_copy(Series* s, uint64_t new_size) { return expand_node(s->node, new_size, true); }

// The used part moves to the data start, so everything after it is new room and gets the byte
// (filling only from the old size would leave stale bytes behind a used part whose head was not
// at the start).
Series* expand_series_filled(Series* s, uint64_t new_size, uint8_t byte) {
    Series* fresh = expand_node(s->node, new_size, true);
    fill_range(fresh->tail_ptr(), fresh->end_ptr(), byte);
    return fresh;
}

Node copy_series(Series* s) {
    Node src = s->node;
    Node node = alloc_bytes(s->size);
    Series* from = node_series(src);
    Series* to = node_series(node);
    std::memcpy(to->data(), from->data(), from->size);
    to->flags = (from->flags & ~SER_MANAGER_BITS) | (to->flags & SER_MANAGER_BITS);
    to->head = from->head;
    to->tail = from->tail;
    return node;
}

// ---------------------------------------------------------------------------------------------
// Big frames

Series* big_frame_new(uint64_t bytes) {
    auto* f = static_cast<BigFrame*>(alloc_virtual(bytes + sizeof(BigFrame)));
    f->bytes = bytes;
    f->next = nullptr;
    f->prev = g_memory.big_last;
    if (g_memory.big_last) g_memory.big_last->next = f; else g_memory.big_first = f;
    g_memory.big_last = f;
    return f->buffer();
}

void big_frame_free(Series* buffer) {
    BigFrame* f = reinterpret_cast<BigFrame*>(buffer) - 1;
    if (f->prev) f->prev->next = f->next; else g_memory.big_first = f->next;
    if (f->next) f->next->prev = f->prev; else g_memory.big_last = f->prev;
    free_virtual(f);
}

void sweep_big_frames() {
    for (BigFrame* f = g_memory.big_first; f;) {
        BigFrame* next = f->next;
        Series* s = f->buffer();
        if (s->flags & SER_MARK) {
            s->flags &= ~SER_MARK;
        } else {
            if (s->node && node_series(s->node) == s) node_free_queue_add(s->node);
            big_frame_free(s);
        }
        f = next;
    }
}

void compact_node_frames() {
    g_memory.node_current = nullptr;
    for (NodeFrame* f = g_memory.node_first; f;) {
        NodeFrame* next = f->next;
        if (f->used == 0 || f->evacuated) {
            node_frame_free(f);
        } else {
            if (!g_memory.node_current && f->used < f->count) g_memory.node_current = f;
            f->history = (f->history << 1) | (f->used == f->prev_used ? 1u : 0u);
            f->prev_used = f->used;
        }
        f = next;
    }
    if (!g_memory.node_current) g_memory.node_current = g_memory.node_last;
}

// ---------------------------------------------------------------------------------------------
// Statistics

static Cell stat_number(uint64_t v) {
    return v > 2147483647ull ? make_float(double(v)) : make_integer(int32_t(v));
}

double memory_stats(Cell* block, int mode) {
    // collection stays off for the walk and comes back on however it ends (building the mode-2
    // blocks may raise no-memory)
    struct Restore {
        bool enabled = g_collector_enabled;
        ~Restore() { g_collector_enabled = enabled; }
    } restore;
    g_collector_enabled = false;
    struct Triple { uint64_t free, used, total; };
    std::vector<Triple> nodes, series;
    std::vector<uint64_t> bigs;
    double in_use = 0;
    uint64_t frames_total = 0;
    for (NodeFrame* f = g_memory.node_first; f; f = f->next) {
        nodes.push_back({f->count - f->used, f->used, f->count});
        in_use += double(f->used) * sizeof(uintptr_t);
        frames_total += sizeof(NodeFrame) + uint64_t(f->count) * sizeof(uintptr_t);
    }
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next) {
        uint64_t used = uint64_t(f->alloc - f->data_start());
        uint64_t total = uint64_t(f->end - f->data_start());
        series.push_back({total - used, used, total});
        in_use += double(used);
        frames_total += f->bytes;
    }
    for (BigFrame* f = g_memory.big_first; f; f = f->next) {
        bigs.push_back(f->bytes);
        in_use += double(f->bytes);
        frames_total += f->bytes + sizeof(BigFrame);
    }
    if (mode == 2 && block) {
        // the figures are gathered first: building the blocks allocates
        Node target = series_node(block);
        auto triples = [&](const std::vector<Triple>& rows) {
            Node outer = alloc_cells(rows.size() + 1);
            Rooted keep(make_series(T_BLOCK, outer));
            for (const Triple& t : rows) {
                Node inner = alloc_cells(3);
                block_append(inner, stat_number(t.free));
                block_append(inner, stat_number(t.used));
                block_append(inner, stat_number(t.total));
                Cell v = make_series(T_BLOCK, inner);
                v.header |= CELL_NEWLINE;
                block_append(outer, v);
            }
            Cell v = make_series(T_BLOCK, outer);
            v.header |= CELL_NEWLINE;
            block_append(target, v);
        };
        triples(nodes);
        triples(series);
        Node big_block = alloc_cells(bigs.size() + 1);
        {
            Rooted keep(make_series(T_BLOCK, big_block));
            for (uint64_t b : bigs) {
                Cell v = stat_number(b);
                v.header |= CELL_NEWLINE;
                block_append(big_block, v);
            }
            Cell v = make_series(T_BLOCK, big_block);
            v.header |= CELL_NEWLINE;
            block_append(target, v);
        }
        block_append(target, stat_number(frames_total + uint64_t(g_memory.heap_total)));
        block_append(target, stat_number(uint64_t(g_memory.heap_total)));
    }
    return mode == 1 ? in_use : 0;
}

} // namespace kel

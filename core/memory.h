// Memory manager: nodes, series buffers and the frames they live in.
//
// Every series (block, string, binary, context values...) lives in a series buffer and is reached
// through exactly one node. A node is a 32-bit handle: the index of a slot in one process-wide
// node table whose slot holds the buffer's address. The table is a single reserved address range;
// node frames are chunks of 10000 consecutive slots of it, each with its own free list, so that a
// handle is turned into an address with one load. Buffers move (the collector compacts the series
// frames, expand-series moves data to a bigger buffer): never keep a buffer or cell address across
// a call that may allocate, fetch it again through the node.
//
// Buffers are bump-allocated from series frames (1 MB first, doubling to 2 MB); a buffer of 2 MB
// or more gets a big frame of its own. Frames come from the operating system (mmap) and are
// returned to it when the collector empties them. Sizes are computed in 64 bits; a size that does
// not fit raises the internal error no-memory.
#pragma once

#include "core/cell.h"

#include <cstddef>
#include <cstdint>

namespace kel {

using Node = uint32_t;  // 0 is "no node"

// Series buffer flags (word 0 of the buffer header).
enum : uint32_t {
    SER_UNIT_MASK   = 0x1F,        // unit size in bytes: 1, 2, 4, 8 or 16
    SER_UTF16_INPUT = 0x40000,     // text loaded from UTF-16 input
    SER_OWNED       = 0x20000,     // the series has an owner (ownership tracking)
    SER_FIXED       = 0x00100000,  // from the malloc heap, outside every frame
    SER_BIG         = 0x01000000,  // lives in a big frame of its own
    SER_MARK        = 0x08000000,  // reached by the collector
    SER_MIDDLE_HEAD = 0x10000000,  // made with its head in the middle
    SER_BASE        = 0x20000000,  // made by the memory manager
    SER_IN_USE      = 0x80000000,  // in use; cleared on a buffer abandoned by expand-series
    // the memory manager's own bits; a copy takes only the others from its source
    SER_MANAGER_BITS = SER_IN_USE | SER_BASE | SER_MIDDLE_HEAD | SER_MARK | SER_BIG | SER_FIXED,
};

// Series buffer header. head and tail are byte offsets from the start of the data area; the data
// area (size bytes, a multiple of 16) follows the header. In a series frame a buffer occupies
// size + 24 bytes.
struct Series {
    uint32_t flags;
    Node node;      // the node that leads here, 0 on an abandoned buffer
    uint32_t size;  // bytes in the data area
    uint32_t head;
    uint32_t tail;
    uint32_t spare;

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
    uint32_t unit() const { return flags & SER_UNIT_MASK; }
    uint8_t* head_ptr() { return data() + head; }
    uint8_t* tail_ptr() { return data() + tail; }
    uint8_t* end_ptr() { return data() + size; }
    uint32_t used() const { return tail - head; }            // bytes between head and tail
    uint32_t length() const { return (tail - head) / unit(); } // units between head and tail
    Cell* cells() { return reinterpret_cast<Cell*>(head_ptr()); }
    [[gnu::always_inline]] Cell* cell_at(uint32_t i) { return reinterpret_cast<Cell*>(head_ptr()) + i; }
    Cell* cell_tail() { return reinterpret_cast<Cell*>(tail_ptr()); }
};
static_assert(sizeof(Series) == 24);
constexpr uint32_t SERIES_OVERHEAD = 24;

constexpr uint32_t NODES_PER_FRAME = 10000;
constexpr uint64_t SERIES_FRAME_FIRST = 0x100000;   // 1 MB
constexpr uint64_t SERIES_FRAME_MAX = 0x200000;     // 2 MB, also the big-buffer threshold
constexpr uint64_t SERIES_FRAME_MIN_ROOM = 0xCCCC;  // prefer a new frame over less room than this
constexpr uint64_t PAGE_SIZE_BYTES = 4096;

// The node table. Slot 0 is never used; a used slot holds the buffer address, a free slot holds
// (next free handle << 1) | 1.
extern uintptr_t* g_node_table;
inline Series* node_series(Node n) { return reinterpret_cast<Series*>(g_node_table[n]); }
inline bool node_slot_used(Node n) { return (g_node_table[n] & 1) == 0 && g_node_table[n] != 0; }
inline void node_set_series(Node n, Series* s) { g_node_table[n] = reinterpret_cast<uintptr_t>(s); }

struct NodeFrame {
    NodeFrame* next;
    NodeFrame* prev;
    uint32_t count;        // nodes in the frame (10000)
    Node first;            // handle of slot 0 of this frame
    Node free_head;        // first free handle, 0 when full
    uint32_t used;         // used nodes
    uint32_t stamp;        // collector cycle count at creation
    uint32_t prev_used;    // used count at the previous compaction pass
    uint32_t history;      // shift register: bit 0 set when used did not change over a pass
    uint32_t evacuated;    // 1 once the collector moved every node out
    bool contains(Node n) const { return n >= first && n < first + count; }
};

struct SeriesFrame {
    SeriesFrame* next;
    SeriesFrame* prev;
    uint64_t bytes;   // data size + header
    uint8_t* alloc;   // first free byte
    uint8_t* end;     // one past the data area
    uint8_t* data_start() { return reinterpret_cast<uint8_t*>(this + 1); }
};

struct BigFrame {
    BigFrame* next;
    BigFrame* prev;
    uint64_t bytes;   // bytes of the buffer it holds (header + data)
    Series* buffer() { return reinterpret_cast<Series*>(this + 1); }
};

struct MemoryRecord {
    int64_t total;                    // bytes taken from the operating system
    NodeFrame* node_first;
    NodeFrame* node_last;
    NodeFrame* node_current;
    SeriesFrame* series_first;
    SeriesFrame* series_current;
    SeriesFrame* series_last;
    uint64_t first_size;
    uint64_t next_size;
    uint64_t max_size;
    BigFrame* big_first;
    BigFrame* big_last;
    int64_t heap_total;               // bytes of unmanaged (malloc heap) series, headers included
};
extern MemoryRecord g_memory;

// Set-up and tear-down.
void memory_init();
void memory_frames_init();  // the first node frame and the first series frame
void memory_release_all();

// Virtual memory (mmap). alloc_virtual raises no-memory on failure, free_virtual wrong-mem.
void* alloc_virtual(uint64_t bytes, bool exec = false);
void free_virtual(void* p);

// Nodes.
NodeFrame* node_frame_new(uint32_t n = NODES_PER_FRAME);
Node alloc_node();
void free_node(NodeFrame* f, Node n);
NodeFrame* node_frame_of(Node n);
void node_frame_free(NodeFrame* f);

// Series frames and buffers. offset is the byte offset of the head from the data start, or -1 to
// place it in the middle.
SeriesFrame* series_frame_new();
SeriesFrame* series_frame_find(uint64_t bytes);
void series_frame_free(SeriesFrame* f);
Series* alloc_series_buffer(uint64_t units, uint32_t unit, int64_t offset);
Node alloc_series(uint64_t units, uint32_t unit, int64_t offset);
Node alloc_cells(uint64_t n);
Node alloc_cells_unset(uint64_t n);
Node alloc_bytes(uint64_t n);
Node alloc_bytes_filled(uint64_t n, uint8_t byte);
Node alloc_units(uint64_t n, uint32_t unit);
Node alloc_unmanaged_series(uint64_t units, uint32_t unit, int64_t offset);
void free_unmanaged_series(Node n);
void series_set_flag(Node n, uint32_t bits);

// Growth and copies. expand_series may collect; the returned buffer replaces s (fetch it again
// through its node if needed).
Series* expand_series(Series* s, uint64_t new_size);
Series* expand_series_copy(Series* s, uint64_t new_size);
Series* expand_series_filled(Series* s, uint64_t new_size, uint8_t byte);
Node copy_series(Series* s);

// Big frames.
Series* big_frame_new(uint64_t bytes);
void big_frame_free(Series* buffer);
void sweep_big_frames();

// Node-frame compaction after a collection: releases empty and evacuated frames.
void compact_node_frames();

// Statistics: mode 1 returns the bytes in use; mode 2 appends the detailed figures to the block
// value and returns 0.
double memory_stats(Cell* block, int mode);

void fill_range(uint8_t* start, uint8_t* end, uint8_t byte);
void zero_range(uint8_t* start, uint8_t* end);

// Checked size arithmetic: raises no-memory when the result leaves 32 bits.
uint32_t checked_size(uint64_t bytes);

// The most units a series may hold: its length and every index into it are 32-bit integer!
// values. A narrow string or a binary could otherwise grow past that within the 32-bit byte size.
constexpr uint64_t SERIES_MAX_UNITS = 0x7FFFFFFF;
// Raises no-memory when a series would hold more units than that.
void checked_length(uint64_t units);

// The largest buffer size a series can be given: its data, rounded up to 16 bytes, and its
// header stay within the 32-bit byte size.
constexpr uint64_t SERIES_MAX_BYTES = 0xFFFFFFE0ull;
static_assert(SERIES_MAX_BYTES % 16 == 0 && SERIES_MAX_BYTES + SERIES_OVERHEAD <= 0xFFFFFFFFull);
// The size a buffer grows to: the roomier `wanted` when a buffer of that size can be made,
// otherwise just what is `needed`.
inline uint64_t growth_size(uint64_t needed, uint64_t wanted) {
    return wanted <= SERIES_MAX_BYTES ? wanted : needed;
}

} // namespace kel

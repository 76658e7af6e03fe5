// The garbage collector: precise, non-incremental mark and sweep with compaction.
//
// It marks every buffer reachable from the runtime's roots (the root block and the runtime's
// global nodes, the symbol and ownership tables, the data and call stacks, the global context,
// the slot list, Rooted cells and the mark callbacks that subsystems register), releases unmarked
// external resources, slides live buffers down in the series frames, frees the nodes of dead
// buffers and moves nodes out of sparse node frames so that whole frames can be released. It runs
// when the memory manager cannot place a buffer and from `recycle`; KEL_GC_STRESS=1 makes every
// allocation collect first.
//
// Marking uses a work stack on the heap, never native recursion, so data of any depth is marked
// in bounded native stack. Nothing here looks at the native stack: C++ code keeps the values it
// needs across an allocation in roots (the data stack, Rooted cells, or a mark callback).
//
// Rules for code the collector calls back during a cycle (mark callbacks, hashtable marking,
// external-resource release callbacks): allocate no series and do not collect.
//
// Node renumbering. When node frames are sparse the collector moves the nodes of a frame into
// other frames and rewrites every reference it marks (cells, Rooted cells, stack cells, call
// frames, the cycle-detection stack, references marked through collector_mark_series). A node
// kept only in a C++ variable that no root reaches is NOT rewritten. Renumbering therefore
// happens only in cycles started by collector_cycle() itself (the `recycle` native, tests), never
// in the cycles an allocation starts: the allocation's callers may be holding nodes in locals.
// A subsystem that keeps nodes in C++ globals registers a mark callback that marks them by
// address (collector_mark_series(&g_node) and kin), so they are rewritten too.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

using MarkCallback = void (*)();

extern bool g_collector_enabled;          // collection on demand happens only while set
extern bool g_collector_stress;           // KEL_GC_STRESS=1: collect before every allocation
extern bool g_node_evacuation_enabled;    // node frames may be evacuated (cleared around rebuilds)
extern uint32_t g_collector_cycles;       // cycles run, stamped into node frames
extern uint32_t g_node_compactions;       // cycles that evacuated at least one node frame

constexpr uint32_t COLLECTOR_MAX_CALLBACKS = 100;
constexpr uint32_t NODE_FREE_QUEUE_SIZE = 20000;
constexpr uint32_t NODE_HISTORY_DEPTH = 5;
constexpr uint32_t NODE_EVACUATE_BELOW = 5000;      // used nodes of an evacuated frame
constexpr uint32_t NODE_EVACUATE_FREE = 10000;      // free nodes needed in all frames
constexpr uint64_t SERIES_FRAME_MOVE_ROOM = 0xCCCD; // room that allows moving into a frame

// What the last cycle did (for `recycle` figures, tests and benchmarks).
struct CollectorStats {
    uint64_t nanoseconds;        // duration of the last cycle
    uint64_t total_nanoseconds;  // of all cycles
    uint32_t nodes_freed;        // nodes of dead buffers returned to their frames
    uint32_t nodes_evacuated;    // nodes moved out of sparse frames
    uint32_t frames_released;    // series frames released by compaction
    uint64_t bytes_moved;        // buffer bytes moved by compaction
};
extern CollectorStats g_collector_stats;

void collector_init();
void collector_run();      // one cycle when enabled (the memory manager's entry); no renumbering
void collector_cycle();    // one cycle regardless of the flag
bool collector_active();
bool collector_register(MarkCallback cb);   // false when the list is full
void collector_unregister(MarkCallback cb);

// `recycle` without refinement: one cycle, then the bytes in use (memory_stats mode 1) as an
// integer! cell, or a float! above 2147483647.
Cell collector_recycle();

// Marking, for mark callbacks and type-specific code. References are passed by address so that
// the collector can rewrite a node it moved. Cell ranges are [first, last): last is one past the
// final cell. A cell range is queued and marked before the outermost marking call returns.
bool collector_mark_series(Node* ref);       // true when newly marked
void collector_mark_block_node(Node* ref);   // the series and, newly marked, its cells
void collector_mark_block(Cell* block);      // a series value: its node as a block of cells
void collector_mark_context(Node* ref);
void collector_mark_cells(Cell* first, Cell* last);
void collector_unmark_node(Node n);
// The node a reference leads to after this cycle's renumbering (n itself when it did not move).
Node collector_redirected(Node n);

// Dead nodes wait in a queue and go back to their frames in one sorted pass.
void node_free_queue_add(Node n);
void node_free_queue_flush();

} // namespace kel

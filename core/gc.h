// The garbage collector: precise, non-incremental mark and sweep with compaction.
//
// It marks every buffer reachable from the runtime's roots (the root block, the symbol and
// ownership tables, the data and call stacks, the global context, the slot list, Rooted cells and
// the mark callbacks that subsystems register), releases unmarked external resources, slides live
// buffers down in the series frames, frees the nodes of dead buffers and moves nodes out of sparse
// node frames so that whole frames can be released. It runs when the memory manager cannot place
// a buffer and from `recycle`; KEL_GC_STRESS=1 makes every allocation collect first.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

using MarkCallback = void (*)();

extern bool g_collector_enabled;   // collection on demand happens only while set
extern bool g_collector_stress;    // KEL_GC_STRESS=1: collect before every allocation
extern uint32_t g_collector_cycles;

void collector_init();
void collector_run();      // one cycle when enabled
void collector_cycle();    // one cycle regardless of the flag
bool collector_active();
bool collector_register(MarkCallback cb);   // false when the list is full
void collector_unregister(MarkCallback cb);

// Marking, for mark callbacks and type-specific code. References are passed by address so that
// the collector can rewrite a node it moved.
bool collector_mark_series(Node* ref);
void collector_mark_block_node(Node* ref);
void collector_mark_context(Node* ref);
void collector_mark_cells(Cell* first, Cell* last);
void collector_unmark_node(Node n);

} // namespace kel

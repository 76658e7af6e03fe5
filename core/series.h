// Series basics over value cells: growing a block by one cell, reserving bytes at a series tail,
// copying part of a series, and the root block with its boot values.
//
// Every function here may allocate (and so move buffers) unless it says otherwise; each returns
// fresh addresses valid until the next allocation.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

namespace kel {

// The root block: a fixed block that the collector treats as a root. Boot value i is cell i.
// root_blocks_init makes it (9748 cells) and, inside it, the data-stack block (20000 cells), the
// call-stack block (240000 bytes, 12000 frames of 20 bytes), both fixed, and the symbol table's
// growable block (room for 4000 cells).
extern Node g_root_block;
extern Node g_data_stack_node;
extern Node g_call_stack_node;
extern Node g_symbol_block;
constexpr uint32_t ROOT_BLOCK_CELLS = 9748;
constexpr uint32_t DATA_STACK_CELLS = 20000;
constexpr uint32_t CALL_STACK_BYTES = 240000;
constexpr uint32_t SYMBOL_BLOCK_CELLS = 4000;
void root_blocks_init();
Cell* boot_cell(uint32_t index);
uint32_t boot_cell_word(uint32_t index);

// Appends one cell (header unset!, payload as it was) at the tail of the block's buffer, doubling
// the buffer when it is full; returns the new cell.
Cell* append_cell(const Cell* block);
Cell* reserve_cell(Node node);
// Appends a copy of value to the block; returns the new cell.
Cell* block_append(Node node, const Cell& value);
// Reserves n bytes at the tail; returns the old tail. The caller writes the n bytes.
uint8_t* reserve_tail_bytes(Node node, uint64_t n);
// A new buffer holding units [offset, offset + length) of the series, with its unit; the owned
// mark and the memory manager's own bits are not copied.
Node copy_series_part(Node node, uint64_t offset, uint64_t length);

// A series value's buffer and its first cell at the value's index.
inline Series* value_series(const Cell* v) { return node_series(series_node(v)); }

} // namespace kel

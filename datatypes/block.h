// block! and paren!: the block accessors and the builders the whole runtime uses.
//
// Every function that may allocate says so; Cell* results are valid until the next allocation.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

// Accessors (no allocation). rs_head clips a head index beyond the tail to the tail, in the cell.
Cell* block_rs_head(Cell* block);
Cell* block_rs_tail(const Cell* block);
int32_t block_rs_length(const Cell* block);   // from the head, never below 0
bool block_rs_tail_q(Cell* block);
void block_rs_clear(Cell* block);

// Builders (allocate). The target cell reads unset while the buffer is made.
Cell* block_make_at(Cell* cell, int32_t room);
Cell* block_make_in(Cell* parent, int32_t room);   // parent null: a cell of the root block
Cell* block_push_only(int32_t room);               // a new empty block on the data stack
Cell* block_append_value(Cell* block, const Cell* value);  // returns the new cell
void block_append_block(Cell* target, const Cell* source);
Cell* block_insert_value(Cell* block, const Cell* value, bool advance, bool at_start);
// Pushes a new block with copies of the source's cells from its head (deep: nested blocks too,
// any_block: also parens and paths), typed as the source.
Cell* block_clone(const Cell* source, bool deep, bool any_block);
// The cell after the first word-kind cell with the symbol (exact: same id, else same canonical
// symbol), or the shared none cell.
const Cell* block_select_word(const Cell* block, uint32_t symbol, bool exact);
const Cell* block_select_value(const Cell* block, const Cell* value);

} // namespace kel

// block! and paren!: the block accessors and the builders the whole runtime uses.
//
// A block value is a series value (core/cell.h) over a buffer of 16-byte cells: word 1 the head
// index in cells, word 2 the node. Every function that may allocate says so; Cell* results are
// valid until the next allocation. Cell* arguments of the builders may lie anywhere (on the data
// stack, in a Rooted, inside another block): the builders copy what they need before allocating
// and fetch the buffers again afterwards, except that a target cell that receives a new value
// (block_make_at's cell, the block cell whose head an insertion advances) must not lie in a series
// buffer.
#pragma once

#include "core/cell.h"
#include "core/memory.h"
#include "datatypes/datatype.h"

#include <cstdint>

namespace kel {

// Accessors (no allocation). rs_head clips a head index beyond the tail to the tail, in the cell.
Cell* block_rs_head(Cell* block);
Cell* block_rs_tail(const Cell* block);
int32_t block_rs_length(const Cell* block);   // from the head, never below 0
bool block_rs_tail_q(Cell* block);
void block_rs_clear(Cell* block);             // the tail moves to the head; no notification

// Builders (allocate). The target cell reads unset while the buffer is made.
Cell* block_make_at(Cell* cell, int32_t room);
Cell* block_make_in(Cell* parent, int32_t room);   // parent null: a cell of the root block
Cell* block_push_only(int32_t room);               // a new empty block on the data stack
Cell* block_append_value(Cell* block, const Cell* value);  // returns the new cell
void block_append_block(Cell* target, const Cell* source);
Cell* block_insert_value(Cell* block, const Cell* value, bool advance, bool at_start);
// Inserts copies of the source's cells at the target's head and moves the head past them.
void block_insert_block(Cell* target, const Cell* source);
// Pushes a new block with copies of the source's cells from its head (deep: nested blocks too,
// any_block: also parens and paths), typed as the source. A block that contains itself raises
// internal no-cycle.
Cell* block_clone(const Cell* source, bool deep, bool any_block);
// The cell after the first word-kind cell with the symbol (exact: same id, else same canonical
// symbol), or the shared none cell.
const Cell* block_select_word(const Cell* block, uint32_t symbol, bool exact);
const Cell* block_select_value(const Cell* block, const Cell* value);
// Removes the first cell equal to the value, searching from the head (or from index 0); answers 0
// when nothing was removed, else 1 when the removed cell's index was at most the head index and 0
// otherwise. May run the owner's notification handlers.
int32_t block_remove_value(Cell* block, const Cell* value, bool from_start);

// ---- Searching (block find and select) --------------------------------------------------------------

// The cell index (from the buffer's first cell) of the first match of value in the block under
// the find options, or -1. `match_length` receives the number of cells the match covers (the
// length of a sequence, else 1). Raises the option errors of find. No allocation.
int64_t block_find_index(const Cell* block, const Cell* value, const FindOpts& opts,
                         uint32_t* match_length);

// ---- Actions (rows of block! and the types that inherit it) -------------------------------------

void block_find(Cell* series, const Cell* value, const FindOpts& opts);
void block_select(Cell* series, const Cell* value, const FindOpts& opts);
int32_t block_compare(const Cell* a, const Cell* b, int32_t op);
void block_copy(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);
void block_insert(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool append);
void block_make(Cell* proto, Cell* spec, TypeId type);
void block_to(Cell* proto, Cell* spec, TypeId type);
void block_change(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup);
void block_put(Cell* series, const Cell* key, const Cell* value, bool case_);
void block_swap(Cell* a, Cell* b);
// unique (op 8), union (9), intersect (10), exclude (11), difference (12) of two blocks (second
// is ignored for unique): records of skip cells keyed by their first cell; the result replaces
// first, head 0.
void block_set_operation(Cell* first, const Cell* second, int32_t op, bool case_, const Cell* skip);
void block_sort(Cell* series, const SortOpts& opts);
void block_take(Cell* series, const Cell* part, bool deep, bool last);
void block_trim(Cell* series, const TrimOpts& opts);
void block_eval_path(Cell* parent, const PathStep& step);
// For every cell of [first, end) stepping by step whose type is in types (a typeset! or a
// datatype!) and which is a series, bitset!, object!, error! or map!: the cell becomes its copy
// (deep copy with the types when deep).
void block_copy_nested(Cell* block, uint32_t first, uint32_t end, uint32_t step, bool deep,
                       const Cell* types);
// The item loop of block and paren molds (also used by hash!).
int32_t block_mold_each(const Cell* block, Cell* buffer, bool only, bool all, bool flat, bool part,
                        int32_t budget, int32_t indent);
// Mold of a block-like value between the open and close texts; a value already being molded
// writes the marker instead.
int32_t block_mold_delimited(const Cell* value, Cell* buffer, bool only, bool all, bool flat,
                             bool part, int32_t budget, int32_t indent, const char* open,
                             const char* close, const char* marker);
int32_t block_form(const Cell* value, Cell* buffer, bool part, int32_t budget);
int32_t block_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                   int32_t budget, int32_t indent);

} // namespace kel

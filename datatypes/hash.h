// hash!: a block whose cells are also indexed by a hash table (core/hash.h, kind hash), so that
// find and select look values up instead of scanning. The cell is a block cell with the table's
// node in word 3. Every block action works on a hash!; the editing ones keep its table in step
// through hash_block_edited, which the series owner notification calls after each change.
#pragma once

#include "core/cell.h"
#include "datatypes/series.h"

#include <cstdint>

namespace kel {

// Makes a new table over the cells of the block value's buffer and turns the cell into a hash!
// (the block is taken over, not copied). The cell must not lie in a series buffer. The table is
// sized for at least `capacity` cells.
void hash_from_block(Cell* cell, uint32_t capacity = 0);

// The table of a hash! value when it indexes the value's own block, else 0.
Node hash_table_of(const Cell* series);

// After an editing action changed a hash!'s block (event, first cell index and count as the owner
// notification gives them): brings the table in step. A no-op for other types.
void hash_block_edited(const Cell* series, SeriesEvent event, int32_t index, int32_t count);
// The `old_count` cells at index were replaced by the `new_count` cells now there (-1: up to the
// tail, of the old or of the new block); the cells before index are unchanged.
void hash_block_changed(const Cell* series, int32_t index, int32_t old_count, int32_t new_count);

} // namespace kel

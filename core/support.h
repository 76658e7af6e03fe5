// Runtime services that natives, routines and the interpreter call directly: checked number
// conversion and the value selection that `switch` is built on.
#pragma once

#include "core/cell.h"

#include <cstdint>

namespace kel {

// A count or index given as integer! or float!: a float! is truncated toward zero; above
// 2147483647.0, below -2147483648.0 or NaN it raises script out-of-range with the value. Any other
// cell gives the 32-bit integer of its payload.
int32_t float_to_int_checked(const Cell* value);

// Searches the block from its head for a cell of the value's type that is equal to it, stepping
// one cell (step_one) or two (key/value records). Returns the cell after the match, or with
// to_block the first block! after the match (the form `switch` uses); the shared none cell when
// nothing matches, when the match is the block's last cell, or when the value is itself a block!.
// The cell returned lies in the block's buffer (or is the none cell): copy it before allocating.
const Cell* select_in_block(const Cell* value, Cell* block, bool step_one, bool to_block);

} // namespace kel

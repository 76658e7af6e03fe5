// The action entry layer: one entry per action that takes its arguments from the current native
// frame, finds the implementation for the first argument's type and calls it; typed entries that
// C++ code calls with explicit arguments; the comparison protocol.
#pragma once

#include "core/cell.h"
#include "datatypes/datatype.h"

#include <cstdint>

namespace kel {

// Fills the action entry table (start-up, after every datatype registered).
void init_actions();

// Typed entries (dispatch on the value's type; an unsupported action raises script expect-arg).
// form/mold append to the string buffer and return the budget left; a budget of INT32_MAX and
// part false mean no limit.
int32_t form_typed(const Cell* value, Cell* buffer, bool part, int32_t budget);
int32_t mold_typed(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                   int32_t budget, int32_t indent);

// The generic comparison: the truth of `a op b` (ops 0-6, 9-12); -2 from the implementation under
// an ordering op raises script invalid-compare.
bool compare_truth(const Cell* a, const Cell* b, int32_t op);
// The raw element order (-1, 0, 1) used by block, object and map code.
int32_t compare_values(const Cell* a, const Cell* b, int32_t op);

} // namespace kel

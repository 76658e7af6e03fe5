// Runtime services for natives, routines and the interpreter (see core/support.h).
#include "core/support.h"

#include "core/errors.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "evaluator/actions.h"

#include <cmath>

namespace kel {

int32_t float_to_int_checked(const Cell* value) {
    if (!value->is(T_FLOAT)) return cell_integer(value);
    double d = value->get_float();
    if (std::isnan(d) || d > 2147483647.0 || d < -2147483648.0) fire_error(Err::OutOfRange, value);
    return int32_t(std::trunc(d));
}

const Cell* select_in_block(const Cell* value, Cell* block, bool step_one, bool to_block) {
    if (value->is(T_BLOCK)) return &g_none_cell;
    const uint32_t step = step_one ? 1 : 2;
    Cell* head = block_rs_head(block);
    const int32_t length = block_rs_length(block);
    // The comparison calls no code that allocates, so the buffer stays where it is.
    for (int32_t i = 0; i < length; i += step) {
        const Cell* c = head + i;
        if (c->type() != value->type() || !compare_truth(c, value, CMP_EQUAL)) continue;
        if (!to_block) return i + 1 < length ? c + 1 : &g_none_cell;
        for (int32_t j = i + 1; j < length; ++j)
            if (head[j].is(T_BLOCK)) return head + j;
        return &g_none_cell;
    }
    return &g_none_cell;
}

} // namespace kel

// percent!: a float! shown as a percentage (0.125 is 12.5%). It is a child of float!: its
// arithmetic, comparison, conversion and random behaviour are the float datatype's, taken from
// its row at registration; only its text and its constructors are its own. The text is the value
// times 100 through the float formatter's percent kind (13 significant digits), with "%" after.
#include "datatypes/compound.h"

#include "core/series.h"
#include "core/stack.h"
#include "datatypes/scalars.h"

namespace kel {

Cell* percent_set(Cell* c, double d) {
    *c = make_percent(d);
    return c;
}
Cell* percent_push(double d) { return stack_push(make_percent(d)); }
Cell* percent_make_in(const Cell* block, double d) {
    return block_append(series_node(block), make_percent(d));
}

static int32_t percent_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    return scalar_emit(buffer, float_format(value->get_float() * 100.0, FK_PERCENT), budget);
}

static int32_t percent_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part,
                            int32_t budget, int32_t) {
    return percent_form(value, buffer, part, budget);
}

void percent_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    for (Action a : {A_MAKE, A_RANDOM, A_TO, A_COMPARE, A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY,
                     A_NEGATE, A_POWER, A_REMAINDER, A_ROUND, A_SUBTRACT, A_EVEN_Q, A_ODD_Q})
        e[a - 1] = INHERIT;
    set_entry<A_FORM>(e, percent_form);
    set_entry<A_MOLD>(e, percent_mold);
    register_datatype(T_PERCENT, T_FLOAT, "percent!", e);
}

} // namespace kel

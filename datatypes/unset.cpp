// unset!: the absence of a value. It forms as nothing, molds as "unset" ("#(unset)" under /all),
// and is equal only to another unset value.
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/scalars.h"

namespace kel {

void unset_box() { set_cell_type(g_stack.arguments, T_UNSET); }
Cell* unset_push() { return stack_push(g_unset_cell); }
Cell* unset_make_in(const Cell* block) { return block_append(series_node(block), g_unset_cell); }

// make and to: whatever the spec, a new unset value.
static void unset_make(Cell* proto, Cell*, TypeId) { *proto = g_unset_cell; }

static int32_t unset_form(const Cell*, Cell*, bool, int32_t budget) { return budget; }

static int32_t unset_mold(const Cell*, Cell* buffer, bool, bool all, bool, bool, int32_t budget,
                          int32_t) {
    return scalar_emit(buffer, all ? "#(unset)" : "unset", budget);
}

// Shared by unset! and none!: comparable only with the same type, and then always equal.
int32_t unit_value_compare(const Cell* a, const Cell* b, int32_t op) {
    if (b->type() != a->type()) return CMP_NOT_COMPARABLE;
    switch (op) {
    case CMP_EQUAL: case CMP_NOT_EQUAL: case CMP_STRICT_EQUAL: case CMP_SORT: case CMP_CASE_SORT:
    case CMP_SAME: case CMP_SEARCH:
        return 0;
    default:
        return CMP_NOT_COMPARABLE;
    }
}

void unset_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, unset_make);
    set_entry<A_TO>(e, unset_make);
    set_entry<A_FORM>(e, unset_form);
    set_entry<A_MOLD>(e, unset_mold);
    set_entry<A_COMPARE>(e, unit_value_compare);
    register_datatype(T_UNSET, T_NONE_ID, "unset!", e);
}

} // namespace kel

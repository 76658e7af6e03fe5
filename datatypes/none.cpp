// none!: the empty value returned where nothing is found. It forms and molds as "none"
// ("#(none)" under /all), is equal only to none, and the series actions clear, find, remove,
// select and take answer none on it while length? answers none (through -1).
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/scalars.h"

namespace kel {

int32_t unit_value_compare(const Cell* a, const Cell* b, int32_t op);  // unset.cpp

void none_box() { set_cell_type(g_stack.arguments, T_NONE); }
Cell* none_push() { return stack_push(g_none_cell); }
Cell* none_make_in(const Cell* block) { return block_append(series_node(block), g_none_cell); }

static void none_make(Cell* proto, Cell*, TypeId) { *proto = g_none_cell; }

static int32_t none_form(const Cell*, Cell* buffer, bool, int32_t budget) {
    return scalar_emit(buffer, "none", budget);
}

static int32_t none_mold(const Cell*, Cell* buffer, bool, bool all, bool, bool, int32_t budget,
                         int32_t) {
    return scalar_emit(buffer, all ? "#(none)" : "none", budget);
}

static void none_clear(Cell* v) { *v = g_none_cell; }
static void none_find(Cell* v, const Cell*, const FindOpts&) { *v = g_none_cell; }
static int32_t none_length(const Cell*) { return -1; }
static void none_remove(Cell* v, const Cell*, const Cell*) { *v = g_none_cell; }
static void none_take(Cell* v, const Cell*, bool, bool) { *v = g_none_cell; }

void none_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, none_make);
    set_entry<A_TO>(e, none_make);
    set_entry<A_FORM>(e, none_form);
    set_entry<A_MOLD>(e, none_mold);
    set_entry<A_COMPARE>(e, unit_value_compare);
    set_entry<A_CLEAR>(e, none_clear);
    set_entry<A_FIND>(e, none_find);
    set_entry<A_LENGTH_Q>(e, none_length);
    set_entry<A_REMOVE>(e, none_remove);
    set_entry<A_SELECT>(e, none_find);
    set_entry<A_TAKE>(e, none_take);
    register_datatype(T_NONE, T_NONE_ID, "none!", e);
}

} // namespace kel

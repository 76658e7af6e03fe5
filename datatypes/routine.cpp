// routine!: a C++ entry of the environment, described by a spec, and the table of those entries.
//
// The environment registers its C++ entries by name in the routine table (routine_register) and
// makes routine! values for them at start-up (routine_make). Every routine works like a native:
// its arguments are the current frame's cells and its result goes into the frame's first cell,
// so the header's pointer-call bit (15) is always set. More-block cell 2 holds the integer! index
// of the entry in the table, cell 4 the declared return type. make routine! is not supported: only
// the start-up code makes routines. reflect is function!'s, inherited.
#include "core/context.h"
#include "core/hash.h"
#include "core/series.h"
#include "core/stack.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <cstring>

namespace kel {

namespace {

struct RoutineSlot {
    const char* name;
    RoutineFn fn;
};
RoutineSlot g_routines[ROUTINE_TABLE_SLOTS];
uint32_t g_routine_count = 0;

int32_t append_text(Cell* buffer, const char* text, int32_t budget) {
    string_concatenate_literal(buffer, text);
    return budget - int32_t(std::strlen(text));
}

int32_t routine_form(const Cell*, Cell* buffer, bool, int32_t budget) {
    return append_text(buffer, "?routine?", budget);
}

int32_t routine_mold(const Cell* value, Cell* buffer, bool, bool all, bool flat, bool part,
                     int32_t budget, int32_t indent) {
    CollectorHold hold;   // the spec and body cells below stay valid while text is appended
    Cell r = *value;
    Cell spec = function_spec_block(&r);
    Cell body = *function_more_cell(&r, MORE_BODY);
    budget = append_text(buffer, "routine ", budget);
    budget = mold_typed(&spec, buffer, false, all, flat, part, budget, indent);
    if (body.is(T_BLOCK)) return mold_typed(&body, buffer, false, all, flat, part, budget, indent);
    budget = append_text(buffer, " ", budget);
    return mold_typed(&body, buffer, false, all, flat, part, budget, indent);
}

} // namespace

uint32_t routine_register(const char* name, RoutineFn fn) {
    uint32_t i = routine_index(name);
    if (i) {
        g_routines[i - 1].fn = fn;
        return i;
    }
    if (g_routine_count >= ROUTINE_TABLE_SLOTS) fire_error(Err::NoMemory);
    g_routines[g_routine_count] = RoutineSlot{name, fn};
    return ++g_routine_count;
}

uint32_t routine_index(const char* name) {
    for (uint32_t i = 0; i < g_routine_count; ++i)
        if (std::strcmp(g_routines[i].name, name) == 0) return i + 1;
    return 0;
}

RoutineFn routine_entry(uint32_t index) {
    return index >= 1 && index <= g_routine_count ? g_routines[index - 1].fn : nullptr;
}

const char* routine_name(uint32_t index) {
    return index >= 1 && index <= g_routine_count ? g_routines[index - 1].name : nullptr;
}

Cell* routine_make(const Cell* spec_in, const Cell* body_in, uint32_t index, int32_t return_type) {
    Cell spec = *spec_in;
    Cell body = body_in ? *body_in : make_none();
    CollectorHold hold;
    Node spec_node = series_node(&spec);
    uint32_t length = node_series(spec_node)->length();
    uint32_t head = series_index(&spec) < length ? series_index(&spec) : length;
    if (head > 0) spec_node = copy_series_part(spec_node, head, length - head);
    spec = make_series(T_BLOCK, spec_node, 0);
    uint32_t arity = 0;
    for (uint32_t i = 0; i < node_series(spec_node)->length(); ++i)
        if (node_series(spec_node)->cell_at(i)->is(T_WORD)) ++arity;
    Node ctx = context_make_from_spec(&spec, true, false, CONTEXT_FUNCTION);
    Node more = alloc_cells_unset(FUNCTION_MORE_CELLS);
    Series* m = node_series(more);
    Cell* cells = reinterpret_cast<Cell*>(m->data());
    cells[MORE_BODY] = body.is(T_BLOCK) ? body : make_none();
    cells[MORE_CODE] = make_integer(int32_t(index));
    cells[MORE_OWNER] = make_integer(return_type);
    m->tail = m->head + FUNCTION_MORE_CELLS * uint32_t(sizeof(Cell));
    uint32_t header = uint32_t(T_ROUTINE) | ROUTINE_FLAG_CELLS |
                      ((arity << ROUTINE_ARITY_SHIFT) & ROUTINE_ARITY_MASK);
    Cell r{header, ctx, spec_node, more};
    *context_owner(ctx) = r;
    return stack_push(r);
}

void routine_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    e[A_REFLECT - 1] = INHERIT;
    set_entry<A_FORM>(e, routine_form);
    set_entry<A_MOLD>(e, routine_mold);
    set_entry<A_COMPARE>(e, function_compare_more);
    register_datatype(T_ROUTINE, T_FUNCTION, "routine!", e);
}

} // namespace kel

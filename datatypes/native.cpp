// native!: a built-in function of the natives table, and the making shared with action!.
//
// A native! cell names its routine by its 1-based position in the natives table (word 1), so a
// value stays meaningful across runs and in stored images; word 2 is its spec block and word 3 a
// two-cell more block (the context cell of a function context made from the spec, then none),
// which the interpreter completes with the arguments cache on the first call. action! values have
// the same cell with an index in the action table; `reflect` is written here once for native!,
// action! and op! (the other two inherit it).
#include "core/context.h"
#include "core/errors.h"
#include "core/hash.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <cstring>

namespace kel {

namespace {

uint32_t canon(const char* name) { return symbol_resolve(symbol_make(name)); }

int32_t append_text(Cell* buffer, const char* text, int32_t budget) {
    string_concatenate_literal(buffer, text);
    return budget - int32_t(std::strlen(text));
}

// Shared by native! and action!: checks the make argument and pushes the value.
Cell* push_table_function(TypeId type, const Cell* spec_in, int32_t index, const Cell* make_arg,
                          uint32_t table_size) {
    Cell spec = *spec_in;
    if (index < 1 || uint32_t(index) > table_size) {
        Cell proto = make_datatype(type);
        fire_error(Err::BadMakeArg, &proto, make_arg ? make_arg : &spec);
    }
    CollectorHold hold;   // nodes held in locals below stay valid
    Node spec_node = series_node(&spec);
    uint32_t head = series_index(&spec);
    if (head > 0) {   // the spec always starts at index 0
        Series* s = node_series(spec_node);
        uint32_t length = s->length();
        spec_node = copy_series_part(spec_node, head < length ? head : length,
                                     head < length ? length - head : 0);
    }
    Cell spec_block = make_series(T_BLOCK, spec_node, 0);
    Node ctx = context_make_from_spec(&spec_block, true, false, CONTEXT_FUNCTION);
    Node more = alloc_cells(NATIVE_MORE_CELLS);
    Series* m = node_series(more);
    Cell* cells = reinterpret_cast<Cell*>(m->data());
    cells[0] = *context_cell(ctx);
    cells[1] = make_none();
    m->tail = m->head + NATIVE_MORE_CELLS * uint32_t(sizeof(Cell));
    return stack_push(Cell{type, uint32_t(index), spec_node, more});
}

// make native! [spec index] and make action! [spec index]
void make_table_function(Cell* proto, Cell* spec, TypeId type, uint32_t table_size) {
    Cell arg = *spec;
    bool ok = arg.is(T_BLOCK) && block_rs_length(&arg) == 2;
    if (ok) {
        const Cell* head = block_rs_head(&arg);
        ok = head[0].is(T_BLOCK) && head[1].is(T_INTEGER);
    }
    if (!ok) {
        Cell p = *proto;
        fire_error(Err::BadMakeArg, &p, &arg);
    }
    const Cell* head = block_rs_head(&arg);
    Cell fn_spec = head[0];
    int32_t index = cell_integer(&head[1]);
    Cell* made = push_table_function(type, &fn_spec, index, &arg, table_size);
    *proto = *made;
    stack_pop();
}

void native_make_action(Cell* proto, Cell* spec, TypeId) {
    make_table_function(proto, spec, T_NATIVE, NATIVES_TABLE_SLOTS);
}

// reflect of native!, action! and op!: spec, and body (the table index, or the body of the
// function an op! was made from).
void native_reflect(Cell* value, uint32_t field_symbol) {
    uint32_t field = symbol_resolve(field_symbol);
    if (field == canon("spec")) {
        *value = function_spec_block(value);
        return;
    }
    if (field == canon("body")) {
        TypeId kind = function_kind(value);
        if (kind == T_FUNCTION || kind == T_ROUTINE) *value = *function_more_cell(value, MORE_BODY);
        else *value = make_integer(int32_t(function_table_index(value)));
        return;
    }
    fire_error(Err::NotDone);
}

int32_t native_form(const Cell*, Cell* buffer, bool, int32_t budget) {
    return append_text(buffer, "?native?", budget);
}

int32_t native_mold(const Cell* value, Cell* buffer, bool, bool all, bool flat, bool part,
                    int32_t budget, int32_t indent) {
    CollectorHold hold;   // the spec cell stays valid while text is appended
    Cell spec = function_spec_block(value);
    budget = append_text(buffer, "make native! [", budget);
    budget = mold_typed(&spec, buffer, false, all, flat, part, budget, indent);
    return append_text(buffer, "]", budget);
}

} // namespace

// Compare of function values by one payload word (the table index, or the more block): -2 unless
// b has a's type; ordered answers for the equality and sort ops only.
static int32_t compare_by_word(const Cell* a, const Cell* b, int32_t op, uint32_t Cell::*word) {
    if (b->type() != a->type()) return CMP_NOT_COMPARABLE;
    switch (op) {
    case CMP_EQUAL: case CMP_NOT_EQUAL: case CMP_STRICT_EQUAL: case CMP_SORT: case CMP_CASE_SORT:
    case CMP_SAME: case CMP_SEARCH:
        return a->*word < b->*word ? -1 : a->*word > b->*word ? 1 : 0;
    default:
        return CMP_NOT_COMPARABLE;
    }
}

int32_t function_compare_index(const Cell* a, const Cell* b, int32_t op) {
    return compare_by_word(a, b, op, &Cell::data1);
}
int32_t function_compare_more(const Cell* a, const Cell* b, int32_t op) {
    return compare_by_word(a, b, op, &Cell::data3);
}

Cell* native_make(const Cell* spec, int32_t index, const Cell* make_arg) {
    return push_table_function(T_NATIVE, spec, index, make_arg, NATIVES_TABLE_SLOTS);
}

Cell* action_make(const Cell* spec, int32_t index, const Cell* make_arg) {
    return push_table_function(T_ACTION, spec, index, make_arg, ACTION_TABLE_SIZE);
}

void make_table_function_value(Cell* proto, Cell* spec, TypeId type) {
    make_table_function(proto, spec, type, type == T_NATIVE ? NATIVES_TABLE_SLOTS : ACTION_TABLE_SIZE);
}

void native_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, native_make_action);
    set_entry<A_REFLECT>(e, native_reflect);
    set_entry<A_FORM>(e, native_form);
    set_entry<A_MOLD>(e, native_mold);
    set_entry<A_COMPARE>(e, function_compare_index);
    register_datatype(T_NATIVE, T_NONE_ID, "native!", e);
}

} // namespace kel

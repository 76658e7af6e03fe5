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
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"

#include <cstring>

namespace kel {

namespace {

uint32_t canon(const char* name) { return symbol_resolve(symbol_make(name)); }

int32_t append_text(Cell* buffer, const char* text, int32_t budget) {
    string_concatenate_literal(buffer, text);
    return budget - int32_t(std::strlen(text));
}

// ---- Call layouts ------------------------------------------------------------------------------
//
// An entry of the natives or action table reads its arguments from the frame the interpreter
// builds by the spec of the value it is called through, and trusts them. The first value made for
// each slot while the environment starts is kept in a block of the root block (the 120 native
// slots, then the 62 action slots; none for a slot not made); once start-up is sealed, a value
// made for a slot must describe the same frame as that one.

uint32_t s_layouts_root = 0;   // position of the block in the root block
bool s_layouts_sealed = false;
constexpr uint32_t LAYOUT_SLOTS = NATIVES_TABLE_SLOTS + ACTION_TABLE_SIZE;

Series* layouts() {
    const Cell* held = reinterpret_cast<const Cell*>(node_series(g_root_block)->data()) + s_layouts_root;
    return node_series(series_node(held));
}

uint32_t layout_slot(const Cell* fn) {
    return (fn->is(T_NATIVE) ? 0 : NATIVES_TABLE_SLOTS) + function_table_index(fn) - 1;
}

bool slot_has_entry(const Cell* fn) {
    uint32_t i = function_table_index(fn) - 1;
    return fn->is(T_NATIVE) ? g_natives[i] != nullptr : g_action_entries[i] != nullptr;
}

// The set-words of a spec are return declarations; the interpreter refuses any other one when it
// reads the spec.
bool set_words_are_returns(Node spec) {
    Series* s = node_series(spec);
    for (uint32_t i = 0, n = s->length(); i < n; ++i) {
        const Cell* c = s->cell_at(i);
        if (c->is(T_SET_WORD) && symbol_resolve(c->data2) != canon("return")) return false;
    }
    return true;
}

// The next cache entry from position i that shapes the frame: an argument's typeset or a
// refinement (return declarations and the trailing counts do not); null at the end.
const Cell* next_frame_entry(Series* cache, uint32_t& i) {
    for (uint32_t n = cache->length(); i < n;) {
        const Cell* c = cache->cell_at(i++);
        if (c->is(T_REFINEMENT)) return c;
        if (c->is(T_TYPESET) && (c->header & KIND_MASK) != KIND_RETURN) return c;
    }
    return nullptr;
}

// True when the arguments cache `mine` builds the frame of `theirs`: the same arguments and
// refinements in the same order, each argument accepting no type that theirs refuses. Names and
// fetch kinds may differ (the types are checked whatever the kind).
bool same_frame(const Cell* mine, const Cell* theirs) {
    Series* a = node_series(series_node(mine));
    Series* b = node_series(series_node(theirs));
    uint32_t i = 0, j = 0;
    for (;;) {
        const Cell* x = next_frame_entry(a, i);
        const Cell* y = next_frame_entry(b, j);
        if (!x || !y) return x == y;
        if (x->type() != y->type()) return false;
        if (x->is(T_TYPESET) &&
            ((x->data1 & ~y->data1) | (x->data2 & ~y->data2) | (x->data3 & ~y->data3)) != 0)
            return false;
    }
}

// The layout check of a native! or action! just made (on the data stack). Before the seal the
// first value of a slot is kept as its layout. After it, a slot with a layout takes only a spec
// of the same frame (the value's arguments cache is built here, so that later edits of its spec
// block change nothing); a slot without one takes any spec when it has no entry (calling the
// value raises not-done) and none when it has.
bool table_function_fits(Cell* made) {
    uint32_t slot = layout_slot(made);
    if (!s_layouts_sealed) {
        if (layouts()->cell_at(slot)->is(T_NONE)) *layouts()->cell_at(slot) = *made;
        return true;
    }
    if (layouts()->cell_at(slot)->is(T_NONE)) return !slot_has_entry(made);
    if (!set_words_are_returns(function_spec_node(made))) return false;
    Rooted mine(interp_args_cache(made));
    Cell theirs = *function_more_cell(layouts()->cell_at(slot), MORE_ARGS_CACHE);
    return theirs.is(T_BLOCK) && same_frame(mine.get(), &theirs);
}

// Pushes a native! or action! for an index in range.
Cell* push_new_table_function(TypeId type, const Cell* spec_in, int32_t index) {
    Cell spec = *spec_in;
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

// Shared by native! and action!: checks the make argument and pushes the value. A spec that does
// not fit the slot's layout raises bad-make-arg, or with `refuse_quietly` leaves nothing pushed
// and gives null.
Cell* push_table_function(TypeId type, const Cell* spec_in, int32_t index, const Cell* make_arg,
                          uint32_t table_size, bool refuse_quietly = false) {
    Cell spec = *spec_in;
    if (index < 1 || uint32_t(index) > table_size) {
        Cell proto = make_datatype(type);
        fire_error(Err::BadMakeArg, &proto, make_arg ? make_arg : &spec);
    }
    Rooted arg(make_arg ? *make_arg : spec);
    Cell* made = push_new_table_function(type, &spec, index);
    if (table_function_fits(made)) return made;
    stack_pop();
    if (refuse_quietly) return nullptr;
    Cell proto = make_datatype(type);
    fire_error(Err::BadMakeArg, &proto, arg.get());
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

Cell* table_function_make_if_fits(TypeId type, const Cell* spec, int32_t index) {
    return push_table_function(type, spec, index, nullptr,
                               type == T_NATIVE ? NATIVES_TABLE_SLOTS : ACTION_TABLE_SIZE, true);
}

void table_layouts_init() {
    s_layouts_sealed = false;
    Node block = alloc_cells(LAYOUT_SLOTS);
    Series* s = node_series(block);
    for (uint32_t i = 0; i < LAYOUT_SLOTS; ++i) s->cells()[i] = make_none();
    s->tail = s->head + LAYOUT_SLOTS * uint32_t(sizeof(Cell));
    s_layouts_root = node_series(g_root_block)->length();
    block_append(g_root_block, make_series(T_BLOCK, block));
}

void table_layouts_seal() {
    for (uint32_t i = 0; i < LAYOUT_SLOTS; ++i) {
        if (layouts()->cell_at(i)->is(T_NONE)) continue;
        Rooted kept(*layouts()->cell_at(i));
        interp_args_cache(kept.get());   // kept in the value's more block
    }
    s_layouts_sealed = true;
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

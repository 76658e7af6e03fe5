// object!: records of named fields, their class ids, copies, construction, reflection, text, path
// access, comparison and change handlers. error! and port! reuse this cell and most of these
// routines.
//
// An object is an object context (kind 2, self flag) wrapped in a cell that also holds a class id
// and the node of a change-handler record (0 when it has no handlers). The context's
// owner cell holds a copy of the object cell and is refreshed whenever the cell changes, so that
// `self` always yields the object.
//
// Class ids: objects of one class have the same words in the same order. `make` keeps the
// prototype's class only when no word was added; a fresh object, or one that grew, takes a new id
// from the counter (1000001 first). copy keeps the class; construct with a prototype keeps it
// unless the spec adds words.
//
// Copies: a copy has a new context with the same words (bound to it) and the same values; series
// values of the copied types are then replaced by deep copies (blocks bound to the new object), and
// every function! is cloned: it gets a context and a body of its own, bound first to the new object
// and then to the function, so that methods see the copy's fields.
//
// Change handlers: `make`, `copy` and `construct` finish an object by building its record from its
// words. Field assignments reach object_fire_on_change through the context code's store (word
// and path assignment alike), in-place changes of owned series reach object_fire_on_deep_change
// through the ownership check; both hooks are installed by object_init. `set` on an object spreads
// a value over its fields here (object_set_values), reporting each assignment.
//
// Everything that does not evaluate runs with the collector held, so node handles kept in locals
// stay valid; `make` with a block evaluates code, and the handlers run code, so across those the
// values are kept on the data stack and nodes are read again afterwards.
#include "datatypes/object.h"

#include "core/context.h"
#include "core/cycles.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/hash.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/words.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"

#include <cstring>

namespace kel {

int32_t g_object_class_counter = OBJECT_CLASS_COUNTER_START;

int32_t object_new_class_id() { return ++g_object_class_counter; }

namespace {

uint32_t canon(const char* name) { return symbol_resolve(symbol_make(name)); }

int32_t append_text(Cell* buffer, const char* text, int32_t budget) {
    string_concatenate_literal(buffer, text);
    return budget - int32_t(std::strlen(text));
}

bool is_object_type(TypeId t) { return t == T_OBJECT || t == T_ERROR || t == T_PORT; }

// The series types a copy of an object (deep) or `make` copies deeply.
bool deep_copied_type(TypeId t) {
    switch (t) {
    case T_PATH: case T_LIT_PATH: case T_SET_PATH: case T_GET_PATH: case T_BLOCK: case T_PAREN:
    case T_HASH: case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF:
    case T_BINARY: case T_VECTOR: case T_IMAGE:
        return true;
    default:
        return false;
    }
}

Cell* values_of(Node ctx) { return object_value_at(ctx, 0); }

void refresh_owner(const Cell* obj) { *context_owner(obj->data1) = *obj; }

// A copy (deep or not) of the value through its type's copy action; the value stays shared when
// its type has no copy yet. Collector held by the caller.
Cell copy_value(const Cell* value, bool deep) {
    CopyFn copy = action_impl<A_COPY>(value->type());
    if (!copy) return *value;
    Cell* src = stack_push(value);
    Cell* result = stack_push(value);
    copy(src, result, nullptr, deep, nullptr);
    Cell out = *result;
    stack_pop(2);
    return out;
}
Cell deep_copy(const Cell* value) { return copy_value(value, true); }

// Replaces value i of ctx (a function!) by a clone whose body is bound to the object context
// `target` and then to the function's own new context. Collector held by the caller.
void clone_function(Node ctx, uint32_t i, Node target) {
    Cell fn = *object_value_at(ctx, i);
    if (function_more_cell(&fn, MORE_BODY)->is(T_NONE)) fire_error(Err::BadFuncDef, &fn);
    Cell holder = fn;
    Node fn_ctx = context_duplicate(&holder, CONTEXT_FUNCTION);
    Cell spec = function_spec_block(&fn);
    Cell body = *function_more_cell(&fn, MORE_BODY);
    uint32_t flags = fn.header & (FUNC_FLAG_TRACE | FUNC_FLAG_NO_TRACE);
    function_make(&spec, &body, fn_ctx, flags);
    Cell made = *stack_top();
    stack_pop();
    Cell copy = *function_more_cell(&made, MORE_BODY);
    bind_block(&copy, target, true);
    bind_block(&copy, fn_ctx, false);
    *object_value_at(ctx, i) = made;   // the arguments cache of the clone starts unset
}

// copy values: series of the copied types become deep copies (block-like ones bound to the
// target); with all, every other value is copied too.
void copy_values(Node source, Node target, bool all) {
    uint32_t n = context_word_count(source);
    for (uint32_t i = 0; i < n; ++i) {
        Cell v = *object_value_at(source, i);
        if (deep_copied_type(v.type())) {
            v = deep_copy(&v);
            if (is_any_block(v.type())) bind_block(&v, target, true);
            *object_value_at(target, i) = v;
        } else if (all) {
            *object_value_at(target, i) = v;
        }
    }
}

bool type_selected(const Cell* types, TypeId t) {
    if (types->is(T_DATATYPE)) return types->data1 == t;
    if (types->is(T_TYPESET)) {
        const uint8_t* bits = reinterpret_cast<const uint8_t*>(&types->data1);
        return bits[t >> 3] & (0x80 >> (t & 7));
    }
    return false;
}

// copy into: a new object of the source's type and class, same words and values, then the deep
// copies and function clones the flags ask for. Collector held by the caller.
Cell copy_into(const Cell* source_in, bool deep, const Cell* types, bool fresh_handlers) {
    Cell source = *source_in;
    Node src = object_context(&source);
    Cell holder = source;
    Node ctx = context_duplicate(&holder, CONTEXT_OBJECT);
    uint32_t n = context_word_count(src);
    std::memcpy(values_of(ctx), values_of(src), n * sizeof(Cell));
    Cell result{source.header & ~CELL_NEWLINE, ctx, source.data2, fresh_handlers ? 0u : source.data3};
    refresh_owner(&result);

    bool cycle_guard = deep && types;
    if (cycle_guard) {
        if (cycles_find(src)) {
            cycles_reset();
            fire_error(Err::NoCycle);
        }
        cycles_push(src);
    }
    for (uint32_t i = 0; i < n; ++i) {
        Cell v = *object_value_at(ctx, i);
        if (v.is(T_FUNCTION)) {
            clone_function(ctx, i, ctx);
        } else if (types ? type_selected(types, v.type()) : deep && deep_copied_type(v.type())) {
            if (!deep_copied_type(v.type())) continue;
            Cell c = copy_value(&v, deep);
            if (is_any_block(c.type())) bind_block(&c, ctx, true);
            *object_value_at(ctx, i) = c;
        }
    }
    if (cycle_guard) cycles_pop();
    return result;
}

// The object's words, each a word! bound to the object (no changed marks).
Cell words_block(Node ctx, bool only_changed) {
    uint32_t n = context_word_count(ctx);
    Node block = alloc_cells(n ? n : 1);
    for (uint32_t i = 0; i < n; ++i) {
        Cell w = *context_word_at(ctx, i);
        if (only_changed && !(w.header & CELL_OBJ_CHANGED)) continue;
        w.header = T_WORD;
        w.data1 = ctx;
        w.data3 = i;
        block_append(block, w);
    }
    return make_series(T_BLOCK, block, 0);
}

void clear_changed_marks(Node ctx) {
    uint32_t n = context_word_count(ctx);
    for (uint32_t i = 0; i < n; ++i) context_word_at(ctx, i)->header &= ~CELL_OBJ_CHANGED;
}

// Merges the spec object's fields into ctx; true when words were added.
bool merge_object(Node ctx, const Cell* spec_obj) {
    Node src = object_context(spec_obj);
    uint32_t before = context_word_count(ctx);
    uint32_t n = context_word_count(src);
    for (uint32_t i = 0; i < n; ++i) {
        Cell w = *context_word_at(src, i);
        Cell v = *object_value_at(src, i);
        context_put_word_value(ctx, &w, &v);
    }
    uint32_t count = context_word_count(ctx);
    for (uint32_t i = 0; i < count; ++i) {
        Cell v = *object_value_at(ctx, i);
        if (v.is(T_FUNCTION)) {
            clone_function(ctx, i, ctx);
        } else if (deep_copied_type(v.type())) {
            Cell c = deep_copy(&v);
            if (is_any_block(c.type())) bind_block(&c, ctx, true);
            *object_value_at(ctx, i) = c;
        }
    }
    return count > before;
}

} // namespace

// ---- Cells and fields -----------------------------------------------------------------------------

Cell* object_push(Node ctx, Node record, int32_t class_id, TypeId type) {
    Cell obj{type, ctx, uint32_t(class_id), record};
    *context_owner(ctx) = obj;
    return stack_push(obj);
}

Cell* object_push_from_context(Node ctx, int32_t class_id) {
    Series* values = node_series(context_cell(ctx)->data2);
    if (values->tail == values->head) {
        uint32_t n = context_word_count(ctx);
        CollectorHold hold;
        Series* s = values;
        if (uint64_t(n) * sizeof(Cell) > s->size - s->head) s = expand_series(s, uint64_t(n) * sizeof(Cell));
        Cell* v = reinterpret_cast<Cell*>(s->head_ptr());
        for (uint32_t i = 0; i < n; ++i) v[i] = make_unset();
        s->tail = s->head + n * uint32_t(sizeof(Cell));
    }
    return object_push(ctx, 0, class_id);
}

Cell* object_make_at(Cell* cell, uint32_t n) {
    *cell = make_unset();
    Node ctx = context_make(n, false, true, 0, CONTEXT_OBJECT);
    *cell = Cell{T_OBJECT, ctx, 0, 0};
    *context_owner(ctx) = *cell;
    return cell;
}

int32_t object_symbol_index(const Cell* obj, uint32_t symbol) {
    return context_find_word(object_context(obj), symbol, true);
}

int32_t object_word_index(const Cell* obj, const Cell* word) {
    return object_symbol_index(obj, word->data2);
}

const Cell* object_get_field_sym(const Cell* obj, uint32_t symbol) {
    int32_t i = object_symbol_index(obj, symbol);
    return i < 0 ? &g_none_cell : object_value_at(object_context(obj), uint32_t(i));
}

const Cell* object_get_field(const Cell* obj, const Cell* word) {
    return object_get_field_sym(obj, word->data2);
}

bool object_field_is_class(Node ctx, uint32_t i, int32_t class_id) {
    const Cell* v = object_value_at(ctx, i);
    return v->is(T_OBJECT) && int32_t(v->data2) == class_id;
}

bool object_word_is_class(const Cell* word, int32_t class_id) {
    const Cell* v = word_get(word);
    return v->is(T_OBJECT) && int32_t(v->data2) == class_id;
}

void object_clear_new_lines(Node series) {
    Series* s = node_series(series);
    for (Cell* c = reinterpret_cast<Cell*>(s->data()); c < s->cell_tail(); ++c) cell_clear_newline(c);
}

// ---- make, copy, construct ------------------------------------------------------------------------

void object_make_typed(Cell* proto, const Cell* spec_in, TypeId type) {
    Cell spec = *spec_in;
    if (!spec.is(T_BLOCK) && !is_object_type(spec.type())) fire_error(Err::Malconstruct, &spec);
    bool has_proto = is_object_type(proto->type());
    Cell* spec_cell = stack_push(spec);
    Cell* result;
    {
        CollectorHold hold;
        if (has_proto) {
            Cell copy = copy_into(proto, spec.is(T_BLOCK) ? false : true, nullptr, false);
            result = stack_push(copy);
        } else {
            result = stack_push(make_unset());
            object_make_at(result, 4);
            set_cell_type(result, type);
            refresh_owner(result);
        }
    }
    int32_t proto_class = has_proto ? int32_t(proto->data2) : 0;
    bool grew;
    if (!spec.is(T_BLOCK)) {
        CollectorHold hold;
        grew = merge_object(object_context(result), spec_cell);
    } else {
        {
            CollectorHold hold;
            Node ctx = object_context(result);
            grew = context_collect_set_words(ctx, spec_cell);
            bind_block(spec_cell, ctx, true);
            if (has_proto) copy_values(object_context(proto), ctx, false);
        }
        Cell* mark = g_stack.top;
        eval(spec_cell, false);   // the result object stays on the data stack meanwhile
        g_stack.top = mark;
        Node ctx = object_context(result);
        clear_changed_marks(ctx);
        object_clear_new_lines(context_cell(ctx)->data2);
    }
    if (!has_proto || grew) result->data2 = uint32_t(object_new_class_id());
    else result->data2 = uint32_t(proto_class);
    refresh_owner(result);
    object_finish_handlers(result);
    *proto = *result;
    stack_pop(2);
}

void object_make(Cell* proto, const Cell* spec) { object_make_typed(proto, spec, T_OBJECT); }

void object_copy(const Cell* source, Cell* result, bool deep, const Cell* types) {
    Cell* copy;
    {
        CollectorHold hold;
        copy = stack_push(copy_into(source, deep, types, true));
    }
    object_finish_handlers(copy);
    *result = *copy;
    stack_pop();
}

void object_construct(Cell* result_cell, const Cell* spec_in, const Cell* proto, bool only) {
    const uint32_t sym_true[] = {canon("true"), canon("yes"), canon("on")};
    const uint32_t sym_false[] = {canon("false"), canon("no"), canon("off")};
    const uint32_t sym_none = canon("none");
    CollectorHold hold;   // from here on node handles in locals stay valid
    Cell spec = *spec_in;
    Cell result;
    if (proto && is_object_type(proto->type())) {
        // a copy of the prototype, with the record built from the prototype's words
        Cell* copy = stack_push(copy_into(proto, true, nullptr, true));
        object_finish_handlers(copy);
        result = *copy;
        stack_pop();
    } else {
        object_make_at(&result, 4);
        result.data2 = uint32_t(object_new_class_id());
    }
    Node ctx = object_context(&result);
    uint32_t before = context_word_count(ctx);
    int32_t n = block_rs_length(&spec);
    for (int32_t i = 0; i < n; ++i) {
        Cell item = block_rs_head(&spec)[i];
        if (!item.is(T_SET_WORD)) continue;
        int32_t k = i + 1;
        while (k < n && block_rs_head(&spec)[k].is(T_SET_WORD)) ++k;
        Cell value = k < n ? block_rs_head(&spec)[k] : make_none();
        if (!only && value.is(T_WORD)) {
            uint32_t s = symbol_resolve(value.data2);
            for (uint32_t t : sym_true)
                if (s == t) value = make_logic(true);
            for (uint32_t f : sym_false)
                if (s == f) value = make_logic(false);
            if (s == sym_none) value = make_none();
        }
        int32_t index = context_add_word(ctx, &item);
        *object_value_at(ctx, uint32_t(index)) = value;
    }
    if (proto && is_object_type(proto->type()) && context_word_count(ctx) > before)
        result.data2 = uint32_t(object_new_class_id());
    refresh_owner(&result);
    *result_cell = result;
}

// ---- Change handlers ----------------------------------------------------------------------------
//
// The record (word 3 of the object cell) is a series of two cells, typed pair!: cell 0 describes
// on-change*, cell 1 on-deep-change*. In each, word 2 holds the handler's slot index in the high 16
// bits (0xFFFF: no such handler) and in the low 16 bits the number of frame cells the handler
// takes beyond the arguments it is given (its /local refinement and locals, and any other
// refinement); word 3 the node of the spec that count was computed from (0: not computed); word 1
// the collector cycle of that computation. Nodes are reused only after a collection, and the
// record keeps the spec node without the collector seeing it, so a count is trusted only while
// both the spec node and the cycle match; otherwise it is counted again from the spec.
//
// A handler runs through the interpreter's function call: a call frame named by the handler's
// word, the arguments, then `false` and none for each further frame cell; a routine! takes the
// same frame and has its C++ entry called.

namespace {

constexpr uint32_t HANDLER_ABSENT = 0xFFFF;
constexpr uint32_t ON_CHANGE_ARGS = 3;
constexpr uint32_t ON_DEEP_CHANGE_ARGS = 7;
constexpr uint32_t TRACE_BIT_ON_CHANGE = 8;
constexpr uint32_t TRACE_BIT_ON_DEEP_CHANGE = 16;

uint32_t sym_on_change() { return runtime_word(W::OnChange)->data2; }
uint32_t sym_on_deep_change() { return runtime_word(W::OnDeepChange)->data2; }

Cell* record_cell(Node record, uint32_t which) { return node_series(record)->cell_at(which); }
int32_t record_index(Node record, uint32_t which) {
    return int32_t(record_cell(record, which)->data2) >> 16;
}

bool is_handler_type(TypeId t) { return t == T_FUNCTION || t == T_ROUTINE; }

// Frame cells of a function or routine: every argument word and refinement of its spec (`return:`
// takes none), /local and the locals included.
uint32_t frame_cells(Node spec) {
    Series* s = node_series(spec);
    uint32_t n = s->length(), cells = 0;
    for (uint32_t i = 0; i < n; ++i) {
        TypeId t = s->cell_at(i)->type();
        if (t == T_WORD || t == T_LIT_WORD || t == T_GET_WORD || t == T_REFINEMENT) ++cells;
    }
    return cells;
}

uint32_t tail_cells(Node spec, uint32_t args) {
    uint32_t cells = frame_cells(spec);
    uint32_t tail = cells > args ? cells - args : 0;
    return tail < HANDLER_ABSENT ? tail : HANDLER_ABSENT - 1;
}

// The frame cells the handler takes beyond `args`, from the record's cache when it still holds.
uint32_t handler_tail(Node record, uint32_t which, const Cell* fn, uint32_t args) {
    Cell* rc = record_cell(record, which);
    Node spec = function_spec_node(fn);
    if (rc->data3 == spec && rc->data1 == g_collector_cycles) return rc->data2 & 0xFFFF;
    uint32_t tail = tail_cells(spec, args);
    rc->data2 = (rc->data2 & 0xFFFF0000u) | tail;
    rc->data3 = spec;
    rc->data1 = g_collector_cycles;
    return tail;
}

void set_record_cell(Cell* rc, int32_t index, uint32_t count) {
    uint32_t slot = index < 0 ? HANDLER_ABSENT : uint32_t(index);
    *rc = Cell{T_PAIR, 0, (slot << 16) | (count & 0xFFFF), 0};
}

// Makes the object in `obj` (on the data stack) the owner of every series in its fields, each
// under its field's word.
void own_values(Cell* obj) {
    uint32_t n = object_word_count(obj);
    for (uint32_t i = 0; i < n; ++i) {
        Cell* w = stack_push(*context_word_at(object_context(obj), i));
        w->header = T_WORD;
        w->data1 = object_context(obj);
        w->data3 = i;
        Cell* v = stack_push(*object_value_at(object_context(obj), i));
        set_owner_and_flag(v, obj, w);
        *object_value_at(object_context(obj), i) = *v;   // an image! carries its mark on the cell
        stack_pop(2);
    }
}

// Calls the handler `fn` with `count` argument cells, then `false` and none for `tail` cells.
// The word names the call frame. Everything the call needs is copied first; the data top is
// restored afterwards.
void call_handler(const Cell* fn_in, const Cell* name_in, const Cell* args, uint32_t count,
                  uint32_t tail, uint32_t trace_bit) {
    Cell* saved = g_stack.top;
    Cell* fn = stack_push(fn_in);   // keeps the handler alive while it runs
    Cell name = *name_in;
    if (fn->is(T_FUNCTION)) {
        stack_mark(&name, function_context(fn));
        stack_set_interpreted();
    } else {
        stack_mark_interp_native(&name);
    }
    for (uint32_t i = 0; i < count; ++i) stack_push(&args[i]);
    refinement_args_none(tail);
    if (fn->is(T_FUNCTION)) {
        Cell f = *fn;
        call_function(&f, 0, &name, trace_bit);
        stack_unwind_restore();
    } else {
        Node more = function_more_node(fn);
        const Cell* entry = more ? node_series(more)->cell_at(MORE_CODE) : nullptr;
        RoutineFn r = entry && entry->is(T_INTEGER) ? routine_entry(uint32_t(cell_integer(entry))) : nullptr;
        if (!r) fire_error(Err::NotDone);
        r(false, nullptr);
        stack_unwind();
    }
    g_stack.top = saved;
}

// The word of handler slot i of the object, bound to it (names the call frame).
Cell handler_word(Node ctx, int32_t i, uint32_t symbol) {
    return Cell{T_WORD, ctx, symbol, uint32_t(i)};
}

// The hooks the context and ownership code call.
void on_change_hook(const Cell* owner, const Cell* word, const Cell* old_value, const Cell* new_value) {
    object_fire_on_change(owner, word, old_value, new_value);
}

void on_deep_change_hook(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                         const Cell* new_value, int32_t index, int32_t part) {
    object_fire_on_deep_change(owner, word, target, action, new_value, index, part);
}

} // namespace

namespace {

// Gives the object in `obj` (on the data stack) a new record; with an on-deep-change* slot the
// object becomes the owner of its values. Refreshes the owner cell; returns the record node.
Node attach_record(Cell* obj, const int32_t index[2], const uint32_t count[2], const Node spec[2]) {
    Node record = alloc_cells(2);
    for (uint32_t k = 0; k < 2; ++k) {
        Cell rc;
        set_record_cell(&rc, index[k], count[k]);
        if (spec[k]) {
            rc.data3 = spec[k];
            rc.data1 = g_collector_cycles;
        }
        block_append(record, rc);
    }
    obj->data3 = record;
    refresh_owner(obj);
    if (index[1] >= 0) own_values(obj);
    refresh_owner(obj);
    return record;
}

} // namespace

void object_finish_handlers(Cell* obj) {
    Node ctx = object_context(obj);
    const uint32_t syms[2] = {sym_on_change(), sym_on_deep_change()};
    const uint32_t args[2] = {ON_CHANGE_ARGS, ON_DEEP_CHANGE_ARGS};
    int32_t index[2];
    uint32_t count[2] = {0, 0};
    Node spec[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
        index[k] = context_find_word(ctx, syms[k], true);
        if (index[k] < 0) continue;
        const Cell* v = object_value_at(ctx, uint32_t(index[k]));
        if (!is_handler_type(v->type())) {
            Cell word{T_WORD, 0, syms[k], 0xFFFFFFFF};
            Cell type = make_datatype(v->type());
            fire_error(Err::BadFieldSet, &word, &type);
        }
        spec[k] = function_spec_node(v);
        count[k] = tail_cells(spec[k], args[k]);
    }
    if (index[0] < 0 && index[1] < 0) {
        obj->data3 = 0;
        refresh_owner(obj);
        return;
    }
    attach_record(obj, index, count, spec);
}

Node object_attach_handlers(Node ctx, int32_t on_change, int32_t change_locals, int32_t on_deep,
                            int32_t deep_locals) {
    Cell* obj = stack_top();
    obj->data1 = ctx;
    const int32_t index[2] = {on_change, on_deep};
    const uint32_t count[2] = {uint32_t(change_locals), uint32_t(deep_locals)};
    const Node spec[2] = {0, 0};
    return attach_record(obj, index, count, spec);
}

bool object_has_deep_handler(const Cell* obj) {
    return obj->data3 && record_cell(obj->data3, 1)->data2 < 0xFFFF0000u;
}

void object_fire_on_change(const Cell* obj_in, const Cell* word_in, const Cell* old_in,
                           const Cell* new_in) {
    Node record = obj_in->data3;
    if (!record) return;
    int32_t slot = record_index(record, 0);
    Cell obj = *obj_in;
    Node ctx = object_context(&obj);
    if (slot < 0 || uint32_t(slot) >= context_word_count(ctx)) return;
    Cell fn = *object_value_at(ctx, uint32_t(slot));
    if (!is_handler_type(fn.type())) fire_error(Err::InvalidObjEvt, &fn);
    uint32_t tail = handler_tail(record, 0, &fn, ON_CHANGE_ARGS);
    // the handler always receives a word! bound to the object
    Cell args[ON_CHANGE_ARGS] = {*word_in, *old_in, *new_in};
    Cell& word = args[0];
    word.header = T_WORD;
    if (word.data1 != ctx) {
        int32_t i = context_find_word(ctx, word.data2, true);
        if (i >= 0) {
            word.data1 = ctx;
            word.data3 = uint32_t(i);
        }
    }
    Cell name = handler_word(ctx, slot, sym_on_change());
    call_handler(&fn, &name, args, ON_CHANGE_ARGS, tail, TRACE_BIT_ON_CHANGE);
}

void object_fire_on_change_stack(const Cell* obj, const Cell* word) {
    Cell old_value = *stack_top();
    Cell new_value = *(stack_top() - 1);
    object_fire_on_change(obj, word, &old_value, &new_value);
}

void object_word_fire_on_change(const Cell* word, const Cell* field) {
    Cell obj = *word_get(word);
    if (!is_object_type(obj.type())) return;
    object_fire_on_change_stack(&obj, field);
}

void object_fire_on_deep_change(const Cell* owner_in, const Cell* word_in, const Cell* target,
                                const Cell* action, const Cell* new_value, int32_t index,
                                int32_t part) {
    Cell owner = *owner_in;
    Node record = owner.data3;
    if (!record) fire_error(Err::InvalidObjEvt, &owner);
    int32_t slot = record_index(record, 1);
    Node ctx = object_context(&owner);
    if (slot < 0 || uint32_t(slot) >= context_word_count(ctx)) return;
    Cell fn = *object_value_at(ctx, uint32_t(slot));
    if (!is_handler_type(fn.type())) return;
    uint32_t tail = handler_tail(record, 1, &fn, ON_DEEP_CHANGE_ARGS);
    Cell args[ON_DEEP_CHANGE_ARGS] = {owner,    *word_in, *target, *action,
                                      new_value ? *new_value : make_none(),
                                      make_integer(index), make_integer(part)};
    args[1].header = T_WORD;
    args[3].header = T_WORD;
    Cell name = handler_word(ctx, slot, sym_on_deep_change());
    call_handler(&fn, &name, args, ON_DEEP_CHANGE_ARGS, tail, TRACE_BIT_ON_DEEP_CHANGE);
}

void object_notify_owner(const Cell* obj_in, const Cell* word_in) {
    Cell obj = *obj_in;
    Cell word = *word_in;
    int32_t i = object_word_index(&obj, &word);
    if (i < 0) return;
    Cell value = *object_value_at(object_context(&obj), uint32_t(i));
    object_fire_on_change(&obj, &word, &value, &value);
}

void object_set_values(const Cell* obj_in, const Cell* value_in, bool any, bool only, bool some) {
    Cell* saved = g_stack.top;
    Cell* obj = stack_push(obj_in);
    Cell* value = stack_push(value_in);
    int32_t skip[2] = {-1, -1};
    if (obj->data3) {
        skip[0] = record_index(obj->data3, 0);
        skip[1] = record_index(obj->data3, 1);
    }
    uint32_t n = object_word_count(obj);
    // Assigns field i from the cell `from` (on the data stack).
    auto assign = [&](uint32_t i, const Cell* from) {
        Node ctx = object_context(obj);
        context_word_at(ctx, i)->header |= CELL_OBJ_CHANGED;
        if (obj->data3 && (int32_t(i) == skip[0] || int32_t(i) == skip[1])) return;
        Cell* old_value = stack_push(object_value_at(ctx, i));
        *object_value_at(ctx, i) = *from;
        if (obj->data3) {
            Cell word{T_WORD, ctx, context_word_at(ctx, i)->data2, i};
            Cell* w = stack_push(word);
            Cell* new_value = stack_push(from);
            object_fire_on_change(obj, w, old_value, new_value);
        }
        g_stack.top = old_value;
    };
    bool spread = (value->is(T_BLOCK) || is_object_type(value->type())) && !only;
    if (!spread) {
        for (uint32_t i = 0; i < n; ++i) assign(i, value);
        g_stack.top = saved;
        return;
    }
    bool from_object = is_object_type(value->type());
    auto source_length = [&]() -> uint32_t {
        if (from_object) return object_word_count(value);
        int32_t len = block_rs_length(value);
        return len > 0 ? uint32_t(len) : 0;
    };
    auto source_at = [&](uint32_t i) -> Cell {
        if (from_object) return *object_value_at(object_context(value), i);
        return block_rs_head(value)[i];
    };
    if (!some && !any) {
        for (uint32_t i = 0; i < n && i < source_length(); ++i) {
            if (!source_at(i).is(T_UNSET)) continue;
            Cell word = *context_word_at(object_context(obj), i);
            word.header = T_WORD;
            fire_error(Err::NeedValue, &word);
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        Cell item;
        if (from_object) {
            int32_t j = object_symbol_index(value, context_word_at(object_context(obj), i)->data2);
            if (j < 0) continue;
            item = *object_value_at(object_context(value), uint32_t(j));
        } else {
            item = i < source_length() ? source_at(i) : make_none();
        }
        if (some && item.is(T_NONE)) continue;
        Cell* from = stack_push(item);
        assign(i, from);
        g_stack.top = from;
    }
    g_stack.top = saved;
}

// ---- Reflection and text -------------------------------------------------------------------------------

void object_reflect(Cell* obj, uint32_t field_symbol) {
    uint32_t field = symbol_resolve(field_symbol);
    Cell o = *obj;
    Node ctx = object_context(&o);
    CollectorHold hold;
    if (field == canon("class")) {
        *obj = make_integer(object_class_id(&o));
    } else if (field == canon("words")) {
        *obj = words_block(ctx, false);
    } else if (field == canon("changed")) {
        *obj = words_block(ctx, true);
    } else if (field == canon("values")) {
        uint32_t n = context_word_count(ctx);
        Node block = copy_series_part(context_cell(ctx)->data2, 0, n);
        *obj = make_series(T_BLOCK, block, 0);
    } else if (field == canon("body")) {
        uint32_t n = context_word_count(ctx);
        Node block = alloc_cells(n * 2 + 1);
        for (uint32_t i = 0; i < n; ++i) {
            Cell w = *context_word_at(ctx, i);
            w.header = uint32_t(T_SET_WORD) | CELL_NEWLINE;
            w.data1 = ctx;
            w.data3 = i;
            block_append(block, w);
            Cell v = *object_value_at(ctx, i);
            if (v.is(T_WORD)) set_cell_type(&v, T_LIT_WORD);
            else if (v.is(T_PATH)) set_cell_type(&v, T_LIT_PATH);
            block_append(block, v);
        }
        *obj = make_series(T_BLOCK, block, 0);
    } else if (field == canon("owner")) {
        *obj = make_logic(context_cell(ctx)->header & CELL_OWNED);
    } else if (field == canon("events?")) {
        *obj = make_logic(o.data3 != 0);
    } else {
        fire_error(Err::NotDone);
    }
}

namespace {

int32_t append_indent(Cell* buffer, int32_t level, int32_t budget) {
    for (int32_t i = 0; i < level; ++i) budget = append_text(buffer, "    ", budget);
    return budget;
}

} // namespace

int32_t object_mold_fields(const Cell* obj_in, Cell* buffer, bool only, bool all, bool flat, bool part,
                           int32_t budget, bool indent, int32_t level, bool lead_newline) {
    uint32_t sym_change = canon("on-change*");
    uint32_t sym_deep = canon("on-deep-change*");
    CollectorHold hold;   // the context node below stays valid while text is appended
    Cell obj = *obj_in;
    Node ctx = object_context(&obj);
    uint32_t n = context_word_count(ctx);
    if (n == 0) return budget;
    const char* separator = "\n";
    if (flat) {
        indent = false;
        separator = " ";
    } else if (lead_newline) {
        if (only) indent = false;
        else budget = append_text(buffer, "\n", budget);
    }
    cycles_push(ctx);
    for (uint32_t i = 0; i < n; ++i) {
        if (budget < 1 && part) break;
        Cell word = *context_word_at(ctx, i);
        uint32_t s = symbol_resolve(word.data2);
        if (!all && (s == sym_change || s == sym_deep)) continue;
        Cell value = *object_value_at(ctx, i);
        if (value.type() == T_NONE_ID) value = make_unset();
        if (indent) budget = append_indent(buffer, level, budget);
        word.header = T_WORD;
        budget = mold_typed(&word, buffer, false, all, flat, part, budget, level);
        budget = append_text(buffer, ": ", budget);
        if (value.is(T_WORD)) budget = append_text(buffer, "'", budget);
        budget = mold_typed(&value, buffer, false, all, flat, part, budget, level);
        if (indent || i + 1 < n) budget = append_text(buffer, separator, budget);
    }
    cycles_pop();
    return budget;
}

// ---- Actions ----------------------------------------------------------------------------------------

namespace {

void object_make_action(Cell* proto, Cell* spec, TypeId) { object_make_typed(proto, spec, T_OBJECT); }

void object_reflect_action(Cell* obj, uint32_t field) { object_reflect(obj, field); }

int32_t object_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    if (cycles_find(object_context(value))) return append_text(buffer, "...", budget);
    return object_mold_fields(value, buffer, false, false, false, part, budget, false, 0, false);
}

int32_t object_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                    int32_t budget, int32_t level) {
    if (cycles_find(object_context(value))) return append_text(buffer, "make object! [...]", budget);
    CollectorHold hold;   // the object cell below stays valid while text is appended
    Cell obj = *value;
    if (!only) budget = append_text(buffer, "make object! [", budget);
    budget = object_mold_fields(&obj, buffer, only, all, flat, part, budget, true, level + 1, true);
    if (!flat && level >= 1 && object_word_count(&obj) > 0) budget = append_indent(buffer, level, budget);
    if (!only) budget = append_text(buffer, "]", budget);
    return budget;
}

[[noreturn]] void absent_field(const PathStep& step) {
    Cell path = step.path ? *step.path : *step.element;
    Cell element = *step.element;
    fire_error(step.strict ? Err::InvalidPath : Err::UnsetPath, &path, &element);
}

void object_eval_path(Cell* parent, const PathStep& step) {
    const Cell* element = step.element;
    TypeId t = element->type();
    if (t != T_WORD && t != T_SET_WORD && t != T_GET_WORD && t != T_LIT_WORD) {
        Cell path = step.path ? *step.path : *element;
        Cell e = *element;
        fire_error(Err::InvalidPath, &path, &e);
    }
    Cell obj = *parent;
    int32_t i = object_word_index(&obj, element);
    if (i < 0) absent_field(step);
    Node ctx = object_context(&obj);
    if (!step.value) {
        const Cell* v = object_value_at(ctx, uint32_t(i));
        if (v->is(T_UNSET)) absent_field(step);
        *parent = *v;
        return;
    }
    Cell value = *step.value;
    Cell word{T_WORD, ctx, element->data2, uint32_t(i)};
    Cell* w = stack_push(word);
    Cell* v = stack_push(value);
    context_set_in(w, v, ctx, true);
    *parent = *v;
    stack_pop(2);
}

// Orders two objects field by field.
int32_t object_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!is_object_type(b->type())) return CMP_NOT_COMPARABLE;
    Node ca = object_context(a), cb = object_context(b);
    if (ca == cb) return 0;
    if (op == CMP_SAME) return -1;
    if (cycles_find(ca)) return cycles_find(cb) ? 0 : -1;
    uint32_t na = context_word_count(ca), nb = context_word_count(cb);
    if (na != nb) return na > nb ? 1 : -1;
    if (na == 0) return 0;
    cycles_push(ca);
    cycles_push(cb);
    int32_t result = 0;
    for (uint32_t i = 0; i < na && result == 0; ++i) {
        uint32_t sa = symbol_resolve(context_word_at(ca, i)->data2);
        uint32_t sb = symbol_resolve(context_word_at(cb, i)->data2);
        if (sa != sb) {
            result = sa < sb ? -1 : 1;
            break;
        }
        Cell va = *object_value_at(ca, i);
        Cell vb = *object_value_at(cb, i);
        TypeId ta = va.type(), tb = vb.type();
        bool related = ta == tb || (is_any_word(ta) && is_any_word(tb)) ||
                       (is_number_type(ta) && is_number_type(tb));
        if (!related) {
            result = ta < tb ? -1 : 1;
            break;
        }
        result = compare_values(&va, &vb, op);
    }
    cycles_drop(2);
    return result;
}

void object_copy_action(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types) {
    if (part) {
        Cell word{T_WORD, 0, symbol_make("part"), 0xFFFFFFFF};
        Cell p = *part;
        fire_error(Err::InvalidRefineArg, &word, &p);
    }
    Cell source = *series;
    object_copy(&source, result, deep, types);
}

void object_select(Cell* obj, const Cell* key, const FindOpts&) {
    if (!is_any_word(key->type())) {
        Cell t = make_datatype(key->type());
        fire_error(Err::InvalidType, &t);
    }
    *obj = *object_get_field(obj, key);
}

void object_put(Cell* obj, const Cell* key, const Cell* value, bool) {
    if (!key->is(T_WORD)) {
        Cell t = make_datatype(key->type());
        fire_error(Err::InvalidKeyType, &t);
    }
    Cell v = *value;
    PathStep step{key, &v, nullptr, nullptr, nullptr, 0, true, false, true};
    object_eval_path(obj, step);
}

void object_modify(Cell* target, const Cell* field_in, const Cell* value_in) {
    Cell obj = *target;
    Cell value = *value_in;
    uint32_t field = field_in->data2 ? symbol_resolve(field_in->data2) : 0;
    Node ctx = object_context(&obj);
    if (field == canon("changed")) {
        if (!value.is(T_NONE)) fire_error(Err::InvalidArg, &value);
        clear_changed_marks(ctx);
    } else if (field == canon("owner")) {
        Cell* o = stack_push(obj);
        uint32_t n = context_word_count(ctx);
        for (uint32_t i = 0; i < n; ++i) {
            Cell* w = stack_push(*context_word_at(object_context(o), i));
            w->header = T_WORD;
            Cell* v = stack_push(*object_value_at(object_context(o), i));
            set_owner_and_flag(v, o, w);
            *object_value_at(object_context(o), i) = *v;
            stack_pop(2);
        }
        stack_pop();
    } else if (field == canon("owned")) {
        Cell* o = stack_push(obj);
        if (value.is(T_NONE)) {
            ownership_unbind(o);
        } else if (value.is(T_BLOCK) && block_rs_length(&value) >= 2) {
            Cell* owner = stack_push(block_rs_head(&value)[0]);
            Cell* word = stack_push(block_rs_head(&value)[1]);
            set_owner_and_flag(o, owner, word);
            stack_pop(2);
        }
        stack_pop();
    }
    *target = value;
}

} // namespace

void object_init() {
    g_object_class_counter = OBJECT_CLASS_COUNTER_START;
    g_object_on_change = on_change_hook;
    g_owner_on_deep_change = on_deep_change_hook;
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, object_make_action);
    set_entry<A_REFLECT>(e, object_reflect_action);
    set_entry<A_FORM>(e, object_form);
    set_entry<A_MOLD>(e, object_mold);
    set_entry<A_EVAL_PATH>(e, object_eval_path);
    set_entry<A_COMPARE>(e, object_compare);
    set_entry<A_COPY>(e, object_copy_action);
    set_entry<A_PUT>(e, object_put);
    set_entry<A_SELECT>(e, object_select);
    set_entry<A_MODIFY>(e, object_modify);
    register_datatype(T_OBJECT, T_NONE_ID, "object!", e);
}

} // namespace kel

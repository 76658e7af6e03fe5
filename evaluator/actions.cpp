// The action entry layer (see actions.h).
//
// Each entry reads its arguments from the current frame (g_stack.arguments[0] onwards) and its
// refinements from the index list the caller passes, turns them into the explicit arguments of the
// action's C++ signature (datatypes/datatype.h), looks the implementation up in the action table
// by the first argument's type and calls it; the implementation leaves its result in the frame's
// first cell. Entries that need a cell of their own (the output string of form and mold, the
// result of copy) push it above the arguments and copy it down at the end.
//
// The typed entries do the same for C++ callers; the fast paths compute the common integer,
// float and block cases inline for the interpreter.
#include "evaluator/actions.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/image.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"

#include <climits>

namespace kel {

NativeFn g_action_entries[ACTION_COUNT];

// ---- Errors and look-up -----------------------------------------------------------------------------

// The word naming argument `position` of the function value: its spec (word 2 of every function
// type) is walked counting word!, lit-word!, get-word! and refinement! entries.
static bool spec_arg_word(const Cell* fn, uint32_t position, Cell* out) {
    if (!is_any_function(fn->type()) || !fn->data2) return false;
    Series* spec = node_series(fn->data2);
    uint32_t count = 0;
    for (uint32_t i = 0; i < spec->length(); ++i) {
        const Cell* c = spec->cell_at(i);
        TypeId t = c->type();
        if (t != T_WORD && t != T_LIT_WORD && t != T_GET_WORD && t != T_REFINEMENT) continue;
        if (count++ == position) {
            *out = *c;
            set_cell_type(out, T_WORD);
            return true;
        }
    }
    return false;
}

// Reads a word's value when its context holds values (never raises).
static const Cell* peek_word_value(const Cell* word) {
    Node ctx = word->data1;
    if (!ctx || int32_t(word->data3) < 0 || context_on_stack(ctx)) return nullptr;
    if (!context_cell(ctx)->data2) return nullptr;
    return word_get(word);
}

void fire_expect_arg(const Cell* value, uint32_t position) {
    Rooted culprit(*value);
    Rooted name(stack_caller_word(0));
    Rooted arg(*context_global_word(symbol_make("<anon>")));
    if (const Cell* fn = peek_word_value(&name.value)) {
        Cell word;
        if (spec_arg_word(fn, position, &word)) arg.value = word;
    }
    Cell type = make_datatype(culprit.value.type());
    fire_error(Err::ExpectArg, &name.value, &type, &arg.value);
}

EvalPathFn eval_path_fn(const Cell* value, const Cell* element, const Cell* path, int32_t position) {
    EvalPathFn fn = action_impl<A_EVAL_PATH>(value->type());
    if (fn) return fn;
    Cell type = make_datatype(value->type());
    if (!path) fire_error(Err::BadPathType2, element, &type);
    // the path cut after the failing element
    Rooted whole(*path);
    Series* s = value_series(path);
    uint32_t start = series_index(path);
    uint32_t end = start + uint32_t(position) + 1;
    if (end > s->length()) end = s->length();
    Rooted cut(make_series(path->type(), copy_series_part(series_node(path), start, end - start)));
    fire_error(Err::BadPathType, &whole.value, &type, &cut.value);
}

int32_t pick_index_arg(const Cell* index) {
    switch (index->type()) {
    case T_INTEGER: case T_CHAR: return integer_get_cell(index);
    case T_LOGIC: return index->data1 ? 1 : 2;
    default: return 0;
    }
}

// ---- Typed entries --------------------------------------------------------------------------------------

static void make_or_to(Cell* proto, Cell* spec, bool make) {
    TypeId type = proto->is(T_DATATYPE) ? TypeId(proto->data1) : proto->type();
    MakeFn fn = make ? action_impl<A_MAKE>(type) : action_impl<A_TO>(type);
    if (!fn) {
        Cell as_type = make_datatype(type);
        fire_expect_arg(&as_type, 0);
    }
    fn(proto, spec, type);
}
void make_typed(Cell* proto, Cell* spec) { make_or_to(proto, spec, true); }
void to_typed(Cell* proto, Cell* spec) { make_or_to(proto, spec, false); }

void random_typed(Cell* value, bool seed, bool secure, bool only) {
    action_fn<A_RANDOM>(value)(value, seed, secure, only);
}
void reflect_typed(Cell* value, uint32_t field_symbol) {
    action_fn<A_REFLECT>(value)(value, field_symbol);
}
int32_t form_typed(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    return action_fn<A_FORM>(value)(value, buffer, part, budget);
}
int32_t mold_typed(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                   int32_t budget, int32_t indent) {
    return action_fn<A_MOLD>(value)(value, buffer, only, all, flat, part, budget, indent);
}
void eval_path_typed(Cell* parent, const PathStep& step) {
    eval_path_fn(parent, step.element, step.path, step.position)(parent, step);
}

void math_typed(Action a, Cell* left, Cell* right) {
    BinaryFn fn;
    switch (a) {
    case A_ADD: fn = action_fn<A_ADD>(left); break;
    case A_SUBTRACT: fn = action_fn<A_SUBTRACT>(left); break;
    case A_MULTIPLY: fn = action_fn<A_MULTIPLY>(left); break;
    case A_DIVIDE: fn = action_fn<A_DIVIDE>(left); break;
    case A_REMAINDER: fn = action_fn<A_REMAINDER>(left); break;
    case A_POWER: fn = action_fn<A_POWER>(left); break;
    case A_AND: fn = action_fn<A_AND>(left); break;
    case A_OR: fn = action_fn<A_OR>(left); break;
    case A_XOR: fn = action_fn<A_XOR>(left); break;
    default: runtime_quit(101, 0);
    }
    fn(left, right);
}
void round_typed(Cell* value, const RoundOpts& opts) { action_fn<A_ROUND>(value)(value, opts); }
bool even_typed(const Cell* value) { return action_fn<A_EVEN_Q>(value)(value); }
bool odd_typed(const Cell* value) { return action_fn<A_ODD_Q>(value)(value); }
void insert_typed(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup,
                  bool append) {
    InsertFn fn = append ? action_fn<A_APPEND>(series) : action_fn<A_INSERT>(series);
    fn(series, value, part, only, dup, append);
}
void change_typed(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup) {
    action_fn<A_CHANGE>(series)(series, value, part, only, dup);
}
void copy_typed(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types) {
    action_fn<A_COPY>(series)(series, result, part, deep, types);
}
void find_typed(Cell* series, const Cell* value, const FindOpts& opts) {
    action_fn<A_FIND>(series)(series, value, opts);
}
void select_typed(Cell* series, const Cell* value, const FindOpts& opts) {
    action_fn<A_SELECT>(series)(series, value, opts);
}
int32_t length_typed(const Cell* value) { return action_fn<A_LENGTH_Q>(value)(value); }
void pick_typed(Cell* series, const Cell* index) {
    action_fn<A_PICK>(series)(series, pick_index_arg(index), index);
}
void poke_typed(Cell* series, const Cell* index, const Cell* value) {
    // an image's position may be a pair, which the integer index cannot carry
    if (series->is(T_IMAGE) && index->is(T_PAIR)) return image_poke_at(series, index, value);
    action_fn<A_POKE>(series)(series, pick_index_arg(index), value);
}
void put_typed(Cell* series, const Cell* key, const Cell* value, bool case_) {
    action_fn<A_PUT>(series)(series, key, value, case_);
}
void remove_typed(Cell* series, const Cell* part, const Cell* key) {
    action_fn<A_REMOVE>(series)(series, part, key);
}
void sort_typed(Cell* series, const SortOpts& opts) { action_fn<A_SORT>(series)(series, opts); }
void take_typed(Cell* series, const Cell* part, bool deep, bool last) {
    action_fn<A_TAKE>(series)(series, part, deep, last);
}
void trim_typed(Cell* series, const TrimOpts& opts) { action_fn<A_TRIM>(series)(series, opts); }
void open_typed(Cell* port, const PortOpts& opts) {
    action_fn<A_OPEN>(port)(port, nullptr, opts);
}

// ---- Comparison -------------------------------------------------------------------------------------------

static int32_t raw_compare(const Cell* a, const Cell* b, int32_t op) {
    CompareFn fn = action_impl<A_COMPARE>(a->type());
    return fn ? fn(a, b, op) : CMP_NOT_COMPARABLE;
}

bool compare_truth(const Cell* a, const Cell* b, int32_t op) {
    int32_t r = raw_compare(a, b, op);
    if (r == CMP_NOT_COMPARABLE && !compare_op_is_equality(op)) fire_error(Err::InvalidCompare, a, b);
    switch (op) {
    case CMP_EQUAL: case CMP_STRICT_EQUAL: case CMP_SAME: case CMP_FIND: case CMP_STRICT_WORD:
    case CMP_SEARCH:
        return r == 0;
    case CMP_NOT_EQUAL: return r != 0;
    case CMP_LESSER: return r < 0;
    case CMP_LESSER_EQUAL: return r <= 0;
    case CMP_GREATER: return r > 0;
    case CMP_GREATER_EQUAL: return r >= 0;
    default: runtime_quit(101, 0);
    }
}

static inline int32_t order(uint32_t x, uint32_t y) { return (x > y) - (x < y); }

int32_t compare_values(const Cell* a, const Cell* b, int32_t op) {
    if (a->type() == b->type()) {
        switch (a->type()) {
        case T_LOGIC: return order(a->data1 != 0, b->data1 != 0);
        case T_NATIVE: case T_ACTION: case T_OP: return order(a->data1, b->data1);
        case T_FUNCTION: case T_ROUTINE: return order(a->data3, b->data3);
        default: break;
        }
    }
    int32_t r = raw_compare(a, b, op);
    if (r == CMP_NOT_COMPARABLE) return r;
    return (r > 0) - (r < 0);
}

void compare_args(int32_t op) {
    Cell* args = g_stack.arguments;
    Cell result = make_logic(compare_truth(args, args + 1, op));
    stack_set_result(&result);
}

// ---- Fast paths ----------------------------------------------------------------------------------------------

// Cells from the block's head to its tail (0 when the head is past the tail).
static inline int32_t block_length_from_head(const Cell* block) {
    uint32_t length = value_series(block)->length(), index = series_index(block);
    return index < length ? int32_t(length - index) : 0;
}

bool pick_fast(const Cell* block, const Cell* index, Cell* out) {
    if (!block->is(T_BLOCK) || !index->is(T_INTEGER)) return false;
    int32_t i = integer_get_cell(index);
    if (i < 1 || i > block_length_from_head(block)) {
        *out = g_none_cell;
        return true;
    }
    *out = *value_series(block)->cell_at(series_index(block) + uint32_t(i) - 1);
    return true;
}

bool series_navigate(Cell* value, int32_t selector) {
    if (!value->is(T_BLOCK)) return false;
    int32_t length = block_length_from_head(value);
    uint32_t index = series_index(value);
    switch (selector) {
    case 1: *value = make_integer(length); break;
    case 2: *value = make_integer(int32_t(index) + 1); break;
    case 3: *value = make_logic(index == 0); break;
    case 4: *value = make_logic(length < 1); break;
    case 5: if (length > 0) value->data1 = index + 1; break;
    case 6: if (index > 0) value->data1 = index - 1; break;
    case 7: value->data1 = 0; break;
    case 8: value->data1 = index + uint32_t(length); break;
    default: runtime_quit(101, 0);
    }
    return true;
}

// ---- Frame entries ---------------------------------------------------------------------------------------------

namespace {

inline Cell* arg(uint32_t i) { return g_stack.arguments + i; }
// The argument cell of refinement i, or null when it was not used.
inline Cell* ref(const int32_t* r, uint32_t i) { return r[i] >= 0 ? arg(uint32_t(r[i])) : nullptr; }
inline bool flag(const int32_t* r, uint32_t i) { return r[i] >= 0; }

// A /part or /dup count: an integer (a float is truncated), or a position in the value's series.
int32_t count_of(const Cell* c, const Cell* series) {
    if (!c) return -1;
    switch (c->type()) {
    case T_INTEGER: return integer_get_cell(c);
    case T_FLOAT: return float_trunc_checked(c->get_float());
    default:
        if (is_series_type(c->type()) && series_node(c) == series_node(series))
            return int32_t(series_index(c)) - int32_t(series_index(series));
        fire_error(Err::InvalidArg, c);
    }
}

// A limit of /part for form and mold.
int32_t limit_of(const Cell* c) {
    if (c->is(T_INTEGER)) return integer_get_cell(c);
    if (c->is(T_FLOAT)) return float_trunc_checked(c->get_float());
    fire_error(Err::InvalidArg, c);
}

// A new empty string on the data stack for form and mold.
Cell* push_output(uint32_t room) {
    Cell* out = stack_push(g_unset_cell);
    string_make_at(out, room);
    return out;
}

// The text of form/mold cut to the limit when the implementation went past it.
void finish_output(Cell* out, int32_t limit, int32_t left) {
    if (left < 0) string_truncate_buffer(value_series(out), uint32_t(limit));
    *arg(0) = *out;
    g_stack.top = out;
}

void e_make(bool, const int32_t*) { make_typed(arg(0), arg(1)); }
void e_to(bool, const int32_t*) { to_typed(arg(0), arg(1)); }
void e_random(bool, const int32_t* r) { random_typed(arg(0), flag(r, 0), flag(r, 1), flag(r, 2)); }
void e_reflect(bool, const int32_t*) { reflect_typed(arg(0), arg(1)->data2); }

void e_form(bool, const int32_t* r) {
    const Cell* part = ref(r, 0);
    int32_t limit = part ? limit_of(part) : INT32_MAX;
    Cell* out = push_output(16);
    if (part && limit < 1) {
        finish_output(out, 0, 0);
        return;
    }
    finish_output(out, limit, form_typed(arg(0), out, part != nullptr, limit));
}

void e_mold(bool, const int32_t* r) {
    const Cell* part = ref(r, 3);
    int32_t limit = part ? limit_of(part) : INT32_MAX;
    Cell* out = push_output(16);
    if (part && limit < 1) {
        finish_output(out, 0, 0);
        return;
    }
    finish_output(out, limit,
                  mold_typed(arg(0), out, flag(r, 0), flag(r, 1), flag(r, 2), part != nullptr, limit, 0));
}

void e_eval_path(bool, const int32_t*) {
    PathStep step{arg(1), nullptr, nullptr, nullptr, nullptr, 0, true, false, true};
    eval_path_typed(arg(0), step);
}

template <Action A>
void e_unary(bool, const int32_t*) {
    action_fn<A>(arg(0))(arg(0));
}

template <Action A>
void e_binary(bool, const int32_t*) {
    action_fn<A>(arg(0))(arg(0), arg(1));
}

template <Action A>
void e_predicate(bool, const int32_t*) {
    bool v = action_fn<A>(arg(0))(arg(0));
    logic_box(v);
}

void e_round(bool, const int32_t* r) {
    RoundOpts o;
    o.to = ref(r, 0);
    o.even = flag(r, 1);
    o.down = flag(r, 2);
    o.half_down = flag(r, 3);
    o.floor = flag(r, 4);
    o.ceiling = flag(r, 5);
    o.half_ceiling = flag(r, 6);
    round_typed(arg(0), o);
}

template <bool Append>
void e_insert(bool, const int32_t* r) {
    Cell* series = arg(0);
    InsertFn fn = Append ? action_fn<A_APPEND>(series) : action_fn<A_INSERT>(series);
    int32_t part = count_of(ref(r, 0), arg(1));
    const Cell* dup_cell = ref(r, 2);
    int32_t dup = dup_cell ? count_of(dup_cell, series) : 1;
    if (dup <= 0) return;
    fn(series, arg(1), part, flag(r, 1), dup, Append);
}

void e_change(bool, const int32_t* r) {
    Cell* series = arg(0);
    ChangeFn fn = action_fn<A_CHANGE>(series);
    int32_t part = count_of(ref(r, 0), series);
    const Cell* dup_cell = ref(r, 2);
    int32_t dup = dup_cell ? count_of(dup_cell, series) : 1;
    fn(series, arg(1), part, flag(r, 1), dup);
}

template <Action A>
void e_offset(bool, const int32_t*) {
    action_fn<A>(arg(0))(arg(0), arg(1));
}

void e_copy(bool, const int32_t* r) {
    Cell* series = arg(0);
    CopyFn fn = action_fn<A_COPY>(series);
    const Cell* types = ref(r, 2);
    if (types && !types->is(T_DATATYPE) && !types->is(T_TYPESET)) fire_expect_arg(types, 3);
    Cell* result = stack_push(g_none_cell);
    fn(series, result, ref(r, 0), flag(r, 1), types);
    *arg(0) = *result;
    g_stack.top = result;
}

FindOpts find_opts(const int32_t* r, bool select) {
    FindOpts o;
    o.part = ref(r, 0);
    o.only = flag(r, 1);
    o.case_ = flag(r, 2);
    o.same = flag(r, 3);
    o.any = flag(r, 4);
    o.with = ref(r, 5);
    o.skip = ref(r, 6);
    o.last = flag(r, 7);
    o.reverse = flag(r, 8);
    if (!select) {
        o.tail = flag(r, 9);
        o.match = flag(r, 10);
    }
    return o;
}

void e_find(bool, const int32_t* r) { find_typed(arg(0), arg(1), find_opts(r, false)); }
void e_select(bool, const int32_t* r) { select_typed(arg(0), arg(1), find_opts(r, true)); }

void e_length(bool, const int32_t*) {
    int32_t n = length_typed(arg(0));
    if (n < 0) none_box();
    else integer_box(n);
}

void e_move(bool, const int32_t* r) { action_fn<A_MOVE>(arg(0))(arg(0), arg(1), ref(r, 0)); }
void e_pick(bool, const int32_t*) { pick_typed(arg(0), arg(1)); }
void e_poke(bool, const int32_t*) { poke_typed(arg(0), arg(1), arg(2)); }
void e_put(bool, const int32_t* r) { put_typed(arg(0), arg(1), arg(2), flag(r, 0)); }
void e_remove(bool, const int32_t* r) { remove_typed(arg(0), ref(r, 0), ref(r, 1)); }
void e_reverse(bool, const int32_t* r) {
    action_fn<A_REVERSE>(arg(0))(arg(0), ref(r, 0), ref(r, 1));
}

void e_sort(bool, const int32_t* r) {
    SortOpts o;
    o.case_ = flag(r, 0);
    o.skip = ref(r, 1);
    o.compare = ref(r, 2);
    o.part = ref(r, 3);
    o.all = flag(r, 4);
    o.reverse = flag(r, 5);
    o.stable = flag(r, 6);
    sort_typed(arg(0), o);
}

void e_take(bool, const int32_t* r) { take_typed(arg(0), ref(r, 0), flag(r, 1), flag(r, 2)); }

void e_trim(bool, const int32_t* r) {
    TrimOpts o;
    o.head = flag(r, 0);
    o.tail = flag(r, 1);
    o.auto_ = flag(r, 2);
    o.lines = flag(r, 3);
    o.all = flag(r, 4);
    o.with = ref(r, 5);
    trim_typed(arg(0), o);
}

void e_modify(bool, const int32_t*) { action_fn<A_MODIFY>(arg(0))(arg(0), arg(1), arg(2)); }

template <Action A>
void e_port(bool, const int32_t*) {
    action_fn<A>(arg(0))(arg(0), nullptr, PortOpts{});
}

void e_rename(bool, const int32_t*) {
    action_fn<A_RENAME>(arg(0))(arg(0), arg(1), PortOpts{});
}

void e_open(bool, const int32_t* r) {
    PortOpts o;
    o.new_ = flag(r, 0);
    o.read = flag(r, 1);
    o.write = flag(r, 2);
    o.seek = ref(r, 3);
    o.allow = ref(r, 4);
    open_typed(arg(0), o);
}

void e_read(bool, const int32_t* r) {
    PortOpts o;
    o.part = ref(r, 0);
    o.seek = ref(r, 1);
    o.binary = flag(r, 2);
    o.lines = flag(r, 3);
    o.info = flag(r, 4);
    o.as = ref(r, 5);
    action_fn<A_READ>(arg(0))(arg(0), nullptr, o);
}

void e_write(bool, const int32_t* r) {
    PortOpts o;
    o.binary = flag(r, 0);
    o.lines = flag(r, 1);
    o.info = flag(r, 2);
    o.append = flag(r, 3);
    o.part = ref(r, 4);
    o.seek = ref(r, 5);
    o.allow = ref(r, 6);
    o.as = ref(r, 7);
    action_fn<A_WRITE>(arg(0))(arg(0), arg(1), o);
}

} // namespace

void init_actions() {
    NativeFn* t = g_action_entries;
    for (uint32_t i = 0; i < ACTION_COUNT; ++i) t[i] = nullptr;
    t[A_MAKE - 1] = e_make;
    t[A_RANDOM - 1] = e_random;
    t[A_REFLECT - 1] = e_reflect;
    t[A_TO - 1] = e_to;
    t[A_FORM - 1] = e_form;
    t[A_MOLD - 1] = e_mold;
    t[A_EVAL_PATH - 1] = e_eval_path;
    // slot 8 is empty; compare is reached through compare_truth only
    t[A_ABSOLUTE - 1] = e_unary<A_ABSOLUTE>;
    t[A_ADD - 1] = e_binary<A_ADD>;
    t[A_DIVIDE - 1] = e_binary<A_DIVIDE>;
    t[A_MULTIPLY - 1] = e_binary<A_MULTIPLY>;
    t[A_NEGATE - 1] = e_unary<A_NEGATE>;
    t[A_POWER - 1] = e_binary<A_POWER>;
    t[A_REMAINDER - 1] = e_binary<A_REMAINDER>;
    t[A_ROUND - 1] = e_round;
    t[A_SUBTRACT - 1] = e_binary<A_SUBTRACT>;
    t[A_EVEN_Q - 1] = e_predicate<A_EVEN_Q>;
    t[A_ODD_Q - 1] = e_predicate<A_ODD_Q>;
    t[A_AND - 1] = e_binary<A_AND>;
    t[A_COMPLEMENT - 1] = e_unary<A_COMPLEMENT>;
    t[A_OR - 1] = e_binary<A_OR>;
    t[A_XOR - 1] = e_binary<A_XOR>;
    t[A_APPEND - 1] = e_insert<true>;
    t[A_AT - 1] = e_offset<A_AT>;
    t[A_BACK - 1] = e_unary<A_BACK>;
    t[A_CHANGE - 1] = e_change;
    t[A_CLEAR - 1] = e_unary<A_CLEAR>;
    t[A_COPY - 1] = e_copy;
    t[A_FIND - 1] = e_find;
    t[A_HEAD - 1] = e_unary<A_HEAD>;
    t[A_HEAD_Q - 1] = e_unary<A_HEAD_Q>;
    t[A_INDEX_Q - 1] = e_unary<A_INDEX_Q>;
    t[A_INSERT - 1] = e_insert<false>;
    t[A_LENGTH_Q - 1] = e_length;
    t[A_MOVE - 1] = e_move;
    t[A_NEXT - 1] = e_unary<A_NEXT>;
    t[A_PICK - 1] = e_pick;
    t[A_POKE - 1] = e_poke;
    t[A_PUT - 1] = e_put;
    t[A_REMOVE - 1] = e_remove;
    t[A_REVERSE - 1] = e_reverse;
    t[A_SELECT - 1] = e_select;
    t[A_SORT - 1] = e_sort;
    t[A_SKIP - 1] = e_offset<A_SKIP>;
    t[A_SWAP - 1] = e_binary<A_SWAP>;
    t[A_TAIL - 1] = e_unary<A_TAIL>;
    t[A_TAIL_Q - 1] = e_unary<A_TAIL_Q>;
    t[A_TAKE - 1] = e_take;
    t[A_TRIM - 1] = e_trim;
    t[A_CREATE - 1] = e_port<A_CREATE>;
    t[A_CLOSE - 1] = e_port<A_CLOSE>;
    t[A_DELETE - 1] = e_port<A_DELETE>;
    t[A_MODIFY - 1] = e_modify;
    t[A_OPEN - 1] = e_open;
    t[A_OPEN_Q - 1] = e_port<A_OPEN_Q>;
    t[A_QUERY - 1] = e_port<A_QUERY>;
    t[A_READ - 1] = e_read;
    t[A_RENAME - 1] = e_rename;
    t[A_UPDATE - 1] = e_port<A_UPDATE>;
    t[A_WRITE - 1] = e_write;
}

} // namespace kel

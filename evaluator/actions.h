// The action entry layer: one entry per action that takes its arguments from the current native
// frame, finds the implementation for the first argument's type and calls it; typed entries that
// C++ code calls with explicit arguments; the comparison protocol; and the fast paths the
// interpreter takes for integer and float math, integer compare, block pick and navigation while
// tracing is off.
//
// Invoking an action! value: its word 1 holds the action number n (1-62, never 8); the
// interpreter calls g_action_entries[n - 1](check, refinements) exactly as it calls a native: the
// arguments are the cells of the current frame (g_stack.arguments[0] is the first argument and
// receives the result) and `refinements` holds one index per refinement of the action's spec, in
// spec order: the frame index of the refinement's first argument when the refinement is used (for
// a plain flag the index where its arguments would stand), -1 when it is not.
//
// Refinements read by the entries, in spec order (the action specs in environment/ must list
// them so; a refinement's argument follows its flag):
//   random      /seed /secure /only
//   reflect     (field: second argument, a word)
//   form        /part limit
//   mold        /only /all /flat /part limit
//   round       /to scale /even /down /half-down /floor /ceiling /half-ceiling
//   append      /part length /only /dup count          insert: the same
//   change      /part range /only /dup count
//   copy        /part length /deep /types kind
//   find        /part length /only /case /same /any /with wild /skip size /last /reverse /tail
//               /match
//   select      /part length /only /case /same /any /with wild /skip size /last /reverse
//   move        /part length
//   put         /case
//   remove      /part length /key key-arg
//   reverse     /part length /skip size
//   sort        /case /skip size /compare comparator /part length /all /reverse /stable
//   take        /part length /deep /last
//   trim        /head /tail /auto /lines /all /with str
//   modify      /case
//   open        /new /read /write /seek index /allow access
//   read        /part length /seek index /binary /lines /info /as encoding
//   write       /binary /lines /info /append /part length /seek index /allow access /as encoding
//   query, create, close, delete, update, open?, rename: none
// The other actions take no refinement.
#pragma once

#include "core/cell.h"
#include "core/runtime.h"
#include "datatypes/datatype.h"
#include "datatypes/scalars.h"
#include "evaluator/natives.h"

#include <cstdint>

namespace kel {

// The 62 action entries by action number - 1 (slot 8 is null). Filled by init_actions.
extern NativeFn g_action_entries[ACTION_COUNT];

// Fills the action entry table (start-up, after every datatype registered).
void init_actions();

// ---- Look-up -------------------------------------------------------------------------------------

// Raises script expect-arg naming the running function, the value's datatype and argument
// `position` (0-based) of the running function.
[[noreturn]] void fire_expect_arg(const Cell* value, uint32_t position);

// The implementation of action A for the value's type; an unsupported slot raises script
// expect-arg (the running function, the value's datatype, its first argument). A port!'s
// actions from append on come from its actor (raising access no-port-action when missing).
template <Action A>
inline ActionSig<A> action_fn(const Cell* value) {
    ActionSig<A> fn = action_impl<A>(value->type());
    if (!fn) [[unlikely]] fire_expect_arg(value, 0);
    return fn;
}
// The path-access implementation of the value's type; when unsupported raises script
// bad-path-type2 (element, datatype) without a path, else bad-path-type (path, datatype, the path
// cut after position).
EvalPathFn eval_path_fn(const Cell* value, const Cell* element, const Cell* path, int32_t position);

// The index argument of pick and poke as an integer: integer or char its value, true 1, false 2,
// anything else 0.
int32_t pick_index_arg(const Cell* index);

// ---- Typed entries ---------------------------------------------------------------------------------
//
// Each dispatches on its first argument's type (make/to on a datatype! prototype: on the type it
// names) and raises expect-arg when that type does not support the action. Results go into the
// first cell as the action's convention says.

void make_typed(Cell* proto, Cell* spec);
void to_typed(Cell* proto, Cell* spec);
void random_typed(Cell* value, bool seed, bool secure, bool only);
void reflect_typed(Cell* value, uint32_t field_symbol);
// form/mold append to the string buffer and return the budget left; part false means no limit
// (pass INT32_MAX as budget).
int32_t form_typed(const Cell* value, Cell* buffer, bool part, int32_t budget);
int32_t mold_typed(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                   int32_t budget, int32_t indent);
void eval_path_typed(Cell* parent, const PathStep& step);
void math_typed(Action a, Cell* left, Cell* right);   // add ... xor~, power
void round_typed(Cell* value, const RoundOpts& opts);
bool even_typed(const Cell* value);
bool odd_typed(const Cell* value);
void insert_typed(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup,
                  bool append);
inline void append_typed(Cell* series, const Cell* value, int32_t part = -1, bool only = false,
                         int32_t dup = 1) {
    insert_typed(series, value, part, only, dup, true);
}
void change_typed(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup);
void copy_typed(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);
void find_typed(Cell* series, const Cell* value, const FindOpts& opts);
void select_typed(Cell* series, const Cell* value, const FindOpts& opts);
// -1 from the implementation: none.
int32_t length_typed(const Cell* value);
void pick_typed(Cell* series, const Cell* index);
void poke_typed(Cell* series, const Cell* index, const Cell* value);
void put_typed(Cell* series, const Cell* key, const Cell* value, bool case_);
void remove_typed(Cell* series, const Cell* part, const Cell* key);
void sort_typed(Cell* series, const SortOpts& opts);
void take_typed(Cell* series, const Cell* part, bool deep, bool last);
void trim_typed(Cell* series, const TrimOpts& opts);
void open_typed(Cell* port, const PortOpts& opts);

// ---- Comparison ------------------------------------------------------------------------------------

// The generic comparison: the truth of `a op b` (ops 0-6, 9-12); -2 from the implementation under
// an ordering op raises script invalid-compare. A type without a compare is not comparable.
bool compare_truth(const Cell* a, const Cell* b, int32_t op);
// The raw element order (-1, 0, 1; or -2 when not comparable) used by block, object and map code:
// logic! by truth, native!/action!/op! by word 1, function!/routine! by word 3, others through
// their compare.
int32_t compare_values(const Cell* a, const Cell* b, int32_t op);
// Compares the frame's first two cells and leaves a logic! in the result cell.
void compare_args(int32_t op);

// ---- Shared by the natives -----------------------------------------------------------------------

// reduce: a block is evaluated expression by expression into a new block (or into the `into`
// series); a function value is kept; any other value is evaluated as one expression. The result
// goes into the current frame's result cell.
void reduce_into(const Cell* value, const Cell* into);

// ---- Fast paths --------------------------------------------------------------------------------------
//
// Each answers false, touching nothing, when its inline case does not apply; the caller then goes
// through the action entry. They never open a frame.

// Selectors 0 add, 1 subtract, 2 multiply, 5 or, 6 and, 7 xor. Two integer!: 32-bit arithmetic
// (an overflowing add/subtract/multiply gives the float! result); two float! under 0-2: double
// arithmetic. The result goes into `left`. Inline: the interpreter's infix step is built on it.
[[gnu::always_inline]] inline bool fast_math(Cell* left, const Cell* right, int32_t selector) {
    if (left->is(T_INTEGER) && right->is(T_INTEGER)) {
        int32_t x = integer_get_cell(left), y = integer_get_cell(right), r;
        switch (selector) {
        case OP_ADD:
            if (__builtin_add_overflow(x, y, &r)) [[unlikely]] float_make_at(left, double(x) + double(y));
            else left->data2 = uint32_t(r);
            return true;
        case OP_SUBTRACT:
            if (__builtin_sub_overflow(x, y, &r)) [[unlikely]] float_make_at(left, double(x) - double(y));
            else left->data2 = uint32_t(r);
            return true;
        case OP_MULTIPLY:
            if (__builtin_mul_overflow(x, y, &r)) [[unlikely]] float_make_at(left, double(int64_t(x) * y));
            else left->data2 = uint32_t(r);
            return true;
        case OP_OR: left->data2 = uint32_t(x | y); return true;
        case OP_AND: left->data2 = uint32_t(x & y); return true;
        case OP_XOR: left->data2 = uint32_t(x ^ y); return true;
        case OP_DIVIDE: case OP_REMAINDER: return false;
        default: runtime_quit(RT_NO_SWITCH, 0);
        }
    }
    if (left->is(T_FLOAT) && right->is(T_FLOAT) && selector >= OP_ADD && selector <= OP_MULTIPLY) {
        double x = left->get_float(), y = right->get_float();
        left->put_float(selector == OP_ADD ? x + y : selector == OP_SUBTRACT ? x - y : x * y);
        return true;
    }
    return false;
}
// Selectors 0-6 as compare ops; two integer! only. *result receives the truth.
[[gnu::always_inline]] inline bool fast_compare(const Cell* a, const Cell* b, int32_t op, bool* result) {
    if (!a->is(T_INTEGER) || !b->is(T_INTEGER)) return false;
    int32_t x = integer_get_cell(a), y = integer_get_cell(b);
    switch (op) {
    case CMP_EQUAL: case CMP_STRICT_EQUAL: *result = x == y; return true;
    case CMP_NOT_EQUAL: *result = x != y; return true;
    case CMP_LESSER: *result = x < y; return true;
    case CMP_LESSER_EQUAL: *result = x <= y; return true;
    case CMP_GREATER: *result = x > y; return true;
    case CMP_GREATER_EQUAL: *result = x >= y; return true;
    default: runtime_quit(RT_NO_SWITCH, 0);
    }
}
// block! with an integer index: the cell at 1-based index from the head, or none when out of
// range, copied into *out.
bool pick_fast(const Cell* block, const Cell* index, Cell* out);
// block! navigation, result in `value`: 1 length?, 2 index?, 3 head?, 4 tail?, 5 next, 6 back,
// 7 head, 8 tail.
bool series_navigate(Cell* value, int32_t selector);

} // namespace kel

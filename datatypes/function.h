// The function types: native!, action!, op!, function! and routine!.
//
// Cells (words 1-3):
//   native!, action!  word 1 the 1-based index of the entry in the natives table (1-120) or the
//                     action table (1-62), never an address; word 2 the spec block's node;
//                     word 3 the more block's node: two cells, a copy of the context cell of a
//                     function context made from the spec, then none.
//   function!         header bit 10 (trace) / bit 9 (no-trace) from the spec's attribute block;
//                     word 1 the function context's node (kind 1, values on the data stack while
//                     it runs); word 2 the spec node; word 3 the more block, five cells:
//                       0 the body (a deep copy of the block given) or none,
//                       1 the arguments cache, unset until the interpreter builds it,
//                       2 unset (the environment is interpreted: no code address),
//                       3 unset, or the function itself once an op! was made from it,
//                       4 unset (no compiled owner reference).
//                     The function value is also the owner cell of its context.
//   routine!          a C++ entry of the environment described by a spec. Header bit 15 is
//                     always set (it works on argument cells and a result cell, like a native),
//                     bits 25-29 hold its argument count; word 1 its context, word 2 its spec,
//                     word 3 the more block: 0 body or none, 1 arguments cache, 2 an integer!
//                     holding the 1-based index of its entry in the routine table, 3 unset,
//                     4 an integer! return type id (-1 for none).
//   op!               a copy of the cell it was made from, header 23 with the source's type id
//                     in bits 16-23; an op! of a function!/routine! is also stored in more-block
//                     cell 3 of its source.
//
// Every function that makes a value allocates: cells passed in are copied first; results are
// pushed on the data stack (valid until the next allocation, like every Cell*).
#pragma once

#include "core/cell.h"
#include "core/memory.h"
#include "core/series.h"
#include "evaluator/natives.h"

#include <cstdint>

namespace kel {

// ---- Layout ----------------------------------------------------------------------------------------

enum : uint32_t {
    FUNC_FLAG_NO_TRACE = 0x200,     // function!: the attribute block holds `no-trace`
    FUNC_FLAG_TRACE = 0x400,        // function!: the attribute block holds `trace`
    ROUTINE_FLAG_CELLS = 0x8000,    // routine!: takes argument cells and a result cell
    ROUTINE_ARITY_SHIFT = 25,
    ROUTINE_ARITY_MASK = 0x3E000000,
};

// Cells of the more block.
enum MoreCell : uint32_t {
    MORE_BODY = 0,        // function!/routine! body or none; native!/action! the context cell
    MORE_ARGS_CACHE = 1,  // arguments cache (unset until built); none for native!/action!
    MORE_CODE = 2,        // routine!: integer! routine-table index; else unset
    MORE_OP_SOURCE = 3,   // the function an op! was made from
    MORE_OWNER = 4,       // routine!: integer! return type; function!: unset
};
constexpr uint32_t NATIVE_MORE_CELLS = 2;
constexpr uint32_t FUNCTION_MORE_CELLS = 5;
constexpr uint32_t ACTION_TABLE_SIZE = 62;

inline Node function_spec_node(const Cell* f) { return f->data2; }
inline Node function_more_node(const Cell* f) { return f->data3; }
// function!/routine! (and an op! made from one): the context node.
inline Node function_context(const Cell* f) { return f->data1; }
// native!/action! (and an op! made from one): the 1-based table index.
inline uint32_t function_table_index(const Cell* f) { return f->data1; }
// Cell i of the more block (no allocation; valid until the next allocation).
inline Cell* function_more_cell(const Cell* f, uint32_t i) {
    return reinterpret_cast<Cell*>(node_series(f->data3)->data()) + i;
}
// The spec as a block! value (head 0; shared, not copied).
inline Cell function_spec_block(const Cell* f) { return make_series(T_BLOCK, f->data2, 0); }
// op!: the type id of the value it was made from.
inline TypeId op_source_type(const Cell* op) {
    return TypeId((op->header & CELL_OP_TYPE_MASK) >> CELL_OP_TYPE_SHIFT);
}
// The type a function-like value behaves as: an op!'s source type, else its own.
inline TypeId function_kind(const Cell* f) { return f->is(T_OP) ? op_source_type(f) : f->type(); }
inline uint32_t routine_arity(const Cell* r) {
    return (r->header & ROUTINE_ARITY_MASK) >> ROUTINE_ARITY_SHIFT;
}

// ---- Making (allocate) -----------------------------------------------------------------------------

// A native! or action! on the data stack for the spec block and the table index. The index must lie
// in 1-120 (natives) or 1-62 (actions): otherwise script bad-make-arg (the datatype, `make_arg`, the
// whole make argument; null: the spec).
// Once start-up is sealed, the spec must also describe the frame of the spec the slot was first
// made with during start-up (same arguments, same refinements with the same arguments, each
// argument's types within that one's; names, doc strings, fetch kinds and return declarations may
// differ), else the same error; a slot that start-up did not make takes any spec only when its
// table entry is empty (calling the value then raises not-done).
Cell* native_make(const Cell* spec, int32_t index, const Cell* make_arg = nullptr);
Cell* action_make(const Cell* spec, int32_t index, const Cell* make_arg = nullptr);
// The same for an index known to be in range, giving null (nothing pushed) for a spec that does
// not fit, for decoders that refuse such a record themselves.
Cell* table_function_make_if_fits(TypeId type, const Cell* spec, int32_t index);
// The slots' first specs: init (at natives_init) starts recording them, seal (when the
// environment has started) ends it and checks every later make against them.
void table_layouts_init();
void table_layouts_seal();

// Turns the native!, action!, function! or routine! in `value` into an op! in place. Another type
// raises script invalid-type; a spec without exactly two arguments (or with a lit/get-word first
// argument) script bad-op-spec.
void op_make(Cell* value);
// The argument-count check of op! making: true when the spec describes exactly two arguments and
// the first one is evaluated.
bool op_spec_ok(const Cell* spec);

// Checks a function spec (see the grammar in function.cpp) and returns the header flags of its
// attribute block (0 when it has none). Raises script bad-func-def (the spec), invalid-type-spec,
// no-value or dup-vars.
uint32_t function_validate_spec(const Cell* spec);

// Makes a function! from a validated spec, a body block (null or none: no body) and a context (0:
// made from the spec here, and the body copy bound to it), with the attribute flags. Pushes the
// function and returns its context node. Serves make, func, function and the environment's
// start-up code.
Node function_make(const Cell* spec, const Cell* body, Node ctx, uint32_t flags);

// A routine! on the data stack: spec, body (null or none: no body), its 1-based routine-table
// index and its return type id (-1 for none).
Cell* routine_make(const Cell* spec, const Cell* body, uint32_t routine_index, int32_t return_type);

// The local-word collector of the `function` native: `spec` is the caller's own copy (a block! on
// the data stack or rooted, head 0), extended in place with `/local` and every word the body sets
// that the spec does not name; words after `/extern` are never made local and `/extern` with its
// words is cut off. Raises script bad-func-extern for a value of a spec with /extern that is not a
// word, block or string.
void function_collect_words(Cell* spec, const Cell* body);

// From the head index of the spec, 1 + the number of words after the first `/local`; without
// `/local` 0, or -1 with must_exist.
int32_t function_count_locals(Node spec, uint32_t head, bool must_exist);

// Pushes `false` then n - 1 none values: an unused refinement and its arguments.
void refinement_args_none(uint32_t n);

// ---- Shared by the function types' action implementations -------------------------------------------

// Compare by word 1 (table index or context): -2 unless b has a's type; ordered answers for the
// equality and sort ops only.
int32_t function_compare_index(const Cell* a, const Cell* b, int32_t op);
// Compare by more block (function!, routine!), same ops.
int32_t function_compare_more(const Cell* a, const Cell* b, int32_t op);
// make native! / make action! from [spec index]; the result replaces proto.
void make_table_function_value(Cell* proto, Cell* spec, TypeId type);

// ---- The routine table ------------------------------------------------------------------------------
//
// The C++ entries that the environment's routine! values stand for. They use the natives' calling
// convention: arguments are the current frame's cells, the result goes into its first cell.
using RoutineFn = NativeFn;
constexpr uint32_t ROUTINE_TABLE_SLOTS = 256;
// Registers an entry under a name (registering a name again replaces its entry); returns its
// 1-based index.
uint32_t routine_register(const char* name, RoutineFn fn);
// The index of a registered entry, 0 when there is none.
uint32_t routine_index(const char* name);
// The entry for an index, null outside the table.
RoutineFn routine_entry(uint32_t index);
const char* routine_name(uint32_t index);

} // namespace kel

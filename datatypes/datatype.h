// The datatype registry, the action table and the protocols every datatype follows.
//
// Each datatype registers once at start-up (parents before children): its type id, its parent and
// one entry per action slot, in the fixed slot order below. An entry is an implementation, INHERIT
// (take the parent's current entry for the slot: a copy made at registration, so a later change to
// the parent's row does not reach the child) or UNSUPPORTED. The list is a std::array of exactly
// ACTION_COUNT entries, so a wrong count does not compile.
//
// The action table holds one row of function pointers per type id, [type][action - 1]. Each slot
// has its own C++ signature (ActionSig<A> below); the table stores them type-erased and
// action_impl<A>(type) gives them back typed. The action entry layer (evaluator/actions.h) turns a
// native frame into these explicit arguments, and C++ code calls them directly through the typed
// entries (mold_value, form_value, compare_values ...).
//
// Conventions shared by every implementation:
//  - the first argument cell is both input and result: an implementation leaves its result there
//    (the frame's result cell when called from the entry layer);
//  - a refinement that carries a value is passed as `const Cell*`, null when it was not given; a
//    plain refinement is passed as bool;
//  - argument checks come before the first write; errors are raised with fire_error, never
//    returned;
//  - every Cell* argument may move when the implementation allocates unless it lies on the data
//    stack or in a Rooted cell; implementations fetch buffers again through nodes after allocating.
#pragma once

#include "core/cell.h"

#include <array>
#include <cstdint>
#include <type_traits>

namespace kel {

// ---- Action slots ------------------------------------------------------------------------------

enum Action : uint8_t {
    A_MAKE = 1, A_RANDOM, A_REFLECT, A_TO, A_FORM, A_MOLD, A_EVAL_PATH, A_RESERVED_8, A_COMPARE,
    A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE, A_POWER, A_REMAINDER, A_ROUND, A_SUBTRACT,
    A_EVEN_Q, A_ODD_Q, A_AND, A_COMPLEMENT, A_OR, A_XOR,
    A_APPEND, A_AT, A_BACK, A_CHANGE, A_CLEAR, A_COPY, A_FIND, A_HEAD, A_HEAD_Q, A_INDEX_Q,
    A_INSERT, A_LENGTH_Q, A_MOVE, A_NEXT, A_PICK, A_POKE, A_PUT, A_REMOVE, A_REVERSE, A_SELECT,
    A_SORT, A_SKIP, A_SWAP, A_TAIL, A_TAIL_Q, A_TAKE, A_TRIM,
    A_CREATE, A_CLOSE, A_DELETE, A_MODIFY, A_OPEN, A_OPEN_Q, A_QUERY, A_READ, A_RENAME, A_UPDATE,
    A_WRITE,
};
constexpr uint32_t ACTION_COUNT = 62;
static_assert(A_WRITE == ACTION_COUNT);
constexpr uint32_t ACTION_ROW = 256;  // slots per type id; only 1..62 are used

// The action words in slot order (index action - 1); slot 8 has none.
extern const char* const k_action_names[ACTION_COUNT];

// ---- Compare protocol --------------------------------------------------------------------------
//
// compare(a, b, op) answers 0 for equal, a negative or positive order, or CMP_NOT_COMPARABLE.
// For the equality ops any non-zero answer means "different".
enum CompareOp : int32_t {
    CMP_EQUAL = 0,          // equal?      lenient: case-insensitive text, numbers across types
    CMP_NOT_EQUAL = 1,      // not-equal?
    CMP_STRICT_EQUAL = 2,   // strict-equal?
    CMP_LESSER = 3,
    CMP_LESSER_EQUAL = 4,
    CMP_GREATER = 5,
    CMP_GREATER_EQUAL = 6,
    CMP_SORT = 7,           // sort order, case-insensitive
    CMP_CASE_SORT = 8,      // sort order, case-sensitive
    CMP_SAME = 9,           // same?
    CMP_FIND = 10,          // word equalities (find and look-ups)
    CMP_STRICT_WORD = 11,
    CMP_SEARCH = 12,        // search equality: like 0, types must match where the type says so
};
constexpr int32_t CMP_NOT_COMPARABLE = -2;
inline bool compare_op_is_equality(int32_t op) {
    return op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL || op >= CMP_SAME;
}

// ---- Refinement bundles of the wider actions ---------------------------------------------------

struct RoundOpts {
    const Cell* to = nullptr;  // /to scale
    bool even = false, down = false, half_down = false, floor = false, ceiling = false,
         half_ceiling = false;
};
struct FindOpts {
    const Cell* part = nullptr;
    bool only = false, case_ = false, same = false, any = false;
    const Cell* with = nullptr;
    const Cell* skip = nullptr;
    bool last = false, reverse = false, tail = false, match = false;
};
struct SortOpts {
    bool case_ = false;
    const Cell* skip = nullptr;
    const Cell* compare = nullptr;
    const Cell* part = nullptr;
    bool all = false, reverse = false, stable = false;
};
struct TrimOpts {
    bool head = false, tail = false, auto_ = false, lines = false, all = false;
    const Cell* with = nullptr;
};
// One path step: the parent value is arguments[0]; get when value is null, else set.
struct PathStep {
    const Cell* element;         // the path element (word, integer, evaluated paren ...)
    const Cell* value;           // value to set (last element of a set-path), or null for a get
    const Cell* path;            // the whole path, or null outside a path
    const Cell* prev_container;  // the container before the parent, or null
    const Cell* prev_element;    // the element that gave the parent, or null
    int32_t position;            // the element's index in the path
    bool last;                   // the last element of the path
    bool case_;                  // case-sensitive look-up
    bool strict;                 // strict (the entry layer passes true)
};
// The port actions' refinements, one bundle for create ... write.
struct PortOpts {
    const Cell* part = nullptr;
    const Cell* seek = nullptr;
    const Cell* as = nullptr;
    const Cell* allow = nullptr;
    bool binary = false, lines = false, info = false, append = false, new_ = false, read = false,
         write = false;
};

// ---- Action signatures ---------------------------------------------------------------------------
//
// The first cell is the value (and receives the result) unless stated otherwise.
using MakeFn = void (*)(Cell* proto, Cell* spec, TypeId type);      // make and to: result in proto
using RandomFn = void (*)(Cell* value, bool seed, bool secure, bool only);
using ReflectFn = void (*)(Cell* value, uint32_t field_symbol);
// form: appends the value's text to the string buffer and returns the budget less what it wrote.
using FormFn = int32_t (*)(const Cell* value, Cell* buffer, bool part, int32_t budget);
using MoldFn = int32_t (*)(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                           int32_t budget, int32_t indent);
// path access: on a get the parent cell is replaced by the picked value; on a set the value is
// stored and the parent cell receives it.
using EvalPathFn = void (*)(Cell* parent, const PathStep& step);
using CompareFn = int32_t (*)(const Cell* a, const Cell* b, int32_t op);
using UnaryFn = void (*)(Cell* value);                    // absolute negate complement clear,
                                                          // head tail next back head? tail? index?
using BinaryFn = void (*)(Cell* left, Cell* right);       // add subtract ... xor~, swap
using RoundFn = void (*)(Cell* value, const RoundOpts& opts);
using PredicateFn = bool (*)(const Cell* value);          // even? odd?
// append and insert: part is a count or -1, dup a count >= 1, append true from append.
using InsertFn = void (*)(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup,
                          bool append);
using ChangeFn = void (*)(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup);
using OffsetFn = void (*)(Cell* series, const Cell* offset);           // at, skip
using CopyFn = void (*)(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);
using FindFn = void (*)(Cell* series, const Cell* value, const FindOpts& opts);  // find, select
using LengthFn = int32_t (*)(const Cell* value);          // -1 gives none
using MoveFn = void (*)(Cell* origin, Cell* target, const Cell* part);
// pick: the item at the 1-based index replaces the series cell (index_value the original index)
using PickFn = void (*)(Cell* series, int32_t index, const Cell* index_value);
using PokeFn = void (*)(Cell* series, int32_t index, const Cell* value);
using PutFn = void (*)(Cell* series, const Cell* key, const Cell* value, bool case_);
using RemoveFn = void (*)(Cell* series, const Cell* part, const Cell* key);
using ReverseFn = void (*)(Cell* series, const Cell* part, const Cell* skip);
using SortFn = void (*)(Cell* series, const SortOpts& opts);
using TakeFn = void (*)(Cell* series, const Cell* part, bool deep, bool last);
using TrimFn = void (*)(Cell* series, const TrimOpts& opts);
using ModifyFn = void (*)(Cell* target, const Cell* field, const Cell* value);
// create close delete open open? query read rename update write: arg2 is the second argument
// (write's data, rename's target), null when the action has none.
using PortFn = void (*)(Cell* target, const Cell* arg2, const PortOpts& opts);

template <Action A> struct ActionSigOf;
#define KEL_ACTION_SIG(a, T) template <> struct ActionSigOf<a> { using type = T; };
KEL_ACTION_SIG(A_MAKE, MakeFn) KEL_ACTION_SIG(A_RANDOM, RandomFn) KEL_ACTION_SIG(A_REFLECT, ReflectFn)
KEL_ACTION_SIG(A_TO, MakeFn) KEL_ACTION_SIG(A_FORM, FormFn) KEL_ACTION_SIG(A_MOLD, MoldFn)
KEL_ACTION_SIG(A_EVAL_PATH, EvalPathFn) KEL_ACTION_SIG(A_RESERVED_8, UnaryFn)
KEL_ACTION_SIG(A_COMPARE, CompareFn) KEL_ACTION_SIG(A_ABSOLUTE, UnaryFn) KEL_ACTION_SIG(A_ADD, BinaryFn)
KEL_ACTION_SIG(A_DIVIDE, BinaryFn) KEL_ACTION_SIG(A_MULTIPLY, BinaryFn) KEL_ACTION_SIG(A_NEGATE, UnaryFn)
KEL_ACTION_SIG(A_POWER, BinaryFn) KEL_ACTION_SIG(A_REMAINDER, BinaryFn) KEL_ACTION_SIG(A_ROUND, RoundFn)
KEL_ACTION_SIG(A_SUBTRACT, BinaryFn) KEL_ACTION_SIG(A_EVEN_Q, PredicateFn)
KEL_ACTION_SIG(A_ODD_Q, PredicateFn) KEL_ACTION_SIG(A_AND, BinaryFn) KEL_ACTION_SIG(A_COMPLEMENT, UnaryFn)
KEL_ACTION_SIG(A_OR, BinaryFn) KEL_ACTION_SIG(A_XOR, BinaryFn) KEL_ACTION_SIG(A_APPEND, InsertFn)
KEL_ACTION_SIG(A_AT, OffsetFn) KEL_ACTION_SIG(A_BACK, UnaryFn) KEL_ACTION_SIG(A_CHANGE, ChangeFn)
KEL_ACTION_SIG(A_CLEAR, UnaryFn) KEL_ACTION_SIG(A_COPY, CopyFn) KEL_ACTION_SIG(A_FIND, FindFn)
KEL_ACTION_SIG(A_HEAD, UnaryFn) KEL_ACTION_SIG(A_HEAD_Q, UnaryFn) KEL_ACTION_SIG(A_INDEX_Q, UnaryFn)
KEL_ACTION_SIG(A_INSERT, InsertFn) KEL_ACTION_SIG(A_LENGTH_Q, LengthFn) KEL_ACTION_SIG(A_MOVE, MoveFn)
KEL_ACTION_SIG(A_NEXT, UnaryFn) KEL_ACTION_SIG(A_PICK, PickFn) KEL_ACTION_SIG(A_POKE, PokeFn)
KEL_ACTION_SIG(A_PUT, PutFn) KEL_ACTION_SIG(A_REMOVE, RemoveFn) KEL_ACTION_SIG(A_REVERSE, ReverseFn)
KEL_ACTION_SIG(A_SELECT, FindFn) KEL_ACTION_SIG(A_SORT, SortFn) KEL_ACTION_SIG(A_SKIP, OffsetFn)
KEL_ACTION_SIG(A_SWAP, BinaryFn) KEL_ACTION_SIG(A_TAIL, UnaryFn) KEL_ACTION_SIG(A_TAIL_Q, UnaryFn)
KEL_ACTION_SIG(A_TAKE, TakeFn) KEL_ACTION_SIG(A_TRIM, TrimFn) KEL_ACTION_SIG(A_CREATE, PortFn)
KEL_ACTION_SIG(A_CLOSE, PortFn) KEL_ACTION_SIG(A_DELETE, PortFn) KEL_ACTION_SIG(A_MODIFY, ModifyFn)
KEL_ACTION_SIG(A_OPEN, PortFn) KEL_ACTION_SIG(A_OPEN_Q, PortFn) KEL_ACTION_SIG(A_QUERY, PortFn)
KEL_ACTION_SIG(A_READ, PortFn) KEL_ACTION_SIG(A_RENAME, PortFn) KEL_ACTION_SIG(A_UPDATE, PortFn)
KEL_ACTION_SIG(A_WRITE, PortFn)
#undef KEL_ACTION_SIG
template <Action A> using ActionSig = typename ActionSigOf<A>::type;

// ---- Registration ----------------------------------------------------------------------------------

using AnyAction = void (*)();

struct ActionEntry {
    enum Kind : uint8_t { Unsupported, Inherit, Impl };
    Kind kind;
    AnyAction fn;
};
inline constexpr ActionEntry UNSUPPORTED{ActionEntry::Unsupported, nullptr};
inline constexpr ActionEntry INHERIT{ActionEntry::Inherit, nullptr};
// An implementation for slot A; the function must have exactly that slot's signature.
template <Action A>
inline ActionEntry impl(ActionSig<A> fn) {
    return ActionEntry{ActionEntry::Impl, reinterpret_cast<AnyAction>(fn)};
}

using ActionEntries = std::array<ActionEntry, ACTION_COUNT>;

// Starts an entry list in which every slot is `fill` (INHERIT or UNSUPPORTED); the datatype then
// sets its own slots with set_entry<A>(entries, fn).
inline ActionEntries action_entries(ActionEntry fill) {
    ActionEntries e;
    e.fill(fill);
    return e;
}
template <Action A>
inline void set_entry(ActionEntries& entries, ActionSig<A> fn) {
    entries[A - 1] = impl<A>(fn);
}

struct DatatypeEntry {
    const char* name;   // "block!"
    int32_t length;     // strlen(name) - 1: the name without its "!"
    Cell word;          // the name's word! in the global context; unset until made
};

extern DatatypeEntry g_datatypes[T_TABLE_SIZE];
extern AnyAction g_action_table[T_TABLE_SIZE][ACTION_ROW];
extern int32_t g_highest_type;

// Clears the registry (start-up, before the first registration).
void datatype_table_init();
// Registers a datatype. The parent (0 for none) must be registered already.
void register_datatype(TypeId id, TypeId parent, const char* name, const ActionEntries& entries);
// Every datatype's init, in start-up order; each registers its type (registry.cpp calls them).
void datatypes_init();
void datatype_init();
void unset_init();
void none_init();
void logic_init();
void series_init();
void block_init();
void string_init();
void binary_init();
void integer_init();
void symbol_init();
void context_init();
void word_init();
void lit_word_init();
void set_word_init();
void get_word_init();
void refinement_init();
void char_init();
void native_init();
void action_init();
void op_init();
void path_init();
void lit_path_init();
void set_path_init();
void get_path_init();
void function_init();
void routine_init();
void paren_init();
void issue_init();
void url_init();
void file_init();
void object_init();
void bitset_init();
void triple_init();
void float_init();
void typeset_init();
void error_init();
void vector_init();
void map_init();
void hash_init();
void pair_init();
void percent_init();
void tuple_init();
void time_init();
void tag_init();
void email_init();
void handle_init();
void date_init();
void port_init();
void money_init();
void ref_init();
void point2d_init();
void point3d_init();
void image_init();

// Makes the name word of every registered type (once the global context and symbols exist).
void register_type_names();

// The implementation of action A for type t, or null when unsupported.
template <Action A>
inline ActionSig<A> action_impl(TypeId t) {
    return reinterpret_cast<ActionSig<A>>(g_action_table[t][A - 1]);
}

inline const char* type_name(TypeId t) { return g_datatypes[t].name; }

// ---- Shared constant cells ---------------------------------------------------------------------------

extern const Cell g_unset_cell;
extern const Cell g_none_cell;
extern const Cell g_true_cell;
extern const Cell g_false_cell;

inline Cell make_none() { return Cell{T_NONE, 0, 0, 0}; }
inline Cell make_unset() { return Cell{T_UNSET, 0, 0, 0}; }
inline Cell make_datatype(TypeId t) { return Cell{T_DATATYPE, t, 0, 0}; }

// ---- Type groups ---------------------------------------------------------------------------------

constexpr bool is_any_string(TypeId t) {
    return t == T_STRING || t == T_FILE || t == T_URL || t == T_TAG || t == T_EMAIL || t == T_REF;
}
constexpr bool is_any_block(TypeId t) {
    return t == T_BLOCK || t == T_PAREN || t == T_PATH || t == T_LIT_PATH || t == T_SET_PATH ||
           t == T_GET_PATH || t == T_HASH;
}
constexpr bool is_any_path(TypeId t) {
    return t == T_PATH || t == T_LIT_PATH || t == T_SET_PATH || t == T_GET_PATH;
}
constexpr bool is_any_word(TypeId t) {
    return t == T_WORD || t == T_SET_WORD || t == T_LIT_WORD || t == T_GET_WORD ||
           t == T_REFINEMENT || t == T_ISSUE;
}
constexpr bool is_any_function(TypeId t) {
    return t == T_NATIVE || t == T_ACTION || t == T_OP || t == T_FUNCTION || t == T_ROUTINE;
}
constexpr bool is_series_type(TypeId t) {
    return is_any_block(t) || is_any_string(t) || t == T_BINARY || t == T_VECTOR || t == T_IMAGE;
}
constexpr bool is_number_type(TypeId t) {
    return t == T_INTEGER || t == T_FLOAT || t == T_PERCENT;
}

} // namespace kel

// object!: named fields in an object context, with a class id. error! and port! reuse the cell,
// the copy, the field molding and the field access.
//
// Cell: word 1 the node of an object context (kind 2, self flag set; core/context.h); word 2 the
// class id (signed); word 3 the node of the change-handler record, 0 when there is none. The
// context's owner cell always holds a copy of the object.
//
// Change handlers: an object whose fields `on-change*` or `on-deep-change*` hold functions gets a
// record (two pair!-typed cells, see object.cpp) when make or copy finishes it. Every assignment
// of a field then calls on-change* with the field word, the old and the new value; every in-place
// change of a series it owns calls on-deep-change* (core/ownership.h reports those).
//
// Class ids: objects sharing a class id have the same words in the same order. Objects made at
// run time (and the environment's objects, made by evaluation at start-up) take their ids from
// one counter that starts at 1000000 and is incremented before use: the first id is 1000001.
// Fixed small ids are for values a loader rebuilds with the class they were saved with.
//
// Every function that may allocate says so; Cell* results are valid until the next allocation.
#pragma once

#include "core/cell.h"
#include "core/context.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

constexpr int32_t OBJECT_CLASS_COUNTER_START = 1000000;
extern int32_t g_object_class_counter;
// Takes a new class id (counter + 1).
int32_t object_new_class_id();

inline Node object_context(const Cell* o) { return o->data1; }
inline int32_t object_class_id(const Cell* o) { return int32_t(o->data2); }
inline uint32_t object_word_count(const Cell* o) { return context_word_count(o->data1); }
// Value cell i of an object context (no allocation).
inline Cell* object_value_at(Node ctx, uint32_t i) {
    return reinterpret_cast<Cell*>(node_series(context_cell(ctx)->data2)->head_ptr()) + i;
}
inline Cell* object_first_value(const Cell* o) { return object_value_at(o->data1, 0); }

// ---- Making (allocate) --------------------------------------------------------------------------

// Pushes an object! (type `type`: object!, error! or port!) of the context, record and class id,
// and copies it into the context's owner cell.
Cell* object_push(Node ctx, Node record, int32_t class_id, TypeId type = T_OBJECT);
// The same with no record; a context whose values series is still empty first gets one unset
// value per word.
Cell* object_push_from_context(Node ctx, int32_t class_id);
// Turns the cell (not on the data stack only if rooted) into a new empty object with room for n
// words, class id 0, no record.
Cell* object_make_at(Cell* cell, uint32_t n);

// `make` of an object: proto is the object! datatype or a prototype object (it receives the
// result), spec a block! (set-words collected, bound, evaluated) or an object! (merged). Another
// spec raises syntax malconstruct. The class id is new unless a prototype object was given and no
// word was added.
void object_make(Cell* proto, const Cell* spec);
// `make error!` and kin: the same with a result of the given object type.
void object_make_typed(Cell* proto, const Cell* spec, TypeId type);

// Copies an object into `result` (which may be the source cell): same words, type and class id;
// with deep, the series values of the copied types are deep copies; every function! is cloned
// into the new object (its body rebound to it). With types, only the values of those types are
// copied (deeply with deep).
void object_copy(const Cell* source, Cell* result, bool deep, const Cell* types);

// `construct`: a new object (class id new) or a deep copy of the prototype (class id kept, new
// when the spec adds words) from the spec's set-words, nothing evaluated. Without only, the words
// true yes on false no off none are read as their values. The result goes into `result`.
void object_construct(Cell* result, const Cell* spec, const Cell* proto, bool only);

// ---- Fields (no allocation) ---------------------------------------------------------------------

// The index of the word's symbol in the object (caseless), -1 when absent.
int32_t object_word_index(const Cell* obj, const Cell* word);
int32_t object_symbol_index(const Cell* obj, uint32_t symbol);
// The field's value cell, or the shared none cell when the object has no such word.
const Cell* object_get_field(const Cell* obj, const Cell* word);
const Cell* object_get_field_sym(const Cell* obj, uint32_t symbol);
// 1 when the word's value (value i of the context) is an object! with that class id.
bool object_word_is_class(const Cell* word, int32_t class_id);
bool object_field_is_class(Node ctx, uint32_t i, int32_t class_id);
// Clears the new-line marker of every cell of the series from its first unit to its tail.
void object_clear_new_lines(Node series);

// ---- Reflection and text (allocate) --------------------------------------------------------------

// reflect: changed class words values body owner events?; another field raises internal
// not-done. The result replaces the object cell.
void object_reflect(Cell* obj, uint32_t field_symbol);
// The fields as "name: value" lines (the form and mold of objects, errors and ports). indent: new
// lines are indented to `level`; lead_newline: a line feed first. Returns the budget left.
int32_t object_mold_fields(const Cell* obj, Cell* buffer, bool only, bool all, bool flat, bool part,
                           int32_t budget, bool indent, int32_t level, bool lead_newline);

// ---- Change handlers (allocate, may run code) --------------------------------------------------------

// Finishes the handlers of the object in `obj` (a cell on the data stack or rooted): builds its
// record from its words (none when neither handler word exists), registers it as the owner of its
// values when it has an on-deep-change* handler and refreshes the owner cell. A handler slot that
// holds neither a function! nor a routine! raises script bad-field-set.
void object_finish_handlers(Cell* obj);
// Gives the object on the top of the data stack a new record for handlers found at the given
// indexes (-1: absent) with the given locals counts; with an on-deep-change* handler the object
// becomes the owner of its values. Returns the record node. For objects built in C++.
Node object_attach_handlers(Node ctx, int32_t on_change, int32_t change_locals, int32_t on_deep,
                            int32_t deep_locals);
// True when the object has a record with an on-deep-change* slot.
bool object_has_deep_handler(const Cell* obj);

// Calls the object's on-change* (when it has one) with the word (bound to the object), the old
// and the new value. A slot that holds neither a function! nor a routine! raises script
// invalid-obj-evt with its value.
void object_fire_on_change(const Cell* obj, const Cell* word, const Cell* old_value,
                           const Cell* new_value);
// The same with the last pushed value as the old value and the one below it as the new value.
void object_fire_on_change_stack(const Cell* obj, const Cell* word);
// The object held by `word`, then as object_fire_on_change_stack with the field word.
void object_word_fire_on_change(const Cell* word, const Cell* field);
// Calls the owner's on-deep-change* with the owner, the field word, the changed series, the action
// word, the new value (null: none), the index and the part. An owner without a record raises
// script invalid-obj-evt; a slot that holds no function makes no call.
void object_fire_on_deep_change(const Cell* owner, const Cell* word, const Cell* target,
                                const Cell* action, const Cell* new_value, int32_t index,
                                int32_t part);
// Tells the object that its field `word` changed in place (its value was refilled by the GUI):
// on-change* runs with the field's current value as both the old and the new value.
void object_notify_owner(const Cell* obj, const Cell* word);

// `set` on an object: a block! or object! value (without only) spreads over the fields (by
// position from a block, by name from an object), any other value goes into every field. Every
// assignment marks the word changed and is reported to on-change*; the handler slots themselves
// are never assigned when the object has a record. Without any, an unset source value raises
// script need-value; with some, none source values are skipped.
void object_set_values(const Cell* obj, const Cell* value, bool any, bool only, bool some);

} // namespace kel

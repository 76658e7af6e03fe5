// Ownership tracking: which object owns a series, and through which of its fields.
//
// A reactive object must learn when a series held in one of its fields (or nested anywhere in
// such a series, or in a plain object held there) changes in place. set_owner_deep records, for
// every such series, the owner object and the field's word; the in-place series actions call
// ownership_check, which hands the change to the owner's deep-change notification.
//
// The ownership table is a record table keyed by node: the node of an owned series (word 2 of the
// value) or, for an object!, the node of its context (word 1). Each record holds three cells: a
// copy of the owned value, the owner object and the field's word. The collector holds the table
// weakly: records of dead series or dead owners are dropped during its sweep.
//
// Owned marks: a series buffer carries SER_OWNED (bit 17 of its flags); an image! value carries
// CELL_OWNED (bit 16) on the cell instead; an object that owns values carries CELL_OWNED in its
// context cell's header, and such an object is never walked into as somebody else's field.
//
// Deep walks keep the series they are inside of on the cycle-detection stack, so a value that
// contains itself is walked once; nesting deeper than that stack raises internal too-deep.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

// The ownership table's node (0 before ownership_init). The collector marks it every cycle.
extern Node g_ownership_table;
constexpr uint32_t OWNERSHIP_TABLE_SIZE = 1024;
constexpr uint32_t OWNERSHIP_RECORD_CELLS = 3;   // owned value, owner object, field word

// Deep-change notification of objects, installed by the object code. Called by ownership_check
// with the owner, the field's word, the changed value, the action word, the new value (null when
// the change has none), the index and the part. The first three lie on the data stack; the
// handler may allocate and run code.
using OwnerDeepChangeFn = void (*)(const Cell* owner, const Cell* word, const Cell* target,
                                   const Cell* action, const Cell* new_value, int32_t index,
                                   int32_t part);
extern OwnerDeepChangeFn g_owner_on_deep_change;

// Makes the ownership table. Called once by runtime_init.
void ownership_init();

// True for the types whose values can be owned (series types, bitset!, image!, object!).
bool ownership_tracked_type(TypeId t);

// Marks the value, and everything reachable through it, as owned by `owner` under `word`.
// A series already owned keeps its first record. The value's own cell receives the image! mark,
// so it must be the cell that holds the value.
void set_owner_deep(Cell* value, const Cell* owner, const Cell* word);
// set_owner_deep, then marks the owner's context as owning values.
void set_owner_and_flag(Cell* value, const Cell* owner, const Cell* word);
// Removes ownership from the value and from what its records lead to.
void ownership_unbind(Cell* value);
// ownership_unbind for `count` cells of the block's buffer starting at cell `index` from its
// head (cut to the tail).
void unset_owner_range(const Cell* block, uint32_t index, uint32_t count);
// The owner cell of the node's record, followed by its word cell; null when the node is not owned.
// Valid until the next allocation.
Cell* owner_find(Node node);
// Reports a change of an owned value to its owner: when the value has a record whose owner has a
// change-handler record (word 3 non-zero), calls g_owner_on_deep_change and answers true;
// otherwise answers false.
bool ownership_check(const Cell* value, const Cell* action, const Cell* new_value, int32_t index,
                     int32_t part);

} // namespace kel

// Growable arrays and the slot list.
//
// A growable array is a series of raw 32-bit integers (unit 4) or bytes (unit 1) between head and
// tail, so it moves and is collected like any series. The hash tables keep their auxiliary arrays
// in them and the GUI code keeps its list of windows in one. Positions given to pick and poke are
// 1-based; find answers a byte offset from the head. Elements are read and written in the array's
// own unit: 32-bit values on a unit-4 array, their low byte on a unit-1 array.
//
// The slot list is a block of cells used as a table of reusable 1-based slots. Free cells are
// integer! cells chained through word 2 (the 0-based index of the next free cell, -1 ending the
// chain). The block's tail always stands at its capacity; it starts with 100 cells and doubles
// when every slot is taken. A side map of the free slots lets slot_list_free refuse a slot that is
// already free or out of range, so the chain is never corrupted.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

uint32_t array_length(Node array);
void array_clear(Node array);
void array_append(Node array, uint32_t value);
// Byte offset from the head of the first element equal to value, -1 when absent.
int32_t array_find(Node array, uint32_t value);
// Element i (1-based); 0 when i lies outside the array.
uint32_t array_pick(Node array, uint32_t i);
// Stores element i (1-based); does nothing when i lies outside the array.
void array_poke(Node array, uint32_t i, uint32_t value);
// Removes n bytes at the byte offset (both cut to the used part), moving the rest down.
void array_remove_bytes(Node array, uint32_t offset, uint32_t n);

// The slot list.
constexpr uint32_t SLOT_LIST_FIRST_CAPACITY = 100;
extern Node g_slot_list;            // the slot block, 0 before slot_list_init
extern int32_t g_slot_first_free;   // 0-based index of the first free cell, -1 when none
// Makes the slot block inside the parent block (a block! cell of the parent refers to it).
void slot_list_init(Node parent);
// Cell i - 1 of the block, or null when i lies outside it.
Cell* slot_list_get(uint32_t i);
// Stores a copy of value in a free slot (doubling the block when none is free); returns its
// 1-based number.
uint32_t slot_list_alloc(const Cell& value);
// Frees slot i. 0, a number outside the block and a slot already free are ignored.
void slot_list_free(uint32_t i);
uint32_t slot_list_capacity();

} // namespace kel

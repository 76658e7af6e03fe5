// map!: the key/value dictionary.
//
// A map cell holds the head index (always 0) in word 1, the node of a block of key/value cell
// pairs in word 2 and the node of a hash table of kind map (core/hash.h) over the key cells in
// word 3. A removed entry stays in the block as a hole: its value cell's header is 0 and every
// reader skips it; putting the key again revives the pair in place. When a new key needs room
// and at least half of the pairs are holes, the block is compacted and the table rebuilt instead
// of growing.
//
// Keys are normalised when they are stored: the word kinds become set-words (so a, 'a, :a and a:
// address one entry), text and binary keys are copied (the map never shares a caller's buffer),
// the other scalar key types are kept; any other type raises script invalid-path.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

// True for the types a map accepts as keys.
bool map_key_type(TypeId t);
// Raises script invalid-path (the key's datatype, the value) unless the key's type is a map key
// type.
void map_check_key(const Cell* key, const Cell* value);
// Normalises a key cell in place for storage (its type must be a map key type). May allocate
// (a text key is copied): the cell must not lie in a series buffer unless collection is held.
void map_normalize_key(Cell* key);
// Live entries of the map.
int32_t map_count(const Cell* map);
// Turns result into a map over the block (taken over, not copied): an odd count of cells raises
// invalid-arg with spec (or the block), a key of another type invalid-path; a key met again keeps
// its first position and takes the later value. result must not lie in a series buffer. The table
// is sized for at least `capacity` entries, so that a map made for a known count never grows it.
void map_from_block(Cell* result, Node block, const Cell* spec, uint32_t capacity = 0);
// Sets the value of key (looked up case-sensitively with case_, else case-insensitively), adding
// the key when absent. Raises invalid-path for a key of another type.
void map_put(const Cell* map, const Cell* key, const Cell* value, bool case_);
// The map's extend step: each key/value pair of the block is put; an odd count raises
// invalid-arg with the block.
void map_extend(const Cell* map, const Cell* block, bool case_);

} // namespace kel

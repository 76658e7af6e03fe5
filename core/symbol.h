// The symbol table: every word name of the language, interned once.
//
// A symbol is known by its id, a 1-based integer; id n is cell n - 1 of the symbol block, a block
// of symbol! cells that only grows. Letter case does not split a name: the first spelling interned
// is the canonical symbol, a later spelling that differs only in ASCII letter case becomes an
// alias symbol linked to it. Words compare and bind by canonical id and keep their own id for
// printing. Non-ASCII letters are not folded: names differing in the case of a non-ASCII letter
// are distinct canonical symbols.
//
// Symbol cell: header symbol! (13); word 1 the alias link (-1, or any value <= 0, for a canonical
// symbol; for an alias the canonical id); word 2 the node of the cached string! spelling (0 until
// first needed); word 3 the node of a byte series holding the UTF-8 name with a NUL after its
// tail.
//
// The symbol hash table (kind 2, over the symbol block) is keyed by the MurmurHash3 of the name
// with A-Z lowered, so every case variant of a name lies on one probe sequence.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstddef>
#include <cstdint>

namespace kel {

extern Node g_symbol_table;  // the symbol hash table's record node, 0 before symbols_init

// Makes the symbol hash table over g_symbol_block (root_blocks_init made the block).
void symbols_init();

// Interning. Each returns the symbol id.
uint32_t symbol_make(const char* name);                           // NUL-terminated UTF-8
uint32_t symbol_make_caseless(const char* name);                  // no alias is ever made
uint32_t symbol_make_utf8(const uint8_t* text, size_t length);
uint32_t symbol_make_from_string(const Cell* str);                // string! from its head

uint32_t symbol_count();
// The symbol's cell, with its cached spelling made first (null for an id outside the table).
Cell* symbol_get(uint32_t id);
// The symbol's cell as it stands (no allocation); null for an id outside the table.
Cell* symbol_cell(uint32_t id);
// Makes the cached string! spelling of a symbol cell when it has none; returns its node. The
// cell must be re-fetched afterwards (the call allocates).
Node symbol_cache_string(uint32_t id);
// The canonical id (the id itself for a canonical symbol or an id outside the table).
uint32_t symbol_resolve(uint32_t id);
int32_t symbol_alias_link(uint32_t id);
// The UTF-8 name and its byte length; valid until the next allocation.
const uint8_t* symbol_name(uint32_t id, uint32_t* length);
// Hash of a UTF-8 name with A-Z lowered.
uint32_t symbol_name_hash(const uint8_t* text, size_t length);

} // namespace kel

// Words: word!, set-word!, lit-word!, get-word!, refinement! and issue! share one cell and one
// implementation (datatypes/word.cpp, issue! in datatypes/issue.cpp).
//
// Cell: word 1 the node of the word's context, 0 for a word of no context; word 2 the symbol id,
// the word's own spelling (possibly an alias of the canonical symbol); word 3 the index of the
// word in that context, -1 while not resolved. An issue! names the global context with index -1.
// Words made from names at run time are bound to the global context, which gains the name when it
// lacks it.
//
// Every function that may allocate says so; Cell* results are valid until the next allocation.
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstdint>

namespace kel {

// ---- Making (allocate) --------------------------------------------------------------------------

// Fills the cell as a word! bound to the global context (the word is added there, with an unset
// value, when new); returns the cell. The cell must survive an allocation (data stack, Rooted,
// or a cell the caller re-fetches: pass a stable one).
Cell* word_make_at(uint32_t symbol, Cell* cell);
// Appends such a word to a block value; returns the new cell.
Cell* word_make_in(uint32_t symbol, Cell* block);
// Pushes such a word.
Cell* word_push_symbol(uint32_t symbol);
// The global word of a name (caseless look-up, a case variant copied in its own spelling); while
// start-up holds the root-collect flag the word is copied into the root block and the copy is
// returned.
Cell* word_load(const char* name);
// An unbound refinement! of a symbol (no allocation).
inline Cell refinement_make(uint32_t symbol) { return Cell{T_REFINEMENT, 0, symbol, uint32_t(-1)}; }
// A refinement! of a name in a new cell of the root block.
Cell* refinement_load(const char* name);
// An issue! of a symbol: global context, index -1 (no allocation).
Cell issue_make(uint32_t symbol);
// An issue! of a name: in the root block under the root-collect flag, else pushed.
Cell* issue_load(const char* name);
// Fills the cell as the issue! of a name (interned; the cell must survive an allocation).
Cell* issue_make_at(Cell* cell, const char* name);

// ---- Pushing (allocate) ---------------------------------------------------------------------------

Cell* word_push(const Cell* word);
Cell* refinement_push(const Cell* word);   // a copy retyped refinement!
Cell* get_word_push(const Cell* word);     // a copy retyped get-word!
Cell* issue_push(const Cell* word);        // a copy retyped issue!
Cell* refinement_push_from_context(Node ctx, uint32_t i);
Cell* get_word_push_from_context(Node ctx, uint32_t i);
// Pushes the word's spelling as a string! that shares the symbol's cached spelling (not a copy:
// never modify it).
Cell* word_push_spelling(const Cell* word);

// ---- Values -------------------------------------------------------------------------------------

// Pushes a copy of the word's value; an unset value raises script no-value with the word.
Cell* word_get_push(const Cell* word);
// Pushes a copy of the word's value, unset allowed (the value of a get-word!).
Cell* get_word_push_value(const Cell* word);
// Takes the word in the current frame's first argument cell and the value in its second: an
// unset value raises script need-value with the word; otherwise the word is set (change
// notification on) and the value becomes the frame's result (first cell).
void word_set_from_stack();

// ---- Text and comparison --------------------------------------------------------------------------

// The word's own spelling as UTF-8 (valid until the next allocation).
const uint8_t* word_spelling(const Cell* word, uint32_t* length);
// Appends the spelling to a string buffer; returns the budget less the characters written.
int32_t word_form(const Cell* word, Cell* buffer, bool part, int32_t budget);
// Orders two UTF-8 texts code point by code point, folded to upper case unless the op is
// case-sensitive (strict-equal?, case sort); a prefix orders first. -1, 0 or 1; no allocation.
int32_t utf8_text_order(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, int32_t op);
// The compare protocol over word types (op codes of datatypes/datatype.h).
int32_t word_compare(const Cell* a, const Cell* b, int32_t op);
// make / to word types: the word! routine (result in `proto`, the target type `type`).
void word_make(Cell* proto, Cell* spec, TypeId type);

} // namespace kel

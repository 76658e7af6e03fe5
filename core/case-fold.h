// Case folding: the one pair of simple case mappings behind every case-insensitive operation.
//
// Each code point maps to at most one code point in each direction (Unicode's simple mappings,
// so the sharp s has no single-letter upper case and stays itself). The Basic Multilingual Plane
// is served by two dense tables of 65,536 entries, one array read per fold; the few mappings
// above U+FFFF are found by binary search in their sorted pair tables. Case-insensitive string
// comparison, search, sorting and hashing all mean "equal after uppercasing" and share
// fold_upper / fold_upper_unit, whatever the unit width of the strings involved. Symbols and word
// names are folded differently, on ASCII letters only (fold_ascii_upper).
//
// The tables are filled by case_folding_init during runtime start-up and are read-only after.
#pragma once

#include "core/cell.h"
#include "core/unicode.h"

#include <cstdint>

namespace kel {

// Dense BMP tables: entry c is the mapped code point of c, or 0 when c maps to itself.
extern uint32_t g_case_upper[0x10000];
extern uint32_t g_case_lower[0x10000];

// Fills the dense tables; called once by runtime initialisation (calling it again is harmless).
void case_folding_init();

// Mapping of a code point above U+FFFF (itself when it has none).
int32_t fold_case_supplementary(int32_t cp, bool upper);

// The code point mapped to upper case (upper true) or lower case; code points without a mapping,
// and values outside 0-0x10FFFF, are returned unchanged.
inline int32_t fold_case_char(int32_t cp, bool upper) {
    if (uint32_t(cp) < 0x10000) {
        uint32_t m = (upper ? g_case_upper : g_case_lower)[cp];
        return m ? int32_t(m) : cp;
    }
    return fold_case_supplementary(cp, upper);
}

// The fold of case-insensitive comparison, search, sorting and hashing.
inline uint32_t fold_upper(uint32_t cp) {
    if (cp < 0x10000) {
        uint32_t m = g_case_upper[cp];
        return m ? m : cp;
    }
    return uint32_t(fold_case_supplementary(int32_t(cp), true));
}

// Reads one string unit (1, 2 or 4 bytes) and folds it to upper case.
inline uint32_t fold_upper_unit(const uint8_t* p, uint32_t unit) { return fold_upper(unit_get(p, unit)); }

// The fold of symbols and word names: ASCII letters only.
inline uint32_t fold_ascii_upper(uint32_t c) { return (c - 'a' < 26u) ? c - 32 : c; }

// Changes the case of a char! or string value in place and returns it (the body of `uppercase`
// and `lowercase`). part is the /part argument, or null when it was not given: an integer! count
// or a position in the same series; anything else raises script error invalid-refine-arg (with
// the word `part` and the value) before any change. A string whose head index lies past its tail
// has its index set to the tail first. Storing a folded code point wider than the string's unit
// widens the buffer. After the change an owned string's owner is notified (ownership_check with
// the action word `uppercase` or `lowercase`, the head index and the count), which may run code.
// It may allocate: the value cell must not live in a buffer that can move (data stack or Rooted
// slot).
Cell* change_case(Cell* value, const Cell* part, bool upper);

} // namespace kel

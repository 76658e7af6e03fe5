// Case folding tables and the in-place case change of char! and string values.
//
// The mapping pairs come from core/unicode-tables.inc, generated from the Unicode Character
// Database by tools/gen-unicode-tables (simple uppercase and lowercase fields). At start-up the
// BMP pairs are spread into two dense tables indexed by code point (0 = maps to itself); the
// pairs above U+FFFF stay as sorted arrays and are binary-searched, after a quick range test
// that lets almost every supplementary code point (emoji, CJK extensions) through at once.
//
// change_case walks a string unit by unit in its current width. A folded code point that does
// not fit the unit (uppercasing U+00FF gives U+0178, U+00B5 gives U+039C) widens the buffer in
// place; the walk then goes on from the same character index in the new width. Widening may
// allocate and so move the buffer: the string stays rooted for the whole walk and its address is
// fetched again after each widening. When the walk is done the string's owner, if any, is told of
// the change (it may run code and allocate; no address is held across that call).
#include "core/case-fold.h"

#include "core/errors.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/symbol.h"
#include "core/unicode-tables.inc"

#include <algorithm>
#include <iterator>

namespace kel {

uint32_t g_case_upper[0x10000];
uint32_t g_case_lower[0x10000];

void case_folding_init() {
    std::fill(std::begin(g_case_upper), std::end(g_case_upper), 0u);
    std::fill(std::begin(g_case_lower), std::end(g_case_lower), 0u);
    for (const auto& p : unicode_data::upper_bmp) g_case_upper[p.from] = p.to;
    for (const auto& p : unicode_data::lower_bmp) g_case_lower[p.from] = p.to;
}

int32_t fold_case_supplementary(int32_t cp, bool upper) {
    const unicode_data::CasePair* first = upper ? std::begin(unicode_data::upper_supplementary)
                                                : std::begin(unicode_data::lower_supplementary);
    const unicode_data::CasePair* last = upper ? std::end(unicode_data::upper_supplementary)
                                               : std::end(unicode_data::lower_supplementary);
    uint32_t c = uint32_t(cp);
    if (first == last || c < first->from || c > last[-1].from) return cp;
    const unicode_data::CasePair* it = std::lower_bound(
        first, last, c, [](const unicode_data::CasePair& p, uint32_t v) { return p.from < v; });
    return (it != last && it->from == c) ? int32_t(it->to) : cp;
}

namespace {

bool is_any_string(TypeId t) {
    return t == T_STRING || t == T_FILE || t == T_URL || t == T_TAG || t == T_EMAIL || t == T_REF;
}

// Number of characters to change: from the /part argument, clipped to [0, avail].
uint32_t part_count(const Cell* value, const Cell* part, uint32_t avail) {
    if (!part) return avail;
    int64_t n;
    if (part->is(T_INTEGER)) {
        n = cell_integer(part);
    } else if (part->type() == value->type() && series_node(part) == series_node(value)) {
        n = int64_t(series_index(part)) - int64_t(series_index(value));
    } else {
        // Interning the refinement's word may allocate: the offending value is rooted first, as
        // fire_error allocates too before it stores its arguments.
        Rooted arg(*part);
        Cell word = make_cell(T_WORD, 0, symbol_make("part"), uint32_t(-1));
        fire_error(Err::InvalidRefineArg, &word, arg.get());
    }
    return uint32_t(std::clamp<int64_t>(n, 0, avail));
}

} // namespace

Cell* change_case(Cell* value, const Cell* part, bool upper) {
    if (value->is(T_CHAR)) {
        value->data2 = uint32_t(fold_case_char(int32_t(value->data2), upper));
        return value;
    }
    if (!is_any_string(value->type())) return value;

    Series* s = node_series(series_node(value));
    uint32_t unit = s->unit();
    if (unit != 1 && unit != 2 && unit != 4) bad_unit_width();
    uint32_t total = s->length();
    if (series_index(value) > total) value->data1 = total;
    const uint32_t head = series_index(value);
    const uint32_t count = part_count(value, part, total - head);

    const uint32_t* table = upper ? g_case_upper : g_case_lower;
    Rooted keep(*value);
    s = node_series(series_node(keep.get()));
    for (uint32_t i = head, end = head + count; i < end; ++i) {
        uint8_t* p = s->head_ptr() + uint64_t(i) * unit;
        uint32_t c = unit_get(p, unit);
        uint32_t f;
        if (c < 0x10000) {
            f = table[c];
            if (!f) continue;
        } else {
            f = uint32_t(fold_case_supplementary(int32_t(c), upper));
            if (f == c) continue;
        }
        if ((unit == 1 && f > 0xFF) || (unit == 2 && f > 0xFFFF)) {
            if (unit == 1) s = f > 0xFFFF ? string_widen_1_to_4(s) : string_widen_1_to_2(s);
            else s = string_widen_2_to_4(s);
            s = node_series(series_node(keep.get()));
            unit = s->unit();
            p = s->head_ptr() + uint64_t(i) * unit;
        }
        unit_put(p, unit, f);
    }

    // The owner learns of the change through a copy of the value (the handler may move buffers).
    Cell action = make_cell(T_WORD, 0, symbol_make(upper ? "uppercase" : "lowercase"), uint32_t(-1));
    ownership_check(keep.get(), &action, nullptr, int32_t(head), int32_t(count));
    return value;
}

} // namespace kel

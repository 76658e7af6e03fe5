// string!: storage, the text builders every part of the runtime uses, loading external text, the
// hexadecimal helpers and the comparison core shared by all text types.
//
// A string buffer holds units of 1, 2 or 4 bytes; Series::head is the byte offset of unit 0 from
// the data start and Series::tail the byte offset just past the last unit. Writers keep the
// narrowest unit the content allows and widen once, in place, when a wider code point arrives
// (core/unicode.h does the widening). Growth doubles the buffer so repeated appends are amortised;
// appending an ASCII character to a 1-byte buffer with room is a store and a tail bump.
//
// Allocation moves buffers and may renumber nodes: every routine that allocates re-reads its
// buffers through the value cells it was given (which callers keep on the data stack or in
// Rooted slots) or through Rooted copies of its own.
#include "datatypes/string.h"

#include "core/case-fold.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kel {

namespace {

inline uint32_t unit_shift(uint32_t unit) { return unit == 1 ? 0 : unit == 2 ? 1 : unit == 4 ? 2 : (bad_unit_width(), 0); }

// The narrowest unit that holds a code point when stored at a position (put/insert rule).
inline uint32_t unit_for_put(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// Units from the buffer's unit 0 to its tail.
inline uint32_t total_units(const Series* s) { return (s->tail - s->head) / s->unit(); }

} // namespace

// ---- Reading -------------------------------------------------------------------------------------

uint8_t* string_rs_head(Cell* str) {
    Series* s = value_series(str);
    uint32_t total = total_units(s);
    if (series_index(str) > total) str->data1 = total;
    return s->head_ptr() + (uint64_t(series_index(str)) << unit_shift(s->unit()));
}

uint8_t* string_rs_tail(const Cell* str) { return value_series(str)->tail_ptr(); }

bool string_rs_tail_q(const Cell* str) { return series_index(str) >= total_units(value_series(str)); }

int32_t string_rs_length(const Cell* str) {
    uint32_t total = total_units(value_series(str));
    uint32_t i = series_index(str);
    return i >= total ? 0 : int32_t(total - i);
}

uint32_t string_get_char(const uint8_t* p, uint32_t unit) { return unit_get(p, unit); }

uint32_t string_rs_abs_char(const Cell* str, uint32_t index) {
    Series* s = value_series(str);
    return unit_get(s->head_ptr() + (uint64_t(index) << unit_shift(s->unit())), s->unit());
}

int32_t string_find_char(const Cell* str, uint32_t cp) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    int32_t n = string_rs_length(str);
    const uint8_t* p = s->head_ptr() + (uint64_t(series_index(str)) << unit_shift(unit));
    for (int32_t i = 0; i < n; ++i, p += unit)
        if (unit_get(p, unit) == cp) return i;
    return -1;
}

bool string_has_char(const Cell* str, uint32_t cp, int32_t step, bool case_sensitive) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    int32_t n = string_rs_length(str);
    if (step < 1) step = 1;
    if (!case_sensitive) cp = fold_upper(cp);
    const uint8_t* p = s->head_ptr() + (uint64_t(series_index(str)) << unit_shift(unit));
    for (int32_t i = 0; i < n; i += step, p += uint64_t(step) * unit) {
        uint32_t c = unit_get(p, unit);
        if ((case_sensitive ? c : fold_upper(c)) == cp) return true;
    }
    return false;
}

bool string_starts_with(const Cell* str, const char* text) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    size_t len = std::strlen(text);
    if (size_t(string_rs_length(str)) < len) return false;
    const uint8_t* p = s->head_ptr() + (uint64_t(series_index(str)) << unit_shift(unit));
    for (size_t i = 0; i < len; ++i, p += unit) {
        uint32_t c = unit_get(p, unit);
        if (c > 255 || c != uint8_t(text[i])) return false;
    }
    return true;
}

bool string_char_in_bitset(const Cell* str, const Cell* bitset) {
    if (string_rs_tail_q(str)) return false;
    uint32_t c = string_rs_abs_char(str, series_index(str));
    Series* b = value_series(bitset);
    constexpr uint32_t BITSET_COMPLEMENT = 0x80000;
    uint32_t bytes = b->tail - b->head;
    if (uint64_t(c) >= uint64_t(bytes) * 8) return (b->flags & BITSET_COMPLEMENT) != 0;
    return (b->head_ptr()[c >> 3] & (0x80 >> (c & 7))) != 0;
}

bool string_tag_at_head(const Cell* str, const Cell* tag) {
    int32_t len = string_rs_length(str);
    int32_t tlen = string_rs_length(tag);
    if (len < tlen + 2) return false;
    uint32_t h = series_index(str);
    return string_rs_abs_char(str, h) == '<' && string_rs_abs_char(str, h + uint32_t(tlen) + 1) == '>';
}

bool string_match(const Cell* str, const Cell* value, int32_t op) {
    if (string_rs_tail_q(str)) return false;
    TypeId t = value->type();
    if (t == T_CHAR) {
        uint32_t c = string_rs_abs_char(str, series_index(str));
        uint32_t v = value->data2;
        return op == CMP_STRICT_EQUAL ? c == v : fold_upper(c) == fold_upper(v);
    }
    if (t == T_TAG) {
        if (!string_tag_at_head(str, value)) return false;
        Cell after = *str;
        after.data1 += 1;
        return string_compare_core(&after, value, op, true) == 0;
    }
    if (is_any_string(t)) return string_compare_core(str, value, op, true) == 0;
    return false;
}

// ---- Making ----------------------------------------------------------------------------------------

Cell* string_make_at(Cell* cell, uint32_t room, uint32_t unit) {
    init_cell(cell, T_UNSET);
    Node n = alloc_series(room ? room : 1, unit, 0);
    return init_cell(cell, T_STRING, 0, n, 0);
}

Cell* string_push(const Cell* str) { return stack_push(str); }

Cell* string_push_new(uint32_t room) {
    Cell* c = stack_push_slot();
    return string_make_at(c, room, 1);
}

// ---- Writing ---------------------------------------------------------------------------------------

Series* string_widen_to(Series* s, uint32_t unit) {
    uint32_t u = s->unit();
    if (unit <= u) return s;
    if (u == 1) return unit == 2 ? string_widen_1_to_2(s) : string_widen_1_to_4(s);
    if (u == 2) return string_widen_2_to_4(s);
    bad_unit_width();
}

Series* string_reserve(Series* s, uint64_t count) {
    uint32_t unit = s->unit();
    uint64_t used = s->tail - s->head;
    // checked even when the buffer has room: rounded up, it can hold units past the largest length
    if (used + count * unit > SERIES_MAX_UNITS * unit) fire_error(Err::NoMemory);
    if (uint64_t(s->tail) + count * unit <= s->size) return s;
    uint64_t want = std::max<uint64_t>((used + count * unit) * 2, uint64_t(s->size) * 2);
    return expand_series_copy(s, growth_size(used + count * unit, want));
}

Series* string_append_char(Series* s, uint32_t cp) {
    uint32_t unit = s->unit();
    if (unit == 1) {
        if (cp < 0x80) [[likely]] {
            if (s->tail < s->size && s->tail - s->head < SERIES_MAX_UNITS) [[likely]] {
                s->data()[s->tail++] = uint8_t(cp);
                return s;
            }
        } else {
            s = cp <= 0xFFFF ? string_widen_1_to_2(s) : string_widen_1_to_4(s);
            unit = s->unit();
        }
    } else if (unit == 2 && cp > 0xFFFF) {
        s = string_widen_2_to_4(s);
        unit = 4;
    }
    s = string_reserve(s, 1);
    unit_put(s->tail_ptr(), unit, cp);
    s->tail += unit;
    return s;
}

Series* string_put_char_at(Series* s, uint32_t index, uint32_t cp) {
    s = string_widen_to(s, unit_for_put(cp));
    uint32_t unit = s->unit();
    uint64_t pos = uint64_t(s->head) + uint64_t(index) * unit;
    if (pos + unit > s->size) {
        uint64_t want = std::max<uint64_t>(uint64_t(s->size) * 2, (pos + unit) * 2);
        s = expand_series_copy(s, want);
        pos = uint64_t(s->head) + uint64_t(index) * unit;
    }
    if (pos >= s->tail) {
        // storing past the tail: the units between become part of the string
        if (pos > s->tail) std::memset(s->data() + s->tail, 0, pos - s->tail);
        s->tail = uint32_t(pos + unit);
    }
    unit_put(s->data() + pos, unit, cp);
    return s;
}

Series* string_insert_char_at(Series* s, uint32_t index, uint32_t cp) {
    s = string_widen_to(s, unit_for_put(cp));
    s = string_reserve(s, 1);
    uint32_t unit = s->unit();
    uint32_t pos = std::min(s->head + index * unit, s->tail);
    std::memmove(s->data() + pos + unit, s->data() + pos, s->tail - pos);
    unit_put(s->data() + pos, unit, cp);
    s->tail += unit;
    return s;
}

void string_remove_units(Cell* str, uint32_t index, uint32_t count) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint64_t pos = uint64_t(s->head) + uint64_t(index) * unit;
    if (pos >= s->tail || count == 0) return;
    uint64_t end = std::min<uint64_t>(pos + uint64_t(count) * unit, s->tail);
    std::memmove(s->data() + pos, s->data() + end, s->tail - end);
    s->tail -= uint32_t(end - pos);
}

void string_concatenate_literal(Cell* str, const char* text) {
    string_append_bytes(str, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

void string_append_bytes(Cell* str, const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    Series* s = string_reserve(value_series(str), n);
    uint32_t unit = s->unit();
    uint8_t* out = s->tail_ptr();
    if (unit == 1) {
        std::memcpy(out, bytes, n);
    } else {
        for (size_t i = 0; i < n; ++i, out += unit) unit_put(out, unit, bytes[i]);
    }
    s->tail += uint32_t(n * unit);
}

void string_append_utf8(Cell* str, const uint8_t* text, size_t length) {
    if (length == 0) return;
    Series* s = string_reserve(value_series(str), length);
    const uint8_t* p = text;
    const uint8_t* end = text + length;
    while (p < end) {
        if (s->unit() == 1) {
            // ASCII run straight into a 1-byte buffer (room for length units was reserved)
            uint8_t* out = s->tail_ptr();
            const uint8_t* q = p;
            while (q < end && *q < 0x80) *out++ = *q++;
            s->tail += uint32_t(q - p);
            p = q;
            if (p == end) break;
        }
        int32_t cp;
        p = decode_utf8_char(p, end, &cp);
        s = string_append_char(s, cp < 0 ? 0xFFFD : uint32_t(cp));
    }
}

void string_concatenate(Cell* target, const Cell* source, int32_t part, int32_t offset,
                        bool /*keep_source*/, int mode) {
    Rooted src(*source);
    if (src->is(T_SYMBOL)) init_cell(src.get(), T_STRING, 0, src->data2, 0);  // cached spelling
    Series* ss = value_series(src.get());
    uint32_t su = ss->unit();
    int32_t count = string_rs_length(src.get());
    if (part >= 0 && part < count) count = part;
    if (count <= 0) return;

    Series* ts = value_series(target);
    bool shared = series_node(target) == series_node(src.get());
    ts = string_widen_to(ts, su);
    ts = string_reserve(ts, uint64_t(count));
    // buffers may have moved: fetch both again
    ss = value_series(src.get());
    ts = value_series(target);
    uint32_t tu = ts->unit();
    su = ss->unit();
    const uint8_t* from = ss->head_ptr() + (uint64_t(std::min<uint32_t>(series_index(src.get()), total_units(ss))) << unit_shift(su));

    // the characters taken, kept aside when the insertion would move them
    std::vector<uint8_t> saved;
    if (shared && mode == 1) {
        saved.assign(from, from + uint64_t(count) * su);
        from = saved.data();
    }

    uint32_t bytes = uint32_t(count) * tu;
    uint8_t* dst;
    if (mode == 0) {
        dst = ts->tail_ptr();
    } else {
        uint32_t tail_units = total_units(ts);
        uint32_t at = std::min<uint32_t>(std::min(series_index(target), tail_units) + uint32_t(offset), tail_units);
        dst = ts->head_ptr() + uint64_t(at) * tu;
        if (mode == 1) std::memmove(dst + bytes, dst, ts->tail_ptr() - dst);
    }
    if (su == tu) {
        std::memmove(dst, from, bytes);
    } else {
        for (int32_t i = 0; i < count; ++i) unit_put(dst + uint64_t(i) * tu, tu, unit_get(from + uint64_t(i) * su, su));
    }
    if (mode == 1) {
        ts->tail += bytes;
    } else {
        uint32_t end = uint32_t((dst + bytes) - ts->data());
        if (end > ts->tail) ts->tail = end;
    }
}

void string_rs_reset(Cell* str) {
    Series* s = value_series(str);
    s->tail = s->head;
    s->flags = (s->flags & ~SER_UNIT_MASK) | 1;
    str->data1 = 0;
}

void string_truncate_buffer(Series* s, uint32_t n) {
    uint64_t end = uint64_t(s->head) + uint64_t(n) * s->unit();
    if (end <= s->size && end < s->tail) s->tail = uint32_t(end);
}

// ---- Loading external text -------------------------------------------------------------------------

namespace {

Node load_node(const void* text, int32_t length, TextEncoding encoding) {
    if (length < 0) length = 0;
    if (encoding == TextEncoding::Utf16le)
        return utf16_input_to_string(static_cast<const uint16_t*>(text), uint32_t(length), nullptr, false);
    return string_from_utf8(static_cast<const uint8_t*>(text), uint32_t(length));
}

} // namespace

Cell* string_load(const void* text, int32_t length, Cell* target, TextEncoding encoding) {
    if (!target) return string_load_push(text, length, encoding);
    init_cell(target, T_UNSET);
    Node n = load_node(text, length, encoding);
    return init_cell(target, T_STRING, 0, n, 0);
}

Cell* string_load_push(const void* text, int32_t length, TextEncoding encoding) {
    Cell* c = stack_push_slot();
    init_cell(c, T_UNSET);
    Node n = load_node(text, length, encoding);
    return init_cell(c, T_STRING, 0, n, 0);
}

Cell* string_load_in(const void* text, int32_t length, Cell* block, TextEncoding encoding) {
    // the string is made first (kept on the data stack), then its cell is appended to the block
    Cell* c = string_load_push(text, length, encoding);
    Cell v = *c;
    Cell* slot = block_append(series_node(block), v);
    stack_pop();
    return slot;
}

Cell* string_from_utf8_checked(const Cell* binary) {
    Rooted bin(*binary);
    Cell* c = stack_push_slot();
    init_cell(c, T_UNSET);
    Series* b = value_series(bin.get());
    uint32_t start = std::min(series_index(bin.get()), b->tail - b->head);
    uint32_t length = (b->tail - b->head) - start;
    int32_t leftover = 0;
    Node n = string_load_utf8_series(series_node(bin.get()), start, length, 0, &leftover, false);
    init_cell(c, T_STRING, 0, n, 0);
    if (leftover > 0) {
        // the bytes not consumed, as a binary! argument of the error
        Node arg = alloc_bytes(uint32_t(leftover));
        Series* a = node_series(arg);
        b = value_series(bin.get());
        std::memcpy(a->head_ptr(), b->head_ptr() + start + (length - uint32_t(leftover)), uint32_t(leftover));
        a->tail = a->head + uint32_t(leftover);
        Rooted err(make_series(T_BINARY, arg));
        fire_error(Err::InvalidUtf8, err.get());
    }
    return c;
}

// ---- Hexadecimal helpers ---------------------------------------------------------------------------

const char* string_byte_to_hex(uint8_t byte) {
    static char buf[3];
    static const char digits[] = "0123456789ABCDEF";
    buf[0] = digits[byte >> 4];
    buf[1] = digits[byte & 15];
    buf[2] = 0;
    return buf;
}

const char* string_int_to_hex(int32_t value, bool trim) {
    static char buf[9];
    static const char digits[] = "0123456789ABCDEF";
    int32_t fill = value < 0 ? -1 : 0;
    int i = 8;
    buf[8] = 0;
    int32_t v = value;
    do {
        buf[--i] = digits[v & 15];
        v >>= 4;  // arithmetic shift: the sign fills in
    } while (v != fill && i > 0);
    if (trim) return value == 0 ? "00" : buf + i;
    while (i > 0) buf[--i] = value < 0 ? 'F' : '0';
    return buf;
}

// ---- Comparison ------------------------------------------------------------------------------------

int32_t string_compare_core(const Cell* a_in, const Cell* b_in, int32_t op, bool prefix) {
    if (series_node(a_in) == series_node(b_in) && series_index(a_in) == series_index(b_in) &&
        !a_in->is(T_SYMBOL) && !b_in->is(T_SYMBOL)) {
        if (op == CMP_SAME || op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL ||
            op == CMP_SEARCH)
            return 0;
    }
    if (op == CMP_SAME) return -1;
    Cell a = *a_in, b = *b_in;
    // a symbol reads through its cached spelling (symbol_get made it)
    auto spelling = [](Cell& c) {
        if (c.is(T_SYMBOL)) init_cell(&c, T_STRING, 0, c.data2, 0);
    };
    spelling(a);
    spelling(b);
    Series* sa = value_series(&a);
    Series* sb = value_series(&b);
    int32_t la = string_rs_length(&a);
    int32_t lb = string_rs_length(&b);
    if (prefix) {
        if (lb == 0) return op == CMP_SEARCH ? 1 : 0;
        if (la < lb) return 1;
    } else {
        if (la != lb && (op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL || op == CMP_SEARCH))
            return 1;
        if (la == 0 && lb == 0) return 0;
        if (la == 0) return -1;
        if (lb == 0) return 1;
    }
    uint32_t ua = sa->unit(), ub = sb->unit();
    const uint8_t* pa = sa->head_ptr() + (uint64_t(series_index(&a)) << unit_shift(ua));
    const uint8_t* pb = sb->head_ptr() + (uint64_t(series_index(&b)) << unit_shift(ub));
    int32_t n = std::min(la, lb);
    bool fold = op != CMP_STRICT_EQUAL && op != CMP_CASE_SORT;
    if (!fold && ua == ub && ua == 1) {
        int r = std::memcmp(pa, pb, size_t(n));
        if (r) return r < 0 ? -1 : 1;
    } else {
        for (int32_t i = 0; i < n; ++i, pa += ua, pb += ub) {
            uint32_t ca = unit_get(pa, ua), cb = unit_get(pb, ub);
            if (ca == cb) continue;
            if (fold) {
                ca = fold_upper(ca);
                cb = fold_upper(cb);
                if (ca == cb) continue;
            }
            return ca > cb ? 1 : -1;
        }
    }
    if (prefix) return 0;
    return la > lb ? 1 : la < lb ? -1 : 0;
}

} // namespace kel

// binary!: the byte series. Conversions, comparison, the "#{...}" text form, insertion of any
// value as bytes, trimming of zero bytes, the bitwise actions, and the raw byte services the
// serialiser, PARSE and the natives use.
//
// binary! registers under string! and inherits every series action that needs nothing
// byte-specific (navigation, copy, find, remove, take, sort ...). What it adds:
//  - value to bytes: the bytes a value stands for (a char's UTF-8, an integer as one byte, text
//    as UTF-8, a tuple's bytes, a block's items in turn). append and insert measure first, open
//    one gap, then write straight into it, so nothing allocates between the gap and the write;
//    change gathers the bytes aside first, since it also forms values of other types;
//  - mold and form: uppercase hex digits in "#{" "}", 32 bytes a line once the binary holds more
//    than 30 bytes, the closing brace then on a line of its own at the outer indentation;
//  - editing reports to the buffer's owner (series_notify) before and after each change, with
//    positions taken again after the before-report, since the owner's handler may run any code.
//
// Values read across an allocation are kept on the data stack or in Rooted slots; buffers are
// fetched again through their nodes after every allocation and every owner report.
#include "datatypes/binary.h"

#include "core/cycles.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kel {

namespace {

constexpr uint32_t BITSET_COMPLEMENT = 0x80000;   // buffer flag of a complemented bitset
constexpr uint64_t MAX_BYTES = 0x7FFFFFF0ull;      // the largest binary the series code makes

// Bytes from the buffer's first unit to the tail.
inline uint32_t total_bytes(const Cell* bin) { return value_series(bin)->used(); }

// The head index clipped to the tail, in the cell.
inline uint32_t clip_index(Cell* bin) {
    uint32_t total = total_bytes(bin);
    if (series_index(bin) > total) bin->data1 = total;
    return series_index(bin);
}

inline uint32_t index_clipped(const Cell* bin) { return std::min(series_index(bin), total_bytes(bin)); }

inline uint32_t length_from_index(const Cell* bin) { return total_bytes(bin) - index_clipped(bin); }

[[noreturn]] void bad_to_arg(const Cell* value) {
    Cell dt = make_datatype(T_BINARY);
    fire_error(Err::BadToArg, &dt, value);
}

// The units of any string from its index: address, count and unit size (no allocation).
struct Units {
    const uint8_t* p;
    uint32_t count;
    uint32_t unit;
};
Units text_units(const Cell* str) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    uint32_t total = s->length();
    uint32_t i = std::min(series_index(str), total);
    return Units{s->head_ptr() + uint64_t(i) * unit, total - i, unit};
}

// The UTF-8 byte count of the units (code points above 0x10FFFF raise invalid-char).
uint64_t utf8_size(const Units& u) {
    if (u.unit == 1) {
        uint64_t n = u.count;
        for (uint32_t i = 0; i < u.count; ++i) n += u.p[i] >> 7;
        return n;
    }
    return uint64_t(utf8_length_of_units(u.p, u.p + uint64_t(u.count) * u.unit, u.unit));
}

// Writes the UTF-8 of the units, at most cap bytes of whole characters; answers the bytes written.
uint64_t utf8_write(const Units& u, uint8_t* out, uint64_t cap) {
    uint64_t n = 0;
    for (uint32_t i = 0; i < u.count; ++i) {
        uint32_t cp = unit_get(u.p + uint64_t(i) * u.unit, u.unit);
        if (cp < 0x80) {
            if (n + 1 > cap) break;
            out[n++] = uint8_t(cp);
            continue;
        }
        uint8_t tmp[4];
        int k = utf8_encode_char(int32_t(cp), tmp);
        if (n + uint64_t(k) > cap) break;
        std::memcpy(out + n, tmp, size_t(k));
        n += uint64_t(k);
    }
    return n;
}

inline uint32_t tuple_length(const Cell* t) {
    uint32_t n = (t->header >> 19) & 0xF;
    return n > 12 ? 12 : n;
}

// Keeps the cycle stack as it was on the way out, errors included.
struct CycleGuard {
    uint32_t depth = cycles_depth();
    ~CycleGuard() {
        if (cycles_depth() > depth) cycles_drop(cycles_depth() - depth);
    }
};

// Where the value-to-bytes walk puts its bytes: counted only, written at an address, or gathered
// in a vector (the walk that forms values, which allocates).
struct Sink {
    uint8_t* dest = nullptr;
    std::vector<uint8_t>* gather = nullptr;
    bool form = false;      // form values of other types instead of refusing them
    uint64_t count = 0;

    void put(const uint8_t* data, uint64_t n) {
        if (dest) std::memcpy(dest + count, data, n);
        else if (gather) gather->insert(gather->end(), data, data + n);
        count += n;
    }
};

void walk_value(Sink& sink, const Cell* value, int64_t cap);

// A block's items in turn (at most `items` of them when items >= 0); a block met again inside
// itself raises no-cycle.
void walk_block(Sink& sink, const Cell* block, int64_t items) {
    if (cycles_find(series_node(block))) fire_error(Err::NoCycle);
    CycleGuard guard;
    Cell* b = stack_push(block);   // forming an item may allocate and renumber nodes
    cycles_push(series_node(b));
    uint32_t i = series_index(b);
    for (int64_t done = 0; items < 0 || done < items; ++done, ++i) {
        Series* s = value_series(b);
        if (i >= s->length()) break;
        Cell* item = stack_push(s->cell_at(i));
        walk_value(sink, item, -1);
        stack_pop();
    }
    stack_pop();
}

// Text bytes capped at `cap` bytes of whole characters (cap < 0: all).
void walk_text(Sink& sink, const Cell* str, int64_t cap) {
    Units u = text_units(str);
    uint64_t limit = cap < 0 ? UINT64_MAX : uint64_t(cap);
    if (u.unit == 1 && (sink.dest || sink.gather)) {
        // Latin-1 units: ASCII as it is, the rest two bytes each
        uint64_t n = 0;
        uint8_t tmp[2];
        for (uint32_t i = 0; i < u.count; ++i) {
            uint8_t c = u.p[i];
            if (c < 0x80) {
                if (n + 1 > limit) break;
                sink.put(&c, 1);
                n += 1;
            } else {
                if (n + 2 > limit) break;
                tmp[0] = uint8_t(0xC0 | (c >> 6));
                tmp[1] = uint8_t(0x80 | (c & 0x3F));
                sink.put(tmp, 2);
                n += 2;
            }
        }
        return;
    }
    if (!sink.dest && !sink.gather) {
        uint64_t n = utf8_size(u);
        if (n > limit) {
            // whole characters only up to the cap
            n = 0;
            for (uint32_t i = 0; i < u.count; ++i) {
                int k = utf8_char_length(int32_t(unit_get(u.p + uint64_t(i) * u.unit, u.unit)));
                if (n + uint64_t(k) > limit) break;
                n += uint64_t(k);
            }
        }
        sink.count += n;
        return;
    }
    if (sink.dest) {
        sink.count += utf8_write(u, sink.dest + sink.count, limit);
        return;
    }
    std::vector<uint8_t> tmp(std::min<uint64_t>(utf8_size(u), limit));
    uint64_t n = utf8_write(u, tmp.data(), tmp.size());
    sink.put(tmp.data(), n);
}

void walk_bytes(Sink& sink, const uint8_t* p, uint64_t n, int64_t cap) {
    if (cap >= 0 && uint64_t(cap) < n) n = uint64_t(cap);
    sink.put(p, n);
}

void walk_value(Sink& sink, const Cell* value, int64_t cap) {
    TypeId t = value->type();
    switch (t) {
    case T_CHAR: {
        uint8_t tmp[4];
        int k = utf8_encode_char(int32_t(value->data2), tmp);
        walk_bytes(sink, tmp, uint64_t(k), cap);
        return;
    }
    case T_INTEGER: {
        int32_t i = cell_integer(value);
        if (i < -128 || i > 255) fire_error(Err::InvalidArg, value);
        uint8_t b = uint8_t(i);
        walk_bytes(sink, &b, 1, cap);
        return;
    }
    case T_BINARY: {
        Series* s = value_series(value);
        uint32_t i = std::min(series_index(value), s->used());
        walk_bytes(sink, s->head_ptr() + i, s->used() - i, cap);
        return;
    }
    case T_TUPLE: {
        uint8_t tmp[12];
        std::memcpy(tmp, &value->data1, 12);
        walk_bytes(sink, tmp, tuple_length(value), cap);
        return;
    }
    case T_BLOCK: case T_PAREN: case T_HASH:
        walk_block(sink, value, cap);
        return;
    default:
        break;
    }
    if (is_any_string(t)) {
        walk_text(sink, value, cap);
        return;
    }
    if (!sink.form) bad_to_arg(value);
    // another type: the UTF-8 of its formed text
    Rooted v(*value);
    Cell* text = string_push_new(16);
    string_form_value(v.get(), text, false, INT32_MAX);
    walk_text(sink, text, cap);
    stack_pop();
}

// A part argument as the walk's cap: -1 for none.
inline int64_t cap_of(int32_t part) { return part < 0 ? -1 : part; }

// A new binary of that capacity, written into the cell (which reads unset meanwhile).
Cell* make_binary_at(Cell* cell, uint64_t capacity) {
    init_cell(cell, T_UNSET);
    checked_size(capacity + SERIES_OVERHEAD);
    checked_length(capacity);
    Node n = alloc_bytes(capacity ? capacity : 1);
    return init_cell(cell, T_BINARY, 0, n, 0);
}

// Repeats the run of n bytes at pos until `total` bytes stand there (copying by doubling).
void repeat_run(Series* s, uint32_t pos, uint64_t n, uint64_t total) {
    if (n == 0) return;
    uint8_t* start = s->head_ptr() + pos;
    uint64_t have = n;
    while (have < total) {
        uint64_t take = std::min(have, total - have);
        std::memcpy(start + have, start, take);
        have += take;
    }
}

// n bytes repeated dup times, with the size limit of a series.
uint64_t checked_total(const Cell* series, uint64_t n, int32_t dup) {
    uint64_t total = n * uint64_t(dup < 1 ? 1 : dup);
    if ((dup > 1 && total / uint64_t(dup) != n) || total + total_bytes(series) > MAX_BYTES)
        fire_error(Err::NoMemory);
    return total;
}

} // namespace

// ---- Reading -------------------------------------------------------------------------------------

int32_t binary_rs_length(Cell* bin) { return int32_t(total_bytes(bin) - clip_index(bin)); }

uint8_t* binary_rs_head(Cell* bin) { return value_series(bin)->head_ptr() + clip_index(bin); }

uint8_t binary_byte_at(const Cell* bin, uint32_t position) { return value_series(bin)->head_ptr()[position]; }

int32_t binary_compare_bytes(const Cell* a, const Cell* b, int32_t op, bool prefix) {
    TypeId bt = b->type();
    if (bt != T_BINARY && !is_any_string(bt)) return CMP_NOT_COMPARABLE;
    bool equality = op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL || op == CMP_SEARCH ||
                    op == CMP_FIND || op == CMP_STRICT_WORD;
    if (series_node(a) == series_node(b) && series_index(a) == series_index(b) && a->type() == bt) {
        if (op == CMP_SAME || equality) return 0;
    }
    if (op == CMP_SAME) return -1;
    Series* sa = value_series(a);
    uint32_t la = length_from_index(a);
    const uint8_t* pa = sa->head_ptr() + index_clipped(a);
    Units ub{nullptr, 0, 1};
    if (bt == T_BINARY) {
        Series* sb = value_series(b);
        ub = Units{sb->head_ptr() + index_clipped(b), length_from_index(b), 1};
    } else {
        ub = text_units(b);
    }
    uint32_t lb = ub.count;
    if (prefix) {
        if (lb == 0) return (op == CMP_EQUAL || op == CMP_STRICT_EQUAL || op == CMP_SEARCH) ? 0 : 1;
        if (la < lb) return 1;
    } else {
        if (la != lb && equality) return 1;
        if (la == 0 && lb == 0) return 0;
    }
    uint32_t n = std::min(la, lb);
    if (ub.unit == 1) {
        int r = std::memcmp(pa, ub.p, n);
        if (r) return r < 0 ? -1 : 1;
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t x = pa[i], y = unit_get(ub.p + uint64_t(i) * ub.unit, ub.unit);
            if (x != y) return x < y ? -1 : 1;
        }
    }
    if (prefix) return 0;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

bool binary_byte_in_bitset(const Cell* bin, const Cell* bitset) {
    if (length_from_index(bin) == 0) return false;
    uint32_t n = value_series(bin)->head_ptr()[index_clipped(bin)];
    Series* b = value_series(bitset);
    if (n >= uint64_t(b->used()) * 8) return (b->flags & BITSET_COMPLEMENT) != 0;
    return (b->head_ptr()[n >> 3] & (0x80 >> (n & 7))) != 0;
}

bool binary_match(const Cell* bin, const Cell* value, int32_t op) {
    TypeId t = value->type();
    if (t == T_CHAR) {
        if (length_from_index(bin) == 0) return false;
        return value_series(bin)->head_ptr()[index_clipped(bin)] == value->data2;
    }
    if (t == T_BINARY || is_any_string(t)) return binary_compare_bytes(bin, value, op, true) == 0;
    return false;
}

// ---- Building ------------------------------------------------------------------------------------

Cell* binary_make(Cell* result, uint32_t capacity) { return make_binary_at(result, capacity); }

Cell* binary_load_into(const uint8_t* data, uint64_t length, Cell* result) {
    Cell* c = result ? result : stack_push_slot();
    make_binary_at(c, length);
    Series* s = value_series(c);
    if (length) std::memcpy(s->head_ptr(), data, length);
    s->tail = s->head + length;
    return c;
}

Cell* binary_load(const uint8_t* data, uint64_t length) { return binary_load_into(data, length, nullptr); }

Cell* binary_push_copy(const Cell* bin) {
    Cell* c = stack_push(bin);
    series_copy(c, c, nullptr, false, nullptr);
    return c;
}

void binary_append_raw(Cell* bin, const uint8_t* data, uint32_t length) {
    if (!length) return;
    Series* s = series_reserve(series_node(bin), length, true);
    std::memcpy(s->tail_ptr(), data, length);
    s->tail += length;
}

void binary_insert_raw(Cell* bin, uint32_t position, const uint8_t* data, uint32_t length) {
    if (!length) return;
    uint32_t at = std::min<uint64_t>(uint64_t(clip_index(bin)) + position, total_bytes(bin));
    Series* s = series_open_gap(series_node(bin), at, length, true);
    std::memcpy(s->head_ptr() + at, data, length);
}

void binary_append_int32_be(uint32_t value, Cell* bin) {
    uint8_t b[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    binary_append_raw(bin, b, 4);
}

namespace {

// A value poke and append both take: an integer -128..255 or a char up to 255; else invalid-arg.
uint8_t byte_of(const Cell* value) {
    if (value->is(T_INTEGER)) {
        int32_t i = cell_integer(value);
        if (i >= -128 && i <= 255) return uint8_t(i);
    } else if (value->is(T_CHAR)) {
        if (value->data2 <= 255) return uint8_t(value->data2);
    }
    fire_error(Err::InvalidArg, value);
}

} // namespace

void binary_set_byte(uint8_t* at, const Cell* value) { *at = byte_of(value); }

uint64_t binary_value_bytes(uint8_t* dest, const Cell* value, int32_t part, int mode) {
    Sink sink;
    sink.form = mode == 2;
    int64_t cap = part >= 1 ? part : -1;
    if (mode == 2 && dest) {
        std::vector<uint8_t> bytes;
        sink.gather = &bytes;
        walk_value(sink, value, cap);
        if (!bytes.empty()) std::memcpy(dest, bytes.data(), bytes.size());
        return bytes.size();
    }
    if (mode == 1) sink.dest = dest;
    walk_value(sink, value, cap);
    return sink.count;
}

// ---- Base codecs on values -----------------------------------------------------------------------

void binary_debase(Cell* result, const Cell* text, int32_t base) {
    if (base != 2 && base != 16 && base != 58 && base != 64) {
        Cell b = make_integer(base);
        fire_error(Err::InvalidArg, &b);
    }
    Cell* src = stack_push(text);
    uint32_t count = src->is(T_BINARY) ? length_from_index(src) : text_units(src).count;
    Cell* out = stack_push_slot();
    make_binary_at(out, base_decode_room(base, count));
    // the text is read only now: making the result may have moved it
    Units u{nullptr, 0, 1};
    if (src->is(T_BINARY)) u = Units{value_series(src)->head_ptr() + index_clipped(src), count, 1};
    else u = text_units(src);
    Series* o = value_series(out);
    int64_t n = base_decode(base, u.p, u.count, u.unit, o->head_ptr(), o->size - o->head);
    if (n < 0) {
        *result = make_none();
    } else {
        o->tail = o->head + uint32_t(n);
        *result = *out;
    }
    stack_pop(2);
}

void binary_enbase(Cell* result, const Cell* bin, int32_t base) {
    Cell* src = stack_push(bin);
    uint64_t n = length_from_index(src);
    uint64_t room;
    switch (base) {
    case 2: room = base2_encoded_size(n); break;
    case 16: room = base16_encoded_size(n); break;
    case 58: room = base58_encode_room(n); break;
    case 64: room = base64_encoded_size(n); break;
    default: {
        Cell b = make_integer(base);
        fire_error(Err::InvalidArg, &b);
    }
    }
    if (room > MAX_BYTES) fire_error(Err::TooLong);
    Cell* out = stack_push_slot();
    string_make_at(out, uint32_t(room), 1);
    Series* o = value_series(out);
    const uint8_t* data = value_series(src)->head_ptr() + index_clipped(src);
    char* text = reinterpret_cast<char*>(o->head_ptr());
    size_t written = base == 2    ? base2_encode(text, data, n)
                     : base == 16 ? base16_encode(text, data, n)
                     : base == 58 ? base58_encode(text, data, n)
                                  : base64_encode(text, data, n);
    o->tail = o->head + uint32_t(written);
    *result = *out;
    stack_pop(2);
}

// ---- to --------------------------------------------------------------------------------------------

void binary_to(Cell* proto, Cell* spec, TypeId) {
    Cell* src = stack_push(spec);
    Cell* result = stack_push_slot();
    init_cell(result, T_UNSET);
    TypeId t = src->type();
    switch (t) {
    case T_BLOCK: case T_PAREN: case T_HASH: {
        uint64_t n = binary_value_bytes(nullptr, src, -1, 0);
        make_binary_at(result, std::max<uint64_t>(n, 16));
        Sink sink;
        sink.dest = value_series(result)->head_ptr();
        walk_value(sink, src, -1);
        value_series(result)->tail += uint32_t(sink.count);
        break;
    }
    case T_CHAR: case T_TUPLE: case T_BINARY: {
        if (t == T_BINARY) {
            series_copy(src, result, nullptr, false, nullptr);
            break;
        }
        uint64_t n = binary_value_bytes(nullptr, src, -1, 0);
        make_binary_at(result, n);
        value_series(result)->tail += uint32_t(binary_value_bytes(value_series(result)->head_ptr(), src, -1, 1));
        break;
    }
    case T_INTEGER: {
        make_binary_at(result, 4);
        binary_append_int32_be(uint32_t(cell_integer(src)), result);
        break;
    }
    case T_FLOAT: case T_PERCENT: {
        uint64_t bits;
        double d = src->get_float();
        std::memcpy(&bits, &d, 8);
        make_binary_at(result, 8);
        binary_append_int32_be(uint32_t(bits >> 32), result);
        binary_append_int32_be(uint32_t(bits), result);
        break;
    }
    case T_ISSUE: {
        // the issue's name read as hexadecimal digits
        Cell* spelling = stack_push(make_series(T_STRING, symbol_get(src->data2)->data2));
        Cell* decoded = stack_push_slot();
        binary_debase(decoded, spelling, 16);
        if (decoded->is(T_NONE)) fire_error(Err::InvalidData, src);
        *result = *decoded;
        stack_pop(2);
        break;
    }
    case T_BITSET: {
        Series* b = value_series(src);
        uint32_t n = b->used();
        make_binary_at(result, n);
        b = value_series(src);
        Series* r = value_series(result);
        std::memcpy(r->head_ptr(), b->head_ptr(), n);
        r->tail = r->head + n;
        break;
    }
    default:
        if (is_any_string(t)) {
            uint64_t n = utf8_size(text_units(src));
            make_binary_at(result, n);
            Series* r = value_series(result);
            r->tail += uint32_t(utf8_write(text_units(src), r->head_ptr(), n));
            break;
        }
        bad_to_arg(src);
    }
    *proto = *result;
    stack_pop(2);
}

// ---- form and mold ---------------------------------------------------------------------------------

int32_t binary_mold(const Cell* value, Cell* buffer, bool only, bool /*all*/, bool flat, bool part,
                    int32_t budget_in, int32_t indent) {
    // the text is made aside (nothing allocates meanwhile), then appended once
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    int64_t budget = budget_in;   // 64 bits: two characters a byte pass 32 bits at 1 GB
    Series* s = value_series(value);
    uint32_t n = length_from_index(value);
    const uint8_t* p = s->head_ptr() + index_clipped(value);
    bool lines = n > 30 && !flat;
    bool stopped = false;
    auto indentation = [&](int32_t level) {
        for (int32_t i = 0; i < level * 4; ++i) out += ' ';
        budget -= level * 4;
    };
    if (!only) {
        out += "#{";
        budget -= 2;
    }
    if (lines) {
        out += '\n';
        budget -= 1;
        indentation(indent + 1);
    }
    if (part) out.reserve(size_t(std::clamp<int64_t>(budget, 0, 2 * int64_t(n))) + 16);
    else out.reserve(out.size() + 2 * size_t(n) + (n / 32) * (5 + 4 * size_t(indent + 1)) + 8);
    for (uint32_t i = 0; i < n; ++i) {
        if (part && budget <= 0) {
            stopped = true;
            break;
        }
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
        budget -= 2;
        if (lines && (i + 1) % 32 == 0 && i + 1 < n) {
            out += '\n';
            budget -= 1;
            indentation(indent + 1);
        }
    }
    if (!stopped && !(part && budget <= 0 && n > 0)) {
        if (lines) {
            out += '\n';
            budget -= 1;
            indentation(indent);
        }
        if (!only) {
            out += '}';
            budget -= 1;
        }
    }
    string_append_bytes(buffer, reinterpret_cast<const uint8_t*>(out.data()), out.size());
    return int32_t(std::max<int64_t>(budget, INT32_MIN));
}

int32_t binary_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    return binary_mold(value, buffer, false, false, false, part, budget, 0);
}

// ---- compare -----------------------------------------------------------------------------------------

int32_t binary_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_BINARY)) return CMP_NOT_COMPARABLE;
    return binary_compare_bytes(a, b, op, false);
}

// ---- append, insert, change, poke --------------------------------------------------------------------

void binary_insert(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    (void)only;
    if (dup < 1) return;
    Cell* v = stack_push(value);
    int64_t cap = cap_of(part);
    // measured before the owner hears of it: a value that cannot go in changes nothing
    uint64_t n = 0;
    {
        Sink measure;
        walk_value(measure, v, cap);
        n = measure.count;
    }
    clip_index(series);
    uint64_t total = checked_total(series, n, dup);
    SeriesEvent event = append ? SeriesEvent::Append : SeriesEvent::Insert;
    uint32_t pos = append ? total_bytes(series) : series_index(series);
    series_notify(series, event, false, int32_t(pos), int32_t(total), v);
    // the owner's handler may have changed the series or the value: measure and place again
    clip_index(series);
    pos = append ? total_bytes(series) : series_index(series);
    if (series_owned(series)) {
        Sink measure;
        walk_value(measure, v, cap);
        n = measure.count;
        total = checked_total(series, n, dup);
    }
    if (n > 0) {
        // a block may hold this very binary, and a binary may be it: those are gathered first,
        // since opening the gap moves the bytes they stand for
        TypeId t = v->type();
        bool aside = t == T_BLOCK || t == T_PAREN || t == T_HASH ||
                     (t == T_BINARY && series_node(v) == series_node(series));
        std::vector<uint8_t> bytes;
        if (aside) {
            Sink gather;
            gather.gather = &bytes;
            walk_value(gather, v, cap);
        }
        Series* s = series_open_gap(series_node(series), pos, uint32_t(total), true);
        if (aside) {
            std::memcpy(s->head_ptr() + pos, bytes.data(), n);
        } else {
            Sink write;
            write.dest = s->head_ptr() + pos;
            walk_value(write, v, cap);
        }
        repeat_run(s, pos, n, total);
    }
    series_notify(series, event, true, int32_t(pos), int32_t(total), v);
    series->data1 = append ? 0 : std::min<uint32_t>(pos + uint32_t(total), total_bytes(series));
    stack_pop();
}

void binary_change(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup) {
    (void)only;
    if (dup < 1) dup = 1;
    Cell* v = stack_push(value);
    std::vector<uint8_t> bytes;
    {
        Sink gather;
        gather.gather = &bytes;
        gather.form = true;
        walk_value(gather, v, -1);
    }
    uint64_t n = bytes.size();
    uint64_t total = checked_total(series, n, dup);
    uint32_t head = clip_index(series);
    series_notify(series, SeriesEvent::Change, false, int32_t(head), int32_t(total), v);
    head = clip_index(series);
    uint32_t avail = total_bytes(series) - head;
    uint32_t replaced = part >= 0 ? std::min<uint32_t>(uint32_t(part), avail)
                                  : uint32_t(std::min<uint64_t>(total, avail));
    if (total - replaced + total_bytes(series) > MAX_BYTES && total > replaced) fire_error(Err::NoMemory);
    Node node = series_node(series);
    if (total > replaced) series_open_gap(node, head + replaced, uint32_t(total - replaced), true);
    else if (total < replaced) series_close_gap(node_series(node), head + uint32_t(total), replaced - uint32_t(total));
    Series* s = node_series(node);
    if (n > 0) {
        std::memcpy(s->head_ptr() + head, bytes.data(), n);
        repeat_run(s, head, n, total);
    }
    series_notify(series, SeriesEvent::Change, true, int32_t(head), int32_t(total), v);
    series->data1 = std::min<uint32_t>(head + uint32_t(total), total_bytes(series));
    stack_pop();
}

void binary_poke(Cell* series, int32_t index, const Cell* value) {
    uint32_t pos;
    if (!series_position(series, index, &pos)) {
        Cell i = make_integer(index);
        fire_error(Err::OutOfRange, &i);
    }
    uint8_t b = byte_of(value);
    Cell* v = stack_push(value);
    series_notify(series, SeriesEvent::Poke, false, int32_t(pos), 1, v);
    // the owner's handler may have shortened the series
    if (pos < total_bytes(series)) value_series(series)->head_ptr()[pos] = b;
    series_notify(series, SeriesEvent::Poke, true, int32_t(pos), 1, v);
    *series = *v;
    stack_pop();
}

// ---- trim ----------------------------------------------------------------------------------------------

void binary_trim(Cell* series, const TrimOpts& opts) {
    if (opts.auto_ || opts.lines) fire_error(Err::NotDone);
    if (opts.with) {
        TypeId t = opts.with->type();
        if (t != T_CHAR && t != T_INTEGER && t != T_STRING && t != T_BINARY) fire_error(Err::InvalidArg, opts.with);
    }
    uint32_t head = clip_index(series);
    series_notify(series, SeriesEvent::Trim, false, int32_t(head), int32_t(total_bytes(series) - head));
    head = clip_index(series);
    if (opts.with) {
        string_trim_all(series, opts.with);
    } else {
        Series* s = value_series(series);
        uint8_t* p = s->head_ptr();
        uint32_t end = s->used();
        if (opts.all) {
            uint32_t out = head;
            for (uint32_t i = head; i < end; ++i)
                if (p[i]) p[out++] = p[i];
            end = out;
        } else {
            bool both = !opts.head && !opts.tail;
            uint32_t b = head, e = end;
            if (opts.head || both) while (b < e && p[b] == 0) ++b;
            if (opts.tail || both) while (e > b && p[e - 1] == 0) --e;
            std::memmove(p + head, p + b, e - b);
            end = head + (e - b);
        }
        s->tail = s->head + end;
    }
    series_notify(series, SeriesEvent::Trim, true, int32_t(head), int32_t(total_bytes(series) - head));
}

// ---- bitwise ---------------------------------------------------------------------------------------------

namespace {

void bitwise(Cell* left, Cell* right, int op) {
    if (!right->is(T_BINARY)) fire_error(Err::InvalidArg, right);
    Cell* a = stack_push(left);
    Cell* b = stack_push(right);
    uint32_t la = length_from_index(a), lb = length_from_index(b);
    uint32_t n = std::max(la, lb);
    Cell* result = stack_push_slot();
    make_binary_at(result, n);
    const uint8_t* pa = value_series(a)->head_ptr() + index_clipped(a);
    const uint8_t* pb = value_series(b)->head_ptr() + index_clipped(b);
    Series* r = value_series(result);
    uint8_t* out = r->head_ptr();
    uint32_t common = std::min(la, lb);
    for (uint32_t i = 0; i < common; ++i)
        out[i] = op == 6 ? pa[i] & pb[i] : op == 5 ? pa[i] | pb[i] : pa[i] ^ pb[i];
    const uint8_t* rest = la > lb ? pa : pb;
    for (uint32_t i = common; i < n; ++i) out[i] = op == 6 ? 0 : rest[i];
    r->tail = r->head + n;
    *left = *result;
    stack_pop(3);
}

} // namespace

void binary_and(Cell* left, Cell* right) { bitwise(left, right, 6); }
void binary_or(Cell* left, Cell* right) { bitwise(left, right, 5); }
void binary_xor(Cell* left, Cell* right) { bitwise(left, right, 7); }

void binary_complement(Cell* value) {
    Series* s = value_series(value);
    uint8_t* p = s->head_ptr();
    for (uint32_t i = index_clipped(value), end = s->used(); i < end; ++i) p[i] = uint8_t(~p[i]);
}

// ---- Registration ----------------------------------------------------------------------------------------

void binary_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_TO>(e, binary_to);
    set_entry<A_FORM>(e, binary_form);
    set_entry<A_MOLD>(e, binary_mold);
    set_entry<A_COMPARE>(e, binary_compare);
    set_entry<A_AND>(e, binary_and);
    set_entry<A_COMPLEMENT>(e, binary_complement);
    set_entry<A_OR>(e, binary_or);
    set_entry<A_XOR>(e, binary_xor);
    set_entry<A_APPEND>(e, binary_insert);
    set_entry<A_INSERT>(e, binary_insert);
    set_entry<A_CHANGE>(e, binary_change);
    set_entry<A_POKE>(e, binary_poke);
    set_entry<A_TRIM>(e, binary_trim);
    register_datatype(T_BINARY, T_STRING, "binary!", e);
}

} // namespace kel

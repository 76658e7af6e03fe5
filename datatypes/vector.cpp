// vector!: construction, text forms, comparison, element-wise math and the editing actions of
// packed numeric series.
//
// A vector's buffer is an ordinary series whose unit is the element width, so the positional
// series actions (at, skip, remove, reverse, move ...) work on it unchanged; this file adds what
// depends on the element type. Elements are read and written through memcpy of their little-endian
// bytes: char! elements load zero-extended, integer! elements sign-extended, 4-byte floats widen to
// doubles. A store keeps the low bytes of an integer, rounds a double to single precision for
// 4-byte floats, and refuses a code point above 10FFFF in a 4-byte char! element.
//
// Conversions: make and poke take only values of the element type. append, insert and change
// convert by value (an integer! into float! elements becomes a float, a float! into integer!
// elements is truncated through float_to_int_checked), and change takes another vector's
// elements one by one, whatever its type and width. Every value is converted before the first
// write, so a refused value leaves the vector as it was.
//
// Math: integer and char elements compute in 32 bits and wrap on add, subtract and multiply
// (divide and remainder truncate toward zero); float and percent elements compute in double. An
// integer vector multiplied or divided by a non-integral float computes each element in double and
// truncates the result. Results are computed aside and written once all of them are known.
//
// Editing actions report to the vector's owner through series_notify before and after the change.
#include "datatypes/vector.h"

#include "core/errors.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/support.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/scalars.h"
#include "datatypes/series.h"
#include "datatypes/string.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kel {

namespace {

bool int_kind(TypeId t) { return t == T_CHAR || t == T_INTEGER; }
bool element_type(TypeId t) { return t == T_CHAR || t == T_INTEGER || t == T_FLOAT || t == T_PERCENT; }
uint32_t default_width(TypeId t) { return int_kind(t) ? 4 : 8; }

uint64_t load_raw(const uint8_t* p, uint32_t width) {
    uint64_t r = 0;
    std::memcpy(&r, p, width);
    return r;
}
void store_raw(uint8_t* p, uint32_t width, uint64_t r) { std::memcpy(p, &r, width); }

int64_t load_int(const uint8_t* p, TypeId type, uint32_t width) {
    uint64_t r = load_raw(p, width);
    if (type == T_CHAR) return int64_t(r);
    switch (width) {
    case 1: return int8_t(r);
    case 2: return int16_t(r);
    default: return int32_t(uint32_t(r));
    }
}

double load_float(const uint8_t* p, uint32_t width) {
    if (width == 4) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

uint64_t float_raw(double d, uint32_t width) {
    uint64_t r = 0;
    if (width == 4) {
        float f = float(d);
        std::memcpy(&r, &f, 4);
    } else {
        std::memcpy(&r, &d, 8);
    }
    return r;
}

// The stored bytes of an integer result: its low bytes; a 4-byte char! takes only code points.
uint64_t int_raw(int64_t i, TypeId type, uint32_t width, const Cell* culprit) {
    if (type == T_CHAR && width == 4 && (i < 0 || i > 0x10FFFF)) {
        if (culprit) fire_error(Err::OutOfRange, culprit);
        Cell c = make_integer(int32_t(i));
        fire_error(Err::OutOfRange, &c);
    }
    return uint64_t(uint32_t(int32_t(i)));
}

// A float!/percent! value truncated to an integer through the checked conversion.
int32_t truncated(double d) {
    Cell f = make_float(d);
    return float_to_int_checked(&f);
}

// The stored bytes of a value in elements of the type and width. strict (make and poke): the
// value must have the element type, else invalid-arg; otherwise numbers convert by value.
uint64_t encode(const Cell* v, TypeId type, uint32_t width, bool strict) {
    TypeId vt = v->type();
    if (strict && vt != type) fire_error(Err::InvalidArg, v);
    if (!element_type(vt)) fire_invalid_type(v);
    if (int_kind(type)) {
        int64_t i = int_kind(vt) ? int64_t(int32_t(v->data2)) : int64_t(truncated(v->get_float()));
        return int_raw(i, type, width, v);
    }
    double d = vt == T_INTEGER ? double(int32_t(v->data2)) : vt == T_CHAR ? double(v->data2) : v->get_float();
    return float_raw(d, width);
}

uint8_t* element_ptr(Series* s, uint32_t i) { return s->data() + s->head + size_t(i) * s->unit(); }

// The values a source supplies, converted for the vector: the items of a block-like value from its
// index (part: a count between 1 and their number limits them), the elements of a vector, or the
// value itself. No allocation.
void gather(const Cell* target, const Cell* v, int32_t part, bool block_like, bool vectors,
            std::vector<uint64_t>& out) {
    TypeId type = vector_type(target);
    uint32_t width = vector_width(target);
    if (block_like) {
        Series* b = value_series(v);
        uint32_t start = series_index(v), len = b->length();
        uint32_t n = start < len ? len - start : 0;
        if (part >= 1 && uint32_t(part) < n) n = uint32_t(part);
        out.reserve(n);
        for (uint32_t i = 0; i < n; ++i) out.push_back(encode(b->cell_at(start + i), type, width, false));
    } else if (vectors && v->is(T_VECTOR)) {
        Series* s = value_series(v);
        TypeId vt = vector_type(v);
        uint32_t vw = s->unit();
        uint32_t start = series_index(v), len = s->length();
        for (uint32_t i = start; i < len; ++i) {
            const uint8_t* p = element_ptr(s, i);
            if (int_kind(type) && int_kind(vt)) {
                int64_t x = load_int(p, vt, vw);
                Cell c = vt == T_CHAR ? make_cell(T_CHAR, 0, uint32_t(x), 0) : make_integer(int32_t(x));
                out.push_back(int_raw(x, type, width, &c));
            } else if (int_kind(type)) {
                out.push_back(int_raw(truncated(load_float(p, vw)), type, width, nullptr));
            } else {
                double d = int_kind(vt) ? double(load_int(p, vt, vw)) : load_float(p, vw);
                out.push_back(float_raw(d, width));
            }
        }
    } else {
        out.push_back(encode(v, type, width, false));
    }
}

// Writes the run of values `total` elements long (repeating it) at element pos.
void write_run(Series* s, uint32_t pos, const std::vector<uint64_t>& run, uint64_t total) {
    uint32_t width = s->unit();
    if (run.empty()) return;
    for (uint64_t k = 0; k < total; ++k) store_raw(element_ptr(s, pos + uint32_t(k)), width, run[k % run.size()]);
}

uint32_t clip_index(Cell* v) {
    uint32_t len = value_series(v)->length();
    if (series_index(v) > len) v->data1 = len;
    return series_index(v);
}

// count x dup as an element count that fits the series' 32-bit size, else no-memory.
uint64_t checked_total(const Cell* v, uint64_t count, int32_t dup) {
    uint64_t total = count * uint64_t(std::max(dup, 1));
    uint64_t width = vector_width(v);
    uint64_t len = value_series(v)->length();
    if (total > 0xFFFFFFFFull || (len + total) * width + SERIES_OVERHEAD > 0xFFFFFFFFull) fire_error(Err::NoMemory);
    return total;
}

} // namespace

// ---- Interfaces --------------------------------------------------------------------------------------

int32_t vector_length(const Cell* v) {
    uint32_t len = value_series(v)->length();
    return series_index(v) < len ? int32_t(len - series_index(v)) : 0;
}

void vector_truncate(Cell* v) {
    Series* s = value_series(v);
    if (series_index(v) < s->length()) s->tail = s->head + series_index(v) * s->unit();
}

Cell vector_get_element(const uint8_t* p, TypeId type, uint32_t width) {
    switch (type) {
    case T_CHAR: return make_cell(T_CHAR, 0, uint32_t(load_int(p, type, width)), 0);
    case T_INTEGER: return make_integer(int32_t(load_int(p, type, width)));
    case T_PERCENT: {
        Cell c{T_PERCENT, 0, 0, 0};
        c.put_float(load_float(p, width));
        return c;
    }
    default: return make_float(load_float(p, width));
    }
}

Cell vector_element_at(const Cell* v, uint32_t i) {
    Series* s = value_series(v);
    return vector_get_element(element_ptr(s, i), vector_type(v), s->unit());
}

void vector_check_poke(const Cell* v, const Cell* value) {
    encode(value, vector_type(v), vector_width(v), true);
}

void vector_poke_element(const Cell* v, uint32_t i, const Cell* value) {
    Series* s = value_series(v);
    store_raw(element_ptr(s, i), s->unit(), encode(value, vector_type(v), s->unit(), true));
}

Cell* vector_make_empty(Cell* cell, uint64_t count, TypeId type, uint32_t width) {
    uint64_t bytes = std::max<uint64_t>(count, 1) * width;
    if (bytes + SERIES_OVERHEAD > 0xFFFFFFFFull) fire_error(Err::NoMemory);
    init_cell(cell, T_UNSET);
    Node node = alloc_units(std::max<uint64_t>(count, 1), width);
    init_cell(cell, T_VECTOR, 0, node, type);
    return cell;
}

void vector_append_int32(Cell* v, int32_t value) {
    Series* s = series_reserve(series_node(v), 1, true);
    store_raw(s->tail_ptr(), 4, uint32_t(value));
    s->tail += 4;
}

void vector_append_value(Cell* v, const Cell* value) {
    uint64_t raw = encode(value, vector_type(v), vector_width(v), true);
    Series* s = series_reserve(series_node(v), 1, true);
    store_raw(s->tail_ptr(), s->unit(), raw);
    s->tail += s->unit();
}

void vector_to_block(const Cell* v, Cell* block_cell) {
    Cell* src = stack_push(v);
    Cell* out = block_push_only(std::max(vector_length(src), 1));
    for (int32_t i = 0, n = vector_length(src); i < n; ++i) {
        Cell e = vector_element_at(src, series_index(src) + uint32_t(i));
        block_append_value(out, &e);
    }
    *block_cell = *out;
    stack_pop(2);
}

namespace {

// ---- make --------------------------------------------------------------------------------------------

TypeId type_of_word(const Cell* word) {
    static const TypeId types[] = {T_CHAR, T_INTEGER, T_FLOAT, T_PERCENT};
    uint32_t s = symbol_resolve(word->data2);
    for (TypeId t : types)
        if (g_datatypes[t].word.is(T_WORD) && symbol_resolve(g_datatypes[t].word.data2) == s) return t;
    return T_NONE_ID;
}

[[noreturn]] void bad_make(const Cell* spec) {
    Cell type = make_datatype(T_VECTOR);
    fire_error(Err::BadMakeArg, &type, spec);
}

void vector_make(Cell* proto, Cell* spec, TypeId) {
    Cell* s = stack_push(spec);
    if (s->is(T_INTEGER) || s->is(T_FLOAT)) {
        int32_t n = float_to_int_checked(s);
        Cell* out = stack_push(make_unset());
        vector_make_empty(out, n < 1 ? 1 : uint64_t(n), T_INTEGER, 4);
        if (n >= 1) {
            Series* b = value_series(out);
            std::memset(b->head_ptr(), 0, size_t(n) * 4);
            b->tail = b->head + uint32_t(n) * 4;
        }
        *proto = *out;
        stack_pop(2);
        return;
    }
    if (!s->is(T_BLOCK)) fire_error(Err::NotDone);

    uint32_t len = uint32_t(block_rs_length(s));
    auto item = [&](uint32_t i) { return value_series(s)->cell_at(series_index(s) + i); };
    TypeId type = T_INTEGER;
    uint32_t width = 4;
    int64_t count = 0;
    Cell* values = nullptr;    // the block of initial values, on the data stack
    if (len > 0 && item(0)->is(T_WORD)) {
        type = type_of_word(item(0));
        if (type == T_NONE_ID || len < 2) bad_make(s);
        uint32_t pos = 1;
        if (type == T_PERCENT) {
            width = 8;
            if (item(pos)->is(T_INTEGER)) {
                if (cell_integer(item(pos)) != 64) bad_make(s);
                ++pos;
            }
        } else {
            const Cell* size = item(pos);
            if (!size->is(T_INTEGER)) fire_error(Err::InvalidSpecField, size);
            int32_t bits = cell_integer(size);
            bool ok = int_kind(type) ? (bits == 8 || bits == 16 || bits == 32) : (bits == 32 || bits == 64);
            if (!ok) bad_make(s);
            width = uint32_t(bits) / 8;
            ++pos;
        }
        if (pos < len && item(pos)->is(T_INTEGER)) {
            count = cell_integer(item(pos));
            ++pos;
        }
        if (pos < len && item(pos)->is(T_BLOCK)) {
            values = stack_push(item(pos));
            ++pos;
        }
        if (pos < len) fire_error(Err::InvalidSpecField, item(pos));
    } else if (len > 0) {
        type = item(0)->type();
        if (!element_type(type)) fire_invalid_type(item(0));
        width = default_width(type);
        values = stack_push(s);
    }
    uint32_t given = values ? uint32_t(block_rs_length(values)) : 0;
    uint64_t n = std::max<uint64_t>(uint64_t(std::max<int64_t>(count, 0)), given);
    Cell* out = stack_push(make_unset());
    vector_make_empty(out, n, type, width);
    for (uint32_t i = 0; i < given; ++i) {
        Cell v = *value_series(values)->cell_at(series_index(values) + i);
        vector_append_value(out, &v);
    }
    if (uint64_t(count) > given) {
        Series* b = value_series(out);
        std::memset(b->tail_ptr(), 0, size_t(uint64_t(count) - given) * width);
        b->tail = b->head + uint32_t(count) * width;
    }
    *proto = *out;
    stack_pop(values ? 3 : 2);
}

// ---- form and mold ----------------------------------------------------------------------------------

int32_t emit(Cell* buffer, const char* text) {
    string_concatenate_literal(buffer, text);
    return int32_t(std::strlen(text));
}

// The elements from the index, separated by single blanks; stops once the part budget is spent.
int32_t write_elements(const Cell* v, Cell* buffer, bool mold, bool part, int32_t budget) {
    TypeId type = vector_type(v);
    uint32_t width = vector_width(v);
    uint32_t len = value_series(v)->length();
    int64_t left = budget;
    for (uint32_t i = series_index(v); i < len; ++i) {
        if (part && left <= 0) break;
        if (i > series_index(v)) left -= emit(buffer, " ");
        Cell e = vector_element_at(v, i);
        switch (type) {
        case T_CHAR:
            if (mold) {
                left -= emit(buffer, "#\"");
                left -= string_append_escaped_char(buffer, e.data2, false);
                left -= emit(buffer, "\"");
            } else {
                string_append_char(value_series(buffer), e.data2);
                left -= 1;
            }
            break;
        case T_INTEGER: left -= emit(buffer, integer_form_signed(cell_integer(&e))); break;
        case T_FLOAT: left -= emit(buffer, float_format(e.get_float(), width == 8 ? FK_FLOAT : FK_FLOAT32)); break;
        default:
            left -= emit(buffer, float_format(e.get_float() * 100.0, width == 8 ? FK_PERCENT : FK_PERCENT32));
            break;
        }
    }
    return int32_t(std::max<int64_t>(left, INT32_MIN));
}

int32_t vector_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    Rooted v(*value);   // the value may lie in a buffer that moves while the text grows
    return write_elements(v.get(), buffer, false, part, budget);
}

int32_t vector_mold(const Cell* value, Cell* buffer, bool only, bool, bool, bool part, int32_t budget, int32_t) {
    Rooted v(*value);
    TypeId type = vector_type(v.get());
    uint32_t width = vector_width(v.get());
    int64_t left = budget;
    if (!only) left -= emit(buffer, "make vector! [");
    bool plain = value_series(v.get())->length() > 0 && width == default_width(type);
    if (!plain) {
        std::string head = std::string(type_name(type)) + " " + std::to_string(width * 8) + " [";
        left -= emit(buffer, head.c_str());
    }
    left = write_elements(v.get(), buffer, true, part, int32_t(std::clamp<int64_t>(left, INT32_MIN, INT32_MAX)));
    if (!plain) left -= emit(buffer, "]");
    if (!only) left -= emit(buffer, "]");
    return int32_t(std::clamp<int64_t>(left, INT32_MIN, INT32_MAX));
}

// ---- compare -----------------------------------------------------------------------------------------

int32_t vector_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_VECTOR)) return CMP_NOT_COMPARABLE;
    if (vector_type(a) != vector_type(b)) fire_error(Err::NotSameType);
    bool same = series_node(a) == series_node(b) && series_index(a) == series_index(b);
    if (op == CMP_SAME) return same ? 0 : -1;
    bool equality = compare_op_is_equality(op);
    if (same && equality) return 0;
    int32_t la = vector_length(a), lb = vector_length(b);
    if (equality && la != lb) return 1;
    Series* x = value_series(a);
    Series* y = value_series(b);
    TypeId type = vector_type(a);
    for (int32_t i = 0, n = std::min(la, lb); i < n; ++i) {
        const uint8_t* p = element_ptr(x, series_index(a) + uint32_t(i));
        const uint8_t* q = element_ptr(y, series_index(b) + uint32_t(i));
        if (int_kind(type)) {
            int64_t l = load_int(p, type, x->unit()), r = load_int(q, type, y->unit());
            if (l != r) return l < r ? -1 : 1;
        } else {
            double l = load_float(p, x->unit()), r = load_float(q, y->unit());
            if (l != r) return l < r ? -1 : 1;
        }
    }
    return la < lb ? -1 : la > lb ? 1 : 0;
}

// ---- Math ----------------------------------------------------------------------------------------------

// 32-bit element arithmetic: add, subtract and multiply wrap; divide and remainder truncate.
int64_t int_op(int32_t l, int32_t r, int32_t op) {
    switch (op) {
    case OP_ADD: return int32_t(uint32_t(l) + uint32_t(r));
    case OP_SUBTRACT: return int32_t(uint32_t(l) - uint32_t(r));
    case OP_MULTIPLY: return int32_t(uint32_t(l) * uint32_t(r));
    default: return integer_math_int32(l, r, op, nullptr);
    }
}

void math_vectors(Cell* left, const Cell* right, int32_t op) {
    if (vector_type(left) != vector_type(right)) fire_error(Err::NotSameType);
    TypeId type = vector_type(left);
    Series* x = value_series(left);
    Series* y = value_series(right);
    uint32_t width = std::max(x->unit(), y->unit());
    uint32_t n = uint32_t(std::min(vector_length(left), vector_length(right)));
    std::vector<uint64_t> out(n);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* p = element_ptr(x, series_index(left) + i);
        const uint8_t* q = element_ptr(y, series_index(right) + i);
        if (int_kind(type)) {
            int64_t r = int_op(int32_t(load_int(p, type, x->unit())), int32_t(load_int(q, type, y->unit())), op);
            out[i] = int_raw(r, type, width, nullptr);
        } else {
            out[i] = float_raw(float_do_math(load_float(p, x->unit()), load_float(q, y->unit()), op), width);
        }
    }
    Cell* result = stack_push(make_unset());
    vector_make_empty(result, n, type, width);
    Series* s = value_series(result);
    write_run(s, 0, out, n);
    s->tail = s->head + n * width;
    left->data1 = 0;
    left->data2 = result->data2;
    stack_pop();
}

void math_scalar(Cell* left, const Cell* right, int32_t op) {
    TypeId type = vector_type(left);
    TypeId rt = right->type();
    bool scalar_float = rt == T_FLOAT || rt == T_PERCENT;
    if (!(rt == T_INTEGER || scalar_float)) fire_error(Err::NotDone);
    double d = rt == T_INTEGER ? double(cell_integer(right)) : right->get_float();
    // integer elements and a non-integral factor or divisor: each element in double, truncated
    bool per_element_double = !int_kind(type) ||
        (scalar_float && (op == OP_MULTIPLY || op == OP_DIVIDE) && d != std::trunc(d));
    int32_t k = 0;
    if (!per_element_double) k = rt == T_INTEGER ? cell_integer(right) : truncated(d);
    double identity = (op == OP_ADD || op == OP_SUBTRACT) ? 0.0 : (op == OP_MULTIPLY || op == OP_DIVIDE) ? 1.0 : NAN;
    if ((per_element_double ? d : double(k)) == identity) return;

    Series* s = value_series(left);
    uint32_t width = s->unit();
    uint32_t start = series_index(left);
    uint32_t n = uint32_t(vector_length(left));
    std::vector<uint64_t> out(n);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* p = element_ptr(s, start + i);
        if (!int_kind(type)) {
            out[i] = float_raw(float_do_math(load_float(p, width), d, op), width);
        } else if (per_element_double) {
            double r = float_do_math(double(load_int(p, type, width)), d, op);
            out[i] = int_raw(truncated(r), type, width, nullptr);
        } else {
            out[i] = int_raw(int_op(int32_t(load_int(p, type, width)), k, op), type, width, nullptr);
        }
    }
    write_run(value_series(left), start, out, n);
}

template <int32_t Op>
void vector_math(Cell* left, Cell* right) {
    if (right->is(T_VECTOR)) math_vectors(left, right, Op);
    else math_scalar(left, right, Op);
}

// ---- Editing ---------------------------------------------------------------------------------------

void vector_insert(Cell* series, const Cell* value, int32_t part, bool, int32_t dup, bool append) {
    Cell* v = stack_push(value);
    TypeId vt = v->type();
    std::vector<uint64_t> run;
    gather(series, v, part, vt == T_BLOCK || vt == T_PAREN || vt == T_HASH, false, run);
    uint32_t index = clip_index(series);
    if (run.empty()) {
        stack_pop();
        return;
    }
    uint64_t total = checked_total(series, run.size(), dup);
    uint32_t len = value_series(series)->length();
    uint32_t pos = append || index == len ? len : index;
    SeriesEvent event = append ? SeriesEvent::Append : SeriesEvent::Insert;
    series_notify(series, event, false, int32_t(pos), int32_t(total), v);
    // the owner's handler may have changed the vector
    index = clip_index(series);
    len = value_series(series)->length();
    pos = append || index == len ? len : index;
    total = checked_total(series, run.size(), dup);
    Series* s = series_open_gap(series_node(series), pos, uint32_t(total), true);
    write_run(s, pos, run, total);
    series_notify(series, event, true, int32_t(pos), int32_t(total), v);
    if (!append) series->data1 = pos + uint32_t(total);
    stack_pop();
}

void vector_change(Cell* series, const Cell* value, int32_t part, bool, int32_t dup) {
    Cell* v = stack_push(value);
    std::vector<uint64_t> run;
    gather(series, v, -1, is_any_block(v->type()), true, run);
    uint64_t total = checked_total(series, run.size(), dup);
    uint32_t head = clip_index(series);
    series_notify(series, SeriesEvent::Change, false, int32_t(head), int32_t(total), v);
    head = clip_index(series);
    total = checked_total(series, run.size(), dup);
    uint32_t avail = value_series(series)->length() - head;
    uint32_t replaced = part >= 0 ? std::min<uint32_t>(uint32_t(part), avail) : uint32_t(std::min<uint64_t>(total, avail));
    Node node = series_node(series);
    if (total > replaced) series_open_gap(node, head + replaced, uint32_t(total - replaced), true);
    else if (total < replaced) series_close_gap(node_series(node), head + uint32_t(total), replaced - uint32_t(total));
    write_run(node_series(node), head, run, total);
    series_notify(series, SeriesEvent::Change, true, int32_t(head), int32_t(total), v);
    series->data1 = std::min<uint32_t>(head + uint32_t(total), value_series(series)->length());
    stack_pop();
}

// take answers a single element taken without /part as that element.
void vector_take(Cell* series, const Cell* part, bool deep, bool last) {
    action_impl<A_TAKE>(T_SERIES)(series, part, deep, last);
    if (part || !series->is(T_VECTOR)) return;
    if (value_series(series)->length() != 1) return;
    *series = vector_element_at(series, 0);
}


// ---- Search and sort ---------------------------------------------------------------------------------

// An element's number for comparisons: integers and chars exactly, floats as doubles.
double element_number(Series* s, uint32_t i, TypeId type) {
    const uint8_t* p = element_ptr(s, i);
    return int_kind(type) ? double(load_int(p, type, s->unit())) : load_float(p, s->unit());
}

// The element position of the first element equal to the number under the find options, or -1.
int64_t find_element(Cell* series, const Cell* value, const FindOpts& o) {
    if (o.any || o.with) fire_error(Err::NotDone);
    uint32_t total = value_series(series)->length();
    uint32_t head = clip_index(series);
    int32_t step = 1;
    if (o.skip) {
        step = o.skip->is(T_INTEGER) ? cell_integer(o.skip) : 0;
        if (step < 1) fire_error(Err::OutOfRange, o.skip);
    }
    int64_t count = -1;
    if (o.part) {
        count = string_part_count(series, o.part);
        if (count < 1) return -1;
    }
    TypeId vt = value->type();
    if (!element_type(vt) || (o.match && o.reverse)) return -1;
    double needle = vt == T_INTEGER ? double(cell_integer(value)) : vt == T_CHAR ? double(value->data2)
                                                                             : value->get_float();
    Series* s = value_series(series);
    TypeId type = vector_type(series);
    auto hit = [&](int64_t p) { return element_number(s, uint32_t(p), type) == needle; };
    if (o.reverse) {
        int64_t lower = count >= 0 ? std::max<int64_t>(0, int64_t(head) - count) : 0;
        for (int64_t p = int64_t(head) - 1; p >= lower; p -= step)
            if (hit(p)) return p;
        return -1;
    }
    int64_t end = count >= 0 ? std::min<int64_t>(total, int64_t(head) + count) : total;
    if (o.match) return head < end && hit(head) ? int64_t(head) : -1;
    if (o.last) {
        for (int64_t p = end - 1; p >= int64_t(head); p -= step)
            if (hit(p)) return p;
        return -1;
    }
    for (int64_t p = head; p < end; p += step)
        if (hit(p)) return p;
    return -1;
}

void vector_find(Cell* series, const Cell* value, const FindOpts& opts) {
    int64_t p = find_element(series, value, opts);
    if (p < 0) *series = make_none();
    else series->data1 = uint32_t(p) + (opts.tail || opts.match ? 1 : 0);
}

void vector_select(Cell* series, const Cell* value, const FindOpts& opts) {
    FindOpts o = opts;
    o.tail = o.match = false;
    int64_t p = find_element(series, value, o);
    if (p < 0 || uint64_t(p) + 1 >= value_series(series)->length()) *series = make_none();
    else *series = vector_element_at(series, uint32_t(p) + 1);
}

// Sorts the elements (records of /skip elements) from the index by value; /compare gives the
// record's key element, /all compares whole records.
void vector_sort(Cell* series, const SortOpts& o) {
    uint32_t head = clip_index(series);
    uint32_t len = value_series(series)->length() - head;
    if (o.part) {
        int32_t n = string_part_count(series, o.part);
        if (n < 0) fire_error(Err::OutOfRange, o.part);
        len = std::min<uint32_t>(len, uint32_t(n));
    }
    uint32_t size = 1;
    if (o.skip) {
        int32_t k = o.skip->is(T_INTEGER) ? cell_integer(o.skip) : 0;
        if (k < 1 || uint32_t(k) > len || len % uint32_t(k) != 0) {
            Cell w = word_cell("skip");
            fire_error(Err::InvalidRefineArg, &w, o.skip);
        }
        size = uint32_t(k);
    }
    if (o.all && !o.skip) fire_error(Err::BadRefines);
    uint32_t key = 0;
    if (o.compare) {
        if (!o.compare->is(T_INTEGER)) fire_error(Err::NotDone);
        if (!o.skip || o.all) fire_error(Err::BadRefines);
        int32_t k = cell_integer(o.compare);
        if (k < 1 || uint32_t(k) > size) fire_error(Err::OutOfRange, o.compare);
        key = uint32_t(k - 1);
    }
    uint32_t count = len / size;
    if (count < 2) return;
    series_notify(series, SeriesEvent::Sort, false, int32_t(head), int32_t(len));
    head = clip_index(series);
    count = std::min(count, (value_series(series)->length() - head) / size);
    Series* s = value_series(series);
    TypeId type = vector_type(series);
    uint32_t width = s->unit();
    auto less = [&](uint32_t a, uint32_t b) {
        uint32_t first = o.all ? 0 : key, last = o.all ? size : key + 1;
        for (uint32_t j = first; j < last; ++j) {
            double x = element_number(s, head + a * size + j, type);
            double y = element_number(s, head + b * size + j, type);
            if (x != y) return o.reverse ? y < x : x < y;
        }
        return false;
    };
    std::vector<uint32_t> order(count);
    for (uint32_t i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), less);
    size_t record = size_t(size) * width;
    std::vector<uint8_t> sorted(record * count);
    for (uint32_t i = 0; i < count; ++i)
        std::memcpy(sorted.data() + i * record, element_ptr(s, head + order[i] * size), record);
    std::memcpy(element_ptr(s, head), sorted.data(), sorted.size());
    series_notify(series, SeriesEvent::Sort, true, int32_t(head), int32_t(len));
}
} // namespace

void vector_init() {
    ActionEntries e = action_entries(INHERIT);
    for (Action a : {A_TO, A_RESERVED_8, A_ABSOLUTE, A_NEGATE, A_POWER, A_ROUND, A_EVEN_Q, A_ODD_Q,
                     A_COMPLEMENT, A_PUT, A_SWAP, A_TRIM, A_CREATE, A_CLOSE, A_DELETE, A_OPEN, A_OPEN_Q,
                     A_QUERY, A_READ, A_RENAME, A_UPDATE, A_WRITE})
        e[a - 1] = UNSUPPORTED;
    set_entry<A_MAKE>(e, vector_make);
    set_entry<A_FORM>(e, vector_form);
    set_entry<A_MOLD>(e, vector_mold);
    set_entry<A_COMPARE>(e, vector_compare);
    set_entry<A_ADD>(e, vector_math<OP_ADD>);
    set_entry<A_DIVIDE>(e, vector_math<OP_DIVIDE>);
    set_entry<A_MULTIPLY>(e, vector_math<OP_MULTIPLY>);
    set_entry<A_REMAINDER>(e, vector_math<OP_REMAINDER>);
    set_entry<A_SUBTRACT>(e, vector_math<OP_SUBTRACT>);
    set_entry<A_AND>(e, vector_math<OP_AND>);
    set_entry<A_OR>(e, vector_math<OP_OR>);
    set_entry<A_XOR>(e, vector_math<OP_XOR>);
    set_entry<A_APPEND>(e, vector_insert);
    set_entry<A_INSERT>(e, vector_insert);
    set_entry<A_CHANGE>(e, vector_change);
    set_entry<A_TAKE>(e, vector_take);
    set_entry<A_FIND>(e, vector_find);
    set_entry<A_SELECT>(e, vector_select);
    set_entry<A_SORT>(e, vector_sort);
    register_datatype(T_VECTOR, T_STRING, "vector!", e);
}

} // namespace kel

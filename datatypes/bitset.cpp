// bitset!: construction, text forms, set algebra and the editing actions of bit sets.
//
// Every action that names numbers goes through one value walk (Walker below): a char!, an
// integer!, a float! (truncated), each character of a string!, each item of a block, and in a
// block the range `low - high` of two chars or two integers. The walk measures (the largest number
// named), sets, clears or tests. An editing walk always measures first: the measure pass raises
// every error the value can raise, so a failed call changes nothing; then the array grows once to
// the measured size, filled with the set's fill byte (0x00 plain, 0xFF complemented), and the
// second pass writes bits without allocating. Tests never grow the array: a number beyond it is a
// member exactly when the set is complemented.
//
// A complemented set keeps its non-members in the stored bits' zeros; the flag is a buffer flag
// (BITSET_COMPLEMENT), so that a copy of the buffer keeps it. The set algebra works byte by byte
// with each operand's missing bytes read as its fill, so every result's membership is the
// operation on its operands' memberships.
//
// Editing actions report to the owner of the bitset through series_notify before and after the
// change (append and insert as insert/inserted, poke, remove, clear).
#include "datatypes/bitset.h"

#include "core/cycles.h"
#include "core/errors.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/support.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "core/words.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "datatypes/string.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace kel {

namespace {

// ---- Bits --------------------------------------------------------------------------------------------

inline uint8_t bit_mask(uint64_t n) { return uint8_t(0x80 >> (n & 7)); }
inline uint8_t fill_of(bool complemented) { return complemented ? 0xFF : 0x00; }

Series* bits_of(const Cell* bitset) { return node_series(series_node(bitset)); }

// Makes the array at least `bytes` long: the buffer grows when needed and every byte between the
// old and the new tail gets the set's fill. Returns the buffer.
Series* grow_to(const Cell* bitset, uint64_t bytes) {
    Series* s = bits_of(bitset);
    if (bytes <= s->used()) return s;
    checked_size(bytes + SERIES_OVERHEAD);
    uint8_t fill = fill_of(s->flags & BITSET_COMPLEMENT);
    if (uint64_t(s->head) + bytes > s->size) s = expand_series_copy(s, bytes);
    uint8_t* old_tail = s->tail_ptr();
    s->tail = s->head + uint32_t(bytes);
    std::memset(old_tail, fill, size_t(s->tail_ptr() - old_tail));
    return s;
}

// ---- The value walk --------------------------------------------------------------------------------

enum WalkOp { MEASURE = 0, SET = 1, TEST = 2, CLEAR = 3 };

// Restores the cycle-detection stack when a walk is left by an error.
struct CycleScope {
    uint32_t depth = cycles_depth();
    ~CycleScope() {
        if (cycles_depth() > depth) cycles_drop(cycles_depth() - depth);
    }
};

struct Walker {
    int op;
    int mode;          // 0 make, 1 to, 2 other actions: which error an unsupported value raises
    Series* s;         // the bitset's buffer (none while measuring); no pass allocates
    bool complemented;
    int64_t largest = -1;

    bool member(int64_t n) const {
        if (n < 0 || uint64_t(n >> 3) >= s->used()) return complemented;
        return (s->head_ptr()[n >> 3] & bit_mask(uint64_t(n))) != 0;
    }
    // Applies the op to the numbers low .. high (low <= high, low >= 0 unless testing).
    bool range(int64_t low, int64_t high) {
        switch (op) {
        case MEASURE:
            largest = std::max(largest, high);
            return true;
        case TEST: {
            if (low < 0 && !complemented) return false;
            int64_t stored = int64_t(s->used()) * 8;
            for (int64_t n = std::max<int64_t>(low, 0); n <= high && n < stored; ++n)
                if (!member(n)) return false;
            return high < stored || complemented;
        }
        default: {
            // bits beyond the array already read as the op wants them (the array was grown for
            // the others)
            int64_t stored = int64_t(s->used()) * 8;
            uint8_t* bits = s->head_ptr();
            for (int64_t n = low; n <= high && n < stored; ++n) {
                if (op == SET) bits[n >> 3] |= bit_mask(uint64_t(n));
                else bits[n >> 3] &= uint8_t(~bit_mask(uint64_t(n)));
            }
            return true;
        }
        }
    }

    // The number a char!, integer! or float! names; negative numbers raise out-of-range except in
    // a test.
    int64_t number(const Cell* v) const {
        int64_t n = v->is(T_CHAR) ? int64_t(v->data2) : v->is(T_INTEGER) ? int64_t(cell_integer(v))
                                                                          : int64_t(float_to_int_checked(v));
        if (n < 0 && op != TEST) fire_error(Err::OutOfRange, v);
        return n;
    }

    [[noreturn]] void unsupported(const Cell* v) const {
        Cell type = make_datatype(T_BITSET);
        if (mode == 0) fire_error(Err::BadMakeArg, &type, v);
        if (mode == 1) fire_error(Err::BadToArg, &type, v);
        fire_error(Err::InvalidArg, v);
    }

    bool text(const Cell* v) {
        Series* t = value_series(v);
        uint32_t unit = t->unit();
        uint32_t len = t->length();
        for (uint32_t i = series_index(v); i < len; ++i) {
            int64_t cp = unit_get(t->head_ptr() + size_t(i) * unit, unit);
            if (!range(cp, cp)) return false;
        }
        return true;
    }

    static bool is_minus(const Cell* c) {
        return c->is(T_WORD) && symbol_resolve(c->data2) == symbol_resolve(sym(Sym::Minus));
    }

    bool block(const Cell* v) {
        Node node = series_node(v);
        if (cycles_find(node)) fire_error(Err::NoCycle);
        cycles_push(node);
        Series* b = node_series(node);
        uint32_t len = b->length();
        bool all = true;
        for (uint32_t i = series_index(v); i < len && all; ++i) {
            const Cell* item = b->cell_at(i);
            if ((item->is(T_CHAR) || item->is(T_INTEGER)) && i + 1 < len && is_minus(b->cell_at(i + 1))) {
                if (i + 2 >= len) fire_error(Err::PastEnd);
                const Cell* end = b->cell_at(i + 2);
                if (end->type() != item->type()) fire_error(Err::InvalidArg, end);
                int64_t low = number(item);
                int64_t high = end->is(T_CHAR) ? int64_t(end->data2) : int64_t(cell_integer(end));
                if (high < low) fire_error(Err::PastEnd);
                all = range(low, high);
                i += 2;
                continue;
            }
            all = value(item);
        }
        cycles_pop();
        return all;
    }

    bool value(const Cell* v) {
        switch (v->type()) {
        case T_CHAR: case T_INTEGER: case T_FLOAT: {
            int64_t n = number(v);
            if (n < 0) return complemented;   // a test: beyond the array
            return range(n, n);
        }
        case T_STRING: return text(v);
        case T_BLOCK: return block(v);
        case T_BINARY: fire_error(Err::NotDone);
        default: unsupported(v);
        }
    }
};

// Bytes a measured walk needs: (largest + 8) >> 3, at least 1.
uint64_t bytes_for(int64_t largest) { return std::max<uint64_t>(uint64_t(largest + 8) >> 3, 1); }

int64_t measure(const Cell* value, int mode) {
    CycleScope scope;
    Walker w{MEASURE, mode, nullptr, false};
    w.value(value);
    return int64_t(bytes_for(w.largest));
}

// The set or clear pass over an array already grown for it; no allocation.
void apply(const Cell* bitset, const Cell* value, int op, int mode) {
    CycleScope scope;
    Series* s = bits_of(bitset);
    Walker w{op, mode, s, (s->flags & BITSET_COMPLEMENT) != 0};
    w.value(value);
}

} // namespace

bool bitset_has(const Cell* bitset, uint32_t n) {
    Series* s = bits_of(bitset);
    if (uint64_t(n >> 3) >= s->used()) return (s->flags & BITSET_COMPLEMENT) != 0;
    return (s->head_ptr()[n >> 3] & bit_mask(n)) != 0;
}

int64_t bitset_walk(Cell* bitset, const Cell* value, BitsetOp op, int mode) {
    Cell v = *value;   // the walk reads through v only: value's own cell may move
    if (op == BitsetOp::Test) {
        CycleScope scope;
        Series* s = bits_of(bitset);
        Walker w{TEST, mode, s, (s->flags & BITSET_COMPLEMENT) != 0};
        return w.value(&v) ? 1 : 0;
    }
    int64_t bytes = measure(&v, mode);
    Rooted hold(v);
    bool complemented = bitset_complemented(bitset);
    // a set makes room for the largest number (on a complemented set the tail moves the same way);
    // a clear needs room only on a complemented set, whose bits beyond the array are members
    if (op == BitsetOp::Set || complemented) grow_to(bitset, uint64_t(bytes));
    apply(bitset, hold.get(), op == BitsetOp::Set ? SET : CLEAR, mode);
    return bytes;
}

Cell* bitset_make_at(Cell* cell, uint32_t bytes, uint8_t fill, bool complemented) {
    init_cell(cell, T_UNSET);
    Node node = alloc_bytes_filled(bytes, fill);
    Series* s = node_series(node);
    s->tail = s->head + bytes;
    if (complemented) s->flags |= BITSET_COMPLEMENT;
    init_cell(cell, T_BITSET, 0, node, 0);
    return cell;
}

namespace {

// A new bitset over a copy of the source's bytes (flag included), into result.
void copy_bitset(const Cell* source, Cell* result) {
    Node src = series_node(source);
    Node copy = copy_series_part(src, 0, node_series(src)->used());
    init_cell(result, T_BITSET, 0, copy, 0);
}

// ---- make and to ----------------------------------------------------------------------------------------

void make_from(Cell* proto, Cell* spec, int mode) {
    Cell* v = stack_push(spec);
    bool complemented = false;
    if (v->is(T_BLOCK) && block_rs_length(v) > 0) {
        const Cell* first = value_series(v)->cell_at(series_index(v));
        if (first->is(T_WORD) && symbol_resolve(first->data2) == symbol_resolve(sym(Sym::Not))) {
            complemented = true;
            v->data1++;
            if (block_rs_length(v) > 0 && value_series(v)->cell_at(series_index(v))->is(T_BINARY))
                *v = *value_series(v)->cell_at(series_index(v));
        }
    }
    switch (v->type()) {
    case T_BITSET:
        copy_bitset(v, proto);
        break;
    case T_INTEGER: case T_FLOAT: {
        if (mode == 1) {
            Cell type = make_datatype(T_BITSET);
            fire_error(Err::BadToArg, &type, v);
        }
        int32_t n = float_to_int_checked(v);
        if (n < 0) fire_error(Err::OutOfRange, v);
        bitset_make_at(proto, uint32_t((int64_t(n) + 7) >> 3), 0, false);
        break;
    }
    case T_BINARY: {
        Series* b = value_series(v);
        uint32_t start = std::min(series_index(v), b->length());
        uint32_t n = b->length() - start;
        Cell* out = stack_push(make_unset());
        bitset_make_at(out, n, 0, complemented);
        b = value_series(v);
        uint8_t* to = bitset_bits(out);
        const uint8_t* from = b->head_ptr() + start;
        for (uint32_t i = 0; i < n; ++i) to[i] = complemented ? uint8_t(~from[i]) : from[i];
        *proto = *out;
        stack_pop();
        break;
    }
    default: {
        int64_t bytes = measure(v, mode);
        Cell* out = stack_push(make_unset());
        bitset_make_at(out, uint32_t(bytes), fill_of(complemented), complemented);
        apply(out, v, complemented ? CLEAR : SET, mode);
        *proto = *out;
        stack_pop();
        break;
    }
    }
    stack_pop();
}

void bitset_make(Cell* proto, Cell* spec, TypeId) { make_from(proto, spec, 0); }
void bitset_to(Cell* proto, Cell* spec, TypeId) { make_from(proto, spec, 1); }

// ---- form and mold ------------------------------------------------------------------------------------

int32_t bitset_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part, int32_t budget, int32_t) {
    // the text is laid out first (no allocation while the bytes are read), then appended at once
    Series* s = bits_of(value);
    bool complemented = (s->flags & BITSET_COMPLEMENT) != 0;
    std::string text = complemented ? "make bitset! [not #{" : "make bitset! #{";
    int64_t left = int64_t(budget) - int64_t(text.size());
    static const char hex[] = "0123456789ABCDEF";
    const uint8_t* bytes = s->head_ptr();
    for (uint32_t i = 0, n = s->used(); i < n; ++i) {
        uint8_t b = complemented ? uint8_t(255 - bytes[i]) : bytes[i];
        text.push_back(hex[b >> 4]);
        text.push_back(hex[b & 15]);
        left -= 2;
        if (part && left < 0) break;
    }
    if (!(part && left < 1)) {
        text += complemented ? "}]" : "}";
        left -= complemented ? 2 : 1;
    }
    string_append_bytes(buffer, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return int32_t(std::clamp<int64_t>(left, INT32_MIN, INT32_MAX));
}

int32_t bitset_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    return bitset_mold(value, buffer, false, false, false, part, budget, 0);
}

// ---- compare ----------------------------------------------------------------------------------------

int32_t bitset_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_BITSET)) return CMP_NOT_COMPARABLE;
    if (op == CMP_SAME) return series_node(a) == series_node(b) ? 0 : 1;
    Series* x = bits_of(a);
    Series* y = bits_of(b);
    uint32_t lx = x->used(), ly = y->used();
    if (lx != ly) return lx < ly ? -1 : 1;
    if (lx == 0) return 0;
    bool cx = x->flags & BITSET_COMPLEMENT, cy = y->flags & BITSET_COMPLEMENT;
    if (cx != cy) return cx ? 1 : -1;
    for (uint32_t i = lx; i-- > 0;) {
        uint8_t p = x->head_ptr()[i], q = y->head_ptr()[i];
        if (p != q) return p < q ? -1 : 1;
    }
    return 0;
}

// ---- Set algebra --------------------------------------------------------------------------------------

template <int32_t Op>
void bitset_op(Cell* left, Cell* right) { bitset_set_operation(left, right, Op); }

void bitset_complement(Cell* value) {
    Cell* out = stack_push(make_unset());
    Series* s = bits_of(value);
    uint32_t n = s->used();
    bitset_make_at(out, n, 0, !(s->flags & BITSET_COMPLEMENT));
    s = bits_of(value);
    uint8_t* to = bitset_bits(out);
    for (uint32_t i = 0; i < n; ++i) to[i] = uint8_t(~s->head_ptr()[i]);
    *value = *out;
    stack_pop();
}

// ---- Series-like actions --------------------------------------------------------------------------

// poke's truth of a value: none, false, 0 and 0.0 clear.
bool poke_truth(const Cell* v) {
    switch (v->type()) {
    case T_NONE: return false;
    case T_LOGIC: return v->data1 != 0;
    case T_INTEGER: return cell_integer(v) != 0;
    case T_FLOAT: return v->get_float() != 0.0;
    default: return true;
    }
}

void bitset_pick(Cell* bitset, int32_t, const Cell* index_value) {
    bool found = bitset_walk(bitset, index_value, BitsetOp::Test, 2) > 0;
    *bitset = make_logic(found);
}

void bitset_find(Cell* bitset, const Cell* value, const FindOpts&) {
    bool found = bitset_walk(bitset, value, BitsetOp::Test, 2) > 0;
    *bitset = found ? make_logic(true) : make_none();
}

// Sets (or clears) the bits the index names, with the poke notifications; value is the result.
void poke_bits(Cell* bitset, int32_t index, const Cell* index_value, const Cell* value) {
    Cell* v = stack_push(value);
    Cell* key = stack_push(index_value);
    // validate before notifying: a failed poke neither changes nor reports anything
    measure(key, 2);
    series_notify(bitset, SeriesEvent::Poke, false, index, 1, v);
    bitset_walk(bitset, key, poke_truth(v) ? BitsetOp::Set : BitsetOp::Clear, 2);
    series_notify(bitset, SeriesEvent::Poke, true, index, 1, v);
    *bitset = *v;
    stack_pop(2);
}

void bitset_poke(Cell* bitset, int32_t index, const Cell* value) {
    // the entry layer passes the index as a number; the walk needs it as a value
    Cell* frame_index = stack_arg(1);
    bool from_frame = bitset == stack_arg(0) && value == stack_arg(2);
    Cell key = from_frame ? *frame_index : make_integer(index);
    poke_bits(bitset, index, &key, value);
}

void bitset_insert(Cell* bitset, const Cell* value, int32_t, bool, int32_t, bool) {
    Cell* v = stack_push(value);
    measure(v, 2);
    series_notify(bitset, SeriesEvent::Insert, false, -1, 1, v);
    int64_t bytes = bitset_walk(bitset, v, BitsetOp::Set, 2);
    series_notify(bitset, SeriesEvent::Insert, true, int32_t(bytes), 1, v);
    stack_pop();
}

void bitset_remove(Cell* bitset, const Cell*, const Cell* key) {
    if (!key) fire_error(Err::MissingArg);
    Cell* k = stack_push(key);
    measure(k, 2);
    series_notify(bitset, SeriesEvent::Remove, false, -1, 1, k);
    // a complemented set lists its non-members: removing a key adds it to them
    BitsetOp op = bitset_complemented(bitset) ? BitsetOp::Set : BitsetOp::Clear;
    int64_t bytes = bitset_walk(bitset, k, op, 2);
    series_notify(bitset, SeriesEvent::Remove, true, int32_t(bytes), 1, k);
    stack_pop();
}

void bitset_clear(Cell* bitset) {
    series_notify(bitset, SeriesEvent::Clear, false, -1, -1);
    Series* s = bits_of(bitset);
    std::memset(s->head_ptr(), fill_of(s->flags & BITSET_COMPLEMENT), s->used());
    series_notify(bitset, SeriesEvent::Clear, true, -1, -1);
}

void bitset_copy(Cell* bitset, Cell* result, const Cell*, bool, const Cell*) {
    Cell* src = stack_push(bitset);
    copy_bitset(src, result);
    stack_pop();
}

int32_t bitset_length_q(const Cell* bitset) {
    uint64_t n = bitset_length(bitset);
    return n > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(n);
}

void bitset_eval_path(Cell* parent, const PathStep& step) {
    const Cell* e = step.element;
    if (!e->is(T_INTEGER) && !e->is(T_CHAR)) {
        Cell type = make_datatype(e->type());
        fire_error(Err::InvalidType, &type);
    }
    int32_t index = int32_t(e->data2);
    if (!step.value) {
        bitset_pick(parent, index, e);
        return;
    }
    Cell key = *e;
    poke_bits(parent, index, &key, step.value);
}

void bitset_reflect(Cell* bitset, uint32_t field) {
    if (symbol_resolve(field) != symbol_resolve(sym(Sym::Owned))) fire_error(Err::NotDone);
    Cell* owner = (bits_of(bitset)->flags & SER_OWNED) ? owner_find(series_node(bitset)) : nullptr;
    *bitset = owner ? *owner : make_none();
}

void bitset_modify(Cell* bitset, const Cell* field, const Cell* value) {
    Cell* v = stack_push(value);
    if (field && is_any_word(field->type()) &&
        symbol_resolve(field->data2) == symbol_resolve(sym(Sym::Owned))) {
        if (v->is(T_NONE)) {
            ownership_unbind(bitset);
        } else if (v->is(T_BLOCK) && block_rs_length(v) >= 2) {
            Series* b = value_series(v);
            Rooted owner(*b->cell_at(series_index(v)));
            Rooted word(*b->cell_at(series_index(v) + 1));
            if (owner->is(T_OBJECT) && is_any_word(word->type()))
                set_owner_and_flag(bitset, owner.get(), word.get());
        }
    }
    *bitset = *v;
    stack_pop();
}

} // namespace

void bitset_set_operation(Cell* first, const Cell* second, int32_t op) {
    if (!second->is(T_BITSET)) {
        Cell type = make_datatype(second->type());
        fire_error(Err::InvalidType, &type);
    }
    if (op == 8) return;
    Cell* a = stack_push(first);
    Cell* b = stack_push(second);
    Series* x = bits_of(a);
    Series* y = bits_of(b);
    uint32_t la = x->used(), lb = y->used();
    bool ca = x->flags & BITSET_COMPLEMENT, cb = y->flags & BITSET_COMPLEMENT;
    auto combine = [op](uint32_t p, uint32_t q) -> uint32_t {
        switch (op) {
        case 5: case 9: return p | q;
        case 6: case 10: return p & q;
        case 7: case 12: return p ^ q;
        default: return p & ~q;   // exclude
        }
    };
    uint32_t n = std::max(la, lb);
    if (op == 6 && !ca && !cb) n = std::min(la, lb);
    bool complemented = combine(ca, cb) & 1;
    Cell* out = stack_push(make_unset());
    bitset_make_at(out, n, 0, complemented);
    x = bits_of(a);
    y = bits_of(b);
    uint8_t* to = bitset_bits(out);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t p = i < la ? x->head_ptr()[i] : fill_of(ca);
        uint32_t q = i < lb ? y->head_ptr()[i] : fill_of(cb);
        to[i] = uint8_t(combine(p, q));
    }
    *first = *out;
    stack_pop(3);
}

void bitset_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, bitset_make);
    set_entry<A_REFLECT>(e, bitset_reflect);
    set_entry<A_TO>(e, bitset_to);
    set_entry<A_FORM>(e, bitset_form);
    set_entry<A_MOLD>(e, bitset_mold);
    set_entry<A_EVAL_PATH>(e, bitset_eval_path);
    set_entry<A_COMPARE>(e, bitset_compare);
    set_entry<A_NEGATE>(e, bitset_complement);
    set_entry<A_AND>(e, bitset_op<6>);
    set_entry<A_COMPLEMENT>(e, bitset_complement);
    set_entry<A_OR>(e, bitset_op<5>);
    set_entry<A_XOR>(e, bitset_op<7>);
    set_entry<A_APPEND>(e, bitset_insert);
    set_entry<A_CLEAR>(e, bitset_clear);
    set_entry<A_COPY>(e, bitset_copy);
    set_entry<A_FIND>(e, bitset_find);
    set_entry<A_INSERT>(e, bitset_insert);
    set_entry<A_LENGTH_Q>(e, bitset_length_q);
    set_entry<A_PICK>(e, bitset_pick);
    set_entry<A_POKE>(e, bitset_poke);
    set_entry<A_REMOVE>(e, bitset_remove);
    set_entry<A_MODIFY>(e, bitset_modify);
    register_datatype(T_BITSET, T_NONE_ID, "bitset!", e);
}

} // namespace kel

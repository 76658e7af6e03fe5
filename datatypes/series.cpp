// series!: the navigation and editing actions shared by every series type.
//
// series! is a pseudo-type: no value carries its id, but its row of the action table holds the
// actions that block!, string!, image! and their children inherit. Each action reads the series
// only through its cell (head index in units, node) and the buffer header (unit size, head and
// tail offsets), and moves units as bytes, so one code path serves cells of 16 bytes and text
// units of 1, 2 or 4 alike; only the item a position yields (a cell, a byte, a character) and the
// check of a value poked into a text depend on the type.
//
// Every editing action reports to the series' owner (core/ownership.h) through series_notify: the
// before word while the units concerned are still in place, the after word once the change
// stands. Notification may run user code, which may allocate: buffers are fetched again through
// their nodes after every notification and every allocation.
#include "datatypes/series.h"

#include "core/cycles.h"
#include "core/errors.h"
#include "core/hash.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "core/words.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/hash.h"
#include "datatypes/vector.h"
#include "evaluator/random.h"

#include <algorithm>
#include <cstring>

namespace kel {

namespace {

[[noreturn]] void bad_refine_arg(R refinement, const Cell* value) {
    fire_error(Err::InvalidRefineArg, runtime_refinement(refinement), value);
}

// A value that names a position in the same series: same type, same buffer.
bool same_series(const Cell* a, const Cell* b) {
    return a->type() == b->type() && series_node(a) == series_node(b);
}

inline uint8_t* unit_ptr(Series* s, uint32_t pos) { return s->head_ptr() + size_t(pos) * s->unit(); }

inline int32_t clamp_i32(int64_t v) {
    return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : int32_t(v);
}

// Widens a text buffer so that it holds the code point; returns it (possibly moved).
Series* widen_for(Series* s, uint32_t cp) {
    uint32_t unit = s->unit();
    if (unit == 1 && cp >= 0x10000) return string_widen_1_to_4(s);
    if (unit == 1 && cp >= 0x100) return string_widen_1_to_2(s);
    if (unit == 2 && cp >= 0x10000) return string_widen_2_to_4(s);
    return s;
}

// Whether a text type's item may be written: a char! (poke), checked before anything changes.
void check_poke_value(const Cell* series, const Cell* value) {
    TypeId t = series->type();
    if (is_any_block(t)) return;
    if (t == T_VECTOR) {
        vector_check_poke(series, value);
        return;
    }
    if (t == T_IMAGE) fire_error(Err::NotDone);
    if (t == T_BINARY) {
        if (value->is(T_INTEGER) || value->is(T_CHAR)) {
            if (int32_t(value->data2) < 0 || int32_t(value->data2) > 255) fire_error(Err::OutOfRange, value);
            return;
        }
        fire_error(Err::InvalidArg, value);
    }
    if (!value->is(T_CHAR)) fire_error(Err::InvalidArg, value);
}

// Writes the (checked) value at unit position pos, widening a text when needed.
void write_item(const Cell* series, uint32_t pos, const Cell* value) {
    Series* s = value_series(series);
    TypeId t = series->type();
    if (is_any_block(t)) {
        copy_cell(value, s->cell_at(pos));
    } else if (t == T_BINARY) {
        *unit_ptr(s, pos) = uint8_t(value->data2);
    } else if (t == T_VECTOR) {
        vector_poke_element(series, pos, value);
    } else {
        uint32_t cp = value->data2;
        s = widen_for(s, cp);
        unit_put(unit_ptr(s, pos), s->unit(), cp);
    }
}

} // namespace

// ---- Helpers -----------------------------------------------------------------------------------------

int32_t series_length_in_units(Cell* s, bool from_start) {
    uint32_t len = series_length_from_start(s);
    int32_t head = int32_t(series_index(s));
    if (from_start || head < 0) head = 0;
    if (uint32_t(head) > len) {
        s->data1 = len;
        return 0;
    }
    return int32_t(len - uint32_t(head));
}

bool series_skip_clip(Cell* s, int32_t n) {
    int64_t len = series_length_from_start(s);
    int64_t pos = int64_t(int32_t(series_index(s))) + n;
    if (pos >= 0 && pos <= len) s->data1 = uint32_t(pos);
    return pos >= len;
}

uint32_t series_offset_index(const Cell* s, const Cell* offset, bool at) {
    if (!offset->is(T_INTEGER)) fire_error(Err::InvalidArg, offset);
    int64_t n = cell_integer(offset);
    int64_t head = int32_t(series_index(s));
    int64_t pos = (at && n >= 1) ? head + n - 1 : head + n;
    int64_t len = series_length_from_start(s);
    return uint32_t(std::clamp<int64_t>(pos, 0, len));
}

bool series_position(const Cell* s, int32_t i, uint32_t* pos) {
    if (i == 0) return false;
    int64_t head = int32_t(series_index(s));
    int64_t p = i >= 1 ? head + i - 1 : head + i;
    if (p < 0 || p >= int64_t(series_length_from_start(s))) return false;
    *pos = uint32_t(p);
    return true;
}

void series_item_at(const Cell* s, uint32_t pos, Cell* out) {
    Series* buf = value_series(s);
    TypeId t = s->type();
    if (is_any_block(t)) {
        copy_cell(buf->cell_at(pos), out);
    } else if (t == T_BINARY) {
        *out = make_integer(*unit_ptr(buf, pos));
    } else if (t == T_VECTOR) {
        *out = vector_element_at(s, pos);
    } else if (t == T_IMAGE) {
        fire_error(Err::NotDone);
    } else {
        *out = make_cell(T_CHAR, 0, unit_get(unit_ptr(buf, pos), buf->unit()), 0);
    }
}

Series* series_reserve(Node node, uint64_t extra, bool doubled) {
    Series* s = node_series(node);
    uint32_t unit = s->unit();
    uint64_t needed = uint64_t(s->used()) + extra * unit;
    // checked even when the buffer has room: rounded up, it can hold units past the largest length
    if (needed > SERIES_MAX_UNITS * unit) fire_error(Err::NoMemory);
    if (uint64_t(s->tail) + extra * unit <= s->size) return s;
    checked_size(needed + SERIES_OVERHEAD);
    return expand_series_copy(s, doubled ? growth_size(needed, needed * 2) : needed);
}

Series* series_open_gap(Node node, uint32_t pos, uint32_t count, bool doubled) {
    Series* s = series_reserve(node, count, doubled);
    uint32_t unit = s->unit();
    uint32_t len = s->length();
    uint8_t* at = unit_ptr(s, pos);
    std::memmove(at + size_t(count) * unit, at, size_t(len - pos) * unit);
    s->tail += count * unit;
    // a block's gap must hold valid cells until it is filled: the collector may look at it
    if (unit == 16) {
        Cell* c = reinterpret_cast<Cell*>(at);
        for (uint32_t i = 0; i < count; ++i) c[i].header = T_UNSET;
    }
    return s;
}

void series_close_gap(Series* s, uint32_t pos, uint32_t count) {
    uint32_t unit = s->unit();
    uint32_t len = s->length();
    if (pos >= len) return;
    count = std::min(count, len - pos);
    uint8_t* at = unit_ptr(s, pos);
    std::memmove(at, at + size_t(count) * unit, size_t(len - pos - count) * unit);
    s->tail -= count * unit;
}

void series_notify(const Cell* s, SeriesEvent event, bool after, int32_t index, int32_t count,
                   const Cell* new_value) {
    if (after && s->is(T_HASH)) [[unlikely]] hash_block_edited(s, event, index, count);
    if (!series_owned(s)) return;
    static const W k_words[][2] = {
        {W::Clear, W::Cleared}, {W::Poke, W::Poked},         {W::Remove, W::Removed},
        {W::Reverse, W::Reversed}, {W::Take, W::Taken},      {W::Random, W::Randomized},
        {W::Move, W::Moved},    {W::Put, W::PutEd},          {W::Sort, W::Sorted},
        {W::Append, W::Appended}, {W::Insert, W::Inserted},  {W::Change, W::Changed},
        {W::Swap, W::Swaped},   {W::Trim, W::Trimmed},
    };
    ownership_check(s, runtime_word(k_words[size_t(event)][after ? 1 : 0]), new_value, index, count);
}

// ---- Navigation ----------------------------------------------------------------------------------------

namespace {

void series_head(Cell* s) { s->data1 = 0; }
void series_tail(Cell* s) { s->data1 = series_length_from_start(s); }
void series_back(Cell* s) {
    if (series_index(s) > 0) s->data1--;
}
void series_next(Cell* s) { series_skip_clip(s, 1); }
void series_at(Cell* s, const Cell* offset) { s->data1 = series_offset_index(s, offset, true); }
void series_skip(Cell* s, const Cell* offset) { s->data1 = series_offset_index(s, offset, false); }
void series_head_q(Cell* s) { *s = make_logic(series_index(s) == 0); }
void series_tail_q(Cell* s) { *s = make_logic(series_rs_tail_q(s)); }
void series_index_q(Cell* s) { *s = make_integer(int32_t(series_index(s)) + 1); }
int32_t series_length_q(const Cell* s) { return series_length_in_units(const_cast<Cell*>(s), false); }

void series_reflect(Cell* s, uint32_t field) {
    if (symbol_resolve(field) != symbol_resolve(sym(Sym::Owned))) fire_error(Err::NotDone);
    Cell* owner = (series_node(s) && (value_series(s)->flags & SER_OWNED)) ? owner_find(series_node(s)) : nullptr;
    *s = owner ? *owner : make_none();
}

void series_modify(Cell* s, const Cell* field, const Cell* value) {
    if (!field || !is_any_word(field->type())) return;
    if (symbol_resolve(field->data2) != symbol_resolve(sym(Sym::Owned))) return;
    if (value->is(T_NONE)) {
        ownership_unbind(s);
    } else if (value->is(T_BLOCK) && block_rs_length(value) >= 2) {
        Series* b = value_series(value);
        Rooted owner(*b->cell_at(series_index(value)));
        Rooted word(*b->cell_at(series_index(value) + 1));
        if (owner->is(T_OBJECT) && is_any_word(word->type())) set_owner_deep(s, owner.get(), word.get());
    }
}

} // namespace

// ---- Items ------------------------------------------------------------------------------------------

void series_pick(Cell* series, int32_t index, const Cell*) {
    uint32_t pos;
    if (!series_position(series, index, &pos)) {
        *series = make_none();
        return;
    }
    Cell item;
    series_item_at(series, pos, &item);
    *series = item;
}

void series_poke(Cell* series, int32_t index, const Cell* value) {
    uint32_t pos;
    if (!series_position(series, index, &pos)) {
        Cell i = make_integer(index);
        fire_error(Err::OutOfRange, &i);
    }
    check_poke_value(series, value);
    series_notify(series, SeriesEvent::Poke, false, int32_t(pos), 1, value);
    // the owner's handler may have shortened the series
    if (pos < series_length_from_start(series)) write_item(series, pos, value);
    series_notify(series, SeriesEvent::Poke, true, int32_t(pos), 1, value);
    *series = *value;
}

// ---- Removing --------------------------------------------------------------------------------------

void series_clear(Cell* series) {
    int32_t n = series_length_in_units(series, false);
    if (n <= 0) return;
    uint32_t head = series_index(series);
    series_notify(series, SeriesEvent::Clear, false, int32_t(head), n);
    Series* s = value_series(series);
    if (head < s->length()) s->tail = s->head + head * s->unit();
    series_notify(series, SeriesEvent::Clear, true, int32_t(head), n);
}

void series_remove(Cell* series, const Cell* part, const Cell* key) {
    int64_t n = 1;
    if (part) {
        if (part->is(T_INTEGER)) n = cell_integer(part);
        else if (same_series(part, series)) n = int64_t(series_index(part)) - int64_t(series_index(series));
        else bad_refine_arg(R::Part, part);
        if (n < 1) return;
    }
    int64_t start = series_index(series);
    if (key) {
        auto find = action_impl<A_FIND>(series->type());
        if (!find) fire_error(Err::NotDone);
        Cell* probe = stack_push(series);
        find(probe, key, FindOpts{});
        if (probe->is(T_NONE)) {
            stack_pop();
            *series = make_none();
            return;
        }
        start = series_index(probe);
        stack_pop();
        n += 1;
    }
    int64_t len = series_length_from_start(series);
    if (start >= len) return;
    int32_t count = int32_t(std::min<int64_t>(n, len - start));
    series_notify(series, SeriesEvent::Remove, false, int32_t(start), count);
    series_close_gap(value_series(series), uint32_t(start), uint32_t(count));
    series_notify(series, SeriesEvent::Remove, true, int32_t(start), count);
}

void series_take(Cell* series, const Cell* part, bool, bool last) {
    int32_t avail = series_length_in_units(series, false);
    if (avail <= 0) {
        *series = make_none();
        return;
    }
    uint32_t head = series_index(series);
    uint32_t len = series_length_from_start(series);
    int64_t count = 1;
    int64_t start;          // first unit taken
    bool before_head = false;
    if (part) {
        int64_t n;
        if (part->is(T_INTEGER)) {
            n = cell_integer(part);
        } else if (same_series(part, series)) {
            int64_t p = series_index(part);
            n = last ? int64_t(len) - std::max<int64_t>(p, head) : std::max<int64_t>(p - head, 0);
        } else {
            bad_refine_arg(R::Part, part);
        }
        if (n < 0 && !last) {
            before_head = true;
            count = std::min<int64_t>(-n, head);
        } else {
            count = std::max<int64_t>(n, 0);
        }
    }
    count = std::min<int64_t>(count, before_head ? head : avail);
    start = before_head ? int64_t(head) - count : last ? int64_t(len) - count : int64_t(head);

    // the result: a new series of the source's type and unit holding the taken units
    TypeId type = series->type();
    uint32_t word3 = type == T_VECTOR ? series->data3 : 0;
    if (count > 0) series_notify(series, SeriesEvent::Take, false, int32_t(start), int32_t(count));
    uint32_t unit = value_series(series)->unit();
    Rooted result(make_unset());
    Node node = alloc_units(uint64_t(std::max<int64_t>(count, 1)), unit);
    Series* out = node_series(node);
    out->flags = (value_series(series)->flags & ~(SER_MANAGER_BITS | SER_OWNED)) | (out->flags & SER_MANAGER_BITS);
    result.value = make_cell(type, 0, node, word3);
    if (count > 0) {
        // the owner's handler may have changed the series: take what is still there
        Series* s = value_series(series);
        uint32_t now = s->length();
        if (uint64_t(start) + uint64_t(count) > now) count = start < now ? now - start : 0;
        std::memcpy(out->data(), unit_ptr(s, uint32_t(start)), size_t(count) * unit);
        out->tail = uint32_t(count) * unit;
        series_close_gap(s, uint32_t(start), uint32_t(count));
        if (before_head) series->data1 = uint32_t(start);
        series_notify(series, SeriesEvent::Take, true, int32_t(start), int32_t(count));
    }
    *series = result.value;
}

// ---- Shuffling ---------------------------------------------------------------------------------------

void series_random(Cell* series, bool seed, bool secure, bool only) {
    if (seed) {
        Series* s = value_series(series);
        int32_t n = series_length_in_units(series, false);
        random_seed(murmur3_bytes(unit_ptr(s, series_index(series)), size_t(n) * s->unit()));
        *series = make_unset();
        return;
    }
    int32_t r = series_length_in_units(series, false);
    if (only) {
        if (r < 1) {
            *series = make_none();
            return;
        }
        uint32_t pos = series_index(series) + uint32_t(random_int(r, secure)) - 1;
        Cell item;
        series_item_at(series, pos, &item);
        *series = item;
        return;
    }
    uint32_t head = series_index(series);
    bool owned = series_owned(series);
    if (owned) series_notify(series, SeriesEvent::Random, false, int32_t(head), r);
    r = series_length_in_units(series, false);
    uint32_t unit = value_series(series)->unit();
    uint8_t tmp[16];
    for (uint32_t pos = head; r > 0; ++pos, --r) {
        int32_t k = random_int(r, secure);
        if (k == 1) continue;
        Series* s = value_series(series);
        uint8_t* a = unit_ptr(s, pos);
        uint8_t* b = unit_ptr(s, pos + uint32_t(k) - 1);
        std::memcpy(tmp, a, unit);
        std::memcpy(a, b, unit);
        std::memcpy(b, tmp, unit);
    }
    if (owned || series->is(T_HASH)) series_notify(series, SeriesEvent::Random, true, int32_t(head),
                             series_length_in_units(series, false));
}

// ---- Reordering --------------------------------------------------------------------------------------

void series_reverse(Cell* series, const Cell* part, const Cell* skip) {
    int64_t n = series_length_in_units(series, false);
    if (part) {
        int64_t p;
        if (part->is(T_INTEGER)) p = cell_integer(part);
        else if (same_series(part, series)) p = int64_t(series_index(part)) - int64_t(series_index(series));
        else bad_refine_arg(R::Part, part);
        n = std::clamp<int64_t>(p, 0, n);
    }
    int64_t rec = 1;
    if (skip) {
        if (!skip->is(T_INTEGER)) bad_refine_arg(R::Skip, skip);
        rec = cell_integer(skip);
        if (rec < 1) fire_error(Err::OutOfRange, skip);
        if (n % rec != 0) bad_refine_arg(R::Skip, skip);
    }
    if (n < 2 * rec) return;
    uint32_t head = series_index(series);
    series_notify(series, SeriesEvent::Reverse, false, int32_t(head), int32_t(n));
    Series* s = value_series(series);
    n = std::min<int64_t>(n, int64_t(s->length()) - head);
    if (n > 0) {
        uint32_t unit = s->unit();
        size_t bytes = size_t(rec) * unit;
        uint8_t* lo = unit_ptr(s, head);
        uint8_t* hi = lo + size_t(n - rec) * unit;
        uint8_t tmp[256];
        while (lo < hi) {
            for (size_t done = 0; done < bytes; done += sizeof tmp) {
                size_t k = std::min(sizeof tmp, bytes - done);
                std::memcpy(tmp, lo + done, k);
                std::memcpy(lo + done, hi + done, k);
                std::memcpy(hi + done, tmp, k);
            }
            lo += bytes;
            hi -= bytes;
        }
    }
    series_notify(series, SeriesEvent::Reverse, true, int32_t(head), int32_t(n));
}

// ---- Copying -------------------------------------------------------------------------------------------

void series_copy(Cell* series, Cell* result, const Cell* part, bool, const Cell*) {
    int64_t len = series_length_from_start(series);
    int64_t head = int32_t(series_index(series));
    int64_t start = head;
    int64_t count = head >= len ? 0 : len - head;
    if (part) {
        if (part->is(T_INTEGER)) {
            count = cell_integer(part);
        } else if (part->is(T_PAIR)) {
            int64_t x = int32_t(part->data2), y = int32_t(part->data3);
            start = x < 0 ? head + x : head + x - 1;
            if (start < 0) start = 0;
            count = y < x ? 0 : y - x;
        } else if (same_series(part, series)) {
            count = int64_t(int32_t(series_index(part))) - head;
        } else {
            bad_refine_arg(R::Part, part);
        }
        if (count < 0) {
            count = -count;
            if (start - count < 0) {
                count = head;
                start = 0;
            } else {
                start -= count;
            }
        }
    }
    start = std::clamp<int64_t>(start, 0, len);
    count = std::clamp<int64_t>(count, 0, len - start);
    TypeId type = series->type();
    uint32_t header = type | (series->header & CELL_NEWLINE);
    uint32_t word3 = type == T_VECTOR ? series->data3 : 0;
    Node source = series_node(series);
    if (result != series) init_cell(result, T_UNSET);
    Node copy = copy_series_part(source, uint64_t(start), uint64_t(count));
    *result = Cell{header, 0, copy, word3};
}

// ---- Moving ---------------------------------------------------------------------------------------------

namespace {

bool movable_target(TypeId t) {
    return is_any_block(t) || is_any_string(t) || t == T_BINARY || t == T_VECTOR || t == T_IMAGE;
}

// Moves count units from origin's head into the target's head when they use different buffers.
void move_between(Cell* origin, Cell* target, uint32_t count) {
    TypeId from = origin->type(), to = target->type();
    auto bad = [&] {
        Cell a = make_datatype(from), b = make_datatype(to);
        fire_error(Err::MoveBad, &a, &b);
    };
    // an image's pixels are not units in a series buffer (its node is the image record, none
    // for an empty image): nothing from another type moves into one
    if (is_any_block(from) != is_any_block(to) || to == T_IMAGE) bad();
    Series* src = value_series(origin);
    Series* dst = value_series(target);
    uint32_t su = src->unit(), du = dst->unit();
    if (su != du && (from == T_BINARY || to == T_BINARY || from == T_VECTOR || to == T_VECTOR)) bad();
    uint32_t pos = series_index(origin);
    series_notify(origin, SeriesEvent::Move, false, int32_t(pos), int32_t(count));
    // the handler may have changed either side
    src = value_series(origin);
    if (pos >= src->length()) return;
    count = std::min(count, src->length() - pos);
    if (series_index(target) > value_series(target)->length()) target->data1 = value_series(target)->length();
    uint32_t at = series_index(target);
    if (su != du) {
        // text of different widths: the target takes the widest code point moved
        uint32_t widest = 0;
        for (uint32_t i = 0; i < count; ++i) widest = std::max(widest, unit_get(unit_ptr(src, pos + i), su));
        dst = widen_for(value_series(target), widest);
        du = dst->unit();
    }
    dst = series_open_gap(series_node(target), at, count, true);
    src = value_series(origin);
    if (su == du) {
        std::memcpy(unit_ptr(dst, at), unit_ptr(src, pos), size_t(count) * su);
    } else {
        for (uint32_t i = 0; i < count; ++i)
            unit_put(unit_ptr(dst, at + i), du, unit_get(unit_ptr(src, pos + i), su));
    }
    series_close_gap(src, pos, count);
    if (origin->is(T_HASH)) hash_block_changed(origin, int32_t(pos), -1, -1);
    series_notify(target, SeriesEvent::Move, true, int32_t(at), int32_t(count));
}

// Moves count units from position p to destination d within one buffer.
void move_within(Cell* origin, Cell* target, uint32_t count) {
    uint32_t p = series_index(origin);
    uint32_t len = series_length_from_start(origin);
    uint32_t d = std::min(series_index(target), len);
    if (d == p) return;
    if (d > p && (d < p + count || (d != len && len - d < count))) return;
    series_notify(origin, SeriesEvent::Move, false, int32_t(p), int32_t(count));
    Series* s = value_series(origin);
    if (s->length() != len) return;   // the handler changed the series: leave it as it is now
    uint32_t unit = s->unit();
    size_t bytes = size_t(count) * unit;
    uint8_t small[256];
    uint8_t* saved = bytes <= sizeof small ? small : new uint8_t[bytes];
    std::memcpy(saved, unit_ptr(s, p), bytes);
    uint32_t placed;
    if (d > p) {
        // the units after the moved run, up to the tail or up to and including the one at d,
        // move down; the saved run follows them
        uint32_t end = d == len ? len : d + 1;
        std::memmove(unit_ptr(s, p), unit_ptr(s, p + count), size_t(end - p - count) * unit);
        placed = end - count;
    } else {
        std::memmove(unit_ptr(s, d + count), unit_ptr(s, d), size_t(p - d) * unit);
        placed = d;
    }
    std::memcpy(unit_ptr(s, placed), saved, bytes);
    if (saved != small) delete[] saved;
    series_notify(target, SeriesEvent::Move, true, int32_t(placed), int32_t(count));
}

} // namespace

void series_move(Cell* origin, Cell* target, const Cell* part) {
    if (!movable_target(target->type())) {
        Cell type = make_datatype(target->type());
        Cell arg = make_cell(T_WORD, 0, symbol_make("target"), uint32_t(-1));
        fire_error(Err::ExpectArg, runtime_word(W::Move), &type, &arg);
    }
    int64_t avail = series_length_in_units(origin, false);
    int64_t count = 1;
    if (part) {
        if (!part->is(T_INTEGER)) bad_refine_arg(R::Part, part);
        count = cell_integer(part);
    }
    if (avail > 0 && count >= 1) {
        count = std::min(count, avail);
        if (series_node(origin) == series_node(target)) move_within(origin, target, uint32_t(count));
        else move_between(origin, target, uint32_t(count));
    }
    *origin = *target;
}

// ---- Registration ------------------------------------------------------------------------------------

void series_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_RANDOM>(e, series_random);
    set_entry<A_REFLECT>(e, series_reflect);
    set_entry<A_AT>(e, series_at);
    set_entry<A_BACK>(e, series_back);
    set_entry<A_CLEAR>(e, series_clear);
    set_entry<A_COPY>(e, series_copy);
    set_entry<A_HEAD>(e, series_head);
    set_entry<A_HEAD_Q>(e, series_head_q);
    set_entry<A_INDEX_Q>(e, series_index_q);
    set_entry<A_LENGTH_Q>(e, series_length_q);
    set_entry<A_MOVE>(e, series_move);
    set_entry<A_NEXT>(e, series_next);
    set_entry<A_PICK>(e, series_pick);
    set_entry<A_POKE>(e, series_poke);
    set_entry<A_REMOVE>(e, series_remove);
    set_entry<A_REVERSE>(e, series_reverse);
    set_entry<A_SKIP>(e, series_skip);
    set_entry<A_TAIL>(e, series_tail);
    set_entry<A_TAIL_Q>(e, series_tail_q);
    set_entry<A_TAKE>(e, series_take);
    set_entry<A_MODIFY>(e, series_modify);
    register_datatype(T_SERIES, T_NONE_ID, "series!", e);
}

} // namespace kel

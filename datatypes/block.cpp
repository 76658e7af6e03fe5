// block!: the block builders and accessors, and the block actions (paren! and the path types
// inherit them).
//
// A block is a series of 16-byte cells. The builders here are what the rest of the runtime uses
// to make and fill blocks; they keep every value they copy in a Rooted cell (or on the data stack)
// while a buffer grows, so a value may come from the very block being grown. The actions follow
// the series conventions (datatypes/series.h): arguments arrive on the data stack, buffers are
// fetched again after every allocation or owner notification, and every editing action notifies
// the block's owner before and after the change.
#include "datatypes/block.h"

#include "core/cycles.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"

#include <algorithm>
#include <cstring>

namespace kel {

// ---- Accessors ----------------------------------------------------------------------------------------

Cell* block_rs_head(Cell* block) {
    Series* s = value_series(block);
    uint32_t len = s->length();
    if (series_index(block) > len) block->data1 = len;
    return s->cell_at(series_index(block));
}

Cell* block_rs_tail(const Cell* block) { return value_series(block)->cell_tail(); }

int32_t block_rs_length(const Cell* block) {
    uint32_t len = value_series(block)->length();
    uint32_t head = series_index(block);
    return head >= len ? 0 : int32_t(len - head);
}

bool block_rs_tail_q(Cell* block) { return series_rs_tail_q(block); }

void block_rs_clear(Cell* block) {
    Series* s = value_series(block);
    if (series_index(block) < s->length()) s->tail = s->head + series_index(block) * 16;
}

// ---- Builders ------------------------------------------------------------------------------------------

Cell* block_make_at(Cell* cell, int32_t room) {
    init_cell(cell, T_UNSET);
    Node node = alloc_cells(uint64_t(std::max(room, 1)));
    init_cell(cell, T_BLOCK, 0, node, 0);
    return cell;
}

Cell* block_make_in(Cell* parent, int32_t room) {
    Rooted holder(parent ? *parent : make_series(T_BLOCK, g_root_block));
    Node parent_node = series_node(&holder.value);
    reserve_cell(parent_node);   // reads unset until the new block stands
    Node node = alloc_cells(uint64_t(std::max(room, 1)));
    Cell* cell = node_series(parent_node)->cell_tail() - 1;
    init_cell(cell, T_BLOCK, 0, node, 0);
    return cell;
}

Cell* block_push_only(int32_t room) {
    Cell* slot = stack_push(make_unset());
    return block_make_at(slot, room);
}

Cell* block_append_value(Cell* block, const Cell* value) {
    return block_append(series_node(block), *value);
}

void block_append_block(Cell* target, const Cell* source) {
    Rooted src(*source);
    Node node = series_node(target);
    uint32_t n = uint32_t(block_rs_length(&src.value));
    if (n == 0) return;
    Series* s = series_reserve(node, n, true);
    Series* from = value_series(&src.value);
    // from and s may be the same buffer: the source cells lie before the old tail
    std::memcpy(s->cell_tail(), from->cell_at(series_index(&src.value)), size_t(n) * 16);
    s->tail += n * 16;
}

Cell* block_insert_value(Cell* block, const Cell* value, bool advance, bool at_start) {
    Rooted v(*value);
    if (series_index(block) > value_series(block)->length()) block->data1 = value_series(block)->length();
    uint32_t pos = at_start ? 0 : series_index(block);
    Series* s = series_open_gap(series_node(block), pos, 1, true);
    Cell* c = s->cell_at(pos);
    *c = v.value;
    if (advance) block->data1 = pos + 1;
    return c;
}

void block_insert_block(Cell* target, const Cell* source) {
    Rooted src(*source);
    if (series_index(target) > value_series(target)->length()) target->data1 = value_series(target)->length();
    uint32_t n = uint32_t(block_rs_length(&src.value));
    if (n == 0) return;
    uint32_t pos = series_index(target);
    bool same = series_node(&src.value) == series_node(target);
    uint32_t from = series_index(&src.value);
    Series* s = series_open_gap(series_node(target), pos, n, true);
    if (same && from >= pos) from += n;   // the source's cells moved up with the gap
    if (same && from < pos && from + n > pos) {
        // the source straddles the gap: its cells now lie on both sides of it
        uint32_t before = pos - from;
        std::memmove(s->cell_at(pos), s->cell_at(from), size_t(before) * 16);
        std::memmove(s->cell_at(pos + before), s->cell_at(pos + n), size_t(n - before) * 16);
    } else {
        std::memmove(s->cell_at(pos), value_series(&src.value)->cell_at(from), size_t(n) * 16);
    }
    target->data1 = pos + n;
}

namespace {

bool clone_nested(TypeId t, bool any_block) {
    return t == T_BLOCK || (any_block && (t == T_PAREN || is_any_path(t)));
}

} // namespace

Cell* block_clone(const Cell* source, bool deep, bool any_block) {
    Cell* result = stack_push(make_unset());
    Cell* src = stack_push(source);
    uint32_t n = uint32_t(block_rs_length(src));
    Node node = alloc_cells(std::max<uint32_t>(n, 1));
    Series* to = node_series(node);
    std::memcpy(to->data(), value_series(src)->cell_at(series_index(src)), size_t(n) * 16);
    to->tail = n * 16;
    init_cell(result, src->type(), 0, node, 0);
    if (deep) {
        cycles_push(series_node(src));
        for (uint32_t i = 0; i < n; ++i) {
            Cell* item = node_series(node)->cell_at(i);
            if (!clone_nested(item->type(), any_block)) continue;
            if (cycles_find(series_node(item))) {
                cycles_reset();
                fire_error(Err::NoCycle);
            }
            uint32_t keep = item->header & CELL_NEWLINE;
            Cell* copy = block_clone(item, true, any_block);
            copy->header |= keep;
            *node_series(node)->cell_at(i) = *copy;
            stack_pop();
        }
        cycles_pop();
    }
    stack_pop();   // src
    return result;
}

const Cell* block_select_word(const Cell* block, uint32_t symbol, bool exact) {
    Series* s = value_series(block);
    uint32_t len = s->length();
    uint32_t want = exact ? symbol : symbol_resolve(symbol);
    for (uint32_t i = series_index(block); i < len; ++i) {
        const Cell* c = s->cell_at(i);
        TypeId t = c->type();
        if (t != T_WORD && t != T_SET_WORD && t != T_LIT_WORD && t != T_GET_WORD) continue;
        uint32_t sym = exact ? c->data2 : symbol_resolve(c->data2);
        if (sym == want) return i + 1 < len ? s->cell_at(i + 1) : &g_none_cell;
    }
    return &g_none_cell;
}

const Cell* block_select_value(const Cell* block, const Cell* value) {
    FindOpts opts;
    opts.only = true;
    uint32_t covered;
    int64_t i = block_find_index(block, value, opts, &covered);
    Series* s = value_series(block);
    if (i < 0 || uint64_t(i) + 1 >= s->length()) return &g_none_cell;
    return s->cell_at(uint32_t(i) + 1);
}

// ---- Searching ---------------------------------------------------------------------------------------

namespace {

Cell refinement_word(const char* name) {
    return make_cell(T_REFINEMENT, 0, symbol_make(name), uint32_t(-1));
}

[[noreturn]] void bad_refine_arg(const char* refinement, const Cell* value) {
    Rooted v(*value);
    Cell w = refinement_word(refinement);
    fire_error(Err::InvalidRefineArg, &w, &v.value);
}

bool typeset_has(const Cell* ts, TypeId t) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&ts->data1);
    return (bytes[t >> 3] & (0x80 >> (t & 7))) != 0;
}

// How find matches: cells of a datatype, of a typeset, a sequence of cells, or one value.
enum class Match : uint8_t { Type, Typeset, Sequence, Value };

} // namespace

// The order of two elements (-1, 0, 1, or CMP_NOT_COMPARABLE): logic! by value, the function
// types by identity, every other type through its own compare.
int32_t block_element_compare(const Cell* a, const Cell* b, int32_t op) {
    TypeId t = a->type();
    if (t == T_LOGIC && b->is(T_LOGIC)) return int32_t(a->data1 != 0) - int32_t(b->data1 != 0);
    if (is_any_function(t)) {
        if (b->type() != t) return CMP_NOT_COMPARABLE;
        return (a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3) ? 0 : 1;
    }
    auto cmp = action_impl<A_COMPARE>(t);
    if (!cmp) return CMP_NOT_COMPARABLE;
    int32_t r = cmp(a, b, op);
    if (r == CMP_NOT_COMPARABLE) return r;
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

int64_t block_find_index(const Cell* block, const Cell* value, const FindOpts& o,
                         uint32_t* match_length) {
    *match_length = 1;
    Series* s = value_series(block);
    int64_t len = s->length();
    int64_t head = series_index(block);
    if (len == 0 || (head >= len && !o.reverse)) return -1;
    int64_t step = 1;
    if (o.skip) {
        if (!o.skip->is(T_INTEGER)) bad_refine_arg("skip", o.skip);
        step = cell_integer(o.skip);
        if (step < 1) fire_error(Err::OutOfRange, o.skip);
    }
    int64_t limit = len - 1;   // the last cell examined
    if (o.part) {
        if (o.part->is(T_INTEGER)) {
            if (cell_integer(o.part) < 1) return -1;
            limit = head + cell_integer(o.part) - 1;
        } else if (o.part->type() == block->type() && series_node(o.part) == series_node(block)) {
            limit = series_index(o.part);
        } else {
            bad_refine_arg("part", o.part);
        }
        limit = std::min(limit, len - 1);
    }
    TypeId vt = value->type();
    Match mode = Match::Value;
    int64_t count = 1;   // cells a match covers
    if (!o.only && vt == T_DATATYPE) mode = Match::Type;
    else if (!o.only && vt == T_TYPESET) mode = Match::Typeset;
    else if (!o.only && is_any_block(vt)) {
        mode = Match::Sequence;
        count = block_rs_length(value);
        if (count == 0) return -1;
    }
    int32_t op = o.same ? CMP_SAME : o.case_ ? CMP_STRICT_EQUAL : CMP_SEARCH;

    int64_t start, stop;
    if (o.last) {
        start = std::min(limit, len - count);
        stop = head;
        step = -step;
    } else if (o.reverse) {
        start = std::min(head, len) - count;
        if (o.part) start = std::min(start, limit);
        stop = 0;
        step = -step;
    } else {
        start = head;
        stop = std::min(limit, len - count);
    }
    const Cell* seq = mode == Match::Sequence ? value_series(value)->cell_at(series_index(value)) : nullptr;
    for (int64_t p = start; step > 0 ? p <= stop : p >= stop; p += step) {
        if (p < 0) break;
        const Cell* c = s->cell_at(uint32_t(p));
        bool hit;
        switch (mode) {
        case Match::Type: hit = c->type() == TypeId(value->data1); break;
        case Match::Typeset: hit = typeset_has(value, c->type()); break;
        case Match::Sequence:
            hit = true;
            for (int64_t k = 0; k < count && hit; ++k) hit = block_element_compare(c + k, seq + k, op) == 0;
            break;
        default: hit = block_element_compare(c, value, op) == 0; break;
        }
        if (hit) {
            *match_length = uint32_t(count);
            return p;
        }
        if (o.match) break;
    }
    return -1;
}

void block_find(Cell* series, const Cell* value, const FindOpts& opts) {
    uint32_t covered;
    int64_t i = block_find_index(series, value, opts, &covered);
    if (i < 0) {
        *series = make_none();
        return;
    }
    series->data1 = uint32_t(opts.tail ? i + covered : i);
}

void block_select(Cell* series, const Cell* value, const FindOpts& opts) {
    uint32_t covered;
    int64_t i = block_find_index(series, value, opts, &covered);
    Series* s = value_series(series);
    if (i < 0 || uint64_t(i) + covered >= s->length()) {
        *series = make_none();
        return;
    }
    *series = *s->cell_at(uint32_t(i + covered));
}

} // namespace kel

namespace kel {

void block_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_FIND>(e, block_find);
    set_entry<A_SELECT>(e, block_select);
    register_datatype(T_BLOCK, T_SERIES, "block!", e);
}

} // namespace kel

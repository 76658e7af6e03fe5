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
#include "core/hash.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/words.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"
#include "datatypes/hash.h"
#include "datatypes/vector.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer.h"
#include "core/sort.h"

#include <algorithm>
#include <cstring>
#include <vector>

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

[[noreturn]] void bad_refine_arg(R refinement, const Cell* value) {
    fire_error(Err::InvalidRefineArg, runtime_refinement(refinement), value);
}

bool typeset_has(const Cell* ts, TypeId t) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&ts->data1);
    return (bytes[t >> 3] & (0x80 >> (t & 7))) != 0;
}

// How find matches: cells of a datatype, of a typeset, a sequence of cells, or one value.
enum class Match : uint8_t { Type, Typeset, Sequence, Value };

} // namespace

int64_t block_find_index(const Cell* block, const Cell* value, const FindOpts& o,
                         uint32_t* match_length) {
    *match_length = 1;
    Series* s = value_series(block);
    int64_t len = s->length();
    int64_t head = series_index(block);
    if (len == 0 || (head >= len && !o.reverse)) return -1;
    int64_t step = 1;
    if (o.skip) {
        if (!o.skip->is(T_INTEGER)) bad_refine_arg(R::Skip, o.skip);
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
            bad_refine_arg(R::Part, o.part);
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

    // a hash! looks a single value up in its table; a part limit that could hide the match the
    // table gives (backward searches) leaves it to the scan
    bool hashed_search = mode == Match::Value && !o.match && (vt != T_OBJECT || o.same) &&
                         (!o.part || (!o.last && !o.reverse));
    if (hashed_search) {
        if (Node table = hash_table_of(block)) {
            Cell key = *value;
            const Cell* hit = hashtable_find(table, &key, int32_t(head), int32_t(step), op, o.last, o.reverse);
            if (!hit) return -1;
            int64_t p = hit - value_series(block)->cells();
            return p > limit ? -1 : p;
        }
    }

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
            for (int64_t k = 0; k < count && hit; ++k) hit = compare_values(c + k, seq + k, op) == 0;
            break;
        default: hit = compare_values(c, value, op) == 0; break;
        }
        if (hit) {
            *match_length = uint32_t(count);
            return p;
        }
        if (o.match) break;
    }
    return -1;
}

int32_t block_remove_value(Cell* block, const Cell* value, bool from_start) {
    Cell probe = *block;
    if (from_start) probe.data1 = 0;
    FindOpts opts;
    opts.only = true;
    uint32_t covered;
    int64_t i = block_find_index(&probe, value, opts, &covered);
    if (i < 0) return 0;
    series_notify(block, SeriesEvent::Remove, false, int32_t(i), 1);
    series_close_gap(value_series(block), uint32_t(i), 1);
    series_notify(block, SeriesEvent::Remove, true, int32_t(i), 1);
    return uint32_t(i) <= series_index(block) ? 1 : 0;
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


// ---- Actions -------------------------------------------------------------------------------------------

namespace kel {

namespace {

// Restores the cycle-detection stack to its depth at construction when a walk is left early by an
// error; a walk that ends normally pops its own entries.
struct CycleScope {
    uint32_t depth = cycles_depth();
    ~CycleScope() {
        if (cycles_depth() > depth) cycles_drop(cycles_depth() - depth);
    }
};

// Appends ASCII text to a string buffer and answers its length.
int32_t emit(Cell* buffer, const char* text) {
    string_concatenate_literal(buffer, text);
    return int32_t(std::strlen(text));
}
void emit_char(Cell* buffer, uint32_t cp) { string_append_char(value_series(buffer), cp); }
int32_t emit_indent(Cell* buffer, int32_t indent) {
    for (int32_t i = 0; i < indent; ++i) string_concatenate_literal(buffer, "    ");
    return indent * 4;
}
uint32_t last_char(const Cell* buffer) {
    Series* s = value_series(buffer);
    if (s->used() == 0) return 0;
    return unit_get(s->tail_ptr() - s->unit(), s->unit());
}

// Clips a head index beyond the tail to the tail.
inline void clip_head(Cell* block) {
    uint32_t len = value_series(block)->length();
    if (series_index(block) > len) block->data1 = len;
}

// count × dup cells more in a block: beyond the 32-bit series limit is no-memory.
uint64_t checked_total(const Cell* block, uint64_t count, int32_t dup) {
    uint64_t total = count * uint64_t(std::max(dup, 1));
    if (total > 0xFFFFFFFFull / 16 ||
        uint64_t(value_series(block)->used()) + total * 16 + SERIES_OVERHEAD > 0xFFFFFFFFull)
        fire_error(Err::NoMemory);
    return total;
}

// Copies count cells from the source (index src of its buffer, measured before the gap of `gap`
// cells was opened at pos in the target) to position at of the target's buffer.
void fill_from(Series* dst, uint32_t at, const Cell* source, uint32_t src, uint32_t count, bool same,
               uint32_t pos, uint32_t gap) {
    if (!same) {
        std::memcpy(dst->cell_at(at), value_series(source)->cell_at(src), size_t(count) * 16);
        return;
    }
    for (uint32_t j = 0; j < count; ++j) {
        uint32_t k = src + j;
        *dst->cell_at(at + j) = *dst->cell_at(k >= pos ? k + gap : k);
    }
}

// Repeats the run of `run` cells at pos until `total` cells stand, doubling each time.
void repeat_run(Series* s, uint32_t pos, uint32_t run, uint32_t total) {
    uint32_t done = run;
    while (done < total && run > 0) {
        uint32_t n = std::min(done, total - done);
        std::memcpy(s->cell_at(pos + done), s->cell_at(pos), size_t(n) * 16);
        done += n;
    }
}

void deep_copy_item(Cell* item, const Cell* types) {
    auto copy = action_impl<A_COPY>(item->type());
    if (copy) copy(item, item, nullptr, true, types);
}

bool deep_copied_type(TypeId t) { return is_series_type(t); }

} // namespace

// ---- make and to -----------------------------------------------------------------------------------------

namespace {

// The body of an object or map (as reflect body gives it), or a vector's elements, into proto.
bool container_body(Cell* proto, const Cell* spec) {
    TypeId t = spec->type();
    if (t != T_OBJECT && t != T_MAP && t != T_ERROR && t != T_PORT && t != T_VECTOR) return false;
    if (t == T_VECTOR) {
        vector_to_block(spec, proto);
        return true;
    }
    auto reflect = action_impl<A_REFLECT>(t);
    if (!reflect) fire_error(Err::NotDone);
    Cell* v = stack_push(spec);
    reflect(v, sym(Sym::Body));
    *proto = *v;
    stack_pop();
    return true;
}

// Scans a string! into a block of values.
void block_load_string(Cell* proto, const Cell* spec) {
    Cell* text = stack_push(spec);
    Cell* out = stack_push(make_unset());
    lexer_load_string(out, text, -1, LexerCall{});
    *proto = *out;
    stack_pop(2);
}

void block_from_typeset(Cell* proto, const Cell* spec) {
    Cell* ts = stack_push(spec);
    Cell* out = block_push_only(8);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&ts->data1);
    for (int32_t t = 1; t <= g_highest_type && t < 96; ++t) {
        if (!(bytes[t >> 3] & (0x80 >> (t & 7)))) continue;
        Cell d = make_datatype(TypeId(t));
        block_append_value(out, &d);
        bytes = reinterpret_cast<const uint8_t*>(&ts->data1);
    }
    *proto = *out;
    stack_pop(2);
}

} // namespace

void block_make(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = spec->type();
    if (is_any_block(t)) {
        *proto = *block_clone(spec, false, false);
        stack_pop();
    } else if (t == T_INTEGER || t == T_FLOAT || t == T_PERCENT) {
        int64_t room;
        if (t == T_INTEGER) {
            room = cell_integer(spec);
        } else {
            double d = spec->get_float();
            if (!(d > -2147483649.0 && d < 2147483648.0)) {
                Cell dt = make_datatype(type);
                fire_error(Err::BadMakeArg, &dt, spec);
            }
            room = int64_t(d);
        }
        block_make_at(proto, int32_t(std::max<int64_t>(room, 1)));
    } else if (!container_body(proto, spec)) {
        Cell dt = make_datatype(type);
        fire_error(Err::BadMakeArg, &dt, spec);
    }
    proto->header = type;
}

void block_to(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = spec->type();
    if (is_any_block(t)) {
        *proto = *block_clone(spec, false, false);
        stack_pop();
    } else if (t == T_TYPESET) {
        block_from_typeset(proto, spec);
    } else if (t == T_STRING) {
        block_load_string(proto, spec);
    } else if (!container_body(proto, spec)) {
        Cell* v = stack_push(spec);
        Cell* out = block_push_only(1);
        block_append_value(out, v);
        *proto = *out;
        stack_pop(2);
    }
    proto->header = type;
}

// ---- form and mold -----------------------------------------------------------------------------------------

int32_t block_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    if (cycles_find(series_node(value))) return budget - emit(buffer, "...");
    CycleScope scope;
    Cell* b = stack_push(value);
    cycles_push(series_node(b));
    bool first = true;
    for (uint32_t i = series_index(b); i < value_series(b)->length(); ++i) {
        if (part && budget < 1) break;
        if (!first) {
            uint32_t c = last_char(buffer);
            if (c != '\t' && c != '\n' && c != '\r') {
                emit_char(buffer, ' ');
                budget--;
            }
        }
        Cell* item = stack_push(value_series(b)->cell_at(i));
        budget = form_typed(item, buffer, part, budget);
        stack_pop();
        first = false;
    }
    cycles_pop();
    stack_pop();
    return budget;
}

int32_t block_mold_each(const Cell* block, Cell* buffer, bool only, bool all, bool flat, bool part,
                        int32_t budget, int32_t indent) {
    CycleScope scope;
    Cell* b = stack_push(block);
    cycles_push(series_node(b));
    bool first = true, closing = false;
    for (uint32_t i = series_index(b); i < value_series(b)->length(); ++i) {
        if (part && budget < 1) break;
        Cell* item = stack_push(value_series(b)->cell_at(i));
        if (!flat && (item->header & CELL_NEWLINE)) {
            if (!only && first) {
                indent++;
                closing = true;
            }
            if (!(only && first)) {
                emit_char(buffer, '\n');
                budget--;
            }
            budget -= emit_indent(buffer, indent);
        } else if (!first) {
            emit_char(buffer, ' ');
            budget--;
        }
        budget = mold_typed(item, buffer, false, all, flat, part, budget, indent);
        stack_pop();
        first = false;
    }
    cycles_pop();
    if (closing) {
        emit_char(buffer, '\n');
        indent--;
        budget -= 1 + emit_indent(buffer, indent);
    }
    stack_pop();
    return budget;
}

int32_t block_mold_delimited(const Cell* value, Cell* buffer, bool only, bool all, bool flat,
                             bool part, int32_t budget, int32_t indent, const char* open,
                             const char* close, const char* marker) {
    if (cycles_find(series_node(value))) return budget - emit(buffer, marker);
    Cell* v = stack_push(value);
    if (!only) budget -= emit(buffer, open);
    budget = block_mold_each(v, buffer, only, all, flat, part, budget, indent);
    if (!only) budget -= emit(buffer, close);
    stack_pop();
    return budget;
}

int32_t block_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                   int32_t budget, int32_t indent) {
    return block_mold_delimited(value, buffer, only, all, flat, part, budget, indent, "[", "]", "[...]");
}

// ---- compare -------------------------------------------------------------------------------------------------

int32_t block_compare(const Cell* a, const Cell* b, int32_t op) {
    TypeId ta = a->type(), tb = b->type();
    if (ta != tb) {
        bool paths = (op == CMP_FIND || op == CMP_STRICT_WORD) && (ta == T_PATH || ta == T_LIT_PATH) &&
                     (tb == T_PATH || tb == T_LIT_PATH);
        if (!paths) return CMP_NOT_COMPARABLE;
    }
    Node na = series_node(a), nb = series_node(b);
    if (op == CMP_SAME) return (na == nb && series_index(a) == series_index(b)) ? 0 : -1;
    if (na == nb && series_index(a) == series_index(b)) return 0;
    if (cycles_find(na)) return cycles_find(nb) ? 0 : -1;
    int32_t la = block_rs_length(a), lb = block_rs_length(b);
    bool equality = op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL ||
                    op == CMP_FIND || op == CMP_STRICT_WORD || op == CMP_SEARCH;
    if (la != lb && equality) return 1;
    CycleScope scope;
    cycles_push(na);
    cycles_push(nb);
    int32_t n = std::min(la, lb);
    int32_t result = 0;
    for (int32_t i = 0; i < n && result == 0; ++i) {
        // copies: an element's compare may allocate and move the buffers
        Cell x = *value_series(a)->cell_at(series_index(a) + uint32_t(i));
        Cell y = *value_series(b)->cell_at(series_index(b) + uint32_t(i));
        TypeId tx = x.type(), ty = y.type();
        if (tx == ty || (is_any_word(tx) && is_any_word(ty)) || (is_number_type(tx) && is_number_type(ty)))
            result = compare_values(&x, &y, op);
        else
            result = tx < ty ? -1 : 1;
    }
    cycles_drop(2);
    if (result != 0) return result;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

// ---- Editing ---------------------------------------------------------------------------------------------

void block_insert(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    Cell* v = stack_push(value);
    bool spread = is_any_block(v->type()) && !only;
    uint64_t count = spread ? uint64_t(block_rs_length(v)) : 1;
    if (spread && count == 0) {
        stack_pop();
        return;
    }
    if (part >= 0 && uint64_t(part) < count) count = uint64_t(part);
    clip_head(series);
    uint64_t total = checked_total(series, count, dup);
    uint32_t len = value_series(series)->length();
    uint32_t pos = append ? len : series_index(series);
    SeriesEvent event = append ? SeriesEvent::Append : SeriesEvent::Insert;
    series_notify(series, event, false, int32_t(pos), int32_t(total), v);
    // the owner's handler may have changed the block
    clip_head(series);
    len = value_series(series)->length();
    pos = append ? len : series_index(series);
    if (total > 0) {
        bool same = spread && series_node(v) == series_node(series);
        uint32_t src = spread ? series_index(v) : 0;
        if (spread) count = std::min<uint64_t>(count, uint64_t(block_rs_length(v)));
        Series* s = series_open_gap(series_node(series), pos, uint32_t(total), dup < 5);
        if (spread) {
            fill_from(s, pos, v, src, uint32_t(count), same, pos, uint32_t(total));
        } else {
            *s->cell_at(pos) = *v;
        }
        repeat_run(s, pos, uint32_t(count), uint32_t(total));
    }
    series_notify(series, append ? SeriesEvent::Append : SeriesEvent::Insert, true, int32_t(pos),
                  int32_t(total), v);
    if (append) {
        series->data1 = 0;
    } else {
        series->data1 = std::min<uint32_t>(pos + uint32_t(total), value_series(series)->length());
    }
    stack_pop();
}

void block_change(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup) {
    Cell* v = stack_push(value);
    clip_head(series);
    bool spread = is_any_block(v->type()) && !only;
    uint64_t count = spread ? uint64_t(block_rs_length(v)) : 1;
    uint64_t total = checked_total(series, count, dup);
    uint32_t head = series_index(series);
    series_notify(series, SeriesEvent::Change, false, int32_t(head), int32_t(total), v);
    clip_head(series);
    head = series_index(series);
    uint32_t avail = value_series(series)->length() - head;
    uint32_t replaced = part >= 0 ? std::min<uint32_t>(uint32_t(part), avail)
                                  : uint32_t(std::min<uint64_t>(total, avail));
    // the new cells, taken aside when they lie in the block being changed
    std::vector<Cell> aside;
    bool same = spread && series_node(v) == series_node(series);
    if (spread) count = std::min<uint64_t>(count, uint64_t(block_rs_length(v)));
    if (same) {
        Series* s = value_series(v);
        aside.assign(s->cell_at(series_index(v)), s->cell_at(series_index(v)) + count);
    }
    total = count * uint64_t(std::max(dup, 1));
    Node node = series_node(series);
    if (total > replaced) series_open_gap(node, head + replaced, uint32_t(total - replaced), dup < 5);
    else if (total < replaced) series_close_gap(node_series(node), head + uint32_t(total), replaced - uint32_t(total));
    Series* s = node_series(node);
    if (count > 0) {
        if (same) std::memcpy(s->cell_at(head), aside.data(), size_t(count) * 16);
        else if (spread) std::memcpy(s->cell_at(head), value_series(v)->cell_at(series_index(v)), size_t(count) * 16);
        else *s->cell_at(head) = *v;
        repeat_run(s, head, uint32_t(count), uint32_t(total));
    }
    series_notify(series, SeriesEvent::Change, true, int32_t(head), int32_t(total), v);
    series->data1 = std::min<uint32_t>(head + uint32_t(total), value_series(series)->length());
    stack_pop();
}

void block_put(Cell* series, const Cell* key, const Cell* value, bool case_) {
    Cell* k = stack_push(key);
    Cell* v = stack_push(value);
    FindOpts opts;
    opts.case_ = case_;
    uint32_t covered;
    int64_t i = block_find_index(series, k, opts, &covered);
    if (i < 0) {
        uint32_t len = value_series(series)->length();
        series_notify(series, SeriesEvent::Put, false, int32_t(len), 2, v);
        block_append_value(series, k);
        block_append_value(series, v);
        series_notify(series, SeriesEvent::Put, true, int32_t(len), 2, v);
    } else {
        uint32_t at = uint32_t(i) + covered;
        Series* s = value_series(series);
        if (at >= s->length() || compare_values(s->cell_at(at), v, CMP_SEARCH) != 0) {
            series_notify(series, SeriesEvent::Put, false, int32_t(at), 1, v);
            s = value_series(series);
            if (at >= s->length()) block_append_value(series, v);
            else *s->cell_at(at) = *v;
            series_notify(series, SeriesEvent::Put, true, int32_t(at), 1, v);
        }
    }
    *series = *v;
    stack_pop(2);
}

void block_swap(Cell* a, Cell* b) {
    if (!is_any_block(b->type())) fire_error(Err::InvalidArg, b);
    if (block_rs_length(a) > 0 && block_rs_length(b) > 0) {
        uint32_t ia = series_index(a), ib = series_index(b);
        series_notify(a, SeriesEvent::Swap, false, int32_t(ia), 1);
        series_notify(b, SeriesEvent::Swap, false, int32_t(ib), 1);
        if (block_rs_length(a) > 0 && block_rs_length(b) > 0) {
            Cell* x = value_series(a)->cell_at(series_index(a));
            Cell* y = value_series(b)->cell_at(series_index(b));
            std::swap(*x, *y);
        }
        series_notify(a, SeriesEvent::Swap, true, int32_t(ia), 1);
        series_notify(b, SeriesEvent::Swap, true, int32_t(ib), 1);
    }
}

void block_take(Cell* series, const Cell* part, bool deep, bool last) {
    series_take(series, part, deep, last);
    if (series->is(T_NONE)) return;
    if (deep) {
        uint32_t n = value_series(series)->length();
        for (uint32_t i = 0; i < n; ++i) {
            if (!deep_copied_type(value_series(series)->cell_at(i)->type())) continue;
            Cell* item = stack_push(value_series(series)->cell_at(i));
            deep_copy_item(item, nullptr);
            *value_series(series)->cell_at(i) = *item;
            stack_pop();
        }
    }
    if (!part && value_series(series)->length() == 1) *series = *value_series(series)->cell_at(0);
}

void block_trim(Cell* series, const TrimOpts&) {
    clip_head(series);
    uint32_t head = series_index(series);
    uint32_t len = value_series(series)->length();
    int32_t n = int32_t(len - head);
    series_notify(series, SeriesEvent::Trim, false, int32_t(head), n);
    Series* s = value_series(series);
    len = s->length();
    uint32_t out = std::min(head, len);
    for (uint32_t i = out; i < len; ++i) {
        if (s->cell_at(i)->is(T_NONE)) continue;
        if (out != i) *s->cell_at(out) = *s->cell_at(i);
        out++;
    }
    s->tail = s->head + out * 16;
    series_notify(series, SeriesEvent::Trim, true, int32_t(head), n);
}

void block_copy_nested(Cell* block, uint32_t first, uint32_t end, uint32_t step, bool deep,
                       const Cell* types) {
    for (uint32_t i = first; i < end && i < value_series(block)->length(); i += step) {
        Cell* c = value_series(block)->cell_at(i);
        TypeId t = c->type();
        bool wanted = types->is(T_DATATYPE) ? TypeId(types->data1) == t : typeset_has(types, t);
        if (!wanted) continue;
        if (!(is_series_type(t) || t == T_BITSET || t == T_OBJECT || t == T_ERROR || t == T_MAP)) continue;
        Cell* item = stack_push(c);
        deep_copy_item(item, deep ? types : nullptr);
        *value_series(block)->cell_at(i) = *item;
        stack_pop();
    }
}

void block_copy(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types) {
    Cell* src = stack_push(series);
    series_copy(series, result, part, deep, types);
    if (deep || types) {
        if (result->is(T_HASH)) set_cell_type(result, T_BLOCK);
        if (deep) {
            if (cycles_find(series_node(src))) {
                cycles_reset();
                fire_error(Err::NoCycle);
            }
            cycles_push(series_node(src));
        }
        CycleScope scope;
        Cell* out = stack_push(result);
        if (!types) {
            for (uint32_t i = 0; i < value_series(out)->length(); ++i) {
                if (!deep_copied_type(value_series(out)->cell_at(i)->type())) continue;
                Cell* item = stack_push(value_series(out)->cell_at(i));
                deep_copy_item(item, nullptr);
                *value_series(out)->cell_at(i) = *item;
                stack_pop();
            }
        } else {
            block_copy_nested(out, 0, value_series(out)->length(), 1, deep, types);
        }
        *result = *out;
        stack_pop();
        if (deep) cycles_pop();
    }
    stack_pop();
}

// ---- Path access ------------------------------------------------------------------------------------------

void block_eval_path(Cell* parent, const PathStep& step) {
    const Cell* element = step.element;
    if (element->is(T_INTEGER)) {
        if (step.value) {
            Cell* v = stack_push(step.value);
            series_poke(parent, cell_integer(element), v);
            *parent = *v;
            stack_pop();
        } else {
            auto pick = action_impl<A_PICK>(parent->type());
            pick(parent, cell_integer(element), element);
        }
        return;
    }
    if (!step.value) {
        if (element->is(T_WORD) && !parent->is(T_HASH)) {
            *parent = *block_select_word(parent, element->data2, step.case_);
        } else {
            FindOpts opts;
            opts.only = true;
            opts.case_ = step.case_;
            auto select = action_impl<A_SELECT>(parent->type());
            select(parent, element, opts);
        }
        return;
    }
    Cell* v = stack_push(step.value);
    FindOpts opts;
    opts.case_ = step.case_;
    uint32_t covered;
    int64_t i = block_find_index(parent, element, opts, &covered);
    if (i < 0) {
        Cell path = step.path ? *step.path : make_none();
        fire_error(Err::BadPathSet, &path, element);
    }
    Cell at = *parent;
    at.data1 = uint32_t(i);
    Cell* found = stack_push(at);
    series_poke(found, 2, v);
    *parent = *v;
    stack_pop(2);
}

// ---- Registration ------------------------------------------------------------------------------------

void block_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_MAKE>(e, block_make);
    set_entry<A_TO>(e, block_to);
    set_entry<A_FORM>(e, block_form);
    set_entry<A_MOLD>(e, block_mold);
    set_entry<A_EVAL_PATH>(e, block_eval_path);
    set_entry<A_COMPARE>(e, block_compare);
    set_entry<A_APPEND>(e, block_insert);
    set_entry<A_INSERT>(e, block_insert);
    set_entry<A_CHANGE>(e, block_change);
    set_entry<A_COPY>(e, block_copy);
    set_entry<A_FIND>(e, block_find);
    set_entry<A_PUT>(e, block_put);
    set_entry<A_SELECT>(e, block_select);
    set_entry<A_SORT>(e, block_sort);
    set_entry<A_SWAP>(e, block_swap);
    set_entry<A_TAKE>(e, block_take);
    set_entry<A_TRIM>(e, block_trim);
    register_datatype(T_BLOCK, T_SERIES, "block!", e);
}

} // namespace kel

// ---- sort ---------------------------------------------------------------------------------------------------

namespace kel {

namespace {

constexpr intptr_t SORT_REVERSE = 1;   // flag bit 0: the records change places first
constexpr intptr_t SORT_WHOLE = 2;     // flag bit 1: whole records, (flags >> 2) cells each
// bits 2 and up: the record size (SORT_WHOLE) or the offset of the cell compared

int block_sort_compare(const void* x, const void* y, intptr_t op, intptr_t flags) {
    const Cell* a = static_cast<const Cell*>(x);
    const Cell* b = static_cast<const Cell*>(y);
    if (flags & SORT_REVERSE) std::swap(a, b);
    uint32_t cells = 1;
    if (flags & SORT_WHOLE) {
        cells = uint32_t(flags >> 2);
    } else {
        a += flags >> 2;
        b += flags >> 2;
    }
    for (uint32_t i = 0; i < cells; ++i) {
        auto cmp = action_impl<A_COMPARE>(a[i].type());
        int32_t r = cmp ? cmp(&a[i], &b[i], int32_t(op)) : CMP_NOT_COMPARABLE;
        if (r == CMP_NOT_COMPARABLE) r = int32_t(a[i].type()) - int32_t(b[i].type());
        if (r != 0) return r;
    }
    return 0;
}

struct FunctionCompare {
    Rooted* fn;
    uint32_t cells;   // cells per record handed to the function (0: the first cell only)
    bool reverse;
    Rooted* records;  // with cells: two blocks that carry the records, refilled for each call
    Rooted* series;   // the series sorted, and the cells it must keep from its index
    uint32_t cells_needed;
};

// Calls the user's function with the two records (their first cells, or blocks holding the whole
// records) and turns its answer into an order.
int block_sort_call_compare(const void* x, const void* y, intptr_t ctx, intptr_t) {
    const FunctionCompare& k = *reinterpret_cast<const FunctionCompare*>(ctx);
    const Cell* a = static_cast<const Cell*>(x);
    const Cell* b = static_cast<const Cell*>(y);
    Cell* saved_top = g_stack.top;
    // the records are copies the sort keeps aside: put them where the collector sees them
    const Cell* first = k.reverse ? a : b;
    const Cell* second = k.reverse ? b : a;
    uint32_t n = std::max<uint32_t>(k.cells, 1);
    Cell* recs = g_stack.top;
    for (uint32_t i = 0; i < n; ++i) stack_push(first + i);
    for (uint32_t i = 0; i < n; ++i) stack_push(second + i);
    Cell* args = g_stack.top;
    if (k.cells) {
        for (int r = 0; r < 2; ++r) {
            Cell* block = stack_push(k.records[r].value);
            Series* s = value_series(block);
            s->tail = s->head;
            s = series_reserve(series_node(block), n, false);
            std::memcpy(s->cell_tail(), recs + r * n, size_t(n) * 16);
            s->tail += n * 16;
            block->data1 = 0;
        }
    }
    // single cells go to the function as they lie on the stack
    call_with_args(k.fn->get(), k.cells ? args : recs, 2);
    Cell answer = *stack_top();
    g_stack.top = saved_top;
    // a function that took cells away leaves records the sort can no longer reach
    if (value_series(k.series->get())->length() < k.cells_needed) {
        Cell have = make_integer(int32_t(value_series(k.series->get())->length()));
        fire_error(Err::OutOfRange, &have);
    }
    switch (answer.type()) {
    case T_LOGIC: return answer.data1 ? 1 : -1;
    case T_INTEGER: return cell_integer(&answer);
    case T_FLOAT: {
        double d = answer.get_float();
        return d > 0 ? 1 : d < 0 ? -1 : 0;
    }
    default: return -1;
    }
}

} // namespace

void block_sort(Cell* series, const SortOpts& o) {
    clip_head(series);
    int64_t head = series_index(series);
    int64_t n = block_rs_length(series);
    if (n <= 0 && !o.part) return;
    if (o.part) {
        int64_t count;
        if (o.part->is(T_INTEGER)) count = cell_integer(o.part);
        else if (o.part->type() == series->type() && series_node(o.part) == series_node(series))
            count = int64_t(series_index(o.part)) - head;
        else bad_refine_arg(R::Part, o.part);
        if (count < 0) {
            head += count;
            if (head < 0) {
                series->data1 = 0;
                return;
            }
            series->data1 = uint32_t(head);
            n = -count;
        } else if (count < n) {
            n = count;
        }
    }
    if (n <= 0) return;
    int64_t skip = 1;
    if (o.skip) {
        if (!o.skip->is(T_INTEGER)) bad_refine_arg(R::Skip, o.skip);
        skip = cell_integer(o.skip);
        if (skip < 1 || n % skip != 0 || skip > n) bad_refine_arg(R::Skip, o.skip);
    }
    if (o.all && !o.skip) fire_error(Err::BadRefines);
    intptr_t op = o.case_ ? CMP_CASE_SORT : CMP_SORT;
    intptr_t flags = o.reverse ? SORT_REVERSE : 0;
    bool with_function = false;
    if (o.compare) {
        if (o.compare->is(T_FUNCTION)) {
            with_function = true;
        } else if (o.compare->is(T_INTEGER)) {
            if (o.all || !o.skip) fire_error(Err::BadRefines);
            int64_t k = cell_integer(o.compare);
            if (k < 1 || k > skip) fire_error(Err::OutOfRange, o.compare);
            flags |= intptr_t(k - 1) << 2;
        } else {
            bad_refine_arg(R::Compare, o.compare);
        }
    } else if (o.all && skip > 1) {
        flags |= SORT_WHOLE | (intptr_t(skip) << 2);
    }
    uint32_t records = uint32_t(n / skip);
    uint32_t size = uint32_t(skip) * 16;
    uint32_t offset = uint32_t(head) * 16;
    series_notify(series, SeriesEvent::Sort, false, int32_t(head), int32_t(n));
    if (with_function) {
        Rooted fn(*o.compare);
        uint32_t whole = (o.all && skip > 1) ? uint32_t(skip) : 0;
        // the blocks that carry whole records belong to this sort call; they are roots
        Rooted carriers[2];
        if (whole) {
            block_make_at(carriers[0].get(), int32_t(whole));
            block_make_at(carriers[1].get(), int32_t(whole));
        }
        Rooted sorted(*series);
        FunctionCompare k{&fn, whole, o.reverse, carriers, &sorted, uint32_t(head + n)};
        if (o.stable) sort_merge_series(series, offset, records, size, intptr_t(&k), 0, block_sort_call_compare);
        else sort_unstable_series(series, offset, records, size, intptr_t(&k), 0, block_sort_call_compare);
    } else {
        // the type compares do not allocate: the buffer stays where it is
        Cell* base = value_series(series)->cell_at(uint32_t(head));
        // records keyed by one integer! cell each: the same order with the comparison inlined
        if (!(flags & SORT_WHOLE)) {
            const uint32_t key = uint32_t(flags >> 2);
            uint32_t r = 0;
            while (r < records && base[size_t(r) * uint32_t(skip) + key].is(T_INTEGER)) ++r;
            if (r == records) {
                sort_integer_records(base, records, uint32_t(skip), key, o.reverse, o.stable);
                series_notify(series, SeriesEvent::Sort, true, int32_t(head), int32_t(n));
                return;
            }
        }
        if (o.stable) sort_merge(base, records, size, op, flags, block_sort_compare);
        else sort_unstable(base, records, size, op, flags, block_sort_compare);
    }
    series_notify(series, SeriesEvent::Sort, true, int32_t(head), int32_t(n));
}

} // namespace kel

// ---- Set operations ------------------------------------------------------------------------------------

namespace kel {

void block_set_operation(Cell* first, const Cell* second, int32_t op, bool case_, const Cell* skip) {
    int64_t size = 1;
    if (skip) {
        size = skip->is(T_INTEGER) ? cell_integer(skip) : 0;
        if (size < 1) bad_refine_arg(R::Skip, skip);
    }
    if (op < 8 || op > 12) fire_error(Err::InvalidArg, first);
    // the tables are held in locals while blocks grow: no collection meanwhile
    CollectorHold hold;
    Cell* a = stack_push(first);
    Cell* b = stack_push(second ? second : first);
    clip_head(a);
    clip_head(b);
    int32_t room = block_rs_length(a) + (op == 9 ? block_rs_length(b) : 0);
    Cell* result = block_push_only(std::max(room, 1));
    Node kept = hashtable_make(uint32_t(std::max(room, 1)), series_node(result), HASH_KIND_HASH, 0);
    int cmp = case_ ? CMP_STRICT_EQUAL : CMP_SEARCH;

    // Whether the key (the first cell of a record) is among the records of the block: through the
    // block's table for keys other than blocks, else by a scan.
    auto member = [&](const Cell* block, Node table, const Cell* key, int64_t record) {
        if (table && !is_any_block(key->type()))
            return hashtable_find(table, key, int32_t(series_index(block)), int32_t(record), cmp, false, false) != nullptr;
        FindOpts o;
        o.only = true;
        o.case_ = case_;
        Cell step = make_integer(int32_t(record));
        o.skip = &step;
        uint32_t covered;
        return block_find_index(block, key, o, &covered) >= 0;
    };
    // The keys of the other block's records, each once where equality is an equivalence, and each
    // value once where it is not (a table finds a key by walking every copy of it: a block of
    // repeated values made each look-up as long as the block). The keys are a block of one-cell
    // records on the data stack.
    int pushed = 3;
    auto distinct_keys = [&](const Cell* other, Node* table) {
        uint32_t n = uint32_t(std::max(block_rs_length(other), 1));
        Cell* keys = block_push_only(int32_t(n));
        *table = hashtable_make(n, series_node(keys), HASH_KIND_HASH, 0);
        for (uint32_t i = series_index(other); i < value_series(other)->length(); i += uint32_t(size)) {
            Cell key = *value_series(other)->cell_at(i);
            TypeId t = key.type();
            if (t == T_INTEGER || is_any_word(t) || is_any_string(t)) {
                const Cell* found = hashtable_find(*table, &key, 0, 1, cmp, false, false);
                // an equal key of another type may not stand for it: a float equal to an
                // integer within its tolerance is not equal to every float the integer is
                if (found && found->type() == t) continue;
            } else if (hashtable_find(*table, &key, 0, 1, CMP_SAME, false, false)) {
                continue;   // the same value again (the same block at the same position, ...)
            }
            uint32_t at = value_series(keys)->length();
            Series* s = series_reserve(series_node(keys), 1, true);
            *s->cell_tail() = key;
            s->tail += 16;
            int status;
            hashtable_insert(*table, value_series(keys)->cell_at(at), &status);
        }
        return keys;
    };
    auto pass = [&](Cell* from, Cell* other, bool check, bool want) {
        Node other_table = 0;
        Cell* other_keys = nullptr;
        if (check) {
            other_keys = distinct_keys(other, &other_table);
            ++pushed;
        }
        for (uint32_t i = series_index(from); i < value_series(from)->length(); i += uint32_t(size)) {
            Cell key = *value_series(from)->cell_at(i);
            if (check && member(other_keys, other_table, &key, 1) != want) continue;
            if (member(result, kept, &key, size)) continue;
            uint32_t n = std::min<uint32_t>(uint32_t(size), value_series(from)->length() - i);
            uint32_t at = value_series(result)->length();
            Series* s = series_reserve(series_node(result), n, true);
            std::memcpy(s->cell_tail(), value_series(from)->cell_at(i), size_t(n) * 16);
            s->tail += n * 16;
            // every cell of the record is indexed (a hash! result is searched for any of them);
            // looking keys up with the record size as skip keeps to the records' first cells
            for (uint32_t k = 0; k < n; ++k) {
                int status;
                hashtable_insert(kept, value_series(result)->cell_at(at + k), &status);
                if (status == 2) break;   // the table was rebuilt from the whole result
            }
        }
    };
    switch (op) {
    case 8: pass(a, b, false, false); break;                        // unique
    case 9: pass(a, b, false, false); pass(b, a, false, false); break;   // union
    case 10: pass(a, b, true, true); break;                         // intersect
    case 11: pass(a, b, true, false); break;                        // exclude
    default: pass(a, b, true, false); pass(b, a, true, false); break;    // difference
    }
    bool hashed = a->is(T_HASH) || (op != 8 && b->is(T_HASH));
    *first = hashed ? Cell{T_HASH, 0, series_node(result), kept} : Cell{T_BLOCK, 0, series_node(result), 0};
    stack_pop(pushed);
}

} // namespace kel

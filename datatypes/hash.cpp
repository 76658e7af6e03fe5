// hash!: construction, copy, mold and sort of hashed blocks, and the bookkeeping that keeps a
// hash!'s table in step with its block after every editing action.
//
// The editing actions are the block's and the series' own; each one reports the cells it changed
// through the owner notification (datatypes/series.h), whose after-step calls hash_block_edited.
// Edits that keep the length (poke, swap, reverse, sort, random) re-index just the cells they
// touched; the others re-index from the first changed cell to the tail: the old entries are taken
// out by the positions the table recorded for them, then the cells now there are indexed.
#include "datatypes/hash.h"

#include "core/errors.h"
#include "core/hash.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/support.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"

#include <algorithm>
#include <cstring>

namespace kel {

void hash_from_block(Cell* cell, uint32_t capacity) {
    Cell* c = stack_push(*cell);
    set_cell_type(c, T_HASH);
    c->data3 = 0;
    uint32_t length = value_series(c)->length();
    Node table = hashtable_make(std::max<uint32_t>({length, capacity, 1}), series_node(c), HASH_KIND_HASH, 0);
    c->data3 = table;
    *cell = *c;
    stack_pop();
}

Node hash_table_of(const Cell* series) {
    if (!series->is(T_HASH) || !series->data3) return 0;
    Node table = series->data3;
    HashTable* t = hashtable_record(table);
    if (t->kind != HASH_KIND_HASH || t->values != series_node(series)) return 0;
    return table;
}

void hash_block_changed(const Cell* series, int32_t index, int32_t old_count, int32_t new_count) {
    Node table = hash_table_of(series);
    if (!table) return;
    hashtable_reindex_from(table, uint32_t(std::max(index, 0)), old_count, new_count);
}

void hash_block_edited(const Cell* series, SeriesEvent event, int32_t index, int32_t count) {
    Node table = hash_table_of(series);
    if (!table) return;
    int32_t length = int32_t(value_series(series)->length());
    count = std::max(count, 0);
    switch (event) {
    case SeriesEvent::Poke: case SeriesEvent::Swap: case SeriesEvent::Reverse: case SeriesEvent::Sort:
    case SeriesEvent::Random:
        hash_block_changed(series, index, count, count);   // the length stayed
        break;
    case SeriesEvent::Append: case SeriesEvent::Insert:
        // count cells came in at index: the cells that were there moved up
        hash_block_changed(series, index, std::max(length - count - index, 0), -1);
        break;
    case SeriesEvent::Remove: case SeriesEvent::Take:
        // count cells went at index: the cells after them moved down
        hash_block_changed(series, index, length + count - index, -1);
        break;
    case SeriesEvent::Clear: case SeriesEvent::Trim:
        hash_block_changed(series, index, count, -1);   // count: the cells from index before
        break;
    case SeriesEvent::Put:
        // an overwrite of count cells or count cells appended: entries are taken out only where
        // cells were recorded
        hash_block_changed(series, index, count, -1);
        break;
    case SeriesEvent::Move:
        // a move within one block changes the cells between its origin and its destination, of
        // which the notification names only one end
        hash_block_changed(series, 0, -1, -1);
        break;
    default:   // change: the count of cells replaced is not told
        hash_block_changed(series, index, -1, -1);
        break;
    }
}

namespace {

void hash_copy(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types) {
    Cell* src = stack_push(series);
    block_copy(src, result, part, deep, types);
    Node table = hash_table_of(src);
    if (table && series_index(src) == 0 && !part && !deep && !types) {
        CollectorHold hold;
        Node copy = hashtable_copy(table, series_node(result));
        *result = make_cell(T_HASH, 0, series_node(result), copy);
    } else {
        hash_from_block(result);
    }
    stack_pop();
}

void hash_to(Cell* proto, Cell* spec, TypeId) {
    if (spec->is(T_HASH)) {
        Cell* src = stack_push(spec);
        hash_copy(src, proto, nullptr, false, nullptr);
        stack_pop();
        return;
    }
    block_to(proto, spec, T_BLOCK);
    hash_from_block(proto);
}

void hash_make(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = spec->type();
    if (t == T_INTEGER || t == T_FLOAT) {
        int32_t n = float_to_int_checked(spec);
        block_make_at(proto, std::max(n, 1));
        hash_from_block(proto, uint32_t(std::max(n, 1)));
    } else if (t == T_BLOCK) {
        *proto = *block_clone(spec, false, false);
        stack_pop();
        hash_from_block(proto);
    } else if (t == T_HASH) {
        Cell* src = stack_push(spec);
        hash_copy(src, proto, nullptr, false, nullptr);
        stack_pop();
    } else {
        hash_to(proto, spec, type);
    }
}

int32_t hash_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                  int32_t budget, int32_t indent) {
    if (!only) {
        string_concatenate_literal(buffer, "make hash! ");
        budget -= 11;
    }
    return block_mold(value, buffer, only, all, flat, part, budget, indent);
}

// The block's sort, made safe for the table: a comparator that raises leaves the cells permuted,
// and the table is brought in step before the error goes on. The series is held in a root, not on
// the data stack: an exit passing through has already put the stacks where its receiver wants
// them (an error, for one, is the last pushed value) and they are left as they are.
void hash_sort(Cell* series, const SortOpts& opts) {
    Rooted s(*series);
    try {
        block_sort(series, opts);
    } catch (...) {
        hash_block_changed(s.get(), 0, -1, -1);
        throw;
    }
}

} // namespace

void hash_init() {
    ActionEntries e = action_entries(INHERIT);
    set_entry<A_MAKE>(e, hash_make);
    set_entry<A_TO>(e, hash_to);
    set_entry<A_MOLD>(e, hash_mold);
    set_entry<A_COPY>(e, hash_copy);
    set_entry<A_SORT>(e, hash_sort);
    set_entry<A_TRIM>(e, block_trim);
    e[A_RANDOM - 1] = UNSUPPORTED;
    register_datatype(T_HASH, T_BLOCK, "hash!", e);
}

} // namespace kel

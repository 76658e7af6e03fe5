// map!: construction, look-up and path access, removal with holes, reflection, copy, compare, form
// and mold (see datatypes/map.h for the cell and the key rules).
//
// The block of pairs and the table are reached through the map cell's nodes; every function keeps
// the cells it works on on the data stack and fetches the block again after each allocation. The
// table operations hold the collector off themselves and hand back addresses of key cells, which
// are used before the next allocation.
#include "datatypes/map.h"

#include "core/cycles.h"
#include "core/errors.h"
#include "core/hash.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/words.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <algorithm>
#include <cstring>

namespace kel {

bool map_key_type(TypeId t) {
    switch (t) {
    case T_STRING: case T_FILE: case T_URL: case T_CHAR: case T_INTEGER: case T_FLOAT: case T_WORD:
    case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT: case T_ISSUE: case T_PAIR:
    case T_PERCENT: case T_TUPLE: case T_BINARY: case T_TIME: case T_TAG: case T_EMAIL: case T_DATE:
    case T_MONEY: case T_REF: case T_POINT2D: case T_POINT3D:
        return true;
    default:
        return false;
    }
}

void map_check_key(const Cell* key, const Cell* value) {
    if (map_key_type(key->type())) return;
    Cell type = make_datatype(key->type());
    Cell v = *value;
    fire_error(Err::InvalidPath, &type, &v);
}

void map_normalize_key(Cell* key) {
    TypeId t = key->type();
    switch (t) {
    case T_WORD: case T_LIT_WORD: case T_GET_WORD: case T_SET_WORD:
        key->header = T_SET_WORD;
        break;
    case T_STRING: case T_FILE: case T_URL: case T_BINARY: case T_TAG: case T_EMAIL: case T_REF: {
        Series* s = value_series(key);
        uint32_t index = std::min(series_index(key), s->length());
        Node copy = copy_series_part(series_node(key), index, s->length() - index);
        *key = make_series(t, copy, 0);
        break;
    }
    default:
        key->header &= ~CELL_NEWLINE;
        break;
    }
}

namespace {

inline HashTable* table_of(const Cell* map) { return hashtable_record(map->data3); }
inline Series* pairs_of(const Cell* map) { return value_series(map); }
inline bool hole(const Cell* value) { return value->header == 0; }

// Index of the key cell the key finds in the map's block (op 0 case-insensitive, 2 strict, 9
// same?), or -1. The entry found may be a hole.
int64_t lookup(const Cell* map, const Cell* key, int op, const uint32_t* key_hash = nullptr) {
    Cell k = *key;
    const Cell* found = hashtable_find(map->data3, &k, 0, 1, op, false, false, key_hash);
    if (!found) return -1;
    return found - pairs_of(map)->cells();
}

int lookup_op(bool case_, bool same = false) { return same ? CMP_SAME : case_ ? CMP_STRICT_EQUAL : CMP_EQUAL; }

// A stored key as readers see it: set-words come back as words; a text key is a copy, so that
// changing what a reader got never changes the key.
void key_out(Cell* key) {
    key->header &= ~CELL_NEWLINE;
    if (key->is(T_SET_WORD)) set_cell_type(key, T_WORD);
    else if (is_series_type(key->type())) map_normalize_key(key);
}

// Before a new key is added: when the block or the table would have to grow and at least half of
// the pairs are holes, the holes go instead.
void make_room(const Cell* map) {
    Series* s = pairs_of(map);
    uint32_t pairs = s->length() / 2;
    HashTable* t = table_of(map);
    uint32_t holes = pairs - std::min(pairs, t->size);
    if (holes == 0 || holes * 2 < pairs) return;
    bool block_full = s->tail + 32 > s->size;
    bool table_full = t->occupied >= t->bound;
    if (block_full || table_full) hashtable_compact_map(map->data3);
}

// The map cell's table and block must exist; key, value and map lie on the data stack.
void put_at(Cell* map, Cell* key, Cell* value, bool case_) {
    // a text key is hashed once, for the look-up and for the insertion of its copy
    uint32_t hash = key->is(T_INTEGER) ? 0 : hash_value(key, false);
    int64_t i = lookup(map, key, lookup_op(case_), &hash);
    value->header &= ~CELL_NEWLINE;
    if (i >= 0) {
        Cell* slot = pairs_of(map)->cell_at(uint32_t(i) + 1);
        if (hole(slot)) table_of(map)->size++;
        *slot = *value;
        return;
    }
    map_check_key(key, value);
    map_normalize_key(key);
    make_room(map);
    Node block = series_node(map);
    Series* s = series_reserve(block, 2, true);
    uint32_t at = s->length();
    *s->cell_at(at) = *key;
    init_cell(s->cell_at(at + 1), T_UNSET);
    s->tail += 32;
    int status;
    hashtable_insert(map->data3, node_series(block)->cell_at(at), &status, &hash);
    *node_series(block)->cell_at(at + 1) = *value;
}

} // namespace

int32_t map_count(const Cell* map) { return int32_t(table_of(map)->size); }

void map_from_block(Cell* result, Node block, const Cell* spec, uint32_t capacity) {
    Cell* m = stack_push(make_series(T_MAP, block, 0));
    Series* s = node_series(block);
    uint32_t len = s->length();
    if (len % 2) {
        Cell bad = spec ? *spec : make_series(T_BLOCK, block, 0);
        fire_error(Err::InvalidArg, &bad);
    }
    for (uint32_t i = 0; i < len; i += 2) {
        Cell* k = s->cell_at(i);
        k->header &= ~CELL_NEWLINE;
        s->cell_at(i + 1)->header &= ~CELL_NEWLINE;
        map_check_key(k, s->cell_at(i + 1));
    }
    // the table normalises each new key as it indexes it and drops repeated keys' pairs
    m->data3 = hashtable_make(std::max<uint32_t>({len / 2, capacity, 1}), block, HASH_KIND_MAP, 0);
    *result = *m;
    stack_pop();
}

void map_put(const Cell* map, const Cell* key, const Cell* value, bool case_) {
    Cell* m = stack_push(map);
    Cell* k = stack_push(key);
    Cell* v = stack_push(value);
    put_at(m, k, v, case_);
    stack_pop(3);
}

void map_extend(const Cell* map, const Cell* block, bool case_) {
    Cell* m = stack_push(map);
    Cell* b = stack_push(block);
    int32_t n = block_rs_length(b);
    if (n % 2) fire_error(Err::InvalidArg, b);
    series_reserve(series_node(m), uint32_t(n), false);
    Cell* k = stack_push(make_unset());
    Cell* v = stack_push(make_unset());
    for (int32_t i = 0; i + 1 < n; i += 2) {
        Series* s = value_series(b);
        if (series_index(b) + uint32_t(i) + 1 >= s->length()) break;
        *k = *s->cell_at(series_index(b) + uint32_t(i));
        *v = *s->cell_at(series_index(b) + uint32_t(i) + 1);
        put_at(m, k, v, case_);
    }
    stack_pop(4);
}

// ---- Actions -------------------------------------------------------------------------------------

namespace {

void map_copy(Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);

void map_make_from(Cell* proto, Cell* spec, bool to) {
    TypeId t = spec->type();
    if (t == T_BLOCK || t == T_PAREN || t == T_HASH) {
        Cell* copy = block_clone(spec, false, false);
        map_from_block(proto, series_node(copy), spec);
        stack_pop();
        return;
    }
    if (!to && (t == T_INTEGER || t == T_FLOAT)) {
        int64_t n;
        if (t == T_INTEGER) {
            n = cell_integer(spec);
        } else {
            double d = spec->get_float();
            n = d != d ? 0 : d < -2147483648.0 ? INT32_MIN : d > 2147483647.0 ? INT32_MAX : int64_t(d);
        }
        if (n < 0) fire_error(Err::OutOfRange, spec);
        Cell* m = stack_push(make_unset());
        int32_t cells = int32_t(std::min<int64_t>(std::max<int64_t>(n * 2, 2), INT32_MAX / 16));
        block_make_at(m, cells);
        map_from_block(proto, series_node(m), nullptr, uint32_t(cells / 2));
        stack_pop();
        return;
    }
    if (t == T_MAP) {
        Cell* src = stack_push(spec);
        map_copy(src, proto, nullptr, false, nullptr);
        stack_pop();
        return;
    }
    Cell type = make_datatype(T_MAP);
    fire_error(Err::BadToArg, &type, spec);
}

void map_make(Cell* proto, Cell* spec, TypeId) { map_make_from(proto, spec, false); }
void map_to(Cell* proto, Cell* spec, TypeId) { map_make_from(proto, spec, true); }

void map_reflect(Cell* map, uint32_t field_symbol) {
    uint32_t field = symbol_resolve(field_symbol);
    bool words = field == symbol_resolve(sym(Sym::Words));
    bool values = field == symbol_resolve(sym(Sym::Values));
    bool body = field == symbol_resolve(sym(Sym::Body));
    if (!words && !values && !body) fire_error(Err::NotDone);
    Cell* m = stack_push(map);
    int32_t live = map_count(m);
    Cell* out = block_push_only(std::max(body ? live * 2 : live, 1));
    Cell* item = stack_push(make_unset());
    for (uint32_t i = 0; i + 1 < pairs_of(m)->length(); i += 2) {
        Series* s = pairs_of(m);
        if (hole(s->cell_at(i + 1))) continue;
        if (words || body) {
            *item = *s->cell_at(i);
            if (words) {
                key_out(item);
            } else if (is_series_type(item->type())) {
                map_normalize_key(item);
            }
            if (body) item->header |= CELL_NEWLINE;
            block_append_value(out, item);
        }
        if (values || body) {
            *item = *pairs_of(m)->cell_at(i + 1);
            block_append_value(out, item);
        }
    }
    *map = *out;
    stack_pop(3);
}

// Writes the live pairs: key, a space and the value, both molded. mold: one pair a line, indented
// one level more than the map, a line feed after each; only: pairs separated by line feeds; flat:
// separated by spaces; form (neither mold nor flat): separated by line feeds.
int32_t map_mold_entries(const Cell* map, Cell* buffer, bool only, bool all, bool flat, bool part,
                         int32_t budget, int32_t level, bool mold) {
    Cell* m = stack_push(map);
    Cell* item = stack_push(make_unset());
    bool lines = mold && !only && !flat;
    bool first = true;
    for (uint32_t i = 0; i + 1 < pairs_of(m)->length(); i += 2) {
        if (hole(pairs_of(m)->cell_at(i + 1))) continue;
        if (!first && !lines) {
            string_concatenate_literal(buffer, flat ? " " : "\n");
            budget--;
        }
        if (lines) {
            for (int32_t k = 0; k <= level; ++k) string_concatenate_literal(buffer, "    ");
            budget -= 4 * (level + 1);
        }
        *item = *pairs_of(m)->cell_at(i);
        item->header &= ~CELL_NEWLINE;
        budget = mold_typed(item, buffer, false, all, flat, part, budget, level + 1);
        string_concatenate_literal(buffer, " ");
        budget--;
        *item = *pairs_of(m)->cell_at(i + 1);
        item->header &= ~CELL_NEWLINE;
        budget = mold_typed(item, buffer, false, all, flat, part, budget, level + 1);
        if (lines) {
            string_concatenate_literal(buffer, "\n");
            budget--;
        }
        first = false;
        if (part && budget <= 0) break;
    }
    stack_pop(2);
    return budget;
}

int32_t map_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, bool part,
                 int32_t budget, int32_t level) {
    if (cycles_find(series_node(value))) {
        string_concatenate_literal(buffer, "#[...]");
        return budget - 6;
    }
    Cell* m = stack_push(value);
    cycles_push(series_node(m));
    if (!only) {
        string_concatenate_literal(buffer, "#[");
        budget -= 2;
        if (!flat && map_count(m) > 0) {
            string_concatenate_literal(buffer, "\n");
            budget--;
        }
    }
    try {
        budget = map_mold_entries(m, buffer, only, all, flat, part, budget, level, true);
    } catch (...) {
        cycles_pop();
        throw;
    }
    cycles_pop();
    if (!only) {
        if (!flat && level >= 1 && map_count(m) > 0) {
            for (int32_t k = 0; k < level; ++k) string_concatenate_literal(buffer, "    ");
            budget -= 4 * level;
        }
        string_concatenate_literal(buffer, "]");
        budget--;
    }
    stack_pop();
    return budget;
}

int32_t map_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    if (cycles_find(series_node(value))) {
        string_concatenate_literal(buffer, "#[...]");
        return budget - 6;
    }
    Cell* m = stack_push(value);
    cycles_push(series_node(m));
    try {
        budget = map_mold_entries(m, buffer, false, false, false, part, budget, 0, false);
    } catch (...) {
        cycles_pop();
        throw;
    }
    cycles_pop();
    stack_pop();
    return budget;
}

void map_eval_path(Cell* parent, const PathStep& step) {
    if (step.value) {
        Cell* v = stack_push(step.value);
        map_put(parent, step.element, v, step.case_);
        *parent = *v;
        stack_pop();
        return;
    }
    int64_t i = lookup(parent, step.element, lookup_op(step.case_));
    if (i < 0 || hole(pairs_of(parent)->cell_at(uint32_t(i) + 1))) *parent = make_none();
    else *parent = *pairs_of(parent)->cell_at(uint32_t(i) + 1);
}

// Walks every live entry of the second map whose key equals the key (case-insensitively) until
// one's value compares equal under op.
bool entry_matches(const Cell* b, const Cell* key, const Cell* value, int32_t op) {
    int32_t position = -1;
    uint32_t start = 0, step = 0;
    Cell k = *key;
    while (true) {
        const Cell* found = hashtable_find_next(b->data3, &k, &position, &start, &step);
        if (!found) return false;
        uint32_t at = uint32_t(found - pairs_of(b)->cells());
        Cell other = *pairs_of(b)->cell_at(at + 1);
        if (hole(&other)) continue;
        Cell v = *value;
        if (compare_values(&v, &other, op) == 0) return true;
    }
}

int32_t map_compare(const Cell* a_in, const Cell* b_in, int32_t op) {
    if (!b_in->is(T_MAP)) return CMP_NOT_COMPARABLE;
    Node na = series_node(a_in), nb = series_node(b_in);
    if (op == CMP_SORT || op == CMP_CASE_SORT) return na < nb ? -1 : na > nb ? 1 : 0;
    if (op != CMP_EQUAL && op != CMP_NOT_EQUAL && op != CMP_STRICT_EQUAL && op != CMP_SAME &&
        op != CMP_SEARCH)
        return CMP_NOT_COMPARABLE;
    if (na == nb && series_index(a_in) == series_index(b_in)) return 0;
    if (op == CMP_SAME) return -1;
    if (cycles_find(na)) return cycles_find(nb) ? 0 : -1;
    int32_t ca = map_count(a_in), cb = map_count(b_in);
    if (ca != cb) return 1;
    if (ca == 0) return 0;
    Cell* a = stack_push(a_in);
    Cell* b = stack_push(b_in);
    Cell* key = stack_push(make_unset());
    Cell* value = stack_push(make_unset());
    uint32_t depth = cycles_depth();
    cycles_push(na);
    cycles_push(nb);
    int32_t result = 0;
    try {
        for (uint32_t i = 0; i + 1 < pairs_of(a)->length() && result == 0; i += 2) {
            *value = *pairs_of(a)->cell_at(i + 1);
            if (hole(value)) continue;
            *key = *pairs_of(a)->cell_at(i);
            if (op == CMP_STRICT_EQUAL) {
                int64_t j = lookup(b, key, CMP_STRICT_EQUAL);
                if (j < 0) {
                    result = 1;
                    break;
                }
                Cell other = *pairs_of(b)->cell_at(uint32_t(j) + 1);
                if (hole(&other) || compare_values(value, &other, CMP_STRICT_EQUAL) != 0) result = 1;
            } else if (!entry_matches(b, key, value, op == CMP_SEARCH ? CMP_SEARCH : CMP_EQUAL)) {
                result = 1;
            }
        }
    } catch (...) {
        cycles_drop(cycles_depth() - depth);
        throw;
    }
    cycles_drop(cycles_depth() - depth);
    stack_pop(4);
    return result;
}

void map_clear(Cell* map) {
    hashtable_clear(map->data3);
    Series* s = pairs_of(map);
    s->tail = s->head;
}

void map_copy(Cell* series, Cell* result, const Cell*, bool deep, const Cell* types) {
    Cell* src = stack_push(series);
    if (types && cycles_find(series_node(src))) {
        cycles_reset();
        fire_error(Err::NoCycle);
    }
    Cell* copy = block_clone(src, deep && !types, false);
    {
        CollectorHold hold;
        copy->data3 = hashtable_copy(src->data3, series_node(copy));
    }
    set_cell_type(copy, T_MAP);
    if (types) {
        cycles_push(series_node(src));
        try {
            block_copy_nested(copy, 1, value_series(copy)->length(), 2, deep, types);
        } catch (...) {
            cycles_pop();
            throw;
        }
        cycles_pop();
    }
    *result = *copy;
    stack_pop(2);
}

void map_find(Cell* map, const Cell* value, const FindOpts& o) {
    int64_t i = lookup(map, value, lookup_op(o.case_, o.same));
    if (i < 0 || hole(pairs_of(map)->cell_at(uint32_t(i) + 1))) {
        *map = make_none();
        return;
    }
    Cell* key = stack_push(pairs_of(map)->cell_at(uint32_t(i)));
    key_out(key);
    *map = *key;
    stack_pop();
}

void map_select(Cell* map, const Cell* value, const FindOpts& o) {
    int64_t i = lookup(map, value, lookup_op(o.case_, o.same));
    if (i < 0 || hole(pairs_of(map)->cell_at(uint32_t(i) + 1))) *map = make_none();
    else *map = *pairs_of(map)->cell_at(uint32_t(i) + 1);
}

int32_t map_length(const Cell* map) { return map_count(map); }

void map_put_action(Cell* map, const Cell* key, const Cell* value, bool case_) {
    Cell* v = stack_push(value);
    map_put(map, key, v, case_);
    *map = *v;
    stack_pop();
}

void map_remove(Cell* map, const Cell*, const Cell* key) {
    if (!key) fire_error(Err::MissingArg);
    int64_t i = lookup(map, key, CMP_STRICT_EQUAL);
    if (i < 0) return;
    CollectorHold hold;
    hashtable_delete(map->data3, pairs_of(map)->cell_at(uint32_t(i)));
}

} // namespace

void map_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, map_make);
    set_entry<A_REFLECT>(e, map_reflect);
    set_entry<A_TO>(e, map_to);
    set_entry<A_FORM>(e, map_form);
    set_entry<A_MOLD>(e, map_mold);
    set_entry<A_EVAL_PATH>(e, map_eval_path);
    set_entry<A_COMPARE>(e, map_compare);
    set_entry<A_CLEAR>(e, map_clear);
    set_entry<A_COPY>(e, map_copy);
    set_entry<A_FIND>(e, map_find);
    set_entry<A_LENGTH_Q>(e, map_length);
    set_entry<A_PUT>(e, map_put_action);
    set_entry<A_REMOVE>(e, map_remove);
    set_entry<A_SELECT>(e, map_select);
    register_datatype(T_MAP, T_NONE_ID, "map!", e);
    hash_set_map_normalize(map_normalize_key);
}

} // namespace kel

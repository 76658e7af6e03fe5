// The randomized model check of the runtime core (see tests/unit/model_check.h): the checks, the
// operation table of the core's editing actions, and the test that runs it.
//
//   KEL_MODEL_SEED=n    replay the run of that seed (otherwise a seed from the clock, printed)
//   KEL_MODEL_STEPS=n   steps to run (otherwise a brief run, shorter under KEL_GC_STRESS=1)
//   KEL_MODEL_RUNS=n    run n seeds in a row (seed, seed + 1, ...)
//
// The check runs with the core's own key comparison and no map! key normalisation, whatever the
// datatypes install: it checks the core tables, whose answers it compares with scans that use the
// same comparison.
#include "tests/unit/model_check.h"

#include "core/sort.h"
#include "core/words.h"
#include "datatypes/bitset.h"
#include "datatypes/datatype.h"
#include "datatypes/object.h"
#include "datatypes/vector.h"

#include "tests/unit/runtime_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace kel;
using namespace kel::model;

namespace {

// ---- Random values ---------------------------------------------------------------------------------

constexpr uint32_t MAX_ROOTED = 40;
constexpr uint32_t MAX_CELLS = 48;

MValue scalar(World& w) {
    MValue v;
    switch (w.below(9)) {
    case 0: v.kind = VK::None; v.type = T_NONE; break;
    case 1: v.kind = VK::Logic; v.type = T_LOGIC; v.i = int64_t(w.below(2)); break;
    case 2: case 3:
        v.kind = VK::Integer; v.type = T_INTEGER;
        v.i = w.chance(80) ? int64_t(w.below(11)) - 5 : int64_t(int32_t(uint32_t(w.rng())));
        break;
    case 4: {
        v.kind = VK::Float; v.type = T_FLOAT;
        // integral values (equal to integers), -0.0, halves, and values at hash class edges
        static const double edges[] = {0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 1e300, 2147483648.0,
                                       std::ldexp(3.0, -32), 1.0 + std::ldexp(256.0, -52)};
        double x = edges[w.below(std::size(edges))];
        if (w.chance(30)) x = std::nextafter(x, w.chance(50) ? INFINITY : -INFINITY);
        if (w.chance(20)) x = double(int64_t(w.below(11)) - 5);
        v.f = x;
        break;
    }
    case 5: v.kind = VK::Percent; v.type = T_PERCENT; v.f = double(w.below(5)) * 0.5; break;
    case 6: v.kind = VK::Char; v.type = T_CHAR; v.i = w.chance(70) ? 'A' + int64_t(w.below(3)) : int64_t(w.below(0x10FFFF)); break;
    default: {
        static const TypeId types[] = {T_WORD, T_SET_WORD, T_LIT_WORD, T_GET_WORD, T_REFINEMENT, T_ISSUE};
        v.kind = VK::Word;
        v.type = types[w.below(std::size(types))];
        v.i = w.pick(w.symbols);
        break;
    }
    }
    return v;
}

// A value for a block: a scalar, or a reference to a rooted block or string, or a function whose
// body is a rooted block.
MValue any_value(World& w) {
    if (w.chance(60)) return scalar(w);
    std::vector<uint32_t> slots = w.slots_of({Kind::Block, Kind::String}, false);
    if (slots.empty()) return scalar(w);
    int id = w.slots[w.pick(slots)];
    MObject& o = w.obj(id);
    if (o.frozen) return scalar(w);
    MValue v;
    if (o.kind == Kind::String) {
        v.kind = VK::String; v.type = T_STRING;
    } else if (w.chance(30)) {
        v.kind = VK::Function; v.type = T_FUNCTION;
    } else {
        v.kind = VK::Block; v.type = T_BLOCK;
    }
    v.ref = id;
    return v;
}

// ---- Strings and blocks ------------------------------------------------------------------------------

uint32_t max_code(uint32_t unit) { return unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : 0x10FFFF; }

uint32_t random_code(World& w, uint32_t unit) {
    static const uint32_t common[] = {'a', 'b', 'A', 'B', 0xE9, 0xC9, 0x3B1, 0x391, 0x1F600};
    uint32_t c = common[w.below(std::size(common))];
    if (c > max_code(unit) || w.chance(20)) c = uint32_t(w.below(max_code(unit) + 1));
    if (c >= 0xD800 && c < 0xE000) c = 'z';
    return c;
}

// A new string object (not rooted): its id.
int make_string(World& w, uint32_t unit, const std::u32string& text) {
    Node n = alloc_units(text.size() ? text.size() : 1, unit);
    Series* s = node_series(n);
    for (size_t i = 0; i < text.size(); ++i) unit_put(s->data() + i * unit, unit, text[i]);
    s->tail = uint32_t(text.size() * unit);
    int id = w.new_object(Kind::String);
    MObject& o = w.obj(id);
    o.node = n;
    o.unit = unit;
    o.text = text;
    return id;
}

void write_cells(World& w, Node block, const std::vector<MValue>& cells) {
    for (const MValue& v : cells) block_append(block, w.encode(v));
}

// A new block holding the values (not rooted): its id. Its cells are encoded before anything
// allocates (the values refer to rooted objects, which stay put as nodes).
int make_block(World& w, const std::vector<MValue>& cells, Kind kind = Kind::Block) {
    Node n = alloc_cells(cells.size() + 2);
    Rooted hold(make_series(T_BLOCK, n));
    write_cells(w, n, cells);
    int id = w.new_object(kind);
    w.obj(id).node = n;
    w.obj(id).cells = cells;
    return id;
}

// A key for a hash! or map!: a scalar, a frozen string or block (hashed by content), or a
// function (hashed by its body's node). A new string or block waits on the data stack (*held
// counts them) until the caller has stored the key and pops them.
MValue table_key(World& w, uint32_t* held) {
    uint64_t r = w.below(10);
    MValue v;
    if (r < 6) return scalar(w);
    if (r < 8) {
        static const char32_t* texts[] = {U"ab", U"AB", U"Ab", U"abc", U"\u00e9t\u00e9", U"\u00c9T\u00c9",
                                          U"\u03b1\u03b2", U"\u0391\u0392", U"", U"\U0001F600x"};
        std::u32string t = texts[w.below(std::size(texts))];
        uint32_t unit = 4;
        uint32_t widest = 0;
        for (char32_t c : t) widest = std::max<uint32_t>(widest, uint32_t(c));
        uint32_t choices[3] = {1, 2, 4};
        do unit = choices[w.below(3)]; while (widest > max_code(unit));
        int id = make_string(w, unit, t);
        w.obj(id).frozen = true;
        stack_push(make_series(T_STRING, w.obj(id).node));
        ++*held;
        v.kind = VK::String; v.type = T_STRING; v.ref = id;
        return v;
    }
    if (r < 9) {
        std::vector<MValue> cells;
        for (uint64_t i = 0, n = w.below(3); i < n; ++i) {
            MValue e = scalar(w);
            cells.push_back(e);
        }
        int id = make_block(w, cells);
        w.obj(id).frozen = true;
        stack_push(make_series(T_BLOCK, w.obj(id).node));
        ++*held;
        v.kind = VK::Block; v.type = T_BLOCK; v.ref = id;
        return v;
    }
    std::vector<uint32_t> bodies = w.slots_of({Kind::Block});
    if (bodies.empty()) return scalar(w);
    v.kind = VK::Function; v.type = T_FUNCTION; v.ref = w.slots[w.pick(bodies)];
    return v;
}

// ---- Model comparisons -------------------------------------------------------------------------------

inline bool is_word_type(TypeId t) { return t >= T_WORD && t <= T_GET_WORD; }

// strict-equal? of two model values as a map! compares keys: word kinds as set-words.
bool strict_equal(World& w, const MValue& a, const MValue& b, bool map_keys) {
    TypeId ta = a.type, tb = b.type;
    if (map_keys) {
        if (is_word_type(ta)) ta = T_SET_WORD;
        if (is_word_type(tb)) tb = T_SET_WORD;
    }
    if (ta != tb) return false;
    switch (a.kind) {
    case VK::None: return true;
    case VK::Logic: case VK::Integer: case VK::Char: return a.i == b.i;
    case VK::Float: case VK::Percent: return a.f == b.f;
    case VK::Word: return a.i == b.i;
    case VK::String: return w.obj(a.ref).text == w.obj(b.ref).text;
    case VK::Function: return a.ref == b.ref;
    case VK::Block: {
        const auto& x = w.obj(a.ref).cells;
        const auto& y = w.obj(b.ref).cells;
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i) {
            // a word and another word kind are comparable in a block, then differ strictly
            if (!strict_equal(w, x[i], y[i], false)) return false;
        }
        return true;
    }
    }
    return false;
}

// ---- Checks ------------------------------------------------------------------------------------------

struct CheckPass {
    World& w;
    std::map<int, Node> seen;   // objects whose node this pass has established
    std::vector<int> queue;

    // The object's node as this cell says: the first cell to name it fixes it, the others agree.
    void identity(int id, Node n, const char* where) {
        auto [it, fresh] = seen.emplace(id, n);
        if (fresh) {
            w.expect(n && node_slot_used(n), std::string("dead node for a live object in ") + where);
            w.expect(node_series(n)->node == n, std::string("buffer does not lead back to its node in ") + where);
            w.obj(id).node = n;
            queue.push_back(id);
        } else {
            w.expect(it->second == n, std::string("two nodes for one object in ") + where);
        }
    }

    void value(const Cell* c, const MValue& v, const std::string& where) {
        std::string at = where + " type " + std::to_string(int(c->type())) + " vs " + std::to_string(int(v.type));
        w.expect(c->type() == v.type, "type differs at " + at);
        switch (v.kind) {
        case VK::None: break;
        case VK::Logic: w.expect(c->data1 == uint32_t(v.i), "logic differs at " + where); break;
        case VK::Integer: w.expect(cell_integer(c) == int32_t(v.i), "integer differs at " + where); break;
        case VK::Float: case VK::Percent: {
            double d = c->get_float();
            w.expect(std::memcmp(&d, &v.f, 8) == 0, "float differs at " + where);
            break;
        }
        case VK::Char: w.expect(c->data2 == uint32_t(v.i), "char differs at " + where); break;
        case VK::Word:
            w.expect(c->data2 == uint32_t(v.i), "word symbol differs at " + where);
            if (v.ref >= 0) {
                w.expect(c->data3 == v.index, "word index differs at " + where);
                identity(v.ref, c->data1, where.c_str());
            } else {
                w.expect(c->data1 == 0, "word bound unexpectedly at " + where);
            }
            break;
        case VK::String: case VK::Block:
            w.expect(series_index(c) == 0, "series index differs at " + where);
            identity(v.ref, series_node(c), where.c_str());
            break;
        case VK::Function: identity(v.ref, c->data2, where.c_str()); break;
        }
    }

    void cells(Node block, const std::vector<MValue>& model, const std::string& where,
               const std::vector<bool>* removed = nullptr) {
        Series* s = node_series(block);
        w.expect(s->unit() == 16, "not a block of cells: " + where);
        w.expect(s->length() == model.size(),
                 where + ": length " + std::to_string(s->length()) + " vs " + std::to_string(model.size()));
        for (uint32_t i = 0; i < model.size(); ++i) {
            const Cell* c = node_series(block)->cell_at(i);
            if (removed && (i & 1) && (*removed)[i / 2]) {
                w.expect(c->header == 0, where + ": removed entry has a value");
                continue;
            }
            value(c, model[i], where + " cell " + std::to_string(i));
        }
    }

    void object(int id) {
        MObject& o = w.obj(id);
        std::string where = "object " + std::to_string(id);
        Series* s = node_series(o.node);
        switch (o.kind) {
        case Kind::Block:
            cells(o.node, o.cells, where);
            break;
        case Kind::String: {
            w.expect(s->unit() == o.unit, where + ": unit differs");
            w.expect(s->length() == o.text.size(), where + ": length differs");
            for (uint32_t i = 0; i < o.text.size(); ++i)
                w.expect(unit_get(s->head_ptr() + i * o.unit, o.unit) == uint32_t(o.text[i]),
                         where + ": code point " + std::to_string(i) + " differs");
            break;
        }
        case Kind::Hash: case Kind::Map: {
            HashTable* t = hashtable_record(o.node);
            w.expect(t->kind == (o.kind == Kind::Hash ? HASH_KIND_HASH : HASH_KIND_MAP), where + ": table kind");
            cells(t->values, o.cells, where, o.kind == Kind::Map ? &o.removed : nullptr);
            break;
        }
        case Kind::Context: {
            w.expect(context_word_count(o.node) == o.fields.size(), where + ": word count differs");
            for (uint32_t i = 0; i < o.fields.size(); ++i) {
                w.expect(context_word_slot(o.node, i)->data2 == o.fields[i].symbol, where + ": word differs");
                value(context_value_at(o.node, i), o.fields[i].value, where + " field " + std::to_string(i));
            }
            break;
        }
        case Kind::Records: {
            // the record buffer names each key's node beside the key object's id
            HashTable* t = hashtable_record(o.node);
            Series* r = node_series(t->values);
            uint32_t live = 0;
            for (uint32_t off = 0; off + t->positions <= r->used(); off += t->positions) {
                const Cell* h = reinterpret_cast<const Cell*>(r->head_ptr() + off);
                if (h->header != T_UNSET) continue;
                ++live;
                int key = cell_integer(h + 2);
                w.expect(o.recs.count(key) == 1, where + ": a record the model does not hold");
                identity(key, h->data1, where.c_str());
                r = node_series(hashtable_record(o.node)->values);
            }
            w.expect(live == o.recs.size(), where + ": record count differs");
            w.expect(t->size == o.recs.size(), where + ": size differs");
            break;
        }
        case Kind::Array: {
            w.expect(array_length(o.node) == o.arr.size(), where + ": array length differs");
            for (uint32_t i = 0; i < o.arr.size(); ++i)
                w.expect(array_pick(o.node, i + 1) == o.arr[i], where + ": array element differs");
            break;
        }
        }
        // the owned mark
        if (o.kind == Kind::Block || o.kind == Kind::String)
            w.expect(bool(node_series(o.node)->flags & SER_OWNED) == bool(w.owned_flag.count(id)),
                     where + ": owned mark differs");
    }

    void run() {
        // roots first: they name the nodes of every rooted object
        for (uint32_t slot = 0; slot < w.slots.size(); ++slot) {
            int id = w.slots[slot];
            const Cell* c = w.root_cell(slot);
            if (id < 0) {
                w.expect(c->is(T_NONE), "a free root slot holds a value");
                continue;
            }
            MObject& o = w.obj(id);
            std::string where = "root " + std::to_string(slot);
            switch (o.kind) {
            case Kind::Block: w.expect(c->is(T_BLOCK), where); identity(id, c->data2, where.c_str()); break;
            case Kind::String: w.expect(c->is(T_STRING), where); identity(id, c->data2, where.c_str()); break;
            case Kind::Hash: case Kind::Map:
                w.expect(c->is(o.kind == Kind::Hash ? T_HASH : T_MAP), where);
                identity(id, c->data3, where.c_str());
                w.expect(hashtable_record(c->data3)->values == c->data2, where + ": table and block disagree");
                break;
            case Kind::Context: w.expect(c->is(T_OBJECT), where); identity(id, c->data1, where.c_str()); break;
            case Kind::Records: w.expect(c->is(T_CONTEXT), where); identity(id, c->data1, where.c_str()); break;
            case Kind::Array: w.expect(c->is(T_BINARY), where); identity(id, c->data2, where.c_str()); break;
            }
        }
        for (size_t i = 0; i < queue.size(); ++i) object(queue[i]);
        w.expect(seen.size() == w.reachable().size(),
                 "the check reached " + std::to_string(seen.size()) + " objects, the model " +
                     std::to_string(w.reachable().size()));
    }
};

// Every used node leads to a buffer that leads back to it; every buffer in use in a series frame
// is the one its node leads to; the frames' counts are right.
void check_frames(World& w) {
    for (NodeFrame* f = g_memory.node_first; f; f = f->next) {
        uint32_t used = 0;
        for (Node n = f->first; n < f->first + f->count; ++n) {
            if (!node_slot_used(n)) continue;
            ++used;
            Series* s = node_series(n);
            w.expect(s->node == n, "a used node's buffer leads elsewhere");
            w.expect(s->flags & SER_IN_USE, "a used node leads to an abandoned buffer");
            w.expect(s->head <= s->tail && s->tail <= s->size, "head, tail and size out of order");
        }
        w.expect(used == f->used, "node frame used count differs");
    }
    for (SeriesFrame* f = g_memory.series_first; f; f = f->next) {
        uint8_t* p = f->data_start();
        while (p < f->alloc) {
            Series* s = reinterpret_cast<Series*>(p);
            if ((s->flags & SER_IN_USE) && s->node)
                w.expect(node_slot_used(s->node) && node_series(s->node) == s, "a buffer's node leads elsewhere");
            p += sizeof(Series) + s->size;
        }
        w.expect(p == f->alloc, "series frame walk overruns its allocation pointer");
    }
}

// hash!: hashtable_find against a scan of the block with the same comparison and position rules.
int32_t scan_hash(Node block, const Cell& key, int32_t start, int32_t skip, int op, bool last, bool reverse) {
    Series* s = node_series(block);
    int64_t n = s->length(), st = skip == 0 ? 1 : std::abs(skip), best = -1;
    for (int64_t l = 0; l < n; ++l) {
        if (!hash_compare(s->cell_at(uint32_t(l)), &key, op)) continue;
        if (!last && !reverse) {
            if (l >= start && (l - start) % st == 0 && best < 0) best = l;
        } else {
            int64_t r = ((start - 1 - l) % st + st) % st;
            bool side = reverse ? l < start : l >= start;
            if (side && r == 0) best = l;
        }
    }
    return int32_t(best);
}

Cell map_key_of(const Cell* c) {
    Cell k = *c;
    if (is_word_type(k.type())) set_cell_type(&k, T_SET_WORD);
    return k;
}

int32_t scan_map(Node block, const Cell& key_in, int op, bool walk_set, std::set<int32_t>* all) {
    Cell key = map_key_of(&key_in);
    Series* s = node_series(block);
    int32_t first = -1;
    for (uint32_t i = 0; i < s->length(); i += 2) {
        Cell stored = map_key_of(s->cell_at(i));
        if (stored.type() != key.type() || !hash_compare(&stored, &key, op)) continue;
        if (first < 0) first = int32_t(i);
        if (walk_set) all->insert(int32_t(i));
    }
    return first;
}

// Each live bucket of a hash! or map! table holds the hash of its key (of its group's first cell)
// beside its key entry, as of the table's next use.
void check_bucket_hashes(World& w, Node t, const std::string& where) {
    hashtable_check_stale(t);
    HashTable* r = hashtable_record(t);
    const uint32_t* flags = hash_words(r->flags);
    const HashEntry* entries = hash_entries(r->keys);
    w.expect(node_series(r->keys)->tail >= r->buckets * sizeof(HashEntry),
             where + ": key array shorter than its buckets");
    Series* block = node_series(r->values);
    for (uint32_t b = 0; b < r->buckets; ++b) {
        if (hash_flag(flags, b) != HASH_FLAG_LIVE) continue;
        int32_t key = int32_t(entries[b].key);
        uint32_t index = key >= 0 ? uint32_t(key) : array_pick(array_pick(r->chains, uint32_t(-key)), 1);
        Cell c = *block->cell_at(index);
        if (r->kind == HASH_KIND_MAP && c.type() >= T_WORD && c.type() <= T_GET_WORD) set_cell_type(&c, T_SET_WORD);
        w.expect(entries[b].hash == hash_value(&c, false), where + ": bucket " + std::to_string(b) +
                                                               " keeps another hash than its key's");
    }
}

void check_tables(World& w) {
    for (auto& [id, o] : w.objects) {
        if (o.kind != Kind::Hash && o.kind != Kind::Map) continue;
        Node t = o.node;
        check_bucket_hashes(w, t, "table " + std::to_string(id));
        Node block = hashtable_record(t)->values;
        // keys: cells of the block and fresh scalars
        std::vector<Cell> keys;
        uint32_t n = node_series(block)->length();
        for (int k = 0; k < 6 && n; ++k) {
            uint32_t i = uint32_t(w.below(n));
            if (o.kind == Kind::Map) i &= ~1u;
            keys.push_back(*node_series(block)->cell_at(i));
        }
        for (int k = 0; k < 3; ++k) keys.push_back(w.encode(scalar(w)));
        std::string where = "table " + std::to_string(id);
        for (const Cell& key : keys) {
            for (int op : {0, 2}) {
                if (o.kind == Kind::Hash) {
                    int32_t start = int32_t(w.below(n + 2));
                    int32_t skip = w.chance(70) ? 1 : int32_t(w.below(4)) + 1;
                    bool last = w.chance(25), reverse = !last && w.chance(25);
                    const Cell* c = hashtable_find(t, &key, start, skip, op, last, reverse);
                    block = hashtable_record(t)->values;
                    int32_t got = c ? int32_t(c - node_series(block)->cells()) : -1;
                    int32_t want = scan_hash(block, key, start, skip, op, last, reverse);
                    w.expect(got == want, where + ": hash! find answers " + std::to_string(got) +
                                              ", a scan " + std::to_string(want) + " (op " +
                                              std::to_string(op) + ", type " + std::to_string(int(key.type())) + ")");
                } else {
                    const Cell* c = hashtable_find(t, &key, 0, 1, op, false, false);
                    block = hashtable_record(t)->values;
                    int32_t got = c ? int32_t(c - node_series(block)->cells()) : -1;
                    int32_t want = scan_map(block, key, op, false, nullptr);
                    w.expect(got == want, where + ": map! find answers " + std::to_string(got) +
                                              ", a scan " + std::to_string(want));
                }
            }
            if (o.kind == Kind::Map) {
                std::set<int32_t> walked, scanned;
                int32_t position = -1;
                uint32_t start = 0, step = 0;
                while (const Cell* c = hashtable_find_next(t, &key, &position, &start, &step)) {
                    int32_t at = int32_t(c - node_series(hashtable_record(t)->values)->cells());
                    w.expect(walked.insert(at).second, where + ": the walk met a key twice");
                    w.expect(walked.size() <= n, where + ": the walk does not end");
                }
                scan_map(hashtable_record(t)->values, key, 0, true, &scanned);
                w.expect(walked == scanned, where + ": the walk differs from a scan");
            }
        }
        if (o.kind == Kind::Map) {
            uint32_t live = 0;
            for (bool r : o.removed) live += !r;
            w.expect(hashtable_record(t)->size == live, where + ": map! size " +
                     std::to_string(hashtable_record(t)->size) + " vs " + std::to_string(live) + " live entries");
        }
    }
    // record tables answer every key the model holds, and no other live object
    for (auto& [id, o] : w.objects) {
        if (o.kind != Kind::Records) continue;
        for (const auto& [key, v] : o.recs) {
            const Cell* r = hashtable_get_int(o.node, w.obj(key).node);
            w.expect(r && cell_integer(r) == v && cell_integer(r + 1) == key, "record table answer differs");
        }
        for (int probe = 0; probe < 3; ++probe) {
            auto it = w.objects.begin();
            std::advance(it, w.below(w.objects.size()));
            if (o.recs.count(it->first)) continue;
            w.expect(hashtable_get_int(o.node, it->second.node) == nullptr, "record table answers an absent key");
        }
    }
}

void check_ownership(World& w) {
    for (const auto& [series, owner] : w.owner_of) {
        if (owner < 0 || !w.objects.count(series)) continue;
        const Cell* found = owner_find(w.obj(series).node);
        w.expect(found && found->data1 == w.obj(owner).node, "owner of a series differs");
    }
    for (const auto& [id, o] : w.objects) {
        if ((o.kind != Kind::Block && o.kind != Kind::String) || w.owner_of.count(id)) continue;
        w.expect(owner_find(o.node) == nullptr, "a series the model says nobody owns has an owner");
    }
}

void check_all(World& w) {
    w.checks++;
    w.forget_unreachable();
    check_frames(w);
    CheckPass pass{w, {}, {}};
    pass.run();
    check_tables(w);
    check_ownership(w);
    w.expect(stack_depth() == 0, "the data stack was left with values");
}

// Every node of a live object and of the structures behind it (tables' arrays, contexts' word
// tables and values, the ownership table).
void add_table_nodes(Node t, std::unordered_set<Node>& out) {
    HashTable* r = hashtable_record(t);
    out.insert({t, r->flags, r->keys, r->values});
    if (r->kind == HASH_KIND_HASH) {
        out.insert({r->positions, r->chains});
        Series* list = node_series(r->chains);
        for (uint32_t i = 0; i < list->used() / 4; ++i)
            out.insert(reinterpret_cast<const Node*>(list->head_ptr())[i]);
    }
}

std::unordered_set<Node> live_nodes(World& w) {
    std::unordered_set<Node> out;
    add_table_nodes(g_ownership_table, out);
    for (const auto& [id, o] : w.objects) {
        out.insert(o.node);
        switch (o.kind) {
        case Kind::Hash: case Kind::Map: case Kind::Records: add_table_nodes(o.node, out); break;
        case Kind::Context:
            add_table_nodes(context_word_table(o.node), out);
            out.insert(context_cell(o.node)->data2);
            break;
        default: break;
        }
    }
    return out;
}

// ---- Operations --------------------------------------------------------------------------------------

uint32_t rooted_count(World& w) {
    uint32_t n = 0;
    for (int id : w.slots) n += id >= 0;
    return n;
}
bool room(World& w) { return rooted_count(w) < MAX_ROOTED; }


void op_new_block(World& w) {
    if (!room(w)) return;
    std::vector<MValue> cells;
    for (uint64_t i = 0, n = w.below(8); i < n; ++i) cells.push_back(any_value(w));
    int id = make_block(w, cells);
    w.add_root(id, make_series(T_BLOCK, w.obj(id).node));
}

void op_new_string(World& w) {
    if (!room(w)) return;
    uint32_t units[3] = {1, 2, 4};
    uint32_t unit = units[w.below(3)];
    std::u32string text;
    for (uint64_t i = 0, n = w.below(10); i < n; ++i) text.push_back(char32_t(random_code(w, unit)));
    int id = make_string(w, unit, text);
    w.add_root(id, make_series(T_STRING, w.obj(id).node));
}

void op_drop_root(World& w) {
    std::vector<uint32_t> slots = w.slots_of({});
    if (slots.empty()) return;
    uint32_t slot = w.pick(slots);
    *w.root_cell(slot) = make_cell(T_NONE);
    w.slots[slot] = -1;
}

// A rooted, editable block: its id, or -1.
int editable_block(World& w) {
    std::vector<uint32_t> slots = w.slots_of({Kind::Block}, true);
    return slots.empty() ? -1 : w.slots[w.pick(slots)];
}

void op_block_append(World& w) {
    int id = editable_block(w);
    if (id < 0 || w.obj(id).cells.size() >= MAX_CELLS) return;
    MValue v = any_value(w);
    block_append(w.obj(id).node, w.encode(v));
    w.obj(id).cells.push_back(v);
}

void op_block_insert(World& w) {
    int id = editable_block(w);
    if (id < 0 || w.obj(id).cells.size() >= MAX_CELLS) return;
    MObject& o = w.obj(id);
    uint32_t at = uint32_t(w.below(o.cells.size() + 1));
    MValue v = any_value(w);
    Cell c = w.encode(v);
    reserve_cell(o.node);
    Series* s = node_series(o.node);
    std::memmove(s->cell_at(at + 1), s->cell_at(at), (s->length() - 1 - at) * 16);
    *s->cell_at(at) = c;
    o.cells.insert(o.cells.begin() + at, v);
}

void op_block_remove(World& w) {
    int id = editable_block(w);
    if (id < 0 || w.obj(id).cells.empty()) return;
    MObject& o = w.obj(id);
    uint32_t at = uint32_t(w.below(o.cells.size()));
    Series* s = node_series(o.node);
    std::memmove(s->cell_at(at), s->cell_at(at + 1), (s->length() - at - 1) * 16);
    s->tail -= 16;
    o.cells.erase(o.cells.begin() + at);
}

void op_block_poke(World& w) {
    int id = editable_block(w);
    if (id < 0 || w.obj(id).cells.empty()) return;
    MObject& o = w.obj(id);
    uint32_t at = uint32_t(w.below(o.cells.size()));
    MValue v = any_value(w);
    *node_series(o.node)->cell_at(at) = w.encode(v);
    o.cells[at] = v;
}

void op_block_copy(World& w) {
    std::vector<uint32_t> slots = w.slots_of({Kind::Block});
    if (slots.empty() || !room(w)) return;
    int src = w.slots[w.pick(slots)];
    uint32_t n = uint32_t(w.obj(src).cells.size());
    uint32_t from = uint32_t(w.below(n + 1));
    uint32_t count = uint32_t(w.below(n - from + 1));
    Node copy = copy_series_part(w.obj(src).node, from, count);
    int id = w.new_object(Kind::Block);
    w.obj(id).node = copy;
    w.obj(id).cells.assign(w.obj(src).cells.begin() + from, w.obj(src).cells.begin() + from + count);
    w.add_root(id, make_series(T_BLOCK, copy));
}

int editable_string(World& w) {
    std::vector<uint32_t> slots = w.slots_of({Kind::String}, true);
    return slots.empty() ? -1 : w.slots[w.pick(slots)];
}

void op_string_append(World& w) {
    int id = editable_string(w);
    if (id < 0 || w.obj(id).text.size() > 64) return;
    MObject& o = w.obj(id);
    uint32_t c = random_code(w, o.unit);
    uint8_t* p = reserve_tail_bytes(o.node, o.unit);
    unit_put(p, o.unit, c);
    o.text.push_back(char32_t(c));
}

void op_string_poke(World& w) {
    int id = editable_string(w);
    if (id < 0 || w.obj(id).text.empty()) return;
    MObject& o = w.obj(id);
    uint32_t at = uint32_t(w.below(o.text.size()));
    uint32_t c = random_code(w, o.unit);
    unit_put(node_series(o.node)->head_ptr() + at * o.unit, o.unit, c);
    o.text[at] = char32_t(c);
}

void op_string_remove(World& w) {
    int id = editable_string(w);
    if (id < 0 || w.obj(id).text.empty()) return;
    MObject& o = w.obj(id);
    uint32_t at = uint32_t(w.below(o.text.size()));
    Series* s = node_series(o.node);
    std::memmove(s->head_ptr() + at * o.unit, s->head_ptr() + (at + 1) * o.unit, s->used() - (at + 1) * o.unit);
    s->tail -= o.unit;
    o.text.erase(at, 1);
}

// ---- hash! ----

// A rooted table of the kind: its id, or -1.
int table_of(World& w, Kind k) {
    std::vector<uint32_t> slots = w.slots_of({k});
    return slots.empty() ? -1 : w.slots[w.pick(slots)];
}
Node table_block(World& w, int id) { return hashtable_record(w.obj(id).node)->values; }

void op_new_hash(World& w) {
    if (!room(w)) return;
    uint32_t held = 0;
    std::vector<MValue> cells;
    for (uint64_t i = 0, n = w.below(12); i < n; ++i) cells.push_back(table_key(w, &held));
    Node block = alloc_cells(cells.size() + 1);
    Cell value = make_cell(T_HASH, 0, block, 0);
    int id = w.new_object(Kind::Hash);
    uint32_t slot = w.add_root(id, value);
    write_cells(w, block, cells);
    stack_pop(held);
    Node t = hashtable_make(uint32_t(cells.size()), block, HASH_KIND_HASH, 0);
    w.root_cell(slot)->data3 = t;
    w.obj(id).node = t;
    w.obj(id).cells = cells;
}

// Appends a key cell to the table's block (the key's own objects wait on the data stack).
uint32_t append_key(World& w, int id, const MValue& v) {
    Node block = table_block(w, id);
    block_append(block, w.encode(v));
    return node_series(table_block(w, id))->length() - 1;
}

void hash_put_key(World& w, int id, const MValue& v, uint32_t held) {
    uint32_t at = append_key(w, id, v);
    stack_pop(held);
    w.obj(id).cells.push_back(v);
    if (w.chance(50)) hashtable_put(w.obj(id).node, node_series(table_block(w, id))->cell_at(at));
    else hashtable_index_block(w.obj(id).node, at, 1);
}

void op_hash_put(World& w) {
    int id = table_of(w, Kind::Hash);
    if (id < 0 || w.obj(id).cells.size() >= MAX_CELLS) return;
    uint32_t held = 0;
    MValue v = table_key(w, &held);
    hash_put_key(w, id, v, held);
}

void op_hash_insert(World& w) {
    int id = table_of(w, Kind::Hash);
    if (id < 0 || w.obj(id).cells.size() >= MAX_CELLS) return;
    MObject& o = w.obj(id);
    uint32_t held = 0;
    MValue v = table_key(w, &held);
    uint32_t at = uint32_t(w.below(o.cells.size() + 1));
    Cell c = w.encode(v);
    Node block = table_block(w, id);
    reserve_cell(block);
    Series* s = node_series(block);
    uint32_t moved = s->length() - 1 - at;
    std::memmove(s->cell_at(at + 1), s->cell_at(at), moved * 16);
    *s->cell_at(at) = c;
    stack_pop(held);
    o.cells.insert(o.cells.begin() + at, v);
    if (hashtable_shift_indexes(o.node, 1, at, moved) != 0) hashtable_rebuild(o.node, uint32_t(o.cells.size()));
    hashtable_put(o.node, node_series(table_block(w, id))->cell_at(at));
}

void op_hash_remove(World& w) {
    int id = table_of(w, Kind::Hash);
    if (id < 0 || w.obj(id).cells.empty()) return;
    MObject& o = w.obj(id);
    uint32_t at = uint32_t(w.below(o.cells.size()));
    hashtable_remove_range(o.node, at, 1);
    Series* s = node_series(table_block(w, id));
    uint32_t moved = s->length() - at - 1;
    std::memmove(s->cell_at(at), s->cell_at(at + 1), moved * 16);
    s->tail -= 16;
    o.cells.erase(o.cells.begin() + at);
    if (hashtable_shift_indexes(o.node, -1, at + 1, moved) != 0)
        hashtable_rebuild(o.node, uint32_t(o.cells.size()));
}

void op_hash_poke(World& w) {
    int id = table_of(w, Kind::Hash);
    if (id < 0 || w.obj(id).cells.empty()) return;
    MObject& o = w.obj(id);
    uint32_t held = 0;
    MValue v = table_key(w, &held);
    uint32_t at = uint32_t(w.below(o.cells.size()));
    hashtable_remove_range(o.node, at, 1);
    *node_series(table_block(w, id))->cell_at(at) = w.encode(v);
    stack_pop(held);
    o.cells[at] = v;
    hashtable_put(o.node, node_series(table_block(w, id))->cell_at(at));
}

void op_hash_move(World& w) {
    int id = table_of(w, Kind::Hash);
    if (id < 0 || w.obj(id).cells.size() < 2) return;
    MObject& o = w.obj(id);
    uint32_t n = uint32_t(o.cells.size());
    uint32_t count = 1 + uint32_t(w.below(n / 2));
    uint32_t from = uint32_t(w.below(n - count + 1));
    uint32_t to = uint32_t(w.below(n - count + 1));
    std::vector<MValue> moved(o.cells.begin() + from, o.cells.begin() + from + count);
    o.cells.erase(o.cells.begin() + from, o.cells.begin() + from + count);
    o.cells.insert(o.cells.begin() + to, moved.begin(), moved.end());
    Series* s = node_series(table_block(w, id));
    std::vector<Cell> tmp(s->cells(), s->cells() + n);
    std::vector<Cell> part(tmp.begin() + from, tmp.begin() + from + count);
    tmp.erase(tmp.begin() + from, tmp.begin() + from + count);
    tmp.insert(tmp.begin() + to, part.begin(), part.end());
    std::memcpy(s->cells(), tmp.data(), n * 16);
    hashtable_move_indexes(o.node, from, to, count);
}

void op_hash_reindex(World& w) {
    int id = table_of(w, Kind::Hash);
    if (id < 0) return;
    MObject& o = w.obj(id);
    uint32_t n = uint32_t(o.cells.size());
    switch (w.below(3)) {
    case 0: hashtable_rebuild(o.node, n); break;
    case 1: hashtable_refresh(o.node, n); break;
    default:
        hashtable_remove_range(o.node, 0, n);
        hashtable_index_block(o.node, 0, 1);
        break;
    }
    // indexing again what is indexed adds nothing
    if (w.chance(30)) hashtable_index_block(o.node, uint32_t(w.below(n + 1)), 1);
}

// ---- map! ----

// Applies the pairs from `first` on to the model as indexing does: a key strictly equal to an
// earlier one gives that entry the later value (bringing a removed entry back) and the later pair
// goes; a key without a value stays alone at the end.
void model_index_pairs(World& w, MObject& o, size_t first) {
    size_t i = first;
    while (i < o.cells.size()) {
        int64_t present = -1;
        for (size_t k = 0; k < i; k += 2)
            if (strict_equal(w, o.cells[k], o.cells[i], true)) {
                present = int64_t(k);
                break;
            }
        if (present < 0) {
            if (i / 2 >= o.removed.size()) o.removed.push_back(false);
            i += 2;
            continue;
        }
        if (i + 1 < o.cells.size()) {
            o.cells[size_t(present) + 1] = o.cells[i + 1];
            o.removed[size_t(present) / 2] = false;
        }
        size_t cut = std::min<size_t>(2, o.cells.size() - i);
        o.cells.erase(o.cells.begin() + i, o.cells.begin() + i + cut);
    }
}

void op_new_map(World& w) {
    if (!room(w)) return;
    uint32_t held = 0;
    std::vector<MValue> cells;
    uint64_t pairs = w.below(8);
    for (uint64_t i = 0; i < pairs; ++i) {
        if (i && w.chance(20)) cells.push_back(cells[2 * w.below(i)]);  // a repeated key
        else cells.push_back(table_key(w, &held));
        cells.push_back(any_value(w));
    }
    Node block = alloc_cells(cells.size() + 1);
    int id = w.new_object(Kind::Map);
    uint32_t slot = w.add_root(id, make_cell(T_MAP, 0, block, 0));
    write_cells(w, block, cells);
    stack_pop(held);
    Node t = hashtable_make(uint32_t(pairs), block, HASH_KIND_MAP, 0);
    w.root_cell(slot)->data3 = t;
    MObject& o = w.obj(id);
    o.node = t;
    o.cells = cells;
    model_index_pairs(w, o, 0);
}

// Appends the pair and indexes it; `held` values wait on the data stack until it is stored.
void map_put_key(World& w, int id, const MValue& key, uint32_t held) {
    MObject& o = w.obj(id);
    MValue value = any_value(w);
    uint32_t first = append_key(w, id, key);
    append_key(w, id, value);
    stack_pop(held);
    o.cells.push_back(key);
    o.cells.push_back(value);
    hashtable_index_block(o.node, first, 2);
    model_index_pairs(w, o, first);
}

void op_map_put(World& w) {
    int id = table_of(w, Kind::Map);
    if (id < 0 || w.obj(id).cells.size() >= MAX_CELLS) return;
    MObject& o = w.obj(id);
    uint32_t held = 0;
    MValue key = o.cells.size() >= 2 && w.chance(40) ? o.cells[2 * w.below(o.cells.size() / 2)] : table_key(w, &held);
    map_put_key(w, id, key, held);
}

void op_map_remove(World& w) {
    int id = table_of(w, Kind::Map);
    if (id < 0 || w.obj(id).cells.size() < 2) return;
    MObject& o = w.obj(id);
    uint32_t pair = uint32_t(w.below(o.cells.size() / 2));
    hashtable_delete(o.node, node_series(table_block(w, id))->cell_at(2 * pair));
    o.removed[pair] = true;
}

void op_map_resize(World& w) {
    int id = table_of(w, Kind::Map);
    if (id < 0) return;
    MObject& o = w.obj(id);
    switch (w.below(3)) {
    case 0: hashtable_resize(o.node, uint32_t(w.below(64))); break;
    case 1: hashtable_rebuild(o.node, uint32_t(w.below(32))); break;
    default: hashtable_refresh(o.node, uint32_t(o.cells.size())); break;
    }
}

// ---- contexts ----

void op_new_context(World& w) {
    if (!room(w)) return;
    Node ctx = context_make(uint32_t(w.below(6)), false, false, 0, CONTEXT_OBJECT);
    int id = w.new_object(Kind::Context);
    w.obj(id).node = ctx;
    w.add_root(id, make_cell(T_OBJECT, ctx, 0, 0));
}

void op_context_put(World& w) {
    std::vector<uint32_t> slots = w.slots_of({Kind::Context});
    if (slots.empty()) return;
    int id = w.slots[w.pick(slots)];
    uint32_t sym = w.pick(w.symbols);
    MValue v = any_value(w);
    Cell word = make_cell(T_WORD, 0, sym, uint32_t(-1));
    Cell value = w.encode(v);
    context_put_word_value(w.obj(id).node, &word, &value);
    MObject& o = w.obj(id);
    uint32_t canon = w.word_canon(sym);
    for (Field& f : o.fields)
        if (f.canon == canon) {
            f.value = v;
            return;
        }
    o.fields.push_back({sym, canon, v});
}

void model_bind(World& w, int block, int ctx, std::set<int>& active) {
    if (!active.insert(block).second) return;
    MObject& c = w.obj(ctx);
    for (size_t i = 0; i < w.obj(block).cells.size(); ++i) {
        MValue& v = w.obj(block).cells[i];
        if (v.kind == VK::Word && v.type != T_ISSUE) {
            uint32_t canon = w.word_canon(uint32_t(v.i));
            for (uint32_t k = 0; k < c.fields.size(); ++k)
                if (c.fields[k].canon == canon) {
                    v.ref = ctx;
                    v.index = k;
                    break;
                }
        } else if (v.kind == VK::Block) {
            model_bind(w, v.ref, ctx, active);
        }
    }
    active.erase(block);
}

void op_bind(World& w) {
    int block = editable_block(w);
    std::vector<uint32_t> ctxs = w.slots_of({Kind::Context});
    if (block < 0 || ctxs.empty()) return;
    int ctx = w.slots[w.pick(ctxs)];
    // nested blocks may be frozen table keys only inside tables, never inside plain blocks
    Cell value = make_series(T_BLOCK, w.obj(block).node);
    bind_block(&value, w.obj(ctx).node, false);
    std::set<int> active;
    model_bind(w, block, ctx, active);
}

// ---- ownership ----

void model_own(World& w, int id, int owner, std::set<int>& walked) {
    if (!walked.insert(id).second) return;
    MObject& o = w.obj(id);
    w.owned_flag.insert(id);
    auto it = w.owner_of.find(id);
    if (it == w.owner_of.end()) w.owner_of[id] = owner;
    if (o.kind != Kind::Block) return;
    for (const MValue& v : o.cells)
        if (v.kind == VK::Block || v.kind == VK::String) model_own(w, v.ref, owner, walked);
}

void op_set_owner(World& w) {
    std::vector<uint32_t> blocks = w.slots_of({Kind::Block, Kind::String});
    std::vector<uint32_t> ctxs = w.slots_of({Kind::Context});
    if (blocks.empty() || ctxs.empty()) return;
    uint32_t slot = w.pick(blocks);
    int id = w.slots[slot];
    int owner = w.slots[w.pick(ctxs)];
    Cell owner_cell = make_cell(T_OBJECT, w.obj(owner).node, 0, 0);
    Cell word = make_cell(T_WORD, 0, w.pick(w.symbols), uint32_t(-1));
    set_owner_deep(w.root_cell(slot), &owner_cell, &word);
    std::set<int> walked;
    model_own(w, id, owner, walked);
}

// ---- record tables ----

void op_new_records(World& w) {
    if (!room(w)) return;
    Node t = hashtable_make(uint32_t(w.below(8)), 0, HASH_KIND_RECORDS, 2);
    int id = w.new_object(Kind::Records);
    w.obj(id).node = t;
    w.add_root(id, Cell{uint32_t(T_CONTEXT) | CELL_CTX_ON_STACK, t, 0, 0});
}

void op_records_edit(World& w) {
    int id = table_of(w, Kind::Records);
    std::vector<uint32_t> keys = w.slots_of({Kind::Block, Kind::String});
    if (id < 0) return;
    MObject& o = w.obj(id);
    uint64_t r = w.below(20);
    if (r < 12 && !keys.empty()) {
        int key = w.slots[w.pick(keys)];
        int32_t v = int32_t(w.below(1000));
        Cell* cells = hashtable_put_int(o.node, w.obj(key).node);
        cells[0] = make_integer(v);
        cells[1] = make_integer(key);
        o.recs[key] = v;
    } else if (r < 18 && !o.recs.empty()) {
        auto it = o.recs.begin();
        std::advance(it, w.below(o.recs.size()));
        Cell* cells = hashtable_delete_int(o.node, w.obj(it->first).node);
        w.expect(cells != nullptr, "a record to delete is missing");
        o.recs.erase(it);
    } else if (r == 18) {
        hashtable_clear(o.node);
        o.recs.clear();
    } else {
        hashtable_rebuild_records(o.node, uint32_t(w.below(16)));
    }
}

// ---- growable arrays ----

void op_new_array(World& w) {
    if (!room(w)) return;
    Node a = alloc_units(4, 4);
    int id = w.new_object(Kind::Array);
    w.obj(id).node = a;
    w.add_root(id, make_series(T_BINARY, a));
}

void op_array_edit(World& w) {
    int id = table_of(w, Kind::Array);
    if (id < 0) return;
    MObject& o = w.obj(id);
    uint64_t r = w.below(10);
    uint32_t n = uint32_t(o.arr.size());
    if (r < 5 && n < 200) {
        uint32_t v = uint32_t(w.below(50));
        array_append(o.node, v);
        o.arr.push_back(v);
    } else if (r < 7 && n) {
        uint32_t i = uint32_t(w.below(n));
        uint32_t v = uint32_t(w.below(50));
        array_poke(o.node, i + 1, v);
        o.arr[i] = v;
    } else if (r < 9 && n) {
        uint32_t i = uint32_t(w.below(n));
        array_remove_bytes(o.node, i * 4, 4);
        o.arr.erase(o.arr.begin() + i);
    } else if (r == 9) {
        uint32_t v = uint32_t(w.below(50));
        auto it = std::find(o.arr.begin(), o.arr.end(), v);
        int32_t want = it == o.arr.end() ? -1 : int32_t((it - o.arr.begin()) * 4);
        w.expect(array_find(o.node, v) == want, "array_find differs");
    }
}

// ---- sorting with a comparison that allocates ----

// The order: by type, then by payload for scalars; references of one type are equal.
std::tuple<int, int64_t, double> sort_key_cell(const Cell* c) {
    switch (c->type()) {
    case T_INTEGER: return {c->type(), cell_integer(c), 0};
    case T_FLOAT: case T_PERCENT: return {c->type(), 0, c->get_float()};
    case T_CHAR: case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT:
    case T_ISSUE: return {c->type(), c->data2, 0};
    case T_LOGIC: return {c->type(), c->data1, 0};
    default: return {c->type(), 0, 0};
    }
}
std::tuple<int, int64_t, double> sort_key_model(const MValue& v) {
    switch (v.kind) {
    case VK::Integer: case VK::Char: case VK::Word: case VK::Logic: return {v.type, v.i, 0};
    case VK::Float: case VK::Percent: return {v.type, 0, v.f};
    default: return {v.type, 0, 0};
    }
}

uint64_t g_sort_allocations = 0;

int sort_compare(const void* x, const void* y, intptr_t, intptr_t) {
    // read the records first: the allocation below may collect
    auto a = sort_key_cell(static_cast<const Cell*>(x));
    auto b = sort_key_cell(static_cast<const Cell*>(y));
    alloc_bytes(16 + 16 * (g_sort_allocations++ % 5));  // garbage: collections while sorting
    return a < b ? -1 : (b < a ? 1 : 0);
}

void op_sort(World& w) {
    int id = editable_block(w);
    if (id < 0) return;
    MObject& o = w.obj(id);
    uint32_t n = uint32_t(o.cells.size());
    uint32_t from = uint32_t(w.below(n + 1));
    uint32_t count = uint32_t(w.below(n - from + 1));
    Cell block = make_series(T_BLOCK, o.node);
    auto less = [](const MValue& a, const MValue& b) { return sort_key_model(a) < sort_key_model(b); };
    if (w.chance(50)) {
        sort_merge_series(&block, from * 16, count, 16, 0, 0, sort_compare);
        std::stable_sort(o.cells.begin() + from, o.cells.begin() + from + count, less);
        return;
    }
    sort_unstable_series(&block, from * 16, count, 16, 0, 0, sort_compare);
    // the runtime's order is taken into the model: sorted, and the same values
    std::vector<MValue> left(o.cells.begin() + from, o.cells.begin() + from + count);
    for (uint32_t i = 0; i < count; ++i) {
        const Cell c = *node_series(o.node)->cell_at(from + i);
        auto it = std::find_if(left.begin(), left.end(),
                               [&](const MValue& v) { return World::same_cell(w.encode(v), c); });
        w.expect(it != left.end(), "sorting lost or made up a value");
        o.cells[from + i] = *it;
        left.erase(it);
    }
    w.expect(std::is_sorted(o.cells.begin() + from, o.cells.begin() + from + count, less), "not sorted");
}

// ---- collections ----

void op_collect(World& w) {
    w.forget_unreachable();
    std::map<Node, int> dead = w.pending_dead;
    w.pending_dead.clear();
    collector_cycle();
    w.collections++;
    {
        // exactly the unreachable buffers went: each dead object's node is free, or was taken again
        // by a buffer that is live now. Checked before anything allocates again (the checks'
        // look-ups re-index stale tables, which leaves garbage behind).
        CheckPass pass{w, {}, {}};
        pass.run();  // nodes as the collection left them; no look-up, no allocation
        std::unordered_set<Node> live = live_nodes(w);
        for (const auto& [node, id] : dead) {
            if (!node_slot_used(node) || live.count(node)) continue;
            Series* s = node_series(node);
            w.fail("object " + std::to_string(id) + " is unreachable but its buffer was kept (node " +
                   std::to_string(node) + ", unit " + std::to_string(s->unit()) + ", " +
                   std::to_string(s->used()) + " bytes used)");
        }
    }
    check_all(w);
    // records of owners that died are gone now; an unknown record reads as what the runtime holds
    for (auto it = w.owner_of.begin(); it != w.owner_of.end(); ++it) {
        if (it->second != -2) continue;
        const Cell* found = owner_find(w.obj(it->first).node);
        it->second = -3;
        if (found)
            for (const auto& [id, o] : w.objects)
                if (o.kind == Kind::Context && o.node == found->data1) it->second = id;
        w.expect(!found || it->second >= 0, "an ownership record outlived its owner");
    }
    for (auto it = w.owner_of.begin(); it != w.owner_of.end();)
        it = it->second == -3 ? w.owner_of.erase(it) : std::next(it);
}

// Garbage fills every node frame, new objects land in a fresh frame, the garbage goes: that frame
// is sparse, and after enough collections that leave it unchanged the collector moves its nodes
// out (renumbering them), which the checks after each collection follow. Too slow under
// KEL_GC_STRESS=1 (every one of the ten thousand allocations collects), so not run there.
void op_renumber(World& w) {
    if (g_collector_stress) return;
    {
        Rooted garbage(make_series(T_BLOCK, alloc_cells(NODES_PER_FRAME + 16)));
        NodeFrame* last = g_memory.node_last;
        while (g_memory.node_last == last) block_append(series_node(garbage.get()), make_series(T_STRING, alloc_bytes(16)));
        while (!room(w)) op_drop_root(w);
        void (*makers[])(World&) = {op_new_block, op_new_string, op_new_hash, op_new_map, op_new_context,
                                    op_new_records, op_new_array};
        for (int i = 0; i < 6; ++i) makers[w.below(std::size(makers))](w);
        for (int i = 0; i < 6; ++i) {
            void (*editors[])(World&) = {op_block_append, op_hash_put, op_map_put, op_context_put,
                                         op_records_edit, op_bind, op_set_owner};
            editors[w.below(std::size(editors))](w);
        }
    }
    // a function whose body lives in the frame to be emptied, as a key of a map! and a hash!
    int body = -1;
    if (room(w)) {
        body = make_block(w, {});
        w.add_root(body, make_series(T_BLOCK, w.obj(body).node));
    }
    int map = table_of(w, Kind::Map), hash = table_of(w, Kind::Hash);
    MValue fn;
    fn.kind = VK::Function; fn.type = T_FUNCTION; fn.ref = body;
    if (body >= 0 && map >= 0) map_put_key(w, map, fn, 0);
    if (body >= 0 && hash >= 0) hash_put_key(w, hash, fn, 0);
    op_collect(w);
    uint32_t before = g_node_compactions;
    for (int i = 0; i < 8 && g_node_compactions == before; ++i) collector_cycle();
    // the tables, stale now, take the same key again before anything else uses them; the check
    // after the next collection reads the renumbered nodes
    w.collections++;
    w.forget_unreachable();
    CheckPass pass{w, {}, {}};
    pass.run();  // values and nodes, without a table look-up
    if (body >= 0 && map >= 0) map_put_key(w, map, fn, 0);
    if (body >= 0 && hash >= 0) hash_put_key(w, hash, fn, 0);
    op_collect(w);
}

// ---- object change handlers ----
//
// A handler record hangs off an object cell (word 3) and off the copy in its context's owner cell;
// once the object owns its series it also hangs off the owner cells of the ownership table. The
// collector keeps it alive through all of them and renumbers it with them. Each record made here
// carries its root slot in cell 0's count and a fixed mark in cell 1's count, so a lost, moved or
// overwritten record shows.

constexpr uint32_t HANDLER_RECORD_MARK = 0x0ACE;

void check_handler_records(World& w) {
    for (uint32_t slot : w.slots_of({Kind::Context})) {
        const Cell* obj = w.root_cell(slot);
        Node record = obj->data3;
        if (!record) continue;
        Series* s = node_series(record);
        w.expect(s && s->node == record && s->length() == 2, "a handler record was lost");
        const Cell* change = s->cell_at(0);
        const Cell* deep = s->cell_at(1);
        w.expect(change->is(T_PAIR) && deep->is(T_PAIR), "a handler record holds other cells");
        w.expect((change->data2 & 0xFFFF) == (slot & 0xFFF) && (deep->data2 & 0xFFFF) == HANDLER_RECORD_MARK,
                 "a handler record's counts changed");
        w.expect(context_owner(obj->data1)->data3 == record, "the owner cell lost the handler record");
    }
}

void op_attach_handlers(World& w) {
    check_handler_records(w);
    std::vector<uint32_t> ctxs = w.slots_of({Kind::Context});
    if (ctxs.empty()) return;
    uint32_t slot = w.pick(ctxs);
    int id = w.slots[slot];
    bool deep = !w.obj(id).fields.empty() && w.chance(50);
    stack_push(*w.root_cell(slot));
    object_attach_handlers(w.obj(id).node, -1, int32_t(slot & 0xFFF), deep ? 0 : -1,
                           int32_t(HANDLER_RECORD_MARK));
    *w.root_cell(slot) = *stack_top();   // the roots may have moved while the record was made
    stack_pop();
    // the record may have taken the node of an object the world dropped (collection stress frees
    // it at once): that node is the record's now, not a dropped buffer kept alive
    w.forget_unreachable();
    if (Node record = w.root_cell(slot)->data3) w.pending_dead.erase(record);
    if (!deep) return;
    // the object now owns every series in its fields
    std::set<int> walked;
    for (const Field& f : w.obj(id).fields)
        if (f.value.kind == VK::Block || f.value.kind == VK::String) model_own(w, f.value.ref, id, walked);
}

void op_collect_then_check_handlers(World& w) {
    op_collect(w);
    check_handler_records(w);
}

// ---- bitset! and vector! ----
//
// A bitset or an integer!/char! vector is a model String object (unit 1 for a bitset, the element
// width for a vector) whose text holds the stored units; its root cell is a string! over the same
// buffer, so the world's checks compare every byte and node. arr tags the object: {1, complement
// flag} for a bitset, {2, element type} for a vector. The objects are frozen, so that the core's
// string operations leave them alone; the rows below edit them through the datatypes' actions.

constexpr uint32_t TAG_BITSET = 1, TAG_VECTOR = 2;

std::vector<uint32_t> tagged(World& w, uint32_t tag) {
    std::vector<uint32_t> out;
    for (uint32_t slot : w.slots_of({Kind::String}))
        if (!w.obj(w.slots[slot]).arr.empty() && w.obj(w.slots[slot]).arr[0] == tag) out.push_back(slot);
    return out;
}

// Rooted strings that hold text (not the bitsets and vectors below, whose units are raw bytes).
std::vector<uint32_t> text_slots(World& w) {
    std::vector<uint32_t> out;
    for (uint32_t slot : w.slots_of({Kind::String}))
        if (w.obj(w.slots[slot]).arr.empty()) out.push_back(slot);
    return out;
}

int add_tagged(World& w, Node node, uint32_t unit, const std::u32string& text, uint32_t tag, uint32_t info) {
    int id = w.new_object(Kind::String);
    MObject& o = w.obj(id);
    o.node = node;
    o.unit = unit;
    o.text = text;
    o.frozen = true;
    o.arr = {tag, info};
    w.add_root(id, make_series(T_STRING, node));
    return id;
}

// The plain model of a bitset: its bytes and flag.
struct MBits {
    std::vector<uint8_t> bytes;
    bool comp = false;
    bool has(int64_t n) const {
        if (n < 0 || uint64_t(n >> 3) >= bytes.size()) return comp;
        return bytes[size_t(n >> 3)] & (0x80 >> (n & 7));
    }
    void grow(uint64_t n) {
        if (n > bytes.size()) bytes.resize(n, comp ? 0xFF : 0x00);
    }
    void put(int64_t n, bool on) {
        if (uint64_t(n >> 3) >= bytes.size()) return;
        if (on) bytes[size_t(n >> 3)] |= uint8_t(0x80 >> (n & 7));
        else bytes[size_t(n >> 3)] &= uint8_t(~(0x80 >> (n & 7)));
    }
};

MBits bits_model(World& w, int id) {
    MBits m;
    for (char32_t c : w.obj(id).text) m.bytes.push_back(uint8_t(c));
    m.comp = w.obj(id).arr[1] != 0;
    return m;
}

void store_bits(World& w, int id, const MBits& m) {
    MObject& o = w.obj(id);
    o.text.assign(m.bytes.begin(), m.bytes.end());
    o.arr[1] = m.comp;
    w.expect(bool(node_series(o.node)->flags & BITSET_COMPLEMENT) == m.comp, "bitset complement flag differs");
}

// A random run of numbers: singles and low - high ranges, as a block on the data stack and as
// pairs in the model.
Cell* number_spec(World& w, std::vector<std::pair<int64_t, int64_t>>& runs) {
    Cell* spec = stack_push(make_series(T_BLOCK, alloc_cells(8)));
    for (uint64_t i = 0, n = 1 + w.below(4); i < n; ++i) {
        int64_t lo = int64_t(w.below(w.chance(10) ? 2000 : 100));
        if (w.chance(30)) {
            int64_t hi = lo + int64_t(w.below(40));
            block_append(series_node(spec), make_integer(int32_t(lo)));
            block_append(series_node(spec), make_cell(T_WORD, 0, sym(Sym::Minus), uint32_t(-1)));
            block_append(series_node(spec), make_integer(int32_t(hi)));
            runs.push_back({lo, hi});
        } else if (w.chance(20)) {
            block_append(series_node(spec), make_cell(T_CHAR, 0, uint32_t(lo), 0));
            runs.push_back({lo, lo});
        } else {
            block_append(series_node(spec), make_integer(int32_t(lo)));
            runs.push_back({lo, lo});
        }
    }
    return spec;
}

uint64_t runs_bytes(const std::vector<std::pair<int64_t, int64_t>>& runs) {
    int64_t top = -1;
    for (auto [lo, hi] : runs) top = std::max(top, hi);
    return std::max<uint64_t>(uint64_t(top + 8) >> 3, 1);
}

void op_new_bitset(World& w) {
    if (!room(w)) return;
    std::vector<std::pair<int64_t, int64_t>> runs;
    Cell* spec = number_spec(w, runs);
    bool comp = w.chance(30);
    if (comp) {
        // [not ...]
        Cell* full = stack_push(make_series(T_BLOCK, alloc_cells(8)));
        block_append(series_node(full), make_cell(T_WORD, 0, sym(Sym::Not), uint32_t(-1)));
        uint32_t n = value_series(spec)->length();
        for (uint32_t i = 0; i < n; ++i) {
            Cell c = *value_series(spec)->cell_at(i);
            block_append(series_node(full), c);
        }
        *spec = *full;
        stack_pop();
    }
    Cell* out = stack_push(make_none());
    action_impl<A_MAKE>(T_BITSET)(out, spec, T_BITSET);
    MBits m;
    m.comp = comp;
    m.bytes.assign(runs_bytes(runs), comp ? 0xFF : 0x00);
    for (auto [lo, hi] : runs)
        for (int64_t n = lo; n <= hi; ++n) m.put(n, !comp);
    Node node = series_node(out);
    stack_pop(2);
    int id = add_tagged(w, node, 1, {}, TAG_BITSET, comp);
    store_bits(w, id, m);
}

// An edit of a rooted bitset through its actions, checked against the model and, for the set
// algebra, against the memberships of its operands.
void op_bitset_edit(World& w) {
    std::vector<uint32_t> slots = tagged(w, TAG_BITSET);
    if (slots.empty()) return;
    uint32_t slot = w.pick(slots);
    int id = w.slots[slot];
    MBits m = bits_model(w, id);
    Cell* b = stack_push(make_cell(T_BITSET, 0, w.root_cell(slot)->data2, 0));
    switch (w.below(6)) {
    case 0: case 1: {   // append, or remove/key
        std::vector<std::pair<int64_t, int64_t>> runs;
        Cell* spec = number_spec(w, runs);
        bool remove = w.chance(40);
        bool on = remove ? m.comp : true;
        if (remove) action_impl<A_REMOVE>(T_BITSET)(b, nullptr, spec);
        else action_impl<A_APPEND>(T_BITSET)(b, spec, -1, false, 1, true);
        if (on || m.comp) m.grow(runs_bytes(runs));
        for (auto [lo, hi] : runs)
            for (int64_t n = lo; n <= hi; ++n) m.put(n, on);
        stack_pop();
        break;
    }
    case 2: {   // poke
        int32_t n = int32_t(w.below(300));
        bool on = w.chance(50);
        Cell* v = stack_push(make_logic(on));
        action_impl<A_POKE>(T_BITSET)(b, n, v);
        if (on || m.comp) m.grow(uint64_t(n + 8) >> 3);
        m.put(n, on);
        stack_pop();
        break;
    }
    case 3: {   // clear
        action_impl<A_CLEAR>(T_BITSET)(b);
        std::fill(m.bytes.begin(), m.bytes.end(), m.comp ? 0xFF : 0x00);
        break;
    }
    default: {  // complement or a set operation: a new bitset
        if (!room(w)) break;
        int other = w.slots[w.pick(slots)];
        MBits o = bits_model(w, other);
        Cell* x = stack_push(make_cell(T_BITSET, 0, w.obj(other).node, 0));
        int32_t op = w.chance(20) ? 0 : int32_t(5 + w.below(8));
        if (op == 8) op = 9;
        if (op == 0) action_impl<A_COMPLEMENT>(T_BITSET)(b);
        else bitset_set_operation(b, x, op);
        auto combine = [op](bool p, bool q) {
            switch (op) {
            case 0: return !p;
            case 5: case 9: return p || q;
            case 6: case 10: return p && q;
            case 7: case 12: return p != q;
            default: return p && !q;
            }
        };
        MBits r;
        r.comp = combine(m.comp, o.comp);
        size_t len = op == 0 ? m.bytes.size() : std::max(m.bytes.size(), o.bytes.size());
        if (op == 6 && !m.comp && !o.comp) len = std::min(m.bytes.size(), o.bytes.size());
        for (size_t i = 0; i < len; ++i) {
            uint8_t byte = 0;
            for (int k = 0; k < 8; ++k)
                if (combine(m.has(int64_t(i * 8 + k)), o.has(int64_t(i * 8 + k)))) byte |= uint8_t(0x80 >> k);
            r.bytes.push_back(byte);
        }
        for (int probe = 0; probe < 4; ++probe) {
            int64_t n = int64_t(w.below(len * 8 + 64));
            if (op == 6 && !m.comp && !o.comp) continue;
            w.expect(r.has(n) == combine(m.has(n), o.has(n)), "set operation membership differs");
        }
        Node node = series_node(b);
        stack_pop(2);
        int fresh = add_tagged(w, node, 1, {}, TAG_BITSET, r.comp);
        store_bits(w, fresh, r);
        return;
    }
    }
    stack_pop();
    store_bits(w, id, m);
}

// ---- vectors of integer! and char! elements ----

int64_t vec_read(uint32_t raw, TypeId type, uint32_t width) {
    if (type == T_CHAR) return raw;
    return width == 1 ? int8_t(raw) : width == 2 ? int16_t(raw) : int32_t(raw);
}
uint32_t vec_raw(int64_t v, uint32_t width) {
    uint32_t r = uint32_t(v);
    return width == 4 ? r : r & ((1u << (width * 8)) - 1);
}
int64_t vec_random(World& w, TypeId type, uint32_t width) {
    if (type == T_CHAR) return int64_t(w.below(width == 4 ? 0x110000 : (1u << (width * 8))));
    return w.chance(70) ? int64_t(w.below(21)) - 10 : int64_t(int32_t(uint32_t(w.rng())));
}
Cell vec_value(int64_t v, TypeId type) {
    return type == T_CHAR ? make_cell(T_CHAR, 0, uint32_t(v), 0) : make_integer(int32_t(v));
}

void op_new_vector(World& w) {
    if (!room(w)) return;
    TypeId type = w.chance(70) ? T_INTEGER : T_CHAR;
    uint32_t width = 1u << w.below(3);
    Cell* spec = stack_push(make_series(T_BLOCK, alloc_cells(4)));
    Cell* values = stack_push(make_series(T_BLOCK, alloc_cells(8)));
    std::u32string text;
    for (uint64_t i = 0, n = w.below(8); i < n; ++i) {
        int64_t v = vec_random(w, type, width);
        block_append(series_node(values), vec_value(v, type));
        text.push_back(char32_t(vec_raw(v, width)));
    }
    block_append(series_node(spec), g_datatypes[type].word);
    block_append(series_node(spec), make_integer(int32_t(width * 8)));
    block_append(series_node(spec), *values);
    Cell* out = stack_push(make_none());
    action_impl<A_MAKE>(T_VECTOR)(out, spec, T_VECTOR);
    Node node = series_node(out);
    stack_pop(3);
    add_tagged(w, node, width, text, TAG_VECTOR, type);
}

void op_vector_edit(World& w) {
    std::vector<uint32_t> slots = tagged(w, TAG_VECTOR);
    if (slots.empty()) return;
    uint32_t slot = w.pick(slots);
    int id = w.slots[slot];
    MObject& o = w.obj(id);
    TypeId type = TypeId(o.arr[1]);
    uint32_t width = o.unit;
    std::u32string& t = o.text;
    uint32_t len = uint32_t(t.size());
    uint32_t at = uint32_t(w.below(len + 1));
    Cell* v = stack_push(make_cell(T_VECTOR, at, w.root_cell(slot)->data2, type));
    auto run = [&](uint64_t n, std::u32string& raws) {
        Cell* b = stack_push(make_series(T_BLOCK, alloc_cells(8)));
        for (uint64_t i = 0; i < n; ++i) {
            int64_t x = vec_random(w, type, width);
            block_append(series_node(b), vec_value(x, type));
            raws.push_back(char32_t(vec_raw(x, width)));
        }
        return b;
    };
    switch (w.below(6)) {
    case 0: {   // append or insert
        if (len > 40) break;
        std::u32string raws;
        Cell* b = run(w.below(4), raws);
        int32_t dup = int32_t(1 + w.below(2));
        bool append = w.chance(50);
        action_impl<A_INSERT>(T_VECTOR)(v, b, -1, false, dup, append);
        std::u32string all;
        for (int32_t k = 0; k < dup; ++k) all += raws;
        uint32_t pos = append ? len : at;
        if (!raws.empty()) {
            t.insert(pos, all);
            w.expect(series_index(v) == (append ? at : pos + all.size()), "vector insert position differs");
        }
        stack_pop();
        break;
    }
    case 1: {   // change with or without /part
        if (len > 40) break;
        std::u32string raws;
        Cell* b = run(1 + w.below(3), raws);
        int32_t part = w.chance(50) ? int32_t(w.below(4)) : -1;
        action_impl<A_CHANGE>(T_VECTOR)(v, b, part, false, 1);
        uint32_t replaced = std::min<uint32_t>(part >= 0 ? uint32_t(part) : uint32_t(raws.size()), len - at);
        t.replace(at, replaced, raws);
        w.expect(series_index(v) == at + raws.size(), "vector change position differs");
        stack_pop();
        break;
    }
    case 2: {   // poke
        if (len == 0) break;
        uint32_t i = uint32_t(w.below(len));
        int64_t x = vec_random(w, type, width);
        Cell* val = stack_push(vec_value(x, type));
        v->data1 = 0;
        action_impl<A_POKE>(T_VECTOR)(v, int32_t(i + 1), val);
        t[i] = char32_t(vec_raw(x, width));
        stack_pop();
        break;
    }
    case 3: {   // remove with /part
        Cell* part = stack_push(make_integer(int32_t(w.below(4))));
        action_impl<A_REMOVE>(T_VECTOR)(v, part, nullptr);
        t.erase(at, std::min<uint32_t>(uint32_t(cell_integer(part)), len - at));
        stack_pop();
        break;
    }
    case 4: {   // in-place scalar math from the index
        if (type == T_CHAR) break;
        int32_t k = int32_t(w.below(7)) - 3;
        Cell* val = stack_push(make_integer(k));
        bool add = w.chance(50);
        (add ? action_impl<A_ADD>(T_VECTOR) : action_impl<A_MULTIPLY>(T_VECTOR))(v, val);
        for (uint32_t i = at; i < len; ++i) {
            int32_t e = int32_t(vec_read(uint32_t(t[i]), type, width));
            int32_t r = add ? int32_t(uint32_t(e) + uint32_t(k)) : int32_t(uint32_t(e) * uint32_t(k));
            t[i] = char32_t(vec_raw(r, width));
        }
        stack_pop();
        break;
    }
    default: {  // take/part from the index into a new vector
        if (!room(w)) break;
        Cell* part = stack_push(make_integer(int32_t(1 + w.below(3))));
        action_impl<A_TAKE>(T_VECTOR)(v, part, false, false);
        uint32_t n = std::min<uint32_t>(uint32_t(cell_integer(part)), len - at);
        std::u32string taken = t.substr(at, n);
        t.erase(at, n);
        if (at == len) {
            w.expect(v->is(T_NONE), "take at the tail gave a value");
            stack_pop(2);
            return;
        }
        Node node = series_node(v);
        w.expect(v->is(T_VECTOR) && v->data3 == type, "take gave no vector");
        stack_pop(2);
        add_tagged(w, node, width, taken, TAG_VECTOR, type);
        return;
    }
    }
    // every element reads back as the model's value (poke left its value in v)
    *v = make_cell(T_VECTOR, 0, w.root_cell(slot)->data2, type);
    for (uint32_t i = 0; i < t.size(); ++i) {
        Cell e = vector_element_at(v, i);
        w.expect(int64_t(int32_t(e.data2)) == vec_read(uint32_t(t[i]), type, width),
                 "vector element reads back wrong");
    }
    stack_pop();
}

// ---- hash! and map! upkeep after block edits ----

// Replaces a run of cells with new keys (an insert, a removal or a change of another length) and
// brings the table in step from the first changed cell to the tail.
void op_hash_splice(World& w) {
    int id = table_of(w, Kind::Hash);
    if (id < 0) return;
    MObject& o = w.obj(id);
    uint32_t n = uint32_t(o.cells.size());
    uint32_t at = uint32_t(w.below(n + 1));
    uint32_t cut = uint32_t(w.below(std::min<uint32_t>(n - at, 4) + 1));
    uint32_t add = o.cells.size() >= MAX_CELLS ? 0 : uint32_t(w.below(4));
    uint32_t held = 0;
    std::vector<MValue> keys;
    for (uint32_t i = 0; i < add; ++i) keys.push_back(table_key(w, &held));
    std::vector<Cell> cells;
    for (const MValue& v : keys) cells.push_back(w.encode(v));
    // room first (a collection may run), then the cells move within the block
    for (uint32_t i = cut; i < add; ++i) block_append(table_block(w, id), make_cell(T_NONE));
    Series* s = node_series(table_block(w, id));
    std::memmove(s->cell_at(at + add), s->cell_at(at + cut), size_t(n - at - cut) * 16);
    std::copy(cells.begin(), cells.end(), s->cell_at(at));
    s->tail = s->head + (n - cut + add) * 16;
    stack_pop(held);
    o.cells.erase(o.cells.begin() + at, o.cells.begin() + at + cut);
    o.cells.insert(o.cells.begin() + at, keys.begin(), keys.end());
    hashtable_reindex_from(o.node, at, w.chance(50) ? int64_t(n - at) : -1, w.chance(50) ? int64_t(add + n - at - cut) : -1);
}

// Reverses a run of cells in place (the length stays) and re-indexes just that run.
void op_hash_permute(World& w) {
    int id = table_of(w, Kind::Hash);
    if (id < 0 || w.obj(id).cells.size() < 2) return;
    MObject& o = w.obj(id);
    uint32_t n = uint32_t(o.cells.size());
    uint32_t at = uint32_t(w.below(n - 1));
    uint32_t count = 2 + uint32_t(w.below(n - at - 1));
    Series* s = node_series(table_block(w, id));
    std::reverse(s->cell_at(at), s->cell_at(at + count));
    std::reverse(o.cells.begin() + at, o.cells.begin() + at + count);
    hashtable_reindex_from(o.node, at, count, count);
}

// Drops the removed pairs of a map! and indexes it again.
void op_map_compact(World& w) {
    int id = table_of(w, Kind::Map);
    if (id < 0) return;
    MObject& o = w.obj(id);
    hashtable_compact_map(o.node);
    std::vector<MValue> kept;
    for (size_t i = 0; i + 1 < o.cells.size(); i += 2) {
        if (o.removed[i / 2]) continue;
        kept.push_back(o.cells[i]);
        kept.push_back(o.cells[i + 1]);
    }
    if (o.cells.size() % 2) kept.push_back(o.cells.back());
    o.cells = kept;
    o.removed.assign((o.cells.size() + 1) / 2, false);
}

// ---- file!, url!, email! ----
} // namespace
#include "datatypes/file.h"
#include "datatypes/string.h"
namespace {

std::string utf8_text(const std::u32string& text) {
    std::string out;
    uint8_t buf[4];
    for (char32_t c : text) out.append(reinterpret_cast<char*>(buf), size_t(utf8_encode_char(int32_t(c), buf)));
    return out;
}

// A string's text percent-encoded into a new string, which is decoded into another: the first
// holds the UTF-8 bytes with every byte outside the mode's set escaped, the second the text again.
// Both are rooted as new objects.
void op_percent_codec(World& w) {
    std::vector<uint32_t> slots = text_slots(w);
    if (slots.empty() || rooted_count(w) + 2 > MAX_ROOTED) return;
    int src = w.slots[w.pick(slots)];
    bool url = w.chance(50);
    Rooted source(make_series(T_STRING, w.obj(src).node));
    Rooted encoded, decoded;
    string_make_at(encoded.get(), 4, 1);
    url_percent_encode(source.get(), encoded.get(), url ? PERCENT_URL : PERCENT_UNRESERVED);
    string_make_at(decoded.get(), 4, 1);
    url_percent_decode(encoded.get(), decoded.get());

    const std::string safe = std::string("-._~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") +
                             (url ? "!#$&'()*+,/:=?@" : "");
    static const char hex[] = "0123456789ABCDEF";
    std::u32string escaped;
    for (char b : utf8_text(w.obj(src).text)) {
        uint8_t u = uint8_t(b);
        if (u < 0x80 && safe.find(b) != std::string::npos) escaped.push_back(u);
        else escaped += {U'%', char32_t(hex[u >> 4]), char32_t(hex[u & 15])};
    }
    int e = w.new_object(Kind::String);
    w.obj(e).node = series_node(encoded.get());
    w.obj(e).unit = 1;
    w.obj(e).text = escaped;
    int d = w.new_object(Kind::String);
    w.obj(d).node = series_node(decoded.get());
    w.obj(d).unit = value_series(decoded.get())->unit();   // widening is the string code's business
    w.obj(d).text = w.obj(src).text;
    w.add_root(e, make_series(T_STRING, w.obj(e).node));
    w.add_root(d, make_series(T_STRING, w.obj(d).node));
}

// An e-mail's user or host part replaced in place through path access.
void op_email_part_set(World& w) {
    int id = editable_string(w);
    if (id < 0 || w.obj(id).text.size() > 64) return;
    bool host = w.chance(50);
    Cell word = word_cell(host ? "host" : "user");
    std::u32string part;
    for (uint64_t i = 0, n = w.below(6); i < n; ++i) part.push_back(char32_t("ab@.1"[w.below(5)]));
    Rooted value;
    string_make_at(value.get(), uint32_t(part.size()) + 1, 1);
    for (char32_t c : part) string_append_char(value_series(value.get()), uint32_t(c));
    Rooted email(make_series(T_EMAIL, w.obj(id).node));
    PathStep step{&word, value.get(), nullptr, nullptr, nullptr, 0, true, false, true};
    action_impl<A_EVAL_PATH>(T_EMAIL)(email.get(), step);
    std::u32string& text = w.obj(id).text;
    size_t at = text.find(U'@');
    if (!host) text.replace(0, at == std::u32string::npos ? text.size() : at, part);
    else if (at == std::u32string::npos) text += U"@" + part;
    else text.replace(at + 1, text.size() - at - 1, part);
}

// A URL joined with a string element through path access: a new string, rooted.
void op_url_join(World& w) {
    std::vector<uint32_t> slots = text_slots(w);
    if (slots.empty() || !room(w)) return;
    int v = w.slots[w.pick(slots)], el = w.slots[w.pick(slots)];
    Rooted url(make_series(T_URL, w.obj(v).node));
    Rooted element(make_series(T_STRING, w.obj(el).node));
    PathStep step{element.get(), nullptr, nullptr, nullptr, nullptr, 0, true, false, true};
    action_impl<A_EVAL_PATH>(T_URL)(url.get(), step);
    std::u32string a = w.obj(v).text, b = w.obj(el).text;
    bool a_slash = !a.empty() && a.back() == U'/', b_slash = !b.empty() && b.front() == U'/';
    std::u32string joined = !a_slash && !b_slash ? a + U"/" + b : a_slash && b_slash ? a + b.substr(1) : a + b;
    int id = w.new_object(Kind::String);
    w.obj(id).node = series_node(url.get());
    w.obj(id).unit = value_series(url.get())->unit();
    w.obj(id).text = joined;
    w.add_root(id, make_series(T_STRING, w.obj(id).node));
}

// ---- binary! ----
} // namespace
#include "core/errors.h"
#include "datatypes/binary.h"
namespace {

// Binaries are kept beside the world, whose object kinds have no byte series: they sit in one
// block that a mark callback keeps (collections, node renumbering included, keep and rewrite it),
// each known also as a byte vector. An edit runs one of binary!'s actions on a copy of the
// binary's cell on the data stack and the same edit on the vector, then compares the two. Values
// put in are integers (some out of range, which must change nothing), chars, the binaries
// themselves (the edited one included), blocks of integers and the world's strings.

struct BinarySide {
    const World* world = nullptr;
    uint64_t seed = 0;
    Node block = 0;
    uint32_t last_cycle = 0;
    std::vector<std::vector<uint8_t>> bytes;
};
BinarySide g_bin;

void mark_binaries() {
    // the counter (bumped at the end of each cycle) starts again with each runtime: a block from
    // an earlier runtime is forgotten
    if (g_collector_cycles < g_bin.last_cycle) g_bin.block = 0;
    g_bin.last_cycle = g_collector_cycles;
    if (g_bin.block) collector_mark_block_node(&g_bin.block);
}

// The world's check after a collection wants the node of each object it dropped free, or taken by
// a buffer it knows: a node a binary took is taken by a live buffer too. The world forgets its
// unreachable objects first, so that a node a binary took from one of them (freed meanwhile by a
// collection) is not named as theirs later.
void binaries_take_nodes(World& w) {
    w.forget_unreachable();
    w.pending_dead.erase(g_bin.block);
    Series* b = node_series(g_bin.block);
    for (uint32_t i = 0; i < b->length(); ++i) w.pending_dead.erase(series_node(b->cell_at(i)));
}

// The error a body raises, or Err::Count_; the data stack is put back. The catching word is a
// plain word cell: interning one would make symbol buffers the world does not know of.
template <class F>
Err binary_raised(F&& body) {
    Cell word = make_cell(T_WORD);
    Cell* top = g_stack.top;
    bool finished = stack_try(&word, false, [&] { body(); });
    Err e = finished ? Err::Count_ : error_id_of(stack_top());
    g_stack.top = top;
    return e;
}

// An error raised for the first time interns the words it is made of (its id among them): buffers
// the world does not know of, kept for good. A side raises each error its operations expect once,
// when it is made, and the nodes in use afterwards are not the world's to name. (Under collector
// stress a dead object's node can be freed early and taken by such a word.)
void prime_errors(World& w, std::initializer_list<Err> ids) {
    w.forget_unreachable();
    for (Err id : ids)
        binary_raised([id] {
            Cell v = make_integer(256);
            fire_error(id, &v);
        });
    for (auto it = w.pending_dead.begin(); it != w.pending_dead.end();)
        it = node_slot_used(it->first) ? w.pending_dead.erase(it) : std::next(it);
}

// The side state of this world, made on its first use.
void binary_side(World& w) {
    if (g_bin.world == &w && g_bin.seed == w.seed && g_bin.block) return;
    g_bin.world = &w;
    g_bin.seed = w.seed;
    g_bin.bytes.clear();
    g_bin.last_cycle = g_collector_cycles;
    collector_unregister(mark_binaries);
    collector_register(mark_binaries);
    g_bin.block = alloc_cells(8);
    prime_errors(w, {Err::InvalidArg});
    binaries_take_nodes(w);
}

Cell binary_cell(size_t i) { return *node_series(g_bin.block)->cell_at(uint32_t(i)); }

void check_binary(World& w, size_t i) {
    Cell c = binary_cell(i);
    w.expect(c.is(T_BINARY), "binary " + std::to_string(i) + ": not a binary");
    Series* s = value_series(&c);
    const std::vector<uint8_t>& m = g_bin.bytes[i];
    w.expect(s->used() == m.size(), "binary " + std::to_string(i) + ": length differs");
    w.expect(m.empty() || std::memcmp(s->head_ptr(), m.data(), m.size()) == 0, "binary " + std::to_string(i) + ": bytes differ");
}

void op_new_binary(World& w) {
    binary_side(w);
    if (g_bin.bytes.size() >= 6) return;
    std::vector<uint8_t> data(w.below(40));
    for (auto& b : data) b = w.chance(20) ? 0 : uint8_t(w.rng());
    Cell* c = binary_load(data.data(), uint32_t(data.size()));
    block_append(g_bin.block, *c);
    stack_pop();
    g_bin.bytes.push_back(data);
    binaries_take_nodes(w);
}

void utf8_append(std::vector<uint8_t>& out, uint32_t cp) {
    uint8_t tmp[4];
    int n = utf8_encode_char(int32_t(cp), tmp);
    out.insert(out.end(), tmp, tmp + n);
}

// A value to put into binary i, pushed on the data stack, with the bytes it stands for. *ok is
// false for an integer out of range. part (or -1) caps the bytes of a binary and the items of a
// block.
Cell* push_binary_value(World& w, size_t i, int32_t part, std::vector<uint8_t>& bytes, bool* ok) {
    *ok = true;
    switch (w.below(6)) {
    case 0: {
        int32_t n = int32_t(w.below(384)) - 128;
        if (w.chance(5)) n = w.chance(50) ? 256 : -129;
        *ok = n >= -128 && n <= 255;
        bytes.push_back(uint8_t(n));
        return stack_push(make_integer(n));
    }
    case 1: {
        static const uint32_t codes[] = {'a', 0, 0xE9, 0x3B1, 0x1F600, 0x7F};
        uint32_t cp = codes[w.below(std::size(codes))];
        utf8_append(bytes, cp);
        return stack_push(make_cell(T_CHAR, 0, cp, 0));
    }
    case 2: case 3: {
        size_t j = w.chance(30) ? i : w.below(g_bin.bytes.size());
        const std::vector<uint8_t>& m = g_bin.bytes[j];
        uint32_t from = uint32_t(w.below(m.size() + 1));
        size_t n = m.size() - from;
        if (part >= 0 && size_t(part) < n) n = size_t(part);
        bytes.assign(m.begin() + from, m.begin() + from + n);
        Cell c = binary_cell(j);
        c.data1 = from;
        return stack_push(c);
    }
    case 4: {
        uint32_t count = uint32_t(w.below(5));
        Cell* b = stack_push(make_series(T_BLOCK, alloc_cells(count + 1)));
        for (uint32_t k = 0; k < count; ++k) {
            int32_t n = int32_t(w.below(256));
            block_append(series_node(b), make_integer(n));
            if (part < 0 || k < uint32_t(part)) bytes.push_back(uint8_t(n));
        }
        return b;
    }
    default: {
        std::vector<uint32_t> slots = text_slots(w);
        if (slots.empty()) return stack_push(make_integer(0)), bytes.push_back(0), stack_top();
        MObject& o = w.obj(w.slots[w.pick(slots)]);
        for (char32_t cp : o.text) utf8_append(bytes, uint32_t(cp));
        return stack_push(make_series(T_STRING, o.node));
    }
    }
}

void op_binary_edit(World& w) {
    binary_side(w);
    if (g_bin.bytes.empty()) return;
    size_t i = w.below(g_bin.bytes.size());
    std::vector<uint8_t> m = g_bin.bytes[i];
    if (m.size() > 400) return;
    uint32_t at = uint32_t(w.below(m.size() + 1));
    int32_t part = w.chance(30) ? int32_t(w.below(6)) : -1;
    int32_t dup = w.chance(20) ? int32_t(w.below(4)) + 1 : 1;
    Cell* target = stack_push(binary_cell(i));
    target->data1 = at;
    std::vector<uint8_t> vb;
    bool ok;
    uint32_t action = uint32_t(w.below(10));
    Cell* value = action <= 3 ? push_binary_value(w, i, action == 2 ? -1 : part, vb, &ok) : stack_push(make_none());
    // a refused value stays reachable from the error it is an argument of: never a world string
    // or a block made here
    if (action == 3 && (value->is(T_STRING) || value->is(T_BLOCK))) *value = make_cell(T_CHAR, 0, 0x100, 0);
    // a part caps a binary's bytes and a block's items; the other values go in whole here
    if (action <= 1 && !value->is(T_BINARY) && !value->is(T_BLOCK)) part = -1;
    bool replaced_cell = false;
    auto repeated = [&] {
        std::vector<uint8_t> r;
        for (int32_t k = 0; k < dup; ++k) r.insert(r.end(), vb.begin(), vb.end());
        return r;
    };
    Err e = binary_raised([&] {
        switch (action) {
        case 0:   // append
            action_impl<A_APPEND>(T_BINARY)(target, value, part, false, dup, true);
            break;
        case 1:   // insert
            action_impl<A_INSERT>(T_BINARY)(target, value, part, false, dup, false);
            break;
        case 2:   // change
            action_impl<A_CHANGE>(T_BINARY)(target, value, part, false, dup);
            break;
        case 3: {   // poke a byte
            if (at >= m.size()) break;
            action_impl<A_POKE>(T_BINARY)(target, 1, value);
            break;
        }
        case 4: {   // remove
            Cell n = make_integer(part < 0 ? 1 : part);
            action_impl<A_REMOVE>(T_BINARY)(target, &n, nullptr);
            break;
        }
        case 5: {   // trim
            TrimOpts o;
            uint32_t k = uint32_t(w.below(4));
            o.head = k == 1;
            o.tail = k == 2;
            o.all = k == 3;
            action_impl<A_TRIM>(T_BINARY)(target, o);
            value->data1 = k;
            break;
        }
        case 6:   // clear
            action_impl<A_CLEAR>(T_BINARY)(target);
            break;
        case 7:   // reverse
            action_impl<A_REVERSE>(T_BINARY)(target, nullptr, nullptr);
            break;
        case 8:   // complement
            action_impl<A_COMPLEMENT>(T_BINARY)(target);
            break;
        default: {   // and~ or~ xor~ with another binary: a new binary in its place
            size_t j = w.below(g_bin.bytes.size());
            Cell* other = stack_push(binary_cell(j));
            uint32_t op = uint32_t(w.below(3));
            value->data1 = op;
            value->data2 = uint32_t(j);
            if (op == 0) action_impl<A_AND>(T_BINARY)(target, other);
            else if (op == 1) action_impl<A_OR>(T_BINARY)(target, other);
            else action_impl<A_XOR>(T_BINARY)(target, other);
            stack_pop();
            *node_series(g_bin.block)->cell_at(uint32_t(i)) = *target;
            replaced_cell = true;
            break;
        }
        }
    });
    // the same edit on the model
    switch (action) {
    case 0: case 1: {
        if (!ok) {
            w.expect(e == Err::InvalidArg, "binary insert of a bad integer did not raise invalid-arg");
            break;
        }
        w.expect(e == Err::Count_, "binary insert raised");
        std::vector<uint8_t> r = repeated();
        m.insert(action == 0 ? m.end() : m.begin() + at, r.begin(), r.end());
        break;
    }
    case 2: {
        if (!ok) {
            w.expect(e == Err::InvalidArg, "binary change with a bad integer did not raise invalid-arg");
            break;
        }
        w.expect(e == Err::Count_, "binary change raised");
        std::vector<uint8_t> r = repeated();
        size_t avail = m.size() - at;
        size_t gone = part >= 0 ? std::min<size_t>(size_t(part), avail) : std::min(r.size(), avail);
        m.erase(m.begin() + at, m.begin() + at + gone);
        m.insert(m.begin() + at, r.begin(), r.end());
        break;
    }
    case 3: {
        if (at >= m.size()) break;
        bool fits = value->is(T_INTEGER) ? ok : value->is(T_CHAR) && value->data2 <= 255;
        if (!fits) {
            w.expect(e == Err::InvalidArg, "binary poke of a bad value did not raise invalid-arg");
            break;
        }
        w.expect(e == Err::Count_, "binary poke raised");
        m[at] = uint8_t(value->is(T_INTEGER) ? cell_integer(value) : int32_t(value->data2));
        break;
    }
    case 4: {
        size_t n = std::min<size_t>(part < 0 ? 1 : size_t(part), m.size() - at);
        m.erase(m.begin() + at, m.begin() + at + n);
        break;
    }
    case 5: {
        uint32_t k = value->data1;
        std::vector<uint8_t> rest(m.begin() + at, m.end());
        if (k == 3) {
            rest.erase(std::remove(rest.begin(), rest.end(), 0), rest.end());
        } else {
            size_t b = 0, e2 = rest.size();
            if (k != 2) while (b < e2 && rest[b] == 0) ++b;
            if (k != 1) while (e2 > b && rest[e2 - 1] == 0) --e2;
            rest = std::vector<uint8_t>(rest.begin() + b, rest.begin() + e2);
        }
        m.resize(at);
        m.insert(m.end(), rest.begin(), rest.end());
        break;
    }
    case 6: m.resize(at); break;
    case 7: std::reverse(m.begin() + at, m.end()); break;
    case 8: for (size_t k = at; k < m.size(); ++k) m[k] = uint8_t(~m[k]); break;
    default: {
        const std::vector<uint8_t>& o = g_bin.bytes[value->data2];
        std::vector<uint8_t> a(m.begin() + at, m.end());
        size_t n = std::max(a.size(), o.size()), common = std::min(a.size(), o.size());
        std::vector<uint8_t> r(n);
        for (size_t k = 0; k < n; ++k) {
            uint8_t x = k < a.size() ? a[k] : 0, y = k < o.size() ? o[k] : 0;
            r[k] = value->data1 == 0 ? (k < common ? x & y : 0) : value->data1 == 1 ? x | y : x ^ y;
        }
        m = r;
        w.expect(replaced_cell, "bitwise binary action raised");
        break;
    }
    }
    stack_pop(2);
    g_bin.bytes[i] = m;
    check_binary(w, i);
    binaries_take_nodes(w);
}

void op_binary_check(World& w) {
    binary_side(w);
    for (size_t i = 0; i < g_bin.bytes.size(); ++i) check_binary(w, i);
    binaries_take_nodes(w);
}

// ---- image! ----
} // namespace
#include "core/extres.h"
#include "datatypes/compound.h"
#include "datatypes/image.h"
#include "datatypes/series.h"
#include "services/image.h"
#include "services/kelbin.h"
namespace {

// Images are kept beside the world like binaries: one block, kept by a mark callback, holds image
// cells; each is known also as its size and a vector of straight pixel words. Edits run image!'s
// actions (poke, change with a tuple or another image, the views, copy) and the layer's drawing
// round trip on a cell on the data stack, and the same edit on the vectors. Dropped images must
// have their resource slot released by the next collection; render caches set on images are
// counted, and every one is released exactly once (replaced, dropped by drawing, by the cache
// rule of a collection, or with its image).

struct MImage {
    uint32_t w = 0, h = 0;
    std::vector<uint32_t> px;
};
struct ImageSide {
    const World* world = nullptr;
    uint64_t seed = 0;
    Node block = 0;
    uint32_t last_cycle = 0;
    std::vector<MImage> images;
    std::vector<int32_t> dropped_slots;   // slots of images dropped since the last collection
    uint64_t caches_set = 0, caches_released = 0;
};
ImageSide g_img;

void mark_images() {
    if (g_collector_cycles < g_img.last_cycle) g_img.block = 0;
    g_img.last_cycle = g_collector_cycles;
    if (g_img.block) collector_mark_block_node(&g_img.block);
}

void count_cache_release(void*) { g_img.caches_released++; }

Cell image_at(size_t i) { return *node_series(g_img.block)->cell_at(uint32_t(i)); }

void images_take_nodes(World& w) {
    w.forget_unreachable();
    w.pending_dead.erase(g_img.block);
    Series* b = node_series(g_img.block);
    for (uint32_t i = 0; i < b->length(); ++i) w.pending_dead.erase(b->cell_at(i)->data2);
}

void image_side(World& w) {
    if (g_img.world == &w && g_img.seed == w.seed && g_img.block) return;
    g_img = ImageSide{};
    g_img.world = &w;
    g_img.seed = w.seed;
    g_img.last_cycle = g_collector_cycles;
    collector_unregister(mark_images);
    collector_register(mark_images);
    platform_image_set_cache_release(count_cache_release);
    g_img.block = alloc_cells(8);
    prime_errors(w, {Err::InvalidArg, Err::OutOfRange});
    images_take_nodes(w);
}

void check_image(World& w, size_t i) {
    Cell c = image_at(i);
    const MImage& m = g_img.images[i];
    std::string at = "image " + std::to_string(i);
    w.expect(c.is(T_IMAGE), at + ": not an image");
    w.expect(image_width(&c) == m.w && image_height(&c) == m.h, at + ": size differs");
    if (m.px.empty()) {
        w.expect(c.data2 == 0, at + ": an empty image has a record");
        return;
    }
    w.expect(c.data2 && image_record(c.data2)->size == c.data3, at + ": record size differs");
    w.expect(extres_in_use(image_record(c.data2)->slot), at + ": resource slot not in use");
    const uint32_t* px = platform_image_source(&c, false);
    w.expect(std::memcmp(px, m.px.data(), m.px.size() * 4) == 0, at + ": pixels differ");
}

uint32_t random_pixel(World& w) {
    switch (w.below(3)) {
    case 0: return 0xFF000000 | uint32_t(w.rng() & 0xFFFFFF);
    case 1: return 0;
    default: return uint32_t(w.rng());
    }
}

void add_image(World& w, const Cell& c, MImage m) {
    stack_push(c);
    block_append(g_img.block, c);
    stack_pop();
    g_img.images.push_back(std::move(m));
}

void op_new_image(World& w) {
    image_side(w);
    if (g_img.images.size() >= 6) return;
    MImage m;
    m.w = uint32_t(w.below(6));
    m.h = uint32_t(w.below(5));
    std::vector<uint32_t> px(size_t(m.w) * m.h);
    for (auto& p : px) p = random_pixel(w);
    Node n = m.w && m.h ? platform_image_from_pixels(m.w, m.h, 0, px.data()) : 0;
    Cell c{T_IMAGE, 0, n, image_size_word(m.w, m.h)};
    if (m.w && m.h) m.px = px;
    add_image(w, c, std::move(m));
    images_take_nodes(w);
}

void op_image_edit(World& w) {
    image_side(w);
    if (g_img.images.empty()) return;
    size_t i = w.below(g_img.images.size());
    MImage& m = g_img.images[i];
    uint32_t n = uint32_t(m.px.size());
    Cell* target = stack_push(image_at(i));
    uint32_t pick = uint32_t(w.below(7));
    Err e = Err::Count_;
    switch (pick) {
    case 0: {   // poke at an integer position, sometimes outside
        int32_t pos = int32_t(w.below(n + 2));
        uint32_t p = random_pixel(w);
        uint8_t b[4] = {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p), uint8_t(255 - (p >> 24))};
        Cell t = make_tuple(b, 4);
        Cell at = make_integer(pos);
        e = binary_raised([&] { image_poke_at(target, &at, &t); });
        if (pos >= 1 && uint32_t(pos) <= n) {
            w.expect(e == Err::Count_, "image poke raised");
            m.px[pos - 1] = p;
        } else {
            w.expect(e == Err::OutOfRange, "image poke outside did not raise out-of-range");
        }
        break;
    }
    case 1: {   // change with another image (itself too) at a random index
        size_t j = w.below(g_img.images.size());
        Cell* src = stack_push(image_at(j));
        uint32_t index = uint32_t(w.below(n + 1));
        target->data1 = index;
        MImage s = g_img.images[j];
        e = binary_raised([&] { action_impl<A_CHANGE>(T_IMAGE)(target, src, -1, false, 1); });
        w.expect(e == Err::Count_, "image change raised");
        if (index < n && !s.px.empty()) {
            uint32_t col = index % m.w, row = index / m.w;
            uint32_t cols = std::min(s.w, m.w - col), rows = std::min(s.h, m.h - row);
            for (uint32_t r = 0; r < rows; ++r)
                for (uint32_t x = 0; x < cols; ++x) m.px[(row + r) * m.w + col + x] = s.px[r * s.w + x];
            w.expect(target->data1 == (row + rows - 1) * m.w + col + cols, "image change left a wrong index");
        }
        stack_pop();
        break;
    }
    case 2: {   // a view written from bytes
        int32_t mode = int32_t(w.below(3));
        std::vector<uint8_t> bytes(w.below(n * 4 + 3));
        for (auto& b : bytes) b = uint8_t(w.rng());
        Cell* bin = binary_load(bytes.data(), uint32_t(bytes.size()));
        e = binary_raised([&] { image_from_binary(target, bin, mode); });
        w.expect(e == Err::Count_, "image view write raised");
        if (mode == 2) {
            if (n && !bytes.empty())
                std::memcpy(m.px.data(), bytes.data(), std::min<size_t>(bytes.size(), size_t(n) * 4));
        } else if (mode == 1) {
            for (uint32_t k = 0; k < n && k * 3 + 2 < bytes.size(); ++k)
                m.px[k] = (m.px[k] & 0xFF000000) | uint32_t(bytes[k * 3]) << 16 | uint32_t(bytes[k * 3 + 1]) << 8 | bytes[k * 3 + 2];
        } else {
            for (uint32_t k = 0; k < n && k < bytes.size(); ++k)
                m.px[k] = (m.px[k] & 0x00FFFFFF) | uint32_t(255 - bytes[k]) << 24;
        }
        stack_pop();
        break;
    }
    case 3: {   // a view read back equals the model
        if (!n) break;
        Cell* out = stack_push(make_none());
        image_to_binary(target, 2, out);
        Series* s = value_series(out);
        w.expect(s->used() == n * 4 && std::memcmp(s->head_ptr(), m.px.data(), n * 4) == 0, "argb view differs");
        stack_pop();
        break;
    }
    case 4: {   // drawing: opaque or fully transparent pixels survive premultiplying exactly
        if (!n) break;
        uint32_t* draw = platform_image_premultiplied_bitmap(target);
        platform_image_mark_drawn(target);
        uint32_t k = uint32_t(w.below(n));
        uint32_t p = w.chance(50) ? 0 : 0xFF000000 | uint32_t(w.rng() & 0xFFFFFF);
        draw[k] = p;
        m.px[k] = p;
        // drawing turns the untouched translucent pixels of the form back through premultiplying
        for (uint32_t q = 0; q < n; ++q)
            if (q != k) m.px[q] = platform_image_get_pixel(target->data2, q);
        break;
    }
    case 5: {   // a render cache set, sometimes handed out
        if (!n) break;
        static int token;
        void* before = platform_image_store(target->data2)->cache;
        platform_image_set_cached_bitmap(target, &token + w.below(4));
        if (platform_image_store(target->data2)->cache != before) g_img.caches_set++;
        if (w.chance(50)) platform_image_cached_bitmap(target);
        break;
    }
    default: {   // a copy from a random index, with or without a pair part, replaces another image
        uint32_t index = uint32_t(w.below(n + 1));
        target->data1 = index;
        Cell* result = stack_push(make_none());
        bool with_part = w.chance(50);
        Cell part = make_pair(int32_t(w.below(4)) + 1, int32_t(w.below(4)) + 1);
        e = binary_raised([&] { action_impl<A_COPY>(T_IMAGE)(target, result, with_part ? &part : nullptr, false, nullptr); });
        w.expect(e == Err::Count_, "image copy raised");
        MImage c;
        if (m.w && m.h && index < n) {
            uint32_t col = index % m.w, row = index / m.w;
            c.w = m.w - col;
            c.h = m.h - row;
            if (with_part) {
                c.w = std::min<uint32_t>(c.w, pair_x(&part));
                c.h = std::min<uint32_t>(c.h, pair_y(&part));
            }
            for (uint32_t r = 0; r < c.h; ++r)
                for (uint32_t x = 0; x < c.w; ++x) c.px.push_back(m.px[(row + r) * m.w + col + x]);
        }
        size_t j = w.below(g_img.images.size());
        Cell old = image_at(j);
        if (old.data2) g_img.dropped_slots.push_back(image_record(old.data2)->slot);
        result->data1 = 0;
        *node_series(g_img.block)->cell_at(uint32_t(j)) = *result;
        g_img.images[j] = std::move(c);
        stack_pop();
        break;
    }
    }
    stack_pop();
    for (size_t k = 0; k < g_img.images.size(); ++k) check_image(w, k);
    images_take_nodes(w);
}

void op_image_collect(World& w) {
    image_side(w);
    // an image dropped from the block: its slot goes with the next collection
    if (!g_img.images.empty() && w.chance(50)) {
        size_t j = w.below(g_img.images.size());
        Cell old = image_at(j);
        if (old.data2) g_img.dropped_slots.push_back(image_record(old.data2)->slot);
        Series* b = node_series(g_img.block);
        series_close_gap(b, uint32_t(j), 1);
        g_img.images.erase(g_img.images.begin() + long(j));
    }
    op_collect(w);
    std::set<int32_t> live;
    for (size_t k = 0; k < g_img.images.size(); ++k) {
        Cell c = image_at(k);
        if (c.data2) live.insert(image_record(c.data2)->slot);
    }
    for (int32_t slot : g_img.dropped_slots)
        w.expect(live.count(slot) || !extres_in_use(slot), "a dropped image's resource slot was kept");
    g_img.dropped_slots.clear();
    uint64_t alive = 0;
    for (size_t k = 0; k < g_img.images.size(); ++k) {
        Cell c = image_at(k);
        if (c.data2 && platform_image_store(c.data2) && platform_image_store(c.data2)->cache) alive++;
    }
    w.expect(g_img.caches_released + alive == g_img.caches_set, "render caches set and released do not balance");
    for (size_t k = 0; k < g_img.images.size(); ++k) check_image(w, k);
    images_take_nodes(w);
}

// ---- binary value codec ----

// The model's function! cells stand for a body only (no context): blocks reaching one are not
// written.
bool kelbin_writable(const Cell* v, std::set<Node>& seen) {
    if (v->is(T_FUNCTION)) return false;
    Node values = 0;
    if (v->is(T_BLOCK)) {
        values = series_node(v);
    } else if ((v->type() >= T_WORD && v->type() <= T_REFINEMENT) || v->is(T_OBJECT)) {
        Node ctx = v->data1;
        if (!ctx || ctx == g_global_context || !seen.insert(ctx).second) return true;
        if (context_on_stack(ctx)) return true;
        Cell owner = *context_owner(ctx);
        if (!kelbin_writable(&owner, seen)) return false;
        values = context_cell(ctx)->data2;
    }
    if (!values || !seen.insert(values).second) return true;
    for (uint32_t i = 0; i < node_series(values)->length(); ++i)
        if (!kelbin_writable(node_series(values)->cell_at(i), seen)) return false;
    return true;
}

// A live block (with whatever the model put in it: values, nested and shared blocks, strings,
// contexts, cycles) written in the compact form and read back into a fresh block, twice, with
// collections free to run while it decodes. The first reading normalises what a file does not
// keep (class ids, handler records not named by handler words); from then on writing and reading
// again gives the same bytes.
Cell kelbin_read(World& w, const std::vector<uint8_t>& bytes, Rooted& out) {
    out.value = make_series(T_BLOCK, alloc_cells(1), 0);
    uint32_t at = kelbin_decode(bytes.data(), bytes.size(), series_node(out.get()));
    w.expect(node_series(series_node(out.get()))->length() == at + 1, "the decoded file did not give one value");
    return *node_series(series_node(out.get()))->cell_at(at);
}

void op_kelbin_round_trip(World& w) {
    std::vector<uint32_t> blocks = w.slots_of({Kind::Block});
    if (blocks.empty()) return;
    Rooted value(*w.root_cell(w.pick(blocks)));
    std::set<Node> seen;
    if (!kelbin_writable(value.get(), seen)) return;
    Rooted out1, out2;
    Rooted back1(kelbin_read(w, kelbin_encode_bytes(value.get(), KelbinForm::Compact), out1));
    std::vector<uint8_t> second = kelbin_encode_bytes(back1.get(), KelbinForm::Compact);
    Rooted back2(kelbin_read(w, second, out2));
    w.expect(kelbin_encode_bytes(back2.get(), KelbinForm::Compact) == second, "a decoded block writes other bytes");
}

const ModelOp k_core_ops[] = {
    {"new block", 6, op_new_block},
    {"new string", 5, op_new_string},
    {"drop root", 9, op_drop_root},
    {"block append", 8, op_block_append},
    {"block insert", 4, op_block_insert},
    {"block remove", 4, op_block_remove},
    {"block poke", 4, op_block_poke},
    {"block copy", 2, op_block_copy},
    {"string append", 5, op_string_append},
    {"string poke", 3, op_string_poke},
    {"string remove", 3, op_string_remove},
    {"new hash!", 3, op_new_hash},
    {"hash! put", 8, op_hash_put},
    {"hash! insert", 4, op_hash_insert},
    {"hash! remove", 4, op_hash_remove},
    {"hash! poke", 3, op_hash_poke},
    {"hash! move", 2, op_hash_move},
    {"hash! reindex", 2, op_hash_reindex},
    {"new map!", 3, op_new_map},
    {"map! put", 8, op_map_put},
    {"map! remove", 4, op_map_remove},
    {"map! resize", 2, op_map_resize},
    {"new context", 2, op_new_context},
    {"context put", 5, op_context_put},
    {"bind", 3, op_bind},
    {"set owner", 3, op_set_owner},
    {"new records", 1, op_new_records},
    {"records edit", 6, op_records_edit},
    {"new array", 1, op_new_array},
    {"array edit", 5, op_array_edit},
    {"sort", 3, op_sort},
    {"collect", 2, op_collect},
    {"renumber nodes", 1, op_renumber},
    // bitset! and vector!
    {"new bitset", 2, op_new_bitset},
    {"bitset edit", 5, op_bitset_edit},
    {"new vector", 2, op_new_vector},
    {"vector edit", 5, op_vector_edit},
    // hash! and map! upkeep after block edits
    {"hash! splice", 4, op_hash_splice},
    {"hash! permute", 3, op_hash_permute},
    {"map! compact", 2, op_map_compact},
    // file!, url!, email!
    {"percent codec", 2, op_percent_codec},
    {"email part set", 3, op_email_part_set},
    {"url path join", 2, op_url_join},
    // binary!
    {"new binary", 2, op_new_binary},
    {"binary edit", 8, op_binary_edit},
    {"binary check", 1, op_binary_check},
    // object change handlers
    {"attach handlers", 2, op_attach_handlers},
    {"collect, check handler records", 1, op_collect_then_check_handlers},
    // image!
    {"new image", 2, op_new_image},
    {"image edit", 8, op_image_edit},
    {"image drop and collect", 1, op_image_collect},
    // binary value codec
    {"kelbin round trip", 1, op_kelbin_round_trip},
};

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// One run of `steps` steps from `seed`; empty on success, else the failure.
std::string run_model(uint64_t seed, uint64_t steps, const char** last_op) {
    World w(seed);
    uint32_t total = 0;
    for (const ModelOp& op : k_core_ops) total += op.weight;
    try {
        for (w.step = 1; w.step <= steps; ++w.step) {
            uint64_t r = w.below(total);
            const ModelOp* chosen = k_core_ops;
            for (const ModelOp& op : k_core_ops) {
                if (r < op.weight) {
                    chosen = &op;
                    break;
                }
                r -= op.weight;
            }
            *last_op = chosen->name;
            chosen->run(w);
            w.expect(stack_depth() == 0, std::string("the data stack was left with values by ") + chosen->name);
            if (w.step % 16 == 0) check_all(w);
        }
        *last_op = "final collection";
        op_collect(w);
    } catch (const Failure& f) {
        return f.what;
    } catch (const KelThrow& t) {
        std::ostringstream m;
        m << "runtime error (code " << t.code << ") at step " << w.step << " (KEL_MODEL_SEED=" << seed << ")";
        return m.str();
    }
    std::printf("model check: seed %llu, %llu steps, %llu collections (%u of them renumbering nodes), %llu checks\n",
                (unsigned long long)seed, (unsigned long long)steps, (unsigned long long)w.collections,
                g_node_compactions, (unsigned long long)w.checks);
    return {};
}

class ModelCheck : public test::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        hash_set_compare(nullptr);
        hash_set_map_normalize(nullptr);
    }
};

TEST_F(ModelCheck, RandomEditsAgreeWithThePlainModel) {
    uint64_t seed = env_number("KEL_MODEL_SEED",
                               uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) % 1000000007u);
    uint64_t steps = env_number("KEL_MODEL_STEPS", g_collector_stress ? 600 : 2000);
    uint64_t runs = env_number("KEL_MODEL_RUNS", 1);
    for (uint64_t r = 0; r < runs; ++r) {
        if (r) {
            test::runtime_down();
            test::runtime_up();
            hash_set_compare(nullptr);
            hash_set_map_normalize(nullptr);
        }
        std::printf("model check: seed %llu (replay with KEL_MODEL_SEED=%llu KEL_MODEL_STEPS=%llu)\n",
                    (unsigned long long)(seed + r), (unsigned long long)(seed + r), (unsigned long long)steps);
        std::fflush(stdout);
        const char* last_op = "";
        std::string failure = run_model(seed + r, steps, &last_op);
        ASSERT_TRUE(failure.empty()) << failure << " (last operation: " << last_op << ")";
    }
}

} // namespace

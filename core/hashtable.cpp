// The hash tables: making, growing, inserting, finding and deleting in the five table kinds,
// lazy re-indexing after a collection, and the collector's marking and sweeping of tables.
//
// Every allocating operation runs under a CollectorHold: nodes then stay put for the whole
// operation and only a series that is being grown moves, so the table record and the arrays not
// being grown can be read through one fetched address. Arrays are unit-4 series whose head is 0;
// the key and flag arrays keep their tail at their capacity.
#include "core/hash.h"

#include "core/array.h"
#include "core/gc.h"
#include "core/series.h"
#include "core/symbol.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>

namespace kel {

namespace {

constexpr double LOAD = 0.77;
constexpr uint32_t SHIFT_LIMIT = 30000;

inline HashTable* rec(Node table) { return hashtable_record(table); }

// Tables without identity-hashed keys are never stale: their uses skip the call.
inline void check_stale(Node table) {
    if (rec(table)->stamp != 0) hashtable_check_stale(table);
}

inline uint32_t stamp_now() {
    uint32_t s = g_collector_cycles + 1;
    return s ? s : 1;
}

inline uint32_t flag_word_count(uint32_t buckets) { return buckets < 16 ? 1 : buckets / 16; }

// A unit-4 series of count entries, every byte set to fill, tail at the end of the entries.
Node new_u32_array(uint32_t count, uint8_t fill) {
    Node n = alloc_series(count ? count : 1, 4, 0);
    Series* s = node_series(n);
    std::memset(s->data(), fill, s->size);
    s->tail = count * 4;
    return n;
}

// An empty growable array of 32-bit entries.
Node new_growable(uint32_t room) {
    Node n = alloc_series(room ? room : 4, 4, 0);
    node_series(n)->tail = 0;
    return n;
}

inline Series* block_of(HashTable* t) { return node_series(t->values); }
inline uint32_t block_length(HashTable* t) { return block_of(t)->length(); }
inline Cell* cell_of(HashTable* t, uint32_t index) { return block_of(t)->cell_at(index); }

inline bool is_word_kind(TypeId t) { return t >= T_WORD && t <= T_GET_WORD; }

// A map! compares and hashes every word kind as a set-word.
inline Cell map_key(const Cell* c) {
    Cell k = *c;
    if (is_word_kind(k.type())) set_cell_type(&k, T_SET_WORD);
    return k;
}

// ---- hash! groups and positions ------------------------------------------------------------------

inline Node chain_of(HashTable* t, int32_t key) { return array_pick(t->chains, uint32_t(-key)); }

uint32_t group_first(HashTable* t, int32_t key) {
    if (key >= 0) return uint32_t(key);
    return array_pick(chain_of(t, key), 1);
}

// Calls fn(cell index) for every cell of the group a bucket key stands for.
template <class Fn>
void for_group(HashTable* t, int32_t key, Fn&& fn) {
    if (key >= 0) {
        fn(uint32_t(key));
        return;
    }
    Series* chain = node_series(chain_of(t, key));
    const uint32_t* e = reinterpret_cast<const uint32_t*>(chain->head_ptr());
    uint32_t n = chain->used() / 4;
    for (uint32_t i = 0; i < n; ++i) fn(e[i]);
}

uint32_t positions_count(HashTable* t) { return node_series(t->positions)->tail / 4; }

// Makes room in the position array for cell index `index`, new entries -1.
void positions_reserve(Node table, uint32_t index) {
    HashTable* t = rec(table);
    Series* s = node_series(t->positions);
    uint32_t have = s->tail / 4;
    if (index < have) return;
    uint64_t want = uint64_t(index) * 2;
    if (want < uint64_t(index) + 1) want = uint64_t(index) + 1;
    if (want < 4) want = 4;
    if (want * 4 > s->size) s = expand_series_copy(s, want * 4);
    std::memset(s->data() + uint64_t(have) * 4, 0xFF, (want - have) * 4);
    s->tail = checked_size(want * 4);
}

void position_set(Node table, uint32_t index, uint32_t value) {
    positions_reserve(table, index);
    hash_words(rec(table)->positions)[index] = value;
}

// Sets every position entry from the live buckets (all others -1).
void positions_rebuild(Node table) {
    HashTable* t = rec(table);
    positions_reserve(table, block_length(t));
    t = rec(table);
    Series* ps = node_series(t->positions);
    std::memset(ps->data(), 0xFF, ps->tail);
    uint32_t count = ps->tail / 4;
    uint32_t* pos = hash_words(t->positions);
    const uint32_t* flags = hash_words(t->flags);
    const HashEntry* entries = hash_entries(t->keys);
    for (uint32_t b = 0; b < t->buckets; ++b) {
        if (hash_flag(flags, b) != HASH_FLAG_LIVE) continue;
        for_group(t, int32_t(entries[b].key), [&](uint32_t i) {
            if (i < count) pos[i] = b + 1;
        });
    }
}

// ---- Bucket hashes and placement -----------------------------------------------------------------

inline Cell* record_at(HashTable* t, uint32_t offset) {
    return reinterpret_cast<Cell*>(block_of(t)->head_ptr() + offset);
}

// hash! and map! tables keep a HashEntry (key entry and hash) per bucket in their key array.
inline bool keeps_entries(uint32_t kind) { return kind == HASH_KIND_HASH || kind == HASH_KIND_MAP; }

// A key array of `buckets` empty buckets for the kind.
Node new_key_array(uint32_t kind, uint32_t buckets) {
    if (!keeps_entries(kind)) return new_u32_array(buckets, 0);
    return new_u32_array(checked_size(uint64_t(buckets) * 2), 0);
}


// Keys that hash as numbers: equal? compares them with a tolerance, so an equal key may hash into
// the neighbouring class.
inline bool numeric_key(TypeId t) {
    return t == T_INTEGER || t == T_FLOAT || t == T_PERCENT || t == T_TIME || t == T_CHAR;
}

// A hash the caller computed stands for the key's own when its type hashes neither as a number
// (which may probe two classes) nor by identity (which a collection in between may change).
inline bool known_hash_usable(const uint32_t* key_hash, TypeId t) {
    return key_hash && !numeric_key(t) && !address_hashed_type(t);
}

// The hash of the key a live bucket holds, computed from the key cell.
uint32_t bucket_hash(HashTable* t, uint32_t key) {
    switch (t->kind) {
    case HASH_KIND_HASH: return hash_value(cell_of(t, group_first(t, int32_t(key))), false);
    case HASH_KIND_MAP: case HASH_KIND_WORDS: return hash_value(cell_of(t, key), false);
    default: return murmur3_fmix(record_at(t, key)->data1);
    }
}

// Live buckets: the distinct keys indexed, which in a map! includes the keys of removed entries.
uint32_t live_buckets(HashTable* t) {
    const uint32_t* flags = hash_words(t->flags);
    uint32_t words = t->buckets < 16 ? 1 : t->buckets / 16;
    uint32_t live = 0;
    for (uint32_t w = 0; w < words; ++w) {
        // a bucket is live when both of its bits are clear
        uint32_t v = flags[w];
        uint32_t either = (v | (v >> 1)) & 0x55555555u;
        uint32_t valid = t->buckets < 16 ? (1u << (2 * t->buckets)) - 1 : 0xFFFFFFFFu;
        live += uint32_t(__builtin_popcount(~either & 0x55555555u & valid));
    }
    return live;
}

// First empty bucket of the probe sequence (the arrays hold no deleted bucket). Callers size the
// arrays above their keys, so one is always there.
uint32_t first_empty(const uint32_t* flags, uint32_t buckets, uint32_t hash) {
    for (ProbeSequence p(hash, buckets); p.more(); p.next())
        if (hash_flag(flags, p.bucket) == HASH_FLAG_EMPTY) return p.bucket;
    std::abort();  // a full array: a sizing fault, never a silent endless probe
}

// Re-places every live key into new arrays of `buckets` buckets; deleted buckets disappear. A
// table that keeps its hashes places each key by its stored hash, unless `rehash` asks for the
// keys to be hashed again (after a collection changed the hashes of identity-hashed keys).
void rehash_into(Node table, uint32_t buckets, uint32_t bound, bool rehash) {
    uint32_t kind = rec(table)->kind;
    bool kept = keeps_entries(kind);
    Node flags = new_u32_array(flag_word_count(buckets), 0xAA);
    Node keys = new_key_array(kind, buckets);
    HashTable* t = rec(table);
    uint32_t* nf = hash_words(flags);
    const uint32_t* of = hash_words(t->flags);
    uint32_t live = 0;
    for (uint32_t b = 0; b < t->buckets; ++b) {
        if (hash_flag(of, b) != HASH_FLAG_LIVE) continue;
        uint32_t key = kept ? hash_entries(t->keys)[b].key : hash_words(t->keys)[b];
        uint32_t h = kept && !rehash ? hash_entries(t->keys)[b].hash : bucket_hash(t, key);
        uint32_t nb = first_empty(nf, buckets, h);
        hash_flag_set(nf, nb, HASH_FLAG_LIVE);
        if (kept) hash_entries(keys)[nb] = HashEntry{key, h};
        else hash_words(keys)[nb] = key;
        ++live;
    }
    t->flags = flags;
    t->keys = keys;
    t->buckets = buckets;
    t->bound = bound;
    t->occupied = live;
    if (t->kind == HASH_KIND_HASH) positions_rebuild(table);
}

// ---- Insertion into block-backed tables ----------------------------------------------------------

void index_cells(Node table, uint32_t first, uint32_t step, bool fresh);

// Inserts the key of cell `index`. Answers the index of an equal key already present when the
// table keeps one entry per key (map!), else -1; *status is 2 when a hash! table was rebuilt
// instead (the rebuild indexed the cell).
int32_t insert_index(Node table, uint32_t index, int* status, const uint32_t* key_hash = nullptr) {
    *status = 0;
    HashTable* t = rec(table);
    uint32_t kind = t->kind;
    if (t->occupied >= t->bound) {
        if (kind == HASH_KIND_HASH) {
            hashtable_refresh(table, block_length(t));
            *status = 2;
            return -1;
        }
        uint32_t wanted = (kind == HASH_KIND_MAP || 2 * t->size >= t->buckets) ? t->buckets + 1
                                                                                : t->buckets - 1;
        if (kind == HASH_KIND_WORDS) wanted *= 16;
        hashtable_resize(table, wanted);
        t = rec(table);
    }
    Cell key = kind == HASH_KIND_MAP ? map_key(cell_of(t, index)) : *cell_of(t, index);
    if (kind <= HASH_KIND_MAP && t->stamp == 0 && address_hashed_type(key.type())) t->stamp = stamp_now();

    int64_t target = -1;
    int64_t group = -1;
    const uint32_t* flags = hash_words(t->flags);
    const HashEntry* entries = hash_entries(t->keys);
    uint32_t hash = known_hash_usable(key_hash, key.type()) ? *key_hash : hash_value(&key, false);
    // strictly equal keys (map!), and equal keys of one type (hash!) other than numbers compared
    // with a tolerance, hash alike: only buckets of the same hash can hold them
    bool any_hash = kind == HASH_KIND_HASH && numeric_key(key.type()) && !key.is(T_INTEGER);
    for (ProbeSequence p(hash, t->buckets); p.more(); p.next()) {
        uint32_t b = p.bucket;
        uint32_t f = hash_flag(flags, b);
        if (f == HASH_FLAG_EMPTY) {
            if (target < 0) target = b;
            break;
        }
        if (f == HASH_FLAG_DELETED) {
            if (target < 0) target = b;
            continue;
        }
        HashEntry e = entries[b];
        if (e.hash != hash && !any_hash) continue;
        if (kind == HASH_KIND_MAP) {
            Cell stored = map_key(cell_of(t, e.key));
            if (stored.type() == key.type()) {
                if (hash_compare(&stored, &key, 2)) return int32_t(e.key);
                if (!t->variants && hash_compare(&stored, &key, 0)) t->variants = 1;
            }
        } else {
            const Cell* first = cell_of(t, group_first(t, int32_t(e.key)));
            if (hash_compare(first, &key, 0)) {
                if (first->type() == key.type()) {
                    group = b;
                    break;
                }
                t->variants = 1;   // equal keys of two types: two groups a look-up must both see
            }
        }
    }
    if (group >= 0) {
        // join the group of equal keys: a single index becomes a chain first
        uint32_t gb = uint32_t(group);
        int32_t held = int32_t(hash_entries(t->keys)[gb].key);
        if (held >= 0) {
            Node chain = new_growable(4);
            array_append(chain, uint32_t(held));
            array_append(rec(table)->chains, chain);
            t = rec(table);
            held = -int32_t(array_length(t->chains));
            hash_entries(t->keys)[gb].key = uint32_t(held);
        }
        array_append(chain_of(t, held), index);
        position_set(table, index, gb + 1);
        return -1;
    }
    if (target < 0) {
        // every bucket visited without a free one: cannot happen below the bound, but never lose
        // a key over it
        hashtable_resize(table, rec(table)->buckets + 1);
        return insert_index(table, index, status, key_hash);
    }
    uint32_t tb = uint32_t(target);
    uint32_t* fl = hash_words(t->flags);
    if (hash_flag(fl, tb) == HASH_FLAG_EMPTY) t->occupied++;
    hash_flag_set(fl, tb, HASH_FLAG_LIVE);
    hash_entries(t->keys)[tb] = HashEntry{index, hash};
    // size counts live entries: a map! key re-indexed with its entry removed (value header 0)
    // takes a bucket but no place in the count
    if (kind != HASH_KIND_MAP || index + 1 >= block_length(t) || cell_of(t, index + 1)->header != 0)
        t->size++;
    if (kind == HASH_KIND_HASH) position_set(table, index, tb + 1);
    return -1;
}

MapNormalizeFn g_map_normalize = nullptr;

// Indexes cells from `first`, every `step` cells. fresh: cells newly taken over from a block (a
// map! then drops repeated keys and normalises new ones).
void index_cells(Node table, uint32_t first, uint32_t step, bool fresh) {
    if (step == 0) step = 1;
    uint32_t i = first;
    while (i < block_length(rec(table))) {
        HashTable* t = rec(table);
        int status = 0;
        if (t->kind == HASH_KIND_WORDS) {
            Cell key = *cell_of(t, i);
            uint32_t* flags = hash_words(t->flags);
            uint32_t b = first_empty(flags, t->buckets, hash_value(&key, false));
            hash_flag_set(flags, b, HASH_FLAG_LIVE);
            hash_words(t->keys)[b] = i;
            t->size++;
            t->occupied++;
            if (t->occupied >= t->bound) hashtable_resize(table, 16 * (t->buckets + 1));
            i += step;
            continue;
        }
        if (t->kind == HASH_KIND_HASH && i < positions_count(t) &&
            hash_words(t->positions)[i] != 0xFFFFFFFFu) {
            i += step;  // indexed already (by a rebuild that ran first)
            continue;
        }
        int32_t present = insert_index(table, i, &status);
        if (status == 2) return;
        t = rec(table);
        if (t->kind == HASH_KIND_MAP && present >= 0 && uint32_t(present) != i && fresh) {
            // a repeated key keeps its first place and takes the later value; the later pair goes
            Series* s = block_of(t);
            uint32_t length = s->length();
            if (i + 1 < length) {
                Cell* value = s->cell_at(uint32_t(present) + 1);
                if (value->header == 0) t->size++;  // a removed entry comes back
                *value = *s->cell_at(i + 1);
            }
            uint32_t cut = length - i < 2 ? length - i : 2;
            std::memmove(s->cell_at(i), s->cell_at(i + cut), (length - i - cut) * 16);
            s->tail -= cut * 16;
            continue;
        }
        if (t->kind == HASH_KIND_MAP && present < 0 && fresh && g_map_normalize)
            g_map_normalize(cell_of(t, i));
        i += step;
    }
}

// Bucket of cell `index` of a map! table, or -1.
int64_t map_bucket_of(HashTable* t, uint32_t index) {
    Cell key = map_key(cell_of(t, index));
    const uint32_t* flags = hash_words(t->flags);
    const HashEntry* entries = hash_entries(t->keys);
    for (ProbeSequence p(hash_value(&key, false), t->buckets); p.more(); p.next()) {
        uint32_t f = hash_flag(flags, p.bucket);
        if (f == HASH_FLAG_EMPTY) return -1;
        if (f == HASH_FLAG_LIVE && entries[p.bucket].key == index) return p.bucket;
    }
    return -1;
}

// Takes cell `index` out of a hash! table.
void hash_delete_index(Node table, uint32_t index) {
    HashTable* t = rec(table);
    if (index >= positions_count(t)) return;
    uint32_t* pos = hash_words(t->positions);
    uint32_t p = pos[index];
    if (p == 0xFFFFFFFFu || p == 0 || p > t->buckets) return;
    uint32_t b = p - 1;
    uint32_t* flags = hash_words(t->flags);
    if (hash_flag(flags, b) != HASH_FLAG_LIVE) return;
    int32_t key = int32_t(hash_entries(t->keys)[b].key);
    bool emptied;
    if (key >= 0) {
        if (uint32_t(key) != index) return;
        emptied = true;
    } else {
        Node chain = chain_of(t, key);
        int32_t at = array_find(chain, index);
        if (at < 0) return;
        array_remove_bytes(chain, uint32_t(at), 4);
        emptied = array_length(chain) == 0;
        // the bucket's hash is its group's first cell's: a number group's next cell may lie in
        // another hash class. During a re-index after an edit, a first cell past the tail is
        // itself about to be taken out.
        uint32_t next = at == 0 && !emptied ? array_pick(chain, 1) : 0xFFFFFFFFu;
        if (next < block_length(t)) hash_entries(t->keys)[b].hash = hash_value(cell_of(t, next), false);
    }
    pos[index] = 0xFFFFFFFFu;
    if (emptied) {
        hash_flag_set(flags, b, HASH_FLAG_DELETED);
        t->size--;
    }
    if (emptied && key < 0) {
        // No live bucket leads to an empty chain. Those at the end of the list are dropped, so
        // that a group of equal keys that keeps coming and going does not pile up chains.
        Series* list = node_series(t->chains);
        while (list->used() >= 4 &&
               array_length(reinterpret_cast<const uint32_t*>(list->tail_ptr())[-1]) == 0)
            list->tail -= 4;
    }
}

// Applies fn to every stored cell index of a hash! table (each chain once) and rebuilds the
// position array.
template <class Fn>
void remap_indexes(Node table, Fn&& fn) {
    HashTable* t = rec(table);
    const uint32_t* flags = hash_words(t->flags);
    HashEntry* entries = hash_entries(t->keys);
    for (uint32_t b = 0; b < t->buckets; ++b)
        if (hash_flag(flags, b) == HASH_FLAG_LIVE && int32_t(entries[b].key) >= 0) entries[b].key = fn(entries[b].key);
    // chains no live bucket refers to are empty, so walking the chain list visits each once
    Series* list = node_series(t->chains);
    uint32_t chains = list->used() / 4;
    for (uint32_t c = 0; c < chains; ++c) {
        Series* chain = node_series(reinterpret_cast<uint32_t*>(node_series(t->chains)->head_ptr())[c]);
        uint32_t* e = reinterpret_cast<uint32_t*>(chain->head_ptr());
        uint32_t n = chain->used() / 4;
        for (uint32_t i = 0; i < n; ++i) e[i] = fn(e[i]);
    }
    positions_rebuild(table);
}

// ---- Record tables -------------------------------------------------------------------------------

inline uint32_t record_bytes(HashTable* t) { return t->positions; }

// Bucket of the record keyed `key`, or -1; *free gets the bucket an insertion would take.
int64_t record_bucket(HashTable* t, uint32_t key, int64_t* free) {
    const uint32_t* flags = hash_words(t->flags);
    const uint32_t* keys = hash_words(t->keys);
    *free = -1;
    for (ProbeSequence p(murmur3_fmix(key), t->buckets); p.more(); p.next()) {
        uint32_t b = p.bucket;
        uint32_t f = hash_flag(flags, b);
        if (f == HASH_FLAG_EMPTY) {
            if (*free < 0) *free = b;
            return -1;
        }
        if (f == HASH_FLAG_DELETED) {
            if (*free < 0) *free = b;
            continue;
        }
        const Cell* h = record_at(t, keys[b]);
        if (h->header == T_UNSET && h->data1 == key) return b;
    }
    return -1;
}

// Indexes the live records of the record buffer into fresh flag and key arrays.
void place_records(Node table) {
    HashTable* t = rec(table);
    uint32_t rb = record_bytes(t);
    Series* s = block_of(t);
    uint32_t used = s->used();
    uint32_t live = 0;
    for (uint32_t off = 0; off + rb <= used; off += rb)
        if (record_at(t, off)->header == T_UNSET) ++live;
    uint32_t buckets = t->buckets;
    while (live >= uint32_t(buckets * LOAD + 0.5) && buckets < 0x80000000u) buckets *= 2;
    Node flags = new_u32_array(flag_word_count(buckets), 0xAA);
    Node keys = new_u32_array(buckets, 0);
    t = rec(table);
    uint32_t* nf = hash_words(flags);
    uint32_t* nk = hash_words(keys);
    for (uint32_t off = 0; off + rb <= used; off += rb) {
        const Cell* h = record_at(t, off);
        if (h->header != T_UNSET) continue;
        uint32_t b = first_empty(nf, buckets, murmur3_fmix(h->data1));
        hash_flag_set(nf, b, HASH_FLAG_LIVE);
        nk[b] = off;
    }
    t->flags = flags;
    t->keys = keys;
    if (buckets != t->buckets) {
        t->buckets = buckets;
        t->bound = uint32_t(buckets * LOAD + 0.5);
    }
    t->size = live;
    t->occupied = live;
    t->stamp = stamp_now();
}

inline bool series_marked(Node n) {
    return n && node_slot_used(n) && (node_series(n)->flags & SER_MARK);
}

} // namespace

void hash_set_map_normalize(MapNormalizeFn fn) { g_map_normalize = fn; }

// ---- Making and sizing ---------------------------------------------------------------------------

Node hashtable_make(uint32_t size, Node block, uint32_t kind, uint32_t cells_per_record) {
    if (kind == HASH_KIND_WORDS && cells_per_record == 2 && block) return hashtable_copy_shape(block);
    CollectorHold hold;
    if (size < 4) size = 4;
    if (kind == HASH_KIND_WORDS && size >= 4000) size *= 2;
    uint32_t buckets = round_up_pow2(uint32_t(double(size) / LOAD));
    uint32_t bound = uint32_t(buckets * LOAD);

    Node table = alloc_bytes(sizeof(HashTable));
    Node flags = new_u32_array(flag_word_count(buckets), 0xAA);
    Node keys = new_key_array(kind, buckets);
    Node positions = 0, chains = 0, values = block;
    if (kind == HASH_KIND_HASH) {
        positions = new_u32_array(size, 0xFF);
        chains = new_growable(4);
    }
    bool records = kind == HASH_KIND_RECORDS || kind == HASH_KIND_OWNERSHIP;
    if (records || !block) {
        values = alloc_cells(records ? uint64_t(size) * (cells_per_record + 1) : size);
        node_series(values)->tail = 0;
    }
    Series* s = node_series(table);
    s->tail = sizeof(HashTable);
    HashTable* t = reinterpret_cast<HashTable*>(s->data());
    *t = HashTable{};
    t->positions = records ? 16 * (cells_per_record + 1) : positions;
    t->chains = chains;
    t->flags = flags;
    t->keys = keys;
    t->values = values;
    t->buckets = buckets;
    t->bound = bound;
    t->kind = kind;
    t->stamp = records ? stamp_now() : 0;
    if (block && !records) index_cells(table, 0, kind == HASH_KIND_MAP ? 2 : 1, true);
    return table;
}

Node hashtable_copy_shape(Node prototype) {
    CollectorHold hold;
    Node table = copy_series(node_series(prototype));
    Node flags = copy_series(node_series(rec(prototype)->flags));
    Node keys = copy_series(node_series(rec(prototype)->keys));
    Node values = copy_series(node_series(rec(prototype)->values));
    HashTable* t = rec(table);
    t->flags = flags;
    t->keys = keys;
    t->values = values;
    return table;
}

void hashtable_rebuild(Node table, uint32_t size) {
    CollectorHold hold;
    HashTable* t = rec(table);
    uint32_t buckets = round_up_pow2(uint32_t(double(size) * 1.5));
    if (buckets < 4) buckets = 4;
    bool had_stamp = t->stamp != 0;
    Node flags = new_u32_array(flag_word_count(buckets), 0xAA);
    Node keys = new_key_array(t->kind, buckets);
    t = rec(table);
    t->flags = flags;
    t->keys = keys;
    t->buckets = buckets;
    t->bound = uint32_t(buckets * LOAD);
    t->size = 0;
    t->occupied = 0;
    t->stamp = 0;
    if (t->kind == HASH_KIND_HASH) {
        node_series(t->chains)->tail = 0;
        positions_reserve(table, block_length(t));
        Series* ps = node_series(rec(table)->positions);
        std::memset(ps->data(), 0xFF, ps->tail);
    }
    index_cells(table, 0, rec(table)->kind == HASH_KIND_MAP ? 2 : 1, false);
    if (had_stamp) rec(table)->stamp = stamp_now();
}

void hashtable_refresh(Node table, uint32_t size) {
    CollectorHold hold;
    HashTable* t = rec(table);
    switch (t->kind) {
    case HASH_KIND_HASH: hashtable_rebuild(table, size); break;
    case HASH_KIND_RECORDS: case HASH_KIND_OWNERSHIP: hashtable_rebuild_records(table, size); break;
    default: rehash_into(table, t->buckets, t->bound, true); break;
    }
}

void hashtable_resize(Node table, uint32_t wanted) {
    CollectorHold hold;
    uint32_t buckets = round_up_pow2(wanted);
    if (buckets < 4) buckets = 4;
    uint32_t bound = uint32_t(buckets * LOAD + 0.5);
    // every live bucket moves, removed map! entries included (their keys stay indexed)
    if (live_buckets(rec(table)) >= bound) return;
    rehash_into(table, buckets, bound, false);
}

// ---- Block-backed tables -------------------------------------------------------------------------

Cell* hashtable_insert(Node table, const Cell* key, int* status, const uint32_t* key_hash) {
    CollectorHold hold;
    int local = 0;
    if (!status) status = &local;
    uint32_t index = uint32_t(key - block_of(rec(table))->cells());
    uint32_t stamp = rec(table)->stamp;
    check_stale(table);
    if (rec(table)->kind == HASH_KIND_HASH && rec(table)->stamp != stamp) {
        // the rebuild that renewed the stamp indexed the whole block, this cell included
        *status = 2;
        return cell_of(rec(table), index);
    }
    *status = 0;
    HashTable* t = rec(table);
    if (!keeps_entries(t->kind)) return cell_of(t, index);
    // a hash! cell indexed already (by a rebuild the caller's edit made necessary) stays as it is
    if (t->kind == HASH_KIND_HASH && index < positions_count(t) &&
        hash_words(t->positions)[index] != 0xFFFFFFFFu)
        return cell_of(t, index);
    int32_t present = insert_index(table, index, status, key_hash);
    return cell_of(rec(table), present >= 0 ? uint32_t(present) : index);
}

void hashtable_put(Node table, const Cell* key) {
    int status;
    hashtable_insert(table, key, &status);
}

void hashtable_index_block(Node table, uint32_t first, uint32_t step) {
    CollectorHold hold;
    uint32_t stamp = rec(table)->stamp;
    check_stale(table);
    // a stale hash! was rebuilt from its whole block, the new cells included
    if (rec(table)->kind == HASH_KIND_HASH && rec(table)->stamp != stamp) return;
    index_cells(table, first, step, true);
}

// Keys whose equality is an equivalence (words by canonical symbol, texts by folded content): a
// group whose first cell equals such a key holds only equal cells, and no other group does. Other
// keys (numbers with their tolerance, blocks holding numbers, values the installed comparison
// compares field by field) are compared cell by cell.
inline bool equivalence_key(TypeId t) {
    return (t >= T_WORD && t <= T_ISSUE) || t == T_STRING || t == T_FILE || t == T_URL ||
           t == T_TAG || t == T_EMAIL || t == T_REF;
}

// Types whose equal? is exact equality of one value: a hash! group of such cells holds one value.
inline bool exact_group(TypeId t) { return t == T_INTEGER; }

Cell* hashtable_find(Node table, const Cell* key_cell, int32_t start, int32_t skip, int op, bool last,
                     bool reverse, const uint32_t* key_hash) {
    Cell key = *key_cell;
    check_stale(table);
    HashTable* t = rec(table);
    if (t->kind != HASH_KIND_HASH && t->kind != HASH_KIND_MAP) return nullptr;
    bool map = t->kind == HASH_KIND_MAP;
    if (map) key = map_key(&key);
    const uint32_t* flags = hash_words(t->flags);
    const HashEntry* entries = hash_entries(t->keys);
    uint32_t hashes[2];
    uint32_t probes = 1;
    if (known_hash_usable(key_hash, key.type())) hashes[0] = *key_hash;
    else probes = hash_key_probes(&key, hashes);
    bool equivalence = equivalence_key(key.type());
    // map! keys are strictly distinct, and at most one integer key has a value; under an
    // equivalence at most one key matches strictly, and at most one under equal? until two keys
    // equal but for case were indexed (see insert_index)
    bool unique = map && (key.is(T_INTEGER) || (equivalence && (op == 2 || !t->variants)));
    // hash!: equal keys of different types (a word and a lit-word, a string and a file) form
    // groups of their own on the same probe sequence, so every equal group holds candidates and
    // the position rules pick one among them all. map!: the first matching key in block order.
    int64_t s = skip == 0 ? 1 : (skip < 0 ? -int64_t(skip) : skip);
    int64_t base = start;
    int64_t best = -1;
    for (uint32_t probe = 0; probe < probes; ++probe) {
        for (ProbeSequence p(hashes[probe], t->buckets); p.more(); p.next()) {
            uint32_t f = hash_flag(flags, p.bucket);
            if (f == HASH_FLAG_EMPTY) break;
            if (f == HASH_FLAG_DELETED) continue;
            HashEntry e = entries[p.bucket];
            // keys equal to the key (under any op) lie in the classes it probes
            if (e.hash != hashes[0] && (probes < 2 || e.hash != hashes[1])) continue;
            if (map) {
                Cell stored = map_key(cell_of(t, e.key));
                if (stored.type() == key.type() && hash_compare(&stored, &key, op) &&
                    (best < 0 || e.key < best)) {
                    best = e.key;
                    if (unique) return cell_of(t, uint32_t(best));
                }
                continue;
            }
            int32_t held = int32_t(e.key);
            const Cell* first = cell_of(t, group_first(t, held));
            bool check_each;
            bool equal_group = hash_compare(first, &key, 0);
            if (equal_group) {
                // the cells of the group are equal to the first, so equal to the key too, under
                // an equivalence; search equality (op 12) is equality when the types agree
                check_each = !equivalence || (op != 0 && !(op == 12 && first->type() == key.type()));
            } else {
                // without an equivalence, a group whose first cell is not equal may still hold
                // equal cells: only groups of the key's own hash classes can. The cells of a
                // group of integers all hold the value of the first.
                if (equivalence || exact_group(first->type())) continue;
                check_each = true;
            }
            for_group(t, held, [&](uint32_t l) {
                if (check_each && !hash_compare(cell_of(t, l), &key, op)) return;
                int64_t li = l;
                if (!last && !reverse) {
                    if (li >= base && (li - base) % s == 0 && (best < 0 || li < best)) best = li;
                } else {
                    int64_t r = ((base - 1 - li) % s + s) % s;
                    bool side = reverse ? li < base : li >= base;
                    if (side && r == 0 && li > best) best = li;
                }
            });
            // under an equivalence, the equal group met is the only one unless the table indexed
            // equal keys of two types (see insert_index)
            if (equal_group && equivalence && !t->variants) break;
        }
    }
    return best >= 0 ? cell_of(t, uint32_t(best)) : nullptr;
}

// The walk keeps its place in *position: the bucket last answered on the key's first probe
// sequence, or -(bucket + 2) on its second one (numbers near a class boundary have two). On a
// sequence of its own, each walk answers only the keys of that sequence's hash, so that a key met
// on both is answered once.
Cell* hashtable_find_next(Node table, const Cell* key_cell, int32_t* position, uint32_t* start_bucket,
                          uint32_t* step) {
    Cell key = *key_cell;
    check_stale(table);
    HashTable* t = rec(table);
    if (t->kind != HASH_KIND_HASH && t->kind != HASH_KIND_MAP) return nullptr;
    bool map = t->kind == HASH_KIND_MAP;
    if (map) key = map_key(&key);
    uint32_t hashes[2];
    uint32_t probes = hash_key_probes(&key, hashes);
    uint32_t mask = t->buckets - 1;
    uint32_t sequence;
    uint32_t b;
    bool advance;
    if (*position == -1) {
        sequence = 0;
        b = hashes[0] & mask;
        *start_bucket = b;
        *step = 0;
        advance = false;
    } else {
        sequence = *position < -1 ? 1 : 0;
        b = sequence ? uint32_t(-(*position + 2)) : uint32_t(*position);
        advance = true;
    }
    const uint32_t* flags = hash_words(t->flags);
    const HashEntry* entries = hash_entries(t->keys);
    while (true) {
        bool ended = false;
        if (advance) {
            *step += 1;
            b = (b + *step) & mask;
            ended = b == *start_bucket || *step >= t->buckets;
        }
        advance = true;
        uint32_t f = ended ? HASH_FLAG_EMPTY : hash_flag(flags, b);
        if (f == HASH_FLAG_EMPTY) {
            if (sequence + 1 >= probes) return nullptr;
            sequence = 1;
            b = hashes[1] & mask;
            *start_bucket = b;
            *step = 0;
            advance = false;
            continue;
        }
        if (f != HASH_FLAG_LIVE) continue;
        // a key met on both sequences is answered on the one of its own hash
        if (entries[b].hash != hashes[sequence]) continue;
        uint32_t k = entries[b].key;
        uint32_t index = t->kind == HASH_KIND_HASH ? group_first(t, int32_t(k)) : k;
        Cell stored = map ? map_key(cell_of(t, index)) : *cell_of(t, index);
        if (stored.type() != key.type() || !hash_compare(&stored, &key, 0)) continue;
        *position = sequence ? -int32_t(b) - 2 : int32_t(b);
        return cell_of(t, index);
    }
}

void hashtable_delete(Node table, const Cell* key) {
    CollectorHold hold;
    HashTable* t = rec(table);
    uint32_t index = uint32_t(key - block_of(t)->cells());
    check_stale(table);
    t = rec(table);
    if (t->kind == HASH_KIND_HASH) {
        hash_delete_index(table, index);
    } else if (t->kind == HASH_KIND_MAP) {
        if (index + 1 >= block_length(t) || map_bucket_of(t, index) < 0) return;
        Cell* value = cell_of(t, index + 1);
        if (value->header == 0) return;  // already removed
        value->header = 0;
        t->size--;
    }
}

void hashtable_remove_range(Node table, uint32_t first, uint32_t count) {
    CollectorHold hold;
    check_stale(table);
    HashTable* t = rec(table);
    if (t->kind != HASH_KIND_HASH) return;
    uint32_t length = block_length(t);
    if (first >= length) return;
    if (count > length - first) count = length - first;
    if (first == 0 && count == length) {
        hashtable_clear(table);
        return;
    }
    for (uint32_t i = first; i < first + count; ++i) hash_delete_index(table, i);
}

int hashtable_shift_indexes(Node table, int32_t offset, uint32_t first, uint32_t count) {
    if (count > SHIFT_LIMIT) return 1;
    CollectorHold hold;
    if (rec(table)->kind != HASH_KIND_HASH || offset == 0) return 0;
    // a stale table is rebuilt from the block as it is now: its indexes are already in step
    uint32_t stamp = rec(table)->stamp;
    check_stale(table);
    if (rec(table)->stamp != stamp) return 0;
    remap_indexes(table, [&](uint32_t i) { return i >= first ? uint32_t(int64_t(i) + offset) : i; });
    return 0;
}

void hashtable_move_indexes(Node table, uint32_t from, uint32_t to, uint32_t count) {
    CollectorHold hold;
    if (rec(table)->kind != HASH_KIND_HASH || from == to || count == 0) return;
    uint32_t stamp = rec(table)->stamp;
    check_stale(table);
    if (rec(table)->stamp != stamp) return;
    // the count cells at `from` end up at `to` (their first cell's index in the result); the
    // cells between close the gap
    remap_indexes(table, [&](uint32_t i) -> uint32_t {
        if (i >= from && i < from + count) return to + (i - from);
        if (to < from && i >= to && i < from) return i + count;
        if (to > from && i >= from + count && i < to + count) return i - count;
        return i;
    });
}

void hashtable_reindex_from(Node table, uint32_t first, int64_t old_count, int64_t new_count) {
    CollectorHold hold;
    if (rec(table)->kind != HASH_KIND_HASH) return;
    uint32_t stamp = rec(table)->stamp;
    check_stale(table);
    if (rec(table)->stamp != stamp) return;   // rebuilt from the block as it is now
    HashTable* t = rec(table);
    uint32_t length = block_length(t);
    if (first == 0 && old_count < 0 && new_count < 0) {
        hashtable_rebuild(table, length);
        return;
    }
    uint64_t known = positions_count(t);
    uint64_t old_end = old_count < 0 ? known : std::min<uint64_t>(uint64_t(first) + uint64_t(old_count), known);
    for (uint64_t i = first; i < old_end; ++i) hash_delete_index(table, uint32_t(i));
    uint64_t new_end = new_count < 0 ? length : std::min<uint64_t>(uint64_t(first) + uint64_t(new_count), length);
    for (uint64_t i = first; i < new_end; ++i) {
        int status = 0;
        insert_index(table, uint32_t(i), &status);
        if (status == 2) return;   // the table was rebuilt whole, these cells included
    }
}

void hashtable_compact_map(Node table) {
    CollectorHold hold;
    HashTable* t = rec(table);
    if (t->kind != HASH_KIND_MAP) return;
    Series* s = block_of(t);
    uint32_t length = s->length();
    uint32_t out = 0;
    for (uint32_t i = 0; i + 1 < length; i += 2) {
        if (s->cell_at(i + 1)->header == 0) continue;
        if (out != i) std::memmove(s->cell_at(out), s->cell_at(i), 32);
        out += 2;
    }
    if (length % 2) *s->cell_at(out++) = *s->cell_at(length - 1);   // a key without its value
    s->tail = s->head + out * 16;
    hashtable_rebuild(table, out / 2 + 1);
}

void hashtable_clear(Node table) {
    HashTable* t = rec(table);
    t->size = 0;
    t->occupied = 0;
    t->variants = 0;
    Series* f = node_series(t->flags);
    std::memset(f->data(), 0xAA, f->tail);
    if (t->kind == HASH_KIND_HASH) {
        node_series(t->chains)->tail = 0;
        Series* p = node_series(t->positions);
        std::memset(p->data(), 0xFF, p->tail);
    }
    // a record table owns its record buffer: the records go with their buckets, so that no
    // later re-indexing brings them back
    if (t->kind == HASH_KIND_RECORDS || t->kind == HASH_KIND_OWNERSHIP) {
        Series* r = block_of(t);
        r->tail = r->head;
    }
}

Node hashtable_copy(Node table, Node new_block) {
    CollectorHold hold;
    Node copy = copy_series(node_series(table));
    Node flags = copy_series(node_series(rec(table)->flags));
    Node keys = copy_series(node_series(rec(table)->keys));
    HashTable* t = rec(copy);
    t->flags = flags;
    t->keys = keys;
    t->values = new_block;
    if (t->kind == HASH_KIND_HASH) {
        Node positions = copy_series(node_series(rec(table)->positions));
        rec(copy)->positions = positions;
        // the copy gets chains of its own, so that editing one table never changes the other
        uint32_t chains = array_length(rec(table)->chains);
        Node list = new_growable(chains ? chains : 4);
        rec(copy)->chains = list;
        for (uint32_t c = 1; c <= chains; ++c) {
            Node chain = copy_series(node_series(array_pick(rec(table)->chains, c)));
            array_append(list, chain);
        }
    }
    return copy;
}

void hashtable_destroy(Node) {}

// ---- Record tables -------------------------------------------------------------------------------

void hashtable_check_stale(Node table) {
    HashTable* t = rec(table);
    if (t->stamp == 0 || t->stamp == stamp_now() || collector_active()) return;
    CollectorHold hold;
    switch (t->kind) {
    case HASH_KIND_HASH: hashtable_rebuild(table, block_length(t)); break;
    case HASH_KIND_RECORDS: case HASH_KIND_OWNERSHIP: hashtable_reindex_records(table); break;
    default:
        rehash_into(table, t->buckets, t->bound, true);
        rec(table)->stamp = stamp_now();
        break;
    }
}

Cell* hashtable_put_int(Node table, uint32_t key) {
    CollectorHold hold;
    check_stale(table);
    HashTable* t = rec(table);
    int64_t free;
    int64_t b = record_bucket(t, key, &free);
    if (b >= 0) return record_at(t, hash_words(t->keys)[b]) + 1;
    if (t->occupied >= t->bound) {
        hashtable_rebuild_records(table, 2 * t->size < t->buckets ? t->buckets - 1 : t->buckets + 1);
        t = rec(table);
        record_bucket(t, key, &free);
    }
    uint32_t rb = record_bytes(t);
    uint8_t* p = reserve_tail_bytes(t->values, rb);
    t = rec(table);
    Cell* h = reinterpret_cast<Cell*>(p);
    init_cell(h, T_UNSET, key);
    for (uint32_t i = 1; i < rb / 16; ++i) init_cell(h + i, T_UNSET);
    uint32_t off = uint32_t(p - block_of(t)->head_ptr());
    uint32_t* flags = hash_words(t->flags);
    uint32_t fb = uint32_t(free);
    if (hash_flag(flags, fb) == HASH_FLAG_EMPTY) t->occupied++;
    hash_flag_set(flags, fb, HASH_FLAG_LIVE);
    hash_words(t->keys)[fb] = off;
    t->size++;
    return h + 1;
}

Cell* hashtable_get_int(Node table, uint32_t key) {
    check_stale(table);
    HashTable* t = rec(table);
    int64_t free;
    int64_t b = record_bucket(t, key, &free);
    return b < 0 ? nullptr : record_at(t, hash_words(t->keys)[b]) + 1;
}

Cell* hashtable_delete_int(Node table, uint32_t key) {
    check_stale(table);
    HashTable* t = rec(table);
    int64_t free;
    int64_t b = record_bucket(t, key, &free);
    if (b < 0) return nullptr;
    Cell* h = record_at(t, hash_words(t->keys)[b]);
    h->header = 0;
    hash_flag_set(hash_words(t->flags), uint32_t(b), HASH_FLAG_DELETED);
    t->size--;
    return h + 1;
}

void hashtable_rebuild_records(Node table, uint32_t size) {
    CollectorHold hold;
    HashTable* t = rec(table);
    uint32_t buckets = round_up_pow2(size);
    if (buckets < 4) buckets = 4;
    uint32_t rb = record_bytes(t);
    uint32_t used = block_of(t)->used();
    uint32_t live = 0;
    for (uint32_t off = 0; off + rb <= used; off += rb)
        if (record_at(t, off)->header == T_UNSET) ++live;
    // a new record buffer with the live records only
    Node values = alloc_cells(uint64_t(live ? live : 1) * (rb / 16));
    t = rec(table);
    Series* from = block_of(t);
    Series* to = node_series(values);
    uint32_t at = 0;
    for (uint32_t off = 0; off + rb <= used; off += rb) {
        const uint8_t* r = from->head_ptr() + off;
        if (reinterpret_cast<const Cell*>(r)->header != T_UNSET) continue;
        std::memcpy(to->data() + at, r, rb);
        at += rb;
    }
    to->head = 0;
    to->tail = at;
    t->values = values;
    t->buckets = buckets;
    t->bound = uint32_t(buckets * LOAD + 0.5);
    place_records(table);
}

void hashtable_reindex_records(Node table) {
    CollectorHold hold;
    place_records(table);
}

// ---- Word tables ---------------------------------------------------------------------------------

int32_t hashtable_word_index(Node table, uint32_t symbol, bool case_insensitive, Node context,
                             int32_t* out_index) {
    CollectorHold hold;
    HashTable* t = rec(table);
    uint32_t canonical = symbol_resolve(symbol);
    uint32_t hash = murmur3_fmix(canonical);
    for (int round = 0; round < 2; ++round) {
        const uint32_t* flags = hash_words(t->flags);
        const uint32_t* keys = hash_words(t->keys);
        int64_t empty = -1;
        for (ProbeSequence p(hash, t->buckets); p.more(); p.next()) {
            uint32_t b = p.bucket;
            if (hash_flag(flags, b) != HASH_FLAG_LIVE) {
                empty = b;
                break;
            }
            const Cell* stored = cell_of(t, keys[b]);
            if (!case_insensitive) {
                if (stored->data2 == symbol) return int32_t(keys[b]);
            } else if (symbol_resolve(stored->data2) == canonical) {
                // the word's own index: case variants of the global context share the slot of
                // the first one added, whichever of them the probe sequence meets first
                return int32_t(stored->data3);
            }
        }
        if (!context) return -1;
        if (round == 0 && (t->occupied >= t->bound || empty < 0)) {
            hashtable_resize(table, 16 * (2 * t->size < t->buckets ? t->buckets - 1 : t->buckets + 1));
            t = rec(table);
            continue;
        }
        if (empty < 0) return -1;
        uint32_t position = block_length(t);
        block_append(t->values, make_cell(T_WORD, context, symbol, position));
        t = rec(table);
        uint32_t* fl = hash_words(t->flags);
        hash_flag_set(fl, uint32_t(empty), HASH_FLAG_LIVE);
        hash_words(t->keys)[empty] = position;
        t->size++;
        t->occupied++;
        if (out_index) *out_index = int32_t(position);
        return -1;
    }
    return -1;
}

// ---- Collector support ---------------------------------------------------------------------------

void hashtable_mark_ref(Node* ref) {
    if (!*ref || !collector_mark_series(ref)) return;
    HashTable* t = rec(*ref);
    collector_mark_series(&t->flags);
    collector_mark_series(&t->keys);
    if (t->kind == HASH_KIND_HASH) {
        collector_mark_series(&t->positions);
        if (collector_mark_series(&t->chains)) {
            Series* list = node_series(t->chains);
            Node* chain = reinterpret_cast<Node*>(list->head_ptr());
            for (uint32_t i = 0, n = list->used() / 4; i < n; ++i) collector_mark_series(&chain[i]);
        }
    }
    if (t->kind == HASH_KIND_RECORDS) {
        Series* s = node_series(t->values);
        uint32_t rb = record_bytes(t);
        for (uint32_t off = 0; off + rb <= s->used(); off += rb) {
            Cell* h = reinterpret_cast<Cell*>(s->head_ptr() + off);
            if (h->header != T_UNSET || !h->data1 || !node_slot_used(h->data1)) continue;
            if (node_series(h->data1)->unit() == 16) collector_mark_block_node(&h->data1);
            else collector_mark_series(&h->data1);
        }
    }
    if (t->kind == HASH_KIND_OWNERSHIP) collector_mark_series(&t->values);
    else collector_mark_block_node(&t->values);
}

void hashtable_mark(Node table) { hashtable_mark_ref(&table); }

void hashtable_sweep_int(Node table) {
    if (!table) return;
    HashTable* t = rec(table);
    if (t->kind != HASH_KIND_RECORDS && t->kind != HASH_KIND_OWNERSHIP) return;
    bool weak_owner = t->kind == HASH_KIND_OWNERSHIP;
    Series* s = node_series(t->values);
    uint32_t rb = record_bytes(t);
    uint32_t cells = rb / 16;
    for (uint32_t off = 0; off + rb <= s->used(); off += rb) {
        Cell* h = reinterpret_cast<Cell*>(s->head_ptr() + off);
        if (h->header != T_UNSET) continue;
        bool alive = series_marked(h->data1);
        if (alive && weak_owner && cells > 2 && h[2].is(T_OBJECT)) alive = series_marked(h[2].data1);
        if (!alive) {
            h->header = 0;
            h->data1 = 0;
            for (uint32_t i = 1; i < cells; ++i) init_cell(h + i, T_UNSET);
            continue;
        }
        // a survivor: follow a renumbered key, and (weak tables mark nothing earlier) keep what
        // its value cells refer to
        collector_mark_series(&h->data1);
        if (weak_owner && cells > 1) collector_mark_cells(h + 1, h + cells);
    }
}

} // namespace kel

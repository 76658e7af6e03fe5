// Hashing and hash tables.
//
// Hashing is MurmurHash3 (x86, 32-bit) with one process-wide seed. murmur3_bytes hashes raw
// bytes; murmur3_string runs the same algorithm over the characters of a string value, one 32-bit
// block per code point whatever the unit width, so equal texts hash alike in every width; unless
// asked to be case-sensitive it folds each code point to upper case first. hash_value gives the
// hash of any value cell.
//
// Values that compare equal must hash alike, and a hash must never depend on node numbering or on
// when the collector ran. So series whose equality is by content (blocks, paths, hash!) are hashed
// by their content, never by their node; values whose equality is by content but whose content is
// out of reach here (objects, errors, ports, maps, images) share one hash per type; the few values
// compared by identity (natives, actions, ops, functions, events) hash a payload that holds node
// handles, and tables that hold such keys carry an index stamp and are re-indexed after a
// collection.
//
// One open-addressing table design serves five kinds of tables:
//   0 hash!       keys are cell indexes into the indexed block; equal keys share one bucket
//                 through a chain of indexes; a position array maps each cell to its bucket
//   1 map!        keys are indexes of key cells in a block of key/value pairs
//   2 words       the symbol table and context word tables: keys are 0-based positions in the
//                 value block (symbol! cells, or word! cells of a context's word list)
//   3 records     record tables keyed by a node handle; each record is a header cell (word 0 = 2
//                 live, 0 removed; word 1 the key) followed by the table's value cells
//   4 ownership   as 3, but held weakly: the collector drops records whose key series or owner
//                 object died, and marks nothing through a record itself
//
// A table is a record series of twelve 32-bit fields (HashTable below) whose node is "the table";
// its arrays are series of their own, so the collector marks them and may move them. Buckets are
// a power of two, probing is triangular (offsets 0, 1, 3, 6, 10 ... from hash & (buckets - 1)),
// and each bucket has two flag bits (2 empty, 1 deleted, 0 live), sixteen buckets per 32-bit word.
//
// hash! and map! tables keep a pair of 32-bit words per bucket in their key array (HashEntry): the
// key entry and the hash of the key (of a hash! group's first cell). A probe reads the small flag
// array first, so a search that ends at an empty bucket touches nothing else; a live bucket costs
// one more cache line for its key entry and hash together, and a stored key cell (and the text
// behind it) is read only when the hashes agree. Growing never hashes a key again.
//
// Every operation that allocates holds the collector off for its duration, so table nodes and
// the nodes of their arrays stay valid inside it; buffers still move when they grow, so series
// addresses are fetched again after each allocation.
#pragma once

#include "core/cell.h"
#include "core/gc.h"
#include "core/memory.h"

#include <cstddef>
#include <cstdint>

namespace kel {

// ---- Hash functions -----------------------------------------------------------------------------

// The seed of both MurmurHash3 functions. It has a fixed default; random initialisation may set
// it once at start-up, before any table exists.
constexpr uint32_t HASH_SEED_DEFAULT = 0x4B656C31;
extern uint32_t g_hash_seed;
void hash_seed_set(uint32_t seed);

uint32_t murmur3_bytes(const void* data, size_t length);
// Over the characters of a string value from its head to its tail; case-folded to upper case
// unless case_sensitive. A unit width other than 1, 2 or 4 ends the process (runtime error 101).
uint32_t murmur3_string(const Cell* str, bool case_sensitive);
// One 4-byte block mixed into the running hash (also the tail step, without the rotation and
// the addition).
inline uint32_t murmur3_scramble(uint32_t k) {
    k *= 0xCC9E2D51u;
    k = (k << 15) | (k >> 17);
    return k * 0x1B873593u;
}
inline uint32_t murmur3_round(uint32_t h, uint32_t k) {
    h ^= murmur3_scramble(k);
    h = (h << 13) | (h >> 19);
    return h * 5 + 0xE6546B64u;
}
// The finaliser alone.
inline uint32_t murmur3_fmix(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

// Smallest power of two >= v (1 for 0); values above 2^31 give 2^31.
uint32_t round_up_pow2(uint32_t v);

// Hash of a value cell.
//
// The rule the tables rest on: two values that hash_compare calls equal (op 0, 2 or 12) hash
// alike, or, for numbers, meet through hash_key_probes. Numbers (integer!, float!, percent!,
// time!, char!) compare across types by value and equal? compares doubles with a tolerance, so
// they hash by a class of values (1, 1.0 and 100% share one; char! #"A" and 65 too). A comparison
// installed with hash_set_compare that calls more values equal must keep to this rule: values of
// different hash classes are never equal. The class of a 32-bit integer hashes so that runs of 16
// consecutive integers take consecutive buckets (keys met in order stay near one another in the
// table), each run placed by murmur3_fmix of its run number.
uint32_t hash_value(const Cell* value, bool case_sensitive);
// The hashes a look-up of `key` probes: hash_value first, then (for a number whose tolerance
// interval reaches into the neighbouring class) that class's hash. Returns 1 or 2.
uint32_t hash_key_probes(const Cell* key, uint32_t out[2]);
// True for the types whose hash reads node handles (tables holding them are re-indexed after a
// collection).
inline bool address_hashed_type(TypeId t) {
    return t == T_NATIVE || t == T_ACTION || t == T_OP || t == T_FUNCTION || t == T_EVENT;
}

// ---- Tables -------------------------------------------------------------------------------------

enum HashKind : uint32_t {
    HASH_KIND_HASH = 0,
    HASH_KIND_MAP = 1,
    HASH_KIND_WORDS = 2,
    HASH_KIND_RECORDS = 3,
    HASH_KIND_OWNERSHIP = 4,
};

// The table record: twelve 32-bit fields in a byte series of its own.
struct HashTable {
    uint32_t size;       // live buckets (distinct keys)
    uint32_t positions;  // hash!: node of the position array; record kinds: bytes per record
    Node chains;         // hash!: node of the chain list (an array of chain arrays)
    Node flags;          // node of the flag array
    Node keys;           // node of the key array (of HashEntry pairs for hash! and map!)
    Node values;         // node of the indexed block, the word/symbol block, or the record buffer
    uint32_t occupied;   // live or deleted buckets
    uint32_t buckets;    // a power of two, at least 4
    uint32_t bound;      // occupied count at which the table grows or is cleaned
    uint32_t kind;       // HashKind
    uint32_t stamp;      // 0, or collector cycle count + 1 when last indexed
    uint32_t variants;   // 1 once the table indexed two keys that equal? calls equal in two
                         // buckets: a map! two that a strict comparison tells apart ("abc" and
                         // "ABC"), a hash! two of different types (a word and a lit-word); until
                         // then a look-up of a text or word key stops at its first match (group)
};
static_assert(sizeof(HashTable) == 48);

// A bucket of a hash! or map! table: the key entry (cell index, or minus a hash! chain number) and
// the hash of the key; meaningful in live buckets only.
struct HashEntry {
    uint32_t key;
    uint32_t hash;
};
static_assert(sizeof(HashEntry) == 8);
inline HashEntry* hash_entries(Node keys) {
    return reinterpret_cast<HashEntry*>(node_series(keys)->data());
}

inline HashTable* hashtable_record(Node table) {
    return reinterpret_cast<HashTable*>(node_series(table)->data());
}

// Bucket flags: two bits per bucket, sixteen buckets per 32-bit word.
constexpr uint32_t HASH_FLAG_LIVE = 0;
constexpr uint32_t HASH_FLAG_DELETED = 1;
constexpr uint32_t HASH_FLAG_EMPTY = 2;
inline uint32_t* hash_words(Node array) { return reinterpret_cast<uint32_t*>(node_series(array)->data()); }
inline uint32_t hash_flag(const uint32_t* flags, uint32_t bucket) {
    return (flags[bucket >> 4] >> ((bucket & 15) * 2)) & 3;
}
inline void hash_flag_set(uint32_t* flags, uint32_t bucket, uint32_t flag) {
    uint32_t shift = (bucket & 15) * 2;
    flags[bucket >> 4] = (flags[bucket >> 4] & ~(3u << shift)) | (flag << shift);
}

// The probe sequence of a hash over a power-of-two bucket count: hash & (buckets - 1), then steps
// of 1, 2, 3 ... (offsets 0, 1, 3, 6, 10 ... from the start), masked. The first `buckets` probes
// visit every bucket once; more() turns false after them.
struct ProbeSequence {
    uint32_t mask;
    uint32_t bucket;
    uint32_t step = 0;
    ProbeSequence(uint32_t hash, uint32_t buckets) : mask(buckets - 1), bucket(hash & mask) {}
    bool more() const { return step <= mask; }
    void next() { bucket = (bucket + ++step) & mask; }
};

// Holds collection off for a scope (tables keep node handles in locals while they allocate).
class CollectorHold {
public:
    CollectorHold() : saved_(g_collector_enabled) { g_collector_enabled = false; }
    ~CollectorHold() { g_collector_enabled = saved_; }
    CollectorHold(const CollectorHold&) = delete;
    CollectorHold& operator=(const CollectorHold&) = delete;

private:
    bool saved_;
};

// Cell comparison the tables use to decide equality of keys: answers true when a and b match
// under the comparison op (0 equal?, 2 strict-equal?, 9 same?, 12 search equality). Until the
// datatypes install the language's compare (hash_set_compare), a built-in comparison of the core
// types is used. The comparison must not allocate: the tables hold buffer addresses across it.
using HashCompareFn = bool (*)(const Cell* a, const Cell* b, int op);
void hash_set_compare(HashCompareFn fn);
bool hash_compare(const Cell* a, const Cell* b, int op);
// Normalisation of a new map! key made from a block (words become set-words, texts are copied);
// none until the map! datatype installs it.
using MapNormalizeFn = void (*)(Cell* key);
void hash_set_map_normalize(MapNormalizeFn fn);

// Making and sizing. block is the node of the block to index (0: none; the table then gets a new
// value series of `size` cells). For kind 2 with cells_per_record 2, block is a prototype table
// whose shape is copied. Returns the node of the table record.
Node hashtable_make(uint32_t size, Node block, uint32_t kind, uint32_t cells_per_record);
Node hashtable_copy_shape(Node prototype);
void hashtable_rebuild(Node table, uint32_t size);
void hashtable_refresh(Node table, uint32_t size);
void hashtable_resize(Node table, uint32_t wanted_buckets);

// Block-backed tables (kinds 0 and 1). Cell indexes count from the block's head. The key cell
// given to insert, put and delete must lie in the indexed block.
//
// Every entry that reads or writes a table first re-indexes it when it is stale (a collection
// ran since it was indexed and it holds identity-hashed keys). A stale hash! is rebuilt from its
// whole block, which indexes cells the caller added too: hashtable_insert then answers status 2,
// and hashtable_index_block, hashtable_shift_indexes and hashtable_move_indexes have nothing left
// to do. hashtable_index_block skips hash! cells that are indexed already, so indexing new cells
// after a hashtable_rebuild adds nothing twice.
//
// map! removals: hashtable_delete clears the entry's value header and keeps its key indexed;
// `size` counts live entries only, while resizing, rebuilding and the load bound account for every
// indexed key. A caller that stores a value into a removed entry found by hashtable_insert brings
// it back itself (hashtable_index_block does this for the pairs it indexes).
//
// hashtable_shift_indexes: after cells were inserted into or removed from the block at `first`,
// adds `offset` to EVERY stored index at or after `first`. `count` (the cells that moved) only
// decides whether the shift is done: above 30000 it declines with 1 and the caller rebuilds.
//
// key_hash: the key's hash_value (case-insensitive) when the caller has it at hand, so that a
// look-up followed by an insertion of the same text hashes it once; ignored for keys hashed as
// numbers or by identity.
Cell* hashtable_insert(Node table, const Cell* key, int* status, const uint32_t* key_hash = nullptr);
void hashtable_put(Node table, const Cell* key);
void hashtable_index_block(Node table, uint32_t first, uint32_t step);
Cell* hashtable_find(Node table, const Cell* key, int32_t start, int32_t skip, int op, bool last,
                     bool reverse, const uint32_t* key_hash = nullptr);
// Walks the live keys of the key's type that are equal? to it, each once; start with *position
// -1 and pass the three values back unchanged (*position is an opaque place, not a bucket).
Cell* hashtable_find_next(Node table, const Cell* key, int32_t* position, uint32_t* start_bucket,
                          uint32_t* step);
void hashtable_delete(Node table, const Cell* key);
void hashtable_remove_range(Node table, uint32_t first, uint32_t count);
int hashtable_shift_indexes(Node table, int32_t offset, uint32_t first, uint32_t count);
void hashtable_move_indexes(Node table, uint32_t from, uint32_t to, uint32_t count);
// After an edit of a hash!'s block: takes out the entries of the `old_count` cells that were at
// `first` (by the positions the table recorded; old_count < 0: every recorded cell from first on)
// and indexes the `new_count` cells now there (new_count < 0: up to the tail). The cells before
// `first` must be unchanged.
void hashtable_reindex_from(Node table, uint32_t first, int64_t old_count, int64_t new_count);
// map!: drops the pairs of removed entries from the block (the live pairs keep their order) and
// indexes the block again; the table is sized for the live keys.
void hashtable_compact_map(Node table);
// Empties the table; a record table also drops its records.
void hashtable_clear(Node table);
Node hashtable_copy(Node table, Node new_block);
void hashtable_destroy(Node table);

// Record tables (kinds 3 and 4), keyed by 32-bit node handles. The pointers returned lead to the
// record's first value cell and are valid until the next allocation.
Cell* hashtable_put_int(Node table, uint32_t key);
Cell* hashtable_get_int(Node table, uint32_t key);
Cell* hashtable_delete_int(Node table, uint32_t key);
void hashtable_check_stale(Node table);
void hashtable_rebuild_records(Node table, uint32_t size);
void hashtable_reindex_records(Node table);

// Word tables (kind 2): the position of the symbol's word in the table's word list, or -1. The
// case-insensitive look-up answers the index the word found holds (word 3), which is its position
// except for a case variant of the global context: that one holds the index of the first variant
// added, so every variant answers the same slot. With a context node (non-zero) an absent symbol
// is added as a word! cell (context, symbol, position) at the end of the word list; -1 is
// returned and the new position written to *out_index.
int32_t hashtable_word_index(Node table, uint32_t symbol, bool case_insensitive, Node context,
                             int32_t* out_index);

// Collector support. hashtable_mark marks the record and everything the table holds strongly (a
// record table of kind 3 also the series of its keys; the ownership table neither its keys nor
// its record cells); hashtable_mark_ref does the same through a reference, which the collector
// rewrites when it moved the record's node. hashtable_sweep_int runs during the sweep: it removes
// the records of dead keys (and, in the ownership table, of dead owners) and keeps the survivors'
// references up to date.
void hashtable_mark(Node table);
void hashtable_mark_ref(Node* table);
void hashtable_sweep_int(Node table);

// ---- Intmap: the collector's own map of 32-bit keys to 32-bit values, on the process heap ------

struct IntMap {
    uint32_t size;       // keys held
    uint32_t* flags;     // 2 bits per bucket, as in the tables
    uint32_t* pairs;     // (key, value) per bucket
    uint32_t occupied;
    uint32_t buckets;
    uint32_t bound;
};

// Null when the heap refuses.
IntMap* intmap_make(uint32_t expected);
// Sets the value of key (replacing an existing one); false when the map is full and cannot grow.
bool intmap_put(IntMap* map, uint32_t key, uint32_t value);
// Address of the key's value, or null.
uint32_t* intmap_get(IntMap* map, uint32_t key);
// Bucket of the key, or -1.
int32_t intmap_find(const IntMap* map, uint32_t key);
// Rehashes into max(round_up_pow2(buckets), 4) buckets; -1 (map unchanged) when the heap refuses
// or the keys would not fit, else 0.
int intmap_resize(IntMap* map, uint32_t buckets);
void intmap_free(IntMap* map);

} // namespace kel

// The symbol table: interning, canonical symbols and their case aliases, spellings.
//
// Interning probes the symbol hash table (kind 2 over the symbol block) with the hash of the name
// with A-Z lowered, so every case variant of a name lies on one probe sequence. One walk along the
// sequence does the work of the two passes the rules describe: an exact match answers at once;
// otherwise the first match without regard to ASCII case (if any) becomes the canonical symbol of
// a new alias, which takes the empty bucket that ended the walk.
#include "core/symbol.h"

#include "core/hash.h"
#include "core/series.h"
#include "core/unicode.h"

#include <cstring>
#include <vector>

namespace kel {

Node g_symbol_table = 0;

namespace {

constexpr uint32_t SYMBOL_TABLE_SIZE = 4000;

inline uint8_t ascii_lower(uint8_t c) { return uint32_t(c - 'A') < 26u ? uint8_t(c | 0x60) : c; }

bool ascii_equal_nocase(const uint8_t* a, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i] && ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

inline Series* symbol_block() { return node_series(g_symbol_block); }

inline Series* name_series(const Cell* sym) { return node_series(sym->data3); }

// Makes a symbol whose cell goes at the end of the symbol block and whose key takes `bucket`.
uint32_t symbol_new(const uint8_t* text, size_t n, uint32_t bucket, int32_t alias_link) {
    Node name = alloc_bytes(n + 1);
    Series* ns = node_series(name);
    if (n) std::memcpy(ns->data(), text, n);
    ns->data()[n] = 0;
    ns->head = 0;
    ns->tail = uint32_t(n);
    uint32_t position = symbol_block()->length();
    block_append(g_symbol_block, make_cell(T_SYMBOL, uint32_t(alias_link), 0, name));
    HashTable* t = hashtable_record(g_symbol_table);
    hash_flag_set(hash_words(t->flags), bucket, HASH_FLAG_LIVE);
    hash_words(t->keys)[bucket] = position;
    t->size++;
    t->occupied++;
    return position + 1;
}

uint32_t intern(const uint8_t* text, size_t n, bool caseless) {
    CollectorHold hold;
    HashTable* t = hashtable_record(g_symbol_table);
    if (t->occupied >= t->bound) {
        hashtable_resize(g_symbol_table, 16 * (2 * t->size < t->buckets ? t->buckets - 1 : t->buckets + 1));
        t = hashtable_record(g_symbol_table);
    }
    const uint32_t* flags = hash_words(t->flags);
    const uint32_t* keys = hash_words(t->keys);
    Series* block = symbol_block();
    int64_t variant = -1;  // first symbol equal without regard to ASCII case
    for (ProbeSequence p(symbol_name_hash(text, n), t->buckets); p.more(); p.next()) {
        uint32_t b = p.bucket;
        if (hash_flag(flags, b) != HASH_FLAG_LIVE) {
            if (variant >= 0) {
                if (caseless) return uint32_t(variant) + 1;
                return symbol_new(text, n, b, int32_t(symbol_resolve(uint32_t(variant) + 1)));
            }
            return symbol_new(text, n, b, -1);
        }
        uint32_t position = keys[b];
        Series* ns = name_series(block->cell_at(position));
        if (ns->used() != n) continue;
        const uint8_t* name = ns->head_ptr();
        if (!caseless && (n == 0 || std::memcmp(name, text, n) == 0)) return position + 1;
        if (variant < 0 && ascii_equal_nocase(name, text, n)) {
            if (caseless) return position + 1;
            variant = position;
        }
    }
    // every bucket live: cannot happen below the bound; grow and try again
    hashtable_resize(g_symbol_table, 16 * (t->buckets + 1));
    return intern(text, n, caseless);
}

std::vector<uint8_t> g_utf8_scratch;

} // namespace

void symbols_init() {
    g_symbol_table = hashtable_make(SYMBOL_TABLE_SIZE, g_symbol_block, HASH_KIND_WORDS, 0);
}

uint32_t symbol_name_hash(const uint8_t* text, size_t length) {
    // MurmurHash3 of the lowered bytes, lowered as they are read
    uint8_t block[4];
    uint32_t h = g_hash_seed;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        for (int j = 0; j < 4; ++j) block[j] = ascii_lower(text[i + j]);
        uint32_t k;
        std::memcpy(&k, block, 4);
        h = murmur3_round(h, k);
    }
    uint32_t k = 0;
    switch (length & 3) {
    case 3: k ^= uint32_t(ascii_lower(text[i + 2])) << 16; [[fallthrough]];
    case 2: k ^= uint32_t(ascii_lower(text[i + 1])) << 8; [[fallthrough]];
    case 1: k ^= ascii_lower(text[i]); h ^= murmur3_scramble(k);
    }
    return murmur3_fmix(h ^ uint32_t(length));
}

// Interning holds the collector off, so the text stays where it is even when it lies in a series.
uint32_t symbol_make_utf8(const uint8_t* text, size_t length) { return intern(text, length, false); }

uint32_t symbol_make(const char* name) {
    return intern(reinterpret_cast<const uint8_t*>(name), std::strlen(name), false);
}

uint32_t symbol_make_caseless(const char* name) {
    return intern(reinterpret_cast<const uint8_t*>(name), std::strlen(name), true);
}

uint32_t symbol_make_from_string(const Cell* str) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    const uint8_t* start = s->head_ptr() + uint64_t(series_index(str)) * unit;
    if (start > s->tail_ptr()) start = s->tail_ptr();
    int64_t bytes = utf8_length_of_units(start, s->tail_ptr(), unit);
    g_utf8_scratch.resize(size_t(bytes) + 1);
    int32_t written = string_encode_utf8(str, g_utf8_scratch.data(), int32_t(bytes + 1), -1, false);
    return intern(g_utf8_scratch.data(), size_t(written), false);
}

uint32_t symbol_count() { return g_symbol_block ? symbol_block()->length() : 0; }

Cell* symbol_cell(uint32_t id) {
    if (id == 0 || id > symbol_count()) return nullptr;
    return symbol_block()->cell_at(id - 1);
}

uint32_t symbol_resolve(uint32_t id) {
    const Cell* c = symbol_cell(id);
    if (!c) return id;
    int32_t link = int32_t(c->data1);
    return link > 0 ? uint32_t(link) : id;
}

int32_t symbol_alias_link(uint32_t id) {
    const Cell* c = symbol_cell(id);
    return c ? int32_t(c->data1) : -1;
}

const uint8_t* symbol_name(uint32_t id, uint32_t* length) {
    const Cell* c = symbol_cell(id);
    if (!c) {
        *length = 0;
        return reinterpret_cast<const uint8_t*>("");
    }
    Series* ns = name_series(c);
    *length = ns->used();
    return ns->head_ptr();
}

Node symbol_cache_string(uint32_t id) {
    Cell* c = symbol_cell(id);
    if (!c) return 0;
    if (c->data2) return c->data2;
    CollectorHold hold;  // keeps the name where it is while the string is made
    Series* ns = name_series(c);
    const uint8_t* p = ns->head_ptr();
    const uint8_t* end = ns->tail_ptr();
    // the widest code point decides the unit; a byte that begins no valid sequence reads as U+FFFD
    uint32_t count = 0, widest = 0;
    for (const uint8_t* q = p; q < end; ++count) {
        int32_t cp;
        q = decode_utf8_char(q, end, &cp);
        uint32_t v = cp < 0 ? 0xFFFDu : uint32_t(cp);
        if (v > widest) widest = v;
    }
    uint32_t unit = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
    Node str = alloc_units(count, unit);
    ns = name_series(symbol_cell(id));
    p = ns->head_ptr();
    end = ns->tail_ptr();
    Series* ss = node_series(str);
    uint8_t* out = ss->data();
    while (p < end) {
        int32_t cp;
        p = decode_utf8_char(p, end, &cp);
        unit_put(out, unit, cp < 0 ? 0xFFFDu : uint32_t(cp));
        out += unit;
    }
    ss->head = 0;
    ss->tail = count * unit;
    symbol_cell(id)->data2 = str;
    return str;
}

Cell* symbol_get(uint32_t id) {
    if (!symbol_cell(id)) return nullptr;
    symbol_cache_string(id);
    return symbol_cell(id);
}

} // namespace kel

// Hash functions, the hash of a value cell, the key comparison the tables use until the datatypes
// provide the language's own, and the collector's intmap.
#include "core/hash.h"

#include "core/case-fold.h"
#include "core/series.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/date.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kel {

uint32_t g_hash_seed = HASH_SEED_DEFAULT;

void hash_seed_set(uint32_t seed) { g_hash_seed = seed; }

// ---- MurmurHash3 x86 32-bit ----------------------------------------------------------------------

namespace {

// The block-at-a-time state, for hashes fed one 32-bit block at a time.
struct Murmur {
    uint32_t h = g_hash_seed;
    uint32_t length = 0;
    void add(uint32_t k) {
        h = murmur3_round(h, k);
        length += 4;
    }
    uint32_t finish() const { return murmur3_fmix(h ^ length); }
};

inline uint32_t load_le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

} // namespace

uint32_t murmur3_bytes(const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t h = g_hash_seed;
    size_t blocks = length / 4;
    for (size_t i = 0; i < blocks; ++i) h = murmur3_round(h, load_le32(p + 4 * i));
    const uint8_t* tail = p + 4 * blocks;
    uint32_t k = 0;
    switch (length & 3) {
    case 3: k ^= uint32_t(tail[2]) << 16; [[fallthrough]];
    case 2: k ^= uint32_t(tail[1]) << 8; [[fallthrough]];
    case 1: k ^= tail[0]; h ^= murmur3_scramble(k);
    }
    return murmur3_fmix(h ^ uint32_t(length));
}

namespace {

// The running hash over the units from p to end, each a code point (folded unless case-sensitive).
template <uint32_t Unit, bool Fold>
uint32_t murmur3_units(const uint8_t* p, const uint8_t* end, uint32_t h) {
    for (; p < end; p += Unit) {
        uint32_t c = unit_get(p, Unit);
        h = murmur3_round(h, Fold ? fold_upper(c) : c);
    }
    return h;
}

} // namespace

uint32_t murmur3_string(const Cell* str, bool case_sensitive) {
    Series* s = value_series(str);
    uint32_t unit = s->unit();
    if (unit != 1 && unit != 2 && unit != 4) bad_unit_width();
    const uint8_t* p = s->head_ptr() + uint64_t(series_index(str)) * unit;
    const uint8_t* end = s->tail_ptr();
    if (p > end) p = end;
    uint32_t h = g_hash_seed;
    switch (unit * 2 + (case_sensitive ? 0 : 1)) {
    case 2: h = murmur3_units<1, false>(p, end, h); break;
    case 3: h = murmur3_units<1, true>(p, end, h); break;
    case 4: h = murmur3_units<2, false>(p, end, h); break;
    case 5: h = murmur3_units<2, true>(p, end, h); break;
    case 8: h = murmur3_units<4, false>(p, end, h); break;
    default: h = murmur3_units<4, true>(p, end, h); break;
    }
    // the length mixed in is 4 bytes a character, whatever the unit width (1, 2 or 4: a shift)
    return murmur3_fmix(h ^ uint32_t((uint64_t(end - p) >> (unit >> 1)) * 4));
}

uint32_t round_up_pow2(uint32_t v) {
    if (v <= 1) return 1;
    if (v > 0x80000000u) return 0x80000000u;
    return uint32_t(1) << (32 - __builtin_clz(v - 1));
}

// ---- Hash of a value ---------------------------------------------------------------------------

namespace {

inline bool is_any_string(TypeId t) {
    return t == T_STRING || t == T_FILE || t == T_URL || t == T_TAG || t == T_EMAIL || t == T_REF;
}
inline bool is_any_block(TypeId t) {
    return t == T_BLOCK || t == T_PAREN || t == T_HASH || (t >= T_PATH && t <= T_GET_PATH);
}
inline bool is_any_word(TypeId t) { return t >= T_WORD && t <= T_ISSUE; }
inline bool is_number(TypeId t) { return t == T_INTEGER || t == T_FLOAT || t == T_PERCENT; }

// ---- Numbers ----
//
// integer!, float!, percent!, time! and char! compare with one another by numeric value, and
// equal? compares doubles with a tolerance (an absolute bound of 2.22e-16 and 10 units in the
// last place). They hash by the value's class: an interval of the real line much wider than any
// tolerance, so that 1 and 1.0 share a class and so do two doubles a few units apart, unless they
// lie on either side of a class boundary. Look-ups with a number key therefore also probe the
// neighbouring class when the key's tolerance interval reaches into it (hash_key_probes).
//   |x| < 1   class round(x * 2^32)                  (width 2.3e-10)
//   |x| >= 1  class = (the double's bits + 128) >> 8  (width 256 units in the last place)
// Integers are exact doubles, so every integer has a class of its own, and each one lies in the
// middle of its class (the low byte of its bits is 0): the tolerance interval of an integer other
// than -1 and 1 stays inside the class, and a look-up of it probes one class only. The classes of
// 32-bit integers hash so that consecutive integers take consecutive buckets (integer_run_hash).
constexpr double NUMBER_ABSOLUTE_TOLERANCE = 2.220446049250313e-16;
constexpr int64_t NUMBER_ULP_TOLERANCE = 11;

inline bool hashes_as_number(TypeId t) {
    return t == T_INTEGER || t == T_FLOAT || t == T_PERCENT || t == T_TIME || t == T_CHAR;
}

double number_value(const Cell* v) {
    switch (v->type()) {
    case T_INTEGER: return double(int32_t(v->data2));
    case T_CHAR: return double(v->data2);
    default: return v->get_float();
    }
}

// murmur3_bytes of three 32-bit words, without the byte loop.
inline uint32_t murmur3_words3(uint32_t a, uint32_t b, uint32_t c) {
    uint32_t h = murmur3_round(murmur3_round(murmur3_round(g_hash_seed, a), b), c);
    return murmur3_fmix(h ^ 12u);
}

// The hash of the class of an integer k (32-bit): runs of 16 consecutive integers take
// consecutive buckets, each run starting where the finaliser of its run number puts it. Keys that
// come in order (counters, indexes) then meet neighbouring buckets and neighbouring cache lines,
// while keys of a common stride (multiples of 16, 1024 ...) still spread over the whole table.
inline uint32_t integer_run_hash(int32_t k) {
    return murmur3_fmix(uint32_t(k) >> 4) + uint32_t(k);
}

// The class of a double at or above 1 in magnitude: its bits rounded to a multiple of 256 (the
// sign bit stays in the class; finite magnitudes are far from carrying into it). A class whose
// centre is a 32-bit integer hashes as that integer.
inline uint32_t large_class_hash(uint64_t bits) {
    uint64_t c = (bits + 128) >> 8;
    uint64_t centre_bits = c << 8;
    double centre;
    std::memcpy(&centre, &centre_bits, 8);
    if (centre >= -2147483648.0 && centre <= 2147483647.0 && centre == double(int32_t(centre)))
        return integer_run_hash(int32_t(centre));
    return murmur3_words3(2, uint32_t(c), uint32_t(c >> 32));
}

uint32_t number_class_hash(double x) {
    uint64_t bits;
    if (x == 0) x = 0;  // -0.0 is 0.0
    std::memcpy(&bits, &x, 8);
    if (std::isnan(x)) return murmur3_words3(3, uint32_t(bits), uint32_t(bits >> 32));
    if (std::fabs(x) < 1.0) {
        int64_t c = int64_t(std::floor(std::ldexp(x, 32) + 0.5));
        return murmur3_words3(1, uint32_t(uint64_t(c)), uint32_t(uint64_t(c) >> 32));
    }
    return large_class_hash(bits);
}

// The class hash of an integer value (of an integer! or char! cell), as number_class_hash of it:
// an integer is the centre of its class.
inline uint32_t integer_class_hash(int64_t v) {
    if (v == 0) return number_class_hash(0.0);
    if (v >= INT32_MIN && v <= INT32_MAX) return integer_run_hash(int32_t(v));
    double x = double(v);
    uint64_t bits;
    std::memcpy(&bits, &x, 8);
    return large_class_hash(bits);
}

// The double `steps` units in the last place away from x along the ordered line (x finite).
double ulp_step(double x, int64_t steps) {
    int64_t bits;
    std::memcpy(&bits, &x, 8);
    // ordered: negative doubles below positive ones, -0.0 and 0.0 adjacent
    int64_t o = bits < 0 ? -(bits & INT64_MAX) : bits;
    o += steps;
    int64_t limit = 0x7FF0000000000000;  // infinity
    if (o > limit) o = limit;
    if (o < -limit) o = -limit;
    int64_t back = o < 0 ? (-o) | INT64_MIN : o;
    double r;
    std::memcpy(&r, &back, 8);
    return r;
}


// Blocks compare by content, so they hash by content: the length, then the first elements each
// reduced to what equality inside a block keeps (numbers of the three numeric types compare with
// each other and with a tolerance, so they count as one class; words count by canonical symbol).
// Nesting and the number of elements looked at are bounded, which also stops at cycles.
constexpr uint32_t BLOCK_HASH_ELEMENTS = 32;
constexpr uint32_t BLOCK_HASH_NESTED_ELEMENTS = 8;
constexpr int BLOCK_HASH_DEPTH = 2;

uint32_t hash_block_content(const Cell* v, int depth);

uint32_t hash_element(const Cell* e, int depth) {
    TypeId t = e->type();
    if (is_any_word(t)) return murmur3_fmix(symbol_resolve(e->data2));
    if (is_number(t)) return 0x6E756D00u;
    if (is_any_string(t)) return murmur3_string(e, false);
    if (is_any_block(t)) return depth < BLOCK_HASH_DEPTH ? hash_block_content(e, depth + 1) : uint32_t(t);
    switch (t) {
    case T_CHAR: return murmur3_fmix(e->data2) ^ t;
    case T_LOGIC: return murmur3_fmix(e->data1) ^ t;
    case T_DATATYPE: return murmur3_fmix(e->data1) ^ t;
    default: return t;
    }
}

uint32_t hash_block_content(const Cell* v, int depth) {
    Murmur m;
    m.add(v->type() == T_PAREN ? T_PAREN : is_any_block(v->type()) ? v->type() : T_BLOCK);
    Node node = series_node(v);
    if (!node) return m.finish();
    Series* s = node_series(node);
    uint32_t index = series_index(v);
    uint32_t length = s->length();
    uint32_t n = index < length ? length - index : 0;
    m.add(n);
    uint32_t limit = depth == 0 ? BLOCK_HASH_ELEMENTS : BLOCK_HASH_NESTED_ELEMENTS;
    for (uint32_t i = 0; i < n && i < limit; ++i) {
        // hashing never allocates, so the buffer stays where it is
        m.add(hash_element(s->cell_at(index + i), depth));
    }
    return m.finish();
}

} // namespace

uint32_t hash_value(const Cell* v, bool case_sensitive) {
    TypeId t = v->type();
    switch (t) {
    case T_UNSET: return uint32_t(-2);
    case T_NONE: return uint32_t(-1);
    case T_DATATYPE: case T_LOGIC: return murmur3_fmix(v->data1);
    case T_INTEGER: return integer_class_hash(int32_t(v->data2));
    case T_CHAR: return integer_class_hash(v->data2);
    case T_FLOAT: case T_PERCENT: case T_TIME:
        return number_class_hash(number_value(v));
    case T_HANDLE: case T_EVENT: return murmur3_fmix(v->data2);
    case T_NATIVE: case T_ACTION: return murmur3_fmix(v->data3);
    case T_WORD: case T_SET_WORD: case T_LIT_WORD: case T_GET_WORD: case T_REFINEMENT:
    case T_ISSUE:
        return murmur3_fmix(symbol_resolve(v->data2));
    case T_SYMBOL: {
        uint32_t length = 0;
        const uint8_t* name = v->data3 ? node_series(v->data3)->head_ptr() : nullptr;
        if (name) length = node_series(v->data3)->used();
        return symbol_name_hash(name, length);
    }
    case T_BLOCK: case T_PAREN: case T_PATH: case T_LIT_PATH: case T_SET_PATH: case T_GET_PATH:
    case T_HASH:
        return hash_block_content(v, 0);
    case T_POINT2D: return murmur3_bytes(&v->data1, 8);
    case T_PAIR: return murmur3_bytes(&v->data2, 8);
    case T_DATE: {   // equal dates name one instant: its universal day (times are compared tolerantly)
        double time;
        int64_t days = date_utc_days(v, &time);
        return murmur3_bytes(&days, sizeof days);
    }
    case T_OP: case T_FUNCTION: case T_TRIPLE: case T_TYPESET: case T_POINT3D:
        return murmur3_bytes(&v->data1, 12);
    case T_TUPLE: {
        uint32_t n = (v->header >> 19) & 0xF;
        return murmur3_bytes(&v->data1, n > 12 ? 12 : n);
    }
    case T_STRING: case T_FILE: case T_URL: case T_TAG: case T_EMAIL: case T_REF:
        return murmur3_string(v, case_sensitive);
    case T_BINARY: {
        Series* s = value_series(v);
        uint32_t index = series_index(v);
        uint32_t used = s->used();
        return murmur3_bytes(s->head_ptr() + (index < used ? index : used), index < used ? used - index : 0);
    }
    case T_MONEY: {   // the digits and the sign of a non-zero amount; not the currency
        Cell c = *v;
        bool zero = (c.data1 >> 8) == 0 && c.data2 == 0 && c.data3 == 0;
        c.header &= zero ? CELL_TYPE_MASK : CELL_TYPE_MASK | CELL_MONEY_SIGN;
        c.data1 &= ~0xFFu;
        return murmur3_bytes(&c, 16);
    }
    // Equal by content that lies out of reach here (object fields, map entries, pixels): one
    // hash per type, so that equal values always meet.
    case T_OBJECT: case T_ERROR: case T_PORT: case T_MAP: case T_IMAGE:
        return murmur3_fmix(t);
    default: return 0;
    }
}

uint32_t hash_key_probes(const Cell* key, uint32_t out[2]) {
    out[0] = hash_value(key, false);
    if (!hashes_as_number(key->type())) return 1;
    // an integer other than -1, 0 and 1 lies in the middle of its class, and its tolerance
    // interval (a few units in the last place, or 2.2e-16 below one such unit) stays there
    if (key->is(T_INTEGER) || key->is(T_CHAR)) {
        int64_t v = key->is(T_INTEGER) ? int64_t(int32_t(key->data2)) : int64_t(key->data2);
        if (v > 1 || v < -1) return 1;
    }
    double x = number_value(key);
    if (!std::isfinite(x)) {
        if (std::isnan(x)) return 1;
        // the largest finite double is within tolerance of infinity
        x = ulp_step(x, x > 0 ? -NUMBER_ULP_TOLERANCE : NUMBER_ULP_TOLERANCE);
    }
    double lo = std::min(ulp_step(x, -NUMBER_ULP_TOLERANCE), x - NUMBER_ABSOLUTE_TOLERANCE);
    double hi = std::max(ulp_step(x, NUMBER_ULP_TOLERANCE), x + NUMBER_ABSOLUTE_TOLERANCE);
    // the interval is narrower than any class, so it touches at most two of them
    uint32_t a = number_class_hash(lo), b = number_class_hash(hi);
    uint32_t other = a != out[0] ? a : b;
    if (other == out[0]) return 1;
    out[1] = other;
    return 2;
}

// ---- Key comparison ------------------------------------------------------------------------------

// float! equality with its tolerance (datatypes/float.cpp; its header's type helpers clash with
// the ones this file uses)
bool float_almost_equal(double a, double b);

namespace {

HashCompareFn g_compare = nullptr;

bool builtin_equal(const Cell* a, const Cell* b, int op, int depth);

// Equality of two runs of n bytes, W <= n <= 2 * W, read as two words of type W that overlap.
template <class W>
inline bool overlapping_words_equal(const uint8_t* a, const uint8_t* b, size_t n) {
    W x0, y0, x1, y1;
    std::memcpy(&x0, a, sizeof(W));
    std::memcpy(&y0, b, sizeof(W));
    std::memcpy(&x1, a + n - sizeof(W), sizeof(W));
    std::memcpy(&y1, b + n - sizeof(W), sizeof(W));
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
}

// Equality of two byte runs of length n; short runs (most keys) without a call.
inline bool bytes_equal(const uint8_t* a, const uint8_t* b, size_t n) {
    if (n >= 8 && n <= 16) return overlapping_words_equal<uint64_t>(a, b, n);
    if (n >= 4 && n < 8) return overlapping_words_equal<uint32_t>(a, b, n);
    if (n < 4) {
        for (size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    return std::memcmp(a, b, n) == 0;
}

// Text equality from each value's index, case-folded unless strict.
bool strings_equal(const Cell* a, const Cell* b, bool strict) {
    Series* sa = value_series(a);
    Series* sb = value_series(b);
    uint32_t ua = sa->unit(), ub = sb->unit();
    const uint8_t* pa = sa->head_ptr() + uint64_t(series_index(a)) * ua;
    const uint8_t* pb = sb->head_ptr() + uint64_t(series_index(b)) * ub;
    const uint8_t* ea = sa->tail_ptr();
    const uint8_t* eb = sb->tail_ptr();
    if (pa > ea) pa = ea;
    if (pb > eb) pb = eb;
    size_t na = size_t(ea - pa), nb = size_t(eb - pb);
    if (ua == ub) {
        if (na != nb) return false;
        // texts of one width whose units are all alike are equal in every mode; in one width a
        // unit that differs is a character that differs
        if (bytes_equal(pa, pb, na)) return true;
        if (strict) return false;
    } else if ((na >> (ua >> 1)) != (nb >> (ub >> 1))) {   // widths 1, 2, 4: lengths by a shift
        return false;
    }
    for (; pa < ea; pa += ua, pb += ub) {
        uint32_t ca = unit_get(pa, ua), cb = unit_get(pb, ub);
        if (ca != cb && (strict || fold_upper(ca) != fold_upper(cb))) return false;
    }
    return true;
}

// A block at one position of one series is equal to itself, as the value compare has it: what
// it holds may not be (a NaN), and a block that holds itself would otherwise reach the depth
// bound and compare unequal to itself.
bool blocks_equal(const Cell* a, const Cell* b, int op, int depth) {
    uint32_t ia = series_index(a), ib = series_index(b);
    if (series_node(a) == series_node(b) && ia == ib) return true;
    if (depth > 64) return false;
    Series* sa = value_series(a);
    Series* sb = value_series(b);
    uint32_t la = sa->length(), lb = sb->length();
    uint32_t na = ia < la ? la - ia : 0, nb = ib < lb ? lb - ib : 0;
    if (na != nb) return false;
    for (uint32_t i = 0; i < na; ++i) {
        const Cell* x = sa->cell_at(ia + i);
        const Cell* y = sb->cell_at(ib + i);
        bool comparable = x->type() == y->type() ||
                          (x->type() >= T_WORD && x->type() <= T_GET_WORD && y->type() >= T_WORD &&
                           y->type() <= T_GET_WORD) ||
                          (is_number(x->type()) && is_number(y->type()));
        if (!comparable || !builtin_equal(x, y, op, depth + 1)) return false;
    }
    return true;
}

double number_of(const Cell* c) {
    return c->is(T_INTEGER) ? double(int32_t(c->data2)) : c->get_float();
}

bool builtin_equal(const Cell* a, const Cell* b, int op, int depth) {
    TypeId ta = a->type(), tb = b->type();
    if (op == 9) {
        if (ta != tb) return false;
        if (ta == T_NONE || ta == T_UNSET) return true;
        return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
    }
    bool strict = op == 2;
    if (is_any_string(ta) && is_any_string(tb)) return (!strict || ta == tb) && strings_equal(a, b, strict);
    if (is_any_word(ta) && is_any_word(tb)) {
        if (strict) return ta == tb && a->data2 == b->data2;
        return (ta == tb || (ta <= T_GET_WORD && tb <= T_GET_WORD)) &&
               symbol_resolve(a->data2) == symbol_resolve(b->data2);
    }
    if (is_number(ta) && is_number(tb)) {
        if (ta == T_INTEGER && tb == T_INTEGER) return a->data2 == b->data2;
        return (!strict || ta == tb) && number_of(a) == number_of(b);
    }
    if (!strict && ((ta == T_CHAR && tb == T_INTEGER) || (ta == T_INTEGER && tb == T_CHAR)))
        return a->data2 == b->data2;
    if (ta != tb) return false;
    switch (ta) {
    case T_NONE: case T_UNSET: return true;
    case T_LOGIC: case T_DATATYPE: return a->data1 == b->data1;
    case T_CHAR: return a->data2 == b->data2;
    case T_DATE: {   // one instant, as the date compare has it (the hash is its universal day)
        double time_a, time_b;
        return date_utc_days(a, &time_a) == date_utc_days(b, &time_b) && float_almost_equal(time_a, time_b);
    }
    default:
        if (is_any_block(ta)) return blocks_equal(a, b, op, depth);
        return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
    }
}

} // namespace

void hash_set_compare(HashCompareFn fn) { g_compare = fn; }

bool hash_compare(const Cell* a, const Cell* b, int op) {
    // two integers are equal by value under every comparison, identity (op 9) by the whole cell
    if (a->is(T_INTEGER) && b->is(T_INTEGER) && op != 9) return a->data2 == b->data2;
    if (g_compare) return g_compare(a, b, op);
    // texts of one type (the keys of text tables) straight to the text comparison
    TypeId t = a->type();
    if (t == b->type() && op != 9 && is_any_string(t)) return strings_equal(a, b, op == 2);
    return builtin_equal(a, b, op, 0);
}

// ---- Intmap ------------------------------------------------------------------------------------

namespace {

constexpr double INTMAP_LOAD = 0.77;

inline uint32_t flag_word_count(uint32_t buckets) { return buckets < 16 ? 1 : buckets / 16; }

// Bucket where key is, or (when absent) the empty bucket where it would go; -1 when neither.
int32_t intmap_slot(const uint32_t* flags, const uint32_t* pairs, uint32_t buckets, uint32_t key,
                    bool* found) {
    for (ProbeSequence p(murmur3_fmix(key), buckets); p.more(); p.next()) {
        uint32_t b = p.bucket;
        uint32_t f = hash_flag(flags, b);
        if (f == HASH_FLAG_EMPTY) { *found = false; return int32_t(b); }
        if (f == HASH_FLAG_LIVE && pairs[2 * b] == key) { *found = true; return int32_t(b); }
    }
    *found = false;
    return -1;
}

} // namespace

IntMap* intmap_make(uint32_t expected) {
    auto* map = static_cast<IntMap*>(std::malloc(sizeof(IntMap)));
    if (!map) return nullptr;
    uint32_t size = expected < 4 ? 4 : expected;
    uint32_t buckets = round_up_pow2(uint32_t(double(size) / INTMAP_LOAD));
    map->flags = static_cast<uint32_t*>(std::malloc(flag_word_count(buckets) * 4));
    map->pairs = static_cast<uint32_t*>(std::malloc(uint64_t(buckets) * 8));
    if (!map->flags || !map->pairs) {
        std::free(map->flags);
        std::free(map->pairs);
        std::free(map);
        return nullptr;
    }
    std::memset(map->flags, 0xAA, flag_word_count(buckets) * 4);
    map->size = 0;
    map->occupied = 0;
    map->buckets = buckets;
    map->bound = uint32_t(buckets * INTMAP_LOAD);
    return map;
}

int32_t intmap_find(const IntMap* map, uint32_t key) {
    bool found;
    int32_t b = intmap_slot(map->flags, map->pairs, map->buckets, key, &found);
    return found ? b : -1;
}

uint32_t* intmap_get(IntMap* map, uint32_t key) {
    int32_t b = intmap_find(map, key);
    return b < 0 ? nullptr : &map->pairs[2 * b + 1];
}

int intmap_resize(IntMap* map, uint32_t wanted) {
    uint32_t buckets = round_up_pow2(wanted);
    if (buckets < 4) buckets = 4;
    uint32_t bound = uint32_t(buckets * INTMAP_LOAD + 0.5);
    if (map->size >= buckets) return -1;
    auto* flags = static_cast<uint32_t*>(std::malloc(flag_word_count(buckets) * 4));
    auto* pairs = static_cast<uint32_t*>(std::malloc(uint64_t(buckets) * 8));
    if (!flags || !pairs) {
        std::free(flags);
        std::free(pairs);
        return -1;
    }
    std::memset(flags, 0xAA, flag_word_count(buckets) * 4);
    uint32_t live = 0;
    for (uint32_t b = 0; b < map->buckets; ++b) {
        if (hash_flag(map->flags, b) != HASH_FLAG_LIVE) continue;
        bool found;
        int32_t nb = intmap_slot(flags, pairs, buckets, map->pairs[2 * b], &found);
        hash_flag_set(flags, uint32_t(nb), HASH_FLAG_LIVE);
        pairs[2 * nb] = map->pairs[2 * b];
        pairs[2 * nb + 1] = map->pairs[2 * b + 1];
        ++live;
    }
    std::free(map->flags);
    std::free(map->pairs);
    map->flags = flags;
    map->pairs = pairs;
    map->buckets = buckets;
    map->bound = bound;
    map->size = live;
    map->occupied = live;
    return 0;
}

bool intmap_put(IntMap* map, uint32_t key, uint32_t value) {
    bool found;
    int32_t b = intmap_slot(map->flags, map->pairs, map->buckets, key, &found);
    if (found) {
        map->pairs[2 * b + 1] = value;
        return true;
    }
    if (map->occupied >= map->bound && intmap_resize(map, map->buckets + 1) == 0)
        b = intmap_slot(map->flags, map->pairs, map->buckets, key, &found);
    if (b < 0) return false;
    hash_flag_set(map->flags, uint32_t(b), HASH_FLAG_LIVE);
    map->pairs[2 * b] = key;
    map->pairs[2 * b + 1] = value;
    map->size++;
    map->occupied++;
    return true;
}

void intmap_free(IntMap* map) {
    if (!map) return;
    std::free(map->flags);
    std::free(map->pairs);
    std::free(map);
}

} // namespace kel

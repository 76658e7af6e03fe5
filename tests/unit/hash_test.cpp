// Hashing and the hash tables: MurmurHash3 vectors, string and value hashes, table sizing, hash!
// groups and positional search, deletion, growth, copies, map! entries, record tables, word
// tables, re-indexing after a collection, the collector's marking and sweeping, and the intmap.
#include "core/array.h"
#include "core/case-fold.h"
#include "core/extres.h"
#include "core/gc.h"
#include "core/hash.h"
#include "core/memory.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace kel;

namespace {

class Hash : public test::RuntimeTest {
protected:
    void TearDown() override {
        hash_seed_set(HASH_SEED_DEFAULT);
        RuntimeTest::TearDown();
    }

    // Everything a test makes is kept on the data stack until the runtime goes down: any
    // allocation may collect (every one does under KEL_GC_STRESS=1), and a buffer known only to a
    // C++ local would be freed. Pushing never allocates, so a value is safe from the moment its
    // maker returns.
    static Cell keep(const Cell& v) {
        stack_push(v);
        return v;
    }
    // A table is kept through the cell that holds it in the running system: a hash! or map! cell
    // (block and table) for the block-backed kinds, a context cell for record and word tables.
    static Node keep_table(Node t) {
        HashTable* r = hashtable_record(t);
        if (r->kind == HASH_KIND_HASH || r->kind == HASH_KIND_MAP)
            keep(make_cell(r->kind == HASH_KIND_HASH ? T_HASH : T_MAP, 0, r->values, t));
        else
            keep(Cell{uint32_t(T_CONTEXT) | CELL_CTX_ON_STACK, t, 0, 0});
        return t;
    }
    static Node table(uint32_t size, Node block, uint32_t kind, uint32_t cells_per_record = 0) {
        return keep_table(hashtable_make(size, block, kind, cells_per_record));
    }

    static Cell word(const char* name, TypeId t = T_WORD) { return make_cell(t, 0, symbol_make(name), 0); }
    static Cell text(const char* s) {
        return keep(make_series(T_STRING, string_from_utf8(reinterpret_cast<const uint8_t*>(s), uint32_t(std::strlen(s)))));
    }
    // A string of the code points in the given unit width.
    static Cell text_units(const std::u32string& cps, uint32_t unit) {
        Node n = alloc_units(cps.size(), unit);
        Series* s = node_series(n);
        for (size_t i = 0; i < cps.size(); ++i) unit_put(s->data() + i * unit, unit, cps[i]);
        s->tail = uint32_t(cps.size() * unit);
        return keep(make_series(T_STRING, n));
    }
    static Node bytes(uint64_t n) {
        Node b = alloc_bytes(n);
        keep(make_series(T_BINARY, b));
        return b;
    }
    // An empty block with room for n cells.
    static Node empty_block(uint64_t n) {
        Node b = alloc_cells(n);
        keep(make_series(T_BLOCK, b));
        return b;
    }
    static Node block(std::initializer_list<Cell> values) {
        Node b = empty_block(values.size() + 4);
        for (const Cell& c : values) block_append(b, c);
        return b;
    }
    static Cell* at(Node b, uint32_t i) { return node_series(b)->cell_at(i); }
    static int32_t index_in(Node b, const Cell* c) {
        return c ? int32_t(c - node_series(b)->cells()) : -1;
    }
    static int32_t find(Node table, Node b, const Cell& key, int32_t start = 0, bool last = false,
                        bool reverse = false, int32_t skip = 1, int op = 0) {
        return index_in(b, hashtable_find(table, &key, start, skip, op, last, reverse));
    }
};

// ---- Hash functions ------------------------------------------------------------------------------

TEST_F(Hash, Murmur3MatchesReferenceVectors) {
    struct Case { uint32_t seed; std::string data; uint32_t hash; };
    const Case cases[] = {
        {0, "", 0},
        {1, "", 0x514E28B7u},
        {0xFFFFFFFFu, "", 0x81F16F39u},
        {0, std::string(4, '\0'), 0x2362F9DEu},
        {0x9747B28Cu, "a", 0x7FA09EA6u},
        {0x9747B28Cu, "ab", 0x74875592u},
        {0x9747B28Cu, "abc", 0xC84A62DDu},
        {0x9747B28Cu, "abcd", 0xF0478627u},
        {0x9747B28Cu, "aaaa", 0x5A97808Au},
        {0x9747B28Cu, "Hello, world!", 0x24884CBAu},
        {0x9747B28Cu, "The quick brown fox jumps over the lazy dog", 0x2FA826CDu},
    };
    for (const Case& c : cases) {
        hash_seed_set(c.seed);
        EXPECT_EQ(murmur3_bytes(c.data.data(), c.data.size()), c.hash) << c.data << " seed " << c.seed;
    }
}

TEST_F(Hash, StringHashIgnoresUnitWidthAndFoldsEveryWidthAlike) {
    std::u32string abc = U"abc\u00E4";
    std::u32string ABC = U"ABC\u00C4";
    uint32_t cps[4] = {'a', 'b', 'c', 0xE4};
    uint32_t bytes_hash = murmur3_bytes(cps, sizeof cps);
    for (uint32_t unit : {1u, 2u, 4u}) {
        Cell lower = text_units(abc, unit);
        Cell upper = text_units(ABC, unit);
        EXPECT_EQ(murmur3_string(&lower, true), bytes_hash) << unit;
        EXPECT_NE(murmur3_string(&upper, true), bytes_hash) << unit;
        EXPECT_EQ(murmur3_string(&lower, false), murmur3_string(&upper, false)) << unit;
        Cell wide_upper = text_units(ABC, 4);
        EXPECT_EQ(murmur3_string(&lower, false), murmur3_string(&wide_upper, false)) << unit;
    }
    // from the value's index on
    Cell tail = text_units(U"xabc\u00E4", 2);
    tail.data1 = 1;
    EXPECT_EQ(murmur3_string(&tail, true), bytes_hash);
}

TEST_F(Hash, RoundUpPow2) {
    const uint32_t cases[][2] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {5, 8}, {8, 8}, {10389, 16384},
                                 {0x80000000u, 0x80000000u}, {0x80000001u, 0x80000000u}};
    for (const auto& c : cases) EXPECT_EQ(round_up_pow2(c[0]), c[1]) << c[0];
}

TEST_F(Hash, EqualValuesHashAlikeWhateverTheirIdentity) {
    Cell print = word("print");
    Cell alias = word("PRINT", T_LIT_WORD);
    Cell set = word("print", T_SET_WORD);
    EXPECT_EQ(hash_value(&print, false), hash_value(&alias, false));
    EXPECT_EQ(hash_value(&print, false), hash_value(&set, false));
    EXPECT_EQ(hash_value(&print, false), murmur3_fmix(symbol_resolve(print.data2)));

    // blocks by content: different buffers, numbers across types, words across case
    Cell b1 = make_series(T_BLOCK, block({make_integer(1), text("x"), word("a")}));
    Cell b2 = make_series(T_BLOCK, block({make_float(1.0), text("X"), word("A")}));
    Cell b3 = make_series(T_BLOCK, block({word("zz"), make_integer(1), text("x"), word("a")}), 1);
    Cell b4 = make_series(T_BLOCK, block({make_integer(1), text("y"), word("a")}));
    EXPECT_NE(series_node(&b1), series_node(&b2));
    EXPECT_EQ(hash_value(&b1, false), hash_value(&b2, false));
    EXPECT_EQ(hash_value(&b1, false), hash_value(&b3, false));
    EXPECT_NE(hash_value(&b1, false), hash_value(&b4, false));

    Cell zero = make_float(0.0), minus_zero = make_float(-0.0);
    EXPECT_EQ(hash_value(&zero, false), hash_value(&minus_zero, false));

    Cell money{uint32_t(T_MONEY) | CELL_MONEY_SIGN, 1, 2, 3};
    Cell money_flags{uint32_t(T_MONEY) | CELL_MONEY_SIGN | CELL_NEWLINE, 1, 2, 3};
    Cell money_positive{T_MONEY, 1, 2, 3};
    EXPECT_EQ(hash_value(&money, false), hash_value(&money_flags, false));
    EXPECT_NE(hash_value(&money, false), hash_value(&money_positive, false));
    // the currency index (byte 4) does not count, nor the sign of a zero amount
    Cell money_other_currency{uint32_t(T_MONEY) | CELL_MONEY_SIGN, 7, 2, 3};
    EXPECT_EQ(hash_value(&money, false), hash_value(&money_other_currency, false));
    Cell money_zero{T_MONEY, 0, 0, 0}, money_minus_zero{uint32_t(T_MONEY) | CELL_MONEY_SIGN, 5, 0, 0};
    EXPECT_EQ(hash_value(&money_zero, false), hash_value(&money_minus_zero, false));

    Cell tuple1{T_TUPLE | (3u << 19), 0x00030201u, 0, 0};
    Cell tuple2{T_TUPLE | (3u << 19), 0xAA030201u, 7, 9};  // bytes past the length do not count
    EXPECT_EQ(hash_value(&tuple1, false), hash_value(&tuple2, false));

    // objects compare by their fields, so their context node does not enter the hash
    Cell o1{T_OBJECT, 11, 5, 0}, o2{T_OBJECT, 12, 6, 0};
    EXPECT_EQ(hash_value(&o1, false), hash_value(&o2, false));

    Cell unset{T_UNSET, 0, 0, 0}, none{T_NONE, 0, 0, 0};
    EXPECT_EQ(hash_value(&unset, false), uint32_t(-2));
    EXPECT_EQ(hash_value(&none, false), uint32_t(-1));
    uint32_t name_length;
    const uint8_t* name = symbol_name(print.data2, &name_length);
    EXPECT_EQ(hash_value(symbol_cell(print.data2), false), symbol_name_hash(name, name_length));
    EXPECT_EQ(symbol_name_hash(reinterpret_cast<const uint8_t*>("PrInT"), 5),
              murmur3_bytes("print", 5));
}

// ---- Sizing ----------------------------------------------------------------------------------------

TEST_F(Hash, NewTableSizes) {
    struct Case { uint32_t size; uint32_t kind; uint32_t buckets; uint32_t bound; };
    const Case cases[] = {
        {0, HASH_KIND_MAP, 8, 6},     {4, HASH_KIND_MAP, 8, 6},       {6, HASH_KIND_MAP, 8, 6},
        {7, HASH_KIND_MAP, 16, 12},   {100, HASH_KIND_MAP, 256, 197}, {4, HASH_KIND_RECORDS, 8, 6},
        {3999, HASH_KIND_WORDS, 8192, 6307}, {4000, HASH_KIND_WORDS, 16384, 12615},
    };
    for (const Case& c : cases) {
        HashTable* t = hashtable_record(table(c.size, 0, c.kind, 1));
        EXPECT_EQ(t->buckets, c.buckets) << c.size;
        EXPECT_EQ(t->bound, c.bound) << c.size;
        EXPECT_EQ(t->size, 0u);
        EXPECT_EQ(t->kind, c.kind);
        Series* flags = node_series(t->flags);
        for (uint32_t i = 0; i < flags->tail; ++i) ASSERT_EQ(flags->data()[i], 0xAA) << c.size;
    }
}

// ---- hash! -------------------------------------------------------------------------------------------

TEST_F(Hash, EqualKeysShareOneBucketAndFindPicksByPosition) {
    Node b = block({word("a"), make_integer(1), word("a"), make_integer(2), word("A"), make_integer(3)});
    Node t = table(6, b, HASH_KIND_HASH);
    EXPECT_EQ(hashtable_record(t)->size, 4u);
    const uint32_t* pos = hash_words(hashtable_record(t)->positions);
    EXPECT_EQ(pos[0], pos[2]);
    EXPECT_EQ(pos[0], pos[4]);
    EXPECT_NE(pos[0], pos[1]);

    struct Case { int32_t start; bool last; bool reverse; int32_t skip; int32_t found; };
    const Case cases[] = {
        {0, false, false, 1, 0}, {1, false, false, 1, 2}, {5, false, false, 1, -1},
        {0, true, false, 1, 4},  {6, false, true, 1, 4},  {4, false, true, 1, 2},
        {0, false, true, 1, -1}, {1, false, false, 2, -1}, {0, false, false, 4, 0},
        {1, false, false, 3, 4},
    };
    Cell a = word("a");
    for (const Case& c : cases)
        EXPECT_EQ(find(t, b, a, c.start, c.last, c.reverse, c.skip), c.found)
            << "start " << c.start << " last " << c.last << " reverse " << c.reverse << " skip " << c.skip;
    EXPECT_EQ(find(t, b, make_integer(2)), 3);
    EXPECT_EQ(find(t, b, make_integer(4)), -1);
    // the comparison op narrows the group: strict equality leaves out the alias spelling
    EXPECT_EQ(find(t, b, a, 0, true, false, 1, 2), 2);
}

TEST_F(Hash, FindLooksAtEveryEqualGroupAsAScanWould) {
    // A lit-word and a word of one name are equal but of different types, so they stand in two
    // groups on one probe sequence. Here the lit-word (cell 1) was indexed first, so its group
    // comes first on the sequence; the answer must still be the one a scan of the block gives.
    Node b = empty_block(4);
    Node t = table(4, b, HASH_KIND_HASH);
    block_append(b, word("a"));
    block_append(b, word("a", T_LIT_WORD));
    hashtable_put(t, at(b, 1));
    hashtable_put(t, at(b, 0));
    ASSERT_EQ(hashtable_record(t)->size, 2u);

    struct Case { TypeId type; int32_t start; bool last; bool reverse; int op; int32_t found; };
    const Case cases[] = {
        {T_LIT_WORD, 0, false, false, 0, 0},  // the word comes first in the block
        {T_WORD, 0, false, false, 2, 0},      // strict: only the word matches
        {T_LIT_WORD, 0, false, false, 2, 1},
        {T_WORD, 1, false, false, 0, 1},
        {T_WORD, 0, true, false, 0, 1},
        {T_LIT_WORD, 1, false, true, 0, 0},
        {T_WORD, 1, false, false, 2, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(find(t, b, word("a", c.type), c.start, c.last, c.reverse, 1, c.op), c.found)
            << "type " << int(c.type) << " start " << c.start << " op " << c.op;

    // a char and an integer of one code are equal whichever of them is stored and whichever is
    // looked for
    Node n = block({make_integer(97), make_cell(T_CHAR, 0, 97)});
    Node numbers = table(4, n, HASH_KIND_HASH);
    struct Scalar { Cell key; int op; int32_t found; };
    const Scalar scalars[] = {
        {make_cell(T_CHAR, 0, 97), 0, 0}, {make_integer(97), 0, 0},
        {make_cell(T_CHAR, 0, 97), 2, 1}, {make_integer(97), 2, 0},
    };
    for (const Scalar& c : scalars)
        EXPECT_EQ(find(numbers, n, c.key, 0, false, false, 1, c.op), c.found)
            << "type " << int(c.key.type()) << " op " << c.op;
}

TEST_F(Hash, DeletionTakesChainedIndexesOutOneByOne) {
    Node b = block({word("a"), word("a"), word("b"), word("a")});
    Node t = table(4, b, HASH_KIND_HASH);
    Cell a = word("a");
    EXPECT_EQ(hashtable_record(t)->size, 2u);
    hashtable_delete(t, at(b, 1));
    EXPECT_EQ(find(t, b, a, 1), 3);
    EXPECT_EQ(hashtable_record(t)->size, 2u);
    EXPECT_EQ(hash_words(hashtable_record(t)->positions)[1], 0xFFFFFFFFu);
    hashtable_delete(t, at(b, 0));
    hashtable_delete(t, at(b, 3));
    EXPECT_EQ(find(t, b, a), -1);
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    hashtable_delete(t, at(b, 3));  // already out: nothing changes
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    EXPECT_EQ(find(t, b, word("b")), 2);
    // a deleted bucket is reused by the next key that probes into it
    hashtable_put(t, at(b, 0));
    EXPECT_EQ(find(t, b, a), 0);
    EXPECT_EQ(hashtable_record(t)->size, 2u);
}

TEST_F(Hash, AGroupThatComesAndGoesDoesNotPileUpChains) {
    Node b = block({word("x")});
    Node t = table(4, b, HASH_KIND_HASH);
    Cell a = word("a");
    for (int round = 0; round < 100; ++round) {
        block_append(b, a);
        block_append(b, a);
        hashtable_put(t, at(b, 1));
        hashtable_put(t, at(b, 2));
        ASSERT_EQ(find(t, b, a, 0, true), 2) << round;
        hashtable_delete(t, at(b, 2));
        hashtable_delete(t, at(b, 1));
        node_series(b)->tail -= 32;
        ASSERT_EQ(find(t, b, a), -1) << round;
    }
    EXPECT_LE(array_length(hashtable_record(t)->chains), 1u);
    EXPECT_EQ(find(t, b, word("x")), 0);
}

TEST_F(Hash, RemovingTheWholeBlockEmptiesEveryBucket) {
    Node b = block({word("a"), word("a"), make_integer(1), text("s")});
    Node t = table(4, b, HASH_KIND_HASH);
    hashtable_remove_range(t, 1, 100);  // cut to the block's end
    EXPECT_EQ(find(t, b, word("a")), 0);
    EXPECT_EQ(find(t, b, make_integer(1)), -1);
    hashtable_remove_range(t, 0, 4);
    HashTable* r = hashtable_record(t);
    EXPECT_EQ(r->size, 0u);
    EXPECT_EQ(r->occupied, 0u);
    Series* flags = node_series(r->flags);
    for (uint32_t i = 0; i < flags->tail; ++i) EXPECT_EQ(flags->data()[i], 0xAA);
    Series* pos = node_series(r->positions);
    for (uint32_t i = 0; i < pos->tail; ++i) EXPECT_EQ(pos->data()[i], 0xFF);
    EXPECT_EQ(node_series(r->chains)->used(), 0u);
    EXPECT_EQ(find(t, b, word("a")), -1);
}

TEST_F(Hash, InsertingPastTheBoundRebuildsAndKeepsEveryKey) {
    Node b = empty_block(4);
    Node t = table(4, b, HASH_KIND_HASH);
    int rebuilt = 0;
    for (int32_t i = 0; i < 200; ++i) {
        Cell* c = block_append(b, make_integer(i * 7));
        int status = 0;
        hashtable_insert(t, c, &status);
        if (status == 2) ++rebuilt;
    }
    EXPECT_GT(rebuilt, 0);
    HashTable* r = hashtable_record(t);
    EXPECT_EQ(r->size, 200u);
    EXPECT_LT(r->occupied, r->bound);
    for (int32_t i = 0; i < 200; ++i) ASSERT_EQ(find(t, b, make_integer(i * 7)), i);
    // a cell far past the position array makes it grow
    for (int i = 0; i < 100; ++i) block_append(b, make_integer(-1));
    Cell* far = block_append(b, make_integer(123456));
    hashtable_put(t, far);
    EXPECT_EQ(find(t, b, make_integer(123456)), 300);
}

TEST_F(Hash, ACopyHasChainsOfItsOwn) {
    Node b = block({word("a"), word("a"), word("b")});
    Node t = table(4, b, HASH_KIND_HASH);
    Node b2 = copy_series(node_series(b));
    keep(make_series(T_BLOCK, b2));
    Node t2 = keep_table(hashtable_copy(t, b2));
    Cell a = word("a");
    EXPECT_EQ(find(t2, b2, a, 0, true), 1);
    hashtable_delete(t2, at(b2, 1));
    EXPECT_EQ(find(t2, b2, a, 0, true), 0);
    EXPECT_EQ(find(t, b, a, 0, true), 1);
    Cell* c = block_append(b2, a);
    hashtable_put(t2, c);
    EXPECT_EQ(find(t2, b2, a, 0, true), 3);
    EXPECT_EQ(find(t, b, a, 0, true), 1);
    hashtable_delete(t, at(b, 0));
    EXPECT_EQ(find(t2, b2, a), 0);
}

TEST_F(Hash, ShiftAndMoveKeepIndexesInStepWithTheBlock) {
    Node b = block({word("a"), word("b"), word("c"), word("a")});
    Node t = table(8, b, HASH_KIND_HASH);
    std::vector<uint8_t> keys_before;
    {
        Series* k = node_series(hashtable_record(t)->keys);
        keys_before.assign(k->data(), k->data() + k->tail);
    }
    EXPECT_EQ(hashtable_shift_indexes(t, 5, 0, 30001), 1);
    Series* k = node_series(hashtable_record(t)->keys);
    EXPECT_EQ(std::vector<uint8_t>(k->data(), k->data() + k->tail), keys_before);

    // two cells inserted at index 1: [a x y b c a] (the new words are interned before the block's
    // address is taken)
    Cell x = word("x"), y = word("y");
    reserve_cell(b);
    reserve_cell(b);
    Series* s = node_series(b);
    std::memmove(s->cell_at(3), s->cell_at(1), 3 * 16);
    *s->cell_at(1) = x;
    *s->cell_at(2) = y;
    EXPECT_EQ(hashtable_shift_indexes(t, 2, 1, 3), 0);
    hashtable_put(t, at(b, 1));
    hashtable_put(t, at(b, 2));
    const char* expect[] = {"a", "x", "y", "b", "c"};
    for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(find(t, b, word(expect[i])), i) << expect[i];
    EXPECT_EQ(find(t, b, word("a"), 1), 5);

    // move [a x] to the end: [y b c a a x]
    Cell moved[2] = {*at(b, 0), *at(b, 1)};
    s = node_series(b);
    std::memmove(s->cell_at(0), s->cell_at(2), 4 * 16);
    *s->cell_at(4) = moved[0];
    *s->cell_at(5) = moved[1];
    hashtable_move_indexes(t, 0, 4, 2);
    const char* after[] = {"y", "b", "c", "a"};
    for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(find(t, b, word(after[i])), i) << after[i];
    EXPECT_EQ(find(t, b, word("a"), 4), 4);
    EXPECT_EQ(find(t, b, word("x")), 5);
    const uint32_t* pos = hash_words(hashtable_record(t)->positions);
    EXPECT_EQ(pos[3], pos[4]);
}

TEST_F(Hash, RandomEditsAgreeWithAScanOfTheBlock) {
    // appends, middle inserts and removals (with the index shifts the block code makes), against
    // a plain scan; few distinct values, so most keys live in chains
    Node b = empty_block(4);
    Node t = table(4, b, HASH_KIND_HASH);
    uint32_t seed = 12345;
    auto next = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    auto scan = [&](int32_t v, int32_t start, bool last, bool reverse) {
        Series* s = node_series(b);
        int32_t found = -1;
        for (int32_t l = 0; l < int32_t(s->length()); ++l) {
            if (cell_integer(s->cell_at(uint32_t(l))) != v) continue;
            if (!last && !reverse) {
                if (l >= start) return l;
            } else if (reverse ? l < start : l >= start) {
                found = l;
            }
        }
        return found;
    };
    for (int step = 0; step < 4000; ++step) {
        uint32_t length = node_series(b)->length();
        uint32_t what = next(10);
        if (what < 4 || length < 2) {
            Cell* c = block_append(b, make_integer(int32_t(next(12))));
            hashtable_put(t, c);
        } else if (what < 6) {
            uint32_t i = next(length);
            reserve_cell(b);
            Series* s = node_series(b);
            std::memmove(s->cell_at(i + 1), s->cell_at(i), (length - i) * 16);
            *s->cell_at(i) = make_integer(int32_t(next(12)));
            ASSERT_EQ(hashtable_shift_indexes(t, 1, i, length - i), 0);
            hashtable_put(t, at(b, i));
        } else if (what < 8) {
            uint32_t i = next(length);
            hashtable_delete(t, at(b, i));
            Series* s = node_series(b);
            std::memmove(s->cell_at(i), s->cell_at(i + 1), (length - i - 1) * 16);
            s->tail -= 16;
            ASSERT_EQ(hashtable_shift_indexes(t, -1, i + 1, length - i - 1), 0);
        } else {
            int32_t v = int32_t(next(13));
            int32_t start = int32_t(next(length + 1));
            bool last = next(2), reverse = !last && next(2);
            ASSERT_EQ(find(t, b, make_integer(v), start, last, reverse), scan(v, start, last, reverse))
                << "step " << step << " value " << v << " start " << start;
        }
    }
    std::set<int32_t> distinct;
    Series* s = node_series(b);
    for (uint32_t i = 0; i < s->length(); ++i) distinct.insert(cell_integer(s->cell_at(i)));
    EXPECT_EQ(hashtable_record(t)->size, distinct.size());
}

// ---- map! ----------------------------------------------------------------------------------------------

TEST_F(Hash, MapKeepsOneEntryPerKeyAndLooksWordsUpAsSetWords) {
    Node b = block({word("a"), make_integer(1), word("a"), make_integer(2), word("b"), make_integer(3)});
    Node t = table(4, b, HASH_KIND_MAP);
    EXPECT_EQ(hashtable_record(t)->size, 2u);
    ASSERT_EQ(node_series(b)->length(), 4u);
    EXPECT_EQ(cell_integer(at(b, 1)), 2);
    uint32_t sym_b = symbol_make("b");
    EXPECT_EQ(at(b, 2)->data2, sym_b);
    for (TypeId kind : {T_WORD, T_LIT_WORD, T_GET_WORD, T_SET_WORD})
        EXPECT_EQ(find(t, b, word("a", kind)), 0) << int(kind);
    EXPECT_EQ(find(t, b, word("a", T_REFINEMENT)), -1);
    EXPECT_EQ(find(t, b, word("b")), 2);
}

TEST_F(Hash, MapTextKeysMeetAndTheOpDecides) {
    Node b = block({text("abc"), make_integer(1), text("ABC"), make_integer(2)});
    Node t = table(4, b, HASH_KIND_MAP);
    EXPECT_EQ(hashtable_record(t)->size, 2u);  // strictly different keys
    EXPECT_EQ(find(t, b, text("ABC"), 0, false, false, 1, 2), 2);
    EXPECT_EQ(find(t, b, text("abc"), 0, false, false, 1, 2), 0);
    EXPECT_NE(find(t, b, text("Abc")), -1);
    EXPECT_EQ(find(t, b, text("Abc"), 0, false, false, 1, 2), -1);
    std::set<int32_t> seen;
    int32_t position = -1;
    uint32_t start = 0, step = 0;
    Cell key = text("aBc");
    while (const Cell* c = hashtable_find_next(t, &key, &position, &start, &step)) seen.insert(index_in(b, c));
    EXPECT_EQ(seen, (std::set<int32_t>{0, 2}));

    hashtable_delete(t, at(b, 0));
    EXPECT_EQ(at(b, 1)->header, 0u);
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    hashtable_delete(t, at(b, 0));  // a hole is not removed twice
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    EXPECT_EQ(find(t, b, text("abc"), 0, false, false, 1, 2), 0);  // the key stays indexed

    // the removed key comes back with a later pair: in its first place, counted again
    block_append(b, text("abc"));
    block_append(b, make_integer(5));
    hashtable_index_block(t, 4, 2);
    EXPECT_EQ(node_series(b)->length(), 4u);
    EXPECT_EQ(cell_integer(at(b, 1)), 5);
    EXPECT_EQ(hashtable_record(t)->size, 2u);
}

TEST_F(Hash, MapGrowsByDoubling) {
    Node b = empty_block(8);
    Node t = table(4, b, HASH_KIND_MAP);
    for (int32_t i = 0; i < 50; ++i) {
        // the key's index is taken before the value's append, which may move the block
        Cell* key = block_append(b, make_integer(i));
        uint32_t index = uint32_t(key - node_series(b)->cells());
        block_append(b, make_integer(-i));
        hashtable_put(t, at(b, index));
        if (i == 6) {
            EXPECT_EQ(hashtable_record(t)->buckets, 16u);
        }
    }
    EXPECT_EQ(hashtable_record(t)->size, 50u);
    for (int32_t i = 0; i < 50; ++i) ASSERT_EQ(find(t, b, make_integer(i)), 2 * i);
    // inserting a key that is there answers the stored key
    Cell* dup = block_append(b, make_integer(7));
    uint32_t dup_index = uint32_t(dup - node_series(b)->cells());
    block_append(b, make_integer(0));
    EXPECT_EQ(index_in(b, hashtable_insert(t, at(b, dup_index), nullptr)), 14);
    EXPECT_EQ(hashtable_record(t)->size, 50u);
}

// ---- Record tables -------------------------------------------------------------------------------------

TEST_F(Hash, RecordTablesPutGetDelete) {
    Node t = table(4, 0, HASH_KIND_RECORDS, 2);
    EXPECT_EQ(hashtable_record(t)->positions, 48u);
    Cell* v = hashtable_put_int(t, 1001);
    EXPECT_TRUE(v[0].is(T_UNSET));
    EXPECT_TRUE(v[1].is(T_UNSET));
    v[0] = make_integer(7);
    EXPECT_EQ(hashtable_put_int(t, 1001), hashtable_get_int(t, 1001));
    EXPECT_EQ(cell_integer(hashtable_get_int(t, 1001)), 7);
    EXPECT_EQ(hashtable_get_int(t, 1002), nullptr);
    Cell* removed = hashtable_delete_int(t, 1001);
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(removed[-1].header, 0u);
    EXPECT_EQ(hashtable_get_int(t, 1001), nullptr);
    EXPECT_EQ(hashtable_delete_int(t, 1001), nullptr);
    EXPECT_EQ(hashtable_record(t)->size, 0u);
    EXPECT_TRUE(hashtable_put_int(t, 1001)->is(T_UNSET));  // a fresh record
}

TEST_F(Hash, FullRecordTableCleansWhenSparseAndDoublesWhenDense) {
    Node t = table(4, 0, HASH_KIND_RECORDS, 1);
    for (uint32_t k = 1; k <= 6; ++k) *hashtable_put_int(t, k * 100) = make_integer(int32_t(k));
    for (uint32_t k = 1; k <= 4; ++k) hashtable_delete_int(t, k * 100);
    HashTable* r = hashtable_record(t);
    EXPECT_EQ(r->occupied, 6u);
    EXPECT_EQ(r->size, 2u);
    hashtable_put_int(t, 700);
    r = hashtable_record(t);
    EXPECT_EQ(r->buckets, 8u);  // fewer than half live: same count, deleted buckets gone
    EXPECT_EQ(r->size, 3u);
    EXPECT_EQ(r->occupied, 3u);
    EXPECT_EQ(node_series(r->values)->used(), 3u * 32);  // only live records were kept
    EXPECT_EQ(cell_integer(hashtable_get_int(t, 500)), 5);
    EXPECT_EQ(cell_integer(hashtable_get_int(t, 600)), 6);
    for (uint32_t k = 8; k <= 10; ++k) hashtable_put_int(t, k * 100);
    EXPECT_EQ(hashtable_record(t)->buckets, 8u);
    hashtable_put_int(t, 1100);  // six live at the bound: doubles
    EXPECT_EQ(hashtable_record(t)->buckets, 16u);
    for (uint32_t k : {500u, 600u, 700u, 800u, 900u, 1000u, 1100u}) EXPECT_NE(hashtable_get_int(t, k), nullptr) << k;
    EXPECT_EQ(hashtable_get_int(t, 100), nullptr);
}

// ---- Word tables -----------------------------------------------------------------------------------------

TEST_F(Hash, WordTablesAddFindAndGrowSixteenfold) {
    // the words' context: any live node serves (the collector marks it through the word cells)
    const Node context = empty_block(2);
    Node t = table(4, 0, HASH_KIND_WORDS, 0);
    uint32_t foo = symbol_make("foo");
    uint32_t Foo = symbol_make("Foo");
    int32_t added = -1;
    EXPECT_EQ(hashtable_word_index(t, foo, true, 0, &added), -1);
    EXPECT_EQ(hashtable_word_index(t, foo, true, context, &added), -1);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(hashtable_word_index(t, foo, false, 0, nullptr), 0);
    EXPECT_EQ(hashtable_word_index(t, Foo, true, 0, nullptr), 0);
    EXPECT_EQ(hashtable_word_index(t, Foo, false, 0, nullptr), -1);
    EXPECT_EQ(hashtable_word_index(t, Foo, false, context, &added), -1);
    EXPECT_EQ(added, 1);
    const Cell* w = node_series(hashtable_record(t)->values)->cell_at(1);
    EXPECT_TRUE(w->is(T_WORD));
    EXPECT_EQ(w->data1, context);
    EXPECT_EQ(w->data2, Foo);
    EXPECT_EQ(w->data3, 1u);

    Node shape = table(4, t, HASH_KIND_WORDS, 2);
    for (int i = 0; i < 5; ++i) hashtable_word_index(t, symbol_make(("w" + std::to_string(i)).c_str()), true, context, &added);
    EXPECT_EQ(hashtable_record(t)->buckets, 256u);  // 16 × (8 + 1), rounded up
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(hashtable_word_index(t, symbol_make(("w" + std::to_string(i)).c_str()), true, 0, nullptr), 2 + i);
    EXPECT_EQ(hashtable_word_index(t, foo, false, 0, nullptr), 0);
    // the copy made before keeps its own two words
    EXPECT_EQ(hashtable_word_index(shape, Foo, false, 0, nullptr), 1);
    EXPECT_EQ(hashtable_word_index(shape, symbol_make("w0"), true, 0, nullptr), -1);
    EXPECT_EQ(hashtable_record(shape)->buckets, 8u);
}

// ---- Re-indexing after a collection ------------------------------------------------------------------

TEST_F(Hash, RecordTableIsReindexedAfterTheCollectorRenumberedAKey) {
    Node t = table(4, 0, HASH_KIND_RECORDS, 1);
    Node key_series = bytes(16);
    for (uint32_t k = 1; k <= 5; ++k) *hashtable_put_int(t, 2000 + k) = make_integer(int32_t(k));
    *hashtable_put_int(t, key_series) = make_integer(42);
    EXPECT_EQ(hashtable_record(t)->stamp, g_collector_cycles + 1);
    // what the collector does when it moves the key's node: the record's key is rewritten. Done
    // by hand here, it leaves two nodes on one buffer, which no real cycle may see: collection
    // stays off from here on.
    g_collector_enabled = false;
    Node renumbered = alloc_node();
    node_set_series(renumbered, node_series(key_series));
    node_series(renumbered)->node = renumbered;
    hashtable_get_int(t, key_series)[-1].data1 = renumbered;
    g_collector_cycles++;
    ASSERT_NE(hashtable_get_int(t, renumbered), nullptr);
    EXPECT_EQ(cell_integer(hashtable_get_int(t, renumbered)), 42);
    EXPECT_EQ(hashtable_get_int(t, key_series), nullptr);
    EXPECT_EQ(hashtable_record(t)->stamp, g_collector_cycles + 1);
    for (uint32_t k = 1; k <= 5; ++k) EXPECT_EQ(cell_integer(hashtable_get_int(t, 2000 + k)), int32_t(k));
}

TEST_F(Hash, HashTablesFindKeysAfterTheirNodesMoved) {
    // identity-hashed keys stamp the table, which is rebuilt on first use after a collection
    Node body = empty_block(4);
    Cell fn{T_FUNCTION, 0, body, 0};
    Node b = block({fn, make_integer(1)});
    Node t = table(4, b, HASH_KIND_HASH);
    EXPECT_NE(hashtable_record(t)->stamp, 0u);
    // the renumbering is done by hand below and leaves two nodes on one buffer, which no real
    // cycle may see: collection stays off from here on
    g_collector_enabled = false;
    Node renumbered = alloc_node();
    node_set_series(renumbered, node_series(body));
    at(b, 0)->data2 = renumbered;
    g_collector_cycles++;
    Cell moved{T_FUNCTION, 0, renumbered, 0};
    EXPECT_EQ(find(t, b, moved), 0);
    EXPECT_EQ(hashtable_record(t)->stamp, g_collector_cycles + 1);

    // a block key hashes by content: a moved and renumbered buffer is found without re-indexing
    Node inner = block({word("x"), make_integer(5)});
    Node b2 = block({make_series(T_BLOCK, inner)});
    Node t2 = table(4, b2, HASH_KIND_MAP);
    EXPECT_EQ(hashtable_record(t2)->stamp, 0u);
    expand_series_copy(node_series(inner), 4096);
    Node inner2 = alloc_node();
    node_set_series(inner2, node_series(inner));
    at(b2, 0)->data2 = inner2;
    g_collector_cycles++;
    Cell key = make_series(T_BLOCK, inner2);
    EXPECT_EQ(find(t2, b2, key), 0);
    Cell other = make_series(T_BLOCK, block({word("X"), make_float(5.0)}));
    EXPECT_EQ(find(t2, b2, other), 0);  // equal content in another buffer
}

TEST_F(Hash, TablesSurviveRealCollectionsThatMoveAndRenumberTheirNodes) {
    g_collector_enabled = false;  // only the cycles started here
    // Frame 0 is filled with garbage, so that everything below gets its nodes in frame 1; once the
    // garbage is gone frame 1 is sparse and stable, and the collector moves its nodes to frame 0.
    Rooted keys_holder(make_series(T_BLOCK, alloc_cells(64)));
    while (g_memory.node_first->free_head) alloc_bytes(16);

    Node hb = alloc_cells(8);
    ASSERT_NE(node_frame_of(hb), g_memory.node_first);
    Rooted hash_cell(make_cell(T_HASH, 0, hb, 0));
    for (int i = 0; i < 20; ++i) {
        block_append(hb, make_series(T_BLOCK, block({make_integer(i), text(("b" + std::to_string(i)).c_str())})));
        block_append(hb, text(("s" + std::to_string(i)).c_str()));
    }
    hash_cell->data3 = hashtable_make(40, hb, HASH_KIND_HASH, 0);

    Node mb = block({text("one"), make_integer(1), word("two"), make_integer(2)});
    Rooted map_cell(make_cell(T_MAP, 0, mb, 0));
    map_cell->data3 = hashtable_make(4, mb, HASH_KIND_MAP, 0);

    // a record table keyed by the nodes of live strings, held through a context-like cell
    Rooted records(Cell{uint32_t(T_CONTEXT) | CELL_CTX_ON_STACK, 0, 0, 0});
    records->data1 = hashtable_make(4, 0, HASH_KIND_RECORDS, 1);
    for (int32_t i = 0; i < 30; ++i) {
        Cell key = text(("key " + std::to_string(i)).c_str());
        block_append(series_node(keys_holder.get()), key);
        *hashtable_put_int(records->data1, series_node(&key)) = make_integer(i);
    }
    NodeFrame* second = g_memory.node_last;
    ASSERT_LT(second->used, NODE_EVACUATE_BELOW);
    while (second->free_head) alloc_bytes(16);

    uint32_t evacuated_at = 0;
    for (uint32_t cycle = 1; cycle <= 12 && !evacuated_at; ++cycle) {
        collector_cycle();
        if (g_memory.node_first == g_memory.node_last) evacuated_at = cycle;
    }
    ASSERT_NE(evacuated_at, 0u) << "the table nodes were never moved";
    NodeFrame* first = g_memory.node_first;
    EXPECT_EQ(node_frame_of(hash_cell->data3), first);
    EXPECT_EQ(node_frame_of(hashtable_record(hash_cell->data3)->keys), first);

    hb = series_node(hash_cell.get());
    for (int i = 0; i < 20; ++i) {
        Cell key = make_series(T_BLOCK, block({make_integer(i), text(("B" + std::to_string(i)).c_str())}));
        EXPECT_EQ(find(hash_cell->data3, hb, key), 2 * i) << i;
        EXPECT_EQ(find(hash_cell->data3, hb, text(("S" + std::to_string(i)).c_str())), 2 * i + 1) << i;
    }
    mb = series_node(map_cell.get());
    EXPECT_EQ(find(map_cell->data3, mb, text("one")), 0);
    EXPECT_EQ(find(map_cell->data3, mb, word("two", T_SET_WORD)), 2);
    Series* held = node_series(series_node(keys_holder.get()));
    for (int32_t i = 0; i < 30; ++i) {
        Node key = series_node(held->cell_at(uint32_t(i)));
        EXPECT_EQ(node_frame_of(key), first);
        const Cell* v = hashtable_get_int(records->data1, key);
        ASSERT_NE(v, nullptr) << i;
        EXPECT_EQ(cell_integer(v), i);
        held = node_series(series_node(keys_holder.get()));
    }
    EXPECT_EQ(hashtable_record(records->data1)->stamp, g_collector_cycles + 1);
    EXPECT_EQ(symbol_resolve(symbol_make("TWO")), symbol_make("two"));
}

// ---- Collector support -----------------------------------------------------------------------------------

TEST_F(Hash, MarkingIsStrongForRecordsAndWeakForOwnership) {
    Node strong = table(4, 0, HASH_KIND_RECORDS, 1);
    Node weak = table(4, 0, HASH_KIND_OWNERSHIP, 3);
    Node key1 = bytes(8), key2 = bytes(8);
    hashtable_put_int(strong, key1);
    hashtable_put_int(weak, key2);
    hashtable_mark(strong);
    hashtable_mark(weak);
    auto marked = [](Node n) { return (node_series(n)->flags & SER_MARK) != 0; };
    for (Node t : {strong, weak}) {
        HashTable* r = hashtable_record(t);
        EXPECT_TRUE(marked(t) && marked(r->flags) && marked(r->keys) && marked(r->values));
    }
    EXPECT_TRUE(marked(key1));
    EXPECT_FALSE(marked(key2));
    for (Node t : {strong, weak}) {
        HashTable* r = hashtable_record(t);
        for (Node n : {t, r->flags, r->keys, r->values}) collector_unmark_node(n);
    }
    collector_unmark_node(key1);
}

TEST_F(Hash, SweepDropsRecordsOfDeadKeysAndDeadOwners) {
    Node t = table(4, 0, HASH_KIND_OWNERSHIP, 3);
    Node live_owner = empty_block(2), dead_owner = empty_block(2);
    Node k1 = bytes(8), k2 = bytes(8), k3 = bytes(8);
    struct Row { Node key; Node owner; };
    const Row rows[] = {{k1, live_owner}, {k2, live_owner}, {k3, dead_owner}};
    for (const Row& row : rows) {
        Cell* v = hashtable_put_int(t, row.key);
        v[0] = make_series(T_BINARY, row.key);
        v[1] = make_cell(T_OBJECT, row.owner, 0, 0);
    }
    for (Node n : {k1, k3, live_owner}) node_series(n)->flags |= SER_MARK;
    hashtable_sweep_int(t);
    for (Node n : {k1, k3, live_owner}) collector_unmark_node(n);
    g_collector_cycles++;
    EXPECT_NE(hashtable_get_int(t, k1), nullptr);
    EXPECT_EQ(hashtable_get_int(t, k2), nullptr);  // its series died
    EXPECT_EQ(hashtable_get_int(t, k3), nullptr);  // its owner died
    EXPECT_EQ(hashtable_record(t)->size, 1u);
}

// ---- Intmap ------------------------------------------------------------------------------------------------

TEST_F(Hash, IntmapPutGetReplaceAndGrow) {
    IntMap* m = intmap_make(0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->buckets, 8u);
    EXPECT_EQ(m->bound, 6u);
    EXPECT_EQ(intmap_get(m, 5), nullptr);
    EXPECT_EQ(intmap_find(m, 5), -1);
    for (uint32_t k = 1; k <= 5000; ++k) ASSERT_TRUE(intmap_put(m, k * 10007, k));
    EXPECT_EQ(m->size, 5000u);
    EXPECT_LT(m->occupied, m->bound);
    for (uint32_t k = 1; k <= 5000; ++k) ASSERT_EQ(*intmap_get(m, k * 10007), k);
    ASSERT_TRUE(intmap_put(m, 10007, 99));
    EXPECT_EQ(*intmap_get(m, 10007), 99u);
    EXPECT_EQ(m->size, 5000u);
    uint32_t buckets = m->buckets;
    EXPECT_EQ(intmap_resize(m, 16), -1);  // the keys would not fit
    EXPECT_EQ(m->buckets, buckets);
    EXPECT_EQ(*intmap_get(m, 20014), 2u);
    EXPECT_EQ(intmap_resize(m, buckets * 2), 0);
    EXPECT_EQ(m->buckets, buckets * 2);
    EXPECT_EQ(*intmap_get(m, 20014), 2u);
    intmap_free(m);
}

// ---- Stale tables, number keys, removed map! entries, record-table clearing --------------------------

// The renumbering a collection that evacuates a node frame does to a function's body: a new node
// for the same buffer, written into the cells given. Done by hand, it leaves two nodes on one
// buffer, which no real cycle may see: collection stays off afterwards.
Node renumber_by_hand(Node body) {
    g_collector_enabled = false;
    Node renumbered = alloc_node();
    node_set_series(renumbered, node_series(body));
    g_collector_cycles++;
    return renumbered;
}

TEST_F(Hash, IndexingNewCellsOfAStaleTableReindexesItFirst) {
    struct Case { uint32_t kind; uint32_t step; };
    for (const Case c : {Case{HASH_KIND_MAP, 2}, Case{HASH_KIND_HASH, 1}}) {
        bool map = c.kind == HASH_KIND_MAP;
        Node body = empty_block(4);
        Node b = map ? block({Cell{T_FUNCTION, 0, body, 0}, make_integer(1)})
                     : block({Cell{T_FUNCTION, 0, body, 0}});
        Node t = table(4, b, c.kind);
        ASSERT_NE(hashtable_record(t)->stamp, 0u);
        Node renumbered = renumber_by_hand(body);
        at(b, 0)->data2 = renumbered;
        // the same function added again (map!: with a new value), then indexed
        uint32_t first = node_series(b)->length();
        block_append(b, Cell{T_FUNCTION, 0, renumbered, 0});
        if (map) block_append(b, make_integer(2));
        hashtable_index_block(t, first, c.step);
        EXPECT_EQ(hashtable_record(t)->stamp, g_collector_cycles + 1) << c.kind;
        EXPECT_EQ(hashtable_record(t)->size, 1u) << c.kind;
        Cell key{T_FUNCTION, 0, renumbered, 0};
        if (map) {
            EXPECT_EQ(node_series(b)->length(), 2u);  // one key, the later value
            EXPECT_EQ(cell_integer(at(b, 1)), 2);
            EXPECT_EQ(find(t, b, key), 0);
        } else {
            EXPECT_EQ(find(t, b, key), 0);
            EXPECT_EQ(find(t, b, key, 1), 1);
            EXPECT_EQ(find(t, b, key, 0, true), 1);  // each cell indexed once: two in the group
            hashtable_remove_range(t, 0, 2);
            EXPECT_EQ(hashtable_record(t)->size, 0u);
        }
        g_collector_enabled = g_collector_stress;
    }
}

TEST_F(Hash, IndexingCellsARebuildIndexedAlreadyAddsNothing) {
    Node b = block({word("a"), word("b")});
    Node t = table(4, b, HASH_KIND_HASH);
    block_append(b, word("a"));
    block_append(b, word("c"));
    hashtable_rebuild(t, 4);
    hashtable_index_block(t, 2, 1);
    EXPECT_EQ(hashtable_record(t)->size, 3u);
    EXPECT_EQ(find(t, b, word("a"), 0, true), 2);
    hashtable_remove_range(t, 2, 1);
    EXPECT_EQ(find(t, b, word("a"), 1), -1);  // the cell was in the group once, and is gone
    EXPECT_EQ(find(t, b, word("c")), 3);
}

TEST_F(Hash, ValuesThatCompareEqualAcrossTypesHashAlike) {
    // each row: values hash_compare calls equal with op 0
    const std::vector<std::vector<Cell>> rows = {
        {make_integer(1), make_float(1.0), Cell{T_PERCENT, 0, 0, 0}},
        {make_integer(0), make_float(0.0), make_float(-0.0)},
        {make_integer(-7), make_float(-7.0)},
        {make_integer(2147483647), make_float(2147483647.0)},
        {make_integer(-2147483647 - 1), make_float(-2147483648.0)},
        {make_integer(65), Cell{T_CHAR, 0, 65, 0}},
        {make_float(0.5), Cell{T_PERCENT, 0, 0, 0}},
    };
    for (size_t r = 0; r < rows.size(); ++r) {
        std::vector<Cell> row = rows[r];
        for (Cell& c : row)
            if (c.is(T_PERCENT)) c.put_float(r == 0 ? 1.0 : 0.5);
        for (const Cell& a : row)
            for (const Cell& b : row) {
                ASSERT_TRUE(hash_compare(&a, &b, 0)) << r;
                EXPECT_EQ(hash_value(&a, false), hash_value(&b, false)) << "row " << r;
            }
    }
    // distinct integers keep distinct hashes
    std::set<uint32_t> seen;
    for (int32_t i = -500; i < 500; ++i) {
        Cell c = make_integer(i);
        seen.insert(hash_value(&c, false));
    }
    EXPECT_GT(seen.size(), 990u);

    // a hash! holding 1 finds 1.0 as a scan does, and a map! keeps 1 and 1.0 apart (strictly
    // different keys)
    Node hb = block({word("x"), make_integer(1), make_float(2.5)});
    Node ht = table(4, hb, HASH_KIND_HASH);
    EXPECT_EQ(find(ht, hb, make_float(1.0)), 1);
    EXPECT_EQ(find(ht, hb, make_integer(1)), 1);
    EXPECT_EQ(find(ht, hb, make_float(2.5)), 2);
    Node mb = block({make_integer(1), word("a"), make_float(1.0), word("b")});
    Node mt = table(4, mb, HASH_KIND_MAP);
    EXPECT_EQ(hashtable_record(mt)->size, 2u);
    EXPECT_EQ(find(mt, mb, make_float(1.0), 0, false, false, 1, 2), 2);
    EXPECT_EQ(find(mt, mb, make_integer(1), 0, false, false, 1, 2), 0);
}

// Integers hash in runs of consecutive buckets; keys of a common stride must still start their
// probes all over the table, or a table of them degrades into long probe sequences.
TEST_F(Hash, IntegerKeysOfAnyStrideSpreadOverTheBuckets) {
    const uint32_t keys = 4096, buckets = 8192;
    for (int32_t stride : {1, 2, 3, 16, 64, 1024, 65536, -7}) {
        std::set<uint32_t> starts;
        for (uint32_t i = 0; i < keys; ++i) {
            Cell k = make_integer(int32_t(uint32_t(stride) * i));
            starts.insert(hash_value(&k, false) & (buckets - 1));
        }
        // hashing at random fills about 79% of them; a pattern that keeps to a fraction of the
        // buckets stays far below
        EXPECT_GT(starts.size(), keys * 6 / 10) << "stride " << stride;
    }
}

// The language's equal? compares doubles with a tolerance of a few units in the last place.
bool tolerant_compare(const Cell* a, const Cell* b, int op) {
    auto number = [](const Cell* c, double* out) {
        if (c->is(T_INTEGER)) *out = double(int32_t(c->data2));
        else if (c->is(T_FLOAT)) *out = c->get_float();
        else return false;
        return true;
    };
    double x, y;
    if (op == 0 && number(a, &x) && number(b, &y)) {
        if (x == y || std::fabs(x - y) < 2.220446049250313e-16) return true;
        int64_t ix, iy;
        std::memcpy(&ix, &x, 8);
        std::memcpy(&iy, &y, 8);
        if ((ix < 0) != (iy < 0)) return false;
        return std::llabs(ix - iy) <= 10;
    }
    hash_set_compare(nullptr);
    bool r = hash_compare(a, b, op);
    hash_set_compare(tolerant_compare);
    return r;
}

TEST_F(Hash, NumbersWithinTheToleranceAreFoundAcrossAHashClassBoundary) {
    hash_set_compare(tolerant_compare);
    // keys right at the boundaries of the classes numbers hash by, and keys a few units in the
    // last place away on the other side: a table answers what a scan with the same comparison does
    auto ulps = [](double x, int n) {
        for (int i = 0; i < std::abs(n); ++i) x = std::nextafter(x, n < 0 ? -INFINITY : INFINITY);
        return x;
    };
    // class boundaries lie half a class from the centre: 2^-33 below 1, the bits' low byte 0x80
    // above; integers sit at a centre, where a look-up probes one class only
    std::vector<double> stored;
    for (double edge : {std::ldexp(7.0, -33), 1.0, -1.0, 1.0 + std::ldexp(128.0, -52), 1e300}) {
        stored.push_back(edge);
        stored.push_back(ulps(edge, -3));
    }
    for (double whole : {2.0, -2.0, 1e6, 2147483647.0, -2147483648.0}) {
        stored.push_back(ulps(whole, -10));
        stored.push_back(ulps(whole, 10));
    }
    Node hb = empty_block(32);
    Node mb = empty_block(32);
    for (double x : stored) {
        block_append(hb, make_float(x));
        block_append(mb, make_float(x));
        block_append(mb, make_integer(0));
    }
    Node ht = table(4, hb, HASH_KIND_HASH);
    Node mt = table(4, mb, HASH_KIND_MAP);
    for (double x : stored)
        for (int steps : {-9, -4, -1, 0, 1, 4, 9}) {
            Cell key = make_float(ulps(x, steps));
            int32_t scan = -1;
            for (uint32_t i = 0; i < node_series(hb)->length() && scan < 0; ++i)
                if (hash_compare(at(hb, i), &key, 0)) scan = int32_t(i);
            EXPECT_EQ(find(ht, hb, key), scan) << x << " " << steps;
            EXPECT_EQ(find(mt, mb, key), scan < 0 ? -1 : 2 * scan) << x << " " << steps;
            // the walk over every equal map! key meets each once
            std::set<int32_t> walked, scanned;
            int32_t position = -1;
            uint32_t start = 0, step = 0;
            while (const Cell* c = hashtable_find_next(mt, &key, &position, &start, &step))
                EXPECT_TRUE(walked.insert(index_in(mb, c)).second);
            for (uint32_t i = 0; i < node_series(mb)->length(); i += 2)
                if (hash_compare(at(mb, i), &key, 0)) scanned.insert(int32_t(i));
            EXPECT_EQ(walked, scanned) << x << " " << steps;
        }
    // integer keys find the floats stored within the tolerance on either side of them
    for (int32_t whole : {0, 1, -1, 2, -2, 1000000, 2147483647, -2147483647 - 1}) {
        Cell key = make_integer(whole);
        int32_t scan = -1;
        for (uint32_t i = 0; i < node_series(hb)->length() && scan < 0; ++i)
            if (hash_compare(at(hb, i), &key, 0)) scan = int32_t(i);
        if (std::abs(double(whole)) > 1) EXPECT_GE(scan, 0) << whole;
        EXPECT_EQ(find(ht, hb, key), scan) << whole;
        EXPECT_EQ(find(mt, mb, make_float(double(whole))), scan < 0 ? -1 : 2 * scan) << whole;
    }
    hash_set_compare(nullptr);
}

// A hash! group of equal numbers may span two hash classes; its bucket is placed and filtered by
// the hash of its first cell. Once that cell goes, the bucket must carry the next cell's hash, or a
// resize places the group where a look-up of the remaining cell's class never probes.
TEST_F(Hash, RemovingTheFirstCellOfAGroupAcrossClassesRehashesItsBucket) {
    hash_set_compare(tolerant_compare);
    auto ulps = [](double x, int n) {
        for (int i = 0; i < std::abs(n); ++i) x = std::nextafter(x, n < 0 ? -INFINITY : INFINITY);
        return x;
    };
    // at a class boundary (128 units above a whole number of classes past 1.0): x lies below it,
    // y above, 4 units apart (equal); z is equal to y (10 units) but probes y's class only (its
    // 11-unit interval stays above). y joins x's group only when its probes meet x's bucket: the
    // boundary is one where both classes start at the same bucket of 8.
    double x = 0, y = 0, z = 0;
    bool met = false;
    for (int k = 0; k < 512 && !met; ++k) {
        const double edge = 1.0 + std::ldexp(128.0 + 256.0 * k, -52);
        x = ulps(edge, -2), y = ulps(edge, 2), z = ulps(y, 10);
        Cell a = make_float(x), c = make_float(y);
        met = ((hash_value(&a, false) ^ hash_value(&c, false)) & 7) == 0;
    }
    ASSERT_TRUE(met);
    Cell xc = make_float(x), yc = make_float(y), zc = make_float(z);
    ASSERT_NE(hash_value(&xc, false), hash_value(&yc, false));
    uint32_t z_hashes[2];
    ASSERT_EQ(hash_key_probes(&zc, z_hashes), 1u);
    ASSERT_TRUE(hash_compare(&xc, &yc, 0));
    ASSERT_TRUE(hash_compare(&yc, &zc, 0));
    ASSERT_FALSE(hash_compare(&xc, &zc, 0));

    Node b = block({xc, yc});
    Node t = table(4, b, HASH_KIND_HASH);
    ASSERT_EQ(hashtable_record(t)->size, 1u);   // one group: y joined x
    hashtable_delete(t, at(b, 0));
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    EXPECT_EQ(find(t, b, yc), 1);
    EXPECT_EQ(find(t, b, zc), 1);
    // growing places every bucket by the hash it keeps
    for (uint32_t wanted : {64u, 1024u}) {
        hashtable_resize(t, wanted);
        ASSERT_EQ(hashtable_record(t)->buckets, wanted);
        EXPECT_EQ(find(t, b, yc), 1) << wanted;
        EXPECT_EQ(find(t, b, zc), 1) << wanted;
        EXPECT_EQ(find(t, b, xc), 1) << wanted;
    }
    hash_set_compare(nullptr);
}

// A map! may hold keys that equal? calls equal and a strict comparison tells apart ("kx" and
// "KX"); a look-up under equal? answers the first of them in block order even where the probes
// meet the later one first (after a resize placed it ahead), while a strict look-up answers its
// own key.
TEST_F(Hash, MapLookUpAnswersTheFirstOfKeysEqualButForCase) {
    // a text whose hash starts at the last of 8 buckets: its upper-case twin then takes bucket
    // 0, which a resize visits, and so places, first
    std::string lower;
    for (int i = 0; i < 1000 && lower.empty(); ++i) {
        std::string candidate = "kx" + std::to_string(i);
        Cell c = text(candidate.c_str());
        if ((hash_value(&c, false) & 7) == 7) lower = candidate;
    }
    ASSERT_FALSE(lower.empty());
    std::string upper = lower;
    for (char& ch : upper) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    std::string mixed = upper.substr(0, 1) + lower.substr(1);
    Node b = block({text(lower.c_str()), make_integer(1), text(upper.c_str()), make_integer(2)});
    Node t = table(4, b, HASH_KIND_MAP);
    ASSERT_EQ(hashtable_record(t)->buckets, 8u);
    ASSERT_EQ(hashtable_record(t)->size, 2u);
    for (uint32_t buckets : {8u, 64u}) {
        hashtable_resize(t, buckets);
        ASSERT_EQ(hashtable_record(t)->buckets, buckets);
        EXPECT_EQ(find(t, b, text(mixed.c_str())), 0) << buckets;
        EXPECT_EQ(find(t, b, text(upper.c_str())), 0) << buckets;
        EXPECT_EQ(find(t, b, text(upper.c_str()), 0, false, false, 1, 2), 2) << buckets;
        EXPECT_EQ(find(t, b, text(lower.c_str()), 0, false, false, 1, 2), 0) << buckets;
        EXPECT_EQ(find(t, b, text(mixed.c_str()), 0, false, false, 1, 2), -1) << buckets;
    }
}

TEST_F(Hash, RemovedMapEntriesStayIndexedThroughResizeAndRebuild) {
    Node b = empty_block(16);
    for (int32_t i = 0; i < 6; ++i) {
        block_append(b, make_integer(i));
        block_append(b, make_integer(-i));
    }
    Node t = table(8, b, HASH_KIND_MAP);
    for (uint32_t i = 0; i < 5; ++i) hashtable_delete(t, at(b, 2 * i));
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    // six keys are indexed: four buckets cannot hold them, so the table keeps its buckets
    hashtable_resize(t, 4);
    EXPECT_GE(hashtable_record(t)->buckets, 8u);
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    hashtable_rebuild(t, 6);
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    hashtable_refresh(t, 6);
    EXPECT_EQ(hashtable_record(t)->size, 1u);
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(find(t, b, make_integer(i)), 2 * i) << i;
    // a removed key that comes back is counted again, once
    block_append(b, make_integer(2));
    block_append(b, make_integer(20));
    hashtable_index_block(t, 12, 2);
    EXPECT_EQ(hashtable_record(t)->size, 2u);
    EXPECT_EQ(cell_integer(at(b, 5)), 20);
    // resizing moves every indexed key: six of them hold 16 buckets, not 8 (bound 6)
    hashtable_resize(t, 16);
    EXPECT_EQ(hashtable_record(t)->buckets, 16u);
    hashtable_resize(t, 8);
    EXPECT_EQ(hashtable_record(t)->buckets, 16u);
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(find(t, b, make_integer(i)), 2 * i) << i;
}

TEST_F(Hash, ClearingARecordTableDropsItsRecordsForGood) {
    Node t = table(4, 0, HASH_KIND_RECORDS, 1);
    for (uint32_t k = 1; k <= 3; ++k) *hashtable_put_int(t, 500 + k) = make_integer(int32_t(k));
    hashtable_clear(t);
    EXPECT_EQ(hashtable_record(t)->size, 0u);
    EXPECT_EQ(hashtable_get_int(t, 501), nullptr);
    hashtable_rebuild_records(t, 8);
    EXPECT_EQ(hashtable_record(t)->size, 0u);
    EXPECT_EQ(hashtable_get_int(t, 502), nullptr);
    g_collector_cycles++;  // a stale table is re-indexed from its records
    EXPECT_EQ(hashtable_get_int(t, 503), nullptr);
    *hashtable_put_int(t, 503) = make_integer(9);
    EXPECT_EQ(cell_integer(hashtable_get_int(t, 503)), 9);
    EXPECT_EQ(hashtable_record(t)->size, 1u);
}

// The count only decides whether the shift is done: every index at or after `first` moves.
TEST_F(Hash, ShiftMovesEveryIndexFromTheFirstWhateverTheCount) {
    Node b = block({word("a"), word("b"), word("c"), word("d")});
    Node t = table(8, b, HASH_KIND_HASH);
    Cell x = word("x");
    reserve_cell(b);
    Series* s = node_series(b);
    std::memmove(s->cell_at(2), s->cell_at(1), 3 * 16);
    *s->cell_at(1) = x;
    EXPECT_EQ(hashtable_shift_indexes(t, 1, 1, 1), 0);
    hashtable_put(t, at(b, 1));
    const char* expect[] = {"a", "x", "b", "c", "d"};
    for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(find(t, b, word(expect[i])), i) << expect[i];
}

} // namespace

// map! storage under churn: removed entries leave holes in the block of pairs, and a map that keeps
// taking new keys while dropping old ones must reuse that room (compacting) instead of growing
// without end. Also the hash! table re-indexing after a block edit, at its boundaries. Run under
// KEL_GC_STRESS=1 too: string keys are copied on every put, so collections run throughout.
#include "core/hash.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "datatypes/hash.h"
#include "datatypes/map.h"
#include "datatypes/string.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace kel;
using test::keep;

namespace {

class Map : public test::RuntimeTest {};

// A new empty map on the data stack.
Cell* new_map() {
    Cell* m = &keep(make_cell(T_NONE));
    Node block = alloc_cells(2);
    *m = make_series(T_BLOCK, block);
    map_from_block(m, block, nullptr);
    return m;
}

Cell* string_key(const std::string& text) {
    return string_load_push(text.data(), int32_t(text.size()), TextEncoding::Utf8);
}

void put(Cell* map, const Cell* key, int32_t value) {
    Cell v = make_integer(value);
    map_put(map, key, &v, false);
    stack_pop();   // the key
}

void remove_key(Cell* map, const Cell* key) {
    action_impl<A_REMOVE>(T_MAP)(map, nullptr, key);
    stack_pop();
}

int32_t select(Cell* map, const Cell* key) {
    Cell* probe = stack_push(*map);
    action_impl<A_SELECT>(T_MAP)(probe, key, FindOpts{});
    Cell r = *probe;
    stack_pop(2);   // probe and key
    return r.is(T_INTEGER) ? cell_integer(&r) : -1;
}

struct Footprint {
    uint32_t block_bytes = 0;
    uint32_t buckets = 0;
};

Footprint footprint(const Cell* map) {
    return {value_series(map)->size, hashtable_record(map->data3)->buckets};
}

// A window of `live` keys slides over `rounds` distinct keys: each round puts a new key and removes
// the oldest. The storage must stay within a bound set by the window, not by the rounds.
TEST_F(Map, ChurnOfDistinctKeysKeepsStorageBounded) {
    struct Case {
        const char* name;
        bool strings;
        uint32_t live;
        uint32_t rounds;
    };
    const Case cases[] = {
        {"integers, window 1", false, 1, 20000},
        {"integers, window 10", false, 10, 50000},
        {"integers, window 300", false, 300, 50000},
        {"strings, window 10", true, 10, g_collector_stress ? 2000u : 20000u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell* map = new_map();
        auto key = [&](uint32_t i) -> Cell* {
            if (c.strings) return string_key("key-" + std::to_string(i));
            return &keep(make_integer(int32_t(i)));
        };
        Footprint most;
        for (uint32_t i = 0; i < c.rounds; ++i) {
            put(map, key(i), int32_t(i));
            if (i >= c.live) remove_key(map, key(i - c.live));
            Footprint now = footprint(map);
            most.block_bytes = std::max(most.block_bytes, now.block_bytes);
            most.buckets = std::max(most.buckets, now.buckets);
        }
        EXPECT_EQ(map_count(map), int32_t(c.live));
        // every live key answers its value, the removed ones none
        for (uint32_t i = c.rounds - c.live; i < c.rounds; ++i) EXPECT_EQ(select(map, key(i)), int32_t(i));
        EXPECT_EQ(select(map, key(c.rounds - c.live - 1)), -1);
        // 4 pairs of room per live key covers doubling growth and the holes before a compaction
        EXPECT_LE(most.block_bytes, 32u * 4 * (c.live + 4)) << "block of pairs grew with the rounds";
        EXPECT_LE(most.buckets, 8 * (c.live + 4)) << "table grew with the rounds";
        stack_pop();   // the map
    }
}

// Removing and putting the same keys again revives their holes in place: nothing grows at all.
TEST_F(Map, PuttingRemovedKeysAgainReusesTheirPairs) {
    Cell* map = new_map();
    for (int32_t i = 0; i < 50; ++i) put(map, &keep(make_integer(i)), i);
    Footprint before = footprint(map);
    uint32_t length = value_series(map)->length();
    for (int round = 0; round < 100; ++round) {
        for (int32_t i = 0; i < 50; i += 2) remove_key(map, &keep(make_integer(i)));
        EXPECT_EQ(map_count(map), 25);
        for (int32_t i = 0; i < 50; i += 2) put(map, &keep(make_integer(i)), i + round);
    }
    EXPECT_EQ(map_count(map), 50);
    EXPECT_EQ(value_series(map)->length(), length);
    EXPECT_EQ(footprint(map).block_bytes, before.block_bytes);
    EXPECT_EQ(footprint(map).buckets, before.buckets);
    EXPECT_EQ(select(map, &keep(make_integer(48))), 48 + 99);
}

// A map! or hash! made for a count of entries takes that many without growing or rebuilding its
// table: the arrays it was made with stay.
TEST_F(Map, MadeForACountTheTableTakesThatManyKeysAsMade) {
    const int32_t count = 5000;
    for (TypeId type : {T_MAP, T_HASH}) {
        SCOPED_TRACE(type == T_MAP ? "map!" : "hash!");
        Cell* made = &keep(make_cell(T_NONE));
        Cell* spec = &keep(make_integer(count));
        action_impl<A_MAKE>(type)(made, spec, type);
        ASSERT_TRUE(made->is(type));
        HashTable before = *hashtable_record(made->data3);
        for (int32_t i = 0; i < count; ++i) {
            Cell* key = &keep(make_integer(i));
            if (type == T_MAP) {
                put(made, key, i);
            } else {
                action_impl<A_INSERT>(T_HASH)(made, key, -1, false, 1, true);
                stack_pop();
            }
        }
        HashTable after = *hashtable_record(made->data3);
        EXPECT_EQ(after.size, uint32_t(count));
        EXPECT_EQ(after.buckets, before.buckets);
        EXPECT_EQ(after.flags, before.flags) << "the table was rehashed";
        EXPECT_EQ(after.keys, before.keys) << "the table was rehashed";
        if (type == T_MAP) EXPECT_EQ(select(made, &keep(make_integer(count - 1))), count - 1);
        stack_pop(2);
    }
}

// Keys are normalised when stored: word kinds become set-words, a string key is a copy.
TEST_F(Map, StoredKeysAreNormalised) {
    Cell* map = new_map();
    Cell* s = string_key("abc");
    Cell text = *s;
    put(map, s, 1);
    put(map, &keep(make_cell(T_GET_WORD, 0, symbol_make("w"), uint32_t(-1))), 2);
    Series* pairs = value_series(map);
    ASSERT_EQ(pairs->length(), 4u);
    EXPECT_TRUE(pairs->cell_at(0)->is(T_STRING));
    EXPECT_NE(series_node(pairs->cell_at(0)), series_node(&text));
    EXPECT_EQ(pairs->cell_at(2)->header, uint32_t(T_SET_WORD));
    Cell bad = make_series(T_BLOCK, alloc_cells(1));
    EXPECT_EQ(test::raised([&] { put(map, &keep(bad), 3); }), Err::InvalidPath);
    EXPECT_EQ(map_count(map), 2);
}

} // namespace

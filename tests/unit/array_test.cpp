// Growable arrays (find offsets, 1-based pick/poke, byte removal, both unit widths) and the slot
// list (growth by doubling, reuse of freed slots, refusal of double and out-of-range frees).
#include "core/array.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/series.h"
#include "core/stack.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace kel;

namespace {

class Arrays : public test::RuntimeTest {
protected:
    // An empty array with room for four elements, kept alive on the data stack for the test (an
    // append that grows it may collect).
    static Node new_array(uint32_t unit) {
        Node a = alloc_series(4, unit, 0);
        stack_push(make_series(T_BINARY, a));
        return a;
    }
    static Node array_of(std::initializer_list<uint32_t> values, uint32_t unit = 4) {
        Node a = new_array(unit);
        for (uint32_t v : values) array_append(a, v);
        return a;
    }
};

TEST_F(Arrays, FindAnswersByteOffsets) {
    struct Case { std::vector<uint32_t> values; uint32_t unit; uint32_t wanted; int32_t offset; };
    const Case cases[] = {
        {{}, 4, 7, -1},
        {{1, 2, 7, 7}, 4, 7, 8},           // the third element, first of two equal ones
        {{1, 2, 3}, 4, 9, -1},
        {{0xFFFFFFFFu}, 4, 0xFFFFFFFFu, 0},
        {{5, 6, 7}, 1, 7, 2},
        {{}, 1, 0, -1},
    };
    for (const Case& c : cases) {
        Node a = new_array(c.unit);
        for (uint32_t v : c.values) array_append(a, v);
        EXPECT_EQ(array_length(a), c.values.size());
        EXPECT_EQ(array_find(a, c.wanted), c.offset) << "unit " << c.unit << " wanted " << c.wanted;
    }
}

TEST_F(Arrays, AppendGrowsPickAndPokeAreOneBasedAndBounded) {
    Node a = array_of({});
    for (uint32_t i = 0; i < 1000; ++i) array_append(a, i * 3);
    ASSERT_EQ(array_length(a), 1000u);
    EXPECT_EQ(array_pick(a, 1), 0u);
    EXPECT_EQ(array_pick(a, 1000), 2997u);
    EXPECT_EQ(array_pick(a, 0), 0u);
    EXPECT_EQ(array_pick(a, 1001), 0u);
    array_poke(a, 500, 100001);
    EXPECT_EQ(array_pick(a, 500), 100001u);
    EXPECT_EQ(array_find(a, 100001), 499 * 4);
    array_poke(a, 1001, 9);  // outside: nothing written past the tail
    EXPECT_EQ(array_length(a), 1000u);
    array_clear(a);
    EXPECT_EQ(array_length(a), 0u);
    EXPECT_EQ(array_find(a, 3), -1);
}

TEST_F(Arrays, RemoveBytesClosesTheGapAndStaysInside) {
    Node a = array_of({10, 20, 30, 40});
    array_remove_bytes(a, 4, 8);
    ASSERT_EQ(array_length(a), 2u);
    EXPECT_EQ(array_pick(a, 1), 10u);
    EXPECT_EQ(array_pick(a, 2), 40u);
    array_remove_bytes(a, 4, 400);  // cut to the used part
    EXPECT_EQ(array_length(a), 1u);
    array_remove_bytes(a, 8, 4);    // past the tail: nothing
    EXPECT_EQ(array_length(a), 1u);
    EXPECT_EQ(array_pick(a, 1), 10u);

    Node bytes = array_of({1, 2, 3, 0x1FF}, 1);  // a byte array keeps the low byte
    EXPECT_EQ(array_pick(bytes, 4), 0xFFu);
    array_remove_bytes(bytes, 0, 1);
    EXPECT_EQ(array_length(bytes), 3u);
    EXPECT_EQ(array_pick(bytes, 1), 2u);
}

class SlotList : public Arrays {
protected:
    void SetUp() override {
        Arrays::SetUp();
        slot_list_init(g_root_block);
    }
};

TEST_F(SlotList, ChainedAtStartAndKeptInTheParent) {
    EXPECT_EQ(slot_list_capacity(), 100u);
    EXPECT_EQ(g_slot_first_free, 0);
    Series* s = node_series(g_slot_list);
    EXPECT_EQ(s->tail, 100u * 16);
    EXPECT_TRUE(s->cell_at(0)->is(T_INTEGER));
    EXPECT_EQ(s->cell_at(0)->data2, 1u);
    EXPECT_EQ(int32_t(s->cell_at(99)->data2), -1);
    Series* root = node_series(g_root_block);
    const Cell* last = root->cell_tail() - 1;
    EXPECT_TRUE(last->is(T_BLOCK));
    EXPECT_EQ(series_node(last), g_slot_list);
}

TEST_F(SlotList, The101stAllocDoublesAndKeepsEarlierSlots) {
    for (int32_t i = 1; i <= 100; ++i) EXPECT_EQ(slot_list_alloc(make_integer(1000 + i)), uint32_t(i));
    EXPECT_EQ(g_slot_first_free, -1);
    EXPECT_EQ(slot_list_alloc(make_float(2.5)), 101u);
    EXPECT_EQ(slot_list_capacity(), 200u);
    EXPECT_EQ(node_series(g_slot_list)->tail, 200u * 16);
    for (int32_t i = 1; i <= 100; ++i) EXPECT_EQ(cell_integer(slot_list_get(uint32_t(i))), 1000 + i);
    EXPECT_TRUE(slot_list_get(101)->is(T_FLOAT));
    EXPECT_EQ(slot_list_get(201), nullptr);
    EXPECT_EQ(slot_list_get(0), nullptr);
    // the new cells are chained in order
    EXPECT_EQ(slot_list_alloc(make_integer(0)), 102u);
}

TEST_F(SlotList, ValueHandedOverWhenFullSurvivesTheGrowth) {
    for (int32_t i = 1; i <= 100; ++i) slot_list_alloc(make_integer(i));
    // the slot is the new string's only reference: it must stay alive while the block doubles
    // (a collection may run then)
    Node str = alloc_bytes(16);
    std::memcpy(node_series(str)->data(), "handed over", 11);
    node_series(str)->tail = 11;
    uint32_t slot = slot_list_alloc(make_series(T_BINARY, str));
    EXPECT_EQ(slot, 101u);
    collector_cycle();  // and it is marked through the slot from then on
    const Cell* held = slot_list_get(slot);
    ASSERT_TRUE(held->is(T_BINARY));
    Series* s = node_series(series_node(held));
    ASSERT_EQ(s->used(), 11u);
    EXPECT_EQ(std::memcmp(s->head_ptr(), "handed over", 11), 0);
}

TEST_F(SlotList, FreedSlotIsReusedAndBadFreesChangeNothing) {
    for (int i = 0; i < 10; ++i) slot_list_alloc(make_integer(i));
    slot_list_free(5);
    EXPECT_EQ(slot_list_alloc(make_integer(55)), 5u);
    EXPECT_EQ(cell_integer(slot_list_get(5)), 55);

    // 0, out of range and a second free of the same slot are all ignored
    slot_list_free(3);
    int32_t first_free = g_slot_first_free;
    for (uint32_t bad : {0u, 3u, 101u, 0xFFFFFFFFu}) {
        slot_list_free(bad);
        EXPECT_EQ(g_slot_first_free, first_free) << bad;
    }
    EXPECT_EQ(slot_list_alloc(make_integer(33)), 3u);
    EXPECT_EQ(slot_list_alloc(make_integer(11)), 11u);  // the chain goes on unbroken
    EXPECT_EQ(cell_integer(slot_list_get(3)), 33);

    // a used slot holding an integer! is not mistaken for a free one
    slot_list_free(11);
    slot_list_free(11);
    EXPECT_EQ(slot_list_alloc(make_integer(1)), 11u);
    EXPECT_EQ(slot_list_alloc(make_integer(2)), 12u);
}

} // namespace

// Ownership tracking: which values a deep walk marks and records (and which it leaves alone), the
// notifications an owner receives and their order, self-containing and too deeply nested blocks,
// removing ownership, and copies of owned series.
#include "core/context.h"
#include "core/cycles.h"
#include "core/gc.h"
#include "core/hash.h"
#include "core/memory.h"
#include "core/ownership.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

using namespace kel;
using test::block;
using test::block_of;
using test::keep;

namespace {

struct Notice {
    Node owner_ctx;
    uint32_t word;
    Node target;
    uint32_t action;
    int32_t new_value;   // -1 when the change had none
    int32_t index;
    int32_t part;
};
std::vector<Notice> g_notices;

void record_notice(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                   const Cell* new_value, int32_t index, int32_t part) {
    g_notices.push_back({owner->data1, word->data2, series_node(target), action->data2,
                         new_value ? cell_integer(new_value) : -1, index, part});
    stack_push(make_integer(0));  // left behind on purpose: the caller drops it
}

class Ownership : public test::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        g_notices.clear();
        g_owner_on_deep_change = record_notice;
    }
    void TearDown() override {
        g_owner_on_deep_change = nullptr;
        RuntimeTest::TearDown();
    }
};

uint32_t sym(const char* name) { return symbol_make(name); }
Cell word(const char* name) { return make_cell(T_WORD, 0, sym(name), uint32_t(-1)); }

// Every value a test makes is kept where the collector sees it for the rest of the test: on the
// data stack, whose cells never move (every test starts with an empty stack). The copies a test
// holds in locals then lead to live buffers; a weak ownership record stays as long as its value
// and its owner do.

Cell string_value(const char* text, TypeId t = T_STRING) {
    size_t n = std::strlen(text);
    Node node = alloc_bytes(n);
    Series* s = node_series(node);
    std::memcpy(s->data(), text, n);
    s->tail = uint32_t(n);
    return keep(make_series(t, node));
}
Cell kept_series(TypeId t, Node node) { return keep(make_series(t, node)); }
// The cells wait on the data stack while the block is made; the block's own cell then takes
// their place.

// An object value built by hand: an object context with the fields, the object! cell copied into
// the owner cell. A reactive object carries a change-handler record (any non-zero node will do).
Cell object(std::initializer_list<std::pair<const char*, Cell>> fields, bool reactive) {
    Node ctx = context_make(uint32_t(fields.size()), false, true, 0, CONTEXT_OBJECT);
    Cell& kept = keep(make_cell(T_OBJECT, ctx, 0, 0));
    for (const auto& [name, value] : fields) {
        Cell w = word(name);
        context_put_word_value(ctx, &w, &value);
    }
    Node record = reactive ? alloc_cells(2) : 0;
    kept = make_cell(T_OBJECT, ctx, 1000001, record);
    *context_owner(ctx) = kept;
    return kept;
}
Cell* field(const Cell& obj, const char* name) {
    int32_t i = context_find_word(obj.data1, sym(name), true);
    EXPECT_GE(i, 0) << name;
    return context_value_at(obj.data1, uint32_t(i));
}
// The object registers itself as the owner of its values, as a reactive object does.
void own_fields(Cell& obj) {
    Cell none{T_NONE, 0, 0, 0};
    set_owner_and_flag(&obj, &obj, &none);
}

bool owned(const Cell& v) { return node_series(series_node(&v))->flags & SER_OWNED; }
uint32_t record_count() { return hashtable_record(g_ownership_table)->size; }

bool check(const Cell& target, const char* action, int32_t value = -1, int32_t index = -1,
           int32_t part = -1) {
    Cell a = word(action);
    Cell v = make_integer(value);
    return ownership_check(&target, &a, value >= 0 ? &v : nullptr, index, part);
}

TEST_F(Ownership, ChangeInsideAFieldNotifiesWithTheFieldWord) {
    Cell text = string_value("abc");
    Cell items = block({make_integer(1), text});
    Cell obj = object({{"items", items}, {"count", make_integer(2)}}, true);
    own_fields(obj);
    EXPECT_NE(context_cell(obj.data1)->header & CELL_OWNED, 0u);
    EXPECT_TRUE(owned(text));
    EXPECT_TRUE(owned(items));

    uint32_t depth = stack_depth();
    EXPECT_TRUE(check(text, "insert", 7, 3, 1));
    EXPECT_TRUE(check(text, "inserted", 7, 3, 1));
    EXPECT_TRUE(check(items, "clear"));
    EXPECT_EQ(stack_depth(), depth);
    ASSERT_EQ(g_notices.size(), 3u);
    const Notice& first = g_notices[0];
    EXPECT_EQ(first.owner_ctx, obj.data1);
    EXPECT_EQ(first.word, sym("items"));
    EXPECT_EQ(first.target, series_node(&text));
    EXPECT_EQ(first.action, sym("insert"));
    EXPECT_EQ(first.new_value, 7);
    EXPECT_EQ(first.index, 3);
    EXPECT_EQ(first.part, 1);
    EXPECT_EQ(g_notices[1].action, sym("inserted"));
    EXPECT_EQ(g_notices[2].target, series_node(&items));
    EXPECT_EQ(g_notices[2].new_value, -1);

    const Cell* found = owner_find(series_node(&text));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found[0].data1, obj.data1);
    EXPECT_EQ(found[1].data2, sym("items"));
}

TEST_F(Ownership, TrackedTypesAreMarkedAndRecorded) {
    struct Case {
        Cell value;
        bool recorded;
    };
    std::vector<Case> cases = {
        {string_value("s"), true},          {string_value("f", T_FILE), true},
        {string_value("u", T_URL), true},   {string_value("t", T_TAG), true},
        {kept_series(T_BINARY, alloc_bytes(4)), true},
        {kept_series(T_BITSET, alloc_bytes(4)), true},
        {make_series(T_PAREN, block_of({})), true},
        {make_series(T_PATH, block_of({})), true},
        {make_integer(5), false},           {make_cell(T_NONE), false},
        {make_cell(T_CHAR, 0, 65), false},
    };
    Cell owner = object({}, true);
    Cell w = word("slot");
    for (Case& c : cases) {
        uint32_t before = record_count();
        set_owner_deep(&c.value, &owner, &w);
        EXPECT_EQ(record_count(), before + (c.recorded ? 1 : 0)) << int(c.value.type());
        EXPECT_EQ(ownership_tracked_type(c.value.type()), c.recorded);
        if (c.recorded) {
            EXPECT_TRUE(owned(c.value));
            EXPECT_TRUE(check(c.value, "poke"));
        }
    }
    EXPECT_EQ(g_notices.size(), 8u);

    // image!: the mark sits on the cell
    Cell image = kept_series(T_IMAGE, alloc_bytes(16));
    set_owner_deep(&image, &owner, &w);
    EXPECT_NE(image.header & CELL_OWNED, 0u);
    EXPECT_FALSE(owned(image));
    EXPECT_TRUE(check(image, "poke"));
    ownership_unbind(&image);
    EXPECT_EQ(image.header & CELL_OWNED, 0u);
    EXPECT_FALSE(check(image, "poke"));
}

TEST_F(Ownership, FirstOwnerIsKept) {
    Cell text = string_value("shared");
    Cell a = object({{"a-field", text}}, true);
    Cell b = object({{"b-field", text}}, true);
    own_fields(a);
    uint32_t records = record_count();
    own_fields(b);
    EXPECT_EQ(record_count(), records);
    ASSERT_TRUE(check(text, "poke"));
    EXPECT_EQ(g_notices[0].owner_ctx, a.data1);
    EXPECT_EQ(g_notices[0].word, sym("a-field"));
}

TEST_F(Ownership, SeriesLeftByADeadOwnerIsRecordedForTheNextOne) {
    // The collector drops the record of an owner that died and leaves the series' mark; a new
    // owner must still get a record of its own.
    Cell& text = keep(string_value("orphan"));
    Cell old_word = word("old-field");
    Cell new_word = word("new-field");
    Cell& next = keep(object({}, true));
    Node dead_ctx = context_make(1, false, true, 0, CONTEXT_OBJECT);
    Cell dead = make_cell(T_OBJECT, dead_ctx, 1000002, 0);
    set_owner_deep(&text, &dead, &old_word);
    ASSERT_NE(owner_find(series_node(&text)), nullptr);
    collector_cycle();
    ASSERT_EQ(owner_find(series_node(&text)), nullptr);
    ASSERT_TRUE(owned(text));

    set_owner_deep(&text, &next, &new_word);
    const Cell* found = owner_find(series_node(&text));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found[0].data1, next.data1);
    ASSERT_TRUE(check(text, "append"));
    EXPECT_EQ(g_notices[0].owner_ctx, next.data1);
    EXPECT_EQ(g_notices[0].word, sym("new-field"));
}

TEST_F(Ownership, BlockThatContainsItselfIsMarkedOnce) {
    Node n = block_of({});
    Cell self_ref = make_series(T_BLOCK, n);
    Cell text = string_value("inner");
    block_append(n, self_ref);
    block_append(n, text);
    block_append(n, make_series(T_PAREN, block_of({self_ref})));
    Cell owner = object({}, true);
    Cell w = word("loop");
    uint32_t before = record_count();
    set_owner_deep(&self_ref, &owner, &w);
    EXPECT_EQ(record_count(), before + 3);  // the block, the string and the paren
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_TRUE(owned(text));
    ownership_unbind(&self_ref);
    EXPECT_EQ(record_count(), before);
    EXPECT_FALSE(owned(self_ref));
    EXPECT_FALSE(owned(text));
}

TEST_F(Ownership, NestingBeyondTheCycleStackIsTooDeep) {
    Cell owner = object({}, true);
    Cell w = word("deep");
    auto nest = [](int levels) {
        Cell inner = block({});
        for (int i = 1; i < levels; ++i) inner = block({inner});
        return inner;
    };
    Cell fits = nest(999);
    set_owner_deep(&fits, &owner, &w);
    EXPECT_EQ(cycles_depth(), 0u);

    Cell too_deep = nest(1000);
    Cell try_word = word("try");
    Err raised = Err::Count_;
    bool finished = stack_try(&try_word, false, [&] { set_owner_deep(&too_deep, &owner, &w); });
    if (!finished) raised = error_id_of(stack_top());
    EXPECT_EQ(raised, Err::TooDeep);
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(Ownership, NestedPlainObjectsAreWalkedReactiveOnesAreNot) {
    Cell inner_text = string_value("name");
    Cell reactive_text = string_value("kept");
    Cell reactive = object({{"r", reactive_text}}, true);
    context_cell(reactive.data1)->header |= CELL_OWNED;  // it owns its own values
    Cell plain = object({{"label", inner_text}, {"rx", reactive}}, false);
    Cell outer = object({{"sub", plain}}, true);
    // the plain object also refers back to the owner: that field is skipped
    Cell back_word = word("back");
    context_put_word_value(plain.data1, &back_word, &outer);
    own_fields(outer);

    EXPECT_TRUE(owned(inner_text));
    EXPECT_FALSE(owned(reactive_text));
    ASSERT_TRUE(check(inner_text, "append"));
    EXPECT_EQ(g_notices[0].owner_ctx, outer.data1);
    EXPECT_EQ(g_notices[0].word, sym("label"));
    EXPECT_FALSE(check(reactive_text, "append"));
    EXPECT_EQ(cycles_depth(), 0u);

    // walking an object that holds the owner does not make the owner own its own fields
    Cell own_text = string_value("own");
    Cell owner = object({{"mine", own_text}}, true);
    Cell holder = object({{"o", owner}}, false);
    Cell w = word("holder");
    set_owner_deep(&holder, &owner, &w);
    EXPECT_FALSE(owned(own_text));
}

TEST_F(Ownership, OwnerWithoutHandlersIsNotNotified) {
    Cell text = string_value("quiet");
    Cell obj = object({{"q", text}}, false);
    own_fields(obj);
    EXPECT_TRUE(owned(text));
    EXPECT_NE(owner_find(series_node(&text)), nullptr);
    EXPECT_FALSE(check(text, "append"));
    EXPECT_TRUE(g_notices.empty());
}

TEST_F(Ownership, UnbindStopsNotifications) {
    Cell text = string_value("abc");
    Cell items = block({text});
    Cell obj = object({{"items", items}}, true);
    own_fields(obj);
    ownership_unbind(field(obj, "items"));
    EXPECT_FALSE(owned(items));
    EXPECT_FALSE(owned(text));
    EXPECT_EQ(owner_find(series_node(&items)), nullptr);
    EXPECT_EQ(owner_find(series_node(&text)), nullptr);
    EXPECT_FALSE(check(items, "append"));
    EXPECT_FALSE(check(text, "append"));
    EXPECT_TRUE(g_notices.empty());

    // unbinding the object itself releases every field
    Cell other_text = string_value("x");
    Cell obj2 = object({{"t", other_text}}, true);
    Cell none{T_NONE, 0, 0, 0};
    set_owner_deep(&obj2, &obj2, &none);
    EXPECT_TRUE(owned(other_text));
    ownership_unbind(&obj2);
    EXPECT_FALSE(owned(other_text));
}

TEST_F(Ownership, UnsetOwnerRangeIsCutToTheTail) {
    Cell s0 = string_value("0"), s1 = string_value("1"), s2 = string_value("2");
    Cell list = block({s0, s1, s2});
    Cell owner = object({}, true);
    Cell w = word("faces");
    set_owner_deep(&list, &owner, &w);
    unset_owner_range(&list, 1, 10);
    EXPECT_TRUE(owned(s0));
    EXPECT_FALSE(owned(s1));
    EXPECT_FALSE(owned(s2));
    EXPECT_TRUE(owned(list));
}

TEST_F(Ownership, CopyOfPartOfAnOwnedSeriesIsUnowned) {
    Cell text = string_value("abcdef");
    Cell obj = object({{"t", text}}, true);
    own_fields(obj);
    ASSERT_TRUE(owned(text));
    Cell part = kept_series(T_STRING, copy_series_part(series_node(&text), 1, 3));
    EXPECT_FALSE(owned(part));
    EXPECT_EQ(owner_find(series_node(&part)), nullptr);
    EXPECT_FALSE(check(part, "append"));
    EXPECT_TRUE(g_notices.empty());
}

// Blocks b(i) = [b(i+1) b(i+1)]: a walk per path would take 2^40 steps. Each series is walked
// once per walk, from the lowest index any value reaches it at.
TEST_F(Ownership, SharedSubBlocksAreWalkedOncePerWalk) {
    const uint32_t depth = 40;
    Cell leaf_text = string_value("leaf");
    Cell below = block({leaf_text});
    std::vector<Cell> blocks{below};
    for (uint32_t i = 0; i < depth; ++i) {
        below = block({below, below});
        blocks.push_back(below);
    }
    Cell owner = object({}, true);
    Cell w = word("tree");
    uint32_t before = record_count();
    set_owner_deep(&below, &owner, &w);
    EXPECT_EQ(record_count(), before + depth + 2);  // every block and the string, once each
    for (const Cell& b : blocks) EXPECT_TRUE(owned(b));
    EXPECT_TRUE(owned(leaf_text));
    EXPECT_EQ(cycles_depth(), 0u);

    // the same block reached at index 2 first, then at its head: the first cells are walked too
    Cell a = string_value("a"), b = string_value("b"), c = string_value("c");
    Node shared = block_of({a, b, c});
    Cell at_two = make_series(T_BLOCK, shared);
    at_two.data1 = 2;
    Cell outer = block({at_two, make_series(T_BLOCK, shared)});
    set_owner_deep(&outer, &owner, &w);
    EXPECT_TRUE(owned(a));
    EXPECT_TRUE(owned(b));
    EXPECT_TRUE(owned(c));
}

} // namespace

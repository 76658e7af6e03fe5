// bitset! and vector! editing actions as their owner sees them: every action reports its word pair
// through the owner's deep-change notification, with the index and part it concerns, and a call
// that fails reports nothing.
#include "core/context.h"
#include "core/errors.h"
#include "core/ownership.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/bitset.h"
#include "datatypes/datatype.h"
#include "datatypes/vector.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kel;
using test::block;
using test::keep;

namespace {

struct Notice {
    std::string action;
    int32_t index;
    int32_t part;
    bool has_value;
};
std::vector<Notice> g_notices;

std::string spelling(uint32_t symbol) {
    Cell* s = symbol_get(symbol);
    Series* text = node_series(s->data2);
    std::string out;
    for (uint32_t i = 0; i < text->length(); ++i) out.push_back(char(unit_get(text->head_ptr() + i * text->unit(), text->unit())));
    return out;
}

void record_notice(const Cell*, const Cell*, const Cell*, const Cell* action, const Cell* new_value,
                   int32_t index, int32_t part) {
    g_notices.push_back({spelling(action->data2), index, part, new_value != nullptr});
}

class EditNotices : public test::RuntimeTest {
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
    // Makes the value (kept on the data stack) owned by a reactive object under the word `field`.
    // The value is kept before anything allocates.
    Cell& owned(const Cell& value) {
        Cell& v = keep(value);
        Node ctx = context_make(1, false, true, 0, CONTEXT_OBJECT);
        Cell& obj = keep(make_cell(T_OBJECT, ctx, 0, 0));
        Node record = alloc_cells(2);
        obj = make_cell(T_OBJECT, ctx, 1000001, record);
        *context_owner(ctx) = obj;
        Cell word = make_cell(T_WORD, 0, symbol_make("field"), uint32_t(-1));
        set_owner_and_flag(&v, &obj, &word);
        return v;
    }
};

Cell make_value(TypeId type, const Cell& spec) {
    Cell* proto = stack_push(make_none());
    Cell* s = stack_push(spec);
    action_impl<A_MAKE>(type)(proto, s, type);
    Cell out = *proto;
    stack_pop(2);
    return out;
}

std::vector<std::string> words() {
    std::vector<std::string> out;
    for (const Notice& n : g_notices) out.push_back(n.action + " " + std::to_string(n.index) + " " + std::to_string(n.part));
    return out;
}
using Words = std::vector<std::string>;

TEST_F(EditNotices, BitsetActionsReportTheirWordPairs) {
    Cell& bits = owned(make_value(T_BITSET, block({make_integer(1), make_integer(2)})));
    Cell* b = stack_push(bits);
    Cell* v = stack_push(make_integer(20));
    action_impl<A_APPEND>(T_BITSET)(b, v, -1, false, 1, true);
    EXPECT_EQ(words(), (Words{"insert -1 1", "inserted 3 1"}));
    EXPECT_TRUE(g_notices[0].has_value);

    g_notices.clear();
    *b = bits;
    Cell* t = stack_push(make_logic(false));
    action_impl<A_POKE>(T_BITSET)(b, 2, t);
    EXPECT_EQ(words(), (Words{"poke 2 1", "poked 2 1"}));

    g_notices.clear();
    *b = bits;
    action_impl<A_REMOVE>(T_BITSET)(b, nullptr, v);
    EXPECT_EQ(words(), (Words{"remove -1 1", "removed 3 1"}));

    g_notices.clear();
    *b = bits;
    action_impl<A_CLEAR>(T_BITSET)(b);
    EXPECT_EQ(words(), (Words{"clear -1 -1", "cleared -1 -1"}));
    EXPECT_FALSE(g_notices[0].has_value);
}

TEST_F(EditNotices, FailedBitsetEditReportsNothing) {
    Cell& bits = owned(make_value(T_BITSET, make_integer(8)));
    Cell bad = block({make_integer(3), make_integer(-1)});
    Cell* b = stack_push(bits);
    Cell* v = stack_push(bad);
    EXPECT_EQ(test::raised([&] { action_impl<A_APPEND>(T_BITSET)(b, v, -1, false, 1, true); }), Err::OutOfRange);
    EXPECT_EQ(test::raised([&] { action_impl<A_REMOVE>(T_BITSET)(b, nullptr, v); }), Err::OutOfRange);
    EXPECT_TRUE(g_notices.empty());
    EXPECT_EQ(bitset_bits(&bits)[0], 0);
}

TEST_F(EditNotices, VectorActionsReportTheirWordPairs) {
    Cell& vec = owned(make_value(T_VECTOR, block({make_integer(1), make_integer(2), make_integer(3)})));
    Cell* s = stack_push(vec);
    Cell* v = stack_push(block({make_integer(7), make_integer(8)}));
    Cell* n = stack_push(make_integer(2));
    struct Row {
        const char* name;
        void (*run)(Cell* s, Cell* v, Cell* n);
        uint32_t index;
        Words expected;
    };
    const Row rows[] = {
        {"append", [](Cell* s, Cell* v, Cell*) { action_impl<A_APPEND>(T_VECTOR)(s, v, -1, false, 1, true); }, 0,
         {"append 3 2", "appended 3 2"}},
        {"insert", [](Cell* s, Cell* v, Cell*) { action_impl<A_INSERT>(T_VECTOR)(s, v, -1, false, 2, false); }, 1,
         {"insert 1 4", "inserted 1 4"}},
        {"change", [](Cell* s, Cell* v, Cell*) { action_impl<A_CHANGE>(T_VECTOR)(s, v, -1, false, 1); }, 1,
         {"change 1 2", "changed 1 2"}},
        {"poke", [](Cell* s, Cell*, Cell* n) { action_impl<A_POKE>(T_VECTOR)(s, 2, n); }, 0,
         {"poke 1 1", "poked 1 1"}},
        {"remove", [](Cell* s, Cell*, Cell* n) { action_impl<A_REMOVE>(T_VECTOR)(s, n, nullptr); }, 1,
         {"remove 1 2", "removed 1 2"}},
        {"sort", [](Cell* s, Cell*, Cell*) { action_impl<A_SORT>(T_VECTOR)(s, SortOpts{}); }, 0,
         {"sort 0 3", "sorted 0 3"}},
        {"reverse", [](Cell* s, Cell*, Cell*) { action_impl<A_REVERSE>(T_VECTOR)(s, nullptr, nullptr); }, 0,
         {"reverse 0 3", "reversed 0 3"}},
        {"take", [](Cell* s, Cell*, Cell*) { action_impl<A_TAKE>(T_VECTOR)(s, nullptr, false, false); }, 2,
         {"take 2 1", "taken 2 1"}},
        {"clear", [](Cell* s, Cell*, Cell*) { action_impl<A_CLEAR>(T_VECTOR)(s); }, 1,
         {"clear 1 2", "cleared 1 2"}},
    };
    for (const Row& r : rows) {
        // each row starts from the three elements 1 2 3
        Series* buf = value_series(&vec);
        buf->tail = buf->head;
        for (int32_t i = 1; i <= 3; ++i) vector_append_int32(&vec, i);
        g_notices.clear();
        *s = vec;
        s->data1 = r.index;
        r.run(s, v, n);
        EXPECT_EQ(words(), r.expected) << r.name;
    }
}

TEST_F(EditNotices, RefusedVectorEditReportsNothing) {
    Cell& vec = owned(make_value(T_VECTOR, block({make_integer(1)})));
    Cell* s = stack_push(vec);
    Cell* v = stack_push(block({make_integer(2), make_series(T_STRING, alloc_bytes(1))}));
    EXPECT_EQ(test::raised([&] { action_impl<A_APPEND>(T_VECTOR)(s, v, -1, false, 1, true); }), Err::InvalidType);
    EXPECT_EQ(test::raised([&] { action_impl<A_CHANGE>(T_VECTOR)(s, v, -1, false, 1); }), Err::InvalidType);
    Cell* f = stack_push(make_float(1.5));
    EXPECT_EQ(test::raised([&] { action_impl<A_POKE>(T_VECTOR)(s, 1, f); }), Err::InvalidArg);
    EXPECT_TRUE(g_notices.empty());
    EXPECT_EQ(vector_length(&vec), 1);
}

} // namespace

// The action entry layer: entries called as the interpreter calls them (arguments in a frame,
// refinement indices), the unsupported-action and path errors, and the fast paths.
#include "core/context.h"
#include "core/errors.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime_fixture.h"
#include "test_values.h"

#include <string>
#include <vector>

namespace kel {
namespace {

using test::raised;

using test::keep;

class Actions : public test::RuntimeTest {};

// Calls action entry A with the argument cells in a fresh frame and the refinement indices;
// returns the frame's result.
Cell call(Action a, std::vector<Cell> args, std::vector<int32_t> refinements = {}) {
    Cell* saved = g_stack.arguments;
    Cell* base = g_stack.top;
    for (const Cell& c : args) stack_push(c);
    g_stack.arguments = base;
    refinements.resize(8, -1);
    g_action_entries[a - 1](false, refinements.data());
    Cell result = *base;
    g_stack.arguments = saved;
    g_stack.top = base;
    return result;
}

std::string text(const Cell& str) {
    std::string s;
    for (uint32_t cp : test::code_points(str)) s += char(cp);
    return s;
}

TEST_F(Actions, EntriesReadArgumentsAndRefinements) {
    EXPECT_EQ(integer_get_cell(&keep(call(A_ADD, {make_integer(2), make_integer(3)}))), 5);
    // round/to 17 5: the /to argument stands at frame index 1
    Cell r = call(A_ROUND, {make_integer(17), make_integer(5)}, {1});
    EXPECT_EQ(integer_get_cell(&r), 15);
    // round/even/to 25 10: /to first in the spec, /even second
    r = call(A_ROUND, {make_integer(25), make_integer(10)}, {1, 2});
    EXPECT_EQ(integer_get_cell(&r), 20);
    r = call(A_EVEN_Q, {make_integer(4)});
    EXPECT_TRUE(r.is(T_LOGIC) && logic_get(&r));
    r = call(A_LENGTH_Q, {make_none()});
    EXPECT_TRUE(r.is(T_NONE));
    // make and to dispatch on the datatype they are given
    r = call(A_TO, {make_datatype(T_INTEGER), make_float(-2.9)});
    EXPECT_TRUE(r.is(T_INTEGER));
    EXPECT_EQ(integer_get_cell(&r), -2);
}

TEST_F(Actions, FormAndMoldEntriesCutToTheLimit) {
    Cell& s = keep(call(A_FORM, {make_integer(123456)}));
    EXPECT_EQ(text(s), "123456");
    // mold/part limit: the limit argument stands at frame index 1, /part is the fourth refinement
    Cell& cut = keep(call(A_MOLD, {make_float(0.1 + 0.2), make_integer(4)}, {-1, -1, -1, 1}));
    EXPECT_EQ(text(cut), "0.30");
    Cell& none = keep(call(A_MOLD, {make_integer(5), make_integer(0)}, {-1, -1, -1, 1}));
    EXPECT_EQ(text(none), "");
    Cell& all = keep(call(A_MOLD, {make_datatype(T_FLOAT)}, {-1, 1, -1, -1}));
    EXPECT_EQ(text(all), "#(float!)");
}

TEST_F(Actions, UnsupportedActionsRaise) {
    EXPECT_EQ(raised([] { call(A_NEGATE, {make_char('a')}); }), Err::ExpectArg);
    EXPECT_EQ(raised([] { call(A_APPEND, {make_integer(1), make_integer(2)}); }), Err::ExpectArg);
    Cell& v = keep(make_integer(1));
    Cell& element = keep(*context_global_word(symbol_make("x")));
    EXPECT_EQ(raised([&] { eval_path_fn(&v, &element, nullptr, 0); }), Err::BadPathType2);
    Cell& path = keep(test::block({element, element}));
    set_cell_type(&path, T_PATH);
    EXPECT_EQ(raised([&] { eval_path_fn(&v, &element, &path, 0); }), Err::BadPathType);
}

TEST_F(Actions, FastPathsMatchTheActions) {
    Cell a = make_integer(2147483647), b = make_integer(1);
    ASSERT_TRUE(fast_math(&a, &b, OP_ADD));
    EXPECT_TRUE(a.is(T_FLOAT));
    EXPECT_EQ(a.get_float(), 2147483648.0);
    Cell f = make_float(1.5), g = make_float(2.0);
    ASSERT_TRUE(fast_math(&f, &g, OP_MULTIPLY));
    EXPECT_EQ(f.get_float(), 3.0);
    Cell i = make_integer(7), j = make_integer(2);
    EXPECT_FALSE(fast_math(&i, &j, OP_DIVIDE));   // divide goes through the action
    Cell m = make_integer(1), n = make_float(1.0);
    EXPECT_FALSE(fast_math(&m, &n, OP_ADD));
    bool r = false;
    ASSERT_TRUE(fast_compare(&i, &j, CMP_GREATER, &r));
    EXPECT_TRUE(r);

    Cell& blk = keep(test::block({make_integer(10), make_integer(20)}));
    Cell out;
    Cell zero = make_integer(0), two = make_integer(2), three = make_integer(3);
    ASSERT_TRUE(pick_fast(&blk, &zero, &out));
    EXPECT_TRUE(out.is(T_NONE));
    ASSERT_TRUE(pick_fast(&blk, &two, &out));
    EXPECT_EQ(integer_get_cell(&out), 20);
    ASSERT_TRUE(pick_fast(&blk, &three, &out));
    EXPECT_TRUE(out.is(T_NONE));

    Cell pos = blk;
    ASSERT_TRUE(series_navigate(&pos, 6));   // back at the head stays at index 0
    EXPECT_EQ(series_index(&pos), 0u);
    ASSERT_TRUE(series_navigate(&pos, 8));
    EXPECT_EQ(series_index(&pos), 2u);
    ASSERT_TRUE(series_navigate(&pos, 5));   // next at the tail stays
    EXPECT_EQ(series_index(&pos), 2u);
    Cell len = pos;
    ASSERT_TRUE(series_navigate(&len, 4));
    EXPECT_TRUE(logic_get(&len));
    Cell idx = pos;
    ASSERT_TRUE(series_navigate(&idx, 2));
    EXPECT_EQ(integer_get_cell(&idx), 3);
    EXPECT_EQ(pick_index_arg(&g_true_cell), 1);
    EXPECT_EQ(pick_index_arg(&g_false_cell), 2);
}

TEST_F(Actions, CompareValuesOrdersFunctionsByIdentity) {
    Cell a{T_NATIVE, 3, 0, 0}, b{T_NATIVE, 5, 0, 0};
    EXPECT_EQ(compare_values(&a, &b, CMP_SORT), -1);
    EXPECT_EQ(compare_values(&b, &b, CMP_SORT), 0);
    Cell x = make_integer(1), s = make_none();
    EXPECT_EQ(compare_values(&x, &s, CMP_SORT), CMP_NOT_COMPARABLE);
}

} // namespace
} // namespace kel

// Checked number conversion and block selection (core/support.h).
#include "core/support.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatype.h"
#include "runtime_fixture.h"
#include "test_values.h"

#include <cmath>
#include <limits>

namespace kel {
namespace {

using test::raised;

using test::block;
using test::keep;

class Support : public test::RuntimeTest {};

TEST_F(Support, FloatToIntCheckedTruncatesInRangeAndRefusesTheRest) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row { double in; int32_t out; bool error; };
    const Row rows[] = {
        {2147483647.0, 2147483647, false}, {-2147483648.0, INT32_MIN, false},
        {2.9, 2, false},                   {-2.9, -2, false},
        {0.0, 0, false},                   {2147483648.0, 0, true},
        {2147483647.5, 0, true},           {-2147483648.5, 0, true},
        {nan, 0, true},                    {inf, 0, true},
        {-inf, 0, true},
    };
    for (const Row& r : rows) {
        Cell v = make_float(r.in);
        int32_t got = 0;
        Err e = raised([&] { got = float_to_int_checked(&v); });
        if (r.error) {
            EXPECT_EQ(e, Err::OutOfRange) << r.in;
        } else {
            EXPECT_EQ(e, Err::Count_) << r.in;
            EXPECT_EQ(got, r.out) << r.in;
        }
    }
    Cell i = make_integer(-7);
    EXPECT_EQ(float_to_int_checked(&i), -7);
}

TEST_F(Support, SelectInBlockFindsTheCellAfterAMatchOfTheSameType) {
    Cell& b = keep(block({make_integer(1), make_integer(10), make_float(2.0), make_integer(20),
                          make_integer(2), make_integer(30)}));
    struct Row { Cell value; bool step_one; const char* expect; int32_t out; };
    const Row rows[] = {
        {make_integer(1), false, "value", 10},
        {make_integer(2), false, "value", 30},   // the float 2.0 is another type
        {make_integer(10), false, "none", 0},    // odd offsets are values, not keys
        {make_integer(10), true, "value", 2},    // stepping one cell they are keys too
        {make_integer(30), true, "none", 0},     // a match in the last cell selects nothing
        {make_integer(99), true, "none", 0},
    };
    for (const Row& r : rows) {
        const Cell* got = select_in_block(&r.value, &b, r.step_one, false);
        if (std::string(r.expect) == "none") {
            EXPECT_TRUE(got->is(T_NONE)) << cell_integer(&r.value);
        } else if (got->is(T_INTEGER)) {
            EXPECT_EQ(cell_integer(got), r.out) << cell_integer(&r.value);
        } else {
            EXPECT_TRUE(got->is(T_FLOAT) && got->get_float() == r.out) << cell_integer(&r.value);
        }
    }
}

TEST_F(Support, SelectInBlockToBlockTakesTheNextBlockAndNeverFindsABlock) {
    Cell& body = keep(block({make_integer(7)}));
    Cell& b = keep(block({make_integer(1), make_integer(2), body, make_integer(3)}));
    const Cell one = make_integer(1), three = make_integer(3);
    const Cell* got = select_in_block(&one, &b, true, true);
    ASSERT_TRUE(got->is(T_BLOCK));
    EXPECT_EQ(series_node(got), series_node(&body));
    EXPECT_TRUE(select_in_block(&three, &b, true, true)->is(T_NONE));   // no block follows
    EXPECT_TRUE(select_in_block(&body, &b, true, false)->is(T_NONE));   // a block is never found
}

} // namespace
} // namespace kel

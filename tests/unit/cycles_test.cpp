// The cycle-detection stack: its depth limit (too-deep, leaving it empty), finding, popping and
// dropping within bounds, and redirecting entries after the collector moved nodes.
#include "core/cycles.h"
#include "core/gc.h"
#include "core/memory.h"
#include "core/series.h"
#include "core/stack.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace kel;

namespace {

using Cycles = test::RuntimeTest;

TEST_F(Cycles, The1000thEntryIsTooDeepAndEmptiesTheStack) {
    Cell w = make_cell(T_WORD, 0, 1, 0);
    uint32_t depth_before = 0;
    bool finished = stack_try(&w, false, [&] {
        for (Node n = 1; n <= 999; ++n) cycles_push(n);
        depth_before = cycles_depth();
        cycles_push(1000);
        ADD_FAILURE() << "the 1000th entry was kept";
    });
    EXPECT_EQ(depth_before, 999u);
    ASSERT_FALSE(finished);
    ASSERT_TRUE(stack_top()->is(T_ERROR));
    EXPECT_EQ(error_id_of(stack_top()), Err::TooDeep);
    char report[128];
    error_form_report(stack_top(), report, sizeof report);
    EXPECT_STREQ(report, "*** Internal Error: block or paren series is too deep to process");
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_FALSE(cycles_find(1));
    // and it can be filled again
    EXPECT_TRUE(stack_try(&w, false, [] {
        for (Node n = 1; n <= 999; ++n) cycles_push(n);
    }));
    EXPECT_TRUE(cycles_find(999));
}

TEST_F(Cycles, FindPopAndDrop) {
    cycles_pop();
    EXPECT_EQ(cycles_depth(), 0u);   // pop on empty stays empty
    cycles_drop(3);
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_FALSE(cycles_find(0));    // nothing stale is found in an empty stack

    for (Node n : {10u, 20u, 30u, 40u}) cycles_push(n);
    EXPECT_TRUE(cycles_find(10));
    EXPECT_TRUE(cycles_find(40));
    EXPECT_FALSE(cycles_find(25));
    cycles_pop();
    EXPECT_FALSE(cycles_find(40));
    EXPECT_TRUE(cycles_find(30));
    cycles_drop(2);
    EXPECT_EQ(cycles_depth(), 1u);
    EXPECT_FALSE(cycles_find(20));
    EXPECT_TRUE(cycles_find(10));
    cycles_drop(5);
    EXPECT_EQ(cycles_depth(), 0u);
    cycles_push(50);
    EXPECT_TRUE(cycles_find(50));
}

TEST_F(Cycles, MarkRedirectsEveryEntry) {
    for (Node n : {1u, 2u, 3u}) cycles_push(n);
    cycles_mark([](Node n) { return Node(n * 100); });
    EXPECT_EQ(cycles_depth(), 3u);
    for (Node n : {100u, 200u, 300u}) EXPECT_TRUE(cycles_find(n)) << n;
    EXPECT_FALSE(cycles_find(1));
}

TEST_F(Cycles, ANewRuntimeStartsWithItEmpty) {
    cycles_push(5);
    cycles_push(6);
    test::runtime_down();
    test::runtime_up();
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_FALSE(cycles_find(5));
    // and resetting the data and call stacks empties it too
    cycles_push(7);
    stack_init(g_sym_body, g_sym_anon);
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(Cycles, AStackOverflowEmptiesIt) {
    Cell w = make_cell(T_WORD, 0, 1, 0);
    cycles_push(7);
    cycles_push(8);
    EXPECT_FALSE(stack_try(&w, false, [&] {
        for (;;) stack_mark_native(&w);
    }));
    EXPECT_EQ(error_id_of(stack_top()), Err::StackOverflow);
    EXPECT_EQ(cycles_depth(), 0u);
}

} // namespace

// The series editing actions on blocks and on texts of every unit width: what each leaves in the
// series and returns, the notifications an owner receives (word pair, index, count, in order, the
// before word while the units are still in place), the errors raised before anything changes, and
// the counts that overflow the series limit.
#include "core/context.h"
#include "core/errors.h"
#include "core/ownership.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace kel;
using test::keep;

namespace {

using test::raised;

struct Notice {
    std::string action;
    int32_t index;
    int32_t part;
    uint32_t length;   // the target's length when the notice arrived
};
std::vector<Notice> g_notices;

void record(const Cell*, const Cell*, const Cell* target, const Cell* action, const Cell*,
            int32_t index, int32_t part) {
    uint32_t n;
    const uint8_t* name = symbol_name(action->data2, &n);
    g_notices.push_back({std::string(reinterpret_cast<const char*>(name), n), index, part,
                         value_series(target)->length()});
}

Cell integer(int32_t i) { return make_integer(i); }
Cell word(const char* name) { return make_cell(T_WORD, 0, symbol_make(name), uint32_t(-1)); }

class Series_ : public test::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        g_notices.clear();
        g_owner_on_deep_change = record;
    }
    void TearDown() override {
        g_owner_on_deep_change = nullptr;
        RuntimeTest::TearDown();
    }

    // A kept block of integers.
    Cell& ints(std::initializer_list<int32_t> values) {
        Cell& b = keep(make_unset());
        block_make_at(&b, 1);
        for (int32_t v : values) {
            Cell i = integer(v);
            block_append_value(&b, &i);
        }
        return b;
    }
    // A kept string of the code points in the unit width.
    Cell& text(const std::vector<uint32_t>& cps, uint32_t unit = 1) {
        return keep(test::text_of(T_STRING, cps, unit));
    }
    // Makes a reactive object the owner of the series.
    void own(Cell& series) {
        Node ctx = context_make(1, false, true, 0, CONTEXT_OBJECT);
        Cell& obj = keep(make_cell(T_OBJECT, ctx, 1000001, 0));
        Node handlers = alloc_cells(1);   // any change-handler record will do
        keep(make_series(T_BLOCK, handlers));
        obj.data3 = handlers;
        *context_owner(ctx) = obj;
        Cell w = word("field");
        set_owner_deep(&series, &obj, &w);
    }
};

std::vector<int32_t> contents(const Cell& block) {
    std::vector<int32_t> out;
    Series* s = value_series(&block);
    for (uint32_t i = 0; i < s->length(); ++i) {
        const Cell* c = s->cell_at(i);
        out.push_back(c->is(T_INTEGER) ? cell_integer(c) : -1000);
    }
    return out;
}

// ---- Owner notifications --------------------------------------------------------------------------

TEST_F(Series_, EveryEditingActionNotifiesItsOwnerBeforeAndAfter) {
    Cell& b = ints({1, 2, 3, 4});
    own(b);
    Cell& other = ints({9});
    own(other);
    Cell& arg = keep(make_unset());
    auto at = [&](uint32_t i) {
        arg = b;
        arg.data1 = i;
        return &arg;
    };
    Cell five = integer(5);
    Cell two = integer(2);

    struct Step {
        const char* name;
        std::function<void()> run;
        std::vector<Notice> expect;   // length: the block's length at the notice
    };
    const std::vector<Step> steps = {
        {"append", [&] { block_insert(at(0), &five, -1, false, 2, true); },
         {{"append", 4, 2, 4}, {"appended", 4, 2, 6}}},
        {"insert", [&] { block_insert(at(1), &five, -1, false, 1, false); },
         {{"insert", 1, 1, 6}, {"inserted", 1, 1, 7}}},
        {"change", [&] { block_change(at(0), &two, -1, false, 1); },
         {{"change", 0, 1, 7}, {"changed", 0, 1, 7}}},
        {"poke", [&] { series_poke(at(0), 3, &five); }, {{"poke", 2, 1, 7}, {"poked", 2, 1, 7}}},
        {"remove", [&] { series_remove(at(1), nullptr, nullptr); },
         {{"remove", 1, 1, 7}, {"removed", 1, 1, 6}}},
        {"reverse", [&] { series_reverse(at(4), nullptr, nullptr); },
         {{"reverse", 4, 2, 6}, {"reversed", 4, 2, 6}}},
        {"take", [&] { block_take(at(0), nullptr, false, true); }, {{"take", 5, 1, 6}, {"taken", 5, 1, 5}}},
        {"move", [&] {
             Cell* dst = stack_push(b);
             dst->data1 = 4;
             series_move(at(0), dst, nullptr);
             stack_pop();
         },
         {{"move", 0, 1, 5}, {"moved", 4, 1, 5}}},
        {"put of an equal value", [&] {
             Cell three = integer(3), four = integer(4);
             block_put(at(0), &three, &four, false);
         },
         {}},
        {"put", [&] { Cell seven = integer(7); block_put(at(0), &five, &seven, false); },
         {{"put", 1, 1, 5}, {"put-ed", 1, 1, 5}}},
        {"swap", [&] { block_swap(at(0), &other); },
         {{"swap", 0, 1, 5}, {"swap", 0, 1, 1}, {"swaped", 0, 1, 5}, {"swaped", 0, 1, 1}}},
        {"trim", [&] { TrimOpts o; block_trim(at(0), o); }, {{"trim", 0, 5, 5}, {"trimmed", 0, 5, 5}}},
        {"clear", [&] { series_clear(at(3)); }, {{"clear", 3, 2, 5}, {"cleared", 3, 2, 3}}},
    };
    for (const Step& step : steps) {
        g_notices.clear();
        step.run();
        ASSERT_EQ(g_notices.size(), step.expect.size()) << step.name;
        for (size_t i = 0; i < step.expect.size(); ++i) {
            const Notice& got = g_notices[i];
            const Notice& want = step.expect[i];
            EXPECT_EQ(got.action, want.action) << step.name << " #" << i;
            EXPECT_EQ(got.index, want.index) << step.name << " #" << i;
            EXPECT_EQ(got.part, want.part) << step.name << " #" << i;
            EXPECT_EQ(got.length, want.length) << step.name << " #" << i;
        }
    }
}

TEST_F(Series_, PutOfAnAbsentKeyAppendsAndSendsBothWords) {
    Cell& b = ints({1, 2});
    own(b);
    Cell& arg = keep(b);
    Cell key = word("k");
    Cell v = integer(3);
    block_put(&arg, &key, &v, false);
    ASSERT_EQ(g_notices.size(), 2u);
    EXPECT_EQ(g_notices[0].action, "put");
    EXPECT_EQ(g_notices[0].length, 2u);
    EXPECT_EQ(g_notices[1].action, "put-ed");
    EXPECT_EQ(g_notices[1].length, 4u);
    EXPECT_EQ(cell_integer(&arg), 3);
}

// ---- Overflowing counts ------------------------------------------------------------------------

TEST_F(Series_, DupBeyondTheSeriesLimitIsNoMemoryBeforeAnyWrite) {
    Cell& b = ints({1});
    own(b);
    Cell& arg = keep(b);
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { block_insert(&arg, &one, -1, false, 2147483647, true); }), Err::NoMemory);
    EXPECT_EQ(raised([&] { block_change(&arg, &one, -1, false, 300000000); }), Err::NoMemory);
    EXPECT_EQ(contents(b), std::vector<int32_t>{1});
    EXPECT_TRUE(g_notices.empty());
}

// ---- Results -------------------------------------------------------------------------------------

TEST_F(Series_, AppendInsertAndChangeResults) {
    Cell& a = ints({1, 2});
    Cell& tail_part = ints({3, 4});
    Cell& arg = keep(a);
    block_insert(&arg, &tail_part, -1, false, 1, true);
    EXPECT_EQ(contents(a), (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(series_index(&arg), 0u);

    arg = a;
    block_insert(&arg, &tail_part, -1, true, 1, true);   // /only: one cell
    EXPECT_EQ(value_series(&a)->length(), 5u);
    EXPECT_TRUE(value_series(&a)->cell_at(4)->is(T_BLOCK));

    Cell& e = ints({});
    Cell zero = integer(0);
    arg = e;
    block_insert(&arg, &zero, -1, false, 3, true);
    EXPECT_EQ(contents(e), (std::vector<int32_t>{0, 0, 0}));
    Cell& f = ints({});
    Cell& three = ints({1, 2, 3});
    arg = f;
    block_insert(&arg, &three, 2, false, 1, true);   // /part 2
    EXPECT_EQ(contents(f), (std::vector<int32_t>{1, 2}));

    // insert returns the position after the inserted cells
    Cell& g = ints({1, 2});
    arg = g;
    block_insert(&arg, &zero, -1, false, 1, false);
    EXPECT_EQ(series_index(&arg), 1u);
    EXPECT_EQ(contents(g), (std::vector<int32_t>{0, 1, 2}));

    // a block appended to itself, with /dup
    Cell& h = ints({1, 2});
    arg = h;
    block_insert(&arg, &h, -1, false, 3, true);
    EXPECT_EQ(contents(h), (std::vector<int32_t>{1, 2, 1, 2, 1, 2, 1, 2}));

    // change [1 2 3] [8 9] gives [8 9 3] at 3; a shorter /part makes room
    Cell& c = ints({1, 2, 3});
    Cell& nine = ints({8, 9});
    arg = c;
    block_change(&arg, &nine, -1, false, 1);
    EXPECT_EQ(contents(c), (std::vector<int32_t>{8, 9, 3}));
    EXPECT_EQ(series_index(&arg), 2u);
    arg = c;
    block_change(&arg, &nine, 1, false, 1);
    EXPECT_EQ(contents(c), (std::vector<int32_t>{8, 9, 9, 3}));
    arg = c;
    block_change(&arg, &zero, 3, false, 1);
    EXPECT_EQ(contents(c), (std::vector<int32_t>{0, 3}));

    // change a block with part of itself
    Cell& d = ints({1, 2, 3});
    Cell& src = keep(d);
    src.data1 = 1;
    arg = d;
    block_change(&arg, &src, -1, false, 1);
    EXPECT_EQ(contents(d), (std::vector<int32_t>{2, 3, 3}));
}

TEST_F(Series_, TakeRemoveAndClear) {
    Cell& b = ints({1, 2, 3, 4, 5});
    Cell& arg = keep(b);
    block_take(&arg, nullptr, false, false);
    EXPECT_EQ(cell_integer(&arg), 1);
    arg = b;
    block_take(&arg, nullptr, false, true);
    EXPECT_EQ(cell_integer(&arg), 5);
    Cell two = integer(2);
    arg = b;
    block_take(&arg, &two, false, false);
    EXPECT_EQ(contents(arg), (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(contents(b), (std::vector<int32_t>{4}));

    // take/part 0 takes nothing and tells nobody
    own(b);
    g_notices.clear();
    Cell zero = integer(0);
    arg = b;
    block_take(&arg, &zero, false, false);
    EXPECT_TRUE(arg.is(T_BLOCK));
    EXPECT_EQ(value_series(&arg)->length(), 0u);
    EXPECT_EQ(contents(b), (std::vector<int32_t>{4}));
    EXPECT_TRUE(g_notices.empty());

    // a negative count takes the units before the head
    Cell& c = ints({1, 2, 3, 4});
    Cell minus2 = integer(-2);
    arg = c;
    arg.data1 = 3;
    Cell& pos = keep(arg);
    block_take(&pos, &minus2, false, false);
    EXPECT_EQ(contents(pos), (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(contents(c), (std::vector<int32_t>{1, 4}));

    Cell& empty = ints({});
    arg = empty;
    block_take(&arg, nullptr, false, false);
    EXPECT_TRUE(arg.is(T_NONE));

    // remove/part 0 changes nothing; a bad /part raises before any change
    Cell& r = ints({1, 2, 3});
    arg = r;
    series_remove(&arg, &zero, nullptr);
    EXPECT_EQ(contents(r), (std::vector<int32_t>{1, 2, 3}));
    Cell w = word("x");
    EXPECT_EQ(raised([&] { series_remove(&arg, &w, nullptr); }), Err::InvalidRefineArg);
    arg = r;
    series_remove(&arg, &two, nullptr);
    EXPECT_EQ(contents(r), (std::vector<int32_t>{3}));

    // a head left past the tail by a clear through another reference is clipped
    Cell& s = ints({1, 2, 3});
    Cell& late = keep(s);
    late.data1 = 2;
    arg = s;
    series_clear(&arg);
    EXPECT_EQ(series_length_in_units(&late, false), 0);
    EXPECT_EQ(series_index(&late), 0u);
}

TEST_F(Series_, MoveWithinOneBlock) {
    struct Case {
        const char* name;
        uint32_t from, to;
        int32_t part;
        std::vector<int32_t> expect;
    };
    const Case cases[] = {
        {"forward past the next", 0, 2, 1, {2, 3, 1, 4, 5}},
        {"forward to the tail", 0, 5, 2, {3, 4, 5, 1, 2}},
        {"backward", 3, 0, 2, {4, 5, 1, 2, 3}},
        {"to itself", 1, 1, 1, {1, 2, 3, 4, 5}},
        {"into its own run", 0, 1, 2, {1, 2, 3, 4, 5}},
        {"too few after the destination", 0, 4, 2, {1, 2, 3, 4, 5}},
        {"beyond the tail", 1, 50, 1, {1, 3, 4, 5, 2}},
    };
    for (const Case& c : cases) {
        Cell& b = ints({1, 2, 3, 4, 5});
        Cell& origin = keep(b);
        origin.data1 = c.from;
        Cell& target = keep(b);
        target.data1 = c.to;
        Cell part = integer(c.part);
        series_move(&origin, &target, &part);
        EXPECT_EQ(contents(b), c.expect) << c.name;
    }
}

TEST_F(Series_, MoveBetweenSeries) {
    Cell& a = ints({1, 2, 3});
    Cell& b = ints({7});
    Cell& arg = keep(a);
    Cell two = integer(2);
    series_move(&arg, &b, &two);
    EXPECT_EQ(contents(a), (std::vector<int32_t>{3}));
    EXPECT_EQ(contents(b), (std::vector<int32_t>{1, 2, 7}));
    Cell& t = text({'a', 'b'});
    arg = a;
    EXPECT_EQ(raised([&] { series_move(&arg, &t, nullptr); }), Err::MoveBad);
    Cell i = integer(1);
    EXPECT_EQ(raised([&] { series_move(&arg, &i, nullptr); }), Err::ExpectArg);

    // text of different widths: the target widens
    Cell& wide = text({0x3B1, 0x3B2}, 2);
    Cell& narrow = text({'x'});
    arg = wide;
    series_move(&arg, &narrow, nullptr);
    EXPECT_EQ(test::code_points(narrow), (std::vector<uint32_t>{0x3B1, 'x'}));
    EXPECT_EQ(value_series(&narrow)->unit(), 2u);
    EXPECT_EQ(test::code_points(wide), (std::vector<uint32_t>{0x3B2}));
}

// ---- One code path for every unit width ------------------------------------------------------------

TEST_F(Series_, TextsOfEveryWidthTakeReverseAndPoke) {
    for (uint32_t unit : {1u, 2u, 4u}) {
        Cell& s = text({'a', 'b', 'c', 'd'}, unit);
        Cell& arg = keep(s);
        series_reverse(&arg, nullptr, nullptr);
        EXPECT_EQ(test::code_points(s), (std::vector<uint32_t>{'d', 'c', 'b', 'a'})) << unit;
        Cell two = integer(2);
        arg = s;
        series_reverse(&arg, nullptr, &two);   // records of two units
        EXPECT_EQ(test::code_points(s), (std::vector<uint32_t>{'b', 'a', 'd', 'c'})) << unit;
        arg = s;
        series_take(&arg, &two, false, true);
        EXPECT_EQ(test::code_points(arg), (std::vector<uint32_t>{'d', 'c'})) << unit;
        EXPECT_EQ(value_series(&arg)->unit(), unit);
        arg = s;
        series_pick(&arg, -1, nullptr);
        EXPECT_TRUE(arg.is(T_NONE));
        arg = s;
        arg.data1 = 1;
        series_pick(&arg, -1, nullptr);
        EXPECT_EQ(arg.data2, uint32_t('b'));
        Cell big = make_cell(T_CHAR, 0, 0x1F600, 0);
        arg = s;
        series_poke(&arg, 2, &big);
        EXPECT_EQ(test::code_points(s), (std::vector<uint32_t>{'b', 0x1F600})) << unit;
        EXPECT_EQ(value_series(&s)->unit(), 4u);
    }
}

TEST_F(Series_, NavigationAndPositionErrors) {
    Cell& s = text({'a', 'b', 'c'});
    Cell& arg = keep(s);
    struct Case {
        int32_t offset;
        bool at;
        uint32_t head;   // from head 1
    };
    const Case cases[] = {{0, true, 1}, {1, true, 1}, {-1, true, 0}, {2, true, 2}, {100, false, 3},
                          {-100, false, 0}, {1, false, 2}};
    for (const Case& c : cases) {
        arg = s;
        arg.data1 = 1;
        Cell off = integer(c.offset);
        EXPECT_EQ(series_offset_index(&arg, &off, c.at), c.head) << c.offset << " " << c.at;
    }
    Cell w = word("x");
    EXPECT_EQ(raised([&] { series_offset_index(&arg, &w, true); }), Err::InvalidArg);
    Cell x = make_cell(T_CHAR, 0, 'x', 0);
    arg = s;
    EXPECT_EQ(raised([&] { series_poke(&arg, 0, &x); }), Err::OutOfRange);
    EXPECT_EQ(raised([&] { series_poke(&arg, 4, &x); }), Err::OutOfRange);
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { series_poke(&arg, 1, &one); }), Err::InvalidArg);
    Cell zero = integer(0);
    EXPECT_EQ(raised([&] { series_reverse(&arg, nullptr, &zero); }), Err::OutOfRange);
    Cell two = integer(2);
    EXPECT_EQ(raised([&] { series_reverse(&arg, nullptr, &two); }), Err::InvalidRefineArg);
    EXPECT_EQ(test::code_points(s), (std::vector<uint32_t>{'a', 'b', 'c'}));
}

TEST_F(Series_, CopyWithPartCountsPairsAndPositions) {
    Cell& s = text({'a', 'b', 'c', 'd', 'e'});
    Cell& arg = keep(s);
    Cell& out = keep(make_unset());
    struct Case {
        uint32_t head;
        Cell part;
        std::vector<uint32_t> expect;
    };
    const Case cases[] = {
        {0, integer(2), {'a', 'b'}},
        {2, integer(-2), {'a', 'b'}},
        {1, integer(-5), {'a'}},
        {0, integer(50), {'a', 'b', 'c', 'd', 'e'}},
        {1, make_cell(T_PAIR, 0, 2, 4), {'c', 'd'}},
        {1, make_cell(T_PAIR, 0, 3, 2), {}},
    };
    for (const Case& c : cases) {
        arg = s;
        arg.data1 = c.head;
        series_copy(&arg, &out, &c.part, false, nullptr);
        EXPECT_EQ(test::code_points(out), c.expect) << c.head;
        EXPECT_EQ(series_index(&out), 0u);
    }
    // a position in the same series
    Cell& end = keep(s);
    end.data1 = 3;
    arg = s;
    arg.data1 = 1;
    series_copy(&arg, &out, &end, false, nullptr);
    EXPECT_EQ(test::code_points(out), (std::vector<uint32_t>{'b', 'c'}));
    // copies of owned series are not owned
    own(s);
    series_copy(&arg, &out, nullptr, false, nullptr);
    EXPECT_FALSE(series_owned(&out));
}

} // namespace

// Block builders and accessors: growth while the appended value lives in the growing block,
// insertion of a block into itself, deep clones and self-containing blocks, the word and value
// look-ups, and the block search. Run under KEL_GC_STRESS=1 too: every allocation then collects
// and compacts, so a builder that keeps a buffer address across an allocation fails here.
#include "core/cycles.h"
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kel;
using test::keep;

namespace {

using test::raised;

class Block : public test::RuntimeTest {};

Cell integer(int32_t i) { return make_integer(i); }
Cell word(const char* name, TypeId t = T_WORD) { return make_cell(t, 0, symbol_make(name), uint32_t(-1)); }

// The integers of a block from its head (a non-integer cell reads as -1000).
std::vector<int32_t> ints(const Cell& block) {
    std::vector<int32_t> out;
    Series* s = value_series(&block);
    for (uint32_t i = series_index(&block); i < s->length(); ++i) {
        const Cell* c = s->cell_at(i);
        out.push_back(c->is(T_INTEGER) ? cell_integer(c) : -1000);
    }
    return out;
}

// A kept block of the integers.
Cell& int_block(std::initializer_list<int32_t> values) {
    Cell& b = keep(make_unset());
    block_make_at(&b, 1);
    for (int32_t v : values) {
        Cell i = integer(v);
        block_append_value(&b, &i);
    }
    return b;
}

TEST_F(Block, MadeBlocksAreEmptyWithTheirRoom) {
    Cell& a = keep(make_unset());
    block_make_at(&a, 10);
    EXPECT_TRUE(a.is(T_BLOCK));
    EXPECT_EQ(block_rs_length(&a), 0);
    EXPECT_GE(value_series(&a)->size, 160u);
    block_make_at(&a, -5);   // below 1: room for one cell
    EXPECT_GE(value_series(&a)->size, 16u);

    Cell* pushed = block_push_only(3);
    EXPECT_EQ(pushed, stack_top());
    EXPECT_TRUE(pushed->is(T_BLOCK));

    Cell* inner = block_make_in(&a, 4);
    EXPECT_TRUE(inner->is(T_BLOCK));
    EXPECT_EQ(block_rs_length(&a), 1);
    EXPECT_EQ(series_node(block_rs_head(&a)), series_node(inner));
}

TEST_F(Block, AppendGrowsAndKeepsEveryValue) {
    Cell& b = int_block({});
    for (int32_t i = 0; i < 3000; ++i) {
        Cell v = integer(i);
        block_append_value(&b, &v);
    }
    std::vector<int32_t> got = ints(b);
    ASSERT_EQ(got.size(), 3000u);
    for (int32_t i = 0; i < 3000; ++i) ASSERT_EQ(got[i], i);
}

TEST_F(Block, AppendingACellOfTheGrowingBlockItself) {
    // every append of the block's own first cell forces growth at powers of two
    Cell& b = int_block({7});
    for (int i = 0; i < 40; ++i) block_append_value(&b, value_series(&b)->cell_at(0));
    EXPECT_EQ(ints(b), std::vector<int32_t>(41, 7));
}

TEST_F(Block, AppendBlockAndInsertBlockIntoThemselves) {
    Cell& a = int_block({1, 2, 3});
    block_append_block(&a, &a);
    EXPECT_EQ(ints(a), (std::vector<int32_t>{1, 2, 3, 1, 2, 3}));

    // the source starts before the insertion point and runs past it
    Cell& b = int_block({1, 2, 3});
    Cell& at1 = keep(b);
    at1.data1 = 1;
    block_insert_block(&at1, &b);
    EXPECT_EQ(series_index(&at1), 4u);
    EXPECT_EQ(ints(b), (std::vector<int32_t>{1, 1, 2, 3, 2, 3}));

    // the source starts at or after the insertion point
    Cell& c = int_block({1, 2, 3});
    Cell& src = keep(c);
    src.data1 = 1;
    block_insert_block(&c, &src);
    EXPECT_EQ(ints(c).size(), 3u);   // c's head moved past the two inserted cells
    c.data1 = 0;
    EXPECT_EQ(ints(c), (std::vector<int32_t>{2, 3, 1, 2, 3}));
}

TEST_F(Block, InsertValueAtTheHeadOrAtTheStart) {
    Cell& b = int_block({1, 2});
    b.data1 = 1;
    Cell nine = integer(9);
    block_insert_value(&b, &nine, true, false);
    EXPECT_EQ(series_index(&b), 2u);
    Cell eight = integer(8);
    block_insert_value(&b, &eight, false, true);
    EXPECT_EQ(series_index(&b), 2u);
    b.data1 = 0;
    EXPECT_EQ(ints(b), (std::vector<int32_t>{8, 1, 9, 2}));
    // a head past the tail inserts at the tail
    b.data1 = 100;
    block_insert_value(&b, &nine, false, false);
    b.data1 = 0;
    EXPECT_EQ(ints(b), (std::vector<int32_t>{8, 1, 9, 2, 9}));
}

TEST_F(Block, CloneIsShallowOrDeep) {
    Cell& inner = int_block({1, 2});
    Cell& paren = int_block({3});
    set_cell_type(&paren, T_PAREN);
    Cell& outer = int_block({0});
    block_append_value(&outer, &inner);
    block_append_value(&outer, &paren);
    set_cell_type(&outer, T_PAREN);

    Cell shallow = *block_clone(&outer, false, false);
    EXPECT_TRUE(shallow.is(T_PAREN));
    EXPECT_NE(series_node(&shallow), series_node(&outer));
    EXPECT_EQ(series_node(value_series(&shallow)->cell_at(1)), series_node(&inner));

    Cell deep = *block_clone(&outer, true, false);
    EXPECT_NE(series_node(value_series(&deep)->cell_at(1)), series_node(&inner));
    EXPECT_EQ(series_node(value_series(&deep)->cell_at(2)), series_node(&paren));   // parens kept
    EXPECT_EQ(ints(*value_series(&deep)->cell_at(1)), (std::vector<int32_t>{1, 2}));

    Cell any = *block_clone(&outer, true, true);
    EXPECT_NE(series_node(value_series(&any)->cell_at(2)), series_node(&paren));
}

TEST_F(Block, DeepCloneOfASelfContainingBlockRaisesNoCycle) {
    Cell& b = int_block({1});
    block_append_value(&b, &b);
    EXPECT_EQ(raised([&] { block_clone(&b, true, false); }), Err::NoCycle);
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_EQ(raised([&] { block_clone(&b, false, false); }), Err::Count_);
}

TEST_F(Block, SelectWordAndValue) {
    Cell& b = keep(make_unset());
    block_make_at(&b, 4);
    Cell cells[] = {word("a", T_SET_WORD), integer(1), word("B", T_LIT_WORD), integer(2), word("c"),
                    integer(3), word("last")};
    for (const Cell& c : cells) block_append_value(&b, &c);

    EXPECT_EQ(cell_integer(block_select_word(&b, symbol_make("a"), true)), 1);
    EXPECT_EQ(cell_integer(block_select_word(&b, symbol_make("b"), false)), 2);
    EXPECT_TRUE(block_select_word(&b, symbol_make("b"), true)->is(T_NONE));
    EXPECT_TRUE(block_select_word(&b, symbol_make("last"), true)->is(T_NONE));
    EXPECT_TRUE(block_select_word(&b, symbol_make("zz"), true)->is(T_NONE));

    Cell two = integer(2);
    EXPECT_TRUE(block_select_value(&b, &two)->is(T_WORD));
    Cell three = integer(3);
    EXPECT_TRUE(block_select_value(&b, &three)->is(T_WORD));
    Cell four = integer(4);
    EXPECT_TRUE(block_select_value(&b, &four)->is(T_NONE));

    // remove by value: from the head, or from the start of the buffer
    Cell& r = int_block({1, 2, 3, 2});
    Cell& at2 = keep(r);
    at2.data1 = 2;
    Cell one = integer(1);
    EXPECT_EQ(block_remove_value(&at2, &one, false), 0);   // 1 lies before the head
    EXPECT_EQ(block_remove_value(&at2, &two, false), 0);   // the 2 after the head
    EXPECT_EQ(ints(r), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(block_remove_value(&at2, &one, true), 1);
    EXPECT_EQ(ints(r), (std::vector<int32_t>{2, 3}));
}

TEST_F(Block, FindByValueSequenceTypeSkipLastReverseAndTail) {
    Cell& b = keep(make_unset());
    block_make_at(&b, 8);
    Cell cells[] = {word("a"), integer(1), word("b"), integer(2), word("a"), integer(3)};
    for (const Cell& c : cells) block_append_value(&b, &c);
    Cell& seq = keep(make_unset());
    block_make_at(&seq, 2);
    block_append_value(&seq, &cells[2]);
    block_append_value(&seq, &cells[3]);

    struct Case {
        const char* name;
        const Cell* value;
        FindOpts opts;
        uint32_t head;
        int64_t expect;
        uint32_t covered;
    };
    Cell a = cells[0], bw = cells[2], int_type = make_datatype(T_INTEGER), two = integer(2);
    FindOpts plain, last, reverse, skip2, only, match;
    last.last = true;
    reverse.reverse = true;
    Cell two_cells = integer(2);
    skip2.skip = &two_cells;
    only.only = true;
    match.match = true;
    const Case cases[] = {
        {"word", &a, plain, 0, 0, 1},
        {"word after the head", &a, plain, 1, 4, 1},
        {"last", &a, last, 0, 4, 1},
        {"reverse from before the head", &a, reverse, 4, 0, 1},
        {"reverse with nothing before", &a, reverse, 0, -1, 1},
        {"datatype", &int_type, plain, 0, 1, 1},
        {"sequence", &seq, plain, 0, 2, 2},
        {"sequence with only", &seq, only, 0, -1, 1},
        {"skip lands on records", &two, skip2, 0, -1, 1},
        {"skip from an odd head", &two, skip2, 1, 3, 1},
        {"match at the head only", &bw, match, 0, -1, 1},
        {"match at the head", &bw, match, 2, 2, 1},
    };
    for (const Case& c : cases) {
        Cell at = b;
        at.data1 = c.head;
        uint32_t covered = 0;
        EXPECT_EQ(block_find_index(&at, c.value, c.opts, &covered), c.expect) << c.name;
        if (c.expect >= 0) {
            EXPECT_EQ(covered, c.covered) << c.name;
        }
    }

    Cell zero = integer(0);
    FindOpts bad_skip;
    bad_skip.skip = &zero;
    uint32_t covered;
    EXPECT_EQ(raised([&] { block_find_index(&b, &a, bad_skip, &covered); }), Err::OutOfRange);
    FindOpts bad_part;
    bad_part.part = &a;
    EXPECT_EQ(raised([&] { block_find_index(&b, &a, bad_part, &covered); }), Err::InvalidRefineArg);
}

} // namespace

namespace {

// ---- Form, mold and compare ------------------------------------------------------------------------

std::string text_of(const Cell& str) {
    std::string out;
    for (uint32_t cp : test::code_points(str)) out += char(cp);
    return out;
}

struct Molded {
    std::string text;
    int32_t budget;
};

Molded mold_of(const Cell& value, bool only = false, bool flat = false, bool part = false,
               int32_t budget = INT32_MAX) {
    Cell& buffer = keep(make_unset());
    string_make_at(&buffer, 16);
    Cell* v = stack_push(value);
    int32_t left = mold_typed(v, &buffer, only, false, flat, part, budget, 0);
    return {text_of(buffer), left};
}

std::string form_of(const Cell& value) {
    Cell& buffer = keep(make_unset());
    string_make_at(&buffer, 16);
    Cell* v = stack_push(value);
    form_typed(v, &buffer, false, INT32_MAX);
    return text_of(buffer);
}

Cell newline(Cell c) {
    c.header |= CELL_NEWLINE;
    return c;
}

TEST_F(Block, MoldWithNewLineMarkersOnlyAndFlat) {
    Cell& nested = int_block({});
    Cell n3 = newline(integer(3));
    Cell four = integer(4);
    block_append_value(&nested, &n3);
    block_append_value(&nested, &four);

    Cell& first_marked = int_block({});
    Cell n1 = newline(integer(1));
    Cell two = integer(2);
    block_append_value(&first_marked, &n1);
    block_append_value(&first_marked, &two);
    block_append_value(&first_marked, &nested);

    Cell& later_marked = int_block({1});
    Cell n2 = newline(integer(2));
    block_append_value(&later_marked, &n2);

    struct Case {
        const char* name;
        const Cell* value;
        bool only, flat;
        const char* expect;
    };
    const Case cases[] = {
        {"plain", &nested, false, true, "[3 4]"},
        {"first item marked", &first_marked, false, false, "[\n    1 2 [\n        3 4\n    ]\n]"},
        {"only", &first_marked, true, false, "1 2 [\n    3 4\n]"},
        {"flat", &first_marked, false, true, "[1 2 [3 4]]"},
        {"a later item at the top level", &later_marked, false, false, "[1\n2]"},
    };
    for (const Case& c : cases) {
        Molded m = mold_of(*c.value, c.only, c.flat);
        EXPECT_EQ(m.text, c.expect) << c.name;
        EXPECT_EQ(m.budget, INT32_MAX - int32_t(m.text.size())) << c.name;   // every character counted
    }
}

TEST_F(Block, SelfContainingBlocksAndParensMoldWithAMarker) {
    Cell& b = int_block({1});
    block_append_value(&b, &b);
    EXPECT_EQ(mold_of(b).text, "[1 [...]]");
    EXPECT_EQ(form_of(b), "1 ...");
    Cell& p = int_block({1});
    set_cell_type(&p, T_PAREN);
    block_append_value(&p, &p);
    EXPECT_EQ(mold_of(p).text, "(1 (...))");
    EXPECT_EQ(cycles_depth(), 0u);

    // copy/deep of it raises no-cycle and leaves the cycle stack empty
    Cell& out = keep(make_unset());
    EXPECT_EQ(raised([&] { block_copy(&b, &out, nullptr, true, nullptr); }), Err::NoCycle);
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(Block, MoldStopsOnceThePartBudgetIsUsed) {
    Cell& b = int_block({1, 2, 3, 4, 5, 6});
    Molded m = mold_of(b, false, false, true, 4);
    EXPECT_EQ(m.text, "[1 2]");   // the item that crosses the budget is the last one written
    EXPECT_LT(m.budget, 1);
}

TEST_F(Block, FormSeparatesItemsBySpaces) {
    Cell& inner = int_block({2, 3});
    Cell& outer = int_block({1});
    block_append_value(&outer, &inner);
    EXPECT_EQ(form_of(outer), "1 2 3");
}

TEST_F(Block, CompareAcrossNumbersLengthsAndTypes) {
    Cell& ints12 = int_block({1, 2});
    Cell& mixed = int_block({1});
    Cell f2 = make_float(2.0);
    block_append_value(&mixed, &f2);
    Cell& one = int_block({1});
    Cell& word_block = keep(make_unset());
    block_make_at(&word_block, 1);
    Cell w = word("a");
    block_append_value(&word_block, &w);
    Cell& char_block = keep(make_unset());
    block_make_at(&char_block, 1);
    Cell ch = make_cell(T_CHAR, 0, 'a', 0);
    block_append_value(&char_block, &ch);

    EXPECT_TRUE(compare_truth(&ints12, &mixed, CMP_EQUAL));
    EXPECT_FALSE(compare_truth(&ints12, &mixed, CMP_STRICT_EQUAL));
    EXPECT_TRUE(compare_truth(&one, &ints12, CMP_LESSER));
    EXPECT_FALSE(compare_truth(&one, &ints12, CMP_EQUAL));
    EXPECT_FALSE(compare_truth(&word_block, &char_block, CMP_EQUAL));
    // a char! (10) orders before a word! (15)
    EXPECT_TRUE(compare_truth(&char_block, &word_block, CMP_LESSER));
    Cell& later = keep(ints12);
    later.data1 = 1;
    EXPECT_FALSE(compare_truth(&ints12, &later, CMP_SAME));
    Cell& same = keep(ints12);
    EXPECT_TRUE(compare_truth(&ints12, &same, CMP_SAME));
}

TEST_F(Block, PathsPrintWithSlashesAndTheirDecorations) {
    Cell& p = keep(make_unset());
    block_make_at(&p, 2);
    Cell a = word("a"), b = word("b"), one = integer(1);
    block_append_value(&p, &a);
    block_append_value(&p, &b);
    block_append_value(&p, &one);
    const std::pair<TypeId, const char*> cases[] = {
        {T_PATH, "a/b/1"}, {T_LIT_PATH, "'a/b/1"}, {T_SET_PATH, "a/b/1:"}, {T_GET_PATH, ":a/b/1"}};
    for (auto [type, expect] : cases) {
        set_cell_type(&p, type);
        EXPECT_EQ(mold_of(p).text, expect);
        EXPECT_EQ(form_of(p), "a/b/1");
    }
    set_cell_type(&p, T_PATH);
    Molded cut = mold_of(p, false, false, true, 3);
    EXPECT_EQ(cut.text, "a/b");
}

TEST_F(Block, MakeAndToBlocks) {
    Cell& r = keep(make_unset());
    Cell five = integer(5);
    block_to(&r, &five, T_BLOCK);
    EXPECT_EQ(ints(r), std::vector<int32_t>{5});
    Cell ten = integer(10);
    block_make(&r, &ten, T_BLOCK);
    EXPECT_TRUE(r.is(T_BLOCK));
    EXPECT_EQ(block_rs_length(&r), 0);
    Cell& text = keep(make_unset());
    string_make_at(&text, 4);
    string_concatenate_literal(&text, "1 2");
    block_to(&r, &text, T_BLOCK);
    EXPECT_EQ(ints(r), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(raised([&] { block_make(&r, &text, T_BLOCK); }), Err::BadMakeArg);
    Cell zero = integer(0);
    block_make(&r, &zero, T_PATH);
    EXPECT_TRUE(r.is(T_PATH));
}

} // namespace

namespace {

// ---- sort ----------------------------------------------------------------------------------------

TEST_F(Block, SortOrdersRecordsAndChecksItsRefinements) {
    struct Case {
        const char* name;
        std::initializer_list<int32_t> input;
        int32_t skip, compare;   // 0: not given
        bool reverse, all, stable;
        std::vector<int32_t> expect;
    };
    const Case cases[] = {
        {"plain", {3, 1, 2}, 0, 0, false, false, false, {1, 2, 3}},
        {"reverse", {3, 1, 2}, 0, 0, true, false, true, {3, 2, 1}},
        {"pairs by their first cell", {2, 20, 1, 10, 3, 5}, 2, 0, false, false, true, {1, 10, 2, 20, 3, 5}},
        {"pairs by their second cell", {2, 20, 1, 10, 3, 5}, 2, 2, false, false, false, {3, 5, 1, 10, 2, 20}},
        {"whole records", {1, 9, 1, 2, 0, 5}, 2, 0, false, true, true, {0, 5, 1, 2, 1, 9}},
    };
    for (const Case& c : cases) {
        Cell& b = int_block(c.input);
        Cell& arg = keep(b);
        Cell skip = integer(c.skip), cmp = integer(c.compare);
        SortOpts o;
        o.skip = c.skip ? &skip : nullptr;
        o.compare = c.compare ? &cmp : nullptr;
        o.reverse = c.reverse;
        o.all = c.all;
        o.stable = c.stable;
        block_sort(&arg, o);
        EXPECT_EQ(ints(b), c.expect) << c.name;
    }

    // types that cannot be compared order by their type ids
    Cell& mixed = keep(make_unset());
    block_make_at(&mixed, 3);
    Cell w = word("a"), i = integer(1), ch = make_none();
    for (const Cell* c : {&w, &i, &ch}) block_append_value(&mixed, c);
    Cell& arg = keep(mixed);
    block_sort(&arg, SortOpts{});
    EXPECT_TRUE(value_series(&mixed)->cell_at(0)->is(T_NONE));
    EXPECT_TRUE(value_series(&mixed)->cell_at(2)->is(T_WORD));

    Cell& b = int_block({3, 2, 1});
    Cell two = integer(2), three = integer(3);
    SortOpts all_alone;
    all_alone.all = true;
    EXPECT_EQ(raised([&] { block_sort(&b, all_alone); }), Err::BadRefines);
    SortOpts bad_skip;
    bad_skip.skip = &two;
    EXPECT_EQ(raised([&] { block_sort(&b, bad_skip); }), Err::InvalidRefineArg);
    SortOpts compare_without_skip;
    compare_without_skip.compare = &two;
    EXPECT_EQ(raised([&] { block_sort(&b, compare_without_skip); }), Err::BadRefines);
    SortOpts offset_outside;
    offset_outside.skip = &three;
    Cell four = integer(4);
    offset_outside.compare = &four;
    EXPECT_EQ(raised([&] { block_sort(&b, offset_outside); }), Err::OutOfRange);
    EXPECT_EQ(ints(b), (std::vector<int32_t>{3, 2, 1}));
}

} // namespace

namespace {

// ---- Set operations -----------------------------------------------------------------------------

// The words of a block, spelled, with integers written as digits.
std::string spelled(const Cell& block) {
    std::string out;
    Series* s = value_series(&block);
    for (uint32_t i = series_index(&block); i < s->length(); ++i) {
        const Cell* c = s->cell_at(i);
        if (!out.empty()) out += ' ';
        if (c->is(T_INTEGER)) {
            out += std::to_string(cell_integer(c));
        } else {
            uint32_t n;
            const uint8_t* name = symbol_name(c->data2, &n);
            out.append(reinterpret_cast<const char*>(name), n);
        }
    }
    return out;
}

Cell& words_block(std::initializer_list<const char*> names) {
    Cell& b = keep(make_unset());
    block_make_at(&b, 1);
    for (const char* n : names) {
        Cell v = (n[0] >= '0' && n[0] <= '9') ? integer(n[0] - '0') : word(n);
        block_append_value(&b, &v);
    }
    return b;
}

TEST_F(Block, SetOperations) {
    struct Case {
        const char* name;
        int32_t op;
        std::initializer_list<const char*> a, b;
        int32_t skip;
        const char* expect;
    };
    const Case cases[] = {
        {"unique", 8, {"a", "b", "a"}, {}, 0, "a b"},
        {"union", 9, {"a", "b"}, {"b", "c"}, 0, "a b c"},
        {"intersect", 10, {"a", "b"}, {"b", "c"}, 0, "b"},
        {"exclude", 11, {"a", "b"}, {"b", "c"}, 0, "a"},
        {"difference", 12, {"a", "b"}, {"b", "c"}, 0, "a c"},
        {"union ignores case", 9, {"a", "b"}, {"B", "c"}, 0, "a b c"},
        {"unique records", 8, {"a", "1", "a", "2", "b", "3"}, {}, 2, "a 1 b 3"},
        {"exclude records", 11, {"a", "1", "b", "2"}, {"b", "9"}, 2, "a 1"},
    };
    for (const Case& c : cases) {
        Cell& a = words_block(c.a);
        Cell& b = words_block(c.b);
        Cell skip = integer(c.skip);
        Cell& result = keep(a);
        block_set_operation(&result, &b, c.op, false, c.skip ? &skip : nullptr);
        EXPECT_TRUE(result.is(T_BLOCK)) << c.name;
        EXPECT_EQ(spelled(result), c.expect) << c.name;
    }
    Cell& a = words_block({"a"});
    Cell zero = integer(0);
    EXPECT_EQ(raised([&] { block_set_operation(&a, &a, 8, false, &zero); }), Err::InvalidRefineArg);
}

} // namespace

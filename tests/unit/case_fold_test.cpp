// Case folding: the mapping rows that tell simple mappings apart from other conventions, the
// supplementary planes, the shared upper-case fold, and change_case over strings of each unit
// width with /part ranges and widening, its /part errors and the notice an owner receives.
//
// change_case allocates (widening, interning the words it reports with): every string a test
// keeps across it, or across any other allocation, sits in a Rooted slot.
#include "core/case-fold.h"
#include "core/context.h"
#include "core/errors.h"
#include "core/memory.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode-tables.inc"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace kel;

namespace {

using CaseFold = test::RuntimeTest;

using test::code_points;
Cell make_text(TypeId type, const std::vector<uint32_t>& cps, uint32_t unit) { return test::text_of(type, cps, unit); }

uint32_t unit_of(const Cell& str) { return node_series(series_node(&str))->unit(); }

struct Raised {
    Err id;
    Cell arg1, arg2;   // copies: valid until the next allocation
};

// Runs f inside a try frame; returns the error it raised, if any.
template <class F>
std::optional<Raised> raised(F&& f) {
    Cell word = make_cell(T_WORD);
    if (stack_try(&word, false, [&] { f(); })) return std::nullopt;
    const Cell* error = stack_top();
    Raised r{error_id_of(error), Cell{T_NONE, 0, 0, 0}, Cell{T_NONE, 0, 0, 0}};
    if (const Cell* a = error_arg(error, 1)) r.arg1 = *a;
    if (const Cell* a = error_arg(error, 2)) r.arg2 = *a;
    stack_pop();
    return r;
}

} // namespace

TEST_F(CaseFold, SimpleMappingRows) {
    struct Row { int32_t cp, upper, lower; };
    const Row rows[] = {
        {'a', 'A', 'a'}, {'A', 'A', 'a'}, {'z', 'Z', 'z'}, {'0', '0', '0'}, {'[', '[', '['},
        {0x00B5, 0x039C, 0x00B5},   // micro sign
        {0x00DF, 0x00DF, 0x00DF},   // sharp s: no single-letter upper case
        {0x00E9, 0x00C9, 0x00E9}, {0x00C9, 0x00C9, 0x00E9},
        {0x00D7, 0x00D7, 0x00D7},   // multiplication sign
        {0x00FF, 0x0178, 0x00FF}, {0x0178, 0x0178, 0x00FF},
        {0x0131, 0x0049, 0x0131}, {0x0130, 0x0130, 0x0069},
        {0x017F, 0x0053, 0x017F},
        {0x01C4, 0x01C4, 0x01C6}, {0x01C5, 0x01C4, 0x01C6}, {0x01C6, 0x01C4, 0x01C6},
        {0x03B1, 0x0391, 0x03B1}, {0x03C2, 0x03A3, 0x03C2}, {0x03A3, 0x03A3, 0x03C3},
        {0x044F, 0x042F, 0x044F}, {0x0401, 0x0401, 0x0451},
        {0x1E9E, 0x1E9E, 0x00DF}, {0x2126, 0x2126, 0x03C9}, {0x212A, 0x212A, 0x006B},
        {0xFF41, 0xFF21, 0xFF41},
        {0x10428, 0x10400, 0x10428}, {0x10400, 0x10400, 0x10428},
        {0x1E922, 0x1E900, 0x1E922}, {0x1E943, 0x1E921, 0x1E943}, {0x1E921, 0x1E921, 0x1E943},
        {0x4E00, 0x4E00, 0x4E00}, {0x1F600, 0x1F600, 0x1F600}, {0x10FFFF, 0x10FFFF, 0x10FFFF},
        {0x110000, 0x110000, 0x110000}, {-1, -1, -1},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(fold_case_char(r.cp, true), r.upper) << std::hex << r.cp;
        EXPECT_EQ(fold_case_char(r.cp, false), r.lower) << std::hex << r.cp;
        if (r.cp >= 0 && r.cp <= 0x10FFFF) {
            EXPECT_EQ(fold_upper(uint32_t(r.cp)), uint32_t(r.upper)) << std::hex << r.cp;
        }
    }
}

// Case-insensitive means equal after uppercasing: ß and s stay apart, ÿ and Ÿ meet, and the fold
// reads every unit width alike.
TEST_F(CaseFold, SharedUpperFold) {
    EXPECT_NE(fold_upper(0xDF), fold_upper('s'));
    EXPECT_NE(fold_upper(0xDF), fold_upper('S'));
    EXPECT_EQ(fold_upper(0xFF), fold_upper(0x178));
    EXPECT_EQ(fold_upper(0x3C2), fold_upper(0x3C3));   // final and medial sigma
    EXPECT_EQ(fold_upper(0x1E922), fold_upper(0x1E900));

    const uint8_t one[] = {0xE9};
    const uint8_t two[] = {0xB1, 0x03};
    const uint8_t four[] = {0x22, 0xE9, 0x01, 0x00};
    EXPECT_EQ(fold_upper_unit(one, 1), 0xC9u);
    EXPECT_EQ(fold_upper_unit(two, 2), 0x391u);
    EXPECT_EQ(fold_upper_unit(four, 4), 0x1E900u);

    // symbols fold ASCII letters only
    const std::pair<uint32_t, uint32_t> ascii[] = {{'a', 'A'}, {'z', 'Z'}, {'A', 'A'}, {'`', '`'},
                                                   {'{', '{'}, {0xE9, 0xE9}, {0x3B1, 0x3B1}};
    for (auto [c, f] : ascii) EXPECT_EQ(fold_ascii_upper(c), f) << c;
}

// The supplementary tables are searched by bisection: every pair must be found, and code points
// between keys must map to themselves.
TEST_F(CaseFold, SupplementaryPairsAllFound) {
    for (bool upper : {true, false}) {
        const auto& pairs = upper ? unicode_data::upper_supplementary : unicode_data::lower_supplementary;
        for (size_t i = 0; i < std::size(pairs); ++i) {
            if (i) {
                ASSERT_LT(pairs[i - 1].from, pairs[i].from);
            }
            EXPECT_EQ(fold_case_char(int32_t(pairs[i].from), upper), int32_t(pairs[i].to));
            // a neighbour that is not a key maps to itself
            uint32_t next = pairs[i].from + 1;
            bool is_key = i + 1 < std::size(pairs) && pairs[i + 1].from == next;
            if (!is_key) {
                EXPECT_EQ(fold_case_char(int32_t(next), upper), int32_t(next)) << std::hex << next;
            }
        }
    }
}

TEST_F(CaseFold, ChangeCaseChar) {
    Cell c = make_cell(T_CHAR, 0, 'a');
    change_case(&c, nullptr, true);
    EXPECT_TRUE(c.is(T_CHAR));
    EXPECT_EQ(c.data2, uint32_t('A'));
    change_case(&c, nullptr, false);
    EXPECT_EQ(c.data2, uint32_t('a'));
    Cell k = make_cell(T_CHAR, 0, 0x212A);
    change_case(&k, nullptr, false);
    EXPECT_EQ(k.data2, 0x6Bu);
}

TEST_F(CaseFold, ChangeCaseStrings) {
    struct Case {
        const char* what;
        std::vector<uint32_t> in;
        uint32_t unit;
        bool upper;
        std::vector<uint32_t> out;
        uint32_t out_unit;
    };
    const Case cases[] = {
        {"ASCII", {'a', 'B', '1', '!'}, 1, true, {'A', 'B', '1', '!'}, 1},
        {"ASCII lower", {'a', 'B', '1'}, 1, false, {'a', 'b', '1'}, 1},
        {"strasse", {'s', 't', 'r', 'a', 0xDF, 'e'}, 1, true, {'S', 'T', 'R', 'A', 0xDF, 'E'}, 1},
        {"Latin-1 lower", {0xC0, 0xDE, 0xD7}, 1, false, {0xE0, 0xFE, 0xD7}, 1},
        {"y diaeresis widens", {0xFF, 'a', 'b'}, 1, true, {0x178, 'A', 'B'}, 2},
        {"micro widens late", {'a', 'b', 0xB5, 'c'}, 1, true, {'A', 'B', 0x39C, 'C'}, 2},
        {"Greek", {0x3B1, 0x3B2, 0x3C2}, 2, true, {0x391, 0x392, 0x3A3}, 2},
        {"Cyrillic", {0x41F, 0x420, 0x418}, 2, false, {0x43F, 0x440, 0x438}, 2},
        {"Kelvin sign", {0x212A, 'A'}, 2, false, {'k', 'a'}, 2},
        {"dotless i", {0x131}, 2, true, {'I'}, 2},
        {"Adlam", {0x1E922, 0x1E943, 'a', 0x1F600}, 4, true, {0x1E900, 0x1E921, 'A', 0x1F600}, 4},
        {"Deseret lower", {0x10400, 'Q'}, 4, false, {0x10428, 'q'}, 4},
        {"no mapping", {0x4E00, 0x1F600}, 4, true, {0x4E00, 0x1F600}, 4},
        {"empty", {}, 1, true, {}, 1},
    };
    for (const Case& c : cases) {
        Rooted s(make_text(T_STRING, c.in, c.unit));
        change_case(s.get(), nullptr, c.upper);
        EXPECT_EQ(code_points(s.value), c.out) << c.what;
        EXPECT_EQ(unit_of(s.value), c.out_unit) << c.what;
    }
    Rooted file(make_text(T_FILE, {'a', '/', 'b'}, 1));
    change_case(file.get(), nullptr, true);
    EXPECT_EQ(code_points(file.value), (std::vector<uint32_t>{'A', '/', 'B'}));
}

// /part as a count or as a position in the same series, from the value's own head index.
TEST_F(CaseFold, ChangeCasePart) {
    const std::vector<uint32_t> abc = {'a', 'b', 'c'};
    struct Case {
        const char* what;
        uint32_t head;
        int part;           // an integer count, or a position when as_position
        bool as_position;
        std::vector<uint32_t> out;
    };
    const Case cases[] = {
        {"count 2", 0, 2, false, {'A', 'B', 'c'}},
        {"count past end", 0, 10, false, {'A', 'B', 'C'}},
        {"count 0", 0, 0, false, {'a', 'b', 'c'}},
        {"negative count", 0, -3, false, {'a', 'b', 'c'}},
        {"from index 1", 1, 1, false, {'a', 'B', 'c'}},
        {"position two further", 0, 2, true, {'A', 'B', 'c'}},
        {"position before head", 2, 0, true, {'a', 'b', 'c'}},
        {"position past tail", 1, 9, true, {'a', 'B', 'C'}},
    };
    for (const Case& c : cases) {
        Rooted s(make_text(T_STRING, abc, 1));
        s->data1 = c.head;
        Cell part = c.as_position ? Cell{s->header, uint32_t(c.part), s->data2, 0} : make_integer(c.part);
        change_case(s.get(), &part, true);
        EXPECT_EQ(code_points(s.value), c.out) << c.what;
    }

    // widening inside a part range keeps the walk going in the new width and stops at the range
    Rooted w(make_text(T_STRING, {'a', 0xFF, 'b', 'c'}, 1));
    Cell three = make_integer(3);
    change_case(w.get(), &three, true);
    EXPECT_EQ(code_points(w.value), (std::vector<uint32_t>{'A', 0x178, 'B', 'c'}));
    EXPECT_EQ(unit_of(w.value), 2u);
}

// A /part that is neither a count nor a position in the same series is refused before any change;
// the error names the refinement's word and the offending value.
TEST_F(CaseFold, ChangeCasePartErrors) {
    Rooted s(make_text(T_STRING, {'a', 'b', 0xFF}, 1));
    Rooted other(make_text(T_STRING, {'x'}, 1));
    Rooted block(make_series(T_BLOCK, alloc_cells(1)));
    const Cell bad[] = {
        block.value,
        other.value,                                             // another series
        Cell{T_FILE, 1, s->data2, 0},                            // same buffer, other type
        make_float(1.0),
    };
    const uint32_t part_word = symbol_make("part");
    for (const Cell& part : bad) {
        auto e = raised([&] { change_case(s.get(), &part, true); });
        ASSERT_TRUE(e) << int(part.type());
        EXPECT_EQ(e->id, Err::InvalidRefineArg);
        EXPECT_TRUE(e->arg1.is(T_WORD)) << int(part.type());
        EXPECT_EQ(e->arg1.data2, part_word) << int(part.type());
        EXPECT_EQ(e->arg2.header, part.header) << int(part.type());
        EXPECT_EQ(e->arg2.data1, part.data1) << int(part.type());
        EXPECT_EQ(e->arg2.data2, part.data2) << int(part.type());
        EXPECT_EQ(e->arg2.data3, part.data3) << int(part.type());
        EXPECT_EQ(code_points(s.value), (std::vector<uint32_t>{'a', 'b', 0xFF}));
        EXPECT_EQ(unit_of(s.value), 1u);
    }
}

// A head index past the tail is first pulled back to the tail; nothing changes.
TEST_F(CaseFold, ChangeCaseHeadPastTail) {
    Rooted s(make_text(T_STRING, {'a', 'b'}, 1));
    s->data1 = 5;
    change_case(s.get(), nullptr, true);
    EXPECT_EQ(s->data1, 2u);
    EXPECT_EQ(code_points(s.value), (std::vector<uint32_t>{'a', 'b'}));
}

// ---------------------------------------------------------------------------------------------
// The owner of a string learns of a case change after it is made.

namespace {

struct Notice {
    Node owner_ctx;
    uint32_t word;
    Node target;
    uint32_t action;
    bool has_new_value;
    int32_t index;
    int32_t part;
    std::vector<uint32_t> text;   // the target's code points when the notice came
};
std::vector<Notice> g_notices;

void record_notice(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                   const Cell* new_value, int32_t index, int32_t part) {
    g_notices.push_back({owner->data1, word->data2, series_node(target), action->data2,
                         new_value != nullptr, index, part, code_points(*target)});
    // A handler runs code, which allocates: with collection on, the buffers move meanwhile.
    alloc_bytes(64);
}

class CaseFoldOwned : public test::RuntimeTest {
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

} // namespace

TEST_F(CaseFoldOwned, OwnerIsNotifiedAfterTheChange) {
    // A reactive owner: an object whose change-handler record (word 3) is set.
    Rooted owner(make_cell(T_OBJECT));
    owner->data1 = context_make(1, false, true, 0, CONTEXT_OBJECT);
    owner->data3 = alloc_cells(2);
    *context_owner(owner->data1) = owner.value;
    const Cell field = make_cell(T_WORD, 0, symbol_make("text"), uint32_t(-1));

    Rooted s(make_text(T_STRING, {'a', 0xFF, 'b', 'c'}, 1));
    set_owner_deep(s.get(), owner.get(), &field);
    Rooted unowned(make_text(T_STRING, {'x'}, 1));

    change_case(s.get(), nullptr, true);
    ASSERT_EQ(g_notices.size(), 1u);
    EXPECT_EQ(g_notices[0].owner_ctx, owner->data1);
    EXPECT_EQ(g_notices[0].word, symbol_make("text"));
    EXPECT_EQ(g_notices[0].target, series_node(s.get()));
    EXPECT_EQ(g_notices[0].action, symbol_make("uppercase"));
    EXPECT_FALSE(g_notices[0].has_new_value);
    EXPECT_EQ(g_notices[0].index, 0);
    EXPECT_EQ(g_notices[0].part, 4);
    // the notice comes once the string has changed (and widened)
    EXPECT_EQ(g_notices[0].text, (std::vector<uint32_t>{'A', 0x178, 'B', 'C'}));
    EXPECT_EQ(code_points(s.value), (std::vector<uint32_t>{'A', 0x178, 'B', 'C'}));

    s->data1 = 1;
    Cell two = make_integer(2);
    change_case(s.get(), &two, false);
    ASSERT_EQ(g_notices.size(), 2u);
    EXPECT_EQ(g_notices[1].action, symbol_make("lowercase"));
    EXPECT_EQ(g_notices[1].index, 1);
    EXPECT_EQ(g_notices[1].part, 2);
    EXPECT_EQ(g_notices[1].text, (std::vector<uint32_t>{'A', 0xFF, 'b', 'C'}));
    EXPECT_EQ(code_points(s.value), (std::vector<uint32_t>{'A', 0xFF, 'b', 'C'}));

    // a refused /part changes nothing and notifies nobody
    Cell bad = make_float(1.0);
    EXPECT_TRUE(raised([&] { change_case(s.get(), &bad, true); }));
    EXPECT_EQ(g_notices.size(), 2u);

    // neither an unowned string nor a char! has anybody to tell
    change_case(unowned.get(), nullptr, true);
    Cell c = make_cell(T_CHAR, 0, 'q');
    change_case(&c, nullptr, true);
    EXPECT_EQ(g_notices.size(), 2u);
    EXPECT_EQ(code_points(unowned.value), (std::vector<uint32_t>{'X'}));
    EXPECT_EQ(c.data2, uint32_t('Q'));
}

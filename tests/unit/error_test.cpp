// error! values: making from codes, blocks and strings with their errors, the fields that raising
// fills, the report's lines, comparison and path access to the fields.
#include "core/context.h"
#include "core/errors.h"
#include "core/gc.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "core/words.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"

#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gtest/gtest.h>

#include <string>

using namespace kel;
using test::block;
using test::keep;

namespace {

class Error : public test::RuntimeTest {};

std::string name_of(uint32_t symbol) {
    uint32_t n;
    const uint8_t* p = symbol_name(symbol, &n);
    return std::string(reinterpret_cast<const char*>(p), n);
}
Cell word(const char* name, TypeId t = T_WORD) { return Cell{t, 0, symbol_make(name), uint32_t(-1)}; }

// The error a body raises (Err::Count_ when it raises none), with its first argument.
struct Raised { Err id; Cell arg1; };
template <typename F>
Raised raised_by(F&& f) {
    Cell w = word("test");
    uint32_t depth = stack_depth();
    if (stack_try(&w, false, f)) return {Err::Count_, g_none_cell};
    Raised r{error_id_of(stack_top()), *error_arg(stack_top(), 1)};
    g_stack.top = stack_at_index(depth);
    return r;
}

Cell make_error(const Cell& spec_value) {
    Cell& result = keep(g_none_cell);
    Cell& spec = keep(spec_value);
    action_impl<A_MAKE>(T_ERROR)(&result, &spec, T_ERROR);
    return result;
}

std::string text(const Cell& str) {
    Cell s = str;
    int32_t n = -1;
    return string_to_utf8(&s, &n);
}

std::string report(const Cell& error) {
    Cell* buf = string_push_new(64);
    Cell e = error;
    action_impl<A_FORM>(T_ERROR)(&e, buf, false, INT32_MAX);
    std::string out = text(*buf);
    stack_pop();
    return out;
}
std::string first_line(const Cell& error) {
    std::string r = report(error);
    return r.substr(0, r.find('\n'));
}

TEST_F(Error, MakeFromACodeNamesCategoryAndId) {
    struct Case { int32_t code; const char* type; const char* id; };
    const Case cases[] = {
        {300, "script", "no-value"}, {301, "script", "need-value"}, {400, "math", "zero-divide"},
        {909, "internal", "not-done"}, {0, "throw", "break"}, {800, "user", "message"},
    };
    for (const Case& c : cases) {
        Cell e = make_error(make_integer(c.code));
        ASSERT_TRUE(e.is(T_ERROR));
        EXPECT_EQ(cell_integer(error_field(&e, ERR_CODE)), c.code);
        EXPECT_EQ(name_of(error_get_type(&e)), c.type);
        EXPECT_EQ(name_of(error_get_id(&e)), c.id);
        EXPECT_TRUE(error_field(&e, ERR_ARG1)->is(T_NONE));
    }
}

TEST_F(Error, MakeRefusesCodesOutsideTheCatalogue) {
    for (int32_t code : {399, 1000, -1, 395, 600, 515}) {
        Raised r = raised_by([&] { make_error(make_integer(code)); });
        EXPECT_EQ(r.id, Err::OutOfRange) << code;
        EXPECT_EQ(cell_integer(&r.arg1), code);
    }
}

TEST_F(Error, MakeFromABlockOfWords) {
    Cell e = make_error(block({word("Script"), word("no-value")}));
    EXPECT_EQ(cell_integer(error_field(&e, ERR_CODE)), 300);
    struct Case { Cell spec; Err err; const char* arg; };
    const Case cases[] = {
        {block({word("script"), word("foo")}), Err::InvalidSpecField, "id"},
        {block({word("foo"), word("no-value")}), Err::InvalidSpecField, "type"},
        {block({word("script")}), Err::InvalidSpecField, "id"},
        {block({word("script"), make_integer(3)}), Err::InvalidArg, nullptr},
        {block({}), Err::InvalidError, nullptr},
        {block({make_integer(1)}), Err::InvalidError, nullptr},
        {make_logic(true), Err::BadMakeArg, nullptr},
    };
    for (const Case& c : cases) {
        Raised r = raised_by([&] { make_error(c.spec); });
        EXPECT_EQ(r.id, c.err);
        if (c.arg) {
            EXPECT_EQ(name_of(r.arg1.data2), c.arg);
        }
    }
    Raised r = raised_by([&] { make_error(block({word("script"), make_integer(3)})); });
    EXPECT_EQ(cell_integer(&r.arg1), 3);
}

TEST_F(Error, MakeFromAStringIsAUserMessage) {
    Cell& msg = keep(test::text_of(T_STRING, {'o', 'o', 'p', 's'}, 1));
    Cell e = make_error(msg);
    EXPECT_EQ(cell_integer(error_field(&e, ERR_CODE)), 800);
    EXPECT_EQ(name_of(error_get_id(&e)), "message");
    EXPECT_EQ(text(*error_field(&e, ERR_ARG1)), "oops");
    EXPECT_EQ(first_line(e), "*** User Error: \"oops\"");   // a user error molds its argument
}

TEST_F(Error, RaisingFillsTheArgumentsAndTheStackPosition) {
    Cell arg = make_integer(5);
    Cell w = word("test");
    ASSERT_FALSE(stack_try(&w, false, [&] { fire_error(Err::OutOfRange, &arg); }));
    Cell& e = keep(*stack_top());
    ASSERT_TRUE(error_is_object(&e));
    EXPECT_EQ(error_code_of(&e), 341u);
    EXPECT_EQ(error_id_of(&e), Err::OutOfRange);
    EXPECT_EQ(cell_integer(error_arg(&e, 1)), 5);
    EXPECT_TRUE(error_field(&e, ERR_STACK)->is(T_INTEGER));
    collector_cycle();
    EXPECT_EQ(first_line(e), "*** Script Error: value out of range: 5");
}

TEST_F(Error, TheReportHasWhereAndNearLines) {
    Cell e = make_error(make_integer(402));
    std::string r = report(e);
    EXPECT_EQ(r.substr(0, r.find("\n*** Stack")),
              "*** Math Error: positive number required\n*** Where: ???\n*** Near : none");
    *error_field(&e, ERR_WHERE) = word("foo");
    EXPECT_NE(report(e).find("\n*** Where: foo\n"), std::string::npos);
}

// A script error molds its arguments (strings in quotes), a syntax error forms them.
TEST_F(Error, SyntaxArgumentsAreFormedOthersMolded) {
    Cell& s = keep(test::text_of(T_STRING, {'a', 'b'}, 1));
    Cell e = make_error(make_integer(308));   // invalid-arg
    *error_field(&e, ERR_ARG1) = s;
    EXPECT_EQ(first_line(e), "*** Script Error: invalid argument: \"ab\"");
    Cell syn = make_error(make_integer(201));   // missing
    *error_field(&syn, ERR_ARG1) = s;
    *error_field(&syn, ERR_ARG2) = s;
    *error_field(&syn, ERR_ARG3) = s;
    EXPECT_EQ(first_line(syn), "*** Syntax Error: ab missing ab at ab");
}

TEST_F(Error, AnUnknownTypeOrIdReportsAsInvalidError) {
    Cell e = make_error(make_integer(300));
    *error_field(&e, ERR_ID) = word("no-such-id");
    EXPECT_EQ(first_line(e), "*** Internal Error: invalid error object field value: no-such-id");
    Cell t = make_error(make_integer(300));
    *error_field(&t, ERR_TYPE) = word("nowhere");
    EXPECT_EQ(first_line(t), "*** Internal Error: invalid error object field value: nowhere");
}

TEST_F(Error, CaptureReplacesTheStackPositionWithATrace) {
    Cell e = make_error(make_integer(300));
    *error_field(&e, ERR_STACK) = make_integer(0);
    error_capture_stack(&e);
    EXPECT_TRUE(error_field(&e, ERR_STACK)->is(T_BLOCK));
}

TEST_F(Error, ComparesOnlyWithErrors) {
    Cell e = make_error(make_integer(300));
    Cell obj = e;
    set_cell_type(&obj, T_OBJECT);
    EXPECT_EQ(action_impl<A_COMPARE>(T_ERROR)(&e, &obj, CMP_EQUAL), CMP_NOT_COMPARABLE);
    EXPECT_EQ(action_impl<A_COMPARE>(T_ERROR)(&e, &e, CMP_EQUAL), 0);
}

TEST_F(Error, PathReadsAField) {
    Cell& e = keep(make_error(make_integer(400)));
    Cell el = word("code");
    PathStep step{&el, nullptr, nullptr, nullptr, nullptr, 1, true, false, true};
    Cell& parent = keep(e);
    action_impl<A_EVAL_PATH>(T_ERROR)(&parent, step);
    ASSERT_TRUE(parent.is(T_INTEGER));
    EXPECT_EQ(cell_integer(&parent), 400);
}

} // namespace

// The runtime's error table: ids sit at their catalogue positions (the codes that code and stored
// data rely on), positions run without gaps within each category, and reports fill in arguments.
#include "core/errors.h"
#include "core/stack.h"

#include "tests/unit/runtime_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace kel;

namespace {

TEST(ErrorTable, IdsKeepTheirCodes) {
    struct Case { Err err; uint32_t code; const char* word; };
    const Case cases[] = {
        {Err::Break, 0, "break"},              {Err::WhileCond, 4, "while-cond"},
        {Err::NoLoad, 100, "no-load"},         {Err::Invalid, 200, "invalid"},
        {Err::BadChar, 206, "bad-char"},       {Err::NoValue, 300, "no-value"},
        {Err::NeedValue, 301, "need-value"},   {Err::NotDefined, 302, "not-defined"},
        {Err::NotInContext, 303, "not-in-context"}, {Err::ExpectArg, 305, "expect-arg"},
        {Err::InvalidArg, 308, "invalid-arg"}, {Err::InvalidType, 309, "invalid-type"},
        {Err::OutOfRange, 341, "out-of-range"}, {Err::BadMakeArg, 353, "bad-make-arg"},
        {Err::KbInvalidRecord, 393, "kb-invalid-record"}, {Err::ZeroDivide, 400, "zero-divide"},
        {Err::Positive, 402, "positive"},      {Err::CannotOpen, 500, "cannot-open"},
        {Err::InvalidCmd, 514, "invalid-cmd"}, {Err::Message, 800, "message"},
        {Err::BadPath, 900, "bad-path"},       {Err::NotDone, 909, "not-done"},
        {Err::Deprecated, 913, "deprecated"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_code(c.err), c.code) << c.word;
        EXPECT_STREQ(error_def(c.err).id, c.word);
    }
}

// Positions count from 0 in each category with no gap and no repeat, categories in order, so a
// row added out of place shows here.
TEST(ErrorTable, PositionsRunInOrderWithinEachCategory) {
    uint32_t counts[size_t(ErrCat::Count_)] = {};
    int last_category = -1;
    for (size_t i = 0; i < size_t(Err::Count_); ++i) {
        const ErrorDef& d = error_def(Err(i));
        ASSERT_GE(int(d.category), last_category) << d.id;
        last_category = int(d.category);
        EXPECT_EQ(d.position, counts[size_t(d.category)]++) << d.id;
    }
    const uint32_t expected[] = {5, 1, 7, 95, 3, 15, 0, 0, 1, 14};
    for (size_t c = 0; c < size_t(ErrCat::Count_); ++c)
        EXPECT_EQ(counts[c], expected[c]) << error_category_word(ErrCat(c));
    EXPECT_STREQ(error_category_title(ErrCat::Reserved2), "Reserved2 Error");
    EXPECT_STREQ(error_category_word(ErrCat::Internal), "internal");
}

class ErrorReport : public test::RuntimeTest {};

TEST_F(ErrorReport, FirstLineFillsTheArgumentsInTheTemplate) {
    struct Case { Err err; Cell a1, a2; const char* line; };
    const Cell none{T_NONE, 0, 0, 0};
    const Case cases[] = {
        {Err::ZeroDivide, none, none, "*** Math Error: attempt to divide by zero"},
        {Err::OutOfRange, make_integer(7), none, "*** Script Error: value out of range: 7"},
        {Err::InvalidRefineArg, make_integer(1), make_integer(2),
         "*** Script Error: invalid 1 argument: 2"},
        {Err::NotDone, none, none, "*** Internal Error: reserved for future use (or not yet implemented)"},
    };
    for (const Case& c : cases) {
        Cell w{T_WORD, 0, 0, 0};
        ASSERT_FALSE(stack_try(&w, false, [&] { fire_error(c.err, &c.a1, &c.a2); }));
        char report[256];
        error_form_report(stack_top(), report, sizeof report);
        EXPECT_EQ(std::string(report).substr(0, std::strcspn(report, "\n")), c.line);
        EXPECT_EQ(error_id_of(stack_top()), c.err);
    }
}

} // namespace

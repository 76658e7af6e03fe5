// The scalar datatypes through their action implementations: registry inheritance, integer and
// float arithmetic and rounding, float and time text, the compare protocol, conversions and the
// random generator's sequence.
#include "core/context.h"
#include "core/errors.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/random.h"
#include "runtime_fixture.h"
#include "test_values.h"

#include <cmath>
#include <string>

namespace kel {
namespace {

using test::raised;

using test::block;
using test::keep;

class Scalars : public test::RuntimeTest {};

std::string text_of(Cell& out) {
    std::string s;
    for (uint32_t cp : test::code_points(out)) s += char(cp);
    return s;
}

std::string form(const Cell& v) {
    Cell& out = keep(make_unset());
    string_make_at(&out, 8);
    Cell& value = keep(v);
    form_typed(&value, &out, false, INT32_MAX);
    return text_of(out);
}

std::string mold(const Cell& v, bool all = false, bool only = false) {
    Cell& out = keep(make_unset());
    string_make_at(&out, 8);
    Cell& value = keep(v);
    mold_typed(&value, &out, only, all, false, false, INT32_MAX, 0);
    return text_of(out);
}

// Runs action A on copies of the operands; the result, or the error raised.
struct Outcome {
    Cell value;
    Err error;
};
Outcome math(Action a, const Cell& l, const Cell& r) {
    Cell& left = keep(l);
    Cell& right = keep(r);
    Err e = raised([&] { math_typed(a, &left, &right); });
    return {left, e};
}

Cell time_of(double s) { return make_time(s); }

// ---- registry -----------------------------------------------------------------------------------

TEST_F(Scalars, InheritanceIsACopyMadeAtRegistration) {
    // an unused id registered below integer!: it gets integer!'s row as it stands now
    register_datatype(TypeId(55), T_INTEGER, "test!", action_entries(INHERIT));
    for (uint32_t a = 0; a < ACTION_COUNT; ++a)
        EXPECT_EQ(g_action_table[55][a], g_action_table[T_INTEGER][a]) << "slot " << a + 1;
    // a later change of the parent's slot does not reach the child
    AnyAction add = g_action_table[T_INTEGER][A_ADD - 1];
    g_action_table[T_INTEGER][A_ADD - 1] = nullptr;
    EXPECT_EQ(g_action_table[55][A_ADD - 1], add);
    g_action_table[T_INTEGER][A_ADD - 1] = add;
    // a parent slot that is unsupported stays unsupported in the child
    EXPECT_EQ(action_impl<A_REFLECT>(T_CHAR), nullptr);
    EXPECT_EQ(g_action_table[T_CHAR][A_ABSOLUTE - 1], g_action_table[T_INTEGER][A_ABSOLUTE - 1]);
    EXPECT_EQ(action_impl<A_NEGATE>(T_CHAR), nullptr);   // char! does not inherit negate
    EXPECT_EQ(action_impl<A_POWER>(T_TIME), nullptr);
    EXPECT_EQ(g_action_table[T_TIME][A_COMPARE - 1], g_action_table[T_FLOAT][A_COMPARE - 1]);
}

TEST_F(Scalars, DatatypeAndUnitValuesText) {
    EXPECT_EQ(form(make_datatype(T_INTEGER)), "integer");
    EXPECT_EQ(mold(make_datatype(T_INTEGER)), "integer!");
    EXPECT_EQ(mold(make_datatype(T_INTEGER), true), "#(integer!)");
    EXPECT_EQ(form(make_unset()), "");
    EXPECT_EQ(mold(make_unset()), "unset");
    EXPECT_EQ(mold(make_unset(), true), "#(unset)");
    EXPECT_EQ(mold(make_none(), true), "#(none)");
    EXPECT_EQ(mold(make_logic(false), true), "#(false)");
    EXPECT_EQ(form(make_logic(true)), "true");
}

// ---- integer! ---------------------------------------------------------------------------------------

TEST_F(Scalars, IntegerArithmeticNeverWraps) {
    struct Case {
        Action a;
        int32_t l;
        Cell r;
        Cell expected;
        Err error;
    } cases[] = {
        {A_ADD, 2147483647, make_integer(1), make_float(2147483648.0), Err::Count_},
        {A_SUBTRACT, INT32_MIN, make_integer(1), make_float(-2147483649.0), Err::Count_},
        {A_MULTIPLY, 65536, make_integer(65536), make_float(4294967296.0), Err::Count_},
        {A_MULTIPLY, -46341, make_integer(46341), make_float(-2147488281.0), Err::Count_},
        {A_DIVIDE, 7, make_integer(2), make_float(3.5), Err::Count_},
        {A_DIVIDE, 6, make_integer(2), make_integer(3), Err::Count_},
        {A_DIVIDE, -7, make_integer(2), make_float(-3.5), Err::Count_},
        {A_DIVIDE, 7, make_integer(0), Cell{}, Err::ZeroDivide},
        {A_REMAINDER, 7, make_integer(0), Cell{}, Err::ZeroDivide},
        {A_DIVIDE, INT32_MIN, make_integer(-1), Cell{}, Err::Overflow},
        {A_REMAINDER, INT32_MIN, make_integer(-1), Cell{}, Err::Overflow},
        {A_REMAINDER, -7, make_integer(2), make_integer(-1), Err::Count_},
        {A_REMAINDER, 7, make_integer(-2), make_integer(1), Err::Count_},
        {A_ADD, 1, make_float(0.5), make_float(1.5), Err::Count_},
        {A_ADD, 1, make_char('a'), make_integer(98), Err::Count_},
        {A_ADD, 60, time_of(1), time_of(61), Err::Count_},
        {A_AND, 12, make_integer(10), make_integer(8), Err::Count_},
        {A_XOR, 12, make_integer(10), make_integer(6), Err::Count_},
        {A_ADD, 1, make_none(), Cell{}, Err::InvalidType},
        {A_POWER, 2, make_integer(30), make_integer(1073741824), Err::Count_},
        {A_POWER, 2, make_integer(31), make_float(2147483648.0), Err::Count_},
        {A_POWER, 2, make_integer(40), make_float(1099511627776.0), Err::Count_},
        {A_POWER, 2, make_integer(-1), make_float(0.5), Err::Count_},
        {A_POWER, 0, make_integer(0), make_integer(1), Err::Count_},
        {A_POWER, -3, make_integer(3), make_integer(-27), Err::Count_},
        {A_POWER, 2, make_none(), Cell{}, Err::ExpectArg},
    };
    for (const Case& c : cases) {
        Outcome o = math(c.a, make_integer(c.l), c.r);
        SCOPED_TRACE(std::string(k_action_names[c.a - 1]) + " " + std::to_string(c.l));
        EXPECT_EQ(o.error, c.error);
        if (c.error != Err::Count_) continue;
        EXPECT_EQ(o.value.type(), c.expected.type());
        if (c.expected.is(T_INTEGER)) EXPECT_EQ(integer_get_cell(&o.value), integer_get_cell(&c.expected));
        else EXPECT_EQ(o.value.get_float(), c.expected.get_float());
    }
}

TEST_F(Scalars, IntegerUnaryActions) {
    for (auto a : {A_NEGATE, A_ABSOLUTE}) {
        Cell& v = keep(make_integer(INT32_MIN));
        EXPECT_EQ(raised([&] { action_impl<A_NEGATE>(T_INTEGER)(&v); }), Err::Overflow);
        (void)a;
    }
    Cell& v = keep(make_integer(INT32_MIN));
    EXPECT_EQ(raised([&] { action_impl<A_ABSOLUTE>(T_INTEGER)(&v); }), Err::Overflow);
    EXPECT_EQ(form(make_integer(INT32_MIN)), "-2147483648");
    EXPECT_EQ(form(make_integer(0)), "0");
    Cell odd = make_integer(-3);
    EXPECT_TRUE(odd_typed(&odd));
    Cell zero = make_integer(0);
    EXPECT_TRUE(even_typed(&zero));
}

struct RoundCase {
    double n;
    double scale;   // NAN: no /to
    const char* flags;
    double expected;
    bool integer_result;
    Err error;
};

RoundOpts round_opts(const char* flags, const Cell* to) {
    RoundOpts o;
    o.to = to;
    std::string f = flags;
    o.even = f.find('e') != std::string::npos;
    o.down = f.find('d') != std::string::npos;
    o.half_down = f.find('h') != std::string::npos;
    o.floor = f.find('f') != std::string::npos;
    o.ceiling = f.find('c') != std::string::npos;
    o.half_ceiling = f.find('H') != std::string::npos;
    return o;
}

TEST_F(Scalars, IntegerRoundTable) {
    const RoundCase cases[] = {
        {17, 5, "", 15, true, Err::Count_},
        {18, 5, "", 20, true, Err::Count_},
        {-17, 5, "", -15, true, Err::Count_},
        {25, 10, "e", 20, true, Err::Count_},
        {35, 10, "e", 40, true, Err::Count_},
        {15, 10, "h", 10, true, Err::Count_},
        {-15, 10, "H", -10, true, Err::Count_},
        {-11, 5, "f", -15, true, Err::Count_},
        {-11, 5, "c", -10, true, Err::Count_},
        {7, 0, "", 7, true, Err::Count_},
        {2147483647, 10, "", 0, true, Err::Overflow},
        {-2147483648.0, 10, "d", -2147483640, true, Err::Count_},
        {-2147483648.0, 10, "", 0, true, Err::Overflow},
        {2147483647, 10, "f", 2147483640, true, Err::Count_},
        {-2147483648.0, NAN, "", -2147483648.0, true, Err::Count_},
        {15, -10, "", 20, true, Err::Count_},
    };
    for (const RoundCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " /to " + std::to_string(c.scale) + " " + c.flags);
        Cell& v = keep(make_integer(int32_t(c.n)));
        Cell& scale = keep(make_integer(std::isnan(c.scale) ? 0 : int32_t(c.scale)));
        RoundOpts o = round_opts(c.flags, std::isnan(c.scale) ? nullptr : &scale);
        EXPECT_EQ(raised([&] { round_typed(&v, o); }), c.error);
        if (c.error != Err::Count_) continue;
        ASSERT_TRUE(v.is(T_INTEGER));
        EXPECT_EQ(integer_get_cell(&v), int32_t(c.expected));
    }
}

TEST_F(Scalars, FloatRoundTable) {
    const RoundCase cases[] = {
        {2.5, NAN, "", 3.0, false, Err::Count_},
        {-2.5, NAN, "", -3.0, false, Err::Count_},
        {2.5, NAN, "e", 2.0, false, Err::Count_},
        {3.5, NAN, "e", 4.0, false, Err::Count_},
        {2.5, NAN, "h", 2.0, false, Err::Count_},
        {-2.5, NAN, "H", -2.0, false, Err::Count_},
        {-2.7, NAN, "d", -2.0, false, Err::Count_},
        {-2.1, NAN, "f", -3.0, false, Err::Count_},
        {1.26, 0.1, "", 1.3, false, Err::Count_},
        {2.6, 1, "", 3, true, Err::Count_},
        {1e300, 1e300, "", 1e300, false, Err::Count_},
        {1.7976931348623157e308, 1e308, "", 0, false, Err::Overflow},
        {1.7976931348623157e308, 1, "", 1.7976931348623157e308, false, Err::Count_},
        {3e9, 1, "", 0, true, Err::Overflow},
    };
    for (const RoundCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " /to " + std::to_string(c.scale) + " " + c.flags);
        Cell& v = keep(make_float(c.n));
        Cell& scale = keep(c.integer_result ? make_integer(int32_t(c.scale)) : make_float(c.scale));
        RoundOpts o = round_opts(c.flags, std::isnan(c.scale) ? nullptr : &scale);
        EXPECT_EQ(raised([&] { round_typed(&v, o); }), c.error);
        if (c.error != Err::Count_) continue;
        if (c.integer_result) {
            ASSERT_TRUE(v.is(T_INTEGER));
            EXPECT_EQ(integer_get_cell(&v), int32_t(c.expected));
        } else {
            ASSERT_TRUE(v.is(T_FLOAT));
            EXPECT_EQ(v.get_float(), c.expected);
        }
    }
}

// ---- float! ----------------------------------------------------------------------------------------------

TEST_F(Scalars, FloatText) {
    struct Case {
        double d;
        const char* form;
        const char* mold;
    } cases[] = {
        {1.0, "1.0", "1.0"},
        {1e20, "1.0e20", "1.0e20"},
        {1e-5, "1.0e-5", "0.00001"},
        {0.1 + 0.2, "0.3", "0.30000000000000004"},
        {8.024999999999999, "8.025", "8.024999999999999"},
        {1e-20, "0.0", "1.0e-20"},
        {-0.0, "0.0", "-0.0"},
        {1.0 / 0.0, "1.#INF", "1.#INF"},
        {-1.0 / 0.0, "-1.#INF", "-1.#INF"},
        {std::nan(""), "1.#NaN", "1.#NaN"},
        {123456.789, "123456.789", "123456.789"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(form(make_float(c.d)), c.form);
        EXPECT_EQ(mold(make_float(c.d)), c.mold);
    }
    g_float_pretty = false;   // tiny values keep their digits
    EXPECT_EQ(form(make_float(1.5e-20)), "1.5e-20");
    g_float_pretty = true;
}

TEST_F(Scalars, FloatArithmeticKeepsKinds) {
    Outcome o = math(A_REMAINDER, make_float(5.5), make_integer(2));
    EXPECT_EQ(o.value.get_float(), 1.5);
    o = math(A_REMAINDER, make_float(5.0), make_float(1.0 / 0.0));
    EXPECT_EQ(o.value.get_float(), 5.0);
    o = math(A_DIVIDE, make_float(1.0), make_integer(0));
    EXPECT_TRUE(std::isinf(o.value.get_float()));
    // a time on either side keeps the time type; time + time is a time, time / time a ratio
    o = math(A_MULTIPLY, make_integer(2), time_of(3600));
    EXPECT_TRUE(o.value.is(T_TIME));
    o = math(A_ADD, time_of(3600), time_of(1800));
    EXPECT_TRUE(o.value.is(T_TIME));
    EXPECT_EQ(o.value.get_float(), 5400.0);
    o = math(A_DIVIDE, time_of(3600), time_of(1800));
    EXPECT_TRUE(o.value.is(T_FLOAT));
    EXPECT_EQ(o.value.get_float(), 2.0);
    EXPECT_EQ(math(A_MULTIPLY, time_of(3600), time_of(3600)).error, Err::NotRelated);
    EXPECT_EQ(math(A_ADD, make_float(1), make_none()).error, Err::InvalidType);
    Cell even = make_float(2.5), odd = make_float(-3.9), big = make_float(1e10 + 1);
    EXPECT_TRUE(even_typed(&even));
    EXPECT_TRUE(odd_typed(&odd));
    EXPECT_TRUE(odd_typed(&big));
    Cell& nan = keep(make_float(std::nan("")));
    EXPECT_EQ(raised([&] { odd_typed(&nan); }), Err::Overflow);
}

TEST_F(Scalars, AlmostEqual) {
    EXPECT_TRUE(float_almost_equal(0.1 + 0.2, 0.3));
    EXPECT_TRUE(float_almost_equal(1e-17, 0.0));
    EXPECT_TRUE(float_almost_equal(1e300, 1.0000000000000002e300));
    EXPECT_FALSE(float_almost_equal(1.0, 1.0 + 1e-14));
    EXPECT_FALSE(float_almost_equal(std::nan(""), std::nan("")));
    EXPECT_TRUE(float32_almost_equal(0.0f, -0.0f));
    EXPECT_FALSE(float32_almost_equal(1.0f, 1.001f));
    EXPECT_EQ(float_to_int(2.5), 3);
    EXPECT_EQ(float_to_int(-2.5), -3);
    EXPECT_EQ(float_to_int(1e20), INT32_MAX);
}

// ---- compare protocol ----------------------------------------------------------------------------------

TEST_F(Scalars, CompareProtocol) {
    Cell& one = keep(make_integer(1));
    Cell& text = keep(test::text_of(T_STRING, {'a'}, 1));
    EXPECT_EQ(raised([&] { compare_truth(&one, &text, CMP_LESSER); }), Err::InvalidCompare);
    EXPECT_FALSE(compare_truth(&one, &text, CMP_EQUAL));
    EXPECT_TRUE(compare_truth(&one, &text, CMP_NOT_EQUAL));
    Cell none = make_none();
    EXPECT_TRUE(compare_truth(&none, &none, CMP_EQUAL));
    Cell f = make_logic(false), t = make_logic(true);
    EXPECT_EQ(raised([&] { compare_truth(&f, &t, CMP_LESSER); }), Err::InvalidCompare);
    EXPECT_FALSE(compare_truth(&f, &none, CMP_EQUAL));
    EXPECT_EQ(compare_values(&f, &t, CMP_SORT), -1);

    Cell a = make_float(0.1 + 0.2), b = make_float(0.3);
    EXPECT_TRUE(compare_truth(&a, &b, CMP_EQUAL));
    EXPECT_FALSE(compare_truth(&a, &b, CMP_STRICT_EQUAL));
    Cell nan = make_float(std::nan("")), x = make_float(1.0);
    for (int32_t op : {CMP_LESSER, CMP_LESSER_EQUAL, CMP_GREATER, CMP_GREATER_EQUAL, CMP_EQUAL})
        EXPECT_FALSE(compare_truth(&nan, &x, op)) << op;
    EXPECT_FALSE(compare_truth(&nan, &nan, CMP_EQUAL));
    Cell zero = make_float(0.0), negzero = make_float(-0.0);
    EXPECT_TRUE(compare_truth(&zero, &negzero, CMP_STRICT_EQUAL));
    EXPECT_FALSE(compare_truth(&zero, &negzero, CMP_SAME));

    Cell i1 = make_integer(1), f1 = make_float(1.0);
    EXPECT_TRUE(compare_truth(&i1, &f1, CMP_EQUAL));
    EXPECT_FALSE(compare_truth(&i1, &f1, CMP_STRICT_EQUAL));
    Cell ca = make_char('a'), cA = make_char('A'), n97 = make_integer(97);
    EXPECT_TRUE(compare_truth(&ca, &n97, CMP_EQUAL));
    EXPECT_FALSE(compare_truth(&ca, &cA, CMP_EQUAL));
    EXPECT_FALSE(compare_truth(&ca, &n97, CMP_STRICT_EQUAL));
    Cell dt1 = make_datatype(T_INTEGER), dt2 = make_datatype(T_INTEGER);
    EXPECT_TRUE(compare_truth(&dt1, &dt2, CMP_EQUAL));
    EXPECT_EQ(raised([&] { compare_truth(&dt1, &dt2, CMP_LESSER); }), Err::InvalidCompare);
}

// ---- char! ---------------------------------------------------------------------------------------------------

TEST_F(Scalars, CharArithmeticStaysACodePoint) {
    struct Case {
        Action a;
        uint32_t c;
        Cell r;
        uint32_t expected;
        Err error;
    } cases[] = {
        {A_ADD, 'a', make_integer(1), 'b', Err::Count_},
        {A_SUBTRACT, 'a', make_integer(97), 0, Err::Count_},
        {A_SUBTRACT, 'a', make_integer(98), 0, Err::Overflow},
        {A_ADD, 0x10FFFF, make_integer(1), 0, Err::Overflow},
        {A_MULTIPLY, 'a', make_float(2.7), 194, Err::Count_},
        {A_DIVIDE, 'd', make_integer(2), 50, Err::Count_},
        {A_DIVIDE, 'a', make_integer(0), 0, Err::ZeroDivide},
        {A_AND, 'a', make_char('_'), 'A', Err::Count_},
        {A_ADD, 'a', make_float(1e20), 0, Err::Overflow},
        {A_ADD, 'a', make_none(), 0, Err::InvalidType},
    };
    for (const Case& c : cases) {
        Outcome o = math(c.a, make_char(c.c), c.r);
        EXPECT_EQ(o.error, c.error) << c.c;
        if (c.error != Err::Count_) continue;
        EXPECT_TRUE(o.value.is(T_CHAR));
        EXPECT_EQ(char_get(&o.value), c.expected);
    }
    EXPECT_EQ(mold(make_char('\n')), "#\"^/\"");
    EXPECT_EQ(mold(make_char(0xE9), true), "#\"^(E9)\"");
    EXPECT_EQ(mold(make_char('^')), "#\"^^\"");
    EXPECT_EQ(form(make_char('a')), "a");
}

// ---- conversions -------------------------------------------------------------------------------------------

Outcome convert(TypeId target, const Cell& spec) {
    Cell& proto = keep(make_datatype(target));
    Cell& s = keep(spec);
    Err e = raised([&] { to_typed(&proto, &s); });
    return {proto, e};
}

Cell str(const char* text) {
    std::vector<uint32_t> cps;
    for (const char* p = text; *p; ++p) cps.push_back(uint8_t(*p));
    return keep(test::text_of(T_STRING, cps, 1));   // kept: later values allocate
}

TEST_F(Scalars, ToInteger) {
    struct Case {
        Cell spec;
        int32_t expected;
        Err error;
    } cases[] = {
        {str("1'000"), 1000, Err::Count_},
        {str("+5"), 5, Err::Count_},
        {str(""), 0, Err::BadToArg},
        {str("12a"), 0, Err::BadToArg},
        {str("2147483648"), 0, Err::BadToArg},
        {str("-2147483648"), INT32_MIN, Err::Count_},
        {make_float(2147483647.5), 0, Err::TypeLimit},
        {make_float(-2.9), -2, Err::Count_},
        {make_float(std::nan("")), 0, Err::TypeLimit},
        {time_of(1.5), 2, Err::Count_},
        {time_of(-1.2), -1, Err::Count_},
        {time_of(-1.7), -2, Err::Count_},
        {time_of(1e10), 0, Err::TypeLimit},
        {make_char('A'), 65, Err::Count_},
        {make_none(), 0, Err::BadToArg},
    };
    for (const Case& c : cases) {
        Outcome o = convert(T_INTEGER, c.spec);
        EXPECT_EQ(o.error, c.error) << c.expected;
        if (c.error == Err::Count_) {
            EXPECT_EQ(integer_get_cell(&o.value), c.expected);
        }
    }
    // make differs from to for logic and numbers
    Cell& proto = keep(make_datatype(T_LOGIC));
    Cell& zero = keep(make_integer(0));
    to_typed(&proto, &zero);
    EXPECT_TRUE(logic_get(&proto));
    proto = make_datatype(T_LOGIC);
    make_typed(&proto, &zero);
    EXPECT_FALSE(logic_get(&proto));
}

TEST_F(Scalars, ToFloatCharAndTime) {
    Outcome o = convert(T_FLOAT, block({make_integer(2), make_integer(3)}));
    EXPECT_EQ(o.value.get_float(), 2000.0);
    EXPECT_EQ(convert(T_FLOAT, block({make_integer(1), make_integer(2), make_integer(3)})).error,
              Err::BadToArg);
    o = convert(T_FLOAT, str("1,5"));
    EXPECT_EQ(o.value.get_float(), 1.5);
    EXPECT_EQ(convert(T_FLOAT, str("x")).error, Err::BadToArg);

    EXPECT_EQ(convert(T_CHAR, str("abc")).value.data2, uint32_t('a'));
    EXPECT_EQ(convert(T_CHAR, str("")).error, Err::BadToArg);
    EXPECT_EQ(convert(T_CHAR, make_float(65.9)).value.data2, uint32_t('A'));
    EXPECT_EQ(convert(T_CHAR, make_integer(-1)).error, Err::OutOfRange);

    o = convert(T_TIME, block({make_integer(1), make_integer(2), make_integer(3)}));
    EXPECT_EQ(o.value.get_float(), 3723.0);
    o = convert(T_TIME, block({make_integer(-1), make_integer(30)}));
    EXPECT_EQ(o.value.get_float(), -5400.0);
    EXPECT_EQ(convert(T_TIME, block({make_integer(1), make_integer(-2)})).error, Err::BadToArg);
    EXPECT_EQ(convert(T_TIME, str("1:02:03")).value.get_float(), 3723.0);
    EXPECT_EQ(convert(T_TIME, str("abc")).error, Err::BadToArg);
    EXPECT_EQ(convert(T_TIME, str("1:0a")).error, Err::BadToArg);
    EXPECT_EQ(convert(T_TIME, block({make_integer(1), make_integer(2), make_integer(3),
                                     make_integer(4)})).error,
              Err::BadToArg);
}

// ---- time! --------------------------------------------------------------------------------------------------

TEST_F(Scalars, TimeText) {
    struct Case {
        double s;
        const char* text;
    } cases[] = {
        {3723.5, "1:02:03.5"}, {5, "0:00:05"},       {-5400, "-1:30:00"},
        {360000, "100:00:00"}, {0, "0:00:00"},       {59.9999999, "0:01:00"},
        {-1, "-0:00:01"},      {1e16, "2777777777777:46:40"}, {3599.9999999, "1:00:00"},
        {1.0 / 0.0, "1.#INF"}, {std::nan(""), "1.#NaN"},
    };
    for (const Case& c : cases) EXPECT_EQ(form(time_of(c.s)), c.text) << c.s;
}

TEST_F(Scalars, TimeFields) {
    Cell& t = keep(time_of(5445.5));   // 1:30:45.5
    Cell* h = time_get_field(&t, 1);
    EXPECT_EQ(integer_get_cell(h), 1);
    Cell* m = time_get_field(&t, 2);
    EXPECT_EQ(integer_get_cell(m), 30);
    Cell* s = time_get_field(&t, 3);
    EXPECT_EQ(s->get_float(), 45.5);
    Cell& neg = keep(time_of(-5400));
    EXPECT_EQ(integer_get_cell(time_get_field(&neg, 1)), -1);

    Cell& p = keep(time_of(3723));
    Cell& four = keep(make_integer(4));
    EXPECT_EQ(raised([&] { pick_typed(&p, &four); }), Err::OutOfRange);
    Cell& day = keep(*context_global_word(symbol_make("day")));
    EXPECT_EQ(raised([&] { pick_typed(&p, &day); }), Err::CannotUse);

    // setting a field through a path step
    Cell& u = keep(time_of(5400));
    Cell& minute = keep(*context_global_word(symbol_make("Minute")));
    Cell& fifteen = keep(make_integer(15));
    PathStep step{&minute, &fifteen, nullptr, nullptr, nullptr, 1, true, false, true};
    eval_path_typed(&u, step);
    EXPECT_EQ(integer_get_cell(&u), 15);   // the assigned value is the result

    // a time held by a word: the changed time is written back to the word
    Cell& t_word = keep(*context_add_global(symbol_make("t"), false, false));
    Cell start = time_of(5400);
    word_set(&t_word, &start);
    Cell& parent = keep(*word_get(&t_word));
    Cell& second = keep(*context_global_word(symbol_make("second")));
    Cell& seven = keep(make_float(7.5));
    Cell none = make_none();
    PathStep set_second{&second, &seven, nullptr, &none, &t_word, 1, true, false, true};
    eval_path_typed(&parent, set_second);
    EXPECT_EQ(parent.get_float(), 7.5);
    EXPECT_EQ(word_get(&t_word)->get_float(), 5407.5);
    EXPECT_TRUE(word_get(&t_word)->is(T_TIME));
}

// ---- typeset! and triple! --------------------------------------------------------------------------------

TEST_F(Scalars, TypesetText) {
    Cell ts = make_cell(T_TYPESET);
    EXPECT_EQ(mold(ts), "make typeset! []");
    typeset_add(&ts, T_INTEGER);
    typeset_add(&ts, T_FLOAT);
    EXPECT_EQ(mold(ts), "make typeset! [integer! float!]");
    EXPECT_EQ(form(ts), "make typeset! [integer! float!]");
    EXPECT_EQ(mold(ts, false, true), "integer! float!");
    // bit positions
    Cell b = make_cell(T_TYPESET);
    typeset_add(&b, T_BLOCK);
    EXPECT_EQ(b.data1 & 0xFF, 0x04u);
    Cell all;
    typeset_all(&all);
    EXPECT_FALSE(typeset_has(&all, T_UNSET));
    EXPECT_TRUE(typeset_has(&all, T_IMAGE));
    // set operations with a datatype
    Cell& left = keep(make_cell(T_TYPESET));
    typeset_add(&left, T_INTEGER);
    Cell& dt = keep(make_datatype(T_FLOAT));
    typeset_set_operation(&left, &dt, 9);
    EXPECT_EQ(typeset_count(&left), 2);
    typeset_set_operation(&left, &dt, 11);
    EXPECT_EQ(mold(left, false, true), "integer!");
    Cell& word = keep(*context_global_word(symbol_make("x")));
    EXPECT_EQ(raised([&] { typeset_set_operation(&left, &word, 9); }), Err::InvalidArg);

    Cell tr;
    triple_make_at(&tr, -1, 0, 2147483647);
    EXPECT_EQ(mold(tr), "make triple! [-1 0 2147483647]");
}

// ---- random ---------------------------------------------------------------------------------------------------

TEST_F(Scalars, RandomSequence) {
    random_seed(1);
    EXPECT_EQ(random_int(100, false), 78);
    EXPECT_EQ(random_int(100, false), 39);
    EXPECT_EQ(random_int(100, false), 79);
    random_seed(1);
    EXPECT_EQ(random_int(100, false), 78);   // reseeding repeats
    for (int i = 0; i < 5000; ++i) {
        ASSERT_GE(random_next(), 0);
        ASSERT_EQ(random_int(1, false), 1);
        ASSERT_EQ(random_int(-1, false), -1);
        int32_t r = random_int(-3, false);
        ASSERT_TRUE(r >= -3 && r <= -1);
        ASSERT_LT(random_int(INT32_MIN, false), 0);
    }
    EXPECT_EQ(random_int(0, false), 0);
    int32_t s = random_secure();
    EXPECT_GE(s, 0);
}

} // namespace
} // namespace kel

// The compound values through their C++ entry points: the standalone tuple scanner over every
// string unit width, the tuple constructors other subsystems call, the pair arithmetic that the
// language cannot reach (bitwise operations with a float operand) and the draws of random.
#include "datatypes/compound.h"

#include "core/errors.h"
#include "core/stack.h"
#include "datatypes/scalars.h"
#include "evaluator/actions.h"
#include "evaluator/random.h"
#include "runtime_fixture.h"
#include "test_values.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kel {
namespace {

using test::keep;
using test::raised;

class Compound : public test::RuntimeTest {};

std::vector<uint8_t> units_of(const std::string& text, uint32_t unit) {
    std::vector<uint8_t> out(text.size() * unit);
    for (size_t i = 0; i < text.size(); ++i) unit_put(out.data() + i * unit, unit, uint8_t(text[i]));
    return out;
}

std::vector<int> bytes_of(const Cell& t) {
    std::vector<int> out;
    for (uint32_t i = 0; i < tuple_length(&t); ++i) out.push_back(tuple_bytes(&t)[i]);
    return out;
}

TEST_F(Compound, ScanTupleEveryUnitWidth) {
    struct Case { const char* text; std::vector<int> bytes; };   // empty bytes: refused
    const Case cases[] = {
        {"1.2.3", {1, 2, 3}},
        {"255.0.0.128", {255, 0, 0, 128}},
        {"7", {7, 0, 0}},
        {"1.2", {1, 2, 0}},
        {"1.2.3.4.5.6.7.8.9.10.11.12", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"1.2.3.4.5.6.7.8.9.10.11.12.13", {}},
        {"1.256.3", {}},
        {"1..3", {}},
        {"1.2.", {}},
        {".1.2", {}},
        {"1.2.x", {}},
        {"", {}},
    };
    for (uint32_t unit : {1u, 2u, 4u}) {
        for (const Case& c : cases) {
            std::vector<uint8_t> text = units_of(c.text, unit);
            Cell result = make_none();
            int32_t error = 99;
            scan_tuple(text.data(), uint32_t(std::strlen(c.text)), unit, &error, &result);
            if (c.bytes.empty()) {
                EXPECT_EQ(error, -1) << c.text << " unit " << unit;
                EXPECT_TRUE(result.is(T_NONE)) << c.text;
            } else {
                EXPECT_EQ(error, 0) << c.text << " unit " << unit;
                ASSERT_TRUE(result.is(T_TUPLE)) << c.text;
                EXPECT_EQ(bytes_of(result), c.bytes) << c.text << " unit " << unit;
            }
        }
    }
    // a wide character whose low byte is "." never passes for one
    std::vector<uint8_t> wide = units_of("1.2.3", 2);
    unit_put(wide.data() + 2, 2, 0x012E);
    Cell result = make_none();
    int32_t error = 0;
    scan_tuple(wide.data(), 5, 2, &error, &result);
    EXPECT_EQ(error, -1);
}

TEST_F(Compound, TupleConstructors) {
    Cell c = make_none();
    tuple_rgba(&c, 10, 20, 30, -1);
    EXPECT_EQ(bytes_of(c), (std::vector<int>{10, 20, 30}));
    tuple_rgba(&c, 10, 20, 30, 255);
    EXPECT_EQ(bytes_of(c), (std::vector<int>{10, 20, 30, 255}));

    const int32_t values[] = {1, 258, -1};
    Cell* pushed = tuple_from_values(3, values);
    EXPECT_EQ(bytes_of(*pushed), (std::vector<int>{1, 2, 255}));
    stack_pop();

    const uint8_t two[] = {9, 9};
    Cell padded = make_tuple(two, 2);
    EXPECT_EQ(bytes_of(padded), (std::vector<int>{9, 9, 0}));
    EXPECT_EQ(padded.data2, 0u);   // bytes past the length are zero
    EXPECT_EQ(padded.data3, 0u);
    EXPECT_FALSE(tuple_zero(&padded));
    const uint8_t zeros[4] = {};
    Cell zero = make_tuple(zeros, 4);
    EXPECT_TRUE(tuple_zero(&zero));
}

TEST_F(Compound, PairBitwiseWithFloatTruncates) {
    struct Case { double operand; int32_t op; int32_t x, y; Err error; };
    const Case cases[] = {
        {1.5, OP_OR, 11, 21, Err::Count_},
        {-0.9, OP_AND, 0, 0, Err::Count_},
        {6.99, OP_XOR, 12, 18, Err::Count_},
        {3e10, OP_OR, 0, 0, Err::OutOfRange},
        {std::nan(""), OP_AND, 0, 0, Err::InvalidArg},
        {INFINITY, OP_XOR, 0, 0, Err::InvalidArg},
    };
    for (const Case& c : cases) {
        Cell& left = keep(make_pair(10, 20));
        Cell& right = keep(make_float(c.operand));
        Err e = raised([&] { pair_do_math(&left, &right, c.op); });
        EXPECT_EQ(int(e), int(c.error)) << c.operand;
        if (c.error != Err::Count_) continue;
        ASSERT_TRUE(left.is(T_PAIR)) << c.operand;
        EXPECT_EQ(pair_x(&left), c.x) << c.operand;
        EXPECT_EQ(pair_y(&left), c.y) << c.operand;
    }
}

TEST_F(Compound, RandomDrawsFromTheSharedGenerator) {
    // a seeded pair draws its components one after the other from the generator
    random_seed(1234);
    int32_t x = random_int(10, false), y = random_int(-20, false);
    Cell& seed = keep(make_pair(1234 ^ 7, 7));
    random_typed(&seed, true, false, false);
    EXPECT_TRUE(seed.is(T_UNSET));
    Cell& p = keep(make_pair(10, -20));
    random_typed(&p, false, false, false);
    EXPECT_EQ(pair_x(&p), x);
    EXPECT_EQ(pair_y(&p), y);

    // tuple bytes stay within 0 up to themselves, zero bytes stay zero
    const uint8_t bytes[4] = {0, 1, 100, 255};
    for (int round = 0; round < 200; ++round) {
        Cell& t = keep(make_tuple(bytes, 4));
        random_typed(&t, false, false, false);
        const uint8_t* b = tuple_bytes(&t);
        ASSERT_EQ(b[0], 0);
        ASSERT_LE(b[1], 1);
        ASSERT_LE(b[2], 100);
        stack_pop();
    }
}

} // namespace
} // namespace kel

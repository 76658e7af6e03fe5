// Tests of the conversions between doubles and decimal text: the layout of molded and limited
// floats, the digit strings and point positions, reading (specials, saturation, extra exponent,
// halfway cases, very long digit strings), the remainder count of malformed text, and a bit-exact
// round trip of a million random doubles.
#include "core/float-text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace kel {
namespace {

uint64_t bits_of(double d)
{
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

double from_bits(uint64_t b)
{
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

double read(const std::string& text, int extra = 0, int* remainder = nullptr)
{
    int rem = -1;
    double v = text_to_float(text.data(), text.data() + text.size(), extra, &rem);
    if (remainder) *remainder = rem;
    return v;
}

constexpr double inf = std::numeric_limits<double>::infinity();
const double min_subnormal = from_bits(1);

struct LayoutCase {
    double value;
    int max_digits;
    bool keep_point_zero;
    const char* text;
};

TEST(FloatToText, Layout)
{
    const LayoutCase cases[] = {
        // shortest digits, point-zero kept (the molded form)
        {0.1, 0, true, "0.1"},
        {1 / 3.0, 0, true, "0.3333333333333333"},
        {2 / 3.0, 0, true, "0.6666666666666666"},
        {1e17, 0, true, "1.0e17"},
        {1.5e17, 0, true, "1.5e17"},
        {1e16, 0, true, "10000000000000000.0"},
        {12345678901234568.0, 0, true, "12345678901234568.0"},
        {1e-7, 0, true, "0.0000001"},
        {1.5e-7, 0, true, "0.00000015"},
        {1e-8, 0, true, "1.0e-8"},
        {-1.25e-8, 0, true, "-1.25e-8"},
        {123456789.0, 0, true, "123456789.0"},
        {1200.0, 0, true, "1200.0"},
        {1e20, 0, true, "1.0e20"},
        {1.0, 0, true, "1.0"},
        {-1.5, 0, true, "-1.5"},
        {0.001, 0, true, "0.001"},
        {123.456, 0, true, "123.456"},
        {DBL_MAX, 0, true, "1.7976931348623157e308"},
        {-DBL_MAX, 0, true, "-1.7976931348623157e308"},
        {DBL_MIN, 0, true, "2.2250738585072014e-308"},
        {min_subnormal, 0, true, "5.0e-324"},
        {0.0, 0, true, "0.0"},
        {-0.0, 0, true, "-0.0"},
        // point-zero dropped
        {1200.0, 0, false, "1200"},
        {1e20, 0, false, "1e20"},
        {-1e-8, 0, false, "-1e-8"},
        {0.0, 0, false, "0"},
        {-0.0, 0, false, "-0"},
        {2.5, 0, false, "2.5"},
        // a digit limit rounds the exact value half to even
        {1.2345678, 6, false, "1.23457"},
        {0.5, 6, false, "0.5"},
        {2.0, 6, false, "2"},
        {2.0, 6, true, "2.0"},
        {12.5, 6, false, "12.5"},
        {2.5, 1, false, "2"},
        {3.5, 1, false, "4"},
        {0.125, 2, false, "0.12"},
        {0.375, 2, false, "0.38"},
        {9.9999996, 6, false, "10"},
        {-9.9999996, 6, true, "-10.0"},
        {123456789.0, 6, false, "123457000"},
        {1 / 3.0, 6, false, "0.333333"},
        {59.9999999, 6, false, "60"},
        {1e17, 6, false, "1e17"},
        {min_subnormal, 6, false, "5e-324"},
        {0.1, 22, true, "0.1"},          // the shortest form fits: no exact-value digits
        {1 / 3.0, 22, true, "0.3333333333333333"},
        // specials are the same whatever the flags
        {inf, 0, true, "1.#INF"},
        {-inf, 6, false, "-1.#INF"},
        {std::numeric_limits<double>::quiet_NaN(), 0, true, "1.#NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), 6, false, "1.#NaN"},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(std::string("expect ") + c.text);
        EXPECT_STREQ(float_to_text(c.value, c.max_digits, c.keep_point_zero), c.text);
        char out[float_text_size];
        int len = float_to_text(c.value, c.max_digits, c.keep_point_zero, out);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(len, static_cast<int>(std::strlen(c.text)));
    }
}

struct DigitsCase {
    double value;
    int max_digits;
    bool zero_form;
    const char* digits;
    int point;
    int sign;
    int count;
};

TEST(FloatToDigits, DigitsPointSignCount)
{
    const DigitsCase cases[] = {
        {0.1, 0, true, "1", 0, 0, 1},
        {-123.456, 0, true, "123456", 3, 1, 6},
        {1e17, 0, true, "1", 18, 0, 1},
        {1e-8, 0, true, "1", -7, 0, 1},
        {1200.0, 0, true, "12", 4, 0, 2},
        {DBL_MAX, 0, true, "17976931348623157", 309, 0, 17},
        {min_subnormal, 0, true, "5", -323, 0, 1},
        {min_subnormal, 6, true, "5", -323, 0, 1},
        {DBL_MAX, 6, true, "179769", 309, 0, 6},
        {0.1 + 0.2, 0, true, "30000000000000004", 0, 0, 17},
        {0.1 + 0.2, 16, true, "3", 0, 0, 1},     // rounded to 16 digits, zeros dropped
        {-999.9999, 4, true, "1", 4, 1, 1},      // carry into a new leading digit
        {0.0, 0, true, "0.0", float_point_zero, 0, 3},
        {-0.0, 0, true, "-0.0", float_point_zero, 1, 4},
        {0.0, 0, false, "0", float_point_zero, 0, 1},
        {-0.0, 0, false, "-0", float_point_zero, 1, 2},
        {inf, 0, true, "1.#INF", float_point_special, 0, 6},
        {-inf, 0, true, "-1.#INF", float_point_special, 1, 7},
        {std::numeric_limits<double>::quiet_NaN(), 0, true, "1.#NaN", float_point_special, 0, 6},
    };
    for (const DigitsCase& c : cases) {
        SCOPED_TRACE(std::string("expect ") + c.digits);
        int point = -1, sign = -1, count = -1;
        EXPECT_STREQ(float_to_digits(c.value, c.max_digits, &point, &sign, &count, c.zero_form),
                     c.digits);
        EXPECT_EQ(point, c.point);
        EXPECT_EQ(sign, c.sign);
        EXPECT_EQ(count, c.count);
    }
}

struct ReadCase {
    const char* text;
    int extra;
    double value;
};

TEST(TextToFloat, WellFormedTextReadsWhole)
{
    const double one_up = std::nextafter(1.0, 2.0);
    const std::string halfway_above_one = "1.00000000000000011102230246251565404236316680908203125";
    const std::string long_zeros(1000, '0');
    const ReadCase cases[] = {
        {"0.1", 0, 0.1},
        {"2.5e-3", 0, 0.0025},
        {"0001.5000", 0, 1.5},
        {"+1.5", 0, 1.5},
        {"-1.5", 0, -1.5},
        {".5", 0, 0.5},
        {"5.", 0, 5.0},
        {"0", 0, 0.0},
        {"1E3", 0, 1000.0},
        {"1e+3", 0, 1000.0},
        {"12345e-2", 0, 123.45},
        {"0.000000000000000000000000000001234", 0, 1.234e-30},
        {"1.0e-8", 0, 1e-8},
        {"123456789012345678901234567890", 0, 123456789012345678901234567890.0},
        {"1.7976931348623157e308", 0, DBL_MAX},
        {"1.7976931348623158e308", 0, DBL_MAX},    // below the halfway point to 2^1024
        {"1.7976931348623159e308", 0, inf},        // above it
        {"2.2250738585072014e-308", 0, DBL_MIN},
        {"4.9406564584124654e-324", 0, min_subnormal},
        {"5e-324", 0, min_subnormal},
        {"2.4703282292062328e-324", 0, min_subnormal},  // just above half the smallest
        {"2.4703282292062327e-324", 0, 0.0},            // just below it
        {"1e400", 0, inf},
        {"-1e400", 0, -inf},
        {"1e-400", 0, 0.0},
        {"1e99999999999", 0, inf},
        {"1e-99999999999", 0, 0.0},
        {"0e99999999999", 0, 0.0},
        {"1e2147483648", 0, inf},                  // would wrap to a negative exponent in 32 bits
        {"1e4294967297", 0, inf},                  // would wrap to e1 in 32 bits
        // the extra exponent adds to the written one
        {"15", -1, 1.5},
        {"1.5e3", 2, 150000.0},
        {"1e308", 10, inf},
        {"1e-300", -30, 0.0},
        {"1e-300", 2147483647, inf},
        {"1e300", -2147483647 - 1, 0.0},
        // ties to even, and exactness past any fixed digit count
        {"9007199254740993", 0, 9007199254740992.0},
        {"9007199254740995", 0, 9007199254740996.0},
        {halfway_above_one.c_str(), 0, 1.0},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.text);
        int rem = -1;
        double v = read(c.text, c.extra, &rem);
        EXPECT_EQ(bits_of(v), bits_of(c.value)) << v;
        EXPECT_EQ(rem, 0);
    }

    // Digit strings longer than the cut: the digits far to the right still decide the rounding.
    int rem = -1;
    EXPECT_EQ(read(halfway_above_one + long_zeros, 0, &rem), 1.0);
    EXPECT_EQ(rem, 0);
    EXPECT_EQ(read(halfway_above_one + long_zeros + "1", 0, &rem), one_up);
    EXPECT_EQ(read("0.9999999999999999444888487687421729788184165954589843749" + long_zeros + "9"),
              std::nextafter(1.0, 0.0));  // just below the halfway point under 1.0
    EXPECT_EQ(read("0.99999999999999994448884876874217297881841659545898437501" + long_zeros),
              1.0);
    EXPECT_EQ(read("1" + long_zeros, -1000), 1.0);
    EXPECT_EQ(read("1" + std::string(300, '0')), 1e300);
    EXPECT_EQ(read("1" + long_zeros), inf);
    EXPECT_EQ(read("0." + long_zeros + "1", 1000), 0.1);
    EXPECT_EQ(read("0." + long_zeros + "1"), 0.0);
}

TEST(TextToFloat, SignedZerosAndSpecials)
{
    struct Case {
        const char* text;
        uint64_t bits;
    } cases[] = {
        {"-0.0", 0x8000000000000000ull},
        {"-0", 0x8000000000000000ull},
        {"-1e-400", 0x8000000000000000ull},
        {"0.0", 0},
        {"1.#INF", 0x7FF0000000000000ull},
        {"1.#inf", 0x7FF0000000000000ull},
        {"+1.#INF", 0x7FF0000000000000ull},
        {"-1.#inf", 0xFFF0000000000000ull},
        {"-1.#INF", 0xFFF0000000000000ull},
        {"1.#I", 0x7FF0000000000000ull},     // only the first letter is looked at
        {"1.#NaN", 0x7FF8000000000000ull},
        {"1.#nan", 0x7FF8000000000000ull},
        {"-1.#NaN", 0x7FF8000000000000ull},
        {"1.#Nope", 0x7FF8000000000000ull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int rem = -1;
        EXPECT_EQ(bits_of(read(c.text, 0, &rem)), c.bits);
        EXPECT_EQ(rem, 0);
    }
}

TEST(TextToFloat, RemainderCountsUnreadCharacters)
{
    struct Case {
        const char* text;
        double value;
        int remainder;
    } cases[] = {
        {"1.5x", 1.5, 1},
        {"1e", 1.0, 1},        // "e" without digits is not read
        {"1e+", 1.0, 2},
        {"2E-x", 2.0, 3},
        {"1e5z", 1e5, 1},
        {"1.2.3", 1.2, 2},
        {"1,5", 1.0, 2},
        {"12.#INF", 12.0, 4},  // more than one digit before ".#": not a special form
        {"1.#", 1.0, 1},
        {"1.#X", 1.0, 2},
        {"abc", 0.0, 3},       // no digit: nothing is read
        {"+", 0.0, 1},
        {"-", 0.0, 1},
        {".", 0.0, 1},
        {"-.e5", 0.0, 4},
        {"--1", 0.0, 3},
        {" 1", 0.0, 2},
        {"1 ", 1.0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int rem = -1;
        EXPECT_EQ(read(c.text, 0, &rem), c.value);
        EXPECT_EQ(rem, c.remainder);
    }

    // The end bound is honoured: digits past it are not read.
    const char text[] = "12345";
    int rem = -1;
    EXPECT_EQ(text_to_float(text, text + 3, 0, &rem), 123.0);
    EXPECT_EQ(rem, 0);
}

TEST(FloatTextRoundTrip, EdgeValuesReadBackExactly)
{
    const double values[] = {
        DBL_MAX, -DBL_MAX, DBL_MIN, min_subnormal, -min_subnormal, std::nextafter(DBL_MIN, 0.0),
        0.1, 1 / 3.0, 1e17, 1e16, 1e-7, 1e-8, 123456789.0, 9007199254740993.0, 5e-324 * 3,
        std::nextafter(1e17, 0.0), std::nextafter(1e-7, 0.0), 1e23, 8.41e21, 5.0e-310,
    };
    for (double v : values) {
        const char* text = float_to_text(v, 0, true);
        SCOPED_TRACE(text);
        std::string copy = text;
        int rem = -1;
        EXPECT_EQ(bits_of(read(copy, 0, &rem)), bits_of(v));
        EXPECT_EQ(rem, 0);
    }
}

TEST(FloatTextRoundTrip, MillionRandomDoublesBitForBit)
{
    std::mt19937_64 rng(20240611);
    int checked = 0;
    int failures = 0;
    char text[float_text_size];
    while (checked < 1'000'000) {
        double v = from_bits(rng());
        if (!std::isfinite(v)) continue;
        // Alternate the two forms so both the static and the caller buffer are exercised.
        const char* t = text;
        int len;
        if (checked & 1) {
            len = float_to_text(v, 0, true, text);
        } else {
            t = float_to_text(v, 0, true);
            len = static_cast<int>(std::strlen(t));
        }
        int rem = -1;
        double back = text_to_float(t, t + len, 0, &rem);
        if (bits_of(back) != bits_of(v) || rem != 0) {
            if (++failures <= 10)
                ADD_FAILURE() << "bits " << std::hex << bits_of(v) << " -> " << t
                              << " -> bits " << bits_of(back) << std::dec << " rem " << rem;
        }
        ++checked;
    }
    EXPECT_EQ(failures, 0);
}

} // namespace
} // namespace kel

// The output capacity enbase sets aside: exact in 64 bits for every base, so that an input whose
// text would not fit 32 bits is refused (too-long) instead of wrapping to a small buffer.
#include "evaluator/natives-encoding.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kel {
namespace {

struct CapacityCase {
    int32_t base;
    uint64_t n;
    int64_t capacity;
};

TEST(EnbaseCapacity, FollowsTheFormulaOfEachBase) {
    const CapacityCase cases[] = {
        {2, 0, 4},         {2, 1, 12},          {2, 8, 70},         {2, 100, 828},
        {16, 0, 32},       {16, 1, 34},         {16, 32, 97},       {16, 100, 235},
        {58, 0, 1},        {58, 1, 3},          {58, 12, 25},       {58, 100, 201},
        {64, 0, 5},        {64, 1, 6},          {64, 2, 7},         {64, 3, 9},
        {64, 32, 49},      {64, 100, 144},
    };
    for (const CapacityCase& c : cases)
        EXPECT_EQ(enbase_capacity(c.base, c.n), c.capacity) << "base " << c.base << " n " << c.n;
}

TEST(EnbaseCapacity, UnknownBaseHasNone) {
    for (int32_t base : {0, 1, 8, 10, 32, 57, 59, 63, 65, -64}) EXPECT_EQ(enbase_capacity(base, 10), -1) << base;
}

// Each base's largest input that still fits 32 bits and the next one up: a 32-bit computation
// of these wraps around to a small number, which is exactly the fault the 64-bit one avoids.
TEST(EnbaseCapacity, ComputedIn64BitsAgainstThe32BitBound) {
    struct Bound {
        int32_t base;
        uint64_t last_fitting;
    };
    const Bound bounds[] = {{2, 520602095}, {16, 2114445422}, {58, 2147483647}, {64, 3076991492}};
    for (const Bound& b : bounds) {
        int64_t fits = enbase_capacity(b.base, b.last_fitting);
        int64_t over = enbase_capacity(b.base, b.last_fitting + 1);
        EXPECT_LE(uint64_t(fits), ENBASE_MAX_CAPACITY) << "base " << b.base;
        EXPECT_GT(uint64_t(over), ENBASE_MAX_CAPACITY) << "base " << b.base;
    }
    // the largest input a series can hold, in every base
    for (int32_t base : {2, 16, 58, 64}) EXPECT_GT(uint64_t(enbase_capacity(base, 0xFFFFFFFFull)), ENBASE_MAX_CAPACITY);
    EXPECT_EQ(enbase_capacity(2, 0xFFFFFFFFull), int64_t(0xFFFFFFFFull * 8 + (0xFFFFFFFFull / 8) * 2 + 4));
}

} // namespace
} // namespace kel

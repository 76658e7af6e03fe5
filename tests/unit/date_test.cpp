// The calendar helpers of date!: day numbers round-trip over every day of years -9999..9999,
// consecutive days stay consecutive, weekdays cycle, and ISO week counts match the rule that a
// year has 53 weeks when it starts on a Thursday (or on a Wednesday in a leap year).
#include "datatypes/date.h"


#include <gtest/gtest.h>

namespace kel {
namespace {


TEST(Date, EveryDayRoundTripsThroughItsDayNumber) {
    int64_t expected = date_to_days(date_pack(-9999, 1, 1, 0, false));
    for (int32_t year = -9999; year <= 9999; ++year) {
        for (int32_t month = 1; month <= 12; ++month) {
            for (int32_t day = 1; day <= month_length(year, month); ++day) {
                uint32_t w = date_pack(year, month, day, 0, false);
                int64_t n = date_to_days(w);
                ASSERT_EQ(n, expected) << year << "-" << month << "-" << day;
                ASSERT_EQ(days_to_date(n, 0, false), w) << year << "-" << month << "-" << day;
                ++expected;
            }
        }
    }
}

TEST(Date, KnownDaysAndWeekdays) {
    EXPECT_EQ(date_to_days(date_pack(0, 3, 1, 0, false)), 0);
    EXPECT_EQ(date_to_days(date_pack(0, 2, 29, 0, false)), -1);   // year 0 is a leap year
    // 1 January 1970 was a Thursday: (days + 2) mod 7 counts from Monday = 0
    int64_t n = date_to_days(date_pack(1970, 1, 1, 0, false));
    EXPECT_EQ(((n + 2) % 7 + 7) % 7, 3);
    int64_t m = date_to_days(date_pack(-1, 12, 31, 0, false));
    EXPECT_EQ(date_to_days(date_pack(0, 1, 1, 0, false)) - m, 1);
}

TEST(Date, IsoWeeksPerYear) {
    for (int32_t year = -400; year <= 2400; ++year) {
        int64_t jan1 = date_to_days(date_pack(year, 1, 1, 0, false));
        int64_t weekday = ((jan1 + 2) % 7 + 7) % 7;   // 0 = Monday
        bool long_year = weekday == 3 || (weekday == 2 && leap_year(year));
        EXPECT_EQ(date_iso_weeks_in_year(year), long_year ? 53 : 52) << year;
    }
}

TEST(Date, ZoneBitsKeepTheSignOfTheWholeOffset) {
    struct { int32_t minutes; int32_t seconds; } cases[] = {
        {-30, -1800}, {330, 19800}, {345, 20700}, {-210, -12600}, {0, 0}, {900, 54000},
    };
    for (auto& c : cases) EXPECT_EQ(date_zone_seconds(date_zone_bits(c.minutes)), c.seconds) << c.minutes;
}

TEST(Date, NormalisingKeepsTheLocalTimeWithinTheDay) {
    uint32_t zone = date_zone_bits(-210);
    for (double t : {-200000.0, -1.0, 0.0, 12599.0, 12600.0, 86399.0, 86400.0, 1e6}) {
        double time = t;
        int64_t days = date_normalize_time(1000, &time, zone);
        double local = time + date_zone_seconds(zone);
        EXPECT_GE(local, 0.0) << t;
        EXPECT_LT(local, 86400.0) << t;
        EXPECT_DOUBLE_EQ(double(days) * 86400.0 + time, 1000 * 86400.0 + t) << t;
    }
}

} // namespace
} // namespace kel

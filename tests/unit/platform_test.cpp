// Platform services: zone packing, date packing, sleeping, time of day, environment and the
// current directory.
#include "core/platform.h"
#include "core/runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using namespace kel;

namespace {

struct ZoneCase {
    int offset_minutes;
    uint32_t hour_field;
    uint32_t quarter;
};

TEST(DateZone, PacksSignAndMagnitude) {
    const ZoneCase cases[] = {
        {0, 0x00, 0},
        {-210, 0x13, 2},         // -3:30
        {345, 0x05, 3},          // +5:45
        {-225, 0x13, 3},         // -3:45
        {-30, 0x10, 2},          // -0:30
        {-45, 0x10, 3},          // -0:45
        {60, 0x01, 0},           // +1:00
        {-60, 0x11, 0},          // -1:00
        {15 * 60 + 45, 0x0F, 3}, // +15:45
        {-(15 * 60 + 45), 0x1F, 3},
    };
    for (const ZoneCase& c : cases) {
        uint32_t zone = date_zone_pack(c.offset_minutes);
        EXPECT_EQ(zone >> 2, c.hour_field) << "offset " << c.offset_minutes;
        EXPECT_EQ(zone & 3, c.quarter) << "offset " << c.offset_minutes;
        EXPECT_EQ(date_zone_unpack(zone), c.offset_minutes);
    }
}

TEST(DateZone, EveryQuarterHourRoundTrips) {
    for (int m = -(15 * 60 + 45); m <= 15 * 60 + 45; m += 15) {
        uint32_t zone = date_zone_pack(m);
        EXPECT_LT(zone, 0x80u) << m;
        EXPECT_EQ(date_zone_unpack(zone), m);
    }
}

TEST(DateZone, CutsTowardZeroAndClamps) {
    const int cases[][2] = {
        {5 * 60 + 50, 5 * 60 + 45},
        {-20, -15},
        {-10, 0},
        {16 * 60, 15 * 60 + 45},         // would otherwise spill into the sign bit
        {-16 * 60, -(15 * 60 + 45)},
        {INT_MIN, -(15 * 60 + 45)},
    };
    for (const auto& c : cases) EXPECT_EQ(date_zone_unpack(date_zone_pack(c[0])), c[1]) << c[0];
}

// Sets TZ for the life of the object and restores the previous zone.
class ScopedZone {
public:
    explicit ScopedZone(const char* tz) {
        const char* old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedZone() {
        if (had_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST(DateNow, PacksKnownDate) {
    EXPECT_EQ(date_pack(2024, 2, 29, 0), (2024u << 17) | (2u << 12) | (29u << 7));
    EXPECT_EQ(date_pack(2024, 2, 29, 0), 265301632u);
    EXPECT_EQ(date_pack(1999, 12, 31, date_zone_pack(-210)) & 0x7F, (0x13u << 2) | 2);
}

// The packed local date of now must match the local calendar date and carry the zone's offset.
void expect_local_date(const char* tz, int offset_minutes) {
    ScopedZone zone(tz);
    for (int attempt = 0; attempt < 3; attempt++) {
        time_t before = time(nullptr);
        uint32_t packed = os_date_now(false);
        time_t after = time(nullptr);
        if (before != after) continue;  // crossed a second: a date change may lie between
        struct tm tm {};
        localtime_r(&before, &tm);
        EXPECT_EQ(packed >> 17, uint32_t(tm.tm_year + 1900)) << tz;
        EXPECT_EQ((packed >> 12) & 0x1F, uint32_t(tm.tm_mon + 1)) << tz;
        EXPECT_EQ((packed >> 7) & 0x1F, uint32_t(tm.tm_mday)) << tz;
        EXPECT_EQ(date_zone_unpack(packed & 0x7F), offset_minutes) << tz;
        return;
    }
    FAIL() << "the clock kept moving";
}

TEST(DateNow, LocalDateCarriesTheZoneOffset) {
    expect_local_date("UTC", 0);
    expect_local_date("XST+3:30", -210);   // POSIX zones count west as positive
    expect_local_date("NPT-5:45", 345);
    expect_local_date("YST+3:45", -225);
    expect_local_date("ZST+0:30", -30);
}

TEST(DateNow, UtcDateHasNoZone) {
    ScopedZone zone("NPT-5:45");
    time_t now = time(nullptr);
    uint32_t packed = os_date_now(true);
    struct tm tm {};
    gmtime_r(&now, &tm);
    EXPECT_EQ(packed & 0x7F, 0u);
    EXPECT_EQ(packed >> 17, uint32_t(tm.tm_year + 1900));
}

TEST(Sleep, MillisecondsAreTruncatedAndClamped) {
    const struct {
        double seconds;
        int64_t ms;
    } cases[] = {
        {0.0001, 1}, {0.0015, 1}, {0.0025, 2}, {0.0, 1}, {-3.0, 1}, {NAN, 1},
        {2.5, 2500}, {1e300, INT32_MAX}, {INFINITY, INT32_MAX}, {3e6, INT32_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(os_sleep_millis(c.seconds), c.ms) << c.seconds;
}

double elapsed_ms(void (*fn)(double), double arg) {
    auto t0 = std::chrono::steady_clock::now();
    fn(arg);
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

TEST(Sleep, ShortSleepsTakeOneMillisecond) {
    // the length is asserted through os_sleep_millis; elapsed time is only a lower bound, as a
    // loaded machine may wake the sleeper late
    for (double s : {0.0001, 0.0015}) {
        EXPECT_EQ(os_sleep_millis(s), 1) << s;
        EXPECT_GE(elapsed_ms(os_sleep, s), 1.0) << s;
    }
}

void on_alarm(int) {}

TEST(Sleep, SignalDoesNotCutItShort) {
    struct sigaction sa {}, old {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: nanosleep sees EINTR
    sigaction(SIGALRM, &sa, &old);
    struct itimerval timer {};
    timer.it_value.tv_usec = 5000;  // 5 ms, then every 5 ms
    timer.it_interval.tv_usec = 5000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    double ms = elapsed_ms(os_sleep, 0.06);
    struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GE(ms, 60.0);
}

void request_halt(int) { g_halt_requested = 1; }

TEST(Sleep, AHaltRequestCutsItShort) {
    struct sigaction sa {}, old {};
    sa.sa_handler = request_halt;   // as the interrupt handler does while the console evaluates
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, &old);
    struct itimerval timer {};
    timer.it_value.tv_usec = 20000;
    // Timed from before the alarm is set, so the alarm cannot come before the clock starts. On a
    // loaded machine it may come before the sleep starts: the sleep must still end early.
    auto start = std::chrono::steady_clock::now();
    setitimer(ITIMER_REAL, &timer, nullptr);
    os_sleep(60.0);   // a minute's sleep: cut short, it ends far sooner however loaded the machine is
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    sigaction(SIGALRM, &old, nullptr);
    bool requested = g_halt_requested;
    g_halt_requested = 0;
    EXPECT_TRUE(requested);
    EXPECT_GE(ms, 15.0);
    EXPECT_LT(ms, 30000.0);
}

TEST(Sleep, AHaltRequestedBeforeItEndsItToo) {
    // An interrupt that lands between the evaluator's poll and the sleep brings no EINTR.
    g_halt_requested = 1;
    double ms = elapsed_ms(os_sleep, 60.0);
    g_halt_requested = 0;
    EXPECT_LT(ms, 30000.0);
}

TEST(TimeOfDay, WholeUnlessPrecise) {
    double whole = os_time_of_day(false);
    EXPECT_EQ(whole, std::floor(whole));
    EXPECT_GE(whole, 0.0);
    EXPECT_LT(whole, 86400.0);

    // The precise value has a fraction most of the time; it may be whole by chance, rarely twice.
    bool fraction_seen = false;
    for (int i = 0; i < 3 && !fraction_seen; i++) {
        double precise = os_time_of_day(true);
        EXPECT_GE(precise, 0.0);
        EXPECT_LT(precise, 86400.0);
        fraction_seen = precise != std::floor(precise);
        os_sleep(0.001);
    }
    EXPECT_TRUE(fraction_seen);

    time_t now = time(nullptr);
    double expected = double(now % 86400);
    double got = os_time_of_day(false);
    double diff = std::fabs(got - expected);
    EXPECT_TRUE(diff <= 1.0 || diff >= 86399.0) << got << " vs " << expected;
}

TEST(Environment, RoundTripsUtf8) {
    const std::string name = "KEL_PLATFORM_TEST_VAR";
    const std::string values[] = {"plain", "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93", "\xF0\x9F\x98\x80",
                                  "a=b", ""};
    for (const std::string& v : values) {
        ASSERT_TRUE(os_set_env(name, v));
        std::optional<std::string> got = os_get_env(name);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, v);
    }
    unsetenv(name.c_str());
    EXPECT_FALSE(os_get_env(name).has_value());
    EXPECT_FALSE(os_set_env("", "x"));
    EXPECT_FALSE(os_set_env("A=B", "x"));
}

TEST(CurrentDir, ChangesAndReportsUtf8Path) {
    std::string before = os_get_current_dir();
    ASSERT_FALSE(before.empty());

    char tmpl[] = "/tmp/kel-platform-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = std::string(tmpl) + "/d\xC3\xAF" "r \xE2\x9C\x93";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    char* real = realpath(dir.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    std::string resolved = real;
    free(real);

    EXPECT_TRUE(platform_set_current_dir(dir));
    EXPECT_EQ(os_get_current_dir(), resolved);
    EXPECT_FALSE(platform_set_current_dir(dir + "/missing"));
    EXPECT_EQ(os_get_current_dir(), resolved);

    EXPECT_TRUE(platform_set_current_dir(before));
    EXPECT_EQ(os_get_current_dir(), before);
    rmdir(dir.c_str());
    rmdir(tmpl);
}

} // namespace

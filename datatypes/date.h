// date!: a calendar date with an optional time of day and time zone, in one value cell.
//
// Word 1 is the packed date word: bits 0-1 zone quarter hours, 2-5 zone hours, 6 zone sign (west
// of UTC), 7-11 day, 12-15 month, 16 the has-time flag, 17-31 the signed year (-16384..16383).
// Words 2-3 are the time of day in seconds (a double), held as universal time relative to the
// local midnight of the date: 0 <= time + zone offset < 86400, and the day fields name the local
// date. A date without a time holds time 0.0.
//
// Day numbers count days on the proleptic Gregorian calendar from 1 March of year 0 (day 0),
// with floor division throughout, so days before it are negative and every day round-trips.
#pragma once

#include "core/cell.h"

#include <cstdint>

namespace kel {

constexpr uint32_t DATE_ZONE_MASK = 0x7F;
constexpr uint32_t DATE_ZONE_WEST = 0x40;
constexpr uint32_t DATE_HAS_TIME = 1u << 16;
constexpr int32_t DATE_YEAR_MIN = -16384;
constexpr int32_t DATE_YEAR_MAX = 16383;

inline int32_t date_year(uint32_t w) { return int32_t(w) >> 17; }
inline int32_t date_month(uint32_t w) { return int32_t((w >> 12) & 15); }
inline int32_t date_day(uint32_t w) { return int32_t((w >> 7) & 31); }
inline bool date_has_time(uint32_t w) { return (w & DATE_HAS_TIME) != 0; }
inline uint32_t date_word(const Cell* c) { return c->data1; }
inline double date_time(const Cell* c) { return c->get_float(); }

bool leap_year(int32_t year);
int32_t month_length(int32_t year, int32_t month);   // 28-31

// The zone's offset from UTC in seconds.
int32_t date_zone_seconds(uint32_t w);
// Zone bits from a signed offset in minutes (the sign is the whole offset's); hours above 15 are
// the caller's to refuse.
uint32_t date_zone_bits(int32_t offset_minutes);

// A packed word; a year outside -16384..16383 raises script type-limit naming date!.
uint32_t date_pack(int32_t year, int32_t month, int32_t day, uint32_t zone_bits, bool has_time);
int64_t date_to_days(uint32_t w);
uint32_t days_to_date(int64_t days, uint32_t zone_bits, bool has_time);
// Carries whole days out of the stored time so that 0 <= time + offset < 86400.
int64_t date_normalize_time(int64_t days, double* time, uint32_t zone_bits);

void date_set(Cell* c, uint32_t w, double time);
Cell* date_push(uint32_t w, double time);
// A date from its local parts: with has_time the local time becomes universal time with the zone
// (given in signed minutes); without it the time is 0.0 and the zone 0.
void date_from_parts(Cell* c, int32_t year, int32_t month, int32_t day, double time, int32_t zone_minutes,
                     bool has_time);
// A date with a time and zone 0 from universal fields.
void date_from_utc_fields(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                          int32_t second, int64_t nanoseconds);
// The universal day count and time of day (0 <= time < 86400) of a date: the instant it names.
int64_t date_utc_days(const Cell* c, double* time);
// Seconds since 1970-01-01 (the zone is not applied); type-limit naming integer! outside int32.
int32_t date_to_epoch(const Cell* c);
// Turns a into the time! a - b.
void date_difference(Cell* a, const Cell* b);
// add and subtract with a date on the left: days (integer!), a time!, or (subtract) another date.
void date_math(Cell* date, const Cell* operand, bool subtract);
// Sets the date to the Monday of ISO week n of its year, then to weekday 1-7 of that week.
void date_set_iso_week(Cell* c, int32_t week, int32_t weekday);
// The number of ISO weeks (52 or 53) of a year.
int32_t date_iso_weeks_in_year(int32_t year);

} // namespace kel

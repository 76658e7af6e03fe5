// date!: the calendar helpers on the packed date word and the type's actions (make, to, form,
// mold, path fields, pick, compare, add, subtract, random).
//
// Layout and day numbers are described in datatypes/date.h. Every operation that changes a date
// ends by normalising: whole days are carried out of the stored time into the day count, so the
// local time of day stays within 0:00-23:59:59 and the day fields name the local date.
//
// Dates compare as instants (both carried to universal time first); same? compares the fields and
// the stored time's bits. Text is day-Mon-year[/time[+hh:mm]], with "/" as the separator for
// years before 0, the month names taken from system/locale/months.
#include "datatypes/date.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/datatype.h"
#include "datatypes/object.h"
#include "datatypes/scalars.h"
#include "datatypes/words.h"
#include "evaluator/actions.h"
#include "evaluator/random.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace kel {

namespace {

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

int64_t year_days(int64_t y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }

constexpr int64_t SECONDS_PER_DAY = 86400;

[[noreturn]] void fire_date_limit() {
    Cell d = make_datatype(T_DATE);
    fire_error(Err::TypeLimit, &d);
}

} // namespace

// ---- calendar helpers -------------------------------------------------------------------------------

bool leap_year(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t month_length(int32_t year, int32_t month) {
    static const int8_t k_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : k_days[(month - 1) % 12];
}

int32_t date_zone_seconds(uint32_t w) {
    int32_t s = int32_t((w >> 2) & 15) * 3600 + int32_t(w & 3) * 900;
    return (w & DATE_ZONE_WEST) ? -s : s;
}

uint32_t date_zone_bits(int32_t offset_minutes) {
    uint32_t sign = offset_minutes < 0 ? DATE_ZONE_WEST : 0;
    uint32_t m = uint32_t(offset_minutes < 0 ? -int64_t(offset_minutes) : offset_minutes);
    uint32_t hours = m / 60;
    if (hours > 15) hours = 15;   // callers refuse larger zones first
    return sign | hours << 2 | ((m % 60) / 15);
}

uint32_t date_pack(int32_t year, int32_t month, int32_t day, uint32_t zone_bits, bool has_time) {
    if (year < DATE_YEAR_MIN || year > DATE_YEAR_MAX) fire_date_limit();
    return uint32_t(year) << 17 | (has_time ? DATE_HAS_TIME : 0) | uint32_t(month) << 12 | uint32_t(day) << 7 |
           (zone_bits & DATE_ZONE_MASK);
}

int64_t date_to_days(uint32_t w) {
    int64_t m = (date_month(w) + 9) % 12;
    int64_t y = date_year(w) - m / 10;
    return year_days(y) + (306 * m + 5) / 10 + (date_day(w) - 1);
}

uint32_t days_to_date(int64_t n, uint32_t zone_bits, bool has_time) {
    int64_t f = floor_div(10000 * n + 14780, 3652425);
    int64_t g = n - year_days(f);
    if (g < 0) {
        --f;
        g = n - year_days(f);
    }
    int64_t l = (100 * g + 52) / 3060;
    int64_t year = f + (l + 2) / 12;
    int64_t month = (l + 2) % 12 + 1;
    int64_t day = g - (306 * l + 5) / 10 + 1;
    if (year < DATE_YEAR_MIN || year > DATE_YEAR_MAX) fire_date_limit();
    return date_pack(int32_t(year), int32_t(month), int32_t(day), zone_bits, has_time);
}

int64_t date_normalize_time(int64_t days, double* time, uint32_t zone_bits) {
    double offset = date_zone_seconds(zone_bits);
    double local = *time + offset;
    if (!std::isfinite(local)) fire_date_limit();
    double k = std::floor(local / double(SECONDS_PER_DAY));
    if (std::fabs(k) > 1e7) fire_date_limit();
    *time -= k * double(SECONDS_PER_DAY);
    days += int64_t(k);
    if (*time + offset < 0) {
        *time += double(SECONDS_PER_DAY);
        --days;
    } else if (*time + offset >= double(SECONDS_PER_DAY)) {
        *time -= double(SECONDS_PER_DAY);
        ++days;
    }
    return days;
}

void date_set(Cell* c, uint32_t w, double time) {
    *c = Cell{T_DATE, w, 0, 0};
    c->put_float(time);
}

Cell* date_push(uint32_t w, double time) {
    Cell c;
    date_set(&c, w, time);
    return stack_push(c);
}

void date_from_parts(Cell* c, int32_t year, int32_t month, int32_t day, double time, int32_t zone_minutes,
                     bool has_time) {
    uint32_t zone = has_time ? date_zone_bits(zone_minutes) : 0;
    date_set(c, date_pack(year, month, day, zone, has_time), has_time ? time - date_zone_seconds(zone) : 0.0);
}

void date_from_utc_fields(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                          int32_t second, int64_t nanoseconds) {
    date_set(c, date_pack(year, month, day, 0, true), hour * 3600.0 + minute * 60.0 + second + nanoseconds * 1e-9);
}

int64_t date_utc_days(const Cell* c, double* time) {
    double t = date_time(c);
    double k = std::floor(t / double(SECONDS_PER_DAY));
    *time = t - k * double(SECONDS_PER_DAY);
    return date_to_days(date_word(c)) + int64_t(k);
}

int32_t date_to_epoch(const Cell* c) {
    static const int64_t epoch = date_to_days(date_pack(1970, 1, 1, 0, false));
    double seconds = double(date_to_days(date_word(c)) - epoch) * double(SECONDS_PER_DAY) +
                     std::floor(date_time(c) + 0.5);
    if (!(seconds >= -2147483648.0 && seconds <= 2147483647.0)) {
        Cell i = make_datatype(T_INTEGER);
        fire_error(Err::TypeLimit, &i);
    }
    return int32_t(seconds);
}

void date_difference(Cell* a, const Cell* b) {
    double d = double(date_to_days(date_word(a)) - date_to_days(date_word(b))) * double(SECONDS_PER_DAY) +
               date_time(a) - date_time(b);
    *a = make_time(d);
}

// The Monday that starts ISO week 1 of a year, as a day count.
static int64_t iso_week_start(int32_t year) {
    int64_t jan1 = date_to_days(date_pack(year, 1, 1, 0, false));
    int64_t w = floor_mod(jan1 + 2, 7);   // 0 = Monday
    return jan1 - w + (w >= 4 ? 7 : 0);
}

int32_t date_iso_weeks_in_year(int32_t year) {
    return int32_t((iso_week_start(year + 1) - iso_week_start(year)) / 7);
}

void date_set_iso_week(Cell* c, int32_t week, int32_t weekday) {
    uint32_t w = date_word(c);
    int64_t days = iso_week_start(date_year(w)) + 7 * int64_t(week - 1) + (weekday - 1);
    date_set(c, days_to_date(days, w & DATE_ZONE_MASK, date_has_time(w)), date_time(c));
}

void date_math(Cell* date, const Cell* operand, bool subtract) {
    uint32_t w = date_word(date);
    int64_t day_delta = 0;
    double time_delta = 0.0;
    bool has_time = date_has_time(w);
    switch (operand->type()) {
    case T_INTEGER: day_delta = integer_get_cell(operand); break;
    case T_TIME:
        time_delta = operand->get_float();
        has_time = true;
        break;
    case T_DATE:
        if (!subtract) fire_not_related("add", T_DATE);
        break;
    default: {
        Cell t = make_datatype(operand->type());
        fire_error(Err::InvalidType, &t);
    }
    }
    double time = date_time(date) + (subtract ? -time_delta : time_delta);
    int64_t days = date_to_days(w) + (subtract ? -day_delta : day_delta);
    days = date_normalize_time(days, &time, w);
    if (operand->is(T_DATE)) {
        int64_t d = days - date_to_days(date_word(operand));
        if (d < INT32_MIN || d > INT32_MAX) fire_date_limit();
        *date = make_integer(int32_t(d));
        return;
    }
    date_set(date, days_to_date(days, w & DATE_ZONE_MASK, has_time), time);
}

// ---- actions --------------------------------------------------------------------------------------------

namespace {

enum Field : int32_t {
    F_DATE = 1, F_YEAR, F_MONTH, F_DAY, F_ZONE, F_TIME, F_HOUR, F_MINUTE, F_SECOND, F_WEEKDAY, F_YEARDAY,
    F_TIMEZONE, F_WEEK, F_ISOWEEK,
};

int32_t field_of_word(const Cell* word) {
    static const char* const k_names[] = {"date", "year", "month", "day", "zone", "time", "hour", "minute",
                                          "second", "weekday", "yearday", "timezone", "week", "isoweek", "julian"};
    static uint32_t symbols[15];
    if (!symbols[0])
        for (int i = 0; i < 15; ++i) symbols[i] = symbol_resolve(symbol_make(k_names[i]));
    uint32_t s = symbol_resolve(word->data2);
    for (int i = 0; i < 15; ++i)
        if (symbols[i] == s) return i == 14 ? F_YEARDAY : i + 1;
    return -1;
}

double local_time(const Cell* c) { return date_time(c) + date_zone_seconds(date_word(c)); }

int64_t jan1_days(uint32_t w) { return date_to_days(date_pack(date_year(w), 1, 1, 0, false)); }

int32_t weekday_of(int64_t days) { return int32_t(floor_mod(days + 2, 7)) + 1; }

// Rebuilds a date from a day count, keeping zone, flag and time.
void set_days(Cell* c, int64_t days) {
    uint32_t w = date_word(c);
    date_set(c, days_to_date(days, w & DATE_ZONE_MASK, date_has_time(w)), date_time(c));
}

// Year and month with the day carried through the day count (31 April becomes 1 May).
void set_year_month_day(Cell* c, int64_t year, int64_t month, int64_t day) {
    year += floor_div(month - 1, 12);
    month = floor_mod(month - 1, 12) + 1;
    if (year < DATE_YEAR_MIN || year > DATE_YEAR_MAX) fire_date_limit();
    int64_t first = date_to_days(date_pack(int32_t(year), int32_t(month), 1, 0, false));
    set_days(c, first + day - 1);
}

// A local time of day (any value) stored with the date's zone and normalised.
void set_local_time(Cell* c, double local, bool keep_flag_off = false) {
    uint32_t w = date_word(c);
    double time = local - date_zone_seconds(w);
    int64_t days = date_normalize_time(date_to_days(w), &time, w);
    date_set(c, days_to_date(days, w & DATE_ZONE_MASK, keep_flag_off ? date_has_time(w) : true), time);
}

// The zone a value names: an integer gives hours, a time! hours and minutes.
uint32_t zone_from_value(const Cell* v) {
    int32_t minutes;
    if (v->is(T_INTEGER)) {
        minutes = (integer_get_cell(v) % 16) * 60;
    } else if (v->is(T_TIME)) {
        double s = std::fmod(v->get_float(), 57600.0);
        double hours = std::trunc(s / 3600.0);
        double m = std::floor(std::fmod(std::fabs(s), 3600.0) / 60.0);
        minutes = int32_t(hours) * 60 + (s < 0 ? -int32_t(m) : int32_t(m));
    } else {
        fire_error(Err::InvalidArg, v);
    }
    return date_zone_bits(minutes);
}

Cell get_field(const Cell* c, int32_t field) {
    uint32_t w = date_word(c);
    int64_t days = date_to_days(w);
    switch (field) {
    case F_DATE: {
        Cell d;
        date_set(&d, w & ~(DATE_HAS_TIME | DATE_ZONE_MASK), 0.0);
        return d;
    }
    case F_YEAR: return make_integer(date_year(w));
    case F_MONTH: return make_integer(date_month(w));
    case F_DAY: return make_integer(date_day(w));
    case F_ZONE: case F_TIMEZONE:
        return date_has_time(w) ? make_time(date_zone_seconds(w)) : make_none();
    case F_TIME: return date_has_time(w) ? make_time(local_time(c)) : make_none();
    case F_HOUR: return make_integer(int32_t(std::floor(local_time(c) / 3600.0)));
    case F_MINUTE: return make_integer(int32_t(std::floor(std::fmod(local_time(c), 3600.0) / 60.0)));
    case F_SECOND: return make_float(std::fmod(local_time(c), 60.0));
    case F_WEEKDAY: return make_integer(weekday_of(days));
    case F_YEARDAY: return make_integer(int32_t(days - jan1_days(w) + 1));
    case F_WEEK: {
        int64_t jan1 = jan1_days(w);
        int32_t e = weekday_of(jan1) % 7;   // Sunday = 0
        int32_t yearday = int32_t(days - jan1 + 1);
        return make_integer(yearday <= 7 - e ? 1 : (yearday + e - 1) / 7 + 1);
    }
    default: {   // F_ISOWEEK
        int32_t year = date_year(w);
        int64_t start = iso_week_start(year);
        if (days < start) start = iso_week_start(year - 1);
        else if (year < DATE_YEAR_MAX && days >= iso_week_start(year + 1)) start = iso_week_start(year + 1);
        return make_integer(int32_t((days - start) / 7 + 1));
    }
    }
}

int32_t integer_arg(const Cell* v) {
    if (!v->is(T_INTEGER)) fire_error(Err::InvalidArg, v);
    return integer_get_cell(v);
}

// Sets a field of the date in c to v.
void set_field(Cell* c, int32_t field, const Cell* v) {
    uint32_t w = date_word(c);
    switch (field) {
    case F_DATE: {
        if (!v->is(T_DATE)) fire_error(Err::InvalidArg, v);
        uint32_t o = date_word(v);
        date_set(c, (o & ~DATE_ZONE_MASK) | (w & DATE_ZONE_MASK), date_time(c));
        if (!date_has_time(o)) date_set(c, date_word(c), 0.0);
        return;
    }
    case F_YEAR: set_year_month_day(c, integer_arg(v), date_month(w), date_day(w)); return;
    case F_MONTH: set_year_month_day(c, date_year(w), integer_arg(v), date_day(w)); return;
    case F_DAY: set_year_month_day(c, date_year(w), date_month(w), integer_arg(v)); return;
    case F_ZONE: {   // the local time stays
        double local = local_time(c);
        uint32_t zone = zone_from_value(v);
        date_set(c, (w & ~DATE_ZONE_MASK) | zone | DATE_HAS_TIME, local - date_zone_seconds(zone));
        return;
    }
    case F_TIMEZONE: {   // the instant stays
        uint32_t zone = zone_from_value(v);
        double time = date_time(c);
        int64_t days = date_normalize_time(date_to_days(w), &time, zone);
        date_set(c, days_to_date(days, zone, true), time);
        return;
    }
    case F_TIME:
        if (v->is(T_NONE)) {
            date_set(c, w & ~DATE_HAS_TIME, 0.0);
            return;
        }
        if (!v->is(T_TIME)) fire_error(Err::InvalidArg, v);
        set_local_time(c, v->get_float());
        return;
    case F_HOUR: case F_MINUTE: case F_SECOND: {
        // the field is set on the local time, which then goes back to universal time
        if (!(v->is(T_INTEGER) || (field == F_SECOND && v->is(T_FLOAT)))) fire_error(Err::InvalidArg, v);
        double x = v->is(T_INTEGER) ? integer_get_cell(v) : v->get_float();
        double t = local_time(c);
        if (field == F_HOUR) t -= (std::floor(t / 3600.0) - x) * 3600.0;
        else if (field == F_MINUTE) t -= (std::floor(std::fmod(t, 3600.0) / 60.0) - x) * 60.0;
        else t -= std::fmod(t, 60.0) - x;
        set_local_time(c, t);
        return;
    }
    case F_WEEKDAY: {
        int64_t days = date_to_days(w);
        set_days(c, days - (weekday_of(days) - 1) + (integer_arg(v) - 1));
        return;
    }
    case F_YEARDAY: set_days(c, jan1_days(w) + integer_arg(v) - 1); return;
    case F_WEEK: {
        int32_t n = integer_arg(v);
        int64_t jan1 = jan1_days(w);
        int32_t e = weekday_of(jan1) % 7;
        set_days(c, n <= 1 ? jan1 : jan1 + 7 * int64_t(n) - e - 7);
        return;
    }
    default: {   // F_ISOWEEK
        int32_t n = integer_arg(v);
        set_days(c, iso_week_start(date_year(w)) + 7 * int64_t(n - 1));
    }
    }
}

int32_t selector_field(const Cell* selector) {
    if (selector->is(T_INTEGER)) {
        int32_t i = integer_get_cell(selector);
        return i >= 1 && i <= 14 ? i : -1;
    }
    if (is_any_word(selector->type())) return field_of_word(selector);
    return -1;
}

void date_eval_path(Cell* parent, const PathStep& step) {
    int32_t field = selector_field(step.element);
    if (field < 0) {
        Cell path = step.path ? *step.path : g_none_cell;
        fire_error(Err::InvalidPath, &path, step.element);
    }
    if (!step.value) {
        *parent = get_field(parent, field);
        return;
    }
    // set: the changed date goes back to where it came from
    Cell changed = *parent;
    set_field(&changed, field, step.value);
    scalar_path_write_back(parent, step, changed);
}

void date_pick(Cell* value, int32_t index, const Cell* index_value) {
    int32_t field;
    if (index_value && is_any_word(index_value->type())) {
        field = field_of_word(index_value);
        if (field < 0) fire_error(Err::CannotUse, index_value, value);
    } else {
        if (index < 1 || index > 14) {
            Cell i = make_integer(index);
            fire_error(Err::OutOfRange, index_value ? index_value : &i);
        }
        field = index;
    }
    *value = get_field(value, field);
}

// ---- make and to --------------------------------------------------------------------------------------

[[noreturn]] void fire_date_bad_to_arg(const Cell* v) { fire_bad_to_arg(T_DATE, v); }

// Reads a block of day, month, year, then optionally a time (or hour, minute, second) and a zone
// (a time, or hours and minutes) into a date, year first when the first number is above 99.
void date_from_block(Cell* proto, const Cell* spec, bool validate) {
    Series* s = value_series(spec);
    uint32_t index = series_index(spec);
    uint32_t n = s->length() > index ? s->length() - index : 0;
    // transitions: state -> {on integer, on time, on float}; -1 none; 100 end
    static const int8_t k_next[14][3] = {
        {1, -1, -1}, {2, -1, -1}, {3, -1, -1}, {8, 4, -1}, {6, 5, -1}, {-1, -1, -1}, {7, -1, -1},
        {-1, -1, -1}, {9, -1, -1}, {10, -1, 10}, {12, 11, -1}, {-1, -1, -1}, {13, -1, -1}, {-1, -1, -1},
    };
    int64_t first = 0, month = 0, third = 0, hour = 0, minute = 0, zone_h = 0, zone_m = 0;
    double second = 0.0, time = 0.0;
    bool time_given = false, hm_numbers = false, zone_given = false;
    int32_t zone_minutes = 0;
    int state = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const Cell* c = s->cell_at(index + i);
        int cls = c->is(T_INTEGER) ? 0 : c->is(T_TIME) ? 1 : c->is(T_FLOAT) ? 2 : -1;
        if (cls < 0) fire_date_bad_to_arg(spec);
        int next = k_next[state][cls];
        if (next < 0) fire_date_bad_to_arg(spec);
        int64_t iv = cls == 0 ? integer_get_cell(c) : 0;
        switch (next) {
        case 1: first = iv; break;
        case 2: month = iv; break;
        case 3: third = iv; break;
        case 4: time = c->get_float(); time_given = true; break;
        case 5: case 11: {   // zone as a time
            double z = c->get_float();
            double zh = std::trunc(z / 3600.0);
            double zm = std::floor(std::fmod(std::fabs(z), 3600.0) / 60.0);
            if (std::fabs(zh) > 15 || zm > 59) fire_date_bad_to_arg(spec);
            zone_minutes = int32_t(zh) * 60 + (z < 0 ? -int32_t(zm) : int32_t(zm));
            zone_given = true;
            break;
        }
        case 6: case 12: zone_h = iv; zone_given = true; break;
        case 7: case 13: zone_m = iv; break;
        case 8: hour = iv; hm_numbers = true; time_given = true; break;
        case 9: minute = iv; break;
        case 10: second = cls == 0 ? double(iv) : c->get_float(); break;
        }
        state = next;
    }
    if (n < 3) fire_date_bad_to_arg(spec);
    if (state == 6 || state == 12 || (zone_given && (state == 7 || state == 13))) {
        if (zone_h < -15 || zone_h > 15 || zone_m < 0 || zone_m > 59) fire_date_bad_to_arg(spec);
        zone_minutes = int32_t(zone_h * 60 + (zone_h < 0 ? -zone_m : zone_m));
    }
    int64_t day = first, year = third;
    if (first > 99 && third < first) {
        year = first;
        day = third;
    }
    if (hm_numbers) time = double(hour) * 3600.0 + double(minute) * 60.0 + second;
    if (year + floor_div(month - 1, 12) < DATE_YEAR_MIN || year + floor_div(month - 1, 12) > DATE_YEAR_MAX)
        fire_date_bad_to_arg(spec);
    Cell d;
    date_set(&d, date_pack(0, 1, 1, 0, n > 3), 0.0);
    set_year_month_day(&d, year, month, 1);
    set_days(&d, date_to_days(date_word(&d)) + day - 1);
    double t = time;
    int64_t days = date_normalize_time(date_to_days(date_word(&d)), &t, 0);
    uint32_t w = days_to_date(days, 0, n > 3);
    if (validate) {
        bool same = date_year(w) == year && date_month(w) == month && date_day(w) == day;
        if (same && time_given) {
            if (time != 0.0) same = std::floor(time / 3600.0) >= 0 && std::floor(time / 3600.0) <= 23 &&
                                    (!hm_numbers || std::floor(std::fmod(t, 3600.0) / 60.0) == double(minute));
            if (hm_numbers) same = same && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second < 60.0;
        }
        if (!same) fire_date_bad_to_arg(spec);
    }
    uint32_t zone = date_zone_bits(zone_minutes);
    t -= date_zone_seconds(zone);
    days = date_normalize_time(days, &t, zone);
    date_set(proto, days_to_date(days, zone, n > 3), t);
}

void date_make_to(Cell* proto, Cell* spec, bool validate) {
    switch (spec->type()) {
    case T_DATE: *proto = *spec; return;
    case T_INTEGER: {
        static const int64_t epoch = date_to_days(date_pack(1970, 1, 1, 0, false));
        int64_t secs = integer_get_cell(spec);
        double time = double(secs % SECONDS_PER_DAY);
        int64_t days = date_normalize_time(epoch + secs / SECONDS_PER_DAY, &time, 0);
        date_set(proto, days_to_date(days, 0, true), time);
        return;
    }
    case T_BLOCK: case T_PAREN: case T_HASH: date_from_block(proto, spec, validate); return;
    case T_STRING: {
        Cell v = scalar_load_one_value(spec);
        if (!v.is(T_DATE)) fire_date_bad_to_arg(spec);
        *proto = v;
        return;
    }
    default: fire_date_bad_to_arg(spec);
    }
}

void date_make(Cell* proto, Cell* spec, TypeId) { date_make_to(proto, spec, true); }
void date_to(Cell* proto, Cell* spec, TypeId) { date_make_to(proto, spec, false); }

// ---- form and mold ------------------------------------------------------------------------------------

// The first three characters of the month's name from system/locale/months.
void month_abbreviation(int32_t month, char out[16]) {
    Cell word = *context_global_word(symbol_make("system"));
    Cell sys = int32_t(word.data3) < 0 ? g_unset_cell : *word_value_in(&word, g_global_context);
    const Cell* locale = sys.is(T_OBJECT) ? object_get_field_sym(&sys, symbol_make("locale")) : nullptr;
    const Cell* months = locale && locale->is(T_OBJECT) ? object_get_field_sym(locale, symbol_make("months")) : nullptr;
    if (!months || !is_any_block(months->type())) fire_error(Err::InvalidMonths);
    Series* s = value_series(months);
    uint32_t at = series_index(months) + uint32_t(month - 1);
    if (at >= s->length() || !s->cell_at(at)->is(T_STRING)) fire_error(Err::InvalidMonths);
    Cell name = *s->cell_at(at);
    int32_t count = 3;
    uint8_t bytes[16];
    int32_t n = string_encode_utf8(&name, bytes, sizeof bytes - 1, count, false);
    std::memcpy(out, bytes, size_t(n));
    out[n] = 0;
}

int32_t date_form(const Cell* value, Cell* buffer, bool, int32_t budget) {
    uint32_t w = date_word(value);
    int32_t year = date_year(w);
    char month[16];
    month_abbreviation(date_month(w), month);
    char sep = year < 0 ? '/' : '-';
    char text[96];
    std::snprintf(text, sizeof text, "%d%c%s%c%s%04d", date_day(w), sep, month, sep, year < 0 ? "-" : "",
                  year < 0 ? -year : year);
    budget = scalar_emit(buffer, text, budget);
    if (!date_has_time(w)) return budget;
    budget = scalar_emit(buffer, "/", budget);
    budget = time_form_text(local_time(value), buffer, budget);
    if (w & DATE_ZONE_MASK) {
        std::snprintf(text, sizeof text, "%c%02u:%02u", (w & DATE_ZONE_WEST) ? '-' : '+', (w >> 2) & 15,
                      (w & 3) * 15);
        budget = scalar_emit(buffer, text, budget);
    }
    return budget;
}

int32_t date_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part, int32_t budget, int32_t) {
    return date_form(value, buffer, part, budget);
}

// ---- compare, random --------------------------------------------------------------------------------------

int32_t date_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_DATE)) return CMP_NOT_COMPARABLE;
    if (op == CMP_SAME) {
        uint32_t fields = ~(DATE_HAS_TIME | DATE_ZONE_MASK);
        return ((date_word(a) & fields) == (date_word(b) & fields) && a->data2 == b->data2 && a->data3 == b->data3)
                   ? 0
                   : 1;
    }
    double ta, tb;
    int64_t da = date_utc_days(a, &ta), db = date_utc_days(b, &tb);
    if (da != db) return da < db ? -1 : 1;
    if (float_almost_equal(ta, tb)) return 0;
    return ta < tb ? -1 : 1;
}

void date_random(Cell* value, bool seed, bool secure, bool) {
    uint32_t w = date_word(value);
    if (seed) {
        random_seed(w + uint32_t(int64_t(std::trunc(date_time(value)))));
        *value = make_unset();
        return;
    }
    int64_t n = date_to_days(w);
    int32_t bound = n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : int32_t(n);
    int64_t r = random_int(bound, secure);
    uint32_t zone = w & DATE_ZONE_MASK;
    if (!date_has_time(w)) {
        date_set(value, days_to_date(r - 1, zone, false), 0.0);
        return;
    }
    zone = uint32_t(random_int(128, secure) - 1) & DATE_ZONE_MASK;
    if ((zone >> 2 & 15) > 15) zone &= ~0x3Cu;
    double x = double(secure ? random_secure() : random_next()) / 2147483647.0;
    double local = std::floor(x * 3600.0) / 3600.0 * 86400.0;
    double time = local - date_zone_seconds(zone);
    int64_t days = date_normalize_time(r - 1, &time, zone);
    date_set(value, days_to_date(days, zone, true), time);
}

void date_add(Cell* left, Cell* right) { date_math(left, right, false); }
void date_subtract(Cell* left, Cell* right) { date_math(left, right, true); }

} // namespace

void date_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    set_entry<A_MAKE>(e, date_make);
    set_entry<A_TO>(e, date_to);
    set_entry<A_RANDOM>(e, date_random);
    set_entry<A_FORM>(e, date_form);
    set_entry<A_MOLD>(e, date_mold);
    set_entry<A_EVAL_PATH>(e, date_eval_path);
    set_entry<A_COMPARE>(e, date_compare);
    set_entry<A_ADD>(e, date_add);
    set_entry<A_SUBTRACT>(e, date_subtract);
    set_entry<A_PICK>(e, date_pick);
    register_datatype(T_DATE, T_NONE_ID, "date!", e);
}

} // namespace kel

// The lexer's loader of date literals.
//
// Forms, each with an optional time part after "/" or "T" (h[h]:m[m][:s[s][.fraction]], then "Z"
// or a zone: a sign, one or two digits of hours, optionally ":" and two digits of minutes):
//   day-month-year, day/month/year   the month a number or a name of 3-9 letters matched against
//                                    the start of the English names; when the first number is
//                                    above 31 or has more than two digits the order is year,
//                                    month, day; an unsigned year of one or two digits is 19yy
//                                    above 49, else 20yy
//   yyyymmddThhmm[ss](Z|zone)        the basic ISO form
//   yyyy-Www[-d]                     an ISO week date, weekday 1 (Monday) to 7
//   yyyy-ddd                         an ordinal date
// Years reach five digits within -16384..16383, so that every date the type holds loads back from
// its mold. Every malformed or out-of-range part is an error naming date!.
#include "core/case-fold.h"
#include "datatypes/date.h"
#include "evaluator/scan.h"

#include <cstring>

namespace kel::lex {

namespace {

struct Reader {
    const uint8_t* p;
    const uint8_t* e;
    bool at(char c) const { return p < e && *p == c; }
    bool digit() const { return p < e && *p >= '0' && *p <= '9'; }
    // Up to max digits; false when there are none or more than max.
    bool number(int64_t* v, int* count, int max) {
        *v = 0;
        *count = 0;
        while (digit()) {
            if (++*count > max) return false;
            *v = *v * 10 + (*p++ - '0');
        }
        return *count > 0;
    }
};

int month_of_name(const uint8_t* s, size_t n) {
    static const char* const k_names[] = {"january", "february", "march",     "april",   "may",      "june",
                                          "july",    "august",   "september", "october", "november", "december"};
    if (n < 3 || n > 9) return 0;
    for (int m = 0; m < 12; ++m) {
        size_t len = std::strlen(k_names[m]);
        if (n > len) continue;
        bool same = true;
        for (size_t i = 0; i < n && same; ++i) same = (s[i] | 0x20) == k_names[m][i];
        if (same) return m + 1;
    }
    return 0;
}

struct TimePart {
    bool given = false;
    double seconds = 0.0;
    int32_t zone_minutes = 0;
};

// h[h]:m[m][:s[s][.f]] and the zone; false when malformed or out of range.
bool read_time(Reader& r, TimePart* t, bool basic) {
    int64_t h, m, s = 0;
    int n;
    double fraction = 0.0;
    if (basic) {   // hhmm[ss]
        if (!r.number(&h, &n, 6) || (n != 4 && n != 6)) return false;
        if (n == 6) {
            s = h % 100;
            h /= 100;
        }
        m = h % 100;
        h /= 100;
    } else {
        if (!r.number(&h, &n, 2) || !r.at(':')) return false;
        ++r.p;
        if (!r.number(&m, &n, 2)) return false;
        if (r.at(':')) {
            ++r.p;
            if (!r.number(&s, &n, 2)) return false;
        }
    }
    if (r.at('.') || r.at(',')) {
        ++r.p;
        double scale = 0.1;
        if (!r.digit()) return false;
        while (r.digit()) {
            fraction += (*r.p++ - '0') * scale;
            scale /= 10;
        }
    }
    if (h > 23 || m > 59 || s > 59) return false;
    t->given = true;
    t->seconds = double(h) * 3600 + double(m) * 60 + double(s) + fraction;
    if (r.at('Z') || r.at('z')) {
        ++r.p;
    } else if (r.at('+') || r.at('-')) {
        bool west = *r.p++ == '-';
        int64_t zh, zm = 0;
        if (!r.number(&zh, &n, 2)) return false;
        if (r.at(':')) {
            ++r.p;
            if (!r.number(&zm, &n, 2) || n != 2) return false;
        }
        if (zh > 15 || zm > 59) return false;
        t->zone_minutes = int32_t(zh * 60 + zm) * (west ? -1 : 1);
    }
    return r.p == r.e;
}

bool year_in_range(int64_t y) { return y >= DATE_YEAR_MIN && y <= DATE_YEAR_MAX; }

// Parses the token; false when it is not a valid date.
bool parse_date(const uint8_t* s, const uint8_t* e, Cell* out) {
    Reader r{s, e};
    TimePart time;
    bool negative = r.at('-');
    if (negative) ++r.p;
    int64_t a;
    int na;
    if (!r.number(&a, &na, 9)) return false;

    if (r.at('T') && !negative && na >= 7 && na <= 9) {   // basic ISO: yyyymmddThhmm[ss](Z|zone)
        int64_t year = a / 10000, month = a / 100 % 100, day = a % 100;
        ++r.p;
        if (!read_time(r, &time, true)) return false;
        if (!year_in_range(year) || month < 1 || month > 12 || day < 1 ||
            day > month_length(int32_t(year), int32_t(month)))
            return false;
        date_from_parts(out, int32_t(year), int32_t(month), int32_t(day), time.seconds, time.zone_minutes, true);
        return true;
    }
    if (!(r.at('-') || r.at('/')) || na > 5) return false;
    char sep = char(*r.p++);
    int64_t first = negative ? -a : a;

    if (sep == '-' && r.at('W')) {   // week date
        ++r.p;
        int64_t week, weekday = 1;
        int n;
        if (na != 4 || !r.number(&week, &n, 2) || n != 2) return false;
        if (r.at('-')) {
            ++r.p;
            if (!r.number(&weekday, &n, 1)) return false;
        }
        if (r.p < r.e && (*r.p == '/' || *r.p == 'T')) {
            ++r.p;
            if (!read_time(r, &time, false)) return false;
        }
        if (r.p != r.e || !year_in_range(first)) return false;
        if (week < 1 || week > date_iso_weeks_in_year(int32_t(first)) || weekday < 1 || weekday > 7) return false;
        date_from_parts(out, int32_t(first), 1, 1, time.seconds, time.zone_minutes, time.given);
        date_set_iso_week(out, int32_t(week), int32_t(weekday));
        return true;
    }

    // the month: a number or a name
    int64_t month;
    int nb = 0;
    const uint8_t* name = r.p;
    while (r.p < r.e && ((*r.p | 0x20) >= 'a' && (*r.p | 0x20) <= 'z')) ++r.p;
    if (r.p > name) {
        month = month_of_name(name, size_t(r.p - name));
        if (!month) return false;
    } else if (!r.number(&month, &nb, 3)) {
        return false;
    }

    if (nb == 3) {   // ordinal date: year-ddd
        if (sep != '-' || na < 3) return false;
        if (r.p < r.e && (*r.p == '/' || *r.p == 'T')) {
            ++r.p;
            if (!read_time(r, &time, false)) return false;
        }
        if (r.p != r.e || !year_in_range(first)) return false;
        if (month < 1 || month > (leap_year(int32_t(first)) ? 366 : 365)) return false;
        date_from_parts(out, int32_t(first), 1, 1, time.seconds, time.zone_minutes, time.given);
        uint32_t w = date_word(out);
        date_set(out, days_to_date(date_to_days(w) + month - 1, w & DATE_ZONE_MASK, date_has_time(w)), date_time(out));
        return true;
    }

    if (!r.at(sep)) return false;
    ++r.p;
    bool third_negative = r.at('-');
    if (third_negative) ++r.p;
    int64_t c;
    int nc;
    if (!r.number(&c, &nc, 5)) return false;
    if (r.p < r.e) {
        if (*r.p != '/' && *r.p != 'T') return false;
        ++r.p;
        if (!read_time(r, &time, false)) return false;
    }

    int64_t year, day;
    bool year_first = negative || na > 2 || a > 31;
    int year_digits;
    bool year_negative;
    if (year_first) {
        if (third_negative) return false;
        year = first;
        year_digits = na;
        year_negative = negative;
        day = c;
    } else {
        if (negative) return false;
        year = third_negative ? -c : c;
        year_digits = nc;
        year_negative = third_negative;
        day = a;
    }
    if (year_digits <= 2 && !year_negative) year += year > 49 ? 1900 : 2000;
    if (!year_in_range(year) || month < 1 || month > 12 || day < 1 ||
        day > month_length(int32_t(year), int32_t(month)))
        return false;
    date_from_parts(out, int32_t(year), int32_t(month), int32_t(day), time.seconds, time.zone_minutes, time.given);
    return true;
}

} // namespace

void load_date(State* st, const uint8_t* s, const uint8_t* e, uint32_t) {
    Cell value;
    if (!parse_date(s, e, &value)) throw_error(st, s, e, T_DATE);
    st->type = T_DATE;
    if (st->load) push_value(st, value);
}

} // namespace kel::lex

/*
** Dates of the data files: a DATE column's format, read with the library's
** date-format grammar (parse_date_fmt, qxcalc.h), and the reading of a
** field in that format or in the ISO form, written back in the ISO form the
** databases take.
**
** The library's element list gives each element's code and the number of
** characters that follow it (literal text, and the further digits of FFn),
** not the literal text itself. So a separator in the data is matched by
** count: any character that is not a digit stands for one, and 2024/01/02
** reads with YYYY-MM-DD as it always did, while a digit where a separator
** belongs (a shifted field) rejects the row.
*/
#ifndef QXFLDR_TOOL_DATES_H
#define QXFLDR_TOOL_DATES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qxfldr_comm.h"

namespace qxfldr {

/* One element of a date format. */
struct DatePart {
    enum Kind : uint8_t {
        Year4,        /* YYYY, RRRR */
        YearInCentury,/* YY: 2000 + yy */
        YearNearest,  /* RR: 20yy below 50, 19yy from 50 */
        Month,        /* MM */
        MonthAbbrev,  /* MON: JAN */
        MonthName,    /* MONTH: JANUARY (or its abbreviation) */
        Day,          /* DD */
        DayName,      /* DAY: MONDAY (or MON); checked against the date */
        Hour24, Hour12, Minute, Second,
        DaySeconds,   /* SSSSS: seconds past midnight */
        Fraction,     /* FFn: up to `digits` digits */
        Meridian      /* AM, PM */
    } kind;
    uint8_t  digits = 0;   /* most digits a numeric element takes */
    uint16_t skip = 0;     /* separator characters after it */
};

struct DateFormat {
    uint16_t              lead = 0;   /* separator characters before the first element */
    std::vector<DatePart> parts;
    bool                  letters = false;   /* quoted text: a separator may be a letter */
    bool empty() const { return parts.empty(); }
};

/* Reads fmt with the library's grammar; false when the library refuses it
** or it holds no element. */
bool read_date_format(fldr_env *env, mem_heap_t *heap, const char *fmt, DateFormat &out);

struct DateTime {
    int  year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    long nanos = 0;
    bool has_time = false;
};

/* The whole of s in the format; false when it is not a valid date there. */
bool parse_date(std::string_view s, const DateFormat &fmt, DateTime &dt);

/* YYYY-MM-DD, optionally followed by a blank or T and HH:MI[:SS[.F]]. */
bool parse_iso(std::string_view s, DateTime &dt);

/* The ISO form of a date (QXDT_DATE), a time (QXDT_TIME) or a timestamp. */
void format_datetime(const DateTime &dt, uint16_t type, std::string &out);

}  // namespace qxfldr

#endif

/*
** qxcalc: calculation services of the runtime: hexadecimal text, date
** formats, Boyer-Moore search, date-time formatting.
**
** Divisions (new declarations go in the right one):
**   1. Hexadecimal text to bytes
**   2. Date formats
**   3. Boyer-Moore search
**   4. Date-time values and their text
*/
#ifndef QXCALC_H
#define QXCALC_H

#include <stdint.h>
#include "qxexport.h"
#include "qxmem.h"

QX_EXTERN_C_BEGIN

/* ============================================ 1. Hexadecimal text to bytes */

/* ====================================================== 2. Date formats */

/*
** parse_date_fmt splits a date format into its elements, in written order.
** Words are matched without regard to case, the longest first:
**
**   word          code  width  meaning
**   YYYY            15     4   year
**   RRRR            47     4   year, two-digit input read as nearest century
**   YY               9     2   year within the century
**   RR              13     2   year within the century, nearest century
**   MM              21     2   month number
**   MON             14     3   abbreviated month name (JAN)
**   MONTH           10     -   full month name (variable width)
**   DD              22     2   day of the month
**   DAY             11     -   day name (variable width)
**   HH24            23     2   hour 00-23
**   HH12, HH        29     2   hour 01-12
**   MI              30     2   minute
**   SS              40     2   second
**   SSSSS           16     5   seconds past midnight
**   FF, FF1-FF9     12     1   fraction of a second: FFn has n digits (FF six),
**                              the digits after the first are in `count`
**   AM, PM          50     2   meridian indicator
**
** Everything else that may stand between elements is literal text: the
** characters - / , . ; : and blanks, and any text in double quotes. Each
** element's `count` is the number of characters it takes beyond its width:
** the extra fraction digits of FFn, then the literal characters that follow
** it (the first element also takes those before it). So the widths plus the
** counts add up to the length of a date written in the format.
**
** Results: 0 with *result the first element (NULL for an empty format), or
** QXCALC_ERR_DATE_FMT for an unknown word, an unterminated quote, literal
** text without any element, or a count past 65535.
*/
#define QXCALC_ERR_DATE_FMT (-65028)

typedef struct qx_dfmt_elem {
    uint16_t             code;    /* element code from the table above */
    uint16_t             count;   /* characters beyond the code's width */
    struct qx_dfmt_elem *next;    /* following element, NULL at the end */
} qx_dfmt_elem;

#define QX_DFMT_YY     9
#define QX_DFMT_MONTH 10
#define QX_DFMT_DAY   11
#define QX_DFMT_FF    12
#define QX_DFMT_RR    13
#define QX_DFMT_MON   14
#define QX_DFMT_YYYY  15
#define QX_DFMT_SSSSS 16
#define QX_DFMT_MM    21
#define QX_DFMT_DD    22
#define QX_DFMT_HH24  23
#define QX_DFMT_HH12  29
#define QX_DFMT_MI    30
#define QX_DFMT_SS    40
#define QX_DFMT_RRRR  47
#define QX_DFMT_AMPM  50

/* Elements are taken from heap (zero-filled, never freed singly). */
QX_EXPORT int32_t parse_date_fmt(fldr_env *env, const char *fmt, mem_heap_t *heap,
                                 qx_dfmt_elem **result);

/* ================================================= 3. Boyer-Moore search */

/* ====================================== 4. Date-time values and their text */

QX_EXTERN_C_END

#endif

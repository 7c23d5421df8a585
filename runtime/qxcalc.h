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

/* Result codes of the calculation services (negative: failure). */
#define QXCALC_ERR_HEX_DIGIT  (-6105)  /* a character that is not a hexadecimal digit, or no "0x" */
#define QXCALC_ERR_NO_ROOM    (-6106)  /* the output area is too small for the result */
#define QXCALC_ERR_ARGUMENT   (-6107)  /* a null pointer or a value out of range */
#define QXCALC_ERR_DATETIME   (-6108)  /* a date-time value with a field out of range */

/*
** Hexadecimal digit rules shared by both converters:
**   (1) digits are 0-9, a-f, A-F; anything else (blank included) fails with
**       QXCALC_ERR_HEX_DIGIT and nothing is promised about the output;
**   (2) an odd number of digits reads as if a 0 stood in front of them, so
**       "9" is the byte 0x09 and "ABC" the bytes 0x0A 0xBC (a separator given
**       as X'9' is a tab);
**   (3) no digits at all give zero bytes.
*/

/*
** The text "0x" (or "0X") followed by hexadecimal digits, NUL-terminated,
** becomes a length-counted byte string at `out`: a uint32_t byte count in
** host order (copy it out with memcpy: `out` need not be aligned), then
** the bytes. `out_cap` is the room at `out`, count included; 4 + 128 bytes
** hold any 256-digit text. Returns the byte count, or a negative code.
*/
QX_EXPORT int32_t nbin_from_char(const char *text, void *out, uint32_t out_cap);

/*
** `len` hexadecimal digits at `text` (no "0x", not NUL-terminated) become
** bytes at `out`, which has room for `out_cap` bytes. Returns the number of
** bytes written, (len + 1) / 2, or a negative code.
*/
QX_EXPORT int32_t nbin_from_char_low_with_len(const char *text, uint32_t len, uint8_t *out,
                                              uint32_t out_cap);

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

/*
** Boyer-Moore search for every occurrence of a pattern, overlapping ones
** included. The tables are built once per pattern and passed to the search:
**   bmbc  256 entries: the bad-character shift of each byte value;
**   bmgs  pat_len entries: the good-suffix shift of each pattern position.
*/
#define QXCALC_BMBC_SIZE 256

/* Fills bmbc for the pattern (pat_len >= 1). */
QX_EXPORT void preprocess_bmbc(const char *pat, uint32_t pat_len, int32_t *bmbc);

/*
** Fills bmgs (pat_len entries) for the pattern. Returns 0, or
** QXCALC_ERR_ARGUMENT for an empty pattern, or QXCALC_ERR_NO_ROOM when the
** work area of a pattern longer than 256 bytes cannot be allocated.
*/
QX_EXPORT int32_t preprocess_bmgs(const char *pat, uint32_t pat_len, int32_t *bmgs);

/*
** Lists the positions, counted from 1 and increasing, where the pattern
** occurs in text[0..text_len). `count` is in: the capacity of `matches`,
** out: the number of positions written. Returns 0, or QXCALC_ERR_NO_ROOM
** when more occurrences exist than the capacity (the first ones are
** written), or QXCALC_ERR_ARGUMENT for an empty pattern.
*/
QX_EXPORT int32_t qx_strbmncmp_arrex2(const char *text, uint32_t text_len, const char *pat,
                                      uint32_t pat_len, uint32_t *matches, uint32_t *count,
                                      const int32_t *bmbc, const int32_t *bmgs);

/* ====================================== 4. Date-time values and their text */

/*
** A date-time value is 13 bytes, multi-byte fields little-endian:
**   bytes 0-1   year, signed, -4712..9999 (no year 0)
**   byte  2     month 1..12
**   byte  3     day 1..last day of the month (Gregorian leap years)
**   byte  4     hour 0..23
**   byte  5     minute 0..59
**   byte  6     second 0..59
**   bytes 7-10  nanoseconds 0..999999999, unsigned
**   bytes 11-12 time-zone offset in minutes east of UTC, signed, -779..840
** A DATE reads only the date fields, a TIME only the time fields, the types
** without a zone ignore bytes 11-12. A field a type reads that lies outside
** its range makes the value invalid.
*/
#define QXTIME_VALUE_SIZE 13
/* Room qxtime_to_char may use at its output. */
#define QXTIME_TEXT_MAX 512

typedef struct qxtime_fields {
    int16_t  year;
    uint8_t  month;
    uint8_t  day;
    uint8_t  hour;
    uint8_t  minute;
    uint8_t  second;
    uint32_t nanos;
    int16_t  tz_minutes;
} qxtime_fields;

/* Packs fields into a 13-byte value (not checked; qxtime_to_char checks). */
QX_EXPORT void qxtime_encode(const qxtime_fields *fields, uint8_t *value);
/* Unpacks a 13-byte value. */
QX_EXPORT void qxtime_decode(const uint8_t *value, qxtime_fields *fields);

/*
** Writes the value as text at `buf` (QXTIME_TEXT_MAX bytes), NUL-terminated,
** by type code (runtime/qxdta.h):
**   14 DATE               YYYY-MM-DD
**   15 TIME               HH:MI:SS[.F]
**   16, 26 TIMESTAMP      YYYY-MM-DD HH:MI:SS[.F]
**   22 TIME with zone     HH:MI:SS[.F] +HH:MI
**   23, 27 with zone      YYYY-MM-DD HH:MI:SS[.F] +HH:MI
** A year before 1 is written with a minus sign ("-0044-03-15").
** `frac` is the number of fraction digits, 0..9 (truncated), or -1 for the
** digits the value needs: none for a whole second, else the nanoseconds
** without trailing zeros, so the text reads back to the same value.
** Returns the text length, QXCALC_ERR_DATETIME for a value out of range,
** QXCALC_ERR_ARGUMENT for another type code, a null pointer or a bad `frac`.
*/
QX_EXPORT int32_t qxtime_to_char(const uint8_t *value, int32_t type, int32_t frac, char *buf);

QX_EXTERN_C_END

#endif

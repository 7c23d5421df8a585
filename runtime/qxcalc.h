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

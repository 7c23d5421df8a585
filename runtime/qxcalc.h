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

/* ====================================== 4. Date-time values and their text */

QX_EXTERN_C_END

#endif

/*
** qxbcast: typed casts of whole batch columns to text.
**
** Every cast reads `rows` output rows of a source column (through its
** selection, qxdta.h rule 3) and writes text values into a destination
** column of a text type, rows dst_start .. dst_start + rows - 1:
**   (1) a source row without a value gives a destination row without one;
**   (2) a value whose text would pass `max_len` bytes, or that is invalid
**       (a decimal scale above 38, a bad interval qualifier, a date-time
**       field out of range), gives a row without a value; the cast goes on
**       with the next rows and returns the code of the first such row;
**   (3) the destination's row count becomes at least dst_start + rows;
**   (4) a source column of another type than the cast reads, or a
**       destination that cannot hold text, fails at once with
**       QXBCAST_ERR_TYPE, nothing written.
** The first argument is the runtime's global environment, the second the
** caller's; both may be NULL. `flags`, `reserved1` and `reserved2` must be 0.
**
** Text forms:
**   CHAR, VARCHAR2, VARCHAR  the bytes as stored
**   BIT                      "0" or "1"
**   integers                 decimal, "-" for a negative value
**   DEC                      exact: every digit of the scale ("1.50", "-0.007")
**   FLOAT, DOUBLE            the shortest text that reads back to the same
**                            value ("0.1", "1e+20", "NaN", "Infinity")
**   BINARY, VARBINARY        two upper-case hexadecimal digits per byte
**   TIMESTAMP, DATETIME      as qxtime_to_char type 16 (qxcalc.h)
**   intervals                by qualifier, see below
**   ROWID                    16 upper-case hexadecimal digits
**
** Interval qualifier: (kind << 8) | (leading precision << 4) | fraction digits.
** Kinds: 0 YEAR, 1 YEAR TO MONTH, 2 MONTH (year-month casts); 3 DAY, 4 DAY TO
** HOUR, 5 DAY TO MINUTE, 6 DAY TO SECOND, 7 HOUR, 8 HOUR TO MINUTE, 9 HOUR TO
** SECOND, 10 MINUTE, 11 MINUTE TO SECOND, 12 SECOND (day-second casts). The
** leading field is written without padding, the others with two digits, the
** fraction (only when the last field is SECOND) with its digits, truncated:
** YEAR TO MONTH "-1-02", DAY TO SECOND "3 04:05:06.250000", HOUR TO MINUTE
** "75:30". 406 is YEAR TO MONTH and 1686 DAY TO SECOND with six fraction
** digits, both with a leading precision of 9; the leading precision is not
** enforced.
*/
#ifndef QXBCAST_H
#define QXBCAST_H

#include <stdint.h>
#include "qxdta.h"
#include "qxexport.h"
#include "qxmem.h"

QX_EXTERN_C_BEGIN

#define QXBCAST_ERR_UNSUPPORTED (-6119)  /* a type with no text form here */
#define QXBCAST_ERR_TYPE        (-6120)  /* source or destination of the wrong type */
#define QXBCAST_ERR_ARGUMENT    (-6121)  /* null column, non-zero flags, bad qualifier */
#define QXBCAST_ERR_VALUE       (-6122)  /* a value that has no text (scale above 38) */
#define QXBCAST_ERR_TOO_LONG    (-6149)  /* a text longer than max_len */

#define QXBCAST_IV_QUALIFIER(kind, lead, frac) ((uint16_t)(((kind) << 8) | ((lead) << 4) | (frac)))
#define QXBCAST_IV_YM_DEFAULT 406    /* YEAR(9) TO MONTH */
#define QXBCAST_IV_DT_DEFAULT 1686   /* DAY(9) TO SECOND(6) */

/* The form every cast but the interval ones has. */
#define QXBCAST_ARGS fldr_env *genv, fldr_env *env, const bdta3_col *src, uint32_t max_len, \
                     bdta3_col *dst, uint16_t rows, uint32_t dst_start, uint32_t flags

QX_EXPORT int32_t bcast_char_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_varchar2_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_varchar_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_bit_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_tinyint_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_smallint_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_int_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_int64_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_dec_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_float_to_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_double_to_varchar(QXBCAST_ARGS);
/* TIMESTAMP (16) and DATETIME (26). */
QX_EXPORT int32_t bcast_datetime_to_varchar_ex(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_binary_to_hex_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_varbinary_to_hex_varchar(QXBCAST_ARGS);
QX_EXPORT int32_t bcast_rowid_to_varchar(QXBCAST_ARGS);

#define QXBCAST_IV_ARGS fldr_env *genv, fldr_env *env, const bdta3_col *src, bdta3_col *dst, \
                        uint16_t rows, uint32_t dst_start, uint32_t flags, uint32_t max_len, \
                        uint16_t qualifier, uint32_t reserved1, uint32_t reserved2

QX_EXPORT int32_t bcast_iv_ym_to_varchar(QXBCAST_IV_ARGS);
QX_EXPORT int32_t bcast_iv_dt_to_varchar(QXBCAST_IV_ARGS);

QX_EXTERN_C_END

#endif

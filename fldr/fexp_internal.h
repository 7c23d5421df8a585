/*
** Export conversion internals shared with the library's tests.
*/
#ifndef FEXP_INTERNAL_H
#define FEXP_INTERNAL_H

#include "qxfldr_comm.h"
#include "qxdta.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
** Formats `rows` output rows of a date-time column (type code 14, 15, 22
** or 23) value by value into the text column dst: rows without a value stay
** without one, a failing row ends the column as a row without a value and
** its code is returned (-6149 for a text above 32767 bytes).
*/
int32_t fexp_cast_datetime(fldr_env *env, const bdta3_col *src, bdta3_col *dst, uint16_t rows, uint16_t type);

#ifdef __cplusplus
}
#endif

#endif

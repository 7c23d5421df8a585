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

/* ================================================= 3. Boyer-Moore search */

/* ====================================== 4. Date-time values and their text */

QX_EXTERN_C_END

#endif

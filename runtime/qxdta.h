/*
** qxdta: typed batch containers (columns of typed values with null flags),
** and the server type codes they carry.
*/
#ifndef QXDTA_H
#define QXDTA_H

#include <stdint.h>
#include "qxexport.h"
#include "qxmem.h"

QX_EXTERN_C_BEGIN

QX_EXTERN_C_END

#endif

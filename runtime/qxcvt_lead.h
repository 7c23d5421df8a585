/*
** qxcvt's lead-byte table and the inline character length the library's hot
** loops use. Kept out of qxcvt.h, which callers of the installed library
** see: the table's layout is free to change with the library, so it is not
** part of the shared object's interface (encoding_mblen is).
*/
#ifndef QXCVT_LEAD_H
#define QXCVT_LEAD_H

#include <stdint.h>
#include "qxcvt.h"

QX_EXTERN_C_BEGIN

/*
** Lead-byte lengths behind encoding_mblen, by code (0..11) and lead byte.
** A 0 entry marks a GBK/GB18030 lead byte, whose length (2 or 4) depends on
** the second byte. Codes outside 0..11 have no row: their characters are 1.
*/
#define QXCVT_MAX_CODE 11
typedef struct qxcvt_lead_table {
    uint8_t len[QXCVT_MAX_CODE + 1][256];
} qxcvt_lead_table;
extern const qxcvt_lead_table qxcvt_lead_len;

/*
** encoding_mblen for the library's hot loops: one table lookup per character,
** no call. Same result and same read of p[1] as encoding_mblen.
*/
static inline uint32_t qxcvt_mblen_fast(uint32_t code, const char *p)
{
    const unsigned char lead = (unsigned char)p[0];
    uint32_t len;
    if (lead < 0x80 || code > QXCVT_MAX_CODE)
        return 1;
    len = qxcvt_lead_len.len[code][lead];
    if (len == 0)
        len = ((unsigned char)p[1] - 0x30u < 10u) ? 4u : 2u;
    return len;
}

QX_EXTERN_C_END

#endif

/*
** qxcvt: character-set conversion and character lengths.
**
** Character-set codes: 1 UTF-8, 2 GBK, 3 BIG5, 4 ISO-8859-9, 5 EUC-JP,
** 6 EUC-KR, 7 KOI8-R, 8 ISO-8859-1, 9 ASCII (single byte), 10 GB18030,
** 11 ISO-8859-11. Conversions go through the C library's iconv; one
** converter per direction and code is opened once and reused.
*/
#ifndef QXCVT_H
#define QXCVT_H

#include <stdint.h>
#include "qxexport.h"

QX_EXTERN_C_BEGIN

#define QXCVT_UTF8     1
#define QXCVT_GBK      2
#define QXCVT_BIG5     3
#define QXCVT_LATIN5   4
#define QXCVT_EUCJP    5
#define QXCVT_EUCKR    6
#define QXCVT_KOI8R    7
#define QXCVT_LATIN1   8
#define QXCVT_ASCII    9
#define QXCVT_GB18030 10
#define QXCVT_TIS620  11

/* Result of qx_get_valid_chars when the bytes end in a cut or invalid character. */
#define QXCVT_ERR_INVALID_CHAR (-6819)
/* Result of a conversion whose character set is unknown. */
#define QXCVT_ERR_UNKNOWN_CODE (-6820)

/* Starts the conversion service (idempotent). */
QX_EXPORT void ucvt_init(void);

/*
** Convert src (src_len bytes) from the local set `code` to UTF-8, or from
** UTF-8 to `code`, into dst (dst_size bytes). Conversion stops before a
** character that would not fit, so the output is always whole characters.
** An invalid or cut input character is copied as '?' and counted.
** *src_used: input bytes consumed; *bad_chars: characters replaced;
** *dst_len: bytes produced (never more than dst_size; no terminator added).
** Returns 0, or QXCVT_ERR_UNKNOWN_CODE (nothing produced).
*/
QX_EXPORT int32_t qx_LocalToUtf(const char *src, uint32_t src_len, uint32_t code, char *dst,
                                uint32_t dst_size, uint32_t *src_used, uint32_t *bad_chars,
                                uint32_t *dst_len);
QX_EXPORT int32_t qx_UtfToLocal(const char *src, uint32_t src_len, uint32_t code, char *dst,
                                uint32_t dst_size, uint32_t *src_used, uint32_t *bad_chars,
                                uint32_t *dst_len);

/*
** Byte length (at least 1) of the character that starts at p in set `code`.
** May look at p[1] for GBK/GB18030: callers keep a readable byte after
** their data (the row buffers keep a zero there).
*/
QX_EXPORT uint32_t encoding_mblen(uint32_t code, const char *p, uint32_t flags);

/* 0 when the len bytes are whole valid characters of `code`, else -6819. */
QX_EXPORT int32_t qx_get_valid_chars(const char *p, uint32_t len, uint32_t code, uint32_t flags,
                                     uint32_t reserved);

QX_EXTERN_C_END

#endif

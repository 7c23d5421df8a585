/*
** qxutl: console output and path utilities.
**
** Serves the library itself (callers check paths with fldr_is_valid_pathname):
** nothing here leaves the shared object, and this header is not installed.
*/
#ifndef QXUTL_H
#define QXUTL_H

#include <stdint.h>
#include "qxexport.h"

QX_EXTERN_C_BEGIN

/*
** printf-style output on standard output. "%I64d", "%I64u" take an int64_t /
** uint64_t argument; everything else is as printf. Returns bytes written.
*/
int32_t aq_printf_inner(const char *fmt, ...);

/*
** Non-zero when path is well formed: not empty, at most 256 characters, no
** byte 1..31, none of < > " | * ?. `option` is accepted for the call form.
*/
int32_t is_valid_pathname_raw(const char *path, int32_t option);

/*
** Copies at most `bytes` bytes of src into dst, never cutting a UTF-8 or
** double-byte character in two; stores the bytes copied in *out_len and adds
** a terminating zero (dst holds at least bytes + 1). Returns 0.
*/
int32_t utl_trunc_str_ex(const char *src, char *dst, uint32_t bytes, uint32_t *out_len);

QX_EXTERN_C_END

#endif

/*
** Symbol visibility for everything a caller of libqxfldr_comm may call.
** The library and the runtime are compiled with hidden visibility; only
** declarations marked QX_EXPORT leave the shared object.
*/
#ifndef QXEXPORT_H
#define QXEXPORT_H

#if defined(__GNUC__)
#define QX_EXPORT __attribute__((visibility("default")))
#else
#define QX_EXPORT
#endif

#ifdef __cplusplus
#define QX_EXTERN_C_BEGIN extern "C" {
#define QX_EXTERN_C_END }
#else
#define QX_EXTERN_C_BEGIN
#define QX_EXTERN_C_END
#endif

#endif

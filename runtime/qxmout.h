/*
** qxmout: the console message service and the error system.
**
** A caller registers a table of message rows with mout_init. Each row holds
** its texts in three languages (kept as UTF-8 in the source); mout_init
** converts each row's texts to the local character set once, into the row's
** working space, so mout_lookup never converts per call.
**
** Formatting understands printf conversions plus "%I64d"/"%I64u" (64-bit
** integers). The caller's buffer holds at least MOUT_LINE_MAX bytes; longer
** output is cut at a character boundary and always terminated.
**
** Serves the library itself (its messages reach callers through
** fldr_mout_lookup and the printing functions): nothing here leaves the
** shared object, and this header is not installed.
*/
#ifndef QXMOUT_H
#define QXMOUT_H

#include <stdarg.h>
#include <stdint.h>
#include "qxexport.h"

QX_EXTERN_C_BEGIN

#define MOUT_LINE_MAX 512

/* Results of mout_init besides 0. */
#define MOUT_ERR_ARG   (-1)  /* no handle pointer, or rows missing */
#define MOUT_ERR_NOMEM (-2)  /* out of memory; nothing is registered */

/* Language values of mout_get_local_code and mout_lookup. */
#define MOUT_LANG_ZH_CN 0
#define MOUT_LANG_EN    1
#define MOUT_LANG_ZH_TW 2

typedef struct mout_row_t {
    int32_t     code;        /* message code */
    uint32_t    argc;        /* printf arguments the text takes */
    const char *text_zh_cn;  /* simplified Chinese, UTF-8 */
    const char *text_zh_tw;  /* traditional Chinese, UTF-8 */
    const char *text_en;     /* English, ASCII */
    char       *work[3];     /* mout's own: the three texts in the local set, by language */
} mout_row_t;

typedef struct mout_handle_s mout_handle_t;  /* opaque */

/*
** Language and local character set from the process locale (LC_ALL, then
** LC_MESSAGES, then LANG): zh_CN -> 0, zh_TW/zh_HK -> 2, else 1; codeset
** UTF-8 -> 1, GB18030 -> 10, GBK -> 2, BIG5 -> 3, else 1.
*/
void mout_get_local_code(uint32_t *local_code, uint32_t *lang_id);
/* A test or tool may force the language and local code reported above. */
void mout_force_local_code(int32_t local_code, int32_t lang_id);

int32_t mout_init(mout_handle_t **handle, mout_row_t *rows, uint32_t row_count,
              uint32_t local_code, uint32_t lang_id);
void mout_deinit(mout_handle_t *handle, mout_row_t *rows, uint32_t row_count,
                 uint32_t local_code);
/*
** Formats the row of `code` (or of `fallback` when `code` has no row) in
** language `lang_id` into buf with the argc arguments of `args`. Returns the
** bytes written (without the terminator), or -1 when neither row exists
** (buf then holds an empty text).
*/
int32_t mout_lookup(char *buf, mout_handle_t *handle, int32_t code, int32_t fallback,
                    int16_t argc, uint32_t lang_id, va_list args);

/* The database error system: started and stopped around a client's run. */
void qxerr_sys_init(uint32_t reserved1, uint32_t reserved2);
void qxerr_sys_deinit(void);
/* 1 while the error system runs (more starts than stops), else 0. */
int32_t qxerr_sys_running(void);

/*
** vsnprintf that also reads "%I64d"/"%I64u" as 64-bit integers; shared by
** mout_lookup and aq_printf_inner. Same result convention as vsnprintf.
*/
int32_t qx_vsnprintf(char *buf, uint32_t size, const char *fmt, va_list args);

QX_EXTERN_C_END

#endif

/*
** Actions of the grammar (fldr.y): the checks and record updates that its
** productions perform. Kept apart so that the grammar file reads as a
** grammar. Every block comes from the parse heap with the grammar's tag
** "fldr/fldr" (WHEN nodes "fldr/fldr_pub"). Each set_ / add_ / new_
** function that returns bool returns false when its value breaks a limit,
** before it writes anything.
*/
#ifndef FPAR_ACTIONS_H
#define FPAR_ACTIONS_H

#include "fpar_ctx.h"

/* A string or X string value: the text and which form it was written in. */
typedef struct fpar_sval {
    char    *text;
    uint32_t is_hex;
} fpar_sval;

#ifdef __cplusplus
namespace fpar_act {

#define NEW(type)     ((type *)heap_new(ctx, sizeof(type), FLDR_TAG_FLDR, __LINE__))
#define NEW_PUB(type) ((type *)heap_new(ctx, sizeof(type), FLDR_TAG_PUB, __LINE__))

/* Fills the error record and marks the parse refused (-1). */
void fpar_refuse(fldr_parse_ctx *ctx);

/* Parse-heap blocks (zeroed) and copies. */
void *heap_new(fldr_parse_ctx *ctx, size_t size, const char *tag, uint32_t line);
char *heap_dup(fldr_parse_ctx *ctx, const char *text);
void  copy_text(char *dst, const char *src, size_t len);

/* Value checks. */
bool all_ascii(const char *text, size_t len);
bool fits(const char *text, size_t lo, size_t hi);
bool is_nextval(const char *name);

/* Parameters. */
bool     set_path(char *dst, const char *text);
bool     set_text(char *dst, const char *text, size_t lo, size_t hi);
uint32_t mode_code(const char *text);
uint16_t blob_type_code(const char *text);
bool     set_field_sep(fldr_args *a, const fpar_sval *v);
bool     set_row_sep(fldr_args *a, const fpar_sval *v);
bool     add_site(fldr_args *a, int64_t value);
bool     add_data_name(fldr_parse_ctx *ctx, fldr_args *a, char *text);

/* LOAD statement and INTO TABLE clause. */
void             new_ctl(fldr_parse_ctx *ctx, uint8_t is_continuation);
bool             new_data_file(fldr_parse_ctx *ctx, const char *name);
bool             set_row_term(fldr_data_file *df, const fpar_sval *v);
bool             set_row_start(fldr_data_file *df, const fpar_sval *v);
bool             set_sep(char *text_dst, char *hex_dst, uint16_t *len_dst, uint32_t *is_hex_dst,
                         const fpar_sval *v);
bool             set_table_name(char *schema, char *table, const char *first, const char *second);
bool             set_table_enclose(fldr_parse_ctx *ctx, const fpar_sval *v);
fldr_bexp_value *when_value(fldr_parse_ctx *ctx, uint8_t kind, const char *text);
void             group_append(fldr_bexp *group, fldr_bexp *node);

/* Columns and column functions. */
bool              set_col_enclose(fldr_parse_ctx *ctx, const fpar_sval *v);
bool              set_date_format(fldr_parse_ctx *ctx, const char *fmt);
bool              set_substr(fldr_parse_ctx *ctx, int16_t kind, const char *col_name, int64_t start,
                             int64_t len);
fldr_fun_arg     *fun_arg(fldr_parse_ctx *ctx, uint16_t kind, const char *text);
void              args_append(fldr_parse_ctx *ctx, fldr_fun_arg_list *list, fldr_fun_arg *arg);
char             *chr_text(fldr_parse_ctx *ctx, int64_t value);

}  // namespace fpar_act
#endif

#endif

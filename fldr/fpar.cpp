/*
** Parse entry points and character-set names.
**
** A parse: context on the stack -> token buffer (the text and two NULs,
** inline for small texts, else on the C heap) -> flex scanner over it ->
** bison grammar writing the arguments, control records and columns on the
** caller's parse heap -> error record -> scanner and token buffer released.
** The result and error records live on the parse heap; fldr_par_main,
** which releases its own heap, hands out thread-private copies instead.
*/
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "fldr_internal.h"
#include "fpar_ctx.h"
#include "qxcalc.h"

namespace {

/* Releases what a parse took outside its heap, on every path. */
struct ScanGuard {
    fldr_parse_ctx *ctx;
    ~ScanGuard()
    {
        if (ctx->scanner != nullptr)
            fldr_yylex_destroy(ctx->scanner);   /* also deletes the input buffer */
        ctx->scanner = nullptr;
        ctx->input = nullptr;
        if (ctx->tokbuf_on_heap)
            free(ctx->tokbuf);
        ctx->tokbuf = nullptr;
        ctx->tokbuf_on_heap = 0;
    }
};

enum class Start { Args, Column };

int32_t run_parse(fldr_env *env, const char *text, fldr_par_result **result, fldr_parse_err **err,
                  fldr_args *args, fldr_col *col, mem_heap_t *heap)
{
    /* About 36 KiB with its inline literal and token areas. */
    fldr_parse_ctx ctx_store;
    fldr_parse_ctx *ctx = &ctx_store;
    memset(ctx, 0, sizeof *ctx);
    ctx->env = env;
    ctx->parse_heap = heap;
    ctx->upper_idents = 1;

    ctx->err_rec = static_cast<fldr_parse_err *>(
        mem_heap_alloc_low(env, heap, sizeof(fldr_parse_err), 0, FLDR_TAG_FPAR, __LINE__));
    ctx->result = static_cast<fldr_par_result *>(
        mem_heap_alloc_low(env, heap, sizeof(fldr_par_result), 0, FLDR_TAG_FPAR, __LINE__));
    if (ctx->err_rec == nullptr || ctx->result == nullptr)
        return FLDR_ERR_OUT_OF_MEMORY;
    memset(ctx->err_rec, 0, sizeof *ctx->err_rec);
    memset(ctx->result, 0, sizeof *ctx->result);
    /* From here on every return hands out the two records. */
    *result = ctx->result;
    *err = ctx->err_rec;
    ctx->escapes_on = 1;
    ctx->result->args = args;
    ctx->cur_col = col;
    if (text == nullptr)
        text = "";
    ctx->text = text;

    ScanGuard guard{ctx};
    if (fldr_yylex_init_extra(ctx, &ctx->scanner) != 0)
        return FLDR_ERR_NO_TOKEN_BUFFER;

    const size_t text_len = strlen(text);
    int is_inline = 0;
    const size_t tokbuf_size = fpar_tokbuf_size(text_len, &is_inline);
    if (tokbuf_size == 0)
        return FLDR_ERR_TEXT_TOO_LONG;
    if (is_inline) {
        ctx->tokbuf = ctx->tokbuf_inline;
    } else {
        ctx->tokbuf = static_cast<char *>(calloc(1, tokbuf_size));
        if (ctx->tokbuf == nullptr)
            return FLDR_ERR_NO_TOKEN_BUFFER;
        ctx->tokbuf_on_heap = 1;
    }
    memcpy(ctx->tokbuf, text, text_len);
    ctx->tokbuf[text_len] = '\0';
    ctx->tokbuf[text_len + 1] = '\0';
    fldr_scan_begin(ctx, text_len);

    int32_t rc = fldr_parse_run(ctx);

    if (ctx->err_code != 0) {
        fldr_parse_err *e = ctx->err_rec;
        if (e->code == 0) {
            e->code = ctx->err_code;
            e->line = ctx->err_line;
            e->column = ctx->err_column;
            e->text = ctx->err_text;
            static_assert(sizeof e->msg <= sizeof ctx->err_msg);
            memcpy(e->msg, ctx->err_msg, sizeof e->msg - 1);
            e->msg[sizeof e->msg - 1] = '\0';
        }
        rc = FLDR_ERR_PARSE_FAILED;
    }
    ctx->result->text = const_cast<char *>(text);
    ctx->result->dash_comment_seen = ctx->dash_comment_seen;

    if (rc == 0 || rc == FLDR_ERR_PARSE_FAILED)
        return rc;
    if (rc == -1 || rc > 0)
        return FLDR_ERR_PARSE_FAILED;
    return rc;
}

/* Copies of fldr_par_main's result and error: its heap is gone when it returns. */
thread_local fldr_par_result t_result;
thread_local fldr_parse_err  t_err;
thread_local char            t_err_text[FLDR_PARSE_ERR_TEXT_MAX + 1];

void keep_copies(const fldr_par_result *result, const fldr_parse_err *err, fldr_par_result **result_out,
                 fldr_parse_err **err_out)
{
    memset(&t_result, 0, sizeof t_result);
    memset(&t_err, 0, sizeof t_err);
    if (result != nullptr) {
        t_result.dash_comment_seen = result->dash_comment_seen;
        t_result.text = result->text;
        t_result.args = result->args;
        t_result.ctl_count = result->ctl_count;
    }
    if (err != nullptr) {
        t_err.line = err->line;
        t_err.column = err->column;
        t_err.code = err->code;
        memcpy(t_err.msg, err->msg, sizeof t_err.msg);
        if (err->text != nullptr) {
            const size_t len = strnlen(err->text, FLDR_PARSE_ERR_TEXT_MAX);
            memcpy(t_err_text, err->text, len);
            t_err_text[len] = '\0';
            t_err.text = t_err_text;
        }
    }
    *result_out = &t_result;
    *err_out = &t_err;
}

/* Copies the first table's data file and separators into the arguments. */
void copy_first_table(const fldr_par_result *result, fldr_args *args)
{
    if (result->ctl_first == nullptr)
        return;   /* a parameter text: nothing to copy */
    const fldr_ctl *ctl = result->ctl_first->ctl;
    const fldr_data_file *df = ctl->data_file_first;
    if (df != nullptr) {
        static_assert(sizeof args->data_file <= sizeof df->path);
        const size_t path_len = strnlen(df->path, sizeof args->data_file - 1);
        memcpy(args->data_file, df->path, path_len);
        args->data_file[path_len] = '\0';
        args->row_sep_len = df->row_term_len;
        if (df->row_term_hex[0] != '\0') {
            memcpy(args->row_sep_hex, df->row_term_hex, sizeof args->row_sep_hex);
        } else {
            const size_t len = strnlen(df->row_term, sizeof args->row_sep - 1);
            memcpy(args->row_sep, df->row_term, len);
            args->row_sep[len] = '\0';
            args->row_sep_len = static_cast<uint16_t>(len);
        }
    }
    const fldr_seperator_info *sep = ctl->sep_info;
    if (sep == nullptr)
        return;
    args->field_sep_len = sep->term_len;
    if (sep->term_len != 0) {
        if (sep->term_is_hex)
            memcpy(args->field_sep_hex, sep->term_hex, sizeof args->field_sep_hex);
        else
            memcpy(args->field_sep, sep->term, sizeof args->field_sep);
        args->field_sep_is_hex = sep->term_is_hex;
    }
}

/* ------------------------------------------------------ character sets */

struct CharsetName {
    const char *name;
    uint32_t    code;
};

/* Data-file character sets (CHARACTER_CODE), in lookup order. */
constexpr CharsetName k_data_charsets[] = {
    {"GBK", 2}, {"GB18030", 10}, {"UTF-8", 1}, {"SINGLE_BYTE", 9}, {"EUC-KR", 6},
};

/* Local character sets (LOCAL_CODE), in lookup order; index + 1 is the code. */
constexpr CharsetName k_local_charsets[] = {
    {"UTF-8", 1},      {"GBK", 2},        {"BIG5", 3},  {"ISO 8859 9", 4},
    {"EUC JP", 5},     {"EUC KR", 6},     {"KOI8R", 7}, {"ISO 8859 1", 8},
    {"ASCII", 9},      {"GB18030", 10},   {"ISO 8859 11", 11},
};

template <size_t N>
uint32_t code_of(const CharsetName (&table)[N], const char *name)
{
    if (name == nullptr)
        return 0;
    for (const CharsetName &row : table)
        if (strcasecmp(name, row.name) == 0)
            return row.code;
    return 0;
}

template <size_t N>
void name_of(const CharsetName (&table)[N], uint32_t code, char *buf)
{
    for (const CharsetName &row : table)
        if (row.code == code) {
            memcpy(buf, row.name, strlen(row.name) + 1);
            return;
        }
    buf[0] = '\0';
}

}  // namespace

extern "C" size_t fpar_tokbuf_size(size_t text_len, int *is_inline)
{
    const uint64_t size = static_cast<uint64_t>(text_len) + FPAR_TOKBUF_EXTRA;
    *is_inline = 0;
    if (size > FPAR_TOKBUF_MAX)
        return 0;
    *is_inline = size < FPAR_TOKBUF_INLINE;
    return static_cast<size_t>(size);
}

extern "C" int32_t fpar_main(fldr_env *env, const char *text, fldr_par_result **result,
                             fldr_parse_err **err, fldr_args *args, mem_heap_t *heap)
{
    return run_parse(env, text, result, err, args, nullptr, heap);
}

extern "C" int32_t fpar_main_ex(fldr_env *env, const char *text, fldr_par_result **result,
                                fldr_parse_err **err, fldr_col *col, mem_heap_t *heap)
{
    return run_parse(env, text, result, err, nullptr, col, heap);
}

extern "C" int32_t fldr_par_main(fldr_env *env, const char *text, fldr_par_result **result,
                                 fldr_parse_err **err, fldr_args *args)
{
    mem_heap_t *heap = mem_heap_create_low(env, 0, 0, 0, 0, FLDR_TAG_FPAR, 207, 1);
    if (heap == nullptr)
        return FLDR_ERR_OUT_OF_MEMORY;

    fldr_init_args(args);
    /* Separators, limits and file names the control file may give start as
    ** "not given"; all bits set in skip_rows and errors mean the same. */
    args->field_sep[0] = '\0';
    args->field_sep_hex[0] = '\0';
    args->row_sep[0] = '\0';
    args->row_sep_hex[0] = '\0';
    args->field_sep_len = 0;
    args->row_sep_len = 0;
    args->field_sep_is_hex = 0;
    args->skip_rows = UINT64_MAX;
    args->errors = UINT32_MAX;
    args->log_file[0] = '\0';
    args->bad_file[0] = '\0';
    args->null_str[0] = '\0';
    args->sql_file[0] = '\0';
    args->sql_text = nullptr;

    fldr_par_result *heap_result = nullptr;
    fldr_parse_err *heap_err = nullptr;
    const int32_t rc = fpar_main(env, text, &heap_result, &heap_err, args, heap);
    if (rc == 0)
        copy_first_table(heap_result, args);
    keep_copies(heap_result, heap_err, result, err);
    /* sql_text, sedf, sedt, escape and the DATA names pointed into the heap. */
    args->sql_text = nullptr;
    args->sedf = nullptr;
    args->sedt = nullptr;
    args->escape = nullptr;
    args->data_name_count = 0;
    args->data_name_first = nullptr;
    args->data_name_last = nullptr;
    mem_heap_free(env, heap);
    return rc < 0 ? rc : 0;
}

/*
** Width of each date-format element code that has a fixed width; the
** others (names of variable length, unknown codes) cannot size a field.
*/
static uint32_t date_elem_width(uint16_t code)
{
    switch (code) {
    case 12: return 1;
    case 9: case 13: case 21: case 22: case 23: case 29: case 30: case 40: case 50: return 2;
    case 14: return 3;
    case 15: case 47: return 4;
    case 16: return 5;
    case 17: return 6;
    case 18: return 7;
    case 19: return 8;
    case 20: return 9;
    default: return 0;
    }
}

extern "C" int32_t fldr_calc_date_fmt_len(fldr_env *env, mem_heap_t *heap, const char *fmt, uint32_t *len)
{
    qx_dfmt_elem *elem = nullptr;
    const int32_t rc = parse_date_fmt(env, fmt, heap, &elem);
    if (rc < 0)
        return rc;
    uint32_t total = 0;
    for (; elem != nullptr; elem = elem->next) {
        const uint32_t width = date_elem_width(elem->code);
        if (width == 0)
            return FLDR_ERR_DATE_FORMAT;
        total += width + elem->count;
    }
    *len = total;
    return 0;
}

extern "C" uint32_t fpar_get_charactor_code(const char *name)
{
    return code_of(k_data_charsets, name);
}

extern "C" void fpar_get_charactor(uint32_t code, char *buf)
{
    name_of(k_data_charsets, code, buf);
}

extern "C" uint32_t fpar_get_local_code(const char *name)
{
    return code_of(k_local_charsets, name);
}

extern "C" void fpar_get_local_code_str(uint32_t code, char *buf)
{
    name_of(k_local_charsets, code, buf);
}

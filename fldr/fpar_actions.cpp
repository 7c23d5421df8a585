/*
** Actions of the control-language grammar: value checks and record
** updates (see fpar_actions.h). Tags: "fldr/fldr", WHEN nodes "fldr/fldr_pub".
*/
#include <cstring>
#include <strings.h>

#include "fldr_internal.h"
#include "fpar_actions.h"
#include "qxcalc.h"

namespace fpar_act {
void fpar_refuse(fldr_parse_ctx *ctx)
{
    if (ctx->action_rc == 0)
        ctx->action_rc = -1;
    fldr_parse_fill_err(ctx);
}

void *heap_new(fldr_parse_ctx *ctx, size_t size, const char *tag, uint32_t line)
{
    void *block = mem_heap_alloc_low(ctx->env, ctx->parse_heap, size, 0, tag, line);
    /* The caller's heap need not zero its blocks; records start zeroed. */
    memset(block, 0, size);
    return block;
}

char *heap_dup(fldr_parse_ctx *ctx, const char *text)
{
    return mem_heap_strdup(ctx->env, ctx->parse_heap, text);
}

/* Copies a text already checked to fit (len < cap). */
void copy_text(char *dst, const char *src, size_t len)
{
    memcpy(dst, src, len);
    dst[len] = '\0';
}

bool all_ascii(const char *text, size_t len)
{
    for (size_t i = 0; i < len; i++)
        if ((unsigned char)text[i] > 127)
            return false;
    return true;
}

/* A length-limited text option: refused when shorter than lo or longer than hi. */
bool fits(const char *text, size_t lo, size_t hi)
{
    const size_t len = strlen(text);
    return len >= lo && len <= hi;
}

/* A path option: 1..256 characters, "/" stored as "\". */
bool set_path(char *dst, const char *text)
{
    if (!fits(text, 1, 256))
        return false;
    fldr_path_copy(dst, text);
    return true;
}

/* A text option copied as written, within lo..hi characters. */
bool set_text(char *dst, const char *text, size_t lo, size_t hi)
{
    if (!fits(text, lo, hi))
        return false;
    copy_text(dst, text, strlen(text));
    return true;
}

uint32_t mode_code(const char *text)
{
    const struct { const char *name; uint32_t code; } k_modes[] = {
        {"IN", 1}, {"OUT", 2}, {"OUTORA", 3}, {"LOCAL_FILE", 4},
    };
    for (const auto &m : k_modes)
        if (strcasecmp(text, m.name) == 0)
            return m.code;
    return 0;
}

uint16_t blob_type_code(const char *text)
{
    if (strcasecmp(text, "HEX") == 0)
        return 1;
    if (strcasecmp(text, "HEX_CHAR") == 0)
        return 0;
    return 65535;
}

bool set_field_sep(fldr_args *a, const fpar_sval *v)
{
    const size_t len = strlen(v->text);
    if (len > 256 || !all_ascii(v->text, len))
        return false;
    if (len == 0) {
        a->field_sep_empty = 1;
        a->field_sep_len = 0;
        return true;
    }
    if (v->is_hex) {
        a->field_sep[0] = '\0';
        copy_text(a->field_sep_hex, v->text, len);
        a->field_sep_is_hex = 1;
    } else {
        copy_text(a->field_sep, v->text, len);
        a->field_sep_is_hex = 0;
    }
    a->field_sep_len = (uint16_t)len;
    return true;
}

bool set_row_sep(fldr_args *a, const fpar_sval *v)
{
    const size_t len = strlen(v->text);
    if (len > 256)
        return false;
    if (v->is_hex) {
        copy_text(a->row_sep_hex, v->text, len);
        a->row_sep[0] = '\0';
    } else {
        copy_text(a->row_sep, v->text, len);
        a->row_sep_hex[0] = '\0';
    }
    a->row_sep_len = (uint16_t)len;
    return true;
}

/* Site numbers: below 1024; the list keeps its first 1024 entries. */
bool add_site(fldr_args *a, int64_t value)
{
    const uint16_t site = (uint16_t)value;
    if (site >= 1024)
        return false;
    if (a->ep_count < 1024)
        a->ep_list[a->ep_count++] = site;
    return true;
}

bool add_data_name(fldr_parse_ctx *ctx, fldr_args *a, char *text)
{
    if (!fits(text, 1, 256))
        return false;
    fldr_data_name *dn = NEW(fldr_data_name);
    dn->name = (char *)heap_new(ctx, 257, FLDR_TAG_FLDR, __LINE__);
    copy_text(dn->name, text, strlen(text));
    dn->prev = a->data_name_last;
    if (a->data_name_last != NULL)
        a->data_name_last->next = dn;
    else
        a->data_name_first = dn;
    a->data_name_last = dn;
    a->data_name_count++;
    return true;
}

/* A new control record, made current and appended to the result's list. */
void new_ctl(fldr_parse_ctx *ctx, uint8_t is_continuation)
{
    fldr_ctl *ctl = NEW(fldr_ctl);
    fldr_init_ctl(ctx->env, ctx->parse_heap, ctl);
    ctl->is_continuation = is_continuation;
    fldr_ctl_node *node = NEW(fldr_ctl_node);
    node->ctl = ctl;
    fldr_par_result *r = ctx->result;
    node->prev = r->ctl_last;
    if (r->ctl_last != NULL)
        r->ctl_last->next = node;
    else
        r->ctl_first = node;
    r->ctl_last = node;
    r->ctl_count++;
    ctx->cur_ctl = ctl;
}

bool new_data_file(fldr_parse_ctx *ctx, const char *name)
{
    if (strlen(name) > 256)
        return false;
    fldr_data_file *df = NEW(fldr_data_file);
    fldr_init_data_file(df, name);
    fldr_ctl *ctl = ctx->cur_ctl;
    df->prev = ctl->data_file_last;
    if (ctl->data_file_last != NULL)
        ctl->data_file_last->next = df;
    else
        ctl->data_file_first = df;
    ctl->data_file_last = df;
    ctl->data_file_count++;
    return true;
}

/* STR / TERMINATED BY of the last data file. */
bool set_row_term(fldr_data_file *df, const fpar_sval *v)
{
    const size_t len = strlen(v->text);
    if (len > 256)
        return false;
    if (v->is_hex) {
        copy_text(df->row_term_hex, v->text, len);
        df->row_term[0] = '\0';
        df->row_term_len = 0;
    } else {
        copy_text(df->row_term, v->text, len);
        df->row_term_len = (uint16_t)len;
    }
    df->row_term_given = 1;
    return true;
}

bool set_row_start(fldr_data_file *df, const fpar_sval *v)
{
    const size_t len = strlen(v->text);
    if (len > 256)
        return false;
    if (v->is_hex) {
        copy_text(df->start_hex, v->text, len);
        df->start_str[0] = '\0';
        df->start_len = 0;
    } else {
        copy_text(df->start_str, v->text, len);
        df->start_len = (uint16_t)len;
    }
    df->start_given = 1;
    return true;
}

/* Terminator, enclosure, escape: text or hexadecimal form; the other form's
** text is left as it was, the flag tells which one holds. */
bool set_sep(char *text_dst, char *hex_dst, uint16_t *len_dst, uint32_t *is_hex_dst,
             const fpar_sval *v)
{
    const size_t len = strlen(v->text);
    if (len > 256)
        return false;
    copy_text(v->is_hex ? hex_dst : text_dst, v->text, len);
    *len_dst = (uint16_t)len;
    *is_hex_dst = v->is_hex;
    return true;
}

bool set_table_name(char *schema, char *table, const char *first, const char *second)
{
    if (strlen(first) > FPAR_NAME_MAX || (second != NULL && strlen(second) > FPAR_NAME_MAX))
        return false;
    if (second == NULL) {
        copy_text(table, first, strlen(first));
    } else {
        copy_text(schema, first, strlen(first));
        copy_text(table, second, strlen(second));
    }
    return true;
}

fldr_bexp_value *when_value(fldr_parse_ctx *ctx, uint8_t kind, const char *text)
{
    fldr_bexp_value *v = NEW_PUB(fldr_bexp_value);
    v->kind = kind;
    if (text != NULL) {
        v->len = (uint16_t)strlen(text);
        v->text = (char *)text;
    }
    return v;
}

void group_append(fldr_bexp *group, fldr_bexp *node)
{
    node->prev = group->last;
    node->next = NULL;
    if (group->last != NULL)
        group->last->next = node;
    else
        group->first = node;
    group->last = node;
    group->count++;
}

fldr_fun_arg *fun_arg(fldr_parse_ctx *ctx, uint16_t kind, const char *text)
{
    fldr_fun_arg *arg = NEW(fldr_fun_arg);
    arg->kind = kind;
    /* A longer constant keeps its first 128 characters. */
    const size_t len = strlen(text);
    copy_text(arg->text, text, len < FPAR_NAME_MAX ? len : FPAR_NAME_MAX);
    return arg;
}

void args_append(fldr_parse_ctx *ctx, fldr_fun_arg_list *list, fldr_fun_arg *arg)
{
    fldr_fun_arg_node *node = NEW(fldr_fun_arg_node);
    node->arg = arg;
    node->prev = list->last;
    if (list->last != NULL)
        list->last->next = node;
    else
        list->first = node;
    list->last = node;
    list->count++;
}

/* CHR(n): the code's bytes, most significant first, in the fewest bytes. */
char *chr_text(fldr_parse_ctx *ctx, int64_t value)
{
    const uint32_t code = (uint32_t)value;
    char *cell = (char *)heap_new(ctx, 8, FLDR_TAG_FLDR, __LINE__);
    const int bytes = code <= 0xFFu ? 1 : code <= 0xFFFFu ? 2 : code <= 0xFFFFFFu ? 3 : 4;
    for (int i = 0; i < bytes; i++)
        cell[i] = (char)(code >> (8 * (bytes - 1 - i)));
    cell[bytes] = '\0';
    return cell;
}

bool is_nextval(const char *name)
{
    return strcasecmp(name, "NEXTVAL") == 0;
}

bool set_table_enclose(fldr_parse_ctx *ctx, const fpar_sval *v)
{
    fldr_seperator_info *s = ctx->cur_ctl->sep_info;
    return set_sep(s->enclose, s->enclose_hex, &s->enclose_len, &s->enclose_is_hex, v);
}

bool set_col_enclose(fldr_parse_ctx *ctx, const fpar_sval *v)
{
    fldr_seperator_info *s = ctx->cur_col->sep_info;
    return set_sep(s->enclose, s->enclose_hex, &s->enclose_len, &s->enclose_is_hex, v);
}

/* A date format needs DATE before it; with a position it fixes the length. */
bool set_date_format(fldr_parse_ctx *ctx, const char *fmt)
{
    fldr_col *col = ctx->cur_col;
    const size_t len = strlen(fmt);
    if (col->data_type != 14 || len > 50)
        return false;
    uint32_t width = col->data_len;
    if (col->pos_kind != 0 && fldr_calc_date_fmt_len(ctx->env, ctx->parse_heap, fmt, &width) != 0)
        return false;
    copy_text(col->date_format, fmt, len);
    col->data_len = width;
    return true;
}

bool set_substr(fldr_parse_ctx *ctx, int16_t kind, const char *col_name, int64_t start,
                int64_t len)
{
    fldr_col *col = ctx->cur_col;
    if (col == NULL || strlen(col_name) >= FPAR_NAME_MAX)
        return false;
    col->fun_kind = kind;
    copy_text(col->substr_col, col_name, strlen(col_name));
    col->substr_start = (int32_t)start;
    col->substr_len = (int32_t)len;
    return true;
}

}  // namespace fpar_act

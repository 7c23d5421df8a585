/*
** Column functions: binding a column's function text against the table's
** columns (fldr_map_fun_str), and REPLACE over a whole batch column
** (fldr_replace_fun).
**
** REPLACE keeps two work areas for the whole batch, both only ever grown to
** the largest value seen: the match array (positions from the search) and
** the output buffer. The search tables are rebuilt for every row from the
** same pattern: they are small (256 + 129 words) and live on the stack.
*/
#include "fldr_internal.h"
#include "fldr_pub_fun.h"
#include "qxcalc.h"
#include "qxdta.h"

#include <cstdint>
#include <cstring>

namespace {

/* A block from the caller's memory context that only ever grows. */
struct grow_area {
    fldr_env  *env;
    mem_ctx_t *mem_ctx;
    void      *ptr = nullptr;
    uint64_t   cap = 0;   /* bytes */

    grow_area(fldr_env *e, mem_ctx_t *m) : env(e), mem_ctx(m) {}
    grow_area(const grow_area &) = delete;
    grow_area &operator=(const grow_area &) = delete;
    ~grow_area() { fldr_free(env, mem_ctx, ptr); }

    /* Makes room for `bytes`; false when memory runs out (the old block stays). */
    bool reserve(uint64_t bytes)
    {
        if (bytes <= cap) return true;
        if (bytes > 0xFFFFFFFFu) return false;
        void *grown = fldr_alloc(env, mem_ctx, static_cast<size_t>(bytes), FLDR_TAG_PUB, __LINE__);
        if (grown == nullptr) return false;
        fldr_free(env, mem_ctx, ptr);   /* contents need not survive: each row refills them */
        ptr = grown;
        cap = bytes;
        return true;
    }
};

/* Makes sure dst can hold `rows` rows of the source's type. */
int32_t prepare_destination(const bdta3_col *src, bdta3_col *dst, uint32_t rows)
{
    if (dst->data == nullptr || dst->data->cap < rows || !qxdta_type_is_str(dst->type)) {
        if (bdta3_col_data_create_low(nullptr, nullptr, dst, src->type, rows) != 0) return FLDR_ERR_OUT_OF_MEMORY;
    }
    dst->type = src->type;
    return 0;
}

/* ---- binding ---- */

constexpr unsigned char lower_ascii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

/* Equal without regard to case; `name` is read at most `cap` bytes (a record's array). */
bool same_name(const char *name, size_t cap, const char *server_name)
{
    if (server_name == nullptr) return false;
    for (size_t i = 0; i < cap; i++) {
        const auto a = lower_ascii(static_cast<unsigned char>(name[i]));
        const auto b = lower_ascii(static_cast<unsigned char>(server_name[i]));
        if (a != b) return false;
        if (a == '\0') return true;
    }
    return server_name[cap] == '\0';
}

/* Index of the server column called `name`, or -1. */
int32_t find_column(const fldr_tab_info *tab, const char *name, size_t cap)
{
    if (tab == nullptr || tab->cols == nullptr) return -1;
    for (uint16_t i = 0; i < tab->col_count; i++) {
        if (same_name(name, cap, tab->cols[i].name)) return i;
    }
    return -1;
}

constexpr bool sysdate_type(uint16_t type)
{
    switch (type) {
    case 1: case 2: case 14: case 15: case 16: case 22: case 23: case 26: case 27:
        return true;
    default:
        return false;
    }
}

/* Arguments of a call, in written order; the first failure is returned. */
int32_t bind_args(const fldr_tab_info *tab, fldr_fun_arg_list *args)
{
    if (args == nullptr) return 0;
    for (fldr_fun_arg_node *node = args->first; node != nullptr; node = node->next) {
        fldr_fun_arg *arg = node->arg;
        if (arg == nullptr) return FLDR_ERR_PARAMETER_VALUE;
        switch (arg->kind) {
        case 0: {
            const int32_t idx = find_column(tab, arg->text, sizeof arg->text);
            if (idx < 0) return FLDR_ERR_PARAMETER_VALUE;
            arg->col_idx = static_cast<uint16_t>(idx);
            break;
        }
        case 1:
            if (arg->text[0] == '\0') return FLDR_ERR_PARAMETER_VALUE;
            break;
        case 2:
            if (arg->text[0] == '\0') return FLDR_ERR_PARAMETER_VALUE;
            if (int32_t rc = bind_args(tab, arg->args); rc != 0) return rc;
            break;
        default:
            return FLDR_ERR_PARAMETER_VALUE;
        }
    }
    return 0;
}

} // namespace

extern "C" int64_t fldr_fun_triple_quotes(const char *text, char *out, size_t cap)
{
    size_t used = 0;
    for (const char *p = text; *p != '\0'; p++) {
        const size_t width = *p == '"' ? 3 : 1;
        if (used + width >= cap) return -1;   /* keep one byte for the zero */
        for (size_t k = 0; k < width; k++) out[used++] = *p;
    }
    if (used >= cap) return -1;
    out[used] = '\0';
    return static_cast<int64_t>(used);
}

extern "C" int32_t fldr_fun_bind(const fldr_inst *inst, const fldr_tab_info *tab, fldr_col *col)
{
    switch (col->fun_kind) {
    case FLDR_FUN_REPLACE: {
        const int32_t idx = find_column(tab, col->rep_col, sizeof col->rep_col);
        if (idx < 0) return FLDR_ERR_COLUMN_FUNCTION;
        col->rep_col_idx = static_cast<int16_t>(idx);
        return 0;
    }
    case FLDR_FUN_SYSDATE: {
        const int32_t idx = find_column(tab, col->name, sizeof col->name);
        if (idx < 0 || !sysdate_type(tab->cols[idx].type)) return FLDR_ERR_COLUMN_FUNCTION;
        return 0;
    }
    case FLDR_FUN_NEXTVAL:
        if (inst != nullptr && inst->dpc_mode != 0) return FLDR_ERR_DPC;
        if (col->seq_name[0] == '\0') return FLDR_ERR_COLUMN_FUNCTION;
        return 0;
    case FLDR_FUN_SUBSTR:
    case FLDR_FUN_SUBSTRB: {
        if (col->substr_len < 0) return FLDR_ERR_PARAMETER_VALUE;
        const int32_t idx = find_column(tab, col->substr_col, sizeof col->substr_col);
        if (idx < 0 || tab->cols[idx].type >= 3) return FLDR_ERR_COLUMN_NAME;
        col->substr_col_idx = static_cast<int16_t>(idx);
        return 0;
    }
    case FLDR_FUN_CALL: {
        if (col->fun_name[0] == '\0') return FLDR_ERR_PARAMETER_VALUE;
        if (int32_t rc = bind_args(tab, col->fun_args); rc != 0) return rc;
        if (inst != nullptr && inst->call_refused == 1) return FLDR_ERR_COLUMN_FUNCTION;
        return 0;
    }
    default:   /* TRIM, DEFAULT, none: nothing to bind */
        return 0;
    }
}

extern "C" int32_t fldr_replace_fun(fldr_env *env, mem_ctx_t *mem_ctx, const fldr_col *col, const bdta3_col *src,
                                    bdta3_col *dst, uint32_t rows)
{
    if (col == nullptr || src == nullptr || dst == nullptr) return FLDR_ERR_NULL_POINTER;
    const char *from = col->rep_from;
    const char *to = col->rep_to;
    const auto from_len = static_cast<uint32_t>(strnlen(from, sizeof col->rep_from));
    const auto to_len = static_cast<uint32_t>(strnlen(to, sizeof col->rep_to));

    /* 1. Nothing to look for: the column passes unchanged. */
    if (from_len == 0) {
        if (bdta3_col_append(env, mem_ctx, dst, src) < 0) return FLDR_ERR_OUT_OF_MEMORY;
        dst->type = src->type;
        return 0;
    }
    if (!qxdta_type_is_str(src->type)) return FLDR_ERR_COLUMN_TYPE;
    if (rows > 0 && src->data == nullptr) return FLDR_ERR_NULL_POINTER;

    /* 2. Row by row. */
    if (int32_t rc = prepare_destination(src, dst, rows); rc != 0) return rc;
    grow_area matches(env, mem_ctx);
    grow_area output(env, mem_ctx);
    int32_t bmbc[QXCALC_BMBC_SIZE];
    int32_t bmgs[sizeof col->rep_from];

    for (uint32_t i = 0; i < rows; i++) {
        const uint32_t row = bdta3_col_src_row(src, i);
        if (row >= src->data->cap) return FLDR_ERR_OUT_OF_RANGE;
        dst->data->nulls[i] = src->data->nulls[row];
        if (src->data->nulls[row] == 0) continue;

        const auto *value = static_cast<const qxdta_str *>(bdta3_col_value(src, row));
        const uint32_t len = value->len;
        uint32_t found = 0;
        if (len >= from_len) {
            const uint64_t positions = uint64_t{len} - from_len + 1;
            if (!matches.reserve(positions * sizeof(uint32_t))) return FLDR_ERR_OUT_OF_MEMORY;
            preprocess_bmbc(from, from_len, bmbc);
            if (preprocess_bmgs(from, from_len, bmgs) != 0) return FLDR_ERR_OUT_OF_MEMORY;
            found = static_cast<uint32_t>(positions);
            if (qx_strbmncmp_arrex2(value->ptr, len, from, from_len, static_cast<uint32_t *>(matches.ptr), &found,
                                    bmbc, bmgs) != 0)
                return FLDR_ERR_OUT_OF_MEMORY;   /* cannot happen: the array holds every position */
        }
        if (found == 0) {
            /* Unchanged: its own length and flag word. */
            if (bdta3_col_assign_str(env, mem_ctx, dst, i, value->ptr, len, value->flag) < 0)
                return FLDR_ERR_OUT_OF_MEMORY;
            continue;
        }

        /* Room for the most replacements that fit: floor(L / F) * (T - F) more bytes. */
        uint64_t need = len;
        if (from_len < to_len) {
            need = uint64_t{to_len} * len / from_len;
            if (need == 0) need = len;
        }
        if (!output.reserve(need == 0 ? 1 : need)) return FLDR_ERR_OUT_OF_MEMORY;

        /*
        ** Invariant: `pos` is the first source byte not yet copied; a match
        ** starting before it overlaps the one just replaced and is skipped.
        */
        char *out = static_cast<char *>(output.ptr);
        const auto *hits = static_cast<const uint32_t *>(matches.ptr);
        uint64_t pos = 0, out_len = 0;
        for (uint32_t k = 0; k < found; k++) {
            const uint64_t start = hits[k] - 1;
            if (start < pos) continue;
            std::memcpy(out + out_len, value->ptr + pos, start - pos);
            out_len += start - pos;
            std::memcpy(out + out_len, to, to_len);
            out_len += to_len;
            pos = start + from_len;
        }
        std::memcpy(out + out_len, value->ptr + pos, len - pos);
        out_len += len - pos;

        if (bdta3_col_assign_str(env, mem_ctx, dst, i, out, static_cast<uint32_t>(out_len), 0) < 0)
            return FLDR_ERR_OUT_OF_MEMORY;
    }
    dst->row_count = rows;
    /* 3. The work areas are released by their owners. */
    return 0;
}

/*
** The function text goes to the parser with every double quote written
** three times; a copy up to 2048 bytes lives on the stack, a longer one in
** a block of the instance's memory context.
*/
extern "C" int32_t fldr_map_fun_str(fldr_env *env, fldr_inst *inst, const fldr_tab_info *tab, fldr_col *col,
                                    mem_heap_t *heap)
{
    if (col == nullptr) return FLDR_ERR_NULL_POINTER;
    if (col->fun_str == nullptr || col->fun_str[0] == '\0') return 0;

    /* 1. The copy for the parser. */
    const size_t len = std::strlen(col->fun_str);
    constexpr size_t kStackCopy = 2048;
    char stack_copy[kStackCopy + 1];
    mem_ctx_t *mem_ctx = inst != nullptr ? inst->mem_ctx : nullptr;
    char *copy = stack_copy;
    size_t cap = sizeof stack_copy;
    if (len > kStackCopy / 3) {
        if (len > (SIZE_MAX - 1) / 3) return FLDR_ERR_OUT_OF_MEMORY;
        cap = 3 * len + 1;
        copy = static_cast<char *>(fldr_alloc(env, mem_ctx, cap, FLDR_TAG_PUB, __LINE__));
        if (copy == nullptr) return FLDR_ERR_OUT_OF_MEMORY;
    }
    (void)fldr_fun_triple_quotes(col->fun_str, copy, cap);   /* cap >= 3 * len + 1: always fits */

    /* 2., 3. Parse into the column. */
    fldr_par_result *result = nullptr;
    fldr_parse_err *err = nullptr;
    const int32_t rc = fpar_main_ex(env, copy, &result, &err, col, heap);
    if (copy != stack_copy) fldr_free(env, mem_ctx, copy);
    if (rc == FLDR_ERR_NO_TOKEN_BUFFER) return FLDR_ERR_OUT_OF_MEMORY;
    if (rc != 0) return FLDR_ERR_PARSE;

    /* 4. Bind what the function names. */
    return fldr_fun_bind(inst, tab, col);
}

/*
** Interim versions of three library entry points (see lib_entry.h), used
** only while the linked library does not define them. They follow the
** library's documented behaviour closely enough for the tool's needs:
**   - the reader: chunks into pooled buffers, rows cut at the terminator,
**     WHEN filtering, tasks of row offsets to the workers' queues, the
**     multi-table case with one task per table;
**   - the WHEN evaluation: byte ranges and columns by name, AND groups,
**     blank padding, BLANKS;
**   - the function binding: the function text parsed into the column and
**     the columns it names looked up in the table.
** The weak references below resolve to the library's definitions when it
** has them; then none of this code runs.
*/
#include <cstring>
#include <string>

#include "lib_entry.h"
#include "qxcvt.h"

#pragma weak fldr_read_rows_and_build_task
#pragma weak fldr_calc_bexp
#pragma weak fldr_map_fun_str

namespace qxfldr {

namespace {

constexpr uint32_t kTailKeep = 16384;   /* a chunk is cut short below this many bytes left */

bool grow_offsets(fldr_env *env, fldr_inst *owner, fldr_task *task, uint32_t count)
{
    if (count < task->row_cap && task->row_offs != nullptr)
        return true;
    const uint32_t cap = count * 2 + 10000;
    auto *offs = static_cast<uint32_t *>(
        fldr_mem_alloc(env, owner->mem_ctx, (static_cast<size_t>(cap) + 1) * 4, "tools/qxfldr", __LINE__));
    if (offs == nullptr)
        return false;
    if (task->row_offs != nullptr) {
        std::memcpy(offs, task->row_offs, static_cast<size_t>(count) * 4);
        fldr_mem_free(env, owner->mem_ctx, task->row_offs);
    }
    task->row_offs = offs;
    task->row_cap = cap;
    return true;
}

void fill_task(fldr_inst *owner, fldr_task *task, fldr_rowbuf *buf, fldr_data_file *file, uint32_t count,
               uint32_t consumed, int64_t rows_read, int64_t file_off)
{
    task->task_no = owner->task_pool.next_task_no++;
    task->kind = FLDR_TASK_ROWS;
    task->row_term = file->row_term;
    task->row_term_len = file->row_term_len;
    task->start_str = file->start_str;
    task->start_len = file->start_len;
    task->data_len = consumed;
    task->rowbuf = buf;
    task->data = buf->data;
    task->row_cnt = count;
    task->row_offs[count] = consumed;
    task->first_row = rows_read - count;
    task->file_no = static_cast<int32_t>(file->file_no);
    task->file_off = file_off;
}

/* One chunk: rows cut, tested, handed out. Returns 0 or a negative code; *consumed
** the bytes that became rows. */
int32_t build_tasks(fldr_env *env, fldr_inst *inst, fldr_rowbuf *buf, fldr_data_file *file, bool last,
                    uint32_t *consumed, int64_t file_off)
{
    const uint32_t tables = inst->multi_table ? inst->table_cnt : 1;
    fldr_table_set *set = inst->tables;
    fldr_inst *single_inst[1] = {inst};
    fldr_ctl *single_ctl[1] = {inst->ctl};
    fldr_inst **insts = inst->multi_table ? set->insts : single_inst;
    fldr_ctl **ctls = inst->multi_table ? set->ctls : single_ctl;
    fldr_task *tasks[256] = {};
    fldr_rowbuf *bufs[256] = {};
    uint32_t counts[256] = {};
    if (tables > 256)
        return FLDR_ERR_PARAMETER;
    bufs[0] = buf;

    const char *p = buf->data;
    uint32_t r = buf->len, used = 0;
    int32_t result = 0;
    bool any = false;
    while (r > 0) {
        const char *end = fldr_search_row_end(inst, p, r, file->row_term_len, file->row_term);
        uint32_t row_len;
        if (end != nullptr)
            row_len = static_cast<uint32_t>(end - p) + file->row_term_len;
        else if (last)
            row_len = r;
        else if (!any) {
            fldr_print_err(inst, FLDR_ERR_NO_ROW_TERM, nullptr, 0);
            fldr_add_diag_rec(env, &inst->diag, FLDR_ERR_NO_ROW_TERM, nullptr, 0, 0, inst->language,
                              inst->out_code);
            result = FLDR_ERR_NO_ROW_TERM;
            break;
        } else
            break;
        bool task_full = false;
        for (uint32_t t = 0; t < tables; t++) {
            if (lib_calc_bexp(insts[t], ctls[t], p, row_len, inst->charset, file) == 0)
                continue;
            if (tasks[t] == nullptr) {
                tasks[t] = fldr_task_get(&insts[t]->task_pool);
                if (t > 0) {
                    bufs[t] = fldr_rowbuf_get(&insts[t]->rowbuf_pool);
                    std::memcpy(bufs[t]->data, buf->data, buf->len);
                    bufs[t]->len = buf->len;
                    bufs[t]->data[buf->len] = '\0';
                }
            }
            if (!grow_offsets(env, insts[t], tasks[t], counts[t])) {
                result = FLDR_ERR_OUT_OF_MEMORY;
                break;
            }
            tasks[t]->row_offs[counts[t]++] = static_cast<uint32_t>(p - buf->data);
            any = true;
            if (!inst->multi_table && counts[t] >= inst->task_rows)
                task_full = true;
        }
        if (result != 0)
            break;
        inst->rows_read++;
        used += row_len;
        r -= row_len;
        p += row_len;
        if (inst->rows_read == inst->load_rows || (!last && r < kTailKeep) || task_full)
            break;
    }
    for (uint32_t t = 0; t < tables; t++) {
        if (result == 0 && counts[t] > 0) {
            fill_task(insts[t], tasks[t], bufs[t], file, counts[t], used, inst->rows_read, file_off);
            fldr_task_enqueue(&insts[t]->task_pool, tasks[t]);
            continue;
        }
        if (bufs[t] != nullptr)
            fldr_rowbuf_put(&insts[t]->rowbuf_pool, bufs[t]);
        if (tasks[t] != nullptr) {
            tasks[t]->rowbuf = nullptr;
            fldr_task_free(&insts[t]->task_pool, tasks[t]);
        }
    }
    *consumed = used;
    return result;
}

int32_t interim_read_rows(fldr_env *env, fldr_inst *inst, fldr_data_file *file)
{
    uint32_t consumed = 0;
    bool last = false;
    if (inst->task_rows == 0)
        return FLDR_ERR_PARAMETER;
    for (;;) {
        fldr_rowbuf *buf = fldr_rowbuf_get(&inst->rowbuf_pool);
        if (inst->run_state == -1 || (inst->run_mode == 5 && inst->mode_flag == 1)) {
            fldr_rowbuf_put(&inst->rowbuf_pool, buf);
            return FLDR_ERR_REACH_ERROR_MAX;
        }
        file->file_offset += consumed;
        if (file->file_offset >= file->file_size) {
            fldr_rowbuf_put(&inst->rowbuf_pool, buf);
            return 0;
        }
        uint64_t n = file->file_size - file->file_offset;
        if (n > buf->cap)
            n = buf->cap;
        else
            last = true;
        if (os_file_read_by_offset_normal(file->handle, file->file_offset, buf->data, static_cast<uint32_t>(n)) == 0) {
            fldr_rowbuf_put(&inst->rowbuf_pool, buf);
            return FLDR_ERR_READ_FILE;
        }
        buf->len = static_cast<uint32_t>(n);
        buf->data[n] = '\0';
        consumed = 0;
        const int32_t rc = build_tasks(env, inst, buf, file, last, &consumed, static_cast<int64_t>(file->file_offset));
        if (rc < 0)
            return rc;
        if (inst->rows_read == inst->load_rows)
            return 0;
        if (fldr_gbl_err_reache_max(inst))
            return FLDR_ERR_REACH_ERROR_MAX;
    }
}

bool pad_equal(const char *a, uint32_t n, const char *b, uint32_t m, char pad)
{
    const uint32_t k = n < m ? n : m;
    if (std::memcmp(a, b, k) != 0)
        return false;
    for (uint32_t i = k; i < n; i++)
        if (a[i] != pad)
            return false;
    for (uint32_t i = k; i < m; i++)
        if (b[i] != pad)
            return false;
    return true;
}

/* The field of the column named `name`, cut as loading cuts it. */
bool field_by_name(fldr_inst *inst, fldr_ctl *ctl, const char *row, uint32_t row_len, fldr_data_file *file,
                   const char *name, std::string &copy, const char **out, uint32_t *out_len)
{
    uint32_t start = 0;
    if (file->start_len > 0 && row_len >= file->start_len && std::memcmp(row, file->start_str, file->start_len) == 0)
        start = file->start_len;
    copy.assign(row + start, row_len - start);
    copy.push_back('\0');
    std::string work(copy.size() + 1, '\0');
    char *base = copy.data();
    const uint32_t len = row_len - start;
    uint32_t pos = 0, more = 1, i = 0;
    for (fldr_col *col = ctl->col_first; col != nullptr; col = col->next, i++) {
        if (col->constant != nullptr)
            continue;
        const uint32_t is_last = i + 1 == ctl->col_count;
        char *data = base + pos;
        uint32_t left = len - pos;
        if (col->pos_start != -1) {
            const auto s = static_cast<uint32_t>(col->pos_start);
            if (s >= 1 && s <= len && (col->pos_end == -1 || s <= static_cast<uint32_t>(col->pos_end))) {
                data = base + s - 1;
                left = len - s + 1;
            } else {
                data = nullptr;
                left = len;
            }
        }
        char *value = nullptr;
        uint32_t vlen = 0, used = 0;
        if (left == 0 && data != nullptr) {
            if (!is_last && ctl->trailing_flag == 0)
                return false;
            value = data;
            vlen = inst->null_mode == 1 ? FLDR_NULL_LEN : 0;
        } else if (fldr_get_nth_val_len(ctl, col, is_last, file->row_term, file->row_term_len, data, left,
                                        inst->charset, inst->scan_mode, inst->enclosed_rows, &value, &vlen, &used,
                                        work.data(), nullptr, &more) < 0) {
            return false;
        }
        if (strcasecmp(col->name, name) == 0) {
            *out = value;
            *out_len = vlen;
            return true;
        }
        if (data != nullptr)
            pos = static_cast<uint32_t>(data - base) + used;
        if (pos > len)
            pos = len;
    }
    return false;
}

uint32_t interim_calc_bexp(fldr_inst *inst, fldr_ctl *ctl, const char *row, uint32_t row_len, fldr_data_file *file)
{
    const fldr_bexp *node = ctl->when_cond;
    if (node == nullptr)
        return 1;
    if (node->kind == 1)
        node = node->first;
    std::string copy;
    for (; node != nullptr; node = node->next) {
        const char *bytes = nullptr;
        uint32_t n = 0;
        const fldr_bexp_field *f = node->field;
        if (f->kind == 1) {
            if (f->start >= static_cast<int64_t>(row_len) || f->end >= static_cast<int64_t>(row_len))
                return 0;
            bytes = row + f->start - 1;
            n = static_cast<uint32_t>(f->end - f->start + 1);
        } else if (!field_by_name(inst, ctl, row, row_len, file, f->name, copy, &bytes, &n)) {
            return 0;
        }
        if (n == FLDR_NULL_LEN)
            n = 0;
        bool holds;
        if (node->value->kind == 4) {
            holds = true;
            for (uint32_t i = 0; i < n; i++)
                holds = holds && bytes[i] == ' ';
        } else {
            holds = pad_equal(bytes, n, node->value->text, node->value->len, node->value->kind == 3 ? '\0' : ' ');
        }
        if (node->op == 1)
            holds = !holds;
        if (!holds)
            return 0;
    }
    return 1;
}

int find_tab_col(const fldr_tab_info *tab, const char *name)
{
    for (uint16_t i = 0; i < tab->col_count; i++)
        if (strcasecmp(tab->cols[i].name, name) == 0)
            return i;
    return -1;
}

int32_t check_args(const fldr_tab_info *tab, fldr_fun_arg_list *args)
{
    for (fldr_fun_arg_node *node = args == nullptr ? nullptr : args->first; node; node = node->next) {
        fldr_fun_arg *arg = node->arg;
        if (arg->kind == 0) {
            const int idx = find_tab_col(tab, arg->text);
            if (idx < 0)
                return FLDR_ERR_PARAMETER_VALUE;
            arg->col_idx = static_cast<uint16_t>(idx);
        } else if (arg->kind == 1 && arg->text[0] == '\0') {
            return FLDR_ERR_PARAMETER_VALUE;
        } else if (arg->kind == 2) {
            const int32_t rc = check_args(tab, arg->args);
            if (rc != 0)
                return rc;
        }
    }
    return 0;
}

int32_t interim_map_fun_str(fldr_env *env, fldr_inst *inst, const fldr_tab_info *tab, fldr_col *col,
                            mem_heap_t *heap)
{
    if (col->fun_str == nullptr)
        return 0;
    std::string text;
    for (const char *p = col->fun_str; *p; p++)
        text.append(*p == '"' ? 3 : 1, *p);
    fldr_par_result *result = nullptr;
    fldr_parse_err *err = nullptr;
    const int32_t rc = fpar_main_ex(env, text.c_str(), &result, &err, col, heap);
    if (rc == FLDR_ERR_NO_TOKEN_BUFFER)
        return FLDR_ERR_OUT_OF_MEMORY;
    if (rc != 0)
        return FLDR_ERR_PARSE;
    switch (col->fun_kind) {
    case FLDR_FUN_REPLACE: {
        const int idx = find_tab_col(tab, col->rep_col);
        if (idx < 0)
            return FLDR_ERR_COLUMN_FUNCTION;
        col->rep_col_idx = static_cast<int16_t>(idx);
        return 0;
    }
    case FLDR_FUN_SYSDATE: {
        const int idx = find_tab_col(tab, col->name);
        static const uint16_t ok[] = {1, 2, 14, 15, 16, 22, 23, 26, 27};
        if (idx < 0)
            return FLDR_ERR_COLUMN_FUNCTION;
        for (uint16_t t : ok)
            if (tab->cols[idx].type == t)
                return 0;
        return FLDR_ERR_COLUMN_FUNCTION;
    }
    case FLDR_FUN_NEXTVAL:
        if (inst->dpc_mode != 0)
            return FLDR_ERR_DPC;
        return col->seq_name[0] == '\0' ? FLDR_ERR_COLUMN_FUNCTION : 0;
    case FLDR_FUN_SUBSTR:
    case FLDR_FUN_SUBSTRB: {
        if (col->substr_len < 0)
            return FLDR_ERR_PARAMETER_VALUE;
        const int idx = find_tab_col(tab, col->substr_col);
        if (idx < 0 || tab->cols[idx].type >= 3)
            return FLDR_ERR_COLUMN_NAME;
        col->substr_col_idx = static_cast<int16_t>(idx);
        return 0;
    }
    case FLDR_FUN_CALL: {
        if (col->fun_name[0] == '\0')
            return FLDR_ERR_PARAMETER_VALUE;
        const int32_t arc = check_args(tab, col->fun_args);
        if (arc != 0)
            return arc;
        return inst->call_refused == 1 ? FLDR_ERR_COLUMN_FUNCTION : 0;
    }
    default:
        return 0;
    }
}

}  // namespace

int32_t lib_read_rows(fldr_env *env, fldr_inst *inst, fldr_data_file *file)
{
    if (&fldr_read_rows_and_build_task != nullptr)
        return fldr_read_rows_and_build_task(env, inst, file);
    return interim_read_rows(env, inst, file);
}

uint32_t lib_calc_bexp(fldr_inst *inst, fldr_ctl *ctl, const char *row, uint32_t row_len, uint32_t charset,
                       fldr_data_file *file)
{
    if (&fldr_calc_bexp != nullptr)
        return fldr_calc_bexp(inst, ctl, row, row_len, charset, file);
    return interim_calc_bexp(inst, ctl, row, row_len, file);
}

int32_t lib_map_fun_str(fldr_env *env, fldr_inst *inst, const fldr_tab_info *tab, fldr_col *col, mem_heap_t *heap)
{
    if (&fldr_map_fun_str != nullptr)
        return fldr_map_fun_str(env, inst, tab, col, heap);
    return interim_map_fun_str(env, inst, tab, col, heap);
}

const char *lib_interim_note()
{
    static std::string note = [] {
        std::string s;
        if (&fldr_read_rows_and_build_task == nullptr)
            s += " reader";
        if (&fldr_calc_bexp == nullptr)
            s += " WHEN";
        if (&fldr_map_fun_str == nullptr)
            s += " functions";
        return s;
    }();
    return note.c_str();
}

}  // namespace qxfldr

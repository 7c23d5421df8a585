/*
** Initialisers of the control-language records: the load arguments, the
** control record of an INTO TABLE clause, a column and separator
** information. The parser calls the last three for every record it creates;
** the loader tool calls fldr_init_args on its own arguments record.
*/
#include <cstring>

#include "fldr_internal.h"

namespace {

template <size_t N>
void set_text(char (&dst)[N], const char *text)
{
    static_assert(N > 0);
    const size_t len = strlen(text);
    memcpy(dst, text, len + 1 <= N ? len + 1 : N);
    dst[N - 1] = '\0';
}

fldr_seperator_info *new_sep(fldr_env *env, mem_heap_t *heap, uint32_t line)
{
    auto *sep = static_cast<fldr_seperator_info *>(
        mem_heap_alloc_low(env, heap, sizeof(fldr_seperator_info), 0, FLDR_TAG_PUB, line));
    if (sep != nullptr)
        memset(sep, 0, sizeof *sep);
    return sep;
}

}  // namespace

extern "C" void fldr_init_args(fldr_args *args)
{
    set_text(args->log_file, "fldr.log");
    set_text(args->bad_file, "fldr.bad");
    args->skip_rows = 0;
    args->load_rows = 9223372036854775807ull;
    args->commit_rows = 50000;
    args->direct = 1;
    args->set_identity = 0;
    args->sorted = 0;
    args->index_option = 1;
    args->errors = 100;
    args->character_code = -2;
    args->silent = 0;
    args->mode = 1;
    args->spare_code = -1;
    args->mpp_client = 1;
    args->single_file = 0;
    args->lob_directory[0] = '\0';
    set_text(args->lob_file_name, "qxfldr.lob");
    args->client_lob = 0;
    args->buffer_node_size = 10;
    args->log_size = 1;
    args->read_rows = 100000;
    args->null_mode = 0;
    args->null_str[0] = '\0';
    args->send_node_number = 20;
    /* The processor count is taken as a 16-bit number, at most 128 threads. */
    const uint16_t cpus = static_cast<uint16_t>(cpu_get_cpu_num());
    args->task_thread_number = cpus > 128 ? 128 : cpus;
    args->bldr_num = 64;
    args->blob_type = 0;
    args->bdta_size = 5000;
    args->unrep_char_mode = 0;
    args->compress_flag = 0;
    args->oci_directory[0] = '\0';
    args->spare_path[0] = '\0';
    args->enable_class_type = 0;
    args->spare_flag = 0;
    args->flush_flag = 0;
    args->lan_mode = 0;
    args->data_list_kind = 0;
    args->data_name_first = nullptr;
    args->data_name_last = nullptr;
    args->single_hldr_hp = 1;
    args->ep_count = 0;
    args->parallel = 0;
    args->sql_file[0] = '\0';
    args->sql_text = nullptr;
    args->commit_option = 0;
    args->append_option = 0;
    args->colname_heading = 0;
    args->ignore_aimless_data = 0;
    args->lob_as_varchar = 0;
    args->lob_as_varchar_size = 10;
    args->log_level = 3;
    args->reconn = 0;
    args->reconn_time = 5;
    args->width_count = 0;
    args->sedf = nullptr;
    args->sedt = nullptr;
    args->escape = nullptr;
    args->priority_enclose = 0;
    args->export_mode = 0;
    args->bad_file_mode = 0;
    set_text(args->plog_file, "ldrp.log");
    args->compatible_mode = 0;
}

extern "C" int32_t fldr_init_seperator_info(fldr_seperator_info *sep)
{
    sep->term[0] = '\0';
    sep->term_hex[0] = '\0';
    sep->enclose[0] = '\0';
    sep->enclose_hex[0] = '\0';
    sep->term_len = 0;
    sep->term_is_hex = 0;
    sep->enclose_len = 0;
    sep->enclose_is_hex = 0;
    return 0;
}

extern "C" int32_t fldr_init_ctl(fldr_env *env, mem_heap_t *heap, fldr_ctl *ctl)
{
    ctl->data_file_count = 0;
    ctl->data_file_first = nullptr;
    ctl->data_file_last = nullptr;
    ctl->spec_count = 0;
    ctl->spec_first = nullptr;
    ctl->spec_last = nullptr;
    ctl->infile_list = 0;
    ctl->infile_directory = 0;
    ctl->schema_name[0] = '\0';
    ctl->table_name[0] = '\0';
    ctl->tab_info = nullptr;
    ctl->bad_file.path[0] = '\0';
    ctl->bad_file.handle = -1;
    ctl->bad_file.file_size = 0;
    ctl->bad_file.file_offset = 0;
    ctl->load_mode = 'N';
    ctl->is_continuation = 0;
    ctl->when_cond = nullptr;
    ctl->trailing_flag = 0;
    set_text(ctl->row_enclose, "\"");
    ctl->row_enclose_len = 1;
    ctl->col_count = 0;
    ctl->col_first = nullptr;
    ctl->col_last = nullptr;

    fldr_seperator_info *sep = new_sep(env, heap, __LINE__);
    ctl->sep_info = sep;
    if (sep == nullptr)
        return FLDR_ERR_OUT_OF_MEMORY;
    /* Table level: "|" between fields, no enclosure, "\" escapes. */
    fldr_init_seperator_info(sep);
    set_text(sep->term, "|");
    sep->term_len = 1;
    sep->term_given = 0;
    set_text(sep->escape, "\\");
    sep->escape_hex[0] = '\0';
    sep->escape_len = 1;
    sep->escape_is_hex = 0;
    return 0;
}

extern "C" void fldr_init_col(fldr_env *env, mem_heap_t *heap, fldr_col *col)
{
    col->name[0] = '\0';
    col->is_null = 0;
    col->date_format[0] = '\0';
    col->constant = nullptr;
    col->constant_len = 0;
    col->fun_str = nullptr;
    col->fun_kind = FLDR_FUN_NONE;
    col->rep_col_idx = -1;
    col->rep_col[0] = '\0';
    col->rep_from[0] = '\0';
    col->rep_to[0] = '\0';
    col->seq_schema[0] = '\0';
    col->seq_name[0] = '\0';
    col->is_filler = 0;
    col->filler_spare = 0;
    col->pos_kind = 0;
    col->pos_start = -1;
    col->pos_end = -1;
    col->data_type = -1;
    col->data_len = 0;
    col->substr_start = 0;
    col->substr_len = 0;
    col->substr_col[0] = '\0';
    col->substr_col_idx = -1;
    col->fun_args = nullptr;
    col->fun_name[0] = '\0';
    col->prev = nullptr;
    col->next = nullptr;
    /* A column has no separator of its own until its clauses give one. */
    col->sep_info = new_sep(env, heap, __LINE__);
    if (col->sep_info != nullptr)
        fldr_init_seperator_info(col->sep_info);
}

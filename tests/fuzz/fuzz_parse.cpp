// libFuzzer target: any byte string through the control-file and the
// function-text entry points. A parse must end with 0 or a negative code
// and a filled error record, keep every fixed text terminated inside its
// array, and leave nothing allocated outside its heap.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qxfldr_comm.h"

namespace {

template <size_t N>
void check_text(const char (&text)[N])
{
    if (strnlen(text, N) >= N)
        abort();
}

void check_result(int32_t rc, const fldr_par_result *result, const fldr_parse_err *err)
{
    if (rc > 0)
        abort();
    if (rc == FLDR_ERR_TEXT_TOO_LONG || rc == FLDR_ERR_NO_TOKEN_BUFFER)
        return;
    if (result == nullptr || err == nullptr)
        abort();
    if (rc != 0 && rc != FLDR_ERR_PARSE_FAILED)
        abort();
    check_text(err->msg);
    if (err->code != 0 && err->msg[0] == '\0')
        abort();
    if (err->text != nullptr)
        (void)strlen(err->text);
    if (rc != 0)
        return;
    uint32_t ctls = 0;
    for (const fldr_ctl_node *n = result->ctl_first; n != nullptr; n = n->next, ctls++) {
        const fldr_ctl *ctl = n->ctl;
        check_text(ctl->table_name);
        check_text(ctl->schema_name);
        uint32_t cols = 0;
        for (const fldr_col *c = ctl->col_first; c != nullptr; c = c->next, cols++) {
            check_text(c->name);
            check_text(c->date_format);
            check_text(c->sep_info->term);
            check_text(c->sep_info->enclose_hex);
        }
        if (cols != ctl->col_count)
            abort();
        uint32_t files = 0;
        for (const fldr_data_file *f = ctl->data_file_first; f != nullptr; f = f->next, files++)
            check_text(f->row_term);
        if (files != ctl->data_file_count)
            abort();
        if (ctl->when_cond != nullptr && ctl->when_cond->kind == 1) {
            uint32_t members = 0;
            for (const fldr_bexp *b = ctl->when_cond->first; b != nullptr; b = b->next, members++)
                if (b->kind != 0)
                    abort();
            if (members != ctl->when_cond->count)
                abort();
        }
    }
    if (ctls != result->ctl_count)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    fldr_env env;
    mem_env_init(&env);

    mem_heap_t *heap = mem_heap_create_low(&env, 0, 0, 0, 0, "fuzz", __LINE__, 1);
    fldr_args args;
    memset(&args, 0, sizeof args);
    fldr_init_args(&args);
    fldr_par_result *result = nullptr;
    fldr_parse_err *err = nullptr;
    int32_t rc = fpar_main(&env, text.c_str(), &result, &err, &args, heap);
    check_result(rc, result, err);
    check_text(args.log_file);
    check_text(args.field_sep);
    check_text(args.row_sep_hex);
    check_text(args.table_name);
    if (args.width_count > 2049 || args.ep_count > 1024)
        abort();

    // The same bytes as a column function, for a fresh column.
    fldr_col col;
    memset(&col, 0, sizeof col);
    fldr_init_col(&env, heap, &col);
    rc = fpar_main_ex(&env, text.c_str(), &result, &err, &col, heap);
    check_result(rc, result, err);
    check_text(col.rep_col);
    check_text(col.rep_from);
    check_text(col.rep_to);
    check_text(col.seq_name);
    check_text(col.fun_name);
    check_text(col.substr_col);
    if (col.fun_args != nullptr)
        for (const fldr_fun_arg_node *n = col.fun_args->first; n != nullptr; n = n->next)
            check_text(n->arg->text);
    mem_heap_free(&env, heap);
    return 0;
}

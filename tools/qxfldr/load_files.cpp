/*
** The files of a load besides the database: see load_files.h.
*/
#include "load_files.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "inputs.h"
#include "qxcalc.h"

namespace qxfldr {

namespace {

/* Runs the library's resolution of the INFILE clause into ctl's data-file
** records; "" or why it failed. */
std::string resolve_infile(fldr_env *env, mem_heap_t *heap, const Group &g)
{
    fldr_ctl *ctl = g.tables[0]->plan.ctl;
    fldr_inst probe{};
    probe.language = FLDR_LANG_EN;
    probe.out_code = 1;
    probe.silent = 1;
    probe.errinfo_gate = 1;
    probe.log_file.handle = -1;
    fldr_init_diag(&probe.diag);
    os_mutex2_create(&probe.msg_lock);
    os_mutex2_create(&probe.log_lock);
    int32_t rc;
    if (ctl->infile_list)
        rc = fldr_resolve_path_file(env, &probe, FLDR_LANG_EN, 1, heap, ctl);
    else if (ctl->infile_directory)
        rc = fldr_collect_datafiles_by_path(env, heap, ctl);
    else
        rc = fldr_deal_file_list(env, heap, ctl);
    const uint32_t diags = probe.diag.count;
    std::string diag_text;
    if (diags > 0) {
        fldr_diag_rec *rec = fldr_get_nth_diag_rec(&probe.diag.first, 1);
        if (rec != nullptr)
            diag_text = rec->text;
    }
    fldr_deinit_diag(env, &probe.diag);
    os_mutex2_free(&probe.msg_lock);
    os_mutex2_free(&probe.log_lock);
    if (rc == 0 && diags == 0)
        return "";
    /* The library's message names no file and no reason: find them. */
    for (const fldr_data_file *named = ctl->spec_first; named != nullptr; named = named->next) {
        const std::string why = ctl->infile_list        ? list_file_problem(os_path(named->path))
                                : ctl->infile_directory ? directory_problem(os_path(named->path))
                                                        : std::string();
        if (!why.empty())
            return "table " + g.tables[0]->plan.display_name + ": " + why;
    }
    return "table " + g.tables[0]->plan.display_name + ": data files cannot be resolved" +
           (diag_text.empty() ? "" : ": " + diag_text);
}

/*
** Whether a data file's lines end in a bare carriage return, as files of
** some older systems do: its first 64 KiB hold a carriage return and no
** line feed. Such a file would otherwise be read as one long row.
*/
bool rows_end_in_cr_alone(const std::string &path)
{
    char head[65536];
    const int64_t file = os_file_open_normal_ex(path.c_str());
    if (file == OS_INVALID_HANDLE)
        return false;
    uint32_t len = 0;
    const bool read = os_file_read_by_offset_normal_ex(file, 0, head, sizeof head, &len) != 0;
    os_file_close_normal(file);
    return read && std::memchr(head, '\n', len) == nullptr && std::memchr(head, '\r', len) != nullptr;
}

/* A data-file record's hexadecimal terminator and start string as bytes. */
std::string convert_file_hex(fldr_data_file &df, const std::string &path)
{
    if (df.row_term_len == 0 && df.row_term_hex[0] != '\0' &&
        !convert_hex(df.row_term_hex, df.row_term, &df.row_term_len, sizeof df.row_term))
        return "data file " + path + ": row terminator X '" + df.row_term_hex + "' is not hexadecimal";
    if (df.start_len == 0 && df.start_hex[0] != '\0' &&
        !convert_hex(df.start_hex, df.start_str, &df.start_len, sizeof df.start_str))
        return "data file " + path + ": start string is not hexadecimal";
    return "";
}

}  // namespace

std::string os_path(const char *path)
{
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

bool convert_hex(const char *hex, char *out, uint16_t *out_len, size_t cap)
{
    uint8_t bytes[300];
    const int32_t n = nbin_from_char_low_with_len(hex, static_cast<uint32_t>(std::strlen(hex)), bytes, sizeof bytes);
    if (n <= 0 || static_cast<size_t>(n) >= cap)
        return false;
    std::memcpy(out, bytes, static_cast<size_t>(n));
    out[n] = '\0';
    *out_len = static_cast<uint16_t>(n);
    return true;
}

std::string resolve_data_files(fldr_env *env, mem_heap_t *heap, Group &g, std::vector<std::string> &notes)
{
    /* Whether the INFILE clause gives a terminator is read before the
    ** resolution, which marks every file it makes as given one. */
    fldr_ctl *ctl = g.tables[0]->plan.ctl;
    bool term_given = false;
    for (fldr_data_file *df = ctl->data_file_first; df != nullptr; df = df->next)
        term_given = term_given || df->row_term_given;
    if (std::string why = resolve_infile(env, heap, g); !why.empty())
        return why;
    for (fldr_data_file *df = ctl->data_file_first; df != nullptr; df = df->next) {
        const std::string path = os_path(df->path);
        if (std::string why = convert_file_hex(*df, path); !why.empty())
            return why;
        uint64_t size = 0;
        if (std::string why = data_file_problem(path, size); !why.empty())
            return why;
        if (!term_given) {
            const bool cr_only = rows_end_in_cr_alone(path);
            std::memcpy(df->row_term, cr_only ? "\r" : "\n", 2);
            df->row_term_len = 1;
            if (cr_only)
                notes.push_back("data file " + path + ": its lines end in a carriage return alone (no line "
                                "feed); rows are split at each carriage return");
        }
        df->file_no = static_cast<uint32_t>(g.files.size());
        g.files.push_back(df);
        g.file_names.push_back(path);
        g.total_bytes += size;
    }
    if (g.files.empty())
        return "table " + g.tables[0]->plan.display_name + ": no data file matches " +
               (ctl->spec_first ? os_path(ctl->spec_first->path) : std::string("the INFILE clause"));
    g.file_base.assign(g.files.size(), 0);
    g.file_skipped.assign(g.files.size(), 0);
    for (auto &tr : g.tables)
        tr->crlf_tolerant = !term_given;
    return "";
}

std::string bad_file_path(const Group &g, const TableRun &tr, const fldr_args &args)
{
    const fldr_ctl *own = tr.plan.ctl;
    const fldr_ctl *first = g.tables[0]->plan.ctl;
    return own->bad_file.path[0] != '\0'     ? os_path(own->bad_file.path)
           : first->bad_file.path[0] != '\0' ? os_path(first->bad_file.path)
                                             : os_path(args.bad_file);
}

std::string check_load_outputs(const std::vector<std::unique_ptr<Group>> &groups, const fldr_args &args,
                               const std::string &control, const std::string &db, bool db_is_file,
                               const std::string &log_path)
{
    std::vector<LoadInput> inputs;
    add_load_input(inputs, "the control file", control);
    if (db_is_file) {
        add_load_input(inputs, "the database", db);
        for (const char *companion : {"-journal", "-wal", "-shm"})
            add_load_input(inputs, "a file of the database", db + companion);
    }
    for (const auto &g : groups) {
        for (const std::string &name : g->file_names)
            add_load_input(inputs, "data file " + name, name);
        const fldr_ctl *ctl = g->tables[0]->plan.ctl;
        for (const fldr_data_file *list = ctl->spec_first; ctl->infile_list && list != nullptr; list = list->next)
            add_load_input(inputs, "list file " + os_path(list->path), os_path(list->path));
    }
    if (std::string why = check_output("LOG", log_path, inputs); !why.empty())
        return why;
    /* The log may not be a bad-data file either: a stale one is removed. */
    add_load_input(inputs, "the log file", log_path);
    for (const auto &g : groups)
        for (const auto &tr : g->tables)
            if (std::string why = check_output("BADFILE", bad_file_path(*g, *tr, args), inputs); !why.empty())
                return why;
    return "";
}

OutputFile *bad_file_for(BadFiles &files, const std::string &path)
{
    const std::string key = std::filesystem::absolute(path).lexically_normal().string();
    auto &file = files[key];
    if (file == nullptr)
        file = std::make_unique<OutputFile>("bad-data file", path);
    return file.get();
}

}  // namespace qxfldr

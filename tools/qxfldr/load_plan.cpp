/*
** A load before its first row is read: see load_plan.h.
*/
#include "load_plan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "fields.h"
#include "inputs.h"
#include "qxcalc.h"
#include "qxos.h"

namespace qxfldr {

ParsedControl::~ParsedControl()
{
    if (heap != nullptr)
        mem_heap_free(env, heap);
    fldr_mem_free(env, nullptr, text);
}

LoadPlan::~LoadPlan()
{
    for (auto *seq : sequences)
        delete seq;
}

namespace {

/* A refusal once the log exists: the console, the log, the library's
** after-load report. kExitUsage for the control file or the command line,
** kExitFailed for anything else; nothing is loaded yet. */
int refuse(LoadPlan &plan, const std::string &msg, int status = kExitFailed)
{
    std::fprintf(stderr, "qxfldr: %s\n", msg.c_str());
    plan.log->line(msg);
    fldr_print_after_load_err(&plan.args, msg.c_str());
    return status;
}

/* The command line's KEYWORD=VALUE pairs, each parsed as an OPTIONS clause
** over what the control file gave. */
StepResult apply_command_line(LoadPlan &plan)
{
    for (const auto &[key, value] : plan.req.options) {
        const std::string opt = "OPTIONS (" + key + " = " + value + ")";
        fldr_par_result *ores = nullptr;
        fldr_parse_err *oerr = nullptr;
        if (fpar_main(plan.pc.env, opt.c_str(), &ores, &oerr, &plan.args, plan.pc.heap) != 0) {
            std::fprintf(stderr, "qxfldr: bad value for %s: %s\n", key.c_str(), clip(value).c_str());
            return kExitUsage;
        }
    }
    return std::nullopt;
}

/*
** QXFLDR_READ_BUFFER_BYTES, for tests only, sets the read buffer in bytes, so
** that a small data file is read in many chunks. Users set BUFFER_NODE_SIZE in
** MiB; the variable is not a keyword, so no control file sets it by accident.
*/
bool test_buffer_size(uint32_t &chunk_bytes)
{
    const char *text = std::getenv("QXFLDR_READ_BUFFER_BYTES");
    if (text == nullptr || *text == '\0')
        return true;
    char *end = nullptr;
    errno = 0;
    const unsigned long long bytes = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || bytes < 16 || bytes > (1u << 30)) {
        std::fprintf(stderr, "qxfldr: QXFLDR_READ_BUFFER_BYTES must be a number of bytes from 16 to 1073741824\n");
        return false;
    }
    chunk_bytes = static_cast<uint32_t>(bytes);
    return true;
}

/*
** Whether a table's rows are in the escaped dialect: its INTO TABLE clause
** writes ESCAPED BY, or OPTIONS gives ESCAPE= (which then becomes the
** table's escape). Otherwise the table is read as CSV, and the escape the
** control record holds by default plays no part.
*/
bool choose_escape(fldr_ctl &ctl, const std::vector<bool> &written, uint32_t table_no, const char *options_escape)
{
    if (table_no < written.size() && written[table_no])
        return true;
    if (options_escape == nullptr || options_escape[0] == '\0' || ctl.sep_info == nullptr)
        return false;
    std::snprintf(ctl.sep_info->escape, sizeof ctl.sep_info->escape, "%s", options_escape);
    ctl.sep_info->escape_len = static_cast<uint16_t>(std::strlen(ctl.sep_info->escape));
    ctl.sep_info->escape_is_hex = 0;
    return true;
}

/* WHEN values written in the X form become bytes before rows are tested. */
bool convert_when_hex(fldr_bexp *node, mem_heap_t *heap)
{
    for (; node != nullptr; node = node->next) {
        if (node->kind == 1) {
            if (!convert_when_hex(node->first, heap))
                return false;
            continue;
        }
        fldr_bexp_value *v = node->value;
        if (v != nullptr && v->kind == 3 && v->text != nullptr) {
            const size_t cap = std::strlen(v->text) / 2 + 2;
            auto *bytes = static_cast<char *>(mem_heap_alloc_low(fldr_get_env(), heap, cap, 0, "tools/qxfldr", __LINE__));
            uint16_t len = 0;
            if (bytes == nullptr || !convert_hex(v->text, bytes, &len, cap))
                return false;
            v->text = bytes;
            v->len = len;
        }
    }
    return true;
}

std::string now_text()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

/* One table's plan against its description: the column clauses checked,
** separators and WHEN values prepared, the column functions bound, the load
** mode checked, the insert prepared and the bad-data file chosen. */
StepResult bind_table(LoadPlan &plan, Group &g, TableRun &tr, Sink &sink)
{
    fldr_ctl *ctl = tr.plan.ctl;
    std::string err;
    std::snprintf(plan.args.schema_name, sizeof plan.args.schema_name, "%s", ctl->schema_name);
    std::snprintf(plan.args.table_name, sizeof plan.args.table_name, "%s", ctl->table_name);
    if (!sink.describe(tr.target, tr.plan.desc, err))
        return refuse(plan, err);
    if (!check_column_clauses(ctl, plan.column_writing[tr.ctl_index], tr.plan.desc.cols.size(),
                              tr.plan.display_name, err))
        return refuse(plan, err, kExitUsage);
    if (fldr_preprocess_load_sep_info(ctl) != 0)
        return refuse(plan, "table " + tr.plan.display_name + ": separators are not valid (a column's "
                            "terminator equals its enclosure, or a hexadecimal form is wrong)");
    if (!convert_when_hex(ctl->when_cond, plan.pc.heap))
        return refuse(plan, "table " + tr.plan.display_name + ": a WHEN value in the X form is not hexadecimal");
    fldr_inst bind_inst{};
    const PlanFault fault = build_plan(plan.pc.env, plan.pc.heap, tr.plan, &bind_inst, plan.sequences, err);
    if (fault != PlanFault::None)
        return refuse(plan, err, fault == PlanFault::ControlFile ? kExitUsage : kExitFailed);
    const uint8_t mode = g.tables[0]->plan.ctl->load_mode;
    if (mode == 'I' || mode == 'N') {
        const int64_t n = sink.row_count(tr.target, err);
        if (n != 0)
            return refuse(plan, "table " + tr.plan.display_name +
                                    (n < 0 ? ": " + err : std::string(" is not empty (load with APPEND or REPLACE)")));
    }
    if (!sink.prepare(tr.plan.table_no, tr.target, tr.plan.insert_cols, err))
        return refuse(plan, "table " + tr.plan.display_name + ": " + err);
    if (const std::string note = sink.route_note(tr.plan.table_no); !note.empty())
        plan.log->line(note);
    /* Rejects of an earlier run would mislead. */
    tr.bad = bad_file_for(plan.bad_files, bad_file_path(g, tr, plan.args));
    if (!tr.bad->remove_stale())
        return refuse(plan, tr.bad->error());
    return std::nullopt;
}

}  // namespace

StepResult read_control(LoadPlan &plan)
{
    const LoadRequest &req = plan.req;
    ParsedControl &pc = plan.pc;
    fldr_init();
    pc.env = fldr_get_env();
    if (const std::string why = control_file_problem(req.control); !why.empty()) {
        std::fprintf(stderr, "qxfldr: %s\n", why.c_str());
        return kExitUsage;
    }
    if (fldr_get_ctl_content(pc.env, req.control.c_str(), &pc.text, &pc.text_len) != 0) {
        std::fprintf(stderr, "qxfldr: cannot read control file %s\n", req.control.c_str());
        return kExitUsage;
    }
    pc.heap = mem_heap_create_low(pc.env, 0, 0, 0, 0, "tools/qxfldr", __LINE__, 1);
    fldr_args &args = plan.args;
    fldr_init_args(&args);
    /* Unset markers, so that the defaults below apply only to what neither
    ** the control file nor the command line gave. */
    args.field_sep[0] = args.field_sep_hex[0] = args.row_sep[0] = args.row_sep_hex[0] = '\0';
    args.field_sep_len = args.row_sep_len = 0;
    args.field_sep_is_hex = 0;
    args.skip_rows = UINT64_MAX;
    args.errors = UINT32_MAX;
    args.log_file[0] = args.bad_file[0] = args.null_str[0] = args.sql_file[0] = '\0';
    fldr_parse_err *perr = nullptr;
    if (fpar_main(pc.env, pc.text, &pc.result, &perr, &args, pc.heap) != 0) {
        std::fprintf(stderr, "qxfldr: %s\n", describe_parse_error(req.control, pc.text, perr).c_str());
        std::fprintf(stderr, "qxfldr: nothing was loaded\n");
        return kExitUsage;
    }
    if (StepResult end = apply_command_line(plan))
        return end;
    if (pc.result->ctl_count == 0) {
        std::fprintf(stderr, "qxfldr: control file %s holds no LOAD statement\n", req.control.c_str());
        return kExitUsage;
    }
    plan.scan = scan_control_text(pc.text);
    plan.written = find_option_numbers(plan.scan);
    plan.column_lists = find_column_writing(plan.scan);
    plan.column_writing = match_column_writing(pc.result, plan.column_lists);
    plan.targets = table_names_of(plan.scan, *pc.result);
    return std::nullopt;
}

StepResult settle_arguments(LoadPlan &plan)
{
    const LoadRequest &req = plan.req;
    fldr_args &args = plan.args;
    if (std::string why; !check_written_numbers(plan.written, why)) {
        std::fprintf(stderr, "qxfldr: control file %s: %s\n", req.control.c_str(), why.c_str());
        return kExitUsage;
    }
    if (args.skip_rows == UINT64_MAX)
        args.skip_rows = 0;
    if (args.errors == UINT32_MAX && !option_given(req, plan.written, "ERRORS"))
        args.errors = 100;
    if (args.log_file[0] == '\0')
        std::snprintf(args.log_file, sizeof args.log_file, "fldr.log");
    if (args.bad_file[0] == '\0')
        std::snprintf(args.bad_file, sizeof args.bad_file, "fldr.bad");
    if (args.commit_rows == 0) {
        std::fprintf(stderr, "qxfldr: bad value for ROWS: 0 (at least 1 row per commit)\n");
        return kExitUsage;
    }
    if (args.character_code == 0) {
        std::fprintf(stderr, "qxfldr: bad value for CHARACTER_CODE (GBK, GB18030, UTF-8, SINGLE_BYTE, EUC-KR)\n");
        return kExitUsage;
    }
    if (args.character_code > 0)
        plan.charset = static_cast<uint32_t>(args.character_code);
    if (std::string why; !settle_limits(req, plan.written, args, plan.limits, why)) {
        std::fprintf(stderr, "qxfldr: %s\n", why.c_str());
        return kExitUsage;
    }
    if (!test_buffer_size(plan.limits.chunk_bytes))
        return kExitUsage;

    /* Relative names of the control file are relative to its directory. */
    plan.control = std::filesystem::absolute(req.control).lexically_normal().string();
    const std::filesystem::path ctl_dir = std::filesystem::path(plan.control).parent_path();
    plan.db = req.db.empty() ? (ctl_dir / "qxfldr.db").string() : req.db;
    plan.db_is_file = plan.db != ":none:" && !is_server_target(plan.db);
    if (plan.db_is_file)
        plan.db = std::filesystem::absolute(plan.db).string();
    if (chdir(ctl_dir.c_str()) != 0) {
        std::fprintf(stderr, "qxfldr: cannot enter %s: %s\n", ctl_dir.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    /* Opened once its name is checked (check_files); lines before go nowhere. */
    plan.log = std::make_unique<LogFile>(os_path(args.log_file));
    plan.rules.null_mode = args.null_mode;
    plan.rules.null_str = args.null_str;
    plan.rules.charset = plan.charset;
    plan.rules.sysdate = now_text();
    return std::nullopt;
}

StepResult build_groups(LoadPlan &plan)
{
    uint32_t table_no = 0;
    const std::vector<bool> escapes = escapes_written(plan.scan);
    size_t ctl_index = 0;
    for (fldr_ctl_node *node = plan.pc.result->ctl_first; node != nullptr; node = node->next, ctl_index++) {
        fldr_ctl *ctl = node->ctl;
        /* A LOAD statement and its further INTO TABLE clauses share data files. */
        if (!ctl->is_continuation || plan.groups.empty()) {
            plan.groups.push_back(std::make_unique<Group>());
            plan.groups.back()->first_table = table_no;
        }
        auto tr = std::make_unique<TableRun>();
        tr->plan.ctl = ctl;
        tr->plan.table_no = table_no++;
        tr->plan.rules = &plan.rules;
        tr->target = plan.targets[tr->plan.table_no];
        tr->plan.display_name = tr->target.display();
        tr->plan.csv = !choose_escape(*ctl, escapes, tr->plan.table_no, plan.args.escape);
        tr->ctl_index = ctl_index;
        /* With FIELDS TERMINATED BY '', a field without a terminator of its
        ** own runs to the end of the row. The CSV scan ends a field only at a
        ** terminator, so such a table is cut with the plain scan. */
        if (ctl->sep_info != nullptr && ctl->sep_info->term_given != 0 && ctl->sep_info->term_len == 0)
            tr->plan.csv = false;
        plan.groups.back()->tables.push_back(std::move(tr));
    }
    uint32_t most_tables = 1;
    for (const auto &g : plan.groups)
        most_tables = std::max(most_tables, static_cast<uint32_t>(g->tables.size()));
    /* A server's writer sends a commit unit while the workers convert the
    ** next. With a processor left over beside the writers' connections, the
    ** read buffers hold some of the next unit ahead, so that the workers do
    ** not stop for want of a buffer while the server works (a 16-column
    ** load on one connection of a 2-core machine: a sixth faster). Without
    ** one, the server's connections take every processor, and working ahead
    ** only takes it from them (the same load on two: a tenth slower). */
    const bool server = is_server_target(plan.db);
    const uint32_t writers = server ? plan.limits.workers : 1;
    const uint32_t ahead = server && writers < cpu_get_cpu_num() ? kServerAheadBufs : 0;
    if (std::string err; !plan_load_buffers(plan.limits, most_tables, writers, ahead, plan.buffers, err))
        return refuse(plan, err, kExitUsage);
    if (!plan.limits.note.empty() && !plan.args.silent)
        std::fprintf(stderr, "qxfldr: %s\n", plan.limits.note.c_str());
    return std::nullopt;
}

StepResult check_files(LoadPlan &plan)
{
    std::vector<std::string> notes;
    for (auto &g : plan.groups)
        if (const std::string why = resolve_data_files(plan.pc.env, plan.pc.heap, *g, notes); !why.empty())
            return refuse(plan, why);
    LogFile &log = *plan.log;
    if (const std::string why =
            check_load_outputs(plan.groups, plan.args, plan.control, plan.db, plan.db_is_file, log.path());
        !why.empty()) {
        std::fprintf(stderr, "qxfldr: %s\nqxfldr: nothing was loaded\n", why.c_str());
        return kExitUsage;
    }
    if (!log.open()) {
        std::fprintf(stderr, "qxfldr: %s\n", log.error().c_str());
        return kExitFailed;
    }
    if (!log.line("load of control file " + plan.req.control + " into " + target_display_name(plan.db)))
        return refuse(plan, log.error());
    if (!plan.limits.note.empty())
        log.line(plan.limits.note);
    for (const std::string &note : notes)
        log.line(note);
    return std::nullopt;
}

StepResult bind_tables(LoadPlan &plan)
{
    std::string err;
    std::unique_ptr<Sink> sink = make_sink(plan.db, err);
    if (sink == nullptr)
        return refuse(plan, err);
    for (auto &g : plan.groups)
        for (auto &tr : g->tables)
            if (StepResult end = bind_table(plan, *g, *tr, *sink))
                return end;
    /* A database server takes rows on several connections at once: every
    ** worker gets a writer with a sink of its own. */
    plan.sinks.push_back(std::move(sink));
    for (uint32_t w = 1; is_server_target(plan.db) && w < plan.limits.workers; w++) {
        std::unique_ptr<Sink> extra = make_sink(plan.db, err);
        if (extra == nullptr)
            return refuse(plan, err);
        for (auto &g : plan.groups)
            for (auto &tr : g->tables)
                if (!extra->prepare(tr->plan.table_no, tr->target, tr->plan.insert_cols, err))
                    return refuse(plan, "table " + tr->plan.display_name + ": " + err);
        plan.sinks.push_back(std::move(extra));
    }
    return std::nullopt;
}

}  // namespace qxfldr

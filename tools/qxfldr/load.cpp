/*
** A load, from the control file to the summary.
**
**   control file --fpar_main--> fldr_args + control records (parse heap)
**   per LOAD statement (a group of INTO TABLE clauses sharing data files):
**     data files resolved and opened once (load_files.cpp); then the log
**     and bad-data file names checked against every file the load reads
**     (outfile.h), before anything is opened for writing; separators
**     prepared, tables described by the sink, column functions bound
**     (TablePlan per table)
**     reader thread:  SKIP, then fldr_read_rows_and_build_task per data file: chunks in
**                     pooled buffers -> tasks of row offsets -> one task queue
**     workers (TASK_THREAD_NUMBER): take and number tasks in queue order;
**                     rows -> values (rowval) -> RowBatch, rejected rows
**                     kept with it -> Sequencer (order.h)
**     writer threads: commit units of ROWS rows in file order -> sink;
**                     rejections written and the error limit applied in file
**                     order (writers.cpp); one writer for an embedded
**                     database, one per worker (each with its own
**                     connection) for a database server; REPLACE empties
**                     the tables in the transaction of the first unit
**     main thread:    progress line, Ctrl-C, then the summary
**
** Ownership: chunk buffers and tasks belong to their table's instance and
** travel reader -> worker -> Sequencer -> pool; a RowBatch belongs to the
** worker that fills it, then to the Sequencer, and goes back with its chunk
** once every row cut from it has been handed to a sink.
*/
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "ctlcheck.h"
#include "qxcalc.h"
#include "load_state.h"
#include "rowval.h"
#include "fields.h"
#include "inputs.h"
#include "load_files.h"
#include "runlimits.h"
#include "sink.h"
#include "tool.h"

namespace qxfldr {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_signal(int)
{
    g_interrupted = 1;
}

/*
** The table's instance and its pools: nbufs read buffers of buf_cap bytes,
** not filled up front (only what the reader reads into them is touched),
** and ntasks tasks. False when memory runs out; teardown_inst releases what
** was set up either way.
*/
bool setup_inst(TableRun &tr, fldr_ctl *ctl, const fldr_args &args, uint32_t charset, uint32_t nbufs,
                uint32_t buf_cap, uint32_t ntasks, std::vector<fldr_task_queue> &queues)
{
    tr.inst = static_cast<fldr_inst *>(std::calloc(1, sizeof(fldr_inst)));
    if (tr.inst == nullptr)
        return false;
    fldr_inst &in = *tr.inst;
    in.ctl = ctl;
    in.language = FLDR_LANG_EN;
    in.out_code = 1;
    in.load_rows = args.load_rows > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(args.load_rows);
    in.errors = args.errors;
    in.task_rows = UINT32_MAX;
    in.charset = charset;
    in.null_mode = args.null_mode;
    in.silent = args.silent;
    in.errinfo_gate = 1;    /* rejected rows are logged by the tool, with their file and row */
    in.log_file.handle = -1;
    const fldr_seperator_info *sep = ctl->sep_info;
    in.scan_mode = tr.plan.csv                            ? FLDR_SCAN_CSV
                   : sep != nullptr && sep->escape_len > 0 ? FLDR_SCAN_ESCAPED
                                                           : FLDR_SCAN_PLAIN;
    os_mutex2_create(&in.inst_lock);
    os_mutex2_create(&in.msg_lock);
    os_mutex2_create(&in.log_lock);
    os_event2_create(&in.log_event);
    fldr_init_diag(&in.diag);
    os_mutex2_create(&in.rowbuf_pool.lock);
    os_semaphore_create(&in.rowbuf_pool.sem, 0);
    os_mutex2_create(&in.task_pool.lock);
    os_semaphore_create(&in.task_pool.sem, 0);
    in.task_pool.queues = queues.data();

    tr.buf_storage.resize(nbufs);
    tr.bufs.resize(nbufs);
    for (uint32_t i = 0; i < nbufs; i++) {
        tr.buf_storage[i].reset(new (std::nothrow) char[static_cast<size_t>(buf_cap) + 1]);
        if (tr.buf_storage[i] == nullptr)
            return false;
        tr.bufs[i] = fldr_rowbuf{};
        tr.bufs[i].data = tr.buf_storage[i].get();
        tr.bufs[i].cap = buf_cap;
        fldr_rowbuf_put(&in.rowbuf_pool, &tr.bufs[i]);
    }
    tr.tasks.resize(ntasks);
    const auto workers = static_cast<uint32_t>(queues.size());
    for (uint32_t i = 0; i < ntasks; i++) {
        tr.tasks[i] = fldr_task{};
        tr.tasks[i].worker_no = i % workers;
        tr.tasks[i].tool_data = &tr;
        /* An offset array from the start, so that the first growth has a
        ** stored offset to estimate from. */
        tr.tasks[i].row_offs = static_cast<uint32_t *>(
            fldr_mem_alloc(fldr_get_env(), nullptr, kFirstOffsets * sizeof(uint32_t), "tools/qxfldr", __LINE__));
        tr.tasks[i].row_cap = tr.tasks[i].row_offs != nullptr ? kFirstOffsets - 1 : 0;
        fldr_task_free(&in.task_pool, &tr.tasks[i]);
    }
    return true;
}

void teardown_inst(TableRun &tr)
{
    fldr_inst *in = tr.inst;
    if (in == nullptr)
        return;
    for (auto &task : tr.tasks)
        if (task.row_offs != nullptr)
            fldr_mem_free(fldr_get_env(), nullptr, task.row_offs);
    os_semaphore_free(&in->task_pool.sem);
    os_mutex2_free(&in->task_pool.lock);
    os_semaphore_free(&in->rowbuf_pool.sem);
    os_mutex2_free(&in->rowbuf_pool.lock);
    fldr_deinit_diag(fldr_get_env(), &in->diag);
    os_event2_free(&in->log_event);
    os_mutex2_free(&in->log_lock);
    os_mutex2_free(&in->msg_lock);
    os_mutex2_free(&in->inst_lock);
    std::free(in);
    tr.inst = nullptr;
    /* The next group's buffers take the place of these. */
    tr.bufs.clear();
    tr.buf_storage.clear();
    tr.tasks.clear();
}

/*
** Instances and buffers of a group's tables as the plan sizes them: the
** first table's buffers are those the reader fills, the others take copies
** of its chunks. False when memory runs out; teardown_group releases what
** was set up either way.
*/
bool setup_group(Group &g, const BufferPlan &plan, const fldr_args &args, uint32_t charset,
                 std::vector<fldr_task_queue> &queues)
{
    for (auto &tr : g.tables) {
        const uint32_t bufs = tr == g.tables.front() ? plan.reader_bufs : plan.copy_bufs;
        const bool ok = setup_inst(*tr, tr->plan.ctl, args, charset, bufs, plan.chunk_bytes, tasks_for(bufs), queues);
        tr->plan.inst = tr->inst;
        if (!ok)
            return false;
    }
    return true;
}

void teardown_group(Group &g, RunState &rs)
{
    for (auto &tr : g.tables)
        teardown_inst(*tr);
    for (auto &q : rs.queues) {
        os_semaphore_free(&q.sem);
        os_mutex2_free(&q.lock);
    }
}

/*
** A row the worker rejected stays with its batch, with a copy of its text,
** until its unit is decided; writers.cpp writes it then, in file order. The
** count here is of rows met in any order: it only lets the reader stop early,
** and once it passes ERRORS the row at which the load stops has been read.
*/
void reject_row(RunState &rs, Converted &conv, const RowSource &src, std::string_view row, std::string_view reason,
                Reject kind)
{
    __atomic_add_fetch(&rs.reader_inst->err_count, 1, __ATOMIC_RELAXED);
    conv.rejected.push_back(
        Rejection{RowKey{conv.file_no, src.row_no, conv.batch->table}, kind, std::string(row), std::string(reason)});
}

/*
** Spans and file row numbers of a task's rows. A task that holds every row
** of its chunk (one table, no WHEN) has its rows back to back: row i is
** number first_row + i of the group. Otherwise the task holds some of the
** chunk's rows, and the chunk is walked once, counting every row, to number
** them and to find where each one ends. `reader` is the instance whose
** search cut the chunk, so that the walk meets the same rows.
*/
void locate_rows(const Group &g, fldr_inst *reader, const fldr_task *task, bool exact, std::vector<RowSource> &out)
{
    out.resize(task->row_cnt);
    const auto file_no = static_cast<size_t>(task->file_no);
    const int64_t to_file = g.file_skipped[file_no] - g.file_base[file_no] + 1;
    if (exact) {
        for (uint32_t i = 0; i < task->row_cnt; i++)
            out[i] = RowSource{task->row_offs[i], task->row_offs[i + 1] - task->row_offs[i],
                               task->first_row + i + to_file};
        return;
    }
    /* Invariant of the walk: pos is the start of row number `before` of the
    ** chunk; the task's rows are met in increasing offset order. */
    uint32_t pos = 0;
    int64_t before = 0;
    uint32_t next = 0;
    while (pos < task->data_len) {
        const char *end = fldr_search_row_end(reader, task->data + pos, task->data_len - pos, task->row_term_len,
                                              task->row_term);
        const uint32_t len = end != nullptr ? static_cast<uint32_t>(end - task->data) + task->row_term_len - pos
                                            : task->data_len - pos;
        if (next < task->row_cnt && task->row_offs[next] == pos)
            out[next++] = RowSource{pos, len, before};
        before++;
        pos += len;
    }
    /* The chunk's first row is number first_row + row_cnt - before of the group. */
    const int64_t base = task->first_row + task->row_cnt - before + to_file;
    for (RowSource &r : out)
        r.row_no += base;
}

/* Gives a chunk back to its table's pools once its rows are stored. */
void give_back_chunk(fldr_task *task)
{
    auto &tr = *static_cast<TableRun *>(task->tool_data);
    fldr_rowbuf *buf = task->rowbuf;
    task->rowbuf = nullptr;
    fldr_rowbuf_put(&tr.inst->rowbuf_pool, buf);
    fldr_task_free(&tr.inst->task_pool, task);
}

/* The Sequencer's way to give a Converted's chunk and batch back. */
void release_converted(RunState &rs, Converted &conv)
{
    give_back_chunk(static_cast<fldr_task *>(conv.batch->chunk));
    rs.spare.put(std::move(conv.batch));
}

/* The next task and its number, or null when none came within `ms`. Tasks
** are numbered under the lock as they leave the queue, hence in file order. */
fldr_task *take_task(RunState &rs, uint32_t ms, int64_t &seq)
{
    std::lock_guard<std::mutex> lock(rs.take_mutex);
    fldr_task *task = fldr_task_take(&rs.queues[0], ms);
    if (task != nullptr)
        seq = rs.next_seq++;
    return task;
}

void worker_main(RunState &rs)
{
    RowScratch scratch;
    std::string reason;
    std::vector<RowSource> spans;
    for (;;) {
        const bool done = rs.reader_done.load(std::memory_order_acquire);
        int64_t seq = 0;
        fldr_task *task = take_task(rs, done ? 0 : 20, seq);
        if (task == nullptr) {
            if (done)
                break;
            continue;
        }
        auto &tr = *static_cast<TableRun *>(task->tool_data);
        rs.bytes_done += task->data_len;
        if (rs.stop.load(std::memory_order_relaxed) || seq > rs.sequencer->seq_limit()) {
            give_back_chunk(task);
            continue;
        }
        auto conv = std::make_unique<Converted>();
        conv->seq = seq;
        conv->file_no = static_cast<uint32_t>(task->file_no);
        conv->chunk_off = task->file_off;
        conv->batch = rs.spare.get();
        RowBatch *batch = conv->batch.get();
        batch->table = tr.plan.table_no;
        batch->width = static_cast<uint32_t>(tr.plan.insert_cols.size());
        batch->values.reserve(static_cast<size_t>(task->row_cnt) * batch->width);
        batch->arena.reserve(task->data_len);
        batch->src.reserve(task->row_cnt);
        batch->file_no = static_cast<uint32_t>(task->file_no);
        batch->text = task->data;
        /* The chunk goes back once the last row cut from it is stored. */
        batch->chunk = task;
        const bool exact = rs.group->tables.size() == 1 && tr.plan.ctl->when_cond == nullptr;
        locate_rows(*rs.group, rs.reader_inst, task, exact, spans);
        uint32_t i = 0;
        for (; i < task->row_cnt; i++) {
            if (rs.stop.load(std::memory_order_relaxed))
                break;
            const char *row = task->data + spans[i].off;
            const uint32_t row_len = spans[i].len;
            uint32_t cut_len = row_content_len(row, row_len, task->row_term, task->row_term_len, tr.crlf_tolerant);
            if (cut_len == 0) {
                tr.blank++;   /* a blank line is no row */
                continue;
            }
            const char *cut = row;
            if (task->start_len > 0 && cut_len >= task->start_len &&
                std::memcmp(cut, task->start_str, task->start_len) == 0) {
                cut += task->start_len;
                cut_len -= task->start_len;
            }
            const RowResult res = convert_row(tr.plan, scratch, cut, cut_len, task->row_term, task->row_term_len,
                                              *batch, reason, static_cast<uint32_t>(cut - row));
            if (res == RowResult::Loaded)
                batch->src.push_back(spans[i]);
            else
                reject_row(rs, *conv, spans[i], std::string_view(row, row_len), reason,
                           res == RowResult::FormatError ? Reject::Format : Reject::Data);
        }
        rs.rows_done += i;
        rs.sequencer->deposit(std::move(conv));
    }
}

/* Why reading stopped with the library's code rc. */
std::string reading_failure(int32_t rc, uint32_t chunk_bytes)
{
    if (rc == FLDR_ERR_NO_ROW_TERM)
        return "a row is longer than the read buffer (" + size_text(chunk_bytes) +
               "; raise BUFFER_NODE_SIZE) or the row terminator is wrong";
    return "reading failed: " + lib_message(rc);
}

void reader_main(RunState &rs, int64_t skip)
{
    Group &g = *rs.group;
    fldr_env *env = fldr_get_env();
    int32_t rc = 0;
    for (fldr_data_file *file : g.files) {
        g.file_base[file->file_no] = rs.reader_inst->rows_read;
        file->handle = os_file_open_normal_ex(os_path(file->path).c_str());
        if (file->handle == -1) {
            rc = FLDR_ERR_OPEN_FILE;
            rs.fail("cannot open data file " + g.file_names[file->file_no] + ": " + std::strerror(os_last_error()));
            break;
        }
        file->file_size = os_file_size_in_bytes(file->handle);
        file->file_offset = 0;
        if (skip > 0) {
            /* SKIP: the first rows of the group's data are passed over, file after file. */
            uint64_t skipped = 0;
            rc = fldr_skip_rows_in_file(env, rs.reader_inst, file, static_cast<uint64_t>(skip), &skipped);
            skip -= static_cast<int64_t>(skipped);
            g.skipped += static_cast<int64_t>(skipped);
            g.file_skipped[file->file_no] += static_cast<int64_t>(skipped);
            rs.bytes_done += file->file_offset;
        }
        if (rc == 0)
            rc = fldr_read_rows_and_build_task(env, rs.reader_inst, file);
        os_file_close_normal(file->handle);
        file->handle = -1;
        if (rc != 0)
            break;
        if (rs.reader_inst->rows_read == rs.reader_inst->load_rows)
            break;
    }
    rs.reader_rc = rc;
    /* A failed read fails the load: the open transactions are rolled back,
    ** so that a REPLACE load that fails before its first commit keeps the
    ** old rows. */
    if (rc != 0 && rc != FLDR_ERR_REACH_ERROR_MAX && !rs.stop)
        rs.fail(reading_failure(rc, rs.chunk_bytes));
    rs.reader_done.store(true, std::memory_order_release);
}

/* Rows of the group the summary counts as read: up to the row that passed
** ERRORS; up to the end of the last committed unit when the load was
** interrupted or failed (a restart with SKIP then repeats and loses no row);
** else what the reader cut. */
int64_t rows_read(RunState &rs)
{
    std::lock_guard<std::mutex> lock(rs.order.mutex);
    if (rs.order.stop_rows)
        return *rs.order.stop_rows;
    return rs.abandoned ? rs.order.frontier : rs.reader_inst->rows_read;
}

/*
** The load's threads. Out of memory in one of them stops the load with a
** message, never the process; the thread then only gives back what reaches
** it, which takes no memory, so that no other thread waits for it. The
** chunk it held is lost to its pool, which keeps at least one more
** (runlimits.h: two buffers a table at the least).
*/
void fail_out_of_memory(RunState &rs, const char *while_doing) noexcept
{
    try {
        rs.fail(std::string("out of memory while ") + while_doing);
    } catch (const std::bad_alloc &) {
        rs.fatal = true;   /* not even the message could be had */
        rs.abandon();
    }
}

void worker_thread(RunState &rs)
{
    try {
        worker_main(rs);
    } catch (const std::bad_alloc &) {
        fail_out_of_memory(rs, "converting rows");
        worker_main(rs);   /* stopped: gives back every task */
    }
}

/* The Sequencer's stop gives back the chunks of the units not stored. */
void writer_thread(RunState &rs, Sink *sink, uint32_t writers)
{
    try {
        writer_main(rs, sink, writers);
    } catch (const std::bad_alloc &) {
        fail_out_of_memory(rs, "storing rows");
        sink->rollback();   /* the open transaction is not committed */
    }
}

void reader_thread(RunState &rs, int64_t skip)
{
    try {
        reader_main(rs, skip);
    } catch (const std::bad_alloc &) {
        fail_out_of_memory(rs, "reading");
        rs.reader_done.store(true, std::memory_order_release);
    }
}

std::string format_duration(double seconds)
{
    char buf[32];
    const long s = static_cast<long>(seconds);
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string human_bytes(double b)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (b >= 1024 && u < 4) {
        b /= 1024;
        u++;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", b, units[u]);
    return buf;
}

std::string mout(int32_t code, int16_t argc, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, argc);
    /* fldr_mout_lookup is variadic; the counts go through one int64_t each. */
    int64_t a = argc > 0 ? va_arg(ap, int64_t) : 0;
    va_end(ap);
    if (argc == 0)
        fldr_mout_lookup(buf, code, 0);
    else
        fldr_mout_lookup(buf, code, 1, a);
    return buf;
}

}  // namespace

/* ------------------------------------------------------------------ the run */

namespace {

/* The parse and what it hangs on: the control text and the parse heap,
** released on every way out of a load. */
struct ParsedControl {
    fldr_env        *env = nullptr;
    char            *text = nullptr;   /* control-file text, from the library's pool */
    fldr_args        args{};
    fldr_par_result *result = nullptr;
    mem_heap_t      *heap = nullptr;

    ParsedControl() = default;
    ParsedControl(const ParsedControl &) = delete;
    ParsedControl &operator=(const ParsedControl &) = delete;
    ~ParsedControl()
    {
        if (heap != nullptr)
            mem_heap_free(env, heap);
        fldr_mem_free(env, nullptr, text);
    }
};

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
            auto *bytes = static_cast<char *>(mem_heap_alloc_low(fldr_get_env(), heap, std::strlen(v->text) / 2 + 2, 0,
                                                                 "tools/qxfldr", __LINE__));
            uint16_t len = 0;
            if (bytes == nullptr || !convert_hex(v->text, bytes, &len, std::strlen(v->text) / 2 + 2))
                return false;
            v->text = bytes;
            v->len = len;
        }
    }
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

/* Load mode REPLACE for a group no unit of which was stored: the tables are
** emptied in a transaction of their own. False with rs failed. */
bool empty_alone(RunState &rs, Sink &sink)
{
    std::string err;
    std::vector<int64_t> committed(rs.group->first_table + rs.group->tables.size(), 0);
    const RefusalFn none = [](const Refused &) { return true; };
    bool ok = sink.begin(err);
    for (size_t t = 0; ok && t < rs.to_empty.size(); t++)
        ok = sink.truncate(rs.to_empty[t], err);
    if (ok && sink.commit(none, committed, err))
        return true;
    sink.rollback();
    rs.fail("cannot empty the tables (load mode REPLACE): " + err);
    return false;
}

void print_both(LogFile &log, bool silent, const std::string &text)
{
    if (!silent) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    log.raw(text);
}

/* A database server takes rows on several connections: a sink per writer. */
bool is_server_target(const std::string &db)
{
    return is_maria_target(db) || is_pg_target(db);
}

std::unique_ptr<Sink> make_server_sink(const std::string &db, std::string &err)
{
    return is_maria_target(db) ? make_maria_sink(db, err) : make_pg_sink(db, err);
}

std::string target_name(const std::string &db)
{
    return is_maria_target(db) ? maria_display_name(db) : is_pg_target(db) ? pg_display_name(db) : db;
}

}  // namespace

int run_load(const LoadRequest &req)
{
    const auto started = std::chrono::steady_clock::now();
    fldr_init();
    fldr_env *env = fldr_get_env();
    ParsedControl pc;
    pc.env = env;

    /* 1. The control file, then the command line's OPTIONS over it. */
    if (const std::string why = control_file_problem(req.control); !why.empty()) {
        std::fprintf(stderr, "qxfldr: %s\n", why.c_str());
        return kExitUsage;
    }
    uint32_t text_len = 0;
    if (fldr_get_ctl_content(env, req.control.c_str(), &pc.text, &text_len) != 0) {
        std::fprintf(stderr, "qxfldr: cannot read control file %s\n", req.control.c_str());
        return kExitUsage;
    }
    pc.heap = mem_heap_create_low(env, 0, 0, 0, 0, "tools/qxfldr", __LINE__, 1);
    fldr_args &args = pc.args;
    fldr_init_args(&args);
    args.field_sep[0] = args.field_sep_hex[0] = args.row_sep[0] = args.row_sep_hex[0] = '\0';
    args.field_sep_len = args.row_sep_len = 0;
    args.field_sep_is_hex = 0;
    args.skip_rows = UINT64_MAX;
    args.errors = UINT32_MAX;
    args.log_file[0] = args.bad_file[0] = args.null_str[0] = args.sql_file[0] = '\0';
    fldr_parse_err *perr = nullptr;
    int32_t rc = fpar_main(env, pc.text, &pc.result, &perr, &args, pc.heap);
    if (rc != 0) {
        std::fprintf(stderr, "qxfldr: %s\n", describe_parse_error(req.control, pc.text, perr).c_str());
        std::fprintf(stderr, "qxfldr: nothing was loaded\n");
        return kExitUsage;
    }
    for (const auto &[key, value] : req.options) {
        const std::string opt = "OPTIONS (" + key + " = " + value + ")";
        fldr_par_result *ores = nullptr;
        fldr_parse_err *oerr = nullptr;
        if (fpar_main(env, opt.c_str(), &ores, &oerr, &args, pc.heap) != 0) {
            std::fprintf(stderr, "qxfldr: bad value for %s: %s\n", key.c_str(), clip(value).c_str());
            return kExitUsage;
        }
    }
    if (pc.result->ctl_count == 0) {
        std::fprintf(stderr, "qxfldr: control file %s holds no LOAD statement\n", req.control.c_str());
        return kExitUsage;
    }
    /* How the text was written, for what the parsed records cannot tell. */
    const CtlScan scan = scan_control_text(pc.text);
    const std::vector<WrittenNumber> written = find_option_numbers(scan);
    const auto column_lists = find_column_writing(scan);
    const auto column_writing = match_column_writing(pc.result, column_lists);
    const std::vector<TableName> targets = table_names_of(scan, *pc.result);

    /* 2. Defaults of what the text did not give; the numbers the loader acts on. */
    if (std::string why; !check_written_numbers(written, why)) {
        std::fprintf(stderr, "qxfldr: control file %s: %s\n", req.control.c_str(), why.c_str());
        return kExitUsage;
    }
    if (args.skip_rows == UINT64_MAX)
        args.skip_rows = 0;
    if (args.errors == UINT32_MAX && !option_given(req, written, "ERRORS"))
        args.errors = 100;
    if (args.log_file[0] == '\0')
        std::snprintf(args.log_file, sizeof args.log_file, "fldr.log");
    if (args.bad_file[0] == '\0')
        std::snprintf(args.bad_file, sizeof args.bad_file, "fldr.bad");
    if (args.commit_rows == 0) {
        std::fprintf(stderr, "qxfldr: bad value for ROWS: 0 (at least 1 row per commit)\n");
        return kExitUsage;
    }
    uint32_t charset = FLDR_CHARSET_UTF8;
    if (args.character_code == 0) {
        std::fprintf(stderr, "qxfldr: bad value for CHARACTER_CODE (GBK, GB18030, UTF-8, SINGLE_BYTE, EUC-KR)\n");
        return kExitUsage;
    }
    if (args.character_code > 0)
        charset = static_cast<uint32_t>(args.character_code);
    RunLimits limits;
    if (std::string why; !settle_limits(req, written, args, limits, why)) {
        std::fprintf(stderr, "qxfldr: %s\n", why.c_str());
        return kExitUsage;
    }
    if (!test_buffer_size(limits.chunk_bytes))
        return kExitUsage;
    const uint32_t workers = limits.workers;

    /* Relative names of the control file are relative to its directory. */
    const std::string control = std::filesystem::absolute(req.control).lexically_normal().string();
    const std::filesystem::path ctl_dir = std::filesystem::path(control).parent_path();
    std::string db = req.db.empty() ? (ctl_dir / "qxfldr.db").string() : req.db;
    const bool db_is_file = db != ":none:" && !is_server_target(db);
    if (db_is_file)
        db = std::filesystem::absolute(db).string();
    if (chdir(ctl_dir.c_str()) != 0) {
        std::fprintf(stderr, "qxfldr: cannot enter %s: %s\n", ctl_dir.c_str(), std::strerror(errno));
        return kExitFailed;
    }

    /* Until the log is opened (after the checks of every file name), a
    ** failure goes to the console only. */
    LogFile log(os_path(args.log_file));
    std::string err;

    /* 3. Groups: a LOAD statement and its further INTO TABLE clauses. */
    std::vector<std::unique_ptr<Group>> groups;
    std::vector<std::atomic<int64_t> *> sequences;
    ValueRules rules;
    rules.null_mode = args.null_mode;
    rules.null_str = args.null_str;
    rules.charset = charset;
    {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
        rules.sysdate = buf;
    }
    uint32_t table_no = 0;
    const std::vector<bool> escapes = escapes_written(std::string_view(pc.text, text_len));
    /* A refusal of the control file or the command line ends the run with
    ** kExitUsage, anything else with kExitFailed; nothing is loaded yet. */
    auto fail_early = [&](const std::string &msg, int status = kExitFailed) {
        std::fprintf(stderr, "qxfldr: %s\n", msg.c_str());
        log.line(msg);
        fldr_print_after_load_err(&args, msg.c_str());
        return status;
    };
    size_t ctl_index = 0;
    for (fldr_ctl_node *node = pc.result->ctl_first; node != nullptr; node = node->next, ctl_index++) {
        fldr_ctl *ctl = node->ctl;
        if (!ctl->is_continuation || groups.empty()) {
            groups.push_back(std::make_unique<Group>());
            groups.back()->first_table = table_no;
        }
        Group &g = *groups.back();
        auto tr = std::make_unique<TableRun>();
        tr->plan.ctl = ctl;
        tr->plan.table_no = table_no++;
        tr->plan.rules = &rules;
        tr->target = targets[tr->plan.table_no];
        tr->plan.display_name = tr->target.display();
        tr->plan.csv = !choose_escape(*ctl, escapes, tr->plan.table_no, args.escape);
        tr->ctl_index = ctl_index;
        /* With FIELDS TERMINATED BY '', a field without a terminator of its
        ** own runs to the end of the row. The CSV scan ends a field only at a
        ** terminator, so such a table is cut with the plain scan. */
        if (ctl->sep_info != nullptr && ctl->sep_info->term_given != 0 && ctl->sep_info->term_len == 0)
            tr->plan.csv = false;
        g.tables.push_back(std::move(tr));
    }
    uint32_t most_tables = 1;
    for (const auto &g : groups)
        most_tables = std::max(most_tables, static_cast<uint32_t>(g->tables.size()));
    BufferPlan buffers;
    if (!plan_load_buffers(limits, most_tables, is_server_target(db) ? workers : 1, buffers, err))
        return fail_early(err, kExitUsage);
    if (!limits.note.empty()) {
        if (!args.silent)
            std::fprintf(stderr, "qxfldr: %s\n", limits.note.c_str());
        log.line(limits.note);
    }

    /* 4. Data files of every group, all checked before anything is loaded;
    ** then the log and the bad-data files, none of which may be a file the
    ** load reads. */
    std::vector<std::string> notes;
    for (auto &gp : groups)
        if (const std::string why = resolve_data_files(env, pc.heap, *gp, notes); !why.empty())
            return fail_early(why);
    if (const std::string why = check_load_outputs(groups, args, control, db, db_is_file, log.path());
        !why.empty()) {
        std::fprintf(stderr, "qxfldr: %s\nqxfldr: nothing was loaded\n", why.c_str());
        return kExitUsage;
    }
    if (!log.open()) {
        std::fprintf(stderr, "qxfldr: %s\n", log.error().c_str());
        return kExitFailed;
    }
    if (!log.line("load of control file " + req.control + " into " + target_name(db)))
        return fail_early(log.error());
    for (const std::string &note : notes)
        log.line(note);
    std::unique_ptr<Sink> sink = db == ":none:"      ? make_none_sink()
                                 : is_server_target(db) ? make_server_sink(db, err)
                                                        : make_sqlite_sink(db, err);
    if (sink == nullptr)
        return fail_early(err);

    /* 5. Describe and bind every table and check its load mode before any
    ** row is read. */
    BadFiles bad_files;
    for (auto &gp : groups) {
        for (auto &tr : gp->tables) {
            fldr_ctl *ctl = tr->plan.ctl;
            std::snprintf(args.schema_name, sizeof args.schema_name, "%s", ctl->schema_name);
            std::snprintf(args.table_name, sizeof args.table_name, "%s", ctl->table_name);
            if (!sink->describe(tr->target, tr->plan.desc, err))
                return fail_early(err);
            if (!check_column_clauses(ctl, column_writing[tr->ctl_index], tr->plan.desc.cols.size(),
                                      tr->plan.display_name, err))
                return fail_early(err, kExitUsage);
            if (fldr_preprocess_load_sep_info(ctl) != 0)
                return fail_early("table " + tr->plan.display_name + ": separators are not valid (a column's "
                                  "terminator equals its enclosure, or a hexadecimal form is wrong)");
            if (!convert_when_hex(ctl->when_cond, pc.heap))
                return fail_early("table " + tr->plan.display_name +
                                  ": a WHEN value in the X form is not hexadecimal");
            fldr_inst bind_inst{};
            const PlanFault fault = build_plan(env, pc.heap, tr->plan, &bind_inst, sequences, err);
            if (fault != PlanFault::None)
                return fail_early(err, fault == PlanFault::ControlFile ? kExitUsage : kExitFailed);
            const uint8_t mode = gp->tables[0]->plan.ctl->load_mode;
            if (mode == 'I' || mode == 'N') {
                const int64_t n = sink->row_count(tr->target, err);
                if (n != 0)
                    return fail_early("table " + tr->plan.display_name +
                                      (n < 0 ? ": " + err : std::string(" is not empty (load with APPEND or REPLACE)")));
            }
            if (!sink->prepare(tr->plan.table_no, tr->target, tr->plan.insert_cols, err))
                return fail_early("table " + tr->plan.display_name + ": " + err);
            if (const std::string note = sink->route_note(tr->plan.table_no); !note.empty())
                log.line(note);
            /* Rejects of an earlier run would mislead. */
            tr->bad = bad_file_for(bad_files, bad_file_path(*gp, *tr, args));
            if (!tr->bad->remove_stale())
                return fail_early(tr->bad->error());
        }
    }

    /* A database server takes rows on several connections at once: every
    ** worker gets a writer with a sink of its own. */
    std::vector<std::unique_ptr<Sink>> sinks;
    sinks.push_back(std::move(sink));
    for (uint32_t w = 1; is_server_target(db) && w < workers; w++) {
        std::unique_ptr<Sink> extra = make_server_sink(db, err);
        if (extra == nullptr)
            return fail_early(err);
        for (auto &gp : groups)
            for (auto &tr : gp->tables)
                if (!extra->prepare(tr->plan.table_no, tr->target, tr->plan.insert_cols, err))
                    return fail_early("table " + tr->plan.display_name + ": " + err);
        sinks.push_back(std::move(extra));
    }

    /* 6. The groups, one after the other. */
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    const bool progress = isatty(STDERR_FILENO) && !args.silent;
    int status = kExitOk;
    std::string stop_reason;
    int64_t total_read = 0, total_skipped = 0, total_taken = 0;
    uint64_t skip_left = args.skip_rows;
    for (auto &gp : groups) {
        Group &g = *gp;
        RunState rs;
        rs.group = &g;
        rs.queues.resize(1);
        for (auto &q : rs.queues) {
            std::memset(&q, 0, sizeof q);
            os_mutex2_create(&q.lock);
            os_semaphore_create(&q.sem, 0);
        }
        rs.errors = args.errors;
        rs.chunk_bytes = buffers.chunk_bytes;
        rs.log = &log;
        if (g.tables[0]->plan.ctl->load_mode == 'R')
            for (auto &tr : g.tables)
                rs.to_empty.push_back(tr->target);
        const uint64_t group_bufs = buffers.reader_bufs + (g.tables.size() - 1) * uint64_t{buffers.copy_bufs};
        if (!setup_group(g, buffers, args, charset, rs.queues)) {
            stop_reason = "out of memory: " + describe_buffers(group_bufs, buffers.chunk_bytes) +
                          " read buffers cannot be had (lower BUFFER_NODE_SIZE, TASK_THREAD_NUMBER or MEMORY)";
            status = kExitFailed;
            teardown_group(g, rs);
            break;
        }
        rs.sequencer = std::make_unique<Sequencer>(g.tables.size() > 1, args.commit_rows, args.errors,
                                                   [&rs](Converted &c) { release_converted(rs, c); });
        rs.reader_inst = g.tables[0]->inst;
        log.line("read buffers: " + describe_buffers(group_bufs, buffers.chunk_bytes) + "; workers: " +
                 std::to_string(workers) + "; writers: " + std::to_string(sinks.size()) + "; " +
                 std::to_string(args.commit_rows) + " rows per transaction");
        if (g.tables.size() > 1) {
            for (auto &tr : g.tables) {
                g.set_ctls.push_back(tr->plan.ctl);
                g.set_insts.push_back(tr->inst);
            }
            g.set_counts.assign(g.tables.size(), 0);
            g.set_bufs.assign(g.tables.size(), nullptr);
            g.set_tasks.assign(g.tables.size(), nullptr);
            g.set.ctls = g.set_ctls.data();
            g.set.insts = g.set_insts.data();
            g.set.row_cnts = g.set_counts.data();
            g.set.rowbufs = g.set_bufs.data();
            g.set.tasks = g.set_tasks.data();
            rs.reader_inst->multi_table = 1;
            rs.reader_inst->table_cnt = static_cast<uint32_t>(g.tables.size());
            rs.reader_inst->tables = &g.set;
        }
        const int64_t skip = static_cast<int64_t>(std::min<uint64_t>(skip_left, INT64_MAX));

        std::vector<std::thread> writers;
        std::atomic<uint32_t> writers_running{static_cast<uint32_t>(sinks.size())};
        std::atomic<uint32_t> workers_running{workers};
        for (auto &sk : sinks)
            writers.emplace_back([&rs, &writers_running, sink = sk.get(), n = static_cast<uint32_t>(sinks.size())] {
                writer_thread(rs, sink, n);
                writers_running--;
            });
        std::vector<std::thread> pool;
        for (uint32_t w = 0; w < workers; w++)
            pool.emplace_back([&rs, &workers_running] {
                worker_thread(rs);
                workers_running--;
            });
        std::thread reader(reader_thread, std::ref(rs), skip);

        /* Main thread: Ctrl-C, the progress line, and the end of the stream
        ** once no worker is left to convert a task. */
        bool shown = false;
        bool closed = false;
        int ticks = 0;
        while (writers_running.load() > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (g_interrupted && !rs.abandoned) {
                rs.abandon();
                log.line("interrupted; the rows committed so far stay");
            }
            if (log.failed() && !rs.fatal)
                rs.fail(log.error());
            if (!closed && workers_running.load() == 0) {
                rs.sequencer->close(rs.next_seq);
                closed = true;
            }
            const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if (progress && secs > 2.0 && ++ticks % 25 == 0) {   /* four times a second */
                const double done = static_cast<double>(rs.bytes_done.load());
                const double rate = rs.rows_done.load() / secs;
                const double left = done > 0 ? (static_cast<double>(g.total_bytes) - done) * secs / done : 0;
                std::fprintf(stderr, "\r%s of %s, %lld rows, %.0f rows/s, %s left   ", human_bytes(done).c_str(),
                             human_bytes(static_cast<double>(g.total_bytes)).c_str(),
                             static_cast<long long>(rs.rows_done.load()), rate, format_duration(left).c_str());
                shown = true;
            }
        }
        /* The writers are done: whatever the reader and workers still make goes back at once. */
        rs.stop_all();
        reader.join();
        for (auto &t : pool)
            t.join();
        for (auto &t : writers)
            t.join();
        if (shown)
            std::fprintf(stderr, "\r%*s\r", 79, "");
        /* A REPLACE group that stored no row still replaces the old rows (by none). */
        if (!rs.to_empty.empty() && !rs.abandoned && !rs.order.stop_rows)
            empty_alone(rs, *sinks[0]);

        skip_left -= static_cast<uint64_t>(g.skipped);
        total_read += rows_read(rs);
        total_skipped += g.skipped;
        /* Rows the tables took: each was stored or rejected, up to where the load stopped. */
        for (auto &tr : g.tables)
            total_taken += tr->loaded + tr->rej_format + tr->rej_data;
        if (rs.fatal) {
            stop_reason = rs.fatal_msg;
            status = kExitFailed;
        } else if (g_interrupted) {
            stop_reason = "interrupted";
            status = kExitInterrupted;
        } else if (rs.order.stop_rows) {
            stop_reason = "error limit ERRORS=" + std::to_string(args.errors) + " exceeded";
            status = kExitFailed;
        }

        /* Summary lines of the group's tables. */
        std::string summary;
        for (auto &tr : g.tables) {
            if (tr->plan.ctl->schema_name[0] != '\0') {
                char buf[1024];
                fldr_mout_lookup(buf, -10012, 2, tr->plan.ctl->schema_name, tr->plan.ctl->table_name);
                summary += buf;
            } else {
                char buf[1024];
                fldr_mout_lookup(buf, -10011, 1, tr->plan.ctl->table_name);
                summary += buf;
            }
            summary += mout(-10017, 1, static_cast<int64_t>(tr->loaded));
            summary += mout(-10019, 1, static_cast<int64_t>(tr->rej_format));
            summary += mout(-10021, 1, static_cast<int64_t>(tr->rej_data));
            if (tr->blank > 0)
                summary += std::to_string(tr->blank.load()) + " blank lines skipped.\n";
            if (tr->rej_format + tr->rej_data > 0)
                summary += "Rejected rows are in " + tr->bad->path() + ", their reasons in " + log.path() + ".\n";
        }
        print_both(log, args.silent, summary);
        rs.sequencer.reset();
        teardown_group(g, rs);
        if (status != kExitOk)
            break;
    }

    const int64_t refused = std::max<int64_t>(0, total_read - total_taken);
    std::string tail;
    if (!stop_reason.empty())
        tail += "\nload stopped: " + stop_reason + "\n";
    tail += mout(-10023, 1, total_skipped);
    tail += mout(-10025, 1, total_read);
    tail += mout(-10027, 1, refused);
    const auto ms = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    {
        char buf[1024];
        fldr_mout_lookup(buf, -10032, 2, static_cast<long>(ms / 1000), static_cast<long>(ms % 1000));
        tail += buf;
    }
    print_both(log, args.silent, tail);
    if (!stop_reason.empty())
        std::fprintf(stderr, "qxfldr: load stopped: %s\n", stop_reason.c_str());
    if (log.failed() && status == kExitOk) {
        /* The summary did not reach the log: the load's record is incomplete. */
        std::fprintf(stderr, "qxfldr: %s\n", log.error().c_str());
        status = kExitFailed;
    }
    for (auto *seq : sequences)
        delete seq;
    return status;
}

}  // namespace qxfldr

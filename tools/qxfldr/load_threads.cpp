/*
** One group's load and its threads: see load_threads.h, and the overview in
** load.cpp.
*/
#include "load_threads.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "fields.h"
#include "load_report.h"

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
        /* The short wait bounds how late a worker sees the reader's end,
        ** which holds back the last commit unit. */
        fldr_task *task = take_task(rs, done ? 0 : 2, seq);
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

/* The group's run state: one task queue, the REPLACE tables, the tables'
** instances and buffers, the Sequencer, and the multi-table set the reader
** routes rows through. False when the buffers cannot be had. */
bool prepare_group(LoadPlan &plan, Group &g, RunState &rs)
{
    rs.group = &g;
    rs.queues.resize(1);
    for (auto &q : rs.queues) {
        std::memset(&q, 0, sizeof q);
        os_mutex2_create(&q.lock);
        os_semaphore_create(&q.sem, 0);
    }
    rs.errors = plan.args.errors;
    rs.chunk_bytes = plan.buffers.chunk_bytes;
    rs.log = plan.log.get();
    if (g.tables[0]->plan.ctl->load_mode == 'R')
        for (auto &tr : g.tables)
            rs.to_empty.push_back(tr->target);
    if (!setup_group(g, plan.buffers, plan.args, plan.charset, rs.queues))
        return false;
    rs.sequencer = std::make_unique<Sequencer>(g.tables.size() > 1, plan.args.commit_rows, plan.args.errors,
                                               [&rs](Converted &c) { release_converted(rs, c); });
    rs.reader_inst = g.tables[0]->inst;
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
    return true;
}

/*
** Runs the reader, the workers and one writer per sink until the writers
** are done. The calling thread meanwhile watches for Ctrl-C and a failed
** log, ends the stream once no worker is left to convert a task, and shows
** the progress line on a terminal.
*/
void run_threads(LoadPlan &plan, RunState &rs, int64_t skip, std::chrono::steady_clock::time_point started)
{
    const uint32_t workers = plan.limits.workers;
    std::vector<std::thread> writers;
    std::atomic<uint32_t> writers_running{static_cast<uint32_t>(plan.sinks.size())};
    std::atomic<uint32_t> workers_running{workers};
    /* A worker or writer that ends wakes the watch at once: the last worker
    ** ending is what closes the stream, and the writers ending the load. */
    std::mutex watch_mutex;
    std::condition_variable watch;
    const auto ended = [&](std::atomic<uint32_t> &running) {
        {
            std::lock_guard<std::mutex> lock(watch_mutex);
            running--;
        }
        watch.notify_one();
    };
    for (auto &sk : plan.sinks)
        writers.emplace_back([&, sink = sk.get(), n = static_cast<uint32_t>(plan.sinks.size())] {
            writer_thread(rs, sink, n);
            ended(writers_running);
        });
    std::vector<std::thread> pool;
    for (uint32_t w = 0; w < workers; w++)
        pool.emplace_back([&] {
            worker_thread(rs);
            ended(workers_running);
        });
    std::thread reader(reader_thread, std::ref(rs), skip);

    LogFile &log = *plan.log;
    const bool progress = isatty(STDERR_FILENO) && !plan.args.silent;
    bool shown = false;
    bool closed = false;
    for (int ticks = 0; writers_running.load() > 0;) {
        {
            std::unique_lock<std::mutex> lock(watch_mutex);
            watch.wait_for(lock, std::chrono::milliseconds(10), [&] {
                return writers_running.load() == 0 || (!closed && workers_running.load() == 0);
            });
        }
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
            std::fprintf(stderr, "\r%s   ", progress_line(static_cast<double>(rs.bytes_done.load()),
                                                           static_cast<double>(rs.group->total_bytes),
                                                           rs.rows_done.load(), secs).c_str());
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
}

}  // namespace

void catch_interrupts()
{
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

GroupResult run_group(LoadPlan &plan, Group &g, uint64_t skip, std::chrono::steady_clock::time_point started)
{
    GroupResult res;
    RunState rs;
    const BufferPlan &buffers = plan.buffers;
    const uint64_t group_bufs = buffers.reader_bufs + (g.tables.size() - 1) * uint64_t{buffers.copy_bufs};
    if (!prepare_group(plan, g, rs)) {
        res.status = kExitFailed;
        res.stop_reason = "out of memory: " + describe_buffers(group_bufs, buffers.chunk_bytes) +
                          " read buffers cannot be had (lower BUFFER_NODE_SIZE, TASK_THREAD_NUMBER or MEMORY)";
        teardown_group(g, rs);
        return res;
    }
    plan.log->line("read buffers: " + describe_buffers(group_bufs, buffers.chunk_bytes) + "; workers: " +
                   std::to_string(plan.limits.workers) + "; writers: " + std::to_string(plan.sinks.size()) + "; " +
                   std::to_string(plan.args.commit_rows) + " rows per transaction");
    run_threads(plan, rs, static_cast<int64_t>(std::min<uint64_t>(skip, INT64_MAX)), started);
    /* A REPLACE group that stored no row still replaces the old rows (by none). */
    if (!rs.to_empty.empty() && !rs.abandoned && !rs.order.stop_rows)
        empty_alone(rs, *plan.sinks[0]);

    res.read = rows_read(rs);
    res.skipped = g.skipped;
    /* Rows the tables took: each was stored or rejected, up to where the load stopped. */
    for (auto &tr : g.tables)
        res.taken += tr->loaded + tr->rej_format + tr->rej_data;
    if (rs.fatal) {
        res.stop_reason = rs.fatal_msg;
        res.status = kExitFailed;
    } else if (g_interrupted) {
        res.stop_reason = "interrupted";
        res.status = kExitInterrupted;
    } else if (rs.order.stop_rows) {
        res.stop_reason = "error limit ERRORS=" + std::to_string(plan.args.errors) + " exceeded";
        res.status = kExitFailed;
    }
    print_both(*plan.log, plan.args.silent, group_summary(g, plan.log->path()));
    rs.sequencer.reset();
    teardown_group(g, rs);
    return res;
}

}  // namespace qxfldr

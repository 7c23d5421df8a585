/*
** A load, from the control file to the summary.
**
**   control file --fpar_main--> fldr_args + control records (parse heap)
**   per LOAD statement (a group of INTO TABLE clauses sharing data files):
**     data files resolved and opened once; then the log and bad-data file
**     names checked against every file the load reads (outfile.h), before
**     anything is opened for writing; separators prepared, tables described
**     by the sink, column functions bound (TablePlan per table)
**     reader thread:  SKIP, then fldr_read_rows_and_build_task per data file: chunks in
**                     pooled buffers -> tasks of row offsets -> worker queues
**     workers (TASK_THREAD_NUMBER): rows -> values (rowval) -> RowBatch;
**                     rejected rows -> bad-data file + log; buffers and
**                     tasks back to their pools
**     writer threads: RowBatches -> sink, a transaction every ROWS rows; one
**                     writer for an embedded database, one per worker (each
**                     with its own connection) for a database server; REPLACE
**                     empties the tables in the first transaction (replace_gate.h)
**     main thread:    progress line, Ctrl-C, then the summary
**
** Ownership: chunk buffers and tasks belong to their table's instance and
** travel reader -> worker -> pool; a RowBatch belongs to the worker that
** filled it until it is queued, then to a writer, which gives the chunk back
** once the batch is stored (a refused row is written from it).
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
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "inputs.h"
#include "outfile.h"
#include "qxcalc.h"
#include "replace_gate.h"
#include "rowval.h"
#include "sink.h"
#include "tool.h"

namespace qxfldr {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_signal(int)
{
    g_interrupted = 1;
}

/* Paths are kept with "\" inside the library; the operating system wants "/". */
std::string os_path(const char *path)
{
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

/* ---------------------------------------------------------------- bounded queue */

class BatchQueue {
public:
    explicit BatchQueue(size_t cap) : cap_(cap) {}
    void push(std::unique_ptr<RowBatch> batch)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        not_full_.wait(lock, [this] { return items_.size() < cap_; });
        items_.push_back(std::move(batch));
        not_empty_.notify_one();
    }
    std::unique_ptr<RowBatch> pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        not_empty_.wait(lock, [this] { return !items_.empty() || closed_; });
        if (items_.empty())
            return nullptr;
        auto batch = std::move(items_.front());
        items_.pop_front();
        not_full_.notify_one();
        return batch;
    }
    void close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        not_empty_.notify_all();
    }

private:
    std::mutex                            mutex_;
    std::condition_variable               not_full_, not_empty_;
    std::deque<std::unique_ptr<RowBatch>> items_;
    size_t                                cap_;
    bool                                  closed_ = false;
};

/* Emptied batches kept for reuse: a batch keeps the size of its buffers, so
** that workers do not fault in fresh memory for every chunk. There are never
** more than the batches in flight at once (queued, being filled, being
** stored). */
class BatchPool {
public:
    std::unique_ptr<RowBatch> get()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (spare_.empty())
            return std::make_unique<RowBatch>();
        auto batch = std::move(spare_.back());
        spare_.pop_back();
        return batch;
    }
    void put(std::unique_ptr<RowBatch> batch)
    {
        batch->values.clear();
        batch->arena.clear();
        batch->src.clear();
        batch->text = nullptr;
        batch->chunk = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        spare_.push_back(std::move(batch));
    }

private:
    std::mutex                             mutex_;
    std::vector<std::unique_ptr<RowBatch>> spare_;
};

/* ---------------------------------------------------------------- one table of a group */

struct TableRun {
    TablePlan                 plan;
    fldr_inst                *inst = nullptr;     /* owned; zero-filled, pools set up by setup_inst */
    std::vector<std::string>  buf_storage;
    std::vector<fldr_rowbuf>  bufs;
    std::vector<fldr_task>    tasks;
    std::atomic<int64_t>      loaded{0};          /* committed */
    std::atomic<int64_t>      rej_format{0};
    std::atomic<int64_t>      rej_data{0};
    std::atomic<int64_t>      taken{0};           /* rows routed to this table, converted or not */
    TableName                 target;             /* the INTO TABLE name, with its quoting */
    OutputFile               *bad = nullptr;      /* the bad-data file, shared by the tables naming it */
    bool                      crlf_tolerant = false;  /* no terminator given: "\n", a "\r" before it dropped */
};

struct Group {
    std::vector<std::unique_ptr<TableRun>> tables;      /* numbered first_table, first_table + 1, ... */
    uint32_t                               first_table = 0;
    std::vector<fldr_data_file *>          files;       /* in load order */
    std::vector<std::string>               file_names;  /* by file_no */
    std::vector<int64_t>                   file_base;   /* rows_read when the file began */
    std::vector<int64_t>                   file_skipped;/* rows skipped at the file's start */
    uint64_t                               total_bytes = 0;
    int64_t                                skipped = 0;
    fldr_table_set                         set{};
    std::vector<fldr_ctl *>                set_ctls;
    std::vector<fldr_inst *>               set_insts;
    std::vector<uint32_t>                  set_counts;
    std::vector<fldr_rowbuf *>             set_bufs;
    std::vector<fldr_task *>               set_tasks;
};

/* Everything the threads of one group share. */
struct RunState {
    Group                *group = nullptr;
    fldr_inst            *reader_inst = nullptr;
    std::vector<fldr_task_queue> queues;
    BatchQueue            batches{8};
    BatchPool             spare;                /* emptied batches */
    std::atomic<bool>     reader_done{false};
    std::atomic<bool>     stop{false};          /* no more rows are converted */
    std::atomic<bool>     fatal{false};         /* the open transaction is not committed */
    std::mutex            fatal_mutex;
    std::string           fatal_msg;
    int32_t               reader_rc = 0;
    std::atomic<uint64_t> bytes_done{0};
    std::atomic<int64_t>  rows_done{0};
    uint64_t              commit_rows = 50000;
    uint32_t              errors = 100;
    uint32_t              buf_cap = 0;          /* bytes of a read buffer */
    LogFile              *log = nullptr;
    ReplaceGate           replace;              /* load mode REPLACE */

    void fail(const std::string &msg)
    {
        {
            std::lock_guard<std::mutex> lock(fatal_mutex);
            if (fatal_msg.empty())
                fatal_msg = msg;
        }
        fatal = true;
        stop_all();
    }
    void stop_all()
    {
        stop = true;
        for (auto &t : group->tables)
            __atomic_store_n(&t->inst->run_state, -1, __ATOMIC_RELAXED);
    }
};

void setup_inst(TableRun &tr, fldr_ctl *ctl, const fldr_args &args, uint32_t charset, uint32_t nbufs,
                uint32_t buf_cap, uint32_t ntasks, std::vector<fldr_task_queue> &queues)
{
    tr.inst = static_cast<fldr_inst *>(std::calloc(1, sizeof(fldr_inst)));
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
    in.scan_mode = sep != nullptr && sep->escape_len > 0 ? FLDR_SCAN_ESCAPED : FLDR_SCAN_PLAIN;
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
        tr.buf_storage[i].assign(static_cast<size_t>(buf_cap) + 1, '\0');
        tr.bufs[i] = fldr_rowbuf{};
        tr.bufs[i].data = tr.buf_storage[i].data();
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
            fldr_mem_alloc(fldr_get_env(), nullptr, 1025 * 4, "tools/qxfldr", __LINE__));
        tr.tasks[i].row_cap = tr.tasks[i].row_offs != nullptr ? 1024 : 0;
        fldr_task_free(&in.task_pool, &tr.tasks[i]);
    }
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
}

/* Why a row was rejected; each kind has its own count in the summary. */
enum class Reject { Format, Data, Refused };

/*
** A rejected row: whole to the bad-data file, one line to the log. Returns
** whether the load goes on (false once the ERRORS limit is passed: the load
** is then stopping).
*/
bool reject_row(RunState &rs, TableRun &tr, uint32_t file_no, int64_t row_no, std::string_view row,
                std::string_view reason, Reject kind)
{
    (kind == Reject::Format ? tr.rej_format : tr.rej_data)++;
    const int64_t errs = __atomic_add_fetch(&rs.reader_inst->err_count, 1, __ATOMIC_RELAXED);
    static constexpr const char *kWhat[] = {"format error: ", "data error: ", "refused by the database: "};
    /* A reason or a row that cannot be written would be lost: the load stops. */
    if (!rs.log->line("table " + tr.plan.display_name + ", file " + rs.group->file_names[file_no] + ", row " +
                      std::to_string(row_no) + ": " + kWhat[static_cast<int>(kind)] + std::string(reason))) {
        rs.fail(rs.log->error());
        return false;
    }
    if (!tr.bad->write(row)) {
        rs.fail(tr.bad->error());
        return false;
    }
    if (errs > static_cast<int64_t>(rs.errors)) {
        rs.log->line("error limit ERRORS=" + std::to_string(rs.errors) + " exceeded; the load stops");
        rs.stop_all();
        return false;
    }
    return true;
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


void worker_main(RunState &rs, uint32_t worker_no)
{
    RowScratch scratch;
    std::string reason;
    std::vector<RowSource> spans;
    fldr_task_queue *queue = &rs.queues[worker_no];
    for (;;) {
        const bool done = rs.reader_done.load(std::memory_order_acquire);
        fldr_task *task = fldr_task_take(queue, done ? 0 : 20);
        if (task == nullptr) {
            if (done)
                break;
            continue;
        }
        auto &tr = *static_cast<TableRun *>(task->tool_data);
        rs.bytes_done += task->data_len;
        /* Rows the table took, even if a stop leaves them unconverted: only
        ** rows no table takes count as refused in the summary. */
        tr.taken += task->row_cnt;
        if (rs.stop.load(std::memory_order_relaxed)) {
            give_back_chunk(task);
            continue;
        }
        auto batch = rs.spare.get();
        batch->table = tr.plan.table_no;
        batch->width = static_cast<uint32_t>(tr.plan.insert_cols.size());
        batch->values.reserve(static_cast<size_t>(task->row_cnt) * batch->width);
        batch->arena.reserve(task->data_len);
        batch->src.reserve(task->row_cnt);
        batch->file_no = static_cast<uint32_t>(task->file_no);
        batch->text = task->data;
        const bool exact = rs.group->tables.size() == 1 && tr.plan.ctl->when_cond == nullptr;
        locate_rows(*rs.group, rs.reader_inst, task, exact, spans);
        uint32_t i = 0;
        for (; i < task->row_cnt; i++) {
            if (rs.stop.load(std::memory_order_relaxed))
                break;
            const char *row = task->data + spans[i].off;
            const uint32_t row_len = spans[i].len;
            const char *term = task->row_term;
            uint16_t term_len = task->row_term_len;
            if (tr.crlf_tolerant && row_len >= 2 && row[row_len - 1] == '\n' && row[row_len - 2] == '\r') {
                term = "\r\n";
                term_len = 2;
            }
            const char *cut = row;
            uint32_t cut_len = row_len;
            if (task->start_len > 0 && cut_len >= task->start_len &&
                std::memcmp(cut, task->start_str, task->start_len) == 0) {
                cut += task->start_len;
                cut_len -= task->start_len;
            }
            const RowResult res = convert_row(tr.plan, scratch, cut, cut_len, term, term_len, *batch, reason);
            if (res == RowResult::Loaded)
                batch->src.push_back(spans[i]);
            else
                reject_row(rs, tr, batch->file_no, spans[i].row_no, std::string_view(row, row_len), reason,
                           res == RowResult::FormatError ? Reject::Format : Reject::Data);
        }
        rs.rows_done += i;
        if (batch->rows() == 0) {
            give_back_chunk(task);
            rs.spare.put(std::move(batch));
            continue;
        }
        /* The writer gives the chunk back once the rows are stored: a row the
        ** database refuses is written from it to the bad-data file. */
        batch->chunk = task;
        rs.batches.push(std::move(batch));
    }
}

/*
** Opens a writer's transaction. The first of the group empties the REPLACE
** tables in it (ReplaceGate rule 1); `emptying` tells the writer so. False
** once the load is failing.
*/
bool begin_transaction(RunState &rs, Sink &sink, bool &emptying)
{
    std::string err;
    if (!sink.begin(err)) {
        rs.fail("cannot begin a transaction: " + err);
        return false;
    }
    if (!rs.replace.claim())
        return true;
    for (const TableName &table : rs.replace.tables()) {
        if (!sink.truncate(table, err)) {
            rs.fail("cannot empty table " + table.display() + " (load mode REPLACE): " + err);
            sink.rollback();
            rs.replace.settle(false);
            return false;
        }
    }
    emptying = true;
    return true;
}

/*
** A writer: batches from the queue into its own sink, a transaction every
** ROWS rows. Rows are counted as loaded when their transaction commits. A
** refused row that passes the ERRORS limit ends this writer's storing: the
** rows before it are committed, the batches after it are only given back.
*/
void writer_main(RunState &rs, Sink *sink)
{
    Group &g = *rs.group;
    /* By table number: the group's tables are first_table and on. */
    std::vector<int64_t> committed(g.first_table + g.tables.size(), 0);
    uint64_t in_txn = 0;
    bool open = false;
    bool emptying = false;   /* the open transaction empties the REPLACE tables */
    bool refusal_stop = false;
    std::string err;
    const RefusalFn on_refused = [&](const Refused &r) {
        if (!reject_row(rs, *g.tables[r.table - g.first_table], r.file_no, r.row_no, r.text, r.message, Reject::Refused))
            refusal_stop = true;
        return !refusal_stop;
    };
    auto commit = [&]() {
        const uint64_t rows = in_txn;
        open = false;
        in_txn = 0;
        std::fill(committed.begin(), committed.end(), 0);
        if (!emptying && !rs.replace.wait_emptied()) {
            sink->rollback();   /* ReplaceGate rule 3: the load is failing */
            return false;
        }
        const bool stored = sink->commit(on_refused, committed, err);
        if (emptying)
            rs.replace.settle(stored);
        emptying = false;
        if (!stored) {
            /* A commit whose answer is lost may have been carried out: the
            ** summary counts only what was confirmed, and says so. */
            rs.fail("commit failed: " + err + " (the " + std::to_string(rows) +
                    " rows of that commit may or may not be stored)");
            return false;
        }
        for (size_t t = 0; t < g.tables.size(); t++)
            g.tables[t]->loaded += committed[g.first_table + t];
        return true;
    };
    while (auto batch = rs.batches.pop()) {
        uint64_t from = 0;
        const uint64_t rows = batch->rows();
        while (from < rows && !rs.fatal && !refusal_stop) {
            if (!open) {
                if (!begin_transaction(rs, *sink, emptying))
                    break;
                open = true;
            }
            const uint64_t take = std::min<uint64_t>(rows - from, rs.commit_rows - in_txn);
            if (!sink->insert(*batch, from, from + take, on_refused, err)) {
                rs.fail("the database failed on table " + g.tables[batch->table - g.first_table]->plan.display_name +
                        ": " + err);
                break;
            }
            from += take;
            in_txn += take;
            if (in_txn >= rs.commit_rows && !refusal_stop && !commit())
                break;
        }
        give_back_chunk(static_cast<fldr_task *>(batch->chunk));
        rs.spare.put(std::move(batch));
    }
    /* ReplaceGate rule 4: no row stored, yet the tables' rows are replaced (by none). */
    if (!open && !rs.stop && rs.replace.pending())
        open = begin_transaction(rs, *sink, emptying);
    if (open) {
        if (rs.fatal || g_interrupted)
            sink->rollback();
        else
            commit();
    }
    if (emptying)
        rs.replace.settle(false);   /* rolled back */
}

/* Why reading stopped with the library's code rc. */
std::string reading_failure(int32_t rc, uint32_t buf_cap)
{
    if (rc == FLDR_ERR_NO_ROW_TERM)
        return "a row is longer than the read buffer (" + std::to_string(buf_cap >> 20) +
               " MiB; raise BUFFER_NODE_SIZE) or the row terminator is wrong";
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
    /* A failed read fails the load: the open transactions are rolled back. */
    if (rc != 0 && rc != FLDR_ERR_REACH_ERROR_MAX && !rs.stop)
        rs.fail(reading_failure(rc, rs.buf_cap));
    rs.reader_done.store(true, std::memory_order_release);
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

void print_both(LogFile &log, bool silent, const std::string &text)
{
    if (!silent) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    log.raw(text);
}

/* Runs the library's resolution of the INFILE clause (names with wildcards,
** a list file or a directory) into ctl's data-file records. */
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

/* The group's data files, resolved, each checked and opened once (so that
** one the user may not read stops the load before a table is touched), with
** their terminators prepared. */
std::string resolve_data_files(fldr_env *env, mem_heap_t *heap, Group &g)
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
        if (df->row_term_len == 0 && df->row_term_hex[0] != '\0' &&
            !convert_hex(df->row_term_hex, df->row_term, &df->row_term_len, sizeof df->row_term))
            return "data file " + path + ": row terminator X '" + df->row_term_hex + "' is not hexadecimal";
        if (df->start_len == 0 && df->start_hex[0] != '\0' &&
            !convert_hex(df->start_hex, df->start_str, &df->start_len, sizeof df->start_str))
            return "data file " + path + ": start string is not hexadecimal";
        if (!term_given) {
            std::memcpy(df->row_term, "\n", 2);
            df->row_term_len = 1;
        }
        uint64_t size = 0;
        if (std::string why = data_file_problem(path, size); !why.empty())
            return why;
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

/* The bad-data file of a table: its own BADFILE, its LOAD statement's, or
** the OPTIONS' (default fldr.bad). */
std::string bad_file_path(const Group &g, const TableRun &tr, const fldr_args &args)
{
    const fldr_ctl *own = tr.plan.ctl;
    const fldr_ctl *first = g.tables[0]->plan.ctl;
    return own->bad_file.path[0] != '\0'     ? os_path(own->bad_file.path)
           : first->bad_file.path[0] != '\0' ? os_path(first->bad_file.path)
                                             : os_path(args.bad_file);
}

/* One OutputFile per bad-data file name: tables that name the same file
** write to it in turn instead of over each other. */
OutputFile *bad_file_for(std::map<std::string, std::unique_ptr<OutputFile>> &files, const std::string &path)
{
    const std::string key = std::filesystem::absolute(path).lexically_normal().string();
    auto &file = files[key];
    if (file == nullptr)
        file = std::make_unique<OutputFile>("bad-data file", path);
    return file.get();
}

/* The group's tables to empty (load mode REPLACE of its LOAD statement). */
std::vector<TableName> replace_targets(const Group &g)
{
    std::vector<TableName> out;
    if (g.tables[0]->plan.ctl->load_mode == 'R')
        for (const auto &tr : g.tables)
            out.push_back(tr->target);
    return out;
}

/* outfile.h rule 1 for the log and every bad-data file: the first refusal,
** or "". The log may not be a bad-data file either (a bad-data file of an
** earlier run is removed). */
std::string check_load_outputs(const std::vector<std::unique_ptr<Group>> &groups, const fldr_args &args,
                               const std::string &control, const std::string &db, const std::string &log_path)
{
    std::vector<LoadInput> inputs;
    add_load_input(inputs, "the control file", control);
    if (db != ":none:" && !is_pg_target(db)) {
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
    add_load_input(inputs, "the log file", log_path);
    for (const auto &g : groups)
        for (const auto &tr : g->tables)
            if (std::string why = check_output("BADFILE", bad_file_path(*g, *tr, args), inputs); !why.empty())
                return why;
    return "";
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
        std::fprintf(stderr, "qxfldr: syntax error in control file %s at line %u, column %u%s%s%s%s\n",
                     req.control.c_str(), perr ? perr->line : 0, perr ? perr->column : 0,
                     perr && perr->text ? ", near '" : "", perr && perr->text ? perr->text : "",
                     perr && perr->text ? "'" : "", perr && perr->msg[0] ? (std::string(": ") + perr->msg).c_str() : "");
        std::fprintf(stderr, "qxfldr: nothing was loaded\n");
        return kExitUsage;
    }
    for (const auto &[key, value] : req.options) {
        const std::string opt = "OPTIONS (" + key + " = " + value + ")";
        fldr_par_result *ores = nullptr;
        fldr_parse_err *oerr = nullptr;
        if (fpar_main(env, opt.c_str(), &ores, &oerr, &args, pc.heap) != 0) {
            std::fprintf(stderr, "qxfldr: bad value for %s: %s\n", key.c_str(), value.c_str());
            return kExitUsage;
        }
    }
    if (pc.result->ctl_count == 0) {
        std::fprintf(stderr, "qxfldr: control file %s holds no LOAD statement\n", req.control.c_str());
        return kExitUsage;
    }
    const std::vector<TableName> targets = table_names_of(std::string_view(pc.text, text_len), *pc.result);

    /* 2. Defaults of what the text did not give. */
    if (args.skip_rows == UINT64_MAX)
        args.skip_rows = 0;
    if (args.errors == UINT32_MAX)
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
    uint32_t workers = args.task_thread_number == 0 ? 1 : std::min<uint32_t>(args.task_thread_number, 64);

    /* Relative names of the control file are relative to its directory. */
    const std::string control = std::filesystem::absolute(req.control).lexically_normal().string();
    const std::filesystem::path ctl_dir = std::filesystem::path(control).parent_path();
    std::string db = req.db.empty() ? (ctl_dir / "qxfldr.db").string() : req.db;
    if (db != ":none:" && !is_pg_target(db))
        db = std::filesystem::absolute(db).string();
    if (chdir(ctl_dir.c_str()) != 0) {
        std::fprintf(stderr, "qxfldr: cannot enter %s: %s\n", ctl_dir.c_str(), std::strerror(errno));
        return kExitFailed;
    }

    /* Until the log is opened (after the checks of every file name), a
    ** failure goes to the console only. */
    LogFile log(os_path(args.log_file));
    std::string err;
    auto fail_early = [&](const std::string &msg) {
        std::fprintf(stderr, "qxfldr: %s\n", msg.c_str());
        log.line(msg);
        fldr_print_after_load_err(&args, msg.c_str());
        return kExitFailed;
    };

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
    const uint32_t buf_cap = (req.buffer_given ? std::max<uint32_t>(args.buffer_node_size, 1) : 1u) << 20;
    const uint32_t nbufs = 2 * workers + 2;
    uint32_t table_no = 0;
    for (fldr_ctl_node *node = pc.result->ctl_first; node != nullptr; node = node->next) {
        fldr_ctl *ctl = node->ctl;
        if (!ctl->is_continuation || groups.empty()) {
            groups.push_back(std::make_unique<Group>());
            groups.back()->first_table = table_no;
        }
        auto tr = std::make_unique<TableRun>();
        tr->plan.ctl = ctl;
        tr->target = targets[table_no];
        tr->plan.table_no = table_no++;
        tr->plan.rules = &rules;
        tr->plan.display_name = tr->target.display();
        std::snprintf(args.schema_name, sizeof args.schema_name, "%s", ctl->schema_name);
        std::snprintf(args.table_name, sizeof args.table_name, "%s", ctl->table_name);
        groups.back()->tables.push_back(std::move(tr));
    }

    /* 4. Data files of every group, all checked before anything is loaded. */
    for (auto &gp : groups)
        if (const std::string why = resolve_data_files(env, pc.heap, *gp); !why.empty())
            return fail_early(why);

    /* The log and the bad-data files: none may be a file the load reads. */
    if (const std::string why = check_load_outputs(groups, args, control, db, log.path()); !why.empty()) {
        std::fprintf(stderr, "qxfldr: %s\nqxfldr: nothing was loaded\n", why.c_str());
        return kExitUsage;
    }
    std::map<std::string, std::unique_ptr<OutputFile>> bad_files;   /* by path */
    if (!log.open()) {
        std::fprintf(stderr, "qxfldr: %s\n", log.error().c_str());
        return kExitFailed;
    }
    if (!log.line("load of control file " + req.control + " into " + (is_pg_target(db) ? pg_display_name(db) : db)))
        return fail_early(log.error());
    std::unique_ptr<Sink> sink = db == ":none:"      ? make_none_sink()
                                 : is_pg_target(db) ? make_pg_sink(db, err)
                                                    : make_sqlite_sink(db, err);
    if (sink == nullptr)
        return fail_early(err);

    /* 5. Describe and bind every table and check its load mode before any
    ** row is read. */
    for (auto &gp : groups) {
        for (auto &tr : gp->tables) {
            fldr_ctl *ctl = tr->plan.ctl;
            if (!sink->describe(tr->target, tr->plan.desc, err))
                return fail_early(err);
            if (fldr_preprocess_load_sep_info(ctl) != 0)
                return fail_early("table " + tr->plan.display_name + ": separators are not valid (a column's "
                                  "terminator equals its enclosure, or a hexadecimal form is wrong)");
            if (!convert_when_hex(ctl->when_cond, pc.heap))
                return fail_early("table " + tr->plan.display_name + ": a WHEN value in the X form is not hexadecimal");
            fldr_inst bind_inst{};
            if (!build_plan(env, pc.heap, tr->plan, &bind_inst, sequences, err))
                return fail_early(err);
            const uint8_t mode = gp->tables[0]->plan.ctl->load_mode;
            if (mode == 'I' || mode == 'N') {
                const int64_t n = sink->row_count(tr->target, err);
                if (n != 0)
                    return fail_early("table " + tr->plan.display_name +
                                      (n < 0 ? ": " + err : std::string(" is not empty (load with APPEND or REPLACE)")));
            }
            if (!sink->prepare(tr->plan.table_no, tr->target, tr->plan.insert_cols, err))
                return fail_early("table " + tr->plan.display_name + ": " + err);
            tr->bad = bad_file_for(bad_files, bad_file_path(*gp, *tr, args));
            if (!tr->bad->remove_stale())
                return fail_early(tr->bad->error());
        }
    }

    /* A database server takes rows on several connections at once: every
    ** worker gets a writer with a sink of its own. */
    std::vector<std::unique_ptr<Sink>> sinks;
    sinks.push_back(std::move(sink));
    for (uint32_t w = 1; is_pg_target(db) && w < workers; w++) {
        std::unique_ptr<Sink> extra = make_pg_sink(db, err);
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
        rs.queues.resize(workers);
        for (auto &q : rs.queues) {
            std::memset(&q, 0, sizeof q);
            os_mutex2_create(&q.lock);
            os_semaphore_create(&q.sem, 0);
        }
        rs.commit_rows = args.commit_rows;
        rs.errors = args.errors;
        rs.buf_cap = buf_cap;
        rs.log = &log;
        rs.replace.arm(replace_targets(g));
        for (auto &tr : g.tables) {
            setup_inst(*tr, tr->plan.ctl, args, charset, nbufs, buf_cap, nbufs + 2, rs.queues);
            tr->plan.inst = tr->inst;
        }
        rs.reader_inst = g.tables[0]->inst;
        log.line("read buffers: " + std::to_string(nbufs * g.tables.size()) + " x " + std::to_string(buf_cap >> 20) +
                 " MiB; workers: " + std::to_string(workers) + "; writers: " + std::to_string(sinks.size()) + "; " +
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
        for (auto &sk : sinks)
            writers.emplace_back(writer_main, std::ref(rs), sk.get());
        std::vector<std::thread> pool;
        for (uint32_t w = 0; w < workers; w++)
            pool.emplace_back(worker_main, std::ref(rs), w);
        std::thread reader(reader_main, std::ref(rs), skip);

        /* Main thread: Ctrl-C and the progress line. */
        bool shown = false;
        int ticks = 0;
        while (!rs.reader_done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (g_interrupted && !rs.stop) {
                rs.stop_all();
                log.line("interrupted; the rows committed so far stay");
            }
            if (log.failed() && !rs.fatal)
                rs.fail(log.error());
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
        reader.join();
        for (auto &t : pool)
            t.join();
        rs.batches.close();
        for (auto &t : writers)
            t.join();
        if (shown)
            std::fprintf(stderr, "\r%*s\r", 79, "");

        skip_left -= static_cast<uint64_t>(g.skipped);
        total_read += rs.reader_inst->rows_read;
        total_skipped += g.skipped;
        for (auto &tr : g.tables)
            total_taken += tr->taken;
        if (rs.fatal) {
            stop_reason = rs.fatal_msg;
            status = kExitFailed;
        } else if (log.failed()) {
            stop_reason = log.error();
            status = kExitFailed;
        } else if (g_interrupted) {
            stop_reason = "interrupted";
            status = kExitInterrupted;
        } else if (rs.reader_inst->err_count > static_cast<int64_t>(args.errors)) {
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
            if (tr->rej_format + tr->rej_data > 0)
                summary += "Rejected rows are in " + tr->bad->path() + ", their reasons in " + log.path() + ".\n";
        }
        print_both(log, args.silent, summary);
        for (auto &tr : g.tables)
            teardown_inst(*tr);
        for (auto &q : rs.queues) {
            os_semaphore_free(&q.sem);
            os_mutex2_free(&q.lock);
        }
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

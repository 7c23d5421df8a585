/*
** A load, from the control file to the summary.
**
**   control file --fpar_main--> fldr_args + control records (parse heap)
**   per LOAD statement (a group of INTO TABLE clauses sharing data files):
**     data files resolved, separators prepared, tables described by the
**     sink, column functions bound (TablePlan per table)
**     reader thread:  SKIP, then fldr_read_rows_and_build_task per data file: chunks in
**                     pooled buffers -> tasks of row offsets -> worker queues
**     workers (TASK_THREAD_NUMBER): rows -> values (rowval) -> RowBatch;
**                     rejected rows -> bad-data file + log; buffers and
**                     tasks back to their pools
**     writer threads: RowBatches -> sink, a transaction every ROWS rows; one
**                     writer for an embedded database, one per worker (each
**                     with its own connection) for a database server
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
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "ctlcheck.h"
#include "qxcalc.h"
#include "rowval.h"
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

/* Paths are kept with "\" inside the library; the operating system wants "/". */
std::string os_path(const char *path)
{
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

/* ---------------------------------------------------------------- log file */

class LogFile {
public:
    bool open(const std::string &path)
    {
        path_ = path;
        file_ = std::fopen(path.c_str(), "a");
        return file_ != nullptr;
    }
    ~LogFile()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    /* One line: the library's head, then the text. */
    void line(const std::string &text)
    {
        if (file_ == nullptr)
            return;
        char head[FLDR_LOG_HEAD_MAX];
        fldr_log_set_head_info(nullptr, nullptr, head);
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(file_, "%s%s\n", head, text.c_str());
        std::fflush(file_);
    }
    /* Text as it is (the summary block). */
    void raw(const std::string &text)
    {
        if (file_ == nullptr)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        std::fputs(text.c_str(), file_);
        std::fflush(file_);
    }
    const std::string &path() const { return path_; }

private:
    std::mutex  mutex_;
    std::FILE  *file_ = nullptr;
    std::string path_;
};

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
    std::vector<std::unique_ptr<char[]>> buf_storage;   /* read buffers, not filled up front */
    std::vector<fldr_rowbuf>  bufs;
    std::vector<fldr_task>    tasks;
    std::atomic<int64_t>      loaded{0};          /* committed */
    std::atomic<int64_t>      rej_format{0};
    std::atomic<int64_t>      rej_data{0};
    std::atomic<int64_t>      taken{0};           /* rows routed to this table, converted or not */
    std::string               bad_path;
    std::FILE                *bad = nullptr;
    std::mutex                bad_mutex;
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
    BatchQueue            batches{kQueuedBatches};
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
    LogFile              *log = nullptr;

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
    if (tr.bad != nullptr)
        std::fclose(tr.bad);
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
    rs.log->line("table " + tr.plan.display_name + ", file " + rs.group->file_names[file_no] + ", row " +
                 std::to_string(row_no) + ": " + kWhat[static_cast<int>(kind)] + std::string(reason));
    {
        std::lock_guard<std::mutex> lock(tr.bad_mutex);
        if (tr.bad == nullptr)
            tr.bad = std::fopen(tr.bad_path.c_str(), "wb");
        if (tr.bad == nullptr || std::fwrite(row.data(), 1, row.size(), tr.bad) != row.size() ||
            std::fflush(tr.bad) != 0) {
            rs.fail("cannot write the bad-data file " + tr.bad_path + ": " + std::strerror(errno));
            return false;
        }
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
        if (!sink->commit(on_refused, committed, err)) {
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
                if (!sink->begin(err)) {
                    rs.fail("cannot begin a transaction: " + err);
                    break;
                }
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
    if (open) {
        if (rs.fatal || g_interrupted)
            sink->rollback();
        else
            commit();
    }
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
            rs.fail("cannot open data file " + g.file_names[file->file_no]);
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
    rs.reader_done.store(true, std::memory_order_release);
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
        rs.stop_all();
    }
}

void worker_thread(RunState &rs, uint32_t worker_no)
{
    try {
        worker_main(rs, worker_no);
    } catch (const std::bad_alloc &) {
        fail_out_of_memory(rs, "converting rows");
        worker_main(rs, worker_no);   /* stopped: gives back every task */
    }
}

void writer_thread(RunState &rs, Sink *sink)
{
    try {
        writer_main(rs, sink);
    } catch (const std::bad_alloc &) {
        fail_out_of_memory(rs, "storing rows");
        sink->rollback();   /* the open transaction is not committed */
        while (auto batch = rs.batches.pop())
            give_back_chunk(static_cast<fldr_task *>(batch->chunk));
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

}  // namespace

int run_load(const LoadRequest &req)
{
    const auto started = std::chrono::steady_clock::now();
    fldr_init();
    fldr_env *env = fldr_get_env();
    ParsedControl pc;
    pc.env = env;

    /* 1. The control file, then the command line's OPTIONS over it. */
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
    const uint32_t workers = limits.workers;

    /* Relative names of the control file are relative to its directory. */
    const std::filesystem::path ctl_dir = std::filesystem::absolute(req.control).parent_path();
    std::string db = req.db.empty() ? (ctl_dir / "qxfldr.db").string() : req.db;
    if (db != ":none:" && !is_pg_target(db))
        db = std::filesystem::absolute(db).string();
    if (chdir(ctl_dir.c_str()) != 0) {
        std::fprintf(stderr, "qxfldr: cannot enter %s\n", ctl_dir.c_str());
        return kExitFailed;
    }

    LogFile log;
    const std::string log_path = os_path(args.log_file);
    if (!log.open(log_path)) {
        std::fprintf(stderr, "qxfldr: cannot open log file %s: %s\n", log_path.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    log.line("load of control file " + req.control + " into " + (is_pg_target(db) ? pg_display_name(db) : db));

    std::string err;
    std::unique_ptr<Sink> sink = db == ":none:"      ? make_none_sink()
                                 : is_pg_target(db) ? make_pg_sink(db, err)
                                                    : make_sqlite_sink(db, err);
    if (sink == nullptr) {
        std::fprintf(stderr, "qxfldr: %s\n", err.c_str());
        log.line(err);
        fldr_print_after_load_err(&args, err.c_str());
        return kExitFailed;
    }

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
        tr->plan.display_name = ctl->schema_name[0] ? std::string(ctl->schema_name) + "." + ctl->table_name
                                                    : std::string(ctl->table_name);
        std::snprintf(args.schema_name, sizeof args.schema_name, "%s", ctl->schema_name);
        std::snprintf(args.table_name, sizeof args.table_name, "%s", ctl->table_name);
        if (!sink->describe(ctl->table_name, tr->plan.desc, err))
            return fail_early(err);
        if (!check_column_clauses(ctl, column_writing[ctl_index], tr->plan.desc.cols.size(),
                                  tr->plan.display_name, err))
            return fail_early(err, kExitUsage);
        if (fldr_preprocess_load_sep_info(ctl) != 0)
            return fail_early("table " + tr->plan.display_name + ": separators are not valid (a column's "
                              "terminator equals its enclosure, or a hexadecimal form is wrong)");
        if (!convert_when_hex(ctl->when_cond, pc.heap))
            return fail_early("table " + tr->plan.display_name + ": a WHEN value in the X form is not hexadecimal");
        g.tables.push_back(std::move(tr));
    }
    uint32_t most_tables = 1;
    for (const auto &g : groups)
        most_tables = std::max(most_tables, static_cast<uint32_t>(g->tables.size()));
    BufferPlan buffers;
    if (!plan_load_buffers(limits, most_tables, is_pg_target(db) ? workers : 1, buffers, err))
        return fail_early(err, kExitUsage);
    if (!limits.note.empty()) {
        if (!args.silent)
            std::fprintf(stderr, "qxfldr: %s\n", limits.note.c_str());
        log.line(limits.note);
    }

    /* 4. Data files of every group, all checked before anything is loaded. */
    for (auto &gp : groups) {
        Group &g = *gp;
        fldr_ctl *ctl = g.tables[0]->plan.ctl;
        bool term_given = false;
        for (fldr_data_file *df = ctl->data_file_first; df != nullptr; df = df->next)
            term_given = term_given || df->row_term_given;
        fldr_inst probe{};
        probe.language = FLDR_LANG_EN;
        probe.out_code = 1;
        probe.silent = 1;
        probe.errinfo_gate = 1;
        probe.log_file.handle = -1;
        fldr_init_diag(&probe.diag);
        os_mutex2_create(&probe.msg_lock);
        os_mutex2_create(&probe.log_lock);
        if (ctl->infile_list)
            rc = fldr_resolve_path_file(env, &probe, FLDR_LANG_EN, 1, pc.heap, ctl);
        else if (ctl->infile_directory)
            rc = fldr_collect_datafiles_by_path(env, pc.heap, ctl);
        else
            rc = fldr_deal_file_list(env, pc.heap, ctl);
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
        if (rc != 0 || diags > 0)
            return fail_early("table " + g.tables[0]->plan.display_name + ": data files cannot be resolved" +
                              (diag_text.empty() ? "" : ": " + diag_text));
        for (fldr_data_file *df = ctl->data_file_first; df != nullptr; df = df->next) {
            if (df->row_term_len == 0 && df->row_term_hex[0] != '\0' &&
                !convert_hex(df->row_term_hex, df->row_term, &df->row_term_len, sizeof df->row_term))
                return fail_early(std::string("data file ") + os_path(df->path) + ": row terminator X '" +
                                  df->row_term_hex + "' is not hexadecimal");
            if (df->start_len == 0 && df->start_hex[0] != '\0' &&
                !convert_hex(df->start_hex, df->start_str, &df->start_len, sizeof df->start_str))
                return fail_early(std::string("data file ") + os_path(df->path) + ": start string is not hexadecimal");
            if (!term_given) {
                std::memcpy(df->row_term, "\n", 2);
                df->row_term_len = 1;
            }
            const std::string path = os_path(df->path);
            struct stat st{};
            if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                return fail_early("data file " + path + " not found");
            df->file_no = static_cast<uint32_t>(g.files.size());
            g.files.push_back(df);
            g.file_names.push_back(path);
            g.total_bytes += static_cast<uint64_t>(st.st_size);
        }
        if (g.files.empty())
            return fail_early("table " + g.tables[0]->plan.display_name + ": no data file matches " +
                              (ctl->spec_first ? os_path(ctl->spec_first->path) : std::string("the INFILE clause")));
        g.file_base.assign(g.files.size(), 0);
        g.file_skipped.assign(g.files.size(), 0);
        for (auto &tr : g.tables)
            tr->crlf_tolerant = !term_given;
    }

    /* 5. Bind every table and check its load mode before any row is read. */
    for (auto &gp : groups) {
        for (auto &tr : gp->tables) {
            fldr_ctl *ctl = tr->plan.ctl;
            fldr_inst bind_inst{};
            const PlanFault fault = build_plan(env, pc.heap, tr->plan, &bind_inst, sequences, err);
            if (fault != PlanFault::None)
                return fail_early(err, fault == PlanFault::ControlFile ? kExitUsage : kExitFailed);
            const uint8_t mode = gp->tables[0]->plan.ctl->load_mode;
            if (mode == 'I' || mode == 'N') {
                const int64_t n = sink->row_count(ctl->table_name, err);
                if (n != 0)
                    return fail_early("table " + tr->plan.display_name +
                                      (n < 0 ? ": " + err : std::string(" is not empty (load with APPEND or REPLACE)")));
            }
            if (!sink->prepare(tr->plan.table_no, ctl->table_name, tr->plan.insert_cols, err))
                return fail_early("table " + tr->plan.display_name + ": " + err);
            tr->bad_path = ctl->bad_file.path[0] != '\0' ? os_path(ctl->bad_file.path)
                         : gp->tables[0]->plan.ctl->bad_file.path[0] != '\0'
                               ? os_path(gp->tables[0]->plan.ctl->bad_file.path)
                               : os_path(args.bad_file);
            /* Rejects of an earlier run would mislead; only a regular file is
            ** removed (a bad-data file may be a device or a pipe). */
            struct stat bst{};
            if (::lstat(tr->bad_path.c_str(), &bst) == 0 && S_ISREG(bst.st_mode))
                std::remove(tr->bad_path.c_str());
        }
    }
    for (auto &gp : groups)
        for (auto &tr : gp->tables)
            if (gp->tables[0]->plan.ctl->load_mode == 'R' && !sink->truncate(tr->plan.ctl->table_name, err))
                return fail_early("table " + tr->plan.display_name + ": " + err);

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
                if (!extra->prepare(tr->plan.table_no, tr->plan.ctl->table_name, tr->plan.insert_cols, err))
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
        rs.log = &log;
        const uint64_t group_bufs = buffers.reader_bufs + (g.tables.size() - 1) * uint64_t{buffers.copy_bufs};
        if (!setup_group(g, buffers, args, charset, rs.queues)) {
            stop_reason = "out of memory: " + describe_buffers(group_bufs, buffers.chunk_bytes) +
                          " read buffers cannot be had (lower BUFFER_NODE_SIZE, TASK_THREAD_NUMBER or MEMORY)";
            status = kExitFailed;
            teardown_group(g, rs);
            break;
        }
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
        for (auto &sk : sinks)
            writers.emplace_back(writer_thread, std::ref(rs), sk.get());
        std::vector<std::thread> pool;
        for (uint32_t w = 0; w < workers; w++)
            pool.emplace_back(worker_thread, std::ref(rs), w);
        std::thread reader(reader_thread, std::ref(rs), skip);

        /* Main thread: Ctrl-C and the progress line. */
        bool shown = false;
        int ticks = 0;
        while (!rs.reader_done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (g_interrupted && !rs.stop) {
                rs.stop_all();
                log.line("interrupted; the rows committed so far stay");
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
        } else if (g_interrupted) {
            stop_reason = "interrupted";
            status = kExitInterrupted;
        } else if (rs.reader_inst->err_count > static_cast<int64_t>(args.errors)) {
            stop_reason = "error limit ERRORS=" + std::to_string(args.errors) + " exceeded";
            status = kExitFailed;
        } else if (rs.reader_rc == FLDR_ERR_NO_ROW_TERM) {
            stop_reason = "a row is longer than the read buffer (" + size_text(buffers.chunk_bytes) +
                          "; raise BUFFER_NODE_SIZE) or the row terminator is wrong";
            status = kExitFailed;
        } else if (rs.reader_rc != 0 && rs.reader_rc != FLDR_ERR_REACH_ERROR_MAX) {
            stop_reason = "reading failed: " + lib_message(rs.reader_rc);
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
                summary += "Rejected rows are in " + tr->bad_path + ", their reasons in " + log.path() + ".\n";
        }
        print_both(log, args.silent, summary);
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
    for (auto *seq : sequences)
        delete seq;
    return status;
}

}  // namespace qxfldr

/*
** The reader side of a parallel load: one data file becomes tasks of rows.
**
** Data flow, one chunk at a time:
**
**   data file --read--> chunk buffer --cut at row terminators--> row offsets
**            (pooled fldr_rowbuf,           (fldr_task.row_offs, one per row
**             cap bytes + a zero byte)        the WHEN condition takes)
**
**   - The chunk buffer comes from the instance's row-buffer pool. Once a task
**     holding rows of it is enqueued, the buffer belongs to the task and the
**     worker puts it back; a chunk that yields no task goes back at once.
**   - Rows are never copied for a single table: a task is a list of offsets
**     into the chunk, ending with an end slot that holds the covered length.
**     With several tables, each further table that takes a row gets its own
**     copy of the whole chunk, from its own pool; the offsets fit every copy.
**   - A chunk that is not the file's last stops short of its final partial
**     row (and of any tail below kMinChunkRest bytes; the _sized entry takes
**     the threshold as a parameter, for tests): file_offset moves only by
**     the bytes that became rows, and the rest is read again as the start
**     of the next chunk. A row is therefore never assembled from two buffers,
**     and one longer than a buffer cannot be loaded (-65062).
**
** Only the reader thread runs this code. It reads the stop request and the
** error count of other threads once per chunk, atomically but without a lock.
*/
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "fldr_file_search.h"
#include "fldr_file_split.h"
#include "fldr_internal.h"

namespace {

constexpr uint64_t kReadPiece = 0x40000000;     /* most bytes asked of one read */
constexpr uint32_t kMinChunkRest = 16384;       /* a shorter tail is read again */
constexpr uint64_t kOffsetSlack = 10000;        /* offsets added beyond the estimate */

template <typename T>
T load_relaxed(T &field)
{
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

template <typename T>
void store_relaxed(T &field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

bool stop_requested(fldr_inst *inst)
{
    return load_relaxed(inst->run_state) == -1 ||
           (load_relaxed(inst->run_mode) == 5 && load_relaxed(inst->mode_flag) == 1);
}

int32_t report(fldr_env *env, fldr_inst *inst, int32_t code)
{
    fldr_add_diag_rec(env, &inst->diag, code, nullptr, 0, 0, inst->language, inst->out_code);
    return fldr_print_err(inst, code, nullptr, 0);
}

/* A row longer than a chunk: the line names the file and where the row starts. */
int32_t report_long_row(fldr_env *env, fldr_inst *inst, const fldr_data_file *file, int64_t row_off)
{
    char where[sizeof file->path + 48];
    os_path_to_os(file->path, where, sizeof file->path);
    const size_t len = strlen(where);
    snprintf(where + len, sizeof where - len, " at byte offset %lld", static_cast<long long>(row_off));
    fldr_add_diag_rec(env, &inst->diag, FLDR_ERR_NO_ROW_TERM, nullptr, 0, 0, inst->language, inst->out_code);
    return fldr_print_err_at(inst, FLDR_ERR_NO_ROW_TERM, where, 0);
}

/*
** Makes room for one more offset after the `in_use` stored ones. The new
** capacity estimates how many rows the rest of a `hint`-byte chunk holds from
** the rows stored so far, plus a margin, so that a chunk rarely grows twice.
** Memory comes from the owner instance's allocator; on failure the task keeps
** its old array and capacity and -65001 is reported on `reporter`.
*/
int32_t grow_row_offsets(fldr_env *env, fldr_inst *reporter, fldr_inst *owner, fldr_task *task,
                         uint32_t hint, uint32_t in_use)
{
    if (in_use < task->row_cap)
        return FLDR_OK;
    uint64_t multiplier = 1;
    /* The last stored offset is 0 when only the chunk's first row is stored,
    ** and there is none before the first growth: the estimate needs both. */
    if (hint != 0 && in_use > 0 && task->row_offs[in_use - 1] != 0)
        multiplier = hint / task->row_offs[in_use - 1] + 1;
    uint64_t new_cap = multiplier * in_use + kOffsetSlack;
    if (new_cap > UINT32_MAX - 1)
        new_cap = UINT32_MAX - 1;
    auto *offsets = static_cast<uint32_t *>(fldr_alloc(env, owner->mem_ctx,
                                                       (new_cap + 1) * sizeof(uint32_t),
                                                       FLDR_TAG_FILE, __LINE__));
    if (offsets == nullptr)
        return report(env, reporter, FLDR_ERR_OUT_OF_MEMORY);
    if (in_use > 0)
        std::memcpy(offsets, task->row_offs, in_use * sizeof(uint32_t));
    if (task->row_offs != nullptr)
        fldr_free(env, owner->mem_ctx, task->row_offs);
    task->row_offs = offsets;
    task->row_cap = static_cast<uint32_t>(new_cap);
    return FLDR_OK;
}

/* The shared inputs and outputs of the two task builders. */
struct Chunk {
    fldr_rowbuf    *buf;
    fldr_data_file *file;
    bool            is_last;    /* the chunk reaches the end of the file */
    int32_t         file_no;
    int64_t         file_off;   /* file offset of the chunk's first byte */
    uint32_t        min_rest;   /* a shorter tail of a chunk not the last is read again */
    uint32_t        consumed;   /* out: bytes of the chunk that became rows */
};

/*
** Cuts the rows of one chunk in order, from its first byte. The row ends come
** from a batch search over the rest of the chunk, kEndBatch at a time, so a
** chunk of short rows costs one pass over its bytes rather than one search
** call per row. The ends are the ones a search from each row's first byte
** would give: the caller asks for the rows one after another, each starting
** where the previous one ended.
*/
class RowCutter {
public:
    RowCutter(fldr_inst *inst, const Chunk &chunk) : inst_(inst), chunk_(chunk) {}

    /* Length of the row at offset `off` (where the previous row ended) with
    ** `left` bytes remaining, terminator included; the remaining bytes for
    ** the last chunk's unterminated last row; 0 when the chunk holds no
    ** complete row from here. */
    uint32_t next(uint32_t off, uint32_t left)
    {
        const fldr_data_file *file = chunk_.file;
        if (at_ == count_) {
            if (!exhausted_) {
                count_ = fldr_search_row_ends(inst_, chunk_.buf->data + off, left, file->row_term_len,
                                              file->row_term, ends_, kEndBatch, off);
                at_ = 0;
                exhausted_ = count_ < kEndBatch;
            }
            if (at_ == count_)
                return chunk_.is_last ? left : 0;
        }
        return ends_[at_++] - off + file->row_term_len;
    }

private:
    static constexpr uint32_t kEndBatch = 1024;

    fldr_inst   *inst_;
    const Chunk &chunk_;
    uint32_t     ends_[kEndBatch];   /* terminator offsets in the chunk */
    uint32_t     count_ = 0;         /* ends_[at_, count_) are not used yet */
    uint32_t     at_ = 0;
    bool         exhausted_ = false; /* no terminator after the stored ones */
};

/*
** Every row of the chunk from `off` on is taken (no condition): the search
** writes the offsets of the rows after the one at `off` straight into the
** task's offset array behind it, so a row costs no step of its own. Takes
** up to `room` rows and stops after the first that ends past `done_after`
** (then *done is set); *off moves past the taken rows. Returns how many were
** taken, 0 when the chunk holds no terminated row from `off`.
*/
uint32_t take_rows_in_bulk(fldr_inst *inst, const Chunk &chunk, uint32_t *offs, uint32_t room, uint32_t *off,
                           int64_t done_after, bool *done)
{
    const fldr_data_file *file = chunk.file;
    const uint32_t start = *off;
    /* offs[i + 1] gets the start of the row after row i, i.e. the offset
    ** of row i's terminator plus its length; offs[room] is the array's end slot. */
    const uint32_t found = fldr_search_row_ends(inst, chunk.buf->data + start, chunk.buf->len - start,
                                                file->row_term_len, file->row_term, offs + 1, room,
                                                start + file->row_term_len);
    if (found == 0)
        return 0;
    /* The first row whose successor starts past done_after is the last taken. */
    const uint32_t *past = std::upper_bound(offs + 1, offs + 1 + found, done_after,
                                            [](int64_t limit, uint32_t next) { return limit < next; });
    const uint32_t taken = past == offs + 1 + found ? found : static_cast<uint32_t>(past - (offs + 1)) + 1;
    *done = past != offs + 1 + found;
    offs[0] = start;
    *off = offs[taken];
    return taken;
}

/* Whether the row loop stops after a row: load limit, end of the chunk's
** data, or a tail short enough to be read again with the next chunk. */
bool chunk_done(const fldr_inst *inst, const Chunk &chunk, int64_t rows_read, uint32_t left)
{
    if (rows_read == inst->load_rows)
        return true;
    return chunk.is_last ? left == 0 : left < chunk.min_rest;
}

void fill_task(fldr_task *task, fldr_task_pool *pool, fldr_rowbuf *buf, const Chunk &chunk,
               uint32_t row_cnt, uint32_t data_len, int64_t rows_read)
{
    fldr_data_file *file = chunk.file;
    task->task_no = pool->next_task_no++;
    task->kind = FLDR_TASK_ROWS;
    task->row_term = file->row_term;
    task->row_term_len = file->row_term_len;
    task->start_str = file->start_str;
    task->start_len = file->start_len;
    task->data_len = data_len;
    task->rowbuf = buf;
    task->row_cnt = row_cnt;
    task->row_offs[row_cnt] = data_len;
    task->first_row = rows_read - row_cnt;
    task->file_no = chunk.file_no;
    task->file_off = chunk.file_off;
}

/* Gives a chunk that yields no task back, with the task taken for it. */
void give_back(fldr_inst *inst, fldr_rowbuf *buf, fldr_task *task)
{
    fldr_rowbuf_put(&inst->rowbuf_pool, buf);
    if (task != nullptr) {
        task->rowbuf = nullptr;
        fldr_task_free(&inst->task_pool, task);
    }
}

/*
** One table: the taken rows of the chunk become one task, up to task_rows
** rows. Rows are cut from the chunk's start; the loop stops at the end of
** the usable data, at the load limit or at the task's row limit, and
** chunk.consumed tells how far it got.
*/
int32_t build_single_table_task(fldr_env *env, fldr_inst *inst, Chunk &chunk)
{
    fldr_rowbuf *buf = chunk.buf;
    fldr_task *task = fldr_task_get(&inst->task_pool);
    task->data = buf->data;

    const char *pos = buf->data;
    uint32_t left = buf->len;
    uint32_t taken = 0;
    int64_t rows_read = inst->rows_read;
    int32_t rc = FLDR_OK;

    /* Invariant of the row loop: rows before pos are cut, `taken` of them
    ** are stored in the task, and the offset array has room for `taken`. */
    const fldr_bexp *when = inst->ctl != nullptr ? inst->ctl->when_cond : nullptr;
    /* A row ending past this offset is the chunk's last (see chunk_done). */
    const int64_t done_after = chunk.is_last ? static_cast<int64_t>(buf->len) - 1
                                             : static_cast<int64_t>(buf->len) - chunk.min_rest;
    RowCutter rows(inst, chunk);
    while (inst->task_rows != 0) {
        if (taken >= task->row_cap && (rc = grow_row_offsets(env, inst, inst, task, buf->cap, taken)) < 0)
            break;
        if (when == nullptr) {
            /* Every row is taken: as many as the offset array, the task and
            ** the load limit allow go in bulk. */
            uint64_t room = std::min(task->row_cap, inst->task_rows) - taken;
            if (inst->load_rows > rows_read)
                room = std::min<uint64_t>(room, static_cast<uint64_t>(inst->load_rows - rows_read));
            uint32_t off = static_cast<uint32_t>(pos - buf->data);
            bool done = false;
            const uint32_t n = take_rows_in_bulk(inst, chunk, task->row_offs + taken, static_cast<uint32_t>(room),
                                                 &off, done_after, &done);
            if (n != 0) {
                taken += n;
                rows_read += n;
                pos = buf->data + off;
                left = buf->len - off;
                if (done || rows_read == inst->load_rows || taken >= inst->task_rows)
                    break;
                continue;
            }
        }
        const uint32_t row_len = rows.next(static_cast<uint32_t>(pos - buf->data), left);
        if (row_len == 0) {
            /* No terminator before the chunk's end. When no row at all was cut
            ** from it, the row is longer than the buffer and can never load. */
            if (left == buf->len)
                rc = report_long_row(env, inst, chunk.file, chunk.file_off);
            break;
        }
        if (when == nullptr || fldr_calc_bexp(inst, inst->ctl, pos, row_len, inst->charset, chunk.file) == 1)
            task->row_offs[taken++] = static_cast<uint32_t>(pos - buf->data);
        rows_read++;
        left -= row_len;
        pos += row_len;
        if (chunk_done(inst, chunk, rows_read, left) || taken >= inst->task_rows)
            break;
    }
    store_relaxed(inst->rows_read, rows_read);
    /* The chunk's rest starts where the last cut row ends. */
    QX_DEBUG_ASSERT(left <= buf->len && pos == buf->data + (buf->len - left));
    chunk.consumed = buf->len - left;

    if (rc < 0 || taken == 0) {
        give_back(inst, buf, task);
        return rc;
    }
    fill_task(task, &inst->task_pool, buf, chunk, taken, chunk.consumed, rows_read);
    fldr_task_enqueue(&inst->task_pool, task);
    return FLDR_OK;
}

/* Gives back what the tables hold for the chunk: its copies, its tasks, and
** the chunk itself (kept in rowbufs[0]), each to its table's pools. With
** `keep_filled` the tables that took rows keep theirs. */
void release_table_holdings(fldr_table_set *set, uint32_t table_cnt, bool keep_filled)
{
    for (uint32_t t = 0; t < table_cnt; t++) {
        if (keep_filled && set->row_cnts[t] > 0)
            continue;
        fldr_inst *table = set->insts[t];
        if (set->rowbufs[t] != nullptr)
            fldr_rowbuf_put(&table->rowbuf_pool, set->rowbufs[t]);
        if (set->tasks[t] != nullptr) {
            set->tasks[t]->rowbuf = nullptr;
            fldr_task_free(&table->task_pool, set->tasks[t]);
        }
        set->rowbufs[t] = nullptr;
        set->tasks[t] = nullptr;
        set->row_cnts[t] = 0;
    }
}

/* Takes a task for table t on its first row of the chunk; tables after the
** first also get their own copy of the chunk from their own pool. */
int32_t start_table_task(fldr_table_set *set, uint32_t t, const fldr_rowbuf *chunk_buf)
{
    fldr_inst *table = set->insts[t];
    fldr_task *task = fldr_task_get(&table->task_pool);
    if (task == nullptr)
        return FLDR_ERR_NO_TOKEN_BUFFER;
    set->tasks[t] = task;
    if (t == 0) {
        task->data = chunk_buf->data;
        return FLDR_OK;
    }
    fldr_rowbuf *copy = fldr_rowbuf_get(&table->rowbuf_pool);
    set->rowbufs[t] = copy;
    if (copy->cap < chunk_buf->len)
        return FLDR_ERR_BUFFER;   /* the tool gave this table smaller buffers */
    std::memcpy(copy->data, chunk_buf->data, chunk_buf->len);
    copy->len = chunk_buf->len;
    copy->data[copy->len] = '\0';
    task->data = copy->data;
    return FLDR_OK;
}

/*
** Several tables from one file: every row is tested against every table's
** condition and each table that takes rows of the chunk gets one task in its
** own instance. There is no per-task row limit; the loop runs to the end of
** the usable data or the load limit.
*/
int32_t build_multi_table_tasks(fldr_env *env, fldr_inst *inst, Chunk &chunk)
{
    fldr_table_set *set = inst->tables;
    const uint32_t table_cnt = inst->table_cnt;
    fldr_rowbuf *buf = chunk.buf;
    for (uint32_t t = 0; t < table_cnt; t++) {
        set->rowbufs[t] = nullptr;
        set->row_cnts[t] = 0;
        set->tasks[t] = nullptr;
    }
    set->rowbufs[0] = buf;

    const char *pos = buf->data;
    uint32_t left = buf->len;
    int64_t rows_read = inst->rows_read;
    int32_t rc = FLDR_OK;

    RowCutter rows(inst, chunk);
    while (inst->task_rows != 0 && rc == FLDR_OK) {
        const uint32_t row_len = rows.next(static_cast<uint32_t>(pos - buf->data), left);
        if (row_len == 0) {
            if (left == buf->len)
                rc = report_long_row(env, inst, chunk.file, chunk.file_off);
            break;
        }
        const uint32_t row_off = static_cast<uint32_t>(pos - buf->data);
        for (uint32_t t = 0; t < table_cnt && rc == FLDR_OK; t++) {
            fldr_inst *table = set->insts[t];
            if (fldr_calc_bexp(table, set->ctls[t], pos, row_len, inst->charset, chunk.file) != 1)
                continue;
            if (set->tasks[t] == nullptr && (rc = start_table_task(set, t, buf)) < 0)
                break;
            rc = grow_row_offsets(env, inst, table, set->tasks[t], 0, set->row_cnts[t]);
            if (rc == FLDR_OK)
                set->tasks[t]->row_offs[set->row_cnts[t]++] = row_off;
        }
        if (rc < 0)
            break;
        rows_read++;
        left -= row_len;
        pos += row_len;
        if (chunk_done(inst, chunk, rows_read, left))
            break;
    }
    store_relaxed(inst->rows_read, rows_read);
    QX_DEBUG_ASSERT(left <= buf->len && pos == buf->data + (buf->len - left));
    chunk.consumed = buf->len - left;

    if (rc < 0) {
        release_table_holdings(set, table_cnt, false);
        return rc;
    }
    for (uint32_t t = 0; t < table_cnt; t++) {
        const uint32_t row_cnt = set->row_cnts[t];
        if (row_cnt == 0)
            continue;
        fldr_inst *table = set->insts[t];
        fldr_task *task = set->tasks[t];
        fill_task(task, &table->task_pool, set->rowbufs[t], chunk, row_cnt, chunk.consumed,
                  rows_read);
        fldr_task_enqueue(&table->task_pool, task);
    }
    release_table_holdings(set, table_cnt, true);
    return FLDR_OK;
}

/* Reads n bytes at offset into buf, in pieces the file layer accepts. */
bool read_chunk(int64_t handle, uint64_t offset, char *buf, uint64_t n)
{
    while (n > 0) {
        const uint32_t piece = static_cast<uint32_t>(n > kReadPiece ? kReadPiece : n);
        if (os_file_read_by_offset_normal(handle, offset, buf, piece) == 0)
            return false;
        offset += piece;
        buf += piece;
        n -= piece;
    }
    return true;
}

}  // namespace

/*
** The reader thread's body for one open data file, from its file_offset to its
** end. Returns 0 at the end of the file or of the load limit, -65044 on a stop
** request or when the error count passed the limit, -65021 when a read fails,
** or a builder's error. Every buffer and task not handed to a worker is back
** in its pool on return, and file_offset tells how far rows were handed out.
*/
extern "C" QX_EXPORT int32_t fldr_read_rows_and_build_task(fldr_env *env, fldr_inst *inst,
                                                           fldr_data_file *file)
{
    return fldr_read_rows_and_build_task_sized(env, inst, file, kMinChunkRest);
}

int32_t fldr_read_rows_and_build_task_sized(fldr_env *env, fldr_inst *inst, fldr_data_file *file,
                                            uint32_t min_rest)
{
    /* Without a row limit or a terminator no row could ever be cut and the
    ** loop would read the same chunk forever. */
    if (inst->task_rows == 0)
        return FLDR_ERR_PARAMETER;
    if (file->row_term_len == 0)
        return FLDR_ERR_ROW_TERM;

    bool is_last = false;
    for (;;) {
        fldr_rowbuf *buf = fldr_rowbuf_get(&inst->rowbuf_pool);
        if (stop_requested(inst)) {
            fldr_rowbuf_put(&inst->rowbuf_pool, buf);
            return FLDR_ERR_REACH_ERROR_MAX;
        }
        if (file->file_offset >= file->file_size) {
            fldr_rowbuf_put(&inst->rowbuf_pool, buf);
            return FLDR_OK;
        }
        uint64_t n = file->file_size - file->file_offset;
        if (n > buf->cap)
            n = buf->cap;
        else
            is_last = true;
        if (!read_chunk(file->handle, file->file_offset, buf->data, n)) {
            fldr_rowbuf_put(&inst->rowbuf_pool, buf);
            return FLDR_ERR_READ_FILE;
        }
        buf->len = static_cast<uint32_t>(n);
        buf->data[n] = '\0';

        Chunk chunk{buf, file, is_last, static_cast<int32_t>(file->file_no),
                    static_cast<int64_t>(file->file_offset), min_rest, 0};
        const int32_t rc = inst->multi_table != 0 ? build_multi_table_tasks(env, inst, chunk)
                                                  : build_single_table_task(env, inst, chunk);
        /* The buffer may already be with a worker: only chunk's copy is used. */
        file->file_offset += chunk.consumed;
        if (rc < 0)
            return rc;
        if (inst->rows_read == inst->load_rows)
            return FLDR_OK;
        if (fldr_gbl_err_reache_max(inst) != 0)
            return FLDR_ERR_REACH_ERROR_MAX;
    }
}

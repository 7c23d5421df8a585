/*
** The reader and the pipeline around it: data files become tasks of row
** offsets, with real worker threads on the other side of the blocking lists
** (buffer pool, task pool, worker queues). Chunks from a few dozen bytes to
** more than 1 GiB: rows and terminators straddle chunk ends everywhere.
*/
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <tuple>

#include "support/pipe_rig.h"
#include "qxdta.h"

using namespace qxtest;

namespace {

/* Each test has its own directory. */
class Reader : public ::testing::Test {
protected:
    TempDir dir;
};

/* Two files (the same bytes twice) in chunks of 64 KiB, 20 KiB and 4 KiB:
** rows and terminators straddle chunk ends everywhere, below 16 KiB every
** chunk gives one row, and with 64 KiB chunks a task holds at most 7 rows.
** A load limit of 0 (20 KiB chunks) ends nothing: the limit is compared
** after a row is counted. */
TEST_F(Reader, EveryRowOfMultiChunkFilesArrivesOnceInItsPlace)
{
    for (const std::string term : {"\n", "\r\n", "<EOR>"}) {
        for (uint32_t cap : {65536u, 20000u, 4096u}) {
            SCOPED_TRACE("term " + term + " cap " + std::to_string(cap));
            std::vector<std::string> rows = make_rows(cap == 4096 ? 300 : 3000, term, cap);
            rows.back().resize(rows.back().size() - term.size());   /* last row unterminated */
            const std::string path = dir.write("rows.dat", joined(rows));
            const size_t per_file = rows.size();
            const std::vector<std::string> one_file = rows;
            rows.insert(rows.end(), one_file.begin(), one_file.end());

            PipeRig rig(3, cap, 3, 2);
            const uint32_t task_rows = cap == 65536 ? 7 : UINT32_MAX;
            rig.inst().task_rows = task_rows;
            rig.inst().load_rows = cap == 20000 ? 0 : INT64_MAX;
            DataFile file(path, term.c_str(), 5);
            DataFile again(path, term.c_str(), 6);
            Collected got;
            ASSERT_EQ(run_load(rig, {&file.rec, &again.rec}, got), 0);
            expect_first_rows(got, rows, rows.size());
            EXPECT_EQ(rig.inst().rows_read, static_cast<int64_t>(rows.size()));
            EXPECT_EQ(again.rec.file_offset, again.rec.file_size);
            EXPECT_TRUE(rig.all_home());

            /* Task numbers count up from 0 without gaps; each task describes
            ** its own piece of its own file. */
            std::sort(got.tasks.begin(), got.tasks.end(),
                      [](const fldr_task &x, const fldr_task &y) { return x.task_no < y.task_no; });
            for (size_t i = 0; i < got.tasks.size(); i++) {
                const fldr_task &task = got.tasks[i];
                EXPECT_EQ(task.task_no, static_cast<int64_t>(i));
                EXPECT_EQ(task.file_no, task.first_row < static_cast<int64_t>(per_file) ? 5 : 6);
                EXPECT_EQ(task.kind, static_cast<uint32_t>(FLDR_TASK_ROWS));
                EXPECT_LE(task.file_off + task.data_len, static_cast<int64_t>(file.rec.file_size));
                EXPECT_LE(task.data_len, cap);
                EXPECT_LE(task.row_cnt, task_rows);
            }
        }
    }
}

/*
** Tiny chunks with a tail threshold below them (the exported reader keeps
** 16 KiB, so with small chunks it cuts one row per chunk): several whole
** rows per chunk, then a row cut by the chunk's end that must be read again
** whole with the next chunk.
*/
TEST_F(Reader, TinyChunksCutSeveralRowsAndReadTheCutRowAgain)
{
    for (const std::string term : {"\n", "\r\n", "<EOR>"}) {
        std::mt19937 gen(static_cast<uint32_t>(term.size()));
        std::vector<std::string> rows;
        for (int i = 0; i < 400; i++)
            rows.push_back(std::to_string(i) + std::string(gen() % 6, 'x') + term);
        rows.back().resize(rows.back().size() - term.size());   /* last row unterminated */
        const std::string path = dir.write("tiny.dat", joined(rows));
        for (uint32_t cap = 16; cap <= 64; cap += 8) {
            for (uint32_t min_rest : {0u, 3u}) {
                SCOPED_TRACE("term " + term + " cap " + std::to_string(cap) + " rest " + std::to_string(min_rest));
                PipeRig rig(2, cap, 2, 1);
                DataFile file(path, term.c_str());
                Collected got;
                ASSERT_EQ(run_load(rig, {&file.rec}, got, [](fldr_task &) {}, min_rest), 0);
                expect_first_rows(got, rows, rows.size());
                /* Several rows per chunk, not one. */
                EXPECT_TRUE(std::any_of(got.tasks.begin(), got.tasks.end(),
                                        [](const fldr_task &task) { return task.row_cnt > 1; }));
                EXPECT_EQ(file.rec.file_offset, file.rec.file_size);
                EXPECT_TRUE(rig.all_home());
            }
        }
    }
}

TEST_F(Reader, CsvRowsWithQuotedLineBreaksArriveWholeAtAnyChunkSize)
{
    /* Quoted fields holding line breaks, CR LF, doubled quotes and commas,
    ** quotes inside unquoted text, and last a row of quoted line breaks
    ** only. With chunks of 48 bytes every row straddles a chunk end. */
    std::vector<std::string> rows;
    static const char *middles[] = {"\"a\nb\",c", "\"say \"\"hi\"\"\n\",12\" pizza", "plain,\"\n\n\n\"",
                                    "x\"y,\"\r\n\"", "zzzzzzzzzzzzzzzzzzzzz", "\"\",\"\"\"\n\""};
    for (int i = 0; i < 600; i++)
        rows.push_back(std::to_string(i) + "," + middles[i % 6] + (i % 4 == 0 ? "\r\n" : "\n"));
    rows.push_back("\"" + std::string(30, '\n') + "\"\n");
    const std::string path = dir.write("rows.csv", joined(rows));
    fldr_seperator_info sep{};
    sep.term[0] = ',';
    sep.term_len = 1;
    sep.enclose[0] = '"';
    sep.enclose_len = 1;
    for (uint32_t cap : {48u, 100u, 4096u}) {
        SCOPED_TRACE("cap " + std::to_string(cap));
        PipeRig rig(3, cap, 3, 2);
        rig.ctl().sep_info = &sep;
        rig.inst().scan_mode = FLDR_SCAN_CSV;
        DataFile file(path, "\n");
        Collected got;
        ASSERT_EQ(run_load(rig, {&file.rec}, got), 0);
        expect_first_rows(got, rows, rows.size());
        EXPECT_TRUE(rig.all_home());
    }
}

/* A file without any terminator larger than a buffer can never be cut; a
** row longer than the buffer stops the reading after the rows before it. */
TEST_F(Reader, RowsLongerThanTheBufferStopAfterTheRowsBeforeThem)
{
    PipeRig rig(2, 4096, 2, 2);
    Collected got;
    DataFile big(dir.write("big.dat", std::string(10000, 'x')));
    EXPECT_EQ(run_load(rig, {&big.rec}, got), FLDR_ERR_NO_ROW_TERM);
    EXPECT_EQ(big.rec.file_offset, 0u);
    EXPECT_EQ(std::string(rig.inst().last_msg),
              "No row terminate found: " + dir.file("big.dat") + " at byte offset 0");

    std::vector<std::string> rows = {"1|a\n", "2|b\n", "3|" + std::string(9000, 'c') + "\n", "4|d\n"};
    PipeRig two(2, 4096, 2, 2);
    DataFile file(dir.write("long.dat", joined(rows)));
    Collected got_two;
    EXPECT_EQ(run_load(two, {&file.rec}, got_two), FLDR_ERR_NO_ROW_TERM);
    expect_first_rows(got_two, rows, 2);
    EXPECT_EQ(file.rec.file_offset, 8u);   /* handed out up to the long row */
    ASSERT_GE(two.inst().diag.count, 1u);
    EXPECT_EQ(fldr_get_nth_diag_rec(&two.inst().diag.first, 1)->code, FLDR_ERR_NO_ROW_TERM);
    EXPECT_TRUE(rig.all_home() && two.all_home());
}

/* A WHEN condition, (1:1) = the letter in `text`: a comparison of the
** row's bytes 1 to 1 with a string of one byte. */
struct FirstByteIs {
    char            text[2];
    fldr_bexp_field field{1, nullptr, 1, 1};
    fldr_bexp_value value{2, 1, text};
    fldr_bexp       node{0, &field, 0, &value, 0, nullptr, nullptr, nullptr, nullptr};
};

/* The texts of the rows a load handed out, in file order. */
std::vector<std::string> texts_in_file_order(Collected &got)
{
    std::sort(got.rows.begin(), got.rows.end(),
              [](const SeenRow &x, const SeenRow &y) { return x.file_pos < y.file_pos; });
    std::vector<std::string> texts;
    for (const SeenRow &row : got.rows)
        texts.push_back(row.text);
    return texts;
}

/* Two tables from one file, each taking the rows that start with its letter
** (first a run of rows no table takes, then a mix of both and neither): the
** reading table and the other one get their rows from their own pools, in
** tasks their own pools number. The other table's pools can hold every chunk,
** so its queue is emptied once the reading ends. */
TEST_F(Reader, SeveralTablesEachGetTheirRowsFromTheirOwnPools)
{
    std::vector<std::string> rows, taken_a, taken_b;
    for (int i = 0; i < 3000; i++) {
        const char key = i < 800 ? 'c' : "abcab"[i % 5];
        rows.push_back(std::string(1, key) + "|" + std::to_string(i) + std::string(i % 50, '-') + "\n");
        if (key != 'c')
            (key == 'a' ? taken_a : taken_b).push_back(rows.back());
    }
    DataFile file(dir.write("multi.dat", joined(rows)));
    PipeRig first(2, 20000, 2, 1);
    PipeRig second(32, 20000, 32, 1);
    FirstByteIs cond_a{"a"};
    FirstByteIs cond_b{"b"};
    first.ctl().when_cond = &cond_a.node;
    second.ctl().when_cond = &cond_b.node;
    fldr_ctl *ctls[2] = {&first.ctl(), &second.ctl()};
    fldr_inst *insts[2] = {&first.inst(), &second.inst()};
    uint32_t row_cnts[2] = {};
    fldr_rowbuf *rowbufs[2] = {};
    fldr_task *tasks[2] = {};
    fldr_table_set set{nullptr, ctls, insts, row_cnts, rowbufs, tasks};
    first.inst().multi_table = 1;
    first.inst().table_cnt = 2;
    first.inst().tables = &set;

    Collected got_a, got_b;
    ASSERT_EQ(run_load(first, {&file.rec}, got_a), 0);
    while (fldr_task *task = fldr_task_take(&second.queue(0), 0)) {
        record_task(got_b, *task, &second.inst());
        second.finish(task);
    }
    EXPECT_EQ(first.inst().rows_read, 3000);
    EXPECT_EQ(second.inst().rows_read, 0);
    EXPECT_EQ(texts_in_file_order(got_a), taken_a);
    EXPECT_EQ(texts_in_file_order(got_b), taken_b);
    EXPECT_EQ(first.inst().task_pool.next_task_no, static_cast<int64_t>(got_a.tasks.size()));
    EXPECT_EQ(second.inst().task_pool.next_task_no, static_cast<int64_t>(got_b.tasks.size()));
    EXPECT_EQ(file.rec.file_offset, file.rec.file_size);
    EXPECT_TRUE(first.all_home() && second.all_home());
}

/* A failed read, a refused offset array and settings under which no row
** could ever be cut each end the reading with their code, and every buffer
** and task is back in its pool. */
TEST_F(Reader, FailuresAndRefusedSettingsGiveEverythingBack)
{
    const std::string path = dir.write("shrinks.dat", joined(make_rows(2000, "\n", 13)));
    PipeRig rig(2, 65536, 2, 1);
    DataFile file(path);
    ASSERT_EQ(truncate(path.c_str(), 1000), 0);   /* the file shrinks after it was opened */
    Collected got;
    EXPECT_EQ(run_load(rig, {&file.rec}, got), FLDR_ERR_READ_FILE);
    EXPECT_EQ(file.rec.file_offset, 0u);
    DataFile closed(path);
    os_file_close_normal(closed.rec.handle);
    closed.rec.handle = OS_INVALID_HANDLE;
    closed.rec.file_size = 100;
    EXPECT_EQ(run_load(rig, {&closed.rec}, got), FLDR_ERR_READ_FILE);
    EXPECT_TRUE(got.rows.empty());
    EXPECT_TRUE(rig.all_home());

    CountingHeap heap;
    heap.fail_after = 1;   /* the first growth of the offsets succeeds, the second fails */
    PipeRig big(1, 1 << 20, 1, 1);
    big.inst().mem_ctx = &heap.ctx;
    DataFile many(dir.write("many.dat", joined(std::vector<std::string>(30000, "abcd\n"))));
    EXPECT_EQ(run_load(big, {&many.rec}, got), FLDR_ERR_OUT_OF_MEMORY);
    EXPECT_TRUE(got.rows.empty());
    ASSERT_GE(big.inst().diag.count, 1u);
    EXPECT_EQ(fldr_get_nth_diag_rec(&big.inst().diag.first, 1)->code, FLDR_ERR_OUT_OF_MEMORY);
    EXPECT_TRUE(big.all_home());

    rig.inst().task_rows = 0;
    EXPECT_EQ(fldr_read_rows_and_build_task(fldr_get_env(), &rig.inst(), &many.rec), FLDR_ERR_PARAMETER);
    rig.inst().task_rows = 10;
    many.rec.row_term_len = 0;
    EXPECT_EQ(fldr_read_rows_and_build_task(fldr_get_env(), &rig.inst(), &many.rec), FLDR_ERR_ROW_TERM);
    EXPECT_TRUE(rig.all_home());
}

/* A sparse file of more than 1 GiB in one chunk, read in pieces: a first
** row, a row of NULs across the 1 GiB mark, and a last row that lies wholly
** beyond it arrive as one task of three rows, every byte in its place. */
TEST_F(Reader, ChunkOfMoreThanOneGibKeepsEveryByte)
{
    constexpr uint64_t kGiB = 1ull << 30;
    const std::string path = dir.file("big.dat"), first = "first\n", last = "last row\n";
    const uint64_t size = kGiB + 100;
    write_file(path, first);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size - last.size() - 1)), 0);
    std::ofstream(path, std::ios::app) << "\n" << last;

    PipeRig rig(1, static_cast<uint32_t>(size + 4096), 2, 1);
    DataFile file(path);
    int32_t rc = -1;
    std::thread reader([&] { rc = fldr_read_rows_and_build_task(fldr_get_env(), &rig.inst(), &file.rec); });
    fldr_task *task = fldr_task_take(&rig.queue(0), 120000);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->data_len, size);
    EXPECT_EQ(task->row_cnt, 3u);
    if (task->row_cnt == 3) {   /* no early return: the reader thread is still to be joined */
        EXPECT_EQ(std::string(task->data, first.size()), first);
        EXPECT_EQ(std::string(task->data + task->row_offs[2], last.size()), last);
        EXPECT_EQ(task->data[kGiB], '\0');
    }
    rig.finish(task);
    reader.join();
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(rig.all_home());
}

/* ------------------------------------------------ random stops through tiny pools */

TEST(PipelineStress, RandomStopsNeverLoseOrDoubleRowsBuffersOrTasks)
{
    TempDir dir;
    std::mt19937 gen(20261205);
    const std::vector<std::string> rows = make_rows(150, "\r\n", 20261205);
    const std::string path = dir.write("stress.dat", joined(rows));
    int outcomes[2] = {0, 0};   /* stopped, finished */
    for (int round = 0; round < 200; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        PipeRig rig(2, 4096, 2, 2);
        fldr_inst &inst = rig.inst();
        inst.task_rows = 1 + gen() % 4;
        const int stop_after = static_cast<int>(gen() % 200);     /* beyond 150: no stop */
        /* The reading ends by the error limit, a stop request or a mode change. */
        const int ending = static_cast<int>(gen() % 3);
        const int pause_us = static_cast<int>(gen() % 200);
        if (ending == 0)
            inst.errors = static_cast<uint32_t>(stop_after);
        std::atomic<int> tasks_seen{0};
        DataFile file(path, "\r\n");
        Collected got;
        int32_t rc = run_load(rig, {&file.rec}, got, [&](fldr_task &task) {
            if (pause_us > 100)
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
            if (ending == 0)
                std::atomic_ref<int64_t>(inst.err_count).fetch_add(task.row_cnt);
            else if (tasks_seen.fetch_add(1) != stop_after)
                return;
            else if (ending == 1)
                std::atomic_ref<int32_t>(inst.run_state).store(-1);
            else {
                std::atomic_ref<uint32_t>(inst.mode_flag).store(1);
                std::atomic_ref<int32_t>(inst.run_mode).store(5);
            }
        });
        ASSERT_TRUE(rc == 0 || rc == FLDR_ERR_REACH_ERROR_MAX) << rc;
        outcomes[rc == 0]++;
        ASSERT_NO_FATAL_FAILURE(expect_first_rows(got, rows, rc == 0 ? rows.size() : got.rows.size()));
        EXPECT_EQ(inst.rows_read, static_cast<int64_t>(got.rows.size()));
        ASSERT_TRUE(rig.all_home());
    }
    /* Both outcomes were exercised. */
    EXPECT_GT(outcomes[0], 10);
    EXPECT_GT(outcomes[1], 10);
}

/* ------------------------------------------------ the blocking lists */

/* The pool is a doubly linked FIFO list whose count and semaphore agree. */
TEST(RowbufPool, TakesInOrderAndKeepsLinksConsistent)
{
    PipeRig rig(3, 16, 1, 1);
    fldr_rowbuf_pool &pool = rig.inst().rowbuf_pool;
    fldr_rowbuf *a = fldr_rowbuf_get(&pool);
    fldr_rowbuf *b = fldr_rowbuf_get(&pool);
    fldr_rowbuf *c = fldr_rowbuf_get(&pool);
    EXPECT_TRUE(a != b && b != c && a->prev == nullptr && a->next == nullptr);
    EXPECT_TRUE(pool.first == nullptr && pool.last == nullptr && pool.count == 0);
    EXPECT_EQ(sem_units(&pool.sem), 0u);
    fldr_rowbuf_put(&pool, b);
    EXPECT_TRUE(pool.first == b && pool.last == b);   /* into the empty pool: both ends */
    fldr_rowbuf_put(&pool, c);
    fldr_rowbuf_put(&pool, a);
    fldr_rowbuf_put(&pool, nullptr);                  /* changes nothing, posts nothing */
    EXPECT_TRUE(pool.last == a && a->prev == c && c->prev == b && b->next == c && a->next == nullptr);
    EXPECT_EQ(fldr_rowbuf_get(&pool), b);
    EXPECT_TRUE(pool.first == c && c->prev == nullptr);
    fldr_rowbuf_put(&pool, b);
    EXPECT_TRUE(rig.all_home());
}

/* Freeing a task releases its work memory through its allocator record (a
** record without a free function releases nothing, but the task still lets
** go of the block), leaves the buffer to the caller and the offset array for
** reuse, never touches a batch of a rows task (and a batch task without a
** batch calls nothing), and marks the task free. */
TEST(TaskPool, FreeReleasesHoldingsAndMarksTheTaskFree)
{
    PipeRig rig(1, 16, 2, 1);
    fldr_task_pool &pool = rig.inst().task_pool;
    CountingHeap heap;
    mem_ctx_t no_free{CountingHeap::alloc, nullptr, &heap};
    fldr_rowbuf *buf = fldr_rowbuf_get(&rig.inst().rowbuf_pool);
    uint32_t offsets[4] = {0, 1, 2, 3};
    int bogus_batch = 0;
    void *block = std::malloc(8);
    for (mem_ctx_t *ctx : {&heap.ctx, &no_free}) {
        fldr_task *task = fldr_task_get(&pool);
        EXPECT_EQ(pool.count, 1);
        EXPECT_TRUE(task->prev == nullptr && task->next == nullptr);
        const bool rows = ctx == &heap.ctx;   /* the second task: a batch task without a batch */
        task->kind = rows ? FLDR_TASK_ROWS : FLDR_TASK_BDTA;
        task->bdta = rows ? &bogus_batch : nullptr;
        task->mem_ctx = ctx;
        task->work_mem = rows ? std::malloc(32) : block;
        task->rowbuf = buf;
        task->row_offs = offsets;
        task->row_cap = 3;
        task->file_no = 7;
        task->file_off = 4096;
        task->first_row = 100;
        fldr_task_free(&pool, task);
        EXPECT_EQ(heap.frees, 1);
        EXPECT_EQ(task->work_mem, nullptr);
        EXPECT_EQ(task->bdta, rows ? &bogus_batch : nullptr);
        EXPECT_TRUE(task->rowbuf == buf && task->row_offs == offsets && task->row_cap == 3u);
        EXPECT_TRUE(task->file_no == -1 && task->file_off == -1 && task->first_row == -1);
        EXPECT_EQ(pool.count, 2);
        EXPECT_EQ(pool.last, task);
        task->row_offs = nullptr;   /* the array and the allocators are this test's, not the pool's */
        task->mem_ctx = nullptr;
    }
    std::free(block);
    fldr_rowbuf_put(&rig.inst().rowbuf_pool, buf);
    EXPECT_TRUE(rig.all_home());
}

TEST(TaskQueue, EnqueueGoesToTheTasksWorker)
{
    PipeRig rig(1, 16, 4, 2);
    fldr_task_pool &pool = rig.inst().task_pool;
    fldr_task *tasks[4];
    for (auto &task : tasks)
        task = fldr_task_get(&pool);
    EXPECT_EQ(pool.count, 0);
    for (auto *task : tasks)
        fldr_task_enqueue(&pool, task);
    /* Tasks go round the workers; each queue is FIFO. */
    for (uint32_t w = 0; w < 2; w++) {
        EXPECT_EQ(rig.queue(w).count, 2);
        for (fldr_task *want : {tasks[w], tasks[w + 2]}) {
            fldr_task *task = fldr_task_take(&rig.queue(w), 1000);
            ASSERT_EQ(task, want);
            EXPECT_EQ(task->worker_no, w);
            fldr_task_free(&pool, task);
        }
        EXPECT_EQ(fldr_task_take(&rig.queue(w), 0), nullptr);
    }
    EXPECT_TRUE(rig.all_home());
}

TEST(ErrorLimit, ReachedOnlyAboveTheLimit)
{
    PipeRig rig(1, 16, 1, 1);
    fldr_inst &inst = rig.inst();
    /* The limit is unsigned and widened: the largest one is no -1. */
    for (const auto &[errors, count, reached] : std::initializer_list<std::tuple<uint32_t, int64_t, int32_t>>{
             {100, 100, 0}, {100, 101, 1}, {0, 0, 0}, {0, -5, 0},
             {UINT32_MAX, UINT32_MAX, 0}, {UINT32_MAX, int64_t{UINT32_MAX} + 1, 1}}) {
        inst.errors = errors;
        inst.err_count = count;
        EXPECT_EQ(fldr_gbl_err_reache_max(&inst), reached) << errors << " " << count;
    }
}

/* A batch gets every column with room for the rows asked, or nothing: with
** an unknown third type the batch and its first two columns are released
** (the sanitizer build reports a leak otherwise). Freeing a batch task
** empties its batch and keeps it. */
TEST(Batch, CreatesEveryColumnOrNothingAndATaskFreeEmptiesIt)
{
    PipeRig rig(1, 16, 1, 1);
    fldr_env *env = fldr_get_env();
    const uint16_t types[3] = {QXDT_INT, QXDT_VARCHAR, QXDT_DOUBLE};
    auto *batch = static_cast<bdta3 *>(fldr_bdta_create(env, nullptr, 100, 3, types));
    ASSERT_NE(batch, nullptr);
    ASSERT_EQ(batch->col_count, 3);
    for (int i = 0; i < 3; i++) {
        ASSERT_NE(batch->cols[i].data, nullptr);
        EXPECT_EQ(batch->cols[i].type, types[i]);
        EXPECT_GE(batch->cols[i].data->cap, 100u);
    }
    ASSERT_EQ(bdta3_col_assign_str(env, env, &batch->cols[1], 3, "abc", 3, 0), 0);
    batch->row_count = 4;
    ASSERT_EQ(batch->cols[1].row_count, 4u);
    fldr_task *task = fldr_task_get(&rig.inst().task_pool);
    task->kind = FLDR_TASK_BDTA;
    task->bdta = batch;
    fldr_task_free(&rig.inst().task_pool, task);
    EXPECT_EQ(task->bdta, batch);
    EXPECT_EQ(batch->cols[1].row_count, 0u);
    EXPECT_EQ(batch->row_count, 0u);
    EXPECT_TRUE(rig.all_home());
    bdta3_free2(env, nullptr, batch);

    auto *empty = static_cast<bdta3 *>(fldr_bdta_create(env, nullptr, 100, 0, nullptr));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->col_count, 0);
    bdta3_free2(env, nullptr, empty);
    const uint16_t bad[3] = {QXDT_INT, QXDT_VARCHAR, 999};
    EXPECT_EQ(fldr_bdta_create(env, nullptr, 100, 3, bad), nullptr);
}

}  // namespace

/*
** The reader and the pipeline around it: data files become tasks of row
** offsets, with real worker threads on the other side of the blocking lists
** (buffer pool, task pool, worker queues). Chunks from a few dozen bytes to
** more than 1 GiB: rows and terminators straddle chunk ends everywhere.
*/
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "support/load_rig.h"
#include "qxdta.h"
#include "qxos_seam.h"

using namespace qxtest;
using namespace std::chrono_literals;

namespace {

/* Each test has its own directory, and a watchdog that ends a hung one. */
class Reader : public ::testing::Test {
protected:
    Watchdog dog{120s, "reader test"};
    TempDir  dir;
};

/* The rows a WHEN condition took: those of `rows` starting with `key`, in
** file order. */
void expect_taken_rows(Collected &got, const std::vector<std::string> &rows, char key)
{
    std::vector<std::string> taken;
    for (const auto &row : rows)
        if (row[0] == key)
            taken.push_back(row);
    std::sort(got.rows.begin(), got.rows.end(),
              [](const SeenRow &x, const SeenRow &y) { return x.file_pos < y.file_pos; });
    ASSERT_EQ(got.rows.size(), taken.size()) << key;
    for (size_t i = 0; i < taken.size(); i++)
        EXPECT_EQ(got.rows[i].text, taken[i]);
}

TEST_F(Reader, EveryRowOfAMultiChunkFileArrivesOnceInItsPlace)
{
    for (const std::string term : {"\n", "\r\n", "<EOR>"}) {
        /* Chunks of 64 KiB, 20 KiB and 4 KiB: rows and terminators straddle
        ** chunk ends everywhere, and below 16 KiB every chunk gives one row. */
        for (uint32_t cap : {65536u, 20000u, 4096u}) {
            SCOPED_TRACE("term " + term + " cap " + std::to_string(cap));
            std::vector<std::string> rows = make_rows(cap == 4096 ? 300 : 3000, term, cap);
            rows.back().resize(rows.back().size() - term.size());   /* last row unterminated */
            const std::string path = dir.write("rows.dat", joined(rows));

            PipeRig rig(3, cap, 3, 2);
            DataFile file(path, term.c_str(), 5);
            Collected got;
            ASSERT_EQ(run_load(rig, {&file.rec}, got), 0);
            expect_first_rows(got, rows, rows.size());
            EXPECT_EQ(rig.inst().rows_read, static_cast<int64_t>(rows.size()));
            EXPECT_EQ(file.rec.file_offset, file.rec.file_size);
            EXPECT_TRUE(rig.all_home());

            /* Task numbers count up from 0 without gaps; each task describes
            ** its own piece of the file. */
            std::vector<int64_t> numbers;
            for (const fldr_task &task : got.tasks) {
                numbers.push_back(task.task_no);
                EXPECT_EQ(task.file_no, 5);
                EXPECT_EQ(task.kind, static_cast<uint32_t>(FLDR_TASK_ROWS));
                EXPECT_LE(task.file_off + task.data_len, static_cast<int64_t>(file.rec.file_size));
                EXPECT_LE(task.data_len, cap);
            }
            std::sort(numbers.begin(), numbers.end());
            for (size_t i = 0; i < numbers.size(); i++)
                EXPECT_EQ(numbers[i], static_cast<int64_t>(i));
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
        EXPECT_EQ(rig.inst().rows_read, static_cast<int64_t>(rows.size()));
        EXPECT_TRUE(rig.all_home());
    }
}

TEST_F(Reader, TasksHoldAtMostTaskRowsAndCountersRunOnAcrossFiles)
{
    std::vector<std::string> first = make_rows(500, "\n", 7);
    std::vector<std::string> second = make_rows(300, "\n", 8);
    PipeRig rig(2, 65536, 2, 1);
    rig.inst().task_rows = 7;
    DataFile a(dir.write("a.dat", joined(first)), "\n", 0);
    DataFile b(dir.write("b.dat", joined(second)), "\n", 1);
    Collected got;
    ASSERT_EQ(run_load(rig, {&a.rec, &b.rec}, got), 0);
    EXPECT_EQ(rig.inst().rows_read, 800);
    for (const fldr_task &task : got.tasks)
        EXPECT_LE(task.row_cnt, 7u);
    std::vector<std::string> all = first;
    all.insert(all.end(), second.begin(), second.end());
    std::sort(got.rows.begin(), got.rows.end(),
              [](const SeenRow &x, const SeenRow &y) { return x.row_no < y.row_no; });
    ASSERT_EQ(got.rows.size(), all.size());
    for (size_t i = 0; i < all.size(); i++) {
        EXPECT_EQ(got.rows[i].text, all[i]);
        EXPECT_EQ(got.rows[i].file_no, i < first.size() ? 0 : 1);
    }
    EXPECT_TRUE(rig.all_home());
}

TEST_F(Reader, EmptyFilesAndFilesWithoutAnyTerminator)
{
    PipeRig rig(2, 4096, 2, 1);
    DataFile empty(dir.write("empty.dat", ""));
    Collected got;
    EXPECT_EQ(run_load(rig, {&empty.rec}, got), 0);
    EXPECT_TRUE(got.tasks.empty());
    EXPECT_EQ(rig.inst().rows_read, 0);

    /* Within one buffer the whole file is its last row. */
    DataFile one(dir.write("one.dat", "no terminator here"));
    EXPECT_EQ(run_load(rig, {&one.rec}, got), 0);
    ASSERT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.rows[0].text, "no terminator here");

    /* Larger than a buffer, it can never be cut. */
    DataFile big(dir.write("big.dat", std::string(10000, 'x')));
    EXPECT_EQ(run_load(rig, {&big.rec}, got), FLDR_ERR_NO_ROW_TERM);
    EXPECT_EQ(big.rec.file_offset, 0u);
    ASSERT_GE(rig.inst().diag.count, 1u);
    EXPECT_EQ(fldr_get_nth_diag_rec(&rig.inst().diag.first, 1)->code, FLDR_ERR_NO_ROW_TERM);
    EXPECT_EQ(std::string(rig.inst().last_msg),
              "No row terminate found: " + dir.file("big.dat") + " at byte offset 0");
    EXPECT_TRUE(rig.all_home());
}

TEST_F(Reader, RowLongerThanTheBufferStopsAfterTheRowsBeforeIt)
{
    std::vector<std::string> rows = {"1|a\n", "2|b\n", "3|" + std::string(9000, 'c') + "\n", "4|d\n"};
    PipeRig rig(2, 4096, 2, 2);
    DataFile file(dir.write("long.dat", joined(rows)));
    Collected got;
    EXPECT_EQ(run_load(rig, {&file.rec}, got), FLDR_ERR_NO_ROW_TERM);
    expect_first_rows(got, rows, 2);
    EXPECT_EQ(file.rec.file_offset, 8u);   /* handed out up to the long row */
    EXPECT_EQ(rig.inst().rows_read, 2);
    EXPECT_TRUE(rig.all_home());
}

TEST_F(Reader, ManyShortRowsPerChunkGrowTheOffsetsAndStopAtLimits)
{
    /* Rows of 1 to 6 bytes: several terminators in every 64-byte block,
    ** chunks of more rows than the first offset array holds, and load limits
    ** that fall inside a chunk and inside a block: reading ends right after
    ** the last row handed out. */
    for (const std::string term : {"\n", "\r\n"}) {
        std::mt19937 gen(term.size());
        std::vector<std::string> rows;
        for (int i = 0; i < 60000; i++)
            rows.push_back(std::string(gen() % 5, static_cast<char>('a' + i % 26)) + term);
        const std::string path = dir.write("short.dat", joined(rows));
        for (int64_t limit : {INT64_MAX, int64_t{23457}, int64_t{1}, int64_t{0}}) {
            SCOPED_TRACE("term size " + std::to_string(term.size()) + " limit " + std::to_string(limit));
            PipeRig rig(3, 131072, 3, 2);
            rig.inst().load_rows = limit;
            DataFile file(path, term.c_str());
            Collected got;
            ASSERT_EQ(run_load(rig, {&file.rec}, got), 0);
            /* A limit of 0 never ends reading: it is compared after a row is counted. */
            const size_t want = limit == 0 ? rows.size() : std::min<size_t>(rows.size(), static_cast<size_t>(limit));
            expect_first_rows(got, rows, want);
            EXPECT_EQ(rig.inst().rows_read, static_cast<int64_t>(want));
            EXPECT_EQ(file.rec.file_offset, joined(rows, want).size());
            EXPECT_TRUE(rig.all_home());
        }
    }
}

/* A table condition: the row's first byte equals `letter`. */
struct FirstByteIs {
    fldr_bexp_field field{};
    fldr_bexp_value value{};
    fldr_bexp       node{};
    char            text[2];

    explicit FirstByteIs(char letter) : text{letter, 0}
    {
        field.kind = 1;
        field.start = 1;
        field.end = 1;
        value.kind = 2;
        value.len = 1;
        value.text = text;
        node.kind = 0;
        node.field = &field;
        node.op = 0;
        node.value = &value;
    }
};

TEST_F(Reader, ReadFailuresGiveTheBufferBack)
{
    std::vector<std::string> rows = make_rows(2000, "\n", 13);
    const std::string path = dir.write("shrinks.dat", joined(rows));
    PipeRig rig(2, 65536, 2, 1);
    DataFile file(path);
    ASSERT_EQ(truncate(path.c_str(), 1000), 0);   /* the file shrinks after it was opened */
    Collected got;
    EXPECT_EQ(run_load(rig, {&file.rec}, got), FLDR_ERR_READ_FILE);
    EXPECT_TRUE(got.rows.empty());
    EXPECT_EQ(file.rec.file_offset, 0u);
    EXPECT_TRUE(rig.all_home());

    DataFile closed(path);
    os_file_close_normal(closed.rec.handle);
    closed.rec.handle = OS_INVALID_HANDLE;
    closed.rec.file_size = 100;
    EXPECT_EQ(run_load(rig, {&closed.rec}, got), FLDR_ERR_READ_FILE);
    EXPECT_TRUE(rig.all_home());
}

TEST_F(Reader, OffsetArrayThatCannotGrowGivesEverythingBack)
{
    std::vector<std::string> rows(30000, "abcd\n");
    CountingHeap heap;
    heap.fail_after = 1;   /* the first growth succeeds, the second fails */
    PipeRig rig(1, 1 << 20, 1, 1);
    rig.inst().mem_ctx = &heap.ctx;
    DataFile file(dir.write("many.dat", joined(rows)));
    Collected got;
    EXPECT_EQ(run_load(rig, {&file.rec}, got), FLDR_ERR_OUT_OF_MEMORY);
    EXPECT_TRUE(got.rows.empty());
    ASSERT_GE(rig.inst().diag.count, 1u);
    EXPECT_EQ(fldr_get_nth_diag_rec(&rig.inst().diag.first, 1)->code, FLDR_ERR_OUT_OF_MEMORY);
    EXPECT_TRUE(rig.all_home());
}

/* Two tables from one file: table 0 is the reading instance itself. */
struct TwoTables {
    PipeRig         first{2, 20000, 2, 1};
    PipeRig         second{2, 20000, 2, 2};
    FirstByteIs     cond_a{'a'};
    FirstByteIs     cond_b{'b'};
    fldr_ctl        ctl_a{};
    fldr_ctl        ctl_b{};
    fldr_ctl       *ctls[2] = {&ctl_a, &ctl_b};
    fldr_inst      *insts[2] = {&first.inst(), &second.inst()};
    uint32_t        row_cnts[2] = {};
    fldr_rowbuf    *rowbufs[2] = {};
    fldr_task      *tasks[2] = {};
    fldr_table_set  set{nullptr, ctls, insts, row_cnts, rowbufs, tasks};

    TwoTables()
    {
        ctl_a.when_cond = &cond_a.node;
        ctl_b.when_cond = &cond_b.node;
        first.inst().multi_table = 1;
        first.inst().table_cnt = 2;
        first.inst().tables = &set;
    }
    int32_t run(DataFile &file, Collected &got_a, Collected &got_b)
    {
        return run_load_sides(first, {Side{&first, &got_a}, Side{&second, &got_b}}, {&file.rec},
                              [](fldr_task &) {});
    }
};

TEST_F(Reader, SeveralTablesEachGetTheirRowsFromTheirOwnPools)
{
    std::vector<std::string> rows;
    for (int i = 0; i < 3000; i++) {
        /* A run of rows no table takes, then a mix of both and neither. */
        char key = i < 800 ? 'c' : "abcab"[i % 5];
        rows.push_back(std::string(1, key) + "|" + std::to_string(i) + std::string(i % 50, '-') + "\n");
    }
    TwoTables tables;
    DataFile file(dir.write("multi.dat", joined(rows)));
    Collected got_a, got_b;
    ASSERT_EQ(tables.run(file, got_a, got_b), 0);
    EXPECT_EQ(tables.first.inst().rows_read, 3000);
    EXPECT_EQ(tables.second.inst().rows_read, 0);
    expect_taken_rows(got_a, rows, 'a');
    expect_taken_rows(got_b, rows, 'b');
    /* Each table numbers its own tasks. */
    EXPECT_EQ(tables.second.inst().task_pool.next_task_no, static_cast<int64_t>(got_b.tasks.size()));
    EXPECT_EQ(tables.first.inst().task_pool.next_task_no, static_cast<int64_t>(got_a.tasks.size()));
    EXPECT_EQ(file.rec.file_offset, file.rec.file_size);
    EXPECT_TRUE(tables.first.all_home() && tables.second.all_home());
}

TEST_F(Reader, RefusesSettingsThatCouldNeverEnd)
{
    PipeRig rig(1, 4096, 1, 1);
    DataFile file(dir.write("rows.dat", "a\nb\n"));
    rig.inst().task_rows = 0;
    EXPECT_EQ(fldr_read_rows_and_build_task(fldr_get_env(), &rig.inst(), &file.rec), FLDR_ERR_PARAMETER);
    rig.inst().task_rows = 10;
    file.rec.row_term_len = 0;
    EXPECT_EQ(fldr_read_rows_and_build_task(fldr_get_env(), &rig.inst(), &file.rec), FLDR_ERR_ROW_TERM);
    EXPECT_TRUE(rig.all_home());
}


/*
** Tiny chunks with a tail threshold below them (the exported reader keeps
** 16 KiB, so with small chunks it cuts one row per chunk): several whole
** rows per chunk, then a row cut by the chunk's end that must be read again
** whole with the next chunk. One worker, so tasks and rows arrive in order.
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
                std::vector<std::string> got;
                std::atomic<int32_t> rc{-1};
                std::atomic<bool> done{false};
                std::thread reader([&] {
                    rc = fldr_read_rows_and_build_task_sized(fldr_get_env(), &rig.inst(), &file.rec, min_rest);
                    done = true;
                });
                uint32_t most_rows = 0;
                for (;;) {
                    /* Read before the wait: a task enqueued before the end is taken. */
                    const bool finished = done.load();
                    fldr_task *task = fldr_task_take(&rig.queue(0), 20);
                    if (task == nullptr) {
                        if (finished)
                            break;
                        continue;
                    }
                    most_rows = std::max(most_rows, task->row_cnt);
                    for (const std::string &row : task_rows(*task, &rig.inst()))
                        got.push_back(row);
                    rig.finish(task);
                }
                reader.join();
                ASSERT_EQ(rc.load(), 0);
                EXPECT_EQ(got, rows);
                EXPECT_GT(most_rows, 1u);   /* several rows per chunk, not one */
                EXPECT_EQ(file.rec.file_offset, file.rec.file_size);
                EXPECT_TRUE(rig.all_home());
            }
        }
    }
}

/* ------------------------------------------------ a chunk of more than 1 GiB */

std::mutex g_mutex;
std::vector<std::pair<size_t, off_t>> g_reads;   /* size and offset of every pread */

ssize_t recording_pread(int fd, void *buf, size_t n, off_t off)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_reads.emplace_back(n, off);
    }
    return ::pread(fd, buf, n, off);
}

TEST(ReaderBigChunk, ReadsMoreThanOneGibInPiecesAndKeepsEveryByte)
{
    Watchdog dog(300s);
    constexpr uint64_t kGiB = 1ull << 30;
    TempDir dir;
    const std::string path = dir.file("big.dat");
    /* A sparse file: a first row, a row of NULs across the 1 GiB mark, and a
    ** last row that lies wholly beyond it. */
    const std::string first = "first\n", last = "last row\n";
    const uint64_t size = kGiB + 100;
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
        ASSERT_EQ(::pwrite(fd, "\n", 1, static_cast<off_t>(size - last.size() - 1)), 1);
        ASSERT_EQ(::pwrite(fd, last.data(), last.size(), static_cast<off_t>(size - last.size())),
                  static_cast<ssize_t>(last.size()));
        ::close(fd);
    }

    PipeRig rig(1, static_cast<uint32_t>(size + 4096), 2, 1);
    DataFile file(path);
    g_reads.clear();
    ASSERT_NE(os_file_syscall_override("pread", reinterpret_cast<void *>(&recording_pread)), 0);
    int32_t rc = -1;
    std::thread reader([&] { rc = fldr_read_rows_and_build_task(fldr_get_env(), &rig.inst(), &file.rec); });
    fldr_task *task = fldr_task_take(&rig.queue(0), 120000);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->row_cnt, 3u);
    EXPECT_EQ(task->data_len, size);
    if (task->row_cnt == 3) {
        EXPECT_EQ(std::string(task->data, first.size()), first);
        EXPECT_EQ(task->row_offs[1], first.size());
        EXPECT_EQ(task->row_offs[2], size - last.size());
        EXPECT_EQ(std::string(task->data + task->row_offs[2], last.size()), last);
        EXPECT_EQ(task->data[kGiB], '\0');
    }
    rig.finish(task);
    reader.join();
    os_file_syscall_reset();
    EXPECT_EQ(rc, 0);

    /* Pieces of at most 1 GiB, back to back from offset 0 to the end. */
    uint64_t next = 0;
    for (const auto &[n, off] : g_reads) {
        EXPECT_LE(n, kGiB);
        EXPECT_EQ(static_cast<uint64_t>(off), next);
        next += n;
    }
    EXPECT_GE(g_reads.size(), 2u);
    EXPECT_EQ(next, size);
    EXPECT_TRUE(rig.all_home());
}


/* ------------------------------------------------ random stops through tiny pools */

TEST(PipelineStress, RandomStopsNeverLoseOrDoubleRowsBuffersOrTasks)
{
    TempDir dir;
    std::mt19937 gen(20261205);
    const std::vector<std::string> rows = make_rows(150, "\r\n", 20261205);
    std::string path = dir.file("stress.dat");
    write_file(path, joined(rows));

    int stopped = 0;
    int finished = 0;
    for (int round = 0; round < 200; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Watchdog dog(60s, "stress round");
        PipeRig rig(2, 4096, 2, 2);
        fldr_inst &inst = rig.inst();
        inst.task_rows = 1 + gen() % 4;
        const int stop_after = static_cast<int>(gen() % 200);     /* beyond 150: no stop */
        /* The reading ends by the error limit, a stop request or a mode change. */
        const int ending = static_cast<int>(gen() % 3);
        const bool by_error_limit = ending == 0;
        const int pause_us = static_cast<int>(gen() % 200);
        if (by_error_limit)
            inst.errors = static_cast<uint32_t>(stop_after);
        std::atomic<int> tasks_seen{0};
        DataFile file(path, "\r\n");
        Collected got;
        int32_t rc = run_load(rig, {&file.rec}, got, [&](fldr_task &task) {
            if (pause_us > 100)
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
            if (by_error_limit)
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
        (rc == 0 ? finished : stopped)++;
        ASSERT_NO_FATAL_FAILURE(expect_first_rows(got, rows, rc == 0 ? rows.size() : got.rows.size()));
        EXPECT_EQ(inst.rows_read, static_cast<int64_t>(got.rows.size()));
        ASSERT_TRUE(rig.all_home());
    }
    /* Both outcomes were exercised. */
    EXPECT_GT(stopped, 10);
    EXPECT_GT(finished, 10);
}


/* ------------------------------------------------ the blocking lists */

/* The pool's buffers first to last; the prev links and the last pointer
** must agree with the next links. */
std::vector<fldr_rowbuf *> chain(const fldr_rowbuf_pool &pool)
{
    std::vector<fldr_rowbuf *> out;
    for (fldr_rowbuf *b = pool.first; b != nullptr; b = b->next) {
        EXPECT_EQ(b->prev, out.empty() ? nullptr : out.back());
        out.push_back(b);
    }
    EXPECT_EQ(pool.last, out.empty() ? nullptr : out.back());
    EXPECT_EQ(pool.count, static_cast<int32_t>(out.size()));
    return out;
}

TEST(RowbufPool, TakesInOrderAndKeepsLinksConsistent)
{
    PipeRig rig(3, 16, 1, 1);
    fldr_rowbuf_pool &pool = rig.inst().rowbuf_pool;
    ASSERT_EQ(chain(pool).size(), 3u);

    fldr_rowbuf *a = fldr_rowbuf_get(&pool);
    fldr_rowbuf *b = fldr_rowbuf_get(&pool);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->prev, nullptr);
    EXPECT_EQ(a->next, nullptr);
    EXPECT_EQ(chain(pool).size(), 1u);
    fldr_rowbuf *c = fldr_rowbuf_get(&pool);
    EXPECT_TRUE(chain(pool).empty());
    EXPECT_EQ(sem_units(&pool.sem), 0u);

    /* Into the empty pool: the element is both ends. Then FIFO order. */
    fldr_rowbuf_put(&pool, b);
    EXPECT_EQ(chain(pool), std::vector<fldr_rowbuf *>{b});
    fldr_rowbuf_put(&pool, c);
    fldr_rowbuf_put(&pool, a);
    EXPECT_EQ(chain(pool), (std::vector<fldr_rowbuf *>{b, c, a}));
    EXPECT_EQ(fldr_rowbuf_get(&pool), b);
    EXPECT_EQ(fldr_rowbuf_get(&pool), c);
    EXPECT_EQ(chain(pool), std::vector<fldr_rowbuf *>{a});
    fldr_rowbuf_put(&pool, b);
    fldr_rowbuf_put(&pool, c);

    /* A null buffer changes nothing and posts nothing. */
    fldr_rowbuf_put(&pool, nullptr);
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

    for (uint32_t w = 0; w < 2; w++) {
        fldr_task_queue &queue = rig.queue(w);
        EXPECT_EQ(queue.count, 2);
        fldr_task *first = fldr_task_take(&queue, 1000);
        fldr_task *second = fldr_task_take(&queue, 1000);
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(first->worker_no, w);
        EXPECT_EQ(second->worker_no, w);
        EXPECT_EQ(first, tasks[w]);        /* FIFO per queue */
        EXPECT_EQ(second, tasks[w + 2]);
        EXPECT_EQ(fldr_task_take(&queue, 0), nullptr);
        fldr_task_free(&pool, first);
        fldr_task_free(&pool, second);
    }
    EXPECT_TRUE(rig.all_home());
}

TEST(ErrorLimit, ReachedOnlyAboveTheLimit)
{
    PipeRig rig(1, 16, 1, 1);
    fldr_inst &inst = rig.inst();
    /* The limit is unsigned and widened: the largest one is no -1. */
    const struct {
        uint32_t errors;
        int64_t count;
        int32_t reached;
    } cases[] = {{100, 100, 0}, {100, 101, 1}, {0, 0, 0}, {0, -5, 0},
                 {UINT32_MAX, UINT32_MAX, 0}, {UINT32_MAX, int64_t{UINT32_MAX} + 1, 1}};
    for (const auto &c : cases) {
        inst.errors = c.errors;
        inst.err_count = c.count;
        EXPECT_EQ(fldr_gbl_err_reache_max(&inst), c.reached) << c.errors << " " << c.count;
    }
}

/* Many givers and takers on one pool: nothing lost, nothing doubled. */
TEST(RowbufPool, ConcurrentTakersAndGiversKeepEveryBuffer)
{
    Watchdog dog(60s);
    PipeRig rig(3, 16, 1, 1);
    fldr_rowbuf_pool &pool = rig.inst().rowbuf_pool;
    std::atomic<int> held{0};
    std::atomic<int> over{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; i++) {
                fldr_rowbuf *buf = fldr_rowbuf_get(&pool);
                if (held.fetch_add(1) + 1 > 3)
                    over++;
                buf->len++;
                held.fetch_sub(1);
                fldr_rowbuf_put(&pool, buf);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(over.load(), 0);
    EXPECT_TRUE(rig.all_home());
    uint32_t total = 0;
    for (fldr_rowbuf *buf = pool.first; buf != nullptr; buf = buf->next)
        total += buf->len;
    EXPECT_EQ(total, 20000u);
}

TEST(Batch, CreatesEveryColumnOrNothing)
{
    fldr_init();
    fldr_env *env = fldr_get_env();
    const uint16_t types[3] = {QXDT_INT, QXDT_VARCHAR, QXDT_DOUBLE};
    auto *batch = static_cast<bdta3 *>(fldr_bdta_create(env, nullptr, 100, 3, types));
    ASSERT_NE(batch, nullptr);
    ASSERT_EQ(batch->col_count, 3);
    for (int i = 0; i < 3; i++) {
        ASSERT_NE(batch->cols[i].data, nullptr);
        EXPECT_EQ(batch->cols[i].type, types[i]);
        EXPECT_GE(batch->cols[i].data->cap, 100u);   /* room for the row capacity asked */
    }
    bdta3_free2(env, nullptr, batch);

    auto *empty = static_cast<bdta3 *>(fldr_bdta_create(env, nullptr, 100, 0, nullptr));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->col_count, 0);
    bdta3_free2(env, nullptr, empty);

    /* The third type is unknown: the batch and its first two columns are
    ** released (the sanitizer build reports a leak otherwise). */
    const uint16_t bad[3] = {QXDT_INT, QXDT_VARCHAR, 999};
    EXPECT_EQ(fldr_bdta_create(env, nullptr, 100, 3, bad), nullptr);
}

TEST(Batch, FreeingABatchTaskEmptiesItsBatchAndKeepsIt)
{
    PipeRig rig(1, 16, 1, 1);
    fldr_env *env = fldr_get_env();
    const uint16_t types[2] = {QXDT_INT, QXDT_VARCHAR};
    auto *batch = static_cast<bdta3 *>(fldr_bdta_create(env, nullptr, 8, 2, types));
    ASSERT_NE(batch, nullptr);
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
}

}  // namespace

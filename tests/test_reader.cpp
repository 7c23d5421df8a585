/*
** The reader: data files become tasks of row offsets, with real worker
** threads on the other side of the queues.
*/
#include <gtest/gtest.h>

#include <algorithm>

#include "load_rig.h"

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

TEST_F(Reader, RowsFailingTheConditionAreCountedButNeverSent)
{
    /* 2000 rows of b first: whole chunks where no row is taken. */
    std::vector<std::string> rows;
    for (int i = 0; i < 4000; i++)
        rows.push_back(std::string(1, i < 2000 ? 'b' : "ab"[i % 2]) + "|" + std::to_string(i) +
                       std::string(40, '.') + "\n");
    PipeRig rig(2, 20000, 2, 2);
    FirstByteIs cond('a');
    rig.ctl().when_cond = &cond.node;
    DataFile file(dir.write("mixed.dat", joined(rows)));
    Collected got;
    ASSERT_EQ(run_load(rig, {&file.rec}, got), 0);
    EXPECT_EQ(rig.inst().rows_read, 4000);
    expect_taken_rows(got, rows, 'a');
    EXPECT_EQ(file.rec.file_offset, file.rec.file_size);
    EXPECT_TRUE(rig.all_home());
}

/* Slow workers; after the sixth task a stop request, a mode change, or an
** error count past the limit ends reading with the rows handed out so far. */
TEST_F(Reader, StopRequestModeChangeOrErrorLimitEndReadingWhileWorkersAreSlow)
{
    std::vector<std::string> rows = make_rows(300, "\n", 11);
    const std::string path = dir.write("rows.dat", joined(rows));
    for (int variant = 0; variant < 3; variant++) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        PipeRig rig(2, 4096, 2, 2);
        DataFile file(path);
        Collected got;
        std::atomic<int> seen{0};
        fldr_inst &inst = rig.inst();
        inst.errors = variant == 2 ? 3 : UINT32_MAX;
        int32_t rc = run_load(rig, {&file.rec}, got, [&](fldr_task &task) {
            std::this_thread::sleep_for(2ms);
            const bool sixth = seen.fetch_add(1) == 5;
            if (variant == 2) {
                std::atomic_ref<int64_t>(inst.err_count).fetch_add(task.row_cnt);   /* every row rejected */
            } else if (sixth && variant == 0) {
                std::atomic_ref<int32_t>(inst.run_state).store(-1);
            } else if (sixth) {
                std::atomic_ref<uint32_t>(inst.mode_flag).store(1);
                std::atomic_ref<int32_t>(inst.run_mode).store(5);
            }
        });
        EXPECT_EQ(rc, FLDR_ERR_REACH_ERROR_MAX);
        EXPECT_GE(got.rows.size(), variant == 2 ? 4u : 6u);
        EXPECT_LT(got.rows.size(), rows.size());
        expect_first_rows(got, rows, got.rows.size());
        EXPECT_EQ(file.rec.file_offset, joined(rows, got.rows.size()).size());
        EXPECT_TRUE(rig.all_home());
    }
}

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

TEST_F(Reader, SeveralTablesAndARowLongerThanTheBuffer)
{
    std::string data = "a|1\nb|2\n" + std::string(30000, 'a') + "\nb|3\n";
    TwoTables tables;
    DataFile file(dir.write("long.dat", data));
    Collected got_a, got_b;
    EXPECT_EQ(tables.run(file, got_a, got_b), FLDR_ERR_NO_ROW_TERM);
    EXPECT_EQ(got_a.rows.size(), 1u);
    EXPECT_EQ(got_b.rows.size(), 1u);
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

}  // namespace

/*
** Loads run by the test rig: a reader thread over data files and worker
** threads that record what they receive, as a calling tool would run them.
*/
#ifndef QX_TESTS_LOAD_RIG_H
#define QX_TESTS_LOAD_RIG_H

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "pipe_rig.h"

namespace qxtest {

/* What a worker saw of one task's rows. */
struct SeenRow {
    int32_t     file_no;
    int64_t     row_no;     /* first_row + index in the task */
    int64_t     file_pos;   /* file_off + the row's offset */
    std::string text;       /* the row's bytes up to and including its terminator */
};

/* Rows of a task, each cut at its own terminator by the reading instance's
** search (rows between taken rows may have been left out by a WHEN
** condition). */
inline std::vector<std::string> task_rows(const fldr_task &task, fldr_inst *inst = nullptr)
{
    std::vector<std::string> rows;
    for (uint32_t i = 0; i < task.row_cnt; i++) {
        const char *start = task.data + task.row_offs[i];
        uint32_t room = task.row_offs[task.row_cnt] - task.row_offs[i];
        const char *end = fldr_search_row_end(inst, start, room, task.row_term_len, task.row_term);
        uint32_t len = end != nullptr ? static_cast<uint32_t>(end - start) + task.row_term_len : room;
        rows.emplace_back(start, len);
    }
    return rows;
}

/* What the workers of a load saw, in the order they saw it. */
struct Collected {
    std::mutex              mutex;
    std::vector<SeenRow>    rows;
    std::vector<fldr_task>  tasks;   /* copies of the tasks as received (links and offsets stale) */
};

/* Rows of varying length, numbered, each ending with term. */
inline std::vector<std::string> make_rows(int count, const std::string &term, uint32_t seed = 1)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> width(0, 300);
    std::vector<std::string> rows;
    for (int i = 0; i < count; i++) {
        rows.push_back(std::to_string(i) + "|" + std::string(width(gen), 'a' + i % 26) + term);
    }
    return rows;
}

/* The first `count` rows (all of them by default) as the file holds them. */
inline std::string joined(const std::vector<std::string> &rows, size_t count = SIZE_MAX)
{
    std::string all;
    for (size_t i = 0; i < rows.size() && i < count; i++)
        all += rows[i];
    return all;
}

/* The first `count` rows of a file arrived, each exactly once, in its place,
** with row numbers that count the rows the reader cut. */
inline void expect_first_rows(Collected &got, const std::vector<std::string> &rows, size_t count)
{
    std::sort(got.rows.begin(), got.rows.end(),
              [](const SeenRow &a, const SeenRow &b) { return a.row_no < b.row_no; });
    ASSERT_EQ(got.rows.size(), count);
    ASSERT_LE(count, rows.size());
    int64_t pos = 0;
    for (size_t i = 0; i < count; i++) {
        EXPECT_EQ(got.rows[i].row_no, static_cast<int64_t>(i));
        EXPECT_EQ(got.rows[i].file_pos, pos) << "row " << i;
        ASSERT_EQ(got.rows[i].text, rows[i]) << "row " << i;
        pos += static_cast<int64_t>(rows[i].size());
    }
}

/* One table's side of a load: its instance and what its workers saw. */
struct Side {
    PipeRig   *rig;
    Collected *out;
};

/*
** Runs the reader of `reading` over the files on its own thread, with one
** worker thread per queue of every side. Each worker records the rows of every
** task it takes, calls on_task (to be slow, to count errors, to request a
** stop) and gives buffer and task back to its side's pools. Returns the
** reader's last result; the reader stops at the first non-zero result, as a
** tool does.
*/
template <typename OnTask>
int32_t run_load_sides(PipeRig &reading, std::vector<Side> sides, std::vector<fldr_data_file *> files,
                       OnTask on_task)
{
    std::atomic<bool> reader_done{false};
    int32_t rc = 0;
    std::thread reader([&] {
        for (fldr_data_file *file : files) {
            rc = fldr_read_rows_and_build_task(fldr_get_env(), &reading.inst(), file);
            if (rc != 0)
                break;
        }
        reader_done.store(true);
    });
    std::vector<std::thread> workers;
    for (Side side : sides) {
        for (uint32_t w = 0; w < side.rig->worker_count(); w++) {
            workers.emplace_back([&, side, w] {
                fldr_task_queue *queue = &side.rig->queue(w);
                for (;;) {
                    /* The flag is read before the wait, so a task enqueued
                    ** before the reader finished is always taken. */
                    bool finished = reader_done.load();
                    fldr_task *task = fldr_task_take(queue, 5);
                    if (task == nullptr) {
                        if (finished)
                            return;
                        continue;
                    }
                    {
                        std::lock_guard<std::mutex> lock(side.out->mutex);
                        side.out->tasks.push_back(*task);
                        std::vector<std::string> texts = task_rows(*task, &side.rig->inst());
                        for (uint32_t i = 0; i < texts.size(); i++)
                            side.out->rows.push_back({task->file_no, task->first_row + i,
                                                      task->file_off + task->row_offs[i], texts[i]});
                    }
                    on_task(*task);
                    side.rig->finish(task);
                }
            });
        }
    }
    reader.join();
    for (auto &worker : workers)
        worker.join();
    return rc;
}

template <typename OnTask>
int32_t run_load(PipeRig &rig, std::vector<fldr_data_file *> files, Collected &out, OnTask on_task)
{
    return run_load_sides(rig, {Side{&rig, &out}}, std::move(files), on_task);
}

inline int32_t run_load(PipeRig &rig, std::vector<fldr_data_file *> files, Collected &out)
{
    return run_load(rig, std::move(files), out, [](fldr_task &) {});
}

}  // namespace qxtest

#endif

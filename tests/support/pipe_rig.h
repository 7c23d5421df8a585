/*
** Test rig of the load pipeline: what a calling tool builds around the
** reader. A PipeRig owns one load instance with its row-buffer pool, task
** pool and worker queues (the pipeline of examples/parallel_load), and checks
** at the end that every buffer and task came home. run_load drives it with a
** reader thread and worker threads that record what they receive.
**
** Workers take from their queues with timed waits (fldr_task_take), so no
** test thread blocks forever on a queue; a load that hangs anyway is ended
** by the test runner's time limit.
*/
#ifndef QX_TESTS_PIPE_RIG_H
#define QX_TESTS_PIPE_RIG_H

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fldr_internal.h"
#include "support/scratch.h"

#include "parallel_load.h"

namespace qxtest {

/* Units a semaphore holds now (taken and given back). */
inline uint32_t sem_units(os_semaphore_t *sem)
{
    uint32_t units = 0;
    while (os_semaphore_p_timed(sem, 0) != 0)
        units++;
    for (uint32_t i = 0; i < units; i++)
        os_semaphore_v(sem);
    return units;
}

/* An open data file record over a path, with "\n" rows by default. */
struct DataFile {
    fldr_data_file rec{};

    explicit DataFile(const std::string &path, const char *row_term = "\n", uint32_t file_no = 0)
    {
        std::snprintf(rec.path, sizeof rec.path, "%s", path.c_str());
        rec.handle = os_file_open_normal_ex(path.c_str());
        rec.file_size = rec.handle == OS_INVALID_HANDLE ? 0 : os_file_size_in_bytes(rec.handle);
        rec.row_term_len = static_cast<uint16_t>(std::strlen(row_term));
        std::memcpy(rec.row_term, row_term, rec.row_term_len);
        rec.file_no = file_no;
    }
    ~DataFile()
    {
        if (rec.handle != OS_INVALID_HANDLE)
            os_file_close_normal(rec.handle);
    }
    DataFile(const DataFile &) = delete;
    DataFile &operator=(const DataFile &) = delete;
};

/* One load instance with its pools, filled as a tool fills them: the
** example tool's own pipeline, over a table without WHEN condition. */
class PipeRig {
public:
    PipeRig(uint32_t buf_count, uint32_t buf_cap, uint32_t task_count, uint32_t worker_count)
        : buf_count_(buf_count), task_count_(task_count), worker_count_(worker_count),
          pipe_(parallel_load::make_pipeline(&ctl_, options(buf_count, buf_cap, task_count, worker_count)))
    {
    }

    fldr_inst &inst() { return parallel_load::pipeline_inst(*pipe_); }
    fldr_ctl &ctl() { return ctl_; }
    fldr_task_queue &queue(uint32_t i) { return parallel_load::pipeline_queue(*pipe_, i); }
    uint32_t worker_count() const { return worker_count_; }

    /* A worker's end of a task: buffer and task back to their pools. */
    void finish(fldr_task *task)
    {
        fldr_rowbuf *buf = task->rowbuf;
        task->rowbuf = nullptr;
        fldr_rowbuf_put(&inst().rowbuf_pool, buf);
        fldr_task_free(&inst().task_pool, task);
    }

    /* Every buffer and task back in its pool, every queue empty, and the
    ** semaphores agree with the counts. */
    bool all_home()
    {
        fldr_inst &in = inst();
        bool ok = in.rowbuf_pool.count == static_cast<int32_t>(buf_count_) &&
                  in.task_pool.count == static_cast<int32_t>(task_count_) &&
                  sem_units(&in.rowbuf_pool.sem) == buf_count_ && sem_units(&in.task_pool.sem) == task_count_;
        for (uint32_t w = 0; w < worker_count_; w++)
            ok = ok && queue(w).count == 0 && queue(w).first == nullptr && sem_units(&queue(w).sem) == 0;
        return ok;
    }

private:
    static parallel_load::Options options(uint32_t buf_count, uint32_t buf_cap, uint32_t task_count,
                                          uint32_t worker_count)
    {
        fldr_init();   /* the pool, locks and messages the pipeline needs */
        /* Silent: no console lines from expected errors. */
        return {.workers = worker_count, .buffer_bytes = buf_cap, .buffers = buf_count, .tasks = task_count,
                .charset = 0, .silent = 1};
    }

    fldr_ctl                   ctl_{};
    uint32_t                   buf_count_;
    uint32_t                   task_count_;
    uint32_t                   worker_count_;
    parallel_load::PipelinePtr pipe_;
};

/* What a worker saw of one task's rows. */
struct SeenRow {
    int32_t     file_no;
    int64_t     row_no;     /* first_row + index in the task */
    int64_t     file_pos;   /* file_off + the row's offset */
    std::string text;       /* the row's bytes up to and including its terminator */
};

/* What the workers of a load saw, in the order they saw it. */
struct Collected {
    std::mutex             mutex;
    std::vector<SeenRow>   rows;
    std::vector<fldr_task> tasks;   /* copies of the tasks as received (links and offsets stale) */
};

/* Rows of varying length, numbered, each ending with term. */
inline std::vector<std::string> make_rows(int count, const std::string &term, uint32_t seed = 1)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> width(0, 300);
    std::vector<std::string> rows;
    for (int i = 0; i < count; i++)
        rows.push_back(std::to_string(i) + "|" + std::string(width(gen), 'a' + i % 26) + term);
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

/* The first `count` rows of the files arrived, each exactly once, in its
** place in its file, with row numbers that count the rows the reader cut. */
inline void expect_first_rows(Collected &got, const std::vector<std::string> &rows, size_t count)
{
    std::sort(got.rows.begin(), got.rows.end(),
              [](const SeenRow &a, const SeenRow &b) { return a.row_no < b.row_no; });
    ASSERT_EQ(got.rows.size(), count);
    ASSERT_LE(count, rows.size());
    int64_t pos = 0;
    for (size_t i = 0; i < count; i++) {
        if (i > 0 && got.rows[i].file_no != got.rows[i - 1].file_no)
            pos = 0;
        EXPECT_EQ(got.rows[i].row_no, static_cast<int64_t>(i));
        EXPECT_EQ(got.rows[i].file_pos, pos) << "row " << i;
        ASSERT_EQ(got.rows[i].text, rows[i]) << "row " << i;
        pos += static_cast<int64_t>(rows[i].size());
    }
}

/* Records the rows of a task, each cut at its own terminator by the reading
** instance's search. */
inline void record_task(Collected &out, const fldr_task &task, fldr_inst *inst)
{
    std::lock_guard<std::mutex> lock(out.mutex);
    out.tasks.push_back(task);
    for (uint32_t i = 0; i < task.row_cnt; i++) {
        const char *start = task.data + task.row_offs[i];
        const uint32_t room = task.row_offs[task.row_cnt] - task.row_offs[i];
        const char *end = fldr_search_row_end(inst, start, room, task.row_term_len, task.row_term);
        const uint32_t len = end != nullptr ? static_cast<uint32_t>(end - start) + task.row_term_len : room;
        out.rows.push_back({task.file_no, task.first_row + i, task.file_off + task.row_offs[i],
                            std::string(start, len)});
    }
}

/*
** Runs the reader over the files on its own thread, with one worker thread
** per queue. Each worker records the rows of every task it takes, calls
** on_task (to be slow, to count errors, to request a stop) and gives buffer
** and task back. The reader keeps tails of `min_rest` bytes for the next
** chunk (the exported entry's own threshold when negative) and stops at its
** first non-zero result, as a tool does; that result is returned.
*/
template <typename OnTask>
int32_t run_load(PipeRig &rig, std::vector<fldr_data_file *> files, Collected &out, OnTask on_task,
                 int64_t min_rest = -1)
{
    std::atomic<bool> reader_done{false};
    int32_t rc = 0;
    std::thread reader([&] {
        for (fldr_data_file *file : files) {
            rc = min_rest < 0 ? fldr_read_rows_and_build_task(fldr_get_env(), &rig.inst(), file)
                              : fldr_read_rows_and_build_task_sized(fldr_get_env(), &rig.inst(), file,
                                                                    static_cast<uint32_t>(min_rest));
            if (rc != 0)
                break;
        }
        reader_done.store(true);
    });
    std::vector<std::thread> workers;
    for (uint32_t w = 0; w < rig.worker_count(); w++) {
        workers.emplace_back([&, w] {
            for (;;) {
                /* The flag is read before the wait, so a task enqueued
                ** before the reader finished is always taken. */
                const bool finished = reader_done.load();
                fldr_task *task = fldr_task_take(&rig.queue(w), 5);
                if (task == nullptr) {
                    if (finished)
                        return;
                    continue;
                }
                record_task(out, *task, &rig.inst());
                on_task(*task);
                rig.finish(task);
            }
        });
    }
    reader.join();
    for (auto &worker : workers)
        worker.join();
    return rc;
}

inline int32_t run_load(PipeRig &rig, std::vector<fldr_data_file *> files, Collected &out)
{
    return run_load(rig, std::move(files), out, [](fldr_task &) {});
}

}  // namespace qxtest

#endif

/*
** Test rig of the load pipeline: what a calling tool builds around the
** reader. A PipeRig owns one load instance with its row-buffer pool, task
** pool and worker queues (the pipeline of examples/parallel_load), and checks
** at the end that every buffer and task came home.
**
** Workers take from their queues with timed waits (fldr_task_take), so no
** test thread can block forever on a queue; a Watchdog aborts the process if a round hangs anyway.
*/
#ifndef QX_TESTS_PIPE_RIG_H
#define QX_TESTS_PIPE_RIG_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fldr_internal.h"
#include "support/scratch.h"

#include "parallel_load.h"

namespace qxtest {

/* Aborts the process when a scope runs longer than its limit: a hung thread
** test fails loudly instead of stalling the suite. */
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit, const char *what = "pipeline test")
        : thread_([this, limit, what] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cond_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: %s still running after %lld s\n", what,
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cond_.notify_all();
        thread_.join();
    }

private:
    std::mutex              mutex_;
    std::condition_variable cond_;
    bool                    done_ = false;
    std::thread             thread_;
};


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
        rec.file_offset = 0;
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
        parallel_load::Options o;
        o.workers = worker_count;
        o.buffer_bytes = buf_cap;
        o.buffers = buf_count;
        o.tasks = task_count;
        o.charset = 0;
        o.silent = 1;   /* no console lines from expected errors */
        return o;
    }

    fldr_ctl                   ctl_{};
    uint32_t                   buf_count_;
    uint32_t                   task_count_;
    uint32_t                   worker_count_;
    parallel_load::PipelinePtr pipe_;
};

}  // namespace qxtest

#endif

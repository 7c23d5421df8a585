/*
** Test rig of the load pipeline: what a calling tool builds around the
** reader. A PipeRig owns one load instance with its row-buffer pool, task
** pool and worker queues, filled the way a tool fills them before the reader
** starts, and checks at the end that every buffer and task came home.
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
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fldr_internal.h"
#include "support/scratch.h"

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

/* One load instance with its pools, filled as a tool fills them. */
class PipeRig {
public:
    PipeRig(uint32_t buf_count, uint32_t buf_cap, uint32_t task_count, uint32_t worker_count)
        : inst_(std::make_unique<fldr_inst>()), buf_count_(buf_count), task_count_(task_count),
          queues_(worker_count), bufs_(buf_count), tasks_(task_count)
    {
        fldr_init();   /* the pool, locks and messages the pipeline needs */
        fldr_inst &in = *inst_;
        std::memset(&in, 0, sizeof in);
        in.ctl = &ctl_;
        in.language = FLDR_LANG_EN;
        in.out_code = 1;
        in.load_rows = INT64_MAX;
        in.errors = UINT32_MAX;
        in.task_rows = UINT32_MAX;
        in.silent = 1;           /* no console lines from expected errors */
        in.errinfo_gate = 1;     /* and no log lines */
        in.log_file.handle = OS_INVALID_HANDLE;
        os_mutex2_create(&in.inst_lock);
        os_mutex2_create(&in.msg_lock);
        os_mutex2_create(&in.log_lock);
        fldr_init_diag(&in.diag);

        os_mutex2_create(&in.rowbuf_pool.lock);
        os_semaphore_create(&in.rowbuf_pool.sem, 0);
        os_mutex2_create(&in.task_pool.lock);
        os_semaphore_create(&in.task_pool.sem, 0);
        for (auto &queue : queues_) {
            std::memset(&queue, 0, sizeof queue);
            os_mutex2_create(&queue.lock);
            os_semaphore_create(&queue.sem, 0);
        }
        in.task_pool.queues = queues_.data();

        storage_.resize(buf_count);
        for (uint32_t i = 0; i < buf_count; i++) {
            storage_[i].assign(static_cast<size_t>(buf_cap) + 1, '\0');
            bufs_[i] = fldr_rowbuf{};
            bufs_[i].data = storage_[i].data();
            bufs_[i].cap = buf_cap;
            fldr_rowbuf_put(&in.rowbuf_pool, &bufs_[i]);
        }
        for (uint32_t i = 0; i < task_count; i++) {
            tasks_[i] = fldr_task{};
            tasks_[i].worker_no = worker_count == 0 ? 0 : i % worker_count;
            tasks_[i].mem_ctx = in.mem_ctx;
            fldr_task_free(&in.task_pool, &tasks_[i]);
        }
    }

    ~PipeRig()
    {
        fldr_inst &in = *inst_;
        for (auto &task : tasks_)
            fldr_free(fldr_get_env(), in.mem_ctx, task.row_offs);
        for (auto &queue : queues_) {
            os_semaphore_free(&queue.sem);
            os_mutex2_free(&queue.lock);
        }
        os_semaphore_free(&in.task_pool.sem);
        os_mutex2_free(&in.task_pool.lock);
        os_semaphore_free(&in.rowbuf_pool.sem);
        os_mutex2_free(&in.rowbuf_pool.lock);
        fldr_deinit_diag(fldr_get_env(), &in.diag);
        os_mutex2_free(&in.log_lock);
        os_mutex2_free(&in.msg_lock);
        os_mutex2_free(&in.inst_lock);
    }
    PipeRig(const PipeRig &) = delete;
    PipeRig &operator=(const PipeRig &) = delete;

    fldr_inst &inst() { return *inst_; }
    fldr_ctl &ctl() { return ctl_; }
    fldr_task_queue &queue(uint32_t i) { return queues_[i]; }
    uint32_t worker_count() const { return static_cast<uint32_t>(queues_.size()); }

    /* A worker's end of a task: buffer and task back to their pools. */
    void finish(fldr_task *task)
    {
        fldr_rowbuf *buf = task->rowbuf;
        task->rowbuf = nullptr;
        fldr_rowbuf_put(&inst_->rowbuf_pool, buf);
        fldr_task_free(&inst_->task_pool, task);
    }

    /* Every buffer and task back in its pool, every queue empty, and the
    ** semaphores agree with the counts. */
    bool all_home()
    {
        fldr_inst &in = *inst_;
        bool ok = in.rowbuf_pool.count == static_cast<int32_t>(buf_count_) &&
                  in.task_pool.count == static_cast<int32_t>(task_count_) &&
                  sem_units(&in.rowbuf_pool.sem) == buf_count_ &&
                  sem_units(&in.task_pool.sem) == task_count_;
        for (auto &queue : queues_)
            ok = ok && queue.count == 0 && queue.first == nullptr && sem_units(&queue.sem) == 0;
        return ok;
    }

private:
    std::unique_ptr<fldr_inst>     inst_;
    fldr_ctl                       ctl_{};   /* a table without WHEN condition */
    uint32_t                       buf_count_;
    uint32_t                       task_count_;
    std::vector<fldr_task_queue>   queues_;
    std::vector<fldr_rowbuf>       bufs_;
    std::vector<std::vector<char>> storage_;
    std::vector<fldr_task>         tasks_;
};

}  // namespace qxtest

#endif

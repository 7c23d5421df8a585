/*
** Blocking lists of the pipeline: buffer pool, task pool, worker queues,
** and the two small services beside them.
*/
#include <gtest/gtest.h>

#include <future>

#include "pipe_rig.h"
#include "qxdta.h"

using namespace qxtest;
using namespace std::chrono_literals;

namespace {

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

TEST(RowbufPool, TakerWaitsUntilAGiverPuts)
{
    Watchdog dog(30s);
    PipeRig rig(1, 16, 1, 1);
    fldr_rowbuf_pool &pool = rig.inst().rowbuf_pool;
    fldr_rowbuf *only = fldr_rowbuf_get(&pool);

    auto taker = std::async(std::launch::async, [&pool] { return fldr_rowbuf_get(&pool); });
    EXPECT_EQ(taker.wait_for(100ms), std::future_status::timeout);
    fldr_rowbuf_put(&pool, only);
    ASSERT_EQ(taker.wait_for(10s), std::future_status::ready);
    fldr_rowbuf *got = taker.get();
    EXPECT_EQ(got, only);
    fldr_rowbuf_put(&pool, got);
    EXPECT_TRUE(rig.all_home());
}

TEST(TaskPool, FreeReleasesHoldingsAndMarksTheTaskFree)
{
    PipeRig rig(1, 16, 2, 1);
    fldr_task_pool &pool = rig.inst().task_pool;
    fldr_task *task = fldr_task_get(&pool);
    EXPECT_EQ(pool.count, 1);
    EXPECT_EQ(task->prev, nullptr);
    EXPECT_EQ(task->next, nullptr);

    CountingHeap heap;
    fldr_rowbuf *buf = fldr_rowbuf_get(&rig.inst().rowbuf_pool);
    uint32_t offsets[4] = {0, 1, 2, 3};
    int bogus_batch = 0;
    task->kind = FLDR_TASK_ROWS;
    task->mem_ctx = &heap.ctx;
    task->work_mem = std::malloc(32);
    task->bdta = &bogus_batch;   /* kind 3: must not be touched */
    task->rowbuf = buf;
    task->row_offs = offsets;
    task->row_cap = 3;
    task->file_no = 7;
    task->file_off = 4096;
    task->first_row = 100;
    fldr_task_free(&pool, task);

    EXPECT_EQ(heap.frees, 1);
    EXPECT_EQ(task->work_mem, nullptr);
    EXPECT_EQ(task->bdta, &bogus_batch);
    EXPECT_EQ(task->rowbuf, buf);            /* the caller's to put back */
    EXPECT_EQ(task->row_offs, offsets);      /* kept for reuse */
    EXPECT_EQ(task->row_cap, 3u);
    EXPECT_TRUE(task->file_no == -1 && task->file_off == -1 && task->first_row == -1);
    EXPECT_EQ(pool.count, 2);
    EXPECT_EQ(pool.last, task);

    /* An allocator record without a free function releases nothing, but the
    ** task lets go of the block all the same. Kind 4 without a batch calls
    ** nothing. */
    fldr_task *again = fldr_task_get(&pool);
    fldr_task *other = fldr_task_get(&pool);
    EXPECT_EQ(other, task);
    void *block = std::malloc(8);
    mem_ctx_t no_free{CountingHeap::alloc, nullptr, &heap};
    other->mem_ctx = &no_free;
    other->work_mem = block;
    other->kind = FLDR_TASK_BDTA;
    other->bdta = nullptr;
    fldr_task_free(&pool, other);
    EXPECT_EQ(heap.frees, 1);
    EXPECT_EQ(other->work_mem, nullptr);
    std::free(block);

    other = fldr_task_get(&pool);
    other->row_offs = nullptr;
    other->mem_ctx = nullptr;
    fldr_task_free(&pool, other);
    fldr_task_free(&pool, again);
    buf->prev = buf->next = nullptr;
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

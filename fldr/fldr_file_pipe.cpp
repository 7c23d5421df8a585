/*
** The blocking lists between the reader thread and the worker threads of a
** load, and the error-limit test the reader makes between chunks.
**
** Three kinds of list live in the load instance:
**
**   row-buffer pool   free chunk buffers        reader takes, workers put back
**   task pool         free tasks + task counter reader takes, workers put back
**   worker queues     built tasks, one per worker  reader appends, worker takes
**
** List rules:
**  (1) Every list pairs a lock (critical section + owner word) with a counting
**      semaphore holding one unit per element a taker may remove.
**  (2) A taker waits on the semaphore before it enters the lock; a giver posts
**      it after it has left the lock. So a taker that got past the wait always
**      finds a non-empty list and never tests for empty.
**  (3) Only one lock is held at a time, and nothing is called out while it is
**      held: releasing a task's holdings happens before its lock is entered.
**  (4) Elements are appended at the tail and taken from the head (FIFO); an
**      element in no list has null links.
**
** The caller creates every buffer, task, queue and semaphore and fills the
** pools before the reader starts; nothing here creates or destroys them.
*/
#include <atomic>

#include "fldr_internal.h"
#include "qxdta.h"

namespace {

/* Appends elem at the tail of the list first..last; the caller holds the lock. */
template <typename T>
void list_append(T *&first, T *&last, T *elem)
{
    elem->prev = last;
    elem->next = nullptr;
    if (last != nullptr)
        last->next = elem;
    else
        first = elem;
    last = elem;
}

/* Unlinks and returns the head of a list known to be non-empty; the caller
** holds the lock. */
template <typename T>
T *list_take_first(T *&first, T *&last)
{
    T *elem = first;
    QX_DEBUG_ASSERT(elem != nullptr && elem->prev == nullptr);   /* rule (2): never empty here */
    first = elem->next;
    if (first != nullptr)
        first->prev = nullptr;
    else
        last = nullptr;
    elem->prev = nullptr;
    elem->next = nullptr;
    return elem;
}

/* Wait, take under the lock: the shape shared by the three takers. */
template <typename List, typename T>
T *blocking_take(List *list, T *List::*first_field, T *List::*last_field)
{
    os_semaphore_p(&list->sem);
    fldr_lock(&list->lock);
    list->count--;
    QX_DEBUG_ASSERT(list->count >= 0);
    T *elem = list_take_first(list->*first_field, list->*last_field);
    fldr_unlock(&list->lock);
    return elem;
}

/* Append under the lock, post after leaving it: the shape of the givers. */
template <typename List, typename T>
void blocking_give(List *list, T *List::*first_field, T *List::*last_field, T *elem)
{
    fldr_lock(&list->lock);
    list->count++;
    list_append(list->*first_field, list->*last_field, elem);
    fldr_unlock(&list->lock);
    os_semaphore_v(&list->sem);
}

}  // namespace

extern "C" {

QX_EXPORT fldr_rowbuf *fldr_rowbuf_get(fldr_rowbuf_pool *pool)
{
    return blocking_take(pool, &fldr_rowbuf_pool::first, &fldr_rowbuf_pool::last);
}

QX_EXPORT void fldr_rowbuf_put(fldr_rowbuf_pool *pool, fldr_rowbuf *buf)
{
    if (buf == nullptr)
        return;
    blocking_give(pool, &fldr_rowbuf_pool::first, &fldr_rowbuf_pool::last, buf);
}

QX_EXPORT fldr_task *fldr_task_get(fldr_task_pool *pool)
{
    return blocking_take(pool, &fldr_task_pool::first, &fldr_task_pool::last);
}

QX_EXPORT int32_t fldr_task_free(fldr_task_pool *pool, fldr_task *task)
{
    /* Holdings first, outside the lock (rule 3). The offset array stays with
    ** the task for its next use, and the buffer is the caller's to put back. */
    if (task->work_mem != nullptr) {
        fldr_mem_free(fldr_get_env(), task->mem_ctx, task->work_mem);
        task->work_mem = nullptr;
    }
    if (task->kind == FLDR_TASK_BDTA && task->bdta != nullptr)
        bdta3_clear(fldr_get_env(), static_cast<bdta3 *>(task->bdta));
    task->file_no = -1;
    task->file_off = -1;
    task->first_row = -1;
    blocking_give(pool, &fldr_task_pool::first, &fldr_task_pool::last, task);
    return FLDR_OK;
}

QX_EXPORT int32_t fldr_task_enqueue(fldr_task_pool *pool, fldr_task *task)
{
    fldr_task_queue *queue = &pool->queues[task->worker_no];
    blocking_give(queue, &fldr_task_queue::first, &fldr_task_queue::last, task);
    return FLDR_OK;
}

QX_EXPORT fldr_task *fldr_task_take(fldr_task_queue *queue, uint32_t ms)
{
    /* A worker's take: as the other takers, but with a time-out, so that a
    ** worker can look at the reader's state between waits. */
    if (os_semaphore_p_timed(&queue->sem, ms) == 0)
        return nullptr;
    fldr_lock(&queue->lock);
    queue->count--;
    fldr_task *task = list_take_first(queue->first, queue->last);
    fldr_unlock(&queue->lock);
    return task;
}

QX_EXPORT int32_t fldr_gbl_err_reache_max(fldr_inst *inst)
{
    /* Workers of the tool raise err_count while the reader looks at it; the
    ** read is atomic but takes no lock, as a chunk-granular test needs no more. */
    int64_t errors_now = std::atomic_ref<int64_t>(inst->err_count).load(std::memory_order_relaxed);
    return errors_now > static_cast<int64_t>(inst->errors) ? 1 : 0;
}

}  // extern "C"

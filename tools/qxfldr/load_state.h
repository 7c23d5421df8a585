/*
** What the threads of one load share: the log, the tables of a group and
** their pools, and the run state of the group being loaded. load.cpp runs
** the reader and the workers, writers.cpp the writers.
*/
#ifndef QXFLDR_TOOL_LOAD_STATE_H
#define QXFLDR_TOOL_LOAD_STATE_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "order.h"
#include "outfile.h"
#include "qxfldr_comm.h"
#include "rowval.h"
#include "sink.h"

namespace qxfldr {

/* Emptied batches kept for reuse: a batch keeps the size of its buffers, so
** that workers do not fault in fresh memory for every chunk. There are never
** more than the batches in flight at once (being filled, waiting for their
** turn, being stored): each holds a chunk buffer. */
class BatchPool {
public:
    std::unique_ptr<RowBatch> get()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (spare_.empty())
            return std::make_unique<RowBatch>();
        auto batch = std::move(spare_.back());
        spare_.pop_back();
        return batch;
    }
    void put(std::unique_ptr<RowBatch> batch)
    {
        batch->values.clear();
        batch->arena.clear();
        batch->src.clear();
        batch->text = nullptr;
        batch->chunk = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        spare_.push_back(std::move(batch));
    }

private:
    std::mutex                             mutex_;
    std::vector<std::unique_ptr<RowBatch>> spare_;
};

/* ---------------------------------------------------------------- one table of a group */

struct TableRun {
    TablePlan                 plan;
    fldr_inst                *inst = nullptr;     /* owned; zero-filled, pools set up by setup_inst */
    std::vector<std::unique_ptr<char[]>> buf_storage;   /* read buffers, not filled up front */
    std::vector<fldr_rowbuf>  bufs;
    std::vector<fldr_task>    tasks;
    std::atomic<int64_t>      loaded{0};          /* committed */
    std::atomic<int64_t>      rej_format{0};
    std::atomic<int64_t>      rej_data{0};        /* rows refused by the database included */
    std::atomic<int64_t>      blank{0};           /* blank lines passed over */
    TableName                 target;             /* the INTO TABLE name, with its quoting */
    size_t                    ctl_index = 0;      /* of its control record, in the parse result */
    OutputFile               *bad = nullptr;      /* the bad-data file, shared by the tables naming it */
    bool                      crlf_tolerant = false;  /* no terminator given: "\n", a "\r" before it dropped */
};

struct Group {
    std::vector<std::unique_ptr<TableRun>> tables;      /* numbered first_table, first_table + 1, ... */
    uint32_t                               first_table = 0;
    std::vector<fldr_data_file *>          files;       /* in load order */
    std::vector<std::string>               file_names;  /* by file_no */
    std::vector<int64_t>                   file_base;   /* rows_read when the file began */
    std::vector<int64_t>                   file_skipped;/* rows skipped at the file's start */
    uint64_t                               total_bytes = 0;
    int64_t                                skipped = 0;
    fldr_table_set                         set{};
    std::vector<fldr_ctl *>                set_ctls;
    std::vector<fldr_inst *>               set_insts;
    std::vector<uint32_t>                  set_counts;
    std::vector<fldr_rowbuf *>             set_bufs;
    std::vector<fldr_task *>               set_tasks;
};

/*
** Units are decided one at a time, in unit order, whichever writer stored
** them (writers.cpp). Rules:
**   (1) only the writer of unit `head` decides: it knows the rows rejected
**       before its unit, writes its unit's rejections, and commits;
**   (2) a writer that waits for its turn holds no chunk;
**   (3) while `serial_unit` is set, only that unit may hold an open
**       transaction: the others roll back what they sent and wait.
*/
struct CommitOrder {
    std::mutex              mutex;          /* guards the fields below */
    std::condition_variable turn;           /* head, serial_unit or stopped changed */
    uint64_t                head = 0;       /* the unit decided next */
    int64_t                 errors = 0;     /* rows rejected in decided units */
    int64_t                 frontier = 0;   /* rows of the group read up to the end of the last decided unit */
    std::optional<uint64_t> serial_unit;
    std::optional<int64_t>  stop_rows;      /* the load stopped: rows read up to the row that passed ERRORS */
};

/* Everything the threads of one group share. */
struct RunState {
    Group                *group = nullptr;
    fldr_inst            *reader_inst = nullptr;
    /* One queue for every table and worker, so that tasks are taken in the
    ** order the reader made them; take_mutex numbers them as they are taken. */
    std::vector<fldr_task_queue> queues;
    std::mutex            take_mutex;
    int64_t               next_seq = 0;         /* guarded by take_mutex */
    std::unique_ptr<Sequencer> sequencer;
    CommitOrder           order;
    BatchPool             spare;                /* emptied batches */
    std::atomic<bool>     reader_done{false};
    std::atomic<bool>     stop{false};          /* no more rows are wanted */
    std::atomic<bool>     abandoned{false};     /* interrupted or failed: open transactions are rolled back */
    std::atomic<bool>     fatal{false};
    std::mutex            fatal_mutex;
    std::string           fatal_msg;
    int32_t               reader_rc = 0;
    std::atomic<uint64_t> bytes_done{0};
    std::atomic<int64_t>  rows_done{0};
    uint32_t              errors = 100;
    uint32_t              chunk_bytes = 0;      /* of a read buffer */
    /* Load mode REPLACE: these tables are emptied in the transaction of the
    ** group's first unit, so the rows that replace them commit with it; the
    ** other units send nothing before it is committed (writers.cpp). */
    std::vector<TableName> to_empty;
    LogFile              *log = nullptr;

    void fail(const std::string &msg)
    {
        {
            std::lock_guard<std::mutex> lock(fatal_mutex);
            if (fatal_msg.empty())
                fatal_msg = msg;
        }
        fatal = true;
        abandon();
    }
    void abandon()
    {
        abandoned = true;
        stop_all();
    }
    /* Reader, workers, Sequencer and waiting writers stop; what is held goes
    ** back to the pools. */
    void stop_all()
    {
        stop = true;
        for (auto &t : group->tables)
            __atomic_store_n(&t->inst->run_state, -1, __ATOMIC_RELAXED);
        if (sequencer)
            sequencer->stop();
        /* A writer reads `stop` under order.mutex before it waits: taking the
        ** lock here means it either saw the flag or is waiting and hears this. */
        {
            std::lock_guard<std::mutex> lock(order.mutex);
        }
        order.turn.notify_all();
    }
};

/* Index of a row of the group, from 0, counting rows after SKIP as the reader counts them. */
inline int64_t group_row(const Group &g, const RowKey &key)
{
    return g.file_base[key.file_no] + key.row_no - 1 - g.file_skipped[key.file_no];
}

/* A writer: units from rs.sequencer into `sink`, until the stream ends or the
** load stops. `writers` writers run at once (writers.cpp). */
void writer_main(RunState &rs, Sink *sink, uint32_t writers);

}  // namespace qxfldr

#endif

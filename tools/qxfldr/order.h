/*
** File order in a parallel load.
**
**   reader ---tasks, chunk after chunk, table after table within a chunk---> one task queue
**   workers: take a task and number it (seq) under one lock, so numbers follow the queue;
**            convert its rows in any order and at any speed -> Converted
**   Sequencer: holds each Converted until every lower number has come, then cuts
**            them, in file order, into items (runs of accepted rows, single
**            rejected rows) and the items into commit units of ROWS rows
**   writers: take one unit at a time, store it, and decide it in unit order
**
** Rows of several tables cut from one chunk come as consecutive numbers with
** the same chunk; their items are merged by row, so that rows of one chunk
** reach the writers as the file holds them (a row that goes to two tables:
** in table order).
**
** Ownership: a Converted holds its chunk (buffer and task) until the last item
** cut from it is dropped; items of one Converted may go to two units. A
** rejected row is copied out of its chunk, so that a unit waiting for its
** turn holds no chunk: chunk buffers come from a fixed pool, and the reader
** would wait for them for ever.
**
** Deadlock freedom: the Sequencer waits only for the lowest number not yet
** cut; that task was taken by a worker, and a worker never waits for anything
** but the queue. With several tables it also waits for the next number to see
** whether it belongs to the same chunk; the reader can make it, since the
** Sequencer holds one chunk per table and every table has more buffers.
*/
#ifndef QXFLDR_TOOL_ORDER_H
#define QXFLDR_TOOL_ORDER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sink.h"

namespace qxfldr {

/* Why a row was rejected; each kind has its own count in the summary. */
enum class Reject { Format, Data, Refused };

/* A rejected row, to be written to the bad-data file and the log once its
** unit is decided. */
struct Rejection {
    RowKey      key;
    Reject      kind = Reject::Data;
    std::string text;      /* the row as read, its terminator included */
    std::string reason;
};

/* What a worker made of one task. */
struct Converted {
    int64_t                   seq = 0;        /* the task's number: its place in file order */
    uint32_t                  file_no = 0;    /* with chunk_off, the chunk the task was cut from */
    int64_t                   chunk_off = 0;
    std::unique_ptr<RowBatch> batch;          /* the accepted rows; batch->chunk holds the chunk */
    std::vector<Rejection>    rejected;       /* rows the worker rejected, in row order */
};

/* One step of the stream: accepted rows [from, to) of a batch, or one rejected row. */
struct Item {
    std::shared_ptr<const Converted> rows;    /* null for a rejected row */
    uint64_t                         from = 0;
    uint64_t                         to = 0;
    Rejection                        rejected;
};

/* A commit unit while a writer takes it from the stream: no other writer takes
** items meanwhile, so a unit's rows are consecutive in file order. */
struct Unit {
    uint64_t number = 0;        /* units are decided in this order */
    uint64_t rows = 0;          /* accepted rows taken */
    size_t   rejected_bytes = 0;
    RowKey   last;              /* the last item's row */
    std::unique_lock<std::mutex> turn;
};

class Sequencer {
public:
    /* Gives a Converted's chunk and batch back to their pools. */
    using Release = std::function<void(Converted &)>;

    /* `multi_table`: several tables share the chunks. A unit closes at
    ** unit_rows accepted rows. Once the rows rejected by workers alone pass
    ** error_limit, the stream ends after the row that passed it. */
    Sequencer(bool multi_table, uint64_t unit_rows, int64_t error_limit, Release release);
    ~Sequencer();
    Sequencer(const Sequencer &) = delete;
    Sequencer &operator=(const Sequencer &) = delete;

    /* Workers: tasks numbered above this are not needed (convert nothing). */
    int64_t seq_limit() const { return seq_limit_.load(std::memory_order_acquire); }
    void deposit(std::unique_ptr<Converted> converted);

    /* `taken` tasks were numbered and every one is deposited or skipped. */
    void close(int64_t taken);
    /* Nothing more is wanted: what is held goes back now, later deposits at once. */
    void stop();

    /* Writers: waits for the turn to take a unit; false when the stream has ended. */
    bool open_unit(Unit &unit);
    /* The unit's next item; false when the unit is complete. */
    bool next(Unit &unit, Item &item);
    void close_unit(Unit &unit) { unit.turn = {}; }

private:
    /* A Converted of the chunk being cut, and how far it is cut. */
    struct Cursor {
        std::shared_ptr<Converted> conv;
        uint64_t                   row = 0;   /* next accepted row */
        size_t                     rej = 0;   /* next rejected row */
        bool has_next() const;
        RowKey next_key() const;
        bool next_is_rejected() const;
    };

    bool wait_for(std::unique_lock<std::mutex> &lock, int64_t seq);
    std::shared_ptr<Converted> take(int64_t seq);
    bool refill(std::unique_lock<std::mutex> &lock);
    Cursor *earliest();
    void cut_rows(Cursor &cursor, Unit &unit, Item &item);
    void cut_rejected(Cursor &cursor, Unit &unit, Item &item);
    void end_after_group();

    const bool     multi_table_;
    const uint64_t unit_rows_;
    const int64_t  error_limit_;
    const Release  release_;

    std::mutex                                    mutex_;     /* guards everything below */
    std::condition_variable                       arrived_;
    std::map<int64_t, std::unique_ptr<Converted>> waiting_;   /* deposited, not cut yet */
    std::vector<Cursor>                           group_;     /* the chunk being cut */
    int64_t  next_seq_ = 0;         /* the next number the stream takes */
    int64_t  taken_ = -1;           /* close(): numbers handed out; -1 before */
    int64_t  worker_errors_ = 0;    /* rejected rows cut so far */
    bool     ended_ = false;        /* nothing after the current group */
    bool     stopped_ = false;
    uint64_t next_unit_ = 0;
    std::atomic<int64_t> seq_limit_{INT64_MAX};
    std::mutex turn_mutex_;         /* held by the writer taking a unit */
};

}  // namespace qxfldr

#endif

/*
** The writers: commit units from the Sequencer into the database, decided in
** file order whatever the number of workers and writers.
**
** A unit is decided once the rows rejected before it are known: its own
** rejections (rows the workers rejected, rows the database refused) are
** counted in file order, and the first one that passes ERRORS is the stop
** point. The unit keeps the rows before it, the rejections up to it are
** written, and the load ends there, as one worker on its own would end it.
**
** One writer (SQLite, the sink that stores nothing): the sink reports refused
** rows in insert(), in row order, so each unit is decided while it is stored,
** and no row after the stop point is ever sent.
**
** Several writers (PostgreSQL, a connection each): units are sent side by
** side, each in a transaction of its own (Sink::settle), and decided one
** after the other (CommitOrder). When the stop point falls inside a unit, the
** sink takes the rows from it on out of the transaction (keep_before). Two
** writers could wait for each other for ever: one in the server, for a key
** the other inserted and has not committed, the other here, for its turn. So
** a unit waits for locks only briefly until it is the next to be decided;
** when that wait runs out, the unit is sent again once it is the next, and
** the units after it roll back what they sent and wait until it is committed
** (CommitOrder::serial_unit).
*/
#include <algorithm>
#include <chrono>
#include <functional>

#include "load_state.h"

namespace qxfldr {

namespace {

/* The rejections of one unit, in file order once sorted, and its stop point. */
struct UnitEvents {
    std::vector<Rejection> events;
    int64_t before = 0;                 /* rows rejected before the unit */
    int64_t limit = 0;                  /* ERRORS */
    bool    stop_when_passed = false;   /* the unit is decided as it is stored */
    size_t  stop = SIZE_MAX;            /* index of the event that passed the limit */

    /* False once the limit is passed, when the unit is decided as it is stored. */
    bool add(Rejection &&rejection)
    {
        events.push_back(std::move(rejection));
        if (stop_when_passed && stop == SIZE_MAX && before + static_cast<int64_t>(events.size()) > limit)
            stop = events.size() - 1;
        return stop == SIZE_MAX;
    }
};

/* A rejected row whole to the bad-data file, one line to the log. False when
** either cannot be written: a reason or a row lost would hide which rows were
** not loaded, so the load fails. */
bool write_rejection(RunState &rs, const Rejection &rej)
{
    TableRun &tr = *rs.group->tables[rej.key.table - rs.group->first_table];
    static constexpr const char *kWhat[] = {"format error: ", "data error: ", "refused by the database: "};
    if (!rs.log->line("table " + tr.plan.display_name + ", file " + rs.group->file_names[rej.key.file_no] +
                      ", row " + std::to_string(rej.key.row_no) + ": " + kWhat[static_cast<int>(rej.kind)] +
                      rej.reason)) {
        rs.fail(rs.log->error());
        return false;
    }
    (rej.kind == Reject::Format ? tr.rej_format : tr.rej_data)++;
    if (!tr.bad->write(rej.text)) {
        rs.fail(tr.bad->error());
        return false;
    }
    return true;
}

/* A refused row as a rejection of its unit, its text copied (the sink's copy
** or the chunk may be gone when the unit is decided). */
Rejection refusal(RunState &rs, const Refused &r)
{
    __atomic_add_fetch(&rs.reader_inst->err_count, 1, __ATOMIC_RELAXED);
    return Rejection{RowKey{r.file_no, r.row_no, r.table}, Reject::Refused, std::string(r.text),
                     std::string(r.message)};
}

const std::string &table_name(RunState &rs, uint32_t table)
{
    return rs.group->tables[table - rs.group->first_table]->plan.display_name;
}

/* Load mode REPLACE, in the transaction of the group's first unit (sink.h
** rule 6): the old rows go with its commit, and stay when it rolls back. */
bool empty_tables(RunState &rs, Sink *sink)
{
    std::string err;
    for (const TableName &table : rs.to_empty)
        if (!sink->truncate(table, err)) {
            rs.fail("cannot empty table " + table.display() + " (load mode REPLACE): " + err);
            return false;
        }
    return true;
}

/* True while the tables of a REPLACE load wait to be emptied by the first
** unit: the other units send nothing before it commits, since they would
** hold locks its emptying waits for, or be emptied with the old rows. */
bool emptying_pending(RunState &rs)
{
    std::lock_guard<std::mutex> lock(rs.order.mutex);
    return !rs.to_empty.empty();
}

/*
** Takes the unit's items from the stream: accepted rows to the sink, rejected
** rows to `ue`; stops early at the stop point when ue decides as it goes.
** False when the load cannot go on (the unit is then rolled back).
*/
bool take_unit(RunState &rs, Sink *sink, Unit &unit, UnitEvents &ue, const RefusalFn &on_refused)
{
    std::string err;
    bool ok = sink->begin(err);
    if (!ok)
        rs.fail("cannot begin a transaction: " + err);
    if (ok && unit.number == 0)
        ok = empty_tables(rs, sink);
    Item item;
    while (ok && ue.stop == SIZE_MAX && rs.sequencer->next(unit, item)) {
        if (item.rows == nullptr) {
            ue.add(std::move(item.rejected));
        } else if (!sink->insert(*item.rows->batch, item.from, item.to, on_refused, err)) {
            rs.fail("the database failed on table " + table_name(rs, item.rows->batch->table) + ": " + err);
            ok = false;
        }
        item = Item{};   /* the chunk may go back now */
    }
    rs.sequencer->close_unit(unit);
    return ok && !rs.abandoned;
}

/* A commit whose answer is lost may have been carried out: the summary counts
** only what was confirmed, and says so. */
void fail_commit(RunState &rs, const Unit &unit, const std::string &err)
{
    rs.fail("commit failed: " + err + " (the " + std::to_string(unit.rows) +
            " rows of that commit may or may not be stored)");
}

/*
** The unit's turn: writes its rejections up to the stop point, commits the
** rows it kept, and hands the turn on. False when the load ends here.
*/
bool decide(RunState &rs, Sink *sink, const Unit &unit, UnitEvents &ue)
{
    const size_t written = std::min(ue.stop == SIZE_MAX ? ue.events.size() : ue.stop + 1, ue.events.size());
    for (size_t i = 0; i < written; i++)
        if (!write_rejection(rs, ue.events[i])) {
            sink->rollback();
            return false;
        }
    const bool stopped = written > 0 && ue.before + static_cast<int64_t>(written) > ue.limit;
    if (stopped)
        rs.log->line("error limit ERRORS=" + std::to_string(rs.errors) + " exceeded; the load stops");
    Group &g = *rs.group;
    std::vector<int64_t> committed(g.first_table + g.tables.size(), 0);
    std::string err;
    /* A row refused only at the commit (no sink does so once settled) is
    ** written at once: late, but never lost. */
    int64_t late_refused = 0;
    const RefusalFn late = [&](const Refused &r) {
        late_refused++;
        return write_rejection(rs, refusal(rs, r));
    };
    /* A REPLACE load stopped in its first unit before a row was kept keeps
    ** the old rows: the emptying is not committed alone. */
    if (stopped && unit.number == 0 && !rs.to_empty.empty() && sink->rows_held() == 0) {
        sink->rollback();
    } else if (!sink->commit(late, committed, err)) {
        fail_commit(rs, unit, err);
        return false;
    }
    for (size_t t = 0; t < g.tables.size(); t++)
        g.tables[t]->loaded += committed[g.first_table + t];
    {
        std::lock_guard<std::mutex> lock(rs.order.mutex);
        rs.order.errors += static_cast<int64_t>(written) + late_refused;
        /* Decided: emptied for good with this commit, or kept by the rollback
        ** of a load stopped before it stored a row. */
        if (unit.number == 0)
            rs.to_empty.clear();
        /* After a stop the turn stays here: no later unit may commit. */
        if (!stopped)
            rs.order.head = unit.number + 1;
        rs.order.frontier = group_row(g, unit.last) + 1;
        if (rs.order.serial_unit == unit.number)
            rs.order.serial_unit.reset();
        if (stopped)
            rs.order.stop_rows = group_row(g, ue.events[written - 1].key) + 1;
    }
    rs.order.turn.notify_all();
    if (stopped)
        rs.stop_all();
    return !stopped;
}

int64_t errors_before(RunState &rs)
{
    std::lock_guard<std::mutex> lock(rs.order.mutex);
    return rs.order.errors;
}

/* One writer: each unit decided while it is stored. */
void write_in_order(RunState &rs, Sink *sink)
{
    Unit unit;
    while (!rs.stop && rs.sequencer->open_unit(unit)) {
        UnitEvents ue{{}, errors_before(rs), rs.errors, true};
        const RefusalFn on_refused = [&](const Refused &r) { return ue.add(refusal(rs, r)); };
        if (!take_unit(rs, sink, unit, ue, on_refused) || !decide(rs, sink, unit, ue)) {
            sink->rollback();
            return;
        }
    }
}

/* The unit is sent alone from now on: the units after it give way. */
void go_alone(RunState &rs, const Unit &unit)
{
    {
        std::lock_guard<std::mutex> lock(rs.order.mutex);
        rs.order.serial_unit = unit.number;
    }
    rs.order.turn.notify_all();
}

bool another_alone(RunState &rs)
{
    std::lock_guard<std::mutex> lock(rs.order.mutex);
    return rs.order.serial_unit.has_value();
}

/*
** Waits until `unit` is the next to be decided; meanwhile it gives way (rules
** of CommitOrder): what it sent is withdrawn while another unit is sent
** alone, and sent again, with a bounded wait, when none is and the turn has
** moved on since the last try. False when the unit is not to be decided: the
** load stopped before it.
*/
bool await_turn(RunState &rs, Sink *sink, const Unit &unit, bool &sent, const RefusalFn &collect)
{
    std::unique_lock<std::mutex> lock(rs.order.mutex);
    uint64_t tried_at = rs.order.head;   /* head when the unit was last sent */
    for (;;) {
        if (rs.stop)
            return false;
        if (rs.order.head == unit.number)
            return true;
        const bool other_alone = rs.order.serial_unit.has_value();
        const bool withdraw = sent && other_alone;
        const bool send_again = !sent && !other_alone && tried_at != rs.order.head;
        if (!withdraw && !send_again) {
            rs.order.turn.wait_for(lock, std::chrono::milliseconds(50));
            continue;
        }
        tried_at = rs.order.head;
        lock.unlock();
        if (withdraw) {
            sink->withdraw();
            sent = false;
        } else {
            std::string err;
            const Settled res = sink->settle(collect, LockWait::Bounded, err);
            if (res == Settled::Failed) {
                fail_commit(rs, unit, err);
                return false;
            }
            sent = res == Settled::Done;
        }
        lock.lock();
    }
}

/*
** The unit is the next to be decided: its rows are sent if they are not yet,
** the stop point is found, and the rows from it on are taken out of the
** transaction again. What blocked the unit before was most often the unit
** just committed, so it is first sent again with a bounded wait; when that
** runs out too, it is sent alone, the units after it giving way, as it is
** when rows are taken out (they hold locks the rows may wait for). A row
** refused on the way adds to the rejections, and the stop point is looked
** for again.
*/
bool settle_at_turn(RunState &rs, Sink *sink, const Unit &unit, bool others, bool sent, UnitEvents &ue,
                    const RefusalFn &collect)
{
    std::string err;
    if (!sent && others) {
        const Settled res = sink->settle(collect, LockWait::Bounded, err);
        if (res == Settled::Failed) {
            fail_commit(rs, unit, err);
            return false;
        }
        sent = res == Settled::Done;
    }
    if (!sent) {
        go_alone(rs, unit);
        rs.log->line("commit unit " + std::to_string(unit.number) +
                     " waited for rows another writer holds; it is sent alone");
        if (sink->settle(collect, LockWait::Unbounded, err) != Settled::Done) {
            fail_commit(rs, unit, err);
            return false;
        }
    }
    ue.before = errors_before(rs);
    for (;;) {
        std::stable_sort(ue.events.begin(), ue.events.end(),
                         [](const Rejection &a, const Rejection &b) { return a.key < b.key; });
        /* The event that passes the limit: `before` errors, then one per event. */
        const auto room = static_cast<uint64_t>(std::max<int64_t>(ue.limit - ue.before, 0));
        if (room >= ue.events.size()) {
            ue.stop = SIZE_MAX;
            return true;
        }
        ue.stop = static_cast<size_t>(room);
        const size_t known = ue.events.size();
        go_alone(rs, unit);
        if (!sink->keep_before(ue.events[ue.stop].key, collect, err)) {
            rs.fail("the database failed on table " + table_name(rs, ue.events[ue.stop].key.table) + ": " + err);
            return false;
        }
        if (ue.events.size() == known)
            return true;
    }
}

/* Several writers, or a sink that refuses rows only when it sends them. */
void write_side_by_side(RunState &rs, Sink *sink, bool others)
{
    Unit unit;
    while (!rs.stop && rs.sequencer->open_unit(unit)) {
        UnitEvents ue{{}, 0, rs.errors, false};
        const RefusalFn collect = [&](const Refused &r) { return ue.add(refusal(rs, r)); };
        bool ok = take_unit(rs, sink, unit, ue, collect);
        bool sent = false;
        if (ok && !another_alone(rs) && (unit.number == 0 || !emptying_pending(rs))) {
            std::string err;
            const Settled first = sink->settle(collect, others ? LockWait::Bounded : LockWait::Unbounded, err);
            if (first == Settled::Failed)
                fail_commit(rs, unit, err);
            ok = first != Settled::Failed;
            sent = first == Settled::Done;
        }
        ok = ok && await_turn(rs, sink, unit, sent, collect) &&
             settle_at_turn(rs, sink, unit, others, sent, ue, collect) && decide(rs, sink, unit, ue);
        if (!ok) {
            sink->rollback();
            return;
        }
    }
}

}  // namespace

void writer_main(RunState &rs, Sink *sink, uint32_t writers)
{
    if (sink->refuses_on_insert() && writers == 1)
        write_in_order(rs, sink);
    else
        write_side_by_side(rs, sink, writers > 1);
}

}  // namespace qxfldr

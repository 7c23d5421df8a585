/*
** Load mode REPLACE over one or several writers. The tables of a group are
** emptied by the first transaction that stores rows of the group, inside
** that transaction (sink.h rule 5), so that a load that fails before it
** commits leaves the old rows, and nobody sees the table empty before the
** rows that replace it are committed.
**
** Rules:
**   (1) the first writer to open a transaction claims the emptying and
**       empties the tables in it; the other writers go on filling their
**       transactions (a server sink sends nothing before its commit);
**   (2) no other writer commits before the claimant's transaction has
**       committed: rows committed earlier would be emptied with the old
**       ones, and the emptying could still be rolled back;
**   (3) when the claimant's transaction is rolled back, the other writers
**       commit nothing more: that happens only when the load failed or was
**       interrupted;
**   (4) a group that stores no row at all is emptied by the first writer to
**       finish, unless the load was stopped.
*/
#ifndef QXFLDR_TOOL_REPLACE_GATE_H
#define QXFLDR_TOOL_REPLACE_GATE_H

#include <condition_variable>
#include <mutex>
#include <vector>

#include "table_name.h"

namespace qxfldr {

class ReplaceGate {
public:
    /* The tables to empty; none: the gate is always open. */
    void arm(std::vector<TableName> tables)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tables_ = std::move(tables);
        state_ = tables_.empty() ? State::Committed : State::Pending;
    }
    const std::vector<TableName> &tables() const { return tables_; }

    bool pending() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_ == State::Pending;
    }
    /* True for one caller only: it empties the tables (rule 1). */
    bool claim()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::Pending)
            return false;
        state_ = State::Claimed;
        return true;
    }
    /* Rule 2: waits while the claimant's transaction is open; true when the
    ** tables are emptied for good (or none were to be), false by rule 3. */
    bool wait_emptied()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return state_ != State::Claimed; });
        return state_ != State::Abandoned;
    }
    /* The claimant's transaction ended; a second call changes nothing. */
    void settle(bool committed)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::Claimed)
            return;
        state_ = committed ? State::Committed : State::Abandoned;
        done_.notify_all();
    }

private:
    enum class State { Pending, Claimed, Committed, Abandoned };
    mutable std::mutex      mutex_;
    std::condition_variable done_;
    std::vector<TableName>  tables_;       /* set before the writers start */
    State                   state_ = State::Committed;
};

}  // namespace qxfldr

#endif

/*
** The batch engine: see pg_batch.h for the rules it keeps.
*/
#include "pg_batch.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "pg_conn.h"

namespace qxpg {

namespace {

/* Bytes handed to libpq per call: large enough to amortise the call, small
   enough that libpq's output buffer stays modest. */
constexpr size_t kPutChunk = 256 * 1024;

/* Times a batch is sent again after conflicts with other transactions (rule 7). */
constexpr int kConflictRetries = 8;

/* Class 40: transaction rollback (deadlock, serialization failure). */
bool is_conflict_state(const std::string &state)
{
    return state.size() == 5 && state.compare(0, 2, "40") == 0;
}

/*
** Errors no row causes: connection and resource trouble, the server going
** down, permissions and missing objects, a transaction in a wrong state.
** Any other error (classes 22 data, 23 constraints, triggers' own errors,
** 40 concurrency) is laid at the rows' door and searched for.
*/
bool is_fatal_state(const std::string &state)
{
    if (state.size() != 5)
        return true;
    static const char *const kFatalClasses[] = {"08", "25", "28", "3D", "3F", "42",
                                                "53", "57", "58", "F0", "XX", "0A"};
    for (const char *cls : kFatalClasses)
        if (state.compare(0, 2, cls) == 0)
            return true;
    return false;
}

} // namespace

BatchWriter::BatchWriter(PGconn *conn, const Table &table, bool allow_binary)
    : conn_(conn), encoder_(table, allow_binary), table_name_(table.name)
{
}

bool BatchWriter::add_row(std::span<const Field> fields, uint64_t tag, std::string &message)
{
    if (!encoder_.encode_row(fields, data_, message))
        return false;
    ends_.push_back(data_.size());
    tags_.push_back(tag);
    return true;
}

bool BatchWriter::add_typed_row(std::span<const TypedValue> values, uint64_t tag, std::string &message)
{
    if (!encoder_.encode_typed_row(values, data_, message))
        return false;
    ends_.push_back(data_.size());
    tags_.push_back(tag);
    return true;
}

void BatchWriter::discard()
{
    data_.clear();
    ends_.clear();
    tags_.clear();
}

std::string BatchWriter::fatal_message(const std::string &what, const std::string &sqlstate) const
{
    if (session_lost(conn_, sqlstate))
        return "connection to PostgreSQL lost while loading table " + table_name_ + ": " + what;
    return "PostgreSQL failed the load of table " + table_name_ + ": " + what;
}

bool BatchWriter::command(const char *sql, std::string &error, std::string &sqlstate)
{
    Result res(PQexec(conn_, sql));
    if (res.status() == PGRES_COMMAND_OK)
        return true;
    error = result_message(conn_, res.get());
    sqlstate = result_sqlstate(res.get());
    return false;
}

BatchWriter::Outcome BatchWriter::copy_range(size_t lo, size_t hi, std::string &message,
                                             std::string &sqlstate)
{
    ++result_.copies;
    sqlstate.clear();
    Result start(PQexec(conn_, encoder_.copy_sql().c_str()));
    if (start.status() != PGRES_COPY_IN) {
        message = result_message(conn_, start.get());
        sqlstate = result_sqlstate(start.get());
        return Outcome::fatal;
    }
    size_t from = lo == 0 ? 0 : ends_[lo - 1];
    size_t to = ends_[hi - 1];
    bool put_ok = true;
    std::string_view header = encoder_.header();
    if (!header.empty())
        put_ok = PQputCopyData(conn_, header.data(), static_cast<int>(header.size())) == 1;
    for (size_t at = from; put_ok && at < to; at += kPutChunk) {
        size_t len = std::min(kPutChunk, to - at);
        put_ok = PQputCopyData(conn_, data_.data() + at, static_cast<int>(len)) == 1;
    }
    std::string_view trailer = encoder_.trailer();
    if (put_ok && !trailer.empty())
        put_ok = PQputCopyData(conn_, trailer.data(), static_cast<int>(trailer.size())) == 1;
    if (put_ok)
        put_ok = PQputCopyEnd(conn_, nullptr) == 1;

    // Collect the outcome; libpq ends the sequence with a null result.
    Outcome outcome = Outcome::ok;
    bool have_error = false;
    while (PGresult *raw = PQgetResult(conn_)) {
        Result res(raw);
        ExecStatusType st = res.status();
        if (st == PGRES_COPY_IN) {
            // The data could not be sent: end the COPY so libpq moves on.
            PQputCopyEnd(conn_, "data not sent");
            continue;
        }
        if (st != PGRES_COMMAND_OK && !have_error) {
            have_error = true;
            message = result_message(conn_, res.get());
            sqlstate = result_sqlstate(res.get());
        }
        if (PQstatus(conn_) == CONNECTION_BAD)
            break;
    }
    if (!put_ok && !have_error) {
        have_error = true;
        message = one_line(PQerrorMessage(conn_));
    }
    if (have_error)
        outcome = PQstatus(conn_) == CONNECTION_BAD || is_fatal_state(sqlstate) ? Outcome::fatal
                  : is_conflict_state(sqlstate)                                 ? Outcome::conflict
                                                                                : Outcome::refused;
    else if (PQstatus(conn_) == CONNECTION_BAD) {
        message = one_line(PQerrorMessage(conn_));
        outcome = Outcome::fatal;
    }
    return outcome;
}

void BatchWriter::locate(size_t lo, size_t hi, bool known_bad, const RefusalHandler &on_refused)
{
    if (stop_ || fatal_ || conflict_)
        return;
    size_t count = hi - lo;
    // A single row is always sent: its own refusal gives the server's message.
    if (!known_bad || count == 1) {
        std::string error, message, sqlstate;
        if (!command("SAVEPOINT qx_part", error, sqlstate)) {
            fatal_ = true;
            result_.error = fatal_message(error, sqlstate);
            return;
        }
        Outcome outcome = copy_range(lo, hi, message, sqlstate);
        if (outcome == Outcome::fatal) {
            fatal_ = true;
            result_.error = fatal_message(message, sqlstate);
            return;
        }
        if (outcome == Outcome::conflict) {
            conflict_ = true;
            result_.error = fatal_message(message, sqlstate);
            return;
        }
        const char *close_sql =
            outcome == Outcome::ok ? "RELEASE SAVEPOINT qx_part" : "ROLLBACK TO SAVEPOINT qx_part";
        if (!command(close_sql, error, sqlstate)) {
            fatal_ = true;
            result_.error = fatal_message(error, sqlstate);
            return;
        }
        if (outcome == Outcome::ok) {
            result_.committed += count;
            return;
        }
        if (count == 1) {
            ++result_.refused;
            refused_[lo] = 1;
            if (!on_refused(Refusal{tags_[lo], message, sqlstate}))
                stop_ = true;
            return;
        }
    }
    size_t mid = lo + count / 2;
    uint64_t kept_before = result_.committed;
    locate(lo, mid, false, on_refused);
    bool first_half_whole = result_.committed - kept_before == mid - lo;
    locate(mid, hi, first_half_whole, on_refused);
}

void BatchWriter::drop_refused()
{
    std::string data;
    std::vector<size_t> ends;
    std::vector<uint64_t> tags;
    size_t from = 0;
    for (size_t i = 0; i < tags_.size(); ++i) {
        if (!refused_[i]) {
            data.append(data_, from, ends_[i] - from);
            ends.push_back(data.size());
            tags.push_back(tags_[i]);
        }
        from = ends_[i];
    }
    data_.swap(data);
    ends_.swap(ends);
    tags_.swap(tags);
    refused_.assign(tags_.size(), 0);
}

/*
** The unit the search keeps or drops rows by: a transaction of its own, or
** (rule 8) the savepoint qx_batch inside the caller's transaction, set
** before the first COPY.
*/
bool BatchWriter::start_search_unit(std::string &error, std::string &sqlstate)
{
    return command(in_transaction_ ? "ROLLBACK TO SAVEPOINT qx_batch" : "BEGIN", error, sqlstate);
}

bool BatchWriter::end_unit(bool keep, std::string &error, std::string &sqlstate)
{
    if (!in_transaction_)
        return command(keep ? "COMMIT" : "ROLLBACK", error, sqlstate);
    if (!keep && !command("ROLLBACK TO SAVEPOINT qx_batch", error, sqlstate))
        return false;
    return command("RELEASE SAVEPOINT qx_batch", error, sqlstate);
}

BatchWriter::Outcome BatchWriter::attempt(const RefusalHandler &on_refused)
{
    size_t rows = tags_.size();
    result_.committed = 0;
    stop_ = fatal_ = conflict_ = false;
    refused_.assign(rows, 0);
    if (rows == 0)
        return Outcome::ok;

    std::string message, sqlstate, error;
    if (in_transaction_ && !command("SAVEPOINT qx_batch", error, sqlstate)) {
        result_.error = fatal_message(error, sqlstate);
        return Outcome::fatal;
    }
    // Rule 1: the whole batch in one COPY, committed by itself (rule 8: kept).
    Outcome first = copy_range(0, rows, message, sqlstate);
    if (first == Outcome::ok) {
        if (in_transaction_ && !end_unit(true, error, sqlstate)) {
            result_.error = fatal_message(error, sqlstate);
            return Outcome::fatal;
        }
        result_.committed = rows;
        return Outcome::ok;
    }
    if (first == Outcome::fatal || first == Outcome::conflict) {
        result_.error = fatal_message(message, sqlstate);
        // Rule 8: a conflict is undone to the savepoint, so the batch can go again.
        if (first == Outcome::conflict && in_transaction_ && !end_unit(false, error, sqlstate))
            return Outcome::fatal;
        return first;
    }
    return search(on_refused);
}

/* Rules 2 to 5: the refused rows searched for inside one unit. */
BatchWriter::Outcome BatchWriter::search(const RefusalHandler &on_refused)
{
    std::string error, sqlstate;
    if (!start_search_unit(error, sqlstate)) {
        result_.error = fatal_message(error, sqlstate);
        return Outcome::fatal;
    }
    locate(0, tags_.size(), true, on_refused);
    if (fatal_ || conflict_) {
        // Rule 6 inside the caller's transaction leaves it to the caller to roll back.
        const bool undo_here = conflict_ || !in_transaction_;
        if (PQstatus(conn_) != CONNECTION_BAD && undo_here && !end_unit(false, error, sqlstate))
            fatal_ = true;
        result_.committed = 0;
        return fatal_ ? Outcome::fatal : Outcome::conflict;
    }
    if (!end_unit(true, error, sqlstate)) {
        result_.error = fatal_message("commit failed: " + error, sqlstate);
        result_.committed = 0;
        return is_conflict_state(sqlstate) && !in_transaction_ ? Outcome::conflict : Outcome::fatal;
    }
    return stop_ ? Outcome::refused : Outcome::ok;
}

FlushResult BatchWriter::flush(const RefusalHandler &on_refused, bool in_transaction)
{
    result_ = FlushResult{};
    in_transaction_ = in_transaction;
    Outcome outcome = attempt(on_refused);
    // Rule 7: conflicts with other transactions; rows reported stay reported.
    for (int retry = 1; outcome == Outcome::conflict && !stop_ && retry <= kConflictRetries; ++retry) {
        drop_refused();
        std::this_thread::sleep_for(std::chrono::milliseconds(5 * retry * retry));
        result_.error.clear();
        outcome = attempt(on_refused);
    }
    if (outcome == Outcome::fatal || outcome == Outcome::conflict)
        result_.status = FlushStatus::failed;
    else if (stop_)
        result_.status = FlushStatus::stopped;
    discard();
    return result_;
}

} // namespace qxpg

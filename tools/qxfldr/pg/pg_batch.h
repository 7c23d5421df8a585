/*
** The batch engine: rows of one worker go to the server in batches, one
** COPY per batch on the worker's own connection, one transaction per batch.
**
** A batch the server refuses (a constraint, a value of the wrong type) is
** searched for the rows it refused, never dropped:
**   (1) the whole batch is sent in one COPY (committed by itself when it
**       passes: the fast path costs one COPY);
**   (2) when the server refuses it, a transaction is opened and the rows
**       are sent again in halves, each half under a savepoint: a half that
**       passes is kept, a half that fails is rolled back to its savepoint
**       and split again, down to single rows, which are the refused ones;
**   (3) when the first half of a refused range passes, the second is known
**       to fail and is split at once (one COPY saved per level);
**   (4) the rows kept are committed in one transaction: after a crash the
**       table holds whole batches (their refused rows left out) or nothing
**       of them;
**   (5) rows are tried in their order, so when the caller stops at a refusal
**       (its error limit) the rows before it are committed and the rows after
**       it are not loaded;
**   (6) a lost connection, or an error that no row causes (permissions, a
**       table dropped meanwhile, the server shutting down), ends the batch
**       with nothing of it committed and a one-line message;
**   (7) a conflict with another transaction (deadlock, serialization: two
**       workers inserting each other's keys) is no row's fault: the whole
**       transaction is rolled back and the batch sent again, without the rows
**       already reported as refused (each row is reported once), a few times
**       at most before it counts as rule 6;
**   (8) flush(..., in_transaction) works inside a transaction the caller has
**       opened (a REPLACE load empties its table there first): the batch
**       goes in under a savepoint instead of transactions of its own, rules 1
**       to 7 hold within it, and the rows kept become durable with the
**       caller's COMMIT. A failure of rule 6 leaves the caller's transaction
**       to be rolled back; a conflict of rule 7 is rolled back to the
**       savepoint only, before the batch is sent again.
*/
#ifndef QXFLDR_PG_BATCH_H
#define QXFLDR_PG_BATCH_H

#include <libpq-fe.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "pg_copy.h"

namespace qxpg {

/* A row the server refused. */
struct Refusal {
    uint64_t    tag;       /* the caller's tag of the row (its number in the data file) */
    std::string message;   /* the server's message, one line */
    std::string sqlstate;  /* the server's error code, "" for a refusal made here */
};

enum class FlushStatus {
    ok,       /* every row committed or refused */
    stopped,  /* the caller stopped at a refusal (rule 5) */
    failed,   /* rule 6: nothing of the batch committed */
};

struct FlushResult {
    FlushStatus status = FlushStatus::ok;
    uint64_t    committed = 0;  /* rows committed by this flush (rule 8: kept in the caller's transaction) */
    uint64_t    refused = 0;    /* rows reported as refused */
    uint64_t    copies = 0;     /* COPY statements sent (1 when nothing was refused) */
    std::string error;          /* status failed: what failed, one line */
};

/* Called for every refused row, in row order; false stops the load (rule 5). */
using RefusalHandler = std::function<bool(const Refusal &)>;

class BatchWriter {
public:
    BatchWriter(PGconn *conn, const Table &table, bool allow_binary = true);

    const CopyEncoder &encoder() const { return encoder_; }
    uint32_t pending() const { return static_cast<uint32_t>(tags_.size()); }
    size_t pending_bytes() const { return data_.size(); }

    /*
    ** Adds a row to the batch. False with `message` when the row cannot be
    ** encoded (pg_copy.h); it is then not part of the batch and the caller
    ** treats it as a refused row.
    */
    bool add_row(std::span<const Field> fields, uint64_t tag, std::string &message);
    bool add_typed_row(std::span<const TypedValue> values, uint64_t tag, std::string &message);

    /* Sends the batch as described above and empties it, whatever the
    ** outcome; in_transaction: inside the caller's open transaction (rule 8). */
    FlushResult flush(const RefusalHandler &on_refused, bool in_transaction = false);

    /* Empties the batch without sending it. */
    void discard();

private:
    enum class Outcome { ok, refused, conflict, fatal };
    Outcome copy_range(size_t lo, size_t hi, std::string &message, std::string &sqlstate);
    bool command(const char *sql, std::string &error, std::string &sqlstate);
    void locate(size_t lo, size_t hi, bool known_bad, const RefusalHandler &on_refused);
    Outcome attempt(const RefusalHandler &on_refused);
    Outcome search(const RefusalHandler &on_refused);
    bool start_search_unit(std::string &error, std::string &sqlstate);
    bool end_unit(bool keep, std::string &error, std::string &sqlstate);
    void drop_refused();
    std::string fatal_message(const std::string &what, const std::string &sqlstate) const;

    PGconn *conn_;
    CopyEncoder encoder_;
    std::string table_name_;
    std::string data_;               /* encoded rows, back to back */
    std::vector<size_t> ends_;       /* end offset of each row in data_ */
    std::vector<uint64_t> tags_;     /* caller's tag of each row */

    /* State of one search (rules 2 to 6). */
    FlushResult result_;
    std::vector<uint8_t> refused_;   /* per row: reported as refused in this flush */
    bool stop_ = false;
    bool fatal_ = false;
    bool conflict_ = false;
    bool in_transaction_ = false;    /* rule 8 for the flush under way */
};

} // namespace qxpg

#endif

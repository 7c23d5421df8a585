/*
** The MariaDB batch engine: the rows of one table, for one connection, sent
** inside a transaction the caller opened and ends.
**
** Rows are kept as typed values (integers, floating numbers, texts, nulls),
** and sent by one of three paths:
**   - bulk: one prepared INSERT executed over arrays of rows in the binary
**     protocol (the server's bulk execution). Integers and floating numbers
**     of numeric columns travel as binary numbers, texts as they are, with
**     no escape and no parse of a number on either side: the fastest path
**     we measured, costing the server a fifth less CPU than LOAD DATA
**     LOCAL on the same rows. A row too big for one execution goes by
**     load_data (bulk_range());
**   - load_data: LOAD DATA LOCAL INFILE fed from memory through the client
**     library's local-infile callbacks, the rows encoded as lines of LOAD
**     DATA's default text format (fields joined by tab, lines ended by
**     newline, null as \N, backslash, tab, newline, carriage return and NUL
**     escaped with a backslash): the path into a server without bulk
**     execution;
**   - insert: multi-row INSERT statements of at most kInsertBytes each (the
**     path through a node that forwards rows).
**
** Rules:
**   (1) the batch goes in parts of at most kPartRows rows, in row order,
**       each under a savepoint of its own (but see send()'s `alone`); a
**       part passes when the server stored every row of it without a
**       warning. A refused row thus costs the rollback and the re-send of
**       its part, not of the batch;
**   (2) a part with an error, a warning (LOAD DATA LOCAL turns what INSERT
**       refuses into warnings: a value cut short, a key given twice) or
**       fewer rows stored than sent is rolled back to its savepoint and
**       sent again in kFanout pieces, each under a savepoint, down to
**       single rows;
**   (3) a single row is sent as an INSERT of text values, in strict mode,
**       so that a refused row carries the server's own message, the same
**       on every path; an INSERT that stores the row with a warning (a
**       value the server would round) is rolled back and the row refused
**       with the warning's text: nothing changed is kept;
**   (4) when every piece of a refused part but the last passes, the last is
**       known to fail and is split at once;
**   (5) rows are tried in their order, so when the caller stops at a refusal
**       the rows before it are kept and the rows after it are not sent;
**   (6) a lost connection or an error no row causes ends the send (failed);
**   (7) a deadlock or a lock wait that ran out ends it as blocked: the caller
**       rolls back and sends the rows again; rows reported refused stay out.
** The rows stay in the batch until discard(), so that the caller can roll
** back and send them again (unsend()), fewer of them (drop_from_tag()), or
** commit.
*/
#ifndef QXFLDR_MARIA_BATCH_H
#define QXFLDR_MARIA_BATCH_H

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "maria_conn.h"

namespace qxmaria {

/* One value of a row, already checked against its column by the loader. */
struct Field {
    enum Kind : uint8_t { Null, Int, Real, Text } kind = Null;
    int64_t          i = 0;
    double           r = 0;
    std::string_view text;
};

struct Refusal {
    uint64_t    tag;       /* the caller's tag of the row */
    std::string message;   /* the server's message, one line */
};
/* Called for every refused row, in row order; false stops (rule 5). */
using RefusalHandler = std::function<bool(const Refusal &)>;

enum class SendStatus { ok, stopped, blocked, failed, redo };
struct SendResult {
    SendStatus  status = SendStatus::ok;
    uint64_t    kept = 0;     /* rows in the caller's transaction */
    std::string error;        /* blocked, failed: one line */
};

enum class SendPath { bulk, load_data, insert };

/* Appends `value` with LOAD DATA's escapes. */
void append_escaped(std::string &out, std::string_view value);

class BatchWriter {
public:
    /* `table` is the quoted `db`.`name`; `cols` the column names in row
    ** order. `numeric[c]`, when given, says that column c is an integer or
    ** floating column, which takes numbers in binary on the bulk path (a
    ** YEAR, an ENUM or a SET reads the number 1 otherwise than the text
    ** '1', so they take text). The bulk path falls back to load_data on a
    ** server without bulk execution. */
    BatchWriter(Conn &conn, std::string table, const std::vector<std::string> &cols, SendPath path,
                std::vector<uint8_t> numeric = {});

    uint32_t pending() const { return static_cast<uint32_t>(tags_.size()); }
    SendPath path() const { return path_; }

    /* Adds a row (one field per column); tags grow with the rows. */
    void add_row(std::span<const Field> fields, uint64_t tag);

    /* Sends the rows not yet sent (rules above); a second call before
    ** unsend() or discard() sends nothing and returns what the first kept.
    ** `alone`: the caller's transaction holds nothing yet, so the first part
    ** goes without a savepoint: the transaction itself is one. When the
    ** server refuses a row of it, the result is `redo`: the caller rolls its
    ** transaction back (one part to undo) and sends again, not alone. */
    SendResult send(const RefusalHandler &on_refused, bool alone = false);
    /* The caller rolled back: refused rows leave, the others go again. */
    void unsend();
    /* Leaves out the rows tagged `limit` or more. */
    void drop_from_tag(uint64_t limit);
    void discard();

    /* Rows at most per multi-row INSERT statement, in bytes of SQL. */
    static constexpr size_t kInsertBytes = 1 << 20;
    /* Rows per part (rule 1): small enough that a refused row's rollback
    ** and bisection cost little next to the batch, big enough that the
    ** statements and savepoints per part cost nothing measurable. */
    static constexpr size_t kPartRows = 4096;
    /* Pieces a refused part is cut into. */
    static constexpr size_t kFanout = 16;

private:
    enum class Outcome { ok, refused, conflict, fatal };
    /* A value of a row; a text lies in bytes_. */
    struct Cell {
        union {
            int64_t i = 0;
            double  r;
            size_t  off;
        };
        uint32_t    len = 0;
        Field::Kind kind = Field::Null;
    };
    /* The arrays one column is bound to for a bulk execution. */
    struct BoundColumn {
        std::vector<char>          indicator;
        std::vector<int64_t>       ints;
        std::vector<double>        reals;
        std::vector<const char *>  texts;
        std::vector<unsigned long> lengths;
        std::string                numbers;   /* numbers sent as text */
    };
    struct StmtCloser {
        void operator()(MYSQL_STMT *stmt) const { mysql_stmt_close(stmt); }
    };

    std::string_view text_of(const Cell &cell) const { return std::string_view(bytes_).substr(cell.off, cell.len); }
    size_t row_start(size_t row) const { return row == 0 ? 0 : ends_[row - 1]; }
    Outcome send_range(size_t lo, size_t hi);
    Outcome bulk_range(size_t lo, size_t hi);
    Outcome bulk_execute(size_t lo, size_t hi);
    void bind_column(size_t col, size_t lo, size_t hi, MYSQL_BIND &bind);
    Outcome load_range(size_t lo, size_t hi);
    Outcome insert_range(size_t lo, size_t hi);
    Outcome single_row(size_t row, std::string &message);
    Outcome classify_error();
    std::string last_error() const;
    bool send_parts(const RefusalHandler &on_refused, bool alone);
    bool command(const char *sql);
    void append_tuple(std::string &sql, size_t row) const;
    void locate(size_t lo, size_t hi, bool known_bad, const RefusalHandler &on_refused);
    void drop_refused();
    void fail(Outcome outcome, const std::string &what);

    Conn *conn_;
    std::string table_;
    std::string load_sql_;        /* LOAD DATA ... (cols) */
    std::string insert_head_;     /* INSERT INTO t (cols) VALUES */
    SendPath path_;
    size_t width_;                /* values per row */
    std::vector<uint8_t> numeric_;
    std::vector<Cell> cells_;     /* width_ per row */
    std::string bytes_;           /* the texts of the cells, back to back */
    std::vector<size_t> ends_;    /* end of each row's texts in bytes_ */
    std::vector<uint64_t> tags_;
    std::unique_ptr<MYSQL_STMT, StmtCloser> stmt_;   /* the bulk INSERT */
    bool prepared_ = false;                          /* stmt_ is prepared (on first use) */
    std::vector<BoundColumn> bound_;
    std::vector<MYSQL_BIND> binds_;
    std::string lines_;           /* a part as LOAD DATA lines */

    /* State of one send. */
    std::vector<uint8_t> refused_;
    uint64_t kept_ = 0;
    bool stop_ = false, fatal_ = false, conflict_ = false, sent_ = false;
    std::string error_;
};

} // namespace qxmaria

#endif

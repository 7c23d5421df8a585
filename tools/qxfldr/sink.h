/*
** The database side of a load: a sink takes finished rows of typed values
** and stores them. The loader never talks to a database except through this
** interface, so the per-row value pipeline (fields -> column values) is the
** same whatever the target.
**
** Rules of a sink:
**   (1) describe() is called once per table before any row is read; a table
**       or column that does not exist is an error there, not later.
**   (2) rows arrive only between begin() and commit()/rollback(); one batch
**       is one transaction: after commit() its rows are durable, after
**       rollback() or a crash none of them are.
**   (3) a sink is driven by one thread (its writer); it need not lock. A
**       target that takes rows on several connections at once gets one
**       sink per writer.
**   (4) a row the database refuses (a constraint, a value it will not take)
**       is reported to the caller's RefusalFn, in row order, with the
**       database's message, and the other rows go on; a false return of
**       the function stops the transaction's rows at that row: the rows
**       before it are committed by the next commit(), the rows after it
**       are not stored. Only a failure no row causes (connection lost, disk
**       full) makes insert() or commit() return false.
**   (5) a sink that holds rows until the transaction ends (refuses_on_insert()
**       false) sends them in settle(), which reports the refused ones and
**       keeps the transaction open; the caller may then take rows out again
**       (withdraw(), keep_before()) before commit(). A sink that refuses in
**       insert() has nothing to settle.
**   (6) truncate() empties a table inside the open transaction (after
**       begin()): the emptying becomes durable with that transaction's
**       commit(), a rollback() keeps the old rows, and a withdraw() keeps
**       the emptying for the next settle(), like the rows.
*/
#ifndef QXFLDR_TOOL_SINK_H
#define QXFLDR_TOOL_SINK_H

#include <compare>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <string>
#include <vector>

#include "table_name.h"

namespace qxfldr {

/* One column of a target table as the database describes it. */
struct TableColumn {
    std::string name;        /* as the database spells it */
    std::string decl_type;   /* declared type text, e.g. "VARCHAR(20)" */
    uint16_t    type = 2;    /* library type code (qxdta.h) */
    uint32_t    length = 0;  /* declared length in characters, 0 when none */
    bool        not_null = false;
};

struct TableDesc {
    std::string              name;
    std::vector<TableColumn> cols;
    bool any_columns = false;  /* a sink without a schema: every named column
                                  exists and takes text */
};

/* One value of a row, ready for the database: 16 bytes, so that a batch of
** a chunk's rows stays small next to the chunk. */
struct Value {
    union {
        int64_t i;           /* Int */
        double  r;           /* Real */
        struct {
            uint32_t off;    /* Text: offset into the batch arena */
            uint32_t len;    /* Text: bytes */
        } t;
    };
    enum Kind : uint8_t { Null, Int, Real, Text } kind = Null;
};

/* A row's place in the load: data file, row of the file, then target table
** (a row may go to several tables). Keys order rows as the files hold them. */
struct RowKey {
    uint32_t file_no = 0;
    int64_t  row_no = 0;     /* number of the row in its data file, from 1 */
    uint32_t table = 0;
    auto operator<=>(const RowKey &) const = default;
};

/* Where a row of a batch stands in its data file, for the bad-data file and
** the log when the database refuses it. */
struct RowSource {
    uint32_t off = 0;      /* start of the row in the batch's `text` */
    uint32_t len = 0;      /* the row as read, its terminator included */
    int64_t  row_no = 0;   /* number of the row in its data file, from 1 */
};

/* Rows of one table converted by one worker from one chunk: values row after
** row, texts in one arena, and where each row came from. */
struct RowBatch {
    uint32_t           table = 0;      /* index of the target table */
    uint32_t           width = 0;      /* values per row */
    std::vector<Value> values;         /* rows * width */
    std::string        arena;          /* bytes of the text values */
    uint32_t           file_no = 0;    /* the data file of the chunk */
    const char        *text = nullptr; /* the chunk as read: valid until the loader
                                          gives the chunk back, after insert() */
    std::vector<RowSource> src;        /* one per row */
    void              *chunk = nullptr;/* the loader's hold on the chunk */
    uint64_t rows() const { return width == 0 ? 0 : values.size() / width; }
};

/* A row the database refused (rule 4). */
struct Refused {
    uint32_t           table = 0;
    uint32_t           file_no = 0;
    int64_t            row_no = 0;
    std::string_view   text;           /* the row as read */
    std::string_view   message;        /* the database's, one line */
};
/* True: the load goes on; false: it stops at this row. */
using RefusalFn = std::function<bool(const Refused &)>;

/* How long settle() may wait for a lock another transaction holds. */
enum class LockWait { Bounded, Unbounded };
enum class Settled {
    Done,      /* every row sent: kept in the open transaction or reported refused */
    Blocked,   /* a bounded wait ran out or the server ended the transaction for a
                  conflict; nothing is kept, the rows are sent again by the next settle() */
    Failed,    /* err says why; the transaction is to be rolled back */
};

class Sink {
public:
    virtual ~Sink() = default;
    /* Fills desc for the table; false with err set when it cannot. Names
    ** follow the database's own rules for quoted and unquoted names. */
    virtual bool describe(const TableName &table, TableDesc &desc, std::string &err) = 0;
    /* Prepares the insert of `cols` (names) into table number `table_no`. */
    virtual bool prepare(uint32_t table_no, const TableName &table,
                         const std::vector<std::string> &cols, std::string &err) = 0;
    virtual bool begin(std::string &err) = 0;
    /* Stores rows [from, to) of the batch (rule 4 for refused rows); the
    ** batch may be released when this returns. False with err when the
    ** transaction cannot go on (it is then to be rolled back). */
    virtual bool insert(const RowBatch &batch, uint64_t from, uint64_t to, const RefusalFn &on_refused,
                        std::string &err) = 0;
    /* Makes the transaction's rows durable and adds to committed[table] the
    ** rows of each table it stored; rows refused only now are reported as
    ** insert() reports them. False with err when nothing was committed. */
    virtual bool commit(const RefusalFn &on_refused, std::vector<int64_t> &committed, std::string &err) = 0;
    virtual void rollback() = 0;
    /* Rule 5: true when insert() reports every refused row, false when
    ** settle() does. */
    virtual bool refuses_on_insert() const { return true; }
    /* Sends the transaction's rows, reporting the refused ones, and keeps the
    ** rest in the open transaction. */
    virtual Settled settle(const RefusalFn &, LockWait, std::string &) { return Settled::Done; }
    /* Rolls back what settle() sent and keeps the rows, without those already
    ** reported refused, for the next settle(). */
    virtual void withdraw() {}
    /* Keeps in the open transaction only the rows before `end`, sent again
    ** (rows already refused left out; a row refused now is reported). False
    ** with err when the transaction cannot go on. */
    virtual bool keep_before(const RowKey &, const RefusalFn &, std::string &err)
    {
        err = "this database keeps no rows to take back";
        return false;
    }
    /* Removes every row of the table within the open transaction (rule 6;
    ** load mode REPLACE). */
    virtual bool truncate(const TableName &table, std::string &err) = 0;
    /* Rows the open transaction would store if committed now (after settle(),
    ** for a sink that sends rows there). */
    virtual uint64_t rows_held() const = 0;
    /* Number of rows in the table (load mode INSERT needs an empty table). */
    virtual int64_t row_count(const TableName &table, std::string &err) = 0;
    /* How the rows of a prepared table reach the database, when the log
    ** should say it (a sharded table, a slower path); empty otherwise. */
    virtual std::string route_note(uint32_t /*table_no*/) const { return {}; }
};

/* The sink of a db= argument: ":none:", a PostgreSQL connection string or
** URI, else an SQLite database file (sink.cpp). */
std::unique_ptr<Sink> make_sink(const std::string &db, std::string &err);
/* A database server: it takes rows on several connections at once. */
bool is_server_target(const std::string &db);
/* The target as the log names it, never with a password. */
std::string target_display_name(const std::string &db);

/* Settles through `send` (one try of Sink::settle) again after a conflict
** with a transaction of another program, which is no row's fault: a few
** times, with growing pauses, under an unbounded wait; at once under a
** bounded one, whose caller decides what to do (sink.cpp). */
Settled settle_with_retries(const std::function<Settled()> &send, LockWait wait);

/* SQLite database at path (created when missing). */
std::unique_ptr<Sink> make_sqlite_sink(const std::string &path, std::string &err);
/* The sink that stores nothing (db=:none:): every table exists, every
** column takes text; rows are counted and dropped. */
std::unique_ptr<Sink> make_none_sink();

/* PostgreSQL server by libpq connection string or postgresql:// URI (sink_pg.cpp). */
bool is_pg_target(const std::string &db);
std::unique_ptr<Sink> make_pg_sink(const std::string &conninfo, std::string &err);
/* The target as the log names it: database, host, port and user, never a password. */
std::string pg_display_name(const std::string &conninfo);
/* mode=OUT from PostgreSQL (tool.h's ExportRequest; the exit code). */
struct ExportRequest;
int run_pg_export(const ExportRequest &req);

/* MariaDB or MySQL-protocol server by mariadb:// or mysql:// URI (sink_maria.cpp);
** a Spider table is loaded shard by shard. */
bool is_maria_target(const std::string &db);
std::unique_ptr<Sink> make_maria_sink(const std::string &uri, std::string &err);
/* The target as the log names it, never with its password. */
std::string maria_display_name(const std::string &uri);
/* mode=OUT from MariaDB (the exit code). */
int run_maria_export(const ExportRequest &req);

/* Library type code and length of a declared SQL type. */
void map_decl_type(const std::string &decl, uint16_t &type, uint32_t &length);

}  // namespace qxfldr

#endif

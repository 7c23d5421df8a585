/*
** Export from PostgreSQL: a query's rows become typed batches (runtime/qxdta.h)
** that fexp_bdta_cnvt turns into text, as for any other source.
**
** The query runs in libpq's single-row mode, so a result of any size is
** streamed, never held whole. Values arrive as text in the session's ISO
** date style and become the typed value of the column's code
** (export_type_code in pg_catalog.h): integers, floats, exact decimals,
** bytes, dates and times; every other type keeps its text form. A value
** that has no typed form (a decimal past 38 digits, "infinity" dates, a year
** past 9999) stops the export with a message naming the column and value.
**
** An export only reads, and runs exactly one statement: the query runs in a
** READ ONLY transaction, and goes to the server in the extended protocol,
** whose parser refuses a text of several statements (so "SELECT ...; DROP
** TABLE t" drops nothing).
*/
#ifndef QXFLDR_PG_EXPORT_H
#define QXFLDR_PG_EXPORT_H

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qxdta.h"
#include "qxmem.h"

namespace qxpg {

struct ExportColumn {
    std::string name;     /* result column name */
    Oid         type_oid; /* server type */
    uint16_t    qx_type;  /* library type code */
};

class Exporter {
public:
    Exporter() = default;
    Exporter(const Exporter &) = delete;
    Exporter &operator=(const Exporter &) = delete;
    ~Exporter();

    /*
    ** Sets the session's output styles, opens a READ ONLY transaction and
    ** starts `sql`. False with a one-line `error` when the server refuses it
    ** or it returns no rows (a statement that is no query); refused() then
    ** tells whether the text is no single query that only reads (several
    ** statements, or one that writes).
    */
    bool start(PGconn *conn, const std::string &sql, std::string &error);
    bool refused() const { return refused_; }

    const std::vector<ExportColumn> &columns() const { return cols_; }
    /* The type codes of the columns, for fldr_bdta_create. */
    std::vector<uint16_t> types() const;

    /*
    ** Clears `batch` (made with the columns' types and a row capacity of at
    ** least `max_rows`) and fills it with the next rows, at most `max_rows`.
    ** Returns the rows filled, 0 at the end of the result, -1 with `error`.
    */
    int64_t next_batch(fldr_env *env, bdta3 *batch, uint32_t max_rows, std::string &error);

    /* Rows handed out so far. */
    uint64_t rows() const { return rows_; }

private:
    bool store(fldr_env *env, bdta3_col *col, uint32_t row, const ExportColumn &c,
               const char *text, int len, std::string &error);
    void finish();

    PGconn *conn_ = nullptr;
    PGresult *pending_ = nullptr;   /* a row read but not yet handed out */
    bool done_ = true;              /* the result is exhausted (or never started) */
    bool refused_ = false;          /* start() found the text no single query that only reads */
    bool in_transaction_ = false;   /* start() opened the READ ONLY transaction; finish() ends it */
    uint64_t rows_ = 0;
    std::vector<ExportColumn> cols_;
};

/*
** Text-to-value readers, exposed for tests. Each returns false when the text
** has no value of the type.
*/
bool parse_decimal(const char *text, qxdta_dec &out);
/* ISO date, time or timestamp text by library type code; "BC" years become negative. */
bool parse_datetime(const char *text, uint16_t qx_type, qxdta_time &out);

/* Stores a server's text form of a value (NUL-terminated, `len` bytes) in
** row `row` of col as type qx_type: numbers, decimals, dates and times are
** read, any other type is kept as its bytes. False with `error` naming the
** column `name` when the text has no value of the type or memory runs out.
** MariaDB's export reads its values with it too. */
bool store_text_value(fldr_env *env, bdta3_col *col, uint32_t row, uint16_t qx_type,
                      const std::string &name, const char *text, size_t len, std::string &error);

} // namespace qxpg

#endif

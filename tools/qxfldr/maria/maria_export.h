/*
** Export from MariaDB: a query's rows become typed batches (runtime/qxdta.h)
** that fexp_bdta_cnvt turns into text, as for any other source.
**
** The text is prepared first (never run) and refused unless it is one
** statement that returns rows; it then runs in one read-only transaction and its rows are streamed
** (mysql_use_result), never held whole. Values arrive as text and become
** the typed value of the column's code: integers, floats, exact decimals,
** dates and timestamps; binary strings keep their bytes; every other type
** (TIME, which may pass 24 hours, BIT, unsigned BIGINT) keeps its text
** form. A value with no typed form (a zero date) stops the export with a
** message naming the column and the value.
*/
#ifndef QXFLDR_MARIA_EXPORT_H
#define QXFLDR_MARIA_EXPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "maria_conn.h"
#include "qxdta.h"
#include "qxmem.h"

namespace qxmaria {

struct ExportColumn {
    std::string name;
    uint16_t    qx_type;
};

/* Library type code of a result column. */
uint16_t export_type_code(const MYSQL_FIELD &field);

class Exporter {
public:
    Exporter() = default;
    Exporter(const Exporter &) = delete;
    Exporter &operator=(const Exporter &) = delete;
    ~Exporter();

    /* Opens the read-only transaction and starts `sql`; false with a
    ** one-line error when the server refuses it or it returns no rows. */
    bool start(Conn &conn, const std::string &sql, std::string &error);
    std::vector<uint16_t> types() const;
    /* start() failed because the text is no single read-only query. */
    bool refused() const { return refused_; }
    /* Clears `batch` and fills it with at most `max_rows` rows; the rows
    ** filled, 0 at the end, -1 with error. */
    int64_t next_batch(fldr_env *env, bdta3 *batch, uint32_t max_rows, std::string &error);

private:
    bool store(fldr_env *env, bdta3_col *col, uint32_t row, const ExportColumn &c, const char *text,
               unsigned long len, std::string &error);
    void finish();
    static std::string not_a_query(Conn &conn, const std::string &sql, std::string &error);

    Conn *conn_ = nullptr;
    bool refused_ = false;
    MYSQL_RES *res_ = nullptr;
    std::vector<ExportColumn> cols_;
};

} // namespace qxmaria

#endif

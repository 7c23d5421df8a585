/*
** Export from PostgreSQL: streamed rows to typed batches. See pg_export.h.
*/
#include "pg_export.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "pg_catalog.h"
#include "pg_conn.h"
#include "qxcalc.h"

namespace qxpg {

namespace {

/* Reads exactly `n` digits at *p; advances past them. */
bool read_digits(const char *&p, int n, int &value)
{
    value = 0;
    for (int i = 0; i < n; ++i, ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + (*p - '0');
    }
    return true;
}

/* HH:MM:SS[.fraction] */
bool read_time(const char *&p, qxtime_fields &f)
{
    int h, m, s;
    if (!read_digits(p, 2, h) || *p++ != ':' || !read_digits(p, 2, m) || *p++ != ':' ||
        !read_digits(p, 2, s))
        return false;
    if (h > 24 || m > 59 || s > 59)
        return false;
    f.hour = static_cast<uint8_t>(h);
    f.minute = static_cast<uint8_t>(m);
    f.second = static_cast<uint8_t>(s);
    f.nanos = 0;
    if (*p == '.') {
        ++p;
        uint32_t scale = 100000000;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p, ++digits)
            if (digits < 9) {
                f.nanos += static_cast<uint32_t>(*p - '0') * scale;
                scale /= 10;
            }
        if (digits == 0)
            return false;
    }
    return true;
}

/* +HH[:MM[:SS]] or -HH[:MM[:SS]]; seconds of an offset are dropped. */
bool read_zone(const char *&p, qxtime_fields &f)
{
    if (*p != '+' && *p != '-')
        return false;
    int sign = *p++ == '-' ? -1 : 1;
    int h, m = 0, s = 0;
    if (!read_digits(p, 2, h))
        return false;
    if (*p == ':') {
        ++p;
        if (!read_digits(p, 2, m))
            return false;
        if (*p == ':') {
            ++p;
            if (!read_digits(p, 2, s))
                return false;
        }
    }
    f.tz_minutes = static_cast<int16_t>(sign * (h * 60 + m));
    return true;
}

} // namespace

bool parse_decimal(const char *text, qxdta_dec &out)
{
    std::memset(&out, 0, sizeof out);
    const char *p = text;
    if (*p == '-' || *p == '+')
        out.negative = *p++ == '-';
    unsigned __int128 mag = 0;
    const unsigned __int128 limit = ~static_cast<unsigned __int128>(0) / 10 - 9;
    bool any = false, point = false;
    int scale = 0;
    for (; *p != '\0'; ++p) {
        if (*p == '.' && !point) {
            point = true;
            continue;
        }
        if (*p < '0' || *p > '9')
            return false;
        if (mag > limit)
            return false;
        mag = mag * 10 + static_cast<unsigned>(*p - '0');
        any = true;
        if (point)
            ++scale;
    }
    if (!any || scale > 38)
        return false;
    out.lo = static_cast<uint64_t>(mag);
    out.hi = static_cast<uint64_t>(mag >> 64);
    out.scale = static_cast<int16_t>(scale);
    if (mag == 0)
        out.negative = 0;
    return true;
}

bool parse_datetime(const char *text, uint16_t qx_type, qxdta_time &out)
{
    qxtime_fields f{};
    f.year = 1;
    f.month = 1;
    f.day = 1;
    const char *p = text;
    bool has_date = qx_type == QXDT_DATE || qx_type == QXDT_TIMESTAMP ||
                    qx_type == QXDT_TIMESTAMP_TZ;
    bool has_time = qx_type != QXDT_DATE;
    bool has_zone = qx_type == QXDT_TIME_TZ || qx_type == QXDT_TIMESTAMP_TZ;
    if (has_date) {
        int y, mo, d;
        // Years past 9999 have more digits; the value has no room for them.
        if (!read_digits(p, 4, y) || *p++ != '-' || !read_digits(p, 2, mo) || *p++ != '-' ||
            !read_digits(p, 2, d))
            return false;
        if (y == 0 || mo < 1 || mo > 12 || d < 1 || d > 31)
            return false;
        f.year = static_cast<int16_t>(y);
        f.month = static_cast<uint8_t>(mo);
        f.day = static_cast<uint8_t>(d);
        if (has_time && *p++ != ' ')
            return false;
    }
    if (has_time && !read_time(p, f))
        return false;
    if (has_zone && !read_zone(p, f))
        return false;
    if (has_date && std::strcmp(p, " BC") == 0) {
        if (f.year > 4712)
            return false;
        f.year = static_cast<int16_t>(-f.year);
        p += 3;
    }
    if (*p != '\0')
        return false;
    // 24:00:00 is a valid time of day for the server, not for the value.
    if (f.hour == 24) {
        if (f.minute != 0 || f.second != 0 || f.nanos != 0 || has_date)
            return false;
        f.hour = 23;
        f.minute = 59;
        f.second = 59;
        f.nanos = 999999999;
    }
    qxtime_encode(&f, out.b);
    return true;
}

Exporter::~Exporter() { finish(); }

void Exporter::finish()
{
    PQclear(pending_);
    pending_ = nullptr;
    if (!done_ && conn_ != nullptr) {
        // Stop the server sending the rest, then drain what is in flight.
        if (PGcancel *cancel = PQgetCancel(conn_)) {
            char buf[256];
            PQcancel(cancel, buf, sizeof buf);
            PQfreeCancel(cancel);
        }
        while (PGresult *res = PQgetResult(conn_))
            PQclear(res);
    }
    done_ = true;
    // The read-only transaction has nothing to keep; the connection is free again.
    if (in_transaction_ && conn_ != nullptr)
        PQclear(PQexec(conn_, "ROLLBACK"));
    in_transaction_ = false;
}

namespace {

/*
** Why the server refused `res` when the text is no single query, or "". Its
** parser refuses several statements in the extended protocol with a syntax
** error (42601) that, unlike every syntax error of a text, points at no
** position in it; a statement that writes fails in the READ ONLY
** transaction with 25006.
*/
std::string not_a_query(PGconn *conn, const PGresult *res)
{
    const char *state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    if (state == nullptr)
        return "";
    if (std::strcmp(state, "42601") == 0 && PQresultErrorField(res, PG_DIAG_STATEMENT_POSITION) == nullptr)
        return "sql= holds more than one statement; an export runs exactly one query";
    if (std::strcmp(state, "25006") == 0)
        return "sql= would change the database; an export only reads (" + result_message(conn, res) + ")";
    return "";
}

} // namespace

bool Exporter::start(PGconn *conn, const std::string &sql, std::string &error)
{
    finish();
    conn_ = conn;
    rows_ = 0;
    cols_.clear();
    refused_ = false;
    Result set(PQexec(conn, "SET DateStyle TO ISO, YMD; SET IntervalStyle TO postgres; "
                            "SET extra_float_digits TO 3; SET bytea_output TO hex"));
    Result begin(set.status() == PGRES_COMMAND_OK ? PQexec(conn, "BEGIN TRANSACTION READ ONLY") : nullptr);
    if (set.status() != PGRES_COMMAND_OK || begin.status() != PGRES_COMMAND_OK) {
        error = "cannot prepare the export session: " +
                result_message(conn, set.status() != PGRES_COMMAND_OK ? set.get() : begin.get());
        return false;
    }
    in_transaction_ = true;
    if (PQsendQueryParams(conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) != 1) {
        error = "cannot send the export query: " + one_line(PQerrorMessage(conn));
        finish();
        return false;
    }
    PQsetSingleRowMode(conn);
    done_ = false;
    pending_ = PQgetResult(conn);
    ExecStatusType st = PQresultStatus(pending_);
    if (st != PGRES_SINGLE_TUPLE && st != PGRES_TUPLES_OK) {
        error = not_a_query(conn, pending_);
        refused_ = !error.empty();
        if (!refused_)
            error = st == PGRES_COMMAND_OK ? "the export statement returns no rows: " + sql
                                           : "the export query failed: " + result_message(conn, pending_);
        // Drain the rest of the query's results.
        PQclear(pending_);
        pending_ = nullptr;
        while (PGresult *res = PQgetResult(conn))
            PQclear(res);
        done_ = true;
        finish();
        return false;
    }
    int n = PQnfields(pending_);
    for (int i = 0; i < n; ++i) {
        Oid oid = PQftype(pending_, i);
        cols_.push_back(ExportColumn{PQfname(pending_, i), oid, export_type_code(oid)});
    }
    return true;
}

std::vector<uint16_t> Exporter::types() const
{
    std::vector<uint16_t> out;
    for (const ExportColumn &c : cols_)
        out.push_back(c.qx_type);
    return out;
}

bool store_text_value(fldr_env *env, bdta3_col *col, uint32_t row, uint16_t qx_type,
                      const std::string &name, const char *text, size_t len, std::string &error)
{
    void *value = bdta3_col_value(col, row);
    bool ok = true;
    switch (qx_type) {
    case QXDT_BIT:   /* PostgreSQL's boolean is t or f; MariaDB's is a number */
        *static_cast<uint8_t *>(value) = text[0] == 't' || text[0] == '1' ? 1 : 0;
        break;
    case QXDT_SMALLINT:
        *static_cast<int16_t *>(value) = static_cast<int16_t>(std::strtol(text, nullptr, 10));
        break;
    case QXDT_INT:
        *static_cast<int32_t *>(value) = static_cast<int32_t>(std::strtol(text, nullptr, 10));
        break;
    case QXDT_BIGINT:
        *static_cast<int64_t *>(value) = std::strtoll(text, nullptr, 10);
        break;
    case QXDT_FLOAT:
        *static_cast<float *>(value) = std::strtof(text, nullptr);
        break;
    case QXDT_DOUBLE:
        *static_cast<double *>(value) = std::strtod(text, nullptr);
        break;
    case QXDT_DEC:
        ok = parse_decimal(text, *static_cast<qxdta_dec *>(value));
        break;
    case QXDT_DATE:
    case QXDT_TIME:
    case QXDT_TIME_TZ:
    case QXDT_TIMESTAMP:
    case QXDT_TIMESTAMP_TZ:
        ok = parse_datetime(text, qx_type, *static_cast<qxdta_time *>(value));
        break;
    default:
        if (bdta3_col_assign_str(env, env, col, row, text, static_cast<uint32_t>(len), 0) != 0) {
            error = "out of memory while exporting column " + name;
            return false;
        }
        return true;
    }
    if (!ok) {
        error = "value \"" + std::string(text, len) + "\" of column " + name + " has no exportable form";
        return false;
    }
    col->data->nulls[row] = 1;
    if (col->row_count < row + 1)
        col->row_count = row + 1;
    return true;
}

bool Exporter::store(fldr_env *env, bdta3_col *col, uint32_t row, const ExportColumn &c,
                     const char *text, int len, std::string &error)
{
    const size_t size = static_cast<size_t>(len);
    switch (c.qx_type) {
    case QXDT_VARBINARY: {
        // bytea arrives as \x and two hexadecimal digits a byte.
        bool ok = len >= 2 && text[0] == '\\' && text[1] == 'x' && len % 2 == 0;
        std::string bytes;
        bytes.reserve(size / 2);
        for (int i = 2; ok && i < len; i += 2) {
            uint8_t byte = 0;
            ok = std::from_chars(text + i, text + i + 2, byte, 16).ptr == text + i + 2;
            bytes += static_cast<char>(byte);
        }
        if (!ok) {
            error = "value \"" + std::string(text, size) + "\" of column " + c.name + " has no exportable form";
            return false;
        }
        return store_text_value(env, col, row, QXDT_VARBINARY, c.name, bytes.data(), bytes.size(), error);
    }
    default:
        return store_text_value(env, col, row, c.qx_type, c.name, text, size, error);
    }
}

int64_t Exporter::next_batch(fldr_env *env, bdta3 *batch, uint32_t max_rows, std::string &error)
{
    if (batch == nullptr || batch->col_count != cols_.size()) {
        error = "the export batch does not match the query's columns";
        return -1;
    }
    for (uint16_t i = 0; i < batch->col_count; ++i)
        if (batch->cols[i].data == nullptr || batch->cols[i].data->cap < max_rows ||
            batch->cols[i].type != cols_[i].qx_type) {
            error = "the export batch does not match the query's columns";
            return -1;
        }
    bdta3_clear(env, batch);
    uint32_t filled = 0;
    while (filled < max_rows && !done_) {
        if (pending_ == nullptr)
            pending_ = PQgetResult(conn_);
        if (pending_ == nullptr) {
            done_ = true;
            break;
        }
        ExecStatusType st = PQresultStatus(pending_);
        if (st == PGRES_TUPLES_OK) {
            // The zero-row result that ends single-row mode.
            PQclear(pending_);
            pending_ = nullptr;
            continue;
        }
        if (st != PGRES_SINGLE_TUPLE) {
            error = (PQstatus(conn_) == CONNECTION_BAD ? "connection to PostgreSQL lost during the export: "
                                                       : "the export query failed: ") +
                    result_message(conn_, pending_);
            finish();
            return -1;
        }
        for (uint16_t i = 0; i < batch->col_count; ++i) {
            bdta3_col *col = &batch->cols[i];
            if (PQgetisnull(pending_, 0, i)) {
                col->data->nulls[filled] = 0;
                if (col->row_count < filled + 1)
                    col->row_count = filled + 1;
                continue;
            }
            if (!store(env, col, filled, cols_[i], PQgetvalue(pending_, 0, i),
                       PQgetlength(pending_, 0, i), error)) {
                finish();
                return -1;
            }
        }
        PQclear(pending_);
        pending_ = nullptr;
        ++filled;
    }
    batch->row_count = filled;
    rows_ += filled;
    return filled;
}

} // namespace qxpg

/*
** Export from MariaDB: see maria_export.h.
*/
#include "maria_export.h"

#include <mysqld_error.h>

#include <cctype>
#include <cstring>

#include "pg_export.h"   /* the text readers of values */

namespace qxmaria {

namespace {

/* The character-set number of binary strings. */
constexpr unsigned kBinaryCharset = 63;

} // namespace

uint16_t export_type_code(const MYSQL_FIELD &field)
{
    const bool is_unsigned = (field.flags & UNSIGNED_FLAG) != 0;
    switch (field.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR: return is_unsigned && field.type == MYSQL_TYPE_SHORT ? QXDT_INT : QXDT_SMALLINT;
    case MYSQL_TYPE_INT24: return QXDT_INT;
    case MYSQL_TYPE_LONG: return is_unsigned ? QXDT_BIGINT : QXDT_INT;
    case MYSQL_TYPE_LONGLONG: return is_unsigned ? QXDT_VARCHAR : QXDT_BIGINT;
    case MYSQL_TYPE_FLOAT: return QXDT_FLOAT;
    case MYSQL_TYPE_DOUBLE: return QXDT_DOUBLE;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL: return QXDT_DEC;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE: return QXDT_DATE;
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: return QXDT_TIMESTAMP;
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_VARCHAR: return field.charsetnr == kBinaryCharset ? QXDT_VARBINARY : QXDT_VARCHAR;
    default: return QXDT_VARCHAR;
    }
}

Exporter::~Exporter()
{
    finish();
}

void Exporter::finish()
{
    if (res_ != nullptr)
        mysql_free_result(res_);
    res_ = nullptr;
    if (conn_ != nullptr) {
        std::string ignored;
        conn_->exec("ROLLBACK", ignored);   /* read-only: nothing to keep */
    }
    conn_ = nullptr;
}

/*
** Why `sql` is no single query, or "": it is prepared first, never run, so a
** statement that writes or changes the schema is refused before it runs
** (DDL would end even a READ ONLY transaction). Several statements fail to
** prepare with a syntax error.
*/
std::string Exporter::not_a_query(Conn &conn, const std::string &sql, std::string &error)
{
    MYSQL_STMT *stmt = mysql_stmt_init(conn.get());
    if (stmt == nullptr) {
        error = "out of memory";
        return "";
    }
    std::string why;
    if (mysql_stmt_prepare(stmt, sql.data(), sql.size()) != 0) {
        const bool parse_error = mysql_stmt_errno(stmt) == ER_PARSE_ERROR;
        error = "the export query failed: " + one_line(mysql_stmt_error(stmt));
        std::string text = sql;
        while (!text.empty() && (text.back() == ';' || std::isspace(static_cast<unsigned char>(text.back()))))
            text.pop_back();
        if (parse_error && text.find(';') != std::string::npos)
            why = "sql= holds more than one statement; an export runs exactly one query";
    } else if (mysql_stmt_field_count(stmt) == 0) {
        why = "sql= returns no rows; an export runs one query and only reads";
    }
    mysql_stmt_close(stmt);
    return why;
}

bool Exporter::start(Conn &conn, const std::string &sql, std::string &error)
{
    std::string err;
    refused_ = false;
    if (const std::string why = not_a_query(conn, sql, error); !why.empty() || !error.empty()) {
        refused_ = !why.empty();
        if (refused_)
            error = why;
        return false;
    }
    if (!conn.exec("START TRANSACTION READ ONLY", err)) {
        error = "the export cannot start: " + err;
        return false;
    }
    conn_ = &conn;
    if (mysql_real_query(conn.get(), sql.data(), sql.size()) != 0) {
        refused_ = conn.errnum() == ER_CANT_EXECUTE_IN_READ_ONLY_TRANSACTION;
        error = refused_ ? "sql= would change the database; an export only reads (" + conn.error() + ")"
                         : "the export query failed: " + conn.error();
        finish();
        return false;
    }
    res_ = mysql_use_result(conn.get());
    if (res_ == nullptr) {
        error = mysql_errno(conn.get()) != 0 ? "the export query failed: " + conn.error()
                                              : std::string("the export statement returns no rows");
        finish();
        return false;
    }
    const unsigned n = mysql_num_fields(res_);
    const MYSQL_FIELD *fields = mysql_fetch_fields(res_);
    for (unsigned i = 0; i < n; i++)
        cols_.push_back(ExportColumn{fields[i].name, export_type_code(fields[i])});
    return true;
}

std::vector<uint16_t> Exporter::types() const
{
    std::vector<uint16_t> out;
    for (const ExportColumn &c : cols_)
        out.push_back(c.qx_type);
    return out;
}

bool Exporter::store(fldr_env *env, bdta3_col *col, uint32_t row, const ExportColumn &c, const char *text,
                     unsigned long len, std::string &error)
{
    // The text protocol ends each value with a NUL; the copy keeps the
    // readers safe should a value ever arrive without one.
    const std::string s(text, len);
    return qxpg::store_text_value(env, col, row, c.qx_type, c.name, s.c_str(), s.size(), error);
}

int64_t Exporter::next_batch(fldr_env *env, bdta3 *batch, uint32_t max_rows, std::string &error)
{
    if (batch == nullptr || batch->col_count != cols_.size()) {
        error = "the export batch does not match the query's columns";
        return -1;
    }
    bdta3_clear(env, batch);
    uint32_t filled = 0;
    while (filled < max_rows && res_ != nullptr) {
        MYSQL_ROW row = mysql_fetch_row(res_);
        if (row == nullptr) {
            if (mysql_errno(conn_->get()) != 0) {
                error = (conn_->lost() ? "connection to MariaDB lost during the export: " : "the export query failed: ") +
                        conn_->error();
                finish();
                return -1;
            }
            finish();
            break;
        }
        const unsigned long *lens = mysql_fetch_lengths(res_);
        for (uint16_t i = 0; i < batch->col_count; ++i) {
            bdta3_col *col = &batch->cols[i];
            if (row[i] == nullptr) {
                col->data->nulls[filled] = 0;
                if (col->row_count < filled + 1)
                    col->row_count = filled + 1;
                continue;
            }
            if (!store(env, col, filled, cols_[i], row[i], lens[i], error)) {
                finish();
                return -1;
            }
        }
        ++filled;
    }
    batch->row_count = filled;
    return filled;
}

} // namespace qxmaria

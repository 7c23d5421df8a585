/*
** The export direction: a query's rows fetched into typed batches (here
** from SQLite, from PostgreSQL in sink_pg.cpp), converted to text by the
** library and written with the field and row separators (ExportText).
*/
#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "outfile.h"
#include "qxdta.h"
#include "qxfldr_comm.h"
#include "sink.h"
#include "tool.h"

namespace qxfldr {

namespace {

constexpr uint32_t kBatchRows = 1024;

uint16_t column_type(sqlite3_stmt *stmt, int c)
{
    const char *decl = sqlite3_column_decltype(stmt, c);
    if (decl != nullptr) {
        uint16_t type = QXDT_VARCHAR;
        uint32_t len = 0;
        map_decl_type(decl, type, len);
        if (type == QXDT_BIGINT || type == QXDT_INT || type == QXDT_SMALLINT || type == QXDT_TINYINT)
            return QXDT_BIGINT;
        if (type == QXDT_DOUBLE)
            return QXDT_DOUBLE;
        return QXDT_VARCHAR;
    }
    switch (sqlite3_column_type(stmt, c)) {
    case SQLITE_INTEGER: return QXDT_BIGINT;
    case SQLITE_FLOAT: return QXDT_DOUBLE;
    default: return QXDT_VARCHAR;
    }
}

/* Why the prepared query may not run: an export runs one statement that
** only reads. A second statement would otherwise be left unread. */
std::string refuse_query(sqlite3 *db, sqlite3_stmt *stmt, const char *tail)
{
    sqlite3_stmt *next = nullptr;
    const int rc = sqlite3_prepare_v2(db, tail, -1, &next, nullptr);
    sqlite3_finalize(next);
    if (rc != SQLITE_OK || next != nullptr)
        return "sql= holds more than one statement; an export runs exactly one query";
    if (sqlite3_stmt_readonly(stmt) == 0)
        return "sql= would change the database; an export only reads";
    return "";
}

}  // namespace

int refuse_export(const std::string &why)
{
    std::fprintf(stderr, "qxfldr: %s\nqxfldr: nothing was exported\n", why.c_str());
    return kExitUsage;
}

ExportText::ExportText(const ExportRequest &req, uint32_t batch_rows) : req_(req), batch_rows_(batch_rows)
{
    fldr_init();
}

ExportText::~ExportText()
{
    if (out_ != nullptr)
        std::fclose(out_);
    if (text_ != nullptr)
        bdta3_free2(fldr_get_env(), nullptr, text_);
}

bool ExportText::open(std::string &error)
{
    out_ = std::fopen(req_.data.c_str(), "wb");
    if (out_ == nullptr)
        error = "cannot create " + req_.data + ": " + std::strerror(errno);
    return out_ != nullptr;
}

/* The conversion leaves a value it cannot write (text over FEXP_MAX_TEXT
** bytes, a date out of range) without text, and the rest of its column with
** it. Written as they are, those rows would read as empty fields: the export
** stops at the first such value instead. */
bool ExportText::every_value_has_text(const bdta3 *src, uint32_t rows, std::string &error) const
{
    for (uint16_t c = 0; c < src->col_count; c++) {
        const bdta3_col *from = &src->cols[c], *to = &text_->cols[c];
        for (uint32_t r = 0; r < rows; r++)
            if (from->data->nulls[bdta3_col_src_row(from, r)] != 0 && to->data->nulls[bdta3_col_src_row(to, r)] == 0) {
                error = "row " + std::to_string(rows_ + r + 1) + ", column " + std::to_string(c + 1) +
                        ": the value has no text form of at most " + std::to_string(FEXP_MAX_TEXT) + " bytes";
                return false;
            }
    }
    return true;
}

bool ExportText::write(bdta3 *src, uint32_t rows, std::string &error)
{
    fldr_env *env = fldr_get_env();
    if (text_ == nullptr) {
        const std::vector<uint16_t> text_types(src->col_count, QXDT_VARCHAR);
        text_ = static_cast<bdta3 *>(fldr_bdta_create(env, nullptr, batch_rows_, src->col_count, text_types.data()));
        if (text_ == nullptr) {
            error = "out of memory";
            return false;
        }
    }
    bdta3_clear(env, text_);
    src->row_count = rows;
    if (const int32_t crc = fexp_bdta_cnvt(env, src, text_, nullptr, 0); crc != 0) {
        error = "conversion to text failed (" + std::to_string(crc) + ")";
        return false;
    }
    if (!every_value_has_text(src, rows, error))
        return false;
    for (uint32_t r = 0; r < rows; r++) {
        line_.clear();
        for (uint16_t c = 0; c < text_->col_count; c++) {
            if (c > 0)
                line_ += req_.field_sep;
            const bdta3_col *col = &text_->cols[c];
            const uint32_t sr = bdta3_col_src_row(col, r);
            if (col->data->nulls[sr] != 0) {
                const auto *v = static_cast<const qxdta_str *>(bdta3_col_value(col, sr));
                line_.append(v->ptr, v->len);
            }
        }
        line_ += req_.row_sep;
        if (std::fwrite(line_.data(), 1, line_.size(), out_) != line_.size()) {
            error = "cannot write " + req_.data + ": " + std::strerror(errno);
            return false;
        }
    }
    rows_ += rows;
    return true;
}

int ExportText::copy_batches(const std::vector<uint16_t> &types, const NextBatch &next)
{
    fldr_env *env = fldr_get_env();
    std::string error;
    if (!open(error))
        return finish(error);
    auto *src = static_cast<bdta3 *>(
        fldr_bdta_create(env, nullptr, batch_rows_, static_cast<uint32_t>(types.size()), types.data()));
    if (src == nullptr)
        error = "out of memory";
    while (error.empty()) {
        const int64_t n = next(src, batch_rows_, error);
        if (n <= 0 || !write(src, static_cast<uint32_t>(n), error))
            break;
    }
    if (src != nullptr)
        bdta3_free2(env, nullptr, src);
    return finish(error);
}

int ExportText::finish(std::string error)
{
    if (out_ != nullptr && std::fclose(out_) != 0 && error.empty())
        error = "cannot write " + req_.data + ": " + std::strerror(errno);
    out_ = nullptr;
    if (!error.empty()) {
        std::fprintf(stderr, "qxfldr: %s\n", error.c_str());
        fldr_print_after_export_err(error.c_str());
        return kExitFailed;
    }
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started_).count();
    if (!req_.silent) {
        char buf[1024];
        fldr_mout_lookup(buf, -10038, 3, static_cast<int64_t>(rows_), static_cast<long>(us / 1000),
                         static_cast<long>(us % 1000));
        std::fputs(buf, stdout);
    }
    return kExitOk;
}

int run_export(const ExportRequest &req)
{
    if (is_maria_target(req.db))
        return run_maria_export(req);
    if (is_pg_target(req.db))
        return run_pg_export(req);
    std::vector<LoadInput> database;
    add_load_input(database, "the database", req.db);
    if (input_at(req.data, database) != nullptr)
        return refuse_export("data=" + req.data + " is the database the query reads");
    ExportText text(req, kBatchRows);
    fldr_env *env = fldr_get_env();
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(req.db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string msg = "cannot open database " + req.db + ": " + sqlite3_errmsg(db);
        sqlite3_close(db);
        return text.finish(msg);
    }
    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    if (sqlite3_prepare_v2(db, req.sql.c_str(), -1, &stmt, &tail) != SQLITE_OK || stmt == nullptr) {
        const std::string msg = std::string("query refused: ") + sqlite3_errmsg(db);
        sqlite3_close(db);
        return text.finish(msg);
    }
    if (const std::string why = refuse_query(db, stmt, tail); !why.empty()) {
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return refuse_export(why);
    }
    std::string error;
    if (!text.open(error)) {
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return text.finish(error);
    }

    const int ncols = sqlite3_column_count(stmt);
    int rc = sqlite3_step(stmt);
    std::vector<uint16_t> types(static_cast<size_t>(ncols), QXDT_VARCHAR);
    if (rc == SQLITE_ROW)
        for (int c = 0; c < ncols; c++)
            types[static_cast<size_t>(c)] = column_type(stmt, c);
    auto *src = static_cast<bdta3 *>(fldr_bdta_create(env, nullptr, kBatchRows, static_cast<uint32_t>(ncols), types.data()));
    if (src == nullptr)
        error = "out of memory";
    while (error.empty() && rc == SQLITE_ROW) {
        /* Fill one batch. */
        uint32_t n = 0;
        while (rc == SQLITE_ROW && n < kBatchRows) {
            for (int c = 0; c < ncols; c++) {
                bdta3_col *col = &src->cols[c];
                if (sqlite3_column_type(stmt, c) == SQLITE_NULL) {
                    col->data->nulls[n] = 0;
                } else if (col->type == QXDT_BIGINT) {
                    *static_cast<int64_t *>(bdta3_col_value(col, n)) = sqlite3_column_int64(stmt, c);
                    col->data->nulls[n] = 1;
                } else if (col->type == QXDT_DOUBLE) {
                    *static_cast<double *>(bdta3_col_value(col, n)) = sqlite3_column_double(stmt, c);
                    col->data->nulls[n] = 1;
                } else {
                    const auto *t = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                    bdta3_col_assign_str(env, nullptr, col, n, t, static_cast<uint32_t>(sqlite3_column_bytes(stmt, c)), 0);
                }
                col->row_count = n + 1;
            }
            n++;
            rc = sqlite3_step(stmt);
        }
        if (!text.write(src, n, error))
            break;
        bdta3_clear(env, src);
    }
    if (error.empty() && rc != SQLITE_DONE)
        error = std::string("query failed: ") + sqlite3_errmsg(db);
    if (src != nullptr)
        bdta3_free2(env, nullptr, src);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return text.finish(error);
}

}  // namespace qxfldr

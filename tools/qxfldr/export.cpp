/*
** The export direction: a query's rows fetched from SQLite into typed
** batches, converted to text by the library (fexp_bdta_cnvt), and written
** with the field and row separators.
*/
#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

int fail(const std::string &msg)
{
    std::fprintf(stderr, "qxfldr: %s\n", msg.c_str());
    fldr_print_after_export_err(msg.c_str());
    return kExitFailed;
}

}  // namespace

int run_export(const ExportRequest &req)
{
    if (is_pg_target(req.db))
        return run_pg_export(req);
    const auto started = std::chrono::steady_clock::now();
    fldr_init();
    fldr_env *env = fldr_get_env();
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(req.db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string msg = "cannot open database " + req.db + ": " + sqlite3_errmsg(db);
        sqlite3_close(db);
        return fail(msg);
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, req.sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK || stmt == nullptr) {
        const std::string msg = std::string("query refused: ") + sqlite3_errmsg(db);
        sqlite3_close(db);
        return fail(msg);
    }
    std::FILE *out = std::fopen(req.data.c_str(), "wb");
    if (out == nullptr) {
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return fail("cannot create " + req.data + ": " + std::strerror(errno));
    }

    const int ncols = sqlite3_column_count(stmt);
    int rc = sqlite3_step(stmt);
    std::vector<uint16_t> types(static_cast<size_t>(ncols), QXDT_VARCHAR);
    const std::vector<uint16_t> text_types(static_cast<size_t>(ncols), QXDT_VARCHAR);
    if (rc == SQLITE_ROW)
        for (int c = 0; c < ncols; c++)
            types[static_cast<size_t>(c)] = column_type(stmt, c);
    bdta3 *src = bdta3_create(env, nullptr, static_cast<uint16_t>(ncols), types.data());
    bdta3 *dst = bdta3_create(env, nullptr, static_cast<uint16_t>(ncols), text_types.data());
    if (src == nullptr || dst == nullptr)
        return fail("out of memory");
    for (int c = 0; c < ncols; c++) {
        bdta3_col_data_create_low(env, nullptr, &src->cols[c], types[static_cast<size_t>(c)], kBatchRows);
        bdta3_col_data_create_low(env, nullptr, &dst->cols[c], QXDT_VARCHAR, kBatchRows);
    }

    int64_t rows = 0;
    std::string line, error;
    while (rc == SQLITE_ROW || rc == SQLITE_DONE) {
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
                    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
                    bdta3_col_assign_str(env, nullptr, col, n, text, static_cast<uint32_t>(sqlite3_column_bytes(stmt, c)), 0);
                }
                col->row_count = n + 1;
            }
            n++;
            rc = sqlite3_step(stmt);
        }
        if (n > 0) {
            src->row_count = n;
            const int32_t crc = fexp_bdta_cnvt(env, src, dst, nullptr, 0);
            if (crc != 0) {
                error = "conversion to text failed (" + std::to_string(crc) + ")";
                break;
            }
            for (uint32_t r = 0; r < n; r++) {
                line.clear();
                for (int c = 0; c < ncols; c++) {
                    if (c > 0)
                        line += req.field_sep;
                    const bdta3_col *col = &dst->cols[c];
                    const uint32_t sr = bdta3_col_src_row(col, r);
                    if (col->data->nulls[sr] != 0) {
                        const auto *v = static_cast<const qxdta_str *>(bdta3_col_value(col, sr));
                        line.append(v->ptr, v->len);
                    }
                }
                line += req.row_sep;
                if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) {
                    error = "cannot write " + req.data + ": " + std::strerror(errno);
                    break;
                }
            }
            rows += n;
            bdta3_clear(env, src);
            bdta3_clear(env, dst);
        }
        if (!error.empty() || rc == SQLITE_DONE)
            break;
    }
    if (error.empty() && rc != SQLITE_DONE && rc != SQLITE_ROW)
        error = std::string("query failed: ") + sqlite3_errmsg(db);
    if (std::fclose(out) != 0 && error.empty())
        error = "cannot write " + req.data + ": " + std::strerror(errno);
    bdta3_free2(env, nullptr, src);
    bdta3_free2(env, nullptr, dst);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    if (!error.empty())
        return fail(error);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    if (!req.silent) {
        char buf[1024];
        fldr_mout_lookup(buf, -10038, 3, static_cast<int64_t>(rows), static_cast<long>(us / 1000),
                         static_cast<long>(us % 1000));
        std::fputs(buf, stdout);
    }
    return kExitOk;
}

}  // namespace qxfldr

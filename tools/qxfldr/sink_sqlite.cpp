/*
** The SQLite sink and the sink that stores nothing.
**
** SQLite is driven from the writer thread alone (rule 3 of sink.h), over one
** connection with a rollback journal and synchronous FULL: a committed batch
** survives a killed process or a power loss, an open one is rolled back when
** the database is next opened. A bulk load mostly appends pages, which a
** rollback journal does not copy, where a write-ahead log would write every
** page twice (log, then checkpoint). The page cache is 16 MiB, so that the
** tables' growing edges stay in memory. One prepared INSERT per table is
** reused for every row.
*/
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <numeric>

#include "qxdta.h"
#include "sink.h"
#include "sql_ident.h"

namespace qxfldr {

static std::string upper(std::string text)
{
    for (auto &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void map_decl_type(const std::string &decl, uint16_t &type, uint32_t &length)
{
    const std::string t = upper(decl);
    length = 0;
    const size_t paren = t.find('(');
    if (paren != std::string::npos)
        length = static_cast<uint32_t>(std::strtoul(t.c_str() + paren + 1, nullptr, 10));
    auto has = [&t](const char *word) { return t.find(word) != std::string::npos; };
    if (has("BIGINT") || has("INTEGER"))
        type = QXDT_BIGINT;
    else if (has("SMALLINT"))
        type = QXDT_SMALLINT;
    else if (has("TINYINT"))
        type = QXDT_TINYINT;
    else if (has("INT"))
        type = QXDT_INT;
    else if (has("BOOL"))
        type = QXDT_BOOLEAN;
    else if (has("DEC") || has("NUMERIC") || has("NUMBER"))
        type = QXDT_DEC;
    else if (has("REAL") || has("FLOA") || has("DOUB"))
        type = QXDT_DOUBLE;
    else if (has("TIMESTAMP") || has("DATETIME"))
        type = QXDT_TIMESTAMP;
    else if (has("DATE"))
        type = QXDT_DATE;
    else if (has("TIME"))
        type = QXDT_TIME;
    else if (has("BLOB") || has("BINARY"))
        type = QXDT_VARBINARY;
    else if (t.rfind("CHAR", 0) == 0 || t.rfind("CHARACTER(", 0) == 0)
        type = QXDT_CHAR;
    else
        type = QXDT_VARCHAR;
    if (type != QXDT_CHAR && type != QXDT_VARCHAR && type != QXDT_VARCHAR2)
        length = 0;
}

namespace {

/* SQLite compares names without regard to ASCII case, quoted or not; a
** schema part names an attached database ("main" is the file itself). */
std::string sql_name(const TableName &table)
{
    return table.schema.empty() ? quote_ident(table.name) : quote_ident(table.schema) + "." + quote_ident(table.name);
}

class SqliteSink final : public Sink {
public:
    bool open(const std::string &path, std::string &err)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK) {
            err = "cannot open database " + path + ": " + sqlite3_errmsg(db_);
            if (const int sys = sqlite3_system_errno(db_); sys != 0)
                err += std::string(" (") + std::strerror(sys) + ")";
            return false;
        }
        sqlite3_busy_timeout(db_, 5000);
        /* A read-only database opens without complaint; find out now, before
        ** any row is read, and not at the first commit. */
        if (sqlite3_db_readonly(db_, "main") == 1) {
            err = "database " + path + " is read-only";
            return false;
        }
        if (!exec("PRAGMA journal_mode=DELETE", err) || !exec("PRAGMA synchronous=FULL", err) ||
            !exec("PRAGMA cache_size=-16384", err))
            return false;
        return true;
    }
    ~SqliteSink() override
    {
        for (auto *stmt : inserts_)
            sqlite3_finalize(stmt);
        if (in_txn_)
            rollback();
        sqlite3_close(db_);
    }

    bool describe(const TableName &table, TableDesc &desc, std::string &err) override
    {
        desc = TableDesc{};
        desc.name = table.display();
        sqlite3_stmt *stmt = nullptr;
        const std::string sql = "PRAGMA " + (table.schema.empty() ? "" : quote_ident(table.schema) + ".") +
                                "table_info(" + quote_ident(table.name) + ")";
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            err = "table " + table.display() + ": " + sqlite3_errmsg(db_);
            return false;
        }
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            TableColumn col;
            col.name = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1));
            const unsigned char *decl = sqlite3_column_text(stmt, 2);
            col.decl_type = decl != nullptr ? reinterpret_cast<const char *>(decl) : "";
            col.not_null = sqlite3_column_int(stmt, 3) != 0;
            map_decl_type(col.decl_type, col.type, col.length);
            desc.cols.push_back(std::move(col));
        }
        sqlite3_finalize(stmt);
        if (desc.cols.empty()) {
            err = "table " + table.display() + " does not exist";
            return false;
        }
        return true;
    }

    bool prepare(uint32_t table_no, const TableName &table, const std::vector<std::string> &cols,
                 std::string &err) override
    {
        std::string sql = "INSERT INTO " + sql_name(table) + " (";
        std::string marks;
        for (size_t i = 0; i < cols.size(); i++) {
            sql += (i ? ", " : "") + quote_ident(cols[i]);
            marks += i ? ", ?" : "?";
        }
        sql += ") VALUES (" + marks + ")";
        if (cols.empty())
            sql = "INSERT INTO " + sql_name(table) + " DEFAULT VALUES";
        if (inserts_.size() <= table_no) {
            inserts_.resize(table_no + 1, nullptr);
            stored_.resize(table_no + 1, 0);
        }
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &inserts_[table_no], nullptr) != SQLITE_OK) {
            err = sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }

    bool begin(std::string &err) override
    {
        if (!exec("BEGIN", err))
            return false;
        in_txn_ = true;
        return true;
    }

    bool insert(const RowBatch &batch, uint64_t from, uint64_t to, const RefusalFn &on_refused,
                std::string &err) override
    {
        sqlite3_stmt *stmt = inserts_[batch.table];
        const Value *v = batch.values.data() + from * batch.width;
        for (uint64_t row = from; row < to; row++) {
            for (uint32_t c = 0; c < batch.width; c++, v++) {
                const int idx = static_cast<int>(c) + 1;
                switch (v->kind) {
                case Value::Null: sqlite3_bind_null(stmt, idx); break;
                case Value::Int: sqlite3_bind_int64(stmt, idx, v->i); break;
                case Value::Real: sqlite3_bind_double(stmt, idx, v->r); break;
                case Value::Text:
                    sqlite3_bind_text(stmt, idx, batch.arena.data() + v->t.off, static_cast<int>(v->t.len),
                                      SQLITE_STATIC);
                    break;
                }
            }
            const int rc = sqlite3_step(stmt);
            sqlite3_reset(stmt);
            if (rc == SQLITE_DONE) {
                stored_[batch.table]++;
                continue;
            }
            if (!row_refused(rc)) {
                err = sqlite3_errmsg(db_);
                return false;
            }
            /* A failed INSERT undoes only itself: the transaction goes on. */
            const RowSource &src = batch.src[row];
            const std::string message = sqlite3_errmsg(db_);
            if (!on_refused(Refused{batch.table, batch.file_no, src.row_no,
                                    std::string_view(batch.text + src.off, src.len), message}))
                return true;
        }
        return true;
    }

    bool commit(const RefusalFn &, std::vector<int64_t> &committed, std::string &err) override
    {
        if (!exec("COMMIT", err))
            return false;
        in_txn_ = false;
        for (size_t t = 0; t < stored_.size() && t < committed.size(); t++)
            committed[t] += stored_[t];
        std::fill(stored_.begin(), stored_.end(), 0);
        return true;
    }

    void rollback() override
    {
        std::string ignored;
        exec("ROLLBACK", ignored);
        in_txn_ = false;
        std::fill(stored_.begin(), stored_.end(), 0);
    }

    uint64_t rows_held() const override
    {
        return static_cast<uint64_t>(std::accumulate(stored_.begin(), stored_.end(), int64_t{0}));
    }

    bool truncate(const TableName &table, std::string &err) override
    {
        return exec("DELETE FROM " + sql_name(table), err);
    }

    int64_t row_count(const TableName &table, std::string &err) override
    {
        sqlite3_stmt *stmt = nullptr;
        const std::string sql = "SELECT EXISTS (SELECT 1 FROM " + sql_name(table) + ")";
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            err = sqlite3_errmsg(db_);
            return -1;
        }
        int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        return n;
    }

private:
    bool exec(const std::string &sql, std::string &err)
    {
        char *msg = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
            err = msg != nullptr ? msg : sqlite3_errmsg(db_);
            sqlite3_free(msg);
            return false;
        }
        return true;
    }

    /* Errors of one row's values (a constraint, a value too big): the row is
    ** refused, the others go on. Any other error ends the transaction. */
    static bool row_refused(int rc)
    {
        const int primary = rc & 0xff;
        return primary == SQLITE_CONSTRAINT || primary == SQLITE_MISMATCH || primary == SQLITE_TOOBIG;
    }

    sqlite3                    *db_ = nullptr;
    std::vector<sqlite3_stmt *> inserts_;
    std::vector<int64_t>        stored_;   /* rows per table in the open transaction */
    bool                        in_txn_ = false;
};

class NoneSink final : public Sink {
public:
    bool describe(const TableName &table, TableDesc &desc, std::string &) override
    {
        desc = TableDesc{};
        desc.name = table.display();
        desc.any_columns = true;
        return true;
    }
    bool prepare(uint32_t, const TableName &, const std::vector<std::string> &, std::string &) override
    {
        return true;
    }
    bool begin(std::string &) override { return true; }
    bool insert(const RowBatch &batch, uint64_t from, uint64_t to, const RefusalFn &, std::string &) override
    {
        if (stored_.size() <= batch.table)
            stored_.resize(batch.table + 1, 0);
        stored_[batch.table] += static_cast<int64_t>(to - from);
        return true;
    }
    bool commit(const RefusalFn &, std::vector<int64_t> &committed, std::string &) override
    {
        for (size_t t = 0; t < stored_.size() && t < committed.size(); t++)
            committed[t] += stored_[t];
        std::fill(stored_.begin(), stored_.end(), 0);
        return true;
    }
    void rollback() override { std::fill(stored_.begin(), stored_.end(), 0); }
    uint64_t rows_held() const override
    {
        return static_cast<uint64_t>(std::accumulate(stored_.begin(), stored_.end(), int64_t{0}));
    }
    bool truncate(const TableName &, std::string &) override { return true; }
    int64_t row_count(const TableName &, std::string &) override { return 0; }

private:
    std::vector<int64_t> stored_;
};

}  // namespace

std::unique_ptr<Sink> make_sqlite_sink(const std::string &path, std::string &err)
{
    auto sink = std::make_unique<SqliteSink>();
    if (!sink->open(path, err))
        return nullptr;
    return sink;
}

std::unique_ptr<Sink> make_none_sink()
{
    return std::make_unique<NoneSink>();
}

}  // namespace qxfldr

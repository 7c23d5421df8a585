/*
** The PostgreSQL sink: db=postgresql://... or any libpq connection string
** ("host=... dbname=..."). Tables are described from the server's catalog;
** rows go to the server in COPY ... FROM STDIN (binary where every column
** allows it), one COPY per commit unit, through the batch engine of
** tools/qxfldr/pg/pg_batch.h.
**
** The loader gives every writer thread a sink of its own (sink.h rule 3),
** so each holds its own connection and one batch writer per prepared table:
** several writers stream to the server at once. Rows are encoded by
** insert() and sent by settle() (or commit()) inside one transaction per
** commit unit; a row the server refuses is found by the batch engine's
** halving search and reported with the server's message (rule 4), so the
** sink keeps each pending row's origin and text until the transaction ends:
** the loader may take rows out again before it commits (sink.h rule 5).
*/
#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>

#include "pg_batch.h"
#include "pg_catalog.h"
#include "pg_conn.h"
#include "pg_export.h"
#include "qxdta.h"
#include "qxfldr_comm.h"
#include "sink.h"
#include "tool.h"

namespace qxfldr {

namespace {

/* The name as the server resolves it: an unquoted part folds to lower case
** as the server folds it, a quoted one stays as written; without a schema
** the server's search path applies. */
std::string server_name(const TableName &table)
{
    auto part = [](const std::string &text, bool quoted) {
        std::string out = text;
        if (!quoted)
            for (char &c : out)
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c - 'A' + 'a');
        return qxpg::quote_ident(out);
    };
    const std::string name = part(table.name, table.name_quoted);
    return table.schema.empty() ? name : part(table.schema, table.schema_quoted) + "." + name;
}

bool describe_named(PGconn *conn, const TableName &table, qxpg::Table &out, std::string &err)
{
    return qxpg::describe_table(conn, server_name(table), out, err, table.display());
}

class PgSink final : public Sink {
public:
    bool open(const std::string &conninfo, std::string &err) { return conn_.open(conninfo, err); }

    bool describe(const TableName &table, TableDesc &desc, std::string &err) override
    {
        qxpg::Table t;
        if (!describe_named(conn_.get(), table, t, err))
            return false;
        desc = TableDesc{};
        desc.name = table.display();
        for (const qxpg::Column &c : t.cols) {
            TableColumn col;
            col.name = c.name;
            col.decl_type = c.type_name;
            col.type = c.qx_type;
            col.not_null = c.not_null;
            // varchar(n) and char(n): n characters (typmod holds n + 4).
            if ((c.type_oid == qxpg::OID_VARCHAR || c.type_oid == qxpg::OID_BPCHAR) && c.typmod >= 4)
                col.length = static_cast<uint32_t>(c.typmod - 4);
            desc.cols.push_back(std::move(col));
        }
        return true;
    }

    bool prepare(uint32_t table_no, const TableName &table, const std::vector<std::string> &cols,
                 std::string &err) override
    {
        auto t = std::make_unique<qxpg::Table>();
        qxpg::Table full;
        if (!describe_named(conn_.get(), table, full, err))
            return false;
        t->name = full.name;
        t->qualified = full.qualified;
        // The loader inserts the columns it names, in its order.
        for (const std::string &name : cols) {
            bool found = false;
            for (const qxpg::Column &c : full.cols)
                if (c.name == name) {
                    t->cols.push_back(c);
                    found = true;
                    break;
                }
            if (!found) {
                err = "column " + name + " of table " + table.display() + " does not exist";
                return false;
            }
        }
        if (tables_.size() <= table_no) {
            tables_.resize(table_no + 1);
            writers_.resize(table_no + 1);
            pending_.resize(table_no + 1);
            kept_.resize(table_no + 1, 0);
        }
        writers_[table_no] = std::make_unique<qxpg::BatchWriter>(conn_.get(), *t);
        tables_[table_no] = std::move(t);
        return true;
    }

    /* The transaction opens with the first statement settle() sends. */
    bool begin(std::string &) override { return true; }

    bool refuses_on_insert() const override { return false; }

    bool insert(const RowBatch &batch, uint64_t from, uint64_t to, const RefusalFn &on_refused,
                std::string &) override
    {
        qxpg::BatchWriter &writer = *writers_[batch.table];
        Pending &pend = pending_[batch.table];
        std::vector<qxpg::TypedValue> row(batch.width);
        std::string message;
        const Value *v = batch.values.data() + from * batch.width;
        for (uint64_t r = from; r < to; ++r) {
            for (uint32_t c = 0; c < batch.width; ++c, ++v) {
                qxpg::TypedValue &tv = row[c];
                tv = qxpg::TypedValue{};
                switch (v->kind) {
                case Value::Null: break;
                case Value::Int: tv.kind = qxpg::TypedValue::Int; tv.i = v->i; break;
                case Value::Real: tv.kind = qxpg::TypedValue::Real; tv.r = v->r; break;
                case Value::Text:
                    tv.kind = qxpg::TypedValue::Text;
                    tv.ptr = batch.arena.data() + v->t.off;
                    tv.len = v->t.len;
                    break;
                }
            }
            const RowSource &src = batch.src[r];
            const std::string_view text(batch.text + src.off, src.len);
            if (!writer.add_typed_row(row, pend.origins.size(), message)) {
                /* A value the column cannot take is refused here, before the server sees it. */
                if (!on_refused(Refused{batch.table, batch.file_no, src.row_no, text, message}))
                    return true;
                continue;
            }
            pend.origins.push_back(Origin{batch.file_no, src.row_no, pend.text.size(), src.len});
            pend.text.append(text);
        }
        return true;
    }

    /* A conflict with a transaction of another program is no row's fault:
    ** the rows go again a few times (batch engine, rule 7). */
    Settled settle(const RefusalFn &on_refused, LockWait wait, std::string &err) override
    {
        return settle_with_retries([&] { return send_all(on_refused, wait, err); }, wait);
    }

    void withdraw() override
    {
        end_transaction("ROLLBACK");
        for (auto &w : writers_)
            if (w)
                w->unsend();
    }

    bool keep_before(const RowKey &end, const RefusalFn &on_refused, std::string &err) override
    {
        withdraw();
        for (uint32_t t = 0; t < writers_.size(); t++) {
            if (!writers_[t])
                continue;
            /* A table's rows are in file order; their tags are their places in origins. */
            const std::vector<Origin> &origins = pending_[t].origins;
            const auto first_out = std::partition_point(origins.begin(), origins.end(), [&](const Origin &o) {
                return RowKey{o.file_no, o.row_no, t} < end;
            });
            writers_[t]->drop_from_tag(static_cast<uint64_t>(first_out - origins.begin()));
        }
        return settle(on_refused, LockWait::Unbounded, err) == Settled::Done;
    }

    bool commit(const RefusalFn &on_refused, std::vector<int64_t> &committed, std::string &err) override
    {
        /* Rows not settled yet are sent now (settle() sends nothing twice). */
        if (settle(on_refused, LockWait::Unbounded, err) != Settled::Done ||
            (open_ && !end_transaction("COMMIT", &err))) {
            rollback();
            return false;
        }
        for (uint32_t t = 0; t < kept_.size() && t < committed.size(); t++)
            committed[t] += static_cast<int64_t>(kept_[t]);
        clear_batches();
        to_empty_.clear();
        return true;
    }

    void rollback() override
    {
        end_transaction("ROLLBACK");
        clear_batches();
        to_empty_.clear();
    }

    /* Rule 6: the table is emptied by the TRUNCATE that opens every sending
    ** of this transaction (send_all), so that a withdraw() keeps it. TRUNCATE
    ** holds the table's strongest lock until the transaction ends: nobody
    ** sees it empty before the rows that replace it are committed. */
    bool truncate(const TableName &table, std::string &err) override
    {
        qxpg::Table t;
        if (!describe_named(conn_.get(), table, t, err))
            return false;
        to_empty_.push_back(t.qualified);
        return true;
    }

    uint64_t rows_held() const override { return std::accumulate(kept_.begin(), kept_.end(), uint64_t{0}); }

    int64_t row_count(const TableName &table, std::string &err) override
    {
        qxpg::Table t;
        if (!describe_named(conn_.get(), table, t, err))
            return -1;
        qxpg::Result res(PQexec(conn_.get(), ("SELECT EXISTS (SELECT 1 FROM " + t.qualified + ")").c_str()));
        if (res.status() != PGRES_TUPLES_OK) {
            err = qxpg::result_message(conn_.get(), res.get());
            return -1;
        }
        return PQgetvalue(res.get(), 0, 0)[0] == 't' ? 1 : 0;
    }

private:
    /* How long a bounded wait lasts: long enough for another writer's COPY
    ** to pass a key both insert, short enough that writers that wait for
    ** each other (one in the server, one in the loader) part soon. */
    static constexpr const char *kBoundedLockWait = "SET LOCAL lock_timeout = '200ms'";

    /* Sends every table's unsent rows in the open transaction (opened here). */
    Settled send_all(const RefusalFn &on_refused, LockWait wait, std::string &err)
    {
        if (!open_) {
            if (!statement("BEGIN", err))
                return Settled::Failed;
            open_ = true;
            /* The emptying waits for other programs' locks as long as they
            ** hold them: the loader's other writers send nothing to these
            ** tables before this transaction is committed. */
            for (const std::string &table : to_empty_)
                if (!statement(("TRUNCATE " + table).c_str(), err))
                    return Settled::Failed;
        }
        if (!statement(wait == LockWait::Bounded ? kBoundedLockWait : "SET LOCAL lock_timeout = 0", err))
            return Settled::Failed;
        bool stopped = false;
        for (uint32_t t = 0; t < writers_.size(); t++) {
            qxpg::BatchWriter *w = writers_[t].get();
            if (w == nullptr || w->pending() == 0)
                continue;
            if (stopped) {
                /* Rows after the row the caller stopped at are not stored (rule 4). */
                w->discard();
                pending_[t].clear();
                continue;
            }
            const Pending &pend = pending_[t];
            const qxpg::SendResult res = w->send([&](const qxpg::Refusal &r) {
                const Origin &o = pend.origins[r.tag];
                return on_refused(Refused{t, o.file_no, o.row_no, std::string_view(pend.text).substr(o.off, o.len),
                                          r.message});
            });
            if (res.status == qxpg::SendStatus::blocked || res.status == qxpg::SendStatus::failed) {
                err = res.error;
                withdraw();
                return res.status == qxpg::SendStatus::blocked ? Settled::Blocked : Settled::Failed;
            }
            kept_[t] = res.kept;
            stopped = res.status == qxpg::SendStatus::stopped;
        }
        return Settled::Done;
    }

    void clear_batches()
    {
        for (auto &w : writers_)
            if (w)
                w->discard();
        for (auto &p : pending_)
            p.clear();
        std::fill(kept_.begin(), kept_.end(), 0);
    }

    /* A statement of the sink's own; a failure is told as the batch engine
    ** tells one, so that a lost server reads the same wherever it is met. */
    bool statement(const char *sql, std::string &err)
    {
        if (conn_.exec(sql, err))
            return true;
        err = (conn_.lost() ? "connection to PostgreSQL lost: " : std::string("PostgreSQL failed ") + sql + ": ") + err;
        return false;
    }

    /* COMMIT or ROLLBACK of the open transaction, if one is open. */
    bool end_transaction(const char *sql, std::string *err = nullptr)
    {
        if (!open_)
            return true;
        open_ = false;
        std::string ignored;
        return statement(sql, err != nullptr ? *err : ignored);
    }

    /* Where a row of the open batch came from; the batch engine's tag of a
    ** row is its index here. */
    struct Origin {
        uint32_t file_no;
        int64_t  row_no;
        size_t   off, len;   /* in Pending::text */
    };
    struct Pending {
        std::vector<Origin> origins;
        std::string         text;
        void clear()
        {
            origins.clear();
            text.clear();
        }
    };

    qxpg::Conn conn_;
    bool open_ = false;                     /* a transaction is open on conn_ */
    std::vector<std::string> to_empty_;     /* tables the transaction empties first (rule 6) */
    std::vector<uint64_t> kept_;            /* per table: rows the open transaction holds */
    std::vector<Pending> pending_;          /* per table, like writers_ */
    std::vector<std::unique_ptr<qxpg::Table>> tables_;
    std::vector<std::unique_ptr<qxpg::BatchWriter>> writers_;
};

} // namespace

bool is_pg_target(const std::string &db)
{
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0 ||
           db.find('=') != std::string::npos;
}

std::string pg_display_name(const std::string &conninfo)
{
    /* Only what names the database: a password never reaches a log. */
    PQconninfoOption *opts = PQconninfoParse(conninfo.c_str(), nullptr);
    if (opts == nullptr)
        return "a PostgreSQL server (connection string not readable)";
    std::string out = "PostgreSQL";
    for (const char *key : {"dbname", "host", "port", "user"})
        for (PQconninfoOption *o = opts; o->keyword != nullptr; o++)
            if (std::strcmp(o->keyword, key) == 0 && o->val != nullptr && o->val[0] != '\0')
                out += std::string(" ") + key + "=" + o->val;
    PQconninfoFree(opts);
    return out;
}

std::unique_ptr<Sink> make_pg_sink(const std::string &conninfo, std::string &err)
{
    auto sink = std::make_unique<PgSink>();
    if (!sink->open(conninfo, err))
        return nullptr;
    return sink;
}

} // namespace qxfldr

namespace qxfldr {

/*
** mode=OUT from PostgreSQL: the query's rows streamed as typed batches
** (tools/qxfldr/pg/pg_export.h), converted by fexp_bdta_cnvt and written
** as the SQLite export writes them.
*/
int run_pg_export(const ExportRequest &req)
{
    constexpr uint32_t kRows = 1024;
    ExportText text(req, kRows);
    qxpg::Conn conn;
    qxpg::Exporter exp;
    std::string error;
    if (!conn.open(req.db, error))
        return text.finish(error);
    if (!exp.start(conn.get(), req.sql, error))
        return exp.refused() ? refuse_export(error) : text.finish(error);
    return text.copy_batches(exp.types(), [&](bdta3 *batch, uint32_t rows, std::string &err) {
        return exp.next_batch(fldr_get_env(), batch, rows, err);
    });
}

} // namespace qxfldr

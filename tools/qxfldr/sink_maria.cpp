/*
** The MariaDB sink: db=mariadb://... or mysql://... Tables are described
** from the server's catalog; rows go to the server through the batch engine
** of tools/qxfldr/maria/maria_batch.h, one transaction per commit unit.
**
** Every row goes down a lane: one table on one connection. A plain table
** has one lane, on the named server, fed by bulk executions of a prepared
** INSERT (maria_batch.h's fast path). A Spider table whose layout the
** loader computes (maria_shard.h) has a lane per backend table, each on a
** connection of its own to that backend, fed the same way: a row goes to
** the lane of its partition, where the front node will look for it. A
** Spider table the loader cannot route has one lane on the front node, fed
** by multi-row INSERTs.
**
** As with the PostgreSQL sink, the loader gives every writer a sink of its
** own (sink.h rule 3); rows are copied by insert(), sent by settle() inside
** one transaction per connection, and refused rows are found by the batch
** engine and reported with the server's message (rules 4 and 5). There is no
** transaction spanning the connections: commit() commits them one after the
** other, and a failure between two leaves the earlier ones committed; the
** error says so.
*/
#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>

#include "maria_batch.h"
#include "maria_catalog.h"
#include "maria_conn.h"
#include "maria_export.h"
#include "maria_shard.h"
#include "qxdta.h"
#include "qxfldr_comm.h"
#include "sink.h"
#include "tool.h"

namespace qxfldr {

namespace {

using qxmaria::Conn;
using qxmaria::Endpoint;

/* How long a lock is waited for: briefly while another writer's unit may
** hold it (sink.h LockWait::Bounded), else as long as it takes. */
constexpr unsigned kBoundedLockWait = 1;
constexpr unsigned kUnboundedLockWait = 365 * 24 * 3600;

/* One connection: the named server, or a backend of a Spider table. */
struct Link {
    Conn     conn;
    bool     open = false;         /* a transaction is open */
    unsigned lock_wait = 0;        /* the session's lock wait, 0 before it is set */
    std::vector<std::string> to_empty;   /* tables its transaction empties first (REPLACE) */
    bool     holds_rows = false;   /* the open transaction holds rows sent by a lane */
};

/* Where a row of a lane came from; the batch engine's tag is its index. */
struct Origin {
    uint32_t file_no;
    int64_t  row_no;
    size_t   off, len;   /* in Lane::text */
};

/* One table on one connection. */
struct Lane {
    uint32_t table_no;
    size_t   link;
    qxmaria::BatchWriter writer;
    std::vector<Origin> origins;
    std::string text;
    uint64_t kept = 0;      /* rows the open transaction holds */
    bool     stopped = false;   /* the last send stopped at a refused row */

    void clear()
    {
        writer.discard();
        origins.clear();
        text.clear();
        kept = 0;
        stopped = false;
    }
};

/* How the rows of one table are spread over lanes. */
struct Route {
    qxmaria::Layout  layout;
    int              column = -1;       /* the partitioning column among the inserted ones; -1: one lane */
    std::vector<size_t> part_lane;      /* partition -> lane */
    std::string      note;              /* for the log */
};

class MariaSink final : public Sink {
public:
    bool open(const Endpoint &ep, std::string &err)
    {
        links_.emplace_back(std::make_unique<Link>());
        return links_[0]->conn.open(ep, err);
    }

    bool describe(const TableName &table, TableDesc &desc, std::string &err) override
    {
        qxmaria::Table t;
        if (!describe_table(table, t, err))
            return false;
        desc = TableDesc{};
        desc.name = table.display();
        for (const qxmaria::Column &c : t.cols)
            desc.cols.push_back(TableColumn{c.name, c.column_type, c.qx_type, c.length, c.not_null});
        return true;
    }

    bool prepare(uint32_t table_no, const TableName &name, const std::vector<std::string> &cols,
                 std::string &err) override
    {
        qxmaria::Table t;
        if (!describe_table(name, t, err))
            return false;
        const std::string table = name.display();
        if (routes_.size() <= table_no)
            routes_.resize(table_no + 1);
        Route &route = routes_[table_no];
        if (!qxmaria::read_layout(link(0), t, route.layout, err)) {
            err = "cannot read the layout of table " + table + ": " + err;
            return false;
        }
        const qxmaria::Layout &layout = route.layout;
        if (layout.routed && layout.method != qxmaria::PartMethod::single) {
            const auto at = std::find(cols.begin(), cols.end(), layout.column);
            if (at == cols.end()) {
                route.layout.routed = false;
                route.layout.why_not = "its partitioning column " + layout.column + " is not loaded";
            } else {
                route.column = static_cast<int>(at - cols.begin());
            }
        }
        if (!layout.routed) {
            if (layout.spider)
                route.note = "table " + table + " is a Spider table whose rows the loader cannot place (" +
                             layout.why_not + "): rows go through the front node as multi-row INSERTs";
            route.part_lane.push_back(add_lane(table_no, 0, t.qualified(), cols, numeric_columns(t, cols), layout.spider));
            return true;
        }
        for (const qxmaria::Shard &shard : layout.shards) {
            size_t link_no = 0;
            if (!backend_link(shard.backend, link_no, err))
                return false;
            route.part_lane.push_back(add_lane(table_no, link_no, remote_table(shard), cols, numeric_columns(t, cols), false));
        }
        route.note = "table " + table + " is a Spider table over " + std::to_string(layout.shards.size()) +
                     " partitions" + (layout.column.empty() ? "" : " (" + layout.method_text + " on " + layout.column + ")") +
                     ": each backend is loaded directly";
        return true;
    }

    std::string route_note(uint32_t table_no) const override
    {
        return table_no < routes_.size() ? routes_[table_no].note : std::string();
    }

    bool begin(std::string &) override { return true; }
    bool refuses_on_insert() const override { return false; }

    bool insert(const RowBatch &batch, uint64_t from, uint64_t to, const RefusalFn &on_refused,
                std::string &) override
    {
        const Route &route = routes_[batch.table];
        std::vector<qxmaria::Field> row(batch.width);
        const Value *v = batch.values.data() + from * batch.width;
        for (uint64_t r = from; r < to; ++r, v += batch.width) {
            for (uint32_t c = 0; c < batch.width; ++c)
                row[c] = field_of(batch, v[c]);
            const RowSource &src = batch.src[r];
            const std::string_view text(batch.text + src.off, src.len);
            int part = 0;
            if (route.column >= 0) {
                part = route.layout.partition_of(partition_value(row[route.column]));
                if (part < 0) {
                    /* The server's own refusal of a value no partition takes. */
                    const std::string message = "Table has no partition for value " +
                                                std::string(row[route.column].kind == qxmaria::Field::Null
                                                                ? "NULL" : std::to_string(row[route.column].i));
                    if (!on_refused(Refused{batch.table, batch.file_no, src.row_no, text, message}))
                        return true;
                    continue;
                }
            }
            Lane &lane = *lanes_[route.part_lane[static_cast<size_t>(part)]];
            lane.writer.add_row(row, lane.origins.size());
            lane.origins.push_back(Origin{batch.file_no, src.row_no, lane.text.size(), src.len});
            lane.text.append(text);
        }
        return true;
    }

    Settled settle(const RefusalFn &on_refused, LockWait wait, std::string &err) override
    {
        return settle_with_retries([&] { return send_all(on_refused, wait, err); }, wait);
    }

    void withdraw() override
    {
        end_all("ROLLBACK");
        for (auto &lane : lanes_)
            lane->writer.unsend();
    }

    bool keep_before(const RowKey &end, const RefusalFn &on_refused, std::string &err) override
    {
        withdraw();
        drop_from(end);
        return settle(on_refused, LockWait::Unbounded, err) == Settled::Done;
    }

    bool commit(const RefusalFn &on_refused, std::vector<int64_t> &committed, std::string &err) override
    {
        if (settle(on_refused, LockWait::Unbounded, err) != Settled::Done) {
            rollback();
            return false;
        }
        /* One commit per connection; no transaction spans them (file comment). */
        size_t done = 0, open = 0;
        for (auto &l : links_)
            open += l->open ? 1 : 0;
        for (auto &l : links_) {
            if (!l->open)
                continue;
            l->open = false;
            if (!l->conn.exec("COMMIT", err)) {
                err = (l->conn.lost() ? "connection to MariaDB lost: " : "MariaDB failed COMMIT: ") + err;
                if (done > 0)
                    err += " (" + std::to_string(done) + " of " + std::to_string(open) +
                           " shard connections had committed their rows)";
                rollback();
                return false;
            }
            done++;
        }
        for (auto &lane : lanes_)
            if (lane->table_no < committed.size())
                committed[lane->table_no] += static_cast<int64_t>(lane->kept);
        clear_lanes();
        return true;
    }

    void rollback() override
    {
        end_all("ROLLBACK");
        clear_lanes();
    }

    /* Rule 6: the table (every backend table of a routed Spider table) is
    ** emptied by a DELETE that opens each sending of its connection's
    ** transaction (start()), so that a withdraw() keeps it. TRUNCATE would
    ** commit by itself: the old rows would be gone before the new ones are
    ** stored. */
    bool truncate(const TableName &table, std::string &err) override
    {
        qxmaria::Table t;
        if (!describe_table(table, t, err))
            return false;
        qxmaria::Layout layout;
        if (!qxmaria::read_layout(link(0), t, layout, err))
            return false;
        if (!layout.routed) {
            links_[0]->to_empty.push_back(t.qualified());
            return true;
        }
        for (const qxmaria::Shard &shard : layout.shards) {
            size_t link_no = 0;
            if (!backend_link(shard.backend, link_no, err))
                return false;
            const std::string remote = remote_table(shard);
            std::vector<std::string> &list = links_[link_no]->to_empty;
            if (std::find(list.begin(), list.end(), remote) == list.end())
                list.push_back(remote);
        }
        return true;
    }

    uint64_t rows_held() const override
    {
        uint64_t held = 0;
        for (const auto &lane : lanes_)
            held += lane->kept;
        return held;
    }

    int64_t row_count(const TableName &table, std::string &err) override
    {
        qxmaria::Table t;
        if (!describe_table(table, t, err))
            return -1;
        std::vector<qxmaria::Row> rows;
        if (!link(0).query("SELECT EXISTS (SELECT 1 FROM " + t.qualified() + ")", rows, err))
            return -1;
        return !rows.empty() && rows[0][0].value_or("0") == "1" ? 1 : 0;
    }

private:
    Conn &link(size_t n) { return links_[n]->conn; }

    /* "db.table" is table `table` of database `db`; a quoted part keeps its spelling. */
    bool describe_table(const TableName &table, qxmaria::Table &t, std::string &err)
    {
        const qxmaria::TableRef ref{table.schema, table.name, table.schema_quoted, table.name_quoted};
        return qxmaria::describe_table(link(0), ref, t, err);
    }

    /* `db`.`table` of a partition's rows on its backend. */
    static std::string remote_table(const qxmaria::Shard &shard)
    {
        return qxmaria::quote_ident(shard.backend.database) + "." + qxmaria::quote_ident(shard.table);
    }

    /* The connection to a backend, opened on first use. */
    bool backend_link(const Endpoint &ep, size_t &link_no, std::string &err)
    {
        for (size_t i = 1; i < links_.size(); i++)
            if (links_[i]->conn.endpoint() == ep) {
                link_no = i;
                return true;
            }
        auto l = std::make_unique<Link>();
        if (!l->conn.open(ep, err)) {
            err = "Spider backend: " + err;
            return false;
        }
        links_.push_back(std::move(l));
        link_no = links_.size() - 1;
        return true;
    }

    /* Which of `cols` are integer or floating columns (BatchWriter's `numeric`). */
    static std::vector<uint8_t> numeric_columns(const qxmaria::Table &t, const std::vector<std::string> &cols)
    {
        std::vector<uint8_t> numeric(cols.size(), 0);
        for (size_t i = 0; i < cols.size(); i++)
            for (const qxmaria::Column &c : t.cols)
                if (c.name == cols[i])
                    numeric[i] = qxmaria::is_binary_number_type(c.data_type);
        return numeric;
    }

    size_t add_lane(uint32_t table_no, size_t link_no, const std::string &qualified, const std::vector<std::string> &cols,
                    std::vector<uint8_t> numeric, bool through_front)
    {
        const auto path = through_front ? qxmaria::SendPath::insert : qxmaria::SendPath::bulk;
        lanes_.push_back(std::make_unique<Lane>(
            Lane{table_no, link_no, qxmaria::BatchWriter(link(link_no), qualified, cols, path, std::move(numeric)), {}, {},
                 0, false}));
        return lanes_.size() - 1;
    }

    static qxmaria::Field field_of(const RowBatch &batch, const Value &v)
    {
        qxmaria::Field f;
        switch (v.kind) {
        case Value::Null: break;
        case Value::Int: f.kind = qxmaria::Field::Int; f.i = v.i; break;
        case Value::Real: f.kind = qxmaria::Field::Real; f.r = v.r; break;
        case Value::Text:
            f.kind = qxmaria::Field::Text;
            f.text = std::string_view(batch.arena.data() + v.t.off, v.t.len);
            break;
        }
        return f;
    }

    /* The partitioning column's value; text (a value the loader did not make
    ** an integer) counts as its leading integer, which the server refuses
    ** anyway on the backend. */
    static std::optional<int64_t> partition_value(const qxmaria::Field &f)
    {
        if (f.kind == qxmaria::Field::Int)
            return f.i;
        if (f.kind == qxmaria::Field::Text)
            return std::strtoll(std::string(f.text).c_str(), nullptr, 10);
        if (f.kind == qxmaria::Field::Real)
            return static_cast<int64_t>(f.r);
        return std::nullopt;
    }

    bool start(Link &l, LockWait wait, std::string &err)
    {
        const unsigned want = wait == LockWait::Bounded ? kBoundedLockWait : kUnboundedLockWait;
        if (l.lock_wait != want) {
            if (!qxmaria::set_lock_wait(l.conn, want, err))
                return false;
            l.lock_wait = want;
        }
        if (!l.open) {
            if (!l.conn.exec("START TRANSACTION", err))
                return false;
            l.open = true;
            l.holds_rows = false;
            for (const std::string &table : l.to_empty)
                if (!l.conn.exec("DELETE FROM " + table, err))
                    return false;
        }
        return true;
    }

    /* Sends every lane's unsent rows in the open transactions; the links
    ** are sent side by side when more than one has rows. */
    Settled send_all(const RefusalFn &on_refused, LockWait wait, std::string &err)
    {
        std::vector<std::vector<Lane *>> by_link(links_.size());
        std::vector<uint8_t> busy(links_.size(), 0);
        for (size_t k = 0; k < links_.size(); k++)
            busy[k] = !links_[k]->to_empty.empty();
        for (auto &lane : lanes_)
            if (lane->writer.pending() > 0) {
                busy[lane->link] = 1;
                by_link[lane->link].push_back(lane.get());
            }
        if (std::count(busy.begin(), busy.end(), 1) > 1)
            return send_side_by_side(busy, by_link, on_refused, wait, err);
        return send_in_turn(on_refused, wait, err);
    }

    Settled send_in_turn(const RefusalFn &on_refused, LockWait wait, std::string &err)
    {
        for (auto &l : links_)
            if (!l->to_empty.empty() && !start(*l, wait, err)) {
                err = failed_start(*l, err);
                withdraw();
                return Settled::Failed;
            }
        bool stopped = false;
        for (auto &lane_ptr : lanes_) {
            Lane &lane = *lane_ptr;
            if (lane.writer.pending() == 0)
                continue;
            if (stopped) {
                lane.clear();   /* rows after the stop are not stored (sink.h rule 4) */
                continue;
            }
            const Settled res = send_lane(lane, wait, err, [&](const qxmaria::Refusal &r) {
                return on_refused(refused_row(lane, r.tag, r.message));
            });
            if (res != Settled::Done) {
                withdraw();
                return res;
            }
            stopped = lane.stopped;
        }
        return Settled::Done;
    }

    /* One thread per link. Refusals are gathered and reported afterwards in
    ** row order; when the caller stops at one, the rows from it on leave
    ** every lane and the rest is sent again in turn (sink.h rule 4). */
    Settled send_side_by_side(const std::vector<uint8_t> &busy, const std::vector<std::vector<Lane *>> &by_link,
                              const RefusalFn &on_refused, LockWait wait, std::string &err)
    {
        struct Outcome {
            Settled status = Settled::Done;
            std::string err;
            std::vector<std::pair<RowKey, std::string>> refused;   /* row, message */
            std::vector<Lane *> lanes_of;                           /* lane of each refusal */
            std::vector<uint64_t> tags;
        };
        std::vector<Outcome> out(links_.size());
        auto run = [&](size_t k) {
            if (!start(*links_[k], wait, out[k].err)) {
                out[k].status = Settled::Failed;
                out[k].err = failed_start(*links_[k], out[k].err);
                return;
            }
            for (Lane *lane : by_link[k]) {
                out[k].status = send_lane(*lane, wait, out[k].err, [&](const qxmaria::Refusal &r) {
                    const Origin &o = lane->origins[r.tag];
                    out[k].refused.emplace_back(RowKey{o.file_no, o.row_no, lane->table_no}, r.message);
                    out[k].lanes_of.push_back(lane);
                    out[k].tags.push_back(r.tag);
                    return true;
                });
                if (out[k].status != Settled::Done)
                    return;
            }
        };
        std::vector<std::thread> threads;
        for (size_t k = 1; k < busy.size(); k++)
            if (busy[k])
                threads.emplace_back(run, k);
        if (busy[0])
            run(0);
        for (std::thread &t : threads)
            t.join();
        for (const Settled worst : {Settled::Failed, Settled::Blocked})
            for (Outcome &o : out)
                if (o.status == worst) {
                    err = o.err;
                    withdraw();
                    return worst;
                }
        std::vector<std::tuple<RowKey, size_t, size_t>> order;   /* row, link, index */
        for (size_t k = 0; k < out.size(); k++)
            for (size_t i = 0; i < out[k].refused.size(); i++)
                order.emplace_back(out[k].refused[i].first, k, i);
        std::sort(order.begin(), order.end());
        for (const auto &[key, k, i] : order)
            if (!on_refused(refused_row(*out[k].lanes_of[i], out[k].tags[i], out[k].refused[i].second))) {
                withdraw();
                drop_from(key);
                return send_in_turn(on_refused, wait, err);
            }
        return Settled::Done;
    }

    /* Sends one lane on its link, the link's transaction opened first. */
    template <class Handler>
    Settled send_lane(Lane &lane, LockWait wait, std::string &err, const Handler &handler)
    {
        Link &l = *links_[lane.link];
        if (!start(l, wait, err)) {
            err = failed_start(l, err);
            return Settled::Failed;
        }
        qxmaria::SendResult res = lane.writer.send(handler, !l.holds_rows);
        if (res.status == qxmaria::SendStatus::redo) {
            /* The first part had a refused row: it goes again under a savepoint. */
            l.open = false;
            if (!l.conn.exec("ROLLBACK", err) || !start(l, wait, err)) {
                err = failed_start(l, err);
                return Settled::Failed;
            }
            res = lane.writer.send(handler, false);
        }
        l.holds_rows = l.holds_rows || res.kept > 0;
        if (res.status == qxmaria::SendStatus::blocked || res.status == qxmaria::SendStatus::failed) {
            err = res.error;
            return res.status == qxmaria::SendStatus::blocked ? Settled::Blocked : Settled::Failed;
        }
        lane.kept = res.kept;
        lane.stopped = res.status == qxmaria::SendStatus::stopped;
        return Settled::Done;
    }

    static std::string failed_start(const Link &l, const std::string &err)
    {
        return (l.conn.lost() ? "connection to MariaDB lost: " : "MariaDB failed to open a transaction: ") + err;
    }

    Refused refused_row(const Lane &lane, uint64_t tag, std::string_view message) const
    {
        const Origin &o = lane.origins[tag];
        return Refused{lane.table_no, o.file_no, o.row_no, std::string_view(lane.text).substr(o.off, o.len), message};
    }

    /* Leaves out of every lane the rows at `end` and after (rows of a lane are in file order). */
    void drop_from(const RowKey &end)
    {
        for (auto &lane : lanes_) {
            const uint32_t t = lane->table_no;
            const auto first_out = std::partition_point(lane->origins.begin(), lane->origins.end(),
                                                        [&](const Origin &o) { return RowKey{o.file_no, o.row_no, t} < end; });
            lane->writer.drop_from_tag(static_cast<uint64_t>(first_out - lane->origins.begin()));
        }
    }

    void end_all(const char *sql)
    {
        std::string ignored;
        for (auto &l : links_)
            if (l->open) {
                l->open = false;
                l->conn.exec(sql, ignored);
            }
    }

    /* The transaction ended: its rows and its emptying are done with. */
    void clear_lanes()
    {
        for (auto &lane : lanes_)
            lane->clear();
        for (auto &l : links_)
            l->to_empty.clear();
    }

    std::vector<std::unique_ptr<Link>> links_;   /* [0]: the named server */
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::vector<Route> routes_;                  /* per table number */
};

} // namespace

bool is_maria_target(const std::string &db)
{
    return qxmaria::is_uri(db);
}

std::string maria_display_name(const std::string &uri)
{
    Endpoint ep;
    std::string err;
    return qxmaria::parse_uri(uri, ep, err) ? qxmaria::display_name(ep) : "a MariaDB server (" + err + ")";
}

std::unique_ptr<Sink> make_maria_sink(const std::string &uri, std::string &err)
{
    Endpoint ep;
    if (!qxmaria::parse_uri(uri, ep, err))
        return nullptr;
    auto sink = std::make_unique<MariaSink>();
    if (!sink->open(ep, err))
        return nullptr;
    return sink;
}

} // namespace qxfldr

namespace qxfldr {

/*
** mode=OUT from MariaDB: the query's rows streamed as typed batches
** (tools/qxfldr/maria/maria_export.h), written as every export writes them.
*/
int run_maria_export(const ExportRequest &req)
{
    constexpr uint32_t kRows = 1024;
    ExportText text(req, kRows);
    Endpoint ep;
    Conn conn;
    qxmaria::Exporter exp;
    std::string error;
    if (!qxmaria::parse_uri(req.db, ep, error) || !conn.open(ep, error))
        return text.finish(error);
    if (!exp.start(conn, req.sql, error))
        return exp.refused() ? refuse_export(error) : text.finish(error);
    return text.copy_batches(exp.types(), [&](bdta3 *batch, uint32_t rows, std::string &err) {
        return exp.next_batch(fldr_get_env(), batch, rows, err);
    });
}

} // namespace qxfldr

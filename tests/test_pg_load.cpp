/*
** The PostgreSQL load layer against a private server: table descriptions,
** COPY encoding in both formats, and the batch engine inside the caller's
** transaction. The search for refused rows, the error limit, connections
** that fail and a server that dies in the middle of a load are the
** end-to-end suite's (test_qxfldr_pg), run on this server too.
*/
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pg_batch.h"
#include "pg_catalog.h"
#include "pg_conn.h"
#include "pg_copy.h"
#include "qxdta.h"
#include "support/pg_sql.h"

namespace {

[[maybe_unused]] auto *const g_env = testing::AddGlobalTestEnvironment(new pgtest::ClusterEnv);

using pgtest::cluster;
using pgtest::connect;
using pgtest::rows_of;
using pgtest::sql;

/* The fields of a row of texts. */
std::vector<qxpg::Field> fields_of(const std::vector<std::string> &values)
{
    std::vector<qxpg::Field> out;
    for (const std::string &v : values)
        out.push_back({v.data(), static_cast<uint32_t>(v.size())});
    return out;
}

/* The description of a table that must exist. */
qxpg::Table described(PGconn *conn, const std::string &name)
{
    qxpg::Table table;
    std::string error;
    EXPECT_TRUE(qxpg::describe_table(conn, name, table, error)) << error;
    return table;
}

struct Collected {
    std::vector<qxpg::Refusal> refusals;
    qxpg::RefusalHandler handler()
    {
        return [this](const qxpg::Refusal &r) {
            refusals.push_back(r);
            return true;
        };
    }
};

bool is_one_line(const std::string &s)
{
    return !s.empty() && s.find_first_of("\r\n") == std::string::npos;
}

TEST(PgCatalog, DescribesNamesTypesAndNotNull)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP SCHEMA IF EXISTS s1 CASCADE; CREATE SCHEMA s1;"
        "CREATE DOMAIN s1.code AS varchar(8) NOT NULL;"
        "CREATE TYPE s1.mood AS ENUM ('sad', 'ok');"
        "CREATE TABLE s1.\"Mixed Table\" (id int4 NOT NULL, gone int, small int2, big int8,"
        " amount numeric(12,2), r real, d double precision, flag boolean, c char(3),"
        " v varchar(20), t text, b bytea, day date, tm time, tmz timetz, ts timestamp,"
        " tsz timestamptz, iv interval, u uuid, j jsonb, m s1.mood, k s1.code,"
        " twice int GENERATED ALWAYS AS (id * 2) STORED, \"Odd \"\"Name\" text);"
        "ALTER TABLE s1.\"Mixed Table\" DROP COLUMN gone;");
    qxpg::Conn conn = connect();
    qxpg::Table table;
    std::string error;
    ASSERT_TRUE(qxpg::describe_table(conn.get(), "s1.\"Mixed Table\"", table, error)) << error;
    EXPECT_EQ(table.qualified, "\"s1\".\"Mixed Table\"");

    struct Expect {
        const char *name;
        uint16_t type;
        bool not_null;
    } expect[] = {
        {"id", QXDT_INT, true},          {"small", QXDT_SMALLINT, false}, {"big", QXDT_BIGINT, false},
        {"amount", QXDT_DEC, false},     {"r", QXDT_FLOAT, false},        {"d", QXDT_DOUBLE, false},
        {"flag", QXDT_BIT, false},       {"c", QXDT_CHAR, false},         {"v", QXDT_VARCHAR, false},
        {"t", QXDT_VARCHAR, false},      {"b", QXDT_VARBINARY, false},    {"day", QXDT_DATE, false},
        {"tm", QXDT_TIME, false},        {"tmz", QXDT_TIME_TZ, false},    {"ts", QXDT_TIMESTAMP, false},
        {"tsz", QXDT_TIMESTAMP_TZ, false}, {"iv", QXDT_INTERVAL_DT, false}, {"u", QXDT_VARCHAR, false},
        {"j", QXDT_VARCHAR, false},      {"m", QXDT_VARCHAR, false},      {"k", QXDT_VARCHAR, true},
        {"Odd \"Name", QXDT_VARCHAR, false},
    };
    ASSERT_EQ(table.cols.size(), std::size(expect));
    for (size_t i = 0; i < std::size(expect); ++i) {
        EXPECT_EQ(table.cols[i].name, expect[i].name);
        EXPECT_EQ(table.cols[i].qx_type, expect[i].type) << expect[i].name;
        EXPECT_EQ(table.cols[i].not_null, expect[i].not_null) << expect[i].name;
    }
    EXPECT_EQ(table.cols[8].type_name, "character varying(20)");
    EXPECT_EQ(table.cols[20].type_oid, qxpg::OID_VARCHAR);  // the domain's base type
}

/* What the loader hands over (numbers, texts, nulls) arrives unchanged in
** both formats: each text-format row equals its binary-format twin, value
** for value, and reads back as written. A number past its column's range,
** or a fraction for an integer, is refused in the same words before the
** server sees it (binary format) or by the server (text format). */
TEST(PgCopy, ValuesArriveUnchangedInBothFormats)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS vals; CREATE TABLE vals (k int, s smallint, b bigint, r real,"
        " d float8, v varchar(40), c char(4), t text);");
    qxpg::Conn conn = connect();
    const qxpg::Table table = described(conn.get(), "vals");
    using TV = qxpg::TypedValue;
    const auto text = [](const char *t) { return TV{TV::Text, 0, 0, t, static_cast<uint32_t>(std::strlen(t))}; };
    const auto num = [](int64_t i) { return TV{TV::Int, i, 0, nullptr, 0}; };
    const auto real = [](double r) { return TV{TV::Real, 0, r, nullptr, 0}; };
    const char *const refusals[] = {"value \"32768\" is out of range for type smallint",
                                    "invalid input syntax for type bigint: \"2.5\""};
    for (const bool binary : {true, false}) {
        const int64_t k = binary ? 0 : 10;
        const std::vector<std::vector<TV>> rows = {
            {num(k + 1), num(-5), text("9007199254740993"), real(0.25), real(1e300), text("tab\there"), text("ab"),
             text("line\nbreak\r\n")},
            {num(k + 2), {}, {}, {}, {}, {}, {}, {}},
            {num(k + 3), text("0"), num(-1), text("-Infinity"), text("NaN"), text("back\\slash \\N"), text("x"),
             text("\\.")},
            {num(k + 4), text(" 12 "), text("+3"), real(1.5), text("-0"), text(""), text(""), text("中文 ünïcode")},
            {num(k + 5), num(32768), num(1), {}, {}, {}, {}, {}},
            {num(k + 6), num(1), real(2.5), {}, {}, {}, {}, {}},
        };
        qxpg::BatchWriter writer(conn.get(), table, binary);
        ASSERT_EQ(writer.encoder().binary(), binary);
        std::vector<std::string> refused;
        std::string msg;
        for (size_t i = 0; i < rows.size(); ++i)
            if (!writer.add_typed_row(rows[i], i, msg))
                refused.push_back(msg);
        Collected got;
        const qxpg::FlushResult res = writer.flush(got.handler());
        ASSERT_EQ(res.status, qxpg::FlushStatus::ok) << res.error;
        EXPECT_EQ(res.committed, 4u);
        for (const qxpg::Refusal &r : got.refusals)
            refused.push_back(r.message);
        std::vector<std::string> want(std::begin(refusals), std::end(refusals));
        if (binary)   /* refused here, before the server: the column is named */
            want = {"column s: " + want[0], "column b: " + want[1]};
        EXPECT_EQ(refused, want);
    }
    EXPECT_EQ(rows_of(conn.get(), "SELECT a.k FROM vals a JOIN vals b ON b.k = a.k + 10 "
                                  "WHERE (a.s, a.b, a.r, a.d, a.v, a.c, a.t) IS NOT DISTINCT FROM "
                                  "(b.s, b.b, b.r, b.d, b.v, b.c, b.t) ORDER BY 1"),
              (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_EQ(rows_of(conn.get(), "SELECT s, b, r, d, v, c, t FROM vals WHERE k IN (1, 3, 4) ORDER BY k"),
              (std::vector<std::string>{"-5|9007199254740993|0.25|1e+300|tab\there|ab  |line\nbreak\r\n",
                                        "0|-1|-Infinity|NaN|back\\slash \\N|x   |\\.",
                                        "12|3|1.5|-0||    |中文 ünïcode"}));
    EXPECT_EQ(rows_of(conn.get(), "SELECT count(*) FROM vals WHERE s IS NULL AND t IS NULL"),
              std::vector<std::string>{"2"});
}

/* send() inside the caller's transaction: nothing is committed until the
** caller commits; after a rollback the rows go again without those already
** refused, or fewer of them; a lock not granted within lock_timeout is a
** conflict to retry, never a refused row. */
TEST(PgBatch, SendKeepsRowsInTheCallersTransactionUntilItEnds)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS held; CREATE TABLE held (id int PRIMARY KEY, v text);");
    qxpg::Conn conn = connect();
    qxpg::Conn other = connect();
    const qxpg::Table table = described(conn.get(), "held");
    qxpg::BatchWriter writer(conn.get(), table);
    std::string msg, error;
    for (uint64_t tag = 0; tag < 10; ++tag)   /* ids 1..10, the fifth repeats id 1 */
        ASSERT_TRUE(writer.add_row(fields_of({std::to_string(tag == 4 ? 1 : tag + 1), "v"}), tag, msg)) << msg;
    Collected got;
    ASSERT_TRUE(conn.exec("BEGIN", error)) << error;
    qxpg::SendResult res = writer.send(got.handler());
    ASSERT_EQ(res.status, qxpg::SendStatus::ok) << res.error;
    EXPECT_EQ(res.kept, 9u);
    ASSERT_EQ(got.refusals.size(), 1u);
    EXPECT_EQ(got.refusals[0].tag, 4u);
    EXPECT_EQ(writer.send(got.handler()).kept, 9u);   /* sent once only */
    EXPECT_EQ(rows_of(other.get(), "SELECT count(*) FROM held"), std::vector<std::string>{"0"});

    ASSERT_TRUE(conn.exec("ROLLBACK", error)) << error;
    writer.unsend();
    writer.drop_from_tag(7);
    ASSERT_TRUE(conn.exec("BEGIN", error)) << error;
    res = writer.send(got.handler());
    ASSERT_EQ(res.status, qxpg::SendStatus::ok) << res.error;
    EXPECT_EQ(res.kept, 6u);
    EXPECT_EQ(got.refusals.size(), 1u);
    ASSERT_TRUE(conn.exec("COMMIT", error)) << error;
    writer.discard();
    EXPECT_EQ(rows_of(other.get(), "SELECT string_agg(id::text, ',' ORDER BY id) FROM held"),
              std::vector<std::string>{"1,2,3,4,6,7"});

    /* Another transaction holds id 50 uncommitted: the bounded wait runs out. */
    ASSERT_TRUE(other.exec("BEGIN; INSERT INTO held VALUES (50, 'other')", error)) << error;
    ASSERT_TRUE(writer.add_row(fields_of({"50", "mine"}), 0, msg)) << msg;
    ASSERT_TRUE(conn.exec("BEGIN; SET LOCAL lock_timeout = '100ms'", error)) << error;
    res = writer.send(got.handler());
    EXPECT_EQ(res.status, qxpg::SendStatus::blocked);
    EXPECT_TRUE(is_one_line(res.error)) << res.error;
    EXPECT_EQ(got.refusals.size(), 1u);
    ASSERT_TRUE(conn.exec("ROLLBACK", error)) << error;
    ASSERT_TRUE(other.exec("ROLLBACK", error)) << error;
}

/* An error no row causes (here: no privilege on the table) ends the batch
** with nothing committed and no row searched for. */
TEST(PgBatch, ErrorsNoRowCausesEndTheBatchWithNothingCommitted)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS doomed; CREATE TABLE doomed (id int, v text);"
        "DROP ROLE IF EXISTS qxro; CREATE ROLE qxro LOGIN;");
    qxpg::Conn conn = connect();
    qxpg::Table table = described(conn.get(), "doomed");
    std::string error, msg;
    qxpg::Conn ro;
    ASSERT_TRUE(ro.open(cluster().conninfo("qxro"), error)) << error;
    qxpg::BatchWriter ro_writer(ro.get(), table);
    ASSERT_TRUE(ro_writer.add_row(fields_of({"1", "a"}), 1, msg));
    Collected got;
    qxpg::FlushResult res = ro_writer.flush(got.handler());
    EXPECT_EQ(res.status, qxpg::FlushStatus::failed);
    EXPECT_EQ(res.error, "PostgreSQL failed the load of table doomed: permission denied for table doomed");
    EXPECT_TRUE(got.refusals.empty());
}

} // namespace

/*
** The PostgreSQL load layer against a private server: connections and their
** errors, table descriptions, COPY encoding in both formats, and the batch
** engine's search for refused rows (the error limit and a server that dies
** in the middle of a load are the end-to-end suite's, run on this server too).
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

using qxpg::Field;

using pgtest::cluster;
using pgtest::connect;
using pgtest::rows_of;
using pgtest::sql;

/* Builds fields from strings; "<null>" gives a null. */
std::vector<Field> fields_of(const std::vector<std::string> &values)
{
    std::vector<Field> out;
    for (const std::string &v : values)
        out.push_back(v == "<null>" ? Field{nullptr, qxpg::kNullLen}
                                    : Field{v.data(), static_cast<uint32_t>(v.size())});
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
    return !s.empty() && s.find('\n') == std::string::npos && s.find('\r') == std::string::npos;
}

TEST(PgConnect, FailuresAreOneLineAndKeepThePasswordSecret)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP ROLE IF EXISTS qxpw; CREATE ROLE qxpw LOGIN PASSWORD 'right-pass';");
    std::string error;
    qxpg::Conn conn;
    ASSERT_TRUE(conn.open(cluster().conninfo("qxpw") + " password=right-pass", error)) << error;

    struct Case {
        std::string conninfo;
        std::string expect;
    } cases[] = {
        {cluster().conninfo("qxpw") + " password=wrong-pass", "password authentication failed"},
        {cluster().conninfo("qxtest", "no_such_db"), "does not exist"},
        {"host=" + cluster().socket_dir() + " bogus_option=1", "invalid connection option"},
        {"postgresql://qxpw:wrong-pass@/postgres?host=" + cluster().socket_dir(),
         "password authentication failed"},
        {"host=/nonexistent/dir user=qxtest", "No such file or directory"},
    };
    for (const Case &c : cases) {
        qxpg::Conn bad;
        EXPECT_FALSE(bad.open(c.conninfo, error)) << c.conninfo;
        EXPECT_TRUE(is_one_line(error)) << error;
        EXPECT_EQ(error.rfind("cannot connect to PostgreSQL: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.expect), std::string::npos) << error;
        EXPECT_EQ(error.find("wrong-pass"), std::string::npos) << error;
        EXPECT_FALSE(bad);
    }
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
        {"id", QXDT_INT, true},        {"small", QXDT_SMALLINT, false},
        {"big", QXDT_BIGINT, false},   {"amount", QXDT_DEC, false},
        {"r", QXDT_FLOAT, false},      {"d", QXDT_DOUBLE, false},
        {"flag", QXDT_BIT, false},     {"c", QXDT_CHAR, false},
        {"v", QXDT_VARCHAR, false},    {"t", QXDT_VARCHAR, false},
        {"b", QXDT_VARBINARY, false},  {"day", QXDT_DATE, false},
        {"tm", QXDT_TIME, false},      {"tmz", QXDT_TIME_TZ, false},
        {"ts", QXDT_TIMESTAMP, false}, {"tsz", QXDT_TIMESTAMP_TZ, false},
        {"iv", QXDT_INTERVAL_DT, false}, {"u", QXDT_VARCHAR, false},
        {"j", QXDT_VARCHAR, false},    {"m", QXDT_VARCHAR, false},
        {"k", QXDT_VARCHAR, true},     {"Odd \"Name", QXDT_VARCHAR, false},
    };
    ASSERT_EQ(table.cols.size(), std::size(expect));
    for (size_t i = 0; i < std::size(expect); ++i) {
        EXPECT_EQ(table.cols[i].name, expect[i].name);
        EXPECT_EQ(table.cols[i].qx_type, expect[i].type) << expect[i].name;
        EXPECT_EQ(table.cols[i].not_null, expect[i].not_null) << expect[i].name;
    }
    EXPECT_EQ(table.cols[8].type_name, "character varying(20)");
    EXPECT_EQ(table.cols[20].type_oid, qxpg::OID_VARCHAR);  // the domain's base type

    fldr_tab_info info = table.tab_info();
    ASSERT_EQ(info.col_count, table.cols.size());
    EXPECT_STREQ(info.cols[21].name, "Odd \"Name");
    EXPECT_EQ(info.cols[3].type, QXDT_DEC);
}

TEST(PgCopy, TextFormatEscapesEveryByteThatNeedsIt)
{
    std::string out;
    qxpg::append_text_escaped(out, std::string_view("a\tb\nc\rd\\e\\N\0f", 13));
    EXPECT_EQ(out, std::string("a\\tb\\nc\\rd\\\\e\\\\N\0f", 18));
    out.clear();
    qxpg::append_text_escaped(out, "");
    qxpg::append_text_escaped(out, "plain");
    EXPECT_EQ(out, "plain");
}

TEST(PgCopy, BinaryNumbersAreReadAsTheServerReadsThem)
{
    qxpg::Table table;
    table.name = "n";
    table.qualified = "\"public\".\"n\"";
    table.cols = {{"s", "smallint", qxpg::OID_INT2, -1, QXDT_SMALLINT, false},
                  {"i", "integer", qxpg::OID_INT4, -1, QXDT_INT, false},
                  {"b", "bigint", qxpg::OID_INT8, -1, QXDT_BIGINT, false},
                  {"r", "real", qxpg::OID_FLOAT4, -1, QXDT_FLOAT, false},
                  {"d", "double precision", qxpg::OID_FLOAT8, -1, QXDT_DOUBLE, false}};
    qxpg::CopyEncoder enc(table);
    ASSERT_TRUE(enc.binary());
    EXPECT_EQ(enc.copy_sql(),
              "COPY \"public\".\"n\" (\"s\", \"i\", \"b\", \"r\", \"d\") FROM STDIN WITH (FORMAT binary)");
    EXPECT_FALSE(qxpg::CopyEncoder(table, false).binary());

    std::string out, msg;
    ASSERT_TRUE(enc.encode_row(fields_of({" -32768 ", "+7", "-9223372036854775808", "NaN", "-Infinity"}),
                               out, msg)) << msg;
    // 2 (count) + 5 lengths + 2 + 4 + 8 + 4 + 8 payload bytes.
    EXPECT_EQ(out.size(), 2u + 20u + 26u);
    EXPECT_EQ(out.substr(0, 2), std::string("\0\5", 2));
    EXPECT_EQ(out.substr(2, 6), std::string("\0\0\0\2\x80\0", 6));

    struct Bad {
        std::vector<std::string> row;
        const char *message;
    } bad[] = {
        {{"32768", "1", "1", "1", "1"}, "column s: value \"32768\" is out of range for type smallint"},
        {{"1", "12x", "1", "1", "1"}, "column i: invalid input syntax for type integer: \"12x\""},
        {{"1", "", "1", "1", "1"}, "column i: invalid input syntax for type integer: \"\""},
        {{"1", "1", "9223372036854775808", "1", "1"},
         "column b: value \"9223372036854775808\" is out of range for type bigint"},
        {{"1", "1", "1", "1e39", "1"}, "column r: \"1e39\" is out of range for type real"},
        {{"1", "1", "1", "1", "1.5.2"}, "column d: invalid input syntax for type double precision: \"1.5.2\""},
        {{"1", "1", "1", "1"}, "the row has 4 values for 5 columns"},
    };
    for (const Bad &b : bad) {
        out = "keep";
        EXPECT_FALSE(enc.encode_row(fields_of(b.row), out, msg));
        EXPECT_EQ(msg, b.message);
        EXPECT_EQ(out, "keep");
    }
}

TEST(PgCopy, ConvertedValuesTakeTheSamePathAsText)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS typed_bin, typed_txt;"
        "CREATE TABLE typed_bin (s smallint, i int, d float8, t text);"
        "CREATE TABLE typed_txt (s smallint, i int, d numeric, t text);");
    qxpg::Conn conn = connect();
    std::string error, msg;
    using TV = qxpg::TypedValue;
    auto row = [](int64_t s, double i, double d, const char *t) {
        return std::vector<TV>{{TV::Int, s, 0, nullptr, 0}, {TV::Real, 0, i, nullptr, 0},
                               {TV::Real, 0, d, nullptr, 0}, {TV::Text, 0, 0, t, uint32_t(std::strlen(t))}};
    };
    for (const char *name : {"typed_bin", "typed_txt"}) {
        qxpg::Table table = described(conn.get(), name);
        qxpg::BatchWriter writer(conn.get(), table);
        EXPECT_EQ(writer.encoder().binary(), std::string(name) == "typed_bin");
        std::vector<TV> good = row(-32768, 7.0, 0.1, "x");
        std::vector<TV> nulls(4);
        ASSERT_TRUE(writer.add_typed_row(good, 1, msg)) << msg;
        ASSERT_TRUE(writer.add_typed_row(nulls, 2, msg)) << msg;
        std::vector<TV> too_big = row(40000, 1, 1, "y");
        std::vector<TV> fraction = row(1, 2.5, 1, "z");
        if (writer.encoder().binary()) {
            EXPECT_FALSE(writer.add_typed_row(too_big, 3, msg));
            EXPECT_EQ(msg, "column s: value \"40000\" is out of range for type smallint");
            EXPECT_FALSE(writer.add_typed_row(fraction, 4, msg));
            EXPECT_EQ(msg, "column i: invalid input syntax for type integer: \"2.5\"");
        } else {
            ASSERT_TRUE(writer.add_typed_row(too_big, 3, msg));
            ASSERT_TRUE(writer.add_typed_row(fraction, 4, msg));
        }
        Collected got;
        EXPECT_EQ(writer.flush(got.handler()).committed, 2u) << name;
        if (!writer.encoder().binary()) {
            ASSERT_EQ(got.refusals.size(), 2u);
            EXPECT_EQ(got.refusals[0].message, "value \"40000\" is out of range for type smallint");
            EXPECT_EQ(got.refusals[1].message, "invalid input syntax for type integer: \"2.5\"");
        }
        EXPECT_EQ(rows_of(conn.get(), std::string("SELECT * FROM ") + name + " ORDER BY s"),
                  (std::vector<std::string>{"-32768|7|0.1|x", "<null>|<null>|<null>|<null>"}));
    }
}

/* Loads rows through a writer and expects every row to pass. */
void load_all(PGconn *conn, const qxpg::Table &table, bool binary,
              const std::vector<std::vector<std::string>> &rows)
{
    qxpg::BatchWriter writer(conn, table, binary);
    std::string msg;
    for (size_t i = 0; i < rows.size(); ++i)
        ASSERT_TRUE(writer.add_row(fields_of(rows[i]), i, msg)) << msg;
    qxpg::FlushResult res = writer.flush([](const qxpg::Refusal &r) {
        ADD_FAILURE() << "refused row " << r.tag << ": " << r.message;
        return true;
    });
    ASSERT_EQ(res.status, qxpg::FlushStatus::ok) << res.error;
    EXPECT_EQ(res.committed, rows.size());
    EXPECT_EQ(res.copies, 1u);
}

TEST(PgCopy, ValuesArriveUnchangedInBothFormats)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS vals; CREATE TABLE vals (k int, s smallint, b bigint, r real,"
        " d float8, v varchar(40), c char(4), t text);");
    qxpg::Conn conn = connect();
    qxpg::Table table = described(conn.get(), "vals");
    const std::vector<std::vector<std::string>> rows = {
        {"1", "-5", "9007199254740993", "0.25", "1e300", "tab\there", "ab", "line\nbreak\r\n"},
        {"2", "<null>", "<null>", "<null>", "<null>", "<null>", "<null>", "<null>"},
        {"3", "0", "-1", "-Infinity", "NaN", "back\\slash \\N", "x", "\\."},
        {"4", " 12 ", "+3", "1.5", "-0", "", "", "中文 ünïcode"},
    };
    load_all(conn.get(), table, true, rows);
    for (auto &row : const_cast<std::vector<std::vector<std::string>> &>(rows))
        row[0] = std::to_string(std::stoi(row[0]) + 10);
    load_all(conn.get(), table, false, rows);

    // Each text-format row equals its binary-format twin, value for value.
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

TEST(PgBatch, RefusedRowsAreFoundByHalvingAndTheRestCommitted)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS checked; CREATE TABLE checked (id int PRIMARY KEY,"
        " qty int NOT NULL CHECK (qty >= 0), note text, day date);"
        "INSERT INTO checked VALUES (1000, 1, 'already there', NULL);");
    qxpg::Conn conn = connect();
    qxpg::Table table = described(conn.get(), "checked");
    qxpg::BatchWriter writer(conn.get(), table);
    ASSERT_FALSE(writer.encoder().binary());  // a date column: text format

    // 200 rows; rows 17, 18, 90, 150 and 199 are refused for five reasons.
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 200; ++i)
        rows.push_back({std::to_string(i), std::to_string(i % 7), "n" + std::to_string(i), "2024-01-02"});
    rows[17][2] = "<null>";                // a null note is fine
    rows[18][1] = "-1";                    // check constraint
    rows[90][0] = "1000";                  // duplicate of a committed row
    rows[150][1] = "<null>";               // NOT NULL
    rows[199][3] = "2024-02-30";           // not a date
    std::string msg;
    for (size_t i = 0; i < rows.size(); ++i)
        ASSERT_TRUE(writer.add_row(fields_of(rows[i]), 1000 + i, msg)) << msg;
    Collected got;
    qxpg::FlushResult res = writer.flush(got.handler());
    ASSERT_EQ(res.status, qxpg::FlushStatus::ok) << res.error;
    EXPECT_EQ(res.committed, 196u);
    EXPECT_EQ(res.refused, 4u);
    EXPECT_EQ(writer.pending(), 0u);
    // Four refusals over 200 rows: a few dozen COPYs, not one per row.
    EXPECT_LE(res.copies, 1u + 4u * 2u * 8u);

    const std::pair<uint64_t, const char *> want[] = {
        {1018, "violates check constraint \"checked_qty_check\""}, {1090, "Key (id)=(1000) already exists"},
        {1150, "null value in column \"qty\""}, {1199, "date/time field value out of range: \"2024-02-30\""}};
    ASSERT_EQ(got.refusals.size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(got.refusals[i].tag, want[i].first);
        EXPECT_NE(got.refusals[i].message.find(want[i].second), std::string::npos) << got.refusals[i].message;
        EXPECT_TRUE(is_one_line(got.refusals[i].message)) << got.refusals[i].message;
    }
    EXPECT_EQ(got.refusals[0].sqlstate, "23514");
    EXPECT_EQ(rows_of(conn.get(), "SELECT count(*), sum(id) FROM checked WHERE id < 1000"),
              std::vector<std::string>{"196|" + std::to_string(199 * 200 / 2 - 18 - 90 - 150 - 199)});
    EXPECT_EQ(rows_of(conn.get(), "SELECT count(*) FROM checked WHERE note IS NULL AND id = 17"),
              std::vector<std::string>{"1"});
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
    writer.unsend();
    ASSERT_TRUE(conn.exec("BEGIN", error)) << error;
    res = writer.send(got.handler());
    EXPECT_EQ(res.status, qxpg::SendStatus::ok) << res.error;
    EXPECT_EQ(res.kept, 1u);
    ASSERT_TRUE(conn.exec("COMMIT", error)) << error;
    EXPECT_EQ(rows_of(other.get(), "SELECT v FROM held WHERE id = 50"), std::vector<std::string>{"mine"});
}

/* A value with no binary form is refused before the server sees it; a
** batch of one refused row commits nothing and reports it. */
TEST(PgBatch, ClientSideRefusalsAndABatchOfOneRefusedRow)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS ints; CREATE TABLE ints (id int PRIMARY KEY, v bigint NOT NULL);"
        "INSERT INTO ints VALUES (1, 1);");
    qxpg::Conn conn = connect();
    const qxpg::Table table = described(conn.get(), "ints");
    qxpg::BatchWriter writer(conn.get(), table);
    ASSERT_TRUE(writer.encoder().binary());
    std::string msg;
    EXPECT_FALSE(writer.add_row(fields_of({"51", "five"}), 51, msg));
    EXPECT_EQ(msg, "column v: invalid input syntax for type bigint: \"five\"");
    EXPECT_EQ(writer.pending(), 0u);

    ASSERT_TRUE(writer.add_row(fields_of({"1", "1"}), 7, msg));
    Collected got;
    qxpg::FlushResult res = writer.flush(got.handler());
    EXPECT_EQ(res.status, qxpg::FlushStatus::ok);
    EXPECT_EQ(res.committed, 0u);
    ASSERT_EQ(got.refusals.size(), 1u);
    EXPECT_EQ(got.refusals[0].tag, 7u);
    EXPECT_EQ(got.refusals[0].sqlstate, "23505");
}

TEST(PgBatch, ErrorsNoRowCausesEndTheBatchWithNothingCommitted)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS doomed; CREATE TABLE doomed (id int, v text);"
        "DROP ROLE IF EXISTS qxro; CREATE ROLE qxro LOGIN;");
    qxpg::Conn conn = connect();
    qxpg::Table table = described(conn.get(), "doomed");
    std::string error, msg;

    // No privilege on the table: refused as a whole, no row searched for.
    qxpg::Conn ro;
    ASSERT_TRUE(ro.open(cluster().conninfo("qxro"), error)) << error;
    qxpg::BatchWriter ro_writer(ro.get(), table);
    ASSERT_TRUE(ro_writer.add_row(fields_of({"1", "a"}), 1, msg));
    Collected got;
    qxpg::FlushResult res = ro_writer.flush(got.handler());
    EXPECT_EQ(res.status, qxpg::FlushStatus::failed);
    EXPECT_EQ(res.error, "PostgreSQL failed the load of table doomed: permission denied for table doomed");
    EXPECT_TRUE(got.refusals.empty());

    // The table dropped after it was described.
    qxpg::BatchWriter writer(conn.get(), table);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(writer.add_row(fields_of({std::to_string(i), "v"}), i, msg));
    sql("DROP TABLE doomed;");
    res = writer.flush(got.handler());
    EXPECT_EQ(res.status, qxpg::FlushStatus::failed);
    EXPECT_EQ(res.committed, 0u);
    EXPECT_TRUE(is_one_line(res.error));
    EXPECT_NE(res.error.find("relation \"public.doomed\" does not exist"), std::string::npos) << res.error;
    EXPECT_TRUE(got.refusals.empty());
    EXPECT_EQ(writer.pending(), 0u);
}

} // namespace

/*
** Export from PostgreSQL: a query's rows as typed batches, turned into text
** by fexp_bdta_cnvt, with the readers of decimal and date-time text.
*/
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pg_catalog.h"
#include "pg_conn.h"
#include "pg_export.h"
#include "qxdta.h"
#include "qxfldr_comm.h"
#include "support/pg_sql.h"

namespace {

[[maybe_unused]] auto *const g_env = testing::AddGlobalTestEnvironment(new pgtest::ClusterEnv);

using pgtest::cluster;
using pgtest::sql;

/* A batch released at scope end. */
struct Batch {
    bdta3 *b = nullptr;
    Batch(const std::vector<uint16_t> &types, uint32_t rows)
    {
        b = static_cast<bdta3 *>(fldr_bdta_create(nullptr, nullptr, rows, static_cast<uint32_t>(types.size()),
                                                  types.data()));
    }
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    ~Batch() { bdta3_free2(nullptr, nullptr, b); }
};

std::string text_at(const bdta3_col *col, uint32_t row)
{
    if (col->data->nulls[row] == 0)
        return "<null>";
    const auto *v = static_cast<const qxdta_str *>(bdta3_col_value(col, row));
    return std::string(v->ptr, v->len);
}

/* Exports `query` in batches of `per_batch` rows; each row's texts joined by '|'. */
std::vector<std::string> export_text(PGconn *conn, const std::string &query, uint32_t per_batch,
                                     int *batches = nullptr)
{
    qxpg::Exporter exp;
    std::string error;
    EXPECT_TRUE(exp.start(conn, query, error)) << error;
    std::vector<uint16_t> types = exp.types();
    Batch src(types, per_batch);
    Batch dst(std::vector<uint16_t>(types.size(), QXDT_VARCHAR), per_batch);
    std::vector<std::string> out;
    int count = 0;
    for (;;) {
        int64_t got = exp.next_batch(nullptr, src.b, per_batch, error);
        EXPECT_GE(got, 0) << error;
        if (got <= 0)
            break;
        ++count;
        EXPECT_EQ(fexp_bdta_cnvt(nullptr, src.b, dst.b, nullptr, 0), 0);
        for (uint32_t r = 0; r < got; ++r) {
            std::string line;
            for (uint16_t c = 0; c < dst.b->col_count; ++c)
                line += (c > 0 ? "|" : "") + text_at(&dst.b->cols[c], r);
            out.push_back(line);
        }
    }
    EXPECT_EQ(exp.rows(), out.size());
    if (batches != nullptr)
        *batches = count;
    return out;
}

/* Every type the export reads from the server's text, at its edges: a
** decimal past 64 bits, years before Christ, negative time-zone offsets. */
TEST(PgExport, TypedBatchesBecomeTextThroughTheExportConversion)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS src; CREATE TABLE src (id int, s smallint, b bigint, n numeric(38,8),"
        " r real, d float8, f boolean, c char(3), v varchar(10), by bytea, dt date, tm time, tt timetz,"
        " ts timestamp, tz timestamptz, iv interval, u uuid);"
        "INSERT INTO src VALUES"
        " (1, -2, 9007199254740993, -1.5, 0.1, 1e300, true, 'ab', 'x|y', '\\x00ff', '2024-02-29',"
        "  '23:59:59.5', '10:00:00-03', '1999-12-31 23:59:59.000001', '2000-01-01 00:00:00+00', '1 day 02:00',"
        "  'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'),"
        " (2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),"
        " (3, 0, 0, 123456789012345678901234567890.12345678, 'NaN', '-Infinity', false, '', '', '\\x',"
        "  '0044-03-15 BC', '00:00', '13:45:01.250001+05:30', '2024-01-01', '2024-06-30 12:00:00+02', '-3 mons', NULL);");
    qxpg::Conn conn = pgtest::connect();
    std::string error;
    ASSERT_TRUE(conn.exec("SET TimeZone TO 'UTC'", error)) << error;

    int batches = 0;
    std::vector<std::string> rows = export_text(conn.get(), "SELECT * FROM src ORDER BY id", 2, &batches);
    EXPECT_EQ(batches, 2);
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "1|-2|9007199254740993|-1.50000000|0.1|1e+300|1|ab |x|y|00FF|2024-02-29|23:59:59.5|"
                        "10:00:00 -03:00|1999-12-31 23:59:59.000001|2000-01-01 00:00:00 +00:00|1 day 02:00:00|"
                        "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11",
                        "2|<null>|<null>|<null>|<null>|<null>|<null>|<null>|<null>|<null>|<null>|<null>|"
                        "<null>|<null>|<null>|<null>|<null>",
                        "3|0|0|123456789012345678901234567890.12345678|NaN|-Infinity|0|   |||-0044-03-15|00:00:00|"
                        "13:45:01.250001 +05:30|2024-01-01 00:00:00|2024-06-30 10:00:00 +00:00|-3 mons|<null>"}));
    // The column names and codes the loader writes in its export header.
    {
        qxpg::Exporter exp;
        ASSERT_TRUE(exp.start(conn.get(), "SELECT id AS \"Key\", n, tz FROM src", error)) << error;
        ASSERT_EQ(exp.columns().size(), 3u);
        EXPECT_EQ(exp.columns()[0].name, "Key");
        EXPECT_EQ(exp.types(), (std::vector<uint16_t>{QXDT_INT, QXDT_DEC, QXDT_TIMESTAMP_TZ}));
    }
    // That export, abandoned before its rows, leaves the connection usable; an empty result ends.
    EXPECT_TRUE(export_text(conn.get(), "SELECT 1 WHERE false", 10).empty());
}

TEST(PgExport, FailuresNameWhatFailed)
{
    PG_REQUIRE_CLUSTER();
    qxpg::Conn conn = pgtest::connect();
    std::string error;
    qxpg::Exporter exp;
    EXPECT_FALSE(exp.start(conn.get(), "SELECT * FROM no_such_table", error));
    EXPECT_EQ(error, "the export query failed: relation \"no_such_table\" does not exist");
    EXPECT_FALSE(exp.refused());
    EXPECT_FALSE(exp.start(conn.get(), "SET LOCAL work_mem = '8MB'", error));
    EXPECT_EQ(error, "the export statement returns no rows: SET LOCAL work_mem = '8MB'");
    EXPECT_FALSE(exp.refused());

    /* The refusals of a second statement and of a write are the end-to-end
    ** suite's; a syntax error is none: the query is wrong, not the request. */
    EXPECT_FALSE(exp.start(conn.get(), "SELEC 1; SELECT 2", error));
    EXPECT_FALSE(exp.refused());

    // A value without a typed form stops the export at that row.
    ASSERT_TRUE(exp.start(conn.get(), "SELECT d::date FROM (VALUES ('2024-01-01'), ('infinity')) v(d)", error));
    Batch src(exp.types(), 10);
    EXPECT_EQ(exp.next_batch(nullptr, src.b, 10, error), -1);
    EXPECT_EQ(error, "value \"infinity\" of column d has no exportable form");

    // An error the server finds while rows stream (division by zero at row 3).
    ASSERT_TRUE(exp.start(conn.get(), "SELECT 6 / (3 - g) FROM generate_series(1, 5) g", error)) << error;
    Batch src2(exp.types(), 10);
    EXPECT_EQ(exp.next_batch(nullptr, src2.b, 10, error), -1);
    EXPECT_EQ(error, "the export query failed: division by zero");
    EXPECT_TRUE(conn.exec("SELECT 1", error)) << error;

    // A batch that does not match the query.
    ASSERT_TRUE(exp.start(conn.get(), "SELECT 1, 2", error));
    EXPECT_EQ(exp.next_batch(nullptr, src.b, 10, error), -1);
    EXPECT_EQ(error, "the export batch does not match the query's columns");
}

} // namespace

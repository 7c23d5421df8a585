/*
** qxfldr into PostgreSQL, end to end: the program run as a process against
** the private server of this test program.
*/
#include <gtest/gtest.h>

#include <string>

#include "qxfldr_run.h"
#include "support/pg_cluster.h"

namespace {

[[maybe_unused]] auto *const g_env = testing::AddGlobalTestEnvironment(new pgtest::ClusterEnv);

pgtest::PgCluster &cluster() { return *pgtest::current_cluster(); }

void sql(const std::string &text)
{
    std::string out;
    ASSERT_TRUE(cluster().psql(text, out)) << out;
}

const char *const kControl = "OPTIONS ( ROWS = 2 )\n"
                             "LOAD DATA INFILE 'data.txt' APPEND INTO TABLE people\n"
                             "FIELDS TERMINATED BY '|' (id, name, born)\n";

TEST(QxfldrPg, LoadsRowsThroughCopy)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS people; CREATE TABLE people (id int PRIMARY KEY, name varchar(20), born date);");
    qxtest::Dir dir;
    dir.write("t.ctl", kControl);
    dir.write("data.txt", "1|Ann|2001-02-03\n2|Bo tab\t|\n3||1999-12-31\n4|Di|2020-02-29\n5|Ed|2000-01-01\n");
    qxtest::RunResult r = qxtest::run(dir, {"control=" + (dir / "t.ctl"), "db=" + cluster().uri()});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("5 rows loaded success."), std::string::npos) << r.out;
    EXPECT_EQ(cluster().query_value("SELECT string_agg(id || ':' || coalesce(name, '~') || ':' || "
                                    "coalesce(born::text, '~'), ',' ORDER BY id) FROM people"),
              "1:Ann:2001-02-03,2:Bo tab\t:~,3:~:1999-12-31,4:Di:2020-02-29,5:Ed:2000-01-01");
}

TEST(QxfldrPg, ExportsAQueryAsText)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS sold; CREATE TABLE sold (id int, price numeric(8,2), day date, note text);"
        "INSERT INTO sold VALUES (1, 9.5, '2024-02-29', 'a,b'), (2, NULL, NULL, NULL), (3, -0.25, '1999-01-01', '');");
    qxtest::Dir dir;
    qxtest::RunResult r = qxtest::run(dir, {"mode=OUT", "db=" + cluster().uri(), "sql=SELECT * FROM sold ORDER BY id",
                                            "data=" + (dir / "out.txt"), "FIELD_SEPERATOR=|"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.read("out.txt"), "1|9.50|2024-02-29|a,b\n2|||\n3|-0.25|1999-01-01|\n");

    r = qxtest::run(dir, {"mode=OUT", "db=" + cluster().uri(), "sql=SELECT nothing", "data=" + (dir / "y.txt")});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("qxfldr: the export query failed: column \"nothing\" does not exist"), std::string::npos)
        << r.err;
}

TEST(QxfldrPg, BadTargetsEndWithOneClearLine)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS people;");
    qxtest::Dir dir;
    dir.write("t.ctl", kControl);
    dir.write("data.txt", "1|Ann|2001-02-03\n");
    struct Case {
        std::string db;
        const char *expect;
    } cases[] = {
        {"postgresql://nobody@/postgres?host=" + cluster().socket_dir(), "role \"nobody\" does not exist"},
        {"host=" + cluster().socket_dir() + " user=qxtest bogus=1", "invalid connection option \"bogus\""},
        {cluster().uri(), "table PEOPLE does not exist"},
    };
    for (const Case &c : cases) {
        qxtest::RunResult r = qxtest::run(dir, {"control=" + (dir / "t.ctl"), "db=" + c.db});
        EXPECT_NE(r.status, 0);
        size_t at = r.err.find(c.expect);
        ASSERT_NE(at, std::string::npos) << r.err;
        size_t line_start = r.err.rfind('\n', at);
        size_t line_end = r.err.find('\n', at);
        std::string line = r.err.substr(line_start == std::string::npos ? 0 : line_start + 1,
                                        line_end - (line_start == std::string::npos ? 0 : line_start + 1));
        EXPECT_EQ(line.rfind("qxfldr: ", 0), 0u) << line;
    }
}

} // namespace

/*
** qxfldr into PostgreSQL, end to end: the program run as a process against
** the private server of this test program. The scenarios every target passes
** (qxfldr_scenarios.h) run here too, then what only a server has: a server
** that stops in the middle, connection strings, export.
*/
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <filesystem>
#include <string>

#include "support/qxfldr_stop_scenarios.h"
#include "support/pg_sql.h"

namespace {

[[maybe_unused]] auto *const g_env = testing::AddGlobalTestEnvironment(new pgtest::ClusterEnv);

using pgtest::cluster;
using pgtest::sql;

/* The server of the program, read through libpq. */
class PgTarget final : public qxtest::Target {
public:
    PgTarget() : conn_(PQconnectdb(cluster().conninfo().c_str())) { exec("SET client_min_messages = warning"); }
    ~PgTarget() override { PQfinish(conn_); }
    std::string db_arg() const override { return "db=" + cluster().uri(); }
    bool exec(const std::string &sql) override
    {
        PGresult *res = PQexec(conn_, sql.c_str());
        const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK || PQresultStatus(res) == PGRES_TUPLES_OK;
        PQclear(res);
        return ok;
    }
    qxtest::Rows rows(const std::string &sql) override { return pgtest::rows_of(conn_, sql); }
    std::string duplicate_key_message() const override { return "duplicate key value violates unique constraint"; }
    std::string check_message() const override { return "new row for relation \"k\" violates check constraint"; }

private:
    PGconn *conn_;
};

} // namespace

namespace qxtest {
std::unique_ptr<Target> make_target(const Dir &)
{
    if (pgtest::current_cluster() == nullptr) {
        ADD_FAILURE() << "test cluster: " << pgtest::cluster_failure();
        return nullptr;
    }
    return std::make_unique<PgTarget>();
}
std::string skip_reason() { return pgtest::cluster_absent() ? pgtest::cluster_failure() : ""; }
} // namespace qxtest

namespace {

const char *const kControl = "OPTIONS ( ROWS = 2 )\n"
                             "LOAD DATA INFILE 'data.txt' APPEND INTO TABLE people\n"
                             "FIELDS TERMINATED BY '|' (id, name, born)\n";

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

    /* One statement that only reads: a second one is refused, never run. */
    r = qxtest::run(dir, {"mode=OUT", "db=" + cluster().uri(), "sql=SELECT 1; DROP TABLE sold",
                          "data=" + (dir / "z.txt")});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, testing::HasSubstr("sql= holds more than one statement"));
    EXPECT_EQ(cluster().query_value("SELECT count(*) FROM sold"), "3");
    EXPECT_FALSE(std::filesystem::exists(dir / "z.txt"));
}

/* Table names resolve as the server resolves them: a schema part names the
** schema, an unquoted name folds to lower case, a quoted one keeps its case
** (a name in a comment is no clause); REPLACE empties only the table named. */
TEST(QxfldrPg, TableNamesFollowTheServersRules)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP SCHEMA IF EXISTS sch CASCADE; CREATE SCHEMA sch; DROP TABLE IF EXISTS t3, \"MixT\", mixt;"
        "CREATE TABLE t3 (v int); CREATE TABLE sch.t3 (v int); CREATE TABLE \"MixT\" (v int);"
        "CREATE TABLE mixt (v int); INSERT INTO t3 VALUES (100); INSERT INTO sch.t3 VALUES (200);"
        "INSERT INTO mixt VALUES (300);");
    qxtest::Dir dir;
    dir.write("d.txt", "1\n");
    dir.write("t.ctl", "LOAD DATA INFILE 'd.txt' REPLACE INTO TABLE sch.t3 (v)\n"
                       "LOAD DATA INFILE 'd.txt' APPEND INTO TABLE \"MixT\" (v)\n"
                       "-- LOAD DATA INFILE 'd.txt' APPEND INTO TABLE \"T3\" (v)\n"
                       "LOAD DATA INFILE 'd.txt' APPEND INTO TABLE \"sch\".T3 (v)\n"
                       "LOAD DATA INFILE 'd.txt' APPEND INTO TABLE MixT (v)\n");
    qxtest::RunResult r = qxtest::run(dir, {"control=" + (dir / "t.ctl"), "db=" + cluster().uri()});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string counts = "SELECT (SELECT string_agg(v::text, ',' ORDER BY v) FROM public.t3) || ' ' || "
                               "(SELECT string_agg(v::text, ',' ORDER BY v) FROM sch.t3) || ' ' || "
                               "(SELECT string_agg(v::text, ',' ORDER BY v) FROM \"MixT\") || ' ' || "
                               "(SELECT string_agg(v::text, ',' ORDER BY v) FROM mixt)";
    EXPECT_EQ(cluster().query_value(counts), "100 1,1 1 1,300");

    /* A quoted upper-case name is not folded: "T3" is no table here. */
    dir.write("t.ctl", "LOAD DATA INFILE 'd.txt' REPLACE INTO TABLE \"T3\" (v)\n");
    r = qxtest::run(dir, {"control=" + (dir / "t.ctl"), "db=" + cluster().uri()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::HasSubstr("table T3 does not exist"));
    EXPECT_EQ(cluster().query_value(counts), "100 1,1 1 1,300");
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
        {cluster().uri(), "table PEOPLE does not exist"},
    };
    for (const Case &c : cases) {
        qxtest::RunResult r = qxtest::run(dir, {"control=" + (dir / "t.ctl"), "db=" + c.db});
        EXPECT_NE(r.status, 0);
        EXPECT_THAT(r.err, testing::ContainsRegex(std::string("(^|\n)qxfldr: [^\n]*") + c.expect));
    }
}

/* The server stopped as a crash would, in the middle of a load over two
** connections: qxfldr ends with a clear message and a non-zero exit; after a
** restart the table holds only whole committed batches, as many rows as the
** summary said were loaded. */
TEST(QxfldrPg, ServerStoppedInTheMiddleKeepsWholeBatches)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS big; CREATE TABLE big (id int, note text);");
    qxtest::Dir dir;
    constexpr int kRows = 3000000, kPerCommit = 5000;
    dir.write("big.txt", qxtest::numbered_rows(kRows, '|'));
    dir.write("big.ctl", "LOAD DATA INFILE 'big.txt' APPEND INTO TABLE big FIELDS TERMINATED BY '|' (id, note)\n");
    const pid_t pid = qxtest::spawn_qxfldr(dir, {"control=" + (dir / "big.ctl"), "db=" + cluster().uri(),
                                                 "ROWS=" + std::to_string(kPerCommit), "TASK_THREAD_NUMBER=2"});
    ASSERT_GT(pid, 0);
    /* Stop the server once some batches are committed. */
    for (int i = 0; i < 3000 && std::atoi(cluster().query_value("SELECT count(*) FROM big").c_str()) < 4 * kPerCommit;
         i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string reason;
    ASSERT_TRUE(cluster().stop_immediate(reason)) << reason;
    const int status = qxtest::wait_status(pid);
    ASSERT_TRUE(cluster().restart(reason)) << reason;
    const std::string out = dir.read(".stdout"), err = dir.read(".stderr");
    EXPECT_EQ(status, 1) << err;
    EXPECT_NE(err.find("qxfldr: load stopped: commit failed: connection to PostgreSQL lost"), std::string::npos)
        << err;
    EXPECT_NE(err.find("rows of that commit may or may not be stored"), std::string::npos) << err;
    const int in_table = std::atoi(cluster().query_value("SELECT count(*) FROM big").c_str());
    EXPECT_GT(in_table, 0);
    EXPECT_LT(in_table, kRows) << "the server was stopped after the load ended";
    EXPECT_EQ(in_table % kPerCommit, 0) << in_table;
    /* The summary counts the confirmed commits; a commit in flight on each
    ** of the two connections may have been carried out without its answer. */
    const size_t at = out.find(" rows loaded success.");
    ASSERT_NE(at, std::string::npos) << out;
    const int said = std::atoi(out.substr(out.rfind('\n', at) + 1).c_str());
    EXPECT_GE(in_table, said) << out;
    EXPECT_LE(in_table - said, 2 * kPerCommit) << out;
    EXPECT_NE(out.find("Refuse logic record counts: 0"), std::string::npos) << out;
    EXPECT_EQ(cluster().query_value("SELECT count(*) - count(DISTINCT id) FROM big"), "0");
}

/* A password given in the connection string reaches the server and never
** the log. */
TEST(QxfldrPg, PasswordStaysOutOfTheLog)
{
    PG_REQUIRE_CLUSTER();
    sql("DROP TABLE IF EXISTS people; CREATE TABLE people (id int PRIMARY KEY, name varchar(20), born date);"
        "DROP ROLE IF EXISTS qxpw; CREATE ROLE qxpw LOGIN PASSWORD 'sesame-42'; GRANT ALL ON people TO qxpw;");
    qxtest::Dir dir;
    dir.write("t.ctl", kControl);
    dir.write("data.txt", "1|Ann|2001-02-03\n");
    qxtest::RunResult r = qxtest::run(
        dir, {"control=" + (dir / "t.ctl"), "db=postgresql://qxpw:sesame-42@/postgres?host=" + cluster().socket_dir()});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string log = dir.read("fldr.log");
    EXPECT_NE(log.find("into PostgreSQL dbname=postgres"), std::string::npos) << log;
    EXPECT_NE(log.find("user=qxpw"), std::string::npos) << log;
    EXPECT_EQ(log.find("sesame"), std::string::npos) << log;
}

} // namespace

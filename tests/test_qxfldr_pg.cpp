/*
** qxfldr into PostgreSQL, end to end: the program run as a process against
** the private server of this test program. The scenarios every target passes
** and those every server passes run here, then PostgreSQL's own rules for
** table names.
*/
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <string>

#include "support/qxfldr_server_scenarios.h"
#include "support/pg_sql.h"

namespace {

[[maybe_unused]] auto *const g_env = testing::AddGlobalTestEnvironment(new pgtest::ClusterEnv);

using pgtest::cluster;
using pgtest::sql;

/* The server of the program, read through libpq. */
class PgTarget final : public qxtest::Server {
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

    void add_user(const std::string &user, const std::string &password) override
    {
        EXPECT_TRUE(exec("DO $$BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '" + user +
                         "') THEN CREATE ROLE " + user + " LOGIN PASSWORD '" + password + "'; END IF; END$$;"
                         "GRANT ALL ON ALL TABLES IN SCHEMA public TO " + user));
    }
    std::string db_as(const std::string &user, const std::string &password) const override
    {
        return "postgresql://" + user + ":" + password + "@/postgres?host=" + cluster().socket_dir();
    }
    std::string log_name_of(const std::string &user) const override
    {
        return "PostgreSQL dbname=postgres host=" + cluster().socket_dir() + " user=" + user;
    }
    std::vector<std::pair<std::string, std::string>> bad_connections() const override
    {
        return {{"db=postgresql://nobody@/postgres?host=" + cluster().socket_dir(), "role \"nobody\" does not exist"}};
    }
    bool kill(std::string &why) override { return cluster().stop_immediate(why); }
    bool restart(std::string &why) override { return cluster().restart(why); }
    std::string lost_message() const override { return "connection to PostgreSQL lost"; }
    std::string unknown_column_message() const override { return "column \"nothing\" does not exist"; }

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
    const qxtest::RunResult r = qxtest::run(dir, {"control=" + (dir / "t.ctl"), "db=" + cluster().uri()});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string counts = "SELECT (SELECT string_agg(v::text, ',' ORDER BY v) FROM public.t3) || ' ' || "
                               "(SELECT string_agg(v::text, ',' ORDER BY v) FROM sch.t3) || ' ' || "
                               "(SELECT string_agg(v::text, ',' ORDER BY v) FROM \"MixT\") || ' ' || "
                               "(SELECT string_agg(v::text, ',' ORDER BY v) FROM mixt)";
    EXPECT_EQ(cluster().query_value(counts), "100 1,1 1 1,300");
}

} // namespace

/*
** End-to-end runs that only a database server has, written once for every
** server target: a query exported as text, a password kept out of the log,
** targets that cannot work ending with one clear line, and a server killed
** in the middle of a load. Each program that includes this file makes its
** Target a Server (make_target()), which supplies what differs between the
** servers: users, URIs, the server's messages, and how it is killed and
** started again.
*/
#ifndef QX_TESTS_QXFLDR_SERVER_SCENARIOS_H
#define QX_TESTS_QXFLDR_SERVER_SCENARIOS_H

#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>

#include "support/qxfldr_stop_scenarios.h"

namespace qxtest {

class Server : public Target {
public:
    /* A user signing in with a password, with every right on the tables of the tests. */
    virtual void add_user(const std::string &user, const std::string &password) = 0;
    /* The db= of that user, and what the log names as the target for it. */
    virtual std::string db_as(const std::string &user, const std::string &password) const = 0;
    virtual std::string log_name_of(const std::string &user) const = 0;
    /* db= values that cannot connect, each with a part of the line it must end with. */
    virtual std::vector<std::pair<std::string, std::string>> bad_connections() const = 0;
    /* Kills the server as a crash would, and starts it again on its data. */
    virtual bool kill(std::string &why) = 0;
    virtual bool restart(std::string &why) = 0;
    /* The server's words for a lost connection and for a column that does not exist. */
    virtual std::string lost_message() const = 0;
    virtual std::string unknown_column_message() const = 0;
};

class ServerLoad : public Load {
protected:
    void SetUp() override
    {
        Load::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        server = dynamic_cast<Server *>(db.get());
        ASSERT_NE(server, nullptr);
    }
    int count(const std::string &table) { return std::atoi(db->one("SELECT COUNT(*) FROM " + table).c_str()); }
    Server *server = nullptr;
};

const char *const kPeopleControl = "OPTIONS ( ROWS = 2 )\n"
                                   "LOAD DATA INFILE 'data.txt' APPEND INTO TABLE people\n"
                                   "FIELDS TERMINATED BY '|' (id, name, born)\n";

/* An export writes the query's rows as text; a query the server refuses
** fails with its message; anything but one statement that only reads is
** refused before it runs. */
TEST_F(ServerLoad, ExportsOneQueryThatOnlyReads)
{
    db->table("sold", "id INT, price DECIMAL(8,2), day DATE, note TEXT");
    ASSERT_TRUE(db->exec("INSERT INTO sold VALUES (1, 9.5, '2024-02-29', 'a,b'), (2, NULL, NULL, NULL), "
                         "(3, -0.25, '1999-01-01', '')"));
    RunResult r = run(dir, {"mode=OUT", db->db_arg(), "sql=SELECT * FROM sold ORDER BY id",
                            "data=" + (dir / "out.txt"), "FIELD_SEPERATOR=|"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.read("out.txt"), "1|9.50|2024-02-29|a,b\n2|||\n3|-0.25|1999-01-01|\n");

    r = run(dir, {"mode=OUT", db->db_arg(), "sql=SELECT nothing", "data=" + (dir / "y.txt")});
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.err, testing::HasSubstr("qxfldr: the export query failed: " + server->unknown_column_message()));

    for (const char *sql : {"DELETE FROM sold", "DROP TABLE sold", "SELECT 1; COMMIT; DROP TABLE sold",
                            "INSERT INTO sold (id) VALUES (4) RETURNING id",
                            "SELECT * FROM sold FOR UPDATE; DELETE FROM sold"}) {
        r = run(dir, {"mode=OUT", db->db_arg(), std::string("sql=") + sql, "data=" + (dir / "z.txt")});
        EXPECT_EQ(r.status, 2) << sql << ": " << r.err;
        EXPECT_THAT(r.err, testing::HasSubstr("nothing was exported"));
    }
    EXPECT_EQ(count("sold"), 3);
    EXPECT_FALSE(std::filesystem::exists(dir / "z.txt"));
}

/* A password reaches the server and never the log. */
TEST_F(ServerLoad, PasswordStaysOutOfTheLog)
{
    db->table("people", "id INT PRIMARY KEY, name VARCHAR(20), born DATE");
    server->add_user("pw", "sesame-42");
    dir.write("data.txt", "1|Ann|2001-02-03\n");
    dir.write("t.ctl", kPeopleControl);
    const RunResult r = run(dir, {"control=" + (dir / "t.ctl"), "db=" + server->db_as("pw", "sesame-42")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string log = dir.read("fldr.log");
    EXPECT_THAT(log, testing::HasSubstr("into " + server->log_name_of("pw")));
    EXPECT_THAT(log, testing::Not(testing::HasSubstr("sesame")));
    EXPECT_EQ(count("people"), 1);
}

/* A target that cannot work (a connection, a missing table, a view, a
** column type the loader cannot feed) ends the run with one line saying why. */
TEST_F(ServerLoad, BadTargetsEndWithOneClearLine)
{
    db->exec("DROP TABLE IF EXISTS people");
    db->table("g", "id INT, p POINT");
    db->exec("DROP VIEW IF EXISTS vw");
    ASSERT_TRUE(db->exec("CREATE VIEW vw AS SELECT id FROM g"));
    dir.write("data.txt", "1|Ann|2001-02-03\n");
    std::vector<std::pair<std::string, std::string>> cases = server->bad_connections();
    cases.emplace_back(db->db_arg(), "table PEOPLE does not exist");
    for (const auto &[target, expect] : cases) {
        const RunResult r = load(kPeopleControl, {target});
        EXPECT_NE(r.status, 0);
        EXPECT_THAT(r.err, testing::ContainsRegex("(^|\n)qxfldr: [^\n]*" + expect)) << target;
    }
    RunResult r = load("LOAD DATA INFILE 'data.txt' INTO TABLE g FIELDS TERMINATED BY '|' (id, p)\n");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, testing::HasSubstr("column p of table G has type point, which the loader cannot feed"));
    r = load("LOAD DATA INFILE 'data.txt' INTO TABLE vw (id)\n");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, testing::HasSubstr("VW is not a table"));
}

/* The server killed as a crash would, in the middle of a load over two
** connections: qxfldr ends with a clear message and exit 1; after a restart
** the table holds only whole committed units, at least as many rows as the
** summary said were loaded, and at most the two commits then in flight more. */
TEST_F(ServerLoad, ServerKilledInTheMiddleKeepsWholeUnits)
{
    constexpr int kRows = 2000000, kPerCommit = 5000;
    db->table("big", "id INT, note TEXT");
    dir.write("big.txt", numbered_rows(kRows, '|'));
    dir.write("big.ctl", "LOAD DATA INFILE 'big.txt' APPEND INTO TABLE big FIELDS TERMINATED BY '|' (id, note)\n");
    const pid_t pid = spawn_qxfldr(dir, {"control=" + (dir / "big.ctl"), db->db_arg(),
                                         "ROWS=" + std::to_string(kPerCommit), "TASK_THREAD_NUMBER=2"});
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 3000 && count("big") < 4 * kPerCommit; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string why;
    ASSERT_TRUE(server->kill(why)) << why;
    const int status = wait_status(pid);
    ASSERT_TRUE(server->restart(why)) << why;
    db = make_target(dir);   /* the old connection died with the server */
    server = dynamic_cast<Server *>(db.get());
    ASSERT_NE(server, nullptr);
    const std::string out = dir.read(".stdout"), err = dir.read(".stderr");
    EXPECT_EQ(status, 1) << err;
    EXPECT_THAT(err, testing::HasSubstr("qxfldr: load stopped: commit failed: " + server->lost_message()));
    EXPECT_THAT(err, testing::HasSubstr("rows of that commit may or may not be stored"));
    const int in_table = count("big");
    EXPECT_GT(in_table, 0);
    EXPECT_LT(in_table, kRows) << "the server was killed after the load ended";
    EXPECT_EQ(in_table % kPerCommit, 0) << in_table;
    const size_t at = out.find(" rows loaded success.");
    ASSERT_NE(at, std::string::npos) << out;
    const int said = std::atoi(out.substr(out.rfind('\n', at) + 1).c_str());
    EXPECT_GE(in_table, said) << out;
    EXPECT_LE(in_table - said, 2 * kPerCommit) << out;
    EXPECT_EQ(db->one("SELECT COUNT(*) - COUNT(DISTINCT id) FROM big"), "0");
}

} // namespace qxtest

#endif

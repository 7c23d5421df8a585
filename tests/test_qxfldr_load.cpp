/*
** End-to-end loads into SQLite: the scenarios every target passes
** (qxfldr_scenarios.h), then what only an embedded database file has.
*/
#include <gtest/gtest.h>

#include "qxfldr_stop_scenarios.h"

namespace qxtest {

namespace {

class SqliteTarget final : public Target {
public:
    explicit SqliteTarget(const Dir &dir) : path_(dir / "qxfldr.db"), db_(path_) {}
    /* No db=: the default, qxfldr.db beside the control file. */
    std::string db_arg() const override { return ""; }
    bool exec(const std::string &sql) override { return db_.exec(sql); }
    Rows rows(const std::string &sql) override { return db_.rows(sql); }
    std::string duplicate_key_message() const override { return "UNIQUE constraint failed"; }
    std::string check_message() const override { return "CHECK constraint failed"; }

private:
    std::string path_;
    Db db_;
};

}  // namespace

std::unique_ptr<Target> make_target(const Dir &dir) { return std::make_unique<SqliteTarget>(dir); }
std::string skip_reason() { return ""; }

namespace {

/* A database file the user may not write: refused before any row is read.
** Root writes any file, so as root qxfldr runs without the capabilities
** that let it. */
TEST_F(Load, ReadOnlyDatabaseFileIsRefused)
{
    std::string why;
    const std::vector<std::string> prefix = under_file_permissions(why);
    if (!why.empty())
        GTEST_SKIP() << why;
    db->table("n", "v INTEGER");
    dir.write("n.txt", "1\n");
    dir.write("t.ctl", "LOAD DATA INFILE 'n.txt' APPEND INTO TABLE n (v)\n");
    namespace fs = std::filesystem;
    for (const char *name : {"qxfldr.db", "n.txt", "t.ctl"})
        fs::permissions(dir / name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    auto r = run(dir, {"control=" + (dir / "t.ctl")}, prefix);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("database " + (dir / "qxfldr.db") + " is read-only"), std::string::npos) << r.err;
    EXPECT_EQ(db->one("SELECT count(*) FROM n"), "0");
}

/* With several workers, rows still reach each table in file order: rowid
** order is the order of the data file, one table or two fed by one file. */
TEST_F(Load, RowsReachTheTablesInFileOrder)
{
    SmallBuffers buffers(20000);
    std::string data;
    Rows want_a, want_b;
    for (int i = 1; i <= 30000; i++) {
        const bool bad = i % 997 == 0;
        const char tag = i % 5 == 0 ? 'B' : 'A';
        data += std::string(1, tag) + "|" + (bad ? "x" : "") + std::to_string(i) + "|n\n";
        if (!bad)
            (tag == 'A' ? want_a : want_b).push_back(std::to_string(i));
    }
    dir.write("o.txt", data);
    const std::string one = "LOAD DATA INFILE 'o.txt' APPEND INTO TABLE a FIELDS TERMINATED BY '|' (tag FILLER, id, note)\n";
    const std::string two = "LOAD DATA INFILE 'o.txt' APPEND\n"
                            "INTO TABLE a WHEN (1:1) = 'A' FIELDS TERMINATED BY '|' (tag FILLER, id, note)\n"
                            "INTO TABLE b WHEN (1:1) = 'B' FIELDS TERMINATED BY '|' (tag FILLER, id, note)\n";
    Rows want_all = want_a;
    want_all.insert(want_all.end(), want_b.begin(), want_b.end());
    std::sort(want_all.begin(), want_all.end(), [](const std::string &x, const std::string &y) {
        return std::stoi(x) < std::stoi(y);
    });
    for (const int workers : {2, 4})
        for (int run = 0; run < 4; run++) {
            db->table("a", "id INTEGER, note TEXT");
            db->table("b", "id INTEGER, note TEXT");
            const std::vector<std::string> extra = {"TASK_THREAD_NUMBER=" + std::to_string(workers), "ROWS=10000"};
            RunResult r = load(one, extra);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(db->rows("SELECT id FROM a ORDER BY rowid"), want_all) << workers << " workers, one table";
            db->table("a", "id INTEGER, note TEXT");
            r = load(two, extra);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(db->rows("SELECT id FROM a ORDER BY rowid"), want_a) << workers << " workers, two tables";
            EXPECT_EQ(db->rows("SELECT id FROM b ORDER BY rowid"), want_b) << workers << " workers, two tables";
            if (HasFailure())
                return;
        }
}

TEST_F(Load, ExportWritesTheQueryAsText)
{
    db->exec("CREATE TABLE x (a INTEGER, b TEXT, c REAL); INSERT INTO x VALUES (1, 'one', 1.5), (2, NULL, -2.25)");
    auto r = run(dir, {"mode=OUT", "db=" + (dir / "qxfldr.db"), "sql=SELECT a, b, c FROM x ORDER BY a",
                       "data=" + (dir / "x.txt"), "FIELD_SEPERATOR=|"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.read("x.txt"), "1|one|1.5\n2||-2.25\n");
    EXPECT_NE(r.out.find("2 rows exported success."), std::string::npos) << r.out;
    r = run(dir, {"mode=OUT", "db=" + (dir / "qxfldr.db"), "sql=SELECT nothing", "data=" + (dir / "y.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("query refused"), std::string::npos) << r.err;
}

TEST(QxfldrHelp, ListsTheKeywords)
{
    Dir dir;
    auto r = run(dir, {"help"});
    EXPECT_EQ(r.status, 0);
    for (const char *kw : {"LOG", "BADFILE", "SKIP", "LOAD", "ROWS", "ERRORS", "TASK_THREAD_NUMBER",
                           "CHARACTER_CODE", "NULL_MODE", "NULL_STR", "SILENT", "MEMORY"})
        EXPECT_NE(r.out.find(std::string("  ") + kw + " "), std::string::npos) << kw;
}

}  // namespace

}  // namespace qxtest

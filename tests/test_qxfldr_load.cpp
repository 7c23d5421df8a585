/*
** End-to-end loads into SQLite: the scenarios every target passes
** (qxfldr_scenarios.h), then what only an embedded database file has.
*/
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/qxfldr_stop_scenarios.h"

namespace qxtest {

std::unique_ptr<Target> make_target(const Dir &dir) { return std::make_unique<Db>(dir / "qxfldr.db"); }
std::string skip_reason() { return ""; }

namespace {

/* Files the user may not read or write, as root too (qxfldr then runs
** without the capabilities that pass file permissions): a data file that
** cannot be read is found before REPLACE empties the table, with the
** system's reason; a database file that cannot be written is refused before
** any row is read. */
TEST_F(Load, FilePermissionsAreHeldBeforeAnyRow)
{
    std::string why;
    const std::vector<std::string> prefix = under_file_permissions(why);
    if (!why.empty())
        GTEST_SKIP() << why;
    db->table("r", "v INTEGER");
    db->exec("INSERT INTO r VALUES (7), (8)");
    dir.write("a.txt", "1\n2\n");
    dir.write("b.txt", "3\n");
    dir.write("t.ctl", "LOAD DATA INFILE '*.txt' REPLACE INTO TABLE r (v)\n");
    namespace fs = std::filesystem;
    fs::permissions(dir / "b.txt", fs::perms::none);
    auto r = run(dir, {"control=" + (dir / "t.ctl")}, prefix);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, testing::HasSubstr("b.txt: Permission denied"));
    for (const char *name : {"qxfldr.db", "a.txt", "b.txt", "t.ctl"})
        fs::permissions(dir / name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    r = run(dir, {"control=" + (dir / "t.ctl")}, prefix);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, testing::HasSubstr("database " + (dir / "qxfldr.db") + " is read-only"));
    EXPECT_EQ(db->rows("SELECT v FROM r ORDER BY v"), (Rows{"7", "8"}));
}

/* LOG and BADFILE may name no file the load reads, however it is spelled,
** nor a symbolic link (dangling or not): each is refused with exit 2 before
** anything is opened, and every file is left as it was. */
TEST_F(Load, OutputsNamingWhatTheLoadReadsAreRefused)
{
    db->table("n", "v INTEGER");
    dir.write("d.csv", "1\n2\n");
    dir.write("sub/other.txt", "");
    ASSERT_EQ(link((dir / "d.csv").c_str(), (dir / "d.hard").c_str()), 0);
    dir.write("precious.txt", "keep me\n");
    std::filesystem::create_symlink(dir / "precious.txt", dir / "to_precious");
    std::filesystem::create_symlink(dir / "nothing.txt", dir / "dangling");
    const std::string ctl = "LOAD DATA INFILE 'd.csv' APPEND INTO TABLE n (v)\n";
    const std::string reads = "; the loader never writes over a file it reads";
    const std::string links = " is a symbolic link; the loader does not write through links";
    const struct Case {
        std::string ctl;
        std::vector<std::string> extra;
        std::string message;
    } cases[] = {
        {ctl, {"BADFILE=" + (dir / "qxfldr.db")}, "BADFILE " + (dir / "qxfldr.db") + " is the database" + reads},
        {ctl, {"BADFILE=" + (dir / "d.csv")}, "BADFILE " + (dir / "d.csv") + " is data file d.csv" + reads},
        {ctl, {"LOG=" + (dir / "t.ctl")}, "is the control file"},
        /* Another spelling of a hard link of the data file. */
        {ctl, {"LOG=" + (dir / "sub/../d.hard")}, "is data file d.csv"},
        /* Names given in the control file, relative to its directory. */
        {"OPTIONS (BADFILE = 'qxfldr.db')\n" + ctl, {}, "BADFILE qxfldr.db is the database"},
        {"LOAD DATA INFILE 'd.csv' BADFILE 't.ctl' APPEND INTO TABLE n (v)\n", {}, "is the control file"},
        {ctl, {"LOG=" + (dir / "same.txt"), "BADFILE=" + (dir / "same.txt")}, "is the log file"},
        {ctl, {"BADFILE=" + (dir / "qxfldr.db-journal")}, "is a file of the database"},
        {ctl, {"BADFILE=" + (dir / "sub")}, "BADFILE " + (dir / "sub") + " is a directory"},
        /* A database about to be created is found by its name. */
        {ctl, {"db=" + (dir / "new.db"), "LOG=" + (dir / "new.db")}, "is the database"},
        {ctl, {"LOG=" + (dir / "to_precious")}, "LOG " + (dir / "to_precious") + links},
        {ctl, {"BADFILE=" + (dir / "dangling")}, "BADFILE " + (dir / "dangling") + links},
    };
    const std::string db_before = dir.read("qxfldr.db");
    for (const Case &c : cases) {
        const RunResult r = load(c.ctl, c.extra);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_THAT(r.err, testing::HasSubstr(c.message));
        EXPECT_EQ(dir.read("t.ctl"), c.ctl);
    }
    EXPECT_EQ(dir.read("qxfldr.db"), db_before);
    EXPECT_EQ(dir.read("d.csv"), "1\n2\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "fldr.log"));
    EXPECT_FALSE(std::filesystem::exists(dir / "same.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "new.db"));
    EXPECT_EQ(dir.read("precious.txt"), "keep me\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "nothing.txt"));
    EXPECT_EQ(db->one("SELECT count(*) FROM n"), "0");
}

/* Control and data files that cannot be read say why: what the file is
** when it is no regular file, the system's reason otherwise. A control file
** that is a FIFO is refused at once instead of waiting for a writer. */
TEST_F(Load, InputsThatCannotBeReadSayWhy)
{
    db->table("n", "v INTEGER");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    dir.write("empty.ctl", "");
    dir.write("huge.ctl", "-- " + std::string(1u << 20, 'x') + "\n");
    dir.write("sub/x.txt", "");
    std::filesystem::create_symlink(dir / "gone.txt", dir / "dangling.txt");
    int written = 0;
    auto reading = [&](const std::string &infile) {   /* a control file that reads `infile` */
        const std::string name = "r" + std::to_string(written++) + ".ctl";
        dir.write(name, "LOAD DATA INFILE " + infile + " APPEND INTO TABLE n (v)\n");
        return dir / name;
    };
    const struct {
        std::string control, message;   /* the message follows "control file <control>" when status is 2 */
        int status;
    } cases[] = {
        {dir / "fifo", " is a FIFO (named pipe), not a regular file", 2},
        {dir / "sub", " is a directory, not a regular file", 2},
        {dir / "empty.ctl", " is empty", 2},
        {dir / "huge.ctl", " has 1048580 bytes; a control file may have at most 1048576 (1 MiB)", 2},
        {dir / "missing.ctl", ": No such file or directory", 2},
        {reading("'/dev/null'"), "data file /dev/null is a device, not a regular file", 1},
        {reading("'dangling.txt'"), "data file dangling.txt is a dangling symbolic link", 1},
        {reading("'missing.txt'"), "cannot open data file missing.txt: No such file or directory", 1},
        {reading("LIST 'missing.lst'"), "cannot open list file missing.lst: No such file or directory", 1},
        {reading("DIRECTORY 'nodir'"), "cannot open directory nodir: No such file or directory", 1},
    };
    for (const auto &c : cases) {
        const RunResult r = run(dir, {"control=" + c.control});
        EXPECT_EQ(r.status, c.status) << c.control;
        EXPECT_THAT(r.err, testing::HasSubstr(c.status == 2 ? "control file " + c.control + c.message : c.message));
    }
}

/* INTO TABLE schema.table: in SQLite the schema is an attached database. */
TEST_F(Load, SchemaPartNamesTheDatabase)
{
    db->table("s", "v INTEGER");
    dir.write("d.csv", "1\n");
    RunResult r = load("LOAD DATA INFILE 'd.csv' APPEND INTO TABLE main.s (v)\n");
    EXPECT_EQ(r.status, 0) << r.err;
    r = load("LOAD DATA INFILE 'd.csv' APPEND INTO TABLE other.s (v)\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::HasSubstr("table OTHER.S: unknown database \"OTHER\""));
    EXPECT_EQ(db->one("SELECT count(*) FROM s"), "1");
}

/* An export writes the rows of one query that only reads: a second
** statement, a write, or an output file that is the database are refused
** with exit 2 and nothing is written anywhere; a query the database refuses
** fails with exit 1. */
TEST_F(Load, ExportRunsOneQueryThatOnlyReads)
{
    db->exec("CREATE TABLE x (a INTEGER, b TEXT, c REAL); INSERT INTO x VALUES (1, 'one', 1.5), (2, NULL, -2.25)");
    const std::string database = dir / "qxfldr.db", out = dir / "o.txt";
    const struct {
        std::string sql, data;
        int status;
        std::string message;   /* the file written, or a part of the error */
    } cases[] = {
        {"SELECT a, b, c FROM x ORDER BY a", out, 0, "1|one|1.5\n2||-2.25\n"},
        {"SELECT a FROM x ORDER BY a; -- done", out, 0, "1\n2\n"},
        {"SELECT nothing", out, 1, "query refused"},
        {"SELECT a FROM x; DROP TABLE x", out, 2, "sql= holds more than one statement"},
        {"DELETE FROM x RETURNING a", out, 2, "sql= would change the database; an export only reads"},
        {"SELECT a FROM x", database, 2, "data=" + database + " is the database the query reads"},
    };
    for (const auto &c : cases) {
        std::filesystem::remove(out);
        const RunResult r = run(dir, {"mode=OUT", "db=" + database, "sql=" + c.sql, "data=" + c.data,
                                      "FIELD_SEPERATOR=|"});
        EXPECT_EQ(r.status, c.status) << c.sql << r.err;
        if (c.status == 0) {
            EXPECT_EQ(dir.read("o.txt"), c.message);
            EXPECT_THAT(r.out, testing::HasSubstr("2 rows exported success."));
        } else {
            EXPECT_THAT(r.err, testing::HasSubstr(c.message));
            EXPECT_FALSE(std::filesystem::exists(out)) << c.sql;
        }
    }
    EXPECT_EQ(db->one("SELECT count(*) FROM x"), "2");
    /* A value longer than a text form holds stops the export: it is not written as an empty field. */
    db->exec("INSERT INTO x VALUES (3, printf('%.40000c', 'x'), 0)");
    const RunResult r = run(dir, {"mode=OUT", "db=" + database, "sql=SELECT b FROM x ORDER BY a", "data=" + out});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::HasSubstr("row 3, column 1: the value has no text form of at most 32767 bytes"));
}

/* The control files of scripts/demo load into the demo's schema, with the
** rejected rows the demo shows. */
TEST_F(Load, DemoControlFilesLoadIntoTheDemoSchema)
{
    const std::string demo = std::string(QX_SOURCE_DIR) + "/examples/demo/";
    ASSERT_TRUE(db->exec(read_file(demo + "schema.sql")));
    std::string out;
    for (const char *job : {"orders", "payroll", "events"}) {
        const RunResult r = run(dir, {"control=" + demo + job + ".ctl", "db=" + (dir / "qxfldr.db"),
                                      "LOG=" + (dir / (std::string(job) + ".log")),
                                      "BADFILE=" + (dir / (std::string(job) + ".bad"))});
        EXPECT_EQ(r.status, 0) << job << "\n" << r.err;
        out += r.out;
    }
    EXPECT_EQ(db->one("SELECT count(*) FROM orders"), "73");
    EXPECT_EQ(db->one("SELECT count(*) FROM payroll"), "8");
    EXPECT_EQ(db->one("SELECT (SELECT count(*) FROM logins) || ',' || (SELECT count(*) FROM shop_orders)"), "3,3");
    EXPECT_THAT(out, testing::HasSubstr("2 rows not loaded due to data format error.\n"
                                        "2 rows not loaded due to data error.\n"));
}

}  // namespace

}  // namespace qxtest

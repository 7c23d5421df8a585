/*
** End-to-end loads that every database target must pass alike: qxfldr runs
** as a process on small files, the table is read back, and each test checks
** the rows that must load, the rows that must be rejected (the bad-data file
** byte for byte) and the summary counts.
**
** The tests are written once, here, and compiled into one program per
** target: that program defines make_target(), which creates the database
** handle of a test (an SQLite file in the test's directory, or a private
** PostgreSQL server), and may set skip_reason() when the target cannot run.
** Queries stay within what both databases accept the same way: rows are
** compared as text with NULL written <null>, and sorted in the query.
*/
#ifndef QX_TESTS_QXFLDR_SCENARIOS_H
#define QX_TESTS_QXFLDR_SCENARIOS_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qxfldr_run.h"

namespace qxtest {


/* Defined by the program that includes this file (Target: qxfldr_run.h). */
std::unique_ptr<Target> make_target(const Dir &dir);
/* Non-empty when the target cannot run here (the tests are then skipped). */
std::string skip_reason();

/* The counts of the summary, in its order. */
inline std::string counts(int loaded, int format, int data)
{
    return std::to_string(loaded) + " rows loaded success.\n" + std::to_string(format) +
           " rows not loaded due to data format error.\n" + std::to_string(data) +
           " rows not loaded due to data error.\n";
}

class Load : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("LANG", "C", 1);
        if (const std::string why = skip_reason(); !why.empty())
            GTEST_SKIP() << why;
        db = make_target(dir);
        ASSERT_NE(db, nullptr);
    }
    RunResult load(const std::string &ctl, std::vector<std::string> extra = {})
    {
        dir.write("t.ctl", ctl);
        std::vector<std::string> args = {"control=" + (dir / "t.ctl")};
        if (const std::string target = db->db_arg(); !target.empty())
            args.push_back(target);
        args.insert(args.end(), extra.begin(), extra.end());
        return run(dir, args);
    }
    Dir dir;
    std::unique_ptr<Target> db;
};

TEST_F(Load, DelimitedRowsLoadAndBadRowsAreRejectedWhole)
{
    db->table("people", "id INTEGER PRIMARY KEY, name VARCHAR(5), score REAL, born DATE");
    dir.write("p.csv", "1,ann,1.5,2001-02-03\n"
                       "2,bob,x,2001-02-03\n"          /* score not a number: data */
                       "3,carolyn,2,2001-02-03\n"      /* name longer than 5: data */
                       "4,dan\n"                        /* too few fields: format */
                       "5,eve,3,2001-02-30\n"          /* no such date: data */
                       "6,\"f,g\",4,1999-12-31\n"       /* no enclosure declared: 5 fields, format */
                       "7,\"h\",4.5,1999-12-31\n"       /* the quotes are data */
                       "8,\xD6\xD0\xCE\xC4,1,2000-01-01\n"); /* GBK bytes, not UTF-8: data */
    auto r = load("LOAD DATA INFILE 'p.csv' APPEND INTO TABLE people FIELDS TERMINATED BY ','\n"
                  "(id, name, score, born)\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(counts(2, 2, 4)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Read logic record counts: 8"), std::string::npos) << r.out;
    EXPECT_EQ(db->rows("SELECT id, name, score, born FROM people ORDER BY id"),
              (Rows{"1|ann|1.5|2001-02-03", "7|\"h\"|4.5|1999-12-31"}));
    EXPECT_EQ(dir.read("fldr.bad"),
              "2,bob,x,2001-02-03\n3,carolyn,2,2001-02-03\n4,dan\n5,eve,3,2001-02-30\n6,\"f,g\",4,1999-12-31\n"
              "8,\xD6\xD0\xCE\xC4,1,2000-01-01\n");
    const std::string log = dir.read("fldr.log");
    for (const char *reason : {"file p.csv, row 2: data error: column score", "row 4: format error",
                               "row 5: data error: column born", "row 8: data error: column name", "CHARACTER_CODE"})
        EXPECT_THAT(log, testing::HasSubstr(reason));
}

TEST_F(Load, EnclosuresNullRulesAndTrim)
{
    db->table("t", "a TEXT, b TEXT, c TEXT NOT NULL, d INTEGER");
    dir.write("d.txt", "\"x,1\",,  pad  ,7\n"
                       "\"say hi\",NA,c,NA\n"
                       "q,r,   ,1\n");                  /* c trimmed to nothing is NULL: refused */
    auto r = load("OPTIONS (NULL_STR = 'NA')\n"
                  "LOAD DATA INFILE 'd.txt' APPEND INTO TABLE t FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSE BY '\"'\n"
                  "(a, b, c \"TRIM\", d)\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(counts(2, 0, 1)), std::string::npos) << r.out;
    /* With NULL_STR set, only NA is NULL: the empty b of row 1 is an empty string. */
    EXPECT_EQ(db->rows("SELECT a, b, c, d FROM t ORDER BY a"), (Rows{"say hi|<null>|c|<null>", "x,1||pad|7"}));
    EXPECT_EQ(dir.read("fldr.bad"), "q,r,   ,1\n");

    /* NULL_MODE=TRUE on the command line makes an empty field an empty string. */
    db->exec("DELETE FROM t");
    dir.write("e.txt", "a,,c,5\n");
    r = load("LOAD DATA INFILE 'e.txt' APPEND INTO TABLE t FIELDS TERMINATED BY ',' (a, b, c, d)\n",
             {"NULL_MODE=TRUE"});
    EXPECT_EQ(db->rows("SELECT b, d FROM t"), (Rows{"|5"}));
}

TEST_F(Load, ColumnFeatures)
{
    db->table("f", "code TEXT, region TEXT, host TEXT, short TEXT, made DATE, at TIMESTAMP, "
                   "seen TEXT, kind TEXT DEFAULT 'std', up TEXT");
    /* SYSDATE, DEFAULT and SUBSTR columns take a field of their own (ignored);
    ** only a CONSTANT takes none. */
    dir.write("f.txt", "ABCDEF01|skip|localhost:80|20240131|31.01.2024 13:05:09|x|yy|low|-\n"
                       "XYZ     |skip|db.localhost|20240229|01.02.2024 00:00:00|x|yy|mid|-\n");
    auto r = load("LOAD DATA INFILE 'f.txt' APPEND INTO TABLE f FIELDS TERMINATED BY '|'\n"
                  "(code \"TRIM\", ignored FILLER, host \"REPLACE(:host, 'localhost', '127.0.0.1')\",\n"
                  " made DATE 'YYYYMMDD', at DATE 'DD.MM.YYYY HH24:MI:SS', seen \"SYSDATE\",\n"
                  " kind \"DEFAULT\", up \"UPPER(:up)\", region CONSTANT \"EU\",\n"
                  " short \"SUBSTR(:code, 2, 3)\")\n");
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find(counts(2, 0, 0)), std::string::npos) << r.out;
    EXPECT_EQ(db->rows("SELECT code, region, host, short, made, at, kind, up FROM f ORDER BY code"),
              (Rows{"ABCDEF01|EU|127.0.0.1:80|BCD|2024-01-31|2024-01-31 13:05:09|std|LOW",
                    "XYZ|EU|db.127.0.0.1|YZ |2024-02-29|2024-02-01 00:00:00|std|MID"}));
    /* SYSDATE: the load's start as "YYYY-MM-DD HH:MM:SS". */
    for (const std::string &seen : db->rows("SELECT seen FROM f"))
        EXPECT_THAT(seen, testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
}

TEST_F(Load, FixedPositions)
{
    db->table("pay", "emp TEXT, name TEXT, gross DECIMAL(10,2), dept TEXT");
    dir.write("pay.dat", "HEADER LINE\n"
                         "00000001Ann Smith      0001234.50A\n"
                         "00000002Bob            00000x0.00B\n"
                         "00000003Cy             0000010.00C\n");
    auto r = load("OPTIONS (SKIP = 1)\n"
                  "LOAD INFILE 'pay.dat' APPEND INTO TABLE pay\n"
                  "(emp POSITION(1:8), name POSITION(9:23) \"TRIM\", gross POSITION(24:33), dept POSITION(34:34))\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(counts(2, 0, 1)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Skip logic record counts: 1"), std::string::npos) << r.out;
    EXPECT_EQ(db->rows("SELECT emp, name, CAST(gross * 100 AS INTEGER), dept FROM pay ORDER BY emp"),
              (Rows{"00000001|Ann Smith|123450|A", "00000003|Cy|1000|C"}));
    EXPECT_NE(dir.read("fldr.log").find("row 3: data error: column gross"), std::string::npos);
}

/* Two LOAD statements run one after the other, each with its own table and
** bad-data file. Rows the database itself refuses (a key twice, a CHECK) go
** to the second's bad-data file with the database's message, and the load
** goes on (where such a row stops a load is checked with the stop points). */
TEST_F(Load, TwoLoadStatementsInOneControlFile)
{
    db->table("a", "v INTEGER");
    db->table("k", "id INTEGER PRIMARY KEY, v INTEGER CHECK (v > 0)");
    dir.write("a.txt", "1\n2\nx\n");
    dir.write("k.txt", "1,10\n2,20\n2,21\n3,-5\n4,40\n");
    auto r = load("LOAD DATA INFILE 'a.txt' BADFILE 'a.bad' APPEND INTO TABLE a (v)\n"
                  "LOAD DATA INFILE 'k.txt' BADFILE 'k.bad' APPEND INTO TABLE k FIELDS TERMINATED BY ',' (id, v)\n",
                  {"ROWS=2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(db->rows("SELECT v FROM a ORDER BY v"), (Rows{"1", "2"}));
    EXPECT_EQ(db->rows("SELECT id, v FROM k ORDER BY id"), (Rows{"1|10", "2|20", "4|40"}));
    EXPECT_EQ(dir.read("a.bad"), "x\n");
    EXPECT_EQ(dir.read("k.bad"), "2,21\n3,-5\n");
    const size_t second = r.out.find("Dest table: K");   /* npos fails the find after it */
    EXPECT_NE(r.out.find(counts(2, 0, 1)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(counts(3, 0, 2), second), std::string::npos) << r.out;
    const std::string log = dir.read("fldr.log");
    EXPECT_THAT(log, testing::HasSubstr("table K, file k.txt, row 3: refused by the database: " +
                                        db->duplicate_key_message()));
    EXPECT_THAT(log, testing::HasSubstr("table K, file k.txt, row 4: refused by the database: " + db->check_message()));
}

/* INSERT wants an empty table, APPEND adds. REPLACE swaps the table's rows
** for the data's in the load's first transaction: a load that fails or
** stops before it commits keeps the old rows; one that commits leaves
** exactly the new ones, over several writers too; data without rows leaves
** the table empty. */
TEST_F(Load, LoadModesAppendInsertReplace)
{
    db->table("r", "v INTEGER");
    const std::string into = " INTO TABLE r (v)\n";
    dir.write("m.txt", "-1\n-2\n");
    EXPECT_EQ(load("LOAD DATA INFILE 'm.txt' INSERT" + into).status, 0);
    auto r = load("LOAD DATA INFILE 'm.txt' INSERT" + into);     /* not empty any more */
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::HasSubstr("is not empty"));
    EXPECT_EQ(load("LOAD DATA INFILE 'm.txt' APPEND" + into).status, 0);
    EXPECT_EQ(db->one("SELECT count(*) || ':' || sum(v) FROM r"), "4:-6");
    EXPECT_EQ(load("LOAD DATA INFILE 'm.txt' REPLACE" + into).status, 0);
    EXPECT_EQ(db->rows("SELECT v FROM r ORDER BY v"), (Rows{"-2", "-1"}));

    dir.write("long.txt", "1\n2\n" + std::string(3u << 20, 'x') + "\n3\n");
    r = load("LOAD DATA INFILE 'long.txt' REPLACE" + into);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, testing::HasSubstr("longer than the read buffer"));
    dir.write("bad.txt", "x\n1\n");
    EXPECT_EQ(load("LOAD DATA INFILE 'bad.txt' REPLACE" + into, {"ERRORS=0"}).status, 1);
    EXPECT_EQ(db->rows("SELECT v FROM r ORDER BY v"), (Rows{"-2", "-1"}));

    std::string data;
    for (int i = 1; i <= 60000; i++)
        data += std::to_string(i) + "\r\n";   /* CRLF rows */
    dir.write("many.txt", data);
    r = load("LOAD DATA INFILE 'many.txt' REPLACE" + into, {"TASK_THREAD_NUMBER=3", "ROWS=7000", "BUFFER_NODE_SIZE=1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(db->one("SELECT count(*) || ':' || count(DISTINCT v) || ':' || sum(v) || ':' || min(v) FROM r"),
              "60000:60000:" + std::to_string(60000LL * 60001 / 2) + ":1");

    dir.write("none.txt", "");
    EXPECT_EQ(load("LOAD DATA INFILE 'none.txt' REPLACE" + into, {"TASK_THREAD_NUMBER=2"}).status, 0);
    EXPECT_EQ(db->one("SELECT count(*) FROM r"), "0");
}

/* Data files named by a list; SKIP and LOAD count rows across the files,
** and the command line overrides the control file's OPTIONS. */
TEST_F(Load, DataFileResolution)
{
    db->table("s", "v INTEGER");
    dir.write("in/a1.txt", "1\n2\n3\n4\n");
    dir.write("in/a2.txt", "5\n6\n7\n8\n");
    dir.write("list.txt", "in/a1.txt\nin/a2.txt\n");
    auto r = load("OPTIONS (SKIP = 5 LOAD = 1)\nLOAD DATA INFILE LIST 'list.txt' APPEND INTO TABLE s (v)\n",
                  {"SKIP=3", "LOAD=3", "LOG=" + (dir / "my.log"), "SILENT=TRUE"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(db->rows("SELECT v FROM s ORDER BY v"), (Rows{"4", "5", "6"}));
    EXPECT_NE(dir.read("my.log").find("3 rows loaded success."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "fldr.log"));
}

/* A table or column the database lacks: exit 1 before any row. (Syntax
** errors, found before the database is opened, are placed in the refusal
** tests.) */
TEST_F(Load, BadInputIsRefusedBeforeAnyRow)
{
    db->table("b", "v INTEGER");
    dir.write("b.txt", "1\n");
    for (const auto &[into, message] : {std::pair{"nosuch (v)", "table NOSUCH does not exist"},
                                        std::pair{"b (v, w)", "column W does not exist"}}) {
        const RunResult r = load("LOAD DATA INFILE 'b.txt' APPEND INTO TABLE " + std::string(into) + "\n");
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_THAT(r.err, testing::HasSubstr(message));
    }
    EXPECT_EQ(db->one("SELECT count(*) FROM b"), "0");
}

/* A full disk for the bad-data file: the load stops, the open transaction is not committed. */
TEST_F(Load, FullBadFileStopsTheLoad)
{
    db->table("n", "v INTEGER");
    dir.write("n.txt", "1\nx\n3\n");
    const RunResult r = load("LOAD DATA INFILE 'n.txt' BADFILE '/dev/full' APPEND INTO TABLE n (v)\n",
                             {"TASK_THREAD_NUMBER=1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write the bad-data file /dev/full"), std::string::npos) << r.err;
    EXPECT_EQ(db->one("SELECT count(*) FROM n"), "0");
}

/* A control file that gives an enclosure and no escape is read as CSV, the
** way CSV files are written by other tools: every row is stored as a CSV
** reader reads it, or rejected whole with a reason. */
TEST_F(Load, CsvRowsAreStoredAsWrittenOrRejectedWithTheirReason)
{
    db->table("t", "a TEXT, b TEXT, c TEXT");
    const std::string bad = "\"x\"  ,y,z\n"           /* text after a closing quote */
                            "6,7,8,9\n"               /* a field too many */
                            "7,8\n"                   /* a field too few */
                            "8,a\rb,c\n"              /* a carriage return outside quotes */
                            "9,\"open,\n";            /* a quote never closed */
    dir.write("d.csv", "1,\"say \"\"hi\"\" now\",x\n"
                       "2,\"three\nline\r\nnote\",\n"
                       "\n"
                       "\r\n"
                       "3,C:\\new\\table,\\N\r\n"
                       "4,{\"k\": 1},\"\"\n"
                       "5,,12\" pizza\n" + bad);
    auto r = load("LOAD DATA INFILE 'd.csv' APPEND INTO TABLE t FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSE BY '\"'\n"
                  "(a, b, c)\n", {"TASK_THREAD_NUMBER=2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(counts(5, 5, 0) + "2 blank lines skipped.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Read logic record counts: 12"), std::string::npos) << r.out;
    EXPECT_EQ(db->rows("SELECT a, b, c FROM t ORDER BY a"),
              (Rows{"1|say \"hi\" now|x", "2|three\nline\r\nnote|<null>", "3|C:\\new\\table|\\N", "4|{\"k\": 1}|",
                    "5|<null>|12\" pizza"}));
    EXPECT_EQ(dir.read("fldr.bad"), bad);
    const std::string log = dir.read("fldr.log");
    for (const char *reason : {"row 8: format error: field 1 (A): text after the closing quote at byte 4",
                               "row 9: format error: 4 fields, the control file lists 3",
                               "row 10: format error: 2 fields, the control file lists 3",
                               "row 11: format error: field 2 (B): a carriage return outside quotes at byte 4",
                               "row 12: format error: field 2 (B): the quote that opens the field at byte 3 is "
                               "not closed"})
        EXPECT_NE(log.find(reason), std::string::npos) << reason << "\n" << log;

    /* TRAILING NULLCOLS fills missing fields with NULL and excuses nothing else. */
    db->exec("DELETE FROM t");
    dir.write("e.csv", "\"a\"\"b\",z\n\"x\"  ,y,z\n1,2,3,4\n5,6\r");
    r = load("LOAD DATA INFILE 'e.csv' APPEND INTO TABLE t FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSE BY '\"'\n"
             "TRAILING NULLCOLS (a, b, c)\n");
    EXPECT_EQ(db->rows("SELECT a, b, c FROM t ORDER BY a"), (Rows{"5|6|<null>", "a\"b|z|<null>"}));
    EXPECT_EQ(dir.read("fldr.bad"), "\"x\"  ,y,z\n1,2,3,4\n");

    /* Lines that end in a carriage return alone are rows, and the log says so. */
    db->exec("DELETE FROM t");
    dir.write("f.csv", "a,b,c\r1,2,3\r4,\"5\r6\",7\r");
    r = load("LOAD DATA INFILE 'f.csv' APPEND INTO TABLE t FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSE BY '\"'\n"
             "(a, b, c)\n");
    EXPECT_EQ(db->rows("SELECT a, b, c FROM t ORDER BY a"), (Rows{"1|2|3", "4|5\r6|7", "a|b|c"}));
    EXPECT_NE(dir.read("fldr.log").find("carriage return alone"), std::string::npos);
}

/* ESCAPED BY written in the control file reads escaped data: the escape
** protects the next character (\N is NULL), a doubled enclosure is not
** special (that row is rejected), and in GBK a trailing byte 0x5C is never
** taken for the escape, nor 0x7C for the '|' terminator. */
TEST_F(Load, EscapedDataAndMultiByteTrailingBytes)
{
    db->table("t", "a TEXT, b TEXT");
    /* Rows end at "#\n". */
    dir.write("z.txt", "1|a\\|b#\n2|\\N#\n3|plain#\n");
    auto r = load("LOAD DATA INFILE 'z.txt' STR '#\n' APPEND INTO TABLE t FIELDS TERMINATED BY '|' ESCAPED BY '\\\\'\n"
                  "(a, b)\n");
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(db->rows("SELECT a, b FROM t ORDER BY a"), (Rows{"1|a|b", "2|<null>", "3|plain"}));
    db->exec("DELETE FROM t");
    dir.write("d.txt", "\"a\\\"b\",x\n\"c\"\"d\",y\n");
    r = load("LOAD DATA INFILE 'd.txt' APPEND INTO TABLE t FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSE BY '\"'\n"
             "ESCAPED BY '\\\\' (a, b)\n");
    EXPECT_EQ(db->rows("SELECT a, b FROM t"), (Rows{"a\"b|x"}));
    EXPECT_EQ(dir.read("fldr.bad"), "\"c\"\"d\",y\n");

    /* 0x95 0x5C and 0x95 0x7C are GBK characters (U+662E and U+6650). */
    for (const char *escape : {"ESCAPED BY '\\\\' ", ""}) {
        db->exec("DELETE FROM t");
        dir.write("g.txt", "a|\x95\x5C\nb|\x95\x7C\nc|d|e\nf|\x81\x30\n");
        r = load(std::string("OPTIONS (CHARACTER_CODE = 'GBK')\n"
                             "LOAD DATA INFILE 'g.txt' APPEND INTO TABLE t FIELDS TERMINATED BY '|' ") +
                 escape + "TRAILING NULLCOLS (a, b)\n");
        EXPECT_EQ(db->rows("SELECT a, b FROM t ORDER BY a"),
                  (Rows{"a|\xE6\x98\x9E", "b|\xE6\x99\x90"})) << escape;
        /* A field too many; a character cut short at the row's end. */
        EXPECT_EQ(dir.read("fldr.bad"), "c|d|e\nf|\x81\x30\n") << escape;
    }
    /* SKIP walks the characters too: the first row ends at its line feed. */
    db->exec("DELETE FROM t");
    r = load("OPTIONS (CHARACTER_CODE = 'GBK')\n"
             "LOAD DATA INFILE 'g.txt' APPEND INTO TABLE t FIELDS TERMINATED BY '|' ESCAPED BY '\\\\' "
             "TRAILING NULLCOLS (a, b)\n", {"SKIP=1"});
    EXPECT_EQ(db->rows("SELECT a, b FROM t"), (Rows{"b|\xE6\x99\x90"}));
}

}  // namespace qxtest

#endif

/*
** What the loader refuses before it reads a row, end to end into SQLite:
** numbers too large for their fields, column clauses that could only
** reject every row, control-file mistakes found after the parse, errors
** placed by line and column with long tokens shortened, a memory limit,
** and a column list of 70,000 columns checked in linear time.
*/
#include <unistd.h>

#include <chrono>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/qxfldr_run.h"

namespace qxtest {

namespace {

class Refusal : public ::testing::Test {
protected:
    void SetUp() override { setenv("LANG", "C", 1); }
    RunResult load(const std::string &ctl, std::vector<std::string> extra = {},
                   const std::vector<std::string> &prefix = {})
    {
        dir.write("t.ctl", ctl);
        std::vector<std::string> args = {"control=" + (dir / "t.ctl")};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(dir, args, prefix);
    }
    /* Every message of a refused run: what it must say, and never a
    ** position of 0. */
    void expect_refused(const RunResult &r, int status, const std::string &message)
    {
        EXPECT_EQ(r.status, status) << message << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(std::regex_search(r.err, std::regex("(line|column) 0\\b"))) << r.err;
    }
    Dir dir;
    Db db{dir / "qxfldr.db"};
};

const std::string kNumbers = "LOAD DATA INFILE 'n.txt' APPEND INTO TABLE n (v)\n";

TEST_F(Refusal, NumbersTooLargeForTheirFieldsAreRefused)
{
    db.exec("CREATE TABLE n (v INTEGER)");
    dir.write("n.txt", "1\n2\n");
    const struct {
        std::string ctl;
        std::vector<std::string> extra;
        const char *message;
    } cases[] = {
        {kNumbers, {"ERRORS=4294967296"},
         "ERRORS: 4294967296 does not fit in 32 bits (at most 4294967295); OPTIONS would keep its low 32 bits, 0"},
        {kNumbers, {"TASK_THREAD_NUMBER=4294967297"}, "TASK_THREAD_NUMBER: 4294967297 does not fit in 32 bits"},
        {kNumbers, {"LOAD=9223372036854775808"}, "LOAD: 9223372036854775808 does not fit in 64 bits"},
        {kNumbers, {"BUFFER_NODE_SIZE=4096"}, "bad value for BUFFER_NODE_SIZE: 4096 (1 to 1024 MiB)"},
        {kNumbers, {"TASK_THREAD_NUMBER=0"}, "bad value for TASK_THREAD_NUMBER: 0 (at least 1 worker)"},
        {"OPTIONS (ERRORS = 4294967296)\n" + kNumbers, {},
         "OPTIONS at line 1, column 19: ERRORS: 4294967296 does not fit in 32 bits"},
        {"OPTIONS (BUFFER_NODE_SIZE = 5000)\n" + kNumbers, {}, "bad value for BUFFER_NODE_SIZE: 5000"},
    };
    for (const auto &c : cases)
        expect_refused(load(c.ctl, c.extra), 2, c.message);
    EXPECT_EQ(db.one("SELECT count(*) FROM n"), "0");

    /* The largest ERRORS written in the control file is the user's, not
    ** "not given": 150 rejected rows do not stop the load. Its
    ** BUFFER_NODE_SIZE sizes the read buffers, two and two more for each
    ** worker; workers beyond the processors are capped with a line. */
    std::string data;
    for (int i = 0; i < 150; i++)
        data += "x\n";
    dir.write("n.txt", data + "7\n");
    const std::string cpus = std::to_string(sysconf(_SC_NPROCESSORS_ONLN));
    const RunResult r =
        load("OPTIONS (ERRORS = 4294967295 BUFFER_NODE_SIZE = 2)\n" + kNumbers, {"TASK_THREAD_NUMBER=100000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(db.one("SELECT group_concat(v) FROM n"), "7");
    EXPECT_THAT(r.err, testing::HasSubstr("TASK_THREAD_NUMBER=100000 is more than the " + cpus + " processors"));
    EXPECT_THAT(dir.read("fldr.log"), testing::HasSubstr("read buffers: " + std::to_string(2 * std::stoi(cpus) + 2) +
                                                         " x 2 MiB; workers: " + cpus + ";"));
}

/* Column clauses that could only reject every row, and mistakes of the
** control file found after the parse, exit 2 before any row is read. */
TEST_F(Refusal, ColumnClausesThatCannotWorkAreRefusedBeforeAnyRow)
{
    db.exec("CREATE TABLE t (a TEXT, b TEXT, d TEXT)");
    dir.write("d.txt", "x,y,2024-01-02\n");
    auto ctl = [](const std::string &fields, const std::string &columns) {
        return "LOAD DATA INFILE 'd.txt' APPEND INTO TABLE t FIELDS TERMINATED BY '" + fields + "' (" + columns + ")\n";
    };
    const struct {
        std::string ctl;
        const char *message;
        int status = 2;
    } refused[] = {
        {ctl(",", "a TERMINATED BY '', b, d"), "table T, column A: TERMINATED BY '' is empty"},
        {ctl(",", "a TERMINATED BY X '', b, d"), "table T, column A: TERMINATED BY '' is empty"},
        {ctl(",", "a POSITION(0:0), b, d"), "column A: POSITION(0:0): positions count from 1"},
        {ctl(",", "a POSITION(5:4), b, d"), "column A: POSITION(5:4) ends before it starts"},
        {ctl(",", "a POSITION(0), b, d"), "column A: POSITION(0): positions count from 1"},
        {ctl(",", "a, b, d DATE ''"), "column D: DATE '' has no format"},
        {ctl(",", "a, b, d DATE FORMAT ''"), "column D: DATE '' has no format"},
        {ctl("", "a, b, d"), "column A: no terminator ends its field (FIELDS TERMINATED BY is empty)"},
        {ctl("", "a TERMINATED BY ',', b, d"), "column B: no terminator ends its field"},
        {ctl(",", "a, b, d DATE 'YYYY-QQ'"), "column d: date format 'YYYY-QQ' is not understood"},
        {ctl(",", "a, b, a"), "column A is listed twice"},
        {ctl(",", "a, b \"FROB(:a)\", d"), "column b: function FROB is not supported"},
        {ctl(",", "a, b \"SUBSTR(:a, 'x', 1)\", d"), "column B: function \"SUBSTR(:a, 'x', 1)\" refused"},
        {ctl(",", "a, b \"SUBSTR(:zz, 1, 1)\", d"), "column B: function \"SUBSTR(:zz, 1, 1)\" refused"},
        /* What the database lacks is not a mistake of the control file. */
        {ctl(",", "a, b, d, w"), "column W does not exist in table T", 1},
    };
    for (const auto &c : refused)
        expect_refused(load(c.ctl), c.status, c.message);
    EXPECT_EQ(db.one("SELECT count(*) FROM t"), "0");

    /* What looks alike but works still loads. */
    const std::string works[] = {
        ctl(",", "a, b, d DATE"),                                   /* no format: ISO dates */
        ctl(",", "a, b, d DATE 'YYYY-'\n'MM-DD'"),                  /* one format over two lines */
        ctl("", "a"),                                                /* one field: the whole row */
        ctl("", "a POSITION(1:1), b POSITION(3:3), d POSITION(5:14)"),   /* ranges need no terminator */
        ctl("", "a TERMINATED BY ',', b TERMINATED BY ',', d"),       /* the last field ends with the row */
    };
    for (const auto &c : works)
        EXPECT_EQ(load(c).status, 0) << c;
    EXPECT_EQ(db.rows("SELECT a, b, d FROM t ORDER BY rowid"),
              (std::vector<std::string>{"x|y|2024-01-02", "x|y|2024-01-02", "x,y,2024-01-02|<null>|<null>",
                                        "x|y|2024-01-02", "x|y|2024-01-02"}));
}

TEST_F(Refusal, ErrorsArePlacedAndLongTokensShortened)
{
    db.exec("CREATE TABLE n (v INTEGER)");
    dir.write("n.txt", "1\n");
    expect_refused(load("LOAD DATA INFILE 'n.txt APPEND\nINTO TABLE n (v)\n"), 2,
                   "at line 1, column 18, near ''n.txt APPEND\\nINTO TABLE n (v)\\n': String");

    const std::string x(10000, 'x');
    const RunResult runs[] = {
        load("OPTIONS (LOG = '" + x + "')\n" + kNumbers),
        load("LOAD DATA INFILE 'n.txt' APPEND INTO TABLE n (" + x + ")\n"),
        load(kNumbers, {"NULL_STR=" + x}),
        load(kNumbers, {x + "=1"}),
        load(kNumbers, {"ERRORS=" + x}),
    };
    for (const RunResult &r : runs) {
        EXPECT_EQ(r.status, 2) << r.err.substr(0, 300);
        EXPECT_LT(r.err.size(), 400u) << r.err.substr(0, 300);
        EXPECT_NE(r.err.find("..."), std::string::npos) << r.err;
        /* A message shows at most 60 characters of a token. */
        EXPECT_EQ(r.err.find(std::string(61, 'x')), std::string::npos) << r.err;
    }
}

/* The check of a column list against itself: a list of 70,000 columns
** took 77 s when each column was compared with all after it (the names
** repeated at the end make the check walk the whole list). */
TEST_F(Refusal, SeventyThousandColumnsAreCheckedInLinearTime)
{
    constexpr int kColumns = 70000;
    std::string cols;
    for (int i = 0; i < kColumns; i++)
        cols += (i ? ", c" : "c") + std::to_string(i);
    dir.write("w.txt", "0\n");
    const std::string head = "LOAD DATA INFILE 'w.txt' APPEND INTO TABLE w FIELDS TERMINATED BY ',' (";
    const auto started = std::chrono::steady_clock::now();
    /* The first column named again is the one reported, as before. */
    expect_refused(load(head + cols + ", c2, c1)\n", {"db=:none:"}), 2, "column C1 is listed twice");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(Refusal, BuffersStayWithinTheMemoryLimit)
{
    db.exec("CREATE TABLE n (v INTEGER)");
    dir.write("n.txt", "1\n");
    expect_refused(load(kNumbers, {"BUFFER_NODE_SIZE=32", "MEMORY=64"}), 2,
                   "more than the memory limit of 64 MiB: lower BUFFER_NODE_SIZE or TASK_THREAD_NUMBER, or raise MEMORY");
    for (const char *bad : {"MEMORY=0", "MEMORY=lots", "MEMORY=101%", "MEMORY=999999999"})
        expect_refused(load(kNumbers, {bad}), 2, "bad value for MEMORY");
    EXPECT_EQ(db.one("SELECT count(*) FROM n"), "0");

    /* The tests' exact read buffer in bytes is planned like BUFFER_NODE_SIZE. */
    setenv("QXFLDR_READ_BUFFER_BYTES", "100", 1);
    RunResult small = load(kNumbers, {"TASK_THREAD_NUMBER=1"});
    unsetenv("QXFLDR_READ_BUFFER_BYTES");
    EXPECT_EQ(small.status, 0) << small.err;
    EXPECT_NE(dir.read("fldr.log").find("read buffers: 4 x 100 bytes"), std::string::npos) << dir.read("fldr.log");
    EXPECT_EQ(db.one("SELECT count(*) FROM n"), "1");
}

/* Memory the system will not give is a message and exit status 1, not an
** abort: the address space is limited below what the read buffers take. */
TEST_F(Refusal, OutOfMemoryIsACleanError)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#endif
    if (access("/usr/bin/prlimit", X_OK) != 0)
        GTEST_SKIP() << "no prlimit";
    /* MEMORY=100% must let the plan pass: 4 buffers and 4 batches of 100 MiB. */
    if (static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGE_SIZE)) < (2ull << 30))
        GTEST_SKIP() << "less than 2 GiB of memory";
    db.exec("CREATE TABLE n (v INTEGER)");
    dir.write("n.txt", "1\n");
    const RunResult r = load(kNumbers, {"BUFFER_NODE_SIZE=100", "TASK_THREAD_NUMBER=1", "MEMORY=100%"},
                             {"/usr/bin/prlimit", "--as=" + std::to_string(400u << 20), "--"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("out of memory: 4 x 100 MiB read buffers cannot be had"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("bad_alloc"), std::string::npos) << r.err;
    EXPECT_EQ(db.one("SELECT count(*) FROM n"), "0");
}

}  // namespace

}  // namespace qxtest

/*
** The loader's own pieces, run in this process: the output files under
** write failures injected through the runtime's system-call table, a whole
** load whose log fails that way, and the reading of table names with their
** quoting from the control text.
*/
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "ctltext.h"
#include "support/fpar_test_util.h"
#include "outfile.h"
#include "support/qxfldr_run.h"
#include "qxos.h"
#include "qxos_seam.h"
#include "table_name.h"
#include "tool.h"

namespace {

/*
** The injected write: writes to the file at g_fault.path fail with
** g_fault.err once g_fault.budget bytes have gone in, each call taking at
** most 3 bytes so that a row needs several; with a trigger set, only writes
** holding the trigger text count. Other files are written as usual.
*/
struct WriteFault {
    std::string       path;
    std::string       trigger;
    std::atomic<long> budget{0};
    int               err = ENOSPC;
} g_fault;

ssize_t faulty_write(int fd, const void *buf, size_t n)
{
    char link[64];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t len = readlink(link, target, sizeof target);
    const std::string_view bytes(static_cast<const char *>(buf), n);
    if (len <= 0 || std::string_view(target, static_cast<size_t>(len)) != g_fault.path ||
        (!g_fault.trigger.empty() && bytes.find(g_fault.trigger) == std::string_view::npos))
        return ::write(fd, buf, n);
    const long left = g_fault.budget.load();
    if (left <= 0) {
        errno = g_fault.err;
        return -1;
    }
    const ssize_t done = ::write(fd, buf, std::min<size_t>({n, 3, static_cast<size_t>(left)}));
    if (done > 0)
        g_fault.budget -= done;
    return done;
}

class FaultTest : public ::testing::Test {
protected:
    void inject(const std::string &path, long budget, int err, const std::string &trigger = "")
    {
        g_fault.path = path;
        g_fault.trigger = trigger;
        g_fault.budget = budget;
        g_fault.err = err;
        ASSERT_TRUE(os_file_syscall_override("write", reinterpret_cast<void *>(faulty_write)));
    }
    ~FaultTest() override { os_file_syscall_reset(); }

    /* run_load as main() calls it, here; the working directory is put back. */
    qxtest::RunResult load(const std::string &ctl, std::vector<std::pair<std::string, std::string>> options)
    {
        dir.write("t.ctl", ctl);
        qxfldr::LoadRequest req;
        req.control = dir / "t.ctl";
        req.options = std::move(options);
        const auto cwd = std::filesystem::current_path();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        /* Braced initializers run in order: the load, then what it printed. */
        const qxtest::RunResult r{qxfldr::run_load(req), testing::internal::GetCapturedStdout(),
                                  testing::internal::GetCapturedStderr()};
        std::filesystem::current_path(cwd);
        return r;
    }
    qxtest::Dir dir;
};

TEST_F(FaultTest, OutputFileWritesWholeAndStopsAtTheFirstFailure)
{
    const std::string path = dir / "out.txt";
    qxfldr::OutputFile file("bad-data file", path);
    ASSERT_TRUE(file.write("first row\n"));
    inject(path, 4, ENOSPC);
    EXPECT_FALSE(file.write("second row\n"));
    EXPECT_EQ(file.error(), "cannot write the bad-data file " + path + ": No space left on device");
    g_fault.budget = 1000;   /* room again: a later row would leave a hole where the lost one was */
    EXPECT_FALSE(file.write("third row\n"));
    EXPECT_TRUE(file.failed());
    EXPECT_EQ(dir.read("out.txt"), "first row\n");

    /* A stale file of an earlier run is removed; a device is left alone. */
    dir.write("old.bad", "earlier\n");
    qxfldr::OutputFile stale("bad-data file", dir / "old.bad");
    EXPECT_TRUE(stale.remove_stale());
    EXPECT_FALSE(std::filesystem::exists(dir / "old.bad"));
    qxfldr::OutputFile device("bad-data file", "/dev/null");
    EXPECT_TRUE(device.remove_stale());
    EXPECT_TRUE(std::filesystem::exists("/dev/null"));
}

/* A log that fails in the middle of a load stops it: exit 1 with the file
** and the system's reason, and the table holds exactly the rows the
** summary counts, in whole transactions. */
TEST_F(FaultTest, LogWriteErrorStopsTheLoadWithCommittedRowsIntact)
{
    qxtest::Db db(dir / "qxfldr.db");
    ASSERT_TRUE(db.exec("CREATE TABLE k (id INTEGER, note TEXT)"));
    dir.write("k.txt", qxtest::numbered_rows(200000, ',') + "x,bad\n");
    const std::string log = dir / "k.log";
    inject(log, 0, EIO, "data error");
    const auto r = load("LOAD DATA INFILE 'k.txt' APPEND INTO TABLE k FIELDS TERMINATED BY ',' (id, note)\n",
                        {{"LOG", "'" + log + "'"}, {"ROWS", "1000"}, {"TASK_THREAD_NUMBER", "1"}});
    EXPECT_EQ(r.status, qxfldr::kExitFailed);
    EXPECT_THAT(r.err, testing::HasSubstr("load stopped: cannot write the log file " + log + ": Input/output error"));
    const size_t at = r.out.find(" rows loaded success.");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string loaded = r.out.substr(r.out.rfind('\n', at) + 1, at - r.out.rfind('\n', at) - 1);
    EXPECT_EQ(db.one("SELECT count(*) FROM k"), loaded);
    EXPECT_EQ(std::stol(loaded) % 1000, 0);
    EXPECT_EQ(db.one("SELECT count(*) FROM k WHERE note <> 'row number ' || (id % 1000)"), "0");
}

/* Which parts of an INTO TABLE name were quoted, read from the text the
** parse was made of: literals and comments that look like clauses are not
** taken for one. */
TEST(TableNames, QuotingIsReadFromTheControlText)
{
    const std::string text = "-- INTO TABLE \"Not\" in a comment\n"
                             "LOAD DATA INFILE 'into table x.txt' APPEND INTO TABLE sch.t1 (a)\n"
                             "/* INTO TABLE /* nested */ \"Also\".\"Not\" */\n"
                             "LOAD DATA INFILE 'b.txt' APPEND INTO TABLE \"MixT\" (a)\n"
                             "LOAD DATA INFILE 'c.txt' APPEND into table \"Sch\".\"T\"\"q\" (a)\n"
                             "LOAD DATA INFILE 'd.txt' APPEND INTO TABLE \"T3\" (a)\n"
                             "LOAD DATA INFILE 'e.txt' APPEND INTO TABLE data (a)\n";
    fpar_test::Parse parse(text);
    ASSERT_EQ(parse.rc, 0) << parse.err_text();
    auto spelled = [&](const std::string &scanned) {
        std::vector<std::string> seen;
        for (const auto &n : qxfldr::table_names_of(qxfldr::scan_control_text(scanned), *parse.result))
            seen.push_back((n.schema_quoted ? "\"" + n.schema + "\"" : n.schema) + "." +
                           (n.name_quoted ? "\"" + n.name + "\"" : n.name));
        return seen;
    };
    EXPECT_EQ(spelled(text),
              (std::vector<std::string>{"SCH.T1", ".\"MixT\"", "\"Sch\".\"T\"q\"", ".\"T3\"", ".DATA"}));
    /* A text that does not match the records (not the one parsed): a name
    ** no unquoted spelling gives counts as quoted, any other as unquoted. */
    EXPECT_EQ(spelled(""),
              (std::vector<std::string>{"SCH.T1", ".\"MixT\"", "\"Sch\".\"T\"q\"", ".T3", ".DATA"}));
}

}  // namespace

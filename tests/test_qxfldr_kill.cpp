/*
** Loads ended from outside: killed with SIGKILL in the middle (the database
** must be intact and hold only whole committed transactions of ROWS rows),
** and interrupted with Ctrl-C at a terminal (the progress line shows, the
** committed rows stay and the summary says how many).
*/
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include "support/qxfldr_run.h"

namespace {

/* A table k (id, note), a data file of `rows` rows "i,row number i%1000"
** and a control file that appends them. */
void prepare(const qxtest::Dir &dir, int rows)
{
    setenv("LANG", "C", 1);
    qxtest::write_file(dir / "k.txt", qxtest::numbered_rows(rows, ','));
    qxtest::Db(dir / "qxfldr.db").exec("CREATE TABLE k (id INTEGER, note TEXT)");
    dir.write("k.ctl", "LOAD DATA INFILE 'k.txt' APPEND INTO TABLE k FIELDS TERMINATED BY ',' (id, note)\n");
}

TEST(QxfldrKill, KilledLoadLeavesOnlyWholeTransactions)
{
    qxtest::Dir dir;
    constexpr int kRows = 1500000, kPerCommit = 1000;
    prepare(dir, kRows);
    const pid_t pid = qxtest::spawn_qxfldr(dir, {"control=" + (dir / "k.ctl"), "ROWS=" + std::to_string(kPerCommit)});
    ASSERT_GT(pid, 0);

    /* Wait for the first commits, then kill. */
    std::string seen = "0";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen == "0" && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        seen = qxtest::Db(dir / "qxfldr.db", true).one("SELECT count(*) FROM k");
    }
    kill(pid, SIGKILL);
    const int status = qxtest::wait_status(pid);

    qxtest::Db db(dir / "qxfldr.db");
    EXPECT_EQ(db.one("PRAGMA integrity_check"), "ok");
    const long count = std::stol(db.one("SELECT count(*) FROM k"));
    EXPECT_EQ(count % kPerCommit, 0) << count;
    EXPECT_GT(count, 0);
    EXPECT_TRUE(status != 128 + SIGKILL || count < kRows) << "killed after the load finished";
    /* Every stored row is whole: its note matches its id. */
    EXPECT_EQ(db.one("SELECT count(*) FROM k WHERE note <> 'row number ' || (id % 1000)"), "0");
}

TEST(QxfldrKill, CtrlCAtATerminalShowsProgressAndKeepsCommittedRows)
{
    qxtest::Dir dir;
    constexpr int kRows = 12000000, kPerCommit = 10000;
    prepare(dir, kRows);

    /* Standard error on a terminal of our own. */
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const pid_t pid = qxtest::spawn_qxfldr(dir, {"control=" + (dir / "k.ctl"), "ROWS=" + std::to_string(kPerCommit)},
                                           {}, ptsname(master));
    ASSERT_GT(pid, 0);
    /* Wait for a progress line, then press Ctrl-C. */
    std::string terminal;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (terminal.find("left") == std::string::npos && std::chrono::steady_clock::now() < until) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[512];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            terminal.append(buf, static_cast<size_t>(n));
        }
    }
    kill(pid, SIGINT);
    const int status = qxtest::wait_status(pid);
    close(master);

    EXPECT_THAT(terminal, testing::AllOf(testing::HasSubstr(" rows/s, "), testing::HasSubstr(" MiB of ")));
    EXPECT_EQ(status, 130);
    qxtest::Db db(dir / "qxfldr.db");
    const long count = std::stol(db.one("SELECT count(*) FROM k"));
    EXPECT_EQ(count % kPerCommit, 0) << count;
    EXPECT_LT(count, kRows);
    EXPECT_THAT(dir.read(".stdout"), testing::AllOf(testing::HasSubstr(std::to_string(count) + " rows loaded success."),
                                                    testing::HasSubstr("load stopped: interrupted")));
}

}  // namespace

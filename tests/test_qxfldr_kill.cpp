/*
** A load killed with SIGKILL in the middle: the database must be intact
** and hold only whole committed transactions (ROWS rows each).
*/
#include <gtest/gtest.h>

#include "qxfldr_run.h"

namespace {

TEST(QxfldrKill, KilledLoadLeavesOnlyWholeTransactions)
{
    setenv("LANG", "C", 1);
    qxtest::Dir dir;
    constexpr int kRows = 1500000, kPerCommit = 1000;
    {
        std::string data;
        data.reserve(static_cast<size_t>(kRows) * 24);
        for (int i = 0; i < kRows; i++)
            data += std::to_string(i) + ",row number " + std::to_string(i % 1000) + "\n";
        dir.write("k.txt", data);
    }
    {
        qxtest::Db db(dir / "qxfldr.db");
        db.exec("CREATE TABLE k (id INTEGER, note TEXT)");
    }
    dir.write("k.ctl", "LOAD DATA INFILE 'k.txt' APPEND INTO TABLE k FIELDS TERMINATED BY ',' (id, note)\n");
    const pid_t pid = qxtest::spawn_qxfldr(dir, {"control=" + (dir / "k.ctl"), "ROWS=" + std::to_string(kPerCommit)});
    ASSERT_GT(pid, 0);

    /* Wait for the first commits, then kill. */
    std::string seen = "0";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen == "0" && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        qxtest::Db db(dir / "qxfldr.db", true);
        seen = db.one("SELECT count(*) FROM k");
    }
    kill(pid, SIGKILL);
    const int status = qxtest::wait_status(pid);

    qxtest::Db db(dir / "qxfldr.db");
    EXPECT_EQ(db.one("PRAGMA integrity_check"), "ok");
    const long count = std::stol(db.one("SELECT count(*) FROM k"));
    EXPECT_EQ(count % kPerCommit, 0) << count;
    EXPECT_GT(count, 0);
    if (status == 128 + SIGKILL) {
        EXPECT_LT(count, kRows) << "killed after the load finished";
    }
    /* Every stored row is whole: its note matches its id. */
    EXPECT_EQ(db.one("SELECT count(*) FROM k WHERE note <> 'row number ' || (id % 1000)"), "0");
}

}  // namespace

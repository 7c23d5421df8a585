/*
** Many short loads through tiny pools: a reader and two workers over 4 KiB
** buffers and two tasks, stopped at random moments. Every round must end
** (the watchdog aborts a hung one), deliver a prefix of the file's rows each
** exactly once, and leave every buffer and task in its pool. Run it under
** the thread sanitizer too.
*/
#include <gtest/gtest.h>

#include <random>

#include "load_rig.h"

using namespace qxtest;
using namespace std::chrono_literals;

namespace {

TEST(PipelineStress, RandomStopsNeverLoseOrDoubleRowsBuffersOrTasks)
{
    TempDir dir;
    std::mt19937 gen(20261205);
    const std::vector<std::string> rows = make_rows(150, "\r\n", 20261205);
    std::string path = dir.file("stress.dat");
    write_file(path, joined(rows));

    int stopped = 0;
    int finished = 0;
    for (int round = 0; round < 200; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Watchdog dog(60s, "stress round");
        PipeRig rig(2, 4096, 2, 2);
        fldr_inst &inst = rig.inst();
        inst.task_rows = 1 + gen() % 4;
        const int stop_after = static_cast<int>(gen() % 200);     /* beyond 150: no stop */
        const bool by_error_limit = gen() % 3 == 0;
        const int pause_us = static_cast<int>(gen() % 200);
        if (by_error_limit)
            inst.errors = static_cast<uint32_t>(stop_after);
        std::atomic<int> tasks_seen{0};
        DataFile file(path, "\r\n");
        Collected got;
        int32_t rc = run_load(rig, {&file.rec}, got, [&](fldr_task &task) {
            if (pause_us > 100)
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
            if (by_error_limit)
                std::atomic_ref<int64_t>(inst.err_count).fetch_add(task.row_cnt);
            else if (tasks_seen.fetch_add(1) == stop_after)
                std::atomic_ref<int32_t>(inst.run_state).store(-1);
        });

        ASSERT_TRUE(rc == 0 || rc == FLDR_ERR_REACH_ERROR_MAX) << rc;
        (rc == 0 ? finished : stopped)++;
        ASSERT_NO_FATAL_FAILURE(expect_first_rows(got, rows, rc == 0 ? rows.size() : got.rows.size()));
        EXPECT_EQ(inst.rows_read, static_cast<int64_t>(got.rows.size()));
        ASSERT_TRUE(rig.all_home());
    }
    /* Both endings were exercised. */
    EXPECT_GT(stopped, 10);
    EXPECT_GT(finished, 10);
}

}  // namespace

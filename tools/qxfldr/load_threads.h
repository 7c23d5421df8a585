/*
** One group's load, with its threads (the overview is in load.cpp): the
** tables' instances and read buffers set up, the reader, the workers and
** the writers run until the data ends, the load stops or the user
** interrupts it, and what they did counted for the summary.
*/
#ifndef QXFLDR_TOOL_LOAD_THREADS_H
#define QXFLDR_TOOL_LOAD_THREADS_H

#include <chrono>
#include <cstdint>
#include <string>

#include "load_plan.h"

namespace qxfldr {

struct GroupResult {
    int         status = kExitOk;
    std::string stop_reason;      /* why the load stopped here, "" when it did not */
    int64_t     read = 0;         /* rows the summary counts as read (rows_read) */
    int64_t     skipped = 0;      /* rows SKIP passed over in this group */
    int64_t     taken = 0;        /* rows stored or rejected by a table */
};

/* SIGINT and SIGTERM from now on end the load at its next commit, keeping
** what was committed. */
void catch_interrupts();

/* Loads group g of the plan, SKIP having `skip` rows left to pass over;
** the group's summary lines are printed and logged. */
GroupResult run_group(LoadPlan &plan, Group &g, uint64_t skip, std::chrono::steady_clock::time_point started);

}  // namespace qxfldr

#endif

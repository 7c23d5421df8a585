/*
** A load, from the control file to the summary.
**
**   the plan (load_plan.cpp), before any row is read:
**     control file --fpar_main--> fldr_args + control records (parse heap),
**     the command line over it; groups: a LOAD statement and its further
**     INTO TABLE clauses, which share data files; data files resolved and
**     opened once (load_files.cpp); the log and bad-data file names checked
**     against every file the load reads (outfile.h) before anything is
**     opened for writing; tables described by the sink, separators
**     prepared, column functions bound (TablePlan per table)
**   per group (load_threads.cpp):
**     reader thread:  SKIP, then fldr_read_rows_and_build_task per data file: chunks in
**                     pooled buffers -> tasks of row offsets -> one task queue
**     workers (TASK_THREAD_NUMBER): take and number tasks in queue order;
**                     rows -> values (rowval) -> RowBatch, rejected rows
**                     kept with it -> Sequencer (order.h)
**     writer threads: commit units of ROWS rows in file order -> sink;
**                     rejections written and the error limit applied in file
**                     order (writers.cpp); one writer for an embedded
**                     database, one per worker (each with its own
**                     connection) for a database server; REPLACE empties
**                     the tables in the transaction of the first unit
**     main thread:    progress line, Ctrl-C, then the summary (load_report.cpp)
**
** Ownership: chunk buffers and tasks belong to their table's instance and
** travel reader -> worker -> Sequencer -> pool; a RowBatch belongs to the
** worker that fills it, then to the Sequencer, and goes back with its chunk
** once every row cut from it has been handed to a sink.
*/
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "load_plan.h"
#include "load_report.h"
#include "load_threads.h"

namespace qxfldr {

int run_load(const LoadRequest &req)
{
    const auto started = std::chrono::steady_clock::now();
    LoadPlan plan(req);
    for (StepResult (*step)(LoadPlan &) : {read_control, settle_arguments, build_groups, check_files, bind_tables})
        if (const StepResult end = step(plan))
            return *end;

    catch_interrupts();
    GroupResult total;
    uint64_t skip_left = plan.args.skip_rows;
    for (auto &g : plan.groups) {
        GroupResult res = run_group(plan, *g, skip_left, started);
        skip_left -= static_cast<uint64_t>(res.skipped);
        total.read += res.read;
        total.skipped += res.skipped;
        total.taken += res.taken;
        total.status = res.status;
        total.stop_reason = std::move(res.stop_reason);
        if (total.status != kExitOk)
            break;
    }

    LogFile &log = *plan.log;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    print_both(log, plan.args.silent,
               load_tail(total.stop_reason, total.skipped, total.read,
                         std::max<int64_t>(0, total.read - total.taken), elapsed));
    if (!total.stop_reason.empty())
        std::fprintf(stderr, "qxfldr: load stopped: %s\n", total.stop_reason.c_str());
    if (log.failed() && total.status == kExitOk) {
        /* The summary did not reach the log: the load's record is incomplete. */
        std::fprintf(stderr, "qxfldr: %s\n", log.error().c_str());
        return kExitFailed;
    }
    return total.status;
}

}  // namespace qxfldr

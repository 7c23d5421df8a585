/*
** A load before its first row is read: the control file parsed with the
** command line over it, the arguments settled, the groups of tables built,
** their data files resolved and checked, the log opened, the tables
** described and bound, and the sinks connected. Each step either leaves the
** plan ready for the next or ends the run with an exit status; nothing is
** written to the database before the last one succeeds.
**
**   read_control -> settle_arguments -> build_groups -> check_files
**                -> bind_tables
*/
#ifndef QXFLDR_TOOL_LOAD_PLAN_H
#define QXFLDR_TOOL_LOAD_PLAN_H

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ctlcheck.h"
#include "ctltext.h"
#include "load_files.h"
#include "load_state.h"
#include "runlimits.h"
#include "tool.h"

namespace qxfldr {

/* The parse and what it hangs on: the control text and the parse heap,
** released on every way out of a load. */
struct ParsedControl {
    fldr_env        *env = nullptr;
    char            *text = nullptr;   /* control-file text, from the library's pool */
    uint32_t         text_len = 0;
    fldr_args        args{};
    fldr_par_result *result = nullptr;
    mem_heap_t      *heap = nullptr;

    ParsedControl() = default;
    ParsedControl(const ParsedControl &) = delete;
    ParsedControl &operator=(const ParsedControl &) = delete;
    ~ParsedControl();
};

struct LoadPlan {
    explicit LoadPlan(const LoadRequest &r) : req(r) {}
    LoadPlan(const LoadPlan &) = delete;
    LoadPlan &operator=(const LoadPlan &) = delete;
    ~LoadPlan();

    const LoadRequest &req;
    ParsedControl      pc;
    fldr_args         &args = pc.args;
    /* How the control text was written, for what the parsed records cannot tell. */
    CtlScan                                         scan;
    std::vector<WrittenNumber>                      written;
    std::vector<std::vector<ColumnWriting>>         column_lists;
    std::vector<const std::vector<ColumnWriting> *> column_writing;   /* per control record */
    std::vector<TableName>                          targets;          /* per control record */

    uint32_t    charset = FLDR_CHARSET_UTF8;
    RunLimits   limits;
    BufferPlan  buffers;
    std::string control;        /* absolute path of the control file */
    std::string db;             /* the target as given, a file made absolute */
    bool        db_is_file = false;
    ValueRules  rules;

    std::vector<std::unique_ptr<Group>>   groups;
    std::vector<std::atomic<int64_t> *>   sequences;   /* owned */
    std::unique_ptr<LogFile>              log;         /* set by settle_arguments, opened by check_files */
    BadFiles                              bad_files;
    std::vector<std::unique_ptr<Sink>>    sinks;       /* one per writer */
};

/* A step's outcome: nullopt to go on, else the run's exit status. */
using StepResult = std::optional<int>;

StepResult read_control(LoadPlan &plan);
StepResult settle_arguments(LoadPlan &plan);
StepResult build_groups(LoadPlan &plan);
StepResult check_files(LoadPlan &plan);
StepResult bind_tables(LoadPlan &plan);

}  // namespace qxfldr

#endif

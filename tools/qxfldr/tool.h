/*
** The loader tool's two runs and what the command line hands them.
*/
#ifndef QXFLDR_TOOL_TOOL_H
#define QXFLDR_TOOL_TOOL_H

#include <string>
#include <vector>

namespace qxfldr {

/* Exit statuses. */
constexpr int kExitOk = 0;          /* done (rows may have been rejected within ERRORS) */
constexpr int kExitFailed = 1;      /* the run failed or was stopped; committed rows stay */
constexpr int kExitUsage = 2;       /* bad command line or control file; nothing loaded */
constexpr int kExitInterrupted = 130;

struct LoadRequest {
    std::string control;                 /* control-file path */
    std::string db;                      /* database path, ":none:" for no sink; empty: default */
    std::vector<std::pair<std::string, std::string>> options;   /* OPTIONS text per keyword */
    bool buffer_given = false;           /* BUFFER_NODE_SIZE on the command line */
};

struct ExportRequest {
    std::string db;
    std::string sql;
    std::string data;
    std::string field_sep = ",";
    std::string row_sep = "\n";
    bool        silent = false;
};

int run_load(const LoadRequest &req);
int run_export(const ExportRequest &req);

}  // namespace qxfldr

#endif

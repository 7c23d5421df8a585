/*
** What a load tells: the progress line on a terminal, the summary of each
** group's tables, and the counts that end the run, in the library's
** message texts, on the console and in the log.
*/
#ifndef QXFLDR_TOOL_LOAD_REPORT_H
#define QXFLDR_TOOL_LOAD_REPORT_H

#include <cstdint>
#include <string>

#include "load_state.h"

namespace qxfldr {

/* "12.5 MiB of 1.0 GiB, 123456 rows, 50000 rows/s, 0:42 left" */
std::string progress_line(double bytes_done, double bytes_total, int64_t rows, double seconds);

/* The group's lines of the summary: per table, its name, rows loaded and
** rejected, blank lines, and where the rejected rows are. */
std::string group_summary(const Group &g, const std::string &log_path);

/* The end of the summary: why the load stopped (when it did), rows skipped,
** read and rejected by no table, and the time taken. */
std::string load_tail(const std::string &stop_reason, int64_t skipped, int64_t read, int64_t not_taken,
                      int64_t elapsed_us);

/* Text to standard output (unless silent) and to the log as it is. */
void print_both(LogFile &log, bool silent, const std::string &text);

}  // namespace qxfldr

#endif

/*
** The files of a load besides the database: the data files of each group,
** resolved from the INFILE clauses and checked before a table is touched,
** and the log and bad-data files, checked against every file the load reads
** (outfile.h rule 1) before any of them is opened.
*/
#ifndef QXFLDR_TOOL_LOAD_FILES_H
#define QXFLDR_TOOL_LOAD_FILES_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "load_state.h"

namespace qxfldr {

/* Paths are kept with "\" inside the library; the operating system wants "/". */
std::string os_path(const char *path);

/* Hexadecimal text to bytes, NUL-terminated in out[cap]; false when it is
** not hexadecimal or does not fit. */
bool convert_hex(const char *hex, char *out, uint16_t *out_len, size_t cap);

/*
** The group's data files, resolved (names with wildcards, a list file or a
** directory), each checked and opened once, so that one the user may not
** read stops the load before a table is touched, with their terminators
** prepared. "" when all are usable, else why not; `notes` gets lines for the
** log (a file whose lines end in a carriage return alone).
*/
std::string resolve_data_files(fldr_env *env, mem_heap_t *heap, Group &g, std::vector<std::string> &notes);

/* The bad-data file of a table: its own BADFILE, its LOAD statement's, or
** the OPTIONS' (default fldr.bad). */
std::string bad_file_path(const Group &g, const TableRun &tr, const fldr_args &args);

/* The log and every bad-data file checked against the files the load reads:
** the first refusal, or "". */
std::string check_load_outputs(const std::vector<std::unique_ptr<Group>> &groups, const fldr_args &args,
                               const std::string &control, const std::string &db, bool db_is_file,
                               const std::string &log_path);

/* One OutputFile per bad-data file: tables that name the same file write to
** it in turn instead of over each other. */
using BadFiles = std::map<std::string, std::unique_ptr<OutputFile>>;
OutputFile *bad_file_for(BadFiles &files, const std::string &path);

}  // namespace qxfldr

#endif

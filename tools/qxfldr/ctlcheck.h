/*
** Refusals of a control file that the library's parse accepts but that
** could only ever reject every row: each is made before any row is read,
** names the column, and ends the run with the exit status of a bad control
** file. Also the text of a failed parse, placed by line and column.
*/
#ifndef QXFLDR_TOOL_CTLCHECK_H
#define QXFLDR_TOOL_CTLCHECK_H

#include <string>
#include <string_view>
#include <vector>

#include "ctltext.h"
#include "qxfldr_comm.h"

namespace qxfldr {

/* How each control record's column list was written, by record in list
** order: nullptr for a record without a column list, and for one whose
** written list does not match it (ctltext.h, rule 2). */
std::vector<const std::vector<ColumnWriting> *> match_column_writing(
    const fldr_par_result *result, const std::vector<std::vector<ColumnWriting>> &lists);

/* Positions, terminators and date formats of one INTO TABLE clause: false
** with err naming the column when one cannot work. `writing` may be
** nullptr; `table_cols` is the number of columns the database describes
** (they take the fields when the clause lists none). */
bool check_column_clauses(const fldr_ctl *ctl, const std::vector<ColumnWriting> *writing, size_t table_cols,
                          const std::string &table, std::string &err);

/* "syntax error in control file NAME at line L, column C, near 'TOKEN':
** MESSAGE", with what is known: a position the library leaves at 0 is
** placed by the loader's own cut of the text, or left out. */
std::string describe_parse_error(const std::string &control, std::string_view text, const fldr_parse_err *err);

}  // namespace qxfldr

#endif

/*
** Target tables as the control file names them.
**
** The library hands over the text of each part of a table name, an unquoted
** name upper-cased and a quoted one as written, but not whether it was
** quoted. A database that folds unquoted names (PostgreSQL folds them to
** lower case) must know, or INTO TABLE "MixT" would load mixt; so the tool
** reads the quoting from the control text's tokens (table_names_of).
*/
#ifndef QXFLDR_TOOL_TABLE_NAME_H
#define QXFLDR_TOOL_TABLE_NAME_H

#include <string>
#include <vector>

struct fldr_par_result;

namespace qxfldr {

struct CtlScan;

struct TableName {
    std::string schema;              /* "" when the name has no schema part */
    std::string name;
    bool        schema_quoted = false;
    bool        name_quoted = false;

    /* schema.table as the library gives the parts, for messages. */
    std::string display() const { return schema.empty() ? name : schema + "." + name; }
};

/*
** The target of every INTO TABLE clause, in the order of the parse result's
** control records, with the quoting read from `scan` (the tokens of the text
** the parse was made of). Where the text cannot be matched to a record, a part
** counts as quoted when no unquoted name gives its text (it has a lower-case
** letter, or a character outside an identifier's).
*/
std::vector<TableName> table_names_of(const CtlScan &scan, const fldr_par_result &result);

}  // namespace qxfldr

#endif

/*
** Cutting a row into the fields of its table, and the dialect that decides
** how.
**
**   row bytes (terminator already taken off) --copy--> scratch.row
**   scratch.row --fldr_get_nth_val_len per field--> field_ptr / field_len
**
** Two dialects:
**   CSV      (no escape written in the control file) the library's CSV scan
**            mode: a doubled enclosure is one enclosure character, '\' is
**            an ordinary byte, line breaks inside enclosures are data, an
**            enclosure that does not open a field is data, an unenclosed
**            empty field is NULL and an enclosed one an empty string.
**   escaped  (ESCAPED BY or ESCAPE= written) the escaped-data scan mode.
** In both, a row must hold exactly the fields the control file lists: more
** reject it, fewer reject it unless TRAILING NULLCOLS fills them with NULL.
*/
#ifndef QXFLDR_TOOL_FIELDS_H
#define QXFLDR_TOOL_FIELDS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qxfldr {

struct CtlScan;
struct TablePlan;
struct RowScratch;

/* Per INTO TABLE clause of the control text's tokens, in order: whether
** the clause writes ESCAPED BY. */
std::vector<bool> escapes_written(const CtlScan &scan);

/* Bytes of a row without its terminator; with crlf, a carriage return
** right before a line-feed terminator (or ending the file's last row) goes
** too. */
uint32_t row_content_len(const char *row, uint32_t row_len, const char *term, uint16_t term_len, bool crlf);

/* Cuts the row (row_len bytes, no terminator) into scratch.field_ptr and
** scratch.field_len (FLDR_NULL_LEN for NULL; a field the row lacks under
** TRAILING NULLCOLS has a null pointer). False with reason when the row
** cannot be cut cleanly. `at_byte` is the row's offset in what was read
** (a start string before it), for the byte positions of reasons. */
bool cut_fields(const TablePlan &plan, RowScratch &scratch, const char *row, uint32_t row_len,
                const char *row_term, uint16_t row_term_len, uint32_t at_byte, std::string &reason);

}  // namespace qxfldr

#endif

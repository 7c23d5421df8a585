/*
** Column clauses that cannot work, refused before any row is read
** (ctlcheck.h).
*/
#include "ctlcheck.h"

#include <cstring>
#include <strings.h>

namespace qxfldr {

std::vector<const std::vector<ColumnWriting> *> match_column_writing(
    const fldr_par_result *result, const std::vector<std::vector<ColumnWriting>> &lists)
{
    std::vector<const std::vector<ColumnWriting> *> matched;
    size_t with_columns = 0;
    for (const fldr_ctl_node *node = result->ctl_first; node != nullptr; node = node->next)
        with_columns += node->ctl->col_first != nullptr;
    size_t next = 0;
    for (const fldr_ctl_node *node = result->ctl_first; node != nullptr; node = node->next) {
        const fldr_ctl *ctl = node->ctl;
        const std::vector<ColumnWriting> *list = nullptr;
        if (ctl->col_first != nullptr && lists.size() == with_columns) {
            list = &lists[next++];
            size_t i = 0;
            for (const fldr_col *col = ctl->col_first; col != nullptr && list != nullptr; col = col->next, i++)
                if (i >= list->size() || strcasecmp((*list)[i].name.c_str(), col->name) != 0)
                    list = nullptr;
            if (list != nullptr && i != list->size())
                list = nullptr;
        }
        matched.push_back(list);
    }
    return matched;
}

namespace {

/* The last column that takes a field of the row (a CONSTANT takes none):
** its field ends with the row, whatever the terminators. */
const fldr_col *last_field_column(const fldr_ctl *ctl)
{
    const fldr_col *last = nullptr;
    for (const fldr_col *col = ctl->col_first; col != nullptr; col = col->next)
        if (col->constant == nullptr)
            last = col;
    return last;
}

std::string position_text(const fldr_col *col)
{
    std::string text = "POSITION(" + std::to_string(col->pos_start);
    if (col->pos_kind == 2)
        text += ":" + std::to_string(col->pos_end);
    return text + ")";
}

/* One column's clauses; an empty text when they can work. */
std::string column_fault(const fldr_col *col, const ColumnWriting *writing, bool table_term_empty,
                         const fldr_col *last_field)
{
    /* Positions count bytes from 1; a range ends at or after its start. */
    if ((col->pos_kind == 1 || col->pos_kind == 2) && col->pos_start < 1)
        return position_text(col) + ": positions count from 1";
    if (col->pos_kind == 2 && col->pos_end < col->pos_start)
        return position_text(col) + " ends before it starts";
    const fldr_seperator_info *own = col->sep_info;
    const bool own_term_empty_hex = own != nullptr && own->term_is_hex != 0 && own->term_len == 0;
    if (own_term_empty_hex || (writing != nullptr && writing->empty_terminator))
        return "TERMINATED BY '' is empty (a terminator takes at least one byte)";
    if (writing != nullptr && writing->empty_date_format)
        return "DATE '' has no format (write DATE alone for YYYY-MM-DD dates)";
    /* A field that is neither the row's last nor a fixed range ends at its
    ** terminator: its own, else the table's. */
    const bool own_term = own != nullptr && own->term_len != 0;
    if (table_term_empty && !own_term && col->constant == nullptr && col != last_field && col->pos_kind != 2)
        return "no terminator ends its field (FIELDS TERMINATED BY is empty)";
    return {};
}

}  // namespace

bool check_column_clauses(const fldr_ctl *ctl, const std::vector<ColumnWriting> *writing, size_t table_cols,
                          const std::string &table, std::string &err)
{
    const fldr_seperator_info *tab = ctl->sep_info;
    const bool table_term_empty = tab != nullptr && tab->term_given != 0 && tab->term_len == 0;
    if (ctl->col_first == nullptr) {
        if (table_term_empty && table_cols > 1) {
            err = "table " + clip(table) + ": FIELDS TERMINATED BY is empty, so the " +
                  std::to_string(table_cols) + " fields of a row cannot be told apart";
            return false;
        }
        return true;
    }
    const fldr_col *last_field = last_field_column(ctl);
    size_t i = 0;
    for (const fldr_col *col = ctl->col_first; col != nullptr; col = col->next, i++) {
        const std::string fault = column_fault(col, writing != nullptr ? &(*writing)[i] : nullptr,
                                               table_term_empty, last_field);
        if (!fault.empty()) {
            err = "table " + clip(table) + ", column " + clip(col->name) + ": " + fault;
            return false;
        }
    }
    return true;
}

std::string describe_parse_error(const std::string &control, std::string_view text, const fldr_parse_err *err)
{
    uint32_t line = err != nullptr ? err->line : 0;
    uint32_t column = err != nullptr ? err->column : 0;
    /* The scanner's own errors come without a column (and one without a
    ** line): the loader's cut of the text stops at the same place. */
    if (err != nullptr && err->code != 0 && column == 0) {
        const CtlScan scan = scan_control_text(text);
        if (scan.fault) {
            line = scan.fault_line;
            column = scan.fault_column;
        }
    }
    std::string msg = "syntax error in control file " + control;
    if (line > 0)
        msg += " at line " + std::to_string(line) + (column > 0 ? ", column " + std::to_string(column) : "");
    if (err != nullptr && err->text != nullptr && err->text[0] != '\0')
        msg += std::string(line > 0 ? "," : "") + " near '" + clip(err->text) + "'";
    if (err != nullptr && err->msg[0] != '\0')
        msg += ": " + std::string(err->msg, strnlen(err->msg, sizeof err->msg));
    return msg;
}

}  // namespace qxfldr

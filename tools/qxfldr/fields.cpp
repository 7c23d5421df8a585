/*
** Cutting a row into fields (see fields.h for the two dialects).
**
** Every delimited field is cut with is_last 0 and a copy of the control
** record whose TRAILING NULLCOLS flag is off, so that the library says how
** each field ended: 0 at a field terminator (another field follows, maybe
** an empty one), FLDR_ERR_TOO_FEW_COLUMNS at the end of the row. The count
** of fields is then known exactly, and TRAILING NULLCOLS is applied here.
*/
#include "fields.h"

#include <cctype>
#include <cstring>

#include "ctltext.h"
#include "rowval.h"

namespace qxfldr {

namespace {

const char *effective_enclose(const fldr_ctl *ctl, const fldr_col *col, uint16_t &len)
{
    if (col != nullptr && col->sep_info != nullptr && col->sep_info->enclose_len != 0) {
        len = col->sep_info->enclose_len;
        return col->sep_info->enclose;
    }
    len = ctl->sep_info != nullptr ? ctl->sep_info->enclose_len : 0;
    return ctl->sep_info != nullptr ? ctl->sep_info->enclose : "";
}

/* Whether a field has no terminator at all (FIELDS TERMINATED BY '' and
** none of its own): it runs to the end of the row, and no field follows. */
bool runs_to_row_end(const fldr_ctl *ctl, const fldr_col *col)
{
    if (col != nullptr && col->sep_info != nullptr && col->sep_info->term_len != 0)
        return false;
    return ctl->sep_info != nullptr && ctl->sep_info->term_given != 0 && ctl->sep_info->term_len == 0;
}

std::string field_name(const TablePlan &plan, size_t f, const fldr_col *col)
{
    std::string text = "field " + std::to_string(f + 1);
    if (col != nullptr)
        return text + " (" + col->name + ")";
    if (f < plan.cols.size() && plan.field_cols.size() == plan.cols.size())
        return text + " (" + plan.cols[f].name + ")";
    return text;
}

std::string count_text(size_t found, size_t listed)
{
    return std::to_string(found) + (found == 1 ? " field" : " fields") + ", the control file lists " +
           std::to_string(listed);
}

/*
** Why a field could not be cut. In the CSV dialect the library leaves
** `used` at the byte at fault, or at the field's end when an enclosure is
** not closed; `at` is the field's offset in the row as read.
*/
std::string fault_text(const TablePlan &plan, size_t f, const fldr_col *col, const char *data, uint32_t len,
                       uint32_t used, uint32_t at, int32_t rc)
{
    const std::string who = field_name(plan, f, col);
    if (!plan.csv || rc != FLDR_ERR_DATA)
        return who + ": " + lib_message(rc);
    uint16_t e_len = 0;
    const char *enclose = effective_enclose(plan.ctl, col, e_len);
    const std::string what = e_len == 1 && enclose[0] == '"' ? "quote" : "enclosure";
    const bool enclosed = e_len != 0 && len >= e_len && std::memcmp(data, enclose, e_len) == 0;
    const std::string byte = " at byte " + std::to_string(at + used + 1);
    if (enclosed && used >= len)
        return who + ": the " + what + " that opens the field at byte " + std::to_string(at + 1) + " is not closed";
    if (enclosed)
        return who + ": text after the closing " + what + byte;
    if (used < len && data[used] == '\r')
        return who + ": a carriage return outside " + what + "s" + byte + " (rows end at a line feed)";
    return who + ": a character cut short or not of the data's character set" + byte;
}

}  // namespace

std::vector<bool> escapes_written(const CtlScan &scan)
{
    std::vector<bool> written;
    const std::vector<CtlToken> &toks = scan.tokens;
    for (size_t i = 0; i < toks.size(); i++) {
        if (toks[i].kind != CtlToken::Word)
            continue;
        if (toks[i].text == "TABLE" && i > 0 && toks[i - 1].kind == CtlToken::Word && toks[i - 1].text == "INTO")
            written.push_back(false);
        else if (toks[i].text == "ESCAPED" && !written.empty())
            written.back() = true;
    }
    return written;
}

uint32_t row_content_len(const char *row, uint32_t row_len, const char *term, uint16_t term_len, bool crlf)
{
    if (term_len != 0 && row_len >= term_len && std::memcmp(row + row_len - term_len, term, term_len) == 0)
        row_len -= term_len;
    else if (!crlf)
        return row_len;
    /* A carriage return before the line feed, or at the very end of a file
    ** whose last line has no line feed, ends the line with it. */
    if (crlf && term_len == 1 && term[0] == '\n' && row_len > 0 && row[row_len - 1] == '\r')
        row_len--;
    return row_len;
}

bool cut_fields(const TablePlan &plan, RowScratch &scratch, const char *row, uint32_t row_len,
                const char *row_term, uint16_t row_term_len, uint32_t at_byte, std::string &reason)
{
    const fldr_inst *inst = plan.inst;
    const size_t nfields = plan.field_cols.size();
    scratch.row.assign(row, row_len);
    scratch.row.push_back('\0');
    if (scratch.work.size() < row_len + 1)
        scratch.work.resize(row_len + 1);
    scratch.field_ptr.assign(nfields, nullptr);
    scratch.field_len.assign(nfields, FLDR_NULL_LEN);
    char *base = scratch.row.data();
    uint32_t pos = 0, more_data = 1;
    bool after_term = false;    /* the last field ended at a field terminator */
    bool delimited_last = true; /* the last field was cut by its terminators, not by a POSITION */
    auto cut = [&](const fldr_col *col, char *data, uint32_t len, uint32_t is_last, char **value,
                   uint32_t *value_len, uint32_t *used) {
        return fldr_get_nth_val_len(&plan.cut_ctl, col, is_last, row_term, row_term_len, data, len, inst->charset,
                                    inst->scan_mode, inst->enclosed_rows, value, value_len, used,
                                    scratch.work.data(), nullptr, &more_data);
    };
    for (size_t f = 0; f < nfields; f++) {
        const fldr_col *col = plan.field_cols[f];
        char *value = nullptr;
        uint32_t value_len = 0, used = 0;
        if (col != nullptr && col->pos_start != -1) {
            /* POSITION(a:b): bytes by place; a row may hold bytes no column takes. */
            char *start = nullptr;
            uint32_t plen = 0;
            fldr_nth_val_position_reset(col, base, row_len, &start, &plen);
            const int32_t rc = cut(col, start, start == nullptr ? 0 : plen, f + 1 == nfields ? 1 : 0, &value,
                                   &value_len, &used);
            if (rc < 0) {
                reason = field_name(plan, f, col) + ": " + lib_message(rc);
                return false;
            }
            if (value != nullptr && plen != 0) {
                scratch.field_ptr[f] = value;
                scratch.field_len[f] = value_len;
            }
            if (start != nullptr && more_data != 0)
                pos = std::min(row_len, static_cast<uint32_t>(start - base) + used);
            delimited_last = false;
            after_term = false;
            continue;
        }
        if (pos >= row_len && !after_term && f > 0) {
            /* The row has no field here at all. */
            if (plan.ctl->trailing_flag != 0)
                continue;
            reason = count_text(f, nfields);
            return false;
        }
        const int32_t rc = cut(col, base + pos, row_len - pos, 0, &value, &value_len, &used);
        if (rc != 0 && rc != FLDR_ERR_TOO_FEW_COLUMNS) {
            reason = fault_text(plan, f, col, base + pos, row_len - pos, used, at_byte + pos, rc);
            return false;
        }
        after_term = rc == 0 && !runs_to_row_end(plan.ctl, col);
        delimited_last = true;
        if (plan.csv && value_len == FLDR_NULL_LEN && (col == nullptr || col->is_null == 0) &&
            (plan.rules->null_mode == 1 || !plan.rules->null_str.empty()))
            value_len = 0;   /* NULL_MODE=TRUE, or NULL_STR naming the NULL text: an empty field is '' */
        scratch.field_ptr[f] = value;
        scratch.field_len[f] = value_len;
        pos = std::min(row_len, pos + used);
    }
    if (!delimited_last || (!after_term && pos >= row_len))
        return true;

    /* More fields than the control file lists: count them for the reason. */
    size_t found = nfields;
    while (after_term || pos < row_len) {
        char *value = nullptr;
        uint32_t value_len = 0, used = 0;
        const int32_t rc = cut(nullptr, base + pos, row_len - pos, 0, &value, &value_len, &used);
        found++;
        if (rc != 0 && rc != FLDR_ERR_TOO_FEW_COLUMNS) {
            reason = fault_text(plan, found - 1, nullptr, base + pos, row_len - pos, used, at_byte + pos, rc);
            return false;
        }
        after_term = rc == 0;
        if (used == 0 && !after_term)
            break;
        pos = std::min(row_len, pos + used);
    }
    reason = count_text(found, nfields);
    return false;
}

}  // namespace qxfldr

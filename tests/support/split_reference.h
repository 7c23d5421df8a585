/*
** A plain reference of the row searches and the field scanner: one byte or
** one character at a time, no bulk skips, values assembled in a separate
** work area and written back at the end. The library's fast versions must
** agree with it on every input; the differential tests and the fuzz target
** compare the two.
*/
#ifndef SPLIT_REFERENCE_H
#define SPLIT_REFERENCE_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qxfldr_comm.h"

namespace splitref {

/* As fldr_search_row_end, by inst->scan_mode and inst->charset. */
const char *search_row_end(const fldr_inst *inst, const char *buf, uint32_t len, uint16_t term_len,
                           const char *term);

/* ------------------------------------------------------------------------
** Hand-built records for the splitting tests (the parser is not involved):
** a table with its separator record and columns with their own.
*/
template <size_t N>
void set_sep_string(char (&dst)[N], uint16_t *len, std::string_view text)
{
    std::memset(dst, 0, N);
    std::memcpy(dst, text.data(), text.size());
    *len = static_cast<uint16_t>(text.size());
}

struct split_table {
    fldr_seperator_info sep{};
    fldr_ctl            ctl{};
    std::vector<std::unique_ptr<fldr_col>>            cols;
    std::vector<std::unique_ptr<fldr_seperator_info>> col_seps;

    split_table(std::string_view term, std::string_view enclose, std::string_view escape)
    {
        set_sep_string(sep.term, &sep.term_len, term);
        set_sep_string(sep.enclose, &sep.enclose_len, enclose);
        set_sep_string(sep.escape, &sep.escape_len, escape);
        ctl.sep_info = &sep;
        set_sep_string(ctl.row_enclose, &ctl.row_enclose_len, "\"");
    }

    /* A column; term/enclose empty fall back to the table's. */
    fldr_col *add_col(std::string_view term = {}, std::string_view enclose = {},
                      int64_t pos_start = -1, int64_t pos_end = -1)
    {
        auto col = std::make_unique<fldr_col>();   /* value-initialised: all zero */
        col->pos_start = pos_start;
        col->pos_end = pos_end;
        if (!term.empty() || !enclose.empty()) {
            auto cs = std::make_unique<fldr_seperator_info>();
            set_sep_string(cs->term, &cs->term_len, term);
            set_sep_string(cs->enclose, &cs->enclose_len, enclose);
            col->sep_info = cs.get();
            col_seps.push_back(std::move(cs));
        }
        fldr_col *raw = col.get();
        raw->prev = cols.empty() ? nullptr : cols.back().get();
        (cols.empty() ? ctl.col_first : cols.back()->next) = raw;
        ctl.col_last = raw;
        ctl.col_count = static_cast<uint32_t>(cols.size() + 1);
        cols.push_back(std::move(col));
        return raw;
    }
};

/*
** Bytes placed right before an inaccessible page, so that a read of even
** one byte past them faults at once, with or without sanitizers.
*/
class guarded_bytes {
public:
    explicit guarded_bytes(std::string_view bytes);
    ~guarded_bytes();
    guarded_bytes(const guarded_bytes &) = delete;
    guarded_bytes &operator=(const guarded_bytes &) = delete;
    char    *data() { return data_; }
    uint32_t size() const { return size_; }

private:
    char    *map_ = nullptr;
    size_t   map_len_ = 0;
    char    *data_ = nullptr;
    uint32_t size_ = 0;
};

/* ------------------------------------------------------------------------
** Random cases for the differential test and the fuzz target: separators of
** 0 to 3 bytes, rows made of separator pieces, letters, NULs, and valid,
** cut or stray multi-byte characters of UTF-8, GBK, GB18030 or BIG5.
*/
/* Returns a number below bound (bound > 0); the source decides how. */
using pick_fn = std::function<uint32_t(uint32_t bound)>;

struct split_case {
    uint32_t    charset = 1;
    uint32_t    mode = 0;
    uint32_t    enclosed_rows = 0;
    uint32_t    trailing = 0;
    std::string term, enclose, escape, row_term, row_enclose;
    bool        col_given = false;
    std::string col_term, col_enclose;
    int64_t     pos_start = -1, pos_end = -1;
    uint32_t    col_is_null = 0;
    uint32_t    columns = 1;       /* fields cut one after another */
    std::string row;
};

split_case make_case(const pick_fn &pick);

/* Runs the library and the reference on the case: every field of the row,
** the three row searches and the byte search. Empty when they agree, else a
** description of the first difference. */
std::string check_case(const split_case &c);

}  // namespace splitref

#endif

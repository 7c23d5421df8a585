/*
** The field scanners of the delimited modes: one field at a time from a row
** that has been cut off, for the fields the fast path of fldr_file_split.cpp
** leaves to them.
**
**   row (data, len) --> scanner of the mode --> value (pointer into the row, length)
**
** The caller owns the row bytes and keeps them until it has used the values.
** Nothing is allocated per field:
**   - most values are slices of the row (a pointer and a length);
**   - a value that must be rebuilt (escapes in escaped-data mode, a doubled
**     enclosure in plain mode) is compacted in place at the front of the
**     bytes it came from. The write position never passes the read position,
**     so the bytes still to be scanned are never overwritten, and the bytes
**     of the row outside the value stay as they were.
**
** The three modes share one scanner, specialised per mode at compile time:
**   plain      a doubled enclosure inside an enclosure is one enclosure
**              character;
**   enclosed   with enclosed rows on, a row terminator inside an enclosure
**              is data;
**   escaped    the escape takes the next character into the value whatever
**              it is, and escape + "N" marks NULL.
**
** Every step, at every byte the bulk skip stops on, is tested in one order:
** escape, enclosure, field terminator, row terminator, multi-byte character,
** other byte. The fast path and the plain reference in the tests take the
** same steps in the same order; a change here changes all three.
*/
#include <cstring>

#include "fldr_file_split.h"
#include "fldr_internal.h"
#include "qxcvt.h"

namespace {

using fldr_split::char_len;
using fldr_split::field_scan;
using fldr_split::field_value;
using fldr_split::sep_bytes;

inline bool same_sep(const sep_bytes &a, const sep_bytes &b)
{
    return a.len != 0 && a.len == b.len && std::memcmp(a.bytes, b.bytes, a.len) == 0;
}

/* The whole string at p, inside [p, end); an absent string never matches. */
inline bool at(const char *p, const char *end, const sep_bytes &s)
{
    return s.len != 0 && fldr_split::bytes_at(p, end, s.bytes, s.len);
}

inline uint8_t first_or(const sep_bytes &s, uint8_t fallback)
{
    return s.len != 0 ? static_cast<uint8_t>(s.bytes[0]) : fallback;
}

/* How a scan step ended the field, or that the scan goes on. */
enum class step {
    next,         /* the scan goes on */
    stopped,      /* end of the data or a cut character: check the enclosure, then as after_value */
    field_term,   /* a field terminator outside an enclosure, consumed */
    row_term,     /* a row terminator that ends the row, consumed */
    after_value,  /* after a closing enclosure or a NULL marker */
};

/*
** One field in one mode. State lives in the members so that each step is a
** short function; the value is always data[value_off, value_off + value_len),
** compacted there when `copying`, else counted over the row as it stands.
** Invariant: value_off + value_len <= p - data (the write position never
** passes the read position).
*/
template <uint32_t Mode>
class delimited_scanner {
public:
    explicit delimited_scanner(const field_scan &scan)
        : scan_(scan), field_term_(scan.seps.field_term), enclose_(scan.seps.enclose),
          escape_(scan.seps.escape), row_term_(scan.seps.row_term), end_(scan.data + scan.len), p_(scan.data),
          escapes_(Mode == FLDR_SCAN_ESCAPED && escape_.len != 0), copying_(escapes_),
          null_mark_(Mode != FLDR_SCAN_ESCAPED)
    {
    }

    int32_t run(field_value *out)
    {
        if (same_sep(enclose_, field_term_) || same_sep(enclose_, escape_) || same_sep(escape_, field_term_)) {
            *out = field_value{scan_.data, 0, 0};
            return FLDR_ERR_SEP_IS_ENCLOSE;
        }
        const int32_t rc = finish(scan_bytes());
        out->value = scan_.data + value_off_;
        out->len = reported_len();
        out->used = static_cast<uint32_t>(p_ - scan_.data);
        return rc;
    }

private:
    /* Whether a doubled enclosure inside an enclosure stands for one. */
    static constexpr bool kDoubledEnclose = Mode == FLDR_SCAN_PLAIN;

    step scan_bytes()
    {
        /* Bytes the bulk skip must stop at. Absent strings repeat another
        ** byte; a spare stop costs time, never a result. */
        const uint8_t stop_term = first_or(field_term_, first_or(row_term_, first_or(enclose_, 0)));
        const uint8_t stop_row = first_or(row_term_, stop_term);
        const uint8_t stop_encl = first_or(enclose_, stop_term);
        const uint8_t stop_esc = escapes_ ? first_or(escape_, stop_term) : stop_term;
        const fldr_split::stop_bytes stops(stop_term, stop_row, stop_encl, stop_esc, scan_.charset != QXCVT_ASCII);
        /* When no separator starts with a byte of 0x80 or more, such a byte
        ** can only start a character: runs of them skip the separator tests. */
        const bool high_is_text = scan_.charset != QXCVT_ASCII && (stop_term | stop_row | stop_encl | stop_esc) < 0x80;

        while (p_ < end_) {
            const char *run_end = stops.find(p_, end_);
            if (run_end != p_) {
                take(static_cast<size_t>(run_end - p_));
                if (p_ == end_)
                    break;
            }
            step s;
            if (high_is_text && static_cast<uint8_t>(*p_) >= 0x80)
                s = take_wide_run();
            else if (escapes_ && at(p_, end_, escape_))
                s = escape_step();
            else if (at(p_, end_, enclose_))
                s = enclosure_step();
            else if (at(p_, end_, field_term_))
                s = field_term_step();
            else if (at(p_, end_, row_term_))
                s = row_term_step();
            else
                s = take_char();
            if (s != step::next)
                return s;
        }
        return step::stopped;
    }

    /* Adds the n bytes at p_ to the value and moves past them. */
    void take(size_t n)
    {
        if (copying_) {
            char *dst = scan_.data + value_off_ + value_len_;
            QX_DEBUG_ASSERT(dst <= p_);
            if (dst != p_)
                std::memmove(dst, p_, n);
        }
        value_len_ += n;
        p_ += n;
    }

    /* One whole character; a character cut by the end of the data stops. */
    step take_char()
    {
        const size_t n = char_len(scan_.charset, p_, static_cast<size_t>(end_ - p_));
        if (n > static_cast<size_t>(end_ - p_))
            return step::stopped;
        take(n);
        return step::next;
    }

    step take_wide_run()
    {
        do {
            if (take_char() == step::stopped)
                return step::stopped;
        } while (p_ < end_ && static_cast<uint8_t>(*p_) >= 0x80);
        return step::next;
    }

    /* Escape: "N" after it marks NULL, any other character is value. */
    step escape_step()
    {
        p_ += escape_.len;
        if (p_ >= end_)
            return step::stopped;
        if (*p_ != 'N')
            return take_char();
        ++p_;
        null_mark_ = true;
        if (p_ >= end_)
            return step::stopped;
        if (in_enclose_ && at(p_, end_, enclose_)) {
            in_enclose_ = false;
            p_ += enclose_.len;
            if (p_ >= end_)
                return step::after_value;
        }
        if (at(p_, end_, field_term_)) {
            p_ += field_term_.len;
            return step::field_term;
        }
        if (at(p_, end_, row_term_)) {
            p_ += row_term_.len;
            return step::row_term;
        }
        return step::after_value;
    }

    step enclosure_step()
    {
        if (kDoubledEnclose && in_enclose_ && at(p_ + enclose_.len, end_, enclose_)) {
            /* A doubled enclosure stands for one enclosure character. */
            copying_ = true;
            take(enclose_.len);
            p_ += enclose_.len;
            return step::next;
        }
        p_ += enclose_.len;
        if (in_enclose_) {
            in_enclose_ = false;
            return step::after_value;
        }
        in_enclose_ = true;
        if (!copying_)
            value_off_ = enclose_.len;
        null_mark_ = false;
        return step::next;
    }

    step field_term_step()
    {
        if (in_enclose_) {
            take(field_term_.len);
            return step::next;
        }
        p_ += field_term_.len;
        return step::field_term;
    }

    step row_term_step()
    {
        if (in_enclose_ && Mode == FLDR_SCAN_ENCLOSED && scan_.enclosed_rows == 1) {
            take(row_term_.len);
            return step::next;
        }
        p_ += row_term_.len;
        return step::row_term;
    }

    bool too_few_allowed() const { return scan_.is_last != 0 || scan_.ctl->trailing_flag != 0; }

    /* What follows the field's end; the result code of the field. */
    int32_t finish(step how)
    {
        if (how != step::after_value && in_enclose_)
            return FLDR_ERR_DATA;   /* an enclosure left open */
        if (how == step::field_term) {
            if (at(p_, end_, row_term_))
                p_ += row_term_.len;
            return 0;
        }
        if (how == step::row_term)
            return too_few_allowed() ? 0 : FLDR_ERR_TOO_FEW_COLUMNS;
        /* After a closing enclosure, the end of the data or a stop: expect
        ** the field terminator, then take a row terminator; bytes after the
        ** value of a last column are consumed and ignored. */
        int32_t rc = 0;
        if (field_term_.len != 0) {
            if (at(p_, end_, field_term_))
                p_ += field_term_.len;
            else if (!too_few_allowed())
                rc = FLDR_ERR_TOO_FEW_COLUMNS;
        }
        if (row_term_.len != 0) {
            if (at(p_, end_, row_term_))
                p_ += row_term_.len;
            else if (p_ < end_ && scan_.is_last == 1)
                p_ = end_;
        }
        return rc;
    }

    uint32_t reported_len() const
    {
        return fldr_split::reported_len(scan_.col, Mode, value_len_, null_mark_);
    }

    const field_scan &scan_;
    const sep_bytes   field_term_, enclose_, escape_, row_term_;
    char *const       end_;
    char             *p_;                 /* next byte to scan */
    const bool        escapes_;           /* the escape is in force (escaped mode, escape given) */
    bool              copying_;           /* the value is being compacted at value_off_ */
    bool              in_enclose_ = false;
    bool              null_mark_;         /* an empty value is NULL */
    size_t            value_off_ = 0;
    size_t            value_len_ = 0;
};

}  // namespace

namespace fldr_split {

int32_t scan_plain_field(const field_scan &scan, field_value *out)
{
    return delimited_scanner<FLDR_SCAN_PLAIN>(scan).run(out);
}

int32_t scan_enclosed_field(const field_scan &scan, field_value *out)
{
    return delimited_scanner<FLDR_SCAN_ENCLOSED>(scan).run(out);
}

int32_t scan_escaped_field(const field_scan &scan, field_value *out)
{
    return delimited_scanner<FLDR_SCAN_ESCAPED>(scan).run(out);
}

int32_t scan_other_mode_field(const field_scan &scan, field_value *out)
{
    /* Any value that names no mode takes the same steps. */
    return delimited_scanner<0xFFFFFFFFu>(scan).run(out);
}

}  // namespace fldr_split

/*
** Field extraction entry: fldr_get_nth_val_len and the positional step.
**
**   row (data, len) --> separators of the column --> fast path --> value
**                                                 \-> scanner of the mode (fldr_file_scan.cpp,
**                                                     fldr_file_csv.cpp)
**
** Each call gets the rest of the row from the current field's first byte and
** reports the bytes it consumed; the caller advances by that much for the
** next column. The column's effective separators are worked out once per
** call into a field_scan record, which the fast path and the scanner share.
**
** Speed: every supported character set encodes a byte below 0x80 that starts
** a character as a one-byte character, so the fast path skips runs of bytes
** that are neither 0x80 or above nor the first byte of the escape, the
** enclosure, the field terminator or the row terminator in bulk (16 or 64
** bytes at a time). At the bytes it stops on, it takes the scanner's steps in
** the scanner's order; at a byte of 0x80 or more the character's whole
** length comes from encoding_mblen, so a trailing byte that equals an ASCII
** separator (possible in GBK, GB18030 and BIG5) is never taken for one.
*/
#include <cstring>

#include "fldr_file_split.h"
#include "fldr_internal.h"
#include "qxcvt.h"

namespace {

using fldr_split::field_scan;
using fldr_split::field_value;

/* Past the run of whole multi-byte characters that starts at p (a byte of
** 0x80 or more), or nullptr when a character is cut by the end of the data. */
inline const char *skip_wide_run(uint32_t charset, const char *p, const char *end)
{
    do {
        const size_t n = fldr_split::char_len(charset, p, static_cast<size_t>(end - p));
        if (n > static_cast<size_t>(end - p))
            return nullptr;
        p += n;
    } while (p < end && static_cast<uint8_t>(*p) >= 0x80);
    return p;
}

/* The column's own field terminator and enclosure where it has them, else
** the table's; the table's escape; the row terminator. */
fldr_split::field_separators separators_of(const fldr_ctl *ctl, const fldr_col *col, const char *row_term,
                                           uint16_t row_term_len)
{
    static const fldr_seperator_info no_separators = {};
    const fldr_seperator_info *table = ctl->sep_info != nullptr ? ctl->sep_info : &no_separators;
    const fldr_seperator_info *own = (col != nullptr && col->sep_info != nullptr) ? col->sep_info : nullptr;
    const fldr_seperator_info *term_src = (own != nullptr && own->term_len != 0) ? own : table;
    const fldr_seperator_info *encl_src = (own != nullptr && own->enclose_len != 0) ? own : table;
    return {{term_src->term, term_src->term_len},
            {encl_src->enclose, encl_src->enclose_len},
            {table->escape, table->escape_len},
            {row_term, row_term != nullptr ? row_term_len : 0u}};
}

/* The scanner of the request's mode; kept out of line so that the entry
** stays small for the common field. */
__attribute__((noinline)) int32_t scan_field(const field_scan &scan, field_value *out)
{
    switch (scan.mode) {
    case FLDR_SCAN_PLAIN: return fldr_split::scan_plain_field(scan, out);
    case FLDR_SCAN_ENCLOSED: return fldr_split::scan_enclosed_field(scan, out);
    case FLDR_SCAN_ESCAPED: return fldr_split::scan_escaped_field(scan, out);
    case FLDR_SCAN_CSV: return fldr_split::scan_csv_field(scan, out);
    default: return fldr_split::scan_other_mode_field(scan, out);
    }
}

}  // namespace

/* ================================================ the common field, fast */

namespace {

/* The fast path's stop bytes are found by fldr_split::stop_bytes, or 64
** bytes at a time where the processor has it. */
#if defined(__x86_64__) && defined(__GNUC__)
#define FLDR_SPLIT_HAVE_AVX512 1
/* 64 bytes per compare; the last piece is a masked load, whose masked-off
** bytes are neither read nor able to fault. A field shorter than 64 bytes
** is found by one compare, so the loop's exit is predictable. */
class stops_avx512 {
public:
    __attribute__((target("avx512bw,bmi,bmi2"))) stops_avx512(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3,
                                                             bool high)
        : v0_(_mm512_set1_epi8(static_cast<char>(b0))), v1_(_mm512_set1_epi8(static_cast<char>(b1))),
          v2_(_mm512_set1_epi8(static_cast<char>(b2))), v3_(_mm512_set1_epi8(static_cast<char>(b3))),
          high_(high)
    {
    }

    __attribute__((target("avx512bw,bmi,bmi2"))) const char *find(const char *p, const char *end,
                                                                 bool *is_b0) const
    {
        *is_b0 = false;
        while (p < end) {
            const size_t left = static_cast<size_t>(end - p);
            const __mmask64 live = left >= 64 ? ~0ull : _bzhi_u64(~0ull, static_cast<unsigned>(left));
            const __m512i x = _mm512_maskz_loadu_epi8(live, p);
            const __mmask64 h0 = _mm512_cmpeq_epi8_mask(x, v0_);
            __mmask64 hits = h0 | _mm512_cmpeq_epi8_mask(x, v1_) | _mm512_cmpeq_epi8_mask(x, v2_) |
                             _mm512_cmpeq_epi8_mask(x, v3_);
            if (high_)
                hits |= _mm512_movepi8_mask(x);
            hits &= live;
            if (hits != 0) {
                *is_b0 = (_blsi_u64(hits) & h0) != 0;
                return p + _tzcnt_u64(hits);
            }
            if (left <= 64)
                return end;
            p += 64;
        }
        return end;
    }

private:
    __m512i v0_, v1_, v2_, v3_;
    bool    high_;
};
#endif

/*
** Most fields of most loads hold no escape, are enclosed at most as a
** whole (no doubled enclosure inside) and end at a one-byte field
** terminator or at the row terminator. For those, this path gives the
** scanner's result without its general machinery: it looks for the same
** stop bytes, and at each stop takes the scanner's steps in the scanner's
** order (escape, enclosure, field terminator, row terminator, multi-byte
** character, other byte). It writes nothing before it knows the field's
** end, so at anything it does not handle (an escape, an enclosure that does
** not open the field or holds a doubled enclosure, a character cut by the
** end of the data, no end before the end of the data, longer separators) it
** returns false with the row and the outputs untouched, and the scanner
** takes the field from its first byte.
*/
/*
** Inside an enclosure that opened at p - 1: the closing enclosure, or
** nullptr where the scanner would do more than pass bytes into the value (an
** escape, a doubled enclosure in the plain mode, a row terminator that ends
** the row inside the enclosure, a cut character, the end of the data). Field
** terminators are data here, and so is a row terminator when enclosed rows
** are on in the enclosed mode.
*/
template <typename Finder>
__attribute__((always_inline)) inline const char *enclosed_end(const Finder &stops, const char *p, const char *end,
                                                               uint32_t charset, uint32_t mode,
                                                               uint32_t enclosed_rows, bool escapes, uint8_t s0,
                                                               uint8_t e0, uint8_t r0, const char *row_term,
                                                               uint32_t r_len)
{
    for (;;) {
        bool is_t = false;
        p = stops.find(p, end, &is_t);
        if (p == end)
            return nullptr;
        if (is_t) {
            ++p;
            continue;
        }
        const uint8_t c = static_cast<uint8_t>(*p);
        if (escapes && c == s0)
            return nullptr;
        if (c == e0) {
            if (mode == FLDR_SCAN_PLAIN && end - p >= 2 && static_cast<uint8_t>(p[1]) == e0)
                return nullptr;
            return p;
        }
        if (r_len != 0 && c == r0 && end - p >= r_len && (r_len == 1 || p[1] == row_term[1])) {
            if (mode != FLDR_SCAN_ENCLOSED || enclosed_rows != 1)
                return nullptr;
            p += r_len;
            continue;
        }
        if (charset != QXCVT_ASCII && c >= 0x80) {
            if ((p = skip_wide_run(charset, p, end)) == nullptr)
                return nullptr;
            continue;
        }
        ++p;
    }
}

template <typename Finder>
__attribute__((always_inline)) inline bool fast_field(const field_scan &scan, field_value *out, int32_t *rc)
{
    const fldr_split::field_separators &seps = scan.seps;
    if (seps.field_term.len != 1 || seps.enclose.len > 1 || seps.escape.len > 1 || seps.row_term.len > 2)
        return false;
    const fldr_ctl *ctl = scan.ctl;
    const fldr_col *col = scan.col;
    const uint32_t is_last = scan.is_last, charset = scan.charset, mode = scan.mode;
    char *const data = scan.data;
    const char *row_term = seps.row_term.bytes;
    const uint32_t r_len = static_cast<uint32_t>(seps.row_term.len);
    const uint8_t t0 = static_cast<uint8_t>(seps.field_term.bytes[0]);
    const bool has_e = seps.enclose.len != 0;
    const bool escapes = mode == FLDR_SCAN_ESCAPED && seps.escape.len != 0;
    const uint8_t e0 = has_e ? static_cast<uint8_t>(seps.enclose.bytes[0]) : t0;
    /* The scanner refuses equal separators; it says so itself. */
    if ((has_e && e0 == t0) ||
        (seps.escape.len != 0 && (static_cast<uint8_t>(seps.escape.bytes[0]) == t0 ||
                                  (has_e && static_cast<uint8_t>(seps.escape.bytes[0]) == e0))))
        return false;
    const uint8_t s0 = escapes ? static_cast<uint8_t>(seps.escape.bytes[0]) : t0;
    const uint8_t r0 = r_len != 0 ? static_cast<uint8_t>(row_term[0]) : t0;
    const bool ascii = charset == QXCVT_ASCII;
    /* A separator byte of 0x80 or more would have to be tested inside
    ** multi-byte characters: left to the scanner. */
    if (!ascii && (t0 | r0 | e0 | s0) >= 0x80)
        return false;

    const char *end = data + scan.len;
    const char *p = data;
    const Finder stops(t0, r0, e0, s0, !ascii);
    /* Invariant: the bytes [data, p) are value bytes, taken as the scanner
    ** takes them. */
    for (;;) {
        bool is_t = false;
        p = stops.find(p, end, &is_t);
        if (p == end)
            return false;
        /* The field terminator differs from an escape or enclosure in use
        ** (checked above), so at it the scanner's first two tests fail. */
        if (is_t) {
            /* Field terminator; a row terminator right after it is consumed. */
            const uint32_t value_len = static_cast<uint32_t>(p - data);
            ++p;
            if (r_len != 0 && end - p >= r_len && static_cast<uint8_t>(p[0]) == r0 &&
                (r_len == 1 || p[1] == row_term[1]))
                p += r_len;
            *rc = 0;
            *out = field_value{data, fldr_split::reported_len(col, mode, value_len, mode != FLDR_SCAN_ESCAPED),
                               static_cast<uint32_t>(p - data)};
            return true;
        }
        const uint8_t c = static_cast<uint8_t>(*p);
        if (escapes && c == s0)
            return false;
        if (has_e && c == e0) {
            /* An enclosure opening the field: the value is the bytes up to
            ** the closing one. With escapes on, the scanner compacts every
            ** value to the field's first byte: here that is one move, made
            ** once the closing enclosure is found. */
            if (p != data)
                return false;
            const char *q = enclosed_end(stops, p + 1, end, charset, mode, scan.enclosed_rows, escapes, s0, e0,
                                         r0, row_term, r_len);
            if (q == nullptr)
                return false;
            const uint32_t value_len = static_cast<uint32_t>(q - (data + 1));
            if (escapes)
                std::memmove(data, data + 1, value_len);
            p = q + 1;
            /* After the value: the field terminator, then a row terminator;
            ** other bytes after a last column's value are passed over. */
            *rc = 0;
            if (p < end && static_cast<uint8_t>(*p) == t0)
                ++p;
            else if (is_last == 0 && ctl->trailing_flag == 0)
                *rc = FLDR_ERR_TOO_FEW_COLUMNS;
            if (r_len != 0) {
                if (end - p >= r_len && static_cast<uint8_t>(p[0]) == r0 && (r_len == 1 || p[1] == row_term[1]))
                    p += r_len;
                else if (p < end && is_last == 1)
                    p = end;
            }
            *out = field_value{escapes ? data : data + 1, fldr_split::reported_len(col, mode, value_len, false),
                               static_cast<uint32_t>(p - data)};
            return true;
        }
        if (r_len != 0 && c == r0 && end - p >= r_len && (r_len == 1 || p[1] == row_term[1])) {
            const uint32_t value_len = static_cast<uint32_t>(p - data);
            p += r_len;
            *rc = (is_last == 0 && ctl->trailing_flag == 0) ? FLDR_ERR_TOO_FEW_COLUMNS : 0;
            *out = field_value{data, fldr_split::reported_len(col, mode, value_len, mode != FLDR_SCAN_ESCAPED),
                               static_cast<uint32_t>(p - data)};
            return true;
        }
        if (!ascii && c >= 0x80) {
            /* Whole characters, as long as they last. */
            if ((p = skip_wide_run(charset, p, end)) == nullptr)
                return false;
            continue;
        }
        ++p;   /* a stop byte that starts nothing here: an ordinary character */
    }
}

/*
** The common CSV field, without the CSV scanner's general machinery: the
** column's one-byte field terminator and enclosure, a row terminator of one or two
** bytes, separators that cannot stand inside a character, and a field that
** is either unenclosed or enclosed without doubled enclosures inside. It
** returns false, with the row and the outputs untouched, at anything else
** (a doubled enclosure, a carriage return, an enclosure left open, text
** after the closing one), and fldr_scan_field_csv takes the field; its
** result here is the one that scanner gives.
*/
template <typename Finder>
__attribute__((always_inline)) inline bool fast_csv_field(const field_scan &scan, field_value *out, int32_t *rc)
{
    const fldr_split::field_separators &seps = scan.seps;
    const uint32_t r_len = static_cast<uint32_t>(seps.row_term.len);
    if (seps.field_term.len != 1 || seps.enclose.len > 1 || r_len == 0 || r_len > 2)
        return false;
    const char *row_term = seps.row_term.bytes;
    const uint32_t charset = scan.charset;
    char *const data = scan.data;
    const uint8_t t0 = static_cast<uint8_t>(seps.field_term.bytes[0]);
    const uint8_t r0 = static_cast<uint8_t>(row_term[0]);
    const bool has_e = seps.enclose.len != 0;
    const uint8_t e0 = has_e ? static_cast<uint8_t>(seps.enclose.bytes[0]) : t0;
    if ((has_e && e0 == t0) || fldr_split::trail_may_be(charset, t0) || fldr_split::trail_may_be(charset, e0) ||
        fldr_split::trail_may_be(charset, r0) || (r_len == 2 && fldr_split::trail_may_be(charset, row_term[1])))
        return false;
    const char *end = data + scan.len;
    const char *p = data;
    const bool enclosed = has_e && static_cast<uint8_t>(*p) == e0;
    if (enclosed) {
        const char *q = static_cast<const char *>(std::memchr(p + 1, e0, static_cast<size_t>(end - p - 1)));
        if (q == nullptr || (q + 1 < end && static_cast<uint8_t>(q[1]) == e0))
            return false;
        p = q + 1;
    } else {
        bool is_t = false;
        const Finder stops(t0, r0, '\r', t0, false);
        p = stops.find(p, end, &is_t);
    }
    const uint32_t value_off = enclosed ? 1 : 0;
    const uint32_t value_len = static_cast<uint32_t>(p - data) - 2 * value_off;
    bool field_term = false;
    if (p == end) {
    } else if (static_cast<uint8_t>(*p) == t0) {
        ++p;
        field_term = true;
    } else if (static_cast<uint8_t>(*p) == r0 && end - p >= r_len && (r_len == 1 || p[1] == row_term[1])) {
        p += r_len;
    } else {
        return false;
    }
    const bool is_null = (scan.col != nullptr && scan.col->is_null != 0) || (!enclosed && value_len == 0);
    *out = field_value{data + value_off, is_null ? FLDR_NULL_LEN : value_len, static_cast<uint32_t>(p - data)};
    *rc = (!field_term && scan.is_last == 0 && scan.ctl->trailing_flag == 0) ? FLDR_ERR_TOO_FEW_COLUMNS : 0;
    return true;
}

}  // namespace

/* ========================================================= positions */

int32_t fldr_nth_val_position_reset(const fldr_col *col, char *row_start, uint32_t row_len,
                                    char **out_start, uint32_t *out_len)
{
    if (col == nullptr || col->pos_start == -1)
        return 0;
    const uint32_t start = static_cast<uint32_t>(col->pos_start);
    if (start >= 1 && start <= row_len &&
        (col->pos_end == -1 || start <= static_cast<uint32_t>(col->pos_end))) {
        *out_start = row_start + start - 1;
        *out_len = row_len - start + 1;
    } else {
        *out_start = nullptr;
        *out_len = row_len;
    }
    return 0;
}

namespace {

/* The POSITION-aware step: a column with a start position (and maybe an
** end), or a delimited column after one. */
__attribute__((noinline)) int32_t nth_val_by_position(const field_scan &scan, field_value *out,
                                                      uint32_t *more_data)
{
    const fldr_col *col = scan.col;
    if (col == nullptr)
        return scan_field(scan, out);
    if (col->pos_start == -1) {
        /* A delimited column after a positional one that used up the row. */
        if (*more_data == 0)
            return FLDR_ERR_DATA;
        return scan_field(scan, out);
    }
    if (scan.data == nullptr) {
        /* The position lies outside the row. */
        out->value = nullptr;
        out->len = 0;
        *more_data = 0;
        return 0;
    }
    *more_data = 1;
    out->value = scan.data;
    if (col->pos_end == -1)
        return scan_field(scan, out);

    /* Both positions: the value may not reach into the row terminator. */
    const fldr_split::sep_bytes &row_term = scan.seps.row_term;
    uint32_t usable = scan.len;
    if (scan.len > row_term.len &&
        std::memcmp(scan.data + scan.len - row_term.len, row_term.bytes, row_term.len) == 0)
        usable -= static_cast<uint32_t>(row_term.len);
    if (col->pos_end <= static_cast<int64_t>(usable) + col->pos_start - 1) {
        /* An end before the start gives an empty value. */
        const int64_t width = col->pos_end - col->pos_start + 1;
        out->len = width > 0 ? static_cast<uint32_t>(width) : 0;
        out->used = out->len;
    } else {
        *more_data = 0;
        out->len = usable;
    }
    if (qx_get_valid_chars(out->value, out->len, scan.charset, 0, 0) == QXCVT_ERR_INVALID_CHAR)
        return FLDR_ERR_DATA;
    return 0;
}

/* ================================================================ entry */

template <typename Finder>
__attribute__((always_inline)) inline int32_t nth_val_len(const fldr_ctl *ctl, const fldr_col *col,
                                                          uint32_t is_last, const char *row_term,
                                                          uint16_t row_term_len, char *data, uint32_t len,
                                                          uint32_t charset, uint32_t mode, uint32_t enclosed_rows,
                                                          char **out_value, uint32_t *out_len, uint32_t *out_used,
                                                          uint32_t *more_data)
{
    if (len == 0) {
        /* Nothing left of the row. */
        *out_value = data;
        *out_len = (mode == FLDR_SCAN_ENCLOSED || mode == FLDR_SCAN_CSV) ? FLDR_NULL_LEN : 0;
        *out_used = 0;
        if (is_last == 0 && ctl->trailing_flag == 0)
            return FLDR_ERR_TOO_FEW_COLUMNS;
        return 0;
    }
    const field_scan scan{ctl,     col,  is_last, data,          len,
                          charset, mode, enclosed_rows, separators_of(ctl, col, row_term, row_term_len)};
    /* Outputs the scan does not set keep the caller's values. */
    field_value out{*out_value, *out_len, *out_used};
    int32_t rc = 0;
    if (col == nullptr || (col->pos_start == -1 && (more_data == nullptr || *more_data != 0))) {
        /* A delimited column, or no column: the fast path, else the scanner. */
        const bool fast = mode == FLDR_SCAN_CSV ? fast_csv_field<Finder>(scan, &out, &rc)
                                                : fast_field<Finder>(scan, &out, &rc);
        if (!fast)
            rc = scan_field(scan, &out);
    } else {
        uint32_t more_local = 1;
        rc = nth_val_by_position(scan, &out, more_data != nullptr ? more_data : &more_local);
    }
    *out_value = out.value;
    *out_len = out.len;
    *out_used = out.used;
    return rc;
}

using nth_val_len_fn = int32_t (*)(const fldr_ctl *, const fldr_col *, uint32_t, const char *, uint16_t, char *,
                                   uint32_t, uint32_t, uint32_t, uint32_t, char **, uint32_t *, uint32_t *,
                                   uint32_t *);

int32_t nth_val_len_sse2(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last, const char *row_term,
                         uint16_t row_term_len, char *data, uint32_t len, uint32_t charset, uint32_t mode,
                         uint32_t enclosed_rows, char **out_value, uint32_t *out_len, uint32_t *out_used,
                         uint32_t *more_data)
{
    return nth_val_len<fldr_split::stop_bytes>(ctl, col, is_last, row_term, row_term_len, data, len, charset,
                                               mode, enclosed_rows, out_value, out_len, out_used, more_data);
}

#if defined(FLDR_SPLIT_HAVE_AVX512)
__attribute__((target("avx512bw,bmi,bmi2"))) int32_t nth_val_len_avx512(
    const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last, const char *row_term, uint16_t row_term_len,
    char *data, uint32_t len, uint32_t charset, uint32_t mode, uint32_t enclosed_rows, char **out_value,
    uint32_t *out_len, uint32_t *out_used, uint32_t *more_data)
{
    return nth_val_len<stops_avx512>(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                                     enclosed_rows, out_value, out_len, out_used, more_data);
}
#endif

const nth_val_len_fn g_nth_val_len =
    fldr_split::by_processor<nth_val_len_fn>(nth_val_len_sse2, nullptr, FLDR_SPLIT_WIDE(nth_val_len_avx512));

}  // namespace

int32_t fldr_get_nth_val_len(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                             const char *row_term, uint16_t row_term_len, char *data, uint32_t len,
                             uint32_t charset, uint32_t mode, uint32_t enclosed_rows,
                             char **out_value, uint32_t *out_len, uint32_t *out_used, char *work,
                             void *reserved, uint32_t *more_data)
{
    (void)work;       /* values are rebuilt in place; see the file's head */
    (void)reserved;
    return g_nth_val_len(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode, enclosed_rows,
                         out_value, out_len, out_used, more_data);
}

int32_t fldr_get_nth_val_len_portable(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                                      const char *row_term, uint16_t row_term_len, char *data, uint32_t len,
                                      uint32_t charset, uint32_t mode, uint32_t enclosed_rows, char **out_value,
                                      uint32_t *out_len, uint32_t *out_used, uint32_t *more_data)
{
    return nth_val_len_sse2(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode, enclosed_rows,
                            out_value, out_len, out_used, more_data);
}

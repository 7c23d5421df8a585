/*
** Field extraction: one field at a time from a row that has been cut off.
**
**   row (data, len) --> field scanner --> value (pointer into the row, length)
**
** The caller owns the row bytes and keeps them until it has used the values.
** Each call gets the rest of the row from the current field's first byte and
** reports the bytes it consumed; the caller advances by that much for the
** next column. Nothing is allocated per field:
**   - most values are slices of the row (a pointer and a length);
**   - a value that must be rebuilt (escapes in escaped-data mode, a doubled
**     enclosure in plain mode) is compacted in place at the front of the
**     bytes it came from. The write position never passes the read position,
**     so the bytes still to be scanned are never overwritten, and the bytes
**     of the row outside the value stay as they were.
**
** Speed: every supported character set encodes a byte below 0x80 that starts
** a character as a one-byte character, so the scanner skips runs of bytes
** that are neither 0x80 or above nor the first byte of the escape, the
** enclosure, the field terminator or the row terminator in bulk (16 bytes at
** a time). At the bytes it stops on, it takes the same steps, in the same
** order, as a walk of one character at a time; at a byte of 0x80 or more the
** character's whole length comes from encoding_mblen, so a trailing byte that
** equals an ASCII separator (possible in GBK, GB18030 and BIG5) is never
** taken for one.
*/
#include <cstring>

#include "fldr_file_split.h"
#include "fldr_internal.h"
#include "qxcvt.h"

namespace {

const fldr_seperator_info k_no_separators = {};

struct sep_bytes {
    const char *bytes;
    size_t      len;     /* 0: the string is absent and never matches */
};

inline bool same_sep(const sep_bytes &a, const sep_bytes &b)
{
    return a.len != 0 && a.len == b.len &&
           (a.len == 1 ? a.bytes[0] == b.bytes[0] : std::memcmp(a.bytes, b.bytes, a.len) == 0);
}

/* The whole string at p, inside [p, end); an absent string never matches. */
inline bool at(const char *p, const char *end, const sep_bytes &s)
{
    return s.len != 0 && fldr_split::bytes_at(p, end, s.bytes, s.len);
}

using fldr_split::char_len;

/* Past the run of whole multi-byte characters that starts at p (a byte of
** 0x80 or more), or nullptr when a character is cut by the end of the data. */
inline const char *skip_wide_run(uint32_t charset, const char *p, const char *end)
{
    do {
        const size_t n = char_len(charset, p, static_cast<size_t>(end - p));
        if (n > static_cast<size_t>(end - p))
            return nullptr;
        p += n;
    } while (p < end && static_cast<uint8_t>(*p) >= 0x80);
    return p;
}

/* The length reported for a value: NULL for a column that is always NULL,
** or for an empty value where empty means NULL; NULL is FLDR_NULL_LEN in
** scan modes 1 and 2 and 0 in the plain mode. */
inline uint32_t reported_len(const fldr_col *col, uint32_t mode, size_t value_len, bool empty_is_null)
{
    const bool is_null = (col != nullptr && col->is_null != 0) || (empty_is_null && value_len == 0);
    if (!is_null)
        return static_cast<uint32_t>(value_len);
    return (mode == FLDR_SCAN_ENCLOSED || mode == FLDR_SCAN_ESCAPED) ? FLDR_NULL_LEN : 0;
}

inline uint8_t first_or(const sep_bytes &s, uint8_t fallback)
{
    return s.len != 0 ? static_cast<uint8_t>(s.bytes[0]) : fallback;
}

}  // namespace

/* =================================================== the delimiter scanner */

namespace {

/* The scanner's body. The common field does not get here: see fast_field. */
inline int32_t scan_field(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last, const char *row_term,
                          uint16_t row_term_len, char *data, uint32_t len, uint32_t charset, uint32_t mode,
                          uint32_t enclosed_rows, char **out_value, uint32_t *out_len, uint32_t *out_used)
{
    const fldr_seperator_info *table = ctl->sep_info != nullptr ? ctl->sep_info : &k_no_separators;
    const fldr_seperator_info *own = (col != nullptr && col->sep_info != nullptr) ? col->sep_info : nullptr;
    const fldr_seperator_info *t_src = (own != nullptr && own->term_len != 0) ? own : table;
    const fldr_seperator_info *e_src = (own != nullptr && own->enclose_len != 0) ? own : table;
    const sep_bytes T{t_src->term, t_src->term_len};
    const sep_bytes E{e_src->enclose, e_src->enclose_len};
    const sep_bytes S{table->escape, table->escape_len};
    const sep_bytes R{row_term, row_term != nullptr ? row_term_len : 0u};
    const bool trailing_ok = ctl->trailing_flag != 0;

    if (same_sep(E, T) || same_sep(E, S) || same_sep(S, T)) {
        *out_value = data;
        *out_len = 0;
        *out_used = 0;
        return FLDR_ERR_SEP_IS_ENCLOSE;
    }

    /* Scanner state, kept in locals. The value is always the bytes
    ** data[val_off, val_off + val_len); with `copying` they have been
    ** compacted there, else they are counted over the row as it stands.
    ** Invariant: val_off + val_len <= p - data. */
    const bool escapes = mode == FLDR_SCAN_ESCAPED && S.len != 0;
    const bool doubled_enclose = mode == FLDR_SCAN_PLAIN;
    const bool row_term_in_enclose = mode == FLDR_SCAN_ENCLOSED && enclosed_rows == 1;
    bool copying = escapes;
    bool in_enclose = false;
    bool null_mark = mode != FLDR_SCAN_ESCAPED;
    size_t val_off = 0;
    size_t val_len = 0;
    const char *end = data + len;
    char *p = data;

    /* Adds the n bytes at p to the value and moves past them. */
    auto take = [&](size_t n) {
        if (copying) {
            char *dst = data + val_off + val_len;
            if (dst != p)
                std::memmove(dst, p, n);
        }
        val_len += n;
        p += n;
    };

    /* Bytes the bulk skip must stop at. Absent strings repeat another byte;
    ** a byte that stops the skip but matches nothing is taken as a character
    ** by the general step, so a spare stop costs time, never a result. */
    const uint8_t stop_t = first_or(T, first_or(R, first_or(E, 0)));
    const uint8_t stop_r = first_or(R, stop_t);
    const uint8_t stop_e = first_or(E, stop_t);
    const uint8_t stop_s = escapes ? first_or(S, stop_t) : stop_t;
    const fldr_split::stop_bytes stops(stop_t, stop_r, stop_e, stop_s, charset != QXCVT_ASCII);
    /* When no separator starts with a byte of 0x80 or more, such a byte can
    ** only start a character: runs of multi-byte characters are stepped over
    ** without the separator tests. */
    const bool high_is_text = charset != QXCVT_ASCII && stop_t < 0x80 && stop_r < 0x80 && stop_e < 0x80 &&
                              stop_s < 0x80;

    enum class finish { stopped, field_end, row_end };
    finish how = finish::stopped;
    int32_t rc = 0;

    while (p < end) {
        const char *run_end = stops.find(p, end);
        if (run_end != p) {
            take(static_cast<size_t>(run_end - p));
            if (p == end)
                break;
        }
        if (high_is_text && static_cast<uint8_t>(*p) >= 0x80) {
            do {
                const size_t n = char_len(charset, p, static_cast<size_t>(end - p));
                if (n > static_cast<size_t>(end - p))
                    goto scan_stopped;   /* a character cut by the end of the data */
                take(n);
            } while (p < end && static_cast<uint8_t>(*p) >= 0x80);
            continue;
        }

        if (escapes && at(p, end, S)) {
            p += S.len;
            if (p < end && *p == 'N') {
                ++p;
                null_mark = true;
                if (p >= end)
                    goto scan_stopped;
                if (in_enclose && at(p, end, E)) {
                    in_enclose = false;
                    p += E.len;
                    if (p >= end)
                        goto after_value;
                }
                if (at(p, end, T)) {
                    p += T.len;
                    how = finish::field_end;
                    goto scan_stopped;
                }
                if (at(p, end, R)) {
                    p += R.len;
                    how = finish::row_end;
                    goto scan_stopped;
                }
                goto after_value;
            }
            if (p >= end)
                goto scan_stopped;
            /* The escaped character goes into the value whatever it is. */
            const size_t n = char_len(charset, p, static_cast<size_t>(end - p));
            if (n > static_cast<size_t>(end - p))
                goto scan_stopped;
            take(n);
            continue;
        }

        if (at(p, end, E)) {
            if (in_enclose && doubled_enclose && at(p + E.len, end, E)) {
                /* A doubled enclosure stands for one enclosure character. */
                copying = true;
                take(E.len);
                p += E.len;
                continue;
            }
            p += E.len;
            if (in_enclose) {
                in_enclose = false;
                goto after_value;
            }
            in_enclose = true;
            if (!copying)
                val_off = E.len;
            null_mark = false;
            continue;
        }

        if (at(p, end, T)) {
            if (in_enclose) {
                take(T.len);
                continue;
            }
            p += T.len;
            how = finish::field_end;
            goto scan_stopped;
        }

        if (at(p, end, R)) {
            if (in_enclose && row_term_in_enclose) {
                take(R.len);
                continue;
            }
            p += R.len;
            how = finish::row_end;
            goto scan_stopped;
        }

        {
            const size_t n = char_len(charset, p, static_cast<size_t>(end - p));
            if (n > static_cast<size_t>(end - p))
                goto scan_stopped;   /* a character cut by the end of the data */
            take(n);
        }
    }

scan_stopped:
    if (in_enclose) {
        rc = FLDR_ERR_DATA;
        goto output;
    }
    if (how == finish::field_end) {
        if (at(p, end, R))
            p += R.len;
        goto output;
    }
    if (how == finish::row_end) {
        if (is_last == 0 && !trailing_ok)
            rc = FLDR_ERR_TOO_FEW_COLUMNS;
        goto output;
    }

after_value:
    /* After a closing enclosure, the end of the data or a stop: expect the
    ** field terminator, then take a row terminator; bytes after the value of
    ** a last column are consumed and ignored. */
    if (T.len != 0) {
        if (at(p, end, T))
            p += T.len;
        else if (is_last == 0 && !trailing_ok)
            rc = FLDR_ERR_TOO_FEW_COLUMNS;
    }
    if (R.len != 0) {
        if (at(p, end, R))
            p += R.len;
        else if (p < end && is_last == 1)
            p = const_cast<char *>(end);
    }

output:
    *out_value = data + val_off;
    *out_len = reported_len(col, mode, static_cast<size_t>(val_len), null_mark);
    *out_used = static_cast<uint32_t>(p - data);
    return rc;
}

}  // namespace

/* Kept out of line: fldr_get_nth_val_len stays small for the common field. */
__attribute__((noinline)) int32_t fldr_scan_field(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                                                  const char *row_term, uint16_t row_term_len, char *data,
                                                  uint32_t len, uint32_t charset, uint32_t mode,
                                                  uint32_t enclosed_rows, char **out_value, uint32_t *out_len,
                                                  uint32_t *out_used)
{
    if (mode == FLDR_SCAN_CSV)
        return fldr_scan_field_csv(ctl, col, is_last, row_term, row_term_len, data, len, charset, out_value,
                                   out_len, out_used);
    return scan_field(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode, enclosed_rows,
                      out_value, out_len, out_used);
}

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
__attribute__((always_inline)) inline bool fast_field(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                                                      const char *row_term, uint16_t row_term_len, char *data,
                                                      uint32_t len, uint32_t charset, uint32_t mode,
                                                      uint32_t enclosed_rows, char **out_value, uint32_t *out_len,
                                                      uint32_t *out_used, int32_t *rc)
{
    const fldr_seperator_info *table = ctl->sep_info;
    if (table == nullptr || table->term_len != 1 || table->enclose_len > 1 || table->escape_len > 1)
        return false;
    if (col != nullptr && col->sep_info != nullptr &&
        (col->sep_info->term_len != 0 || col->sep_info->enclose_len != 0))
        return false;
    const uint32_t r_len = row_term != nullptr ? row_term_len : 0u;
    if (r_len > 2)
        return false;
    const uint8_t t0 = static_cast<uint8_t>(table->term[0]);
    const bool has_e = table->enclose_len != 0;
    const bool escapes = mode == FLDR_SCAN_ESCAPED && table->escape_len != 0;
    const uint8_t e0 = has_e ? static_cast<uint8_t>(table->enclose[0]) : t0;
    /* The scanner refuses equal separators; it says so itself. */
    if ((has_e && e0 == t0) ||
        (table->escape_len != 0 && (static_cast<uint8_t>(table->escape[0]) == t0 ||
                                    (has_e && static_cast<uint8_t>(table->escape[0]) == e0))))
        return false;
    const uint8_t s0 = escapes ? static_cast<uint8_t>(table->escape[0]) : t0;
    const uint8_t r0 = r_len != 0 ? static_cast<uint8_t>(row_term[0]) : t0;
    const bool ascii = charset == QXCVT_ASCII;
    /* A separator byte of 0x80 or more would have to be tested inside
    ** multi-byte characters: left to the scanner. */
    if (!ascii && (t0 | r0 | e0 | s0) >= 0x80)
        return false;

    const char *end = data + len;
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
            *out_value = data;
            *out_used = static_cast<uint32_t>(p - data);
            *out_len = reported_len(col, mode, value_len, mode != FLDR_SCAN_ESCAPED);
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
            const char *q = enclosed_end(stops, p + 1, end, charset, mode, enclosed_rows, escapes, s0, e0, r0,
                                         row_term, r_len);
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
            *out_value = escapes ? data : data + 1;
            *out_used = static_cast<uint32_t>(p - data);
            *out_len = reported_len(col, mode, value_len, false);
            return true;
        }
        if (r_len != 0 && c == r0 && end - p >= r_len && (r_len == 1 || p[1] == row_term[1])) {
            const uint32_t value_len = static_cast<uint32_t>(p - data);
            p += r_len;
            *rc = (is_last == 0 && ctl->trailing_flag == 0) ? FLDR_ERR_TOO_FEW_COLUMNS : 0;
            *out_value = data;
            *out_used = static_cast<uint32_t>(p - data);
            *out_len = reported_len(col, mode, value_len, mode != FLDR_SCAN_ESCAPED);
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
** table's one-byte terminator and enclosure, a row terminator of one or two
** bytes, separators that cannot stand inside a character, and a field that
** is either unenclosed or enclosed without doubled enclosures inside. It
** returns false, with the row and the outputs untouched, at anything else
** (a doubled enclosure, a carriage return, an enclosure left open, text
** after the closing one), and fldr_scan_field_csv takes the field; its
** result here is the one that scanner gives.
*/
template <typename Finder>
__attribute__((always_inline)) inline bool fast_csv_field(const fldr_ctl *ctl, const fldr_col *col,
                                                          uint32_t is_last, const char *row_term,
                                                          uint16_t row_term_len, char *data, uint32_t len,
                                                          uint32_t charset, char **out_value, uint32_t *out_len,
                                                          uint32_t *out_used, int32_t *rc)
{
    const fldr_seperator_info *table = ctl->sep_info;
    if (table == nullptr || table->term_len != 1 || table->enclose_len > 1)
        return false;
    if (col != nullptr && col->sep_info != nullptr &&
        (col->sep_info->term_len != 0 || col->sep_info->enclose_len != 0))
        return false;
    const uint32_t r_len = row_term != nullptr ? row_term_len : 0u;
    if (r_len == 0 || r_len > 2)
        return false;
    const uint8_t t0 = static_cast<uint8_t>(table->term[0]);
    const uint8_t r0 = static_cast<uint8_t>(row_term[0]);
    const bool has_e = table->enclose_len != 0;
    const uint8_t e0 = has_e ? static_cast<uint8_t>(table->enclose[0]) : t0;
    if ((has_e && e0 == t0) || fldr_split::trail_may_be(charset, t0) || fldr_split::trail_may_be(charset, e0) ||
        fldr_split::trail_may_be(charset, r0) || (r_len == 2 && fldr_split::trail_may_be(charset, row_term[1])))
        return false;
    const char *end = data + len;
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
    const bool is_null = (col != nullptr && col->is_null != 0) || (!enclosed && value_len == 0);
    *out_value = data + value_off;
    *out_len = is_null ? FLDR_NULL_LEN : value_len;
    *out_used = static_cast<uint32_t>(p - data);
    *rc = (!field_term && is_last == 0 && ctl->trailing_flag == 0) ? FLDR_ERR_TOO_FEW_COLUMNS : 0;
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

__attribute__((noinline)) int32_t fldr_get_nth_val_pos(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                                                       const char *row_term, uint16_t row_term_len, char *data,
                                                       uint32_t len, uint32_t charset, uint32_t mode,
                                                       uint32_t enclosed_rows, char **out_value, uint32_t *out_len,
                                                       uint32_t *out_used, uint32_t *more_data)
{
    if (col == nullptr)
        return fldr_scan_field(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                               enclosed_rows, out_value, out_len, out_used);
    if (col->pos_start == -1) {
        /* A delimited column after a positional one that used up the row. */
        if (*more_data == 0)
            return FLDR_ERR_DATA;
        return fldr_scan_field(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                               enclosed_rows, out_value, out_len, out_used);
    }
    if (data == nullptr) {
        /* The position lies outside the row. */
        *out_value = nullptr;
        *out_len = 0;
        *more_data = 0;
        return 0;
    }
    *more_data = 1;
    *out_value = data;
    if (col->pos_end == -1)
        return fldr_scan_field(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                               enclosed_rows, out_value, out_len, out_used);

    /* Both positions: the value may not reach into the row terminator. */
    uint32_t m = len;
    if (row_term != nullptr && len > row_term_len &&
        std::memcmp(data + len - row_term_len, row_term, row_term_len) == 0)
        m -= row_term_len;
    if (col->pos_end <= static_cast<int64_t>(m) + col->pos_start - 1) {
        /* An end before the start gives an empty value. */
        const int64_t width = col->pos_end - col->pos_start + 1;
        *out_len = width > 0 ? static_cast<uint32_t>(width) : 0;
        *out_used = *out_len;
    } else {
        *more_data = 0;
        *out_len = m;
    }
    if (qx_get_valid_chars(*out_value, *out_len, charset, 0, 0) == QXCVT_ERR_INVALID_CHAR)
        return FLDR_ERR_DATA;
    return 0;
}

/* ================================================================ entry */

namespace {

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
    /* A delimited column, or no column: the fast path, else the scanner. */
    if (col == nullptr || (col->pos_start == -1 && (more_data == nullptr || *more_data != 0))) {
        int32_t rc = 0;
        if (mode == FLDR_SCAN_CSV) {
            if (fast_csv_field<Finder>(ctl, col, is_last, row_term, row_term_len, data, len, charset, out_value,
                                       out_len, out_used, &rc))
                return rc;
            return fldr_scan_field_csv(ctl, col, is_last, row_term, row_term_len, data, len, charset, out_value,
                                       out_len, out_used);
        }
        if (fast_field<Finder>(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                               enclosed_rows, out_value, out_len, out_used, &rc))
            return rc;
        return fldr_scan_field(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                               enclosed_rows, out_value, out_len, out_used);
    }
    uint32_t more_local = 1;
    return fldr_get_nth_val_pos(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                                enclosed_rows, out_value, out_len, out_used,
                                more_data != nullptr ? more_data : &more_local);
}

using nth_val_len_fn = int32_t (*)(const fldr_ctl *, const fldr_col *, uint32_t, const char *, uint16_t, char *,
                                   uint32_t, uint32_t, uint32_t, uint32_t, char **, uint32_t *, uint32_t *,
                                   uint32_t *);

int32_t nth_val_len_sse2(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last, const char *row_term,
                         uint16_t row_term_len, char *data, uint32_t len, uint32_t charset, uint32_t mode,
                         uint32_t enclosed_rows, char **out_value, uint32_t *out_len, uint32_t *out_used,
                         uint32_t *more_data)
{
    return nth_val_len<fldr_split::stop_bytes>(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                                   enclosed_rows, out_value, out_len, out_used, more_data);
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

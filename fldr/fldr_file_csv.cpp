/*
** The CSV scan mode: rows and fields as a CSV reader reads them.
**
**   chunk --fldr_search_row_csv--> rows --fldr_split::scan_csv_field--> values
**
** What sets CSV apart from the enclosed mode is where an enclosure counts:
** only at a field's first byte. A quote in the middle of an unquoted field
** ("12" pizza", {"k": 1}) is a byte of the value, so the row search has to
** know where fields start, not just count quotes. The rules, in one place:
**
**   (1) A field starts at the row's first byte and after every field
**       terminator outside an enclosure.
**   (2) An enclosure at a field's first byte opens it; inside, a doubled
**       enclosure is one enclosure character, and field terminators, row
**       terminators and carriage returns are value bytes.
**   (3) The first enclosure inside that is not doubled closes the field.
**       The field terminator, the row terminator or the end of the row must
**       follow; anything else is an error of the row. (The row search does
**       not judge it: it goes on as outside an enclosure, so the row ends
**       where a CSV reader ends it, and the field scanner rejects it.)
**   (4) Outside an enclosure the row ends at the row terminator; a carriage
**       return that does not begin the row terminator is an error of the
**       row, since a CSV reader ends the record there.
**   (5) An unenclosed empty field is NULL; an enclosed empty one is an
**       empty string.
**
** Multi-byte sets: in GBK, GB18030 and BIG5 a trailing byte can equal a
** separator of 0x30 or more ('|', ';', '\'). When a separator is such a
** byte, both functions step over whole characters; otherwise no separator
** can stand inside a character and the bytes are scanned as bytes.
*/
#include <cstring>
#include <initializer_list>

#include "fldr_file_search.h"
#include "fldr_file_split.h"
#include "fldr_internal.h"

namespace {

using fldr_split::field_scan;
using fldr_split::field_value;
using fldr_split::sep_bytes;

inline bool at(const char *p, const char *end, const sep_bytes &s)
{
    return s.len != 0 && fldr_split::bytes_at(p, end, s.bytes, s.len);
}

inline bool walks_chars(uint32_t charset, const sep_bytes &a, const sep_bytes &b, const sep_bytes &c)
{
    for (const sep_bytes *s : {&a, &b, &c})
        for (size_t i = 0; i < s->len; i++)
            if (fldr_split::trail_may_be(charset, static_cast<uint8_t>(s->bytes[i])))
                return true;
    return false;
}

/* Past the character at p, or nullptr when the data ends inside it. */
inline const char *next_char(uint32_t charset, bool walk, const char *p, const char *end)
{
    const size_t n = walk ? fldr_split::char_len(charset, p, static_cast<size_t>(end - p)) : 1;
    return n <= static_cast<size_t>(end - p) ? p + n : nullptr;
}

/*
** Inside an enclosure that opened before p: past the closing enclosure, or
** nullptr when the data ends first. Doubled enclosures are passed over.
*/
inline const char *past_closing(const char *p, const char *end, const sep_bytes &enclose_sep, uint32_t charset, bool walk)
{
    const char e0 = enclose_sep.bytes[0];
    while (p < end) {
        if (!walk) {
            p = static_cast<const char *>(std::memchr(p, e0, static_cast<size_t>(end - p)));
            if (p == nullptr)
                return nullptr;
        }
        if (at(p, end, enclose_sep)) {
            p += enclose_sep.len;
            if (!at(p, end, enclose_sep))
                return p;
            p += enclose_sep.len;
            continue;
        }
        if ((p = next_char(charset, walk, p, end)) == nullptr)
            return nullptr;
    }
    return nullptr;
}

}  // namespace

/* ============================================================ row search */

char *fldr_search_row_csv_walk(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                               const char *field_term, uint16_t field_term_len, const char *enclose,
                               uint16_t enclose_len, uint32_t charset)
{
    if (buf == nullptr || len == 0 || term == nullptr || term_len == 0)
        return nullptr;
    const sep_bytes row_sep{term, term_len};
    const sep_bytes field_sep{field_term, field_term != nullptr ? field_term_len : 0u};
    const sep_bytes enclose_sep{enclose, enclose != nullptr ? enclose_len : 0u};
    if (enclose_sep.len == 0)
        return fldr_search_row_plain_chars(buf, len, term, term_len, charset);   /* fields play no part */
    const bool walk = walks_chars(charset, row_sep, field_sep, enclose_sep);
    const char *end = buf + len;
    const char *p = buf;
    bool field_start = true;
    /* Invariant: p is a character's first byte, outside any enclosure. */
    while (p < end) {
        if (at(p, end, row_sep))
            return const_cast<char *>(p);
        if (at(p, end, field_sep)) {
            p += field_sep.len;
            field_start = true;
            continue;
        }
        if (field_start && at(p, end, enclose_sep)) {
            if ((p = past_closing(p + enclose_sep.len, end, enclose_sep, charset, walk)) == nullptr)
                return nullptr;
            field_start = false;
            continue;
        }
        field_start = false;
        if ((p = next_char(charset, walk, p, end)) == nullptr)
            return nullptr;
    }
    return nullptr;
}

namespace {

/* Bits of the 64 bytes at block equal to a, b or c (n < 64: only n bytes). */
inline void three_masks(const char *block, size_t n, uint8_t a, uint8_t b, uint8_t c, uint64_t &ma, uint64_t &mb,
                        uint64_t &mc)
{
    ma = mb = mc = 0;
#if defined(__SSE2__)
    if (n == 64) {
        const __m128i va = _mm_set1_epi8(static_cast<char>(a));
        const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
        const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
        for (int i = 0; i < 4; ++i) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * i));
            ma |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, va)))) << (16 * i);
            mb |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vb)))) << (16 * i);
            mc |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vc)))) << (16 * i);
        }
        return;
    }
#endif
    for (size_t i = 0; i < n; ++i) {
        const uint8_t x = static_cast<uint8_t>(block[i]);
        ma |= static_cast<uint64_t>(x == a) << i;
        mb |= static_cast<uint64_t>(x == b) << i;
        mc |= static_cast<uint64_t>(x == c) << i;
    }
}

/* Bits at and above k (k < 64), or none when k >= 64. */
inline uint64_t from_bit(size_t k)
{
    return k >= 64 ? 0 : ~0ull << k;
}

/*
** The common case, 64 bytes at a time: one-byte field terminator and
** enclosure, first bytes of the three separators all different, and no
** character walk needed. Per block, masks of the row terminator's first
** byte (row_sep), the field terminator (field_sep) and the enclosure (Q). Outside an
** enclosure a Q opens one only where a field starts: right after a field_sep
** (carried across blocks) or at the search's first byte. Inside, only Q
** bytes matter. Same result as fldr_search_row_csv_walk.
*/
const char *search_csv_blocks(const char *buf, const char *end, const char *term, uint16_t term_len, uint8_t t0,
                              uint8_t e0)
{
    const uint8_t r0 = static_cast<uint8_t>(term[0]);
    bool inside = false;
    const char *from = buf;         /* first byte still to be looked at */
    uint64_t t_carry = 1;           /* bit 0: the block's first byte starts a field */
    for (const char *block = buf; block < end; block += 64) {
        const size_t n = static_cast<size_t>(end - block) < 64 ? static_cast<size_t>(end - block) : 64;
        uint64_t mr, mt, mq;
        three_masks(block, n, r0, t0, e0, mr, mt, mq);
        const uint64_t starts = (mt << 1) | t_carry;
        t_carry = mt >> 63;
        for (;;) {
            const size_t skip = from > block ? static_cast<size_t>(from - block) : 0;
            if (skip >= n)
                break;
            const uint64_t live = from_bit(skip);
            if (inside) {
                const uint64_t q = mq & live;
                if (q == 0)
                    break;
                const char *at_q = block + __builtin_ctzll(q);
                if (at_q + 1 < end && static_cast<uint8_t>(at_q[1]) == e0) {
                    from = at_q + 2;        /* doubled: one enclosure character */
                    continue;
                }
                if (at_q + 1 >= end)
                    return nullptr;         /* closed at the very end: no terminator follows */
                inside = false;
                from = at_q + 1;
                continue;
            }
            const uint64_t cand = (mr | (mq & starts)) & live;
            if (cand == 0)
                break;
            const unsigned k = static_cast<unsigned>(__builtin_ctzll(cand));
            const char *c = block + k;
            if ((mr >> k) & 1) {
                if (fldr_split::bytes_at(c, end, term, term_len))
                    return c;
                from = c + 1;
                continue;
            }
            inside = true;
            from = c + 1;
        }
    }
    return nullptr;
}

}  // namespace

char *fldr_search_row_csv(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                          const char *field_term, uint16_t field_term_len, const char *enclose,
                          uint16_t enclose_len, uint32_t charset)
{
    if (buf == nullptr || len == 0 || term == nullptr || term_len == 0)
        return nullptr;
    const bool simple = field_term != nullptr && field_term_len == 1 && enclose != nullptr && enclose_len == 1 &&
                        term[0] != field_term[0] && term[0] != enclose[0] && field_term[0] != enclose[0] &&
                        !walks_chars(charset, sep_bytes{term, term_len}, sep_bytes{field_term, 1},
                                     sep_bytes{enclose, 1});
    if (!simple)
        return fldr_search_row_csv_walk(buf, len, term, term_len, field_term, field_term_len, enclose, enclose_len,
                                        charset);
    return const_cast<char *>(search_csv_blocks(buf, buf + len, term, term_len,
                                                static_cast<uint8_t>(field_term[0]),
                                                static_cast<uint8_t>(enclose[0])));
}

/* ========================================================= field scanner */

namespace {

/* How an unenclosed value or the bytes after a closing enclosure end. */
enum class field_end { field_term, row_term, data_end, fault };

/*
** At p, after a value: which of the three ends stands there, and past it.
** Anything else is a fault; p then stays at the byte at fault.
*/
inline field_end end_at(const char *&p, const char *end, const sep_bytes &field_sep, const sep_bytes &row_sep)
{
    if (p == end)
        return field_end::data_end;
    if (at(p, end, field_sep)) {
        p += field_sep.len;
        return field_end::field_term;
    }
    if (at(p, end, row_sep)) {
        p += row_sep.len;
        return field_end::row_term;
    }
    return field_end::fault;
}

/*
** An unenclosed value from data: up to the field terminator, the row
** terminator or the end. Stops at a carriage return that begins neither
** (a fault) and at a character cut by the end of the data (a fault).
*/
inline const char *unenclosed_end(const char *p, const char *end, const sep_bytes &field_sep, const sep_bytes &row_sep,
                                  uint32_t charset, bool walk)
{
    const uint8_t t0 = static_cast<uint8_t>(field_sep.bytes[0]);
    const uint8_t r0 = row_sep.len != 0 ? static_cast<uint8_t>(row_sep.bytes[0]) : t0;
    const fldr_split::stop_bytes stops(t0, r0, '\r', t0, walk);
    for (;;) {
        p = stops.find(p, end);
        if (p == end)
            return p;
        const uint8_t c = static_cast<uint8_t>(*p);
        if (at(p, end, field_sep) || at(p, end, row_sep) || c == '\r')
            return p;
        const char *next = next_char(charset, walk, p, end);
        if (next == nullptr)
            return p;
        p = next;
    }
}

/*
** Rewrites the enclosed bytes [from, to) with each doubled enclosure as one,
** in place at `from`. The bytes were walked before: every enclosure that
** starts a character there is the first of a pair, and no character is cut.
** The write position never passes the read position.
*/
inline void compact_doubled(char *from, const char *to, const sep_bytes &enclose_sep, uint32_t charset, bool walk)
{
    char *w = from;
    const char *r = from;
    while (r < to) {
        if (at(r, to, enclose_sep)) {
            std::memmove(w, r, enclose_sep.len);   /* one of the pair is value */
            w += enclose_sep.len;
            r += 2 * enclose_sep.len;
            continue;
        }
        const char *next = next_char(charset, walk, r, to);
        if (next == nullptr)
            next = to;
        else if (!walk) {
            const void *hit = std::memchr(next, enclose_sep.bytes[0], static_cast<size_t>(to - next));
            next = hit != nullptr ? static_cast<const char *>(hit) : to;
        }
        std::memmove(w, r, static_cast<size_t>(next - r));
        w += next - r;
        r = next;
    }
}

}  // namespace

namespace fldr_split {

int32_t scan_csv_field(const field_scan &scan, field_value *out)
{
    const sep_bytes &field_sep = scan.seps.field_term;
    const sep_bytes &enclose_sep = scan.seps.enclose;
    const sep_bytes &row_sep = scan.seps.row_term;
    const fldr_col *col = scan.col;
    const uint32_t charset = scan.charset;
    char *const data = scan.data;
    const uint32_t len = scan.len;
    const bool always_null = col != nullptr && col->is_null != 0;
    *out = field_value{data, 0, 0};
    if (field_sep.len == 0 ||
        (enclose_sep.len == field_sep.len && std::memcmp(enclose_sep.bytes, field_sep.bytes, field_sep.len) == 0))
        return field_sep.len == 0 ? FLDR_ERR_DATA : FLDR_ERR_SEP_IS_ENCLOSE;

    const bool walk = walks_chars(charset, field_sep, enclose_sep, row_sep);
    const char *end = data + len;
    const char *p = data;
    size_t val_off = 0, val_len = 0;
    bool enclosed = false;
    if (at(p, end, enclose_sep)) {
        /* Rule (2). The closing enclosure is found first, so that a field
        ** left open leaves the row as it was. */
        enclosed = true;
        val_off = enclose_sep.len;
        size_t doubled = 0;
        p = data + enclose_sep.len;
        for (;;) {
            while (p < end && !at(p, end, enclose_sep)) {
                const char *next = next_char(charset, walk, p, end);
                if (next == nullptr)
                    break;
                if (!walk) {
                    /* Bytes up to the next enclosure's first byte at once. */
                    const void *hit = std::memchr(next, enclose_sep.bytes[0], static_cast<size_t>(end - next));
                    next = hit != nullptr ? static_cast<const char *>(hit) : end;
                }
                p = next;
            }
            if (!at(p, end, enclose_sep)) {
                /* Not closed: the data ends (or a character is cut) inside. */
                out->used = len;
                return FLDR_ERR_DATA;
            }
            p += enclose_sep.len;
            if (!at(p, end, enclose_sep))
                break;
            p += enclose_sep.len;
            doubled++;
        }
        val_len = static_cast<size_t>(p - enclose_sep.len - (data + enclose_sep.len)) -
                  doubled * enclose_sep.len;
        if (doubled != 0)
            compact_doubled(data + enclose_sep.len, p - enclose_sep.len, enclose_sep, charset, walk);
    } else {
        p = unenclosed_end(p, end, field_sep, row_sep, charset, walk);
        val_len = static_cast<size_t>(p - data);
    }

    /* Rules (3) and (4): what follows the value. */
    const char *after = p;
    const field_end how = end_at(p, end, field_sep, row_sep);
    out->value = data + val_off;
    out->used = static_cast<uint32_t>(p - data);
    if (how == field_end::fault) {
        out->used = static_cast<uint32_t>(after - data);
        return FLDR_ERR_DATA;
    }
    const bool is_null = always_null || (!enclosed && val_len == 0);
    out->len = is_null ? FLDR_NULL_LEN : static_cast<uint32_t>(val_len);
    if (how != field_end::field_term && scan.is_last == 0 && scan.ctl->trailing_flag == 0)
        return FLDR_ERR_TOO_FEW_COLUMNS;
    return 0;
}

}  // namespace fldr_split

/*
** Separators and the row-terminator search.
**
** A data file's bytes reach this file as a buffer and a length: a chunk of a
** reader, or the unread part of the sequential read buffer. The searches
** here find where the next row ends; they never look beyond the length they
** are given, so a terminator cut by the end of a buffer is simply "not
** found" and the reader reads more data or takes the rest as the last row.
**
**   plain      the terminator's first byte with memchr, full compare there;
**   enclosed   a terminator between two enclosure strings is data;
**   escaped    a terminator preceded by the table's escape string is data,
**              unless that escape is itself escaped.
**
** The separator preparation turns hexadecimal forms (X'0D0A') into bytes
** before a load and refuses a column whose field terminator equals its
** enclosure.
*/
#include <cstring>

#include "fldr_file_split.h"
#include "fldr_internal.h"
#include "qxcalc.h"


namespace {

inline const char *next_byte(const char *p, const char *end, char c)
{
    return static_cast<const char *>(std::memchr(p, c, static_cast<size_t>(end - p)));
}

inline uint8_t ascii_lower(uint8_t c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

/* The escape compares without regard to the case of ASCII letters. */
inline bool escape_equal(const char *p, const char *escape, size_t escape_len)
{
    for (size_t i = 0; i < escape_len; ++i)
        if (ascii_lower(static_cast<uint8_t>(p[i])) != ascii_lower(static_cast<uint8_t>(escape[i])))
            return false;
    return true;
}

}  // namespace

/* ============================================================= separators */

/*
** "0x" + hex text -> bytes into dst (a 257-byte string field) and *dst_len.
** A text that does not convert, or bytes holding a zero, are refused: a
** separator is a NUL-terminated text everywhere else.
*/
int32_t fldr_hex_to_sep(const char *hex, char *dst, uint16_t *dst_len)
{
    char text[2 + 257];
    text[0] = '0';
    text[1] = 'x';
    const size_t hex_len = strnlen(hex, 256);
    std::memcpy(text + 2, hex, hex_len);
    text[2 + hex_len] = '\0';

    unsigned char counted[4 + 257];
    const int32_t rc = nbin_from_char(text, counted, sizeof counted);
    if (rc < 0)
        return FLDR_ERR_ROW_TERM;
    uint32_t count = 0;
    std::memcpy(&count, counted, sizeof count);
    if (count > 256 || std::memchr(counted + 4, 0, count) != nullptr)
        return FLDR_ERR_ROW_TERM;
    std::memcpy(dst, counted + 4, count);
    dst[count] = '\0';
    *dst_len = static_cast<uint16_t>(count);
    return 0;
}

int32_t fldr_preprocess_sep_info_single(fldr_seperator_info *info)
{
    int32_t rc = 0;
    if (info->term_is_hex == 1 && (rc = fldr_hex_to_sep(info->term_hex, info->term, &info->term_len)) != 0)
        return rc;
    if (info->enclose_is_hex == 1 &&
        (rc = fldr_hex_to_sep(info->enclose_hex, info->enclose, &info->enclose_len)) != 0)
        return rc;
    if (info->escape_is_hex == 1 &&
        (rc = fldr_hex_to_sep(info->escape_hex, info->escape, &info->escape_len)) != 0)
        return rc;
    return 0;
}

int32_t fldr_preprocess_load_sep_info(fldr_ctl *ctl)
{
    fldr_seperator_info *table = ctl->sep_info;
    if (table != nullptr) {
        const int32_t rc = fldr_preprocess_sep_info_single(table);
        if (rc != 0)
            return rc;
    }
    if (ctl->col_count == 0)
        return 0;
    static const fldr_seperator_info no_separators = {};
    const fldr_seperator_info *tab = table != nullptr ? table : &no_separators;
    for (fldr_col *col = ctl->col_first; col != nullptr; col = col->next) {
        const fldr_seperator_info *own = col->sep_info;
        if (own != nullptr) {
            const int32_t rc = fldr_preprocess_sep_info_single(col->sep_info);
            if (rc != 0)
                return rc;
        }
        const fldr_seperator_info *t_src = (own != nullptr && own->term_len != 0) ? own : tab;
        const fldr_seperator_info *e_src = (own != nullptr && own->enclose_len != 0) ? own : tab;
        if (t_src->term_len != 0 && t_src->term_len == e_src->enclose_len &&
            std::memcmp(t_src->term, e_src->enclose, t_src->term_len) == 0)
            return FLDR_ERR_SEP_IS_ENCLOSE;
    }
    return 0;
}

/* ============================================================ byte search */

char *fldr_strstr(const char *buf, uint32_t len, const char *pattern, int32_t pattern_len)
{
    if (buf == nullptr || len == 0 || pattern == nullptr)
        return nullptr;
    const char *end = buf + len;
    const char first = pattern[0];
    const size_t plen = pattern_len > 0 ? static_cast<size_t>(pattern_len) : 0;
    for (const char *p = next_byte(buf, end, first); p != nullptr; p = next_byte(p + 1, end, first)) {
        if (plen <= 1)
            return const_cast<char *>(p);
        /* An occurrence cut by the end of the range is no occurrence. */
        if (static_cast<size_t>(end - p) < plen)
            return nullptr;
        if (std::memcmp(p + 1, pattern + 1, plen - 1) == 0)
            return const_cast<char *>(p);
    }
    return nullptr;
}

/* ============================================================= row search */

char *fldr_search_row_plain(const char *buf, uint32_t len, const char *term, uint16_t term_len)
{
    if (buf == nullptr || len == 0 || term == nullptr)
        return nullptr;
    if (term_len == 1)
        return const_cast<char *>(next_byte(buf, buf + len, term[0]));
    return fldr_strstr(buf, len, term, term_len);
}

/*
** The data is taken in blocks of 64 bytes; for each block a bit mask marks
** the bytes equal to the terminator's or the enclosure's first byte, and the
** positions are visited in order from the mask, so a row with several
** enclosures costs no rescans. The mask uses 32-byte compares where the
** processor has them (chosen once, at load time).
**
** State: `inside` is true between an opening enclosure and its closing one;
** `from` is the first position still to be looked at. Outside, a byte equal
** to the terminator's first byte is only ever a terminator candidate, never
** the start of an enclosure; inside, only whole enclosures count. After a
** closing enclosure the scan resumes one byte into it, so the rest of a
** closing string of several bytes is looked at again.
*/
namespace {

template <uint64_t (*Mask)(const char *, size_t, uint8_t, uint8_t)>
__attribute__((always_inline)) inline const char *search_enclosed(const char *buf, const char *end,
                                                                  const char *term, uint16_t term_len,
                                                                  const char *enclose, uint16_t enclose_len)
{
    const uint8_t term0 = static_cast<uint8_t>(term[0]);
    const uint8_t encl0 = static_cast<uint8_t>(enclose[0]);
    bool inside = false;
    const char *from = buf;
    for (const char *block = buf; block < end; block += 64) {
        const size_t n = static_cast<size_t>(end - block) < 64 ? static_cast<size_t>(end - block) : 64;
        if (from >= block + n)
            continue;
        /* Positions before `from` are done. */
        const size_t skip = from > block ? static_cast<size_t>(from - block) : 0;
        uint64_t live = Mask(block, n, term0, encl0) & (~0ull << skip);
        while (live != 0) {
            const unsigned k = static_cast<unsigned>(__builtin_ctzll(live));
            const char *q = block + k;
            live &= live - 1;
            const uint8_t c = static_cast<uint8_t>(*q);
            if (!inside) {
                if (c == term0) {
                    if (fldr_split::bytes_at(q, end, term, term_len))
                        return q;
                    continue;
                }
                if (!fldr_split::bytes_at(q, end, enclose, enclose_len))
                    continue;
                /* Opening enclosure: only a whole enclosure from q + e on closes it. */
                inside = true;
                from = q + enclose_len;
                const size_t rel = static_cast<size_t>(from - block);
                if (rel >= 64)
                    break;
                live &= ~0ull << rel;
            } else {
                if (c != encl0 || !fldr_split::bytes_at(q, end, enclose, enclose_len))
                    continue;
                inside = false;
                from = q + 1;
            }
        }
    }
    /* End of the data: no terminator, or an enclosure still open. */
    return nullptr;
}

const char *search_enclosed_sse2(const char *buf, const char *end, const char *term, uint16_t term_len,
                                 const char *enclose, uint16_t enclose_len)
{
    return search_enclosed<fldr_split::either_mask>(buf, end, term, term_len, enclose, enclose_len);
}

#if defined(FLDR_SPLIT_HAVE_AVX2)
__attribute__((target("avx2"))) const char *search_enclosed_avx2(const char *buf, const char *end,
                                                                 const char *term, uint16_t term_len,
                                                                 const char *enclose, uint16_t enclose_len)
{
    return search_enclosed<fldr_split::either_mask_avx2>(buf, end, term, term_len, enclose, enclose_len);
}
#endif

using enclosed_fn = const char *(*)(const char *, const char *, const char *, uint16_t, const char *, uint16_t);

enclosed_fn pick_enclosed()
{
#if defined(FLDR_SPLIT_HAVE_AVX2)
    if (__builtin_cpu_supports("avx2"))
        return search_enclosed_avx2;
#endif
    return search_enclosed_sse2;
}

const enclosed_fn g_search_enclosed = pick_enclosed();

}  // namespace

char *fldr_search_row_enclosed_portable(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                                        const char *enclose, uint16_t enclose_len)
{
    if (buf == nullptr || len == 0 || term == nullptr)
        return nullptr;
    if (term_len == 0 || enclose == nullptr || enclose_len == 0)
        return fldr_search_row_plain(buf, len, term, term_len);
    return const_cast<char *>(search_enclosed_sse2(buf, buf + len, term, term_len, enclose, enclose_len));
}

char *fldr_search_row_enclosed(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                               const char *enclose, uint16_t enclose_len)
{
    if (buf == nullptr || len == 0 || term == nullptr)
        return nullptr;
    if (term_len == 0 || enclose == nullptr || enclose_len == 0)
        return fldr_search_row_plain(buf, len, term, term_len);
    return const_cast<char *>(g_search_enclosed(buf, buf + len, term, term_len, enclose, enclose_len));
}

/*
** A terminator at offset k is escaped when the escape stands right before
** it, unless a second escape stands before that one (an escaped escape).
** Only two escapes are looked at, and never before buf.
*/
char *fldr_search_row_escaped(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                              const char *escape, uint16_t escape_len)
{
    if (buf == nullptr || len == 0 || term == nullptr)
        return nullptr;
    if (term_len == 0 || escape == nullptr || escape_len == 0)
        return fldr_search_row_plain(buf, len, term, term_len);
    const char *end = buf + len;
    const size_t s = escape_len;
    const char *p = buf;
    while (p < end) {
        const char *hit = fldr_search_row_plain(p, static_cast<uint32_t>(end - p), term, term_len);
        if (hit == nullptr)
            return nullptr;
        const size_t k = static_cast<size_t>(hit - buf);
        if (k < s || !escape_equal(hit - s, escape, s))
            return const_cast<char *>(hit);
        if (k >= 2 * s && escape_equal(hit - 2 * s, escape, s))
            return const_cast<char *>(hit);
        p = hit + (term_len == 1 ? 1 : term_len);
    }
    return nullptr;
}

char *fldr_search_row_end(fldr_inst *inst, const char *buf, uint32_t len, uint16_t term_len,
                          const char *term)
{
    if (inst != nullptr && inst->ctl != nullptr && inst->ctl->sep_info != nullptr) {
        const fldr_ctl *ctl = inst->ctl;
        if (inst->scan_mode == FLDR_SCAN_ENCLOSED && inst->enclosed_rows != 0)
            return fldr_search_row_enclosed(buf, len, term, term_len, ctl->row_enclose,
                                            ctl->row_enclose_len);
        if (inst->scan_mode == FLDR_SCAN_ESCAPED)
            return fldr_search_row_escaped(buf, len, term, term_len, ctl->sep_info->escape,
                                           ctl->sep_info->escape_len);
    }
    return fldr_search_row_plain(buf, len, term, term_len);
}

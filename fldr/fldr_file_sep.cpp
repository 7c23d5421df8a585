/*
** Separators before a load: the hexadecimal forms (X'0D0A') of the
** terminators, enclosures and escapes become bytes, and a column whose field
** terminator equals its enclosure is refused, once, before any row is cut.
*/
#include <cstring>

#include "fldr_internal.h"
#include "qxcalc.h"

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

/*
** Value services: the small, allocation-free tests and transforms the
** workers apply to each field value cut from a row.
**
** A field value is a pointer and a length; FLDR_NULL_LEN (-1 as a signed
** length) marks an absent field. None of these functions keeps state.
*/
#include "fldr_internal.h"
#include "qxcalc.h"
#include "qxdta.h"

#include <cstring>

static_assert(FLDR_HEX_DIGIT_ERROR == QXCALC_ERR_HEX_DIGIT);

namespace {

constexpr bool spells_null(const char *val)
{
    constexpr char kNull[] = "null";
    for (int i = 0; i < 4; i++) {
        char c = val[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kNull[i]) return false;
    }
    return true;
}

constexpr unsigned char lower_ascii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool same_name_nocase(const char *a, const char *b, size_t cap)
{
    for (size_t i = 0; i < cap; i++) {
        if (lower_ascii(static_cast<unsigned char>(a[i])) != lower_ascii(static_cast<unsigned char>(b[i])))
            return false;
        if (a[i] == '\0') return true;
    }
    return true;   /* equal over the whole array */
}

} // namespace

/*
** The rules are tried in this order, and the order matters: an empty field
** under null mode 2 is an empty string even when the null string is empty,
** and a null string that is set decides alone (the "null" word is then not
** tried).
*/
extern "C" int32_t fldr_is_nullvalue(int32_t null_word, const char *val, int32_t len,
                                     const char *null_str, uint32_t null_len, uint32_t null_mode)
{
    if (null_mode == 2 && len == 0) return 0;
    if ((null_mode == 1 || null_mode == 2) && len == -1) return 1;
    if (null_len != 0 && null_str != nullptr) {
        if (len < 0 || static_cast<uint32_t>(len) != null_len || val == nullptr) return 0;
        return std::memcmp(val, null_str, null_len) == 0 ? 1 : 0;
    }
    if (null_mode == 0 && len == 0) return 1;
    if (null_word == 1 && len == 4 && val != nullptr && spells_null(val)) return 1;
    return 0;
}

extern "C" void fldr_trim_str(char **val, uint32_t *len)
{
    if (val == nullptr || len == nullptr || *val == nullptr) return;
    uint32_t n = *len;
    if (n == 0 || n == FLDR_NULL_LEN) return;
    char *p = *val;
    while (n > 0 && *p == ' ') {
        p++;
        n--;
    }
    while (n > 0 && p[n - 1] == ' ') n--;
    *val = p;
    *len = n;
}

/*
** Invariant of the walk: `in` bytes of src are consumed, `out` bytes written,
** and out <= in, so dst (src_len + 1 bytes) never overflows.
*/
extern "C" int32_t fldr_convert_hex_if_necessary(const char *src, int32_t src_len, char *dst, uint32_t *out_len)
{
    if (dst == nullptr) return FLDR_ERR_NULL_POINTER;
    if (src_len < 0 || (src == nullptr && src_len > 0)) {
        dst[0] = '\0';
        if (out_len != nullptr) *out_len = 0;
        return src_len < 0 ? 0 : FLDR_ERR_NULL_POINTER;
    }
    uint32_t in = 0, out = 0;
    const uint32_t total = static_cast<uint32_t>(src_len);
    while (in < total) {
        const uint32_t remaining = total - in;
        if (remaining > 2 && src[in] == '0' && (src[in + 1] == 'X' || src[in + 1] == 'x')) {
            if (remaining < 4) return FLDR_ERR_HEX_ESCAPE;
            uint8_t byte = 0;
            const int32_t rc = nbin_from_char_low_with_len(src + in + 2, 2, &byte, 1);
            if (rc < 0) return rc;
            dst[out++] = static_cast<char>(byte);
            in += 4;
        } else {
            dst[out++] = src[in++];
        }
    }
    dst[out] = '\0';
    if (out_len != nullptr) *out_len = out;
    return 0;
}

extern "C" uint8_t fldr_get_replace_char(fldr_inst *inst, uint8_t c)
{
    if (inst == nullptr) return c;
    const uint32_t from_cnt = inst->repl_from_cnt < sizeof inst->repl_from ? inst->repl_from_cnt
                                                                           : sizeof inst->repl_from;
    const uint32_t to_cnt = inst->repl_to_cnt < sizeof inst->repl_to ? inst->repl_to_cnt : sizeof inst->repl_to;
    for (uint32_t k = 0; k < from_cnt; k++) {
        if (inst->repl_from[k] == c) return k < to_cnt ? inst->repl_to[k] : c;
    }
    return c;
}

extern "C" int32_t fldr_chr(uint32_t code, char *dst)
{
    if (dst == nullptr) return FLDR_ERR_NULL_POINTER;
    const int width = code < 0x100u ? 1 : code < 0x10000u ? 2 : code < 0x1000000u ? 3 : 4;
    for (int i = 0; i < width; i++) {
        dst[i] = static_cast<char>((code >> (8 * (width - 1 - i))) & 0xFFu);
    }
    dst[width] = '\0';
    return 0;
}

extern "C" int32_t fldr_data_need_cvt(int32_t from, int32_t to)
{
    if (from == FLDR_CHARSET_GBK && to == FLDR_CHARSET_GB18030) return 1;
    if (from != to && from != FLDR_CHARSET_SINGLE_BYTE && (from == FLDR_CHARSET_UTF8 || to == FLDR_CHARSET_UTF8))
        return 1;
    return 0;
}

extern "C" int32_t fldr_lst_col_check(const fldr_col *col)
{
    if (col == nullptr) return 0;
    for (const fldr_col *later = col->next; later != nullptr; later = later->next) {
        if (same_name_nocase(col->name, later->name, sizeof col->name)) return FLDR_ERR_COLUMN_MISMATCH;
    }
    return 0;
}

extern "C" int32_t fldr_dop_from_str(fldr_env *env, mem_heap_t *heap, const char *str, uint16_t len,
                                     qxdta_nstr *dst)
{
    return nstr_assign_const_ex(env, heap, dst, len, str);
}

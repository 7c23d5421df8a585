/*
** qxcvt: character sets of the loader.
**
** Divisions of this file (new code goes in the right one):
**   1. Character-set table    code -> iconv name
**   2. Character lengths      qxcvt_lead_len, encoding_mblen
**   3. Validation             check_char, qx_get_valid_chars
**   4. Converters             one iconv descriptor per direction and code
**   5. Conversions            qx_LocalToUtf, qx_UtfToLocal
**
** Every supported set is a superset of ASCII: a byte below 0x80 that starts
** a character is a one-byte character equal to its ASCII meaning. The
** loops below rely on that to step over ASCII runs without a per-byte
** lookup.
*/
#include "qxcvt_lead.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iconv.h>
#include <mutex>

namespace {

/* ================================================= 1. Character-set table */

/* iconv names by code; index 0 is no set. */
constexpr const char *kIconvName[QXCVT_MAX_CODE + 1] = {
    nullptr,      "UTF-8",  "GBK",       "BIG5",      "ISO-8859-9", "EUC-JP",
    "EUC-KR",     "KOI8-R", "ISO-8859-1", "ASCII",     "GB18030",    "ISO-8859-11",
};

bool known_code(uint32_t code)
{
    return code >= 1 && code <= QXCVT_MAX_CODE;
}

} // namespace

/* ================================================= 2. Character lengths */

/*
** Rules per set (lead byte >= 0x80; every byte below 0x80 is 1):
**   UTF-8            C0-DF 2, E0-EF 3, F0-F7 4, any other byte 1;
**   GBK, GB18030     81-FE 0 (2, or 4 when the second byte is 0x30-0x39);
**   BIG5, EUC-KR     81-FF 2;
**   EUC-JP           8F 3, any other 2;
**   single-byte sets 1.
** The lengths describe structure only; qx_get_valid_chars validates.
*/
namespace {

constexpr uint8_t lead_len_of(uint32_t code, unsigned b)
{
    if (b < 0x80)
        return 1;
    switch (code) {
    case QXCVT_UTF8:
        if (b >= 0xC0 && b <= 0xDF) return 2;
        if (b >= 0xE0 && b <= 0xEF) return 3;
        if (b >= 0xF0 && b <= 0xF7) return 4;
        return 1;
    case QXCVT_GBK:
    case QXCVT_GB18030:
        return (b >= 0x81 && b <= 0xFE) ? 0 : 1;
    case QXCVT_BIG5:
    case QXCVT_EUCKR:
        return b >= 0x81 ? 2 : 1;
    case QXCVT_EUCJP:
        return b == 0x8F ? 3 : 2;
    default:
        return 1;
    }
}

constexpr qxcvt_lead_table make_lead_table()
{
    qxcvt_lead_table t{};
    for (uint32_t code = 0; code <= QXCVT_MAX_CODE; ++code)
        for (unsigned b = 0; b < 256; ++b)
            t.len[code][b] = lead_len_of(code, b);
    return t;
}

} // namespace

/* Built at compile time (constant initialisation: ready before any caller runs). */
extern "C" const qxcvt_lead_table qxcvt_lead_len = make_lead_table();

extern "C" uint32_t encoding_mblen(uint32_t code, const char *p, uint32_t flags)
{
    (void)flags;
    return qxcvt_mblen_fast(code, p);
}

/* ================================================= 3. Validation */

namespace {

/* What check_char found at a position. */
enum class CharKind : uint8_t {
    ok,   /* a whole valid character of `len` bytes */
    cut,  /* a valid beginning that the input ends inside (len = bytes left) */
    bad,  /* invalid; `len` bytes form the unit to replace (at least 1) */
};

struct CharCheck {
    CharKind kind;
    uint32_t len;
};

constexpr bool in_range(unsigned char b, unsigned lo, unsigned hi)
{
    return b >= lo && b <= hi;
}

/*
** UTF-8 by the well-formed byte sequences of Unicode: no overlong forms, no
** surrogates, nothing above U+10FFFF. An invalid sequence is replaced as its
** longest valid beginning (at least one byte), so that a following ASCII
** byte is never swallowed.
*/
CharCheck check_utf8(const unsigned char *p, size_t left)
{
    const unsigned char b = p[0];
    uint32_t len;
    unsigned lo = 0x80, hi = 0xBF; /* range of the second byte */
    if (b < 0x80)
        return {CharKind::ok, 1};
    if (in_range(b, 0xC2, 0xDF)) {
        len = 2;
    } else if (in_range(b, 0xE0, 0xEF)) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;      /* overlong below U+0800 */
        else if (b == 0xED) hi = 0x9F; /* surrogates D800-DFFF */
    } else if (in_range(b, 0xF0, 0xF4)) {
        len = 4;
        if (b == 0xF0) lo = 0x90;      /* overlong below U+10000 */
        else if (b == 0xF4) hi = 0x8F; /* above U+10FFFF */
    } else {
        return {CharKind::bad, 1};
    }
    for (uint32_t i = 1; i < len; ++i) {
        if (i >= left)
            return {CharKind::cut, static_cast<uint32_t>(left)};
        const unsigned char c = p[i];
        const bool fits = (i == 1) ? in_range(c, lo, hi) : in_range(c, 0x80, 0xBF);
        if (!fits)
            return {CharKind::bad, i};
    }
    return {CharKind::ok, len};
}

/* GBK (one-byte 0x80 is the euro sign), and GB18030 with its four-byte form when `four_byte` is set. */
CharCheck check_gb(const unsigned char *p, size_t left, bool four_byte)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return {CharKind::ok, 1};
    if (b == 0x80 && !four_byte)
        return {CharKind::ok, 1}; /* GBK's euro sign */
    if (!in_range(b, 0x81, 0xFE))
        return {CharKind::bad, 1};
    if (left < 2)
        return {CharKind::cut, 1};
    const unsigned char c = p[1];
    if (four_byte && in_range(c, 0x30, 0x39)) {
        if (left < 3)
            return {CharKind::cut, 2};
        if (!in_range(p[2], 0x81, 0xFE))
            return {CharKind::bad, 1};
        if (left < 4)
            return {CharKind::cut, 3};
        if (!in_range(p[3], 0x30, 0x39))
            return {CharKind::bad, 1};
        return {CharKind::ok, 4};
    }
    if (in_range(c, 0x40, 0x7E) || in_range(c, 0x80, 0xFE))
        return {CharKind::ok, 2};
    return {CharKind::bad, 1};
}

/*
** Double-byte sets whose lead and trail ranges are plain intervals. The
** trail of BIG5 may be 0x40-0x7E, which is why callers step over whole
** characters before they look for ASCII separators.
*/
CharCheck check_dbcs(const unsigned char *p, size_t left, unsigned lead_lo, unsigned lead_hi,
                     unsigned trail_lo1, unsigned trail_hi1, unsigned trail_lo2, unsigned trail_hi2)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return {CharKind::ok, 1};
    if (!in_range(b, lead_lo, lead_hi))
        return {CharKind::bad, 1};
    if (left < 2)
        return {CharKind::cut, 1};
    const unsigned char c = p[1];
    if (in_range(c, trail_lo1, trail_hi1) || in_range(c, trail_lo2, trail_hi2))
        return {CharKind::ok, 2};
    return {CharKind::bad, 1};
}

/* EUC-JP: 8E + half-width kana, 8F + two bytes of JIS X 0212, or two bytes of JIS X 0208. */
CharCheck check_eucjp(const unsigned char *p, size_t left)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return {CharKind::ok, 1};
    if (b == 0x8E) {
        if (left < 2)
            return {CharKind::cut, 1};
        return in_range(p[1], 0xA1, 0xDF) ? CharCheck{CharKind::ok, 2} : CharCheck{CharKind::bad, 1};
    }
    uint32_t len = 2;
    size_t first_trail = 1;
    if (b == 0x8F) {
        len = 3;
    } else if (!in_range(b, 0xA1, 0xFE)) {
        return {CharKind::bad, 1};
    }
    for (size_t i = first_trail; i < len; ++i) {
        if (i >= left)
            return {CharKind::cut, static_cast<uint32_t>(left)};
        if (!in_range(p[i], 0xA1, 0xFE))
            return {CharKind::bad, 1};
    }
    return {CharKind::ok, len};
}

/* The character at p (left >= 1 bytes readable) in set `code`. */
CharCheck check_char(uint32_t code, const unsigned char *p, size_t left)
{
    const unsigned char b = p[0];
    switch (code) {
    case QXCVT_UTF8:    return check_utf8(p, left);
    case QXCVT_GBK:     return check_gb(p, left, false);
    case QXCVT_GB18030: return check_gb(p, left, true);
    /*
    ** 0x80 alone is a C1 control in BIG5 and EUC-KR (encoding_mblen gives 1).
    ** The other C1 bytes of EUC-KR and EUC-JP are refused: encoding_mblen
    ** counts them as lead bytes, and a value whose character boundaries the
    ** scanner would misplace must not pass as valid.
    */
    case QXCVT_BIG5:
        return b == 0x80 ? CharCheck{CharKind::ok, 1}
                         : check_dbcs(p, left, 0x81, 0xFE, 0x40, 0x7E, 0xA1, 0xFE);
    case QXCVT_EUCKR:
        return b == 0x80 ? CharCheck{CharKind::ok, 1}
                         : check_dbcs(p, left, 0xA1, 0xFE, 0xA1, 0xFE, 0xA1, 0xFE);
    case QXCVT_EUCJP:   return check_eucjp(p, left);
    case QXCVT_ASCII:
        return b < 0x80 ? CharCheck{CharKind::ok, 1} : CharCheck{CharKind::bad, 1};
    case QXCVT_TIS620:
        /* 0xDB-0xDE and 0xFC-0xFF are not assigned in ISO-8859-11. */
        if (in_range(b, 0xDB, 0xDE) || b >= 0xFC)
            return {CharKind::bad, 1};
        return {CharKind::ok, 1};
    default: /* ISO-8859-1, ISO-8859-9, KOI8-R and unknown codes: every byte is a character */
        return {CharKind::ok, 1};
    }
}

/* Length of the run of ASCII bytes at the start of [p, p + len). */
size_t ascii_run(const unsigned char *p, size_t len)
{
    size_t i = 0;
    /* Eight bytes at a time: none of them has its high bit set. */
    for (; i + 8 <= len; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        if (word & 0x8080808080808080ull)
            break;
    }
    while (i < len && p[i] < 0x80)
        ++i;
    return i;
}

} // namespace

extern "C" int32_t qx_get_valid_chars(const char *p, uint32_t len, uint32_t code, uint32_t flags,
                                      uint32_t reserved)
{
    (void)flags;
    (void)reserved;
    if (len == 0)
        return 0;
    if (p == nullptr)
        return QXCVT_ERR_INVALID_CHAR;
    const auto *bytes = reinterpret_cast<const unsigned char *>(p);
    size_t pos = 0;
    while (pos < len) {
        pos += ascii_run(bytes + pos, len - pos);
        if (pos >= len)
            break;
        const CharCheck ch = check_char(code, bytes + pos, len - pos);
        if (ch.kind != CharKind::ok)
            return QXCVT_ERR_INVALID_CHAR;
        pos += ch.len;
    }
    return 0;
}

/* ================================================= 4. Converters */

namespace {

/*
** One iconv descriptor per direction and code. A descriptor keeps state
** between calls, so it is used by one thread at a time: its mutex is held
** from the reset to the last byte of a conversion. Opened on first use (or
** by ucvt_init) and kept for the life of the process.
*/
struct Converter {
    std::mutex mu;
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    bool tried = false; /* iconv_open was called; cd is -1 when it failed */
};

enum Direction { kToUtf = 0, kFromUtf = 1 };

Converter g_converters[2][QXCVT_MAX_CODE + 1];

/* Opens the slot's descriptor once; call with the slot's mutex held. */
bool converter_ready(Converter &slot, Direction dir, uint32_t code)
{
    if (!slot.tried) {
        slot.tried = true;
        slot.cd = dir == kToUtf ? iconv_open("UTF-8", kIconvName[code])
                                : iconv_open(kIconvName[code], "UTF-8");
    }
    return slot.cd != reinterpret_cast<iconv_t>(-1);
}

} // namespace

extern "C" void ucvt_init(void)
{
    for (int dir = kToUtf; dir <= kFromUtf; ++dir) {
        for (uint32_t code = 1; code <= QXCVT_MAX_CODE; ++code) {
            if (code == QXCVT_UTF8)
                continue; /* UTF-8 to UTF-8 is a checked copy, no descriptor */
            Converter &slot = g_converters[dir][code];
            std::lock_guard<std::mutex> guard(slot.mu);
            converter_ready(slot, static_cast<Direction>(dir), code);
        }
    }
}

/* ================================================= 5. Conversions */

namespace {

struct Progress {
    size_t src_used = 0;
    uint32_t bad_chars = 0;
    size_t dst_len = 0;
};

/*
** UTF-8 to UTF-8: valid characters are copied whole, each invalid or cut
** one becomes '?'. Stops before a character that would not fit.
*/
Progress checked_utf8_copy(const unsigned char *src, size_t src_len, char *dst, size_t dst_size)
{
    Progress pr;
    while (pr.src_used < src_len) {
        const size_t run = ascii_run(src + pr.src_used, src_len - pr.src_used);
        const size_t take = run < dst_size - pr.dst_len ? run : dst_size - pr.dst_len;
        std::memcpy(dst + pr.dst_len, src + pr.src_used, take);
        pr.src_used += take;
        pr.dst_len += take;
        if (take < run || pr.src_used >= src_len)
            break;
        const CharCheck ch = check_char(QXCVT_UTF8, src + pr.src_used, src_len - pr.src_used);
        const size_t out_bytes = ch.kind == CharKind::ok ? ch.len : 1;
        if (dst_size - pr.dst_len < out_bytes)
            break;
        if (ch.kind == CharKind::ok) {
            std::memcpy(dst + pr.dst_len, src + pr.src_used, ch.len);
        } else {
            dst[pr.dst_len] = '?';
            ++pr.bad_chars;
        }
        pr.dst_len += out_bytes;
        pr.src_used += ch.len;
    }
    return pr;
}

/*
** Through iconv. iconv stops at an input character it cannot take (EILSEQ:
** invalid, or with no counterpart in the target set), at a cut character at
** the end (EINVAL) or when the output is full (E2BIG); in every case the
** output holds whole characters and `in` points at the first byte not
** converted. A rejected character becomes '?' and conversion goes on after
** it; `src_code` tells how many bytes that character spans.
*/
Progress iconv_convert(iconv_t cd, uint32_t src_code, const unsigned char *src, size_t src_len,
                       char *dst, size_t dst_size)
{
    Progress pr;
    iconv(cd, nullptr, nullptr, nullptr, nullptr); /* back to the initial state */
    char *in = const_cast<char *>(reinterpret_cast<const char *>(src));
    size_t in_left = src_len;
    char *out = dst;
    size_t out_left = dst_size;
    while (in_left > 0) {
        if (iconv(cd, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1))
            break; /* all input converted */
        if (errno == E2BIG || out_left == 0)
            break;
        /* EILSEQ or EINVAL: replace the character at `in` with '?'. */
        const auto *at = reinterpret_cast<const unsigned char *>(in);
        size_t skip;
        if (errno == EINVAL) {
            skip = in_left; /* a cut character is the rest of the input */
        } else {
            const CharCheck ch = check_char(src_code, at, in_left);
            skip = ch.kind == CharKind::cut ? in_left : ch.len;
        }
        *out++ = '?';
        --out_left;
        ++pr.bad_chars;
        in += skip;
        in_left -= skip;
    }
    pr.src_used = src_len - in_left;
    pr.dst_len = dst_size - out_left;
    return pr;
}

int32_t convert(Direction dir, const char *src, uint32_t src_len, uint32_t code, char *dst,
                uint32_t dst_size, uint32_t *src_used, uint32_t *bad_chars, uint32_t *dst_len)
{
    Progress pr;
    int32_t rc = 0;
    if (src == nullptr)
        src_len = 0;
    if (dst == nullptr)
        dst_size = 0;
    const auto *in = reinterpret_cast<const unsigned char *>(src);
    if (!known_code(code)) {
        rc = QXCVT_ERR_UNKNOWN_CODE;
    } else if (src_len == 0 || dst_size == 0) {
        /* nothing to convert, or no room for a single character */
    } else if (code == QXCVT_UTF8) {
        pr = checked_utf8_copy(in, src_len, dst, dst_size);
    } else {
        Converter &slot = g_converters[dir][code];
        std::lock_guard<std::mutex> guard(slot.mu);
        if (!converter_ready(slot, dir, code))
            rc = QXCVT_ERR_UNKNOWN_CODE; /* the C library lacks this set */
        else
            pr = iconv_convert(slot.cd, dir == kToUtf ? code : QXCVT_UTF8, in, src_len, dst,
                               dst_size);
    }
    if (src_used) *src_used = static_cast<uint32_t>(pr.src_used);
    if (bad_chars) *bad_chars = pr.bad_chars;
    if (dst_len) *dst_len = static_cast<uint32_t>(pr.dst_len);
    return rc;
}

} // namespace

extern "C" int32_t qx_LocalToUtf(const char *src, uint32_t src_len, uint32_t code, char *dst,
                                 uint32_t dst_size, uint32_t *src_used, uint32_t *bad_chars,
                                 uint32_t *dst_len)
{
    return convert(kToUtf, src, src_len, code, dst, dst_size, src_used, bad_chars, dst_len);
}

extern "C" int32_t qx_UtfToLocal(const char *src, uint32_t src_len, uint32_t code, char *dst,
                                 uint32_t dst_size, uint32_t *src_used, uint32_t *bad_chars,
                                 uint32_t *dst_len)
{
    return convert(kFromUtf, src, src_len, code, dst, dst_size, src_used, bad_chars, dst_len);
}

/*
** qxutl: console output and path utilities.
**
** Divisions of this file:
**   1. Console output      aq_printf_inner
**   2. Path names          is_valid_pathname_raw
**   3. Text truncation     utl_trunc_str_ex
*/
#include "qxutl.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qxcvt_lead.h"
#include "qxmout.h"

/* ================================================= 1. Console output */

extern "C" int32_t aq_printf_inner(const char *fmt, ...)
{
    if (fmt == nullptr)
        return 0;
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    /* Most lines fit on the stack; a longer text is formatted a second time
    ** into a block of its exact size. */
    char line[1024];
    int32_t n = qx_vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    const char *text = line;
    std::unique_ptr<char[]> big;
    if (n >= static_cast<int32_t>(sizeof line)) {
        big.reset(new (std::nothrow) char[static_cast<size_t>(n) + 1]);
        if (big) {
            n = qx_vsnprintf(big.get(), static_cast<uint32_t>(n) + 1, fmt, again);
            text = big.get();
        } else {
            n = sizeof line - 1; /* out of memory: print what fitted */
        }
    }
    va_end(again);
    if (n < 0)
        return -1;
    const size_t written = std::fwrite(text, 1, static_cast<size_t>(n), stdout);
    std::fflush(stdout);
    return static_cast<int32_t>(written);
}

/* ================================================= 2. Path names */

/*
** Refused: an empty path, more than 256 bytes (the size of the library's path
** fields), control bytes 1-31, and < > " | * ?. In a double-byte local set
** (GBK, GB18030, BIG5) a trail byte may equal '|' or '\\'; characters are
** stepped over whole there, so such a name is not refused for its trail byte.
*/
extern "C" int32_t is_valid_pathname_raw(const char *path, int32_t option)
{
    (void)option;
    if (path == nullptr || path[0] == '\0')
        return 0;
    const size_t len = std::strlen(path);
    if (len > 256)
        return 0;
    uint32_t local_code = QXCVT_UTF8;
    mout_get_local_code(&local_code, nullptr);
    const bool double_byte =
        local_code == QXCVT_GBK || local_code == QXCVT_GB18030 || local_code == QXCVT_BIG5;
    size_t pos = 0;
    while (pos < len) {
        const unsigned char c = static_cast<unsigned char>(path[pos]);
        if (c >= 0x80) {
            /* The zero at path[len] stops the look at a second byte. */
            const size_t step = double_byte ? qxcvt_mblen_fast(local_code, path + pos) : 1;
            pos += step < len - pos ? step : len - pos;
            continue;
        }
        if (c < 32 || std::strchr("<>\"|*?", c) != nullptr)
            return 0;
        ++pos;
    }
    return 1;
}

/* ================================================= 3. Text truncation */

namespace {

bool is_continuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

/*
** When src[limit] continues a UTF-8 character that starts before limit,
** the position of that character's lead byte; else `limit`. Only bytes that
** exist are read: the scan forward stops at the first non-continuation byte
** (a terminating zero included).
*/
size_t utf8_cut_point(const unsigned char *src, size_t limit)
{
    size_t lead = limit;
    while (lead > 0 && limit - lead < 3 && is_continuation(src[lead - 1]))
        --lead;
    if (lead == 0)
        return limit;
    --lead;
    const unsigned char b = src[lead];
    const size_t need = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 && b <= 0xEF ? 3
                      : b >= 0xC2 && b <= 0xDF ? 2 : 0;
    if (need == 0 || lead + need <= limit)
        return limit; /* not a lead byte, or its character ends before limit */
    for (size_t i = limit; i < lead + need; ++i)
        if (!is_continuation(src[i]))
            return limit; /* not a UTF-8 character that straddles the limit */
    return lead;
}

/*
** Whether [src, src + limit) ends in a complete UTF-8 text (a cut inside it
** would have been found by utf8_cut_point).
*/
bool utf8_complete(const unsigned char *src, size_t limit)
{
    return qx_get_valid_chars(reinterpret_cast<const char *>(src), static_cast<uint32_t>(limit),
                              QXCVT_UTF8, 0, 0) == 0;
}

/*
** Double-byte text (GBK, GB18030, BIG5): walk the characters from the start;
** when the last one runs past limit, cut before it. Their trail bytes are
** never zero, so src[limit..] holds the rest of a straddling character.
*/
size_t dbcs_cut_point(const unsigned char *src, size_t limit)
{
    size_t pos = 0;
    while (pos < limit) {
        const size_t len = qxcvt_mblen_fast(QXCVT_GB18030, reinterpret_cast<const char *>(src + pos));
        if (pos + len > limit) {
            /* A straddling character needs its trail bytes after limit. */
            for (size_t i = limit; i < pos + len; ++i)
                if (src[i] == 0)
                    return limit;
            return pos;
        }
        pos += len;
    }
    return limit;
}

} // namespace

extern "C" int32_t utl_trunc_str_ex(const char *src, char *dst, uint32_t bytes, uint32_t *out_len)
{
    if (dst == nullptr) {
        if (out_len) *out_len = 0;
        return 0;
    }
    if (src == nullptr)
        src = "";
    const auto *text = reinterpret_cast<const unsigned char *>(src);
    size_t len = strnlen(src, bytes);
    /*
    ** The copy is cut only when src goes on after `bytes` bytes. Then the
    ** character at the limit is either UTF-8 (its continuation bytes follow
    ** the limit) or double-byte (its trail follows); text that reads as
    ** complete UTF-8 is taken as UTF-8, so valid UTF-8 is never cut inside
    ** a character by the double-byte walk.
    */
    if (len == bytes && text[len] != 0) {
        const size_t utf8_cut = utf8_cut_point(text, len);
        if (utf8_cut != len)
            len = utf8_cut;
        else if (!utf8_complete(text, len))
            len = dbcs_cut_point(text, len);
    }
    std::memcpy(dst, src, len);
    dst[len] = '\0';
    if (out_len) *out_len = static_cast<uint32_t>(len);
    return 0;
}

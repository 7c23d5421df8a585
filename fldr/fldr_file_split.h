/*
** Record splitting inside the library: the row searches, the field scanner
** and the byte finder they share. Not exported; tests reach them through
** the static library.
*/
#ifndef FLDR_FILE_SPLIT_H
#define FLDR_FILE_SPLIT_H

#include <stddef.h>
#include <stdint.h>

#include "qxfldr_comm.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The three row searches behind fldr_search_row_end; each returns the first
** byte of the terminator or NULL, and never reads outside buf[0, len). */
char *fldr_search_row_plain(const char *buf, uint32_t len, const char *term, uint16_t term_len);
char *fldr_search_row_enclosed(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                               const char *enclose, uint16_t enclose_len);
char *fldr_search_row_escaped(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                              const char *escape, uint16_t escape_len);

/* The POSITION-aware step and the delimiter scanner behind fldr_get_nth_val_len. */
int32_t fldr_get_nth_val_pos(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                             const char *row_term, uint16_t row_term_len, char *data, uint32_t len,
                             uint32_t charset, uint32_t mode, uint32_t enclosed_rows,
                             char **out_value, uint32_t *out_len, uint32_t *out_used,
                             uint32_t *more_data);
int32_t fldr_scan_field(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                        const char *row_term, uint16_t row_term_len, char *data, uint32_t len,
                        uint32_t charset, uint32_t mode, uint32_t enclosed_rows, char **out_value,
                        uint32_t *out_len, uint32_t *out_used);

#ifdef __cplusplus
}

namespace fldr_split {

/*
** First byte in [p, end) equal to one of b0..b3, or (with high) of value
** 0x80 or more; end when there is none. The callers repeat a byte when they
** need fewer than four. Loads never pass end: whole 16-byte blocks first,
** then single bytes.
*/
static inline const char *find_special(const char *p, const char *end, uint8_t b0, uint8_t b1,
                                       uint8_t b2, uint8_t b3, bool high)
{
#if defined(__SSE2__)
    if (end - p >= 16) {
        const __m128i v0 = _mm_set1_epi8(static_cast<char>(b0));
        const __m128i v1 = _mm_set1_epi8(static_cast<char>(b1));
        const __m128i v2 = _mm_set1_epi8(static_cast<char>(b2));
        const __m128i v3 = _mm_set1_epi8(static_cast<char>(b3));
        const int high_mask = high ? 0xFFFF : 0;
        do {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, v0), _mm_cmpeq_epi8(x, v1)),
                                             _mm_or_si128(_mm_cmpeq_epi8(x, v2), _mm_cmpeq_epi8(x, v3)));
            const int bits = _mm_movemask_epi8(hit) | (_mm_movemask_epi8(x) & high_mask);
            if (bits != 0)
                return p + __builtin_ctz(static_cast<unsigned>(bits));
            p += 16;
        } while (end - p >= 16);
    }
#endif
    for (; p < end; ++p) {
        const uint8_t c = static_cast<uint8_t>(*p);
        if (c == b0 || c == b1 || c == b2 || c == b3 || (high && c >= 0x80))
            return p;
    }
    return end;
}

/* First byte in [p, end) equal to a or b; end when there is none. Long
** stretches go 64 bytes per step, which keeps it near memchr's pace. */
static inline const char *find_either(const char *p, const char *end, uint8_t a, uint8_t b)
{
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    while (end - p >= 64) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
        const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
        const __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
        const __m128i h0 = _mm_or_si128(_mm_cmpeq_epi8(x0, va), _mm_cmpeq_epi8(x0, vb));
        const __m128i h1 = _mm_or_si128(_mm_cmpeq_epi8(x1, va), _mm_cmpeq_epi8(x1, vb));
        const __m128i h2 = _mm_or_si128(_mm_cmpeq_epi8(x2, va), _mm_cmpeq_epi8(x2, vb));
        const __m128i h3 = _mm_or_si128(_mm_cmpeq_epi8(x3, va), _mm_cmpeq_epi8(x3, vb));
        const __m128i any = _mm_or_si128(_mm_or_si128(h0, h1), _mm_or_si128(h2, h3));
        if (_mm_movemask_epi8(any) != 0) {
            const uint64_t bits = static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(h0))) |
                                  static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(h1))) << 16 |
                                  static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(h2))) << 32 |
                                  static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(h3))) << 48;
            return p + __builtin_ctzll(bits);
        }
        p += 64;
    }
#endif
    return find_special(p, end, a, b, a, b, false);
}

}  // namespace fldr_split
#endif

#endif

/*
** Field splitting inside the library: the field request record, the field
** scanners (fldr_file_scan.cpp, fldr_file_csv.cpp) and the byte finders they
** share with the row searches (fldr_file_search.h). Not exported; tests
** reach them through the static library.
*/
#ifndef FLDR_FILE_SPLIT_H
#define FLDR_FILE_SPLIT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "qxcvt_lead.h"
#include "qxfldr_comm.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* fldr_get_nth_val_len with 16-byte compares only, whatever the processor
** has (tests run both). */
int32_t fldr_get_nth_val_len_portable(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                                      const char *row_term, uint16_t row_term_len, char *data, uint32_t len,
                                      uint32_t charset, uint32_t mode, uint32_t enclosed_rows, char **out_value,
                                      uint32_t *out_len, uint32_t *out_used, uint32_t *more_data);

#ifdef __cplusplus
}

namespace fldr_split {

/* A separator string; len 0: absent, and it never matches. */
struct sep_bytes {
    const char *bytes;
    size_t      len;
};

/* The separators one column is scanned with, worked out once per field
** request and shared by the fast path and the scanner: the column's own
** field terminator and enclosure where it has them, else the table's; the
** table's escape; the file's row terminator. */
struct field_separators {
    sep_bytes field_term;
    sep_bytes enclose;
    sep_bytes escape;
    sep_bytes row_term;
};

/* One field request: what every scanner step reads. */
struct field_scan {
    const fldr_ctl  *ctl;            /* trailing_flag; the table's separators */
    const fldr_col  *col;            /* NULL, or the column (is_null, positions) */
    uint32_t         is_last;        /* 1: the row's last column */
    char            *data;           /* the rest of the row from the field's first byte */
    uint32_t         len;            /* bytes at data */
    uint32_t         charset;
    uint32_t         mode;           /* FLDR_SCAN_* */
    uint32_t         enclosed_rows;  /* 1: a row terminator inside an enclosure is data */
    field_separators seps;
};

/* What a scan reports: the value (a slice of data, rebuilt in place where it
** must be), its reported length (FLDR_NULL_LEN for NULL where the mode has
** it) and the bytes of data consumed. */
struct field_value {
    char    *value;
    uint32_t len;
    uint32_t used;
};

/* The length reported for a value: NULL for a column that is always NULL,
** or for an empty value where empty means NULL; NULL is FLDR_NULL_LEN in
** scan modes 1 and 2 and 0 in the plain mode (and in any other). */
inline uint32_t reported_len(const fldr_col *col, uint32_t mode, size_t value_len, bool empty_is_null)
{
    const bool is_null = (col != nullptr && col->is_null != 0) || (empty_is_null && value_len == 0);
    if (!is_null)
        return static_cast<uint32_t>(value_len);
    return (mode == FLDR_SCAN_ENCLOSED || mode == FLDR_SCAN_ESCAPED) ? FLDR_NULL_LEN : 0;
}

/* The field scanners, one per scan mode, with one interface. Each takes the
** field from its first byte, whatever the fast path saw. */
int32_t scan_plain_field(const field_scan &scan, field_value *out);
int32_t scan_enclosed_field(const field_scan &scan, field_value *out);
int32_t scan_escaped_field(const field_scan &scan, field_value *out);
int32_t scan_csv_field(const field_scan &scan, field_value *out);
/* A scan mode the library does not name: scanned as the plain mode without
** its doubled enclosures, NULL reported as length 0. */
int32_t scan_other_mode_field(const field_scan &scan, field_value *out);

/*
** The bytes a scan must stop at: up to four given bytes (callers repeat one
** when they need fewer) and, with `high`, every byte of 0x80 or more. Built
** once per scan; find() never loads past `end`: whole 16-byte blocks first,
** then single bytes.
*/
class stop_bytes {
public:
    stop_bytes(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, bool high)
        : b0_(b0), b1_(b1), b2_(b2), b3_(b3), high_(high)
    {
#if defined(__SSE2__)
        /* Broadcasts made from registers: building them from bytes just
        ** stored stalls on the stores. */
        v0_ = _mm_set1_epi32(static_cast<int>(b0 * 0x01010101u));
        v1_ = _mm_set1_epi32(static_cast<int>(b1 * 0x01010101u));
        v2_ = _mm_set1_epi32(static_cast<int>(b2 * 0x01010101u));
        v3_ = _mm_set1_epi32(static_cast<int>(b3 * 0x01010101u));
        high_mask_ = high ? 0xFFFF : 0;
#endif
    }

    bool is_stop(uint8_t c) const
    {
        return c == b0_ || c == b1_ || c == b2_ || c == b3_ || (high_ && c >= 0x80);
    }

    /* First stop byte in [p, end), or end. */
    const char *find(const char *p, const char *end) const
    {
#if defined(__SSE2__)
        while (end - p >= 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, v0_), _mm_cmpeq_epi8(x, v1_)),
                                             _mm_or_si128(_mm_cmpeq_epi8(x, v2_), _mm_cmpeq_epi8(x, v3_)));
            const int bits = _mm_movemask_epi8(hit) | (_mm_movemask_epi8(x) & high_mask_);
            if (bits != 0)
                return p + __builtin_ctz(static_cast<unsigned>(bits));
            p += 16;
        }
#endif
        for (; p < end; ++p)
            if (is_stop(static_cast<uint8_t>(*p)))
                return p;
        return end;
    }

    /* The same, and *is_b0 tells whether the stop found is b0 (false at end),
    ** without reading it again. */
    const char *find(const char *p, const char *end, bool *is_b0) const
    {
#if defined(__SSE2__)
        while (end - p >= 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const __m128i h0 = _mm_cmpeq_epi8(x, v0_);
            const __m128i hit = _mm_or_si128(_mm_or_si128(h0, _mm_cmpeq_epi8(x, v1_)),
                                             _mm_or_si128(_mm_cmpeq_epi8(x, v2_), _mm_cmpeq_epi8(x, v3_)));
            const unsigned bits =
                static_cast<unsigned>(_mm_movemask_epi8(hit) | (_mm_movemask_epi8(x) & high_mask_));
            if (bits != 0) {
                *is_b0 = (bits & (0u - bits) & static_cast<unsigned>(_mm_movemask_epi8(h0))) != 0;
                return p + __builtin_ctz(bits);
            }
            p += 16;
        }
#endif
        for (; p < end; ++p)
            if (is_stop(static_cast<uint8_t>(*p))) {
                *is_b0 = static_cast<uint8_t>(*p) == b0_;
                return p;
            }
        *is_b0 = false;
        return p;
    }

private:
    uint8_t b0_, b1_, b2_, b3_;
    bool    high_;
#if defined(__SSE2__)
    __m128i v0_, v1_, v2_, v3_;
    int     high_mask_;
#endif
};

/* Bit i set where block[i] is a or b, for the n <= 64 bytes of block. */
static inline uint64_t either_mask(const char *block, size_t n, uint8_t a, uint8_t b)
{
#if defined(__SSE2__)
    if (n == 64) {
        const __m128i va = _mm_set1_epi8(static_cast<char>(a));
        const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
        uint64_t mask = 0;
        for (int i = 0; i < 4; ++i) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * i));
            const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb));
            mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(hit))) << (16 * i);
        }
        return mask;
    }
#endif
    uint64_t mask = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(block[i]);
        mask |= static_cast<uint64_t>(c == a || c == b) << i;
    }
    return mask;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define FLDR_SPLIT_HAVE_AVX2 1
/* The same with 32-byte compares, for processors that have them. */
__attribute__((target("avx2"))) static inline uint64_t either_mask_avx2(const char *block, size_t n,
                                                                        uint8_t a, uint8_t b)
{
    if (n == 64) {
        const __m256i va = _mm256_set1_epi8(static_cast<char>(a));
        const __m256i vb = _mm256_set1_epi8(static_cast<char>(b));
        const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block));
        const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 32));
        const __m256i h0 = _mm256_or_si256(_mm256_cmpeq_epi8(x0, va), _mm256_cmpeq_epi8(x0, vb));
        const __m256i h1 = _mm256_or_si256(_mm256_cmpeq_epi8(x1, va), _mm256_cmpeq_epi8(x1, vb));
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(h0))) |
               static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(h1))) << 32;
    }
    uint64_t mask = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(block[i]);
        mask |= static_cast<uint64_t>(c == a || c == b) << i;
    }
    return mask;
}
#endif

/*
** Whether a separator byte can stand inside a multi-byte character: in GBK,
** GB18030 and BIG5 a trailing byte can be any byte from 0x30 (the digits of
** GB18030's four-byte form) up. In every other set a trailing byte is 0x80
** or more, so a byte below 0x80 is always a character of its own.
*/
static inline bool trail_may_be(uint32_t charset, uint8_t byte)
{
    return (charset == 2 || charset == 3 || charset == 10) && byte >= 0x30;
}

/* Length (at least 1) of the character at p with `left` (at least 1) bytes
** of data from p. The lookup may read the byte after the lead byte; for the
** last byte of the data it gets a zero-padded copy, so nothing past the data
** is read. */
static inline size_t char_len(uint32_t charset, const char *p, size_t left)
{
    if (charset == 9 /* single-byte */ || static_cast<uint8_t>(p[0]) < 0x80)
        return 1;
    if (left >= 2)
        return qxcvt_mblen_fast(charset, p);
    const char padded[2] = {p[0], 0};
    return qxcvt_mblen_fast(charset, padded);
}

/* The whole of pat (n bytes) at p, inside [p, end); short patterns compare inline. */
static inline bool bytes_at(const char *p, const char *end, const char *pat, size_t n)
{
    if (static_cast<size_t>(end - p) < n)
        return false;
    switch (n) {
    case 0: return true;
    case 1: return p[0] == pat[0];
    case 2: return p[0] == pat[0] && p[1] == pat[1];
    case 3: return p[0] == pat[0] && p[1] == pat[1] && p[2] == pat[2];
    default: return memcmp(p, pat, n) == 0;
    }
}

/* A hot loop's variant for this processor: the widest one built in that it
** can run. Called once per loop, when the library is loaded. FLDR_SPLIT_WIDE
** names a variant built with wider vectors, or nothing where none is. */
#if defined(FLDR_SPLIT_HAVE_AVX2)
#define FLDR_SPLIT_WIDE(fn) fn
#else
#define FLDR_SPLIT_WIDE(fn) nullptr
#endif
template <typename Fn>
Fn by_processor(Fn base, Fn avx2, Fn avx512 = nullptr)
{
#if defined(FLDR_SPLIT_HAVE_AVX2)
    if (avx512 != nullptr && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2"))
        return avx512;
    if (avx2 != nullptr && __builtin_cpu_supports("avx2"))
        return avx2;
#endif
    return base;
}

}  // namespace fldr_split
#endif

#endif

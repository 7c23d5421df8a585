/*
** The row-terminator search.
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
** The CSV search lives with the CSV scanner (fldr_file_csv.cpp).
*/
#include <cstring>

#include "fldr_file_search.h"
#include "fldr_file_split.h"
#include "fldr_internal.h"

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
    if (term_len == 2) {
        /* The common "\r\n": the second byte compared inline, not by memcmp. */
        const char *end = buf + len;
        for (const char *p = next_byte(buf, end, term[0]); p != nullptr; p = next_byte(p + 1, end, term[0])) {
            if (end - p < 2)
                return nullptr;
            if (p[1] == term[1])
                return const_cast<char *>(p);
        }
        return nullptr;
    }
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

/*
** The common case of a one-byte enclosure that differs from the
** terminator's first byte: every enclosure byte opens or closes, so a byte
** is inside an enclosure exactly when an odd number of enclosure bytes stand
** before it (from the search's start). Per 64-byte block that parity comes
** from the enclosure mask by a prefix XOR, carried from block to block, and
** the terminator candidates outside are tested in order. The walk above
** takes the same steps byte by byte, so both give the same result.
*/
struct pair_mask {
    uint64_t term;      /* bytes equal to the terminator's first byte */
    uint64_t enclose;   /* bytes equal to the enclosure */
};

inline pair_mask pair_mask_tail(const char *block, size_t n, uint8_t t, uint8_t e)
{
    pair_mask m{0, 0};
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(block[i]);
        m.term |= static_cast<uint64_t>(c == t) << i;
        m.enclose |= static_cast<uint64_t>(c == e) << i;
    }
    return m;
}

inline pair_mask pair_mask_sse2(const char *block, uint8_t t, uint8_t e)
{
#if !defined(__SSE2__)
    return pair_mask_tail(block, 64, t, e);
#else
    const __m128i vt = _mm_set1_epi8(static_cast<char>(t));
    const __m128i ve = _mm_set1_epi8(static_cast<char>(e));
    pair_mask m{0, 0};
    for (int i = 0; i < 4; ++i) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * i));
        m.term |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vt)))) << (16 * i);
        m.enclose |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, ve))))
                     << (16 * i);
    }
    return m;
#endif
}

#if defined(FLDR_SPLIT_HAVE_AVX2)
__attribute__((target("avx2"))) inline pair_mask pair_mask_avx2(const char *block, uint8_t t, uint8_t e)
{
    const __m256i vt = _mm256_set1_epi8(static_cast<char>(t));
    const __m256i ve = _mm256_set1_epi8(static_cast<char>(e));
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 32));
    const uint32_t t0 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x0, vt)));
    const uint32_t t1 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x1, vt)));
    const uint32_t e0 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x0, ve)));
    const uint32_t e1 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x1, ve)));
    return {t0 | static_cast<uint64_t>(t1) << 32, e0 | static_cast<uint64_t>(e1) << 32};
}
#endif

/* Bit i set when an odd number of the bits 0..i of x are set. */
inline uint64_t prefix_xor(uint64_t x)
{
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

template <pair_mask (*Mask)(const char *, uint8_t, uint8_t)>
__attribute__((always_inline)) inline const char *search_enclosed_parity(const char *buf, const char *end,
                                                                        const char *term, uint16_t term_len,
                                                                        uint8_t encl0)
{
    const uint8_t term0 = static_cast<uint8_t>(term[0]);
    /* All ones when the block starts inside an enclosure. */
    uint64_t carry = 0;
    for (const char *block = buf; block < end; block += 64) {
        const size_t n = static_cast<size_t>(end - block) < 64 ? static_cast<size_t>(end - block) : 64;
        const pair_mask m = n == 64 ? Mask(block, term0, encl0) : pair_mask_tail(block, n, term0, encl0);
        const uint64_t inside = prefix_xor(m.enclose) ^ carry;
        uint64_t live = m.term & ~inside;
        while (live != 0) {
            const char *q = block + __builtin_ctzll(live);
            live &= live - 1;
            if (term_len == 1 || fldr_split::bytes_at(q, end, term, term_len))
                return q;
        }
        carry = static_cast<uint64_t>(static_cast<int64_t>(inside) >> 63);
    }
    return nullptr;
}

const char *search_parity_sse2(const char *buf, const char *end, const char *term, uint16_t term_len,
                               uint8_t encl0)
{
    return search_enclosed_parity<pair_mask_sse2>(buf, end, term, term_len, encl0);
}

#if defined(FLDR_SPLIT_HAVE_AVX2)
__attribute__((target("avx2"))) const char *search_parity_avx2(const char *buf, const char *end,
                                                               const char *term, uint16_t term_len,
                                                               uint8_t encl0)
{
    return search_enclosed_parity<pair_mask_avx2>(buf, end, term, term_len, encl0);
}
#endif

using parity_fn = const char *(*)(const char *, const char *, const char *, uint16_t, uint8_t);

const parity_fn g_search_parity =
    fldr_split::by_processor<parity_fn>(search_parity_sse2, FLDR_SPLIT_WIDE(search_parity_avx2));

/* Whether the parity search applies: a one-byte enclosure that is not also
** the terminator's first byte (then a terminator candidate never opens). */
inline bool parity_applies(const char *term, const char *enclose, uint16_t enclose_len)
{
    return enclose_len == 1 && enclose[0] != term[0];
}

using enclosed_fn = const char *(*)(const char *, const char *, const char *, uint16_t, const char *, uint16_t);

const enclosed_fn g_search_enclosed =
    fldr_split::by_processor<enclosed_fn>(search_enclosed_sse2, FLDR_SPLIT_WIDE(search_enclosed_avx2));

}  // namespace

char *fldr_search_row_enclosed_portable(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                                        const char *enclose, uint16_t enclose_len)
{
    if (buf == nullptr || len == 0 || term == nullptr)
        return nullptr;
    if (term_len == 0 || enclose == nullptr || enclose_len == 0)
        return fldr_search_row_plain(buf, len, term, term_len);
    if (parity_applies(term, enclose, enclose_len))
        return const_cast<char *>(search_parity_sse2(buf, buf + len, term, term_len,
                                                     static_cast<uint8_t>(enclose[0])));
    return const_cast<char *>(search_enclosed_sse2(buf, buf + len, term, term_len, enclose, enclose_len));
}

char *fldr_search_row_enclosed(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                               const char *enclose, uint16_t enclose_len)
{
    if (buf == nullptr || len == 0 || term == nullptr)
        return nullptr;
    if (term_len == 0 || enclose == nullptr || enclose_len == 0)
        return fldr_search_row_plain(buf, len, term, term_len);
    if (parity_applies(term, enclose, enclose_len))
        return const_cast<char *>(g_search_parity(buf, buf + len, term, term_len, static_cast<uint8_t>(enclose[0])));
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

/*
** The character walks. Only a match at a character's first byte counts, so
** a trailing byte equal to the terminator or the escape is passed over with
** its character. Where no byte of the terminator or the escape can be a
** trailing byte of the data's set, they hand over to the byte searches
** above, which give the same result faster.
*/
namespace {

bool any_trail_byte(uint32_t charset, const char *s, uint16_t n)
{
    for (uint16_t i = 0; i < n; i++)
        if (fldr_split::trail_may_be(charset, static_cast<uint8_t>(s[i])))
            return true;
    return false;
}

/* Past the character at p, or end when the data ends inside it. */
inline const char *step_char(uint32_t charset, const char *p, const char *end)
{
    const size_t n = fldr_split::char_len(charset, p, static_cast<size_t>(end - p));
    return n <= static_cast<size_t>(end - p) ? p + n : end;
}

}  // namespace

char *fldr_search_row_plain_chars(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                                  uint32_t charset)
{
    if (term == nullptr || term_len == 0 || !any_trail_byte(charset, term, term_len))
        return fldr_search_row_plain(buf, len, term, term_len);
    if (buf == nullptr)
        return nullptr;
    const char *end = buf + len;
    for (const char *p = buf; p < end; p = step_char(charset, p, end))
        if (fldr_split::bytes_at(p, end, term, term_len))
            return const_cast<char *>(p);
    return nullptr;
}

/*
** As the byte search: a terminator right after one escape is data, after two
** (an escaped escape) it ends the row. Escapes are counted as they are met,
** whole, at characters' first bytes.
*/
char *fldr_search_row_escaped_chars(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                                    const char *escape, uint16_t escape_len, uint32_t charset)
{
    if (term == nullptr || term_len == 0 || escape == nullptr || escape_len == 0 ||
        (!any_trail_byte(charset, term, term_len) && !any_trail_byte(charset, escape, escape_len)))
        return fldr_search_row_escaped(buf, len, term, term_len, escape, escape_len);
    if (buf == nullptr)
        return nullptr;
    const char *end = buf + len;
    unsigned escapes_before = 0;   /* escapes right before p, at most 2 kept */
    const char *p = buf;
    while (p < end) {
        if (fldr_split::bytes_at(p, end, term, term_len)) {
            if (escapes_before != 1)
                return const_cast<char *>(p);
            escapes_before = 0;
            p += term_len;
            continue;
        }
        if (static_cast<size_t>(end - p) >= escape_len && escape_equal(p, escape, escape_len)) {
            escapes_before = escapes_before < 2 ? escapes_before + 1 : 2;
            p += escape_len;
            continue;
        }
        escapes_before = 0;
        p = step_char(charset, p, end);
    }
    return nullptr;
}

/*
** All row ends of a buffer in one pass, for the reader's row cutting. In the
** plain scan mode the terminator's first byte is looked for 64 bytes at a
** time and every hit of a block is visited from its bit mask, so a chunk of
** short rows costs one pass over its bytes instead of one call per row. The
** other scan modes carry state across a row and are searched row by row.
*/
namespace {

/* Bit i set where block[i] is c, for the 64 bytes of block. */
inline uint64_t byte_mask_sse2(const char *block, uint8_t c)
{
    return fldr_split::either_mask(block, 64, c, c);
}

#if defined(FLDR_SPLIT_HAVE_AVX2)
__attribute__((target("avx2"))) inline uint64_t byte_mask_avx2(const char *block, uint8_t c)
{
    const __m256i v = _mm256_set1_epi8(static_cast<char>(c));
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + 32));
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x0, v)))) |
           static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x1, v)))) << 32;
}

/* One 64-byte compare, where the processor has it. */
__attribute__((target("avx512bw"))) inline uint64_t byte_mask_avx512(const char *block, uint8_t c)
{
    const __m512i x = _mm512_loadu_si512(block);
    return _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(c)));
}
#endif

/*
** Stores base + the position of every set bit of live at ends[count...]
** and adds their number to count. The first two positions are stored
** whether they exist or not (a missing one is garbage past count, written
** over later; ends has room for 64 more), so rows longer than half a block
** cost no branch that depends on the data.
*/
__attribute__((always_inline)) inline void store_hits(uint64_t live, uint32_t base, uint32_t *ends,
                                                      uint32_t &count)
{
    constexpr uint64_t k_top = 1ull << 63;   /* keeps ctz defined on an empty mask */
    const uint32_t hits = static_cast<uint32_t>(__builtin_popcountll(live));
    ends[count] = base + static_cast<uint32_t>(__builtin_ctzll(live | k_top));
    live &= live - 1;
    ends[count + 1] = base + static_cast<uint32_t>(__builtin_ctzll(live | k_top));
    live &= live - 1;
    if (__builtin_expect(live != 0, 0)) {
        uint32_t at = count + 2;
        do {
            ends[at++] = base + static_cast<uint32_t>(__builtin_ctzll(live));
            live &= live - 1;
        } while (live != 0);
    }
    count += hits;
}

template <uint64_t (*Mask)(const char *, uint8_t)>
__attribute__((always_inline)) inline uint32_t plain_row_ends(const char *buf, uint32_t len, const char *term,
                                                              uint16_t term_len, uint32_t *ends, uint32_t max,
                                                              uint32_t bias)
{
    const uint8_t t0 = static_cast<uint8_t>(term[0]);
    const char *end = buf + len;
    uint32_t count = 0;
    uint32_t block = 0;
    if (term_len == 1) {
        /* Every hit is a terminator. While ends has room for two whole
        ** blocks' hits, they are stored without a check per hit. */
        for (; len - block >= 128 && max - count >= 128; block += 128) {
            store_hits(Mask(buf + block, t0), block + bias, ends, count);
            store_hits(Mask(buf + block + 64, t0), block + 64 + bias, ends, count);
        }
    }
    /* The rest one hit at a time. Invariant: every terminator before
    ** `resume` is in ends[0, count) (plus bias); the next row starts at
    ** `resume`, so a
    ** hit inside the last terminator found is no terminator (a search per
    ** row would start after it). */
    uint32_t resume = count != 0 ? ends[count - 1] - bias + term_len : 0;
    for (; block < len; block += 64) {
        const uint32_t n = len - block < 64 ? len - block : 64;
        uint64_t live = n == 64 ? Mask(buf + block, t0) : fldr_split::either_mask(buf + block, n, t0, t0);
        while (live != 0) {
            const uint32_t k = block + static_cast<uint32_t>(__builtin_ctzll(live));
            live &= live - 1;
            if (k < resume)
                continue;
            if (term_len > 1 && !fldr_split::bytes_at(buf + k, end, term, term_len))
                continue;
            ends[count++] = k + bias;
            resume = k + term_len;
            if (count == max)
                return count;
        }
    }
    return count;
}

uint32_t plain_row_ends_sse2(const char *buf, uint32_t len, const char *term, uint16_t term_len, uint32_t *ends,
                             uint32_t max, uint32_t bias)
{
    return plain_row_ends<byte_mask_sse2>(buf, len, term, term_len, ends, max, bias);
}

#if defined(FLDR_SPLIT_HAVE_AVX2)
__attribute__((target("avx2"))) uint32_t plain_row_ends_avx2(const char *buf, uint32_t len, const char *term,
                                                             uint16_t term_len, uint32_t *ends, uint32_t max,
                                                             uint32_t bias)
{
    return plain_row_ends<byte_mask_avx2>(buf, len, term, term_len, ends, max, bias);
}

__attribute__((target("avx512bw"))) uint32_t plain_row_ends_avx512(const char *buf, uint32_t len,
                                                                   const char *term, uint16_t term_len,
                                                                   uint32_t *ends, uint32_t max, uint32_t bias)
{
    return plain_row_ends<byte_mask_avx512>(buf, len, term, term_len, ends, max, bias);
}
#endif

using row_ends_fn = uint32_t (*)(const char *, uint32_t, const char *, uint16_t, uint32_t *, uint32_t, uint32_t);

const row_ends_fn g_plain_row_ends = fldr_split::by_processor<row_ends_fn>(
    plain_row_ends_sse2, FLDR_SPLIT_WIDE(plain_row_ends_avx2), FLDR_SPLIT_WIDE(plain_row_ends_avx512));

/* Whether the instance's rows end at every terminator byte found, with no
** state carried across a row and no character walk. */
bool rows_end_plainly(const fldr_inst *inst, const char *term, uint16_t term_len)
{
    if (inst == nullptr)
        return true;
    for (uint16_t i = 0; i < term_len; i++)
        if (fldr_split::trail_may_be(inst->charset, static_cast<uint8_t>(term[i])))
            return false;
    if (inst->ctl == nullptr || inst->ctl->sep_info == nullptr)
        return true;
    switch (inst->scan_mode) {
    case FLDR_SCAN_ESCAPED: return false;
    case FLDR_SCAN_ENCLOSED: return inst->enclosed_rows == 0;
    case FLDR_SCAN_CSV: return inst->ctl->sep_info->enclose_len == 0;
    default: return true;
    }
}

}  // namespace

uint32_t fldr_search_row_ends(fldr_inst *inst, const char *buf, uint32_t len, uint16_t term_len, const char *term,
                              uint32_t *ends, uint32_t max, uint32_t bias)
{
    if (buf == nullptr || len == 0 || term == nullptr || term_len == 0 || max == 0)
        return 0;
    if (rows_end_plainly(inst, term, term_len))
        return g_plain_row_ends(buf, len, term, term_len, ends, max, bias);
    uint32_t count = 0;
    uint32_t from = 0;
    while (count < max && from < len) {
        const char *hit = fldr_search_row_end(inst, buf + from, len - from, term_len, term);
        if (hit == nullptr)
            break;
        const uint32_t k = static_cast<uint32_t>(hit - buf);
        ends[count++] = k + bias;
        from = k + term_len;
    }
    return count;
}

uint32_t fldr_search_row_ends_portable(const char *buf, uint32_t len, uint16_t term_len, const char *term,
                                       uint32_t *ends, uint32_t max, uint32_t bias)
{
    if (buf == nullptr || len == 0 || term == nullptr || term_len == 0 || max == 0)
        return 0;
    return plain_row_ends_sse2(buf, len, term, term_len, ends, max, bias);
}

char *fldr_search_row_end(fldr_inst *inst, const char *buf, uint32_t len, uint16_t term_len,
                          const char *term)
{
    const uint32_t charset = inst != nullptr ? inst->charset : 0;
    if (inst != nullptr && inst->ctl != nullptr && inst->ctl->sep_info != nullptr) {
        const fldr_ctl *ctl = inst->ctl;
        const fldr_seperator_info *sep = ctl->sep_info;
        if (inst->scan_mode == FLDR_SCAN_ENCLOSED && inst->enclosed_rows != 0)
            return fldr_search_row_enclosed(buf, len, term, term_len, ctl->row_enclose,
                                            ctl->row_enclose_len);
        if (inst->scan_mode == FLDR_SCAN_ESCAPED)
            return fldr_search_row_escaped_chars(buf, len, term, term_len, sep->escape, sep->escape_len, charset);
        if (inst->scan_mode == FLDR_SCAN_CSV)
            return fldr_search_row_csv(buf, len, term, term_len, sep->term, sep->term_len, sep->enclose,
                                       sep->enclose_len, charset);
    }
    return fldr_search_row_plain_chars(buf, len, term, term_len, charset);
}

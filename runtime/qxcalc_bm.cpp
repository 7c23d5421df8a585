/*
** qxcalc: Boyer-Moore search reporting every occurrence.
**
** The good-suffix shift of position 0 (bmgs[0]) is the pattern's period, so
** after a full match the search moves by it and finds overlapping
** occurrences too ("aa" occurs at 1, 2 and 3 in "aaaa").
*/
#include "qxcalc.h"

#include <algorithm>
#include <memory>
#include <new>

namespace {

using u8 = unsigned char;

/*
** suff[i]: length of the longest common suffix of pat[0..i] and the whole
** pattern. Linear, with g/f marking the last suffix window compared.
*/
void suffixes(const u8 *pat, int32_t m, int32_t *suff)
{
    suff[m - 1] = m;
    int32_t g = m - 1, f = m - 1;
    for (int32_t i = m - 2; i >= 0; --i) {
        if (i > g && suff[i + m - 1 - f] < i - g) {
            suff[i] = suff[i + m - 1 - f];
        } else {
            if (i < g) g = i;
            f = i;
            while (g >= 0 && pat[g] == pat[g + m - 1 - f]) --g;
            suff[i] = f - g;
        }
    }
}

} // namespace

extern "C" void preprocess_bmbc(const char *pat, uint32_t pat_len, int32_t *bmbc)
{
    const auto m = static_cast<int32_t>(pat_len);
    std::fill(bmbc, bmbc + QXCALC_BMBC_SIZE, m);
    const auto *p = reinterpret_cast<const u8 *>(pat);
    for (int32_t i = 0; i < m - 1; ++i) bmbc[p[i]] = m - 1 - i;
}

extern "C" int32_t preprocess_bmgs(const char *pat, uint32_t pat_len, int32_t *bmgs)
{
    if (pat == nullptr || bmgs == nullptr || pat_len == 0 || pat_len > 0x7FFFFFFFu) return QXCALC_ERR_ARGUMENT;
    const auto m = static_cast<int32_t>(pat_len);
    const auto *p = reinterpret_cast<const u8 *>(pat);

    int32_t local[256];
    std::unique_ptr<int32_t[]> heap;
    int32_t *suff = local;
    if (m > 256) {
        heap.reset(new (std::nothrow) int32_t[static_cast<size_t>(m)]);
        if (!heap) return QXCALC_ERR_NO_ROOM;
        suff = heap.get();
    }
    suffixes(p, m, suff);

    std::fill(bmgs, bmgs + m, m);
    /* Case 2: a prefix of the pattern is a suffix of the matched part. */
    int32_t j = 0;
    for (int32_t i = m - 1; i >= 0; --i) {
        if (suff[i] == i + 1) {
            for (; j < m - 1 - i; ++j) {
                if (bmgs[j] == m) bmgs[j] = m - 1 - i;
            }
        }
    }
    /* Case 1: the matched suffix occurs again inside the pattern. */
    for (int32_t i = 0; i <= m - 2; ++i) bmgs[m - 1 - suff[i]] = m - 1 - i;
    return 0;
}

/*
** Invariant of the loop: every occurrence starting before `j` has been
** written (or counted against the capacity); shifts never skip one, since
** both rules move only as far as the pattern cannot match.
*/
extern "C" int32_t qx_strbmncmp_arrex2(const char *text, uint32_t text_len, const char *pat, uint32_t pat_len,
                                       uint32_t *matches, uint32_t *count, const int32_t *bmbc,
                                       const int32_t *bmgs)
{
    if (count == nullptr) return QXCALC_ERR_ARGUMENT;
    const uint32_t cap = *count;
    *count = 0;
    if (pat == nullptr || pat_len == 0 || bmbc == nullptr || bmgs == nullptr || pat_len > 0x7FFFFFFFu)
        return QXCALC_ERR_ARGUMENT;
    if (text == nullptr && text_len > 0) return QXCALC_ERR_ARGUMENT;
    if (text_len < pat_len) return 0;

    const auto *y = reinterpret_cast<const u8 *>(text);
    const auto *x = reinterpret_cast<const u8 *>(pat);
    const int64_t m = pat_len;
    const int64_t last_start = int64_t{text_len} - m;
    uint32_t found = 0;
    int64_t j = 0;
    while (j <= last_start) {
        int64_t i = m - 1;
        while (i >= 0 && x[i] == y[i + j]) --i;
        if (i < 0) {
            if (found == cap) {
                *count = found;
                return QXCALC_ERR_NO_ROOM;
            }
            matches[found++] = static_cast<uint32_t>(j + 1);
            j += bmgs[0];
        } else {
            j += std::max<int64_t>(bmgs[i], int64_t{bmbc[y[i + j]]} - m + 1 + i);
        }
    }
    *count = found;
    return 0;
}

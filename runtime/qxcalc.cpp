/*
** qxcalc: hexadecimal text to bytes.
**
** The Boyer-Moore search lives in qxcalc_bm.cpp, the date-time text in
** qxcalc_time.cpp.
*/
#include "qxcalc.h"

#include <cstring>

namespace {

/* Value of a hexadecimal digit, or -1. */
constexpr int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

extern "C" int32_t nbin_from_char_low_with_len(const char *text, uint32_t len, uint8_t *out,
                                               uint32_t out_cap)
{
    if ((text == nullptr && len > 0) || (out == nullptr && len > 0)) return QXCALC_ERR_ARGUMENT;
    if (len > 0x7FFFFFFEu) return QXCALC_ERR_ARGUMENT;
    const uint32_t bytes = (len + 1) / 2;
    if (bytes > out_cap) return QXCALC_ERR_NO_ROOM;

    /* An odd count: the first digit stands alone as the low half of byte 0. */
    uint32_t in = 0, written = 0;
    if (len % 2 == 1) {
        const int low = hex_value(static_cast<unsigned char>(text[0]));
        if (low < 0) return QXCALC_ERR_HEX_DIGIT;
        out[written++] = static_cast<uint8_t>(low);
        in = 1;
    }
    /* Invariant: the digits left, len - in, are even. */
    for (; in < len; in += 2) {
        const int high = hex_value(static_cast<unsigned char>(text[in]));
        const int low = hex_value(static_cast<unsigned char>(text[in + 1]));
        if (high < 0 || low < 0) return QXCALC_ERR_HEX_DIGIT;
        out[written++] = static_cast<uint8_t>(high << 4 | low);
    }
    return static_cast<int32_t>(written);
}

extern "C" int32_t nbin_from_char(const char *text, void *out, uint32_t out_cap)
{
    if (text == nullptr || out == nullptr) return QXCALC_ERR_ARGUMENT;
    if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return QXCALC_ERR_HEX_DIGIT;
    if (out_cap < sizeof(uint32_t)) return QXCALC_ERR_NO_ROOM;
    const char *digits = text + 2;
    const size_t len = std::strlen(digits);
    if (len > 0x7FFFFFFEu) return QXCALC_ERR_ARGUMENT;

    auto *bytes = static_cast<uint8_t *>(out) + sizeof(uint32_t);
    const int32_t n = nbin_from_char_low_with_len(digits, static_cast<uint32_t>(len), bytes,
                                                  out_cap - static_cast<uint32_t>(sizeof(uint32_t)));
    if (n < 0) return n;
    const uint32_t count = static_cast<uint32_t>(n);
    std::memcpy(out, &count, sizeof count);
    return n;
}

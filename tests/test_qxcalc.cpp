#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "qxcalc.h"

namespace {

/* nbin_from_char's bytes, or "error <code>". */
std::string hex_bytes(const char *text, uint32_t cap = 64)
{
    unsigned char out[64 + 1];
    out[cap] = 0xEE;
    const int32_t n = nbin_from_char(text, out, cap);
    EXPECT_EQ(out[cap], 0xEE) << text;   // never past the room given
    if (n < 0) return "error " + std::to_string(n);
    uint32_t count;
    std::memcpy(&count, out, sizeof count);
    EXPECT_EQ(count, static_cast<uint32_t>(n));
    return std::string(reinterpret_cast<char *>(out) + 4, count);
}

std::vector<uint32_t> bm_search(const std::string &text, const std::string &pat, uint32_t cap, int32_t *rc)
{
    int32_t bmbc[QXCALC_BMBC_SIZE];
    std::vector<int32_t> bmgs(pat.size());
    preprocess_bmbc(pat.data(), static_cast<uint32_t>(pat.size()), bmbc);
    EXPECT_EQ(preprocess_bmgs(pat.data(), static_cast<uint32_t>(pat.size()), bmgs.data()), 0);
    std::vector<uint32_t> matches(cap + 1, 0xABCDu);
    uint32_t count = cap;
    *rc = qx_strbmncmp_arrex2(text.data(), static_cast<uint32_t>(text.size()), pat.data(),
                              static_cast<uint32_t>(pat.size()), matches.data(), &count, bmbc, bmgs.data());
    EXPECT_EQ(matches[cap], 0xABCDu);
    matches.resize(count);
    return matches;
}

std::vector<uint32_t> bm_all(const std::string &text, const std::string &pat)
{
    int32_t rc = -1;
    auto out = bm_search(text, pat, static_cast<uint32_t>(text.size() + 1), &rc);
    return rc == 0 ? out : std::vector<uint32_t>{0xBAD};
}

std::string time_text(const qxtime_fields &f, int32_t type, int32_t frac = -1)
{
    uint8_t value[QXTIME_VALUE_SIZE];
    qxtime_encode(&f, value);
    char buf[QXTIME_TEXT_MAX];
    const int32_t n = qxtime_to_char(value, type, frac, buf);
    if (n < 0) return "error " + std::to_string(n);
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(buf));
    return buf;
}

} // namespace

TEST(QxcalcHex, DigitsOddCountsAndRefusals)
{
    // An odd count implies a leading 0; the room holds a 4-byte count and the bytes.
    const std::string bad = "error " + std::to_string(QXCALC_ERR_HEX_DIGIT);
    const std::string no_room = "error " + std::to_string(QXCALC_ERR_NO_ROOM);
    const std::tuple<const char *, uint32_t, std::string> cases[] = {
        {"0x41424344", 64, "ABCD"}, {"0X0d0A", 64, "\r\n"}, {"0xfF00", 64, std::string("\xff\x00", 2)}, {"0x", 64, ""},
        {"0x9", 64, "\t"}, {"0xABC", 64, "\x0a\xbc"}, {"41", 64, bad}, {"x41", 64, bad}, {"0x4G", 64, bad},
        {"0x 41", 64, bad}, {"0xG", 64, bad}, {"0x41-", 64, bad}, {"0x01020304", 7, no_room},
        {"0x010203", 7, "\x01\x02\x03"}, {"0x", 3, no_room},
    };
    for (const auto &[text, cap, expected] : cases) EXPECT_EQ(hex_bytes(text, cap), expected) << text << " in " << cap;
    EXPECT_EQ(nbin_from_char(nullptr, nullptr, 8), QXCALC_ERR_ARGUMENT);

    uint8_t out[2] = {0, 0};
    EXPECT_TRUE(nbin_from_char_low_with_len("41zz", 2, out, 2) == 1 && out[0] == 0x41);   // the length bounds the digits
    EXPECT_EQ(nbin_from_char_low_with_len("7f80", 4, out, 1), QXCALC_ERR_NO_ROOM);
    EXPECT_EQ(nbin_from_char_low_with_len("g1", 2, out, 2), QXCALC_ERR_HEX_DIGIT);
}

TEST(QxcalcBoyerMoore, EveryOccurrenceFromOneWithinTheCapacityAsANaiveSearch)
{
    // Positions count from 1; zero bytes are bytes like any other.
    EXPECT_EQ(bm_all(std::string("a\0b\xff\0b", 6), std::string("\0b", 2)), (std::vector<uint32_t>{2, 5}));
    int32_t rc = 0;
    EXPECT_EQ(bm_search("aaaaa", "a", 2, &rc), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(rc, QXCALC_ERR_NO_ROOM);
    int32_t bmgs[1];
    EXPECT_EQ(preprocess_bmgs("", 0, bmgs), QXCALC_ERR_ARGUMENT);

    // Agrees with a naive search on random texts.
    std::mt19937 rng(20240607);
    for (int round = 0; round < 3000; round++) {
        /* Small alphabets give many overlapping matches and partial suffixes; some patterns pass 256 bytes. */
        const int alphabet = 1 + static_cast<int>(rng() % (round % 3 == 0 ? 2 : 4));
        std::string text(rng() % 200, 'a'), pat(1 + rng() % (round % 10 == 0 ? 300 : 8), 'a');
        for (auto &c : text) c = static_cast<char>('a' + rng() % alphabet);
        for (auto &c : pat) c = static_cast<char>('a' + rng() % alphabet);
        if (round % 4 == 0 && text.size() >= pat.size()) text.replace(rng() % (text.size() - pat.size() + 1), pat.size(), pat);
        std::vector<uint32_t> naive;
        for (size_t i = 0; i + pat.size() <= text.size(); i++) {
            if (text.compare(i, pat.size(), pat) == 0) naive.push_back(static_cast<uint32_t>(i + 1));
        }
        ASSERT_EQ(bm_all(text, pat), naive) << "text " << text << " pattern " << pat;
    }
}

TEST(QxcalcTime, TextFormsByTypeInvalidValuesAndArguments)
{
    const qxtime_fields f{2024, 2, 29, 13, 5, 9, 120000000, 480}, g{-44, 3, 15, 13, 5, 9, 999999999, -570};
    const std::string bad = "error " + std::to_string(QXCALC_ERR_DATETIME);
    const std::string arg = "error " + std::to_string(QXCALC_ERR_ARGUMENT);
    const qxtime_fields feb29_2023{2023, 2, 29, 0, 0, 0, 0, 0}, hour24{2000, 2, 29, 24, 0, 0, 0, 0};
    const qxtime_fields jan1{2020, 1, 1, 0, 0, 0, 0, 0}, zone841{2020, 1, 1, 0, 0, 0, 0, 841};
    const std::tuple<qxtime_fields, int32_t, int32_t, std::string> cases[] = {
        {f, 14, -1, "2024-02-29"}, {f, 15, -1, "13:05:09.12"}, {f, 26, -1, "2024-02-29 13:05:09.12"},
        {f, 22, -1, "13:05:09.12 +08:00"}, {f, 27, 6, "2024-02-29 13:05:09.120000 +08:00"},
        {f, 16, 0, "2024-02-29 13:05:09"}, {g, 23, -1, "-0044-03-15 13:05:09.999999999 -09:30"},
        {g, 15, 3, "13:05:09.999"},   // truncated, not rounded
        {feb29_2023, 14, -1, bad},    // not a leap year
        {feb29_2023, 15, -1, "00:00:00"},   // a time reads no date
        {hour24, 14, -1, "2000-02-29"}, {hour24, 16, -1, bad}, {{1900, 2, 29, 0, 0, 0, 0, 0}, 14, -1, bad},
        {{0, 1, 1, 0, 0, 0, 0, 0}, 14, -1, bad}, {{2020, 1, 1, 0, 0, 0, 1000000000u, 0}, 15, -1, bad},
        {zone841, 16, -1, "2020-01-01 00:00:00"},   // no zone read
        {zone841, 23, -1, bad}, {jan1, 17, -1, arg}, {jan1, 16, 10, arg},
    };
    for (const auto &[fields, type, frac, want] : cases)
        EXPECT_EQ(time_text(fields, type, frac), want) << fields.year << " type " << type << " frac " << frac;

    std::mt19937 rng(7);   // any bytes: a code, or a short text within the area
    uint8_t value[QXTIME_VALUE_SIZE];
    char buf[QXTIME_TEXT_MAX + 1];
    for (int i = 0; i < 20000; i++) {
        for (auto &b : value) b = static_cast<uint8_t>(rng());
        buf[QXTIME_TEXT_MAX] = 0x5A;
        const int32_t n = qxtime_to_char(value, 23, -1, buf);
        ASSERT_TRUE(n == QXCALC_ERR_DATETIME || (n > 0 && n < 64));
        ASSERT_EQ(buf[QXTIME_TEXT_MAX], 0x5A);
    }
}

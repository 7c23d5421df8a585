#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qxcalc.h"

namespace {

/* Runs nbin_from_char and returns the bytes, or the code as text. */
std::string hex_bytes(const char *text, uint32_t cap = 4 + 200)
{
    unsigned char out[4 + 200];
    std::memset(out, 0xEE, sizeof out);
    int32_t n = nbin_from_char(text, out, cap);
    if (n < 0) return "error " + std::to_string(n);
    uint32_t count;
    std::memcpy(&count, out, sizeof count);
    EXPECT_EQ(count, static_cast<uint32_t>(n));
    return std::string(reinterpret_cast<char *>(out) + 4, count);
}

} // namespace

TEST(QxcalcHex, PrefixedTextBecomesCountedBytes)
{
    EXPECT_EQ(hex_bytes("0x41424344"), "ABCD");
    EXPECT_EQ(hex_bytes("0X0d0A"), "\r\n");
    EXPECT_EQ(hex_bytes("0xfF00"), std::string("\xff\x00", 2));
    EXPECT_EQ(hex_bytes("0x"), "");
}

TEST(QxcalcHex, OddDigitCountReadsWithALeadingZero)
{
    EXPECT_EQ(hex_bytes("0x9"), "\t");
    EXPECT_EQ(hex_bytes("0xABC"), "\x0a\xbc");
    EXPECT_EQ(hex_bytes("0x14243"), "\x01\x42\x43");
}

TEST(QxcalcHex, InvalidTextIsRefused)
{
    const std::string bad = "error " + std::to_string(QXCALC_ERR_HEX_DIGIT);
    EXPECT_EQ(hex_bytes("41"), bad);          // no prefix
    EXPECT_EQ(hex_bytes("0x4G"), bad);
    EXPECT_EQ(hex_bytes("0x 41"), bad);
    EXPECT_EQ(hex_bytes("0xG"), bad);         // odd count, bad lone digit
    EXPECT_EQ(hex_bytes("0x41-"), bad);
    EXPECT_EQ(hex_bytes("x41"), bad);
}

TEST(QxcalcHex, OutputRoomIsNeverExceeded)
{
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(nbin_from_char("0x01020304", out, 7), QXCALC_ERR_NO_ROOM);
    EXPECT_EQ(out[7], 0xEE);
    EXPECT_EQ(nbin_from_char("0x", out, 3), QXCALC_ERR_NO_ROOM);
    EXPECT_EQ(nbin_from_char("0x010203", out, 7), 3);
    EXPECT_EQ(out[7], 0xEE);
    // 256 digits fill exactly 4 + 128 bytes.
    std::string text = "0x" + std::string(256, 'a');
    unsigned char big[4 + 128 + 1];
    big[132] = 0x5A;
    EXPECT_EQ(nbin_from_char(text.c_str(), big, 132), 128);
    EXPECT_EQ(big[132], 0x5A);
    EXPECT_EQ(nbin_from_char(nullptr, out, 8), QXCALC_ERR_ARGUMENT);
}

TEST(QxcalcHex, LowConverterTakesDigitsByLength)
{
    uint8_t out[4] = {0, 0, 0, 0};
    EXPECT_EQ(nbin_from_char_low_with_len("41zz", 2, out, 4), 1);   // stops at the length
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(nbin_from_char_low_with_len("7f80", 4, out, 2), 2);
    EXPECT_EQ(out[0], 0x7F);
    EXPECT_EQ(out[1], 0x80);
    EXPECT_EQ(nbin_from_char_low_with_len("7f80", 4, out, 1), QXCALC_ERR_NO_ROOM);
    EXPECT_EQ(nbin_from_char_low_with_len("4", 1, out, 1), 1);
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(nbin_from_char_low_with_len("g1", 2, out, 4), QXCALC_ERR_HEX_DIGIT);
    EXPECT_EQ(nbin_from_char_low_with_len("", 0, out, 0), 0);
}

#include <random>
#include <vector>

namespace {

std::vector<uint32_t> bm_search(const std::string &text, const std::string &pat, uint32_t cap = 0xFFFFFFFFu,
                                int32_t *rc_out = nullptr)
{
    int32_t bmbc[QXCALC_BMBC_SIZE];
    std::vector<int32_t> bmgs(pat.size());
    preprocess_bmbc(pat.data(), static_cast<uint32_t>(pat.size()), bmbc);
    EXPECT_EQ(preprocess_bmgs(pat.data(), static_cast<uint32_t>(pat.size()), bmgs.data()), 0);
    if (cap == 0xFFFFFFFFu) cap = static_cast<uint32_t>(text.size() + 1);
    std::vector<uint32_t> matches(cap + 1, 0xABCDu);
    uint32_t count = cap;
    int32_t rc = qx_strbmncmp_arrex2(text.data(), static_cast<uint32_t>(text.size()), pat.data(),
                                     static_cast<uint32_t>(pat.size()), matches.data(), &count, bmbc, bmgs.data());
    if (rc_out != nullptr) *rc_out = rc; else EXPECT_EQ(rc, 0);
    EXPECT_EQ(matches[cap], 0xABCDu);   // nothing written past the capacity
    matches.resize(count);
    return matches;
}

std::vector<uint32_t> naive_search(const std::string &text, const std::string &pat)
{
    std::vector<uint32_t> out;
    for (size_t i = 0; i + pat.size() <= text.size(); i++) {
        if (text.compare(i, pat.size(), pat) == 0) out.push_back(static_cast<uint32_t>(i + 1));
    }
    return out;
}

std::string time_text(const qxtime_fields &f, int32_t type, int32_t frac = -1)
{
    uint8_t value[QXTIME_VALUE_SIZE];
    qxtime_encode(&f, value);
    char buf[QXTIME_TEXT_MAX];
    int32_t n = qxtime_to_char(value, type, frac, buf);
    if (n < 0) return "error " + std::to_string(n);
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(buf));
    return buf;
}

} // namespace

TEST(QxcalcBoyerMoore, ReportsEveryOccurrenceFromOne)
{
    EXPECT_EQ(bm_search("aaaa", "aa"), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(bm_search("abcabcab", "cab"), (std::vector<uint32_t>{3, 6}));
    EXPECT_EQ(bm_search("ab", "abc"), std::vector<uint32_t>{});
    EXPECT_EQ(bm_search("", "a"), std::vector<uint32_t>{});
    EXPECT_EQ(bm_search("xyz", "xyz"), std::vector<uint32_t>{1});
    EXPECT_EQ(bm_search(std::string("a\0b\xff\0b", 6), std::string("\0b", 2)), (std::vector<uint32_t>{2, 5}));

    int32_t rc = 0;
    EXPECT_EQ(bm_search("aaaaa", "a", 2, &rc), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(rc, QXCALC_ERR_NO_ROOM);

    int32_t bmbc[QXCALC_BMBC_SIZE], bmgs[1];
    uint32_t matches[4], count = 4;
    EXPECT_EQ(preprocess_bmgs("", 0, bmgs), QXCALC_ERR_ARGUMENT);
    EXPECT_EQ(qx_strbmncmp_arrex2("abc", 3, "", 0, matches, &count, bmbc, bmgs), QXCALC_ERR_ARGUMENT);
}

TEST(QxcalcBoyerMoore, AgreesWithANaiveSearchOnRandomTexts)
{
    std::mt19937 rng(20240607);
    for (int round = 0; round < 3000; round++) {
        /* Small alphabets give many (overlapping) matches and partial suffixes. */
        const int alphabet = 1 + static_cast<int>(rng() % (round % 3 == 0 ? 2 : 4));
        const size_t text_len = rng() % 200;
        const size_t pat_len = 1 + rng() % (round % 10 == 0 ? 300 : 8);
        std::string text(text_len, 'a'), pat(pat_len, 'a');
        for (auto &c : text) c = static_cast<char>('a' + rng() % alphabet);
        for (auto &c : pat) c = static_cast<char>('a' + rng() % alphabet);
        if (round % 4 == 0 && text_len >= pat_len) {
            text.replace(rng() % (text_len - pat_len + 1), pat_len, pat);   // plant one
        }
        ASSERT_EQ(bm_search(text, pat), naive_search(text, pat)) << "text " << text << " pattern " << pat;
    }
}

TEST(QxcalcTime, TextFormsByType)
{
    qxtime_fields f{2024, 2, 29, 13, 5, 9, 120000000, 480};
    EXPECT_EQ(time_text(f, 14), "2024-02-29");
    EXPECT_EQ(time_text(f, 15), "13:05:09.12");
    EXPECT_EQ(time_text(f, 16), "2024-02-29 13:05:09.12");
    EXPECT_EQ(time_text(f, 26), "2024-02-29 13:05:09.12");
    EXPECT_EQ(time_text(f, 22), "13:05:09.12 +08:00");
    EXPECT_EQ(time_text(f, 23), "2024-02-29 13:05:09.12 +08:00");
    EXPECT_EQ(time_text(f, 27, 6), "2024-02-29 13:05:09.120000 +08:00");
    EXPECT_EQ(time_text(f, 16, 0), "2024-02-29 13:05:09");
    f.nanos = 0;
    f.tz_minutes = -570;
    EXPECT_EQ(time_text(f, 16), "2024-02-29 13:05:09");
    EXPECT_EQ(time_text(f, 23), "2024-02-29 13:05:09 -09:30");
    f.nanos = 999999999;
    EXPECT_EQ(time_text(f, 15), "13:05:09.999999999");
    EXPECT_EQ(time_text(f, 15, 3), "13:05:09.999");   // truncated, not rounded
    f.year = -44;
    f.month = 3;
    f.day = 15;
    EXPECT_EQ(time_text(f, 14), "-0044-03-15");
}

TEST(QxcalcTime, InvalidValuesAndArguments)
{
    const std::string bad = "error " + std::to_string(QXCALC_ERR_DATETIME);
    const std::string arg = "error " + std::to_string(QXCALC_ERR_ARGUMENT);
    qxtime_fields f{2023, 2, 29, 0, 0, 0, 0, 0};
    EXPECT_EQ(time_text(f, 14), bad);            // not a leap year
    EXPECT_EQ(time_text(f, 15), "00:00:00");     // a time ignores the date
    f = {2000, 2, 29, 24, 0, 0, 0, 0};
    EXPECT_EQ(time_text(f, 14), "2000-02-29");
    EXPECT_EQ(time_text(f, 16), bad);
    f = {1900, 2, 29, 0, 0, 0, 0, 0};
    EXPECT_EQ(time_text(f, 14), bad);
    f = {0, 1, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(time_text(f, 14), bad);
    f = {2020, 1, 1, 0, 0, 0, 1000000000u, 0};
    EXPECT_EQ(time_text(f, 15), bad);
    f = {2020, 1, 1, 0, 0, 0, 0, 841};
    EXPECT_EQ(time_text(f, 16), "2020-01-01 00:00:00");   // no zone read
    EXPECT_EQ(time_text(f, 23), bad);
    f.tz_minutes = 0;
    EXPECT_EQ(time_text(f, 17), arg);
    EXPECT_EQ(time_text(f, 16, 10), arg);
    EXPECT_EQ(time_text(f, 16, -2), arg);

    // Every byte pattern gives text within the area or a code.
    std::mt19937 rng(7);
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

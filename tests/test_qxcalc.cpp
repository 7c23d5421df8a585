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

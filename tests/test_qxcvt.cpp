// Character-set conversion, character lengths and validation, checked
// against the C library's iconv called directly.
#include <gtest/gtest.h>

#include <iconv.h>
#include <string>
#include <tuple>
#include <vector>

#include "qxcvt_lead.h"
#include "fldr_internal.h"
#include "support/scratch.h"

namespace {

const char *const kName[] = {nullptr, "UTF-8", "GBK", "BIG5", "ISO-8859-9", "EUC-JP", "EUC-KR",
                             "KOI8-R", "ISO-8859-1", "ASCII", "GB18030", "ISO-8859-11"};

using qxtest::iconv_to;

struct Cvt {
    int32_t rc;
    std::string out;
    uint32_t used, bad, len;
};

// Converts through qx_LocalToUtf (to_utf8) or qx_UtfToLocal into a guarded buffer.
Cvt convert(bool to_utf8, const std::string &src, uint32_t code, uint32_t dst_size)
{
    Cvt c{0, {}, 99, 99, 99};   // every count is set by the call
    std::vector<char> dst(dst_size + 1, '\x7F');
    c.rc = (to_utf8 ? qx_LocalToUtf : qx_UtfToLocal)(src.data(), static_cast<uint32_t>(src.size()), code,
                                                     dst.data(), dst_size, &c.used, &c.bad, &c.len);
    EXPECT_LE(c.len, dst_size);
    EXPECT_EQ(dst[dst_size], '\x7F') << "wrote past dst_size";
    c.out.assign(dst.data(), c.len);
    return c;
}
// "rc used bad" and the bytes written, for one comparison.
std::string show(const Cvt &c)
{
    return std::to_string(c.rc) + " " + std::to_string(c.used) + " " + std::to_string(c.bad) + " " + c.out;
}
// A whole conversion of `in` with `bad` replacements that wrote `out`.
std::string whole(const std::string &in, uint32_t bad, const std::string &out)
{
    return "0 " + std::to_string(in.size()) + " " + std::to_string(bad) + " " + out;
}
Cvt to_utf(const std::string &src, uint32_t code, uint32_t size = 4096) { return convert(true, src, code, size); }
Cvt from_utf(const std::string &src, uint32_t code, uint32_t size = 4096) { return convert(false, src, code, size); }

int32_t valid(const std::string &s, uint32_t code)
{
    return qx_get_valid_chars(s.data(), static_cast<uint32_t>(s.size()), code, 0, 0);
}

} // namespace

// Simplified texts to GB18030 and GBK and back, traditional ones to BIG5 as the diagnostic records do it, and a
// character outside the BMP, which takes GB18030's four-byte form.
TEST(QxCvt, ChineseTextsMatchIconvBothWays)
{
    ucvt_init();
    ucvt_init();   // idempotent
    std::vector<std::pair<std::string, uint32_t>> texts{{"x\xF0\x9F\x98\x80y", QXCVT_GB18030}};
    for (const mout_row_t &row : g_fldr_console_msgs)
        texts.insert(texts.end(),
                     {{row.text_zh_cn, QXCVT_GB18030}, {row.text_zh_cn, QXCVT_GBK}, {row.text_zh_tw, QXCVT_BIG5}});
    for (const auto &[utf, code] : texts) {
        const std::string local = iconv_to(kName[code], "UTF-8", utf);
        EXPECT_EQ(show(from_utf(utf, code)), whole(utf, 0, local)) << utf;
        EXPECT_EQ(show(to_utf(local, code)), whole(local, 0, utf)) << utf;
    }
    EXPECT_EQ(iconv_to("GB18030", "UTF-8", texts[0].first).size(), 6u);
}

TEST(QxCvt, OutputStopsBeforeACharacterThatDoesNotFit)
{
    const std::string utf = "ab中文\xF0\x9F\x98\x80" "c表";
    for (uint32_t code : {QXCVT_GB18030, QXCVT_BIG5, QXCVT_UTF8}) {
        const Cvt full = from_utf(utf, code);
        const std::string full_utf = to_utf(full.out, code).out;
        for (uint32_t size = 0; size <= full.out.size() + 1; ++size) {
            SCOPED_TRACE(testing::Message() << "code " << code << " size " << size);
            const Cvt part = from_utf(utf, code, size);
            ASSERT_EQ(part.rc, 0);
            // A prefix of the whole output that ends between characters, and
            // the input consumed is exactly what produced it.
            EXPECT_EQ(part.out, full.out.substr(0, part.len));
            EXPECT_EQ(from_utf(utf.substr(0, part.used), code).out, part.out);
            EXPECT_EQ(valid(part.out, code), 0);
            if (part.used < utf.size()) {
                const Cvt next = from_utf(utf.substr(part.used), code);
                EXPECT_GT(part.len + encoding_mblen(code, next.out.c_str(), 0), size)
                    << "stopped although the next character fits";
            }
            // The way back, from the local set.
            const Cvt back = to_utf(full.out, code, size);
            EXPECT_EQ(back.out, full_utf.substr(0, back.len));
            EXPECT_EQ(to_utf(full.out.substr(0, back.used), code).out, back.out);
            EXPECT_EQ(valid(back.out, QXCVT_UTF8), 0);
        }
    }
    char dst[4];   // NULL out-pointers are allowed
    EXPECT_EQ(qx_LocalToUtf("abc", 3, QXCVT_GBK, dst, sizeof dst, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(dst, 3), "abc");
}

TEST(QxCvt, InvalidAndCutCharactersBecomeQuestionMarks)
{
    const std::tuple<uint32_t, bool, std::string, std::string, uint32_t> cases[] = {
        // UTF-8 input: a stray byte, a cut character at the end, overlong
        // forms, a surrogate, a code point above U+10FFFF.
        {QXCVT_GB18030, false, "a\xFF" "b\xE4\xB8", "a?b?", 2}, {QXCVT_GB18030, false, "\xC0\xAF" "x", "??x", 2},
        {QXCVT_GB18030, false, "\xE0\x80\xAF", "???", 3}, {QXCVT_GB18030, false, "\xED\xA0\x80z", "???z", 3},
        {QXCVT_GB18030, false, "\xF4\x90\x80\x80", "????", 4},
        {QXCVT_UTF8, false, "ok\xE4\xB8" ",\xE4\xB8\xAD", "ok?,\xE4\xB8\xAD", 1},
        {QXCVT_UTF8, true, "\xED\xBF\xBF" "\xF0\x9F\x98\x80", "???\xF0\x9F\x98\x80", 3},
        // Valid UTF-8 with no counterpart in the target set (U+8FD9 is simplified only).
        {QXCVT_BIG5, false, "\xE8\xBF\x99!", "?!", 1}, {QXCVT_ASCII, false, "caf\xC3\xA9", "caf?", 1},
        {QXCVT_LATIN1, false, "\xC3\xA9\xE4\xB8\xAD", "\xE9?", 1},
        // Local input: a lead byte without a trail keeps the ASCII after it; a cut four-byte form.
        {QXCVT_GB18030, true, "\x81\x20x", "? x", 1}, {QXCVT_GBK, true, "\xD6\xD0\xFF", "\xE4\xB8\xAD?", 1},
        {QXCVT_GB18030, true, "\xD6\xD0\x81\x30", "\xE4\xB8\xAD?", 1},
        {QXCVT_BIG5, true, "\xA4\xA4\xA4", "\xE4\xB8\xAD?", 1}, {QXCVT_ASCII, true, "a\x80z", "a?z", 1},
    };
    for (const auto &[code, to_utf8, in, out, bad] : cases)
        EXPECT_EQ(show(to_utf8 ? to_utf(in, code) : from_utf(in, code)), whole(in, bad, out))
            << "code " << code << " input " << testing::PrintToString(in);
    // A '?' needs room like any character: with no room left nothing is consumed.
    EXPECT_EQ(show(from_utf("ab\xFF", QXCVT_GBK, 2)), "0 2 0 ab");
    // An unknown code converts nothing and writes nothing.
    const std::string none = std::to_string(QXCVT_ERR_UNKNOWN_CODE) + " 0 0 ";
    for (uint32_t code : {0u, 12u, 0xFFFFFFFFu}) {
        EXPECT_EQ(show(to_utf("abc", code)) + show(from_utf("abc", code)), none + none);
        EXPECT_EQ(encoding_mblen(code, "\xE4\xB8\xAD", 0), 1u);
    }
}

// Every character of every multi-byte set, as iconv encodes it, is measured whole by encoding_mblen and
// qxcvt_mblen_fast, accepted by qx_get_valid_chars, and refused when cut by one byte.
TEST(QxCvt, LengthsAndValidationAgreeWithIconvOnEveryCharacter)
{
    for (uint32_t code : {QXCVT_UTF8, QXCVT_GBK, QXCVT_GB18030, QXCVT_BIG5, QXCVT_EUCJP, QXCVT_EUCKR}) {
        iconv_t cd = iconv_open(kName[code], "WCHAR_T");
        ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
        size_t chars = 0;
        for (wchar_t cp = 0x80; cp <= 0x10FFFF; cp += (cp < 0x10000 ? 1 : 97)) {
            // No surrogates. iconv takes C1 controls as single bytes in the EUC sets, where the lead-byte rule
            // counts them as lead bytes: refused there.
            const bool c1_in_euc = ((code == QXCVT_EUCKR && cp >= 0x81) || code == QXCVT_EUCJP) && cp <= 0xA0;
            if ((cp >= 0xD800 && cp <= 0xDFFF) || c1_in_euc)
                continue;
            char buf[16], *ip = reinterpret_cast<char *>(&cp), *op = buf;
            size_t il = sizeof cp, ol = sizeof buf - 1;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            // No counterpart in this set, or dropped as ignorable (tags U+E00xx).
            if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || op == buf)
                continue;
            const std::string enc(buf, op), padded = enc + '\0';
            ++chars;
            ASSERT_TRUE(encoding_mblen(code, padded.c_str(), 0) == enc.size() &&
                        qxcvt_mblen_fast(code, padded.c_str()) == enc.size() && valid(enc, code) == 0 &&
                        (enc.size() == 1 || valid(enc.substr(0, enc.size() - 1), code) == QXCVT_ERR_INVALID_CHAR))
                << kName[code] << " U+" << std::hex << static_cast<uint32_t>(cp) << " " << testing::PrintToString(enc);
        }
        iconv_close(cd);
        EXPECT_GT(chars, 5000u) << kName[code];
    }
}

TEST(QxCvt, ValidationRefusesCutAndMalformedCharacters)
{
    const int32_t bad = QXCVT_ERR_INVALID_CHAR;
    const std::tuple<uint32_t, std::string, int32_t> cases[] = {
        {QXCVT_UTF8, "", 0}, {QXCVT_UTF8, "plain ascii text, long enough for the word loop", 0},
        {QXCVT_UTF8, "\xE4\xB8" "abcdefghij", bad},   // cut, then more
        // Overlong forms and a lead past U+10FFFF (the others are in the conversion table above), a stray
        // continuation after a word of ASCII.
        {QXCVT_UTF8, "\xC1\xBF", bad}, {QXCVT_UTF8, "\xF0\x8F\xBF\xBF", bad}, {QXCVT_UTF8, "\xF5\x80\x80\x80", bad},
        {QXCVT_UTF8, "abcdefgh\x80", bad},
        // Whole and cut characters of the multi-byte sets are checked against iconv above.
        {QXCVT_GBK, "\xD6\x30", bad}, {QXCVT_GBK, "\x81\x7F", bad},                            // digit trail: not GBK
        {QXCVT_GBK, "\x80", 0}, {QXCVT_GB18030, "\x80", bad},                                  // the euro sign
        {QXCVT_GB18030, "\x81\x30\x20\x30", bad}, {QXCVT_BIG5, "\xA4\x80", bad},              // trail in 7F-A0
        {QXCVT_BIG5, "\x80", 0}, {QXCVT_EUCKR, "\x90", bad}, {QXCVT_EUCKR, "\xB0\x41", bad},
        {QXCVT_EUCJP, "\x8F\xB0", bad}, {QXCVT_EUCJP, "\x8E\xE0", bad}, {QXCVT_ASCII, "abc\x80", bad},
        {QXCVT_LATIN1, "\x80\xFF", 0}, {QXCVT_TIS620, "\xA1\xDF", 0}, {QXCVT_TIS620, "\xDB", bad},
    };
    for (const auto &[code, bytes, want] : cases)
        EXPECT_EQ(valid(bytes, code), want) << "code " << code << " " << testing::PrintToString(bytes);
}


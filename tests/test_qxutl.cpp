// Path checks and character-safe truncation.
#include <gtest/gtest.h>

#include <string>

#include "qxcvt.h"
#include "qxmout.h"
#include "qxutl.h"

namespace {

struct Trunc {
    std::string out;
    uint32_t len;
};

// Truncates `text` (which may go on after `bytes`) into a guarded buffer.
Trunc trunc(const std::string &text, uint32_t bytes)
{
    std::string dst(bytes + 2, '#');
    Trunc t{};
    EXPECT_EQ(utl_trunc_str_ex(text.c_str(), dst.data(), bytes, &t.len), 0);
    EXPECT_EQ(dst[bytes + 1], '#') << "wrote past bytes + 1";
    EXPECT_EQ(dst[t.len], '\0');
    t.out = dst.substr(0, t.len);
    return t;
}

struct ForcedCode {
    explicit ForcedCode(int32_t code) { mout_force_local_code(code, -1); }
    ~ForcedCode() { mout_force_local_code(-1, -1); }
};

} // namespace

TEST(QxUtl, PathNamesAreCheckedForLengthForbiddenBytesAndDoubleByteTrails)
{
    // "\xA4\x7C" is one BIG5 character whose trail byte is '|'.
    const char *big5_name = "d\\\xA4\x7C.txt";
    {
        ForcedCode big5(QXCVT_BIG5);
        EXPECT_TRUE(is_valid_pathname_raw(big5_name, 1));
        EXPECT_FALSE(is_valid_pathname_raw("d\\\xA4\x7C|.txt", 1));
        EXPECT_TRUE(is_valid_pathname_raw("end\xA4", 1));  // lead byte at the end
    }
    ForcedCode utf8(QXCVT_UTF8);
    EXPECT_FALSE(is_valid_pathname_raw(big5_name, 1));
    EXPECT_TRUE(is_valid_pathname_raw("C:\\load\\数据.txt", 1));
    EXPECT_TRUE(is_valid_pathname_raw(std::string(256, 'a').c_str(), 1));
    EXPECT_FALSE(is_valid_pathname_raw(std::string(257, 'a').c_str(), 1));
    EXPECT_FALSE(is_valid_pathname_raw("", 1));
    EXPECT_FALSE(is_valid_pathname_raw(nullptr, 1));
    for (const char *bad : {"a<b", "a>b", "a\"b", "a|b", "a*b", "a?b", "a\tb", "a\x01" "b", "a\x1f"})
        EXPECT_FALSE(is_valid_pathname_raw(bad, 1)) << testing::PrintToString(bad);
    EXPECT_TRUE(is_valid_pathname_raw("a b\x7f", 0));
}

TEST(QxUtl, TruncationNeverSplitsACharacter)
{
    // UTF-8: "中文" is E4 B8 AD E6 96 87.
    EXPECT_EQ(trunc("中文abc", 4).out, "中");
    EXPECT_EQ(trunc("中文abc", 5).out, "中");
    EXPECT_EQ(trunc("中文abc", 6).out, "中文");
    EXPECT_EQ(trunc("中文abc", 7).out, "中文a");
    EXPECT_EQ(trunc("\xF0\x9F\x98\x80!", 3).out, "");
    EXPECT_EQ(trunc("ab\xC3\xA9", 3).len, 2u);
    // GBK / GB18030: "中文" is D6 D0 CE C4; a four-byte form is 81 30 81 30.
    EXPECT_EQ(trunc("\xD6\xD0\xCE\xC4xy", 3).out, "\xD6\xD0");
    EXPECT_EQ(trunc("\xD6\xD0\xCE\xC4xy", 4).out, "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(trunc("a\x81\x30\x81\x30z", 3).out, "a");
    // BIG5 with a '\' trail byte: A5 5C.
    EXPECT_EQ(trunc("x\xA5\x5C", 2).out, "x");

    // No cut when the text ends at the limit or stops there: a name of a
    // list file ends before ',' or a line end, whatever its character set.
    EXPECT_EQ(trunc("\xC4\xE3,next", 2).out, "\xC4\xE3");  // GBK name, looks like cut UTF-8
    EXPECT_EQ(trunc("\xD6\xD0\r\n", 2).out, "\xD6\xD0");
    EXPECT_EQ(trunc("中", 3).out, "中");
    EXPECT_EQ(trunc("short", 64).out, "short");
    EXPECT_EQ(trunc("anything", 0).len, 0u);

    uint32_t len = 99;
    char dst[4] = "xyz";
    EXPECT_EQ(utl_trunc_str_ex(nullptr, dst, 3, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_STREQ(dst, "");
}

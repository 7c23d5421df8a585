// Path checks and character-safe truncation.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "qxcvt.h"
#include "qxmout.h"
#include "qxutl.h"

namespace {

// Truncates `text` (which may go on after `bytes`) into a guarded buffer.
std::string trunc(const std::string &text, uint32_t bytes)
{
    std::string dst(bytes + 2, '#');
    uint32_t len = 0;
    EXPECT_EQ(utl_trunc_str_ex(text.c_str(), dst.data(), bytes, &len), 0);
    EXPECT_EQ(dst[bytes + 1], '#') << "wrote past bytes + 1";
    EXPECT_EQ(dst[len], '\0');
    return dst.substr(0, len);
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
    EXPECT_TRUE(is_valid_pathname_raw("C:\\load\\数据.txt", 1) && is_valid_pathname_raw(std::string(256, 'a').c_str(), 1));
    EXPECT_FALSE(is_valid_pathname_raw(big5_name, 1) || is_valid_pathname_raw(nullptr, 1));
    const std::string too_long(257, 'a');
    for (const char *bad : {too_long.c_str(), "", "a<b", "a>b", "a\"b", "a|b", "a*b", "a?b", "a\tb", "a\x01" "b", "a\x1f"})
        EXPECT_FALSE(is_valid_pathname_raw(bad, 1)) << testing::PrintToString(bad);
    EXPECT_TRUE(is_valid_pathname_raw("a b\x7f", 0));
}

TEST(QxUtl, TruncationNeverSplitsACharacter)
{
    // UTF-8: "中文" is E4 B8 AD E6 96 87. GBK / GB18030: "中文" is D6 D0 CE C4; a four-byte form is 81 30 81 30. BIG5
    // with a '\' trail byte: A5 5C. No cut when the text ends at the limit or stops there: a name of a list file
    // ends before ',' or a line end, whatever its character set.
    const std::tuple<std::string, uint32_t, std::string> cases[] = {
        {"中文abc", 4, "中"}, {"中文abc", 5, "中"}, {"中文abc", 6, "中文"}, {"中文abc", 7, "中文a"},
        {"\xF0\x9F\x98\x80!", 3, ""}, {"ab\xC3\xA9", 3, "ab"}, {"\xD6\xD0\xCE\xC4xy", 3, "\xD6\xD0"},
        {"\xD6\xD0\xCE\xC4xy", 4, "\xD6\xD0\xCE\xC4"}, {"a\x81\x30\x81\x30z", 3, "a"}, {"x\xA5\x5C", 2, "x"},
        {"\xC4\xE3,next", 2, "\xC4\xE3"},   // GBK name, looks like cut UTF-8
        {"\xD6\xD0\r\n", 2, "\xD6\xD0"}, {"中", 3, "中"}, {"short", 64, "short"}, {"anything", 0, ""},
    };
    for (const auto &[text, bytes, want] : cases)
        EXPECT_EQ(trunc(text, bytes), want) << testing::PrintToString(text) << " " << bytes;

    uint32_t len = 99;
    char dst[4] = "xyz";
    EXPECT_EQ(utl_trunc_str_ex(nullptr, dst, 3, &len), 0);
    EXPECT_TRUE(len == 0 && dst[0] == '\0');
}

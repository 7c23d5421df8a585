#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "qxcalc.h"
#include "qxdta.h"
#include "qxfldr_comm.h"

namespace {

int32_t is_null(const char *val, int32_t len, uint32_t mode, const char *null_str = nullptr,
                int32_t word = 0)
{
    const uint32_t null_len = null_str != nullptr ? static_cast<uint32_t>(std::strlen(null_str)) : 0;
    return fldr_is_nullvalue(word, val, len, null_str, null_len, mode);
}

std::string trimmed(std::string text)
{
    char *p = text.data();
    uint32_t len = static_cast<uint32_t>(text.size());
    fldr_trim_str(&p, &len);
    return std::string(p, len);
}

/* Converts with an exact-size destination (src_len + 1) in its own block. */
int32_t unhex(const std::string &src, std::string *out)
{
    auto dst = std::make_unique<char[]>(src.size() + 1);
    uint32_t len = 0xDEAD;
    int32_t rc = fldr_convert_hex_if_necessary(src.data(), static_cast<int32_t>(src.size()), dst.get(), &len);
    if (rc == 0) {
        EXPECT_EQ(dst[len], '\0');
        out->assign(dst.get(), len);
    }
    return rc;
}

} // namespace

TEST(Values, NullRulesApplyInOrder)
{
    // Mode 2: an empty field is an empty string, even with an empty null string.
    EXPECT_EQ(is_null("", 0, 2), 0);
    EXPECT_EQ(is_null(nullptr, -1, 2), 1);
    EXPECT_EQ(is_null(nullptr, -1, 1), 1);
    // Mode 0 and no null string: the absent marker alone is not null.
    EXPECT_EQ(is_null(nullptr, -1, 0), 0);
    EXPECT_EQ(is_null("", 0, 0), 1);
    EXPECT_EQ(is_null("", 0, 1), 0);
    // A null string decides alone, case-sensitively.
    EXPECT_EQ(is_null("NA", 2, 1, "NA"), 1);
    EXPECT_EQ(is_null("na", 2, 1, "NA"), 0);
    EXPECT_EQ(is_null("NAB", 3, 1, "NA"), 0);
    EXPECT_EQ(is_null("NULL", 4, 1, "NA", 1), 0);
    EXPECT_EQ(is_null("", 0, 0, "NA"), 0);        // rule 3 wins over rule 4
    EXPECT_EQ(is_null(nullptr, -1, 0, "NA"), 0);
    // The null word.
    EXPECT_EQ(is_null("nUlL", 4, 1, nullptr, 1), 1);
    EXPECT_EQ(is_null("NULL", 4, 1, nullptr, 0), 0);
    EXPECT_EQ(is_null("NULLS", 5, 1, nullptr, 1), 0);
    EXPECT_EQ(is_null("nul ", 4, 1, nullptr, 1), 0);
    EXPECT_EQ(is_null("abcd", 4, 0, nullptr, 2), 0);
}

TEST(Values, TrimDropsOnlyBlanks)
{
    EXPECT_EQ(trimmed("  ab c  "), "ab c");
    EXPECT_EQ(trimmed("\tab\t"), "\tab\t");
    EXPECT_EQ(trimmed("   "), "");
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(trimmed("x"), "x");

    char blanks[] = "   ";
    char *p = blanks;
    uint32_t len = 3;
    fldr_trim_str(&p, &len);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(p, blanks + 3);   // the pointer ends at the value's end
    uint32_t null_len = FLDR_NULL_LEN;
    p = blanks;
    fldr_trim_str(&p, &null_len);
    EXPECT_EQ(null_len, FLDR_NULL_LEN);
}

TEST(Values, HexEscapes)
{
    std::string out;
    EXPECT_EQ(unhex("A0X41B", &out), 0);
    EXPECT_EQ(out, "AAB");
    EXPECT_EQ(unhex("0x410X42", &out), 0);
    EXPECT_EQ(out, "AB");
    EXPECT_EQ(unhex("0x00z", &out), 0);
    EXPECT_EQ(out, std::string("\0z", 2));
    EXPECT_EQ(unhex("ab0X", &out), 0);            // exactly two bytes left: copied
    EXPECT_EQ(out, "ab0X");
    EXPECT_EQ(unhex("0", &out), 0);
    EXPECT_EQ(out, "0");
    EXPECT_EQ(unhex("", &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(unhex("plain text", &out), 0);
    EXPECT_EQ(out, "plain text");
    EXPECT_EQ(unhex("0X4", &out), FLDR_ERR_HEX_ESCAPE);
    EXPECT_EQ(unhex("xx0x4", &out), FLDR_ERR_HEX_ESCAPE);
    EXPECT_EQ(unhex("0XG1", &out), FLDR_HEX_DIGIT_ERROR);
    EXPECT_EQ(unhex("0X1 ", &out), FLDR_HEX_DIGIT_ERROR);
    // Out length is optional.
    char dst[8];
    EXPECT_EQ(fldr_convert_hex_if_necessary("0x61", 4, dst, nullptr), 0);
    EXPECT_STREQ(dst, "a");
}

TEST(Values, CharacterMap)
{
    auto inst = std::make_unique<fldr_inst>();
    std::memset(inst.get(), 0, sizeof(fldr_inst));
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 'a'), 'a');   // empty map
    inst->repl_from_cnt = 2;
    inst->repl_from[0] = 'a';
    inst->repl_from[1] = 'b';
    inst->repl_to_cnt = 1;
    inst->repl_to[0] = 'x';
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 'a'), 'x');
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 'b'), 'b');
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 'c'), 'c');
    // The first position counts; bytes above 0x7F map as well.
    inst->repl_from_cnt = 3;
    inst->repl_from[2] = 'a';
    inst->repl_to_cnt = 3;
    inst->repl_to[1] = static_cast<uint8_t>(0xB0);
    inst->repl_to[2] = 'z';
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 'a'), 'x');
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 'b'), 0xB0);
    // A count past the array is held to it.
    inst->repl_from_cnt = 100000;
    inst->repl_from[255] = 0xFF;
    inst->repl_to_cnt = 100000;
    inst->repl_to[255] = 'Q';
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 0xFF), 'Q');
}

TEST(Values, ChrWidths)
{
    char out[5];
    std::memset(out, 0x7E, sizeof out);
    EXPECT_EQ(fldr_chr(65, out), 0);
    EXPECT_STREQ(out, "A");
    EXPECT_EQ(fldr_chr(0, out), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(fldr_chr(0xB0A1, out), 0);
    EXPECT_EQ(std::string(out, 3), std::string("\xB0\xA1\0", 3));
    EXPECT_EQ(fldr_chr(0xFF, out), 0);
    EXPECT_EQ(std::string(out, 2), std::string("\xFF\0", 2));
    EXPECT_EQ(fldr_chr(0x100, out), 0);
    EXPECT_EQ(std::string(out, 3), std::string("\x01\x00\0", 3));
    EXPECT_EQ(fldr_chr(0xE4B8AD, out), 0);
    EXPECT_EQ(std::string(out, 4), std::string("\xE4\xB8\xAD\0", 4));
    EXPECT_EQ(fldr_chr(0x1000000, out), 0);
    EXPECT_EQ(std::string(out, 5), std::string("\x01\0\0\0\0", 5));
    EXPECT_EQ(fldr_chr(0xF0908D88u, out), 0);
    EXPECT_EQ(std::string(out, 5), std::string("\xF0\x90\x8D\x88\0", 5));
}

TEST(Values, ConversionNeed)
{
    EXPECT_EQ(fldr_data_need_cvt(2, 10), 1);   // GBK to GB18030
    EXPECT_EQ(fldr_data_need_cvt(10, 2), 0);   // GB18030 to GBK
    EXPECT_EQ(fldr_data_need_cvt(2, 6), 0);    // GBK to EUC-KR
    EXPECT_EQ(fldr_data_need_cvt(9, 1), 0);    // single byte to UTF-8
    EXPECT_EQ(fldr_data_need_cvt(2, 1), 1);
    EXPECT_EQ(fldr_data_need_cvt(1, 2), 1);
    EXPECT_EQ(fldr_data_need_cvt(1, 9), 1);
    EXPECT_EQ(fldr_data_need_cvt(1, 1), 0);
    EXPECT_EQ(fldr_data_need_cvt(2, 2), 0);
    EXPECT_EQ(fldr_data_need_cvt(3, 10), 0);
}

TEST(Values, DuplicateColumnNames)
{
    fldr_col cols[3];
    std::memset(cols, 0, sizeof cols);
    std::strcpy(cols[0].name, "Id");
    std::strcpy(cols[1].name, "name");
    std::strcpy(cols[2].name, "ID");
    cols[0].next = &cols[1];
    cols[1].next = &cols[2];
    EXPECT_EQ(fldr_lst_col_check(&cols[0]), FLDR_ERR_COLUMN_MISMATCH);
    EXPECT_EQ(fldr_lst_col_check(&cols[1]), 0);
    EXPECT_EQ(fldr_lst_col_check(&cols[2]), 0);   // the last column
    std::strcpy(cols[2].name, "Id2");
    EXPECT_EQ(fldr_lst_col_check(&cols[0]), 0);
    // Names that fill all 129 bytes without a terminator compare within the array.
    std::memset(cols[0].name, 'a', sizeof cols[0].name);
    std::memset(cols[2].name, 'A', sizeof cols[2].name);
    EXPECT_EQ(fldr_lst_col_check(&cols[0]), FLDR_ERR_COLUMN_MISMATCH);
}

TEST(Values, StringAssignedAsConstant)
{
    fldr_env env;
    mem_env_init(&env);
    mem_heap_t *heap = mem_heap_create_low(&env, 0, 1024, 0, 0, "test", __LINE__, 1);
    ASSERT_NE(heap, nullptr);
    qxdta_nstr value{};
    value.type = QXDT_VARCHAR2;
    EXPECT_EQ(fldr_dop_from_str(&env, heap, "abcdef", 4, &value), 0);
    EXPECT_EQ(std::string(value.ptr, value.len), "abcd");
    value.type = QXDT_DOUBLE;
    EXPECT_LT(fldr_dop_from_str(&env, heap, "1.5", 3, &value), 0);
    mem_heap_free(&env, heap);
}

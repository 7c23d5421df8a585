#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "qxcalc.h"
#include "qxdta.h"
#include "qxfldr_comm.h"
#include "support/fpar_test_util.h"

namespace {

/* The trimmed value behind the offset where it now starts: "2:ab". */
std::string trimmed(std::string text)
{
    char *p = text.data();
    uint32_t len = static_cast<uint32_t>(text.size());
    fldr_trim_str(&p, &len);
    return std::to_string(p - text.data()) + ":" + std::string(p, len);
}

} // namespace

TEST(Values, NullRulesApplyInOrder)
{
    struct row { const char *val; int32_t len; uint32_t mode; const char *null_str; int32_t word; int32_t null; };
    const row rows[] = {
        {"", 0, 2, nullptr, 0, 0},       // mode 2: an empty field is an empty string
        {nullptr, -1, 2, nullptr, 0, 1}, {nullptr, -1, 1, nullptr, 0, 1},
        {nullptr, -1, 0, nullptr, 0, 0}, // mode 0 without a null string: the marker alone is not null
        {"", 0, 0, nullptr, 0, 1},       {"", 0, 1, nullptr, 0, 0},
        {"NA", 2, 1, "NA", 0, 1},        {"na", 2, 1, "NA", 0, 0},    // a null string decides alone, by case
        {"NAB", 3, 1, "NA", 0, 0},       {"NULL", 4, 1, "NA", 1, 0},  {"", 0, 0, "NA", 0, 0},
        {"nUlL", 4, 1, nullptr, 1, 1},   {"NULL", 4, 1, nullptr, 0, 0},
        {"NULLS", 5, 1, nullptr, 1, 0},  {"nul ", 4, 1, nullptr, 1, 0},
    };
    for (const row &r : rows) {
        const uint32_t null_len = r.null_str != nullptr ? static_cast<uint32_t>(std::strlen(r.null_str)) : 0;
        EXPECT_EQ(fldr_is_nullvalue(r.word, r.val, r.len, r.null_str, null_len, r.mode), r.null)
            << (r.val ? r.val : "(absent)") << " mode " << r.mode;
    }
}

TEST(Values, TrimDropsOnlyBlanks)
{
    // All blanks: empty, starting at the value's end.
    EXPECT_EQ(trimmed("  ab c  ") + " " + trimmed("\tab\t") + " " + trimmed("") + " " + trimmed("   "),
              "2:ab c 0:\tab\t 0: 3:");
    char blanks[] = "   ";
    char *p = blanks;
    uint32_t null_len = FLDR_NULL_LEN;   // NULL stays NULL
    fldr_trim_str(&p, &null_len);
    EXPECT_EQ(null_len, FLDR_NULL_LEN);
}

TEST(Values, HexEscapes)
{
    const std::string fail_cut = "error " + std::to_string(FLDR_ERR_HEX_ESCAPE);
    const std::string fail_digit = "error " + std::to_string(FLDR_HEX_DIGIT_ERROR);
    const std::pair<std::string, std::string> cases[] = {
        {"A0X41B", "AAB"}, {"0x410X42", "AB"}, {"0x00z", std::string("\0z", 2)}, {"plain", "plain"},
        {"ab0X", "ab0X"},  // exactly two bytes left: copied
        {"0", "0"}, {"", ""}, {"0X4", fail_cut}, {"xx0x4", fail_cut}, {"0XG1", fail_digit}, {"0X1 ", fail_digit},
    };
    for (const auto &[src, expected] : cases) {
        // An exact-size destination (length + 1) in its own block, ended by a zero byte.
        auto dst = std::make_unique<char[]>(src.size() + 1);
        uint32_t len = 0xDEAD;
        const int32_t rc = fldr_convert_hex_if_necessary(src.data(), static_cast<int32_t>(src.size()), dst.get(), &len);
        EXPECT_EQ(rc == 0 ? std::string(dst.get(), len + 1) : "error " + std::to_string(rc),
                  rc == 0 ? expected + '\0' : expected) << src;
    }
    char dst[8];   // the out length is optional
    EXPECT_EQ(fldr_convert_hex_if_necessary("0x61", 4, dst, nullptr), 0);
    EXPECT_STREQ(dst, "a");
}

TEST(Values, CharacterMap)
{
    auto inst = std::make_unique<fldr_inst>();   // value-initialised: an empty map
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 'a'), 'a');
    // 'b' has no counterpart in the shorter list: kept, as an unlisted 'c' is;
    // a byte listed twice takes its first counterpart.
    std::memcpy(inst->repl_from, "aba", 3);
    std::memcpy(inst->repl_to, "xyz", 3);
    inst->repl_from_cnt = 3;
    inst->repl_to_cnt = 1;
    for (auto [in, out] : {std::pair{'a', 'x'}, {'b', 'b'}, {'c', 'c'}})
        EXPECT_EQ(fldr_get_replace_char(inst.get(), static_cast<unsigned char>(in)), out) << in;
    // A count past the array is held to it.
    inst->repl_from_cnt = inst->repl_to_cnt = 100000;
    inst->repl_from[255] = 0xFF;
    inst->repl_to[255] = 'Q';
    EXPECT_EQ(fldr_get_replace_char(inst.get(), 0xFF), 'Q');
}

TEST(Values, ChrWidths)
{
    const std::pair<uint32_t, std::string> cases[] = {
        {65, "A"}, {0xFF, "\xFF"}, {0x100, std::string("\x01\x00", 2)}, {0xB0A1, "\xB0\xA1"},
        {0xE4B8AD, "\xE4\xB8\xAD"}, {0x1000000, std::string("\x01\0\0\0", 4)}, {0xF0908D88u, "\xF0\x90\x8D\x88"},
    };
    for (const auto &[code, bytes] : cases) {
        char out[6];
        std::memset(out, 0x7E, sizeof out);
        EXPECT_EQ(fldr_chr(code, out), 0);
        EXPECT_EQ(std::string(out, bytes.size() + 1), bytes + '\0') << code;
        EXPECT_EQ(out[5], 0x7E);
    }
}

TEST(Values, DuplicateColumnNames)
{
    fpar_test::Parse p("LOAD INFILE 'a' INTO TABLE T (\"Id\", \"name\", \"ID\")");
    ASSERT_EQ(p.rc, 0);
    fldr_col *id = p.ctl()->col_first, *name = id->next, *twin = name->next;
    // The first column finds its twin without regard to case; the later ones look only after themselves.
    EXPECT_EQ(fpar_test::join(fldr_lst_col_check(id), fldr_lst_col_check(name), fldr_lst_col_check(twin)),
              fpar_test::join(FLDR_ERR_COLUMN_MISMATCH, 0, 0));
    std::strcpy(twin->name, "Id2");
    EXPECT_EQ(fldr_lst_col_check(id), 0);
    // Names that fill all 129 bytes without a terminator compare within the array.
    std::memset(id->name, 'a', sizeof id->name);
    std::memset(twin->name, 'A', sizeof twin->name);
    EXPECT_EQ(fldr_lst_col_check(id), FLDR_ERR_COLUMN_MISMATCH);
}

TEST(Values, ConversionNeed)
{
    // {from, to, need}: GBK to GB18030 alone among non-UTF-8 pairs; a single-byte source never.
    const int32_t cases[][3] = {{2, 10, 1}, {10, 2, 0}, {2, 6, 0}, {9, 1, 0}, {2, 1, 1},
                                {1, 2, 1},  {1, 9, 1},  {1, 1, 0}, {2, 2, 0}, {3, 10, 0}};
    for (const auto &c : cases) EXPECT_EQ(fldr_data_need_cvt(c[0], c[1]), c[2]) << c[0] << " to " << c[1];
}

TEST(Values, StringAssignedAsConstant)
{
    fpar_test::Parse on;   // for its environment and heap
    qxdta_nstr value{};
    value.type = QXDT_VARCHAR2;
    EXPECT_EQ(fldr_dop_from_str(&on.env, on.heap, "abcdef", 4, &value), 0);
    EXPECT_EQ(std::string(value.ptr, value.len), "abcd");
    value.type = QXDT_DOUBLE;
    EXPECT_LT(fldr_dop_from_str(&on.env, on.heap, "1.5", 3, &value), 0);
}

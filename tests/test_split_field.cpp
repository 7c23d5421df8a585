/*
** Field extraction: the three scan modes, enclosures, escapes, NULL marks,
** positions, multi-byte characters and every result code. Each call runs on
** bytes that end right before an inaccessible page, and each result is also
** checked against the plain reference scanner.
*/
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qxcvt.h"
#include "support/split_reference.h"

using splitref::guarded_bytes;
using splitref::split_table;

namespace {

struct opts {
    uint32_t    mode = 0;
    uint32_t    is_last = 0;
    uint32_t    charset = QXCVT_UTF8;
    uint32_t    enclosed_rows = 0;
    std::string row_term = "\n";
    uint32_t    more_data = 1;
};

struct cut_result {
    int32_t     rc = 0;
    bool        is_null_len = false;   /* out_len == all bits set */
    std::string value;                 /* the value bytes unless NULL */
    uint32_t    len = 0;
    uint32_t    used = 0;
    long        value_off = 0;         /* -1 when out_value is NULL */
    uint32_t    more_data = 1;
};

cut_result cut(const split_table &t, const fldr_col *col, const std::string &row, const opts &o = {})
{
    guarded_bytes lib(row);
    guarded_bytes ref(row);
    std::vector<char> work(row.size() + 1);
    cut_result r;
    char *value = reinterpret_cast<char *>(1);
    uint32_t used = 0xDEADBEEF;
    r.more_data = o.more_data;
    r.rc = fldr_get_nth_val_len(&t.ctl, col, o.is_last, o.row_term.data(),
                                static_cast<uint16_t>(o.row_term.size()), lib.data(), lib.size(),
                                o.charset, o.mode, o.enclosed_rows, &value, &r.len, &used,
                                work.data(), nullptr, &r.more_data);
    r.used = used;
    r.is_null_len = r.len == FLDR_NULL_LEN;
    char *const unset = reinterpret_cast<char *>(1);
    r.value_off = value == unset ? -2 : value ? value - lib.data() : -1;
    if (value != nullptr && !r.is_null_len && r.rc >= 0)
        r.value.assign(value, r.len);

    /* The reference must agree on everything, including the row bytes. */
    char *ref_value = reinterpret_cast<char *>(1);
    uint32_t ref_len = 0, ref_used = 0xDEADBEEF, ref_more = o.more_data;
    int32_t ref_rc = splitref::get_nth_val_len(&t.ctl, col, o.is_last, o.row_term.data(),
                                               static_cast<uint16_t>(o.row_term.size()), ref.data(),
                                               ref.size(), o.charset, o.mode, o.enclosed_rows,
                                               &ref_value, &ref_len, &ref_used, work.data(), &ref_more);
    EXPECT_EQ(r.rc, ref_rc);
    EXPECT_EQ(r.len, ref_len);
    EXPECT_EQ(used, ref_used);
    EXPECT_EQ(r.more_data, ref_more);
    EXPECT_EQ(r.value_off, ref_value == unset ? -2 : ref_value ? ref_value - ref.data() : -1);
    EXPECT_EQ(std::string(lib.data(), lib.size()), std::string(ref.data(), ref.size()));
    return r;
}

/* Cuts every column of a row, advancing by the bytes consumed; values are
** written as text, NULL as "<NULL>". Stops at the first negative result. */
struct row_result {
    std::vector<std::string> values;
    int32_t                  rc = 0;
};

row_result cut_row(split_table &t, std::string row, opts o = {})
{
    row_result out;
    std::vector<char> work(row.size() + 1);
    char *data = row.data();
    uint32_t left = static_cast<uint32_t>(row.size());
    uint32_t more = 1;
    for (fldr_col *col = t.ctl.col_first; col != nullptr; col = col->next) {
        char *value = nullptr;
        uint32_t len = 0, used = 0;
        const uint32_t is_last = col->next == nullptr ? 1 : 0;
        out.rc = fldr_get_nth_val_len(&t.ctl, col, is_last, o.row_term.data(),
                                      static_cast<uint16_t>(o.row_term.size()), data, left, o.charset,
                                      o.mode, o.enclosed_rows, &value, &len, &used, work.data(),
                                      nullptr, &more);
        if (out.rc < 0)
            break;
        if (len == FLDR_NULL_LEN)
            out.values.push_back("<NULL>");
        else
            out.values.emplace_back(value, len);
        data += used;
        left -= used;
    }
    return out;
}

}  // namespace

TEST(FieldPlainMode, DelimitedFieldsAndTheRowTerminator)
{
    split_table t(",", "\"", "\\");
    cut_result r = cut(t, nullptr, "ab,cd\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "ab");
    EXPECT_EQ(r.used, 3u);
    /* A terminator followed by the row terminator consumes both. */
    r = cut(t, nullptr, "ab,\n");
    EXPECT_EQ(r.used, 4u);
    /* An empty unenclosed field is NULL, reported with length 0. */
    r = cut(t, nullptr, ",x\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.len, 0u);
    EXPECT_EQ(r.used, 1u);
    /* The last field ends at the row terminator. */
    r = cut(t, nullptr, "cd\n", {.is_last = 1});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "cd");
    EXPECT_EQ(r.used, 3u);
    /* ... or at the end of the data. */
    r = cut(t, nullptr, "cd", {.is_last = 1});
    EXPECT_EQ(r.value, "cd");
    EXPECT_EQ(r.used, 2u);
}

TEST(FieldPlainMode, DoubledEnclosuresAreRebuiltInPlace)
{
    split_table t(",", "\"", "\\");
    cut_result r = cut(t, nullptr, "\"ab\"\"c\",z\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "ab\"c");
    EXPECT_EQ(r.used, 8u);
    EXPECT_EQ(r.value_off, 1);
    /* The enclosure protects terminators; the value skips the enclosures. */
    r = cut(t, nullptr, "\"a,b\",z\n");
    EXPECT_EQ(r.value, "a,b");
    EXPECT_EQ(r.value_off, 1);
    EXPECT_EQ(r.used, 6u);
    /* An enclosed empty value is not NULL. */
    r = cut(t, nullptr, "\"\",z\n", {.mode = 0});
    EXPECT_EQ(r.len, 0u);
    EXPECT_EQ(r.used, 3u);
    /* Three fields with doubled enclosures in a row keep their neighbours. */
    row_result rr;
    t.add_col();
    t.add_col();
    t.add_col();
    rr = cut_row(t, "\"\"\"x\"\"\",\"y\"\"\",plain\n");
    ASSERT_EQ(rr.rc, 0);
    EXPECT_EQ(rr.values, (std::vector<std::string>{"\"x\"", "y\"", "plain"}));
}

TEST(FieldPlainMode, RowTerminatorInsideAnEnclosureIsADataError)
{
    split_table t(",", "\"", "\\");
    EXPECT_EQ(cut(t, nullptr, "\"ab\ncd\",x\n").rc, FLDR_ERR_DATA);
    /* An enclosure left open at the end of the data. */
    EXPECT_EQ(cut(t, nullptr, "\"abc", {.is_last = 1}).rc, FLDR_ERR_DATA);
    EXPECT_EQ(cut(t, nullptr, "\"", {.is_last = 1}).rc, FLDR_ERR_DATA);
}

TEST(FieldPlainMode, BytesAfterTheClosingEnclosure)
{
    split_table t(",", "\"", "\\");
    /* Last column: stray bytes up to the row terminator are consumed. */
    cut_result r = cut(t, nullptr, "\"ab\"xy\n", {.is_last = 1});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "ab");
    EXPECT_EQ(r.used, 7u);
    /* Not the last column: a missing terminator means too few columns. */
    r = cut(t, nullptr, "\"ab\"xy,z\n");
    EXPECT_EQ(r.rc, FLDR_ERR_TOO_FEW_COLUMNS);
    /* A quote after value bytes opens an enclosure that the row never closes. */
    r = cut(t, nullptr, "ab\"\n", {.is_last = 1});
    EXPECT_EQ(r.rc, FLDR_ERR_DATA);
    /* Without an enclosure such bytes belong to the value. */
    r = cut(t, nullptr, "ab xy\n", {.is_last = 1});
    EXPECT_EQ(r.value, "ab xy");
}

TEST(FieldEnclosedRowsMode, NullsEmptyValuesAndTerminatorsInEnclosures)
{
    split_table t(",", "\"", "\\");
    cut_result r = cut(t, nullptr, ",,x\n", {.mode = 1});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.is_null_len);
    EXPECT_EQ(r.used, 1u);
    r = cut(t, nullptr, "\"\",x\n", {.mode = 1});
    EXPECT_FALSE(r.is_null_len);
    EXPECT_EQ(r.len, 0u);
    /* A doubled enclosure is not special: it closes the value. */
    r = cut(t, nullptr, "\"a\"\"b\",x\n", {.mode = 1});
    EXPECT_EQ(r.rc, FLDR_ERR_TOO_FEW_COLUMNS);
    EXPECT_EQ(r.len, 1u);
    /* With enclosed rows the row terminator belongs to the value. */
    r = cut(t, nullptr, "\"a\nb\",x\n", {.mode = 1, .enclosed_rows = 1});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "a\nb");
    EXPECT_EQ(r.used, 6u);
    r = cut(t, nullptr, "\"a\nb\",x\n", {.mode = 1, .enclosed_rows = 0});
    EXPECT_EQ(r.rc, FLDR_ERR_DATA);
}

TEST(FieldEscapedMode, EscapesAndTheNullMark)
{
    split_table t(",", "\"", "\\");
    cut_result r = cut(t, nullptr, "\\N,x\n", {.mode = 2});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.is_null_len);
    EXPECT_EQ(r.used, 3u);
    /* The escape puts the terminator into the value, rebuilt in place. */
    r = cut(t, nullptr, "a\\,b,x\n", {.mode = 2});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "a,b");
    EXPECT_EQ(r.value_off, 0);
    EXPECT_EQ(r.used, 5u);
    /* An escaped escape and an escaped row terminator. */
    r = cut(t, nullptr, "a\\\\b\\\nc\n", {.mode = 2, .is_last = 1});
    EXPECT_EQ(r.value, "a\\b\nc");
    EXPECT_EQ(r.used, 8u);
    /* An empty value is an empty string unless marked NULL. */
    r = cut(t, nullptr, ",x\n", {.mode = 2});
    EXPECT_FALSE(r.is_null_len);
    EXPECT_EQ(r.len, 0u);
    /* The mark after value bytes does not make the value NULL. */
    r = cut(t, nullptr, "ab\\N,x\n", {.mode = 2});
    EXPECT_EQ(r.value, "ab");
    /* The mark ends the value: what follows must be a terminator. */
    r = cut(t, nullptr, "\\Nab,x\n", {.mode = 2});
    EXPECT_EQ(r.rc, FLDR_ERR_TOO_FEW_COLUMNS);
    /* The mark inside an enclosure closes it. */
    r = cut(t, nullptr, "\"\\N\",x\n", {.mode = 2});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.is_null_len);
    EXPECT_EQ(r.used, 5u);
    /* An escape at the very end of the data. */
    r = cut(t, nullptr, "ab\\", {.mode = 2, .is_last = 1});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "ab");
    EXPECT_EQ(r.used, 3u);
    /* Without an escape, mode 2 slices and nothing is a mark. */
    splitref::set_sep_string(t.sep.escape, &t.sep.escape_len, "");
    r = cut(t, nullptr, "\\N,x\n", {.mode = 2});
    EXPECT_EQ(r.value, "\\N");
}

TEST(FieldResults, TooFewColumnsAndTrailingNulls)
{
    split_table t(",", "", "\\");
    t.add_col();
    t.add_col();
    t.add_col();
    row_result rr = cut_row(t, "a,b\n");
    EXPECT_EQ(rr.rc, FLDR_ERR_TOO_FEW_COLUMNS);
    EXPECT_EQ(rr.values, (std::vector<std::string>{"a"}));

    t.ctl.trailing_flag = 1;
    rr = cut_row(t, "a,b\n", {.mode = 1});
    EXPECT_EQ(rr.rc, 0);
    EXPECT_EQ(rr.values, (std::vector<std::string>{"a", "b", "<NULL>"}));
    rr = cut_row(t, "a,b\n", {.mode = 0});
    EXPECT_EQ(rr.values, (std::vector<std::string>{"a", "b", ""}));

    /* Nothing left of the row at all. */
    t.ctl.trailing_flag = 0;
    EXPECT_EQ(cut(t, nullptr, "", {}).rc, FLDR_ERR_TOO_FEW_COLUMNS);
    cut_result r = cut(t, nullptr, "", {.mode = 1, .is_last = 1});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.is_null_len);
    EXPECT_EQ(r.used, 0u);
}

TEST(FieldResults, ClashingSeparatorsAreRefused)
{
    split_table t(",", "\"", "\\");
    fldr_col *col = t.add_col("", ",");
    EXPECT_EQ(cut(t, col, "a,b\n").rc, FLDR_ERR_SEP_IS_ENCLOSE);
    /* The column's own terminator clears the clash. */
    fldr_col *ok = t.add_col(";", ",");
    cut_result r = cut(t, ok, ",a;b,;x\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "a;b");
    /* Escape equal to the terminator or to the enclosure: refused in every mode. */
    split_table esc("\\", "\"", "\\");
    EXPECT_EQ(cut(esc, nullptr, "a\n", {.mode = 0}).rc, FLDR_ERR_SEP_IS_ENCLOSE);
    split_table esc2(",", "'", "'");
    EXPECT_EQ(cut(esc2, nullptr, "a\n", {.mode = 2}).rc, FLDR_ERR_SEP_IS_ENCLOSE);
}

TEST(FieldPositions, PositionResetAndPositionalValues)
{
    split_table t(",", "", "\\");
    fldr_col *pos = t.add_col("", "", 3, 5);
    fldr_col *tail = t.add_col("", "", 8, 20);
    fldr_col *delimited = t.add_col();
    std::string row = "0123456789\n";

    char *start = nullptr;
    uint32_t left = 0;
    ASSERT_EQ(fldr_nth_val_position_reset(pos, row.data(), 11, &start, &left), 0);
    EXPECT_EQ(start, row.data() + 2);
    EXPECT_EQ(left, 9u);
    cut_result r = cut(t, pos, row.substr(2));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "234");
    EXPECT_EQ(r.used, 3u);
    EXPECT_EQ(r.more_data, 1u);

    /* A range past the row's end stops before the row terminator. */
    r = cut(t, tail, row.substr(7));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "789");
    EXPECT_EQ(r.more_data, 0u);
    /* ... and a delimited column after it has nothing to take. */
    EXPECT_EQ(cut(t, delimited, "x\n", {.more_data = 0}).rc, FLDR_ERR_DATA);

    /* A start outside the row. */
    fldr_col far{};
    far.pos_start = 30;
    far.pos_end = 40;
    start = row.data();
    ASSERT_EQ(fldr_nth_val_position_reset(&far, row.data(), 11, &start, &left), 0);
    EXPECT_EQ(start, nullptr);
    EXPECT_EQ(left, 11u);
    char *value = row.data();
    uint32_t len = 9, used = 0, more = 1;
    EXPECT_EQ(fldr_get_nth_val_len(&t.ctl, &far, 0, "\n", 1, nullptr, 11, QXCVT_UTF8, 0, 0, &value,
                                   &len, &used, nullptr, nullptr, &more), 0);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(more, 0u);

    /* An end before the start, and no position at all: nothing changes. */
    far.pos_start = 5;
    far.pos_end = 2;
    ASSERT_EQ(fldr_nth_val_position_reset(&far, row.data(), 11, &start, &left), 0);
    EXPECT_EQ(start, nullptr);
    start = row.data() + 4;
    left = 4;
    ASSERT_EQ(fldr_nth_val_position_reset(delimited, row.data(), 11, &start, &left), 0);
    EXPECT_EQ(start, row.data() + 4);
    EXPECT_EQ(left, 4u);

    /* A start position alone: the field is delimited from there. */
    fldr_col *from = t.add_col("", "", 4, -1);
    r = cut(t, from, "3456,789\n");
    EXPECT_EQ(r.value, "3456");
    EXPECT_EQ(r.used, 5u);
}

TEST(FieldCharacters, MultiByteCharactersAreNeverSplit)
{
    /* GBK: 0x81 0x7C is one character whose second byte is '|'. */
    split_table t("|", "", "\\");
    const std::string gbk = "a\x81\x7c" "b|z\n";
    cut_result r = cut(t, nullptr, gbk, {.charset = QXCVT_GBK});
    EXPECT_EQ(r.value, "a\x81\x7c" "b");
    EXPECT_EQ(r.used, 5u);
    /* As single-byte data the same bytes split at the '|'. */
    r = cut(t, nullptr, gbk, {.charset = QXCVT_ASCII});
    EXPECT_EQ(r.value, "a\x81");
    /* BIG5 and the escape: 0xA5 0x5C is one character ending in '\'. */
    r = cut(t, nullptr, "\xa5\x5c|z\n", {.mode = 2, .charset = QXCVT_BIG5});
    EXPECT_EQ(r.value, "\xa5\x5c");
    /* GB18030 four-byte character. */
    r = cut(t, nullptr, "\x81\x30\x81\x30|z\n", {.charset = QXCVT_GB18030});
    EXPECT_EQ(r.value, "\x81\x30\x81\x30");
    /* UTF-8 text across the bulk skip's 16-byte steps. */
    const std::string text = "abcdefghijklmn\xe4\xb8\xad\xe6\x96\x87opqrstuvwxyz0123456789";
    r = cut(t, nullptr, text + "|z\n", {.charset = QXCVT_UTF8});
    EXPECT_EQ(r.value, text);
}

TEST(FieldCharacters, CutCharactersAndBinaryBytes)
{
    split_table t("|", "\"", "\\");
    /* A character cut by the end of the data stops the scan. */
    cut_result r = cut(t, nullptr, "ab\xe4\xb8", {.is_last = 1, .charset = QXCVT_UTF8});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "ab");
    EXPECT_EQ(r.used, 4u);
    r = cut(t, nullptr, "ab\x81", {.is_last = 1, .charset = QXCVT_GBK});
    EXPECT_EQ(r.value, "ab");
    r = cut(t, nullptr, "ab\xe4\xb8", {.is_last = 0, .charset = QXCVT_UTF8});
    EXPECT_EQ(r.rc, FLDR_ERR_TOO_FEW_COLUMNS);
    /* A lead byte whose character would swallow the terminator. */
    r = cut(t, nullptr, "ab\xe4|\n", {.is_last = 1, .charset = QXCVT_UTF8});
    EXPECT_EQ(r.value, "ab\xe4|\n");
    EXPECT_EQ(r.used, 5u);
    /* NULs and control bytes are data. */
    const std::string bin("a\0\x01\x7f" "b|z\n", 8);
    r = cut(t, nullptr, bin, {.charset = QXCVT_ASCII});
    EXPECT_EQ(r.value, std::string("a\0\x01\x7f" "b", 5));
    /* A positional value that ends inside a character. */
    fldr_col *pos = t.add_col("", "", 1, 3);
    r = cut(t, pos, "ab\xe4\xb8\xad|\n", {.charset = QXCVT_UTF8});
    EXPECT_EQ(r.rc, FLDR_ERR_DATA);
    r = cut(t, pos, "abc\xe4\xb8\xad|\n", {.charset = QXCVT_UTF8});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "abc");
}

TEST(FieldTerminators, MultiByteSeparators)
{
    split_table t("<|>", "''", "\\\\");
    t.add_col();
    t.add_col();
    t.add_col();
    row_result rr = cut_row(t, "a<|b<|>''x<|>y''<|>c\r\n", {.row_term = "\r\n"});
    ASSERT_EQ(rr.rc, 0);
    EXPECT_EQ(rr.values, (std::vector<std::string>{"a<|b", "x<|>y", "c"}));
    /* Two-byte row terminator cut by the end of the data. */
    cut_result r = cut(t, nullptr, "c\r", {.is_last = 1, .row_term = "\r\n"});
    EXPECT_EQ(r.value, "c\r");
}

/*
** Field extraction: the three scan modes, enclosures, escapes, NULL marks,
** positions, multi-byte characters and every result code. Each call runs on
** bytes that end right before an inaccessible page, and each result is also
** checked against the plain reference scanner.
*/
#include <gtest/gtest.h>

#include <string>
#include <tuple>
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

/* Cuts every column of a row, advancing by the bytes consumed (each cut
** checked against the reference too); values are written as text, NULL as
** "<NULL>". Stops at the first negative result. */
struct row_result {
    std::vector<std::string> values;
    int32_t                  rc = 0;
};

row_result cut_row(split_table &t, const std::string &row, opts o = {})
{
    row_result out;
    size_t at = 0;
    for (fldr_col *col = t.ctl.col_first; col != nullptr; col = col->next) {
        o.is_last = col->next == nullptr ? 1 : 0;
        const cut_result r = cut(t, col, row.substr(at), o);
        if ((out.rc = r.rc) < 0)
            break;
        out.values.push_back(r.is_null_len ? "<NULL>" : r.value);
        at += r.used;
        o.more_data = r.more_data;
    }
    return out;
}

/* A field cut from the start of `row`. The value "<NULL>" stands for the
** NULL length; `used` and `off` are checked when given. Every case is also
** compared with the reference scanner on all outputs (see cut()). */
constexpr uint32_t ANY = UINT32_MAX;
struct Case {
    opts        o;
    std::string row;
    int32_t     rc;
    std::string value;
    uint32_t    used = ANY;
    long        off = -3;
};

template <size_t N>
void expect_cuts(const split_table &t, const Case (&cases)[N])
{
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.o.mode << " " << testing::PrintToString(c.row));
        const cut_result r = cut(t, nullptr, c.row, c.o);
        EXPECT_EQ(r.rc, c.rc);
        if (c.rc < 0)
            continue;
        EXPECT_EQ(r.is_null_len, c.value == "<NULL>");
        EXPECT_EQ(c.value == "<NULL>" ? c.value : r.value, c.value);
        EXPECT_EQ(c.used == ANY ? ANY : r.used, c.used);
        EXPECT_EQ(c.off == -3 ? -3 : r.value_off, c.off);
    }
}

/* rc, value ("<NULL>" for the NULL length), bytes used and more_data of a
** cut, compared in one go. */
using facts = std::tuple<int32_t, std::string, uint32_t, uint32_t>;
facts facts_of(const cut_result &r) { return {r.rc, r.is_null_len ? "<NULL>" : r.value, r.used, r.more_data}; }

const int32_t bad_data = FLDR_ERR_DATA, too_few = FLDR_ERR_TOO_FEW_COLUMNS;

}  // namespace

/* One field of a row with ',' '"' '\' in each scan mode. */
TEST(FieldModes, DelimitersEnclosuresEscapesAndNullMarks)
{
    const Case cases[] = {
        // Plain: a terminator followed by the row terminator consumes both;
        // an empty unenclosed field has length 0; the last field ends at the
        // row terminator or at the end of the data.
        {{}, "ab,cd\n", 0, "ab", 3},
        {{}, "ab,\n", 0, "ab", 4},
        {{}, ",x\n", 0, "", 1},
        {{.is_last = 1}, "cd\n", 0, "cd", 3},
        {{.is_last = 1}, "cd", 0, "cd", 2},
        // Doubled enclosures are rebuilt in place; the enclosure protects
        // terminators; an enclosed empty value.
        {{}, "\"ab\"\"c\",z\n", 0, "ab\"c", 8, 1},
        {{}, "\"a,b\",z\n", 0, "a,b", 6, 1},
        {{}, "\"\",z\n", 0, "", 3},
        // A row terminator inside an enclosure, an enclosure left open.
        {{}, "\"ab\ncd\",x\n", bad_data, ""},
        {{.is_last = 1}, "\"abc", bad_data, ""},
        {{.is_last = 1}, "\"", bad_data, ""},
        // Bytes after the closing enclosure: consumed up to the row
        // terminator in the last column, too few columns elsewhere; a quote
        // after value bytes opens an enclosure the row never closes.
        {{.is_last = 1}, "\"ab\"xy\n", 0, "ab", 7},
        {{}, "\"ab\"xy,z\n", too_few, ""},
        {{.is_last = 1}, "ab\"\n", bad_data, ""},
        {{.is_last = 1}, "ab xy\n", 0, "ab xy"},
        // Enclosed rows: an empty field is NULL, an enclosed empty one is
        // not; a doubled enclosure closes the value; the row terminator
        // belongs to an enclosed value only with enclosed rows.
        {{.mode = 1}, ",,x\n", 0, "<NULL>", 1},
        {{.mode = 1}, "\"\",x\n", 0, ""},
        {{.mode = 1}, "\"a\"\"b\",x\n", too_few, ""},
        {{.mode = 1, .enclosed_rows = 1}, "\"a\nb\",x\n", 0, "a\nb", 6},
        {{.mode = 1, .enclosed_rows = 0}, "\"a\nb\",x\n", bad_data, ""},
        // Escaped: the NULL mark; an escaped terminator, escape and row
        // terminator rebuilt in place; an empty value is an empty string;
        // the mark after value bytes is data, before them it ends the value;
        // inside an enclosure it closes it; an escape at the very end.
        {{.mode = 2}, "\\N,x\n", 0, "<NULL>", 3},
        {{.mode = 2}, "a\\,b,x\n", 0, "a,b", 5, 0},
        {{.mode = 2, .is_last = 1}, "a\\\\b\\\nc\n", 0, "a\\b\nc", 8},
        {{.mode = 2}, ",x\n", 0, ""},
        {{.mode = 2}, "ab\\N,x\n", 0, "ab"},
        {{.mode = 2}, "\\Nab,x\n", too_few, ""},
        {{.mode = 2}, "\"\\N\",x\n", 0, "<NULL>", 5},
        {{.mode = 2, .is_last = 1}, "ab\\", 0, "ab", 3},
    };
    split_table t(",", "\"", "\\");
    expect_cuts(t, cases);

    /* Three fields with doubled enclosures in a row keep their neighbours. */
    t.add_col();
    t.add_col();
    t.add_col();
    const row_result rr = cut_row(t, "\"\"\"x\"\"\",\"y\"\"\",plain\n");
    ASSERT_EQ(rr.rc, 0);
    EXPECT_EQ(rr.values, (std::vector<std::string>{"\"x\"", "y\"", "plain"}));
    /* Without an escape, mode 2 slices and nothing is a mark. */
    split_table no_escape(",", "\"", "");
    EXPECT_EQ(cut(no_escape, nullptr, "\\N,x\n", {.mode = 2}).value, "\\N");
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
    EXPECT_EQ(facts_of(cut(t, nullptr, "", {.mode = 1, .is_last = 1})), facts(0, "<NULL>", 0, 1));
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
    EXPECT_EQ(facts_of(cut(t, pos, row.substr(2))), facts(0, "234", 3, 1));

    /* A range past the row's end stops before the row terminator. */
    cut_result r = cut(t, tail, row.substr(7));
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
    EXPECT_EQ(facts_of(cut(t, from, "3456,789\n")), facts(0, "3456", 5, 1));
}

TEST(FieldCharacters, MultiByteCharactersAreNeverSplitAndBytesAreData)
{
    const std::string text = "abcdefghijklmn\xe4\xb8\xad\xe6\x96\x87opqrstuvwxyz0123456789";
    const Case cases[] = {
        // GBK 0x81 0x7C is one character whose second byte is '|'; as
        // single-byte data the same bytes split at the '|'.
        {{.charset = QXCVT_GBK}, "a\x81\x7c" "b|z\n", 0, "a\x81\x7c" "b", 5},
        {{.charset = QXCVT_ASCII}, "a\x81\x7c" "b|z\n", 0, "a\x81"},
        // BIG5 0xA5 0x5C ends in '\' and is no escape; a GB18030 four-byte
        // character; UTF-8 text across the bulk skip's 16-byte steps.
        {{.mode = 2, .charset = QXCVT_BIG5}, "\xa5\x5c|z\n", 0, "\xa5\x5c"},
        {{.charset = QXCVT_GB18030}, "\x81\x30\x81\x30|z\n", 0, "\x81\x30\x81\x30"},
        {{.charset = QXCVT_UTF8}, text + "|z\n", 0, text},
        // A character cut by the end of the data stops the scan (too few
        // columns unless it is the last); a lead byte whose character would
        // swallow the terminator; NULs and control bytes are data.
        {{.is_last = 1, .charset = QXCVT_UTF8}, "ab\xe4\xb8", 0, "ab", 4},
        {{.is_last = 1, .charset = QXCVT_GBK}, "ab\x81", 0, "ab"},
        {{.is_last = 0, .charset = QXCVT_UTF8}, "ab\xe4\xb8", too_few, ""},
        {{.is_last = 1, .charset = QXCVT_UTF8}, "ab\xe4|\n", 0, "ab\xe4|\n", 5},
        {{.charset = QXCVT_ASCII}, std::string("a\0\x01\x7f" "b|z\n", 8), 0, std::string("a\0\x01\x7f" "b", 5)},
    };
    split_table t("|", "\"", "\\");
    expect_cuts(t, cases);
    /* A positional value that ends inside a character. */
    fldr_col *pos = t.add_col("", "", 1, 3);
    EXPECT_EQ(cut(t, pos, "ab\xe4\xb8\xad|\n", {.charset = QXCVT_UTF8}).rc, FLDR_ERR_DATA);
    EXPECT_EQ(facts_of(cut(t, pos, "abc\xe4\xb8\xad|\n", {.charset = QXCVT_UTF8})), facts(0, "abc", 3, 1));
}

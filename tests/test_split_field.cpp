/*
** Field extraction: a few cases per scan mode holding the library to what a
** user expects (the differential test holds it to the reference on every
** rule), the calls a caller makes past a row's end, and the position reset.
** Each cut runs on bytes that end right before an inaccessible page.
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
    uint32_t mode = 0, is_last = 0, charset = QXCVT_UTF8, enclosed_rows = 0, more_data = 1;
    int64_t  pos_start = -1, pos_end = -1;   /* a positioned column when given */
};

/* rc, value ("<NULL>" for the NULL length), bytes used, more_data and the
** value's offset in the row (-1 for no value, -2 when never set). */
using cut_result = std::tuple<int32_t, std::string, uint32_t, uint32_t, long>;

cut_result cut(const split_table &t, const fldr_col *col, const std::string &row, const opts &o = {})
{
    guarded_bytes g(row);
    std::vector<char> work(row.size() + 1);
    char *const unset = reinterpret_cast<char *>(1);
    char *value = unset;
    uint32_t len = 0, used = 0xDEADBEEF, more = o.more_data;
    const int32_t rc = fldr_get_nth_val_len(&t.ctl, col, o.is_last, "\n", 1, g.data(), g.size(), o.charset, o.mode,
                                            o.enclosed_rows, &value, &len, &used, work.data(), nullptr, &more);
    const bool has_text = value != nullptr && value != unset && rc >= 0 && len != FLDR_NULL_LEN;
    return {rc, len == FLDR_NULL_LEN ? "<NULL>" : has_text ? std::string(value, len) : "", used, more,
            value == unset ? -2 : value ? value - g.data() : -1};
}

}  // namespace

/* One field of a row with '|' '"' '\' in each scan mode and by position:
** {options, row, value, bytes used (ANY: not checked), value's offset (-3:
** not checked)}; every cut succeeds. */
TEST(FieldCuts, OneCasePerMode)
{
    constexpr uint32_t ANY = UINT32_MAX;
    const std::tuple<opts, std::string, std::string, uint32_t, long> cases[] = {
        // Plain: doubled enclosures rebuilt in place, the enclosure protects
        // terminators; a terminator followed by the row terminator consumes both.
        {{}, "\"a|\"\"c\"|z\n", "a|\"c", 8, 1}, {{}, "ab|\n", "ab", 4, 0},
        // Enclosed rows: an empty field is NULL, an enclosed empty one is not;
        // the row terminator belongs to an enclosed value.
        {{.mode = 1}, "||x\n", "<NULL>", 1, -3}, {{.mode = 1}, "\"\"|x\n", "", 3, -3},
        {{.mode = 1, .enclosed_rows = 1}, "\"a\nb\"|x\n", "a\nb", 6, 1},
        // Escaped: the NULL mark; escaped terminator, escape and row terminator rebuilt in place.
        {{.mode = 2}, "\\N|x\n", "<NULL>", 3, -3}, {{.mode = 2}, "a\\|b|x\n", "a|b", 5, 0},
        {{.mode = 2, .is_last = 1}, "a\\\\b\\\nc\n", "a\\b\nc", 8, 0},
        // GBK 0x81 0x7C is one character whose second byte is '|'.
        {{.charset = QXCVT_GBK}, "a\x81\x7c" "b|z\n", "a\x81\x7c" "b", 5, 0},
        // Positions: a range; one past the row's end stops before the row terminator.
        {{.pos_start = 1, .pos_end = 3}, "234567\n", "234", 3, 0},
        {{.pos_start = 1, .pos_end = 13}, "789\n", "789", ANY, 0},
    };
    split_table t("|", "\"", "\\");
    for (const auto &[o, row, value, used, off] : cases) {
        const fldr_col *col = o.pos_start < 0 ? nullptr : t.add_col("", "", o.pos_start, o.pos_end);
        const auto [got_rc, got_value, got_used, more, got_off] = cut(t, col, row, o);
        EXPECT_EQ(std::make_tuple(got_rc, got_value, used == ANY ? ANY : got_used, off == -3 ? -3 : got_off),
                  std::make_tuple(0, value, used, off)) << "mode " << o.mode << " " << testing::PrintToString(row);
    }
    /* Without an escape, mode 2 slices and nothing is a mark. */
    split_table no_escape(",", "\"", "");
    EXPECT_EQ(std::get<1>(cut(no_escape, nullptr, "\\N,x\n", {.mode = 2})), "\\N");
}

TEST(FieldResults, RowsWithoutDataAndPositionsOutsideTheRow)
{
    /* Too few columns and trailing columns across whole rows are the
    ** differential test's; here the calls a caller makes past a row's end. */
    split_table t(",", "", "\\");
    t.add_col();
    /* Nothing left of the row at all. */
    EXPECT_EQ(std::get<0>(cut(t, nullptr, "")), FLDR_ERR_TOO_FEW_COLUMNS);
    EXPECT_EQ(cut(t, nullptr, "", {.mode = 1, .is_last = 1}), cut_result(0, "<NULL>", 0, 1, 0));
    /* A delimited column after a range that reached the row's end has nothing to take. */
    EXPECT_EQ(std::get<0>(cut(t, t.ctl.col_last, "x\n", {.more_data = 0})), FLDR_ERR_DATA);
    /* A start outside the row leaves no value and no more data (the caller's reset gives NULL). */
    fldr_col far{};
    far.pos_start = 30;
    far.pos_end = 40;
    char *value = reinterpret_cast<char *>(1);
    uint32_t len = 9, used = 0, more = 1;
    EXPECT_EQ(fldr_get_nth_val_len(&t.ctl, &far, 0, "\n", 1, nullptr, 11, QXCVT_UTF8, 0, 0, &value, &len, &used,
                                   nullptr, nullptr, &more), 0);
    EXPECT_TRUE(value == nullptr && len == 0 && more == 0);
}

TEST(FieldPositions, PositionResetFindsTheStartInTheRow)
{
    char row[] = "0123456789\n";
    // {start, end, start before, left before, start after (-1: NULL), left after}:
    // a range; one at the row's last byte; a start outside the row; an end before the start; no position.
    const std::tuple<int64_t, int64_t, long, uint32_t, long, uint32_t> cases[] = {
        {3, 5, -1, 0, 2, 9}, {11, 11, -1, 0, 10, 1}, {30, 40, 0, 0, -1, 11}, {5, 2, -1, 11, -1, 11},
        {-1, -1, 4, 4, 4, 4},
    };
    for (const auto &[pos_start, pos_end, start_in, left_in, start_out, left_out] : cases) {
        fldr_col col{};
        col.pos_start = pos_start;
        col.pos_end = pos_end;
        char *start = start_in < 0 ? nullptr : row + start_in;
        uint32_t left = left_in;
        EXPECT_EQ(fldr_nth_val_position_reset(&col, row, 11, &start, &left), 0);
        EXPECT_EQ(std::make_pair(start ? start - row : -1L, left), std::make_pair(start_out, left_out)) << pos_start;
    }
}

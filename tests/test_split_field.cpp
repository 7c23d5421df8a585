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
    uint32_t mode = 0, is_last = 0, charset = QXCVT_UTF8, enclosed_rows = 0, more_data = 1;
    int64_t  pos_start = -1, pos_end = -1;   /* a positioned column when given */
};

/* rc, value ("<NULL>" for the NULL length), length, bytes used, more_data and
** the value's offset in the row (-1 for no value, -2 when never set). */
using cut_result = std::tuple<int32_t, std::string, uint32_t, uint32_t, uint32_t, long>;
enum { RC, VALUE, LEN, USED, MORE, OFF };

/* Cuts one field with the library and with the reference; both must agree on
** every output and leave the same row bytes behind. */
cut_result cut(const split_table &t, const fldr_col *col, const std::string &row, const opts &o = {})
{
    cut_result out[2];
    std::string after[2];
    char *const unset = reinterpret_cast<char *>(1);
    for (int ref = 0; ref < 2; ref++) {
        guarded_bytes g(row);
        std::vector<char> work(row.size() + 1);
        char *value = unset;
        uint32_t len = 0, used = 0xDEADBEEF, more = o.more_data;
        const int32_t rc =
            ref ? splitref::get_nth_val_len(&t.ctl, col, o.is_last, "\n", 1, g.data(), g.size(), o.charset, o.mode,
                                            o.enclosed_rows, &value, &len, &used, work.data(), &more)
                : fldr_get_nth_val_len(&t.ctl, col, o.is_last, "\n", 1, g.data(), g.size(), o.charset, o.mode,
                                       o.enclosed_rows, &value, &len, &used, work.data(), nullptr, &more);
        const bool has_text = value != nullptr && value != unset && rc >= 0 && len != FLDR_NULL_LEN;
        out[ref] = {rc, len == FLDR_NULL_LEN ? "<NULL>" : has_text ? std::string(value, len) : "", len, used, more,
                    value == unset ? -2 : value ? value - g.data() : -1};
        after[ref].assign(g.data(), g.size());
    }
    EXPECT_EQ(out[0], out[1]) << "library, then reference";
    EXPECT_EQ(after[0], after[1]);
    return out[0];
}

/* Cuts every column of a row, advancing by the bytes consumed; stops at the
** first negative result. */
std::pair<int32_t, std::vector<std::string>> cut_row(split_table &t, const std::string &row, opts o = {})
{
    std::pair<int32_t, std::vector<std::string>> out{0, {}};
    size_t at = 0;
    for (fldr_col *col = t.ctl.col_first; col != nullptr; col = col->next) {
        o.is_last = col->next == nullptr ? 1 : 0;
        const cut_result r = cut(t, col, row.substr(at), o);
        if ((out.first = std::get<RC>(r)) < 0)
            break;
        out.second.push_back(std::get<VALUE>(r));
        at += std::get<USED>(r);
        o.more_data = std::get<MORE>(r);
    }
    return out;
}

/* A field cut from the start of `row`; `used` and `off` are checked when given. */
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
void expect_cuts(split_table &t, const Case (&cases)[N])
{
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.o.mode << " " << testing::PrintToString(c.row));
        const fldr_col *col = c.o.pos_start < 0 ? nullptr : t.add_col("", "", c.o.pos_start, c.o.pos_end);
        const auto [rc, value, len, used, more, off] = cut(t, col, c.row, c.o);
        EXPECT_EQ(rc, c.rc);
        if (c.rc >= 0) {
            EXPECT_EQ(std::make_tuple(value, c.used == ANY ? ANY : used, c.off == -3 ? -3 : off),
                      std::make_tuple(c.value, c.used, c.off));
        }
    }
}


}  // namespace

/* One field of a row with '|' '"' '\' in each scan mode and by position.
** The differential test holds the library to the reference on random rows
** for every rule; these few cases hold the reference itself to what a user
** expects of each mode. */
TEST(FieldCuts, OneCasePerMode)
{
    const Case cases[] = {
        // Plain: doubled enclosures rebuilt in place, the enclosure protects
        // terminators; a terminator followed by the row terminator consumes both.
        {{}, "\"a|\"\"c\"|z\n", 0, "a|\"c", 8, 1}, {{}, "ab|\n", 0, "ab", 4},
        // Enclosed rows: an empty field is NULL, an enclosed empty one is not;
        // the row terminator belongs to an enclosed value.
        {{.mode = 1}, "||x\n", 0, "<NULL>", 1}, {{.mode = 1}, "\"\"|x\n", 0, ""},
        {{.mode = 1, .enclosed_rows = 1}, "\"a\nb\"|x\n", 0, "a\nb", 6},
        // Escaped: the NULL mark; escaped terminator, escape and row terminator rebuilt in place.
        {{.mode = 2}, "\\N|x\n", 0, "<NULL>", 3}, {{.mode = 2}, "a\\|b|x\n", 0, "a|b", 5, 0},
        {{.mode = 2, .is_last = 1}, "a\\\\b\\\nc\n", 0, "a\\b\nc", 8},
        // GBK 0x81 0x7C is one character whose second byte is '|'.
        {{.charset = QXCVT_GBK}, "a\x81\x7c" "b|z\n", 0, "a\x81\x7c" "b", 5},
        // Positions: a range; one past the row's end stops before the row terminator.
        {{.pos_start = 1, .pos_end = 3}, "234567\n", 0, "234", 3}, {{.pos_start = 1, .pos_end = 13}, "789\n", 0, "789"},
    };
    split_table t("|", "\"", "\\");
    expect_cuts(t, cases);

    /* Three fields with doubled enclosures in a row keep their neighbours. */
    split_table row(",", "\"", "\\");
    for (int i = 0; i < 3; i++)
        row.add_col();
    EXPECT_EQ(cut_row(row, "\"\"\"x\"\"\",\"y\"\"\",plain\n"),
              std::make_pair(0, std::vector<std::string>{"\"x\"", "y\"", "plain"}));
    /* Without an escape, mode 2 slices and nothing is a mark. */
    split_table no_escape(",", "\"", "");
    EXPECT_EQ(std::get<VALUE>(cut(no_escape, nullptr, "\\N,x\n", {.mode = 2})), "\\N");
}

TEST(FieldResults, TooFewColumnsTrailingNullsAndRowsWithoutData)
{
    split_table t(",", "", "\\");
    for (int i = 0; i < 3; i++)
        t.add_col();
    using row = std::pair<int32_t, std::vector<std::string>>;
    EXPECT_EQ(cut_row(t, "a,b\n"), (row{FLDR_ERR_TOO_FEW_COLUMNS, {"a"}}));
    t.ctl.trailing_flag = 1;
    EXPECT_EQ(cut_row(t, "a,b\n", {.mode = 1}), (row{0, {"a", "b", "<NULL>"}}));
    EXPECT_EQ(cut_row(t, "a,b\n", {.mode = 0}), (row{0, {"a", "b", ""}}));
    /* Nothing left of the row at all. */
    t.ctl.trailing_flag = 0;
    EXPECT_EQ(std::get<RC>(cut(t, nullptr, "")), FLDR_ERR_TOO_FEW_COLUMNS);
    EXPECT_EQ(cut(t, nullptr, "", {.mode = 1, .is_last = 1}), cut_result(0, "<NULL>", FLDR_NULL_LEN, 0, 1, 0));
    /* A delimited column after a range that reached the row's end has nothing to take. */
    EXPECT_EQ(std::get<RC>(cut(t, t.ctl.col_last, "x\n", {.more_data = 0})), FLDR_ERR_DATA);
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

/*
** WHEN conditions: byte ranges, columns by name, the pad rules, BLANKS, AND
** groups and the null mode.
*/
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "support/scratch.h"
#include "support/split_reference.h"

using namespace qxtest;

namespace {

/* A table clause built by hand: '|' between fields unless told otherwise,
** and the comparisons of its condition. */
class Table : public splitref::split_table {
public:
    explicit Table(const char *field_term = "|") : split_table(field_term, "", "\\")
    {
        fldr_init();   /* long rows take their scratch area from the library pool */
        ctl.row_enclose_len = 0;
        set_bytes(file_.row_term, &file_.row_term_len, "\n");
    }

    fldr_col &column(const char *name)
    {
        fldr_col &col = *add_col();
        std::snprintf(col.name, sizeof col.name, "%s", name);
        col.fun_kind = FLDR_FUN_NONE;
        col.data_type = -1;
        return col;
    }
    void columns(std::initializer_list<const char *> names)
    {
        for (const char *name : names)
            column(name);
    }

    fldr_bexp *by_name(const char *name, uint8_t op, uint8_t kind, const std::string &text = "")
    {
        names_.emplace_back(name);
        return comparison(fldr_bexp_field{0, names_.back().data(), 0, 0}, op, kind, text);
    }
    fldr_bexp *by_range(int64_t start, int64_t end, uint8_t op, uint8_t kind, const std::string &text)
    {
        return comparison(fldr_bexp_field{1, nullptr, start, end}, op, kind, text);
    }

    /* An AND group of the given comparisons as the table's condition. */
    void when_all(std::initializer_list<fldr_bexp *> members)
    {
        fldr_bexp &group = nodes_.emplace_back();
        group.kind = 1;
        for (fldr_bexp *member : members) {
            link_last(group.first, group.last, member);
            group.count++;
        }
        ctl.when_cond = &group;
    }
    void when(fldr_bexp *cmp) { ctl.when_cond = cmp; }

    /* Whether each row is taken, as "1" or "0" a row; every evaluation runs
    ** on a copy of the row and must leave it as it was. */
    std::string holds(std::initializer_list<std::string> rows)
    {
        std::string out;
        for (const std::string &row : rows) {
            std::string bytes = row;
            out += std::to_string(fldr_calc_bexp(&inst_, &ctl, bytes.data(), static_cast<uint32_t>(bytes.size()),
                                                 1, &file_));
            EXPECT_EQ(bytes, row) << "the evaluation changed the row";
        }
        return out;
    }

    fldr_inst &inst() { return inst_; }
    fldr_data_file &file() { return file_; }

    static void set_bytes(char *dst, uint16_t *len, const char *src)
    {
        *len = static_cast<uint16_t>(std::strlen(src));
        std::memcpy(dst, src, *len);
    }

private:
    fldr_bexp *comparison(fldr_bexp_field field, uint8_t op, uint8_t kind, const std::string &text)
    {
        fields_.push_back(field);
        texts_.emplace_back(text);
        fldr_bexp_value &value = values_.emplace_back();
        value.kind = kind;
        value.len = static_cast<uint16_t>(text.size());
        value.text = kind == 4 ? nullptr : texts_.back().data();
        fldr_bexp &node = nodes_.emplace_back();
        node.field = &fields_.back();
        node.op = op;
        node.value = &value;
        return &node;
    }

    fldr_inst                   inst_{};
    fldr_data_file              file_{};
    std::deque<fldr_bexp>       nodes_;
    std::deque<fldr_bexp_field> fields_;
    std::deque<fldr_bexp_value> values_;
    std::deque<std::string>     texts_;
    std::deque<std::string>     names_;
};

constexpr uint8_t EQ = 0;
constexpr uint8_t NE = 1;
constexpr uint8_t STR = 2;
constexpr uint8_t HEX = 3;
constexpr uint8_t BLANKS = 4;

TEST(When, ByteRangesMustEndBeforeTheRowsLastByte)
{
    Table table;
    Table::set_bytes(table.file().row_term, &table.file().row_term_len, "\r\n");
    table.when(table.by_range(1, 3, EQ, STR, "abc"));
    /* "ab\r\n" compares a, b, CR; a last row without terminator: 3 is not
    ** below 3; case matters. */
    EXPECT_EQ(table.holds({"abc\r\n", "ab\r\n", "abc", "abd\r\n", "ABC\r\n"}), "10000");
    Table inside;
    inside.when(inside.by_range(3, 4, EQ, STR, "cd"));
    EXPECT_EQ(inside.holds({"abcde\n", "abcd\n", "abc\n"}), "110");   /* 4 is below 5, not below 4 */
}

TEST(When, ShorterSideIsPaddedWithBlanksOrZeroBytes)
{
    Table table;
    table.when(table.by_range(1, 3, EQ, STR, "A"));
    EXPECT_EQ(table.holds({"A  |x\n", "A B|x\n", "A\0\0|x\n"}), "100");
    Table hex;
    hex.when(hex.by_range(1, 3, EQ, HEX, std::string("A", 1)));
    EXPECT_EQ(hex.holds({std::string("A\0\0|x\n", 6), "A  |x\n"}), "10");
    /* The value longer than the data: its tail must be padding. */
    Table longer;
    longer.when(longer.by_range(1, 2, EQ, STR, "AB  "));
    EXPECT_EQ(longer.holds({"ABC\n"}), "1");
    longer.when(longer.by_range(1, 2, EQ, STR, "ABC"));
    EXPECT_EQ(longer.holds({"ABC\n"}), "0");
}

TEST(When, ColumnsAreFoundByNameWithoutRegardToCase)
{
    Table table;
    table.columns({"id", "City", "note"});
    table.when(table.by_name("CITY", EQ, STR, "Paris"));
    EXPECT_EQ(table.holds({"1|Paris|x\n", "1|Paris  |x\n", "1|Lyon|x\n", "Paris|1|x\n"}), "1100");
    /* Not equal to X on "X  " is false: the blanks pad the shorter side. */
    Table ne;
    ne.columns({"a", "b"});
    ne.when(ne.by_name("b", NE, STR, "X"));
    EXPECT_EQ(ne.holds({"1|X  \n", "1|Y\n"}), "01");
}

TEST(When, BlanksHoldForEmptyAndSpaceOnlyFieldsAndMissingColumnsAreFalse)
{
    Table table;
    table.columns({"a", "b", "c"});
    table.when(table.by_name("b", EQ, BLANKS));
    EXPECT_EQ(table.holds({"1||3\n", "1|   |3\n", "1| x |3\n"}), "110");
    table.when(table.by_name("b", NE, BLANKS));
    EXPECT_EQ(table.holds({"1| x |3\n"}), "1");
    table.when(table.by_name("c", EQ, BLANKS));
    EXPECT_EQ(table.holds({"1|2\n"}), "0");   /* two fields for three columns */
    table.ctl.trailing_flag = 1;
    EXPECT_EQ(table.holds({"1|2\n"}), "1");   /* now the third compares as empty */
    /* A name no column carries is never true, whichever the operator. */
    table.when(table.by_name("nosuch", EQ, BLANKS));
    EXPECT_EQ(table.holds({"1|2|\n"}), "0");
    table.when(table.by_name("nosuch", NE, STR, "zzz"));
    EXPECT_EQ(table.holds({"1|2|3\n"}), "0");
}

TEST(When, AndGroupsNeedEveryComparison)
{
    Table table;
    table.columns({"k", "v"});
    table.when_all({table.by_name("k", EQ, STR, "a"), table.by_range(1, 1, EQ, STR, "a"),
                    table.by_name("v", NE, STR, "skip")});
    EXPECT_EQ(table.holds({"a|keep\n", "a|skip\n", "b|keep\n"}), "100");
    /* No condition, or an empty group: every row is taken. */
    Table empty;
    EXPECT_EQ(empty.holds({"anything|at all\n", ""}), "11");
    empty.when_all({});
    EXPECT_EQ(empty.holds({"x\n"}), "1");
}

TEST(When, NullFieldsFollowTheNullMode)
{
    /* In enclosed-rows mode an empty unenclosed field comes out as NULL. */
    Table table;
    table.inst().scan_mode = FLDR_SCAN_ENCLOSED;
    table.columns({"a", "b", "c"});
    table.when(table.by_name("b", EQ, BLANKS));
    std::string taken;
    for (uint32_t null_mode : {1u, 2u, 0u}) {
        table.inst().null_mode = null_mode;
        taken += table.holds({"1||3\n"});
    }
    EXPECT_EQ(taken, "110");
    table.when(table.by_name("b", NE, STR, "x"));
    EXPECT_EQ(table.holds({"1||3\n", "1|y|3\n"}), "01");
}

TEST(When, ColumnWalkSkipsStartStringConstantsAndHonoursPositions)
{
    Table table;
    Table::set_bytes(table.file().start_str, &table.file().start_len, ">>");
    table.column("a");
    fldr_col &fixed = table.column("k");
    static char constant_text[] = "C";
    fixed.constant = constant_text;
    fixed.constant_len = 1;
    table.column("b");
    table.when(table.by_name("b", EQ, STR, "two"));
    /* Without the start string nothing is skipped. */
    EXPECT_EQ(table.holds({">>one|two\n", "one|two\n", ">>two|one\n"}), "110");

    /* A positioned column counts from the row's first byte after the start string. */
    Table pos;
    Table::set_bytes(pos.file().start_str, &pos.file().start_len, ">>");
    fldr_col &code = pos.column("code");
    code.pos_kind = 2;
    code.pos_start = 3;
    code.pos_end = 4;
    pos.when(pos.by_name("code", EQ, STR, "XY"));
    EXPECT_EQ(pos.holds({">>abXYef\n", "abXYef\n", ">>abZZef\n"}), "110");
    code.pos_start = 40;   /* outside the row: an empty value */
    code.pos_end = 41;
    pos.when(pos.by_name("code", EQ, BLANKS));
    EXPECT_EQ(pos.holds({">>abXYef\n"}), "1");
}

TEST(When, TablesWithoutDeclaredColumnsUseTheColumnDescription)
{
    Table table;
    fldr_tab_col cols[3] = {{"ID", 0}, {"NAME", 0}, {"TOWN", 0}};
    fldr_tab_info info{3, cols};
    table.ctl.tab_info = &info;
    table.when(table.by_name("town", EQ, STR, "Oslo"));
    /* The last one runs out of data before the last name. */
    EXPECT_EQ(table.holds({"1|Ann|Oslo\n", "1|Ann|Bergen\n", "1|Ann\n"}), "100");
    table.ctl.tab_info = nullptr;
    EXPECT_EQ(table.holds({"1|Ann|Oslo\n"}), "0");   /* nothing to look the name up in */
}

TEST(When, EscapedDataIsComparedUnescapedAndTheRowIsLeftAlone)
{
    Table table;
    table.inst().scan_mode = FLDR_SCAN_ESCAPED;
    table.columns({"a", "b", "c"});
    /* The escaped terminator belongs to the first value; holds() checks
    ** that the chunk bytes stay as they were. */
    table.when(table.by_name("c", EQ, STR, "z"));
    EXPECT_EQ(table.holds({"x\\|y|w|z\n"}), "1");
    table.when(table.by_name("a", EQ, STR, "x|y"));
    EXPECT_EQ(table.holds({"x\\|y|w|z\n"}), "1");
    /* Rows longer than the on-stack scratch take the same path. */
    std::string wide(40000, 'q');
    table.when(table.by_name("c", EQ, STR, "z"));
    EXPECT_EQ(table.holds({"x\\|" + wide + "|w|z\n", "x|" + wide + "|w|z\n"}), "10");
}

}  // namespace

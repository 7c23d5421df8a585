/*
** WHEN conditions: byte ranges, columns by name, the pad rules, BLANKS, AND
** groups and the null mode.
*/
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "pipe_rig.h"

using namespace qxtest;

namespace {

/* A table clause built by hand: '|' between fields unless told otherwise. */
class Table {
public:
    explicit Table(const char *field_term = "|")
    {
        fldr_init();   /* long rows take their scratch area from the library pool */
        std::memset(&sep_, 0, sizeof sep_);
        set_bytes(sep_.term, &sep_.term_len, field_term);
        set_bytes(sep_.escape, &sep_.escape_len, "\\");
        ctl_.sep_info = &sep_;
        ctl_.load_mode = 'N';
        std::memset(&inst_, 0, sizeof inst_);
        std::memset(&file_, 0, sizeof file_);
        set_bytes(file_.row_term, &file_.row_term_len, "\n");
    }

    fldr_col &column(const char *name)
    {
        cols_.emplace_back();
        fldr_col &col = cols_.back();
        col_seps_.emplace_back();
        std::memset(&col_seps_.back(), 0, sizeof(fldr_seperator_info));
        std::snprintf(col.name, sizeof col.name, "%s", name);
        col.sep_info = &col_seps_.back();
        col.fun_kind = FLDR_FUN_NONE;
        col.pos_start = -1;
        col.pos_end = -1;
        col.data_type = -1;
        link_last(ctl_.col_first, ctl_.col_last, &col);
        ctl_.col_count++;
        return col;
    }

    void columns(std::initializer_list<const char *> names)
    {
        for (const char *name : names)
            column(name);
    }

    fldr_bexp *by_name(const char *name, uint8_t op, uint8_t kind, const std::string &text = "")
    {
        fields_.emplace_back();
        fields_.back().kind = 0;
        names_.emplace_back(name);
        fields_.back().name = names_.back().data();
        return comparison(&fields_.back(), op, kind, text);
    }

    fldr_bexp *by_range(int64_t start, int64_t end, uint8_t op, uint8_t kind, const std::string &text)
    {
        fields_.emplace_back();
        fields_.back().kind = 1;
        fields_.back().start = start;
        fields_.back().end = end;
        return comparison(&fields_.back(), op, kind, text);
    }

    /* An AND group of the given comparisons as the table's condition. */
    void when_all(std::initializer_list<fldr_bexp *> members)
    {
        nodes_.emplace_back();
        fldr_bexp &group = nodes_.back();
        group.kind = 1;
        for (fldr_bexp *member : members) {
            link_last(group.first, group.last, member);
            group.count++;
        }
        ctl_.when_cond = &group;
    }
    void when(fldr_bexp *cmp) { ctl_.when_cond = cmp; }

    /* Evaluates on a copy of the row and checks that the row was not written. */
    uint32_t holds(const std::string &row)
    {
        std::string bytes = row;
        uint32_t result = fldr_calc_bexp(&inst_, &ctl_, bytes.data(), static_cast<uint32_t>(bytes.size()),
                                         1, &file_);
        EXPECT_EQ(bytes, row) << "the evaluation changed the row";
        return result;
    }

    fldr_ctl &ctl() { return ctl_; }
    fldr_inst &inst() { return inst_; }
    fldr_data_file &file() { return file_; }
    fldr_seperator_info &sep() { return sep_; }

    static void set_bytes(char *dst, uint16_t *len, const char *src)
    {
        *len = static_cast<uint16_t>(std::strlen(src));
        std::memcpy(dst, src, *len);
    }

private:
    fldr_bexp *comparison(fldr_bexp_field *field, uint8_t op, uint8_t kind, const std::string &text)
    {
        texts_.emplace_back(text);
        values_.emplace_back();
        fldr_bexp_value &value = values_.back();
        value.kind = kind;
        value.len = static_cast<uint16_t>(text.size());
        value.text = kind == 4 ? nullptr : texts_.back().data();
        nodes_.emplace_back();
        fldr_bexp &node = nodes_.back();
        node.kind = 0;
        node.field = field;
        node.op = op;
        node.value = &value;
        return &node;
    }

    fldr_ctl                        ctl_{};
    fldr_seperator_info             sep_;
    fldr_inst                       inst_;
    fldr_data_file                  file_;
    std::deque<fldr_col>            cols_;
    std::deque<fldr_seperator_info> col_seps_;
    std::deque<fldr_bexp>           nodes_;
    std::deque<fldr_bexp_field>     fields_;
    std::deque<fldr_bexp_value>     values_;
    std::deque<std::string>         texts_;
    std::deque<std::string>         names_;
};

constexpr uint8_t EQ = 0;
constexpr uint8_t NE = 1;
constexpr uint8_t STR = 2;
constexpr uint8_t HEX = 3;
constexpr uint8_t BLANKS = 4;

TEST(When, ByteRangesMustEndBeforeTheRowsLastByte)
{
    Table table;
    table.file().row_term_len = 2;
    std::memcpy(table.file().row_term, "\r\n", 2);
    table.when(table.by_range(1, 3, EQ, STR, "abc"));
    EXPECT_EQ(table.holds("abc\r\n"), 1u);
    EXPECT_EQ(table.holds("ab\r\n"), 0u);    /* a, b, CR compared */
    EXPECT_EQ(table.holds("abc"), 0u);       /* last row without terminator: 3 is not below 3 */
    EXPECT_EQ(table.holds("abd\r\n"), 0u);
    EXPECT_EQ(table.holds("ABC\r\n"), 0u);   /* case matters */

    Table inside;
    inside.when(inside.by_range(3, 4, EQ, STR, "cd"));
    EXPECT_EQ(inside.holds("abcde\n"), 1u);
    EXPECT_EQ(inside.holds("abcd\n"), 1u);   /* 4 is below the length 5 */
    EXPECT_EQ(inside.holds("abc\n"), 0u);    /* 4 is not below 4 */
}

TEST(When, ShorterSideIsPaddedWithBlanksOrZeroBytes)
{
    Table table;
    table.when(table.by_range(1, 3, EQ, STR, "A"));
    EXPECT_EQ(table.holds("A  |x\n"), 1u);
    EXPECT_EQ(table.holds("A B|x\n"), 0u);
    EXPECT_EQ(table.holds("A\0\0|x\n"), 0u);

    Table hex;
    hex.when(hex.by_range(1, 3, EQ, HEX, std::string("A", 1)));
    EXPECT_EQ(hex.holds(std::string("A\0\0|x\n", 6)), 1u);
    EXPECT_EQ(hex.holds("A  |x\n"), 0u);

    /* The value longer than the data: its tail must be padding. */
    Table longer;
    longer.when(longer.by_range(1, 2, EQ, STR, "AB  "));
    EXPECT_EQ(longer.holds("ABC\n"), 1u);
    Table longer_text;
    longer_text.when(longer_text.by_range(1, 2, EQ, STR, "ABC"));
    EXPECT_EQ(longer_text.holds("ABC\n"), 0u);
}

TEST(When, ColumnsAreFoundByNameWithoutRegardToCase)
{
    Table table;
    table.columns({"id", "City", "note"});
    table.when(table.by_name("CITY", EQ, STR, "Paris"));
    EXPECT_EQ(table.holds("1|Paris|x\n"), 1u);
    EXPECT_EQ(table.holds("1|Paris  |x\n"), 1u);
    EXPECT_EQ(table.holds("1|Lyon|x\n"), 0u);
    EXPECT_EQ(table.holds("Paris|1|x\n"), 0u);

    /* Not equal to X on "X  " is false: the blanks pad the shorter side. */
    Table ne;
    ne.columns({"a", "b"});
    ne.when(ne.by_name("b", NE, STR, "X"));
    EXPECT_EQ(ne.holds("1|X  \n"), 0u);
    EXPECT_EQ(ne.holds("1|Y\n"), 1u);
}

TEST(When, BlanksHoldForEmptyAndSpaceOnlyFields)
{
    Table table;
    table.columns({"a", "b", "c"});
    table.when(table.by_name("b", EQ, BLANKS));
    EXPECT_EQ(table.holds("1||3\n"), 1u);
    EXPECT_EQ(table.holds("1|   |3\n"), 1u);
    EXPECT_EQ(table.holds("1| x |3\n"), 0u);
    table.when(table.by_name("b", NE, BLANKS));
    EXPECT_EQ(table.holds("1| x |3\n"), 1u);
}

TEST(When, MissingColumnsMakeTheComparisonFalse)
{
    Table table;
    table.columns({"a", "b", "c"});
    table.when(table.by_name("c", EQ, BLANKS));
    EXPECT_EQ(table.holds("1|2\n"), 0u);          /* the row has two fields for three columns */
    table.ctl().trailing_flag = 1;
    EXPECT_EQ(table.holds("1|2\n"), 1u);          /* now the third compares as empty */

    /* A name no column carries is never true, whichever the operator. */
    table.when(table.by_name("nosuch", EQ, BLANKS));
    EXPECT_EQ(table.holds("1|2|\n"), 0u);
    table.when(table.by_name("nosuch", NE, STR, "zzz"));
    EXPECT_EQ(table.holds("1|2|3\n"), 0u);
}

TEST(When, AndGroupsNeedEveryComparison)
{
    Table table;
    table.columns({"k", "v"});
    table.when_all({table.by_name("k", EQ, STR, "a"), table.by_range(1, 1, EQ, STR, "a"),
                    table.by_name("v", NE, STR, "skip")});
    EXPECT_EQ(table.holds("a|keep\n"), 1u);
    EXPECT_EQ(table.holds("a|skip\n"), 0u);
    EXPECT_EQ(table.holds("b|keep\n"), 0u);

    /* No condition, or an empty group: every row is taken. */
    Table empty;
    EXPECT_EQ(empty.holds("anything|at all\n"), 1u);
    EXPECT_EQ(empty.holds(""), 1u);
    empty.when_all({});
    EXPECT_EQ(empty.holds("x\n"), 1u);
}

TEST(When, NullFieldsFollowTheNullMode)
{
    /* In enclosed-rows mode an empty unenclosed field comes out as NULL. */
    Table table;
    table.inst().scan_mode = FLDR_SCAN_ENCLOSED;
    table.columns({"a", "b", "c"});
    table.when(table.by_name("b", EQ, BLANKS));
    table.inst().null_mode = 1;
    EXPECT_EQ(table.holds("1||3\n"), 1u);
    table.inst().null_mode = 2;
    EXPECT_EQ(table.holds("1||3\n"), 1u);
    table.inst().null_mode = 0;
    EXPECT_EQ(table.holds("1||3\n"), 0u);
    table.when(table.by_name("b", NE, STR, "x"));
    EXPECT_EQ(table.holds("1||3\n"), 0u);
    EXPECT_EQ(table.holds("1|y|3\n"), 1u);
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
    EXPECT_EQ(table.holds(">>one|two\n"), 1u);
    EXPECT_EQ(table.holds("one|two\n"), 1u);      /* no start string: nothing skipped */
    EXPECT_EQ(table.holds(">>two|one\n"), 0u);

    /* A positioned column counts from the row's first byte after the start string. */
    Table pos;
    Table::set_bytes(pos.file().start_str, &pos.file().start_len, ">>");
    fldr_col &code = pos.column("code");
    code.pos_kind = 2;
    code.pos_start = 3;
    code.pos_end = 4;
    pos.when(pos.by_name("code", EQ, STR, "XY"));
    EXPECT_EQ(pos.holds(">>abXYef\n"), 1u);
    EXPECT_EQ(pos.holds("abXYef\n"), 1u);
    EXPECT_EQ(pos.holds(">>abZZef\n"), 0u);
    code.pos_start = 40;                          /* outside the row: an empty value */
    code.pos_end = 41;
    pos.when(pos.by_name("code", EQ, BLANKS));
    EXPECT_EQ(pos.holds(">>abXYef\n"), 1u);
}

TEST(When, TablesWithoutDeclaredColumnsUseTheColumnDescription)
{
    Table table;
    fldr_tab_col cols[3] = {{"ID", 0}, {"NAME", 0}, {"TOWN", 0}};
    fldr_tab_info info{3, cols};
    table.ctl().tab_info = &info;
    table.when(table.by_name("town", EQ, STR, "Oslo"));
    EXPECT_EQ(table.holds("1|Ann|Oslo\n"), 1u);
    EXPECT_EQ(table.holds("1|Ann|Bergen\n"), 0u);
    EXPECT_EQ(table.holds("1|Ann\n"), 0u);        /* runs out of data before the last name */

    table.ctl().tab_info = nullptr;
    EXPECT_EQ(table.holds("1|Ann|Oslo\n"), 0u);   /* nothing to look the name up in */
}

TEST(When, EscapedDataIsComparedUnescapedAndTheRowIsLeftAlone)
{
    Table table;
    table.inst().scan_mode = FLDR_SCAN_ESCAPED;
    table.columns({"a", "b", "c"});
    table.when(table.by_name("c", EQ, STR, "z"));
    /* The escaped terminator belongs to the first value; holds() checks
    ** that the chunk bytes stay as they were. */
    EXPECT_EQ(table.holds("x\\|y|w|z\n"), 1u);
    table.when(table.by_name("a", EQ, STR, "x|y"));
    EXPECT_EQ(table.holds("x\\|y|w|z\n"), 1u);

    /* Rows longer than the on-stack scratch take the same path. */
    std::string wide(40000, 'q');
    table.when(table.by_name("c", EQ, STR, "z"));
    EXPECT_EQ(table.holds("x\\|" + wide + "|w|z\n"), 1u);
    EXPECT_EQ(table.holds("x|" + wide + "|w|z\n"), 0u);
}

}  // namespace

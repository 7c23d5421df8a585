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

/* A table clause built by hand: '|' between fields, the given columns, and
** the comparisons of its condition. */
class Table : public splitref::split_table {
public:
    explicit Table(std::initializer_list<const char *> names = {}) : split_table("|", "", "\\")
    {
        fldr_init();   /* long rows take their scratch area from the library pool */
        ctl.row_enclose_len = 0;
        set_bytes(file.row_term, &file.row_term_len, "\n");
        for (const char *name : names)
            column(name);
    }

    fldr_col &column(const char *name)
    {
        fldr_col &col = *add_col();
        std::snprintf(col.name, sizeof col.name, "%s", name);
        col.fun_kind = FLDR_FUN_NONE;
        col.data_type = -1;
        return col;
    }

    fldr_bexp *by_name(const char *name, uint8_t op, uint8_t kind, const std::string &text = "")
    {
        return comparison(fldr_bexp_field{0, names_.emplace_back(name).data(), 0, 0}, op, kind, text);
    }
    fldr_bexp *by_range(int64_t start, int64_t end, uint8_t op, uint8_t kind, const std::string &text)
    {
        return comparison(fldr_bexp_field{1, nullptr, start, end}, op, kind, text);
    }
    /* An AND group of the given comparisons. */
    fldr_bexp *all(std::initializer_list<fldr_bexp *> members)
    {
        fldr_bexp &group = nodes_.emplace_back();
        group.kind = 1;
        for (fldr_bexp *member : members) {
            link_last(group.first, group.last, member);
            group.count++;
        }
        return &group;
    }

    /* Whether each row is taken under `cond` (nullptr: the condition set
    ** before), as "1" or "0" a row; every evaluation runs on a copy of the
    ** row and must leave it as it was. */
    std::string holds(fldr_bexp *cond, std::initializer_list<std::string> rows)
    {
        if (cond != nullptr)
            ctl.when_cond = cond;
        std::string out;
        for (const std::string &row : rows) {
            std::string bytes = row;
            out += std::to_string(fldr_calc_bexp(&inst, &ctl, bytes.data(), static_cast<uint32_t>(bytes.size()),
                                                 1, &file));
            EXPECT_EQ(bytes, row) << "the evaluation changed the row";
        }
        return out;
    }

    static void set_bytes(char *dst, uint16_t *len, const char *src)
    {
        std::memcpy(dst, src, *len = static_cast<uint16_t>(std::strlen(src)));
    }

    fldr_inst      inst{};
    fldr_data_file file{};

private:
    fldr_bexp *comparison(fldr_bexp_field field, uint8_t op, uint8_t kind, const std::string &text)
    {
        char *bytes = kind == 4 ? nullptr : texts_.emplace_back(text).data();
        fldr_bexp_value &value = values_.emplace_back(fldr_bexp_value{kind, static_cast<uint16_t>(text.size()), bytes});
        fldr_bexp &node = nodes_.emplace_back();
        node.field = &fields_.emplace_back(field);
        node.op = op;
        node.value = &value;
        return &node;
    }

    std::deque<fldr_bexp>       nodes_;
    std::deque<fldr_bexp_field> fields_;
    std::deque<fldr_bexp_value> values_;
    std::deque<std::string>     texts_;
    std::deque<std::string>     names_;
};

constexpr uint8_t EQ = 0, NE = 1, STR = 2, HEX = 3, BLANKS = 4;

TEST(When, ByteRangesMustEndBeforeTheRowsLastByteAndTheShorterSideIsPadded)
{
    Table t;
    Table::set_bytes(t.file.row_term, &t.file.row_term_len, "\r\n");
    /* "ab\r\n" compares a, b, CR; a last row without terminator: 3 is not
    ** below 3; case matters. */
    EXPECT_EQ(t.holds(t.by_range(1, 3, EQ, STR, "abc"), {"abc\r\n", "ab\r\n", "abc", "abd\r\n", "ABC\r\n"}), "10000");
    Table pad;   /* 4 is below 5, not below 4 */
    EXPECT_EQ(pad.holds(pad.by_range(3, 4, EQ, STR, "cd"), {"abcde\n", "abcd\n", "abc\n"}), "110");
    /* Blanks pad a string, zero bytes the hexadecimal form; a value longer
    ** than the data must end in padding. */
    EXPECT_EQ(pad.holds(pad.by_range(1, 3, EQ, STR, "A"), {"A  |x\n", "A B|x\n", "A\0\0|x\n"}), "100");
    EXPECT_EQ(pad.holds(pad.by_range(1, 3, EQ, HEX, std::string("A", 1)), {std::string("A\0\0|x\n", 6), "A  |x\n"}),
              "10");
    EXPECT_EQ(pad.holds(pad.by_range(1, 2, EQ, STR, "AB  "), {"ABC\n"}), "1");
    EXPECT_EQ(pad.holds(pad.by_range(1, 2, EQ, STR, "ABC"), {"ABC\n"}), "0");
}

TEST(When, ColumnsByNameBlanksGroupsAndNulls)
{
    /* Names without regard to case; not equal to X on "X  " is false. */
    Table t({"id", "City", "note"});
    EXPECT_EQ(t.holds(t.by_name("CITY", EQ, STR, "Paris"), {"1|Paris|x\n", "1|Paris  |x\n", "1|Lyon|x\n",
                                                            "Paris|1|x\n"}), "1100");
    EXPECT_EQ(t.holds(t.by_name("note", NE, STR, "X"), {"1|2|X  \n", "1|2|Y\n"}), "01");
    /* BLANKS holds for empty and all-blank fields; a missing column is
    ** false unless trailing columns may be absent; a name no column carries
    ** is never true, whichever the operator. */
    EXPECT_EQ(t.holds(t.by_name("City", EQ, BLANKS), {"1||3\n", "1|   |3\n", "1| x |3\n"}), "110");
    EXPECT_EQ(t.holds(t.by_name("City", NE, BLANKS), {"1| x |3\n"}), "1");
    EXPECT_EQ(t.holds(t.by_name("note", EQ, BLANKS), {"1|2\n"}), "0");
    t.ctl.trailing_flag = 1;
    EXPECT_EQ(t.holds(nullptr, {"1|2\n"}), "1");
    EXPECT_EQ(t.holds(t.by_name("nosuch", EQ, BLANKS), {"1|2|\n"}), "0");
    EXPECT_EQ(t.holds(t.by_name("nosuch", NE, STR, "zzz"), {"1|2|3\n"}), "0");
    /* An AND group needs every member; no condition or an empty group takes every row. */
    fldr_bexp *group =
        t.all({t.by_name("id", EQ, STR, "a"), t.by_range(1, 1, EQ, STR, "a"), t.by_name("note", NE, STR, "skip")});
    EXPECT_EQ(t.holds(group, {"a|1|keep\n", "a|1|skip\n", "b|1|keep\n"}), "100");
    EXPECT_EQ(t.holds(t.all({}), {"x\n"}), "1");
    Table empty;
    EXPECT_EQ(empty.holds(nullptr, {"anything|at all\n", ""}), "11");
    /* In enclosed-rows mode an empty unenclosed field is NULL, which the null mode decides on. */
    t.inst.scan_mode = FLDR_SCAN_ENCLOSED;
    t.ctl.when_cond = t.by_name("City", EQ, BLANKS);
    std::string taken;
    for (uint32_t null_mode : {1u, 2u, 0u}) {
        t.inst.null_mode = null_mode;
        taken += t.holds(nullptr, {"1||3\n"});
    }
    EXPECT_EQ(taken, "110");
    EXPECT_EQ(t.holds(t.by_name("City", NE, STR, "x"), {"1||3\n", "1|y|3\n"}), "01");
}

TEST(When, ColumnWalkSkipsStartStringConstantsAndHonoursPositions)
{
    Table t({"a"});
    Table::set_bytes(t.file.start_str, &t.file.start_len, ">>");
    static char constant_text[] = "C";
    fldr_col &fixed = t.column("k");
    fixed.constant = constant_text;
    fixed.constant_len = 1;
    t.column("b");
    /* Without the start string nothing is skipped. */
    EXPECT_EQ(t.holds(t.by_name("b", EQ, STR, "two"), {">>one|two\n", "one|two\n", ">>two|one\n"}), "110");

    /* A positioned column counts from the row's first byte after the start string. */
    Table pos;
    Table::set_bytes(pos.file.start_str, &pos.file.start_len, ">>");
    fldr_col &code = pos.column("code");
    code.pos_kind = 2;
    code.pos_start = 3;
    code.pos_end = 4;
    EXPECT_EQ(pos.holds(pos.by_name("code", EQ, STR, "XY"), {">>abXYef\n", "abXYef\n", ">>abZZef\n"}), "110");
    code.pos_start = 40;   /* outside the row: an empty value */
    code.pos_end = 41;
    EXPECT_EQ(pos.holds(pos.by_name("code", EQ, BLANKS), {">>abXYef\n"}), "1");
}

TEST(When, TablesWithoutDeclaredColumnsUseTheColumnDescription)
{
    Table t;
    fldr_tab_col cols[3] = {{"ID", 0}, {"NAME", 0}, {"TOWN", 0}};
    fldr_tab_info info{3, cols};
    t.ctl.tab_info = &info;
    /* The last one runs out of data before the last name. */
    EXPECT_EQ(t.holds(t.by_name("town", EQ, STR, "Oslo"), {"1|Ann|Oslo\n", "1|Ann|Bergen\n", "1|Ann\n"}), "100");
    t.ctl.tab_info = nullptr;
    EXPECT_EQ(t.holds(nullptr, {"1|Ann|Oslo\n"}), "0");   /* nothing to look the name up in */
}

TEST(When, EscapedDataIsComparedUnescapedAndTheRowIsLeftAlone)
{
    Table t({"a", "b", "c"});
    t.inst.scan_mode = FLDR_SCAN_ESCAPED;
    /* The escaped terminator belongs to the first value; holds() checks that
    ** the chunk bytes stay as they were. Rows longer than the on-stack
    ** scratch take the same path. */
    EXPECT_EQ(t.holds(t.by_name("a", EQ, STR, "x|y"), {"x\\|y|w|z\n"}), "1");
    const std::string wide(40000, 'q');
    EXPECT_EQ(t.holds(t.by_name("c", EQ, STR, "z"), {"x\\|y|w|z\n", "x\\|" + wide + "|w|z\n", "x|" + wide + "|w|z\n"}),
              "110");
}

}  // namespace

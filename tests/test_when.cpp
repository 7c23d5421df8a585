/*
** WHEN conditions: byte ranges, columns by name, the pad rules, BLANKS, AND
** groups and the null mode. Table clauses and conditions come from the
** parser, as the loader gets them; the instance and the data file are set by
** hand.
*/
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>

#include "support/fpar_test_util.h"

namespace {

/* A table clause as the parser builds it, with '|' between fields, no row
** enclosure and the given column list ("(a, b)"; "" for none). */
class Table {
public:
    explicit Table(const std::string &columns = "") : table_("LOAD INFILE 'a' INTO TABLE T FIELDS '|' " + columns)
    {
        fldr_init();   /* long rows take their scratch area from the library pool */
        EXPECT_EQ(table_.rc, 0) << columns;
        ctl = table_.rc == 0 ? *table_.ctl() : fldr_ctl{};
        ctl.row_enclose_len = 0;
        set_bytes(file.row_term, &file.row_term_len, "\n");
    }

    /* The condition of a WHEN clause as the parser builds it. */
    fldr_bexp *when(const std::string &condition)
    {
        const auto &p = parses_.emplace_back(
            std::make_unique<fpar_test::Parse>("LOAD INFILE 'a' INTO TABLE T WHEN " + condition));
        EXPECT_EQ(p->rc, 0) << condition;
        fldr_bexp *cond = p->rc == 0 ? p->ctl()->when_cond : nullptr;
        /* A group's links and count, which the evaluation itself does not use. */
        if (cond != nullptr && cond->kind == 1) {
            auto nothing = [](const fldr_bexp *) { return std::string(); };
            EXPECT_EQ(fpar_test::chain(cond->first, cond->last, cond->count, "", nothing), "");
        }
        return cond;
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
    std::string holds(const std::string &condition, std::initializer_list<std::string> rows)
    {
        return holds(when(condition), rows);
    }

    static void set_bytes(char *dst, uint16_t *len, const char *src)
    {
        std::memcpy(dst, src, *len = static_cast<uint16_t>(std::strlen(src)));
    }

    fldr_inst      inst{};
    fldr_data_file file{};
    fldr_ctl       ctl;   /* the parsed record, copied so that a test may change it */

private:
    fpar_test::Parse                              table_;
    std::deque<std::unique_ptr<fpar_test::Parse>> parses_;
};

TEST(When, ByteRangesMustEndBeforeTheRowsLastByteAndTheShorterSideIsPadded)
{
    Table t;
    Table::set_bytes(t.file.row_term, &t.file.row_term_len, "\r\n");
    /* "ab\r\n" compares a, b, CR; a last row without terminator: 3 is not
    ** below 3; case matters. */
    EXPECT_EQ(t.holds("(1:3) = 'abc'", {"abc\r\n", "ab\r\n", "abc", "abd\r\n", "ABC\r\n"}), "10000");
    Table pad;   /* 4 is below 5, not below 4 */
    EXPECT_EQ(pad.holds("(3:4) = 'cd'", {"abcde\n", "abcd\n", "abc\n"}), "110");
    /* Blanks pad a string, zero bytes the hexadecimal form (the loader turns
    ** its digits into bytes); a value longer than the data must end in padding. */
    EXPECT_EQ(pad.holds("(1:3) = 'A'", {"A  |x\n", "A B|x\n", std::string("A\0\0|x\n", 6)}), "100");
    fldr_bexp *hex = pad.when("(1:3) = X '41'");
    hex->value->text[0] = 'A';
    hex->value->len = 1;
    EXPECT_EQ(pad.holds(hex, {std::string("A\0\0|x\n", 6), "A  |x\n"}), "10");
    EXPECT_EQ(pad.holds("(1:2) = 'AB  '", {"ABC\n"}), "1");
    EXPECT_EQ(pad.holds("(1:2) = 'ABC'", {"ABC\n"}), "0");
}

TEST(When, ColumnsByNameBlanksGroupsAndNulls)
{
    /* Names without regard to case; not equal to X on "X  " is false. */
    Table t("(id, \"City\", note)");
    EXPECT_EQ(t.holds("CITY = 'Paris'", {"1|Paris|x\n", "1|Paris  |x\n", "1|Lyon|x\n", "Paris|1|x\n"}), "1100");
    EXPECT_EQ(t.holds("note != 'X'", {"1|2|X  \n", "1|2|Y\n"}), "01");
    /* BLANKS holds for empty and all-blank fields; a missing column is
    ** false unless trailing columns may be absent; a name no column carries
    ** is never true, whichever the operator. */
    EXPECT_EQ(t.holds("City = BLANKS", {"1||3\n", "1|   |3\n", "1| x |3\n"}), "110");
    EXPECT_EQ(t.holds("City <> WHITESPACE", {"1| x |3\n"}), "1");
    EXPECT_EQ(t.holds("note = BLANKS", {"1|2\n"}), "0");
    t.ctl.trailing_flag = 1;
    EXPECT_EQ(t.holds(nullptr, {"1|2\n"}), "1");
    EXPECT_EQ(t.holds("nosuch = BLANKS", {"1|2|\n"}), "0");
    EXPECT_EQ(t.holds("nosuch <> 'zzz'", {"1|2|3\n"}), "0");
    /* An AND group needs every member; no condition or an empty group takes every row. */
    EXPECT_EQ(t.holds("id = 'a' AND (1:1) = 'a' AND note <> 'skip'", {"a|1|keep\n", "a|1|skip\n", "b|1|keep\n"}),
              "100");
    fldr_bexp empty_group{};
    empty_group.kind = 1;
    EXPECT_EQ(t.holds(&empty_group, {"x\n"}), "1");
    Table none;
    EXPECT_EQ(none.holds(nullptr, {"anything|at all\n", ""}), "11");
    /* In enclosed-rows mode an empty unenclosed field is NULL, which the null mode decides on. */
    t.inst.scan_mode = FLDR_SCAN_ENCLOSED;
    t.ctl.when_cond = t.when("City = BLANKS");
    std::string taken;
    for (uint32_t null_mode : {1u, 2u, 0u}) {
        t.inst.null_mode = null_mode;
        taken += t.holds(nullptr, {"1||3\n"});
    }
    EXPECT_EQ(taken, "110");
    EXPECT_EQ(t.holds("City <> 'x'", {"1||3\n", "1|y|3\n"}), "01");
}

TEST(When, ColumnWalkSkipsStartStringConstantsAndHonoursPositions)
{
    Table t("(a, k CONSTANT \"C\", b)");
    Table::set_bytes(t.file.start_str, &t.file.start_len, ">>");
    /* Without the start string nothing is skipped. */
    EXPECT_EQ(t.holds("b = 'two'", {">>one|two\n", "one|two\n", ">>two|one\n"}), "110");

    /* A positioned column counts from the row's first byte after the start string. */
    Table pos("(code POSITION(3:4))");
    Table::set_bytes(pos.file.start_str, &pos.file.start_len, ">>");
    fldr_col &code = *pos.ctl.col_first;
    EXPECT_EQ(pos.holds("code = 'XY'", {">>abXYef\n", "abXYef\n", ">>abZZef\n"}), "110");
    code.pos_start = 40;   /* outside the row: an empty value */
    code.pos_end = 41;
    EXPECT_EQ(pos.holds("code = BLANKS", {">>abXYef\n"}), "1");
}

TEST(When, ColumnDescriptionsAndEscapedData)
{
    /* A table without declared columns looks names up in its column
    ** description; the last row runs out of data before the last name. */
    Table t;
    fldr_tab_col cols[3] = {{"ID", 0}, {"NAME", 0}, {"TOWN", 0}};
    fldr_tab_info info{3, cols};
    t.ctl.tab_info = &info;
    EXPECT_EQ(t.holds("town = 'Oslo'", {"1|Ann|Oslo\n", "1|Ann|Bergen\n", "1|Ann\n"}), "100");
    t.ctl.tab_info = nullptr;
    EXPECT_EQ(t.holds(nullptr, {"1|Ann|Oslo\n"}), "0");   /* nothing to look the name up in */

    /* Escaped data is compared unescaped: the escaped terminator belongs to
    ** the first value; holds() checks that the chunk bytes stay as they
    ** were. Rows longer than the on-stack scratch take the same path. */
    Table e("(a, b, c)");
    e.inst.scan_mode = FLDR_SCAN_ESCAPED;
    EXPECT_EQ(e.holds("a = 'x|y'", {"x\\|y|w|z\n"}), "1");
    const std::string wide(40000, 'q');
    EXPECT_EQ(e.holds("c = 'z'", {"x\\|y|w|z\n", "x\\|" + wide + "|w|z\n", "x|" + wide + "|w|z\n"}), "110");
}

}  // namespace

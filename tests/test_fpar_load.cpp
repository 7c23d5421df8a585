// LOAD statements, INTO TABLE clauses, WHEN conditions and table separators.
#include <gtest/gtest.h>

#include <string>

#include "support/fpar_test_util.h"

using fpar_test::describe;
using fpar_test::Parse;

TEST(FparLoad, DataFilesAndTheirOptions)
{
    // The table record's own defaults are the initialiser's (checked with it); here what the
    // statement sets and the data file's defaults.
    Parse min("LOAD INFILE 'a.txt' INTO TABLE T");
    ASSERT_EQ(fpar_test::join(min.rc, min.result->ctl_count, describe(min.ctl()), min.ctl()->when_cond == nullptr,
                              static_cast<int>(min.ctl()->sep_info->term_given)),
              "0|1|table='T' data_file_count=1|1|0|");
    EXPECT_EQ(describe(min.ctl()->data_file_first), "path='a.txt' row_term='\r\n' row_term_len=2");

    Parse p("LOAD DATA INFILE 'dir/a' STR 'x' STARTING BY X '41', * INTO TABLE T");
    ASSERT_EQ(p.rc, 0);
    fldr_ctl *ctl = p.ctl();
    ASSERT_EQ(ctl->data_file_count, 2u);
    fldr_data_file *a = ctl->data_file_first;
    EXPECT_EQ(describe(a), "path='dir\\a' row_term='x' row_term_len=1 row_term_given=1 start_hex='41' start_given=1");
    EXPECT_EQ(describe(a->next), "path='*' row_term='\r\n' row_term_len=2");
    EXPECT_TRUE(a->next->prev == a && ctl->data_file_last == a->next);

    // Hex row terminator empties the text; a later text form leaves the hex.
    Parse h("LOAD INFILE 'a' TERMINATED BY X '0A' STR '#' STARTING BY 'S' INTO TABLE T");
    ASSERT_EQ(h.rc, 0);
    EXPECT_EQ(describe(h.ctl()->data_file_first),
              "path='a' row_term='#' row_term_len=1 row_term_hex='0A' row_term_given=1 start='S' start_len=1 "
              "start_given=1");

    EXPECT_EQ(describe(Parse("LOAD INFILE LIST 'l1', 'l2' INTO TABLE T").ctl()),
              "table='T' infile_list=1 data_file_count=2");
    Parse dir("LOAD INFILE DIRECTORY 'in/d' INTO TABLE T");
    EXPECT_EQ(describe(dir.ctl()) + " " + dir.ctl()->data_file_first->path,
              "table='T' infile_directory=1 data_file_count=1 in\\d");

    // Files read before a refused one stay.
    Parse too_long("LOAD INFILE 'a', '" + std::string(257, 'f') + "' INTO TABLE T");
    EXPECT_EQ(too_long.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(too_long.ctl()->data_file_count, 1u);
}

TEST(FparLoad, LimitsAndRefusedClauses)
{
    const std::string n256(256, 'f'), t256(256, ';');
    const std::pair<std::string, int32_t> cases[] = {
        {"LOAD INFILE '" + n256 + "' INTO TABLE T", 0},
        {"LOAD INFILE 'a' STR '" + n256 + "x' INTO TABLE T", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' STARTING BY X '" + n256 + "0' INTO TABLE T", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE DIRECTORY 'a', 'b' INTO TABLE T", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' BADFILE '" + std::string(257, 'b') + "' INTO TABLE T", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE " + std::string(128, 'N'), 0},
        {"LOAD INFILE 'a'", FLDR_ERR_PARSE_FAILED},
        {"LOAD INTO TABLE T", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE T OPTIONS(ERRORS=3)", FLDR_ERR_PARSE_FAILED},   // parameters come first
        {"LOAD INFILE 'a' INTO TABLE T WHEN (A = 'x')", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE T WHEN A == 'x'", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE T WHEN A = 'x' EP (5)", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE T EP (1024)", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE T FIELDS '\xe9'", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE T FIELDS '" + t256 + "'", 0},
        {"LOAD INFILE 'a' INTO TABLE T FIELDS '" + t256 + ";'", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE T ESCAPED '" + t256 + "\"'", FLDR_ERR_PARSE_FAILED},
        {"LOAD INFILE 'a' INTO TABLE T ENCLOSE '\"' FIELDS ','", FLDR_ERR_PARSE_FAILED},   // out of order
        {"LOAD INFILE 'a' INTO TABLE T ()", FLDR_ERR_PARSE_FAILED},
    };
    for (const auto &[text, rc] : cases)
        EXPECT_EQ(Parse(text).rc, rc) << text.substr(0, 80);
}

TEST(FparLoad, BadFileModeAndOrder)
{
    Parse p("LOAD INFILE 'a' BADFILE 'x/b.bad' REPLACE INTO TABLE S.T");
    EXPECT_EQ(describe(p.ctl()), "schema='S' table='T' load_mode=R data_file_count=1 bad_file='x/b.bad'");
    EXPECT_EQ(fpar_test::join(Parse("LOAD INFILE 'a' APPEND INTO TABLE T").ctl()->load_mode,
                              Parse("LOAD INFILE 'a' INSERT INTO TABLE T").ctl()->load_mode), "A|I|");

    Parse late("LOAD INFILE 'a' REPLACE BADFILE 'b' INTO TABLE T");
    EXPECT_EQ(fpar_test::join(late.rc, late.err_text()), fpar_test::join(FLDR_ERR_PARSE_FAILED, "BADFILE"));
}

TEST(FparLoad, SeveralTablesAndStatements)
{
    Parse p("OPTIONS(ERRORS=3) OPTIONS(SKIP=2) LOAD INFILE 'a' BADFILE 'b' APPEND INTO TABLE T1 EP (5, 6)\n"
            "INTO TABLE T2 LOAD INFILE 'c' INTO TABLE T3");
    ASSERT_EQ(p.result->ctl_count, 3u);
    EXPECT_EQ(describe(p.ctl(0)), "table='T1' load_mode=A data_file_count=1 bad_file='b'");
    EXPECT_EQ(describe(p.ctl(1)), "table='T2' is_continuation=1");
    EXPECT_EQ(p.ctl(1)->data_file_first, nullptr);
    EXPECT_EQ(describe(p.ctl(2)), "table='T3' data_file_count=1");
    EXPECT_STREQ(p.ctl(2)->data_file_first->path, "c");
    EXPECT_EQ(p.result->ctl_last->ctl, p.ctl(2));
    EXPECT_EQ(p.result->ctl_last->prev->prev, p.result->ctl_first);
    // Parameters before the statements; the site clause goes to the arguments.
    EXPECT_EQ(fpar_test::join(p.args.errors, p.args.skip_rows, p.args.ep_count, p.args.ep_list[1]), "3|2|2|6|");
}

TEST(FparLoad, TableSeparators)
{
    Parse p("LOAD INFILE 'a' INTO TABLE T FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSE BY '\"' "
            "ESCAPED BY '#' TRAILING NULLCOLS");
    EXPECT_EQ(describe(p.ctl()->sep_info),
              "term=',' term_len=1 term_given=1 enclose='\"' enclose_len=1 escape='#' escape_len=1");
    EXPECT_EQ(p.ctl()->trailing_flag, 1u);
    // The hexadecimal forms leave the text forms in place; lengths count digits.
    Parse h("LOAD INFILE 'a' INTO TABLE T FIELDS X '2C2C' ENCLOSE X '22' ESCAPED X '5C'");
    EXPECT_EQ(describe(h.ctl()->sep_info), "term='|' term_hex='2C2C' term_len=4 term_given=1 term_is_hex=1 "
                                            "enclose_hex='22' enclose_len=2 enclose_is_hex=1 escape='\\' "
                                            "escape_hex='5C' escape_len=2 escape_is_hex=1");
    Parse none("LOAD INFILE 'a' INTO TABLE T FIELDS TERMINATED BY");
    EXPECT_EQ(describe(none.ctl()->sep_info), "term='|' term_len=1 escape='\\' escape_len=1");
}

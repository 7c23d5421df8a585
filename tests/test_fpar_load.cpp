// LOAD statements, INTO TABLE clauses, WHEN conditions and table separators.
#include <gtest/gtest.h>

#include <string>

#include "fpar_test_util.h"

using fpar_test::Parse;

// The table record's own defaults are the initialiser's (checked with it);
// here what the statement sets and the data file's defaults.
TEST(FparLoad, MinimalStatement)
{
    Parse p("LOAD INFILE 'a.txt' INTO TABLE T");
    ASSERT_EQ(p.rc, 0);
    ASSERT_EQ(p.result->ctl_count, 1u);
    fldr_ctl *ctl = p.ctl();
    EXPECT_STREQ(ctl->table_name, "T");
    EXPECT_STREQ(ctl->schema_name, "");
    EXPECT_EQ(ctl->is_continuation + ctl->infile_list + ctl->infile_directory + ctl->trailing_flag, 0u);
    EXPECT_EQ(ctl->when_cond, nullptr);
    EXPECT_EQ(ctl->sep_info->term_given, 0u);
    ASSERT_EQ(ctl->data_file_count, 1u);
    fldr_data_file *df = ctl->data_file_first;
    EXPECT_STREQ(df->path, "a.txt");
    EXPECT_EQ(df->handle, -1);
    EXPECT_STREQ(df->row_term, "\r\n");
    EXPECT_EQ(df->row_term_len, 2u);
    EXPECT_EQ(df->row_term_given + df->start_given + df->start_len, 0u);
}

TEST(FparLoad, DataFilesAndTheirOptions)
{
    Parse p("LOAD DATA INFILE 'dir/a' STR 'x' STARTING BY X '41', * INTO TABLE T");
    ASSERT_EQ(p.rc, 0);
    fldr_ctl *ctl = p.ctl();
    ASSERT_EQ(ctl->data_file_count, 2u);
    fldr_data_file *a = ctl->data_file_first;
    EXPECT_STREQ(a->path, "dir\\a");
    EXPECT_STREQ(a->row_term, "x");
    EXPECT_EQ(a->row_term_len, 1u);
    EXPECT_EQ(a->row_term_given, 1u);
    EXPECT_STREQ(a->start_hex, "41");
    EXPECT_STREQ(a->start_str, "");
    EXPECT_EQ(a->start_len, 0u);
    EXPECT_EQ(a->start_given, 1u);
    fldr_data_file *star = a->next;
    EXPECT_STREQ(star->path, "*");
    EXPECT_EQ(star->prev, a);
    EXPECT_EQ(ctl->data_file_last, star);
    EXPECT_EQ(star->row_term_len, 2u);

    // Hex row terminator empties the text; a later text form leaves the hex.
    Parse h("LOAD INFILE 'a' TERMINATED BY X '0A' STR '#' STARTING BY 'S' INTO TABLE T");
    ASSERT_EQ(h.rc, 0);
    fldr_data_file *df = h.ctl()->data_file_first;
    EXPECT_STREQ(df->row_term, "#");
    EXPECT_EQ(df->row_term_len, 1u);
    EXPECT_STREQ(df->row_term_hex, "0A");
    EXPECT_STREQ(df->start_str, "S");
    EXPECT_EQ(df->start_len, 1u);

    Parse list("LOAD INFILE LIST 'l1', 'l2' INTO TABLE T");
    ASSERT_EQ(list.rc, 0);
    EXPECT_EQ(list.ctl()->infile_list, 1u);
    EXPECT_EQ(list.ctl()->data_file_count, 2u);

    Parse dir("LOAD INFILE DIRECTORY 'in/d' INTO TABLE T");
    ASSERT_EQ(dir.rc, 0);
    EXPECT_EQ(dir.ctl()->infile_directory, 1u);
    EXPECT_STREQ(dir.ctl()->data_file_first->path, "in\\d");
    EXPECT_EQ(Parse("LOAD INFILE DIRECTORY 'a', 'b' INTO TABLE T").rc, FLDR_ERR_PARSE_FAILED);

    const std::string n256(256, 'f');
    EXPECT_EQ(Parse("LOAD INFILE '" + n256 + "' INTO TABLE T").rc, 0);
    Parse too_long("LOAD INFILE 'a', '" + n256 + "f' INTO TABLE T");
    EXPECT_EQ(too_long.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(too_long.ctl()->data_file_count, 1u);
    EXPECT_EQ(Parse("LOAD INFILE 'a' STR '" + n256 + "' INTO TABLE T").rc, 0);
    EXPECT_EQ(Parse("LOAD INFILE 'a' STR '" + n256 + "x' INTO TABLE T").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INFILE 'a' STARTING BY X '" + n256 + "0' INTO TABLE T").rc, FLDR_ERR_PARSE_FAILED);
}

TEST(FparLoad, BadFileModeAndOrder)
{
    Parse p("LOAD INFILE 'a' BADFILE 'x/b.bad' REPLACE INTO TABLE S.T");
    ASSERT_EQ(p.rc, 0);
    EXPECT_STREQ(p.ctl()->bad_file.path, "x/b.bad");
    EXPECT_EQ(p.ctl()->load_mode, 'R');
    EXPECT_STREQ(p.ctl()->schema_name, "S");
    EXPECT_EQ(Parse("LOAD INFILE 'a' APPEND INTO TABLE T").ctl()->load_mode, 'A');
    EXPECT_EQ(Parse("LOAD INFILE 'a' INSERT INTO TABLE T").ctl()->load_mode, 'I');

    Parse late("LOAD INFILE 'a' REPLACE BADFILE 'b' INTO TABLE T");
    EXPECT_EQ(late.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(late.err_text(), "BADFILE");
    EXPECT_EQ(Parse("LOAD INFILE 'a'").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INTO TABLE T").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INFILE 'a' BADFILE '" + std::string(257, 'b') + "' INTO TABLE T").rc,
              FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE " + std::string(128, 'N')).rc, 0);
}

TEST(FparLoad, SeveralTablesAndStatements)
{
    Parse p("LOAD INFILE 'a' BADFILE 'b' APPEND INTO TABLE T1 INTO TABLE T2\n"
            "LOAD INFILE 'c' INTO TABLE T3");
    ASSERT_EQ(p.rc, 0);
    ASSERT_EQ(p.result->ctl_count, 3u);
    fldr_ctl *t1 = p.ctl(0);
    fldr_ctl *t2 = p.ctl(1);
    fldr_ctl *t3 = p.ctl(2);
    EXPECT_STREQ(t1->table_name, "T1");
    EXPECT_EQ(t1->is_continuation, 0u);
    EXPECT_STREQ(t2->table_name, "T2");
    EXPECT_EQ(t2->is_continuation, 1u);
    EXPECT_EQ(t2->data_file_count, 0u);
    EXPECT_EQ(t2->data_file_first, nullptr);
    EXPECT_EQ(t2->load_mode, 'N');
    EXPECT_STREQ(t2->bad_file.path, "");
    EXPECT_EQ(t3->is_continuation, 0u);
    EXPECT_STREQ(t3->data_file_first->path, "c");
    EXPECT_EQ(p.result->ctl_last->ctl, t3);
    EXPECT_EQ(p.result->ctl_last->prev->prev, p.result->ctl_first);

    // Parameters before the statements.
    Parse o("OPTIONS(ERRORS=3) OPTIONS(SKIP=2) LOAD INFILE 'a' INTO TABLE T");
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.args.errors, 3u);
    EXPECT_EQ(o.args.skip_rows, 2u);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T OPTIONS(ERRORS=3)").rc, FLDR_ERR_PARSE_FAILED);
}

TEST(FparLoad, WhenConditionsBuildOneAndGroup)
{
    Parse p("LOAD INFILE 'a' INTO TABLE T WHEN A = 'x' AND (1:2) <> BLANKS AND B != X '41'");
    ASSERT_EQ(p.rc, 0);
    fldr_bexp *g = p.ctl()->when_cond;
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->kind, 1u);
    ASSERT_EQ(g->count, 3u);
    fldr_bexp *a = g->first;
    EXPECT_EQ(a->kind, 0u);
    EXPECT_EQ(a->field->kind, 0u);
    EXPECT_STREQ(a->field->name, "A");
    EXPECT_EQ(a->op, 0u);
    EXPECT_EQ(a->value->kind, 2u);
    EXPECT_EQ(a->value->len, 1u);
    EXPECT_STREQ(a->value->text, "x");
    EXPECT_EQ(a->prev, nullptr);
    fldr_bexp *pos = a->next;
    EXPECT_EQ(pos->prev, a);
    EXPECT_EQ(pos->field->kind, 1u);
    EXPECT_EQ(pos->field->start, 1);
    EXPECT_EQ(pos->field->end, 2);
    EXPECT_EQ(pos->op, 1u);
    EXPECT_EQ(pos->value->kind, 4u);
    EXPECT_EQ(pos->value->len, 0u);
    EXPECT_EQ(pos->value->text, nullptr);
    fldr_bexp *b = pos->next;
    EXPECT_EQ(g->last, b);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(b->op, 1u);
    EXPECT_EQ(b->value->kind, 3u);
    EXPECT_STREQ(b->value->text, "41");

    Parse one("LOAD INFILE 'a' INTO TABLE T WHEN \"c\" = WHITESPACE");
    ASSERT_EQ(one.rc, 0);
    EXPECT_EQ(one.ctl()->when_cond->kind, 0u);
    EXPECT_STREQ(one.ctl()->when_cond->field->name, "c");
    EXPECT_EQ(one.ctl()->when_cond->value->kind, 4u);

    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T WHEN (A = 'x')").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T WHEN A == 'x'").rc, FLDR_ERR_PARSE_FAILED);
}

TEST(FparLoad, SiteClauseGoesToTheArguments)
{
    Parse p("LOAD INFILE 'a' INTO TABLE T EP (5, 6) WHEN A = 'x'");
    ASSERT_EQ(p.rc, 0);
    ASSERT_EQ(p.args.ep_count, 2u);
    EXPECT_EQ(p.args.ep_list[1], 6u);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T WHEN A = 'x' EP (5)").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T EP (1024)").rc, FLDR_ERR_PARSE_FAILED);
}

TEST(FparLoad, TableSeparators)
{
    Parse p("LOAD INFILE 'a' INTO TABLE T FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSE BY '\"' "
            "ESCAPED BY '#' TRAILING NULLCOLS");
    ASSERT_EQ(p.rc, 0);
    fldr_seperator_info *s = p.ctl()->sep_info;
    EXPECT_STREQ(s->term, ",");
    EXPECT_EQ(s->term_len, 1u);
    EXPECT_EQ(s->term_given, 1u);
    EXPECT_EQ(s->term_is_hex, 0u);
    EXPECT_STREQ(s->enclose, "\"");
    EXPECT_EQ(s->enclose_len, 1u);
    EXPECT_STREQ(s->escape, "#");
    EXPECT_EQ(s->escape_len, 1u);
    EXPECT_EQ(p.ctl()->trailing_flag, 1u);

    Parse h("LOAD INFILE 'a' INTO TABLE T FIELDS X '2C2C' ENCLOSE X '22' ESCAPED X '5C'");
    ASSERT_EQ(h.rc, 0);
    s = h.ctl()->sep_info;
    EXPECT_STREQ(s->term_hex, "2C2C");
    EXPECT_STREQ(s->term, "|");   // the text form is left in place
    EXPECT_EQ(s->term_len, 4u);
    EXPECT_EQ(s->term_is_hex, 1u);
    EXPECT_STREQ(s->enclose_hex, "22");
    EXPECT_EQ(s->enclose_is_hex, 1u);
    EXPECT_STREQ(s->escape_hex, "5C");
    EXPECT_EQ(s->escape_is_hex, 1u);

    Parse none("LOAD INFILE 'a' INTO TABLE T FIELDS TERMINATED BY");
    ASSERT_EQ(none.rc, 0);
    EXPECT_STREQ(none.ctl()->sep_info->term, "|");
    EXPECT_EQ(none.ctl()->sep_info->term_given, 0u);

    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T FIELDS '\xe9'").rc, FLDR_ERR_PARSE_FAILED);
    const std::string t256(256, ';');
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T FIELDS '" + t256 + "'").rc, 0);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T FIELDS '" + t256 + ";'").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T ENCLOSE '" + t256 + "\"'").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T ESCAPED '" + t256 + "\"'").rc, FLDR_ERR_PARSE_FAILED);
    // Clauses out of order.
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T ENCLOSE '\"' FIELDS ','").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("LOAD INFILE 'a' INTO TABLE T ()").rc, FLDR_ERR_PARSE_FAILED);
}
